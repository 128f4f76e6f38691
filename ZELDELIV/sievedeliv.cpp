// sievedeliv: see sievedeliv.h.
#include "ZELDELIV/sievedeliv.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/settings.h"
#include "common/logging.h"
#include "common/mailstore.h"
#include "common/mailstorename.h"
#include "common/mailstoreindex.h"
#include "common/mimestuff.h"
#include "common/mimetext.h"
#include "common/rfc822parse.h"
#include "common/sieve.h"
#include "common/str.h"
#include "messages/zelmsg.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/logon.h"
#include "platform/sysinfo.h"
#include "platform/tls.h"

SieveSettings DeliverySieve;

namespace {

constexpr std::string_view kInbox = "INBOX";
// The memory files: kMaxSieveMemoryEntries lines of a digest and a time.
constexpr size_t kMaxSieveMemoryBytes = kMaxSieveMemoryEntries * 96;
// The name of the reply's subject field, in front of its first line.
constexpr std::string_view kSubjectFieldName = "Subject";
// The event's reason.
constexpr size_t kMaxSieveEventText = 512;
// A copy made before a pass stopped is remembered this long: longer than
// a message waits in the local queue.
constexpr uint64_t kSieveFiledSeconds = 30ull * 86400;

// The whole of a file open at fd, at most limit bytes; false when it is
// larger or cannot be read.
bool ReadBounded(int fd, size_t limit, std::string &text) {
  uint64_t size = 0;
  if (fd < 0 || !GetFileSizeOf(fd, &size) || size > limit) return false;
  text.assign(size, '\0');
  size_t got = 0;
  if (!ReadFileAt(fd, text.data(), text.size(), 0, &got)) return false;
  text.resize(got);
  return true;
}

bool ReadUserFile(const MailboxDir &dir, std::string_view name, size_t limit, std::string &text) {
  UniqueFd fd(dir.OpenFile(name, false));
  return ReadBounded(fd.Get(), limit, text);
}

// The user's sieve directory and active script; false when there is none.
// A script that cannot be read (gone since it was activated, larger than
// the limit) gives readable false: the caller reports it.
bool LoadUserScript(const MailboxDir &mailbox, MailboxDir &dir, std::string &name,
                    std::string &text, bool &readable) {
  if (dir.Open(mailbox.Path() + "/" + kSieveDirName, mailbox.Owner(), false) != ERROR_SUCCESS)
    return false;
  std::string active;
  if (!ReadUserFile(dir, kSieveActiveFileName, kMaxSieveScriptName + 2, active)) return false;
  name = SieveActiveName(active);
  if (name.empty()) return false;
  readable = ReadUserFile(dir, SieveScriptFileName(name), DeliverySieve.Limits.MaxScriptBytes, text);
  return true;
}

// The directory of the administrator's script holds the global includes.
std::string GlobalDirectory() {
  const std::string &path = DeliverySieve.BeforeScript;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool ReadAdminFile(const std::string &path, std::string &text) {
  UniqueFd fd(OpenFileForReading(path));
  return ReadBounded(fd.Get(), DeliverySieve.Limits.MaxScriptBytes + 1, text);
}

// The administrator's script, compiled once and again only when its file
// or the directory of its includes changes (a stamp: device, inode, size,
// times): the same script for every message, its fault said once.
struct BeforeCache {
  std::mutex Lock;
  bool bKnown = false;
  FileStamp Script, Directory;
  long ScriptRc = 0, DirectoryRc = 0;
  std::shared_ptr<const SieveScript> Compiled;   // null when it cannot be used
};

BeforeCache &Before() {
  static auto *cache = new BeforeCache;
  return *cache;
}

// The compiled administrator's script, or null (then the fault has been
// reported, once for this version of the file).
std::shared_ptr<const SieveScript> BeforeScript() {
  const std::string &path = DeliverySieve.BeforeScript;
  FileStamp script, directory;
  long scriptRc = StatFile(path, script), directoryRc = StatFile(GlobalDirectory(), directory);
  BeforeCache &cache = Before();
  std::lock_guard<std::mutex> lock(cache.Lock);
  if (cache.bKnown && scriptRc == cache.ScriptRc && script == cache.Script &&
      directoryRc == cache.DirectoryRc && directory == cache.Directory)
    return cache.Compiled;
  cache.bKnown = true;
  cache.Script = script;
  cache.Directory = directory;
  cache.ScriptRc = scriptRc;
  cache.DirectoryRc = directoryRc;
  cache.Compiled.reset();
  // Its includes are the administrator's shared scripts only: what users
  // write never becomes part of it.
  SieveIncludeLoader global = [](SieveLocation where, std::string_view include, std::string *text) {
    return where == SieveLocation::Global &&
           ReadAdminFile(GlobalDirectory() + "/" + SieveScriptFileName(include), *text);
  };
  std::string text;
  auto compiled = std::make_shared<SieveScript>();
  SieveError error;
  if (ReadAdminFile(path, text) &&
      SieveCompile(text, DeliverySieve.Limits, global, compiled.get(), &error)) {
    cache.Compiled = std::move(compiled);
    return cache.Compiled;
  }
  std::string why = error.Text.empty() ? "it cannot be read" : error.Describe();
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_SIEVE_BEFORE_FAILED, LogSafeText(path).c_str(),
           LogSafeText(BoundedCopy(why, kMaxSieveEventText)).c_str());
  return nullptr;
}

void LogSieveFault(const _tRcpInfo &rcp, const std::string &why) {
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_SIEVE_FAILED, LogSafeText(rcp.Name).c_str(),
           LogSafeText(BoundedCopy(why, kMaxSieveEventText)).c_str());
}

