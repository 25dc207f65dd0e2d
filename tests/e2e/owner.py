#!/usr/bin/env python3
"""Whom a session acts for, tried as a hostile local user would: real users made for the test
(useradd), their homes and Maildirs in a tree that root controls, and the real fernd.

Run as root, a session becomes the one user who controls its Maildir's path, before anything
below the path is opened; a path that another user could lead elsewhere is refused, and a session
that has become a user and then fails ends. Run as a user of its own (mail, as the shipped units
do), fernd refuses a Maildir behind a directory that another user controls. The log path is
walked the same way, a message that is no regular file is never opened, and start-up messages
never reach an inetd client.

Usage: owner.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import pwd
import shutil
import socket
import stat
import subprocess
import sys
import types
import unittest

import fernd_harness as harness
from fernd_harness import PASSWORD, WAIT

# A uid that no test machine gives to anyone.
UNKNOWN_UID = 4242
SECRET = b"root's own\n"
ROOT_OWN = (0, 0)


def make_user(name, primary_group_root=False):
    """A user made with useradd: a group of its own, or root's group as its primary one."""
    command = ["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin"]
    command += ["--gid", "0", "--no-user-group"] if primary_group_root else ["--user-group"]
    # useradd waits for the lock of the user database itself while others change it.
    done = subprocess.run(command + [name], capture_output=True, text=True, timeout=60,
                          check=False)
    if done.returncode != 0:
        raise AssertionError(f"useradd {name}: {done.stderr}")
    return pwd.getpwnam(name)


def remove_user(name):
    subprocess.run(["userdel", name], capture_output=True, timeout=60, check=False)


def give(path, user, mode=None):
    """Gives path and everything in it to user (a pwd entry, or (uid, gid)); mode for path."""
    uid, gid = (user.pw_uid, user.pw_gid) if hasattr(user, "pw_uid") else user
    for directory, subdirectories, files in os.walk(path):
        os.lchown(directory, uid, gid)
        for name in subdirectories + files:
            os.lchown(os.path.join(directory, name), uid, gid)
    os.lchown(path, uid, gid)
    if mode is not None:
        os.chmod(path, mode)


def link(path, target, user):
    """A symbolic link at path to target, made by user."""
    os.symlink(target, path)
    os.lchown(path, user.pw_uid, user.pw_gid)


def directory(path, user, mode):
    os.makedirs(path, exist_ok=True)
    give(path, user, mode)
    return path


def ids(pid):
    """The real, effective, saved and file-system uids and gids of a process, and its groups."""
    status = harness.process_status(pid)
    return status["Uid"].split(), status["Gid"].split(), status["Groups"]


def as_user(user):
    """The command prefix that runs a program as user, with its group and no other groups."""
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]


