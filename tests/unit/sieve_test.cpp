// Sieve: the grammar and its errors, each extension on the RFCs' own
// examples where they give one, action conflicts, and every limit. A case
// is a script and a message; the result is read as one line of actions
// ("fileinto:spam keep*": the star marks the implicit keep).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/sieve.h"
#include "common/sievectl.h"
#include "common/sievedate.h"
#include "common/sievematch.h"

namespace {

constexpr char kHeader[] =
    "Return-Path: <coyote@desert.example.org>\r\n"
    "Received: from a.example.net by mx.example.com; Tue, 1 Apr 1997 09:06:31 -0800\r\n"
    "Received: from b.example.net by a.example.net; Tue, 1 Apr 1997 09:05:00 -0800\r\n"
    "From: \"Wile E. Coyote\" <coyote@desert.example.org>\r\n"
    "To: roadrunner@acme.example.com, \"Friend\" <friend+news@acme.example.com>\r\n"
    "Subject: =?utf-8?q?I_have_a_present_for_you?=\r\n"
    "Date: Tue, 1 Apr 1997 09:06:31 -0800\r\n"
    "Message-ID: <1234@desert.example.org>\r\n"
    "List-ID: Acme users <acme-users.lists.example.com>\r\n"
    "X-Priority: 4\r\n";
constexpr char kBody[] = "Look, I'm going to fix the dynamite.\r\n";

struct SieveCase : ::testing::Test {
  SieveLimits limits;
  SieveContext ctx;
  SieveEnvelope env{"coyote@desert.example.org", "roadrunner+lunch@acme.example.com"};
  std::map<std::string, std::string> scripts;   // includable, by name ("global/NAME" for :global)
  std::string header = kHeader, body = kBody;
  SieveResult result;
  SieveError error;

  SieveCase() { ctx.Now = 859914391; }   // 1997-04-01T17:06:31Z

