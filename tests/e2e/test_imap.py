"""The IMAP server end to end, against the real zelimap (and, for the
delivery tests, zelrecv, zeldeliv and zelfetch on the same mailboxes).

Raw sockets (ImapConnection) check the exact bytes where the protocol's
texts matter; Python's imaplib does the ordinary work. One server with a
certificate serves most tests; a test that needs other settings starts its
own. Users are made fresh per test (new_user), so tests never meet.
"""

import base64
import email.utils
import imaplib
import itertools
import os
import poplib
import re
import socket
import ssl
import threading
import time
import unittest

from zelharness import (BUILD_DIR, IMAP_GREETING, ZEL_KEY, ImapServer, MailSystem, Pop3Server, poll,
                        client_tls_context, imap_login)

MAIN = None
_names = itertools.count(1)


def setUpModule():
    global MAIN
    MAIN = ImapServer({"AppendLimit": 100000}, tls=True, prefix="zel-e2e-imap-")
    MAIN.start()


def tearDownModule():
    if MAIN is not None:
        MAIN.stop()


def new_user(server=None):
    """A fresh account; (name, password)."""
    name = "im%03d" % next(_names)
    password = "pw-%s-Secret" % name
    (server or MAIN).add_user(name, password)
    return name, password


def message(subject, body="Hello.\r\n", headers=""):
    return ("From: Ann <ann@example.org>\r\nTo: bob@example.test\r\nSubject: %s\r\n"
            "Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n%s\r\n%s" % (subject, headers, body)).encode()


def imaplib_session(user, password, server=None, folder="INBOX"):
    m = imaplib.IMAP4("127.0.0.1", (server or MAIN).port)
    m.login(user, password)
    if folder:
        m.select(folder)
    return m


def tagged(lines):
    return lines[1]


class ImapCase(unittest.TestCase):
    def login(self, user=None, password=None, server=None, **options):
        if user is None:
            user, password = new_user(server)
        conn = (server or MAIN).login(user, password, **options)
        self.addCleanup(conn.close)
        return conn

    def ok(self, conn, command):
        return conn.ok(command)