@unittest.skipUnless(harness.running_as_root(), "making users and switching to them needs root")
class OwnerTestCase(harness.E2ETestCase):
    """alice and bob, each with a home in the test's tree and a Maildir in it, a root-only file,
    and a third user whose primary group is root's."""

    @classmethod
    def setUpClass(cls):
        suffix = os.getpid()
        cls.users = []
        try:
            for role, root_group in (("alice", False), ("bob", False), ("rootgrp", True)):
                cls.users.append(make_user(f"{role}-{suffix}", root_group))
        except Exception:
            cls.tearDownClass()
            raise
        cls.alice, cls.bob, cls.root_group_user = cls.users

    @classmethod
    def tearDownClass(cls):
        for user in getattr(cls, "users", []):
            remove_user(user.pw_name)

    def setUp(self):
        super().setUp()
        self.rows = 0

    def tree(self):
        """A fresh tree for one case: home/ with alice's and bob's homes and Maildirs, and a
        root-only file. Returns the tree's root; sets alice_home, alice_maildir, bob_home,
        bob_maildir and secret."""
        self.rows += 1
        root = self.workspace.directory(f"tree{self.rows}")
        self.root = root
        directory(os.path.join(root, "home"), ROOT_OWN, 0o755)
        self.alice_home = directory(os.path.join(root, "home", self.alice.pw_name), self.alice,
                                    0o755)
        self.bob_home = directory(os.path.join(root, "home", self.bob.pw_name), self.bob, 0o700)
        self.alice_maildir = self.maildir(os.path.join(self.alice_home, "Maildir"), self.alice,
                                          {"1.alice": b"for alice\n"})
        self.bob_maildir = self.maildir(os.path.join(self.bob_home, "Maildir"), self.bob,
                                        {"1.bob": b"for bob\n"})
        secret_dir = directory(os.path.join(root, "root-only"), ROOT_OWN, 0o700)
        self.secret = os.path.join(secret_dir, "important.conf")
        with open(self.secret, "wb") as secret:
            secret.write(SECRET)
        os.chmod(self.secret, 0o600)
        return root

    @staticmethod
    def maildir(path, user, messages):
        maildir = harness.Maildir(path, messages)
        give(path, user, 0o700)
        return maildir

    def serve(self, alice_path, prefix=(), log=None, **options):
        """fernd with the POP3 accounts alice (at alice_path) and bob."""
        accounts = [harness.Account("alice", PASSWORD, types.SimpleNamespace(path=alice_path)),
                    harness.Account("bob", "bobs secret", self.bob_maildir)]
        return self.server(accounts, prefix=list(prefix), log=log, **options)

    def assert_untouched(self):
        """bob's mail and the root-only file are as they were."""
        self.assertEqual(self.bob_maildir.contents(), {"1.bob": b"for bob\n"})
        self.assertEqual(sorted(os.listdir(self.bob_maildir.path)), ["cur", "new", "tmp"])
        with open(self.secret, "rb") as secret:
            self.assertEqual(secret.read(), SECRET)

    def fetch_all_and_delete(self, client, expected):
        """UIDL, RETR and DELE of every message, then QUIT; expected: {name: content}."""
        self.assertEqual(client.command("UIDL"), b"+OK\r\n")
        names = [line.split()[1].decode() for line in client.multiline()]
        self.assertEqual(sorted(names), sorted(expected))
        for number, name in enumerate(names, 1):
            self.assertEqual(client.command(f"RETR {number}"), b"+OK\r\n")
            self.assertEqual(b"".join(client.multiline()),
                             expected[name].replace(b"\n", b"\r\n"))
            self.assertEqual(client.command(f"DELE {number}"), b"+OK\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.assertEqual(client.read_to_end(), b"")


class ContainedTest(OwnerTestCase):
    """Paths that another user could lead elsewhere: the login is refused, nothing of bob's or of
    root's is touched, and no lock file is left where it does not belong. A refusal found as root
    leaves the session root, in its authorization phase; one found after the session became the
    user ends it."""

    def case_link_to_bobs(self):
        os.rename(self.alice_maildir.path, os.path.join(self.alice_home, "Maildir.old"))
        link(self.alice_maildir.path, self.bob_maildir.path, self.alice)
        return (self.alice_maildir.path, f"{self.bob_home} is controlled by {self.bob.pw_name}, "
                f"where the path is {self.alice.pw_name}'s", False)

    def case_link_one_level_higher(self):
        link(os.path.join(self.alice_home, "mail"), self.bob_home, self.alice)
        return (os.path.join(self.alice_home, "mail", "Maildir"),
                f"{self.bob_home} is controlled by {self.bob.pw_name}, "
                f"where the path is {self.alice.pw_name}'s", False)

    def case_link_to_a_sticky_directory(self):
        # alice makes a new/ in root's sticky directory, a link in it to the root-only file, and
        # points her Maildir there.
        shared = directory(os.path.join(self.root, "tmp"), ROOT_OWN, 0o1777)
        new = directory(os.path.join(shared, "new"), self.alice, 0o755)
        link(os.path.join(new, "1.secret"), self.secret, self.alice)
        os.rename(self.alice_maildir.path, os.path.join(self.alice_home, "Maildir.old"))
        link(self.alice_maildir.path, shared, self.alice)
        self.after = lambda: self.assertEqual(sorted(os.listdir(shared)), ["new"])
        return (self.alice_maildir.path, f"{shared} is writable by everyone", False)

    def case_directory_writable_by_everyone(self):
        shared = directory(os.path.join(self.root, "open"), ROOT_OWN, 0o777)
        maildir = self.maildir(os.path.join(shared, "Maildir"), self.alice, {"1.a": b"a\n"})
        return (maildir.path, f"{shared} is writable by everyone", False)

    def case_owner_without_password_entry(self):
        ghost_home = directory(os.path.join(self.root, "home", "ghost"),
                               (UNKNOWN_UID, UNKNOWN_UID), 0o755)
        maildir = self.maildir(os.path.join(ghost_home, "Maildir"), (UNKNOWN_UID, UNKNOWN_UID),
                               {"1.g": b"g\n"})
        return (maildir.path, f"{ghost_home} belongs to uid {UNKNOWN_UID}, which has no entry "
                "in the password database", False)

    def case_owner_of_root_group(self):
        user = self.root_group_user
        home = directory(os.path.join(self.root, "home", user.pw_name), user, 0o755)
        maildir = self.maildir(os.path.join(home, "Maildir"), user, {"1.r": b"r\n"})
        return (maildir.path, f"{home} belongs to {user.pw_name}, whose primary group is root's",
                False)

    def case_maildir_that_group_mail_may_write(self):
        os.chown(self.alice_maildir.path, self.alice.pw_uid, pwd.getpwnam("mail").pw_gid)
        os.chmod(self.alice_maildir.path, 0o770)
        return (self.alice_maildir.path, f"{self.alice_maildir.path} is writable by group mail",
                False)

    def case_maildir_without_new_after_the_change(self):
        shutil.rmtree(os.path.join(self.alice_maildir.path, "new"))
        return (self.alice_maildir.path, "new/: No such file or directory", True)

    def case_root_only_directory_above_the_home(self):
        # Root reaches the home, alice does not: the walk after the change, with her rights,
        # fails there.
        private = directory(os.path.join(self.root, "private"), ROOT_OWN, 0o700)
        home = os.path.join(private, self.alice.pw_name)
        os.rename(self.alice_home, home)
        return (os.path.join(home, "Maildir"), f"{home}: Permission denied", True)

    def test_refusals(self):
        for case in (self.case_link_to_bobs, self.case_link_one_level_higher,
                     self.case_link_to_a_sticky_directory,
                     self.case_directory_writable_by_everyone,
                     self.case_owner_without_password_entry, self.case_owner_of_root_group,
                     self.case_maildir_that_group_mail_may_write,
                     self.case_maildir_without_new_after_the_change,
                     self.case_root_only_directory_above_the_home):
            with self.subTest(case.__name__):
                self.tree()
                self.after = lambda: None  # what a case checks of its own at the end
                path, reason, session_ends = case()
                server = self.serve(path)
                client = self.client(server)
                self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
                pid = server.log.pid_of_client(client.local_port)
                if session_ends:
                    # The process may hold the user's ids: it serves no other login.
                    self.assertEqual(client.read_to_end(), b"")
                    last = ["error: the process acts for the mailbox's user, session aborted",
                            "info: connection closed"]
                else:
                    self.assertEqual(harness.process_uid(pid), 0)
                    self.assertEqual(client.command("QUIT"), b"+OK\r\n")
                    last = ["info: client ended session", "info: connection closed"]
                lines = server.log.closed_session_of(pid)
                self.assertIn(f"error: cannot open maildir {path}: {reason}", lines)
                self.assertEqual(lines[-2:], last)
                self.assert_untouched()
                self.after()
                server.stop()

    def test_second_login_to_a_held_mailbox_is_refused_as_root(self):
        self.tree()
        server = self.serve(self.alice_maildir.path)
        holder = self.client(server)
        self.assertEqual(holder.login("alice"), b"+OK\r\n")
        second = self.client(server)
        self.assertEqual(second.login("alice"), b"-ERR cannot access mailbox\r\n")
        # Refused before the change: the user gets no process of hers to stop.
        pid = server.log.pid_of_client(second.local_port)
        self.assertEqual(harness.process_uid(pid), 0)
        self.assertEqual(ids(server.log.pid_of_client(holder.local_port))[0],
                         [str(self.alice.pw_uid)] * 4)
        self.assertEqual(second.command("QUIT"), b"+OK\r\n")
        self.assertEqual(holder.command("QUIT"), b"+OK\r\n")
        lines = server.log.closed_session_of(pid)
        self.assertIn("info: authorization for user alice failed: cannot lock mailbox", lines)
        self.assertFalse(any(line.startswith("error: cannot open maildir") for line in lines))

    def test_fernd_as_mail_refuses_maildirs_in_the_users_homes(self):
        self.tree()
        mail = pwd.getpwnam("mail")
        base = directory(os.path.join(self.root, "mail-run"), mail, 0o755)
        self.binary = harness.copy_for_unprivileged(self.binary, os.path.join(base, "bin"))
        server = self.serve(self.alice_maildir.path, prefix=as_user(mail),
                            log=os.path.join(base, "fernd.log"))
        # Standalone, start-up already says so, with the remedy.
        remedy = (f"{self.alice_home} is controlled by {self.alice.pw_name}: run fernd as root, "
                  f"or as {self.alice.pw_name}")
        harness.wait_until(lambda: remedy in server.output(), "the start-up warning")
        client = self.client(server)
        self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        lines = server.log.closed_session_of(server.log.pid_of_client(client.local_port))
        self.assertIn(f"error: cannot open maildir {self.alice_maildir.path}: {remedy}", lines)
        self.assertEqual(self.alice_maildir.names(), ["1.alice"])

    def test_a_fifo_for_the_lock_file_is_never_opened(self):
        """alice puts a FIFO where her lock file goes, with a writer waiting on it. The look at
        the lock, made as root, opens nothing but a regular file; the session, as alice, cannot open
        the FIFO without a reader and ends. The writer waits on."""
        self.tree()
        lock = os.path.join(self.alice_maildir.path, "fernd.lock")
        os.mkfifo(lock)
        os.chown(lock, self.alice.pw_uid, self.alice.pw_gid)
        writer = self.waiting_writer(lock)
        server = self.serve(self.alice_maildir.path)
        client = self.client(server)
        self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.read_to_end(), b"")
        lines = server.log.closed_session_of(server.log.pid_of_client(client.local_port))
        # Opened without waiting, a FIFO that nobody reads cannot be opened for writing.
        self.assertIn(f"error: cannot open maildir {self.alice_maildir.path}: fernd.lock: No "
                      "such device or address", lines)
        self.assertIsNone(writer.poll())
        self.assertTrue(harness.in_system_call(writer.pid, "openat"))
        self.assertTrue(stat.S_ISFIFO(os.lstat(lock).st_mode))

    def waiting_writer(self, fifo):
        """A process that waits in its open of fifo for a reader, which would release it."""
        writer = subprocess.Popen([sys.executable, "-c", f"open({fifo!r}, 'wb').write(b'x')"])
        self.addCleanup(writer.wait)
        self.addCleanup(writer.kill)
        harness.wait_until(lambda: harness.in_system_call(writer.pid, "openat"),
                           "the writer to wait in its open")
        return writer

    def test_a_fifo_swapped_in_for_a_message_is_never_opened(self):
        self.tree()
        server = self.serve(self.alice_maildir.path)
        client = self.client(server)
        self.assertEqual(client.login(), b"+OK\r\n")
        message = self.alice_maildir.file("1.alice")
        os.unlink(message)
        os.mkfifo(message)
        # A writer waits for a reader in its open; were the session to open the FIFO, it would
        # be released.
        writer = self.waiting_writer(message)
        self.assertEqual(client.command("RETR 1"), b"-ERR cannot open message\r\n")
        self.assertEqual(client.command("NOOP"), b"+OK\r\n")
        self.assertIsNone(writer.poll())
        self.assertTrue(harness.in_system_call(writer.pid, "openat"))
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")


