#!/usr/bin/env python3
"""Faults around a session of the real fernd binary, and what each must not cost: a session
process killed after DELE, a client that vanishes in the middle of a RETR, an update phase whose
unlink fails, a log file that cannot be opened, and mail that arrives during a session. In each
case no message is lost or served twice, and the mailbox is free again at once.

Usage: faults.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import shutil
import signal
import stat

import fernd_harness as harness
from fernd_harness import PASSWORD, USER, WAIT

# A message so large that the kernel's socket buffers cannot take all of it while the client
# reads nothing: the client's receive buffer is pinned small (CLIENT_RECEIVE_BUFFER), so the
# server's send buffer, at most tcp_wmem's maximum, is what may hold the rest.
CLIENT_RECEIVE_BUFFER = 64 << 10


def large_message_size():
    return 2 * harness.send_buffer_max() + (8 << 20)


def small_messages(count, tag="m"):
    return {f"{1000 + index}.{tag}": harness.headers(f"{tag}{index}") + f"body {index}\n".encode()
            for index in range(count)}


class KillDuringTransactionTest(harness.E2ETestCase):
    """SIGKILL for a session process after DELE of every message: the update phase never runs,
    so every message stays, and the kernel frees the lock with the process."""

    def run_case(self, mode):
        messages = small_messages(4)
        maildir = self.workspace.maildir(f"Maildir-{mode}", messages)
        server = self.server([harness.Account(USER, PASSWORD, maildir)], mode=mode,
                             log=self.workspace.path(f"{mode}.log"))
        client = self.logged_in(server)
        for number in range(1, len(messages) + 1):
            self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
        self.assertEqual(client.command("STAT"), b"+OK 0 0\r\n")

        sessions = server.children()
        self.assertEqual(len(sessions), 1, "one session process")
        victim = sessions[0]
        os.kill(victim, signal.SIGKILL)
        # The kernel drops the process's locks before it becomes a zombie.
        harness.wait_until(lambda: harness.process_state(victim) in (None, "Z"),
                           "the session process to die")

        self.assertEqual(maildir.contents(), messages)
        # The lock is free at once: the first login after the kill succeeds, no retry.
        second = self.logged_in(server)
        self.assertEqual(second.command("UIDL"), b"+OK\r\n")
        listed = [line.decode().split()[1] for line in second.multiline()]
        self.assertEqual(listed, sorted(messages))
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")

        harness.wait_until(lambda: victim not in server.children(),
                           "the killed session to be reaped")
        lines = server.log.session_of(victim)
        self.assertIn(f"info: user {USER} authorized and mailbox locked", lines)
        self.assertFalse([line for line in lines if "deleted in update phase" in line], lines)
        self.assertEqual(maildir.contents(), messages)

    def test_standalone(self):
        self.run_case("standalone")

    def test_inetd(self):
        self.run_case("inetd-systemd")


class ClientVanishesDuringRetrTest(harness.E2ETestCase):
    """A client that closes its connection while a large message is on its way: the session
    ends through its output-error path, unlinks nothing (not even what was marked deleted),
    releases the lock and logs why."""

    def run_case(self, mode):
        messages = small_messages(2)
        maildir = self.workspace.maildir(f"Maildir-{mode}", messages)
        large = harness.headers("huge") + harness.large_body(large_message_size())
        maildir.add("2000.huge", large)
        messages["2000.huge"] = large
        server = self.server([harness.Account(USER, PASSWORD, maildir)], mode=mode,
                             log=self.workspace.path(f"{mode}.log"))

        client = self.client(server, receive_buffer=CLIENT_RECEIVE_BUFFER)
        session = server.children()[0]
        client.send(f"USER {USER}\r\nPASS {PASSWORD}\r\nDELE 1\r\nRETR 3\r\n")
        for expected in (b"+OK\r\n", b"+OK\r\n", b"+OK\r\n", b"+OK\r\n"):
            self.assertEqual(client.line(), expected)
        received = client.read(256 << 10)
        self.assertEqual(received, harness.wire_form(large)[:len(received)])
        client.close()  # unread data: the kernel answers the server with a reset

        harness.wait_until(lambda: harness.process_state(session) in (None, "Z"),
                           "the session to end")
        self.assertEqual(maildir.contents(), messages)
        path = maildir.file("2000.huge")
        expected_tail = [f"error: cannot send mail file {path}",
                         "error: output error, session aborted"]
        if mode == "standalone":
            expected_tail.append("info: connection closed")
            harness.wait_until(lambda: session not in server.children(),
                               "the session to be reaped")
        lines = server.log.session_of(session)
        self.assertEqual(lines[-len(expected_tail):], expected_tail, lines)
        self.assertIn(f"info: user {USER} authorized and mailbox locked", lines)

        # The lock is free: the next session sees every message and may take them.
        second = self.logged_in(server)
        self.assertEqual(second.command("STAT"),
                         f"+OK 3 {sum(map(len, messages.values()))}\r\n".encode())
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")

    def test_standalone(self):
        self.run_case("standalone")

    def test_inetd(self):
        self.run_case("inetd-systemd")


class UnlinkFailsInUpdatePhaseTest(harness.E2ETestCase):
    """new/ read-only for the server's user: the update phase cannot unlink, the session still
    ends normally, and the message is served again next time. Root ignores the permission, so
    the server runs as an unprivileged user."""

    def test_read_only_new(self):
        messages = small_messages(3)
        base = self.workspace.directory("unprivileged")
        binary = os.path.join(base, "fernd")
        shutil.copy(self.binary, binary)
        os.chmod(binary, 0o755)
        maildir = harness.Maildir(os.path.join(base, "Maildir"), messages)
        logs = self.workspace.directory("unprivileged", "logs")
        harness.give_to_unprivileged(base)
        new = os.path.join(maildir.path, "new")
        os.chmod(new, 0o555)

        server = harness.Server(binary, [harness.Account(USER, PASSWORD, maildir)],
                                self.workspace, log=os.path.join(logs, "fernd.log"),
                                prefix=harness.unprivileged_prefix())
        self.servers.append(server)
        server.start()
        self.assertNotEqual(harness.process_uid(server.process.pid), 0,
                            "the server must not run as root")

        client = self.logged_in(server)
        self.assertEqual(client.command("DELE 2"), b"+OK\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(client.read_to_end(), b"", "the server closes after QUIT")
        server.log.wait_for("connection closed")
        ((_, lines),) = server.log.sessions()
        # The client was told the message is gone, and the count says so; the log names the
        # file that stays, and why.
        self.assertEqual(lines[-4:], ["info: client ended transaction phase",
                                      f"error: cannot unlink mail file {maildir.file('1001.m')}: "
                                      "Permission denied",
                                      "info: 1 mails deleted in update phase; session ends",
                                      "info: connection closed"])
        self.assertEqual(maildir.contents(), messages)

        second = self.logged_in(server)
        self.assertEqual(second.command("UIDL 2"), b"+OK 2 1001.m\r\n")
        self.assertEqual(second.command("RETR 2"), b"+OK\r\n")
        self.assertEqual(b"".join(second.multiline()),
                         messages["1001.m"].replace(b"\n", b"\r\n"))
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")


class LogFileUnavailableTest(harness.E2ETestCase):
    """--log names a file that cannot be opened (in a directory that does not exist, or a FIFO
    that nobody reads): fernd falls back to syslog, and the session runs as usual."""

    def fetch_and_delete(self, server, maildir, messages):
        client = self.client(server)
        (session,) = server.children()
        self.assertEqual(client.login(), b"+OK\r\n")
        for number, name in enumerate(sorted(messages), start=1):
            self.assertEqual(client.command(f"RETR {number}"), b"+OK\r\n")
            self.assertEqual(b"".join(client.multiline()),
                             messages[name].replace(b"\n", b"\r\n"))
            self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(client.read_to_end(), b"", "the server closes after QUIT")
        harness.wait_until(lambda: not maildir.names(), "the update phase")
        return session

    def test_session_unaffected(self):
        """Whatever syslog does on this machine (CI has no /dev/log), the session works."""
        messages = small_messages(3)
        maildir = self.workspace.maildir("Maildir", messages)
        log = self.workspace.path("no", "such", "directory", "fernd.log")
        server = self.server([harness.Account(USER, PASSWORD, maildir)], log=log)
        self.fetch_and_delete(server, maildir, messages)
        server.wait_sessions_reaped()
        self.assertFalse(os.path.exists(os.path.dirname(log)))

    def test_fifo_at_the_log_path(self):
        """A FIFO that nobody reads at the log path: opening it would wait for a reader for ever.
        Each session falls back to syslog at once and greets; so does an inetd session, whose
        passwordeval command would write its errors into the log file."""
        for mode in ("standalone", "inetd-systemd"):
            with self.subTest(mode=mode):
                messages = small_messages(2)
                maildir = self.workspace.maildir(f"Maildir-{mode}", messages)
                log = self.workspace.path(f"fifo-{mode}")
                os.mkfifo(log)
                server = self.server([harness.Account(USER, PASSWORD, maildir)], log=log,
                                     mode=mode)
                self.fetch_and_delete(server, maildir, messages)
                self.assertTrue(stat.S_ISFIFO(os.stat(log).st_mode))

    def test_fallback_reaches_syslog(self):
        """In a private mount namespace /dev/log is a datagram socket of the test's: the
        fallback notice and the session's lines arrive there, with facility mail."""
        collector = harness.SyslogCollector(self, self.workspace)
        messages = small_messages(2)
        maildir = self.workspace.maildir("Maildir", messages)
        log = self.workspace.path("no", "such", "directory", "fernd.log")
        server = self.server([harness.Account(USER, PASSWORD, maildir)], log=log,
                             prefix=collector.prefix)
        session = self.fetch_and_delete(server, maildir, messages)
        server.wait_sessions_reaped()

        records = collector.records_until("connection closed")
        self.assertEqual({pid for _, pid, _ in records}, {session})
        texts = [(priority, text) for priority, _, text in records]
        self.assertRegex(texts[1][1], r"^connection from 127\.0\.0\.1 port \d+, "
                         r"active sessions 1 \(max 16\), auth_delay=no$")
        self.assertEqual(texts[:1] + texts[2:], [
            (b"<19>", "cannot open log file, using syslog instead"),
            (b"<22>", "starting POP3 session"),
            (b"<22>", "client started authorization"),
            (b"<22>", f"user {USER} authorized and mailbox locked"),
            (b"<22>", "starting transaction phase with 2 mails in mailbox"),
            (b"<22>", "client ended transaction phase"),
            (b"<22>", "2 mails deleted in update phase; session ends"),
            (b"<22>", "connection closed")])


