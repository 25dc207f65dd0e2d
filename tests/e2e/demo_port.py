#!/usr/bin/env python3
"""`scripts/demo` on a port that a demo serves already, plain and with --tls: the second demo
stops at once with a message that names the port and `--port=N`, before it builds or touches
anything; the first demo's mailbox, log and certificate stay as they were, and the `curl` line
that it printed still fetches its message 1 byte for byte. With --tls, so does a demo whose
POP3S port is free but whose STARTTLS port the first one serves. A third demo, given other ports
as the message says, serves beside the first from files of its own, and the first one's line
still works.

Each demo keeps its files in a directory of the test's (FERND_DEMO_DIR), its build in
build/demo as usual, and listens on a free ephemeral port. Run as root, the --tls demo may put
its files into a fresh directory under /tmp when the user mail cannot reach the test's (see
demo_tls.py); it names that directory, and the test reads it from there.

Usage: demo_port.py --fernd PATH [unittest arguments]   (the binary is not used: the demo builds
its own)
"""

import hashlib
import os
import re
import shutil
import subprocess

import fernd_harness as harness
from fernd_harness import WAIT

# The first demo builds fernd (configure and a Release build, or nothing when build/demo is up to
# date): a bound that only a hang reaches, on a loaded machine.
BUILD_CEILING = 600

# Where a demo says its mailbox and its log are (relative to the source tree when they lie in
# it): "mailbox PATH (3 messages),\nsession log PATH." in plain POP3, "...;" over TLS.
WHERE = re.compile(r"mailbox (\S+) \(3 messages\),\nsession log (\S+?)[.;]\s")


def tree_state(path):
    """Every file under path but the logs, with a digest of its bytes, its inode and its
    modification time: what a second demo must leave as it is. A demo's mailbox made afresh has
    new inodes and times, a certificate made afresh other bytes. The lock file keeps its inode and
    its (empty) bytes, but every login empties it anew, which sets its time."""
    state = {}
    for directory, _, files in os.walk(path):
        for name in files:
            file_path = os.path.join(directory, name)
            if name.endswith(".log") or os.path.islink(file_path) or not os.path.isfile(file_path):
                continue
            with open(file_path, "rb") as content:
                digest = hashlib.sha256(content.read()).hexdigest()
            status = os.stat(file_path)
            state[os.path.relpath(file_path, path)] = (
                digest, status.st_ino, None if name == "fernd.lock" else status.st_mtime_ns)
    return state


def read_bytes(path):
    with open(path, "rb") as content:
        return content.read()


class Demo:
    """One run of scripts/demo, started in a process group of its own, its output in a file."""

    def __init__(self, test, data, port, tls, name, starttls_port=None):
        self.port = port
        self.output_path = test.workspace.path(f"{name}.out")
        arguments = [os.path.join(harness.SOURCE_DIR, "scripts", "demo"), f"--port={port}"]
        if tls:
            arguments[1:1] = ["--tls", f"--starttls-port={starttls_port}"]
        with open(self.output_path, "wb") as output:
            self.process = subprocess.Popen(
                arguments, stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                env=dict(os.environ, FERND_DEMO_DIR=data), start_new_session=True)
        test.addCleanup(harness.kill_group, self.process)

    def text(self):
        return harness.read_text(self.output_path)

    def wait_serving(self, test):
        """Waits until the demo listens; returns its Maildir, its log and the printed curl line
        that fetches message 1."""
        harness.wait_until(lambda: harness.listener_of(self.process, self.port) is not None
                           or self.process.poll() is not None, "the demo to listen",
                           BUILD_CEILING, step=0.2)
        text = self.text()
        test.assertIsNone(self.process.poll(), text)
        found = WHERE.search(text)
        test.assertIsNotNone(found, text)
        maildir, log = (os.path.join(harness.SOURCE_DIR, path) for path in found.groups())
        if maildir.startswith("/tmp/fernd-demo."):
            test.addCleanup(shutil.rmtree, "/".join(maildir.split("/")[:3]), True)
        fetch = [line.strip() for line in text.splitlines()
                 if line.strip().startswith("curl ") and f":{self.port}/1 " in line]
        test.assertEqual(len(fetch), 1, text)
        return maildir, log, fetch[0].split("#")[0].strip()