class KeepsWorkingTest(OwnerTestCase):
    """The layouts that must go on working, each a whole session: everything listed fetched and
    deleted, a link in new/ to the root-only file not even listed where the session is a user,
    and the session's ids as the rule says."""

    def run_session(self, path, expected, user, prefix=(), log=None):
        """A session of alice at path, whose process must have user's ids (a pwd entry, or None
        for root's), fetching and deleting expected ({name: content})."""
        server = self.serve(path, prefix=prefix, log=log)
        client = self.client(server)
        self.assertEqual(client.login(), b"+OK\r\n")
        pid = server.log.pid_of_client(client.local_port)
        uid, gid = (user.pw_uid, user.pw_gid) if user is not None else (0, 0)
        uids, gids, groups = ids(pid)
        self.assertEqual(uids, [str(uid)] * 4)
        self.assertEqual(gids, [str(gid)] * 4)
        if user is not None:
            self.assertEqual(groups, "")
        self.fetch_all_and_delete(client, expected)
        server.log.wait_for(f"{len(expected)} mails deleted in update phase; session ends")
        self.assert_untouched()
        server.stop()

    def with_link_to_the_secret(self, maildir):
        os.symlink(self.secret, maildir.file("2.key"))
        os.lchown(maildir.file("2.key"), self.alice.pw_uid, self.alice.pw_gid)

    def test_as_root(self):
        cases = (
            ("the home's Maildir", lambda: self.alice_maildir.path, self.alice),
            ("root's link on the path", self.root_link, self.alice),
            ("a Maildir of group mail", self.group_mail, self.alice),
            ("root's own Maildir in a directory of root's alone", self.roots_own, None),
        )
        for what, make, user in cases:
            with self.subTest(what):
                self.tree()
                path = make()
                if user is not None:
                    self.with_link_to_the_secret(self.alice_maildir)
                expected = {"1.alice": b"for alice\n"} if user is not None else {"1.root": b"r\n"}
                self.run_session(path, expected, user)
                if user is not None:
                    self.assertEqual(self.alice_maildir.names(), ["2.key"])

    def root_link(self):
        srv = directory(os.path.join(self.root, "srv"), ROOT_OWN, 0o755)
        path = os.path.join(srv, "alice")
        os.symlink(self.alice_maildir.path, path)
        return path

    def group_mail(self):
        os.chown(self.alice_maildir.path, self.alice.pw_uid, pwd.getpwnam("mail").pw_gid)
        os.chmod(self.alice_maildir.path, 0o750)
        return self.alice_maildir.path

    def roots_own(self):
        private = directory(os.path.join(self.root, "root-home"), ROOT_OWN, 0o700)
        return self.maildir(os.path.join(private, "Maildir"), ROOT_OWN, {"1.root": b"r\n"}).path

    def test_shipped_units_layout_as_mail(self):
        # /var/mail of Debian (root, group mail, 2775) with the units' /var/mail/pop, mail's.
        self.tree()
        mail = pwd.getpwnam("mail")
        spool = directory(os.path.join(self.root, "var", "mail"), (0, mail.pw_gid), 0o2775)
        maildir = self.maildir(os.path.join(spool, "pop"), mail, {"1.pop": b"pop\n"})
        base = directory(os.path.join(self.root, "mail-run"), mail, 0o755)
        self.binary = harness.copy_for_unprivileged(self.binary, os.path.join(base, "bin"))
        self.run_session(maildir.path, {"1.pop": b"pop\n"}, mail, prefix=as_user(mail),
                         log=os.path.join(base, "fernd.log"))

    def test_fernd_as_alice_for_her_own_maildir(self):
        self.tree()
        base = directory(os.path.join(self.alice_home, "run"), self.alice, 0o755)
        self.binary = harness.copy_for_unprivileged(self.binary, os.path.join(base, "bin"))
        self.run_session(self.alice_maildir.path, {"1.alice": b"for alice\n"}, self.alice,
                         prefix=as_user(self.alice), log=os.path.join(base, "fernd.log"))


