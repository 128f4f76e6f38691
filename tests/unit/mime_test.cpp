// The MIME modules: charsets, decoders, header fields, addresses, the tree
// and the IMAP texts made from it, sections, SEARCH matching, and the SMTP
// form of message files. Messages are written with "\n" and turned into
// CR LF lines (Crlf) unless a case is about bare LF.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/mimeaddr.h"
#include "common/sasl.h"
#include "common/mimefield.h"
#include "common/mimeheader.h"
#include "common/mimeimap.h"
#include "common/mimeparse.h"
#include "common/mimesearch.h"
#include "common/mimesection.h"
#include "common/mimestuff.h"
#include "common/mimetext.h"
#include "platform/charset.h"
#include "tests/unit/imapgrammar.h"
#include "tests/unit/testutil.h"

using namespace std::string_literals;

namespace {

MimeTree Parse(std::string_view text) {
  MimeTree tree;
  MimeParseMessage(text, &tree);
  return tree;
}

// BODY (or BODYSTRUCTURE) of a message, checked against the grammar.
std::string Body(std::string_view text, bool extensible = false, ImapRevision rev = ImapRevision::Rev2) {
  std::string out = MimeBodyStructureText(text, Parse(text), extensible, rev);
  EXPECT_TRUE(ImapGrammar::Body(out, extensible, rev == ImapRevision::Rev2)) << out;
  return out;
}

std::string Envelope(std::string_view text) {
  std::string out = MimeEnvelopeText(text, Parse(text));
  EXPECT_TRUE(ImapGrammar::Envelope(out)) << out;
  return out;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

const std::string kPlainUs = R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" )";

}  // namespace

TEST(MimeCharset, ConvertsNamedCharsetsAndReplacesWhatIsInvalid) {
  struct Case { const char *charset; std::string in; const char *out; bool known; } cases[] = {
      {"ISO-8859-1", "J\xf6rg", "Jörg", true},
      {"windows-1252", "\x93hi\x94", "“hi”", true},
      {"koi8-r", "\xf0\xd2\xc9\xd7\xc5\xd4", "Привет", true},
      {"Shift_JIS", "\x93\xfa\x96\x7b", "日本", true},
      {"iso-2022-jp", "\x1b$BF|K\\\x1b(B", "日本", true},
      {"ks_c_5601-1987", "\xc7\xd1", "한", true},
      {"gb2312", "\xd6\xd0", "中", true},
      {"utf-16le", std::string("a\0", 2), "a", true},
      {"utf-8", "a\xff" "b\xed\xa0\x80", "a\uFFFDb\uFFFD\uFFFD\uFFFD", true},
      {"us-ascii", "caf\xc3\xa9", "café", true},           // mislabelled UTF-8 kept
      {"shift_jis", "\x93", "\uFFFD", true},               // cut at the end
      {"x-unknown", "caf\xc3\xa9\xff", "café\uFFFD", false},
      {"utf-8//TRANSLIT", "x", "x", false},                // no iconv options through a name
      {"", "x", "x", false},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(ConvertToUtf8(c.charset, c.in, SIZE_MAX, &out), c.known) << c.charset;
    EXPECT_EQ(out, c.out) << c.charset;
  }
  std::string cut;
  ConvertToUtf8("iso-8859-1", "\xe9\xe9\xe9", 5, &cut);
  EXPECT_EQ(cut, "éé");   // the third does not fit whole
  ConvertToUtf8("koi8-r", "\xf0\xd2\xc9", 4, &cut);
  EXPECT_EQ(cut, "Пр");
}

TEST(MimeCharset, CarriesACharacterCutBetweenPieces) {
  struct Case { const char *charset; std::string a, b; const char *out; } cases[] = {
      {"utf-8", "\xe6\x97", "\xa5!", "日!"},
      {"shift_jis", "\x93", "\xfa", "日"},
      {"utf-16be", std::string("\x65", 1), std::string("\xe5", 1), "日"},
  };
  for (const Case &c : cases) {
    Utf8Decoder decoder;
    ASSERT_TRUE(decoder.Open(c.charset));
    std::string out;
    decoder.Convert(c.a, false, SIZE_MAX, &out);
    decoder.Convert(c.b, true, SIZE_MAX, &out);
    EXPECT_EQ(out, c.out) << c.charset;
  }
}

TEST(MimeText, TransferDecodingWholeAndInEveryCut) {
  struct Case { MimeEncoding encoding; std::string in, out; } cases[] = {
      {MimeEncoding::QuotedPrintable, "a=3Db=\r\nc  \r\nd=  \r\ne", "a=bc\r\nde"},
      {MimeEncoding::QuotedPrintable, "=41=4a=zz= x=\n", "AJ=zz= x"},    // bad escapes stay; LF lines
      {MimeEncoding::QuotedPrintable, "caf=C3=A9 \t\r\n", "café\r\n"},
      {MimeEncoding::Base64, "SGVs\r\nbG8=\r\n", "Hello"},
      {MimeEncoding::Base64, "SG Vs*bG8", "Hello"},                       // junk skipped, no padding
      {MimeEncoding::Base64, "SGk=SGk=", "HiHi"},                         // glued pieces
      {MimeEncoding::Identity, "as is=\r\n", "as is=\r\n"},
  };
  for (const Case &c : cases) {
    std::string whole;
    MimeDecodeTransfer(c.encoding, c.in, &whole);
    EXPECT_EQ(whole, c.out) << c.in;
    for (size_t cut = 0; cut <= c.in.size(); ++cut) {
      MimeTransferDecoder d(c.encoding);
      std::string pieces;
      d.Feed(c.in.substr(0, cut), &pieces);
      d.Feed(c.in.substr(cut), &pieces);
      d.Finish(&pieces);
      EXPECT_EQ(pieces, c.out) << c.in << " cut at " << cut;
    }
  }
  EXPECT_EQ(MimeEncodingOf("BASE64"), MimeEncoding::Base64);
  EXPECT_EQ(MimeEncodingOf("x-uuencode"), MimeEncoding::Unknown);
  EXPECT_EQ(MimeEncodingOf(""), MimeEncoding::Identity);
}

TEST(MimeText, EncodedWordsInManyCharsets) {
  struct Case { const char *in, *out; } cases[] = {
      {"=?utf-8?q?caf=C3=A9?=", "café"},
      {"=?ISO-8859-1?Q?Andr=E9?= Pirard", "André Pirard"},
      {"=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?=\r\n =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
       "If you can read this you understand the example."},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"=?ISO-8859-1?Q?a_b?=  =?ISO-8859-1?Q?c?= d", "a bc d"},
      {"=?utf-8?b?5pc=?= =?utf-8?b?pQ==?=", "日"},          // a character split between words
      {"=?koi8-r?b?8NLJ18XU?=", "Привет"},
      {"=?iso-2022-jp?B?GyRCRnxLXBsoQg==?=", "日本"},
      {"=?windows-1252?q?=80?=", "€"},
      {"=?utf-8*en?q?hi?=", "hi"},                            // RFC 2231 language
      {"Re:=?utf-8?q?x?=", "Re:x"},
      {"=?x-unknown?q?caf=C3=A9?=", "café"},
      {"=?utf-8?x?abc?= =?utf-8?q?abc =?utf-8?b?!!!?=", "=?utf-8?x?abc?= =?utf-8?q?abc =?utf-8?b?!!!?="},
      {"caf\xe9 =?", "caf\uFFFD =?"},
  };
  for (const Case &c : cases) EXPECT_EQ(MimeDecodeWords(c.in, 1000), c.out) << c.in;
  EXPECT_EQ(MimeDecodeWords("=?utf-8?q?abcdef?=", 3), "abc");
}