// The message as the script sees it.
struct HeldText {
  std::string Text;
  std::string_view Header, Body;
};

bool ReadHeldText(const _tMsgInfo &info, HeldText &held) {
  std::string file;
  UniqueFd fd(OpenFileForReading(HeldMessagePath(info)));
  if (!ReadBounded(fd.Get(), kMaxSieveMessageBytes, file)) return false;
  MimeTextFromFile(file, &held.Text);
  std::string_view all = held.Text;
  size_t end = all.find("\r\n\r\n");
  if (all.starts_with("\r\n")) end = 0;
  size_t header = end == std::string_view::npos ? all.size() : (end == 0 ? 0 : end + 2);
  held.Header = all.substr(0, header);
  held.Body = all.substr(std::min(all.size(), header + 2));
  return true;
}

// IMAP system flags to their bits; the rest are keywords.
void SplitFlags(const std::vector<std::string> &flags, uint32_t &bits,
                std::vector<std::string> &words) {
  static constexpr std::pair<std::string_view, uint32_t> kSystem[] = {
      {"\\Seen", kStoreFlagSeen},       {"\\Answered", kStoreFlagAnswered},
      {"\\Flagged", kStoreFlagFlagged}, {"\\Deleted", kStoreFlagDeleted},
      {"\\Draft", kStoreFlagDraft}};
  bits = 0;
  for (const std::string &flag : flags) {
    auto it = std::find_if(std::begin(kSystem), std::end(kSystem),
                           [&](const auto &s) { return EqualsNoCase(s.first, flag); });
    if (it != std::end(kSystem)) bits |= it->second;
    else if (!flag.starts_with("\\")) words.push_back(flag);
  }
  // Keywords the index refuses are dropped rather than the copy.
  std::string checked;
  if (!NormalizeKeywords(words, checked)) words.clear();
}

// One run's work on the user's mailbox.
struct Delivery {
  const _tMsgInfo &Info;
  _tRcpInfo &Rcp;
  const MailboxDir &Mailbox;
  MailboxCopyGroup *Group;
  long &Error;
};

