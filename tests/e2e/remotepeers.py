"""The far end of remote delivery, for the end-to-end tests and the
benchmark: real software that nobody here wrote.

NameServer runs dnsmasq (/usr/sbin/dnsmasq) as a child process on a free
port of 127.0.0.1, serving only the MX, A and CNAME records a test gives it:
no upstream server (--no-resolv, no --server), no hosts file, no
configuration file, and every name under "test" that it does not know is
answered NXDOMAIN (--local=/test/). Its query log is kept in the scratch
directory so a test can see which questions were asked. The agent is
pointed at it through the Tcpip NameServer value ("127.0.0.1:port").

Exchanger runs aiosmtpd (Debian's python3-aiosmtpd) in a thread of the test
process on one loopback address (127.0.0.2, 127.0.0.3, ...) and the port
that every exchanger of a test shares (the agent's SmtpPort setting). It
records each session's commands and each message it took, and can be told
to refuse recipients, answer the data with a given reply, drop the
connection in the middle of the data, or hold each message for a while (to
count concurrent sessions across exchangers through a shared Board).

query_dns asks a server one question over UDP or TCP, so a test can check
its own premises (that an answer really is truncated over UDP, say).

Every wait is bounded; stop() ends what start() began, in all cases.
"""

import asyncio
import logging
import os
import random
import socket
import struct
import subprocess
import threading
import time

DNSMASQ = "/usr/sbin/dnsmasq"

# aiosmtpd reports every session on its "mail.log" logger; the tests read
# what the exchangers recorded instead.
logging.getLogger("mail.log").addHandler(logging.NullHandler())
logging.getLogger("mail.log").propagate = False
# Every wait of these peers is bounded by this many seconds.
PEER_SECONDS = 10

DNS_TYPES = {1: "A", 5: "CNAME", 12: "PTR", 15: "MX", 28: "AAAA"}


# ---------------------------------------------------------------------------
# DNS: a minimal client to check what the name server really answers.

def _dns_name(data, pos, hops=0):
    """The name at pos and the position after it (compression followed)."""
    labels = []
    end = None
    while True:
        if pos >= len(data) or hops > 20:
            raise ValueError("bad name")
        length = data[pos]
        if length >= 0xC0:
            if end is None:
                end = pos + 2
            pos = ((length & 0x3F) << 8) | data[pos + 1]
            hops += 1
            continue
        pos += 1
        if length == 0:
            break
        labels.append(data[pos:pos + length].decode("latin-1"))
        pos += length
    return ".".join(labels), (end if end is not None else pos)


class DnsAnswer:
    """A parsed response: flags, rcode, tc, and the answer records as
    (name, type name, value) with value the target name, the dotted
    address, or (preference, exchange) for MX."""

    def __init__(self, data):
        self.size = len(data)
        _, flags, qd, an, ns, ar = struct.unpack(">HHHHHH", data[:12])
        self.tc = bool(flags & 0x0200)
        self.rcode = flags & 0x000F
        pos = 12
        for _ in range(qd):
            _, pos = _dns_name(data, pos)
            pos += 4
        self.answers = []
        for _ in range(an):
            name, pos = _dns_name(data, pos)
            rtype, _, _, length = struct.unpack(">HHIH", data[pos:pos + 10])
            pos += 10
            rdata = pos
            pos += length
            kind = DNS_TYPES.get(rtype, str(rtype))
            if rtype == 15:
                value = (struct.unpack(">H", data[rdata:rdata + 2])[0],
                         _dns_name(data, rdata + 2)[0])
            elif rtype == 5:
                value = _dns_name(data, rdata)[0]
            elif rtype == 1:
                value = socket.inet_ntoa(data[rdata:rdata + 4])
            elif rtype == 28:
                value = socket.inet_ntop(socket.AF_INET6, data[rdata:rdata + 16])
            else:
                value = data[rdata:pos]
            self.answers.append((name, kind, value))

    def exchanges(self):
        """The MX records in answer order, as (preference, host)."""
        return [value for _, kind, value in self.answers if kind == "MX"]


