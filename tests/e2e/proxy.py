#!/usr/bin/env python3
"""fernd behind Dovecot's POP3 proxy, set up as docs/scaling.md says, from the page's own text:
two fernd backends started with the page's command line (on ephemeral ports of 127.0.0.1, the
second with carol and dave in place of alice and bob, as the page says), and Dovecot with the
page's dovecot.conf and table of users, the values that the page says to adapt put in place: the
ports, the address, a self-signed certificate for localhost, and base_dir, state_dir and the log
in the test's directory. Dovecot runs as a private instance, started with the page's foreground
command and its own configuration file; no system service is touched. It starts as root (its
processes then run as its own users dovecot and dovenull); run as another user, or without
Dovecot's packages, the tests skip with the reason.

Through the proxy, over STLS and over implicit TLS, every user fetches every message, byte for
byte as the wire form of its file, and deletes it, and only that user's new/ is emptied; the
page's curl lines and doveadm commands run as printed. The capability lists before and after
the login, a pipelined dialogue, and each case of the page's "What a user sees" are checked: a
wrong password refused by the backend and reported through the proxy, a user in no shard refused
without a backend hearing of them (and served once the table names them), a mailbox in use, and
a stopped backend whose users get an error while the other backend's users go on, with nothing
lost.

Usage: proxy.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import re
import shutil
import socket
import ssl
import subprocess

import doc_recipes
import dovecot_proxy
import fernd_harness as harness
from doc_recipes import recipe
from fernd_harness import WAIT

# The users of the page's example, by backend: its command line names alice and bob for the
# first; the second runs the same with carol and dave.
SHARDS = (("alice", "bob"), ("carol", "dave"))
# alice's is the page's; dave's has blanks, which must reach fernd as they are.
PASSWORDS = {"alice": "secret", "bob": "b0b-pass", "carol": "c4rol", "dave": "d 4 v e",
             "erin": "erin's"}
# A name that no line of the table holds.
STRANGER = "erin"

# The bound of one curl run.
CLIENT_TIMEOUT = 60

# What Dovecot's POP3 login process answers to CAPA before a login (Dovecot 2.3), with STLS
# offered before TLS only.
PROXY_CAPABILITIES = ["CAPA", "TOP", "UIDL", "RESP-CODES", "PIPELINING", "AUTH-RESP-CODE",
                      "STLS", "USER", "SASL PLAIN"]
FERND_CAPABILITIES = [b"USER\r\n", b"UIDL\r\n"]

# fernd's replies, which the proxy passes on.
AUTH_FAILED = b"-ERR authorization failed\r\n"
MAILBOX_IN_USE = b"-ERR cannot access mailbox\r\n"
NOT_UNDERSTOOD = b"-ERR command not understood\r\n"
# The proxy's own.
NO_SUCH_USER = b"-ERR [AUTH] Authentication failed.\r\n"
BACKEND_DOWN = b"-ERR [SYS/TEMP] Account is temporarily unavailable.\r\n"


def messages_for(user, large_size):
    """The standard messages, each marked with its user and named after them, so that mail that
    reached the wrong user cannot pass for the right one."""
    return {f"{name}.{user}": f"X-Shard-User: {user}\n".encode("ascii") + content
            for name, content in harness.standard_messages(large_size).items()}


class TlsClient(harness.LineClient):
    """A raw POP3 client of the proxy over TLS: implicit TLS (mode "pop3s") or STLS after the
    greeting (mode "stls"); it trusts the test certificate alone. greeting: the proxy's."""

    def __init__(self, port, mode, cafile, source=None):
        plain = harness.connect(port, source=source)
        context = ssl.create_default_context(cafile=cafile)
        self.capabilities_before_tls = None
        if mode == "stls":
            # The proxy sends nothing after its reply to STLS until the handshake, so that this
            # reader holds no byte that belongs to the TLS stream.
            reader = plain.makefile("rb")
            self.greeting = reader.readline()
            plain.sendall(b"CAPA\r\n")
            self.capabilities_before_tls = read_multiline(reader)
            plain.sendall(b"STLS\r\n")
            reply = reader.readline()
            if not reply.startswith(b"+OK"):
                raise AssertionError(f"STLS answered {reply!r}")
            reader.close()
        self.socket = context.wrap_socket(plain, server_hostname="localhost")
        self.reader = self.socket.makefile("rb")
        self.local_port = self.socket.getsockname()[1]
        if mode == "pop3s":
            self.greeting = self.line()

    def lines(self):
        """The raw lines of a multi-line reply after its status line, the final "." included,
        nothing undone."""
        lines = []
        while True:
            lines.append(self.line())
            if lines[-1] == b".\r\n":
                return lines