// The plain copy into box (the mailbox: INBOX), as without a script: staged
// into the walk's group commit when there is one.
int PlainCopy(Delivery &d, const MailboxDir &box) {
  return d.Group != nullptr ? StageUserMailboxCopy(d.Info, d.Rcp, box, d.Error, *d.Group)
                            : DeliverToUserMailbox(d.Info, box, d.Error);
}

int KeepPlain(Delivery &d) { return PlainCopy(d, d.Mailbox); }

// A folder that exists with its index, opened as a directory of the
// mailbox's owner: a plain copy named there is a new message of the folder
// at the IMAP server's next look, as INBOX's are. False for anything else
// (missing, not yet indexed, a name refused): FileCopy then decides.
bool OpenIndexedFolder(const Delivery &d, std::string_view folder, MailboxDir &box) {
  FolderPath path;
  if (!ParseFolderName(folder, path) || path.IsInbox()) return false;
  std::string dir = d.Mailbox.Path();
  for (const std::string &component : path.Dirs) dir += "/" + component;
  return box.Open(dir, d.Mailbox.Owner(), false) == ERROR_SUCCESS &&
         box.FileExists(std::string(kIndexFileName));
}

// A copy into folder with flags and the given header, as the owner. A
// folder that is missing is made with create, else the copy goes to INBOX.
int FileCopy(Delivery &d, std::string_view folder, bool create, const std::vector<std::string> &flags,
             const HeldText &held, std::string_view header) {
  ImpersonationGuard as;
  if (!as.Begin(d.Mailbox.Owner())) {
    d.Error = GetLastError();
    return kDeliveryDeferred;
  }
  Mailstore store;
  FolderIndex index;
  long rc = store.Open(d.Mailbox.Fd(), IndexOptions{});
  if (rc == ERROR_SUCCESS) rc = store.OpenFolder(folder, index);
  // The special-use folders every mailbox has are made as the IMAP server
  // would make them, :create or not.
  bool special = std::any_of(std::begin(kSpecialUseFolders), std::end(kSpecialUseFolders),
                             [&](const SpecialUseFolder &f) { return f.Name == folder; });
  if ((rc == ERROR_FILE_NOT_FOUND || rc == EISDIR) && (create || special)) {
    long made = store.CreateFolder(folder);
    if (made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) rc = store.OpenFolder(folder, index);
  }
  if (rc == ERROR_FILE_NOT_FOUND || rc == EISDIR || rc == ERROR_INVALID_PARAMETER)
    rc = store.OpenFolder(kInbox, index);
  uint32_t bits = 0;
  std::vector<std::string> words;
  SplitFlags(flags, bits, words);
  AppendWriter writer;
  AppendResult appended;
  if (rc == ERROR_SUCCESS) rc = writer.Begin(index);
  if (rc == ERROR_SUCCESS) rc = writer.Write(header);
  if (rc == ERROR_SUCCESS) rc = writer.Write("\r\n");
  if (rc == ERROR_SUCCESS) rc = writer.Write(held.Body);
  if (rc == ERROR_SUCCESS) rc = writer.Finish(0, bits, words, appended);
  d.Error = rc;
  return rc == ERROR_SUCCESS ? kDeliveryOk : kDeliveryDeferred;
}

// A reject's reason as one line of printable text.
std::string RejectText(std::string_view reason) {
  std::string text = "The recipient's filter refused the message: ";
  for (char c : reason.substr(0, kMaxSieveRejectText))
    text += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  return text;
}

bool IsListOrNullSender(const _tMsgInfo &info) {
  return info.ReturnPath[0] == '\0' || IsFromAList(info.ReturnPath);
}

