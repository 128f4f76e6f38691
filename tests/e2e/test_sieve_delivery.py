#!/usr/bin/env python3
"""Sieve at local delivery: mail through zelrecv and zeldeliv into folders
with flags and edited headers, discarded, redirected with an SRS sender,
rejected, answered by vacation; the administrator's script; and faults
(an include loop, too many redirects, a run past its processor time) that
each end with the message in INBOX and one event.

Mail for remote.example is held in its queue directory (MailCase), where
the redirects, reports and replies are read."""

import email
import email.policy
import os
import re
import sqlite3
import unittest

from test_local_delivery import LOCAL, REMOTE, MailCase, dated, message, remote_queue
from zelharness import (ZEL_KEY, SmtpConnection, files_with, give_to_mail_owner, poll, read_bytes,
                        swaks_send, write_file)

SIEVE_EVENT = "The Sieve filter of %s failed"


class SieveCase(MailCase):
    scripts = {}    # {user: script text}, each the user's active script

    def prepare(self):
        for user, text in self.scripts.items():
            self.put_script(user, "main", text)

    def put_script(self, user, name, text, active=True):
        directory = self.mail.mailbox(user, "sieve")
        os.makedirs(directory, exist_ok=True)
        give_to_mail_owner(self.mail.mailbox(user), directory)
        write_file(os.path.join(directory, name + ".sieve"), text.encode("utf-8"))
        give_to_mail_owner(os.path.join(directory, name + ".sieve"))
        if active:
            write_file(os.path.join(directory, "active"), name + "\n")
            give_to_mail_owner(os.path.join(directory, "active"))

    def folder(self, user, *names):
        return self.mail.mailbox(user, *("+" + n for n in names))

    def index_rows(self, user, *names):
        """{file name: (flags, keywords)} of a folder's index."""
        db = sqlite3.connect(os.path.join(self.folder(user, *names), ".index"))
        try:
            return {n: (f, k or "") for n, f, k in db.execute("SELECT name, flags, keywords FROM msg")}
        finally:
            db.close()

    def queued(self):
        """[(recipient file text, message bytes)] of the remote queue."""
        return [(rcp, read_bytes(self.mail.spool("holding", base + ".MSG")))
                for base, rcp in sorted(remote_queue(self.mail).items())]

    def sieve_events(self):
        return re.findall(r"The Sieve filter of (\S+) failed: ([^\r\n]*)", self.mail.scratch.events())


def to_user(user, subject, sender="sender@" + REMOTE, *more):
    return message("From: %s" % sender, "To: %s@%s" % (user, LOCAL), "Subject: " + subject,
                   "Date: Mon, 7 Dec 2026 09:00:00 +0000", "Message-ID: <%s@client.example>"
                   % subject.replace(" ", "."), *more, body=("Hello.",))


class FilingTest(SieveCase):
    scripts = {"alice": r'''require ["fileinto", "mailbox", "imap4flags", "editheader"];
if header :contains "Subject" "list" { fileinto :create "Lists/Zel"; stop; }
if header :contains "Subject" "boss" {
  addflag ["\\Flagged", "urgent"];
  addheader "X-Sieve" "seen by alice";
  deleteheader "X-Drop-Me";
  keep;
  stop;
}
if header :contains "Subject" "spam" { discard; stop; }
if header :contains "Subject" "nowhere" { fileinto "No/Such/Folder"; }
'''}

    def test_fileinto_flags_edits_and_discard(self):
        for subject in ("list post", "from the boss", "spam offer", "nowhere to go", "plain"):
            more = ("X-Drop-Me: yes",) if "boss" in subject else ()
            self.send("sender@" + REMOTE, ["alice"], to_user("alice", subject, "sender@" + REMOTE,
                                                             *more))
        self.wait_idle()
        # Into the folder made for it, and indexed there.
        listed = files_with(self.folder("alice", "Lists", "Zel"), "MSG")
        self.assertEqual(len(listed), 1)
        self.assertIn(b"Subject: list post", read_bytes(os.path.join(
            self.folder("alice", "Lists", "Zel"), listed[0])))
        self.assertEqual(list(self.index_rows("alice", "Lists", "Zel")), listed)
        # INBOX: the boss's (flagged, edited), the one for a missing folder
        # and the plain one; the spam is gone.
        inbox = {n: read_bytes(self.mail.mailbox("alice", n)) for n in self.mail.messages("alice")}
        subjects = sorted(re.search(rb"Subject: ([^\r]*)", t).group(1) for t in inbox.values())
        self.assertEqual(subjects, [b"from the boss", b"nowhere to go", b"plain"])
        boss = [n for n, t in inbox.items() if b"the boss" in t][0]
        self.assertIn(b"X-Sieve: seen by alice\r\n", inbox[boss])
        self.assertNotIn(b"X-Drop-Me", inbox[boss])
        self.assertEqual(self.index_rows("alice")[boss], (4, "urgent"))
        self.assertEqual(self.sieve_events(), [])


