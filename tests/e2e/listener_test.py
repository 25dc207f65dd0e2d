#!/usr/bin/env python3
"""The standalone listener of the real fernd binary on loopback, driven the way mail clients
drive it: Python's poplib for a normal fetch and delete, raw sockets where bytes must be exact.

Usage: listener_test.py --binary PATH [unittest arguments, e.g. a TestCase name]
"""

import argparse
import os
import poplib
import re
import shutil
import signal
import socket
import subprocess
import struct
import sys
import tempfile
import time
import unittest

BINARY = ""  # the fernd binary, from --binary

USER = "alice"
PASSWORD = "secret"

# The bound of every wait in these tests; no step needs more than a fraction of it.
WAIT = 10.0

LOG_LINE = re.compile(
    r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d fernd\[(\d+)\] (info|error): (.*)$")


def wait_until(predicate, what, seconds=WAIT):
    """Polls predicate until it returns a true value, which it returns; fails after seconds."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)


def free_port(family=socket.AF_INET, host="127.0.0.1"):
    """A port that was free a moment ago; the caller retries when it is taken meanwhile."""
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def kernel_send_buffer_max():
    """The most a TCP socket may buffer for sending (the third value of tcp_wmem)."""
    try:
        with open("/proc/sys/net/ipv4/tcp_wmem", encoding="ascii") as limits:
            return max(int(limits.read().split()[2]), 1 << 20)
    except (OSError, IndexError, ValueError):
        return 4 << 20


# The read system call, to see that a session waits for its next command.
READ = {"x86_64": 0, "aarch64": 63}.get(os.uname().machine)


# The system calls in which a process waits for time to pass or for a signal, by architecture.
# While all its session slots are taken, the listener waits in one of them instead of accepting.
WAITING_CALLS = {
    # nanosleep, clock_nanosleep, pause, rt_sigsuspend, rt_sigtimedwait, poll, ppoll, select,
    # pselect6, epoll_wait, epoll_pwait, epoll_pwait2, wait4, waitid
    "x86_64": {35, 230, 34, 130, 128, 7, 271, 23, 270, 232, 281, 441, 61, 247},
    # nanosleep, clock_nanosleep, rt_sigsuspend, rt_sigtimedwait, ppoll, pselect6, epoll_pwait,
    # epoll_pwait2, wait4, waitid
    "aarch64": {101, 115, 133, 137, 73, 72, 22, 441, 260, 95},
}.get(os.uname().machine)


def waiting_for_time_or_signal(pid):
    """True when process pid is blocked in one of the WAITING_CALLS."""
    try:
        with open(f"/proc/{pid}/syscall", encoding="ascii") as syscall:
            number = syscall.read().split()[0]
    except (OSError, IndexError):
        return False
    return number.isdigit() and int(number) in WAITING_CALLS


def waiting_in_read(pid):
    """True when process pid waits in a read (or, where the number is unknown, sleeps)."""
    try:
        with open(f"/proc/{pid}/syscall", encoding="ascii") as syscall:
            if READ is not None:
                return syscall.read().split()[0] == str(READ)
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "S"
    except (OSError, IndexError):
        return False


def process_state(pid):
    """The one-letter state of process pid, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


class Maildir:
    """A Maildir in a fresh temporary directory, with a log file path beside it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="fernd-e2e-")
        self.path = os.path.join(self.root, "Maildir")
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(self.path, sub))
        self.log_path = os.path.join(self.root, "fernd.log")
        self.stderr_path = os.path.join(self.root, "stderr")

    def add(self, name, content, mtime):
        path = self.file(name)
        with open(path, "wb") as message:
            message.write(content)
        os.utime(path, (mtime, mtime))
        return path

    def file(self, name):
        return os.path.join(self.path, "new", name)

    def has(self, name):
        return os.path.lexists(self.file(name))

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def fernd_args(maildir, interface, port):
    return [BINARY, f"--interface={interface}", f"--port={port}", f"--log={maildir.log_path}",
            f"--auth={USER},echo {PASSWORD}", f"--maildir={maildir.path}"]


def run_fernd(args):
    """Runs fernd to its end; returns (exit status, stdout, stderr)."""
    done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT,
                          check=False)
    return done.returncode, done.stdout, done.stderr


class Server:
    """A fernd listener in a process group of its own, on a port that was free."""

    def __init__(self, maildir, interface="127.0.0.1", port_offset=0):
        self.maildir = maildir
        self.interface = interface
        self.family = socket.AF_INET6 if ":" in interface else socket.AF_INET
        self.port_offset = port_offset  # added to the port on the command line
        self.port = 0
        self.process = None

    def start(self):
        for _ in range(20):
            self.port = free_port(self.family, self.interface)
            with open(self.maildir.stderr_path, "wb") as stderr:
                self.process = subprocess.Popen(
                    fernd_args(self.maildir, self.interface, self.port + self.port_offset),
                    stdin=subprocess.DEVNULL, stdout=stderr, stderr=stderr,
                    start_new_session=True)
            wait_until(lambda: self._listening() or self.process.poll() is not None,
                       "the listener to listen")
            if self.process.poll() is None:
                return self
            status = self.process.wait()
            error = self.stderr()
            if status == 3 and "cannot bind" in error:
                continue  # someone took the port in the meantime
            raise AssertionError(f"fernd ended with {status}: {error!r}")
        raise AssertionError("no free port found")

    def _listening(self):
        """True when the listener's own socket listens on the port."""
        inodes = set()
        fd_dir = f"/proc/{self.process.pid}/fd"
        try:
            for fd in os.listdir(fd_dir):
                target = os.readlink(os.path.join(fd_dir, fd))
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            return False
        table = "/proc/net/tcp6" if self.family == socket.AF_INET6 else "/proc/net/tcp"
        with open(table, encoding="ascii") as sockets:
            for line in sockets.readlines()[1:]:
                fields = line.split()
                local_port = int(fields[1].rsplit(":", 1)[1], 16)
                if local_port == self.port and fields[3] == "0A" and fields[9] in inodes:
                    return True
        return False

    def stderr(self):
        with open(self.maildir.stderr_path, encoding="utf-8", errors="replace") as text:
            return text.read()

    def has_connection(self, client_port):
        """True while the session's socket for the client at client_port is still connected."""
        return self.connection_entry(client_port) is not None

    def connection_entry(self, client_port):
        """The kernel's view of the server's end of the connection from client_port: None
        when there is none, else (state, socket inode). The inode stays 0 while the connection
        waits in the listen backlog: no process has a socket for it until accept()."""
        table = "/proc/net/tcp6" if self.family == socket.AF_INET6 else "/proc/net/tcp"
        with open(table, encoding="ascii") as sockets:
            for line in sockets.readlines()[1:]:
                fields = line.split()
                local = int(fields[1].rsplit(":", 1)[1], 16)
                remote = int(fields[2].rsplit(":", 1)[1], 16)
                if local == self.port and remote == client_port:
                    return fields[3], fields[9]
        return None

    def signal_group(self, number):
        os.killpg(self.process.pid, number)

    def children(self):
        """Process ids of the listener's children that it has not reaped yet."""
        path = f"/proc/{self.process.pid}/task/{self.process.pid}/children"
        with open(path, encoding="ascii") as children:
            return children.read().split()

    def wait_all_reaped(self):
        wait_until(lambda: not self.children(), "the listener to reap every session")

    def kill(self):
        """Ends the listener and every session process left."""
        if self.process is None:
            return
        try:
            self.signal_group(signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=WAIT)

    # The session log.

    def log(self):
        """Every log line as (pid, "level: text")."""
        try:
            with open(self.maildir.log_path, encoding="utf-8", errors="replace") as log:
                lines = log.read().splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            match = LOG_LINE.match(line)
            if not match:
                raise AssertionError(f"malformed log line {line!r}")
            entries.append((int(match.group(1)), f"{match.group(2)}: {match.group(3)}"))
        return entries

    def session_of(self, client_port):
        """The pid of the session process that logged the connection from client_port."""
        def find():
            for pid, text in self.log():
                if re.match(rf"info: connection from \S+ port {client_port}, ", text):
                    return pid
            return None
        return wait_until(find, f"the connection line for port {client_port}")

    def session_log(self, pid):
        return [text for entry_pid, text in self.log() if entry_pid == pid]

    def closed_session_log(self, pid):
        """The whole log of a session process, once it has logged its last line."""
        wait_until(lambda: "info: connection closed" in self.session_log(pid),
                   f"session {pid} to close")
        return self.session_log(pid)


class Client:
    """A raw POP3 connection that checks every byte it receives."""

    def __init__(self, test, server, receive_buffer=0):
        self.test = test
        self.sock = socket.socket(server.family, socket.SOCK_STREAM)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(WAIT)
        self.sock.connect((server.interface, server.port))
        self.port = self.sock.getsockname()[1]

    def read_exactly(self, count):
        data = b""
        while len(data) < count:
            piece = self.sock.recv(count - len(data))
            if not piece:
                break
            data += piece
        return data

    def expect(self, data):
        self.test.assertEqual(data, self.read_exactly(len(data)))

    def send(self, data):
        self.sock.sendall(data)

    def command(self, line, reply):
        self.send(line + b"\r\n")
        self.expect(reply)

    def login(self):
        self.expect(b"+OK fernd ready.\r\n")
        self.command(b"USER " + USER.encode(), b"+OK\r\n")
        self.command(b"PASS " + PASSWORD.encode(), b"+OK\r\n")

    def read_to_end(self):
        data = b""
        while True:
            piece = self.sock.recv(65536)
            if not piece:
                return data
            data += piece

    def close(self):
        self.sock.close()

    def reset(self):
        """Vanishes as a crashed client's kernel does: with a reset, not an orderly close."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class ListenerTestCase(unittest.TestCase):
    """A fresh Maildir, and the listeners and clients to clean up after each test."""

    def setUp(self):
        self.maildir = Maildir()
        self.addCleanup(self.maildir.remove)

    def server(self, **options):
        server = Server(self.maildir, **options)
        self.addCleanup(server.kill)
        return server.start()

    def client(self, server, **options):
        client = Client(self, server, **options)
        self.addCleanup(client.close)
        return client

    def assert_still_serving(self, server):
        """The listener runs on, and a new client gets its greeting."""
        self.assertIsNone(server.process.poll(), server.stderr())
        client = self.client(server)
        client.expect(b"+OK fernd ready.\r\n")
        client.command(b"QUIT", b"+OK\r\n")
        client.close()


class ListenerAddressTest(ListenerTestCase):
    """Address texts, ports and the failures of setting up, with their exact messages."""

    def test_only_address_texts_are_accepted(self):
        # Names are never looked up; inet_aton's shorthands and scoped addresses are no texts.
        for text in ("localhost", "127.1", "0x7f.0.0.1", "::1%lo", " 127.0.0.1", "ip6-localhost"):
            with self.subTest(text):
                status, out, err = run_fernd(fernd_args(self.maildir, text, free_port()))
                self.assertEqual((3, b"", f"{BINARY}: invalid interface\n".encode()),
                                 (status, out, err))

    def test_bind_conflict_reports_the_port_as_given(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            for given in (port, port + 65536, port + 3 * 65536):
                with self.subTest(given):
                    status, out, err = run_fernd(fernd_args(self.maildir, "127.0.0.1", given))
                    expected = (f"{BINARY}: cannot bind to 127.0.0.1:{given}: "
                                "Address already in use\n")
                    self.assertEqual((3, b"", expected.encode()), (status, out, err))

    def test_port_beyond_sixteen_bits_listens_on_its_low_bits(self):
        server = self.server(port_offset=65536)
        client = self.client(server)
        client.expect(b"+OK fernd ready.\r\n")
        client.command(b"QUIT", b"+OK\r\n")


class ListenerSessionTest(ListenerTestCase):
    """Whole sessions through the listener, with their log lines."""

    def test_poplib_fetches_and_deletes(self):
        first = b"From: a@example.org\r\nSubject: one\r\n\r\nhello\r\n.hidden dot\r\n"
        second = b"Subject: two\n\nbare line ends\n"
        self.maildir.add("1000.one", first, 1_000_000)
        self.maildir.add("1001.two", second, 1_000_001)
        server = self.server()

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
        pid = server.session_of(client_port)
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
        ], server.closed_session_log(pid))
        self.assertFalse(self.maildir.has("1000.one"))
        self.assertTrue(self.maildir.has("1001.two"))

    def test_ipv6_loopback(self):
        if not ipv6_loopback_available():
            self.skipTest("this machine has no ::1")
        self.maildir.add("m", b"over six\n", 1_000_000)
        server = self.server(interface="::1")
        client = self.client(server)
        client.login()
        client.command(b"RETR 1", b"+OK\r\nover six\r\n.\r\n")
        client.command(b"QUIT", b"+OK\r\n")
        pid = server.session_of(client.port)
        self.assertEqual(
            f"info: connection from ::1 port {client.port}, active sessions 1 (max 16), "
            "auth_delay=no", server.closed_session_log(pid)[0])

    def test_second_client_on_a_locked_mailbox_is_refused(self):
        self.maildir.add("m", b"text\n", 1_000_000)
        server = self.server()
        first = self.client(server)
        first.login()
        second = self.client(server)
        second.expect(b"+OK fernd ready.\r\n")
        second.command(b"USER " + USER.encode(), b"+OK\r\n")
        second.command(b"PASS " + PASSWORD.encode(), b"-ERR cannot access mailbox\r\n")
        second.command(b"QUIT", b"+OK\r\n")
        first.command(b"STAT", b"+OK 1 5\r\n")
        first.command(b"QUIT", b"+OK\r\n")
        pid = server.session_of(second.port)
        self.assertIn(f"info: authorization for user {USER} failed: cannot lock mailbox",
                      server.closed_session_log(pid))

    def test_failed_login_turns_on_the_delay_for_the_next_session(self):
        server = self.server()
        failing = self.client(server)
        failing.expect(b"+OK fernd ready.\r\n")
        failing.command(b"USER " + USER.encode(), b"+OK\r\n")
        failing.command(b"PASS wrong", b"-ERR authorization failed\r\n")
        failing.command(b"QUIT", b"+OK\r\n")
        self.assertEqual(b"", failing.read_to_end())
        # Once the listener has reaped that session (status 2), the delay is on.
        server.wait_all_reaped()

        following = self.client(server)
        following.expect(b"+OK fernd ready.\r\n")
        following.command(b"QUIT", b"+OK\r\n")
        self.assertEqual(
            [f"info: connection from 127.0.0.1 port {port}, active sessions 1 (max 16), "
             f"auth_delay={delay}" for port, delay in ((failing.port, "no"),
                                                      (following.port, "yes"))],
            [server.closed_session_log(server.session_of(port))[0]
             for port in (failing.port, following.port)])


class ListenerLimitTest(ListenerTestCase):
    """At most sixteen sessions at once, with an exact count however many come and go."""

    def test_seventeenth_client_waits_for_a_free_slot(self):
        server = self.server()
        # Sessions that end in bursts, so that one signal often stands for several children;
        # a count that lost a single decrement would show in the lines below.
        for _ in range(4):
            burst = [self.client(server) for _ in range(10)]
            for client in burst:
                client.expect(b"+OK fernd ready.\r\n")
            for client in burst:
                client.send(b"QUIT\r\n")
            for client in burst:
                client.expect(b"+OK\r\n")
                client.close()
        server.wait_all_reaped()

        sessions = []
        for _ in range(16):
            client = self.client(server)
            client.expect(b"+OK fernd ready.\r\n")
            sessions.append(client)
        if WAITING_CALLS is None:
            self.skipTest(f"no system call numbers for {os.uname().machine}")
        waiting = self.client(server)  # connected: the kernel holds it in the backlog
        # The listener waits for a session to end instead of accepting. A listener that took
        # the seventeenth would have done so before it waits again: once it waits, the
        # connection must still be in the backlog, and there must be sixteen sessions.
        wait_until(lambda: waiting_for_time_or_signal(server.process.pid),
                   "the listener to wait for a free slot")
        self.assertEqual(("01", "0"), wait_until(lambda: server.connection_entry(waiting.port),
                                                 "the seventeenth connection on the server"))
        self.assertEqual(16, len(server.children()))
        waiting.sock.setblocking(False)  # nothing has arrived: no greeting was sent
        with self.assertRaises(BlockingIOError):
            waiting.sock.recv(1)
        waiting.sock.settimeout(WAIT)

        sessions[0].command(b"QUIT", b"+OK\r\n")
        waiting.expect(b"+OK fernd ready.\r\n")
        waiting.command(b"QUIT", b"+OK\r\n")

        lines = [server.session_log(server.session_of(client.port))[0]
                 for client in sessions + [waiting]]
        self.assertEqual(
            [f"info: connection from 127.0.0.1 port {client.port}, active sessions {count} "
             "(max 16), auth_delay=no"
             for client, count in zip(sessions + [waiting], list(range(1, 17)) + [16])],
            lines)
        for client in sessions[1:]:
            client.command(b"QUIT", b"+OK\r\n")


class ListenerSignalTest(ListenerTestCase):
    """SIGHUP changes nothing; SIGTERM ends the listener, never a running session."""

    def test_terminated_listener_leaves_the_running_session_to_finish(self):
        message = b"Subject: kept\r\n\r\nbody\r\n"
        self.maildir.add("m", message, 1_000_000)
        server = self.server()
        running = self.client(server)
        running.login()
        running.command(b"STAT", b"+OK 1 %d\r\n" % len(message))

        # As a shell's or a service manager's kill of the whole process group would send them.
        server.signal_group(signal.SIGHUP)
        self.assert_still_serving(server)
        server.signal_group(signal.SIGTERM)
        self.assertEqual(-signal.SIGTERM, server.process.wait(timeout=WAIT))
        # No session process kept a copy of the listening socket.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", server.port), timeout=WAIT).close()

        running.command(b"RETR 1", b"+OK\r\n" + message + b".\r\n")
        running.command(b"DELE 1", b"+OK\r\n")
        running.command(b"QUIT", b"+OK\r\n")
        self.assertEqual(b"", running.read_to_end())
        self.assertFalse(self.maildir.has("m"))
        log = server.closed_session_log(server.session_of(running.port))
        self.assertEqual(["info: 1 mails deleted in update phase; session ends",
                          "info: connection closed"], log[-2:])


class ListenerRobustnessTest(ListenerTestCase):
    """Clients that pipeline, and clients that vanish: every session ends through its own
    paths, with its log complete and its mailbox released."""

    def test_pipelined_commands_are_all_answered_in_order(self):
        self.maildir.add("a", b"first\n", 1_000_000)
        self.maildir.add("b", b"second\n", 1_000_001)
        server = self.server()
        client = self.client(server)
        client.send(b"USER alice\r\nPASS secret\r\nSTAT\r\nLIST\r\nQUIT\r\n")
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
        big = self.maildir.add("big", line * ((kernel_send_buffer_max() + (2 << 20)) // 100),
                               1_000_000)
        self.maildir.add("small", b"text\n", 1_000_001)
        server = self.server()
        client = self.client(server, receive_buffer=4096)
        client.login()
        client.command(b"DELE 2", b"+OK\r\n")
        client.command(b"RETR 1", b"+OK\r\n")
        wire_line = line[:-1] + b"\r\n"
        self.assertEqual(wire_line * 100, client.read_exactly(len(wire_line) * 100))
        client.close()

        log = server.closed_session_log(server.session_of(client.port))
        self.assertEqual([f"error: cannot send mail file {big}",
                          "error: output error, session aborted",
                          "info: connection closed"], log[-3:])
        self.assertTrue(self.maildir.has("big"))
        self.assertTrue(self.maildir.has("small"))
        # The lock went with the session, and the listener serves on.
        again = self.client(server)
        again.login()
        again.command(b"STAT", b"+OK 2 %d\r\n" % (os.path.getsize(big) + 5))
        again.command(b"QUIT", b"+OK\r\n")


    def test_client_vanishing_before_the_reply_ends_through_the_output_error(self):
        self.maildir.add("m1", b"text\n", 1_000_000)
        self.maildir.add("m2", b"more\n", 1_000_001)
        server = self.server()
        client = self.client(server)
        client.login()
        client.command(b"DELE 2", b"+OK\r\n")
        pid = server.session_of(client.port)
        # The session is stopped while the client sends RETR and vanishes; continued, it reads
        # the command, and the reply's first write reports the reset. At the default SIGPIPE
        # action the next one would kill the session before it could log or release anything.
        wait_until(lambda: waiting_in_read(pid), "the session to wait for a command")
        os.kill(pid, signal.SIGSTOP)
        wait_until(lambda: process_state(pid) == "T", "the session to stop")
        client.send(b"RETR 1\r\n")
        client.reset()
        wait_until(lambda: not server.has_connection(client.port), "the reset to arrive")
        os.kill(pid, signal.SIGCONT)

        self.assertEqual([f"error: cannot send mail file {self.maildir.file('m1')}",
                          "error: output error, session aborted",
                          "info: connection closed"], server.closed_session_log(pid)[-3:])
        self.assertTrue(self.maildir.has("m1"))
        self.assertTrue(self.maildir.has("m2"))
        again = self.client(server)
        again.login()
        again.command(b"STAT", b"+OK 2 10\r\n")
        again.command(b"QUIT", b"+OK\r\n")


def main():
    global BINARY
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--binary", required=True)
    options, rest = parser.parse_known_args()
    BINARY = os.path.abspath(options.binary)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
