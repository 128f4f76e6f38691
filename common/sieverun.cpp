// sieverun: the interpreter of compiled Sieve programs (SieveRun). See
// sieve.h for what it promises; sievecheck.h for the program it reads.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "common/mimeaddr.h"
#include "common/mimeheader.h"
#include "common/mimeparse.h"
#include "common/mimetext.h"
#include "common/sieve.h"
#include "common/sievecheck.h"
#include "common/sievedate.h"
#include "common/sieveedit.h"
#include "common/sievematch.h"
#include "common/str.h"
#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

// Matching work allowed per millisecond of the processor-time limit: a
// unit is one step of a wildcard or one byte searched, some nanoseconds
// each, so a run that spends its work has used about its time even where
// the caller gives no clock.
constexpr uint64_t kWorkPerMilli = 200000;
// Commands and tests between two readings of the caller's clock.
constexpr uint32_t kClockEvery = 64;
// A variable's value (RFC 5229 asks for at least 4000 octets) and the
// variables of one script: far beyond what filters use, small in memory.
constexpr size_t kMaxVariableSize = 64 * 1024;
constexpr size_t kMaxVariables = 512;
// The decoded text of one body part a body test reads; the rest is not
// searched (a filter looks for words, not inside attachments of MiBs).
constexpr size_t kMaxBodyText = 1024 * 1024;
// IMAP flags kept in one list.
constexpr size_t kMaxFlags = 64;
// duplicate: how long an identifier is remembered without :seconds, and
// at most (RFC 7352 leaves both to the server).
constexpr uint64_t kDuplicateDefaultSeconds = 7 * 86400;
constexpr uint64_t kDuplicateMaxSeconds = 90 * 86400;
// vacation: the default interval (RFC 5230: 7 days) and the bounds of
// :days and :seconds.
constexpr uint64_t kVacationDefaultDays = 7;
constexpr uint64_t kVacationMaxDays = 365;

struct Frame {
  const SieveUnit *Unit = nullptr;
  std::map<std::string, std::string> Locals;   // lower-case names
  std::set<std::string> Globals;               // names this script declared global
  std::vector<std::string> Matches;            // ${0}...${9} of the last successful :matches
};

enum class Flow : uint8_t { Next, Stop, Return, Fail };

class Run {
 public:
  Run(const SieveMessage &message, const SieveEnvelope &envelope,
      const SieveContext &context, const SieveLimits &limits, SieveResult *result)
      : msg_(message), env_(envelope), ctx_(context), limits_(limits), result_(result) {
    header_.assign(message.Header);
    budget_ = uint64_t{limits.MaxCpuMillis} * kWorkPerMilli;
    if (ctx_.CpuMicros) cpuStart_ = ctx_.CpuMicros();
  }
  // Runs the programs in turn; stop ends them all, return only its script.
  bool Execute(const std::vector<const SieveProgram *> &programs);

 private:
  // -- flow --
  Flow Unit(uint32_t unit);
  Flow Commands(const std::vector<SieveNode> &commands, Frame &f);
  Flow Command(const SieveNode &node, Frame &f);
  bool Step(const SieveNode &node);
  bool Fail(const SieveNode &node, std::string text) {
    if (!bFailed_) {
      bFailed_ = true;
      result_->Error.Line = node.Line;
      result_->Error.Script = scriptName_;
      result_->Error.Text = std::move(text);
    }
    return false;
  }
  bool OutOfWork(const SieveNode &node) {
    return Fail(node, "the script ran past its processor time limit (" + std::to_string(limits_.MaxCpuMillis) + " ms)");
  }

  // -- variables --
  std::string Expand(const std::string &text, const Frame &f) const;
  std::vector<std::string> ExpandList(const SieveArg &arg, const Frame &f) const;
  std::string *Variable(const std::string &name, Frame &f, bool create);
  const std::string *FindVariable(std::string_view name, const Frame &f) const;
  bool Set(const SieveNode &node, Frame &f);

  // -- tests --
  bool Test(const SieveNode &node, Frame &f, bool *out);
  bool Match(const SieveNode &node, Frame &f, const std::vector<std::string> &values,
             const std::vector<std::string> &keys, bool *out);
  std::vector<std::string> FieldValues(std::string_view name, const SieveNode &node) const;
  std::vector<std::string> Addresses(const SieveNode &node, const Frame &f) const;
  std::vector<std::string> EnvelopeParts(const SieveNode &node, const Frame &f) const;
  bool BodyTexts(const SieveNode &node, const Frame &f, std::vector<std::string> *texts);
  bool DateValues(const SieveNode &node, const Frame &f, std::vector<std::string> *values);
  bool Duplicate(const SieveNode &node, const Frame &f, bool *out);

  // -- actions --
  bool Add(const SieveNode &node, SieveAction action);
  bool FileInto(const SieveNode &node, Frame &f);
  bool Redirect(const SieveNode &node, Frame &f);
  bool Vacation(const SieveNode &node, Frame &f);
  bool Flags(const SieveNode &node, Frame &f);
  bool EditHeader(const SieveNode &node, Frame &f);
  std::vector<std::string> ActionFlags(const SieveNode &node, const Frame &f) const;
  bool Addressed(const std::vector<std::string> &own) const;

