// queuecmd: see queuecmd.h.
#include "tools/zeladm/queuecmd.h"

#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/smtputil.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/textfile.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/statuscmd.h"
#include "zelbase/zelbase.h"

namespace {

// Recipient files read per directory; more are left out and the listing
// says so.
constexpr size_t kMaxListedFiles = 1000000;
// The message header that show prints: at most this much of the file.
constexpr size_t kMaxShownHeaderBytes = 16 * 1024;
constexpr size_t kMaxShownHeaderLines = 200;
// A delivery in progress holds a recipient file's lock for one message
// transfer; delete waits that long at most.
constexpr long long kDeleteWaitMs = 120 * 1000;
// A pick-up from incoming under way during the first sweep has filed its
// recipient files by the second, this much later.
constexpr DWORD kSecondSweepMs = 100;
// The receiver and the agent hold the incoming lock for moments.
constexpr int kIncomingLockMs = 20000;

QueuePaths Paths() {
  SetConfigDefaults();
  LoadCriticalConfig();
  LoadGeneralConfigMain(kDomainListBytes);   // the retry schedule
  return QueuePaths{SpoolPath(kIncomingDir), SpoolPath(kHoldingDir), SpoolPath(kDomainsDir)};
}

std::string NextTryText(long long next, long long now) {
  if (next <= now) return "now";
  return "in " + AdmDurationText(next - now);
}

std::string QueueName(const QueuedRecipient &r) {
  if (r.Incoming) return "incoming";
  return r.Queue.empty() ? "local" : r.Queue;
}

void PrintRecipient(const QueuedRecipient &r, long long now) {
  std::printf("    %s  [%s]", AdmPrintable(r.Address).c_str(), AdmPrintable(QueueName(r)).c_str());
  if (!r.Incoming && !r.Queue.empty())
    std::printf(" tries %d, next try %s", r.Tries, NextTryText(r.NextTry, now).c_str());
  std::printf("\n");
  if (!r.LastError.empty()) std::printf("      last error: %s\n", AdmPrintable(r.LastError).c_str());
}

void PrintMessageLine(const QueuedMessage &m, long long now) {
  std::printf("%-14s %10llu  %-8s  <%s>%s\n", m.Id.c_str(),
              static_cast<unsigned long long>(m.Size),
              m.Queued == 0 ? "?" : AdmDurationText(now - m.Queued).c_str(),
              AdmPrintable(m.ReturnPath).c_str(), m.Held ? "  (held)" : "");
}

bool Load(const QueuePaths &paths, std::string_view onlyId, QueueListing &listing) {
  if (ListQueue(paths, onlyId, kMaxListedFiles, listing)) return true;
  AdmFailed("cannot read the queue in " + AdmPrintable(MailSpoolDirectory), GetLastError());
  return false;
}

void PrintListingNotes(const QueueListing &listing) {
  if (listing.Unreadable > 0)
    std::fprintf(stderr, "zeladm: %zu recipient files could not be read\n", listing.Unreadable);
  if (listing.Cut)
    std::fprintf(stderr, "zeladm: the queue holds more than %zu files in a directory; "
                 "only that many are listed\n", kMaxListedFiles);
}

int RunList(int argc, char **argv) {
  bool json = argc == 2 && std::string_view(argv[1]) == "--json";
  if (argc == 2 && !json) return AdmUsage("unknown option \"" + AdmPrintable(argv[1]) + "\"");
  QueuePaths paths = Paths();
  QueueListing listing;
  if (!Load(paths, "", listing)) return kAdmExitFailure;
  long long now = static_cast<long long>(time(nullptr));
  PrintListingNotes(listing);
  if (json) {
    std::fputs(QueueListingJson(listing, now).c_str(), stdout);
    return kAdmExitOk;
  }
  if (listing.Messages.empty()) {
    std::printf("The queue is empty.\n");
    return kAdmExitOk;
  }
  std::printf("%-14s %10s  %-8s  %s\n", "Identifier", "Size", "Age", "Return path");
  unsigned long long bytes = 0;
  size_t recipients = 0, held = 0;
  for (const QueuedMessage &m : listing.Messages) {
    PrintMessageLine(m, now);
    for (const QueuedRecipient &r : m.Recipients) PrintRecipient(r, now);
    bytes += m.Size;
    recipients += m.Recipients.size();
    held += m.Held ? 1 : 0;
  }
  std::printf("-- %zu messages (%zu held), %zu recipients, %llu bytes\n",
              listing.Messages.size(), held, recipients, bytes);
  return kAdmExitOk;
}

// The identifier argument, checked; prints the usage error when malformed.
bool CheckId(const char *id) {
  if (IsQueueId(id)) return true;
  AdmUsage("not a message identifier: \"" + AdmPrintable(id) + "\"");
  return false;
}

int NotQueued(const char *id) {
  std::fprintf(stderr, "zeladm: no queued message %s\n", id);
  return kAdmExitFailure;
}

void PrintHeader(const std::string &path) {
  TextFile f;
  std::string text;
  // A longer message gives its first pieces, which is all that is shown.
  if (!f.Open(path, "r") || (!f.ReadAll(text, kMaxShownHeaderBytes) && f.Error())) {
    std::printf("  (the message file cannot be read: %s)\n", AdmErrorText(GetLastError()).c_str());
    return;
  }
  size_t lines = 0, pos = 0;
  while (pos < text.size() && lines < kMaxShownHeaderLines) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;   // a line cut by the bound
    std::string_view line(text.data() + pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;   // the end of the header
    std::printf("  %s\n", AdmPrintable(line).c_str());
    ++lines;
    pos = end + 1;
  }
  std::printf("  ...\n");
}

int RunShow(int argc, char **argv) {
  if (!CheckId(argv[1])) return kAdmExitUsage;
  QueuePaths paths = Paths();
  QueueListing listing;
  if (!Load(paths, argv[1], listing)) return kAdmExitFailure;
  if (listing.Messages.empty()) return NotQueued(argv[1]);
  const QueuedMessage &m = listing.Messages.front();
  long long now = static_cast<long long>(time(nullptr));
  std::printf("Message %s%s\n  size %llu bytes, queued %s ago\n  return path <%s>\n", m.Id.c_str(),
              m.Held ? " (held)" : "", static_cast<unsigned long long>(m.Size),
              m.Queued == 0 ? "?" : AdmDurationText(now - m.Queued).c_str(),
              AdmPrintable(m.ReturnPath).c_str());
  std::printf("Recipients still to do\n");
  for (const QueuedRecipient &r : m.Recipients) PrintRecipient(r, now);
  std::printf("Header\n");
  bool incoming = !m.Recipients.empty() && m.Recipients.front().Incoming;
  PrintHeader((incoming ? paths.Incoming : paths.Holding) + "/" + m.Id + ".MSG");
  return kAdmExitOk;
}

int RunRetry(int argc, char **argv) {
  QueuePaths paths = Paths();
  std::vector<std::string> dirs;
  if (argc == 1) {
    if (!ListDirectory(paths.Domains, "", ListKind::kDirectories, kMaxListedFiles, dirs) &&
        GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_MORE_DATA)
      return AdmFailed("cannot read " + AdmPrintable(paths.Domains), GetLastError());
    std::erase(dirs, std::string(kLocalQueueName));   // tried at every scan anyway
    for (std::string &d : dirs) d = paths.Domains + "/" + d;
  }
  int status = kAdmExitOk;
  for (int i = 1; i < argc; ++i) {
    std::string dir;
    if (argv[i][0] == '\0' || !QueueDirectoryName(paths.Domains, argv[i], dir)) {
      status = AdmUsage("not a domain: \"" + AdmPrintable(argv[i]) + "\"");
    } else if (!DirectoryExists(dir)) {
      std::fprintf(stderr, "zeladm: nothing queued for %s\n", AdmPrintable(argv[i]).c_str());
      if (status == kAdmExitOk) status = kAdmExitFailure;
    } else {
      dirs.push_back(dir);
    }
  }
  size_t asked = 0;
  for (const std::string &dir : dirs) {
    std::string marker = dir + "/" + kRetryRequestName;
    if (CreateFileWithText(marker, "", kSpoolFileMode) || GetLastError() == ERROR_FILE_EXISTS) {
      ++asked;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {   // a queue finished meanwhile
      status = AdmFailed("cannot write " + AdmPrintable(marker), GetLastError());
    }
  }
  std::printf("retry asked for %zu domain queue%s; the delivery agent tries them at its next "
              "scan\n", asked, asked == 1 ? "" : "s");
  return status;
}

// Holds or releases each identifier's message.
int RunHoldOrRelease(int argc, char **argv, bool hold) {
  for (int i = 1; i < argc; ++i)
    if (!CheckId(argv[i])) return kAdmExitUsage;
  QueuePaths paths = Paths();
  int status = kAdmExitOk;
  for (int i = 1; i < argc; ++i) {
    QueueListing listing;
    if (!Load(paths, argv[i], listing)) return kAdmExitFailure;
    if (listing.Messages.empty()) {
      status = NotQueued(argv[i]);
      continue;
    }
    std::string marker = HoldMarkerPath(paths.Holding, argv[i]);
    bool done = hold ? CreateFileWithText(marker, "", kSpoolFileMode) ||
                           GetLastError() == ERROR_FILE_EXISTS
                     : DeleteFile(marker) || GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!done) {
      status = AdmFailed((hold ? "cannot write " : "cannot delete ") + marker, GetLastError());
      continue;
    }
    std::printf("%s %s\n", hold ? "held" : "released", argv[i]);
  }
  return status;
}

int RunHold(int argc, char **argv) { return RunHoldOrRelease(argc, argv, true); }
int RunRelease(int argc, char **argv) { return RunHoldOrRelease(argc, argv, false); }

// Deletes one recipient file under its lock, waiting out a delivery.
bool DeleteLockedFile(const std::string &path) {
  UniqueFd lock;
  long rc = LockRecipientFile(path, kDeleteWaitMs, lock);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  if (!DeleteFile(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  SyncDirectory(path.substr(0, path.rfind('/')));
  return true;
}

// The message's pair in incoming, under the lock its writer and the agent's
// pick-up take; false with the failing path.
bool SweepIncoming(const QueuePaths &paths, const std::string &id, std::string &failed) {
  DirLock lock;
  if (!lock.Lock(paths.Incoming.c_str(), kIncomingLockMs)) {
    failed = paths.Incoming;
    return GetLastError() == ERROR_FILE_NOT_FOUND;   // no incoming, nothing in it
  }
  // The recipient file first: without it the message file is not queued.
  for (const char *ext : {".RCP", ".MSG"}) {
    failed = paths.Incoming + "/" + id + ext;
    if (!DeleteFile(failed) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  SyncDirectory(paths.Incoming);
  return true;
}

// One sweep over the message's files; false with the failing path.
bool SweepMessage(const QueuePaths &paths, const std::string &id, std::string &failed) {
  if (!SweepIncoming(paths, id, failed)) return false;
  std::vector<std::string> dirs;
  if (!ListDirectory(paths.Domains, "", ListKind::kDirectories, kMaxListedFiles, dirs) &&
      GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_MORE_DATA) {
    failed = paths.Domains;
    return false;
  }
  for (const std::string &d : dirs) {
    failed = paths.Domains + "/" + d + "/" + id + ".RCP";
    if (!DeleteLockedFile(failed)) return false;
  }
  failed = paths.Holding + "/" + id + ".MSG";
  if (!DeleteFile(failed) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  SyncDirectory(paths.Holding);
  return true;
}

int RunDelete(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (!CheckId(argv[i])) return kAdmExitUsage;
  QueuePaths paths = Paths();
  int status = kAdmExitOk;
  for (int i = 1; i < argc; ++i) {
    std::string id = argv[i];
    QueueListing listing;
    if (!Load(paths, id, listing)) return kAdmExitFailure;
    if (listing.Messages.empty() && !FileExists(paths.Holding + "/" + id + ".MSG")) {
      status = NotQueued(argv[i]);
      continue;
    }
    // Held first: the agent starts nothing new on it while it goes.
    std::string marker = HoldMarkerPath(paths.Holding, id);
    if (!CreateFileWithText(marker, "", kSpoolFileMode) && GetLastError() != ERROR_FILE_EXISTS) {
      status = AdmFailed("cannot write " + marker, GetLastError());
      continue;
    }
    // Twice (see kSecondSweepMs).
    std::string failed;
    bool ok = SweepMessage(paths, id, failed);
    if (ok) {
      Sleep(kSecondSweepMs);
      ok = SweepMessage(paths, id, failed);
    }
    if (!ok) {
      status = AdmFailed("cannot delete " + AdmPrintable(failed), GetLastError());
      continue;
    }
    std::printf("deleted %s\n", id.c_str());
  }
  return status;
}

const AdmCommand kQueueCommands[] = {
    {"list", "[--json]", "list the queued messages and their recipients still to do", 0, 1,
     RunList},
    {"show", "ID", "show a message's recipients and header", 1, 1, RunShow},
    {"retry", "[DOMAIN...]", "try the domains' queues now (all of them without DOMAIN)", 0, -1,
     RunRetry},
    {"delete", "ID...", "remove messages from the queue for good", 1, -1, RunDelete},
    {"hold", "ID...", "keep the delivery agent from trying messages", 1, -1, RunHold},
    {"release", "ID...", "let the delivery agent try held messages again", 1, -1, RunRelease},
};

void AppendJsonString(std::string &out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

std::string QueueListingJson(const QueueListing &listing, long long now) {
  std::string out = "{\"messages\": [";
  unsigned long long bytes = 0;
  size_t recipients = 0, held = 0;
  for (size_t i = 0; i < listing.Messages.size(); ++i) {
    const QueuedMessage &m = listing.Messages[i];
    out += i == 0 ? "\n" : ",\n";
    out += "{\"id\": ";
    AppendJsonString(out, m.Id);
    out += ", \"size\": " + std::to_string(m.Size);
    out += ", \"queued\": " + std::to_string(m.Queued);
    out += ", \"age\": " + std::to_string(m.Queued == 0 ? 0 : now - m.Queued);
    out += ", \"return_path\": ";
    AppendJsonString(out, m.ReturnPath);
    out += m.Held ? ", \"held\": true" : ", \"held\": false";
    out += ", \"recipients\": [";
    for (size_t j = 0; j < m.Recipients.size(); ++j) {
      const QueuedRecipient &r = m.Recipients[j];
      out += j == 0 ? "{\"address\": " : ", {\"address\": ";
      AppendJsonString(out, r.Address);
      out += ", \"queue\": ";
      AppendJsonString(out, QueueName(r));
      out += ", \"tries\": " + std::to_string(r.Tries);
      out += ", \"next_try\": " + std::to_string(r.NextTry);
      out += ", \"last_error\": ";
      AppendJsonString(out, r.LastError);
      out += "}";
    }
    out += "]}";
    bytes += m.Size;
    recipients += m.Recipients.size();
    held += m.Held ? 1 : 0;
  }
  out += "],\n\"totals\": {\"messages\": " + std::to_string(listing.Messages.size()) +
         ", \"held\": " + std::to_string(held) + ", \"recipients\": " +
         std::to_string(recipients) + ", \"bytes\": " + std::to_string(bytes) +
         ", \"unreadable\": " + std::to_string(listing.Unreadable) +
         (listing.Cut ? ", \"cut\": true" : ", \"cut\": false") + "}}\n";
  return out;
}

int RunQueueCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm queue", kQueueCommands, argc - 1, argv + 1);
}