class SubaddressTest(SieveCase):
    # "-" rather than the default "+", which account names cannot hold: so
    # that a user whose name holds the delimiter can be made.
    users = ("administrator", "alice", "bob", "bob-x")
    suite = {"RecipientDelimiter": "-"}
    scripts = {"alice": 'require ["fileinto", "mailbox", "envelope", "subaddress"];\n'
                        'if envelope :detail "to" "shop" { fileinto :create "Shop"; }\n'}

    def test_detail_reaches_the_user(self):
        self.send("sender@" + REMOTE, ["alice-shop@" + LOCAL], to_user("alice", "order"))
        self.send("sender@" + REMOTE, ["alice-other"], to_user("alice", "other"))
        # bob-x is a user of its own; bob-y is bob's.
        self.send("sender@" + REMOTE, ["bob-x", "bob-y"], to_user("bob", "both"))
        self.wait_idle()
        self.assertEqual(len(files_with(self.folder("alice", "Shop"), "MSG")), 1)
        self.assertEqual(len(self.mail.messages("alice")), 1)
        self.assertEqual(len(self.mail.messages("bob")), 1)
        self.assertEqual(len(self.mail.messages("bob-x")), 1)
        self.assertEqual(remote_queue(self.mail), {})


class ForwardReplyTest(SieveCase):
    users = ("administrator", "alice", "bob")
    scripts = {"bob": r'''require ["copy", "reject", "vacation"];
if header :contains "Subject" "fwd" { redirect :copy "carol@remote.example"; stop; }
if header :contains "Subject" "nope" { reject "not wanted here"; stop; }
vacation :days 2 :subject "Bob est absent jusqu'à lundi — réponse automatique" "Back on Monday.";
'''}

    def test_redirect_reject_vacation(self):
        sender = "sender@" + REMOTE
        self.send(sender, ["bob"], to_user("bob", "fwd this"))
        self.send(sender, ["bob"], to_user("bob", "nope one"))
        self.send(sender, ["bob"], to_user("bob", "hello 1"))
        self.send(sender, ["bob"], to_user("bob", "hello 2"))
        # A reject of mail without return path is kept instead.
        self.send("", ["bob"], to_user("bob", "nope two"))
        self.wait_idle()
        queued = self.queued()
        by_to = {}
        for rcp, text in queued:
            to = re.search(r"(?mi)^Recipient: (\S+)", rcp).group(1)
            by_to.setdefault(to, []).append((rcp, text))
        # The redirect: its sender rewritten with SRS at this host.
        [(rcp, text)] = by_to.pop("carol@" + REMOTE)
        self.assertRegex(rcp, r"(?mi)^Return-path: <?SRS0=[A-Za-z0-9]{6}=[A-Za-z0-9]{2}="
                              r"remote\.example=sender@%s>?\r?$" % re.escape(LOCAL))
        self.assertIn(b"Subject: fwd this", text)
        srs = re.search(r"(?mi)^Return-path: <?(SRS0=[^>\r\n]*)", rcp).group(1)
        # The report of the reject and one vacation reply for two messages.
        to_sender = [t for _, t in by_to.pop(sender)]
        self.assertEqual(by_to, {})
        reports = [t for t in to_sender if b"Subject: Delivery failure" in t]
        # The subject that is not ASCII in encoded words, folded.
        replies = [t for t in to_sender if b"Subject: =?utf-8?B?" in t]
        self.assertEqual(len(reports), 1)
        self.assertIn(b"not wanted here", reports[0])
        self.assertIn(b"nope one", reports[0])
        self.assertEqual(len(replies), 1, to_sender)
        self.assertIn(b"Auto-Submitted: auto-replied", replies[0])
        subject = email.message_from_bytes(replies[0], policy=email.policy.default)["Subject"]
        self.assertEqual(subject, "Bob est absent jusqu'à lundi — réponse automatique")
        self.assertRegex(replies[0], rb"Subject: (=\?utf-8\?B\?[^?]+\?=(\r\n )?)+\r\n")
        self.assertIn(b"charset=utf-8\r\n\r\nBack on Monday.\r\n", replies[0])
        subjects = sorted(re.search(rb"Subject: ([^\r]*)", read_bytes(self.mail.mailbox("bob", n)))
                          .group(1) for n in self.mail.messages("bob"))
        self.assertEqual(subjects, [b"fwd this", b"hello 1", b"hello 2", b"nope two"])

        # A bounce to the rewritten sender goes back to the original one,
        # from a client that may not relay; a forged one is refused.
        local, _, domain = srs.partition("@")
        forged = local[:5] + ("A" if local[5].upper() != "A" else "B") + local[6:] + "@" + domain
        self.assertEqual(self.rcpt_reply(forged), "550 5.7.1 Invalid SRS address\r\n")
        before = set(remote_queue(self.mail))
        self.mail.send("", [srs], message("From: MAILER-DAEMON@" + REMOTE, "Subject: bounced",
                                          body=("Gone.",)))
        self.wait_idle()
        [new] = set(remote_queue(self.mail)) - before
        self.assertEqual(re.findall(r"(?mi)^Recipient: (\S+)", remote_queue(self.mail)[new]),
                         [sender])

    def rcpt_reply(self, address):
        with SmtpConnection(self.mail.port) as conn:
            conn.reply()
            conn.command("HELO client.example")
            conn.command("MAIL FROM:<>")
            reply = conn.command("RCPT TO:<%s>" % address)
            conn.command("QUIT")
            return reply


