#!/usr/bin/python3
"""Local delivery benchmark: N messages to M local users, SMTP to mailbox.

Starts zelrecv and zeldeliv with "-run" under a scratch ZEL_ROOT (the
end-to-end test harness, tests/e2e/zelharness.py, through bench/benchlib.py)
with M accounts, lets C client threads send N messages of about S bytes over
loopback, each to one user (round robin), and polls the M mailbox
directories until all N copies exist. It prints the acceptance rate, the
delivery rate (messages per second from the first acceptance to the last
mailbox copy), how long the agent needed after the last acceptance, and the
peak memory (VmHWM) and processor time per message of both programs, read
before they are stopped. Only 127.0.0.1 is contacted; every wait is bounded.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402  (after the path set-up above)
from benchlib import REPLY_SECONDS, rate, zelharness  # noqa: E402

POLL_SECONDS = 0.02     # how often the mailboxes are counted


def jobs(counter, args):
    """The messages whose numbers this client takes from the shared counter."""
    for number in counter.numbers():
        head = (b"From: bench@bench.example\r\nSubject: local bench %d\r\n"
                b"Message-ID: <bench.%d@bench.example>\r\n\r\n" % (number, number))
        recipient = "user%d@%s" % (number % args.users, zelharness.LOCAL_HOST)
        yield [recipient], benchlib.make_message(head, args.size)


def count_copies(mail, users):
    return sum(len(zelharness.files_with(mail.mailbox("user%d" % u), "MSG")) for u in range(users))


def drive(mail, args):
    counter = benchlib.Counter(args.messages)
    clients = [benchlib.SmtpClient(mail.port, jobs(counter, args)) for _ in range(args.clients)]
    started = benchlib.start_together(clients)
    delivered, last_copy = benchlib.wait_count(lambda: count_copies(mail, args.users),
                                               args.messages, clients, POLL_SECONDS)
    errors = benchlib.join(clients, REPLY_SECONDS)
    return started, benchlib.accepted_times(clients), delivered, last_copy, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages in all (N)")
    parser.add_argument("--users", type=int, default=10, help="local users (M)")
    parser.add_argument("--clients", type=int, default=4, help="concurrent SMTP connections")
    parser.add_argument("--size", type=int, default=4096, help="message size in bytes")
    args = benchlib.parse_args(parser)
    users = ["user%d" % u for u in range(args.users)] + ["administrator"]
    print("%d messages x %d bytes to %d users over %d connections"
          % (args.messages, args.size, args.users, args.clients))
    mail = zelharness.MailSystem(users, prefix="zel-bench-local-").start()
    try:
        recv_use, deliv_use = benchlib.usage(mail.receiver), benchlib.usage(mail.agent)
        started, accepted, delivered, last_copy, errors = drive(mail, args)
        recv_use = benchlib.usage(mail.receiver, recv_use)
        deliv_use = benchlib.usage(mail.agent, deliv_use)
    finally:
        mail.stop()
    if not accepted:
        print("nothing was accepted: %s" % (errors[:1] or "?"))
        return 1
    print("accepted  %7d messages in %7.2f s  %9.1f msg/s"
          % (len(accepted), accepted[-1] - started, rate(len(accepted), accepted[-1] - started)))
    print("delivered %7d copies   in %7.2f s  %9.1f msg/s  (first acceptance to last copy)"
          % (delivered, last_copy - accepted[0], rate(delivered, last_copy - accepted[0])))
    print("drain     %7.2f s after the last acceptance" % max(0.0, last_copy - accepted[-1]))
    print("zelrecv:  %s" % recv_use.text(len(accepted)))
    print("zeldeliv: %s" % deliv_use.text(delivered))
    if errors:
        print("%d clients failed: %s" % (len(errors), errors[0]))
    if delivered < args.messages:
        print("only %d of %d copies arrived" % (delivered, args.messages))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
