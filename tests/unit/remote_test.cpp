// The delivery agent's two processes: their messages (chanwire), the
// channel between them, and generated mail handed to the remote side for
// the filters (genfilter's hand-off), whose answer the privileged side
// checks like a filter's.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include "ZELDELIV/channel.h"
#include "ZELDELIV/chanwire.h"
#include "ZELDELIV/genfilter.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/remote.h"
#include "ZELDELIV/settings.h"
#include "common/loadcfig.h"
#include "common/milter.h"
#include "platform/childproc.h"
#include "platform/registry.h"
#include "tests/unit/delivfixture.h"

namespace delivtest {
namespace {

ChannelMessage Message(ChannelKind kind, std::vector<std::string> texts, uint32_t id = 0) {
  ChannelMessage m;
  m.Kind = kind;
  m.Id = id;
  m.Texts = std::move(texts);
  return m;
}

TEST(ChanWire, MessagesRoundTripAndAnythingElseIsRefused) {
  const ChannelMessage good[] = {
      Message(ChannelKind::kDeliverLocally, {"example.net"}, 7),
      Message(ChannelKind::kDeadLetter, {"B0000000001.MSG", "File I/O error"}, 8),
      Message(ChannelKind::kQueueLeft, {"example.net"}),
      Message(ChannelKind::kFilterGenerated, {"B0000000002@host"}, 9),
      Message(ChannelKind::kWake, {}),
  };
  for (const ChannelMessage &m : good) {
    std::string wire = EncodeChannelMessage(m);
    ChannelMessage back;
    ASSERT_TRUE(DecodeChannelMessage(wire, back)) << static_cast<int>(m.Kind);
    EXPECT_EQ(back.Kind, m.Kind);
    EXPECT_EQ(back.Id, m.Id);
    EXPECT_EQ(back.Texts, m.Texts);
    // Every cut of it, and anything behind it, is refused.
    for (size_t n = 0; n < wire.size(); ++n)
      EXPECT_FALSE(DecodeChannelMessage(wire.substr(0, n), back)) << n;
    EXPECT_FALSE(DecodeChannelMessage(wire + "x", back));
  }
  ChannelMessage answer;
  answer.Kind = ChannelKind::kAnswer;
  answer.Id = 0xFFFFFFFE;
  answer.Value = kFilterTextChanged | 2;
  ChannelMessage back;
  ASSERT_TRUE(DecodeChannelMessage(EncodeChannelMessage(answer), back));
  EXPECT_EQ(back.Value, answer.Value);
  EXPECT_EQ(back.Id, answer.Id);
  std::string wire = EncodeChannelMessage(good[0]);
  std::string unknown = wire, extraText = wire, tooLong = wire;
  unknown[0] = 0x7F;
  extraText[9] = 2;   // the count of texts
  EXPECT_FALSE(DecodeChannelMessage(unknown, back));
  EXPECT_FALSE(DecodeChannelMessage(extraText, back));
  // A text longer than its field, however it was made.
  tooLong.resize(10);
  tooLong += std::string("\x01\x01", 2) + std::string(257, 'd');
  EXPECT_FALSE(DecodeChannelMessage(tooLong, back));
  // The encoder keeps to the bounds itself.
  ASSERT_TRUE(DecodeChannelMessage(
      EncodeChannelMessage(Message(ChannelKind::kQueueLeft, {std::string(300, 'd')})), back));
  EXPECT_EQ(back.Texts[0].size(), kMaxChannelDomain);
}

TEST(ChanWire, EnvelopesRoundTripWithinTheirBounds) {
  std::string sender;
  std::vector<std::string> recipients;
  std::string wire = EncodeEnvelope("", {"a@example.net", "b@example.net"});
  ASSERT_TRUE(DecodeEnvelope(wire, sender, recipients));
  EXPECT_EQ(sender, "");
  EXPECT_EQ(recipients, (std::vector<std::string>{"a@example.net", "b@example.net"}));
  for (size_t n = 0; n < wire.size(); ++n) EXPECT_FALSE(DecodeEnvelope(wire.substr(0, n), sender, recipients));
  EXPECT_FALSE(DecodeEnvelope(wire + "x", sender, recipients));
  // No sender at all, and a count far beyond what is there.
  EXPECT_FALSE(DecodeEnvelope(std::string(4, '\0'), sender, recipients));
  EXPECT_FALSE(DecodeEnvelope(std::string("\xFF\xFF\xFF\x7F", 4), sender, recipients));
}

// Two ends of a channel, each served by a thread of its own.
struct ChannelPair {
  std::shared_ptr<Channel> A, B;
  std::thread ServeA, ServeB;
  bool OrderlyB = true;
  ChannelPair(Channel::Handler handlerA, Channel::Handler handlerB) {
    UniqueFd a, b;
    EXPECT_TRUE(CreatePacketPair(a, b));
    A = std::make_shared<Channel>(std::move(a));
    B = std::make_shared<Channel>(std::move(b));
    ServeA = std::thread([this, handlerA] { A->Serve(handlerA); });
    ServeB = std::thread([this, handlerB] { OrderlyB = B->Serve(handlerB); });
  }
  ~ChannelPair() {
    A->Close();
    B->Close();
    ServeA.join();
    ServeB.join();
  }
};

void Unused(const std::shared_ptr<Channel> &, ChannelMessage &, std::vector<UniqueFd> &) {}

// Answers with the length of the first text, or (with a descriptor) puts
// the text into the handed file and answers with what it held before.
void Echo(const std::shared_ptr<Channel> &channel, ChannelMessage &m, std::vector<UniqueFd> &fds) {
  uint32_t value = m.Texts.empty() ? 0 : static_cast<uint32_t>(m.Texts[0].size());
  if (!fds.empty()) {
    std::string before;
    EXPECT_TRUE(ReadHandedFile(fds[0].Get(), 100, before));
    value = static_cast<uint32_t>(before.size());
    EXPECT_TRUE(WriteHandedFile(fds[0].Get(), m.Texts[0]));
  }
  if (m.Kind == ChannelKind::kDeadLetter) return;   // a request left unanswered
  if (m.Id != 0) channel->Answer(m.Id, value);
}

TEST(Channel, CallsAreAnsweredAndFilesHandedOver) {
  ChannelPair pair(Unused, Echo);
  uint32_t value = 0;
  ASSERT_TRUE(pair.A->Call(Message(ChannelKind::kDeliverLocally, {"example.net"}), {}, 5000, &value));
  EXPECT_EQ(value, 11u);
  // Several callers at once each get their own answer.
  std::vector<std::thread> callers;
  for (int i = 1; i <= 8; ++i)
    callers.emplace_back([&pair, i] {
      uint32_t v = 0;
      EXPECT_TRUE(pair.A->Call(Message(ChannelKind::kDeliverLocally, {std::string(i, 'x')}), {},
                               5000, &v));
      EXPECT_EQ(v, static_cast<uint32_t>(i));
    });
  for (std::thread &t : callers) t.join();
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_TRUE(WriteHandedFile(file.Get(), "before!"));
  const int fds[] = {file.Get()};
  ASSERT_TRUE(pair.A->Call(Message(ChannelKind::kFilterGenerated, {"after"}), fds, 5000, &value));
  EXPECT_EQ(value, 7u);
  std::string now;
  ASSERT_TRUE(ReadHandedFile(file.Get(), 100, now));
  EXPECT_EQ(now, "after");
  EXPECT_FALSE(ReadHandedFile(file.Get(), 4, now));   // larger than the bound
  // No answer: the caller gives up in time, and a late answer harms nobody.
  SetLastError(0);
  EXPECT_FALSE(pair.A->Call(Message(ChannelKind::kDeadLetter, {"n", "r"}), {}, 100, &value));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
}

TEST(Channel, ABrokenMessageEndsTheChannelAndItsCalls) {
  UniqueFd raw, end;
  ASSERT_TRUE(CreatePacketPair(raw, end));
  auto channel = std::make_shared<Channel>(std::move(end));
  bool orderly = true;
  std::thread reader([&] { orderly = channel->Serve(Echo); });
  std::thread caller([&] {
    uint32_t value = 0;
    SetLastError(0);
    EXPECT_FALSE(channel->Call(Message(ChannelKind::kWake, {}), {}, 60000, &value));
    EXPECT_EQ(GetLastError(), EPIPE);
  });
  std::string request;
  std::vector<UniqueFd> fds;
  ASSERT_EQ(ReceivePacket(raw.Get(), request, fds), 1);   // the caller's request
  ASSERT_TRUE(SendPacket(raw.Get(), "\x05garbage"));
  caller.join();
  reader.join();
  EXPECT_FALSE(orderly);
  EXPECT_TRUE(channel->Closed());
  uint32_t value = 0;
  EXPECT_FALSE(channel->Call(Message(ChannelKind::kWake, {}), {}, 1000, &value));
  EXPECT_EQ(ReceivePacket(raw.Get(), request, fds), 0);   // shut down for the other side too
}

// ---- what the remote side may ask of the privileged side

using PrivilegedSide = DelivTest;

TEST_F(PrivilegedSide, TakesNoMoreFromTheRemoteSideThanItMayAsk) {
  ASSERT_TRUE(CreateDirectory(MailDomainsDirectory));
  const std::string local = MailDomainsDirectory + "/$local$";
  for (const std::string &d : {local, MailDomainsDirectory + "/done.example",
                               MailDomainsDirectory + "/busy.example"})
    ASSERT_TRUE(CreateDirectory(d));
  WriteFile(MailDomainsDirectory + "/busy.example/B0000000001.RCP", "Message-ID: <x>\n");
  PutHeld("B0000000002", "Subject: s\n\n.\n");
  const std::string refused[][2] = {{"", ""}, {"$local$", ""}, {"..", ""}, {"a/b", ""},
                                    {"x\ny", ""}};
  for (const auto &r : refused) {
    EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kDeliverLocally, {r[0]})),
              kAnswerRefused) << r[0];
    EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kDeadLetter, {r[0], "why"})),
              kAnswerRefused) << r[0];
  }
  for (const char *name : {"../dead/B1.MSG", "B1.TXT", ".MSG"})
    EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kDeadLetter, {name, "x"})),
              kAnswerRefused) << name;
  EXPECT_TRUE(ListDir(MailDeadDirectory).empty());
  // A dead letter of a held message, with the reason made safe.
  EXPECT_EQ(ServeRemoteSideRequest(
                Message(ChannelKind::kDeadLetter, {"B0000000002.MSG", "bad\r\nForged: line"})),
            1u);
  EXPECT_EQ(ListDir(MailDeadDirectory),
            (std::vector<std::string>{"B0000000002.MSG", "B0000000002.TXT"}));
  EXPECT_EQ(Slurp(MailDeadDirectory + "/B0000000002.TXT").find("\nForged"), std::string::npos);
  // Queue directories: an empty finished one goes; the local queue, and a
  // queue with mail in it, stay.
  for (const char *d : {"$local$", "done.example", "busy.example", "..", "../dead"})
    ServeRemoteSideRequest(Message(ChannelKind::kQueueLeft, {d}));
  EXPECT_EQ(ListDir(MailDomainsDirectory),
            (std::vector<std::string>{"$local$", "busy.example"}));
  EXPECT_TRUE(DirectoryExists(MailDeadDirectory));
  // The privileged side's own requests are not the remote side's to make.
  EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kWake, {})), kAnswerRefused);
  EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kFilterGenerated, {"B1@h"})),
            kAnswerRefused);
  EXPECT_EQ(ServeRemoteSideRequest(Message(ChannelKind::kDeliverLocally, {"none.example"})), 1u);
}

