"""Least privilege and private files, against the real programs.

Started as root, zelrecv binds its listener and then runs as the service
account with no capability in any thread; the files it writes afterwards
(spool, message-identifier counter, inlog, event log) stay writable, and
AUTH's passwords are checked by helper processes that keep root and hold
nothing else of the receiver's; a TLS pair renewed by zeladm is read on
SIGHUP by the account. With
no such account it warns and goes on as root, still without capabilities.
What the services write is private: an unprivileged user (nobody) can read
no spool file and open no lock or mutex file. Every test here needs root
(CI runs as root) and says SKIP otherwise.
"""

import base64
import os
import pwd
import shutil
import signal
import ssl
import subprocess
import unittest

from zelharness import (ZEL_KEY, AccountCase, ImapServer, MailSystem, Pop3Server, Receiver,
                        Scratch, imap_login,
                        assert_unprivileged, child_pids, poll, process_ended,
                        server_connection_inode, socket_holders, status_fields)

IS_ROOT = os.geteuid() == 0
NEEDS_ROOT = "needs root: the test starts zelrecv as root and switches users"


def as_user(uid, gid, *command):
    """Runs command as uid:gid with no other group; the finished process."""
    return subprocess.run(["setpriv", "--reuid=%s" % uid, "--regid=%s" % gid, "--clear-groups",
                           *command], capture_output=True, text=True, timeout=20)


def as_nobody(*command):
    return as_user("nobody", "nogroup", *command)


