// srs: the Sender Rewriting Scheme, so that mail this host forwards keeps
// passing the original sender's SPF at the next hop, and the bounces that
// come back to the rewritten address still reach the original sender.
//
// A forwarded message's envelope sender local@domain becomes
//
//   SRS0=HHHHHH=TT=domain=local@SRSDOMAIN
//
// (TT: the day, two base32 characters; HHHHHH: a keyed hash of TT, domain
// and local in base32), and a sender that is already another forwarder's
// SRS0 address, SRS0=hash=TT=domain=local@forwarder, becomes
//
//   SRS1=HHHHHH=forwarder==hash=TT=domain=local@SRSDOMAIN
//
// so that a bounce goes back through that forwarder, which alone can check
// its own hash. The null sender is never rewritten (there is nothing to
// bounce to), nor is a sender already at SRSDOMAIN. The hash is taken over
// the lower-cased text and compared without regard to case, since some
// hosts change the case of local parts on the way back.
//
// Callers: the delivery agent, when it forwards (aliases and forwarding to
// other hosts, list-free redirects), and the receiver, which checks a
// recipient address at SRSDOMAIN before it accepts a bounce for it.
// Input: the local part handed to SrsReverseAddress comes from a stranger's
// RCPT; it is bounded (kMaxSrsAddress) and every field checked, and an
// address that does not check out is forged or expired, never half used.
// Pure functions over their arguments apart from LoadSrsSecret: thread-safe.
#pragma once

#include <string>
#include <string_view>

// Longer addresses are refused outright: RFC 5321 allows 64 + 1 + 255, and
// rewriting adds the domain and 14 characters to the local part.
constexpr size_t kMaxSrsAddress = 512;
// Bounces come back within days; a rewritten address older than this is
// refused, so that a harvested one cannot relay forever.
constexpr int kSrsMaxAgeDays = 21;
// Base32 characters of the keyed hash: 30 bits, more than enough against
// guessing one address by sending bounces.
constexpr size_t kSrsHashLength = 6;
// The secret's size when this host makes it.
constexpr size_t kSrsSecretBytes = 32;

struct SrsSettings {
  std::string Secret;  // the key of the hashes
  std::string Domain;  // SrsDomain: the domain of rewritten addresses
};

// The sender of a message forwarded now (nowSeconds: seconds since the
// epoch), rewritten. False, with rewritten = sender, when it is not
// rewritten: the null sender, a sender at the SRS domain, an address
// without "@" or longer than kMaxSrsAddress, or a result that would be.
bool SrsForwardAddress(const SrsSettings &srs, std::string_view sender, long long nowSeconds,
                       std::string &rewritten);

enum class SrsVerdict {
  kNotSrs,   // does not start with SRS0= or SRS1=: an ordinary local part
  kValid,    // original holds where the bounce goes
  kForged,   // malformed, or the hash does not check out
  kExpired,  // a valid hash, but older than kSrsMaxAgeDays (or from the future)
};

// The address a bounce to localPart@SRSDOMAIN goes back to: the original
// sender for SRS0, the first forwarder's SRS0 address for SRS1.
SrsVerdict SrsReverseAddress(const SrsSettings &srs, std::string_view localPart,
                             long long nowSeconds, std::string &original);

// The secret's file below $ZEL_ROOT (root's, 0600).
constexpr const char *kSrsSecretPath = "/etc/zel/srs-secret";

// The suite's SrsDomain (empty: the caller's host name) and the secret at
// kSrsSecretPath, made when missing (its directory too). Root's work, at a
// service's start. False with why when the secret cannot be had.
bool LoadSuiteSrs(SrsSettings &srs, std::string &why);

// Reads the secret from path (root's, 0600, at least 16 bytes on its first
// line), making the file with kSrsSecretBytes of fresh random data (hex)
// when it does not exist. False with why otherwise.
bool LoadSrsSecret(const std::string &path, std::string &secret, std::string &why);