TEST(MimeText, EncodedWordsRoundTrip) {
  // ASCII stays, control characters become blanks.
  EXPECT_EQ(MimeEncodeWords("Auto: away\r\nBcc: x", 7, "\r\n "), "Auto: away  Bcc: x");
  // Long text in many scripts: words of at most 75 octets, lines of at
  // most 76 with "Subject: " in front, no character split, and the
  // decoder gives the text back.
  std::string text = "Réponse automatique: 日本語のテキスト, Привет мир, 🙂🙂🙂 " + std::string(40, 'x');
  std::string folded = MimeEncodeWords(text, 7, "\r\n ");
  std::string all = "Subject: " + folded;
  for (size_t at = 0; at <= all.size();) {
    size_t end = std::min(all.find("\r\n", at), all.size());
    EXPECT_LE(end - at, kMaxEncodedLine) << all.substr(at, end - at);
    at = end + 2;
  }
  size_t words = 0;
  for (size_t at = 0; at <= folded.size(); ++words) {
    size_t end = std::min(folded.find("\r\n ", at), folded.size());
    EXPECT_LE(end - at, kMaxEncodedWord);
    at = end + 3;
  }
  EXPECT_GT(words, 2u);
  EXPECT_EQ(MimeDecodeWords(MimeUnfold(folded, 4096), 4096), text);
  // Bytes that are not UTF-8 are encoded as U+FFFD, never raw.
  EXPECT_EQ(MimeDecodeWords(MimeEncodeWords("caf\xe9", 7, " "), 100), "caf\uFFFD");
}

