"""The scenarios of the side-by-side benchmark, each with a ZEL side and a
peer side that put the same load on the same contents.

A side is a function (ctx, p) -> Outcome: ctx is the run's Context (its
directory, the clean-up stack, the cool-down), p the scenario's sizes. Each
side prepares its servers and contents (not timed), calls ctx.cool() (sync
and wait), starts what the measured phase needs and measures it with a
measure.Run. ZEL runs under the end-to-end harness (tests/e2e/zelharness.py)
in a scratch root below the run directory; the peers come from peers.py.
Nothing is deleted here: run.py removes the scratch trees after the last run.
"""

import base64
import os
import resource
import selectors
import socket
import subprocess
import time

import benchlib
import measure
import peers
import remotepeers
from benchlib import zelharness
from measure import Pop3Client, Run, source_args, smtp_source, wait_until
from peers import Dovecot, Postfix, Sinks

SMTP_SIZE = 2048            # payload of each SMTP message (smtp-source -l)
FILL_SESSIONS = 2           # sessions of each smtp-source that fills a queue
USERS = 10                  # mailboxes of the growth scenarios
MIB = 1 << 20


class Outcome:
    """What one side's run gave: values {metric key: figure}, the messages
    the run handled (for processor time per message), the measure.Run, and
    notes on anything that went wrong (a run with notes is not counted)."""

    def __init__(self, values, messages, run, notes=()):
        self.values, self.messages, self.run, self.notes = values, messages, run, list(notes)

    def cpu_ms_per_message(self):
        if self.run is None or self.run.server_cpu is None or not self.messages:
            return None
        return 1000.0 * self.run.server_cpu / self.messages


def check(notes, what, got, wanted):
    if got != wanted:
        notes.append("%s: %d, not %d" % (what, got, wanted))


# ---------------------------------------------------------------------------
# ZEL under the harness

def zel_scratch(ctx, name):
    return zelharness.Scratch(os.path.join(ctx.directory, "zel-%s-" % name))


def zel_pids(*services):
    return [s.proc.pid for s in services
            if s is not None and s.proc is not None and s.proc.poll() is None]


def zel_mail_system(ctx, users, **kw):
    mail = zelharness.MailSystem(users, prefix=os.path.join(ctx.directory, "zel-mail-"), **kw)
    ctx.defer(lambda: mail.stop(keep=True))
    return mail


def zel_services(mail):
    return lambda: zel_pids(mail.receiver, mail.agent, mail.fetcher)


def zel_count(directory, extension):
    return len(zelharness.files_with(directory, extension))


def local_address(user):
    return "%s@%s" % (user, zelharness.LOCAL_HOST)


HASHES = {}


def password(user):
    return "pw-" + user


def account_hashes(ctx, users):
    """{user: crypt(3) hash} as zeladm makes them for ZEL's accounts, so
    that Dovecot checks the very same hashes."""
    missing = [u for u in users if u not in HASHES]
    if missing:
        scratch = zel_scratch(ctx, "hashes")
        for user in missing:
            scratch.add_user(user, password(user))
        with open(scratch.path("etc", "zel", "accounts")) as f:
            for line in f:
                fields = line.rstrip("\n").split(":")
                if fields[0] == "user" and len(fields) >= 5:
                    HASHES[fields[2]] = fields[3]
    return {u: HASHES[u] for u in users}


# ---------------------------------------------------------------------------
# Contents of the POP3 mailboxes, the same text on both sides

def message(number, size):
    """A message of size bytes with its end line (ZEL stores that form)."""
    head = (b"From: bench@bench.example\r\nTo: user@bench.example\r\n"
            b"Subject: bench %d\r\nMessage-ID: <%d.bench@bench.example>\r\n\r\n"
            % (number, number))
    return benchlib.make_message(head, size)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def fill_zel(directory, count, size, make=message):
    """Message files as the delivery agent leaves them: the mailbox and its
    files belong to the mailbox's owner (the harness's virtual mail
    account when run as root). make(number, size) gives each text."""
    os.makedirs(directory, exist_ok=True)
    names = [os.path.join(directory, "B%010d.MSG" % (n + 1)) for n in range(count)]
    for n, name in enumerate(names):
        write(name, make(n, size))
    zelharness.give_to_mail_owner(directory, *names)


def fill_maildir(dovecot, user, count, size, seen, make=message):
    """Maildir files as Dovecot's own delivery names them (size in the name);
    seen: in cur/ (already noticed by a mail client), else in new/."""
    stamp = int(time.time())
    for n in range(count):
        data = make(n, size)[:-3]     # Maildir holds the text without the end line
        name = "%d.M%dP%d.bench,S=%d,W=%d" % (stamp, n, os.getpid(), len(data), len(data))
        write(dovecot.maildir(user, "cur" if seen else "new", name + (":2," if seen else "")),
              data)


def pop3_users(p):
    return ["bench%02d" % u for u in range(p["clients"])]


