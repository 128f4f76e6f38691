// logonhelper: password checks done by helper processes that keep root,
// for a service that runs without it (the receiver's AUTH).
//
// The check is the logon pool's own (CheckLogon: the accounts file, else
// PAM); only where it runs changes. StartLogonHelpers forks the helpers
// (platform/helperproc) while the service is still root; afterwards
// CheckLogonThroughHelpers, the pool's check function, sends each job's
// name and password to a free helper and fills the job's outcome from the
// answer (a helper that died fails the check as a failed checker, and the
// others go on). Without helpers it checks in the process, as the POP3
// server's pool does.
//
// Wire format (both directions bounded, parsed with explicit lengths; the
// helper trusts the service no more than the network): a request is a
// 16-bit name length, a 16-bit password length (little-endian), the name
// and the password, nothing more; an answer is one byte of flags (logged
// on, name unknown, lookup failed), the error and PAM's fail delay as
// 32-bit numbers, and the account's domain (the rest, at most
// kMaxLogonHelperDomain bytes).
//
// Secrets: every buffer that held a password, on either side, is wiped.
// Threads: CheckLogonThroughHelpers from the pool's threads (each takes a
// helper of its own); StartLogonHelpers once, before any other thread of
// the service but the controller's starts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/logonpool.h"

// Longest name and password a request carries: a longer one is cut to one
// byte more than any account name or password may have, so it still fails;
// and the longest domain an answer carries.
constexpr size_t kMaxLogonHelperName = 256;
constexpr size_t kMaxLogonHelperPassword = 256;
constexpr size_t kMaxLogonHelperDomain = 255;

// Forks count helpers; false with the last error.
bool StartLogonHelpers(unsigned count);
// Their process ids (for the tests).
std::vector<pid_t> LogonHelperPids();
// The logon pool's check (LogonPoolSettings::Check).
void CheckLogonThroughHelpers(LogonJob &job, DWORD *failDelayMs);

// The wire format, exposed for the tests and the fuzz target.
std::string EncodeLogonRequest(std::string_view name, std::string_view password);
bool DecodeLogonRequest(std::string_view wire, std::string &name, std::string &password);
std::string EncodeLogonAnswer(const LogonJob &job, DWORD failDelayMs);
bool DecodeLogonAnswer(std::string_view wire, LogonJob &job, DWORD *failDelayMs);
// The helper's side: answers one request (the service's, in wire form).
size_t ServeLogonRequest(char *request, size_t length, char *answer, size_t room);
