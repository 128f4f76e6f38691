// local: see local.h.
#include "ZELDELIV/local.h"

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/loadcfig.h"
#include "common/netcode.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localdomain.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "zelbase/zelbase.h"

std::vector<_tMapTable> LocalUserAliasMap;
int CurrentAliasConfigVersion = -1;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
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

bool BoolFromString(std::string_view value, bool def) {
  if (EqualsNoCase(value, "TRUE") || EqualsNoCase(value, "YES") || value == "1") return true;
  if (EqualsNoCase(value, "FALSE") || EqualsNoCase(value, "NO") || value == "0") return false;
  return def;
}
