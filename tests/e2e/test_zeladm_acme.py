"""zeladm tls acme and zeladm tls deploy.

Against pebble, the ACME test server, with certbot as an administrator runs
it: pebble's HTTPS certificate is one the test makes, its own CA (certbot
trusts it through REQUESTS_CA_BUNDLE), pebble resolves every name to
127.0.0.1 through pebble-challtestsrv's DNS on loopback, and validates
http-01 on a loopback port where certbot's standalone server answers. A
running zelrecv presents the issued certificate on STARTTLS after the
deploy hook, the lineage again when the installed pair was replaced
(certbot keeps a certificate not yet due without running the hook), and the
next certificate after a forced renewal by certbot alone.

Without pebble, with a stand-in certbot in PATH: bad arguments refused
before certbot runs, a missing certbot named with its package, a failing
one shown by its last lines, and deploy refusing a broken lineage.
"""
import os
import pwd
import shutil
import socket
import ssl
import stat
import subprocess
import tempfile
import unittest

from zelharness import (WAIT_SECONDS, ZEL_KEY, Receiver, ZeladmCase, free_port, poll,
                        program_path, read_bytes)

NAMES = ["mail.example.test", "smtp.example.test"]
# certbot starts slowly (a second or two of Python imports), and an order
# takes a few round trips: a bound far above that on a loaded machine.
CERTBOT_SECONDS = 90
LOADED = "The TLS certificate %s is in use"


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=20,
                          check=True).stdout


def self_signed_pair(directory, name, *extra):
    """A new EC key and a certificate for name, its own CA: (cert, key)."""
    cert, key = os.path.join(directory, "fullchain.pem"), os.path.join(directory, "privkey.pem")
    os.makedirs(directory, exist_ok=True)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name, *extra)
    return cert, key


