"""Local delivery end to end: zelrecv takes mail over SMTP (Python's
smtplib), zeldeliv files it into mailbox directories.

Every test gets its own scratch root, accounts and registry, and runs both
programs (TZ=UTC0, so dates end in +0000). Mail is followed to where it
lands: message files in mailboxes (compared byte for byte with what the
receiver stored), failure reports and automatic replies in the senders'
mailboxes, dead letters in spool/dead, and remote mail in the queue
directory of its domain. The domain remote.example is held back by a domain
record that says an attempt has just failed, so its queue can be read.
Every wait is bounded; negative checks wait until the agent is idle.

Set ZEL_E2E_KEEP=1 to keep the scratch roots for a look afterwards.
"""

import os
import poplib
import pwd
import re
import time
import unittest

from zelharness import (IS_ROOT, LOCAL_HOST, LOCAL_QUEUE, MailSystem, SmtpConnection, files_with,
                        give_to_mail_owner, mail_owner, poll, read_bytes, write_file)

LOCAL = LOCAL_HOST
REMOTE = "remote.example"
OTHER = "other.example"   # a sender domain that is neither this host nor the held one
TZ_UTC = {"TZ": "UTC0"}

DAY = rb"(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun)"
MONTH = rb"(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
DATE = DAY + rb", \d{1,2} " + MONTH + rb" \d{4} \d\d:\d\d:\d\d \+0000"
ID = rb"(B\d{10})@zeltest\.example\.test"

# The trace line zelrecv puts in front of every message from smtplib.
RECEIVED = (rb"Received: from client\.example \(unverified \[127\.0\.0\.1\]\) by "
            rb"zeltest\.example\.test\r\n \(TALVO ZELRECV 0\.83\) with ESMTP id <" + ID
            + rb">;\r\n " + DATE + rb"\r\n")

REPORT_READS = b"\r\nYour message reads (in part):\r\n\r\n"
TRUNCATED = b"\r\n\r\n*** RETURNED MESSAGE TRUNCATED ***\r\n"
NOT_KNOWN = b"User not known"
NO_MAILBOX = b"User does not have a mailbox"
TOO_MANY = b"There are too many copies of this message in the user's mailbox"
DEAD_POSTMASTER = b"Cannot deliver to postmaster"
DEAD_LOOP = b"Mail loop detected when forwarding"


def message(*headers, body=()):
    """Header lines, a blank line and body lines, CR LF, no end marker."""
    text = "".join(h + "\r\n" for h in headers) + "\r\n" + "".join(b + "\r\n" for b in body)
    return text.encode("latin-1")


def on_the_wire(data):
    """The DATA that smtplib sends for data: leading dots doubled, a final
    CR LF, the end marker. The receiver stores it after its own lines."""
    sent = re.sub(rb"(?m)^\.", b"..", data)
    if not sent.endswith(b"\r\n"):
        sent += b"\r\n"
    return sent + b".\r\n"


def dated(subject, *more, body=("Hello.",)):
    """A message with Date and Message-ID, so the receiver adds only its
    Received line."""
    return message("From: Alice <alice@%s>" % LOCAL, "To: whoever", "Subject: " + subject,
                   "Date: Mon, 7 Dec 2026 09:00:00 +0000",
                   "Message-ID: <%s.%f@client.example>" % (subject.replace(" ", "."), time.time()),
                   *more, body=body)


def base_of(name):
    """The message base name of a mailbox file name (copy suffix dropped)."""
    return re.match(r"B\d{10}", name).group(0)


def copy_names(base, count):
    """The file names of copies 0 to count - 1 of a message, sorted."""
    return sorted([base + ".MSG"] + ["%s-%d.MSG" % (base, n) for n in range(1, count)])


def split_message(content):
    head, _, body = content.partition(b"\r\n\r\n")
    return head.split(b"\r\n"), body


def remote_queue(mail, domain=REMOTE):
    """{base name: recipient file text} of a remote queue directory."""
    directory = mail.spool("domains", domain)
    return {n[:-4]: read_bytes(os.path.join(directory, n)).decode("latin-1")
            for n in files_with(directory, "RCP")}


def recipients_of(rcp_text):
    """[(Recipient, Original-Address or None)] of a recipient file's text."""
    pairs = []
    for line in rcp_text.replace("\r\n", "\n").split("\n"):
        name, _, value = line.partition(":")
        if name.lower() == "recipient":
            pairs.append([value.strip(), None])
        elif name.lower() == "original-address" and pairs:
            pairs[-1][1] = value.strip()
    return sorted(tuple(p) for p in pairs)


