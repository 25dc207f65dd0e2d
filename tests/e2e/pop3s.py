#!/usr/bin/env python3
"""POP3 over implicit TLS: fernd behind a real stunnel4 process that runs the stunnel
configuration the project ships (dist/stunnel/fernd-pop3s.conf.in), with only the site-specific
values replaced: the port (an ephemeral one on 127.0.0.1), the account, the password file, the
Maildir, the log file and the user that stunnel drops to (nobody in place of mail). The
certificate is made with the README's `openssl` command, read from its text. Run as root, stunnel
starts as root, as the systemd unit starts it, in a directory that only root can read and that
holds its certificate and key (the credentials directory under systemd), and drops to the
unprivileged user before it starts one fernd --inetd per connection: neither it nor fernd holds
a capability then, and a symbolic link to the key in new/ serves nothing.

The POP3S recipes of docs/clients.md (curl, Python's poplib.POP3_SSL, fetchmail), read from its
text, fetch and delete mail byte for byte; a client that does not trust the certificate, and a
client that speaks plain POP3, never reach fernd; a client that sends nothing is let go within
the bound that the configuration and the README give; fernd's session log holds each session,
and stunnel's log ties the client's address and port to the process id in fernd's lines. Under
strace, every system call made is one that the shipped systemd drop-in's sandbox allows.

Usage: pop3s.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import mailbox
import os
import poplib
import re
import signal
import socket
import ssl
import subprocess
import types

import doc_recipes
import fernd_harness as harness
from doc_recipes import recipe
from fernd_harness import PASSWORD, USER, WAIT

# The bound of one client run, with the one-second password delay of inetd mode, in the
# sanitizer build.
CLIENT_TIMEOUT = 60

# stunnel's lines (at the level info that the shipped configuration sets) for one connection:
# the client's address and port, then, once the TLS handshake has succeeded, the process id of
# the fernd that serves it.
ACCEPTED = re.compile(r"LOG5\[(\d+)\]: Service \[(fernd-pop3s|fernd-pop3-starttls)\] accepted "
                      r"connection from 127\.0\.0\.1:(\d+)$")
# The two services of the shipped configuration.
POP3S = "fernd-pop3s"
STARTTLS = "fernd-pop3-starttls"
CHILD = re.compile(r"LOG6\[(\d+)\]: Local mode child started \(PID=(\d+)\)$")
# A connection that ends in the TLS handshake: stunnel's error, then its closing line.
HANDSHAKE_FAILED = re.compile(r"LOG3\[\d+\]: SSL_accept: ")
CLOSED_UNUSED = re.compile(r"LOG5\[\d+\]: Connection (reset|closed|reset/closed): "
                           r"0 byte\(s\) sent to TLS, 0 byte\(s\) sent to socket$")


class Pop3sCase(harness.E2ETestCase):
    """stunnel with the shipped configuration in front of fernd, serving the standard messages
    to the documents' account (alice, password secret); everything stunnel and fernd touch
    belongs to the unprivileged user."""

    password = "secret"
    # fernd's options besides the shipped ones, at the end of stunnel's execArgs.
    fernd_options = ()

    def setUp(self):
        super().setUp()
        doc_recipes.need_nss_wrapper()
        base = self.workspace.directory("pop3s")
        # The README's certificate for localhost, made by its commands as a user would.
        self.user = doc_recipes.RecipeUser(self.workspace)
        self.user.run(recipe("pop3s-certificate").text, None, WAIT)
        self.certificate = types.SimpleNamespace(cert=self.user.path("pop3s/cert.pem"),
                                                 key=self.user.path("pop3s/key.pem"))
        self.messages = harness.standard_messages(1 << 20)
        self.maildir = harness.Maildir(os.path.join(base, "Maildir"), self.messages)
        harness.give_to_unprivileged(base)
        self.srv = self.server([harness.Account(USER, self.password, self.maildir)],
                               mode="stunnel", log=os.path.join(base, "fernd.log"),
                               prefix=self.server_prefix(), certificate=self.certificate,
                               extra=list(self.fernd_options))
        if harness.running_as_root():
            # stunnel binds the port as root, then drops to the user of its configuration.
            harness.wait_until(lambda: harness.process_uid(self.srv.listener_pid())
                               == harness.NOBODY_UID, "stunnel to drop to its user")
        self.site = doc_recipes.Site(tls_port=self.srv.port, home=self.user.home,
                                     ca=self.certificate.cert, host="localhost",
                                     starttls_port=self.srv.starttls_port)
        self.out = self.workspace.directory("out")

    def server_prefix(self):
        """What runs stunnel: nothing, it starts as the test's user (root in CI) and changes
        its user itself, as under the unit."""
        return []

    def trusting_context(self):
        """A TLS context that trusts the test certificate and nothing else."""
        return ssl.create_default_context(cafile=self.certificate.cert)

    # The logs ---------------------------------------------------------------------------------

    def stunnel_lines(self):
        return self.srv.stunnel_log().splitlines()

    def connections(self, service=None):
        """stunnel's connections as {client port: fernd process id or None}, from its log; only
        those of the service of that name when given."""
        threads = {}
        for line in self.stunnel_lines():
            accepted = ACCEPTED.search(line)
            if accepted:
                threads[accepted.group(1)] = [accepted.group(2), int(accepted.group(3)), None]
            child = CHILD.search(line)
            if child:
                threads[child.group(1)][2] = int(child.group(2))
        return {port: pid for name, port, pid in threads.values()
                if service is None or name == service}

    def expect_session(self, client_port, deleted, in_mailbox=None):
        """The connection from client_port was served by a fernd process whose log lines are
        those of one whole session that deleted that many messages."""
        if in_mailbox is None:
            in_mailbox = len(self.messages)
        pid = harness.wait_until(lambda: self.connections().get(client_port),
                                 f"stunnel to start fernd for the client port {client_port}")
        harness.wait_until(lambda: any(owner == pid for owner, _ in self.srv.finished_sessions()),
                           f"the session of fernd process {pid} to end")
        self.assertEqual(self.srv.log.session_of(pid),
                         harness.session_lines(in_mailbox, deleted))

    def expect_refused(self, count):
        """stunnel has ended count connections in the TLS handshake, without a byte for fernd,
        and started no fernd for any connection."""
        def matching(pattern):
            return [line for line in self.stunnel_lines() if pattern.search(line)]
        harness.wait_until(lambda: len(matching(CLOSED_UNUSED)) >= count,
                           f"stunnel to close {count} connection(s)")
        self.assertEqual(len(matching(CLOSED_UNUSED)), count, self.srv.stunnel_log())
        self.assertEqual(len(matching(HANDSHAKE_FAILED)), count, self.srv.stunnel_log())
        self.assertEqual(matching(CHILD), [])
        self.assertEqual(self.srv.log.entries(), [])
        self.assertEqual(self.maildir.contents(), self.messages)

    # Clients ------------------------------------------------------------------------------------

    def poplib_session(self, delete):
        """One poplib.POP3_SSL session that fetches every message, deleting each when told to;
        returns the client's port and {uidl: message as poplib returns it, lines joined by LF}."""
        client = poplib.POP3_SSL("127.0.0.1", self.srv.port, context=self.trusting_context(),
                                 timeout=CLIENT_TIMEOUT)
        try:
            client_port = client.sock.getsockname()[1]
            _, delivered = self.poplib_fetch(client, self.messages, delete, self.password)
        finally:
            client.close()
        return client_port, delivered

    def assert_whole(self, delivered):
        """delivered ({uidl: bytes}) holds every message, equal to its file once line ends are
        normalised."""
        self.assertEqual(sorted(delivered), sorted(self.messages))
        for name, content in delivered.items():
            with self.subTest(message=name):
                self.assertEqual(harness.normalise(content), harness.normalise(self.messages[name]))

    def follow(self, *texts, expect_status=0, terminal=False):
        """Runs the commands of the given recipe texts in one shell as the user, with the
        site's values in place; returns the completed process. With terminal, on a
        pseudo-terminal of the user's, whose output is then the process's stdout."""
        script = "\n".join(self.site.apply(text) for text in texts)
        return self.user.run(script, self.srv, CLIENT_TIMEOUT, expect_status=expect_status,
                             terminal=terminal)

    def ended_sessions(self, count):
        """Waits until count sessions have ended; returns their lines."""
        harness.wait_until(lambda: len(self.srv.finished_sessions()) >= count,
                           f"{count} sessions to end")
        sessions = [lines for _, lines in self.srv.finished_sessions()]
        self.assertEqual(len(sessions), count, "sessions in the log")
        return sessions

    def assert_served_by(self, service):
        """Every session in fernd's log was started by stunnel for a connection to the service
        of that name."""
        started = set(self.connections(service).values())
        sessions = self.srv.log.sessions()
        self.assertTrue(sessions)
        for pid, _ in sessions:
            self.assertIn(pid, started, f"fernd {pid} served no connection to [{service}]")

    def check_curl_recipe(self, name, service):
        """The page's curl commands of recipe name through service: LIST, RETR 1 into 1.eml,
        DELE 1, each a session of its own."""
        listing, retr, dele = doc_recipes.commands(recipe(name).text)
        names = sorted(self.messages)
        output = self.follow(listing).stdout
        self.assertEqual(output, b"".join(f"{number} {len(self.messages[name])}\r\n".encode()
                                          for number, name in enumerate(names, 1)))
        self.follow(retr)
        with open(self.user.path("1.eml"), "rb") as message:
            self.assertEqual(harness.normalise(message.read()),
                             harness.normalise(self.messages[names[0]]))
        self.assertEqual(self.maildir.contents(), self.messages)
        self.follow(dele)
        sessions = self.ended_sessions(3)
        self.assertEqual([lines[-1] for lines in sessions],
                         [f"info: {count} mails deleted in update phase; session ends"
                          for count in (0, 0, 1)])
        self.assertEqual(self.maildir.names(), names[1:])
        self.assert_served_by(service)

    def check_curl_deletes_several(self, name, service):
        """The page's DELE of messages 1, 3 and 5 of recipe name through service, joined by
        --next: one session deletes exactly those."""
        self.follow(recipe(name).text)
        names = sorted(self.messages)
        self.assertEqual(self.ended_sessions(1)[0],
                         harness.session_lines(len(self.messages), 3))
        self.assertEqual(self.maildir.names(), [names[1], names[3]])
        self.assert_served_by(service)

    def fetchmail_keeps_then_deletes(self, name):
        """docs/clients.md's fetchmail recipe name (a ~/.fetchmailrc), keeping, then with nokeep
        in place of keep deleting, each run as the plain recipe says. What procmail delivered
        must equal the files once fetchmail's Received header is taken off. Returns both
        completed fetchmail runs."""
        inbox = self.user.path("Mail/inbox")
        runs = []
        for keep in (True, False):
            text = recipe(name).text
            if not keep:
                text = harness.replace_exactly(text, " fetchall keep\n", " fetchall nokeep\n")
            self.user.write(recipe(name), self.site, text)
            runs.append(self.follow(recipe("fetchmail-run").text))
            delivered = []
            for file_name in sorted(os.listdir(os.path.join(inbox, "new"))):
                with open(os.path.join(inbox, "new", file_name), "rb") as message:
                    content = message.read()
                head, _, body = content.partition(b"\n\n")
                lines = head.split(b"\n")
                self.assertTrue(lines[0].startswith(b"Received: "), lines[0])
                while lines[1][:1] in (b" ", b"\t"):  # the Received field's further lines
                    lines.pop(1)
                delivered.append(b"\n".join(lines[1:]) + b"\n\n" + body)
            subprocess.run(["rm", "-rf", inbox], check=True)
            self.assertEqual(sorted(delivered),
                             sorted(harness.normalise(content)
                                    for content in self.messages.values()))
            sessions = self.ended_sessions(1 if keep else 2)
            self.assertEqual(sessions[-1], harness.session_lines(len(self.messages),
                                                                 0 if keep else len(delivered)))
        self.assertEqual(self.maildir.names(), [])
        return runs

    def curl(self, *arguments, cacert=True):
        """One curl run against the TLS port ("URL" in arguments stands for pop3s://...);
        returns the completed process."""
        command = ["curl", "--silent", "--show-error", "--max-time", str(CLIENT_TIMEOUT),
                   "--user", f"{USER}:{self.password}"]
        if cacert:
            command += ["--cacert", self.certificate.cert]
        command += [argument.replace("URL", f"pop3s://127.0.0.1:{self.srv.port}")
                    for argument in arguments]
        return harness.run_client(command, self.srv, CLIENT_TIMEOUT + WAIT, cwd=self.out)