def read_multiline(reader):
    """The status line and the lines of a multi-line reply from a file reader, up to the final
    "." (included)."""
    lines = [reader.readline()]
    while lines[-1] != b".\r\n":
        line = reader.readline()
        if not line:
            raise EOFError("connection closed inside a multi-line reply")
        lines.append(line)
    return lines


class Backend:
    """One fernd backend of the page: its command line from the page's text, with its users'
    Maildirs, password files and log under directory, on a free port of 127.0.0.1."""

    def __init__(self, binary, directory, index, large_size):
        self.binary = binary
        self.directory = directory
        self.index = index
        self.users = SHARDS[index]
        self.maildirs = {}
        self.messages = {}
        os.makedirs(os.path.join(directory, "etc"))
        for user in self.users:
            self.messages[user] = messages_for(user, large_size if user == "alice" else 64 << 10)
            self.maildirs[user] = harness.Maildir(os.path.join(directory, "mail", user),
                                                  self.messages[user])
            self.write_password(user)
        self.added = []  # users whose mailboxes were added to the page's command line
        self.log = harness.LogFile(os.path.join(directory, "fernd.log"))
        self.output_path = os.path.join(directory, "output")
        self.process = None
        self.port = 0

    def password_path(self, user):
        return os.path.join(self.directory, "etc", f"{user}.password")

    def write_password(self, user):
        with open(self.password_path(user), "w", encoding="utf-8") as password:
            password.write(PASSWORDS[user] + "\n")
        os.chmod(self.password_path(user), 0o600)

    def add_mailbox(self, user, messages):
        """One more mailbox on this backend, as a site adds one: a pair more on the command
        line, which takes effect at the next start."""
        self.write_password(user)
        self.messages[user] = messages
        self.maildirs[user] = harness.Maildir(os.path.join(self.directory, "mail", user),
                                              messages)
        self.added.append(user)

    def command(self, port):
        """The page's command line for this backend on port, with the added mailboxes."""
        replace = harness.replace_exactly
        text = recipe("proxy-backend").text
        if self.index == 1:
            # "and likewise on 10.0.0.12 for carol and dave"
            text = replace(text, "alice", "carol", count=3)
            text = replace(text, "bob", "dave", count=3)
            text = replace(text, dovecot_proxy.DOC_BACKENDS[0], dovecot_proxy.DOC_BACKENDS[1])
        text = replace(text, "/usr/sbin/fernd ", self.binary + " ")
        text = replace(text, f"--interface={dovecot_proxy.DOC_BACKENDS[self.index]} ",
                       "--interface=127.0.0.1 ")
        text = replace(text, f"--port={dovecot_proxy.DOC_BACKEND_PORT} ", f"--port={port} ")
        text = replace(text, "--log=syslog ", f"--log={self.log.path} ")
        text = replace(text, "/etc/fernd/", os.path.join(self.directory, "etc") + "/", count=2)
        text = replace(text, "/var/mail/", os.path.join(self.directory, "mail") + "/", count=2)
        text = text.rstrip("\n")
        for user in self.added:
            text += (f" --auth={user},'cat {self.password_path(user)}'"
                     f" --maildir={self.maildirs[user].path}")
        return ["/bin/bash", "-c", "exec " + text]

    def start(self, port=None):
        """Starts fernd on a free port, or on port when given; returns whether it listens."""
        if port is None:
            self.process, self.port = harness.start_on_free_port(self.command, self.output_path)
            return True
        with open(self.output_path, "wb") as output:
            self.process = subprocess.Popen(self.command(port), stdin=subprocess.DEVNULL,
                                            stdout=output, stderr=output,
                                            start_new_session=True)
        harness.wait_until(lambda: self.process.poll() is not None or
                           harness.listener_of(self.process, port), "fernd to listen")
        if self.process.poll() is not None:
            return False
        self.port = port
        return True

    def restart(self):
        """Starts fernd again on its port or, when another program took that meanwhile, on a
        free one; returns whether the port changed."""
        if self.start(self.port):
            return False
        self.start()
        return True

    def stop(self):
        """Ends the listener and its sessions at once, as a crash or a power cut would."""
        if self.process is not None:
            harness.kill_group(self.process)
            self.process = None


