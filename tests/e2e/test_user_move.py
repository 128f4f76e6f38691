"""zeladm user move, end to end: two ZEL instances with one slapd
(UserDirectory "ldap", CacheSeconds 1) and one dnsmasq:

  127.0.0.13  mh13.example.test  the user's mail host before the move
  127.0.0.11  mx1.example.test   the one after it

fay has mail and an IMAP folder on mh13. "zeladm user move fay --to
mx1.example.test --to-dir MX1'S MAILBOX ROOT --bind-dn ADMIN" runs on mh13
while mail for her arrives at both hosts; afterwards everything is at mx1
once (the folder and its flags too, read through IMAP there), the old
mailbox is left renamed at mh13, and the directory names mx1. The copy
goes to a local directory (the other instance's root, as an NFS mount
would be); the rsync road is the same command line without --to-dir and
is not run here. Every wait is bounded.
"""

import os
import shutil
import smtplib
import subprocess
import tempfile
import unittest

import remotepeers
import slapdfixture as ldap
from remotepeers import NameServer
from zelharness import (IS_ROOT, TCPIP_KEY, WAIT_SECONDS, ZEL_KEY, MailSystem, PeersCase,
                        imap_login, poll, program_path, service_key)
from test_cross_host import holding, message

DOMAIN = ldap.MAIL_DOMAIN
OLD, NEW = "127.0.0.13", "127.0.0.11"
NEW_HOST = "mx1." + DOMAIN
USER, PASSWORD = "fay", "move-pw"
# The IMAP session she closed lingers 30 s; the caches 1 s and a margin;
# cp of a few files.
MOVE_SECONDS = 90


@unittest.skipUnless(IS_ROOT and shutil.which("slapd") and os.access(remotepeers.DNSMASQ, os.X_OK),
                     "needs root, slapd and dnsmasq")
class UserMove(PeersCase):

    @classmethod
    def start_peers(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-e2e-usermove-")
        cls.stops.append(lambda: shutil.rmtree(cls.dir, ignore_errors=True))
        cls.slapd = ldap.Slapd(cls.dir).start()
        cls.stops.append(cls.slapd.cleanup)
        cls.slapd.add(ldap.user_ldif(USER, PASSWORD, ["objectClass: inetLocalMailRecipient",
                                                      "mailHost: mh13." + DOMAIN]))
        cls.dns = NameServer(cls.dir, hosts=[("mh13." + DOMAIN, OLD), (NEW_HOST, NEW)]).start()
        cls.stops.append(cls.dns.stop)
        cls.old = cls.instance(OLD, "mh13")
        cls.new = cls.instance(NEW, "mx1")
        # Each hands the other's users' mail to it.
        for mail, peer in ((cls.old, cls.new), (cls.new, cls.old)):
            mail.scratch.reg_import({service_key("ZELDELIV"): {"MailHostPort": peer.port}})
            mail.start()

    @classmethod
    def instance(cls, address, hostname):
        listen = {"ListenAddresses": [address, "127.0.0.1"]}
        mail = MailSystem(suite={"DomainNamesAreLocal": [DOMAIN], "UserDirectory": ["ldap"]},
                          recv=dict(listen), deliv={"Timeout": 1}, imap=dict(listen),
                          prefix="zel-e2e-move-%s-" % hostname, name_server=cls.dns.address)
        cls.stops.append(mail.stop)
        mail.scratch.reg_import({
            TCPIP_KEY: {"Hostname": hostname, "Domain": DOMAIN},
            ZEL_KEY + "\\Ldap": {"Uri": [cls.slapd.uri], "BaseDn": ldap.BASE_DN,
                                 "BindDn": ldap.SERVICE_DN, "StartTls": 0, "CacheSeconds": 1,
                                 "BindPasswordFile": ldap.write_secret(
                                     mail.scratch.path("bindpw"), ldap.SERVICE_PASSWORD)}})
        return mail

    def send(self, mail, subject):
        with smtplib.SMTP("127.0.0.1", mail.port, timeout=WAIT_SECONDS) as client:
            client.sendmail("sender@remote.test", ["%s@%s" % (USER, DOMAIN)], message(subject))

    def test_mail_and_folders_arrive_once_at_the_new_host(self):
        for subject in ("before 1", "before 2"):
            self.send(self.old, subject)
            self.assertTrue(poll(lambda: holding(self.old, subject), WAIT_SECONDS))
        imap = imap_login(self.old.imap_connect(), USER, PASSWORD)
        self.addCleanup(imap.close)
        for command in ("CREATE Lists", "SELECT INBOX", "STORE 1 +FLAGS (\\Flagged)",
                        "COPY 1 Lists", "LOGOUT"):
            self.assertIn(" OK ", imap.run(command)[1], command)
        root = self.new.scratch.path("var", "mailbox")
        os.makedirs(root, exist_ok=True)
        admin = ldap.write_secret(os.path.join(self.dir, "adminpw"), ldap.ADMIN_PASSWORD)
        move = subprocess.Popen(
            [program_path("zeladm"), "user", "move", USER, "--to", NEW_HOST, "--to-dir", root,
             "--bind-dn", ldap.ADMIN_DN, "--password-file", admin, "--wait", str(MOVE_SECONDS)],
            env=self.old.scratch.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: move.poll() is None and move.kill())
        self.assertIn("are held here", move.stdout.readline())
        # Mail while she moves: at the old host, and at the new one, which
        # still sends it to the old one.
        self.send(self.old, "during 1")
        self.send(self.new, "during 2")
        out, err = move.communicate(timeout=MOVE_SECONDS + WAIT_SECONDS)
        self.assertEqual(move.returncode, 0, out + err)
        self.assertIn("the mailbox is copied to %s/%s" % (root, USER), out)
        self.assertIn("mailHost of %s is now %s" % (ldap.user_dn(USER), NEW_HOST), out)
        subjects = ["before 1", "before 2", "during 1", "during 2"]
        arrived = poll(lambda: (lambda h: h if len(h) == 4 else None)(
            {s: holding(self.new, s).get(USER, []) for s in subjects if holding(self.new, s)}),
            WAIT_SECONDS * 2)
        self.assertEqual({s: len(n) for s, n in (arrived or {}).items()},
                         {s: 1 for s in subjects}, self.old.scratch.events()[-2000:])
        self.assertFalse(os.path.exists(self.old.mailbox(USER)), out)
        kept = self.old.mailbox(USER) + ".moved-to-" + NEW_HOST
        self.assertEqual(len([n for n in os.listdir(kept) if n.endswith(".MSG")]), 2)
        # The folder, its message and its flag, through IMAP at the new host.
        imap = imap_login(self.new.imap_connect(), USER, PASSWORD)
        self.addCleanup(imap.close)
        self.assertIn("Lists", "".join(imap.run("LIST \"\" *")[0]))
        self.assertIn("* 1 EXISTS\r\n", imap.run("SELECT Lists")[0])
        untagged, _ = imap.run("FETCH 1:* (FLAGS)")
        self.assertIn("\\Flagged", "".join(untagged))
        self.assertIn("* 4 EXISTS\r\n", imap.run("SELECT INBOX")[0])
        # Nothing waits anywhere, and the old host holds no copy of the new mail.
        for mail in (self.old, self.new):
            self.assertTrue(poll(lambda: not mail.busy(), WAIT_SECONDS), mail.busy())
        self.assertEqual(holding(self.old, "during 1"), {})


if __name__ == "__main__":
    unittest.main()
