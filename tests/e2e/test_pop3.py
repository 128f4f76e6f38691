"""The POP3 server end to end, against running zelfetch programs.

Three set-ups run for the whole module:
- MAIN: zelfetch alone (activity log on, UTC), its mailboxes filled by
  hand with message files; raw sockets check every reply byte for byte,
  every message text as it goes over the wire, and the activity log lines.
- STRICT: zelfetch with a 2-second idle limit (Timeout 2, with the
  test-only floor MinimumTimeout 1), no automatic mailbox creation, a
  mailbox template of its own and the message extension "EML".
- MAIL: zelrecv, zeldeliv and zelfetch on one root: mail sent with smtplib
  is read back with poplib and with fetchmail, exactly as stored.
- TLS: zelfetch with a self-signed certificate, its TLS port, and
  passwords in clear only from 127.0.0.1 (127.0.0.9 is the outside).
Every test uses accounts of its own, so tests never share a mailbox.
"""

import base64
import datetime
import itertools
import os
import poplib
import pwd
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from zelharness import (BUILD_DIR, LOCAL_HOST, REPLY_SECONDS, WAIT_SECONDS, MailSystem,
                        Pop3Server, SmtpConnection, client_tls_context, poll, pop3_log_text,
                        read_bytes, write_file)

GREETING_RE = re.compile(r"\+OK ZEL POP3 Server 0\.87 Ready "
                         r"<(-?\d+)\.(\d+)\.(\d+)@zeltest\.example\.test>\r\n\Z")
WELCOME = "+OK %s is welcome here\r\n"
MAILBOX_HAS = "+OK %s's mailbox has %d message(s) (%d octets)\r\n"
SIGN_OFF_EMPTY = "+OK %s POP3 server signing off (mailbox empty)\r\n" % LOCAL_HOST
SIGN_OFF_LEFT = "+OK " + LOCAL_HOST + " POP3 server signing off (%d messages left)\r\n"
UNKNOWN = "-ERR unknown or invalid command in this state [%s]\r\n"
TOO_MANY = "-ERR too many arguments for the %s command\r\n"
TOO_FEW = "-ERR too few arguments for the %s command\r\n"
NO_APOP = "-ERR the APOP command is not supported in this version\r\n"
NO_SUCH = "-ERR no such message\r\n"
ONLY = "-ERR no such message, only %d messages in mailbox\r\n"
DELETED = "-ERR message %d has been deleted\r\n"
NEGATIVE = "-ERR the server couldn't send negative lines of a message\r\n"
UIDL_HEAD = "+OK unique-id listing follows\r\n"
LOGON_FAILED = r"-ERR %s logon failed \((\d+)\) at point %d in PASS\r\n\Z"
# A wrong password and a name that is no account get this same reply.
WRONG = "-ERR %s logon failed (1326) at point 3 in PASS\r\n"
UNABLE_TO_LOCK = r"-ERR unable to lock %s's mailbox \((\d+)\)\r\n\Z"
AUTOLOGOUT = "-ERR Autologout: idle too long"
CAPABILITIES = ["TOP", "UIDL", "USER", "SASL PLAIN", "RESP-CODES", "AUTH-RESP-CODE", "PIPELINING"]
ENCRYPTION_REQUIRED = "-ERR [AUTH] Encryption required\r\n"
AUTH_FAILED = "-ERR %s logon failed (1326) at point 3 in AUTH\r\n"
OUTSIDE = "127.0.0.9"   # a client outside TLS's PlaintextLogonClients

IDLE_LIMIT = 2          # STRICT's Timeout, seconds
STAMP_RE = r"\[\d\d/(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:\d\d:\d\d:\d\d\]"

MAIN = STRICT = MAIL = TLS = None      # started in setUpModule
MAIL_USERS = {"alice": "alice pw", "bob": "Bob-Secret-1"}
_names = itertools.count(1)


def setUpModule():
    global MAIN, STRICT, MAIL, TLS
    started = []
    try:
        MAIN = Pop3Server({"Pop3LogEnabled": 1}, env={"TZ": "UTC0"}).start()
        started.append(MAIN)
        STRICT = Pop3Server({"Timeout": IDLE_LIMIT, "MinimumTimeout": 1, "Pop3LogEnabled": 1,
                             "MessageExtension": "EML"}, prefix="zel-e2e-pop3s-")
        started.append(STRICT)
        STRICT.template = STRICT.scratch.path("boxes", "%USERNAME%")
        STRICT.scratch.reg_import({"HKLM\\Software\\TALVO\\ZEL": {
            "MailInBoxDir": STRICT.template, "AutoCreateInboxDir": 0}})
        STRICT.start()
        MAIL = MailSystem(tuple(MAIL_USERS), passwords=MAIL_USERS, fetch={"Pop3LogEnabled": 1},
                          env={"TZ": "UTC0"}, prefix="zel-e2e-pop3m-")
        started.append(MAIL)
        MAIL.start()
        TLS = Pop3Server({"PlaintextLogonClients": ["127.0.0.1/32"], "Pop3LogEnabled": 1},
                         tls=True, prefix="zel-e2e-pop3t-")
        started.append(TLS)
        TLS.start()
    except BaseException:
        for server in reversed(started):
            server.stop()
        raise


def tearDownModule():
    for server in (TLS, MAIL, STRICT, MAIN):
        if server is not None:
            server.stop()


def new_user(server, password=None, mailbox=True):
    """A fresh account on server; (name, password). With mailbox, its
    mailbox directory exists (empty)."""
    name = "u%03d" % next(_names)
    password = password or "pw-%s-Secret" % name
    server.add_user(name, password)
    if mailbox:
        os.makedirs(server.mailbox(name), exist_ok=True)
    return name, password


def sized_message(size, tag):
    """A message file of exactly size bytes that ends with the end line."""
    head = b"Subject: %s\r\n\r\n" % tag.encode()
    tail = b"\r\n.\r\n"
    assert size >= len(head) + len(tail)
    return head + b"x" * (size - len(head) - len(tail)) + tail


# The mailbox lock is a file of this name inside the mailbox.
LOCK_FILE = "$LockFile"


def box_files(directory):
    """The sorted names in a mailbox directory but its lock file."""
    return sorted(n for n in os.listdir(directory) if n != LOCK_FILE)


def msg_name(number):
    return "B%010d.MSG" % number


class Pop3Case(unittest.TestCase):
    server = None     # MAIN unless a subclass says otherwise

    @classmethod
    def setUpClass(cls):
        cls.server = cls.server or MAIN

    def connect(self):
        conn = self.server.connect()
        self.addCleanup(conn.close)
        self.assertRegex(conn.greeting, GREETING_RE)
        return conn

    def dialogue(self, conn, steps):
        """Each step is (line to send, the exact reply or a compiled regex)."""
        for line, want in steps:
            got = conn.command(line)
            if isinstance(want, re.Pattern):
                self.assertRegex(got, want, "after %r" % line)
            else:
                self.assertEqual(got, want, "after %r" % line)

    def logon(self, user, password, count=None, octets=None, conn=None):
        conn = conn or self.connect()
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        reply = conn.command("PASS " + password)
        if count is None:
            self.assertRegex(reply, r"\+OK %s's mailbox has \d+ message\(s\) \(\d+ octets\)\r\n"
                             % re.escape(user))
        else:
            self.assertEqual(reply, MAILBOX_HAS % (user, count, octets))
        return conn

    def multi(self, conn, command, size):
        """The whole answer to command when it is size bytes long, and that
        nothing follows it (the next command's reply comes next)."""
        conn.send(command + "\r\n")
        answer = conn.read_exact(size)
        self.assertEqual(conn.command("NOOP"), "+OK\r\n", "bytes after the answer to " + command)
        return answer

    def user_with(self, files, password=None):
        """A fresh account whose mailbox holds {file name: content}."""
        user, password = new_user(self.server, password)
        for name, data in files.items():
            write_file(self.server.mailbox(user, name), data)
        return user, password

    def numbering(self, conn):
        """{number: (size, file name)} from LIST and UIDL of a mailbox that is
        not empty; the listings must agree and be well formed."""
        conn.send("LIST\r\n")
        listing = conn.read_until(b"\r\n.\r\n").decode("latin-1")
        conn.send("UIDL\r\n")
        uids = conn.read_until(b"\r\n.\r\n").decode("latin-1")
        head, *lines, end = listing.split("\r\n")[:-1]
        self.assertEqual(end, ".")
        sizes = {int(n): int(s) for n, s in (line.split(" ") for line in lines)}
        self.assertEqual(head, "+OK %d messages (%d octets)" % (len(sizes), sum(sizes.values())))
        uhead, *ulines, uend = uids.split("\r\n")[:-1]
        self.assertEqual((uhead + "\r\n", uend), (UIDL_HEAD, "."))
        names = {int(n): name for n, name in (line.split(" ") for line in ulines)}
        self.assertEqual(sorted(sizes), sorted(names))
        return {n: (sizes[n], names[n]) for n in sizes}


