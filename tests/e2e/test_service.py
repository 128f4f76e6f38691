"""The three service programs under a stand-in service manager.

Each program runs with "-run" in a scratch ZEL_ROOT while the test plays
systemd: it owns the datagram socket named in NOTIFY_SOCKET, reads the
status reports, and sends the control signals (SIGUSR1 pause, SIGUSR2
continue, SIGTERM stop). The command line (-version, -install, -remove, bad
arguments, no arguments) is checked end to end as well.
"""

import os
import signal
import subprocess
import time
import unittest

from zelharness import Manager, Scratch, free_port, program_path, run, stop_child, wait_exit

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
        os.makedirs(self.scratch.path("var", "spool"))
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

    def test_install_and_remove_write_the_unit(self):
        for program, service, display, _, _, _ in PROGRAMS:
            with self.subTest(program=program):
                path = program_path(program)
                unit = self.scratch.path("etc", "systemd", "system", program + ".service")
                result = run(self.scratch, path, "-install")
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(result.stdout, "%s installed successfully\n" % display)
                with open(unit, encoding="utf-8") as f:
                    text = f.read()
                self.assertIn("\nType=notify\n", text)
                self.assertIn("\nExecStart=%s\n" % os.path.realpath(path), text)
                self.assertIn("\nDescription=%s\n" % display, text)
                self.assertIn("\nWants=network-online.target\n", text)
                self.assertIn("\nAfter=network-online.target\n", text)
                self.assertEqual(self.event_source(service), os.path.realpath(path))

                again = run(self.scratch, path, "-install")
                self.assertEqual(again.returncode, 17)
                self.assertEqual(again.stdout, "CreateService failed with error: 17\nFile exists\n")

                result = run(self.scratch, path, "-remove")
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(result.stdout, "%s removed successfully\n" % display)
                self.assertFalse(os.path.exists(unit))
                self.assertIsNone(self.event_source(service))

                again = run(self.scratch, path, "-remove")
                self.assertEqual(again.returncode, 2)
                self.assertEqual(again.stdout, "Error: 2\nNo such file or directory\n")


if __name__ == "__main__":
    unittest.main()
