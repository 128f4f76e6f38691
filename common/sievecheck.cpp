// sievecheck: the command table, the check of parsed scripts and the
// compile of a program with its includes. See sievecheck.h.
#include "common/sievecheck.h"

#include "common/sievedate.h"
#include "common/sieveedit.h"
#include "platform/ascii.h"

namespace {

constexpr std::pair<std::string_view, uint32_t> kExtensionNames[] = {
    {"fileinto", kExtFileinto},       {"copy", kExtCopy},
    {"mailbox", kExtMailbox},         {"reject", kExtReject},
    {"ereject", kExtEreject},         {"envelope", kExtEnvelope},
    {"variables", kExtVariables},     {"vacation", kExtVacation},
    {"vacation-seconds", kExtVacationSeconds | kExtVacation},
    {"relational", kExtRelational},   {"subaddress", kExtSubaddress},
    {"imap4flags", kExtImap4flags},   {"body", kExtBody},
    {"date", kExtDate},               {"index", kExtIndex},
    {"editheader", kExtEditheader},   {"duplicate", kExtDuplicate},
    {"include", kExtInclude},         {"mailboxid", kExtMailboxid},
    {"comparator-i;ascii-numeric", kExtNumeric},
};

enum class ArgType : uint8_t { None, Number, String, List };

// Tags of one group exclude one another (":is" and ":contains").
enum Group : uint8_t { kNoGroup, kGroupMatch, kGroupComparator, kGroupPart, kGroupIndex, kGroupLast,
                       kGroupOwn1, kGroupOwn2, kGroupOwn3 };

struct TagSpec {
  std::string_view Name;
  ArgType Arg;
  Group Which;
  uint32_t Ext;   // the extension that brings it; 0 for the base language
};

// What a command or test takes besides its own tags.
enum Takes : uint8_t { kComparator = 1, kMatch = 2, kAddressPart = 4, kIndex = 8 };

struct Spec {
  std::string_view Name;
  SieveId Id;
  bool bTest;
  uint32_t Ext;
  uint8_t Common;                    // Takes
  std::vector<TagSpec> Tags;
  // Positional arguments: S a string, L a string list, N a number; "?"
  // before one makes it optional (at most one per command).
  std::string_view Positional;
  uint8_t Tests;                     // 0 none, 1 one test, 2 a test list
  bool bBlock;
};

const std::vector<TagSpec> kCommonTags = {
    {":comparator", ArgType::String, kGroupComparator, 0},
    {":is", ArgType::None, kGroupMatch, 0},
    {":contains", ArgType::None, kGroupMatch, 0},
    {":matches", ArgType::None, kGroupMatch, 0},
    {":count", ArgType::String, kGroupMatch, kExtRelational},
    {":value", ArgType::String, kGroupMatch, kExtRelational},
    {":all", ArgType::None, kGroupPart, 0},
    {":localpart", ArgType::None, kGroupPart, 0},
    {":domain", ArgType::None, kGroupPart, 0},
    {":user", ArgType::None, kGroupPart, kExtSubaddress},
    {":detail", ArgType::None, kGroupPart, kExtSubaddress},
    {":index", ArgType::Number, kGroupIndex, kExtIndex},
    {":last", ArgType::None, kGroupLast, kExtIndex},
};

const std::vector<Spec> &Table() {
  static const std::vector<Spec> kTable = {
      {"require", kCmdRequire, false, 0, 0, {}, "L", 0, false},
      {"if", kCmdIf, false, 0, 0, {}, "", 1, true},
      {"elsif", kCmdElsif, false, 0, 0, {}, "", 1, true},
      {"else", kCmdElse, false, 0, 0, {}, "", 0, true},
      {"stop", kCmdStop, false, 0, 0, {}, "", 0, false},
      {"keep", kCmdKeep, false, 0, 0, {{":flags", ArgType::List, kNoGroup, kExtImap4flags}}, "", 0, false},
      {"discard", kCmdDiscard, false, 0, 0, {}, "", 0, false},
      {"redirect", kCmdRedirect, false, 0, 0, {{":copy", ArgType::None, kNoGroup, kExtCopy}}, "S", 0, false},
      {"fileinto", kCmdFileinto, false, kExtFileinto, 0,
       {{":copy", ArgType::None, kNoGroup, kExtCopy},
        {":create", ArgType::None, kNoGroup, kExtMailbox},
        {":flags", ArgType::List, kNoGroup, kExtImap4flags},
        {":mailboxid", ArgType::String, kNoGroup, kExtMailboxid}},
       "S", 0, false},
      {"reject", kCmdReject, false, kExtReject, 0, {}, "S", 0, false},
      {"ereject", kCmdEreject, false, kExtEreject, 0, {}, "S", 0, false},
      {"set", kCmdSet, false, kExtVariables, 0,
       {{":lower", ArgType::None, kGroupOwn1, 0}, {":upper", ArgType::None, kGroupOwn1, 0},
        {":lowerfirst", ArgType::None, kGroupOwn2, 0}, {":upperfirst", ArgType::None, kGroupOwn2, 0},
        {":quotewildcard", ArgType::None, kNoGroup, 0}, {":length", ArgType::None, kNoGroup, 0}},
       "SS", 0, false},
      {"vacation", kCmdVacation, false, kExtVacation, 0,
       {{":days", ArgType::Number, kGroupOwn1, 0}, {":seconds", ArgType::Number, kGroupOwn1, kExtVacationSeconds},
        {":subject", ArgType::String, kNoGroup, 0}, {":from", ArgType::String, kNoGroup, 0},
        {":addresses", ArgType::List, kNoGroup, 0}, {":mime", ArgType::None, kNoGroup, 0},
        {":handle", ArgType::String, kNoGroup, 0}},
       "S", 0, false},
      {"setflag", kCmdSetflag, false, kExtImap4flags, 0, {}, "?SL", 0, false},
      {"addflag", kCmdAddflag, false, kExtImap4flags, 0, {}, "?SL", 0, false},
      {"removeflag", kCmdRemoveflag, false, kExtImap4flags, 0, {}, "?SL", 0, false},
      {"addheader", kCmdAddheader, false, kExtEditheader, 0, {{":last", ArgType::None, kNoGroup, 0}}, "SS", 0, false},
      {"deleteheader", kCmdDeleteheader, false, kExtEditheader, kComparator | kMatch,
       {{":index", ArgType::Number, kNoGroup, 0}, {":last", ArgType::None, kNoGroup, 0}}, "S?L", 0, false},
      {"include", kCmdInclude, false, kExtInclude, 0,
       {{":personal", ArgType::None, kGroupOwn1, 0}, {":global", ArgType::None, kGroupOwn1, 0},
        {":once", ArgType::None, kNoGroup, 0}, {":optional", ArgType::None, kNoGroup, 0}},
       "S", 0, false},
      {"return", kCmdReturn, false, kExtInclude, 0, {}, "", 0, false},
      {"global", kCmdGlobal, false, kExtInclude | kExtVariables, 0, {}, "L", 0, false},

      {"address", kTestAddress, true, 0, kComparator | kMatch | kAddressPart | kIndex, {}, "LL", 0, false},
      {"allof", kTestAllof, true, 0, 0, {}, "", 2, false},
      {"anyof", kTestAnyof, true, 0, 0, {}, "", 2, false},
      {"envelope", kTestEnvelope, true, kExtEnvelope, kComparator | kMatch | kAddressPart, {}, "LL", 0, false},
      {"exists", kTestExists, true, 0, 0, {}, "L", 0, false},
      {"false", kTestFalse, true, 0, 0, {}, "", 0, false},
      {"true", kTestTrue, true, 0, 0, {}, "", 0, false},
      {"header", kTestHeader, true, 0, kComparator | kMatch | kIndex, {}, "LL", 0, false},
      {"not", kTestNot, true, 0, 0, {}, "", 1, false},
      {"size", kTestSize, true, 0, 0,
       {{":over", ArgType::None, kGroupOwn1, 0}, {":under", ArgType::None, kGroupOwn1, 0}}, "N", 0, false},
      {"string", kTestString, true, kExtVariables, kComparator | kMatch, {}, "LL", 0, false},
      {"hasflag", kTestHasflag, true, kExtImap4flags, kComparator | kMatch, {}, "?LL", 0, false},
      {"body", kTestBody, true, kExtBody, kComparator | kMatch,
       {{":raw", ArgType::None, kGroupOwn1, 0}, {":content", ArgType::List, kGroupOwn1, 0},
        {":text", ArgType::None, kGroupOwn1, 0}},
       "L", 0, false},
      {"date", kTestDate, true, kExtDate, kComparator | kMatch | kIndex,
       {{":zone", ArgType::String, kGroupOwn1, 0}, {":originalzone", ArgType::None, kGroupOwn1, 0}}, "SSL", 0,
       false},
      {"currentdate", kTestCurrentdate, true, kExtDate, kComparator | kMatch,
       {{":zone", ArgType::String, kNoGroup, 0}}, "SL", 0, false},
      {"duplicate", kTestDuplicate, true, kExtDuplicate, 0,
       {{":handle", ArgType::String, kNoGroup, 0}, {":header", ArgType::String, kGroupOwn1, 0},
        {":uniqueid", ArgType::String, kGroupOwn1, 0}, {":seconds", ArgType::Number, kNoGroup, 0},
        {":last", ArgType::None, kNoGroup, 0}},
       "", 0, false},
      {"mailboxexists", kTestMailboxexists, true, kExtMailbox, 0, {}, "L", 0, false},
      {"mailboxidexists", kTestMailboxidexists, true, kExtMailboxid, 0, {}, "L", 0, false},
  };
  return kTable;
}

const Spec *FindSpec(std::string_view name, bool test) {
  for (const Spec &s : Table()) {
    if (s.Name == name && s.bTest == test) return &s;
  }
  return nullptr;
}

std::string ExtensionOf(uint32_t bit) {
  for (const auto &[name, b] : kExtensionNames) {
    if (b == bit) return std::string(name);
  }
  // vacation-seconds brings vacation with it.
  for (const auto &[name, b] : kExtensionNames) {
    if (b & bit) return std::string(name);
  }
  return "?";
}

// The checker of one unit; the first error wins.
class Checker {
 public:
  explicit Checker(SieveUnit *unit) : unit_(unit) {}
  bool Commands(std::vector<SieveNode> &commands, bool top);
  SieveError Error;

