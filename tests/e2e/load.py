#!/usr/bin/env python3
"""A bounded load test of the real fernd listener: 48 poplib clients (16 served at once, the
others waiting in the listen backlog) log in again and again to 8 mailboxes, fetch and delete,
while new mail keeps arriving. Afterwards every message was delivered exactly once, the
listener's session count is back at zero, no session process is left (zombies included), and
lock contention was answered only with "-ERR cannot access mailbox".

Nothing here depends on how the machine schedules the clients: the test itself takes all 16
slots before the clients start, so that they begin in the backlog, and holds one mailbox until a
client has been refused it.

Usage: load.py --fernd PATH [unittest arguments]
"""

import collections
import poplib
import random
import re
import threading
import time

import fernd_harness as harness
from fernd_harness import WAIT

MAILBOXES = 8
CLIENTS = 48  # the listener serves 16 sessions at once; the other 32 wait in its backlog
SESSION_LIMIT = 16
INITIAL_MESSAGES = 12  # per mailbox, there before the clients start
ARRIVALS = 30  # per mailbox, delivered while the clients run
ARRIVAL_ROUND = 0.15  # seconds between two rounds of deliveries, one message per mailbox

# Each session stays a moment after its login, as a client on a network would, so that
# sessions overlap and meet each other's locks.
HOLD = 0.03

# The mailbox that the test holds at the start, until a client has met the lock.
HELD_MAILBOX = 0

# The bounds of the whole run: sessions per client and seconds. A run that needs more has
# lost or stuck mail; the test then fails.
SESSIONS_PER_CLIENT = 200
DEADLINE = 60.0

CONNECTION_LINE = re.compile(
    r"^connection from 127\.0\.0\.1 port \d+, active sessions (\d+) \(max 16\), "
    r"auth_delay=no$")


class Mail:
    """The messages of the run and what the clients made of them; shared by every thread."""

    def __init__(self, maildirs):
        self.lock = threading.Lock()
        self.maildirs = maildirs
        self.created = {}  # uidl -> content, for every message put into a mailbox
        self.delivered = collections.Counter()  # uidl -> times delivered in a finished session
        self.errors = []  # what went wrong, as text
        self.contention = 0
        self.sessions = 0
        self.connections = 0
        self.feeding = True
        self.sequence = 0

    def content(self, mailbox, name):
        filler = "\n".join(f"{name} line {index}" for index in range(random.randrange(40)))
        return harness.headers(name) + f"mailbox {mailbox}\n.{name}\n{filler}\n".encode()

    def deliver(self, mailbox, mtime=None):
        """Puts one new message into a mailbox the Maildir way."""
        with self.lock:
            self.sequence += 1
            name = f"{self.sequence:06d}.load.{mailbox}"
        content = self.content(mailbox, name)
        # Known before it is there to be fetched.
        with self.lock:
            self.created[name] = content
        self.maildirs[mailbox].deliver(name, content, mtime)

    def all_delivered(self):
        with self.lock:
            return not self.feeding and len(self.delivered) == len(self.created)

    def error(self, text):
        with self.lock:
            self.errors.append(text)


def user_of(mailbox):
    return f"user{mailbox}"


def password_of(mailbox):
    return f"pass {mailbox}"


def one_session(port, mail, mailbox):
    """One POP3 session as a fetch-and-delete client: returns True when it ran to QUIT."""
    client = poplib.POP3("127.0.0.1", port, timeout=WAIT)
    try:
        with mail.lock:
            mail.connections += 1
        if client.getwelcome() != b"+OK fernd ready.":
            mail.error(f"greeting {client.getwelcome()!r}")
            return False
        client.user(user_of(mailbox))
        try:
            client.pass_(password_of(mailbox))
        except poplib.error_proto as refusal:
            if refusal.args[0] == b"-ERR cannot access mailbox":
                with mail.lock:
                    mail.contention += 1
                client.quit()
                return True
            mail.error(f"login to mailbox {mailbox} refused with {refusal.args[0]!r}")
            return False
        time.sleep(HOLD)
        fetched = []
        for line in client.uidl()[1]:
            number, name = line.decode("ascii").split()
            body = b"".join(line + b"\n" for line in client.retr(int(number))[1])
            with mail.lock:
                expected = mail.created.get(name)
            if expected is None or body != expected:
                mail.error(f"message {name} of mailbox {mailbox} arrived as {body[:200]!r}")
            client.dele(int(number))
            fetched.append(name)
        if client.quit() != b"+OK":
            mail.error("QUIT not answered +OK")
            return False
        # Delivered once QUIT was answered: the update phase has the messages now.
        with mail.lock:
            mail.delivered.update(fetched)
            mail.sessions += 1
        return True
    except (OSError, EOFError, poplib.error_proto) as failure:
        mail.error(f"session on mailbox {mailbox}: {failure!r}")
        return False
    finally:
        client.close()