  SieveIncludeLoader Loader() {
    return [this](SieveLocation where, std::string_view name, std::string *text) {
      auto it = scripts.find((where == SieveLocation::Global ? "global/" : "") + std::string(name));
      if (it == scripts.end()) return false;
      *text = it->second;
      return true;
    };
  }
  bool Compile(std::string_view text) {
    SieveScript script;
    return SieveCompile(text, limits, Loader(), &script, &error);
  }
  // The compile error as ManageSieve gives it; "" when it compiled.
  std::string CompileError(std::string_view text) { return Compile(text) ? "" : error.Describe(); }
  // Runs a script; the actions in one line, or "error: ..." when the run failed.
  std::string Run(std::string_view text) {
    SieveScript script;
    if (!SieveCompile(text, limits, Loader(), &script, &error)) return "compile: " + error.Describe();
    SieveMessage msg{header, body};
    if (!SieveRun(script, msg, env, ctx, limits, &result)) return "error: " + result.Error.Describe();
    return Summary();
  }
  std::string Summary() const {
    std::string out;
    for (const SieveAction &a : result.Actions) {
      if (!out.empty()) out += " ";
      switch (a.Kind) {
        case SieveActionKind::Keep: out += a.bImplicit ? "keep*" : "keep"; break;
        case SieveActionKind::FileInto: out += "fileinto:" + a.Mailbox + (a.bCopy ? "(copy)" : ""); break;
        case SieveActionKind::Redirect: out += "redirect:" + a.Address + (a.bCopy ? "(copy)" : ""); break;
        case SieveActionKind::Reject: out += "reject:" + a.Text; break;
        case SieveActionKind::Ereject: out += "ereject:" + a.Text; break;
        case SieveActionKind::Discard: out += "discard"; break;
        case SieveActionKind::Vacation: out += "vacation"; break;
      }
      for (const std::string &flag : a.Flags) out += "[" + flag + "]";
    }
    return out;
  }
};

// -- the grammar --

TEST_F(SieveCase, RfcExampleFilterAndGrammarForms) {
  // RFC 5228 section 9, with upper-case tags and test names as it writes them.
  const char *script =
      "require [\"fileinto\"];\n"
      "if header :is \"Sender\" \"owner-ietf-mta-filters@imc.org\"\n"
      "        { fileinto \"filter\"; }\n"
      "elsif address :DOMAIN :is [\"From\", \"To\"] \"example.com\"\n"
      "        { keep; }\n"
      "elsif anyof (NOT address :all :contains [\"To\", \"Cc\", \"Bcc\"] \"me@example.com\",\n"
      "             header :matches \"subject\" [\"*make*money*fast*\", \"*university*dipl*mas*\"])\n"
      "        { fileinto \"spam\"; }\n"
      "else { fileinto \"personal\"; }\n";
  EXPECT_EQ(Run(script), "fileinto:spam");
  header = "From: a@example.com\r\nTo: me@example.com\r\n";
  EXPECT_EQ(Run(script), "keep");
  header = "From: a@example.org\r\nTo: x@example.net\r\nCc: me@example.com\r\nSubject: a present\r\n";
  EXPECT_EQ(Run(script), "fileinto:personal");
  header = kHeader;

  // Comments, multi-line strings with dot-stuffing, numbers with K, escapes.
  EXPECT_EQ(Run("require \"reject\"; # a comment\n/* a\nbracketed comment */\n"
                "if size :over 1K { discard; } elsif size :under 1k {\n"
                "reject text: # why\nnot \"now\"\n..dotted\n.\n; }"),
            "reject:not \"now\"\r\n.dotted\r\n");
  EXPECT_EQ(Run("if header :is \"x-priority\" \"\\4\" { discard; }"), "discard");
}

TEST_F(SieveCase, ParseErrorsCarryTheirLine) {
  const std::pair<const char *, const char *> kCases[] = {
      {"keep;\nfilein \"x\";", "line 2: unknown command \"filein\""},
      {"keep\n", "line 2: \";\" or \"{\" expected after keep, found end of script"},
      {"if true {\nkeep;\n", "line 3: block not closed: \"}\" expected"},
      {"\n\nredirect \"a@b.c", "line 3: string not closed"},
      {"reject \"x\";", "line 1: \"reject\" needs require \"reject\""},
      {"require \"frobnicate\";", "line 1: unsupported extension \"frobnicate\""},
      {"keep;\nrequire \"fileinto\";", "line 2: require must come before every other command"},
      {"if header :is :contains \"a\" \"b\" { }", "line 1: tag :contains conflicts with an earlier tag"},
      {"if header \"a\" { }", "line 1: \"header\" takes 2 arguments, not 1"},
      {"redirect [\"a@b.c\", \"d@e.f\"];", "line 1: argument 1 of \"redirect\" must be a string"},
      {"if size 3 { }", "line 1: size needs :over or :under"},
      {"true;", "line 1: \"true\" is a test, not a command"},
      {"if keep { }", "line 1: \"keep\" is a command, not a test"},
      {"elsif true { }", "line 1: elsif without if"},
      {"if header :comparator \"i;ascii-numeric\" :is \"a\" \"1\" { }",
       "line 1: comparator \"i;ascii-numeric\" needs require \"comparator-i;ascii-numeric\""},
      {"require \"comparator-i;ascii-numeric\";\nif header :contains :comparator \"i;ascii-numeric\" \"a\" \"1\" {}",
       "line 2: comparator \"i;ascii-numeric\" cannot be used with :contains or :matches"},
      {"if size :over 99999999999999999999 { }", "line 1: number too large"},
      {"if address \"subject\" \"x\" { }", "line 1: \"subject\" holds no addresses"},
      {"/* open", "line 1: comment not closed"},
      {"keep;\n\xff", "line 2: script is not valid UTF-8"},
  };
  for (const auto &[script, want] : kCases) EXPECT_EQ(CompileError(script), want) << script;
}

TEST_F(SieveCase, NestingAndSizeLimits) {
  std::string deep, tests;
  for (int i = 0; i < 15; ++i) deep += "if true {";
  EXPECT_EQ(CompileError(deep + std::string(15, '}')), "");
  EXPECT_EQ(CompileError("if true {" + deep + std::string(16, '}')), "line 1: nested too deep (limit 15)");
  for (int i = 0; i < 16; ++i) tests += "not ";
  EXPECT_EQ(CompileError("if " + tests + "true { }"), "line 1: nested too deep (limit 15)");
  std::string big = "keep;" + std::string(64 * 1024, ' ');
  EXPECT_EQ(CompileError(big), "script too large (limit 65536 bytes)");
  limits.MaxScriptBytes = big.size();
  EXPECT_EQ(CompileError(big), "");
}

TEST_F(SieveCase, CapabilitiesAreExactlyWhatRequireAccepts) {
  std::string caps(SieveCapabilities());
  size_t pos = 0, count = 0;
  while (pos < caps.size()) {
    size_t end = caps.find(' ', pos);
    if (end == std::string::npos) end = caps.size();
    std::string ext = caps.substr(pos, end - pos);
    EXPECT_EQ(CompileError("require \"" + ext + "\";"), "") << ext;
    pos = end + 1;
    ++count;
  }
  EXPECT_EQ(count, 20u);
  EXPECT_NE(CompileError("require \"regex\";"), "");
}

// Every prefix of a script that uses each extension, and the script with
// each byte flipped: the compile never fails without a reason and a line
// inside the text.
TEST_F(SieveCase, TruncatedAndCorruptedScriptsAreRefusedCleanly) {
  const std::string script =
      "require [\"fileinto\", \"variables\", \"vacation\", \"date\", \"relational\", \"editheader\"];\n"
      "if header :matches \"List-ID\" \"*<*>\" { fileinto \"l/${2}\"; stop; }\n"
      "elsif date :value \"ge\" :zone \"+0100\" \"date\" \"hour\" \"17\" { addheader \"X-Late\" \"1\"; }\n"
      "else { vacation :days 2 text:\nAway.\n.\n; } # end\n";
  ASSERT_EQ(CompileError(script), "");
  auto check = [&](const std::string &text) {
    if (Compile(text)) return;
    EXPECT_FALSE(error.Text.empty()) << text;
    EXPECT_LE(error.Line, 8u) << text;   // the last line, or the end behind it
  };
  for (size_t cut = 0; cut < script.size(); ++cut) check(script.substr(0, cut));
  for (size_t i = 0; i < script.size(); ++i) {
    std::string flipped = script;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x20);
    check(flipped);
  }
}

