// smtpdata: see smtpdata.h.
#include "ZELRECV/smtpdata.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/ascii.h"

namespace {

// Scanner states: at the start of a line; behind a "." that starts one;
// behind ".\r" at the start of one; inside a line; behind a "\r" inside one.
enum ScanState { kLineStart = 0, kDot, kDotCr, kInLine, kCr };

// Ends a line: writes its stored end and notes whether it was CR LF.
size_t EndLine(DataScanner &s, char *out, const char *stored, size_t n, bool crlf) {
  memcpy(out, stored, n);
  s.bPrevCrlf = crlf;
  s.State = kLineStart;
  return n;
}

// Text of the line, after whatever the scanner held back.
size_t InLine(DataScanner &s, char c, char *out) {
  if (c == '\r') {
    s.State = kCr;
    return 0;
  }
  // A bare LF ends the line; it is stored as CR LF.
  if (c == '\n') return EndLine(s, out, "\r\n", 2, false);
  out[0] = c;
  s.State = kInLine;
  return 1;
}

// One byte; the bytes it lets go are written to out (at most 4). True when
// it completes the end marker.
bool ScanByte(DataScanner &s, char c, char *out, size_t *written) {
  size_t n = 0;
  switch (s.State) {
    case kLineStart:
      if (c == '.')
        s.State = kDot;
      else
        n = InLine(s, c, out);
      break;
    case kDot:
      if (c == '\r') {
        s.State = kDotCr;
      } else if (c == '\n') {
        n = EndLine(s, out, "..\r\n", 4, false);   // "." ended by a bare LF: text
      } else {
        out[0] = '.';
        n = 1 + InLine(s, c, out + 1);
      }
      break;
    case kDotCr:
      if (c == '\n' && s.bPrevCrlf) {
        *written = EndLine(s, out, ".\r\n", 3, true);
        return true;
      }
      if (c == '\n') {
        n = EndLine(s, out, "..\r\n", 4, true);    // behind a bare LF: no end marker
      } else {
        memcpy(out, ".\r", 2);
        n = 2 + InLine(s, c, out + 2);
      }
      break;
    case kInLine:
      n = InLine(s, c, out);
      break;
    case kCr:
      if (c == '\n') {
        n = EndLine(s, out, "\r\n", 2, true);
      } else {
        out[0] = '\r';                              // the held CR was a bare one: text
        n = 1 + InLine(s, c, out + 1);
      }
      break;
  }
  *written = n;
  return false;
}

// The header grows by doubling, from this, up to what it can reach before
// the size check refuses it (the limit and one read's stored form).
constexpr size_t kFirstHeaderCapacity = 4096;
constexpr size_t kMaxHeaderCapacity = kMaxHeaderBytes + 2 * kDataReadSize + kDataHeldBytes;

// Room for needed bytes of header, taken from the budget first; false
// when the budget has none.
bool ReserveHeader(_SmtpData &data, size_t needed) {
  std::string &h = data.Header;
  if (needed <= h.capacity()) return true;
  size_t capacity = std::min(std::max({needed, 2 * h.capacity(), kFirstHeaderCapacity}),
                             std::max(needed, kMaxHeaderCapacity));
  if (!data.Hold.Resize(kDataBuffersBytes + capacity)) return false;
  h.reserve(capacity);
  return true;
}

// Where the header ends in text (the offset just behind the CR LF of its
// last line), searching from `from`; npos while no blank line was seen.
size_t HeaderEnd(const std::string &text, size_t from) {
  if (text.compare(0, 2, "\r\n") == 0) return 0;   // no header at all
  size_t at = text.find("\r\n\r\n", from);
  return at == std::string::npos ? at : at + 2;
}

// The header without its NUL bytes. A line that was "." only with NULs
// in it must not become a lone "." line: it gets its transparency dot.
// withMarker: the header's last line is the end marker itself.
std::string WithoutNuls(const std::string &text, bool withMarker) {
  std::string out;
  out.reserve(text.size());
  size_t lineStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\0') out.push_back(text[i]);
    if (text[i] != '\n') continue;
    bool last = i + 1 == text.size();
    if (out.compare(lineStart, std::string::npos, ".\r\n") == 0 && !(last && withMarker))
      out.insert(lineStart, 1, '.');
    lineStart = out.size();
  }
  return out;
}

}  // namespace