class AuthorizationTest(Pop3Case):
    """Greeting, USER, APOP and QUIT, and commands out of their state."""

    def test_greeting_stamp(self):
        first, second = self.connect(), self.connect()
        stamps = []
        for conn in (first, second):
            _, seconds, millis = GREETING_RE.match(conn.greeting).groups()
            self.assertLess(abs(int(seconds) - time.time()), 60)
            self.assertLess(int(millis), 1000)
            stamps.append(conn.greeting)
        self.assertNotEqual(stamps[0], stamps[1])

    def test_dialogues(self):
        cases = {
            "user in lower case, then quit": [
                ("user mailuser", WELCOME % "mailuser"), ("QUIT", SIGN_OFF_EMPTY)],
            "quit at once": [("quit", SIGN_OFF_EMPTY)],
            "user without argument": [
                ("USER", TOO_FEW % "USER"), ("USER x", WELCOME % "x")],
            "user with two arguments": [
                ("USER a b", TOO_MANY % "USER"), ("USER a", WELCOME % "a")],
            "a line of five words": [
                ("USER a b c d", TOO_MANY % "USER"), ("USER a", WELCOME % "a")],
            "apop with two arguments": [
                ("APOP name digest", NO_APOP), ("USER x", WELCOME % "x")],
            "apop with one argument": [
                ("APOP name", TOO_FEW % "APOP"), ("USER x", WELCOME % "x")],
            "stat before logon": [("STAT", UNKNOWN % "STAT"), ("stat", UNKNOWN % "STAT")],
            "noop before logon": [("NOOP", UNKNOWN % "NOOP"), ("USER x", WELCOME % "x")],
            "empty line before logon": [("", UNKNOWN % ""), ("USER x", WELCOME % "x")],
            "pass before user": [("PASS secret", UNKNOWN % "PASS"), ("USER x", WELCOME % "x")],
            "other command after user": [
                ("USER x", WELCOME % "x"), ("STAT", UNKNOWN % "STAT"),
                ("PASS y", UNKNOWN % "PASS"), ("USER x", WELCOME % "x")],
            # After USER the line is split for a password: no upper-casing.
            "lower-case command after user": [
                ("USER x", WELCOME % "x"), ("list 1", UNKNOWN % "list"),
                ("USER x", WELCOME % "x")],
            "user again after user": [
                ("USER x", WELCOME % "x"), ("USER y", UNKNOWN % "USER"),
                ("USER y", WELCOME % "y")],
            "quit after user": [("USER x", WELCOME % "x"), ("QUIT", SIGN_OFF_EMPTY)],
        }
        for name, steps in cases.items():
            with self.subTest(name):
                conn = self.connect()
                self.dialogue(conn, steps)
                if steps[-1][1] == SIGN_OFF_EMPTY:
                    self.assertTrue(conn.closed_silently(), "still open after QUIT")

    def test_a_hundred_commands_before_logon(self):
        conn = self.connect()
        conn.send("NOOP\r\n" * 100)
        for _ in range(100):
            self.assertEqual(conn.reply(), UNKNOWN % "NOOP")
        self.assertEqual(conn.command("CAPA"), "-ERR Too many commands\r\n")
        self.assertTrue(conn.closed_silently())

    def test_quit_closes_gracefully(self):
        conn = self.connect()
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        conn.sock.settimeout(WAIT_SECONDS)
        self.assertEqual(conn.sock.recv(100), b"")    # an orderly end, not a reset

    def test_quit_with_argument_is_refused_and_closes(self):
        states = {"authorization": [], "after user": [("USER x", WELCOME % "x")]}
        for state, steps in states.items():
            with self.subTest(state):
                conn = self.connect()
                self.dialogue(conn, steps + [("QUIT now", TOO_MANY % "QUIT")])
                self.assertTrue(conn.closed_silently(), "still open after the refused QUIT")

    def test_long_line_is_cut_after_127_bytes(self):
        # The rest of an over-long line is dropped, never taken as a command
        # (it could be the tail of a password).
        conn = self.connect()
        conn.send("X" * 127 + "USER x\r\nUSER y\r\n")
        self.assertEqual(conn.reply(), UNKNOWN % ("X" * 127))
        self.assertEqual(conn.reply(), WELCOME % "y")
        conn = self.connect()
        conn.send("USER " + "z" * 200 + "\r\nQUIT\r\n")
        self.assertEqual(conn.reply(), WELCOME % ("z" * 122))
        self.assertEqual(conn.reply(), SIGN_OFF_EMPTY)

    def test_commands_in_one_write(self):
        conn = self.connect()
        conn.send("USER x\r\nQUIT\r\n")
        self.assertEqual(conn.replies(2), [WELCOME % "x", SIGN_OFF_EMPTY])

    def test_command_split_across_writes(self):
        conn = self.connect()
        for part in ("US", "ER spl", "it\r", "\n"):
            conn.send(part)
            time.sleep(0.05)
        self.assertEqual(conn.reply(), WELCOME % "split")


class LogonTest(Pop3Case):
    """PASS: wrong passwords, unknown users, the mailbox lock."""

    def test_failed_logons(self):
        user, password = new_user(self.server)
        # Whether the name is an account shows nowhere in the reply.
        cases = {
            "wrong password": (user, "PASS wrong"),
            "empty password": (user, "PASS"),
            "password with a trailing space": (user, "PASS %s " % password),
            "unknown user": ("nobody", "PASS " + password),
            "name no account could have": ("../" + user, "PASS " + password),
        }
        for name, (who, line) in cases.items():
            with self.subTest(name):
                conn = self.connect()
                self.assertEqual(conn.command("USER " + who), WELCOME % who)
                self.assertEqual(conn.command(line), WRONG % who)
                # The client has to start again with USER.
                self.assertEqual(conn.command("PASS " + password), UNKNOWN % "PASS")
                self.logon(user, password, 0, 0, conn=conn)
                self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        events = self.server.scratch.events()
        self.assertIn('"Logon failure - Password may be wrong" failed', events)
        self.assertIn('"Logon failure User not known" failed', events)

    def test_password_with_spaces(self):
        user, password = new_user(self.server, "two  words here")
        # Blanks after PASS are skipped; the rest of the line is the password.
        conn = self.connect()
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        self.assertRegex(conn.command("PASS two words here"), LOGON_FAILED % (user, 3))
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        self.assertEqual(conn.command("PASS \t two  words here"), MAILBOX_HAS % (user, 0, 0))

    def test_second_logon_is_locked_out(self):
        user, password = self.user_with({msg_name(1): sized_message(100, "one")})
        first = self.logon(user, password, 1, 100)
        second = self.connect()
        self.assertEqual(second.command("USER " + user), WELCOME % user)
        self.assertRegex(second.command("PASS " + password), UNABLE_TO_LOCK % user)
        self.assertEqual(second.command("STAT"), UNKNOWN % "STAT")     # authorization state
        self.assertEqual(first.command("STAT"), "+OK 1 100\r\n")
        self.assertEqual(first.command("QUIT"), SIGN_OFF_LEFT % 1)
        self.logon(user, password, 1, 100, conn=second)

    def test_missing_mailbox_is_created_at_logon(self):
        user, password = new_user(self.server, mailbox=False)
        self.assertFalse(os.path.exists(self.server.mailbox(user)))
        conn = self.logon(user, password, 0, 0)
        self.assertTrue(os.path.isdir(self.server.mailbox(user)))
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)

    def test_long_user_name_is_cut_to_31_characters(self):
        long_name = "n" * 40
        conn = self.connect()
        self.assertEqual(conn.command("USER " + long_name), WELCOME % long_name)
        self.assertEqual(conn.command("PASS x"), WRONG % ("n" * 31))

    def test_failures_are_answered_late_and_the_third_closes(self):
        user, password = new_user(self.server)
        # Failing clients besides, known and unknown names alike: their
        # answers wait on a timer, not on the server's workers.
        others = [self.connect() for _ in range(8)]
        names = [user if i % 2 else "nobody" for i in range(len(others))]
        sent = time.monotonic()
        for other, name in zip(others, names):
            other.send("USER %s\r\nPASS wrong\r\n" % name)
        conn = self.connect()
        for delay in (1, 2, 4):
            self.assertEqual(conn.command("USER " + user), WELCOME % user)
            started = time.monotonic()
            conn.send("PASS %s-not\r\n" % password)
            if delay == 1:
                with self.server.connect() as quick:
                    self.assertEqual(quick.command("USER x"), WELCOME % "x")
                self.assertEqual([other.reply() for other in others],
                                 [WELCOME % name for name in names])
                self.assertLess(time.monotonic() - sent, 0.8, "a worker was held")
                # Nobody's failure is answered yet, known name or not.
                self.assertEqual([other.pending(0.01) for other in others], [b""] * len(others))
            self.assertEqual(conn.reply(timeout=delay + 5), WRONG % user)
            elapsed = time.monotonic() - started
            self.assertGreaterEqual(elapsed, delay - 0.05)
            self.assertLess(elapsed, delay + 2)
        self.assertTrue(conn.closed_silently(), "open after the third failure")
        self.assertEqual([other.reply() for other in others], [WRONG % name for name in names])