  const SieveProgram *program_ = nullptr;       // the one running
  const SieveMessage &msg_;
  const SieveEnvelope &env_;
  const SieveContext &ctx_;
  const SieveLimits &limits_;
  SieveResult *result_;

  std::string header_;                          // the header as edited so far
  std::map<std::string, std::string> globals_;
  std::string flags_;                           // imap4flags' internal variable
  std::set<std::pair<const SieveProgram *, uint32_t>> onceDone_;
  std::string scriptName_;                      // the unit running, for errors
  uint32_t depth_ = 0;                          // includes running inside one another
  bool bCancelKeep_ = false;
  bool bFailed_ = false;
  uint64_t budget_ = 0;
  uint64_t cpuStart_ = 0;
  uint32_t steps_ = 0;
  uint32_t redirects_ = 0;
  std::string fullText_;                        // header and body, made for the first body test
  MimeTree tree_;
  std::map<size_t, std::string> partTexts_;     // decoded body parts, by part index
};

// -- flow --

bool Run::Step(const SieveNode &node) {
  if (budget_ == 0) return OutOfWork(node);
  --budget_;
  if (++steps_ % kClockEvery == 0 && ctx_.CpuMicros &&
      ctx_.CpuMicros() - cpuStart_ > uint64_t{limits_.MaxCpuMillis} * 1000) {
    return OutOfWork(node);
  }
  return true;
}

bool Run::Execute(const std::vector<const SieveProgram *> &programs) {
  for (const SieveProgram *program : programs) {
    program_ = program;
    Flow flow = Unit(0);
    if (flow == Flow::Fail || bFailed_) return false;
    if (flow == Flow::Stop) break;
  }
  bool kept = false;
  for (const SieveAction &a : result_->Actions) kept |= a.Kind == SieveActionKind::Keep;
  if (!bCancelKeep_ && !kept) {
    SieveAction keep;
    keep.Kind = SieveActionKind::Keep;
    keep.bImplicit = true;
    keep.Flags = ActionFlags(SieveNode(), Frame());
    result_->Actions.push_back(std::move(keep));
  }
  if (result_->bHeaderEdited) result_->Header = header_;
  return true;
}

Flow Run::Unit(uint32_t unit) {
  Frame f;
  f.Unit = &program_->Units[unit];
  std::string saved = scriptName_;
  scriptName_ = f.Unit->Name;
  Flow flow = Commands(f.Unit->Commands, f);
  scriptName_ = saved;
  return flow;
}

Flow Run::Commands(const std::vector<SieveNode> &commands, Frame &f) {
  bool chainTaken = false;   // an if or elsif of the current chain ran its block
  for (const SieveNode &node : commands) {
    if (!Step(node)) return Flow::Fail;
    if (node.Id == kCmdIf || node.Id == kCmdElsif || node.Id == kCmdElse) {
      if (node.Id == kCmdIf) chainTaken = false;
      if (chainTaken) continue;
      bool yes = true;
      if (node.Id != kCmdElse && !Test(node.Tests[0], f, &yes)) return Flow::Fail;
      if (!yes) continue;
      chainTaken = true;
      Flow flow = Commands(node.Block, f);
      if (flow != Flow::Next) return flow;
      continue;
    }
    Flow flow = Command(node, f);
    if (flow != Flow::Next) return flow;
  }
  return Flow::Next;
}

Flow Run::Command(const SieveNode &node, Frame &f) {
  auto ok = [](bool b) { return b ? Flow::Next : Flow::Fail; };
  switch (node.Id) {
    case kCmdRequire: return Flow::Next;
    case kCmdStop: return Flow::Stop;
    case kCmdReturn: return Flow::Return;
    case kCmdKeep: {
      SieveAction a;
      a.Kind = SieveActionKind::Keep;
      a.Flags = ActionFlags(node, f);
      return ok(Add(node, std::move(a)));
    }
    case kCmdDiscard: {
      bCancelKeep_ = true;
      SieveAction a;
      a.Kind = SieveActionKind::Discard;
      return ok(Add(node, std::move(a)));
    }
    case kCmdFileinto: return ok(FileInto(node, f));
    case kCmdRedirect: return ok(Redirect(node, f));
    case kCmdReject:
    case kCmdEreject: {
      SieveAction a;
      a.Kind = node.Id == kCmdReject ? SieveActionKind::Reject : SieveActionKind::Ereject;
      a.Text = Expand(SievePos(node, 0).Strings[0], f);
      bCancelKeep_ = true;
      return ok(Add(node, std::move(a)));
    }
    case kCmdSet: return ok(Set(node, f));
    case kCmdVacation: return ok(Vacation(node, f));
    case kCmdSetflag: case kCmdAddflag: case kCmdRemoveflag: return ok(Flags(node, f));
    case kCmdAddheader: case kCmdDeleteheader: return ok(EditHeader(node, f));
    case kCmdGlobal:
      for (const std::string &name : SievePos(node, 0).Strings) f.Globals.insert(LowerAsciiCopy(name));
      return Flow::Next;
    case kCmdInclude: {
      if (node.IncludeUnit == UINT32_MAX) {
        if (SieveHasTag(node, ":optional")) return Flow::Next;
        Fail(node, "included script \"" + SievePos(node, 0).Strings[0] + "\" is not loaded");
        return Flow::Fail;
      }
      if (SieveHasTag(node, ":once") && !onceDone_.insert({program_, node.IncludeUnit}).second) return Flow::Next;
      if (depth_ >= kSieveMaxIncludeDepth) {
        Fail(node, "includes nested too deep");
        return Flow::Fail;
      }
      ++depth_;
      Flow flow = Unit(node.IncludeUnit);
      --depth_;
      return flow == Flow::Return ? Flow::Next : flow;
    }
    default: break;
  }
  Fail(node, "\"" + node.Name + "\" cannot run here");
  return Flow::Fail;
}

