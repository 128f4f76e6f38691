"""The peers of the side-by-side benchmark: Postfix, Dovecot and smtp-sink,
each run from a scratch directory of its own on loopback ports.

install() adds the Debian packages postfix (with smtp-source and
smtp-sink), dovecot-pop3d and dovecot-imapd when they are missing, Postfix with the
debconf answer "No configuration", so that the package sets nothing up;
the system's /etc/postfix and /etc/dovecot are never read or changed.

Postfix: one instance per run, its config_directory, queue_directory and
data_directory below the run's directory, started with "postfix -c DIR
start" (the master daemonises; it is found through its pid file) and
stopped with "postfix -c DIR stop", or killed by pid. chroot off, no DNS
(every route is a transport map entry to an address), smtpd on
127.0.0.1:port. Mail for MAILBOX_DOMAIN goes to virtual mailboxes in
Maildir form (Postfix's virtual delivery agent writes, syncs and renames
each file into new/); the mailboxes belong to nobody, so no system account
is made. With queue_manager=False the queue manager is left out of
master.cf: smtpd and cleanup queue the mail, nothing delivers it, and
release() adds the queue manager and reloads, which starts the delivery of
everything queued.

Dovecot: one instance per run with "dovecot -F -c FILE" (a child of the
driver), a passwd-file user database holding the same crypt(3) hashes ZEL's
accounts hold, Maildir mailboxes below the run's directory and its indexes
beside them, POP3 or IMAP only, on 127.0.0.1:port, ssl off, plain text
logons allowed; with a certificate also IMAP over TLS from the first byte
on tls_port. Any setting beyond these (limits of a scenario) is the
caller's, in extra.

Sinks: one smtp-sink per remote domain, on 127.0.0.2, 127.0.0.3, ... and
one shared port; each prints running counters, from which count() takes the
messages received.

Every start waits for the greeting (bounded); every stop ends what the
start began, also after a failure.
"""

import os
import pwd
import re
import signal
import subprocess
import time

import benchlib
import measure
from benchlib import zelharness

PEER_SECONDS = 30
MAILBOX_DOMAIN = "mail.bench.test"       # Postfix's virtual mailbox domain
MAIL_UID = MAIL_GID = 65534              # nobody: owns the peers' mailboxes
# Postfix's local delivery agent allows two deliveries to one user at a
# time; the virtual agent is held to the same (one recipient per delivery,
# two at once per recipient), as a plain local set-up would run.
DELIVERIES_PER_USER = 2

PACKAGES = {"postfix": "/usr/sbin/smtp-source", "dovecot-pop3d": "/usr/lib/dovecot/pop3",
            "dovecot-imapd": "/usr/lib/dovecot/imap"}


def install():
    """Installs the packages of PACKAGES that are missing (apt-get)."""
    missing = [p for p, path in PACKAGES.items() if not os.path.exists(path)]
    if not missing:
        return
    print("installing %s" % " ".join(missing), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if "postfix" in missing:
        subprocess.run(["debconf-set-selections"], check=True, env=env,
                       input=b"postfix postfix/main_mailer_type select No configuration\n")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing],
                   check=True, env=env)


def _write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def _mkdirs(*paths, owner=None, mode=0o755):
    for path in paths:
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        if owner is not None:
            os.chown(path, *owner)


def _pid_alive(pid):
    return pid is not None and os.path.exists("/proc/%d" % pid)


# ---------------------------------------------------------------------------
# Postfix

