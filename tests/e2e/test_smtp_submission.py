"""ESMTP and authenticated submission end to end, against a running zelrecv.

One receiver runs for the module, with the submission port on a free port,
RelayClients 127.0.0.1/32 (a client bound to 127.0.0.9 is one from
elsewhere) and an account alice in the accounts file. Raw sockets check the
replies byte for byte; Python's smtplib and swaks hold ordinary dialogues.
"""

import base64
import glob
import os
import shutil
import smtplib
import socket
import subprocess
import time
import unittest

from zelharness import (LOCAL_HOST, WAIT_SECONDS, Receiver, list_spool_pairs, read_bytes)

USER, PASSWORD = "alice", "Corr3ct-h0rse"
OUTSIDE = "127.0.0.9"
RECEIVED_OK = "250 Message received OK\r\n"
AUTH_REQUIRED = "530 Authentication required\r\n"
AUTH_FAILED = "535 Authentication failed\r\n"
AUTH_OK = "235 Authentication successful\r\n"
UNKNOWN = "500 Unknown or unimplemented command\r\n"
LIMIT = 100000          # MaxMessageSize, bytes

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
    def setUp(self):
        for name in os.listdir(SERVER.queue):
            os.unlink(os.path.join(SERVER.queue, name))

    def connect(self, submission=True, source=None, host="127.0.0.1"):
        conn = SERVER.connect(host=host, source=source,
                              port=SERVER.submission_port if submission else None)
        self.addCleanup(conn.close)
        return conn

    def ehlo(self, conn, name="client.example"):
        lines = conn.multiline("EHLO " + name)
        self.assertEqual(lines[0], "250-%s\r\n" % LOCAL_HOST)
        return extensions(lines)

    def send_data(self, conn, data=b"Subject: x\r\n\r\nbody\r\n.\r\n"):
        """DATA and the message on conn; the new pair's message file."""
        before = list_spool_pairs(SERVER.queue)
        self.assertEqual(conn.command("DATA"), "354 Ready for data\r\n")
        conn.send(data)
        self.assertEqual(conn.reply(), RECEIVED_OK)
        new = set(list_spool_pairs(SERVER.queue)) - set(before)
        self.assertEqual(len(new), 1)
        base = new.pop()
        return read_bytes(os.path.join(SERVER.queue, base + ".MSG")), base


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
                result = subprocess.run(
                    ["swaks", "--server", "127.0.0.1:%d" % SERVER.submission_port,
                     "--from", "alice@zeltest.example.test", "--to", "far@remote.example",
                     "--auth", mechanism, "--auth-user", USER, "--auth-password", PASSWORD,
                     "--timeout", str(WAIT_SECONDS)],
                    capture_output=True, text=True, timeout=WAIT_SECONDS * 2)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn(AUTH_OK.strip(), result.stdout)
                self.assertIn(RECEIVED_OK.strip(), result.stdout)

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
        files = glob.glob(SERVER.scratch.path("**", "*.log"), recursive=True)
        files.append(SERVER.service.stderr_path)
        self.assertIn(SERVER.scratch.path("var", "log", "zel", "events.log"), files)
        for path in files:
            text = read_bytes(path)
            for form in (secret, b64(secret), plain("bob", secret), plain("bob", secret + "x")):
                self.assertNotIn(form.encode(), text, path)


if __name__ == "__main__":
    unittest.main()
