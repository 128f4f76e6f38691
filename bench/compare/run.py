#!/usr/bin/python3
"""ZEL side by side with Postfix and Dovecot: the same load, one table.

    python3 bench/compare/run.py [--quick] [--reps N] [--only NAME,...]
                                 [--cooldown SECONDS] [--json FILE] [--keep]

Runs every scenario (see --list and README.md) against ZEL and against its
peer, alternating the order from one repetition to the next (peer, ZEL,
ZEL, peer, ...), with a sync and a cool-down before every measured phase.
Every run gets a fresh directory; nothing is deleted until the last run is
over (deleting many files slows the creation of new ones for minutes). It
prints a line per run and at the end one table: per figure the median and
range of each side, the ZEL / peer ratio of the medians, the servers'
processor time per message, and the largest foreign load seen during the
runs (cores used by processes this benchmark did not start). Needs root
(the peers start as root and drop their privileges) and a build of ZEL
(--build, $ZEL_BUILD_DIR or build/). Only 127.0.0.0/8 is contacted; every
wait is bounded; every peer is stopped at the end, on failure and on Ctrl-C.
"""

import argparse
import contextlib
import json
import os
import shutil
import signal
import statistics
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)

import benchlib  # noqa: E402  (after the path set-up above)
import peers  # noqa: E402
import scenarios as sc  # noqa: E402
from benchlib import zelharness  # noqa: E402

HIGHER, LOWER = "higher", "lower"
FOREIGN_WARN = 0.25     # cores; a run with more foreign load is marked "!"


class Metric:
    def __init__(self, key, label, unit, better):
        self.key, self.label, self.unit, self.better = key, label, unit, better


class Scenario:
    """name (for --only), title (formatted with the sizes), the peer's name
    (None: ZEL alone), the two sides, the figures, and the sizes of a full
    and of a --quick run."""

    def __init__(self, name, title, peer, zel, peer_side, metrics, full, quick):
        self.name, self.title, self.peer = name, title, peer
        self.zel, self.peer_side, self.metrics = zel, peer_side, metrics
        self.full, self.quick = full, quick


RATE = [Metric("rate", "", "msg/s", HIGHER)]
PER_MESSAGE = [Metric("per", "", "ms/msg", LOWER)]


def growth(name, full, quick):
    return Scenario(name, "Local delivery of {messages:,} queued messages to %d users" % sc.USERS,
                    "Postfix", sc.growth_zel, sc.growth_postfix, PER_MESSAGE,
                    {"messages": full}, {"messages": quick})


def smtp_load(name, title, zel, peer, sessions):
    return Scenario(name, title + ", {messages:,} x 2 KiB, {sessions} sessions", "Postfix",
                    zel, peer, RATE, {"sessions": sessions, "messages": 2000},
                    {"sessions": sessions, "messages": 300})


