"""The built-in DKIM signer and verifier.

Keys made by "zeladm dkim new" (RSA and Ed25519), their printed records
served as TXT by the test's dnsmasq. Mail of an authenticated submission
session and of a relay client is signed; the signatures are checked by
dkimpy (python3-dkim) against the dnsmasq records, by opendkim-testmsg (in a
network namespace of its own, whose only name server is a dnsmasq on its
loopback: the machine's resolver is never asked) and by ZEL's own verifier
("zeladm dkim verify", NameServer at the dnsmasq). Mail from outside, and
any mail while DkimSigning is 0, is not signed.
"""

import base64
import grp
import os
import re
import subprocess
import unittest

import remotepeers
from test_dkim import txt_lookup, unstuffed
from zelharness import (PeersCase, DEAD_NAME_SERVER, IS_ROOT, TCPIP_KEY, WAIT_SECONDS, ZEL_KEY, Receiver,
                        Scratch, read_bytes)

DOMAIN = "example.test"
RECEIVED_OK = "250 Message received OK\r\n"
MESSAGE = ("From: U One <u1@example.test>\r\nTo: r@remote.test\r\nSubject: signed\r\n\r\n"
           "Hello.\r\n..dotted line\r\n")


def missing():
    for tool in ("/usr/sbin/opendkim-testmsg", remotepeers.DNSMASQ, "/usr/bin/unshare"):
        if not os.path.exists(tool):
            return "%s is missing (packages opendkim-tools, dnsmasq-base, util-linux)" % tool
    try:
        import dkim  # noqa: F401
    except ImportError:
        return "python3-dkim is not installed"
    return "" if IS_ROOT else "opendkim-testmsg's name server needs a namespace (root)"


def records(printed):
    """[(name, [strings])] of the TXT lines zeladm printed."""
    found = []
    for line in printed.splitlines():
        m = re.match(r'^(\S+)\. IN TXT (.*)$', line)
        if m:
            found.append((m.group(1), re.findall(r'"([^"]*)"', m.group(2))))
    return found


def testmsg(message, txt):
    """opendkim-testmsg's verdict on message: its exit status and output.
    It asks the C library's resolver, so it runs in new network and mount
    namespaces, with a dnsmasq on that namespace's 127.0.0.1:53 as the only
    name server of its /etc/resolv.conf."""
    options = " ".join("'--txt-record=%s,%s'" % (n, ",".join(s)) for n, s in txt)
    script = ("set -e; ip link set lo up; d=$(mktemp -d); echo 'nameserver 127.0.0.1' > $d/r; "
              "mount --bind $d/r /etc/resolv.conf; %s --port=53 --listen-address=127.0.0.1 "
              "--bind-interfaces --no-resolv --no-hosts --conf-file=/dev/null "
              "--pid-file=$d/pid %s; set +e; /usr/sbin/opendkim-testmsg; rc=$?; "
              "kill $(cat $d/pid); rm -r $d; exit $rc" % (remotepeers.DNSMASQ, options))
    result = subprocess.run(["unshare", "--net", "--mount", "sh", "-c", script], input=message,
                            capture_output=True, timeout=WAIT_SECONDS)
    return result.returncode, result.stdout + result.stderr


def signatures(stored):
    """The message once per DKIM-Signature field, with that one alone."""
    fields = re.findall(rb"DKIM-Signature:[^\r]*\r\n(?:[ \t][^\r]*\r\n)*", stored)
    rest = stored
    for f in fields:
        rest = rest.replace(f, b"", 1)
    return [f + rest for f in fields]


