// Fuzz target for what the SMTP client reads from a peer and from a held
// message file: the reply reader fed in pieces, the reply code, the text
// kept for reports, the EHLO extensions, the AUTH exchange at the relay
// host, and the message file check. The reader must stay within
// its bounds and agree with IsCompleteResponse; the kept text must hold no
// control character but line feed and tab; the file check must not depend
// on how the file is cut into reads.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ZELDELIV/smtpsend.h"

namespace {

void CheckReader(std::string_view text, size_t piece) {
  SmtpReplyReader reader;
  SmtpReplyReader::State state = SmtpReplyReader::kMore;
  for (size_t i = 0; i < text.size() && state == SmtpReplyReader::kMore; i += piece)
    state = reader.Feed(text.substr(i, piece));
  if (reader.Text().size() > kMaxSmtpReply) std::abort();
  if (state == SmtpReplyReader::kComplete) {
    if (!IsCompleteResponse(reader.Text())) std::abort();
    int code = GetSmtpReplyCode(reader.Text());
    if (code != kReplyCodeUnreadable && (code < 0 || code > 999)) std::abort();
  }
}

// Replies taken one after another from the input as it comes, in pieces
// or whole: the same replies either way, each complete, in the input's
// order and without a byte skipped.
std::vector<std::string> TakeReplies(std::string_view text, size_t piece) {
  std::vector<std::string> replies;
  SmtpReplyReader reader;
  for (size_t i = 0; i < text.size(); i += piece) {
    std::string_view input = text.substr(i, piece);
    while (!input.empty()) {
      SmtpReplyReader::State state = SmtpReplyReader::kMore;
      size_t taken = reader.Take(input, &state);
      if (taken == 0 || taken > input.size()) std::abort();
      input.remove_prefix(taken);
      if (state == SmtpReplyReader::kTooLong) return replies;
      if (state == SmtpReplyReader::kComplete) {
        if (!IsCompleteResponse(reader.Text())) std::abort();
        replies.push_back(reader.Text());
        reader = SmtpReplyReader();
      } else if (!input.empty()) {
        std::abort();
      }
    }
  }
  return replies;
}

void CheckTakenReplies(std::string_view text, size_t piece) {
  std::vector<std::string> whole = TakeReplies(text, text.size() + 1);
  if (TakeReplies(text, piece) != whole) std::abort();
  std::string joined;
  for (const std::string &r : whole) joined += r;
  if (text.substr(0, joined.size()) != joined) std::abort();
}

void CheckKeptText(std::string_view text) {
  std::string kept = ReplyTextForReport(text, kMaxSmtpKeptText);
  if (kept.size() > kMaxSmtpKeptText) std::abort();
  for (char c : kept) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 32 && c != '\n' && c != '\t') || u == 127) std::abort();
  }
}

// The extensions never put a line break into the MAIL command, and a limit
// only comes with SIZE.
void CheckEhlo(std::string_view text) {
  SmtpExtensions e = ParseEhloReply(text);
  if (!e.Esmtp || (e.SizeLimit != 0 && !e.Size)) std::abort();
  std::string parameters = MailParameters(e, text.size(), true);
  if (parameters.find_first_of("\r\n") != std::string::npos) std::abort();
}

// The input's lines as the relay host's replies to AUTH: the exchange ends
// within kMaxAuthSteps replies and a cancel, whatever they say, and a
// challenge is never decoded beyond its bound.
void CheckAuth(std::string_view text) {
  std::string challenge;
  if (ParseAuthChallenge(text, challenge) && challenge.size() > kMaxAuthChallenge) std::abort();
  std::vector<std::string> replies;
  for (size_t at = 0; at < text.size() && replies.size() <= kMaxAuthSteps;) {
    size_t lf = std::min(text.find('\n', at), text.size());
    replies.emplace_back(text.substr(at, lf + 1 - at));
    at = lf + 1;
  }
  for (AuthMechanism m : {AuthMechanism::kPlain, AuthMechanism::kLogin}) {
    size_t next = 0;
    AuthStep step = [&](std::string_view, std::string &reply) {
      if (next >= replies.size()) return -1;
      reply = replies[next++];
      return GetSmtpReplyCode(reply) == kReplyCodeUnreadable ? 500 : GetSmtpReplyCode(reply);
    };
    std::string last;
    RunAuthExchange(m, "user", "password", step, last);
    if (next > kMaxAuthSteps + 1) std::abort();
  }
}

void CheckMessageFile(std::string_view bytes, size_t piece) {
  MessageFileCheck whole, pieces;
  whole.Feed(bytes);
  for (size_t i = 0; i < bytes.size(); i += piece) pieces.Feed(bytes.substr(i, piece));
  if (whole.Valid(bytes.size()) != pieces.Valid(bytes.size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  size_t piece = size == 0 ? 1 : 1 + data[0] % 7;
  CheckReader(text, piece);
  CheckReader(text, text.size() + 1);
  CheckTakenReplies(text, piece);
  CheckKeptText(text);
  CheckEhlo(text);
  CheckAuth(text);
  CheckMessageFile(text, piece);
  return 0;
}