TEST_F(SieveCase, DatesAsMailCarriesThem) {
  const std::pair<const char *, const char *> kDates[] = {
      {"Tue, 1 Apr 1997 09:06:31 -0800", "1997-04-01T09:06:31-08:00"},
      {"1 Apr 97 09:06 EST", "1997-04-01T09:06:00-05:00"},
      {"Tue,  01 apr 1997 09:06:31 GMT (Greenwich)", "1997-04-01T09:06:31+00:00"},
      {"(comment) 29 Feb 2000 23:59:60 +0130", "2000-02-29T23:59:59+01:30"},
      {"1 Jan 049 00:00:00 +0000", "1949-01-01T00:00:00+00:00"},
      {"1 Jan 2024 12:00:00 XYZ", "2024-01-01T12:00:00+00:00"},
  };
  for (const auto &[value, iso] : kDates) {
    SieveDateTime when;
    std::string part;
    ASSERT_TRUE(SieveParseDate(value, &when)) << value;
    EXPECT_TRUE(SieveDatePart(when, "iso8601", &part));
    EXPECT_EQ(part, iso) << value;
  }
  for (const char *bad : {"", "Tuesday", "29 Feb 1900 00:00 +0000", "1 Apr 1997 9", "1 Foo 1997 09:06 +0000",
                          "1 Apr 1997 09:61 +0000", "1 Apr 1997 09:06 +0099", "0 Apr 1997 09:06 +0000"}) {
    SieveDateTime when;
    EXPECT_FALSE(SieveParseDate(bad, &when)) << bad;
  }
  // Every part of one moment (RFC 5260 4.2), in a zone west of UTC across midnight.
  SieveDateTime when{859914391, -18 * 60};
  const std::pair<const char *, const char *> kParts[] = {
      {"year", "1997"}, {"month", "03"}, {"day", "31"}, {"date", "1997-03-31"}, {"julian", "50538"},
      {"hour", "23"}, {"minute", "06"}, {"second", "31"}, {"time", "23:06:31"}, {"zone", "-1800"},
      {"weekday", "1"}, {"std11", "Mon, 31 Mar 1997 23:06:31 -1800"}, {"ISO8601", "1997-03-31T23:06:31-18:00"}};
  for (const auto &[name, want] : kParts) {
    std::string part;
    ASSERT_TRUE(SieveDatePart(when, name, &part)) << name;
    EXPECT_EQ(part, want) << name;
  }
  std::string part;
  EXPECT_FALSE(SieveDatePart(when, "fortnight", &part));
}

TEST_F(SieveCase, AddressListsAsMailWritesThem) {
  const char *req = "require [\"relational\", \"comparator-i;ascii-numeric\", \"variables\", \"fileinto\"];";
  header = "To: undisclosed-recipients:;\r\n"
           "Cc: team: \"A, B\" <a@x.example>, b@y.example;, =?utf-8?q?J=C3=B6rg?= <j@z.example>\r\n"
           "From: no-at-sign\r\n";
  EXPECT_EQ(Run(std::string(req) + "if address :count \"eq\" :comparator \"i;ascii-numeric\" \"to\" \"0\" "
                                   "{ fileinto \"none\"; }"
                                   "if address :count \"eq\" :comparator \"i;ascii-numeric\" \"cc\" \"3\" "
                                   "{ fileinto \"three\"; }"
                                   "if address :matches :domain \"cc\" \"z.*\" { fileinto \"${0}\"; }"
                                   "if address :is :localpart \"from\" \"no-at-sign\" { fileinto \"bare\"; }"),
            "fileinto:none fileinto:three fileinto:z.example fileinto:bare");
}

// -- the base language --

TEST_F(SieveCase, ImplicitKeepAndItsCancellation) {
  EXPECT_EQ(Run(""), "keep*");
  EXPECT_EQ(Run("discard;"), "discard");
  EXPECT_EQ(Run("discard; keep;"), "discard keep");
  EXPECT_EQ(Run("require \"fileinto\"; fileinto \"a\"; fileinto \"a\";"), "fileinto:a");
  EXPECT_EQ(Run("require [\"fileinto\", \"copy\"]; fileinto :copy \"inbox\"; keep;"), "keep");
  EXPECT_EQ(Run("require [\"fileinto\", \"copy\"]; fileinto :copy \"a\"; redirect :copy \"x@y.example\";"),
            "fileinto:a(copy) redirect:x@y.example(copy) keep*");
  EXPECT_EQ(Run("redirect \"x@y.example\"; redirect \"X@y.example\"; stop; keep;"), "redirect:x@y.example");
  EXPECT_EQ(Run("if exists [\"From\", \"Date\"] { if not exists \"Sender\" { discard; } }"), "discard");
  EXPECT_EQ(Run("if allof (true, false) { discard; } if anyof (false, true) { keep; }"), "keep");
  EXPECT_EQ(Run("redirect \"not an address\";"), "error: line 1: redirect to a bad address \"not an address\"");
}

