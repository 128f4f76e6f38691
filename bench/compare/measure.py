"""What the side-by-side benchmark reads from /proc, and its load generators.

Process trees: a server is measured as the tree below its root processes
(ZEL's service programs; Postfix's master; Dovecot's master), so processes
that come and go during a run (Postfix's smtpd, Dovecot's pop3) are counted
too: tree_cpu() adds each live process's own processor time to the time of
the children it has already reaped (cutime and cstime in /proc/PID/stat),
which the kernel carries up to the parent that reaps them. Taken before and
after a run, the difference is what the tree used in between.

Run: the measured phase of one run. It notes the machine's busy time
(/proc/stat) and the processor time of everything this benchmark started
(the driver's own tree, which holds ZEL's programs, Dovecot, dnsmasq, the
sinks and the load generators, and Postfix's daemonised master), so that what is left is the
foreign load: cores used by other processes while the run lasted.

MemorySampler samples the resident (RSS) and proportional (PSS) size of a
set of trees every tenth of a second in a thread and keeps the peaks; PSS
shares each library page among the processes that map it, the fair sum for
a system made of many processes.

smtp_source() runs Postfix's load generator. Pop3Load runs pop3load.cpp,
the POP3 load generator (one thread and connection per mailbox, started
together), built with g++ into the scratch directory; ImapLoad runs
imapload.cpp, the IMAP one, built the same way; Pop3Client is the
same session in Python (the logon timings use it; it also stands in for
pop3load where no compiler is found, and then loads both sides of the run
alike). Only 127.0.0.0/8 is contacted; every wait is bounded.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

from benchlib import ClientThread

TICK = os.sysconf("SC_CLK_TCK")
SMTP_SOURCE = "/usr/sbin/smtp-source"
POP3_SECONDS = 120      # one POP3 reply may take this long
IMAP_SECONDS = 120      # one IMAP reply may take this long
# The load generators built from source: {name: (source, libraries)}.
LOAD_PROGRAMS = {"pop3load": ("pop3load.cpp", []),
                 "imapload": ("imapload.cpp", ["-lssl", "-lcrypto"])}


# ---------------------------------------------------------------------------
# /proc

def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (state first), or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()
    except (FileNotFoundError, ProcessLookupError, ValueError):
        return None


def children_map():
    """{parent pid: [child pids]} of every process now running."""
    tree = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = _stat_fields(int(name))
            if fields:
                tree.setdefault(int(fields[1]), []).append(int(name))
    return tree


def tree_pids(roots):
    """The roots that still run and all their descendants."""
    tree = children_map()
    found, todo = set(), [r for r in roots if r and os.path.exists("/proc/%d" % r)]
    while todo:
        pid = todo.pop()
        if pid not in found:
            found.add(pid)
            todo.extend(tree.get(pid, []))
    return found


def tree_cpu(roots):
    """Processor seconds of the trees below roots: each process's own user
    and system time plus that of the children it has reaped."""
    total = 0
    for pid in tree_pids(roots):
        fields = _stat_fields(pid)
        if fields and len(fields) > 14:
            # After the command name: utime, stime, cutime, cstime are 12..15.
            total += sum(int(v) for v in fields[11:15])
    return total / TICK


def busy_seconds():
    """Processor seconds all cores have spent busy since boot (not idle,
    not waiting for the disk)."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq = values[:7]
    steal = values[7] if len(values) > 7 else 0
    return (user + nice + system + irq + softirq + steal) / TICK


def memory_kb(pids):
    """(RSS, PSS) in kB summed over pids; a process that ended counts 0."""
    rss = pss = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError, PermissionError, ValueError):
            pass
    return rss, pss


def open_files_limit(pid):
    """The soft limit of open files of pid, or None."""
    try:
        with open("/proc/%d/limits" % pid) as f:
            for line in f:
                if line.startswith("Max open files"):
                    return int(line.split()[3])
    except (FileNotFoundError, ValueError, IndexError):
        pass
    return None


class Run:
    """The measured phase of one run: elapsed time, the server trees'
    processor time and the foreign load.

    servers: a function giving the root pids of the server under test
    (read at start and at stop, since a peer's master is found through its
    pid file). Everything else this benchmark starts descends from the
    driver."""

    def __init__(self, servers):
        self.servers = servers
        self.started = None
        self.elapsed = self.server_cpu = self.foreign_cores = None

    def _everything(self):
        return [os.getpid()] + list(self.servers())

    def start(self):
        self.cpu0 = tree_cpu(self.servers())
        self.ours0 = tree_cpu(self._everything())
        self.busy0 = busy_seconds()
        self.started = time.monotonic()
        return self.started

    def stop(self, ended=None):
        """Ends the phase (at ended, a monotonic time, when the last event
        was seen earlier); call it while the servers still run."""
        now = time.monotonic()
        self.elapsed = (ended if ended is not None else now) - self.started
        self.server_cpu = tree_cpu(self.servers()) - self.cpu0
        ours = tree_cpu(self._everything()) - self.ours0
        wall = max(now - self.started, 1e-6)
        self.foreign_cores = max(0.0, (busy_seconds() - self.busy0 - ours) / wall)
        return self


