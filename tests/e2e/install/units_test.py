"""The systemd units as installed: `systemd-analyze verify` accepts them without a single remark
(the binary they start exists, the man page they name is found), and the example command lines
agree with the sandbox: every Maildir they serve is writable, the password is the credential
that the unit loads, and the standalone listener stays on loopback.

Both run fernd as the user mail in a sandbox that allows no change of user: no capability, and
neither setgroups nor any call that changes a process's user ids, so that a unit edited to run
as root could not become a Maildir's owner either (the man page says so, and sends those who
want that to a classic inetd).

The same for POP3 over TLS: Debian's stunnel@.service with the drop-in override.conf for the
instance fernd-pop3s, and the stunnel configuration fernd-pop3s.conf that it runs: stunnel starts
as root with no ambient capability, reads the certificate and the key that the drop-in loads as
credentials, and drops to an unprivileged user; fernd reads its password file itself. The
configuration has two services, POP3S on port 995 and STARTTLS on port 110, which share the
global section's certificate, key and fernd command line."""

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


STUNNEL_INSTANCE = "stunnel@fernd-pop3s.service"
CREDENTIALS_DIRECTORY = f"/run/credentials/{STUNNEL_INSTANCE}"


def stunnel_sections(path):
    """The `key = value` lines of a stunnel configuration file by section, as {None: the
    global section's pairs, NAME: the pairs of the service [NAME]}, in the file's order;
    comments and blank lines left out."""
    sections = {None: []}
    current = None
    with open(path, encoding="utf-8") as config:
        for line in config:
            line = line.strip()
            if line.startswith("[") and line.endswith("]"):
                current = line[1:-1]
                check(current not in sections, f"the service [{current}] stands twice")
                sections[current] = []
            elif line and not line.startswith((";", "#")):
                key, _, value = line.partition("=")
                sections[current].append((key.strip(), value.strip()))
    return sections


def syscall_set(name):
    """The system calls of a systemd system call set such as @system-service, nested sets
    expanded, as systemd-analyze lists them."""
    done = run(["systemd-analyze", "syscall-filter", name])
    check(done.returncode == 0, f"systemd-analyze syscall-filter {name}: {done.stderr}")
    calls = set()
    for line in done.stdout.splitlines()[1:]:
        entry = line.strip()
        if entry and not entry.startswith("#"):
            calls |= syscall_set(entry) if entry.startswith("@") else {entry}
    return calls


def filter_allows(path):
    """The system calls that a unit's SystemCallFilter= lines allow, read in order as systemd
    reads them: the first, an allow list, sets the calls allowed; a later ~ line takes calls
    out, a later line without ~ puts them back."""
    allowed = None
    for value in unit_settings(path, "SystemCallFilter"):
        calls = set()
        for name in value.lstrip("~").split():
            calls |= syscall_set(name) if name.startswith("@") else {name}
        if allowed is None:
            check(not value.startswith("~"), f"{path}: the first SystemCallFilter= denies")
            allowed = calls
        elif value.startswith("~"):
            allowed -= calls
        else:
            allowed |= calls
    return allowed or set()


# The calls with which a process of root gives up its groups and takes a user's ids: the
# system call filter of the units lets none of them through (a denied call ends the process).
CHANGING_USER = ("setgroups", "setuid", "setreuid", "setresuid")


def check_no_change_of_user(unit_dir, unit):
    """The unit runs fernd as mail, and its sandbox lets no process change its user: no
    capability at all (without CAP_SETUID and CAP_SETGID no id can change), and none of the
    calls of CHANGING_USER allowed by the system call filter."""
    path = os.path.join(unit_dir, unit)
    check(unit_settings(path, "User") == ["mail"] and unit_settings(path, "Group") == ["mail"],
          f"{unit} must run fernd as the user and group mail, as the documents say")
    check(unit_settings(path, "CapabilityBoundingSet") == [""],
          f"{unit} must leave fernd no capability (an empty CapabilityBoundingSet=)")
    allowed = filter_allows(path)
    check(len(allowed) > 100, f"{unit}: SystemCallFilter= allows only {sorted(allowed)}")
    changing = set(CHANGING_USER) & allowed
    check(not changing, f"{unit}: SystemCallFilter= allows changing the user: {sorted(changing)}")