TEST(MimeHeader, BlockEndFieldsAndFolds) {
  struct End { std::string text; size_t fieldsEnd, bodyStart; } ends[] = {
      {"A: 1\r\n\r\nbody", 6, 8}, {"A: 1\n\nbody", 5, 6}, {"A: 1\r\nB: 2", 10, 10}, {"\r\nbody", 0, 2}, {"", 0, 0},
  };
  for (const End &e : ends) {
    size_t fieldsEnd, bodyStart;
    MimeFindHeaderEnd(e.text, 0, e.text.size(), &fieldsEnd, &bodyStart);
    EXPECT_EQ(fieldsEnd, e.fieldsEnd) << e.text;
    EXPECT_EQ(bodyStart, e.bodyStart) << e.text;
  }
  std::string header = "Subject: a\r\n b\r\nFrom x\r\n cont\r\nTo : c\r\nBad line\r\nX-Empty:\nX-Nul: a\0b\r\n"s;
  MimeHeaderReader reader(header);
  MimeHeaderField f;
  std::vector<std::string> seen;
  while (reader.Next(&f)) seen.push_back(std::string(f.Name) + "=" + std::string(f.Value));
  EXPECT_EQ(seen, (std::vector<std::string>{"Subject= a\r\n b", "To= c", "X-Empty=", std::string("X-Nul= a\0b", 10)}));
  ASSERT_TRUE(MimeFindField(header, "TO", &f));
  EXPECT_EQ(f.Raw, "To : c\r\n");
  EXPECT_EQ(MimeUnfold(" a\r\n b\n\tc \r", 100), "a b\tc");
  EXPECT_EQ(MimeUnfold(" abcdef", 3), "abc");
}

TEST(MimeField, ContentTypeParametersAndRfc2231) {
  struct Case { const char *value; const char *expect; } cases[] = {
      {"text/plain; charset=\"utf-8\"; format=flowed", "text/plain charset=utf-8 format=flowed"},
      {"TEXT/PLAIN (comment) ; CHARSET = US-ASCII (Plain text)", "text/plain charset=US-ASCII"},
      {"multipart/mixed; boundary=----=_Part_1_2.3;;", "multipart/mixed boundary=----=_Part_1_2.3"},
      {"text/plain; name*1=name.txt; name*0=\"long \"", "text/plain name=long name.txt"},
      {"application/x-stuff; title*0*=us-ascii'en'This%20is%20; title*1*=%2A%2Afun%2A%2A; title*2=\" isn't\"",
       "application/x-stuff title*=utf-8'en'This%20is%20%2A%2Afun%2A%2A%20isn%27t"},
      {"a/b; title*=iso-8859-1'de'M%FCnchen; title=Munchen", "a/b title=Munchen title*=utf-8'de'M%C3%BCnchen"},
      {"a/b; q=\"x\\\"y\"; bare; =v; n=1 junk; m=2", "a/b q=x\"y n=1 m=2"},
      {"text", ""}, {"text/", ""}, {"/plain", ""}, {"te xt/plain", ""},
  };
  for (const Case &c : cases) {
    MimeContentType t;
    std::string got;
    if (MimeParseContentType(c.value, &t)) {
      got = t.Type + "/" + t.Subtype;
      for (const MimeParam &p : t.Params) got += " " + p.Name + (p.bExtended ? "*=" : "=") + p.Value;
    }
    EXPECT_EQ(got, c.expect) << c.value;
  }
  MimeContentType t;
  ASSERT_TRUE(MimeParseContentType("a/b; title*0*=us-ascii'en'This%20is%20; title*1*=%2A%2Afun%2A%2A; "
                                   "title*2=\" isn't\"; f*=iso-8859-1''M%FCnchen; n=\"=?utf-8?B?w6kudHh0?=\"",
                                   &t));
  EXPECT_EQ(MimeParamText(t.Params, "title"), "This is **fun** isn't");
  EXPECT_EQ(MimeParamText(t.Params, "F"), "München");
  EXPECT_EQ(MimeParamText(t.Params, "n"), "é.txt");
  EXPECT_EQ(MimeParamText(t.Params, "absent"), "");
  std::string type;
  std::vector<MimeParam> params;
  ASSERT_TRUE(MimeParseDisposition("Attachment; filename=a.pdf", &type, &params));
  EXPECT_EQ(type, "attachment");
  EXPECT_EQ(MimeParseLanguages(" en, (comment) de-CH"), (std::vector<std::string>{"en", "de-CH"}));
  EXPECT_EQ(MimeFirstToken(" (why) BASE64 (because)"), "base64");
}