class MailCase(unittest.TestCase):
    """Starts a fresh mail system per test from the class's settings."""

    users = ("administrator", "alice", "bob")
    suite = None
    deliv = None
    aliases = None
    held_domains = (REMOTE,)
    mailboxes = ()          # mailbox directories made before the start
    start_agent = True
    fetch = None            # zelfetch's Parameters, to run it too
    passwords = None

    def setUp(self):
        self.mail = MailSystem(self.users, suite=self.suite, deliv=self.deliv,
                               aliases=self.aliases, env=TZ_UTC, prefix="zel-e2e-local-",
                               fetch=self.fetch, passwords=self.passwords)
        self.addCleanup(self.mail.stop_checked, self)
        for domain in self.held_domains:
            self.mail.hold_domain(domain)
        for user in self.mailboxes:
            os.makedirs(self.mail.mailbox(user))
        self.prepare()
        self.mail.start(agent=self.start_agent)

    def prepare(self):
        """Files a test class needs before the programs start."""

    # -- helpers ------------------------------------------------------------

    def send(self, sender, recipients, data):
        self.mail.send(sender, recipients, data)

    def send_raw(self, sender, recipients, data):
        """A dialogue that sends the paths exactly as given (smtplib would
        rewrite quoted local parts)."""
        with SmtpConnection(self.mail.port) as conn:
            self.assertTrue(conn.reply().startswith("220 "))
            steps = [("HELO client.example", "250 "), ("MAIL FROM:<%s>" % sender, "250 ")]
            steps += [("RCPT TO:<%s>" % r, "250 ") for r in recipients] + [("DATA", "354 ")]
            for line, want in steps:
                reply = conn.command(line)
                self.assertTrue(reply.startswith(want), "%s: %r" % (line, reply))
            conn.send(on_the_wire(data))
            self.assertEqual(conn.reply(), "250 Message received OK\r\n")
            conn.command("QUIT")

    def wait_messages(self, user, count):
        names = self.mail.wait_messages(user, count)
        self.assertEqual(len(names), count, "%s's mailbox: %s" % (user, names))
        return names

    def wait_idle(self):
        self.assertEqual(self.mail.wait_idle(), [], "the agent left work undone")

    def assertStored(self, content, data):
        """content is the receiver's stored form of data; returns its id."""
        m = re.fullmatch(RECEIVED + re.escape(on_the_wire(data)), content, re.S)
        self.assertIsNotNone(m, "stored message:\n%r\nsent:\n%r" % (content[:600], data[:300]))
        return m.group(1).decode()

    def assertGenerated(self, content, base, header_lines):
        """A message the agent wrote: exactly these header lines (regular
        expressions, bytes; "Message-Id" and "Date" included) in order, with
        the Message-Id naming the file's own base name. Returns the body."""
        head, body = split_message(content)
        self.assertEqual(len(head), len(header_lines), "header %r" % head)
        for line, pattern in zip(head, header_lines):
            self.assertRegex(line, b"^" + pattern + b"$")
        ids = [line for line in head if line.startswith(b"Message-Id: ")]
        self.assertEqual(ids, [b"Message-Id: <%s@%s>" % (base.encode(), LOCAL.encode())])
        return body

    def assertReport(self, content, base, to, cc, opening, reason, data, truncated_body=None):
        """A failure report for the held form of data."""
        header = [rb"Subject: Delivery failure", rb"From: postmaster@zeltest\.example\.test",
                  rb"Message-Id: <" + ID + rb">", rb"Date: " + DATE]
        if to:
            header.append(b"To: " + re.escape(to.encode()))
        if cc:
            header.append(b"Cc: postmaster@zeltest\\.example\\.test")
        body = self.assertGenerated(content, base, header)
        expected_start = opening + reason + b"\r\n" + REPORT_READS
        self.assertTrue(body.startswith(expected_start), "report body %r" % body[:400])
        quoted = body[len(expected_start):]
        if truncated_body is None:
            self.assertTrue(quoted.endswith(b"\r\n.\r\n"), quoted[-100:])
            self.assertStored(quoted[:-5] + b".\r\n", data)
        else:
            held = on_the_wire(data)
            header_part = held[:held.index(b"\r\n\r\n") + 4]
            self.assertRegex(quoted, b"^" + RECEIVED + re.escape(header_part + truncated_body)
                             + re.escape(TRUNCATED + b"\r\n.\r\n") + b"$")

    @staticmethod
    def local_opening(user, original=None):
        text = b"Your message has encountered delivery problems\r\nto local user %s.\r\n" % \
            user.encode()
        if original:
            text += b"(Originally addressed to %s)\r\n\r\n" % original.encode()
        return text

    def dead_letters(self):
        return sorted(os.listdir(self.mail.spool("dead")))

    def assertDeadLetter(self, base, reasons):
        dead = self.mail.spool("dead")
        entry = b"%s.MSG is dead because:\r\n%%s\r\n\r\n" % base.encode()
        self.assertEqual(read_bytes(os.path.join(dead, base + ".TXT")),
                         b"".join(entry % r for r in reasons))
        return read_bytes(os.path.join(dead, base + ".MSG"))

    def write_user_file(self, user, name, text):
        self.mail.write_mailbox_file(user, name, text)


class LocalDeliveryTest(MailCase):
    users = ("administrator", "alice", "bob", "carol")

    def test_copies_are_the_stored_message(self):
        data = dated("copies", body=("First line.", ".a line that starts with a dot", "",
                                     "..two dots", "Last line."))
        self.send("sender@" + REMOTE, ["alice@" + LOCAL, "bob", "Alice@" + LOCAL.upper()], data)
        alice = self.wait_messages("alice", 2)
        bob = self.wait_messages("bob", 1)
        base = base_of(alice[0])
        # Two recipients that are the same user: the copy and copy number 1.
        self.assertEqual(alice, copy_names(base, 2))
        self.assertEqual(bob, [base + ".MSG"])
        content = self.mail.read_message("bob", bob[0])
        self.assertEqual(self.assertStored(content, data), base)
        for name in alice:
            self.assertEqual(self.mail.read_message("alice", name), content)
        # Everything delivered leaves nothing behind in the spool.
        self.wait_idle()
        self.assertEqual(files_with(self.mail.spool("holding"), "MSG"), [])
        self.assertEqual(self.mail.messages("carol"), [])

    def test_many_messages_each_once(self):
        sent = []
        for n in range(8):
            data = dated("burst %d" % n)
            self.send("alice@" + LOCAL, ["bob", "carol@" + LOCAL], data)
            sent.append(on_the_wire(data))
        for user in ("bob", "carol"):
            names = self.wait_messages(user, 8)
            # Behind the three lines of the Received field: the message as sent.
            tails = sorted(self.mail.read_message(user, n).split(b"\r\n", 3)[3] for n in names)
            self.assertEqual(tails, sorted(sent))
        self.wait_idle()
        self.assertEqual(self.mail.messages("alice"), [])


class PickupAtStartTest(MailCase):
    """Mail queued while the agent was down is delivered when it starts."""

    start_agent = False

    def test_queued_before_start(self):
        data = dated("queued early")
        self.send("alice@" + LOCAL, ["bob"], data)
        incoming = self.mail.spool("incoming")
        [msg] = files_with(incoming, "MSG")
        stored = read_bytes(os.path.join(incoming, msg))
        self.assertStored(stored, data)
        # A pair written by another writer of the spool: LF line ends in the
        # recipient file are read as well.
        hand = b"Subject: by hand\r\n\r\nbody\r\n.\r\n"
        write_file(os.path.join(incoming, "B9000000101.MSG"), hand)
        write_file(os.path.join(incoming, "B9000000101.RCP"),
                   "Message-ID: <B9000000101@%s>\nReturn-path: alice@%s\nRecipient: bob\n"
                   "Recipient: carol@%s\n" % (LOCAL, LOCAL, REMOTE))
        self.mail.agent.start()
        names = self.wait_messages("bob", 2)
        self.assertIn(msg, names)
        self.assertEqual(self.mail.read_message("bob", msg), stored)
        self.assertEqual(self.mail.read_message("bob", "B9000000101.MSG"), hand)
        queued = poll(lambda: remote_queue(self.mail).get("B9000000101"))
        self.assertEqual(recipients_of(queued or ""), [("carol@" + REMOTE, None)])
        self.assertEqual(read_bytes(self.mail.spool("holding", "B9000000101.MSG")), hand)


class PostmasterTest(MailCase):
    aliases = {1: ("p*", "bob")}

    def test_postmaster_in_any_form(self):
        data = dated("to the postmaster")
        self.send("alice@" + LOCAL, ["postmaster@" + LOCAL, "Postmaster@" + LOCAL, "postmaster",
                                     "POSTMASTER", "pete", "postmaster@" + REMOTE], data)
        names = self.wait_messages("administrator", 4)
        base = base_of(names[0])
        self.assertEqual(names, copy_names(base, 4))
        # The alias map is not consulted for postmaster; it is for others.
        self.assertEqual(self.wait_messages("bob", 1), [base + ".MSG"])
        # Postmaster at another domain is that domain's.
        queued = poll(lambda: remote_queue(self.mail).get(base))
        self.assertEqual(recipients_of(queued or ""), [("postmaster@" + REMOTE, None)])
        self.wait_idle()
        self.assertEqual(len(self.mail.messages("administrator")), 4)


class ConfiguredPostmasterTest(MailCase):
    users = ("administrator", "alice", "chief")
    suite = {"PostMaster": "Chief"}

    def test_postmaster_account_from_registry(self):
        self.send("alice@" + LOCAL, ["postmaster@" + LOCAL, "postmaster"], dated("chief"))
        self.assertEqual(len(self.wait_messages("chief", 2)), 2)
        self.wait_idle()
        self.assertEqual(self.mail.messages("administrator"), [])