class LogonTest(ImapCase):
    """The front's dialogue before logon: what it offers, to whom, and how
    a logon fails."""

    def test_greeting_and_capabilities_offer_tls_and_plain_to_this_host(self):
        conn = MAIN.connect()
        self.addCleanup(conn.close)
        self.assertTrue(conn.greeting.startswith("* OK [CAPABILITY IMAP4rev1 IMAP4rev2 "),
                        conn.greeting)
        for word in ("STARTTLS", "AUTH=PLAIN", "SASL-IR", "LITERAL+", "IDLE", "QRESYNC",
                     "CONDSTORE", "APPENDLIMIT=100000", "LIST-STATUS", "SPECIAL-USE"):
            self.assertIn(" " + word, conn.greeting)
        untagged, done = conn.run("CAPABILITY")
        self.assertEqual(done, "t1 OK CAPABILITY completed\r\n")
        self.assertEqual(untagged[0], "* CAPABILITY " + conn.greeting[17:].split("]")[0] + "\r\n")
        self.assertEqual(conn.run('ID ("name" "test")'),
                         (['* ID ("name" "ZEL" "version" "0.90")\r\n'], "t2 OK ID completed\r\n"))
        self.assertEqual(conn.run("SELECT INBOX")[1],
                         "t3 BAD Command unknown or not valid before logon\r\n")
        # After logon: no STARTTLS, no AUTH=.
        user, password = new_user()
        _, done = conn.run('LOGIN %s "%s"' % (user, password))
        self.assertTrue(done.startswith("t4 OK [CAPABILITY IMAP4rev1 IMAP4rev2 "), done)
        self.assertNotIn("STARTTLS", done)
        self.assertNotIn("AUTH=", done)
        self.assertTrue(done.endswith("] LOGIN completed\r\n"), done)

    def test_outsider_in_clear_sees_logindisabled_until_starttls(self):
        server = ImapServer({"PlaintextLogonClients": ["192.0.2.0/24"]}, tls=True)
        self.addCleanup(server.stop)
        user, password = new_user(server)
        server.start()
        conn = server.connect()
        self.addCleanup(conn.close)
        self.assertIn(" LOGINDISABLED", conn.greeting)
        self.assertNotIn("AUTH=", conn.greeting)
        self.assertEqual(conn.run("LOGIN %s %s" % (user, password))[1],
                         "t1 NO [PRIVACYREQUIRED] A password needs an encrypted connection: "
                         "use STARTTLS first\r\n")
        self.assertEqual(conn.answer("AUTHENTICATE PLAIN")[:23], "NO [PRIVACYREQUIRED] A ")
        # What follows STARTTLS in the same packet is dropped unread.
        conn.send(b"t3 STARTTLS\r\nt4 LOGIN %s %s\r\n" % (user.encode(), password.encode()))
        self.assertEqual(conn.line(), b"t3 OK Begin TLS negotiation now\r\n")
        conn.start_tls()
        untagged, _ = conn.run("CAPABILITY")
        self.assertIn(" AUTH=PLAIN", untagged[0])
        self.assertNotIn("STARTTLS", untagged[0])
        self.assertNotIn("LOGINDISABLED", untagged[0])
        self.assertTrue(conn.run("STARTTLS")[1].endswith(" BAD TLS is already active\r\n"))
        imap_login(conn, user, password)
        conn.ok("NOOP")

    def test_tls_port_and_authenticate_plain(self):
        user, password = new_user()
        plain = base64.b64encode(b"\0" + user.encode() + b"\0" + password.encode()).decode()
        # SASL-IR on the TLS port; the response on a line of its own in clear.
        conn = MAIN.connect(port=MAIN.tls_port, tls=True)
        self.addCleanup(conn.close)
        self.assertNotIn("STARTTLS", conn.greeting)
        self.assertTrue(conn.answer("AUTHENTICATE PLAIN " + plain).startswith("OK [CAPABILITY "))
        conn = MAIN.connect()
        self.addCleanup(conn.close)
        conn.send(b"a AUTHENTICATE PLAIN\r\n")
        self.assertEqual(conn.line(), b"+ \r\n")
        conn.send(b"*\r\n")
        self.assertEqual(conn.line(), b"a BAD Authentication cancelled\r\n")
        conn.send(b"b AUTHENTICATE PLAIN\r\n")
        self.assertEqual(conn.line(), b"+ \r\n")
        conn.send(plain.encode() + b"\r\n")
        self.assertTrue(conn.line().startswith(b"b OK [CAPABILITY "))

    def test_every_failure_gets_one_reply_late_and_the_third_closes(self):
        user, password = new_user()
        MAIN.scratch.add_user("root", "Root-pw-1")
        conn = MAIN.connect()
        self.addCleanup(conn.close)
        failed = "NO [AUTHENTICATIONFAILED] Authentication failed\r\n"
        started = time.monotonic()
        self.assertEqual(conn.answer("LOGIN nobody-here whatever"), failed)
        first = time.monotonic() - started
        self.assertEqual(conn.answer("LOGIN %s wrong" % user), failed)
        # root's twin in the accounts file: below MinimumLogonUid.
        self.assertEqual(conn.answer("LOGIN root Root-pw-1"), failed)
        self.assertEqual(conn.line(), b"* BYE Too many failed logons\r\n")
        self.assertTrue(conn.wait_closed())
        # Answered late: 1, 2 and 4 seconds from each submission.
        self.assertGreaterEqual(first, 0.9)
        self.assertGreaterEqual(time.monotonic() - started, 6.8)
        events = MAIN.scratch.events()
        for name in ("nobody-here", user, "root"):
            self.assertIn('Logon failed: imap client 127.0.0.1, user "%s"' % name, events)

    def test_front_limits_before_logon(self):
        server = ImapServer({"LogonTimeout": 2})
        self.addCleanup(server.stop)
        server.start()
        conn = server.connect()
        self.addCleanup(conn.close)
        started = time.monotonic()
        self.assertEqual(conn.line(timeout=10), b"* BYE Autologout; idle for too long\r\n")
        self.assertGreaterEqual(time.monotonic() - started, 1.9)
        self.assertTrue(conn.wait_closed())
        conn = server.connect()
        self.addCleanup(conn.close)
        conn.send(b"".join(b"n%d NOOP\r\n" % i for i in range(101)))
        replies = conn.read_to_close()
        self.assertEqual(replies.count(b" OK NOOP completed\r\n"), 100)
        self.assertTrue(replies.endswith(b"* BYE Too many commands before logon\r\n"), replies[-100:])


