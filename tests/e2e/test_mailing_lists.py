"""Mailing lists end to end: lists made with "zeladm list", mail taken by
zelrecv over SMTP, distributed, refused and answered by zeldeliv.

Every test gets its own scratch root, accounts (local users, so list copies,
notices and journals land in their mailboxes) and lists, and runs both
programs (TZ=UTC0). The domain remote.example is held back by a domain
record that says an attempt has just failed, so copies for remote members
and notices for remote senders wait in its queue, where their recipient
files show the return path. Generated messages are compared byte for byte:
list copies against the stored message with its header rewritten, notices,
journals and moderator requests against their exact texts. Every wait is
bounded; negative checks wait until the agent is idle (list directories
included). ReadmeListDemoTest runs the README's list demo command by
command against the configuration that "./zel run" seeds.

Set ZEL_E2E_KEEP=1 to keep the scratch roots for a look afterwards.
"""

import fcntl
import os
import re
import shlex
import shutil
import subprocess
import time
import unittest

import test_zel_run

from test_local_delivery import (DATE, ID, RECEIVED, MailCase, message, on_the_wire, recipients_of,
                                 remote_queue, split_message)
from zelharness import (LOCAL_HOST, LOCAL_QUEUE, WAIT_SECONDS, ZEL_KEY, files_with, golden,
                        poll, read_bytes, write_file)

LOCAL = LOCAL_HOST
REMOTE = "remote.example"
LISTS_KEY = ZEL_KEY + "\\Lists"

DEAD_LIST_LOOP = b"Mail loop detected when processing mailing list"
DEAD_REQUEST_LOOP = b"Mail loop detected when processing message to -request address"
NOT_KNOWN = b"User not known"


def help_text(domain):
    """The list server's answer to HELP."""
    return golden("listserver-help.txt", domain=domain)


def at(user, domain=LOCAL):
    return "%s@%s" % (user, domain)


def request(name, domain=LOCAL):
    return "%s-request@%s" % (name, domain)


def crlf(text):
    """A text with "\\n" line ends as the CR LF bytes of a message file."""
    return text.replace("\n", "\r\n").encode("latin-1")


# With these the receiver adds only its Received field to a message.
DATED = ("Date: Mon, 7 Dec 2026 09:00:00 +0000", "Message-ID: <dated@client.example>")


def posting(sender, subject, *more, body=("Hello list.",)):
    return message("From: " + sender, "To: whoever", "Subject: " + subject, DATED[0],
                   "Message-ID: <%s@client.example>" % subject.replace(" ", "."), *more, body=body)


def commands(sender, *lines, more=()):
    """A message to a request address whose body holds the given lines."""
    return message("From: " + sender, "Subject: list commands", *more, *DATED, body=lines)


def member_text(sender, name):
    return ("%s is not a member\nor moderator of the %s list.\n"
            "Sorry, only list members and the moderator may send mail to this list.\n"
            "You can join the list by sending a reply to this message, with \n"
            "SUBSCRIBE %s\nin the message body.\n" % (sender, name, name))


def moderator_only_text(sender, name):
    return ("%s is not the moderator of the %s list.\n"
            "Sorry, only the moderator may send mail to this list.\n"
            "Your message has been forwarded to the moderator.\n" % (sender, name))


UNSPECIFIED_TEXT = "Your mail has been rejected by the list server (unspecified reason).\n"


def no_from_text(name):
    return ("No From: field was detected in your message.  The list server\n"
            "for the %s list will not process messages without a From: field.\n" % name)


def forwarded_text(name, role, reason):
    return ("The following message to the %s mailing list\nis forwarded to you (as %s) because\n"
            "%s\n" % (name, role, reason))


def journal(domain, entries, stopped=False):
    """The body of a journal: the welcome line, then each (line, output)
    echoed and answered; the last entry is STOP's when stopped."""
    text = "\nWelcome to the TALVO ZEL Mailing List Server at %s.\n\n" % domain
    for n, (line, output) in enumerate(entries):
        text += "> %s\n%s" % (line, output)
        if not (stopped and n == len(entries) - 1):
            text += "\n"
    return crlf(text) + b"\r\n.\r\n"


def moderator_request(sender, domain, command):
    return crlf("\nThe following request from %s has been received\n"
                "by the TALVO Mailing List Server at %s.\n\n%s\n\n" % (sender, domain, command)) \
        + b"\r\n.\r\n"


def header_value(content, name):
    """The values of every header line named name (no continuation lines)."""
    head, _ = split_message(content)
    prefix = name.lower().encode() + b":"
    return [h[len(prefix):].strip() for h in head if h.lower().startswith(prefix)]


