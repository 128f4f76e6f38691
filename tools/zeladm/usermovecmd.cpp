// usermovecmd: "zeladm user move", the move of a user's mailbox to another
// mail host of the site, done here as far as this host can do it.
//
//   zeladm user move USER --to HOST [--to-dir DIR | --rsync PROGRAM]
//                   [--bind-dn DN --password-file FILE] [--wait SECONDS]
//   zeladm user move USER --finish
//
// The steps, each printed as it is done:
//  1. hold the user's logons and deliveries here (common/usermove's marker);
//  2. wait, at most --wait seconds, until no process works in the mailbox
//     any more (the user's POP3 and IMAP sessions: platform/pathusers);
//  3. copy the mailbox with its folders and indexes, owners and modes
//     kept: with --to-dir into DIR (a mount of the new host's mailbox root)
//     as DIR/NAME, written under a temporary name and renamed when whole;
//     else with rsync over ssh to the same path on HOST;
//  4. with --bind-dn and --password-file, name HOST as the user's mail host
//     in the directory (platform/ldapdir, the administrator's own bind);
//     without them print the ldapmodify input and stop: "--finish" does
//     the rest once the administrator has changed the entry;
//  5. finish: when the directory names another host, wait out the
//     directory caches of this host's services (CacheSeconds), rename the
//     mailbox here to NAME.moved-to-HOST (kept for the administrator to
//     remove), then lift the marker. The mail that waited meanwhile goes
//     to the new host at the delivery agent's next scan (its hand-off to
//     the mail host's queue). When the directory still names this host the
//     move is called off: the marker goes, the mailbox stays.
// Every failure leaves the marker standing (nothing is delivered or read
// here until the administrator runs the move again or --finish), and says
// which step failed. Single-threaded (zeladm's main).
#include "tools/zeladm/usermovecmd.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "common/usermove.h"
#include "common/userdir.h"
#include "net/mailproxy.h"
#include "platform/accounts.h"
#include "platform/extprog.h"
#include "platform/files.h"
#include "platform/ldapdir.h"
#include "platform/mailboxdir.h"
#include "platform/pathusers.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/usercmd.h"

namespace {

// How long sessions may take to end by default: an IMAP session ends 30
// seconds after its last connection, a POP3 one with QUIT or its idle
// time-out; longer than this a client is still at work.
constexpr long kDefaultMoveWaitSeconds = 120;
constexpr long kMaxMoveWaitSeconds = 24 * 3600;
// How often the sessions are looked for while waiting.
constexpr auto kSessionPoll = std::chrono::milliseconds(500);
// A copy of a mailbox of many gigabytes over a slow link still ends
// within this; a copy that takes longer has hung.
constexpr unsigned kMoveCopyMs = 12u * 3600 * 1000;
// Past the services' cache lifetime, so that none of them still holds the
// old mail host when the marker goes.
constexpr unsigned kCacheMarginSeconds = 2;

struct MoveOptions {
  std::string Host, ToDir, Rsync = "rsync", BindDn, PasswordFile;
  long WaitSeconds = kDefaultMoveWaitSeconds;
  bool bFinish = false;
};

constexpr const char *kMoveUsage =
    "zeladm: move USER --to HOST [--to-dir DIR | --rsync PROGRAM] [--bind-dn DN "
    "--password-file FILE] [--wait SECONDS], or move USER --finish\n";

bool ParseMoveOptions(int argc, char **argv, MoveOptions &o) {
  for (int i = 2; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--finish") {
      o.bFinish = true;
      continue;
    }
    std::string *value = name == "--to"              ? &o.Host
                         : name == "--to-dir"        ? &o.ToDir
                         : name == "--rsync"         ? &o.Rsync
                         : name == "--bind-dn"       ? &o.BindDn
                         : name == "--password-file" ? &o.PasswordFile
                                                     : nullptr;
    if (value == nullptr && name != "--wait") {
      std::fprintf(stderr, "zeladm: unknown option \"%s\"\n%s", AdmPrintable(name).c_str(),
                   kMoveUsage);
      return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr, "zeladm: %s needs a value\n", name.c_str());
      return false;
    }
    ++i;
    if (value != nullptr) {
      *value = argv[i];
    } else if (!AdmNumber(argv[i], 0, kMaxMoveWaitSeconds, o.WaitSeconds)) {
      std::fprintf(stderr, "zeladm: --wait takes seconds, 0 to %ld\n", kMaxMoveWaitSeconds);
      return false;
    }
  }
  if (o.bFinish != o.Host.empty() || (!o.ToDir.empty() && o.Rsync != "rsync") ||
      o.BindDn.empty() != o.PasswordFile.empty()) {
    std::fputs(kMoveUsage, stderr);
    return false;
  }
  return true;
}

