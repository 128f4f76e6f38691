"""The IMAP server against the clients people use (Debian packages, test
peers): mbsync, offlineimap3, interimap, imapfilter, imap-tools, curl,
fetchmail in IDLE and Cyrus imtest, each driven over loopback against one
zelimap beside zelrecv and zeldeliv.

Every client keeps its configuration and state in the test's scratch
directory (HOME points there too). Plain IMAP is fine on loopback (this
host may log on in clear); where a client speaks TLS it trusts the test's
self-signed certificate, or pins its key, as its comment says. Each test
has an account of its own, seeded with a few messages in three folders
through imaplib, and checks the result from the server's side.
neomutt is not among them: without a terminal it only sends mail.
"""

import email
import imaplib
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from zelharness import LOCAL_HOST, WAIT_SECONDS, MailSystem, free_port, poll, read_bytes

# Every client run ends within this many seconds.
CLIENT_SECONDS = WAIT_SECONDS * 3
# The folders every account is seeded with, two messages each.
FOLDERS = ("INBOX", "Work", "Lists/zel")
IMTEST = "/usr/lib/cyrus/bin/imtest"

MAIL = None
CERT = None
TLS_PORT = None
USERS = ("mbs", "oli", "iml", "imr", "flt", "tls", "crl", "ftc", "sas")


def password(user):
    return "pw-%s-Secret" % user


def setUpModule():
    global MAIL, CERT, TLS_PORT
    TLS_PORT = free_port()
    MAIL = MailSystem(users=USERS, passwords={u: password(u) for u in USERS},
                      imap={"TlsPortNo": TLS_PORT}, prefix="zel-e2e-clients-")
    try:
        CERT, _ = MAIL.scratch.self_signed()
    except BaseException:
        MAIL.stop()
        raise
    MAIL.start()


def tearDownModule():
    if MAIL is not None:
        MAIL.stop()


def need(tool, package):
    """The path of a client; the test is skipped where it is not installed
    (./zel test installs every one)."""
    path = tool if os.path.isabs(tool) and os.access(tool, os.X_OK) else shutil.which(tool)
    if not path:
        raise unittest.SkipTest("%s is not installed (package %s)" % (tool, package))
    return path


def message(subject, sender="Ann <ann@example.org>", body="Hello.\r\n"):
    return ("From: %s\r\nTo: bob@example.test\r\nSubject: %s\r\nMessage-ID: <%s@example.org>\r\n"
            "Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n\r\n%s"
            % (sender, subject, re.sub(r"\W", ".", subject), body)).encode()


def session(user, folder=None):
    m = imaplib.IMAP4("127.0.0.1", MAIL.imap_port, timeout=WAIT_SECONDS)
    m.login(user, password(user))
    if folder:
        m.select('"%s"' % folder)
    return m


def seed(user):
    """Two messages in each of FOLDERS ("INBOX 1", "Work 2" ...)."""
    m = session(user)
    for folder in FOLDERS:
        if folder != "INBOX":
            m.create(folder)
        for n in (1, 2):
            m.append(folder, None, None, message("%s %d" % (folder, n)))
    m.logout()


def server_state(user):
    """{folder: (HIGHESTMODSEQ, UIDNEXT, [(uid, subject, flags)])} of every
    selectable folder, read without changing anything."""
    m = session(user)
    state = {}
    for line in m.list()[1]:
        name = line.decode().rsplit(' "/" ', 1)[1].strip('"')
        status = m.status('"%s"' % name, "(HIGHESTMODSEQ UIDNEXT)")[1][0].decode()
        numbers = tuple(int(n) for n in re.findall(r" (\d+)", status.split("(", 1)[1]))
        m.select('"%s"' % name, readonly=True)
        rows = []
        for item in m.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])")[1]:
            if isinstance(item, tuple):
                uid = int(re.search(rb"UID (\d+)", item[0]).group(1))
                flags = sorted(f for f in re.search(rb"FLAGS \(([^)]*)\)", item[0]).group(1)
                               .decode().split() if f != "\\Recent")
                rows.append((uid, email.message_from_bytes(item[1])["Subject"], flags))
        state[name] = numbers + (rows,)
    m.logout()
    return state


def subjects(state, folder):
    return sorted(subject for _, subject, _ in state[folder][2])


def flags_of(state, folder, subject):
    return [flags for _, s, flags in state[folder][2] if s == subject][0]