SCENARIOS = [
    smtp_load("accept-8", "SMTP acceptance", sc.accept_zel, sc.accept_postfix, 8),
    smtp_load("accept-32", "SMTP acceptance", sc.accept_zel, sc.accept_postfix, 32),
    Scenario("checks-8", "SMTP acceptance of a DKIM-signed message, SPF, DKIM and DMARC checked, "
             "{messages:,} x 2 KiB, {sessions} sessions", "ZEL unchecked", sc.accept_checks_on,
             sc.accept_checks_off, RATE, {"sessions": 8, "messages": 2000},
             {"sessions": 8, "messages": 300}),
    smtp_load("mailbox-8", "SMTP to mailbox", sc.mailbox_zel, sc.mailbox_postfix, 8),
    Scenario("mailbox-8-sieve", "SMTP to mailbox through a %d-rule Sieve script, {messages:,} x "
             "2 KiB, {sessions} sessions" % sc.SIEVE_RULES, "ZEL without scripts",
             sc.mailbox_zel_sieve, sc.mailbox_zel, RATE, {"sessions": 8, "messages": 2000},
             {"sessions": 8, "messages": 300}),
    smtp_load("mailbox-32", "SMTP to mailbox", sc.mailbox_zel, sc.mailbox_postfix, 32),
    Scenario("pop3-10k", "POP3 RETR+DELE, {messages:,} x 10 KiB per user, {clients} clients",
             "Dovecot", sc.pop3_zel, sc.pop3_dovecot, RATE,
             {"clients": 8, "messages": 1000, "size": 10240, "delete": True},
             {"clients": 8, "messages": 50, "size": 10240, "delete": True}),
    Scenario("pop3-1m", "POP3 RETR, {messages:,} x 1 MiB per user, {clients} clients",
             "Dovecot", sc.pop3_zel, sc.pop3_dovecot,
             [Metric("bytes", "", "MiB/s", HIGHER)],
             {"clients": 8, "messages": 100, "size": 1 << 20, "delete": False},
             {"clients": 8, "messages": 5, "size": 1 << 20, "delete": False}),
    Scenario("remote", "Remote delivery, {messages:,} queued messages to {domains} domains",
             "Postfix", sc.remote_zel, sc.remote_postfix, RATE,
             {"messages": 2000, "domains": 10}, {"messages": 200, "domains": 10}),
    Scenario("memory", "Memory of all services",
             "Postfix+Dovecot", sc.memory_zel, sc.memory_peers,
             [Metric("idle_rss", "idle, RSS", "MiB", LOWER),
              Metric("idle_pss", "idle, PSS", "MiB", LOWER),
              Metric("load_rss", "peak at {sessions} sessions, RSS", "MiB", LOWER),
              Metric("load_pss", "peak at {sessions} sessions, PSS", "MiB", LOWER)],
             {"sessions": 32, "messages": 2000}, {"sessions": 32, "messages": 300}),
    Scenario("idle-10k", "{connections:,} idle SMTP connections held by zelrecv", None,
             sc.idle_zel, None, [Metric("rss", "RSS", "MiB", LOWER)],
             {"connections": 10000}, {"connections": 1000}),
    growth("growth-1k", 1000, 100),
    growth("growth-10k", 10000, 300),
    growth("growth-100k", 100000, 1000),
    Scenario("logon-100k", "POP3 logon to a mailbox of {messages:,} messages", "Dovecot",
             sc.logon_zel, sc.logon_dovecot,
             [Metric("first", "first logon", "s", LOWER),
              Metric("second", "second logon", "s", LOWER)],
             {"messages": 100000, "size": 2048}, {"messages": 2000, "size": 2048}),
    Scenario("imap-sync", "IMAP SELECT and UID FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE "
             "BODYSTRUCTURE), {users} users x {messages:,} x 10 KiB", "Dovecot",
             sc.imap_sync_zel, sc.imap_sync_dovecot,
             [Metric("first", "first logon, no index", "s", LOWER),
              Metric("first_10k", "first logon per 10,000 messages", "s", LOWER),
              Metric("second", "second logon", "msg/s", HIGHER)],
             {"users": 8, "messages": 10000, "size": 10240},
             {"users": 2, "messages": 200, "size": 10240}),
    Scenario("imap-fetch", "IMAP UID FETCH n BODY.PEEK[] one at a time, {messages:,} x 10 KiB "
             "per user, {users} clients", "Dovecot", sc.imap_fetch_zel, sc.imap_fetch_dovecot,
             RATE, {"users": 8, "messages": 1000, "size": 10240},
             {"users": 2, "messages": 50, "size": 10240}),
    Scenario("imap-append", "IMAP APPEND, {messages:,} x 10 KiB per user, {users} clients",
             "Dovecot", sc.imap_append_zel, sc.imap_append_dovecot, RATE,
             {"users": 8, "messages": 1000, "size": 10240},
             {"users": 2, "messages": 50, "size": 10240}),
    Scenario("imap-search", "IMAP SEARCH TEXT of a rare word, {messages:,} x 10 KiB",
             "Dovecot", sc.imap_search_zel, sc.imap_search_dovecot,
             [Metric("seconds", "", "s", LOWER)],
             {"messages": 10000, "size": 10240}, {"messages": 300, "size": 10240}),
    Scenario("imap-idle", "IMAP IDLE over TLS, {users} users x {sessions} sessions", "Dovecot",
             sc.imap_idle_zel, sc.imap_idle_dovecot,
             [Metric("pss", "PSS of all server processes", "MiB", LOWER),
              Metric("rss", "RSS of all server processes", "MiB", LOWER),
              Metric("slowest", "slowest session told of a delivery", "s", LOWER)],
             {"users": 200, "sessions": 10}, {"users": 10, "sessions": 2}),
    Scenario("imap-growth", "IMAP folder of {messages:,} x 2 KiB", "Dovecot",
             sc.imap_growth_zel, sc.imap_growth_dovecot,
             [Metric("select", "SELECT, index warm", "s", LOWER),
              Metric("expunge", "STORE \\Deleted + EXPUNGE of one message", "s", LOWER)],
             {"messages": 100000, "size": 2048, "users": 1},
             {"messages": 2000, "size": 2048, "users": 1}),
]


class Context:
    """One run: its directory, the stack of what must be stopped at its end
    (in reverse order, also after a failure), and the cool-down."""

    def __init__(self, directory, cooldown, stack):
        self.directory, self.cooldown, self.stack = directory, cooldown, stack

    def defer(self, stop):
        def guarded():
            try:
                stop()
            except Exception as e:  # one failed stop must not keep the others from running
                print("    stop failed: %r" % e, flush=True)
        self.stack.callback(guarded)

    def cool(self):
        os.sync()
        time.sleep(self.cooldown)


