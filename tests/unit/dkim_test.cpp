// DKIM: signing and verifying through libopendkim, the key records and the
// name server path of the key lookups (a FakeDnsServer as NameServer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "common/dkim.h"
#include "common/sasl.h"
#include "platform/pubkeycache.h"
#include "tests/unit/dnstest.h"
#include "tests/unit/testutil.h"

namespace {

constexpr const char *kDomain = "example.test";
const std::string kMessage = Crlf(
    "From: A <a@example.test>\nTo: b@other.test\nSubject: hello\nDate: Mon, 1 Jan 2024 10:00:00 "
    "+0000\nMessage-ID: <1@example.test>\n\nBody line.\n..stuffed\n.\n");

// A TXT record's data: the text in strings of at most 255 bytes.
std::string TxtData(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size(); at += 255) {
    std::string_view part = text.substr(at, 255);
    out += static_cast<char>(part.size());
    out += part;
  }
  return out;
}

DkimSigningKey NewKey(SigningKeyType type, const char *selector, std::string *record) {
  DkimSigningKey key{kDomain, selector, type, {}};
  std::string why, publicKey;
  EXPECT_TRUE(MakeSigningKey(type, key.PrivateKeyPem, why)) << why;
  SigningKeyType found;
  EXPECT_TRUE(SigningPublicKey(key.PrivateKeyPem, found, publicKey, why)) << why;
  EXPECT_EQ(found, type);
  *record = DkimKeyRecord(type, publicKey);
  return key;
}

// The message with its signature fields on top, as the receiver stores it.
std::string Signed(const std::string &text, const std::vector<DkimSigningKey> &keys) {
  std::vector<std::string> values;
  std::string why, out;
  EXPECT_TRUE(DkimSign(MessageSource{text}, keys, &values, &why)) << why;
  for (const std::string &v : values) {
    std::string line = "DKIM-Signature: " + v + "\n";
    out += Crlf(line);
  }
  return out + text;
}

class DkimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa_ = new DkimSigningKey(NewKey(SigningKeyType::kRsa, "s-rsa", &rsaRecord_));
    ed_ = new DkimSigningKey(NewKey(SigningKeyType::kEd25519, "s-ed25519", &edRecord_));
  }
  // A lookup that serves the two records and says "no such name" otherwise.
  static bool Lookup(std::string_view name, DkimTxtAnswer &answer) {
    answer.Rcode = kDnsRcodeNxDomain;
    for (auto [selector, record] : {std::pair{"s-rsa", &rsaRecord_}, {"s-ed25519", &edRecord_}})
      if (name == std::string(selector) + "._domainkey." + kDomain) {
        answer.Rcode = kDnsRcodeNoError;
        answer.Records = {TxtData(*record)};
      }
    return true;
  }
  static std::vector<DkimCheck> Verify(const std::string &text, const DkimTxtLookup &lookup = Lookup) {
    std::vector<DkimCheck> checks;
    std::string why;
    EXPECT_TRUE(DkimVerify(MessageSource{text}, lookup, &checks, &why)) << why;
    return checks;
  }
  static inline DkimSigningKey *rsa_, *ed_;
  static inline std::string rsaRecord_, edRecord_;
};

TEST_F(DkimTest, BothAlgorithmsSignRelaxedWithFromOversigned) {
  std::string text = Signed(kMessage, {*rsa_, *ed_});
  EXPECT_NE(text.find("a=rsa-sha256; c=relaxed/relaxed; d=example.test"), std::string::npos);
  EXPECT_NE(text.find("a=ed25519-sha256"), std::string::npos);
  EXPECT_NE(text.find(":from;"), std::string::npos) << text;   // From once more than it occurs
  std::vector<DkimCheck> checks = Verify(text);
  ASSERT_EQ(checks.size(), 2u);
  for (const DkimCheck &c : checks) {
    EXPECT_EQ(c.Result, DkimResult::kPass) << c.Algorithm << " " << c.Reason;
    EXPECT_EQ(c.Domain, kDomain);
    EXPECT_EQ(c.HeaderB.size(), kDkimHeaderBLength);
  }
  EXPECT_EQ(checks[0].Selector + checks[1].Selector, "s-rsas-ed25519");
}