class ListCase(MailCase):
    """A mail system with lists; prepare() makes them with zeladm."""

    users = ("administrator", "alice", "bob", "carol", "dave", "erin")

    # -- lists --------------------------------------------------------------

    def zelist(self, *args, check=True):
        return self.mail.scratch.zeladm("list", *args, check=check)

    def make_list(self, name, *options, members=(), confirm=False):
        """A list; joins and leaves by mail act at once unless confirm."""
        self.zelist("create", name, *options, *(() if confirm else ("--no-confirm",)))
        for member in members:
            self.zelist("add-member", name, member)

    def list_values(self, name, values):
        """Values no zeladm option gives (odd numbers, empty strings)."""
        self.mail.scratch.reg_import({LISTS_KEY + "\\" + name: values})

    def shown_members(self, name):
        """The addresses "zeladm list show" prints for a list, lower case."""
        text = self.zelist("show", name).stdout
        _, found, rest = text.partition("members:")
        self.assertTrue(found, "no members in %r" % text)
        return set(a.lower() for a in rest.split() if "@" in a)

    # -- waits and files ----------------------------------------------------

    def list_backlog(self):
        root = self.mail.spool("lists")
        try:
            names = os.listdir(root)
        except FileNotFoundError:
            return []
        pending = []
        for name in names:
            if os.path.isdir(os.path.join(root, name)):
                pending += [name + "/" + f for f in files_with(os.path.join(root, name), "MSG")]
        return pending

    def wait_idle(self):
        """The agent idle and every list directory drained."""
        for _ in range(3):
            self.assertEqual(self.mail.wait_idle(), [], "the agent left work undone")
            if not self.list_backlog():
                return
            poll(lambda: not self.list_backlog())
        self.assertEqual(self.list_backlog(), [], "list directories not drained")

    def by_subject(self, user):
        """{Subject value: [(file name, content)]} of user's mailbox."""
        found = {}
        for name in self.mail.messages(user):
            content = self.mail.read_message(user, name)
            subject = (header_value(content, "Subject") or [None])[0]
            found.setdefault(subject, []).append((name, content))
        return found

    def by_list(self, user):
        """{Resent-From value: [(file name, content)]} of user's list copies."""
        found = {}
        for name in self.mail.messages(user):
            content = self.mail.read_message(user, name)
            for value in header_value(content, "Resent-From"):
                found.setdefault(value.decode(), []).append((name, content))
        return found

    def wait_dead(self, count):
        names = poll(lambda: (lambda d: d if len(d) >= count else None)(
            files_with(self.mail.spool("dead"), "TXT")))
        self.assertEqual(len(names or []), count, self.dead_letters())
        return [n[:-4] for n in names]

    # -- what generated messages look like -----------------------------------

    def without_envelope(self, content, sender):
        """A list directory's copy (quoted by a notice, kept as a dead
        letter) without the envelope field that list delivery puts first."""
        envelope = b"Return-Path: <%s>\r\n" % sender.encode()
        self.assertTrue(content.startswith(envelope), "no %r in front of %r" % (envelope,
                                                                               content[:300]))
        return content[len(envelope):]

    def stored_form(self, content, data):
        """The receiver's stored form of data, with the Received field found
        at the start of content (a list copy, or a held message)."""
        m = re.match(RECEIVED, content)
        self.assertIsNotNone(m, "no Received field of zelrecv at the start of %r" % content[:300])
        return m.group(0) + on_the_wire(data)

    @staticmethod
    def rewritten(stored, name, base, domain=LOCAL, reply_to=False):
        """stored as the list copy base of list name: Sender lines become
        Original-sender lines, the list's lines close the header."""
        head, _, body = stored.partition(b"\r\n\r\n")
        lines = [b"Original-sender:" + h[7:] if h.lower().startswith(b"sender:") else h
                 for h in head.split(b"\r\n")]
        lines += [b"Sender: " + request(name, domain).encode(),
                  b"Resent-Message-Id: <%s@%s>" % (base.encode(), LOCAL.encode()),
                  b"Resent-From: " + at(name, domain).encode(),
                  b"X-Unsub: To leave, send text 'LEAVE' to <%s>" % request(name, domain).encode()]
        if reply_to:
            lines.append(b"Reply-To: " + at(name, domain).encode())
        return b"\r\n".join(lines) + b"\r\n\r\n" + body

    def assertListCopy(self, content, base, data, name, domain=LOCAL, reply_to=False):
        stored = self.stored_form(content, data)
        self.assertEqual(content, self.rewritten(stored, name, base, domain, reply_to))

    def assertNotice(self, content, base, to, subject, frm, text, data, sender=None):
        """A list notice: header, text, the whole list message (behind the
        envelope field naming sender, to by default), end line."""
        body = self.assertGenerated(content, base, [
            b"To: " + re.escape(to.encode()), b"Subject: " + re.escape(subject.encode()),
            b"From: " + re.escape(frm.encode()), rb"Message-Id: <" + ID + rb">",
            rb"Date: " + DATE])
        start = crlf(text) + b"\r\n"
        self.assertTrue(body.startswith(start), "notice body %r" % body[:600])
        quoted = body[len(start):]
        self.assertTrue(quoted.endswith(b"\r\n.\r\n"), quoted[-100:])
        quoted = self.without_envelope(quoted, sender or to)
        self.assertStored(quoted[:-5] + b".\r\n", data)

    def assertSent(self, content, base, to, subject, frm, body):
        """A message of the list server (journal, moderator request)."""
        got = self.assertGenerated(content, base, [
            b"To: " + re.escape(to.encode()), b"Subject: " + re.escape(subject.encode()),
            b"From: " + re.escape(frm.encode()), rb"Message-Id: <" + ID + rb">",
            rb"Date: " + DATE])
        self.assertEqual(got, body)

    def one(self, user, subject):
        """The only message with that subject in user's mailbox: (base, content)."""
        found = self.by_subject(user).get(subject.encode(), [])
        self.assertEqual(len(found), 1, "%s's %r: %s" % (user, subject,
                                                         sorted(self.by_subject(user))))
        return found[0][0][:-4], found[0][1]


