// imapparse: see imapparse.h.
#include "ZELIMAP/imapparse.h"

#include <algorithm>
#include <charconv>

#include "ZELIMAP/imapwrite.h"
#include "platform/ascii.h"

namespace {

enum ReaderState {
  kStateLine = 0,         // reading a line of the command, kept
  kStateLiteral,          // reading a literal's bytes, kept
  kStateMessageDecision,  // APPEND's message announced; the caller may refuse it
  kStateMessage,          // handing out APPEND's message
  kStateSkipLine,         // a refused command: discarding its line
  kStateSkipLiteral,      // a refused command: discarding a literal
  kStateRawLine,          // reading a raw line
};

// What one state's handling led to.
enum Outcome {
  kGo,      // state changed or bytes taken: go on
  kEmit,    // an event is in the step
  kStarve,  // nothing more can happen without input
};

// The end of a line being skipped, kept to find a literal's announcement.
constexpr size_t kSkipTailBytes = 32;

const char *const kTooLong = "Command line too long";

// A literal announcement at the end of a line: "{n}", "{n+}", "~{n}".
struct LiteralHeader {
  enum Kind { kNone, kValid, kInvalid } What = kNone;
  size_t Start = 0;            // where it starts in the line
  uint64_t Size = 0;
  bool bSync = true;
  bool bBinary = false;
};

// `windowed`: the line is only its last bytes (a skipped line), so digits
// that reach its start may have had more in front: an announcement too
// long to read.
LiteralHeader FindLiteralHeader(std::string_view line, bool windowed) {
  LiteralHeader h;
  if (line.empty() || line.back() != '}') return h;
  size_t end = line.size() - 1;
  if (end > 0 && line[end - 1] == '+') h.bSync = false, --end;
  size_t digits = end;
  while (digits > 0 && line[digits - 1] >= '0' && line[digits - 1] <= '9') --digits;
  size_t count = end - digits;
  if (count == 0) return h;
  if (digits == 0 && windowed) {
    h.What = LiteralHeader::kInvalid;
    return h;
  }
  if (digits == 0 || line[digits - 1] != '{') return h;
  if (count > kMaxLiteralDigits) {
    h.What = LiteralHeader::kInvalid;
    return h;
  }
  std::from_chars(line.data() + digits, line.data() + end, h.Size);
  h.Start = digits - 1;
  if (h.Start > 0 && line[h.Start - 1] == '~') h.bBinary = true, --h.Start;
  h.What = LiteralHeader::kValid;
  return h;
}

void TrimLineEnd(std::string_view &line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
}

void ReleaseBuffer(ImapReader &r) {
  if (r.Buffer.capacity() > kKeptBufferBytes)
    std::string().swap(r.Buffer);
  else
    r.Buffer.clear();
}

void ResetCommand(ImapReader &r) {
  ReleaseBuffer(r);
  r.State = kStateLine;
  r.LineStart = r.TextBytes = 0;
  r.LiteralBytes = r.Remaining = 0;
  r.bFirstLine = true;
  r.bResetFirst = false;
  r.bAppend = r.bMessageTaken = r.bMessageSync = r.bMessageRefused = r.bMessageBinary = false;
  r.MessageAt = std::string::npos;
  r.MessageSize = 0;
  r.TagLength = r.NameStart = r.NameLength = r.ArgsStart = 0;
  r.bUid = r.bHasArgs = false;
  r.ScanAt = 0;
  r.ScanDepth = r.ScanArgs = 0;
  r.bScanQuoted = r.bScanEscape = r.bScanInArg = false;
  r.SkipTail.clear();
  r.bSkipTailCut = false;
  r.Command = ImapCommandView();
  r.Reply.clear();
  r.bCloseAfterReply = false;
  r.RawLine = std::string_view();
  r.bRawLineCut = false;
}

bool IsTag(std::string_view tag) {
  if (tag.empty()) return false;
  for (char c : tag)
    if (!IsTagChar(c)) return false;
  return true;
}

bool IsAtom(std::string_view atom) {
  if (atom.empty()) return false;
  for (char c : atom)
    if (!IsAtomChar(c)) return false;
  return true;
}

// The refusal line, tagged when the tag is known.
void SetReply(ImapReader &r, std::string_view tag, std::string_view status, std::string_view text) {
  r.Reply.clear();
  WriteTaggedReply(r.Reply, tag, status, text);
}

std::string_view KnownTag(const ImapReader &r) {
  if (!r.bFirstLine) return std::string_view(r.Buffer).substr(0, r.TagLength);
  // A tag cut short by the end of the kept text is not known.
  std::string_view text(r.Buffer);
  size_t sp = text.find(' ');
  if (sp == std::string_view::npos || !IsTag(text.substr(0, sp))) return {};
  return text.substr(0, sp);
}

Outcome EmitReject(ImapReader &r, ImapStep &step) {
  step.Event = ImapEvent::kReject;
  r.bResetFirst = true;
  return kEmit;
}

// The rest of the command is skipped; the reply (already set) goes out at
// its end. The kept bytes go; the current line's end is remembered.
Outcome BeginSkip(ImapReader &r) {
  std::string_view line = std::string_view(r.Buffer).substr(r.LineStart);
  r.SkipTail.assign(line.substr(line.size() - std::min(line.size(), kSkipTailBytes)));
  r.bSkipTailCut = line.size() > kSkipTailBytes;
  ReleaseBuffer(r);
  r.LineStart = 0;
  r.State = kStateSkipLine;
  return kGo;
}

// Refusal at a literal's announcement: a synchronising literal is never
// continued (the client sends none of it), so the command ends here; a
// non-synchronising one is on its way and is thrown away first.
Outcome RejectAtLiteral(ImapReader &r, ImapStep &step, const LiteralHeader &h) {
  if (h.bSync) return EmitReject(r, step);
  ReleaseBuffer(r);
  r.Remaining = h.Size;
  r.State = kStateSkipLiteral;
  return kGo;
}

// The tag and the command name from the first line (up to a literal's
// announcement). False with the reply set.
bool SplitTagAndName(ImapReader &r, std::string_view text) {
  size_t sp = text.find(' ');
  std::string_view tag = text.substr(0, sp);
  if (!IsTag(tag)) {
    SetReply(r, {}, "BAD", "Invalid tag");
    return false;
  }
  r.TagLength = tag.size();
  size_t at = sp == std::string_view::npos ? text.size() : sp + 1;
  for (int word = 0; word < 2; ++word) {
    size_t end = std::min(text.find(' ', at), text.size());
    std::string_view name = text.substr(at, end - at);
    if (!IsAtom(name)) {
      SetReply(r, tag, "BAD", name.empty() ? "Missing command name" : "Invalid command name");
      return false;
    }
    for (size_t i = at; i < end; ++i) r.Buffer[i] = UpperAscii(r.Buffer[i]);
    r.NameStart = at;
    r.NameLength = end - at;
    r.bHasArgs = end < text.size();
    r.ArgsStart = r.bHasArgs ? end + 1 : end;
    if (word == 1 || !EqualsNoCase(name, "UID")) break;
    r.bUid = true;
    at = r.ArgsStart;
    if (!r.bHasArgs) {
      SetReply(r, tag, "BAD", "Missing command after UID");
      return false;
    }
  }
  std::string_view name = std::string_view(r.Buffer).substr(r.NameStart, r.NameLength);
  r.bAppend = !r.bUid && name == "APPEND";
  r.ScanAt = r.ArgsStart;
  return true;
}

// Follows APPEND's arguments from where the last look stopped to `end`:
// parenthesis depth, quoting, and how many top-level arguments began.
void ScanAppendArgs(ImapReader &r, size_t end) {
  for (; r.ScanAt < end; ++r.ScanAt) {
    char c = r.Buffer[r.ScanAt];
    if (r.bScanQuoted) {
      if (r.bScanEscape)
        r.bScanEscape = false;
      else if (c == '\\')
        r.bScanEscape = true;
      else if (c == '"')
        r.bScanQuoted = false;
      continue;
    }
    if (c == ' ') {
      if (r.ScanDepth == 0) r.bScanInArg = false;
      continue;
    }
    if (r.ScanDepth == 0 && !r.bScanInArg) r.bScanInArg = true, ++r.ScanArgs;
    if (c == '"') r.bScanQuoted = true;
    if (c == '(') ++r.ScanDepth;
    if (c == ')' && r.ScanDepth > 0) --r.ScanDepth;
  }
}

// Whether the literal announced at `at` in Buffer is APPEND's message: a
// top-level argument after the mailbox name.
bool IsAppendMessage(ImapReader &r, size_t at) {
  if (!r.bAppend || r.bMessageTaken || at < r.ArgsStart) return false;
  ScanAppendArgs(r, at);
  if (r.bScanQuoted || r.ScanDepth != 0 || r.bScanInArg) return false;
  r.bScanInArg = true;
  return ++r.ScanArgs >= 2;
}

void FillCommand(ImapReader &r) {
  std::string_view all(r.Buffer);
  ImapCommandView &c = r.Command;
  c.Tag = all.substr(0, r.TagLength);
  c.Name = all.substr(r.NameStart, r.NameLength);
  c.bUid = r.bUid;
  c.bHasArgs = r.bHasArgs;
  c.Args = all.substr(std::min(r.ArgsStart, all.size()));
  c.MessageAt = r.MessageAt;
  c.MessageSize = r.MessageSize;
  c.bMessageBinary = r.bMessageBinary;
}

Outcome AnnounceMessage(ImapReader &r, ImapStep &step, const LiteralHeader &h) {
  std::string_view tag = std::string_view(r.Buffer).substr(0, r.TagLength);
  if (r.bLiteralMinus && !h.bSync && h.Size > kLiteralMinusMax) {
    SetReply(r, tag, "BAD", "[TOOBIG] Non-synchronizing literal over 4096 bytes");
    return RejectAtLiteral(r, step, h);
  }
  if (h.Size > r.AppendLimit) {
    SetReply(r, tag, "NO", "[TOOBIG] Message larger than the APPENDLIMIT");
    return RejectAtLiteral(r, step, h);
  }
  r.bMessageTaken = true;
  r.bMessageSync = h.bSync;
  r.bMessageBinary = h.bBinary;
  r.MessageSize = h.Size;
  r.MessageAt = r.Buffer.size() - std::min(r.ArgsStart, r.Buffer.size());
  r.State = kStateMessageDecision;
  FillCommand(r);
  step.Event = ImapEvent::kAppendMessage;
  return kEmit;
}

Outcome AcceptLiteral(ImapReader &r, ImapStep &step, const LiteralHeader &h) {
  std::string_view tag = std::string_view(r.Buffer).substr(0, r.TagLength);
  if (r.bLiteralMinus && !h.bSync && h.Size > kLiteralMinusMax) {
    SetReply(r, tag, "BAD", "[TOOBIG] Non-synchronizing literal over 4096 bytes");
    return RejectAtLiteral(r, step, h);
  }
  if (h.Size > kMaxCommandLiterals - r.LiteralBytes) {
    SetReply(r, tag, "BAD", "[TOOBIG] Literal too large");
    return RejectAtLiteral(r, step, h);
  }
  if (h.bBinary) r.Buffer.push_back('~');
  r.Buffer.push_back('{');
  char digits[24];
  auto done = std::to_chars(digits, digits + sizeof digits, h.Size);
  r.Buffer.append(digits, done.ptr);
  r.Buffer.append("}\r\n");
  r.LiteralBytes += h.Size;
  r.Remaining = h.Size;
  r.State = kStateLiteral;
  if (!h.bSync) return kGo;
  step.Event = ImapEvent::kContinue;
  return kEmit;
}

// A line of the command is complete in Buffer (from LineStart, LF included).
Outcome EndOfLine(ImapReader &r, ImapStep &step) {
  std::string_view line = std::string_view(r.Buffer).substr(r.LineStart);
  TrimLineEnd(line);
  LiteralHeader h = FindLiteralHeader(line, false);
  size_t bodyEnd = h.What == LiteralHeader::kValid ? h.Start : line.size();
  if (r.bFirstLine) {
    if (line.empty()) {  // an empty line between commands
      ResetCommand(r);
      return kGo;
    }
    bool named = SplitTagAndName(r, line.substr(0, bodyEnd));
    if (named && h.What == LiteralHeader::kValid && !r.bHasArgs) {
      SetReply(r, KnownTag(r), "BAD", "Missing SP before literal");
      named = false;
    }
    if (!named) {
      if (h.What == LiteralHeader::kValid) return RejectAtLiteral(r, step, h);
      r.bCloseAfterReply = h.What == LiteralHeader::kInvalid && !h.bSync;
      return EmitReject(r, step);
    }
    r.bFirstLine = false;
  }
  r.Buffer.resize(r.LineStart + bodyEnd);
  if (h.What == LiteralHeader::kNone) {
    FillCommand(r);
    step.Event = ImapEvent::kCommand;
    r.bResetFirst = true;
    return kEmit;
  }
  if (h.What == LiteralHeader::kInvalid) {
    // A size that is no number cannot be skipped: nothing after it frames.
    SetReply(r, KnownTag(r), "BAD", "Invalid literal size");
    r.bCloseAfterReply = !h.bSync;
    return EmitReject(r, step);
  }
  if (IsAppendMessage(r, r.Buffer.size())) return AnnounceMessage(r, step, h);
  return AcceptLiteral(r, step, h);
}

Outcome ReadLine(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (rest.empty()) return kStarve;
  size_t lf = rest.find('\n');
  size_t take = lf == std::string_view::npos ? rest.size() : lf + 1;
  if (take > kMaxCommandText - r.TextBytes) {
    size_t room = kMaxCommandText - r.TextBytes;
    r.Buffer.append(rest.substr(0, room));
    step.Used += room;
    r.TextBytes += room;
    SetReply(r, KnownTag(r), "BAD", kTooLong);
    return BeginSkip(r);
  }
  r.Buffer.append(rest.substr(0, take));
  step.Used += take;
  r.TextBytes += take;
  return lf == std::string_view::npos ? kGo : EndOfLine(r, step);
}

Outcome ReadLiteral(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (r.Remaining == 0) {
    r.State = kStateLine;
    r.LineStart = r.Buffer.size();
    r.ScanAt = r.Buffer.size();  // APPEND: the literal was one argument
    return kGo;
  }
  if (rest.empty()) return kStarve;
  size_t take = static_cast<size_t>(std::min<uint64_t>(rest.size(), r.Remaining));
  r.Buffer.append(rest.substr(0, take));
  step.Used += take;
  r.Remaining -= take;
  return kGo;
}

Outcome MessageDecision(ImapReader &r, ImapStep &step) {
  LiteralHeader h;
  h.bSync = r.bMessageSync;
  h.Size = r.MessageSize;
  if (r.bMessageRefused) return RejectAtLiteral(r, step, h);
  r.Remaining = r.MessageSize;
  r.State = kStateMessage;
  if (!h.bSync) return kGo;
  step.Event = ImapEvent::kContinue;
  return kEmit;
}

Outcome ReadMessage(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (r.Remaining == 0) {
    r.State = kStateLine;
    r.LineStart = r.Buffer.size();
    return kGo;
  }
  if (rest.empty()) return kStarve;
  size_t take = static_cast<size_t>(std::min<uint64_t>(rest.size(), r.Remaining));
  step.Data = rest.substr(0, take);
  step.Used += take;
  r.Remaining -= take;
  step.Event = ImapEvent::kMessageBytes;
  return kEmit;
}

Outcome SkipLine(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (rest.empty()) return kStarve;
  size_t lf = rest.find('\n');
  size_t take = lf == std::string_view::npos ? rest.size() : lf + 1;
  std::string_view piece = rest.substr(0, take);
  step.Used += take;
  r.SkipTail.append(piece.substr(piece.size() - std::min(piece.size(), kSkipTailBytes)));
  if (piece.size() > kSkipTailBytes) r.bSkipTailCut = true;
  if (r.SkipTail.size() > kSkipTailBytes) {
    r.SkipTail.erase(0, r.SkipTail.size() - kSkipTailBytes);
    r.bSkipTailCut = true;
  }
  if (lf == std::string_view::npos) return kGo;
  std::string_view line(r.SkipTail);
  TrimLineEnd(line);
  LiteralHeader h = FindLiteralHeader(line, r.bSkipTailCut);
  r.SkipTail.clear();
  r.bSkipTailCut = false;
  if (h.What == LiteralHeader::kValid && !h.bSync) {
    r.Remaining = h.Size;
    r.State = kStateSkipLiteral;
    return kGo;
  }
  if (h.What == LiteralHeader::kInvalid && !h.bSync) r.bCloseAfterReply = true;
  return EmitReject(r, step);
}

Outcome SkipLiteral(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (r.Remaining == 0) {
    r.State = kStateSkipLine;
    r.SkipTail.clear();
    r.bSkipTailCut = false;
    return kGo;
  }
  if (rest.empty()) return kStarve;
  size_t take = static_cast<size_t>(std::min<uint64_t>(rest.size(), r.Remaining));
  step.Used += take;
  r.Remaining -= take;
  return kGo;
}

Outcome ReadRawLine(ImapReader &r, std::string_view rest, ImapStep &step) {
  if (rest.empty()) return kStarve;
  size_t lf = rest.find('\n');
  size_t take = lf == std::string_view::npos ? rest.size() : lf + 1;
  // Room for the line and its CR LF; beyond that the line is cut.
  size_t room = kMaxRawLine + 2 - std::min(r.Buffer.size(), kMaxRawLine + 2);
  if (take > room) r.bRawLineCut = true;
  r.Buffer.append(rest.substr(0, std::min(take, room)));
  step.Used += take;
  if (lf == std::string_view::npos) return kGo;
  std::string_view line(r.Buffer);
  TrimLineEnd(line);
  if (line.size() > kMaxRawLine) line = line.substr(0, kMaxRawLine), r.bRawLineCut = true;
  r.RawLine = line;
  r.bResetFirst = true;
  step.Event = ImapEvent::kRawLine;
  return kEmit;
}

Outcome Advance(ImapReader &r, std::string_view rest, ImapStep &step) {
  switch (r.State) {
    case kStateLine: return ReadLine(r, rest, step);
    case kStateLiteral: return ReadLiteral(r, rest, step);
    case kStateMessageDecision: return MessageDecision(r, step);
    case kStateMessage: return ReadMessage(r, rest, step);
    case kStateSkipLine: return SkipLine(r, rest, step);
    case kStateSkipLiteral: return SkipLiteral(r, rest, step);
    case kStateRawLine: return ReadRawLine(r, rest, step);
  }
  return kStarve;
}

}  // namespace

ImapStep ImapRead(ImapReader &r, std::string_view input) {
  ImapStep step;
  if (r.bResetFirst) {
    // Past a size that cannot be framed, every byte is thrown away.
    bool lost = r.bCloseAfterReply;
    ResetCommand(r);
    r.bFramingLost = r.bFramingLost || lost;
  }
  if (r.bFramingLost) {
    step.Used = input.size();
    return step;
  }
  for (;;) {
    Outcome o = Advance(r, input.substr(step.Used), step);
    if (o == kEmit) return step;
    if (o == kStarve) {
      step.Event = ImapEvent::kNeedMore;
      return step;
    }
  }
}

void ImapRefuseMessage(ImapReader &r, std::string reply) {
  if (r.State != kStateMessageDecision) return;
  r.bMessageRefused = true;
  r.Reply = std::move(reply);
}

void ImapExpectRawLine(ImapReader &r) {
  ResetCommand(r);
  r.State = kStateRawLine;
}

bool ImapBetweenCommands(const ImapReader &r) {
  return r.bResetFirst || (r.State == kStateLine && r.bFirstLine && r.Buffer.empty());
}