def free_ports(count):
    """count ports that were free a moment ago, each another."""
    ports = []
    for _ in range(20 * count):
        port = harness.free_port()
        if port not in ports:
            ports.append(port)
        if len(ports) == count:
            return ports
    raise AssertionError(f"no {count} free ports found")


class DemoPortTest(harness.E2ETestCase):

    def fetch(self, line, maildir):
        """Runs a demo's printed curl line; it must print the first message of maildir."""
        new = os.path.join(maildir, "new")
        first = sorted(os.listdir(new),
                       key=lambda name: os.stat(os.path.join(new, name)).st_mtime)[0]
        with open(os.path.join(new, first), "rb") as message:
            expected = message.read()
        done = subprocess.run(["/bin/bash", "-c", line], capture_output=True, timeout=WAIT * 3,
                              check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(harness.normalise(done.stdout), harness.normalise(expected))

    def test_second_demo_on_the_same_port_changes_nothing(self):
        for tls in (False, True):
            with self.subTest(tls=tls):
                self.run_twice(tls)

    def refused(self, demo, port, tls):
        """The demo stops at once, naming the taken port and how to choose others."""
        status = demo.process.wait(timeout=WAIT * 3)
        text = demo.text()
        self.assertEqual(status, 1, text)
        self.assertIn(f"port {port} is in use", text)
        self.assertIn("scripts/demo --tls --port=N --starttls-port=M" if tls
                      else "scripts/demo --port=N", text)
        self.assertIn("nothing was changed", text)
        # It stopped before anything else: no package check, no build, no files.
        self.assertEqual(text.count("\n"), 1, text)

    def run_twice(self, tls):
        kind = "tls" if tls else "plain"
        data = self.workspace.directory(f"demo-{kind}")
        port, starttls_port, other_port, third_port, third_starttls_port = free_ports(5)
        first = Demo(self, data, port, tls, f"first-{kind}", starttls_port)
        maildir, log, line = first.wait_serving(self)
        self.fetch(line, maildir)
        # The directory of the demo's files: its mailbox, its log and, with --tls, stunnel's.
        files = os.path.dirname(maildir)
        before = tree_state(files)
        self.assertIn(os.path.join(os.path.basename(maildir), "new"),
                      {os.path.dirname(name) for name in before})
        if tls:
            self.assertTrue({"cert.pem", "fernd-pop3s.conf"}
                            <= {os.path.basename(name) for name in before}, before)
        logged = read_bytes(log)

        second = Demo(self, data, port, tls, f"second-{kind}", other_port)
        self.refused(second, port, tls)
        if tls:
            # Its own POP3S port, but the STARTTLS port of the first.
            second = Demo(self, data, other_port, tls, f"second-starttls-{kind}", starttls_port)
            self.refused(second, starttls_port, tls)

        self.assertIsNone(first.process.poll(), first.text())
        self.assertEqual(tree_state(files), before)
        self.assertTrue(read_bytes(log).startswith(logged), "the first demo's log was rewritten")
        self.fetch(line, maildir)

        # Another port, as the message says: a demo of its own beside the first.
        third = Demo(self, data, third_port, tls, f"third-{kind}", third_starttls_port)
        third_maildir, _, third_line = third.wait_serving(self)
        self.assertNotEqual(os.path.dirname(third_maildir), files)
        self.fetch(third_line, third_maildir)
        self.fetch(line, maildir)
        self.assertEqual(tree_state(files), before)
        self.assertTrue(read_bytes(log).startswith(logged), "the first demo's log was rewritten")
        harness.kill_group(third.process)
        harness.kill_group(first.process)


if __name__ == "__main__":
    harness.main(__doc__)