class ServiceAccountTest(AccountCase):
    ACCOUNT = "zeltest-recv"   # its own: the suites run at once

    def start(self, account, settings=None, handed_registry=False, prefix=(),
              **receiver_options):
        scratch = Scratch("zel-e2e-priv-")
        self.addCleanup(scratch.cleanup)
        receiver = Receiver(dict({"MailInlogEnabled": 1}, **(settings or {})), scratch=scratch,
                            **receiver_options)
        receiver.service.prefix = list(prefix)
        self.addCleanup(receiver.stop)
        scratch.reg_import({ZEL_KEY: {"ServiceAccount": account}})
        if handed_registry:   # as an older installation left it
            for path in (scratch.path("var", "lib", "zel"),
                         scratch.path("var", "lib", "zel", "registry.db")):
                os.chown(path, self.uid, self.gid)
            os.chmod(scratch.path("var", "lib", "zel", "registry.db"), 0o644)
        return receiver.start()

    def test_starts_again_within_its_units_capabilities(self):
        """The unit bounds the receiver to a few capabilities (common/
        svcinstall); with only those, a second start still reaches the
        directories the first gave the account, and mail is accepted."""
        if not shutil.which("setpriv"):
            self.skipTest("setpriv is not installed (Debian package util-linux)")
        bounded = ["setpriv", "--bounding-set=-all,+chown,+dac_override,+dac_read_search,"
                   "+fowner,+net_bind_service,+setgid,+setuid", "--inh-caps=-all"]
        receiver = self.start(self.account, prefix=bounded)
        for n in range(2):
            if n:
                self.assertEqual(receiver.stop(), 0)
                receiver.start()
            self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                                   b"Subject: %d\r\n\r\nx\r\n.\r\n" % n),
                             "250 Message received OK\r\n")
        assert_unprivileged(self, receiver.service.proc.pid, self.uid, self.gid)

    def test_runs_as_the_account_without_capabilities(self):
        receiver = self.start(self.account, handed_registry=True)
        assert_unprivileged(self, receiver.service.proc.pid, self.uid, self.gid)
        for thread in status_fields(receiver.service.proc.pid):
            self.assertEqual(thread["Groups"].split(), [str(self.gid)])
        # What it writes after the switch is still writable: a message, the
        # identifier counter, the inlog, the event log.
        for n in range(2):
            self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                                   b"Subject: %d\r\n\r\nx\r\n.\r\n" % n),
                             "250 Message received OK\r\n")
        names = sorted(os.listdir(receiver.queue))
        self.assertEqual(names, ["B0000000001.MSG", "B0000000001.RCP",
                                 "B0000000002.MSG", "B0000000002.RCP"])
        for name in names:
            self.assertEqual(os.stat(os.path.join(receiver.queue, name)).st_uid, self.uid)
        self.assertEqual(len(os.listdir(receiver.inlog)), 1)
        # The configuration is root's alone; the identifier counter and its
        # mutex are the account's, also when root makes the mutex's file
        # anew while the receiver runs (and sets the counter: taken at once).
        state = receiver.scratch.path("var", "lib", "zel")
        self.assertEqual(os.stat(state).st_uid, 0)
        database = os.stat(os.path.join(state, "registry.db"))
        self.assertEqual((database.st_uid, database.st_mode & 0o777), (0, 0o600))
        self.assertNotEqual(as_user(self.uid, self.gid, "test", "-w",
                                    os.path.join(state, "registry.db")).returncode, 0)
        self.assertEqual(os.stat(os.path.join(state, "msgid", "lastmsgid")).st_uid, self.uid)
        mutex = os.path.join(state, "mutex", "TALVO-ZEL-MessageID-Mutex")
        os.remove(mutex)
        receiver.scratch.reg_set(ZEL_KEY, "LastMsgId", "dword", "5000")
        self.assertEqual(os.stat(mutex).st_uid, self.uid)
        self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                               b"Subject: 3\r\n\r\nx\r\n.\r\n"),
                         "250 Message received OK\r\n")
        self.assertIn("B0000005001.MSG", os.listdir(receiver.queue))
        self.assertEqual(receiver.stop(), 0)
        self.assertIn("ZEL SMTP Receiver service terminating.", receiver.scratch.events())
        self.assertNotIn("AnnounceServiceRunning", receiver.scratch.events())   # taken as root
        # The account cannot reach the agent's spool directories.
        spool = os.stat(receiver.scratch.spool())
        self.assertEqual((spool.st_uid, spool.st_mode & 0o777), (0, 0o710))

    def test_renewed_certificate_is_read_after_the_switch(self):
        # The receiver reads the pair again on SIGHUP as the account; zeladm,
        # run by root, gives the key to the account's group for that.
        receiver = self.start(self.account, tls=True)
        scratch = receiver.scratch
        scratch.self_signed()
        key = os.stat(receiver.key)
        self.assertEqual((key.st_uid, key.st_gid, key.st_mode & 0o777), (0, self.gid, 0o640))
        receiver.service.proc.send_signal(signal.SIGHUP)
        loaded = "The TLS certificate %s is in use" % receiver.cert
        self.assertTrue(poll(lambda: scratch.events().count(loaded) == 2), scratch.events())
        with open(receiver.cert) as f:
            self.assertEqual(receiver.served_certificate(), ssl.PEM_cert_to_DER_cert(f.read()))

    def test_auth_is_checked_by_helpers_that_keep_root(self):
        # The accounts file is root's alone (0600): the receiver, running
        # as the account, has its root-keeping helpers check AUTH.
        receiver = self.start(self.account, submission=True, users={"alice": "Pw-1"})
        pid = receiver.service.proc.pid
        # The keeper (which replaces a helper that dies) and its helpers.
        keepers = child_pids(pid)
        self.assertEqual(len(keepers), 1)
        self.assertEqual(status_fields(keepers[0])[0]["Name"], "zel-logon-keep")
        helpers = child_pids(keepers[0])
        self.assertGreaterEqual(len(helpers), 2)
        for helper in helpers:
            fields = status_fields(helper)[0]
            self.assertEqual((fields["Name"], fields["Uid"].split()[0]), ("zel-logon", "0"))
            # Nothing of the receiver's but its socket: no listener, no database.
            self.assertEqual(sorted(os.listdir("/proc/%d/fd" % helper)), ["0", "1", "2", "3"])
        assert_unprivileged(self, pid, self.uid, self.gid)
        for password, want in (("wrong", "535 Authentication failed\r\n"),
                               ("Pw-1", "235 Authentication successful\r\n")):
            with receiver.connect(port=receiver.submission_port) as conn:
                conn.multiline("EHLO c")
                response = base64.b64encode(b"\0alice\0" + password.encode()).decode()
                self.assertEqual(conn.command("AUTH PLAIN " + response), want)
        self.assertEqual(receiver.stop(), 0)
        self.assertTrue(poll(lambda: all(process_ended(h) for h in helpers + keepers), 5))

    def test_missing_account_warns_and_goes_on_as_root(self):
        receiver = self.start("zel-no-such-account")
        self.assertIn('The service account "zel-no-such-account" does not exist; the service '
                      "goes on as root.", receiver.scratch.events())
        assert_unprivileged(self, receiver.service.proc.pid, 0, 0)
        self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                               b"Subject: x\r\n\r\nx\r\n.\r\n"),
                         "250 Message received OK\r\n")