class DistributionTest(ListCase):
    def prepare(self):
        self.make_list("staff", members=[at("alice"), at("bob"), at("carol"), at("zed", REMOTE)])
        self.make_list("talk", "--who-can-send", "anyone", "--reply-to-list", "--domain",
                       "lists.example", members=[at("bob"), at("zed", REMOTE)])

    def test_copy_to_every_member(self):
        data = posting("Alice <alice@%s>" % LOCAL, "minutes",
                       "SENDER: Assistant <assist@%s>" % REMOTE, "X-Folded: one,\r\n\ttwo",
                       body=("Minutes attached.", ".a dotted line", "", "Last line."))
        # The list's name in any case is the list.
        self.send(at("alice"), [at("STAFF")], data)
        names = {user: self.wait_messages(user, 1) for user in ("alice", "bob", "carol")}
        [copy] = names["bob"]
        base = copy[:-4]
        self.assertEqual(names, {"alice": [copy], "bob": [copy], "carol": [copy]})
        content = self.mail.read_message("bob", copy)
        self.assertListCopy(content, base, data, "staff")
        for user in ("alice", "carol"):
            self.assertEqual(self.mail.read_message(user, copy), content)
        # The remote member's copy waits in its queue: the same message, no
        # return path (the list bounces nowhere by default).
        queued = poll(lambda: remote_queue(self.mail).get(base))
        self.assertIsNotNone(queued, "no copy queued for %s" % REMOTE)
        self.assertEqual(recipients_of(queued), [(at("zed", REMOTE), None)])
        self.assertNotRegex(queued, r"(?mi)^Return-path: *\S")
        self.assertEqual(read_bytes(self.mail.spool("holding", copy)), content)
        self.wait_idle()
        self.assertEqual(self.mail.messages("erin"), [])
        self.assertEqual(self.mail.messages("administrator"), [])
        self.assertEqual(self.dead_letters(), [])

    def test_long_fields_and_lines(self):
        many = ", ".join("user%d@%s" % (n, REMOTE) for n in range(20000))
        long_line = "".join("%07d " % n for n in range(12500))     # 100000 characters
        data = posting(at("alice"), "big", "Cc: " + many, "Sender: " + "s" * 3000 + "@" + REMOTE,
                       body=("short", long_line, "end"))
        self.send(at("alice"), [at("staff")], data)
        [copy] = self.wait_messages("bob", 1)
        self.assertListCopy(self.mail.read_message("bob", copy), copy[:-4], data, "staff")
        self.wait_idle()

    def test_burst(self):
        sent = {}
        for n in range(10):
            sent["burst %d" % n] = posting(at("carol"), "burst %d" % n)
            self.send(at("carol"), [at("staff")], sent["burst %d" % n])
        self.wait_messages("bob", 10)
        self.wait_idle()
        copies = self.by_subject("bob")
        self.assertEqual(sorted(copies), sorted(s.encode() for s in sent))
        for subject, data in sent.items():
            [(copy, content)] = copies[subject.encode()]
            self.assertListCopy(content, copy[:-4], data, "staff")
            self.assertEqual(self.mail.read_message("alice", copy), content)
        self.assertEqual(len(self.mail.messages("alice")), 10)

    def test_reply_to_list_and_domain(self):
        plain = posting(at("erin"), "plain")
        own = posting(at("erin"), "own reply", "Reply-to: Desk <desk@%s>" % REMOTE)
        for data in (plain, own):
            self.send(at("erin"), [at("talk")], data)
        copies = self.wait_messages("bob", 2)
        self.wait_idle()
        by_subject = self.by_subject("bob")
        [(name, content)] = by_subject[b"plain"]
        self.assertListCopy(content, name[:-4], plain, "talk", "lists.example", reply_to=True)
        # A message with its own reply address gets no second one.
        [(name, content)] = by_subject[b"own reply"]
        self.assertListCopy(content, name[:-4], own, "talk", "lists.example", reply_to=False)
        self.assertEqual(len(copies), 2)
        self.assertEqual(self.mail.messages("erin"), [])


class BounceActionTest(ListCase):
    """The return path of list copies, seen on the remote member's queue."""

    CASES = {  # list: (zeladm options, registry values, path with Reply-to, path without)
        "bnone": ((), None, None, None),
        "bsender": (("--bounce-action", "sender"), None, at("desk", REMOTE), at("alice")),
        "baddr": (("--bounce-action", "address", "--bounces-to", "Bounces@REMOTE.EXAMPLE"), None,
                  "Bounces@" + REMOTE, "Bounces@" + REMOTE),
        "bempty": ((), {"BounceAction": 2, "BouncesTo": ""}, None, None),
        "bodd": ((), {"BounceAction": 9, "BouncesTo": at("x", REMOTE)}, None, None),
    }

    def prepare(self):
        for name, (options, values, _, _) in self.CASES.items():
            self.make_list(name, "--who-can-send", "anyone", *options,
                           members=[at("zed", REMOTE)])
            if values:
                self.list_values(name, values)

    def test_return_paths(self):
        lists = [at(name) for name in self.CASES]
        self.send(at("alice"), lists, posting(at("alice"), "with reply",
                                              "Reply-To: Desk <desk@%s>" % REMOTE.upper()))
        self.send(at("alice"), lists, posting(at("alice"), "without reply"))
        queued = poll(lambda: (lambda q: q if len(q) >= 10 else None)(remote_queue(self.mail)))
        self.assertEqual(len(queued or {}), 10, sorted(queued or {}))
        self.wait_idle()
        seen = {}
        for base, text in queued.items():
            held = read_bytes(self.mail.spool("holding", base + ".MSG"))
            [subject] = header_value(held, "Subject")
            [resent] = header_value(held, "Resent-From")
            # The queue writes the line even for an empty return path.
            paths = [p for p in re.findall(r"(?mi)^Return-path: *(.*?)\r?$", text) if p]
            seen[(resent.decode(), subject.decode())] = paths
            self.assertEqual(recipients_of(text), [(at("zed", REMOTE), None)])
        expected = {}
        for name, (_, _, with_reply, without) in self.CASES.items():
            expected[(at(name), "with reply")] = [with_reply] if with_reply else []
            expected[(at(name), "without reply")] = [without] if without else []
        self.assertEqual(seen, expected)


