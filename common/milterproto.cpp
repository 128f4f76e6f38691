// milterproto: see milterproto.h.
#include "common/milterproto.h"

#include <algorithm>

#include "common/str.h"

namespace {

// A host name in the connect command: longer ones are cut (DNS allows 255).
constexpr size_t kMaxMilterHostName = 255;

void AppendU32(std::string *out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>((v >> shift) & 0xFF));
}

void AppendU16(std::string *out, uint16_t v) {
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v & 0xFF));
}

uint32_t ReadU32(std::string_view s) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[i]);
  return v;
}

// Text for a NUL-terminated field: up to its first NUL, at most maxChars.
std::string_view CField(std::string_view text, size_t maxChars) {
  text = text.substr(0, text.find('\0'));
  return text.substr(0, maxChars);
}

void AppendCString(std::string *out, std::string_view text) {
  out->append(text);
  out->push_back('\0');
}

// Room left in a packet whose data is out so far.
size_t Room(const std::string &data) {
  return data.size() >= kMaxMilterCommandData ? 0 : kMaxMilterCommandData - data.size();
}

std::string Packet(char command, std::string_view data) {
  std::string out;
  AppendMilterPacket(&out, command, data);
  return out;
}

// The fields of a reply packet, read front to back; a missing field leaves
// ok false and every later read fails too.
struct FieldReader {
  std::string_view Rest;
  bool Ok = true;

  uint32_t U32() {
    if (!Ok || Rest.size() < 4) {
      Ok = false;
      return 0;
    }
    uint32_t v = ReadU32(Rest);
    Rest.remove_prefix(4);
    return v;
  }
  std::string_view Str() {
    size_t nul = Ok ? Rest.find('\0') : std::string_view::npos;
    if (nul == std::string_view::npos) {
      Ok = false;
      return {};
    }
    std::string_view s = Rest.substr(0, nul);
    Rest.remove_prefix(nul + 1);
    return s;
  }
  // A string that may be left out at the end of the packet.
  std::string_view OptionalStr() { return Ok && Rest.empty() ? std::string_view() : Str(); }
  bool AtEnd() const { return Ok && Rest.empty(); }
};

// Envelope text from a filter goes into recipient files: one line, printable.
bool IsEnvelopeText(std::string_view s, size_t maxChars) {
  return s.size() <= maxChars && std::none_of(s.begin(), s.end(), [](char c) {
           unsigned char u = static_cast<unsigned char>(c);
           return u < 0x20 || u == 0x7F;
         });
}

bool Fail(std::string *error, const std::string &why) {
  *error = why;
  return false;
}

std::string CodeText(char code) {
  unsigned char u = static_cast<unsigned char>(code);
  if (u >= 0x21 && u <= 0x7E) return std::string("'") + code + "'";
  static const char kHex[] = "0123456789abcdef";
  return std::string("0x") + kHex[u >> 4] + kHex[u & 15];
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One line of a filter's reply: printable ASCII, "%%" as "%".
std::string CleanReplyLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char u = static_cast<unsigned char>(line[i]);
    if (line[i] == '%' && i + 1 < line.size() && line[i + 1] == '%') ++i;
    out += u == '\t' ? ' ' : (u < 0x20 || u > 0x7E ? '?' : line[i]);
  }
  return out;
}

}  // namespace

void AppendMilterPacket(std::string *out, char command, std::string_view data) {
  AppendU32(out, static_cast<uint32_t>(data.size() + 1));
  out->push_back(command);
  out->append(data);
}

std::string MilterNegotiatePacket() {
  std::string data;
  AppendU32(&data, kMilterVersion);
  AppendU32(&data, kMilterActionsOffered);
  AppendU32(&data, kMilterProtocolOffered);
  return Packet(kMilterCmdNegotiate, data);
}

void AppendMilterMacros(std::string *out, char command, const MilterMacros &macros) {
  std::string data(1, command);
  for (const auto &[name, value] : macros) {
    std::string_view n = CField(name, kMaxMilterCommandData);
    std::string_view v = CField(value, kMaxMilterCommandData);
    if (n.size() + v.size() + 2 > Room(data)) break;
    AppendCString(&data, n);
    AppendCString(&data, v);
  }
  if (data.size() > 1) AppendMilterPacket(out, kMilterCmdMacro, data);
}

std::string MilterConnectPacket(std::string_view hostName, const IpAddress &address,
                                uint16_t port) {
  std::string data;
  AppendCString(&data, CField(hostName, kMaxMilterHostName));
  if (!address.Valid()) {
    data.push_back(kMilterFamilyUnknown);
    return Packet(kMilterCmdConnect, data);
  }
  data.push_back(address.IsV6() ? kMilterFamilyInet6 : kMilterFamilyInet);
  AppendU16(&data, port);
  AppendCString(&data, AddressText(address));
  return Packet(kMilterCmdConnect, data);
}

