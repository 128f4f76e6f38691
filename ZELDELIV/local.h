// local: recipient resolution and delivery to local users.
//
// Resolution (AliasFilter) runs when the incoming scan takes a message up:
// a recipient at a local domain (or without one) is rewritten, "postmaster"
// to the configured Postmaster account, any other local part through the
// alias map (LocalUserAliasMap, loaded from the registry key
// Software\TALVO\ZEL\Aliases at start), and marked as local user or not.
// An alias is applied once: a result naming another alias is not looked up
// again.
//
// Delivery (DeliverToLocalUsers) is the queue walker's callback for the
// local retry queue and for domains whose best exchanger is this host. Each
// recipient is offered to the mailing lists first, then delivered to the
// user: mailbox lookup (GetMailbox), control file ZEL.CTL, automatic reply,
// forwarding (module autoreply), then a copy into the mailbox unless the
// user discards mail. A failure becomes a failure report (ndreport); a
// failing postmaster without return path becomes a dead letter.
//
// The module also holds the routines that every writer of generated
// messages uses: the header reader (ObtainMessageHeaders), the copier of a
// message into another (AppendMessageToFile) and GeneratedMessage, which
// writes a message file and its recipient file into `incoming` all or
// nothing, durable before the recipient file appears.
//
// Untrusted input: recipient names and message files come from the network;
// control files and reply files from users. Every line and field read is
// bounded; a user name reaches the file system only after GetMailbox found
// it as an account.
//
// Threads: the alias map is written only by LoadAliasConfig during start
// and read without a lock afterwards. Delivery runs on the scanning thread
// and on domain delivery threads at once; it keeps no state, and mailbox
// copies need no lock (each is made under a name that did not exist).
//
// Failures: delivery failures become reports or stay for the next pass (a
// recipient is marked disposed only when its work is done); events 128
// (held message missing) and 134 (automatic reply failed) are reported.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/smtputil.h"
#include "platform/textfile.h"

// The alias map's registry key, and the bound of its walk (subkeys are
// numbered from 1; a map longer than this is a mistake, not a list).
constexpr const char *kAliasesKey = "Software\\TALVO\\ZEL\\Aliases";
constexpr const char *kAliasesSubkey = "Aliases";
constexpr int kMaxAliasEntries = 100000;
// Mask and Result are 129-byte fields.
constexpr size_t kMaxAliasField = 128;

// Files of a mailbox directory.
constexpr const char *kControlFileName = "ZEL.CTL";
constexpr const char *kAutoReplyFileName = "AUTORPLY.TXT";
constexpr const char *kNoReplyFileName = "NOREPLY.TXT";
constexpr const char *kRepliedFileName = "REPLIED.TXT";

// A local user name is taken from the first 127 characters of a recipient.
constexpr size_t kMaxLocalUserName = 127;
// Copies 0 to 9 of one message may exist in one mailbox.
constexpr int kMaxMailboxCopies = 10;
// The failure text of a system error is bounded like a path.
constexpr size_t kMaxFailureText = 260;
// An address formed for a header (user's address, postmaster address).
constexpr size_t kMaxHeaderAddress = 512;

// A header field of any length used to be read whole; a field longer than
// this (64 KiB, far beyond any real address list or subject) is cut and
// the rest of it skipped.
constexpr size_t kMaxHeaderField = 64 * 1024;
// Lines copied from a message file into another message.
constexpr size_t kMaxCopyLine = 1023;
// AppendMessageToFile's body limit that means "no limit".
constexpr long kNoBodyLimit = -1;

// Local delivery results.
constexpr int kDeliveryOk = 0;
constexpr int kDeliveryNoAccount = 1;
constexpr int kDeliveryNoHome = 2;
constexpr int kDeliveryNoMailbox = 3;
constexpr int kDeliveryAccessDenied = 5;
constexpr int kDeliveryDiskFull = 6;
constexpr int kDeliveryTooManyCopies = 7;
constexpr int kDeliveryMessageMissing = 8;
constexpr int kDeliverySystemError = 9;

// One alias: a WildMatch pattern for the unquoted local part, and its
// replacement ("*" in front stands for the local part as received).
struct _tMapTable {
  std::string Mask;
  std::string Result;
};

extern std::vector<_tMapTable> LocalUserAliasMap;
extern int CurrentAliasConfigVersion;

// Frees the map and reads it again from the registry; at service start,
// after the global configuration. Entries 1, 2, 3 ... until the first
// missing subkey or the first subkey without a readable "Alias".
void LoadAliasConfig();
void FreeAliasMap();