class Pop3sClientsTest(Pop3sCase):
    """Clients that trust the certificate fetch through stunnel exactly what the files hold."""

    def test_poplib_fetches_then_deletes(self):
        client_port, delivered = self.poplib_session(delete=False)
        self.assert_whole(delivered)
        self.expect_session(client_port, 0)
        self.assertEqual(self.maildir.contents(), self.messages)

        client_port, delivered = self.poplib_session(delete=True)
        self.assert_whole(delivered)
        self.expect_session(client_port, len(self.messages))
        self.assertEqual(self.maildir.names(), [])

    # The recipes of docs/clients.md ----------------------------------------------------------

    def test_curl_recipe(self):
        """docs/clients.md's curl commands over TLS: LIST, RETR 1 into 1.eml, DELE 1."""
        self.check_curl_recipe("tls-curl", POP3S)

    def test_curl_recipe_deletes_several_in_one_session(self):
        """docs/clients.md's DELE of messages 1, 3 and 5 joined by --next, --cacert after each:
        one session deletes exactly those."""
        self.check_curl_deletes_several("tls-curl-delete-several", POP3S)

    def test_curl_without_cacert_after_next_stops(self):
        """What the page says of --next over TLS: without --cacert after it, curl does not trust
        the certificate for the next request and stops with status 60."""
        text = harness.replace_exactly(recipe("tls-curl-delete-several").text,
                                       "--next --cacert ca.pem ", "--next ", count=2)
        done = self.follow(text, expect_status=60)
        self.assertIn(b"SSL certificate problem", done.stderr)

    def test_poplib_recipe(self):
        """docs/clients.md's poplib.POP3_SSL script keeps every message, then, with what the
        page's Python section says taken away before pop.dele, deletes them; each arrives
        whole."""
        for keep in (True, False):
            text = recipe("tls-poplib").text
            if not keep:
                text = doc_recipes.poplib_deleting(text)
            self.user.write(recipe("tls-poplib"), self.site, text)
            self.follow(recipe("tls-poplib-run").text)
            delivered = {}
            for number, name in enumerate(sorted(self.messages), 1):
                path = self.user.path(f"{number}.eml")
                with open(path, "rb") as message:
                    delivered[name] = message.read()
                os.unlink(path)
            self.assert_whole(delivered)
            sessions = self.ended_sessions(1 if keep else 2)
            self.assertEqual(sessions[-1], harness.session_lines(len(self.messages),
                                                                 0 if keep else len(delivered)))
        self.assertEqual(self.maildir.names(), [])

    def test_fetchmail_recipe(self):
        """docs/clients.md's fetchmail over TLS (ssl, sslcertck, the certificate to trust),
        keeping, then with nokeep deleting; run as the plain recipe says. What procmail
        delivered equals the files once fetchmail's Received header is taken off."""
        for done in self.fetchmail_keeps_then_deletes("tls-fetchmail"):
            self.assertNotIn(b"STLS", done.stdout + done.stderr)
        self.assert_served_by(POP3S)