 private:
  bool Fail(uint32_t line, std::string text) {
    Error.Line = line;
    Error.Text = std::move(text);
    return false;
  }
  bool Require(const SieveNode &node);
  bool Node(SieveNode &node, const Spec &spec);
  bool Tags(SieveNode &node, const Spec &spec);
  bool PositionalArgs(SieveNode &node, const Spec &spec);
  bool Tests(SieveNode &node, const Spec &spec);
  bool MatchArgs(SieveNode &node);
  bool Specific(SieveNode &node);
  bool Has(uint32_t ext) const { return (unit_->Extensions & ext) == ext; }
  bool Varies(std::string_view text) const { return Has(kExtVariables) && SieveHasVariable(text); }

  SieveUnit *unit_;
  bool bSeenCommand_ = false;
};

bool Checker::Require(const SieveNode &node) {
  if (bSeenCommand_) return Fail(node.Line, "require must come before every other command");
  for (const std::string &name : SievePos(node, 0).Strings) {
    uint32_t bit = 0;
    for (const auto &[ext, b] : kExtensionNames) {
      if (name == ext) bit = b;
    }
    if (bit == 0) return Fail(node.Line, "unsupported extension \"" + name + "\"");
    unit_->Extensions |= bit;
  }
  return true;
}

bool Checker::Commands(std::vector<SieveNode> &commands, bool top) {
  uint16_t previous = 0;
  for (SieveNode &node : commands) {
    const Spec *spec = FindSpec(node.Name, false);
    if (spec == nullptr) {
      if (FindSpec(node.Name, true) != nullptr) return Fail(node.Line, "\"" + node.Name + "\" is a test, not a command");
      return Fail(node.Line, "unknown command \"" + node.Name + "\"");
    }
    if (!Node(node, *spec)) return false;
    if ((node.Id == kCmdElsif || node.Id == kCmdElse) && previous != kCmdIf && previous != kCmdElsif) {
      return Fail(node.Line, node.Name + " without if");
    }
    if (node.Id == kCmdRequire) {
      if (!top) return Fail(node.Line, "require must come before every other command");
      if (!Require(node)) return false;
    } else {
      bSeenCommand_ = true;
    }
    if (node.bBlock && !Commands(node.Block, false)) return false;
    previous = node.Id;
  }
  return true;
}

bool Checker::Node(SieveNode &node, const Spec &spec) {
  node.Id = spec.Id;
  if (spec.Ext != 0 && !Has(spec.Ext) && spec.Id != kCmdGlobal) {
    return Fail(node.Line, "\"" + node.Name + "\" needs require \"" + ExtensionOf(spec.Ext) + "\"");
  }
  if (spec.Id == kCmdGlobal && !(Has(kExtInclude) && Has(kExtVariables))) {
    return Fail(node.Line, "\"global\" needs require [\"include\", \"variables\"]");
  }
  if (node.bBlock != spec.bBlock) {
    return Fail(node.Line, spec.bBlock ? node.Name + " needs a block" : node.Name + " takes no block");
  }
  return Tags(node, spec) && PositionalArgs(node, spec) && Tests(node, spec) && MatchArgs(node) && Specific(node);
}

bool Checker::Tags(SieveNode &node, const Spec &spec) {
  std::vector<Group> seen;
  std::vector<std::string_view> seenTags;
  for (size_t i = 0; i < node.Args.size(); ++i) {
    const SieveArg &arg = node.Args[i];
    if (arg.Kind != SieveArgKind::Tag) {
      if (node.Positional.size() > 64) return Fail(arg.Line, "too many arguments");
      node.Positional.push_back(static_cast<uint16_t>(i));
      continue;
    }
    if (!node.Positional.empty()) return Fail(arg.Line, "tag " + arg.Tag + " after the positional arguments");
    const TagSpec *tag = nullptr;
    for (const TagSpec &t : spec.Tags) {
      if (t.Name == arg.Tag) tag = &t;
    }
    for (const TagSpec &t : kCommonTags) {
      bool offered = (t.Which == kGroupComparator && (spec.Common & kComparator)) ||
                     (t.Which == kGroupMatch && (spec.Common & kMatch)) ||
                     (t.Which == kGroupPart && (spec.Common & kAddressPart)) ||
                     ((t.Which == kGroupIndex || t.Which == kGroupLast) && (spec.Common & kIndex));
      if (offered && t.Name == arg.Tag && tag == nullptr) tag = &t;
    }
    if (tag == nullptr) return Fail(arg.Line, "\"" + node.Name + "\" takes no tag " + arg.Tag);
    if (tag->Ext != 0 && !Has(tag->Ext)) {
      return Fail(arg.Line, "tag " + arg.Tag + " needs require \"" + ExtensionOf(tag->Ext) + "\"");
    }
    for (std::string_view s : seenTags) {
      if (s == tag->Name) return Fail(arg.Line, "tag " + arg.Tag + " given twice");
    }
    for (Group g : seen) {
      if (g != kNoGroup && g == tag->Which) return Fail(arg.Line, "tag " + arg.Tag + " conflicts with an earlier tag");
    }
    seen.push_back(tag->Which);
    seenTags.push_back(tag->Name);
    if (tag->Arg == ArgType::None) continue;
    if (i + 1 >= node.Args.size()) return Fail(arg.Line, "tag " + arg.Tag + " needs an argument");
    const SieveArg &value = node.Args[++i];
    bool ok = (tag->Arg == ArgType::Number && value.Kind == SieveArgKind::Number) ||
              (tag->Arg == ArgType::String && value.Kind == SieveArgKind::String) ||
              (tag->Arg == ArgType::List && (value.Kind == SieveArgKind::String || value.Kind == SieveArgKind::StringList));
    if (!ok) {
      const char *want = tag->Arg == ArgType::Number ? "a number" : tag->Arg == ArgType::String ? "a string" : "a string list";
      return Fail(value.Line, "tag " + arg.Tag + " needs " + want);
    }
  }
  return true;
}

bool Checker::PositionalArgs(SieveNode &node, const Spec &spec) {
  std::string types;
  size_t optional = SIZE_MAX;
  for (char c : spec.Positional) {
    if (c == '?') optional = types.size();
    else types.push_back(c);
  }
  size_t n = node.Positional.size();
  bool full = n == types.size();
  bool shortForm = optional != SIZE_MAX && n + 1 == types.size();
  if (!full && !shortForm) {
    return Fail(node.Line, "\"" + node.Name + "\" takes " + std::to_string(types.size()) + " arguments, not " +
                               std::to_string(n));
  }
  if (shortForm) types.erase(optional, 1);
  for (size_t i = 0; i < n; ++i) {
    const SieveArg &arg = node.Args[node.Positional[i]];
    char want = types[i];
    bool ok = (want == 'N' && arg.Kind == SieveArgKind::Number) ||
              (want == 'S' && arg.Kind == SieveArgKind::String) ||
              (want == 'L' && (arg.Kind == SieveArgKind::String || arg.Kind == SieveArgKind::StringList));
    if (!ok) {
      const char *what = want == 'N' ? "a number" : want == 'S' ? "a string" : "a string list";
      return Fail(arg.Line, "argument " + std::to_string(i + 1) + " of \"" + node.Name + "\" must be " + what);
    }
  }
  return true;
}

bool Checker::Tests(SieveNode &node, const Spec &spec) {
  if (spec.Tests == 0 && !node.Tests.empty()) return Fail(node.Line, "\"" + node.Name + "\" takes no test");
  if (spec.Tests == 1 && (node.Tests.size() != 1 || node.bTestList)) {
    return Fail(node.Line, "\"" + node.Name + "\" needs one test");
  }
  if (spec.Tests == 2 && (!node.bTestList || node.Tests.empty())) {
    return Fail(node.Line, "\"" + node.Name + "\" needs a test list in ( )");
  }
  for (SieveNode &test : node.Tests) {
    const Spec *ts = FindSpec(test.Name, true);
    if (ts == nullptr) {
      if (FindSpec(test.Name, false) != nullptr) return Fail(test.Line, "\"" + test.Name + "\" is a command, not a test");
      return Fail(test.Line, "unknown test \"" + test.Name + "\"");
    }
    if (!Node(test, *ts)) return false;
  }
  return true;
}

// The comparator, the match type and the address part into the node.
bool Checker::MatchArgs(SieveNode &node) {
  for (size_t i = 0; i < node.Args.size(); ++i) {
    const SieveArg &arg = node.Args[i];
    if (arg.Kind != SieveArgKind::Tag) continue;
    const std::string &t = arg.Tag;
    if (t == ":comparator") {
      const std::string &name = node.Args[i + 1].Strings[0];
      if (!SieveComparatorByName(name, &node.Match.Comparator)) {
        return Fail(arg.Line, "unknown comparator \"" + name + "\"");
      }
      if (node.Match.Comparator == SieveComparator::Numeric && !Has(kExtNumeric)) {
        return Fail(arg.Line, "comparator \"i;ascii-numeric\" needs require \"comparator-i;ascii-numeric\"");
      }
    } else if (t == ":is") {
      node.Match.Type = SieveMatchType::Is;
    } else if (t == ":contains") {
      node.Match.Type = SieveMatchType::Contains;
    } else if (t == ":matches") {
      node.Match.Type = SieveMatchType::Matches;
    } else if (t == ":count" || t == ":value") {
      node.Match.Type = t == ":count" ? SieveMatchType::Count : SieveMatchType::Value;
      const std::string &rel = node.Args[i + 1].Strings[0];
      if (Varies(rel)) node.bRelationVaries = true;
      else if (!SieveRelationByName(rel, &node.Match.Relation)) return Fail(arg.Line, "unknown relation \"" + rel + "\"");
    } else if (t == ":localpart") {
      node.Part = SieveAddressPart::LocalPart;
    } else if (t == ":domain") {
      node.Part = SieveAddressPart::Domain;
    } else if (t == ":user") {
      node.Part = SieveAddressPart::User;
    } else if (t == ":detail") {
      node.Part = SieveAddressPart::Detail;
    }
  }
  SieveMatchType mt = node.Match.Type;
  if (node.Match.Comparator == SieveComparator::Numeric &&
      (mt == SieveMatchType::Contains || mt == SieveMatchType::Matches)) {
    return Fail(node.Line, "comparator \"i;ascii-numeric\" cannot be used with :contains or :matches");
  }
  if (node.Id == kTestBody && mt == SieveMatchType::Count) return Fail(node.Line, "body cannot be used with :count");
  bool index = SieveHasTag(node, ":index");
  if (node.Id != kCmdDeleteheader && SieveHasTag(node, ":last") && !index && node.Id != kCmdAddheader &&
      node.Id != kTestDuplicate) {
    return Fail(node.Line, ":last needs :index");
  }
  if (index && SieveTagArg(node, ":index")->Number == 0) return Fail(node.Line, ":index counts from 1");
  return true;
}

bool IsAddressField(std::string_view name) {
  static constexpr std::string_view kFields[] = {
      "from", "to", "cc", "bcc", "sender", "reply-to", "resent-from", "resent-to", "resent-cc", "resent-bcc",
      "resent-sender", "resent-reply-to", "return-path", "delivered-to", "envelope-to", "x-original-to",
      "errors-to", "disposition-notification-to", "mail-followup-to", "mail-reply-to", "x-envelope-to"};
  for (std::string_view f : kFields) {
    if (EqualsNoCase(name, f)) return true;
  }
  return false;
}

// Checks of constant arguments a command's meaning needs.
bool Checker::Specific(SieveNode &node) {
  auto constant = [&](const std::string &s) { return !Varies(s); };
  switch (node.Id) {
    case kTestAddress:
      for (const std::string &f : SievePos(node, 0).Strings) {
        if (constant(f) && !IsAddressField(f)) return Fail(node.Line, "\"" + f + "\" holds no addresses");
      }
      break;
    case kTestEnvelope:
      for (const std::string &f : SievePos(node, 0).Strings) {
        if (constant(f) && !EqualsNoCase(f, "from") && !EqualsNoCase(f, "to")) {
          return Fail(node.Line, "envelope part \"" + f + "\" is not known (from, to)");
        }
      }
      break;
    case kCmdSet:
      if (!SieveIsVariableName(SievePos(node, 0).Strings[0])) {
        return Fail(node.Line, "\"" + SievePos(node, 0).Strings[0] + "\" is not a variable name");
      }
      break;
    case kCmdGlobal:
      for (const std::string &v : SievePos(node, 0).Strings) {
        if (!SieveIsVariableName(v) || v.find('.') != std::string::npos) {
          return Fail(node.Line, "\"" + v + "\" is not a global variable name");
        }
      }
      break;
    case kCmdSetflag: case kCmdAddflag: case kCmdRemoveflag: case kTestHasflag:
      if (node.Positional.size() == 2 && !Has(kExtVariables)) {
        return Fail(node.Line, "a flag variable needs require \"variables\"");
      }
      if (node.Positional.size() == 2 && node.Id != kTestHasflag &&
          !SieveIsVariableName(SievePos(node, 0).Strings[0])) {
        return Fail(node.Line, "\"" + SievePos(node, 0).Strings[0] + "\" is not a variable name");
      }
      break;
    case kCmdInclude:
      if (SieveHasVariable(SievePos(node, 0).Strings[0]) || !SieveIsScriptName(SievePos(node, 0).Strings[0])) {
        return Fail(node.Line, "\"" + SievePos(node, 0).Strings[0] + "\" is not a script name");
      }
      break;
    case kCmdAddheader: case kCmdDeleteheader: {
      const std::string &name = SievePos(node, 0).Strings[0];
      if (constant(name) && !SieveIsFieldName(name)) return Fail(node.Line, "\"" + name + "\" is not a field name");
      if (node.Id == kCmdDeleteheader && SieveHasTag(node, ":last") && !SieveHasTag(node, ":index")) {
        return Fail(node.Line, ":last needs :index");
      }
      break;
    }
    case kTestDate: case kTestCurrentdate: {
      const std::string &part = SievePos(node, node.Id == kTestDate ? 1 : 0).Strings[0];
      if (constant(part) && !SieveIsDatePart(part)) return Fail(node.Line, "unknown date part \"" + part + "\"");
      const SieveArg *zone = SieveTagArg(node, ":zone");
      int minutes;
      if (zone != nullptr && constant(zone->Strings[0]) && !SieveParseZone(zone->Strings[0], &minutes)) {
        return Fail(node.Line, "bad zone \"" + zone->Strings[0] + "\" (+hhmm or -hhmm)");
      }
      break;
    }
    case kTestSize:
      if (!SieveHasTag(node, ":over") && !SieveHasTag(node, ":under")) return Fail(node.Line, "size needs :over or :under");
      break;
    default:
      break;
  }
  return true;
}

// -- includes --

struct Compiler {
  std::shared_ptr<SieveProgram> Program;
  const SieveLimits &Limits;
  const SieveIncludeLoader &Loader;
  std::vector<uint32_t> Stack;   // units being compiled, outermost first