TEST_F(PrivilegedSide, HandsTheRelayPasswordIntoAMemoryFile) {
  const std::string path = MailSpoolDirectory + "/relay.password";
  WriteFile(path, "pw of relay\nsecond\n");
  chmod(path.c_str(), 0600);
  auto ask = [](std::string &text) {
    std::vector<UniqueFd> fds;
    fds.emplace_back(CreateMemoryFile());
    uint32_t value = HandGatewayPassword(fds);
    EXPECT_TRUE(ReadHandedFile(fds[0].Get(), kMaxHandedPassword, text));
    return value;
  };
  std::string text;
  EXPECT_EQ(ask(text), 0u);   // no GatewayUser yet
  GatewayUser = "relay";
  GatewayPasswordFile = path;
  EXPECT_EQ(ask(text), 1u);
  EXPECT_EQ(text, "pw of relay");
  chmod(path.c_str(), 0644);
  EXPECT_EQ(ask(text), 0u);
  EXPECT_NE(text.find("others"), std::string::npos) << text;
  std::vector<UniqueFd> none;
  EXPECT_EQ(HandGatewayPassword(none), kAnswerRefused);
  GatewayUser.clear();
  GatewayPasswordFile.clear();
}

// ---- generated mail handed to the remote side

class HandOff : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    SetFilters({"inet:127.0.0.1:1"});
  }
  void TearDown() override {
    HandGeneratedFiltersOff = nullptr;
    SetFilters({});
    DelivTest::TearDown();
  }
  static void SetFilters(const std::vector<std::string> &filters) {
    RegKey params;
    ASSERT_EQ(OpenParametersKey(params), ERROR_SUCCESS);
    std::string multi;
    for (const std::string &f : filters) multi += f + '\0';
    multi += '\0';
    if (filters.empty())
      RegDeleteValue(params.get(), kMiltersValue);
    else
      ASSERT_EQ(RegSetValueEx(params.get(), kMiltersValue, REG_MULTI_SZ, multi.data(),
                              static_cast<DWORD>(multi.size())),
                ERROR_SUCCESS);
    LoadDeliveryFilters();
  }
  static bool Queue(const std::vector<std::string> &to) {
    GeneratedMessage msg;
    return msg.Create(kHost) && msg.Stream().Write("Subject: x\n\nbody\n.\n") && msg.Queue("", to);
  }
  static inline int handedOff = 0;
  static inline GeneratedFilterOutcome outcome = GeneratedFilterOutcome::kQueue;
  static inline GeneratedEnvelope answer;
  static inline std::optional<std::string> answerText;
  static GeneratedFilterOutcome Remote(int fd, const std::string &, GeneratedEnvelope &env,
                                       std::optional<std::string> *changed) {
    ++handedOff;
    std::string text;
    EXPECT_TRUE(ReadHandedFile(fd, 1000, text));
    EXPECT_EQ(Unix(text), "Subject: x\n\nbody\n.\n");
    env = answer;
    *changed = answerText;
    return outcome;
  }
};