def starttls_section():
    """The README's account of what a client sees on port 110 before TLS, its blanks and line
    ends each made one blank."""
    return " ".join(doc_recipes.section_text(
        doc_recipes.README, "### STARTTLS on port 110: what a client sees before TLS").split())


class Pop3StarttlsClientsTest(Pop3sCase):
    """STARTTLS on port 110, the second service of the shipped configuration: the recipes of
    docs/clients.md's STARTTLS section, read from its text, fetch and delete through it, each
    session served by a fernd that stunnel started for a connection to that service (where
    nothing reaches fernd before TLS)."""

    def test_curl_recipe(self):
        """curl with --ssl-reqd: LIST, RETR 1 into 1.eml, DELE 1."""
        self.check_curl_recipe("starttls-curl", STARTTLS)

    def test_curl_recipe_deletes_several_in_one_session(self):
        """DELE of messages 1, 3 and 5 joined by --next, --ssl-reqd and --cacert after each: one
        session deletes exactly those."""
        self.check_curl_deletes_several("starttls-curl-delete-several", STARTTLS)

    def test_curl_without_ssl_reqd_sends_no_password(self):
        """What the page says of curl without --ssl-reqd: stunnel's CAPA offers no way to log
        in, curl stops with status 67 ("Login denied"), and no command reaches fernd."""
        listing = doc_recipes.commands(recipe("starttls-curl").text)[0]
        done = self.follow(harness.replace_exactly(listing, "--ssl-reqd ", ""), expect_status=67)
        self.assertIn(b"Login denied", done.stderr)
        (pid,) = harness.wait_until(
            lambda: [pid for pid in self.connections(STARTTLS).values() if pid],
            "stunnel to start fernd")
        harness.wait_until(lambda: len(self.srv.log.session_of(pid)) == 2, "fernd's session")
        self.assertEqual(self.srv.log.session_of(pid), [
            "info: starting POP3 session", "error: input error, session aborted"])
        self.assertEqual(self.maildir.contents(), self.messages)

    def test_man_page_curl_line(self):
        """The man page's STARTTLS example, read from its text, fetches message 1."""
        (line,) = [block for block in doc_recipes.man_page_blocks("POP3 over TLS")
                   if "--ssl-reqd" in block]
        output = self.follow(line).stdout
        self.assertEqual(harness.normalise(output),
                         harness.normalise(self.messages[sorted(self.messages)[0]]))
        self.assertEqual(self.ended_sessions(1)[0], harness.session_lines(len(self.messages), 0))
        self.assert_served_by(STARTTLS)

    def test_fetchmail_recipe(self):
        """fetchmail with its default TLS policy (neither ssl nor sslproto), the certificate to
        trust given: it asks for STLS itself; keeping, then with nokeep deleting."""
        self.fetchmail_keeps_then_deletes("starttls-fetchmail")
        self.assert_served_by(STARTTLS)