TEST(MimeAddr, MailboxesGroupsAndBrokenLists) {
  auto show = [](std::string_view value) {
    std::string out;
    for (const MimeAddress &a : MimeParseAddressList(value)) {
      if (a.What == MimeAddress::Kind::GroupStart) out += "[" + a.Name + ":";
      if (a.What == MimeAddress::Kind::GroupEnd) out += "]";
      if (a.What == MimeAddress::Kind::Mailbox)
        out += "(" + a.Name + "|" + a.Route + "|" + a.Mailbox + "|" + a.Host + ")";
    }
    return out;
  };
  struct Case { const char *value, *expect; } cases[] = {
      {"\"Joe Q. Public\" <john.q.public@example.com>", "(Joe Q. Public||john.q.public|example.com)"},
      {"Mary Smith <mary@x.test>, jdoe@example.org, Who? <one@y.test>",
       "(Mary Smith||mary|x.test)(||jdoe|example.org)(Who?||one|y.test)"},
      {"<boss@nil.test>, \"Giant; \\\"Big\\\" Box\" <sysservices@example.net>",
       "(||boss|nil.test)(Giant; \"Big\" Box||sysservices|example.net)"},
      {"A Group:Ed Jones <c@a.test>,joe@where.test,John <jdoe@one.test>;, x@y",
       "[A Group:(Ed Jones||c|a.test)(||joe|where.test)(John||jdoe|one.test)](||x|y)"},
      {"Undisclosed recipients:;", "[Undisclosed recipients:]"},
      {"Pete(A nice \\) chap) <pete(his account)@silly.test(his host)>", "(Pete||pete|silly.test)"},
      {"jdoe@example.org (John Doe)", "(John Doe||jdoe|example.org)"},
      {"<@route1,@route2:user@host>", "(|@route1,@route2|user|host)"},
      {"\"quoted local\"@x.test", "(||\"quoted local\"|x.test)"},
      {"root, , a . b @ c . d", "(||root|)(||a.b|c.d)"},
      {"team: a@b.c", "[team:(||a|b.c)]"},                      // a group left open is closed
      {"\"\" <x@y> junk, =?utf-8?q?J=C3=B6rg?= <j@x", "(||x|y)(=?utf-8?q?J=C3=B6rg?=||j|x)"},
      {"", ""}, {"(only a comment)", ""},
  };
  for (const Case &c : cases) EXPECT_EQ(show(c.value), c.expect) << c.value;
}

TEST(MimeImap, StringTokens) {
  struct Case { std::string in, out; bool utf8; } cases[] = {
      {"abc", "\"abc\"", false},
      {"a\"b\\c", "\"a\\\"b\\\\c\"", false},
      {"", "\"\"", false},
      {"a\r\nb", "{4}\r\na\r\nb", false},
      {"caf\xc3\xa9", "{5}\r\ncaf\xc3\xa9", false},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\"", true},
      {"caf\xe9", "{4}\r\ncaf\xe9", true},
      {std::string("a\0b", 3), "{3}\r\na\x80" "b", false},   // NUL cannot travel; the length stays
      {std::string(kMaxMimeQuotedString + 1, 'x'), "{1025}\r\n" + std::string(kMaxMimeQuotedString + 1, 'x'), false},
  };
  for (const Case &c : cases) {
    std::string out;
    AppendImapString(c.in, &out, c.utf8);
    EXPECT_EQ(out, c.out);
  }
}

namespace {

// The shape of RFC 3501's section example: parts 1 to 4, a message in 3, a
// multipart in 4 with a message holding an alternative.
const std::string kComplex = Crlf(R"(From: Alice <alice@example.org>
To: Bob <bob@example.org>
Subject: complex
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="outer"

preamble
--outer
Content-Type: text/plain; charset=us-ascii

part one
--outer
Content-Type: application/octet-stream
Content-Transfer-Encoding: base64
Content-Disposition: attachment; filename*=utf-8''%E2%82%AC.bin

AAECAw==
--outer
Content-Type: message/rfc822
Content-Description: forwarded

From: Carol <carol@example.org>
Subject: inner three
Content-Type: multipart/mixed; boundary="three"

--three
Content-Type: text/plain

three one
--three
Content-Type: application/octet-stream

three two
--three--
--outer
Content-Type: multipart/mixed; boundary="four"
Content-Language: en, de

--four
Content-Type: image/gif
Content-Transfer-Encoding: base64
Content-ID: <gif@x>

R0lGODlh
--four
Content-Type: message/rfc822

Subject: four two
Content-Type: multipart/mixed; boundary="fourtwo"

--fourtwo
Content-Type: text/plain

four two one
--fourtwo
Content-Type: multipart/alternative; boundary="alt"

--alt
Content-Type: text/plain; charset=iso-8859-1
Content-Transfer-Encoding: quoted-printable

alt plain M=FCnchen
--alt
Content-Type: text/richtext
Content-Location: http://x.test/r

alt rich
--alt--
--fourtwo--
--four--
--outer--
epilogue
)");

}  // namespace