const char *const kTooBigReply = "552 Message exceeds fixed maximum message size\r\n";
const char *const kHeaderTooBigReply = "552 Message header exceeds fixed maximum size\r\n";


size_t ScanData(DataScanner &s, const char *in, size_t n, char *out, size_t *consumed,
                bool *ended) {
  size_t written = 0;
  *ended = false;
  *consumed = n;
  for (size_t i = 0; i < n; ++i) {
    size_t w = 0;
    if (ScanByte(s, in[i], out + written, &w)) {
      *ended = true;
      *consumed = i + 1;
      return written + w;
    }
    written += w;
  }
  return written;
}

bool BeginData(_SmtpData &data) {
  EndData(data);
  if (!data.Hold.Resize(kDataBuffersBytes)) return false;
  data.Buffer.reset(new (std::nothrow) char[kDataBufferSize]);
  data.ReadBuffer.reset(new (std::nothrow) char[kDataReadSize]);
  return data.Buffer && data.ReadBuffer;
}

void EndData(_SmtpData &data) { data = _SmtpData{}; }

size_t DataReadRoom(const _SmtpData &data) {
  size_t free = kDataBufferSize - data.Used;
  if (free < 2 * kDataHeldBytes + 2) return 0;
  size_t room = (free - kDataHeldBytes) / 2;
  return room < kDataReadSize ? room : kDataReadSize;
}

void RefuseData(_SmtpData &data, const char *reply) {
  if (data.Refusal == nullptr) data.Refusal = reply;
  data.Used = 0;
  DropHeldHeader(data);
}

void DropHeldHeader(_SmtpData &data) {
  std::string().swap(data.Header);
  (void)data.Hold.Resize(std::min(data.Hold.Held(), kDataBuffersBytes));
}

bool TakeDataBytes(_SmtpData &data, const char *in, size_t n, unsigned long long maxMessageSize,
                   size_t *consumed) {
  bool ended = false;
  size_t w = ScanData(data.Scanner, in, n, data.Buffer.get() + data.Used, consumed, &ended);
  data.bEnded = ended;
  data.Bytes += *consumed;
  // The scan costs a pass over bytes already in the cache; the agent would
  // otherwise read the whole file again at each attempt.
  if (!data.bEightBit) data.bEightBit = HasEightBitByte(std::string_view(in, *consumed));
  if (maxMessageSize != 0 && data.Bytes > maxMessageSize) RefuseData(data, kTooBigReply);
  if (data.Refusal != nullptr) return ended;   // read on to the end, storing nothing
  if (data.bHeaderDone) {
    data.Used += w;
    return ended;
  }
  // The header is held: the new text joins it until the blank line.
  size_t searchFrom = data.Header.size() < 3 ? 0 : data.Header.size() - 3;
  if (!ReserveHeader(data, data.Header.size() + w)) {
    RefuseData(data, kNoMemoryReply);
    return ended;
  }
  data.Header.append(data.Buffer.get() + data.Used, w);
  size_t end = HeaderEnd(data.Header, searchFrom);
  if (end == std::string::npos && !ended) {
    if (data.Header.size() > kMaxHeaderBytes) RefuseData(data, kHeaderTooBigReply);
    return ended;
  }
  bool allHeader = end == std::string::npos;
  if (allHeader) end = data.Header.size();
  // What follows the header goes back to the output buffer, which held
  // nothing but this read's text.
  size_t rest = data.Header.size() - end;
  memcpy(data.Buffer.get(), data.Header.data() + end, rest);
  data.Used = rest;
  data.Header.resize(end);
  if (data.Header.size() > kMaxHeaderBytes) {
    RefuseData(data, kHeaderTooBigReply);
    return ended;
  }
  if (memchr(data.Header.data(), '\0', data.Header.size()) != nullptr) {
    // The copy without NULs is held beside the header for a moment.
    if (!data.Hold.Resize(data.Hold.Held() + data.Header.size())) {
      RefuseData(data, kNoMemoryReply);
      return ended;
    }
    data.Header = WithoutNuls(data.Header, allHeader);
    (void)data.Hold.Resize(kDataBuffersBytes + data.Header.capacity());
  }
  data.bHeaderDone = true;
  return ended;
}
