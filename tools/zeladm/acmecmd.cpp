// acmecmd: see acmecmd.h.
#include "tools/zeladm/acmecmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/loadcfig.h"
#include "platform/childproc.h"
#include "platform/extprog.h"
#include "platform/pidfile.h"
#include "platform/root.h"
#include "platform/svcctl.h"
#include "platform/tls.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/tlscmd.h"

namespace {

// Let's Encrypt puts at most 100 names on one certificate.
constexpr size_t kMaxAcmeNames = 100;
// An address fits a forward path (RFC 5321: 256 with the brackets).
constexpr size_t kMaxAcmeEmail = 254;
constexpr size_t kMaxAcmeLocalPart = 64;
// A directory URL is short; this refuses a pasted document.
constexpr size_t kMaxAcmeServerUrl = 2048;
// certbot's own requests time out after about a minute each, and an order
// of many names makes several; past this certbot hangs and is stopped.
constexpr unsigned kCertbotTimeoutMs = 15 * 60 * 1000;
// certbot's error and the hint after it, without its whole story.
constexpr size_t kShownCertbotLines = 12;
// The servers that hold the certificate and reload it on SIGHUP.
constexpr const char *kTlsServers[] = {"ZELRECV", "ZELFETCH", "ZELIMAP"};
// certbot's directories: its defaults, under $ZEL_ROOT.
constexpr const char *kCertbotConfigDir = "/etc/letsencrypt";
constexpr const char *kCertbotWorkDir = "/var/lib/letsencrypt";
constexpr const char *kCertbotLogsDir = "/var/log/letsencrypt";

struct AcmeOptions {
  std::vector<std::string> names;
  std::string email, server, webroot, configDir, workDir, logsDir;
  long standalonePort = 0;
};

// A mailbox an ACME account can name: a plain local part (printable, no
// space or address punctuation, and no leading "-", which certbot would
// read as an option) and a host name.
bool IsAcmeEmail(std::string_view text) {
  size_t at = text.rfind('@');
  if (text.size() > kMaxAcmeEmail || at == std::string_view::npos || at == 0 ||
      at > kMaxAcmeLocalPart || text[0] == '-')
    return false;
  for (char c : text.substr(0, at))
    if (c <= ' ' || c > '~' || std::strchr("()<>[]\\,;:\"@", c) != nullptr) return false;
  return IsTlsHostName(text.substr(at + 1));
}

bool IsAcmeServerUrl(std::string_view text) {
  if (text.size() > kMaxAcmeServerUrl || text.rfind("https://", 0) != 0 || text.size() == 8)
    return false;
  for (char c : text)
    if (c <= ' ' || c > '~') return false;
  return true;
}

// Text a shell reads as one plain word, quoted or not: certbot runs hooks
// with sh -c, so nothing else goes into one.
bool IsShellWord(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') &&
        std::strchr("/._+@%:,=-", c) == nullptr)
      return false;
  return true;
}

// One option's value into o; false (with the message printed) when wrong.
bool TakeAcmeOption(const std::string &option, const char *value, AcmeOptions &o) {
  std::string *path = option == "--webroot"      ? &o.webroot
                      : option == "--config-dir" ? &o.configDir
                      : option == "--work-dir"   ? &o.workDir
                      : option == "--logs-dir"   ? &o.logsDir
                                                 : nullptr;
  if (path != nullptr) {
    if (value[0] != '/' || std::strlen(value) > kMaxTlsFilePath)
      return AdmUsage(option + " must be an absolute path"), false;
    *path = value;
  } else if (option == "--name") {
    std::string name = value;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!IsTlsHostName(name))
      return AdmUsage("\"" + AdmPrintable(value) + "\" is not a host name"), false;
    if (o.names.size() == kMaxAcmeNames)
      return AdmUsage("at most " + std::to_string(kMaxAcmeNames) + " names"), false;
    o.names.push_back(name);
  } else if (option == "--email") {
    if (!IsAcmeEmail(value))
      return AdmUsage("\"" + AdmPrintable(value) + "\" is not a mail address"), false;
    o.email = value;
  } else if (option == "--server") {
    if (!IsAcmeServerUrl(value))
      return AdmUsage("--server must be an https:// URL"), false;
    o.server = value;
  } else if (option == "--standalone-port") {
    if (!AdmNumber(value, 1, 65535, o.standalonePort))
      return AdmUsage("--standalone-port must be a port number from 1 to 65535"), false;
  } else {
    return AdmUsage("unknown option \"" + AdmPrintable(option) + "\""), false;
  }
  return true;
}

