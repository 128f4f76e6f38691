"""The flow the README shows for "./zel run", end to end.

"./zel run" seeds a fresh ./var with its embedded configuration and the
account demo, then runs the three services. This test takes that same
configuration and account from the script itself (so it follows any change
to it), but under a scratch ZEL_ROOT and on free ports, with the name
servers pointed at nothing: a message sent with swaks to demo at the
domain the seed makes local (or, without one, at the host name) arrives in
demo's mailbox and is read back with poplib, exactly as stored. (Running
the script itself would build into and write to the developer's ./build
and ./var, so the test does not.) The README's submission examples run
too, with the certificate the first start makes.
"""

import os
import poplib
import re
import shlex
import shutil
import subprocess
import unittest

from zelharness import (DEAD_NAME_SERVER, DOMAIN_NAME, HOST_NAME, TCPIP_KEY, WAIT_SECONDS,
                        MailSystem, free_port, service_key, swaks_send)

SOURCE_DIR = os.environ.get("ZEL_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# The ports the README promises for "./zel run".
README_PORTS = {"ZELRECV": 2525, "ZELFETCH": 1110, "ZELIMAP": 1143}
README_SUBMISSION_PORTS = {"SubmissionPortNo": 5587, "SubmissionTlsPortNo": 5465}
README_POP3_TLS_PORT = 1995
README_IMAP_TLS_PORT = 1993


def seed_of_script():
    """What "./zel run" seeds: (registry text, [reg set arguments], account
    name, password). The host name it gives a machine without a DNS domain
    is left out: the harness's Hostname and Domain stand for the machine's."""
    with open(os.path.join(SOURCE_DIR, "zel"), encoding="utf-8") as f:
        script = f.read()
    def function(name):
        start = script.index(name + "() {")
        return script[start:script.index("\n}\n", start)]

    body = function("seed_configuration")
    reg = re.search(r"reg import - <<'REG'\n(.*?)\nREG$", body, re.S | re.M)
    account = re.search(r"printf '%s\\n' (\S+) \| \"\$adm\" user add (\S+) --password-stdin", body)
    if reg is None or account is None:
        raise AssertionError("cannot find the seeding in ./zel:\n" + body)
    sets = []
    for text in (body, function("seed_submission_ports"), function("seed_pop3_tls_port"),
                 function("seed_imap_ports")):
        for m in re.finditer(r"^\s*\"\$adm\" reg set (?:'([^']+)'|\"\$(recv|fetch|imap)\") (.+)$",
                             text, re.M):
            key = m.group(1) or service_key({"recv": "ZELRECV", "fetch": "ZELFETCH",
                                             "imap": "ZELIMAP"}[m.group(2)])
            sets.append([key] + m.group(3).split())
    return reg.group(1) + "\n", sets, account.group(2), account.group(1)


def reg_values(text, key):
    """{name: value} of one key of a registry text (strings and DWORDs)."""
    section = re.search(r"^\[%s\]\n(.*?)(?:\n\[|\Z)" % re.escape(key), text, re.S | re.M)
    values = {}
    for line in (section.group(1) if section else "").splitlines():
        m = re.match(r'"([^"]+)"=(?:"([^"]*)"|dword:([0-9a-fA-F]{8}))$', line.strip())
        if m:
            values[m.group(1)] = m.group(2) if m.group(2) is not None else int(m.group(3), 16)
    return values


def full_key(key):
    return key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)