class ProxyCase(harness.E2ETestCase):
    """Two backends and the proxy in front of them, all of the page's text."""

    login_per_connection = False
    large_size = 1 << 20

    def setUp(self):
        super().setUp()
        reason = dovecot_proxy.unavailable()
        if reason:
            self.skipTest(reason)
        self.certificate = harness.Certificate(self.workspace.path("tls"))
        self.backends = []
        for index in range(len(SHARDS)):
            backend = Backend(self.binary, self.workspace.path(f"backend{index + 1}"), index,
                              self.large_size)
            # Once it has stopped: fernd wrote nothing to standard error (a sanitizer's
            # report, a failure of the listener), its log having its own file.
            self.addCleanup(lambda backend=backend: self.assertEqual(
                harness.read_text(backend.output_path), "", backend.output_path))
            self.addCleanup(backend.stop)
            backend.start()
            self.backends.append(backend)
        self.proxy = dovecot_proxy.Proxy(self.workspace.path("dovecot"),
                                         dovecot_proxy.doc_table(self.backend_ports()),
                                         certificate=self.certificate,
                                         login_per_connection=self.login_per_connection)
        self.addCleanup(self.proxy.stop)
        self.proxy.start()

    def backend_ports(self):
        return [backend.port for backend in self.backends]

    def write_table(self, extra=None):
        """Writes the page's table with the backends' ports as they are now, and for each user
        of extra ({user: other user}) a line like the other user's."""
        lines = dovecot_proxy.doc_table(self.backend_ports()).splitlines()
        for user, like in (extra or {}).items():
            line = next(line for line in lines if line.startswith(like + ":"))
            lines.append(user + line[len(like):])
        dovecot_proxy.write_table(self.proxy.directory, "\n".join(lines) + "\n")

    def backend_of(self, user):
        return next(backend for backend in self.backends if user in backend.maildirs)

    def all_contents(self):
        return {user: maildir.contents()
                for backend in self.backends for user, maildir in backend.maildirs.items()}

    def all_messages(self):
        return {user: dict(messages)
                for backend in self.backends for user, messages in backend.messages.items()}

    def client(self, mode="stls", source=None):
        """A TLS client of the proxy that has read the proxy's greeting, closed at the end of
        the test; source: its own address, when not 127.0.0.1."""
        port = self.proxy.stls_port if mode == "stls" else self.proxy.pop3s_port
        client = TlsClient(port, mode, self.certificate.cert, source)
        self.addCleanup(client.close)
        self.assertTrue(client.greeting.startswith(b"+OK "), client.greeting)
        return client

    def logged_in(self, user, mode="stls"):
        client = self.client(mode)
        self.assertEqual(client.login(user, PASSWORDS[user]), b"+OK\r\n")
        return client

    def session_ends(self, backend, count):
        """Waits until count sessions of backend have closed their connection; returns the
        lines of each session."""
        def closed():
            return [lines for _, lines in backend.log.sessions()
                    if lines[-1] == "info: connection closed"]
        harness.wait_until(lambda: len(closed()) >= count, f"{count} backend sessions to end")
        return closed()

    def fetch_exactly(self, client, user):
        """Fetches every message of user's mailbox through client, which has logged in: the
        UIDL list must name each file once, and each RETR reply must be the wire form of the
        file to the byte. Returns {message number: file name}."""
        messages = self.backend_of(user).messages[user]
        self.assertEqual(client.command("UIDL"), b"+OK\r\n")
        numbers = {}
        for line in client.lines()[:-1]:
            number, name = line.decode("ascii").split()
            numbers[int(number)] = name
        self.assertEqual(sorted(numbers.values()), sorted(messages))
        for number, name in numbers.items():
            with self.subTest(user=user, message=name):
                self.assertEqual(client.command(f"RETR {number}"), b"+OK\r\n")
                self.assertEqual(b"".join(client.lines()),
                                 harness.wire_form(messages[name]) + b".\r\n")
        return numbers