class FolderTest(ImapCase):
    """Folders as a whole: the special-use ones from the first logon,
    CREATE, RENAME, DELETE, LIST with its extensions, LSUB, STATUS,
    NAMESPACE; names in modified UTF-7 for IMAP4rev1, UTF-8 for rev2."""

    def test_folder_commands(self):
        conn = self.login()
        listed = self.ok(conn, 'LIST "" "*"')
        self.assertEqual(listed, ['* LIST (\\HasNoChildren) "/" "INBOX"\r\n',
                                  '* LIST (\\HasNoChildren \\Archive) "/" "Archive"\r\n',
                                  '* LIST (\\HasNoChildren \\Drafts) "/" "Drafts"\r\n',
                                  '* LIST (\\HasNoChildren \\Junk) "/" "Junk"\r\n',
                                  '* LIST (\\HasNoChildren \\Sent) "/" "Sent"\r\n',
                                  '* LIST (\\HasNoChildren \\Trash) "/" "Trash"\r\n'])
        self.assertEqual(self.ok(conn, 'LIST "" ""'), ['* LIST (\\Noselect) "/" ""\r\n'])
        self.ok(conn, "CREATE Work/2024/")
        self.assertEqual(conn.answer("CREATE Work"), "NO [ALREADYEXISTS] The folder exists already\r\n")
        self.assertEqual(conn.answer("CREATE INBOX")[:22], "NO [ALREADYEXISTS] The")
        self.ok(conn, "SUBSCRIBE Work/2024")
        self.assertEqual(self.ok(conn, 'LIST "" "Work/%"'),
                         ['* LIST (\\HasNoChildren) "/" "Work/2024"\r\n'])
        self.assertEqual(self.ok(conn, 'LIST (SUBSCRIBED RECURSIVEMATCH) "" "%"'),
                         ['* LIST (\\HasChildren) "/" "Work" ("CHILDINFO" ("SUBSCRIBED"))\r\n'])
        self.assertEqual(self.ok(conn, 'LIST (SPECIAL-USE) "" "*" RETURN (STATUS (MESSAGES))')[:2],
                         ['* LIST (\\HasNoChildren \\Archive) "/" "Archive"\r\n',
                          '* STATUS \"Archive\" (MESSAGES 0)\r\n'])
        self.assertEqual(self.ok(conn, 'LSUB "" "*"'), ['* LSUB () "/" "Work/2024"\r\n'])
        self.assertEqual(self.ok(conn, 'LSUB "" "%"'), ['* LSUB (\\Noselect) "/" "Work"\r\n'])
        self.ok(conn, "RENAME Work Job")
        self.assertEqual(self.ok(conn, 'LIST "" "Job*"'),
                         ['* LIST (\\HasChildren) "/" "Job"\r\n',
                          '* LIST (\\HasNoChildren) "/" "Job/2024"\r\n'])
        self.assertEqual(conn.answer("DELETE INBOX")[:12], "NO [CANNOT] ")
        # A folder with children keeps its place as \Noselect.
        self.ok(conn, "DELETE Job")
        self.assertEqual(self.ok(conn, 'LIST "" "Job*"')[0],
                         '* LIST (\\Noselect \\HasChildren) "/" "Job"\r\n')
        self.assertEqual(conn.answer("SELECT Job"), "NO [CANNOT] The folder holds no messages\r\n")
        self.assertEqual(conn.answer("SELECT Nowhere"), "NO [NONEXISTENT] No such folder\r\n")
        self.assertEqual(self.ok(conn, "NAMESPACE"), ['* NAMESPACE (("" "/")) NIL NIL\r\n'])
        self.assertEqual(self.ok(conn, "STATUS INBOX (MESSAGES UIDNEXT UNSEEN DELETED SIZE "
                                       "RECENT HIGHESTMODSEQ APPENDLIMIT)")[0][:64],
                         "* STATUS \"INBOX\" (MESSAGES 0 UIDNEXT 1 UNSEEN 0 DELETED 0 SIZE 0")

    def test_names_by_revision(self):
        conn = self.login()
        self.ok(conn, 'CREATE "&AMk-t&AOk-"')    # "Été" in modified UTF-7
        self.assertEqual(self.ok(conn, 'LIST "" "&AMk-*"'),
                         ['* LIST (\\HasNoChildren) "/" "&AMk-t&AOk-"\r\n'])
        # A rev1 client's 8-bit name is refused where it cannot be UTF-8.
        self.assertTrue(conn.answer(b'CREATE "Caf\xe9"').startswith("BAD "))
        self.ok(conn, "ENABLE IMAP4rev2")
        self.assertEqual(self.ok(conn, 'LIST "" "\u00c9*"'),
                         ['* LIST (\\HasNoChildren) "/" "\xc3\x89t\xc3\xa9"\r\n'])
        self.assertTrue(conn.answer('LSUB "" "*"').startswith("BAD "))
        untagged = self.ok(conn, "SELECT INBOX")
        self.assertIn('* LIST () "/" "INBOX"\r\n', untagged)
        self.assertFalse([l for l in untagged if "RECENT" in l or "UNSEEN" in l], untagged)


MULTIPART = (b"From: Ann <ann@example.org>\r\nTo: bob@example.test\r\n"
             b"Subject: =?ISO-8859-1?Q?Caf=E9_au_lait?=\r\nMIME-Version: 1.0\r\n"
             b'Content-Type: multipart/mixed; boundary="b1"\r\n\r\n'
             b"--b1\r\nContent-Type: text/plain; charset=utf-8\r\n"
             b"Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe aus K=C3=B6ln\r\n"
             b"--b1\r\nContent-Type: application/octet-stream\r\n"
             b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.b64encode(b"\0\1binary") +
             b"\r\n--b1--\r\n")


