"""ESMTP and authenticated submission end to end, against a running zelrecv.

One receiver runs for the module, with the submission port on a free port,
RelayClients 127.0.0.1/32 (a client bound to 127.0.0.9 is one from
elsewhere) and an account alice in the accounts file. Raw sockets check the
replies byte for byte; Python's smtplib and swaks hold ordinary dialogues.
A second receiver, with a certificate, has STARTTLS and the port with TLS
from the first byte, driven by the same clients and openssl s_client, and
testssl.sh checks what its submission port offers. fail2ban-regex reads
the failed logons of the first from its event log.
"""

import base64
import glob
import json
import os
import re
import shutil
import smtplib
import socket
import subprocess
import threading
import time
import unittest

from zelharness import (LOCAL_HOST, WAIT_SECONDS, Receiver, client_tls_context, list_spool_pairs,
                        poll, read_bytes)

USER, PASSWORD = "alice", "Corr3ct-h0rse"
OUTSIDE = "127.0.0.9"
RECEIVED_OK = "250 Message received OK\r\n"
AUTH_REQUIRED = "530 Authentication required\r\n"
AUTH_FAILED = "535 Authentication failed\r\n"
AUTH_OK = "235 Authentication successful\r\n"
UNKNOWN = "500 Unknown or unimplemented command\r\n"
LIMIT = 100000          # MaxMessageSize, bytes
FAIL2BAN_FILTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "packaging", "fail2ban", "filter.d", "zel.conf")
# What the strict TLS profile may offer: TLS 1.3's suites, and TLS 1.2's
# ECDHE suites with AES-GCM or ChaCha20-Poly1305.
STRICT_SUITE = re.compile(r"^(TLS_(AES_(128|256)_GCM_SHA(256|384)|CHACHA20_POLY1305_SHA256)|"
                          r"ECDHE-(ECDSA|RSA)-(AES(128|256)-GCM-SHA(256|384)|CHACHA20-POLY1305))$")
# testssl.sh's vulnerability checks (-U) as its JSON names them.
VULNERABILITIES = ("heartbleed", "CCS", "ticketbleed", "ROBOT", "secure_renego",
                   "secure_client_renego", "CRIME_TLS", "BREACH", "POODLE_SSL", "fallback_SCSV",
                   "SWEET32", "FREAK", "DROWN", "LOGJAM", "LOGJAM-common_primes", "BEAST",
                   "LUCKY13", "RC4")

SERVER = None


def setUpModule():
    global SERVER
    SERVER = Receiver({"RelayClients": ["127.0.0.1/32"], "MaxMessageSize": LIMIT,
                       "MailInlogEnabled": 1},
                      submission=True, users={USER: PASSWORD}, prefix="zel-e2e-subm-").start()


def tearDownModule():
    if SERVER is not None:
        SERVER.stop()


def plain(user, password, authzid=""):
    return base64.b64encode(("%s\0%s\0%s" % (authzid, user, password)).encode()).decode()


def b64(text):
    return base64.b64encode(text.encode()).decode()


def extensions(lines):
    """The keywords of an EHLO reply, after its first line."""
    return [line[4:].rstrip("\r\n") for line in lines[1:]]


class SubmissionCase(unittest.TestCase):
    @property
    def server(self):
        return SERVER

    def setUp(self):
        for name in os.listdir(self.server.queue):
            os.unlink(os.path.join(self.server.queue, name))

    def connect(self, submission=True, source=None, host="127.0.0.1"):
        conn = self.server.connect(host=host, source=source,
                                   port=self.server.submission_port if submission else None)
        self.addCleanup(conn.close)
        return conn

    def ehlo(self, conn, name="client.example"):
        lines = conn.multiline("EHLO " + name)
        self.assertEqual(lines[0], "250-%s\r\n" % LOCAL_HOST)
        return extensions(lines)

    def send_data(self, conn, data=b"Subject: x\r\n\r\nbody\r\n.\r\n"):
        """DATA and the message on conn; the new pair's message file."""
        before = list_spool_pairs(self.server.queue)
        self.assertEqual(conn.command("DATA"), "354 Ready for data\r\n")
        conn.send(data)
        self.assertEqual(conn.reply(), RECEIVED_OK)
        new = set(list_spool_pairs(self.server.queue)) - set(before)
        self.assertEqual(len(new), 1)
        base = new.pop()
        return read_bytes(os.path.join(self.server.queue, base + ".MSG")), base

    def swaks_submits(self, port, mechanism, *options):
        """swaks (with options) logs on with mechanism and sends a message."""
        result = subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % port, *options,
             "--from", "alice@zeltest.example.test", "--to", "far@remote.example",
             "--auth", mechanism, "--auth-user", USER, "--auth-password", PASSWORD,
             "--timeout", str(WAIT_SECONDS)],
            capture_output=True, text=True, timeout=WAIT_SECONDS * 2)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(AUTH_OK.strip(), result.stdout)
        self.assertIn(RECEIVED_OK.strip(), result.stdout)

    def assertNothingLogged(self, forms):
        """None of the texts (a password and its encodings) is in any log
        of the server: activity logs, the event log, its standard error."""
        files = glob.glob(self.server.scratch.path("**", "*.log"), recursive=True)
        files.append(self.server.service.stderr_path)
        self.assertIn(self.server.scratch.path("var", "log", "zel", "events.log"), files)
        for path in files:
            text = read_bytes(path)
            for form in forms:
                self.assertNotIn(form.encode(), text, path)