class AliasTest(MailCase):
    users = ("administrator", "alice", "bob", "sales", "zed")
    # Subkey 4 is missing, so 5 is never read.
    aliases = {1: ("sales", "bob"), 2: ("Info*", "*@" + REMOTE), 3: ("dave", "sales"),
               5: ("zed", "bob")}

    def test_alias_results(self):
        data = dated("aliases")
        self.send("alice@" + OTHER, ["sales@" + LOCAL, "SALES", "dave", "zed",
                                     "infodesk@" + LOCAL, "INFO", "sales@" + REMOTE], data)
        bob = self.wait_messages("bob", 2)
        base = base_of(bob[0])
        self.assertEqual(bob, copy_names(base, 2))
        # "dave" maps to "sales" and stops there: aliases apply once.
        self.assertEqual(self.wait_messages("sales", 1), [base + ".MSG"])
        self.assertEqual(self.wait_messages("zed", 1), [base + ".MSG"])
        # The aliases that point off the host are forwards: a held copy of
        # their own with an SRS sender; the direct recipient and the local
        # copies keep the message and its return path.
        queued = poll(lambda: remote_queue(self.mail).get(base))
        self.assertIsNotNone(queued, "nothing queued for %s" % REMOTE)
        self.assertIn("Message-ID: <%s@%s>\nReturn-path: alice@%s\n" % (base, LOCAL, OTHER),
                      queued.replace("\r\n", "\n"))
        self.assertEqual(recipients_of(queued), [("sales@" + REMOTE, None)])
        forwards = remote_queue(self.mail).get(base + "-srs")
        self.assertIsNotNone(forwards, "no forwards queued for %s" % REMOTE)
        self.assertIn("Message-ID: <%s-srs@%s>" % (base, LOCAL), forwards)
        self.assertRegex(forwards, r"(?mi)^Return-path: SRS0=[A-Za-z0-9]{6}=[A-Za-z0-9]{2}="
                                   r"%s=alice@%s\r?$" % (re.escape(OTHER), re.escape(LOCAL)))
        self.assertEqual(recipients_of(forwards), sorted([
            ("infodesk@" + REMOTE, "infodesk@" + LOCAL),
            ("INFO@" + REMOTE, "INFO"),
        ]))
        for held in (base, base + "-srs"):
            self.assertStored(read_bytes(self.mail.spool("holding", held + ".MSG")), data)
        self.wait_idle()
        self.assertEqual(len(self.mail.messages("bob")), 2)
        self.assertEqual(self.mail.messages("alice"), [])


class AliasWithoutMaskTest(MailCase):
    users = ("administrator", "alice", "bob", "zed")
    # Subkey 2 has no Alias value: the map ends before it.
    aliases = {1: ("sales", "bob"), 2: (None, "bob"), 3: ("zed", "bob")}

    def test_map_ends_at_subkey_without_alias(self):
        self.send("alice@" + LOCAL, ["sales", "zed"], dated("map end"))
        base = self.wait_messages("bob", 1)[0][:-4]
        self.assertEqual(self.wait_messages("zed", 1), [base + ".MSG"])
        self.wait_idle()
        self.assertEqual(len(self.mail.messages("bob")), 1)


class FailureReportTest(MailCase):
    users = ("administrator", "alice", "carol")

    def test_unknown_user_local_sender(self):
        data = dated("unknown")
        self.send("alice@" + LOCAL, ["nobody@" + LOCAL], data)
        [report] = self.wait_messages("alice", 1)
        content = self.mail.read_message("alice", report)
        self.assertReport(content, report[:-4], "alice@" + LOCAL, True,
                          self.local_opening("nobody", "nobody@" + LOCAL), NOT_KNOWN, data)
        # The postmaster copy is the same report.
        self.assertEqual(self.wait_messages("administrator", 1), [report])
        self.assertEqual(self.mail.read_message("administrator", report), content)
        self.wait_idle()

    def test_unknown_user_remote_sender(self):
        data = dated("unknown remote", body=["line %d" % n for n in range(5)])
        self.send("someone@" + REMOTE, ["nobody"], data)
        [report] = self.wait_messages("administrator", 1)
        content = self.mail.read_message("administrator", report)
        base = report[:-4]
        self.assertReport(content, base, "someone@" + REMOTE, True, self.local_opening("nobody"),
                          NOT_KNOWN, data)
        # The sender's copy waits in the remote queue, without a return path.
        queued = poll(lambda: remote_queue(self.mail).get(base))
        self.assertEqual(recipients_of(queued or ""), [("someone@" + REMOTE, None)])
        self.assertNotRegex(queued, r"(?mi)^Return-path: *\S")
        self.assertEqual(read_bytes(self.mail.spool("holding", report)), content)

    def test_names_that_are_no_account(self):
        # Names that would lead out of the mailbox root are simply unknown.
        data = dated("escape")
        names = ["carol/../alice", '"../carol"', '".."', '"carol/"']
        self.send_raw("alice@" + LOCAL, [names[0], names[1] + "@" + LOCAL] + names[2:], data)
        reports = self.wait_messages("alice", len(names))
        openings = set()
        for report in reports:
            _, body = split_message(self.mail.read_message("alice", report))
            openings.add(body.split(NOT_KNOWN)[0])
        self.assertEqual(openings, {self.local_opening(names[0]),
                                    self.local_opening(names[1], names[1] + "@" + LOCAL),
                                    self.local_opening(names[2]), self.local_opening(names[3])})
        self.wait_idle()
        self.assertEqual(self.mail.messages("carol"), [])
        self.assertEqual(sorted(os.listdir(self.mail.scratch.path("var", "mailbox"))),
                         ["administrator", "alice"])

    def test_mailbox_path_taken_by_a_file(self):
        os.makedirs(os.path.dirname(self.mail.mailbox("carol")), exist_ok=True)
        write_file(self.mail.mailbox("carol"), b"not a directory")
        data = dated("file in the way")
        self.send("alice@" + LOCAL, ["carol"], data)
        [report] = self.wait_messages("alice", 1)
        self.assertReport(self.mail.read_message("alice", report), report[:-4], "alice@" + LOCAL,
                          True, self.local_opening("carol"), NO_MAILBOX, data)
        self.assertEqual(read_bytes(self.mail.mailbox("carol")), b"not a directory")

    def test_no_return_path_reports_to_postmaster_only(self):
        data = dated("null sender")
        self.send("", ["nobody@" + LOCAL], data)
        [report] = self.wait_messages("administrator", 1)
        self.assertReport(self.mail.read_message("administrator", report), report[:-4], None, True,
                          self.local_opening("nobody", "nobody@" + LOCAL), NOT_KNOWN, data)
        self.wait_idle()
        self.assertEqual(remote_queue(self.mail), {})
        self.assertEqual(self.mail.messages("alice"), [])

    def test_long_message_is_quoted_in_part(self):
        # 77 bytes a line as read (76 characters and the line end): 53 lines
        # make 4081 bytes, the 54th would pass 4096.
        lines = ["%02d" % n + "x" * 74 for n in range(80)]
        data = dated("long", body=lines)
        self.send("alice@" + LOCAL, ["nobody"], data)
        [report] = self.wait_messages("alice", 1)
        kept = "".join(line + "\r\n" for line in lines[:53]).encode()
        self.assertReport(self.mail.read_message("alice", report), report[:-4], "alice@" + LOCAL,
                          True, self.local_opening("nobody"), NOT_KNOWN, data, truncated_body=kept)

    def test_eleventh_copy_is_refused(self):
        data = dated("eleven")
        self.send("alice@" + LOCAL, ["carol"] * 11, data)
        names = self.wait_messages("carol", 10)
        self.assertEqual(names, copy_names(base_of(names[0]), 10))
        [report] = self.wait_messages("alice", 1)
        self.assertReport(self.mail.read_message("alice", report), report[:-4], "alice@" + LOCAL,
                          True, self.local_opening("carol"), TOO_MANY, data)
        self.wait_idle()
        self.assertEqual(len(self.mail.messages("carol")), 10)


