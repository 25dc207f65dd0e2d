"""The README's "Password guessing" commands, read from its text, against an install under a
temporary prefix (in place of /usr), with /etc and /var under a temporary root and stand-ins for
apt-get (which copies the system's /etc/fail2ban, as installing the package would make it) and
systemctl (which notes its arguments):

- the set-up block makes the log directory, copies the installed filter and writes the jail, and
  `fail2ban-client --test` accepts that configuration;
- a real fernd, logging to the file that the jail names, serves a guesser with failed and good
  logins, one of them with a user name that looks like an address, and 110 short sessions of
  another client in between; the README's `fail2ban-regex` line finds in that log exactly one
  failure of the guesser's address per failed password check, and nothing else.
"""

import os
import pwd
import subprocess
import tempfile

from install_support import check, cmake_install, harness, need_tool, parse_args, run

import doc_recipes  # noqa: E402  (beside fernd_harness, which install_support puts on the path)
from doc_recipes import recipe  # noqa: E402

# Debian's own jail for sshd, which the package enables, needs a log that a test machine may not
# have; the test's copy of the configuration leaves it out, so that only fernd's jail is tested.
DEBIAN_DEFAULTS = "jail.d/defaults-debian.conf"

# The guesser's address: a loopback address beside the 127.0.0.1 of every other client.
GUESSER = "127.0.0.2"


