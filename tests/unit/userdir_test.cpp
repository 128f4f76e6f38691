// The directory source: filter escaping and expansion, its settings, the
// order of the sources (with a stand-in directory), and what a directory
// that cannot answer does to lookups and logons.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/userdir.h"
#include "platform/accounts.h"
#include "platform/ldapdir.h"
#include "platform/logon.h"
#include "platform/root.h"

namespace {

std::string Expanded(std::string_view tmpl, std::string_view user, std::string_view address) {
  std::string filter, why;
  return ExpandLdapFilter(tmpl, user, address, filter, why) ? filter : "!" + why;
}

TEST(LdapFilter, EveryStrangersByteIsEscaped) {
  EXPECT_EQ(EscapeLdapFilterValue("a*b(c)d\\e"), "a\\2ab\\28c\\29d\\5ce");
  EXPECT_EQ(EscapeLdapFilterValue(std::string("n\0l\x7f\xc3\xa9 ok", 9)),
            "n\\00l\\7f\\c3\\a9 ok");
  EXPECT_EQ(Expanded(kDefaultLdapUserFilter, "*)(uid=*", "x)(|(a=*@e.test"),
            "(&(objectClass=inetOrgPerson)(|(uid=\\2a\\29\\28uid=\\2a)"
            "(mail=x\\29\\28|\\28a=\\2a@e.test)))");
  EXPECT_EQ(Expanded("(&(d=%d)(p=100%%))", "u", "u@Ex.Test"), "(&(d=Ex.Test)(p=100%))");
  EXPECT_EQ(Expanded("(uid=%x)", "u", ""), "!the filter has \"%x\" (only %u, %a, %d and %% are known)");
  EXPECT_EQ(Expanded("(uid=%", "u", ""), "!the filter ends with a lone \"%\"");
  // Every byte escaped triples: a long name cannot grow the filter unbounded.
  std::string filter, why;
  EXPECT_FALSE(ExpandLdapFilter("%u", std::string(kMaxLdapFilter / 2, '*'), "", filter, why));
  EXPECT_EQ(why, "the filter is longer than 4096 bytes");
}

TEST(LdapFilter, AliasesAreOredWithTheUserFilter) {
  LdapSettings s;
  std::string filter, why;
  ASSERT_TRUE(LookupFilter(s, "bob", "Robert@example.test", filter, why));
  EXPECT_EQ(filter, "(|(&(objectClass=inetOrgPerson)(|(uid=bob)(mail=Robert@example.test)))"
                    "(mailLocalAddress=Robert@example.test))");
  s.AliasAttribute.clear();
  ASSERT_TRUE(LookupFilter(s, "bob", "b@e", filter, why));
  EXPECT_EQ(filter.front(), '(');
  EXPECT_EQ(filter.find("mailLocalAddress"), std::string::npos);
}

TEST(LdapSettingsCheck, EachFaultIsNamed) {
  auto why = [](auto change) {
    LdapSettings s;
    s.Uris = {"ldap://127.0.0.1:389", "ldapi://%2Frun%2Fslapd.sock"};
    s.BaseDn = "dc=example,dc=test";
    change(s);
    std::string text;
    return CheckLdapSettings(s, text) ? std::string("ok") : text;
  };
  EXPECT_EQ(why([](LdapSettings &) {}), "ok");
  EXPECT_EQ(why([](LdapSettings &s) { s.Uris.clear(); }),
            "Uri names no directory (ldap://, ldaps:// or ldapi://)");
  EXPECT_EQ(why([](LdapSettings &s) { s.Uris = {"http://x"}; }),
            "Uri \"http://x\" is no ldap://, ldaps:// or ldapi:// URI");
  EXPECT_EQ(why([](LdapSettings &s) { s.BaseDn.clear(); }), "BaseDn is empty");
  EXPECT_EQ(why([](LdapSettings &s) { s.MailHostAttribute = "mail host)"; }),
            "attribute name \"mail host)\" is not a name");
  EXPECT_EQ(why([](LdapSettings &s) { s.UserFilter = "(uid=%n)"; }),
            "the filter has \"%n\" (only %u, %a, %d and %% are known)");
  EXPECT_EQ(why([](LdapSettings &s) { s.OperationTimeoutMs = 0; }),
            "NetworkTimeout and OperationTimeout must lie between 1 and 60000 ms");
  EXPECT_EQ(why([](LdapSettings &s) { s.PoolSize = 0; }), "PoolSize must lie between 1 and 32");
}

TEST(UserDirectoryValue, NamesAndOrder) {
  std::vector<UserSource> order;
  std::string why;
  ASSERT_TRUE(ParseUserDirectory({"LDAP", "accounts"}, order, why));
  EXPECT_EQ(order, (std::vector<UserSource>{UserSource::kDirectory, UserSource::kAccounts}));
  EXPECT_FALSE(ParseUserDirectory({"accounts", "nis"}, order, why));
  EXPECT_EQ(why, "UserDirectory names \"nis\" (known: accounts, host, ldap)");
  EXPECT_FALSE(ParseUserDirectory({"host", "host"}, order, why));
  EXPECT_EQ(why, "UserDirectory names \"host\" twice");
}

TEST(LdapPasswordFile, OnlyTheOwnersFirstLine) {
  std::string path = ZelPath("/ldap-secret");
  auto write = [&](const char *text, mode_t mode) {
    unlink(path.c_str());
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
  };
  std::string password, why;
  write("s3cret\nignored\n", 0600);
  ASSERT_TRUE(ReadLdapPasswordFile(path, password, why)) << why;
  EXPECT_EQ(password, "s3cret");
  write("s3cret\n", 0644);
  EXPECT_FALSE(ReadLdapPasswordFile(path, password, why));
  EXPECT_EQ(password, "");
  EXPECT_NE(why.find("may be read by others"), std::string::npos) << why;
  write("\nsecond\n", 0600);
  EXPECT_FALSE(ReadLdapPasswordFile(path, password, why));
  unlink(path.c_str());
}

// ---- the order of the sources, with a directory the test answers for

long DirectoryAnswer = ERROR_SUCCESS;
std::string AddressAsked;

long FakeFind(const std::string &name, const std::string &address, AccountFound &found) {
  AddressAsked = address;
  if (DirectoryAnswer != ERROR_SUCCESS) return DirectoryAnswer;
  if (name != "dora") return ERROR_NONE_MAPPED;
  found.Name = "dora";
  found.Dn = "uid=dora,dc=t";
  found.bHasIds = true;
  found.Uid = 4321;
  found.Gid = 4322;
  found.MailHost = "mail2.example.test";
  return ERROR_SUCCESS;
}

long FakeVerify(const AccountFound &found, std::string_view password) {
  if (DirectoryAnswer != ERROR_SUCCESS) return DirectoryAnswer;
  return found.Dn == "uid=dora,dc=t" && password == "pw" ? ERROR_SUCCESS : ERROR_LOGON_FAILURE;
}

class SourceOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(ZelPath("/etc").c_str(), 0755);
    mkdir(ZelPath("/etc/zel").c_str(), 0755);
    unlink(AccountsFilePath().c_str());
    DirectoryAnswer = ERROR_SUCCESS;
  }
  void TearDown() override {
    SetUserDirectory({}, DirectorySource{});
    unlink(AccountsFilePath().c_str());
  }
  void Use(std::vector<UserSource> order) {
    SetUserDirectory(order, DirectorySource{FakeFind, FakeVerify});
  }
  void InstallFile() {
    std::ofstream(AccountsFilePath()) << "computer:MAILHOST\ndomain:WORKGROUP\nuser:mailhost:fred::/home/fred\n";
  }
};

