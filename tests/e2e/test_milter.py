"""zelrecv calling mail filters, against the scripted pymilter filter.

One receiver runs for the module with one Milters entry on a fixed port;
each case starts the filter it needs on that port (or none: a port where
nothing listens), so the receiver is started once. Time-outs are 2 s and
MilterDefaultAction is the default, tempfail.
"""

import base64
import os
import signal
import time
import unittest

from zelharness import (LOCAL_HOST, MailSystem, Receiver, ScriptFilter, child_pids, files_with,
                        free_port, list_spool_pairs, poll, pymilter_missing, read_bytes)

USER, PASSWORD = "alice", "Corr3ct-h0rse"
RECEIVED_OK = "250 Message received OK\r\n"
TEMPFAIL = "451 Service unavailable - try again later\r\n"
MESSAGE = (b"From: a@example.org\r\nSubject: hello\r\nX-Old: 1\r\n\r\n"
           b"first line\r\n..dotted\r\n.\r\n")

SERVER = None
PORT = None


def setUpModule():
    global SERVER, PORT
    if pymilter_missing():
        raise unittest.SkipTest(pymilter_missing())
    PORT = free_port()
    # The start waits for a 220 greeting: a filter must be there to give it.
    with ScriptFilter("inet:127.0.0.1:%d" % PORT):
        # Each case brings its own filter (or none) to the port: none is
        # remembered as down for the next (MilterRetryInterval 0).
        SERVER = Receiver({"Milters": ["inet:127.0.0.1:%d" % PORT], "MilterCommandTimeout": 2,
                           "MilterContentTimeout": 2, "RelayClients": ["127.0.0.1/32"],
                           "MilterRetryInterval": 0},
                          submission=True, users={USER: PASSWORD},
                          prefix="zel-e2e-milter-").start()


def tearDownModule():
    if SERVER is not None:
        SERVER.stop()


def spooled(directory):
    """{base: {ext: bytes}} of the files in a spool directory."""
    out = {}
    for name in os.listdir(directory):
        base, _, ext = name.rpartition(".")
        out.setdefault(base, {})[ext] = read_bytes(os.path.join(directory, name))
    return out