TEST(MimeTree, Rfc3501ExamplesOfEnvelopeAndBody) {
  std::string lines;
  for (int i = 0; i < 92; ++i) lines += std::string(i < 84 ? 31 : 30, 'x') + "\n";
  std::string single = Crlf("Date: Wed, 17 Jul 1996 02:23:25 -0700 (PDT)\n"
                            "From: Terry Gray <gray@cac.washington.edu>\n"
                            "Subject: IMAP4rev1 WG mtg summary and minutes\n"
                            "To: imap@cac.washington.edu\n"
                            "cc: minutes@CNRI.Reston.VA.US, John Klensin <KLENSIN@MIT.EDU>\n"
                            "Message-Id: <B27397-0100000@cac.washington.edu>\n"
                            "MIME-Version: 1.0\n"
                            "Content-Type: TEXT/PLAIN; CHARSET=US-ASCII\n\n" + lines);
  std::string part1, part2;
  for (int i = 0; i < 23; ++i) part1 += std::string(i < 22 ? 48 : 50, 'p') + "\n";
  for (int i = 0; i < 73; ++i) part2 += std::string(i < 28 ? 61 : 60, 'A') + "\n";
  std::string mixed = Crlf("Content-Type: MULTIPART/MIXED; BOUNDARY=\"xyz\"\n\n--xyz\n"
                           "Content-Type: TEXT/PLAIN; CHARSET=US-ASCII\n\n" + part1 +
                           "\n--xyz\nContent-Type: TEXT/PLAIN; CHARSET=US-ASCII; NAME=cc.diff\n"
                           "Content-ID: <960723163407.20117h@cac.washington.edu>\n"
                           "Content-Description: Compiler diff\nContent-Transfer-Encoding: BASE64\n\n" +
                           part2 + "\n--xyz--\n");
  std::string golden = Golden("mime-rfc3501.txt", {});
  std::string expect[3];
  for (int i = 0; i < 3; ++i) {
    expect[i] = golden.substr(0, golden.find('\n'));
    golden.erase(0, expect[i].size() + 1);
  }
  EXPECT_EQ(Envelope(single), expect[0]);
  EXPECT_EQ(Body(single), expect[1]);
  EXPECT_EQ(Body(mixed), expect[2]);
}

TEST(MimeTree, NestedMessagesGolden) {
  EXPECT_EQ(Body(kComplex, true), Trimmed(Golden("mime-complex-bodystructure.txt", {})));
  EXPECT_EQ(Body(kComplex, false, ImapRevision::Rev1), Trimmed(Golden("mime-complex-body.txt", {})));
  EXPECT_FALSE(MimeTextsDependOnRevision(Parse(kComplex)));
}

TEST(MimeTree, BrokenShapes) {
  std::string m = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  struct Case { std::string text, body; } cases[] = {
      {Crlf("Subject: x\n\nhi\n"), kPlainUs + "4 1)"},
      {"Subject: x\n\nhi\nthere", kPlainUs + "8 2)"},                           // bare LF, no last line end
      {Crlf("Subject: x\nContent-Type: text/html\n"), R"(("TEXT" "HTML" NIL NIL NIL "7BIT" 0 0))"},  // no blank line
      {Crlf("Content-Type: text\n\nhi"), kPlainUs + "2 1)"},                   // no subtype: the default
      {m + Crlf("--b\n\none\n--b\n\ntwo\n"),                                     // no close delimiter
       "(" + kPlainUs + "3 1)" + kPlainUs + "5 1) \"MIXED\")"},
      {m + Crlf("pre\n--b \t\n\none\n--bx\n--b--\t\nepi"),                      // padding; "--bx" is text
       "(" + kPlainUs + "9 2) \"MIXED\")"},
      {m + Crlf("--b\nContent-Type: multipart/alternative; boundary=b-1\n\n--b-1\n\nx\n--b-1--\n--b--\n"),
       "((" + kPlainUs + "1 1) \"ALTERNATIVE\") \"MIXED\")"},                  // one boundary the prefix of another
      {Crlf("Content-Type: multipart/mixed\n\n--b\n\nx\n"), kPlainUs + "10 3)"}, // no boundary: text
      {m + Crlf("no delimiter at all\n"), kPlainUs + "21 1)"},
      {m + Crlf("--b--\n"), kPlainUs + "7 1)"},                                // a close delimiter alone
      {"Content-Type: message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\nU3ViamVjdDogeA==",
       R"(("APPLICATION" "OCTET-STREAM" NIL NIL NIL "BASE64" 16))"},
      {Crlf("Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: s\n\nb\n--d--\n"),
       R"((("MESSAGE" "RFC822" NIL NIL NIL "7BIT" 15 (NIL "s" NIL NIL NIL NIL NIL NIL NIL NIL) )" + kPlainUs +
           "1 1) 3) \"DIGEST\")"},
  };
  for (const Case &c : cases) EXPECT_EQ(Body(c.text), c.body) << c.text;
}

TEST(MimeTree, MessageGlobalDependsOnTheRevision) {
  std::string text = Crlf("Content-Type: message/global\n\nSubject: s\n\nb");
  EXPECT_TRUE(MimeTextsDependOnRevision(Parse(text)));
  EXPECT_EQ(Body(text, false, ImapRevision::Rev1), R"(("MESSAGE" "GLOBAL" NIL NIL NIL "7BIT" 15))");
  EXPECT_EQ(Body(text, false, ImapRevision::Rev2),
            R"(("MESSAGE" "GLOBAL" NIL NIL NIL "7BIT" 15 (NIL "s" NIL NIL NIL NIL NIL NIL NIL NIL) )" + kPlainUs +
                "1 1) 3)");
}

