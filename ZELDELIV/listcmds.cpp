// listcmds: see listcmds.h.
#include "ZELDELIV/listcmds.h"

#include <string>
#include <string_view>

#include "ZELDELIV/maillist.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/logging.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";
// Argument delimiters: LEAVE's list name also ends at "@".
constexpr std::string_view kTokenDelimiters = " \t\r\n";
constexpr std::string_view kLeaveListDelimiters = " \t\r\n@";
constexpr std::string_view kRequestSuffix = "-request";

constexpr const char *kHelpText =
    "\nThis mailing list processor understands the following commands:\n\n"
    "   HELP\n        Produces this message\n\n"
    "   JOIN [listname [address]]\n        Subscribe to mailing list\n\n"
    "   LEAVE [listname [address]]\n        Unsubscribe from mailing list\n\n"
    "   STOP\n        Stop processing commands (eg to avoid processing your signature)\n\n"
    "   SUBSCRIBE [listname [address]]\n        Subscribe to mailing list\n\n"
    "   UNSUBSCRIBE [listname [address]]\n        Unsubscribe from mailing list\n\n"
    "Commands should be placed in the body of the mail message.\n\n"
    "If you have problems with this mailing list processor, you\n"
    "may obtain help from a human by mailing postmaster@";

std::string_view SkipBlanks(std::string_view text) {
  size_t start = text.find_first_not_of(kBlanks);
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

// The next token of rest as strtok finds it: leading delimiters skipped,
// the token ends at the next delimiter, and that one delimiter is used up.
std::string_view NextToken(std::string_view &rest, std::string_view delimiters) {
  size_t start = rest.find_first_not_of(delimiters);
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  size_t end = rest.find_first_of(delimiters, start);
  std::string_view token = rest.substr(start, end == std::string_view::npos ? end : end - start);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return token;
}

// ---- the request header

struct RequestHeader {
  std::string sender;
  std::string reply;
  std::string from;
  std::string envelope;
};

std::string FieldAddress(std::string_view field, size_t nameLength) {
  return ExtractAddress(field.substr(nameLength), kMaxHeaderAddress);
}

// Sender, else From; the last Reply-To, else the sender. A From never
// replaces a Sender. The envelope is the first field's, if it is one.
bool ReadRequestHeader(TextFile &in, RequestHeader &h) {
  HeaderFieldReader reader(in, kMaxHeaderField);
  std::string field, sender, from, reply;
  for (bool first = true; reader.Next(field) && !field.empty() && field != "."; first = false) {
    if (first) h.envelope = ListEnvelopeSender(field);
    if (StartsWithNoCase(field, "Sender:"))
      sender = FieldAddress(field, 7);
    else if (StartsWithNoCase(field, "From:"))
      from = FieldAddress(field, 5);
    else if (StartsWithNoCase(field, "Reply-To:"))
      reply = FieldAddress(field, 9);
  }
  h.sender = sender.empty() ? from : sender;
  h.reply = reply.empty() ? h.sender : reply;
  h.from = from;
  return !in.Error();
}

// ---- JOIN and LEAVE

void Append(std::string &journal, std::initializer_list<std::string_view> parts) {
  for (std::string_view p : parts) journal.append(p);
}

std::string ErrorNumber() { return std::to_string(GetLastError()); }

// "JOIN list address" or "LEAVE list address" for the moderator to carry out.
bool ForwardRequestToModerator(const char *verb, const std::string &list,
                               const std::string &address, const std::string &moderator,
                               const RequestContext &ctx) {
  std::string body = "\nThe following request from " + ctx.sender + " has been received\n" +
                     "by the " + kListServerOwner + " Mailing List Server at " + ctx.listDomain +
                     ".\n\n" + verb + " " + list + " " + address + "\n\n";
  return MailOpenFile(ThisHostName, body, moderator, CreateRequestAddress(list, ctx.listDomain),
                      std::string(verb) + " Request");
}

// The settings of a list named in a command; null (and the output) when
// there is no such list.
ListInfoPtr ReadNamedList(const std::string &list, std::string &journal) {
  ListInfoPtr info = IsListKeyName(list) ? GetListExpansion(list, false, "") : nullptr;
  if (!info) Append(journal, {"\nThere is no mailing list called ", list, ".\n"});
  return info;
}

// ---- confirmation of joins and leaves

constexpr const char *kJoin = "JOIN";
constexpr const char *kLeave = "LEAVE";

std::string ConfirmationText(const char *verb, const std::string &list, const std::string &address,
                             const std::string &token, const RequestContext &ctx) {
  std::string change = std::string(verb) == kJoin ? "to add " + address + " to"
                                                  : "to remove " + address + " from";
  return "\nSomeone (" + ctx.sender + ") asked the " + kListServerOwner +
         " Mailing List Server at " + ctx.listDomain + "\n" + change + " the " + list +
         " mailing list.\n\nIf that is what you want, send a message to " +
         CreateRequestAddress(list, ctx.listDomain) + "\nwhose body holds this line:\n\n" +
         kConfirmCommand + " " + token + "\n\nA reply that quotes this message works too. " +
         "Without a confirmation\nwithin 7 days, nothing changes.\n";
}

// Instead of the change itself: a token for it, mailed to the address.
void RequestConfirmation(const char *verb, const std::string &list, const std::string &member,
                         const RequestContext &ctx, std::string &journal) {
  long long now = NowSeconds();
  PendingRequest request;
  // The same request again within the hour gets no second mail: a flood of
  // requests must not become a flood of mail to someone else's address.
  if (FindPendingRequest(list, verb, member, now, request)) {
    if (now - request.Created < kConfirmResendSeconds) {
      Append(journal, {"\nA confirmation request for ", member, " is already waiting.\n"});
      return;
    }
    DropPendingRequest(list, request.Token);
  }
  if (ctx.confirmationsLeft == 0) {
    Append(journal, {"\nToo many confirmation requests in one message: none sent for ", member,
                     ".\n"});
    return;
  }
  request = PendingRequest{verb, member, 0, ""};
  long rc = AddPendingRequest(list, request, now);
  if (rc == ERROR_MORE_DATA) {
    Append(journal, {"\nToo many requests to the ", list,
                     " mailing list wait for confirmation; try again later.\n"});
    return;
  }
  std::string subject = std::string("Please confirm: ") + verb + " " + list;
  if (rc != ERROR_SUCCESS ||
      !MailOpenFile(ThisHostName, ConfirmationText(verb, list, member, request.Token, ctx), member,
                    CreateRequestAddress(list, ctx.listDomain), subject)) {
    if (rc == ERROR_SUCCESS) rc = GetLastError();
    DropPendingRequest(list, request.Token);
    Append(journal, {"\nCannot send a confirmation request to ", member, ": error ",
                     std::to_string(rc), ".\n"});
    return;
  }
  --ctx.confirmationsLeft;
  Append(journal, {"\nA confirmation request has been sent to ", member, ".\n", member,
                   std::string(verb) == kJoin ? " joins the " : " leaves the ", list,
                   " mailing list once it is confirmed.\n"});
}

bool NeedsModerator(bool controlled, const std::string &moderator, const RequestContext &ctx) {
  return controlled && !moderator.empty() &&
         !IsModeratorByMail(moderator, ctx.envelopeSender, ctx.from);
}

// The address with everything from the end of its local part on in lower case.
std::string LowerDomain(const std::string &address) {
  const char *end = SkipLocalAddressPart(address.c_str());
  size_t local = end - address.c_str();
  return address.substr(0, local) + LowerAsciiCopy(std::string_view(address).substr(local));
}

// A local part, then "@" and a domain or a bracketed address (or nothing),
// and only blanks after it; never anything that could break a header.
bool IsValidMemberAddress(const std::string &address) {
  const char *start = address.c_str();
  const char *local = SkipLocalAddressPart(start);
  if (local == start || !IsUsableListAddress(address)) return false;
  const char *end = SkipRfc821Address(start);
  return SkipBlanks(std::string_view(end)).empty();
}

// A list written into the registry by hand has no Members key until its
// members are first read; that read creates it, so a new list can be joined
// before anything was ever posted to it.
bool AddMember(const std::string &list, const std::string &member, bool &added) {
  if (AddToList(list, member, &added)) return true;
  long error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND && GetListExpansion(list, true, GetLocalHostName(-1)))
    return AddToList(list, member, &added);
  SetLastError(error);
  return false;
}

