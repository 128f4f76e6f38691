// sievectl: see sievectl.h.
#include "common/sievectl.h"

#include <algorithm>
#include <vector>

#include "common/rfc822parse.h"
#include "common/str.h"
#include "platform/charset.h"
#include "platform/profile.h"

namespace {

// As the delivery agent reads them: lines of the address files count with
// their first 511 characters, an address with 512.
constexpr size_t kMaxCtlLine = 511;
constexpr size_t kMaxCtlAddress = 512;

// A user's text as UTF-8: kept when it is, else read as ISO-8859-1.
std::string AsUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  for (unsigned char c : text) AppendUtf8(c, &out);
  return out;
}

// A quoted Sieve string: only '"' and '\' need escaping.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : AsUtf8(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The first address of each line, as the control file's rules read them.
std::vector<std::string> AddressLines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty() && out.size() < kMaxCtlListAddresses) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, std::min(lf, kMaxCtlLine));
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    std::string address = ExtractAddress(line, kMaxCtlAddress);
    if (!address.empty()) out.push_back(address);
  }
  return out;
}

std::string QuotedList(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quoted(items[i]);
  return out + "]";
}

}  // namespace

std::string SieveFromControlFile(const ControlFileTexts &files) {
  auto get = [&](const char *section, const char *key) {
    return GetProfileString(files.Control, section, key, "", kMaxProfileValue);
  };
  bool echo = BoolFromString(get("AutoReply", "EchoMessage"), false);
  bool record = BoolFromString(get("AutoReply", "RecordReplies"), false);
  bool discard = BoolFromString(get("Delivery", "Discard"), false);
  std::string replyFrom = get("AutoReply", "ReplyFrom");
  std::string forward = ExtractAddress(get("AutoForward", "ForwardTo"), kMaxCtlAddress);
  bool reply = files.bReplyText || echo;

  std::vector<std::string> require, body;
  if (reply) {
    require.push_back("vacation");
    std::vector<std::string> noReply = AddressLines(files.NoReply);
    std::vector<std::string> replied = AddressLines(files.Replied);
    std::vector<std::string> tests;
    if (!noReply.empty()) tests.push_back("address :is [\"to\", \"cc\"] " + QuotedList(noReply));
    if (!replied.empty())
      tests.push_back("address :is [\"reply-to\", \"from\"] " + QuotedList(replied));
    if (!replied.empty()) tests.push_back("envelope :is \"from\" " + QuotedList(replied));
    if (!replied.empty()) require.push_back("envelope");
    body.push_back("# The automatic reply (AUTORPLY.TXT), once per sender and day.");
    body.push_back("# Unlike the control file's, it answers only mail addressed to you (add");
    body.push_back("# other addresses of yours with :addresses), and at the return path.");
    if (echo)
      body.push_back("# EchoMessage has no Sieve equivalent: the reply does not quote the "
                     "message.");
    if (record)
      body.push_back("# RecordReplies has no Sieve equivalent: vacation answers a sender again "
                     "after :days;\n# the addresses in REPLIED.TXT today are never answered.");
    std::string vacation = "vacation :days 1 :subject \"Automatic reply\"";
    if (!replyFrom.empty()) vacation += " :from " + Quoted(replyFrom);
    vacation += " " + Quoted(files.ReplyText) + ";";
    if (tests.empty()) {
      body.push_back(vacation);
    } else {
      std::string cond = tests.size() == 1 ? tests[0] : "anyof (" + tests[0];
      for (size_t i = 1; i < tests.size(); ++i) cond += ",\n           " + tests[i];
      if (tests.size() > 1) cond += ")";
      body.push_back("if not " + cond + " {\n  " + vacation + "\n}");
    }
  }
  if (!forward.empty()) {
    if (!discard) require.push_back("copy");
    body.push_back(discard ? "# ForwardTo with Discard: forwarded, no copy kept here."
                           : "# ForwardTo: forwarded, a copy kept here.");
    body.push_back(std::string("redirect ") + (discard ? "" : ":copy ") + Quoted(forward) + ";");
  } else if (discard) {
    body.push_back("# Discard without ForwardTo: no copy is kept.");
    body.push_back("discard;");
  }
  std::string out = "# The rules of ZEL.CTL as a Sieve script (zeladm sieve from-ctl).\n";
  if (!require.empty()) out += "require " + QuotedList(require) + ";\n";
  for (const std::string &line : body) out += line + "\n";
  if (body.empty()) out += "# The control file holds no rule: every message is kept.\nkeep;\n";
  return out;
}
