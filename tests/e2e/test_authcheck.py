"""The checks of arriving mail: SPF, DKIM and DMARC, the
Authentication-Results field, and what a DMARC failure does.

The records are served by the test's dnsmasq, which is the receiver's only
name server; one domain's records sit behind a server that never answers
(a temporary failure). The test client (127.0.0.1) is no relay client here,
so its mail on the plain port is checked; a receiver with the default
RelayClients (this computer) checks nothing.
"""

import os
import re
import shutil
import smtplib
import subprocess
import tempfile
import unittest

import remotepeers
from test_dkim import unstuffed
from zelharness import PeersCase, WAIT_SECONDS, MailSystem, Receiver, imap_login, poll, read_bytes

SELECTOR = "s1"
PASSWORD = "U1-pw-long-1"
FIELD = re.compile(rb"Authentication-Results:[^\r]*\r\n(?:[ \t][^\r]*\r\n)*")
RECORDS = [
    ("pass.test", "v=spf1 ip4:127.0.0.1 -all"), ("_dmarc.pass.test", "v=DMARC1; p=reject"),
    ("_dmarc.reject.test", "v=DMARC1; p=reject"), ("_dmarc.junk.test", "v=DMARC1; p=quarantine"),
    ("_dmarc.signed.test", "v=DMARC1; p=reject"), ("_dmarc.late.test", "v=DMARC1; p=reject"),
    ("_dmarc.latejunk.test", "v=DMARC1; p=quarantine"),
]
# libspf2 passes every loopback client, and the test client is one: a
# MAIL FROM domain other than the author's keeps that pass from aligning
# (the SPF results themselves are the unit tests': authcheck_test).
OTHER = "x@other.test"


def message(domain, extra=b""):
    return (extra + b"From: a@" + domain.encode() + b"\r\nTo: u1@localhost\r\n"
            b"Subject: checked\r\n\r\nBody text.\r\n")