// -- variables --

const std::string *Run::FindVariable(std::string_view name, const Frame &f) const {
  std::string key = LowerAsciiCopy(name);
  if (key.rfind("global.", 0) == 0) {
    auto it = globals_.find(key.substr(7));
    return it == globals_.end() ? nullptr : &it->second;
  }
  if (f.Globals.count(key) != 0) {
    auto it = globals_.find(key);
    return it == globals_.end() ? nullptr : &it->second;
  }
  auto it = f.Locals.find(key);
  return it == f.Locals.end() ? nullptr : &it->second;
}

std::string *Run::Variable(const std::string &name, Frame &f, bool create) {
  std::string key = LowerAsciiCopy(name);
  std::map<std::string, std::string> *scope = &f.Locals;
  if (key.rfind("global.", 0) == 0) {
    key = key.substr(7);
    scope = &globals_;
  } else if (f.Globals.count(key) != 0) {
    scope = &globals_;
  }
  auto it = scope->find(key);
  if (it != scope->end()) return &it->second;
  if (!create || scope->size() >= kMaxVariables) return nullptr;
  return &(*scope)[key];
}

// "${name}" and "${N}" replaced by their values (unknown ones by ""); a
// "${" that starts no valid reference stays as written.
std::string Run::Expand(const std::string &text, const Frame &f) const {
  if ((f.Unit == nullptr || !(f.Unit->Extensions & kExtVariables)) || text.find("${") == std::string::npos) {
    return text;
  }
  std::string out;
  size_t pos = 0;
  while (pos < text.size() && out.size() < kMaxVariableSize) {
    size_t open = text.find("${", pos);
    if (open == std::string::npos) {
      out.append(text, pos, std::string::npos);
      break;
    }
    out.append(text, pos, open - pos);
    size_t close = text.find('}', open + 2);
    std::string_view name = close == std::string::npos ? std::string_view() :
                            std::string_view(text).substr(open + 2, close - open - 2);
    bool numeric = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (numeric) {
      // A number past the match variables kept reads as "".
      size_t n = name.size() <= 3 ? static_cast<size_t>(std::stoul(std::string(name))) : SIZE_MAX;
      if (n < f.Matches.size()) out.append(f.Matches[n]);
    } else if (SieveIsVariableName(name)) {
      if (const std::string *v = FindVariable(name, f)) out.append(*v);
    } else {
      out.append("${");
      pos = open + 2;
      continue;
    }
    pos = close + 1;
  }
  CutText(out, kMaxVariableSize);
  return out;
}

std::vector<std::string> Run::ExpandList(const SieveArg &arg, const Frame &f) const {
  std::vector<std::string> out;
  out.reserve(arg.Strings.size());
  for (const std::string &s : arg.Strings) out.push_back(Expand(s, f));
  return out;
}

// The characters of UTF-8 text (the :length modifier).
size_t CharacterCount(std::string_view text) {
  size_t n = 0;
  for (size_t pos = 0; pos < text.size(); ++n) NextUtf8(text, &pos);
  return n;
}

bool Run::Set(const SieveNode &node, Frame &f) {
  std::string value = Expand(SievePos(node, 1).Strings[0], f);
  // The modifiers apply from the highest precedence down (RFC 5229 4.1).
  if (SieveHasTag(node, ":lower")) LowerAsciiInPlace(value);
  if (SieveHasTag(node, ":upper")) UpperAsciiInPlace(value);
  if (!value.empty() && SieveHasTag(node, ":lowerfirst")) value[0] = LowerAscii(value[0]);
  if (!value.empty() && SieveHasTag(node, ":upperfirst")) value[0] = UpperAscii(value[0]);
  if (SieveHasTag(node, ":quotewildcard")) value = SieveQuoteWildcard(value);
  if (SieveHasTag(node, ":length")) value = std::to_string(CharacterCount(value));
  CutText(value, kMaxVariableSize);
  std::string *slot = Variable(SievePos(node, 0).Strings[0], f, true);
  if (slot == nullptr) return Fail(node, "too many variables");
  *slot = std::move(value);
  return true;
}

// -- tests --

