// sieveparse: lexer and parser of Sieve scripts. See sieveparse.h.
#include "common/sieveparse.h"

#include "platform/ascii.h"
#include "platform/charset.h"

namespace {

enum class Tok : uint8_t { End, Identifier, Tag, Number, String, Punct, Bad };

struct Token {
  Tok Kind = Tok::End;
  std::string Text;      // identifier or tag (lower case), string content, punctuation byte
  uint64_t Number = 0;
  uint32_t Line = 1;
};

bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

// The lexer keeps a sticky error: once set, every later token is Bad and
// the parser reports the first error only.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : t_(text) {}
  Token Next();
  const Token &Peek() {
    if (!bPeeked_) {
      peeked_ = Next();
      bPeeked_ = true;
    }
    return peeked_;
  }
  Token Take() {
    Peek();
    bPeeked_ = false;
    return peeked_;
  }
  uint32_t Line() const { return line_; }
  bool Failed() const { return !error_.empty(); }
  const std::string &ErrorText() const { return error_; }
  uint32_t ErrorLine() const { return errorLine_; }
  void Fail(uint32_t line, std::string text) {
    if (error_.empty()) {
      error_ = std::move(text);
      errorLine_ = line;
    }
  }

 private:
  bool SkipSpaceAndComments();
  Token Bad(std::string text) {
    Fail(line_, std::move(text));
    Token t;
    t.Kind = Tok::Bad;
    t.Line = line_;
    return t;
  }
  Token QuotedString();
  Token MultiLine();
  Token NumberToken();

  std::string_view t_;
  size_t pos_ = 0;
  uint32_t line_ = 1;
  std::string error_;
  uint32_t errorLine_ = 0;
  Token peeked_;
  bool bPeeked_ = false;
};

bool Lexer::SkipSpaceAndComments() {
  while (pos_ < t_.size()) {
    char c = t_[pos_];
    if (c == '\n') {
      ++line_;
      ++pos_;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      ++pos_;
    } else if (c == '#') {
      while (pos_ < t_.size() && t_[pos_] != '\n') ++pos_;
    } else if (c == '/' && pos_ + 1 < t_.size() && t_[pos_ + 1] == '*') {
      uint32_t start = line_;
      size_t end = t_.find("*/", pos_ + 2);
      if (end == std::string_view::npos) {
        Fail(start, "comment not closed");
        return false;
      }
      for (size_t i = pos_; i < end; ++i) line_ += t_[i] == '\n';
      pos_ = end + 2;
    } else {
      return true;
    }
  }
  return true;
}

Token Lexer::QuotedString() {
  Token tok;
  tok.Kind = Tok::String;
  tok.Line = line_;
  for (++pos_; pos_ < t_.size(); ++pos_) {
    char c = t_[pos_];
    if (c == '"') {
      ++pos_;
      return tok;
    }
    if (c == '\\' && pos_ + 1 < t_.size()) c = t_[++pos_];   // "\x" is x (RFC 5228 2.4.2)
    if (c == '\n') ++line_;
    tok.Text.push_back(c);
  }
  Fail(tok.Line, "string not closed");
  tok.Kind = Tok::Bad;
  return tok;
}

// "text:", spaces or a comment, a line end, then lines up to one that is a
// lone "."; a leading ".." loses one dot. Line ends become CR LF.
Token Lexer::MultiLine() {
  Token tok;
  tok.Kind = Tok::String;
  tok.Line = line_;
  pos_ += 5;
  while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\t')) ++pos_;
  if (pos_ < t_.size() && t_[pos_] == '#') {
    while (pos_ < t_.size() && t_[pos_] != '\n') ++pos_;
  }
  if (pos_ < t_.size() && t_[pos_] == '\r') ++pos_;
  if (pos_ >= t_.size() || t_[pos_] != '\n') return Bad("\"text:\" must end its line");
  ++pos_;
  ++line_;
  while (pos_ < t_.size()) {
    size_t eol = t_.find('\n', pos_);
    std::string_view line = t_.substr(pos_, eol == std::string_view::npos ? std::string_view::npos : eol - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = eol == std::string_view::npos ? t_.size() : eol + 1;
    ++line_;
    if (line == ".") return tok;
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.remove_prefix(1);
    tok.Text.append(line);
    tok.Text.append("\r\n");
  }
  Fail(tok.Line, "multi-line string not ended by a line \".\"");
  tok.Kind = Tok::Bad;
  return tok;
}

Token Lexer::NumberToken() {
  Token tok;
  tok.Kind = Tok::Number;
  tok.Line = line_;
  uint64_t n = 0;
  while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9') {
    n = n * 10 + static_cast<uint64_t>(t_[pos_++] - '0');
    if (n > kSieveMaxNumber) return Bad("number too large");
  }
  uint64_t scale = 1;
  if (pos_ < t_.size()) {
    switch (UpperAscii(t_[pos_])) {
      case 'K': scale = uint64_t{1} << 10; break;
      case 'M': scale = uint64_t{1} << 20; break;
      case 'G': scale = uint64_t{1} << 30; break;
      default: break;
    }
  }
  if (scale != 1) ++pos_;
  if (n > kSieveMaxNumber / scale) return Bad("number too large");
  if (pos_ < t_.size() && IsIdentChar(t_[pos_])) return Bad("bad number");
  tok.Number = n * scale;
  return tok;
}

