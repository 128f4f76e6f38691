#!/usr/bin/python3
"""Directory load: how many LDAP searches and binds ZEL asks of the
directory per message delivered and per logon, with the cache and
without it.

Starts slapd under a scratch directory (the end-to-end tests' fixture,
tests/e2e/slapdfixture.py: "-d stats", so its log records every
operation) with --users users, then, for each CacheSeconds given (default
60 and 0), one ZEL instance (zelrecv, zeldeliv, zelfetch, zelimap) with
UserDirectory "ldap" against it, and:

  1. sends --messages messages over SMTP, one recipient each, the users
     in turn, and waits until every one is in its mailbox;
  2. makes --logons POP3 logons (USER, PASS, QUIT) and as many IMAP
     logons (LOGIN, LOGOUT), the users in turn.

slapd's log is cut at each phase's start and end; its SRCH and BIND
operations (the service's own binds, as BindDn, apart from the users')
are counted per message and per logon. Every phase ends with the
instance's work done, so nothing of one phase is counted in another.
The POP3 and IMAP servers run without MaxConnectionsPerClient: the
logons come one after the other from one address, faster than the ended
sessions of a directory user leave (see docs/scaling.md). Only 127.0.0.1
is contacted; every wait is bounded.
"""

import argparse
import os
import re
import shutil
import smtplib
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import benchlib  # noqa: E402  (after the path set-up above)
from benchlib import REPLY_SECONDS, zelharness  # noqa: E402
import slapdfixture as ldap  # noqa: E402  (benchlib put tests/e2e on the path)

PASSWORD = "bench-dir-pw"
DELIVERY_SECONDS = 300
BIND = re.compile(rb' BIND dn="([^"]*)" method=128')
SEARCH = re.compile(rb" SRCH base=")


def users(count):
    return ["bu%04d" % n for n in range(count)]


def operations(slapd, start):
    """Searches, the service's binds and the users' binds in slapd's log
    since offset start."""
    text = slapd.log_text().encode("latin-1")[start:]
    binds = BIND.findall(text)
    service = sum(1 for dn in binds if dn.decode() == ldap.SERVICE_DN)
    return len(SEARCH.findall(text)), service, len(binds) - service


def log_size(slapd):
    time.sleep(0.5)   # slapd writes its log lines behind the answers
    return len(slapd.log_text().encode("latin-1"))


def delivered(mail, names):
    return sum(len(mail.messages(u)) for u in names)


def run_once(slapd, names, cache_seconds, messages, logons, scratch_dir):
    mail = zelharness.MailSystem(
        suite={"DomainNamesAreLocal": [ldap.MAIL_DOMAIN], "UserDirectory": ["ldap"]},
        deliv={"Timeout": 1}, fetch={"MaxConnectionsPerClient": 0},
        imap={"MaxConnectionsPerClient": 0}, prefix="zel-bench-dir-")
    try:
        mail.scratch.reg_import({zelharness.ZEL_KEY + "\\Ldap": {
            "Uri": [slapd.uri], "BaseDn": ldap.BASE_DN, "BindDn": ldap.SERVICE_DN,
            "StartTls": 0, "CacheSeconds": cache_seconds,
            "BindPasswordFile": ldap.write_secret(os.path.join(scratch_dir, "bindpw"),
                                                  ldap.SERVICE_PASSWORD)}})
        mail.start()
        results = {}
        start = log_size(slapd)
        body = benchlib.make_message(b"From: bench@remote.test\r\nSubject: dir\r\n\r\n", 1024)
        body = body[:-3]   # smtplib ends the data itself
        with smtplib.SMTP("127.0.0.1", mail.port, timeout=REPLY_SECONDS) as client:
            for n in range(messages):
                client.sendmail("bench@remote.test", ["%s@%s" % (names[n % len(names)],
                                                             ldap.MAIL_DOMAIN)], body)
        deadline = time.monotonic() + DELIVERY_SECONDS
        while delivered(mail, names) < messages and time.monotonic() < deadline:
            time.sleep(0.2)
        got = delivered(mail, names)
        if got != messages:
            raise AssertionError("%d of %d messages delivered" % (got, messages))
        zelharness.poll(lambda: not mail.busy(), DELIVERY_SECONDS)
        results["message"] = (messages, operations(slapd, start))
        start = log_size(slapd)
        for n in range(logons):
            with zelharness.SmtpConnection(mail.pop3_port, "127.0.0.1", REPLY_SECONDS) as conn:
                benchlib.expect(conn.reply(), "+OK")
                benchlib.expect(conn.command("USER " + names[n % len(names)]), "+OK")
                benchlib.expect(conn.command("PASS " + PASSWORD), "+OK")
                benchlib.expect(conn.command("QUIT"), "+OK")
        results["POP3 logon"] = (logons, operations(slapd, start))
        start = log_size(slapd)
        for n in range(logons):
            imap = zelharness.imap_login(mail.imap_connect(), names[n % len(names)], PASSWORD)
            imap.run("LOGOUT")
            imap.close()
        results["IMAP logon"] = (logons, operations(slapd, start))
        return results
    except BaseException:
        print(mail.scratch.events()[-3000:])
        raise
    finally:
        mail.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--users", type=int, default=50, help="users in the directory")
    parser.add_argument("--messages", type=int, default=1000, help="messages to deliver")
    parser.add_argument("--logons", type=int, default=200, help="POP3 and IMAP logons each")
    parser.add_argument("--cache", type=int, nargs="+", default=[60, 0],
                        help="CacheSeconds values to run with")
    args = benchlib.parse_args(parser)
    directory = tempfile.mkdtemp(prefix="zel-bench-slapd-")
    slapd = ldap.Slapd(directory).start()
    try:
        names = users(args.users)
        slapd.add("\n".join(ldap.user_ldif(u, PASSWORD) for u in names))
        print("%d users, %d messages (one recipient each), %d POP3 and %d IMAP logons"
              % (args.users, args.messages, args.logons, args.logons))
        print("%-13s %-11s %10s %14s %12s" % ("CacheSeconds", "per", "searches", "service binds",
                                               "user binds"))
        for cache in args.cache:
            for what, (count, (searches, service, user)) in run_once(
                    slapd, names, cache, args.messages, args.logons, directory).items():
                print("%-13d %-11s %10.2f %14.3f %12.2f"
                      % (cache, what, searches / count, service / count, user / count))
    finally:
        slapd.cleanup()
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
