"""zeladm user, driven as an administrator would: add, list, passwd, del and
set-identity against a scratch ZEL_ROOT; the accounts file's mode and
content; a malformed file reported with its line; bad input refused with
nothing written; and the file never left half-written, even when the write
fails or several zeladm processes edit it at once. folders and reindex on a
user's IMAP folders: counts and sizes, indexes made as the mailbox's owner,
a new UIDVALIDITY with the flags kept, a link planted in the mailbox never
followed, unknown users and folders refused. move: the marker that holds a
user's logons and deliveries while the mailbox moves, and its removal.
"""
import os
import resource
import signal
import stat
import unittest
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import crypt  # libcrypt's crypt(3), to check the stored hashes
    except ImportError:  # gone from newer Pythons: the hash checks are skipped
        crypt = None

from zelharness import (IS_ROOT, VIRTUAL_MAIL_ACCOUNT, ZEL_KEY, ZeladmCase,  # noqa: E402
                        give_to_mail_owner, mail_owner, make_reachable, regedit_text,
                        system_account)


class ZeladmUserTest(ZeladmCase):
    prefix = "zel-e2e-user-"
    command = ("user",)

    def setUp(self):
        super().setUp()
        self.dir = os.path.join(self.root, "etc", "zel")
        self.path = os.path.join(self.dir, "accounts")

    def content(self):
        with open(self.path, encoding="utf-8") as f:
            return f.read()

    def accounts(self):
        """The account lines as (kind, domain, name, hash, home) tuples."""
        rows = []
        for line in self.content().splitlines():
            if line and not line.startswith("#") and line.split(":")[0] in ("user", "group", "alias"):
                rows.append(tuple(line.split(":", 4)))
        return rows

    def identity(self):
        lines = self.content().splitlines()
        return {k: v for k, _, v in (l.partition(":") for l in lines)
                if k in ("computer", "domain", "controller")}

    def assertPassword(self, hashed, password):
        self.assertTrue(hashed.startswith("$y$"), hashed)
        if crypt is not None:
            self.assertEqual(crypt.crypt(password, hashed), hashed)
            self.assertNotEqual(crypt.crypt(password + "x", hashed), hashed)

    def assertNoLeftovers(self):
        self.assertEqual(sorted(os.listdir(self.dir)), [".accounts.lock", "accounts"])

    def test_add_list_passwd_del(self):
        out = self.ok("list")
        self.assertIn("source: host accounts", out)
        self.assertIn("domain: WORKGROUP", out)
        r = self.zeladm("add", "demo", "--password-stdin", "--home", "/home/demo", stdin=b"demo\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"created", r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        self.assertTrue(self.content().startswith("# ZEL accounts"))
        host = self.identity()["computer"]
        self.assertEqual(self.identity()["domain"], "WORKGROUP")
        [(kind, domain, name, hashed, home)] = self.accounts()
        self.assertEqual((kind, domain, name, home), ("user", host, "demo", "/home/demo"))
        self.assertPassword(hashed, "demo")

        self.ok("passwd", "demo", "--password-stdin", stdin=b"new pass\n")
        self.assertPassword(self.accounts()[0][3], "new pass")
        self.ok("passwd", f"{host.lower()}\\DEMO", "--password-stdin", stdin=b"crlf\r\n")
        self.assertPassword(self.accounts()[0][3], "crlf")

        self.ok("add", "staff", "--kind", "group")
        self.ok("add", "nopass")
        out = self.ok("list")
        self.assertIn("source: accounts file " + self.path, out)
        self.assertRegex(out, rf"user +{host}\\demo +set +/home/demo")
        self.assertRegex(out, rf"group +{host}\\staff +-")
        self.assertRegex(out, rf"user +{host}\\nopass +none")
        self.fails(["add", "DEMO"], 1, "exists")
        self.fails(["passwd", "staff", "--password-stdin"], 1, "no user account", stdin=b"x\n")

        self.ok("del", "staff")
        self.fails(["del", "staff"], 1, "no account")
        self.assertEqual([a[2] for a in self.accounts()], ["demo", "nopass"])
        self.assertNoLeftovers()

    def test_set_identity_and_domain_accounts(self):
        self.ok("set-identity", "--computer", "MAILHOST", "--domain", "EXAMPLE",
                "--controller", "\\\\DC1")
        self.assertEqual(self.identity(), {"computer": "MAILHOST", "domain": "EXAMPLE",
                                           "controller": "\\\\DC1"})
        self.ok("add", "demo")
        self.ok("add", "example\\alice", "--password-stdin", stdin=b"pw")
        self.fails(["add", "OTHER\\bob"], 2, "neither the computer MAILHOST nor the domain EXAMPLE")
        self.assertEqual([a[:3] for a in self.accounts()],
                         [("user", "MAILHOST", "demo"), ("user", "EXAMPLE", "alice")])
        # Renaming the computer and leaving the domain moves the accounts along.
        self.ok("set-identity", "--computer", "NEWHOST", "--domain", "WORKGROUP")
        self.assertEqual(self.identity(), {"computer": "NEWHOST", "domain": "WORKGROUP"})
        self.assertEqual([a[:3] for a in self.accounts()],
                         [("user", "NEWHOST", "demo"), ("user", "WORKGROUP", "alice")])
        err = self.fails(["add", "WORKGROUP\\carol"], 0, "has no controller")
        self.assertIn("note", err)
        self.assertNoLeftovers()

    def test_bad_input_changes_nothing(self):
        cases = [
            (["add", "a/b"], "contains '/'"),
            (["add", "a:b"], "contains ':'"),
            (["add", ""], "is empty"),
            (["add", "n" * 65], "longer than 64"),
            (["add", "x", "--home", "relative"], "not an absolute path"),
            (["add", "x", "--kind", "bogus"], "--kind must be user, group or alias"),
            (["add", "x", "--kind", "group", "--password-stdin"], "only users have passwords"),
            (["add", "x", "--frob"], "unknown option"),
            (["add", "x", "--computer", "C"], "unknown option"),
            (["passwd", "x"], "wrong number of arguments"),
            (["passwd", "x", "--home", "/h"], "unknown option"),
            (["set-identity", "--computer", "A", "--domain"], "wrong number of arguments"),
            (["set-identity", "--computer", "A", "--controller", "B"], "give --computer and --domain"),
            (["set-identity", "--computer", "A", "--domain", "a"], "must differ"),
            (["set-identity", "--computer", "A B", "--domain", "D"], "contains a blank"),
            (["frobnicate"], "unknown command"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.fails(args, 2, message, stdin=b"")
        for stdin, message in ((b"\n", "1 to 255 characters"), (b"", "1 to 255 characters"),
                               (b"p" * 256 + b"\n", "1 to 255 characters"),
                               (b"p\0w\n", "must not contain a NUL")):
            with self.subTest(stdin=stdin):
                self.fails(["add", "x", "--password-stdin"], 2, message, stdin=stdin)
        self.assertFalse(os.path.exists(self.path))

    def test_password_comes_from_standard_input_only(self):
        # On the command line every user could read it: refused, with the way.
        for args in (["add", "x", "--password", "secret"], ["passwd", "x", "--password", "s"],
                     ["add", "x", "--password"]):
            with self.subTest(args=args):
                err = self.fails(args, 2, "--password is refused", stdin=b"")
                self.assertIn("--password-stdin", err)
        self.assertFalse(os.path.exists(self.path))
        # One line: its "\n" and a "\r" before it go, every other byte stays.
        for n, (stdin, password) in enumerate((
                (b" two words \t\n", " two words \t"), (b"crlf\r\n", "crlf"), (b"cr\r", "cr\r"),
                (b"first\nsecond\n", "first"), (b"p" * 255, "p" * 255))):
            with self.subTest(stdin=stdin):
                self.ok("add", f"x{n}", "--password-stdin", stdin=stdin)
                self.assertPassword(self.accounts()[-1][3], password)

    def test_malformed_file_is_reported_and_kept(self):
        os.makedirs(self.dir)
        text = "computer:A\ndomain:B\nuser:A:bad name::\n"
        with open(self.path, "w") as f:
            f.write(text)
        self.fails(["list"], 1, f"{self.path}:3: account name 'bad name' contains a blank")
        self.fails(["add", "x"], 1, f"{self.path}:3:")
        self.fails(["del", "bad name"], 2, "contains a blank")
        self.assertEqual(self.content(), text)
        with open(self.path, "w") as f:
            f.write("computer:A\ndomain:B\nuser:A:x::\nuser:a:X::\n")
        self.fails(["list"], 1, f"{self.path}:4: account A\\X is already defined on line 3")

    def test_failed_write_leaves_the_old_file(self):
        self.ok("set-identity", "--computer", "MAILHOST", "--domain", "EXAMPLE")
        for i in range(12):
            self.ok("add", f"user{i:02d}", "--home", f"/home/user{i:02d}")
        before = self.content()
        limit = len(before.encode()) - 1  # the next version cannot be written whole

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        r = self.zeladm("add", "one-more", preexec=small_files)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(b"cannot write", r.stderr)
        self.assertEqual(self.content(), before)
        self.assertNoLeftovers()

    def test_concurrent_edits_lose_nothing(self):
        self.ok("set-identity", "--computer", "MAILHOST", "--domain", "EXAMPLE")
        self.all_at_once([["add", f"u{i}", "--password-stdin"] for i in range(6)],
                         [f"p{i}\n".encode() for i in range(6)])
        self.assertEqual(sorted(a[2] for a in self.accounts()), [f"u{i}" for i in range(6)])
        for _, _, name, hashed, _ in self.accounts():
            self.assertPassword(hashed, "p" + name[1:])
        self.assertNoLeftovers()


class ZeladmFoldersTest(ZeladmCase):
    prefix = "zel-e2e-folders-"
    command = ("user",)

    def setUp(self):
        super().setUp()
        make_reachable(self.root)
        if IS_ROOT:
            system_account(VIRTUAL_MAIL_ACCOUNT)
            self.command = ()   # this once: a registry command
            self.ok("reg", "import", "-", stdin=regedit_text(
                {ZEL_KEY: {"VirtualMailAccount": VIRTUAL_MAIL_ACCOUNT}}).encode())
            self.command = ("user",)
        self.ok("add", "Carol", "--password-stdin", stdin=b"secret\n")
        mailboxes = os.path.join(self.root, "var", "mailbox")
        os.makedirs(mailboxes, mode=0o711)
        self.box = os.path.join(mailboxes, "carol")
        self.file("B0000000001.MSG", b"Subject: one\r\n\r\n..dot\r\n.\r\n")
        self.file("B0000000002.MSG", b"Subject: two\r\n\r\nbody\r\n.\r\n")
        self.file("+Archive/B0000000003.MSG", b"Subject: three\r\n\r\nx\r\n.\r\n")
        self.outside = os.path.join(self.root, "outside")
        os.makedirs(self.outside)
        os.symlink(self.outside, os.path.join(self.box, "+Planted"))

    def file(self, name, data):
        path = os.path.join(self.box, name)
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        give_to_mail_owner(self.box, os.path.dirname(path), path)

    def folders(self):
        lines = self.ok("folders", "carol").splitlines()
        self.assertEqual(lines[0].split(), ["FOLDER", "MESSAGES", "BYTES"])
        return {line.split()[0]: line.split()[1:] for line in lines[1:]}

    def validity(self, out, folder):
        [line] = [l for l in out.splitlines() if l.startswith(folder + ":")]
        return int(line.rsplit(" ", 1)[1])

    def test_folders_and_reindex(self):
        self.assertEqual(self.folders(), {"INBOX": ["2", str(len("Subject: one\r\n\r\n.dot\r\n")
                                                            + len("Subject: two\r\n\r\nbody\r\n"))],
                                          "Archive": ["1", str(len("Subject: three\r\n\r\nx\r\n"))]})
        for index in (os.path.join(self.box, ".index"), os.path.join(self.box, "+Archive", ".index")):
            st = os.stat(index)
            self.assertEqual((st.st_uid, st.st_gid), mail_owner())
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600)
        self.assertEqual(os.listdir(self.outside), [])

        first = self.ok("reindex", "carol")
        self.assertIn("INBOX: 2 messages, UIDVALIDITY", first)
        self.assertIn("Archive: 1 messages, UIDVALIDITY", first)
        again = self.ok("reindex", "CAROL", "Archive")
        self.assertNotIn("INBOX", again)
        self.assertGreater(self.validity(again, "Archive"), self.validity(first, "Archive"))
        self.assertEqual(self.folders()["Archive"][0], "1")

    def test_unknown_user_and_folder(self):
        self.fails(["folders", "nobody-here"], 1, "nobody-here is no mail user")
        self.fails(["reindex", "carol", "Nothing"], 1, "no folder Nothing")
        self.fails(["reindex", "carol", "Planted"], 1, "Planted")
        self.fails(["reindex", "carol", "a//b"], 1, "a//b")
        self.fails(["folders"], 2, "Usage")
        self.assertEqual(os.listdir(self.outside), [])

    def test_move_holds_until_finished(self):
        marker = os.path.join(self.root, "var", "lib", "zel", "moving", "carol")
        self.fails(["move", "carol", "--to", "bad/host"], 2, "not a host name")
        self.fails(["move", "nobody-here", "--to", "mh2.example.test"], 1, "no mail user")
        self.fails(["move", "carol", "--from", "mh2.example.test"], 2, "move USER --to HOST")
        self.assertFalse(os.path.exists(os.path.dirname(marker)))
        # A copy that fails leaves the user held.
        failed = self.zeladm("move", "carol", "--to", "mh2.example.test", "--rsync", "false")
        self.assertEqual(failed.returncode, 1)
        self.assertIn(b"the copy (rsync) failed", failed.stderr)
        with open(marker, encoding="utf-8") as f:
            self.assertEqual(f.read(), "mh2.example.test\n")
        # Copied into a directory; without a bind the directory change is
        # printed and the user stays held.
        target = os.path.join(self.root, "other-host")
        os.makedirs(target)
        out = self.ok("move", "Carol", "--to", "mh2.example.test", "--to-dir", target)
        copy = os.path.join(target, os.path.basename(self.box))
        self.assertEqual(sorted(os.listdir(copy)), sorted(os.listdir(self.box)))
        self.assertIn("mailHost: mh2.example.test", out)
        self.assertTrue(os.path.exists(marker))
        self.fails(["move", "carol", "--to", "mh2.example.test", "--to-dir", target], 1,
                   "exists already")
        # The accounts file still names this host: finishing calls it off.
        self.assertIn("called off", self.ok("move", "carol", "--finish"))
        self.assertFalse(os.path.exists(marker))
        self.assertTrue(os.path.isdir(self.box))
        self.ok("move", "carol", "--finish")   # nothing to finish: still fine


if __name__ == "__main__":
    unittest.main()