class Pop3StarttlsMuttTest(Pop3sCase):
    """mutt and neomutt with docs/clients.md's STARTTLS ~/.muttrc (ssl_starttls=yes,
    ssl_force_tls=yes), read from its text, and the plain section's commands, on a
    pseudo-terminal of their own on which nothing is typed: each copies every message to an
    mbox file and keeps it, then moves every message there and deletes it. fernd runs with
    --top, at the end of stunnel's execArgs, as the page says."""

    fernd_options = ("--top",)
    # The headers that mutt adds to each message it writes to an mbox file (docs/clients.md,
    # "mutt and neomutt").
    MUTT_ADDS = ("Content-Length", "Lines")

    def mutt(self, name):
        """The STARTTLS ~/.muttrc, the plain section's setup and then its recipe name, on a
        terminal; returns what the terminal showed, as text."""
        self.user.write(recipe("starttls-mutt"), self.site)
        self.follow(recipe("mutt-setup").text)
        done = self.follow(recipe(name).text, terminal=True)
        return harness.terminal_text(done.stdout)

    def take_mbox(self):
        """The messages of ~/fetched.mbox, without their "From " lines and mutt's own headers,
        normalised; the file is then removed."""
        path = self.user.path("fetched.mbox")
        box = mailbox.mbox(path, create=False)
        try:
            messages = [box.get_bytes(key) for key in box.keys()]
        finally:
            box.close()
        os.unlink(path)
        delivered = []
        for content in messages:
            head, _, body = harness.normalise(content).partition(b"\n\n")
            kept = [line for line in head.split(b"\n")
                    if line.split(b":", 1)[0].decode("ascii", "replace") not in self.MUTT_ADDS]
            delivered.append(b"\n".join(kept) + b"\n\n" + body)
        return sorted(delivered)

    def keeps_then_deletes(self, keep, delete):
        count = len(self.messages)
        expected = sorted(harness.normalise(content) for content in self.messages.values())
        for name, shown_line, deleted in ((keep, f"{count} kept, 0 deleted", 0),
                                          (delete, f"0 kept, {count} deleted", count)):
            shown = self.mutt(name)
            self.assertIn("SSL/TLS connection using", shown)
            self.assertIn(shown_line, shown)
            self.assertEqual(self.take_mbox(), expected)
            sessions = self.ended_sessions(1 if not deleted else 2)
            self.assertEqual(sessions[-1][-1],
                             f"info: {deleted} mails deleted in update phase; session ends")
        self.assertEqual(self.maildir.names(), [])
        self.assert_served_by(STARTTLS)

    def test_mutt(self):
        self.keeps_then_deletes("mutt-keep", "mutt-delete")

    def test_neomutt(self):
        self.keeps_then_deletes("neomutt-keep", "neomutt-delete")