  bool Unit(uint32_t unitIndex, std::string_view text, SieveError *error);
  bool Includes(uint32_t unitIndex, std::vector<SieveNode> &commands, SieveError *error);
};

bool Compiler::Unit(uint32_t u, std::string_view text, SieveError *error) {
  SieveUnit &unit = Program->Units[u];
  std::vector<SieveNode> commands;
  if (!SieveParse(text, Limits.MaxScriptBytes, Limits.MaxNesting, &commands, error)) return false;
  Checker checker(&unit);
  if (!checker.Commands(commands, true)) {
    *error = checker.Error;
    return false;
  }
  Stack.push_back(u);
  bool ok = Includes(u, commands, error);
  Stack.pop_back();
  // The vector may have grown: take the unit again.
  Program->Units[u].Commands = std::move(commands);
  return ok;
}

bool Compiler::Includes(uint32_t u, std::vector<SieveNode> &commands, SieveError *error) {
  for (SieveNode &node : commands) {
    if (node.bBlock && !Includes(u, node.Block, error)) return false;
    if (node.Id != kCmdInclude || !Loader) continue;
    SieveLocation where = SieveHasTag(node, ":global") ? SieveLocation::Global : SieveLocation::Personal;
    const std::string &name = SievePos(node, 0).Strings[0];
    for (uint32_t open : Stack) {
      const SieveUnit &o = Program->Units[open];
      if (open != 0 && o.Where == where && o.Name == name) {
        error->Line = node.Line;
        error->Text = "include loop: \"" + name + "\" includes itself";
        return false;
      }
      if (open == 0 && where == SieveLocation::Personal && name == Program->Units[0].Name && !name.empty()) {
        error->Line = node.Line;
        error->Text = "include loop: \"" + name + "\" includes itself";
        return false;
      }
    }
    for (uint32_t i = 1; i < Program->Units.size(); ++i) {
      if (Program->Units[i].Where == where && Program->Units[i].Name == name) node.IncludeUnit = i;
    }
    if (node.IncludeUnit != UINT32_MAX) continue;
    if (Stack.size() >= kSieveMaxIncludeDepth || Program->Units.size() >= kSieveMaxIncludedScripts) {
      error->Line = node.Line;
      error->Text = "too many included scripts";
      return false;
    }
    std::string text;
    if (!Loader(where, name, &text)) {
      if (SieveHasTag(node, ":optional")) continue;
      error->Line = node.Line;
      error->Text = "included script \"" + name + "\" does not exist";
      return false;
    }
    uint32_t index = static_cast<uint32_t>(Program->Units.size());
    Program->Units.emplace_back();
    Program->Units[index].Name = name;
    Program->Units[index].Where = where;
    if (!Unit(index, text, error)) {
      if (error->Script.empty()) error->Script = name;
      return false;
    }
    node.IncludeUnit = index;
  }
  return true;
}

}  // namespace

