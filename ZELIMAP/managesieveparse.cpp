// managesieveparse: see managesieveparse.h.
#include "ZELIMAP/managesieveparse.h"

#include <string.h>

#include <algorithm>

#include "platform/ascii.h"

namespace {

constexpr uint64_t kMaxSieveNumber = 0xFFFFFFFFull;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits, at most kMaxSieveDigits and kMaxSieveNumber.
bool TakeNumber(std::string_view text, uint64_t &n) {
  if (text.empty() || text.size() > kMaxSieveDigits) return false;
  n = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n <= kMaxSieveNumber;
}

// "{n+}" or "{n}" ending line: true with its length.
bool LiteralAtEnd(std::string_view line, uint64_t &n, size_t &start) {
  if (line.empty() || line.back() != '}') return false;
  size_t open = line.rfind('{');
  if (open == std::string_view::npos) return false;
  std::string_view inside = line.substr(open + 1, line.size() - open - 2);
  if (!inside.empty() && inside.back() == '+') inside.remove_suffix(1);
  if (!TakeNumber(inside, n)) return false;
  start = open;
  return true;
}

void Refuse(SieveReader &r, std::string_view code, std::string_view text) {
  if (r.bDropping) return;   // the first reason stands
  r.bDropping = true;
  r.Refusal = SieveResponse("NO", code, text);
  r.Pending.Args.clear();
}

// One line of the command outside its literals (without its line end):
// the name, then arguments; a literal announced at its end is returned in
// literal (hasLiteral). Errors refuse the command; the literal is still
// announced, so that its bytes are dropped.
void TakeLine(SieveReader &r, std::string_view line, bool continued, uint64_t &literal,
              bool &hasLiteral) {
  hasLiteral = false;
  size_t literalStart = 0;
  if (LiteralAtEnd(line, literal, literalStart)) {
    hasLiteral = true;
    // The marker must stand as an argument of its own.
    if (literalStart != 0 && line[literalStart - 1] != ' ')
      Refuse(r, "", "Syntax error: a literal must stand alone");
    line = line.substr(0, literalStart);
  }
  if (r.bDropping) return;
  size_t i = 0;
  bool needSpace = continued;
  if (!continued && !r.bBareString) {
    while (i < line.size() && UpperAscii(line[i]) >= 'A' && UpperAscii(line[i]) <= 'Z') ++i;
    if (i == 0) return Refuse(r, "", "Syntax error: a command name is expected");
    r.Pending.Name.assign(line.substr(0, i));
    UpperAsciiInPlace(r.Pending.Name);
    needSpace = true;
  }
  for (;;) {
    size_t spaces = 0;
    while (i < line.size() && line[i] == ' ') ++i, ++spaces;
    if (i == line.size()) break;
    if (needSpace && spaces == 0) return Refuse(r, "", "Syntax error: a space is expected");
    needSpace = true;
    if (r.Pending.Args.size() >= kMaxSieveArgs) return Refuse(r, "", "Too many arguments");
    SieveArg arg;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (i == line.size() || (line[i] != '"' && line[i] != '\\'))
            return Refuse(r, "", "Syntax error: bad escape in a quoted string");
          c = line[i++];
        }
        if (arg.Text.size() >= kMaxSieveQuoted)
          return Refuse(r, "", "A quoted string is too long: send a literal");
        arg.Text += c;
      }
      if (!closed) return Refuse(r, "", "Syntax error: a quoted string is not closed");
    } else if (IsDigit(line[i])) {
      size_t start = i;
      while (i < line.size() && line[i] != ' ') ++i;
      if (!TakeNumber(line.substr(start, i - start), arg.Number))
        return Refuse(r, "", "Syntax error: bad number");
      arg.bNumber = true;
    } else {
      return Refuse(r, "", "Syntax error: a string is expected");
    }
    r.Pending.Args.push_back(std::move(arg));
  }
  if (hasLiteral) {
    if (needSpace && !line.empty() && line.back() != ' ')
      return Refuse(r, "", "Syntax error: a space is expected");
    if (r.Pending.Args.size() >= kMaxSieveArgs) return Refuse(r, "", "Too many arguments");
    r.Pending.Args.emplace_back();
  }
}

}  // namespace

