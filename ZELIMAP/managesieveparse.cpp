// managesieveparse: see managesieveparse.h.
#include "ZELIMAP/managesieveparse.h"

#include <string.h>

#include <algorithm>

#include "platform/ascii.h"

namespace {

constexpr uint64_t kMaxManageSieveNumber = 0xFFFFFFFFull;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits, at most kMaxManageSieveDigits and kMaxManageSieveNumber.
bool TakeNumber(std::string_view text, uint64_t &n) {
  if (text.empty() || text.size() > kMaxManageSieveDigits) return false;
  n = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n <= kMaxManageSieveNumber;
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

void Refuse(ManageSieveReader &r, std::string_view code, std::string_view text) {
  if (r.bDropping) return;  // the first reason stands
  r.bDropping = true;
  r.Refusal = ManageSieveResponse("NO", code, text);
  r.Pending.Args.clear();
}

// One line of the command outside its literals (without its line end):
// the name, then arguments; a literal announced at its end is returned in
// literal (hasLiteral). Errors refuse the command; the literal is still
// announced, so that its bytes are dropped.
void TakeLine(ManageSieveReader &r, std::string_view line, bool continued, uint64_t &literal,
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
    if (r.Pending.Args.size() >= kMaxManageSieveArgs) return Refuse(r, "", "Too many arguments");
    ManageSieveArg arg;
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
        if (arg.Text.size() >= kMaxManageSieveQuoted)
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
    if (r.Pending.Args.size() >= kMaxManageSieveArgs) return Refuse(r, "", "Too many arguments");
    r.Pending.Args.emplace_back();
  }
}

}  // namespace

void ResetManageSieveReader(ManageSieveReader &r) {
  r.Line.clear();
  r.Pending = ManageSieveCommand();
  r.LiteralLeft = 0;
  r.LiteralBytes = 0;
  r.bDropping = false;
  r.Refusal.clear();
}

void WipeManageSieveReader(ManageSieveReader &r) {
  explicit_bzero(r.Line.data(), r.Line.size());
  for (ManageSieveArg &arg : r.Pending.Args) explicit_bzero(arg.Text.data(), arg.Text.size());
  ResetManageSieveReader(r);
}

ManageSieveStep ReadManageSieveCommand(ManageSieveReader &r, std::string_view input,
                                       ManageSieveCommand &cmd) {
  ManageSieveStep step;
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
    if (r.Line.size() + take > kMaxManageSieveLine + 2) {
      step.Used += take;
      ResetManageSieveReader(r);
      r.Refusal = ManageSieveResponse("BYE", "", "Command line too long");
      step.Event = ManageSieveEvent::kFatal;
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
      ResetManageSieveReader(r);
      r.Refusal = std::move(refusal);
      step.Event = ManageSieveEvent::kRefused;
      return step;
    }
    cmd = std::move(r.Pending);
    ResetManageSieveReader(r);
    step.Event = ManageSieveEvent::kCommand;
    return step;
  }
  return step;
}

std::string ManageSieveString(std::string_view text) {
  bool quotable = text.size() <= kMaxManageSieveQuoted &&
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

std::string ManageSieveResponse(std::string_view status, std::string_view code,
                                std::string_view text) {
  std::string line(status);
  if (!code.empty()) {
    line += " (";
    line += code;
    line += ')';
  }
  if (!text.empty()) {
    line += ' ';
    line += ManageSieveString(text);
  }
  line += "\r\n";
  return line;
}
