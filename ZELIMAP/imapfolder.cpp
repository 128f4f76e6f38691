// imapfolder: see imapfolder.h.
#include "ZELIMAP/imapfolder.h"

#include <map>
#include <mutex>

#include "ZELIMAP/imapsession.h"

namespace {

// A connection waiting in IDLE: woken by a change of its folder.
struct Waiter {
  _Connection *Conn = nullptr;
  const void *Folder = nullptr;
};

struct Registry {
  std::mutex Lock;
  std::map<uint64_t, Waiter> Waiting;
  uint64_t NextToken = 0;
};

Registry &TheRegistry() {
  // Never destroyed: the workers may use it until the process exits.
  static Registry *r = new Registry;
  return *r;
}

const void *SelectedFolderKey(_Connection *conn) {
  (void)conn;
  return nullptr;
}

void Unregister(ImapConn &c) {
  if (c.WaitToken == 0) return;
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  r.Waiting.erase(c.WaitToken);
  c.WaitToken = 0;
}

}  // namespace

bool OpenSessionMailbox(const std::string &directory, std::string &refusal) {
  (void)directory;
  (void)refusal;
  return true;
}

void CloseSessionMailbox() {}

void ReportFolderChanges(_Connection *conn, bool expungesAllowed) {
  (void)conn;
  (void)expungesAllowed;
}

// Wakes every connection idling on folder.
void WakeIdlers(const void *folder) {
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  for (auto &[token, waiter] : r.Waiting)
    if (waiter.Folder == folder) ImapWake(waiter.Conn);
}

void IdleBeforeRead(_Connection *conn) {
  ImapConn &c = Imap(conn);
  if (Sess(conn).IdleTag.empty()) return;
  {
    Registry &r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.Lock);
    c.WaitToken = ++r.NextToken;
    r.Waiting[c.WaitToken] = Waiter{conn, SelectedFolderKey(conn)};
    c.bWakeAsked = false;
  }
  // A change that came before the registration is told now; one after it
  // wakes the read.
  ReportFolderChanges(conn, true);
  if (!c.Out.empty()) Unregister(c);
}

void IdleReadStarted(uint64_t token) {
  Registry &r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.Lock);
  auto it = r.Waiting.find(token);
  // A wake asked for before the read had started cancelled nothing.
  if (it != r.Waiting.end() && Imap(it->second.Conn).bWakeAsked.load()) ImapWake(it->second.Conn);
}

void IdleAfterRead(_Connection *conn) { Unregister(Imap(conn)); }

ImapGo IdleWoken(_Connection *conn) {
  ReportFolderChanges(conn, true);
  return ImapGo::kOn;
}