TEST(MimeTree, LimitsMakeOpaqueParts) {
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
                                       std::to_string(i) + "\r\n";
  MimeTree tree = Parse(deep);
  EXPECT_TRUE(tree.bLimited);
  EXPECT_EQ(tree.Parts.back().Depth, kMaxMimeDepth);
  EXPECT_TRUE(tree.Parts.back().bOpaque);
  Body(deep, true);
  std::string many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (uint32_t i = 0; i < kMaxMimeParts + 50; ++i) many += "--b\r\n\r\n" + std::to_string(i) + "\r\n";
  tree = Parse(many);
  EXPECT_TRUE(tree.bLimited);
  ASSERT_EQ(tree.Parts.size(), kMaxMimeParts);
  EXPECT_EQ(tree.Parts.back().BodyEnd, many.size());   // the last part takes the rest
  Body(many, true);
}

TEST(MimeTree, EnvelopeDefaultsAndRawText) {
  struct Case { std::string header, envelope; } cases[] = {
      {"From: a@b\nSender:\nSubject:\n",
       R"((NIL "" ((NIL NIL "a" "b")) ((NIL NIL "a" "b")) ((NIL NIL "a" "b")) NIL NIL NIL NIL NIL))"},
      {"To: x@y\nReply-To: r@s\nIn-Reply-To: <p@q>\nSubject: =?utf-8?q?=C3=A9?=\n",
       R"((NIL "=?utf-8?q?=C3=A9?=" NIL NIL ((NIL NIL "r" "s")) ((NIL NIL "x" "y")) NIL NIL "<p@q>" NIL))"},
      {"Subject: two\n\tlines\nSubject: second\nDate: a\n",
       "(\"a\" \"two\tlines\" NIL NIL NIL NIL NIL NIL NIL NIL)"},
      {"Subject: caf\xc3\xa9 \0\n"s, "(NIL {7}\r\ncaf\xc3\xa9 \x80 NIL NIL NIL NIL NIL NIL NIL NIL)"},
  };
  for (const Case &c : cases) EXPECT_EQ(Envelope(Crlf(c.header) + "\r\nbody"), c.envelope) << c.header;
  // A header of megabytes, one field of two: bounded values, a valid text.
  std::string big = "Subject: " + std::string(2 << 20, 's') + "\r\n";
  for (int i = 0; i < 20000; ++i) big += "X-Filler: " + std::to_string(i) + "\r\n";
  std::string env = Envelope(big + "\r\nbody");
  EXPECT_EQ(env.find("{" + std::to_string(kMaxFieldValue) + "}\r\n"), 5u);
}

namespace {

// A section written as in FETCH: "4.2.HEADER", "1.MIME", "" ...
MimeSection Section(std::string_view spec, std::vector<std::string> fields = {}) {
  MimeSection s;
  s.Fields = std::move(fields);
  while (!spec.empty() && spec[0] >= '0' && spec[0] <= '9') {
    size_t dot = spec.find('.');
    s.Part.push_back(static_cast<uint32_t>(std::stoul(std::string(spec.substr(0, dot)))));
    spec = dot == std::string_view::npos ? std::string_view() : spec.substr(dot + 1);
  }
  struct Name { std::string_view name; MimeSectionText what; } names[] = {
      {"HEADER", MimeSectionText::Header}, {"TEXT", MimeSectionText::Text}, {"MIME", MimeSectionText::Mime},
      {"HEADER.FIELDS", MimeSectionText::HeaderFields}, {"HEADER.FIELDS.NOT", MimeSectionText::HeaderFieldsNot}};
  for (const Name &n : names)
    if (spec == n.name) s.What = n.what;
  return s;
}

// The bytes of a section, or "<none>".
std::string Fetch(std::string_view text, const MimeSection &section) {
  MimeSectionBytes bytes;
  if (!MimeSectionContent(text, Parse(text), section, &bytes)) return "<none>";
  return std::string(bytes.View(text));
}

}  // namespace

