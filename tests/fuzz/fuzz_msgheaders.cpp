// Fuzz target: the header reader of automatic replies and lists, and the
// list of senders answered today. Every field read stays within its bound
// and both readers agree on the fields they share; the rules of RFC 3834
// decide without failing; a sender written into today's list is found
// there, and the list never grows past its bound.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/msgtext.h"
#include "common/rfc822parse.h"
#include "tests/fuzz/fuzzscratch.h"

namespace {

void CheckBound(const std::optional<std::string> &field) {
  if (field && field->size() > kMaxHeaderField) abort();
}

void FuzzHeaders(const std::string &path) {
  MessageHeaders h;
  if (!ReadMessageHeaders(path, h)) abort();
  for (const std::optional<std::string> *f :
       {&h.From, &h.To, &h.Cc, &h.ReplyTo, &h.Subject, &h.Sender, &h.AutoSubmitted, &h.Precedence,
        &h.ListId})
    CheckBound(*f);
  std::optional<std::string> from, to, cc, replyTo, subject, sender;
  if (!ObtainMessageHeaders(path, &from, &to, &cc, &replyTo, &subject, &sender)) abort();
  if (from != h.From || to != h.To || cc != h.Cc || replyTo != h.ReplyTo ||
      subject != h.Subject || sender != h.Sender)
    abort();
  IsAutomaticMessage(h);
  if (h.From) ExtractAddress(*h.From, kMaxHeaderAddress);
}

void FuzzRepliedToday(std::string_view text) {
  const std::string today = "2026-12-07";
  size_t cut = text.find('\0');
  std::string address(text.substr(0, std::min<size_t>(cut, 64)));
  if (address.find_first_of("\r\n") != std::string::npos || address.empty()) address = "a@b.c";
  std::string updated;
  bool before = RepliedToday(text, today, address);
  if (!RememberReply(text, today, address, updated)) return;
  if (!RepliedToday(updated, today, address)) abort();
  size_t lines = 0;
  for (char c : updated) lines += c == '\n';
  if (lines > kMaxRepliesPerDay + 1) abort();
  // Remembering twice is harmless; a second look finds it as before.
  if (before && !RepliedToday(updated, today, address)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  FuzzScratchRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input = FuzzScratchRoot() + "/input.MSG";
  {
    std::ofstream f(input, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  FuzzHeaders(input);
  FuzzRepliedToday(std::string_view(reinterpret_cast<const char *>(data), size));
  return 0;
}