std::string MilterHeloPacket(std::string_view name) {
  std::string data;
  AppendCString(&data, CField(name, kMaxMilterCommandData - 1));
  return Packet(kMilterCmdHelo, data);
}

std::string MilterEnvelopePacket(char command, std::string_view address,
                                 const std::vector<std::string> &parameters) {
  std::string data = "<";
  data += CField(address, kMaxMilterCommandData - 3);
  data += '>';
  data.push_back('\0');
  for (const std::string &p : parameters) {
    std::string_view v = CField(p, kMaxMilterCommandData);
    if (v.size() + 1 > Room(data)) break;
    AppendCString(&data, v);
  }
  return Packet(command, data);
}

std::string MilterHeaderPacket(std::string_view name, std::string_view value) {
  std::string data;
  AppendCString(&data, CField(name, kMaxMilterCommandData / 2));
  std::string_view v = CField(value, Room(data) - 1);
  AppendCString(&data, v);
  return Packet(kMilterCmdHeader, data);
}

MilterPacketStatus TakeMilterPacket(std::string_view buffer, MilterPacket *packet, size_t *used) {
  if (buffer.size() < 4) return MilterPacketStatus::Incomplete;
  uint32_t length = ReadU32(buffer);
  if (length == 0 || length > kMaxMilterReplyPacket) return MilterPacketStatus::Bad;
  if (buffer.size() - 4 < length) return MilterPacketStatus::Incomplete;
  packet->Command = buffer[4];
  packet->Data = buffer.substr(5, length - 1);
  *used = 4 + static_cast<size_t>(length);
  return MilterPacketStatus::Packet;
}

bool ParseMilterNegotiation(std::string_view data, MilterOptions *options, std::string *error) {
  if (data.size() < 12) return Fail(error, "negotiation reply too short");
  MilterOptions o;
  o.Version = ReadU32(data);
  o.Actions = ReadU32(data.substr(4)) & kMilterActionsOffered;
  o.Protocol = ReadU32(data.substr(8)) & kMilterProtocolOffered;
  if (o.Version < kMilterOldestVersion)
    return Fail(error, "protocol version " + std::to_string(o.Version) + " too old");
  // What follows (the macros the filter wants, per stage) is not needed: we
  // send the few macros we have to every filter.
  *options = o;
  return true;
}

namespace {

// The enhanced status code a reply line's text begins with ("5.7.1 "), or
// "": continuation lines repeat it (RFC 2034).
std::string_view EnhancedCode(std::string_view text) {
  size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    size_t digits = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == digits || i >= text.size() || text[i] != (part < 2 ? '.' : ' ')) return {};
    ++i;
  }
  return text.substr(0, i);
}

// One cleaned reply line ("550-text", "550 text", "550") broken into lines
// of at most kMaxMilterReplyLine octets, at a space where there is one,
// appended to lines: each piece but the last gets the continuation mark
// and repeats the enhanced code; the last keeps the line's own mark.
void WrapReplyLine(const std::string &line, std::vector<std::string> *lines) {
  if (line.size() <= kMaxMilterReplyLine) {
    lines->push_back(line);
    return;
  }
  std::string head = line.substr(0, 3);
  char mark = line[3];
  std::string_view text = std::string_view(line).substr(4);
  std::string_view enhanced = EnhancedCode(text);
  for (bool first = true; !text.empty(); first = false) {
    std::string_view lead = first ? std::string_view() : enhanced;
    size_t room = kMaxMilterReplyLine - 4 - lead.size();
    size_t take = text.size();
    if (take > room) {
      size_t space = text.rfind(' ', room);
      take = space != std::string_view::npos && space > lead.size() ? space : room;
    }
    std::string_view piece = text.substr(0, take);
    text.remove_prefix(take);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    lines->push_back(head + (text.empty() ? mark : '-') + std::string(lead) + std::string(piece));
  }
}

}  // namespace