TEST_F(SieveCase, MatchTypesAndComparators) {
  // :is, :contains and :matches under each comparator; values are the
  // decoded header (the Subject is an encoded word).
  EXPECT_EQ(Run("if header :contains \"subject\" \"PRESENT\" { discard; }"), "discard");
  EXPECT_EQ(Run("if header :contains :comparator \"i;octet\" \"subject\" \"PRESENT\" { discard; }"), "keep*");
  EXPECT_EQ(Run("if header :is \"subject\" \"i have a present for you\" { discard; }"), "discard");
  EXPECT_EQ(Run("if header :matches \"subject\" \"I?have*for you\" { discard; }"), "discard");
  EXPECT_EQ(Run("if header :matches \"subject\" \"*\\\\*\" { discard; }"), "keep*");
  EXPECT_EQ(Run("require \"comparator-i;ascii-numeric\";"
                "if header :is :comparator \"i;ascii-numeric\" \"x-priority\" \"04\" { discard; }"),
            "discard");
  uint64_t budget = 1000;
  SieveMatchSpec spec;
  spec.Type = SieveMatchType::Matches;
  std::vector<std::string> caps;
  ASSERT_TRUE(SieveMatchValue(spec, "ab?cd", "a*\\?*", &caps, &budget));
  EXPECT_EQ(caps, (std::vector<std::string>{"ab?cd", "b", "cd"}));
  spec.Comparator = SieveComparator::Numeric;
  spec.Type = SieveMatchType::Value;
  spec.Relation = SieveRelation::Gt;
  EXPECT_TRUE(SieveMatchValue(spec, "abc", "99999999999999999999999", nullptr, &budget));   // no digits: infinity
  EXPECT_FALSE(SieveMatchValue(spec, "10", "9x", nullptr, &budget) == false);
}

TEST_F(SieveCase, AddressEnvelopeAndSubaddress) {
  const char *req = "require [\"envelope\", \"subaddress\", \"fileinto\"];";
  EXPECT_EQ(Run(std::string(req) + "if address :detail \"to\" \"news\" { fileinto \"news\"; }"), "fileinto:news");
  EXPECT_EQ(Run(std::string(req) + "if address :user :is \"to\" \"friend\" { discard; }"), "discard");
  EXPECT_EQ(Run(std::string(req) + "if envelope :detail \"to\" \"lunch\" { fileinto \"lunch\"; }"), "fileinto:lunch");
  EXPECT_EQ(Run(std::string(req) + "if envelope :domain \"from\" \"DESERT.example.org\" { discard; }"), "discard");
  ctx.RecipientDelimiter = "-";
  EXPECT_EQ(Run(std::string(req) + "if envelope :detail \"to\" \"lunch\" { discard; }"), "keep*");
  // A local part without the delimiter has no detail: not even "" matches.
  EXPECT_EQ(Run(std::string(req) + "if address :detail \"from\" \"\" { discard; }"), "keep*");
  env.From = "";
  EXPECT_EQ(Run(std::string(req) + "if envelope :all :is \"from\" \"\" { discard; }"), "discard");
  EXPECT_EQ(CompileError("require \"envelope\"; if envelope \"auth\" \"x\" { }"),
            "line 1: envelope part \"auth\" is not known (from, to)");
}

// -- extensions --

TEST_F(SieveCase, VariablesRfcExamples) {
  const char *req = "require [\"variables\", \"fileinto\"];";
  // RFC 5229 3 and 4.1: expansion (names in any case), the modifiers.
  EXPECT_EQ(Run("require [\"variables\", \"reject\"]; set \"honorific\" \"Mr\"; set \"last_name\" \"Coyote\";"
                "set \"vacation\" text:\nDear ${HONORIFIC} ${last_name},\n.\n;"
                "reject \"${vacation}\";"),
            "reject:Dear Mr Coyote,\r\n");
  std::string setA = std::string(req) + "set \"a\" \"juMBlEd lETteRS\";";
  const std::pair<const char *, const char *> kModifiers[] = {
      {":length", "15"}, {":lower", "jumbled letters"}, {":upperfirst", "JuMBlEd lETteRS"},
      {":upperfirst :lower", "Jumbled letters"}, {":lower :upperfirst", "Jumbled letters"}};
  for (const auto &[mods, want] : kModifiers) {
    EXPECT_EQ(Run(setA + "set " + mods + " \"b\" \"${a}\"; fileinto \"${b}\";"), std::string("fileinto:") + want)
        << mods;
  }
  EXPECT_EQ(Run(std::string(req) + "set :quotewildcard \"b\" \"Rock*\"; fileinto \"${b}\";"), "fileinto:Rock\\*");
  // Match variables: each "*" as short as it can be, ${2} of List-ID.
  EXPECT_EQ(Run(std::string(req) + "if header :matches \"List-ID\" \"*<*.lists.*\" { fileinto \"lists.${2}\"; }"),
            "fileinto:lists.acme-users");
  header = "Subject: [acme-users] [fwd] version 1.0 is out\r\n";
  EXPECT_EQ(Run(std::string(req) + "if header :matches \"Subject\" \"[*] *\" { fileinto \"${1}/${2}\"; }"),
            "fileinto:acme-users/[fwd] version 1.0 is out");
  // A failed :matches keeps the earlier values; an unknown name is "",
  // "${" without a name stays, the string test reads variables.
  EXPECT_EQ(Run(std::string(req) + "if header :matches \"Subject\" \"[*]*\" {} "
                                   "if header :matches \"Subject\" \"nothing*\" {} "
                                   "fileinto \"${1}${nope}${}${ 1}\";"),
            "fileinto:acme-users${}${ 1}");
  EXPECT_EQ(Run(std::string(req) + "set \"x\" \"\"; if string :is \"${x}\" \"\" { discard; }"), "discard");
  EXPECT_EQ(CompileError(std::string(req) + "set \"1\" \"x\";"), "line 1: \"1\" is not a variable name");
}

