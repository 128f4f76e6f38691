"""The Debian package, built from the build tree with CPack as "./zel package"
builds it: its files and fields (dpkg-deb), its library and programs
(objdump), its units (systemd-analyze) and its metadata (lintian, with the
overrides the package ships).

With ZEL_PACKAGE_INSTALL_TEST=1, as root, the package is also installed with
dpkg, the installed services carry one message under a scratch root, and
the package is removed and purged: only the mail may stay behind.
"""

import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

import zelharness
from zelharness import BUILD_DIR, MailSystem

# Building the package installs and strips a copy of every program.
PACK_SECONDS = 240

PROGRAMS = {"zelrecv": "ZEL SMTP Receiver", "zeldeliv": "ZEL SMTP Delivery Agent",
            "zelfetch": "ZEL POP3 Server"}
UNITS = ["zel.target"] + [p + ".service" for p in PROGRAMS]


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=PACK_SECONDS, **kw)


def multiarch():
    result = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"])
    return result.stdout.strip() if result.returncode == 0 else "x86_64-linux-gnu"


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "objdump"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest("%s is not installed (./zel test installs dpkg-dev)" % tool)
        if not os.path.isdir(os.path.join(BUILD_DIR, "man")):
            raise unittest.SkipTest("the manual pages were not built: scdoc is not installed")
        cls.work = tempfile.mkdtemp(prefix="zel-e2e-pkg-")
        result = run(["cpack", "-G", "DEB", "-B", cls.work,
                      "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")], cwd=BUILD_DIR)
        debs = [n for n in os.listdir(cls.work) if n.endswith(".deb")]
        if result.returncode != 0 or len(debs) != 1:
            shutil.rmtree(cls.work, True)
            raise AssertionError("cpack failed: %s%s" % (result.stdout, result.stderr))
        cls.deb = os.path.join(cls.work, debs[0])
        cls.root = os.path.join(cls.work, "root")
        cls.control = os.path.join(cls.work, "control")
        for args in (["-x", cls.deb, cls.root], ["-e", cls.deb, cls.control]):
            if run(["dpkg-deb"] + args).returncode != 0:
                raise AssertionError("dpkg-deb %s failed" % args[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_fields_and_name(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        version = self.field("Version")
        self.assertEqual(os.path.basename(self.deb), "zel_%s_%s.deb" % (version, arch))
        self.assertEqual(self.field("Package"), "zel")
        self.assertEqual(self.field("Section"), "mail")
        depends = self.field("Depends")
        for package in ("adduser", "libc6", "libsqlite3-0", "libpam0g", "libopendkim11",
                        "libspf2-2", "libopendmarc2", "publicsuffix", "libcurl4",
                        "ca-certificates"):
            self.assertIn(package, depends)
        # zeladm tls acme runs certbot when the administrator asks for it.
        self.assertEqual(self.field("Suggests"), "fail2ban, certbot")
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(f.read().split(),
                             ["/etc/pam.d/zelfetch", "/etc/fail2ban/filter.d/zel.conf"])
        with open(os.path.join(self.control, "triggers")) as f:
            self.assertIn("activate-noawait ldconfig", f.read())

    def test_contents(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout
        paths = {line.split()[5].split(" -> ")[0] for line in listing.splitlines()}
        libdir = "./usr/lib/%s/" % multiarch()
        expected = ["./usr/sbin/" + p for p in list(PROGRAMS) + ["zeladm"]]
        expected += [libdir + "libzelbase.so.1", libdir + "libzelbase.so.1.0.0"]
        expected += ["./lib/systemd/system/" + u for u in UNITS]
        expected += ["./etc/pam.d/zelfetch", "./etc/fail2ban/filter.d/zel.conf",
                     "./usr/share/doc/zel/examples/fail2ban-jail.conf",
                     "./usr/share/zel/default.reg",
                     "./usr/share/doc/zel/copyright", "./usr/share/doc/zel/changelog.gz",
                     "./usr/share/lintian/overrides/zel"]
        expected += ["./usr/share/man/man8/%s.8.gz" % p for p in list(PROGRAMS) + ["zeladm"]]
        expected += ["./usr/share/man/man5/zel-registry.5.gz", "./usr/share/man/man7/zel.7.gz"]
        for path in expected:
            self.assertIn(path, paths)
        # No development link, nothing of the build tree, nothing the
        # maintainer scripts make (the spool, the registry).
        self.assertNotIn(libdir + "libzelbase.so", paths)
        self.assertFalse([p for p in paths if p.startswith("./var") or "build" in p])

    def test_library_and_programs_link_as_installed(self):
        lib = os.path.join(self.root, "usr", "lib", multiarch(), "libzelbase.so.1.0.0")
        self.assertIn("SONAME               libzelbase.so.1",
                      run(["objdump", "-p", lib]).stdout)
        for program in list(PROGRAMS) + ["zeladm"]:
            with self.subTest(program=program):
                dynamic = run(["objdump", "-p", os.path.join(self.root, "usr", "sbin", program)])
                if program in PROGRAMS:  # zeladm needs none of the library
                    self.assertIn("NEEDED               libzelbase.so.1", dynamic.stdout)
                self.assertNotRegex(dynamic.stdout, r"\n  (RPATH|RUNPATH) ")
                self.assertEqual(run(["objdump", "-h", os.path.join(
                    self.root, "usr", "sbin", program)]).stdout.count(".debug_info"), 0)

    def test_units(self):
        units = os.path.join(self.root, "lib", "systemd", "system")
        for program, display in PROGRAMS.items():
            with open(os.path.join(units, program + ".service")) as f:
                text = f.read()
            self.assertIn("\nExecStart=/usr/sbin/%s\n" % program, text)
            self.assertIn("\nDescription=%s\n" % display, text)
            self.assertNotIn("\nUser=", text)     # zelrecv becomes "zel" itself
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        result = run(["systemd-analyze", "verify", "--man=no"] +
                     [os.path.join(units, u) for u in UNITS])
        # The programs are where the package puts them only once it is installed.
        complaints = [line for line in (result.stdout + result.stderr).splitlines()
                      if not re.search(r"Command /usr/sbin/zel\w+ is not executable", line)]
        self.assertEqual(complaints, [])

    def test_lintian(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        result = run(["lintian", "-I", "--show-overrides", self.deb])
        tags = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(tags, [], result.stdout + result.stderr)
        # Every override is still needed: an unused one hides nothing.
        self.assertNotIn("unused-override", result.stdout + result.stderr)


@unittest.skipUnless(os.environ.get("ZEL_PACKAGE_INSTALL_TEST") == "1",
                     "set ZEL_PACKAGE_INSTALL_TEST=1 to install the package on this machine")
@unittest.skipUnless(os.geteuid() == 0, "installing a package needs root")
class InstallTest(unittest.TestCase):
    def setUp(self):
        PackageTest.setUpClass()
        self.addCleanup(PackageTest.tearDownClass)
        self.purge()

    def purge(self):
        run(["dpkg", "--purge", "zel"])

    def test_install_run_purge(self):
        result = run(["dpkg", "-i", PackageTest.deb])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        mail = ["/var/spool/zel/dead/B0000000001.MSG", "/var/mailbox/zeltest/B0000000002.MSG"]
        try:
            account = pwd.getpwnam("zel")
            spool = os.stat("/var/spool/zel")
            self.assertEqual((spool.st_uid, spool.st_gid, stat.S_IMODE(spool.st_mode)),
                             (0, account.pw_gid, 0o710))
            # Virtual users' mailboxes belong to zelmail; the root is only passable.
            self.assertEqual(pwd.getpwnam("zelmail").pw_shell, "/usr/sbin/nologin")
            boxes = os.stat("/var/mailbox")
            self.assertEqual((boxes.st_uid, stat.S_IMODE(boxes.st_mode)), (0, 0o711))
            env = dict(os.environ)
            env.pop("ZEL_ROOT", None)
            relay = run(["/usr/sbin/zeladm", "reg", "get",
                         "HKLM\\SYSTEM\\CurrentControlSet\\Services\\ZELRECV\\Parameters",
                         "RelayClients"], env=env)
            self.assertEqual(relay.stdout, "127.0.0.0/8\n::1\n")
            self.carry_one_message()
            for path in mail:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write("Subject: kept\r\n\r\n")
        finally:
            run(["dpkg", "--remove", "zel"])
            self.assertTrue(os.path.exists("/var/lib/zel/registry.db"))  # kept until purge
            self.purge()
        try:
            for path in mail:
                self.assertTrue(os.path.exists(path), path)
            for path in ("/var/lib/zel", "/var/log/zel", "/etc/zel", "/etc/pam.d/zelfetch",
                         "/usr/sbin/zelrecv", "/var/spool/zel/inlog"):
                self.assertFalse(os.path.exists(path), path)
        finally:
            for path in mail:
                os.unlink(path)
                for directory in (os.path.dirname(path), os.path.dirname(os.path.dirname(path))):
                    try:
                        os.rmdir(directory)  # only what the purge left for the mail's sake
                    except OSError:
                        pass

    def carry_one_message(self):
        # The installed programs, under a scratch root of their own.
        saved = zelharness.BIN_DIR
        zelharness.BIN_DIR = "/usr/sbin"
        try:
            mail = MailSystem(users=["alice"], prefix="zel-e2e-pkg-run-")
            try:
                mail.start()
                mail.send("bob@example.org", ["alice@" + zelharness.LOCAL_HOST],
                          "Subject: packaged\r\n\r\nHello.\r\n")
                self.assertEqual(len(mail.wait_messages("alice", 1)), 1)
            finally:
                mail.stop_checked(self)
        finally:
            zelharness.BIN_DIR = saved


if __name__ == "__main__":
    unittest.main()