const SieveArg *SieveTagArg(const SieveNode &node, std::string_view tag) {
  for (size_t i = 0; i + 1 < node.Args.size(); ++i) {
    if (node.Args[i].Kind == SieveArgKind::Tag && node.Args[i].Tag == tag) return &node.Args[i + 1];
  }
  return nullptr;
}

bool SieveHasTag(const SieveNode &node, std::string_view tag) {
  for (const SieveArg &a : node.Args) {
    if (a.Kind == SieveArgKind::Tag && a.Tag == tag) return true;
  }
  return false;
}

bool SieveHasVariable(std::string_view text) {
  size_t open = text.find("${");
  return open != std::string_view::npos && text.find('}', open) != std::string_view::npos;
}

bool SieveIsVariableName(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  bool start = true;
  for (char c : name) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    bool digit = c >= '0' && c <= '9';
    if (c == '.') {
      if (start) return false;
      start = true;
      continue;
    }
    if (start ? !alpha : !(alpha || digit)) return false;
    start = false;
  }
  return !start;
}

bool SieveIsScriptName(std::string_view name) {
  if (name.empty() || name.size() > kSieveMaxScriptName || name[0] == '.') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/') return false;
  }
  return true;
}

std::string_view SieveCapabilities() {
  return "fileinto copy mailbox reject ereject envelope variables vacation vacation-seconds relational "
         "subaddress imap4flags body date index editheader duplicate include mailboxid "
         "comparator-i;ascii-numeric";
}

std::string SieveError::Describe() const {
  std::string out;
  if (!Script.empty()) out = "script \"" + Script + "\": ";
  if (Line != 0) out += "line " + std::to_string(Line) + ": ";
  return out + Text;
}

bool SieveCompile(std::string_view text, const SieveLimits &limits, const SieveIncludeLoader &includeLoader,
                  SieveScript *script, SieveError *error) {
  *error = SieveError();
  Compiler c{std::make_shared<SieveProgram>(), limits, includeLoader, {}};
  c.Program->Units.emplace_back();
  if (!c.Unit(0, text, error)) return false;
  script->Program = std::move(c.Program);
  return true;
}