class NoPostmasterCopyTest(MailCase):
    users = ("administrator", "alice")
    suite = {"LocalFailuresToPostmaster": 0}

    def test_report_without_cc(self):
        data = dated("no cc")
        self.send("alice@" + LOCAL, ["nobody"], data)
        [report] = self.wait_messages("alice", 1)
        self.assertReport(self.mail.read_message("alice", report), report[:-4], "alice@" + LOCAL,
                          False, self.local_opening("nobody"), NOT_KNOWN, data)
        self.wait_idle()
        self.assertEqual(self.mail.messages("administrator"), [])


class PostmasterWithoutMailboxTest(MailCase):
    """The postmaster account exists but has no mailbox, and none is made."""

    users = ("administrator", "alice")
    suite = {"AutoCreateInboxDir": 0}
    mailboxes = ("alice",)

    def wait_dead(self, count):
        names = poll(lambda: (lambda d: d if len(d) >= count else None)(
            files_with(self.mail.spool("dead"), "TXT")))
        self.assertEqual(len(names or []), count, self.dead_letters())
        return [n[:-4] for n in names]

    def test_null_sender_to_postmaster_is_dead(self):
        data = dated("dead on arrival")
        self.send("", ["postmaster@" + LOCAL], data)
        [base] = self.wait_dead(1)
        self.assertStored(self.assertDeadLetter(base, [DEAD_POSTMASTER]), data)
        self.wait_idle()
        self.assertEqual(self.dead_letters(), [base + ".MSG", base + ".TXT"])
        self.assertEqual(self.mail.messages("alice"), [])
        self.assertFalse(os.path.exists(self.mail.mailbox("administrator")))

    def test_sender_told_when_postmaster_fails(self):
        data = dated("to a broken postmaster")
        self.send("alice@" + LOCAL, ["postmaster@" + LOCAL], data)
        [report] = self.wait_messages("alice", 1)
        # The failing user is the postmaster: no copy to itself.
        self.assertReport(self.mail.read_message("alice", report), report[:-4], "alice@" + LOCAL,
                          False, self.local_opening("administrator", "postmaster@" + LOCAL),
                          NO_MAILBOX, data)
        self.wait_idle()
        self.assertEqual(self.dead_letters(), [])

    def test_report_the_postmaster_cannot_take_is_dead(self):
        data = dated("bounce of a bounce")
        self.send("", ["nobody"], data)
        [base] = self.wait_dead(1)
        dead = self.assertDeadLetter(base, [DEAD_POSTMASTER])
        self.assertReport(dead, base, None, True, self.local_opening("nobody"), NOT_KNOWN, data)
        # Nothing loops: no further reports, no further dead letters.
        self.wait_idle()
        time.sleep(1)
        self.assertEqual(self.dead_letters(), [base + ".MSG", base + ".TXT"])
        self.assertEqual(files_with(self.mail.spool("incoming"), "MSG"), [])


class PostmasterNotAnAccountTest(MailCase):
    users = ("administrator", "alice")
    suite = {"PostMaster": "ghost"}

    def test_null_sender_to_missing_postmaster_is_dead(self):
        data = dated("ghost")
        self.send("", ["Postmaster"], data)
        names = poll(lambda: files_with(self.mail.spool("dead"), "TXT"))
        self.assertEqual(len(names or []), 1, self.dead_letters())
        self.assertStored(self.assertDeadLetter(names[0][:-4], [DEAD_POSTMASTER]), data)
        self.wait_idle()
        self.assertEqual(self.mail.messages("administrator"), [])
        self.assertEqual(len(self.dead_letters()), 2)


class DeadLetterTwiceTest(MailCase):
    """A dead letter whose name is taken keeps the first copy; the reason is
    added to its companion file."""

    users = ("administrator", "alice")
    suite = {"PostMaster": "ghost"}
    BASE = "B9000000301"

    def prepare(self):
        write_file(self.mail.spool("dead", self.BASE + ".MSG"), b"first\r\n.\r\n")
        write_file(self.mail.spool("dead", self.BASE + ".TXT"),
                   b"%s.MSG is dead because:\r\nearlier\r\n\r\n" % self.BASE.encode())
        write_file(self.mail.spool("holding", self.BASE + ".MSG"), b"Subject: x\r\n\r\ny\r\n.\r\n")
        write_file(self.mail.spool("domains", LOCAL_QUEUE, self.BASE + ".RCP"),
                   "Message-ID: <%s@%s>\r\nRecipient: ghost\r\n" % (self.BASE, LOCAL))

    def test_second_dead_letter_appends(self):
        txt = self.mail.spool("dead", self.BASE + ".TXT")
        self.assertTrue(poll(lambda: DEAD_POSTMASTER in read_bytes(txt)), read_bytes(txt))
        self.wait_idle()
        self.assertEqual(read_bytes(self.mail.spool("dead", self.BASE + ".MSG")),
                         b"first\r\n.\r\n")
        self.assertEqual(self.assertDeadLetter(self.BASE, [b"earlier", DEAD_POSTMASTER]),
                         b"first\r\n.\r\n")
        self.assertEqual(self.dead_letters(), [self.BASE + ".MSG", self.BASE + ".TXT"])