class DkimSigningTest(PeersCase):
    @classmethod
    def setUpClass(cls):
        why = missing()
        if why:
            raise unittest.SkipTest(why)
        super().setUpClass()

    @classmethod
    def start_peers(cls):
        cls.receiver = Receiver({"RelayClients": ["127.0.0.1/32"]}, submission=True,
                                users={"u1": "secret"}, prefix="zel-e2e-dkimsign-")
        cls.stops.append(cls.receiver.stop)
        scratch = cls.receiver.scratch
        scratch.reg_set(ZEL_KEY, "DomainNamesAreLocal", "multi_sz", DOMAIN)
        cls.txt = records(scratch.zeladm("dkim", "new", "--domain", DOMAIN).stdout)
        dns = remotepeers.NameServer(scratch.path(), txt=[
            (n, ",".join(s)) for n, s in cls.txt]).start()
        cls.stops.append(dns.stop)
        cls.lookup = staticmethod(txt_lookup(dns.port))
        cls.name_server = dns.address
        scratch.reg_set(TCPIP_KEY, "NameServer", "sz", dns.address)
        cls.receiver.start()

    def stored(self, before):
        [name] = [n for n in set(os.listdir(self.receiver.queue)) - before if n.endswith(".MSG")]
        return unstuffed(read_bytes(os.path.join(self.receiver.queue, name)))

    def submit(self, message):
        before = set(os.listdir(self.receiver.queue))
        auth = base64.b64encode(b"\0u1\0secret").decode()
        with self.receiver.connect(port=self.receiver.submission_port) as conn:
            conn.multiline("EHLO client.example")
            for line, want in (("AUTH PLAIN " + auth, "235"),
                               ("MAIL FROM:<u1@example.test>", "250"),
                               ("RCPT TO:<r@remote.test>", "250"), ("DATA", "354")):
                self.assertTrue(conn.command(line).startswith(want), line)
            conn.send(message.encode() + b".\r\n")
            self.assertEqual(conn.reply(), RECEIVED_OK)
        return self.stored(before)

    def send(self, message, source=None):
        before = set(os.listdir(self.receiver.queue))
        with self.receiver.connect(source=source) as conn:
            for line in ("HELO client.example", "MAIL FROM:<x@example.test>",
                         "RCPT TO:<u1@example.test>", "DATA"):
                conn.command(line)
            conn.send(message.encode() + b".\r\n")
            self.assertEqual(conn.reply(), RECEIVED_OK)
        return self.stored(before)

    def verify(self, message, *name_server):
        if name_server:
            self.receiver.scratch.reg_set(TCPIP_KEY, "NameServer", "sz", *name_server)
        path = self.receiver.scratch.path("verify.eml")
        with open(path, "wb") as f:
            f.write(message)
        return self.receiver.scratch.zeladm("dkim", "verify", path, check=False)

    def test_submission_is_signed_with_both_keys(self):
        import dkim
        stored = self.submit(MESSAGE)
        one_by_one = signatures(stored)
        self.assertEqual(len(one_by_one), 2)
        self.assertIn(b"a=rsa-sha256", one_by_one[0] + one_by_one[1])
        self.assertIn(b"a=ed25519-sha256", one_by_one[0] + one_by_one[1])
        for message in one_by_one:
            self.assertTrue(dkim.verify(message, dnsfunc=self.lookup), message[:300])
            rc, out = testmsg(message, self.txt)
            self.assertEqual(rc, 0, out)
        result = self.verify(stored)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.count("dkim=pass header.d=example.test"), 2, result.stdout)
        changed = stored.replace(b"Hello.", b"Hullo.")
        for message in signatures(changed):
            self.assertFalse(dkim.verify(message, dnsfunc=self.lookup))
            self.assertNotEqual(testmsg(message, self.txt)[0], 0)
        result = self.verify(changed)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.count("dkim=fail"), 2, result.stdout)

    def test_relay_clients_are_signed_and_outside_clients_not(self):
        import dkim
        inside = self.send(MESSAGE)
        self.assertTrue(dkim.verify(signatures(inside)[0], dnsfunc=self.lookup))
        self.assertNotIn(b"DKIM-Signature", self.send(MESSAGE, source="127.0.0.2"))

    def test_verifier_keyless_and_unreachable(self):
        stored = self.submit(MESSAGE)
        unpublished = stored.replace(b"s=z", b"s=y")
        result = self.verify(unpublished)
        self.assertEqual(result.stdout.count("dkim=permerror"), 2, result.stdout)
        result = self.verify(stored, DEAD_NAME_SERVER)
        self.receiver.scratch.reg_set(TCPIP_KEY, "NameServer", "sz", self.name_server)
        self.assertEqual(result.stdout.count("dkim=temperror"), 2, result.stdout)


