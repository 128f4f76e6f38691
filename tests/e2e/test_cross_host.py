"""Users spread over several mail hosts, end to end: three ZEL instances,
each with its own ZEL_ROOT, registry and ports, one slapd (UserDirectory
"ldap" on all three) and one dnsmasq:

  127.0.0.11  mx1.example.test   MX 10, the front: example.test is local,
              its users' mail is handed to their mail host (MailHostPort),
              its POP3 server proxies their logons (ProxyPop3Port)
  127.0.0.12  mx2.example.test   MX 20, the backup: BackupMxVerifiedDomains
              example.test, verified through the same slapd; it hands what
              it holds to the better MX (SmtpPort: the front's port)
  127.0.0.13  mh13.example.test  the test users' mail host (their mailHost
              in the directory is its own name: its Hostname)

Each receiver listens on its own address (and 127.0.0.1, where the harness
waits for its greeting) on a port of its own; the hosts find each other by
the name server's MX and A records, as a site's hosts do. The sender is a
client of the MX, falling back to the backup when the front does not
answer, as a sending MTA does by preference.

The kill test sends numbered messages to the MXes while random SIGKILLs
hit zelrecv and zeldeliv on all three hosts (test_deliv_crash's Killer and
Client). Every acknowledged message must reach the mail host's mailbox.
A duplicate is inherent to SMTP where a host is killed after the next
holder (or the mailbox) has the message and before it recorded that: a
receiver killed between its sync and the 250 reaching the client (the
client sends again), an agent killed between the next hop's 250 (or the
mailbox copy) and the rewrite of its queue file (it sends again). As in
test_deliv_crash, these are counted and printed, not refused. What can be
told from the copies is checked: copies that entered the site as
different messages (the first receiver's id in the bottom Received line)
are the client's doing, so there are never more of them than sessions the
client began for that number; the other duplicates are a host's sending
again, which the kills allow. A copy of a number that no client got a 250
for fails the test.
After the kills the queues that wait on a killed peer are asked to go now
("zeladm queue retry", what an operator does): the retry schedule's first
step is a minute, past this test's time.

The random seed is printed; ZEL_CRASH_SEED replays a run. Every wait is
bounded.
"""

import os
import poplib
import random
import re
import shutil
import smtplib
import sys
import tempfile
import time
import unittest

import remotepeers
import slapdfixture as ldap
import test_deliv_crash as crash
from remotepeers import NameServer
from zelharness import (IS_ROOT, LOCAL_QUEUE, REPLY_SECONDS, TCPIP_KEY, WAIT_SECONDS, ZEL_KEY,
                        MailSystem, PeersCase, files_with, poll, read_bytes)

DOMAIN = ldap.MAIL_DOMAIN
FRONT, BACKUP, HOST = "127.0.0.11", "127.0.0.12", "127.0.0.13"
HOST_NAME = "mh13." + DOMAIN
HOST_QUEUE = "#" + HOST_NAME
PASSWORD = "cross-host-pw"
KILL_USERS = ["kim", "lou", "max"]
KILLS = 20
CLIENTS = 3
# The id a receiver gave the message, in its Received line.
RECEIVED_ID = re.compile(rb" id <([^>]+)>;")
RECEIVED_BY = re.compile(rb"^Received: from [^\r\n]*? by (\S+)\r?$", re.M)
# The bounded wait for mail that crosses two or three hosts.
WAIT = 30


def message(subject):
    return ("From: sender@remote.test\r\nTo: users\r\nSubject: %s\r\n\r\nbody\r\n"
            % subject).encode()


def holding(mail, subject):
    """The names of the message files of mail's users' mailboxes whose text
    has subject, by user."""
    found = {}
    root = mail.scratch.path("var", "mailbox")
    for user in (os.listdir(root) if os.path.isdir(root) else []):
        for name in files_with(mail.mailbox(user), "MSG"):
            if b"\nSubject: " + subject.encode() + b"\r\n" in read_bytes(mail.mailbox(user, name)):
                found.setdefault(user, []).append(name)
    return found