class MailboxTemplateTest(MailCase):
    """Where mailboxes are: the MailInBoxDir template."""

    users = ("bob",)
    held_domains = (REMOTE,)

    def prepare(self):
        root = self.mail.scratch.root
        self.mail.add_user("administrator", home=os.path.join(root, "home", "administrator"))
        self.mail.add_user("alice", home=os.path.join(root, "home", "alice"))
        name = self._testMethodName
        template = {"test_home_template": "%Home%/mail",
                    "test_user_name_template": root + "/boxes/%username%/inbox",
                    "test_unusable_template": root + "/bad/%user%/%USERNAME%"}[name]
        self.mail.scratch.reg_set("HKLM\\Software\\TALVO\\ZEL", "MailInBoxDir", "sz", template)

    def box(self, *parts):
        return self.mail.scratch.path(*parts)

    def test_home_template(self):
        data = dated("home")
        self.send("someone@" + REMOTE, ["alice", "bob"], data)
        names = poll(lambda: files_with(self.box("home", "alice", "mail"), "MSG"))
        self.assertEqual(len(names or []), 1)
        self.assertStored(read_bytes(self.box("home", "alice", "mail", names[0])), data)
        # bob has no home directory, so no mailbox: reported.
        pm = self.box("home", "administrator", "mail")
        [report] = poll(lambda: files_with(pm, "MSG")) or [None]
        self.assertIsNotNone(report, "no report for the postmaster")
        self.assertReport(read_bytes(os.path.join(pm, report)), report[:-4], "someone@" + REMOTE,
                          True, self.local_opening("bob"), NO_MAILBOX, data)
        self.assertFalse(os.path.exists(self.mail.mailbox("alice")))

    def test_user_name_template(self):
        data = dated("boxes")
        self.send("someone@" + REMOTE, ["Alice@" + LOCAL], data)
        names = poll(lambda: files_with(self.box("boxes", "alice"), "MSG"))
        self.assertEqual(len(names or []), 1)
        self.assertStored(read_bytes(self.box("boxes", "alice", names[0])), data)
        # What follows the user name in the template is not used.
        self.assertEqual(os.listdir(self.box("boxes", "alice")), names)

    def test_unusable_template(self):
        # Nobody has a usable mailbox: the report for bob goes to the
        # postmaster, who cannot take it either, so it ends as a dead letter.
        data = dated("bad template")
        self.send("someone@" + REMOTE, ["bob"], data)
        names = poll(lambda: files_with(self.mail.spool("dead"), "TXT"))
        self.assertEqual(len(names or []), 1, self.dead_letters())
        base = names[0][:-4]
        dead = self.assertDeadLetter(base, [DEAD_POSTMASTER])
        head, body = split_message(dead)
        self.assertIn(b"To: someone@" + REMOTE.encode(), head)
        self.assertTrue(body.startswith(self.local_opening("bob") +
                                        b"Could not deliver message - system error:\r\n"), body)
        self.assertIn(REPORT_READS, body)
        self.wait_idle()
        self.assertEqual(len(self.dead_letters()), 2)
        self.assertFalse(os.path.exists(self.box("bad")))


def owner_and_mode(path):
    st = os.lstat(path)
    return st.st_uid, st.st_mode & 0o7777


def fetch_and_delete(mail, user, password):
    """Logs user on over POP3, reads every message and deletes it; the texts."""
    pop = poplib.POP3("127.0.0.1", mail.pop3_port, timeout=20)
    try:
        pop.user(user)
        pop.pass_(password)
        texts = [b"\r\n".join(pop.retr(n)[1]) for n in range(1, pop.stat()[0] + 1)]
        for n in range(1, len(texts) + 1):
            pop.dele(n)
    finally:
        pop.quit()
    return texts


@unittest.skipUnless(IS_ROOT, "owners other than this process need root")
class OwnersTest(MailCase):
    """Every mailbox belongs to its mail user: a virtual user's (no host
    account) to the virtual mail account, daemon's to the host account
    daemon. Root makes the common root (0711) and each mailbox in it, which
    it gives away; mailboxes root still owns are handed over at the start,
    without following a link."""

    users = ("administrator", "alice", "bob", "daemon")
    fetch = {}
    passwords = {"alice": "pw-alice"}

    def prepare(self):
        # bob's mailbox as an older agent left it: root's, with a folder and
        # a link to a directory of root's.
        box = self.mail.mailbox("bob")
        self.victim = self.mail.scratch.path("victim")
        for path in (os.path.join(self.victim, "f"), os.path.join(box, "B0000000001.MSG"),
                     os.path.join(box, "Folder", "x")):
            write_file(path, b"Subject: old\r\n\r\nold\r\n.\r\n")
        os.symlink(self.victim, os.path.join(box, "link"))

    def test_copies_and_mailboxes_are_their_owners(self):
        virtual = mail_owner()[0]
        daemon = pwd.getpwnam("daemon").pw_uid
        # The POP3 server makes a missing mailbox at logon, for its owner.
        self.assertEqual(fetch_and_delete(self.mail, "alice", "pw-alice"), [])
        self.assertEqual(owner_and_mode(self.mail.mailbox("alice")), (virtual, 0o700))
        data = dated("owners")
        self.send("someone@" + REMOTE, ["alice", "daemon"], data)
        [copy] = self.wait_messages("alice", 1)
        self.wait_messages("daemon", 1)
        self.assertEqual(owner_and_mode(self.mail.scratch.path("var", "mailbox")), (0, 0o711))
        self.assertEqual(owner_and_mode(self.mail.mailbox("alice")), (virtual, 0o700))
        self.assertEqual(owner_and_mode(self.mail.mailbox("alice", copy)), (virtual, 0o600))
        self.assertEqual(owner_and_mode(self.mail.mailbox("daemon")), (daemon, 0o700))
        # The POP3 server (root until it runs as its users) reads and deletes.
        [text] = fetch_and_delete(self.mail, "alice", "pw-alice")
        self.assertTrue(text.endswith(data.rstrip(b"\r\n")), text[-200:])
        self.assertEqual(self.mail.messages("alice"), [])

    def test_roots_mailboxes_are_handed_over_at_start(self):
        virtual = mail_owner()[0]
        root = self.mail.scratch.path("var", "mailbox")
        handed = "1 mailboxes under %s belonged to root; each was handed to its owner." % root
        left = "1 entries in the mailboxes under %s were left as they are" % root
        events = self.mail.scratch.events()
        self.assertEqual((events.count(handed), events.count(left)), (1, 1), events)
        box = self.mail.mailbox("bob")
        for path in ("", "B0000000001.MSG", "Folder", "Folder/x"):
            self.assertEqual(os.lstat(os.path.join(box, path)).st_uid, virtual, path)
        # The link, and what it leads to, stay root's.
        for path in (os.path.join(box, "link"), self.victim, os.path.join(self.victim, "f")):
            self.assertEqual(os.lstat(path).st_uid, 0, path)
        self.send("someone@" + REMOTE, ["bob"], dated("after"))
        self.assertEqual(len(self.wait_messages("bob", 2)), 2)
        # Nothing more to do at the next start.
        self.mail.agent.stop()
        self.mail.agent.start()
        self.wait_idle()
        self.assertEqual(self.mail.scratch.events().count(handed), 1)


@unittest.skipUnless(IS_ROOT, "owners other than this process need root")
class HomeOwnersTest(MailCase):
    """A virtual user's mailbox in its home directory is the virtual mail
    account's too; the POP3 server reads and deletes it as that account."""

    users = ("administrator",)
    suite = {"MailInBoxDir": "%HOME%/mail"}
    fetch = {}

    def prepare(self):
        self.home = self.mail.scratch.path("home", "carol")
        os.makedirs(self.home)
        give_to_mail_owner(self.home)
        self.mail.add_user("carol", home=self.home, password="pw-carol")

    def test_home_mailbox_is_read_as_its_owner(self):
        self.send("someone@" + REMOTE, ["carol"], dated("home"))
        box = os.path.join(self.home, "mail")
        self.assertEqual(len(poll(lambda: files_with(box, "MSG")) or []), 1)
        self.assertEqual(owner_and_mode(box), (mail_owner()[0], 0o700))
        self.assertEqual(len(fetch_and_delete(self.mail, "carol", "pw-carol")), 1)
        self.assertEqual(files_with(box, "MSG"), [])


