// smtputil: message files and recipient files, the two files of a queued
// message, and the routines that create generated messages.
//
// A message file ("<id>.MSG") holds the message as carried by SMTP DATA,
// CR LF line ends, transparency dots kept, ending with the "." line. A
// recipient file ("<id>.RCP") holds its envelope as text lines:
//
//   Message-ID: <B0000000042@mail.example.org>
//   Body-8Bit: TRUE                      (only for an 8-bit body: declared
//                                         with BODY=8BITMIME, or a byte
//                                         above 127 seen in the data; files
//                                         of older versions have it only
//                                         when declared)
//   Junk: TRUE                           (only when the receiver's DMARC check
//                                         says quarantine: local copies go
//                                         into the Junk folder)
//   Return-path: sender@example.net      (empty for the null sender)
//   Recipient: user@example.org
//   Original-Address: alias@example.org  (belongs to the Recipient before it)
//
// Recipient files are read from the spool, which another process writes:
// every line is bounded, every field cut to its record size, unknown lines
// ignored. A reader rebuilds the recipient list by pushing each entry at the
// front, so it sees the recipients in the reverse order of the file.
//
// Records belong to their caller; a _tMsgInfo frees its recipients when it
// is destroyed (FreeMsgInfo for the explicit form). No routine keeps state;
// all are safe to call from several threads on different files.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "platform/textfile.h"

// Field sizes of the records, from the recipient file format.
// Recipient files are written under a hidden temporary name of this prefix
// and renamed when whole; scans by suffix never see one, and one left in a
// queue directory is from a write that a crash interrupted.
constexpr std::string_view kRecipientTempPrefix = ".rcp-";
// The same for a message file that the receiver is still writing, where
// the file system cannot keep it nameless until it is whole.
constexpr std::string_view kMessageTempPrefix = ".msg-";
// Permissions of the files the services write into the spool: mail is
// nobody else's business.
constexpr mode_t kSpoolFileMode = 0600;

constexpr size_t kMaxMessageId = 288;
constexpr size_t kMaxReturnPath = 512;
constexpr size_t kMaxRecipientName = 128;
// A recipient file line that the writers can produce fits in this bound
// (the longest is a full return path behind its field name); the rest of a
// longer line is skipped, never read as a line of its own.
constexpr size_t kMaxRecipientFileLine = 1024;
// A generated message identifier text ("<id@host>" without the brackets).
constexpr size_t kMaxMessageIdText = 280;

struct _tRcpInfo {
  _tRcpInfo *Next = nullptr;
  int bIsLocalUser = 0;
  int bDisposed = 0;
  char Name[kMaxRecipientName + 1] = {};
  char OriginalAddress[kMaxRecipientName + 1] = {};
};

struct _tMsgInfo {
  char MessageId[kMaxMessageId + 1] = {};
  char ReturnPath[kMaxReturnPath + 1] = {};
  int bChanged = 0;
  int b8Bit = 0;
  int bJunk = 0;   // local copies go into the Junk folder
  _tRcpInfo *Rcp = nullptr;
  void *Temp1 = nullptr;
  void *Temp2 = nullptr;
  void *Temp3 = nullptr;

  _tMsgInfo() = default;
  _tMsgInfo(const _tMsgInfo &) = delete;
  _tMsgInfo &operator=(const _tMsgInfo &) = delete;
  ~_tMsgInfo();
};

struct MsgInfoDeleter {
  void operator()(_tMsgInfo *info) const;
};
typedef std::unique_ptr<_tMsgInfo, MsgInfoDeleter> MsgInfoPtr;

// Frees the record and its recipients.
void FreeMsgInfo(_tMsgInfo *info);

// Adds a recipient at the front of the list (the reader's order).
_tRcpInfo *PushRecipient(_tMsgInfo &info, std::string_view name, std::string_view original);

// Unlinks and frees the recipients marked disposed.
void RemoveDisposedRecipients(_tMsgInfo &info);

// Parses an open recipient file. None on a read error. A file without a
// "Message-ID:" line gives a record whose MessageId is empty: callers treat
// it as invalid.
MsgInfoPtr ReadMsgInfo(TextFile &stream);

// Rewinds the stream and writes the record: Message-ID, Return-path when not
// empty, then the recipients that are not disposed, in list order; disposed
// ones are removed from the list and freed. The file is cut behind the new
// content. False when a write failed.
bool WriteMsgInfo(TextFile &stream, _tMsgInfo &info);

// Writes a complete recipient file (with Body-8Bit and Original-Address
// lines) so that it appears under FileName only when whole and durable,
// and belongs to the directory's owner when root writes it into another
// account's directory. False on any failure; nothing is left behind then.
bool CreateRecipientFile(const _tMsgInfo &info, const std::string &FileName);

// DirName ("" for none) + "/" + MessageId up to its first "@" + ("-" + index
// when index > 0) + ".MSG", cut to dwDestLen - 1 characters.
std::string CreateFileNameFromMessageId(const std::string &DirName, std::string_view MessageId,
                                        int index, size_t dwDestLen);

// A new message file in the incoming directory (MailQueueDirectory), named
// with a new identifier, open for writing in text mode. False when ten
// attempts failed; FileName then is empty.
bool CreateMessageFile(TextFile &stream, std::string &FileName);

// The base name of FileName up to its first "." + "@" + HostName, at most
// kMaxMessageIdText characters (and LenMessageId - 1).
std::string CreateMessageIdFromFileName(const std::string &FileName, std::string_view HostName,
                                        size_t LenMessageId);

// Writes the common header lines of a generated message, each only when
// given (null): To, Subject, From, Sender, Message-Id, and always Date.
bool WriteCommonHeaders(TextFile &stream, const char *To, const char *Subject, const char *From,
                        const char *Sender, const char *MessageId);

// The date and zone of a header line: "Mon, 7 Dec 2026 09:12:01 +0100"
// (English names whatever the locale). dayWithZero gives "07" as the
// receiver writes it.
std::string FormatHeaderDate(time_t when, bool dayWithZero);
// The zone offset as "+hhmm"/"-hhmm" for an offset in minutes east of UTC.
std::string FormatZoneOffset(int offsetMinutes);
