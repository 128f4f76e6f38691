"""Proxied logons (net/mailproxy) end to end.

ProxyToMailHost: the proxied session alone (tests/unit/proxy_probe, what a
front's session runs for a user whose mail host is another host) against
a real mail host: zelfetch and zelimap listening on 127.0.0.13 with a
certificate for mh13.example.test from a test CA, the name given by a
dnsmasq of the test. The probe logs on there with the user's password over
TLS verified against the CA, answers the client with the mail host's
answer and relays: the client reads the mail host's mailbox. A wrong
password at the mail host is the mail host's refusal; a mail host that
cannot be reached, or whose certificate does not name it, is a temporary
failure for the client.

ThroughTheDirectory: the whole road, a front on 127.0.0.11 and the mail
host on 127.0.0.13, the user's mail host named by an LDAP directory
(UserDirectory "ldap", the directory source's slapd fixture). It needs the
directory source, built beside this proxy; until it is there (zeladm check
says no service reads UserDirectory) the class is skipped.
"""

import base64
import os
import shutil
import subprocess
import tempfile
import unittest

from remotepeers import NameServer
from tlspeers import TestCa
from zelharness import (BIN_DIR, IS_ROOT, REPLY_SECONDS, TCPIP_KEY, WAIT_SECONDS, ZEL_KEY,
                        ImapConnection, ImapServer, PeersCase, Pop3Server, Scratch,
                        SmtpConnection, check_sanitizer, give_to_mail_owner,
                        write_file)

MAIL_HOST = "mh13.example.test"
MAIL_HOST_IP = "127.0.0.13"
FRONT_IP = "127.0.0.11"
USER, PASSWORD = "bob", "Proxy pw 1"
SECRET = "shared by the hosts 7"
MESSAGE = b"Subject: far away\r\n\r\nkept on the mail host\r\n.\r\n"