// The memory file name of dir, updated with key when it was not there:
// true when key is new (the caller may act), false when seen or when the
// memory cannot be written (acting then could repeat at every message).
bool ClaimMemory(const MailboxDir &dir, const char *file, const std::string &key,
                 uint64_t seconds, int64_t now) {
  std::string text;
  if (!ReadUserFile(dir, file, kMaxSieveMemoryBytes, text)) text.clear();
  if (SieveMemorySeen(text, key, now)) return false;
  uint64_t keep = std::min<uint64_t>(seconds, kMaxSieveMemorySeconds);
  return dir.ReplaceFile(file, SieveMemoryRemember(text, key, now + static_cast<int64_t>(keep), now));
}

// The vacation reply, under the automatic-reply rules; its outcome does not
// change the delivery.
void SendVacation(Delivery &d, const MailboxDir &dir, const SieveVacation &v,
                  const std::string &user, int64_t now) {
  std::string sender = d.Info.ReturnPath;
  if (sender.empty() || IsFromAList(sender) || !IsSafeHeaderText(sender) ||
      sender.size() > kMaxRecipientName)
    return;
  MessageHeaders h;
  if (!ReadMessageHeaders(HeldMessagePath(d.Info), h) || IsAutomaticMessage(h)) return;
  if (h.Sender && IsFromAList(ExtractAddress(*h.Sender, kMaxHeaderAddress))) return;
  std::string key = Sha256Hex(LowerAsciiCopy(sender) + "\n" + v.Handle);
  // A reply every time (:seconds 0) needs no memory.
  if (v.Seconds > 0 && !ClaimMemory(dir, kSieveVacationFileName, key, v.Seconds, now)) return;
  std::string from = !v.From.empty() && IsSafeHeaderText(v.From) ? v.From : user;
  // Any subject (the script's, or the message's behind "Auto: ") as
  // encoded words when it is not plain ASCII.
  std::string subject = MimeEncodeWords(v.Subject, kSubjectFieldName.size(), "\n ");
  GeneratedMessage msg;
  bool ok = msg.Create(GetLocalHostName(-1));
  if (ok) {
    TextFile &out = msg.Stream();
    WriteCommonHeaders(out, sender.c_str(), subject.c_str(), from.c_str(), nullptr,
                       msg.MessageId().c_str());
    out.Write("Auto-Submitted: auto-replied (vacation)\n");
    // With :mime the reason is an entity with its own header fields.
    out.Write("MIME-Version: 1.0\n");
    if (!v.bMime) out.Write("Content-Type: text/plain; charset=utf-8\n\n");
    // Lines end in LF here; the stream writes them as the message's.
    std::string reason = v.Reason;
    std::erase(reason, '\r');
    ok = WriteBodyText(out, reason) && out.Write("\n.\n");
    ok = ok && msg.Queue("", {sender}, kAutoReplyLockWaitMs);
  }
  if (!ok)
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_AUTOREPLY_FAILED, LogSafeText(d.Info.MessageId).c_str(),
             nullptr);
}

// The copies of one message for one recipient made before a pass stopped
// half-way, in ".filed": written only when a copy fails after others were
// made (the usual delivery reads one missing file and writes nothing),
// and cleared by the pass that finishes. A crash between two copies is
// not covered: the next pass makes the first again, as with any delivery
// a crash cuts short.
class FiledCopies {
 public:
  FiledCopies(const Delivery &d, const MailboxDir &dir, bool track, int64_t now)
      : d_(d), dir_(dir), track_(track && dir.IsOpen()), now_(now) {
    if (track_ && !ReadUserFile(dir_, kSieveFiledFileName, kMaxSieveMemoryBytes, text_))
      text_.clear();
  }
  bool Tracking() const { return track_; }
  // The copy's identity: the message, the recipient, the step and the folder.
  std::string Key(size_t step, std::string_view folder) const {
    if (!track_) return {};
    return Sha256Hex(std::string(d_.Info.MessageId) + "\n" + d_.Rcp.Name + "\n" +
                     std::to_string(step) + "\n" + std::string(folder));
  }
  bool Made(const std::string &key) {
    if (!track_ || !SieveMemorySeen(text_, key, now_)) return false;
    seen_.push_back(key);
    return true;
  }
  void Add(const std::string &key) {
    if (track_) made_.push_back(key);
  }
  // The delivery is done: what an earlier pass left for this message is
  // of no use any more.
  void Finished() {
    if (!track_ || seen_.empty()) return;
    std::string text = text_;
    for (const std::string &key : seen_) text = SieveMemoryForget(text, key);
    dir_.ReplaceFile(kSieveFiledFileName, text);
  }
  // A copy failed: the ones made so far are written down for the next pass.
  void Remember() {
    if (!track_ || made_.empty()) return;
    std::string text = text_;
    for (const std::string &key : made_)
      text = SieveMemoryRemember(text, key, now_ + static_cast<int64_t>(kSieveFiledSeconds), now_);
    dir_.ReplaceFile(kSieveFiledFileName, text);
  }