class Pop3SessionTest(AccountCase):
    """The POP3 front runs as the account without capabilities; a logged-on
    user's session runs as the user (a host identity here: the accounts
    file's user has a host account of the same name), holds the client's
    socket alone when in clear, and only a relay pair over TLS."""

    ACCOUNT = "zeltest-pop3"   # its own: the suites run at once
    USER = "zeltest-pop"
    PASSWORD = "Pop-pw-1"
    SERVER = Pop3Server

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        subprocess.run(["groupadd", "zeltest-extra"], capture_output=True)
        made = subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin",
                               "-G", "zeltest-extra", cls.USER], capture_output=True)
        if made.returncode not in (0, 9):
            raise unittest.SkipTest("useradd failed: %s" % made.stderr)
        entry = pwd.getpwnam(cls.USER)
        cls.user_ids = (entry.pw_uid, entry.pw_gid)
        cls.user_groups = sorted(set(os.getgrouplist(cls.USER, entry.pw_gid)))

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["userdel", cls.USER], capture_output=True)
        subprocess.run(["groupdel", "zeltest-extra"], capture_output=True)
        super().tearDownClass()

    def start(self, **settings):
        scratch = Scratch("zel-e2e-priv-pop3-")
        self.addCleanup(scratch.cleanup)
        server = self.SERVER(settings, scratch=scratch, users={self.USER: self.PASSWORD},
                             tls=True)
        self.addCleanup(server.stop)
        scratch.reg_import({ZEL_KEY: {"ServiceAccount": self.account}})
        return server.start()

    def check_user(self, pid):
        uid, gid = self.user_ids
        for thread in status_fields(pid):
            self.assertEqual(thread["Uid"].split(), [str(uid)] * 4)
            self.assertEqual(thread["Gid"].split(), [str(gid)] * 4)
            self.assertEqual(sorted(int(g) for g in thread["Groups"].split()), self.user_groups)
            for field in ("CapEff", "CapPrm", "CapInh", "CapAmb", "CapBnd"):
                self.assertEqual(int(thread[field], 16), 0, field)
            self.assertEqual(thread["NoNewPrivs"], "1")

    def test_front_and_session_privileges_from_proc(self):
        server = self.start()
        front = server.service.proc.pid
        for tls in (False, True):
            conn = server.connect(port=server.tls_port if tls else None, tls=tls)
            peer = conn.sock.getsockname()[1]
            port = server.tls_port if tls else server.port
            # Before logon only the front has the client, without privileges.
            inode = server_connection_inode(port, peer)
            self.assertEqual(socket_holders(inode), {front})
            assert_unprivileged(self, front, self.uid, self.gid)
            self.assertEqual(conn.command("USER " + self.USER), "+OK %s is welcome here\r\n"
                             % self.USER)
            reply = conn.command("PASS " + self.PASSWORD)
            self.assertTrue(reply.startswith("+OK "), reply + server.scratch.events())
            helpers = child_pids(child_pids(front)[0])
            sessions = [c for h in helpers for c in child_pids(h)
                        if status_fields(c)[0]["Name"] == "zel-pop3"]
            self.assertEqual(len(sessions), 1)
            self.check_user(sessions[0])
            holder = sole_holder(inode)
            if tls:
                # The front keeps TLS; the session has a socket pair only.
                self.assertEqual(holder, front)
            else:
                self.assertEqual(holder, sessions[0])
            self.assertTrue(conn.command("STAT").startswith("+OK 0 0"))
            conn.command("QUIT")
            conn.close()
            # The session ends with its client.
            self.assertTrue(poll(lambda: process_ended(sessions[0])))
        # No process of the user's is ever root, whoever logs on: root's
        # accounts-file twin and a system account are refused like a wrong
        # password.
        for name in ("root", "daemon"):
            server.scratch.add_user(name, "Sys-pw-1")
            conn = server.connect()
            conn.command("USER " + name)
            self.assertEqual(conn.command("PASS Sys-pw-1"),
                             "-ERR %s logon failed (1326) at point 3 in PASS\r\n" % name)
            conn.close()


