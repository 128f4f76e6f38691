// SRS: what the delivery agent writes when it forwards comes back to the
// original sender, through the first forwarder when there was one; forged,
// tampered and old addresses are told apart; the secret file is private.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "common/srs.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "tests/unit/testutil.h"

namespace {

const SrsSettings kSrs{"0123456789abcdef0123456789abcdef", "fwd.example"};
constexpr long long kNow = 1700000000;
constexpr long long kDay = 86400;

std::string LocalOf(const std::string &address) { return address.substr(0, address.rfind('@')); }

TEST(SrsTest, ForwardedSendersComeBack) {
  std::string out, back;
  ASSERT_TRUE(SrsForwardAddress(kSrs, "Alice.B=x@Origin.example", kNow, out));
  EXPECT_EQ(out.rfind("SRS0=", 0), 0u);
  EXPECT_NE(out.find("=Origin.example=Alice.B=x@fwd.example"), std::string::npos) << out;
  EXPECT_EQ(SrsReverseAddress(kSrs, LocalOf(out), kNow, back), SrsVerdict::kValid);
  EXPECT_EQ(back, "Alice.B=x@Origin.example");
  // Hosts that change the case of the local part on the way back.
  std::string lower = LowerAsciiCopy(LocalOf(out));
  EXPECT_EQ(SrsReverseAddress(kSrs, lower, kNow + 3 * kDay, back), SrsVerdict::kValid);
  EXPECT_EQ(SrsReverseAddress(kSrs, LocalOf(out), kNow + kSrsMaxAgeDays * kDay, back),
            SrsVerdict::kValid);
  EXPECT_EQ(SrsReverseAddress(kSrs, LocalOf(out), kNow + (kSrsMaxAgeDays + 1) * kDay, back),
            SrsVerdict::kExpired);
  EXPECT_TRUE(back.empty());
  // Not rewritten: the null sender, our own domain, what no bounce could reach.
  for (const char *sender : {"", "bob@fwd.example", "no-at-sign", "a b@x.example", "c@bad_host"}) {
    EXPECT_FALSE(SrsForwardAddress(kSrs, sender, kNow, out)) << sender;
    EXPECT_EQ(out, sender);
  }
}

// Another forwarder's SRS0 address becomes SRS1, whose bounce goes back to
// that forwarder (only it can check its hash); forwarding it again keeps
// the first forwarder.
TEST(SrsTest, SecondHopsPointBackToTheFirstForwarder) {
  std::string first, second, third, back;
  SrsSettings other{"another secret, other host......", "first.example"};
  ASSERT_TRUE(SrsForwardAddress(other, "a@origin.example", kNow, first));
  ASSERT_TRUE(SrsForwardAddress(kSrs, first, kNow, second));
  EXPECT_EQ(second.rfind("SRS1=", 0), 0u) << second;
  EXPECT_EQ(SrsReverseAddress(kSrs, LocalOf(second), kNow, back), SrsVerdict::kValid);
  EXPECT_EQ(back, first);
  SrsSettings third_host{"yet another secret for a third..", "third.example"};
  ASSERT_TRUE(SrsForwardAddress(third_host, second, kNow, third));
  EXPECT_EQ(SrsReverseAddress(third_host, LocalOf(third), kNow, back), SrsVerdict::kValid);
  EXPECT_EQ(back, first);
}

TEST(SrsTest, ForgedAndMalformedAddressesAreRefused) {
  std::string out, back;
  ASSERT_TRUE(SrsForwardAddress(kSrs, "a@origin.example", kNow, out));
  std::string local = LocalOf(out);
  std::string domainChanged = local;
  domainChanged.replace(domainChanged.find("origin"), 6, "victim");
  std::string hashChanged = local;
  hashChanged[5] = hashChanged[5] == 'A' ? 'B' : 'A';
  SrsSettings otherSecret{"not the secret that made it.....", "fwd.example"};
  EXPECT_EQ(SrsReverseAddress(otherSecret, local, kNow, back), SrsVerdict::kForged);
  for (const std::string &bad :
       {domainChanged, hashChanged, std::string("SRS0=AAAAAA=AA=x.example=a"), std::string("SRS0="),
        std::string("SRS0=AAAAAA"), std::string("SRS0=AAAAAA=A1=x.example=a"),
        std::string("SRS1=AAAAAA=x.example=nofirst"), std::string("SRS0=") + local.substr(5) + " x",
        std::string(kMaxSrsAddress + 1, 'S')}) {
    SrsVerdict v = SrsReverseAddress(kSrs, bad, kNow, back);
    EXPECT_TRUE(v == SrsVerdict::kForged || (v == SrsVerdict::kNotSrs && bad[4] != '=')) << bad;
    EXPECT_TRUE(back.empty()) << bad;
  }
  EXPECT_EQ(SrsReverseAddress(kSrs, "postmaster", kNow, back), SrsVerdict::kNotSrs);
}

TEST(SrsTest, SecretIsMadeOnceAndKeptPrivate) {
  std::string root = std::getenv("ZEL_ROOT");  // each test binary's own scratch root
  std::string path = root + "/srs-secret", secret, again, why;
  ASSERT_TRUE(LoadSrsSecret(path, secret, why)) << why;
  EXPECT_EQ(secret.size(), 2 * kSrsSecretBytes);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(LoadSrsSecret(path, again, why)) << why;
  EXPECT_EQ(again, secret);
  chmod(path.c_str(), 0644);
  EXPECT_FALSE(LoadSrsSecret(path, again, why));
  EXPECT_NE(why.find("others"), std::string::npos) << why;
  std::string shortOne = root + "/short-secret";
  ASSERT_TRUE(CreateFileWithText(shortOne, "tooshort\n", 0600));
  EXPECT_FALSE(LoadSrsSecret(shortOne, again, why));
}

}  // namespace
