// sieveedit: the header edits of Sieve's editheader extension (RFC 5293):
// a field added at the top or the bottom of the header, fields deleted by
// name, position and value.
//
// Callers: the interpreter (sieverun) on its copy of the header block (every
// field with its line end). Names and values come from scripts and from
// the message: a name must be a valid field name, a value is unfolded
// text whose line breaks become spaces and whose non-ASCII text is written
// as RFC 2047 encoded words, so an edit never breaks the header. The trace
// fields a later hop relies on (Received, Auto-Submitted) are never added
// or deleted: such an edit does nothing, as RFC 5293 lets a server choose.
// Pure; thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Is name a field name (printable ASCII but ":", at most this long)?
constexpr size_t kSieveMaxFieldName = 997;
bool SieveIsFieldName(std::string_view name);

// Is the field one that scripts may not add or delete?
bool SieveFieldIsProtected(std::string_view name);

// Adds "name: value" at the top of the header, or at the end with last.
// False (nothing changed) for a protected field.
bool SieveAddHeader(std::string *header, std::string_view name, std::string_view value, bool last);

// Deletes the fields named name whose decoded value the caller's test
// accepts; index (1-based, 0 for all) picks one occurrence counted from the
// top, or from the bottom with fromEnd. The count of deleted fields.
size_t SieveDeleteHeader(std::string *header, std::string_view name, uint32_t index, bool fromEnd,
                         const std::function<bool(std::string_view value)> &accept);

// The decoded values of the fields named name, top to bottom: unfolded,
// encoded words decoded, white space at both ends dropped.
void SieveHeaderValues(std::string_view header, std::string_view name,
                       const std::function<void(std::string_view value)> &each);
