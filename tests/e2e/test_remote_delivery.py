"""Remote delivery end to end: zelrecv takes mail over SMTP, zeldeliv looks
the destination up in DNS and hands it to the remote mail exchanger.

The remote side is real software nobody here wrote (tests/e2e/remotepeers):
dnsmasq on a free port of 127.0.0.1 serves the MX, A and CNAME records of
each test (no upstream server: nothing reaches the machine's resolver), and
aiosmtpd servers on 127.0.0.2, 127.0.0.3, ... are the exchangers, all on the
port the agent is given as SmtpPort. An address with nothing listening is an
exchanger that is down.

In most tests the mail is sent while only zelrecv runs, so the agent's first
work cycle finds all of it and the first delivery attempt takes every
message at once. The scan interval is one second. Domain records are edited
only while the agent is stopped: a record belongs to the agent's domain
thread while it runs. Every wait is bounded.

Set ZEL_E2E_KEEP=1 to keep the scratch roots for a look afterwards.
"""

import importlib.util
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import tempfile
import time
import unittest

import remotepeers
from remotepeers import Board, Exchanger, NameServer, SilentNameServer, query_dns
from zelharness import (LOCAL_HOST, ZEL_KEY, AccountCase, MailSystem, Receiver,
                        assert_unprivileged,
                        child_pids, connection_inode, files_with, has_ipv6_loopback,
                        inet_socket_inodes, poll, process_ended, read_bytes, service_key,
                        socket_holders, socket_inodes, write_file)

SENDER = "alice@" + LOCAL_HOST
USERS = ("administrator", "alice", "bob")
TZ_UTC = {"TZ": "UTC0"}
# The loopback addresses the exchangers of a test may use.
PEER_ADDRESSES = ["127.0.0.%d" % n for n in range(2, 21)]
# Scan interval of the agent in the tests, seconds.
SCAN_SECONDS = 1
# The bounded wait for one delivery or report.
WAIT = 20
# The waits of the retry schedule in minutes (the first entries).
FIRST_RETRY_MINUTES = 10

SMTP_PORT = None   # chosen once, free on every one of PEER_ADDRESSES


def setUpModule():
    global SMTP_PORT
    # The peers are part of the test, not optional: say plainly what is missing.
    if not os.access(remotepeers.DNSMASQ, os.X_OK):
        raise RuntimeError("dnsmasq is needed: %s (Debian package dnsmasq)" % remotepeers.DNSMASQ)
    if importlib.util.find_spec("aiosmtpd") is None:
        raise RuntimeError("aiosmtpd is needed (Debian package python3-aiosmtpd; run with "
                           "/usr/bin/python3)")
    SMTP_PORT = remotepeers.free_smtp_port(PEER_ADDRESSES)


def text(subject, body="Hello from afar."):
    return ("From: %s\r\nTo: someone\r\nSubject: %s\r\n\r\n%s\r\n"
            % (SENDER, subject, body)).encode("latin-1")


def parse_record(data):
    """{keyword lower case: [values]} of a domain record's text."""
    fields = {}
    for line in data.replace("\r\n", "\n").split("\n"):
        words = line.split()
        if words:
            fields.setdefault(words[0].lower(), []).append(words[1] if len(words) > 1 else "")
    return fields


class RemoteCase(unittest.TestCase):
    """Peers and a mail system per test; everything is stopped in cleanup."""

    def name_server(self, mx=(), hosts=(), cnames=(), listen="127.0.0.1", txt=()):
        ns = NameServer(self.scratch_dir(), mx=mx, hosts=hosts, cnames=cnames, listen=listen,
                        txt=txt)
        ns.start()
        self.addCleanup(ns.stop)
        self.ns = ns
        return ns

    def scratch_dir(self):
        if not hasattr(self, "_scratch_dir"):
            self._scratch_dir = tempfile.mkdtemp(prefix="zel-e2e-peers-")
            self.addCleanup(shutil.rmtree, self._scratch_dir, True)
        return self._scratch_dir

    def exchanger(self, address, board=None, start=True, **options):
        ex = Exchanger(address, SMTP_PORT, board=board, **options)
        if start:
            ex.start()
        self.addCleanup(ex.stop)
        return ex

    def mail_system(self, name_server, deliv=None, suite=None, account=None):
        """zelrecv started, zeldeliv ready to start (self.start_agent); with
        account, both switch to it."""
        settings = {"Timeout": SCAN_SECONDS, "SmtpPort": SMTP_PORT, "MailOutlogEnabled": 1}
        settings.update(deliv or {})
        suite = dict(suite or {}, **({"ServiceAccount": account} if account else {}))
        self.mail = MailSystem(USERS, suite=suite, deliv=settings, env=TZ_UTC,
                               prefix="zel-e2e-remote-", name_server=name_server)
        self.addCleanup(self.mail.stop_checked, self)
        self.mail.start(agent=False)
        return self.mail

    def send(self, recipients, subject="remote mail", sender=SENDER):
        self.mail.send(sender, recipients, text(subject))

    def start_agent(self):
        self.mail.agent.start()

    def restart_agent(self, edit=None):
        """Stops the agent, calls edit() while it is down, starts it again."""
        self.assertEqual(self.mail.agent.stop(), 0, self.mail.agent.stderr()[-2000:])
        if edit:
            edit()
        self.mail.agent.start()

    # -- the spool -----------------------------------------------------------

    def domain_dir(self, domain, *parts):
        return self.mail.spool("domains", domain, *parts)

    def record(self, domain):
        try:
            return parse_record(read_bytes(self.domain_dir(domain, "DOMAIN.MRI"))
                                .decode("latin-1"))
        except FileNotFoundError:
            return None

    def try_number(self, domain):
        fields = self.record(domain)
        return int(fields["try-number:"][0]) if fields and "try-number:" in fields else None

    def wait_try_number(self, domain, number, seconds=WAIT):
        found = poll(lambda: (self.try_number(domain) or 0) >= number, seconds)
        self.assertTrue(found, "Try-number of %s is %s, waited for %d; record %s; events %s"
                        % (domain, self.try_number(domain), number, self.record(domain),
                           self.mail.scratch.events()[-1500:]))

    def move_last_tried_back(self, domain, minutes):
        """Rewrites the record (agent stopped) as if the last attempt was
        that many minutes ago."""
        path = self.domain_dir(domain, "DOMAIN.MRI")
        data = read_bytes(path).decode("latin-1")
        when = int(time.time()) - 60 * minutes
        data, count = re.subn(r"(?im)^(Last-tried:)[ \t]*-?\d+", r"\g<1> %d" % when, data)
        self.assertEqual(count, 1, data)
        write_file(path, data)

    def queued(self, domain):
        """{recipient file: [recipients]} of a domain queue."""
        result = {}
        for name in files_with(self.domain_dir(domain), "RCP"):
            data = read_bytes(self.domain_dir(domain, name)).decode("latin-1")
            result[name] = re.findall(r"(?im)^Recipient:[ \t]*(\S+)", data)
        return result

    def wait_domain_done(self, domain, seconds=WAIT):
        done = poll(lambda: not os.path.isdir(self.domain_dir(domain)), seconds)
        self.assertTrue(done, "%s still queued: %s; record %s; events %s"
                        % (domain, self.queued(domain) if os.path.isdir(self.domain_dir(domain))
                           else None, self.record(domain), self.mail.scratch.events()[-1500:]))

    def mailbox(self, user):
        return [self.mail.read_message(user, n) for n in self.mail.messages(user)]

    def wait_reports(self, count, user="alice", seconds=WAIT):
        names = self.mail.wait_messages(user, count, seconds)
        self.assertGreaterEqual(len(names), count, "reports in %s's mailbox: %d; events %s"
                                % (user, len(names), self.mail.scratch.events()[-1500:]))
        return [self.mail.read_message(user, n) for n in names]

    def outlog_lines(self):
        directory = self.mail.spool("outlog")
        lines = []
        for name in files_with(directory, "log"):
            lines += read_bytes(os.path.join(directory, name)).decode("latin-1").splitlines()
        return lines

    def outlog_line_to(self, address):
        lines = [line for line in self.outlog_lines() if " to %s " % address in line]
        self.assertEqual(len(lines), 1, self.outlog_lines())
        return lines[0]

    def wait_messages_at(self, exchanger, count, seconds=WAIT):
        got = poll(lambda: exchanger.message_count() >= count, seconds)
        self.assertTrue(got, "%s took %d messages, waited for %d; sessions %s; events %s"
                        % (exchanger.address, exchanger.message_count(), count,
                           [s.commands for s in exchanger.session_list()],
                           self.mail.scratch.events()[-1500:]))

    def tls_context(self, broken=False):
        """A server context with a certificate of the harness; broken: one
        that only speaks TLS 1.0, which the agent never accepts."""
        cert, key = self.mail.scratch.self_signed("mx.peer.test")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        if broken:
            context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1
        return context

    def assertUntouched(self, *exchangers):
        for ex in exchangers:
            self.assertEqual([s.commands for s in ex.session_list()], [],
                             "exchanger %s was used" % ex.address)

    def assertReport(self, report, *pieces):
        self.assertIn(b"Subject: Delivery failure", report)
        self.assertRegex(report, rb"(?m)^To: " + re.escape(SENDER.encode()) + rb"\r?$")
        for piece in pieces:
            self.assertIn(piece.encode("latin-1") if isinstance(piece, str) else piece, report)


