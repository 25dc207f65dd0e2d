#!/usr/bin/env python3
"""Real POP3 client programs against the real fernd binary on loopback, in standalone mode and
in inetd mode (behind systemd-socket-activate and socat): Python's poplib, curl, fetchmail,
getmail6, fdm, s-nail, GNU mailutils' movemail and nmh's inc. Each client first fetches every
message and keeps it on the server, then fetches and deletes. What a client delivered is
compared with the message files, line ends normalised (CR LF read as LF, a final LF where the
file has none); the headers a client adds of its own are named per client and taken off before
the comparison. UIDLs must be the file names and the same in every session, new/ must be empty
after fetch-and-delete, and the session log must hold each session's lines. The standalone class
also pins down the pitfalls that docs/clients.md describes.

Usage: real_clients.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import mailbox
import os
import poplib
import re
import shutil
import urllib.parse

import fernd_harness as harness
from fernd_harness import PASSWORD, USER, WAIT

# The bound of one client run: a few sessions of a few MB each, with the one-second password
# delay of inetd mode, in the sanitizer build.
CLIENT_TIMEOUT = 60

CONNECTION_LINE = re.compile(
    r"^info: connection from 127\.0\.0\.1 port \d+, active sessions \d+ \(max 16\), "
    r"auth_delay=no$")


def strip_added_headers(delivered, original, names):
    """delivered without the header lines named in names that the original does not have (a
    client's own trace headers); both normalised."""
    original_names = {line.split(b":", 1)[0].lower() for line in
                      harness.split_message(original)[0]}
    added = {name.lower().encode("ascii") for name in names} - original_names
    head, separator, body = delivered.partition(b"\n\n")
    kept = [line for line in head.split(b"\n")
            if line.split(b":", 1)[0].lower() not in added]
    return b"\n".join(kept) + separator + body


def maildir_messages(path):
    """The messages a client delivered into the Maildir path (new/ and cur/), in name order."""
    messages = []
    for sub in ("new", "cur"):
        directory = os.path.join(path, sub)
        for name in sorted(os.listdir(directory)):
            with open(os.path.join(directory, name), "rb") as message:
                messages.append(message.read())
    return messages


def fresh_maildir(path):
    """An empty Maildir at path, in place of whatever was there."""
    shutil.rmtree(path, ignore_errors=True)
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(path, sub), mode=0o700)
    os.chmod(path, 0o700)
    return path


