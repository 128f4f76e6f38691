// dkimcmd: see dkimcmd.h.
#include "tools/zeladm/dkimcmd.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/dkim.h"
#include "common/mimestuff.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/hostsetup.h"
#include "platform/privilege.h"
#include "platform/textfile.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/dnsrecords.h"
#include "tools/zeladm/tlscmd.h"

namespace {

// The key directories: the service account passes them through its group.
constexpr mode_t kKeyDirectoryMode = 0750;
constexpr mode_t kKeyMode = 0600;          // 0640 once shared with the group
constexpr mode_t kSigningFileMode = 0644;  // names selectors, which DNS shows anyway
// A message verify reads: the receiver's default MaxMessageSize.
constexpr size_t kMaxVerifyMessage = 50u * 1024 * 1024;
constexpr const char *kTempPrefix = ".zeladm-dkim-";

struct Options {
  std::string domain, selector;
  std::vector<SigningKeyType> types{SigningKeyType::kRsa, SigningKeyType::kEd25519};
};

bool ParseOptions(int argc, char **argv, bool algorithm, Options &o) {
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return AdmUsage(option + " needs a value"), false;
    std::string value = argv[i + 1];
    if (option == "--domain") {
      if (!value.empty() && value.back() == '.') value.pop_back();
      o.domain = LowerAsciiCopy(value);
      if (!IsDkimDomain(o.domain))
        return AdmUsage("\"" + AdmPrintable(value) + "\" is not a domain name"), false;
    } else if (option == "--selector") {
      // "-ed25519" may be added: the whole must stay a selector.
      if (!IsDkimSelector(value + "-ed25519"))
        return AdmUsage("\"" + AdmPrintable(value) + "\" is not a selector"), false;
      o.selector = value;
    } else if (option == "--algorithm" && algorithm) {
      if (value == "rsa") o.types = {SigningKeyType::kRsa};
      else if (value == "ed25519") o.types = {SigningKeyType::kEd25519};
      else if (value != "both") return AdmUsage("--algorithm is rsa, ed25519 or both"), false;
    } else {
      return AdmUsage("unknown option \"" + AdmPrintable(option) + "\""), false;
    }
  }
  if (o.domain.empty()) return AdmUsage("--domain DOMAIN is required"), false;
  return true;
}

// The selector of each type for the base name: base itself for one type,
// base-rsa and base-ed25519 for two.
std::string SelectorFor(const std::string &base, SigningKeyType type, size_t types) {
  return types == 1 ? base : base + "-" + DkimKeyTypeName(type);
}

bool Taken(const Options &o, const std::string &base) {
  for (SigningKeyType type : o.types)
    for (SigningKeyType any : {SigningKeyType::kRsa, SigningKeyType::kEd25519})
      if (FileExists(DkimKeyPath(o.domain, SelectorFor(base, type, o.types.size()), any)))
        return true;
  return false;
}

// The month's name, or a longer one when a key of it exists already.
std::string DefaultSelector(const Options &o) {
  time_t now = time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  std::string name;
  for (const char *format : {"z%Y%m", "z%Y%m%d", "z%Y%m%d%H%M%S"}) {
    char text[32];
    strftime(text, sizeof text, format, &tm);
    name = text;
    if (!Taken(o, name)) break;
  }
  return name;
}

int MakeDirectories(const std::string &domain, bool share, gid_t group) {
  for (const std::string &dir : {DkimKeyDirectory(), DkimDomainDirectory(domain)}) {
    if (!CreateSystemDirectories(dir, kKeyDirectoryMode))
      return AdmFailed("cannot create " + dir, GetLastError());
    if (share && !OpenDirectoryToGroup(dir, group))
      return AdmFailed("cannot open " + dir + " to the service account", GetLastError());
  }
  return kAdmExitOk;
}

