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
