"""fernd --inetd behind a real launcher that hands it the accepted connection as standard input
and output, driven by Python's poplib: systemd-socket-activate --accept --inetd (what
fernd.socket does), and socat with the very command line that the man page gives.

Each launcher serves a Maildir of three messages: a first client fetches all of them and deletes
one, a second one sees the two others with the same unique ids, fails a login once, then deletes
the rest; the log file holds both sessions."""

import os
import poplib
import re
import sys
import tempfile

from install_support import check, fail, harness, need_tool, parse_args

PASSWORD = "pass word"  # a blank inside, as a password may have
MESSAGES = {
    # name: file bytes (on disk; poplib returns lines without CR LF and with dots unstuffed)
    "1000000001.M1P1.host": b"Subject: first\n\nplain LF lines\n.a line with a dot\n",
    "1000000002.M2P2.host": b"Subject: second\r\n\r\nCR LF lines\r\n..two dots\r\n",
    "1000000003.M3P3.host": b"Subject: third\n\nno final line end",
}
SESSION_DEADLINE = 30  # seconds for one whole client session, authorization delay included


def make_maildir(root):
    # Oldest first, in name order.
    maildir = harness.Maildir(os.path.join(root, "Maildir"), dict(sorted(MESSAGES.items())))
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
    check(names[0] in maildir.names(), "a message was unlinked before QUIT")
    pop.quit()


def second_session(port, maildir):
    names = sorted(MESSAGES)
    check(names[0] not in maildir.names(),
          "the message deleted in the first session is still in new/")
    check(names[1] in maildir.names(), "a message that was not deleted has gone")
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


def check_log(log):
    """The log holds the lines of both sessions; a line in another form fails the test."""
    entries = log.entries()
    pids = {pid for pid, _, _ in entries}
    check(len(pids) == 2, f"expected the lines of two session processes, got {len(pids)}")
    for expected in ("user alice authorized and mailbox locked",
                     "authorization for user alice failed: invalid credentials",
                     "1 mails deleted in update phase; session ends",
                     "2 mails deleted in update phase; session ends"):
        check(any(text.endswith(expected) for _, _, text in entries), f"no log line {expected!r}")
    # The launcher passes the TCP connection itself: the failure names the client, from
    # getpeername on standard input.
    check(any(re.fullmatch(r"invalid credentials from 127\.0\.0\.1 port \d+", text)
              for _, _, text in entries), "no line naming the client of the failed login")


def serve(launcher_args, root, maildir, log):
    """Starts a launcher on a free port (@PORT@ in its arguments), runs both sessions against
    it and stops it."""
    launcher, port = harness.start_on_free_port(
        lambda port: [a.replace("@PORT@", str(port)) for a in launcher_args],
        os.path.join(root, "launcher-output"))
    try:
        first_session(port, maildir)
        # The session process unlinks and logs after its reply to QUIT has left.
        wait_for_sessions(log, 1)
        second_session(port, maildir)
        wait_for_sessions(log, 2)
        check(maildir.names() == [], "new/ is not empty after the second session")
        check_log(log)
    finally:
        harness.kill_group(launcher)


def wait_for_sessions(log, count):
    """Waits until the log shows the end of the update phase of count sessions."""
    harness.wait_until(
        lambda: sum(text.endswith("session ends") for _, _, text in log.entries()) >= count,
        f"the log to show the end of {count} session(s)")


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
        log = harness.LogFile(os.path.join(root, "fernd.log"))
        serve([activate, "--accept", "--inetd", "-l", "127.0.0.1:@PORT@", args.binary, "--inetd",
               f"--log={log.path}", f"--auth=alice,cat {password_file}",
               f"--maildir={maildir.path}"],
              root, maildir, log)

    # socat, with the man page's command line: only the paths and the port are this test's.
    with tempfile.TemporaryDirectory(prefix="fernd-socat-") as root:
        maildir, password_file = make_maildir(root)
        log = harness.LogFile(os.path.join(root, "fernd.log"))
        line = socat_line_from_man_page(args.source_dir)
        for documented, actual in (("/usr/sbin/fernd", args.binary + f" --log={log.path}"),
                                   ("/etc/fernd/password", password_file),
                                   ("/var/mail/pop", maildir.path),
                                   ("--auth=pop", "--auth=alice"),
                                   ("TCP-LISTEN:1100", "TCP-LISTEN:@PORT@")):
            check(documented in line, f"the man page's socat line lacks {documented}: {line}")
            line = line.replace(documented, actual)
        socat_args = ["/bin/sh", "-c", f"exec {socat} -d -d {line[len('socat '):]}"]
        serve(socat_args, root, maildir, log)


if __name__ == "__main__":
    sys.exit(main())
