#!/usr/bin/env python3
"""POP3S and STARTTLS in one command: `scripts/demo --tls` builds fernd, makes a throwaway
certificate, renders the shipped stunnel template and serves the demo mailbox through stunnel on
two ports of the test's, POP3S on the one that --port names and STARTTLS on the one that
--starttls-port names; the lines that it prints for each, `curl --cacert` and `poplib.POP3_SSL`
for POP3S, `curl --ssl-reqd --cacert` and `poplib.POP3` with `stls()` for STARTTLS, run as
printed, fetch message 1 of the demo mailbox byte for byte, each through its own port. The demo
runs until the test ends it; its files go to a directory of the test's (FERND_DEMO_DIR), its
build to build/demo as usual. Run as root, stunnel drops to the user mail, and fernd runs as
mail; when that user cannot reach the demo's directory (a clone in /root), the demo puts its
files into a fresh directory under /tmp, which it names, and serves from there.

Usage: demo_tls.py --fernd PATH [unittest arguments]   (the binary is not used: the demo builds
its own)
"""

import os
import pwd
import re
import shutil
import subprocess

import fernd_harness as harness
from fernd_harness import WAIT

# The demo builds fernd first (configure and a Release build, or nothing when build/demo is up
# to date): a bound that only a hang reaches, on a loaded machine.
BUILD_CEILING = 600


class DemoTlsTest(harness.E2ETestCase):

    def run_demo(self, data):
        """Runs the demo with its files in data, and its printed lines; checks what they
        fetch."""
        port = harness.free_port()
        starttls_port = port
        for _ in range(20):  # another free port: the first one is not bound yet
            starttls_port = harness.free_port()
            if starttls_port != port:
                break
        output_path = self.workspace.path("demo.out")
        with open(output_path, "wb") as output:
            demo = subprocess.Popen(
                [os.path.join(harness.SOURCE_DIR, "scripts", "demo"), "--tls", f"--port={port}",
                 f"--starttls-port={starttls_port}"],
                stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                env=dict(os.environ, FERND_DEMO_DIR=data), start_new_session=True)
        self.addCleanup(harness.kill_group, demo)
        harness.wait_until(lambda: (harness.listener_of(demo, port) is not None
                                    and harness.listener_of(demo, starttls_port) is not None)
                           or demo.poll() is not None, "the demo to listen", BUILD_CEILING,
                           step=0.2)
        text = harness.read_text(output_path)
        self.assertIsNone(demo.poll(), text)

        # Where the demo put its mailbox and log, as it says (relative to the source tree when
        # they lie in it).
        found = re.search(r"mailbox (\S+) \(3 messages\),\nsession log (\S+);", text)
        self.assertIsNotNone(found, text)
        maildir, log_path = (os.path.join(harness.SOURCE_DIR, path) for path in found.groups())
        if not maildir.startswith(data + os.sep):
            fallback = os.path.dirname(maildir)
            self.assertTrue(fallback.startswith("/tmp/fernd-demo."), maildir)
            self.addCleanup(shutil.rmtree, fallback, True)
        if harness.running_as_root():
            mail = pwd.getpwnam("mail")
            stunnel = harness.listener_of(demo, port)
            harness.wait_until(lambda: harness.process_uid(stunnel) == mail.pw_uid,
                               "stunnel to drop to the user mail")

        lines = [line.strip() for line in text.splitlines()]
        new = os.path.join(maildir, "new")
        first = sorted(os.listdir(new), key=lambda name: os.stat(os.path.join(new, name)).st_mtime)[0]
        with open(os.path.join(new, first), "rb") as message:
            expected = message.read()
        total = sum(os.path.getsize(os.path.join(new, name)) for name in os.listdir(new))

        # The lines for each port: curl's fetch of message 1, and poplib's.
        for service, curl, python in (
                ("fernd-pop3s", "curl --cacert ", f'poplib.POP3_SSL("localhost", {port}, '),
                ("fernd-pop3-starttls", "curl --ssl-reqd --cacert ",
                 f'poplib.POP3("localhost", {starttls_port}); p.stls(')):
            fetch = [line for line in lines if line.startswith(curl) and "/1 " in line]
            scripts = [line for line in lines
                       if line.startswith("python3 -c ") and python in line]
            self.assertEqual(len(fetch), 1, text)
            self.assertEqual(len(scripts), 1, text)
            accepted = f"Service [{service}] accepted connection"
            for command, output in ((fetch[0], harness.normalise(expected)),
                                    (scripts[0], b"(3, %d)\n" % total
                                     + harness.normalise(expected))):
                with self.subTest(command=command):
                    before = harness.read_text(output_path).count(accepted)
                    done = subprocess.run(["/bin/bash", "-c", command], capture_output=True,
                                          timeout=WAIT * 3, check=False)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertEqual(harness.normalise(done.stdout), output)
                    # stunnel, which logs on the demo's standard error, took it on that port.
                    self.assertEqual(harness.read_text(output_path).count(accepted), before + 1)
        # All four went through stunnel to fernd.
        harness.wait_until(lambda: harness.read_text(output_path).count(
            "Local mode child started") == 4, "stunnel's lines for the four connections")
        log = harness.LogFile(log_path)
        harness.wait_until(lambda: log.count("0 mails deleted in update phase; session ends") == 4,
                           "the four sessions in the demo's log")
        harness.kill_group(demo)

    def test_demo_tls_serves_what_its_lines_fetch(self):
        self.run_demo(self.workspace.directory("demo"))

    def test_demo_directory_out_of_reach_of_mail(self):
        """The demo's directory in one that only root can enter, as a clone in /root is."""
        if not harness.running_as_root():
            self.skipTest("only root's demo drops to the user mail")
        closed = self.workspace.directory("closed")
        os.chmod(closed, 0o700)
        self.run_demo(os.path.join(closed, "demo"))


if __name__ == "__main__":
    harness.main(__doc__)