def maildir(root, folder):
    """{subject: maildir info ("2,S")} of the messages in a Maildir folder."""
    found = {}
    for sub in ("new", "cur"):
        directory = os.path.join(root, folder, sub)
        for name in os.listdir(directory) if os.path.isdir(directory) else []:
            subject = email.message_from_bytes(read_bytes(os.path.join(directory, name)))["Subject"]
            found[subject] = name.rsplit(":", 1)[1] if ":" in name else ""
    return found


def maildir_file(root, folder, subject):
    for sub in ("new", "cur"):
        for name in os.listdir(os.path.join(root, folder, sub)):
            path = os.path.join(root, folder, sub, name)
            if email.message_from_bytes(read_bytes(path))["Subject"] == subject:
                return path
    raise AssertionError("%s: no %r" % (folder, subject))


def put_maildir(root, folder, subject):
    """A message written into a Maildir folder's new/ as a mail program does."""
    path = os.path.join(root, folder, "new", "%d.zeltest.%s" % (time.time_ns(), subject[-1]))
    with open(path, "wb") as f:
        f.write(message(subject))


class ClientCase(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="zel-e2e-client-")
        self.addCleanup(shutil.rmtree, self.home, True)

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        os.chmod(self.path(name), 0o600)
        return self.path(name)

    def run_client(self, args, input=None, ok=True, env=None):
        """One bounded run with HOME in the scratch directory; its output
        (standard output and error together, line ends as "\n")."""
        result = subprocess.run(args, input=input, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=CLIENT_SECONDS,
                                env=dict(os.environ, HOME=self.home, **(env or {})))
        if ok:
            self.assertEqual(result.returncode, 0, "%s: %s" % (args[0], result.stdout))
        return result.stdout