TEST_F(SieveCase, RelationalRfcExamples) {
  const char *req = "require [\"relational\", \"comparator-i;ascii-numeric\"];";
  EXPECT_EQ(Run(std::string(req) + "if header :value \"gt\" :comparator \"i;ascii-numeric\" \"x-priority\" \"3\" "
                                   "{ discard; }"),
            "discard");
  EXPECT_EQ(Run(std::string(req) + "if address :count \"ge\" :comparator \"i;ascii-numeric\" [\"to\", \"cc\"] \"3\" "
                                   "{ discard; }"),
            "keep*");
  EXPECT_EQ(Run(std::string(req) + "if address :count \"eq\" :comparator \"i;ascii-numeric\" [\"to\", \"cc\"] \"2\" "
                                   "{ discard; }"),
            "discard");
  EXPECT_EQ(Run(std::string(req) + "if header :count \"eq\" :comparator \"i;ascii-numeric\" \"received\" \"2\" "
                                   "{ discard; }"),
            "discard");
  EXPECT_EQ(Run(std::string(req) + "if header :value \"lt\" \"subject\" \"J\" { discard; }"), "discard");
  EXPECT_EQ(CompileError(std::string(req) + "if header :value \"less\" \"a\" \"b\" { }"),
            "line 1: unknown relation \"less\"");
}

TEST_F(SieveCase, Imap4flags) {
  // RFC 5232's internal variable: it follows the implicit keep.
  EXPECT_EQ(Run("require [\"imap4flags\", \"fileinto\"];"
                "setflag \"\\\\seen bogus(flag\"; addflag [\"\\\\Flagged\", \"$Work \\\\SEEN\"];"
                "removeflag \"$work\"; fileinto \"a\"; fileinto :flags \"\\\\Answered\" \"b\";"
                "if hasflag :contains \"flag\" { keep; }"),
            "fileinto:a[\\Seen][\\Flagged] fileinto:b[\\Answered] keep[\\Seen][\\Flagged]");
  EXPECT_EQ(Run("require [\"imap4flags\", \"variables\"]; addflag \"f\" \"$a\"; addflag \"f\" \"$b\";"
                "if hasflag :is \"f\" \"$b\" { keep :flags \"${f}\"; }"),
            "keep[$a][$b]");
  EXPECT_EQ(CompileError("require \"imap4flags\"; setflag \"v\" \"x\";"),
            "line 1: a flag variable needs require \"variables\"");
}

TEST_F(SieveCase, BodyTransforms) {
  header = "Content-Type: multipart/mixed; boundary=b\r\nSubject: parts\r\n";
  body = "--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "Gr=FC=DFe from the MAKE MONEY desk\r\n"
         "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"
         "c2VjcmV0IHBheWxvYWQ=\r\n--b--\r\n";
  const char *req = "require \"body\";";
  EXPECT_EQ(Run(std::string(req) + "if body :contains \"Grüße\" { discard; }"), "discard");
  EXPECT_EQ(Run(std::string(req) + "if body :text :contains \"payload\" { discard; }"), "keep*");
  EXPECT_EQ(Run(std::string(req) + "if body :content \"application\" :contains \"payload\" { discard; }"), "discard");
  EXPECT_EQ(Run(std::string(req) + "if body :raw :contains \"=FC=DF\" { discard; }"), "discard");
  EXPECT_EQ(Run(std::string(req) + "if body :content \"text/html\" :contains \"money\" { discard; }"), "keep*");
  EXPECT_EQ(CompileError("require [\"body\", \"relational\"]; if body :count \"eq\" \"1\" { }"),
            "line 1: body cannot be used with :count");
}

