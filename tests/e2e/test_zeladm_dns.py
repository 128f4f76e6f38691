"""zeladm dns and zeladm check dns, as an administrator runs them.

The printed records carry the values the site has: the MX host from the
Tcpip values, the relay host in SPF, the DKIM records exactly as "zeladm
dkim show" prints them, the MTA-STS id of the printed policy, the SRV ports
of the registry (a port that is off, or a TLS port without a certificate,
as "not offered"), and the TLSA digest openssl computes of the certificate.
A dnsmasq serving exactly the printed records passes "check dns"; with one
record removed and one changed it fails, naming both.
"""
import hashlib
import os
import re
import subprocess
import unittest

import remotepeers
from zelharness import LOCAL_HOST, TCPIP_KEY, WAIT_SECONDS, ZEL_KEY, Scratch

DOMAIN = "example.test"


def zone_records(printed):
    """[(name, type, data)] of the zone lines printed (comments left out)."""
    found = []
    for line in printed.splitlines():
        m = re.match(r"^(\S+)\. IN (\S+) (.*)$", line)
        if m:
            found.append(m.groups())
    return found


def served(records):
    """The NameServer options that serve exactly these records."""
    options = {"mx": [], "txt": [], "srv": [], "rr": []}
    for name, kind, data in records:
        if kind == "MX":
            preference, host = data.split()
            options["mx"].append((name, host.rstrip("."), int(preference)))
        elif kind == "TXT":
            options["txt"].append((name, ",".join(re.findall(r'"([^"]*)"', data))))
        elif kind == "SRV":
            priority, weight, port, target = data.split()
            options["srv"].append((name,) if target == "." else
                                  (name, target.rstrip("."), port, priority, weight))
        else:
            usage, selector, matching, digest = data.split()
            options["rr"].append((name, 52, usage.zfill(2) + selector.zfill(2) +
                                  matching.zfill(2) + digest))
    return options


def spki_sha256(certificate):
    """The digest of the certificate's public key, as openssl computes it."""
    pem = subprocess.run(["openssl", "x509", "-in", certificate, "-pubkey", "-noout"],
                         capture_output=True, check=True, timeout=WAIT_SECONDS).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pem,
                         capture_output=True, check=True, timeout=WAIT_SECONDS).stdout
    return hashlib.sha256(der).hexdigest()


class ZeladmDnsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(remotepeers.DNSMASQ):
            raise unittest.SkipTest("dnsmasq is missing (package dnsmasq-base)")
        cls.scratch = Scratch("zel-e2e-dns-")
        try:
            # Submission on chosen ports, IMAP on its standard one, POP3's
            # TLS port off.
            cls.scratch.prepare_registry(services={
                "ZELRECV": {"SubmissionPortNo": 2587, "SubmissionTlsPortNo": 2465},
                "ZELIMAP": {"TlsPortNo": 2993}})
            cls.scratch.reg_set(ZEL_KEY, "GatewayName", "sz", "Relay.Example.NET")
            cls.certificate, _ = cls.scratch.self_signed()
            cls.dkim = [line for line in cls.scratch.zeladm("dkim", "new", "--domain", DOMAIN)
                        .stdout.splitlines() if " IN TXT " in line]
            cls.printed = cls.scratch.zeladm("dns", "--domain", DOMAIN.upper() + ".").stdout
            cls.records = zone_records(cls.printed)
        except BaseException:
            cls.scratch.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def data(self, name, kind):
        return [d for n, k, d in self.records if n == name and k == kind]

    def test_printed_records(self):
        self.assertEqual(self.data(DOMAIN, "MX"), ["10 %s." % LOCAL_HOST])
        self.assertEqual(self.data(DOMAIN, "TXT"), ['"v=spf1 mx a:relay.example.net -all"'])
        self.assertEqual(self.data("_dmarc." + DOMAIN, "TXT"),
                         ['"v=DMARC1; p=quarantine; rua=mailto:postmaster@example.test"'])
        self.assertEqual(self.data("_smtp._tls." + DOMAIN, "TXT"),
                         ['"v=TLSRPTv1; rua=mailto:postmaster@example.test"'])
        # The DKIM records are zeladm dkim show's, both keys.
        self.assertEqual(len(self.dkim), 2)
        self.assertEqual([line for line in self.printed.splitlines() if "._domainkey." in line
                          and " IN TXT " in line], self.dkim)
        # The MTA-STS id follows the policy file's text.
        policy = self.scratch.zeladm("dns", "--domain", DOMAIN, "--mta-sts-policy").stdout
        self.assertEqual(policy, "version: STSv1\nmode: enforce\nmx: %s\nmax_age: 604800\n"
                         % LOCAL_HOST)
        policy_id = hashlib.sha256(policy.replace("\n", "\r\n").encode()).hexdigest()[:20]
        self.assertEqual(self.data("_mta-sts." + DOMAIN, "TXT"), ['"v=STSv1; id=%s"' % policy_id])
        self.assertIn("https://mta-sts.example.test/.well-known/mta-sts.txt", self.printed)
        for service, want in (("_submission", "0 1 2587 "), ("_submissions", "0 1 2465 "),
                              ("_imap", "0 1 143 "), ("_imaps", "0 1 2993 "),
                              ("_pop3", "0 1 110 ")):
            self.assertEqual(self.data("%s._tcp.%s" % (service, DOMAIN), "SRV"),
                             [want + LOCAL_HOST + "."], service)
        self.assertEqual(self.data("_pop3s._tcp." + DOMAIN, "SRV"), ["0 0 0 ."])
        self.assertEqual(self.data("_25._tcp." + LOCAL_HOST, "TLSA"),
                         ["3 1 1 " + spki_sha256(self.certificate)])
        self.assertEqual(self.scratch.zeladm("dns", "--domain", "../x", check=False).returncode, 2)

    def check(self, records):
        dns = remotepeers.NameServer(self.scratch.path(), **served(records)).start()
        try:
            self.scratch.reg_set(TCPIP_KEY, "NameServer", "sz", dns.address)
            return self.scratch.zeladm("check", "dns", "--domain", DOMAIN, check=False)
        finally:
            dns.stop()

    def test_check_dns(self):
        result = self.check(self.records)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), len(self.records) + 1)
        # One record gone, one changed: both named, exit status 1.
        changed = [(n, k, '"v=spf1 a -all"' if (n, k) == (DOMAIN, "TXT") else d)
                   for n, k, d in self.records if n != "_dmarc." + DOMAIN]
        result = self.check(changed)
        self.assertEqual(result.returncode, 1, result.stdout)
        lines = result.stdout.splitlines()
        self.assertIn("missing  TXT  _dmarc.example.test (DMARC)", lines)
        self.assertIn('differs  TXT  example.test (SPF): found v=spf1 a -all', lines)
        self.assertEqual(sum(line.startswith("ok ") for line in lines), len(self.records) - 2)


if __name__ == "__main__":
    unittest.main()
