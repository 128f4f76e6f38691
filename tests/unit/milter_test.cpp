// Filter sessions against a real filter library: tests/e2e/scriptfilter.py
// (pymilter, or its raw engine for garbage and silence) runs as a child
// process on a loopback port and does what each test's script says.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/milter.h"
#include "common/milterproto.h"
#include "platform/root.h"
#include "platform/iocp.h"
#include "platform/sockets.h"
#include "testutil.h"

namespace {

const std::string kScript = std::string(ZEL_GOLDEN_DIR) + "/../e2e/scriptfilter.py";
constexpr const char *kPython = "/usr/bin/python3";

bool HavePymilter() {
  static const bool have =
      std::system((std::string(kPython) + " -c 'import Milter' 2>/dev/null").c_str()) == 0;
  return have;
}

// The filter process: started with its arguments, stopped when destroyed.
class ScriptFilter {
 public:
  explicit ScriptFilter(std::vector<std::string> args) {
    record_ = std::string(std::getenv("ZEL_ROOT")) + "/filter-" + std::to_string(++count_) + ".rec";
    args.insert(args.begin(), {kPython, kScript, "--record", record_});
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kPython, argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1)
      line += c;
    close(out[0]);
    if (line.rfind("READY ", 0) == 0) spec_ = line.substr(6, line.size() - 7);
  }
  ~ScriptFilter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  const std::string &Spec() const { return spec_; }
  std::string Record() const { return Slurp(record_); }

 private:
  static inline int count_ = 0;
  pid_t pid_ = -1;
  std::string spec_;
  std::string record_;
};

ScriptFilter Pymilter(const std::string &script) { return ScriptFilter({"--script", script}); }
ScriptFilter Raw(const std::string &mode) { return ScriptFilter({"--raw", mode}); }

MilterSettings Settings(const std::vector<std::string> &specs, DWORD timeoutMs = 3000) {
  MilterSettings s;
  for (const std::string &spec : specs) {
    MilterAddress a;
    EXPECT_TRUE(ParseMilterAddress(spec, &a)) << spec;
    s.Filters.push_back(a);
  }
  s.ConnectTimeoutMs = s.CommandTimeoutMs = s.ContentTimeoutMs = timeoutMs;
  return s;
}

MilterConnectInfo Info() {
  MilterConnectInfo i;
  i.HostName = "mx.example.test";
  i.DaemonName = "zelrecv";
  i.ClientName = "client.example.test";
  ParseAddress("192.0.2.7", &i.ClientAddress);
  i.ClientPort = 40000;
  ParseAddress("127.0.0.1", &i.LocalAddress);
  return i;
}

const std::string kText =
    "Received: from client\r\n"
    "Subject: hello\r\n"
    "\r\n"
    "line one\r\n"
    "..dotted\r\n"
    ".\r\n";