# stunnel's own replies on port 110 before STLS, and fernd's greeting as it passes it on.
STARTTLS_GREETING = b"+OK fernd ready. + stunnel\r\n"
STARTTLS_CAPA = [b"+OK Stunnel capability list follows\r\n", b"STLS\r\n", b".\r\n"]
STARTTLS_STLS = b"+OK Stunnel starts TLS negotiation\r\n"
NOT_TLS = "Client does not want TLS"


class Pop3StarttlsBeforeTlsTest(Pop3sCase):
    """What a client sees on port 110 before STLS, as the README lists it: fernd's greeting
    with stunnel's mark, stunnel's own CAPA list with STLS alone, and no reply at all to any
    other command, which never reaches fernd: a client that sends USER (or PASS, or QUIT) before
    STLS gets no login. After STLS and the handshake, fernd answers everything."""

    def greeted(self):
        client = harness.LineClient(self.srv.starttls_port)
        self.addCleanup(client.close)
        self.assertEqual(client.line(), STARTTLS_GREETING)
        return client

    def assert_ended_unanswered(self, client, count):
        """The connection ends without a byte more (with a reset, or closed); it is the
        count-th that stunnel refused, and the fernd that stunnel started for it saw no
        command."""
        try:
            rest = client.read_to_end()
        except ConnectionResetError:
            rest = b""
        self.assertEqual(rest, b"")
        harness.wait_until(lambda: self.srv.stunnel_log().count(NOT_TLS) >= count,
                           "stunnel's line on the refusal")
        self.assertEqual(self.srv.stunnel_log().count(NOT_TLS), count)
        pid = harness.wait_until(lambda: self.connections(STARTTLS).get(client.local_port),
                                 "stunnel to start fernd")
        harness.wait_until(lambda: len(self.srv.log.session_of(pid)) >= 2, "fernd's session")
        self.assertEqual(self.srv.log.session_of(pid), [
            "info: starting POP3 session", "error: input error, session aborted"])

    def test_user_before_stls_gets_no_login(self):
        # USER and PASS in one write, as a client that does not wait for replies sends them.
        client = self.greeted()
        client.send(f"USER {USER}\r\nPASS {self.password}\r\n")
        self.assert_ended_unanswered(client, 1)
        # After stunnel's CAPA, which offers STLS alone.
        client = self.greeted()
        client.send("CAPA\r\n")
        self.assertEqual([client.line() for _ in STARTTLS_CAPA], STARTTLS_CAPA)
        client.send(f"USER {USER}\r\n")
        self.assert_ended_unanswered(client, 2)
        # Python's poplib, which waits for the reply to USER before it sends PASS.
        pop = poplib.POP3("127.0.0.1", self.srv.starttls_port, timeout=CLIENT_TIMEOUT)
        try:
            self.assertEqual(pop.getwelcome(), STARTTLS_GREETING.rstrip())
            with self.assertRaises((poplib.error_proto, ConnectionResetError)):
                pop.user(USER)
        finally:
            pop.close()
        harness.wait_until(lambda: self.srv.stunnel_log().count(NOT_TLS) >= 3,
                           "stunnel's line on the refusal")
        # Nothing but the sessions' start and end reached fernd: no login, nothing touched.
        self.assertNotIn("authoriz", harness.read_text(self.srv.log_path))
        self.assertEqual(self.maildir.contents(), self.messages)

    def test_other_commands_before_stls_get_no_reply(self):
        for number, commands in enumerate((["QUIT"], ["PASS " + self.password], ["CAPA", "CAPA"],
                                           ["NOOP"]), 1):
            with self.subTest(commands=commands):
                client = self.greeted()
                for command in commands[:-1]:
                    client.send(command + "\r\n")
                    self.assertEqual([client.line() for _ in STARTTLS_CAPA], STARTTLS_CAPA)
                client.send(commands[-1] + "\r\n")
                self.assert_ended_unanswered(client, number)
        self.assertNotIn("authoriz", harness.read_text(self.srv.log_path))
        self.assertEqual(self.maildir.contents(), self.messages)

    def test_after_stls_fernd_answers(self):
        """poplib: stls() sends stunnel's one CAPA itself, then STLS; after the handshake fernd
        answers CAPA with its own list, and the session fetches and deletes every message. A
        capa() of the client's own before stls() makes that CAPA the second, and stunnel ends
        the connection, as the documents say."""
        pop = poplib.POP3("127.0.0.1", self.srv.starttls_port, timeout=CLIENT_TIMEOUT)
        try:
            self.assertEqual(pop.capa(), {"STLS": []})
            with self.assertRaises((poplib.error_proto, ConnectionResetError)):
                pop.stls(context=self.trusting_context())
        finally:
            pop.close()
        harness.wait_until(lambda: NOT_TLS in self.srv.stunnel_log(), "stunnel's refusal")

        pop = poplib.POP3("127.0.0.1", self.srv.starttls_port, timeout=CLIENT_TIMEOUT)
        try:
            client_port = pop.sock.getsockname()[1]
            self.assertEqual(pop.stls(context=self.trusting_context()), STARTTLS_STLS.rstrip())
            self.assertEqual(pop.capa(), {"USER": [], "UIDL": []})
            pop.user(USER)
            pop.pass_(self.password)
            self.assertEqual(pop.stat(), (len(self.messages),
                                          sum(map(len, self.messages.values()))))
            delivered = {}
            for line in pop.uidl()[1]:
                number, name = line.decode("ascii").split()
                delivered[name] = b"".join(line + b"\n" for line in pop.retr(int(number))[1])
                pop.dele(int(number))
            self.assertEqual(pop.quit(), b"+OK")
        finally:
            pop.close()
        self.assert_whole(delivered)
        self.expect_session(client_port, len(self.messages))
        self.assertEqual(self.maildir.names(), [])
        self.assertEqual(self.srv.stunnel_log().count(NOT_TLS), 1)

    def test_readme_lists_what_was_seen(self):
        """The README's list holds each reply and log line that these tests see."""
        text = starttls_section()
        for seen in (STARTTLS_GREETING.rstrip().decode(), STARTTLS_STLS.rstrip().decode(),
                     *(line.rstrip().decode() for line in STARTTLS_CAPA), NOT_TLS,
                     "starting POP3 session", "input error, session aborted"):
            self.assertIn(seen, text)


