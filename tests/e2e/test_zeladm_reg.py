"""zeladm reg, driven as an administrator would: set, get, del, export and
import against a scratch ZEL_ROOT, with the exit statuses and messages of
bad input, and several zeladm processes starting on a fresh registry at once.
"""
import os
import shutil
import tempfile
import unittest

from zelharness import ZeladmCase

ZEL = "HKLM\\Software\\TALVO\\ZEL"
TCPIP = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"


class ZeladmRegTest(ZeladmCase):
    prefix = "zel-e2e-reg-"
    stdout_errors = "surrogateescape"

    def test_set_get_del(self):
        self.ok("reg", "set", ZEL, "PostMaster", "sz", "root")
        self.ok("reg", "set", ZEL, "MailInBoxDir", "expand_sz", "%HOME%\\Mail")
        self.ok("reg", "set", ZEL, "DomainNamesAreLocal", "multi_sz", "a.example", "b.example")
        self.ok("reg", "set", ZEL, "MaxDeliveryThreads", "dword", "-1")
        self.ok("reg", "set", ZEL, "AutoCreateInboxDir", "DWORD", "0x10")
        self.ok("reg", "set", ZEL, "Blob", "binary", "0a1B", "ff")
        self.ok("reg", "set", ZEL + "\\Aliases\\1", "Alias", "sz", "a*")
        lower = "hkey_local_machine\\software\\talvo\\zel"
        cases = [("PostMaster", "root\n"), ("mailinboxdir", "%HOME%\\Mail\n"),
                 ("DomainNamesAreLocal", "a.example\nb.example\n"),
                 ("MaxDeliveryThreads", "4294967295\n"), ("AutoCreateInboxDir", "16\n"),
                 ("Blob", "0a1bff\n")]
        for name, want in cases:
            with self.subTest(name=name):
                self.assertEqual(self.ok("reg", "get", lower, name), want)
        listing = self.ok("reg", "get", ZEL)
        self.assertIn("HKEY_LOCAL_MACHINE\\Software\\TALVO\\ZEL\n", listing)
        self.assertIn("PostMaster    REG_SZ    root", listing)
        self.assertIn("DomainNamesAreLocal    REG_MULTI_SZ    a.example\\0b.example", listing)
        self.assertIn("HKEY_LOCAL_MACHINE\\Software\\TALVO\\ZEL\\Aliases", listing)

        self.ok("reg", "del", ZEL, "postmaster")
        self.fails(["reg", "get", ZEL, "PostMaster"], 1, "not found")
        self.fails(["reg", "del", ZEL, "PostMaster"], 1, "not found")
        self.fails(["reg", "del", ZEL + "\\Aliases"], 1, "it has subkeys")
        self.ok("reg", "del", ZEL + "\\Aliases\\1")
        self.ok("reg", "del", ZEL + "\\Aliases")
        self.fails(["reg", "get", ZEL + "\\Aliases"], 1, "key not found")

    def test_default_value(self):
        self.ok("reg", "set", "HKLM\\A", "", "sz", "dflt")
        self.assertEqual(self.ok("reg", "get", "HKLM\\A", ""), "dflt\n")
        self.assertIn("(Default)    REG_SZ    dflt", self.ok("reg", "get", "HKLM\\A"))

    def test_export_import_round_trip(self):
        self.ok("reg", "set", ZEL, "MailSpoolDir", "sz", 'C:\\spool "x"')
        self.ok("reg", "set", ZEL, "Latin", "sz", "caf\u00e9")
        self.ok("reg", "set", ZEL, "Domains", "multi_sz", "a.example", "\u20ac.example")
        self.ok("reg", "set", ZEL, "Count", "dword", "7")
        self.ok("reg", "set", ZEL, "Blob", "binary", "00" * 200)
        self.ok("reg", "set", ZEL + "\\Lists\\l1\\Members\\u@example.org", "x", "sz", "1")
        self.ok("reg", "del", ZEL + "\\Lists\\l1\\Members\\u@example.org", "x")  # an empty key
        exported = self.ok("reg", "export")
        self.assertTrue(exported.startswith("Windows Registry Editor Version 5.00\n"))
        self.assertIn('"MailSpoolDir"="C:\\\\spool \\"x\\""', exported)
        members = "HKEY_LOCAL_MACHINE\\Software\\TALVO\\ZEL\\Lists\\l1\\Members"
        self.assertIn(f"[{members}\\u@example.org]", exported)

        other = tempfile.mkdtemp(prefix="zel-e2e-reg2-")
        try:
            path = os.path.join(self.root, "export.reg")
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(exported)
            self.ok("reg", "import", path, root=other)
            self.assertEqual(self.ok("reg", "export", root=other), exported)
            self.assertEqual(self.ok("reg", "get", ZEL, "Domains", root=other),
                             "a.example\n\u20ac.example\n")
        finally:
            shutil.rmtree(other, ignore_errors=True)

        # A key alone, and import from standard input into the same registry.
        sub = self.ok("reg", "export", "HKLM\\Software\\TALVO\\ZEL\\Lists")
        self.assertEqual(sub.splitlines()[2], "[HKEY_LOCAL_MACHINE\\Software\\TALVO\\ZEL\\Lists]")
        self.assertNotIn("MailSpoolDir", sub)
        self.ok("reg", "import", "-", stdin=exported.encode("utf-8", errors="surrogateescape"))
        self.assertEqual(self.ok("reg", "export"), exported)

    def test_import_forms_and_deletions(self):
        self.ok("reg", "set", "HKLM\\Old\\Deep", "v", "sz", "1")
        self.ok("reg", "set", "HKLM\\Keep", "gone", "sz", "1")
        text = ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
                "; a comment\r\n"
                "[-HKEY_LOCAL_MACHINE\\Old]\r\n"
                "[HKEY_LOCAL_MACHINE\\Keep]\r\n"
                "\"gone\"=-\r\n"
                "\"never\"=-\r\n"
                "\"e\"=hex(2):25,00,41,00,\\\r\n  25,00,00,00\r\n"
                "@=\"d\u00e9f\"\r\n")
        path = os.path.join(self.root, "utf16.reg")
        with open(path, "wb") as f:
            f.write(text.encode("utf-16-le"))
        self.ok("reg", "import", path)
        self.fails(["reg", "get", "HKLM\\Old"], 1, "key not found")
        self.fails(["reg", "get", "HKLM\\Keep", "gone"], 1, "not found")
        self.assertEqual(self.ok("reg", "get", "HKLM\\Keep", "e"), "%A%\n")
        self.assertEqual(self.ok("reg", "get", "HKLM\\Keep", ""), "d\u00e9f\n")

    def test_import_is_all_or_nothing(self):
        bad = ("REGEDIT4\n\n[HKLM\\New]\n\"a\"=\"1\"\n"
               "\"b\"=hex:01,zz\n")
        err = self.fails(["reg", "import", "-"], 1, "(standard input):5: bad hex byte",
                         stdin=bad.encode())
        self.assertIn("nothing was imported", err)
        self.fails(["reg", "get", "HKLM\\New"], 1, "key not found")

        # A file that parses but fails while applied leaves nothing either.
        fails_late = ("REGEDIT4\n\n[HKLM\\New]\n\"a\"=\"1\"\n[-HKLM\\SYSTEM]\n")
        path = os.path.join(self.root, "late.reg")
        with open(path, "w") as f:
            f.write(fails_late)
        err = self.fails(["reg", "import", path], 1, "late.reg:5: cannot delete")
        self.assertIn("nothing was imported", err)
        self.fails(["reg", "get", "HKLM\\New"], 1, "key not found")

    def test_tcpip_key(self):
        listing = self.ok("reg", "get", TCPIP)
        self.assertIn("Hostname    REG_SZ", listing)
        self.assertIn("(from the system)", listing)
        self.ok("reg", "set", TCPIP, "NameServer", "sz", "127.0.0.1:5353")
        self.assertEqual(self.ok("reg", "get", TCPIP, "nameserver"), "127.0.0.1:5353\n")
        self.fails(["reg", "del", TCPIP], 1, "always exists")
        self.assertNotIn("Hostname", self.ok("reg", "export"))

    def test_bad_input(self):
        cases = [
            ([], 2, "Usage"),
            (["frobnicate"], 2, "unknown command"),
            (["reg"], 2, "Usage"),
            (["reg", "frob"], 2, "unknown command \"zeladm reg frob\""),
            (["reg", "get"], 2, "wrong number of arguments"),
            (["reg", "get", "HKCU\\A"], 2, "HKEY_LOCAL_MACHINE"),
            (["reg", "get", "Software\\A"], 2, "HKEY_LOCAL_MACHINE"),
            (["reg", "get", "HKLM\\A\\\\B"], 2, "empty key name"),
            (["reg", "get", "HKLM\\Missing"], 1, "key not found: HKEY_LOCAL_MACHINE\\Missing"),
            (["reg", "set", "HKLM\\A", "n", "qword", "1"], 2, "unknown type \"qword\""),
            (["reg", "set", "HKLM\\A", "n", "sz"], 2, "exactly one DATA"),
            (["reg", "set", "HKLM\\A", "n", "sz", "a", "b"], 2, "exactly one DATA"),
            (["reg", "set", "HKLM\\A", "n", "dword", "4294967296"], 2, "bad dword"),
            (["reg", "set", "HKLM\\A", "n", "dword", "12abc"], 2, "bad dword"),
            (["reg", "set", "HKLM\\A", "n", "binary", "0g"], 2, "bad hex"),
            (["reg", "set", "HKLM\\A", "n", "binary", "abc"], 2, "bad hex"),
            (["reg", "set", "HKLM\\A", "n", "multi_sz", "a", ""], 2, "empty string"),
            (["reg", "set", "HKLM", "n", "sz", "x"], 2, "HKEY_LOCAL_MACHINE itself"),
            (["reg", "del", "HKLM"], 2, "cannot be deleted"),
            (["reg", "import", os.path.join(tempfile.gettempdir(), "no-such-zel.reg")], 1,
             "cannot read"),
            (["reg", "export", "HKLM\\Missing"], 1, "key not found"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.fails(args, status, message)

    def test_help(self):
        self.assertIn("zeladm reg", self.ok("help"))
        self.assertIn("zeladm reg import FILE", self.ok("help", "reg"))
        self.assertIn("zeladm reg export", self.ok("reg", "help"))

    def test_processes_start_on_a_fresh_registry_at_once(self):
        self.all_at_once([["reg", "set", "HKLM\\Race", f"v{i}", "dword", str(i)]
                          for i in range(8)])
        for i in range(8):
            self.assertEqual(self.ok("reg", "get", "HKLM\\Race", f"v{i}"), f"{i}\n")


if __name__ == "__main__":
    unittest.main()
