#!/usr/bin/python3
"""Receive benchmark: N clients x M messages of S bytes over loopback.

Starts zelrecv with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, tests/e2e/zelharness.py, through bench/benchlib.py), lets N client
threads each hold one connection and send M messages of about S bytes one
after the other, and prints the messages per second, the receiver's peak
memory (VmHWM of /proc/PID/status) and its processor time per message, both
read before it is stopped. With --peer aiosmtpd the same load also runs
against aiosmtpd's sink (python3-aiosmtpd), side by side; with --filter the
same load runs again with the scripted accept-all mail filter
(tests/e2e/scriptfilter.py, python3-milter) as zelrecv's Milters, and the
ratio of the two rates is printed (a pass-through filter should keep at
least 75% of the rate at 8 clients). Only 127.0.0.1 is
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


def bench_zelrecv(args, milters=(), name="zelrecv"):
    # Every client of the load comes from 127.0.0.1: no per-client limit.
    settings = {"MaxConnectionsPerClient": 0}
    if milters:
        settings["Milters"] = list(milters)
    receiver = zelharness.Receiver(settings, prefix="zel-bench-recv-").start()
    try:
        before = benchlib.usage(receiver.service)
        sent, elapsed, errors = drive(receiver.port, args)
        report(name, sent, elapsed, benchlib.usage(receiver.service, before), errors)
        return benchlib.rate(sent, elapsed)
    finally:
        receiver.stop()


def bench_filtered(args, plain):
    why = zelharness.pymilter_missing()
    if why:
        print("no filter run: " + why)
        return
    with zelharness.ScriptFilter("inet:127.0.0.1:0") as accept_all:
        filtered = bench_zelrecv(args, [accept_all.spec], "+filter")
    print("with the accept-all filter: %.0f%% of the rate without" % (100.0 * filtered / plain))


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
    parser.add_argument("--filter", action="store_true",
                        help="also run it through the scripted accept-all mail filter")
    args = benchlib.parse_args(parser)
    print("%d clients x %d messages x %d bytes" % (args.clients, args.messages, args.size))
    plain = bench_zelrecv(args)
    if args.filter:
        bench_filtered(args, plain)
    if args.peer == "aiosmtpd":
        bench_aiosmtpd(args)


if __name__ == "__main__":
    main()