bool Run::Match(const SieveNode &node, Frame &f, const std::vector<std::string> &values,
                const std::vector<std::string> &keys, bool *out) {
  SieveMatchSpec spec = node.Match;
  if (node.bRelationVaries) {
    const SieveArg *rel = SieveTagArg(node, spec.Type == SieveMatchType::Count ? ":count" : ":value");
    if (!SieveRelationByName(Expand(rel->Strings[0], f), &spec.Relation)) return Fail(node, "unknown relation");
  }
  *out = false;
  if (spec.Type == SieveMatchType::Count) {
    for (const std::string &key : keys) {
      if (SieveMatchCount(spec, values.size(), key)) return *out = true;
    }
    return true;
  }
  std::vector<std::string> captures;
  bool matches = spec.Type == SieveMatchType::Matches;
  for (const std::string &value : values) {
    for (const std::string &key : keys) {
      if (SieveMatchValue(spec, value, key, matches ? &captures : nullptr, &budget_)) {
        if (matches) f.Matches = std::move(captures);
        return *out = true;
      }
      if (budget_ == 0) return OutOfWork(node);
    }
  }
  return true;
}

std::vector<std::string> Run::FieldValues(std::string_view name, const SieveNode &node) const {
  std::vector<std::string> values;
  SieveHeaderValues(header_, name, [&](std::string_view v) { values.emplace_back(v); });
  const SieveArg *index = SieveTagArg(node, ":index");
  if (index == nullptr) return values;
  if (index->Number > values.size()) return {};
  size_t i = SieveHasTag(node, ":last") ? values.size() - index->Number : index->Number - 1;
  return {values[i]};
}

std::vector<std::string> Run::Addresses(const SieveNode &node, const Frame &f) const {
  std::vector<std::string> out;
  for (const std::string &name : ExpandList(SievePos(node, 0), f)) {
    // The raw values: addresses are read before encoded words are decoded.
    std::vector<std::string> raw;
    MimeHeaderReader reader(header_);
    MimeHeaderField field;
    while (reader.Next(&field)) {
      if (EqualsNoCase(field.Name, name)) raw.push_back(MimeUnfold(field.Value, kMaxFieldValue));
    }
    const SieveArg *index = SieveTagArg(node, ":index");
    if (index != nullptr) {
      if (index->Number > raw.size()) continue;
      size_t i = SieveHasTag(node, ":last") ? raw.size() - index->Number : index->Number - 1;
      raw = {raw[i]};
    }
    for (const std::string &value : raw) {
      for (const MimeAddress &a : MimeParseAddressList(value)) {
        if (a.What != MimeAddress::Kind::Mailbox) continue;
        std::string address = a.Host.empty() ? a.Mailbox : a.Mailbox + "@" + a.Host;
        std::string part;
        if (SieveAddressPartOf(address, node.Part, ctx_.RecipientDelimiter, &part)) out.push_back(std::move(part));
      }
    }
  }
  return out;
}

std::vector<std::string> Run::EnvelopeParts(const SieveNode &node, const Frame &f) const {
  std::vector<std::string> out;
  for (const std::string &name : ExpandList(SievePos(node, 0), f)) {
    const std::string *address = EqualsNoCase(name, "from") ? &env_.From : EqualsNoCase(name, "to") ? &env_.To : nullptr;
    if (address == nullptr) continue;
    std::string part;
    if (SieveAddressPartOf(*address, node.Part, ctx_.RecipientDelimiter, &part)) out.push_back(std::move(part));
  }
  return out;
}

bool ContentTypeMatches(const MimePart &part, const std::vector<std::string> &types) {
  for (const std::string &t : types) {
    size_t slash = t.find('/');
    if (t.empty()) return true;
    if (slash == std::string::npos ? EqualsNoCase(part.Type, t) : part.IsType(LowerAsciiCopy(t.substr(0, slash)),
                                                                               LowerAsciiCopy(t.substr(slash + 1)))) {
      return true;
    }
  }
  return false;
}

// A leaf part's content as body tests read it: the transfer encoding
// undone, text converted to UTF-8, at most kMaxBodyText bytes.
std::string PartText(const MimePart &part, std::string_view content) {
  std::string decoded;
  MimeDecodeTransfer(MimeEncodingOf(part.Encoding), content, &decoded);
  if (part.Type != "text") {
    CutText(decoded, kMaxBodyText);
    return decoded;
  }
  std::string charset = MimeParamText(part.Params, "charset");
  std::string utf8;
  if (!ConvertToUtf8(charset.empty() ? "us-ascii" : charset, decoded, kMaxBodyText, &utf8)) {
    utf8.clear();
    AppendValidUtf8(decoded, kMaxBodyText, &utf8);
  }
  return utf8;
}