def queued(mail, queue):
    return files_with(mail.spool("domains", queue), "RCP")


def settled(mail):
    """True when nothing waits on mail but message files a killed receiver
    left in incoming without their recipient file (never acknowledged), and
    every remote queue is finished (its directory gone)."""
    incoming = mail.spool("incoming")
    orphans = {n for n in files_with(incoming, "MSG")
               if not os.path.exists(os.path.join(incoming, n[:-4] + ".RCP"))}
    domains = mail.spool("domains")
    remote = [d for d in (os.listdir(domains) if os.path.isdir(domains) else [])
              if d != LOCAL_QUEUE]
    return not remote and all(p in orphans for p in mail.busy())


class MxClient(crash.Client):
    """test_deliv_crash's client sending to the test users at the MX of
    preference 10, else the one of 20."""

    def __init__(self, mxes, *args):
        super().__init__(None, *args)
        self.mxes = mxes   # [(address, port)] by preference
        self.taken = {}   # address: messages it acknowledged
        self.sessions = {}   # number: sessions begun to send it

    def recipients(self):
        return ["%s@%s" % (u, DOMAIN)
                for u in self.rng.sample(KILL_USERS, self.rng.choice((1, 1, 2)))]

    def send_once(self, number, to):
        for address, port in self.mxes:
            try:
                with smtplib.SMTP(timeout=WAIT_SECONDS) as client:
                    client.connect(address, port)
                    self.sessions[number] = self.sessions.get(number, 0) + 1
                    client.helo("crash.client")
                    client.sendmail("sender@remote.test", to, crash.message_text(number))
                self.taken[address] = self.taken.get(address, 0) + 1
                return True
            except (OSError, smtplib.SMTPException):
                continue
        return False


@unittest.skipUnless(IS_ROOT and shutil.which("slapd") and os.access(remotepeers.DNSMASQ, os.X_OK),
                     "needs root, slapd and dnsmasq")
