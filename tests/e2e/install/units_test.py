"""The systemd units as installed: `systemd-analyze verify` accepts them without a single remark
(the binary they start exists, the man page they name is found), and the example command lines
agree with the sandbox: every Maildir they serve is writable, the password is the credential
that the unit loads, and the standalone listener stays on loopback."""

import os
import re
import shlex
import tempfile

from install_support import (check, cmake_install, need_tool, parse_args, run,
                             unit_exec_start)

UNITS = ("fernd.service", "fernd.socket", "fernd@.service")


def verify(analyze, unit_dir, units, manpath):
    env = dict(os.environ, MANPATH=manpath)
    # verify writes its findings as warnings and still exits 0 for many of them (an unknown
    # key, a value it cannot parse): any output at all counts as a complaint.
    return run([analyze, "verify", *units], env=env, cwd=unit_dir)


def unit_settings(path, key):
    with open(path, encoding="utf-8") as unit:
        return [line.rstrip("\n").split("=", 1)[1] for line in unit
                if line.startswith(key + "=")]


def check_example_command(unit_dir, unit):
    path = os.path.join(unit_dir, unit)
    # systemd's own quoting is close enough to the shell's for these lines; $$ is systemd's
    # escape for a literal $.
    words = shlex.split(unit_exec_start(path).replace("$$", "$"))
    maildirs = [w.split("=", 1)[1] for w in words if w.startswith("--maildir=")]
    auths = [w.split("=", 1)[1] for w in words if w.startswith("--auth=")]
    check(maildirs and len(maildirs) == len(auths),
          f"{unit}: expected one --maildir per --auth in {words}")
    writable = " ".join(unit_settings(path, "ReadWritePaths")).split()
    for maildir in maildirs:
        check(maildir in writable,
              f"{unit}: the Maildir {maildir} is not in ReadWritePaths= {writable}: under "
              "ProtectSystem=strict fernd could neither lock it nor delete mail")
    credentials = [c.split(":", 1)[0] for c in unit_settings(path, "LoadCredential")]
    for auth in auths:
        user, command = auth.split(",", 1)
        check(user, f"{unit}: --auth without a user name")
        match = re.fullmatch(r"cat \$\{CREDENTIALS_DIRECTORY\}/(\w+)", command)
        check(match and match.group(1) in credentials,
              f"{unit}: the passwordeval '{command}' does not read a credential the unit loads "
              f"({credentials})")
    return words


def main():
    args = parse_args()
    analyze = need_tool("systemd-analyze", "systemd")
    need_tool("man", "man-db")  # verify looks up Documentation=man:fernd(8) with man

    with tempfile.TemporaryDirectory(prefix="fernd-units-") as tmp:
        # An install under a prefix inside the temporary directory (not DESTDIR), so that the
        # units' ExecStart= names a binary that really exists where verify looks for it.
        prefix = os.path.join(tmp, "usr")
        cmake_install(args.build_dir, prefix=prefix)
        unit_dir = os.path.join(prefix, "lib/systemd/system")
        manpath = os.path.join(prefix, "share/man")

        result = verify(analyze, unit_dir, UNITS, manpath)
        check(result.returncode == 0 and not result.stdout and not result.stderr,
              f"systemd-analyze verify exited with {result.returncode}:\n"
              f"{result.stdout}{result.stderr}")

        # The check above is only worth something if verify speaks up on this machine: a unit
        # with a misspelt key and a missing man page must draw remarks.
        broken = os.path.join(tmp, "fernd-broken.service")
        with open(os.path.join(unit_dir, "fernd.service"), encoding="utf-8") as good:
            text = good.read()
        with open(broken, "w", encoding="utf-8") as bad:
            bad.write(text.replace("NoNewPrivileges=", "NoNewPrivilege="))
        result = verify(analyze, tmp, ["fernd-broken.service"], os.path.join(tmp, "none"))
        check("NoNewPrivilege" in result.stderr and "man fernd(8)" in result.stderr,
              "systemd-analyze verify did not report a misspelt key and a missing man page:\n"
              f"{result.stdout}{result.stderr}")

        standalone = check_example_command(unit_dir, "fernd.service")
        check("--inetd" not in standalone, "fernd.service must run the standalone listener")
        check("--interface=127.0.0.1" in standalone,
              "fernd.service must listen on loopback only: fernd has no TLS")
        inetd = check_example_command(unit_dir, "fernd@.service")
        check("--inetd" in inetd, "fernd@.service must run fernd --inetd")

        socket_unit = os.path.join(unit_dir, "fernd.socket")
        check(unit_settings(socket_unit, "Accept") == ["yes"],
              "fernd.socket must start one fernd@.service per connection (Accept=yes)")
        listen = unit_settings(socket_unit, "ListenStream")
        check(len(listen) == 1 and listen[0].startswith("127.0.0.1:"),
              f"fernd.socket must listen on loopback only: fernd has no TLS ({listen})")
        service_input = unit_settings(os.path.join(unit_dir, "fernd@.service"), "StandardInput")
        check(service_input == ["socket"], "fernd@.service must read the connection on stdin")


if __name__ == "__main__":
    main()
