// dkimkeys: where the DKIM signing keys live and which of them sign.
//
//   $ZEL_ROOT/etc/zel/dkim/<domain>/<selector>.rsa.pem       RSA-2048 key
//   $ZEL_ROOT/etc/zel/dkim/<domain>/<selector>.ed25519.pem   Ed25519 key
//   $ZEL_ROOT/etc/zel/dkim/<domain>/signing                  which selectors sign
//
// The keys are root:zel 0640 (the processes that sign run as the service
// account: docs/security.md); the directories 0750 root:zel. A key file on
// disk is a published key (its record stays in DNS); the "signing" file
// names, per algorithm, the one selector that signs now: lines
// "rsa SELECTOR" and "ed25519 SELECTOR", written whole under a temporary
// name and renamed, so a reader sees the old list or the new one. zeladm's
// dkim commands write all of it; the receiver and the delivery agent only
// read it, at every message they sign (a rotation needs no reload).
//
// Untrusted input: the domain asked for comes from a message's From field,
// so it is checked as a host name (letters, digits, "-", single dots)
// before it becomes part of a path; the files are the administrator's, read
// bounded (kMaxDkimSigningFile, kMaxSigningKeyPem) and parsed strictly.
//
// Pure functions and file reads: thread-safe. Failures: false, or an empty
// list; ReadDkimSigningKeys says why in *why for the event.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/signkey.h"

// Two lines of a short name each: a file beyond this is not ours.
constexpr size_t kMaxDkimSigningFile = 4096;
// A selector is one or more DNS labels; with "._domainkey." and the domain
// the whole name must stay within 253 characters, so a short bound suffices.
constexpr size_t kMaxDkimSelector = 63;
constexpr const char *kDkimSigningFileName = "signing";

struct DkimSigningKey {
  std::string Domain;       // lower case
  std::string Selector;
  SigningKeyType Type = SigningKeyType::kRsa;
  std::string PrivateKeyPem;
};

// "rsa" or "ed25519": the file name's part and the "signing" file's word.
const char *DkimKeyTypeName(SigningKeyType type);

// The key directory and a domain's directory below it.
std::string DkimKeyDirectory();
std::string DkimDomainDirectory(std::string_view domain);
// <domain dir>/<selector>.<type>.pem
std::string DkimKeyPath(std::string_view domain, std::string_view selector, SigningKeyType type);

// A domain name that may name a key directory (case is the caller's: the
// directories are lower case) and a selector (one or more such labels, at
// most kMaxDkimSelector characters).
bool IsDkimDomain(std::string_view domain);
bool IsDkimSelector(std::string_view selector);

// One selector per type, in the "signing" file's order.
struct DkimSigningSelector {
  SigningKeyType Type = SigningKeyType::kRsa;
  std::string Selector;
};
// Parses the file's text: every line "TYPE SELECTOR"; false for any other
// line, a type named twice, or text over kMaxDkimSigningFile.
bool ParseDkimSigningFile(std::string_view text, std::vector<DkimSigningSelector> &out);
std::string FormatDkimSigningFile(const std::vector<DkimSigningSelector> &selectors);
// Reads a domain's "signing" file; false when it is missing (*missing set)
// or cannot be read or parsed.
bool ReadDkimSigningSelectors(std::string_view domain, std::vector<DkimSigningSelector> &out,
                              bool *missing);

// The text of the key's TXT record at <selector>._domainkey.<domain>:
// "v=DKIM1; k=rsa; p=..." (or k=ed25519).
std::string DkimKeyRecord(SigningKeyType type, std::string_view publicBase64);

// A domain's key directory holds a few keys per rotation; far fewer.
constexpr size_t kMaxDkimKeyFiles = 1000;

// A key on disk, so a key whose record must be in DNS: what `zeladm dkim
// show` and `zeladm dns` print.
struct DkimPublishedKey {
  std::string Selector;
  SigningKeyType Type = SigningKeyType::kRsa;
  std::string PublicKey;   // base64, the record's p=
  bool Signs = false;      // named in the "signing" file
};
// Every key of domain (as given: the caller checks and lower-cases it), the
// signing ones first. A missing directory is no keys (true). False when the
// directory cannot be listed; a file that is not a key of its name's type
// is left out and named in *unreadable (path and why, one per entry).
bool ListDkimPublishedKeys(std::string_view domain, std::vector<DkimPublishedKey> &out,
                           std::vector<std::string> *unreadable);

// The keys that sign for domain now (lower-cased here). An empty list and
// true: the domain has no keys (no directory, no "signing" file: nothing
// to sign, nothing to report). False with *why: the domain should sign but
// cannot (a file unreadable, a key that is not of its type); the keys that
// could be read are still in out.
bool ReadDkimSigningKeys(std::string_view domain, std::vector<DkimSigningKey> &out,
                         std::string *why);