class RoutingTest(RemoteCase):
    """Where the mail goes: MX order, fall-over, aliases, fall-backs."""

    def test_best_preference_first_and_outlog_line(self):
        # Records in a mixed order: the answer's order must not decide.
        ns = self.name_server(
            mx=[("pref.test", "mx10.pref.test", 10), ("pref.test", "mx5.pref.test", 5),
                ("pref.test", "mx20.pref.test", 20)],
            hosts=[("mx5.pref.test", "127.0.0.2"), ("mx10.pref.test", "127.0.0.3"),
                   ("mx20.pref.test", "127.0.0.4")])
        best, second, third = (self.exchanger(a) for a in ("127.0.0.2", "127.0.0.3", "127.0.0.4"))
        self.mail_system(ns.address)
        self.send(["bob@pref.test", "carol@pref.test"], "preference")
        self.start_agent()
        self.wait_messages_at(best, 1)
        self.wait_domain_done("pref.test")
        self.assertUntouched(second, third)
        mail_from, rcpt_tos, content = best.messages[0]
        self.assertEqual(mail_from, SENDER)
        self.assertEqual(sorted(rcpt_tos), ["bob@pref.test", "carol@pref.test"])
        self.assertIn(b"Subject: preference\r\n", content)
        self.assertEqual(best.session_list()[0].verbs(),
                         ["EHLO", "MAIL", "RCPT", "RCPT", "DATA", "QUIT"])
        self.assertEqual(best.session_list()[0].commands[0], "EHLO " + LOCAL_HOST)
        # The outlog line of the accepted message.
        lines = self.outlog_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0],
                         r"^B\d{10}(@zeltest\.example\.test)? sent on "
                         r"\[\d\d/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:"
                         r"\d\d:\d\d:\d\d\] to 127\.0\.0\.2 mx5\.pref\.test from "
                         + re.escape(SENDER) + r" to (bob@pref\.test carol@pref\.test|"
                         r"carol@pref\.test bob@pref\.test)$")
        day = time.gmtime()
        self.assertIn("%d%02d%02d.log" % (day.tm_year - 1900, day.tm_mon, day.tm_mday),
                      files_with(self.mail.spool("outlog"), "log"))

    def test_falls_over_to_next_exchanger(self):
        # The best exchanger of each domain is down in its own way: nothing
        # listens (refused.test), it closes without a greeting (closed.test,
        # where it can be seen to be asked first), its name has no address
        # (nameless.test).
        ns = self.name_server(
            mx=[("refused.test", "mx5.refused.test", 5), ("refused.test", "mx10.refused.test", 10),
                ("closed.test", "mx5.closed.test", 5), ("closed.test", "mx10.closed.test", 10),
                ("nameless.test", "mx5.nameless.test", 5),
                ("nameless.test", "mx10.nameless.test", 10)],
            hosts=[("mx5.refused.test", "127.0.0.9"), ("mx10.refused.test", "127.0.0.3"),
                   ("mx5.closed.test", "127.0.0.8"), ("mx10.closed.test", "127.0.0.5"),
                   ("mx10.nameless.test", "127.0.0.4")])
        closer = remotepeers.Closer("127.0.0.8", SMTP_PORT)
        self.addCleanup(closer.stop)
        seconds = {"refused.test": self.exchanger("127.0.0.3"),
                   "closed.test": self.exchanger("127.0.0.5"),
                   "nameless.test": self.exchanger("127.0.0.4")}
        self.mail_system(ns.address)
        for domain in seconds:
            self.send(["bob@" + domain], domain)
        self.start_agent()
        for domain, ex in seconds.items():
            with self.subTest(domain=domain):
                self.wait_messages_at(ex, 1)
                self.wait_domain_done(domain)
                self.assertEqual(ex.messages[0][1], ["bob@" + domain])
        self.assertEqual(closer.accepted, 1)
        self.assertIn(("A", "mx5.nameless.test"), ns.queries())

    def test_equal_preferences_tried_in_reverse_answer_order(self):
        ns = self.name_server(mx=[("equal.test", "first.equal.test", 10),
                                  ("equal.test", "second.equal.test", 10)],
                              hosts=[("first.equal.test", "127.0.0.2"),
                                     ("second.equal.test", "127.0.0.3")])
        answer = [host for _, host in query_dns(ns.port, "equal.test", 15).exchanges()]
        self.assertEqual(sorted(answer), ["first.equal.test", "second.equal.test"])
        by_name = {"first.equal.test": self.exchanger("127.0.0.2"),
                   "second.equal.test": self.exchanger("127.0.0.3")}
        self.mail_system(ns.address)
        self.send(["bob@equal.test"], "equal")
        self.start_agent()
        # The last one of the answer is tried first.
        self.wait_messages_at(by_name[answer[-1]], 1)
        self.wait_domain_done("equal.test")
        self.assertUntouched(by_name[answer[0]])

    def test_alias_then_exchangers(self):
        ns = self.name_server(mx=[("target.test", "mx.target.test", 10)],
                              hosts=[("mx.target.test", "127.0.0.2")],
                              cnames=[("alias.test", "target.test")])
        ex = self.exchanger("127.0.0.2")
        self.mail_system(ns.address)
        self.send(["bob@alias.test"], "alias")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("alias.test")
        # The recipient keeps the domain it was addressed to.
        self.assertEqual(ex.messages[0][1], ["bob@alias.test"])
        self.assertIn(("MX", "alias.test"), ns.queries())

    def test_second_alias_is_too_deep(self):
        ns = self.name_server(mx=[("final.test", "mx.final.test", 10)],
                              hosts=[("mx.final.test", "127.0.0.2")],
                              cnames=[("outer.test", "inner.test"), ("inner.test", "final.test")])
        ex = self.exchanger("127.0.0.2")
        self.mail_system(ns.address)
        self.send(["bob@outer.test"], "two aliases")
        self.start_agent()
        # One alias is followed, the second is not; with no exchangers
        # found and no address record for the name, the domain is given up.
        reports = self.wait_reports(1)
        self.assertReport(reports[0], "Unable to deliver to destination domain",
                          "Cannot resolve outer.test", "bob@outer.test")
        self.wait_domain_done("outer.test")
        events = self.mail.scratch.events()
        self.assertRegex(events, r"ZELDELIV \w+ 784 .*Reach the maximum recursive limit\. "
                                 r"Fail to look up final\.test\.")
        self.assertUntouched(ex)

    def test_address_record_without_exchangers(self):
        ns = self.name_server(hosts=[("plain.test", "127.0.0.4")])
        ex = self.exchanger("127.0.0.4")
        self.mail_system(ns.address)
        self.send(["bob@plain.test"], "no mx")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("plain.test")
        queries = ns.queries()
        self.assertLess(queries.index(("MX", "plain.test")), queries.index(("A", "plain.test")))

    def test_domain_that_does_not_exist(self):
        ns = self.name_server(hosts=[("elsewhere.test", "127.0.0.2")])
        self.mail_system(ns.address)
        self.send(["bob@nowhere.test", "carol@nowhere.test"], "nowhere")
        self.send(["dave@nowhere.test"], "nowhere bounce", sender="")
        self.start_agent()
        reports = self.wait_reports(1)
        self.wait_domain_done("nowhere.test")
        self.assertEqual(len(self.mail.messages("alice")), 1)
        self.assertReport(reports[0],
                          "Your message has encountered delivery problems to the following "
                          "recipients:", "bob@nowhere.test", "carol@nowhere.test",
                          "Unable to deliver to destination domain\r\nCannot resolve "
                          "nowhere.test\r\n", "Subject: nowhere")
        # Without a return path the report goes to the postmaster alone.
        postmaster = self.wait_reports(1, user="administrator")
        self.assertEqual(len(postmaster), 1)
        self.assertIn(b"Subject: Delivery failure", postmaster[0])
        self.assertIn(b"\r\nCc: postmaster@" + LOCAL_HOST.encode() + b"\r\n", postmaster[0])
        self.assertNotRegex(postmaster[0].split(b"\r\n\r\n")[0], rb"(?m)^To:")
        self.assertIn(b"dave@nowhere.test", postmaster[0])

    def test_truncated_udp_answer_is_asked_again_over_tcp(self):
        # Enough exchangers that the answer passes 512 bytes: dnsmasq cuts
        # its UDP answer and sets TC. dnsmasq answers in the reverse of its
        # configuration order, so the only live exchanger (the best one) is
        # given first and lands where the cut answer has lost it.
        # big.test: the TCP answer fits 2048 bytes; huge.test: it does not,
        # and is still taken whole (a domain that resolves is not bounced
        # because it publishes many exchangers).
        sizes = {"big.test": 12, "huge.test": 30}
        mx, hosts = [], []
        for domain, count in sizes.items():
            live = "the-live-exchanger." + domain
            mx.append((domain, live, 5))
            mx += [(domain, "unreachable-exchanger-number-%02d.far-away.%s" % (n, domain), 10 + n)
                   for n in range(count)]
            hosts.append((live, "127.0.0.2"))
        ns = self.name_server(mx=mx, hosts=hosts)
        for domain, count in sizes.items():
            udp = query_dns(ns.port, domain, 15)
            tcp = query_dns(ns.port, domain, 15, tcp=True)
            self.assertTrue(udp.tc, "dnsmasq did not truncate the UDP answer (%d bytes)"
                            % udp.size)
            self.assertNotIn("the-live-exchanger." + domain, [h for _, h in udp.exchanges()])
            self.assertFalse(tcp.tc)
            self.assertEqual(len(tcp.exchanges()), count + 1)
            self.assertEqual(tcp.size <= 2048, domain == "big.test", tcp.size)
        ex = self.exchanger("127.0.0.2")
        self.mail_system(ns.address)
        self.send(["bob@big.test"], "big answer")
        self.send(["bob@huge.test"], "huge answer")
        self.start_agent()
        self.wait_messages_at(ex, 2)
        self.wait_domain_done("big.test")
        self.wait_domain_done("huge.test")
        self.assertEqual(sorted(m[1][0] for m in ex.messages), ["bob@big.test", "bob@huge.test"])
        self.assertNotRegex(self.mail.scratch.events(), r" 131 ")

    def test_gateway_takes_all_remote_mail(self):
        ns = self.name_server(mx=[("far.test", "mx.far.test", 10)],
                              hosts=[("mx.far.test", "127.0.0.2"), ("gw.test", "127.0.0.6")])
        far = self.exchanger("127.0.0.2")
        literal = self.exchanger("127.0.0.7")
        gateway = self.exchanger("127.0.0.6")
        self.mail_system(ns.address, suite={"GatewayName": "gw.test"})
        self.send(["bob@far.test"], "via gateway")
        self.send(["carol@[127.0.0.7]"], "literal via gateway")
        self.start_agent()
        self.wait_messages_at(gateway, 2)
        self.wait_domain_done("far.test")
        self.wait_domain_done("[127.0.0.7]")
        self.assertEqual(sorted(m[1][0] for m in gateway.messages),
                         ["bob@far.test", "carol@[127.0.0.7]"])
        self.assertUntouched(far, literal)
        # The gateway's own name (both families) is the only name looked up.
        asked = [q for q in ns.queries() if q[0] != "PTR"]
        self.assertEqual(set(asked), {("A", "gw.test"), ("AAAA", "gw.test")}, asked)

    def test_domain_literal(self):
        ns = self.name_server()
        ex = self.exchanger("127.0.0.7")
        self.mail_system(ns.address)
        self.send(["carol@[127.0.0.7]"], "literal")
        # The IPv6 form of the same address, and its own queue.
        self.send(["dave@[IPv6:::ffff:127.0.0.7]"], "literal six")
        self.start_agent()
        self.wait_messages_at(ex, 2)
        self.wait_domain_done("[127.0.0.7]")
        # Domains are queued in lower case, the literal's tag too.
        self.wait_domain_done("[ipv6:::ffff:127.0.0.7]")
        self.assertEqual(sorted(m[1][0] for m in ex.messages),
                         ["carol@[127.0.0.7]", "dave@[ipv6:::ffff:127.0.0.7]"])
        self.assertEqual([q for q in ns.queries() if q[0] != "PTR"], [])

    def test_this_host_as_exchanger(self):
        # hosted.test: this host is the best exchanger (10), the other one
        # (20) is dropped and the mail is delivered here. other.test: a
        # better exchanger (5) than this host (10) is the only one tried.
        ns = self.name_server(
            mx=[("hosted.test", LOCAL_HOST, 10), ("hosted.test", "mx20.hosted.test", 20),
                ("other.test", LOCAL_HOST, 10), ("other.test", "mx5.other.test", 5)],
            hosts=[("mx20.hosted.test", "127.0.0.2"), ("mx5.other.test", "127.0.0.3")])
        hosted_backup = self.exchanger("127.0.0.2")
        other_best = self.exchanger("127.0.0.3")
        self.mail_system(ns.address)
        self.send(["bob@hosted.test"], "hosted here")
        self.send(["bob@other.test"], "hosted elsewhere")
        self.start_agent()
        self.wait_messages_at(other_best, 1)
        copies = self.mail.wait_messages("bob", 1)
        self.assertEqual(len(copies), 1)
        self.assertIn(b"Subject: hosted here\r\n", self.mail.read_message("bob", copies[0]))
        self.wait_domain_done("hosted.test")
        self.wait_domain_done("other.test")
        self.assertUntouched(hosted_backup)
        self.assertEqual(other_best.messages[0][1], ["bob@other.test"])
        self.assertEqual(self.mail.messages("alice"), [])