class MemorySampler(threading.Thread):
    """Samples (RSS, PSS) of the trees below roots() until stop(); keeps the
    peaks, in kB."""

    def __init__(self, roots, interval=0.1):
        super().__init__(daemon=True)
        self.roots, self.interval = roots, interval
        self.peak_rss = self.peak_pss = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            rss, pss = memory_kb(tree_pids(self.roots()))
            self.peak_rss, self.peak_pss = max(self.peak_rss, rss), max(self.peak_pss, pss)
            self.done.wait(self.interval)

    def stop(self):
        self.done.set()
        self.join(10)
        return self


# ---------------------------------------------------------------------------
# Load generators and waits

def source_args(port, sessions, count, size, recipient, sender="sender@example.test"):
    """smtp-source sending count messages with size bytes of payload over
    sessions parallel sessions, a new connection for each message (the way
    most clients send), to one recipient."""
    return [SMTP_SOURCE, "-s", str(sessions), "-m", str(count), "-l", str(size),
            "-f", sender, "-t", recipient, "127.0.0.1:%d" % port]


def source_seconds(count):
    """How long smtp-source runs that send count messages in all may take
    (at least 20 messages per second)."""
    return 120 + count * 0.05


class SmtpSource:
    """smtp-source processes, one per argument list of loads, running at
    once: start(), then finish() (bounded) gives the failures as texts,
    empty when every message was accepted (smtp-source stops at the first
    reply it does not expect)."""

    def __init__(self, loads):
        self.loads, self.procs = loads, []

    def start(self):
        self.deadline = time.monotonic() + source_seconds(
            sum(int(a[a.index("-m") + 1]) for a in self.loads))
        self.errs = [tempfile.TemporaryFile() for _ in self.loads]
        self.procs = [subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
                      for args, err in zip(self.loads, self.errs)]
        return self

    def failed(self):
        """True once one of them has ended with a failure."""
        return any(p.poll() not in (None, 0) for p in self.procs)

    def finish(self):
        errors = []
        for proc, err in zip(self.procs, self.errs):
            with err:
                try:
                    proc.wait(timeout=max(1, self.deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                    errors.append("smtp-source timed out")
                    continue
                if proc.returncode != 0:
                    err.seek(0)
                    errors.append(err.read().decode(errors="replace").strip()[-300:] or
                                  "smtp-source status %d" % proc.returncode)
        return errors


def smtp_source(loads):
    """Runs SmtpSource(loads) to its end; the failures."""
    return SmtpSource(loads).start().finish()


def wait_until(count, wanted, stall_seconds=120, base_interval=0.02, give_up=lambda: False):
    """Polls count() until it reaches wanted, has not moved for
    stall_seconds, or give_up() says that it never will. Returns (last
    count, monotonic time of its last change). The interval grows with the
    cost of one count, so that counting a large mailbox does not take the
    processors from the servers."""
    seen, last_change = -1, time.monotonic()
    while True:
        t0 = time.monotonic()
        value = count()
        now = time.monotonic()
        if value != seen:
            seen, last_change = value, now
        if value >= wanted or now - last_change > stall_seconds or give_up():
            return value, last_change
        time.sleep(max(base_interval, 10 * (now - t0)))


class Pop3Client(ClientThread):
    """One POP3 session on a raw socket: logon, STAT, RETR of every message
    (with DELE after each when delete), QUIT. messages and octets count what
    arrived (octets: the reply bodies with their end lines)."""

    def __init__(self, port, user, password, delete):
        super().__init__()
        self.port, self.user, self.password, self.delete = port, user, password, delete
        self.messages = self.octets = 0

    def line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError("connection closed")
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        reply = self.line()
        if not reply.startswith(b"+OK"):
            raise AssertionError("%s: %r" % (text.split()[0], reply))
        return reply

    def body(self):
        """The rest of a multi-line reply, read in chunks without copying it
        again and again; its length."""
        size, tail = len(self.buffer), self.buffer[-5:]
        while tail != b"\r\n.\r\n":
            data = self.sock.recv(1 << 20)
            if not data:
                raise AssertionError("connection closed in a message")
            size += len(data)
            tail = (tail + data)[-5:]
        self.buffer = b""   # nothing follows an answer the client has not asked for
        return size

    def work(self):
        self.buffer = b""
        with socket.create_connection(("127.0.0.1", self.port), timeout=POP3_SECONDS) as s:
            self.sock = s
            if not self.line().startswith(b"+OK"):
                raise AssertionError("no greeting")
            self.command("USER " + self.user)
            self.command("PASS " + self.password)
            count = int(self.command("STAT").split()[1])
            for n in range(1, count + 1):
                self.command("RETR %d" % n)
                self.octets += self.body()
                if self.delete:
                    self.command("DELE %d" % n)
                self.messages += 1
            self.command("QUIT")


_LOAD_PROGRAMS = {}


def load_program(directory, name):
    """The load generator name (LOAD_PROGRAMS) built in directory (once per
    directory), or None when no C++ compiler is at hand."""
    key = (directory, name)
    if key not in _LOAD_PROGRAMS:
        program = os.path.join(directory, name)
        compiler = shutil.which("g++")
        if compiler is None:
            _LOAD_PROGRAMS[key] = None
        else:
            source, libraries = LOAD_PROGRAMS[name]
            subprocess.run([compiler, "-std=c++20", "-O2", "-pthread", "-o", program,
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), source),
                            *libraries], check=True, timeout=300)
            _LOAD_PROGRAMS[key] = program
    return _LOAD_PROGRAMS[key]


