#!/usr/bin/python3
"""Retrieve benchmark: N mailboxes x M messages of S bytes, collected over
loopback by concurrent POP3 clients.

Starts zelfetch with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, tests/e2e/zelharness.py, through bench/benchlib.py), fills N
mailboxes with M message files of S bytes each (written straight into the
mailbox directories, or with --fill smtp sent through zelrecv and delivered
by zeldeliv), then lets one poplib client thread per mailbox log on,
retrieve every message, delete it and sign off. Prints the messages and
megabytes per second of the retrieval and zelfetch's peak memory (VmHWM of
/proc/PID/status) and processor time per message, both read before it is
stopped, and checks that every mailbox ended empty. Only 127.0.0.1 is ever
contacted; every wait is bounded.
"""

import argparse
import os
import poplib
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402  (after the path set-up above)
from benchlib import REPLY_SECONDS, zelharness  # noqa: E402

FILL_SECONDS = 600      # delivery of the whole load by --fill smtp may take this long


def user_name(number):
    return "bench%03d" % number


def password(number):
    return "bench-pw-%03d" % number


def make_message(mailbox, number, size):
    """A message file of size bytes (at least its header and end line) in
    lines of 78 bytes and one shorter (or one longer) line."""
    head = b"From: bench@bench.example\r\nSubject: bench %d %d\r\n\r\n" % (mailbox, number)
    tail = b".\r\n"
    full, rest = divmod(max(0, size - len(head) - len(tail)), 78)
    lines = [b"x" * 76 + b"\r\n"] * full
    if rest >= 2:
        lines.append(b"y" * (rest - 2) + b"\r\n")
    elif rest == 1 and lines:
        lines[-1] = b"x" * 77 + b"\r\n"
    return head + b"".join(lines) + tail


def fill_files(box_of, args):
    """Writes the message files straight into the mailboxes; total bytes."""
    total = 0
    for m in range(args.mailboxes):
        directory = box_of(user_name(m))
        os.makedirs(directory, exist_ok=True)
        for n in range(args.messages):
            data = make_message(m, n, args.size)
            with open(os.path.join(directory, "B%010d.MSG" % (m * args.messages + n)), "wb") as f:
                f.write(data)
            total += len(data)
    return total


def fill_smtp(mail, args):
    """Sends the load through zelrecv (one connection per mailbox) and
    waits until zeldeliv has delivered all of it; total bytes stored."""
    def jobs(m):
        recipient = "%s@%s" % (user_name(m), zelharness.LOCAL_HOST)
        for n in range(args.messages):
            yield [recipient], make_message(m, n, args.size)

    senders = [benchlib.SmtpClient(mail.port, jobs(m)) for m in range(args.mailboxes)]
    benchlib.start_together(senders)
    errors = benchlib.join(senders, REPLY_SECONDS * max(1, args.messages))
    if errors:
        raise SystemExit("filling by SMTP failed: %s" % errors[0])
    for m in range(args.mailboxes):
        got = mail.wait_messages(user_name(m), args.messages, FILL_SECONDS)
        if len(got) < args.messages:
            raise SystemExit("%s holds %d of %d messages" % (user_name(m), len(got),
                                                             args.messages))
    return sum(os.path.getsize(mail.mailbox(user_name(m), name))
               for m in range(args.mailboxes) for name in mail.messages(user_name(m)))


class Client(benchlib.ClientThread):
    """Collects one mailbox: every message retrieved, then deleted."""

    def __init__(self, port, number):
        super().__init__()
        self.port, self.number = port, number
        self.messages = 0
        self.octets = 0

    def work(self):
        client = poplib.POP3("127.0.0.1", self.port, timeout=REPLY_SECONDS)
        try:
            client.user(user_name(self.number))
            client.pass_(password(self.number))
            count, _ = client.stat()
            for n in range(1, count + 1):
                _, lines, octets = client.retr(n)
                client.dele(n)
                self.messages += 1
                self.octets += octets
            client.quit()
        finally:
            client.close()


def drive(port, args):
    clients = [Client(port, m) for m in range(args.mailboxes)]
    started = benchlib.start_together(clients)
    errors = benchlib.join(clients, REPLY_SECONDS * max(1, args.messages))
    elapsed = time.monotonic() - started
    return sum(c.messages for c in clients), sum(c.octets for c in clients), elapsed, errors


def report(name, messages, stored, elapsed, use, left, errors):
    mb = stored / 1e6
    print("%-9s %7d messages (%.1f MB) in %7.2f s  %9.1f msg/s  %7.2f MB/s  %s%s%s"
          % (name, messages, mb, elapsed, benchlib.rate(messages, elapsed),
             benchlib.rate(mb, elapsed), use.text(messages),
             "  (%d messages left in the mailboxes)" % left if left else "",
             "  (%d clients failed: %s)" % (len(errors), errors[0]) if errors else ""))


def retrieve(service, port, stored, args, left):
    """The retrieval from a started zelfetch, and its line; left() counts
    the messages still in the mailboxes afterwards."""
    before = benchlib.usage(service)
    messages, _, elapsed, errors = drive(port, args)
    report("zelfetch", messages, stored, elapsed, benchlib.usage(service, before), left(),
           errors)


def fetch_settings(args):
    """zelfetch's Parameters values for the run."""
    return {"Pop3LogEnabled": 1} if args.log else {}


def bench_files(args):
    users = {user_name(m): password(m) for m in range(args.mailboxes)}
    server = zelharness.Pop3Server(fetch_settings(args), users=users, prefix="zel-bench-pop3-")
    try:
        stored = fill_files(server.mailbox, args)
        server.start()
        retrieve(server.service, server.port, stored, args, lambda: sum(
            len(zelharness.files_with(server.mailbox(u), "MSG")) for u in users))
    finally:
        server.stop()


def bench_smtp(args):
    users = {user_name(m): password(m) for m in range(args.mailboxes)}
    mail = zelharness.MailSystem(tuple(users), passwords=users, fetch=fetch_settings(args),
                                 prefix="zel-bench-pop3m-")
    try:
        mail.start()
        stored = fill_smtp(mail, args)
        retrieve(mail.fetcher, mail.pop3_port, stored, args,
                 lambda: sum(len(mail.messages(u)) for u in users))
    finally:
        mail.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mailboxes", type=int, default=20,
                        help="mailboxes, one concurrent client each")
    parser.add_argument("--messages", type=int, default=50, help="messages per mailbox")
    parser.add_argument("--size", type=int, default=10240, help="message size in bytes")
    parser.add_argument("--fill", choices=["files", "smtp"], default="files",
                        help="write the message files directly, or send them by SMTP")
    parser.add_argument("--log", action="store_true",
                        help="with the POP3 activity log on (a line per DELE)")
    args = benchlib.parse_args(parser)
    print("%d mailboxes x %d messages x %d bytes, filled by %s"
          % (args.mailboxes, args.messages, args.size, args.fill))
    (bench_smtp if args.fill == "smtp" else bench_files)(args)


if __name__ == "__main__":
    main()