class AuthCheckTest(PeersCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(remotepeers.DNSMASQ):
            raise unittest.SkipTest("dnsmasq is missing (package dnsmasq-base)")
        try:
            import dkim  # noqa: F401
        except ImportError:
            raise unittest.SkipTest("python3-dkim is not installed")
        super().setUpClass()

    @classmethod
    def start_peers(cls):
        directory = tempfile.mkdtemp(prefix="zel-e2e-authcheck-")
        cls.stops.append(lambda: shutil.rmtree(directory, ignore_errors=True))
        subprocess.run(["/usr/sbin/opendkim-genkey", "-b", "1024", "-d", "signed.test", "-s",
                        SELECTOR, "-D", directory], check=True)
        with open(os.path.join(directory, SELECTOR + ".txt"), encoding="utf-8") as f:
            key_record = "".join(re.findall(r'"([^"]*)"', f.read()))
        cls.key = read_bytes(os.path.join(directory, SELECTOR + ".private"))
        dns = remotepeers.NameServer(directory, txt=RECORDS + [
            ("%s._domainkey.signed.test" % SELECTOR, key_record)])
        dns.options.append("--server=/dead.test/127.0.0.1#1")
        dns.start()
        cls.stops.append(dns.stop)
        server = "127.0.0.1:%d" % dns.port
        cls.mail = MailSystem(users=["u1"], passwords={"u1": PASSWORD}, imap={},
                              recv={"RelayClients": ["192.0.2.0/24"]}, name_server=server)
        cls.stops.append(cls.mail.stop)
        cls.mail.start()
        cls.relay = Receiver(prefix="zel-e2e-authrelay-")
        cls.relay.scratch.prepare_registry(name_server=server,
                                           services={"ZELRECV": {"PortNo": cls.relay.port}})
        cls.stops.append(cls.relay.stop)
        cls.relay.start()

    def send(self, sender, data):
        """The data reply's code and text."""
        with smtplib.SMTP("127.0.0.1", self.mail.port, local_hostname="client.example",
                          timeout=WAIT_SECONDS) as client:
            try:
                client.sendmail(sender, ["u1"], data)
            except smtplib.SMTPDataError as refused:
                return refused.smtp_code, refused.smtp_error.decode()
        return 250, ""

    def delivered(self, subject, folder=()):
        """The stored text of the message with subject, waited for in the
        mailbox (or one of its folder directories)."""
        def find():
            directory = self.mail.mailbox("u1", *folder)
            for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
                if name.endswith(".MSG"):
                    text = unstuffed(read_bytes(os.path.join(directory, name)))
                    if subject in text:
                        return text
            return None
        return poll(find, WAIT_SECONDS)

    def fields(self, subject, folder=()):
        text = self.delivered(subject, folder)
        self.assertIsNotNone(text, subject)
        return text, b"".join(FIELD.findall(text.split(b"\r\n\r\n")[0]))

    def test_results_of_each_check(self):
        import dkim
        # A signature whose key only the dead server has: temperror.
        late = lambda data: dkim.sign(data, b"s1", b"dead.test", self.key,
                                      include_headers=[b"from"]) + data
        cases = [
            ("pass.test", "x@pass.test", None, rb"spf=pass smtp.mailfrom=pass.test;.*dkim=none;"
                                               rb".*dmarc=pass header.from=pass.test"),
            ("none.test", OTHER, None, rb"spf=pass smtp.mailfrom=other.test;.*dmarc=none "
                                       rb"header.from=none.test"),
            ("late.test", OTHER, late, None),
            ("latejunk.test", OTHER, late, rb"dkim=temperror header.d=dead.test.*"
                                           rb"dmarc=temperror \(p=quarantine\)"),
        ]
        for domain, sender, sign, pattern in cases:
            with self.subTest(domain=domain):
                data = message(domain).replace(b"checked", domain.encode())
                code, text = self.send(sender, sign(data) if sign else data)
                if pattern is None:   # p=reject and an answer missing: try again later
                    self.assertEqual((code, text[:5]), (451, "4.7.5"))
                    continue
                self.assertEqual(code, 250)
                _, found = self.fields(domain.encode())
                self.assertRegex(found.replace(b"\r\n", b""), pattern)
        # An aligned DKIM signature passes DMARC though SPF fails.
        body = message("signed.test").replace(b"checked", b"signed one")
        signature = dkim.sign(body, SELECTOR.encode(), b"signed.test", self.key,
                              include_headers=[b"from", b"to", b"subject"])
        self.assertEqual(self.send(OTHER, signature + body)[0], 250)
        _, found = self.fields(b"signed one")
        self.assertRegex(found.replace(b"\r\n", b""),
                         rb"spf=pass smtp.mailfrom=other.test;.*dkim=pass header.d=signed.test header.s=s1 .*dmarc=pass")

    def test_dmarc_reject_and_quarantine(self):
        code, text = self.send(OTHER, message("reject.test"))
        self.assertEqual((code, text), (550, "5.7.1 Rejected by DMARC policy of reject.test"))
        self.assertEqual(self.send(OTHER, message("junk.test").replace(
            b"checked", b"quarantined"))[0], 250)
        _, found = self.fields(b"quarantined", ("+Junk",))
        self.assertRegex(found.replace(b"\r\n", b""), rb"dmarc=fail \(p=quarantine\)")
        inbox = [read_bytes(self.mail.mailbox("u1", n)) for n in self.mail.messages("u1")]
        self.assertFalse([t for t in inbox if b"quarantined" in t])
        imap = imap_login(self.mail.imap_connect(), "u1", PASSWORD)
        self.addCleanup(imap.close)
        selected = "".join(imap.ok("SELECT Junk"))
        self.assertRegex(selected, r"\* [1-9]\d* EXISTS")
        self.assertIn("quarantined", "".join(imap.ok("FETCH 1:* (BODY.PEEK[HEADER])")))

    def test_our_forged_field_is_removed(self):
        self.send("x@pass.test", message("pass.test").replace(b"checked", b"before forged"))
        text, _ = self.fields(b"before forged")
        ours = re.search(rb"Authentication-Results: (\S+);", text).group(1)
        forged = (b"Authentication-Results: " + ours + b"; dmarc=pass header.from=junk.test\r\n"
                  b"Authentication-Results: (c) \"" + ours + b"\"; spf=pass\r\n"
                  b"Authentication-Results: elsewhere.example; spf=pass\r\n")
        data = message("junk.test", forged).replace(b"checked", b"forged")
        self.assertEqual(self.send(OTHER, data)[0], 250)
        stored, found = self.fields(b"forged", ("+Junk",))
        header = stored.split(b"\r\n\r\n")[0]
        self.assertEqual(len(re.findall(rb"Authentication-Results: " + re.escape(ours), header)), 1)
        self.assertIn(b"elsewhere.example; spf=pass", header)
        # Ours is next to our Received line, above every field that came.
        self.assertRegex(header, rb"^Received: [^\r]*\r\n(?:[ \t][^\r]*\r\n)*"
                                 rb"Authentication-Results: " + re.escape(ours))

    def test_relay_clients_are_not_checked(self):
        before = set(os.listdir(self.relay.queue))
        reply = self.relay.send_message("x@reject.test", ["u1"],
                                        message("reject.test") + b".\r\n")
        self.assertEqual(reply, "250 Message received OK\r\n")
        [name] = [n for n in set(os.listdir(self.relay.queue)) - before if n.endswith(".MSG")]
        self.assertNotIn(b"Authentication-Results", read_bytes(os.path.join(self.relay.queue, name)))


if __name__ == "__main__":
    unittest.main()
