"""zeladm list, driven as an administrator would against a scratch ZEL_ROOT:
create, set, show, add-member, del-member and delete; the registry layout and
version counters they leave; and bad input refused with a clear message, a
non-zero status and nothing written.
"""
import unittest

from zelharness import ZeladmCase

LISTS = "HKLM\\Software\\TALVO\\ZEL\\Lists"
EXPORTED = "HKEY_LOCAL_MACHINE\\Software\\TALVO\\ZEL\\Lists"


class ZeladmListTest(ZeladmCase):
    prefix = "zel-e2e-list-"

    def lists(self):
        """The whole Lists key as exported ("" when it does not exist)."""
        r = self.zeladm("reg", "export", LISTS)
        return r.stdout.decode(errors="replace") if r.returncode == 0 else ""

    def counter(self, sub=""):
        key = LISTS + ("\\" + sub if sub else "")
        return int(self.ok("reg", "get", key, "ConfigVersion"))

    def test_life_of_a_list(self):
        self.assertEqual(self.ok("list", "show"), "no mailing lists\n")
        self.ok("list", "create", "Team", "--moderator", "boss@example.org", "--moderate-join",
                "--who-can-send", "moderator", "--bounce-action", "address",
                "--bounces-to", "bounces@example.org", "--reply-to-list",
                "--domain", "lists.example.org")
        exported = self.lists()
        for line in (f"[{EXPORTED}\\Team]", '"Moderator"="boss@example.org"',
                     '"ModeratorControlJoin"=dword:00000001',
                     '"ModeratorControlLeave"=dword:00000000',
                     '"WhoCanSend"=dword:00000003', '"BounceAction"=dword:00000002',
                     '"BouncesTo"="bounces@example.org"', '"ReplyToList"=dword:00000001',
                     '"Domain"="lists.example.org"', '"ConfirmRequests"=dword:00000001',
                     f"[{EXPORTED}\\Team\\Members]"):
            self.assertIn(line, exported)
        self.assertEqual((self.counter(), self.counter("Team")), (1, 1))

        # Members: the domain as the list server stores it, in lower case.
        self.ok("list", "add-member", "team", "Ann@Example.ORG")
        self.ok("list", "add-member", "TEAM", "bob")
        self.assertIn(f"[{EXPORTED}\\Team\\Members\\Ann@example.org]", self.lists())
        self.assertEqual((self.counter(), self.counter("Team")), (3, 3))
        out = self.ok("list", "add-member", "team", "ann@EXAMPLE.org")
        self.assertIn("already a member", out)
        self.assertEqual(self.counter("Team"), 3, "nothing changed, nothing bumped")

        shown = self.ok("list", "show", "team")
        for line in ("list Team\n", "  moderator:       boss@example.org\n",
                     "  moderate join:   yes\n", "  moderate leave:  no\n",
                     "  who can send:    moderator (3)\n", "  bounce action:   address (2)\n",
                     "  bounces to:      bounces@example.org\n", "  reply to list:   yes\n",
                     "  domain:          lists.example.org\n", "  confirm:         yes\n",
                     "  config version:  3\n",
                     "  members:         2\n    Ann@example.org\n    bob\n"):
            self.assertIn(line, shown)

        # set changes only what it names; flags go off with --no-...
        self.ok("list", "set", "team", "--who-can-send", "members", "--no-moderate-join",
                "--no-moderator", "--no-reply-to-list", "--no-domain", "--moderate-leave",
                "--moderator", "chief@example.org", "--no-confirm")
        shown = self.ok("list", "show", "team")
        for line in ("moderator:       chief@example.org", "moderate join:   no",
                     "moderate leave:  yes", "who can send:    members (1)",
                     "reply to list:   no", "domain:          (the local host name)",
                     "confirm:         no",
                     "bounces to:      bounces@example.org"):
            self.assertIn(line, shown)
        self.assertNotIn('"Domain"', self.lists())
        self.assertEqual(self.counter("Team"), 4)

        self.ok("list", "del-member", "team", "ANN@example.org")
        self.fails(["list", "del-member", "team", "ann@example.org"], 1,
                   "ann@example.org is not a member of team")
        self.assertEqual(self.counter("Team"), 5)

        self.ok("list", "create", "other", "--no-confirm")
        self.assertIn('"ConfirmRequests"=dword:00000000', self.lists())
        everything = self.ok("list", "show")
        self.assertIn("list other\n", everything)
        self.assertIn("list Team\n", everything)
        self.ok("list", "delete", "team")
        self.assertNotIn("Team", self.lists())
        self.assertEqual(self.counter(), 7)
        self.assertNotIn("list Team", self.ok("list", "show"))

    def test_show_reads_values_written_by_hand(self):
        key = LISTS + "\\hand"
        self.ok("reg", "set", key, "WhoCanSend", "dword", "0")
        self.ok("reg", "set", key, "ModeratorControlJoin", "dword", "1")
        self.ok("reg", "set", key, "BounceAction", "dword", "9")
        self.ok("reg", "set", key, "Moderator", "sz", "m" * 513)
        shown = self.ok("list", "show", "hand")
        for line in ("moderator:       (none) (the stored value is too long and is ignored)",
                     "moderate join:   yes (no effect without a moderator)",
                     "who can send:    members (0)", "bounce action:   none (9)",
                     # Without a ConfirmRequests value joins by mail are confirmed.
                     "confirm:         yes", "config version:  (none)", "members:         0"):
            self.assertIn(line, shown)
        # Not made by create, so without Members: adding a member makes it.
        self.ok("list", "add-member", "hand", "x@y.org")
        self.assertIn("    x@y.org\n", self.ok("list", "show", "hand"))

    def test_bad_input_changes_nothing(self):
        self.ok("list", "create", "team", "--moderator", "m@x.org")
        self.ok("list", "add-member", "team", "a@x.org")
        before = self.lists()
        long_name = "l" * 129
        cases = [
            (["list"], 2, "Usage"),
            (["list", "frob"], 2, "unknown command \"zeladm list frob\""),
            (["list", "create"], 2, "wrong number of arguments"),
            (["list", "set", "team"], 2, "wrong number of arguments"),
            (["list", "create", "team"], 1, "list team exists"),
            (["list", "create", "TEAM"], 1, "list team exists"),
            (["list", "create", "a/b"], 2, "may hold only letters"),
            (["list", "create", ".."], 2, "may hold only letters"),
            (["list", "create", "a..b"], 2, "may hold only letters"),
            (["list", "create", "my list"], 2, "may hold only letters"),
            (["list", "create", "x\\y"], 2, "may hold only letters"),
            (["list", "create", long_name], 2, "1 to 128 characters"),
            (["list", "create", "x-Request"], 2, "must not end with \"-request\""),
            (["list", "create", "new", "--who-can-send", "moderator"], 2, "needs a moderator"),
            (["list", "create", "new", "--moderate-leave"], 2, "need a moderator"),
            (["list", "create", "new", "--bounce-action", "address"], 2, "needs --bounces-to"),
            (["list", "create", "new", "--who-can-send", "all"], 2,
             "--who-can-send must be members, anyone or moderator"),
            (["list", "create", "new", "--bounce-action"], 2, "--bounce-action needs a value"),
            (["list", "create", "new", "--colour", "red"], 2, "unknown option \"--colour\""),
            (["list", "create", "new", "--moderator", "a b@x.org"], 2, "blanks"),
            (["list", "create", "new", "--moderator", "m@x..org"], 2, "not a valid email"),
            (["list", "create", "new", "--moderator", "@x.org"], 2, "not a valid email"),
            (["list", "create", "new", "--moderator", "m" * 513], 2, "1 to 512 characters"),
            (["list", "create", "new", "--domain", "bad_domain"], 2, "not a valid domain"),
            (["list", "create", "new", "--domain", "d" * 257], 2, "not a valid domain"),
            (["list", "set", "team", "--who-can-send", "moderator", "--no-moderator"], 2,
             "needs a moderator"),
            (["list", "set", "nolist", "--reply-to-list"], 1, "no mailing list called nolist"),
            (["list", "set", "a\\b", "--reply-to-list"], 2, "cannot be a list name"),
            (["list", "show", "nolist"], 1, "no mailing list called nolist"),
            (["list", "add-member", "nolist", "a@x.org"], 1, "no mailing list called nolist"),
            (["list", "add-member", "team", "a\\b@x.org"], 2, "not a valid email"),
            (["list", "add-member", "team", '"a\\b"@x.org'], 2, "cannot be stored"),
            (["list", "add-member", "team", '"a b"@x.org'], 2, "blanks"),
            (["list", "add-member", "team", "x" * 250 + "@x.org"], 2, "cannot be stored"),
            (["list", "add-member", "team", "x" * 255 + "@x.org"], 2, "1 to 260 characters"),
            (["list", "add-member", "team", "team-request@x.org"], 2, "-request"),
            (["list", "add-member", "team", "a@x.org,b@x.org"], 2, "not a valid email"),
            (["list", "add-member", "team", "a@x.org\n"], 2, "blanks or control"),
            (["list", "add-member", "team", ""], 2, "1 to 260 characters"),
            (["list", "del-member", "team", "a@x.org\\"], 2, "cannot be a member address"),
            (["list", "del-member", "nolist", "a@x.org"], 1, "no mailing list called nolist"),
            (["list", "delete", "nolist"], 1, "no mailing list called nolist"),
            (["list", "delete", "team\\Members"], 2, "cannot be a list name"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.fails(args, status, message)
        self.assertEqual(self.lists(), before)

    def test_help(self):
        self.assertIn("zeladm list", self.ok("help"))
        text = self.ok("list", "help")
        for word in ("create NAME", "set NAME OPTIONS", "show [NAME]", "add-member NAME ADDRESS",
                     "del-member NAME ADDRESS", "delete NAME", "--reply-to-list", "--no-moderator",
                     "--who-can-send members|anyone|moderator"):
            self.assertIn(word, text)


if __name__ == "__main__":
    unittest.main()