def plain_response(user, password, authzid=""):
    """A SASL PLAIN message in base64."""
    return base64.b64encode(("%s\0%s\0%s" % (authzid, user, password)).encode()).decode()


class TlsTest(Pop3Case):
    """CAPA, STLS, TLS from the first byte and AUTH PLAIN, also with real
    clients; passwords cross in clear only from PlaintextLogonClients."""

    @classmethod
    def setUpClass(cls):
        cls.server = TLS

    def capabilities(self, conn):
        conn.send("CAPA\r\n")
        head, *lines, end, _ = conn.read_until(b"\r\n.\r\n").decode().split("\r\n")
        self.assertEqual((head, end), ("+OK Capability list follows", "."))
        return lines

    def test_capa_and_stls(self):
        with MAIN.connect() as conn:          # no certificate: no STLS
            self.assertEqual(self.capabilities(conn), CAPABILITIES)
        user, password = new_user(self.server)
        conn = self.logon(user, password, 0, 0)
        self.assertEqual(self.capabilities(conn), CAPABILITIES + ["STLS"])
        self.assertEqual(conn.command("STLS"), "-ERR STLS is not permitted after logon\r\n")
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        # Injected in clear behind STLS: a logon and a QUIT that must not run.
        conn = self.connect()
        conn.send("STLS\r\nUSER %s\r\nPASS %s\r\nQUIT\r\n" % (user, password))
        self.assertEqual(conn.reply(), "+OK Begin TLS negotiation\r\n")
        conn.start_tls()
        self.dialogue(conn, [("STAT", UNKNOWN % "STAT"), ("STLS", "-ERR TLS is already active\r\n")])
        self.assertEqual(self.capabilities(conn), CAPABILITIES)

    def test_passwords_from_outside_only_encrypted(self):
        user, password = new_user(self.server)
        conn = self.server.connect(source=OUTSIDE)
        self.addCleanup(conn.close)
        # In clear an outsider is offered no way to send a password.
        logons = ["USER", "SASL PLAIN"]
        self.assertEqual(self.capabilities(conn),
                         [c for c in CAPABILITIES if c not in logons] + ["STLS"])
        for line in ("USER " + user, "AUTH PLAIN " + plain_response(user, password), "AUTH PLAIN"):
            self.assertEqual(conn.command(line), ENCRYPTION_REQUIRED, line)
        self.assertEqual(conn.command("STLS"), "+OK Begin TLS negotiation\r\n")
        conn.start_tls()
        self.assertEqual(self.capabilities(conn), CAPABILITIES)
        self.logon(user, password, 0, 0, conn=conn)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        conn = self.server.connect(source=OUTSIDE, port=self.server.tls_port, tls=True)
        self.addCleanup(conn.close)
        self.assertEqual(conn.command("AUTH PLAIN " + plain_response(user, password)),
                         MAILBOX_HAS % (user, 0, 0))
        # A client that speaks no TLS to the TLS port is never answered in clear.
        with SmtpConnection(self.server.tls_port, source=OUTSIDE) as raw:
            raw.send("USER %s\r\n" % user)
            self.assertFalse(raw.pending(REPLY_SECONDS).startswith(b"+OK"))
            self.assertTrue(raw.wait_closed())

    def test_auth_plain(self):
        user, password = new_user(self.server, "Long-%s" % ("p" * 95))  # a line over 127 bytes
        conn = self.connect()
        self.dialogue(conn, [
            ("AUTH LOGIN", "-ERR unrecognized authentication mechanism\r\n"),
            ("AUTH PLAIN not!base64", "-ERR invalid base64 data\r\n"),
            ("AUTH PLAIN", "+ \r\n"), ("*", "-ERR authentication cancelled\r\n")])
        # Failures are PASS's: answered late, whatever was wrong.
        for delay, response in ((1, plain_response(user, "wrong")),
                                (2, plain_response(user, password, authzid="u000"))):
            started = time.monotonic()
            self.assertEqual(conn.command("AUTH PLAIN " + response), AUTH_FAILED % user)
            self.assertGreaterEqual(time.monotonic() - started, delay - 0.05)
        self.assertEqual(conn.command("AUTH PLAIN"), "+ \r\n")
        self.assertEqual(conn.command(plain_response(user, password)), MAILBOX_HAS % (user, 0, 0))
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        conn = self.connect()
        self.assertEqual(conn.command("AUTH PLAIN " + plain_response(user, password, user)),
                         MAILBOX_HAS % (user, 0, 0))
        logged = "%s from 127.0.0.1  AUTH **** OK [" % user
        poll(lambda: logged in self.server.log_text(), WAIT_SECONDS)
        log = self.server.log_text()
        self.assertIn(logged, log)
        for secret in (password, plain_response(user, password), plain_response(user, "wrong")):
            self.assertNotIn(secret, log + self.server.scratch.events())

    def test_poplib_stls_and_pop3_ssl(self):
        data = sized_message(300, "over TLS")
        user, password = self.user_with({msg_name(1): data})
        plain = poplib.POP3("127.0.0.1", self.server.port, timeout=WAIT_SECONDS)
        self.assertIn("STLS", plain.capa())
        plain.stls(client_tls_context())
        tls = poplib.POP3_SSL("127.0.0.1", self.server.tls_port, context=client_tls_context(),
                              timeout=WAIT_SECONDS)
        for client in (plain, tls):
            try:
                client.user(user)
                client.pass_(password)
                _, lines, _ = client.retr(1)
                self.assertEqual(b"".join(line + b"\r\n" for line in lines), data[:-3])
                client.quit()
            finally:
                client.close()

    @unittest.skipUnless(shutil.which("openssl"), "openssl is not installed")
    def test_openssl_s_client(self):
        user, password = self.user_with({msg_name(1): sized_message(100, "s_client")})
        for how in (["-starttls", "pop3", "-connect", "127.0.0.1:%d" % self.server.port],
                    ["-connect", "127.0.0.1:%d" % self.server.tls_port]):
            result = subprocess.run(["openssl", "s_client", "-quiet", "-crlf", *how],
                                    input="USER %s\nPASS %s\nSTAT\nQUIT\n" % (user, password),
                                    capture_output=True, text=True, timeout=WAIT_SECONDS)
            # (Text mode: the line ends come as "\n".)
            self.assertIn("+OK 1 100\n+OK %s POP3 server signing off" % LOCAL_HOST,
                          result.stdout, how + [result.stderr])

    @unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
    def test_fetchmail_over_tls(self):
        files = {msg_name(n): sample_message("fetchmail %d" % n, [b"over TLS", b"."])
                 for n in (1, 2)}
        user, password = self.user_with(files)
        want = sorted(normal(unstuffed_text(data)) for data in files.values())
        home = fetchmail_home(self)
        for port, how in ((self.server.tls_port, "--ssl"),       # TLS from the first byte
                          (self.server.port, "--sslproto=tls1.2+")):  # STLS
            result = run_fetchmail(home, port, user, password, "--keep", "--fetchall", how,
                                   "--nosslcertck")
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertEqual([normal(t) for t in fetched(home)], want)


