#!/usr/bin/env python3
"""What a mailbox's owner can reach through fernd when fernd runs as root: no more than the owner
could reach alone. After the password check the session becomes the owner of the Maildir, so a
link in new/ to a root-only file is not even listed, and a "new" that is itself a link is
refused.

Usage: owner.py --fernd PATH [unittest arguments, e.g. a TestCase name]
"""

import os
import unittest

import fernd_harness as harness
from fernd_harness import PASSWORD, USER

# The owner of a second mailbox: a system user other than nobody.
DAEMON_UID = 1


@unittest.skipUnless(harness.running_as_root(), "fernd must run as root to become the owner")
class MailboxOwnerTest(harness.E2ETestCase):
    def setUp(self):
        super().setUp()
        # A root-only file in a root-only directory: what a mailbox owner wants to read or delete.
        secret_dir = self.workspace.directory("root-only")
        os.chmod(secret_dir, 0o700)
        self.secret = os.path.join(secret_dir, "important.conf")
        with open(self.secret, "wb") as secret:
            secret.write(b"root's own\n")
        os.chmod(self.secret, 0o600)
        self.maildir = self.workspace.maildir("Maildir", {"1.mail": b"for nobody\n"})
        harness.give_to_unprivileged(self.maildir.path)
        self.server_ = self.server([harness.Account(USER, PASSWORD, self.maildir)])

    def test_session_runs_as_the_owner_and_a_link_reaches_nothing_of_root(self):
        os.symlink(self.secret, self.maildir.file("2.key"))
        client = self.logged_in(self.server_)
        (pid,) = self.server_.children()
        status = harness.process_status(pid)
        owner = str(harness.NOBODY_UID)
        self.assertEqual(status["Uid"].split(), [owner] * 4)
        self.assertEqual(status["Gid"].split(), [str(harness.NOBODY_GID)] * 4)
        self.assertEqual(status["Groups"], "")
        # As the owner the link's target cannot even be looked at: the link is no message.
        self.assertEqual(client.command("UIDL"), b"+OK\r\n")
        self.assertEqual(client.multiline(), [b"1 1.mail\r\n"])
        self.assertEqual(client.command("RETR 2"), b"-ERR\r\n")
        self.assertEqual(client.command("RETR 1"), b"+OK\r\n")
        self.assertEqual(client.multiline(), [b"for nobody\r\n"])
        self.assertEqual(client.command("DELE 1"), b"+OK\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.server_.log.wait_for("1 mails deleted in update phase; session ends")
        self.assertEqual(self.maildir.names(), ["2.key"])
        with open(self.secret, "rb") as secret:
            self.assertEqual(secret.read(), b"root's own\n")

    def test_new_that_is_a_link_is_refused(self):
        # The owner replaces new/ with a link to the root-only directory.
        os.rename(os.path.join(self.maildir.path, "new"), os.path.join(self.maildir.path, "old"))
        os.symlink(os.path.dirname(self.secret), os.path.join(self.maildir.path, "new"))
        client = self.client(self.server_)
        self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        self.server_.log.wait_for(
            f"cannot open maildir {self.maildir.path}: new/ is a symbolic link")
        self.server_.log.wait_for(f"authorization for user {USER} failed: cannot lock mailbox")
        self.assertEqual(os.listdir(os.path.dirname(self.secret)), ["important.conf"])


    def test_after_becoming_one_owner_another_owners_mailbox_is_refused(self):
        # alice's mailbox fails to open after the session became its owner; bob's, of another
        # owner, must not then be opened with alice's owner's rights.
        os.rename(os.path.join(self.maildir.path, "new"), os.path.join(self.maildir.path, "old"))
        other = self.workspace.maildir("Other", {"1.bob": b"for daemon\n"})
        for directory, subdirectories, files in os.walk(other.path):
            os.chown(directory, DAEMON_UID, DAEMON_UID)
            os.chmod(directory, 0o777)
            for name in files:
                os.chown(os.path.join(directory, name), DAEMON_UID, DAEMON_UID)
        server = self.server([harness.Account(USER, PASSWORD, self.maildir),
                              harness.Account("bob", "bobs-secret", other)])
        client = self.client(server)
        self.assertEqual(client.login(), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.login("bob", "bobs-secret"), b"-ERR cannot access mailbox\r\n")
        self.assertEqual(client.command("QUIT"), b"+OK\r\n")
        server.log.wait_for(f"cannot open maildir {other.path}: cannot become its owner: "
                            "Operation not permitted")
        self.assertEqual(other.names(), ["1.bob"])
        self.assertFalse(os.path.exists(os.path.join(other.path, "fernd.lock")))


if __name__ == "__main__":
    harness.main(__doc__)
