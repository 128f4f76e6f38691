"""Kill -9 at any instant: nothing that got a 250 is lost.

zelrecv and zeldeliv run on one scratch root with a few mail users; an
aiosmtpd sink on 127.0.0.2 takes the remote mail (recipients at the domain
literal [127.0.0.2], so no DNS is asked). Several SMTP clients send a steady
stream of numbered messages, each to local users, remote addresses or both,
while a killer thread sends SIGKILL to zelrecv or zeldeliv at random
moments (KILLS times) and starts the program again. A client whose
connection breaks sends the same message again, as a real client would.

At the end (bounded wait) every message that got a 250 reply must be in
the mailbox of each of its local recipients, and at the sink for each of
its remote ones, at least once, and the spool must settle (message files
in `incoming` that a killed receiver left without their recipient file
are counted and printed: they were never acknowledged). Duplicates are allowed (a kill between a
copy and the rewrite of its recipient file, a receiver killed between
writing a message and its reply): the test counts and prints them.

The random seed is printed; set ZEL_CRASH_SEED to replay a run, and
ZEL_E2E_KEEP=1 to keep the scratch root of a failed run.
"""

import os
import random
import re
import signal
import smtplib
import sys
import threading
import time
import unittest

from remotepeers import Exchanger
from zelharness import LOCAL_HOST, WAIT_SECONDS, MailSystem, files_with, free_port, poll

USERS = ["ann", "ben", "cat", "dan"]
REMOTES = ["rex@[127.0.0.2]", "roz@[127.0.0.2]"]
SINK = "127.0.0.2"
PASSWORD = "pw-crash-1"
CLIENTS = 4
# Each client sends until the killer is done and it has this many
# acknowledged messages, and never more than the cap.
MIN_PER_CLIENT = 50
MAX_PER_CLIENT = 100
CLIENT_PAUSE = (0.05, 0.3)
KILLS = 24
# Seconds between a (re)start and the next kill, drawn at random.
KILL_DELAY = (0.2, 1.2)
# The bounded wait for all mail to arrive once the last kill is over.
DELIVERY_SECONDS = 60
SUBJECT_RE = re.compile(rb"^Subject: crash-(\d{5})\r?$", re.M)


def message_text(number):
    return ("From: sender@remote.test\r\nTo: users\r\nSubject: crash-%05d\r\n\r\n"
            "Message number %d.\r\n.leading dot line\r\n" % (number, number)).encode("latin-1")


def mailbox_copies(mail, users):
    """{(number, user): [text of each copy]} of the numbered messages in
    the users' mailboxes on mail (a MailSystem)."""
    copies = {}
    for user in users:
        box = mail.mailbox(user)
        for name in files_with(box, "MSG"):
            try:
                with open(os.path.join(box, name), "rb") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            m = SUBJECT_RE.search(text)
            if m:
                copies.setdefault((int(m.group(1)), user), []).append(text)
    return copies


class Killer(threading.Thread):
    """Kills one of services (zelrecv, zeldeliv: harness Services) count
    times at random moments, restarting each; the victims are drawn from
    rng, so a seed replays the order. kills counts them by program."""

    def __init__(self, services, rng, count=KILLS):
        super().__init__(daemon=True)
        self.services = services
        self.rng = rng
        self.count = count
        self.kills = {"zelrecv": 0, "zeldeliv": 0}
        self.error = None
        self.done = threading.Event()

    def run(self):
        try:
            for _ in range(self.count):
                time.sleep(self.rng.uniform(*KILL_DELAY))
                service = self.rng.choice(self.services)
                service.proc.send_signal(signal.SIGKILL)
                service.proc.wait(timeout=WAIT_SECONDS)
                self.kills[service.program] += 1
                service.stop()
                service.start()
        except BaseException as e:  # reported by the test
            self.error = e
        finally:
            self.done.set()


class Client(threading.Thread):
    """Sends numbered messages until told to stop; records what got a 250."""

    def __init__(self, port, numbers, rng, killer):
        super().__init__(daemon=True)
        self.port, self.numbers, self.rng, self.killer = port, numbers, rng, killer
        self.acknowledged = {}   # number: recipients
        self.attempts = 0

    def recipients(self):
        local = [u if self.rng.random() < 0.5 else "%s@%s" % (u, LOCAL_HOST)
                 for u in self.rng.sample(USERS, self.rng.choice((0, 1, 1, 2)))]
        remote = self.rng.sample(REMOTES, self.rng.choice((0, 0, 1, 2)) if local else 1)
        return local + remote

    def send_once(self, number, to):
        """True once the 250 to the data came back."""
        client = smtplib.SMTP(timeout=WAIT_SECONDS)
        try:
            client.connect("127.0.0.1", self.port)
            client.helo("crash.client")
            client.sendmail("sender@remote.test", to, message_text(number))
            return True
        except (OSError, smtplib.SMTPException):
            return False
        finally:
            try:
                client.close()
            except OSError:
                pass

    def run(self):
        deadline = time.monotonic() + DELIVERY_SECONDS * 2
        for number in self.numbers:
            if len(self.acknowledged) >= MIN_PER_CLIENT and self.killer.done.is_set():
                break
            to = self.recipients()
            # The same message again until it is taken, as a real client does.
            while time.monotonic() < deadline:
                self.attempts += 1
                if self.send_once(number, to):
                    self.acknowledged[number] = to
                    break
                time.sleep(0.1)
            time.sleep(self.rng.uniform(*CLIENT_PAUSE))


