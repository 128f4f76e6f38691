// smtpfilter: see smtpfilter.h.
#include "ZELRECV/smtpfilter.h"

#include <time.h>

#include "ZELRECV/msgaccept.h"
#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpdlg.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/smtputil.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/ascii.h"
#include "platform/fileview.h"
#include "platform/files.h"

namespace {

enum FilterStage { kNoStage, kConnect, kHelo, kMail, kRcpt, kData, kRset, kMessage };
const char *const kStageNames[] = {"", "connect", "HELO", "MAIL", "RCPT", "DATA", "RSET", "message"};

// The ESMTP parameters a MAIL line may pass on.
constexpr size_t kMaxMailParameters = 16;
const char *const kAccepted = "250 Message received OK\r\n";

MilterSettings Settings;

MilterPool &Pool() {
  // Never destroyed: StopSmtpFilters stops it, and completions may still
  // name its jobs while the engine winds down.
  static MilterPool *pool = new MilterPool;
  return *pool;
}

_SmtpDialogue &Dlg(_Connection *conn) { return *static_cast<_SmtpDialogue *>(conn->Dialogue); }

void Report(const _SmtpDialogue &dlg, const char *stage, const std::string &text) {
  if (text.empty()) return;
  std::string subject = std::string(stage) + " from " + dlg.PeerAddress;
  if (!dlg.MessageId.empty()) subject += " " + dlg.MessageId;
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MILTER_RESULT, subject.c_str(), text.c_str());
}

// The message's identifier as the filters see it (i): the spool file's
// name without its directory and extension.
std::string SpoolId(const std::string &messageFile) {
  size_t slash = messageFile.rfind('/');
  std::string base = messageFile.substr(slash == std::string::npos ? 0 : slash + 1);
  return base.substr(0, base.rfind('.'));
}

bool Submit(_Connection *conn, int stage, MilterRequest request) {
  _SmtpFilter &f = Dlg(conn).Filter;
  f.Stage = stage;
  f.Job.Session = f.Session.get();
  f.Job.Request = std::move(request);
  f.Job.Key = reinterpret_cast<uintptr_t>(conn);
  f.Job.Overlapped = &f.Overlapped;
  f.Job.Result = MilterResult();
  if (stage != kMessage) {
    f.Job.Before = nullptr;
    f.Job.After = nullptr;
  }
  if (Pool().Submit(&f.Job)) return true;
  // The pool has stopped (the service is stopping): try again later.
  f.Job.Result.Decision = MilterDecision::TempFail;
  f.Job.Result.Reply = kMilterTempFailReply;
  FilterAnswered(conn);
  return true;
}

// ---- the end of the message, on the pool's thread

// What MilterDefaultAction makes of a message the filters cannot handle.
void DefaultOutcome(MilterResult *r, const std::string &why) {
  *r = MilterResult();
  r->bFilterFailed = true;
  r->FailureText = why;
  if (Settings.DefaultAction == MilterDefaultAction::Accept) return;
  bool reject = Settings.DefaultAction == MilterDefaultAction::Reject;
  r->Decision = reject ? MilterDecision::Reject : MilterDecision::TempFail;
  r->Reply = reject ? kMilterRejectReply : kMilterTempFailReply;
}

// The filters read the message file itself, a piece at a time.
bool OfferStoredMessage(_SmtpDialogue &dlg, MilterJob &job) {
  uint64_t size = static_cast<uint64_t>(dlg.FileOffset);
  if (size > Settings.MaxBodyBytes) {
    DefaultOutcome(&job.Result, "the message is larger than the filters take");
    return false;
  }
  job.Request.MessageFd = dlg.MessageFile.Fd();
  job.Request.MessageSize = size;
  return true;
}

