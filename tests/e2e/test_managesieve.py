#!/usr/bin/env python3
"""ManageSieve in zelimap: sieve-connect over STARTTLS doing what it can
(upload, list, activate, download, check, delete, deactivate), a raw client
for the rest and for the refusals, and a script uploaded over ManageSieve
filing mail delivered through zelrecv and zeldeliv."""

import base64
import os
import re
import subprocess
import tempfile
import unittest

from test_sieve_delivery import REMOTE, SieveCase, to_user
from test_logon_abuse import FAIL2BAN_FILTER
from test_zel_run import SOURCE_DIR
from zelharness import REPLY_SECONDS, ImapServer, SmtpConnection, files_with

PASSWORD = "pw-Sieve-Secret1"
SIEVE_EXTENSIONS = ("fileinto copy mailbox reject ereject envelope variables vacation "
                    "vacation-seconds relational subaddress imap4flags body date index "
                    "editheader duplicate include mailboxid comparator-i;ascii-numeric")


class SieveClient(SmtpConnection):
    """A raw ManageSieve client: command() sends a line and returns the
    response lines up to OK, NO or BYE (literals inlined)."""

    def response(self):
        lines = []
        while True:
            line = self.read_until(b"\r\n").decode("utf-8")
            literal = re.search(r"\{(\d+)\}\r\n$", line)
            if literal:
                line += self.read_exact(int(literal.group(1))).decode("utf-8")
                line += self.read_until(b"\r\n").decode("utf-8")
            lines.append(line)
            if re.match(r"(OK|NO|BYE)\b", line):
                return lines

    def command(self, data):
        self.send(data.encode("utf-8") if isinstance(data, str) else data)
        return self.response()

    def last(self, data):
        return self.command(data)[-1]

    def logon(self, user, password=PASSWORD):
        plain = base64.b64encode(("\0%s\0%s" % (user, password)).encode()).decode()
        return self.last('AUTHENTICATE "PLAIN" "%s"\r\n' % plain)


def put(name, text):
    return b'PUTSCRIPT "%s" {%d+}\r\n%s\r\n' % (name.encode(), len(text), text)


class ManageSieveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ImapServer(tls=True, suite={"SieveMaxScripts": 3, "SieveMaxScriptSize": 2000},
                                prefix="zel-e2e-msieve-")
        cls.server.start()
        for user in ("ann", "bob", "cid"):
            cls.server.add_user(user, PASSWORD)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def client(self, tls=True):
        conn = SieveClient(self.server.sieve_port)
        self.addCleanup(conn.close)
        self.assertEqual(conn.response()[-1], "OK\r\n")
        if tls:
            self.assertEqual(conn.last("STARTTLS\r\n"), 'OK "Begin TLS negotiation now"\r\n')
            conn.start_tls()
            conn.caps = conn.response()
        return conn

    def sieve_connect(self, user, commands, password=PASSWORD):
        with tempfile.NamedTemporaryFile("w", suffix=".cmds", delete=False) as f:
            f.write(commands)
        self.addCleanup(os.unlink, f.name)
        read, write = os.pipe()
        os.write(write, (password + "\n").encode())
        os.close(write)
        try:
            return subprocess.run(
                ["sieve-connect", "-s", "127.0.0.1", "-p", str(self.server.sieve_port), "-u", user,
                 "--passwordfd", str(read), "--notlsverify", "--noclearauth", "--authmech", "PLAIN",
                 "--exec", f.name], pass_fds=(read,), capture_output=True, text=True,
                timeout=4 * REPLY_SECONDS)
        finally:
            os.close(read)

    def test_sieve_connect_over_starttls(self):
        scratch = self.server.scratch
        script = scratch.path("vacation.sieve")
        with open(script, "w") as f:
            f.write('require "vacation";\nvacation :days 3 "I am away.";\n')
        fetched = scratch.path("fetched.sieve")
        result = self.sieve_connect("ann", "put %s away\nput %s spare\nactivate away\nlist\n"
                                           "get away %s\ncheckscript %s\ndelete spare\nlist\n"
                                    % (script, script, fetched, script))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.count('"away" ACTIVE\n'), 2, result.stdout)
        self.assertEqual(result.stdout.count('"spare"'), 1, result.stdout)
        with open(fetched) as f:
            self.assertEqual(f.read(), 'require "vacation";\nvacation :days 3 "I am away.";\n')
        directory = self.server.mailbox("ann", "sieve")
        self.assertEqual(sorted(os.listdir(directory)), ["active", "away.sieve"])
        owner = os.stat(self.server.mailbox("ann")).st_uid
        for path, mode in ((directory, 0o700), (os.path.join(directory, "away.sieve"), 0o600)):
            st = os.stat(path)
            self.assertEqual((st.st_uid, st.st_mode & 0o777), (owner, mode), path)
        self.assertEqual(self.sieve_connect("ann", "deactivate\n").returncode, 0)
        with open(os.path.join(directory, "active")) as f:
            self.assertEqual(f.read(), "")
        # A wrong password ends in failure, and nothing is done.
        result = self.sieve_connect("ann", "delete away\n", password="wrong")
        self.assertNotEqual(result.returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(directory, "away.sieve")))

    def test_capabilities_and_the_plaintext_rule(self):
        conn = self.client(tls=False)
        conn.send(b"CAPABILITY\r\n")
        caps = "".join(conn.response())
        self.assertIn('"SIEVE" "%s"\r\n' % SIEVE_EXTENSIONS, caps)
        self.assertIn('"STARTTLS"\r\n', caps)
        self.assertIn('"MAXREDIRECTS" "4"\r\n', caps)
        self.assertIn('"VERSION" "1.0"\r\n', caps)
        self.assertNotIn("NOTIFY", caps)
        # Over TLS: the capabilities again, without STARTTLS.
        conn = self.client()
        self.assertNotIn('"STARTTLS"', "".join(conn.caps))
        self.assertEqual(conn.caps[-1], "OK\r\n")
        self.assertEqual(conn.last("STARTTLS\r\n"), 'NO "TLS is already active"\r\n')
        self.assertEqual(conn.last('AUTHENTICATE "LOGIN"\r\n'),
                         'NO "Unsupported authentication mechanism"\r\n')
        self.assertEqual(conn.last("LISTSCRIPTS\r\n"), 'NO "Authenticate first"\r\n')
        self.assertEqual(conn.last('NOOP "t1"\r\n'), 'OK (TAG "t1") "Done"\r\n')

    def test_plaintext_password_refused_and_connection_limit(self):
        server = ImapServer({"PlaintextLogonClients": ["10.9.9.0/24"], "MaxConnectionsPerClient": 1},
                            tls=True, prefix="zel-e2e-msieve-clear-")
        server.start()
        self.addCleanup(server.stop)
        server.add_user("dan", PASSWORD)
        conn = SieveClient(server.sieve_port)
        self.addCleanup(conn.close)
        self.assertIn('"SASL" ""\r\n', conn.response())
        self.assertEqual(conn.logon("dan"), 'NO (ENCRYPT-NEEDED) "A password needs an encrypted'
                                            ' connection: use STARTTLS first"\r\n')
        # The front's limits count ManageSieve too, and refuse in its words.
        second = SieveClient(server.sieve_port)
        self.addCleanup(second.close)
        self.assertEqual(second.response(), ['BYE "Too many connections"\r\n'])

    def test_every_command_and_its_refusals(self):
        conn = self.client()
        self.assertEqual(conn.logon("bob", "wrong"), 'NO "Authentication failed"\r\n')
        # The continuation form of AUTHENTICATE: a response that cannot be
        # read ends the exchange with its reason, "*" cancels, then one
        # that logs on.
        conn.send(b'AUTHENTICATE "PLAIN"\r\n')
        self.assertEqual(conn.read_until(b"\r\n"), b'""\r\n')
        self.assertEqual(conn.last(b'"AGJvYg\r\n'),
                         'NO "Syntax error: a quoted string is not closed"\r\n')
        conn.send(b'AUTHENTICATE "PLAIN"\r\n')
        self.assertEqual(conn.read_until(b"\r\n"), b'""\r\n')
        self.assertEqual(conn.last(b'"*"\r\n'), 'NO "Authentication cancelled"\r\n')
        conn.send(b'AUTHENTICATE "PLAIN"\r\n')
        self.assertEqual(conn.read_until(b"\r\n"), b'""\r\n')
        plain = base64.b64encode(b"\0bob\0" + PASSWORD.encode())
        self.assertEqual(conn.last(b'{%d+}\r\n%s\r\n' % (len(plain), plain)), 'OK "Logged in"\r\n')
        self.assertIn('"OWNER" "bob"\r\n', conn.command("CAPABILITY\r\n"))
        self.assertEqual(conn.last('HAVESPACE "a" 100\r\n'), "OK\r\n")
        self.assertEqual(conn.last('HAVESPACE "a" 2001\r\n')[:21], "NO (QUOTA/MAXSIZE) \"A")
        self.assertEqual(conn.last(put("a", b"keep;")), 'OK "Script stored"\r\n')
        self.assertEqual(conn.last('CHECKSCRIPT "keep;"\r\n'), "OK\r\n")
        # A script that does not compile is refused with its line.
        bad = b'require "fileinto";\r\n\r\nfilein "x";\r\n'
        self.assertRegex(conn.last(b'CHECKSCRIPT {%d+}\r\n%s\r\n' % (len(bad), bad)),
                         r'^NO "line 3: [^\r]*filein')
        self.assertRegex(conn.last(put("b", bad)), r'^NO "line 3: ')
        self.assertEqual(conn.last(put("big", b"#" * 2001))[:19], "NO (QUOTA/MAXSIZE) ")
        self.assertEqual(conn.last(put("b", b"keep;")), 'OK "Script stored"\r\n')
        self.assertEqual(conn.last(put("c", b"keep;")), 'OK "Script stored"\r\n')
        self.assertEqual(conn.last(put("d", b"keep;"))[:22], "NO (QUOTA/MAXSCRIPTS) ")
        self.assertEqual(conn.last('HAVESPACE "d" 10\r\n')[:22], "NO (QUOTA/MAXSCRIPTS) ")
        self.assertEqual(conn.last(put("c", b"discard;")), 'OK "Script stored"\r\n')
        self.assertEqual(conn.last('SETACTIVE "a"\r\n'), 'OK "Script activated"\r\n')
        self.assertEqual(conn.last('SETACTIVE "zz"\r\n')[:17], "NO (NONEXISTENT) ")
        self.assertEqual(conn.last('DELETESCRIPT "a"\r\n')[:12], "NO (ACTIVE) ")
        self.assertEqual(conn.last('DELETESCRIPT "zz"\r\n')[:17], "NO (NONEXISTENT) ")
        self.assertEqual(conn.last('RENAMESCRIPT "b" "c"\r\n')[:19], "NO (ALREADYEXISTS) ")
        self.assertEqual(conn.last('RENAMESCRIPT "zz" "y"\r\n')[:17], "NO (NONEXISTENT) ")
        self.assertEqual(conn.last('RENAMESCRIPT "a" "main"\r\n'), 'OK "Script renamed"\r\n')
        self.assertEqual(conn.command("LISTSCRIPTS\r\n"),
                         ['"b"\r\n', '"c"\r\n', '"main" ACTIVE\r\n', 'OK "Listed"\r\n'])
        self.assertEqual(conn.command('GETSCRIPT "c"\r\n'), ["{8}\r\ndiscard;\r\n", "OK\r\n"])
        self.assertEqual(conn.last('DELETESCRIPT "c"\r\n'), 'OK "Script deleted"\r\n')
        self.assertEqual(conn.last('GETSCRIPT "../x"\r\n')[:20], 'NO "Invalid script n')
        self.assertEqual(conn.last('PUTSCRIPT "x"\r\n'), 'NO "Wrong arguments for PUTSCRIPT"\r\n')
        self.assertEqual(conn.last('FROB\r\n'), 'NO "Unknown command"\r\n')
        self.assertEqual(conn.last('NOOP\r\n'), 'OK "Done"\r\n')
        self.assertEqual(conn.last('UNAUTHENTICATE\r\n'), 'OK "No longer authenticated"\r\n')
        self.assertEqual(conn.last('LISTSCRIPTS\r\n'), 'NO "Authenticate first"\r\n')
        self.assertEqual(conn.last('LOGOUT\r\n'), 'OK "Logout completed"\r\n')
        self.assertEqual(sorted(os.listdir(self.server.mailbox("bob", "sieve"))),
                         ["active", "b.sieve", "main.sieve"])

    def test_three_failed_logons_close(self):
        conn = self.client()
        for _ in range(2):
            self.assertEqual(conn.logon("cid", "wrong"), 'NO "Authentication failed"\r\n')
        self.assertEqual(conn.command(b'AUTHENTICATE "PLAIN" "%s"\r\n'
                                      % base64.b64encode(b"\0cid\0wrong")),
                         ['NO "Authentication failed"\r\n'])
        self.assertEqual(conn.response(), ['BYE "Too many failed logons"\r\n'])
        # Each is the failed-logon event, which the fail2ban filter finds.
        events = self.server.scratch.path("var", "log", "zel", "events.log")
        with open(events, encoding="utf-8") as f:
            failures = [l for l in f if " 0xC00000E8 Logon failed: sieve client 127.0.0.1, " in l]
        self.assertGreaterEqual(len([l for l in failures if 'user "cid"' in l]), 3)
        found = subprocess.run(["fail2ban-regex", "--usedns=no", "-o", "ip", events, FAIL2BAN_FILTER],
                               capture_output=True, text=True, timeout=4 * REPLY_SECONDS)
        self.assertEqual(found.stdout.split(), ["127.0.0.1"] * len(failures), found.stderr)