class PostingRuleTest(ListCase):
    def prepare(self):
        both = [at("alice"), at("bob")]
        self.make_list("members", members=both)
        self.make_list("modonly", "--moderator", at("dave"), "--who-can-send", "moderator",
                       members=[at("bob")])
        self.make_list("nomod", members=[at("bob")])
        self.list_values("nomod", {"WhoCanSend": 3, "Moderator": ""})
        self.make_list("odd", members=both)
        self.list_values("odd", {"WhoCanSend": 7})
        self.make_list("zero", members=both)
        self.list_values("zero", {"WhoCanSend": 0})

    def test_outsider_is_refused(self):
        data = posting("Erin <erin@%s>" % LOCAL, "outsider")
        names = ["members", "modonly", "nomod", "odd", "zero"]
        self.send(at("erin"), [at(n) for n in names], data)
        self.wait_messages("erin", 5)
        self.wait_messages("dave", 1)
        self.wait_idle()
        erin = at("erin")
        texts = {"members": member_text(erin, "members"),
                 "modonly": moderator_only_text(erin, "modonly"),
                 "nomod": moderator_only_text(erin, "nomod"),
                 "odd": UNSPECIFIED_TEXT,
                 "zero": member_text(erin, "zero")}
        for name, text in texts.items():
            subject = "Your message to the %s mailing list" % name
            with self.subTest(list=name):
                base, content = self.one("erin", subject)
                self.assertNotice(content, base, erin, subject, request(name), text, data)
        self.assertEqual(len(self.mail.messages("erin")), 5)
        # Only the list with a moderator forwards; nobody else gets anything.
        [fwd] = self.mail.messages("dave")
        self.assertNotice(self.mail.read_message("dave", fwd), fwd[:-4], at("dave"),
                          "Message to the modonly mailing list", request("modonly"),
                          forwarded_text("modonly", "moderator",
                                         "only the moderator may send messages to this "
                                         "mailing list"), data, sender=erin)
        for user in ("alice", "bob", "carol", "administrator"):
            self.assertEqual(self.mail.messages(user), [], user)

    def test_members_and_moderator_may_post(self):
        # A member's address is recognised without regard to case.
        member = posting("Alice <ALICE@%s>" % LOCAL.upper(), "from a member")
        self.send(at("alice"), [at("members"), at("odd"), at("zero")], member)
        moderated = posting("Dave <dave@%s>" % LOCAL, "from the moderator")
        self.send(at("dave"), [at("modonly")], moderated)
        self.wait_messages("bob", 4)
        self.wait_messages("alice", 3)
        self.wait_idle()
        copies = self.by_list("bob")
        self.assertEqual(sorted(copies), sorted(at(n) for n in ("members", "odd", "zero",
                                                                "modonly")))
        for name, data in (("members", member), ("odd", member), ("zero", member),
                           ("modonly", moderated)):
            [(copy, content)] = copies[at(name)]
            self.assertListCopy(content, copy[:-4], data, name)
        self.assertEqual(len(self.mail.messages("bob")), 4)
        self.assertEqual(self.mail.messages("dave"), [])
        self.assertEqual(self.mail.messages("erin"), [])

    def test_the_moderators_from_line_alone_is_not_the_moderator(self):
        # Another envelope sender: the notice (to the From address) and the
        # forward both reach the real moderator, and nobody gets a copy.
        self.send(at("erin"), [at("modonly")], posting("Dave <dave@%s>" % LOCAL, "forged"))
        self.wait_messages("dave", 2)
        self.wait_idle()
        self.assertEqual(sorted(self.by_subject("dave")),
                         [b"Message to the modonly mailing list",
                          b"Your message to the modonly mailing list"])
        self.assertEqual(self.mail.messages("bob"), [])

    def test_notice_goes_to_the_reply_address(self):
        # A member writing from another address is refused, with the text
        # that invites a SUBSCRIBE; the notice goes to the Reply-To address.
        other = posting("Alice <alice.private@%s>" % LOCAL, "other address",
                        "Reply-To: Alice <alice@%s>" % LOCAL)
        self.send(at("alice"), [at("members")], other)
        # From a remote outsider: the notice waits in the remote queue and
        # has the postmaster as its return path.
        remote = posting(at("x", REMOTE), "remote outsider")
        self.send(at("x", REMOTE), [at("members")], remote)
        subject = "Your message to the members mailing list"
        self.wait_messages("alice", 1)
        base, content = self.one("alice", subject)
        self.assertNotice(content, base, at("alice"), subject, request("members"),
                          member_text(at("alice.private"), "members"), other)
        queued = poll(lambda: remote_queue(self.mail))
        self.assertEqual(len(queued or {}), 1, queued)
        [(base, text)] = queued.items()
        self.assertEqual(recipients_of(text), [(at("x", REMOTE), None)])
        self.assertRegex(text, r"(?mi)^Return-path: postmaster@%s\r?$" % re.escape(LOCAL))
        self.assertNotice(read_bytes(self.mail.spool("holding", base + ".MSG")), base,
                          at("x", REMOTE), subject, request("members"),
                          member_text(at("x", REMOTE), "members"), remote)
        self.wait_idle()
        self.assertEqual(self.mail.messages("bob"), [])

    def test_message_without_from(self):
        anonymous = message("Subject: anonymous", "To: whoever", *DATED, body=["Who am I?"])
        self.send(at("erin"), [at("members"), at("modonly")], anonymous)
        reply_only = message("Subject: reply only", "Reply-To: erin@" + LOCAL, *DATED,
                             body=["Hi."])
        self.send(at("erin"), [at("members")], reply_only)
        reason = "the message contains no valid From: or Reply-to: header"
        # Without a moderator the postmaster hears of it, else the moderator.
        self.wait_messages("administrator", 1)
        self.wait_messages("dave", 1)
        self.wait_messages("erin", 1)
        self.wait_idle()
        subject = "Problem with the members mailing list"
        base, content = self.one("administrator", subject)
        self.assertNotice(content, base, at("postmaster"), subject, request("members"),
                          forwarded_text("members", "postmaster", reason), anonymous,
                          sender=at("erin"))
        subject = "Message to the modonly mailing list"
        base, content = self.one("dave", subject)
        self.assertNotice(content, base, at("dave"), subject, request("modonly"),
                          forwarded_text("modonly", "moderator", reason), anonymous,
                          sender=at("erin"))
        # A Reply-To address alone is enough to tell the sender.
        subject = "Your message to the members mailing list"
        base, content = self.one("erin", subject)
        self.assertNotice(content, base, at("erin"), subject, request("members"),
                          no_from_text("members"), reply_only)
        self.assertEqual(len(self.mail.messages("administrator")), 1)
        self.assertEqual(len(self.mail.messages("dave")), 1)
        self.assertEqual(len(self.mail.messages("erin")), 1)
        self.assertEqual(self.mail.messages("bob"), [])