class TransactionTest(Pop3Case):
    """The mailbox commands on a mailbox of 100, 200 and 300 bytes."""

    SIZES = (100, 200, 300)

    def open_three(self):
        files = {msg_name(n): sized_message(size, "m%d" % n)
                 for n, size in enumerate(self.SIZES, 1)}
        user, password = self.user_with(files)
        conn = self.logon(user, password, 3, 600)
        numbers = self.numbering(conn)
        self.assertEqual({(size, name) for size, name in numbers.values()},
                         {(len(data), name) for name, data in files.items()})
        self.assertEqual(sorted(numbers), [1, 2, 3])
        return user, password, conn, numbers, files

    def test_listings(self):
        user, password, conn, numbers, files = self.open_three()
        listing = "".join("%d %d\r\n" % (n, numbers[n][0]) for n in (1, 2, 3))
        uids = "".join("%d %s\r\n" % (n, numbers[n][1]) for n in (1, 2, 3))
        steps = [("STAT", "+OK 3 600\r\n"), ("LAST", "+OK 0\r\n"), ("NOOP", "+OK\r\n")]
        steps += [("LIST %d" % n, "+OK %d %d\r\n" % (n, numbers[n][0])) for n in (1, 2, 3)]
        steps += [("UIDL %d" % n, "+OK %d %s\r\n" % (n, numbers[n][1])) for n in (1, 2, 3)]
        # Numbers: optional blanks and sign, then digits up to another character.
        steps += [("LIST " + arg, "+OK 2 %d\r\n" % numbers[2][0]) for arg in ("+2", "2x", "02")]
        steps += [("LIST " + arg, ONLY % 3) for arg in ("0", "4", "x", "-1")]
        steps += [("UIDL " + arg, ONLY % 3) for arg in ("0", "4", "x")]
        steps += [("RETR " + arg, NO_SUCH) for arg in ("0", "4", "x", "-1")]
        steps += [("DELE " + arg, NO_SUCH) for arg in ("0", "4", "x")]
        steps += [("TOP %s 1" % arg, NO_SUCH) for arg in ("0", "4", "-1")]
        steps += [("TOP 1 -1", NEGATIVE), ("LAST", "+OK 0\r\n"), ("STAT", "+OK 3 600\r\n")]
        self.dialogue(conn, steps)
        want = "+OK 3 messages (600 octets)\r\n" + listing + ".\r\n"
        self.assertEqual(self.multi(conn, "LIST", len(want)), want.encode())
        self.assertEqual(self.multi(conn, "UIDL", len(UIDL_HEAD) + len(uids) + 3),
                         (UIDL_HEAD + uids + ".\r\n").encode())

    def test_argument_counts(self):
        user, password, conn, numbers, files = self.open_three()
        self.dialogue(conn, [
            ("STAT 1", TOO_MANY % "STAT"), ("LAST 1", TOO_MANY % "LAST"),
            ("NOOP 1", TOO_MANY % "NOOP"), ("RSET 1", TOO_MANY % "RSET"),
            ("LIST 1 2", TOO_MANY % "LIST"), ("UIDL 1 2", TOO_MANY % "UIDL"),
            ("RETR", TOO_FEW % "RETR"), ("RETR 1 2", TOO_MANY % "RETR"),
            ("retr 1 2 3 4", TOO_MANY % "RETR"), ("DELE", TOO_FEW % "DELE"),
            ("DELE 1 2", TOO_MANY % "DELE"), ("TOP 1", TOO_FEW % "TOP"),
            ("TOP 1 2 3", TOO_MANY % "TOP"), ("USER x", UNKNOWN % "USER"),
            ("PASS x", UNKNOWN % "PASS"), ("APOP a b", UNKNOWN % "APOP"),
            ("XTND", UNKNOWN % "XTND"), ("STAT", "+OK 3 600\r\n")])

    def test_empty_line_in_transaction(self):
        user, password, conn, numbers, files = self.open_three()
        # The reply names the line as received; it stays one reply line.
        self.assertEqual(conn.command(""), UNKNOWN % "")
        self.assertEqual(conn.command("   "), UNKNOWN % "   ")
        self.assertEqual(conn.command("STAT"), "+OK 3 600\r\n")

    def test_dele_last_rset(self):
        user, password, conn, numbers, files = self.open_three()
        two = numbers[2][0]
        rest = 600 - two
        self.dialogue(conn, [
            ("DELE 2", "+OK message 2 deleted\r\n"), ("STAT", "+OK 2 %d\r\n" % rest),
            ("LIST 2", DELETED % 2), ("UIDL 2", DELETED % 2), ("RETR 2", DELETED % 2),
            ("TOP 2 0", DELETED % 2), ("DELE 2", DELETED % 2), ("LAST", "+OK 2\r\n")])
        listing = "".join("%d %d\r\n" % (n, numbers[n][0]) for n in (1, 3))
        head = "+OK 2 messages (%d octets)\r\n" % rest
        self.assertEqual(self.multi(conn, "LIST", len(head) + len(listing) + 3),
                         (head + listing + ".\r\n").encode())
        uids = "".join("%d %s\r\n" % (n, numbers[n][1]) for n in (1, 3))
        self.assertEqual(self.multi(conn, "UIDL", len(UIDL_HEAD) + len(uids) + 3),
                         (UIDL_HEAD + uids + ".\r\n").encode())
        self.dialogue(conn, [
            ("RSET", "+OK mailbox has 3 messages (600 octets)\r\n"), ("LAST", "+OK 0\r\n"),
            ("STAT", "+OK 3 600\r\n"), ("LIST 2", "+OK 2 %d\r\n" % two)])
        # LAST is the highest number touched by RETR, TOP or DELE.
        size3 = numbers[3][0]
        conn.send("RETR 3\r\n")
        conn.read_exact(len("+OK %d octets\r\n" % size3) + size3)
        self.assertEqual(conn.command("LAST"), "+OK 3\r\n")
        conn.send("TOP 1 0\r\n")
        conn.read_until(b"\r\n\r\n.\r\n")
        self.dialogue(conn, [("LAST", "+OK 3\r\n"), ("QUIT", SIGN_OFF_LEFT % 3)])
        self.assertEqual(box_files(self.server.mailbox(user)), sorted(files))

    def test_deletion_happens_at_quit_and_renumbers(self):
        user, password, conn, numbers, files = self.open_three()
        self.dialogue(conn, [("DELE 2", "+OK message 2 deleted\r\n")])
        self.assertEqual(len(box_files(self.server.mailbox(user))), 3)   # not yet
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 2)
        left = sorted(n for n in files if n != numbers[2][1])
        self.assertEqual(box_files(self.server.mailbox(user)), left)
        rest = 600 - numbers[2][0]
        conn = self.logon(user, password, 2, rest)
        renumbered = self.numbering(conn)
        self.assertEqual(sorted(renumbered), [1, 2])
        self.assertEqual(sorted(name for _, name in renumbered.values()), left)
        self.dialogue(conn, [("DELE 1", "+OK message 1 deleted\r\n"),
                             ("DELE 2", "+OK message 2 deleted\r\n"),
                             ("STAT", "+OK 0 0\r\n"), ("QUIT", SIGN_OFF_EMPTY)])
        self.assertEqual(box_files(self.server.mailbox(user)), [])

    def test_connection_ends_without_quit_delete_nothing(self):
        ends = {
            "client closes": lambda conn: conn.close(),
            "client resets": lambda conn: (conn.sock.setsockopt(
                socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)), conn.close()),
            "quit with an argument": lambda conn: self.assertEqual(
                conn.command("QUIT please"), TOO_MANY % "QUIT"),
        }
        for name, end in ends.items():
            with self.subTest(name):
                user, password, conn, numbers, files = self.open_three()
                self.dialogue(conn, [("DELE 1", "+OK message 1 deleted\r\n"),
                                     ("DELE 3", "+OK message 3 deleted\r\n")])
                end(conn)
                # The lock goes with the connection: the next logon gets in.
                again = poll(lambda: self.try_logon(user, password), WAIT_SECONDS, 0.2)
                self.assertEqual(again, MAILBOX_HAS % (user, 3, 600))
                self.assertEqual(box_files(self.server.mailbox(user)), sorted(files))

    def try_logon(self, user, password):
        """The reply to PASS on a new connection, or None when locked out."""
        with self.server.connect() as conn:
            conn.command("USER " + user)
            reply = conn.command("PASS " + password)
            conn.command("QUIT")
        return None if reply.startswith("-ERR unable to lock") else reply

    def test_mail_arriving_during_the_transaction(self):
        user, password, conn, numbers, files = self.open_three()
        late = msg_name(9)
        write_file(self.server.mailbox(user, late), sized_message(150, "late"))
        self.dialogue(conn, [("STAT", "+OK 3 600\r\n"), ("LIST 4", ONLY % 3),
                             ("DELE 1", "+OK message 1 deleted\r\n"),
                             ("RSET", "+OK mailbox has 3 messages (600 octets)\r\n"),
                             ("DELE 1", "+OK message 1 deleted\r\n"),
                             ("QUIT", SIGN_OFF_LEFT % 2)])
        self.assertIn(late, box_files(self.server.mailbox(user)))
        self.logon(user, password, 3, 600 - numbers[1][0] + 150)