 private:
  const Delivery &d_;
  const MailboxDir &dir_;
  bool track_;
  int64_t now_;
  std::string text_;
  std::vector<std::string> made_, seen_;
};

// Does what the run decided. The copies first, so that a pass that leaves
// the recipient for later has sent nothing on its behalf.
int Act(Delivery &d, const MailboxDir &dir, const SieveResult &run, const HeldText &held,
        const std::string &user, int64_t now) {
  std::string_view header = run.bHeaderEdited ? std::string_view(run.Header) : held.Header;
  bool rejected = false, keepInstead = false;
  for (const SieveAction &a : run.Actions)
    if (a.Kind == SieveActionKind::Reject || a.Kind == SieveActionKind::Ereject) rejected = true;
  if (rejected && IsListOrNullSender(d.Info)) keepInstead = true;
  bool filed = false;
  // A run with more than one copy may stop half-way for a later pass: the
  // copies made by then are remembered (FiledCopies), and the pass that
  // finishes the delivery does not make them again.
  size_t copies = std::count_if(run.Actions.begin(), run.Actions.end(), [](const SieveAction &a) {
    return a.Kind == SieveActionKind::Keep || a.Kind == SieveActionKind::FileInto;
  });
  FiledCopies done(d, dir, copies > 1, now);
  // Each copy durable at once: a copy remembered as made must not be one
  // that a failed group commit gives back.
  if (done.Tracking()) d.Group = nullptr;
  size_t step = 0;
  auto file = [&](std::string_view folder, bool create, const std::vector<std::string> &flags) {
    std::string key = done.Key(step++, folder);
    if (done.Made(key)) {
      filed = true;
      return kDeliveryOk;
    }
    // Without flags or an edited header a copy is the plain one, which
    // joins the walk's group commit; the others are written into the
    // folder's index at once.
    bool plain = flags.empty() && !run.bHeaderEdited;
    MailboxDir box;
    int r = plain && folder == kInbox ? KeepPlain(d)
            : plain && OpenIndexedFolder(d, folder, box)
                ? PlainCopy(d, box)
                : FileCopy(d, folder, create, flags, held, header);
    filed = filed || r == kDeliveryOk;
    if (r == kDeliveryOk) done.Add(key);
    else done.Remember();
    return r;
  };
  for (const SieveAction &a : run.Actions) {
    int r = kDeliveryOk;
    if (a.Kind == SieveActionKind::Keep) r = file(kInbox, false, a.Flags);
    else if (a.Kind == SieveActionKind::FileInto) r = file(a.Mailbox, a.bCreate, a.Flags);
    if (r != kDeliveryOk) return r;
  }
  if (keepInstead && !filed) {
    if (int r = file(kInbox, false, {}); r != kDeliveryOk) return r;
  }
  for (const SieveAction &a : run.Actions) {
    if (a.Kind == SieveActionKind::Redirect) {
      // A forward that cannot be written keeps a copy here.
      if (!AutoForwardProcessing(d.Info, d.Rcp, a.Address) && !filed) {
        if (int r = file(kInbox, false, {}); r != kDeliveryOk) return r;
      }
    } else if ((a.Kind == SieveActionKind::Reject || a.Kind == SieveActionKind::Ereject) &&
               !keepInstead) {
      std::string text = RejectText(a.Text);
      if (!CreateNonDeliveryMessage(d.Info, &d.Rcp, false, text.c_str(), nullptr) && !filed) {
        if (int r = file(kInbox, false, {}); r != kDeliveryOk) return r;
      }
    } else if (a.Kind == SieveActionKind::Vacation && dir.IsOpen()) {
      SendVacation(d, dir, a.Vacation, user, now);
    }
  }
  if (dir.IsOpen()) {
    for (const SieveDuplicateMark &m : run.Duplicates) {
      std::string key = Sha256Hex(m.Key);
      std::string text;
      if (!ReadUserFile(dir, kSieveDuplicateFileName, kMaxSieveMemoryBytes, text)) text.clear();
      if (!m.bLast && SieveMemorySeen(text, key, now)) continue;
      dir.ReplaceFile(kSieveDuplicateFileName,
                      SieveMemoryRemember(text, key, now + static_cast<int64_t>(m.Seconds), now));
    }
  }
  done.Finished();
  return kDeliveryOk;
}