class LoopTest(ListCase):
    def prepare(self):
        self.make_list("echo", "--who-can-send", "anyone", members=[at("bob"), at("echo")])
        self.make_list("ring1", "--who-can-send", "anyone", members=[at("bob"), at("ring2")])
        self.make_list("ring2", "--who-can-send", "anyone", members=[at("carol"), at("ring1")])
        self.make_list("staff", members=[at("alice"), at("bob")])

    def test_list_copy_back_at_its_list(self):
        data = posting(at("alice"), "echo")
        self.send(at("alice"), [at("echo")], data)
        [copy] = self.wait_messages("bob", 1)
        [base] = self.wait_dead(1)
        self.wait_idle()
        content = self.mail.read_message("bob", copy)
        self.assertListCopy(content, copy[:-4], data, "echo")
        # The copy that came back to the list is the dead letter.
        self.assertEqual(base, copy[:-4])
        dead = self.assertDeadLetter(base, [DEAD_LIST_LOOP])
        self.assertEqual(self.without_envelope(dead, ""), content)
        self.assertEqual(len(self.mail.messages("bob")), 1)
        self.assertEqual(len(self.dead_letters()), 2)

    def test_ring_of_two_lists(self):
        data = posting(at("alice"), "ring")
        self.send(at("alice"), [at("ring1")], data)
        [first] = self.wait_messages("bob", 1)
        [second] = self.wait_messages("carol", 1)
        [base] = self.wait_dead(1)
        self.wait_idle()
        copy1 = self.mail.read_message("bob", first)
        self.assertListCopy(copy1, first[:-4], data, "ring1")
        copy2 = self.mail.read_message("carol", second)
        self.assertEqual(copy2, self.rewritten(copy1, "ring2", second[:-4]))
        self.assertEqual(header_value(copy2, "Original-sender"), [request("ring1").encode()])
        self.assertEqual(base, second[:-4])
        dead = self.assertDeadLetter(base, [DEAD_LIST_LOOP])
        self.assertEqual(self.without_envelope(dead, ""), copy2)
        self.assertEqual(len(self.mail.messages("bob")), 1)
        self.assertEqual(len(self.mail.messages("carol")), 1)

    def test_original_sender_is_the_list(self):
        data = posting(at("alice"), "pretend", "Original-Sender: staff-request@" + LOCAL.upper())
        self.send(at("alice"), [at("staff")], data)
        [base] = self.wait_dead(1)
        self.wait_idle()
        self.assertStored(self.without_envelope(self.assertDeadLetter(base, [DEAD_LIST_LOOP]),
                                                at("alice")), data)
        self.assertEqual(self.mail.messages("bob"), [])

    def test_request_to_itself(self):
        # The reply address is the request address: no journal, a dead letter.
        own = commands(request("staff"), "help")
        self.send(at("erin"), [request("staff")], own)
        reply = commands(at("erin"), "help", more=["Reply-To: " + request("STAFF").upper()])
        self.send(at("erin"), [request("staff")], reply)
        bases = self.wait_dead(2)
        self.wait_idle()
        dead = [self.without_envelope(self.assertDeadLetter(base, [DEAD_REQUEST_LOOP]),
                                      at("erin")) for base in bases]
        # The dead letters are the two requests as they were stored.
        dead.sort(key=lambda content: b"\r\nReply-To: " in content)
        self.assertStored(dead[0], own)
        self.assertStored(dead[1], reply)
        self.assertEqual(self.mail.messages("erin"), [])
        self.assertEqual(self.mail.messages("administrator"), [])