class RetrieveTest(Pop3Case):
    """RETR and TOP send the message files byte for byte."""

    def retrieve_each(self, cases, command, status):
        """cases: {name: (file content, the bytes expected after the status
        line)}; each file is message 1 of its own mailbox."""
        for name, (data, wire) in cases.items():
            with self.subTest(name):
                user, password = self.user_with({msg_name(1): data})
                conn = self.logon(user, password, 1, len(data))
                head = status(data)
                self.assertEqual(self.multi(conn, command, len(head) + len(wire)), head + wire)

    def test_retr_terminators(self):
        cases = {
            "ends with the end line": (b"Subject: a\r\n\r\nbody\r\n.\r\n", None),
            "dot-stuffed lines": (b"Subject: a\r\n\r\n..one\r\n...two\r\n..\r\n.\r\n", None),
            "ends with a line end": (b"Subject: a\r\n\r\nbody\r\n", b".\r\n"),
            "ends inside a line": (b"Subject: a\r\n\r\nbody", b"\r\n.\r\n"),
            "one byte": (b"x", b"\r\n.\r\n"),
            "bare line feeds": (b"Subject: a\n\nbody\n.\n", b""),
            "8-bit and NUL bytes": (b"Subject: a\r\n\r\n\xe4\xf6\x00\xff\r\n.\r\n", None),
            # A file holding nothing but the end line: sending one more end
            # line would leave a stray "." line for the client's next reply.
            "end line only": (b".\r\n", None),
        }
        table = {}
        for name, (data, tail) in cases.items():
            if name == "bare line feeds":
                wire = data[:-2] + b".\r\n"
            else:
                wire = data + (tail or b"")
            table[name] = (data, wire)
        self.retrieve_each(table, "RETR 1", lambda data: b"+OK %d octets\r\n" % len(data))

    def test_retr_empty_file(self):
        user, password = self.user_with({msg_name(1): b""})
        conn = self.logon(user, password, 1, 0)
        self.assertEqual(self.multi(conn, "RETR 1", 17), b"+OK 0 octets\r\n.\r\n")
        self.assertEqual(self.multi(conn, "TOP 1 5", 17), b"+OK 0 octets\r\n.\r\n")

    def test_top(self):
        header = b"From: a@b.example\r\nSubject: top\r\n\r\n"
        full = header + b"l1\r\n..l2\r\nl3\r\n.\r\n"
        lf = b"From: a\n\nl1\nl2\n"
        headless = b"From: a@b.example\r\nSubject: no body\r\n.\r\n"
        cases = {
            "0 lines": (full, "0", header + b".\r\n"),
            "no digits is 0 lines": (full, "x", header + b".\r\n"),
            "2 lines": (full, "2", header + b"l1\r\n..l2\r\n.\r\n"),
            "3 lines": (full, "3", header + b"l1\r\n..l2\r\nl3\r\n.\r\n"),
            "the end line counts as a line": (full, "4", full),
            "more lines than there are": (full, "99", full),
            "line feeds only": (lf, "1", b"From: a\n\nl1\n.\r\n"),
            "line feeds, more lines than there are": (lf, "9", lf + b".\r\n"),
            "no empty line: the whole message": (headless, "0", headless),
        }
        for name, (data, lines, wire) in cases.items():
            with self.subTest(name):
                user, password = self.user_with({msg_name(1): data})
                conn = self.logon(user, password, 1, len(data))
                self.assertEqual(self.multi(conn, "TOP 1 " + lines, 5 + len(wire)),
                                 b"+OK\r\n" + wire)

    def test_large_messages(self):
        """Messages read whole and messages sent from the file (above 64 KiB)
        end alike: RETR and TOP of each, with and without their end line."""
        line = b"0123456789" * 7 + b"ABCDEF\r\n"
        head = b"Subject: large\r\n\r\n"
        texts = {"3 MiB": head + line * ((3 << 20) // len(line)) + b".\r\n",
                 "64 KiB, no end line": head + line * ((64 << 10) // len(line) - 1) + b"tail",
                 "just above 64 KiB, no end line": head + line * ((64 << 10) // len(line)) + b"x"}
        self.assertLessEqual(len(texts["64 KiB, no end line"]), 64 << 10)
        self.assertGreater(len(texts["just above 64 KiB, no end line"]), 64 << 10)
        for name, data in texts.items():
            with self.subTest(name):
                user, password = self.user_with({msg_name(1): data})
                conn = self.logon(user, password, 1, len(data))
                wire = data if data.endswith(b"\r\n.\r\n") else data + b"\r\n.\r\n"
                status = b"+OK %d octets\r\n" % len(data)
                self.assertEqual(self.multi(conn, "RETR 1", len(status) + len(wire)),
                                 status + wire)
                top = b"+OK\r\n" + head + line * 2 + b".\r\n"
                self.assertEqual(self.multi(conn, "TOP 1 2", len(top)), top)

    def test_small_replies_do_not_wait_for_the_clients_ack(self):
        """The status line, the message and the end line leave as one unit:
        neither a RETR nor a LIST waits for the client's delayed ACK (40 ms
        a reply on Linux, 0.8 s for twenty), so twenty of each take a small
        fraction of that."""
        data = b"Subject: small\r\n\r\n" + b"x" * 300 + b"\r\n"   # the server adds ".\r\n"
        user, password = self.user_with({msg_name(1): data})
        conn = self.logon(user, password, 1, len(data))
        retr = b"+OK %d octets\r\n" % len(data) + data + b".\r\n"
        listing = b"+OK 1 messages (%d octets)\r\n1 %d\r\n.\r\n" % (len(data), len(data))
        for command, answer in (("RETR 1", retr), ("LIST", listing)):
            started = time.monotonic()
            for _ in range(20):
                conn.send(command + "\r\n")
                self.assertEqual(conn.read_exact(len(answer)), answer)
            self.assertLess(time.monotonic() - started, 0.4, command)

    def test_only_message_files_are_served(self):
        files = {msg_name(1): sized_message(100, "one"), "B0000000002.TMP": b"temp",
                 "notes.txt": b"text", "B0000000003.MSG.part": b"half"}
        user, password = self.user_with(files)
        os.makedirs(self.server.mailbox(user, "B0000000004.MSG"))
        conn = self.logon(user, password, 1, 100)
        self.assertEqual(self.numbering(conn), {1: (100, msg_name(1))})

    def test_empty_mailbox(self):
        user, password = self.user_with({})
        conn = self.logon(user, password, 0, 0)
        self.dialogue(conn, [("STAT", "+OK 0 0\r\n"), ("LAST", "+OK 0\r\n"),
                             ("LIST 1", ONLY % 0), ("RETR 1", NO_SUCH), ("TOP 1 0", NO_SUCH),
                             ("DELE 1", NO_SUCH)])
        want = b"+OK 0 message (0 octets)\r\n.\r\n"
        self.assertEqual(self.multi(conn, "LIST", len(want)), want)
        self.assertEqual(self.multi(conn, "UIDL", len(UIDL_HEAD) + 3),
                         UIDL_HEAD.encode() + b".\r\n")
        self.dialogue(conn, [("RSET", "+OK mailbox has 0 messages (0 octets)\r\n"),
                             ("QUIT", SIGN_OFF_EMPTY)])

    def test_burst_of_commands_in_one_write(self):
        user, password = self.user_with({msg_name(1): sized_message(100, "burst")})
        conn = self.logon(user, password, 1, 100)
        conn.send("NOOP\r\nSTAT\r\n" * 100 + "LAST\r\n")
        want = b"+OK\r\n+OK 1 100\r\n" * 100 + b"+OK 0\r\n"
        self.assertEqual(conn.read_exact(len(want)), want)

    def test_concurrent_clients(self):
        boxes = {}
        for b in range(8):
            files = {msg_name(n): sized_message(2000 + 997 * n + b, "c%d.%d" % (b, n))
                     for n in range(1, 6)}
            boxes[self.user_with(files)] = files
        failures = []

        def collect(user, password, files):
            try:
                with self.server.connect() as conn:
                    conn.command("USER " + user)
                    conn.command("PASS " + password)
                    for n in range(1, len(files) + 1):
                        conn.send("UIDL %d\r\n" % n)
                        name = conn.reply().split(" ")[2].strip()
                        data = files[name]
                        conn.send("RETR %d\r\nDELE %d\r\n" % (n, n))
                        head = b"+OK %d octets\r\n" % len(data)
                        if conn.read_exact(len(head) + len(data)) != head + data:
                            failures.append("%s: message %d differs" % (user, n))
                        conn.reply()
                    conn.command("QUIT")
            except Exception as e:  # reported below
                failures.append("%s: %r" % (user, e))

        threads = [threading.Thread(target=collect, args=(u, p, f), daemon=True)
                   for (u, p), f in boxes.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT_SECONDS * 2)
        self.assertEqual(failures, [])
        self.assertFalse(any(t.is_alive() for t in threads))
        for user, _ in boxes:
            self.assertEqual(box_files(self.server.mailbox(user)), [])

    def test_pipelined_commands(self):
        data = sized_message(120, "pipe")
        user, password = self.user_with({msg_name(1): data})
        conn = self.connect()
        conn.send("USER %s\r\nPASS %s\r\nSTAT\r\nRETR 1\r\nLIST 1\r\nQUIT\r\n" % (user, password))
        want = (WELCOME % user + MAILBOX_HAS % (user, 1, 120) + "+OK 1 120\r\n"
                + "+OK 120 octets\r\n").encode() + data + \
            ("+OK 1 120\r\n" + SIGN_OFF_LEFT % 1).encode()
        self.assertEqual(conn.read_exact(len(want)), want)


class ActivityLogTest(Pop3Case):
    """The POP3 activity log lines; no password anywhere."""

    def test_log_lines_and_no_password(self):
        password = "Pw-Log-Secret-9731"
        wrong = "Wrong-Secret-4682"
        user, password = self.user_with({msg_name(1): sized_message(100, "one"),
                                         msg_name(2): sized_message(100, "two")}, password)
        conn = self.connect()
        self.dialogue(conn, [("USER " + user, WELCOME % user),
                             ("PASS " + wrong, re.compile(LOGON_FAILED % (user, 3)))])
        self.logon(user, password, 2, 200, conn=conn)
        self.dialogue(conn, [("DELE 1", "+OK message 1 deleted\r\n"), ("RETR 9", NO_SUCH),
                             ("LIST 7", ONLY % 2)])
        self.multi(conn, "RETR 2", len(b"+OK 100 octets\r\n") + 100)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 1)
        stamp = datetime.datetime.now(datetime.timezone.utc)

        prefix = re.escape(user) + r" from 127\.0\.0\.1 "
        expected = [
            prefix + r"PASS (%s) -ERR %s logon failed \(\d+\) at point 3 in PASS\r?\n"
            % (STAMP_RE, re.escape(user)),
            prefix + r" PASS \*\*\*\* OK (%s)\n" % STAMP_RE,
            prefix + r"DELE (%s)\n" % STAMP_RE,
            prefix + r"RETR (%s)\n" % STAMP_RE,
            prefix + r"RETR (%s) -ERR no such message\r?\n" % STAMP_RE,
            prefix + r"LIST (%s) -ERR no such message, only 2 messages in mailbox\r?\n" % STAMP_RE,
            prefix + r" QUIT (%s)\n" % STAMP_RE,
        ]
        text = poll(lambda: (lambda t: t if t.count(user + " from") >= len(expected) else None)(
            self.server.log_text()), 5) or self.server.log_text()
        lines = [line + "\n" for line in text.split("\n") if line.startswith(user + " from")]
        self.assertEqual(len(lines), len(expected), lines)
        for line, pattern in zip(lines, expected):
            match = re.fullmatch(pattern, line)
            self.assertTrue(match, "%r does not match %r" % (line, pattern))
            when = datetime.datetime.strptime(match.group(1), "[%d/%b/%Y:%H:%M:%S]")
            when = when.replace(tzinfo=datetime.timezone.utc)
            self.assertLess(abs((stamp - when).total_seconds()), 60)
        # The day's file: years since 1900, month and day (the server runs in UTC).
        day = "%03d%02d%02d.log" % (stamp.year - 1900, stamp.month, stamp.day)
        self.assertIn(day, os.listdir(self.server.scratch.spool("Pop3log")))
        for secret in (password, wrong):
            self.assertNotIn(secret, text)
            self.assertNotIn(secret, self.server.scratch.events())
            self.assertNotIn(secret, self.server.service.stderr())

    def test_over_long_password_line(self):
        user, password = new_user(self.server)
        tail = "TailOfSecret%d" % next(_names)
        conn = self.connect()
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        # Cut at 127 bytes; the rest of the line is dropped, not taken as
        # the next command, and shows up nowhere.
        conn.send("PASS " + "p" * 122 + tail + "\r\nUSER " + user + "\r\n")
        self.assertRegex(conn.reply(), LOGON_FAILED % (user, 3))
        self.assertEqual(conn.reply(), WELCOME % user)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_EMPTY)
        time.sleep(0.2)
        for text in (self.server.log_text(), self.server.scratch.events(),
                     self.server.service.stderr()):
            self.assertNotIn(tail, text)
            self.assertNotIn("p" * 122, text)

    def test_errors_before_user_are_logged_without_a_name(self):
        conn = self.connect()
        marker = "XMARK%d" % next(_names)
        self.assertEqual(conn.command(marker), UNKNOWN % marker.upper())
        text = poll(lambda: marker in self.server.log_text() and self.server.log_text(), 5)
        lines = [line for line in (text or "").split("\n") if marker in line]
        self.assertEqual(len(lines), 1, text)
        self.assertRegex(lines[0] + "\n", r"^ from 127\.0\.0\.1 %s %s %s\r?\n$"
                         % (marker, STAMP_RE, re.escape(UNKNOWN[:-2] % marker)))


class IdleAndSettingsTest(Pop3Case):
    """The idle limit, MessageExtension and a mailbox that must exist."""

    @classmethod
    def setUpClass(cls):
        cls.server = STRICT

    def strict_box(self, user, *parts):
        return STRICT.template.replace("%USERNAME%", user.lower()) if not parts else \
            os.path.join(STRICT.template.replace("%USERNAME%", user.lower()), *parts)

    def new_strict_user(self, files):
        user, password = new_user(STRICT, mailbox=False)
        os.makedirs(self.strict_box(user))
        for name, data in files.items():
            write_file(self.strict_box(user, name), data)
        return user, password

    def nudge_until_closed(self, conns, seconds=WAIT_SECONDS):
        """Opens short connections (each completion runs the idle check)
        until every conn was closed; what each received before its end."""
        deadline = time.monotonic() + seconds
        received = [b""] * len(conns)
        closed = [False] * len(conns)
        while time.monotonic() < deadline and not all(closed):
            try:
                with STRICT.connect() as other:
                    other.command("QUIT")
            except (OSError, AssertionError):
                pass
            for i, conn in enumerate(conns):
                if closed[i]:
                    continue
                conn.sock.settimeout(0.2)
                try:
                    data = conn.sock.recv(100)
                    received[i] += data
                    closed[i] = not data
                except TimeoutError:
                    pass
                except ConnectionResetError:
                    closed[i] = True
        return [r if c else None for r, c in zip(received, closed)]

    def test_idle_connections_are_told_and_closed(self):
        user, password = self.new_strict_user({"B0000000001.EML": sized_message(100, "idle")})
        greeted = self.connect()
        named = self.connect()
        self.assertEqual(named.command("USER " + user), WELCOME % user)
        active = self.connect()
        self.logon(user, password, 1, 100, conn=active)
        self.assertEqual(active.command("DELE 1"), "+OK message 1 deleted\r\n")
        # Activity keeps a connection alive past the limit.
        for _ in range(int(IDLE_LIMIT / 0.5) + 4):
            time.sleep(0.5)
            self.assertEqual(active.command("NOOP"), "+OK\r\n")
        bye = AUTOLOGOUT.encode() + b"\r\n"
        self.assertEqual(self.nudge_until_closed([greeted, named, active]), [bye] * 3)
        self.assertEqual(box_files(self.strict_box(user)), ["B0000000001.EML"])
        log = poll(lambda: (lambda t: t if t.count(AUTOLOGOUT) >= 3 else None)(
            STRICT.log_text()), 5) or STRICT.log_text()
        self.assertRegex(log, r"(?m)^%s from 127\.0\.0\.1 .*%s" % (re.escape(user),
                                                                    re.escape(AUTOLOGOUT)))
        # The lock went with the connection.
        self.logon(user, password, 1, 100)

    def test_a_trickled_line_is_cut_at_the_idle_limit(self):
        # Bytes that make no whole command line buy no time.
        conn = self.connect()
        started = time.monotonic()
        received = b""
        while time.monotonic() < started + 4 * IDLE_LIMIT and not received:
            try:
                conn.send(b"N")
            except OSError:
                break
            received += conn.pending(0.3)
        self.assertEqual(received, AUTOLOGOUT.encode() + b"\r\n")
        self.assertLess(time.monotonic() - started, IDLE_LIMIT + 2.5)

    def test_unread_transmission_is_cut(self):
        """A transmission the client stops reading (the socket's buffers
        full, nothing moving) for longer than the idle limit ends the
        connection; one it reads goes through however long it takes."""
        line = b"z" * 98 + b"\r\n"
        data = b"Subject: big\r\n\r\n" + line * ((12 << 20) // len(line)) + b".\r\n"
        user, password = self.new_strict_user({"B0000000001.EML": data})
        head = b"+OK %d octets\r\n" % len(data)
        conn = self.logon(user, password, 1, len(data))
        conn.send("RETR 1\r\n")
        time.sleep(IDLE_LIMIT + 2.5)
        self.assertLess(len(conn.read_to_close(WAIT_SECONDS)), len(head) + len(data))
        conn = self.logon(user, password, 1, len(data))
        conn.send("RETR 1\r\n")
        self.assertEqual(conn.read_exact(len(head) + len(data), timeout=WAIT_SECONDS),
                         head + data)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 1)

    def test_message_extension(self):
        user, password = self.new_strict_user({"B0000000001.EML": sized_message(100, "eml"),
                                               "B0000000002.MSG": sized_message(200, "msg")})
        conn = self.logon(user, password, 1, 100)
        self.assertEqual(self.numbering(conn), {1: (100, "B0000000001.EML")})
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 1)

    def test_mailbox_must_exist(self):
        user, password = new_user(STRICT, mailbox=False)
        conn = self.connect()
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        self.assertRegex(conn.command("PASS " + password),
                         r"-ERR %s does not have mailbox \[%s\], or error\(\d+\)\r\n\Z"
                         % (user, re.escape(STRICT.template)))
        self.assertFalse(os.path.exists(self.strict_box(user)))
        self.assertEqual(conn.command("STAT"), UNKNOWN % "STAT")


# The trace line zelrecv puts in front of every message from smtplib.
RECEIVED = re.compile(rb"Received: from client\.example \(unverified \[127\.0\.0\.1\]\) by "
                      rb"zeltest\.example\.test\r\n \(TALVO ZELRECV 0\.83\) with ESMTP id "
                      rb"<B\d{10}@zeltest\.example\.test>;\r\n [^\r\n]+\r\n\Z")


class SessionLimitTest(unittest.TestCase):
    def test_trickling_client_meets_the_session_limit(self):
        """MaxTransactionTime bounds a whole session, even one that never
        falls idle: a client sending one byte at a time gets the limit's
        reply and the close, and its deletions do not happen."""
        limit = 2
        server = Pop3Server({"MaxTransactionTime": limit, "Pop3LogEnabled": 1},
                            prefix="zel-e2e-pop3l-")
        self.addCleanup(server.stop)
        user, password = new_user(server)
        write_file(server.mailbox(user, msg_name(1)), sized_message(100, "kept"))
        server.start()
        started = time.monotonic()
        conn = server.connect()
        self.addCleanup(conn.close)
        conn.command("USER " + user)
        self.assertEqual(conn.command("PASS " + password), MAILBOX_HAS % (user, 1, 100))
        self.assertEqual(conn.command("DELE 1"), "+OK message 1 deleted\r\n")
        received = b""
        for byte in itertools.cycle(b"NOOP\r\n"):
            if b"limit" in received or time.monotonic() > started + limit + 5:
                break
            conn.send(bytes([byte]))
            received += conn.pending(0.2)
        elapsed = time.monotonic() - started
        self.assertTrue(received.endswith(b"-ERR session time limit exceeded\r\n"), received)
        self.assertTrue(received.startswith(b"+OK\r\n"), received)     # served until then
        self.assertGreaterEqual(elapsed, limit)
        self.assertTrue(conn.closed_silently())
        self.assertEqual(box_files(server.mailbox(user)), [msg_name(1)])
        # The session writes its log line after the close the client saw.
        self.assertTrue(poll(lambda: "-ERR session time limit exceeded" in server.log_text(),
                             WAIT_SECONDS), server.log_text())


# Loaded into zelfetch with LD_PRELOAD: setfsuid() refuses while a file exists.
SETFSUID_FAULT = os.path.join(BUILD_DIR, "lib", "libzelfault_setfsuid.so")


def host_account(name):
    try:
        return pwd.getpwnam(name)
    except KeyError:
        return None


@unittest.skipUnless(os.geteuid() == 0 and host_account("nobody"),
                     "needs root and the host account nobody")
class ImpersonationTest(unittest.TestCase):
    """Mailboxes in home directories are read as their owner: the session
    of the accounts-file user "nobody" runs as the host account of that
    name. When the owner's identity cannot be taken (setfsuid fails), the
    logon fails with a temporary error and nothing is done as root."""

    def test_commands_fail_when_the_owner_cannot_be_taken(self):
        self.assertTrue(os.path.exists(SETFSUID_FAULT), "build the fault library first: " + SETFSUID_FAULT)
        server = Pop3Server(suite={"MailInBoxDir": "%HOME%/mail"}, prefix="zel-e2e-pop3i-")
        self.addCleanup(server.stop)
        trigger = server.scratch.path("setfsuid-fault")
        server.service.env.update(LD_PRELOAD=SETFSUID_FAULT, ZEL_FAULT_SETFSUID=trigger)
        owner = host_account("nobody")
        os.chmod(server.scratch.root, 0o755)
        home = server.scratch.path("home", "nobody")
        files = {msg_name(n): sized_message(100 * n, "m%d" % n) for n in (1, 2, 3)}
        for name, data in files.items():
            write_file(os.path.join(home, "mail", name), data)
        for path in (home, os.path.join(home, "mail")) + tuple(
                os.path.join(home, "mail", msg_name(n)) for n in (1, 2)):
            os.chown(path, owner.pw_uid, owner.pw_gid)
        os.chmod(os.path.join(home, "mail", msg_name(3)), 0o600)    # root's alone
        server.scratch.add_user("nobody", "pw-nobody", home)
        server.start()

        conn = server.connect()
        self.addCleanup(conn.close)
        self.assertEqual(conn.command("USER nobody"), WELCOME % "nobody")
        self.assertEqual(conn.command("PASS pw-nobody"), MAILBOX_HAS % ("nobody", 3, 600))
        # Read as nobody: a file only root may read stays closed.
        self.assertEqual(conn.command("RETR 3"), "-ERR couldn't open message 3 (13)\r\n")
        self.assertEqual(conn.command("DELE 1"), "+OK message 1 deleted\r\n")
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 2)
        self.assertEqual(box_files(os.path.join(home, "mail")), sorted(files)[1:])
        write_file(trigger, "")
        with server.connect() as again:
            again.command("USER nobody")
            reply = again.command("PASS pw-nobody")
            self.assertTrue(reply.startswith("-ERR nobody failed to create mailbox"), reply)
            # Still in the authorization state: the client may try again.
            self.assertEqual(again.command("STAT"), UNKNOWN % "STAT")
        self.assertEqual(box_files(os.path.join(home, "mail")), sorted(files)[1:])
        os.unlink(trigger)
        with server.connect() as again:
            again.command("USER nobody")
            self.assertEqual(again.command("PASS pw-nobody"), MAILBOX_HAS % ("nobody", 2, 500))

    def test_many_deletions_are_made_as_the_owner(self):
        """A QUIT that deletes many files (on several threads) deletes each
        as the owner: in a sticky directory, root's files stay, and the
        reply counts them."""
        server = Pop3Server(suite={"MailInBoxDir": "%HOME%/mail"}, prefix="zel-e2e-pop3i-")
        self.addCleanup(server.stop)
        owner = host_account("nobody")
        os.chmod(server.scratch.root, 0o755)
        home = server.scratch.path("home", "nobody")
        mail = os.path.join(home, "mail")
        names = [msg_name(n) for n in range(1, 301)]
        for n, name in enumerate(names):
            write_file(os.path.join(mail, name), sized_message(100, "m%d" % n))
            if n % 10:
                os.chown(os.path.join(mail, name), owner.pw_uid, owner.pw_gid)
        os.chown(home, owner.pw_uid, owner.pw_gid)
        os.chmod(mail, 0o1777)
        server.scratch.add_user("nobody", "pw-nobody", home)
        server.start()
        conn = server.connect()
        self.addCleanup(conn.close)
        conn.command("USER nobody")
        self.assertEqual(conn.command("PASS pw-nobody"), MAILBOX_HAS % ("nobody", 300, 30000))
        conn.send("".join("DELE %d\r\n" % n for n in range(1, 301)))
        for n in range(1, 301):
            self.assertEqual(conn.reply(), "+OK message %d deleted\r\n" % n)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 30)
        self.assertEqual(box_files(mail), names[::10])


