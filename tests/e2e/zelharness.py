"""Shared pieces of the end-to-end tests and benchmarks (stdlib only).

A test builds a scratch ZEL_ROOT (Scratch), writes the registry values it
needs through zeladm, and runs a service program with "-run" under a
stand-in service manager (Service): the harness owns the datagram socket
named in NOTIFY_SOCKET, waits for READY=1, and stops the program with
SIGTERM, killing it when it does not end in time. Every wait is bounded.

Before any service starts, the Tcpip values are set (Service refuses to
start otherwise): the name servers point at 127.0.0.1:1 (or a test's own
fake server), so no test ever queries the machine's resolver, and Hostname
and Domain give the deterministic local host name "zeltest.example.test"
for connections to 127.0.0.1.

SmtpConnection is a raw socket client that returns replies byte for byte,
for tests that compare the system's exact texts. Receiver runs zelrecv on a
free port with given settings, in its own scratch root or a shared one (a
delivery or POP3 test can feed mail through it); Pop3Server runs zelfetch
alone the same way (both are a ServerOnPort). MailSystem runs zelrecv and
zeldeliv (and, when asked, zelfetch) together on one scratch root with mail
accounts, and waits for mailbox copies and for the agent to fall idle.
ZeladmCase is the test case of the zeladm suites, and golden() reads the
texts pinned once for the unit and end-to-end suites (tests/golden).

Run as root (as CI runs them), the services write every mailbox as its
owner: a test user without a host account (a virtual user) owns its
mailbox as VIRTUAL_MAIL_ACCOUNT, a system account the harness makes once
(and never removes: other tests may use it at the same time). Every
scratch root is then reachable by it (make_reachable), and files a test
puts into a mailbox are given to the mailbox's owner (give_to_mail_owner).
Run as any other user, everything is that user's, as before.

Sanitizer builds: when ZEL_SANITIZER_LOG names a file, every program's
standard error (services at stop, zeladm after each run) is searched for
AddressSanitizer and UBSan reports, and what is found is appended to that
file, so a whole test run can be failed on it.
"""

import fcntl
import json
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("ZEL_BUILD_DIR",
                           os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "..", "..", "build"))
BIN_DIR = os.path.join(BUILD_DIR, "bin")
# Texts pinned once for the unit and the end-to-end suites.
GOLDEN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden")

# Every wait of a test is bounded by this many seconds.
WAIT_SECONDS = 20
# A reply that takes longer than this counts as missing.
REPLY_SECONDS = 10

ZEL_KEY = "HKLM\\Software\\TALVO\\ZEL"
TCPIP_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"

# The local identity every test machine gets through the Tcpip values.
HOST_NAME = "zeltest"
DOMAIN_NAME = "example.test"
LOCAL_HOST = HOST_NAME + "." + DOMAIN_NAME

# Nothing listens there: a program that asks the name servers gets no answer.
DEAD_NAME_SERVER = "127.0.0.1:1"

IS_ROOT = os.geteuid() == 0
# The unprivileged account that owns virtual users' mailboxes in tests run
# as root (VirtualMailAccount).
VIRTUAL_MAIL_ACCOUNT = "zeltest-mail"
# Serialises the account's making between test processes run side by side.
ACCOUNT_LOCK = os.path.join(tempfile.gettempdir(), "zeltest-accounts.lock")


def system_account(name):
    """The passwd entry of the system account name, made with useradd when
    missing (no home, no login shell); made once, idempotently, under a lock
    that test processes running at once share."""
    with open(ACCOUNT_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            return pwd.getpwnam(name)
        except KeyError:
            result = subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                                     "/usr/sbin/nologin", name], capture_output=True, text=True,
                                    timeout=WAIT_SECONDS)
            if result.returncode not in (0, 9):   # 9: made meanwhile by someone else
                raise AssertionError("useradd %s: %s" % (name, result.stderr))
            return pwd.getpwnam(name)


def mail_owner():
    """(uid, gid) that owns a test user's mailbox: the virtual mail account
    when root, else this process's own."""
    if not IS_ROOT:
        return os.geteuid(), os.getegid()
    entry = system_account(VIRTUAL_MAIL_ACCOUNT)
    return entry.pw_uid, entry.pw_gid


def give_to_mail_owner(*paths):
    """Gives what a test put into a virtual user's mailbox to the mailbox's
    owner, as the user's own files are."""
    uid, gid = mail_owner()
    for path in paths:
        os.chown(path, uid, gid)


def make_reachable(root):
    """A scratch root as an installation has it: it and the directories
    above ZEL's own ones (/var/spool, /var/lib, /var/log) exist and anyone
    may pass through them (the service and mail accounts reach their files
    through them)."""
    os.chmod(root, 0o755)
    for part in ("var", "var/spool", "var/lib", "var/log"):
        path = os.path.join(root, part)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, 0o755)


# What a sanitizer writes to standard error when it finds a fault.
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "AddressSanitizer:DEADLYSIGNAL")


def check_sanitizer(program, text):
    """Appends the sanitizer reports in text (a program's standard error) to
    the file named by ZEL_SANITIZER_LOG; True when there were some."""
    if not text or not any(marker in text for marker in SANITIZER_MARKERS):
        return False
    path = os.environ.get("ZEL_SANITIZER_LOG")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write("==== %s\n%s\n" % (program, text))
    return True


def golden(name, **fields):
    """The text of the golden file name with every "{field}" replaced."""
    with open(os.path.join(GOLDEN_DIR, name), encoding="utf-8", newline="") as f:
        text = f.read()
    for field, value in fields.items():
        text = text.replace("{%s}" % field, value)
    return text


def service_key(service):
    return "HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters" % service


def program_path(name):
    return os.path.join(BIN_DIR, name)


