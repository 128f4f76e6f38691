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
#include "platform/fileview.h"
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

// The new file is the directory owner's, as the one it replaces was
// (`incoming` may be the service account's: see remote.h).
bool RewriteFile(const std::string &path, const std::string &text) {
  DurableFile f;
  if (!f.Create(path, kMessageTempPrefix, kSpoolFileMode, "wb")) return false;
  GiveToDirectoryOwner(f.Stream().Fd(), path.substr(0, path.rfind('/')));
  return f.Stream().Write(text) && f.Publish();
}

bool UsableEnvelope(const GeneratedEnvelope &env) {
  if (env.Recipients.empty() || (!env.Sender.empty() && !IsSafeEnvelopeAddress(env.Sender)))
    return false;
  for (const std::string &r : env.Recipients)
    if (!IsSafeEnvelopeAddress(r)) return false;
  return true;
}

// The recipients left once the filters refused, deleted and added theirs.
std::vector<std::string> KeptRecipients(const std::vector<std::string> &recipients,
                                        const std::vector<size_t> &refused,
                                        const MilterResult &result) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < recipients.size(); ++i)
    if (std::find(refused.begin(), refused.end(), i) == refused.end()) kept.push_back(recipients[i]);
  for (const std::string &gone : result.DeletedRecipients) {
    std::string address = MilterAddressOf(gone);
    std::erase_if(kept, [&](const std::string &r) { return EqualsNoCase(MilterAddressOf(r), address); });
  }
  for (const MilterRecipientChange &added : result.AddedRecipients)
    if (IsSafeEnvelopeAddress(MilterAddressOf(added.Address)))
      kept.push_back(MilterAddressOf(added.Address));
  return kept;
}

}  // namespace

GeneratedFilterHandOff HandGeneratedFiltersOff = nullptr;

void LoadDeliveryFilters() {
  RegKey params;
  if (OpenParametersKey(params) == ERROR_SUCCESS) LoadMilterSettings(params.get(), &Settings);
}

bool GeneratedFiltersEnabled() { return Settings.Enabled(); }

size_t GeneratedFilterTextLimit() { return Settings.MaxBodyBytes; }

GeneratedFilterOutcome RunGeneratedFilters(std::string_view text, const std::string &messageId,
                                           GeneratedEnvelope &env,
                                           std::optional<std::string> *changed) {
  MilterConnectInfo info;
  info.HostName = GetLocalHostName(-1);
  info.DaemonName = "zeldeliv";
  ParseAddress("127.0.0.1", &info.ClientAddress);
  ParseAddress("127.0.0.1", &info.LocalAddress);
  MilterResult result;
  std::vector<size_t> refused;
  FilterGeneratedMessage(Settings, info, messageId, env.Sender, env.Recipients, text, &result,
                         &refused);
  Report(messageId, MilterLogText(result));
  if (result.Decision == MilterDecision::TempFail || result.Decision == MilterDecision::Shutdown)
    return GeneratedFilterOutcome::kRetry;
  if (result.Decision != MilterDecision::Continue) return GeneratedFilterOutcome::kDrop;
  std::vector<std::string> kept = KeptRecipients(env.Recipients, refused, result);
  if (result.bChangeSender && IsSafeEnvelopeAddress(MilterAddressOf(result.Sender)))
    env.Sender = MilterAddressOf(result.Sender);
  if (kept.empty() || result.bQuarantine) {
    Report(messageId, "the message is dropped");
    return GeneratedFilterOutcome::kDrop;
  }
  env.Recipients = std::move(kept);
  if (!result.ChangesText()) return GeneratedFilterOutcome::kQueue;
  std::string edited, error;
  if (!ApplyMilterEdits(text, result.TextEdits, &edited, &error)) {
    Report(messageId, "the filters' changes cannot be applied: " + error);
    return Settings.DefaultAction == MilterDefaultAction::Accept ? GeneratedFilterOutcome::kQueue
                                                                 : GeneratedFilterOutcome::kRetry;
  }
  *changed = std::move(edited);
  return GeneratedFilterOutcome::kQueue;
}

GeneratedFilterOutcome FilterGeneratedFile(const std::string &path, const std::string &messageId,
                                           std::string *sender,
                                           std::vector<std::string> *recipients) {
  if (!Settings.Enabled()) return GeneratedFilterOutcome::kQueue;
  bool remote = false;
  for (const std::string &r : *recipients) remote = remote || IsRemote(r);
  if (!remote) return GeneratedFilterOutcome::kQueue;
  GeneratedEnvelope env{*sender, *recipients};
  std::optional<std::string> changed;
  GeneratedFilterOutcome outcome;
  if (HandGeneratedFiltersOff != nullptr) {
    UniqueFd fd(OpenFileForReading(path));
    if (!fd.Valid()) {
      Report(messageId, "the message cannot be read for the filters");
      return GeneratedFilterOutcome::kRetry;
    }
    outcome = HandGeneratedFiltersOff(fd.Get(), messageId, env, &changed);
  } else {
    std::string text;
    TextFile in;
    if (!in.Open(path, "rb") || !in.ReadAll(text, Settings.MaxBodyBytes)) {
      Report(messageId, "the message cannot be read for the filters");
      return GeneratedFilterOutcome::kRetry;
    }
    in.Close();
    outcome = RunGeneratedFilters(text, messageId, env, &changed);
  }
  if (outcome != GeneratedFilterOutcome::kQueue) return outcome;
  if (!UsableEnvelope(env)) {
    Report(messageId, "the envelope the filters left cannot be used");
    return GeneratedFilterOutcome::kRetry;
  }
  if (changed && !RewriteFile(path, *changed)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "write (generated message changed by the mail filters)",
                  GetLastError());
    return GeneratedFilterOutcome::kRetry;
  }
  *sender = env.Sender;
  *recipients = std::move(env.Recipients);
  return GeneratedFilterOutcome::kQueue;
}
