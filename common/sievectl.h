// sievectl: the Sieve script that does what a user's control file does, so
// that a user who switches to Sieve loses no rule (`zeladm sieve USER
// from-ctl` prints it).
//
// What maps: ForwardTo (the first address) to redirect, with :copy unless
// Discard is set (a redirect that cannot be written keeps a copy, as the
// control file's forward does); Discard without ForwardTo to discard; the
// automatic reply (AUTORPLY.TXT, or EchoMessage alone) to vacation with
// :days 1 (one reply per sender and day), the subject "Automatic reply",
// ReplyFrom as :from and AUTORPLY.TXT as the reason; the addresses of
// NOREPLY.TXT (To or Cc naming one: no reply) and of REPLIED.TXT (never
// answered again) to tests around it. What has no Sieve form is printed as
// a comment that says so: EchoMessage's quote of the message, RecordReplies
// (vacation remembers senders for :days, not for ever), and that vacation
// answers only mail addressed to the user, at the return path, where the
// control file answered any message at its Reply-To or From.
//
// Untrusted input: all four texts are the user's files, read bounded by the
// caller; every value becomes a quoted Sieve string (no text can end it),
// text that is not UTF-8 is read as ISO-8859-1, and at most
// kMaxCtlListAddresses addresses of each list are used.
//
// Callers: zeladm's sieve command; tests. No state.
#pragma once

#include <string>

// Addresses taken from NOREPLY.TXT or REPLIED.TXT: a script stays far below
// the script size limit with these.
constexpr size_t kMaxCtlListAddresses = 500;

// The user's files as read ("" for a missing one); bReplyText when
// AUTORPLY.TXT exists (an empty one still switches replies on).
struct ControlFileTexts {
  std::string Control;
  bool bReplyText = false;
  std::string ReplyText;
  std::string NoReply;
  std::string Replied;
};

// The script, starting with a comment line that says where it came from.
std::string SieveFromControlFile(const ControlFileTexts &files);
