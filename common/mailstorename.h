// mailstorename: folder names and the directories that hold them.
//
// A folder name is UTF-8 with "/" between its components. INBOX (any case,
// as the whole name or as its first component) is the mailbox directory M
// itself; every other folder is a directory below M, one directory per
// component, each named "+" and the component, with "%", the bytes below
// 0x20 and 0x7F written "%XX" (upper-case hex). So "Archive/2024" is
// "+Archive/+2024" below M. No message file, control file, lock file or
// temporary file starts with "+", so a folder can never take the name of
// anything else in a mailbox, and no component can be "." or "..".
//
// INBOX's children ("INBOX/Lists") live in the directory "+INBOX", which
// is never a folder itself (INBOX is M). A child named "INBOX" below
// INBOX ("INBOX/INBOX") is an ordinary folder: only the whole name and the
// first component are the special INBOX (RFC 9051 5.1 reserves the name
// INBOX, not the component); the rest of every name is case-sensitive.
//
// Refused (ParseFolderName false, nothing created): an empty name or
// component (a leading, trailing or doubled "/"), bytes that are not UTF-8
// (overlong forms, surrogates, above U+10FFFF, NUL), a component longer
// than kMaxFolderComponentBytes once encoded, more than kMaxFolderDepth
// components, a name over kMaxFolderNameBytes.
//
// Callers: common/mailstore (every folder operation), zeladm. Names come
// from IMAP clients (after the protocol's own decoding) and from directory
// entries; both are untrusted and parsed bounded. Pure functions;
// thread-safe. Fuzz target: tests/fuzz/fuzz_foldername.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A component's directory name (its "+" included) is at most this long:
// file systems allow 255 bytes, and three bytes per escaped byte must fit.
constexpr size_t kMaxFolderComponentBytes = 200;
// Levels of folders in folders: more than any mail program shows.
constexpr size_t kMaxFolderDepth = 16;
// A whole name (UTF-8): far beyond any real one, and within what a path
// below the mailbox may take.
constexpr size_t kMaxFolderNameBytes = 1024;

constexpr char kFolderDelimiter = '/';
constexpr char kFolderDirPrefix = '+';
constexpr std::string_view kInboxName = "INBOX";

// A name taken apart: its canonical spelling (INBOX upper-cased) and the
// directory names below M, one per component ("" for INBOX itself).
struct FolderPath {
  std::string Name;
  std::vector<std::string> Dirs;
  bool IsInbox() const { return Dirs.empty(); }
};

// Parses an untrusted folder name. False when it is refused (see above).
bool ParseFolderName(std::string_view name, FolderPath &out);

// The component's directory name ("+" and the escaped bytes); "" when the
// component cannot be one.
std::string EncodeFolderComponent(std::string_view component);
// A directory name back to its component: false for a name that is not a
// folder's ("+" missing, a bad or lower-case escape, a byte that should
// have been escaped, not UTF-8, "/" inside, too long).
bool DecodeFolderComponent(std::string_view dirName, std::string &component);

// The parent of a canonical name ("" at the top level).
std::string ParentFolderName(std::string_view name);
