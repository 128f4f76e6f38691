#!/usr/bin/python3
"""Checks of what the side-by-side benchmark measures with, where a fault
would skew its figures without failing a run (no root, no peers needed):

    python3 bench/compare/test_compare.py
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)

import benchlib  # noqa: E402
import measure  # noqa: E402
import peers  # noqa: E402


class TreeCpu(unittest.TestCase):
    def test_counts_children_that_came_and_went(self):
        # A server whose worker burns processor time and is reaped before
        # the reading: its time must still count (Postfix's smtpd do this).
        burn = "import time\nt=time.process_time()\nwhile time.process_time()-t<0.3: pass\n"
        parent = subprocess.Popen([sys.executable, "-c",
                                   "import subprocess,sys,time\n"
                                   "subprocess.run([sys.executable,'-c',%r])\n"
                                   "print('done',flush=True)\ntime.sleep(30)\n" % burn],
                                  stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(parent.stdout.readline(), "done\n")
            self.assertGreaterEqual(measure.tree_cpu([parent.pid]), 0.25)
            self.assertIn(parent.pid, measure.tree_pids([parent.pid]))
        finally:
            parent.kill()
            parent.wait()
            parent.stdout.close()

    def test_ended_roots_count_nothing(self):
        proc = subprocess.Popen(["true"])
        proc.wait()
        self.assertEqual(measure.tree_pids([proc.pid]), set())
        self.assertEqual(measure.tree_cpu([proc.pid]), 0)


class FakePop3(threading.Thread):
    """Serves one session: a mailbox of texts, each reply sent in the
    pieces given by cut (so that the end line is torn apart)."""

    def __init__(self, texts, cut):
        super().__init__(daemon=True)
        self.texts, self.cut = texts, cut
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.commands = []

    def send(self, conn, data):
        for i in range(0, len(data), self.cut):
            conn.sendall(data[i:i + self.cut])

    def run(self):
        conn, _ = self.listener.accept()
        with conn, conn.makefile("rb") as f:
            conn.sendall(b"+OK ready\r\n")
            for line in f:
                verb, _, arg = line.strip().decode().partition(" ")
                self.commands.append(verb)
                if verb == "STAT":
                    conn.sendall(b"+OK %d 0\r\n" % len(self.texts))
                elif verb == "RETR":
                    self.send(conn, b"+OK\r\n" + self.texts[int(arg) - 1] + b".\r\n")
                else:
                    conn.sendall(b"+OK\r\n")
                if verb == "QUIT":
                    break
        self.listener.close()


class Pop3ClientReads(unittest.TestCase):
    def collect(self, texts, cut, delete):
        server = FakePop3(texts, cut)
        server.start()
        client = measure.Pop3Client(server.port, "u", "p", delete)
        benchlib.start_together([client])
        self.assertEqual(benchlib.join([client], 10), [])
        server.join(10)
        return client, server.commands

    def test_end_line_torn_apart_and_lines_that_look_like_it(self):
        texts = [b"a\r\n..\r\nb\r\n", b"x" * 70000 + b"\r\n", b"\r\n"]
        for cut in (1, 2, 3, 7, 4096):
            client, commands = self.collect(texts, cut, delete=True)
            self.assertEqual(client.messages, 3)
            self.assertEqual(client.octets, sum(len(t) + 3 for t in texts))
            self.assertEqual(commands, ["USER", "PASS", "STAT"] + ["RETR", "DELE"] * 3 + ["QUIT"])

    def test_retrieve_only(self):
        client, commands = self.collect([b"a\r\n"], 4096, delete=False)
        self.assertEqual(commands, ["USER", "PASS", "STAT", "RETR", "QUIT"])


@unittest.skipUnless(shutil.which("g++"), "no g++ to build pop3load")
class Pop3LoadReads(unittest.TestCase):
    """pop3load reads what the Python client reads, and counts it alike."""

    def test_same_session_as_the_python_client(self):
        texts = [b"a\r\n..\r\nb\r\n", b"x" * 300000 + b"\r\n", b"\r\n", b""]
        with tempfile.TemporaryDirectory() as d:
            program = measure.pop3_load_program(d)
            for cut, delete in ((1, True), (3, False), (65536, True)):
                server = FakePop3(texts, cut)
                server.start()
                load = measure.Pop3Load(program, server.port, {"u": "p"}, delete, 30)
                self.assertEqual(load.start().finish(), [])
                server.join(10)
                self.assertEqual((load.messages, load.octets),
                                 (4, sum(len(t) + 3 for t in texts)))
                self.assertEqual(server.commands, ["USER", "PASS", "STAT"] +
                                 (["RETR", "DELE"] if delete else ["RETR"]) * 4 +
                                 ["QUIT"])


class FakeImap(threading.Thread):
    """Serves IMAP sessions on one mailbox of texts, each response sent in
    pieces of cut bytes; TLS from the first byte with context. Texts hold
    lines that look like the client's tagged responses, and the ENVELOPE
    of UID FETCH 1:* comes as a literal, as servers may send strings (the
    literals hold the tag of the command in flight: a client that took
    them for lines would stop early)."""

    def __init__(self, texts, cut, sessions=1, context=None):
        super().__init__(daemon=True)
        self.texts, self.cut, self.sessions, self.context = texts, cut, sessions, context
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.commands, self.appended = [], []

    def run(self):
        for _ in range(self.sessions):
            conn, _ = self.listener.accept()
            if self.context is not None:
                conn = self.context.wrap_socket(conn, server_side=True)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()
        self.listener.close()

    def send(self, conn, data):
        for i in range(0, len(data), self.cut):
            conn.sendall(data[i:i + self.cut])

    def serve(self, conn):
        with conn, conn.makefile("rb") as f:
            conn.sendall(b"* OK fake\r\n")
            for line in f:
                tag, _, command = line.strip().decode().partition(" ")
                verb = " ".join(command.split()[:2]) if command.startswith("UID") else \
                    command.split()[0]
                self.commands.append(verb)
                out = b""
                if verb == "SELECT":
                    out = b"* %d EXISTS\r\n" % len(self.texts)
                elif verb == "UID SEARCH":
                    out = b"* SEARCH " + b" ".join(b"%d" % (n + 1) for n in
                                                   range(len(self.texts))) + b"\r\n"
                elif verb == "SEARCH":
                    out = b"* SEARCH 2\r\n"
                elif verb == "UID FETCH" and command.endswith("BODY.PEEK[]"):
                    n = int(command.split()[2])
                    text = self.texts[n - 1]
                    out = b"* %d FETCH (UID %d BODY[] {%d}\r\n%s)\r\n" % (n, n, len(text), text)
                elif verb == "UID FETCH":
                    out = b"".join(b"* %d FETCH (UID %d ENVELOPE (NIL {7}\r\na3 OK\r\n))\r\n"
                                   % (n + 1, n + 1) for n in range(len(self.texts)))
                elif verb == "APPEND":
                    size = int(command.rsplit("{", 1)[1].rstrip("+}"))
                    self.appended.append(f.read(size))
                    f.readline()
                elif verb == "EXPUNGE":
                    out = b"* 2 EXPUNGE\r\n"
                elif verb == "IDLE":
                    self.send(conn, b"+ idling\r\n")
                    time.sleep(0.2)
                    self.send(conn, b"* 1 RECENT\r\n* %d EXISTS\r\n" % (len(self.texts) + 1))
                    f.readline()
                    return
                self.send(conn, out + tag.encode() + b" OK done\r\n")
                if verb == "LOGOUT":
                    return


@unittest.skipUnless(shutil.which("g++"), "no g++ to build imapload")
class ImapLoadReads(unittest.TestCase):
    """imapload reads every response to its tagged end, literals and
    responses torn into pieces included, and counts what it was asked to."""

    TEXTS = [b"a4 OK not yet\r\n\r\n", b"x" * 100000 + b"\r\n", b"a\r\n"]

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.program = measure.load_program(cls.dir, "imapload")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def session(self, mode, param, cut, sessions=1, context=None):
        server = FakeImap(self.TEXTS, cut, sessions, context)
        server.start()
        load = measure.ImapLoad(self.program, mode, server.port, param, {"u": "p"}, 30).start()
        if mode == "idle":
            self.assertTrue(load.ready())
        self.assertEqual(load.finish(), [])
        return load, server

    def test_each_mode(self):
        for cut in (1, 5, 65536):
            load, server = self.session("sync", "-", cut)
            self.assertEqual(load.total("messages"), 3)
            self.assertEqual(server.commands, ["LOGIN", "SELECT", "UID FETCH", "LOGOUT"])
            load, _ = self.session("fetch", "-", cut)
            self.assertEqual((load.total("messages"), load.total("octets")),
                             (3, sum(len(t) for t in self.TEXTS)))
        load, _ = self.session("search", "word", 7)
        self.assertEqual(load.total("messages"), 1)
        load, server = self.session("growth", "-", 7)
        self.assertEqual(server.commands[-3:], ["STORE", "EXPUNGE", "LOGOUT"])
        load, server = self.session("append", "3:2048", 3)
        self.assertEqual(load.total("messages"), 3)
        self.assertEqual([len(t) for t in server.appended], [load.total("octets") // 3] * 3)
        self.assertTrue(all(t.endswith(b"\r\n") and len(t) <= 2048 for t in server.appended))

    @unittest.skipUnless(shutil.which("openssl"), "no openssl to make a certificate")
    def test_idle_sessions_see_their_exists_over_tls(self):
        import ssl
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=localhost", "-keyout", key, "-out", cert, "-days", "1"],
                       check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        before = time.monotonic()
        load, _ = self.session("idle", 3, 1, sessions=3, context=context)
        self.assertEqual(len(load.sessions), 3)
        self.assertTrue(all(before < s["seen"] < time.monotonic() for s in load.sessions))


class ImapContents(unittest.TestCase):
    def test_rare_word_in_one_message_of_the_same_size(self):
        import scenarios
        texts = [scenarios.search_message(n, 10240, 3) for n in range(5)]
        self.assertEqual([scenarios.RARE_WORD.encode() in t for t in texts],
                         [False, False, False, True, False])
        self.assertEqual(len(texts[3]), len(scenarios.message(3, 10240)))
        self.assertTrue(texts[3].endswith(b"\r\n.\r\n"))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("doveconf"),
                         "needs root and Dovecot's doveconf")
    def test_dovecot_takes_the_idle_configuration(self):
        import pwd
        import scenarios
        try:
            pwd.getpwnam("dovecot")
        except KeyError:
            self.skipTest("no dovecot account")
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                            "/CN=localhost", "-keyout", key, "-out", cert, "-days", "1"],
                           check=True, capture_output=True)
            dovecot = peers.Dovecot(os.path.join(d, "dovecot"), {"u": "x"}, protocol="imap",
                                    tls=(cert, key), extra=scenarios.idle_limits(2000))
            dovecot.prepare(["u"])
            shown = subprocess.run(["doveconf", "-c", os.path.join(d, "dovecot", "dovecot.conf"),
                                    "-n"], capture_output=True, text=True, timeout=30)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            for line in ("protocols = imap", "default_process_limit = 2100", "ssl_cert = </",
                         "service imap {\n  process_limit = 2100\n}"):
                self.assertIn(line, shown.stdout)


class SinkCount(unittest.TestCase):
    def test_last_counter_of_each_sink(self):
        with tempfile.TemporaryDirectory() as d:
            outputs = []
            for name, text in (("a", b"sess=1 quit=0 mesg=1\rsess=9 quit=9 mesg=12\r"),
                               ("b", b"sess=1 quit=1 mesg=3\r" * 40), ("c", b"")):
                outputs.append(os.path.join(d, name))
                with open(outputs[-1], "wb") as f:
                    f.write(text)
            sinks = peers.Sinks.__new__(peers.Sinks)
            sinks.outputs = outputs
            self.assertEqual(sinks.count(), 15)


class Waits(unittest.TestCase):
    def test_wait_until_gives_up_when_told(self):
        count, _ = measure.wait_until(lambda: 3, 10, stall_seconds=60, give_up=lambda: True)
        self.assertEqual(count, 3)

    def test_failed_source_is_reported(self):
        # Nothing listens on port 1: smtp-source must fail, and say so.
        if not os.path.exists(measure.SMTP_SOURCE):
            self.skipTest("no smtp-source (package postfix)")
        errors = measure.smtp_source([measure.source_args(1, 1, 1, 100, "u@example.test")])
        self.assertEqual(len(errors), 1)


if __name__ == "__main__":
    unittest.main()