class ExtensionsTest(SieveCase):
    """The extensions the other cases do not reach, each once, with mail
    sent by swaks."""
    scripts = {"alice": r'''require ["fileinto", "mailbox", "variables", "relational", "body",
         "date", "index", "duplicate", "include", "envelope", "copy", "ereject",
         "comparator-i;ascii-numeric", "vacation", "vacation-seconds"];
if duplicate { discard; stop; }
include :personal "tags";
if envelope :domain "from" "copies.example" { fileinto :copy :create "Copies"; }
if header :matches "Subject" "report *" { set :lower "name" "${1}"; fileinto :create "Reports/${name}"; stop; }
if header :count "ge" :comparator "i;ascii-numeric" "Received" "3" { fileinto :create "Hops"; stop; }
if body :text :contains "invoice" { fileinto :create "Invoices"; stop; }
if date :value "lt" :comparator "i;ascii-numeric" :originalzone "date" "year" "2000" { fileinto :create "Old"; stop; }
if header :index 2 :is "X-Tag" "second" { fileinto :create "Second"; stop; }
if header :contains "Subject" "go away" { ereject "not here"; stop; }
if header :contains "Subject" "away" { vacation :seconds 3600 :subject "Out" "Out for the day."; }
'''}

    def prepare(self):
        super().prepare()
        self.put_script("alice", "tags", 'require "imap4flags";\n'
                        'if header :contains "Subject" "tag me" { addflag "tagged"; }\n',
                        active=False)

    def swaks(self, subject, *more, sender="sender@" + REMOTE, body="Hello.",
              date="Mon, 7 Dec 2026 09:00:00 +0000"):
        data = message("From: " + sender, "To: alice@" + LOCAL, "Subject: " + subject,
                       "Date: " + date,
                       "Message-ID: <%s@client.example>" % subject.replace(" ", "."), *more,
                       body=(body,))
        done = swaks_send(self.mail.port, sender, "alice@" + LOCAL, data.rstrip(b"\r\n"),
                          "client.example")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_each_extension_once(self):
        self.swaks("report WEEKLY")
        self.swaks("report WEEKLY")                         # the same Message-ID: dropped
        self.swaks("hops", "Received: from a by b; Mon, 7 Dec 2026 08:00:00 +0000",
                   "Received: from c by a; Mon, 7 Dec 2026 07:00:00 +0000")
        self.swaks("bill", body="Your invoice is attached.")
        self.swaks("old one", date="Mon, 7 Dec 1998 09:00:00 +0000")
        self.swaks("tags", "X-Tag: first", "X-Tag: second")
        self.swaks("copied", sender="someone@copies.example")
        self.swaks("tag me")
        self.swaks("go away")
        self.swaks("away 1")
        self.swaks("away 2")
        self.wait_idle()
        counts = {f: len(files_with(self.folder("alice", *f.split("/")), "MSG"))
                  for f in ("Reports/weekly", "Hops", "Invoices", "Old", "Second", "Copies")}
        self.assertEqual(counts, dict.fromkeys(counts, 1))
        inbox = {re.search(rb"Subject: ([^\r]*)", read_bytes(self.mail.mailbox("alice", n)))
                 .group(1): n for n in self.mail.messages("alice")}
        self.assertEqual(sorted(inbox), [b"away 1", b"away 2", b"copied", b"tag me"])
        self.assertEqual(self.index_rows("alice")[inbox[b"tag me"]], (0, "tagged"))
        to_sender = [t for rcp, t in self.queued()]
        self.assertEqual(len([t for t in to_sender if b"not here" in t]), 1)
        self.assertEqual(len([t for t in to_sender if b"Subject: Out\r\n" in t]), 1)
        self.assertEqual(self.sieve_events(), [])