// A key appears whole under its name, never over another file.
int WriteKey(const std::string &path, const std::string &pem, bool share, gid_t group) {
  DurableFile f;
  if (!f.Create(path, kTempPrefix, kKeyMode, "wb") ||
      (share && !ShareFileWithGroup(f.Stream().Fd(), group)) || !f.Stream().Write(pem) ||
      !f.Commit() || !f.Rename(true))
    return AdmFailed("cannot write " + path, GetLastError());
  return kAdmExitOk;
}

int WriteSigningFile(const std::string &domain, const std::vector<DkimSigningSelector> &signing) {
  const std::string path = DkimDomainDirectory(domain) + "/" + kDkimSigningFileName;
  DurableFile f;
  if (!f.Create(path, kTempPrefix, kSigningFileMode, "wb") ||
      !f.Stream().Write(FormatDkimSigningFile(signing)) || !f.Publish() ||
      !SyncDirectory(DkimDomainDirectory(domain)))
    return AdmFailed("cannot write " + path, GetLastError());
  return kAdmExitOk;
}

// Every key of the domain with its record: the signing ones first.
int PrintRecords(const std::string &domain) {
  std::vector<DkimPublishedKey> keys;
  std::vector<std::string> unreadable;
  if (!ListDkimPublishedKeys(domain, keys, &unreadable))
    return AdmFailed("cannot list the keys of " + domain, GetLastError());
  for (const std::string &why : unreadable)
    std::fprintf(stderr, "zeladm: not a key: %s\n", AdmPrintable(why).c_str());
  if (keys.empty()) {
    std::fprintf(stderr, "zeladm: %s has no keys ('zeladm dkim new')\n", domain.c_str());
    return kAdmExitFailure;
  }
  std::fputs(ZoneText(DkimKeyRecords(domain, keys)).c_str(), stdout);
  return kAdmExitOk;
}

// Makes a key of each type under base's selectors and lets them sign.
int MakeKeys(const Options &o, const std::string &base) {
  if (Taken(o, base)) return AdmUsage("the selector " + base + " has keys already"), kAdmExitFailure;
  uid_t reader = 0;
  gid_t group = 0;
  const bool share = ServiceAccountKeyReader(&reader, &group);
  if (int status = MakeDirectories(o.domain, share, group); status != kAdmExitOk) return status;
  std::vector<DkimSigningSelector> signing;
  bool missing = false;
  ReadDkimSigningSelectors(o.domain, signing, &missing);
  for (SigningKeyType type : o.types) {
    std::string pem, why;
    if (!MakeSigningKey(type, pem, why)) {
      std::fprintf(stderr, "zeladm: cannot make the key: %s\n", why.c_str());
      return kAdmExitFailure;
    }
    const std::string selector = SelectorFor(base, type, o.types.size());
    if (int status = WriteKey(DkimKeyPath(o.domain, selector, type), pem, share, group);
        status != kAdmExitOk)
      return status;
    std::erase_if(signing, [type](const DkimSigningSelector &s) { return s.Type == type; });
    signing.push_back({type, selector});
  }
  if (!SyncDirectory(DkimDomainDirectory(o.domain)))
    return AdmFailed("cannot sync " + DkimDomainDirectory(o.domain), GetLastError());
  if (int status = WriteSigningFile(o.domain, signing); status != kAdmExitOk) return status;
  return PrintRecords(o.domain);
}

int New(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, true, o)) return kAdmExitUsage;
  return MakeKeys(o, o.selector.empty() ? DefaultSelector(o) : o.selector);
}

int Rotate(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, false, o)) return kAdmExitUsage;
  std::vector<DkimSigningSelector> signing;
  bool missing = false;
  if (!ReadDkimSigningSelectors(o.domain, signing, &missing) || signing.empty()) {
    std::fprintf(stderr, "zeladm: %s has no signing keys to rotate ('zeladm dkim new')\n",
                 o.domain.c_str());
    return kAdmExitFailure;
  }
  o.types.clear();
  for (const DkimSigningSelector &s : signing) o.types.push_back(s.Type);
  return MakeKeys(o, o.selector.empty() ? DefaultSelector(o) : o.selector);
}

