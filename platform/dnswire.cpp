// dnswire: see dnswire.h.
#include "platform/dnswire.h"

#include "platform/ascii.h"
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

// Header flag bits (RFC 1035 4.1.1), as a 16-bit word.
constexpr uint16_t kFlagQr = 0x8000;
constexpr uint16_t kFlagAa = 0x0400;
constexpr uint16_t kFlagTc = 0x0200;
constexpr uint16_t kFlagRd = 0x0100;
constexpr uint16_t kFlagRa = 0x0080;
constexpr uint16_t kFlagAd = 0x0020;
// The two top bits of a length byte: 11 is a pointer, 01 and 10 are label
// types nobody uses and we do not read.
constexpr uint8_t kLabelTypeMask = 0xC0;
constexpr uint8_t kPointerBits = 0xC0;

// A sticky-error reader over the received bytes. Once a read fails, Ok() is
// false for good and every later read returns zeros, so a caller reads a
// whole record and checks once.
class WireReader {
 public:
  WireReader(const uint8_t *data, size_t length) : data_(data), length_(length) {}

  bool Ok() const { return ok_; }
  size_t Pos() const { return pos_; }
  size_t Length() const { return length_; }
  void Fail() { ok_ = false; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    return data_[pos_++];
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint32_t U32() {
    uint32_t high = U16();
    return high << 16 | U16();
  }
  // n raw bytes into out (may be null to skip them).
  void Bytes(size_t n, std::string *out) {
    if (!Need(n)) return;
    if (out != nullptr) out->assign(reinterpret_cast<const char *>(data_ + pos_), n);
    pos_ += n;
  }
  void Name(std::string *out);

 private:
  bool Need(size_t n) {
    if (ok_ && n <= length_ - pos_) return true;
    ok_ = false;
    return false;
  }
  bool AppendLabel(size_t at, size_t n, std::string &text);

  const uint8_t *data_;
  size_t length_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Writes one label byte so that the text cannot be misread as other labels.
void AppendEscaped(uint8_t b, std::string &text) {
  if (b == '.' || b == '\\') {
    text += '\\';
    text += static_cast<char>(b);
  } else if (b <= ' ' || b >= 0x7F) {
    char buf[5];
    snprintf(buf, sizeof buf, "\\%03u", b);
    text += buf;
  } else {
    text += static_cast<char>(b);
  }
}

bool WireReader::AppendLabel(size_t at, size_t n, std::string &text) {
  if (n > length_ - at) return false;
  if (!text.empty()) text += '.';
  for (size_t i = 0; i < n; ++i) AppendEscaped(data_[at + i], text);
  return true;
}

// Reads the name at the current position. The reader's position moves past
// the name's own bytes (up to and including its first pointer). Each pointer
// must point before the start of the run of labels that holds it, so the
// targets strictly decrease and no name can loop; the hop limit and the
// 255-byte limit bound the work besides.
void WireReader::Name(std::string *out) {
  if (!ok_) return;
  std::string text;
  size_t pos = pos_, runStart = pos_, wire = 0, hops = 0;
  bool jumped = false;
  while (true) {
    if (pos >= length_) return Fail();
    uint8_t len = data_[pos];
    if ((len & kLabelTypeMask) == kPointerBits) {
      if (length_ - pos < 2) return Fail();
      size_t target = static_cast<size_t>(len & ~kLabelTypeMask) << 8 | data_[pos + 1];
      if (target >= runStart || ++hops > kMaxDnsPointerHops) return Fail();
      if (!jumped) pos_ = pos + 2;
      jumped = true;
      pos = runStart = target;
      continue;
    }
    if ((len & kLabelTypeMask) != 0) return Fail();
    wire += 1 + len;
    if (wire > kMaxDnsNameWireLength) return Fail();
    if (len == 0) break;
    if (!AppendLabel(pos + 1, len, text)) return Fail();
    pos += 1 + len;
  }
  if (!jumped) pos_ = pos + 1;
  if (out != nullptr) *out = std::move(text);
}

bool ReadQuestion(WireReader &r, DnsQuestion &q) {
  r.Name(&q.name);
  q.type = r.U16();
  q.cls = r.U16();
  return r.Ok();
}

// The data of a record, decoded for class IN by type. The data must be used
// up exactly: a name that runs past it, or bytes left over, is a bad record.
void ReadRecordData(WireReader &r, DnsRecord &rec, size_t dataLength) {
  size_t end = r.Pos() + dataLength;
  if (dataLength > r.Length() - r.Pos()) return r.Fail();
  if (rec.cls != kDnsClassIN) return r.Bytes(dataLength, &rec.raw);
  switch (rec.type) {
    case kDnsTypeA: {
      if (dataLength != 4) return r.Fail();
      std::string bytes;
      r.Bytes(4, &bytes);
      if (r.Ok()) std::memcpy(&rec.address, bytes.data(), 4);
      break;
    }
    case kDnsTypeAAAA: {
      if (dataLength != 16) return r.Fail();
      std::string bytes;
      r.Bytes(16, &bytes);
      if (r.Ok()) {
        // Through a socket address, so a mapped IPv4 address reads as IPv4.
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, bytes.data(), 16);
        FromSockaddr(reinterpret_cast<const sockaddr *>(&sa), &rec.address6, nullptr);
      }
      break;
    }
    case kDnsTypeMX:
      rec.preference = r.U16();
      r.Name(&rec.target);
      break;
    case kDnsTypeSRV:
      // The target is never compressed by an honest server (RFC 2782), but
      // a pointer that keeps the rules hurts nobody.
      rec.preference = r.U16();
      rec.weight = r.U16();
      rec.port = r.U16();
      r.Name(&rec.target);
      break;
    case kDnsTypeCNAME:
    case kDnsTypePTR:
    case kDnsTypeNS:
      r.Name(&rec.target);
      break;
    default:
      r.Bytes(dataLength, &rec.raw);
  }
  if (r.Ok() && r.Pos() != end) r.Fail();
}

// RFC 2181 8: a TTL with the top bit set is read as 0.
constexpr uint32_t kMaxDnsTtl = 0x7FFFFFFF;

bool ReadRecord(WireReader &r, DnsRecord &rec) {
  r.Name(&rec.name);
  rec.type = r.U16();
  rec.cls = r.U16();
  rec.ttl = r.U32();
  size_t dataLength = r.U16();
  if (!r.Ok()) return false;
  if (rec.ttl > kMaxDnsTtl) rec.ttl = 0;
  ReadRecordData(r, rec, dataLength);
  return r.Ok();
}

// Reads count records into section; false when one cannot be read.
bool ReadSection(WireReader &r, uint16_t count, std::vector<DnsRecord> &section) {
  for (uint16_t i = 0; i < count; ++i) {
    DnsRecord rec;
    if (!ReadRecord(r, rec)) return false;
    section.push_back(std::move(rec));
  }
  return true;
}

bool IsQueryNameByte(char c) { return c > ' ' && c < 0x7F && c != '\\'; }

// Splits name at "." into labels, dropping empty ones; false for a name the
// query cannot carry.
bool SplitQueryName(std::string_view name, std::vector<std::string_view> &labels) {
  size_t wire = 1;  // the final zero byte
  while (!name.empty()) {
    size_t dot = name.find('.');
    std::string_view label = name.substr(0, dot);
    name.remove_prefix(dot == std::string_view::npos ? name.size() : dot + 1);
    if (label.empty()) continue;
    if (label.size() > kMaxDnsLabelLength) return false;
    for (char c : label)
      if (!IsQueryNameByte(c)) return false;
    wire += 1 + label.size();
    if (wire > kMaxDnsNameWireLength) return false;
    labels.push_back(label);
  }
  return !labels.empty();
}

void PutU16(std::string &out, uint16_t v) {
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v & 0xFF);
}

}  // namespace

