#!/usr/bin/python3
"""Remote delivery benchmark: N messages to D remote domains, spool to sink.

Starts dnsmasq (the name server: D domains d0.bench.test, d1.bench.test, ...
whose MX records all name sink.bench.test at 127.0.0.2), a fast SMTP sink
(sink.py, a separate process) on 127.0.0.2, and zelrecv and zeldeliv with
"-run" under a scratch ZEL_ROOT (the end-to-end test harness,
tests/e2e/zelharness.py, and its peers, tests/e2e/remotepeers.py, through
bench/benchlib.py). C client threads send N messages of about S bytes
through zelrecv, message i to R recipients of domain i mod D. By default the
mail is all queued before the agent starts, so the figure is the agent's
alone: from its start until the sink has taken every message. With --live
the agent runs while the mail arrives and the figure runs from the first
acceptance. It prints messages per second and the agent's peak memory
(VmHWM of /proc/PID/status) and processor time per message, both read
before it is stopped. Only 127.0.0.0/8 is contacted; every wait is bounded.
"""

import argparse
import os
import socket
import subprocess
import sys
import shutil
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))

import benchlib  # noqa: E402  (after the path set-up above)
import remotepeers  # noqa: E402  (found through benchlib's path)
from benchlib import REPLY_SECONDS, zelharness  # noqa: E402

POLL_SECONDS = 0.05     # how often the sink is asked for its count
SINK_ADDRESS = "127.0.0.2"
SINK_NAME = "sink.bench.test"


def domain(number):
    return "d%d.bench.test" % number


def jobs(counter, args):
    """The messages whose numbers this client takes from the shared counter:
    message i to R recipients of domain i mod D."""
    for number in counter.numbers():
        head = (b"From: bench@bench.example\r\nSubject: remote bench %d\r\n"
                b"Message-ID: <rbench.%d@bench.example>\r\n\r\n" % (number, number))
        recipients = ["user%d@%s" % (r, domain(number % args.domains))
                      for r in range(args.recipients)]
        yield recipients, benchlib.make_message(head, args.size)


class Sink:
    """sink.py in its own process (so it has a processor of its own)."""

    def __init__(self, port):
        self.port = port
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "sink.py"),
                                      SINK_ADDRESS, str(port)],
                                     stdout=subprocess.PIPE, text=True)
        ready = [None]
        reader = threading.Thread(target=lambda: ready.__setitem__(0, self.proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(zelharness.WAIT_SECONDS)
        if ready[0] != "READY\n":
            self.stop()
            raise AssertionError("the sink did not start")

    def count(self):
        with socket.create_connection((SINK_ADDRESS, self.port), timeout=REPLY_SECONDS) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(b"XCOUNT\r\nQUIT\r\n")
            return int(f.readline().split()[1])

    def stop(self):
        benchlib.end_process(self.proc)


def run(mail, sink, args):
    """(start time, accepted times, delivered, time of the last delivery,
    client errors)."""
    if args.live:
        mail.agent.start()
    counter = benchlib.Counter(args.messages)
    clients = [benchlib.SmtpClient(mail.port, jobs(counter, args)) for _ in range(args.clients)]
    benchlib.start_together(clients)
    if not args.live:
        benchlib.join(clients, REPLY_SECONDS + args.messages)   # each reply is bounded anyway
        started = time.monotonic()
        mail.agent.start()
    wanted = len(benchlib.accepted_times(clients)) if not args.live else args.messages
    delivered, last = benchlib.wait_count(sink.count, wanted, clients, POLL_SECONDS)
    errors = benchlib.join(clients, REPLY_SECONDS)
    accepted = benchlib.accepted_times(clients)
    if args.live:
        started = accepted[0] if accepted else time.monotonic()
    return started, accepted, delivered, last, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages in all (N)")
    parser.add_argument("--domains", type=int, default=10, help="remote domains (D)")
    parser.add_argument("--recipients", type=int, default=1, help="recipients per message (R)")
    parser.add_argument("--clients", type=int, default=4, help="concurrent SMTP connections")
    parser.add_argument("--size", type=int, default=4096, help="message size in bytes")
    parser.add_argument("--threads", type=int, default=None,
                        help="MaxDeliveryThreads (default: the agent's own, 50)")
    parser.add_argument("--live", action="store_true",
                        help="run the agent while the mail arrives")
    args = benchlib.parse_args(parser)
    print("%d messages x %d bytes to %d domains, %d recipient(s) each, %s"
          % (args.messages, args.size, args.domains, args.recipients,
             "agent running while mail arrives" if args.live else "queued before the agent starts"))
    peers = tempfile.mkdtemp(prefix="zel-bench-remote-peers-")
    ns = sink = mail = None
    try:
        ns = remotepeers.NameServer(
            peers, mx=[(domain(d), SINK_NAME, 10) for d in range(args.domains)],
            hosts=[(SINK_NAME, SINK_ADDRESS)]).start()
        port = remotepeers.free_smtp_port([SINK_ADDRESS])
        sink = Sink(port)
        suite = {"MaxDeliveryThreads": args.threads} if args.threads is not None else None
        # A one-second scan interval, so that nothing waits for the default
        # two minutes.
        mail = zelharness.MailSystem(("administrator",), suite=suite,
                                     deliv={"SmtpPort": port, "Timeout": 1},
                                     name_server=ns.address, prefix="zel-bench-remote-")
        mail.start(agent=False)
        started, accepted, delivered, last, errors = run(mail, sink, args)
        deliv_use = benchlib.usage(mail.agent)
        queries = len(ns.queries())
    finally:
        for peer in (mail, sink, ns):
            if peer is not None:
                peer.stop()
        shutil.rmtree(peers, ignore_errors=True)
    if not accepted:
        print("nothing was accepted: %s" % (errors[:1] or "?"))
        return 1
    elapsed = last - started
    print("delivered %7d messages in %7.2f s  %9.1f msg/s  (%s)"
          % (delivered, elapsed, benchlib.rate(delivered, elapsed),
             "first acceptance to the last message at the sink" if args.live
             else "agent start to the last message at the sink"))
    print("zeldeliv: %s; DNS questions asked: %d" % (deliv_use.text(delivered), queries))
    if errors:
        print("%d clients failed: %s" % (len(errors), errors[0]))
    if delivered < len(accepted):
        print("only %d of %d messages arrived" % (delivered, len(accepted)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