// Step 2: false when a process still works in the mailbox after the wait.
bool WaitForSessions(const std::string &user, const std::string &box, long seconds) {
  auto start = std::chrono::steady_clock::now();
  auto until = start + std::chrono::seconds(seconds);
  std::vector<pid_t> pids;
  for (;;) {
    if (!ProcessesUsingTree(box, pids)) {
      AdmFailed("cannot look for the sessions in " + AdmPrintable(box), GetLastError());
      return false;
    }
    if (pids.empty()) {
      auto waited = std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::steady_clock::now() - start);
      std::printf("%s: no session works in the mailbox (waited %lld s)\n",
                  AdmPrintable(user).c_str(), static_cast<long long>(waited.count()));
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(kSessionPoll);
  }
  std::string list;
  for (pid_t pid : pids) list += " " + std::to_string(pid);
  std::fprintf(stderr,
               "zeladm: processes still work in %s after %ld s (pids%s); the user stays held "
               "here: run the move again, or --finish to call it off\n",
               AdmPrintable(box).c_str(), seconds, list.c_str());
  return false;
}

bool RunStep(const std::vector<std::string> &args, const char *what) {
  ProgramRun run;
  if (!RunProgram(args, kMoveCopyMs, run)) {
    AdmFailed(std::string("cannot run ") + AdmPrintable(args[0]), GetLastError());
    return false;
  }
  if (ProgramSucceeded(run)) return true;
  std::fprintf(stderr, "zeladm: %s failed (%s)%s%s\n", what,
               run.TimedOut ? "timed out" : ("wait status " + std::to_string(run.Status)).c_str(),
               run.OutputTail.empty() ? "" : ":\n", AdmPrintable(run.OutputTail).c_str());
  return false;
}

std::string LastComponent(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Step 3. A copy under its final name is whole: the local one is made
// under a temporary name first; rsync keeps its own temporary names.
bool CopyMailbox(const std::string &box, const MoveOptions &o, std::string &where) {
  if (o.ToDir.empty()) {
    where = "root@" + o.Host + ":" + box + "/";
    return RunStep({o.Rsync, "-a", "--numeric-ids", "--delete", "--", box + "/", where},
                   "the copy (rsync)");
  }
  std::string name = LastComponent(box);
  where = o.ToDir + "/" + name;
  std::string staging = o.ToDir + "/.zel-move-" + name;
  if (FileExists(where) || DirectoryExists(where)) {
    std::fprintf(stderr, "zeladm: %s exists already; nothing was copied\n",
                 AdmPrintable(where).c_str());
    return false;
  }
  if (DirectoryExists(staging) &&
      !RunStep({"rm", "-rf", "--", staging}, "the removal of an earlier move's partial copy"))
    return false;
  if (!RunStep({"cp", "-a", "--", box, staging}, "the copy (cp -a)") ||
      !RunStep({"sync", "-f", staging}, "the sync of the copy"))
    return false;
  if (!MoveFileNoReplace(staging, where) || !SyncDirectory(o.ToDir)) {
    AdmFailed("cannot give the copy its name " + AdmPrintable(where), GetLastError());
    return false;
  }
  return true;
}

// Step 4 with the administrator's bind.
bool SwitchMailHost(const std::string &user, const MoveOptions &o) {
  AccountFound found;
  if (!FindAccountByName(user, found) || !found.bDirectoryUser || found.Dn.empty()) {
    std::fprintf(stderr, "zeladm: %s is no user of the directory now; its mail host is unchanged\n",
                 AdmPrintable(user).c_str());
    return false;
  }
  LdapSettings settings;
  std::string password, why;
  if (!LoadLdapSettings(settings, false, why) ||
      !ReadLdapPasswordFile(o.PasswordFile, password, why) ||
      !LdapReplaceValue(o.BindDn, password, found.Dn, settings.MailHostAttribute, o.Host, why)) {
    std::fprintf(stderr, "zeladm: the mail host of %s is unchanged: %s\n",
                 AdmPrintable(user).c_str(), AdmPrintable(why).c_str());
    return false;
  }
  ClearLdapCache();   // the entry just read is not the directory's any more
  std::printf("%s: %s of %s is now %s\n", AdmPrintable(user).c_str(),
              settings.MailHostAttribute.c_str(), AdmPrintable(found.Dn).c_str(),
              AdmPrintable(o.Host).c_str());
  return true;
}

void PrintLdapModify(const std::string &user, const std::string &host) {
  AccountFound found;
  LdapSettings settings;
  std::string why;
  (void)LoadLdapSettings(settings, false, why);
  std::string dn = FindAccountByName(user, found) && !found.Dn.empty()
                       ? found.Dn
                       : "<the entry of " + user + ">";
  std::printf(
      "%s: no --bind-dn given. Name %s as the mail host in the directory, e.g.\n"
      "  ldapmodify -H URI -D BINDDN -y PASSWORDFILE <<'EOF'\n"
      "  dn: %s\n"
      "  changetype: modify\n"
      "  replace: %s\n"
      "  %s: %s\n"
      "  EOF\n"
      "then run: zeladm user move %s --finish\n",
      AdmPrintable(user).c_str(), AdmPrintable(host).c_str(), AdmPrintable(dn).c_str(),
      settings.MailHostAttribute.c_str(), settings.MailHostAttribute.c_str(),
      AdmPrintable(host).c_str(), AdmPrintable(user).c_str());
}

// Step 5.
int FinishMove(const std::string &user) {
  AccountFound found;
  if (!FindAccountByName(user, found))
    return AdmFailed("cannot look " + AdmPrintable(user) + " up in the directory now; the user "
                     "stays held here",
                     GetLastError());
  std::string host;
  bool wrongEntry = false;
  if (MailHostElsewhere(found, host, &wrongEntry)) {
    LdapSettings settings;
    std::string why;
    (void)LoadLdapSettings(settings, false, why);
    unsigned wait = settings.CacheSeconds + kCacheMarginSeconds;
    std::printf("%s: waiting %u s for the services' directory caches\n",
                AdmPrintable(user).c_str(), wait);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(wait));
    MailboxDir box;
    if (OpenUserMailbox(user.c_str(), box)) {
      std::string kept = box.Path() + ".moved-to-" + host;
      if (!MoveFileNoReplace(box.Path(), kept))
        return AdmFailed("cannot rename the old mailbox to " + AdmPrintable(kept) +
                             "; the user stays held here",
                         GetLastError());
      std::printf("%s: the old mailbox is %s now: remove it once the user reads mail at %s\n",
                  AdmPrintable(user).c_str(), AdmPrintable(kept).c_str(),
                  AdmPrintable(host).c_str());
    }
  } else {
    std::printf("%s: the directory names this host: the move is called off, the mailbox stays\n",
                AdmPrintable(user).c_str());
  }
  if (!ClearUserMove(user)) return AdmFailed("cannot remove the move marker", GetLastError());
  std::printf("%s: logons and deliveries resume; mail that waited goes to the mail host the\n"
              "directory names at the delivery agent's next scan\n",
              AdmPrintable(user).c_str());
  return kAdmExitOk;
}

}  // namespace

