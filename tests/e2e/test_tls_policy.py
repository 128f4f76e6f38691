"""Verified TLS to other servers end to end: DANE against zones signed in
the test (ldns-signzone), served by nsd and validated by unbound; MTA-STS
with policies served over HTTPS by the test; and the relay host's
GatewayTls. Certificates come from a CA of the test's own (TlsCaFile and
GatewayCaFile point at it).

The exchangers are aiosmtpd servers on loopback addresses (remotepeers); the
mail system's NameServer is unbound for the DANE tests and dnsmasq for the
relay host's. A deferred exchanger is one that got no MAIL command: the mail
stays queued and the domain's try count goes up. Every wait is bounded.
"""

import os
import re
import ssl
import unittest

import test_remote_delivery as remote
import tlspeers
from test_remote_delivery import RemoteCase
from tlspeers import PolicyServer, SignedDns, TestCa, spki_sha256
from zelharness import read_bytes

# The TLS versions the agent may use, as the outlog names them.
TLS_VERSION = r"TLSv1\.[23]"
# Implicit TLS is the relay host's only on this port, so the test binds it,
# on a loopback address no other test of this module uses.
IMPLICIT_TLS_PORT = 465
IMPLICIT_TLS_ADDRESS = "127.0.0.19"
# The MTA-STS policies are fetched from port 443, here.
POLICY_ADDRESS = "127.0.0.18"


def setUpModule():
    remote.setUpModule()
    for tool in (tlspeers.NSD, tlspeers.UNBOUND, tlspeers.LDNS_KEYGEN, tlspeers.LDNS_SIGNZONE):
        if not os.access(tool, os.X_OK):
            raise RuntimeError("%s is needed (Debian packages nsd, unbound, ldnsutils)" % tool)


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class TlsCase(RemoteCase):

    def make_ca(self):
        if not hasattr(self, "_ca"):
            self._ca = TestCa(self.scratch_dir())
        return self._ca

    def assertDeferred(self, domain, exchanger, reason, contacted=True):
        """No transaction began at exchanger (contacted: it was connected
        to); the domain's record says why."""
        self.wait_try_number(domain, 1)
        verbs = [v for s in exchanger.session_list() for v in s.verbs()]
        self.assertNotIn("MAIL", verbs)
        self.assertEqual(exchanger.messages, [])
        self.assertEqual(bool(exchanger.session_list()), contacted)
        record = read_bytes(self.domain_dir(domain, "DOMAIN.MRI")).decode("latin-1")
        self.assertIn(reason, record)
        self.assertEqual(len(self.queued(domain)), 1)


class DaneTest(TlsCase):

    def test_dane_match_mismatch_and_unsigned(self):
        ca = self.make_ca()
        cert, key = ca.issue("mx1.sec.test")
        other, _ = ca.issue("other.sec.test")
        port = remote.SMTP_PORT
        tlsa = "_%d._tcp.%s IN TLSA 3 1 1 %s"
        zones = {
            # Signed: DANE applies. mx1 publishes the key it presents, mx2
            # one it does not.
            "sec.test": (True, ["good IN MX 10 mx1", "mx1 IN A 127.0.0.2",
                                tlsa % (port, "mx1", spki_sha256(cert)),
                                "bad IN MX 10 mx2", "mx2 IN A 127.0.0.3",
                                tlsa % (port, "mx2", spki_sha256(other))]),
            # Unsigned: the same mismatching record means nothing.
            "plain.test": (False, ["@ IN MX 10 mx", "mx IN A 127.0.0.4",
                                   tlsa % (port, "mx", spki_sha256(other))]),
        }
        dns = SignedDns(self.scratch_dir(), zones).start()
        self.addCleanup(dns.stop)
        self.mail_system(dns.address)
        good = self.exchanger("127.0.0.2", tls_context=server_context(cert, key))
        bad = self.exchanger("127.0.0.3", tls_context=server_context(cert, key))
        plain = self.exchanger("127.0.0.4", tls_context=server_context(cert, key))
        self.send(["bob@good.sec.test"], "dane")
        self.send(["bob@bad.sec.test"], "dane mismatch")
        self.send(["bob@plain.test"], "no dane")
        self.start_agent()
        self.wait_messages_at(good, 1)
        self.wait_messages_at(plain, 1)
        self.assertDeferred("bad.sec.test", bad, "TLS required (dane)")
        self.wait_domain_done("good.sec.test")
        self.wait_domain_done("plain.test")
        self.assertRegex(self.outlog_line_to("127.0.0.2"),
                         r" to bob@good\.sec\.test \(TLS %s dane verified\)$" % TLS_VERSION)
        self.assertRegex(self.outlog_line_to("127.0.0.4"),
                         r" to bob@plain\.test \(TLS %s\)$" % TLS_VERSION)


def policy(mode, *mx, padding=0):
    return ("version: STSv1\r\nmode: %s\r\n%smax_age: 86400\r\n%s"
            % (mode, "".join("mx: %s\r\n" % m for m in mx), "x: %s\r\n" % ("y" * padding)))