POSTFIX_SERVICES = """\
# service type  private unpriv  chroot  wakeup  maxproc command
{port}   inet  n       -       n       -       -       smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""
QMGR_SERVICE = "qmgr      unix  n       -       n       300     1       qmgr\n"


class Postfix:
    """One Postfix instance below directory (see the module text).

    users: the local parts of the virtual mailboxes of MAILBOX_DOMAIN;
    routes: {domain: (address, port)} sent there by SMTP; queue_manager:
    False to queue without delivering until release(); flow_delay: smtpd's
    in_flow_delay."""

    def __init__(self, directory, users=(), routes=None, queue_manager=True, flow_delay="1s"):
        self.root = directory
        self.etc, self.queue = os.path.join(directory, "etc"), os.path.join(directory, "queue")
        self.mail = os.path.join(directory, "vmail")
        self.port = zelharness.free_port()
        self.users, self.routes = list(users), dict(routes or {})
        self.queue_manager, self.flow_delay = queue_manager, flow_delay
        self.started = False

    def mailbox(self, user):
        """The new/ directory of user's Maildir."""
        return os.path.join(self.mail, user, "Maildir", "new")

    def address(self, user):
        return "%s@%s" % (user, MAILBOX_DOMAIN)

    def _configure(self):
        postfix = pwd.getpwnam("postfix")
        data = os.path.join(self.root, "data")
        _mkdirs(self.root, self.etc, self.queue)
        _mkdirs(data, owner=(postfix.pw_uid, postfix.pw_gid))
        _mkdirs(self.mail, owner=(MAIL_UID, MAIL_GID))
        r = self.root
        _write(os.path.join(self.etc, "main.cf"), f"""\
compatibility_level = 3.6
queue_directory = {self.queue}
data_directory = {data}
myhostname = postfix.bench.test
mydomain = bench.test
myorigin = $myhostname
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
biff = no
maillog_file = {r}/maillog
maillog_file_prefixes = {r}
in_flow_delay = {self.flow_delay}
local_destination_concurrency_limit = {DELIVERIES_PER_USER}
virtual_mailbox_domains = {MAILBOX_DOMAIN}
virtual_mailbox_base = {self.mail}
virtual_mailbox_maps = texthash:{self.etc}/vmailbox
virtual_uid_maps = static:{MAIL_UID}
virtual_gid_maps = static:{MAIL_GID}
virtual_destination_recipient_limit = 1
virtual_destination_concurrency_limit = $local_destination_concurrency_limit
transport_maps = texthash:{self.etc}/transport
""")
        _write(os.path.join(self.etc, "vmailbox"), "".join(
            "%s %s/Maildir/\n" % (self.address(u), u) for u in self.users))
        _write(os.path.join(self.etc, "transport"), "".join(
            "%s smtp:[%s]:%d\n" % (d, a, p) for d, (a, p) in sorted(self.routes.items())))
        self._write_master(self.queue_manager)

    def _write_master(self, queue_manager):
        text = POSTFIX_SERVICES.format(port="127.0.0.1:%d" % self.port)
        _write(os.path.join(self.etc, "master.cf"), text + (QMGR_SERVICE if queue_manager else ""))

    def _postfix(self, *command):
        result = subprocess.run(["/usr/sbin/postfix", "-c", self.etc, *command],
                                capture_output=True, text=True, timeout=PEER_SECONDS * 2)
        if result.returncode != 0:
            raise AssertionError("postfix %s failed: %s%s\n%s" % (
                " ".join(command), result.stdout, result.stderr, self.log_tail()))

    def log_tail(self):
        try:
            with open(os.path.join(self.root, "maillog"), errors="replace") as f:
                return f.read()[-2000:]
        except FileNotFoundError:
            return ""

    def master_pid(self):
        try:
            with open(os.path.join(self.queue, "pid", "master.pid")) as f:
                return int(f.read().strip())
        except (FileNotFoundError, ValueError):
            return None

    def pids(self):
        """The root of the process tree (the master), while it runs."""
        pid = self.master_pid()
        return [pid] if _pid_alive(pid) else []

    def start(self):
        self._configure()
        self.started = True
        self._postfix("start")
        if not benchlib.wait_for_greeting(self.port):
            raise AssertionError("Postfix does not answer on port %d\n%s"
                                 % (self.port, self.log_tail()))
        return self

    def release(self):
        """Adds the queue manager and reloads: delivery of the queue starts."""
        self._write_master(True)
        self._postfix("reload")

    def queued(self):
        """Messages in the incoming, active and deferred queues."""
        total = 0
        for name in ("incoming", "active", "deferred"):
            for _, _, files in os.walk(os.path.join(self.queue, name)):
                total += len(files)
        return total

    def delivered(self, users=None):
        """Files in the new/ directories of users (default: all)."""
        return sum(len(os.listdir(self.mailbox(u))) for u in (users or self.users)
                   if os.path.isdir(self.mailbox(u)))

    def stop(self):
        if not self.started:
            return
        self.started = False
        tree = measure.tree_pids(self.pids())
        try:
            self._postfix("stop")
        except (AssertionError, subprocess.TimeoutExpired):
            pass
        deadline = time.monotonic() + PEER_SECONDS
        while any(_pid_alive(p) for p in tree) and time.monotonic() < deadline:
            time.sleep(0.1)
        for pid in tree:
            if _pid_alive(pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


# ---------------------------------------------------------------------------
# Dovecot

class Dovecot:
    """One Dovecot server below directory (see the module text).

    accounts: {user: crypt(3) hash}; protocol: "pop3" or "imap"; tls: a
    (certificate, key) pair for IMAP over TLS on tls_port; extra: more
    lines of dovecot.conf."""

    GREETINGS = {"pop3": b"+OK", "imap": b"* OK"}

    def __init__(self, directory, accounts, protocol="pop3", tls=None, extra=""):
        self.root = directory
        self.port = zelharness.free_port()
        self.tls_port = zelharness.free_port() if tls else None
        self.accounts = dict(accounts)
        self.protocol, self.tls, self.extra = protocol, tls, extra
        self.proc = None

    def maildir(self, user, *parts):
        return os.path.join(self.root, "mail", user, "Maildir", *parts)

    def _configure(self):
        r = self.root
        _mkdirs(r, os.path.join(r, "state"))
        _mkdirs(os.path.join(r, "mail"), os.path.join(r, "index"), owner=(MAIL_UID, MAIL_GID))
        _write(os.path.join(r, "passwd"), "".join(
            "%s:{CRYPT}%s:%d:%d::%s::\n" % (u, h, MAIL_UID, MAIL_GID, os.path.join(r, "mail", u))
            for u, h in sorted(self.accounts.items())), 0o640)
        # Dovecot's auth process reads it as its own unprivileged user.
        os.chown(os.path.join(r, "passwd"), 0, pwd.getpwnam("dovecot").pw_gid)
        p = self.protocol
        if self.tls:
            ssl = "ssl = yes\nssl_cert = <%s\nssl_key = <%s\n" % self.tls
            tls_listener = ("  inet_listener imaps {\n    address = 127.0.0.1\n"
                            "    port = %d\n    ssl = yes\n  }\n" % self.tls_port)
        else:
            ssl, tls_listener = "ssl = no\n", ""
        # mail_fsync stays at its default (optimized): a saved message is
        # synced before it is acknowledged.
        _write(os.path.join(r, "dovecot.conf"), f"""\
base_dir = {r}/run
state_dir = {r}/state
log_path = {r}/dovecot.log
protocols = {p}
listen = 127.0.0.1
{ssl}disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:{r}/mail/%u/Maildir:INDEX={r}/index/%u
passdb {{
  driver = passwd-file
  args = scheme=CRYPT {r}/passwd
}}
userdb {{
  driver = passwd-file
  args = {r}/passwd
}}
service {p}-login {{
  inet_listener {p} {{
    address = 127.0.0.1
    port = {self.port}
  }}
{tls_listener}}}
{self.extra}""")

    def prepare(self, users):
        """Empty Maildirs for users (before fill and start)."""
        self._configure()
        for user in users:
            _mkdirs(os.path.dirname(self.maildir(user)), self.maildir(user),
                    *(self.maildir(user, sub) for sub in ("cur", "new", "tmp")),
                    owner=(MAIL_UID, MAIL_GID), mode=0o700)

    def pids(self):
        return [self.proc.pid] if self.proc is not None and self.proc.poll() is None else []

    def start(self):
        self.proc = subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c",
                                      os.path.join(self.root, "dovecot.conf")],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.root, "stderr"), "wb"))
        if not benchlib.wait_for_greeting(self.port, self.proc,
                                          greeting=self.GREETINGS[self.protocol]):
            raise AssertionError("Dovecot does not answer on port %d: %s"
                                 % (self.port, self.log_tail()))
        return self

    def log_tail(self):
        text = ""
        for name in ("stderr", "dovecot.log"):
            try:
                with open(os.path.join(self.root, name), errors="replace") as f:
                    text += f.read()[-1500:]
            except FileNotFoundError:
                pass
        return text

    def messages(self, user):
        return sum(len(os.listdir(self.maildir(user, sub))) for sub in ("cur", "new"))

    def stop(self):
        if self.proc is not None:
            tree = measure.tree_pids([self.proc.pid])
            benchlib.end_process(self.proc)
            for pid in tree:    # the master's children end with it; make sure
                if _pid_alive(pid):
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
            self.proc = None