class Pop3sRefusalsTest(Pop3sCase):
    """What never reaches fernd, and what fernd answers through stunnel when a login fails."""

    def test_client_that_does_not_trust_the_certificate_is_refused(self):
        # The system's trusted CAs, which do not include the test certificate.
        with self.assertRaises(ssl.SSLCertVerificationError):
            poplib.POP3_SSL("127.0.0.1", self.srv.port, context=ssl.create_default_context(),
                            timeout=CLIENT_TIMEOUT)
        done = self.curl("URL/", cacert=False)
        self.assertEqual(done.returncode, 60, done.stderr)  # peer certificate cannot be verified
        self.expect_refused(2)

    def test_plain_pop3_on_the_tls_port_gets_no_greeting(self):
        with harness.connect(self.srv.port) as plain:
            # A plain client that sends a command: stunnel takes it for a broken TLS handshake
            # and closes the connection; not one byte of POP3 comes back.
            plain.sendall(b"CAPA\r\n")
            received = b""
            while True:
                try:
                    chunk = plain.recv(4096)
                except ConnectionResetError:
                    break  # stunnel closed with the command unread
                if not chunk:
                    break
                received += chunk
        self.assertNotIn(b"+OK", received)
        self.assertFalse(received.startswith(b"+") or received.startswith(b"-"), received)
        self.expect_refused(1)

    def test_failed_login_is_answered_and_logged(self):
        client = poplib.POP3_SSL("127.0.0.1", self.srv.port, context=self.trusting_context(),
                                 timeout=CLIENT_TIMEOUT)
        try:
            client_port = client.sock.getsockname()[1]
            client.user(USER)
            with self.assertRaises(poplib.error_proto) as refusal:
                client.pass_("wrong " + PASSWORD)
            self.assertEqual(refusal.exception.args[0], b"-ERR authorization failed")
            # The last reply of a session that ends with a failed login arrives as well.
            self.assertEqual(client.quit(), b"+OK")
        finally:
            client.close()
        pid = harness.wait_until(lambda: self.connections().get(client_port),
                                 "stunnel to start fernd")
        harness.wait_until(lambda: "info: client ended session" in self.srv.log.session_of(pid),
                           "the session to end")
        lines = self.srv.log.session_of(pid)
        self.assertEqual(lines[:3] + lines[4:], [
            "info: starting POP3 session",
            "info: client started authorization",
            f"info: authorization for user {USER} failed: invalid credentials",
            "info: client ended session"])
        # fernd's standard input is stunnel's own connection to it, not the client's: the line
        # that follows the failure names stunnel's end, never the client (stunnel's log has the
        # client's address). A ban by fernd's filter behind stunnel would hit stunnel alone.
        source = re.fullmatch(r"info: invalid credentials from (?:127\.0\.0\.1 port (\d+)|"
                              r"an unknown address)", lines[3])
        self.assertIsNotNone(source, lines[3])
        self.assertNotEqual(source.group(1), str(client_port))
        self.assertEqual(self.maildir.contents(), self.messages)


