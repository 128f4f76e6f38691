#include "common/mimeaddr.h"

#include <cstddef>

#include "common/mimeheader.h"

namespace {

struct Token {
  enum class Type { Atom, Quoted, Literal, Special, Comment };
  Type What;
  std::string_view Raw;     // as written (a comment without its outer parentheses)
  std::string Text;         // a quoted string's content, escapes undone
  bool bSpaceBefore = false;
  bool Is(char special) const { return What == Type::Special && Raw[0] == special; }
};

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsSpecial(char c) { return std::string_view("()<>[]:;@\\,.\"").find(c) != std::string_view::npos; }

std::vector<Token> Tokenize(std::string_view v) {
  std::vector<Token> tokens;
  bool space = false;
  size_t pos = 0;
  while (pos < v.size()) {
    char c = v[pos];
    if (IsWhite(c)) {
      space = true;
      ++pos;
      continue;
    }
    Token t{Token::Type::Atom, {}, {}, space};
    size_t end = pos + 1;
    if (c == '(') {
      end = MimeDelimitedEnd(v, pos, '(', ')', &t.Raw);
      t.What = Token::Type::Comment;
    } else if (c == '"') {
      std::string_view inner;
      end = MimeDelimitedEnd(v, pos, '"', '"', &inner);
      t.What = Token::Type::Quoted;
      t.Raw = v.substr(pos, end - pos);
      t.Text = MimeUnescape(inner);
    } else if (c == '[') {
      end = MimeDelimitedEnd(v, pos, '[', ']');
      t.What = Token::Type::Literal;
      t.Raw = v.substr(pos, end - pos);
    } else if (IsSpecial(c)) {
      t.What = Token::Type::Special;
      t.Raw = v.substr(pos, 1);
    } else {
      while (end < v.size() && !IsWhite(v[end]) && !IsSpecial(v[end])) ++end;
      t.Raw = v.substr(pos, end - pos);
    }
    // A comment separates words as white space does.
    space = t.What == Token::Type::Comment;
    tokens.push_back(std::move(t));
    pos = end;
  }
  return tokens;
}

using Span = std::vector<const Token *>;

// A display name: words with single spaces where the text had space or
// comments, quoted strings unquoted.
std::string PhraseText(const Span &span) {
  std::string out;
  for (const Token *t : span) {
    if (t->What == Token::Type::Comment) continue;
    if (t->bSpaceBefore && !out.empty()) out += ' ';
    out += t->What == Token::Type::Quoted ? std::string_view(t->Text) : t->Raw;
  }
  return out;
}

// A local part or domain as written, without comments and without the
// white space an obsolete form allows around its dots.
std::string AddressText(const Span &span) {
  std::string out;
  const Token *prev = nullptr;
  for (const Token *t : span) {
    if (t->What == Token::Type::Comment) continue;
    if (t->bSpaceBefore && prev != nullptr && !prev->Is('.') && !t->Is('.')) out += ' ';
    out += t->Raw;
    prev = t;
  }
  return out;
}

std::string FirstComment(const Span &span) {
  for (const Token *t : span) {
    if (t->What != Token::Type::Comment) continue;
    std::string_view text = t->Raw;
    while (!text.empty() && IsWhite(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhite(text.back())) text.remove_suffix(1);
    if (!text.empty()) return std::string(text);
  }
  return {};
}

void AddrSpec(const Span &span, MimeAddress *a) {
  size_t at = span.size();
  for (size_t i = 0; i < span.size(); ++i)
    if (span[i]->Is('@')) at = i;
  a->Mailbox = AddressText(Span(span.begin(), span.begin() + at));
  if (at < span.size()) a->Host = AddressText(Span(span.begin() + at + 1, span.end()));
}

MimeAddress ParseMailbox(const Span &span) {
  MimeAddress a;
  size_t open = span.size();
  for (size_t i = 0; i < span.size() && open == span.size(); ++i)
    if (span[i]->Is('<')) open = i;
  if (open == span.size()) {
    AddrSpec(span, &a);
    a.Name = FirstComment(span);
    return a;
  }
  a.Name = PhraseText(Span(span.begin(), span.begin() + open));
  size_t close = open + 1;
  while (close < span.size() && !span[close]->Is('>')) ++close;
  Span inside(span.begin() + open + 1, span.begin() + close);
  // An obsolete source route: "@a,@b:" before the address.
  size_t first = 0;
  while (first < inside.size() && inside[first]->What == Token::Type::Comment) ++first;
  if (first < inside.size() && inside[first]->Is('@')) {
    size_t colon = first;
    while (colon < inside.size() && !inside[colon]->Is(':')) ++colon;
    if (colon < inside.size()) {
      a.Route = AddressText(Span(inside.begin() + first, inside.begin() + colon));
      inside.erase(inside.begin(), inside.begin() + colon + 1);
    }
  }
  AddrSpec(inside, &a);
  if (a.Name.empty()) a.Name = FirstComment(span);
  return a;
}

bool HasWords(const Span &span) {
  for (const Token *t : span)
    if (t->What != Token::Type::Comment) return true;
  return false;
}

}  // namespace

std::vector<MimeAddress> MimeParseAddressList(std::string_view value) {
  std::vector<Token> tokens = Tokenize(value);
  std::vector<MimeAddress> out;
  bool inGroup = false;
  size_t i = 0;
  while (i < tokens.size() && out.size() + 2 < kMaxAddresses) {
    Span element;
    size_t j = i;
    for (; j < tokens.size(); ++j) {
      const Token &t = tokens[j];
      if (t.Is(',') || (t.Is(';') && inGroup) || (t.Is(':') && !inGroup)) break;
      element.push_back(&t);
      if (t.Is('<'))
        while (j + 1 < tokens.size() && !tokens[j].Is('>')) element.push_back(&tokens[++j]);
    }
    const Token *stop = j < tokens.size() ? &tokens[j] : nullptr;
    if (stop != nullptr && stop->Is(':')) {
      MimeAddress group;
      group.What = MimeAddress::Kind::GroupStart;
      group.Name = PhraseText(element);
      out.push_back(std::move(group));
      inGroup = true;
    } else {
      if (HasWords(element)) out.push_back(ParseMailbox(element));
      if (stop != nullptr && stop->Is(';')) {
        out.push_back({MimeAddress::Kind::GroupEnd, {}, {}, {}, {}});
        inGroup = false;
      }
    }
    i = j + 1;
  }
  if (inGroup) out.push_back({MimeAddress::Kind::GroupEnd, {}, {}, {}, {}});
  return out;
}
