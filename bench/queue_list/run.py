"""Listing a large queue with zeladm queue list (see README.md)."""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402
from benchlib import zelharness  # noqa: E402

RECORD = ("Domain-name: %s\r\nLast-tried: %d\r\nTry-number: 3\r\n"
          "Last-error: Connection refused by 127.0.0.9\r\n")


def generate(scratch, messages, domains, size):
    """messages queued messages over domains domain queues, as the agent
    leaves them: the message file in holding, one recipient file per
    message in its domain's queue, a domain record per queue."""
    holding, queues = scratch.spool("holding"), scratch.spool("domains")
    os.makedirs(holding, exist_ok=True)
    now = int(time.time())
    body = b"Subject: queued\r\n\r\n" + b"x" * max(0, size - 20) + b"\r\n.\r\n"
    for d in range(domains):
        name = "d%d.test" % d
        os.makedirs(os.path.join(queues, name), exist_ok=True)
        with open(os.path.join(queues, name, "DOMAIN.MRI"), "w") as f:
            f.write(RECORD % (name, now - 300))
    for n in range(messages):
        ident = "B%010d" % (n + 1)
        domain = "d%d.test" % (n % domains)
        with open(os.path.join(holding, ident + ".MSG"), "wb") as f:
            f.write(body)
        with open(os.path.join(queues, domain, ident + ".RCP"), "w") as f:
            f.write("Message-ID: <%s@bench.test>\nReturn-path: sender@bench.test\n"
                    "Recipient: user%d@%s\n" % (ident, n, domain))


def timed(scratch, *args):
    """(wall seconds, processor seconds, output) of one listing."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    result = subprocess.run([zelharness.program_path("zeladm"), "queue", "list", *args],
                            env=scratch.env, capture_output=True, timeout=600)
    elapsed = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if result.returncode != 0:
        raise AssertionError(result.stderr.decode("latin-1"))
    return elapsed, cpu, result.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--messages", type=int, default=100000)
    parser.add_argument("--domains", type=int, default=1000)
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--runs", type=int, default=3)
    args = benchlib.parse_args(parser)
    scratch = zelharness.Scratch("zel-bench-queue-")
    try:
        scratch.prepare_registry()
        t0 = time.monotonic()
        generate(scratch, args.messages, args.domains, args.size)
        print("generated %d messages in %d queues in %.1f s"
              % (args.messages, args.domains, time.monotonic() - t0))
        subprocess.run(["sync"], check=False)
        for form in ((), ("--json",)):
            times, cpus = [], []
            for _ in range(args.runs):
                elapsed, cpu, out = timed(scratch, *form)
                times.append(elapsed)
                cpus.append(cpu)
            if form:
                totals = json.loads(out)["totals"]
                assert totals["messages"] == args.messages, totals
            else:
                assert b"-- %d messages" % args.messages in out, out[-200:]
            print("queue list %-7s median %.2f s (range %.2f-%.2f), processor %.2f s, "
                  "%d runs, %d bytes out"
                  % (" ".join(form) or "(text)", statistics.median(times), min(times),
                     max(times), statistics.median(cpus), args.runs, len(out)))
    finally:
        scratch.cleanup()


if __name__ == "__main__":
    main()
