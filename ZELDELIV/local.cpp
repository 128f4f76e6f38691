// local: see local.h.
#include "ZELDELIV/local.h"

#include <algorithm>

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/mailhost.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "ZELDELIV/sievedeliv.h"
#include "common/loadcfig.h"
#include "common/netcode.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localdomain.h"
#include "platform/accounts.h"
#include "platform/ldapdir.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "zelbase/zelbase.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

void ResolveRecipient(_tRcpInfo &r) {
  r.bIsLocalUser = 0;
  std::string local, domain;
  SplitAddress(r.Name, local, kMaxRecipientName, domain, kMaxRecipientName);
  if (!domain.empty() && !IsLocalMailDomain(domain)) return;
  STRNCPY(r.OriginalAddress, r.Name, sizeof r.OriginalAddress);
  std::string bare = StripDown(local, kMaxRecipientName);
  std::string name = MapLocalPart(local, bare);
  STRNCPY(r.Name, name.c_str(), sizeof r.Name);
  if (EqualsNoCase(r.Name, r.OriginalAddress)) r.OriginalAddress[0] = '\0';
  r.bIsLocalUser = HasDomainPart(r.Name) ? 0 : 1;
}

// The user's control file, read once per delivery.
struct ControlFile {
  std::string text;
  std::string Get(const char *section, const char *key, const char *def) const {
    return GetProfileString(text, section, key, def, kMaxProfileValue);
  }
  bool Flag(const char *section, const char *key) const {
    return BoolFromString(Get(section, key, "FALSE"), false);
  }
};

ControlFile ReadControlFile(const MailboxDir &mailbox) {
  UniqueFd fd(mailbox.OpenFile(kControlFileName, false));
  return ControlFile{ReadProfileText(fd.Get())};
}

AutoReplySettings ReadAutoReplySettings(const ControlFile &control) {
  AutoReplySettings s;
  s.EchoMessage = control.Flag("AutoReply", "EchoMessage");
  s.RecordReplies = control.Flag("AutoReply", "RecordReplies");
  s.ReplyFrom = control.Get("AutoReply", "ReplyFrom", "");
  return s;
}

// The copy unless the user discards mail and the forward went out (a
// failed forward always keeps a copy); the reply and the forward only once
// the copy is made, so that a pass which leaves the recipient for later
// has sent nothing on its behalf.
int ServeUser(_tMsgInfo &info, _tRcpInfo &rcp, const MailboxDir &mailbox, long &error,
              MailboxCopyGroup *group) {
  // A user's Sieve filter takes the place of the control file's rules;
  // quarantined mail goes into Junk without it (no reply to a forged
  // sender).
  int sieveResult = kDeliveryOk;
  if (!info.bJunk && SieveServeUser(info, rcp, mailbox, error, group, &sieveResult))
    return sieveResult;
  ControlFile control = ReadControlFile(mailbox);
  AutoReplySettings reply = ReadAutoReplySettings(control);
  std::string forwardTo = control.Get("AutoForward", "ForwardTo", "");
  bool discard = control.Flag("Delivery", "Discard");
  if (discard && AutoForwardProcessing(info, rcp, forwardTo)) {
    AutoReplyProcessing(info, rcp, mailbox, reply);
    return kDeliveryOk;
  }
  // Quarantined mail goes into Junk and gets no automatic reply: its sender
  // is likely forged, and a reply would go to someone who sent nothing.
  MailboxDir junk;
  if (info.bJunk && (error = OpenJunkFolder(mailbox, junk)) != ERROR_SUCCESS)
    return kDeliveryDeferred;
  const MailboxDir &target = info.bJunk ? junk : mailbox;
  int result = group != nullptr ? StageUserMailboxCopy(info, rcp, target, error, *group)
                                : DeliverToUserMailbox(info, target, error);
  if (result != kDeliveryOk) return result;
  if (!info.bJunk) AutoReplyProcessing(info, rcp, mailbox, reply);
  if (!discard) AutoForwardProcessing(info, rcp, forwardTo);
  return kDeliveryOk;
}

