"""fernd --inetd behind a real launcher that hands it the accepted connection as standard input
and output, driven by Python's poplib: systemd-socket-activate --accept --inetd (what
fernd.socket does), and socat with the very command line that the man page gives.

Each launcher serves a Maildir of three messages: a first client fetches all of them and deletes
one, a second one sees the two others with the same unique ids, fails a login once, then deletes
the rest; the log file holds both sessions."""

import os
import poplib
import re
import subprocess
import sys
import tempfile
import time

from install_support import (check, fail, free_port, need_tool, parse_args, stop,
                             wait_for_stderr_line)

PASSWORD = "pass word"  # a blank inside, as a password may have
MESSAGES = {
    # name: file bytes (on disk; poplib returns lines without CR LF and with dots unstuffed)
    "1000000001.M1P1.host": b"Subject: first\n\nplain LF lines\n.a line with a dot\n",
    "1000000002.M2P2.host": b"Subject: second\r\n\r\nCR LF lines\r\n..two dots\r\n",
    "1000000003.M3P3.host": b"Subject: third\n\nno final line end",
}
SESSION_DEADLINE = 30  # seconds for one whole client session, authorization delay included


def make_maildir(root):
    maildir = os.path.join(root, "Maildir")
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub))
    for i, (name, body) in enumerate(sorted(MESSAGES.items())):
        path = os.path.join(maildir, "new", name)
        with open(path, "wb") as f:
            f.write(body)
        os.utime(path, (1_700_000_000 + i, 1_700_000_000 + i))  # oldest first, in name order
    password_file = os.path.join(root, "password")
    with open(password_file, "w", encoding="utf-8") as f:
        f.write(PASSWORD + "\n")
    return maildir, password_file


def as_lines(body):
    """What poplib hands back for a message file: its lines without line ends."""
    lines = body.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def first_session(port, maildir):
    pop = poplib.POP3("127.0.0.1", port, timeout=SESSION_DEADLINE)
    check(pop.getwelcome() == b"+OK fernd ready.", f"greeting {pop.getwelcome()!r}")
    check(sorted(pop.capa()) == ["UIDL", "USER"], f"CAPA {pop.capa()}")
    pop.user("alice")
    pop.pass_(PASSWORD)
    names = sorted(MESSAGES)
    count, size = pop.stat()
    check((count, size) == (3, sum(len(b) for b in MESSAGES.values())),
          f"STAT {(count, size)}")
    _, listing, _ = pop.uidl()
    check(listing == [f"{i + 1} {n}".encode() for i, n in enumerate(names)], f"UIDL {listing}")
    for i, name in enumerate(names):
        _, lines, _ = pop.retr(i + 1)
        check(lines == as_lines(MESSAGES[name]), f"RETR {i + 1}: {lines}")
    pop.dele(1)
    check(os.path.exists(os.path.join(maildir, "new", names[0])),
          "a message was unlinked before QUIT")
    pop.quit()


def second_session(port, maildir):
    names = sorted(MESSAGES)
    check(not os.path.exists(os.path.join(maildir, "new", names[0])),
          "the message deleted in the first session is still in new/")
    check(os.path.exists(os.path.join(maildir, "new", names[1])),
          "a message that was not deleted has gone")
    pop = poplib.POP3("127.0.0.1", port, timeout=SESSION_DEADLINE)
    pop.user("alice")
    try:
        pop.pass_("wrong")
        fail("a wrong password was accepted")
    except poplib.error_proto as refusal:
        check(refusal.args[0] == b"-ERR authorization failed", f"refusal {refusal}")
    pop.user("alice")
    pop.pass_(PASSWORD)
    _, listing, _ = pop.uidl()
    check(listing == [b"1 " + names[1].encode(), b"2 " + names[2].encode()],
          f"UIDL after the deletion {listing}")
    pop.dele(1)
    pop.dele(2)
    pop.quit()


