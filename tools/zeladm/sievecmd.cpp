// sievecmd: see sievecmd.h.
#include "tools/zeladm/sievecmd.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/sieve.h"
#include "common/sieveconf.h"
#include "common/sievectl.h"
#include "common/sievestore.h"
#include "platform/fileview.h"
#include "platform/profile.h"
#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/usercmd.h"

namespace {

const char *const kSieveUsage =
    "Usage: zeladm sieve USER list | show NAME | put FILE [NAME] | activate NAME | deactivate |"
    " check FILE | from-ctl";

// Compiles text; prints "zeladm: WHAT: line N: reason" when it is refused.
bool Compiles(const std::string &what, const std::string &text, const SieveLimits &limits) {
  SieveScript script;
  SieveError error;
  if (SieveCompile(text, limits, {}, &script, &error)) return true;
  std::fprintf(stderr, "zeladm: %s: %s\n", AdmPrintable(what).c_str(),
               AdmPrintable(error.Describe()).c_str());
  return false;
}

bool ReadAdminScript(const char *path, const SieveLimits &limits, std::string &text) {
  UniqueFd fd(OpenFileForReading(path));
  if (ReadSieveText(fd.Get(), limits.MaxScriptBytes, text)) return true;
  AdmFailed(std::string("cannot read ") + AdmPrintable(path), GetLastError());
  return false;
}

bool CheckName(const std::string &name) {
  if (SieveScriptNameIsValid(name)) return true;
  AdmUsage("\"" + AdmPrintable(name) + "\" is no script name (1 to 128 bytes, no \"/\", no"
           " control characters, not starting with \".\")");
  return false;
}

// The default name of a script file: its base name without ".sieve".
std::string NameOfFile(std::string_view path) {
  std::string_view base = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  if (base.ends_with(kSieveScriptSuffix)) base.remove_suffix(kSieveScriptSuffix.size());
  return std::string(base);
}

int Put(const MailboxDir &dir, const SieveSettings &settings, const char *file, std::string name) {
  if (!CheckName(name)) return kAdmExitUsage;
  std::string text;
  if (!ReadAdminScript(file, settings.Limits, text)) return kAdmExitFailure;
  if (!Compiles(file, text, settings.Limits)) return kAdmExitFailure;
  std::vector<std::string> names = ListSieveScripts(dir);
  if (std::find(names.begin(), names.end(), name) == names.end() &&
      names.size() >= settings.MaxScripts) {
    std::fprintf(stderr, "zeladm: the user has %zu scripts already (SieveMaxScripts)\n",
                 names.size());
    return kAdmExitFailure;
  }
  if (!StoreSieveScript(dir, name, text))
    return AdmFailed("cannot store " + AdmPrintable(name), GetLastError());
  std::printf("stored %s\n", AdmPrintable(name).c_str());
  return kAdmExitOk;
}

int Act(const MailboxDir &dir, const SieveSettings &settings, int argc, char **argv) {
  std::string sub = argv[2];
  if (sub == "list" && argc == 3) {
    std::string active = ActiveSieveScript(dir);
    for (const std::string &name : ListSieveScripts(dir))
      std::printf("%s%s\n", AdmPrintable(name).c_str(), name == active ? " (active)" : "");
    return kAdmExitOk;
  }
  if (sub == "show" && argc == 4) {
    if (!CheckName(argv[3])) return kAdmExitUsage;
    std::string text;
    if (!ReadSieveScript(dir, argv[3], settings.Limits.MaxScriptBytes, text))
      return AdmFailed("no script " + AdmPrintable(argv[3]), GetLastError());
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kAdmExitOk;
  }
  if (sub == "put" && (argc == 4 || argc == 5))
    return Put(dir, settings, argv[3], argc == 5 ? argv[4] : NameOfFile(argv[3]));
  if (sub == "activate" && argc == 4) {
    if (!CheckName(argv[3])) return kAdmExitUsage;
    if (!dir.FileExists(SieveScriptFileName(argv[3]))) {
      std::fprintf(stderr, "zeladm: no script %s\n", AdmPrintable(argv[3]).c_str());
      return kAdmExitFailure;
    }
    if (!ActivateSieveScript(dir, argv[3]))
      return AdmFailed("cannot activate " + AdmPrintable(argv[3]), GetLastError());
    return kAdmExitOk;
  }
  if (sub == "deactivate" && argc == 3) {
    if (!ActivateSieveScript(dir, ""))
      return AdmFailed("cannot deactivate", GetLastError());
    return kAdmExitOk;
  }
  return AdmUsage(kSieveUsage);
}

// The text of the user's file name, as much as the delivery agent reads;
// false (and "") when it is missing.
bool ReadUserText(const MailboxDir &box, const char *name, std::string &text) {
  UniqueFd fd(box.OpenFile(name, false));
  text.clear();
  return fd.Valid() && ReadUpTo(fd.Get(), kMaxProfileFileBytes, text);
}

// Prints the script that does what the control file does; it is compiled
// first, so what is printed can be stored as it is.
int FromControlFile(const MailboxDir &box, const SieveSettings &settings) {
  ControlFileTexts files;
  ReadUserText(box, kControlFileName, files.Control);
  files.bReplyText = ReadUserText(box, kAutoReplyFileName, files.ReplyText);
  ReadUserText(box, kNoReplyFileName, files.NoReply);
  ReadUserText(box, kRepliedFileName, files.Replied);
  std::string script = SieveFromControlFile(files);
  if (!Compiles("the script made from " + std::string(kControlFileName), script, settings.Limits))
    return kAdmExitFailure;
  std::fwrite(script.data(), 1, script.size(), stdout);
  return kAdmExitOk;
}

}  // namespace

int RunSieveCommand(int argc, char **argv) {
  if (argc < 3) return AdmUsage(kSieveUsage);
  SieveSettings settings = LoadSieveSettings();
  // check needs no mailbox: it compiles the administrator's file.
  if (std::string_view(argv[2]) == "check") {
    if (argc != 4) return AdmUsage(kSieveUsage);
    std::string text;
    if (!ReadAdminScript(argv[3], settings.Limits, text)) return kAdmExitFailure;
    if (!Compiles(argv[3], text, settings.Limits)) return kAdmExitFailure;
    std::printf("%s: OK\n", AdmPrintable(argv[3]).c_str());
    return kAdmExitOk;
  }
  MailboxDir box, dir;
  if (!OpenUserMailbox(argv[1], box)) return kAdmExitFailure;
  std::string_view sub(argv[2]);
  if (sub == "from-ctl") return argc == 3 ? FromControlFile(box, settings) : AdmUsage(kSieveUsage);
  bool create = sub == "put";
  if (long rc = dir.Open(box.Path() + "/" + kSieveDirName, box.Owner(), create); rc != ERROR_SUCCESS) {
    // A user without the directory has no scripts.
    if (rc == ENOENT && (sub == "list" || sub == "deactivate")) return kAdmExitOk;
    return AdmFailed("cannot open the scripts of " + AdmPrintable(argv[1]), rc);
  }
  return Act(dir, settings, argc, argv);
}