void AddListMember(const std::string &listName, const std::string &address,
                   const RequestContext &ctx, std::string &journal) {
  ListInfoPtr info = ReadNamedList(listName, journal);
  if (!info) return;
  const std::string &moderator = info->Moderator;
  if (NeedsModerator(info->ModerateJoin, moderator, ctx)) {
    if (ForwardRequestToModerator("JOIN", listName, address, moderator, ctx))
      Append(journal, {"\nYour request to join the ", listName, " list as ", address,
                       "\nhas been forwarded to the list moderator.\n"});
    else
      Append(journal, {"\nFailed to process JOIN the moderated ", listName,
                       " mailing list: error ", ErrorNumber(), ".\n"});
    return;
  }
  std::string list = LowerAsciiCopy(listName), member = LowerDomain(address);
  if (IsRequestAddress(member)) {
    Append(journal, {"\nYou may not add \"", kRequestSuffix, "\" addresses to a mailing list.\n"});
    return;
  }
  if (!IsValidMemberAddress(member)) {
    Append(journal, {"\n", member, " is not a valid email address.\n"});
    return;
  }
  if (info->ConfirmRequests && !HasListMember(list, member)) {
    RequestConfirmation(kJoin, list, member, ctx, journal);
    return;
  }
  bool added = false;
  if (!AddMember(list, member, added))
    Append(journal, {"\nCannot add ", member, " to the ", list, " mailing list: error ",
                     ErrorNumber(), ".\n"});
  else if (added)
    Append(journal, {member, " has been added to the ", list, " mailing list.\n"});
  else
    Append(journal, {member, " is already a member of the ", list, " mailing list.\n"});
}