bool Run::BodyTexts(const SieveNode &node, const Frame &f, std::vector<std::string> *texts) {
  if (SieveHasTag(node, ":raw")) {
    texts->emplace_back(msg_.Body.substr(0, kMaxBodyText));
    return true;
  }
  if (fullText_.empty()) {
    fullText_.reserve(msg_.Header.size() + 2 + msg_.Body.size());
    fullText_.append(msg_.Header).append("\r\n").append(msg_.Body);
    MimeParseMessage(fullText_, &tree_);
  }
  const SieveArg *content = SieveTagArg(node, ":content");
  std::vector<std::string> types = content != nullptr ? ExpandList(*content, f) : std::vector<std::string>{"text"};
  for (size_t i = 0; i < tree_.Parts.size(); ++i) {
    const MimePart &part = tree_.Parts[i];
    if (part.Kind != MimeKind::Leaf || !ContentTypeMatches(part, types)) continue;
    auto cached = partTexts_.find(i);
    if (cached == partTexts_.end()) {
      // Decoding costs about a unit of work per byte; each part is decoded once a run.
      size_t size = std::min(part.BodySize(), 4 * kMaxBodyText);
      if (budget_ < size + 1) return OutOfWork(node);
      budget_ -= size + 1;
      cached = partTexts_.emplace(i, PartText(part, std::string_view(fullText_).substr(part.BodyStart, size))).first;
    }
    texts->push_back(cached->second);
  }
  return true;
}

bool Run::DateValues(const SieveNode &node, const Frame &f, std::vector<std::string> *values) {
  bool current = node.Id == kTestCurrentdate;
  std::string part = Expand(SievePos(node, current ? 0 : 1).Strings[0], f);
  if (!SieveIsDatePart(part)) return Fail(node, "unknown date part \"" + part + "\"");
  int zone = ctx_.LocalZoneMinutes;
  bool original = SieveHasTag(node, ":originalzone");
  if (const SieveArg *z = SieveTagArg(node, ":zone")) {
    if (!SieveParseZone(Expand(z->Strings[0], f), &zone)) return Fail(node, "bad zone \"" + z->Strings[0] + "\"");
  }
  std::vector<SieveDateTime> dates;
  if (current) {
    dates.push_back({ctx_.Now, zone});
  } else {
    std::string name = Expand(SievePos(node, 0).Strings[0], f);
    for (std::string &v : FieldValues(name, node)) {
      // A Received field's date follows its last ";".
      size_t semi = EqualsNoCase(name, "received") ? v.rfind(';') : std::string::npos;
      SieveDateTime when;
      if (!SieveParseDate(semi == std::string::npos ? v : v.substr(semi + 1), &when)) continue;
      if (!original) when.ZoneMinutes = zone;
      dates.push_back(when);
    }
  }
  for (const SieveDateTime &d : dates) {
    std::string text;
    if (SieveDatePart(d, part, &text)) values->push_back(std::move(text));
  }
  return true;
}

bool Run::Duplicate(const SieveNode &node, const Frame &f, bool *out) {
  *out = false;
  std::string id;
  if (const SieveArg *u = SieveTagArg(node, ":uniqueid")) {
    id = Expand(u->Strings[0], f);
  } else {
    const SieveArg *h = SieveTagArg(node, ":header");
    MimeHeaderField field;
    if (!MimeFindField(header_, h != nullptr ? Expand(h->Strings[0], f) : "Message-ID", &field)) return true;
    id = MimeUnfold(field.Value, kMaxFieldValue);
  }
  if (id.empty()) return true;
  const SieveArg *handle = SieveTagArg(node, ":handle");
  std::string key = (handle != nullptr ? Expand(handle->Strings[0], f) : std::string()) + "\n" + id;
  *out = ctx_.DuplicateSeen && ctx_.DuplicateSeen(key);
  bool last = SieveHasTag(node, ":last");
  const SieveArg *seconds = SieveTagArg(node, ":seconds");
  uint64_t secs = seconds != nullptr ? std::min(seconds->Number, kDuplicateMaxSeconds) : kDuplicateDefaultSeconds;
  if (*out && !last) return true;
  for (const SieveDuplicateMark &m : result_->Duplicates) {
    if (m.Key == key) return true;
  }
  result_->Duplicates.push_back({key, secs, last});
  return true;
}

// Normalized flags: split at white space, valid ones only (system flags
// IMAP knows, keywords of atom characters), each once in any case.
std::vector<std::string> SplitFlags(const std::vector<std::string> &lists) {
  static constexpr std::string_view kSystem[] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};
  std::vector<std::string> out;
  for (const std::string &list : lists) {
    size_t pos = 0;
    while (pos < list.size() && out.size() < kMaxFlags) {
      size_t end = list.find_first_of(" \t\r\n", pos);
      if (end == std::string::npos) end = list.size();
      std::string flag = list.substr(pos, end - pos);
      pos = end + 1;
      if (flag.empty()) continue;
      bool valid;
      if (flag[0] == '\\') {
        valid = false;
        for (std::string_view s : kSystem) {
          if (EqualsNoCase(flag, s)) {
            flag = s;
            valid = true;
          }
        }
      } else {
        valid = std::none_of(flag.begin(), flag.end(), [](char c) {
          return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 127 ||
                 std::string_view("(){%*\"\\]").find(c) != std::string_view::npos;
        });
      }
      bool dup = std::any_of(out.begin(), out.end(), [&](const std::string &o) { return EqualsNoCase(o, flag); });
      if (valid && !dup) out.push_back(std::move(flag));
    }
  }
  return out;
}

std::string JoinFlags(const std::vector<std::string> &flags) {
  std::string out;
  for (const std::string &flag : flags) {
    if (!out.empty()) out.push_back(' ');
    out.append(flag);
  }
  return out;
}