class Probe:
    """proxy_probe for one client: start() returns the port it listens on;
    finish() the session's status and its words to the front."""

    def __init__(self, scratch, protocol, host, password, tag=None, pending=None):
        args = [os.path.join(BIN_DIR, "proxy_probe"), protocol, FRONT_IP, host, USER]
        args += [tag or ""] + ([pending] if pending else [])
        self.proc = subprocess.Popen(args, env=scratch.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.proc.stdin.write(password + "\n")
        self.proc.stdin.close()
        first = self.proc.stdout.readline().split()
        if first[:1] != ["listening"]:
            self.proc.kill()
            raise AssertionError("proxy_probe: %r %s" % (first, self.proc.stderr.read()))
        self.port = int(first[1])

    def finish(self):
        try:
            self.proc.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        out = self.proc.stdout.read()
        check_sanitizer("proxy_probe", self.proc.stderr.read())
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode, out.splitlines()


class ProxyToMailHost(PeersCase):

    @classmethod
    def start_peers(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-e2e-proxy-")
        cls.stops.append(lambda: shutil.rmtree(cls.dir, ignore_errors=True))
        ca = TestCa(cls.dir)
        cert, key = ca.issue(MAIL_HOST)
        cls.dns = NameServer(cls.dir, hosts=[(MAIL_HOST, MAIL_HOST_IP),
                                             ("other.example.test", MAIL_HOST_IP)]).start()
        cls.stops.append(cls.dns.stop)
        # Master logons count from 127.0.0.1 alone: the source of the
        # probe's connections (the kernel's choice for a loopback address).
        secret = cls.secret_file("proxy-secret", SECRET)
        suite = {"TlsCertificateFile": cert, "TlsKeyFile": key, "ProxySecretFile": secret,
                 "ProxyClients": ["127.0.0.1"]}
        listen = {"ListenAddresses": [MAIL_HOST_IP, "127.0.0.1"]}
        cls.pop3 = Pop3Server(dict(listen), suite=suite, users={USER: PASSWORD})
        cls.stops.append(cls.pop3.stop)
        cls.imap = ImapServer(dict(listen), suite=suite, scratch=cls.pop3.scratch)
        cls.stops.append(cls.imap.stop)
        cls.pop3.start()
        cls.imap.start()
        box = cls.pop3.mailbox(USER)
        os.makedirs(box, exist_ok=True)
        write_file(os.path.join(box, "B0000000001.MSG"), MESSAGE)
        give_to_mail_owner(box, os.path.join(box, "B0000000001.MSG"))
        # The front: names through the test's dnsmasq, the mail host's CA.
        cls.front = Scratch("zel-e2e-front-")
        cls.stops.append(cls.front.cleanup)
        cls.front.prepare_registry(name_server=cls.dns.address)
        proxy = {"ProxyTls": "verify", "ProxyCa": ca.cert_path, "ProxyPop3Port": cls.pop3.port,
                 "ProxyImapPort": cls.imap.port}
        cls.front.reg_import({ZEL_KEY: proxy})
        # Fronts that log on as the master user: with the mail host's
        # secret, and with another.
        cls.fronts = {}
        for name, text in (("right", SECRET), ("wrong", "not the secret")):
            front = Scratch("zel-e2e-front-%s-" % name)
            cls.stops.append(front.cleanup)
            front.prepare_registry(name_server=cls.dns.address)
            front.reg_import({ZEL_KEY: dict(proxy, ProxySecretFile=cls.secret_file(name, text))})
            cls.fronts[name] = front

    @classmethod
    def secret_file(cls, name, text):
        path = os.path.join(cls.dir, name)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(text + "\n")
        return path

    def client(self, probe):
        conn = SmtpConnection(probe.port, FRONT_IP, REPLY_SECONDS)
        self.addCleanup(conn.close)
        return conn

    def test_pop3_client_reads_the_mail_hosts_mailbox(self):
        # STAT came pipelined behind the logon: the mail host answers it.
        probe = Probe(self.front, "pop3", MAIL_HOST, PASSWORD, pending="STAT\r\n")
        conn = self.client(probe)
        size = len(MESSAGE)
        self.assertEqual(conn.reply(), "+OK %s's mailbox has 1 message(s) (%d octets)\r\n"
                         % (USER, size))
        self.assertEqual(conn.reply(), "+OK 1 %d\r\n" % size)
        conn.send("RETR 1\r\n")
        self.assertIn(b"kept on the mail host", conn.read_until(b"\r\n.\r\n"))
        self.assertTrue(conn.command("QUIT").startswith("+OK "))
        conn.wait_closed()
        status, words = probe.finish()
        self.assertEqual(status, 0)
        self.assertEqual(words, ["S", "L %s proxied to %s" % (USER, MAIL_HOST)])

    def test_imap_client_gets_its_own_tag_and_the_mail_hosts_folders(self):
        probe = Probe(self.front, "imap", MAIL_HOST, PASSWORD, tag="a1")
        conn = ImapConnection(probe.port, FRONT_IP, REPLY_SECONDS)
        self.addCleanup(conn.close)
        self.assertRegex(conn.line().decode(), r"^a1 OK .*\r\n$")
        untagged, tagged = conn.run("SELECT INBOX")
        self.assertIn("* 1 EXISTS\r\n", untagged)
        conn.run("LOGOUT")
        status, words = probe.finish()
        self.assertEqual((status, words[0]), (0, "S"))

    def test_refusal_is_the_mail_hosts_and_failures_are_temporary(self):
        # A wrong password at the mail host: its own answer, for the front
        # to send; the client hears nothing from the session.
        for protocol, tag, want in (("pop3", None, "R -ERR "), ("imap", "a1", "R a1 NO ")):
            probe = Probe(self.front, protocol, MAIL_HOST, "wrong", tag=tag)
            conn = self.client(probe)
            status, words = probe.finish()
            self.assertEqual(status, 1)
            self.assertTrue(words[0].startswith(want), words)
            self.assertNotIn("UNAVAILABLE", words[0])
            self.assertTrue(conn.closed_silently())
        # Nothing listens there; a certificate that does not name the host.
        for host in ("127.0.0.14", "other.example.test"):
            for protocol, tag, want in (
                    ("pop3", None, "R -ERR [SYS/TEMP] %s's mail host is not available now" % USER),
                    ("imap", "a1", "R a1 NO [UNAVAILABLE] The mail host is not available now")):
                probe = Probe(self.front, protocol, host, PASSWORD, tag=tag)
                conn = self.client(probe)
                status, words = probe.finish()
                self.assertEqual((status, words), (1, [want]), host)
        self.assertIn("A logon proxied to the mail host other.example.test failed",
                      self.front.events())

    def test_master_logon_with_the_shared_secret(self):
        # Through the proxy, POP3 and IMAP: the mail host's mailbox, and
        # the mail host's event names the master logon.
        probe = Probe(self.fronts["right"], "pop3", MAIL_HOST, "")
        conn = self.client(probe)
        self.assertEqual(conn.reply(), "+OK %s's mailbox has 1 message(s) (%d octets)\r\n"
                         % (USER, len(MESSAGE)))
        self.assertTrue(conn.command("QUIT").startswith("+OK "))
        self.assertEqual(probe.finish()[0], 0)
        probe = Probe(self.fronts["right"], "imap", MAIL_HOST, "", tag="a1")
        conn = ImapConnection(probe.port, FRONT_IP, REPLY_SECONDS)
        self.addCleanup(conn.close)
        self.assertRegex(conn.line().decode(), r"^a1 OK .*\r\n$")
        self.assertIn("* 1 EXISTS\r\n", conn.run("SELECT INBOX")[0])
        conn.run("LOGOUT")
        self.assertEqual(probe.finish()[0], 0)
        self.assertIn("User %s logged on via zel-proxy from 127.0.0.1" % USER,
                      self.pop3.scratch.events())

    def test_master_logon_refused_without_the_secret_or_from_elsewhere(self):
        # A front with another secret: the mail host's ordinary refusal.
        for protocol, tag, want in (("pop3", None, "R -ERR "), ("imap", "a1", "R a1 NO ")):
            probe = Probe(self.fronts["wrong"], protocol, MAIL_HOST, "", tag=tag)
            conn = self.client(probe)
            status, words = probe.finish()
            self.assertEqual(status, 1)
            self.assertTrue(words[0].startswith(want), words)
            self.assertTrue(conn.closed_silently())
        # A client outside ProxyClients with the right secret, directly:
        # the reply of a wrong password, word for word.
        def plain(authzid, authcid, password):
            return base64.b64encode(("%s\0%s\0%s" % (authzid, authcid, password)).encode()).decode()
        replies = []
        for credentials in (plain(USER, "zel-proxy", SECRET), plain("", USER, "wrong")):
            conn = self.pop3.connect(host=MAIL_HOST_IP, source="127.0.0.22")
            self.addCleanup(conn.close)
            replies.append(conn.command("AUTH PLAIN " + credentials))
            imap = self.imap.connect(host=MAIL_HOST_IP, source="127.0.0.22")
            self.addCleanup(imap.close)
            replies.append(imap.run("AUTHENTICATE PLAIN " + credentials)[1])
        self.assertEqual(replies[:2], replies[2:])
        self.assertTrue(replies[0].startswith("-ERR ") and " NO " in replies[1], replies)
        events = self.pop3.scratch.events()
        self.assertIn('Logon failed: pop3 client 127.0.0.22, user "%s"' % USER, events)
        self.assertNotIn("from 127.0.0.22", events)


@unittest.skipUnless(IS_ROOT and shutil.which("slapd"), "needs root and slapd")
class ThroughTheDirectory(unittest.TestCase):
    """A front on 127.0.0.11 whose directory (slapd, UserDirectory "ldap")
    names mh13.example.test (the mail host's own name: its Hostname) as the
    user's mail host proxies POP3 and IMAP logons there, a second IMAP
    logon of the same user too."""

    def test_logons_at_the_front_read_the_mail_hosts_mailbox(self):
        import slapdfixture as ldap
        scratch = Scratch("zel-e2e-proxy-ldap-")
        self.addCleanup(scratch.cleanup)
        slapd = ldap.Slapd(scratch.root)
        slapd.start()
        self.addCleanup(slapd.cleanup)
        user = "dora"
        slapd.add(ldap.user_ldif(user, PASSWORD, ["objectClass: inetLocalMailRecipient",
                                                  "mailHost: " + MAIL_HOST]))
        directory = {"Uri": [slapd.uri], "BaseDn": ldap.BASE_DN, "BindDn": ldap.SERVICE_DN,
                     "BindPasswordFile": ldap.write_secret(scratch.path("bindpw"),
                                                           ldap.SERVICE_PASSWORD),
                     "StartTls": 0}
        dns = NameServer(scratch.root, hosts=[(MAIL_HOST, MAIL_HOST_IP)]).start()
        self.addCleanup(dns.stop)
        suite = {"UserDirectory": ["ldap"], "ProxyTls": "none"}
        # The mail host knows itself by the name the directory gives; the
        # front finds it through the test's name server.
        host, host_imap = self.made(MAIL_HOST_IP, suite, {"Hostname": "mh13"}, directory)
        box = host.mailbox(user)
        os.makedirs(box, exist_ok=True)
        write_file(os.path.join(box, "B0000000001.MSG"), MESSAGE)
        give_to_mail_owner(box, os.path.join(box, "B0000000001.MSG"))
        suite.update(ProxyPop3Port=host.port, ProxyImapPort=host_imap.port)
        front, front_imap = self.made(FRONT_IP, suite, {"NameServer": dns.address}, directory)
        conn = front.connect(host=FRONT_IP)
        self.addCleanup(conn.close)
        self.assertTrue(conn.command("USER " + user).startswith("+OK"))
        self.assertEqual(conn.command("PASS " + PASSWORD),
                         "+OK %s's mailbox has 1 message(s) (%d octets)\r\n"
                         % (user, len(MESSAGE)))
        for _ in range(2):
            imap = front_imap.login(user, PASSWORD, host=FRONT_IP)
            self.addCleanup(imap.close)
            self.assertIn("* 1 EXISTS\r\n", imap.run("SELECT INBOX")[0])

    def made(self, address, suite, tcpip, directory):
        """A POP3 and an IMAP server on one root listening on address, with
        the Tcpip values tcpip and the directory settings, started."""
        pop3 = Pop3Server({"ListenAddresses": [address, "127.0.0.1"]}, suite=suite)
        self.addCleanup(pop3.stop)
        imap = ImapServer({"ListenAddresses": [address, "127.0.0.1"]}, suite=suite,
                          scratch=pop3.scratch)
        self.addCleanup(imap.stop)
        pop3.scratch.reg_import({TCPIP_KEY: tcpip, ZEL_KEY + "\\Ldap": directory})
        return pop3.start(), imap.start()


if __name__ == "__main__":
    unittest.main()
