"""DMARC aggregate reports: the receiver records each evaluated message,
"zeladm dmarc report --now" has the delivery agent report them, and the
reports reach the rua= addresses' exchanger (aiosmtpd) as multipart mail
with a gzip XML attachment, DKIM-signed with our key.

Records on the test's dnsmasq (its only name server). The test client
(127.0.0.1) is no relay client, so its mail is checked; libspf2 passes
every loopback client, so SPF aligns only where MAIL FROM is the author's
domain. dnsmasq splits TXT text at commas, so each record names one rua=.
"""

import email
import gzip
import json
import os
import re
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ET

import remotepeers

try:
    import dkim
except ImportError:
    dkim = None
from remotepeers import Exchanger, NameServer
from test_dkim import txt_lookup
from test_dkim_signing import records
from zelharness import DEAD_NAME_SERVER, LOCAL_HOST, TCPIP_KEY, MailSystem, poll, read_bytes

PEER = "127.0.0.2"
DMARC = [
    # An outside rua= domain that agreed to take one.test's reports.
    ("_dmarc.one.test", "v=DMARC1; p=none; rua=mailto:agg@reports.test"),
    ("one.test._report._dmarc.reports.test", "v=DMARC1"),
    # Its own domain: no agreement needed.
    ("_dmarc.two.test", "v=DMARC1; p=quarantine; adkim=s; rua=mailto:dmarc@two.test"),
    # An outside domain that never agreed: nothing goes there.
    ("_dmarc.three.test", "v=DMARC1; p=none; rua=mailto:r@noauth.test"),
    # A limit far below any report.
    ("_dmarc.four.test", "v=DMARC1; p=none; rua=mailto:small@four.test!1k"),
]
MX = [(d, "mx.peer.test", 10) for d in ("reports.test", "two.test", "noauth.test", "four.test")]


def message(domain, subject):
    return ("From: a@%s\r\nTo: u1@%s\r\nSubject: %s\r\n\r\nBody.\r\n"
            % (domain, LOCAL_HOST, subject)).encode()


class DmarcReportTest(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(remotepeers.DNSMASQ):
            self.skipTest("dnsmasq is missing (package dnsmasq-base)")
        if dkim is None:
            self.skipTest("python3-dkim is not installed")
        directory = tempfile.mkdtemp(prefix="zel-e2e-dmarc-")
        self.addCleanup(shutil.rmtree, directory, True)
        self.directory = directory
        self.port = remotepeers.free_smtp_port([PEER])

    def mail_system(self, reports):
        mail = MailSystem(users=["u1"], suite={"DmarcReports": reports},
                          recv={"RelayClients": ["192.0.2.0/24"]},
                          deliv={"Timeout": 1, "SmtpPort": self.port},
                          name_server=DEAD_NAME_SERVER, prefix="zel-e2e-dmarc-")
        self.addCleanup(mail.stop)
        key = records(mail.scratch.zeladm("dkim", "new", "--domain", LOCAL_HOST).stdout)
        dns = NameServer(self.directory, mx=MX, hosts=[("mx.peer.test", PEER)],
                         txt=DMARC + [(n, ",".join(s)) for n, s in key]).start()
        self.addCleanup(dns.stop)
        mail.scratch.reg_set(TCPIP_KEY, "NameServer", "sz", dns.address)
        mail.start()
        return mail, dns

    def journal_lines(self, mail):
        directory = mail.spool("dmarc")
        return sum(read_bytes(os.path.join(directory, n)).count(b"\n")
                   for n in os.listdir(directory))

    def test_reports_reach_the_rua_addresses(self):
        peer = Exchanger(PEER, self.port)
        peer.start()
        self.addCleanup(peer.stop)
        mail, dns = self.mail_system(1)
        sent = [("x@one.test", "one.test"), ("x@one.test", "one.test"),
                ("x@other.test", "two.test"), ("x@three.test", "three.test"),
                ("x@four.test", "four.test")]
        for sender, domain in sent:
            mail.send(sender, ["u1"], message(domain, "from " + domain))
        self.assertTrue(poll(lambda: self.journal_lines(mail) == len(sent)))
        self.assertEqual(os.stat(mail.spool("dmarc")).st_mode & 0o777, 0o700)
        mail.scratch.zeladm("dmarc", "report", "--now")
        self.assertTrue(poll(lambda: peer.message_count() >= 2 and not os.listdir(
            mail.spool("dmarc-run"))))
        # Every report of the run was queued before its file went; once the
        # queue is empty, none went to the domain that did not agree, nor
        # past a too small limit.
        self.assertTrue(poll(lambda: not json.loads(
            mail.scratch.zeladm("queue", "list", "--json").stdout)["messages"]))
        self.assertFalse(os.path.exists(mail.spool("dmarc-report.now")))
        self.assertEqual(os.listdir(mail.spool("dmarc")), [])
        reports = {}
        for _, rcpts, content in peer.messages:
            self.assertTrue(dkim.verify(content, dnsfunc=txt_lookup(dns.port)), content[:400])
            reports[tuple(rcpts)] = content
        self.assertEqual(sorted(reports), [("agg@reports.test",), ("dmarc@two.test",)])
        one = self.feedback(reports[("agg@reports.test",)], "one.test")
        self.assertEqual(self.rows(one), [("127.0.0.1", "2", "none", "fail", "pass", "one.test")])
        two = self.feedback(reports[("dmarc@two.test",)], "two.test")
        self.assertEqual(self.rows(two),
                         [("127.0.0.1", "1", "quarantine", "fail", "fail", "two.test")])
        self.assertEqual(two.findtext("policy_published/p"), "quarantine")
        self.assertEqual(two.findtext("policy_published/adkim"), "s")
        self.assertEqual(two.findtext("record/auth_results/spf/domain"), "other.test")
        self.assertEqual(one.findtext("report_metadata/org_name"), LOCAL_HOST)
        self.assertNotEqual(one.findtext("report_metadata/report_id"),
                            two.findtext("report_metadata/report_id"))

    def feedback(self, content, domain):
        msg = email.message_from_bytes(content)
        self.assertTrue(msg.is_multipart())
        self.assertIn("Report Domain: " + domain, msg["Subject"])
        [part] = [p for p in msg.walk() if p.get_content_type() == "application/gzip"]
        self.assertRegex(part.get_filename(),
                         r"^%s!%s!\d+!\d+\.xml\.gz$" % (re.escape(LOCAL_HOST), re.escape(domain)))
        root = ET.fromstring(gzip.decompress(part.get_payload(decode=True)))
        self.assertEqual(root.findtext("policy_published/domain"), domain)
        return root

    def rows(self, root):
        return [(r.findtext("row/source_ip"), r.findtext("row/count"),
                 r.findtext("row/policy_evaluated/disposition"),
                 r.findtext("row/policy_evaluated/dkim"), r.findtext("row/policy_evaluated/spf"),
                 r.findtext("identifiers/header_from")) for r in root.findall("record")]

    def test_reports_off_record_nothing(self):
        mail, _ = self.mail_system(0)
        mail.send("x@one.test", ["u1"], message("one.test", "unrecorded"))
        self.assertTrue(poll(lambda: mail.messages("u1")))
        self.assertEqual(os.listdir(mail.spool("dmarc")), [])
        refused = mail.scratch.zeladm("dmarc", "report", "--now", check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertFalse(os.path.exists(mail.spool("dmarc-report.now")))


if __name__ == "__main__":
    unittest.main()
