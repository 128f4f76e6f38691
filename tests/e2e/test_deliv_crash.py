"""The delivery agent killed at random moments loses no mail.

zelrecv and zeldeliv run on one scratch root with a few mail users. A few
hundred messages go in over SMTP (smtplib), to one or two users each, while
another thread kills zeldeliv with SIGKILL several times at random moments
and starts it again. At the end (bounded wait) every message that the
receiver accepted must be in the mailbox of each of its recipients at least
once, and the spool must settle with nothing left behind.

A message may be found twice only where a kill fell between a mailbox copy
and the rewrite of its recipient file: the copy is durable before the
recipient is marked done, so after a restart that recipient is delivered
again. Each kill can do that to the recipients of one recipient file at
most; the test counts the duplicates, prints the count and holds it to that
bound.

The random seed is printed; set ZEL_CRASH_SEED to replay a run, and
ZEL_E2E_KEEP=1 to keep the scratch root of a failed run.
"""

import os
import random
import re
import signal
import sys
import threading
import time
import unittest

from zelharness import LOCAL_HOST, MailSystem, files_with, poll

USERS = ["ann", "ben", "cat", "dan"]
PASSWORD = "pw-crash-1"
MESSAGES = 300
KILLS = 6
# Seconds between a (re)start and the next kill, drawn at random.
KILL_DELAY = (0.1, 0.9)
# The bounded wait for all mail to arrive once the last kill is over.
DELIVERY_SECONDS = 90
SUBJECT_RE = re.compile(rb"^Subject: crash-(\d{4})\r$", re.M)


def message_text(number):
    return ("From: sender@remote.test\r\nTo: users\r\nSubject: crash-%04d\r\n\r\n"
            "Message number %d.\r\n.leading dot line\r\n" % (number, number)).encode("latin-1")


class Killer(threading.Thread):
    """Kills the agent KILLS times at random moments, restarting it each time."""

    def __init__(self, mail, rng):
        super().__init__(daemon=True)
        self.mail = mail
        self.rng = rng
        self.kills = 0
        self.error = None
        self.done = threading.Event()

    def run(self):
        try:
            agent = self.mail.agent
            for _ in range(KILLS):
                time.sleep(self.rng.uniform(*KILL_DELAY))
                agent.proc.send_signal(signal.SIGKILL)
                agent.proc.wait(timeout=20)
                self.kills += 1
                agent.stop()
                agent.start()
        except BaseException as e:  # reported by the test
            self.error = e
        finally:
            self.done.set()


class DelivCrashTest(unittest.TestCase):
    def setUp(self):
        self.passed = False
        self.mail = MailSystem(prefix="zel-e2e-crash-")
        try:
            for user in USERS:
                self.mail.scratch.zeladm("user", "add", user, "--password", PASSWORD)
            self.mail.start()
        except BaseException:
            self.mail.stop()
            raise

    def tearDown(self):
        self.mail.stop(keep=not self.passed and os.environ.get("ZEL_E2E_KEEP") == "1")

    def found(self):
        """{(number, user): copies} of the test's messages in the mailboxes."""
        counts = {}
        for user in USERS:
            box = self.mail.mailbox(user)
            for name in files_with(box, "MSG"):
                try:
                    with open(os.path.join(box, name), "rb") as f:
                        m = SUBJECT_RE.search(f.read())
                except FileNotFoundError:
                    continue
                if m:
                    key = (int(m.group(1)), user)
                    counts[key] = counts.get(key, 0) + 1
        return counts

    def test_no_mail_lost_across_kills(self):
        seed = int(os.environ.get("ZEL_CRASH_SEED", time.time_ns() % 1000000))
        print("\ncrash test seed %d" % seed, file=sys.stderr)
        rng = random.Random(seed)
        killer = Killer(self.mail, rng)
        killer.start()

        expected = set()   # (number, user) of every accepted message
        refused = 0
        for number in range(MESSAGES):
            to = rng.sample(USERS, rng.choice((1, 1, 2)))
            addresses = [u if rng.random() < 0.5 else "%s@%s" % (u, LOCAL_HOST) for u in to]
            try:
                self.mail.send("sender@remote.test", addresses, message_text(number))
            except Exception:
                refused += 1   # not accepted: nothing is owed
                continue
            expected.update((number, u) for u in to)
        self.assertTrue(killer.done.wait(60), "the killer did not finish")
        self.assertIsNone(killer.error, "restarting the agent failed: %r" % killer.error)
        self.assertEqual(killer.kills, KILLS)
        self.assertLess(refused, MESSAGES // 10, "the receiver refused %d messages" % refused)

        def all_delivered():
            counts = self.found()
            return counts if expected <= set(counts) else None

        counts = poll(all_delivered, DELIVERY_SECONDS) or self.found()
        missing = sorted(expected - set(counts))
        self.assertEqual(missing, [], "accepted but not delivered: %s" % missing[:20])
        self.assertEqual(sorted(set(counts) - expected), [], "delivered but never sent")

        duplicates = sum(n - 1 for n in counts.values())
        print("crash test: %d messages accepted for %d deliveries, %d kills, %d duplicates"
              % (MESSAGES - refused, len(expected), killer.kills, duplicates), file=sys.stderr)
        # One recipient file (at most two recipients) per kill.
        self.assertLessEqual(duplicates, 2 * killer.kills)

        self.assertEqual(self.mail.wait_idle(), [], "the spool did not settle")
        self.assertEqual(files_with(self.mail.spool("incoming"), "RCP"), [])
        self.assertEqual(files_with(self.mail.spool("holding"), "MSG"), [])
        self.passed = True


if __name__ == "__main__":
    unittest.main()