TEST_F(DkimTest, ChangesAndMissingKeysAreTheirOwnResults) {
  std::string text = Signed(kMessage, {*rsa_});
  std::string body = text, from = text;
  body.replace(body.find("Body line."), 4, "Bodi");
  from.replace(from.find("\r\n\r\n"), 0, "\r\nFrom: evil@other.test");
  EXPECT_EQ(Verify(body)[0].Result, DkimResult::kFail);
  EXPECT_EQ(Verify(from)[0].Result, DkimResult::kFail);
  DkimSigningKey unpublished = *rsa_;
  unpublished.Selector = "gone";
  EXPECT_EQ(Verify(Signed(kMessage, {unpublished}))[0].Result, DkimResult::kPermError);
  EXPECT_TRUE(Verify(kMessage).empty());
  std::string broken = "DKIM-Signature: v=1; a=rsa-sha256; d=example.test\r\n" + kMessage;
  EXPECT_EQ(Verify(broken)[0].Result, DkimResult::kNeutral);
}

TEST_F(DkimTest, AtMostFiveSignaturesAreLookedAt) {
  std::string text = kMessage;
  int lookups = 0;
  auto counting = [&](std::string_view name, DkimTxtAnswer &answer) {
    ++lookups;
    return Lookup(name, answer);
  };
  for (int i = 0; i < 7; ++i) text = Signed(text, {*ed_});
  EXPECT_EQ(Verify(text, counting).size(), kMaxDkimSignatures);
  EXPECT_LE(lookups, static_cast<int>(kMaxDkimSignatures));
}

// Decoded keys are reused only for the same key bytes: a record that now
// holds another key (a rotation under the same selector) is decoded afresh,
// so the old signature no longer passes.
TEST_F(DkimTest, DecodedKeysFollowTheRecordsBytes) {
  std::string text = Signed(kMessage, {*rsa_});
  EXPECT_EQ(Verify(text)[0].Result, DkimResult::kPass);
  size_t kept = CachedPublicKeyCount();
  EXPECT_GE(kept, 1u);
  EXPECT_EQ(Verify(text)[0].Result, DkimResult::kPass);
  EXPECT_EQ(CachedPublicKeyCount(), kept);
  std::string otherRecord;
  NewKey(SigningKeyType::kRsa, "s-rsa", &otherRecord);
  auto rotated = [&](std::string_view, DkimTxtAnswer &answer) {
    answer.Rcode = kDnsRcodeNoError;
    answer.Records = {TxtData(otherRecord)};
    return true;
  };
  EXPECT_EQ(Verify(text, rotated)[0].Result, DkimResult::kFail);
}

// The library reads a key from a memory BIO: a cached answer leaves the BIO
// where a decode would (past the key, at whatever follows it).
TEST(PublicKeyCacheTest, HitsConsumeWhatADecodeWould) {
  std::string pem, why, publicBase64;
  ASSERT_TRUE(MakeSigningKey(SigningKeyType::kRsa, pem, why)) << why;
  SigningKeyType type;
  ASSERT_TRUE(SigningPublicKey(pem, type, publicBase64, why)) << why;
  std::string der;
  ASSERT_TRUE(Base64Decode(publicBase64, der));
  std::string input = der + "tail";
  EVP_PKEY *first = nullptr;
  for (int round = 0; round < 2; ++round) {
    BIO *bio = BIO_new_mem_buf(input.data(), static_cast<int>(input.size()));
    EVP_PKEY *key = d2i_PUBKEY_bio(bio, nullptr);
    ASSERT_NE(key, nullptr);
    char rest[8] = {};
    EXPECT_EQ(BIO_read(bio, rest, sizeof rest), 4);
    EXPECT_EQ(std::string(rest, 4), "tail");
    BIO_free(bio);
    if (round == 0) {
      first = key;
      continue;
    }
    EXPECT_EQ(key, first);  // the same decoded key, one more reference
    EVP_PKEY_free(key);
    EVP_PKEY_free(first);
  }
  std::string truncated = der.substr(0, der.size() / 2);
  BIO *bio = BIO_new_mem_buf(truncated.data(), static_cast<int>(truncated.size()));
  EXPECT_EQ(d2i_PUBKEY_bio(bio, nullptr), nullptr);
  BIO_free(bio);
}

