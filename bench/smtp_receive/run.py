#!/usr/bin/python3
"""Receive benchmark: N clients x M messages of S bytes over loopback.

Starts zelrecv with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, tests/e2e/zelharness.py), lets N client threads each hold one
connection and send M messages of about S bytes one after the other, and
prints the messages per second and the receiver's peak memory (VmHWM of
/proc/PID/status, read before it is stopped). With --peer aiosmtpd the same
load also runs against aiosmtpd's sink (python3-aiosmtpd), side by side.
Only 127.0.0.1 is ever contacted; every wait is bounded.
"""

import argparse
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import zelharness  # noqa: E402  (after the path set-up above)

REPLY_SECONDS = 120     # one reply may take this long before a client gives up


def make_message(client, number, size):
    head = b"From: bench@bench.example\r\nSubject: bench %d %d\r\n\r\n" % (client, number)
    line = b"x" * 76 + b"\r\n"
    body = line * max(0, (size - len(head)) // len(line))
    return head + body + b".\r\n"


class Client(threading.Thread):
    def __init__(self, port, number, messages, size, barrier):
        super().__init__(daemon=True)
        self.port, self.number, self.messages, self.size = port, number, messages, size
        self.barrier = barrier
        self.sent = 0
        self.error = None

    def run(self):
        try:
            self.barrier.wait(timeout=REPLY_SECONDS)
            with zelharness.SmtpConnection(self.port, timeout=REPLY_SECONDS) as conn:
                self.expect(conn.reply(), "220")
                self.expect(conn.command("HELO bench%d.example" % self.number), "250")
                for m in range(self.messages):
                    self.expect(conn.command("MAIL FROM:<bench@bench.example>"), "250")
                    self.expect(conn.command("RCPT TO:<user%d>" % self.number), "250")
                    self.expect(conn.command("DATA"), "354")
                    conn.send(make_message(self.number, m, self.size))
                    self.expect(conn.reply(), "250")
                    self.sent += 1
                conn.command("QUIT")
        except Exception as e:  # counted and shown by the driver
            self.error = repr(e)

    @staticmethod
    def expect(reply, code):
        if not reply.startswith(code):
            raise AssertionError("reply %r, expected %s" % (reply, code))


def drive(port, args):
    barrier = threading.Barrier(args.clients + 1)
    clients = [Client(port, c, args.messages, args.size, barrier) for c in range(args.clients)]
    for c in clients:
        c.start()
    barrier.wait(timeout=REPLY_SECONDS)
    started = time.monotonic()
    for c in clients:
        c.join(REPLY_SECONDS * max(1, args.messages))
    elapsed = time.monotonic() - started
    errors = [c.error for c in clients if c.error]
    return sum(c.sent for c in clients), elapsed, errors


def report(name, sent, elapsed, peak_kb, errors):
    print("%-9s %7d messages in %7.2f s  %9.1f msg/s  peak memory %s kB%s"
          % (name, sent, elapsed, sent / elapsed if elapsed else 0.0,
             peak_kb if peak_kb is not None else "?",
             "  (%d clients failed: %s)" % (len(errors), errors[0]) if errors else ""))


def bench_zelrecv(args):
    receiver = zelharness.Receiver(prefix="zel-bench-recv-").start()
    try:
        sent, elapsed, errors = drive(receiver.port, args)
        report("zelrecv", sent, elapsed, receiver.service.peak_memory_kb(), errors)
    finally:
        receiver.stop()


def wait_for_port(port, proc):
    deadline = time.monotonic() + zelharness.WAIT_SECONDS
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                if s.recv(512).startswith(b"220"):
                    s.sendall(b"QUIT\r\n")
                    return True
        except OSError:
            time.sleep(0.1)
    return False


def bench_aiosmtpd(args):
    port = zelharness.free_port()
    proc = subprocess.Popen(["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                             "127.0.0.1:%d" % port, "-c", "aiosmtpd.handlers.Sink"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_for_port(port, proc):
            print("aiosmtpd did not start (is python3-aiosmtpd installed?)")
            return
        sent, elapsed, errors = drive(port, args)
        report("aiosmtpd", sent, elapsed, zelharness.proc_status(proc.pid, "VmHWM"), errors)
    finally:
        proc.terminate()
        if zelharness.wait_exit(proc, 10) is None:
            zelharness.stop_child(proc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--clients", type=int, default=50, help="concurrent connections")
    parser.add_argument("--messages", type=int, default=100, help="messages per connection")
    parser.add_argument("--size", type=int, default=10240, help="message size in bytes")
    parser.add_argument("--peer", choices=["none", "aiosmtpd"], default="none",
                        help="also run the same load against this peer")
    parser.add_argument("--build", help="build directory (default $ZEL_BUILD_DIR or build/)")
    args = parser.parse_args()
    if args.build:
        zelharness.BIN_DIR = os.path.join(args.build, "bin")
    print("%d clients x %d messages x %d bytes" % (args.clients, args.messages, args.size))
    bench_zelrecv(args)
    if args.peer == "aiosmtpd":
        bench_aiosmtpd(args)


if __name__ == "__main__":
    main()