TEST_F(SieveCase, DateAndIndex) {
  // RFC 5260 4: the boss's mail during office hours in the sender's zone.
  const char *office = "require [\"date\", \"relational\", \"fileinto\"];"
                       "if allof(header :contains \"from\" \"coyote\","
                       "         date :value \"ge\" :originalzone \"date\" \"hour\" \"09\","
                       "         date :value \"lt\" :originalzone \"date\" \"hour\" \"17\")"
                       "{ fileinto \"urgent\"; }";
  EXPECT_EQ(Run(office), "fileinto:urgent");
  header = "From: coyote@desert.example.org\r\nDate: Tue, 1 Apr 1997 18:06:31 -0800\r\n";
  EXPECT_EQ(Run(office), "keep*");
  // Zones, the parts, currentdate; a Received field's date follows its ";".
  EXPECT_EQ(Run("require [\"date\", \"variables\", \"fileinto\"];"
                "if date :matches :zone \"+0100\" \"date\" \"iso8601\" \"*\" { fileinto \"${0}\"; }"
                "if currentdate :matches :zone \"+0000\" \"std11\" \"*\" { fileinto \"${0}\"; }"
                "if date :matches :zone \"-0800\" \"received\" \"julian\" \"*\" { fileinto \"${0}\"; }"),
            "fileinto:1997-04-02T03:06:31+01:00 fileinto:Tue, 1 Apr 1997 17:06:31 +0000");
  header = kHeader;
  EXPECT_EQ(Run("require [\"date\", \"variables\", \"fileinto\"];"
                "if date :matches :zone \"-0800\" \"received\" \"julian\" \"*\" { fileinto \"${0}\"; }"
                "if currentdate :value \"eq\" \"weekday\" \"2\" { discard; }"),
            "compile: line 1: tag :value needs require \"relational\"");
  EXPECT_EQ(Run("require [\"date\", \"variables\", \"fileinto\"];"
                "if date :matches :zone \"-0800\" \"received\" \"julian\" \"*\" { fileinto \"${0}\"; }"),
            "fileinto:50539");
  // index: the second Received from the top, the first from the bottom.
  const char *req = "require [\"index\", \"date\"];";
  EXPECT_EQ(Run(std::string(req) + "if header :index 2 :contains \"received\" \"b.example.net\" { discard; }"),
            "discard");
  EXPECT_EQ(Run(std::string(req) + "if header :index 1 :last :contains \"received\" \"a.example.net\" { discard; }"),
            "discard");
  EXPECT_EQ(Run(std::string(req) + "if header :index 3 :contains \"received\" \"\" { discard; }"), "keep*");
  EXPECT_EQ(CompileError(std::string(req) + "if header :last \"a\" \"b\" { }"), "line 1: :last needs :index");
  SieveDateTime when;
  EXPECT_TRUE(SieveParseDate("1 Apr 97 09:06 EST", &when));
  EXPECT_EQ(when.ZoneMinutes, -300);
  EXPECT_FALSE(SieveParseDate("31 Feb 1997 09:06:31 +0000", &when));
  EXPECT_FALSE(SieveParseDate("Tue, 1 Apr 1997 24:00:00 +0000", &when));
}

TEST_F(SieveCase, Editheader) {
  // Tests see the edited header; Received and Auto-Submitted stay as they are.
  EXPECT_EQ(Run("require [\"editheader\", \"index\"];"
                "addheader \"X-Sieve\" \"filtered für dich\"; addheader :last \"X-End\" \"1\";"
                "deleteheader \"received\"; addheader \"Auto-Submitted\" \"no\";"
                "deleteheader :index 1 :last \"x-priority\";"
                "deleteheader :contains \"to\" \"friend\";"
                "if exists \"x-sieve\" { keep; }"),
            "keep");
  EXPECT_TRUE(result.bHeaderEdited);
  EXPECT_EQ(result.Header.substr(0, 45), "X-Sieve: =?UTF-8?B?ZmlsdGVyZWQgZsO8ciBkaWNo?=");
  EXPECT_NE(result.Header.find("Received: from a"), std::string::npos);
  EXPECT_NE(result.Header.find("Received: from b"), std::string::npos);
  EXPECT_EQ(result.Header.find("Auto-Submitted"), std::string::npos);
  EXPECT_EQ(result.Header.find("X-Priority"), std::string::npos);
  EXPECT_EQ(result.Header.find("\r\nTo:"), std::string::npos);
  EXPECT_EQ(result.Header.substr(result.Header.size() - 10), "X-End: 1\r\n");
  EXPECT_EQ(CompileError("require \"editheader\"; addheader \"Bad Name\" \"x\";"),
            "line 1: \"Bad Name\" is not a field name");
}

TEST_F(SieveCase, Duplicate) {
  std::vector<std::string> asked;
  ctx.DuplicateSeen = [&](std::string_view key) {
    asked.emplace_back(key);
    return key == "\n<1234@desert.example.org>";
  };
  // RFC 7352 3: a duplicate is filed; the key is only recorded for a new one.
  EXPECT_EQ(Run("require [\"duplicate\", \"fileinto\", \"mailbox\"];"
                "if duplicate { fileinto :create \"Trash/Duplicate\"; }"),
            "fileinto:Trash/Duplicate");
  EXPECT_TRUE(result.Duplicates.empty());
  EXPECT_EQ(Run("require \"duplicate\"; if duplicate :header \"X-Event-ID\" :handle \"notifier\" { discard; }"),
            "keep*");
  EXPECT_EQ(Run("require \"duplicate\"; if duplicate :uniqueid \"e1\" :handle \"n\" :seconds 60 :last { discard; }"),
            "keep*");
  ASSERT_EQ(result.Duplicates.size(), 1u);
  EXPECT_EQ(result.Duplicates[0].Key, "n\ne1");
  EXPECT_EQ(result.Duplicates[0].Seconds, 60u);
  EXPECT_TRUE(result.Duplicates[0].bLast);
}

