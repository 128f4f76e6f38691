"""Mail users in an LDAP directory, end to end, against Debian's slapd.

One slapd (tests/e2e/slapdfixture) with a CA of the test's own serves the
class; one mail system (zelrecv with its submission port, zeldeliv,
zelfetch, zelimap) has UserDirectory "accounts" "ldap", binds as the
service entry with a password file and talks StartTLS, verified against
the test's CA. The users: alice (POSIX: her mail is hers, uid 5101), bob
(virtual, with the aliases robert and bobby), carol (another mail host).

The tests: delivery by name, address and alias with the owners the
directory names; logons over POP3, IMAP and SMTP AUTH, right and wrong;
ldaps:// with the test's CA and a certificate it did not sign; the
directory stopped mid-run (RCPT 451, POP3 [SYS/TEMP], IMAP [UNAVAILABLE],
AUTH 454, mail deferred and delivered when it returns, nothing bounced);
the cache (a changed entry seen after CacheSeconds).
"""

import base64
import os
import poplib
import time
import unittest

import slapdfixture as ldap
from tlspeers import TestCa
from zelharness import (IS_ROOT, LOCAL_QUEUE, WAIT_SECONDS, ZEL_KEY, MailSystem, Scratch,
                        SmtpConnection, files_with, free_port, imap_connect, mail_owner, poll)

DOMAIN = ldap.MAIL_DOMAIN
LDAP_KEY = ZEL_KEY + "\\Ldap"
# The cache of the test's system: short, so that a changed entry is seen soon.
CACHE_SECONDS = 2
UNAVAILABLE_RCPT = "451 4.3.0 User directory unavailable, try again later\r\n"
AUTH_TEMPORARY = "454 4.7.0 Temporary authentication failure\r\n"


def message(subject):
    return ("From: sender@remote.example\r\nTo: users\r\nSubject: %s\r\n\r\nBody.\r\n"
            % subject).encode()


def plain(user, password):
    return base64.b64encode(("\0%s\0%s" % (user, password)).encode()).decode()


def ldap_settings(uri, ca_file, password_file, **more):
    values = {"Uri": [uri], "BaseDn": ldap.BASE_DN, "BindDn": ldap.SERVICE_DN,
              "BindPasswordFile": password_file, "CaFile": ca_file,
              "CacheSeconds": CACHE_SECONDS, "NetworkTimeout": 2, "OperationTimeout": 5}
    values.update(more)
    return values


class LdapCase(unittest.TestCase):
    """slapd and a mail system for the class."""

    @classmethod
    def setUpClass(cls):
        cls.work = Scratch(prefix="zel-e2e-ldap-peer-")
        try:
            cls.ca = TestCa(cls.work.root)
            cls.slapd = ldap.Slapd(cls.work.root,
                                   tls=cls.ca.issue("ldap.example.test", ips=["127.0.0.1"]))
            cls.slapd.start()
            cls.secret = ldap.write_secret(cls.work.path("bindpw"), ldap.SERVICE_PASSWORD)
            cls.submission_port = free_port()
            cls.mail = MailSystem(
                suite={"UserDirectory": ["accounts", "ldap"], "DomainNamesAreLocal": [DOMAIN]},
                recv={"SubmissionPortNo": cls.submission_port},
                deliv={"Timeout": 1}, fetch={}, imap={}, prefix="zel-e2e-ldap-")
            cls.mail.scratch.reg_import({LDAP_KEY: ldap_settings(
                cls.slapd.uri, cls.ca.cert_path, cls.secret)})
            cls.mail.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "mail", None) is not None:
            cls.mail.stop()
        if getattr(cls, "slapd", None) is not None:
            cls.slapd.cleanup()
        cls.work.cleanup()

    def pop3_logon(self, user, password):
        """The POP3 server's answer to PASS (its text, or the error's)."""
        client = poplib.POP3("127.0.0.1", self.mail.pop3_port, timeout=WAIT_SECONDS)
        self.addCleanup(client.close)
        client.user(user)
        try:
            answer = client.pass_(password).decode()
        except poplib.error_proto as e:
            return e.args[0].decode()
        client.quit()   # the mailbox is locked while a session holds it
        return answer

    def imap_logon(self, user, password):
        conn = imap_connect(self.mail.imap_port)
        self.addCleanup(conn.close)
        return conn.run('LOGIN %s "%s"' % (user, password))[1]

    def auth(self, user, password):
        conn = SmtpConnection(self.submission_port)
        self.addCleanup(conn.close)
        conn.reply()
        conn.multiline("EHLO client.example")
        return conn.command("AUTH PLAIN " + plain(user, password))

    def rcpt(self, address):
        conn = SmtpConnection(self.mail.port)
        self.addCleanup(conn.close)
        conn.reply()
        conn.multiline("EHLO client.example")
        conn.command("MAIL FROM:<sender@remote.example>")
        return conn.command("RCPT TO:<%s>" % address)