TEST(MimeSection, PartNumbersOfTheRfc3501Example) {
  struct Case { const char *spec; std::string bytes; } cases[] = {
      {"1", "part one"},
      {"1.MIME", Crlf("Content-Type: text/plain; charset=us-ascii\n\n")},
      {"2", "AAECAw=="},
      {"3.HEADER", Crlf("From: Carol <carol@example.org>\nSubject: inner three\n"
                        "Content-Type: multipart/mixed; boundary=\"three\"\n\n")},
      {"3.1", "three one"},
      {"3.2", "three two"},
      {"4.1", "R0lGODlh"},
      {"4.1.MIME", Crlf("Content-Type: image/gif\nContent-Transfer-Encoding: base64\nContent-ID: <gif@x>\n\n")},
      {"4.2.HEADER", Crlf("Subject: four two\nContent-Type: multipart/mixed; boundary=\"fourtwo\"\n\n")},
      {"4.2.1", "four two one"},
      {"4.2.2.1", "alt plain M=FCnchen"},
      {"4.2.2.2", "alt rich"},
      {"4.2.2.2.TEXT", "alt rich"},          // not a message: its own body
      {"5", "<none>"}, {"3.3", "<none>"}, {"1.1", "<none>"}, {"0", "<none>"}, {"4.2.2.3", "<none>"},
      {"MIME", "<none>"},
  };
  for (const Case &c : cases) EXPECT_EQ(Fetch(kComplex, Section(c.spec)), c.bytes) << c.spec;
  EXPECT_EQ(Fetch(kComplex, Section("")), kComplex);
  EXPECT_EQ(Fetch(kComplex, Section("3")).substr(0, 11), "From: Carol");
  EXPECT_EQ(Fetch(kComplex, Section("3.TEXT")), Crlf("--three\nContent-Type: text/plain\n\nthree one\n--three\n"
                                                     "Content-Type: application/octet-stream\n\nthree two\n--three--"));
  EXPECT_EQ(Fetch(kComplex, Section("HEADER.FIELDS", {"SUBJECT", "to"})),
            Crlf("To: Bob <bob@example.org>\nSubject: complex\n\n"));
  EXPECT_EQ(Fetch(kComplex, Section("HEADER.FIELDS.NOT", {"subject", "TO", "From", "mime-version"})),
            Crlf("Content-Type: multipart/mixed; boundary=\"outer\"\n\n"));
  EXPECT_EQ(Fetch(kComplex, Section("3.HEADER.FIELDS", {"Subject"})), Crlf("Subject: inner three\n\n"));
  // A message that is not multipart has one part, its body; a header
  // without a body has no blank line to return.
  std::string single = Crlf("Subject: s\n\nbody\n");
  EXPECT_EQ(Fetch(single, Section("1")), Crlf("body\n"));
  EXPECT_EQ(Fetch(single, Section("TEXT")), Crlf("body\n"));
  EXPECT_EQ(Fetch(single, Section("2")), "<none>");
  EXPECT_EQ(Fetch("Subject: s", Section("HEADER")), "Subject: s");
  EXPECT_EQ(Fetch("Subject: s", Section("HEADER.FIELDS", {"subject"})), "Subject: s");
  std::string wrapped = Crlf("Content-Type: message/rfc822\n\nSubject: in\n\ninner");
  EXPECT_EQ(Fetch(wrapped, Section("1.HEADER")), Crlf("Subject: in\n\n"));
  EXPECT_EQ(Fetch(wrapped, Section("1.1")), "inner");
}

TEST(MimeSection, BinaryDecodesTheContent) {
  std::string text = Crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                          "Content-Transfer-Encoding: quoted-printable\n\nline=\none=3D1\n--b\n"
                          "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\nYQpiDQpj\n--b\n"
                          "Content-Transfer-Encoding: x-uuencode\n\nbegin\n--b--\n");
  text += "--b\r\n";
  MimeTree tree = Parse(text);
  struct Case { std::vector<uint32_t> part; MimeBinaryStatus status; std::string out; } cases[] = {
      {{1}, MimeBinaryStatus::Ok, "lineone=1"},
      {{2}, MimeBinaryStatus::Ok, "a\r\nb\r\nc"},            // text gets CR LF lines
      {{3}, MimeBinaryStatus::UnknownEncoding, ""},
      {{4}, MimeBinaryStatus::NoPart, ""},
      {{}, MimeBinaryStatus::Ok, text},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_EQ(MimeBinaryContent(text, tree, c.part, &out), c.status);
    EXPECT_EQ(out, c.out);
  }
  std::string bytes;
  EXPECT_EQ(MimeBinaryContent(kComplex, Parse(kComplex), {2}, &bytes), MimeBinaryStatus::Ok);
  EXPECT_EQ(bytes, "\0\1\2\3"s);
}

TEST(MimeSearch, SimpleCaseFoldingTable) {
  struct Case { const char *in, *out; } cases[] = {
      {"ABC xyz", "abc xyz"}, {"ΣΊΣΥΦΟΣ σίσυφος", "σίσυφοσ σίσυφοσ"}, {"\u212A", "k"}, {"\u1E9E", "ß"},
      {"İ", "İ"}, {"ꭰ", "Ꭰ"}, {"Ａ", "ａ"}, {"𐐀", "𐐨"}, {"ǅ", "ǆ"}, {"a\xff", "a\uFFFD"},
  };
  for (const Case &c : cases) {
    std::string out;
    MimeFold(c.in, &out);
    EXPECT_EQ(out, c.out) << c.in;
  }
  // Folding is stable: every folded code point folds to itself.
  for (uint32_t cp = 0; cp < 0x20000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string one, once, twice;
    AppendUtf8(cp, &one);
    MimeFold(one, &once);
    MimeFold(once, &twice);
    ASSERT_EQ(once, twice) << std::hex << cp;
  }
}