bool ParseMilterReplyText(std::string_view text, std::string *reply, bool *tempFail,
                          std::string *error) {
  // Lines beyond kMaxMilterReplyLines are dropped: the reply is cut at a
  // line end, and the last line kept becomes the final one.
  std::vector<std::string_view> lines;
  while (!text.empty() && lines.size() < kMaxMilterReplyLines) {
    size_t brk = text.find('\n');
    std::string_view line = text.substr(0, brk);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = brk == std::string_view::npos ? std::string_view() : text.substr(brk + 1);
  }
  bool cut = !text.empty();
  if (lines.empty() || lines[0].size() < 3) return Fail(error, "reply code without a code");
  std::string_view code = lines[0].substr(0, 3);
  if ((code[0] != '4' && code[0] != '5') || !IsDigit(code[1]) || !IsDigit(code[2]))
    return Fail(error, "reply code is not 4xx or 5xx");
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    bool last = i + 1 == lines.size() && !cut;
    if (line.substr(0, 3) != code) return Fail(error, "reply code lines differ in their code");
    if (line.size() > 3 && line[3] != (last ? ' ' : '-'))
      return Fail(error, "reply code with a bad continuation mark");
    if (line.size() == 3 && !last) return Fail(error, "reply code with a bad continuation mark");
    // A line longer than a reply line may be is broken into several.
    WrapReplyLine(CleanReplyLine(line), &out);
  }
  std::string joined;
  for (size_t i = 0; i < out.size() && i < kMaxMilterReplyLines; ++i) {
    std::string &line = out[i];
    bool final = i + 1 == out.size() || i + 1 == kMaxMilterReplyLines;
    if (final && line.size() > 3) line[3] = ' ';
    joined += line + "\r\n";
  }
  *reply = std::move(joined);
  *tempFail = code[0] == '4';
  return true;
}

MilterReplyReader::MilterReplyReader(MilterReplyContext context, const MilterOptions &options,
                                     size_t maxBodyBytes)
    : context_(context), options_(options), maxBodyBytes_(maxBodyBytes) {}

MilterReplyStatus MilterReplyReader::Take(const MilterPacket &packet, std::string *error) {
  if (done_) {
    *error = "reply " + CodeText(packet.Command) + " after the answer";
    return MilterReplyStatus::Bad;
  }
  switch (packet.Command) {
    case kMilterReplyProgress:
      return MilterReplyStatus::Progress;
    case kMilterReplyAddRcpt:
    case kMilterReplyDelRcpt:
    case kMilterReplyAddRcptPar:
    case kMilterReplyReplaceBody:
    case kMilterReplyChangeFrom:
    case kMilterReplyAddHeader:
    case kMilterReplyInsertHeader:
    case kMilterReplyChangeHeader:
    case kMilterReplyQuarantine:
      if (context_ != MilterReplyContext::EndOfMessage) {
        *error = "modification " + CodeText(packet.Command) + " before the end of the message";
        done_ = true;
        return MilterReplyStatus::Bad;
      }
      return Modify(packet, error);
    default:
      return Final(packet, error);
  }
}

bool MilterReplyReader::Count(size_t bytes, std::string *error) {
  if (++modifications_ > kMaxMilterModifications) return Fail(error, "too many modifications");
  changeBytes_ += bytes;
  if (changeBytes_ > kMaxMilterChangeBytes) return Fail(error, "modifications too large");
  return true;
}

MilterReplyStatus MilterReplyReader::Modify(const MilterPacket &packet, std::string *error) {
  static const struct {
    char Code;
    uint32_t Action;
  } kNeeds[] = {
      {kMilterReplyAddHeader, kMilterActAddHeaders},   {kMilterReplyInsertHeader, kMilterActAddHeaders},
      {kMilterReplyChangeHeader, kMilterActChangeHeaders}, {kMilterReplyChangeFrom, kMilterActChangeFrom},
      {kMilterReplyAddRcpt, kMilterActAddRcpt},       {kMilterReplyAddRcptPar, kMilterActAddRcptPar},
      {kMilterReplyDelRcpt, kMilterActDelRcpt},       {kMilterReplyReplaceBody, kMilterActChangeBody},
      {kMilterReplyQuarantine, kMilterActQuarantine},
  };
  bool ok = false;
  for (const auto &n : kNeeds)
    if (n.Code == packet.Command) ok = (options_.Actions & n.Action) != 0;
  if (!ok) {
    *error = "modification " + CodeText(packet.Command) + " not negotiated";
  } else if (packet.Command == kMilterReplyReplaceBody) {
    ok = TakeBody(packet.Data, error);
  } else if (packet.Command == kMilterReplyQuarantine) {
    ok = TakeQuarantine(packet.Data, error);
  } else if (packet.Command == kMilterReplyAddHeader || packet.Command == kMilterReplyInsertHeader ||
             packet.Command == kMilterReplyChangeHeader) {
    ok = TakeHeaderEdit(packet, error);
  } else {
    ok = TakeEnvelopeEdit(packet, error);
  }
  if (ok) return MilterReplyStatus::More;
  done_ = true;
  return MilterReplyStatus::Bad;
}