Token Lexer::Next() {
  if (Failed() || !SkipSpaceAndComments()) return Bad("");
  Token tok;
  tok.Line = line_;
  if (pos_ >= t_.size()) return tok;
  char c = t_[pos_];
  if (c == '"') return QuotedString();
  if (c >= '0' && c <= '9') return NumberToken();
  if (c == ':' || IsIdentStart(c)) {
    size_t start = pos_;
    if (c == ':') ++pos_;
    if (pos_ >= t_.size() || !IsIdentStart(t_[pos_])) return Bad("bad tag");
    while (pos_ < t_.size() && IsIdentChar(t_[pos_])) ++pos_;
    std::string word = LowerAsciiCopy(t_.substr(start, pos_ - start));
    if (word == "text" && pos_ < t_.size() && t_[pos_] == ':') {
      pos_ = start;
      return MultiLine();
    }
    tok.Kind = c == ':' ? Tok::Tag : Tok::Identifier;
    tok.Text = std::move(word);
    return tok;
  }
  if (std::string_view("[](){},;").find(c) != std::string_view::npos) {
    ++pos_;
    tok.Kind = Tok::Punct;
    tok.Text.assign(1, c);
    return tok;
  }
  return Bad("unexpected character");
}

bool IsPunct(const Token &t, char c) { return t.Kind == Tok::Punct && t.Text[0] == c; }

std::string Describe(const Token &t) {
  switch (t.Kind) {
    case Tok::End: return "end of script";
    case Tok::Identifier: return "\"" + t.Text + "\"";
    case Tok::Tag: return "tag " + t.Text;
    case Tok::Number: return "a number";
    case Tok::String: return "a string";
    case Tok::Punct: return "\"" + t.Text + "\"";
    case Tok::Bad: break;
  }
  return "bad text";
}

class Parser {
 public:
  Parser(std::string_view text, uint32_t maxNesting) : lex_(text), maxNesting_(maxNesting) {}
  bool Commands(std::vector<SieveNode> *out, bool inBlock);
  bool Failed() const { return lex_.Failed(); }
  SieveError Error() const {
    SieveError e;
    e.Line = lex_.ErrorLine();
    e.Text = lex_.ErrorText();
    return e;
  }

 private:
  bool Fail(const Token &at, std::string text) {
    lex_.Fail(at.Line, std::move(text));
    return false;
  }
  bool Command(SieveNode *node);
  bool Arguments(SieveNode *node);
  bool Test(SieveNode *node);
  bool StringList(SieveArg *arg);
  bool Deeper(const Token &at) {
    if (++depth_ > maxNesting_) return Fail(at, "nested too deep (limit " + std::to_string(maxNesting_) + ")");
    return true;
  }

  Lexer lex_;
  uint32_t maxNesting_;
  uint32_t depth_ = 0;
};

bool Parser::Commands(std::vector<SieveNode> *out, bool inBlock) {
  for (;;) {
    const Token &t = lex_.Peek();
    if (t.Kind == Tok::Bad) return false;
    if (t.Kind == Tok::End) return !inBlock || Fail(t, "block not closed: \"}\" expected");
    if (inBlock && IsPunct(t, '}')) return true;
    out->emplace_back();
    if (!Command(&out->back())) return false;
  }
}