class ProxyFetchTest(ProxyCase):
    """Every user fetches and deletes through the proxy; the page's curl lines; the capability
    lists; a pipelined dialogue."""

    def test_each_user_fetches_then_deletes_through_the_proxy(self):
        expected = self.all_messages()
        # First every user fetches and keeps: nothing changes anywhere.
        for index, user in enumerate(expected):
            client = self.logged_in(user, "stls" if index % 2 == 0 else "pop3s")
            self.fetch_exactly(client, user)
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(self.all_contents(), expected)
        # Then each fetches and deletes, one user after the other: only that user's mail goes.
        for index, user in enumerate(expected):
            client = self.logged_in(user, "pop3s" if index % 2 == 0 else "stls")
            numbers = self.fetch_exactly(client, user)
            for number in numbers:
                self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
            # fernd deletes after it has answered QUIT.
            expected[user] = {}
            maildir = self.backend_of(user).maildirs[user]
            harness.wait_until(lambda: not maildir.names(), f"{user}'s messages to be deleted")
            self.assertEqual(self.all_contents(), expected)
        # Each backend served exactly its own users, two sessions each, all from the proxy.
        for backend in self.backends:
            sessions = self.session_ends(backend, 4)
            self.assertEqual(len(sessions), 4)
            for lines in sessions:
                self.assertRegex(lines[0], r"^info: connection from 127\.0\.0\.1 port \d+, ")
                authorized = [line for line in lines if " authorized and mailbox locked" in line]
                self.assertEqual(len(authorized), 1, lines)
                self.assertIn(authorized[0].split()[2], backend.users)

    def test_curl_recipe(self):
        """The page's curl lines, over STLS and over implicit TLS: LIST, RETR 1 into 1.eml,
        DELE 1; alice's mail alone changes."""
        listing, retr, dele = doc_recipes.commands(recipe("proxy-curl").text)
        out = self.workspace.directory("curl")
        site = doc_recipes.Site(tls_port=self.proxy.pop3s_port, ca=self.certificate.cert,
                                host="localhost")
        stls_port = f":{dovecot_proxy.DOC_STLS_PORT}/"

        def run(command):
            command = harness.replace_exactly(site.apply(command), stls_port,
                                              f":{self.proxy.stls_port}/",
                                              count=command.count(stls_port))
            done = harness.run_client(["/bin/bash", "-e", "-c", command], self.proxy,
                                      CLIENT_TIMEOUT, cwd=out)
            self.assertEqual(done.returncode, 0, done.stderr)
            return done.stdout

        messages = self.backend_of("alice").messages["alice"]
        maildir = self.backend_of("alice").maildirs["alice"]
        order = sorted(messages, key=lambda name: os.stat(maildir.file(name)).st_mtime)
        self.assertEqual(run(listing), b"".join(
            f"{number} {len(messages[name])}\r\n".encode("ascii")
            for number, name in enumerate(order, 1)))
        run(retr)
        with open(os.path.join(out, "1.eml"), "rb") as fetched:
            self.assertEqual(harness.normalise(fetched.read()),
                             harness.normalise(messages[order[0]]))
        run(dele)
        expected = self.all_messages()
        del expected["alice"][order[0]]
        harness.wait_until(lambda: self.all_contents() == expected, "DELE 1 to take effect")
        self.assertEqual(self.all_contents(), expected)

    def test_capabilities_before_and_after_the_login(self):
        """Before the login the proxy answers CAPA with its own list (STLS only before TLS);
        after it, fernd answers with its own, and TOP, which the proxy listed, is fernd's to
        refuse."""
        client = TlsClient(self.proxy.stls_port, "stls", self.certificate.cert)
        self.addCleanup(client.close)
        self.assertEqual(client.capabilities_before_tls,
                         [b"+OK\r\n"] + [f"{name}\r\n".encode("ascii")
                                         for name in PROXY_CAPABILITIES] + [b".\r\n"])
        self.assertEqual(client.command("CAPA"), b"+OK\r\n")
        self.assertEqual(client.lines(), [f"{name}\r\n".encode("ascii")
                                          for name in PROXY_CAPABILITIES
                                          if name != "STLS"] + [b".\r\n"])
        self.assertEqual(client.login("bob", PASSWORDS["bob"]), b"+OK\r\n")
        self.assertEqual(client.command("CAPA"), b"+OK\r\n")
        self.assertEqual(client.lines(), FERND_CAPABILITIES + [b".\r\n"])
        self.assertEqual(client.command("TOP 1 0"), NOT_UNDERSTOOD)
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")

    def test_pipelined_dialogue_is_answered_in_order(self):
        """A whole session in one write, from USER to QUIT, through the proxy: the replies come
        in order, each whole, and after the proxy's greeting they are byte for byte those that
        fernd gives the same dialogue directly."""
        user = "dave"
        messages = self.backend_of(user).messages[user]
        maildir = self.backend_of(user).maildirs[user]
        first = min(messages, key=lambda name: os.stat(maildir.file(name)).st_mtime)
        dialogue = (f"USER {user}\r\nPASS {PASSWORDS[user]}\r\nSTAT\r\nLIST\r\nUIDL\r\n"
                    "RETR 1\r\nNOOP\r\nCAPA\r\nDELE 1\r\nRSET\r\nQUIT\r\n").encode("ascii")
        direct = harness.LineClient(self.backend_of(user).port)
        self.addCleanup(direct.close)
        self.assertEqual(direct.line(), b"+OK fernd ready.\r\n")
        direct.send(dialogue)
        expected = direct.read_to_end()
        self.assertIn(b"+OK\r\n" + harness.wire_form(messages[first]) + b".\r\n", expected)

        client = self.client("pop3s")
        client.send(dialogue)
        self.assertEqual(client.read_to_end(), expected)
        self.assertEqual(self.all_contents(), self.all_messages())


