#!/usr/bin/env python3
"""The standalone listener of the real fernd binary on loopback, driven the way mail clients
drive it: Python's poplib for a normal fetch and delete, raw sockets where bytes must be exact.

Usage: listener_test.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import poplib
import signal
import socket

import fernd_harness as harness
from fernd_harness import PASSWORD, USER, WAIT


class ListenerTestCase(harness.E2ETestCase):
    """A fresh Maildir of the standard account, and listeners that serve it."""

    def setUp(self):
        super().setUp()
        self.maildir = self.workspace.maildir("Maildir")
        self.account = harness.Account(USER, PASSWORD, self.maildir)

    def listener(self, **options):
        return self.server([self.account], **options)

    def refused(self, interface, port):
        """What fernd, told to listen on interface and port, exits with: (status, standard
        output, standard error)."""
        return harness.Server(self.binary, [self.account], self.workspace,
                              interface=interface).run(port)

    def assert_still_serving(self, server):
        """The listener runs on, and a new client gets its greeting."""
        self.assertIsNone(server.process.poll(), server.output())
        client = self.client(server)
        client.exchange(b"QUIT", b"+OK\r\n")
        client.close()


class ListenerAddressTest(ListenerTestCase):
    """Address texts, ports and the failures of setting up, with their exact messages."""

    def test_only_address_texts_are_accepted(self):
        # Names are never looked up; inet_aton's shorthands and scoped addresses are no texts.
        for text in ("localhost", "127.1", "0x7f.0.0.1", "::1%lo", " 127.0.0.1", "ip6-localhost"):
            with self.subTest(text):
                self.assertEqual((3, b"", f"{self.binary}: invalid interface '{text}': give an "
                                  "IPv4 or IPv6 address, such as 127.0.0.1 or ::1; host names "
                                  "are not looked up\n".encode()),
                                 self.refused(text, harness.free_port()))

    def test_bind_conflict_reports_the_port_as_given(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            expected = (f"{self.binary}: cannot bind to 127.0.0.1:{port}: "
                        "Address already in use\n")
            self.assertEqual((3, b"", expected.encode()), self.refused("127.0.0.1", port))

    def test_port_beyond_sixteen_bits_is_refused_before_any_socket(self):
        # It would otherwise listen on its low 16 bits, a port that nobody asked for.
        port = harness.free_port()
        for given in (port + 65536, port + 3 * 65536):
            with self.subTest(given):
                expected = (f"{self.binary}: invalid port '{given}': "
                            "a port is a number from 0 to 65535\n")
                self.assertEqual((3, b"", expected.encode()), self.refused("127.0.0.1", given))


class ListenerSessionTest(ListenerTestCase):
    """Whole sessions through the listener, with their log lines."""

    def test_poplib_fetches_and_deletes(self):
        first = b"From: a@example.org\r\nSubject: one\r\n\r\nhello\r\n.hidden dot\r\n"
        second = b"Subject: two\n\nbare line ends\n"
        self.maildir.add("1000.one", first, 1_000_000)
        self.maildir.add("1001.two", second, 1_000_001)
        server = self.listener()

        pop = poplib.POP3("127.0.0.1", server.port, timeout=WAIT)
        client_port = pop.sock.getsockname()[1]
        self.assertEqual(b"+OK fernd ready.", pop.getwelcome())
        pop.user(USER)
        pop.pass_(PASSWORD)
        self.assertEqual((2, len(first) + len(second)), pop.stat())
        self.assertEqual([b"1 %d" % len(first), b"2 %d" % len(second)], pop.list()[1])
        self.assertEqual([b"1 1000.one", b"2 1001.two"], pop.uidl()[1])
        self.assertEqual(first.split(b"\r\n")[:-1], pop.retr(1)[1])
        self.assertEqual(second.split(b"\n")[:-1], pop.retr(2)[1])
        pop.dele(1)
        pop.quit()

        # The reply to QUIT leaves before the update phase: the session's last line marks its end.
        pid = server.log.pid_of_client(client_port)
        self.assertEqual([
            f"info: connection from 127.0.0.1 port {client_port}, active sessions 1 (max 16), "
            "auth_delay=no",
            "info: starting POP3 session",
            "info: client started authorization",
            f"info: user {USER} authorized and mailbox locked",
            "info: starting transaction phase with 2 mails in mailbox",
            "info: client ended transaction phase",
            "info: 1 mails deleted in update phase; session ends",
            "info: connection closed",
        ], server.log.closed_session_of(pid))
        self.assertEqual(["1001.two"], self.maildir.names())

    def test_ipv6_loopback(self):
        if not harness.ipv6_loopback_available():
            self.skipTest("this machine has no ::1")
        self.maildir.add("m", b"over six\n", 1_000_000)
        server = self.listener(interface="::1")
        client = self.logged_in(server)
        client.exchange(b"RETR 1", b"+OK\r\nover six\r\n.\r\n")
        client.exchange(b"QUIT", b"+OK\r\n")
        pid = server.log.pid_of_client(client.local_port)
        self.assertEqual(
            f"info: connection from ::1 port {client.local_port}, active sessions 1 (max 16), "
            "auth_delay=no", server.log.closed_session_of(pid)[0])

    def test_second_client_on_a_locked_mailbox_is_refused(self):
        self.maildir.add("m", b"text\n", 1_000_000)
        server = self.listener()
        first = self.logged_in(server)
        second = self.client(server)
        second.exchange(f"USER {USER}", b"+OK\r\n")
        second.exchange(f"PASS {PASSWORD}", b"-ERR cannot access mailbox\r\n")
        second.exchange(b"QUIT", b"+OK\r\n")
        first.exchange(b"STAT", b"+OK 1 5\r\n")
        first.exchange(b"QUIT", b"+OK\r\n")
        pid = server.log.pid_of_client(second.local_port)
        self.assertIn(f"info: authorization for user {USER} failed: cannot lock mailbox",
                      server.log.closed_session_of(pid))

    def test_failed_login_turns_on_the_delay_for_the_next_session(self):
        server = self.listener()
        failing = self.client(server)
        failing.exchange(f"USER {USER}", b"+OK\r\n")
        failing.exchange(b"PASS wrong", b"-ERR authorization failed\r\n")
        failing.exchange(b"QUIT", b"+OK\r\n")
        self.assertEqual(b"", failing.read_to_end())
        # Once the listener has reaped that session (status 2), the delay is on.
        server.wait_sessions_reaped()

        following = self.client(server)
        following.exchange(b"QUIT", b"+OK\r\n")
        self.assertEqual(
            [f"info: connection from 127.0.0.1 port {port}, active sessions 1 (max 16), "
             f"auth_delay={delay}" for port, delay in ((failing.local_port, "no"),
                                                      (following.local_port, "yes"))],
            [server.log.closed_session_of(server.log.pid_of_client(port))[0]
             for port in (failing.local_port, following.local_port)])


class ListenerLimitTest(ListenerTestCase):
    """At most sixteen sessions at once, with an exact count however many come and go."""

    def test_seventeenth_client_waits_for_a_free_slot(self):
        server = self.listener()
        # Sessions that end in bursts, so that one signal often stands for several children;
        # a count that lost a single decrement would show in the lines below.
        for _ in range(4):
            burst = [self.client(server, greeted=False) for _ in range(10)]
            for client in burst:
                client.expect(b"+OK fernd ready.\r\n")
            for client in burst:
                client.send(b"QUIT\r\n")
            for client in burst:
                client.expect(b"+OK\r\n")
                client.close()
        server.wait_sessions_reaped()

        sessions = [self.client(server) for _ in range(16)]
        if not any(name in harness.SYSTEM_CALLS for name in harness.WAITING_CALLS):
            self.skipTest(f"no system call numbers for {os.uname().machine}")
        waiting = self.client(server, greeted=False)  # the kernel holds it in the backlog
        # The listener waits for a session to end instead of accepting. A listener that took
        # the seventeenth would have done so before it waits again: once it waits, the
        # connection must still be in the backlog, and there must be sixteen sessions.
        harness.wait_until(
            lambda: harness.in_system_call(server.process.pid, *harness.WAITING_CALLS),
            "the listener to wait for a free slot")
        self.assertEqual(("01", "0"),
                         harness.wait_until(lambda: server.connection(waiting.local_port),
                                            "the seventeenth connection on the server"))
        self.assertEqual(16, len(server.children()))
        waiting.socket.setblocking(False)  # nothing has arrived: no greeting was sent
        with self.assertRaises(BlockingIOError):
            waiting.socket.recv(1)
        waiting.socket.settimeout(WAIT)

        sessions[0].exchange(b"QUIT", b"+OK\r\n")
        waiting.expect(b"+OK fernd ready.\r\n")
        waiting.exchange(b"QUIT", b"+OK\r\n")

        lines = [server.log.session_of(server.log.pid_of_client(client.local_port))[0]
                 for client in sessions + [waiting]]
        self.assertEqual(
            [f"info: connection from 127.0.0.1 port {client.local_port}, active sessions "
             f"{count} (max 16), auth_delay=no"
             for client, count in zip(sessions + [waiting], list(range(1, 17)) + [16])],
            lines)
        for client in sessions[1:]:
            client.exchange(b"QUIT", b"+OK\r\n")


class ListenerSignalTest(ListenerTestCase):
    """SIGHUP changes nothing; SIGTERM ends the listener, never a running session."""

    def test_terminated_listener_leaves_the_running_session_to_finish(self):
        message = b"Subject: kept\r\n\r\nbody\r\n"
        self.maildir.add("m", message, 1_000_000)
        server = self.listener()
        running = self.logged_in(server)
        running.exchange(b"STAT", b"+OK 1 %d\r\n" % len(message))

        # As a shell's or a service manager's kill of the whole process group would send them.
        server.signal_group(signal.SIGHUP)
        self.assert_still_serving(server)
        server.signal_group(signal.SIGTERM)
        self.assertEqual(-signal.SIGTERM, server.process.wait(timeout=WAIT))
        # No session process kept a copy of the listening socket.
        with self.assertRaises(ConnectionRefusedError):
            harness.connect(server.port).close()

        running.exchange(b"RETR 1", b"+OK\r\n" + message + b".\r\n")
        running.exchange(b"DELE 1", b"+OK\r\n")
        running.exchange(b"QUIT", b"+OK\r\n")
        self.assertEqual(b"", running.read_to_end())
        self.assertEqual([], self.maildir.names())
        log = server.log.closed_session_of(server.log.pid_of_client(running.local_port))
        self.assertEqual(["info: 1 mails deleted in update phase; session ends",
                          "info: connection closed"], log[-2:])


class ListenerRobustnessTest(ListenerTestCase):
    """Clients that pipeline, and clients that vanish: every session ends through its own
    paths, with its log complete and its mailbox released."""

    def test_pipelined_commands_are_all_answered_in_order(self):
        self.maildir.add("a", b"first\n", 1_000_000)
        self.maildir.add("b", b"second\n", 1_000_001)
        server = self.listener()
        client = self.client(server, greeted=False)
        client.send(f"USER {USER}\r\nPASS {PASSWORD}\r\nSTAT\r\nLIST\r\nQUIT\r\n")
        self.assertEqual(b"+OK fernd ready.\r\n"
                         b"+OK\r\n"
                         b"+OK\r\n"
                         b"+OK 2 13\r\n"
                         b"+OK\r\n1 6\r\n2 7\r\n.\r\n"
                         b"+OK\r\n", client.read_to_end())

    def test_client_vanishing_mid_retr_ends_through_the_output_error(self):
        # Larger than everything the kernel buffers for the connection: the session is still
        # sending when the client goes.
        line = b"x" * 99 + b"\n"
        big = self.maildir.add("big", line * ((harness.send_buffer_max() + (2 << 20)) // 100),
                               1_000_000)
        self.maildir.add("small", b"text\n", 1_000_001)
        server = self.listener()
        client = self.logged_in(server, receive_buffer=4096)
        client.exchange(b"DELE 2", b"+OK\r\n")
        client.exchange(b"RETR 1", b"+OK\r\n")
        wire_line = line[:-1] + b"\r\n"
        self.assertEqual(wire_line * 100, client.read(len(wire_line) * 100))
        client.close()

        log = server.log.closed_session_of(server.log.pid_of_client(client.local_port))
        self.assertEqual([f"error: cannot send mail file {big}",
                          "error: output error, session aborted",
                          "info: connection closed"], log[-3:])
        self.assertEqual(["big", "small"], self.maildir.names())
        # The lock went with the session, and the listener serves on.
        again = self.logged_in(server)
        again.exchange(b"STAT", b"+OK 2 %d\r\n" % (os.path.getsize(big) + 5))
        again.exchange(b"QUIT", b"+OK\r\n")

    def test_client_vanishing_before_the_reply_ends_through_the_output_error(self):
        self.maildir.add("m1", b"text\n", 1_000_000)
        self.maildir.add("m2", b"more\n", 1_000_001)
        server = self.listener()
        client = self.logged_in(server)
        client.exchange(b"DELE 2", b"+OK\r\n")
        pid = server.log.pid_of_client(client.local_port)
        # The session is stopped while the client sends RETR and vanishes; continued, it reads
        # the command, and the reply's first write reports the reset. At the default SIGPIPE
        # action the next one would kill the session before it could log or release anything.
        harness.wait_until(lambda: harness.in_system_call(pid, "read"),
                           "the session to wait for a command")
        harness.stop_process(pid)
        client.send(b"RETR 1\r\n")
        client.reset()
        harness.wait_until(lambda: server.connection(client.local_port) is None,
                           "the reset to arrive")
        harness.continue_process(pid)

        self.assertEqual([f"error: cannot send mail file {self.maildir.file('m1')}",
                          "error: output error, session aborted",
                          "info: connection closed"], server.log.closed_session_of(pid)[-3:])
        self.assertEqual(["m1", "m2"], self.maildir.names())
        again = self.logged_in(server)
        again.exchange(b"STAT", b"+OK 2 10\r\n")
        again.exchange(b"QUIT", b"+OK\r\n")


if __name__ == "__main__":
    harness.main(__doc__)