// Why a lookup could not be answered, for the deferral event.
std::string AccountsFailureCause(long error) {
  std::string why;
  if (error == ERROR_DS_UNAVAILABLE)
    why = "the LDAP directory does not answer (error 8201)";
  else if (CheckAccountSource(why))
    FormatSystemMessage(error, why);
  return "the accounts cannot be read: " + why;
}

void FinishRecipient(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &user, int result,
                     long error, const std::string &cause) {
  if (result == kDeliveryOk) {
    rcp.bDisposed = 1;
    return;
  }
  if (IsDeferredResult(result)) {
    ReportDeferral(info, cause);
    rcp.bDisposed = 0;
    return;
  }
  bool isPostmaster = EqualsNoCase(user, Postmaster);
  if (info.ReturnPath[0] == '\0' && isPostmaster) {
    rcp.bDisposed = DeadMessage(HeldMessagePath(info), kDeadPostmasterReason) ? 1 : 0;
    return;
  }
  std::string text = LocalDeliveryFailureText(result, error);
  bool copy = LocalFailuresToPostmaster && !isPostmaster;
  rcp.bDisposed = CreateNonDeliveryMessage(info, &rcp, copy, text.c_str(), nullptr) ? 1 : 0;
}

std::string_view LocalPart(const std::string &name) {
  const char *end = SkipLocalAddressPart(name.c_str());
  return Trim(std::string_view(name.c_str(), end - name.c_str()));
}

// The address a directory finds the user by (its aliases too): the one the
// mail came to, unless the alias map gave it another name.
std::string DirectoryAddress(const _tRcpInfo &rcp) {
  std::string original = rcp.OriginalAddress;
  if (original.empty()) return rcp.Name;
  return EqualsNoCase(LocalUserPart(original.c_str()), rcp.Name) ? original : std::string();
}

}  // namespace

void AliasFilter(_tMsgInfo &info) {
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) ResolveRecipient(*r);
}

MsgInfoPtr SplitAliasForwards(_tMsgInfo &info, const std::string &copyBase) {
  auto isForward = [](const _tRcpInfo *r) {
    return !r->bIsLocalUser && r->OriginalAddress[0] != '\0';
  };
  size_t forwards = 0, all = 0;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next, ++all) forwards += isForward(r);
  if (forwards == 0) return nullptr;
  std::string sender = ForwardSender(info.ReturnPath);
  if (sender == info.ReturnPath) return nullptr;
  if (forwards == all) {
    STRNCPY(info.ReturnPath, sender.c_str(), sizeof info.ReturnPath);
    return nullptr;
  }
  MsgInfoPtr copy(new _tMsgInfo);
  std::string_view id(info.MessageId);
  std::string copyId = copyBase + std::string(id.substr(std::min(id.size(), id.find('@'))));
  STRNCPY(copy->MessageId, copyId.c_str(), sizeof copy->MessageId);
  STRNCPY(copy->ReturnPath, sender.c_str(), sizeof copy->ReturnPath);
  copy->b8Bit = info.b8Bit;
  copy->bJunk = info.bJunk;
  // The forwards move over in their order; the others stay in theirs.
  _tRcpInfo **keep = &info.Rcp, **moved = &copy->Rcp;
  while (*keep != nullptr) {
    _tRcpInfo *r = *keep;
    if (!isForward(r)) {
      keep = &r->Next;
      continue;
    }
    *keep = r->Next;
    r->Next = nullptr;
    *moved = r;
    moved = &r->Next;
  }
  return copy;
}

std::string LocalUserPart(const char *Name) {
  std::string name = BoundedCopy(Name, kMaxLocalUserName);
  return StripDown(LocalPart(name), kMaxLocalUserName);
}

std::string LocalUserName(const char *Name) { return LowerAsciiCopy(LocalUserPart(Name)); }