class ListDirectoryTest(ListCase):
    """Copies into the list directories, and names that are no list."""

    def prepare(self):
        self.make_list("staff", members=[at("alice"), at("bob")])
        if self._testMethodName == "test_list_directory_not_writable":
            # The lock file is there already, so the lock is granted; the
            # copy itself is refused.
            directory = self.mail.spool("lists", "staff")
            write_file(os.path.join(directory, "$LockFile"), b"")
            if subprocess.run(["chattr", "+i", directory], capture_output=True).returncode:
                self.skipTest("chattr +i does not work here")
            self.addCleanup(subprocess.run, ["chattr", "-i", directory], capture_output=True)
        if self._testMethodName == "test_list_directory_is_a_file":
            write_file(self.mail.spool("lists", "staff"), b"in the way")

        if self._testMethodName == "test_mail_waits_for_its_list":
            write_file(self.mail.spool("lists", "gone", self.WAITING + ".MSG"), self.WAITING_TEXT)
            write_file(self.mail.spool("lists", "gone-request", self.REQUEST + ".MSG"),
                       self.REQUEST_TEXT)

    WAITING = "B9000000401"
    WAITING_TEXT = ("From: alice@%s\r\nSubject: waiting\r\n\r\nStill here.\r\n.\r\n"
                    % LOCAL).encode()
    REQUEST = "B9000000402"
    REQUEST_TEXT = ("From: erin@%s\r\nSubject: join\r\n\r\njoin\r\n.\r\n" % LOCAL).encode()

    def report_body(self, user, recipient, original, reason):
        """The opening and reason of the one report in user's mailbox."""
        base, content = self.one(user, "Delivery failure")
        head, body = split_message(content)
        self.assertIn(b"To: alice@" + LOCAL.encode(), head)
        self.assertIn(b"Cc: postmaster@" + LOCAL.encode(), head)
        opening = self.local_opening(recipient, original) + reason + b"\r\n"
        self.assertTrue(body.startswith(opening), body[:300])
        return base

    def test_eleventh_copy_is_refused(self):
        data = posting(at("alice"), "eleven")
        self.send(at("alice"), ["staff"] * 11, data)
        self.wait_messages("administrator", 1)
        self.wait_messages("bob", 10)
        self.wait_idle()
        base = self.report_body("alice", "staff", None, b"There are too many copies of this "
                                b"message in the list mailbox")
        self.assertEqual(self.mail.messages("administrator"), [base + ".MSG"])
        # The ten copies in the list directory went out as ten list copies.
        copies = [c for _, c in self.by_list("bob")[at("staff")]]
        self.assertEqual(len(copies), 10)
        self.assertEqual(len(self.mail.messages("bob")), 10)
        self.assertEqual(len(self.mail.messages("alice")), 11)

    def test_list_directory_not_writable(self):
        # A copy that cannot be written says nothing about the list: the
        # recipient waits (one event), and nobody gets a report.
        self.send(at("alice"), [at("staff")], posting(at("alice"), "locked out"))
        self.assertTrue(poll(lambda: "Delivery of message" in self.mail.scratch.events()))
        time.sleep(2)
        self.assertTrue(files_with(self.mail.spool("domains", LOCAL_QUEUE), "RCP"))
        self.assertEqual(self.mail.messages("alice"), [])
        self.assertEqual(self.mail.scratch.events().count(" 138 "), 1)
        subprocess.run(["chattr", "-i", self.mail.spool("lists", "staff")], capture_output=True)
        self.send(at("alice"), ["carol"], posting(at("alice"), "trigger"))
        [copy] = self.wait_messages("bob", 1)
        self.wait_idle()
        self.assertEqual(self.mail.messages("alice"), [copy])

    def test_list_directory_is_a_file(self):
        # No list directory can be had: the name goes to user delivery.
        self.send(at("alice"), [at("staff")], posting(at("alice"), "no directory"))
        self.wait_messages("alice", 1)
        self.wait_idle()
        self.report_body("alice", "staff", at("staff"), NOT_KNOWN)
        self.assertEqual(read_bytes(self.mail.spool("lists", "staff")), b"in the way")

    def test_mail_waits_for_its_list(self):
        # Mail in the directories of a list that does not exist stays there.
        self.send(at("alice"), ["bob"], posting(at("alice"), "first trigger"))
        self.wait_messages("bob", 1)
        self.assertEqual(self.mail.wait_idle(), [])
        self.assertEqual(sorted(self.list_backlog()), ["gone-request/%s.MSG" % self.REQUEST,
                                                       "gone/%s.MSG" % self.WAITING])
        # Once the list is there, the next pass takes both.
        self.make_list("gone", "--who-can-send", "anyone", members=[at("bob")])
        self.send(at("alice"), ["carol"], posting(at("alice"), "second trigger"))
        self.wait_messages("bob", 2)
        self.wait_messages("erin", 1)
        self.wait_idle()
        [(copy, content)] = self.by_list("bob")[at("gone")]
        self.assertEqual(content, self.rewritten(self.WAITING_TEXT, "gone", copy[:-4]))
        base, content = self.one("erin", "Journal")
        self.assertSent(content, base, at("erin"), "Journal", request("gone"), journal(LOCAL, [
            ("join", "%s has been added to the gone mailing list.\n" % at("erin"))]))
        self.assertEqual(self.shown_members("gone"), {at("bob"), at("erin")})

    def test_locked_list_directory(self):
        # While another holder has the list directory's lock, mail for the
        # list waits in the local queue: no copy, no report.
        directory = self.mail.spool("lists", "staff")
        os.makedirs(directory, exist_ok=True)
        lock_path = os.path.join(directory, "$LockFile")
        # Locked before it has its name: a lock file seen unlocked is a dead
        # holder's, which the agent's list pass would adopt and remove.
        fd = os.open(lock_path + ".new", os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.link(lock_path + ".new", lock_path)
        os.unlink(lock_path + ".new")
        try:
            data = posting(at("alice"), "while locked")
            self.send(at("alice"), [at("staff")], data)
            self.assertTrue(poll(lambda: files_with(self.mail.spool("domains", LOCAL_QUEUE),
                                                    "RCP")))
            time.sleep(2)
            self.assertEqual(files_with(directory, "MSG"), [])
            self.assertEqual(self.mail.messages("bob"), [])
            self.assertEqual(self.mail.messages("alice"), [])
        finally:
            # Released as a holder does: the name goes first.
            os.unlink(lock_path)
            os.close(fd)
        # The next pass delivers it.
        self.send(at("alice"), ["carol"], posting(at("alice"), "trigger"))
        [copy] = self.wait_messages("bob", 1)
        self.wait_idle()
        self.assertListCopy(self.mail.read_message("bob", copy), copy[:-4], data, "staff")
        self.assertEqual([n for n in self.mail.messages("alice")], [copy])

    def test_deleted_list_is_no_list(self):
        self.zelist("delete", "staff")
        self.send(at("alice"), [at("staff")], posting(at("alice"), "to a deleted list"))
        self.wait_messages("alice", 1)
        self.wait_idle()
        self.report_body("alice", "staff", at("staff"), NOT_KNOWN)
        self.assertEqual(self.mail.messages("bob"), [])

    def test_request_address_in_any_case(self):
        self.send(at("alice"), ["Staff-REQUEST@" + LOCAL.upper()], commands(at("alice"), "help"))
        # A journal to a remote requester has no return path.
        self.send(at("x", REMOTE), [request("staff")], commands(at("x", REMOTE), "help"))
        # "-request" of a name that is no list is a user name like any other.
        self.send(at("alice"), [request("nolist")], posting(at("alice"), "no list"))
        self.wait_messages("alice", 2)
        self.wait_idle()
        base, content = self.one("alice", "Journal")
        self.assertSent(content, base, at("alice"), "Journal", request("staff"),
                        journal(LOCAL, [("help", help_text(LOCAL))]))
        self.report_body("alice", "nolist-request", request("nolist"), NOT_KNOWN)
        [(base, text)] = remote_queue(self.mail).items()
        self.assertEqual(recipients_of(text), [(at("x", REMOTE), None)])
        self.assertNotRegex(text, r"(?mi)^Return-path: *\S")
        self.assertSent(read_bytes(self.mail.spool("holding", base + ".MSG")), base,
                        at("x", REMOTE), "Journal", request("staff"),
                        journal(LOCAL, [("help", help_text(LOCAL))]))
        self.assertFalse(os.path.exists(self.mail.spool("lists", "nolist-request")))
        self.assertEqual(self.mail.messages("bob"), [])


class CommandTest(ListCase):
    def prepare(self):
        self.make_list("staff", members=[at("alice"), at("bob")])
        self.make_list("talk", "--who-can-send", "anyone", members=[at("carol")])
        self.make_list("club", "--moderator", at("dave"), "--moderate-join", "--moderate-leave",
                       members=[at("bob")])
        self.make_list("fresh")
        self.make_list("ext", "--domain", "lists.example")
        # Moderated joins without a moderator are not moderated.
        self.make_list("loose")
        self.list_values("loose", {"ModeratorControlJoin": 1})

    def test_journal(self):
        erin = at("erin")
        entries = [
            ("help", help_text(LOCAL)),
            ("join", "%s has been added to the staff mailing list.\n" % erin),
            ("JOIN", "%s is already a member of the staff mailing list.\n" % erin),
            ("subscribe TALK frank@Remote.Example",
             "frank@remote.example has been added to the talk mailing list.\n"),
            ("join nolist", "\nThere is no mailing list called nolist.\n"),
            ("join staff@" + LOCAL,
             "\nThere is no mailing list called staff@%s.\n" % LOCAL),
            ("join staff " + request("staff"),
             "\nYou may not add \"-request\" addresses to a mailing list.\n"),
            ("join staff Gina@ZELTEST.Example.Test extra words",
             "Gina@%s has been added to the staff mailing list.\n" % LOCAL),
            ("join staff bad@%s, more" % LOCAL,
             "\nbad@%s, is not a valid email address.\n" % LOCAL),
            ("LEAVE staff@bob@" + LOCAL,
             "bob@%s has been removed from the staff mailing list.\n" % LOCAL),
            ("leave", "%s has been removed from the staff mailing list.\n" % erin),
            ("unsubscribe", "%s is not a member of the staff mailing list.\n" % erin),
            ("frobnicate now", "Command frobnicate not recognised\n"),
            ("STOP", "End of commands detected\n"),
        ]
        lines = [line for line, _ in entries]
        # Leading blanks are not echoed; blank lines and lines that begin
        # with "." are no commands; what follows STOP is not read.
        lines[2] = " \t" + lines[2]
        lines[11:11] = ["", "   ", ".join"]
        lines += ["-- ", "Erin", "join talk"]
        self.send(erin, [request("staff")], commands("Erin <%s>" % erin, *lines))
        [name] = self.wait_messages("erin", 1)
        self.wait_idle()
        self.assertSent(self.mail.read_message("erin", name), name[:-4], erin, "Journal",
                        request("staff"), journal(LOCAL, entries, stopped=True))
        self.assertEqual(self.shown_members("staff"),
                         {at("alice"), at("gina")})
        self.assertEqual(self.shown_members("talk"), {at("carol"), at("frank", REMOTE)})
        self.assertEqual(self.list_backlog(), [])

    def test_sender_and_reply_address(self):
        # Sender: names the requester, Reply-To: where the journal goes and
        # whom a bare JOIN adds. A moderated list reached through another
        # list's request address is asked for from its own request address
        # at that other list's domain.
        self.send(at("x", REMOTE), [request("ext")],
                  commands(at("x", REMOTE), "help", "join", "join loose", "join club",
                           more=["Sender: Erin <erin@%s>" % LOCAL,
                                 "Reply-To: Carol <carol@%s>" % LOCAL]))
        long_address = "a" * 300 + "@" + LOCAL
        self.send(at("erin"), [request("ext")], commands(at("erin"), "join ext " + long_address))
        self.wait_messages("carol", 1)
        self.wait_messages("erin", 1)
        self.wait_messages("dave", 1)
        self.wait_idle()
        domain = "lists.example"
        carol = at("carol")
        base, content = self.one("carol", "Journal")
        self.assertSent(content, base, carol, "Journal", request("ext", domain), journal(domain, [
            ("help", help_text(domain)),
            ("join", "%s has been added to the ext mailing list.\n" % carol),
            ("join loose", "%s has been added to the loose mailing list.\n" % carol),
            ("join club", "\nYour request to join the club list as %s\n"
                          "has been forwarded to the list moderator.\n" % carol)]))
        [request_name] = self.mail.messages("dave")
        self.assertSent(self.mail.read_message("dave", request_name), request_name[:-4],
                        at("dave"), "JOIN Request", request("club", domain),
                        moderator_request(at("erin"), domain, "JOIN club " + carol))
        self.assertEqual(self.shown_members("ext"), {carol})
        self.assertEqual(self.shown_members("loose"), {carol})
        self.assertEqual(self.shown_members("club"), {at("bob")})
        # An address too long for the store is refused as no valid address.
        base, content = self.one("erin", "Journal")
        self.assertSent(content, base, at("erin"), "Journal", request("ext", domain),
                        journal(domain, [("join ext " + long_address,
                                          "\n%s is not a valid email address.\n" % long_address)]))
        self.assertEqual(self.shown_members("ext"), {carol})

    def test_list_made_by_hand(self):
        # A list written straight into the registry has no Members key and
        # no ConfirmRequests value yet: joining it by mail waits for the
        # confirmation all the same, and then works.
        self.mail.scratch.reg_import({LISTS_KEY + "\\byhand": {"WhoCanSend": 2}})
        self.send(at("erin"), [request("byhand")], commands(at("erin"), "join"))
        self.wait_messages("erin", 2)
        self.wait_idle()
        [(_, confirm)] = self.by_subject("erin")[b"Please confirm: JOIN byhand"]
        self.assertEqual(self.shown_members("byhand"), set())
        token = re.search(rb"\nCONFIRM ([0-9a-f]{32})\r\n", confirm).group(1).decode()
        self.send(at("erin"), [request("byhand")], commands(at("erin"), "CONFIRM " + token))
        self.wait_messages("erin", 3)
        self.wait_idle()
        self.assertEqual(self.shown_members("byhand"), {at("erin")})

    def test_moderated_join_and_leave(self):
        erin, dave = at("erin"), at("dave")
        self.send(erin, [request("club")],
                  commands(erin, "join", "leave club " + at("bob")))
        self.wait_messages("dave", 2)
        [name] = self.wait_messages("erin", 1)
        self.wait_idle()
        self.assertSent(self.mail.read_message("erin", name), name[:-4], erin, "Journal",
                        request("club"), journal(LOCAL, [
                            ("join", "\nYour request to join the club list as %s\n"
                                     "has been forwarded to the list moderator.\n" % erin),
                            ("leave club " + at("bob"),
                             "\nYour request to remove %s from the club list\n"
                             "has been forwarded to the list moderator.\n" % at("bob"))]))
        base, content = self.one("dave", "JOIN Request")
        self.assertSent(content, base, dave, "JOIN Request", request("club"),
                        moderator_request(erin, LOCAL, "JOIN club " + erin))
        base, content = self.one("dave", "LEAVE Request")
        self.assertSent(content, base, dave, "LEAVE Request", request("club"),
                        moderator_request(erin, LOCAL, "LEAVE club " + at("bob")))
        self.assertEqual(self.shown_members("club"), {at("bob")})

        # The moderator carries the requests out by sending the same commands.
        self.send(dave, [request("club")],
                  commands("Dave <%s>" % dave.upper(), "JOIN club " + erin,
                           "LEAVE club " + at("bob")))
        self.wait_messages("dave", 3)
        self.wait_idle()
        base, content = self.one("dave", "Journal")
        self.assertSent(content, base, at("DAVE"), "Journal", request("club"), journal(LOCAL, [
            ("JOIN club " + erin, "%s has been added to the club mailing list.\n" % erin),
            ("LEAVE club " + at("bob"),
             "%s has been removed from the club mailing list.\n" % at("bob"))]))
        self.assertEqual(self.shown_members("club"), {erin})

    def test_message_without_sender(self):
        self.send(at("erin"), [request("staff")],
                  message("Subject: who", "Reply-To: " + at("erin"), body=["join"]))
        self.assertTrue(poll(lambda: os.path.isdir(self.mail.spool("lists", "staff-request"))))
        self.wait_idle()
        self.assertEqual(self.mail.messages("erin"), [])
        self.assertEqual(self.shown_members("staff"), {at("alice"), at("bob")})

    def test_joined_by_mail_then_receives(self):
        # A list that has never had a member takes one by mail.
        self.send(at("erin"), [request("fresh")], commands(at("erin"), "subscribe"))
        [journal_name] = self.wait_messages("erin", 1)
        self.wait_idle()
        self.assertSent(self.mail.read_message("erin", journal_name), journal_name[:-4],
                        at("erin"), "Journal", request("fresh"), journal(LOCAL, [
                            ("subscribe",
                             "%s has been added to the fresh mailing list.\n" % at("erin"))]))
        self.assertEqual(self.shown_members("fresh"), {at("erin")})
        data = posting(at("erin"), "first post")
        self.send(at("erin"), [at("fresh")], data)
        names = self.wait_messages("erin", 2)
        self.wait_idle()
        [(copy, content)] = self.by_subject("erin")[b"first post"]
        self.assertListCopy(content, copy[:-4], data, "fresh")
        self.assertEqual(len(names), 2)


def readme_list_demo():
    """The commands of the README's mailing list demo, one string each."""
    with open(os.path.join(test_zel_run.SOURCE_DIR, "README.md"), encoding="utf-8") as f:
        text = f.read()
    start = text.index("### A mailing list")
    end = text.find("\n#", start + 1)
    section = text[start:end if end >= 0 else len(text)]
    return [line[4:] for line in section.splitlines() if line.startswith("    ")]


@unittest.skipUnless(shutil.which("swaks"), "swaks is not installed")
class ReadmeListDemoTest(unittest.TestCase):
    """The README's list demo, command by command, against the configuration
    "./zel run" seeds (taken from the script as test_zel_run does), under a
    scratch root and on free ports: the commands are run as written but
    for ZEL_ROOT, the program directory and the two port numbers."""

    ZELADM = "ZEL_ROOT=$PWD/var build/bin/zeladm "

    def setUp(self):
        # The same seeding as the "./zel run" flow test.
        test_zel_run.ZelRunFlowTest.setUp(self)
        self.mail.start()

    def run_line(self, line):
        if line.startswith(self.ZELADM):
            return self.mail.scratch.zeladm(*shlex.split(line[len(self.ZELADM):])).stdout
        args = shlex.split(line)
        if args[0] == "swaks":
            # A shell runs it, as a reader would: "$(...)" looks into the
            # mailbox, which lies under the scratch root here.
            command = (line.replace("127.0.0.1:2525", "127.0.0.1:%d" % self.mail.port)
                       .replace("var/var/", self.mail.scratch.root + "/var/")
                       + " --timeout %d" % WAIT_SECONDS)
            args = ["/bin/bash", "-c", command]
        elif args[0] == "python3":
            args = ["/usr/bin/python3"] + [a.replace(", 1110)", ", %d)" % self.mail.pop3_port)
                                           for a in args[1:]]
        else:
            self.fail("a command the demo test does not know: " + line)
        result = subprocess.run(args, capture_output=True, text=True, timeout=WAIT_SECONDS * 2,
                                env=self.mail.scratch.env)
        self.assertEqual(result.returncode, 0, "%s\n%s%s" % (line, result.stdout, result.stderr))
        return result.stdout

    def test_demo_commands(self):
        lines = readme_list_demo()
        self.assertEqual([line.split()[0] for line in lines],
                         ["ZEL_ROOT=$PWD/var", "swaks", "swaks", "ZEL_ROOT=$PWD/var", "swaks",
                          "python3"])
        self.assertIn("--domain zel.test", lines[0])
        self.run_line(lines[0])
        self.run_line(lines[1])
        # A user types the next command once the journal and the
        # confirmation request came back.
        self.assertEqual(len(self.mail.wait_messages(self.user, 2)), 2,
                         self.mail.scratch.events())
        self.assertNotIn("demo@zel.test", self.run_line(lines[3]).split())
        self.run_line(lines[2])
        self.assertEqual(len(self.mail.wait_messages(self.user, 3)), 3)
        shown = self.run_line(lines[3])
        self.assertIn("demo@zel.test", shown.split())
        self.run_line(lines[4])
        self.assertEqual(len(self.mail.wait_messages(self.user, 4)), 4)
        self.assertEqual(self.mail.wait_idle(), [])
        printed = self.run_line(lines[5])
        journal_at = printed.find("Subject: Journal\n")
        confirm_at = printed.find("Subject: Please confirm: JOIN team\n")
        post_at = printed.find("Subject: Hello team\n")
        # The request goes out while the commands run, the journal after them.
        self.assertGreaterEqual(confirm_at, 0, printed)
        self.assertGreater(journal_at, confirm_at, printed)
        self.assertGreater(post_at, journal_at, printed)
        self.assertIn("> JOIN team\n\nA confirmation request has been sent to demo@zel.test.\n",
                      printed)
        self.assertRegex(printed, r"> CONFIRM [0-9a-f]{32}\r?\ndemo@zel.test has been added to "
                                  r"the team mailing list.\n")
        post = printed[post_at:]
        for line in ("Sender: team-request@zel.test", "Resent-From: team@zel.test",
                     "Reply-To: team@zel.test", "First post."):
            self.assertIn("\n" + line + "\n", "\n" + post, post)


if __name__ == "__main__":
    unittest.main(verbosity=2)