class ReadmeTest(unittest.TestCase):
    """The README's sieve-connect lines, run as written but for the port,
    against the port ./zel seeds."""

    def test_readme_commands_upload_and_activate(self):
        with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        with open(os.path.join(SOURCE_DIR, "zel"), encoding="utf-8") as f:
            self.assertRegex(f.read(), r'reg set "\$imap" SievePortNo dword 14190\n')
        lines = [l.strip() for l in readme.splitlines()
                 if l.startswith("    printf 'require \"vacation\"") or
                 l.startswith("    echo demo | sieve-connect -s 127.0.0.1 -p 14190 ")]
        self.assertEqual(len(lines), 4, lines)
        server = ImapServer(tls=True, prefix="zel-e2e-msieve-readme-")
        server.start()
        self.addCleanup(server.stop)
        server.add_user("demo", "demo")
        with tempfile.TemporaryDirectory() as work:
            for line in lines:
                result = subprocess.run(line.replace(" 14190 ", " %d " % server.sieve_port),
                                        shell=True, cwd=work, capture_output=True, text=True,
                                        timeout=4 * REPLY_SECONDS)
                self.assertEqual(result.returncode, 0, line + result.stdout + result.stderr)
        self.assertEqual(result.stdout, '"vacation" ACTIVE\n')


class UploadedScriptFilesMailTest(SieveCase):
    passwords = {"alice": PASSWORD}

    def test_script_uploaded_over_managesieve_files_mail(self):
        imap = ImapServer(scratch=self.mail.scratch, tls=True, prefix="zel-e2e-msieve-deliv-")
        imap.start()
        self.addCleanup(imap.stop)
        conn = SieveClient(imap.sieve_port)
        self.addCleanup(conn.close)
        conn.response()
        self.assertEqual(conn.logon("alice"), 'OK "Logged in"\r\n')
        text = (b'require ["fileinto", "mailbox"];\r\n'
                b'if header :contains "Subject" "list" { fileinto :create "Lists"; }\r\n')
        self.assertEqual(conn.last(put("main", text)), 'OK "Script stored"\r\n')
        self.assertEqual(conn.last('SETACTIVE "main"\r\n'), 'OK "Script activated"\r\n')
        self.send("sender@" + REMOTE, ["alice"], to_user("alice", "list post"))
        self.wait_idle()
        self.assertEqual(len(files_with(self.folder("alice", "Lists"), "MSG")), 1)


if __name__ == "__main__":
    unittest.main()
