#!/usr/bin/env python3
"""What a hostile local user, a debugger or a busy machine does to the real fernd binary, and how
it must hold: a session stopped and continued goes on; a lock file or a message that is no regular
file is never followed, truncated, waited on or streamed; a listener out of descriptors waits and
serves again; a session process does not keep the listener's signal handling; no process of
fernd's own user can read a fernd process's memory, and none dumps core.

Usage: hardening.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import resource
import signal
import subprocess
import sys
import time

import fernd_harness as harness
from fernd_harness import PASSWORD, USER, WAIT

# The listener's limit of sessions at a time.
SESSION_LIMIT = 16


class HardeningTestCase(harness.E2ETestCase):
    def start(self, messages=None, mode="standalone"):
        self.maildir = self.workspace.maildir("Maildir", messages)
        return self.server([harness.Account(USER, PASSWORD, self.maildir)], mode=mode)

    def only_session(self, server):
        return harness.wait_until(lambda: server.children()[0] if len(server.children()) == 1
                                  else None, "one session process")


class StopAndContinueTest(HardeningTestCase):
    """Job control, a debugger or a tracer stops and continues a session process. On a socket
    with idle limits that breaks off the read it waits in; the session must go on."""

    def run_case(self, mode):
        # More than the connection's buffers hold while the client reads nothing.
        body = harness.large_body(2 * harness.send_buffer_max() + (4 << 20))
        server = self.start({"1.big": body, "2.small": b"small\n"}, mode=mode)
        client = self.logged_in(server, receive_buffer=64 << 10)
        pid = self.only_session(server)
        harness.wait_until(lambda: harness.in_system_call(pid, "read"),
                           "the session to wait for a command")
        harness.stop_and_continue(pid)
        self.assertEqual(client.command("STAT"),
                         f"+OK 2 {len(body) + 6}\r\n".encode("ascii"))
        client.send("RETR 1\r\n")
        self.assertEqual(client.line(), b"+OK\r\n")
        # The client stops reading; the session blocks in a write and is stopped there.
        harness.wait_until(lambda: harness.in_system_call(pid, "write"),
                           "the session to wait in a write")
        harness.stop_and_continue(pid)
        received = b"".join(client.multiline())
        self.assertTrue(received == body.replace(b"\n", b"\r\n"),
                        f"{len(received)} bytes received of {len(body)}")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        server.log.wait_for("0 mails deleted in update phase; session ends")
        self.assertNotIn(("error", "input error, session aborted"),
                         [(level, text) for _, level, text in server.log.entries()])

    def test_standalone(self):
        self.run_case("standalone")

    def test_inetd(self):
        self.run_case("inetd-systemd")

    def test_listener(self):
        server = self.start({"1.m": b"one\n"})
        harness.stop_and_continue(server.process.pid)  # waiting for a client
        first = self.logged_in(server)
        self.assertEqual(first.command("QUIT"), b"+OK\r\n")


class SymbolicLinkLockTest(HardeningTestCase):
    """Anyone who can write a mailbox's directory can put a link in the lock file's place. A
    login must never truncate its target, which may be another account's mail."""

    def test_link_to_a_victim_file(self):
        server = self.start({"1.m": b"one\n"})
        victim = self.workspace.path("victim")
        with open(victim, "wb") as text:
            text.write(b"another account's mail\n")
        os.symlink(victim, os.path.join(self.maildir.path, "fernd.lock"))
        client = self.client(server)
        self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        server.log.wait_for(f"authorization for user {USER} failed: cannot lock mailbox")
        with open(victim, "rb") as text:
            self.assertEqual(text.read(), b"another account's mail\n")


class NonRegularMessageTest(HardeningTestCase):
    """A message replaced after the login by a FIFO, or by a link to /dev/zero, is answered like
    a file that does not open, at once; the session goes on with the rest."""

    def test_fifo_and_device(self):
        server = self.start({"1.a": b"one\n", "2.b": b"two\n", "3.c": b"three\n"})
        client = self.logged_in(server)
        os.unlink(self.maildir.file("1.a"))
        os.mkfifo(self.maildir.file("1.a"))
        os.unlink(self.maildir.file("2.b"))
        os.symlink("/dev/zero", self.maildir.file("2.b"))
        self.assertEqual(client.command("RETR 1"), b"-ERR cannot open message\r\n")
        self.assertEqual(client.command("RETR 2"), b"-ERR cannot open message\r\n")
        self.assertEqual(client.command("RETR 3"), b"+OK\r\n")
        self.assertEqual(client.multiline(), [b"three\r\n"])
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        server.log.wait_for("0 mails deleted in update phase; session ends")
        for name in ("1.a", "2.b"):
            self.assertEqual(server.log.count(f"cannot open mail file {self.maildir.file(name)}"),
                             1)