# ---------------------------------------------------------------------------
# SMTP acceptance: messages queued per second

def accept_zel(ctx, p):
    receiver = zelharness.Receiver(scratch=zel_scratch(ctx, "accept"))
    ctx.cool()
    receiver.start()
    ctx.defer(receiver.service.stop)
    run = Run(lambda: zel_pids(receiver.service))
    run.start()
    errors = smtp_source([source_args(receiver.port, p["sessions"], p["messages"], SMTP_SIZE,
                                      local_address("bench"))])
    run.stop()
    queued = zel_count(receiver.queue, "RCP")
    check(errors, "queued", queued, p["messages"])
    return Outcome({"rate": queued / run.elapsed}, queued, run, errors)


def accept_postfix(ctx, p):
    # No queue manager: smtpd and cleanup write and sync each queue file,
    # nothing delivers it (as zelrecv runs alone). in_flow_delay is off,
    # since without a queue manager nobody would grant smtpd its tokens.
    postfix = Postfix(os.path.join(ctx.directory, "postfix"), users=["bench"],
                      queue_manager=False, flow_delay="0")
    ctx.defer(postfix.stop)
    ctx.cool()
    postfix.start()
    run = Run(postfix.pids)
    run.start()
    errors = smtp_source([source_args(postfix.port, p["sessions"], p["messages"], SMTP_SIZE,
                                      postfix.address("bench"))])
    run.stop()
    queued = postfix.queued()
    check(errors, "queued", queued, p["messages"])
    return Outcome({"rate": queued / run.elapsed}, queued, run, errors)


# ---------------------------------------------------------------------------
# SMTP acceptance with the arrival checks (SPF, DKIM, DMARC) on and off: ZEL
# against itself, the same DKIM-signed message, the records served by a
# caching dnsmasq. With checks off the client is a relay client (nothing is
# checked); with them on it is a stranger on the plain port.

CHECKED_DOMAIN = "signed.bench"
CHECKED_SELECTOR = "s1"