TEST(MimeSearch, DecodedTextOfHeadersAndTextParts) {
  std::string text = Crlf("From: =?iso-8859-1?q?J=F6rg_M=FCller?= <j@x>\nSubject: =?iso-8859-1?q?Caf=E9?=\n"
                          "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                          "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
                          "Gr=FC=DFe aus M=FC=\nnchen\n--b\nContent-Type: text/html; charset=utf-8\n"
                          "Content-Transfer-Encoding: base64\n\nPHA+zqPOis6jzqXOps6fzqMg4oSqZWx2aW48L3A+\n--b\n"
                          "Content-Type: application/octet-stream\n\nsecretword\n--b\nContent-Type: message/rfc822\n\n"
                          "Subject: =?utf-8?q?Fr=C3=BChst=C3=BCck?=\n\ninner body text\n--b--\n");
  MimeTree tree = Parse(text);
  struct Case { const char *needle; bool body, all; } cases[] = {
      {"MÜNCHEN", true, true},   {"grüße", true, true},        {"GRÜSSE", false, false},  // no full folding
      {"σίσυφος", true, true},   {"kelvin", true, true},       {"secretword", false, false},
      {"frühstück", true, true}, {"INNER BODY", true, true},   {"café", false, true},
      {"octet-stream", false, true}, {"", true, true},        {"absent", false, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(MimeSearchMessage(text, tree, MimeSearchScope::Body, MimeNeedle(c.needle)), c.body) << c.needle;
    EXPECT_EQ(MimeSearchMessage(text, tree, MimeSearchScope::Text, MimeNeedle(c.needle)), c.all) << c.needle;
  }
  EXPECT_TRUE(MimeSearchField(text, tree, "SUBJECT", MimeNeedle("CAFÉ")));
  EXPECT_TRUE(MimeSearchField(text, tree, "from", MimeNeedle("jörg müller")));
  EXPECT_FALSE(MimeSearchField(text, tree, "from", MimeNeedle("café")));
  EXPECT_TRUE(MimeSearchField(text, tree, "subject", MimeNeedle("")));
  EXPECT_FALSE(MimeSearchField(text, tree, "x-missing", MimeNeedle("")));
}

TEST(MimeSearch, MatchesAcrossPieces) {
  // The needle straddles the end of the first piece: of the text in a plain
  // part, of the decoded text in a base64 part (76 digits a line: a piece
  // holds kSearchPiece / 78 lines of 57 bytes, and 3 bytes per 4 digits).
  size_t plainCut = kSearchPiece, base64Cut = kSearchPiece / 78 * 57 + kSearchPiece % 78 / 4 * 3;
  std::string encoded, base64 = Base64Encode(std::string(base64Cut - 3, 'a') + "NeedleZ");
  for (size_t i = 0; i < base64.size(); i += 76) encoded += base64.substr(i, 76) + "\r\n";
  for (const std::string &text : {"\r\n" + std::string(plainCut - 5, 'a') + "NeedleZ",
                                  "Content-Transfer-Encoding: base64\r\n\r\n" + encoded}) {
    MimeTree tree = Parse(text);
    EXPECT_TRUE(MimeSearchMessage(text, tree, MimeSearchScope::Body, MimeNeedle("needlez")));
    EXPECT_FALSE(MimeSearchMessage(text, tree, MimeSearchScope::Body, MimeNeedle("needlezz")));
  }
}

TEST(MimeStuff, FileTextAndBack) {
  struct Case { std::string file, text; bool stuffed; } cases[] = {
      {"a\r\n..b\r\n.\r\n", "a\r\n.b\r\n", true},
      {".x\r\n.\r\n", "x\r\n", true},
      {"a\r\nb\r\n.\r\n", "a\r\nb\r\n", false},
      {"a\n.b\r\n.\r\n", "a\n.b\r\n", false},   // no dot was stuffed behind a bare LF
      {".\r\n", "", false},
      {"no closing line", "no closing line", false},
      {"a\r\n.", "a\r\n", false},
  };
  for (const Case &c : cases) {
    std::string text;
    MimeTextFromFile(c.file, &text);
    EXPECT_EQ(text, c.text) << c.file;
    EXPECT_EQ(MimeFileIsStuffed(c.file), c.stuffed) << c.file;
    EXPECT_EQ(MimeFileTextSize(c.file), c.text.size()) << c.file;
    if (!c.stuffed) {
      EXPECT_EQ(c.file.substr(0, MimeFileTextEnd(c.file)), c.text);
    }
  }
  struct Back { std::string text, file; } backs[] = {
      {"a\n.b", "a\r\n..b\r\n.\r\n"}, {".\r\n", "..\r\n.\r\n"}, {"", ".\r\n"}, {"x\r\n", "x\r\n.\r\n"},
      {"a\rb\r\n\r\n", "a\rb\r\n\r\n.\r\n"},
  };
  for (const Back &b : backs) {
    std::string file;
    MimeFileFromText(b.text, &file);
    EXPECT_EQ(file, b.file);
  }
}