class SyncTest(ClientCase):
    """The synchronisers: every folder both ways, flags, moves, expunges."""

    def test_mbsync_both_ways_and_a_second_run_changes_nothing(self):
        mbsync = need("mbsync", "isync")
        seed("mbs")
        local = self.path("mail")
        os.mkdir(local)   # mbsync makes folders, not the store
        rc = self.write("mbsyncrc", (
            "IMAPAccount zel\nHost 127.0.0.1\nPort %d\nUser mbs\nPass %s\nSSLType None\n\n"
            "IMAPStore remote\nAccount zel\n\n"
            "MaildirStore local\nPath %s/\nInbox %s/INBOX\nSubFolders Verbatim\n\n"
            "Channel zel\nFar :remote:\nNear :local:\nPatterns *\nCreate Both\nExpunge Both\n"
            "SyncState *\n") % (MAIL.imap_port, password("mbs"), local, local))
        sync = [mbsync, "-q", "-c", rc, "zel"]
        self.run_client(sync)
        for folder in FOLDERS:
            self.assertEqual(sorted(maildir(local, folder)), ["%s %d" % (folder, n) for n in (1, 2)])
        # Each side flags one message and moves or adds one.
        m = session("mbs", "INBOX")
        m.uid("STORE", "1", "+FLAGS", "(\\Flagged)")
        m.select("Work")
        m.uid("MOVE", "2", "INBOX")
        m.logout()
        seen = maildir_file(local, "INBOX", "INBOX 2")
        os.rename(seen, os.path.join(local, "INBOX", "cur", os.path.basename(seen) + "S"))
        put_maildir(local, "Lists/zel", "from the laptop")
        self.run_client(sync)
        state = server_state("mbs")
        self.assertEqual(subjects(state, "INBOX"), ["INBOX 1", "INBOX 2", "Work 2"])
        self.assertEqual(flags_of(state, "INBOX", "INBOX 2"), ["\\Seen"])
        self.assertEqual(subjects(state, "Work"), ["Work 1"])
        self.assertIn("from the laptop", subjects(state, "Lists/zel"))
        self.assertEqual(maildir(local, "INBOX"), {"INBOX 1": "2,F", "INBOX 2": "2,S", "Work 2": "2,"})
        self.assertEqual(sorted(maildir(local, "Work")), ["Work 1"])
        # Nothing left to do: neither side changes.
        files = sorted(os.path.relpath(os.path.join(d, n), local)
                       for d, _, names in os.walk(local) for n in names)
        self.run_client(sync)
        self.assertEqual(server_state("mbs"), state)
        self.assertEqual(sorted(os.path.relpath(os.path.join(d, n), local)
                                for d, _, names in os.walk(local) for n in names), files)

    def test_offlineimap_into_maildir_and_back(self):
        offlineimap = need("offlineimap", "offlineimap3")
        seed("oli")
        local = self.path("mail")
        rc = self.write("offlineimaprc", (
            "[general]\naccounts = zel\nmetadata = %s\nui = basic\n\n"
            "[Account zel]\nlocalrepository = local\nremoterepository = remote\n\n"
            "[Repository local]\ntype = Maildir\nlocalfolders = %s\nsep = /\n\n"
            "[Repository remote]\ntype = IMAP\nremotehost = 127.0.0.1\nremoteport = %d\n"
            "remoteuser = oli\nremotepass = %s\nssl = no\nstarttls = no\n")
            % (self.path("meta"), local, MAIL.imap_port, password("oli")))
        sync = [offlineimap, "-c", rc, "-o", "-1"]
        self.run_client(sync)
        for folder in FOLDERS:
            self.assertEqual(sorted(maildir(local, folder)), ["%s %d" % (folder, n) for n in (1, 2)])
        # Read one, delete one, write one: all three reach the server.
        seen = maildir_file(local, "INBOX", "INBOX 1")
        os.rename(seen, os.path.join(local, "INBOX", "cur", os.path.basename(seen) + "S"))
        os.unlink(maildir_file(local, "Work", "Work 1"))
        put_maildir(local, "Lists/zel", "written offline")
        self.run_client(sync)
        state = server_state("oli")
        self.assertEqual(flags_of(state, "INBOX", "INBOX 1"), ["\\Seen"])
        self.assertEqual(subjects(state, "Work"), ["Work 2"])
        self.assertEqual(subjects(state, "Lists/zel"), ["Lists/zel 1", "Lists/zel 2",
                                                        "written offline"])

    def test_interimap_both_ways_with_an_expunge(self):
        interimap = need("interimap", "interimap")
        seed("imr")
        # (The parent is there on both sides: interimap would otherwise
        # create it after its child, in no fixed order, and be told it exists.)
        m = session("iml")
        m.create("Lists")
        m.logout()
        # The remote side over TLS with its key pinned (interimap checks
        # either a chain and the host name, or the pin; the test's
        # certificate names no IP address, so the pin alone).
        spki = subprocess.run(
            "openssl x509 -in %s -pubkey -noout | openssl pkey -pubin -outform DER"
            " | openssl dgst -sha256 -r" % CERT, shell=True, capture_output=True, text=True,
            timeout=WAIT_SECONDS, check=True).stdout.split()[0]
        config = self.write("interimap.conf", (
            "database = %s\n\n"
            "[local]\ntype = imap\nhost = 127.0.0.1\nport = %d\nSTARTTLS = NO\n"
            "username = iml\npassword = %s\n\n"
            "[remote]\ntype = imaps\nhost = 127.0.0.1\nport = %d\nusername = imr\npassword = %s\n"
            "SSL_verify = NO\nSSL_fingerprint = sha256$%s\n")
            % (self.path("interimap.db"), MAIL.imap_port, password("iml"), TLS_PORT,
               password("imr"), spki))
        sync = [interimap, "--config=" + config]
        env = {"XDG_DATA_HOME": self.home}
        out = self.run_client(sync, env=env)
        self.assertEqual(server_state("iml").keys(), server_state("imr").keys())
        self.assertEqual(subjects(server_state("iml"), "Work"), ["Work 1", "Work 2"])
        # The server side expunges one and answers another; the other side
        # flags one and appends one.
        m = session("imr", "INBOX")
        m.uid("STORE", "1", "+FLAGS", "(\\Deleted)")
        m.expunge()
        m.select("Work")
        m.uid("STORE", "2", "+FLAGS", "(\\Answered)")
        m.logout()
        m = session("iml", "Lists/zel")
        m.uid("STORE", "1", "+FLAGS", "(\\Flagged)")
        m.append("Work", "(\\Seen)", None, message("appended on the other side"))
        m.logout()
        out += self.run_client(sync, env=env)
        # Without a word of doubt: a warning means a side's changes were
        # reported wrongly (its own appends as changed, say).
        self.assertNotIn("WARNING", out)
        local, remote = server_state("iml"), server_state("imr")
        for state in (local, remote):
            self.assertEqual(subjects(state, "INBOX"), ["INBOX 2"])
            self.assertEqual(flags_of(state, "Work", "Work 2"), ["\\Answered"])
            self.assertEqual(flags_of(state, "Work", "appended on the other side"), ["\\Seen"])
            self.assertEqual(flags_of(state, "Lists/zel", "Lists/zel 1"), ["\\Flagged"])
        # A third run finds nothing to do.
        self.assertNotIn("WARNING", self.run_client(sync, env=env))
        self.assertEqual((server_state("iml"), server_state("imr")), (local, remote))