def query_dns(port, name, qtype, tcp=False, host="127.0.0.1"):
    """One question (qtype a number) to host:port; the DnsAnswer."""
    qid = random.randrange(65536)
    message = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    for label in name.split("."):
        message += bytes([len(label)]) + label.encode("latin-1")
    message += b"\0" + struct.pack(">HH", qtype, 1)
    if tcp:
        with socket.create_connection((host, port), timeout=PEER_SECONDS) as s:
            s.sendall(struct.pack(">H", len(message)) + message)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                chunk = s.recv(65536)
                if not chunk:
                    raise AssertionError("name server closed the TCP connection early")
                data += chunk
            data = data[2:]
    else:
        with socket.socket(_family(host), socket.SOCK_DGRAM) as s:
            s.settimeout(PEER_SECONDS)
            s.connect((host, port))
            s.send(message)
            data = s.recv(65536)
    if data[:2] != message[:2]:
        raise AssertionError("answer with another identifier")
    return DnsAnswer(data)


# ---------------------------------------------------------------------------
# dnsmasq.

def _family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def _port_free(port, host="127.0.0.1"):
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        with socket.socket(_family(host), kind) as s:
            try:
                s.bind((host, port))
            except OSError:
                return False
    return True


class NameServer:
    """dnsmasq on 127.0.0.1 (or listen, "::1") with only the given records.

    mx: [(domain, host, preference)]; hosts: [(name, address)] (IPv4 or
    IPv6: A or AAAA records); cnames: [(alias, target)]; txt: [(name,
    text)], the text's strings separated by commas; srv: [(name, target,
    port, priority, weight)], or [(name,)] for "not offered"; rr: [(name,
    type number, data in hex)]. Records are given to dnsmasq in list order
    (which is the order of its answers). directory: where the query log goes.
    """

    PROBE = "probe.zelpeer.test"

    def __init__(self, directory, mx=(), hosts=(), cnames=(), listen="127.0.0.1", txt=(),
                 srv=(), rr=()):
        self.listen = listen
        self.directory = directory
        self.log_path = os.path.join(directory, "dnsmasq-%d.log" % id(self))
        self.options = ["--mx-host=%s,%s,%d" % (d, h, p) for d, h, p in mx]
        self.options += ["--host-record=%s,%s" % (n, a) for n, a in hosts]
        self.options += ["--cname=%s,%s" % (a, t) for a, t in cnames]
        self.options += ["--txt-record=%s,%s" % (n, t) for n, t in txt]
        self.options += ["--srv-host=" + ",".join(str(f) for f in s) for s in srv]
        self.options += ["--dns-rr=%s,%d,%s" % r for r in rr]
        self.options.append("--host-record=%s,127.0.0.1" % self.PROBE)
        self.proc = None
        self.port = None

    @property
    def address(self):
        """The Tcpip NameServer entry for this server."""
        host = "[%s]" % self.listen if ":" in self.listen else self.listen
        return "%s:%d" % (host, self.port)

    def start(self):
        for _ in range(5):
            port = random.randrange(20000, 60000)
            if not _port_free(port, self.listen):
                continue
            if self._launch(port):
                return self
        raise AssertionError("dnsmasq did not start; log %s" % self.log_text()[-2000:])

    def _launch(self, port):
        args = [DNSMASQ, "--no-daemon", "--port=%d" % port, "--listen-address=" + self.listen,
                "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null",
                "--local=/test/", "--cache-size=0", "--log-queries=extra",
                "--log-facility=" + self.log_path] + self.options
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.port = port
        deadline = time.monotonic() + PEER_SECONDS
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                if query_dns(port, self.PROBE, 1, host=self.listen).answers:
                    return True
            except (OSError, AssertionError, ValueError):
                time.sleep(0.05)
        self.stop()
        return False

    def log_text(self):
        try:
            with open(self.log_path, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def queries(self):
        """[(type, name)] of every question asked, the start-up probe left out."""
        found = []
        for line in self.log_text().splitlines():
            marker = line.find(" query[")
            if marker < 0:
                continue
            rest = line[marker + 7:]
            kind, _, rest = rest.partition("] ")
            name = rest.split(" ", 1)[0]
            if name != self.PROBE:
                found.append((kind, name))
        return found

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=PEER_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=PEER_SECONDS)
        self.proc = None


class SilentNameServer:
    """A UDP and TCP socket on 127.0.0.1 that never answers: a name server
    that is there but does not reply."""

    def __init__(self):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.port = self.udp.getsockname()[1]

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def received(self):
        """Datagrams that arrived so far (read without waiting)."""
        self.udp.setblocking(False)
        count = 0
        try:
            while True:
                self.udp.recv(65536)
                count += 1
        except (BlockingIOError, InterruptedError):
            pass
        return count

    def stop(self):
        self.udp.close()