void ResetSieveReader(SieveReader &r) {
  r.Line.clear();
  r.Pending = SieveCommand();
  r.LiteralLeft = 0;
  r.LiteralBytes = 0;
  r.bDropping = false;
  r.Refusal.clear();
}

void WipeSieveReader(SieveReader &r) {
  explicit_bzero(r.Line.data(), r.Line.size());
  for (SieveArg &arg : r.Pending.Args) explicit_bzero(arg.Text.data(), arg.Text.size());
  ResetSieveReader(r);
}

SieveStep ReadSieveCommand(SieveReader &r, std::string_view input, SieveCommand &cmd) {
  SieveStep step;
  while (step.Used < input.size()) {
    std::string_view rest = input.substr(step.Used);
    if (r.LiteralLeft > 0) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(r.LiteralLeft, rest.size()));
      if (!r.bDropping) r.Pending.Args.back().Text.append(rest.substr(0, take));
      r.LiteralLeft -= take;
      step.Used += take;
      continue;
    }
    size_t lf = rest.find('\n');
    size_t take = lf == std::string_view::npos ? rest.size() : lf + 1;
    if (r.Line.size() + take > kMaxSieveCommandText + 2) {
      step.Used += take;
      ResetSieveReader(r);
      r.Refusal = SieveResponse("BYE", "", "Command line too long");
      step.Event = SieveReadEvent::kFatal;
      return step;
    }
    r.Line.append(rest.substr(0, take));
    step.Used += take;
    if (lf == std::string_view::npos) break;
    std::string_view line(r.Line);
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    bool continued = !r.Pending.Name.empty() || !r.Pending.Args.empty() || r.LiteralBytes > 0;
    if (line.empty() && !continued && !r.bBareString && !r.bDropping) {
      // An empty line: nothing was asked.
      r.Line.clear();
      continue;
    }
    uint64_t literal = 0;
    bool hasLiteral = false;
    TakeLine(r, line, continued, literal, hasLiteral);
    explicit_bzero(r.Line.data(), r.Line.size());
    r.Line.clear();
    if (hasLiteral) {
      if (r.LiteralBytes + literal > r.MaxLiteralBytes)
        Refuse(r, "QUOTA/MAXSIZE", "The script is larger than this server stores");
      r.LiteralBytes += static_cast<size_t>(std::min<uint64_t>(literal, r.MaxLiteralBytes + 1));
      r.LiteralLeft = literal;
      if (!r.bDropping) r.Pending.Args.back().Text.reserve(static_cast<size_t>(literal));
      continue;
    }
    if (r.bDropping) {
      std::string refusal = std::move(r.Refusal);
      ResetSieveReader(r);
      r.Refusal = std::move(refusal);
      step.Event = SieveReadEvent::kRefused;
      return step;
    }
    cmd = std::move(r.Pending);
    ResetSieveReader(r);
    step.Event = SieveReadEvent::kCommand;
    return step;
  }
  return step;
}

std::string SieveString(std::string_view text) {
  bool quotable = text.size() <= kMaxSieveQuoted &&
                  std::none_of(text.begin(), text.end(),
                               [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
  if (quotable) {
    std::string quoted = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    return quoted + "\"";
  }
  return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
}

std::string SieveResponse(std::string_view status, std::string_view code, std::string_view text) {
  std::string line(status);
  if (!code.empty()) {
    line += " (";
    line += code;
    line += ')';
  }
  if (!text.empty()) {
    line += ' ';
    line += SieveString(text);
  }
  line += "\r\n";
  return line;
}