class RealClients:
    """The clients against one server mode; the concrete classes below pick the mode."""

    mode = ""

    def setUp(self):
        super().setUp()
        self.messages = harness.standard_messages()
        self.maildir = self.workspace.maildir("Maildir", self.messages)
        self.account = harness.Account(USER, PASSWORD, self.maildir)
        self.srv = self.server([self.account], mode=self.mode)
        self.sessions_seen = 0

    # What every client test checks ---------------------------------------------------------

    def assert_delivered(self, delivered, added_headers=()):
        """delivered: {uidl: bytes} when the client tells which message is which, else a list
        of bytes in any order. Each message arrives once, equal to its file."""
        expected = {name: harness.normalise(content) for name, content in self.messages.items()}
        if isinstance(delivered, dict):
            self.assertEqual(sorted(delivered), sorted(expected))
            for name, content in delivered.items():
                with self.subTest(message=name):
                    got = strip_added_headers(harness.normalise(content), expected[name],
                                              added_headers)
                    self.assertEqual(got, expected[name])
            return
        self.assertEqual(len(delivered), len(expected), "number of messages delivered")
        remaining = dict(expected)
        for content in delivered:
            normalised = harness.normalise(content)
            match = [name for name, want in remaining.items()
                     if strip_added_headers(normalised, want, added_headers) == want]
            self.assertTrue(match, f"a delivered message matches no file: {normalised[:300]!r}")
            del remaining[match[0]]
        self.assertEqual(remaining, {})

    def assert_all_kept(self):
        self.assertEqual(self.maildir.contents(), self.messages)

    def expect_sessions(self, *deleted, in_mailbox=None):
        """The log holds one more session per item of deleted, in order, each of which logged
        in to a mailbox of in_mailbox messages (by default the full one) and unlinked that many
        messages in its update phase."""
        self.sessions_seen += len(deleted)
        harness.wait_until(lambda: len(self.finished_sessions()) >= self.sessions_seen,
                           f"{self.sessions_seen} sessions to end")
        sessions = self.finished_sessions()
        self.assertEqual(len(sessions), self.sessions_seen, "sessions in the log")
        if in_mailbox is None:
            in_mailbox = len(self.messages)
        for lines, count in zip(sessions[-len(deleted):], deleted):
            self.assert_session_lines(lines, count, in_mailbox)

    def finished_sessions(self):
        """The lines of each session that has ended, in the order the sessions began."""
        return [lines for _, lines in self.srv.finished_sessions()]

    def assert_session_lines(self, lines, deleted, in_mailbox):
        expected = harness.session_lines(in_mailbox, deleted)
        if self.mode == "standalone":
            self.assertRegex(lines[0], CONNECTION_LINE)
            lines = lines[1:]
            expected.append("info: connection closed")
        self.assertEqual(lines, expected)

    def assert_emptied(self):
        self.assertEqual(self.maildir.names(), [])
        self.assertTrue(os.path.exists(os.path.join(self.maildir.path, "fernd.lock")))

    def assert_keeps_then_deletes(self, fetch):
        """fetch(keep) runs the client once and returns what it delivered: told to keep, it
        delivers every message and the server keeps them all; told otherwise, it delivers every
        message again and the server deletes them all."""
        self.assert_delivered(fetch(True))
        self.expect_sessions(0)
        self.assert_all_kept()
        self.assert_delivered(fetch(False))
        self.expect_sessions(len(self.messages))
        self.assert_emptied()

    # Python's poplib --------------------------------------------------------------------------

    def poplib_session(self, delete):
        client = poplib.POP3("127.0.0.1", self.srv.port, timeout=CLIENT_TIMEOUT)
        try:
            return self.poplib_fetch(client, self.messages, delete)
        finally:
            client.close()

    def test_poplib(self):
        first_uidls, delivered = self.poplib_session(delete=False)
        self.assertEqual(sorted(first_uidls.values()), sorted(self.messages))
        self.assert_delivered(delivered)
        self.expect_sessions(0)
        self.assert_all_kept()

        second_uidls, delivered = self.poplib_session(delete=True)
        self.assertEqual(second_uidls, first_uidls, "UIDLs changed between sessions")
        self.assert_delivered(delivered)
        self.expect_sessions(len(self.messages))
        self.assert_emptied()

    # curl ---------------------------------------------------------------------------------------

    def curl(self, *groups):
        """One curl run; groups of arguments are joined with --next, and each group carries
        the credentials. curl reuses its connection across them: one POP3 session."""
        url = f"pop3://127.0.0.1:{self.srv.port}"
        command = ["curl", "--silent", "--show-error", "--max-time", str(CLIENT_TIMEOUT)]
        for index, group in enumerate(groups):
            if index:
                command.append("--next")
            command += ["--user", f"{USER}:{PASSWORD}"]
            command += [part.replace("URL", url) for part in group]
        done = harness.run_client(command, self.srv, CLIENT_TIMEOUT + WAIT, cwd=self.out)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def curl_listings(self):
        self.curl(["URL/", "--output", "list"], ["--request", "UIDL", "URL/", "--output", "uidl"])
        uidls, sizes = harness.curl_listings(self.out)
        self.assertEqual(sorted(uidls.values()), sorted(self.messages))
        self.assertEqual(sizes, {name: len(content) for name, content in self.messages.items()})
        return uidls

    def curl_delivered(self, uidls):
        delivered = {}
        for number, name in uidls.items():
            with open(os.path.join(self.out, f"message-{number}"), "rb") as message:
                delivered[name] = message.read()
        return delivered

    def test_curl(self):
        self.out = self.workspace.directory("curl")
        uidls = self.curl_listings()
        self.curl([item for number in uidls
                   for item in (f"URL/{number}", "--output", f"message-{number}")])
        self.assert_delivered(self.curl_delivered(uidls))
        self.expect_sessions(0, 0)
        self.assert_all_kept()

        shutil.rmtree(self.out)
        self.out = self.workspace.directory("curl")
        self.assertEqual(self.curl_listings(), uidls, "UIDLs changed between sessions")
        # Fetch and delete each message in one session. A DELE needs --head (no body), or curl
        # waits for a multi-line answer that never comes.
        groups = []
        for number in uidls:
            groups.append([f"URL/{number}", "--output", f"message-{number}"])
            groups.append(["--head", "--request", "DELE", f"URL/{number}"])
        self.curl(*groups)
        self.assert_delivered(self.curl_delivered(uidls))
        self.expect_sessions(0, len(self.messages))  # the listings, then the deletions
        self.assert_emptied()

    # fetchmail ------------------------------------------------------------------------------

    def fetchmail(self, options, server_options="", expect_status=0):
        """One fetchmail poll with the given user options; returns what its MDA delivered and
        the transcript."""
        status, transcript, delivered = harness.run_fetchmail(
            self.workspace, self.srv, options, server_options, CLIENT_TIMEOUT)
        self.assertEqual(status, expect_status, transcript[-3000:])
        return delivered, transcript

    # sslproto '': without it fetchmail sends STLS although CAPA does not offer it, and gives
    # up. fetchall: without it fetchmail asks for TOP first. no rewrite: addresses unchanged.
    FETCHMAIL_KEEP = "sslproto '' fetchall keep no rewrite"
    FETCHMAIL_DELETE = "sslproto '' fetchall no keep no rewrite"

    def test_fetchmail(self):
        delivered, _ = self.fetchmail(self.FETCHMAIL_KEEP, server_options="uidl")
        self.assert_delivered(delivered)
        self.expect_sessions(0)
        self.assert_all_kept()
        # With uidl, fetchmail records the UIDLs it has seen: exactly the file names.
        # Each line of .fetchids: "user@host uidl".
        with open(self.workspace.path("fetchmail-home", ".fetchids"), encoding="ascii") as ids:
            seen = sorted(line.split()[1] for line in ids.read().splitlines())
        self.assertEqual(seen, sorted(self.messages))

        delivered, _ = self.fetchmail(self.FETCHMAIL_DELETE)
        self.assert_delivered(delivered)
        self.expect_sessions(len(self.messages))
        self.assert_emptied()

    # getmail6 -----------------------------------------------------------------------------

    def getmail(self, delete, read_all=True, unprivileged=True, expect_status=0):
        """One getmail run (SimplePOP3Retriever into a Maildir), as an unprivileged user unless
        told otherwise, since getmail refuses to deliver as root; returns what it delivered and
        its output."""
        base = self.workspace.directory("getmail")
        out = fresh_maildir(os.path.join(base, "Maildir"))
        with open(os.path.join(base, "getmailrc"), "w", encoding="ascii") as rc:
            rc.write("[retriever]\n"
                     "type = SimplePOP3Retriever\n"
                     "server = 127.0.0.1\n"
                     f"port = {self.srv.port}\n"
                     f"username = {USER}\n"
                     f"password = {PASSWORD}\n"
                     "\n[destination]\n"
                     "type = Maildir\n"
                     f"path = {out}/\n"
                     "\n[options]\n"
                     f"read_all = {'true' if read_all else 'false'}\n"
                     f"delete = {'true' if delete else 'false'}\n"
                     "received = false\n"
                     "delivered_to = false\n"
                     "verbose = 1\n")
        prefix = []
        if unprivileged:
            harness.give_to_unprivileged(base)
            prefix += harness.unprivileged_prefix()
        # getmail 6.18 can miss the end of its own delivery child and then waits 180 s; the
        # gate lets each child end only once getmail waits for it (see getmail_gate.py). Run
        # as the unprivileged user, getmail gets a copy of the gate and of the harness it
        # imports, in a directory that user can reach wherever the source tree lies.
        getmail = shutil.which("getmail")
        with open(getmail, encoding="utf-8") as script:
            interpreter = script.readline()[2:].split()
        here = os.path.dirname(os.path.abspath(__file__))
        gate_dir = os.path.join(base, "gate")
        harness.copy_for_unprivileged(os.path.join(here, "fernd_harness.py"), gate_dir)
        gate = harness.copy_for_unprivileged(os.path.join(here, "getmail_gate.py"), gate_dir)
        env = dict(os.environ, HOME=base)
        done = harness.run_client(prefix + interpreter + [gate, getmail, "--getmaildir", base,
                                                          "--rcfile", "getmailrc"],
                                  self.srv, CLIENT_TIMEOUT, env=env)
        transcript = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, expect_status, transcript)
        if expect_status == 0:
            self.assertNotIn("error", transcript)
        return maildir_messages(out), transcript

    def getmail_uidls(self):
        """The UIDLs getmail recorded in its oldmail file."""
        base = self.workspace.path("getmail")
        names = [name for name in os.listdir(base) if name.startswith("oldmail-")]
        self.assertEqual(len(names), 1, names)
        with open(os.path.join(base, names[0]), encoding="ascii") as oldmail:
            return sorted(line.split("\0")[0] for line in oldmail.read().splitlines())

    def test_getmail(self):
        # getmail writes a Return-Path header of its own (<unknown> for POP3).
        delivered, _ = self.getmail(delete=False, read_all=False)
        self.assert_delivered(delivered, added_headers=["Return-Path"])
        self.expect_sessions(0)
        self.assert_all_kept()
        first_uidls = self.getmail_uidls()
        self.assertEqual(first_uidls, sorted(self.messages))

        # Fetching only new mail, getmail knows every message by its UIDL from last time.
        delivered, _ = self.getmail(delete=False, read_all=False)
        self.assertEqual(delivered, [])
        self.expect_sessions(0)
        self.assert_all_kept()

        delivered, _ = self.getmail(delete=True, read_all=True)
        self.assert_delivered(delivered, added_headers=["Return-Path"])
        self.expect_sessions(len(self.messages))
        self.assert_emptied()
        self.assertEqual(self.getmail_uidls(), first_uidls)

    # fdm ------------------------------------------------------------------------------------

    def fdm(self, keep):
        """One `fdm fetch` into a Maildir; returns what it delivered. It sends DELE only when
        not told to keep."""
        base = self.workspace.directory("fdm")
        out = fresh_maildir(os.path.join(base, "Maildir"))
        config = os.path.join(base, "fdm.conf")
        with open(config, "w", encoding="ascii") as text:
            text.write(f'set lock-file "{base}/fdm.lock"\n'
                       # No Received header of fdm's own.
                       "set no-received\n"
                       f'account "fernd" pop3 server "127.0.0.1" port {self.srv.port} '
                       f'user "{USER}" pass "{PASSWORD}"{" keep" if keep else ""}\n'
                       f'action "inbox" maildir "{out}"\n'
                       'match all action "inbox"\n')
        os.chmod(config, 0o600)
        # -vvvv shows the dialogue: "> COMMAND" for every command fdm sends.
        done = harness.run_client(["fdm", "-f", config, "-vvvv", "fetch"], self.srv,
                                  CLIENT_TIMEOUT, env=dict(os.environ, HOME=base))
        transcript = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, transcript[-3000:])
        (self.assertNotIn if keep else self.assertIn)("> DELE", transcript)
        return maildir_messages(out)

    def test_fdm(self):
        self.assert_keeps_then_deletes(self.fdm)

    # s-nail ---------------------------------------------------------------------------------

    def snail(self, delete, bulk_load=True):
        """s-nail opens the POP3 mailbox, copies every message to an mbox file, deletes them
        when told to and quits (QUIT: `exit` would leave without it, deleting nothing). Returns
        the messages of the mbox file and what s-nail wrote to standard error."""
        base = self.workspace.directory("s-nail")
        mbox = os.path.join(base, "fetched.mbox")
        if os.path.exists(mbox):
            os.unlink(mbox)
        host = f"127.0.0.1:{self.srv.port}"
        command = ["s-nail", "-#", "-:/",  # batch mode; no resource files
                   # v15-compat: the password-USER@HOST variable is read.
                   "-Sv15-compat", f"-Spassword-{USER}@{host}={PASSWORD}",
                   "-Y", f"copy * {mbox}"]
        if bulk_load:
            # Without it s-nail asks for each message's header with TOP first.
            command.insert(2, "-Spop3-bulk-load")
        if delete:
            command += ["-Y", "delete *"]
        command += ["-Y", "quit", "-f", f"pop3://{USER}@{host}"]
        done = harness.run_client(command, self.srv, CLIENT_TIMEOUT,
                                  env=dict(os.environ, HOME=base))
        errors = done.stderr.decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, errors)
        box = mailbox.mbox(mbox, create=False)
        try:
            return [box.get_bytes(key) for key in box.keys()], errors
        finally:
            box.close()

    def test_snail(self):
        def fetch(keep):
            delivered, errors = self.snail(delete=not keep)
            self.assertNotIn("POP3 error", errors)
            return delivered
        self.assert_keeps_then_deletes(fetch)

    # GNU mailutils' movemail ----------------------------------------------------------------

    def movemail(self, *options, fresh=True):
        """One movemail run from the POP3 mailbox into a Maildir, a new one unless fresh is
        false; returns every message in that Maildir."""
        base = self.workspace.directory("movemail")
        out = os.path.join(base, "Maildir")
        if fresh or not os.path.isdir(out):
            fresh_maildir(out)
        # The URL has no trailing slash: mailutils refuses one after the port ("URL has parts
        # not allowed by its scheme"). The password is URL-encoded (the blank).
        url = (f"pop://{USER}:{urllib.parse.quote(PASSWORD, safe='')}"
               f"@127.0.0.1:{self.srv.port}")
        done = harness.run_client(["movemail", "--no-config", *options, url, f"maildir://{out}"],
                                  self.srv, CLIENT_TIMEOUT, env=dict(os.environ, HOME=base))
        self.assertEqual(done.returncode, 0, (done.stdout + done.stderr)[-3000:])
        return maildir_messages(out)

    def test_movemail(self):
        # mailutils 3.15 damages a message of more than 8 KiB that it reads after a smaller one
        # in the same session (test_movemail_damages_large_message_after_smaller_one); served
        # first, the large message arrives whole, and so every message is checked here.
        os.utime(self.maildir.file("1005.large"), (1600000000, 1600000000))
        self.assert_keeps_then_deletes(
            lambda keep: self.movemail("--preserve") if keep else self.movemail())

    # nmh's inc ------------------------------------------------------------------------------

    def inc(self, keep):
        """One nmh `inc` from the POP3 server into the folder +inbox; returns the messages that
        it added there. It sends DELE (-snoop shows the dialogue) only when not told to keep."""
        base = self.workspace.directory("nmh")
        inbox = os.path.join(base, "Mail", "inbox")
        before = set(os.listdir(inbox)) if os.path.isdir(inbox) else set()
        # inc asks before it creates a missing folder; without a terminal to ask on it stops
        # after STAT, dropping the connection.
        os.makedirs(inbox, exist_ok=True)
        netrc = os.path.join(base, "netrc")
        with open(netrc, "w", encoding="ascii") as text:
            text.write(f'machine 127.0.0.1 login {USER} password "{PASSWORD}"\n')
        os.chmod(netrc, 0o600)
        profile = os.path.join(base, "mh_profile")
        with open(profile, "w", encoding="ascii") as text:
            text.write(f"Path: {os.path.join(base, 'Mail')}\n"
                       f"credentials: file:{netrc}\n")
        # Debian installs the nmh commands in /usr/bin/mh, outside the usual PATH.
        env = dict(os.environ, HOME=base, MH=profile,
                   PATH="/usr/bin/mh:" + os.environ.get("PATH", "/usr/bin:/bin"))
        command = ["inc", "-host", "127.0.0.1", "-port", str(self.srv.port), "-user", USER,
                   "-width", "100", "-snoop"] + (["-notruncate"] if keep else [])
        done = harness.run_client(command, self.srv, CLIENT_TIMEOUT, env=env)
        transcript = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, 0, transcript[-3000:])
        (self.assertNotIn if keep else self.assertIn)("=> DELE", transcript)
        delivered = []
        for name in sorted((name for name in set(os.listdir(inbox)) - before if name.isdigit()),
                           key=int):
            with open(os.path.join(inbox, name), "rb") as message:
                delivered.append(message.read())
        return delivered

    def test_inc(self):
        self.assert_keeps_then_deletes(self.inc)


