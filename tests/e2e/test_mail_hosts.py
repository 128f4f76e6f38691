"""Mail between the hosts of one site, end to end: two ZEL instances, one the
primary MX of
site.test (mx1.site.test, 127.0.0.11, preference 10), the other its backup
(mx2.site.test, 127.0.0.12, preference 20) with site.test in
BackupMxDomains. dnsmasq (tests/e2e/remotepeers) serves the records; no
query leaves the machine.

Both receivers listen on every address, each on its own port; the backup's
agent is given the primary's port as SmtpPort. The backup takes mail for
site.test from a client that may not relay, queues it while the primary is
down (never delivering it itself, never sending it to itself) and hands it
to the primary once that is back. A mail host's queue ("#host", where the
delivery agent hands mail for a user whose directory entry names another
host) goes to that host on MailHostPort, past the relay host that takes all
other mail. Every wait is bounded.
"""

import os
import shutil
import smtplib
import tempfile
import unittest

import remotepeers
from remotepeers import NameServer
from zelharness import (TCPIP_KEY, ZEL_KEY, MailSystem, files_with, free_port, poll, read_bytes,
                        service_key)

WAIT = 30
SITE = "site.test"


def message(subject):
    return ("From: carol@%s\r\nTo: joe@%s\r\nSubject: %s\r\n\r\nbody\r\n"
            % (SITE, SITE, subject)).encode()


class MailHosts(unittest.TestCase):

    def setUp(self):
        if not os.access(remotepeers.DNSMASQ, os.X_OK):
            raise RuntimeError("dnsmasq is needed: %s (Debian package dnsmasq)"
                               % remotepeers.DNSMASQ)
        self.ns = NameServer(self.scratch_dir(),
                             mx=[(SITE, "mx1." + SITE, 10), (SITE, "mx2." + SITE, 20)],
                             hosts=[("mx1." + SITE, "127.0.0.11"), ("mx2." + SITE, "127.0.0.12")])
        self.ns.start()
        self.addCleanup(self.ns.stop)
        name_server = self.ns.address
        self.primary = MailSystem(["joe"], suite={"DomainNamesAreLocal": [SITE]},
                                  deliv={"Timeout": 1}, prefix="zel-e2e-mx1-",
                                  name_server=name_server)
        self.addCleanup(self.primary.stop_checked, self)
        # No client of the test may relay through the backup: it takes
        # site.test's mail only as its backup exchanger.
        self.backup = MailSystem([], recv={"BackupMxDomains": [SITE],
                                           "RelayClients": ["192.0.2.0/24"]},
                                 deliv={"Timeout": 1, "SmtpPort": self.primary.port,
                                        "MailOutlogEnabled": 1},
                                 prefix="zel-e2e-mx2-", name_server=name_server)
        self.addCleanup(self.backup.stop_checked, self)
        self.backup.scratch.reg_import({TCPIP_KEY: {"Hostname": "mx2", "Domain": SITE}})
        self.primary.scratch.reg_import({TCPIP_KEY: {"Hostname": "mx1", "Domain": SITE}})

    def scratch_dir(self):
        path = tempfile.mkdtemp(prefix="zel-e2e-mxdns-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def queued(self):
        return files_with(self.backup.spool("domains", SITE), "RCP")

    def test_backup_queues_while_the_primary_is_down_then_hands_it_over(self):
        self.backup.start()
        self.primary.start()
        self.primary.receiver.stop()   # the primary MX is down
        self.backup.send("carol@" + SITE, ["joe@" + SITE], message("via the backup"))
        # Refused by the backup: not a backup domain, and no relay for the client.
        with self.assertRaises(smtplib.SMTPRecipientsRefused):
            self.backup.send("carol@" + SITE, ["joe@elsewhere.test"], message("refused"))
        self.assertTrue(poll(lambda: self.queued(), WAIT), self.backup.scratch.events()[-2000:])
        # Tried at the primary alone: the record says why it waits.
        record = self.backup.spool("domains", SITE, "DOMAIN.MRI")
        self.assertTrue(poll(lambda: os.path.exists(record), WAIT))
        self.assertTrue(poll(lambda: b"Try-number: 1" in read_bytes(record), WAIT),
                        read_bytes(record))
        self.assertIn(b"mx1." + SITE.encode(), read_bytes(record))
        # Never delivered by the backup itself: nothing reached its own
        # receiver, and it holds no mailbox.
        self.assertFalse(os.path.isdir(self.backup.mailbox("joe")))
        self.assertEqual(self.primary.messages("joe"), [])
        self.assertEqual(len(self.queued()), 1)
        # The primary returns; the retry (due at once) hands the mail over.
        self.primary.receiver.start()
        self.backup.scratch.zeladm("queue", "retry", SITE)
        names = self.primary.wait_messages("joe", 1, WAIT)
        self.assertEqual(len(names), 1, self.backup.scratch.events()[-2000:])
        text = self.primary.read_message("joe", names[0])
        self.assertIn(b"Subject: via the backup", text)
        # Once: the backup's queue is finished and the primary took one copy.
        self.assertTrue(poll(lambda: not os.path.isdir(self.backup.spool("domains", SITE)),
                             WAIT))
        self.assertEqual(self.primary.wait_idle(), [])
        self.assertEqual(len(self.primary.messages("joe")), 1)

    def test_mail_host_queue_goes_to_the_mail_host_past_the_relay_host(self):
        # A relay host where nothing listens: all other mail would wait there.
        self.backup.scratch.reg_import({ZEL_KEY: {"GatewayName": "127.0.0.19",
                                                  "GatewayPort": free_port("127.0.0.19")}})
        self.backup.scratch.reg_import({service_key("ZELDELIV"):
                                        {"MailHostPort": self.primary.port}})
        self.primary.start()
        self.backup.start(agent=False)
        # What the hand-off leaves (the directory's mail host set by hand):
        # the held message and its file in the mail host's queue.
        name = "B0000000042"
        os.makedirs(self.backup.spool("holding"), exist_ok=True)
        with open(self.backup.spool("holding", name + ".MSG"), "wb") as f:
            f.write(message("handed off") + b".\r\n")
        queue = self.backup.spool("domains", "#mx1." + SITE)
        os.makedirs(queue)
        with open(os.path.join(queue, name + ".RCP"), "w") as f:
            f.write("Message-ID: <%s@mx2.%s>\nReturn-path: carol@%s\nRecipient: joe@mx1.%s\n"
                    % (name, SITE, SITE, SITE))
        self.backup.agent.start()
        names = self.primary.wait_messages("joe", 1, WAIT)
        self.assertEqual(len(names), 1, self.backup.scratch.events()[-2000:])
        self.assertIn(b"Subject: handed off", self.primary.read_message("joe", names[0]))
        self.assertTrue(poll(lambda: not os.path.isdir(queue), WAIT),
                        self.backup.scratch.events()[-2000:])

if __name__ == "__main__":
    unittest.main()
