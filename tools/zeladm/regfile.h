// regfile: the regedit text format, read and written by `zeladm reg import`
// and `zeladm reg export`.
//
// A file starts with "Windows Registry Editor Version 5.00" or "REGEDIT4",
// then holds sections "[HKEY_LOCAL_MACHINE\path]" (create the key) or
// "[-HKEY_LOCAL_MACHINE\path]" (delete it with everything below), each
// followed by value lines: "name"="text" (escapes \\ and \"), @= for the
// default value, "name"=dword:hhhhhhhh, "name"=hex:.. (binary),
// "name"=hex(N):.. (type N; hex(2) expand_sz, hex(7) multi_sz), "name"=-
// (delete the value). Hex lists continue over lines ending in "\". Lines
// starting with ";" are comments. In version 5.00 files the hex forms of
// string types hold UTF-16LE, which is converted to and from our 8-bit
// (UTF-8) strings; REGEDIT4 files hold the bytes themselves. A file may be
// UTF-16LE itself (with its byte-order mark), as regedit writes them.
//
// The input is untrusted: ParseRegFile is a pure function from a bounded byte
// view to a list of operations, or an error with its line number; nothing is
// applied here. The formatter writes version 5.00 and never fails on what the
// parser produced (the fuzz target checks that the two round-trip).
// Bytes that are not UTF-8 survive the round trip: they travel through
// UTF-16 as lone surrogates U+DC80..U+DCFF, and come back as the same bytes.
// No state; all functions are thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

// Largest file import reads: a whole configuration is a few hundred KiB.
constexpr size_t kMaxRegFileSize = 16 * 1024 * 1024;
// Longest physical line: a 1 MiB string value as unwrapped UTF-16 hex
// ("xx," per byte) is 6 MiB.
constexpr size_t kMaxRegFileLine = 8 * 1024 * 1024;

enum class RegFileOpKind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };

struct RegFileOp {
  RegFileOpKind kind = RegFileOpKind::kCreateKey;
  size_t key = 0;    // index into RegFile::keys
  std::string name;  // value name; "" is the key's default value
  DWORD type = REG_NONE;
  std::string data;  // the value's bytes as stored (strings with their NULs)
  size_t line = 0;   // 1-based line where the operation was written
};

struct RegFile {
  std::vector<std::string> keys;  // paths below HKEY_LOCAL_MACHINE ("" = the root itself)
  std::vector<RegFileOp> ops;     // in file order
};

struct RegFileError {
  size_t line = 0;  // 1-based; 0 when the error is about the file as a whole
  std::string message;
};

// Parses a whole file; at most maxSize bytes (and never more than
// kMaxRegFileSize) are accepted. On failure out is unspecified and err tells
// the first problem.
bool ParseRegFile(std::string_view text, size_t maxSize, RegFile &out, RegFileError &err);

// Writes file as a version 5.00 file. False (with err.message) only for
// names that the format cannot hold: a line break in a key or value name.
bool FormatRegFile(const RegFile &file, std::string &out, RegFileError &err);

// "HKEY_LOCAL_MACHINE\a\b" or "HKLM\a\b" (root name in any case, trailing
// backslashes tolerated) to "a\b"; "" for the root itself. False with a
// message for another root or a bad path.
bool ParseRegRootPath(std::string_view full, std::string &path, std::string &error);
// "a\b" to "HKEY_LOCAL_MACHINE\a\b".
std::string FullRegPath(std::string_view path);

// UTF-8 to UTF-16LE; bytes that are not UTF-8 become U+DC80..U+DCFF.
std::string Utf8ToUtf16Le(std::string_view in);
// UTF-16LE to UTF-8, turning U+DC80..U+DCFF back into bytes. False for an odd
// length or another unpaired surrogate; out then holds what was converted.
bool Utf16LeToUtf8(std::string_view in, std::string &out);