@unittest.skipUnless(shutil.which("swaks"), "swaks is not installed")
class ZelRunFlowTest(unittest.TestCase):
    def setUp(self):
        self.seed, self.sets, self.user, self.password = seed_of_script()
        self.mail = MailSystem(fetch={}, imap={}, prefix="zel-e2e-run-")
        self.addCleanup(self.mail.stop)
        scratch = self.mail.scratch
        scratch.zeladm("reg", "import", "-", input=self.seed)
        for args in self.sets:
            scratch.zeladm("reg", "set", *args)
        # The seed's own values, then what a test needs instead: free
        # ports and no name server.
        scratch.reg_import({service_key("ZELRECV"): {"PortNo": self.mail.port,
                                                     "SubmissionPortNo": 0,
                                                     "SubmissionTlsPortNo": 0},
                            service_key("ZELFETCH"): {"PortNo": self.mail.pop3_port,
                                                      "TlsPortNo": 0},
                            service_key("ZELIMAP"): {"PortNo": self.mail.imap_port,
                                                     "TlsPortNo": 0, "SievePortNo": 0},
                            TCPIP_KEY: {"NameServer": DEAD_NAME_SERVER}})
        scratch.add_user(self.user, self.password)
        # The host name the services answer to: the seed's, where it gives
        # one, over the harness's.
        tcpip = {"Hostname": HOST_NAME, "Domain": DOMAIN_NAME}
        tcpip.update(reg_values(self.seed, full_key(TCPIP_KEY)))
        self.host = ".".join(p for p in (tcpip["Hostname"], tcpip["Domain"]) if p)
        # Mail goes to the first name the seed makes local, else to the host.
        local = [a[3] for a in self.sets if a[1] == "DomainNamesAreLocal" and len(a) > 3]
        self.domain = local[0] if local else self.host

    def test_seed_matches_the_readme(self):
        listen = {args[0]: args[3:] for args in self.sets if args[1] == "ListenAddresses"}
        ports = {args[0]: int(args[3]) for args in self.sets if args[1] == "PortNo"}
        for service, port in README_PORTS.items():
            values = reg_values(self.seed, full_key(service_key(service)))
            self.assertEqual(values.get("PortNo", ports.get(service_key(service))), port, service)
            self.assertEqual(listen.get(service_key(service)), ["127.0.0.1"], service)
        submission = {args[1]: int(args[3]) for args in self.sets
                      if args[0] == service_key("ZELRECV") and args[2] == "dword"}
        self.assertEqual(submission, README_SUBMISSION_PORTS)
        self.assertIn([service_key("ZELFETCH"), "TlsPortNo", "dword", str(README_POP3_TLS_PORT)],
                      self.sets)
        self.assertIn([service_key("ZELIMAP"), "TlsPortNo", "dword", str(README_IMAP_TLS_PORT)],
                      self.sets)

    def test_swaks_to_demo_then_poplib(self):
        self.mail.start()
        result = swaks_send(self.mail.port, "someone@client.example",
                            "%s@%s" % (self.user, self.domain),
                            b"From: someone@client.example\r\nSubject: first mail\r\n\r\n"
                            b"Hello demo.\r\n.a dotted line", helo="client.example")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        names = self.mail.wait_messages(self.user, 1)
        self.assertEqual(len(names), 1, self.mail.scratch.events())
        stored = self.mail.read_message(self.user, names[0])
        self.assertIn(b"Received: from client.example (unverified [127.0.0.1]) by %s\r\n"
                      % self.host.encode(), stored)

        client = poplib.POP3("127.0.0.1", self.mail.pop3_port, timeout=WAIT_SECONDS)
        try:
            self.assertIn(("@%s>" % self.host).encode(), client.getwelcome())
            client.user(self.user)
            client.pass_(self.password)
            self.assertEqual(client.stat(), (1, len(stored)))
            _, lines, _ = client.retr(1)
            client.dele(1)
            client.quit()
        finally:
            client.close()
        text = b"".join(line + b"\r\n" for line in lines)
        self.assertEqual(text, stored[:-3].replace(b"\r\n..", b"\r\n."))
        self.assertTrue(text.endswith(b"Subject: first mail\r\n\r\nHello demo.\r\n"
                                      b".a dotted line\r\n"), text)
        self.assertEqual(self.mail.messages(self.user), [])

    def test_readme_submission_under_tls(self):
        # The README's two swaks lines, on free ports, with the certificate
        # "./zel run" makes on its first start.
        if "=== TLS supported" not in subprocess.run(["swaks", "--support"], capture_output=True,
                                                     text=True, timeout=WAIT_SECONDS).stdout:
            self.skipTest("swaks has no TLS here")
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            lines = re.findall(r"^    (swaks --server 127\.0\.0\.1:(\d+) .*)$", f.read(), re.M)
        ports = {str(port): free_port() for port in README_SUBMISSION_PORTS.values()}
        lines = [(line, port) for line, port in lines if port in ports]
        self.assertEqual(len(lines), 2, lines)
        scratch = self.mail.scratch
        scratch.reg_import({service_key("ZELRECV"): {
            name: ports[str(port)] for name, port in README_SUBMISSION_PORTS.items()}})
        scratch.zeladm("tls", "self-signed", "--name", self.host)
        self.mail.start()
        for line, port in lines:
            args = shlex.split(line.replace(":%s " % port, ":%d " % ports[port]))
            result = subprocess.run(args + ["--timeout", str(WAIT_SECONDS)], capture_output=True,
                                    text=True, timeout=WAIT_SECONDS * 2)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        names = self.mail.wait_messages(self.user, 2)
        self.assertEqual(len(names), 2, scratch.events())
        for name in names:
            self.assertIn(b" with ESMTPSA id <", self.mail.read_message(self.user, name))

    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_readme_imaps_with_imaplib_and_curl(self):
        # The README's imaplib and curl lines against a message delivered to
        # demo, on a free port for 1993, with the certificate of the first
        # start.
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        lines = re.findall(r"^    ((?:python3 -c 'import imaplib|curl ).*1993.*)$", readme, re.M)
        self.assertEqual(len(lines), 3, lines)
        port = free_port()
        scratch = self.mail.scratch
        scratch.reg_import({service_key("ZELIMAP"): {"TlsPortNo": port}})
        scratch.zeladm("tls", "self-signed", "--name", self.host)
        self.mail.start()
        result = swaks_send(self.mail.port, "someone@client.example",
                            "%s@%s" % (self.user, self.domain),
                            b"Subject: kept on the server\r\n\r\nHello.", helo="client.example")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(len(self.mail.wait_messages(self.user, 1)), 1)
        outputs = []
        for line in lines:
            line = line.replace("1993", str(port)).replace(
                "var/etc/zel/tls/cert.pem", scratch.path("etc", "zel", "tls", "cert.pem"))
            result = subprocess.run(line, shell=True, capture_output=True, text=True,
                                    timeout=WAIT_SECONDS)
            self.assertEqual(result.returncode, 0, line + result.stdout + result.stderr)
            outputs.append(result.stdout)
        self.assertIn("Subject: kept on the server", outputs[0])
        self.assertIn('"INBOX"', outputs[1])
        self.assertIn("Subject: kept on the server", outputs[2])


if __name__ == "__main__":
    unittest.main()