class TransferTest(RemoteCase):
    """What the exchanger's replies do to the recipients."""

    def test_recipient_refused_for_good_or_for_now(self):
        ns = self.name_server(mx=[("rcpt.test", "mx.rcpt.test", 10),
                                  ("grey.test", "mx.grey.test", 10)],
                              hosts=[("mx.rcpt.test", "127.0.0.2"),
                                     ("mx.grey.test", "127.0.0.3")])
        rcpt = self.exchanger("127.0.0.2")
        # Multi-line replies: the code is taken from the last line.
        rcpt.rcpt_replies = {"refused@rcpt.test": "550-5.1.1 No such user here\r\n"
                                                  "550 5.1.1 Please check the address",
                             "later@rcpt.test": "450-4.2.1 Mailbox busy\r\n"
                                                "450 4.2.1 Try again later"}
        grey = self.exchanger("127.0.0.3")
        grey.rcpt_replies = {"one@grey.test": "450 4.7.1 Greylisted",
                             "two@grey.test": "451 4.7.1 Greylisted too"}
        self.mail_system(ns.address)
        self.send(["ok@rcpt.test", "refused@rcpt.test", "later@rcpt.test"], "mixed")
        self.send(["one@grey.test", "two@grey.test"], "grey")
        self.start_agent()
        self.wait_try_number("rcpt.test", 1)
        self.wait_try_number("grey.test", 1)
        # rcpt.test: sent to the one accepted; the 550 is reported, the 450
        # waits for the next attempt.
        self.assertEqual(len(rcpt.messages), 1)
        self.assertEqual(rcpt.messages[0][1], ["ok@rcpt.test"])
        self.assertEqual(list(self.queued("rcpt.test").values()), [["later@rcpt.test"]])
        reports = self.wait_reports(1)
        self.assertReport(reports[0], "delivery problems to refused@rcpt.test.",
                          "550-5.1.1 No such user here\r\n550 5.1.1 Please check the address",
                          "Subject: mixed")
        self.assertNotIn(b"later@rcpt.test", reports[0])
        self.assertNotIn(b"ok@rcpt.test", reports[0].split(b"Your message reads")[0])
        lines = self.outlog_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r" to 127\.0\.0\.2 mx\.rcpt\.test from .* to ok@rcpt\.test$")
        # grey.test: every recipient refused for now: RSET, no data, all wait.
        self.assertEqual(grey.session_list()[0].verbs(),
                         ["EHLO", "MAIL", "RCPT", "RCPT", "RSET", "QUIT"])
        self.assertEqual(grey.messages, [])
        self.assertEqual([sorted(r) for r in self.queued("grey.test").values()],
                         [["one@grey.test", "two@grey.test"]])
        # Nothing more is reported once the agent is idle.
        time.sleep(2 * SCAN_SECONDS)
        self.assertEqual(len(self.mail.messages("alice")), 1)

    def test_message_refused_after_the_data(self):
        ns = self.name_server(mx=[("full.test", "mx.full.test", 10)],
                              hosts=[("mx.full.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        ex.data_reply = "552 5.2.2 Mailbox full"
        self.mail_system(ns.address)
        self.send(["bob@full.test", "carol@full.test"], "too much")
        self.start_agent()
        reports = self.wait_reports(1)
        self.wait_domain_done("full.test")
        self.assertEqual(len(self.mail.messages("alice")), 1)
        self.assertReport(reports[0], "delivery problems to the following recipients:",
                          "bob@full.test", "carol@full.test",
                          "Unable to send to destination domain\r\n",
                          "Sent:    (message data)\r\nReceived:552 5.2.2 Mailbox full")
        self.assertEqual(self.outlog_lines(), [])

    def test_reply_without_code(self):
        ns = self.name_server(mx=[("odd.test", "mx.odd.test", 10)],
                              hosts=[("mx.odd.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        ex.data_reply = "Thank you kindly\r\n250 OK"
        self.mail_system(ns.address)
        self.send(["bob@odd.test"], "odd reply")
        self.start_agent()
        reports = self.wait_reports(1)
        self.wait_domain_done("odd.test")
        self.assertReport(reports[0], "Unable to send to destination domain\r\n",
                          "Sent:    (message data)\r\nReceived:Thank you kindly")

    def test_unterminated_message_becomes_dead_letter(self):
        ns = self.name_server(mx=[("cut.test", "mx.cut.test", 10)],
                              hosts=[("mx.cut.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        self.mail_system(ns.address)
        self.send(["bob@cut.test"], "cut short")
        # Its final "." line lost before the agent takes it up.
        names = files_with(self.mail.spool("incoming"), "MSG")
        self.assertEqual(len(names), 1)
        path = self.mail.spool("incoming", names[0])
        data = read_bytes(path)
        self.assertTrue(data.endswith(b"\r\n.\r\n"))
        with open(path, "wb") as f:
            f.write(data[:-3])
        self.start_agent()
        self.wait_domain_done("cut.test")
        base = names[0][:-4]
        dead = self.mail.spool("dead")
        self.assertTrue(poll(lambda: os.path.exists(os.path.join(dead, base + ".TXT"))))
        self.assertEqual(read_bytes(os.path.join(dead, base + ".MSG")), data[:-3])
        self.assertIn(b"is dead because:\nFile I/O error when transmitting",
                      read_bytes(os.path.join(dead, base + ".TXT")).replace(b"\r\n", b"\n"))
        self.assertRegex(self.mail.scratch.events(),
                         r"ZELDELIV \w+ 136 .*The message %s.* is invalid\." % base)
        self.assertNotIn("MAIL", ex.all_commands())
        self.assertEqual(self.mail.messages("alice"), [])

    def test_connection_dropped_during_the_data(self):
        ns = self.name_server(mx=[("drop.test", "mx.drop.test", 10)],
                              hosts=[("mx.drop.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        ex.drop_in_data = True
        self.mail_system(ns.address)
        self.send(["bob@drop.test"], "first")
        self.send(["carol@drop.test"], "second")
        self.start_agent()
        self.wait_try_number("drop.test", 1)
        # The first transfer broke; the second message was not tried.
        sessions = ex.session_list()
        self.assertEqual(len(sessions), 1, [s.commands for s in sessions])
        self.assertEqual(sessions[0].verbs().count("MAIL"), 1, sessions[0].commands)
        self.assertEqual(len(self.queued("drop.test")), 2)
        time.sleep(SCAN_SECONDS)
        self.assertEqual(self.mail.messages("alice"), [])
        # Next attempt, with an exchanger that takes the data: both go over
        # one connection.
        ex.drop_in_data = False
        self.restart_agent(lambda: self.move_last_tried_back("drop.test", FIRST_RETRY_MINUTES))
        self.wait_messages_at(ex, 2)
        self.wait_domain_done("drop.test")
        sessions = ex.session_list()
        self.assertEqual(len(sessions), 2)
        self.assertEqual(sessions[1].verbs().count("DATA"), 2, sessions[1].commands)
        self.assertEqual(self.mail.messages("alice"), [])


class RetryTest(RemoteCase):
    """The domain record and the retry schedule."""

    def test_next_attempt_when_due(self):
        # ghost.retry.test has no address: it is marked unresolved.
        ns = self.name_server(mx=[("retry.test", "mx.retry.test", 10),
                                  ("retry.test", "ghost.retry.test", 20)],
                              hosts=[("mx.retry.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2", start=False)   # down at first
        self.mail_system(ns.address)
        self.send(["bob@retry.test"], "retry")
        before = int(time.time())
        self.start_agent()
        self.wait_try_number("retry.test", 1)
        after = int(time.time())
        record = self.record("retry.test")
        self.assertEqual(record["try-number:"], ["1"])
        self.assertTrue(before <= int(record["last-tried:"][0]) <= after, record)
        self.assertEqual(record["domain-name:"], ["retry.test"])
        self.assertEqual(sorted(zip(record["mx-host:"], record["mx-preference:"],
                                    record["mx-status:"])),
                         [("ghost.retry.test", "20", "1"), ("mx.retry.test", "10", "0")])
        # Up now, but the next attempt is ten minutes away: nothing happens.
        ex.start()
        time.sleep(3 * SCAN_SECONDS)
        self.assertUntouched(ex)
        self.assertEqual(self.try_number("retry.test"), 1)
        self.assertEqual(self.mail.messages("alice"), [])
        # Ten minutes later (as the record says), it is delivered.
        self.restart_agent(lambda: self.move_last_tried_back("retry.test", FIRST_RETRY_MINUTES))
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("retry.test")
        self.assertEqual(self.mail.messages("alice"), [])

    def test_silent_name_server_is_retried(self):
        silent = SilentNameServer()
        self.addCleanup(silent.stop)
        self.mail_system(silent.address)
        self.send(["bob@quiet.test"], "quiet")
        self.start_agent()
        self.wait_try_number("quiet.test", 1, seconds=2 * WAIT)
        self.assertGreater(silent.received(), 0)
        self.assertEqual(list(self.queued("quiet.test").values()), [["bob@quiet.test"]])
        self.assertEqual(self.mail.messages("alice"), [])
        self.restart_agent(lambda: self.move_last_tried_back("quiet.test", FIRST_RETRY_MINUTES))
        self.wait_try_number("quiet.test", 2, seconds=2 * WAIT)
        self.assertEqual(list(self.queued("quiet.test").values()), [["bob@quiet.test"]])
        self.assertEqual(self.mail.messages("alice"), [])

    def test_gives_up_after_the_schedule(self):
        ns = self.name_server(mx=[("late.test", "mx.late.test", 10)],
                              hosts=[("mx.late.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        self.mail_system(ns.address)
        self.send(["bob@late.test", "carol@late.test"], "too late")
        # The 54th attempt has just failed.
        write_file(self.domain_dir("late.test", "DOMAIN.MRI"),
                   "Domain-name: late.test\r\nLast-tried: %d\r\nTry-number: 54\r\n"
                   % int(time.time()))
        self.start_agent()
        reports = self.wait_reports(1)
        self.wait_domain_done("late.test")
        self.assertReport(reports[0], "bob@late.test", "carol@late.test",
                          "Unable to deliver to destination domain\r\n"
                          "Failed to deliver to domain late.test after 54 tries.\r\n")
        self.assertUntouched(ex)
        self.assertNotIn(("MX", "late.test"), ns.queries())


class EsmtpTest(RemoteCase):
    """The extensions the peer offers: STARTTLS, SIZE, 8BITMIME, PIPELINING."""

    def test_starttls_when_offered_and_plain_when_not(self):
        ns = self.name_server(mx=[("tls.test", "mx.tls.test", 10),
                                  ("plain.test", "mx.plain.test", 10)],
                              hosts=[("mx.tls.test", "127.0.0.2"), ("mx.plain.test", "127.0.0.3")])
        self.mail_system(ns.address)
        secure = self.exchanger("127.0.0.2", tls_context=self.tls_context())
        plain = self.exchanger("127.0.0.3")
        self.send(["bob@tls.test"], "secret")
        self.mail.send(SENDER, ["carol@plain.test"], text("eight", "d\xe9j\xe0 vu"),
                       mail_options=["BODY=8BITMIME"])
        self.start_agent()
        self.wait_messages_at(secure, 1)
        self.wait_messages_at(plain, 1)
        # Said QUIT (and read its reply) before the queues went.
        self.wait_domain_done("tls.test")
        self.wait_domain_done("plain.test")
        session = secure.session_list()[0]
        # EHLO again under TLS, the message only after it.
        self.assertEqual(session.verbs(), ["EHLO", "EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertIn(session.tls, ("TLSv1.2", "TLSv1.3"))
        self.assertRegex(self.outlog_line_to("127.0.0.2"),
                         r" mx\.tls\.test from .* to bob@tls\.test \(TLS %s\)$"
                         % re.escape(session.tls))
        session = plain.session_list()[0]
        self.assertEqual(session.verbs(), ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertIsNone(session.tls)
        self.assertNotIn("TLS", self.outlog_line_to("127.0.0.3"))
        # aiosmtpd offers SIZE and 8BITMIME: the size, and the body type of
        # the 8-bit message.
        self.assertEqual([o.split("=")[0] for o in secure.session_list()[0].mail_options[0]],
                         ["SIZE"])
        size = int(secure.session_list()[0].mail_options[0][0].split("=")[1])
        self.assertAlmostEqual(size, len(secure.messages[0][2]), delta=300)
        self.assertIn("BODY=8BITMIME", session.mail_options[0])
        self.assertIn(b"d\xe9j\xe0 vu", plain.messages[0][2])

    def test_undeclared_eight_bit_text_asks_for_8bitmime(self):
        ns = self.name_server(mx=[("eight.test", "mx.eight.test", 10)],
                              hosts=[("mx.eight.test", "127.0.0.2")])
        self.mail_system(ns.address)
        ex = self.exchanger("127.0.0.2")
        # Neither declares BODY: the receiver sees which text has 8-bit bytes.
        self.mail.send(SENDER, ["bob@eight.test"], text("eight", "d\xe9j\xe0 vu"))
        self.mail.send(SENDER, ["carol@eight.test"], text("seven", "plain text"))
        self.start_agent()
        self.wait_messages_at(ex, 2)
        options = {m[1][0]: o for m, o in zip(ex.messages, [o for s in ex.session_list()
                                                              for o in s.mail_options])}
        self.assertIn("BODY=8BITMIME", options["bob@eight.test"])
        self.assertNotIn("BODY=8BITMIME", options["carol@eight.test"])
        self.assertIn(b"d\xe9j\xe0 vu", [m[2] for m in ex.messages
                                          if m[1] == ["bob@eight.test"]][0])

    def test_failed_handshake_then_plain(self):
        ns = self.name_server(mx=[("old.test", "mx.old.test", 10)],
                              hosts=[("mx.old.test", "127.0.0.2")])
        self.mail_system(ns.address)
        ex = self.exchanger("127.0.0.2", tls_context=self.tls_context(broken=True))
        self.send(["bob@old.test"], "old tls")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("old.test")
        # The fallback lasts one connection: the next message's attempt
        # tries TLS again first.
        self.send(["carol@old.test"], "old tls again")
        self.wait_messages_at(ex, 2)
        self.wait_domain_done("old.test")
        sessions = ex.session_list()
        self.assertEqual([s.verbs() for s in sessions],
                         [["EHLO"], ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"]] * 2)
        self.assertEqual([s.tls for s in sessions], [None] * 4)
        self.assertNotIn("TLS", "".join(self.outlog_lines()))

    def test_pipelining_in_clear_and_under_tls(self):
        ns = self.name_server(mx=[("pipe.test", "mx.pipe.test", 10),
                                  ("tlspipe.test", "mx.tlspipe.test", 10)],
                              hosts=[("mx.pipe.test", "127.0.0.2"),
                                     ("mx.tlspipe.test", "127.0.0.3")])
        self.mail_system(ns.address)
        pipe = self.exchanger("127.0.0.2", pipelining=True)
        pipe.rcpt_replies = {"refused@pipe.test": "550 5.1.1 No such user",
                             "later@pipe.test": "450 4.2.1 Try again later"}
        secure = self.exchanger("127.0.0.3", pipelining=True, tls_context=self.tls_context())
        self.send(["ok@pipe.test", "refused@pipe.test", "later@pipe.test"], "mixed")
        self.send(["nobody@pipe.test"], "second")
        self.send(["bob@tlspipe.test"], "secret")
        pipe.rcpt_replies["nobody@pipe.test"] = "550 5.1.1 Nobody"
        self.start_agent()
        self.wait_messages_at(secure, 1)
        self.wait_domain_done("tlspipe.test")
        self.wait_try_number("pipe.test", 1)
        reports = self.wait_reports(2)
        # The RCPTs and DATA came with MAIL; the replies were matched in
        # order: one taken, one reported, one kept for later. The message
        # without recipients: DATA refused (by aiosmtpd itself, unrecorded),
        # then RSET.
        verbs = [c.split(" ", 1)[0].upper() for c in pipe.all_commands()]
        self.assertEqual(sorted(v for v in verbs if v not in ("EHLO", "QUIT")),
                         ["DATA", "MAIL", "MAIL", "RCPT", "RCPT", "RCPT", "RCPT", "RSET"])
        after_mail = [a for s in pipe.session_list() for a in s.after_mail]
        self.assertEqual(len(after_mail), 2)
        for ahead in after_mail:
            self.assertRegex(ahead, rb"^(RCPT TO:<[^>]+>\r\n)+DATA\r\n$")
        self.assertEqual([m[1] for m in pipe.messages], [["ok@pipe.test"]])
        self.assertEqual(list(self.queued("pipe.test").values()), [["later@pipe.test"]])
        texts = b"".join(reports)
        self.assertIn(b"550 5.1.1 No such user", texts)
        self.assertIn(b"550 5.1.1 Nobody", texts)
        self.assertNotIn(b"later@pipe.test", texts)
        # Under TLS only the EHLO after the handshake counts.
        session = secure.session_list()[0]
        self.assertEqual(session.verbs(), ["EHLO", "EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        self.assertIsNotNone(session.tls)
        self.assertEqual(session.after_mail, [b"RCPT TO:<bob@tlspipe.test>\r\nDATA\r\n"])

    def test_message_over_the_peer_size_is_not_sent(self):
        ns = self.name_server(mx=[("small.test", "mx.small.test", 10)],
                              hosts=[("mx.small.test", "127.0.0.2")])
        self.mail_system(ns.address)
        ex = self.exchanger("127.0.0.2", size_limit=300)
        self.mail.send(SENDER, ["bob@small.test", "carol@small.test"], text("large", "x" * 400))
        self.start_agent()
        reports = self.wait_reports(1)
        self.wait_domain_done("small.test")
        self.assertReport(reports[0], "bob@small.test", "carol@small.test",
                          "than the destination server takes (300 bytes); it was not sent.")
        self.assertEqual([s.verbs() for s in ex.session_list()], [["EHLO", "QUIT"]])
        self.assertEqual(ex.messages, [])


@unittest.skipUnless(has_ipv6_loopback(), "::1 cannot be bound on this machine")
class Ipv6Test(RemoteCase):

    def test_name_server_gateway_and_literal_on_ipv6(self):
        # The name server is asked over IPv6; the gateway has an AAAA record
        # only, at ::1 (this host's own address, where only a route that
        # the administrator gives may lead); a literal of this host's ::1 is
        # delivered here.
        ns = self.name_server(hosts=[("gw.six.test", "::1")], listen="::1")
        self.assertTrue(ns.address.startswith("[::1]:"), ns.address)
        ex = self.exchanger("::1")
        self.mail_system(ns.address, suite={"GatewayName": "gw.six.test"})
        self.send(["bob@six.test", "alice@[IPv6:0::1]"], "over six")
        self.start_agent()
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("six.test")
        self.assertEqual(ex.messages[0][1], ["bob@six.test"])
        self.assertRegex(self.outlog_line_to("::1"), r" to ::1 gw\.six\.test from ")
        self.assertEqual(len(self.mail.wait_messages("alice", 1)), 1)

    def test_exchanger_at_this_hosts_address_is_a_loop(self):
        # Exchangers from DNS at ::1 and at 0.0.0.0 would hand the mail back
        # to this host, and so would the backup behind one: never connected
        # to, the mail waits.
        ns = self.name_server(mx=[("loop.test", "mx.loop.test", 10),
                                  ("loop.test", "backup.loop.test", 20),
                                  ("any.test", "mx.any.test", 10)],
                              hosts=[("mx.loop.test", "::1"), ("mx.any.test", "0.0.0.0"),
                                     ("backup.loop.test", "127.0.0.2")], listen="::1")
        self.mail_system(ns.address)
        exchangers = [self.exchanger("::1"), self.exchanger("127.0.0.2")]
        self.send(["bob@loop.test", "bob@any.test"], "round and round")
        self.start_agent()
        for domain in ("loop.test", "any.test"):
            self.wait_try_number(domain, 1)
            record = read_bytes(self.domain_dir(domain, "DOMAIN.MRI")).decode("latin-1")
            self.assertIn("mail would loop", record)
        self.assertUntouched(*exchangers)


class ThreadsTest(RemoteCase):

    def test_at_most_two_delivery_threads(self):
        domains = ["d%d.test" % n for n in range(1, 6)]
        ns = self.name_server(mx=[(d, "mx." + d, 10) for d in domains],
                              hosts=[("mx." + d, "127.0.0.%d" % (10 + n))
                                     for n, d in enumerate(domains)])
        board = Board()
        exchangers = [self.exchanger("127.0.0.%d" % (10 + n), board=board)
                      for n in range(len(domains))]
        for ex in exchangers:
            ex.hold_seconds = 1.0   # each transfer keeps its connection a while
        self.mail_system(ns.address, suite={"MaxDeliveryThreads": 2})
        for d in domains:
            self.send(["bob@" + d], "to " + d)
        self.start_agent()
        for ex in exchangers:
            self.wait_messages_at(ex, 1, seconds=2 * WAIT)
        for d in domains:
            self.wait_domain_done(d)
        self.assertEqual(board.peak, 2, "sessions open at once: %d" % board.peak)


class SlowExchangerTest(RemoteCase):
    """An exchanger that takes the data and then keeps its answer (a tarpit)
    is given up by the client's time limit and known as slow; slow domains
    then get at most half of the delivery threads, so the mail of the
    others keeps leaving."""

    def test_tarpits_take_at_most_half_of_the_threads(self):
        tarpits = ["tarpit%02d.test" % n for n in range(50)]
        ns = self.name_server(mx=[(d, "mx.tarpit.test", 10) for d in tarpits]
                              + [("fast.test", "mx.fast.test", 10)],
                              hosts=[("mx.tarpit.test", "127.0.0.19"),
                                     ("mx.fast.test", "127.0.0.2")])
        board = Board()
        pit = self.exchanger("127.0.0.19", board=board)
        pit.hold_seconds = 300
        fast = self.exchanger("127.0.0.2")
        # First each tarpit is tried once, by ten threads, until the two
        # seconds for the answer to its data run out.
        self.mail_system(ns.address, suite={"MaxDeliveryThreads": 10},
                         deliv={"MinimumTimeout": 1, "ReceiveTimeout1": 2})
        self.send(["bob@" + d for d in tarpits], "into the tarpit")
        self.start_agent()
        slow = lambda: all((self.record(d) or {}).get("slow:") == ["1"] for d in tarpits)
        self.assertTrue(poll(slow, 4 * WAIT), "not all known slow")

        # Then all are due again, and each holds its thread for two
        # minutes: of four threads, two at most go to them.
        def edit():
            self.assertTrue(poll(lambda: board.active == 0), "tarpit sessions left")
            board.peak = 0
            self.mail.scratch.reg_import({ZEL_KEY: {"MaxDeliveryThreads": 4},
                                          service_key("ZELDELIV"): {"ReceiveTimeout1": 120}})
            self.mail.scratch.zeladm("queue", "retry")
        self.restart_agent(edit)
        self.assertTrue(poll(lambda: board.active >= 2), "the tarpit not taken up again")
        self.send(["bob@fast.test"], "past the tarpit")
        self.wait_messages_at(fast, 1, seconds=60)
        self.assertEqual(board.peak, 2)


class RelayHostTest(RemoteCase, AccountCase):
    """The relay host (GatewayName with GatewayUser) is authenticated at
    under TLS only, with the first line of a root-only password file that
    the privileged side reads at each connection (the remote side runs as
    the service account and cannot); a refused AUTH keeps the mail queued."""

    ACCOUNT = "zeltest-deliv"
    PASSWORD = "Wh1sper of the relay"
    RELAY = [("relay.test", "127.0.0.6")]

    def relay_system(self, hosts=RELAY, gateway_port=None):
        ns = self.name_server(mx=[("far.test", "mx.far.test", 10)],
                              hosts=[("mx.far.test", "127.0.0.2")] + list(hosts))
        self.far = self.exchanger("127.0.0.2")
        suite = {"GatewayName": "relay.test", "GatewayUser": "relay",
                 # The verified TLS of other work would refuse the test's
                 # self-signed certificate.
                 "GatewayTls": "opportunistic"}
        if gateway_port:
            suite["GatewayPort"] = gateway_port
        self.mail_system(ns.address, suite=suite, account=self.account)
        self.password_file = self.mail.scratch.path("etc", "zel", "relay.password")
        self.write_password(self.PASSWORD)
        self.mail.scratch.reg_set(ZEL_KEY, "GatewayPasswordFile", "sz", self.password_file)

    def write_password(self, password):
        os.makedirs(os.path.dirname(self.password_file), exist_ok=True)
        with open(os.open(self.password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
                  "w") as f:
            f.write(password + "\nnot this line\n")

    def assertPasswordNowhere(self):
        texts = [self.mail.scratch.events(), "\n".join(self.outlog_lines()),
                 self.mail.agent.stderr()]
        for password in (self.PASSWORD, "other secret"):
            for t in texts:
                self.assertNotIn(password, t)

    def test_relay_host_takes_the_mail_after_auth_under_tls(self):
        self.relay_system()
        relay = self.exchanger("127.0.0.6", tls_context=self.tls_context(),
                               accounts={"relay": self.PASSWORD})
        self.send(["bob@far.test"], "via the relay")
        self.start_agent()
        self.wait_messages_at(relay, 1)
        self.wait_domain_done("far.test")
        self.assertEqual(relay.auths, [("PLAIN", "relay", self.PASSWORD, True)])
        self.assertIn(relay.session_list()[0].tls, ("TLSv1.2", "TLSv1.3"))
        self.assertUntouched(self.far)
        self.assertPasswordNowhere()

    def test_refused_auth_defers_and_the_file_is_read_at_each_connection(self):
        self.relay_system()
        accounts = {"relay": "other secret"}
        relay = self.exchanger("127.0.0.6", tls_context=self.tls_context(), accounts=accounts)
        self.send(["bob@far.test"], "refused first")
        self.start_agent()
        self.wait_try_number("far.test", 1)
        [line] = [l for l in self.outlog_lines() if "AUTH failed" in l]
        self.assertRegex(line, r" relay\.test as relay: refused: 535 ")
        events = self.mail.scratch.events()
        self.assertEqual(events.count("Authentication at the relay host relay.test failed"), 1,
                         events[-1500:])
        self.assertEqual(list(self.queued("far.test").values()), [["bob@far.test"]])
        self.assertEqual(relay.message_count(), 0)
        # The administrator mends the file: the next attempt reads it anew.
        self.write_password("other secret")
        self.mail.scratch.zeladm("queue", "retry", "far.test")
        self.wait_messages_at(relay, 1)
        self.wait_domain_done("far.test")
        self.assertEqual([a[3] for a in relay.auths], [False, True])
        self.assertEqual(self.mail.messages("alice"), [])   # no failure report
        self.assertPasswordNowhere()

    def test_no_auth_in_clear(self):
        self.relay_system()
        relay = self.exchanger("127.0.0.6", accounts={"relay": self.PASSWORD},
                               auth_in_clear=True)
        self.send(["bob@far.test"], "never in clear")
        self.start_agent()
        self.wait_try_number("far.test", 1)
        self.assertEqual(relay.auths, [])
        self.assertEqual([s.verbs() for s in relay.session_list()], [["EHLO", "QUIT"]])
        self.assertEqual(list(self.queued("far.test").values()), [["bob@far.test"]])
        [line] = [l for l in self.outlog_lines() if "AUTH failed" in l]
        self.assertIn("offers no TLS", line)

    def test_zel_submission_port_as_the_relay_host(self):
        relay = Receiver({"SubmissionAnySender": 1}, submission=True, tls=True,
                         users={"relay": self.PASSWORD}, prefix="zel-e2e-relayhost-")
        self.addCleanup(relay.stop)
        relay.start()
        # Not 127.0.0.1: this host's own address would make far.test local.
        self.relay_system(hosts=[("relay.test", "127.0.0.7")],
                          gateway_port=relay.submission_port)
        self.send(["bob@far.test"], "via zel")
        self.start_agent()
        self.assertTrue(poll(lambda: files_with(relay.queue, "RCP")), self.mail.scratch.events())
        self.wait_domain_done("far.test")
        self.assertUntouched(self.far)
        [rcp] = files_with(relay.queue, "RCP")
        self.assertIn(b"Recipient: bob@far.test", read_bytes(os.path.join(relay.queue, rcp)))


class RemoteSideCase(RemoteCase):
    """The agent's remote delivery runs in a child process without any
    capability."""

    def remote_side(self, starts=1):
        """The remote side's process, once the starts-th has shed its
        privileges (it says so)."""
        user = self.account if hasattr(self, "account") else pwd.getpwuid(os.geteuid()).pw_name
        running = "runs as %s, without privileges" % user
        self.assertTrue(poll(lambda: self.mail.scratch.events().count(running) >= starts),
                        self.mail.scratch.events()[-1500:])
        children = child_pids(self.mail.agent.proc.pid)
        self.assertEqual(len(children), 1, children)
        return children[0]


class RemoteSideTest(RemoteSideCase):

    def test_keeps_the_user_without_an_account_and_ends_with_the_agent(self):
        # The harness's default: no service account.
        self.mail_system(self.name_server().address)
        self.start_agent()
        remote = self.remote_side()
        assert_unprivileged(self, remote, os.geteuid())

        def gone(pid):
            return poll(lambda: process_ended(pid))
        # A stop ends it; so does the agent's death (the kernel kills it).
        self.restart_agent(edit=lambda: self.assertTrue(gone(remote)))
        remote = self.remote_side(starts=2)
        self.mail.agent.proc.kill()
        self.assertTrue(gone(remote))
        self.mail.agent.stop()   # what the harness keeps of the killed agent
        self.start_agent()


class RemoteSideAccountTest(RemoteSideCase, AccountCase):
    """Started as root with a service account, the remote side runs as it:
    whatever holds a connection to an exchanger has no privilege, the
    privileged side holds no network socket, local delivery for a domain
    this host is the best exchanger of is the privileged side's, and a
    remote side that dies is started again and loses nothing."""

    ACCOUNT = "zeltest-deliv"   # its own: the suites run at once
    # The capabilities of the agent's unit (common/svcinstall).
    UNIT_BOUND = ["setpriv", "--bounding-set=-all,+chown,+dac_override,+dac_read_search,"
                  "+fowner,+setgid,+setuid", "--inh-caps=-all"]

    def test_remote_side_has_no_privilege_and_comes_back_after_a_crash(self):
        ns = self.name_server(mx=[("far.test", "mx.far.test", 10), ("here.test", LOCAL_HOST, 10)],
                              hosts=[("mx.far.test", "127.0.0.2")])
        ex = self.exchanger("127.0.0.2")
        ex.hold_seconds = 60   # the first transfer stays open
        self.mail_system(ns.address, account=self.account)
        if shutil.which("setpriv"):
            self.mail.agent.prefix = self.UNIT_BOUND
        self.send(["bob@here.test"], "hosted here")
        self.send(["carol@far.test"], "far away")
        self.start_agent()
        # The remote side cannot write bob's mailbox: only the privileged
        # side could fill it.
        copies = self.mail.wait_messages("bob", 1)
        self.assertEqual(len(copies), 1)
        self.assertIn(b"Subject: hosted here\r\n", self.mail.read_message("bob", copies[0]))
        self.assertTrue(poll(lambda: "DATA" in ex.all_commands()), ex.all_commands())
        inode = poll(lambda: connection_inode("127.0.0.2", SMTP_PORT))
        self.assertIsNotNone(inode)
        agent, remote = self.mail.agent.proc.pid, self.remote_side()
        self.assertEqual(socket_holders(inode), {remote})
        assert_unprivileged(self, remote, self.uid, self.gid)
        self.assertEqual(socket_inodes(agent) & inet_socket_inodes(), set())
        # Killed in the middle of the transfer: started again, the mail
        # goes out as soon as the exchanger answers.
        os.kill(remote, signal.SIGKILL)
        ex.hold_seconds = 0
        self.wait_messages_at(ex, 1)
        self.wait_domain_done("far.test")
        self.assertEqual(len(ex.session_list()), 2)
        self.assertIn(b"Subject: far away\r\n", ex.messages[0][2])
        self.assertIn("The remote delivery process ended: signal 9", self.mail.scratch.events())
        self.assertNotEqual(self.remote_side(starts=2), remote)


if __name__ == "__main__":
    unittest.main(verbosity=2)
