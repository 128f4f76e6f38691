"""The SMTP receiver end to end, against a running zelrecv.

Two receivers run for the whole module: a plain one (relay allowed, inlog
on, in a time zone three and a half hours west of UTC) and a strict one
(relay prohibited, local recipients checked, a 10000-byte message limit, a
2-second idle limit, a renamed incoming directory, UTC). Raw sockets check every reply byte for
byte; Python's smtplib and swaks hold ordinary dialogues. The stored
message and recipient files are compared byte for byte, with the date
checked against the clock and the time zone.
"""

import datetime
import os
import re
import shutil
import smtplib
import time
import unittest

from zelharness import (LOCAL_HOST, MSGID_RE, WAIT_SECONDS, ZEL_KEY, Receiver, Scratch,
                        list_spool_pairs, program_path, read_bytes, run, swaks_send)

# The plain receiver's zone: 3:30 west of UTC, no daylight saving.
WEST_ZONE = ("ZLT+3:30", b"-0330", datetime.timedelta(hours=-3, minutes=-30))
UTC_ZONE = ("UTC0", b"+0000", datetime.timedelta(0))

GREETING = "220 %s ZEL SMTP Receiver Version 0.83 Ready\r\n"
CLOSING = "221 %s closing\r\n"
RECEIVED_OK = "250 Message received OK\r\n"
TIMEOUT_REPLY = "421 %s Timeout, closing connection\r\n"
TOO_BIG = "552 Message exceeds fixed maximum message size\r\n"
UNKNOWN = "500 Unknown or unimplemented command\r\n"

STRICT_LIMIT = 10000    # MaxMessageSize of the strict receiver, bytes
STRICT_TIMEOUT = 2      # Timeout of the strict receiver, seconds

