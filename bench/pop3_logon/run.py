#!/usr/bin/python3
"""Logon benchmark: how long a POP3 logon to one large mailbox takes, and
what the listings and the deletions at QUIT cost on it.

Starts zelfetch with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, through bench/benchlib.py), writes --messages message files of
--size bytes straight into one mailbox, and then, --rounds times, logs on
over a raw socket and times: the PASS reply (logon, mailbox lock and scan),
STAT, UIDL and LIST (each read to its end line), and QUIT. With --dele the
last round marks every message deleted first, so its QUIT removes them all.
Prints the median and range of each step and zelfetch's peak memory. Only
127.0.0.1 is contacted; every wait is bounded.
"""

import argparse
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402  (after the path set-up above)
from benchlib import REPLY_SECONDS, zelharness  # noqa: E402

USER, PASSWORD = "bigbox", "bench-big-pw"


def fill(directory, count, size):
    os.makedirs(directory, exist_ok=True)
    data = benchlib.make_message(b"From: bench@bench.example\r\nSubject: big\r\n\r\n", size)
    for n in range(count):
        with open(os.path.join(directory, "B%010d.MSG" % (n + 1)), "wb") as f:
            f.write(data)
    return len(data)


def timed(action):
    started = time.monotonic()
    result = action()
    return time.monotonic() - started, result


def one_round(server, count, dele):
    """{step: seconds} of one logon and its listings."""
    times = {}
    with server.connect(timeout=REPLY_SECONDS) as conn:
        benchlib.expect(conn.command("USER " + USER), "+OK")
        times["PASS"], reply = timed(lambda: conn.command("PASS " + PASSWORD))
        benchlib.expect(reply, "+OK")
        seen = int(re.search(r"has (\d+) message", reply).group(1))
        if seen != count:
            print("the logon sees %d of the %d messages" % (seen, count))
            count = seen
        times["STAT"], reply = timed(lambda: conn.command("STAT"))
        for command in ("UIDL", "LIST"):
            conn.send(command + "\r\n")
            times[command], _ = timed(lambda: conn.read_until(b"\r\n.\r\n", REPLY_SECONDS))
        if dele:
            started = time.monotonic()
            batch = 1000
            for first in range(1, count + 1, batch):
                last = min(count, first + batch - 1)
                conn.send("".join("DELE %d\r\n" % n for n in range(first, last + 1)))
                for _ in range(first, last + 1):
                    conn.reply(REPLY_SECONDS)
            times["DELE all"] = time.monotonic() - started
        times["QUIT"], _ = timed(lambda: conn.command("QUIT"))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=100000, help="messages in the mailbox")
    parser.add_argument("--size", type=int, default=2048, help="message size in bytes")
    parser.add_argument("--rounds", type=int, default=5, help="logons to time")
    parser.add_argument("--dele", action="store_true",
                        help="the last round deletes every message at QUIT")
    args = benchlib.parse_args(parser)
    server = zelharness.Pop3Server(users={USER: PASSWORD}, prefix="zel-bench-logon-")
    try:
        size = fill(server.mailbox(USER), args.messages, args.size)
        print("one mailbox of %d messages x %d bytes" % (args.messages, size))
        server.start()
        rounds = []
        for r in range(args.rounds):
            rounds.append(one_round(server, args.messages, args.dele and r == args.rounds - 1))
        for step in rounds[-1]:
            values = [t[step] for t in rounds if step in t]
            print("%-9s median %8.3f s  range %8.3f - %8.3f s  (%d runs)"
                  % (step, statistics.median(values), min(values), max(values), len(values)))
        print("peak memory %s kB" % server.service.peak_memory_kb())
        if args.dele:
            left = len(zelharness.files_with(server.mailbox(USER), "MSG"))
            print("messages left after the deleting QUIT: %d" % left)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
