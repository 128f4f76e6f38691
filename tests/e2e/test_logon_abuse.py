"""Logon abuse across protocols, against running zelrecv and zelfetch.

One receiver (with its submission port) and one POP3 server share a
scratch root, an account and the count of failed logons per client
network (LogonFailureLimit lowered to 4). A client bound to 127.0.0.9
fails twice at SMTP AUTH and twice at POP3: from then on its right
password is refused at both, as a wrong one would be, while the same
account from 127.0.0.1 logs on at once. Every failure is one event line
that the fail2ban filter the package installs finds, for the guesser only.
"""

import base64
import os
import shutil
import socket
import subprocess
import time
import unittest

from zelharness import REPLY_SECONDS, WAIT_SECONDS, MailSystem, SmtpConnection, free_port

USER, PASSWORD = "carol", "Rig8t-pass"
GUESSER = "127.0.0.9"
LIMIT = 4
FAIL2BAN_FILTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "packaging", "fail2ban", "filter.d", "zel.conf")


def plain(password):
    return base64.b64encode(("\0%s\0%s" % (USER, password)).encode()).decode()


class Pop3Line:
    """A raw POP3 connection from a chosen source address."""

    def __init__(self, port, source):
        self.sock = socket.create_connection(("127.0.0.1", port), REPLY_SECONDS,
                                             source_address=(source, 0))
        self.file = self.sock.makefile("rb")
        self.greeting = self.line()

    def line(self):
        return self.file.readline().decode("latin-1")

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()

    def logon(self, password):
        self.command("USER " + USER)
        return self.command("PASS " + password)

    def close(self):
        self.file.close()
        self.sock.close()


class FailureCountTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.submission = free_port()
        cls.mail = MailSystem(users=[USER], passwords={USER: PASSWORD},
                              suite={"LogonFailureLimit": LIMIT, "LogonFailureWindow": 600},
                              recv={"SubmissionPortNo": cls.submission}, fetch={},
                              prefix="zel-e2e-abuse-").start()

    @classmethod
    def tearDownClass(cls):
        cls.mail.stop()

    def auth(self, source, password):
        conn = SmtpConnection(self.submission, "127.0.0.1", REPLY_SECONDS, source)
        try:
            conn.reply()
            conn.multiline("EHLO client.example")
            return conn.command("AUTH PLAIN " + plain(password))
        finally:
            conn.close()

    def pop3(self, source, password):
        conn = Pop3Line(self.mail.pop3_port, source)
        try:
            return conn.logon(password)
        finally:
            conn.close()

    def test_failures_add_up_across_protocols_per_client_network(self):
        for _ in range(LIMIT // 2):
            self.assertEqual(self.auth(GUESSER, "guess"), "535 Authentication failed\r\n")
            self.assertTrue(self.pop3(GUESSER, "guess").startswith("-ERR carol logon failed"))
        # Blocked: the right password gets the wrong password's answer.
        self.assertEqual(self.auth(GUESSER, PASSWORD), "535 Authentication failed\r\n")
        self.assertEqual(self.pop3(GUESSER, PASSWORD),
                         "-ERR carol logon failed (1326) at point 3 in PASS\r\n")
        # Another client is not slowed: no failure delay, no refusal.
        started = time.monotonic()
        self.assertEqual(self.auth("127.0.0.1", PASSWORD), "235 Authentication successful\r\n")
        self.assertTrue(self.pop3("127.0.0.1", PASSWORD).startswith("+OK carol's mailbox has"))
        self.assertLess(time.monotonic() - started, 0.9)
        events = self.mail.scratch.events()
        self.assertIn("too many failures from the client", events)
        failures = [l for l in events.splitlines() if " 0xC00000E8 " in l]
        self.assertEqual(len([l for l in failures if " pop3 client " in l]), LIMIT // 2 + 1)
        self.assertEqual(len([l for l in failures if " smtp client " in l]), LIMIT // 2 + 1)
        if not shutil.which("fail2ban-regex"):
            self.skipTest("fail2ban-regex is not installed (Debian package fail2ban)")
        found = subprocess.run(["fail2ban-regex", "--usedns=no", "-o", "ip",
                                self.mail.scratch.path("var", "log", "zel", "events.log"),
                                FAIL2BAN_FILTER],
                               capture_output=True, text=True, timeout=WAIT_SECONDS * 3)
        self.assertEqual(found.returncode, 0, found.stderr)
        self.assertEqual(found.stdout.split(), [GUESSER] * len(failures))


if __name__ == "__main__":
    unittest.main()