class LogPathTest(OwnerTestCase):
    """The log is followed only through what root and fernd's own user control, and must be a
    regular file or a character device: a link or a FIFO that another user plants in a directory
    that everyone may write leaves its target as it was, and the lines go to syslog."""

    def test_planted_link_and_fifo(self):
        for planted in ("link", "fifo"):
            with self.subTest(planted):
                self.tree()
                collector = harness.SyslogCollector(self, self.workspace)
                logs = directory(os.path.join(self.root, "logs"), ROOT_OWN, 0o1777)
                log = os.path.join(logs, "fernd.log")
                if planted == "link":
                    link(log, self.secret, self.alice)
                    reason = f"{log} is controlled by {self.alice.pw_name}"
                else:
                    os.mkfifo(log)
                    os.chown(log, self.alice.pw_uid, self.alice.pw_gid)
                    reason = f"{log} is no regular file"
                server = self.serve(self.alice_maildir.path, prefix=collector.prefix, log=log)
                harness.wait_until(
                    lambda: f"warning: cannot use log file {log}: {reason}; the log goes to "
                    "syslog instead (facility mail)" in server.output(), "the start-up warning")
                client = self.client(server)
                self.assertEqual(client.login(), b"+OK\r\n")
                self.fetch_all_and_delete(client, {"1.alice": b"for alice\n"})
                records = collector.records_until("connection closed")
                self.assertEqual(records[0][::2],
                                 (b"<19>", "cannot open log file, using syslog instead"))
                self.assertIn((b"<22>", "1 mails deleted in update phase; session ends"),
                              [(priority, text) for priority, _, text in records])
                self.assert_untouched()
                if planted == "fifo":
                    self.assertTrue(stat.S_ISFIFO(os.lstat(log).st_mode))
                server.stop()

    def inetd_session(self, stderr, extra=()):
        """fernd --inetd with --log=/dev/stderr on a socket pair, standard error as given; the
        client quits at once. Returns the client's bytes."""
        self.tree()
        ours, theirs = socket.socketpair()
        self.addCleanup(ours.close)
        with theirs:
            process = subprocess.Popen(
                [self.binary, "--inetd", "--log=/dev/stderr", f"--auth=alice,echo {PASSWORD}",
                 f"--maildir={self.alice_maildir.path}", *extra],
                stdin=theirs, stdout=theirs, stderr=stderr)
        ours.settimeout(WAIT)
        ours.sendall(b"QUIT\r\n")
        received = ours.makefile("rb").read()
        self.assertEqual(process.wait(timeout=WAIT), 0)
        return received

    def test_standard_error_of_any_kind(self):
        for kind in ("pipe", "terminal"):
            with self.subTest(kind):
                if kind == "pipe":
                    reader, writer = os.pipe()
                else:
                    reader, writer = os.openpty()
                try:
                    received = self.inetd_session(writer)
                finally:
                    os.close(writer)
                shown = b""
                while True:
                    try:
                        chunk = os.read(reader, 65536)
                    except OSError:  # a terminal whose other side is closed
                        break
                    if not chunk:
                        break
                    shown += chunk
                os.close(reader)
                self.assertEqual(received, b"+OK fernd ready.\r\n+OK\r\n")
                self.assertIn(b"] info: starting POP3 session", shown)
                self.assertIn(b"] info: client ended session", shown)

    def test_inetd_start_up_errors_never_reach_the_client(self):
        # A classic inetd passes the connection as descriptors 0, 1 and 2.
        self.tree()
        collector = harness.SyslogCollector(self, self.workspace)
        ours, theirs = socket.socketpair()
        self.addCleanup(ours.close)
        with theirs:
            process = subprocess.Popen(
                collector.prefix + [self.binary, "--inetd", "--auth=alice,exit 1",
                                    f"--maildir={self.alice_maildir.path}"],
                stdin=theirs, stdout=theirs, stderr=theirs)
        ours.settimeout(WAIT)
        self.assertEqual(ours.makefile("rb").read(), b"")
        self.assertEqual(process.wait(timeout=WAIT), 3)
        message = (f"{self.binary}: cannot get password: cannot read output of 'exit 1': "
                   "it exited with status 1")
        self.assertEqual(collector.records_until(message)[-1][::2], (b"<19>", message))


if __name__ == "__main__":
    harness.main(__doc__)