class DkimSigningOffTest(unittest.TestCase):
    def test_dkim_signing_0_signs_nothing(self):
        receiver = Receiver({"RelayClients": ["127.0.0.1/32"]}, prefix="zel-e2e-dkimoff-")
        try:
            scratch = receiver.scratch
            scratch.reg_set(ZEL_KEY, "DomainNamesAreLocal", "multi_sz", DOMAIN)
            scratch.reg_set(ZEL_KEY, "DkimSigning", "dword", "0")
            scratch.zeladm("dkim", "new", "--domain", DOMAIN, "--algorithm", "ed25519")
            receiver.start()
            self.assertEqual(receiver.send_message("x@example.test", ["u1@example.test"],
                                                   MESSAGE + ".\r\n"), RECEIVED_OK)
            [name] = [n for n in os.listdir(receiver.queue) if n.endswith(".MSG")]
            self.assertNotIn(b"DKIM-Signature", read_bytes(os.path.join(receiver.queue, name)))
        finally:
            receiver.stop()


class ZeladmDkimTest(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch("zel-e2e-dkimadm-")
        self.addCleanup(self.scratch.cleanup)

    def test_new_rotate_retire(self):
        import dkim
        z = self.scratch.zeladm
        made = records(z("dkim", "new", "--domain", "Example.Test.", "--selector", "s1").stdout)
        self.assertEqual([n for n, _ in made], ["s1-rsa._domainkey.example.test",
                                               "s1-ed25519._domainkey.example.test"])
        directory = self.scratch.path("etc", "zel", "dkim", DOMAIN)
        for name in ("s1-rsa.rsa.pem", "s1-ed25519.ed25519.pem"):
            st = os.stat(os.path.join(directory, name))
            self.assertEqual(st.st_mode & 0o777, 0o640 if self.shared() else 0o600)
            if self.shared():
                self.assertEqual((st.st_uid, grp.getgrgid(st.st_gid).gr_name), (0, "zel"))
        # The printed record is what a verifier needs: dkimpy checks a
        # signature of the key against it.
        key = read_bytes(os.path.join(directory, "s1-rsa.rsa.pem"))
        message = MESSAGE.encode()
        signed = dkim.sign(message, b"s1-rsa", DOMAIN.encode(), key) + message
        record = "".join(made[0][1]).encode()
        self.assertTrue(dkim.verify(signed, dnsfunc=lambda name, timeout=5: record))
        self.assertEqual(z("dkim", "new", "--domain", DOMAIN, "--selector", "s1",
                           check=False).returncode, 1)
        rotated = z("dkim", "rotate", "--domain", DOMAIN, "--selector", "s2").stdout
        self.assertEqual(len(records(rotated)), 4)
        self.assertIn("retire --domain example.test --selector s1-rsa", rotated)
        with open(os.path.join(directory, "signing"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "rsa s2-rsa\ned25519 s2-ed25519\n")
        self.assertEqual(z("dkim", "retire", "--domain", DOMAIN, "--selector", "s2-rsa",
                           check=False).returncode, 1)
        z("dkim", "retire", "--domain", DOMAIN, "--selector", "s1-rsa")
        self.assertFalse(os.path.exists(os.path.join(directory, "s1-rsa.rsa.pem")))
        self.assertEqual(z("dkim", "new", "--domain", "../etc", check=False).returncode, 2)

    def shared(self):
        try:
            grp.getgrnam("zel")
            return IS_ROOT
        except KeyError:
            return False


if __name__ == "__main__":
    unittest.main()