class ProxyLoginPerConnectionTest(ProxyFetchTest):
    """The same with a # before the two lines of "service pop3-login" that the page names:
    Dovecot's default, a login process for each connection."""

    login_per_connection = True


class ProxyRefusalsTest(ProxyCase):
    """What a user sees when the login cannot go through."""

    large_size = 64 << 10

    def test_wrong_password_is_refused_by_the_backend(self):
        """The proxy lets any password through its own lookup and forwards it: fernd refuses
        a wrong one, and its reply reaches the client. The client may then try again on the
        same connection. Later sessions of that backend wait for the authorization delay; the
        other backend's do not."""
        client = self.client("stls")
        self.assertEqual(client.login("alice", "not " + PASSWORDS["alice"]), AUTH_FAILED)
        backend = self.backend_of("alice")
        backend.log.wait_for("authorization for user alice failed: invalid credentials")
        self.assertEqual(len(dovecot_proxy.wait_for_log(
            self.proxy, "Login failed: authorization failed")), 1)
        # Again on the same connection, with the right password: the proxy logs in anew.
        self.assertEqual(client.login("alice", PASSWORDS["alice"]), b"+OK\r\n")
        self.fetch_exactly(client, "alice")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.session_ends(backend, 2)
        self.assertEqual(self.all_contents(), self.all_messages())

        # fernd sees every session coming from the proxy: the delay after the failed login
        # holds for bob too, on that backend only.
        for user in ("bob", "carol"):
            client = self.logged_in(user)
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        delayed = self.session_ends(backend, 3)[-1]
        self.assertRegex(delayed[0], r", auth_delay=yes$")
        self.assertIn("info: user bob authorized and mailbox locked", delayed)
        other = self.session_ends(self.backend_of("carol"), 1)[-1]
        self.assertRegex(other[0], r", auth_delay=no$")

    def test_a_guesser_is_banned_on_the_proxy_with_the_proxys_filter(self):
        """Behind the proxy every failure that fernd logs names the proxy: the ban belongs on
        the proxy, where fail2ban's own filter for Dovecot finds the guesser's address in
        Dovecot's log. fernd's filter on the backend's log would ban the proxy alone."""
        regex = shutil.which("fail2ban-regex")
        dovecot_filter = "/etc/fail2ban/filter.d/dovecot.conf"
        if regex is None or not os.path.exists(dovecot_filter):
            self.skipTest("fail2ban is not installed")
        guesser = "127.0.0.2"
        client = self.client("stls", source=guesser)
        for attempt in ("wrong", "also wrong"):
            self.assertEqual(client.login("alice", attempt), AUTH_FAILED)
        client.close()
        dovecot_proxy.wait_for_log(self.proxy, f"rip={guesser}, ")
        backend = self.backend_of("alice")
        backend.log.wait_for("authorization for user alice failed: invalid credentials", 2)

        def banned(log, filter_path):
            done = subprocess.run([regex, "-o", "ip", log, filter_path], capture_output=True,
                                  text=True, timeout=WAIT * 3, check=False)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            return done.stdout.split()
        self.assertEqual(set(banned(dovecot_proxy.log_path(self.proxy.directory),
                                    dovecot_filter)), {guesser})
        fernd_filter = os.path.join(harness.SOURCE_DIR, "dist", "fail2ban", "fernd.conf")
        self.assertEqual(banned(backend.log.path, fernd_filter), ["127.0.0.1"] * 2)

    def test_user_in_no_shard_is_refused_by_the_proxy(self):
        """A user whom the table does not name is refused by the proxy, and no backend hears
        of it; once a line names them, the next login goes through without a restart."""
        client = self.client("pop3s")
        self.assertEqual(client.login(STRANGER, "anything"), NO_SUCH_USER)
        [line] = dovecot_proxy.wait_for_log(self.proxy, f"passwd-file({STRANGER},")
        self.assertTrue(line.endswith(": unknown user"), line)
        for backend in self.backends:
            self.assertEqual(backend.log.entries(), [])

        # carol's backend gets a mailbox for erin, and the table a line for erin like carol's.
        backend = self.backend_of("carol")
        backend.add_mailbox(STRANGER, {"2001.erin": b"Subject: for erin\n\nmoved here\n"})
        backend.stop()
        backend.restart()
        self.write_table(extra={STRANGER: "carol"})
        self.assertEqual(client.login(STRANGER, PASSWORDS[STRANGER]), b"+OK\r\n")
        self.fetch_exactly(client, STRANGER)
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(self.all_contents(), self.all_messages())

    def test_plain_login_before_stls_only_from_the_proxys_own_address(self):
        """What the page says of `ssl = required`: on a connection from the address that it was
        made to (127.0.0.1 to 127.0.0.1) Dovecot takes a plain login before STLS, and CAPA
        lists USER; from another address (127.0.0.2, loopback as well) CAPA lists neither USER
        nor a SASL mechanism, and USER is refused with the page's words."""
        page = " ".join(doc_recipes.section_text(doc_recipes.SCALING, "## Clients").split())
        refusal = (b"-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) "
                   b"connections.")
        self.assertIn(f'"{refusal.decode()}"', page)
        for source, secure in (("127.0.0.1", True), ("127.0.0.2", False)):
            with self.subTest(source=source):
                plain = socket.create_connection(("127.0.0.1", self.proxy.stls_port),
                                                 timeout=WAIT, source_address=(source, 0))
                self.addCleanup(plain.close)
                reader = plain.makefile("rb")
                self.assertTrue(reader.readline().startswith(b"+OK "))
                plain.sendall(b"CAPA\r\n")
                listed = [line.rstrip(b"\r\n").decode("ascii")
                          for line in read_multiline(reader)[1:-1]]
                if secure:
                    self.assertEqual(listed, PROXY_CAPABILITIES)
                else:
                    self.assertEqual(listed, [name for name in PROXY_CAPABILITIES
                                              if name not in ("USER", "SASL PLAIN")] + ["SASL"])
                plain.sendall(b"USER alice\r\n")
                reply = reader.readline()
                if not secure:
                    self.assertEqual(reply, refusal + b"\r\n")
                    continue
                self.assertEqual(reply, b"+OK\r\n")
                plain.sendall(f"PASS {PASSWORDS['alice']}\r\n".encode("ascii"))
                self.assertEqual(reader.readline(), b"+OK\r\n")
                plain.sendall(b"QUIT\r\n")
                self.assertEqual(reader.readline(), b"+OK\r\n")
        self.session_ends(self.backend_of("alice"), 1)
        self.assertEqual(self.all_contents(), self.all_messages())

    def test_mailbox_in_use(self):
        """A second session of the same user, through the proxy, meets fernd's lock."""
        first = self.logged_in("carol", "pop3s")
        second = self.client("stls")
        self.assertEqual(second.login("carol", PASSWORDS["carol"]), MAILBOX_IN_USE)
        self.assertEqual(first.command("QUIT"), b"+OK\r\n")
        self.session_ends(self.backend_of("carol"), 2)
        self.assertEqual(second.login("carol", PASSWORDS["carol"]), b"+OK\r\n")
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")


