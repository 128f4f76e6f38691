// spoolqueue: see spoolqueue.h.
#include "common/spoolqueue.h"

#include <algorithm>
#include <climits>
#include <unordered_map>
#include <unordered_set>

#include "common/fileutils.h"
#include "common/smtputil.h"
#include "common/str.h"
#include "common/zel.h"
#include "platform/ascii.h"
#include "platform/fileview.h"
#include "platform/lockfile.h"
#include "platform/textfile.h"

namespace {

constexpr long long kSecondsPerMinute = 60;
// A record line is read up to this many characters, as the agent reads it.
constexpr size_t kMaxRecordLine = 511;
constexpr std::string_view kBlanks = " \t\r\n";

std::string_view Trimmed(std::string_view s) {
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

std::string BaseOf(const std::string &fileName) {
  return fileName.substr(0, fileName.rfind('.'));
}

std::string DomainOf(std::string_view address) {
  size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string() : LowerAsciiCopy(address.substr(at + 1));
}

bool ReadRecordSummary(const std::string &dir, DomainRecordSummary &out) {
  TextFile f;
  if (!f.Open(dir + "/" + kDomainRecordName, "r")) return false;
  std::string text;
  f.ReadAll(text, kMaxRecordSummaryBytes);
  ParseDomainRecordSummary(text, out);
  return true;
}

struct Gatherer {
  const QueuePaths &paths;
  std::string_view onlyId;
  size_t maxFiles;
  QueueListing &out;
  std::unordered_map<std::string, size_t> index;   // identifier -> message

  QueuedMessage &MessageOf(const std::string &id) {
    auto [it, fresh] = index.emplace(id, out.Messages.size());
    if (fresh) {
      out.Messages.emplace_back();
      out.Messages.back().Id = id;
    }
    return out.Messages[it->second];
  }

  // The recipient files of one directory; template_ gives the fields that
  // all of its recipients share.
  bool ReadDirectory(const std::string &dir, const QueuedRecipient &template_) {
    std::vector<std::string> names;
    if (!onlyId.empty()) {
      std::string name = std::string(onlyId) + ".RCP";
      if (FileExists(dir + "/" + name)) names.push_back(name);
    } else if (!ListDirectory(dir, ".RCP", ListKind::kFiles, maxFiles, names)) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;   // gone meanwhile
      if (GetLastError() != ERROR_MORE_DATA) return false;
      out.Cut = true;
    }
    for (const std::string &name : names) {
      TextFile f;
      MsgInfoPtr info;
      if (f.Open(dir + "/" + name, "r")) info = ReadMsgInfo(f);
      if (!info) {
        // Delivered and removed since the listing is not a fault.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ++out.Unreadable;
        continue;
      }
      QueuedMessage &m = MessageOf(BaseOf(name));
      if (m.Recipients.empty()) m.ReturnPath = info->ReturnPath;
      // The reader's list runs backwards through the file.
      size_t first = m.Recipients.size();
      for (const _tRcpInfo *r = info->Rcp; r != nullptr; r = r->Next) {
        QueuedRecipient q = template_;
        q.Address = r->Name;
        if (q.Incoming) q.Queue = DomainOf(q.Address);
        m.Recipients.push_back(std::move(q));
      }
      std::reverse(m.Recipients.begin() + static_cast<long>(first), m.Recipients.end());
    }
    return true;
  }

  bool ReadQueues() {
    std::vector<std::string> dirs;
    if (!ListDirectory(paths.Domains, "", ListKind::kDirectories, maxFiles, dirs)) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
      if (GetLastError() != ERROR_MORE_DATA) return false;
      out.Cut = true;
    }
    std::sort(dirs.begin(), dirs.end());
    for (const std::string &d : dirs) {
      std::string dir = paths.Domains + "/" + d;
      QueuedRecipient shared;
      if (d != kLocalQueueName) {
        shared.Queue = CreateDomainNameFromDirectoryName(d);
        DomainRecordSummary record;
        ReadRecordSummary(dir, record);
        shared.Tries = record.TryNumber;
        shared.LastError = record.LastError;
        // A fresh domain is due a minute after it is seen; a retry request
        // makes it due at the next scan.
        if (!FileExists(dir + "/" + kRetryRequestName))
          shared.NextTry = NextRetryTime(record.LastTried, record.TryNumber);
      }
      if (!ReadDirectory(dir, shared)) return false;
    }
    return true;
  }