# ---------------------------------------------------------------------------
# smtp-sink

class Sinks:
    """One smtp-sink per address, all on one free port."""

    def __init__(self, directory, addresses):
        import remotepeers      # the end-to-end peers, on benchlib's path
        self.port = remotepeers.free_smtp_port(addresses)
        self.outputs, self.procs = [], []
        _mkdirs(directory)
        try:
            for a in addresses:
                out = os.path.join(directory, "sink-%s.out" % a)
                self.outputs.append(out)
                self.procs.append(subprocess.Popen(
                    ["/usr/sbin/smtp-sink", "-u", "nobody", "-c", "%s:%d" % (a, self.port), "256"],
                    stdin=subprocess.DEVNULL, stdout=open(out, "wb"), stderr=subprocess.STDOUT))
            for a, proc in zip(addresses, self.procs):
                if not benchlib.wait_for_greeting(self.port, proc, host=a):
                    raise AssertionError("smtp-sink on %s:%d did not start" % (a, self.port))
        except BaseException:
            self.stop()
            raise

    def count(self):
        """Messages received by all sinks: the last "mesg=N" of each."""
        total = 0
        for out in self.outputs:
            with open(out, "rb") as f:
                f.seek(max(0, os.path.getsize(out) - 80))
                tail = f.read()
            counts = re.findall(rb"mesg=(\d+)", tail)
            total += int(counts[-1]) if counts else 0
        return total

    def stop(self):
        for proc in self.procs:
            benchlib.end_process(proc)