class MtaStsTest(TlsCase):

    def test_enforce_testing_and_a_policy_too_large(self):
        ca = self.make_ca()
        domains = ["sts.test", "other.test", "try.test", "big.test"]
        cert, key = ca.issue(*["mx." + d for d in domains])
        web_cert, web_key = ca.issue(*["mta-sts." + d for d in domains])
        addresses = ["127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.6"]
        ns = self.name_server(
            mx=[(d, "mx." + d, 10) for d in domains],
            hosts=[("mx." + d, a) for d, a in zip(domains, addresses)]
            + [("mta-sts." + d, POLICY_ADDRESS) for d in domains],
            txt=[("_mta-sts." + d, "v=STSv1; id=1") for d in domains])
        web = PolicyServer(POLICY_ADDRESS, web_cert, web_key, {
            "mta-sts.sts.test": policy("enforce", "mx.sts.test"),
            "mta-sts.other.test": policy("enforce", "mx.elsewhere.test"),
            "mta-sts.try.test": policy("testing", "mx.elsewhere.test"),
            # Would defer big.test's mail, if it were not refused for its size.
            "mta-sts.big.test": policy("enforce", "mx.elsewhere.test", padding=64 * 1024)}).start()
        self.addCleanup(web.stop)
        self.mail_system(ns.address, deliv={"TlsCaFile": ca.cert_path})
        # try.test's exchanger (testing mode) presents a certificate for
        # another name: checked, logged, and used all the same.
        wrong = server_context(*ca.issue("wrong.test"))
        ex = {d: self.exchanger(a, tls_context=wrong if d == "try.test" else
                                server_context(cert, key))
              for d, a in zip(domains, addresses)}
        for d in domains:
            self.send(["bob@" + d], "to " + d)
        self.start_agent()
        for d in ("sts.test", "try.test", "big.test"):
            self.wait_messages_at(ex[d], 1)
            self.wait_domain_done(d)
        self.assertDeferred("other.test", ex["other.test"], "TLS required (mta-sts)",
                            contacted=False)
        self.assertRegex(self.outlog_line_to("127.0.0.2"),
                         r"\(TLS %s mta-sts verified\)$" % TLS_VERSION)
        self.assertRegex(self.outlog_line_to("127.0.0.4"),
                         r"\(TLS %s mta-sts unverified\)$" % TLS_VERSION)
        self.assertRegex(self.outlog_line_to("127.0.0.6"), r"\(TLS %s\)$" % TLS_VERSION)
        events = self.mail.scratch.events()
        self.assertIn("Outgoing TLS policy of mx.try.test: MTA-STS testing: the exchanger is not "
                      "named", events)
        self.assertIn("Outgoing TLS policy of mx.try.test: MTA-STS testing: the certificate does "
                      "not check out; used anyway", events)
        self.assertIn("Outgoing TLS policy of big.test: MTA-STS policy not fetched: the answer "
                      "is longer than 65536 bytes", events)
        # A second attempt finds the same id: the cached policy serves it.
        self.send(["carol@sts.test"], "again")
        self.wait_messages_at(ex["sts.test"], 2)
        self.wait_domain_done("sts.test")
        self.assertEqual(sorted(h for h, _ in web.requests),
                         sorted("mta-sts." + d for d in domains))


class GatewayTest(TlsCase):

    def relay(self, gateway_tls, cert_names, address="127.0.0.5", deliv=None, implicit=False):
        """A relay host gw.relay.test at address with a certificate of the
        test CA for cert_names; the mail system sends everything there."""
        ca = self.make_ca()
        cert, key = ca.issue(*cert_names)
        ns = self.name_server(hosts=[("gw.relay.test", address)])
        suite = {"GatewayName": "gw.relay.test", "GatewayTls": gateway_tls,
                 "GatewayCaFile": ca.cert_path}
        self.mail_system(ns.address, suite=suite, deliv=deliv)
        context = server_context(cert, key)
        if implicit:
            ex = remote.Exchanger(address, IMPLICIT_TLS_PORT, implicit_tls=context).start()
            self.addCleanup(ex.stop)
            return ex
        return self.exchanger(address, tls_context=context)

    def test_verify_for_the_gateway_name(self):
        ex = self.relay("verify", ["gw.relay.test"])
        self.send(["bob@far.test"], "through the relay")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("far.test")
        self.assertRegex(self.outlog_line_to("127.0.0.5"),
                         r" gw\.relay\.test from .* \(TLS %s gateway verified\)$" % TLS_VERSION)

    def test_verify_refuses_another_name(self):
        ex = self.relay("verify", ["other.relay.test"])
        self.send(["bob@far.test"], "not to an impostor")
        self.start_agent()
        self.assertDeferred("far.test", ex, "TLS required (gateway)")

    def test_opportunistic_takes_any_certificate(self):
        ex = self.relay("opportunistic", ["other.relay.test"])
        self.send(["bob@far.test"], "anyway")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("far.test")
        self.assertRegex(self.outlog_line_to("127.0.0.5"),
                         r"\(TLS %s gateway unverified\)$" % TLS_VERSION)

    def test_implicit_tls_on_port_465(self):
        ex = self.relay("verify", ["gw.relay.test"], address=IMPLICIT_TLS_ADDRESS,
                        deliv={"SmtpPort": IMPLICIT_TLS_PORT}, implicit=True)
        self.send(["bob@far.test"], "tls from the start")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("far.test")
        session = ex.session_list()[0]
        # No STARTTLS, no second EHLO: TLS was there before the greeting.
        self.assertEqual(session.verbs(), ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertIsNotNone(session.tls)
        self.assertRegex(self.outlog_line_to(IMPLICIT_TLS_ADDRESS),
                         r"\(TLS %s gateway verified\)$" % TLS_VERSION)


if __name__ == "__main__":
    unittest.main()