def wait_listening(port, proc, what):
    def up():
        if proc.poll() is not None:
            raise AssertionError("%s ended: status %s" % (what, proc.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    if not poll(up):
        raise AssertionError("%s does not listen on %d" % (what, port))


def first_certificate(pem_path):
    with open(pem_path) as f:
        text = f.read()
    end = text.index("-----END CERTIFICATE-----") + len("-----END CERTIFICATE-----")
    return ssl.PEM_cert_to_DER_cert(text[:end] + "\n")


def serial_and_names(der):
    return openssl("x509", "-inform", "DER", "-noout", "-serial", "-ext", "subjectAltName",
                   data=der).decode()


class Pebble:
    """pebble and pebble-challtestsrv (DNS only) on loopback ports."""

    def __init__(self, directory):
        # The CA certbot trusts for pebble's HTTPS (REQUESTS_CA_BUNDLE).
        self.ca, key = self_signed_pair(directory, "127.0.0.1",
                                        "-addext", "subjectAltName=IP:127.0.0.1")
        self.port, self.http_port, dns, mgmt = (free_port() for _ in range(4))
        config = os.path.join(directory, "pebble.json")
        with open(config, "w") as f:
            f.write('{"pebble": {"listenAddress": "127.0.0.1:%d", "managementListenAddress": "",'
                    ' "certificate": "%s", "privateKey": "%s", "httpPort": %d, "tlsPort": %d,'
                    ' "ocspResponderURL": "", "externalAccountBindingRequired": false}}'
                    % (self.port, self.ca, key, self.http_port, free_port()))
        log = open(os.path.join(directory, "pebble.log"), "w")
        self.procs = []
        self.procs.append(subprocess.Popen(
            ["pebble-challtestsrv", "-dns01", "127.0.0.1:%d" % dns, "-management",
             "127.0.0.1:%d" % mgmt, "-http01", "", "-https01", "", "-tlsalpn01", "",
             "-defaultIPv4", "127.0.0.1", "-defaultIPv6", ""], stdout=log, stderr=log))
        wait_listening(mgmt, self.procs[0], "pebble-challtestsrv")
        # No sleeps before validation, and no nonce refused on purpose: the
        # run is quick and the same every time.
        env = dict(os.environ, PEBBLE_VA_NOSLEEP="1", PEBBLE_WFE_NONCEREJECT="0")
        self.procs.append(subprocess.Popen(
            ["pebble", "-config", config, "-dnsserver", "127.0.0.1:%d" % dns],
            stdout=log, stderr=log, env=env))
        log.close()
        wait_listening(self.port, self.procs[1], "pebble")
        self.url = "https://127.0.0.1:%d/dir" % self.port

    def stop(self):
        for p in self.procs:
            p.kill()
            p.wait(timeout=WAIT_SECONDS)


@unittest.skipUnless(shutil.which("pebble") and shutil.which("certbot"),
                     "pebble and certbot are not installed (./zel test installs them)")
class AcmeAgainstPebbleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zel-e2e-acme-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.pebble = Pebble(self.dir)
        self.addCleanup(self.pebble.stop)
        self.server = Receiver(tls=True, prefix="zel-e2e-acme-recv-")
        self.addCleanup(self.server.stop)
        self.scratch = self.server.scratch
        self.env = dict(self.scratch.env, REQUESTS_CA_BUNDLE=self.pebble.ca)
        self.lineage = self.scratch.path("etc", "letsencrypt", "live", NAMES[0])

    def run_bounded(self, args):
        r = subprocess.run(args, env=self.env, capture_output=True, text=True,
                           timeout=CERTBOT_SECONDS)
        self.assertEqual(r.returncode, 0, "%s: %s%s" % (args, r.stdout, r.stderr))
        return r.stdout

    def acme(self):
        args = [a for n in NAMES for a in ("--name", n)]
        return self.run_bounded([program_path("zeladm"), "tls", "acme", *args,
                                 "--email", "postmaster@example.test",
                                 "--server", self.pebble.url,
                                 "--standalone-port", str(self.pebble.http_port)])

    def served_after_load(self, loads):
        """The served certificate once the pair was loaded loads times."""
        cert = self.server.cert
        self.assertTrue(poll(lambda: self.scratch.events().count(LOADED % cert) >= loads),
                        self.scratch.events())
        return self.server.served_certificate()

    def test_issue_deploy_reinstall_and_forced_renewal(self):
        self.server.start()
        out = self.acme()
        zeladm = os.path.realpath(program_path("zeladm"))
        self.assertIn("runs: env ZEL_ROOT=%s %s tls deploy" % (self.scratch.root, zeladm), out)
        # The hook put the pair in place and reloaded the running receiver.
        issued = self.served_after_load(2)
        self.assertEqual(issued, first_certificate(os.path.join(self.lineage, "fullchain.pem")))
        shown = serial_and_names(issued)
        self.assertIn("DNS:%s, DNS:%s" % tuple(NAMES), shown)
        self.assertEqual(stat.S_IMODE(os.stat(self.server.key).st_mode), 0o600)

        # Replaced by hand: certbot keeps the lineage (not due) and runs no
        # hook, so zeladm installs it itself.
        fullchain = os.path.join(self.lineage, "fullchain.pem")
        self.scratch.zeladm("tls", "self-signed", "--name", NAMES[0])
        self.assertNotEqual(read_bytes(self.server.cert), read_bytes(fullchain))
        self.acme()
        self.assertEqual(read_bytes(self.server.cert), read_bytes(fullchain))
        self.assertEqual(self.served_after_load(3), issued)

        # certbot's renewal alone (what its timer runs) brings the next one.
        self.run_bounded(["certbot", "renew", "--force-renewal", "--non-interactive",
                          "--no-random-sleep-on-renew",
                          "--config-dir", self.scratch.path("etc", "letsencrypt"),
                          "--work-dir", self.scratch.path("var", "lib", "letsencrypt"),
                          "--logs-dir", self.scratch.path("var", "log", "letsencrypt")])
        renewed = self.served_after_load(4)
        self.assertEqual(renewed, first_certificate(fullchain))
        self.assertNotEqual(serial_and_names(renewed).splitlines()[0], shown.splitlines()[0])


STAND_IN = """#!/bin/sh
printf '%s\\n' "$@" > "$0.args"
i=1
while [ $i -le 20 ]; do echo "line $i"; i=$((i+1)); done
printf 'bell\\007 and the end\\n' >&2
exit 3
"""


class AcmeWithoutPebbleTest(ZeladmCase):
    prefix = "zel-e2e-acme-"

    def setUp(self):
        super().setUp()
        self.bin = os.path.join(self.root, "bin")
        os.mkdir(self.bin)
        self.stand_in = os.path.join(self.bin, "certbot")
        with open(self.stand_in, "w") as f:
            f.write(STAND_IN)
        os.chmod(self.stand_in, 0o755)
        # The stand-in is the only certbot zeladm can find.
        self.env["PATH"] = self.bin

    def test_bad_arguments_refused_before_certbot(self):
        base = ("--name", "mx.example.test", "--email", "a@example.test")
        cases = [
            (("--email", "a@example.test"), "--name HOST is required"),
            (("--name", "mx.example.test"), "--email ADDR is required"),
            (("--name", "mx.example.test;reboot", "--email", "a@example.test"),
             "is not a host name"),
            (("--name", "mx.example.test", "--email", "a b@example.test"), "is not a mail address"),
            (("--name", "mx.example.test", "--email", "a@x;y"), "is not a mail address"),
            (("--name", "mx.example.test", "--email", "-h@example.test"), "is not a mail address"),
            (base + ("--server", "http://acme.test/dir"), "--server must be an https:// URL"),
            (base + ("--standalone-port", "0"), "--standalone-port must be a port number"),
            (base + ("--webroot", "www"), "--webroot must be an absolute path"),
            (base + ("--webroot", "/var/www", "--standalone-port", "8080"), "exclude each other"),
            (base + ("--config-dir",), "--config-dir needs a value"),
            (base + ("--dry-run", "1"), 'unknown option "--dry-run"'),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.fails(("tls", "acme", *args), 2, message)
        # certbot runs its hook with sh -c: a root a shell would split is refused.
        self.fails(("tls", "acme", *base), 1, "cannot go into certbot's hook",
                   root=os.path.join(self.root, "a b;c"))
        self.assertFalse(os.path.exists(self.stand_in + ".args"))

    def test_certbot_missing_or_failing(self):
        args = ("tls", "acme", "--name", "mx.example.test", "--name", "mx2.example.test.",
                "--email", "a@example.test", "--webroot", "/var/www")
        os.rename(self.stand_in, self.stand_in + ".off")
        self.fails(args, 1, "certbot is not installed: install the Debian package certbot")
        os.rename(self.stand_in + ".off", self.stand_in)

        err = self.fails(args, 1, "certbot failed (exit status 3); its last lines:\n")
        # Its last lines, escaped; not its whole story.
        self.assertIn("  line 20\n  bell\\x07 and the end\n", err)
        self.assertNotIn("line 9\n", err)
        with open(self.stand_in + ".args") as f:
            passed = f.read().splitlines()
        self.assertEqual(passed[:2], ["certonly", "--non-interactive"])
        joined = " ".join(passed)
        self.assertIn("-d mx.example.test -d mx2.example.test", joined)
        self.assertIn("--cert-name mx.example.test", joined)
        self.assertIn("--reuse-key", passed)   # the TLSA record survives renewals
        self.assertIn("--webroot -w /var/www", joined)
        self.assertIn("--config-dir %s/etc/letsencrypt" % self.root, joined)
        self.assertIn("--deploy-hook env ZEL_ROOT=%s %s tls deploy"
                      % (self.root, os.path.realpath(program_path("zeladm"))), joined)
        self.assertFalse(os.path.exists(os.path.join(self.root, "etc", "zel")))

    def test_deploy(self):
        lineage, other = os.path.join(self.root, "lineage"), os.path.join(self.root, "other")
        self.fails(("tls", "deploy"), 2, "no lineage")
        self.fails(("tls", "deploy", "--lineage", lineage), 1, "cannot read certbot's pair")
        self.ok("tls", "self-signed", "--name", "old.example.test")
        installed = os.path.join(self.root, "etc", "zel", "tls", "cert.pem")
        before = read_bytes(installed)
        # A key that belongs to another certificate: nothing is installed.
        self_signed_pair(lineage, "a.example.test")
        self_signed_pair(other, "b.example.test")
        os.replace(os.path.join(other, "privkey.pem"), os.path.join(lineage, "privkey.pem"))
        self.fails(("tls", "deploy", "--lineage", lineage), 1, "cannot be used")
        self.assertEqual(read_bytes(installed), before)
        # A good pair, from RENEWED_LINEAGE as certbot gives it; run by root
        # with a service account, the key is the account group's to read.
        os.replace(os.path.join(other, "fullchain.pem"), os.path.join(lineage, "fullchain.pem"))
        self.env["RENEWED_LINEAGE"] = lineage
        self.ok("reg", "set", ZEL_KEY, "ServiceAccount", "sz", "nobody")
        out = self.ok("tls", "deploy")
        self.assertIn("certificate %s\n" % installed, out)
        self.assertEqual(read_bytes(installed), read_bytes(os.path.join(lineage, "fullchain.pem")))
        st = os.stat(os.path.join(self.root, "etc", "zel", "tls", "key.pem"))
        if os.geteuid() == 0:
            self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)),
                             (0, pwd.getpwnam("nobody").pw_gid, 0o640))
        # One file for both: the key would overwrite the certificate.
        self.ok("reg", "set", ZEL_KEY, "TlsKeyFile", "sz", installed)
        self.fails(("tls", "deploy"), 1, "name one file")


if __name__ == "__main__":
    unittest.main()