class MessageTest(ImapCase):
    """APPEND, FETCH, STORE, SEARCH, COPY, MOVE and EXPUNGE on one user's
    folders, and what the files hold."""

    def setUp(self):
        self.user, self.password = new_user()
        self.m = imaplib_session(self.user, self.password, folder=None)
        self.addCleanup(self.m.logout)

    def append(self, data, folder="INBOX", flags=None, date=None):
        typ, answer = self.m.append(folder, flags, date, data)
        self.assertEqual(typ, "OK", answer)
        return int(re.search(rb"APPENDUID \d+ (\d+)", answer[0]).group(1))

    def test_text_served_is_the_message_itself(self):
        # A line starting with "." is stuffed in the file and not in the text.
        text = message("dots", "line\r\n.hidden dot\r\n..two\r\n")
        when = imaplib.Time2Internaldate(time.mktime((2021, 3, 4, 5, 6, 7, 0, 0, 0)) - time.timezone)
        self.append(text, date=when)
        big = message("big", "".join("line %06d of a long text\r\n" % i for i in range(2000)))
        self.append(big)
        self.m.select("INBOX")
        files = {}
        for name in os.listdir(MAIN.mailbox(self.user)):
            if name.endswith(".MSG"):
                with open(MAIN.mailbox(self.user, name), "rb") as f:
                    files[name] = f.read()
        self.assertEqual(len(files), 2)
        self.assertIn(text.replace(b"\r\n.", b"\r\n..") + b".\r\n", files.values())
        typ, data = self.m.fetch("1:2", "(RFC822.SIZE BODY.PEEK[] INTERNALDATE)")
        self.assertEqual(data[0][1], text)
        self.assertIn(b"RFC822.SIZE %d " % len(text), data[0][0])
        self.assertEqual(data[1], b' INTERNALDATE " 4-Mar-2021 05:06:07 +0000")')
        # The long one goes by sendfile: the same bytes, and what follows it.
        self.assertEqual(data[2][1], big)
        self.assertRegex(data[3], rb'^ INTERNALDATE "[^"]+"\)$')
        typ, data = self.m.fetch("1", "(BODY.PEEK[]<40.20> BODY.PEEK[TEXT]<5.8>)")
        self.assertEqual(data[0][1], text[40:60])
        self.assertEqual(data[1][1], b"\n.hidden")
        typ, data = self.m.fetch("2", "(BODY.PEEK[]<30000.100>)")
        self.assertEqual(data[0][1], big[30000:30100])
        # No \Seen with PEEK; FETCH of the text sets it, and says so.
        self.assertEqual(self.m.fetch("1", "(FLAGS)")[1], [b"1 (FLAGS (\\Recent))"])
        self.assertEqual(self.m.fetch("1", "(BODY[HEADER.FIELDS (SUBJECT)])")[1][1],
                         b" FLAGS (\\Seen \\Recent))")
        # The old names of the header and the text (fetchmail asks for them).
        head, body = text.split(b"\r\n\r\n", 1)
        typ, data = self.m.fetch("1", "(RFC822.HEADER RFC822.TEXT)")
        self.assertEqual((data[0][1], data[1][1]), (head + b"\r\n\r\n", body))

    def test_structure_binary_and_search(self):
        self.append(MULTIPART)
        self.append(message("Plain words", "nothing rare here\r\n"), flags="(\\Flagged $Work)")
        self.m.select("INBOX")
        data = self.m.fetch("1", "(BODYSTRUCTURE BINARY.PEEK[2] BINARY.SIZE[1] BINARY.PEEK[1])")[1]
        self.assertIn(b'("TEXT" "PLAIN" ("CHARSET" "utf-8") NIL NIL "QUOTED-PRINTABLE"', data[0][0])
        self.assertIn(b'"MIXED" ("BOUNDARY" "b1")', data[0][0])
        binary = dict((re.search(rb"(BINARY\[\d\]) ~?\{", part[0]).group(1), part[1])
                      for part in data if isinstance(part, tuple))
        self.assertEqual(binary[b"BINARY[2]"], b"\0\1binary")
        self.assertEqual(binary[b"BINARY[1]"], "Grüße aus Köln".encode())
        self.assertIn(b"BINARY.SIZE[1] %d" % len("Grüße aus Köln".encode()), data[1][0])
        conn = self.login(self.user, self.password)
        conn.ok("SELECT INBOX")
        # Text keys read decoded bodies and headers, without regard to case.
        for criteria, want in ((("TEXT", "GRÜSSE"), b""), (("TEXT", "grüße"), b"1"),
                               (("SUBJECT", "café"), b"1"), (("BODY", "köln"), b"1"),
                               (("HEADER", "Content-Type", "mixed"), b"1"),
                               (("KEYWORD", "$work"), b"2"), (("FLAGGED",), b"2"),
                               (("NOT", "FLAGGED", "LARGER", "100"), b"1"),
                               (("SENTBEFORE", "2-Jul-2003", "SENTSINCE", "1-Jul-2003"), b"2"),
                               (("OR", "UID", "1", "SUBJECT", "plain"), b"1 2")):
            words = b" ".join(b"{%d+}\r\n%s" % (len(c.encode()), c.encode()) if not c.isascii()
                              else c.encode() for c in criteria)
            untagged = conn.ok(b"SEARCH CHARSET UTF-8 " + words)
            self.assertEqual((criteria, untagged), (criteria, ["* SEARCH%s\r\n" % (
                " " + want.decode() if want else "")]))
        self.assertEqual(conn.answer("SEARCH CHARSET KOI8-R ALL"),
                         "NO [BADCHARSET (UTF-8 US-ASCII)] Unsupported charset\r\n")

    def test_store_copy_move_expunge_and_uidplus(self):
        for n in range(4):
            self.append(message("m%d" % n))
        conn = self.login(self.user, self.password)
        self.ok(conn, "ENABLE IMAP4rev2")   # no \\Recent in the answers
        self.ok(conn, "SELECT INBOX")
        self.assertEqual(self.ok(conn, "STORE 1:2 +FLAGS (\\Deleted $Done)"),
                         ["* 1 FETCH (FLAGS (\\Deleted $Done))\r\n",
                          "* 2 FETCH (FLAGS (\\Deleted $Done))\r\n"])
        self.assertEqual(self.ok(conn, "UID STORE 2 -FLAGS.SILENT ($Done)"), [])
        _, done = conn.run("COPY 1:3 Archive")
        self.assertRegex(done, r"OK \[COPYUID \d+ 1:3 1:3\] COPY completed")
        self.assertEqual(conn.answer("COPY 9 Archive"), "BAD Invalid message sequence number\r\n")
        self.assertEqual(conn.answer("COPY 1 Nowhere"), "NO [TRYCREATE] No such folder\r\n")
        untagged = self.ok(conn, "UID MOVE 3:4 Junk")
        self.assertRegex(untagged[0], r"\* OK \[COPYUID \d+ 3:4 1:2\] Moved")
        self.assertEqual(untagged[1:], ["* 4 EXPUNGE\r\n", "* 3 EXPUNGE\r\n"])
        self.assertEqual(self.ok(conn, "UID EXPUNGE 2"), ["* 2 EXPUNGE\r\n"])
        self.assertEqual(self.ok(conn, "EXPUNGE"), ["* 1 EXPUNGE\r\n"])
        self.assertEqual(self.ok(conn, "STATUS Archive (MESSAGES DELETED)"),
                         ['* STATUS "Archive" (MESSAGES 3 DELETED 2)\r\n'])
        self.ok(conn, "SELECT Archive")
        self.assertEqual(self.ok(conn, "UID FETCH 1:* (FLAGS)"),
                         ["* 1 FETCH (UID 1 FLAGS (\\Deleted $Done))\r\n",
                          "* 2 FETCH (UID 2 FLAGS (\\Deleted))\r\n",
                          "* 3 FETCH (UID 3 FLAGS ())\r\n"])
        # CLOSE expunges silently; UNSELECT does not.
        self.assertEqual(self.ok(conn, "CLOSE"), [])
        self.assertEqual(self.ok(conn, "STATUS Archive (MESSAGES)"),
                         ['* STATUS "Archive" (MESSAGES 1)\r\n'])

    def test_esearch_and_searchres(self):
        for n in range(5):
            self.append(message("s%d" % n), flags="(\\Seen)" if n % 2 else None)
        conn = self.login(self.user, self.password)
        self.ok(conn, "SELECT INBOX")
        self.assertEqual(conn.run("SEARCH RETURN (MIN MAX COUNT ALL) UNSEEN", tag="e1")[0],
                         ['* ESEARCH (TAG "e1") MIN 1 MAX 5 COUNT 3 ALL 1,3,5\r\n'])
        self.assertEqual(conn.run("UID SEARCH RETURN () SEEN", tag="e2")[0],
                         ['* ESEARCH (TAG "e2") UID ALL 2,4\r\n'])
        self.assertEqual(self.ok(conn, "SEARCH RETURN (SAVE) SEEN"), [])
        self.assertEqual(self.ok(conn, "FETCH $ (UID)"),
                         ["* 2 FETCH (UID 2)\r\n", "* 4 FETCH (UID 4)\r\n"])
        self.assertEqual(self.ok(conn, "SEARCH $ 3:*"), ["* SEARCH 4\r\n"])

    def test_condstore_and_the_index_texts(self):
        self.append(MULTIPART, flags="(\\Seen)")
        self.append(message("second"))
        conn = self.login(self.user, self.password)
        self.ok(conn, "ENABLE IMAP4rev2")   # no \\Recent in the answers
        selected = "".join(self.ok(conn, "SELECT INBOX (CONDSTORE)"))
        modseq = int(re.search(r"HIGHESTMODSEQ (\d+)", selected).group(1))
        # ENVELOPE and BODYSTRUCTURE come from the index as made at APPEND.
        fetched = self.ok(conn, "FETCH 2 (ENVELOPE BODYSTRUCTURE)")
        self.assertEqual(fetched, ['* 2 FETCH (ENVELOPE ("Tue, 1 Jul 2003 10:52:37 +0200" "second" '
                                   '(("Ann" NIL "ann" "example.org")) (("Ann" NIL "ann" "example.org")) '
                                   '(("Ann" NIL "ann" "example.org")) ((NIL NIL "bob" "example.test")) '
                                   'NIL NIL NIL NIL) BODYSTRUCTURE ("TEXT" "PLAIN" ("CHARSET" "us-ascii") '
                                   'NIL NIL "7BIT" 8 1 NIL NIL NIL NIL))\r\n'])
        # A STORE that another change beat is refused with MODIFIED; the
        # others go ahead and carry their new modseq.
        stored = self.ok(conn, "STORE 2 +FLAGS (\\Answered)")
        newer = int(re.search(r"MODSEQ \((\d+)\)", stored[0]).group(1))
        self.assertGreater(newer, modseq)
        untagged, done = conn.run("STORE 1:2 (UNCHANGEDSINCE %d) +FLAGS ($Done)" % modseq)
        self.assertRegex(untagged[0], r"^\* 1 FETCH \(FLAGS \(\\Seen \$Done\) MODSEQ \(\d+\)\)")
        self.assertEqual(len(untagged), 1)
        self.assertTrue(done.endswith(" OK [MODIFIED 2] Conditional STORE failed\r\n"), done)
        self.assertEqual(self.ok(conn, "UID FETCH 1:* (FLAGS) (CHANGEDSINCE %d)" % newer),
                         [untagged[0].replace("* 1 FETCH (", "* 1 FETCH (UID 1 ")])
        self.assertRegex(self.ok(conn, "SEARCH MODSEQ %d" % (newer + 1))[0], r"^\* SEARCH 1 \(MODSEQ \d+\)")
        self.assertRegex(tagged(conn.run("EXPUNGE")), r"OK \[HIGHESTMODSEQ \d+\] EXPUNGE completed")
        # A message appended to the selected folder comes with the folder's
        # new HIGHESTMODSEQ, which its EXISTS does not carry.
        text = message("third")
        untagged, done = conn.run(b"APPEND INBOX {%d+}\r\n%s" % (len(text), text))
        status = self.ok(conn, "STATUS INBOX (HIGHESTMODSEQ)")[0]
        self.assertEqual(untagged, ["* 3 EXISTS\r\n", "* OK [HIGHESTMODSEQ %s] Highest\r\n"
                                    % re.search(r"HIGHESTMODSEQ (\d+)", status).group(1)])

    def test_pipelined_commands_and_inbox_rename(self):
        self.append(message("kept"), flags="(\\Flagged)")
        conn = self.login(self.user, self.password)
        self.ok(conn, "ENABLE IMAP4rev2")
        # Replies of pipelined commands come in order, each whole.
        conn.send(b"p1 SELECT INBOX\r\np2 FETCH 1 (FLAGS)\r\np3 UNSELECT\r\n"
                  b"p4 RENAME INBOX Old\r\np5 STATUS INBOX (MESSAGES)\r\n")
        for tag in ("p1", "p2", "p3", "p4"):
            self.assertTrue(conn.until_tagged(tag)[1].startswith(tag + " OK"), tag)
        self.assertEqual(conn.until_tagged("p5"), (['* STATUS "INBOX" (MESSAGES 0)\r\n'],
                                                   "p5 OK STATUS completed\r\n"))
        self.ok(conn, "SELECT Old")
        self.assertEqual(self.ok(conn, "FETCH 1 (FLAGS)"), ["* 1 FETCH (FLAGS (\\Flagged))\r\n"])

    def test_limits_leave_the_connection_going(self):
        conn = self.login(self.user, self.password)
        # A command over 64 KiB: refused, the connection goes on.
        conn.send(b"big NOOP " + b"x" * (70 * 1024) + b"\r\n")
        self.assertEqual(conn.line(), b"big BAD Command line too long\r\n")
        conn.ok("NOOP")
        # A message over APPENDLIMIT: no continuation for a synchronising
        # literal; a non-synchronising one is read and dropped.
        conn.send(b"a1 APPEND INBOX {100001}\r\n")
        self.assertEqual(conn.line(), b"a1 NO [TOOBIG] Message larger than the APPENDLIMIT\r\n")
        conn.send(b"a2 APPEND INBOX {100001+}\r\n" + b"y" * 100001 + b"\r\n")
        self.assertEqual(conn.line(), b"a2 NO [TOOBIG] Message larger than the APPENDLIMIT\r\n")
        self.assertEqual(self.ok(conn, "STATUS INBOX (MESSAGES)"),
                         ['* STATUS "INBOX" (MESSAGES 0)\r\n'])
        self.assertEqual(conn.answer("APPEND Nowhere {3+}\r\nabc"),
                         "NO [TRYCREATE] No such folder\r\n")