// Threads that meet a new key at once each decode it; one copy is kept and
// every caller owns one reference (a double free here corrupted the heap
// under load).
TEST(PublicKeyCacheTest, ThreadsDecodingOneNewKeyAtOnce) {
  constexpr int kKeys = 40, kThreads = 4;
  for (int k = 0; k < kKeys; ++k) {
    EVP_PKEY *made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ASSERT_NE(made, nullptr);
    unsigned char *der = nullptr;
    int length = i2d_PUBKEY(made, &der);
    ASSERT_GT(length, 0);
    std::atomic<int> ready{0};
    EVP_PKEY *got[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) {
        }
        BIO *bio = BIO_new_mem_buf(der, length);
        got[t] = d2i_PUBKEY_bio(bio, nullptr);
        BIO_free(bio);
      });
    for (std::thread &t : threads) t.join();
    for (EVP_PKEY *key : got) {
      ASSERT_NE(key, nullptr);
      EXPECT_EQ(EVP_PKEY_eq(key, made), 1);
      EVP_PKEY_free(key);
    }
    BIO *again = BIO_new_mem_buf(der, length);
    EVP_PKEY *kept = d2i_PUBKEY_bio(again, nullptr);
    BIO_free(again);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(kept, made), 1);
    EVP_PKEY_free(kept);
    OPENSSL_free(der);
    EVP_PKEY_free(made);
  }
}

// The lookups go to NameServer's servers: a record, no such name, a server
// failure and a server that never answers.
TEST_F(DkimTest, KeyLookupsThroughTheNameServer) {
  std::string text = Signed(kMessage, {*rsa_});
  bool silent = false;
  uint16_t flags = dnstest::kResponse;
  dnstest::FakeDnsServer server([&](const std::string &query, bool) -> std::vector<std::string> {
    dnstest::Asked q;
    if (silent || !dnstest::ReadQuery(query, q)) return {};
    if (flags != dnstest::kResponse) return {dnstest::Reply(q, {}, flags)};
    return {dnstest::Reply(q, {{q.name, kDnsTypeTXT, TxtData(rsaRecord_)}})};
  });
  DnsServerAddress address;
  ASSERT_TRUE(ParseAddress("127.0.0.1", &address.address));
  address.port = server.Port();
  DkimTxtLookup lookup = NameServerTxtLookup({address});
  EXPECT_EQ(Verify(text, lookup)[0].Result, DkimResult::kPass);
  flags = dnstest::kResponse | kDnsRcodeNxDomain;
  EXPECT_EQ(Verify(text, lookup)[0].Result, DkimResult::kPermError);
  flags = dnstest::kResponse | kDnsRcodeServFail;
  EXPECT_EQ(Verify(text, lookup)[0].Result, DkimResult::kTempError);
  silent = true;
  EXPECT_EQ(Verify(text, lookup)[0].Result, DkimResult::kTempError);
}

TEST(DkimKeysTest, SigningFileIsStrict) {
  std::vector<DkimSigningSelector> s;
  EXPECT_TRUE(ParseDkimSigningFile("rsa z202401-rsa\ned25519 z202401-ed25519\n", s));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(FormatDkimSigningFile(s), "rsa z202401-rsa\ned25519 z202401-ed25519\n");
  for (const char *bad : {"rsa a\nrsa b\n", "dsa a\n", "rsa ../x\n", "rsa\n", "rsa a b\n",
                          "rsa a/b\n"})
    EXPECT_FALSE(ParseDkimSigningFile(bad, s)) << bad;
  EXPECT_FALSE(IsDkimDomain("../etc"));
  EXPECT_FALSE(IsDkimSelector(std::string(kMaxDkimSelector + 1, 'a')));
}

}  // namespace