// A run that does nothing but keep the message unchanged in INBOX.
bool OnlyPlainKeep(const SieveResult &run) {
  return !run.bHeaderEdited && run.Duplicates.empty() && run.Actions.size() == 1 &&
         run.Actions[0].Kind == SieveActionKind::Keep && run.Actions[0].Flags.empty();
}

}  // namespace

bool SieveServeUser(const _tMsgInfo &info, _tRcpInfo &rcp, const MailboxDir &mailbox,
                    long &error, MailboxCopyGroup *group, int *result) {
  MailboxDir dir;
  std::string name, userText;
  bool readable = true;
  bool hasUser = LoadUserScript(mailbox, dir, name, userText, readable);
  bool hasBefore = !DeliverySieve.BeforeScript.empty();
  if (!hasUser && !hasBefore) return false;
  Delivery d{info, rcp, mailbox, group, error};
  auto fault = [&](const std::string &why) {
    LogSieveFault(rcp, why);
    *result = KeepPlain(d);
    return true;
  };
  const SieveLimits &limits = DeliverySieve.Limits;
  SieveIncludeLoader loader = [&](SieveLocation where, std::string_view include, std::string *text) {
    std::string file = SieveScriptFileName(include);
    if (where == SieveLocation::Global)
      return hasBefore && ReadAdminFile(GlobalDirectory() + "/" + file, *text);
    return dir.IsOpen() && ReadUserFile(dir, file, limits.MaxScriptBytes + 1, *text);
  };
  SieveScript user;
  SieveError compileError;
  std::vector<const SieveScript *> scripts;
  // The administrator's script is the site's: when it cannot be read or
  // compiled, users' own scripts still run.
  std::shared_ptr<const SieveScript> before = hasBefore ? BeforeScript() : nullptr;
  if (before) scripts.push_back(before.get());
  if (hasUser) {
    if (!readable)
      return fault("script " + name + " cannot be read, or is larger than SieveMaxScriptSize");
    if (!SieveCompile(userText, limits, loader, &user, &compileError))
      return fault("script " + name + ": " + compileError.Describe());
    scripts.push_back(&user);
  }
  if (scripts.empty()) return false;
  HeldText held;
  if (!ReadHeldText(info, held)) {
    if (!hasUser) return false;
    return fault("the message cannot be read for the script");
  }
  int64_t now = time(nullptr);
  std::string address = QualifiedAddress(rcp.Name);
  SieveContext context;
  context.Now = now;
  GetUtcOffsetMinutes(static_cast<time_t>(now), context.LocalZoneMinutes);
  context.CpuMicros = ThreadCpuMicros;
  context.RecipientDelimiter = DeliverySieve.RecipientDelimiter;
  context.UserAddresses.push_back(address);
  if (rcp.OriginalAddress[0] != '\0') context.UserAddresses.push_back(rcp.OriginalAddress);
  Mailstore store;
  context.MailboxExists = [&](std::string_view folder) {
    FolderCounts counts;
    return store.FolderStatus(folder, counts) == ERROR_SUCCESS;
  };
  std::string duplicates;
  if (!dir.IsOpen() || !ReadUserFile(dir, kSieveDuplicateFileName, kMaxSieveMemoryBytes, duplicates))
    duplicates.clear();
  context.DuplicateSeen = [&](std::string_view key) {
    return SieveMemorySeen(duplicates, Sha256Hex(key), now);
  };
  SieveEnvelope envelope;
  envelope.From = info.ReturnPath;
  envelope.To = rcp.OriginalAddress[0] != '\0' ? std::string(rcp.OriginalAddress) : address;
  SieveMessage message{held.Header, held.Body, 0};
  SieveResult run;
  bool ran = false;
  {
    // The script runs as the user: whatever it reaches, it reaches with the
    // user's rights.
    ImpersonationGuard as;
    if (!as.Begin(mailbox.Owner())) return fault("the user's identity cannot be taken");
    if (store.Open(mailbox.Fd(), IndexOptions{}) != ERROR_SUCCESS) store.Close();
    ran = SieveRunScripts(scripts, message, envelope, context, limits, &run);
  }
  if (!ran) return fault((hasUser ? "script " + name : std::string("SieveBeforeScript")) + ": " +
                         run.Error.Describe());
  if (!hasUser && OnlyPlainKeep(run)) return false;
  *result = Act(d, dir, run, held, address, now);
  return true;
}

