"""The man page: `mandoc -T lint` finds nothing to complain about, and it documents every
option that `fernd --help` lists, with the defaults that the help text shows."""

import os
import re

from install_support import check, need_tool, parse_args, run, run_ok


def main():
    args = parse_args()
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
    options = sorted(set(re.findall(r"^\s+--([a-z]+)", help_text, re.MULTILINE)))
    check(len(options) >= 8, f"--help lists too few options ({options}):\n{help_text}")
    for option in options:
        check(re.search(r"^\.It Fl \\-" + option + r"\b", source, re.MULTILINE),
              f"option --{option} from --help has no entry in the man page's option list")
    for default in ("127.0.0.1", "1100"):
        check(default in help_text, f"--help does not show the default {default}")
        check(default in rendered, f"the man page does not show the default {default}")


if __name__ == "__main__":
    main()