TEST_F(SieveCase, IncludeGlobalReturnAndLoops) {
  scripts["spam"] = "require [\"include\", \"variables\", \"fileinto\"]; global \"folder\";"
                    "if header :contains \"subject\" \"present\" { set \"folder\" \"Junk\"; return; } discard;";
  scripts["global/admin"] = "require \"fileinto\"; fileinto \"admin\";";
  EXPECT_EQ(Run("require [\"include\", \"variables\", \"fileinto\"]; global \"folder\";"
                "include \"spam\"; include :once \"spam\"; include :global \"admin\";"
                "include :optional \"missing\"; fileinto \"${folder}\"; fileinto \"${global.folder}2\";"),
            "fileinto:admin fileinto:Junk fileinto:Junk2");
  EXPECT_EQ(CompileError("require \"include\"; include \"missing\";"),
            "line 1: included script \"missing\" does not exist");
  scripts["a"] = "require \"include\"; include \"b\";";
  scripts["b"] = "require \"include\";\nkeep;\ninclude \"a\";";
  EXPECT_EQ(CompileError("require \"include\"; include \"a\";"),
            "script \"b\": line 3: include loop: \"a\" includes itself");
  EXPECT_EQ(CompileError("require \"include\"; include \"../etc/passwd\";"),
            "line 1: \"../etc/passwd\" is not a script name");
  // Stored without a loader (ManageSieve before the included script exists).
  SieveScript script;
  EXPECT_TRUE(SieveCompile("require \"include\"; include \"later\";", limits, {}, &script, &error));
  scripts["bad"] = "require \"fileinto\";\nfileinto;";
  EXPECT_EQ(CompileError("require \"include\"; include \"bad\";"),
            "script \"bad\": line 2: \"fileinto\" takes 1 arguments, not 0");
}

TEST_F(SieveCase, MailboxAndMailboxid) {
  ctx.MailboxExists = [](std::string_view name) { return name == "Lists"; };
  ctx.MailboxIdExists = [](std::string_view id) { return id == "F123"; };
  EXPECT_EQ(Run("require [\"mailbox\", \"fileinto\"];"
                "if mailboxexists \"Lists\" { fileinto :create \"Lists\"; }"
                "if mailboxexists [\"Lists\", \"Gone\"] { discard; }"),
            "fileinto:Lists");
  EXPECT_TRUE(result.Actions[0].bCreate);
  EXPECT_EQ(Run("require [\"mailboxid\", \"fileinto\"];"
                "if mailboxidexists \"F123\" { fileinto :mailboxid \"F123\" \"Old name\"; }"),
            "fileinto:Old name");
  EXPECT_EQ(result.Actions[0].MailboxId, "F123");
}

TEST_F(SieveCase, RejectConflicts) {
  const char *req = "require [\"reject\", \"ereject\", \"fileinto\", \"vacation\"];";
  EXPECT_EQ(Run(std::string(req) + "reject \"go away\";"), "reject:go away");
  EXPECT_EQ(Run(std::string(req) + "ereject \"no\";"), "ereject:no");
  EXPECT_EQ(Run(std::string(req) + "fileinto \"a\";\nreject \"no\";"),
            "error: line 2: reject cannot be used with keep, fileinto, redirect or vacation");
  EXPECT_EQ(Run(std::string(req) + "reject \"no\";\nkeep;"), "error: line 2: keep cannot be used after reject");
  EXPECT_EQ(Run(std::string(req) + "reject \"no\"; ereject \"no\";"), "error: line 1: ereject cannot be used after reject");
  EXPECT_TRUE(result.Actions.empty());
}

TEST_F(SieveCase, Vacation) {
  ctx.UserAddresses = {"roadrunner@acme.example.com"};
  const char *req = "require [\"vacation\", \"vacation-seconds\"];";
  EXPECT_EQ(Run(std::string(req) + "vacation :days 3 \"I'm away\";"), "vacation keep*");
  const SieveVacation &v = result.Actions[0].Vacation;
  EXPECT_EQ(v.Seconds, 3u * 86400);
  EXPECT_EQ(v.Subject, "Auto: I have a present for you");
  EXPECT_EQ(v.Reason, "I'm away");
  EXPECT_EQ(v.Handle.size(), 16u);
  EXPECT_EQ(Run(std::string(req) + "vacation :seconds 0 :subject \"Out\" :handle \"h\" \"x\";"), "vacation keep*");
  EXPECT_EQ(result.Actions[0].Vacation.Seconds, 0u);
  EXPECT_EQ(result.Actions[0].Vacation.Handle, "h");
  // Not addressed to the user (a list, a Bcc elsewhere): no reply; the
  // script's :addresses count as the user's.
  ctx.UserAddresses = {"other@acme.example.com"};
  EXPECT_EQ(Run(std::string(req) + "vacation \"x\";"), "keep*");
  EXPECT_EQ(Run(std::string(req) + "vacation :addresses \"friend@acme.example.com\" \"x\";"), "vacation keep*");
  // Never to the user's own mail.
  env.From = "Friend+x@acme.example.com";
  EXPECT_EQ(Run(std::string(req) + "vacation :addresses \"friend@acme.example.com\" \"x\";"), "keep*");
  EXPECT_EQ(Run(std::string(req) + "vacation :addresses \"friend@acme.example.com\" \"x\";\nvacation \"y\";"),
            "keep*");
  env.From = "coyote@desert.example.org";
  EXPECT_EQ(Run(std::string(req) + "vacation :addresses \"friend@acme.example.com\" \"x\";\n"
                                   "vacation :addresses \"friend@acme.example.com\" \"y\";"),
            "error: line 2: vacation used twice");
  EXPECT_EQ(CompileError("require \"vacation\"; vacation :seconds 1 \"x\";"),
            "line 1: tag :seconds needs require \"vacation-seconds\"");
}

