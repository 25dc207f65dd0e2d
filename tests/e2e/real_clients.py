#!/usr/bin/env python3
"""Real POP3 client programs against the real fernd binary on loopback, in standalone mode and
in inetd mode (behind systemd-socket-activate and socat): Python's poplib, curl, fetchmail,
getmail6, fdm, s-nail, GNU mailutils' movemail, nmh's inc, Emacs's pop3.el, and mutt and neomutt
(against fernd with --top). Each client runs the recipes of docs/clients.md, read from its text
(doc_recipes.py): the files written where the page says, the commands run as printed by a user
with a home directory of the test's and no terminal (mutt and neomutt, full-screen programs, on
a pseudo-terminal of their own on which nothing is typed, bounded in time like every other
client), only the port and the home directory put in place of the examples. Each first fetches
every message and keeps it on the server, then fetches and deletes. What a client delivered is
compared with the message files, line ends normalised (CR LF read as LF, a final LF where the
file has none); the headers that the page says a client adds are taken off by name before the
comparison. new/ must be empty after fetch-and-delete, and the session log must hold each
session's lines. The standalone class also pins down the pitfalls that the page describes, and
DocRecipesTest that every block of the page is a recipe that some test runs.

Usage: real_clients.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import mailbox
import os
import re
import shutil
import tempfile
import unittest

import doc_recipes
import fernd_harness as harness
from doc_recipes import recipe
from fernd_harness import USER

# The bound of one client run: a few sessions of a few MB each, with the one-second password
# delay of inetd mode, in the sanitizer build.
CLIENT_TIMEOUT = 60

# The password of the documents' examples.
DOC_PASSWORD = "secret"

CONNECTION_LINE = re.compile(
    r"^info: connection from 127\.0\.0\.1 port \d+, active sessions \d+ \(max 16\), "
    r"auth_delay=no$")


def strip_added_headers(delivered, original, names):
    """delivered without the header fields named in names that the original does not have (a
    client's own trace headers), continuation lines included; both normalised."""
    original_names = {line.split(b":", 1)[0].lower() for line in
                      harness.split_message(original)[0]}
    added = {name.lower().encode("ascii") for name in names} - original_names
    head, separator, body = delivered.partition(b"\n\n")
    kept = []
    dropping = False
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t"):
            if not dropping:
                kept.append(line)
            continue
        dropping = line.split(b":", 1)[0].lower() in added
        if not dropping:
            kept.append(line)
    return b"\n".join(kept) + separator + body


def maildir_messages(path):
    """The messages a client delivered into the Maildir path (new/ and cur/), in name order."""
    messages = []
    for sub in ("new", "cur"):
        directory = os.path.join(path, sub)
        for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
            with open(os.path.join(directory, name), "rb") as message:
                messages.append(message.read())
    return messages


def mbox_messages(path):
    """The messages of an mbox file, without their "From " lines."""
    box = mailbox.mbox(path, create=False)
    try:
        return [box.get_bytes(key) for key in box.keys()]
    finally:
        box.close()


def section_names(section, names):
    """Fails unless the section of docs/clients.md names each header field of names (in
    backticks): the headers that the page says the client adds, and that the tests take off."""
    text = doc_recipes.section_text(doc_recipes.CLIENTS, section)
    for name in names:
        if f"`{name}`" not in text:
            raise AssertionError(f"docs/clients.md, {section}, does not name the header {name}")
    return names


class RealClients:
    """The clients against one server mode; the concrete classes below pick the mode."""

    mode = ""

    def setUp(self):
        super().setUp()
        doc_recipes.need_nss_wrapper()
        self.messages = harness.standard_messages()
        self.maildir = self.workspace.maildir("Maildir", self.messages)
        self.times = {name: os.stat(self.maildir.file(name)).st_mtime for name in self.messages}
        self.account = harness.Account(USER, DOC_PASSWORD, self.maildir)
        self.srv = self.server([self.account], mode=self.mode)
        self.user = doc_recipes.RecipeUser(self.workspace)
        self.site = doc_recipes.Site(port=self.srv.port, home=self.user.home)
        self.sessions_seen = 0

    # Following the recipes ---------------------------------------------------------------------

    def write(self, name, text=None):
        """Writes the file of the recipe name where the page says; text: the recipe's text as the
        test changed it, the way the page says."""
        return self.user.write(recipe(name), self.site, text)

    def follow(self, *scripts, expect_status=0, terminal=False, answers=()):
        """Runs the commands of the given recipe texts, in order, in one shell, with the port
        and home directory in place; returns the completed process. With terminal, on a
        pseudo-terminal, whose output is then the process's stdout, and answers typed on it
        (RecipeUser.run)."""
        script = "\n".join(self.site.apply(text) for text in scripts)
        return self.user.run(script, self.srv, CLIENT_TIMEOUT, expect_status=expect_status,
                             terminal=terminal, answers=answers)

    def serve_top(self):
        """fernd with --top, in the same mode, in place of the server of setUp: what the page
        tells the users of mutt and neomutt to run."""
        self.srv.stop()
        self.srv = self.server([self.account], mode=self.mode, extra=["--top"],
                               log=self.workspace.path("fernd-top.log"))
        self.site = doc_recipes.Site(port=self.srv.port, home=self.user.home)

    def inbox(self):
        return self.user.path("Mail/inbox")

    def take_inbox(self):
        """The messages in the Maildir ~/Mail/inbox, which is then removed for the next run."""
        delivered = maildir_messages(self.inbox())
        shutil.rmtree(self.inbox())
        return delivered

    def take_mbox(self):
        """The messages of ~/fetched.mbox, which is then removed for the next run."""
        path = self.user.path("fetched.mbox")
        delivered = mbox_messages(path)
        os.unlink(path)
        return delivered

    def order(self):
        """The file names in the order that fernd numbers them (by modification time)."""
        return sorted(self.messages, key=lambda name: (self.times[name], name))

    def take_numbered(self, directory=None):
        """The files N.eml that a recipe wrote in the home directory (or directory), as {UIDL:
        content}, the message numbers read in the order of order(); they are then removed."""
        directory = directory or self.user.home
        names = self.order()
        delivered = {}
        for file_name in sorted(os.listdir(directory)):
            if file_name.endswith(".eml"):
                path = os.path.join(directory, file_name)
                with open(path, "rb") as message:
                    delivered[names[int(file_name[:-4]) - 1]] = message.read()
                os.unlink(path)
        return delivered

    def restore(self):
        """Puts every message back into new/ with its first modification time, as if nothing
        had been deleted."""
        for name, content in self.messages.items():
            if not os.path.exists(self.maildir.file(name)):
                self.maildir.add(name, content, mtime=self.times[name])

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

    def assert_keeps_then_deletes(self, fetch, added_headers=()):
        """fetch(keep) follows the client's recipe once and returns what it delivered: told to
        keep, it delivers every message and the server keeps them all; told otherwise, it
        delivers every message again and the server deletes them all."""
        self.assert_delivered(fetch(True), added_headers)
        self.expect_sessions(0)
        self.assert_all_kept()
        self.assert_delivered(fetch(False), added_headers)
        self.expect_sessions(len(self.messages))
        self.assert_emptied()

    # Python's poplib --------------------------------------------------------------------------

    def poplib(self, keep):
        """docs/clients.md's poplib script; to delete, with what the page says taken away before
        pop.dele. Returns {UIDL: message}."""
        text = recipe("poplib").text
        if not keep:
            text = doc_recipes.poplib_deleting(text)
        self.write("poplib", text)
        self.follow(recipe("poplib-run").text)
        return self.take_numbered()

    def test_poplib(self):
        self.assert_keeps_then_deletes(self.poplib)

    # curl ---------------------------------------------------------------------------------------

    def test_curl(self):
        listing, uidls, retr, dele = doc_recipes.commands(recipe("curl-commands").text)
        names = self.order()
        # LIST and UIDL, each a session of its own.
        output = self.follow(listing).stdout
        self.assertEqual(output, b"".join(f"{number} {len(self.messages[name])}\r\n".encode()
                                          for number, name in enumerate(names, 1)))
        output = self.follow(uidls).stdout
        self.assertEqual(output, b"".join(f"{number} {name}\r\n".encode()
                                          for number, name in enumerate(names, 1)))
        self.expect_sessions(0, 0)
        # Every message into N.eml: the listing, then a session per message.
        self.follow(recipe("curl-keep-all").text)
        self.assert_delivered(self.take_numbered())
        self.expect_sessions(*[0] * (1 + len(names)))
        # RETR 1 on standard output, then DELE 1.
        self.assertEqual(harness.normalise(self.follow(retr).stdout),
                         harness.normalise(self.messages[names[0]]))
        self.expect_sessions(0)
        self.assert_all_kept()
        self.follow(dele)
        self.expect_sessions(1)
        self.assertEqual(self.maildir.names(), sorted(names[1:]))

        # DELE 1, 3 and 5 in one session delete exactly those.
        self.restore()
        self.follow(recipe("curl-delete-several").text)
        self.expect_sessions(3)
        self.assertEqual(self.maildir.names(), sorted([names[1], names[3]]))

        # Every message fetched and deleted in one session, after the listing.
        self.restore()
        self.follow(recipe("curl-delete-all").text)
        self.assert_delivered(self.take_numbered())
        self.expect_sessions(0, len(names))
        self.assert_emptied()

    # fetchmail ------------------------------------------------------------------------------

    FETCHMAIL_ADDS = section_names("## fetchmail", ["Received"])

    def fetchmail(self, keep):
        self.write("fetchmail-keep" if keep else "fetchmail-delete")
        self.follow(recipe("fetchmail-run").text)
        return self.take_inbox()

    def test_fetchmail(self):
        self.assert_keeps_then_deletes(self.fetchmail, self.FETCHMAIL_ADDS)

    # getmail6 -----------------------------------------------------------------------------

    GETMAIL_ADDS = section_names("## getmail6", ["Return-Path", "Delivered-To", "Received"])

    def gate_getmail(self):
        """Puts `getmail` on the user's PATH as the real getmail behind the gate of
        getmail_gate.py: getmail 6.18 can miss the end of its own delivery child and then
        waits 180 s; the gate lets each child end only once getmail waits for it. The gate and
        the harness it imports are copied where the user can reach them, wherever the source
        tree lies."""
        getmail = shutil.which("getmail", path=doc_recipes.LOGIN_PATH)
        with open(getmail, encoding="utf-8") as script:
            interpreter = script.readline()[2:].strip()
        here = os.path.dirname(os.path.abspath(__file__))
        self.user.copy(os.path.join(here, "fernd_harness.py"))
        gate = self.user.copy(os.path.join(here, "getmail_gate.py"))
        self.user.add_program("getmail", f'#!/bin/sh\nexec {interpreter} {gate} {getmail} "$@"\n')
        return interpreter, gate, getmail

    def getmail(self, delete, read_all=True, script=None, expect_status=0):
        """docs/clients.md's getmailrc, with `delete = true` in place of `delete = false` to
        delete and `read_all = false` added under [options] when told, as the page says; then
        its commands. Returns what arrived in the Maildir and getmail's output."""
        text = recipe("getmail").text
        if delete:
            text = harness.replace_exactly(text, "delete = false", "delete = true")
        if not read_all:
            text = harness.replace_exactly(text, "\n[options]\n", "\n[options]\nread_all = false\n")
        self.follow(recipe("getmail-directory").text)
        self.write("getmail", text)
        self.gate_getmail()
        done = self.follow(script or recipe("getmail-run").text, expect_status=expect_status)
        output = (done.stdout + done.stderr).decode("utf-8", "replace")
        if expect_status == 0:
            self.assertNotIn("error", output)
            return self.take_inbox(), output
        return [], output

    def getmail_uidls(self):
        """The UIDLs getmail recorded in its oldmail file."""
        base = self.user.path(".config/getmail")
        names = [name for name in os.listdir(base) if name.startswith("oldmail-")]
        self.assertEqual(len(names), 1, names)
        with open(os.path.join(base, names[0]), encoding="ascii") as oldmail:
            return sorted(line.split("\0")[0] for line in oldmail.read().splitlines())

    def test_getmail(self):
        delivered, _ = self.getmail(delete=False)
        self.assert_delivered(delivered, self.GETMAIL_ADDS)
        self.expect_sessions(0)
        self.assert_all_kept()
        first_uidls = self.getmail_uidls()
        self.assertEqual(first_uidls, sorted(self.messages))

        # Fetching only new mail, getmail knows every message by its UIDL from last time.
        delivered, _ = self.getmail(delete=False, read_all=False)
        self.assertEqual(delivered, [])
        self.expect_sessions(0)
        self.assert_all_kept()

        delivered, _ = self.getmail(delete=True)
        self.assert_delivered(delivered, self.GETMAIL_ADDS)
        self.expect_sessions(len(self.messages))
        self.assert_emptied()
        self.assertEqual(self.getmail_uidls(), first_uidls)

    # fdm ------------------------------------------------------------------------------------

    def fdm(self, keep):
        """docs/clients.md's fdm.conf, without `keep` on the account line to delete. What fdm
        prints is the one line that the page describes, which begins with the name of the
        recipe's account."""
        text = recipe("fdm").text
        if not keep:
            text = harness.replace_exactly(text, '"secret" keep\n', '"secret"\n')
        self.write("fdm", text)
        done = self.follow(recipe("fdm-run").text)
        (account,) = re.findall(r'^account "([^"]+)" ', text, re.MULTILINE)
        self.assertIn(f"begins with the account's name from the file, `{account}` here",
                      " ".join(doc_recipes.section_text(doc_recipes.CLIENTS, "## fdm").split()))
        count = len(self.messages)
        self.assertRegex((done.stdout + done.stderr).decode("utf-8", "replace"),
                         rf"^{re.escape(account)}: {count} messages processed "
                         rf"\({count if keep else 0} kept\) in [0-9.]+ seconds "
                         r"\(average [0-9.]+\)\n$")
        return self.take_inbox()

    def test_fdm(self):
        self.assert_keeps_then_deletes(self.fdm)

    # s-nail ---------------------------------------------------------------------------------

    def snail(self, name):
        """One of docs/clients.md's s-nail commands; returns the messages of the mbox file and
        what s-nail wrote to standard error."""
        done = self.follow(recipe(name).text)
        return self.take_mbox(), done.stderr.decode("utf-8", "replace")

    def test_snail(self):
        def fetch(keep):
            delivered, errors = self.snail("s-nail-keep" if keep else "s-nail-delete")
            self.assertNotIn("POP3 error", errors)
            return delivered
        self.assert_delivered(fetch(True))
        self.expect_sessions(0)
        self.assert_all_kept()
        # The same with the settings in ~/.mailrc.
        self.write("s-nail-mailrc")
        delivered, errors = self.snail("s-nail-mailrc-keep")
        self.assertNotIn("POP3 error", errors)
        self.assertNotIn("Obsoletion warning", errors)
        self.assert_delivered(delivered)
        self.expect_sessions(0)
        self.assert_all_kept()
        self.assert_delivered(fetch(False))
        self.expect_sessions(len(self.messages))
        self.assert_emptied()

    # GNU mailutils' movemail ----------------------------------------------------------------

    def movemail(self, name):
        """docs/clients.md's commands to make the Maildir, then the recipe name; returns what
        arrived in the Maildir."""
        self.follow(recipe("movemail-maildir").text, recipe(name).text)
        return self.take_inbox()

    def serve_large_first(self):
        """Gives the large message the oldest time, so that fernd serves it first."""
        self.times["1005.large"] = 1600000000
        os.utime(self.maildir.file("1005.large"), (1600000000, 1600000000))

    def expect_one_message_per_session(self):
        """The sessions of the loop of movemail-delete: one message deleted in each, then one
        that finds the mailbox empty."""
        count = len(self.messages) + 1
        self.sessions_seen += count
        harness.wait_until(lambda: len(self.finished_sessions()) >= self.sessions_seen,
                           f"{self.sessions_seen} sessions to end")
        sessions = self.finished_sessions()
        self.assertEqual(len(sessions), self.sessions_seen, "sessions in the log")
        for lines, remaining in zip(sessions[-count:], range(count - 1, -1, -1)):
            self.assert_session_lines(lines, 1 if remaining else 0, remaining)

    def test_movemail(self):
        # mailutils 3.15 damages a message of more than 8 KiB that it reads after a smaller one
        # in the same session (test_movemail_damages_large_message_after_smaller_one); served
        # first, the large message arrives whole with -p, and so every message is checked here.
        self.serve_large_first()
        self.assert_delivered(self.movemail("movemail-keep"))
        self.expect_sessions(0)
        self.assert_all_kept()
        # One message per session: every message whole, in any order.
        self.assert_delivered(self.movemail("movemail-delete"))
        self.expect_one_message_per_session()
        self.assert_emptied()

    # nmh's inc ------------------------------------------------------------------------------

    def inc(self, keep):
        """docs/clients.md's nmh profile, netrc file and commands; returns the messages that inc
        put into the folder ~/Mail/inbox, which is then removed with the mail directory."""
        self.write("nmh-profile")
        self.write("nmh-netrc")
        self.follow(recipe("nmh-setup").text, recipe("nmh-keep" if keep else "nmh-delete").text)
        inbox = self.inbox()
        delivered = []
        for name in sorted((name for name in os.listdir(inbox) if name.isdigit()), key=int):
            with open(os.path.join(inbox, name), "rb") as message:
                delivered.append(message.read())
        shutil.rmtree(self.user.path("Mail"))
        return delivered

    def test_inc(self):
        self.assert_keeps_then_deletes(self.inc)

    # Emacs's pop3.el ------------------------------------------------------------------------

    EMACS_ADDS = section_names("## Emacs: pop3.el", ["Content-Length", "X-UIDL"])

    def emacs(self, keep):
        """docs/clients.md's fetch.el, with nil for pop3-leave-mail-on-server to delete, as the
        page says, run in batch mode; returns the messages of the mbox file. As the page says,
        each has a Content-Length header, and an X-UIDL header only when Emacs keeps the mail."""
        text = recipe("emacs").text
        if not keep:
            text = harness.replace_exactly(text, "pop3-leave-mail-on-server t)",
                                           "pop3-leave-mail-on-server nil)")
        self.write("emacs", text)
        self.follow(recipe("emacs-run").text)
        delivered = self.take_mbox()
        for message in delivered:
            names = {line.split(b":", 1)[0].lower() for line in
                     harness.split_message(harness.normalise(message))[0]}
            self.assertIn(b"content-length", names)
            self.assertEqual(b"x-uidl" in names, keep, message[:300])
        return delivered

    def test_emacs(self):
        self.assert_keeps_then_deletes(self.emacs, self.EMACS_ADDS)

    # mutt and neomutt -----------------------------------------------------------------------

    MUTT_ADDS = section_names("## mutt and neomutt", ["Content-Length", "Lines"])
    # The recipe that keeps and the one that deletes, of each client.
    MUTT_RECIPES = {"mutt": ("mutt-keep", "mutt-delete"),
                    "neomutt": ("neomutt-keep", "neomutt-delete")}

    def mutt(self, name, config=None, setup=True, answers=()):
        """docs/clients.md's ~/.muttrc (config: its text as the test changed it) and the
        commands that make the folder directory (unless told not to), then the recipe name, run
        on a terminal with answers typed on it. Returns what the terminal showed, as text."""
        self.write("mutt", config)
        if setup:
            self.follow(recipe("mutt-setup").text)
        done = self.follow(recipe(name).text, terminal=True, answers=answers)
        return harness.terminal_text(done.stdout)

    def assert_mutt_keeps_then_deletes(self, client):
        keep, delete = self.MUTT_RECIPES[client]
        self.serve_top()

        def fetch(keeping):
            shown = self.mutt(keep if keeping else delete)
            count = len(self.messages)
            self.assertIn(f"{count} kept, 0 deleted" if keeping else f"0 kept, {count} deleted",
                          shown)
            return self.take_mbox()
        self.assert_keeps_then_deletes(fetch, self.MUTT_ADDS)

    def test_mutt(self):
        self.assert_mutt_keeps_then_deletes("mutt")

    def test_neomutt(self):
        self.assert_mutt_keeps_then_deletes("neomutt")


class StandaloneClientsTest(RealClients, harness.E2ETestCase):
    mode = "standalone"

    def fetchmail_variant(self, old, new, verbose=True, expect_status=0):
        """docs/clients.md's fetchmail recipe for keeping, with old in the file replaced by new,
        run with --verbose (which shows the dialogue) when told; returns what arrived and what
        fetchmail wrote."""
        self.write("fetchmail-keep",
                   harness.replace_exactly(recipe("fetchmail-keep").text, old, new))
        script = recipe("fetchmail-run").text
        if verbose:
            script = harness.replace_exactly(script, "fetchmail\n", "fetchmail --verbose\n")
        done = self.follow(script, expect_status=expect_status)
        return self.take_inbox(), (done.stdout + done.stderr).decode("utf-8", "replace")

    def test_fetchmail_on_a_mailbox_that_another_session_holds(self):
        """Another session holds the mailbox. With --resp-codes, as the page recommends,
        fetchmail reads [IN-USE] and reports the lock (its lock-busy status, 9); without it,
        the refusal counts as a wrong password (its authentication-failure status, 3)."""
        for resp_codes in (True, False):
            with self.subTest(resp_codes=resp_codes):
                self.srv.stop()
                self.srv = self.server([self.account], mode=self.mode,
                                       extra=["--resp-codes"] if resp_codes else [],
                                       log=self.workspace.path(f"fernd-{resp_codes}.log"))
                self.site = doc_recipes.Site(port=self.srv.port, home=self.user.home)
                holder = self.client(self.srv)
                self.assertEqual(holder.login(USER, DOC_PASSWORD), b"+OK\r\n")
                status = 9 if resp_codes else 3
                delivered, transcript = self.fetchmail_variant(" fetchall keep", " fetchall keep",
                                                               expect_status=status)
                self.assertEqual(delivered, [])
                if resp_codes:
                    self.assertIn("POP3< -ERR [IN-USE] mailbox in use by another session",
                                  transcript)
                    self.assertIn("Lock-busy error", transcript)
                    self.assertNotIn("Authorization failure", transcript)
                else:
                    self.assertIn("POP3< -ERR cannot access mailbox", transcript)
                    self.assertIn("Authorization failure", transcript)
                self.assertEqual(holder.command("QUIT"), b"+OK\r\n")
                holder.close()
                self.assert_all_kept()

    def test_fetchmail_without_fetchall_asks_for_top(self):
        """fetchmail without fetchall sends TOP before RETR; fernd refuses TOP, so nothing is
        fetched, and nothing is lost: every message stays."""
        delivered, transcript = self.fetchmail_variant(" fetchall keep", " nokeep",
                                                       expect_status=1)
        self.assertEqual(delivered, [])
        self.assertIn("POP3> TOP", transcript)
        self.assertNotIn("POP3> RETR", transcript)
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_fetchmail_without_sslproto_tries_stls(self):
        """fetchmail sends STLS, which fernd does not offer, and gives up: nothing fetched."""
        delivered, transcript = self.fetchmail_variant(" sslproto ''", "", expect_status=2)
        self.assertEqual(delivered, [])
        self.assertIn("POP3> STLS", transcript)
        self.assert_all_kept()

    def test_fetchmail_with_uidl_asks_for_top(self):
        """With the uidl server option and without fetchall, fetchmail asks for TOP as well,
        although it keeps the mail: nothing is fetched, and nothing is lost."""
        delivered, transcript = self.fetchmail_variant(
            "protocol pop3 auth password\n    user \"alice\" password \"secret\" sslproto '' "
            "fetchall keep",
            "protocol pop3 auth password uidl\n    user \"alice\" password \"secret\" "
            "sslproto '' keep", expect_status=1)
        self.assertEqual(delivered, [])
        self.assertIn("POP3> TOP", transcript)
        self.assertNotIn("POP3> RETR", transcript)
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_fetchmail_keeps_without_fetchall_and_remembers(self):
        """With keep, fetchall can go: fetchmail remembers the messages it has fetched by their
        UIDLs, fernd's file names, in ~/.fetchids, and the next run fetches none of them."""
        delivered, _ = self.fetchmail_variant(" fetchall keep", " keep", verbose=False)
        self.assert_delivered(delivered, self.FETCHMAIL_ADDS)
        self.expect_sessions(0)
        # Each line of .fetchids: "user@host uidl".
        with open(self.user.path(".fetchids"), encoding="ascii") as ids:
            seen = sorted(line.split()[1] for line in ids.read().splitlines())
        self.assertEqual(seen, sorted(self.messages))
        self.follow(recipe("fetchmail-run").text, expect_status=1)  # 1: no new mail
        self.assertEqual(self.take_inbox(), [])
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_fetchmail_refuses_a_file_that_others_may_read(self):
        """Without the chmod of the recipe the file has mode 0644, as an editor makes it:
        fetchmail exits with status 6 and fetches nothing."""
        self.write("fetchmail-delete")
        done = self.follow(harness.replace_exactly(recipe("fetchmail-run").text,
                                                "chmod 600 ~/.fetchmailrc\n", ""),
                        expect_status=6)
        self.assertIn(b".fetchmailrc", done.stdout + done.stderr)
        self.assertEqual(self.finished_sessions(), [])
        self.assert_all_kept()

    def test_poplib_with_the_hash_alone_taken_away_stops(self):
        """What the page says of taking away only the # before pop.dele: Python stops with an
        IndentationError before it connects; nothing is fetched or deleted."""
        self.write("poplib", harness.replace_exactly(recipe("poplib").text, "# pop.dele",
                                                     " pop.dele"))
        done = self.follow(recipe("poplib-run").text, expect_status=1)
        self.assertIn(b"IndentationError: unindent does not match any outer indentation level",
                      done.stderr)
        self.assertEqual([name for name in os.listdir(self.user.home) if name.endswith(".eml")],
                         [])
        self.assertEqual(self.srv.log.entries(), [])
        self.assert_all_kept()

    def test_snail_without_bulk_load_asks_for_top(self):
        """Without pop3-bulk-load s-nail sends TOP for every message and reports each refusal,
        then fetches the whole message with RETR: everything still arrives."""
        done = self.follow(harness.replace_exactly(recipe("s-nail-keep").text, " -Spop3-bulk-load",
                                                ""))
        errors = done.stderr.decode("utf-8", "replace")
        self.assertEqual(errors.count("POP3 error: -ERR command not understood"),
                         len(self.messages), errors)
        self.assert_delivered(self.take_mbox())
        self.expect_sessions(0)
        self.assert_all_kept()

    def test_movemail_damages_large_message_after_smaller_one(self):
        """mailutils 3.15 loses bytes of a message of more than 8 KiB that follows a smaller
        one in the same session, although fernd sends it whole (the page's poplib script reads
        it whole in the same order). Fetching one message per run, deleting each, as the page's
        loop does, delivers every byte."""
        self.assert_delivered(self.poplib(keep=True))
        self.expect_sessions(0)

        delivered = self.movemail("movemail-keep")
        self.expect_sessions(0)
        self.assert_all_kept()
        expected = [harness.normalise(content) for content in self.messages.values()]
        damaged = [message for message in delivered if message not in expected]
        self.assertEqual(len(delivered), len(expected))
        self.assertEqual(len(damaged), 1, "one damaged message")
        self.assertIn(b"Subject: message large", damaged[0])
        self.assertLess(len(damaged[0]), len(harness.normalise(self.messages["1005.large"])))

        self.assert_delivered(self.movemail("movemail-delete"))
        self.expect_one_message_per_session()
        self.assert_emptied()

    def test_fetchmail_without_fetchall_fetches_with_top_when_served(self):
        """With --top, fetchmail without fetchall (nokeep alone, or the uidl server option with
        keep) fetches each message with TOP and a line count past its end, and gets every
        message whole; with nokeep it deletes them."""
        self.serve_top()
        variants = (
            (" fetchall keep", " nokeep", len(self.messages)),
            ("protocol pop3 auth password\n    user \"alice\" password \"secret\" sslproto '' "
             "fetchall keep",
             "protocol pop3 auth password uidl\n    user \"alice\" password \"secret\" "
             "sslproto '' keep", 0))
        for old, new, deleted in variants:
            with self.subTest(new=new):
                self.restore()
                for name in (".fetchids", ".fetchmail.pid"):
                    if os.path.exists(self.user.path(name)):
                        os.unlink(self.user.path(name))
                delivered, transcript = self.fetchmail_variant(old, new)
                self.assertIn("POP3> TOP 1 99999999", transcript)
                self.assertNotIn("POP3> RETR", transcript)
                self.assert_delivered(delivered, self.FETCHMAIL_ADDS)
                self.expect_sessions(deleted)
                if deleted:
                    self.assert_emptied()
                else:
                    self.assert_all_kept()

    def test_mutt_and_neomutt_without_top_open_nothing(self):
        """Against fernd without --top both stop after the login, with the messages that the
        page quotes, drop the keys given with push, and wait on an empty screen, which "q"
        leaves; nothing is fetched."""
        for name, message in (("mutt-keep", "Command TOP is not supported by server."),
                              ("neomutt-keep", "Unable to open mailbox "
                               f"pop://alice@127.0.0.1:{self.srv.port}/")):
            with self.subTest(recipe=name):
                shown = self.mutt(name, answers=[("No mailbox is open", "q")])
                self.assertIn(message, shown)
                self.assertIn("No mailbox is open", shown)
                self.assertFalse(os.path.exists(self.user.path("fetched.mbox")))
                self.assert_all_kept()

    def test_mutt_and_neomutt_without_ssl_force_tls_refuse_clear_text(self):
        """Without `set ssl_force_tls=no` both refuse the connection and wait on an empty
        screen, which "q" leaves; nothing is fetched."""
        self.serve_top()
        config = harness.replace_exactly(recipe("mutt").text, "set ssl_force_tls=no\n", "")
        for name in ("mutt-keep", "neomutt-keep"):
            with self.subTest(recipe=name):
                shown = self.mutt(name, config, answers=[("No mailbox is open", "q")])
                self.assertIn("Encrypted connection unavailable", shown)
                self.assertFalse(os.path.exists(self.user.path("fetched.mbox")))
                self.assert_all_kept()

    def test_mutt_and_neomutt_without_their_folder_directory_copy_one_message(self):
        """Without ~/Mail, the question whether to create it takes the first of the pushed
        keys: the directory is made, the tagging is lost, and only the first message is
        copied."""
        self.serve_top()
        for name in ("mutt-keep", "neomutt-keep"):
            with self.subTest(recipe=name):
                self.mutt(name, setup=False)
                self.assertTrue(os.path.isdir(self.user.path("Mail")))
                shutil.rmtree(self.user.path("Mail"))
                delivered = self.take_mbox()
                self.assertEqual(len(delivered), 1)
                self.assertEqual(strip_added_headers(harness.normalise(delivered[0]),
                                                     harness.normalise(self.messages[
                                                         self.order()[0]]), self.MUTT_ADDS),
                                 harness.normalise(self.messages[self.order()[0]]))
                self.assert_all_kept()

    def test_getmail_without_the_maildir_stops(self):
        """Without the mkdir of the recipe getmail stops with status 2 and fetches nothing."""
        _, output = self.getmail(delete=True, script="getmail\n", expect_status=2)
        self.assertIn("does not exist", output)
        self.assertEqual(self.finished_sessions(), [])
        self.assert_all_kept()

    def test_getmail_as_root_refuses_to_deliver(self):
        """Run as root, getmail fetches but will not deliver into a Maildir, and so it does
        not delete either: every message stays on the server."""
        if not harness.running_as_root():
            self.skipTest("needs root")
        self.follow(recipe("getmail-directory").text)
        self.write("getmail", harness.replace_exactly(recipe("getmail").text, "delete = false",
                                                      "delete = true"))
        interpreter, gate, getmail = self.gate_getmail()
        os.makedirs(os.path.join(self.inbox(), "new"))
        for sub in ("cur", "tmp"):
            os.makedirs(os.path.join(self.inbox(), sub))
        done = harness.run_client([interpreter, gate, getmail], self.srv, CLIENT_TIMEOUT,
                                  cwd=self.user.home, env=dict(self.user.env(), LD_PRELOAD=""))
        transcript = (done.stdout + done.stderr).decode("utf-8", "replace")
        self.assertEqual(done.returncode, 127, transcript)
        self.assertIn("refuse to deliver mail as root", transcript)
        self.assertEqual(maildir_messages(self.inbox()), [])
        self.expect_sessions(0)
        self.assert_all_kept()


class DocRecipesTest(unittest.TestCase):
    """Every block of docs/clients.md, of docs/scaling.md and of the README's "POP3 over TLS" is
    marked, either as a recipe that some test runs or as checked by hand in a section that says
    when and with which version; and the check finds a block that is not."""

    def test_every_block_is_a_recipe_that_a_test_runs(self):
        blocks = doc_recipes.check_documents()
        self.assertGreater(len([block for block in blocks if block.name]), 30)

    def test_the_check_finds_unmarked_and_unused_blocks(self):
        # A name that no test script writes out as a string, this one included.
        unused = "-".join(["nobody", "runs", "this"])
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "page.md")
            with open(path, "w", encoding="utf-8") as page:
                page.write("# Page\n\n<!-- recipe: curl-commands -->\n    curl a\n\n"
                           f"Text.\n\n    curl b\n\n<!-- recipe: {unused} -->\n"
                           "    curl c\n")
            blocks = doc_recipes.read_blocks(path)
            self.assertEqual([(block.name, block.text) for block in blocks],
                             [("curl-commands", "curl a\n"), (None, "curl b\n"),
                              (unused, "curl c\n")])
            original = doc_recipes.documents
            doc_recipes.documents = lambda: blocks
            try:
                with self.assertRaises(AssertionError) as failure:
                    doc_recipes.check_documents()
            finally:
                doc_recipes.documents = original
            message = str(failure.exception)
            self.assertIn("page.md:8: a block without a marker", message)
            self.assertIn(f"page.md:11: no test runs the recipe {unused}", message)
            self.assertNotIn("page.md:4", message)


class InetdSystemdClientsTest(RealClients, harness.E2ETestCase):
    mode = "inetd-systemd"


class InetdSocatClientsTest(RealClients, harness.E2ETestCase):
    mode = "inetd-socat"


if __name__ == "__main__":
    harness.main(__doc__)