class FilterCase(unittest.TestCase):
    def setUp(self):
        for directory in (SERVER.queue, SERVER.scratch.spool("quarantine")):
            for name in os.listdir(directory):
                os.unlink(os.path.join(directory, name))
        self.record = SERVER.scratch.path("record-%s.json" % self.id().rsplit(".", 1)[-1])

    def filter(self, script=None, raw=""):
        f = ScriptFilter("inet:127.0.0.1:%d" % PORT, script, raw, self.record)
        self.addCleanup(f.stop)
        return f

    def send(self, recipients=("u1@localhost",), data=MESSAGE):
        return SERVER.send_message("s@example.org", list(recipients), data)

    def test_refusals_replace_the_replies_of_their_stage(self):
        self.filter({"stages": {
            "rcpt:<r1@localhost>": ["reject"],
            "rcpt:<r2@localhost>": ["tempfail"],
            "rcpt:<r3@localhost>": [["reply", "553", "5.7.1", "No such luck", "not today"]],
            "eom": [["reply", "554", "5.7.0", "Content refused"]]}})
        with SERVER.connect() as conn:
            conn.multiline("EHLO c")
            self.assertTrue(conn.command("MAIL FROM:<s@example.org>").startswith("250"))
            self.assertTrue(conn.command("RCPT TO:<r1@localhost>").startswith("550"))
            self.assertTrue(conn.command("RCPT TO:<r2@localhost>").startswith("451"))
            conn.send(b"RCPT TO:<r3@localhost>\r\n")
            self.assertEqual(conn.multiline(), ["553-5.7.1 No such luck\r\n",
                                                "553 5.7.1 not today\r\n"])
            self.assertTrue(conn.command("RCPT TO:<r4@localhost>").startswith("250"))
            self.assertTrue(conn.command("DATA").startswith("354"))
            conn.send(MESSAGE)
            self.assertEqual(conn.reply(), "554 5.7.0 Content refused\r\n")
        self.assertEqual(list_spool_pairs(SERVER.queue), {})

    def test_changes_reach_the_stored_message_and_envelope(self):
        f = self.filter({"stages": {"eom": [
            ["addheader", "X-Filtered", "yes"], ["chgheader", "Subject", 1, "changed"],
            ["chgheader", "X-Old", 1, None], ["addrcpt", "<added@localhost>"],
            ["delrcpt", "<u2@localhost>"], ["chgfrom", "<bounces@example.org>"],
            ["replacebody", "new body\n.starts with a dot\n"]]}})
        self.assertEqual(self.send(["u1@localhost", "u2@localhost"]), RECEIVED_OK)
        [files] = spooled(SERVER.queue).values()
        msg, rcp = files["MSG"], files["RCP"].decode().replace("\r\n", "\n")
        header, _, body = msg.partition(b"\r\n\r\n")
        self.assertIn(b"\r\nX-Filtered: yes\r\n", header + b"\r\n")
        self.assertIn(b"\r\nSubject: changed\r\n", header + b"\r\n")
        self.assertNotIn(b"X-Old", header)
        self.assertEqual(body, b"new body\r\n..starts with a dot\r\n.\r\n")
        self.assertIn("Return-path: bounces@example.org\n", rcp)
        self.assertIn("Recipient: added@localhost\n", rcp)
        self.assertIn("Recipient: u1@localhost\n", rcp)
        self.assertNotIn("u2@localhost", rcp)
        # The macros the common filters read, and the text as stored.
        macros = {}
        for entry in f.records():
            macros.update(entry.get("macros", {}))
        self.assertEqual(macros["{daemon_name}"], "zelrecv")
        self.assertEqual(macros["{client_addr}"], "127.0.0.1")
        self.assertEqual(macros["{if_addr}"], "127.0.0.1")
        self.assertEqual(macros["{mail_addr}"], "s@example.org")
        self.assertEqual(macros["{rcpt_addr}"], "u2@localhost")
        self.assertTrue(macros["j"])
        self.assertIn(macros["i"], files["RCP"].decode())
        [eom] = f.records("eom")
        self.assertEqual(eom["body"], "first line\r\n.dotted\r\n")

    def test_discard_and_quarantine_answer_250_and_queue_nothing(self):
        with self.filter({"stages": {"eom": ["discard"]}}):
            self.assertEqual(self.send(), RECEIVED_OK)
            self.assertEqual(list_spool_pairs(SERVER.queue), {})
        self.assertIn("discard", SERVER.scratch.events())
        self.filter({"stages": {"eom": [["quarantine", "looks like spam"]]}})
        self.assertEqual(self.send(), RECEIVED_OK)
        self.assertEqual(list_spool_pairs(SERVER.queue), {})
        [files] = spooled(SERVER.scratch.spool("quarantine")).values()
        self.assertEqual(set(files), {"MSG", "RCP", "TXT"})
        self.assertIn(b"Recipient: u1@localhost", files["RCP"])
        self.assertIn(b"looks like spam", files["TXT"])
        self.assertTrue(files["MSG"].endswith(b"..dotted\r\n.\r\n"))

    def test_broken_filters_take_the_default_action(self):
        # Nothing listens: the greeting is a temporary refusal.
        with SERVER.connect() as conn:
            self.assertTrue(conn.greeting.startswith("421"), conn.greeting)
        for raw in ("silent:eom", "close:body"):
            with self.filter(raw=raw):
                started = time.monotonic()
                self.assertEqual(self.send(), TEMPFAIL, raw)
                self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(list_spool_pairs(SERVER.queue), {})
        self.assertIn("127.0.0.1:%d" % PORT, SERVER.scratch.events())

    def test_submission_passes_the_authenticated_name(self):
        f = self.filter()
        token = base64.b64encode(("\0%s\0%s" % (USER, PASSWORD)).encode()).decode()
        with SERVER.connect(port=SERVER.submission_port) as conn:
            conn.multiline("EHLO c")
            self.assertTrue(conn.command("AUTH PLAIN " + token).startswith("235"))
            for line in ("MAIL FROM:<alice@%s>" % LOCAL_HOST, "RCPT TO:<x@example.org>", "DATA"):
                self.assertTrue(conn.command(line)[0] in "23", line)
            conn.send(MESSAGE)
            self.assertEqual(conn.reply(), RECEIVED_OK)
        [mail] = f.records("mail")
        self.assertEqual(mail["macros"]["{auth_authen}"], USER)
        self.assertEqual(mail["macros"]["{daemon_name}"], "zelrecv-submission")