class ToolTest(ClientCase):
    """Filters, libraries and one-shot tools."""

    def test_imapfilter_moves_a_senders_mail(self):
        imapfilter = need("imapfilter", "imapfilter")
        seed("flt")
        m = session("flt")
        for n in (1, 2, 3):
            m.append("INBOX", None, None, message("boss %d" % n, "Boss <boss@corp.example>"))
        m.logout()
        # imapfilter takes STARTTLS when offered: it trusts the test's
        # certificate (-t) and, the certificate naming no IP address, does
        # not check the host name.
        config = self.write("config.lua", (
            "options.timeout = %d\noptions.create = true\noptions.hostnames = false\n"
            "zel = IMAP { server = '127.0.0.1', port = %d, username = 'flt', password = '%s' }\n"
            "zel.INBOX:contain_from('boss@corp.example'):move_messages(zel['Boss'])\n"
            "zel.Work:contain_subject('Work 2'):mark_flagged()\n")
            % (WAIT_SECONDS, MAIL.imap_port, password("flt")))
        self.run_client([imapfilter, "-c", config, "-t", CERT])
        state = server_state("flt")
        self.assertEqual(subjects(state, "Boss"), ["boss 1", "boss 2", "boss 3"])
        self.assertEqual(subjects(state, "INBOX"), ["INBOX 1", "INBOX 2"])
        self.assertEqual(flags_of(state, "Work", "Work 2"), ["\\Flagged"])

    def test_imap_tools_high_level_api(self):
        try:
            from imap_tools import AND, MailBoxUnencrypted, MailMessageFlags
        except ImportError:
            raise unittest.SkipTest("imap_tools is not installed (package python3-imap-tools)")
        seed("tls")
        with MailBoxUnencrypted("127.0.0.1", MAIL.imap_port, timeout=WAIT_SECONDS).login(
                "tls", password("tls"), "INBOX") as box:
            fetched = list(box.fetch(AND(from_="ann@example.org"), mark_seen=False))
            self.assertEqual([(m.subject, m.from_, m.text) for m in fetched],
                             [("INBOX %d" % n, "ann@example.org", "Hello.\r\n") for n in (1, 2)])
            box.flag([fetched[0].uid], MailMessageFlags.FLAGGED, True)
            box.move([fetched[1].uid], "Work")
            box.append(message("appended by imap-tools"), "Lists/zel",
                       flag_set=[MailMessageFlags.SEEN])
            self.assertIn("Lists/zel", [f.name for f in box.folder.list()])
            self.assertEqual(box.folder.status("Work")["MESSAGES"], 3)
            box.folder.set("Lists/zel")
            self.assertEqual([m.subject for m in box.fetch(AND(seen=True))],
                             ["appended by imap-tools"])
        state = server_state("tls")
        self.assertEqual(state["INBOX"][2][0][1:], ("INBOX 1", ["\\Flagged"]))
        self.assertEqual(subjects(state, "INBOX"), ["INBOX 1"])
        self.assertEqual(subjects(state, "Work"), ["INBOX 2", "Work 1", "Work 2"])

    def test_curl_list_fetch_and_search(self):
        curl = need("curl", "curl")
        seed("crl")
        base = ["--silent", "--show-error", "--max-time", str(WAIT_SECONDS),
                "--user", "crl:%s" % password("crl")]
        plain = "imap://127.0.0.1:%d/" % MAIL.imap_port
        listing = self.run_client([curl, *base, plain])
        self.assertIn('* LIST (\\HasChildren) "/" "Lists"\n', listing)
        self.assertIn('* LIST (\\HasNoChildren \\Sent) "/" "Sent"\n', listing)
        # Over TLS the certificate is checked against the test's own, with
        # its name resolved by curl itself (no name server is asked).
        tls = ["--cacert", CERT, "--resolve", "%s:%d:127.0.0.1" % (LOCAL_HOST, TLS_PORT)]
        text = self.run_client([curl, *base, *tls, "imaps://%s:%d/Work;UID=2"
                                % (LOCAL_HOST, TLS_PORT)])
        self.assertEqual(text.encode(), message("Work 2").replace(b"\r\n", b"\n"))
        self.assertEqual(self.run_client([curl, *base, plain + "INBOX?SUBJECT%20%22INBOX%202%22"]),
                         "* SEARCH 2\n")
        # Its fetch (not a peek) has set \Seen.
        self.assertEqual(self.run_client([curl, *base, plain + "Work", "--request",
                                          "UID SEARCH UNSEEN"]), "* SEARCH 1\n")

    def test_fetchmail_idle_fetches_a_delivery(self):
        fetchmail = need("fetchmail", "fetchmail")
        out = self.path("out")
        os.mkdir(out)
        # STARTTLS with the certificate checked against the test's own, by
        # the name it carries.
        rc = self.write("fetchmailrc", (
            'poll 127.0.0.1 port %d protocol IMAP timeout %d user "ftc" password "%s" is "ftc" '
            'here sslcertck sslcertfile "%s" sslcommonname "%s"\n')
            % (MAIL.imap_port, WAIT_SECONDS, password("ftc"), CERT, LOCAL_HOST))
        log = open(self.path("log"), "w+")
        self.addCleanup(log.close)
        proc = subprocess.Popen(
            [fetchmail, "-f", rc, "-v", "--nosyslog", "--idle", "--keep", "--idfile",
             self.path("ids"), "--pidfile", self.path("pid"), "--invisible", "--norewrite",
             "--mda", "cat > %s/msg.$$" % out],
            stdout=log, stderr=subprocess.STDOUT, env=dict(os.environ, HOME=self.home,
                                                           FETCHMAILHOME=self.home))

        def stop():
            proc.terminate()
            try:
                proc.wait(WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.addCleanup(stop)
        idling = lambda: "IMAP< + idling" in read_bytes(self.path("log")).decode("latin-1")
        self.assertTrue(poll(idling), read_bytes(self.path("log")))
        MAIL.send("carol@example.org", ["ftc"], "Subject: while idling\r\n\r\nhello\r\n.dot\r\n")
        self.assertTrue(poll(lambda: os.listdir(out)), read_bytes(self.path("log")))
        stored = MAIL.read_message("ftc", MAIL.messages("ftc")[0])
        want = stored[:-3].replace(b"\r\n..", b"\r\n.").replace(b"\r\n", b"\n")
        self.assertTrue(poll(lambda: read_bytes(os.path.join(out, os.listdir(out)[0])) == want),
                        read_bytes(os.path.join(out, os.listdir(out)[0])))

    def test_imtest_authenticate_plain(self):
        imtest = need(IMTEST, "cyrus-clients")
        base = [imtest, "-p", str(MAIL.imap_port), "-m", "PLAIN", "-a", "sas", "-u", "sas"]
        script = "a1 SELECT INBOX\r\n"
        # With SASL-IR after STARTTLS (imtest reports the self-signed
        # certificate and goes on), then without it in clear.
        ir = self.run_client(base + ["-t", "", "-w", password("sas"), "127.0.0.1"], input=script)
        self.assertIn("S: S01 OK Begin TLS negotiation now", ir)
        self.assertRegex(ir, r"C: A01 AUTHENTICATE PLAIN \S+\n")
        self.assertIn("Authenticated.", ir)
        self.assertIn("a1 OK [READ-WRITE] SELECT completed", ir)
        plain = self.run_client(base + ["-i", "-w", password("sas"), "127.0.0.1"], input=script)
        self.assertIn("C: A01 AUTHENTICATE PLAIN\nS: + \nC: ", plain)
        self.assertIn("Authenticated.", plain)
        self.assertIn("a1 OK [READ-WRITE] SELECT completed", plain)
        wrong = self.run_client(base + ["-w", "not-" + password("sas"), "127.0.0.1"],
                                input=script, ok=False)
        self.assertIn("S: A01 NO [AUTHENTICATIONFAILED] Authentication failed", wrong)
        self.assertNotIn("Authenticated.", wrong)
        self.assertIn("a1 BAD Command unknown or not valid before logon", wrong)


if __name__ == "__main__":
    unittest.main()
