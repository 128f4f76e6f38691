// genfilter: see genfilter.h.
#include "ZELDELIV/genfilter.h"

#include <algorithm>

#include "ZELDELIV/settings.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/milter.h"
#include "common/smtputil.h"
#include "messages/zelmsg.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/textfile.h"

namespace {

MilterSettings Settings;

void Report(const std::string &messageId, const std::string &text) {
  if (text.empty()) return;
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MILTER_RESULT, ("generated " + messageId).c_str(),
           text.c_str());
}

bool IsRemote(const std::string &recipient) {
  std::string address = MilterAddressOf(recipient);
  size_t at = address.rfind('@');
  return at != std::string::npos && !IsLocalDomainName(address.substr(at + 1));
}

// An address from a filter that can go into a recipient file as it is.
bool IsSafeEnvelopeAddress(const std::string &a) {
  if (a.empty() || a.size() > kMaxReturnPath) return false;
  for (char c : a)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

bool RewriteFile(const std::string &path, const std::string &text) {
  DurableFile f;
  return f.Create(path, kMessageTempPrefix, kSpoolFileMode, "wb") && f.Stream().Write(text) &&
         f.Publish();
}

}  // namespace

void LoadDeliveryFilters() {
  RegKey params;
  if (OpenParametersKey(params) == ERROR_SUCCESS) LoadMilterSettings(params.get(), &Settings);
}

GeneratedFilterOutcome FilterGeneratedFile(const std::string &path, const std::string &messageId,
                                           std::string *sender,
                                           std::vector<std::string> *recipients) {
  if (!Settings.Enabled()) return GeneratedFilterOutcome::kQueue;
  bool remote = false;
  for (const std::string &r : *recipients) remote = remote || IsRemote(r);
  if (!remote) return GeneratedFilterOutcome::kQueue;
  std::string text;
  TextFile in;
  if (!in.Open(path, "rb") || !in.ReadAll(text, Settings.MaxBodyBytes)) {
    Report(messageId, "the message cannot be read for the filters");
    return GeneratedFilterOutcome::kRetry;
  }
  in.Close();
  MilterConnectInfo info;
  info.HostName = GetLocalHostName(-1);
  info.DaemonName = "zeldeliv";
  ParseAddress("127.0.0.1", &info.ClientAddress);
  ParseAddress("127.0.0.1", &info.LocalAddress);
  MilterResult result;
  std::vector<size_t> refused;
  FilterGeneratedMessage(Settings, info, messageId, *sender, *recipients, text, &result, &refused);
  Report(messageId, MilterLogText(result));
  if (result.Decision == MilterDecision::TempFail || result.Decision == MilterDecision::Shutdown)
    return GeneratedFilterOutcome::kRetry;
  if (result.Decision != MilterDecision::Continue) return GeneratedFilterOutcome::kDrop;
  std::vector<std::string> kept;
  for (size_t i = 0; i < recipients->size(); ++i)
    if (std::find(refused.begin(), refused.end(), i) == refused.end()) kept.push_back((*recipients)[i]);
  for (const std::string &gone : result.DeletedRecipients) {
    std::string address = MilterAddressOf(gone);
    std::erase_if(kept, [&](const std::string &r) { return EqualsNoCase(MilterAddressOf(r), address); });
  }
  for (const MilterRecipientChange &added : result.AddedRecipients)
    if (IsSafeEnvelopeAddress(MilterAddressOf(added.Address)))
      kept.push_back(MilterAddressOf(added.Address));
  if (result.bChangeSender && IsSafeEnvelopeAddress(MilterAddressOf(result.Sender)))
    *sender = MilterAddressOf(result.Sender);
  if (kept.empty() || result.bQuarantine) {
    Report(messageId, "the message is dropped");
    return GeneratedFilterOutcome::kDrop;
  }
  *recipients = std::move(kept);
  if (result.ChangesText()) {
    std::string changed, error;
    if (!ApplyMilterEdits(text, result.TextEdits, &changed, &error)) {
      Report(messageId, "the filters' changes cannot be applied: " + error);
      return Settings.DefaultAction == MilterDefaultAction::Accept ? GeneratedFilterOutcome::kQueue
                                                                   : GeneratedFilterOutcome::kRetry;
    }
    if (!RewriteFile(path, changed)) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "write (generated message changed by the mail filters)",
                    GetLastError());
      return GeneratedFilterOutcome::kRetry;
    }
  }
  return GeneratedFilterOutcome::kQueue;
}
