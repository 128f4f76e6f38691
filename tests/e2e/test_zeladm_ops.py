"""zeladm status, check and log against a scratch installation, and the
journal's priorities on a service's standard error.

status is checked against a spool laid out by hand and a receiver that
runs; check against a registry with mistakes and one without (with a name
server of its own that answers); log against an event log written by hand,
and --follow against a line appended while it waits.
"""

import os
import subprocess
import time
import unittest

from remotepeers import NameServer
from zelharness import ZEL_KEY, Scratch, Service, free_port, program_path, service_key, stop_child

RECV_KEY = service_key("ZELRECV")

EVENTS = [
    "2026-12-07T08:00:00+0000 ZELRECV INFORMATION 34 0xC0000022 ZEL SMTP Receiver service starting.",
    "2026-12-07T09:00:00+0000 ZELDELIV WARNING 192 0xC00000C0 The configuration check found a problem: x",
    "2026-12-07T10:00:00+0000 ZELRECV ERROR 32 0xC0000020 Win32 API routine \"bind\" failed: y",
    "not an event line",
]


class OpsCase(unittest.TestCase):
    def setUp(self):
        self.scratch = Scratch("zel-e2e-ops-")
        self.addCleanup(self.scratch.cleanup)

    def write_events(self, lines):
        os.makedirs(self.scratch.path("var", "log", "zel"), exist_ok=True)
        with open(self.scratch.path("var", "log", "zel", "events.log"), "a") as f:
            f.write("".join(line + "\n" for line in lines))

    def zeladm(self, *args):
        return self.scratch.zeladm(*args, check=False)


