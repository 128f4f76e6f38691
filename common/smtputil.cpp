// smtputil: see smtputil.h.
#include "common/smtputil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/rfc822parse.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "zelbase/zelbase.h"

namespace {

constexpr int kMessageFileAttempts = 10;
constexpr DWORD kMsgIdWaitMs = 1000;
constexpr size_t kMsgIdBuffer = 32;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value behind a field name, or npos when the line is not that field.
size_t FieldValue(std::string_view line, std::string_view field) {
  if (!StartsWithNoCase(line, field)) return std::string_view::npos;
  size_t pos = field.size();
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  return pos;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

void CopyField(char *dst, size_t size, std::string_view value) {
  size_t n = std::min(value.size(), size - 1);
  memcpy(dst, value.data(), n);
  dst[n] = '\0';
}

void ReadMessageIdValue(_tMsgInfo &info, std::string_view v) {
  if (!v.empty() && v[0] == '<') v.remove_prefix(1);
  size_t end = 0;
  while (end < v.size() && !IsBlank(v[end]) && v[end] != '>') ++end;
  CopyField(info.MessageId, sizeof info.MessageId, v.substr(0, end));
}

bool IsTrueValue(std::string_view v) {
  return StartsWithNoCase(v, "TRUE") || StartsWithNoCase(v, "YE") || StartsWithNoCase(v, "1");
}

// Reads one whole line of at most kMaxRecipientFileLine characters; the rest
// of a longer line is skipped. False at the end or on error.
bool ReadRecipientLine(TextFile &stream, std::string &line) {
  if (!stream.GetLine(line, kMaxRecipientFileLine)) return false;
  if (line.back() == '\n') return true;
  std::string rest;
  while (stream.GetLine(rest, kMaxRecipientFileLine) && rest.back() != '\n') {
  }
  return true;
}

void ClassifyLine(_tMsgInfo &info, std::string_view line) {
  size_t v;
  if ((v = FieldValue(line, "Message-ID:")) != std::string_view::npos) {
    ReadMessageIdValue(info, TrimRight(line.substr(v)));
  } else if ((v = FieldValue(line, "Body-8Bit:")) != std::string_view::npos) {
    info.b8Bit = IsTrueValue(line.substr(v)) ? 1 : 0;
  } else if ((v = FieldValue(line, "Junk:")) != std::string_view::npos) {
    info.bJunk = IsTrueValue(line.substr(v)) ? 1 : 0;
  } else if ((v = FieldValue(line, "Return-path:")) != std::string_view::npos) {
    CopyField(info.ReturnPath, sizeof info.ReturnPath, TrimRight(line.substr(v)));
  } else if ((v = FieldValue(line, "Recipient:")) != std::string_view::npos) {
    PushRecipient(info, TrimRight(line.substr(v)), "");
  } else if ((v = FieldValue(line, "Original-Address:")) != std::string_view::npos) {
    // It belongs to the Recipient line before it, which is now at the front.
    if (info.Rcp != nullptr)
      CopyField(info.Rcp->OriginalAddress, sizeof info.Rcp->OriginalAddress,
                TrimRight(line.substr(v)));
  }
}

bool WriteRecipientLines(TextFile &f, const _tMsgInfo &info, bool full) {
  f.Printf("Message-ID: <%s>\n", info.MessageId);
  if (full && info.b8Bit) f.Write("Body-8Bit: TRUE\n");
  // Kept in every rewrite: a recipient left for later still goes to Junk.
  if (info.bJunk) f.Write("Junk: TRUE\n");
  if (full || info.ReturnPath[0] != '\0') f.Printf("Return-path: %s\n", info.ReturnPath);
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    if (r->bDisposed) continue;
    f.Printf("Recipient: %s\n", r->Name);
    if (full && r->OriginalAddress[0] != '\0')
      f.Printf("Original-Address: %s\n", r->OriginalAddress);
  }
  return !f.Error();
}

const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

_tMsgInfo::~_tMsgInfo() {
  // Iterative, so a long list never deepens the stack.
  while (Rcp != nullptr) {
    _tRcpInfo *next = Rcp->Next;
    delete Rcp;
    Rcp = next;
  }
}

void MsgInfoDeleter::operator()(_tMsgInfo *info) const { delete info; }

void FreeMsgInfo(_tMsgInfo *info) { delete info; }

_tRcpInfo *PushRecipient(_tMsgInfo &info, std::string_view name, std::string_view original) {
  auto *r = new _tRcpInfo;
  CopyField(r->Name, sizeof r->Name, name);
  CopyField(r->OriginalAddress, sizeof r->OriginalAddress, original);
  r->bIsLocalUser = *SkipLocalAddressPart(r->Name) != '@' ? 1 : 0;
  r->Next = info.Rcp;
  info.Rcp = r;
  return r;
}

void RemoveDisposedRecipients(_tMsgInfo &info) {
  _tRcpInfo **link = &info.Rcp;
  while (*link != nullptr) {
    _tRcpInfo *r = *link;
    if (r->bDisposed) {
      *link = r->Next;
      delete r;
    } else {
      link = &r->Next;
    }
  }
}

MsgInfoPtr ReadMsgInfo(TextFile &stream) {
  MsgInfoPtr info(new _tMsgInfo);
  std::string line;
  while (ReadRecipientLine(stream, line)) ClassifyLine(*info, line);
  if (stream.Error()) return nullptr;
  return info;
}

bool WriteMsgInfo(TextFile &stream, _tMsgInfo &info) {
  RemoveDisposedRecipients(info);
  if (!stream.Rewind()) return false;
  WriteRecipientLines(stream, info, false);
  return stream.TruncateHere() && stream.Flush();
}

bool CreateRecipientFile(const _tMsgInfo &info, const std::string &FileName) {
  // The name appears only for a whole, durable file.
  DurableFile f;
  if (!f.Create(FileName, kRecipientTempPrefix, kSpoolFileMode)) return false;
  // Root rewriting a queue of the service account's (the delivery agent's
  // remote side) leaves it a file the account can still read.
  GiveToDirectoryOwner(f.Stream().Fd(), FileName.substr(0, FileName.rfind('/')));
  return WriteRecipientLines(f.Stream(), info, true) && f.Publish();
}

std::string CreateFileNameFromMessageId(const std::string &DirName, std::string_view MessageId,
                                        int index, size_t dwDestLen) {
  std::string dest;
  if (!DirName.empty()) dest = DirName + "/";
  dest.append(MessageId.substr(0, MessageId.find('@')));
  if (index > 0) dest += "-" + std::to_string(index);
  dest += ".MSG";
  if (dwDestLen > 0) CutText(dest, dwDestLen - 1);
  return dest;
}

bool CreateMessageFile(TextFile &stream, std::string &FileName) {
  FileName.clear();
  for (int attempt = 0; attempt < kMessageFileAttempts; ++attempt) {
    char id[kMsgIdBuffer];
    if (!CreateUniqueMsgId(id, sizeof id, kMsgIdWaitMs)) continue;
    std::string path = MailQueueDirectory + "/" + id + ".MSG";
    int fd = CreateNewFile(path);
    if (fd < 0) continue;
    stream.Attach(fd, "w");
    FileName = path;
    return true;
  }
  return false;
}

std::string CreateMessageIdFromFileName(const std::string &FileName, std::string_view HostName,
                                        size_t LenMessageId) {
  size_t slash = FileName.rfind('/');
  std::string base = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  base = base.substr(0, base.find('.'));
  std::string id = base + "@" + std::string(HostName);
  CutText(id, kMaxMessageIdText);
  if (LenMessageId > 0) CutText(id, LenMessageId - 1);
  return id;
}

std::string FormatZoneOffset(int offsetMinutes) {
  // The sign belongs to the whole offset: half an hour west is "-0030".
  char buf[16];
  int a = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  snprintf(buf, sizeof buf, "%c%2.2d%2.2d", offsetMinutes < 0 ? '-' : '+', a / 60, a % 60);
  return buf;
}

std::string FormatHeaderDate(time_t when, bool dayWithZero) {
  struct tm tm {};
  bool isLocal = false;
  if (!GetBrokenDownTime(when, tm, isLocal)) return "";
  int offset = 0;
  if (isLocal && !GetUtcOffsetMinutes(when, offset)) offset = 0;
  char buf[64];
  snprintf(buf, sizeof buf, dayWithZero ? "%s, %02d %s %d %02d:%02d:%02d " : "%s, %d %s %d %02d:%02d:%02d ",
           kDays[tm.tm_wday % 7], tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return std::string(buf) + FormatZoneOffset(offset);
}

bool WriteCommonHeaders(TextFile &stream, const char *To, const char *Subject, const char *From,
                        const char *Sender, const char *MessageId) {
  if (To != nullptr) stream.Printf("To: %s\n", To);
  if (Subject != nullptr) stream.Printf("Subject: %s\n", Subject);
  if (From != nullptr) stream.Printf("From: %s\n", From);
  if (Sender != nullptr) stream.Printf("Sender: %s\n", Sender);
  if (MessageId != nullptr)
    stream.Printf(MessageId[0] == '<' ? "Message-Id: %s\n" : "Message-Id: <%s>\n", MessageId);
  stream.Printf("Date: %s\n", FormatHeaderDate(time(nullptr), false).c_str());
  return !stream.Error();
}
