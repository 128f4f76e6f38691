// mailhost: mail for a local user whose mailbox another host of the site
// holds (the user's directory entry names that host: AccountFound's
// MailHost).
//
// The choice is made at local delivery, for every local recipient that is
// not a list (local's DeliverToLocalUsers), not when the incoming scan
// files the message: that is the one place every local recipient passes
// (aliases, the postmaster, list members, forwards made here, retries of
// the local queue), the account lookup runs where a lookup that cannot be
// answered already defers, the incoming scan never waits on the directory,
// and a user moved to another host while mail waited gets it at the new
// one. A user whose mail host is this host (by one of its names, whole or
// short of the domain, or an address literal: net/localhost's
// MatchLocalHostName), or who has none, is delivered here.
//
// The hand-off files the recipient as "<local part>@<mail host>" into the
// mail host's queue "#<host>" (common/fileutils), where the remote side
// sends it like any remote mail: its retry schedule, give-up and failure
// report, the exchanger being the mail host itself on MailHostPort with
// MailHostCa's TLS (routing). The mail host takes the address as its own
// (its name is one of its local domains) and delivers it locally. It lists
// this host in RelayClients so that the arrival checks (SPF, DMARC) done
// here are not done again against this host's address, which no sender's
// policy names.
//
// Crash safety: the queue file is durable (file and directory synced)
// before the recipient is marked done in the local queue. A crash between
// the two finds the file at the next pass: recipients it already names are
// marked done, so nothing goes twice while that file waits; others wait
// until it is gone (one file per message and queue).
//
// Loops: the mail host delivers locally only when it is the user's mail
// host by its own directory answer; when two hosts disagree each hands the
// message on, and every hop adds a Received line until the receiver
// refuses the 21st with 554 and the sender gets a failure report.
//
// Callers: local (DeliverToLocalUsers, DeliverToLocalUser). Untrusted
// input: the mail host name comes from the directory: it must be a plain
// host name (MailHostQueueName) or the mail waits, with an event.
// Threads: the scanning thread and the domain threads of the privileged
// side at once; the queue directory's lock (LockDomainDirectory) orders two
// hand-offs into one queue. Failures: a lookup that cannot be answered now,
// a bad mail host name, a queue file that cannot be written: the recipient
// waits for a later pass (kDeliveryDeferred with a cause); never a report.
#pragma once

#include <string>
#include <vector>

#include "common/smtputil.h"
#include "platform/accounts.h"

// The account lookup the choice asks: FindAccountByName; tests put theirs.
extern bool (*FindMailUser)(const std::string &name, AccountFound &found);

enum class MailHostChoice {
  kHere,        // no mail host, this host's name, or no such account (local
                // delivery says so)
  kElsewhere,   // host is another host's name
  kUnknownNow,  // the lookup could not be answered, its mail host is no
                // host name, or its mailbox is being moved (common/usermove):
                // wait (cause says why)
};

// Where the mail of user goes: host is set for kElsewhere; for kUnknownNow
// error is the failed lookup's (cause empty), or 0 with cause saying what
// is wrong with the directory's mail host.
MailHostChoice ChooseMailHost(const std::string &user, std::string &host, long &error,
                              std::string &cause);

// Files the recipients (every one of them user of host) into host's queue
// and marks those done. kDeliveryOk when all are, else kDeliveryDeferred
// with cause; rcps not done wait.
int HandOffToMailHost(const _tMsgInfo &info, const std::vector<_tRcpInfo *> &rcps,
                      const std::string &host, std::string &cause);