class ConcurrencyTest(ImapCase):
    """Two connections of one folder (a phone and a laptop): each sees the
    other's appends, flag changes and expunges at its next command, or at
    once in IDLE; an expunge never breaks the other's numbering."""

    def setUp(self):
        self.user, self.password = new_user()
        self.a = self.login(self.user, self.password)
        self.b = self.login(self.user, self.password)
        for conn in (self.a, self.b):
            conn.ok("ENABLE IMAP4rev2")

    def append(self, conn, subject):
        conn.ok(b"APPEND INBOX {%d+}\r\n%s" % (len(message(subject)), message(subject)))

    def idle_line(self, conn, seconds=1.5):
        """The next line of an IDLE, which must come within seconds."""
        started = time.monotonic()
        line = conn.line(timeout=seconds)
        self.assertLess(time.monotonic() - started, seconds)
        return line

    def test_changes_reach_the_other_connection(self):
        self.append(self.a, "one")
        self.a.ok("SELECT INBOX")
        self.b.ok("SELECT INBOX")
        self.append(self.a, "two")
        self.assertEqual(self.b.ok("NOOP"), ["* 2 EXISTS\r\n"])
        self.a.ok("STORE 1 +FLAGS.SILENT (\\Answered)")
        self.assertEqual(self.b.ok("NOOP"), ["* 1 FETCH (FLAGS (\\Answered))\r\n"])
        # In IDLE: a change is told within a second.
        self.b.send(b"i1 IDLE\r\n")
        self.assertEqual(self.b.line(), b"+ idling\r\n")
        self.a.ok("STORE 2 +FLAGS.SILENT (\\Flagged)")
        self.assertEqual(self.idle_line(self.b), b"* 2 FETCH (FLAGS (\\Flagged))\r\n")
        self.append(self.a, "three")
        self.assertEqual(self.idle_line(self.b), b"* 3 EXISTS\r\n")
        self.a.ok("STORE 1 +FLAGS.SILENT (\\Deleted)")
        self.assertEqual(self.idle_line(self.b), b"* 1 FETCH (FLAGS (\\Answered \\Deleted))\r\n")
        self.a.ok("EXPUNGE")
        self.assertEqual(self.idle_line(self.b), b"* 1 EXPUNGE\r\n")
        self.b.send(b"DONE\r\n")
        self.assertEqual(self.b.line(), b"i1 OK IDLE terminated\r\n")

    def test_expunged_message_keeps_its_number_until_told(self):
        for n in range(3):
            self.append(self.a, "m%d" % n)
        self.a.ok("SELECT INBOX")
        self.b.ok("SELECT INBOX")
        self.a.ok("STORE 2 +FLAGS.SILENT (\\Deleted)")
        self.a.ok("EXPUNGE")
        # FETCH, STORE and SEARCH never tell an expunge: message 3 is still
        # number 3, and the expunged one still answers from what is kept.
        self.assertEqual(self.b.ok("FETCH 2:3 (UID FLAGS)"),
                         ["* 2 FETCH (UID 2 FLAGS (\\Deleted))\r\n",
                          "* 3 FETCH (UID 3 FLAGS ())\r\n"])
        self.assertEqual(self.b.ok("SEARCH UNDELETED"), ["* SEARCH 1 3\r\n"])
        untagged, done = self.b.run("FETCH 2 (BODY.PEEK[])")
        self.assertEqual((untagged, done.split(" ", 1)[1]),
                         ([], "NO [EXPUNGEISSUED] Some messages were expunged meanwhile\r\n"))
        self.assertEqual(self.b.ok("STORE 3 +FLAGS (\\Seen)"), ["* 3 FETCH (FLAGS (\\Seen))\r\n"])
        self.assertEqual(self.b.ok("NOOP"), ["* 2 EXPUNGE\r\n"])
        self.assertEqual(self.b.ok("FETCH 2 (UID)"), ["* 2 FETCH (UID 3)\r\n"])

    def test_qresync_tells_what_vanished_while_away(self):
        for n in range(4):
            self.append(self.a, "q%d" % n)
        self.b.ok("ENABLE QRESYNC")
        untagged = self.b.ok("SELECT INBOX")
        validity = re.search(r"UIDVALIDITY (\d+)", "".join(untagged)).group(1)
        modseq = re.search(r"HIGHESTMODSEQ (\d+)", "".join(untagged)).group(1)
        self.b.ok("UNSELECT")
        self.a.ok("SELECT INBOX")
        self.a.ok("STORE 1:2 +FLAGS.SILENT (\\Deleted)")
        self.a.ok("STORE 3 +FLAGS.SILENT (\\Seen)")
        self.a.ok("EXPUNGE")
        untagged = self.b.ok("SELECT INBOX (QRESYNC (%s %s 1:4))" % (validity, modseq))
        self.assertIn("* VANISHED (EARLIER) 1:2\r\n", untagged)
        fetched = [l for l in untagged if " FETCH " in l]
        self.assertEqual(len(fetched), 1, untagged)
        self.assertRegex(fetched[0], r"^\* 1 FETCH \(FLAGS \(\\Seen\) UID 3 MODSEQ \(\d+\)\)\r\n$")
        # UID FETCH's VANISHED modifier says the same.
        self.assertEqual(self.b.ok("UID FETCH 1:4 (FLAGS) (CHANGEDSINCE %s VANISHED)" % modseq)[0],
                         "* VANISHED (EARLIER) 1:2\r\n")
        # An expunge by the other connection now comes as VANISHED.
        self.a.ok("STORE 1 +FLAGS.SILENT (\\Deleted)")
        self.a.ok("EXPUNGE")
        # With the expunge's modseq, which only this tells (interimap
        # would report the expunged message as changed at its next run).
        status = self.a.ok("STATUS INBOX (HIGHESTMODSEQ)")[0]
        modseq = re.search(r"HIGHESTMODSEQ (\d+)", status).group(1)
        self.assertEqual(self.b.ok("NOOP"),
                         ["* VANISHED 3\r\n", "* OK [HIGHESTMODSEQ %s] Highest\r\n" % modseq])