  void ReadMessageFiles() {
    // One listing of the markers costs less than a look for each message.
    std::vector<std::string> names;
    if (onlyId.empty())
      ListDirectory(paths.Holding, kHoldMarkerExtension, ListKind::kFiles, maxFiles, names);
    else if (FileExists(HoldMarkerPath(paths.Holding, onlyId)))
      names.push_back(std::string(onlyId) + kHoldMarkerExtension);
    std::unordered_set<std::string> held;
    for (const std::string &name : names) held.insert(BaseOf(name));
    for (QueuedMessage &m : out.Messages) {
      m.Held = held.count(m.Id) != 0;
      bool incoming = !m.Recipients.empty() && m.Recipients.front().Incoming;
      std::string path = (incoming ? paths.Incoming : paths.Holding) + "/" + m.Id + ".MSG";
      if (!GetFileSizeByName(path, &m.Size)) m.Size = 0;
      if (!FileModifiedTime(path, m.Queued)) m.Queued = 0;
    }
  }
};

}  // namespace

bool IsQueueId(std::string_view id) {
  if (id.empty() || id.size() > kMaxQueueId) return false;
  for (char c : id)
    if (!(c >= '0' && c <= '9') && !(LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z') && c != '-' &&
        c != '_')
      return false;
  return true;
}

std::string HoldMarkerPath(const std::string &holdingDir, std::string_view id) {
  return holdingDir + "/" + std::string(id) + kHoldMarkerExtension;
}

long LockRecipientFile(const std::string &path, long long timeoutMs, UniqueFd &lock) {
  int fd = -1;
  long rc = LockExistingFileWithin(path, timeoutMs, &fd);
  lock.Reset(fd);
  return rc;
}

long long NextRetryTime(long long lastTried, int tryNumber) {
  if (tryNumber >= RetryScheduleLength) return 0;
  int index = std::max(tryNumber, 0);
  // An interval of 0 would have the domain threads spin on one domain.
  long long minutes = std::max(RetrySchedule[index].RetryInterval, 1);
  return lastTried + kSecondsPerMinute * minutes;
}

void ParseDomainRecordSummary(std::string_view text, DomainRecordSummary &out) {
  text = text.substr(0, kMaxRecordSummaryBytes);
  while (!text.empty()) {
    size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = Trimmed(text.substr(0, std::min(end, kMaxRecordLine)));
    text.remove_prefix(std::min(end + 1, text.size()));
    size_t gap = std::min(line.find_first_of(kBlanks), line.size());
    std::string_view keyword = line.substr(0, gap), value = Trimmed(line.substr(gap));
    if (EqualsNoCase(keyword, "Last-tried:"))
      out.LastTried = LeadingInteger(value, 0, LLONG_MAX / 2);
    else if (EqualsNoCase(keyword, "Try-number:"))
      out.TryNumber = static_cast<int>(LeadingInteger(value, 0, INT_MAX));
    else if (EqualsNoCase(keyword, "Last-error:"))
      out.LastError = BoundedCopy(value, kMaxLastErrorText);
  }
}

bool ListQueue(const QueuePaths &paths, std::string_view onlyId, size_t maxFiles,
               QueueListing &out) {
  out = QueueListing{};
  Gatherer g{paths, onlyId, maxFiles, out, {}};
  QueuedRecipient incoming;
  incoming.Incoming = true;
  if (!g.ReadDirectory(paths.Incoming, incoming) || !g.ReadQueues()) return false;
  g.ReadMessageFiles();
  std::sort(out.Messages.begin(), out.Messages.end(),
            [](const QueuedMessage &a, const QueuedMessage &b) { return a.Id < b.Id; });
  return true;
}