class Pop3sKeyTest(Pop3sCase):
    """The mailbox owner puts a symbolic link to the TLS key into new/. stunnel read the key as
    root and then dropped to its user; fernd runs as that user, without a capability, and cannot
    open the key: the link is served as nothing, and every real message as before."""

    CAPABILITIES = ("CapInh", "CapPrm", "CapEff", "CapAmb")

    def assert_unprivileged(self, pid, what):
        status = harness.process_status(pid)
        self.assertEqual(status["Uid"].split(), [str(harness.NOBODY_UID)] * 4, what)
        self.assertEqual(status["Gid"].split(), [str(harness.NOBODY_GID)] * 4, what)
        for name in self.CAPABILITIES:
            self.assertEqual(int(status[name], 16), 0, f"{what}: {name}")

    def test_link_to_the_key_serves_nothing(self):
        if not harness.running_as_root():
            self.skipTest("only root can start stunnel so that it reads the key and drops to "
                          "another user")
        key = os.path.join(self.srv.credentials, "key.pem")
        with open(key, "rb") as text:
            key_bytes = text.read()
        self.assertIn(b"PRIVATE KEY", key_bytes)
        link = "1000.key"  # the oldest name: message 1 if it were listed
        os.symlink(key, self.maildir.file(link))

        client = poplib.POP3_SSL("127.0.0.1", self.srv.port, context=self.trusting_context(),
                                 timeout=CLIENT_TIMEOUT)
        try:
            client.user(USER)
            client.pass_(self.password)
            fernd = harness.wait_until(
                lambda: self.connections().get(client.sock.getsockname()[1]),
                "stunnel to start fernd")
            self.assert_unprivileged(self.srv.listener_pid(), "stunnel")
            self.assert_unprivileged(fernd, "fernd")
            served = {}
            for line in client.uidl()[1]:
                number, name = line.decode("ascii").split()
                try:
                    served[name] = b"\n".join(client.retr(int(number))[1]) + b"\n"
                except poplib.error_proto as refusal:
                    served[name] = refusal.args[0]
            self.assertEqual(client.quit(), b"+OK")
        finally:
            client.close()
        for name, content in served.items():
            self.assertNotIn(b"PRIVATE KEY", content, name)
            self.assertNotIn(key_bytes.splitlines()[1], content, name)
        self.assertEqual(served.get(link, b"-ERR cannot open message"),
                         b"-ERR cannot open message")
        served.pop(link, None)
        self.assertEqual(sorted(served), sorted(self.messages))
        for name, content in served.items():
            self.assertEqual(harness.normalise(content), harness.normalise(self.messages[name]))
        self.assertEqual(os.readlink(self.maildir.file(link)), key)


def shipped_timeout_busy():
    """The TIMEOUTbusy of the shipped configuration, in seconds."""
    with open(os.path.join(harness.SOURCE_DIR, "dist", "stunnel", "fernd-pop3s.conf.in"),
              encoding="utf-8") as template:
        found = re.findall(r"^TIMEOUTbusy = (\d+)$", template.read(), re.MULTILINE)
    if len(found) != 1:
        raise AssertionError(f"fernd-pop3s.conf.in sets TIMEOUTbusy {len(found)} times")
    return int(found[0])


class Pop3sSilentClientTest(Pop3sCase):
    """A client that connects and sends nothing, such as a plain POP3 client that waits for a
    greeting, is let go by stunnel after the shipped configuration's TIMEOUTbusy, which the
    README gives (30 seconds at most): the connection ends, with nothing sent and no fernd
    started. The test waits for that end; its ceiling is only for a hang."""

    def test_silent_client_is_let_go(self):
        bound = shipped_timeout_busy()
        self.assertLessEqual(bound, 30)
        with open(doc_recipes.README, encoding="utf-8") as readme:
            self.assertIn(f"`TIMEOUTbusy = {bound}`", readme.read())
        with harness.connect(self.srv.port, timeout=bound + 3 * WAIT) as silent:
            try:
                received = silent.recv(4096)  # the end of the connection, or a reset
            except ConnectionResetError:
                received = b""
            except socket.timeout:
                self.fail(f"stunnel held a silent connection for {bound + 3 * WAIT} s")
        self.assertEqual(received, b"")
        harness.wait_until(lambda: "TIMEOUTbusy exceeded" in self.srv.stunnel_log(),
                           "stunnel's line on the timeout")
        self.assertEqual([line for line in self.stunnel_lines() if CHILD.search(line)], [])
        self.assertEqual(self.srv.log.entries(), [])
        self.assertEqual(self.maildir.contents(), self.messages)


class Pop3StarttlsSilentClientTest(Pop3sCase):
    """On port 110, a client that reads the greeting and then sends nothing, and one that sends
    STLS and then starts no handshake, are each let go by stunnel after the same TIMEOUTbusy,
    as the README says; the fernd that stunnel started at once for each saw no command. The
    test waits for those ends; its ceiling is only for a hang."""

    def test_silent_clients_are_let_go(self):
        bound = shipped_timeout_busy()
        self.assertIn(f"is let go after {bound} seconds (`TIMEOUTbusy`)", starttls_section())
        self.assertLessEqual(bound, 30)
        clients = []
        for send_stls in (False, True):
            client = harness.connect(self.srv.starttls_port, timeout=bound + 3 * WAIT)
            self.addCleanup(client.close)
            reader = client.makefile("rb")
            self.assertEqual(reader.readline(), STARTTLS_GREETING)
            if send_stls:
                client.sendall(b"STLS\r\n")
                self.assertEqual(reader.readline(), STARTTLS_STLS)
            clients.append(reader)
        for reader in clients:
            try:
                received = reader.read()  # the end of the connection, or a reset
            except ConnectionResetError:
                received = b""
            except socket.timeout:
                self.fail(f"stunnel held a silent connection for {bound + 3 * WAIT} s")
            self.assertEqual(received, b"")
        harness.wait_until(lambda: self.srv.stunnel_log().count("TIMEOUTbusy exceeded") >= 2,
                           "stunnel's lines on the timeouts")
        def ended():
            found = [(pid, lines) for pid, lines in self.srv.log.sessions() if len(lines) == 2]
            return found if len(found) == 2 else None
        sessions = harness.wait_until(ended, "both fernd sessions to end")
        self.assertEqual(len(self.srv.log.sessions()), 2, self.srv.log.sessions())
        for pid, lines in sessions:
            self.assertIn(pid, self.connections(STARTTLS).values())
            self.assertEqual(lines, ["info: starting POP3 session",
                                     "error: input error, session aborted"])
        self.assertEqual(self.maildir.contents(), self.messages)