class DescriptorExhaustionTest(HardeningTestCase):
    """A listener that runs out of descriptors cannot accept; it reports that at most once a
    second, waits, and serves the waiting clients once descriptors are free again."""

    def test_emfile_passes(self):
        server = self.start({"1.m": b"one\n"})
        pid = server.process.pid
        # Once it waits for clients, it holds every descriptor of its own.
        harness.wait_until(lambda: harness.in_system_call(pid, *harness.WAITING_CALLS),
                           "the listener to wait for clients")
        highest = max(int(fd) for fd in os.listdir(f"/proc/{pid}/fd"))
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        # Every descriptor up to the highest is in use: accept finds none free. The listener
        # accepts only when a client is there, so no client is taken in and then dropped: each
        # waits in the backlog.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (highest + 1, limits[1]))
        started = time.monotonic()
        waiting = [harness.connect(server.port) for _ in range(2)]
        for client in waiting:
            self.addCleanup(client.close)
        message = "cannot accept connection: Too many open files"
        harness.wait_until(lambda: message in server.output(), "the listener to report EMFILE")
        for client in waiting:
            client.setblocking(False)
            with self.assertRaises(BlockingIOError):
                client.recv(1)  # accepted by nobody yet
        self.assertIsNone(server.process.poll(), server.output())

        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        for client in waiting:
            client.settimeout(harness.WAIT)
            self.assertEqual(client.recv(18), b"+OK fernd ready.\r\n")
            client.sendall(b"QUIT\r\n")
            self.assertEqual(client.recv(5), b"+OK\r\n")
        elapsed = time.monotonic() - started
        lines = server.output().splitlines()
        self.assertTrue(lines)
        self.assertTrue(all(line.endswith(": " + message) for line in lines), lines)
        self.assertLessEqual(len(lines), 1 + int(elapsed), lines)
        self.assertIsNone(server.process.poll())


class SessionProcessSignalsTest(HardeningTestCase):
    """A session process is not a listener: it does not keep the listener's SIGCHLD handler, nor
    SIGCHLD blocked, nor the pipe through which that handler wakes the listener; it ignores SIGHUP
    and SIGTERM so that it outlives a terminated listener."""

    def test_dispositions(self):
        server = self.start()
        client = self.client(server)
        session = self.only_session(server)
        listener = harness.signal_masks(server.process.pid)
        self.assertIn(signal.SIGCHLD, listener["SigCgt"])
        masks = harness.signal_masks(session)
        self.assertNotIn(signal.SIGCHLD, masks["SigCgt"])
        self.assertNotIn(signal.SIGCHLD, masks["SigIgn"])
        self.assertNotIn(signal.SIGCHLD, masks["SigBlk"])
        self.assertTrue({signal.SIGHUP, signal.SIGTERM, signal.SIGPIPE} <= masks["SigIgn"])
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")

    def test_descriptors(self):
        server = self.start()
        client = self.client(server)
        session = self.only_session(server)

        def own_files(pid):
            """What the descriptors of pid above standard error refer to."""
            return {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")
                    if int(fd) > 2}

        listener = own_files(server.process.pid)
        self.assertTrue(any(name.startswith("pipe:") for name in listener), listener)
        self.assertEqual(set(), listener & own_files(session))
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")


# Run as fernd's own user: for each process id on its command line, tries to read the process's
# environment, its memory map and the memory at the start of its first mapping, and prints one
# line per process: the three results, each "read" or the name of the error.
PROC_PROBE = """
import errno, sys

def attempt(read):
    try:
        read()
        return "read"
    except OSError as error:
        return errno.errorcode.get(error.errno, str(error.errno))

for pid in sys.argv[1:]:
    first = [0]
    def environ():
        with open(f"/proc/{pid}/environ", "rb") as proc_file:
            proc_file.read()
    def maps():
        with open(f"/proc/{pid}/maps", encoding="ascii") as proc_file:
            first[0] = int(proc_file.readline().split("-")[0], 16)
    def mem():
        with open(f"/proc/{pid}/mem", "rb") as proc_file:
            proc_file.seek(first[0])
            proc_file.read(16)
    print(attempt(environ), attempt(maps), attempt(mem))
"""