bool MilterReplyReader::TakeHeaderEdit(const MilterPacket &packet, std::string *error) {
  FieldReader r{packet.Data};
  MilterHeaderEdit e;
  e.Op = packet.Command == kMilterReplyAddHeader      ? MilterHeaderOp::Add
         : packet.Command == kMilterReplyInsertHeader ? MilterHeaderOp::Insert
                                                      : MilterHeaderOp::Change;
  if (e.Op != MilterHeaderOp::Add) e.Index = r.U32();
  e.Name = r.Str();
  e.Value = r.Str();
  e.bLeadingSpace = (options_.Protocol & kMilterHeaderLeadingSpace) != 0;
  if (!r.AtEnd()) return Fail(error, "malformed header modification");
  // A deletion has no value to write; anything else must be writable as is.
  bool deletes = e.Op == MilterHeaderOp::Change && e.Value.empty();
  std::string line;
  if (!IsHeaderFieldName(e.Name) ||
      (!deletes && !FormatMilterHeaderField(e.Name, e.Value, e.bLeadingSpace, &line)))
    return Fail(error, "header modification that cannot be written safely");
  if (!Count(e.Name.size() + e.Value.size(), error)) return false;
  Changes.Text.Headers.push_back(std::move(e));
  return true;
}

bool MilterReplyReader::TakeEnvelopeEdit(const MilterPacket &packet, std::string *error) {
  FieldReader r{packet.Data};
  std::string_view address = r.Str();
  std::string_view parameters;
  if (packet.Command == kMilterReplyChangeFrom || packet.Command == kMilterReplyAddRcptPar)
    parameters = r.OptionalStr();
  if (!r.AtEnd() || address.empty() || !IsEnvelopeText(address, kMaxMilterAddress) ||
      !IsEnvelopeText(parameters, kMaxMilterParameters))
    return Fail(error, "malformed envelope modification");
  if (!Count(address.size() + parameters.size(), error)) return false;
  MilterChanges &c = Changes;
  if (packet.Command == kMilterReplyChangeFrom) {
    c.bChangeSender = true;
    c.Sender = address;
    c.SenderParameters = parameters;
  } else if (packet.Command == kMilterReplyDelRcpt) {
    c.DeletedRecipients.emplace_back(address);
  } else {
    c.AddedRecipients.push_back({std::string(address), std::string(parameters)});
  }
  return true;
}

bool MilterReplyReader::TakeBody(std::string_view data, std::string *error) {
  if (Changes.Text.Body.size() + data.size() > maxBodyBytes_)
    return Fail(error, "replaced body too large");
  Changes.Text.bReplaceBody = true;
  Changes.Text.Body.append(data);
  return true;
}

bool MilterReplyReader::TakeQuarantine(std::string_view data, std::string *error) {
  FieldReader r{data};
  std::string_view reason = r.Str();
  if (!r.AtEnd()) return Fail(error, "malformed quarantine");
  if (!Count(0, error)) return false;
  Changes.bQuarantine = true;
  Changes.QuarantineReason = BoundedCopy(reason, kMaxMilterQuarantineReason);
  return true;
}

MilterReplyStatus MilterReplyReader::Final(const MilterPacket &packet, std::string *error) {
  done_ = true;
  auto bad = [error](const std::string &why) {
    *error = why;
    return MilterReplyStatus::Bad;
  };
  switch (packet.Command) {
    case kMilterReplyAccept: Answer = MilterAnswer::Accept; break;
    case kMilterReplyContinue: Answer = MilterAnswer::Continue; break;
    case kMilterReplyReject: Answer = MilterAnswer::Reject; break;
    case kMilterReplyTempFail: Answer = MilterAnswer::TempFail; break;
    case kMilterReplyShutdown:
    case kMilterReplyConnFail: Answer = MilterAnswer::Shutdown; break;
    case kMilterReplyDiscard:
      if (context_ == MilterReplyContext::Connection) return bad("discard before a transaction");
      Answer = MilterAnswer::Discard;
      break;
    case kMilterReplySkip:
      if (context_ != MilterReplyContext::Body) return bad("skip outside the body");
      Answer = MilterAnswer::Skip;
      break;
    case kMilterReplyReplyCode: {
      bool tempFail = false;
      if (!ParseMilterReplyText(CField(packet.Data, packet.Data.size()), &Reply, &tempFail, error))
        return MilterReplyStatus::Bad;
      Answer = tempFail ? MilterAnswer::TempFail : MilterAnswer::Reject;
      break;
    }
    default:
      return bad("unknown reply " + CodeText(packet.Command));
  }
  return MilterReplyStatus::Done;
}