TEST_F(SieveCase, AdministratorScriptRunsFirst) {
  SieveScript before, user;
  ASSERT_TRUE(SieveCompile("require [\"fileinto\", \"imap4flags\"]; addflag \"$Checked\";"
                           "if header :contains \"x-spam\" \"yes\" { fileinto \"Junk\"; stop; }",
                           limits, {}, &before, &error));
  ASSERT_TRUE(SieveCompile("require [\"fileinto\", \"include\"]; if true { fileinto \"Mine\"; return; }", limits, {}, &user,
                           &error));
  SieveMessage msg{header, body};
  ASSERT_TRUE(SieveRunScripts({&before, &user}, msg, env, ctx, limits, &result));
  EXPECT_EQ(Summary(), "fileinto:Mine[$Checked]");
  header += "X-Spam: yes\r\n";
  msg.Header = header;
  ASSERT_TRUE(SieveRunScripts({&before, &user}, msg, env, ctx, limits, &result));
  EXPECT_EQ(Summary(), "fileinto:Junk[$Checked]");
}

// -- limits: each ends the run with an error, so the caller keeps the
// message in INBOX --

TEST_F(SieveCase, RunLimits) {
  std::string redirects;
  for (int i = 0; i < 10; ++i) redirects += "redirect \"u" + std::to_string(i) + "@example.net\";\n";
  EXPECT_EQ(Run(redirects), "error: line 5: more than 4 redirects");
  EXPECT_TRUE(result.Actions.empty());
  std::string files = "require \"fileinto\";\n";
  for (int i = 0; i < 40; ++i) files += "fileinto \"f" + std::to_string(i) + "\";\n";
  EXPECT_EQ(Run(files), "error: line 34: more than 32 actions");
  limits.MaxActions = 40;
  EXPECT_EQ(Run(files).substr(0, 12), "fileinto:f0 ");

  // A clock that runs fast: the run stops at the processor-time limit.
  uint64_t now = 0;
  ctx.CpuMicros = [&] { return now += 50000; };
  std::string many;
  for (int i = 0; i < 200; ++i) many += "if true { }\n";
  EXPECT_EQ(Run(many), "error: line 96: the script ran past its processor time limit (100 ms)");
  ctx.CpuMicros = nullptr;
  // Without a clock, a pathological wildcard still ends within its work.
  body = std::string(200000, 'a');
  const char *wildcard = "require \"body\"; if body :raw :matches \"*a*a*a*a*a*a*a*a*b\" { discard; }";
  EXPECT_EQ(Run(wildcard), "keep*");
  limits.MaxCpuMillis = 1;
  EXPECT_EQ(Run(wildcard), "error: line 1: the script ran past its processor time limit (1 ms)");
}

}  // namespace

// -- the control file as a script (zeladm sieve from-ctl) --

TEST_F(SieveCase, ControlFileRulesBecomeAScriptThatRuns) {
  ctx.UserAddresses = {"roadrunner@acme.example.com"};
  ControlFileTexts files;
  EXPECT_EQ(Run(SieveFromControlFile(files)), "keep");
  files.Control = "[Delivery]\nDiscard = yes\n";
  EXPECT_EQ(Run(SieveFromControlFile(files)), "discard");
  files.Control = "[AutoForward]\nForwardTo = \"Ann\" <ann@else.example>\n";
  EXPECT_EQ(Run(SieveFromControlFile(files)), "redirect:ann@else.example(copy) keep*");
  // The reply: its text (not UTF-8, quotes and a backslash in it) and its
  // sender kept exactly; not to an address of REPLIED.TXT; what Sieve
  // cannot do said in comments.
  files.Control = "[AutoReply]\nEchoMessage = 1\nRecordReplies = yes\nReplyFrom = desk@acme.example.com\n";
  files.bReplyText = true;
  files.ReplyText = "Caf\xe9 \"closed\" \\ back soon.\n";
  std::string script = SieveFromControlFile(files);
  EXPECT_NE(script.find("# EchoMessage has no Sieve equivalent"), std::string::npos) << script;
  EXPECT_NE(script.find("# RecordReplies has no Sieve equivalent"), std::string::npos) << script;
  ASSERT_EQ(Run(script), "vacation keep*") << script;
  EXPECT_EQ(result.Actions[0].Vacation.Reason, "Caf\u00e9 \"closed\" \\ back soon.\n");
  EXPECT_EQ(result.Actions[0].Vacation.From, "desk@acme.example.com");
  EXPECT_EQ(result.Actions[0].Vacation.Subject, "Automatic reply");
  EXPECT_EQ(result.Actions[0].Vacation.Seconds, 86400u);
  files.Replied = "someone@else.example\nCoyote <coyote@desert.example.org>\n";
  EXPECT_EQ(Run(SieveFromControlFile(files)), "keep*");
  files.Replied.clear();
  files.NoReply = "roadrunner@acme.example.com\n";
  EXPECT_EQ(Run(SieveFromControlFile(files)), "keep*");
}
