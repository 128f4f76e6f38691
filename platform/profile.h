// profile: a mail user's own files: reading values from profile (INI)
// files, the format of the control file ZEL.CTL, and opening the other
// files of a mailbox directory safely.
//
//   ; comment
//   [AutoReply]
//   EchoMessage = yes
//   ReplyFrom = "Holiday desk" <desk@example.org>
//
// The rules are those of the classic profile reader: section and key names
// compare without regard to (ASCII) case; the first section of the wanted
// name is the only one searched, and its first line with the wanted key
// wins; names and values are trimmed of blanks, and a value wrapped in a
// pair of matching quotes (" or ') loses them; a value is cut to the
// caller's size; a missing file, section or key gives the default. Lines
// end in LF or CR LF; a line whose first non-blank character is ";" is a
// comment; a "[" line without "]" and a line without "=" are ignored; a
// UTF-8 byte order mark at the start is skipped.
//
// Callers: local delivery (ZELDELIV/local) reads a user's control file at
// every delivery. The file belongs to the user and is untrusted: only its
// first kMaxProfileFileBytes are read, a longer line counts with its first
// kMaxProfileLine characters, and no byte value can make the reader fail.
//
// The delivery agent may run with more rights than the user who owns a
// mailbox, so a user's file is opened only when it is a regular file and
// not through a symbolic link (OpenUserFile): a link to another file must
// not make the agent read it into a reply or append to it, and a FIFO must
// not block a delivery.
//
// Thread-safe; no state. Failures are not reported: an unreadable file is a
// missing file and gives the default.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A control file holds a handful of short lines; what lies beyond this is
// not read (a user's mistake must not make every delivery read megabytes).
constexpr size_t kMaxProfileFileBytes = 64 * 1024;
// The longest line considered; the rest of a longer line is ignored.
constexpr size_t kMaxProfileLine = 4096;
// The classic value buffer: 261 bytes, so at most 260 characters.
constexpr size_t kMaxProfileValue = 260;

// Looks key up in section of the profile text (its first maxBytes bytes).
// True with the value (not yet cut) when the key was found.
bool FindProfileValue(std::string_view text, size_t maxBytes, std::string_view section,
                      std::string_view key, std::string &value);

// The first kMaxProfileFileBytes of the open file fd ("" when fd is -1 or
// cannot be read); fd stays open.
std::string ReadProfileText(int fd);
// The user's files of a mailbox directory: the control file, the text of
// the automatic reply, the addresses never answered (by To or Cc) and
// those answered once for all.
constexpr const char *kControlFileName = "ZEL.CTL";
constexpr const char *kAutoReplyFileName = "AUTORPLY.TXT";
constexpr const char *kNoReplyFileName = "NOREPLY.TXT";
constexpr const char *kRepliedFileName = "REPLIED.TXT";

// A profile's truth value: "TRUE"/"YES"/"1" true, "FALSE"/"NO"/"0" false
// (any case), else def.
bool BoolFromString(std::string_view value, bool def);

// The value of key in section of a profile text, or def when the section or
// the key is missing; cut to maxChars characters.
std::string GetProfileString(std::string_view text, std::string_view section,
                             std::string_view key, std::string_view def, size_t maxChars);

// The value of key in section of the profile file at path, or def when the
// file, the section or the key is missing; cut to maxChars characters.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, size_t maxChars,
                                    const std::string &path);

// Opens a file of a mailbox directory for reading, or for appending
// (created 0644 when missing), refusing a symbolic link at the last
// component and anything but a regular file. The descriptor, or -1 with the
// thread's last error (ELOOP for a link, EINVAL for a non-regular file).
int OpenUserFile(const std::string &path, bool append);
