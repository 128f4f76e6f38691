// smtpauth: see smtpauth.h.
#include "ZELRECV/smtpauth.h"

#include <string.h>

#include <algorithm>

#include <string>
#include <string_view>

#include "ZELRECV/recvcfg.h"
#include "common/aliasmap.h"
#include "common/logging.h"
#include "common/logonlog.h"
#include "common/rfc822parse.h"
#include "common/sasl.h"
#include "common/str.h"
#include "net/localdomain.h"
#include "platform/ascii.h"
#include "platform/logon.h"

namespace {

const char *const kAuthFailed = "535 Authentication failed\r\n";
// RFC 4954: the server could not check now; the client may try again.
const char *const kAuthTemporaryFailure = "454 4.7.0 Temporary authentication failure\r\n";
const char *const kBadBase64 = "501 Invalid base64 data\r\n";
// LOGIN's prompts: "Username:" and "Password:" in base64.
const char *const kLoginNamePrompt = "334 VXNlcm5hbWU6\r\n";
const char *const kLoginPasswordPrompt = "334 UGFzc3dvcmQ6\r\n";

LogonPool &SmtpLogonPool() {
  // Never destroyed: its threads are not joined at exit, like the engine's.
  static LogonPool *pool = new LogonPool;
  return *pool;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// The next word of text, and text moved behind it.
std::string_view NextWord(std::string_view &text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  size_t end = 0;
  while (end < text.size() && !IsSpace(text[end])) ++end;
  std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

// The line may hold credentials, in base64 (also behind a CR that cut it):
// gone once they are taken.
void WipeLine(_SmtpDialogue &dlg) { explicit_bzero(dlg.Line, sizeof dlg.Line); }

void EndExchange(_SmtpDialogue &dlg, const char *reply) {
  dlg.AuthStep = kAuthNone;
  SetReply(dlg, reply);
}

// Hands the credentials to the pool (the I/O layer submits the job).
void CheckCredentials(_SmtpDialogue &dlg, const std::string &name, std::string &password) {
  ResetLogonJob(dlg.Logon, name, password, dlg.AuthFailures);
  dlg.AuthStep = kAuthNone;
  SetReply(dlg, "", kStateLogon);
}

// PLAIN's message in base64. A malformed one, or one that asks to act for
// another user, fails as a wrong password does: it is checked under a
// name no account has, so it costs and waits what any failure does.
void TakePlain(_SmtpDialogue &dlg, std::string_view response) {
  std::string message, authzid, authcid, password;
  if (!Base64Decode(response, message)) {
    EndExchange(dlg, kBadBase64);
    return;
  }
  if (!ParseSaslPlain(message, authzid, authcid, password) ||
      (!authzid.empty() && authzid != authcid))
    authcid.clear();
  WipeSecret(message);
  CheckCredentials(dlg, authcid, password);
}

// LOGIN's name: the password prompt follows.
void TakeLoginName(_SmtpDialogue &dlg, std::string_view response) {
  if (!Base64Decode(response, dlg.AuthLoginName)) {
    EndExchange(dlg, kBadBase64);
    return;
  }
  dlg.AuthStep = kAuthLoginPassword;
  SetReply(dlg, kLoginPasswordPrompt);
}

void TakeLoginPassword(_SmtpDialogue &dlg, std::string_view response) {
  std::string password;
  std::string name = std::move(dlg.AuthLoginName);
  dlg.AuthLoginName.clear();
  if (!Base64Decode(response, password)) {
    EndExchange(dlg, kBadBase64);
    return;
  }
  CheckCredentials(dlg, name, password);
}

// Whether AUTH may run now; false with the refusal set.
bool AuthAllowed(_SmtpDialogue &dlg) {
  if (!dlg.bSubmission) {
    SetReply(dlg, "500 Unknown or unimplemented command\r\n");
  } else if (!dlg.bEsmtp) {
    SetReply(dlg, "503 You must send an EHLO command first\r\n");
  } else if (dlg.bAuthenticated) {
    SetReply(dlg, "503 Already authenticated\r\n");
  } else if (dlg.bInTransaction) {
    SetReply(dlg, "503 AUTH not permitted during a mail transaction\r\n");
  } else if (!AuthOffered(dlg)) {
    SetReply(dlg, "538 Encryption required\r\n");
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool AuthOffered(const _SmtpDialogue &dlg) {
  return dlg.bSubmission && (dlg.bEncrypted || dlg.bRelayClient);
}

void CmdAuth(_SmtpDialogue &dlg) {
  if (AuthAllowed(dlg)) {
    std::string_view rest(dlg.Line + strlen("AUTH"), dlg.LineLength - strlen("AUTH"));
    std::string_view mechanism = NextWord(rest);
    std::string_view initial = NextWord(rest);
    bool hasInitial = !initial.empty();
    // "=" is an initial response that is empty (RFC 4954).
    if (initial == "=") initial = std::string_view();
    if (EqualsNoCase(mechanism, "PLAIN")) {
      if (!hasInitial) {
        dlg.AuthStep = kAuthPlainResponse;
        SetReply(dlg, "334 \r\n");
      } else {
        TakePlain(dlg, initial);
      }
    } else if (EqualsNoCase(mechanism, "LOGIN")) {
      if (!hasInitial) {
        dlg.AuthStep = kAuthLoginName;
        SetReply(dlg, kLoginNamePrompt);
      } else {
        TakeLoginName(dlg, initial);
      }
    } else {
      SetReply(dlg, "504 Unrecognized authentication type\r\n");
    }
  }
  WipeLine(dlg);
}

void AuthResponse(_SmtpDialogue &dlg) {
  std::string_view response(dlg.Line, dlg.LineLength);
  while (!response.empty() && IsSpace(response.back())) response.remove_suffix(1);
  if (response == "*") {
    WipeSecret(dlg.AuthLoginName);
    EndExchange(dlg, "501 Authentication cancelled\r\n");
  } else if (dlg.AuthStep == kAuthPlainResponse) {
    TakePlain(dlg, response);
  } else if (dlg.AuthStep == kAuthLoginName) {
    TakeLoginName(dlg, response);
  } else {
    TakeLoginPassword(dlg, response);
  }
  WipeLine(dlg);
}

void SmtpLogonAnswered(_SmtpDialogue &dlg) {
  LogonJob &job = dlg.Logon;
  // The receiver acts as nobody: it only needed the verdict, and whether
  // the name is a host account's (for SenderOwnedByUser).
  bool hostAccount = job.bHostAccount;
  job.Token.Close();
  if (job.bLoggedOn) {
    dlg.bAuthenticated = true;
    dlg.AuthenticatedName = job.Name;
    dlg.bAuthHostAccount = hostAccount;
    SetReply(dlg, "235 Authentication successful\r\n");
    return;
  }
  if (IsLogonVerdict(job.Error) && !job.bLookupFailed)
    LogLogonFailure("smtp", dlg.PeerAddress, job.Name);
  // A checker that failed (the accounts file unreadable, PAM without its
  // service, no logon helper free in time) is the administrator's to hear
  // of, and no verdict on the client's password: it may try again.
  if (job.bLookupFailed || (!job.bNameUnknown && !IsLogonVerdict(job.Error) &&
                            job.Error != ERROR_OPERATION_ABORTED)) {
    LogWin32Error(EVENTLOG_WARNING_TYPE, "SMTP AUTH logon", job.Error);
    SetReply(dlg, kAuthTemporaryFailure);
    return;
  }
  ++dlg.AuthFailures;
  SetReply(dlg, kAuthFailed,
           dlg.AuthFailures >= kMaxLogonFailures ? kStateQuitting : kStateReplyPending);
}

bool SenderOwnedByUser(const _SmtpDialogue &dlg, const std::string &sender) {
  if (sender.empty() || SubmissionAnySender) return true;
  std::string local, domain;
  SplitAddress(sender, local, kMaxPathBuffer, domain, kMaxPathBuffer);
  // A bare name is qualified with this host's name when it is stored.
  if (!domain.empty() && !IsLocalMailDomain(domain)) return false;
  std::string name = MapLocalPart(local, StripDown(local, kMaxPathBuffer));
  // An alias whose result has a domain delivers elsewhere.
  if (*SkipLocalAddressPart(name.c_str()) != '\0') return false;
  RemoveTrailingSpace(name);
  name.erase(0, std::min(name.size(), name.find_first_not_of(" \t\r\n")));
  std::string user = StripDown(name, kMaxPathBuffer);
  // Host accounts are found by their exact name, accounts-file ones
  // without regard to case: the mailbox lookup's rule.
  return dlg.bAuthHostAccount ? user == dlg.AuthenticatedName
                              : EqualsNoCase(user, dlg.AuthenticatedName);
}

bool StartSmtpLogonPool(const LogonPoolSettings &settings) {
  return SmtpLogonPool().Start(EnginePort(), settings);
}

void SubmitSmtpLogon(_Connection *conn) {
  auto &dlg = *static_cast<_SmtpDialogue *>(conn->Dialogue);
  LogonJob &job = dlg.Logon;
  job.ClientAddress = conn->PeerAddress;   // whose failures count
  job.Key = reinterpret_cast<uintptr_t>(conn);
  job.Overlapped = &dlg.LogonOverlapped;
  if (SmtpLogonPool().Submit(&job)) return;
  // The pool does not run (the service is stopping): a failure at once.
  WipeSecret(job.Password);
  job.bLoggedOn = false;
  job.Error = ERROR_OPERATION_ABORTED;
  SmtpLogonAnswered(dlg);
  SendReply(conn);
}