class StatusTest(OpsCase):
    def spool_file(self, *parts, age=0):
        path = self.scratch.spool(*parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("x\n")
        if age:
            then = time.time() - age
            os.utime(path, (then, then))

    def test_status_shows_services_queues_and_problems(self):
        self.scratch.prepare_registry(services={"ZELRECV": {"PortNo": free_port()}})
        self.spool_file("incoming", "B0000000001.MSG", age=2 * 3600 + 60)
        self.spool_file("incoming", "B0000000001.RCP")
        self.spool_file("holding", "B0000000002.MSG", age=60)
        for name in ("B0000000002.RCP", "B0000000003.RCP"):
            self.spool_file("domains", "example.org", name)
        self.spool_file("domains", "$local$", "B0000000004.RCP")
        self.spool_file("domains", "~.dot", "B0000000005.RCP")
        self.spool_file("dead", "B0000000006.MSG")
        self.spool_file("dead", "B0000000006.TXT")
        self.spool_file("quarantine", "B0000000007.MSG")
        self.write_events(EVENTS)

        with Service(self.scratch, "zelrecv") as receiver:
            result = self.zeladm("status")
            self.assertEqual(result.returncode, 0, result.stderr)
            out = result.stdout
            self.assertRegex(out, r"\n  ZELRECV   running, pid %d, up \d+s\n" % receiver.proc.pid)
            self.assertIn("\n  ZELDELIV  not running\n", out)
            for name, count in (("incoming", 1), ("example.org", 2), ("(local delivery)", 1),
                                (".dot", 1), ("dead", 1), ("quarantine", 1)):
                self.assertRegex(out, r"\n  %s +%d\n" % (name.replace("(", r"\(").replace(")", r"\)")
                                                          .replace(".", r"\."), count))
            self.assertIn("  oldest queued message: 2h 01m old\n", out)
            recent = out[out.index("Recent warnings and errors"):]
            self.assertIn(EVENTS[1], recent)
            self.assertIn(EVENTS[2], recent)
            self.assertNotIn(EVENTS[0], recent)
        self.assertIn("\n  ZELRECV   not running\n", self.zeladm("status").stdout)


class CheckTest(OpsCase):
    def test_check_names_each_problem_and_fails_on_errors(self):
        self.scratch.prepare_registry(services={"ZELRECV": {"PortNo": 70000, "PortN": 25}})
        self.scratch.reg_set(RECV_KEY, "RelayClients", "multi_sz", "127.0.0.0/8", "bogus")
        self.scratch.reg_set(ZEL_KEY, "ServiceAccount", "sz", "root")
        result = self.zeladm("check")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        for expected in (
                "error: ZELRECV PortNo: 70000 is not a port number (1 to 65535, 0 for the "
                "standard port)",
                "warning: ZELRECV PortN: no service reads this value; is the name misspelt?",
                "error: ZELRECV RelayClients: the entry \"bogus\" is not a network (like "
                "192.0.2.0/24); it is ignored",
                # prepare_registry's name server is one nobody answers on.
                "error: Tcpip NameServer: no name server answers; no remote mail can go out"):
            self.assertIn(expected, lines)
        self.assertEqual(len(lines), 4, result.stdout)

    def test_a_sound_configuration_passes(self):
        dns = NameServer(self.scratch.root).start()
        self.addCleanup(dns.stop)
        self.scratch.prepare_registry(name_server=dns.address,
                                      services={"ZELRECV": {"PortNo": 2525}})
        # The receiver's account, when it exists here, must be able to write.
        self.scratch.reg_set(ZEL_KEY, "ServiceAccount", "sz", "root")
        result = self.zeladm("check")
        self.assertEqual((result.returncode, result.stdout), (0, ""), result.stderr)


class LogTest(OpsCase):
    def test_filters(self):
        self.write_events(EVENTS)
        everything = self.zeladm("log")
        self.assertEqual(everything.stdout, "".join(e + "\n" for e in EVENTS))
        cases = [
            (["--service", "zelrecv"], [EVENTS[0], EVENTS[2]]),
            (["--service", "ZELDELIV"], [EVENTS[1]]),
            (["--since", "2026-12-07T09:00"], None),  # local time: checked below
            (["--since", "1h"], []),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = self.zeladm("log", *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                if expected is not None:
                    self.assertEqual(result.stdout, "".join(e + "\n" for e in expected))
                else:
                    self.assertNotIn("not an event line", result.stdout)
        for args in (["--since", "yesterday"], ["--bogus"], ["--service"]):
            with self.subTest(args=args):
                self.assertEqual(self.zeladm("log", *args).returncode, 2)

    def test_follow_prints_new_lines(self):
        self.write_events(EVENTS[:1])
        proc = subprocess.Popen([program_path("zeladm"), "log", "--follow", "--service", "ZELRECV"],
                                env=self.scratch.env, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(proc.stdout.readline(), EVENTS[0] + "\n")
            self.write_events(EVENTS[1:3])
            # Only the receiver's line, within the follow interval.
            self.assertEqual(proc.stdout.readline(), EVENTS[2] + "\n")
        finally:
            stop_child(proc)
            proc.stdout.close()


class JournalTest(OpsCase):
    def test_priorities_when_standard_error_is_the_journal(self):
        self.scratch.prepare_registry(services={"ZELRECV": {"PortNo": free_port(), "PortN": 1}})
        receiver = Service(self.scratch, "zelrecv")
        open(receiver.stderr_path, "w").close()
        st = os.stat(receiver.stderr_path)
        receiver.env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
        with receiver:
            pass
        stderr = receiver.stderr().splitlines()
        self.assertTrue(stderr)
        self.assertTrue(all(line[:3] in ("<6>", "<4>", "<3>") for line in stderr), stderr)
        self.assertTrue(any(line.startswith("<4>") and "PortN" in line for line in stderr), stderr)
        self.assertTrue(any(line.startswith("<6>") and "service starting" in line
                            for line in stderr), stderr)
        # The event log itself never carries them.
        self.assertNotIn("<", "".join(l[:1] for l in self.scratch.events().splitlines()))


if __name__ == "__main__":
    unittest.main()