def set_up(docdir, workspace):
    """Runs the set-up block under a temporary root; returns (root, the log file's path)."""
    root = workspace.directory("root")
    stand_ins = workspace.directory("stand-ins")
    noted = workspace.path("noted")
    with open(os.path.join(stand_ins, "apt-get"), "w", encoding="utf-8") as program:
        program.write(f'#!/bin/sh\necho "apt-get $*" >> "{noted}"\n'
                      f'mkdir -p "{root}/etc" && cp -r /etc/fail2ban "{root}/etc/"\n'
                      f'rm -f "{root}/etc/fail2ban/{DEBIAN_DEFAULTS}"\n')
    with open(os.path.join(stand_ins, "systemctl"), "w", encoding="utf-8") as program:
        program.write(f'#!/bin/sh\necho "systemctl $*" >> "{noted}"\n')
    for name in ("apt-get", "systemctl"):
        os.chmod(os.path.join(stand_ins, name), 0o755)
    os.makedirs(os.path.join(root, "var", "log"))

    script = recipe("fail2ban-install").text
    script = harness.replace_exactly(script, "/usr/share/doc/fernd", docdir)
    script = harness.replace_exactly(script, " /etc/", f" {root}/etc/", 2)
    script = harness.replace_exactly(script, " /var/", f" {root}/var/", 2)
    done = subprocess.run(["/bin/bash", "-e", "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, PATH=stand_ins + ":" + doc_recipes.LOGIN_PATH),
                          timeout=harness.WAIT, check=False)
    check(done.returncode == 0, f"the README's set-up failed:\n{done.stdout}{done.stderr}")
    check(harness.read_text(noted).splitlines() == ["apt-get install fail2ban",
                                                    "systemctl restart fail2ban"],
          f"apt-get and systemctl were asked: {harness.read_text(noted)!r}")
    log_dir = os.path.join(root, "var/log/fernd")
    status = os.stat(log_dir)
    check((status.st_mode & 0o777) == 0o750, f"{log_dir} has mode {status.st_mode & 0o777:o}")
    with open(os.path.join(root, "etc/fail2ban/filter.d/fernd.conf"), "rb") as copied, \
            open(os.path.join(docdir, "fail2ban/fernd.conf"), "rb") as installed:
        check(copied.read() == installed.read(), "filter.d/fernd.conf is not the installed filter")

    # The jail as fail2ban itself reads it: the test mode checks the whole configuration.
    client = need_tool("fail2ban-client", "fail2ban")
    config = os.path.join(root, "etc/fail2ban")
    log_path = os.path.join(log_dir, "fernd.log")
    open(log_path, "ab").close()  # a jail needs its log file to exist
    result = run([client, "-c", config, "--test"])
    check(result.returncode == 0 and "OK: configuration test is successful" in result.stdout,
          f"fail2ban-client --test: {result.stdout}{result.stderr}")
    dump = run([client, "-c", config, "-d"])  # the configuration as the server would get it
    check(f"'{log_path}'" in dump.stdout, f"the jail does not read {log_path}:\n{dump.stdout}")
    return root, log_path


def as_mail():
    """The command prefix that runs fernd as the user mail, as the README's set-up expects it
    (the log directory is mail's): setpriv when the tests run as root, nothing otherwise."""
    if not harness.running_as_root():
        return [], None
    entry = pwd.getpwnam("mail")
    return ["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}",
            "--clear-groups"], entry


def sessions(binary, workspace, log_path):
    """Runs a standalone fernd that logs to log_path: a guesser's session with failed password
    checks and a good login, around 110 short sessions of another address; returns the number of
    failed checks."""
    maildir = workspace.maildir("Maildir", {"1.m": b"one\n"})
    prefix, mail = as_mail()
    if mail is not None:
        os.chown(log_path, mail.pw_uid, mail.pw_gid)  # made for the jail, written by fernd
        for directory, subdirectories, files in os.walk(maildir.path):
            for path in [directory] + [os.path.join(directory, name) for name in files]:
                os.chown(path, mail.pw_uid, mail.pw_gid)
        binary = harness.copy_for_unprivileged(binary, workspace.directory("bin"))
    server = harness.Server(binary, [harness.Account(harness.USER, harness.PASSWORD, maildir)],
                            workspace, log=log_path, prefix=prefix)
    server.start()
    try:
        # The guesser connects from an address of its own and waits while 110 short sessions
        # come and go: a filter that tied failures to their connection line through the process
        # id would have forgotten the guesser's by then.
        guesser = harness.LineClient(server.port, source=GUESSER)
        check(guesser.line() == b"+OK fernd ready.\r\n", "no greeting")
        for _ in range(110):
            client = harness.LineClient(server.port)
            check(client.line() == b"+OK fernd ready.\r\n", "no greeting")
            check(client.command("QUIT") == b"+OK\r\n", "QUIT not answered")
            client.close()
        failures = 0
        # A user name that looks like the end of the failure line cannot lend its address.
        for user, password in ((harness.USER, "wrong"), ("x from 192.0.2.1 port 1", "wrong"),
                               (harness.USER, "also wrong"), (harness.USER, harness.PASSWORD)):
            reply = guesser.login(user=user, password=password)
            good = password == harness.PASSWORD
            check(reply == (b"+OK\r\n" if good else b"-ERR authorization failed\r\n"),
                  f"PASS answered {reply!r}")
            failures += 0 if good else 1
        check(guesser.command("QUIT") == b"+OK\r\n", "QUIT not answered")
        guesser.close()
        server.log.wait_for("connection closed", 111)
    finally:
        server.stop()
    return failures


def main():
    args = parse_args()
    need_tool("fail2ban-regex", "fail2ban")
    workspace = harness.Workspace()
    try:
        with tempfile.TemporaryDirectory(prefix="fernd-fail2ban-") as tmp:
            prefix = os.path.join(tmp, "usr")
            cmake_install(args.build_dir, prefix=prefix)
            docdir = os.path.join(prefix, "share/doc/fernd")
            root, log_path = set_up(docdir, workspace)
            failures = sessions(args.binary, workspace, log_path)

            script = recipe("fail2ban-check").text
            script = harness.replace_exactly(script, " /etc/", f" {root}/etc/")
            script = harness.replace_exactly(script, " /var/", f" {root}/var/")
            done = subprocess.run(["/bin/bash", "-e", "-c", script], capture_output=True,
                                  text=True, timeout=harness.WAIT * 3, check=False)
            check(done.returncode == 0, f"fail2ban-regex failed:\n{done.stdout}{done.stderr}")
            check(done.stdout.split() == [GUESSER] * failures,
                  f"fail2ban-regex found {done.stdout!r} in the log, expected {GUESSER} "
                  f"{failures} times:\n{harness.read_text(log_path)}")
    finally:
        workspace.cleanup()


if __name__ == "__main__":
    main()
