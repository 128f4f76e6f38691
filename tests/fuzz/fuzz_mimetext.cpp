// Fuzz target for the decoders: encoded words (RFC 2047) in any charset,
// charset conversion fed whole and in two pieces, the transfer decodings
// fed whole and in pieces, parameter values (RFC 2231). The first byte
// picks the charset and the cut. Every output must be valid UTF-8 where
// UTF-8 is promised, within its bound, and the same however it was fed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/mimefield.h"
#include "common/mimesearch.h"
#include "common/mimetext.h"
#include "platform/charset.h"

namespace {

constexpr std::string_view kCharsets[] = {"utf-8", "iso-8859-1", "shift_jis", "iso-2022-jp", "utf-16",
                                          "gb2312", "utf-7", "koi8-r", "x-unknown", "big5"};
constexpr size_t kBound = 512;

void Check(bool ok) {
  if (!ok) abort();
}

void FuzzCharset(std::string_view charset, std::string_view input, size_t cut) {
  std::string whole, pieces;
  ConvertToUtf8(charset, input, SIZE_MAX, &whole);
  Check(IsValidUtf8(whole));
  Utf8Decoder decoder;
  decoder.Open(charset);
  decoder.Convert(input.substr(0, cut), false, SIZE_MAX, &pieces);
  decoder.Convert(input.substr(cut), true, SIZE_MAX, &pieces);
  Check(IsValidUtf8(pieces));
  // Stateless charsets must not care where the text was cut.
  if (charset == "utf-8" || charset == "iso-8859-1" || charset == "koi8-r") Check(pieces == whole);
  std::string bounded;
  ConvertToUtf8(charset, input, kBound, &bounded);
  Check(bounded.size() <= kBound && IsValidUtf8(bounded));
}

void FuzzTransfer(MimeEncoding encoding, std::string_view input, size_t cut) {
  std::string whole, pieces;
  MimeDecodeTransfer(encoding, input, &whole);
  MimeTransferDecoder decoder(encoding);
  decoder.Feed(input.substr(0, cut), &pieces);
  decoder.Feed(input.substr(cut), &pieces);
  decoder.Finish(&pieces);
  Check(pieces == whole && whole.size() <= input.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string_view charset = kCharsets[data[0] % std::size(kCharsets)];
  std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
  size_t cut = input.empty() ? 0 : data[0] % (input.size() + 1);
  std::string words = MimeDecodeWords(input, kBound);
  Check(words.size() <= kBound && IsValidUtf8(words));
  FuzzCharset(charset, input, cut);
  FuzzTransfer(MimeEncoding::Base64, input, cut);
  FuzzTransfer(MimeEncoding::QuotedPrintable, input, cut);
  std::string folded;
  MimeFold(input, &folded);
  Check(IsValidUtf8(folded));
  MimeContentType type;
  if (MimeParseContentType(input, &type)) {
    Check(type.Params.size() <= kMaxParams);
    for (const MimeParam &p : type.Params) Check(IsValidUtf8(MimeParamText(type.Params, p.Name)));
  }
  return 0;
}