def check_stunnel(analyze, prefix, manpath, tmp):
    template = "/usr/lib/systemd/system/stunnel@.service"
    check(os.path.exists(template), f"{template} not found; install the Debian package stunnel4")
    unit_path = os.path.join(tmp, "stunnel-units")
    dropin = os.path.join(unit_path, STUNNEL_INSTANCE + ".d", "override.conf")
    os.makedirs(os.path.dirname(dropin))
    with open(os.path.join(prefix, "share/doc/fernd/stunnel/override.conf"),
              encoding="utf-8") as source:
        text = source.read()

    def verify_instance(dropin_text):
        with open(dropin, "w", encoding="utf-8") as target:
            target.write(dropin_text)
        # A trailing colon keeps the system's own unit and man page directories in the paths,
        # where the template unit and stunnel4(8) are.
        env = dict(os.environ, SYSTEMD_UNIT_PATH=unit_path + ":", MANPATH=manpath + ":")
        return run([analyze, "verify", STUNNEL_INSTANCE], env=env)

    result = verify_instance(text)
    check(result.returncode == 0 and not result.stdout and not result.stderr,
          f"systemd-analyze verify {STUNNEL_INSTANCE} exited with {result.returncode}:\n"
          f"{result.stdout}{result.stderr}")
    # ... which is worth something only if verify reads the drop-in at all.
    result = verify_instance(text.replace("NoNewPrivileges=", "NoNewPrivilege="))
    check("NoNewPrivilege" in result.stderr,
          f"systemd-analyze verify did not report a misspelt key in the drop-in:\n"
          f"{result.stdout}{result.stderr}")

    # stunnel starts as root, to read the key, and drops to an unprivileged user of its own
    # accord: no User= (which would leave the key readable by that user, and so by fernd), and
    # only the capabilities that binding ports 995 and 110 and the drop need, none of them
    # ambient.
    check(unit_settings(dropin, "User") == [] and unit_settings(dropin, "Group") == [],
          "the drop-in must let stunnel start as root: stunnel drops to its user itself")
    check(unit_settings(dropin, "AmbientCapabilities") == [],
          "the drop-in must give no ambient capability: fernd and its passwordeval would hold it")
    bounding = " ".join(unit_settings(dropin, "CapabilityBoundingSet")).split()
    check(sorted(bounding) == ["CAP_NET_BIND_SERVICE", "CAP_SETGID", "CAP_SETUID"],
          f"CapabilityBoundingSet= must hold what binding the ports and the drop need: "
          f"{bounding}")
    loaded = [c.split(":", 1)[0] for c in unit_settings(dropin, "LoadCredential")]
    writable = " ".join(unit_settings(dropin, "ReadWritePaths")).split()

    sections = stunnel_sections(os.path.join(prefix, "share/doc/fernd/stunnel/fernd-pop3s.conf"))
    config = sections[None]
    keys = [key for key, _ in config]
    values = dict(config)
    # POP3S on 995 and STARTTLS on 110; every other setting is the global section's, which
    # stunnel takes as each service's default, so that both serve the same accounts.
    check(list(sections) == [None, "fernd-pop3s", "fernd-pop3-starttls"],
          f"fernd-pop3s.conf must have the services [fernd-pop3s] and [fernd-pop3-starttls]: "
          f"{list(sections)[1:]}")
    check(sections["fernd-pop3s"] == [("accept", ":::995")],
          f"[fernd-pop3s] must accept implicit TLS on port 995 and set nothing else: "
          f"{sections['fernd-pop3s']}")
    check(sections["fernd-pop3-starttls"] == [("accept", ":::110"), ("protocol", "pop3")],
          f"[fernd-pop3-starttls] must accept STARTTLS (protocol pop3) on port 110 and set "
          f"nothing else: {sections['fernd-pop3-starttls']}")
    check(len(keys) == len(set(keys)), f"a key stands twice in the global section: {keys}")
    # Debian's template unit is Type=simple: stunnel must stay in the foreground.
    check(values.get("foreground") in ("yes", "quiet"),
          "stunnel must stay in the foreground under stunnel@.service")
    check(keys.count("setuid") == 1 and keys.count("setgid") == 1
          and values["setuid"] not in ("root", "0") and values["setgid"] not in ("root", "0"),
          "fernd-pop3s.conf must drop to an unprivileged user and group (setuid/setgid)")
    # The files are named relative to the working directory, which the drop-in makes the
    # credentials directory; so the same configuration runs by hand in a directory that holds
    # them (README, "POP3 over TLS").
    check(unit_settings(dropin, "WorkingDirectory") == ["%d"],
          "the drop-in must make the credentials directory stunnel's working directory "
          "(WorkingDirectory=%d)")
    for key in ("cert", "key"):
        check(values.get(key) in loaded,
              f"fernd-pop3s.conf: {key} = {values.get(key)} is no credential that the drop-in "
              f"loads ({loaded}), named relative to the credentials directory")
    check(CREDENTIALS_DIRECTORY not in open(
        os.path.join(prefix, "share/doc/fernd/stunnel/fernd-pop3s.conf"), encoding="utf-8").read(),
          "fernd-pop3s.conf must not name the credentials directory: it would not run by hand")
    # The log on standard error, which systemd files with the facility mail.
    check(values.get("syslog") == "no" and values.get("foreground") == "yes",
          "stunnel must log to standard error, in the foreground")
    check(unit_settings(dropin, "SyslogFacility") == ["mail"],
          "the drop-in must file stunnel's log with the facility mail")
    check(values.get("exec") == os.path.join(prefix, "sbin/fernd"),
          f"fernd-pop3s.conf must exec the installed fernd, not {values.get('exec')}")
    words = values.get("execArgs", "").split()
    check(words[:2] == ["fernd", "--inetd"], f"execArgs must run fernd --inetd: {words}")
    auths = [w.split("=", 1)[1] for w in words if w.startswith("--auth=")]
    maildirs = [w.split("=", 1)[1] for w in words if w.startswith("--maildir=")]
    check(auths and len(auths) == len(maildirs),
          f"execArgs: expected one --maildir per --auth in {words}")
    # fernd reads its password itself, as the user stunnel dropped to: a file outside the
    # credentials directory, which only root can read.
    for auth in auths:
        match = re.fullmatch(r"[^,]+,cat<(/[\w./-]+)", auth)
        check(match and os.path.basename(match.group(1)) not in loaded,
              f"execArgs: the passwordeval of --auth={auth} must read a file of its own by its "
              f"absolute path, not a credential ({loaded})")
    check(sorted(loaded) == ["cert.pem", "key.pem"],
          f"the drop-in must load the certificate and the key alone: {loaded}")
    for maildir in maildirs:
        check(maildir in writable,
              f"execArgs: the Maildir {maildir} is not in the drop-in's ReadWritePaths= "
              f"{writable}")


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

        for unit in ("fernd.service", "fernd@.service"):
            check_no_change_of_user(unit_dir, unit)

        check_stunnel(analyze, prefix, manpath, tmp)


if __name__ == "__main__":
    main()
