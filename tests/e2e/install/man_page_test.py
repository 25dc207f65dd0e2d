"""The man page: `mandoc -T lint` finds nothing to complain about, and it documents every
option that `fernd --help` lists, with the defaults that the help text shows. It, the README and
docs/scaling.md tell users the limits that src/common/limits.h sets, where each value lives with
its reason: each figure they give is read from there, so that a changed limit cannot leave a
document behind."""

import os
import re

from install_support import check, need_tool, parse_args, run, run_ok


# Where the documents give a limit of src/common/limits.h, its name filled in with its value.
LIMIT_PHRASES = {
    "docs/fernd.8": ["at most {listener_session_limit} at a time",
                     "not logged in {session_login_limit} minutes after the greeting",
                     "ends after {session_idle_limit} minutes in which",
                     "less than {listener_auth_delay_window} seconds after the end"],
    "README.md": ["at most {listener_session_limit} sessions at a time",
                  "up to {session_login_limit} minutes",
                  "idle for {session_idle_limit} minutes",
                  "until {listener_auth_delay_window} seconds have passed"],
    "docs/scaling.md": ["at most {listener_session_limit} sessions at a time",
                        "for {listener_auth_delay_window} seconds every login"],
}


def limits(source_dir):
    """The values of src/common/limits.h that the documents give, by name."""
    with open(os.path.join(source_dir, "src/common/limits.h"), encoding="utf-8") as header:
        text = header.read()
    found = {}
    for name, pattern in (
            ("listener_session_limit", r"listener_session_limit = (\d+);"),
            ("listener_auth_delay_window", r"listener_auth_delay_window = (\d+);"),
            ("session_idle_limit", r"session_idle_limit = std::chrono::minutes\((\d+)\);"),
            ("session_login_limit", r"session_login_limit = std::chrono::minutes\((\d+)\);")):
        match = re.search(pattern, text)
        check(match is not None, f"src/common/limits.h does not set {name} as {pattern}")
        found[name] = match.group(1)
    return found


def check_limits(source_dir):
    values = limits(source_dir)
    for document, phrases in LIMIT_PHRASES.items():
        with open(os.path.join(source_dir, document), encoding="utf-8") as f:
            text = " ".join(f.read().split())
        for phrase in phrases:
            expected = phrase.format(**values)
            check(expected in text, f"{document} does not say \"{expected}\" "
                                    "(src/common/limits.h)")


def main():
    args = parse_args()
    check_limits(args.source_dir)
    page = os.path.join(args.source_dir, "docs/fernd.8")
    mandoc = need_tool("mandoc", "mandoc")

    lint = run([mandoc, "-T", "lint", page])
    # mandoc also remarks on the state of the machine's own manual database ("outdated
    # mandoc.db lacks ...") when it resolves cross references: that is no finding on this page.
    findings = [line for line in (lint.stdout + lint.stderr).splitlines()
                if line and not line.startswith("mandoc: outdated mandoc.db lacks ")]
    check(lint.returncode == 0 and not findings,
          f"mandoc -T lint exited with {lint.returncode}:\n" + "\n".join(findings))

    with open(page, encoding="utf-8") as f:
        source = f.read()
    rendered = run_ok([mandoc, "-T", "utf8", page]).stdout

    help_text = run_ok([args.binary, "--help"]).stdout
    options = sorted(set(re.findall(r"^\s+--([a-z][a-z-]*)", help_text, re.MULTILINE)))
    check(len(options) >= 8, f"--help lists too few options ({options}):\n{help_text}")
    for option in options:
        check(re.search(r"^\.It Fl \\-" + option.replace("-", r"\\-") + r"\b", source,
                        re.MULTILINE),
              f"option --{option} from --help has no entry in the man page's option list")
    for default in ("127.0.0.1", "1100"):
        check(default in help_text, f"--help does not show the default {default}")
        check(default in rendered, f"the man page does not show the default {default}")


if __name__ == "__main__":
    main()
