#!/usr/bin/python3
"""Receive benchmark: N clients x M messages of S bytes over loopback.

Starts zelrecv with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, tests/e2e/zelharness.py, through bench/benchlib.py), lets N client
threads each hold one connection and send M messages of about S bytes one
after the other, and prints the messages per second, the receiver's peak
memory (VmHWM of /proc/PID/status) and its processor time per message, both
read before it is stopped. With --peer aiosmtpd the same load also runs
against aiosmtpd's sink (python3-aiosmtpd), side by side. Only 127.0.0.1 is
ever contacted; every wait is bounded.
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402  (after the path set-up above)
from benchlib import REPLY_SECONDS, zelharness  # noqa: E402


def jobs(client, args):
    """The messages of client number client, all to user<client>."""
    for m in range(args.messages):
        head = b"From: bench@bench.example\r\nSubject: bench %d %d\r\n\r\n" % (client, m)
        yield ["user%d" % client], benchlib.make_message(head, args.size)


def drive(port, args):
    clients = [benchlib.SmtpClient(port, jobs(c, args), helo="bench%d.example" % c)
               for c in range(args.clients)]
    started = benchlib.start_together(clients)
    errors = benchlib.join(clients, REPLY_SECONDS * max(1, args.messages))
    elapsed = time.monotonic() - started
    return sum(len(c.accepted) for c in clients), elapsed, errors


def report(name, sent, elapsed, use, errors):
    print("%-9s %7d messages in %7.2f s  %9.1f msg/s  %s%s"
          % (name, sent, elapsed, benchlib.rate(sent, elapsed), use.text(sent),
             "  (%d clients failed: %s)" % (len(errors), errors[0]) if errors else ""))


def bench_zelrecv(args):
    # Every client of the load comes from 127.0.0.1: no per-client limit.
    receiver = zelharness.Receiver({"MaxConnectionsPerClient": 0},
                                   prefix="zel-bench-recv-").start()
    try:
        before = benchlib.usage(receiver.service)
        sent, elapsed, errors = drive(receiver.port, args)
        report("zelrecv", sent, elapsed, benchlib.usage(receiver.service, before), errors)
    finally:
        receiver.stop()


def bench_aiosmtpd(args):
    port = zelharness.free_port()
    proc = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                             "127.0.0.1:%d" % port, "-c", "aiosmtpd.handlers.Sink"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not benchlib.wait_for_greeting(port, proc):
            print("aiosmtpd did not start (is python3-aiosmtpd installed?)")
            return
        before = benchlib.usage(proc)
        sent, elapsed, errors = drive(port, args)
        report("aiosmtpd", sent, elapsed, benchlib.usage(proc, before), errors)
    finally:
        benchlib.end_process(proc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--clients", type=int, default=50, help="concurrent connections")
    parser.add_argument("--messages", type=int, default=100, help="messages per connection")
    parser.add_argument("--size", type=int, default=10240, help="message size in bytes")
    parser.add_argument("--peer", choices=["none", "aiosmtpd"], default="none",
                        help="also run the same load against this peer")
    args = benchlib.parse_args(parser)
    print("%d clients x %d messages x %d bytes" % (args.clients, args.messages, args.size))
    bench_zelrecv(args)
    if args.peer == "aiosmtpd":
        bench_aiosmtpd(args)


if __name__ == "__main__":
    main()