class BeforeScriptTest(SieveCase):
    def prepare(self):
        path = self.mail.scratch.path("etc", "zel", "before.sieve")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_file(path, 'require ["fileinto", "mailbox"];\n'
                         'if header :contains "X-Spam-Flag" "YES" { fileinto :create "Junk"; stop; }\n')
        self.mail.scratch.reg_import({ZEL_KEY: {
            "SieveBeforeScript": path}})
        # bob has a script of his own that would keep everything flagged.
        self.put_script("bob", "main", 'require ["imap4flags"]; addflag "\\\\Seen";')

    def test_spam_into_junk_for_everyone(self):
        for user in ("alice", "bob"):
            self.send("sender@" + REMOTE, [user], to_user(user, "spam", "sender@" + REMOTE,
                                                          "X-Spam-Flag: YES"))
            self.send("sender@" + REMOTE, [user], to_user(user, "ham"))
        self.wait_idle()
        for user in ("alice", "bob"):
            junk = files_with(self.folder(user, "Junk"), "MSG")
            self.assertEqual(len(junk), 1, user)
            self.assertIn(b"Subject: spam", read_bytes(os.path.join(self.folder(user, "Junk"),
                                                                    junk[0])))
            self.assertEqual(len(self.mail.messages(user)), 1, user)
        # bob's own script ran after the administrator's for the ham.
        self.assertEqual(list(self.index_rows("bob").values()), [(1, "")])
        self.assertEqual(self.sieve_events(), [])


class BrokenBeforeScriptTest(SieveCase):
    def prepare(self):
        self.before = self.mail.scratch.path("etc", "zel", "before.sieve")
        os.makedirs(os.path.dirname(self.before), exist_ok=True)
        write_file(self.before, 'require "fileinto";\nfilein "Junk";\n')
        self.mail.scratch.reg_import({ZEL_KEY: {"SieveBeforeScript": self.before}})
        self.put_script("bob", "main", 'require ["imap4flags"]; addflag "\\\\Seen";')

    def test_said_once_per_change_and_compiled_again(self):
        for n in range(3):
            for user in ("alice", "bob"):
                self.send("sender@" + REMOTE, [user], to_user(user, "spam %d" % n,
                                                              "sender@" + REMOTE, "X-Spam-Flag: YES"))
        self.wait_idle()
        # Skipped with one event for the file, not one per message, and no
        # message said to be kept against the user's own script.
        events = self.mail.scratch.events()
        self.assertEqual(len(re.findall(r"The administrator's Sieve script \S+ is not run: "
                                        r"line 2: ", events)), 1, events)
        self.assertEqual(self.sieve_events(), [])
        self.assertEqual([len(self.mail.messages(u)) for u in ("alice", "bob")], [3, 3])
        self.assertEqual(set(self.index_rows("bob").values()), {(1, "")})
        # A new version of the file is compiled and used.
        write_file(self.before, 'require "fileinto";\n'
                                'if header :contains "X-Spam-Flag" "YES" { fileinto "Junk"; }\n')
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "spam again", "sender@" + REMOTE,
                                                         "X-Spam-Flag: YES"))
        self.wait_idle()
        self.assertEqual(len(files_with(self.folder("alice", "Junk"), "MSG")), 1)