def syscall_set(name):
    """The system calls of a systemd system call set such as @system-service, nested sets
    expanded, as systemd-analyze lists them."""
    done = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True,
                          text=True, timeout=WAIT, check=True)
    calls = set()
    for line in done.stdout.splitlines()[1:]:
        entry = line.strip()
        if not entry or entry.startswith("#"):
            continue
        calls |= syscall_set(entry) if entry.startswith("@") else {entry}
    return calls


def dropin_filter():
    """The system calls that the shipped drop-in's SystemCallFilter= lines allow, read in their
    order as systemd reads them: the first line, an allow list, sets the calls allowed; a later
    ~ line takes calls out of them, a later line without ~ puts calls back."""
    allowed = None
    with open(os.path.join(harness.SOURCE_DIR, "dist", "stunnel", "override.conf"),
              encoding="utf-8") as dropin:
        for line in dropin:
            if not line.startswith("SystemCallFilter="):
                continue
            value = line.split("=", 1)[1].strip()
            calls = set()
            for name in value.lstrip("~").split():
                calls |= syscall_set(name) if name.startswith("@") else {name}
            if allowed is None:
                if value.startswith("~"):
                    raise AssertionError("the drop-in's first SystemCallFilter= is a deny list")
                allowed = calls
            elif value.startswith("~"):
                allowed -= calls
            else:
                allowed |= calls
    return allowed or set()


class Pop3sSandboxTest(Pop3sCase):
    """The sandbox of the systemd drop-in fits what runs in it: every system call that stunnel,
    fernd and the passwordeval command make, from stunnel's start to its end, is one that
    SystemCallFilter= allows (a forbidden one would kill the service), and no memory is mapped
    writable and executable at once (MemoryDenyWriteExecute=). strace follows stunnel and every
    process it starts."""

    def server_prefix(self):
        self.trace = self.workspace.path("strace.out")
        return ["strace", "-f", "-qq", "-o", self.trace]

    def test_system_calls_are_allowed_by_the_dropin(self):
        client_port, delivered = self.poplib_session(delete=True)
        self.assert_whole(delivered)
        self.expect_session(client_port, len(self.messages))
        # STARTTLS on port 110: a session under TLS, and a USER before STLS that stunnel
        # refuses.
        pop = poplib.POP3("127.0.0.1", self.srv.starttls_port, timeout=CLIENT_TIMEOUT)
        try:
            pop.stls(context=self.trusting_context())
            pop.user(USER)
            pop.pass_(self.password)
            self.assertEqual(pop.stat(), (0, 0))
            self.assertEqual(pop.quit(), b"+OK")
        finally:
            pop.close()
        pop = poplib.POP3("127.0.0.1", self.srv.starttls_port, timeout=CLIENT_TIMEOUT)
        try:
            with self.assertRaises((poplib.error_proto, ConnectionResetError)):
                pop.user(USER)
        finally:
            pop.close()
        harness.wait_until(lambda: NOT_TLS in self.srv.stunnel_log(),
                           "stunnel to refuse the USER before STLS")
        with self.assertRaises(ssl.SSLCertVerificationError):
            poplib.POP3_SSL("127.0.0.1", self.srv.port, context=ssl.create_default_context(),
                            timeout=CLIENT_TIMEOUT)
        harness.wait_until(lambda: any(CLOSED_UNUSED.search(line)
                                       for line in self.stunnel_lines()),
                           "stunnel to close the refused connection")
        # stunnel ends on SIGTERM; strace ends with it and has written the whole trace.
        os.kill(self.srv.listener_pid(), signal.SIGTERM)
        self.srv.process.wait(timeout=WAIT)

        with open(self.trace, encoding="utf-8", errors="replace") as trace:
            lines = trace.read().splitlines()
        start = next(index for index, line in enumerate(lines)
                     if re.match(r"\d+ +execve\(\"[^\"]*/stunnel4\", .* = 0$", line))
        used = set()
        for line in lines[start:]:
            call = re.match(r"\d+ +([a-z0-9_]+)\(", line)
            if call:
                used.add(call.group(1))
            self.assertFalse(re.search(r"PROT_WRITE\|PROT_EXEC|PROT_EXEC\|PROT_WRITE", line),
                             line)
        self.assertIn("accept4", used)  # the trace covers the connections
        self.assertIn("execve", used)
        allowed = dropin_filter()
        self.assertGreater(len(allowed), 100)
        self.assertNotIn("chown", allowed)  # ~@privileged took effect
        if harness.running_as_root():
            self.assertIn("setuid", used)  # the trace covers stunnel's drop to its user
        self.assertEqual(sorted(used - allowed), [], "not allowed by SystemCallFilter=")


if __name__ == "__main__":
    harness.main(__doc__)