DATE_RE = re.compile(rb"(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
                     rb"(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                     rb"\d\d:\d\d:\d\d [+-]\d{4}")

PLAIN = None   # the module's receivers, started in setUpModule
STRICT = None


def setUpModule():
    global PLAIN, STRICT
    PLAIN = Receiver({"MailInlogEnabled": 1}, env={"TZ": WEST_ZONE[0]}).start()
    PLAIN.zone = WEST_ZONE
    try:
        STRICT = Receiver({"ProhibitMailRelay": 1, "MaxMessageSize": STRICT_LIMIT,
                           "Timeout": STRICT_TIMEOUT, "MinimumTimeout": 1, "MailQueueDir": "queue",
                           "NoKeepalives": 1, "CheckLocalRecipient": 1},
                          env={"TZ": UTC_ZONE[0]}).start()
        STRICT.zone = UTC_ZONE
    except BaseException:
        PLAIN.stop()
        raise


def tearDownModule():
    for receiver in (STRICT, PLAIN):
        if receiver is not None:
            receiver.stop()


def clear_queue(receiver):
    for name in os.listdir(receiver.queue):
        os.unlink(os.path.join(receiver.queue, name))


def message(*lines, body=()):
    """Header lines, a blank line, body lines and the end marker, CR LF."""
    text = "".join(line + "\r\n" for line in lines) + "\r\n"
    text += "".join(line + "\r\n" for line in body) + ".\r\n"
    return text.encode("latin-1")


class ReceiverCase(unittest.TestCase):
    receiver = None   # set by each subclass

    def setUp(self):
        clear_queue(self.receiver)

    def connect(self, host="127.0.0.1", source=None):
        conn = self.receiver.connect(host, source=source)
        self.addCleanup(conn.close)
        return conn

    def dialogue(self, conn, steps):
        """Each step is (line to send, the exact reply)."""
        for line, want in steps:
            self.assertEqual(conn.command(line), want, "after %r" % line)

    def envelope(self, conn, helo, sender, recipients):
        """HELO (unless None), MAIL (unless None), RCPTs and DATA, all accepted."""
        steps = [("HELO " + helo, "250 OK\r\n")] if helo is not None else []
        if sender is not None:
            steps.append(("MAIL FROM:<%s>" % sender, "250 %s OK\r\n" % sender))
        steps += [("RCPT TO:<%s>" % r, "250 %s OK\r\n" % r) for r in recipients]
        steps.append(("DATA", "354 Ready for data\r\n"))
        self.dialogue(conn, steps)

    def only_new_pair(self, before):
        """The one message pair queued since the snapshot before."""
        pairs = list_spool_pairs(self.receiver.queue)
        new = {b: exts for b, exts in pairs.items() if b not in before}
        self.assertEqual(len(new), 1, "new files %s" % new)
        base, exts = new.popitem()
        self.assertEqual(exts, {"MSG", "RCP"}, base)
        self.assertRegex(base, MSGID_RE)
        return base

    def assert_nothing_queued(self):
        self.assertEqual(os.listdir(self.receiver.queue), [])

    def check_date(self, text):
        """A date text of the receiver: its zone's offset, close to now."""
        self.assertRegex(text, DATE_RE)
        _, offset, delta = self.receiver.zone
        self.assertEqual(text[-5:], offset)
        when = datetime.datetime.strptime(text.decode(), "%a, %d %b %Y %H:%M:%S %z")
        now = datetime.datetime.now(datetime.timezone.utc)
        self.assertLess(abs((now - when).total_seconds()), 60, text)
        self.assertEqual(when.utcoffset(), delta)

    def check_stored(self, base, helo, data, date_added, msgid_added, host=LOCAL_HOST,
                     peer="127.0.0.1", protocol="SMTP"):
        """The message file: the added lines, then the data as it came."""
        stored = read_bytes(os.path.join(self.receiver.queue, base + ".MSG"))
        ident = "<%s@%s>" % (base, host)
        head = ("Received: from %s (unverified [%s]) by %s\r\n (TALVO ZELRECV 0.83) with %s"
                " id %s;\r\n " % (helo, peer, host, protocol, ident)).encode("latin-1")
        self.assertEqual(stored[:len(head)], head)
        date = DATE_RE.match(stored, len(head))
        self.assertIsNotNone(date, stored[:300])
        date = date.group(0)
        self.check_date(date)
        want = head + date + b"\r\n"
        if date_added:
            want += b"Date: " + date + b"\r\n"
        if msgid_added:
            want += b"Message-ID: " + ident.encode() + b"\r\n"
        self.assertEqual(stored, want + data)
        return ident

    def check_recipient_file(self, base, ident, return_path, recipients, eight_bit=False):
        """The recipient file: CR LF lines, recipients newest first; eight_bit:
        marked so, as a text with a byte above 127 is even when MAIL did not
        declare it."""
        want = "Message-ID: %s\r\n%sReturn-path: %s\r\n" % (
            ident, "Body-8Bit: TRUE\r\n" if eight_bit else "", return_path)
        want += "".join("Recipient: %s\r\n" % r for r in reversed(recipients))
        self.assertEqual(read_bytes(os.path.join(self.receiver.queue, base + ".RCP")),
                         want.encode("latin-1"))

    def deliver(self, helo, sender, recipients, data, conn=None):
        """A whole transaction on a raw connection; the new pair's base name."""
        conn = conn or self.connect()
        before = list_spool_pairs(self.receiver.queue)
        self.envelope(conn, helo, sender, recipients)
        conn.send(data)
        self.assertEqual(conn.reply(), RECEIVED_OK)
        # Both files are whole by the time the client hears 250.
        return self.only_new_pair(before)


class DialogueTest(ReceiverCase):
    """Greeting, every command's replies and the edge cases of the dialogue."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = PLAIN

    def test_greeting_and_quit(self):
        conn = self.connect()
        self.assertEqual(conn.greeting, GREETING % LOCAL_HOST)
        self.assertEqual(conn.command("QUIT"), CLOSING % LOCAL_HOST)
        self.assertTrue(conn.wait_closed(5))

    def test_command_replies(self):
        remote_syntax = "501 Syntax error in address x@remote.example(comment)\r\n"
        cases = {
            "mail before helo": [("MAIL FROM:<a@b.example>",
                                  "503 You must send a HELO command first\r\n")],
            "rcpt before helo": [("RCPT TO:<user>", "250 user OK\r\n")],
            "ehlo": [("EHLO client.example", "250-%s\r\n" % LOCAL_HOST)],
            "helo lower case": [("helo client.example", "250 OK\r\n")],
            "helo empty": [("HELO", "250 OK\r\n"), ("MAIL FROM:<a@b>", "250 a@b OK\r\n")],
            "helo run together": [("HELOclient", "250 OK\r\n")],
            "unknown": [("XYZZ", UNKNOWN), ("", UNKNOWN), ("HEL", UNKNOWN)],
            "noop rset": [("NOOP", "250 OK\r\n"), ("noop with words", "250 OK\r\n"),
                          ("RSET", "250 OK\r\n")],
            "data without recipient": [("HELO c", "250 OK\r\n"),
                                       ("MAIL FROM:<a@b.example>", "250 a@b.example OK\r\n"),
                                       ("DATA", "503 No valid recipients specified\r\n")],
            "mail paths": [("HELO c", "250 OK\r\n"),
                           ("MAIL FROM:<>", "250  OK\r\n"),
                           ("MAIL FROM:<A@B.Example>", "503 5.5.1 Sender already specified\r\n"),
                           ("RSET", "250 OK\r\n"),
                           ("MAIL FROM:<A@B.Example>", "250 A@B.Example OK\r\n"),
                           ("RSET", "250 OK\r\n"),
                           ("MAIL FROM: plain@b.example", "250 plain@b.example OK\r\n"),
                           ("RSET", "250 OK\r\n"),
                           ("MAIL FROM:<p@b.example> SIZE=100 BODY=8BITMIME",
                            "250 p@b.example OK\r\n"),
                           ("RSET", "250 OK\r\n"),
                           ("MAIL FROM:<a@b(c)>", "501 Syntax error in address a@b(c)\r\n")],
            "rcpt paths": [("RCPT TO:<@relay.example:user@zeltest.example.test>",
                            "250 user@zeltest.example.test OK\r\n"),
                           ("RCPT TO:<User@ZELTEST.EXAMPLE.TEST>",
                            "250 User@zeltest.example.test OK\r\n"),
                           ("RCPT TO:<Some.One@Remote.EXAMPLE>",
                            "250 Some.One@remote.example OK\r\n"),
                           ("RCPT TO:<john smith>", "250 john smith OK\r\n"),
                           ("RCPT TO:<x@remote.example(comment)>", remote_syntax),
                           ("RCPT TO:<>", "501 Syntax error in recipient address\r\n"),
                           ("rcpt to:<lower@zeltest>", "250 lower@zeltest OK\r\n")],
            "over-long paths are refused, not cut": [
                ("HELO c", "250 OK\r\n"),
                ("MAIL FROM:<%s@b.example>" % ("s" * 510),
                 "501 Syntax error in address %s@b.example\r\n" % ("s" * 510)),
                ("RCPT TO:<%s@remote.example>" % ("r" * 120),
                 "501 Syntax error in recipient address\r\n"),
                ("RCPT TO:<%s@remote.example>" % ("r" * 112),
                 "250 %s@remote.example OK\r\n" % ("r" * 112))],
            "percent hack": [("RCPT TO:<user%remote.example@zeltest.example.test>",
                              "250 user@remote.example OK\r\n"),
                             ("RCPT TO:<a%remote.example>", "250 a@remote.example OK\r\n"),
                             ("RCPT TO:<user%zeltest@[127.0.0.1]>", "250 user@zeltest OK\r\n"),
                             ("RCPT TO:<a%b%remote.example>", "250 a%b@remote.example OK\r\n")],
            "vrfy": [("VRFY user", "250 User assumed to be local\r\n"),
                     ("VRFY user@ZELTEST.example.test", "250 User assumed to be local\r\n"),
                     ("VRFY x@remote.example", "252 User not local, but will relay\r\n")],
            "quit run together": [("QUITTING", CLOSING % LOCAL_HOST)],
        }
        for name, steps in cases.items():
            with self.subTest(name):
                with self.receiver.connect() as conn:
                    self.dialogue(conn, steps)
        self.assert_nothing_queued()

    def test_dot_line_gets_no_reply(self):
        conn = self.connect()
        conn.send(".\r\n")
        self.assertEqual(conn.pending(0.3), b"")
        conn.send("..anything\r\n")
        self.assertEqual(conn.pending(0.3), b"")
        self.assertEqual(conn.command("NOOP"), "250 OK\r\n")

    def test_rset_and_helo_end_the_transaction(self):
        for ender, reply in (("RSET", "250 OK\r\n"), ("HELO again", "250 OK\r\n")):
            with self.subTest(ender):
                conn = self.connect()
                self.dialogue(conn, [("HELO c", "250 OK\r\n"),
                                     ("MAIL FROM:<a@b>", "250 a@b OK\r\n"),
                                     ("RCPT TO:<user>", "250 user OK\r\n"),
                                     (ender, reply),
                                     ("DATA", "503 No valid recipients specified\r\n")])

    def test_long_command_line_is_split_after_1023_bytes(self):
        # The first 1023 bytes are one command; the rest is the next one.
        line = "NOOP" + "x" * 1019
        cases = {"one write": [line + "VRFY user\r\n"],
                 "in pieces": [line[:500], line[500:] + "VRFY", " user\r\n"]}
        for name, pieces in cases.items():
            with self.subTest(name):
                conn = self.connect()
                for piece in pieces:
                    conn.send(piece)
                    time.sleep(0.1)
                self.assertEqual(conn.replies(2),
                                 ["250 OK\r\n", "250 User assumed to be local\r\n"])


class StoredMessageTest(ReceiverCase):
    """The message and recipient files, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = PLAIN

    def test_messages_are_stored_with_the_added_lines(self):
        received19 = ["Received: from hop%d.example by hop%d.example; Mon, 7 Dec 2026" % (i, i + 1)
                      for i in range(19)]
        # name: (return path, data, Date added, Message-ID added, return path stored)
        cases = {
            "bare message": ("sender@client.example",
                             message("Subject: hello", "From: Sender <sender@client.example>",
                                     "To: user@zeltest.example.test, Other <o@x.example>",
                                     "Cc: c@x.example", "Reply-to: r@x.example",
                                     body=["first line", "..leading dot kept", "", "last"]),
                             True, True, "sender@client.example"),
            "date and id present": ("s@client.example",
                                    message("Date: Mon, 7 Dec 2026 09:00:00 +0100",
                                            "Message-ID: <own@client.example>", body=["x"]),
                                    False, False, "s@client.example"),
            "received present": ("s@client.example",
                                 message("Received: from a by b; Mon, 7 Dec 2026 09:00:00 +0000",
                                         "Subject: relayed", body=["x"]),
                                 False, True, "s@client.example"),
            "names in other case": ("s@client.example",
                                    message("DATE: Mon, 7 Dec 2026 09:00:00 +0100",
                                            "message-id: <own@client.example>", body=["x"]),
                                    False, False, "s@client.example"),
            "empty message": ("s@client.example", b".\r\n", True, True, "s@client.example"),
            "empty body": ("s@client.example", message("Subject: nothing"), True, True,
                           "s@client.example"),
            "header without blank line": ("s@client.example",
                                          b"Subject: no blank line\r\nX-Other: y\r\n.\r\n",
                                          True, True, "s@client.example"),
            "bare return path qualified": ("joe", message("Subject: local", body=["x"]),
                                           True, True, "joe@" + LOCAL_HOST),
            "bare return path after a hop": ("joe", message("Received: from a by b; Mon",
                                                            body=["x"]),
                                             False, True, "joe"),
            "19 received lines": ("s@client.example", message(*received19, body=["x"]),
                                  False, True, "s@client.example"),
            "8-bit body": ("s@client.example",
                           message("Subject: latin", body=["caf\xe9 \xff\xfe", "\x7f"]),
                           True, True, "s@client.example"),
        }
        for name, (sender, data, date_added, msgid_added, return_path) in cases.items():
            with self.subTest(name):
                rcpts = ["user@zeltest.example.test", "second", "far@remote.example"]
                base = self.deliver("client.example", sender, rcpts, data)
                ident = self.check_stored(base, "client.example", data, date_added, msgid_added)
                self.check_recipient_file(base, ident, return_path, rcpts,
                                          eight_bit=name == "8-bit body")

    def test_nul_bytes_leave_the_header_only(self):
        data = b"Subject: a\x00b\r\nX: \x00\r\n\r\nbody \x00 kept\r\n.\r\n"
        base = self.deliver("c.example", "s@c.example", ["user"], data)
        self.check_stored(base, "c.example",
                          b"Subject: ab\r\nX: \r\n\r\nbody \x00 kept\r\n.\r\n", True, True)

    def test_without_mail_command_the_return_path_is_empty(self):
        base = self.deliver("c.example", None, ["user"], message("Subject: x"))
        ident = self.check_stored(base, "c.example", message("Subject: x"), True, True)
        self.check_recipient_file(base, ident, "", ["user"])

    def test_without_helo(self):
        # RCPT and DATA need no HELO; the Received line then names no client.
        base = self.deliver(None, None, ["user"], message("Subject: x"))
        self.check_stored(base, "", message("Subject: x"), True, True)

    def test_helo_name_is_its_first_word(self):
        conn = self.connect()
        self.dialogue(conn, [("HELO first.example second words", "250 OK\r\n")])
        base = self.deliver(None, "s@c.example", ["user"], message("Subject: x"), conn=conn)
        self.check_stored(base, "first.example", message("Subject: x"), True, True)

    def test_twenty_received_lines_are_refused(self):
        for spelling in ("Received:", "RECEIVED:", "received:"):
            with self.subTest(spelling):
                data = message(*["%s from h%d by h%d" % (spelling, i, i + 1) for i in range(20)],
                               body=["x"])
                conn = self.connect()
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                conn.send(data)
                self.assertEqual(conn.reply(), "554 too many Received: headers\r\n")
                self.assert_nothing_queued()
                # The transaction is over; the connection goes on.
                self.dialogue(conn, [("DATA", "503 No valid recipients specified\r\n"),
                                     ("NOOP", "250 OK\r\n")])

    def test_transactions_follow_each_other_on_one_connection(self):
        conn = self.connect()
        bases = []
        for i in range(3):
            data = message("Subject: number %d" % i, body=["body %d" % i])
            rcpt = "user%d" % i
            base = self.deliver("c.example", "s%d@c.example" % i, [rcpt], data, conn=conn)
            ident = self.check_stored(base, "c.example", data, True, True)
            self.check_recipient_file(base, ident, "s%d@c.example" % i, [rcpt])
            bases.append(base)
        self.assertEqual(len(set(bases)), 3)
        self.assertEqual(conn.command("QUIT"), CLOSING % LOCAL_HOST)

    def test_large_message_under_the_default_limit(self):
        body = ["%06d " % i + "y" * 90 for i in range(11000)]   # about 1 MiB
        data = message("Subject: large", body=body)
        base = self.deliver("c.example", "s@c.example", ["user"], data)
        self.check_stored(base, "c.example", data, True, True)

    def test_lost_connection_leaves_nothing(self):
        for stage in ("in data", "before data"):
            with self.subTest(stage):
                conn = self.receiver.connect()
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                if stage == "in data":
                    conn.send(b"Subject: cut short\r\n\r\n" + b"z" * 50000)
                conn.close()
                time.sleep(0.3)
                self.assert_nothing_queued()
                with self.receiver.connect() as again:
                    self.assertEqual(again.command("NOOP"), "250 OK\r\n")

    def test_dotted_local_host_name(self):
        # 127.0.0.2 is no address of the local host table: the connection's
        # local host name is its dotted address.
        conn = self.connect("127.0.0.2")
        self.assertEqual(conn.greeting, GREETING % "127.0.0.2")
        before = list_spool_pairs(self.receiver.queue)
        self.envelope(conn, "c.example", "joe", ["user@[127.0.0.2]"])
        conn.send(message("Subject: dotted"))
        self.assertEqual(conn.reply(), RECEIVED_OK)
        base = self.only_new_pair(before)
        ident = self.check_stored(base, "c.example", message("Subject: dotted"), True, True,
                                  host="127.0.0.2")
        self.check_recipient_file(base, ident, "joe@[127.0.0.2]", ["user@[127.0.0.2]"])
        self.assertEqual(conn.command("QUIT"), CLOSING % "127.0.0.2")


class EndOfDataTest(ReceiverCase):
    """Pipelined commands and end markers wherever they fall."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = PLAIN

    def test_pipelined_client_loses_no_command(self):
        conn = self.connect()
        before = list_spool_pairs(self.receiver.queue)
        conn.send("HELO pipe.example\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n")
        self.assertEqual(conn.replies(4), ["250 OK\r\n", "250 a@b OK\r\n", "250 c@d OK\r\n",
                                           "354 Ready for data\r\n"])
        data = message("Subject: pipelined", body=["one", "two"])
        conn.send(data + b"QUIT\r\n")
        self.assertEqual(conn.replies(2), [RECEIVED_OK, CLOSING % LOCAL_HOST])
        base = self.only_new_pair(before)
        ident = self.check_stored(base, "pipe.example", data, True, True)
        self.check_recipient_file(base, ident, "a@b", ["c@d"])
        self.assertTrue(conn.wait_closed(5))

    def test_commands_in_one_write(self):
        cases = {
            "four commands": ("NOOP\r\nRSET\r\nVRFY user\r\nXYZZ\r\n",
                              ["250 OK\r\n", "250 OK\r\n", "250 User assumed to be local\r\n",
                               UNKNOWN]),
            "dot line between": ("NOOP\r\n.\r\nVRFY x@remote.example\r\n",
                                 ["250 OK\r\n", "252 User not local, but will relay\r\n"]),
            "refused data then lines": ("DATA\r\nNOOP\r\n",
                                        ["503 No valid recipients specified\r\n", "250 OK\r\n"]),
            "data right behind DATA": ("HELO c\r\nRCPT TO:<user>\r\nDATA\r\nSubject: x\r\n\r\n"
                                       "hi\r\n.\r\nNOOP\r\n",
                                       ["250 OK\r\n", "250 user OK\r\n", "354 Ready for data\r\n",
                                        RECEIVED_OK, "250 OK\r\n"]),
        }
        for name, (text, replies) in cases.items():
            with self.subTest(name):
                with self.receiver.connect() as conn:
                    conn.send(text)
                    self.assertEqual(conn.replies(len(replies)), replies)
                    self.assertEqual(conn.command("NOOP"), "250 OK\r\n")

    def test_end_marker_split_across_writes(self):
        body = message("Subject: split", body=["line", ".dotted", "end"])
        cut_points = {"before CR LF . CR LF": 5, "after CR": 4, "after CR LF": 3,
                      "after the dot": 2, "after the dot and CR": 1}
        for name, tail in cut_points.items():
            with self.subTest(name):
                conn = self.connect()
                before = list_spool_pairs(self.receiver.queue)
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                conn.send(body[:-tail])
                time.sleep(0.25)
                self.assertEqual(conn.pending(0), b"")
                conn.send(body[-tail:] + b"NOOP\r\n")
                self.assertEqual(conn.replies(2), [RECEIVED_OK, "250 OK\r\n"])
                base = self.only_new_pair(before)
                self.check_stored(base, "c.example", body, True, True)

    def test_end_marker_at_buffer_boundaries(self):
        # Data is read 16 KiB at a time: markers around the ends of reads,
        # with the next commands in the same write.
        for end in (4093, 4096, 16381, 16382, 16383, 16384, 16385, 16386, 32766, 32768, 32770):
            with self.subTest(end=end):
                head = b"Subject: boundary\r\n\r\n"
                filler = end - len(head) - len(b"\r\n.\r\n")
                body = b"".join(b"%07d\r\n" % i for i in range(filler // 9))
                body += b"w" * (filler - len(body))
                data = head + body + b"\r\n.\r\n"
                self.assertEqual(len(data), end)
                conn = self.connect()
                before = list_spool_pairs(self.receiver.queue)
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                conn.send(data + b"RSET\r\nNOOP\r\n")
                self.assertEqual(conn.replies(3), [RECEIVED_OK, "250 OK\r\n", "250 OK\r\n"])
                self.check_stored(self.only_new_pair(before), "c.example", data, True, True)

    def test_look_alike_markers_do_not_end_the_data(self):
        data = message("Subject: almost", body=["..", ". ", ".x", "a.", " .", "...", "end"])
        data = data[:-3] + b"\r\n.\r" + b"\r\n.\r\n"   # "." followed by a lone CR
        base = self.deliver("c.example", "s@c.example", ["user"], data)
        self.check_stored(base, "c.example", data, True, True)

    def test_bare_line_ends_cannot_smuggle_a_second_message(self):
        # Only CR LF "." CR LF ends the data: behind any other "." line the
        # hidden transaction is text of the first message, and the stored
        # file has CR LF line ends and no lone "." line before its end.
        hidden = (b"MAIL FROM:<ceo@zeltest.example.test>\r\nRCPT TO:<victim>\r\nDATA\r\n"
                  b"Subject: forged\r\n\r\nhidden\r\n")
        stored = b"Subject: lf\r\n\r\nbody\r\n..\r\n" + hidden + b".\r\n"
        for marker in (b"\n.\n", b"\r\n.\n", b"\n.\r\n"):
            with self.subTest(marker=marker):
                conn = self.connect()
                before = list_spool_pairs(self.receiver.queue)
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                conn.send(b"Subject: lf\n\nbody" + marker + hidden + b".\r\nNOOP\r\n")
                self.assertEqual(conn.replies(2), [RECEIVED_OK, "250 OK\r\n"])
                self.check_stored(self.only_new_pair(before), "c.example", stored, True, True)

    def test_two_messages_in_one_write(self):
        first = message("Subject: one", body=["1"])
        second = message("Subject: two", body=["2"])
        conn = self.connect()
        before = list_spool_pairs(self.receiver.queue)
        conn.send("HELO c\r\nMAIL FROM:<a@b>\r\nRCPT TO:<x>\r\nDATA\r\n")
        self.assertEqual(conn.replies(4), ["250 OK\r\n", "250 a@b OK\r\n", "250 x OK\r\n",
                                           "354 Ready for data\r\n"])
        conn.send(first + b"MAIL FROM:<a@b>\r\nRCPT TO:<y>\r\nDATA\r\n")
        self.assertEqual(conn.replies(4), [RECEIVED_OK, "250 a@b OK\r\n", "250 y OK\r\n",
                                           "354 Ready for data\r\n"])
        conn.send(second + b"QUIT\r\n")
        self.assertEqual(conn.replies(2), [RECEIVED_OK, CLOSING % LOCAL_HOST])
        pairs = sorted(set(list_spool_pairs(self.receiver.queue)) - set(before))
        self.assertEqual(len(pairs), 2)
        stored = [read_bytes(os.path.join(self.receiver.queue, b + ".MSG")) for b in pairs]
        self.assertEqual(sorted(s.endswith(first) for s in stored), [False, True])
        self.assertEqual(sorted(s.endswith(second) for s in stored), [False, True])


class ClientProgramTest(ReceiverCase):
    """Ordinary clients: Python's smtplib and swaks; the inlog line."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = PLAIN

    def test_smtplib_dialogue(self):
        before = list_spool_pairs(self.receiver.queue)
        with smtplib.SMTP("127.0.0.1", self.receiver.port, local_hostname="lib.example",
                          timeout=WAIT_SECONDS) as client:
            self.assertEqual(client.noop(), (250, b"OK"))
            self.assertEqual(client.verify("user"), (250, b"User assumed to be local"))
            text = ("From: lib@lib.example\r\nSubject: via smtplib\r\n\r\n"
                    "line one\r\n.starts with a dot\r\n")
            refused = client.sendmail("lib@lib.example", ["user", "other@zeltest"], text)
            self.assertEqual(refused, {})
        base = self.only_new_pair(before)
        stored = text.replace("\r\n.", "\r\n..") + ".\r\n"
        ident = self.check_stored(base, "lib.example", stored.encode(), True, True,
                                  protocol="ESMTP")     # smtplib says EHLO first
        self.check_recipient_file(base, ident, "lib@lib.example", ["user", "other@zeltest"])

    @unittest.skipUnless(shutil.which("swaks"), "swaks is not installed")
    def test_swaks_send(self):
        before = list_spool_pairs(self.receiver.queue)
        result = swaks_send(self.receiver.port, "sw@swaks.example", "user@zeltest.example.test",
                            b"From: sw@swaks.example\r\nSubject: via swaks\r\n\r\n"
                            b"swaks body line\r\n.dot line", helo="swaks.example")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("250 Message received OK", result.stdout)
        base = self.only_new_pair(before)
        stored = read_bytes(os.path.join(self.receiver.queue, base + ".MSG"))
        self.assertIn(b"Received: from swaks.example (unverified [127.0.0.1]) by %s\r\n"
                      % LOCAL_HOST.encode(), stored)
        self.assertTrue(stored.endswith(b"Subject: via swaks\r\n\r\nswaks body line\r\n"
                                        b"..dot line\r\n.\r\n"), stored)
        ident = "<%s@%s>" % (base, LOCAL_HOST)
        self.check_recipient_file(base, ident, "sw@swaks.example", ["user@zeltest.example.test"])

    def test_inlog_line(self):
        rcpts = ["first@zeltest", "second@remote.example"]
        base = self.deliver("log.example", "s@c.example", rcpts, message("Subject: log"))
        ident = "<%s@%s>" % (base, LOCAL_HOST)
        lines = []
        for name in sorted(os.listdir(self.receiver.inlog)):
            self.assertRegex(name, r"^1\d\d(0[1-9]|1[0-2])[0-3]\d\.log$")
            lines += read_bytes(os.path.join(self.receiver.inlog, name)).split(b"\n")
        mine = [line for line in lines if line.startswith(ident.encode() + b" ")]
        self.assertEqual(len(mine), 1, lines)
        match = re.fullmatch(rb"(<[^ ]+>) \[(\d\d/\w\w\w/\d{4}:\d\d:\d\d:\d\d)\] (.*)\r",
                             mine[0])
        self.assertIsNotNone(match, mine[0])
        self.assertEqual(match.group(3),
                         b"127.0.0.1 log.example s@c.example second@remote.example first@zeltest")
        when = datetime.datetime.strptime(match.group(2).decode(), "%d/%b/%Y:%H:%M:%S")
        local_now = (datetime.datetime.now(datetime.timezone.utc) + WEST_ZONE[2]).replace(
            tzinfo=None)
        self.assertLess(abs((local_now - when).total_seconds()), 60)
        # The file is named after the receiver's local day: year - 1900, month, day.
        day = "%d%02d%02d.log" % (when.year - 1900, when.month, when.day)
        self.assertIn(day, os.listdir(self.receiver.inlog))


class StrictReceiverTest(ReceiverCase):
    """Relay prohibition, the message size limit and the idle limit."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = STRICT

    def test_greeting_and_renamed_queue(self):
        conn = self.connect()
        self.assertEqual(conn.greeting, GREETING % LOCAL_HOST)
        base = self.deliver("c.example", "s@c.example", ["user"], message("Subject: q"))
        self.check_stored(base, "c.example", message("Subject: q"), True, True)
        incoming = self.receiver.scratch.spool("incoming")
        self.assertFalse(os.path.exists(incoming) and os.listdir(incoming))

    def test_relay_prohibited(self):
        cases = {
            "remote refused": [("RCPT TO:<Some.One@Remote.Example>",
                                "551 User not local: try <Some.One@Remote.Example>\r\n"),
                               ("DATA", "503 No valid recipients specified\r\n")],
            "local in capitals": [("RCPT TO:<User@ZELTEST.EXAMPLE.TEST>",
                                   "250 User@zeltest.example.test OK\r\n"),
                                  ("RCPT TO:<x@elsewhere.example>",
                                   "551 User not local: try <x@elsewhere.example>\r\n")],
            "leading labels are local": [("RCPT TO:<a@zeltest>", "250 a@zeltest OK\r\n"),
                                         ("RCPT TO:<b@ZelTest.Example>",
                                          "250 b@zeltest.example OK\r\n"),
                                         ("RCPT TO:<c@zeltest.example.test.evil>",
                                          "551 User not local: try "
                                          "<c@zeltest.example.test.evil>\r\n"),
                                         ("RCPT TO:<d@zeltes>",
                                          "551 User not local: try <d@zeltes>\r\n")],
            "address literal": [("RCPT TO:<e@[127.0.0.1]>", "250 e@[127.0.0.1] OK\r\n"),
                                ("RCPT TO:<f@[10.9.8.7]>",
                                 "551 User not local: try <f@[10.9.8.7]>\r\n")],
            "local name": [("RCPT TO:<postmaster>", "250 postmaster OK\r\n")],
            "percent hack": [("RCPT TO:<user%remote.example@zeltest.example.test>",
                              "551 User not local: try <user@remote.example>\r\n"),
                             ("RCPT TO:<user%zeltest@zeltest.example.test>",
                              "250 user@zeltest OK\r\n")],
            "vrfy": [("VRFY user", "250 User assumed to be local\r\n"),
                     ("VRFY user@zeltest.example.test", "250 User assumed to be local\r\n"),
                     ("VRFY x@remote.example", "550 User not local\r\n")],
        }
        for name, steps in cases.items():
            with self.subTest(name):
                with self.receiver.connect() as conn:
                    self.dialogue(conn, [("HELO c", "250 OK\r\n")] + steps)

    def test_refused_recipient_leaves_the_list_as_it_was(self):
        conn = self.connect()
        self.dialogue(conn, [("HELO c", "250 OK\r\n"), ("MAIL FROM:<s@c>", "250 s@c OK\r\n"),
                             ("RCPT TO:<one>", "250 one OK\r\n"),
                             ("RCPT TO:<x@remote.example>",
                              "551 User not local: try <x@remote.example>\r\n"),
                             ("RCPT TO:<two@zeltest>", "250 two@zeltest OK\r\n")])
        before = list_spool_pairs(self.receiver.queue)
        self.dialogue(conn, [("DATA", "354 Ready for data\r\n")])
        conn.send(message("Subject: s"))
        self.assertEqual(conn.reply(), RECEIVED_OK)
        base = self.only_new_pair(before)
        self.check_recipient_file(base, "<%s@%s>" % (base, LOCAL_HOST), "s@c",
                                  ["one", "two@zeltest"])

    def test_message_size_limit(self):
        under = message("Subject: small", body=["s" * 70] * 100)                # about 7 KiB
        over = message("Subject: over", body=["o" * 70] * 200)                  # about 14 KiB
        huge = message("Subject: huge", body=["h" * 998] * 20000)               # about 20 MiB
        cases = {"under": (under, RECEIVED_OK), "over": (over, TOO_BIG),
                 "huge": (huge, TOO_BIG)}
        self.assertLess(len(under) + 300, STRICT_LIMIT)
        for name, (data, want) in cases.items():
            with self.subTest(name):
                peak = self.receiver.service.peak_memory_kb()
                clear_queue(self.receiver)
                conn = self.connect()
                self.envelope(conn, "c.example", "s@c.example", ["user"])
                conn.send(data + b"NOOP\r\n")
                self.assertEqual(conn.replies(2), [want, "250 OK\r\n"])
                if want == RECEIVED_OK:
                    self.assertEqual(len(list_spool_pairs(self.receiver.queue)), 1)
                else:
                    self.assert_nothing_queued()
                # A refused message is read on to its end, not kept in memory.
                self.assertLess(self.receiver.service.peak_memory_kb() - peak, 8192)
                # The transaction is over and the connection still serves.
                self.dialogue(conn, [("DATA", "503 No valid recipients specified\r\n")])
                base = self.deliver("c.example", "s@c.example", ["user"], under, conn=conn)
                self.check_stored(base, "c.example", under, True, True)

    def test_idle_connection_is_closed(self):
        timeout = TIMEOUT_REPLY % LOCAL_HOST

        def after_greeting(conn):
            pass

        def partial_command(conn):
            conn.send("NOO")

        def trickled_command(conn):
            # Bytes that make no whole line buy no time: a byte every 0.2 s
            # for 6 s, unless the server answers first.
            for c in "NOOP with an argument trickled slowly":
                try:
                    conn.send(c)
                except OSError:
                    break
                answer = conn.pending(0.2)
                if answer:
                    conn.buffer = answer + conn.buffer
                    break

        def after_mail(conn):
            self.dialogue(conn, [("HELO c", "250 OK\r\n"), ("MAIL FROM:<s@c>", "250 s@c OK\r\n")])

        def in_data(conn):
            self.envelope(conn, "c.example", "s@c.example", ["user"])
            conn.send(b"Subject: never ends\r\n\r\nsome text\r\n")

        cases = {"after greeting": after_greeting, "partial command": partial_command,
                 "trickled command": trickled_command, "after MAIL": after_mail,
                 "in data": in_data}
        for name, prepare in cases.items():
            with self.subTest(name):
                conn = self.connect()
                started = time.monotonic()
                prepare(conn)
                if name != "trickled command":
                    started = time.monotonic()
                self.assertEqual(conn.reply(timeout=STRICT_TIMEOUT + 8), timeout)
                waited = time.monotonic() - started
                self.assertGreater(waited, STRICT_TIMEOUT - 0.5)
                if name == "trickled command":
                    self.assertLess(waited, STRICT_TIMEOUT + 2.5)
                self.assertTrue(conn.wait_closed(5))
                self.assert_nothing_queued()

    def test_activity_keeps_the_connection(self):
        conn = self.connect()
        for _ in range(5):                                     # 3 s in all
            time.sleep(STRICT_TIMEOUT * 0.3)
            self.assertEqual(conn.command("NOOP"), "250 OK\r\n")
        self.envelope(conn, "c.example", "s@c.example", ["user"])
        before = list_spool_pairs(self.receiver.queue)
        data = message("Subject: slow", body=["line %d" % i for i in range(5)])
        for line in data.split(b"\r\n")[:-1]:
            conn.send(line + b"\r\n")
            time.sleep(STRICT_TIMEOUT * 0.3)
        self.assertEqual(conn.reply(), RECEIVED_OK)
        self.check_stored(self.only_new_pair(before), "c.example", data, True, True)


class RelayPolicyTest(ReceiverCase):
    """Relaying only for RelayClients (127.0.0.1/32 here): a client bound to
    127.0.0.9 plays one from elsewhere. Local mail (this host's names,
    DomainNamesAreLocal, a mailing list's domain) is taken from both."""

    @classmethod
    def setUpClass(cls):
        scratch = Scratch("zel-e2e-recv-")
        try:
            scratch.prepare_registry()
            scratch.reg_import({ZEL_KEY: {"DomainNamesAreLocal": ["mail.example.org"]},
                                ZEL_KEY + "\\Lists\\staff": {"Domain": "lists.example.org"}})
            cls.receiver = Receiver({"RelayClients": ["127.0.0.1/32", "bogus/99"],
                                     "MaxRecipients": 3, "MaxConnectionsPerClient": 2},
                                    scratch=scratch).start()
        except BaseException:
            scratch.cleanup()
            raise
        cls.receiver.zone = None

    @classmethod
    def tearDownClass(cls):
        cls.receiver.stop()
        cls.receiver.scratch.cleanup()

    def test_relay_from_inside_only(self):
        remote = "far@remote.example"
        refused = "551 User not local: try <%s>\r\n"
        for source, relay in (("127.0.0.1", True), ("127.0.0.9", False)):
            with self.subTest(source=source):
                conn = self.connect(source=source)
                self.dialogue(conn, [
                    ("HELO c", "250 OK\r\n"),
                    ("RCPT TO:<%s>" % remote, "250 %s OK\r\n" % remote if relay
                     else refused % remote),
                    ("RCPT TO:<a%remote.example@zeltest.example.test>",
                     "250 a@remote.example OK\r\n" if relay else refused % "a@remote.example"),
                    ("VRFY " + remote, "252 User not local, but will relay\r\n" if relay
                     else "550 User not local\r\n"),
                    ("VRFY staff@lists.example.org", "250 User assumed to be local\r\n"),
                    ("RSET", "250 OK\r\n")])
                before = list_spool_pairs(self.receiver.queue)
                self.envelope(conn, "c", "s@c.example",
                              ["user@zeltest.example.test", "u@mail.example.org",
                               "staff@lists.example.org"])
                conn.send(message("Subject: local"))
                self.assertEqual(conn.reply(), RECEIVED_OK)
                self.only_new_pair(before)
                self.dialogue(conn, [("RCPT TO:<a>", "250 a OK\r\n"),
                                     ("RCPT TO:<b>", "250 b OK\r\n"),
                                     ("RCPT TO:<c>", "250 c OK\r\n"),
                                     ("RCPT TO:<d>", "452 Too many recipients\r\n")])

    def test_relay_clients_are_spared_the_per_client_limit(self):
        inside = [self.connect(source="127.0.0.1") for _ in range(3)]
        self.assertEqual({c.greeting for c in inside}, {GREETING % LOCAL_HOST})
        outside = [self.receiver.connect(source="127.0.0.9") for _ in range(3)]
        for conn in outside:
            self.addCleanup(conn.close)
        self.assertEqual([c.greeting for c in outside],
                         [GREETING % LOCAL_HOST] * 2 + ["421 Too many connections, try later\r\n"])
        for conn in outside[:2]:    # gone for good before the next test counts
            conn.command("QUIT")
            self.assertTrue(conn.wait_closed())

    def test_malformed_entry_logged_once(self):
        events = self.receiver.scratch.events()
        self.assertEqual(events.count('"bogus/99"'), 1, events)
        self.assertIn("The setting RelayClients has an entry that is not valid", events)


class TransactionTimeTest(ReceiverCase):
    """MaxTransactionTime (2 s here) bounds MAIL to the end of DATA, however
    slowly the client trickles; outside a transaction it does not count."""

    LIMIT = 2
    OVER = "421 Transaction time limit exceeded\r\n"

    @classmethod
    def setUpClass(cls):
        cls.receiver = Receiver({"MaxTransactionTime": cls.LIMIT}).start()

    @classmethod
    def tearDownClass(cls):
        cls.receiver.stop()

    def trickle(self, conn, data, seconds):
        """Sends data a byte at a time, spread over seconds, until the
        receiver has refused the transaction; all it answered."""
        answers = b""
        for i in range(len(data)):
            try:
                conn.send(data[i:i + 1])
            except OSError:
                break
            answers += conn.pending(seconds / len(data))
            if self.OVER.encode() in answers:
                break
        return answers

    def test_trickling_client_is_cut_off(self):
        slow_data = b"Subject: slow\r\n\r\n" + b"x" * 40 + b"\r\n.\r\n"
        slow_commands = b"".join(b"RCPT TO:<u%d>\r\nNOOP\r\n" % i for i in range(20))
        for name, data in (("in data", slow_data), ("between commands", slow_commands)):
            with self.subTest(name):
                conn = self.connect()
                if name == "in data":
                    self.envelope(conn, "c.example", "s@c.example", ["user"])
                else:
                    self.dialogue(conn, [("HELO c", "250 OK\r\n"),
                                         ("MAIL FROM:<s@c>", "250 s@c OK\r\n")])
                started = time.monotonic()
                answer = self.trickle(conn, data, self.LIMIT * 4)
                self.assertTrue(answer.endswith(self.OVER.encode()), answer[-200:])
                self.assertLess(time.monotonic() - started, self.LIMIT + 3)
                self.assertTrue(conn.wait_closed(5))
                self.assert_nothing_queued()

    def test_time_outside_a_transaction_does_not_count(self):
        conn = self.connect()
        for _ in range(4):                       # idle and NOOPs: 3 s in all
            time.sleep(self.LIMIT * 0.4)
            self.assertEqual(conn.command("NOOP"), "250 OK\r\n")
        self.deliver("c.example", "s@c.example", ["user"], message("Subject: quick"), conn)
        time.sleep(self.LIMIT + 1.5)             # the transaction's deadline is gone with it
        self.assertEqual(conn.command("NOOP"), "250 OK\r\n")


class IdentifierTest(unittest.TestCase):
    """Identifiers are never handed out twice for files in the spool: an
    old export imported while mail is queued keeps the counter, and a
    counter set back by hand skips the names that are taken."""

    def test_nothing_queued_is_ever_replaced(self):
        receiver = Receiver().start()
        self.addCleanup(receiver.stop)
        scratch = receiver.scratch

        def send(n):
            for _ in range(n):
                self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                                       message("Subject: x")), RECEIVED_OK)

        def queued():
            return {n: read_bytes(os.path.join(receiver.queue, n))
                    for n in os.listdir(receiver.queue)}

        def counter():
            return scratch.zeladm("reg", "get", ZEL_KEY, "LastMsgId").stdout.strip()

        send(2)
        old_export = scratch.zeladm("reg", "export").stdout   # a block reserved: 1000
        # Raised by hand, taken at once by the running receiver.
        scratch.reg_set(ZEL_KEY, "LastMsgId", "dword", "1500")
        send(2)
        self.assertIn("B0000001502.MSG", queued())
        before = queued()
        scratch.zeladm("reg", "import", "-", input=old_export)
        self.assertIn("2500", counter())
        # Set back by hand, with a recipient file left alone where the next
        # free name would be: both are passed over.
        scratch.reg_set(ZEL_KEY, "LastMsgId", "dword", "1")
        with open(os.path.join(receiver.queue, "B0000000003.RCP"), "wb") as f:
            f.write(b"stray")
        before["B0000000003.RCP"] = b"stray"
        send(1)
        after = queued()
        self.assertEqual({n: after[n] for n in before}, before)
        self.assertEqual(sorted(set(after) - set(before)), ["B0000000004.MSG", "B0000000004.RCP"])