class StopTest(unittest.TestCase):
    def test_stop_with_open_connections(self):
        """Stopping the service ends every connection and deletes nothing;
        the mailbox can be opened again after a restart."""
        server = Pop3Server(prefix="zel-e2e-pop3t-")
        self.addCleanup(server.stop)
        user, password = new_user(server)
        line = b"s" * 98 + b"\r\n"
        big = b"Subject: stop\r\n\r\n" + line * ((8 << 20) // len(line)) + b".\r\n"
        write_file(server.mailbox(user, msg_name(1)), big)
        write_file(server.mailbox(user, msg_name(2)), sized_message(100, "two"))
        server.start()
        greeted = server.connect()
        self.addCleanup(greeted.close)
        busy = server.connect()
        self.addCleanup(busy.close)
        busy.command("USER " + user)
        self.assertEqual(busy.command("PASS " + password), MAILBOX_HAS % (user, 2, len(big) + 100))
        busy.command("DELE 2")
        busy.send("RETR 1\r\n")         # not read: the transmission stays in progress
        time.sleep(0.3)
        self.assertEqual(server.service.stop(), 0)
        self.assertTrue(greeted.wait_closed(5))
        self.assertTrue(busy.wait_closed(5))
        self.assertEqual(box_files(server.mailbox(user)), [msg_name(1), msg_name(2)])
        self.assertIn("ZELFETCH INFORMATION 35 0xC0000023 ZEL POP3 Server service terminating.",
                      server.scratch.events())
        # A lock file left behind by a stop is taken over at the next logon.
        server.start()
        conn = self.logon_again(server, user, password, 2, len(big) + 100)
        self.assertEqual(conn.command("QUIT"), SIGN_OFF_LEFT % 2)

    def test_short_timeout_is_raised(self):
        # Without the test-only floor, Timeout 2 becomes ten minutes: a
        # client silent for twice the configured time is still served.
        server = Pop3Server({"Timeout": 2}, prefix="zel-e2e-pop3t-").start()
        self.addCleanup(server.stop)
        idle = server.connect()
        self.addCleanup(idle.close)
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            with server.connect() as other:     # each completion runs the idle check
                other.command("QUIT")
            time.sleep(0.3)
        self.assertEqual(idle.command("USER x"), WELCOME % "x")

    def logon_again(self, server, user, password, count, octets):
        conn = server.connect()
        self.addCleanup(conn.close)
        self.assertEqual(conn.command("USER " + user), WELCOME % user)
        self.assertEqual(conn.command("PASS " + password), MAILBOX_HAS % (user, count, octets))
        return conn


def fetchmail_home(case):
    """A scratch home for fetchmail, removed after the test."""
    home = tempfile.mkdtemp(prefix="zel-e2e-fetchmail-")
    case.addCleanup(shutil.rmtree, home, True)
    return home


def run_fetchmail(home, port, user, password, *flags):
    """One fetchmail run (a test peer) against 127.0.0.1:port; the messages
    go into files under home/out (fetched). The finished process."""
    rc = os.path.join(home, "fetchmailrc")
    with open(rc, "w") as f:
        f.write('poll 127.0.0.1 port %d protocol pop3 timeout %d user "%s" '
                'password "%s" is "%s" here\n' % (port, WAIT_SECONDS, user, password, user))
    os.chmod(rc, 0o600)
    out = os.path.join(home, "out")
    os.makedirs(out, exist_ok=True)
    env = dict(os.environ, HOME=home, FETCHMAILHOME=home)
    return subprocess.run(
        ["fetchmail", "-f", rc, "--nosyslog",
         "--idfile", os.path.join(home, "ids"), "--pidfile", os.path.join(home, "pid"),
         "--invisible", "--norewrite", "--mda", "cat > %s/msg.$$" % out, *flags],
        env=env, capture_output=True, text=True, timeout=WAIT_SECONDS * 3)


def fetched(home):
    """The texts fetchmail has handed on since the last call, sorted."""
    out = os.path.join(home, "out")
    texts = []
    for name in sorted(os.listdir(out)):
        texts.append(read_bytes(os.path.join(out, name)))
        os.unlink(os.path.join(out, name))
    return sorted(texts)


def normal(text):
    """A text with LF line ends, as fetchmail's MDA receives it."""
    return text.replace(b"\r\n", b"\n")


def unstuffed_text(stored):
    """What a POP3 client hands on for a stored message file: the end line
    dropped, the leading dot of SMTP transparency removed."""
    assert stored.endswith(b"\r\n.\r\n"), stored[-20:]
    lines = stored[:-3].split(b"\r\n")[:-1]
    return b"".join((line[1:] if line.startswith(b".") else line) + b"\r\n" for line in lines)


def sample_message(subject, body_lines):
    text = ("From: Carol <carol@client.example>\r\nTo: alice@%s\r\nSubject: %s\r\n"
            "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\nMessage-ID: <%s.%f@client.example>\r\n\r\n"
            % (LOCAL_HOST, subject, subject.replace(" ", "."), time.time()))
    return text.encode("latin-1") + b"".join(line + b"\r\n" for line in body_lines)


class ClientsTest(unittest.TestCase):
    """Mail received by zelrecv and delivered by zeldeliv, collected by
    ordinary POP3 clients."""

    def deliver(self, user, subject, body_lines):
        before = set(MAIL.messages(user))
        data = sample_message(subject, body_lines)
        MAIL.send("carol@client.example", ["%s@%s" % (user, LOCAL_HOST)], data)
        names = MAIL.wait_messages(user, len(before) + 1)
        new = sorted(set(names) - before)
        self.assertEqual(len(new), 1, names)
        return new[0], data

    def test_poplib_reads_what_was_sent(self):
        bodies = {
            "plain": [b"Hello Alice.", b"Second line."],
            "dots": [b".leading dot", b"..two dots", b".", b"end"],
            "long": [b"%05d " % n + b"y" * 70 for n in range(20000)],
        }
        sent = {}
        for subject, lines in bodies.items():
            name, data = self.deliver("alice", subject, lines)
            sent[name] = data
        client = poplib.POP3("127.0.0.1", MAIL.pop3_port, timeout=WAIT_SECONDS)
        try:
            self.assertRegex(client.getwelcome().decode() + "\r\n", GREETING_RE)
            client.user("alice")
            client.pass_(MAIL_USERS["alice"])
            count, octets = client.stat()
            stored = {n: MAIL.read_message("alice", n) for n in MAIL.messages("alice")}
            self.assertEqual((count, octets), (len(stored), sum(map(len, stored.values()))))
            _, uids, _ = client.uidl()
            for entry in uids:
                number, name = entry.decode().split(" ")
                _, lines, _ = client.retr(int(number))
                text = b"".join(line + b"\r\n" for line in lines)
                self.assertEqual(text, unstuffed_text(stored[name]))
                if name in sent:
                    # As sent, behind the receiver's trace line.
                    self.assertRegex(text[:-len(sent[name])], RECEIVED)
                    self.assertEqual(text[-len(sent[name]):], sent[name])
                client.dele(int(number))
            client.quit()
        finally:
            client.close()
        self.assertEqual(MAIL.messages("alice"), [])

    @unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
    def test_fetchmail(self):
        sent = dict(self.deliver("bob", "fm %d" % n, [b"fetchmail line %d" % n, b".dot"])
                    for n in range(3))
        stored = {n: MAIL.read_message("bob", n) for n in sent}
        home = fetchmail_home(self)

        def run(*flags, password=MAIL_USERS["bob"]):
            # No TLS: the server offers none, and fetchmail would insist.
            return run_fetchmail(home, MAIL.pop3_port, "bob", password, "--sslproto", "", *flags)

        want = sorted(normal(unstuffed_text(data)) for data in stored.values())
        result = run("--keep", "--fetchall", "--uidl")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([normal(t) for t in fetched(home)], want)
        self.assertEqual(sorted(MAIL.messages("bob")), sorted(sent))      # kept
        result = run("--keep", "--uidl")                                  # nothing new
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertEqual(fetched(home), [])
        result = run(password="not the password")
        self.assertEqual(result.returncode, 3, result.stdout + result.stderr)
        result = run("--fetchall")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual([normal(t) for t in fetched(home)], want)
        self.assertEqual(MAIL.messages("bob"), [])
        for secret in (MAIL_USERS["bob"], "not the password"):
            self.assertNotIn(secret, pop3_log_text(MAIL.scratch))
            self.assertNotIn(secret, MAIL.scratch.events())


if __name__ == "__main__":
    unittest.main()