void RemoveListMember(const std::string &listName, const std::string &address,
                      const RequestContext &ctx, std::string &journal) {
  ListInfoPtr info = ReadNamedList(listName, journal);
  if (!info) return;
  const std::string &moderator = info->Moderator;
  if (NeedsModerator(info->ModerateLeave, moderator, ctx)) {
    if (ForwardRequestToModerator("LEAVE", listName, address, moderator, ctx))
      Append(journal, {"\nYour request to remove ", address, " from the ", listName,
                       " list\nhas been forwarded to the list moderator.\n"});
    else
      Append(journal, {"\nFailed to process LEAVE the moderated ", listName,
                       " mailing list: error ", ErrorNumber(), ".\n"});
    return;
  }
  std::string list = LowerAsciiCopy(listName), member = address;
  size_t at = member.rfind('@');
  if (at != std::string::npos) member = member.substr(0, at) + LowerAsciiCopy(member.substr(at));
  if (info->ConfirmRequests && HasListMember(list, member)) {
    RequestConfirmation(kLeave, list, member, ctx, journal);
    return;
  }
  if (RemoveFromList(list, member))
    Append(journal, {member, " has been removed from the ", list, " mailing list.\n"});
  else
    Append(journal, {member, " is not a member of the ", list, " mailing list.\n"});
}

// ---- the command table

// A command's handler gets the rest of the line behind its word; false ends
// the processing of the message.
typedef bool (*CommandHandler)(std::string_view rest, const RequestContext &ctx,
                               std::string &journal);

struct ListCommand {
  const char *name;
  CommandHandler handler;
};

bool DoHelp(std::string_view, const RequestContext &ctx, std::string &journal) {
  Append(journal, {kHelpText, ctx.listDomain, "\n\n"});
  return true;
}

// An argument left out: the list of the request mailbox, the reply address.
std::string OrDefault(std::string_view token, const std::string &def) {
  return token.empty() ? def : std::string(token);
}