def seeded(label):
    """(seed, its random.Random): ZEL_CRASH_SEED, else a new seed, printed."""
    seed = int(os.environ.get("ZEL_CRASH_SEED", time.time_ns() % 1000000))
    print("\n%s seed %d" % (label, seed), file=sys.stderr)
    return seed, random.Random(seed)


def run_under_kills(case, killer, clients):
    """Starts killer and clients (threads) and waits, bounded, until all
    are done; case fails when one hangs or a restart failed."""
    killer.start()
    for c in clients:
        c.start()
    case.assertTrue(killer.done.wait(120), "the killer did not finish")
    case.assertIsNone(killer.error, "restarting a program failed: %r" % killer.error)
    for c in clients:
        c.join(DELIVERY_SECONDS * 2)
        case.assertFalse(c.is_alive(), "a client hung")


class DelivCrashTest(unittest.TestCase):
    def setUp(self):
        self.passed = False
        self.sink = Exchanger(SINK, free_port(SINK))
        self.sink.start()
        self.addCleanup(self.sink.stop)
        # Short scans: mail that domain threads finish is collected soon.
        self.mail = MailSystem(prefix="zel-e2e-crash-",
                               deliv={"SmtpPort": self.sink.port, "Timeout": 2})
        try:
            for user in USERS:
                self.mail.scratch.add_user(user, PASSWORD)
            self.mail.start()
        except BaseException:
            self.mail.stop()
            raise

    def tearDown(self):
        self.mail.stop(keep=not self.passed and os.environ.get("ZEL_E2E_KEEP") == "1")

    def found(self):
        """{(number, recipient): copies}: mailboxes by user, the sink by address."""
        counts = {key: len(texts) for key, texts in mailbox_copies(self.mail, USERS).items()}
        with self.sink.lock:
            taken = list(self.sink.messages)
        for _, rcpts, content in taken:
            m = SUBJECT_RE.search(content)
            for rcpt in rcpts:
                if m:
                    key = (int(m.group(1)), rcpt.lower())
                    counts[key] = counts.get(key, 0) + 1
        return counts

    def test_nothing_acknowledged_is_lost(self):
        seed, rng = seeded("crash test")
        killer = Killer([self.mail.receiver, self.mail.agent], random.Random(rng.random()))
        clients = [Client(self.mail.port, range(n * 10000, n * 10000 + MAX_PER_CLIENT),
                          random.Random(rng.random()), killer) for n in range(CLIENTS)]
        started = time.monotonic()
        run_under_kills(self, killer, clients)

        expected = set()
        for c in clients:
            for number, to in c.acknowledged.items():
                expected.update((number, t.split("@")[0] if "@" + LOCAL_HOST in t else t.lower())
                                for t in to)
        acknowledged = sum(len(c.acknowledged) for c in clients)
        self.assertGreaterEqual(acknowledged, CLIENTS * MIN_PER_CLIENT // 2,
                                "too few messages went through")

        def all_delivered():
            counts = self.found()
            return counts if expected <= set(counts) else None

        counts = poll(all_delivered, DELIVERY_SECONDS) or self.found()
        missing = sorted(expected - set(counts))
        self.assertEqual(missing, [], "acknowledged but not delivered (seed %d): %s"
                         % (seed, missing[:20]))
        duplicates = sum(n - 1 for n in counts.values())
        print("crash test: %d messages acknowledged (%d attempts) for %d deliveries, kills "
              "%s, %d duplicates, %.0f s" % (acknowledged, sum(c.attempts for c in clients),
                                            len(expected), killer.kills, duplicates,
                                            time.monotonic() - started), file=sys.stderr)
        # A receiver killed between a message file and its recipient file
        # leaves the message file behind; it was never acknowledged, so
        # nobody is owed it. Everything else must settle.
        incoming = self.mail.spool("incoming")
        orphans = lambda: {n for n in files_with(incoming, "MSG")
                           if not os.path.exists(os.path.join(incoming, n[:-4] + ".RCP"))}
        left = poll(lambda: [p for p in self.mail.busy() if p not in orphans()] == [])
        self.assertTrue(left, "the spool did not settle: %s" % self.mail.busy())
        print("crash test: %d message files without recipient file left in incoming"
              % len(orphans()), file=sys.stderr)
        self.passed = True


if __name__ == "__main__":
    unittest.main()
