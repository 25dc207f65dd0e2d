"""`cmake --install` into a temporary DESTDIR, under the configured prefix and under another
one given with --prefix: exactly the expected files (no test, benchmark or stray file), the
binary and the documents unchanged, a README whose `man fernd` opens the installed man page and
whose every link leads to a file installed beside it (a file that stays in the source tree is
named as such, not linked), and unit files that start the installed binary."""

import os
import re
import stat
import tempfile

from install_support import (check, cached_install_prefix, cmake_install,
                             expected_install_files, list_files, need_tool, parse_args,
                             read_bytes, run_ok, unit_exec_start)


# A Markdown link: [text](target).
LINK = re.compile(r"\[([^\]]*)\]\(([^)]*)\)")
# The documents of docs/ that are installed beside the README.
INSTALLED_DOCS = ("clients.md", "scaling.md", "design.md", "performance.md")


def installed_readme(source):
    """The README as it must read installed: a link to a document of INSTALLED_DOCS leads to the
    file beside it; a link to any other file of the source tree becomes its path, followed by
    where that is."""
    def link(match):
        text, target = match.groups()
        if "://" in target:
            return match.group(0)
        name = target[len("docs/"):] if target.startswith("docs/") else None
        if name in INSTALLED_DOCS:
            return f"[{text}]({name})"
        check(text == target, f"README.md links {target} as {text!r}, not by its path")
        return f"{text} (in fernd's source tree)"
    return LINK.sub(link, source)


def check_tree(args, destdir, prefix):
    root = destdir + prefix
    installed = list_files(destdir)
    expected = expected_install_files(prefix)
    check(installed == expected,
          f"installed files under prefix {prefix}:\n  " + "\n  ".join(installed) +
          "\nexpected:\n  " + "\n  ".join(expected))

    binary = os.path.join(root, "sbin/fernd")
    check(read_bytes(binary) == read_bytes(args.binary),
          "the installed binary differs from the one built")
    mode = stat.S_IMODE(os.stat(binary).st_mode)
    check(mode == 0o755, f"sbin/fernd has mode {mode:o}, expected 755")

    same_as_source = {
        "share/man/man8/fernd.8": "docs/fernd.8",
        "share/doc/fernd/clients.md": "docs/clients.md",
        "share/doc/fernd/scaling.md": "docs/scaling.md",
        "share/doc/fernd/design.md": "docs/design.md",
        "share/doc/fernd/performance.md": "docs/performance.md",
        "lib/systemd/system/fernd.socket": "dist/systemd/fernd.socket",
        "share/doc/fernd/LICENSE": "LICENSE",
        "share/doc/fernd/stunnel/override.conf": "dist/stunnel/override.conf",
        "share/doc/fernd/fail2ban/fernd.conf": "dist/fail2ban/fernd.conf",
    }
    for installed_path, source_path in same_as_source.items():
        check(read_bytes(os.path.join(root, installed_path)) ==
              read_bytes(os.path.join(args.source_dir, source_path)),
              f"{installed_path} differs from {source_path}")
        mode = stat.S_IMODE(os.stat(os.path.join(root, installed_path)).st_mode)
        check(mode == 0o644, f"{installed_path} has mode {mode:o}, expected 644")

    # The README is the source's, its links made to work where it is installed: the documents
    # beside it, the files that are not installed named in plain text with where they are.
    docdir = os.path.join(root, "share/doc/fernd")
    readme = read_bytes(os.path.join(docdir, "README.md")).decode()
    source = read_bytes(os.path.join(args.source_dir, "README.md")).decode()
    check(readme == installed_readme(source),
          "the installed README.md is not README.md with its links made to work installed")
    for name in INSTALLED_DOCS:
        check(f"]({name})" in readme, f"the installed README.md does not link {name}")
    check("(in fernd's source tree)" in readme,
          "the installed README.md names no file of the source tree")
    mode = stat.S_IMODE(os.stat(os.path.join(docdir, "README.md")).st_mode)
    check(mode == 0o644, f"share/doc/fernd/README.md has mode {mode:o}, expected 644")
    # The README names the command that opens the installed man page, and that command finds it
    # in the install's manual tree (as it finds it in /usr/share/man under the prefix /usr).
    check("`man fernd`" in readme, "the installed README.md does not say `man fernd`")
    manual = os.path.join(root, "share/man")
    found = run_ok([need_tool("man", "man-db"), "-w", "fernd"],
                   env=dict(os.environ, MANPATH=manual)).stdout.strip()
    check(found == os.path.join(manual, "man8/fernd.8"),
          f"`man fernd` with the install's manual tree finds {found!r}")
    for name in ("README.md",) + INSTALLED_DOCS:
        text = read_bytes(os.path.join(docdir, name)).decode()
        for target in LINK.findall(text):
            target = target[1].split("#", 1)[0]
            if "://" in target or not target:
                continue
            check(os.path.isfile(os.path.join(docdir, target)),
                  f"share/doc/fernd/{name} links {target}, which is not installed beside it")

    # The service units are the templates with the installed binary's path filled in: the path
    # under the prefix, never one inside DESTDIR or the build tree.
    for unit in ("fernd.service", "fernd@.service"):
        path = os.path.join(root, "lib/systemd/system", unit)
        text = read_bytes(path).decode()
        template = read_bytes(os.path.join(args.source_dir, "dist/systemd", unit + ".in")).decode()
        check("@FERND_INSTALLED_BINARY@" in template, f"{unit}.in has no placeholder")
        check(text == template.replace("@FERND_INSTALLED_BINARY@", prefix + "/sbin/fernd"),
              f"{unit} is not its template with the binary path {prefix}/sbin/fernd")
        check(unit_exec_start(path).startswith(prefix + "/sbin/fernd "),
              f"{unit}: ExecStart does not start {prefix}/sbin/fernd")

    # So is the stunnel configuration, whose exec= starts the installed binary.
    path = os.path.join(root, "share/doc/fernd/stunnel/fernd-pop3s.conf")
    text = read_bytes(path).decode()
    template = read_bytes(os.path.join(args.source_dir,
                                       "dist/stunnel/fernd-pop3s.conf.in")).decode()
    check(f"\nexec = @FERND_INSTALLED_BINARY@\n" in template,
          "fernd-pop3s.conf.in has no exec = @FERND_INSTALLED_BINARY@ line")
    check(text == template.replace("@FERND_INSTALLED_BINARY@", prefix + "/sbin/fernd"),
          f"fernd-pop3s.conf is not its template with the binary path {prefix}/sbin/fernd")
    mode = stat.S_IMODE(os.stat(path).st_mode)
    check(mode == 0o644, f"fernd-pop3s.conf has mode {mode:o}, expected 644")


def main():
    args = parse_args()
    prefix = cached_install_prefix(args.build_dir)
    with tempfile.TemporaryDirectory(prefix="fernd-install-") as destdir:
        cmake_install(args.build_dir, destdir=destdir)
        check_tree(args, destdir, prefix)
    with tempfile.TemporaryDirectory(prefix="fernd-install-") as destdir:
        cmake_install(args.build_dir, destdir=destdir, prefix="/opt/fernd")
        check_tree(args, destdir, "/opt/fernd")


if __name__ == "__main__":
    main()