class Record:
    """One run's result, as printed and as written by --json."""

    def __init__(self, scenario, side, rep, outcome):
        self.scenario, self.side, self.rep, self.outcome = scenario, side, rep, outcome

    @property
    def ok(self):
        return not self.outcome.notes

    def json(self):
        o, r = self.outcome, self.outcome.run
        return {"scenario": self.scenario.name, "side": self.side, "rep": self.rep,
                "values": o.values, "messages": o.messages, "notes": o.notes,
                "elapsed": r.elapsed if r else None, "server_cpu": r.server_cpu if r else None,
                "foreign_cores": r.foreign_cores if r else None}


def run_side(scenario, side, rep, params, args, workdir):
    # "zel" or "peer", not the peer's name: socket paths below it must stay
    # short whatever the peer is called.
    directory = os.path.join(workdir, "%s-%s-%d" % (scenario.name, "zel" if side == "ZEL" else
                                                     "peer", rep))
    os.makedirs(directory)
    os.chmod(directory, 0o755)     # the peers' unprivileged processes walk through it
    function = scenario.zel if side == "ZEL" else scenario.peer_side
    with contextlib.ExitStack() as stack:
        ctx = Context(directory, args.cooldown, stack)
        try:
            outcome = function(ctx, params)
        except Exception as e:
            traceback.print_exc()
            outcome = sc.Outcome({}, 0, None, ["failed: %s" % e])
    record = Record(scenario, side, rep, outcome)
    print_run(record, params)
    return record


def print_run(record, params):
    o = record.outcome
    figures = "  ".join("%s %s" % (fmt(o.values.get(m.key)), m.unit)
                        for m in record.scenario.metrics)
    cpu = o.cpu_ms_per_message()
    extra = []
    if cpu is not None:
        extra.append("CPU %.3f ms/msg" % cpu)
    if o.run is not None and o.run.foreign_cores is not None:
        extra.append("foreign %.2f cores" % o.run.foreign_cores)
    if o.messages:
        extra.append("%d msgs" % o.messages)
    print("  %-12s rep %d  %-15s %s  %s%s" % (
        record.scenario.name, record.rep + 1, record.side, figures, ", ".join(extra),
        "  FAILED: " + notes_text(o.notes) if o.notes else ""), flush=True)


def notes_text(notes):
    """The first notes and how many more (many clients fail alike)."""
    text = "; ".join(n[:200] for n in notes[:2])
    return text + (" (and %d more)" % (len(notes) - 2) if len(notes) > 2 else "")


def fmt(value):
    if value is None:
        return "-"
    if value >= 100:
        return "%.0f" % value
    if value >= 1:
        return "%.2f" % value
    return "%.4f" % value


def summary(values):
    """"median [min-max]" of values."""
    if not values:
        return "-"
    if len(values) == 1:
        return fmt(values[0])
    return "%s [%s-%s]" % (fmt(statistics.median(values)), fmt(min(values)), fmt(max(values)))


def print_table(records, quick):
    print("\n%s side by side%s: median [range] of the runs that succeeded"
          % ("ZEL", " (--quick sizes: a check that it works, not a measurement)" if quick else ""))
    header = ("Scenario", "ZEL", "Peer", "ZEL/peer", "better", "CPU ms/msg ZEL | peer",
              "foreign")
    rows = []
    for scenario in SCENARIOS:
        mine = [r for r in records if r.scenario is scenario]
        if not mine:
            continue
        params = scenario.quick if quick else scenario.full
        zel = [r for r in mine if r.side == "ZEL" and r.ok]
        peer = [r for r in mine if r.side != "ZEL" and r.ok]
        failed = len(mine) - len(zel) - len(peer)
        foreign = [r.outcome.run.foreign_cores for r in mine
                   if r.outcome.run is not None and r.outcome.run.foreign_cores is not None]
        foreign_text = ("%.2f%s" % (max(foreign), " !" if max(foreign) > FOREIGN_WARN else "")
                        if foreign else "-")
        cpu = " | ".join(summary([c for c in (r.outcome.cpu_ms_per_message() for r in side)
                                  if c is not None]) for side in (zel, peer))
        for number, metric in enumerate(scenario.metrics):
            z = [r.outcome.values[metric.key] for r in zel if metric.key in r.outcome.values]
            p = [r.outcome.values[metric.key] for r in peer if metric.key in r.outcome.values]
            ratio = ("%.2f" % (statistics.median(z) / statistics.median(p))
                     if z and p and statistics.median(p) > 0 else "-")
            label = scenario.title.format(**params)
            if metric.label:
                label += ": " + metric.label.format(**params)
            label += " (%s)" % metric.unit
            if failed and number == 0:
                label += " [%d failed]" % failed
            rows.append((label, summary(z),
                         ("%s %s" % (scenario.peer, summary(p))) if scenario.peer else "-",
                         ratio, metric.better, cpu if number == 0 else "",
                         foreign_text if number == 0 else ""))
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths)] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    print_growth(records)