@unittest.skipUnless(IS_ROOT, "only root could write as someone else")
class VirtualAccountMissingTest(MailCase):
    """Root without the virtual mail account writes nothing for a virtual
    user: the mail waits in the local queue with one event, never a bounce."""

    suite = {"VirtualMailAccount": "zel-no-such-account"}
    deliv = {"Timeout": 1}

    def test_mail_waits(self):
        self.send("someone@" + REMOTE, ["alice"], dated("waits"))
        cause = ('the user has no host account and the virtual mail account '
                 '"zel-no-such-account" (VirtualMailAccount) is no unprivileged account of '
                 'this host; nothing is written as root')
        self.assertTrue(poll(lambda: cause in self.mail.scratch.events()), self.mail.scratch.events())
        time.sleep(3)   # three more passes of the local queue
        self.assertEqual(self.mail.scratch.events().count(cause), 1)
        self.assertEqual(len(files_with(self.mail.spool("domains", LOCAL_QUEUE), "RCP")), 1)
        self.assertEqual(files_with(self.mail.spool("incoming"), "RCP"), [])
        self.assertEqual(os.listdir(self.mail.spool("dead")), [])
        self.assertFalse(os.path.exists(self.mail.mailbox("alice")))


REPLY_TEXT = "Bob is away.\r\n.A line with a dot.\r\n" + "y" * 1500 + "\r\nBack soon.\r\n"
REPLY_BODY = (b"Bob is away.\r\n..A line with a dot.\r\n" + b"y" * 1022 + b"\r\n" + b"y" * 478
              + b"\r\nBack soon.\r\n")


class AutoReplyTest(MailCase):
    users = ("administrator", "alice", "bob", "carol", "dave", "erin")

    def reply_header(self, to, sender, frm=None):
        return [b"To: " + re.escape(to.encode()), rb"Subject: Automatic reply",
                b"From: " + re.escape((frm or sender).encode()),
                b"Sender: " + re.escape(sender.encode()), rb"Message-Id: <" + ID + rb">",
                rb"Date: " + DATE, rb"Auto-Submitted: auto-replied"]

    def test_reply_text(self):
        self.write_user_file("bob", "AUTORPLY.TXT", REPLY_TEXT)
        data = dated("are you there")
        self.send("alice@" + LOCAL, ["bob@" + LOCAL], data)
        [reply] = self.wait_messages("alice", 1)
        body = self.assertGenerated(self.mail.read_message("alice", reply), reply[:-4],
                                    self.reply_header("alice@" + LOCAL, "bob@" + LOCAL))
        self.assertEqual(body, REPLY_BODY + b"\r\n" + b"\r\n.\r\n")
        # The reply does not change the delivery.
        [copy] = self.wait_messages("bob", 1)
        self.assertStored(self.mail.read_message("bob", copy), data)
        self.wait_idle()

    def test_echo_message_and_reply_from(self):
        self.write_user_file("carol", "ZEL.CTL",
                             "[AutoReply]\r\nEchoMessage=1\r\n"
                             "ReplyFrom=Carol's desk <desk@%s>\r\n" % LOCAL)
        data = dated("echo", body=("Echo this.", ".dotted"))
        self.send("alice@" + LOCAL, ["carol"], data)
        [reply] = self.wait_messages("alice", 1)
        body = self.assertGenerated(
            self.mail.read_message("alice", reply), reply[:-4],
            self.reply_header("alice@" + LOCAL, "carol@" + LOCAL, "Carol's desk <desk@%s>" % LOCAL))
        start = b"\r\n\r\nYour message reads:\r\n\r\n"
        self.assertTrue(body.startswith(start), body[:200])
        self.assertTrue(body.endswith(b"\r\n.\r\n"), body[-50:])
        self.assertStored(body[len(start):-5] + b".\r\n", data)

    def test_who_gets_a_reply(self):
        self.write_user_file("bob", "AUTORPLY.TXT", "Away.\r\n")
        self.write_user_file("bob", "NOREPLY.TXT",
                             "Big List <BigList@%s>\r\nother@%s\r\n" % (LOCAL.upper(), REMOTE))
        self.write_user_file("bob", "REPLIED.TXT", "Seen <Seen@REMOTE.EXAMPLE>\n")
        r = "@" + REMOTE
        cases = [  # (envelope sender, header lines, address replied to or None)
            ("", ["From: nullsender" + r], None),
            ("x" + r, ["From: viaowner" + r, "Sender: owner-list" + r], None),
            ("x" + r, ["From: viarequest" + r, "Sender: big-list-request" + r], None),
            ("x" + r, ["From: tonoreply" + r, "To: Big List <biglist@%s>" % LOCAL], None),
            ("x" + r, ["From: ccnoreply" + r, "To: bob@" + LOCAL, "Cc: a" + r + ", OTHER" + r],
             None),
            ("x" + r, ["From: owner-news" + r], None),
            ("x" + r, ["From: News-Request" + r], None),
            ("x" + r, ["From: Seen <seen" + r + ">"], None),
            ("x" + r, ["From: -request" + r], "-request" + r),
            ("x" + r, ["From: owner" + r], "owner" + r),
            ("x" + r, ["From: fromaddr" + r, "Reply-To: Replies <replyto" + r + ">"],
             "replyto" + r),
            ("envonly" + r, ["Subject: no From"], "envonly" + r),
            ("x" + r, ["From: plain" + r, "Sender: helper" + r], "plain" + r),
            # Automatic and list mail (RFC 3834), and a second message from
            # a sender answered today.
            ("x" + r, ["From: robot" + r, "Auto-Submitted: auto-replied"], None),
            ("x" + r, ["From: bulk" + r, "Precedence: bulk"], None),
            ("x" + r, ["From: listed" + r, "List-Id: <news.remote.example>"], None),
            ("x" + r, ["From: Plain" + r.upper(), "Subject: again"], None),
        ]
        for sender, headers, _ in cases:
            self.send(sender, ["bob"], message(*headers, body=["case"]))
        self.assertEqual(len(self.wait_messages("bob", len(cases))), len(cases))
        self.wait_idle()
        replies = {}
        for base, text in remote_queue(self.mail).items():
            for rcpt, _ in recipients_of(text):
                replies.setdefault(rcpt, []).append(base)
            # Replies have no return path, so they can cause no report.
            self.assertNotRegex(text, r"(?mi)^Return-path: *\S")
        self.assertEqual(sorted(replies), sorted(c[2] for c in cases if c[2]))
        self.assertTrue(all(len(v) == 1 for v in replies.values()), replies)
        held = read_bytes(self.mail.spool("holding", replies["owner" + r][0] + ".MSG"))
        self.assertTrue(held.endswith(b"\r\n\r\nAway.\r\n\r\n\r\n.\r\n"), held[-60:])

    def test_record_replies(self):
        self.write_user_file("dave", "AUTORPLY.TXT", "Dave is away.\r\n")
        self.write_user_file("dave", "ZEL.CTL", "[AutoReply]\r\nRecordReplies=TRUE\r\n")
        self.send("alice@" + LOCAL, ["dave"], dated("first"))
        self.wait_messages("alice", 1)
        self.send("alice@" + LOCAL, ["dave", "erin"], dated("second"))
        self.wait_messages("dave", 2)
        self.wait_messages("erin", 1)
        self.wait_idle()
        # One reply only; erin has no automatic reply at all.
        self.assertEqual(len(self.mail.messages("alice")), 1)
        recorded = read_bytes(self.mail.mailbox("dave", "REPLIED.TXT")).replace(b"\r\n", b"\n")
        self.assertEqual(recorded.split(b"\n")[0], b"alice@" + LOCAL.encode())
        self.assertTrue(recorded.endswith(b"\n"))
        self.assertEqual(set(recorded.split()), {b"alice@" + LOCAL.encode()})