namespace {

// The local copy of one user's mail (mailbox lookup, copy, reply, forward).
int DeliverHere(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName,
                MailboxCopyGroup *group) {
  MailboxDir mailbox;
  long error = 0;
  std::string cause;
  int result = GetMailbox(userName, mailbox, error, DirectoryAddress(rcp));
  if (result == kMailboxLookupFailed) cause = AccountsFailureCause(error);
  if (result == kMailboxFound) result = ServeUser(info, rcp, mailbox, error, group);
  if (cause.empty() && IsDeferredResult(result)) cause = MailboxFailureCause(mailbox.Path(), error);
  FinishRecipient(info, rcp, userName, result, error, cause);
  return result;
}

// Recipients whose mail host is another host, by host: each host's go into
// one queue file.
using AwayRecipients = std::vector<std::pair<std::string, std::vector<_tRcpInfo *>>>;

// Delivers here, or adds the recipient to away (with null away: hands it
// off at once). The result as DeliverToLocalUser's.
int RouteUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName,
              MailboxCopyGroup *group, AwayRecipients *away) {
  std::string host, cause;
  long error = 0;
  switch (ChooseMailHost(userName, host, error, cause)) {
    case MailHostChoice::kHere: return DeliverHere(info, rcp, userName, group);
    case MailHostChoice::kUnknownNow: {
      // As the mailbox lookup would say: the account could not be read.
      int result = error != 0 ? kMailboxLookupFailed : kDeliveryDeferred;
      FinishRecipient(info, rcp, userName, result, error,
                      error != 0 ? AccountsFailureCause(error) : cause);
      return result;
    }
    case MailHostChoice::kElsewhere: break;
  }
  if (away != nullptr) {
    auto it = std::find_if(away->begin(), away->end(),
                           [&host](const auto &entry) { return EqualsNoCase(entry.first, host); });
    if (it == away->end()) it = away->insert(away->end(), {host, {}});
    it->second.push_back(&rcp);
    return kDeliveryOk;
  }
  int result = HandOffToMailHost(info, {&rcp}, host, cause);
  if (result != kDeliveryOk) ReportDeferral(info, cause);
  return result;
}

}  // namespace

namespace {

// user+detail@ reaches user's mailbox (RecipientDelimiter; the detail
// starts at the first delimiter character): the whole name first, so that
// a user whose name holds the delimiter keeps getting mail, then the part
// before the detail. A directory that cannot answer keeps the whole name
// (the lookup then says so and the mail waits).
std::string DeliveryUserName(const std::string &name) {
  const std::string &delimiter = DeliverySieve.RecipientDelimiter;
  size_t cut = delimiter.empty() ? std::string::npos : name.find_first_of(delimiter);
  if (cut == std::string::npos || cut == 0) return name;
  AccountFound found;
  if (FindMailUser(name, found) || !IsNoSuchAccount(GetLastError())) return name;
  return name.substr(0, cut);
}

}  // namespace

bool DeliverToLocalUsers(_tMsgInfo &info, void *context) {
  auto *group = static_cast<MailboxCopyGroup *>(context);
  AwayRecipients away;
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    if (r->bDisposed) continue;
    // Lists by their lower-case name; a user by the name as written (the
    // host's account names are exact).
    if (!DeliverToMailingList(info, *r, LocalUserName(r->Name)))
      RouteUser(info, *r, DeliveryUserName(LocalUserPart(r->Name)), group, &away);
  }
  for (const auto &[host, rcps] : away) {
    std::string cause;
    if (HandOffToMailHost(info, rcps, host, cause) != kDeliveryOk) ReportDeferral(info, cause);
  }
  bool all = true;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) all = all && r->bDisposed;
  return all;
}

void CommitLocalCopies(void *context) {
  CommitMailboxCopies(*static_cast<MailboxCopyGroup *>(context));
}

int DeliverToLocalUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName,
                       MailboxCopyGroup *group) {
  return RouteUser(info, rcp, userName, group, nullptr);
}
