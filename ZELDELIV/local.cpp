// local: see local.h. Resolution and user delivery; the message readers and
// GeneratedMessage are in msgtext.cpp.
#include "ZELDELIV/local.h"

#include <cstring>

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/zeldeliv.h"
#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/netcode.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localdomain.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "zelbase/zelbase.h"

std::vector<_tMapTable> LocalUserAliasMap;
int CurrentAliasConfigVersion = -1;

namespace {

constexpr const char *kSystemErrorText = "Could not deliver message - system error:\n";
// GetMailbox's result 9 has no system error behind it: say what is wrong.
constexpr const char *kBadTemplateText = "The mailbox directory template is unusable";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// True when an "@" follows the local part (white space before it skipped).
bool HasDomainPart(const char *name) {
  const char *p = SkipLocalAddressPart(name);
  while (IsAddressSpace(*p)) ++p;
  return *p == '@';
}

bool ReadAliasEntry(HKEY aliases, int n, _tMapTable &entry) {
  RegKey sub;
  if (RegOpenKeyEx(aliases, std::to_string(n).c_str(), KEY_READ, sub.out()) != ERROR_SUCCESS)
    return false;
  // A subkey without a readable Alias ends the map.
  if (!QueryRegString(sub.get(), "Alias", kMaxAliasField, entry.Mask)) return false;
  if (!QueryRegString(sub.get(), "MappedTo", kMaxAliasField, entry.Result)) entry.Result.clear();
  return true;
}

// The alias result for a local part (as written and unquoted), or the
// local part itself when no alias matches.
std::string MapAddress(const std::string &local, const std::string &bare) {
  for (const _tMapTable &e : LocalUserAliasMap) {
    if (!WildMatch(bare.c_str(), e.Mask.c_str())) continue;
    if (!e.Result.empty() && e.Result.front() == '*')
      return BoundedCopy(local + e.Result.substr(1), kMaxAliasField);
    return e.Result;
  }
  return local;
}

void ResolveRecipient(_tRcpInfo &r) {
  r.bIsLocalUser = 0;
  std::string local, domain;
  SplitAddress(r.Name, local, kMaxRecipientName, domain, kMaxRecipientName);
  if (!domain.empty() && !IsLocalMailDomain(domain)) return;
  STRNCPY(r.OriginalAddress, r.Name, sizeof r.OriginalAddress);
  std::string bare = StripDown(local, kMaxRecipientName);
  std::string name = EqualsNoCase(bare, "postmaster") ? Postmaster : MapAddress(local, bare);
  STRNCPY(r.Name, name.c_str(), sizeof r.Name);
  if (EqualsNoCase(r.Name, r.OriginalAddress)) r.OriginalAddress[0] = '\0';
  r.bIsLocalUser = HasDomainPart(r.Name) ? 0 : 1;
}

AutoReplySettings ReadAutoReplySettings(const std::string &control) {
  AutoReplySettings s;
  s.EchoMessage = BoolFromString(
      GetPrivateProfileString("AutoReply", "EchoMessage", "FALSE", kMaxProfileValue, control),
      false);
  s.RecordReplies = BoolFromString(
      GetPrivateProfileString("AutoReply", "RecordReplies", "FALSE", kMaxProfileValue, control),
      false);
  s.ReplyFrom = GetPrivateProfileString("AutoReply", "ReplyFrom", "", kMaxProfileValue, control);
  return s;
}

// Reply, forward, then the copy unless the user discards mail (and the
// forward went out: a failed forward always keeps a copy).
int ServeUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &mailbox, long &error) {
  std::string control = MailboxFilePath(mailbox, kControlFileName);
  AutoReplyProcessing(info, rcp, mailbox, ReadAutoReplySettings(control));
  std::string forwardTo =
      GetPrivateProfileString("AutoForward", "ForwardTo", "", kMaxProfileValue, control);
  bool forwarded = AutoForwardProcessing(info, rcp, forwardTo);
  if (forwarded &&
      BoolFromString(GetPrivateProfileString("Delivery", "Discard", "FALSE", kMaxProfileValue,
                                             control),
                     false))
    return kDeliveryOk;
  return DeliverToUserMailbox(info, mailbox, error);
}

void FinishRecipient(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &user, int result,
                     long error) {
  if (result == kDeliveryOk) {
    rcp.bDisposed = 1;
    return;
  }
  bool isPostmaster = EqualsNoCase(user, Postmaster);
  if (info.ReturnPath[0] == '\0' && isPostmaster) {
    DeadMessage(HeldMessagePath(info), kDeadPostmasterReason);
    rcp.bDisposed = 1;
    return;
  }
  std::string text = LocalDeliveryFailureText(result, error);
  bool copy = LocalFailuresToPostmaster && !isPostmaster;
  rcp.bDisposed = CreateNonDeliveryMessage(info, &rcp, copy, text.c_str(), nullptr) ? 1 : 0;
}