# ---------------------------------------------------------------------------
# An exchanger that is down but can be seen to be asked.

class Closer:
    """Accepts connections on address:port and closes each at once,
    without a greeting; counts them."""

    def __init__(self, address, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(16)
        self.sock.settimeout(0.1)
        self.accepted = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done.is_set():
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            conn.close()
            self.accepted += 1

    def stop(self):
        self.done.set()
        self.thread.join(PEER_SECONDS)
        self.sock.close()


# ---------------------------------------------------------------------------
# aiosmtpd exchangers.

class Board:
    """Sessions open at once across a group of exchangers."""

    def __init__(self):
        self.lock = threading.Lock()
        self.active = 0
        self.peak = 0

    def opened(self):
        with self.lock:
            self.active += 1
            self.peak = max(self.peak, self.active)

    def closed(self):
        with self.lock:
            self.active -= 1


class Session:
    """One connection that said HELO or EHLO: its commands in order, the
    TLS version once STARTTLS succeeded, the parameters of each MAIL and
    what had already arrived behind each MAIL when it was read (the
    commands a pipelining client sent with it)."""

    def __init__(self, peer):
        self.peer = peer
        self.commands = []
        self.open = True
        self.tls = None
        self.mail_options = []
        self.after_mail = []

    def verbs(self):
        return [c.split(" ", 1)[0].upper() for c in self.commands]


def free_smtp_port(addresses, tries=50):
    """A TCP port that is free on every one of addresses."""
    for _ in range(tries):
        port = random.randrange(20000, 60000)
        ok = True
        for address in addresses:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                try:
                    s.bind((address, port))
                except OSError:
                    ok = False
                    break
        if ok:
            return port
    raise AssertionError("no port free on all of %s" % (addresses,))


class Exchanger:
    """An aiosmtpd server on address:port, named name in its replies.

    Set at creation: tls_context (an ssl.SSLContext: STARTTLS is offered),
    implicit_tls (an ssl.SSLContext: TLS from the start, as on port 465),
    size_limit (announced with SIZE; aiosmtpd's default otherwise),
    pipelining (PIPELINING is offered: aiosmtpd reads one command line at a
    time, so commands sent ahead wait in its buffer in order), accounts
    ({user: password}: AUTH PLAIN and LOGIN are offered, under TLS only
    unless auth_in_clear; each attempt is recorded in auths as (mechanism,
    user, password, accepted)).
    Behaviour (set before or while it runs):
      rcpt_replies: {address (lower case): reply} for refused recipients;
      data_reply: the reply to the data (None: "250 OK");
      drop_in_data: close the connection after the first line of data;
      hold_seconds: wait this long before answering the data.
    Records: sessions (Session), messages [(mail_from, rcpt_tos, content)].
    """

    def __init__(self, address, port, name=None, board=None, tls_context=None,
                 size_limit=None, pipelining=False, accounts=None, auth_in_clear=False,
                 implicit_tls=None):
        self.address, self.port = address, port
        self.name = name or "mx-%s.peer.test" % address.replace(".", "-").replace(":", "-")
        self.board = board
        self.pipelining = pipelining
        self.server_options = {"tls_context": tls_context} if tls_context else {}
        self.implicit_tls = implicit_tls
        if size_limit is not None:
            self.server_options["data_size_limit"] = size_limit
        self.auths = []
        if accounts is not None:
            self.server_options.update(authenticator=self._authenticator(accounts),
                                       auth_require_tls=not auth_in_clear)
        self.rcpt_replies = {}
        self.data_reply = None
        self.drop_in_data = False
        self.hold_seconds = 0
        self.lock = threading.Lock()
        self.sessions = []
        self.messages = []
        self.controller = None

    # -- what it saw ---------------------------------------------------------

    def message_count(self):
        with self.lock:
            return len(self.messages)

    def session_list(self):
        with self.lock:
            return list(self.sessions)

    def all_commands(self):
        with self.lock:
            return [c for s in self.sessions for c in s.commands]

    # -- running -------------------------------------------------------------

    def start(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import SMTP

        exchanger = self

        class Server(SMTP):
            def connection_lost(self, error):
                exchanger._close_session(getattr(self, "zel_session", None))
                super().connection_lost(error)

            async def smtp_DATA(self, arg):
                if exchanger.drop_in_data and self.envelope.rcpt_tos:
                    exchanger._note(self, "DATA")
                    await self.push("354 End data with <CR><LF>.<CR><LF>")
                    try:
                        await asyncio.wait_for(self._reader.readuntil(b"\r\n"), PEER_SECONDS)
                    finally:
                        # As QUIT does: no further line is read as a command.
                        self._handler_coroutine.cancel()
                        self.transport.close()
                    return
                await super().smtp_DATA(arg)

        class Handler:
            async def handle_HELO(self, server, session, envelope, hostname):
                exchanger._open_session(server, "HELO " + hostname)
                session.host_name = hostname
                return "250 " + exchanger.name

            async def handle_EHLO(self, server, session, envelope, hostname, responses):
                ssl_object = server.transport.get_extra_info("ssl_object")
                if ssl_object is not None and getattr(server, "zel_session", None):
                    # The EHLO that follows STARTTLS: the same session.
                    exchanger._note(server, "EHLO " + hostname)
                    server.zel_session.tls = ssl_object.version()
                else:
                    exchanger._open_session(server, "EHLO " + hostname)
                    if ssl_object is not None:   # TLS from the start
                        server.zel_session.tls = ssl_object.version()
                session.host_name = hostname
                if exchanger.pipelining:
                    responses.insert(len(responses) - 1, "250-PIPELINING")
                return responses

            async def handle_MAIL(self, server, session, envelope, address, options):
                exchanger._note(server, "MAIL " + address)
                if getattr(server, "zel_session", None):
                    server.zel_session.mail_options.append(list(options))
                    # The stream's own buffer: what came in with MAIL.
                    ahead = getattr(server._reader, "_buffer", b"")
                    server.zel_session.after_mail.append(bytes(ahead))
                envelope.mail_from = address
                return "250 OK"

            async def handle_RCPT(self, server, session, envelope, address, options):
                exchanger._note(server, "RCPT " + address)
                reply = exchanger.rcpt_replies.get(address.lower())
                if reply:
                    return reply
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_RSET(self, server, session, envelope):
                exchanger._note(server, "RSET")
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                exchanger._note(server, "DATA")
                if exchanger.hold_seconds:
                    await asyncio.sleep(exchanger.hold_seconds)
                reply = exchanger.data_reply or "250 OK"
                if reply.startswith("250"):
                    with exchanger.lock:
                        exchanger.messages.append((envelope.mail_from, list(envelope.rcpt_tos),
                                                   envelope.original_content))
                return reply

            async def handle_QUIT(self, server, session, envelope):
                exchanger._note(server, "QUIT")
                # The session counts as closed once QUIT is answered: the
                # client may be on its next connection before this server
                # has seen the close.
                exchanger._close_session(getattr(server, "zel_session", None))
                return "221 Bye"

        class Control(Controller):
            def factory(self):
                return Server(self.handler, hostname=exchanger.name, ident="peer",
                              **exchanger.server_options)

        self.controller = Control(Handler(), hostname=self.address, port=self.port,
                                  ready_timeout=PEER_SECONDS, ssl_context=self.implicit_tls)
        self.controller.start()
        return self

    def _authenticator(self, accounts):
        from aiosmtpd.smtp import AuthResult

        def check(server, session, envelope, mechanism, data):
            user = data.login.decode("utf-8", "replace")
            password = data.password.decode("utf-8", "replace")
            accepted = accounts.get(user) == password
            with self.lock:
                self.auths.append((mechanism, user, password, accepted))
            # handled=False: aiosmtpd itself answers 535 to a refusal.
            return AuthResult(success=accepted, handled=False)
        return check

    def _open_session(self, server, command):
        session = Session(server.session.peer)
        session.commands.append(command)
        server.zel_session = session
        with self.lock:
            self.sessions.append(session)
        if self.board:
            self.board.opened()

    def _note(self, server, command):
        session = getattr(server, "zel_session", None)
        if session is not None:
            with self.lock:
                session.commands.append(command)

    def _close_session(self, session):
        if session is None:
            return
        with self.lock:
            was_open, session.open = session.open, False
        if was_open and self.board:
            self.board.closed()

    def stop(self):
        if self.controller is not None:
            try:
                self.controller.stop()
            except (AssertionError, RuntimeError):
                pass
            self.controller = None
