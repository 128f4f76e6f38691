// wirefields: the numbers and texts of the messages ZEL's processes send
// one another (the logon helpers' requests and answers, a session's start
// and launch records, the delivery agent's channel): little-endian numbers
// of 1 to 4 bytes, and texts as a 16-bit length and their bytes.
//
// The writer cuts a text to its bound (the reader of a field refuses
// anything longer, so nothing written here is refused for its length).
// WireReader reads off the front of a bounded view with a sticky failure:
// once a read runs short or a text is over its bound, every later read
// fails too and yields zero or empty, and the caller checks once (Ok or
// Whole). Callers: common/logonhelper, common/sessionstart,
// ZELDELIV/chanwire. Untrusted input: every view given to a reader; no
// state, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

void PutWireNumber(std::string &out, uint32_t value, int bytes);
void PutWireText(std::string &out, std::string_view text, size_t bound);

class WireReader {
 public:
  explicit WireReader(std::string_view in) : in_(in) {}
  uint32_t Number(int bytes);
  std::string Text(size_t bound);
  bool Ok() const { return !failed_; }
  // Read without a failure, and nothing left.
  bool Whole() const { return !failed_ && in_.empty(); }
  std::string_view Rest() const { return in_; }

 private:
  uint32_t Fail() {
    failed_ = true;
    return 0;
  }
  std::string_view in_;
  bool failed_ = false;
};
