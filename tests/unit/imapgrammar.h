// A strict reader of the IMAP grammar of ENVELOPE and BODY/BODYSTRUCTURE
// (RFC 9051 section 9, RFC 3501 for rev1's message/global), for the unit
// tests and the fuzz targets: a text the server would send must read whole.
// Also checks what the grammar leaves to prose: group markers pair, a
// mailbox has a mailbox name and a host, a literal holds no NUL.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

class ImapGrammar {
 public:
  ImapGrammar(std::string_view text, bool rev2) : t_(text), rev2_(rev2) {}

  static bool Envelope(std::string_view text) {
    ImapGrammar g(text, true);
    return g.ReadEnvelope() && g.p_ == text.size();
  }
  static bool Body(std::string_view text, bool extensible, bool rev2) {
    ImapGrammar g(text, rev2);
    return g.ReadBody(extensible, 0) && g.p_ == text.size();
  }

 private:
  bool Eat(std::string_view s) {
    if (t_.substr(p_, s.size()) != s) return false;
    p_ += s.size();
    return true;
  }
  bool Number() {
    size_t start = p_;
    while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
    return p_ > start;
  }
  // A string; *value receives its bytes.
  bool String(std::string *value = nullptr) {
    std::string v;
    if (Eat("\"")) {
      while (p_ < t_.size() && t_[p_] != '"') {
        char c = t_[p_++];
        if (c == '\\') {
          if (p_ >= t_.size() || (t_[p_] != '"' && t_[p_] != '\\')) return false;
          c = t_[p_++];
        }
        if (c == '\0' || c == '\r' || c == '\n' || static_cast<unsigned char>(c) >= 0x80) return false;
        v += c;
      }
      if (!Eat("\"")) return false;
    } else if (Eat("{")) {
      size_t start = p_;
      if (!Number() || !Eat("}\r\n")) return false;
      size_t n = std::stoul(std::string(t_.substr(start, p_ - 3 - start)));
      if (t_.size() - p_ < n) return false;
      v.assign(t_.substr(p_, n));
      if (v.find('\0') != std::string::npos) return false;
      p_ += n;
    } else {
      return false;
    }
    if (value != nullptr) *value = v;
    return true;
  }
  bool NString(bool *nil = nullptr, std::string *value = nullptr) {
    bool isNil = Eat("NIL");
    if (nil != nullptr) *nil = isNil;
    return isNil || String(value);
  }
  bool Address(int *groupDepth) {
    bool nameNil, adlNil, mailboxNil, hostNil;
    if (!Eat("(") || !NString(&nameNil) || !Eat(" ") || !NString(&adlNil) || !Eat(" ") ||
        !NString(&mailboxNil) || !Eat(" ") || !NString(&hostNil) || !Eat(")"))
      return false;
    if (!hostNil) return !mailboxNil;
    if (!mailboxNil) return ++*groupDepth == 1 && nameNil && adlNil;
    return --*groupDepth == 0 && nameNil && adlNil;
  }
  bool AddressList() {
    if (Eat("NIL")) return true;
    if (!Eat("(")) return false;
    int groups = 0;
    do {
      if (!Address(&groups)) return false;
    } while (!Eat(")"));
    return groups == 0;
  }
  bool ReadEnvelope() {
    if (!Eat("(") || !NString() || !Eat(" ") || !NString()) return false;
    for (int i = 0; i < 6; ++i)
      if (!Eat(" ") || !AddressList()) return false;
    return Eat(" ") && NString() && Eat(" ") && NString() && Eat(")");
  }
  bool Params() {
    if (Eat("NIL")) return true;
    if (!Eat("(") || !String() || !Eat(" ") || !String()) return false;
    while (Eat(" "))
      if (!String() || !Eat(" ") || !String()) return false;
    return Eat(")");
  }
  bool Extensions() {
    bool ok = Eat(" ") && (Eat("NIL") || (Eat("(") && String() && Eat(" ") && Params() && Eat(")")));
    if (!ok || !Eat(" ")) return false;
    if (Eat("(")) {
      do {
        if (!String()) return false;
      } while (Eat(" "));
      if (!Eat(")")) return false;
    } else if (!NString()) {
      return false;
    }
    return Eat(" ") && NString();
  }
  static bool Same(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }
  bool ReadBody(bool extensible, int depth) {
    if (depth > 100 || !Eat("(")) return false;
    if (t_.substr(p_, 1) == "(") {
      do {
        if (!ReadBody(extensible, depth + 1)) return false;
      } while (t_.substr(p_, 1) == "(");
      if (!Eat(" ") || !String()) return false;
      if (extensible && !(Eat(" ") && Params() && Extensions())) return false;
      return Eat(")");
    }
    std::string type, subtype;
    if (!String(&type) || !Eat(" ") || !String(&subtype) || !Eat(" ") || !Params() || !Eat(" ") ||
        !NString() || !Eat(" ") || !NString() || !Eat(" ") || !String() || !Eat(" ") || !Number())
      return false;
    bool message = Same(type, "MESSAGE") && (Same(subtype, "RFC822") || (rev2_ && Same(subtype, "GLOBAL")));
    if (message && !(Eat(" ") && ReadEnvelope() && Eat(" ") && ReadBody(extensible, depth + 1) && Eat(" ") && Number()))
      return false;
    if (Same(type, "TEXT") && !(Eat(" ") && Number())) return false;
    if (extensible && !(Eat(" ") && NString() && Extensions())) return false;
    return Eat(")");
  }

  std::string_view t_;
  size_t p_ = 0;
  bool rev2_;
};