class CrossHost(PeersCase):

    @classmethod
    def start_peers(cls):
        cls.dir = tempfile.mkdtemp(prefix="zel-e2e-crosshost-")
        cls.stops.append(lambda: shutil.rmtree(cls.dir, ignore_errors=True))
        cls.slapd = ldap.Slapd(cls.dir).start()
        cls.stops.append(cls.slapd.cleanup)
        for user in ["dora", "emil"] + KILL_USERS:
            cls.slapd.add(ldap.user_ldif(user, PASSWORD, ["objectClass: inetLocalMailRecipient",
                                                          "mailHost: " + HOST_NAME]))
        cls.dns = NameServer(cls.dir, mx=[(DOMAIN, "mx1." + DOMAIN, 10),
                                          (DOMAIN, "mx2." + DOMAIN, 20)],
                             hosts=[("mx1." + DOMAIN, FRONT), ("mx2." + DOMAIN, BACKUP),
                                    (HOST_NAME, HOST)]).start()
        cls.stops.append(cls.dns.stop)
        cls.host = cls.instance(HOST, "mh13", {"DomainNamesAreLocal": [DOMAIN]}, {}, {})
        cls.front = cls.instance(FRONT, "mx1", {"DomainNamesAreLocal": [DOMAIN],
                                                "ProxyTls": "none",
                                                "ProxyPop3Port": cls.host.pop3_port},
                                 {}, {"MailHostPort": cls.host.port})
        # No client of the test may relay through the backup (by default
        # loopback may): it takes example.test's mail only as its backup.
        cls.backup = cls.instance(BACKUP, "mx2", {}, {"BackupMxVerifiedDomains": [DOMAIN],
                                                      "RelayClients": ["192.0.2.0/24"]},
                                  {"SmtpPort": cls.front.port, "MailHostPort": cls.host.port})
        for mail in (cls.host, cls.front, cls.backup):
            mail.start()

    @classmethod
    def instance(cls, address, hostname, suite, recv, deliv):
        """A MailSystem listening on address and 127.0.0.1, known as
        hostname in DOMAIN, its users in the directory; not started."""
        listen = {"ListenAddresses": [address, "127.0.0.1"]}
        mail = MailSystem(suite=dict(suite, UserDirectory=["ldap"]), recv=dict(recv, **listen),
                          deliv=dict(deliv, Timeout=1), fetch=dict(listen),
                          prefix="zel-e2e-%s-" % hostname, name_server=cls.dns.address)
        cls.stops.append(mail.stop)
        mail.scratch.reg_import({
            TCPIP_KEY: {"Hostname": hostname, "Domain": DOMAIN},
            ZEL_KEY + "\\Ldap": {"Uri": [cls.slapd.uri], "BaseDn": ldap.BASE_DN,
                                 "BindDn": ldap.SERVICE_DN, "StartTls": 0,
                                 "BindPasswordFile": ldap.write_secret(
                                     mail.scratch.path("bindpw"), ldap.SERVICE_PASSWORD)}})
        return mail

    def send(self, address, port, user, subject):
        with smtplib.SMTP(address, port, timeout=WAIT_SECONDS) as client:
            client.sendmail("sender@remote.test", ["%s@%s" % (user, DOMAIN)], message(subject))

    def arrives(self, subject):
        """The mail host's copies of subject, by user, once there are any."""
        return poll(lambda: holding(self.host, subject), WAIT)

    def hops(self, user, name):
        """The receivers a message of user's at the mail host passed, the
        last first (their Received lines name the address they took it on)."""
        return [b.decode() for b in RECEIVED_BY.findall(self.host.read_message(user, name))]

    def test_mail_for_the_mail_hosts_users_lands_there_and_pop3_at_the_front_reads_it(self):
        self.send(FRONT, self.front.port, "dora", "for dora")
        copies = self.arrives("for dora")
        self.assertEqual(list(copies), ["dora"], self.front.scratch.events()[-2000:])
        self.assertEqual(len(copies["dora"]), 1)
        self.assertEqual(holding(self.front, "for dora"), {})
        # The front holds no mailbox for her: the logon there reads the
        # mail host's.
        pop = poplib.POP3(FRONT, self.front.pop3_port, timeout=REPLY_SECONDS)
        try:
            pop.user("dora")
            pop.pass_(PASSWORD)
            count, _ = pop.stat()
            self.assertEqual(count, 1)
            self.assertIn(b"Subject: for dora", b"\r\n".join(pop.retr(1)[1]))
        finally:
            pop.quit()

    def test_outages_of_the_front_and_of_the_mail_host_only_delay_the_mail(self):
        # The backup verifies in the site's directory: no stranger.
        with self.assertRaises(smtplib.SMTPRecipientsRefused) as refused:
            self.send(BACKUP, self.backup.port, "nobody", "refused")
        self.assertEqual(refused.exception.recipients["nobody@" + DOMAIN],
                         (550, b"User 'nobody@%s' not known" % DOMAIN.encode()))
        # The front is down: the backup holds the mail, then hands it to
        # the front (the better MX), which hands it to the mail host.
        hops = self.held_while_down(self.front.receiver, self.backup, BACKUP, DOMAIN,
                                    "via the backup")
        self.assertEqual(hops, [HOST, FRONT, BACKUP])
        # The mail host is down: the mail waits in the front's queue for it.
        hops = self.held_while_down(self.host.receiver, self.front, FRONT, HOST_QUEUE,
                                    "while the mail host is down")
        self.assertEqual(hops, [HOST, FRONT])
        # Once each, and every queue finished.
        for mail in (self.front, self.backup, self.host):
            self.assertTrue(poll(lambda: settled(mail), WAIT), mail.busy())
        self.assertEqual(len(self.host.messages("emil")), 2)

    def held_while_down(self, receiver, mx, address, queue, subject):
        """Stops receiver; a message for emil sent to mx (on address) must
        wait in mx's queue (tried once and failed) and not reach the mail
        host. Then the receiver starts again, mx is asked to retry the
        queue, and the message must arrive once: its hops (the receivers it
        passed)."""
        receiver.stop()
        try:
            self.send(address, mx.port, "emil", subject)
            self.assertTrue(poll(lambda: queued(mx, queue), WAIT), mx.scratch.events()[-2000:])
            record = mx.spool("domains", queue, "DOMAIN.MRI")
            self.assertTrue(poll(lambda: os.path.exists(record)
                                 and b"Try-number: 1" in read_bytes(record), WAIT))
            self.assertEqual(holding(self.host, subject), {})
        finally:
            receiver.start()
        mx.scratch.zeladm("queue", "retry", queue)
        copies = self.arrives(subject)
        self.assertEqual(list(copies), ["emil"], mx.scratch.events()[-2000:])
        self.assertEqual(len(copies["emil"]), 1)
        return self.hops("emil", copies["emil"][0])

    def test_nothing_acknowledged_is_lost_across_random_kills(self):
        seed, rng = crash.seeded("cross-host kill test")
        services = [s for m in (self.front, self.backup, self.host) for s in (m.receiver, m.agent)]
        killer = crash.Killer(services, random.Random(rng.random()), KILLS)
        mxes = [(FRONT, self.front.port), (BACKUP, self.backup.port)]
        clients = [MxClient(mxes, range(n * 10000, n * 10000 + crash.MAX_PER_CLIENT),
                            random.Random(rng.random()), killer) for n in range(CLIENTS)]
        started = time.monotonic()
        crash.run_under_kills(self, killer, clients)
        # Every service runs again: what waits on a peer that was killed
        # goes now instead of after the schedule's first minute.
        for mail in (self.front, self.backup):
            mail.scratch.zeladm("queue", "retry")
        expected = {(number, t.split("@")[0]) for c in clients
                    for number, to in c.acknowledged.items() for t in to}
        acknowledged = sum(len(c.acknowledged) for c in clients)
        self.assertGreaterEqual(acknowledged, CLIENTS * crash.MIN_PER_CLIENT // 2)

        def found():
            return crash.mailbox_copies(self.host, KILL_USERS)

        copies = poll(lambda: (lambda c: c if expected <= set(c) else None)(found()),
                      crash.DELIVERY_SECONDS) or found()
        missing = sorted(expected - set(copies))
        self.assertEqual(missing, [], "acknowledged but not delivered (seed %d): %s"
                         % (seed, missing[:20]))
        self.assertEqual(sorted(set(copies) - expected), [], "never acknowledged, yet delivered")
        # A copy's first hop is its bottom Received line's id: copies with
        # different first hops are the client's own sends again, never more
        # than the sessions it began for the number; the rest of the
        # duplicates are hosts that sent again after a kill.
        sessions = {n: k for c in clients for n, k in c.sessions.items()}
        by_client = by_host = 0
        for (number, user), texts in copies.items():
            first = {RECEIVED_ID.findall(t)[-1] for t in texts}
            self.assertLessEqual(len(first), sessions[number], (number, user, first))
            by_client += len(first) - 1
            by_host += len(texts) - len(first)
        print("cross-host kill test: %d messages acknowledged (%d attempts, %d taken by the "
              "backup) for %d deliveries, kills %s, duplicates: %d sent again by the client, "
              "%d by a host, %.0f s"
              % (acknowledged, sum(c.attempts for c in clients),
                 sum(c.taken.get(BACKUP, 0) for c in clients), len(expected), killer.kills,
                 by_client, by_host, time.monotonic() - started), file=sys.stderr)
        for mail in (self.front, self.backup, self.host):
            self.assertTrue(poll(lambda: settled(mail), WAIT), mail.busy())


if __name__ == "__main__":
    unittest.main()
