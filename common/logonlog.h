// logonlog: the event every failed logon writes, for the administrator and
// for fail2ban (packaging/fail2ban/filter.d/zel.conf reads it):
//
//   ... ZELRECV WARNING 232 0xC00000E8 Logon failed: smtp client 192.0.2.7, user "bob"
//
// one line per failure: the protocol ("smtp", "pop3", "imap", "sieve"),
// the client's address, then the user name as the client gave it, quoted
// and escaped ('\' and '"' behind a backslash, other bytes outside
// printable ASCII as \xNN, cut to LogSafeText's length). The address
// always comes before the name, so a name that holds an address, a quote
// or a line break cannot be taken for the client.
//
// Callers: every server's logon (the receiver's SMTP AUTH; the POP3 and IMAP
// servers), for every failure that is a verdict on the client's
// credentials: a wrong password, an unknown user, a logon refused without
// a check. Not for a checker that failed (the accounts file unreadable):
// that is the server's fault, not the client's. Thread-safe.
#pragma once

#include <string>
#include <string_view>

void LogLogonFailure(const char *protocol, std::string_view clientAddress,
                     std::string_view userName);

// The events of a logon the pool refused (job's outcome): a warning that
// names the cause for the administrator (an unknown name, a wrong
// password, a client blocked after too many failures, an account below
// MinimumLogonUid; a checker that failed), whatever reply the client got,
// and LogLogonFailure for every verdict on the client's credentials.
struct LogonJob;
void ReportLogonRefusal(const char *protocol, const LogonJob &job, std::string_view clientAddress,
                        std::string_view userName);

// The user name as the event writes it, quotes included (exposed for tests).
std::string QuotedUserName(std::string_view userName);