class ForwardTest(MailCase):
    users = ("administrator", "alice", "bob", "carol", "dave", "erin", "fred", "gina")
    aliases = {1: ("helpdesk", "bob")}

    def control(self, user, text):
        self.write_user_file(user, "ZEL.CTL", text)

    @staticmethod
    def forwarded(original, forwarder, base):
        """original as forwarded by forwarder into the message base."""
        head, body = split_message(original)
        out = [b"Original-sender:" + h[7:] if h.lower().startswith(b"sender:") else h
               for h in head]
        out += [b"Sender: " + forwarder.encode(),
                b"Resent-Message-Id: <%s@%s>" % (base.encode(), LOCAL.encode())]
        return b"\r\n".join(out) + b"\r\n\r\n" + body

    def test_forward_and_keep_a_copy(self):
        self.control("bob", "[AutoForward]\r\nForwardTo=Carol Example <carol@%s>, dave\r\n" % LOCAL)
        data = dated("forward me", "Sender: Assistant <assist@%s>" % REMOTE)
        self.send("alice@" + LOCAL, ["bob@" + LOCAL], data)
        [copy] = self.wait_messages("bob", 1)
        original = self.mail.read_message("bob", copy)
        self.assertStored(original, data)
        [fwd] = self.wait_messages("carol", 1)
        self.assertNotEqual(fwd, copy)
        self.assertEqual(self.mail.read_message("carol", fwd),
                         self.forwarded(original, "bob@" + LOCAL, fwd[:-4]))
        self.wait_idle()
        # Only the first address of ForwardTo counts.
        self.assertEqual(self.mail.messages("dave"), [])
        self.assertEqual(self.dead_letters(), [])

    def test_loop_between_two_users(self):
        self.control("bob", "[AutoForward]\r\nForwardTo=carol@%s\r\n" % LOCAL)
        self.control("carol", "[AutoForward]\r\nForwardTo=bob\r\n")
        data = dated("round and round")
        self.send("alice@" + LOCAL, ["bob"], data)
        bob = self.wait_messages("bob", 2)
        [first] = self.wait_messages("carol", 1)
        self.wait_idle()
        original = self.mail.read_message("bob", bob[0])
        self.assertStored(original, data)
        self.assertEqual(self.mail.read_message("carol", first),
                         self.forwarded(original, "bob@" + LOCAL, first[:-4]))
        # carol's forward came back to bob, who had sent it on before: the
        # loop is seen at bob, the message stays with him and is dead.
        second = bob[1]
        back = self.forwarded(self.mail.read_message("carol", first), "carol@" + LOCAL,
                              second[:-4])
        self.assertEqual(self.mail.read_message("bob", second), back)
        self.assertEqual(self.assertDeadLetter(second[:-4], [DEAD_LOOP]), back)
        self.assertEqual(self.dead_letters(), [second[:-4] + ".MSG", second[:-4] + ".TXT"])
        self.assertEqual(len(self.mail.messages("bob")), 2)
        self.assertEqual(self.mail.messages("alice"), [])

    def test_forward_to_self_with_discard(self):
        # Arrival 1 and 2 are forwarded and discarded; the third carries
        # erin's Original-sender line: the loop is caught, and the mailbox
        # gets the message although erin discards mail.
        self.control("erin", "[AutoForward]\r\nForwardTo=erin@%s\r\n[Delivery]\r\nDiscard=yes\r\n"
                     % LOCAL)
        data = dated("self forward")
        self.send("alice@" + LOCAL, ["erin"], data)
        [last] = self.wait_messages("erin", 1)
        self.wait_idle()
        self.assertEqual(len(self.mail.messages("erin")), 1)
        content = self.mail.read_message("erin", last)
        head, _ = split_message(content)
        self.assertEqual([h for h in head if h.startswith(b"Original-sender:")],
                         [b"Original-sender: erin@" + LOCAL.encode()])
        self.assertEqual(len([h for h in head if h.startswith(b"Resent-Message-Id:")]), 2)
        self.assertEqual(head[-2], b"Sender: erin@" + LOCAL.encode())
        self.assertEqual(self.assertDeadLetter(last[:-4], [DEAD_LOOP]), content)

    def test_forwarder_is_the_address_mail_came_to(self):
        self.control("bob", "[AutoForward]\r\nForwardTo=carol\r\n")
        data = dated("help")
        self.send("alice@" + LOCAL, ["helpdesk@" + LOCAL], data)
        [copy] = self.wait_messages("bob", 1)
        [fwd] = self.wait_messages("carol", 1)
        self.assertEqual(self.mail.read_message("carol", fwd),
                         self.forwarded(self.mail.read_message("bob", copy),
                                        "helpdesk@" + LOCAL, fwd[:-4]))

    def test_discard(self):
        self.control("fred", "[Delivery]\r\nDiscard=TRUE\r\n")
        self.control("gina", "[Delivery]\r\nDiscard=maybe\r\n")   # not a boolean: false
        self.control("dave", "[AutoForward]\r\nForwardTo=carol\r\n[Delivery]\r\nDiscard=1\r\n")
        self.send("alice@" + LOCAL, ["fred", "gina", "dave"], dated("discard"))
        self.wait_messages("gina", 1)
        self.wait_messages("carol", 1)
        self.wait_idle()
        self.assertEqual(self.mail.messages("fred"), [])
        self.assertEqual(self.mail.messages("dave"), [])
        self.assertEqual(self.mail.messages("alice"), [])
        self.assertEqual(self.dead_letters(), [])