// Resolves every recipient in place: Name, OriginalAddress, bIsLocalUser.
void AliasFilter(_tMsgInfo &info);

// The queue walker's callback: delivers every recipient not yet disposed
// and sets bDisposed for those finished. True when all are disposed.
bool DeliverToLocalUsers(_tMsgInfo &info, void *context);

// The user name of a recipient: its local part (first 127 characters),
// unquoted, in lower case.
std::string LocalUserName(const char *Name);

// Delivers to one user (mailbox lookup, reply, forward, copy; report or
// dead letter on failure) and sets rcp.bDisposed. Returns the local
// delivery result.
int DeliverToLocalUser(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName);

// Copies the held message into mailbox under the first free copy name and
// makes it durable. Returns the local delivery result; error gets the
// system error of a failure.
int DeliverToUserMailbox(const _tMsgInfo &info, const std::string &mailbox, long &error);

// The failure text of a local delivery result (the system's text for error
// after the fixed words of result 9), at most kMaxFailureText characters.
std::string LocalDeliveryFailureText(int result, long error);

// The held message of info: copy 0 in the holding directory.
std::string HeldMessagePath(const _tMsgInfo &info);

// name + "@" + the local host name when name has no "@" after its local
// part; at most kMaxHeaderAddress characters.
std::string QualifiedAddress(std::string_view name);

// "TRUE"/"YES"/"1" true, "FALSE"/"NO"/"0" false (any case), else def.
bool BoolFromString(std::string_view value, bool def);

// mailbox + "/" + name.
std::string MailboxFilePath(const std::string &mailbox, const char *name);

// Reads the header of a message file: the values of the wanted fields (a
// null pointer: not wanted), each without the field name, the blanks after
// the colon and the final line end; continuation lines keep their line
// ends. A field that occurs more than once: the last one counts. Absent:
// the optional stays empty. False when the file cannot be opened or read.
bool ObtainMessageHeaders(const std::string &path, std::optional<std::string> *From,
                          std::optional<std::string> *To, std::optional<std::string> *Cc,
                          std::optional<std::string> *ReplyTo, std::optional<std::string> *Subject,
                          std::optional<std::string> *Sender);

// Copies a message file into stream (a message being written): the header
// whole, the body up to bodyLimit bytes (kNoBodyLimit: all), then the
// truncation line; the "." end line is not copied. A missing file gives
// "Original message not available.\n". False on a write error.
bool AppendMessageFileToFile(const std::string &path, long bodyLimit, TextFile &stream);
// The same for the held message of info.
bool AppendMessageToFile(const _tMsgInfo &info, long bodyLimit, TextFile &stream);

// One line of a text file without its "\n"; at most maxChars characters of
// it are kept and the rest of the line is skipped. False at the end of the
// file or on a read error.
bool ReadBoundedLine(TextFile &f, std::string &line, size_t maxChars);

// Text placed into a header line of a generated message: control characters
// (CR and LF above all) would start a header line of their own, so text
// holding any is refused.
bool IsSafeHeaderText(std::string_view text);

// Writes text into the body of a message being written, unchanged but for
// the extra "." of SMTP transparency in front of every line that begins
// with "." (a reason from a remote server must not end the message early).
bool WriteBodyText(TextFile &stream, std::string_view text);

// A message that the delivery agent writes into `incoming`. Create() makes
// the message file (CreateMessageFile) and its identifier (the file's base
// name + "@" + host); the caller writes the text into Stream(), ending with
// "\n.\n"; Queue() makes the text durable, then writes the recipient file
// (CreateRecipientFile), so the pair appears whole or not at all. Until
// Queue() succeeds the destructor deletes the message file. One owner.
class GeneratedMessage {
 public:
  GeneratedMessage() = default;
  ~GeneratedMessage();
  GeneratedMessage(const GeneratedMessage &) = delete;
  GeneratedMessage &operator=(const GeneratedMessage &) = delete;

  bool Create(std::string_view hostName);
  TextFile &Stream() { return stream_; }
  const std::string &MessageId() const { return messageId_; }
  const std::string &FileName() const { return fileName_; }
  // returnPath may be empty; recipients in the order of the file.
  bool Queue(std::string_view returnPath, const std::vector<std::string> &recipients);
  // Deletes the message file now (a loop found half-way, say).
  void Discard();

 private:
  TextFile stream_;
  std::string fileName_;
  std::string messageId_;
  bool queued_ = false;
};