bool DoJoin(std::string_view rest, const RequestContext &ctx, std::string &journal) {
  std::string list = OrDefault(NextToken(rest, kTokenDelimiters), ctx.listName);
  std::string address = OrDefault(NextToken(rest, kTokenDelimiters), ctx.replyAddress);
  AddListMember(list, address, ctx, journal);
  journal += "\n";
  return true;
}

bool DoLeave(std::string_view rest, const RequestContext &ctx, std::string &journal) {
  std::string list = OrDefault(NextToken(rest, kLeaveListDelimiters), ctx.listName);
  std::string address = OrDefault(NextToken(rest, kTokenDelimiters), ctx.replyAddress);
  RemoveListMember(list, address, ctx, journal);
  journal += "\n";
  return true;
}

// Carries out the request of a token, the change and the token's removal
// as one.
bool DoConfirm(std::string_view rest, const RequestContext &ctx, std::string &journal) {
  std::string token = LowerAsciiCopy(NextToken(rest, kTokenDelimiters));
  PendingRequest request;
  RegTransaction tx(RegTransaction::kWrite);
  long rc = TakePendingRequest(ctx.listName, token, NowSeconds(), request);
  bool done = false, changed = false;
  if (rc == ERROR_SUCCESS && request.Action == kJoin) {
    done = AddMember(ctx.listName, request.Address, changed);
    if (done)
      Append(journal, {request.Address, changed ? " has been added to the "
                                                : " is already a member of the ",
                       ctx.listName, " mailing list.\n"});
  } else if (rc == ERROR_SUCCESS && request.Action == kLeave) {
    done = RemoveFromList(ctx.listName, request.Address) || GetLastError() == ERROR_FILE_NOT_FOUND;
    if (done)
      Append(journal, {request.Address, " has been removed from the ", ctx.listName,
                       " mailing list.\n"});
  }
  if (done && tx.Commit() == ERROR_SUCCESS) {
    journal += "\n";
    return true;
  }
  if (rc == ERROR_SUCCESS)
    Append(journal, {"\nCannot carry out the confirmed request: error ", ErrorNumber(), ".\n"});
  else
    Append(journal, {"\nThere is no request waiting for confirmation ", token,
                     " (it may have expired).\n"});
  journal += "\n";
  return true;
}

bool DoStop(std::string_view, const RequestContext &, std::string &journal) {
  journal += "End of commands detected\n";
  return false;
}

constexpr ListCommand kCommands[] = {
    {"HELP", DoHelp},   {"JOIN", DoJoin},         {"SUBSCRIBE", DoJoin},
    {"LEAVE", DoLeave}, {"UNSUBSCRIBE", DoLeave}, {"STOP", DoStop},
    {kConfirmCommand, DoConfirm},
};

// A quoted line ("> CONFIRM token", a reply to the confirmation request)
// counts as the CONFIRM command it quotes; no other quoted line is run (a
// reply quoting a journal must not run its commands again).
std::string_view Unquoted(std::string_view text) {
  if (text.empty() || text.front() != '>') return text;
  std::string_view inner = text;
  while (!inner.empty() && (inner.front() == '>' || inner.front() == ' ' || inner.front() == '\t'))
    inner.remove_prefix(1);
  std::string_view word = inner.substr(0, inner.find_first_of(kBlanks));
  return EqualsNoCase(word, kConfirmCommand) ? inner : text;
}

// One more journal for address today, or the request is dropped (with an
// event the first time the address, or the day's store, is over its bound).
bool JournalAllowed(const std::string &list, const std::string &address) {
  JournalCount count = CountListJournal(list, address, NowSeconds());
  if (count.Report && count.StoreFull)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_LIST_JOURNALS_FULL, LogSafeText(list).c_str(),
             std::to_string(kMaxJournalAddresses).c_str());
  else if (count.Report)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_LIST_REQUESTS_DROPPED, LogSafeText(list).c_str(),
             LogSafeText(address).c_str());
  return count.Granted;
}