int MailboxCopyResult(const _tMsgInfo &info, const std::string &source, long error) {
  switch (error) {
    case 0: return kDeliveryOk;
    case ENOENT:
      // The mailbox may have gone instead of the message: say which.
      if (FileExists(source)) return kDeliveryNoMailbox;
      LogEvent(EVENTLOG_ERROR_TYPE, MSG_MESSAGE_NOT_FOUND, info.MessageId,
               MailHoldingDirectory.c_str());
      return kDeliveryMessageMissing;
    case EACCES:
    case EPERM: return kDeliveryAccessDenied;
    case EEXIST: return kDeliveryTooManyCopies;
    default: return IsDiskFullError(error) ? kDeliveryDiskFull : kDeliverySystemError;
  }
}

// A message base name that could leave the directory it is joined to.
bool IsUnsafeBaseName(std::string_view id) {
  std::string_view base = id.substr(0, id.find('@'));
  return base.empty() || base == "." || base == ".." || base.find('/') != std::string_view::npos;
}

}  // namespace

void FreeAliasMap() { LocalUserAliasMap.clear(); }

void LoadAliasConfig() {
  FreeAliasMap();
  RegKey aliases;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kAliasesKey, KEY_ALL_ACCESS, aliases.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  for (int n = 1; n <= kMaxAliasEntries; ++n) {
    _tMapTable entry;
    if (!ReadAliasEntry(aliases.get(), n, entry)) break;
    LocalUserAliasMap.push_back(std::move(entry));
  }
  CurrentAliasConfigVersion = GetCounterValue(kAliasesSubkey, "ConfigVersion");
}

void AliasFilter(_tMsgInfo &info) {
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) ResolveRecipient(*r);
}

std::string LocalUserName(const char *Name) {
  std::string name = BoundedCopy(Name, kMaxLocalUserName);
  const char *end = SkipLocalAddressPart(name.c_str());
  std::string_view local = Trim(std::string_view(name.c_str(), end - name.c_str()));
  return LowerAsciiCopy(StripDown(local, kMaxLocalUserName));
}

bool DeliverToLocalUsers(_tMsgInfo &info, void *context) {
  bool all = true;
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    if (r->bDisposed) continue;
    std::string user = LocalUserName(r->Name);
    if (!DeliverToMailingList(info, *r, user)) DeliverToLocalUser(info, *r, user);
    all = all && r->bDisposed;
  }
  return all;
}

int DeliverToLocalUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName) {
  std::string mailbox;
  long error = 0;
  int result = GetMailbox(userName, mailbox);
  if (result == kMailboxFound) result = ServeUser(info, rcp, mailbox, error);
  FinishRecipient(info, rcp, userName, result, error);
  return result;
}

int DeliverToUserMailbox(const _tMsgInfo &info, const std::string &mailbox, long &error) {
  std::string source = HeldMessagePath(info);
  if (IsUnsafeBaseName(info.MessageId)) {
    error = EINVAL;
    return kDeliverySystemError;
  }
  error = EEXIST;
  for (int copy = 0; copy < kMaxMailboxCopies && error == EEXIST; ++copy) {
    std::string target = CreateFileNameFromMessageId(mailbox, info.MessageId, copy, 0);
    error = CopyFileNoReplace(source, target) ? 0 : GetLastError();
    // The recipient is marked done right after this: the name must last.
    if (error == 0 && !SyncDirectory(mailbox)) {
      error = GetLastError();
      DeleteFile(target);
    }
  }
  return MailboxCopyResult(info, source, error);
}

std::string LocalDeliveryFailureText(int result, long error) {
  switch (result) {
    case kDeliveryNoAccount: return "User not known";
    case kDeliveryNoHome: return "User home directory unknown";
    case kDeliveryNoMailbox: return "User does not have a mailbox";
    case kDeliveryAccessDenied: return "User's mailbox is not accessible to the mail server";
    case kDeliveryDiskFull: return "User's mailbox is full";
    case kDeliveryTooManyCopies:
      return "There are too many copies of this message in the user's mailbox";
    case kDeliveryMessageMissing: return "Message file missing - message not delivered";
    default: break;
  }
  std::string why;
  if (error == 0) {
    why = kBadTemplateText;
  } else if (!FormatSystemMessage(error, why)) {
    why = "Error " + std::to_string(error);
  }
  return BoundedCopy(std::string(kSystemErrorText) + why, kMaxFailureText);
}

std::string HeldMessagePath(const _tMsgInfo &info) {
  return CreateFileNameFromMessageId(MailHoldingDirectory, info.MessageId, 0, 0);
}

std::string QualifiedAddress(std::string_view name) {
  std::string address(name);
  if (!HasDomainPart(address.c_str())) address += "@" + GetLocalHostName(-1);
  return BoundedCopy(address, kMaxHeaderAddress);
}

bool BoolFromString(std::string_view value, bool def) {
  if (EqualsNoCase(value, "TRUE") || EqualsNoCase(value, "YES") || value == "1") return true;
  if (EqualsNoCase(value, "FALSE") || EqualsNoCase(value, "NO") || value == "0") return false;
  return def;
}

std::string MailboxFilePath(const std::string &mailbox, const char *name) {
  if (!mailbox.empty() && mailbox.back() == '/') return mailbox + name;
  return mailbox + "/" + name;
}