class NoDumpsTest(HardeningTestCase):
    """Every fernd process holds every account's password from start-up on. Another process of
    fernd's own user must not read them out of its memory or its environment, nor make it dump
    core: the listener, a session process and an inetd session are not dumpable (their /proc
    files belong to root) and have a core size limit of 0. A process of the same user that is
    not fernd, started the same way, is readable: the probe itself works."""

    def start_unprivileged(self, mode):
        base = self.workspace.directory("unprivileged")
        binary = harness.copy_for_unprivileged(self.binary, os.path.join(base, "bin"))
        self.maildir = harness.Maildir(os.path.join(base, "Maildir"), {"1.m": b"one\n"})
        logs = self.workspace.directory("unprivileged", "logs")
        harness.give_to_unprivileged(base)
        server = harness.Server(binary, [harness.Account(USER, PASSWORD, self.maildir)],
                                self.workspace, mode=mode, log=os.path.join(logs, "fernd.log"),
                                prefix=harness.unprivileged_prefix())
        self.servers.append(server)
        return server.start()

    def probe(self, pids):
        """What a process of fernd's user meets reading the environment, the memory map and the
        memory of each pid: {pid: [result for environ, maps, mem]}."""
        done = subprocess.run(harness.unprivileged_prefix() + [sys.executable, "-c", PROC_PROBE]
                              + [str(pid) for pid in pids], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=WAIT, check=True)
        return dict(zip(pids, (line.split() for line in done.stdout.splitlines())))

    def core_limit(self, pid):
        with open(f"/proc/{pid}/limits", encoding="ascii") as limits:
            (line,) = [line for line in limits if line.startswith("Max core file size")]
        return line.split()[4:6]  # soft, hard

    def run_case(self, mode):
        server = self.start_unprivileged(mode)
        client = self.logged_in(server)
        session = self.only_session(server)
        fernd = [session] if mode != "standalone" else [server.process.pid, session]
        if harness.running_as_root():
            self.assertEqual({harness.process_uid(pid) for pid in fernd}, {harness.NOBODY_UID})
        # The control: a process of the same user, started the same way, that is not fernd.
        with subprocess.Popen(harness.unprivileged_prefix() + ["sleep", str(WAIT)],
                              stdin=subprocess.DEVNULL) as control:
            try:
                seen = self.probe(fernd + [control.pid])
            finally:
                control.kill()
        self.assertEqual(seen.pop(control.pid), ["read", "read", "read"])
        self.assertEqual(seen, {pid: ["EACCES", "EACCES", "EACCES"] for pid in fernd})
        for pid in fernd:
            self.assertEqual(self.core_limit(pid), ["0", "0"])
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")

    def test_standalone(self):
        self.run_case("standalone")

    def test_inetd(self):
        self.run_case("inetd-systemd")


class InheritedSignalMaskTest(HardeningTestCase):
    """A signal mask survives exec: a listener started with SIGCHLD blocked (by a supervisor or a
    shell that blocked it) must still count its sessions down, or it stops at 16 for good."""

    def test_sigchld_blocked_at_start(self):
        self.maildir = self.workspace.maildir("Maildir", {"1.m": b"one\n"})
        block_sigchld = [sys.executable, "-c",
                         "import os, signal, sys; "
                         "signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGCHLD]); "
                         "os.execv(sys.argv[1], sys.argv[1:])"]
        server = self.server([harness.Account(USER, PASSWORD, self.maildir)],
                             prefix=block_sigchld)
        self.assertIn(signal.SIGCHLD, harness.signal_masks(server.process.pid)["SigCgt"])
        for _ in range(SESSION_LIMIT + 1):
            client = self.client(server)
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
            client.close()
            server.wait_sessions_reaped()


if __name__ == "__main__":
    harness.main(__doc__.splitlines()[0])