class StandaloneClientsTest(RealClients, harness.E2ETestCase):
    mode = "standalone"

    def test_fetchmail_without_fetchall_asks_for_top(self):
        """fetchmail without fetchall sends TOP before RETR; fernd refuses TOP, so nothing is
        fetched, and nothing is lost: every message stays."""
        delivered, transcript = self.fetchmail("sslproto '' no keep no rewrite", expect_status=1)
        self.assertEqual(delivered, [])
        self.assertIn("POP3> TOP", transcript)
        self.assertNotIn("POP3> RETR", transcript)
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_fetchmail_without_sslproto_tries_stls(self):
        """fetchmail sends STLS, which fernd does not offer, and gives up: nothing fetched."""
        delivered, transcript = self.fetchmail("fetchall keep no rewrite", expect_status=2)
        self.assertEqual(delivered, [])
        self.assertIn("POP3> STLS", transcript)
        self.assert_all_kept()

    def test_snail_without_bulk_load_asks_for_top(self):
        """Without pop3-bulk-load s-nail sends TOP for every message and reports each refusal,
        then fetches the whole message with RETR: everything still arrives."""
        delivered, errors = self.snail(delete=False, bulk_load=False)
        self.assertEqual(errors.count("POP3 error: -ERR command not understood"),
                         len(self.messages), errors)
        self.assert_delivered(delivered)
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_movemail_damages_large_message_after_smaller_one(self):
        """mailutils 3.15 loses bytes of a message of more than 8 KiB that follows a smaller
        one in the same session, although fernd sends it whole (poplib reads it whole in the
        same order). Fetching one message per run, deleting each, delivers every byte."""
        _, whole = self.poplib_session(delete=False)
        self.assert_delivered(whole)
        self.expect_sessions(0)

        delivered = self.movemail("--preserve")
        self.expect_sessions(0)
        self.assert_all_kept()
        expected = [harness.normalise(content) for content in self.messages.values()]
        damaged = [message for message in delivered if message not in expected]
        self.assertEqual(len(delivered), len(expected))
        self.assertEqual(len(damaged), 1, "one damaged message")
        self.assertIn(b"Subject: message large", damaged[0])
        self.assertLess(len(damaged[0]), len(harness.normalise(self.messages["1005.large"])))

        for remaining in range(len(self.messages), 0, -1):
            delivered = self.movemail("--max-messages=1", fresh=remaining == len(self.messages))
            self.expect_sessions(1, in_mailbox=remaining)
        self.assert_delivered(delivered)
        self.assert_emptied()

    def test_getmail_as_root_refuses_to_deliver(self):
        """Run as root, getmail fetches but will not deliver into a Maildir, and so it does
        not delete either: every message stays on the server."""
        if not harness.running_as_root():
            self.skipTest("needs root")
        delivered, transcript = self.getmail(delete=True, unprivileged=False,
                                             expect_status=127)
        self.assertEqual(delivered, [])
        self.assertIn("refuse to deliver mail as root", transcript)
        self.expect_sessions(0)
        self.assert_all_kept()


class InetdSystemdClientsTest(RealClients, harness.E2ETestCase):
    mode = "inetd-systemd"


class InetdSocatClientsTest(RealClients, harness.E2ETestCase):
    mode = "inetd-socat"


if __name__ == "__main__":
    harness.main(__doc__)