def check_log(log_file):
    with open(log_file, encoding="utf-8") as f:
        lines = f.read().splitlines()
    pattern = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d fernd\[(\d+)\] (info|error): .*")
    for line in lines:
        check(pattern.fullmatch(line), f"log line in an unexpected form: {line!r}")
    pids = {pattern.fullmatch(line).group(1) for line in lines}
    check(len(pids) == 2, f"expected the lines of two session processes, got {len(pids)}")
    for expected in ("user alice authorized and mailbox locked",
                     "authorization for user alice failed: invalid credentials",
                     "1 mails deleted in update phase; session ends",
                     "2 mails deleted in update phase; session ends"):
        check(any(line.endswith(expected) for line in lines), f"no log line {expected!r}")


def serve(launcher_args, ready_text, maildir, log_file):
    """Starts a launcher on a free port (a few tries, as another process may take the port
    between the probe and the bind), runs both sessions against it and stops it."""
    for _attempt in range(5):
        port = free_port()
        args = [a.replace("@PORT@", str(port)) for a in launcher_args]
        launcher = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE)
        try:
            if not wait_for_stderr_line(launcher, ready_text, 10):
                continue
            first_session(port, maildir)
            # The session process unlinks and logs after its reply to QUIT has left.
            wait_for_log(log_file, 1)
            second_session(port, maildir)
            wait_for_log(log_file, 2)
            check(os.listdir(os.path.join(maildir, "new")) == [],
                  "new/ is not empty after the second session")
            check_log(log_file)
            return
        finally:
            stop(launcher)
    fail(f"{launcher_args[0]} did not start listening on a free port in 5 tries")


def wait_for_log(log_file, sessions):
    """Waits (bounded) until the log shows the end of the update phase of that many sessions."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if os.path.exists(log_file):
            with open(log_file, encoding="utf-8") as f:
                if f.read().count("session ends") >= sessions:
                    return
        time.sleep(0.05)
    fail(f"the log does not show the end of {sessions} session(s) within 10 seconds")


def socat_line_from_man_page(source_dir):
    """The socat example of the man page, as one shell command line."""
    with open(os.path.join(source_dir, "docs/fernd.8"), encoding="utf-8") as page:
        text = page.read()
    match = re.search(r"^(socat TCP-LISTEN:.*?)\n\.Ed", text, re.MULTILINE | re.DOTALL)
    check(match, "no socat example in docs/fernd.8")
    # Undo the roff escapes of the literal display: "\e" is a backslash.
    return match.group(1).replace("\\e", "\\").replace("\\\n", " ")


def main():
    args = parse_args()
    activate = need_tool("systemd-socket-activate", "systemd")
    socat = need_tool("socat", "socat")

    # systemd-socket-activate --accept --inetd: one fernd --inetd per connection, with the connection
    # on its standard input and output, as systemd's Accept=yes socket units do.
    with tempfile.TemporaryDirectory(prefix="fernd-activate-") as root:
        maildir, password_file = make_maildir(root)
        log_file = os.path.join(root, "fernd.log")
        serve([activate, "--accept", "--inetd", "-l", "127.0.0.1:@PORT@", args.binary, "--inetd",
               f"--log={log_file}", f"--auth=alice,cat {password_file}",
               f"--maildir={maildir}"],
              "Listening on", maildir, log_file)

    # socat, with the man page's command line: only the paths and the port are this test's.
    with tempfile.TemporaryDirectory(prefix="fernd-socat-") as root:
        maildir, password_file = make_maildir(root)
        log_file = os.path.join(root, "fernd.log")
        line = socat_line_from_man_page(args.source_dir)
        for documented, actual in (("/usr/sbin/fernd", args.binary + f" --log={log_file}"),
                                   ("/etc/fernd/password", password_file),
                                   ("/var/mail/pop", maildir),
                                   ("--auth=pop", "--auth=alice"),
                                   ("TCP-LISTEN:1100", "TCP-LISTEN:@PORT@")):
            check(documented in line, f"the man page's socat line lacks {documented}: {line}")
            line = line.replace(documented, actual)
        socat_args = ["/bin/sh", "-c", f"exec {socat} -d -d {line[len('socat '):]}"]
        serve(socat_args, "listening on", maildir, log_file)


if __name__ == "__main__":
    sys.exit(main())
