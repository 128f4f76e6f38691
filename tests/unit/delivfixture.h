// A delivery agent in a scratch tree for the local delivery and report
// tests: spool, accounts, this host's name, held messages, and a reader of
// the messages that the agent generates into `incoming`.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "ZELDELIV/local.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/netcode.h"
#include "common/pconfig.h"
#include "common/smtputil.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/accountsfile.h"
#include "platform/files.h"
#include "platform/logon.h"
#include "platform/mailboxdir.h"
#include "platform/root.h"
#include "tests/unit/testutil.h"

namespace delivtest {

constexpr const char *kHost = "mail.example.org";

using ::Crlf;

inline std::string Unix(const std::string &bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) out += bytes[i];
  return out;
}

inline void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::vector<std::string> ListDir(const std::string &dir, const std::string &suffix = "") {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      if (n.size() >= suffix.size() &&
          n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// This host as the agent knows it: name at 127.0.0.1.
inline void SetThisHost(const char *name) {
  _IPInfo e;
  e.IPAddr = 0x0100007f;
  e.Name = name;
  e.Address = "127.0.0.1";
  LocalHostIPInfo.Entries = {e};
}

// A message the agent wrote into incoming.
struct Generated {
  std::string base;       // file base name
  std::string text;       // message text with "\n" line ends
  MsgInfoPtr envelope;    // its recipient file
  std::vector<std::string> Recipients() const {
    std::vector<std::string> out;
    for (const _tRcpInfo *r = envelope->Rcp; r != nullptr; r = r->Next)
      out.insert(out.begin(), r->Name);
    return out;
  }
  // The text with its Date line replaced, for comparisons byte for byte.
  std::string Stable() const {
    return std::regex_replace(text, std::regex("\nDate: [^\n]*\n"), "\nDate: *\n");
  }
};

class DelivTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConfigDefaults();
    MailSpoolDirectory = ZelPath("/spool");
    FormDeliverySpoolPaths();
    Shell("rm -rf '" + MailSpoolDirectory + "' '" + ZelPath("/var/mailbox") + "'");
    ASSERT_TRUE(CreateDirectoryRecursively(MailSpoolDirectory));
    for (const std::string &d : {MailQueueDirectory, MailHoldingDirectory,
                                 MailDeadDirectory})
      ASSERT_TRUE(CreateDirectory(d)) << d;
    MailInboxDirectory = ZelPath("/var/mailbox/%USERNAME%");
    AutoCreateInboxEnabled = true;
    DomainNamesAreLocal = {"example.org"};
    SetThisHost(kHost);
    // Root writes these users' mailboxes as the test's virtual account.
    PassableZelRoot();
    SetVirtualMailAccount(kTestVirtualMailAccount);
    InstallAccounts();
    ASSERT_TRUE(InitNetCodeModule());
    LocalUserAliasMap.clear();
  }
  void TearDown() override {
    unlink(AccountsFilePath().c_str());
    LocalUserAliasMap.clear();
  }

  static void Shell(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

  static void InstallAccounts() {
    mkdir(ZelPath("/etc").c_str(), 0755);
    mkdir(ZelPath("/etc/zel").c_str(), 0755);
    std::string text = "computer:MAILHOST\ndomain:WORKGROUP\n";
    for (const char *u : {"alice", "bob", "carol", "administrator", "u", "v"})
      text += std::string("user:MAILHOST:") + u + "::\n";
    WriteFile(AccountsFilePath(), text);
  }

  static std::string Mailbox(const std::string &user) { return ZelPath("/var/mailbox/") + user; }

  // Made as the agent makes it: its owner's.
  static void MakeMailbox(const std::string &user) {
    MailboxDir dir;
    long error = 0;
    ASSERT_EQ(GetMailbox(user, dir, error), kMailboxFound) << user << ": " << error;
  }

  // A file the user put into its mailbox: the mailbox owner's.
  static void WriteMailboxFile(const std::string &user, const std::string &name,
                               const std::string &bytes) {
    std::string path = Mailbox(user) + "/" + name;
    WriteFile(path, bytes);
    struct stat st;
    ASSERT_EQ(stat(Mailbox(user).c_str(), &st), 0);
    ASSERT_EQ(chown(path.c_str(), st.st_uid, st.st_gid), 0);
  }

  // Writes the held message of id (text with "\n" line ends, stored CR LF).
  static void PutHeld(const std::string &id, const std::string &text) {
    WriteFile(MailHoldingDirectory + "/" + id + ".MSG", Crlf(text));
  }

  static MsgInfoPtr Info(const std::string &id, const std::string &returnPath,
                         const std::vector<std::string> &recipients) {
    MsgInfoPtr info(new _tMsgInfo);
    std::string mid = id + "@" + kHost;
    STRNCPY(info->MessageId, mid.c_str(), sizeof info->MessageId);
    STRNCPY(info->ReturnPath, returnPath.c_str(), sizeof info->ReturnPath);
    // Pushed at the front: the list ends up in the order given.
    for (auto r = recipients.rbegin(); r != recipients.rend(); ++r) PushRecipient(*info, *r, "");
    return info;
  }

  // Every message in incoming, in the order of their identifiers.
  static std::vector<Generated> Incoming() {
    std::vector<Generated> out;
    for (const std::string &rcp : ListDir(MailQueueDirectory, ".RCP")) {
      Generated g;
      g.base = rcp.substr(0, rcp.size() - 4);
      g.text = Unix(Slurp(MailQueueDirectory + "/" + g.base + ".MSG"));
      TextFile f;
      EXPECT_TRUE(f.Open(MailQueueDirectory + "/" + rcp, "r"));
      g.envelope = ReadMsgInfo(f);
      out.push_back(std::move(g));
    }
    return out;
  }

  // Removes everything from incoming (what a scan would have taken).
  static void ClearIncoming() { Shell("rm -f '" + MailQueueDirectory + "'/*"); }
};

}  // namespace delivtest