class EsmtpTest(SubmissionCase):
    """EHLO and the MAIL and RCPT parameters on PortNo."""

    def test_ehlo_and_parameters(self):
        conn = self.connect(submission=False)
        self.assertEqual(self.ehlo(conn), ["PIPELINING", "SIZE %d" % LIMIT, "8BITMIME"])
        steps = [("MAIL FROM:<a@b.example> SIZE=%d" % (LIMIT + 1),
                  "552 Message exceeds fixed maximum message size\r\n"),
                 ("MAIL FROM:<a@b.example> SIZE=1x", "501 Syntax error in parameters\r\n"),
                 ("MAIL FROM:<a@b.example> BODY=BINARYMIME", "555 Unsupported parameter\r\n"),
                 ("MAIL FROM:<a@b.example> AUTH=<>", "555 Unsupported parameter\r\n"),
                 ("MAIL FROM:<a@b.example> SIZE=%d BODY=8BITMIME" % LIMIT, "250 a@b.example OK\r\n"),
                 ("RCPT TO:<user> NOTIFY=NEVER", "555 Unsupported parameter\r\n"),
                 ("RCPT TO:<user>", "250 user OK\r\n"),
                 ("AUTH PLAIN " + plain(USER, PASSWORD), UNKNOWN)]
        for line, want in steps:
            self.assertEqual(conn.command(line), want, line)
        stored, base = self.send_data(conn)
        self.assertIn(b") with ESMTP id <", stored)
        self.assertIn(b"Body-8Bit: TRUE\r\n", read_bytes(os.path.join(SERVER.queue, base + ".RCP")))

    def test_pipelined_esmtp_session(self):
        conn = self.connect(submission=False)
        self.ehlo(conn)
        conn.send("MAIL FROM:<a@b.example>\r\nRCPT TO:<user>\r\nRCPT TO:<far@remote.example>\r\n"
                  "DATA\r\nSubject: p\r\n\r\nx\r\n.\r\nQUIT\r\n")
        self.assertEqual(conn.replies(6), ["250 a@b.example OK\r\n", "250 user OK\r\n",
                                           "250 far@remote.example OK\r\n",
                                           "354 Ready for data\r\n", RECEIVED_OK,
                                           "221 %s closing\r\n" % LOCAL_HOST])

    @unittest.skipUnless(socket.has_ipv6, "no IPv6")
    def test_ipv6_client_in_the_received_line(self):
        try:
            conn = self.connect(submission=False, host="::1")
        except OSError as e:
            self.skipTest("no IPv6 loopback listener here: %s" % e)
        for line, want in (("HELO v6.example", "250 OK\r\n"), ("MAIL FROM:<a@b>", "250 a@b OK\r\n"),
                           ("RCPT TO:<user>", "250 user OK\r\n")):
            self.assertEqual(conn.command(line), want)
        stored, _ = self.send_data(conn)
        self.assertTrue(stored.startswith(b"Received: from v6.example (unverified [IPv6:::1]) by "),
                        stored[:200])
        self.assertIn(b") with SMTP id <", stored)

    def test_esmtp_off_restores_the_classic_answer_on_port_25_only(self):
        classic = Receiver({"Esmtp": 0}, submission=True, prefix="zel-e2e-subm-")
        classic.start()
        self.addCleanup(classic.stop)
        with classic.connect() as conn:
            self.assertEqual(conn.command("EHLO c"), UNKNOWN)
            self.assertEqual(conn.command("HELO c"), "250 OK\r\n")
            self.assertEqual(conn.command("MAIL FROM:<a@b> SIZE=1 XFOO"), "250 a@b OK\r\n")
        with classic.connect(port=classic.submission_port) as conn:
            self.assertEqual(conn.multiline("EHLO c")[-1], "250 AUTH PLAIN LOGIN\r\n")