def signed_message_file(ctx):
    """A 2 KiB message from CHECKED_DOMAIN, signed (RSA-2048,
    relaxed/relaxed), written with bare LF for smtp-source -F; and its key
    record."""
    import dkim
    key_path = os.path.join(ctx.directory, "dkim.pem")
    subprocess.run(["openssl", "genrsa", "-out", key_path, "2048"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    public = subprocess.run(["openssl", "pkey", "-in", key_path, "-pubout", "-outform", "DER"],
                            check=True, stdout=subprocess.PIPE).stdout
    record = "v=DKIM1; k=rsa; p=" + base64.b64encode(public).decode()
    with open(key_path, "rb") as f:
        key = f.read()
    head = (b"From: author@%s\r\nTo: %s\r\nSubject: checked\r\n"
            b"Date: Tue, 08 Dec 2026 10:00:00 +0000\r\n"
            b"Message-ID: <checked@%s>\r\n\r\n"
            % (CHECKED_DOMAIN.encode(), local_address("bench").encode(), CHECKED_DOMAIN.encode()))
    body = b"".join(b"line %04d of the checked message, some words to sign.\r\n" % i
                    for i in range(SMTP_SIZE // 56))
    text = head + body
    text = dkim.sign(text, CHECKED_SELECTOR.encode(), CHECKED_DOMAIN.encode(), key,
                     canonicalize=(b"relaxed", b"relaxed"),
                     include_headers=[b"from", b"to", b"subject", b"date", b"message-id"]) + text
    path = os.path.join(ctx.directory, "signed.eml")
    write(path, text.replace(b"\r\n", b"\n"))
    return path, record


def accept_checked(ctx, p, checks):
    path, record = signed_message_file(ctx)
    dns = remotepeers.NameServer(ctx.directory, txt=[
        (CHECKED_DOMAIN, "v=spf1 ip4:127.0.0.1 -all"),
        ("_dmarc." + CHECKED_DOMAIN, "v=DMARC1; p=reject"),
        ("%s._domainkey.%s" % (CHECKED_SELECTOR, CHECKED_DOMAIN), record)])
    # Published records have a time to live (dnsmasq's own are 0 unless told).
    dns.options.append("--local-ttl=300")
    dns.start()
    ctx.defer(dns.stop)
    settings = {"RelayClients": ["192.0.2.0/24"]} if checks else {}
    receiver = zelharness.Receiver(settings, scratch=zel_scratch(ctx, "checked"))
    receiver.scratch.prepare_registry(name_server=dns.address,
                                      services={"ZELRECV": receiver.values})
    ctx.cool()
    receiver.start()
    ctx.defer(receiver.service.stop)
    run = Run(lambda: zel_pids(receiver.service))
    run.start()
    args = source_args(receiver.port, p["sessions"], p["messages"], SMTP_SIZE,
                       local_address("bench"), sender="sender@" + CHECKED_DOMAIN)
    args[args.index("-l"):args.index("-l") + 2] = ["-F", path]
    errors = smtp_source([args])
    run.stop()
    queued = zel_count(receiver.queue, "RCP")
    check(errors, "queued", queued, p["messages"])
    if checks and queued:
        verdict = checked_verdict(receiver.queue)
        if verdict != "dmarc=pass":
            errors.append("the checks said %r, not dmarc=pass" % verdict)
    return Outcome({"rate": queued / run.elapsed}, queued, run, errors)


def checked_verdict(queue):
    """The DMARC result in the Authentication-Results field of one queued
    message (the checks must really have run)."""
    for name in sorted(os.listdir(queue)):
        if name.endswith(".MSG"):
            with open(os.path.join(queue, name), "rb") as f:
                text = f.read(8192)
            for word in text.split():
                if word.startswith(b"dmarc="):
                    return word.decode(errors="replace")
            return None
    return None


def accept_checks_on(ctx, p):
    return accept_checked(ctx, p, True)


def accept_checks_off(ctx, p):
    return accept_checked(ctx, p, False)


# ---------------------------------------------------------------------------
# SMTP to mailbox: from the first connection to the last mailbox copy

def to_mailbox(run, port, p, address, count):
    """Sends the load and waits for the copies; (copies, errors)."""
    source = measure.SmtpSource([source_args(port, p["sessions"], p["messages"], SMTP_SIZE,
                                              address)])
    run.start()
    source.start()
    copies, last = wait_until(count, p["messages"], give_up=source.failed)
    run.stop(ended=last)
    errors = source.finish()
    check(errors, "delivered", copies, p["messages"])
    return copies, errors


def mailbox_zel(ctx, p):
    mail = zel_mail_system(ctx, ["bench", "administrator"])
    ctx.cool()
    mail.start()
    run = Run(zel_services(mail))
    copies, errors = to_mailbox(run, mail.port, p, local_address("bench"),
                                lambda: zel_count(mail.mailbox("bench"), "MSG"))
    return Outcome({"rate": copies / run.elapsed}, copies, run, errors)


# A user's filter as people write them: 50 rules of header and address
# tests with fileinto and addflag, of which only the envelope rule near the
# end matches the load's mail (filed into a folder).
SIEVE_RULES = 50


def sieve_script():
    rules = ['require ["fileinto", "mailbox", "imap4flags", "envelope"];']
    for n in range(SIEVE_RULES - 2):
        kind = n % 4
        if kind == 0:
            rules.append('if header :contains "List-Id" "list%d.example.org" '
                         '{ fileinto :create "Lists/L%d"; stop; }' % (n, n))
        elif kind == 1:
            rules.append('if address :is "from" "boss%d@work.example" '
                         '{ addflag "\\\\Flagged"; }' % n)
        elif kind == 2:
            rules.append('if header :matches "Subject" "*[ticket-%d]*" '
                         '{ fileinto :create "Tickets"; stop; }' % n)
        else:
            rules.append('if address :domain :is ["to", "cc"] "team%d.example" '
                         '{ addflag "team%d"; }' % (n, n))
    rules.append('if envelope :domain :is "from" "example.test" { fileinto :create "Bench"; stop; }')
    rules.append('if header :contains "X-Spam-Flag" "YES" { fileinto :create "Junk"; stop; }')
    return "\n".join(rules) + "\n"


def mailbox_zel_sieve(ctx, p):
    mail = zel_mail_system(ctx, ["bench", "administrator"])
    directory = mail.mailbox("bench", "sieve")
    os.makedirs(directory)
    for name, text in (("rules.sieve", sieve_script()), ("active", "rules\n")):
        with open(os.path.join(directory, name), "w") as f:
            f.write(text)
    zelharness.give_to_mail_owner(mail.mailbox("bench"), directory,
                                  *(os.path.join(directory, n) for n in ("rules.sieve", "active")))
    ctx.cool()
    mail.start()
    run = Run(zel_services(mail))
    copies, errors = to_mailbox(run, mail.port, p, local_address("bench"),
                                lambda: zel_count(mail.mailbox("bench", "+Bench"), "MSG"))
    return Outcome({"rate": copies / run.elapsed}, copies, run, errors)


def mailbox_postfix(ctx, p):
    postfix = Postfix(os.path.join(ctx.directory, "postfix"), users=["bench"])
    ctx.defer(postfix.stop)
    ctx.cool()
    postfix.start()
    run = Run(postfix.pids)
    copies, errors = to_mailbox(run, postfix.port, p, postfix.address("bench"),
                                lambda: postfix.delivered(["bench"]))
    return Outcome({"rate": copies / run.elapsed}, copies, run, errors)


# ---------------------------------------------------------------------------
# POP3: every mailbox collected by its own client at once

def load_program(ctx):
    """pop3load, built once per benchmark run before anything is measured;
    None: the Python client."""
    return measure.pop3_load_program(os.path.dirname(ctx.directory))


def collect(program, run, port, p, left):
    """Collects every mailbox at once, one session each (pop3load, or the
    Python client when program is None); the Outcome. left() counts the
    messages still in the mailboxes afterwards."""
    accounts = {u: password(u) for u in pop3_users(p)}
    seconds = measure.POP3_SECONDS * max(1, p["messages"])
    if program is not None:
        load = measure.Pop3Load(program, port, accounts, p["delete"], seconds)
        run.start()
        errors = load.start().finish()
        run.stop()
        messages, octets = load.messages, load.octets
    else:
        clients = [Pop3Client(port, u, pw, p["delete"]) for u, pw in accounts.items()]
        run.start()
        benchlib.start_together(clients)
        errors = benchlib.join(clients, seconds)
        run.stop()
        messages, octets = sum(c.messages for c in clients), sum(c.octets for c in clients)
    check(errors, "retrieved", messages, len(accounts) * p["messages"])
    if p["delete"]:
        check(errors, "messages left in the mailboxes", left(), 0)
    return Outcome({"rate": messages / run.elapsed, "bytes": octets / MIB / run.elapsed},
                   messages, run, errors)


def pop3_zel(ctx, p):
    users = pop3_users(p)
    server = zelharness.Pop3Server(users={u: password(u) for u in users},
                                   scratch=zel_scratch(ctx, "pop3"))
    for u in users:
        fill_zel(server.mailbox(u), p["messages"], p["size"])
    program = load_program(ctx)
    ctx.cool()
    server.start()
    ctx.defer(server.service.stop)
    return collect(program, Run(lambda: zel_pids(server.service)), server.port, p,
                   lambda: sum(zel_count(server.mailbox(u), "MSG") for u in users))


def pop3_dovecot(ctx, p):
    users = pop3_users(p)
    dovecot = Dovecot(os.path.join(ctx.directory, "dovecot"), account_hashes(ctx, users))
    dovecot.prepare(users)
    for u in users:
        fill_maildir(dovecot, u, p["messages"], p["size"], seen=False)
    program = load_program(ctx)
    ctx.cool()
    ctx.defer(dovecot.stop)
    dovecot.start()
    return collect(program, Run(dovecot.pids), dovecot.port, p,
                   lambda: sum(dovecot.messages(u) for u in users))


# ---------------------------------------------------------------------------
# Queue first, then deliver: remote delivery and the growth scenarios

def fill(port, loads, notes):
    """Queues the mail of loads [(address, count)] through port, each load
    by one smtp-source with FILL_SESSIONS sessions; not timed."""
    notes += smtp_source([source_args(port, FILL_SESSIONS, count, SMTP_SIZE, address)
                          for address, count in loads if count])


def split(total, parts):
    return [total // parts + (1 if i < total % parts else 0) for i in range(parts)]


def release_and_wait(run, release, count, wanted, notes):
    run.start()
    release()
    # The agent may scan the whole queue before the first copy appears.
    got, last = wait_until(count, wanted, stall_seconds=120 + wanted * 0.01)
    run.stop(ended=last)
    check(notes, "delivered", got, wanted)
    return got


def remote_domains(p):
    """[(domain, sink address)]: d0.bench.test on 127.0.0.2, ..."""
    return [("d%d.bench.test" % d, "127.0.0.%d" % (2 + d)) for d in range(p["domains"])]


def remote_loads(p):
    return [("user@" + d, n) for (d, _), n in zip(remote_domains(p),
                                                  split(p["messages"], p["domains"]))]


def start_sinks(ctx, p):
    sinks = Sinks(os.path.join(ctx.directory, "sinks"), [a for _, a in remote_domains(p)])
    ctx.defer(sinks.stop)
    return sinks


def remote_zel(ctx, p):
    domains = remote_domains(p)
    ns = remotepeers.NameServer(
        ctx.directory, mx=[(d, "mx." + d, 10) for d, _ in domains],
        hosts=[("mx." + d, a) for d, a in domains]).start()
    ctx.defer(ns.stop)
    sinks = start_sinks(ctx, p)
    # A one-second scan interval, as the remote delivery benchmark has it.
    mail = zel_mail_system(ctx, ["administrator"], deliv={"SmtpPort": sinks.port, "Timeout": 1},
                           name_server=ns.address)
    mail.start(agent=False)
    notes = []
    fill(mail.port, remote_loads(p), notes)
    check(notes, "queued", zel_count(mail.spool("incoming"), "RCP"), p["messages"])
    ctx.cool()
    run = Run(zel_services(mail))
    got = release_and_wait(run, mail.agent.start, sinks.count, p["messages"], notes)
    return Outcome({"rate": got / run.elapsed}, got, run, notes)


def remote_postfix(ctx, p):
    sinks = start_sinks(ctx, p)
    postfix = Postfix(os.path.join(ctx.directory, "postfix"), queue_manager=False,
                      flow_delay="0", routes={d: (a, sinks.port) for d, a in remote_domains(p)})
    ctx.defer(postfix.stop)
    postfix.start()
    notes = []
    fill(postfix.port, remote_loads(p), notes)
    check(notes, "queued", postfix.queued(), p["messages"])
    ctx.cool()
    run = Run(postfix.pids)
    got = release_and_wait(run, postfix.release, sinks.count, p["messages"], notes)
    return Outcome({"rate": got / run.elapsed}, got, run, notes)


def growth_users():
    return ["user%d" % u for u in range(USERS)]


def growth_zel(ctx, p):
    users = growth_users()
    mail = zel_mail_system(ctx, users + ["administrator"])
    mail.start(agent=False)
    notes = []
    fill(mail.port, [(local_address(u), n) for u, n in zip(users, split(p["messages"], USERS))],
         notes)
    check(notes, "queued", zel_count(mail.spool("incoming"), "RCP"), p["messages"])
    ctx.cool()
    run = Run(zel_services(mail))
    got = release_and_wait(run, mail.agent.start,
                           lambda: sum(zel_count(mail.mailbox(u), "MSG") for u in users),
                           p["messages"], notes)
    return Outcome({"per": 1000.0 * run.elapsed / max(got, 1)}, got, run, notes)


def growth_postfix(ctx, p):
    users = growth_users()
    postfix = Postfix(os.path.join(ctx.directory, "postfix"), users=users, queue_manager=False,
                      flow_delay="0")
    ctx.defer(postfix.stop)
    postfix.start()
    notes = []
    fill(postfix.port, [(postfix.address(u), n)
                        for u, n in zip(users, split(p["messages"], USERS))], notes)
    check(notes, "queued", postfix.queued(), p["messages"])
    ctx.cool()
    run = Run(postfix.pids)
    got = release_and_wait(run, postfix.release, postfix.delivered, p["messages"], notes)
    return Outcome({"per": 1000.0 * run.elapsed / max(got, 1)}, got, run, notes)


# ---------------------------------------------------------------------------
# POP3 logon to a large mailbox

def logons(run, port, user):
    run.start()
    first = measure.pop3_logon_seconds(port, user, password(user))
    second = measure.pop3_logon_seconds(port, user, password(user))
    run.stop()
    return Outcome({"first": first, "second": second}, 0, run)


def logon_zel(ctx, p):
    server = zelharness.Pop3Server(users={"bench": password("bench")},
                                   scratch=zel_scratch(ctx, "logon"))
    fill_zel(server.mailbox("bench"), p["messages"], p["size"])
    ctx.cool()
    server.start()
    ctx.defer(server.service.stop)
    return logons(Run(lambda: zel_pids(server.service)), server.port, "bench")


def logon_dovecot(ctx, p):
    # The files lie in cur/: a mailbox grows this large only when its owner
    # has been looking at it. Dovecot has no index of it yet.
    dovecot = Dovecot(os.path.join(ctx.directory, "dovecot"), account_hashes(ctx, ["bench"]))
    dovecot.prepare(["bench"])
    fill_maildir(dovecot, "bench", p["messages"], p["size"], seen=True)
    ctx.cool()
    ctx.defer(dovecot.stop)
    dovecot.start()
    return logons(Run(dovecot.pids), dovecot.port, "bench")


# ---------------------------------------------------------------------------
# Memory: the whole system idle, then under the 32-session load to a mailbox

SETTLE_SECONDS = 3


def memory_run(servers, port, p, address, count):
    time.sleep(SETTLE_SECONDS)
    idle_rss, idle_pss = measure.memory_kb(measure.tree_pids(servers()))
    sampler = measure.MemorySampler(servers)
    sampler.start()
    run = Run(servers)
    try:
        copies, errors = to_mailbox(run, port, p, address, count)
    finally:
        sampler.stop()
    kib = 1024.0
    return Outcome({"idle_rss": idle_rss / kib, "idle_pss": idle_pss / kib,
                    "load_rss": sampler.peak_rss / kib, "load_pss": sampler.peak_pss / kib},
                   copies, run, errors)


def memory_zel(ctx, p):
    mail = zel_mail_system(ctx, ["bench", "administrator"], fetch={})
    ctx.cool()
    mail.start()
    return memory_run(zel_services(mail), mail.port, p, local_address("bench"),
                      lambda: zel_count(mail.mailbox("bench"), "MSG"))


def memory_peers(ctx, p):
    postfix = Postfix(os.path.join(ctx.directory, "postfix"), users=["bench"])
    dovecot = Dovecot(os.path.join(ctx.directory, "dovecot"), account_hashes(ctx, ["bench"]))
    dovecot.prepare(["bench"])
    ctx.defer(postfix.stop)
    ctx.defer(dovecot.stop)
    ctx.cool()
    postfix.start()
    dovecot.start()
    return memory_run(lambda: postfix.pids() + dovecot.pids(), postfix.port, p,
                      postfix.address("bench"), lambda: postfix.delivered(["bench"]))


# ---------------------------------------------------------------------------
# Idle SMTP connections held by zelrecv (ZEL alone: Postfix spends one
# process on each connection, which is not a comparison of the same thing)

def raise_open_files(wanted):
    """Raises this process's soft limit of open files towards wanted (the
    servers it starts inherit it); the limit now in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < wanted:
        soft = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


def idle_zel(ctx, p):
    count = p["connections"]
    raise_open_files(count + 256)
    # Every connection comes from 127.0.0.1: neither the receiver's limit
    # of connections nor its limit per client may refuse them.
    receiver = zelharness.Receiver({"MaxConnections": 0, "MaxConnectionsPerClient": 0},
                                   scratch=zel_scratch(ctx, "idle"))
    ctx.cool()
    receiver.start()
    ctx.defer(receiver.service.stop)
    pid = receiver.service.proc.pid
    notes = []
    limit = measure.open_files_limit(pid)
    if limit is not None and limit < count + 16:
        notes.append("zelrecv may open only %d files" % limit)
    run = Run(lambda: zel_pids(receiver.service))
    conns = []
    try:
        run.start()
        for _ in range(count):
            try:
                conns.append(socket.create_connection(("127.0.0.1", receiver.port), timeout=10))
            except OSError as e:
                notes.append("connection %d: %s" % (len(conns) + 1, e))
                break
        greeted = greetings(conns, 60)
        time.sleep(2)
        rss = zelharness.proc_status(pid, "VmRSS") or 0
        run.stop()
        check(notes, "greeted", greeted, count)
        open_now = still_open(conns)
        check(notes, "still open", open_now, count)
    finally:
        for c in conns:
            c.close()
    return Outcome({"rss": rss / 1024.0}, 0, run, notes)


def greetings(conns, seconds):
    """Reads the greeting of every connection; how many greeted with 220."""
    selector = selectors.DefaultSelector()
    for c in conns:
        c.setblocking(False)
        selector.register(c, selectors.EVENT_READ)
    greeted, waiting, deadline = 0, len(conns), time.monotonic() + seconds
    while waiting and time.monotonic() < deadline:
        for key, _ in selector.select(1.0):
            selector.unregister(key.fileobj)
            waiting -= 1
            try:
                greeted += key.fileobj.recv(512).startswith(b"220")
            except OSError:
                pass
    selector.close()
    return greeted


def still_open(conns):
    """Connections the server has not closed (nothing to read, no EOF)."""
    alive = 0
    for c in conns:
        try:
            alive += c.recv(512, socket.MSG_PEEK) != b""
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
    return alive


# ---------------------------------------------------------------------------
# IMAP: zelimap and Dovecot's imap with the same contents and one client,
# imapload (imapload.cpp). The contents go in before the start: on the ZEL
# side as the delivery agent's message files, which no index has seen yet;
# on Dovecot's as Maildir files in cur/ without index files (a mailbox the
# owner has been reading elsewhere; new/ would add Dovecot's moves to cur/).

RARE_WORD = "quetzalcoatlus"    # the word imap-search finds, in one message


def search_message(number, size, hit):
    """message(), with RARE_WORD in the last text line of message number hit."""
    data = message(number, size)
    if number != hit:
        return data
    line = b"x" * 76 + b"\r\n"
    at = data.rindex(line)
    word = RARE_WORD.encode()
    return data[:at] + word + b"x" * (76 - len(word)) + b"\r\n" + data[at + len(line):]


def imap_users(p):
    return ["bench%02d" % u for u in range(p["users"])]


class ZelImap:
    """zelimap with its default settings (plus settings), the users'
    passwords as ZEL's accounts, and mailboxes filled as delivered."""

    def __init__(self, ctx, users, settings=None, tls=False):
        self.ctx = ctx
        self.server = zelharness.ImapServer(settings, users={u: password(u) for u in users},
                                            scratch=zel_scratch(ctx, "imap"), tls=tls)
        self.port, self.tls_port = self.server.port, self.server.tls_port

    def fill(self, user, count, size, make=message):
        fill_zel(self.server.mailbox(user), count, size, make)

    def deliver(self, user, data):
        """One message (data as message() gives it) as the delivery agent
        writes a copy: complete before it gets its name, in the owner's
        hands."""
        directory = self.server.mailbox(user)
        fd = os.open(directory, os.O_TMPFILE | os.O_WRONLY, 0o600)
        fds = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.write(fd, data)
            os.fchown(fd, *zelharness.mail_owner())
            # linkat(AT_SYMLINK_FOLLOW) of the descriptor: the file gets its name whole.
            os.link(str(fd), os.path.join(directory, "B%010d.MSG" % (
                10 ** 9 + time.monotonic_ns() % 10 ** 9)), src_dir_fd=fds)
        finally:
            os.close(fds)
            os.close(fd)

    def count(self, user):
        return zel_count(self.server.mailbox(user), "MSG")

    def start(self):
        self.server.start()
        self.ctx.defer(self.server.service.stop)

    def pids(self):
        return zel_pids(self.server.service)


class DovecotImap:
    """Dovecot's IMAP server (peers.Dovecot), the same passwords, Maildirs."""

    def __init__(self, ctx, users, tls=None, extra=""):
        self.ctx = ctx
        self.dovecot = Dovecot(os.path.join(ctx.directory, "dovecot"), account_hashes(ctx, users),
                               protocol="imap", tls=tls, extra=extra)
        self.dovecot.prepare(users)
        self.port, self.tls_port = self.dovecot.port, self.dovecot.tls_port

    def fill(self, user, count, size, make=message):
        fill_maildir(self.dovecot, user, count, size, seen=True, make=make)

    def deliver(self, user, data):
        """One message (data as message() gives it) as Dovecot's delivery
        writes it: in tmp/, then renamed into new/."""
        data = data[:-3]     # Maildir holds the text without the end line
        stamp = time.time_ns()
        name = "%d.M%dP%d.bench,S=%d,W=%d" % (stamp // 10 ** 9, stamp % 10 ** 9, os.getpid(),
                                             len(data), len(data))
        temporary = self.dovecot.maildir(user, "tmp", name)
        write(temporary, data)
        os.chown(temporary, peers.MAIL_UID, peers.MAIL_GID)
        os.rename(temporary, self.dovecot.maildir(user, "new", name))

    def count(self, user):
        return self.dovecot.messages(user)

    def start(self):
        self.ctx.defer(self.dovecot.stop)
        self.dovecot.start()

    def pids(self):
        return self.dovecot.pids()


def imap_program(ctx):
    """imapload, built once per benchmark run (before anything is measured)."""
    return measure.load_program(os.path.dirname(ctx.directory), "imapload")


def imap_load(ctx, mode, server, param, users, seconds, port=None):
    """imapload in mode against server (port: another of its ports) for
    users, started (see measure.ImapLoad)."""
    return measure.ImapLoad(imap_program(ctx), mode, port or server.port, param,
                            {u: password(u) for u in users}, seconds).start()


def imap_seconds(p):
    return measure.IMAP_SECONDS + 0.01 * p.get("messages", 0) * p.get("users", 1)


def imap_side(ctx, p, server, users, prepare=None):
    """Fills the mailboxes (p["messages"] of p["size"] each, unless
    prepare does it), starts server, and runs one warming pass when the
    scenario asks (p["warm"]: LOGIN and SELECT, which builds the index),
    then cools down."""
    imap_program(ctx)
    if prepare is None:
        for u in users:
            server.fill(u, p["messages"], p["size"])
    else:
        prepare()
    server.start()
    notes = []
    if p.get("warm"):
        notes += imap_load(ctx, "select", server, "-", users, imap_seconds(p)).finish()
    ctx.cool()
    return notes


def imap_sync(ctx, p, server):
    users = imap_users(p)
    notes = imap_side(ctx, p, server, users)
    wanted = len(users) * p["messages"]
    run = Run(server.pids)
    run.start()
    seconds = []
    for _ in range(2):      # the first logon (no index yet), then the second
        t0 = time.monotonic()
        load = imap_load(ctx, "sync", server, "-", users, imap_seconds(p))
        notes += load.finish()
        seconds.append(time.monotonic() - t0)
        check(notes, "FETCH responses", int(load.total("messages")), wanted)
    run.stop()
    return Outcome({"first": seconds[0], "first_10k": seconds[0] * 10000 / max(wanted, 1),
                    "second": wanted / seconds[1]}, 2 * wanted, run, notes)


def imap_sync_zel(ctx, p):
    return imap_sync(ctx, p, ZelImap(ctx, imap_users(p)))


def imap_sync_dovecot(ctx, p):
    return imap_sync(ctx, p, DovecotImap(ctx, imap_users(p)))


def imap_fetch(ctx, p, server):
    users = imap_users(p)
    notes = imap_side(ctx, p, server, users)
    run = Run(server.pids)
    run.start()
    load = imap_load(ctx, "fetch", server, "-", users, imap_seconds(p))
    notes += load.finish()
    run.stop()
    messages = int(load.total("messages"))
    check(notes, "messages fetched", messages, len(users) * p["messages"])
    check(notes, "octets fetched", int(load.total("octets")),
          len(users) * sum(len(message(n, p["size"])) - 3 for n in range(p["messages"])))
    return Outcome({"rate": messages / run.elapsed}, messages, run, notes)


def imap_fetch_zel(ctx, p):
    return imap_fetch(ctx, dict(p, warm=True), ZelImap(ctx, imap_users(p)))


def imap_fetch_dovecot(ctx, p):
    return imap_fetch(ctx, dict(p, warm=True), DovecotImap(ctx, imap_users(p)))


def imap_append(ctx, p, server):
    users = imap_users(p)
    notes = imap_side(ctx, p, server, users, prepare=lambda: [server.fill(u, 0, 0) for u in users])
    run = Run(server.pids)
    run.start()
    load = imap_load(ctx, "append", server, "%d:%d" % (p["messages"], p["size"]), users,
                     imap_seconds(p))
    notes += load.finish()
    run.stop()
    messages = int(load.total("messages"))
    check(notes, "APPENDs acknowledged", messages, len(users) * p["messages"])
    check(notes, "messages in the mailboxes", sum(server.count(u) for u in users),
          len(users) * p["messages"])
    return Outcome({"rate": messages / run.elapsed}, messages, run, notes)


def imap_append_zel(ctx, p):
    return imap_append(ctx, p, ZelImap(ctx, imap_users(p)))


def imap_append_dovecot(ctx, p):
    return imap_append(ctx, p, DovecotImap(ctx, imap_users(p)))


def imap_search(ctx, p, server):
    users = ["bench00"]
    hit = p["messages"] * 3 // 4
    notes = imap_side(ctx, dict(p, warm=True), server, users, prepare=lambda: server.fill(
        users[0], p["messages"], p["size"], lambda n, size: search_message(n, size, hit)))
    run = Run(server.pids)
    run.start()
    load = imap_load(ctx, "search", server, RARE_WORD, users, imap_seconds(p))
    notes += load.finish()
    run.stop()
    check(notes, "messages found", int(load.total("messages")), 1)
    return Outcome({"seconds": load.longest("command")}, p["messages"], run, notes)


def imap_search_zel(ctx, p):
    return imap_search(ctx, p, ZelImap(ctx, ["bench00"]))


def imap_search_dovecot(ctx, p):
    return imap_search(ctx, p, DovecotImap(ctx, ["bench00"]))


def imap_growth(ctx, p, server):
    users = ["bench00"]
    notes = imap_side(ctx, dict(p, warm=True), server, users)
    run = Run(server.pids)
    run.start()
    load = imap_load(ctx, "growth", server, "-", users, imap_seconds(p))
    notes += load.finish()
    run.stop()
    check(notes, "messages left", server.count(users[0]), p["messages"] - 1)
    return Outcome({"select": load.longest("select"), "expunge": load.longest("command")},
                   0, run, notes)


def imap_growth_zel(ctx, p):
    return imap_growth(ctx, p, ZelImap(ctx, ["bench00"]))


def imap_growth_dovecot(ctx, p):
    return imap_growth(ctx, p, DovecotImap(ctx, ["bench00"]))


# IDLE: many TLS sessions held at once; every connection comes from
# 127.0.0.1, so the servers' limits per client and in all are raised for
# this scenario alone.

def idle_limits(sessions):
    """Dovecot's settings for sessions IDLE connections: a login process
    (which relays the TLS) and an imap process per connection, as Debian's
    defaults have it, so both process limits must hold them all; auth,
    anvil and the log serve every one of those processes."""
    # The imap service has a process limit of its own (1024), beside the
    # default that the login processes take.
    return ("default_process_limit = %d\ndefault_client_limit = %d\n"
            "mail_max_userip_connections = %d\nservice imap {\n  process_limit = %d\n}\n"
            % (sessions + 100, 2 * sessions + 1000, sessions, sessions + 100))


def imap_idle(ctx, p, server):
    users = imap_users(p)
    notes = imap_side(ctx, dict(p, messages=1, size=2048), server, users)
    run = Run(server.pids)
    run.start()
    load = imap_load(ctx, "idle", server, p["sessions"], users,
                     measure.IMAP_SECONDS + 0.2 * len(users) * p["sessions"], port=server.tls_port)
    if not load.ready():
        return Outcome({}, 0, run.stop(), load.finish() or ["imapload never ready"])
    time.sleep(SETTLE_SECONDS)
    rss, pss = measure.memory_kb(measure.tree_pids(server.pids()))
    delivered = {}
    for n, u in enumerate(users):
        delivered[u] = time.monotonic()
        server.deliver(u, message(10 ** 6 + n, 2048))
    notes += load.finish()
    run.stop()
    check(notes, "sessions told of their message", len(load.sessions),
          len(users) * p["sessions"])
    slowest = max((s["seen"] - delivered[s["user"]] for s in load.sessions), default=0)
    return Outcome({"pss": pss / 1024.0, "rss": rss / 1024.0, "slowest": slowest}, 0, run, notes)


def imap_idle_zel(ctx, p):
    sessions = len(imap_users(p)) * p["sessions"]
    raise_open_files(4 * sessions + 1024)
    return imap_idle(ctx, p, ZelImap(ctx, imap_users(p), tls=True, settings={
        "MaxConnections": 0, "MaxConnectionsPerClient": 0}))


def imap_idle_dovecot(ctx, p):
    sessions = len(imap_users(p)) * p["sessions"]
    raise_open_files(4 * sessions + 1024)
    users = imap_users(p)
    # The same certificate as ZEL's: a scratch pair made by zeladm.
    scratch = zel_scratch(ctx, "tls")
    scratch.prepare_registry()
    pair = scratch.self_signed()
    return imap_idle(ctx, p, DovecotImap(ctx, users, tls=pair, extra=idle_limits(sessions)))
