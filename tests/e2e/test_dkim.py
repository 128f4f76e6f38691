"""DKIM through OpenDKIM as zelrecv's mail filters.

A key from opendkim-genkey, its public record served as TXT by the test's
dnsmasq, and one receiver with two OpenDKIM instances in its Milters: a
signer (Mode s, the inside client 127.0.0.1 is an internal host) and a
verifier (Mode v) behind it, which sees the signed text. Mail submitted from
the inside is signed, and the signature verifies with dkimpy (python3-dkim)
against the dnsmasq record; mail that arrives with a good or a broken
signature of another sender gets Authentication-Results pass or fail.
"""

import os
import re
import socket
import subprocess
import time
import unittest

import remotepeers
from zelharness import (PeersCase, WAIT_SECONDS, Receiver, free_port, read_bytes, service_key,
                        stop_child)

DOMAIN, SELECTOR = "example.test", "zel"
RECEIVED_OK = "250 Message received OK\r\n"
TOOLS = ("/usr/sbin/opendkim", "/usr/sbin/opendkim-genkey", remotepeers.DNSMASQ)


def missing():
    for tool in TOOLS:
        if not os.path.exists(tool):
            return "%s is missing (packages opendkim, opendkim-tools, dnsmasq-base)" % tool
    try:
        import dkim  # noqa: F401
    except ImportError:
        return "python3-dkim is not installed"
    return ""


def txt_lookup(port):
    """dkimpy's DNS function, asking the test's dnsmasq only."""
    def lookup(name, timeout=5):
        name = name.decode() if isinstance(name, bytes) else name
        for _, kind, value in remotepeers.query_dns(port, name.rstrip("."), 16).answers:
            if kind != "16" and kind != "TXT":
                continue
            text, pos = b"", 0
            while pos < len(value):
                text += value[pos + 1:pos + 1 + value[pos]]
                pos += 1 + value[pos]
            return text
        return None
    return lookup


def unstuffed(stored):
    """The message as sent, from its spool form."""
    body = stored[:-3] if stored.endswith(b"\r\n.\r\n") else stored
    return body.replace(b"\r\n.", b"\r\n")


class OpenDkim:
    def __init__(self, directory, name, mode, key, resolver):
        self.port = free_port()
        conf = os.path.join(directory, name + ".conf")
        with open(conf, "w", encoding="utf-8") as f:
            f.write("Mode %s\nSocket inet:%d@127.0.0.1\nDomain %s\nSelector %s\nKeyFile %s\n"
                    "ResolverConfiguration %s\nRequireSafeKeys no\nSyslog no\n"
                    "AuthservID zeltest.example.test\n"
                    % (mode, self.port, DOMAIN, SELECTOR, key, resolver))
            # The verifier takes every client as an outside one.
            f.write("InternalHosts csl:127.0.0.1\n" if "s" in mode
                    else "InternalHosts csl:192.0.2.1\n")
        self.proc = subprocess.Popen(["/usr/sbin/opendkim", "-f", "-x", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise AssertionError("opendkim (%s) did not start" % name)

    @property
    def spec(self):
        return "inet:127.0.0.1:%d" % self.port

    def stop(self):
        stop_child(self.proc)


class DkimTest(PeersCase):
    @classmethod
    def setUpClass(cls):
        why = missing()
        if why:
            raise unittest.SkipTest(why)
        super().setUpClass()

    @classmethod
    def start_peers(cls):
        receiver = Receiver({"RelayClients": ["127.0.0.1/32"]}, prefix="zel-e2e-dkim-")
        cls.stops.append(receiver.stop)
        directory = receiver.scratch.path("dkim")
        os.makedirs(directory)
        subprocess.run(["/usr/sbin/opendkim-genkey", "-b", "1024", "-d", DOMAIN, "-s", SELECTOR,
                        "-D", directory], check=True)
        with open(os.path.join(directory, SELECTOR + ".txt"), encoding="utf-8") as f:
            record = "".join(re.findall(r'"([^"]*)"', f.read()))
        cls.key = read_bytes(os.path.join(directory, SELECTOR + ".private"))
        dns = remotepeers.NameServer(directory, txt=[
            ("%s._domainkey.%s" % (SELECTOR, DOMAIN), record)]).start()
        cls.stops.append(dns.stop)
        cls.lookup = staticmethod(txt_lookup(dns.port))
        resolver = os.path.join(directory, "unbound.conf")
        with open(resolver, "w", encoding="utf-8") as f:
            # The dnsmasq alone (unbound answers "test." itself by default).
            f.write('server:\n  do-not-query-localhost: no\n  local-zone: "test." nodefault\n'
                    'forward-zone:\n  name: "."\n  forward-addr: 127.0.0.1@%d\n' % dns.port)
        key = os.path.join(directory, SELECTOR + ".private")
        signer = OpenDkim(directory, "signer", "s", key, resolver)
        cls.stops.append(signer.stop)
        verifier = OpenDkim(directory, "verifier", "v", key, resolver)
        cls.stops.append(verifier.stop)
        receiver.scratch.reg_set(service_key("ZELRECV"), "Milters", "multi_sz", signer.spec,
                                 verifier.spec)
        cls.receiver = receiver.start()

    def send(self, sender, data):
        before = set(os.listdir(self.receiver.queue))
        self.assertEqual(self.receiver.send_message(sender, ["u1@localhost"], data), RECEIVED_OK)
        [name] = [n for n in set(os.listdir(self.receiver.queue)) - before if n.endswith(".MSG")]
        return unstuffed(read_bytes(os.path.join(self.receiver.queue, name)))

    def test_inside_mail_is_signed_and_verifies(self):
        import dkim
        stored = self.send("a@" + DOMAIN, b"From: a@example.test\r\nTo: u1@localhost\r\n"
                                          b"Subject: signed\r\n\r\nHello.\r\n.line\r\n.\r\n")
        self.assertIn(b"DKIM-Signature:", stored)
        self.assertIn(b"d=example.test", stored)
        self.assertTrue(dkim.verify(stored, dnsfunc=self.lookup))
        self.assertFalse(dkim.verify(stored.replace(b"Hello.", b"Hullo."), dnsfunc=self.lookup))

    def test_arriving_signatures_are_checked(self):
        import dkim
        message = b"From: b@other.test\r\nTo: u1@localhost\r\nSubject: in\r\n\r\nBody text.\r\n"
        signature = dkim.sign(message, SELECTOR.encode(), DOMAIN.encode(), self.key,
                              include_headers=[b"from", b"to", b"subject"])
        good = self.send("b@other.test", signature + message + b".\r\n")
        broken = self.send("b@other.test", signature + message.replace(b"Body", b"Bad") + b".\r\n")
        result = re.compile(rb"Authentication-Results:[^\r]*\r\n(?:[ \t][^\r]*\r\n)*")
        self.assertRegex(b"".join(result.findall(good)), rb"dkim=pass")
        self.assertRegex(b"".join(result.findall(broken)), rb"dkim=fail")


if __name__ == "__main__":
    unittest.main()