class GeneratedMailTest(unittest.TestCase):
    """The delivery agent's own mail to another domain goes through ZELDELIV
    Milters: a failure report to a remote sender is changed by the filter
    before it is queued, and the filter sees it as local mail. The agent's
    privileged side, which writes the report, reaches no filter itself: its
    remote side runs them, and while that one is down the report waits; the
    receiver never waits for such a filter."""

    def report_to_remote_sender(self, eom):
        record = SERVER.scratch.path("record-generated-%s.json" % self.id().rsplit(".", 1)[-1])
        f = ScriptFilter("inet:127.0.0.1:0", {"stages": {"eom": eom}}, record=record)
        self.addCleanup(f.stop)
        mail = MailSystem(("alice",), deliv={"Timeout": 1, "Milters": [f.spec]},
                          prefix="zel-e2e-milter-deliv-")
        self.addCleanup(mail.stop_checked, self)
        mail.hold_domain("remote.example")
        mail.start()
        mail.send("sender@remote.example", ["nobody@" + LOCAL_HOST],
                  b"From: sender@remote.example\r\nSubject: lost\r\n\r\nBody.\r\n.\r\n")
        return f, mail

    def queued_report(self, mail):
        queue = mail.spool("domains", "remote.example")
        self.assertTrue(poll(lambda: files_with(queue, "RCP")), "no failure report queued")
        [rcp] = files_with(queue, "RCP")
        return read_bytes(mail.spool("holding", rcp[:-3] + "MSG"))

    def test_failure_report_is_filtered(self):
        f, mail = self.report_to_remote_sender([["addheader", "X-Signed", "yes"]])
        self.assertIn(b"\r\nX-Signed: yes\r\n", self.queued_report(mail))
        [connect] = f.records("connect")
        self.assertEqual(connect["macros"]["{daemon_name}"], "zeldeliv")
        self.assertEqual(connect["macros"]["{client_addr}"], "127.0.0.1")

    def test_report_waits_while_the_remote_side_is_down(self):
        f, mail = self.report_to_remote_sender([["sleep", 3], ["addheader", "X-Signed", "yes"]])
        # The remote side dies while the filter works on the report.
        self.assertTrue(poll(lambda: f.records("eom")), "the filter saw no report")
        [remote] = child_pids(mail.agent.proc.pid)
        os.kill(remote, signal.SIGKILL)
        self.assertIn(b"\r\nX-Signed: yes\r\n", self.queued_report(mail))
        self.assertEqual(len(f.records("eom")), 2)
        self.assertEqual(len(files_with(mail.spool("domains", "remote.example"), "RCP")), 1)
        self.assertIn("The remote delivery process ended: signal 9", mail.scratch.events())

    def test_filter_works_without_the_incoming_lock(self):
        # The filter takes ten seconds over a report; meanwhile the
        # receiver, which names each recipient file under the lock of
        # `incoming`, answers a client at once: the agent takes that lock
        # only when the filter is done.
        f, mail = self.report_to_remote_sender([["sleep", 10]])
        self.assertTrue(poll(lambda: f.records("eom")), "the filter never had the report")
        start = time.monotonic()
        mail.send("sender@remote.example", ["alice@" + LOCAL_HOST],
                  b"From: sender@remote.example\r\nSubject: meanwhile\r\n\r\nBody.\r\n.\r\n")
        self.assertLess(time.monotonic() - start, 5)
        self.queued_report(mail)

if __name__ == "__main__":
    unittest.main()
