// tlscmd: see tlscmd.h.
#include "tools/zeladm/tlscmd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/hostsetup.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/tls.h"
#include "tools/zeladm/acmecmd.h"
#include "tools/zeladm/admcmd.h"

namespace {

constexpr int kDefaultDays = 365;
// Ten years: beyond that a self-signed pair is forgotten, not renewed.
constexpr int kMaxDays = 3650;
constexpr mode_t kKeyMode = 0600;
constexpr mode_t kCertificateMode = 0644;
constexpr mode_t kDirectoryMode = 0755;
// A counter is read back as a signed number where a negative one means
// missing; it restarts at 1 instead of growing into that range.
constexpr DWORD kMaxCounter = 0x7FFFFFFF;

struct Options {
  std::string name, cert, key;
  int days = kDefaultDays;
};

// False (with the message printed) when the command line is wrong.
bool ParseOptions(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; i += 2) {
    const char *option = argv[i];
    if (i + 1 >= argc) return AdmUsage(std::string(option) + " needs a value"), false;
    const char *value = argv[i + 1];
    if (std::strcmp(option, "--name") == 0) {
      o.name = value;
      if (!o.name.empty() && o.name.back() == '.') o.name.pop_back();
      if (!IsTlsHostName(o.name))
        return AdmUsage("\"" + AdmPrintable(value) + "\" is not a host name"), false;
    } else if (std::strcmp(option, "--days") == 0) {
      long days = 0;
      if (!AdmNumber(value, 1, kMaxDays, days))
        return AdmUsage("--days must be a number from 1 to " + std::to_string(kMaxDays)), false;
      o.days = static_cast<int>(days);
    } else if (std::strcmp(option, "--cert") == 0 || std::strcmp(option, "--key") == 0) {
      if (value[0] != '/' || std::strlen(value) > kMaxTlsFilePath)
        return AdmUsage(std::string(option) + " must be an absolute path"), false;
      if (std::strcmp(option, "--cert") == 0)
        o.cert = value;
      else
        o.key = value;
    } else {
      return AdmUsage("unknown option \"" + AdmPrintable(option) + "\""), false;
    }
  }
  if (o.name.empty()) return AdmUsage("--name HOST is required"), false;
  if (o.cert.empty()) o.cert = ZelPath(kDefaultCertificatePath);
  if (o.key.empty()) o.key = ZelPath(kDefaultKeyPath);
  if (o.cert == o.key) return AdmUsage("--cert and --key must name different files"), false;
  return true;
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

long SetString(HKEY key, const char *name, const std::string &value) {
  return RegSetValueEx(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

}  // namespace

// Both files are written and synced under temporary names first, so a
// failure leaves the old pair (or nothing) behind; only then do they take
// their names, the key first. The directories made for them let everybody
// pass (0755, as /etc does): the certificate is public, and the key guards
// itself. A key the account reads gets root:group 0640 before it has its
// name, and the default directory, when it is closed to the account (made
// private by an older zeladm), is opened to its group.
int WriteTlsPair(const std::string &certPath, const std::string &keyPath,
                 const std::string &certificatePem, const std::string &keyPem) {
  uid_t reader = 0;
  gid_t group = 0;
  const bool shareKey = ServiceAccountKeyReader(&reader, &group);
  DurableFile key, certificate;
  struct Step {
    DurableFile &file;
    const std::string &path;
    const std::string &text;
    mode_t mode;
    bool share;
  } steps[] = {{key, keyPath, keyPem, kKeyMode, shareKey},
               {certificate, certPath, certificatePem, kCertificateMode, false}};
  for (Step &s : steps) {
    const std::string dir = DirectoryOf(s.path);
    if (!CreateSystemDirectories(dir, kDirectoryMode))
      return AdmFailed("cannot create the directory of " + s.path, GetLastError());
    bool passes = true;
    if (s.share && s.path == ZelPath(kDefaultKeyPath) &&
        AccountMayAccess(dir, reader, group, X_OK, passes) && !passes &&
        !OpenDirectoryToGroup(dir, group))
      return AdmFailed("cannot open " + dir + " to the service account", GetLastError());
    if (!s.file.Create(s.path, ".zeladm-tls-", s.mode, "wb") ||
        (s.share && !ShareFileWithGroup(s.file.Stream().Fd(), group)) ||
        !s.file.Stream().Write(s.text) || !s.file.Commit())
      return AdmFailed("cannot write " + s.path, GetLastError());
  }
  for (Step &s : steps) {
    if (!s.file.Rename() || !SyncDirectory(DirectoryOf(s.path)))
      return AdmFailed("cannot put " + s.path + " in place", GetLastError());
  }
  return kAdmExitOk;
}

// The two values and the bumped counter, all or nothing.
long SetTlsValues(const std::string &certPath, const std::string &keyPath) {
  RegTransaction tx(RegTransaction::kWrite);
  RegKey suite;
  long rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_ALL_ACCESS, suite.out(), nullptr);
  DWORD version = 0;
  QueryRegDword(suite.get(), "ConfigVersion", version);
  version = version >= kMaxCounter ? 1 : version + 1;
  if (rc == ERROR_SUCCESS) rc = SetString(suite.get(), kTlsCertificateFileValue, certPath);
  if (rc == ERROR_SUCCESS) rc = SetString(suite.get(), kTlsKeyFileValue, keyPath);
  if (rc == ERROR_SUCCESS)
    rc = RegSetValueEx(suite.get(), "ConfigVersion", REG_DWORD, &version, sizeof version);
  if (rc == ERROR_SUCCESS && tx.Status() == ERROR_SUCCESS) rc = tx.Commit();
  return rc;
}

namespace {

int SelfSigned(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return kAdmExitUsage;
  std::string certificatePem, keyPem, why;
  if (!MakeSelfSignedCertificate(o.name, o.days, certificatePem, keyPem, why)) {
    std::fprintf(stderr, "zeladm: cannot make the certificate: %s\n", why.c_str());
    return kAdmExitFailure;
  }
  if (int status = WriteTlsPair(o.cert, o.key, certificatePem, keyPem); status != kAdmExitOk)
    return status;
  if (long rc = SetTlsValues(o.cert, o.key); rc != ERROR_SUCCESS)
    return AdmFailed("the pair is written, but the registry values are not set", rc);
  std::printf("certificate %s\nkey %s\nfor %s, valid for %d days; reload the services to use it\n",
              o.cert.c_str(), o.key.c_str(), o.name.c_str(), o.days);
  return kAdmExitOk;
}

const AdmCommand kTlsCommands[] = {
    {"self-signed", "--name HOST [--days N] [--cert FILE] [--key FILE]",
     "make a self-signed certificate and key and use them", 0, -1, SelfSigned},
    {"acme", kTlsAcmeArgs, "get a certificate from an ACME CA with certbot, renewed by certbot",
     0, -1, RunTlsAcme},
    {"deploy", "[--lineage DIR]",
     "install certbot's pair (DIR, else $RENEWED_LINEAGE) and reload the servers", 0, 2,
     RunTlsDeploy},
};

}  // namespace

// Who may read the key besides its owner: the service account
// (ServiceAccount) through its group, when root runs this and the account
// exists. The receiver leaves root for that account and reads the pair
// again on every reload, so a key private to root would stop the first
// renewal. Without such an account (a test root, a receiver run as root)
// the key stays its writer's alone.
bool ServiceAccountKeyReader(uid_t *uid, gid_t *gid) {
  if (!IsSuperUser()) return false;
  std::string account = kDefaultServiceAccount;
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) == ERROR_SUCCESS)
    QueryRegString(suite.get(), "ServiceAccount", kMaxServiceAccount, account);
  return !account.empty() && LookUpAccount(account, uid, gid) && *uid != 0;
}

int RunTlsCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm tls", kTlsCommands, argc - 1, argv + 1);
}
