"""Shared pieces of the end-to-end tests and benchmarks (stdlib only).

A test builds a scratch ZEL_ROOT (Scratch), writes the registry values it
needs through zeladm, and runs a service program with "-run" under a
stand-in service manager (Service): the harness owns the datagram socket
named in NOTIFY_SOCKET, waits for READY=1, and stops the program with
SIGTERM, killing it when it does not end in time. Every wait is bounded.

Before any service starts, the Tcpip values are set: the name servers point
at 127.0.0.1:1 (or a test's own fake server), so no test ever queries the
machine's resolver, and Hostname and Domain give the deterministic local
host name "zeltest.example.test" for connections to 127.0.0.1.

SmtpConnection is a raw socket client that returns replies byte for byte,
for tests that compare the system's exact texts.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BUILD_DIR = os.environ.get("ZEL_BUILD_DIR",
                           os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                        "..", "..", "build"))
BIN_DIR = os.path.join(BUILD_DIR, "bin")

# Every wait of a test is bounded by this many seconds.
WAIT_SECONDS = 20

ZEL_KEY = "HKLM\\Software\\TALVO\\ZEL"
TCPIP_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"

# The local identity every test machine gets through the Tcpip values.
HOST_NAME = "zeltest"
DOMAIN_NAME = "example.test"
LOCAL_HOST = HOST_NAME + "." + DOMAIN_NAME

# Nothing listens there: a program that asks the name servers gets no answer.
DEAD_NAME_SERVER = "127.0.0.1:1"


def service_key(service):
    return "HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters" % service


def program_path(name):
    return os.path.join(BIN_DIR, name)


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def regedit_text(keys):
    """A REGEDIT4 text from {key: {name: value}}; int values are DWORDs."""
    lines = ["REGEDIT4", ""]
    for key, values in keys.items():
        lines.append("[%s]" % key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1))
        for name, value in values.items():
            if isinstance(value, int):
                data = "dword:%08x" % (value & 0xFFFFFFFF)
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

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def spool(self, *parts):
        return self.path("var", "spool", "zel", *parts)

    def zeladm(self, *args, check=True, input=None):
        result = subprocess.run([program_path("zeladm"), *args], env=self.env, input=input,
                                capture_output=True, text=True, timeout=WAIT_SECONDS)
        if check and result.returncode != 0:
            raise AssertionError("zeladm %s failed: %s%s" % (args, result.stdout, result.stderr))
        return result

    def reg_set(self, key, name, kind, *data):
        self.zeladm("reg", "set", key, name, kind, *data)

    def reg_import(self, keys):
        """Sets {key: {name: value}} in one zeladm run (int: DWORD, str: string)."""
        self.zeladm("reg", "import", "-", input=regedit_text(keys))

    def prepare_registry(self, name_server=DEAD_NAME_SERVER, services=None):
        """The Tcpip values every test needs, plus {service: {name: value}}."""
        keys = {TCPIP_KEY: {"NameServer": name_server, "Hostname": HOST_NAME,
                            "Domain": DOMAIN_NAME}}
        for service, values in (services or {}).items():
            keys[service_key(service)] = values
        self.reg_import(keys)

    def events(self):
        try:
            with open(self.path("var", "log", "zel", "events.log"), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Manager:
    """The service manager's end of the notify protocol."""

    def __init__(self, scratch, name="notify.sock"):
        self.name = scratch.path(name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.name)
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


class Service:
    """One service program run with "-run" under the stand-in manager.

    start() returns once READY=1 was reported (and, with a port, once the
    port answers with a "220 " greeting); stop() sends SIGTERM and kills the
    program when it has not ended within the bounded wait. Use it as a
    context manager, or call stop() in a finally/cleanup in all cases.
    """

    def __init__(self, scratch, program, port=None, env=None):
        self.scratch = scratch
        self.program = program
        self.port = port
        self.env = dict(scratch.env, **(env or {}))
        self.proc = None
        self.manager = None
        self.stderr_path = scratch.path("%s.%d.stderr" % (program, id(self)))

    def start(self):
        self.manager = Manager(self.scratch, "notify-%s-%d.sock" % (self.program, id(self)))
        env = dict(self.env, NOTIFY_SOCKET=self.manager.name)
        with open(self.stderr_path, "w") as log:
            self.proc = subprocess.Popen([program_path(self.program), "-run"], env=env,
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
                    if greeting.startswith(b"220 "):
                        s.sendall(b"QUIT\r\n")
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
        if self.manager is not None:
            self.manager.close()
            self.manager = None
        return status

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class SmtpConnection:
    """A raw SMTP client: exact bytes out, exact reply lines back."""

    def __init__(self, port, host="127.0.0.1", timeout=WAIT_SECONDS):
        self.sock = socket.create_connection((host, port), timeout=timeout)
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
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("connection closed; pending %r" % self.buffer)
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return (line + b"\n").decode("latin-1")

    def command(self, line):
        self.send(line + "\r\n")
        return self.reply()

    def replies(self, count):
        return [self.reply() for _ in range(count)]

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

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Receiver:
    """zelrecv on a free port with the given Parameters values.

    With no scratch given it makes (and at stop removes) its own. queue is
    the incoming directory, renamed by "MailQueueDir" when that is set.
    """

    def __init__(self, settings=None, scratch=None, env=None, prefix="zel-e2e-recv-"):
        self.own_scratch = scratch is None
        self.scratch = scratch or Scratch(prefix)
        self.port = free_port()
        values = {"PortNo": self.port}
        values.update(settings or {})
        try:
            self.scratch.prepare_registry(services={"ZELRECV": values})
        except BaseException:
            self.stop()
            raise
        self.queue = self.scratch.spool(values.get("MailQueueDir", "incoming"))
        self.inlog = self.scratch.spool("inlog")
        self.service = Service(self.scratch, "zelrecv", port=self.port, env=env)

    def start(self):
        try:
            self.service.start()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        status = self.service.stop() if hasattr(self, "service") else None
        if self.own_scratch:
            self.scratch.cleanup()
        return status

    def connect(self, host="127.0.0.1", timeout=WAIT_SECONDS):
        """A connection whose greeting has been read into .greeting."""
        conn = SmtpConnection(self.port, host, timeout)
        try:
            conn.greeting = conn.reply()
        except BaseException:
            conn.close()
            raise
        return conn

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