bool Parser::Command(SieveNode *node) {
  Token name = lex_.Take();
  if (name.Kind != Tok::Identifier) return Fail(name, "command expected, found " + Describe(name));
  node->Name = name.Text;
  node->Line = name.Line;
  if (!Arguments(node)) return false;
  Token end = lex_.Take();
  if (IsPunct(end, ';')) return true;
  if (!IsPunct(end, '{')) return Fail(end, "\";\" or \"{\" expected after " + node->Name + ", found " + Describe(end));
  if (!Deeper(end)) return false;
  node->bBlock = true;
  if (!Commands(&node->Block, true)) return false;
  lex_.Take();   // the "}"
  --depth_;
  return true;
}

// Arguments, then at most one test or a test list.
bool Parser::Arguments(SieveNode *node) {
  for (;;) {
    const Token &t = lex_.Peek();
    if (t.Kind == Tok::Bad) return false;
    SieveArg arg;
    arg.Line = t.Line;
    if (t.Kind == Tok::Tag) {
      arg.Kind = SieveArgKind::Tag;
      arg.Tag = lex_.Take().Text;
    } else if (t.Kind == Tok::Number) {
      arg.Kind = SieveArgKind::Number;
      arg.Number = lex_.Take().Number;
    } else if (t.Kind == Tok::String || IsPunct(t, '[')) {
      if (!StringList(&arg)) return false;
    } else {
      break;
    }
    if (!node->Tests.empty()) return Fail(t, "argument after a test");
    node->Args.push_back(std::move(arg));
  }
  const Token &t = lex_.Peek();
  if (t.Kind == Tok::Identifier) {
    node->Tests.emplace_back();
    return Deeper(t) && Test(&node->Tests.back()) && (--depth_, true);
  }
  if (!IsPunct(t, '(')) return true;
  Token open = lex_.Take();
  if (!Deeper(open)) return false;
  node->bTestList = true;
  for (;;) {
    node->Tests.emplace_back();
    if (!Test(&node->Tests.back())) return false;
    Token sep = lex_.Take();
    if (IsPunct(sep, ')')) break;
    if (!IsPunct(sep, ',')) return Fail(sep, "\",\" or \")\" expected in a test list, found " + Describe(sep));
  }
  --depth_;
  return true;
}

bool Parser::Test(SieveNode *node) {
  Token name = lex_.Take();
  if (name.Kind != Tok::Identifier) return Fail(name, "test expected, found " + Describe(name));
  node->Name = name.Text;
  node->Line = name.Line;
  return Arguments(node);
}

bool Parser::StringList(SieveArg *arg) {
  Token t = lex_.Take();
  if (t.Kind == Tok::String) {
    arg->Kind = SieveArgKind::String;
    arg->Strings.push_back(std::move(t.Text));
    return true;
  }
  arg->Kind = SieveArgKind::StringList;
  for (;;) {
    Token s = lex_.Take();
    if (s.Kind != Tok::String) return Fail(s, "string expected in a list, found " + Describe(s));
    if (arg->Strings.size() >= kSieveMaxListItems) return Fail(s, "string list too long");
    arg->Strings.push_back(std::move(s.Text));
    Token sep = lex_.Take();
    if (IsPunct(sep, ']')) return true;
    if (!IsPunct(sep, ',')) return Fail(sep, "\",\" or \"]\" expected in a string list, found " + Describe(sep));
  }
}

}  // namespace

bool SieveParse(std::string_view text, size_t maxBytes, uint32_t maxNesting,
                std::vector<SieveNode> *commands, SieveError *error) {
  commands->clear();
  if (text.size() > maxBytes) {
    error->Line = 0;
    error->Text = "script too large (limit " + std::to_string(maxBytes) + " bytes)";
    return false;
  }
  if (!IsValidUtf8(text)) {
    // The line of the first bad byte, so the user can find it.
    error->Line = 1;
    for (size_t pos = 0; pos < text.size();) {
      if (text[pos] == '\n') ++error->Line;
      if (NextUtf8(text, &pos) < 0) break;
    }
    error->Text = "script is not valid UTF-8";
    return false;
  }
  Parser parser(text, maxNesting);
  if (parser.Commands(commands, false)) return true;
  *error = parser.Error();
  return false;
}