bool BuildDnsQuery(uint16_t id, std::string_view name, uint16_t type, std::string &out,
                   bool askAuthenticated) {
  std::vector<std::string_view> labels;
  if (!SplitQueryName(name, labels)) return false;
  out.clear();
  PutU16(out, id);
  PutU16(out, askAuthenticated ? kFlagRd | kFlagAd : kFlagRd);
  PutU16(out, 1);  // one question, no records
  PutU16(out, 0);
  PutU16(out, 0);
  PutU16(out, 0);
  for (std::string_view label : labels) {
    out += static_cast<char>(label.size());
    out += label;
  }
  out += '\0';
  PutU16(out, type);
  PutU16(out, kDnsClassIN);
  return true;
}

bool BuildDnsReply(std::string_view name, uint16_t type, uint8_t rcode,
                   const std::vector<std::string> &rdata, std::string &out) {
  // Each answer's name points back at the question's, at the header's end.
  constexpr uint16_t kQuestionNamePointer = 0xC000 | kDnsHeaderLength;
  if (rdata.size() > 0xFFFF || !BuildDnsQuery(0, name, type, out)) return false;
  std::string head;
  PutU16(head, 0);
  PutU16(head, static_cast<uint16_t>(kFlagQr | kFlagRd | kFlagRa | (rcode & 0x0F)));
  PutU16(head, 1);
  PutU16(head, static_cast<uint16_t>(rdata.size()));
  out.replace(0, head.size(), head);
  for (const std::string &data : rdata) {
    if (data.size() > 0xFFFF) return false;
    PutU16(out, kQuestionNamePointer);
    PutU16(out, type);
    PutU16(out, kDnsClassIN);
    PutU16(out, 0);   // TTL: the reply is used once
    PutU16(out, 0);
    PutU16(out, static_cast<uint16_t>(data.size()));
    out += data;
  }
  return out.size() <= kMaxDnsMessageLength;
}