class SubmissionTest(SubmissionCase):
    """The submission port: nothing before AUTH, AUTH from RelayClients in
    clear (from elsewhere only under TLS), relaying once authenticated."""

    def test_nothing_before_auth(self):
        conn = self.connect()
        self.assertIn("AUTH PLAIN LOGIN", self.ehlo(conn))
        for line in ("MAIL FROM:<a@b.example>", "RCPT TO:<user>", "DATA"):
            self.assertEqual(conn.command(line), AUTH_REQUIRED, line)
        outside = self.connect(source=OUTSIDE)
        self.assertNotIn("AUTH PLAIN LOGIN", self.ehlo(outside))
        self.assertEqual(outside.command("AUTH PLAIN " + plain(USER, PASSWORD)),
                         "538 Encryption required\r\n")
        self.assertEqual(outside.command("MAIL FROM:<a@b.example>"), AUTH_REQUIRED)

    def test_smtplib_login_plain_and_login(self):
        for mechanism in ("PLAIN", "LOGIN"):
            with self.subTest(mechanism):
                before = list_spool_pairs(SERVER.queue)
                with smtplib.SMTP("127.0.0.1", SERVER.submission_port, local_hostname="lib.example",
                                  timeout=WAIT_SECONDS) as client:
                    client.ehlo()
                    client.user, client.password = USER, PASSWORD
                    code, _ = client.auth(mechanism, getattr(client, "auth_" + mechanism.lower()),
                                          initial_response_ok=mechanism == "PLAIN")
                    self.assertEqual(code, 235)
                    refused = client.sendmail("alice@zeltest.example.test",
                                              ["far@remote.example", "user"],
                                              "Subject: submitted\r\n\r\nrelayed once logged on\r\n")
                    self.assertEqual(refused, {})
                (base,) = set(list_spool_pairs(SERVER.queue)) - set(before)
                stored = read_bytes(os.path.join(SERVER.queue, base + ".MSG"))
                self.assertTrue(stored.startswith(
                    b"Received: from lib.example (unverified [127.0.0.1]) by %s\r\n"
                    b" (TALVO ZELRECV 0.83) with ESMTPA id <%s@" % (LOCAL_HOST.encode(),
                                                                    base.encode())), stored[:200])

    @unittest.skipUnless(shutil.which("swaks"), "swaks is not installed")
    def test_swaks_auth(self):
        for mechanism in ("PLAIN", "LOGIN"):
            with self.subTest(mechanism):
                self.swaks_submits(SERVER.submission_port, mechanism)

    def test_exchanges_and_their_refusals(self):
        conn = self.connect()
        self.ehlo(conn)
        steps = [("AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"), ("*", "501 Authentication cancelled\r\n"),
                 ("AUTH PLAIN", "334 \r\n"), ("not base64!", "501 Invalid base64 data\r\n"),
                 ("AUTH DIGEST-MD5", "504 Unrecognized authentication type\r\n"),
                 ("AUTH LOGIN " + b64(USER), "334 UGFzc3dvcmQ6\r\n"), (b64(PASSWORD), AUTH_OK),
                 ("AUTH PLAIN " + plain(USER, PASSWORD), "503 Already authenticated\r\n"),
                 ("MAIL FROM:<alice@zeltest.example.test> AUTH=<>",
                  "250 alice@zeltest.example.test OK\r\n")]
        for line, want in steps:
            self.assertEqual(conn.command(line), want, line)

    def test_failures_are_alike_late_and_the_third_closes(self):
        conn = self.connect()
        self.ehlo(conn)
        # A wrong password, an unknown name, another user's identity: the
        # same reply, each later than the one before.
        tries = [plain(USER, "wrong"), plain("nobody", PASSWORD), plain(USER, PASSWORD, "root")]
        waited = []
        for response in tries:
            started = time.monotonic()
            self.assertEqual(conn.command("AUTH PLAIN " + response), AUTH_FAILED)
            waited.append(time.monotonic() - started)
        self.assertGreater(waited[0], 0.9)
        self.assertGreater(waited[1], 1.9)
        self.assertGreater(waited[2], 3.9)
        self.assertTrue(conn.wait_closed(5))

    def test_failed_logons_are_events_fail2ban_reads(self):
        """Every failed AUTH is one event line; fail2ban's filter finds the
        client in each, also where the user name holds an address or
        pretends to end the line."""
        names = [USER, "192.0.2.66", 'evil" client 192.0.2.77, user "x', "a\nb 192.0.2.88"]
        replies = {}

        def fail(name):
            with self.server.connect(port=self.server.submission_port) as conn:
                conn.multiline("EHLO c")
                replies[name] = conn.command("AUTH PLAIN " + plain(name, "wrong"))

        threads = [threading.Thread(target=fail, args=(n,), daemon=True) for n in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT_SECONDS)
        self.assertEqual(list(replies.values()), [AUTH_FAILED] * len(names))
        events = self.server.scratch.path("var", "log", "zel", "events.log")
        with open(events, encoding="utf-8") as f:
            lines = [line for line in f if " 0xC00000E8 " in line]
        for name in names:
            quoted = name.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\x0A")
            self.assertTrue([l for l in lines if l.rstrip("\n").endswith('"%s"' % quoted)], name)
        found = subprocess.run(["fail2ban-regex", "--usedns=no", "-o", "ip", events, FAIL2BAN_FILTER],
                               capture_output=True, text=True, timeout=WAIT_SECONDS * 3)
        self.assertEqual(found.returncode, 0, found.stderr)
        hosts = found.stdout.split()
        self.assertEqual(len(hosts), len(lines))
        self.assertGreaterEqual(len(hosts), len(names))
        self.assertEqual(set(hosts), {"127.0.0.1"})

    def test_the_password_reaches_no_log(self):
        secret = "Log-me-n0t"
        SERVER.scratch.add_user("bob", secret)
        conn = self.connect()
        self.ehlo(conn)
        self.assertEqual(conn.command("AUTH PLAIN " + plain("bob", secret + "x")), AUTH_FAILED)
        self.assertEqual(conn.command("AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n")
        self.assertEqual(conn.command(b64("bob")), "334 UGFzc3dvcmQ6\r\n")
        self.assertEqual(conn.command(b64(secret)), AUTH_OK)
        self.assertEqual(conn.command("MAIL FROM:<bob@zeltest.example.test>"),
                         "250 bob@zeltest.example.test OK\r\n")
        self.assertEqual(conn.command("RCPT TO:<user>"), "250 user OK\r\n")
        self.send_data(conn)
        conn.command("QUIT")
        self.assertNothingLogged((secret, b64(secret), plain("bob", secret),
                                  plain("bob", secret + "x")))


def swaks_speaks_tls():
    if not shutil.which("swaks"):
        return False
    support = subprocess.run(["swaks", "--support"], capture_output=True, text=True, timeout=20)
    return "=== TLS supported" in support.stdout + support.stderr


class TlsSubmissionTest(SubmissionCase):
    """STARTTLS (on both ports) and TLS from the first byte, with real
    clients. A receiver of its own, with a self-signed pair, relays for no
    loopback client: every client here is one from elsewhere, which may log
    on only under TLS."""

    @classmethod
    def setUpClass(cls):
        cls.tls_server = Receiver({"RelayClients": ["192.0.2.0/24"]}, submission=True, tls=True,
                                  users={USER: PASSWORD}, prefix="zel-e2e-subm-tls-").start()
        cls.addClassCleanup(cls.tls_server.stop)

    @property
    def server(self):
        return self.tls_server

    def new_messages(self, before):
        names = sorted(set(list_spool_pairs(self.server.queue)) - set(before))
        return [read_bytes(os.path.join(self.server.queue, n + ".MSG")) for n in names]

    def test_starttls_starts_a_new_session_where_auth_is_open(self):
        conn = self.connect()
        self.assertEqual(self.ehlo(conn), ["PIPELINING", "SIZE 52428800", "8BITMIME", "STARTTLS"])
        self.assertEqual(conn.command("AUTH PLAIN " + plain(USER, PASSWORD)),
                         "538 Encryption required\r\n")
        self.assertEqual(conn.command("STARTTLS"), "220 Ready to start TLS\r\n")
        conn.start_tls()
        self.assertEqual(conn.command("MAIL FROM:<a@b.example>"),
                         "503 You must send a HELO command first\r\n")
        self.assertEqual(self.ehlo(conn), ["PIPELINING", "SIZE 52428800", "8BITMIME",
                                           "AUTH PLAIN LOGIN"])
        steps = [("STARTTLS", "503 TLS already started\r\n"),
                 ("MAIL FROM:<alice@zeltest.example.test>", AUTH_REQUIRED),
                 ("AUTH PLAIN " + plain(USER, "wrong"), AUTH_FAILED),
                 ("AUTH PLAIN " + plain(USER, PASSWORD), AUTH_OK),
                 ("MAIL FROM:<alice@zeltest.example.test>", "250 alice@zeltest.example.test OK\r\n"),
                 ("RCPT TO:<far@remote.example>", "250 far@remote.example OK\r\n")]
        for line, want in steps:
            self.assertEqual(conn.command(line), want, line)
        stored, _ = self.send_data(conn)
        self.assertIn(b")\r\n (using %s with cipher %s)\r\n with ESMTPSA id <"
                      % (conn.sock.version().encode(), conn.sock.cipher()[0].encode()), stored)

    def test_input_behind_starttls_is_dropped_unread(self):
        # On PortNo: STARTTLS is offered there too. Were the injected lines
        # taken, the first answer under TLS would be theirs, not the 503.
        conn = self.connect(submission=False)
        self.assertIn("STARTTLS", self.ehlo(conn))
        injected = "EHLO injected.example\r\nMAIL FROM:<evil@example.org>\r\n"
        conn.send("STARTTLS\r\n" + injected)
        self.assertEqual(conn.reply(), "220 Ready to start TLS\r\n")
        conn.start_tls()
        self.assertEqual(conn.command("MAIL FROM:<a@b.example>"),
                         "503 You must send a HELO command first\r\n")
        self.assertTrue(poll(lambda: "127.0.0.1 sent %d bytes behind STARTTLS" % len(injected)
                             in self.server.scratch.events()), self.server.scratch.events())

    def test_failed_handshakes_get_no_clear_reply_and_others_are_served(self):
        conn = self.connect()
        self.ehlo(conn)
        self.assertEqual(conn.command("STARTTLS"), "220 Ready to start TLS\r\n")
        conn.send("EHLO not-a-hello.example\r\n")
        # A TLS alert at most: no SMTP reply in clear.
        sent = conn.read_to_close()
        self.assertTrue(sent == b"" or sent[:1] == b"\x15", sent)
        # A client that speaks TLS 1.0 only is refused in the handshake.
        old = subprocess.run(["openssl", "s_client", "-tls1", "-cipher", "DEFAULT@SECLEVEL=0",
                              "-connect", "127.0.0.1:%d" % self.server.submission_tls_port],
                             input="", capture_output=True, text=True, timeout=WAIT_SECONDS)
        self.assertNotEqual(old.returncode, 0)
        self.assertIn("alert protocol version", old.stdout + old.stderr)
        with self.server.connect(port=self.server.submission_tls_port, tls=True) as conn:
            self.assertTrue(conn.greeting.startswith("220 %s " % LOCAL_HOST), conn.greeting)
            self.assertIn(conn.sock.version(), ("TLSv1.2", "TLSv1.3"))

    def test_testssl_finds_only_strong_suites_on_submission(self):
        """testssl.sh against the STARTTLS submission port: TLS 1.2 and 1.3
        only, forward-secret AEAD suites only, every vulnerability check
        OK. No name is looked up (--ip, --nodns none, and NXCONNECT for its
        probes of the local openssl), nothing but this host is reached."""
        out = self.server.scratch.path("testssl.json")
        result = subprocess.run(
            ["testssl", "--quiet", "--warnings", "off", "--color", "0", "--nodns", "none",
             "--ip", "127.0.0.1", "--jsonfile", out, "-t", "smtp", "-p", "-E", "-U",
             "127.0.0.1:%d" % self.server.submission_port],
            capture_output=True, text=True, timeout=300,
            env=dict(os.environ, NXCONNECT="127.0.0.1:0"))
        with open(out) as f:
            findings = {e["id"]: e for e in json.load(f)}
        for protocol in ("SSLv2", "SSLv3", "TLS1", "TLS1_1"):
            self.assertEqual(findings[protocol]["finding"], "not offered", result.stdout)
        suites = [e["finding"].split()[3] for i, e in findings.items() if i.startswith("cipher-")]
        self.assertTrue(suites, result.stdout)
        for suite in suites:
            self.assertRegex(suite, STRICT_SUITE)
        for check in VULNERABILITIES:
            if check in findings:
                self.assertEqual(findings[check]["severity"], "OK", findings[check])
        self.assertIn("LUCKY13", findings)
        bad = [e for e in findings.values() if e["severity"] in ("LOW", "MEDIUM", "HIGH", "CRITICAL")]
        self.assertEqual(bad, [])
        # Port 25 keeps the broad profile: a CBC suite still gets TLS there.
        for port, served in ((self.server.port, True), (self.server.submission_port, False)):
            hello = subprocess.run(
                ["openssl", "s_client", "-starttls", "smtp", "-tls1_2", "-cipher",
                 "ECDHE-ECDSA-AES128-SHA", "-connect", "127.0.0.1:%d" % port],
                input="QUIT\r\n", capture_output=True, text=True, timeout=WAIT_SECONDS)
            self.assertEqual("Cipher is ECDHE-ECDSA-AES128-SHA" in hello.stdout, served, port)

    def test_real_clients_log_on_under_tls(self):
        before = list_spool_pairs(self.server.queue)
        port, tls_port = self.server.submission_port, self.server.submission_tls_port
        with self.subTest("smtplib starttls"):
            with smtplib.SMTP("127.0.0.1", port, local_hostname="lib.example",
                              timeout=WAIT_SECONDS) as client:
                client.starttls(context=client_tls_context())
                client.login(USER, PASSWORD)
                self.assertEqual(client.sendmail("alice@zeltest.example.test", ["far@remote.example"],
                                                 "Subject: starttls\r\n\r\nx\r\n"), {})
        with self.subTest("smtplib implicit TLS, a wrong password"):
            with smtplib.SMTP_SSL("127.0.0.1", tls_port, local_hostname="lib.example",
                                  context=client_tls_context(), timeout=WAIT_SECONDS) as client:
                client.ehlo()
                client.user, client.password = USER, PASSWORD + "x"
                with self.assertRaises(smtplib.SMTPAuthenticationError) as caught:
                    client.auth("PLAIN", client.auth_plain)
                self.assertEqual(caught.exception.args, (535, b"Authentication failed"))
        swaks = swaks_speaks_tls()
        for tls, port_used in (("--tls", port), ("--tls-on-connect", tls_port)) if swaks else ():
            for mechanism in ("PLAIN", "LOGIN"):
                with self.subTest("swaks", tls=tls, mechanism=mechanism):
                    self.swaks_submits(port_used, mechanism, tls)
        for starttls, port_used in ((["-starttls", "smtp"], port), ([], tls_port)):
            with self.subTest("openssl s_client", starttls=starttls):
                result = subprocess.run(
                    ["openssl", "s_client", "-quiet", *starttls,
                     "-connect", "127.0.0.1:%d" % port_used],
                    input="EHLO ossl.example\r\nAUTH PLAIN %s\r\nQUIT\r\n" % plain(USER, PASSWORD),
                    capture_output=True, text=True, timeout=WAIT_SECONDS)
                self.assertIn(AUTH_OK.strip(), result.stdout)
                self.assertIn("221 %s closing" % LOCAL_HOST, result.stdout)
        stored = self.new_messages(before)
        self.assertEqual(len(stored), 5 if swaks else 1)
        for message in stored:
            self.assertRegex(message, rb"^Received: from \S+ \(unverified \[127\.0\.0\.1\]\) by "
                             rb"[^\r]*\r\n \(TALVO ZELRECV [^)]*\)\r\n \(using TLSv1\.[23] with "
                             rb"cipher [A-Z0-9_-]+\)\r\n with ESMTPSA id <")
        self.assertNothingLogged((PASSWORD, b64(PASSWORD), plain(USER, PASSWORD),
                                  plain(USER, PASSWORD + "x")))


if __name__ == "__main__":
    unittest.main()