def print_growth(records):
    """How the time per message changes from the smallest queue to the
    largest (1.00: in proportion to the count)."""
    sides = {}
    for r in records:
        if r.scenario.name.startswith("growth-") and r.ok:
            sides.setdefault(r.side, {}).setdefault(r.scenario.name, []).append(
                r.outcome.values["per"])
    for side, by_size in sorted(sides.items()):
        if "growth-1k" in by_size and "growth-100k" in by_size:
            print("growth, %s: time per message at the largest queue / at the smallest = %.2f"
                  % (side, statistics.median(by_size["growth-100k"]) /
                     statistics.median(by_size["growth-1k"])))


def select(only):
    if not only:
        return SCENARIOS
    names = [n.strip() for n in only.split(",") if n.strip()]
    chosen = [s for s in SCENARIOS if any(s.name == n or s.name.startswith(n + "-")
                                          for n in names)]
    unknown = [n for n in names if not any(s.name == n or s.name.startswith(n + "-")
                                           for s in SCENARIOS)]
    if unknown:
        raise SystemExit("unknown scenario %s; --list shows them" % ", ".join(unknown))
    return chosen


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def interrupt(signum, frame):
    """The first stop signal ends the runs; later ones are ignored, so that
    the peers' stops run to their end."""
    for s in STOP_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise KeyboardInterrupt("signal %d" % signum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, one repetition, 1 s cool-down: checks that it works")
    parser.add_argument("--reps", type=int, help="repetitions per side (default 3; --quick 1)")
    parser.add_argument("--only", help="comma-separated scenario names or prefixes "
                                       "(accept, mailbox, pop3, growth ...)")
    parser.add_argument("--cooldown", type=float,
                        help="seconds of rest before each measured phase (default 60; --quick 1)")
    parser.add_argument("--json", help="also write every run's figures to this file")
    parser.add_argument("--keep", action="store_true",
                        help="keep the scratch directories (for a look afterwards)")
    parser.add_argument("--side", choices=("zel", "peer"),
                        help="run one side only (the table then shows no ratio)")
    parser.add_argument("--list", action="store_true", help="list the scenarios and stop")
    args = benchlib.parse_args(parser)
    chosen = select(args.only)
    if args.list:
        for s in chosen:
            print("%-12s %s (%s)" % (s.name, s.title.format(**s.full), s.peer or "ZEL alone"))
        return 0
    args.reps = args.reps or (1 if args.quick else 3)
    args.cooldown = args.cooldown if args.cooldown is not None else (1 if args.quick else 60)
    if os.geteuid() != 0:
        raise SystemExit("run as root: Postfix and Dovecot start as root")
    if not os.path.exists(zelharness.program_path("zelrecv")):
        raise SystemExit("no ZEL build in %s (--build DIR)" % zelharness.BIN_DIR)
    if any(s.peer for s in chosen):
        peers.install()
    for s in STOP_SIGNALS:
        signal.signal(s, interrupt)
    workdir = tempfile.mkdtemp(prefix="zel-compare-")
    os.chmod(workdir, 0o755)
    print("scratch: %s; %d repetition(s), %.0f s cool-down" % (workdir, args.reps, args.cooldown),
          flush=True)
    records = []
    try:
        for scenario in chosen:
            params = scenario.quick if args.quick else scenario.full
            print("%s: %s" % (scenario.name, scenario.title.format(**params)), flush=True)
            for rep in range(args.reps):
                order = ["ZEL"] if scenario.peer is None else (
                    [scenario.peer, "ZEL"] if rep % 2 == 0 else ["ZEL", scenario.peer])
                if args.side:
                    order = [o for o in order if (o == "ZEL") == (args.side == "zel")]
                for side in order:
                    records.append(run_side(scenario, side, rep, params, args, workdir))
    except KeyboardInterrupt:
        print("\ninterrupted; every peer has been stopped", flush=True)
    finally:
        if records:
            print_table(records, args.quick)
        if args.json:
            with open(args.json, "w") as f:
                json.dump([r.json() for r in records], f, indent=1)
        if args.keep:
            print("kept %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0 if records and all(r.ok for r in records) else 1


if __name__ == "__main__":
    sys.exit(main())