# Loaded into zelimap with LD_PRELOAD: inotify_init1() fails, as past the
# kernel's per-user limit of instances.
INOTIFY_FAULT = os.path.join(BUILD_DIR, "lib", "libzelfault_inotify.so")


class UnwatchedFolderTest(ImapCase):
    def test_idle_hears_of_a_new_file_without_a_watch(self):
        """Every virtual user's session runs as one account, and the kernel
        counts inotify instances per account: a session that gets none
        still tells IDLE of a message another process named, by looking."""
        server = ImapServer(prefix="zel-e2e-imapw-")
        server.service.env.update(LD_PRELOAD=INOTIFY_FAULT)
        self.addCleanup(server.stop)
        server.start()
        user, password = new_user(server)
        conn = self.login(user, password, server=server)
        conn.ok("SELECT INBOX")
        conn.send(b"i IDLE\r\n")
        self.assertEqual(conn.line(), b"+ idling\r\n")
        # Named once the session waits in its read, not while it takes its
        # own look as IDLE begins (which would find it without any watch).
        time.sleep(1.5)
        directory = server.mailbox(user)
        owner = os.stat(directory)
        temporary = os.path.join(directory, "arriving.tmp")
        with open(temporary, "wb") as f:
            f.write(message("polled") + b".\r\n")
        os.chown(temporary, owner.st_uid, owner.st_gid)
        os.rename(temporary, os.path.join(directory, "B000000001.MSG"))
        self.assertEqual(conn.line(timeout=10), b"* 1 EXISTS\r\n")
        conn.send(b"DONE\r\n")
        self.assertEqual(conn.until_tagged("i")[1], "i OK IDLE terminated\r\n")