// One whole transaction; the result of the first stage that does not
// continue, or the message stage's.
MilterResult Transaction(MilterSession &s, const std::string &text = kText,
                         std::vector<std::string> rcpts = {"a@example.test"},
                         const std::atomic<bool> *cancel = nullptr) {
  MilterResult r;
  auto stage = [&](MilterStage st, std::string arg) {
    MilterRequest q;
    q.Stage = st;
    q.Argument = std::move(arg);
    if (st == MilterStage::Message) q.Message = text;
    RunMilterStage(s, q, &r, cancel);
    return r.Decision == MilterDecision::Continue;
  };
  if (!stage(MilterStage::Connect, "") || !stage(MilterStage::Helo, "client.example.test") ||
      !stage(MilterStage::Mail, "s@example.test"))
    return r;
  for (const std::string &rcpt : rcpts)
    if (!stage(MilterStage::Rcpt, rcpt)) return r;
  if (stage(MilterStage::Data, "")) stage(MilterStage::Message, "");
  return r;
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

#define NEED_PYMILTER() \
  if (!HavePymilter()) GTEST_SKIP() << "python3-milter (pymilter) is not installed"

TEST(MilterSession, NegotiatesAndSendsMacrosStagesAndText) {
  NEED_PYMILTER();
  ScriptFilter f = Pymilter("{}");
  MilterSession s(Settings({f.Spec()}), Info());
  s.MessageId = "B0000000042";
  s.AuthName = "alice";
  MilterResult r = Transaction(s);
  EXPECT_EQ(r.Decision, MilterDecision::Continue);
  EXPECT_TRUE(r.Changers.empty());
  EXPECT_EQ(MilterLogText(r), "");
  std::string rec = f.Record();
  for (const char *part :
       {"\"j\": \"mx.example.test\"", "\"{daemon_name}\": \"zelrecv\"",
        "\"{client_addr}\": \"192.0.2.7\"", "\"{client_name}\": \"client.example.test\"",
        "\"{if_addr}\": \"127.0.0.1\"", "\"i\": \"B0000000042\"",
        "\"{mail_addr}\": \"s@example.test\"", "\"{auth_authen}\": \"alice\"",
        "\"{rcpt_addr}\": \"a@example.test\"", "\"args\": [\"<s@example.test>\"]",
        "\"headers\": [[\"Received\", \"from client\"], [\"Subject\", \"hello\"]]",
        "\"body\": \"line one\\r\\n.dotted\\r\\n\""})
    EXPECT_TRUE(Has(rec, part)) << part << "\n" << rec;
}

TEST(MilterSession, EveryActionAtTheEndOfTheMessage) {
  NEED_PYMILTER();
  ScriptFilter f = Pymilter(R"({"stages": {"eom": [
      ["addheader", "X-Added", "yes"], ["addheader", "X-Top", "first", 0],
      ["chgheader", "Subject", 1, "changed"], ["chgheader", "Received", 1, null],
      ["chgfrom", "<new@example.test>"], ["addrcpt", "<b@example.test>"],
      ["addrcpt", "<c@example.test>", "NOTIFY=NEVER"], ["delrcpt", "<a@example.test>"],
      ["replacebody", ".new\nbody"], ["quarantine", "looks odd"], ["progress", 1, 0],
      "accept"]}})");
  MilterSession s(Settings({f.Spec()}), Info());
  MilterResult r = Transaction(s);
  ASSERT_EQ(r.Decision, MilterDecision::Continue) << r.FailureText;
  EXPECT_TRUE(r.bChangeSender);
  EXPECT_EQ(r.Sender, "<new@example.test>");
  ASSERT_EQ(r.AddedRecipients.size(), 2u);
  EXPECT_EQ(r.AddedRecipients[1].Parameters, "NOTIFY=NEVER");
  EXPECT_EQ(r.DeletedRecipients, std::vector<std::string>{"<a@example.test>"});
  EXPECT_TRUE(r.bQuarantine);
  EXPECT_EQ(r.QuarantineReason, "looks odd");
  std::string out, error;
  ASSERT_TRUE(ApplyMilterEdits(kText, r.TextEdits, &out, &error)) << error;
  EXPECT_EQ(out, "X-Top: first\r\nSubject: changed\r\nX-Added: yes\r\n\r\n..new\r\nbody\r\n.\r\n");
  EXPECT_TRUE(Has(MilterLogText(r), "body replaced")) << MilterLogText(r);
}

TEST(MilterSession, RefusalsAtEachStage) {
  NEED_PYMILTER();
  struct Case {
    const char *Script;
    MilterDecision Decision;
    const char *Reply;
  } cases[] = {
      {R"({"stages": {"connect": ["reject"]}})", MilterDecision::Reject, "550 Command rejected\r\n"},
      {R"({"stages": {"helo": ["tempfail"]}})", MilterDecision::TempFail, kMilterTempFailReply},
      {R"({"stages": {"mail": [["reply", "550", "5.7.1", "first", "second"]]}})",
       MilterDecision::Reject, "550-5.7.1 first\r\n550 5.7.1 second\r\n"},
      {R"({"stages": {"data": [["reply", "451", "4.7.0", "later"]]}})", MilterDecision::TempFail,
       "451 4.7.0 later\r\n"},
      {R"({"stages": {"header": ["discard"]}})", MilterDecision::Discard, ""},
      {R"({"stages": {"eom": [["addheader", "X", "y"], "reject"]}})", MilterDecision::Reject,
       "550 Command rejected\r\n"},
  };
  for (const Case &c : cases) {
    ScriptFilter f = Pymilter(c.Script);
    MilterSession s(Settings({f.Spec()}), Info());
    MilterResult r = Transaction(s);
    EXPECT_EQ(r.Decision, c.Decision) << c.Script << " " << r.FailureText;
    EXPECT_EQ(r.Reply, c.Reply) << c.Script;
    EXPECT_FALSE(r.bFilterFailed) << c.Script;
    EXPECT_TRUE(r.TextEdits.empty()) << c.Script;
    EXPECT_EQ(r.Filter, f.Spec());
  }
}

