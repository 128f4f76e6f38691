// mimeaddr: address lists of header fields (From, To, Cc, ...: RFC 5322
// mailboxes and groups) taken apart into display name, source route, local
// part and domain, as IMAP's ENVELOPE gives them.
//
// Callers: the ENVELOPE text (mimeimap); Sieve's address tests later. The
// value is an untrusted unfolded field value. Reading never fails: every
// comma-separated element gives a mailbox, whatever it holds (an element
// without "@" is a local part with an empty domain; a name without an
// address is kept as the local part), and the text stays raw (encoded
// words are not decoded; quotes around a display name are undone, those of
// a quoted local part kept, as the address needs them). A group that is
// not closed is closed at the end, so group markers always pair. Bounded
// by the value: at most kMaxAddresses entries. Pure; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Entries of one list kept (a To: of a thousand recipients fits).
constexpr size_t kMaxAddresses = 4096;

struct MimeAddress {
  enum class Kind { Mailbox, GroupStart, GroupEnd };
  Kind What = Kind::Mailbox;
  std::string Name;      // display name (a group's name for GroupStart); "" when none
  std::string Route;     // "@a,@b" of an obsolete source route; "" when none
  std::string Mailbox;   // the local part as written
  std::string Host;      // the domain as written ("" when there is none)
};

std::vector<MimeAddress> MimeParseAddressList(std::string_view value);