bool ParseAcmeOptions(int argc, char **argv, AcmeOptions &o) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return AdmUsage(std::string(argv[i]) + " needs a value"), false;
    if (!TakeAcmeOption(argv[i], argv[i + 1], o)) return false;
  }
  if (o.names.empty()) return AdmUsage("--name HOST is required"), false;
  if (o.email.empty()) return AdmUsage("--email ADDR is required"), false;
  if (!o.webroot.empty() && o.standalonePort != 0)
    return AdmUsage("--webroot and --standalone-port exclude each other"), false;
  if (o.configDir.empty()) o.configDir = ZelPath(kCertbotConfigDir);
  if (o.workDir.empty()) o.workDir = ZelPath(kCertbotWorkDir);
  if (o.logsDir.empty()) o.logsDir = ZelPath(kCertbotLogsDir);
  return true;
}

// The deploy hook's command line: this program, and the root it works in.
bool DeployHookCommand(std::string &hook) {
  std::string self;
  if (!GetModuleFileName(self))
    return AdmFailed("cannot find zeladm's own path", GetLastError()), false;
  const std::string &root = ZelRoot();
  const std::string *words[] = {&self, &root};
  for (const std::string *word : words) {
    if (!word->empty() && !IsShellWord(*word)) {
      std::fprintf(stderr, "zeladm: \"%s\" cannot go into certbot's hook, which a shell runs\n",
                   AdmPrintable(*word).c_str());
      return false;
    }
  }
  // certbot checks that a hook's first word is a program, so the root is
  // given through env(1) rather than a shell assignment.
  hook = (root.empty() ? "" : "env ZEL_ROOT=" + root + " ") + self + " tls deploy";
  return true;
}

std::vector<std::string> CertbotArguments(const AcmeOptions &o, const std::string &hook) {
  std::vector<std::string> args = {"certbot", "certonly", "--non-interactive", "--agree-tos",
                                   "--no-eff-email", "--keep-until-expiring",
                                   // Renewals keep the key: the TLSA record
                                   // (3 1 1, `zeladm dns`) stays true.
                                   "--reuse-key",
                                   "--email", o.email, "--cert-name", o.names[0],
                                   "--config-dir", o.configDir, "--work-dir", o.workDir,
                                   "--logs-dir", o.logsDir, "--deploy-hook", hook};
  for (const std::string &name : o.names) args.insert(args.end(), {"-d", name});
  if (!o.server.empty()) args.insert(args.end(), {"--server", o.server});
  if (!o.webroot.empty()) {
    args.insert(args.end(), {"--webroot", "-w", o.webroot});
  } else {
    args.push_back("--standalone");
    if (o.standalonePort != 0)
      args.insert(args.end(), {"--http-01-port", std::to_string(o.standalonePort)});
  }
  return args;
}

// The last lines of a program's output, escaped, one per line, indented.
void PrintLastLines(std::string_view tail, size_t count) {
  // A tail that was cut starts inside a line.
  if (tail.size() == kMaxProgramOutputTail && tail.find('\n') != std::string_view::npos)
    tail.remove_prefix(tail.find('\n') + 1);
  while (!tail.empty() && tail.back() == '\n') tail.remove_suffix(1);
  size_t start = tail.size();
  for (size_t n = 0; n < count && start > 0; ++n) {
    // tail[start - 1] is the newline before the line counted last.
    size_t nl = start >= 2 ? tail.rfind('\n', start - 2) : std::string_view::npos;
    start = nl == std::string_view::npos ? 0 : nl + 1;
  }
  tail.remove_prefix(start);
  while (!tail.empty()) {
    size_t nl = tail.find('\n');
    std::fprintf(stderr, "  %s\n", AdmPrintable(tail.substr(0, nl)).c_str());
    tail.remove_prefix(nl == std::string_view::npos ? tail.size() : nl + 1);
  }
}

int RunCertbot(const std::vector<std::string> &args) {
  ProgramRun run;
  if (!RunProgram(args, kCertbotTimeoutMs, run)) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr,
                   "zeladm: certbot is not installed: install the Debian package certbot "
                   "(apt-get install certbot)\n");
      return kAdmExitFailure;
    }
    return AdmFailed("cannot run certbot", GetLastError());
  }
  if (ProgramSucceeded(run)) return kAdmExitOk;
  if (run.TimedOut)
    std::fprintf(stderr,
                 "zeladm: certbot did not finish in %u minutes and was stopped; its last lines:\n",
                 kCertbotTimeoutMs / 60000);
  else
    std::fprintf(stderr, "zeladm: certbot failed (%s); its last lines:\n",
                 ExitStatusText(run.Status).c_str());
  PrintLastLines(run.OutputTail, kShownCertbotLines);
  return kAdmExitFailure;
}