TEST(MilterSession, RecipientRefusalAcceptAndNextTransactions) {
  NEED_PYMILTER();
  ScriptFilter f = Pymilter(R"({"stages": {"rcpt:<bad@example.test>": ["reject"],
      "rcpt:<acc@example.test>": ["accept"]}})");
  MilterSession s(Settings({f.Spec()}), Info());
  // A refused recipient is that recipient's answer alone.
  MilterResult r = Transaction(s, kText, {"good@example.test", "bad@example.test"});
  EXPECT_EQ(r.Decision, MilterDecision::Reject);
  // Once the filter accepts, the rest of the transaction passes it by; the
  // next transaction goes to it again.
  EXPECT_EQ(Transaction(s, kText, {"acc@example.test", "late@example.test"}).Decision,
            MilterDecision::Continue);
  EXPECT_EQ(Transaction(s).Decision, MilterDecision::Continue);
  std::string rec = f.Record();
  auto count = [&rec](const std::string &part) {
    size_t n = 0;
    for (size_t at = rec.find(part); at != std::string::npos; at = rec.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("\"stage\": \"eom\""), 1u) << rec;
  EXPECT_EQ(count("<late@example.test>"), 0u) << rec;
  EXPECT_GE(count("\"stage\": \"abort\""), 1u) << rec;
}

TEST(MilterSession, NoReplyAndSkippedStagesAndBodySkip) {
  NEED_PYMILTER();
  std::string big = "Subject: big\r\n\r\n";
  for (int i = 0; i < 3000; ++i) big += std::string(60, 'a' + i % 26) + "\r\n";
  big += ".\r\n";
  ScriptFilter noReply = Pymilter(R"({"noreply": ["connect", "helo", "mail", "rcpt", "data",
      "header", "eoh", "body"], "stages": {"eom": [["addheader", "X-Seen", "all"]]}})");
  ScriptFilter skipping = Pymilter(R"({"skip": ["header", "eoh"], "stages": {"body": ["skip"],
      "eom": [["addheader", "X-Skipped", "yes"]]}})");
  MilterSession s(Settings({noReply.Spec(), skipping.Spec()}), Info());
  MilterResult r = Transaction(s, big);
  ASSERT_EQ(r.Decision, MilterDecision::Continue) << r.FailureText;
  ASSERT_EQ(r.TextEdits.size(), 2u);
  EXPECT_EQ(r.TextEdits[1].Headers[0].Name, "X-Skipped");
  // The second filter wanted no headers, and said skip at its first chunk.
  std::string rec = skipping.Record();
  EXPECT_FALSE(Has(rec, "\"stage\": \"header\"")) << rec;
  EXPECT_TRUE(Has(rec, "\"stage\": \"body\", \"args\": [65535]")) << rec;
  EXPECT_EQ(rec.find("\"stage\": \"body\""), rec.rfind("\"stage\": \"body\"")) << rec;
  EXPECT_TRUE(Has(noReply.Record(), "\"stage\": \"eom\""));
}