def client_loop(port, mail, start, seed):
    rng = random.Random(seed)
    start.wait(timeout=WAIT)
    deadline = time.monotonic() + DEADLINE
    # The first session of each client goes to the mailboxes in turn, so that some of them ask
    # for the held one; the others go to any.
    mailbox = seed % MAILBOXES
    for _ in range(SESSIONS_PER_CLIENT):
        if mail.all_delivered() or time.monotonic() > deadline:
            return
        try:
            one_session(port, mail, mailbox)
        except (OSError, EOFError, poplib.error_proto) as failure:
            mail.error(f"connect and greeting: {failure!r}")
        mailbox = rng.randrange(MAILBOXES)
        time.sleep(rng.uniform(0, HOLD))


def feeder(mail):
    for _ in range(ARRIVALS):
        for mailbox in range(MAILBOXES):
            mail.deliver(mailbox)
            time.sleep(ARRIVAL_ROUND / MAILBOXES)
    with mail.lock:
        mail.feeding = False


class LoadTest(harness.E2ETestCase):

    def test_many_clients_many_mailboxes(self):
        maildirs = [self.workspace.maildir(f"Maildir{index}") for index in range(MAILBOXES)]
        mail = Mail(maildirs)
        for mailbox in range(MAILBOXES):
            for index in range(INITIAL_MESSAGES):
                mail.deliver(mailbox, mtime=1700000000 + index)
        accounts = [harness.Account(user_of(index), password_of(index), maildir)
                    for index, maildir in enumerate(maildirs)]
        server = self.server(accounts)

        # The test's own sessions take all 16 slots: the first holds a mailbox, the others only
        # had their greeting. The clients below start in the backlog.
        holder = self.client(server)
        self.assertEqual(holder.login(user_of(HELD_MAILBOX), password_of(HELD_MAILBOX)),
                         b"+OK\r\n")
        idle = [self.client(server) for _ in range(SESSION_LIMIT - 1)]
        own_sessions = 1 + len(idle)

        # Watches the listener's children while the clients run.
        most_children = [0]
        watching = threading.Event()

        def watch():
            while not watching.is_set():
                most_children[0] = max(most_children[0], len(server.children()))
                time.sleep(0.002)

        watcher = threading.Thread(target=watch)
        watcher.start()
        start = threading.Barrier(CLIENTS + 1)
        clients = [threading.Thread(target=client_loop, args=(server.port, mail, start, seed))
                   for seed in range(CLIENTS)]
        for client in clients:
            client.start()
        started = time.monotonic()
        start.wait(timeout=WAIT)
        for client in idle:
            self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        feeding = threading.Thread(target=feeder, args=(mail,))
        feeding.start()
        # The held mailbox is released once a client has been refused it (or at the deadline,
        # and the test fails below); the holder deletes nothing.
        deadline = time.monotonic() + DEADLINE
        while mail.contention == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(holder.command("QUIT"), b"+OK\r\n")
        feeding.join(timeout=DEADLINE)
        for client in clients:
            client.join(timeout=DEADLINE + 2 * WAIT)
        elapsed = time.monotonic() - started
        watching.set()
        watcher.join()
        self.assertFalse([client for client in clients if client.is_alive()],
                         "clients still running")

        print(f"\n{len(mail.created)} messages, {mail.sessions} sessions, "
              f"{mail.connections} connections, {mail.contention} refused as locked, "
              f"at most {most_children[0]} session processes, {elapsed:.1f} s")
        self.assertEqual(mail.errors, [])
        # Every message exactly once: none lost, none twice.
        self.assertEqual(set(mail.delivered), set(mail.created))
        self.assertEqual({name: count for name, count in mail.delivered.items() if count != 1},
                         {})
        for maildir in maildirs:
            self.assertEqual(maildir.names(), [])
        self.assertGreater(mail.contention, 0, "no client met the held mailbox")
        self.assertLessEqual(most_children[0], SESSION_LIMIT)

        # Every session process is reaped: none left, none a zombie.
        try:
            server.wait_sessions_reaped()
        except AssertionError:
            states = {pid: harness.process_state(pid) for pid in server.children()}
            raise AssertionError(f"session processes left: {states}") from None

        # The count is back at zero: a new client's connection line counts one active session.
        probe = self.client(server)
        self.assertEqual(probe.command("QUIT"), b"+OK\r\n")
        server.log.wait_for("connection closed", own_sessions + mail.connections + 1)

        sessions = server.log.sessions()
        self.assertEqual(len(sessions), own_sessions + mail.connections + 1)
        counts = []
        for _, lines in sessions:
            match = CONNECTION_LINE.match(lines[0].split(": ", 1)[1])
            self.assertTrue(match, lines)
            counts.append(int(match.group(1)))
            self.assertEqual(lines[-1], "info: connection closed", lines)
            self.assertFalse([line for line in lines if line.startswith("error:")], lines)
        # The test's own sessions came one after another, before any client.
        self.assertEqual(counts[:own_sessions], list(range(1, SESSION_LIMIT + 1)))
        self.assertEqual(max(counts), SESSION_LIMIT)
        self.assertEqual(counts[-1], 1, "the probe's connection line")
        refused = [line for _, lines in sessions for line in lines
                   if line.endswith("failed: cannot lock mailbox")]
        self.assertEqual(len(refused), mail.contention)
        deleted = sum(int(line.split()[1]) for _, lines in sessions for line in lines
                      if line.endswith(" mails deleted in update phase; session ends"))
        self.assertEqual(deleted, len(mail.created))


if __name__ == "__main__":
    harness.main(__doc__)