// Where the pair goes: the configured files, else the defaults, which are
// then set. False when the configured pair is one file (the key would
// replace the certificate).
bool DeployTargets(std::string &cert, std::string &key, bool &setValues) {
  TlsFileNames names = LoadTlsFileNames();
  cert = names.CertificateFile.empty() ? ZelPath(kDefaultCertificatePath) : names.CertificateFile;
  key = names.KeyFile.empty() ? ZelPath(kDefaultKeyPath) : names.KeyFile;
  setValues = names.CertificateFile.empty() || names.KeyFile.empty();
  if (cert != key) return true;
  std::fprintf(stderr,
               "zeladm: TlsCertificateFile and TlsKeyFile name one file, %s; give the key its own "
               "(zeladm reg set) and deploy again\n",
               AdmPrintable(cert).c_str());
  return false;
}

// SIGHUP to every running server; each says what it did.
int ReloadServers() {
  int status = kAdmExitOk;
  for (const char *service : kTlsServers) {
    bool running = false;
    long pid = 0;
    if (!ReloadRunningService(service, running, pid))
      status = AdmFailed(std::string("cannot reload ") + service, GetLastError());
    else if (running)
      std::printf("%s reloaded (pid %ld)\n", service, pid);
  }
  return status;
}

// The lineage's pair where the servers read theirs, and the servers told.
int InstallLineage(const std::string &lineage) {
  std::string certificatePem, keyPem, why, cert, key;
  bool setValues = false;
  TlsContextRef checked;
  if (!ReadTlsFile(lineage + "/fullchain.pem", certificatePem, why) ||
      !ReadTlsFile(lineage + "/privkey.pem", keyPem, why)) {
    std::fprintf(stderr, "zeladm: cannot read certbot's pair: %s\n", AdmPrintable(why).c_str());
    return kAdmExitFailure;
  }
  if (!MakeTlsServerContext(certificatePem, keyPem, checked, why)) {
    std::fprintf(stderr, "zeladm: certbot's pair in %s cannot be used: %s\n",
                 AdmPrintable(lineage).c_str(), AdmPrintable(why).c_str());
    return kAdmExitFailure;
  }
  if (!DeployTargets(cert, key, setValues)) return kAdmExitFailure;
  if (int status = WriteTlsPair(cert, key, certificatePem, keyPem); status != kAdmExitOk)
    return status;
  if (long rc = setValues ? SetTlsValues(cert, key) : ERROR_SUCCESS; rc != ERROR_SUCCESS)
    return AdmFailed("the pair is written, but the registry values are not set", rc);
  std::printf("certificate %s\nkey %s\nexpires %s\n", cert.c_str(), key.c_str(),
              TlsCertificateExpiry(checked).c_str());
  return ReloadServers();
}

// True when the servers' certificate file holds the lineage's chain.
bool LineageInstalled(const std::string &lineage) {
  TlsFileNames names = LoadTlsFileNames();
  std::string installed, issued, why;
  return !names.CertificateFile.empty() && ReadTlsFile(names.CertificateFile, installed, why) &&
         ReadTlsFile(lineage + "/fullchain.pem", issued, why) && installed == issued;
}

}  // namespace

int RunTlsAcme(int argc, char **argv) {
  AcmeOptions o;
  std::string hook;
  if (!ParseAcmeOptions(argc, argv, o)) return kAdmExitUsage;
  if (!DeployHookCommand(hook)) return kAdmExitFailure;
  if (int status = RunCertbot(CertbotArguments(o, hook)); status != kAdmExitOk) return status;
  const std::string lineage = o.configDir + "/live/" + o.names[0];
  // certbot only logs a hook that failed, and keeps a certificate that is
  // not yet due without running it: either way the pair is installed here.
  if (!LineageInstalled(lineage)) {
    if (int status = InstallLineage(lineage); status != kAdmExitOk) return status;
  } else {
    TlsFileNames names = LoadTlsFileNames();
    std::printf("certificate %s\nkey %s\n", names.CertificateFile.c_str(), names.KeyFile.c_str());
  }
  std::printf("certbot renews the certificate of %s and runs: %s\n", o.names[0].c_str(),
              hook.c_str());
  return kAdmExitOk;
}

int RunTlsDeploy(int argc, char **argv) {
  std::string lineage;
  if (argc == 3 && std::strcmp(argv[1], "--lineage") == 0) {
    lineage = argv[2];
  } else if (argc != 1) {
    return AdmUsage("usage: zeladm tls deploy [--lineage DIR]");
  } else if (const char *renewed = std::getenv("RENEWED_LINEAGE"); renewed != nullptr) {
    lineage = renewed;
  }
  if (lineage.empty()) return AdmUsage("no lineage: give --lineage DIR or set RENEWED_LINEAGE");
  if (lineage[0] != '/' || lineage.size() > kMaxTlsFilePath)
    return AdmUsage("the lineage must be an absolute path");
  return InstallLineage(lineage);
}
