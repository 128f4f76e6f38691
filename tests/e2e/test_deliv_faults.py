"""Faults the delivery agent must wait out: a full mailbox file system and
an accounts file that cannot be read. Neither may turn into a failure
report or lose mail; once the fault is gone, every message arrives exactly
once. Also the mailbox's privacy: what the agent writes cannot be read by
another user.

HomeMailboxTest delivers into a mailbox in a host account's home directory
(a system user made for the test and removed afterwards, with the PAM
service file of zelfetch when the host has none; root only): the
agent writes it as that user, the POP3 server reads it back, and a user who
swaps the mailbox for a link gets nothing written through it.

DiskFullTest puts the mailbox root on a small tmpfs (root only: skipped
with the reason otherwise), fills it, sends mail through zelrecv, checks
that nothing is reported or lost and that each deferral is logged once,
not at every pass, then frees the space. AccountsTest breaks the accounts
file while mail waits and while the agent starts; remote mail goes on to
an aiosmtpd sink reached by a domain literal (no DNS), local mail waits
until the file is mended.
"""

import os
import poplib
import pwd
import re
import shutil
import subprocess
import time
import unittest

from remotepeers import Exchanger
from zelharness import LOCAL_HOST, LOCAL_QUEUE, MailSystem, Tmpfs, files_with, free_port, poll

# Passes every second, so that "once, not at every pass" is seen quickly.
SCAN_SECONDS = 1
REMOTE = "remote.example"
SUBJECT_RE = re.compile(rb"^Subject: (fault-\d+)\r$", re.M)


def message(n):
    return ("From: sender@%s\r\nTo: users\r\nSubject: fault-%d\r\n\r\nBody %d.\r\n"
            % (REMOTE, n, n)).encode()


def deferrals(mail):
    return mail.scratch.events().count(" 138 0xC000008A Delivery of message ")


class FaultCase(unittest.TestCase):
    users = ("alice", "bob")

    def start_mail(self, deliv=None):
        settings = {"Timeout": SCAN_SECONDS}
        settings.update(deliv or {})
        self.mail = MailSystem(self.users, deliv=settings, prefix="zel-e2e-faults-")
        self.addCleanup(self.mail.stop_checked, self)
        # Reports to the remote sender would wait in its queue, in sight.
        self.mail.hold_domain(REMOTE)
        self.mail.start()

    def subjects(self, user):
        found = []
        for name in self.mail.messages(user):
            with open(self.mail.mailbox(user, name), "rb") as f:
                m = SUBJECT_RE.search(f.read())
            found.append(m.group(1).decode() if m else name)
        return sorted(found)

    def assert_nothing_reported(self):
        self.assertEqual(files_with(self.mail.spool("domains", REMOTE), "RCP"), [])
        self.assertEqual(files_with(self.mail.spool("dead"), "MSG"), [])


class DiskFullTest(FaultCase):
    COUNT = 4

    def test_full_mailbox_root_loses_nothing(self):
        self.start_mail()
        boxes = self.mail.scratch.path("var", "mailbox")
        disk = Tmpfs(boxes, 256 * 1024)
        self.addCleanup(disk.unmount)
        # Another user must be able to walk up to the mailboxes for the
        # privacy check to mean anything.
        for d in (self.mail.scratch.root, self.mail.scratch.path("var"), boxes):
            os.chmod(d, 0o755)
        disk.fill()
        expected = ["fault-%d" % n for n in range(self.COUNT)]
        for n in range(self.COUNT):
            self.mail.send("sender@" + REMOTE, ["alice", "bob@" + LOCAL_HOST], message(n))
        local = self.mail.spool("domains", LOCAL_QUEUE)
        self.assertTrue(poll(lambda: deferrals(self.mail) >= 2 * self.COUNT),
                        self.mail.scratch.events()[-2000:])
        said = deferrals(self.mail)
        time.sleep(4 * SCAN_SECONDS)   # several passes
        self.assertEqual(deferrals(self.mail), said, "a deferral is said once, not every pass")
        self.assertEqual(said, 2 * self.COUNT)
        self.assertEqual(len(files_with(local, "RCP")), self.COUNT)
        self.assert_nothing_reported()

        disk.empty()
        for user in self.users:
            self.assertEqual(len(self.mail.wait_messages(user, self.COUNT)), self.COUNT)
        self.assertEqual(self.mail.wait_idle(), [])
        for user in self.users:
            self.assertEqual(self.subjects(user), expected, "each message exactly once")
        self.assert_nothing_reported()
        self.check_private(boxes)

    def check_private(self, boxes):
        """Mailbox directories 0700, copies 0600, and nobody else reads them."""
        for user in self.users:
            box = os.path.join(boxes, user)
            self.assertEqual(os.stat(box).st_mode & 0o7777, 0o700, box)
            for name in self.mail.messages(user):
                self.assertEqual(os.stat(os.path.join(box, name)).st_mode & 0o7777, 0o600)
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            return
        first = os.path.join(boxes, "alice", self.mail.messages("alice")[0])
        for command in (["cat", first], ["ls", os.path.join(boxes, "alice")]):
            r = subprocess.run([setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                *command], capture_output=True, text=True, timeout=20)
            self.assertNotEqual(r.returncode, 0, "nobody ran %s: %s" % (command, r.stdout))
            self.assertIn("Permission denied", r.stderr)