TEST_F(HandOff, TheRemoteSidesAnswerIsCheckedAndAFailureWaits) {
  HandGeneratedFiltersOff = Remote;
  // Mail that stays here is never handed over.
  handedOff = 0;
  EXPECT_TRUE(Queue({"alice"}));
  EXPECT_EQ(handedOff, 0);
  ClearIncoming();
  // The remote side down, or its answer unusable: nothing is queued.
  outcome = GeneratedFilterOutcome::kRetry;
  EXPECT_FALSE(Queue({"far@remote.example"}));
  outcome = GeneratedFilterOutcome::kQueue;
  answer = {"", {"evil@remote.example\r\nRCPT TO:<x@y>"}};
  EXPECT_FALSE(Queue({"far@remote.example"}));
  answer = {"", {}};
  EXPECT_FALSE(Queue({"far@remote.example"}));
  EXPECT_EQ(handedOff, 3);
  EXPECT_TRUE(Incoming().empty());
  EXPECT_TRUE(ListDir(MailQueueDirectory).empty());
  // Its changes are queued.
  answer = {"bounce@example.org", {"signed@remote.example"}};
  answerText = Crlf("Subject: x\nX-Signed: yes\n\nbody\n.\n");
  EXPECT_TRUE(Queue({"far@remote.example"}));
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Recipients(), (std::vector<std::string>{"signed@remote.example"}));
  EXPECT_STREQ(out[0].envelope->ReturnPath, "bounce@example.org");
  EXPECT_EQ(out[0].text, "Subject: x\nX-Signed: yes\n\nbody\n.\n");
}

}  // namespace
}  // namespace delivtest
