// The SMTP client's AUTH at the relay host: the mechanism chosen from the
// EHLO keywords, the exchange against scripted replies (what is sent, what
// ends it, hosts that keep challenging or send garbage), and the password
// file's checks.
#include "ZELDELIV/smtpauth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "ZELDELIV/smtpsend.h"
#include "common/sasl.h"
#include "tests/unit/testutil.h"

namespace {

// Answers each line with the next reply of the script (-1: the dialogue
// breaks), recording the lines.
struct ScriptedHost {
  std::vector<std::string> replies;
  std::vector<std::string> sent;
  AuthStep Step() {
    return [this](std::string_view line, std::string &reply) {
      sent.emplace_back(line);
      if (sent.size() > replies.size() || replies[sent.size() - 1] == "<drop>") return -1;
      reply = replies[sent.size() - 1];
      return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
    };
  }
};

std::string B64(std::string_view text) { return Base64Encode(text); }

TEST(SmtpAuth, MechanismFromEhlo) {
  struct Case {
    const char *reply;
    AuthMechanism want;
  } cases[] = {
      {"250-p\r\n250 AUTH LOGIN PLAIN\r\n", AuthMechanism::kPlain},
      {"250-p\r\n250 auth cram-md5 login\r\n", AuthMechanism::kLogin},
      {"250-p\r\n250-AUTH=LOGIN\r\n250 AUTH CRAM-MD5\r\n", AuthMechanism::kLogin},
      {"250-p\r\n250-AUTH=PLAIN LOGIN\r\n250 AUTH LOGIN\r\n", AuthMechanism::kPlain},
      {"250-p\r\n250-AUTH XOAUTH2 PLAINX\r\n250 AUTHX PLAIN\r\n", AuthMechanism::kNone},
      {"250 AUTH PLAIN\r\n", AuthMechanism::kNone},   // the greeting line is no keyword
  };
  for (const Case &c : cases) EXPECT_EQ(ParseEhloReply(c.reply).Auth, c.want) << c.reply;
}

TEST(SmtpAuth, Challenges) {
  std::string out;
  EXPECT_TRUE(ParseAuthChallenge("334 VXNlcm5hbWU6\r\n", out));
  EXPECT_EQ(out, "Username:");
  EXPECT_TRUE(ParseAuthChallenge("334\r\n", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(ParseAuthChallenge("334 \n", out));
  for (const char *bad : {"334-VXNl\r\n334 cm5h\r\n", "334 not base64!\r\n", "235 ok\r\n",
                          "334x\r\n", "33", ""})
    EXPECT_FALSE(ParseAuthChallenge(bad, out)) << bad;
  EXPECT_TRUE(ParseAuthChallenge("334 " + std::string(kMaxAuthChallenge, 'A') + "\r\n", out));
  EXPECT_FALSE(ParseAuthChallenge("334 " + std::string(kMaxAuthChallenge + 4, 'A'), out));
}

TEST(SmtpAuth, Exchanges) {
  const std::string plain = "AUTH PLAIN " + B64(std::string("\0u\0pw", 5)) + "\r\n";
  struct Case {
    AuthMechanism mechanism;
    std::vector<std::string> replies;
    AuthOutcome want;
    std::vector<std::string> sent;
  } cases[] = {
      {AuthMechanism::kPlain, {"235 ok"}, AuthOutcome::kAccepted, {plain}},
      // A host that wants the response after an empty challenge gets it.
      {AuthMechanism::kPlain,
       {"334 ", "235 ok"},
       AuthOutcome::kAccepted,
       {plain, B64(std::string("\0u\0pw", 5)) + "\r\n"}},
      {AuthMechanism::kPlain, {"535 5.7.8 bad"}, AuthOutcome::kRefused, {plain}},
      {AuthMechanism::kPlain, {"454 4.7.0 later"}, AuthOutcome::kRefused, {plain}},
      {AuthMechanism::kLogin,
       {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok"},
       AuthOutcome::kAccepted,
       {"AUTH LOGIN\r\n", B64("u") + "\r\n", B64("pw") + "\r\n"}},
      {AuthMechanism::kLogin,
       {"334 VXNlcm5hbWU6", "535 no such user"},
       AuthOutcome::kRefused,
       {"AUTH LOGIN\r\n", B64("u") + "\r\n"}},
      // A third challenge has no answer: cancelled.
      {AuthMechanism::kLogin,
       {"334 VXNl", "334 UGFz", "334 TW9yZQ==", "501 cancelled"},
       AuthOutcome::kBadChallenge,
       {"AUTH LOGIN\r\n", B64("u") + "\r\n", B64("pw") + "\r\n", "*\r\n"}},
      {AuthMechanism::kLogin,
       {"334 ???", "501 cancelled"},
       AuthOutcome::kBadChallenge,
       {"AUTH LOGIN\r\n", "*\r\n"}},
      {AuthMechanism::kPlain, {"<drop>"}, AuthOutcome::kBroken, {plain}},
      {AuthMechanism::kLogin, {"334 VXNl", "<drop>"}, AuthOutcome::kBroken,
       {"AUTH LOGIN\r\n", B64("u") + "\r\n"}},
  };
  for (const Case &c : cases) {
    ScriptedHost host{c.replies, {}};
    std::string reply;
    EXPECT_EQ(RunAuthExchange(c.mechanism, "u", "pw", host.Step(), reply), c.want)
        << c.replies.front();
    EXPECT_EQ(host.sent, c.sent) << c.replies.front();
    if (c.want == AuthOutcome::kRefused) {
      EXPECT_EQ(reply, c.replies.back());
    }
  }
}

TEST(SmtpAuth, PasswordFile) {
  const std::string path = std::string(std::getenv("ZEL_ROOT")) + "/gateway-password";
  std::string password, why;
  auto write = [&](const std::string &text, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
  };
  write("s3cret\nsecond line\n", 0600);
  EXPECT_TRUE(ReadGatewayPassword(path, password, why));
  EXPECT_EQ(password, "s3cret");
  write("crlf\r\n", 0400);
  EXPECT_TRUE(ReadGatewayPassword(path, password, why));
  EXPECT_EQ(password, "crlf");
  write(std::string(kMaxGatewayPassword, 'p'), 0600);   // no line end
  EXPECT_TRUE(ReadGatewayPassword(path, password, why));
  EXPECT_EQ(password.size(), kMaxGatewayPassword);
  for (std::string bad : {std::string("\nafter an empty line\n"), std::string(),
                          std::string(kMaxGatewayPassword + 1, 'p') + "\n"}) {
    write(bad, 0600);
    EXPECT_FALSE(ReadGatewayPassword(path, password, why)) << bad.size();
    EXPECT_TRUE(password.empty());
    EXPECT_NE(why.find("no password"), std::string::npos) << why;
  }
  // Others may read it: refused, and the password never read.
  for (mode_t mode : {0640, 0604, 0620}) {
    write("s3cret\n", mode);
    EXPECT_FALSE(ReadGatewayPassword(path, password, why)) << mode;
    EXPECT_NE(why.find("others"), std::string::npos) << why;
  }
  EXPECT_FALSE(ReadGatewayPassword(path + "-none", password, why));
  EXPECT_NE(why.find("cannot be opened"), std::string::npos) << why;
  EXPECT_EQ(why.find("s3cret"), std::string::npos);
}

}  // namespace