TEST_F(SourceOrderTest, DirectoryUsersAndTheFileReplacingTheHost) {
  Use({UserSource::kAccounts, UserSource::kHost, UserSource::kDirectory});
  AccountFound found;
  // Without a file the host answers, then the directory.
  ASSERT_TRUE(FindAccountByName("root", found));
  EXPECT_TRUE(found.bHostAccount);
  ASSERT_TRUE(FindMailRecipient("dora", "Dora@example.test", found));
  EXPECT_EQ(AddressAsked, "Dora@example.test");
  EXPECT_TRUE(found.bDirectoryUser);
  EXPECT_EQ(found.Domain, HostComputerName());
  EXPECT_EQ(found.MailHost, "mail2.example.test");
  // With a file, the host is not asked: root is no mail user any more.
  InstallFile();
  EXPECT_FALSE(FindAccountByName("root", found));
  EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
  ASSERT_TRUE(FindAccountByName("fred", found));
  EXPECT_FALSE(found.bDirectoryUser);
  EXPECT_TRUE(FindAccountByName("dora", found));
  LogonToken token;
  ASSERT_TRUE(AccountIdentity(found, token));
  EXPECT_EQ(token.Uid, 4321u);
  EXPECT_EQ(token.Gid, 4322u);
  EXPECT_FALSE(token.bVirtualUser);
  found.Uid = 0;
  EXPECT_FALSE(AccountIdentity(found, token));
  EXPECT_EQ(GetLastError(), ERROR_ACCOUNT_RESTRICTION);
}