namespace {

struct MemoryLine {
  int64_t Expires = 0;
  std::string_view Key;
};

std::vector<MemoryLine> ParseMemory(std::string_view text) {
  std::vector<MemoryLine> lines;
  while (!text.empty() && lines.size() < kMaxSieveMemoryEntries * 2) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    size_t space = line.find(' ');
    // At most 18 digits: any of them fits an int64_t (a spoiled file must
    // not overflow the sum).
    if (space == std::string_view::npos || space == 0 || space > 18) continue;
    uint64_t expires = 0;
    const char *end = line.data() + space;
    auto [stop, ec] = std::from_chars(line.data(), end, expires);
    std::string_view key = line.substr(space + 1);
    if (ec == std::errc() && stop == end && !key.empty() && key.size() <= 128)
      lines.push_back({static_cast<int64_t>(expires), key});
  }
  return lines;
}

}  // namespace

bool SieveMemorySeen(std::string_view text, std::string_view key, int64_t now) {
  for (const MemoryLine &m : ParseMemory(text))
    if (m.Key == key && m.Expires > now) return true;
  return false;
}

std::string SieveMemoryForget(std::string_view text, std::string_view key) {
  std::string out;
  for (const MemoryLine &m : ParseMemory(text))
    if (m.Key != key) out.append(std::to_string(m.Expires)).append(" ").append(m.Key).append("\n");
  return out;
}

std::string SieveMemoryRemember(std::string_view text, std::string_view key, int64_t expires,
                                int64_t now) {
  std::vector<MemoryLine> lines = ParseMemory(text);
  std::erase_if(lines, [&](const MemoryLine &m) { return m.Expires <= now || m.Key == key; });
  if (lines.size() >= kMaxSieveMemoryEntries) {
    std::sort(lines.begin(), lines.end(),
              [](const MemoryLine &a, const MemoryLine &b) { return a.Expires > b.Expires; });
    lines.resize(kMaxSieveMemoryEntries - 1);
  }
  std::string out;
  for (const MemoryLine &m : lines)
    out.append(std::to_string(m.Expires)).append(" ").append(m.Key).append("\n");
  out.append(std::to_string(expires)).append(" ").append(key).append("\n");
  return out;
}