class RetryTest(SieveCase):
    scripts = {"alice": 'require ["fileinto", "mailbox"];\n'
                        'fileinto :create "First";\nfileinto :create "Second";\n'}

    def counts(self):
        return [len(files_with(self.folder("alice", n), "MSG")) for n in ("First", "Second")]

    def test_a_copy_made_before_a_deferral_is_not_made_again(self):
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "one"))
        self.wait_idle()
        self.assertEqual(self.counts(), [1, 1])
        # Second cannot be written now: the next delivery stops after First.
        second = self.folder("alice", "Second")
        os.chown(second, 0, 0)
        os.chmod(second, 0o555)
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "two"))
        self.assertTrue(poll(lambda: "is deferred" in self.mail.scratch.events()),
                        self.mail.scratch.events())
        self.assertEqual(self.counts(), [2, 1])
        give_to_mail_owner(second)
        os.chmod(second, 0o700)
        self.wait_idle()
        self.assertEqual(self.counts(), [2, 2])
        self.assertEqual(self.mail.messages("alice"), [])
        # The note of the first pass went with the delivery.
        self.assertEqual(read_bytes(self.mail.mailbox("alice", "sieve", ".filed")), b"")


class FaultTest(SieveCase):
    users = ("administrator", "alice", "bob", "carol", "dave")
    # One millisecond of processor time: the long run below needs far
    # more on any machine, and the other scripts here need no time limit.
    suite = {"SieveMaxCpuTime": 1}
    scripts = {
        "alice": 'require "include"; include :personal "loop";',
        "bob": 'require "copy";\n' + "".join(
            'redirect :copy "r%d@remote.example";\n' % n for n in range(10)),
        # 200 searches of a body of 800 KB: far past a millisecond.
        "carol": 'require "body";\n' + 'if body :contains "needle" { discard; }\n' * 200,
    }

    def prepare(self):
        super().prepare()
        self.put_script("alice", "loop", 'require "include"; include :personal "main";',
                        active=False)
        # dave's active script is gone.
        self.put_script("dave", "gone", "keep;")
        os.remove(self.mail.mailbox("dave", "sieve", "gone.sieve"))

    def test_faults_keep_the_message_in_inbox(self):
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "looping"))
        self.send("sender@" + REMOTE, ["bob"], to_user("bob", "ten redirects"))
        self.send("sender@" + REMOTE, ["carol"], to_user("carol", "long run")
                  + (b"a" * 79 + b"\r\n") * 10000)
        self.send("sender@" + REMOTE, ["dave"], to_user("dave", "no script"))
        self.wait_idle()
        for user in ("alice", "bob", "carol", "dave"):
            self.assertEqual(len(self.mail.messages(user)), 1, user)
        self.assertEqual(remote_queue(self.mail), {})
        events = self.sieve_events()
        self.assertEqual(sorted(u for u, _ in events), ["alice", "bob", "carol", "dave"], events)
        reasons = dict(events)
        self.assertIn("include", reasons["alice"])
        self.assertIn("redirect", reasons["bob"])
        self.assertIn("processor time", reasons["carol"])
        self.assertIn("cannot be read", reasons["dave"])