int Retire(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, false, o)) return kAdmExitUsage;
  if (o.selector.empty()) return AdmUsage("--selector SELECTOR is required");
  std::vector<DkimSigningSelector> signing;
  bool missing = false;
  ReadDkimSigningSelectors(o.domain, signing, &missing);
  for (const DkimSigningSelector &s : signing)
    if (s.Selector == o.selector) {
      std::fprintf(stderr, "zeladm: %s signs now; rotate first\n", o.selector.c_str());
      return kAdmExitFailure;
    }
  int removed = 0;
  for (SigningKeyType type : {SigningKeyType::kRsa, SigningKeyType::kEd25519}) {
    const std::string path = DkimKeyPath(o.domain, o.selector, type);
    if (!FileExists(path)) continue;
    if (!DeleteFile(path)) return AdmFailed("cannot delete " + path, GetLastError());
    ++removed;
  }
  if (removed == 0) {
    std::fprintf(stderr, "zeladm: %s has no key %s\n", o.domain.c_str(), o.selector.c_str());
    return kAdmExitFailure;
  }
  SyncDirectory(DkimDomainDirectory(o.domain));
  std::printf("retired %s; remove the TXT record %s._domainkey.%s.\n", o.selector.c_str(),
              o.selector.c_str(), o.domain.c_str());
  return kAdmExitOk;
}

int Show(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, false, o)) return kAdmExitUsage;
  return PrintRecords(o.domain);
}

int Verify(int argc, char **argv) {
  std::string text, file, why;
  TextFile in;
  bool opened = argc > 1 ? in.Open(argv[1], "rb") : in.Attach(dup(0), "rb");
  if (!opened || !in.ReadAll(text, kMaxVerifyMessage))
    return AdmFailed(argc > 1 ? std::string("cannot read ") + AdmPrintable(argv[1])
                              : "cannot read standard input",
                     GetLastError());
  MimeFileFromText(text, &file);
  std::vector<DnsServerAddress> servers;
  if (long rc = ReadNameServerList(servers); rc != ERROR_SUCCESS)
    return AdmFailed("cannot read NameServer", rc);
  std::vector<DkimCheck> checks;
  if (!DkimVerify(MessageSource{file}, NameServerTxtLookup(servers), &checks, &why)) {
    std::fprintf(stderr, "zeladm: %s\n", why.c_str());
    return kAdmExitFailure;
  }
  if (checks.empty()) std::printf("dkim=none\n");
  bool passed = false;
  for (const DkimCheck &c : checks) {
    passed = passed || c.Result == DkimResult::kPass;
    std::printf("dkim=%s header.d=%s header.s=%s header.a=%s header.b=%s%s\n",
                DkimResultName(c.Result), AdmPrintable(c.Domain).c_str(),
                AdmPrintable(c.Selector).c_str(), AdmPrintable(c.Algorithm).c_str(),
                AdmPrintable(c.HeaderB).c_str(),
                c.Reason.empty() ? "" : (" (" + AdmPrintable(c.Reason) + ")").c_str());
  }
  return passed ? kAdmExitOk : kAdmExitFailure;
}

const AdmCommand kDkimCommands[] = {
    {"new", "--domain D [--selector S] [--algorithm rsa|ed25519|both]",
     "make the domain's signing keys and print their DNS records", 2, 6, New},
    {"rotate", "--domain D [--selector S]",
     "make new keys that sign from now on; the old ones stay published", 2, 4, Rotate},
    {"retire", "--domain D --selector S", "delete keys that no longer sign", 4, 4, Retire},
    {"show", "--domain D", "print the DNS records of the domain's keys", 2, 2, Show},
    {"verify", "[FILE]", "check the DKIM signatures of a message (NameServer gives the keys)", 0,
     1, Verify},
};

}  // namespace

int RunDkimCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm dkim", kDkimCommands, argc - 1, argv + 1);
}