class AccountsTest(FaultCase):
    users = ("alice",)

    def accounts_path(self):
        return self.mail.scratch.path("etc", "zel", "accounts")

    def break_accounts(self):
        with open(self.accounts_path(), "a") as f:
            f.write("this line is no record\n")

    def mend_accounts(self):
        with open(self.accounts_path()) as f:
            text = f.read().replace("this line is no record\n", "")
        with open(self.accounts_path() + ".new", "w") as f:
            f.write(text)
        os.rename(self.accounts_path() + ".new", self.accounts_path())

    def test_broken_accounts_hold_local_mail_only(self):
        port = free_port("127.0.0.2")
        sink = Exchanger("127.0.0.2", port)
        sink.start()
        self.addCleanup(sink.stop)
        self.start_mail(deliv={"SmtpPort": port})

        # Broken while the services run, with mail queued.
        self.break_accounts()
        self.mail.send("sender@" + REMOTE, ["alice", "far@[127.0.0.2]"], message(1))
        self.assertTrue(poll(lambda: sink.message_count() == 1), "remote mail must go on")
        self.assertTrue(poll(lambda: deferrals(self.mail) == 1))
        self.assertIn("the accounts cannot be read: ", self.mail.scratch.events())

        # Started while broken: the start says so, and goes on.
        self.assertEqual(self.mail.agent.stop(), 0)
        self.mail.agent.start()
        self.assertTrue(poll(lambda: " 139 0xC000008B The mail accounts cannot be read: "
                             in self.mail.scratch.events()))
        self.mail.send("sender@" + REMOTE, ["alice", "far@[127.0.0.2]"], message(2))
        self.assertTrue(poll(lambda: sink.message_count() == 2))
        time.sleep(3 * SCAN_SECONDS)
        self.assertEqual(self.mail.messages("alice"), [])
        self.assertEqual(len(files_with(self.mail.spool("domains", LOCAL_QUEUE), "RCP")), 2)
        self.assert_nothing_reported()

        self.mend_accounts()
        self.assertEqual(len(self.mail.wait_messages("alice", 2)), 2)
        self.assertEqual(self.mail.wait_idle(), [])
        self.assertEqual(self.subjects("alice"), ["fault-1", "fault-2"])
        self.assert_nothing_reported()


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("useradd"),
                     "needs root and useradd to make a host account")
class HomeMailboxTest(FaultCase):
    users = ()

    def make_host_user(self):
        name, password = "zelu%d" % os.getpid(), "pw-%d" % os.getpid()
        home = self.mail.scratch.path("home", name)
        r = subprocess.run(["useradd", "-M", "-d", home, "-s", "/usr/sbin/nologin", name],
                           capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            self.skipTest("useradd failed: " + r.stderr.strip())
        self.addCleanup(subprocess.run, ["userdel", name], capture_output=True, timeout=20)
        subprocess.run(["chpasswd"], input="%s:%s\n" % (name, password), text=True, check=True,
                       timeout=20)
        # The POP3 server asks PAM under its own service name only.
        pam = "/etc/pam.d/zelfetch"
        if not os.path.exists(pam):
            with open(pam, "w") as f:
                f.write("auth required pam_unix.so\naccount required pam_unix.so\n")
            self.addCleanup(os.unlink, pam)
        user = pwd.getpwnam(name)
        os.makedirs(home, mode=0o700)
        os.chown(home, user.pw_uid, user.pw_gid)
        # The user walks from "/" to the home directory.
        for d in (self.mail.scratch.root, self.mail.scratch.path("home")):
            os.chmod(d, 0o755)
        return name, password, home, user

    def test_home_mailbox_is_the_users(self):
        self.mail = MailSystem(suite={"MailInBoxDir": "%HOME%/Mail"}, deliv={"Timeout": 1},
                               fetch={}, prefix="zel-e2e-home-")
        self.addCleanup(self.mail.stop_checked, self)
        name, password, home, user = self.make_host_user()
        self.mail.hold_domain(REMOTE)
        self.mail.start()
        box = os.path.join(home, "Mail")
        self.mail.send("sender@" + REMOTE, [name + "@" + LOCAL_HOST], message(1))
        [copy] = poll(lambda: files_with(box, "MSG"))
        for path, mode in ((box, 0o700), (os.path.join(box, copy), 0o600)):
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777),
                             (user.pw_uid, user.pw_gid, mode), path)
        pop = poplib.POP3("127.0.0.1", self.mail.pop3_port, timeout=20)
        try:
            pop.user(name)
            pop.pass_(password)
            self.assertEqual(pop.stat()[0], 1)
            self.assertIn(b"Subject: fault-1", pop.retr(1)[1])
        finally:
            pop.quit()

        # The user swaps the mailbox for a link to a directory of root's.
        victim = self.mail.scratch.path("victim")
        os.makedirs(victim)
        os.rename(box, box + ".old")
        os.symlink(victim, box)
        os.lchown(box, user.pw_uid, user.pw_gid)
        self.mail.send("sender@" + REMOTE, [name + "@" + LOCAL_HOST], message(2))
        self.assertTrue(poll(lambda: "a symbolic link stands on its path"
                             in self.mail.scratch.events()))
        time.sleep(2)
        self.assertEqual(os.listdir(victim), [])
        self.assertEqual(len(files_with(self.mail.spool("domains", LOCAL_QUEUE), "RCP")), 1)
        self.assert_nothing_reported()
        # Mended, the mail arrives.
        os.unlink(box)
        os.rename(box + ".old", box)
        self.assertEqual(len(poll(lambda: (lambda n: n if len(n) == 2 else None)(
            files_with(box, "MSG")) or [])), 2)
        self.assertEqual(self.mail.wait_idle(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