bool IsStorableAddress(const std::string &a, size_t max) {
  if (a.empty() || a.size() > max) return false;
  for (char c : a)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

void ChangeEnvelope(_SmtpDialogue &dlg, const MilterResult &r) {
  if (r.bChangeSender) {
    std::string sender = MilterAddressOf(r.Sender);
    if (sender.empty() || IsStorableAddress(sender, kMaxReturnPathText))
      dlg.ReturnPath = sender;
    else
      Report(dlg, "message", "a changed sender that cannot be stored is ignored");
  }
  for (const std::string &gone : r.DeletedRecipients) {
    std::string address = MilterAddressOf(gone);
    std::erase_if(dlg.Recipients,
                  [&](const _SmtpRecipient &rcpt) { return EqualsNoCase(rcpt.Address, address); });
  }
  for (const MilterRecipientChange &added : r.AddedRecipients) {
    std::string address = MilterAddressOf(added.Address);
    if (!IsStorableAddress(address, kMaxRecipientAddress) || dlg.Recipients.size() >= MaxRecipients) {
      Report(dlg, "message", "an added recipient that cannot be stored is ignored");
      continue;
    }
    dlg.Recipients.push_back(_SmtpRecipient{false, address});
  }
  dlg.Filter.bAllDeleted = dlg.Recipients.empty();
}

// The changed text takes the old file's place (msgaccept), synced with
// its recipient file when it is queued. False with the reply.
bool RewriteMessage(_SmtpDialogue &dlg, const MilterResult &r, std::string *reply) {
  bool writeFailed = false;
  std::string error;
  if (ReplaceMessageText(dlg, r.TextEdits, &writeFailed, &error)) return true;
  if (writeFailed) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "write (message changed by the mail filters)", GetLastError());
    *reply = "452 Cannot write message to disk\r\n";
    return false;
  }
  Report(dlg, "message", "the filters' changes cannot be applied: " + error);
  MilterResult fallback;
  DefaultOutcome(&fallback, error);
  *reply = fallback.Reply;
  return fallback.Decision == MilterDecision::Continue;
}

// The message file, its recipient file and the reason go to the
// quarantine directory instead of the queue.
bool Quarantine(_SmtpDialogue &dlg, const MilterResult &r) {
  std::string dir = SpoolPath(kQuarantineDir);
  std::string base = dir + "/" + SpoolId(dlg.MessageFileName);
  if (!SyncFileData(dlg.MessageFile.Fd()) || !dlg.MessageFile.Link(base + ".MSG")) return false;
  DurableFile rcp;
  if (!rcp.Create(base + ".RCP", kRecipientTempPrefix, kSpoolFileMode)) return false;
  RecipientLines(dlg, rcp.Stream());
  std::string reason = "Quarantined " + FormatHeaderDate(time(nullptr), true) + " by " +
                       LogSafeText(r.Filter) + " for " + dlg.PeerAddress + ": " +
                       LogSafeText(r.QuarantineReason) + "\n";
  return rcp.Commit() && rcp.Rename(true) &&
         CreateFileWithText(base + ".TXT", reason, kSpoolFileMode) && SyncDirectory(dir);
}

void ApplyOutcome(_SmtpDialogue &dlg, MilterJob &job) {
  _SmtpFilter &f = dlg.Filter;
  const MilterResult &r = job.Result;
  if (f.Failure.empty() && r.Decision == MilterDecision::Continue) {
    ChangeEnvelope(dlg, r);
    if (!f.bAllDeleted && r.ChangesText()) RewriteMessage(dlg, r, &f.Failure);
    if (!f.bAllDeleted && f.Failure.empty() && r.bQuarantine) {
      f.bQuarantined = Quarantine(dlg, r);
      if (!f.bQuarantined) {
        LogWin32Error(EVENTLOG_ERROR_TYPE, "quarantine", GetLastError());
        f.Failure = "451 Cannot quarantine message\r\n";
      }
    }
  }
}

void MessageAnswered(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  _SmtpFilter &f = dlg.Filter;
  const MilterResult &r = f.Job.Result;
  Report(dlg, "message", MilterLogText(r));
  std::string reply = kAccepted;
  int next = kStateReplyPending;
  if (!f.Failure.empty()) {
    reply = f.Failure;
  } else if (r.Decision == MilterDecision::Continue && !f.bAllDeleted && !f.bQuarantined) {
    CommitMessageFile(conn);
    return;
  } else if (r.Decision == MilterDecision::Discard || f.bAllDeleted) {
    Report(dlg, "message", f.bAllDeleted ? "every recipient was deleted: the message is dropped"
                                         : "the message is dropped");
    MessageAccepted(dlg);
  } else if (r.Decision != MilterDecision::Continue) {
    reply = r.Reply;
    if (r.Decision == MilterDecision::Shutdown) next = kStateQuitting;
  }
  ResetTransaction(dlg);
  SendReply(conn, reply, next);
}

}  // namespace

bool StartSmtpFilters() {
  RegKey params;
  if (OpenParametersKey(params) == ERROR_SUCCESS) LoadMilterSettings(params.get(), &Settings);
  if (!Settings.Enabled() || Pool().Start(EnginePort())) return true;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "StartMilterPool", GetLastError());
  return false;
}

void StopSmtpFilters() { Pool().Stop(); }