bool Run::Test(const SieveNode &node, Frame &f, bool *out) {
  if (!Step(node)) return false;
  std::vector<std::string> values;
  auto keys = [&](size_t i) { return ExpandList(SievePos(node, i), f); };
  switch (node.Id) {
    case kTestTrue: *out = true; return true;
    case kTestFalse: *out = false; return true;
    case kTestNot:
      if (!Test(node.Tests[0], f, out)) return false;
      *out = !*out;
      return true;
    case kTestAllof:
    case kTestAnyof: {
      bool any = node.Id == kTestAnyof;
      for (const SieveNode &t : node.Tests) {
        if (!Test(t, f, out)) return false;
        if (*out == any) return true;   // decided: later tests do not run
      }
      *out = !any;
      return true;
    }
    case kTestExists:
      *out = true;
      for (const std::string &name : keys(0)) {
        MimeHeaderField field;
        if (!MimeFindField(header_, name, &field)) *out = false;
      }
      return true;
    case kTestSize: {
      uint64_t size = msg_.Size != 0 ? msg_.Size : msg_.Header.size() + 2 + msg_.Body.size();
      uint64_t limit = SievePos(node, 0).Number;
      *out = SieveHasTag(node, ":over") ? size > limit : size < limit;
      return true;
    }
    case kTestHeader:
      for (const std::string &name : keys(0)) {
        for (std::string &v : FieldValues(name, node)) values.push_back(std::move(v));
      }
      return Match(node, f, values, keys(1), out);
    case kTestAddress: return Match(node, f, Addresses(node, f), keys(1), out);
    case kTestEnvelope: return Match(node, f, EnvelopeParts(node, f), keys(1), out);
    case kTestString:
      for (std::string &s : keys(0)) {
        // :count counts the strings that are not empty (RFC 5229 5).
        if (!s.empty() || node.Match.Type != SieveMatchType::Count) values.push_back(std::move(s));
      }
      return Match(node, f, values, keys(1), out);
    case kTestHasflag: {
      std::vector<std::string> lists;
      if (node.Positional.size() == 2) {
        for (const std::string &name : keys(0)) {
          if (const std::string *v = FindVariable(name, f)) lists.push_back(*v);
        }
      } else {
        lists.push_back(flags_);
      }
      return Match(node, f, SplitFlags(lists), keys(node.Positional.size() - 1), out);
    }
    case kTestBody: return BodyTexts(node, f, &values) && Match(node, f, values, keys(0), out);
    case kTestDate:
      return DateValues(node, f, &values) && Match(node, f, values, keys(2), out);
    case kTestCurrentdate:
      return DateValues(node, f, &values) && Match(node, f, values, keys(1), out);
    case kTestDuplicate: return Duplicate(node, f, out);
    case kTestMailboxexists:
    case kTestMailboxidexists:
      *out = true;
      for (const std::string &name : keys(0)) {
        const auto &exists = node.Id == kTestMailboxexists ? ctx_.MailboxExists : ctx_.MailboxIdExists;
        if (!exists || !exists(name)) *out = false;
      }
      return true;
    default: break;
  }
  return Fail(node, "\"" + node.Name + "\" is not a test");
}

// -- actions --

bool Run::Add(const SieveNode &node, SieveAction action) {
  using K = SieveActionKind;
  std::vector<SieveAction> &list = result_->Actions;
  bool delivers = action.Kind == K::Keep || action.Kind == K::FileInto || action.Kind == K::Redirect ||
                  action.Kind == K::Vacation;
  for (SieveAction &a : list) {
    bool rejects = a.Kind == K::Reject || a.Kind == K::Ereject;
    if (rejects && (delivers || action.Kind == K::Reject || action.Kind == K::Ereject)) {
      return Fail(node, node.Name + " cannot be used after reject");
    }
    if ((action.Kind == K::Reject || action.Kind == K::Ereject) && (a.Kind != K::Discard)) {
      return Fail(node, node.Name + " cannot be used with keep, fileinto, redirect or vacation");
    }
    if (a.Kind != action.Kind) continue;
    // The same action twice is done once (RFC 5228 4.2 and 2.10.3).
    if (action.Kind == K::Keep || action.Kind == K::Discard) {
      if (action.Kind == K::Keep) a.Flags = action.Flags;
      return true;
    }
    if (action.Kind == K::FileInto && a.Mailbox == action.Mailbox) {
      a.Flags = action.Flags;
      a.bCopy = a.bCopy && action.bCopy;
      return true;
    }
    if (action.Kind == K::Redirect && EqualsNoCase(a.Address, action.Address)) return true;
    if (action.Kind == K::Vacation) return Fail(node, "vacation used twice");
  }
  if (action.Kind == K::Redirect && ++redirects_ > limits_.MaxRedirects) {
    return Fail(node, "more than " + std::to_string(limits_.MaxRedirects) + " redirects");
  }
  if (list.size() >= limits_.MaxActions) {
    return Fail(node, "more than " + std::to_string(limits_.MaxActions) + " actions");
  }
  list.push_back(std::move(action));
  return true;
}

