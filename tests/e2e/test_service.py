"""The three service programs under a stand-in service manager.

Each program runs with "-run" in a scratch ZEL_ROOT while the test plays
systemd: it owns the datagram socket named in NOTIFY_SOCKET, reads the
status reports, and sends the control signals (SIGUSR1 pause, SIGUSR2
continue, SIGTERM stop). The command line (-version, -install, -remove, bad
arguments, no arguments) is checked end to end as well.
"""

import os
import pwd
import shutil
import signal
import subprocess
import time
import unittest

from zelharness import (ZEL_KEY, Manager, Scratch, free_port, program_path, run, stop_child,
                        wait_exit)

# Every wait of this test is bounded by this many seconds.
WAIT_SECONDS = 20

# program, service name, display name, version, spool directories, other directories
PROGRAMS = [
    ("zelrecv", "ZELRECV", "ZEL SMTP Receiver", "0.83", ["incoming", "inlog"], []),
    ("zeldeliv", "ZELDELIV", "ZEL SMTP Delivery Agent", "0.86",
     ["incoming", "holding", "domains", "outlog", "dead", "lists"], []),
    ("zelfetch", "ZELFETCH", "ZEL POP3 Server", "0.87", ["Pop3log"], ["var/mailbox"]),
]


def prepare_registry(scratch):
    # Never let a program reach the machine's resolver, nor the real ports.
    scratch.prepare_registry(services={"ZELRECV": {"PortNo": free_port()},
                                       "ZELFETCH": {"PortNo": free_port()}})


