"""A full disk loses no mail and reports no failure.

The spool is a small tmpfs. Filled up to a few pages, the receiver answers
452 at whichever step the space ran out (the message file, then the
recipient file) and keeps nothing of the refused message; what it took
(250) it keeps whole. Once the space is back, the client's new attempts go
through, the delivery agent delivers every message exactly once, and no
failure report is made. Needs root and a tmpfs (SKIP otherwise).
"""

import os
import re
import unittest

from zelharness import MailSystem, SmtpConnection, Tmpfs, list_spool_pairs

RECEIVED_OK = "250 Message received OK\r\n"
SPOOL_SIZE = 4 << 20
# Each message file takes three pages with the receiver's added lines, its
# recipient file one more: with 0 to 5 pages free every step runs short.
BODY = b"".join(b"line %04d of a message that needs three pages\r\n" % i for i in range(190))
FREE_PAGES = range(6)


class SpoolFullTest(unittest.TestCase):
    def setUp(self):
        self.mail = MailSystem(users=["ann"], prefix="zel-e2e-full-")
        try:
            self.tmpfs = Tmpfs(self.mail.spool(), SPOOL_SIZE)
        except BaseException:
            self.mail.stop()
            raise
        self.addCleanup(self.finish)

    def finish(self):
        self.mail.stop(keep=True)
        self.tmpfs.unmount()
        self.mail.scratch.cleanup()

    def send(self, n):
        """Message n in one dialogue; the reply to its data."""
        with SmtpConnection(self.mail.port) as conn:
            conn.reply()
            for line in ("HELO c.example", "MAIL FROM:<s@c.example>", "RCPT TO:<ann>", "DATA"):
                conn.command(line)
            conn.send(b"Subject: full %d\r\n\r\n" % n + BODY + b".\r\n")
            return conn.reply()

    def check_nothing_half_written(self, accepted):
        incoming = self.mail.spool("incoming")
        self.assertEqual([n for n in os.listdir(incoming) if n.startswith(".")], [])
        pairs = list_spool_pairs(incoming)
        self.assertEqual(sorted(pairs.values()), [{"MSG", "RCP"}] * len(accepted))

    def test_full_spool_refuses_with_452_and_loses_nothing(self):
        self.mail.start(agent=False)
        accepted, refused, refusals = [], [], set()
        for pages in FREE_PAGES:
            self.tmpfs.fill(pages)
            reply = self.send(pages)
            if reply == RECEIVED_OK:
                accepted.append(pages)
            else:
                self.assertRegex(reply, r"^452 ")
                refused.append(pages)
                refusals.add(reply)
            self.check_nothing_half_written(accepted)
        self.assertTrue(accepted and refused, (accepted, refused))
        self.assertEqual(refusals, {"452 Cannot write message to disk\r\n",
                                    "452 I/O error writing recipient information\r\n"})

        self.tmpfs.empty()
        self.mail.agent.start()
        for n in refused:               # the client tries again later
            self.assertEqual(self.send(n), RECEIVED_OK)
        names = self.mail.wait_messages("ann", len(FREE_PAGES))
        self.assertEqual(self.mail.wait_idle(), [])
        subjects = sorted(re.search(rb"Subject: full (\d+)", self.mail.read_message("ann", n))
                          .group(1).decode() for n in self.mail.messages("ann"))
        self.assertEqual(subjects, sorted(str(n) for n in FREE_PAGES), names)
        # No failure report: nothing for the sender's domain, nothing dead.
        self.assertFalse(os.path.exists(self.mail.spool("domains", "c.example")))
        dead = self.mail.spool("dead")
        self.assertEqual(os.listdir(dead) if os.path.isdir(dead) else [], [])


if __name__ == "__main__":
    unittest.main()