TEST_F(SourceOrderTest, ADirectoryThatCannotAnswerIsNeverNoSuchUser) {
  Use({UserSource::kDirectory, UserSource::kHost});
  DirectoryAnswer = ERROR_DS_UNAVAILABLE;
  AccountFound found;
  // The host is not asked after it: "root" might be a directory user too.
  EXPECT_FALSE(FindAccountByName("root", found));
  EXPECT_EQ(GetLastError(), ERROR_DS_UNAVAILABLE);
  EXPECT_FALSE(IsNoSuchAccount(ERROR_DS_UNAVAILABLE));
  UserInfo info;
  EXPECT_EQ(NetUserGetInfo("", "dora", info), ERROR_DS_UNAVAILABLE);
  EXPECT_EQ(VerifyAccountPassword(HostComputerName(), "dora", "pw"), ERROR_DS_UNAVAILABLE);
  DirectoryAnswer = ERROR_SUCCESS;
  EXPECT_EQ(VerifyAccountPassword(HostComputerName(), "dora", "pw"), ERROR_SUCCESS);
  EXPECT_EQ(VerifyAccountPassword(HostComputerName(), "dora", "nope"), ERROR_LOGON_FAILURE);
}

}  // namespace

// A signal that arrives while a bind waits for its answer (the logon
// helper's SIGCHLD when one of its sessions ends) is no server gone away:
// the bind goes on and gets the server's answer.
namespace {
void NoteSignal(int) {}
}  // namespace

TEST(LdapBind, ASignalDuringTheWaitIsNoFailure) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length), 0);
  // The server reads the bind request, lets the client wait, and answers
  // success (BindResponse, message 1).
  std::thread server([listener] {
    int conn = accept(listener, nullptr, nullptr);
    char buffer[512];
    (void)!read(conn, buffer, sizeof buffer);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const unsigned char ok[] = {0x30, 0x0c, 0x02, 0x01, 0x01, 0x61, 0x07, 0x0a,
                                0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
    (void)!write(conn, ok, sizeof ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(conn);
  });
  struct sigaction note {}, saved{};
  note.sa_handler = NoteSignal;
  note.sa_flags = SA_RESTART;   // as the helper's: poll is interrupted all the same
  sigemptyset(&note.sa_mask);
  sigaction(SIGUSR1, &note, &saved);
  pthread_t self = pthread_self();
  std::thread signaller([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(self, SIGUSR1);
  });
  LdapSettings settings;
  settings.Uris = {"ldap://127.0.0.1:" + std::to_string(ntohs(addr.sin_port))};
  settings.StartTls = false;
  ConfigureLdapDirectory(settings);
  EXPECT_EQ(LdapCheckPassword("uid=u,dc=example,dc=test", "pw"), ERROR_SUCCESS);
  signaller.join();
  server.join();
  sigaction(SIGUSR1, &saved, nullptr);
  close(listener);
  ConfigureLdapDirectory(LdapSettings());
}