std::vector<std::string> Run::ActionFlags(const SieveNode &node, const Frame &f) const {
  if (const SieveArg *flags = node.Args.empty() ? nullptr : SieveTagArg(node, ":flags")) {
    return SplitFlags(ExpandList(*flags, f));
  }
  return SplitFlags({flags_});
}

bool Run::FileInto(const SieveNode &node, Frame &f) {
  SieveAction a;
  a.Kind = SieveActionKind::FileInto;
  a.Mailbox = Expand(SievePos(node, 0).Strings[0], f);
  if (a.Mailbox.empty()) return Fail(node, "fileinto needs a mailbox name");
  if (const SieveArg *id = SieveTagArg(node, ":mailboxid")) a.MailboxId = Expand(id->Strings[0], f);
  a.bCreate = SieveHasTag(node, ":create");
  a.bCopy = SieveHasTag(node, ":copy");
  a.Flags = ActionFlags(node, f);
  if (!a.bCopy) bCancelKeep_ = true;
  // Filing into INBOX is keeping (RFC 5228 4.1): one copy, not two.
  if (EqualsNoCase(a.Mailbox, "INBOX") && a.MailboxId.empty()) {
    a.Kind = SieveActionKind::Keep;
    a.Mailbox.clear();
    a.bCopy = a.bCreate = false;
  }
  return Add(node, std::move(a));
}

// A redirect address: local@domain with neither spaces nor controls nor
// brackets, within SMTP's length of a path.
bool IsForwardAddress(std::string_view address) {
  constexpr size_t kMaxPath = 254;
  size_t at = address.rfind('@');
  if (address.size() > kMaxPath || at == std::string_view::npos || at == 0 || at + 1 == address.size()) return false;
  return std::none_of(address.begin(), address.end(), [](char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '<' || c == '>' || c == ',' || c == ';';
  });
}

bool Run::Redirect(const SieveNode &node, Frame &f) {
  SieveAction a;
  a.Kind = SieveActionKind::Redirect;
  a.Address = Expand(SievePos(node, 0).Strings[0], f);
  if (a.Address.size() > 2 && a.Address.front() == '<' && a.Address.back() == '>') {
    a.Address = a.Address.substr(1, a.Address.size() - 2);
  }
  if (!IsForwardAddress(a.Address)) return Fail(node, "redirect to a bad address \"" + BoundedCopy(a.Address, 80) + "\"");
  a.bCopy = SieveHasTag(node, ":copy");
  if (!a.bCopy) bCancelKeep_ = true;
  return Add(node, std::move(a));
}

std::string AddressOnly(std::string_view address, std::string_view delimiter) {
  std::string local, domain, user;
  SieveAddressPartOf(address, SieveAddressPart::User, delimiter, &user);
  SieveAddressPartOf(address, SieveAddressPart::Domain, delimiter, &domain);
  return LowerAsciiCopy(domain.empty() ? user : user + "@" + domain);
}

// Was the message sent to one of the user's addresses (To, Cc, Bcc and
// their Resent- forms), so that a vacation reply is owed?
bool Run::Addressed(const std::vector<std::string> &own) const {
  static constexpr std::string_view kFields[] = {"to", "cc", "bcc", "resent-to", "resent-cc", "resent-bcc"};
  MimeHeaderReader reader(header_);
  MimeHeaderField field;
  while (reader.Next(&field)) {
    if (std::none_of(std::begin(kFields), std::end(kFields), [&](std::string_view n) { return EqualsNoCase(field.Name, n); })) {
      continue;
    }
    for (const MimeAddress &a : MimeParseAddressList(MimeUnfold(field.Value, kMaxFieldValue))) {
      if (a.What != MimeAddress::Kind::Mailbox) continue;
      std::string found = AddressOnly(a.Mailbox + "@" + a.Host, ctx_.RecipientDelimiter);
      for (const std::string &mine : own) {
        if (found == AddressOnly(mine, ctx_.RecipientDelimiter)) return true;
      }
    }
  }
  return false;
}

// A handle made from what makes one vacation differ from another (RFC 5230
// 4.2), so editing the reason starts the interval anew.
std::string VacationHandle(const SieveVacation &v) {
  uint64_t hash = 14695981039346656037ull;   // FNV-1a
  for (const std::string *s : {&v.Reason, &v.Subject, &v.From}) {
    for (unsigned char c : *s) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0xff) * 1099511628211ull;
  }
  hash = (hash ^ (v.bMime ? 1 : 0)) * 1099511628211ull;
  char buf[24];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(hash));
  return buf;
}