def pop3_load_program(directory):
    return load_program(directory, "pop3load")


class LoadProcess:
    """A load generator process: start(), then finish() (bounded by
    seconds from the start) hands each line of its output to take(line),
    which returns False for a failure; finish() returns the failures as
    texts."""

    def __init__(self, args, seconds):
        self.args, self.seconds = args, seconds

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.deadline = time.monotonic() + self.seconds
        return self

    def finish(self):
        name = os.path.basename(self.args[0])
        try:
            out, _ = self.proc.communicate(timeout=max(1, self.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            return ["%s timed out" % name]
        errors = [line for line in out.decode(errors="replace").splitlines()
                  if not self.take(line)]
        if self.proc.returncode != 0 and not errors:
            errors.append("%s status %d" % (name, self.proc.returncode))
        return errors


class Pop3Load(LoadProcess):
    """pop3load collecting the mailboxes {user: password} at once: start(),
    then finish() (bounded by seconds) sets messages and octets (summed over
    the sessions) and returns the failures as texts."""

    def __init__(self, program, port, accounts, delete, seconds):
        super().__init__([program, str(port), "1" if delete else "0"] + [
            "%s:%s" % (u, p) for u, p in accounts.items()], seconds)
        self.messages = self.octets = 0

    def take(self, line):
        fields = line.split(" ", 2)
        if len(fields) != 3 or fields[1] == "ERROR":
            return False
        self.messages += int(fields[1])
        self.octets += int(fields[2])
        return True


class ImapLoad(LoadProcess):
    """imapload in mode (see imapload.cpp) against port for the accounts
    {user: password}: start(), then finish() (bounded by seconds) fills
    sessions, one {key: float} per line that succeeded ("user" too), and
    returns the failures as texts. ready() (idle mode) waits for READY."""

    def __init__(self, program, mode, port, param, accounts, seconds):
        super().__init__([program, mode, str(port), str(param)] + [
            "%s:%s" % (u, p) for u, p in accounts.items()], seconds)
        self.sessions = []

    def ready(self):
        """Reads up to the READY line (idle mode); False when imapload
        ended first. Bounded: imapload's own waits are."""
        for line in self.proc.stdout:
            if line.strip() == b"READY":
                return True
        return False

    def take(self, line):
        user, _, rest = line.partition(" ")
        if rest.startswith("ERROR") or "=" not in rest:
            return False
        session = {"user": user}
        for field in rest.split():
            key, _, value = field.partition("=")
            session[key] = float(value)
        self.sessions.append(session)
        return True

    def total(self, key):
        return sum(s.get(key, 0) for s in self.sessions)

    def longest(self, key):
        return max((s.get(key, 0) for s in self.sessions), default=0)


def pop3_logon_seconds(port, user, password):
    """Seconds from connecting to the answer to STAT after USER and PASS;
    the session then ends with QUIT."""
    client = Pop3Client(port, user, password, False)
    client.buffer = b""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=POP3_SECONDS) as s:
        client.sock = s
        client.line()
        client.command("USER " + user)
        client.command("PASS " + password)
        client.command("STAT")
        elapsed = time.monotonic() - started
        client.command("QUIT")
    return elapsed
