// fileutils: see fileutils.h.
#include "common/fileutils.h"

#include <cerrno>

#include "common/logging.h"
#include "common/pconfig.h"
#include "common/str.h"
#include "platform/ascii.h"
#include "platform/files.h"

namespace {

// Device names that once could not name a directory; kept so queue
// directory names stay the same wherever the spool has lived.
const char *const ForbiddenNames[] = {"COM", "AUX", "NUL", "PRN", "CON", "LPT"};

bool CreateOne(const std::string &path) {
  return CreateDirectory(path) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Where creation starts: behind the root's "/" of an absolute path.
size_t CreationStart(const std::string &path) { return !path.empty() && path[0] == '/' ? 1 : 0; }

}  // namespace

bool CreateDirectoryRecursively(const std::string &path) {
  size_t start = CreationStart(path);
  if (start >= path.size()) return true;
  for (size_t pos = path.find('/', start); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (!CreateOne(path.substr(0, pos))) return false;
  }
  if (!CreateOne(path)) return false;
  // An existing file of that name is no directory: say so instead of
  // reporting success.
  if (!DirectoryExists(path)) {
    SetLastError(ENOTDIR);
    return false;
  }
  return true;
}

bool CreateSpoolDirectories(std::initializer_list<const char *> subdirectories) {
  const std::string &spool = MailSpoolDirectory;
  for (size_t pos = spool.find('/', CreationStart(spool)); pos != std::string::npos;
       pos = spool.find('/', pos + 1)) {
    if (!CreateOne(spool.substr(0, pos))) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateDirectory", GetLastError());
      return false;
    }
  }
  if (!CreateOne(spool) || !DirectoryExists(spool)) {
    long err = GetLastError() == ERROR_ALREADY_EXISTS ? ENOTDIR : GetLastError();
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateDirectory", err);
    return false;
  }
  for (const char *name : subdirectories) {
    if (!CreateOne(SpoolPath(name))) {
      LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateDirectory", GetLastError());
      return false;
    }
  }
  return true;
}

bool CreateDomainDirectoryName(const std::string &domainsDirectory, const std::string &domain,
                               std::string &directory) {
  directory = domainsDirectory + "/";
  if (domain.empty()) {
    directory += kLocalQueueName;
  } else {
    if (domain.find('/') != std::string::npos) return false;
    bool tilde = domain[0] == '.' || domain[0] == kMailHostQueueMark;
    for (const char *name : ForbiddenNames) tilde = tilde || StartsWithNoCase(domain, name);
    if (tilde) directory.push_back('~');
    directory += domain;
  }
  CutText(directory, kMaxPath);
  return true;
}

std::string CreateDomainNameFromDirectoryName(const std::string &directory) {
  size_t slash = directory.rfind('/');
  std::string name = slash == std::string::npos ? directory : directory.substr(slash + 1);
  if (name.size() > 1 && name[0] == '~' && name[1] != kMailHostQueueMark) name.erase(0, 1);
  return name;
}

bool IsMailHostQueueName(const std::string &queue) {
  return !queue.empty() && queue[0] == kMailHostQueueMark;
}

std::string MailHostQueueName(const std::string &host) {
  // A host name's 255 characters (the DNS limit of a name's text).
  constexpr size_t kMaxHostName = 255;
  if (host.empty() || host.size() > kMaxHostName || host[0] == '.' || host[0] == '-') return "";
  std::string queue(1, kMailHostQueueMark);
  for (char c : host) {
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '-' && c != '.') return "";
    queue.push_back(LowerAscii(c));
  }
  return queue;
}

bool QueueDirectoryName(const std::string &domainsDirectory, const std::string &queue,
                        std::string &directory) {
  if (!IsMailHostQueueName(queue))
    return CreateDomainDirectoryName(domainsDirectory, queue, directory);
  if (MailHostQueueName(queue.substr(1)) != queue) return false;
  directory = domainsDirectory + "/" + queue;
  return true;
}