std::string NormalizeDnsName(std::string_view name) {
  std::vector<std::string_view> labels;
  std::string text;
  if (!SplitQueryName(name, labels)) return text;
  for (std::string_view label : labels) {
    if (!text.empty()) text += '.';
    text += label;
  }
  return text;
}

std::string ReverseLookupName(uint32_t address) {
  unsigned char b[4];
  std::memcpy(b, &address, 4);
  char buf[32];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u.in-addr.arpa", b[3], b[2], b[1], b[0]);
  return buf;
}

bool ParseDnsHeader(const uint8_t *data, size_t length, DnsHeader &out) {
  WireReader r(data, length);
  out.id = r.U16();
  uint16_t flags = r.U16();
  out.qdCount = r.U16();
  out.anCount = r.U16();
  out.nsCount = r.U16();
  out.arCount = r.U16();
  out.qr = (flags & kFlagQr) != 0;
  out.opcode = static_cast<uint8_t>(flags >> 11 & 0x0F);
  out.aa = (flags & kFlagAa) != 0;
  out.tc = (flags & kFlagTc) != 0;
  out.rd = (flags & kFlagRd) != 0;
  out.ra = (flags & kFlagRa) != 0;
  out.ad = (flags & kFlagAd) != 0;
  out.rcode = static_cast<uint8_t>(flags & 0x0F);
  return r.Ok();
}

bool ParseDnsMessage(const uint8_t *data, size_t length, DnsMessage &out) {
  out = DnsMessage();
  if (length > kMaxDnsMessageLength) length = kMaxDnsMessageLength;
  if (!ParseDnsHeader(data, length, out.header)) return false;
  WireReader r(data, length);
  r.Bytes(kDnsHeaderLength, nullptr);
  for (uint16_t i = 0; i < out.header.qdCount; ++i) {
    DnsQuestion q;
    if (!ReadQuestion(r, q)) return false;
    out.questions.push_back(std::move(q));
  }
  bool whole = ReadSection(r, out.header.anCount, out.answers) &&
               ReadSection(r, out.header.nsCount, out.authority) &&
               ReadSection(r, out.header.arCount, out.additional);
  if (whole) return true;
  // A truncated answer is read as far as its records are whole.
  out.partial = out.header.tc;
  return out.partial;
}

bool ReadDnsName(const uint8_t *data, size_t length, size_t offset, std::string &text) {
  if (length > kMaxDnsMessageLength) length = kMaxDnsMessageLength;
  if (offset > length) return false;
  WireReader r(data, length);
  r.Bytes(offset, nullptr);
  r.Name(&text);
  return r.Ok();
}

bool DnsNamesEqual(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

bool ParseDnsTxtStrings(std::string_view data, std::vector<std::string> &out) {
  out.clear();
  if (data.empty()) return false;
  while (!data.empty()) {
    size_t length = static_cast<unsigned char>(data[0]);
    if (length > data.size() - 1) return false;
    out.emplace_back(data.substr(1, length));
    data.remove_prefix(1 + length);
  }
  return true;
}

bool ParseDnsTlsa(std::string_view data, DnsTlsa &out) {
  constexpr size_t kFixedFields = 3;
  if (data.size() <= kFixedFields) return false;
  out.usage = static_cast<uint8_t>(data[0]);
  out.selector = static_cast<uint8_t>(data[1]);
  out.matching = static_cast<uint8_t>(data[2]);
  out.association.assign(data.substr(kFixedFields));
  return true;
}