bool RunCommand(std::string_view line, const RequestContext &ctx, std::string &journal) {
  size_t end = line.find_first_of(kBlanks);
  std::string_view word = line.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : line.substr(end);
  for (const ListCommand &c : kCommands)
    if (EqualsNoCase(word, c.name)) return c.handler(rest, ctx, journal);
  Append(journal, {"Command ", word, " not recognised\n\n"});
  return true;
}

}  // namespace

bool ListCommandProcessor(TextFile &in, const RequestContext &ctx, std::string &journal) {
  std::string line;
  size_t commands = 0;
  while (ReadBoundedLine(in, line, kMaxRequestLine)) {
    RemoveChar(line, '\r');
    if (line == ".") break;   // the end of the message
    std::string_view text = Unquoted(SkipBlanks(line));
    if (text.empty() || text.front() == '.') continue;
    if (commands++ == kMaxRequestCommands) {
      journal += kTooManyCommands;
      break;
    }
    Append(journal, {"> ", text, "\n"});
    if (!RunCommand(text, ctx, journal)) break;
  }
  return !in.Error();
}

bool MailOpenFile(std::string_view hostName, std::string_view text, std::string_view addressee,
                  std::string_view from, std::string_view subject) {
  if (!IsUsableListAddress(addressee) || from.empty() || !IsSafeHeaderText(from) ||
      !IsSafeHeaderText(subject)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  GeneratedMessage msg;
  if (!msg.Create(hostName)) return false;
  TextFile &out = msg.Stream();
  WriteCommonHeaders(out, std::string(addressee).c_str(), std::string(subject).c_str(),
                     std::string(from).c_str(), nullptr, msg.MessageId().c_str());
  out.Write("\n");
  // Echoed command lines are the sender's text: a line of their own
  // beginning with "." must not end the message early.
  WriteBodyText(out, text);
  out.Write("\n.\n");
  return msg.Queue("", {std::string(addressee)});
}

bool ProcessListRequestMessage(const std::string &path, const std::string &listName,
                               const std::string &listDomain) {
  std::string requestAddress = CreateRequestAddress(listName, listDomain);
  TextFile in;
  if (!in.Open(path, "r")) return !FileExists(path);
  RequestHeader h;
  if (!ReadRequestHeader(in, h)) return false;
  if (h.sender.empty()) return true;
  // A reply to a list server (this one or another) would be answered by a
  // reply in turn, for ever.
  if (EqualsNoCase(h.reply, requestAddress) || IsRequestAddress(h.reply))
    return DeadMessage(path, kRequestLoopReason);
  if (!JournalAllowed(listName, h.reply)) return true;   // dropped unanswered
  RequestContext ctx{listName, listDomain, requestAddress, h.sender, h.reply, h.from, h.envelope};
  std::string journal = std::string("\nWelcome to the ") + kListServerOwner +
                        " ZEL Mailing List Server at " + listDomain + ".\n\n";
  if (!ListCommandProcessor(in, ctx, journal)) return false;
  // Sent or not, the commands have run: they are not run again.
  MailOpenFile(ThisHostName, journal, h.reply, requestAddress, kJournalSubject);
  return true;
}

void ProcessListRequestDirectory(const std::string &dirName) {
  if (!IsSafeListDirectoryName(dirName)) return;
  std::string listName = LowerAsciiCopy(ListNameOfUser(dirName));
  if (listName.empty() || listName.size() == dirName.size()) return;
  std::string dir = MailListsDirectory + "/" + dirName;
  std::vector<std::string> names;
  ListDirectory(dir, ".MSG", ListKind::kFiles, kMaxListMessagesPerPass, names);
  if (names.empty()) return;
  ListInfoPtr list = GetListExpansion(listName, false, GetLocalHostName(-1));
  if (!list || !IsSafeHeaderText(list->Domain)) return;
  for (const std::string &name : names) {
    if (Terminating()) return;
    std::string path = dir + "/" + name;
    if (ProcessListRequestMessage(path, listName, list->Domain)) DeleteFile(path);
  }
}
