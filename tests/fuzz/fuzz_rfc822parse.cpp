// Fuzz target for the address scanners: arbitrary bytes as an address, a
// path or a list value. Each text sits in a heap buffer of exactly its size
// (so a read behind the terminator is a sanitizer report), each output in a
// buffer with guard bytes behind the size it was given; every returned
// pointer must lie within its text and every output must end within its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/rfc822parse.h"

namespace {

constexpr size_t kGuard = 8;
constexpr char kGuardByte = '\x5a';

void Check(bool ok) {
  if (!ok) abort();
}

struct Text {
  explicit Text(const std::string &s) : length(s.size()), data(new char[s.size() + 1]) {
    memcpy(data.get(), s.c_str(), s.size() + 1);
  }
  char *begin() const { return data.get(); }
  bool Holds(const char *p) const { return p >= data.get() && p <= data.get() + length; }
  size_t length;
  std::unique_ptr<char[]> data;
};

// An output buffer of the given size with guard bytes behind it.
struct Output {
  explicit Output(size_t size) : size(size), bytes(size + kGuard, kGuardByte) {}
  char *get() { return bytes.data(); }
  // Written text ends within size and nothing behind size was touched.
  void CheckBounds() const {
    if (size > 0) Check(memchr(bytes.data(), '\0', size) != nullptr);
    for (size_t i = size; i < bytes.size(); ++i) Check(bytes[i] == kGuardByte);
  }
  size_t size;
  std::vector<char> bytes;
};

void FuzzScanners(const std::string &s, size_t size) {
  Text t(s);
  Check(t.Holds(SkipLocalAddressPart(t.begin())));
  Check(t.Holds(SkipRfc821Address(t.begin())));
  Check(SkipRfc821Address(t.begin()) >= SkipLocalAddressPart(t.begin()));

  Text trimmed(s);
  RemoveTrailingSpace(trimmed.begin());
  size_t n = strlen(trimmed.begin());
  Check(n == 0 || !IsAddressSpace(trimmed.begin()[n - 1]));

  Output user(size), domain(size / 2);
  SplitAddress(t.begin(), user.get(), user.size, domain.get(), domain.size);
  user.CheckBounds();
  domain.CheckBounds();
}

void FuzzQuoting(const std::string &s, size_t size) {
  Text t(s);
  Output stripped(size);
  StripDown(t.begin(), stripped.get(), stripped.size);
  stripped.CheckBounds();

  Output dressed(size);
  DressUp(t.begin(), dressed.get(), dressed.size);
  dressed.CheckBounds();
  // A quoted result, even a cut one, is a closed quoted string.
  if (size >= 3 && dressed.get()[0] == '"') {
    size_t n = strlen(dressed.get());
    Check(n >= 2 && dressed.get()[n - 1] == '"');
  }
  // With room enough, quoting and unquoting give back the text.
  size_t len = strlen(t.begin());
  std::vector<char> full(2 * len + 3), back(2 * len + 3);
  DressUp(t.begin(), full.data(), full.size());
  StripDown(full.data(), back.data(), back.size());
  Check(strcmp(back.data(), t.begin()) == 0);
}

void FuzzLists(const std::string &s, size_t size) {
  Text all(s);
  std::vector<char *> list = ExtractAllAddresses(all.begin());
  Check(!list.empty() && list.back() == nullptr);
  Check(list.size() <= all.length + 1);
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    Check(all.Holds(list[i]) && *list[i] != '\0');
    Check(all.Holds(list[i] + strlen(list[i])));
  }

  Text one(s);
  char *cursor = one.begin();
  for (size_t i = 0; i <= one.length + 1; ++i) {
    char *address = ParseRfc822AddressHeader(&cursor);
    Check(one.Holds(address) && one.Holds(cursor));
    if (*address == '\0') break;
  }

  Output first(size);
  ExtractAddress(s, first.get(), first.size);
  first.CheckBounds();
  Check(ExtractAddress(s, size).size() <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the output size (0 to 63), so the cuts are fuzzed too.
  size_t outSize = data[0] % 64;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));
  FuzzScanners(text, outSize);
  FuzzQuoting(text, outSize);
  FuzzLists(text, outSize);
  return 0;
}