class ProxyBackendDownTest(ProxyCase):
    """A backend that stops, and the page's doveadm commands."""

    large_size = 64 << 10

    def test_stopped_backend(self):
        """alice has marked her mail deleted when her backend stops: her session ends and
        nothing is deleted. While it is down, alice and bob get the proxy's error; carol and
        dave, on the other backend, go on. Once it runs again, alice gets every message."""
        expected = self.all_messages()
        client = self.logged_in("alice")
        self.assertEqual(client.command("DELE 1"), b"+OK\r\n")
        self.assertEqual(client.command("DELE 2"), b"+OK\r\n")
        down = self.backend_of("alice")
        down.stop()
        self.assertEqual(client.read_to_end(), b"")
        self.assertEqual(self.all_contents(), expected)

        for user in down.users:
            with self.subTest(user=user):
                client = self.client("pop3s")
                self.assertEqual(client.login(user, PASSWORDS[user]), BACKEND_DOWN)
        dovecot_proxy.wait_for_log(self.proxy, "Connection refused", count=2)
        for user in self.backend_of("carol").users:
            client = self.logged_in(user)
            numbers = self.fetch_exactly(client, user)
            for number in numbers:
                self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
            expected[user] = {}
        self.session_ends(self.backend_of("carol"), 2)
        self.assertEqual(self.all_contents(), expected)

        # The backend runs again, on its port or, when that was taken meanwhile, on another
        # that the table then names (Dovecot reads the changed table at the next login).
        if down.restart():
            self.write_table()
        client = self.logged_in("alice")
        self.fetch_exactly(client, "alice")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(self.all_contents(), expected)

    def test_doveadm_recipe(self):
        """The page's doveadm commands, with the instance's configuration file: where a user
        goes, who is connected where, and a kick that ends a session without losing mail."""
        lookup, listing, kick = doc_recipes.commands(recipe("proxy-doveadm").text)
        done = self.proxy.run_command(lookup)
        self.assertEqual(done.returncode, 0, done.stderr)
        fields = dict(re.findall(r"^\s+(\w+)\s*:\s*(\S+)$", done.stdout, re.MULTILINE))
        self.assertEqual(fields, {"user": "alice", "proxy": "y", "host": "127.0.0.1",
                                  "port": str(self.backend_of("alice").port)})

        client = self.logged_in("alice", "pop3s")
        self.assertEqual(client.command("DELE 1"), b"+OK\r\n")
        # The proxy's log ties the session to the client's address.
        port = self.backend_of("alice").port
        [started] = dovecot_proxy.wait_for_log(
            self.proxy, f"proxy(alice,127.0.0.1:{port}): Started proxying to <127.0.0.1>")
        self.assertIn(", rip=127.0.0.1, ", started)
        done = self.proxy.run_command(listing)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = [line.split() for line in done.stdout.splitlines()[1:]]
        self.assertEqual(rows, [["alice", "pop3", "127.0.0.1", "127.0.0.1",
                                 str(self.backend_of("alice").port)]])

        done = self.proxy.run_command(kick)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.strip(), "1 connections kicked")
        self.assertEqual(client.read_to_end(), b"")
        self.session_ends(self.backend_of("alice"), 1)
        self.assertEqual(self.all_contents(), self.all_messages())


if __name__ == "__main__":
    harness.main(__doc__)