TEST(MilterSession, ChainedFiltersSeeEarlierChanges) {
  NEED_PYMILTER();
  ScriptFilter first = Pymilter(R"({"stages": {"eom": [["addheader", "X-First", "1", 0]]}})");
  ScriptFilter second = Pymilter(R"({"stages": {"eom": [["chgheader", "X-First", 1, "2"]]}})");
  MilterSession s(Settings({first.Spec(), second.Spec()}), Info());
  MilterResult r = Transaction(s);
  ASSERT_EQ(r.Decision, MilterDecision::Continue) << r.FailureText;
  EXPECT_TRUE(Has(second.Record(), "[\"X-First\", \"1\"], [\"Received\"")) << second.Record();
  std::string out, error;
  ASSERT_TRUE(ApplyMilterEdits(kText, r.TextEdits, &out, &error));
  EXPECT_EQ(out.substr(0, 12), "X-First: 2\r\n");
  EXPECT_EQ(r.Changers, (std::vector<std::string>{first.Spec(), second.Spec()}));
}

TEST(MilterSession, FailuresTakeTheDefaultAction) {
  NEED_PYMILTER();
  ScriptFilter silentAtMail = Pymilter(R"({"stages": {"mail": [["sleep", 3]]}})");
  ScriptFilter progress = Pymilter(R"({"stages": {"eom": [["progress", 3, 0.4]]}})");
  ScriptFilter closes = Raw("close:body");
  ScriptFilter garbage = Raw("garbage:rcpt:0000000158");
  ScriptFilter early = Raw("garbage:mail:000000056858007600");
  ScriptFilter badVersion = Raw("negotiate:0000000d4f000000010000000000000000");
  ScriptFilter huge = Raw("garbage:helo:7fffffff63");
  ScriptFilter silent = Raw("silent");
  // A port where nothing listens: one the kernel just handed out and freed.
  int probe = CreateListener(AnyAddress(AF_INET), 0, 1);
  uint16_t port = 0;
  IpAddress ignored;
  GetSocketAddress(probe, &ignored, &port);
  CloseSocket(probe);
  std::string nobody = "inet:127.0.0.1:" + std::to_string(port);
  struct Case {
    std::string Spec;
    const char *Why;
  } cases[] = {
      {silentAtMail.Spec(), "did not answer in time"},
      {closes.Spec(), "closed the connection"},
      {garbage.Spec(), "unknown reply 'X'"},
      {early.Spec(), "before the end of the message"},
      {badVersion.Spec(), "too old"},
      {huge.Spec(), "impossible length"},
      {silent.Spec(), "did not answer in time"},
      {nobody, "refused"},
  };
  auto run = [](const std::string &spec, MilterDefaultAction action) {
    MilterSettings settings = Settings({spec}, 1000);
    settings.DefaultAction = action;
    settings.RetryIntervalMs = 0;   // each case tries its filter afresh
    MilterSession s(settings, Info());
    return Transaction(s);
  };
  for (const Case &c : cases) {
    MilterResult r = run(c.Spec, MilterDefaultAction::TempFail);
    EXPECT_EQ(r.Decision, MilterDecision::TempFail) << c.Spec;
    EXPECT_EQ(r.Reply, kMilterTempFailReply) << c.Spec;
    EXPECT_TRUE(r.bFilterFailed) << c.Spec;
    EXPECT_TRUE(Has(r.FailureText, c.Why)) << c.Spec << ": " << r.FailureText;
    EXPECT_TRUE(Has(MilterLogText(r), "tempfail (filter failed: ")) << MilterLogText(r);
  }
  for (const std::string &spec : {nobody, garbage.Spec(), closes.Spec()}) {
    EXPECT_EQ(run(spec, MilterDefaultAction::Reject).Decision, MilterDecision::Reject) << spec;
    MilterResult r = run(spec, MilterDefaultAction::Accept);
    EXPECT_EQ(r.Decision, MilterDecision::Continue) << spec;
    EXPECT_TRUE(r.bFilterFailed) << spec;
  }
  // Progress restarts the wait: three 0.4 s pauses outlast a 1 s time-out.
  MilterSession s(Settings({progress.Spec()}, 1000), Info());
  EXPECT_EQ(Transaction(s).Decision, MilterDecision::Continue);
  // Each filter and cause is an event once, however often it happens.
  std::string events = Slurp(EventLogPath());
  auto count = [&](const std::string &part) {
    size_t n = 0;
    for (size_t at = events.find(part); at != std::string::npos; at = events.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("The mail filter " + nobody + " cannot be reached"), 1u) << events;
  EXPECT_EQ(count("The mail filter " + closes.Spec() + " failed"), 1u) << events;
}

// A filter that did not answer in time is down for every session of the
// process for the retry interval: the next session takes the default
// action at once, not after its own time-out; after the interval one
// session tries it again.
TEST(MilterSession, AFilterThatTimedOutIsDownForEverySession) {
  NEED_PYMILTER();
  ScriptFilter silent = Raw("silent");
  MilterSettings settings = Settings({silent.Spec()}, 1000);
  settings.RetryIntervalMs = 1500;
  auto timed = [&](MilterDefaultAction action, MilterResult *r) {
    settings.DefaultAction = action;
    MilterSession s(settings, Info());
    long long start = MonotonicMs();
    *r = Transaction(s);
    return MonotonicMs() - start;
  };
  MilterResult r;
  EXPECT_GE(timed(MilterDefaultAction::TempFail, &r), 900);
  EXPECT_TRUE(Has(r.FailureText, "did not answer in time")) << r.FailureText;
  EXPECT_LT(timed(MilterDefaultAction::TempFail, &r), 500);
  EXPECT_EQ(r.Decision, MilterDecision::TempFail);
  EXPECT_TRUE(Has(r.FailureText, "MilterRetryInterval")) << r.FailureText;
  EXPECT_LT(timed(MilterDefaultAction::Accept, &r), 500);
  EXPECT_EQ(r.Decision, MilterDecision::Continue);
  EXPECT_TRUE(r.bFilterFailed);
  Sleep(1600);
  EXPECT_GE(timed(MilterDefaultAction::TempFail, &r), 900);   // tried again
  Sleep(1600);   // no later test meets this port marked down
}

TEST(MilterSession, UnixSocketPoolAndCancel) {
  NEED_PYMILTER();
  std::string path = std::string(std::getenv("ZEL_ROOT")) + "/milter.sock";
  ScriptFilter unixFilter = ScriptFilter({"--listen", "unix:" + path, "--script",
                                          R"({"stages": {"eom": [["addheader", "X-Unix", "1"]]}})"});
  ScriptFilter silent = Raw("silent:mail");
  CompletionPort port;
  ASSERT_TRUE(port.Create());
  MilterPool pool;
  ASSERT_TRUE(pool.Start(port, 2));
  MilterSession unixSession(Settings({unixFilter.Spec()}), Info());
  MilterSession stuck(Settings({silent.Spec()}, 60000), Info());
  OVERLAPPED ov1, ov2;
  MilterJob connect, mail;
  connect.Session = &unixSession;
  connect.Key = 1;
  connect.Overlapped = &ov1;
  mail.Session = &stuck;
  mail.Request.Stage = MilterStage::Mail;
  mail.Request.Argument = "s@example.test";
  mail.Key = 2;
  mail.Overlapped = &ov2;
  ASSERT_TRUE(pool.Submit(&connect));
  ASSERT_TRUE(pool.Submit(&mail));
  DWORD bytes;
  uintptr_t key;
  OVERLAPPED *ov;
  ASSERT_TRUE(port.GetQueuedCompletionStatus(&bytes, &key, &ov, 10000));
  EXPECT_EQ(key, 1u);
  EXPECT_EQ(connect.Result.Decision, MilterDecision::Continue) << connect.Result.FailureText;
  // The stuck exchange ends with the stop, long before its minute.
  auto start = std::chrono::steady_clock::now();
  pool.Stop();
  ASSERT_TRUE(port.GetQueuedCompletionStatus(&bytes, &key, &ov, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(key, 2u);
  EXPECT_EQ(mail.Result.Decision, MilterDecision::TempFail);
  EXPECT_FALSE(pool.Submit(&mail));
  // The synchronous form, as the delivery agent uses it.
  MilterResult r;
  std::vector<size_t> refused;
  FilterGeneratedMessage(Settings({unixFilter.Spec()}), Info(), "B1", "s@example.test",
                         {"a@example.test"}, kText, &r, &refused);
  EXPECT_TRUE(refused.empty());
  ASSERT_EQ(r.TextEdits.size(), 1u);
  EXPECT_EQ(r.TextEdits[0].Headers[0].Name, "X-Unix");
}

}  // namespace