class BigMessageTest(MailCase):
    """Header fields and lines far longer than any buffer: every copy keeps
    them whole."""

    users = ("administrator", "alice", "bob", "carol")

    def test_long_fields_and_lines(self):
        self.write_user_file("bob", "AUTORPLY.TXT", "Away.\r\n")
        self.write_user_file("bob", "NOREPLY.TXT", "somebody@%s\r\n" % REMOTE)
        self.write_user_file("bob", "ZEL.CTL", "[AutoForward]\r\nForwardTo=carol\r\n")
        many = ", ".join("user%d@%s" % (n, REMOTE) for n in range(20000))
        long_line = "".join("%07d " % n for n in range(12500))     # 100000 characters
        data = message("From: Alice <alice@%s>" % LOCAL, "To: " + many,
                       "Subject: " + "s" * 5000, "Date: Mon, 7 Dec 2026 09:00:00 +0000",
                       "Message-ID: <big@client.example>", body=("short", long_line, "end"))
        self.send("alice@" + LOCAL, ["bob", "nobody"], data)
        [copy] = self.wait_messages("bob", 1)
        original = self.mail.read_message("bob", copy)
        self.assertStored(original, data)
        [fwd] = self.wait_messages("carol", 1)
        self.assertEqual(self.mail.read_message("carol", fwd),
                         ForwardTest.forwarded(original, "bob@" + LOCAL, fwd[:-4]))
        # A reply from bob and a report about nobody.
        names = self.wait_messages("alice", 2)
        subjects = {}
        for name in names:
            content = self.mail.read_message("alice", name)
            head, body = split_message(content)
            subject = [h for h in head if h.startswith(b"Subject: ")]
            subjects[subject[0] if subject else None] = body
        self.assertEqual(sorted(subjects), [b"Subject: Automatic reply",
                                            b"Subject: Delivery failure"])
        self.assertEqual(subjects[b"Subject: Automatic reply"], b"Away.\r\n\r\n\r\n.\r\n")
        report = subjects[b"Subject: Delivery failure"]
        # The header is quoted whole, the body only in part.
        self.assertIn(original[:original.index(b"\r\n\r\n") + 4] + b"short\r\n", report)
        self.assertTrue(report.endswith(TRUNCATED + b"\r\n.\r\n"), report[-200:])
        self.assertLess(len(report), len(original) - 90000)
        self.wait_idle()


class QueueCycleTest(MailCase):
    """Work that no change in incoming announces: the scan every Timeout
    seconds must find it."""

    users = ("administrator", "alice", "bob")
    deliv = {"Timeout": 2}
    start_agent = False
    BLOCKED = "B9000000201"
    HELD = "B9000000203"
    HELD_TEXT = b"Subject: blocked\r\n\r\nwaiting\r\n.\r\n"

    def prepare(self):
        queue = self.mail.spool("domains", LOCAL_QUEUE)
        write_file(os.path.join(queue, self.BLOCKED + ".DEL"), "marker\r\n")
        write_file(os.path.join(queue, self.BLOCKED + ".RCP"),
                   "Message-ID: <%s@%s>\r\nReturn-path: alice@%s\r\nRecipient: bob\r\n"
                   % (self.BLOCKED, LOCAL, LOCAL))
        write_file(self.mail.spool("holding", self.BLOCKED + ".MSG"), self.HELD_TEXT)
        write_file(self.mail.spool("domains", REMOTE, self.HELD + ".RCP"),
                   "Message-ID: <%s@%s>\r\nReturn-path: alice@%s\r\nRecipient: x@%s\r\n"
                   % (self.HELD, LOCAL, LOCAL, REMOTE))
        write_file(self.mail.spool("holding", self.HELD + ".MSG"), self.HELD_TEXT)

    def test_delete_marker_and_scan_interval(self):
        self.mail.agent.start()
        time.sleep(5)   # two scans at least
        queue = self.mail.spool("domains", LOCAL_QUEUE)
        self.assertEqual(self.mail.messages("bob"), [])
        self.assertEqual(sorted(os.listdir(queue)), [self.BLOCKED + ".DEL", self.BLOCKED + ".RCP"])
        self.assertTrue(os.path.exists(self.mail.spool("holding", self.BLOCKED + ".MSG")))
        # Without the marker the next scan delivers it.
        os.unlink(os.path.join(queue, self.BLOCKED + ".DEL"))
        removed = time.monotonic()
        self.assertEqual(self.wait_messages("bob", 1), [self.BLOCKED + ".MSG"])
        self.assertLess(time.monotonic() - removed, 2 * 2 + 2)
        self.assertEqual(self.mail.read_message("bob", self.BLOCKED + ".MSG"), self.HELD_TEXT)
        self.wait_idle()
        self.assertEqual(files_with(queue, "RCP"), [])

    def test_orphans_are_collected(self):
        self.mail.agent.start()
        time.sleep(1)   # past the scan at start, which collects too
        orphan = self.mail.spool("holding", "B9000000202.MSG")
        write_file(orphan, self.HELD_TEXT)
        placed = time.monotonic()
        self.assertTrue(poll(lambda: not os.path.exists(orphan)), "orphan still in holding")
        self.assertLess(time.monotonic() - placed, 2 * 2 + 2)
        # A held message that a queue still names stays, local or remote.
        time.sleep(2.5)
        self.assertTrue(os.path.exists(self.mail.spool("holding", self.HELD + ".MSG")))
        self.assertTrue(os.path.exists(self.mail.spool("holding", self.BLOCKED + ".MSG")))

    def test_held_message_missing(self):
        base = "B9000000205"
        write_file(self.mail.spool("domains", LOCAL_QUEUE, base + ".RCP"),
                   "Message-ID: <%s@%s>\r\nReturn-path: alice@%s\r\nRecipient: bob\r\n"
                   % (base, LOCAL, LOCAL))
        os.unlink(self.mail.spool("domains", LOCAL_QUEUE, self.BLOCKED + ".DEL"))
        self.mail.agent.start()
        reports = [n for n in self.wait_messages("alice", 1)]
        content = self.mail.read_message("alice", reports[0])
        head, body = split_message(content)
        self.assertIn(b"To: alice@" + LOCAL.encode(), head)
        self.assertEqual(body, self.local_opening("bob") +
                         b"Message file missing - message not delivered\r\n" + REPORT_READS +
                         b"Original message not available.\r\n\r\n.\r\n")
        text = "The message %s@%s cannot be found in %s." % (base, LOCAL,
                                                            self.mail.spool("holding"))
        self.assertIn(text, self.mail.scratch.events())
        # The blocked message, free now, went its way at the same time.
        self.assertEqual(self.wait_messages("bob", 1), [self.BLOCKED + ".MSG"])

    def test_recipient_file_without_message(self):
        self.mail.agent.start()
        lonely = self.mail.spool("incoming", "B9000000204.RCP")
        write_file(lonely, "Message-ID: <B9000000204@%s>\r\nReturn-path: alice@%s\r\n"
                           "Recipient: bob\r\n" % (LOCAL, REMOTE))
        self.assertTrue(poll(lambda: not os.path.exists(lonely)), "recipient file left")
        text = "The incoming message %s from alice@%s cannot be found." % (
            self.mail.spool("incoming", "B9000000204.MSG"), REMOTE)
        self.assertTrue(poll(lambda: text in self.mail.scratch.events()),
                        self.mail.scratch.events()[-2000:])
        self.assertEqual(self.mail.messages("bob"), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