class SessionTimeoutTest(ImapCase):
    def test_idle_connection_is_logged_out_after_the_timeout(self):
        server = ImapServer({"Timeout": 2, "MinimumTimeout": 1})
        self.addCleanup(server.stop)
        server.start()
        conn = self.login(server=server)
        conn.send(b"i IDLE\r\n")
        self.assertEqual(conn.line(), b"+ idling\r\n")
        started = time.monotonic()
        self.assertEqual(conn.line(timeout=10), b"* BYE Autologout; idle for too long\r\n")
        self.assertGreaterEqual(time.monotonic() - started, 1.9)
        self.assertTrue(conn.wait_closed())


class DeliveryTest(ImapCase):
    """INBOX is the mailbox the delivery agent fills and POP3 empties: a
    message delivered through zelrecv and zeldeliv reaches an IDLE session
    within a second of being named, while a POP3 session watches the same
    INBOX; what POP3 deletes vanishes from IMAP (VANISHED (EARLIER) for a
    QRESYNC client that was away)."""

    def test_idle_sees_delivery_and_pop3_deletion(self):
        mail = MailSystem(users=["ida"], passwords={"ida": "Ida-pw-1"}, fetch={}, imap={})
        self.addCleanup(mail.stop_checked, self)
        mail.start()
        idle = imap_login(mail.imap_connect(), "ida", "Ida-pw-1")
        self.addCleanup(idle.close)
        away = imap_login(mail.imap_connect(), "ida", "Ida-pw-1")
        self.addCleanup(away.close)
        away.ok("ENABLE QRESYNC")
        selected = "".join(away.ok("SELECT INBOX"))
        validity = re.search(r"UIDVALIDITY (\d+)", selected).group(1)
        idle.ok("SELECT INBOX")
        idle.send(b"i IDLE\r\n")
        self.assertEqual(idle.line(), b"+ idling\r\n")
        pop = poplib.POP3("127.0.0.1", mail.pop3_port, timeout=10)
        self.addCleanup(pop.close)
        pop.user("ida")
        pop.pass_("Ida-pw-1")
        # Named in the mailbox while POP3 holds its lock: IDLE is told.
        mail.send("s@c.example", ["ida"], "Subject: delivered\r\n\r\nhello\r\n")
        named = []
        watcher = threading.Thread(target=lambda: named.append(
            poll(lambda: mail.messages("ida"), 20, 0.005) and time.monotonic()))
        watcher.start()
        self.assertEqual(idle.line(timeout=20), b"* 1 EXISTS\r\n")
        told = time.monotonic()
        self.assertEqual(idle.line(), b"* 1 RECENT\r\n")   # an IMAP4rev1 session
        watcher.join(20)
        self.assertLess(told - named[0], 1.0)
        # POP3 holds INBOX and counts on what it listed: IMAP removes
        # nothing from it meanwhile (EXPUNGE, MOVE, CLOSE), and says why.
        away.ok("NOOP")
        away.ok("STORE 1 +FLAGS.SILENT (\\Deleted)")
        away.ok("CREATE Kept")
        for command in ("EXPUNGE", "UID EXPUNGE 1", "MOVE 1 Kept"):
            self.assertIn("NO [INUSE]", away.run(command)[1])
        away.ok("CLOSE")
        self.assertEqual(len(mail.messages("ida")), 1)
        away.ok("SELECT INBOX")
        away.ok("STORE 1 -FLAGS.SILENT (\\Deleted)")
        away.ok("UNSELECT")
        modseq = re.search(r"HIGHESTMODSEQ (\d+)", "".join(away.ok("STATUS INBOX (HIGHESTMODSEQ)"))).group(1)
        # POP3 deletes it at QUIT: gone from IMAP as well.
        pop.quit()
        pop = poplib.POP3("127.0.0.1", mail.pop3_port, timeout=10)
        pop.user("ida")
        pop.pass_("Ida-pw-1")
        self.assertEqual(pop.stat()[0], 1)
        pop.dele(1)
        pop.quit()
        # The flags set and cleared above may come first, as one FETCH or two.
        told = [idle.line(timeout=2)]
        while told[-1].startswith(b"* 1 FETCH (FLAGS"):
            told.append(idle.line(timeout=2))
        self.assertEqual(told[-1], b"* 1 EXPUNGE\r\n")
        self.assertTrue(all(line.startswith(b"* 1 FETCH (FLAGS") for line in told[:-1]), told)
        idle.send(b"DONE\r\n")
        self.assertEqual(idle.line(), b"i OK IDLE terminated\r\n")
        untagged = away.ok("SELECT INBOX (QRESYNC (%s %s))" % (validity, modseq))
        self.assertIn("* VANISHED (EARLIER) 1\r\n", untagged)
        self.assertIn("* 0 EXISTS\r\n", untagged)


if __name__ == "__main__":    unittest.main()