bool FilterGreeting(_Connection *conn) {
  if (!Settings.Enabled()) return false;
  _SmtpDialogue &dlg = Dlg(conn);
  MilterConnectInfo info;
  info.HostName = conn->LocalHostName;
  info.DaemonName = dlg.bSubmission ? "zelrecv-submission" : "zelrecv";
  info.ClientAddress = conn->PeerIp;
  info.LocalAddress = conn->LocalIp;
  dlg.Filter.Session = std::make_unique<MilterSession>(Settings, info);
  MilterRequest request;
  request.Stage = MilterStage::Connect;
  return Submit(conn, kConnect, std::move(request));
}

bool FilterCommand(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  if (!dlg.Filter.Session || dlg.Reply.empty()) return false;
  std::string_view line(dlg.Line, dlg.LineLength);
  MilterRequest request;
  int stage = kNoStage;
  // Only what the dialogue accepted; AUTH's answers are never a 250.
  if (dlg.State == kStateDataPending) {
    stage = kData;
    request.Stage = MilterStage::Data;
  } else if (dlg.Reply.compare(0, 3, "250") != 0) {
    return false;
  } else if (StartsWithNoCase(line, "HELO") || StartsWithNoCase(line, "EHLO")) {
    stage = kHelo;
    request.Stage = MilterStage::Helo;
    request.Argument = dlg.HeloName;
  } else if (StartsWithNoCase(line, "MAIL")) {   // one per transaction: every sender
    stage = kMail;
    request.Stage = MilterStage::Mail;
    request.Argument = dlg.ReturnPath;
    std::string address, offending;
    const char *p = nullptr;
    if (ParsePath(dlg.Line, kMaxLineLength, address, offending, &p))
      for (std::string_view rest(p); request.Parameters.size() < kMaxMailParameters;) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        size_t end = std::min(rest.find_first_of(" \t", start), rest.size());
        request.Parameters.emplace_back(rest.substr(start, end - start));
        rest.remove_prefix(end);
      }
    dlg.Filter.Session->AuthName = dlg.bAuthenticated ? dlg.AuthenticatedName : "";
    dlg.Filter.Session->MessageId.clear();   // the last message's; the next is named later
  } else if (StartsWithNoCase(line, "RCPT") && !dlg.Recipients.empty()) {
    stage = kRcpt;
    request.Stage = MilterStage::Rcpt;
    request.Argument = dlg.Recipients.back().Address;
  } else if (StartsWithNoCase(line, "RSET")) {
    stage = kRset;
    request.Stage = MilterStage::Abort;
  } else {
    return false;
  }
  return Submit(conn, stage, std::move(request));
}

bool FilterMessage(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  _SmtpFilter &f = dlg.Filter;
  if (!f.Session) return false;
  f.Session->MessageId = SpoolId(dlg.MessageFileName);
  f.Failure.clear();
  f.bQuarantined = f.bAllDeleted = false;
  f.Job.Before = [conn](MilterJob &job) { return OfferStoredMessage(Dlg(conn), job); };
  f.Job.After = [conn](MilterJob &job) { ApplyOutcome(Dlg(conn), job); };
  MilterRequest request;
  request.Stage = MilterStage::Message;
  return Submit(conn, kMessage, std::move(request));
}

bool IsFilterCompletion(_Connection *conn, OVERLAPPED *ov) { return ov == &Dlg(conn).Filter.Overlapped; }

void FilterAnswered(_Connection *conn) {
  _SmtpDialogue &dlg = Dlg(conn);
  _SmtpFilter &f = dlg.Filter;
  int stage = f.Stage;
  f.Stage = kNoStage;
  if (stage == kMessage) return MessageAnswered(conn);
  const MilterResult &r = f.Job.Result;
  Report(dlg, kStageNames[stage], MilterLogText(r));
  if (r.Decision == MilterDecision::Continue || r.Decision == MilterDecision::Discard ||
      stage == kRset) {
    SendReply(conn);
    return;
  }
  int next = kStateReplyPending;
  // A connection refused for now is closed: the greeting says 421.
  if (stage == kConnect && r.Reply.compare(0, 1, "4") == 0) {
    SendReply(conn, kMilterShutdownReply, kStateQuitting);
    return;
  }
  if (r.Decision == MilterDecision::Shutdown || stage == kConnect) {
    ResetTransaction(dlg);
    next = kStateQuitting;
  } else if (stage == kHelo) {
    dlg.bHeloSeen = false;
  } else if (stage == kMail) {
    ResetTransaction(dlg);
  } else if (stage == kRcpt) {
    dlg.Recipients.pop_back();
  } else if (stage == kData) {
    EndData(dlg.Data);   // its buffers go back to the memory budget
  }
  SendReply(conn, r.Reply, next);
}