class ServiceRunTest(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch("zel-e2e-svc-")
        prepare_registry(self.scratch)
        self.manager = Manager(self.scratch)

    def tearDown(self):
        self.manager.close()
        self.scratch.cleanup()

    def start(self, program, env):
        log = open(self.scratch.path(program + ".stderr"), "w")
        try:
            return subprocess.Popen([program_path(program), "-run"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=log)
        finally:
            log.close()

    def test_run_pause_continue_stop(self):
        for program, service, display, _, spool, others in PROGRAMS:
            with self.subTest(program=program):
                env = dict(self.scratch.env, NOTIFY_SOCKET=self.manager.name)
                proc = self.start(program, env)
                try:
                    self.check_service_life(proc, service, display, spool, others)
                finally:
                    stop_child(proc)

    def check_service_life(self, proc, service, display, spool, others):
        ready = self.manager.wait_for("READY=1")
        self.assertIsNotNone(ready, "no READY=1; reports %s" % self.manager.reports)
        self.assertIn("STATUS=Running", ready)
        self.assertIn("STATUS=Start pending, checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000",
                      self.manager.reports)
        for name in spool:
            self.assertTrue(os.path.isdir(self.scratch.path("var", "spool", "zel", name)), name)
        for name in others:
            self.assertTrue(os.path.isdir(self.scratch.path(name)), name)
        self.assertIn(" %s INFORMATION 34 0xC0000022 %s service starting.\n" % (service, display),
                      self.scratch.events())

        proc.send_signal(signal.SIGUSR1)
        self.assertEqual(self.manager.wait_for("STATUS=Paused"), "STATUS=Paused")
        proc.send_signal(signal.SIGUSR2)
        self.assertEqual(self.manager.wait_for("STATUS=Running"), "READY=1\nSTATUS=Running")

        proc.send_signal(signal.SIGTERM)
        stopping = self.manager.wait_for("STOPPING=1")
        self.assertIsNotNone(stopping, "no STOPPING=1; reports %s" % self.manager.reports)
        self.assertEqual(wait_exit(proc), 0)
        self.assertEqual(self.manager.wait_for("STATUS=Stopped", 2), "STATUS=Stopped")
        self.assertIn(" %s INFORMATION 35 0xC0000023 %s service terminating.\n"
                      % (service, display), self.scratch.events())

    def test_interrupt_in_the_foreground_stops_cleanly(self):
        # No NOTIFY_SOCKET: reports go nowhere, Ctrl+C still stops the
        # service, even when it arrives while the service is starting.
        proc = self.start("zelrecv", self.scratch.env)
        try:
            deadline = time.monotonic() + WAIT_SECONDS
            while "0xC0000022" not in self.scratch.events() and time.monotonic() < deadline:
                time.sleep(0.02)
            proc.send_signal(signal.SIGINT)
            self.assertEqual(wait_exit(proc), 0)
            self.assertIn("ZEL SMTP Receiver service terminating.", self.scratch.events())
        finally:
            stop_child(proc)

    def test_failed_start_exits_nonzero(self):
        # A file where the spool should be: no program can start, and each
        # says so with its exit status so that systemd marks the unit failed.
        os.makedirs(self.scratch.path("var", "spool"), exist_ok=True)
        with open(self.scratch.path("var", "spool", "zel"), "w") as f:
            f.write("not a directory\n")
        for program, service, display, _, _, _ in PROGRAMS:
            with self.subTest(program=program):
                env = dict(self.scratch.env, NOTIFY_SOCKET=self.manager.name)
                proc = self.start(program, env)
                try:
                    status = wait_exit(proc)
                    self.assertIsNotNone(status)
                    self.assertNotEqual(status, 0)
                    self.assertEqual(self.manager.wait_for("STATUS=Stopped", 2), "STATUS=Stopped")
                    self.assertFalse(any("READY=1" in r for r in self.manager.reports))
                    self.manager.reports.clear()
                finally:
                    stop_child(proc)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch("zel-e2e-svc-")

    def tearDown(self):
        self.scratch.cleanup()

    def test_version_and_argument_errors(self):
        for program, _, display, version, _, _ in PROGRAMS:
            path = program_path(program)
            usage = "Usage:\n" + "".join("  %s %s\n" % (path, o) for o in
                                         ("-install", "-ipaddress", "-remove", "-run", "-version"))
            cases = [
                (["-version"], 0, "%s %s\n" % (display, version)),
                (["-VERSION", "-install", "-Remove"], 7,
                 "%s %s\nYou cannot specify both the -install and the -remove options\n"
                 % (display, version)),
                (["-start"], 1, "Unrecognised argument -start\n" + usage),
                (["-run", "-remove"], 7, "You cannot specify both the -remove and the -run options\n"),
                ([], 2, "%s should not be executed from the command prompt without arguments\n%s"
                 % (path, usage)),
            ]
            for args, status, output in cases:
                with self.subTest(program=program, args=args):
                    result = run(self.scratch, path, *args)
                    self.assertEqual(result.returncode, status, result.stdout)
                    self.assertTrue(result.stdout.startswith(output), result.stdout)

    def event_source(self, service):
        key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + service
        result = self.scratch.zeladm("reg", "get", key, "EventMessageFile", check=False)
        return result.stdout.strip() if result.returncode == 0 else None

    def unit_text(self, name):
        with open(self.scratch.path("etc", "systemd", "system", name), encoding="utf-8") as f:
            return f.read()

    def test_install_and_remove_write_the_units(self):
        # An account that exists here, so that -install does not make one.
        account = pwd.getpwuid(os.getuid()).pw_name
        self.scratch.zeladm("reg", "set", ZEL_KEY, "ServiceAccount", "sz", account)
        self.scratch.zeladm("reg", "set", ZEL_KEY, "VirtualMailAccount", "sz", account)
        units = self.scratch.path("etc", "systemd", "system")
        for program, service, display, _, _, _ in PROGRAMS:
            with self.subTest(program=program):
                path = program_path(program)
                result = run(self.scratch, path, "-install")
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(result.stdout, "%s installed successfully\n" % display)
                text = self.unit_text(program + ".service")
                for line in ("Type=notify", "ExecStart=" + os.path.realpath(path),
                             "Description=" + display, "Wants=network-online.target",
                             "After=network-online.target", "PartOf=zel.target",
                             "ExecReload=/bin/kill -HUP $MAINPID", "NoNewPrivileges=yes",
                             "ProtectSystem=strict", "PrivateTmp=yes"):
                    self.assertIn("\n%s\n" % line, text)
                self.assertEqual(self.event_source(service), os.path.realpath(path))

                again = run(self.scratch, path, "-install")
                self.assertEqual(again.returncode, 17)
                self.assertEqual(again.stdout, "CreateService failed with error: 17\nFile exists\n")

        recv = self.unit_text("zelrecv.service")
        self.assertNotIn("\nUser=", recv)     # it becomes the account itself
        self.assertIn("\nReadWritePaths=%s %s %s\n" % (
            self.scratch.spool(), self.scratch.path("var", "log", "zel"),
            self.scratch.path("var", "lib", "zel")), recv)
        self.assertIn("\nReadWritePaths=%s %s " % (self.scratch.spool(),
                                                   self.scratch.path("var", "mailbox")),
                      self.unit_text("zeldeliv.service"))
        # Each mailbox in the common root is its user's: the root is passable only.
        self.assertEqual(os.stat(self.scratch.path("var", "mailbox")).st_mode & 0o7777, 0o711)
        self.assertIn("\nWants=zelrecv.service zeldeliv.service zelfetch.service zelimap.service\n",
                      self.unit_text("zel.target"))
        with open(self.scratch.path("etc", "pam.d", "zelfetch"), encoding="utf-8") as f:
            pam = f.read()
        self.assertIn("\nauth required pam_unix.so\naccount required pam_unix.so\n", pam)
        self.assertTrue(os.path.isfile(self.scratch.path("var", "log", "zel", "events.log")))
        self.verify_units(units)

        for program, service, display, _, _, _ in PROGRAMS:
            with self.subTest(program=program):
                path = program_path(program)
                result = run(self.scratch, path, "-remove")
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(result.stdout, "%s removed successfully\n" % display)
                self.assertFalse(os.path.exists(os.path.join(units, program + ".service")))
                self.assertIsNone(self.event_source(service))
                # The target goes with the suite's last unit.
                self.assertEqual(os.path.exists(os.path.join(units, "zel.target")),
                                 program != PROGRAMS[-1][0])

                again = run(self.scratch, path, "-remove")
                self.assertEqual(again.returncode, 2)
                self.assertEqual(again.stdout, "Error: 2\nNo such file or directory\n")
        # An administrator's PAM file is never removed nor replaced.
        self.assertTrue(os.path.exists(self.scratch.path("etc", "pam.d", "zelfetch")))

    def verify_units(self, units):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        names = ["zel.target"] + [p[0] + ".service" for p in PROGRAMS]
        result = subprocess.run(["systemd-analyze", "verify", "--man=no"] +
                                [os.path.join(units, n) for n in names],
                                capture_output=True, text=True, timeout=WAIT_SECONDS)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_install_makes_the_missing_account_with_adduser(self):
        # A stand-in adduser that records how it was called and makes nothing:
        # -install must see that the account is still missing and undo itself.
        bindir = self.scratch.path("fakebin")
        os.makedirs(bindir)
        calls = self.scratch.path("adduser.calls")
        with open(os.path.join(bindir, "adduser"), "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> '%s'\n" % calls)
        os.chmod(os.path.join(bindir, "adduser"), 0o755)
        env = dict(self.scratch.env, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
        unit = self.scratch.path("etc", "systemd", "system", "zelrecv.service")
        cases = [("zel-no-such-account", 2, "No such file or directory"),
                 ("Not An Account", 22, "Invalid argument")]
        for account, status, text in cases:
            with self.subTest(account=account):
                self.scratch.zeladm("reg", "set", ZEL_KEY, "ServiceAccount", "sz", account)
                result = run(self.scratch, program_path("zelrecv"), "-install", env=env)
                self.assertEqual(result.returncode, status, result.stdout)
                self.assertEqual(result.stdout, "CreateServiceAccount failed with error: %d\n%s\n"
                                 % (status, text))
                self.assertFalse(os.path.exists(unit))
                self.assertIsNone(self.event_source("ZELRECV"))
        # The programs that write mailboxes need the virtual mail account
        # (the service account left empty: the agent switches to none).
        self.scratch.zeladm("reg", "set", ZEL_KEY, "ServiceAccount", "sz", "")
        self.scratch.zeladm("reg", "set", ZEL_KEY, "VirtualMailAccount", "sz", "zel-no-such-mail")
        result = run(self.scratch, program_path("zeldeliv"), "-install", env=env)
        self.assertEqual((result.returncode, result.stdout),
                         (2, "CreateVirtualMailAccount failed with error: 2\n"
                             "No such file or directory\n"))
        self.assertIsNone(self.event_source("ZELDELIV"))
        with open(calls) as f:
            self.assertEqual(f.read(), "--system --group --no-create-home --quiet "
                                       "zel-no-such-account\n--system --group --no-create-home "
                                       "--quiet zel-no-such-mail\n")

if __name__ == "__main__":
    unittest.main()