class LimitAndStopTest(unittest.TestCase):
    """The default size limit, "no limit", and a stop in mid-dialogue."""

    BIG = b"Subject: big\r\n\r\n" + (b"b" * 1022 + b"\r\n") * (50 * 1024 + 64) + b".\r\n"

    def test_default_limit_is_50_mib(self):
        clear_queue(PLAIN)
        self.assertEqual(PLAIN.send_message("s@c.example", ["user"], self.BIG), TOO_BIG)
        self.assertEqual(list_spool_pairs(PLAIN.queue), {})

    def test_zero_means_no_limit(self):
        receiver = Receiver({"MaxMessageSize": 0}).start()
        self.addCleanup(receiver.stop)
        self.assertEqual(receiver.send_message("s@c.example", ["user"], self.BIG), RECEIVED_OK)
        (base, exts), = list_spool_pairs(receiver.queue).items()
        stored = read_bytes(os.path.join(receiver.queue, base + ".MSG"))
        self.assertTrue(stored.endswith(self.BIG))

    def test_stop_with_open_connections(self):
        receiver = Receiver().start()
        self.addCleanup(receiver.stop)
        idle = receiver.connect()
        self.addCleanup(idle.close)
        busy = receiver.connect()
        self.addCleanup(busy.close)
        for line in ("HELO c", "RCPT TO:<user>", "DATA"):
            busy.command(line)
        busy.send(b"Subject: unfinished\r\n\r\npart")
        time.sleep(0.2)
        self.assertEqual(receiver.service.stop(), 0)
        self.assertTrue(idle.wait_closed(5))
        self.assertTrue(busy.wait_closed(5))
        self.assertEqual(os.listdir(receiver.queue), [])
        self.assertIn("ZELRECV INFORMATION 35 0xC0000023 ZEL SMTP Receiver service terminating.",
                      receiver.scratch.events())


class CommandLineTest(unittest.TestCase):
    def test_ipaddress_shows_the_local_host_table(self):
        scratch = Scratch("zel-e2e-recv-")
        self.addCleanup(scratch.cleanup)
        scratch.prepare_registry()
        result = run(scratch, program_path("zelrecv"), "-ipaddress")
        self.assertEqual(result.returncode, 0, result.stdout)
        lines = result.stdout.splitlines()
        self.assertTrue(any(line == "127.0.0.1 " + LOCAL_HOST
                            or line.startswith("127.0.0.1 %s " % LOCAL_HOST) for line in lines),
                        result.stdout)


if __name__ == "__main__":
    unittest.main()