int RunUserMove(int argc, char **argv) {
  std::string user = argv[1];
  MoveOptions o;
  if (!ParseMoveOptions(argc, argv, o)) return kAdmExitUsage;
  if (o.bFinish) {
    SetConfigDefaults();
    LoadCriticalConfig();
    LoadGeneralConfigMain(kDomainListBytes);   // the directory's settings
    return FinishMove(user);
  }
  if (MailHostQueueName(o.Host).empty() || UserMoveMarkerPath(user).empty())
    return AdmUsage("not a host name or user name: \"" + AdmPrintable(o.Host) + "\", \"" +
                    AdmPrintable(user) + "\"");
  std::string path;
  {
    MailboxDir box;   // closed before the wait: our own descriptor is no session
    if (!OpenUserMailbox(user.c_str(), box)) return kAdmExitFailure;
    path = box.Path();
  }
  if (!MarkUserMove(user, o.Host)) return AdmFailed("cannot set the move marker", GetLastError());
  std::printf("%s: logons (a temporary failure) and deliveries (kept queued) are held here\n",
              AdmPrintable(user).c_str());
  std::fflush(stdout);
  if (!WaitForSessions(user, path, o.WaitSeconds)) return kAdmExitFailure;
  std::string where;
  if (!CopyMailbox(path, o, where)) {
    std::fprintf(stderr, "zeladm: %s stays held here\n", AdmPrintable(user).c_str());
    return kAdmExitFailure;
  }
  std::printf("%s: the mailbox is copied to %s\n", AdmPrintable(user).c_str(),
              AdmPrintable(where).c_str());
  if (o.BindDn.empty()) {
    PrintLdapModify(user, o.Host);
    return kAdmExitOk;
  }
  if (!SwitchMailHost(user, o)) {
    std::fprintf(stderr, "zeladm: %s stays held here; the copy at %s is not used yet\n",
                 AdmPrintable(user).c_str(), AdmPrintable(where).c_str());
    return kAdmExitFailure;
  }
  std::fflush(stdout);
  return FinishMove(user);
}