class FromCtlTest(SieveCase):
    """The script from-ctl prints does what the control file did."""

    def prepare(self):
        for user, control in (("alice", "[AutoForward]\nForwardTo = carol@remote.example\n"
                                        "[AutoReply]\nReplyFrom = desk@%s\n" % LOCAL),
                              ("bob", "[AutoForward]\nForwardTo = dave@remote.example\n"
                                      "[Delivery]\nDiscard = yes\n")):
            os.makedirs(self.mail.mailbox(user), exist_ok=True)
            write_file(self.mail.mailbox(user, "ZEL.CTL"), control)
        write_file(self.mail.mailbox("alice", "AUTORPLY.TXT"), "Away until \"Monday\".\n")
        write_file(self.mail.mailbox("alice", "NOREPLY.TXT"), "quiet@%s\n" % REMOTE)

    def outcome(self, sender):
        """Two messages from sender to each user (one of them Cc quiet@,
        which gets no reply): {what: count} of copies, forwards and replies."""
        before = set(remote_queue(self.mail))
        for n in range(2):
            for user in ("alice", "bob"):
                more = ("Cc: quiet@" + REMOTE,) if n else ()
                self.send(sender, [user], to_user(user, "m%d %s" % (n, sender), sender, *more))
        self.wait_idle()
        seen = {"alice": len(self.mail.messages("alice")), "bob": len(self.mail.messages("bob"))}
        for base, rcp in remote_queue(self.mail).items():
            if base in before:
                continue
            to = re.search(r"(?mi)^Recipient: (\S+)", rcp).group(1)
            text = read_bytes(self.mail.spool("holding", base + ".MSG"))
            if to != sender:
                path = re.search(r"(?mi)^Return-path: <?([^>\r\n]*)", rcp).group(1)
                self.assertRegex(path, r"^SRS0=.*=%s=\w+@%s$" % (re.escape(REMOTE), re.escape(LOCAL)))
            else:
                self.assertIn(b"Subject: Automatic reply", text)
                self.assertIn(b"From: desk@" + LOCAL.encode(), text)
                self.assertIn(b'Away until "Monday".', text)
            seen[to] = seen.get(to, 0) + 1
        return seen

    def test_the_script_does_what_the_control_file_did(self):
        by_ctl = self.outcome("first@" + REMOTE)
        self.assertEqual(by_ctl, {"alice": 2, "bob": 0, "carol@" + REMOTE: 2,
                                  "dave@" + REMOTE: 2, "first@" + REMOTE: 1})
        for user in ("alice", "bob"):
            script = self.mail.scratch.zeladm("sieve", user, "from-ctl").stdout
            path = self.mail.scratch.path(user + ".sieve")
            write_file(path, script)
            self.mail.scratch.zeladm("sieve", user, "put", path, "ctl")
            self.mail.scratch.zeladm("sieve", user, "activate", "ctl")
        # The same again for a new sender, now by the scripts.
        by_sieve = self.outcome("second@" + REMOTE)
        self.assertEqual(by_sieve, {"alice": 4, "bob": 0, "carol@" + REMOTE: 2,
                                    "dave@" + REMOTE: 2, "second@" + REMOTE: 1})
        self.assertEqual(self.sieve_events(), [])


class ZeladmSieveTest(SieveCase):
    mailboxes = ("alice",)

    def test_scripts_stored_by_zeladm_filter_mail(self):
        adm = self.mail.scratch.zeladm
        good = self.mail.scratch.path("junk.sieve")
        bad = self.mail.scratch.path("bad.sieve")
        write_file(good, 'require "fileinto";\nfileinto "Junk";\n')
        write_file(bad, 'require "fileinto";\n\nfilein "Junk";\n')
        # A script that does not compile is refused with its line, and not
        # stored.
        for args in (("alice", "check", bad), ("alice", "put", bad)):
            result = adm("sieve", *args, check=False)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn("line 3: ", result.stderr)
        self.assertEqual(adm("sieve", "alice", "check", good).stdout, good + ": OK\n")
        adm("sieve", "alice", "put", good)
        adm("sieve", "alice", "put", good, "second")
        self.assertEqual(adm("sieve", "alice", "activate", "nosuch", check=False).returncode, 1)
        adm("sieve", "alice", "activate", "junk")
        self.assertEqual(adm("sieve", "alice", "list").stdout, "junk (active)\nsecond\n")
        self.assertEqual(adm("sieve", "alice", "show", "second").stdout,
                         'require "fileinto";\nfileinto "Junk";\n')
        # The user's own files, private to the user.
        directory = self.mail.mailbox("alice", "sieve")
        owner = os.stat(self.mail.mailbox("alice")).st_uid
        for path, mode in ((directory, 0o700), (os.path.join(directory, "junk.sieve"), 0o600),
                           (os.path.join(directory, "active"), 0o600)):
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_mode & 0o777), (owner, mode), path)
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "filed"))
        self.wait_idle()
        self.assertEqual(len(files_with(self.folder("alice", "Junk"), "MSG")), 1)
        adm("sieve", "alice", "deactivate")
        self.assertEqual(adm("sieve", "alice", "list").stdout, "junk\nsecond\n")
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "kept"))
        self.assertEqual(len(self.wait_messages("alice", 1)), 1)


if __name__ == "__main__":
    unittest.main()