bool Run::Vacation(const SieveNode &node, Frame &f) {
  SieveAction a;
  a.Kind = SieveActionKind::Vacation;
  SieveVacation &v = a.Vacation;
  v.Reason = Expand(SievePos(node, 0).Strings[0], f);
  if (const SieveArg *s = SieveTagArg(node, ":subject")) v.Subject = Expand(s->Strings[0], f);
  if (const SieveArg *s = SieveTagArg(node, ":from")) v.From = Expand(s->Strings[0], f);
  if (const SieveArg *s = SieveTagArg(node, ":addresses")) v.Addresses = ExpandList(*s, f);
  v.bMime = SieveHasTag(node, ":mime");
  if (const SieveArg *days = SieveTagArg(node, ":days")) {
    v.Seconds = std::clamp<uint64_t>(days->Number, 1, kVacationMaxDays) * 86400;
  } else if (const SieveArg *secs = SieveTagArg(node, ":seconds")) {
    v.Seconds = std::min<uint64_t>(secs->Number, kVacationMaxDays * 86400);
  } else {
    v.Seconds = kVacationDefaultDays * 86400;
  }
  if (!v.From.empty() && !IsForwardAddress(v.From) && v.From.find('<') == std::string::npos) {
    return Fail(node, "vacation :from is not an address");
  }
  if (const SieveArg *h = SieveTagArg(node, ":handle")) v.Handle = Expand(h->Strings[0], f);
  else v.Handle = VacationHandle(v);
  if (v.Subject.empty()) {
    MimeHeaderField subject;
    std::string original;
    if (MimeFindField(header_, "Subject", &subject)) {
      original = MimeDecodeWords(MimeUnfold(subject.Value, kMaxFieldValue), kMaxFieldValue);
    }
    v.Subject = "Auto: " + original;
  }
  std::vector<std::string> own = ctx_.UserAddresses;
  own.insert(own.end(), v.Addresses.begin(), v.Addresses.end());
  // No reply to mail not sent to the user, nor to the user's own mail.
  if (!own.empty() && !Addressed(own)) return true;
  for (const std::string &mine : own) {
    if (!env_.From.empty() && AddressOnly(env_.From, ctx_.RecipientDelimiter) == AddressOnly(mine, ctx_.RecipientDelimiter)) {
      return true;
    }
  }
  return Add(node, std::move(a));
}

bool Run::Flags(const SieveNode &node, Frame &f) {
  std::string *target = &flags_;
  if (node.Positional.size() == 2) {
    target = Variable(Expand(SievePos(node, 0).Strings[0], f), f, true);
    if (target == nullptr) return Fail(node, "too many variables");
  }
  std::vector<std::string> given = SplitFlags(ExpandList(SievePos(node, node.Positional.size() - 1), f));
  std::vector<std::string> now = SplitFlags({*target});
  if (node.Id == kCmdSetflag) {
    now = given;
  } else if (node.Id == kCmdAddflag) {
    now.insert(now.end(), given.begin(), given.end());
    now = SplitFlags({JoinFlags(now)});
  } else {
    std::erase_if(now, [&](const std::string &flag) {
      return std::any_of(given.begin(), given.end(), [&](const std::string &g) { return EqualsNoCase(g, flag); });
    });
  }
  *target = JoinFlags(now);
  return true;
}

bool Run::EditHeader(const SieveNode &node, Frame &f) {
  std::string name = Expand(SievePos(node, 0).Strings[0], f);
  if (!SieveIsFieldName(name)) return Fail(node, "\"" + BoundedCopy(name, 80) + "\" is not a field name");
  if (node.Id == kCmdAddheader) {
    if (header_.size() > msg_.Header.size() + kMaxVariableSize * 4) return Fail(node, "header grown too large");
    result_->bHeaderEdited |= SieveAddHeader(&header_, name, Expand(SievePos(node, 1).Strings[0], f),
                                             SieveHasTag(node, ":last"));
    return true;
  }
  const SieveArg *index = SieveTagArg(node, ":index");
  std::vector<std::string> patterns;
  if (node.Positional.size() == 2) patterns = ExpandList(SievePos(node, 1), f);
  bool failed = false;
  size_t deleted = SieveDeleteHeader(&header_, name, index != nullptr ? static_cast<uint32_t>(std::min<uint64_t>(index->Number, UINT32_MAX)) : 0,
                                     SieveHasTag(node, ":last"), [&](std::string_view value) {
                                       if (patterns.empty()) return true;
                                       bool yes = false;
                                       failed |= !Match(node, f, {std::string(value)}, patterns, &yes);
                                       return yes;
                                     });
  if (failed) return false;
  result_->bHeaderEdited |= deleted > 0;
  return true;
}

}  // namespace

bool SieveRunScripts(const std::vector<const SieveScript *> &scripts, const SieveMessage &message,
                     const SieveEnvelope &envelope, const SieveContext &context, const SieveLimits &limits,
                     SieveResult *result) {
  *result = SieveResult();
  std::vector<const SieveProgram *> programs;
  for (const SieveScript *script : scripts) {
    if (script == nullptr || !script->Program || script->Program->Units.empty()) {
      result->Error.Text = "no script";
      return false;
    }
    programs.push_back(script->Program.get());
  }
  Run run(message, envelope, context, limits, result);
  if (run.Execute(programs)) return true;
  result->Actions.clear();
  result->Duplicates.clear();
  result->bHeaderEdited = false;
  result->Header.clear();
  return false;
}

bool SieveRun(const SieveScript &script, const SieveMessage &message, const SieveEnvelope &envelope,
              const SieveContext &context, const SieveLimits &limits, SieveResult *result) {
  return SieveRunScripts({&script}, message, envelope, context, limits, result);
}