def sole_holder(inode):
    """The one process holding a client's socket. The client may hear its
    logon's answer from the session a moment before the front has closed
    its copy of a socket it handed over: waited for, a little."""
    poll(lambda: len(socket_holders(inode)) == 1, 5)
    holders = socket_holders(inode)
    if len(holders) != 1:
        raise AssertionError("socket held by %s" % sorted(holders))
    return holders.pop()


class ImapSessionTest(Pop3SessionTest):
    """The IMAP front the same way; one session process serves every
    connection of its user, as the user, and ends a while after the last."""

    ACCOUNT = "zeltest-imap"
    USER = "zeltest-imu"
    PASSWORD = "Imap-pw-1"
    SERVER = ImapServer

    def sessions(self, front):
        helpers = child_pids(child_pids(front)[0])
        return [c for h in helpers for c in child_pids(h)
                if status_fields(c)[0]["Name"] == "zel-imap"]

    def test_front_and_session_privileges_from_proc(self):
        server = self.start()
        front = server.service.proc.pid
        assert_unprivileged(self, front, self.uid, self.gid)
        conns = []
        for n, tls in enumerate((False, True, False)):
            conn = server.connect(port=server.tls_port if tls else None, tls=tls)
            conns.append(conn)
            inode = server_connection_inode(server.tls_port if tls else server.port,
                                            conn.sock.getsockname()[1])
            self.assertEqual(socket_holders(inode), {front})
            imap_login(conn, self.USER, self.PASSWORD)
            # The second and third connection join the first one's process.
            sessions = self.sessions(front)
            self.assertEqual(len(sessions), 1)
            self.check_user(sessions[0])
            self.assertEqual(sole_holder(inode), front if tls else sessions[0])
            conn.ok("SELECT INBOX")
        for conn in conns:
            conn.ok("LOGOUT")
            conn.close()
        # The session ends a while after its last connection (its door
        # with it); the next logon starts a new one.
        session = self.sessions(front)[0]
        self.assertTrue(poll(lambda: process_ended(session), 45))
        # Logons of one name at the same moment (a mail program starting
        # with several connections): one new session serves them all.
        burst = [server.connect() for _ in range(6)]
        for conn in burst:
            conn.send(("a LOGIN %s %s\r\n" % (self.USER, self.PASSWORD)).encode())
        for conn in burst:
            self.assertTrue(conn.until_tagged("a")[1].startswith("a OK"))
        self.assertNotIn(session, self.sessions(front))
        self.assertEqual(len(self.sessions(front)), 1)
        for conn in burst:
            conn.ok("SELECT INBOX")
            conn.close()
        # No process of the user's is ever root: root's accounts-file twin
        # is refused like a wrong password.
        server.scratch.add_user("root", "Sys-pw-1")
        conn = server.connect()
        self.assertEqual(conn.answer("LOGIN root Sys-pw-1"),
                         "NO [AUTHENTICATIONFAILED] Authentication failed\r\n")
        conn.close()


class PrivateFilesTest(unittest.TestCase):
    """Mail queued by the receiver and the agent, and the mutex: nobody
    gets at any of them (the lock files: zelbase_test, LocksArePrivate)."""

    def test_nobody_reads_no_spool_file(self):
        if not IS_ROOT or not shutil.which("setpriv"):
            self.skipTest(NEEDS_ROOT + " (and setpriv)")
        mail = MailSystem(users=["ann"])
        self.addCleanup(mail.stop)
        mail.start()
        mail.send("s@c.example", ["ann", "far@remote.example"], "Subject: private\r\n\r\nx\r\n")
        self.assertEqual(len(mail.wait_messages("ann", 1)), 1)
        self.assertEqual(mail.wait_idle(), [])
        files = []
        for top in (mail.scratch.spool(), mail.scratch.path("var", "lib", "zel", "mutex")):
            for directory, _, names in os.walk(top):
                files += [os.path.join(directory, n) for n in names]
        self.assertTrue(any(f.endswith(".RCP") for f in files), files)
        self.assertTrue(any(f.endswith("MessageID-Mutex") for f in files), files)
        for path in files:
            with self.subTest(path=os.path.relpath(path, mail.scratch.root)):
                result = as_nobody("cat", path)
                self.assertNotEqual(result.returncode, 0, result.stdout[:200])


if __name__ == "__main__":
    unittest.main()