def has_ipv6_loopback():
    """Whether ::1 can be bound here (a container may have IPv6 off)."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def _reg_multi_string(items):
    data = b"".join(item.encode("latin-1") + b"\0" for item in items) + b"\0"
    return "hex(7):" + ",".join("%02x" % b for b in data)


def regedit_text(keys):
    """A REGEDIT4 text from {key: {name: value}}; int values are DWORDs,
    lists of str multi-strings."""
    lines = ["REGEDIT4", ""]
    for key, values in keys.items():
        lines.append("[%s]" % key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1))
        for name, value in values.items():
            if isinstance(value, int):
                data = "dword:%08x" % (value & 0xFFFFFFFF)
            elif isinstance(value, (list, tuple)):
                data = _reg_multi_string(value)
            else:
                data = _reg_string(value)
            lines.append("%s=%s" % (_reg_string(name), data))
        lines.append("")
    return "\r\n".join(lines)


class Scratch:
    """A scratch ZEL_ROOT with the environment the programs run in."""

    def __init__(self, prefix="zel-e2e-"):
        self.root = tempfile.mkdtemp(prefix=prefix)
        env = dict(os.environ)
        # Only the harness decides whether a service manager is present.
        env.pop("NOTIFY_SOCKET", None)
        env.pop("INVOCATION_ID", None)
        env["ZEL_ROOT"] = self.root
        env["ZEL_TEST"] = "1"
        self.env = env
        self.prepared = False   # the Tcpip values are set (prepare_registry)
        if IS_ROOT:
            make_reachable(self.root)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def spool(self, *parts):
        return self.path("var", "spool", "zel", *parts)

    def zeladm(self, *args, check=True, input=None):
        result = subprocess.run([program_path("zeladm"), *args], env=self.env, input=input,
                                capture_output=True, text=True, timeout=WAIT_SECONDS)
        check_sanitizer("zeladm " + " ".join(args), result.stderr)
        if check and result.returncode != 0:
            raise AssertionError("zeladm %s failed: %s%s" % (args, result.stdout, result.stderr))
        return result

    def reg_set(self, key, name, kind, *data):
        self.zeladm("reg", "set", key, name, kind, *data)

    def reg_import(self, keys):
        """Sets {key: {name: value}} in one zeladm run (int: DWORD, str: string)."""
        self.zeladm("reg", "import", "-", input=regedit_text(keys))

    def prepare_registry(self, name_server=DEAD_NAME_SERVER, services=None):
        """The Tcpip values every test needs, plus {service: {name: value}}.

        ServiceAccount is empty: a test's receiver runs as the user that
        started it, whether or not the machine has the "zel" account (a
        scratch root under /tmp is not the account's to reach). As root,
        VirtualMailAccount is the harness's own account. Failed logons are
        not counted per client network (LogonFailureLimit 0): every test
        client is 127.0.0.1, and tests fail logons on purpose; the test of
        the count turns it on. The
        receiver's submission ports and the POP3 server's TLS port are off
        unless the test names them (587, 465 and 995 are no test's to
        take); so is the IMAP server's (993)."""
        suite = {"ServiceAccount": "", "LogonFailureLimit": 0}
        if IS_ROOT:
            system_account(VIRTUAL_MAIL_ACCOUNT)
            suite["VirtualMailAccount"] = VIRTUAL_MAIL_ACCOUNT
        keys = {TCPIP_KEY: {"NameServer": name_server, "Hostname": HOST_NAME,
                            "Domain": DOMAIN_NAME},
                ZEL_KEY: suite,
                service_key("ZELRECV"): {"SubmissionPortNo": 0, "SubmissionTlsPortNo": 0},
                service_key("ZELFETCH"): {"TlsPortNo": 0},
                service_key("ZELIMAP"): {"TlsPortNo": 0}}
        for service, values in (services or {}).items():
            keys.setdefault(service_key(service), {}).update(values)
        self.reg_import(keys)
        self.prepared = True

    def self_signed(self, name=LOCAL_HOST):
        """A TLS pair made as an administrator does ("zeladm tls self-signed",
        which sets TlsCertificateFile and TlsKeyFile): (certificate, key)."""
        self.zeladm("tls", "self-signed", "--name", name)
        tls = self.path("etc", "zel", "tls")
        return os.path.join(tls, "cert.pem"), os.path.join(tls, "key.pem")

    def add_user(self, name, password, home=None):
        """A mail account with a password, in the accounts file. The
        password goes as zeladm takes it: one line on standard input."""
        self.zeladm("user", "add", name, "--password-stdin", *(["--home", home] if home else []),
                    input=password + "\n")

    def events(self):
        try:
            with open(self.path("var", "log", "zel", "events.log"), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class PeersCase(unittest.TestCase):
    """Servers started once for a test class: start_peers() starts them and
    appends each one's stop to cls.stops; they stop in reverse order at the
    end, and also when a start fails half-way. A class that may skip checks
    first and then calls super().setUpClass()."""

    @classmethod
    def setUpClass(cls):
        cls.stops = []
        try:
            cls.start_peers()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_peers(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        for stop in reversed(cls.stops):
            stop()


class ZeladmCase(unittest.TestCase):
    """A test case that drives zeladm as an administrator would, against a
    fresh ZEL_ROOT of its own (self.root, removed afterwards; self.env is
    the environment of every run).

    command: the words in front of every command's own (("user",) for a
    suite of "zeladm user" commands); stdout_errors: how ok() decodes
    output that is not UTF-8.
    """

    prefix = "zel-e2e-zeladm-"
    command = ()
    stdout_errors = "replace"

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix=self.prefix)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.env = dict(os.environ, ZEL_ROOT=self.root)

    def zeladm(self, *args, stdin=None, root=None, preexec=None):
        """One run (bytes out); root: another ZEL_ROOT for this run."""
        env = dict(self.env, ZEL_ROOT=root) if root else self.env
        result = subprocess.run([program_path("zeladm"), *self.command, *args], input=stdin,
                                capture_output=True, env=env, timeout=WAIT_SECONDS,
                                preexec_fn=preexec)
        check_sanitizer("zeladm " + " ".join(args), result.stderr.decode(errors="replace"))
        return result

    def ok(self, *args, **kw):
        """The output of a run that must succeed."""
        r = self.zeladm(*args, **kw)
        self.assertEqual(r.returncode, 0, f"{args}: {r.stderr.decode(errors='replace')}")
        return r.stdout.decode("utf-8", errors=self.stdout_errors)

    def fails(self, args, status, message, **kw):
        """The error output of a run that must end with status and say message."""
        r = self.zeladm(*args, **kw)
        err = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, status, f"{args}: {err}")
        self.assertIn(message, err, f"{args}")
        return err

    def all_at_once(self, commands, stdins=None):
        """Starts a run for each argument list at the same time (stdins: the
        standard input of each, bytes); each must succeed within the bounded
        wait (a hung one is killed)."""
        procs = []
        for args, stdin in zip(commands, stdins or [b""] * len(commands)):
            # Each input waits whole in its pipe before its run starts, so
            # that no run waits for the others' input.
            r, w = os.pipe()
            os.write(w, stdin)
            os.close(w)
            procs.append(subprocess.Popen([program_path("zeladm"), *self.command, *args],
                                          env=self.env, stdin=r, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE))
            os.close(r)
        for p in procs:
            self.addCleanup(stop_child, p)
        for args, p in zip(commands, procs):
            try:
                _, err = p.communicate(timeout=WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                self.fail(f"zeladm {args} hung")
            check_sanitizer("zeladm " + " ".join(args), err.decode(errors="replace"))
            self.assertEqual(p.returncode, 0, f"{args}: {err.decode(errors='replace')}")


class Manager:
    """The service manager's end of the notify protocol."""

    def __init__(self, scratch, name="notify.sock"):
        self.name = scratch.path(name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.name)
        # Like systemd's: a service that left root may still report.
        os.chmod(self.name, 0o666)
        self.reports = []

    def next(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        self.sock.settimeout(left)
        try:
            data = self.sock.recv(4096).decode()
        except socket.timeout:
            return None
        self.reports.append(data)
        return data

    def wait_for(self, line, seconds=WAIT_SECONDS):
        """Reads reports until one holds line; the report, or None."""
        deadline = time.monotonic() + seconds
        while True:
            report = self.next(deadline)
            if report is None or line in report.split("\n"):
                return report

    def close(self):
        self.sock.close()
        try:
            os.unlink(self.name)
        except FileNotFoundError:
            pass


def run(scratch, *args, env=None):
    return subprocess.run([*args], env=env or scratch.env, capture_output=True, text=True,
                          timeout=WAIT_SECONDS)


def wait_exit(proc, seconds=WAIT_SECONDS):
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return None


def stop_child(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait(timeout=WAIT_SECONDS)


def proc_status(pid, field):
    """A field of /proc/PID/status in kB (VmHWM, VmRSS), or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError, ValueError, IndexError):
        pass
    return None


def status_fields(pid):
    """[{field: value}] of /proc/PID/status for each thread of the process."""
    result = []
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
            result.append(dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line))
    return result


def child_pids(pid):
    """The processes whose parent is pid."""
    children = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                children += [int(c) for c in f.read().split()]
        except FileNotFoundError:
            pass
    return children


def process_ended(pid):
    """The process is gone, or a zombie nobody reaps (its parent died)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def inet_socket_inodes():
    """The inodes of every TCP, UDP and raw socket of this network namespace."""
    inodes = set()
    for table in ("tcp", "tcp6", "udp", "udp6", "raw", "raw6"):
        try:
            with open("/proc/net/" + table) as f:
                inodes.update(line.split()[9] for line in list(f)[1:])
        except FileNotFoundError:
            pass
    return inodes


def connection_inode(address, port):
    """The inode of the established TCP connection to address:port."""
    remote = "%s:%04X" % (socket.inet_aton(address)[::-1].hex().upper(), port)
    with open("/proc/net/tcp") as f:
        for fields in (line.split() for line in list(f)[1:]):
            if fields[2] == remote and fields[3] == "01":
                return fields[9]
    return None


def server_connection_inode(server_port, client_port):
    """The inode of the server's end of the TCP connection from client_port
    to server_port on this machine (IPv4 or IPv6)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for fields in (line.split() for line in list(f)[1:]):
                if (int(fields[1].rsplit(":", 1)[1], 16) == server_port
                        and int(fields[2].rsplit(":", 1)[1], 16) == client_port):
                    return fields[9]
    return None


def socket_inodes(pid):
    """The sockets a process holds, by inode."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    return inodes


def socket_holders(inode):
    """The processes that hold the socket inode."""
    holders = set()
    for pid in (int(p) for p in os.listdir("/proc") if p.isdigit()):
        try:
            if inode in socket_inodes(pid):
                holders.add(pid)
        except OSError:
            pass
    return holders


class AccountCase(unittest.TestCase):
    """A system account of the suite's own (ACCOUNT: each suite its name,
    since suites run at once) for the services to switch to, made once and
    kept (system_account). Needs root; the case is skipped otherwise."""

    ACCOUNT = "zeltest-account"

    @classmethod
    def setUpClass(cls):
        if not IS_ROOT:
            raise unittest.SkipTest("needs root: the services start as root and switch users")
        cls.account = cls.ACCOUNT
        entry = system_account(cls.ACCOUNT)
        cls.uid, cls.gid = entry.pw_uid, entry.pw_gid


def assert_unprivileged(case, pid, uid, gid=None):
    """Every thread of pid runs as uid (and gid) with no capability and no
    way to gain one."""
    for thread in status_fields(pid):
        case.assertEqual(thread["Uid"].split(), [str(uid)] * 4)
        if gid is not None:
            case.assertEqual(thread["Gid"].split(), [str(gid)] * 4)
        for field in ("CapEff", "CapPrm", "CapInh", "CapAmb"):
            case.assertEqual(int(thread[field], 16), 0, "%s of thread %s" % (field, thread["Pid"]))
        case.assertEqual(thread["NoNewPrivs"], "1")


class Service:
    """One service program run with "-run" under the stand-in manager.

    start() returns once READY=1 was reported (and, with a port, once the
    port answers with a greeting that starts with greeting: "220 " for SMTP,
    "+OK " for POP3); stop() sends SIGTERM and kills the program when it has
    not ended within the bounded wait. Use it as a context manager, or call
    stop() in a finally/cleanup in all cases.
    """

    def __init__(self, scratch, program, port=None, env=None, greeting=b"220 ",
                 goodbye=b"QUIT\r\n"):
        self.scratch = scratch
        self.program = program
        self.port = port
        self.greeting = greeting
        self.goodbye = goodbye
        self.env = dict(scratch.env, **(env or {}))
        self.proc = None
        self.manager = None
        self.stderr_path = scratch.path("%s.%d.stderr" % (program, id(self)))
        self.prefix = []    # a command the program runs under (setpriv ...), which execs it

    def start(self):
        if not self.scratch.prepared:
            raise AssertionError("prepare_registry first: no service may reach the resolver")
        self.manager = Manager(self.scratch, "notify-%s-%d.sock" % (self.program, id(self)))
        env = dict(self.env, NOTIFY_SOCKET=self.manager.name)
        with open(self.stderr_path, "w") as log:
            self.proc = subprocess.Popen(self.prefix + [program_path(self.program), "-run"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=log)
        try:
            if self.manager.wait_for("READY=1") is None:
                raise AssertionError("%s reported no READY=1; reports %s; stderr %s"
                                     % (self.program, self.manager.reports, self.stderr()))
            if self.port is not None:
                self.wait_for_greeting()
        except BaseException:
            self.stop()
            raise
        return self

    def wait_for_greeting(self, host="127.0.0.1"):
        """READY=1 may come before the listener is up: probe until it greets."""
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            try:
                with socket.create_connection((host, self.port), timeout=WAIT_SECONDS) as s:
                    s.settimeout(WAIT_SECONDS)
                    greeting = s.recv(512)
                    if greeting.startswith(self.greeting):
                        s.sendall(self.goodbye)
                        s.recv(512)
                        return greeting.decode("latin-1")
            except OSError:
                pass
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("%s does not answer on port %d; stderr %s"
                                     % (self.program, self.port, self.stderr()))
            time.sleep(0.05)

    def stderr(self):
        try:
            with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def peak_memory_kb(self):
        return proc_status(self.proc.pid, "VmHWM") if self.proc else None

    def stop(self, seconds=WAIT_SECONDS):
        """SIGTERM, a bounded wait, then SIGKILL; the exit status (None if killed)."""
        status = None
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
            status = wait_exit(self.proc, seconds)
            stop_child(self.proc)
            check_sanitizer(self.program, self.stderr())
        if self.manager is not None:
            self.manager.close()
            self.manager = None
        return status

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class SmtpConnection:
    """A raw SMTP client: exact bytes out, exact reply lines back. source:
    the client's own address (another loopback address, "127.0.0.9"), so a
    test can be a different client."""

    def __init__(self, port, host="127.0.0.1", timeout=WAIT_SECONDS, source=None):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.timeout = timeout
        self.buffer = b""

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def reply(self, timeout=None):
        """The next reply line with its CR LF, as text; AssertionError at EOF."""
        self.sock.settimeout(timeout or self.timeout)
        while b"\n" not in self.buffer:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                raise AssertionError("no reply within %s s; pending %r"
                                     % (timeout or self.timeout, self.buffer)) from None
            if not data:
                raise AssertionError("connection closed; pending %r" % self.buffer)
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return (line + b"\n").decode("latin-1")

    def command(self, line):
        self.send(line + "\r\n")
        return self.reply()

    def multiline(self, line=None):
        """The lines of the next (multi-line) reply, to line when given:
        "250-..." lines up to the "250 ..." one."""
        if line is not None:
            self.send(line + "\r\n")
        lines = [self.reply()]
        while lines[-1][3:4] == "-":
            lines.append(self.reply())
        return lines

    def replies(self, count):
        return [self.reply() for _ in range(count)]

    def read_until(self, marker, timeout=None, limit=64 << 20):
        """Bytes up to and including the first marker (a multi-line POP3
        answer ends with b"\r\n.\r\n"); AssertionError at EOF, on time-out
        or past limit bytes."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while marker not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or len(self.buffer) > limit:
                raise AssertionError("no %r within %s s; pending %r"
                                     % (marker, timeout or self.timeout, self.buffer[-200:]))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not data:
                raise AssertionError("connection closed; pending %r" % self.buffer[-200:])
            self.buffer += data
        end = self.buffer.index(marker) + len(marker)
        data, self.buffer = self.buffer[:end], self.buffer[end:]
        return data

    def read_exact(self, count, timeout=None):
        """Exactly count bytes; AssertionError at EOF or on time-out."""
        deadline = time.monotonic() + (timeout or self.timeout)
        chunks, have = [self.buffer], len(self.buffer)   # joined once: messages can be large
        while have < count:
            left = deadline - time.monotonic()
            data = self._recv_some(left) if left > 0 else None
            if not data:
                self.buffer = b"".join(chunks)
                raise AssertionError("%d of %d bytes within %s s (%s); last %r" % (
                    have, count, timeout or self.timeout,
                    "closed" if data == b"" else "timed out", self.buffer[-200:]))
            chunks.append(data)
            have += len(data)
        data = b"".join(chunks)
        self.buffer = data[count:]
        return data[:count]

    def _recv_some(self, seconds):
        """Up to 1 MiB that arrives within seconds; b"" at EOF, None on time-out."""
        self.sock.settimeout(seconds)
        try:
            return self.sock.recv(1 << 20)
        except socket.timeout:
            return None

    def closed_silently(self, seconds=WAIT_SECONDS):
        """True when the peer closes (EOF or reset) within seconds without
        sending a byte; False when it sends something or stays open."""
        if self.buffer:
            return False
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True
            if data:
                self.buffer += data
                return False
            return True
        return False

    def pending(self, seconds):
        """Bytes that arrive within seconds (b"" when none came)."""
        if self.buffer:
            data, self.buffer = self.buffer, b""
            return data
        self.sock.settimeout(max(seconds, 0.001))
        try:
            return self.sock.recv(65536)
        except (socket.timeout, BlockingIOError):
            return b""

    def read_to_close(self, seconds=WAIT_SECONDS):
        """The bytes the peer sends up to its close (EOF or reset);
        AssertionError when it is still open after seconds."""
        data, self.buffer = self.buffer, b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                chunk = self._recv_some(max(0.01, deadline - time.monotonic()))
            except ConnectionResetError:
                return data
            if chunk == b"":
                return data
            data += chunk or b""
        raise AssertionError("still open after %s s; sent %r" % (seconds, data))

    def wait_closed(self, seconds=WAIT_SECONDS):
        """True when the peer closes (EOF or reset) within seconds; data is dropped."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True
        return False

    def start_tls(self, context=None):
        """The TLS handshake, once the server has said go (STARTTLS's 220):
        the same connection, encrypted. Nothing may have arrived before it."""
        if self.buffer:
            raise AssertionError("bytes in clear behind the go-ahead: %r" % self.buffer)
        self.sock = (context or client_tls_context()).wrap_socket(self.sock)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def client_tls_context():
    """A client's TLS context that takes the test's self-signed certificate."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


# The start of every POP3 greeting.
POP3_GREETING = b"+OK "


class ServerOnPort:
    """One service program alone on a free port with the given Parameters
    values; the shape Receiver and Pop3Server share.

    With no scratch given it makes (and at stop removes) its own. A subclass
    names the service key and program, and writes what else it needs before
    the start in prepare(). Call stop() in all cases.
    """

    service_name = None     # the service key, "ZELRECV"
    program = None          # the program, "zelrecv"
    greeting = b"220 "      # how its greeting starts
    goodbye = b"QUIT\r\n"   # what ends a dialogue at once

    def __init__(self, settings=None, scratch=None, env=None, prefix="zel-e2e-"):
        self.own_scratch = scratch is None
        self.scratch = scratch or Scratch(prefix)
        self.service = None
        try:
            self.port = free_port()
            self.values = dict({"PortNo": self.port}, **(settings or {}))
            self.scratch.prepare_registry(services={self.service_name: self.values})
            self.prepare()
        except BaseException:
            self.stop()
            raise
        self.service = Service(self.scratch, self.program, port=self.port, env=env,
                               greeting=self.greeting, goodbye=self.goodbye)

    def prepare(self):
        """Registry values and files a server needs before its start."""

    def start(self):
        try:
            self.service.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        status = self.service.stop() if self.service is not None else None
        if self.own_scratch:
            self.scratch.cleanup()
        return status

    def connect(self, host="127.0.0.1", timeout=REPLY_SECONDS, source=None, port=None,
                tls=False):
        """A connection (to port, else the server's port) whose greeting has
        been read into .greeting; tls: encrypted from the first byte."""
        conn = SmtpConnection(port or self.port, host, timeout, source)
        try:
            if tls:
                conn.start_tls()
            conn.greeting = conn.reply()
        except BaseException:
            conn.close()
            raise
        return conn


class Receiver(ServerOnPort):
    """zelrecv on a free port with the given Parameters values (ServerOnPort).

    queue is the incoming directory, renamed by "MailQueueDir" when that is set.
    submission: the submission port on a free port too (submission_port),
    and with tls the implicit-TLS one (submission_tls_port); tls: a
    self-signed pair (cert, key) made before the start; users: {name:
    password} accounts for AUTH.
    """

    service_name, program = "ZELRECV", "zelrecv"

    def __init__(self, settings=None, scratch=None, env=None, prefix="zel-e2e-recv-",
                 submission=False, tls=False, users=None):
        self.tls, self.users = tls, users or {}
        settings = dict(settings or {})
        if submission:
            settings.setdefault("SubmissionPortNo", free_port())
            if tls:
                settings.setdefault("SubmissionTlsPortNo", free_port())
        super().__init__(settings, scratch, env, prefix)
        self.queue = self.scratch.spool(self.values.get("MailQueueDir", "incoming"))
        self.inlog = self.scratch.spool("inlog")
        self.submission_port = self.values.get("SubmissionPortNo")
        self.submission_tls_port = self.values.get("SubmissionTlsPortNo")

    def prepare(self):
        for name, password in self.users.items():
            self.scratch.add_user(name, password)
        if self.tls:
            self.cert, self.key = self.scratch.self_signed()

    def send_message(self, sender, recipients, data, helo="client.example"):
        """One whole dialogue; data is sent as given (end marker included).

        The final reply to the data, or the first reply that was not the one
        the dialogue needs.
        """
        with self.connect() as conn:
            steps = [("HELO " + helo, "250 ")] if helo is not None else []
            if sender is not None:
                steps.append(("MAIL FROM:<%s>" % sender, "250 "))
            steps += [("RCPT TO:<%s>" % r, "250 ") for r in recipients]
            steps.append(("DATA", "354 "))
            for line, want in steps:
                reply = conn.command(line)
                if not reply.startswith(want):
                    return reply
            conn.send(data)
            reply = conn.reply()
            conn.command("QUIT")
            return reply


    def served_certificate(self):
        """The certificate (DER) a STARTTLS handshake on PortNo gets."""
        with self.connect() as conn:
            conn.multiline("EHLO c")
            if conn.command("STARTTLS") != "220 Ready to start TLS\r\n":
                raise AssertionError("STARTTLS refused")
            conn.start_tls()
            return conn.sock.getpeercert(binary_form=True)


def pop3_log_text(scratch):
    """All lines of the POP3 activity logs (every day's file), as text."""
    directory = scratch.spool("Pop3log")
    text = ""
    for name in files_with(directory, "log"):
        with open(os.path.join(directory, name), encoding="latin-1") as f:
            text += f.read()
    return text


class MailAccessServer(ServerOnPort):
    """A mail-access server (POP3, IMAP) on a free port with the given
    Parameters values (ServerOnPort).

    suite: values of the suite key; users: {name: password} accounts made
    with zeladm before the start; tls: a self-signed pair made before the
    start, and TlsPortNo on a free port too (tls_port).
    """

    def __init__(self, settings=None, suite=None, users=None, scratch=None, env=None,
                 prefix="zel-e2e-access-", tls=False):
        self.suite, self.users, self.tls = suite, users, tls
        settings = dict(settings or {})
        if tls:
            settings.setdefault("TlsPortNo", free_port())
        super().__init__(settings, scratch, env, prefix)
        self.tls_port = self.values.get("TlsPortNo")

    def prepare(self):
        if self.suite:
            self.scratch.reg_import({ZEL_KEY: dict(self.suite)})
        for name, password in (self.users or {}).items():
            self.add_user(name, password)
        if self.tls:
            self.cert, self.key = self.scratch.self_signed()

    def add_user(self, name, password):
        self.scratch.add_user(name, password)

    def mailbox(self, user, *parts):
        """The default mailbox directory of user (lower case), or a file in it."""
        return self.scratch.path("var", "mailbox", user.lower(), *parts)


class Pop3Server(MailAccessServer):
    """zelfetch on a free port (MailAccessServer)."""

    service_name, program, greeting = "ZELFETCH", "zelfetch", POP3_GREETING

    def __init__(self, settings=None, suite=None, users=None, scratch=None, env=None,
                 prefix="zel-e2e-pop3-", tls=False):
        super().__init__(settings, suite, users, scratch, env, prefix, tls)

    def log_text(self):
        return pop3_log_text(self.scratch)


# The start of every IMAP greeting, and what ends a dialogue at once.
IMAP_GREETING = b"* OK "
IMAP_GOODBYE = b"z LOGOUT\r\n"


class ImapServer(MailAccessServer):
    """zelimap on a free port (MailAccessServer); connect() gives an
    ImapConnection, login() one that has logged on."""

    service_name, program = "ZELIMAP", "zelimap"
    greeting, goodbye = IMAP_GREETING, IMAP_GOODBYE

    def __init__(self, settings=None, suite=None, users=None, scratch=None, env=None,
                 prefix="zel-e2e-imap-", tls=False):
        # ManageSieve on a free port of its own, never the shared 4190.
        settings = dict(settings or {})
        settings.setdefault("SievePortNo", free_port())
        super().__init__(settings, suite, users, scratch, env, prefix, tls)
        self.sieve_port = self.values.get("SievePortNo")

    def connect(self, host="127.0.0.1", timeout=REPLY_SECONDS, source=None, port=None,
                tls=False):
        return imap_connect(port or self.port, host, timeout, source, tls)

    def login(self, user, password, **connect_options):
        return imap_login(self.connect(**connect_options), user, password)


class ImapConnection(SmtpConnection):
    """A raw IMAP client: exact bytes out, whole response lines back (a
    line with literals comes with them, as bytes)."""

    def __init__(self, port, host="127.0.0.1", timeout=REPLY_SECONDS, source=None):
        super().__init__(port, host, timeout, source)
        self.serial = 0

    def line(self, timeout=None):
        """The next response line (CR LF included) with its literals."""
        data = self.read_until(b"\r\n", timeout)
        while True:
            literal = re.search(rb"~?\{(\d+)\}\r\n$", data)
            if literal is None:
                return data
            data += self.read_exact(int(literal.group(1)), timeout)
            data += self.read_until(b"\r\n", timeout)

    def run(self, command, tag=None, timeout=None):
        """Sends "<tag> <command>" (a fresh tag when none is given) and
        reads to its tagged response: (untagged lines, tagged line), as
        latin-1 text."""
        if tag is None:
            self.serial += 1
            tag = "t%d" % self.serial
        if isinstance(command, str):
            command = command.encode("utf-8")
        self.send(tag.encode() + b" " + command + b"\r\n")
        return self.until_tagged(tag, timeout)

    def answer(self, command, timeout=None):
        """The tagged response to command, without its tag."""
        return self.run(command, timeout=timeout)[1].split(" ", 1)[1]

    def until_tagged(self, tag, timeout=None):
        untagged = []
        while True:
            line = self.line(timeout).decode("latin-1")
            if line.startswith(tag + " "):
                return untagged, line
            untagged.append(line)

    def ok(self, command, timeout=None):
        """run(), asserting a tagged OK; the untagged lines."""
        untagged, tagged = self.run(command, timeout=timeout)
        if tagged.split(" ", 2)[1:2] != ["OK"]:
            raise AssertionError("%s: %s (after %r)" % (command, tagged, untagged))
        return untagged


def imap_connect(port, host="127.0.0.1", timeout=REPLY_SECONDS, source=None, tls=False):
    """An ImapConnection whose greeting has been read into .greeting."""
    conn = ImapConnection(port, host, timeout, source)
    try:
        if tls:
            conn.start_tls()
        conn.greeting = conn.line().decode("latin-1")
    except BaseException:
        conn.close()
        raise
    return conn


def imap_login(conn, user, password):
    """Logs conn on with LOGIN (quoted strings); AssertionError otherwise."""
    quoted = ['"%s"' % v.replace("\\", "\\\\").replace('"', '\\"') for v in (user, password)]
    untagged, tagged = conn.run("LOGIN %s %s" % tuple(quoted))
    if " OK " not in tagged:
        conn.close()
        raise AssertionError("LOGIN %s: %s" % (user, tagged))
    return conn


def swaks_send(port, sender, recipient, data, helo):
    """One message sent with swaks (a test peer) to 127.0.0.1:port; data is
    bytes without the last line break and "." line, which swaks adds.
    Returns the finished process (text output)."""
    with tempfile.NamedTemporaryFile("wb", suffix=".eml") as f:
        f.write(data)
        f.flush()
        return subprocess.run(
            ["swaks", "--server", "127.0.0.1:%d" % port, "--protocol", "SMTP", "--helo", helo,
             "--from", sender, "--to", recipient, "--data", "@" + f.name,
             "--timeout", str(WAIT_SECONDS)],
            capture_output=True, text=True, timeout=WAIT_SECONDS * 2)


class Tmpfs:
    """A small tmpfs mounted on path (made if missing), for the disk-full
    tests; unittest.SkipTest with the reason when mounting is not allowed
    (not root, no mount(8), a container without the right). fill() takes
    all its space but `pages` pages; unmount() in all cases (a lazy
    unmount, so a program still inside cannot keep it)."""

    PAGE = 4096

    def __init__(self, path, size):
        if os.geteuid() != 0 or not shutil.which("mount"):
            raise unittest.SkipTest("mounting a tmpfs needs root and mount(8)")
        os.makedirs(path, exist_ok=True)
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0700" % size,
                                 "zeltest", path], capture_output=True, text=True)
        if result.returncode != 0:
            raise unittest.SkipTest("mounting a tmpfs is not allowed here: "
                                    + result.stderr.strip())
        self.path = path
        self.filler = os.path.join(path, ".zeltest-filler")

    def free_pages(self):
        st = os.statvfs(self.path)
        return st.f_bavail * st.f_frsize // self.PAGE

    def fill(self, pages=0):
        """Fills the file system to the brim, then gives back `pages` pages."""
        fd = os.open(self.filler, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            for chunk in (b"\0" * (1 << 20), b"\0" * self.PAGE):
                try:
                    while os.write(fd, chunk) == len(chunk):
                        pass
                except OSError:
                    pass
            size = os.fstat(fd).st_size
            os.ftruncate(fd, max(0, size - size % self.PAGE - pages * self.PAGE))
        finally:
            os.close(fd)

    def empty(self):
        """Gives the filler's space back."""
        try:
            os.unlink(self.filler)
        except FileNotFoundError:
            pass

    def unmount(self):
        subprocess.run(["umount", "-l", self.path], capture_output=True)


def list_spool_pairs(directory):
    """{base name: set of extensions} of the message and recipient files."""
    pairs = {}
    for name in os.listdir(directory):
        base, dot, ext = name.rpartition(".")
        if dot and ext in ("MSG", "RCP"):
            pairs.setdefault(base, set()).add(ext)
    return pairs


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


MSGID_RE = re.compile(r"^B\d{10}$")


# ---------------------------------------------------------------------------
# A whole mail system: receiver and delivery agent on one scratch root.

ALIASES_KEY = ZEL_KEY + "\\Aliases"
LOCAL_QUEUE = "$local$"

# How often the mailbox and spool polls look again, seconds.
POLL_SECONDS = 0.05
# How long the spool must stay unchanged to count as idle, seconds.
SETTLE_SECONDS = 0.5


def poll(predicate, seconds=WAIT_SECONDS, interval=POLL_SECONDS):
    """Calls predicate until it returns something true, at most seconds long.

    Returns that value, or the last (false) value when time ran out.
    """
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def write_file(path, data):
    """Writes data (bytes or text, taken as is) under a temporary name and
    renames it into place, so no reader ever sees half of it."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        f.write(data)
    os.rename(tmp, path)


def files_with(directory, extension):
    """Sorted names in directory that end in "." + extension ([] if missing)."""
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return []
    return sorted(n for n in names if n.endswith("." + extension))


class MailSystem:
    """zelrecv and zeldeliv on one scratch ZEL_ROOT, with mail accounts.

    users: account names, created with "zeladm user add" (no password);
    suite: values of the suite key; recv, deliv: each service's Parameters;
    fetch: zelfetch's Parameters, or None to run no POP3 server (its port
    is pop3_port); imap: zelimap's the same way (imap_port, imap_connect()
    on it); passwords: {user: password} for the accounts in users;
    aliases: {number: (Alias, MappedTo)} written as the numbered subkeys of
    Aliases (None leaves that value out). int values are DWORDs.
    env: extra environment of both programs (TZ, say). name_server: the
    Tcpip NameServer value (a test's own loopback name server).
    Call stop() in all cases; it also removes the scratch root.
    """

    def __init__(self, users=(), suite=None, recv=None, deliv=None, aliases=None, env=None,
                 prefix="zel-e2e-mail-", fetch=None, passwords=None,
                 name_server=DEAD_NAME_SERVER, imap=None):
        self.scratch = Scratch(prefix)
        self.receiver = self.agent = self.fetcher = self.imap = None
        try:
            self.port = free_port()
            self.pop3_port = free_port() if fetch is not None else None
            self.imap_port = free_port() if imap is not None else None
            services = {"ZELRECV": dict({"PortNo": self.port}, **(recv or {})),
                        "ZELDELIV": dict(deliv or {})}
            if fetch is not None:
                services["ZELFETCH"] = dict({"PortNo": self.pop3_port}, **fetch)
            if imap is not None:
                services["ZELIMAP"] = dict({"PortNo": self.imap_port, "SievePortNo": free_port()},
                                           **imap)
            self.scratch.prepare_registry(name_server=name_server, services=services)
            keys = {ZEL_KEY: dict(suite or {})}
            for number, (mask, result) in sorted((aliases or {}).items()):
                values = {}
                if mask is not None:
                    values["Alias"] = mask
                if result is not None:
                    values["MappedTo"] = result
                keys["%s\\%d" % (ALIASES_KEY, number)] = values
            self.scratch.reg_import(keys)
            for user in users:
                self.add_user(user, password=(passwords or {}).get(user))
        except BaseException:
            self.scratch.cleanup()
            raise
        self.receiver = Service(self.scratch, "zelrecv", port=self.port, env=env)
        self.agent = Service(self.scratch, "zeldeliv", env=env)
        if fetch is not None:
            self.fetcher = Service(self.scratch, "zelfetch", port=self.pop3_port, env=env,
                                   greeting=POP3_GREETING)
        if imap is not None:
            self.imap = Service(self.scratch, "zelimap", port=self.imap_port, env=env,
                                greeting=IMAP_GREETING, goodbye=IMAP_GOODBYE)

    def imap_connect(self, **options):
        return imap_connect(self.imap_port, **options)

    def add_user(self, name, home=None, password=None):
        if password is not None:
            self.scratch.add_user(name, password, home)
        else:
            self.scratch.zeladm("user", "add", name, *(["--home", home] if home else []))

    def start(self, agent=True):
        try:
            self.receiver.start()
            if agent:
                self.agent.start()
            for service in (self.fetcher, self.imap):
                if service is not None:
                    service.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self, keep=False):
        """Stops both programs; their exit statuses (None when killed). The
        scratch root is removed unless keep is true (for a look after a
        failure)."""
        statuses = {}
        try:
            for service in (self.imap, self.fetcher, self.agent, self.receiver):
                if service is not None:
                    statuses[service.program] = service.stop()
        finally:
            if not keep:
                self.scratch.cleanup()
        return statuses

    def stop_checked(self, case):
        """stop() at the end of a unittest case (its cleanup): the case fails
        when zeldeliv ended on its own during the test or did not stop with
        status 0. ZEL_E2E_KEEP=1 keeps the scratch root for a look afterwards."""
        agent = self.agent
        died = agent.proc is not None and agent.proc.poll() is not None
        stderr = agent.stderr()[-3000:]
        keep = bool(os.environ.get("ZEL_E2E_KEEP"))
        statuses = self.stop(keep=keep)
        if keep:
            print("\nkept scratch root %s" % self.scratch.root)
        if agent.proc is not None:
            case.assertFalse(died, "zeldeliv ended during the test: %s" % stderr)
            case.assertEqual(statuses.get("zeldeliv"), 0, "zeldeliv stop: %s" % stderr)

    # -- paths -------------------------------------------------------------

    def spool(self, *parts):
        return self.scratch.spool(*parts)

    def mailbox(self, user, *parts):
        """The default mailbox directory of user (lower case), or a file in it."""
        return self.scratch.path("var", "mailbox", user.lower(), *parts)

    def write_mailbox_file(self, user, name, data):
        """A file of a virtual user's in its mailbox (made when missing),
        both the mailbox owner's."""
        os.makedirs(self.mailbox(user), exist_ok=True)
        write_file(self.mailbox(user, name), data)
        give_to_mail_owner(self.mailbox(user), self.mailbox(user, name))

    def messages(self, user):
        """The message files in user's mailbox, sorted."""
        return files_with(self.mailbox(user), "MSG")

    def read_message(self, user, name):
        return read_bytes(self.mailbox(user, name))

    def hold_domain(self, domain):
        """Makes the remote domain wait for ten minutes: a domain record that
        says the first attempt has just failed. Mail for it then stays in its
        queue directory, where a test can read it."""
        write_file(self.spool("domains", domain, "DOMAIN.MRI"),
                   "Domain-name: %s\r\nLast-tried: %d\r\nTry-number: 1\r\n"
                   % (domain, int(time.time())))

    # -- mail --------------------------------------------------------------

    def send(self, sender, recipients, data, helo="client.example", mail_options=()):
        """One SMTP transaction with smtplib; data is the message without the
        end marker (smtplib doubles leading dots and adds it)."""
        import smtplib
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname=helo,
                          timeout=WAIT_SECONDS) as client:
            refused = client.sendmail(sender, list(recipients), data,
                                      mail_options=list(mail_options))
        if refused:
            raise AssertionError("recipients refused: %r" % refused)

    # -- waits -------------------------------------------------------------

    def wait_messages(self, user, count, seconds=WAIT_SECONDS):
        """Polls until user's mailbox holds at least count message files;
        returns the names (fewer when time ran out)."""
        found = poll(lambda: (lambda names: names if len(names) >= count else None)(
            self.messages(user)), seconds)
        return found if found else self.messages(user)

    def busy(self):
        """What still waits for the agent: message and recipient files in
        incoming, recipient files in the local queue, and held messages that
        no remote queue refers to."""
        pending = files_with(self.spool("incoming"), "RCP") + files_with(self.spool("incoming"),
                                                                          "MSG")
        pending += files_with(self.spool("domains", LOCAL_QUEUE), "RCP")
        referenced = set()
        try:
            for domain in os.listdir(self.spool("domains")):
                if domain != LOCAL_QUEUE:
                    referenced.update(n[:-4].upper() for n in
                                      files_with(self.spool("domains", domain), "RCP"))
        except FileNotFoundError:
            pass
        pending += [n for n in files_with(self.spool("holding"), "MSG")
                    if n[:-4].upper() not in referenced]
        return pending

    def wait_idle(self, seconds=WAIT_SECONDS):
        """Polls until nothing waits for the agent for SETTLE_SECONDS; returns
        what still waits (empty when idle)."""
        deadline = time.monotonic() + seconds
        quiet_since = None
        while True:
            pending = self.busy()
            now = time.monotonic()
            if pending:
                quiet_since = None
            elif quiet_since is None:
                quiet_since = now
            elif now - quiet_since >= SETTLE_SECONDS:
                return []
            if now >= deadline:
                return pending
            time.sleep(POLL_SECONDS)


# ---------------------------------------------------------------------------
# Mail filters: the scripted pymilter filter (scriptfilter.py)

SCRIPT_FILTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scriptfilter.py")


def pymilter_missing():
    """Why the scripted filter cannot run ("" when it can)."""
    try:
        import Milter  # noqa: F401  (package python3-milter)
    except ImportError:
        return "python3-milter is not installed"
    return ""


class ScriptFilter:
    """scriptfilter.py on listen ("inet:127.0.0.1:PORT"), with a script
    (dict) or a raw mode; .spec is its Milters entry, .records() what it was
    sent. A context manager; stop() ends it."""

    def __init__(self, listen, script=None, raw="", record=None):
        args = [sys.executable, SCRIPT_FILTER, "--listen", listen]
        if raw:
            args += ["--raw", raw]
        else:
            args += ["--script", json.dumps(script or {})]
        self.record = record
        if record:
            args += ["--record", record]
            if os.path.exists(record):
                os.unlink(record)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()   # "READY spec"; "" when it died
        if not line.startswith("READY "):
            self.stop()
            raise RuntimeError("the scripted filter did not start")
        self.spec = line.split()[1]

    def records(self, stage=None):
        if not self.record or not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            entries = [json.loads(line) for line in f]
        return [e for e in entries if stage is None or e.get("stage") == stage]

    def stop(self):
        stop_child(self.proc)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