class ArrivalDuringSessionTest(harness.E2ETestCase):
    """Mail delivered into new/ while a session runs is not in its snapshot: not listed, not
    deleted even when the client deletes everything it was shown, and served next time."""

    def test_arrivals_wait_for_the_next_session(self):
        first = small_messages(3, "early")
        maildir = self.workspace.maildir("Maildir", first)
        server = self.server([harness.Account(USER, PASSWORD, maildir)])

        client = self.logged_in(server)
        # Delivered the Maildir way, through tmp/ and a rename, with times older than every
        # message listed: they would sort first if the session saw them.
        late = small_messages(2, "late")
        for name, content in late.items():
            maildir.deliver(name, content, 1600000000)
        self.assertEqual(client.command("STAT"),
                         f"+OK 3 {sum(map(len, first.values()))}\r\n".encode())
        self.assertEqual(client.command("UIDL"), b"+OK\r\n")
        self.assertEqual([line.split()[1].decode() for line in client.multiline()],
                         sorted(first))
        self.assertEqual(client.command("LIST 4"), b"-ERR\r\n")
        self.assertEqual(client.command("RETR 4"), b"-ERR\r\n")
        self.assertEqual(client.command("DELE 4"), b"-ERR\r\n")
        for number in range(1, 4):
            self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(client.read_to_end(), b"", "the server closes after QUIT")
        server.log.wait_for("connection closed")
        self.assertEqual(maildir.contents(), late)

        second = self.logged_in(server)
        self.assertEqual(second.command("UIDL"), b"+OK\r\n")
        listed = [line.split()[1].decode() for line in second.multiline()]
        self.assertEqual(listed, sorted(late))
        for number, name in enumerate(listed, start=1):
            self.assertEqual(second.command(f"RETR {number}"), b"+OK\r\n")
            self.assertEqual(b"".join(second.multiline()), late[name].replace(b"\n", b"\r\n"))
            self.assertEqual(second.command(f"DELE {number}"), b"+OK\r\n")
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")
        server.log.wait_for("connection closed", 2)
        self.assertEqual(maildir.names(), [])


if __name__ == "__main__":
    harness.main(__doc__)
