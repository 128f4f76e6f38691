"""zeladm tls self-signed, driven as an administrator would: the pair it
writes (modes, names, validity, a key that fits the certificate, as openssl
sees them; run by root, a key the service account's group reads), the
registry values and counter it sets, a renewal replacing the pair, and bad
input or an unwritable place refused with nothing written.
Both servers take the pair at start and again on SIGHUP, keeping the old
one when the new one is broken.
"""
import os
import pwd
import signal
import ssl
import stat
import subprocess
import unittest

from zelharness import ZEL_KEY, Pop3Server, Receiver, ZeladmCase, poll

HOST = "mail.example.test"


def openssl(*args):
    return subprocess.run(["openssl", *args], capture_output=True, text=True, timeout=20,
                          check=True).stdout


class ZeladmTlsTest(ZeladmCase):
    prefix = "zel-e2e-tls-"

    def setUp(self):
        super().setUp()
        # No service account: the key is its writer's alone (the shared
        # key has its own test).
        self.ok("reg", "set", ZEL_KEY, "ServiceAccount", "sz", "")
        self.dir = os.path.join(self.root, "etc", "zel", "tls")
        self.cert = os.path.join(self.dir, "cert.pem")
        self.key = os.path.join(self.dir, "key.pem")

    def value(self, name):
        r = self.zeladm("reg", "get", ZEL_KEY, name)
        return r.stdout.decode().rstrip("\n") if r.returncode == 0 else None

    def assertPair(self, cert, key, host, days):
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(cert).st_mode), 0o644)
        shown = openssl("x509", "-in", cert, "-noout", "-subject", "-ext", "subjectAltName")
        self.assertIn("subject=CN = %s\n" % host, shown)
        self.assertIn("DNS:%s\n" % host, shown)
        # Valid for the days asked, not one more.
        openssl("x509", "-in", cert, "-noout", "-checkend", str((days - 1) * 86400))
        r = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-checkend",
                            str(days * 86400 + 60)], capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(openssl("x509", "-in", cert, "-noout", "-pubkey"),
                         openssl("pkey", "-in", key, "-pubout"))
        self.assertEqual(self.value("TlsCertificateFile"), cert)
        self.assertEqual(self.value("TlsKeyFile"), key)

    def test_default_pair_then_renewal(self):
        out = self.ok("tls", "self-signed", "--name", HOST)
        self.assertIn("certificate %s\nkey %s\n" % (self.cert, self.key), out)
        self.assertPair(self.cert, self.key, HOST, 365)
        self.assertEqual(self.value("ConfigVersion"), "1")
        serial = openssl("x509", "-in", self.cert, "-noout", "-serial")

        self.ok("tls", "self-signed", "--name", "mx2.example.test.", "--days", "30")
        self.assertPair(self.cert, self.key, "mx2.example.test", 30)
        self.assertNotEqual(openssl("x509", "-in", self.cert, "-noout", "-serial"), serial)
        self.assertEqual(self.value("ConfigVersion"), "2")
        self.assertEqual(sorted(os.listdir(self.dir)), ["cert.pem", "key.pem"])

    def test_chosen_files(self):
        cert = os.path.join(self.root, "a", "server.crt")
        key = os.path.join(self.root, "b", "c", "server.key")
        self.ok("tls", "self-signed", "--days", "3650", "--key", key, "--name", HOST,
                "--cert", cert)
        self.assertPair(cert, key, HOST, 3650)
        self.assertFalse(os.path.exists(self.dir))

    def test_key_shared_with_the_service_account_group(self):
        # The receiver reads the key again, as its account, on every reload.
        self.ok("reg", "set", ZEL_KEY, "ServiceAccount", "sz", "nobody")
        self.ok("tls", "self-signed", "--name", HOST)
        key = os.stat(self.key)
        if os.geteuid() != 0:
            self.assertEqual(stat.S_IMODE(key.st_mode), 0o600)   # no group to give it to
            return
        self.assertEqual((key.st_uid, key.st_gid, stat.S_IMODE(key.st_mode)),
                         (0, pwd.getpwnam("nobody").pw_gid, 0o640))
        self.assertEqual(stat.S_IMODE(os.stat(self.dir).st_mode), 0o755)

    def test_bad_input_writes_nothing(self):
        cases = [
            ((), "--name HOST is required"),
            (("--name",), "--name needs a value"),
            (("--name", "a,DNS:evil.test"), "is not a host name"),
            (("--name", "-a.test"), "is not a host name"),
            (("--name", HOST, "--days", "0"), "--days must be a number from 1 to 3650"),
            (("--name", HOST, "--days", "3651"), "--days must be a number"),
            (("--name", HOST, "--days", "+5"), "--days must be a number"),
            (("--name", HOST, "--cert", "cert.pem"), "--cert must be an absolute path"),
            (("--name", HOST, "--cert", "/tmp/x.pem", "--key", "/tmp/x.pem"),
             "must name different files"),
            (("--name", HOST, "--force", "1"), 'unknown option "--force"'),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.fails(("tls", "self-signed", *args), 2, message)
        self.assertFalse(os.path.exists(os.path.join(self.root, "etc")))
        self.assertIsNone(self.value("TlsCertificateFile"))

    def test_unwritable_place_leaves_old_pair_and_values(self):
        self.ok("tls", "self-signed", "--name", HOST)
        before = {p: open(p, "rb").read() for p in (self.cert, self.key)}
        blocker = os.path.join(self.root, "file")
        with open(blocker, "w") as f:
            f.write("a file, not a directory\n")
        err = self.fails(("tls", "self-signed", "--name", "other.example.test",
                          "--cert", os.path.join(blocker, "cert.pem")), 1, "cannot create")
        self.assertIn("Not a directory", err)
        # The key would have been written first: it is not, nor any leftover.
        self.assertEqual({p: open(p, "rb").read() for p in before}, before)
        self.assertEqual(sorted(os.listdir(self.dir)), ["cert.pem", "key.pem"])
        self.assertEqual(self.value("TlsCertificateFile"), self.cert)
        self.assertEqual(self.value("ConfigVersion"), "1")


LOADED = "The TLS certificate %s is in use"
NOT_LOADED = "The TLS certificate could not be loaded: %s: certificate: "


class ServersTakeThePairTest(unittest.TestCase):
    def test_loaded_at_start_and_on_sighup(self):
        for server in (Receiver(), Pop3Server()):
            with self.subTest(server=server.program):
                self.addCleanup(server.stop)
                scratch = server.scratch
                cert = scratch.path("etc", "zel", "tls", "cert.pem")
                scratch.zeladm("tls", "self-signed", "--name", HOST)
                server.start()
                self.assertEqual(scratch.events().count(LOADED % cert), 1, scratch.events())

                def reload():
                    server.service.proc.send_signal(signal.SIGHUP)

                with open(cert) as f:
                    first = f.read()
                with open(cert, "w") as f:
                    f.write("garbage\n")
                reload()
                self.assertTrue(poll(lambda: NOT_LOADED % cert in scratch.events()),
                                scratch.events())
                server.connect().close()   # still serving
                if server.program == "zelrecv":
                    # The old pair still serves.
                    self.assertEqual(server.served_certificate(), ssl.PEM_cert_to_DER_cert(first))
                scratch.zeladm("tls", "self-signed", "--name", HOST)
                reload()
                self.assertTrue(poll(lambda: scratch.events().count(LOADED % cert) == 2),
                                scratch.events())
                if server.program == "zelrecv":
                    with open(cert) as f:
                        self.assertEqual(server.served_certificate(),
                                         ssl.PEM_cert_to_DER_cert(f.read()))


if __name__ == "__main__":
    unittest.main()