class LdapDirectoryTest(LdapCase):
    def test_delivery_by_name_address_and_alias(self):
        self.mail.send("sender@remote.example",
                       ["alice@" + DOMAIN, "robert@" + DOMAIN, "bob@" + DOMAIN], message("one"))
        self.assertEqual(len(self.mail.wait_messages("alice", 1)), 1)
        # The alias and the name reach the same mailbox: two copies there.
        self.assertEqual(len(self.mail.wait_messages("bob", 2)), 2)
        self.assertEqual(self.mail.wait_idle(), [])
        if IS_ROOT:
            alice = os.stat(self.mail.mailbox("alice"))
            self.assertEqual((alice.st_uid, alice.st_gid), (ldap.ALICE_UID, ldap.ALICE_UID))
            bob = os.stat(self.mail.mailbox("bob"))
            self.assertEqual((bob.st_uid, bob.st_gid), mail_owner())

    def test_logons(self):
        self.assertTrue(self.pop3_logon("bob", "bob-pw").startswith("+OK"))
        self.assertTrue(self.pop3_logon("alice", "alice-pw").startswith("+OK"))
        wrong = self.pop3_logon("alice", "not-her-password")
        self.assertTrue(wrong.startswith("-ERR alice logon failed"), wrong)
        self.assertNotIn("[SYS/TEMP]", wrong)
        self.assertIn(" OK ", self.imap_logon("bob", "bob-pw"))
        self.assertIn(" NO ", self.imap_logon("bob", "wrong"))
        self.assertEqual(self.auth("alice", "alice-pw"), "235 Authentication successful\r\n")
        self.assertEqual(self.auth("alice", "wrong"), "535 Authentication failed\r\n")
        # An empty password would be an anonymous bind, which succeeds.
        self.assertNotIn(" OK ", self.imap_logon("alice", ""))

    def test_directory_down_is_a_temporary_failure(self):
        # Accepted while the directory answers; the agent is held meanwhile.
        self.assertEqual(self.mail.agent.stop(), 0)
        self.slapd.add(ldap.user_ldif("dave", "dave-pw"))
        self.mail.send("sender@remote.example", ["dave@" + DOMAIN], message("waits"))
        self.slapd.stop()
        try:
            time.sleep(CACHE_SECONDS + 1)   # what the services cached has gone
            self.assertEqual(self.rcpt("erin@" + DOMAIN), UNAVAILABLE_RCPT)
            self.assertTrue(self.pop3_logon("bob", "bob-pw").startswith(
                "-ERR [SYS/TEMP] bob logon failed"))
            self.assertIn(" NO [UNAVAILABLE] ", self.imap_logon("bob", "bob-pw"))
            self.assertEqual(self.auth("bob", "bob-pw"), AUTH_TEMPORARY)
            self.mail.agent.start()
            # Deferred, not bounced: the recipient file stays in the local queue.
            self.assertTrue(poll(lambda: " 138 0xC000008A Delivery of message "
                                 in self.mail.scratch.events()), self.mail.scratch.events())
            self.assertEqual(self.mail.messages("dave"), [])
            self.assertEqual(len(files_with(self.mail.spool("domains", LOCAL_QUEUE), "RCP")), 1)
        finally:
            self.slapd.start()
        self.assertEqual(len(self.mail.wait_messages("dave", 1)), 1)
        self.assertEqual(self.mail.wait_idle(), [])
        self.assertEqual(files_with(self.mail.spool("domains", "remote.example"), "RCP"), [])
        self.assertEqual(files_with(self.mail.spool("dead"), "MSG"), [])

    def test_changed_entry_seen_after_cache_time(self):
        # bob, not carol: carol's logons are proxied to her mail host.
        self.assertTrue(self.pop3_logon("bob", "bob-pw").startswith("+OK"))
        self.slapd.modify("dn: %s\nchangetype: modify\nreplace: userPassword\n"
                          "userPassword: bob-new\n" % ldap.user_dn("bob"))
        self.addCleanup(self.slapd.modify, "dn: %s\nchangetype: modify\nreplace: userPassword\n"
                        "userPassword: bob-pw\n" % ldap.user_dn("bob"))
        # A bind is never cached: the new password counts at once.
        self.assertTrue(self.pop3_logon("bob", "bob-new").startswith("+OK"))
        # A user added is found once the negative answer has expired.
        self.assertTrue(self.pop3_logon("frank", "frank-pw").startswith("-ERR frank"))
        self.slapd.add(ldap.user_ldif("frank", "frank-pw"))
        time.sleep(CACHE_SECONDS + 1)
        self.assertTrue(self.pop3_logon("frank", "frank-pw").startswith("+OK"))

    def test_logons_wait_while_the_mailbox_moves(self):
        # A user of her own: no session of hers is open yet (an open IMAP
        # session takes its user's next connections until it ends).
        self.slapd.add(ldap.user_ldif("gina", "gina-pw"))
        self.addCleanup(self.slapd.delete, ldap.user_dn("gina"))
        marker = self.mail.scratch.path("var", "lib", "zel", "moving", "gina")
        os.makedirs(os.path.dirname(marker), exist_ok=True)
        with open(marker, "w", encoding="utf-8") as f:
            f.write("mh2.example.test\n")
        try:
            self.assertEqual(self.pop3_logon("gina", "gina-pw"),
                             "-ERR [SYS/TEMP] gina's mailbox is being moved; try again later")
            self.assertIn(" NO [UNAVAILABLE] The mailbox is being moved; try again later",
                          self.imap_logon("gina", "gina-pw"))
        finally:
            os.unlink(marker)
        self.assertTrue(self.pop3_logon("gina", "gina-pw").startswith("+OK"))

    def test_zeladm_check_binds_over_ldaps_and_names_each_fault(self):
        scratch = Scratch(prefix="zel-e2e-ldap-check-")
        self.addCleanup(scratch.cleanup)
        scratch.prepare_registry()
        other_ca = TestCa(scratch.root, name="Another CA")

        def ldap_findings(**settings):
            scratch.reg_import({ZEL_KEY: {"UserDirectory": ["ldap"]}, LDAP_KEY: ldap_settings(
                self.slapd.ldaps_uri, self.ca.cert_path, self.secret, **settings)})
            out = scratch.zeladm("check", check=False).stdout.splitlines()
            return [line for line in out if "Ldap" in line or "UserDirectory" in line]

        # ldaps:// verified against the test's CA, and the local socket:
        # nothing to say.
        self.assertEqual(ldap_findings(), [])
        self.assertEqual(ldap_findings(Uri=[self.slapd.ldapi_uri]), [])
        self.assertEqual(ldap_findings(CaFile=other_ca.cert_path),
                         ["error: ZEL\\Ldap: cannot bind as %s at %s: Can't contact LDAP server"
                          % (ldap.SERVICE_DN, self.slapd.ldaps_uri)])
        wrong = ldap.write_secret(scratch.path("wrongpw"), "not-the-password")
        self.assertEqual(ldap_findings(BindPasswordFile=wrong),
                         ["error: ZEL\\Ldap: cannot bind as %s at %s: Invalid credentials"
                          % (ldap.SERVICE_DN, self.slapd.ldaps_uri)])
        os.chmod(wrong, 0o644)
        self.assertEqual(ldap_findings(BindPasswordFile=wrong)[:1],
                         ["error: ZEL\\Ldap BindPasswordFile: \"%s\" must be root's alone "
                          "(chown root %s; chmod 600 %s): others could read the password"
                          % (wrong, wrong, wrong)])
        self.assertEqual(ldap_findings(Uri=["http://x"], BaseDn=""),
                         ["error: ZEL\\Ldap: Uri \"http://x\" is no ldap://, ldaps:// or "
                          "ldapi:// URI; until it is mended the directory answers nothing "
                          "(mail waits, logons fail)"])


if __name__ == "__main__":
    unittest.main()
