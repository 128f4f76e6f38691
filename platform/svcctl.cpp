// svcctl: see svcctl.h.
#include "platform/svcctl.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/files.h"
#include "platform/root.h"

// The process's one service: what the dispatcher and the reports share.
struct ServiceStatusObject {
  std::mutex lock;               // orders reports; guards the fields below
  LPHANDLER_FUNCTION handler = nullptr;
  std::string notifySocket;      // "" when no service manager listens
  DWORD accepted = 0;            // controls accepted by the last report
  bool pendingStop = false;      // a stop signal waits for stop to be accepted
  int wakeFd = -1;               // the dispatcher's wake-up eventfd, -1 if none
  std::atomic<bool> quit{false};
};

namespace {

ServiceStatusObject g_Service;

// Only this many bytes fit a datagram name (sockaddr_un.sun_path).
constexpr size_t kMaxSocketName = sizeof(sockaddr_un{}.sun_path);

// The signals that carry controls.
constexpr int kControlSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sigset_t ControlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kControlSignals) sigaddset(&set, sig);
  return set;
}

DWORD ControlOfSignal(uint32_t sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT: return SERVICE_CONTROL_STOP;
    case SIGUSR1: return SERVICE_CONTROL_PAUSE;
    case SIGUSR2: return SERVICE_CONTROL_CONTINUE;
    case SIGHUP: return SERVICE_CONTROL_PARAMCHANGE;
    default: return 0;
  }
}

void Wake(int fd) {
  uint64_t one = 1;
  if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

// Decides under the lock whether a control goes to the handler now; a stop
// that is not accepted yet is held, a pause or continue is dropped.
LPHANDLER_FUNCTION TakeControl(DWORD control) {
  std::lock_guard<std::mutex> guard(g_Service.lock);
  DWORD need = control == SERVICE_CONTROL_STOP          ? SERVICE_ACCEPT_STOP
               : control == SERVICE_CONTROL_PARAMCHANGE ? SERVICE_ACCEPT_PARAMCHANGE
                                                        : SERVICE_ACCEPT_PAUSE_CONTINUE;
  if ((g_Service.accepted & need) != 0 && g_Service.handler != nullptr) {
    if (control == SERVICE_CONTROL_STOP) g_Service.pendingStop = false;
    return g_Service.handler;
  }
  if (control == SERVICE_CONTROL_STOP) g_Service.pendingStop = true;
  return nullptr;
}

void DeliverControl(DWORD control) {
  LPHANDLER_FUNCTION handler = TakeControl(control);
  if (handler != nullptr) handler(control);
}

void DeliverPendingStop() {
  bool pending;
  {
    std::lock_guard<std::mutex> guard(g_Service.lock);
    pending = g_Service.pendingStop;
  }
  if (pending) DeliverControl(SERVICE_CONTROL_STOP);
}

// Reads every queued signal and hands each on as a control.
void DrainSignals(int sigFd) {
  signalfd_siginfo info;
  while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    DWORD control = ControlOfSignal(info.ssi_signo);
    if (control != 0) DeliverControl(control);
  }
}

struct DispatcherFds {
  int sigFd;
  int wakeFd;
};

void *DispatchControls(void *arg) {
  const DispatcherFds fds = *static_cast<DispatcherFds *>(arg);
  while (!g_Service.quit.load()) {
    pollfd p[2] = {{fds.sigFd, POLLIN, 0}, {fds.wakeFd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((p[1].revents & POLLIN) != 0) {
      uint64_t v;
      (void)!read(fds.wakeFd, &v, sizeof v);
      if (g_Service.quit.load()) break;
      DeliverPendingStop();
    }
    if ((p[0].revents & POLLIN) != 0) DrainSignals(fds.sigFd);
  }
  return nullptr;
}

// A new dispatcher (fd >= 0) starts with no stop held; -1 retires it.
void SetDispatcherWakeFd(int fd) {
  std::lock_guard<std::mutex> guard(g_Service.lock);
  g_Service.pendingStop = false;
  g_Service.wakeFd = fd;
  g_Service.quit = false;
}

bool Fail(int err) {
  SetLastError(err);
  return false;
}

const char *StateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "Stopped";
    case SERVICE_START_PENDING: return "Start pending";
    case SERVICE_STOP_PENDING: return "Stop pending";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continue pending";
    case SERVICE_PAUSE_PENDING: return "Pause pending";
    case SERVICE_PAUSED: return "Paused";
    default: return "Unknown";
  }
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

bool FillSocketAddress(const std::string &name, sockaddr_un &addr, socklen_t &len) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (name.size() < 2 || (name[0] != '/' && name[0] != '@')) return Fail(EAFNOSUPPORT);
  // A path needs room for its NUL; an abstract name's NUL is its "@".
  if (name.size() > kMaxSocketName - (name[0] == '/' ? 1 : 0)) return Fail(ENAMETOOLONG);
  std::memcpy(addr.sun_path, name.data(), name.size());
  if (name[0] == '@') addr.sun_path[0] = '\0';
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                               (name[0] == '/' ? 1 : 0));
  return true;
}

}  // namespace

bool StartedByServiceManager() {
  for (const char *name : {"NOTIFY_SOCKET", "INVOCATION_ID"}) {
    const char *v = std::getenv(name);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

bool StartServiceCtrlDispatcher(const char *serviceName, LPSERVICE_MAIN_FUNCTION serviceMain,
                                bool foreground) {
  if (!foreground && !StartedByServiceManager())
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  sigset_t set = ControlSignalSet();
  // Before any thread exists, so every later thread inherits the mask.
  if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) return Fail(rc);
  Fd sigFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  Fd wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (sigFd.get() < 0 || wakeFd.get() < 0) return Fail(errno);
  SetDispatcherWakeFd(wakeFd.get());
  DispatcherFds fds{sigFd.get(), wakeFd.get()};
  pthread_t thread;
  if (int rc = pthread_create(&thread, nullptr, DispatchControls, &fds); rc != 0) {
    SetDispatcherWakeFd(-1);
    return Fail(rc);
  }
  char *argv[] = {const_cast<char *>(serviceName), nullptr};
  serviceMain(1, argv);
  g_Service.quit = true;
  Wake(wakeFd.get());
  pthread_join(thread, nullptr);
  SetDispatcherWakeFd(-1);
  return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char *serviceName,
                                                 LPHANDLER_FUNCTION handler) {
  std::lock_guard<std::mutex> guard(g_Service.lock);
  g_Service.handler = handler;
  const char *socketName = std::getenv("NOTIFY_SOCKET");
  g_Service.notifySocket = socketName != nullptr ? socketName : "";
  g_Service.accepted = 0;
  return &g_Service;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status) {
  if (handle == nullptr) return Fail(EINVAL);
  std::lock_guard<std::mutex> guard(handle->lock);
  bool sent = handle->notifySocket.empty() ||
              SendNotify(handle->notifySocket, ServiceNotifyText(status));
  // Accept controls only once the report is out, so systemd never sees
  // STOPPING=1 before the READY=1 it belongs after.
  handle->accepted = status.dwControlsAccepted;
  if (handle->pendingStop && (handle->accepted & SERVICE_ACCEPT_STOP) != 0) Wake(handle->wakeFd);
  return sent;
}

std::string ServiceNotifyText(const SERVICE_STATUS &status) {
  std::string text;
  if (status.dwCurrentState == SERVICE_RUNNING) text += "READY=1\n";
  if (status.dwCurrentState == SERVICE_STOP_PENDING) text += "STOPPING=1\n";
  text += "STATUS=";
  text += StateText(status.dwCurrentState);
  if (IsPending(status.dwCurrentState) && status.dwCheckPoint != 0)
    text += ", checkpoint " + std::to_string(status.dwCheckPoint);
  if (IsPending(status.dwCurrentState) && status.dwWaitHint != 0)
    text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(status.dwWaitHint * 1000ULL);
  return text;
}

bool SendNotify(const std::string &socketName, const std::string &text) {
  sockaddr_un addr;
  socklen_t len;
  if (!FillSocketAddress(socketName, addr, len)) return false;
  Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return Fail(errno);
  ssize_t n = sendto(fd.get(), text.data(), text.size(), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr *>(&addr), len);
  if (n < 0) return Fail(errno);
  if (static_cast<size_t>(n) != text.size()) return Fail(EMSGSIZE);
  return true;
}

// ---- Unit files: the installed service.

namespace {

// The hardening every unit carries, whatever its program needs: the system
// is read-only but for ReadWritePaths=, /tmp is private, kernel tunables and
// control groups cannot be changed, no privilege can be gained by exec.
// Sockets: Internet and local ones, and netlink, which getifaddrs() needs to
// list this host's addresses for the local host table.
constexpr const char *kHardening =
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "PrivateTmp=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectControlGroups=yes\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n";

// SIGHUP asks a service to reload what it can (its TLS certificate).
constexpr const char *kExecReload = "ExecReload=/bin/kill -HUP $MAINPID\n";

// A unit file line holds these characters as they are; anything else in the
// program's path gets the path quoted.
bool IsPlainUnitChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("/._+-=", c) != nullptr;
}

bool HasControlChar(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// systemd expands "%" specifiers in every value; doubling keeps them literal.
std::string EscapeSpecifiers(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '%') out.push_back(c);
    out.push_back(c);
  }
  return out;
}

// A value as one word: plain when it can be, else C-style double-quoted.
std::string QuoteUnitWord(std::string_view s) {
  bool plain = !s.empty();
  for (char c : s) plain = plain && IsPlainUnitChar(c);
  std::string escaped = EscapeSpecifiers(s);
  if (plain) return escaped;
  std::string out = "\"";
  for (char c : escaped) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// systemd refuses these in an executable's path even when quoted (and does
// not expand "$" there).
bool IsUnitExecutablePath(std::string_view path) {
  return !path.empty() && path[0] == '/' && !HasControlChar(path) &&
         path.find_first_of("\"'\\") == std::string_view::npos;
}

// A capability name: "CAP_" and upper-case letters, digits, "_".
bool IsCapabilityName(std::string_view s) {
  if (s.size() < 5 || s.substr(0, 4) != "CAP_") return false;
  for (char c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

// A user or unit name as it may stand unquoted in a unit file.
bool IsPlainUnitName(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsPlainUnitChar(c) || c == '/' || c == '=') return false;
  return true;
}

std::string BaseName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A one-line value: no control character, and no trailing backslash, which
// would continue the line onto the next.
bool IsOneLineValue(std::string_view s) {
  return !HasControlChar(s) && (s.empty() || s.back() != '\\');
}

bool SpecIsWritable(const ServiceUnitSpec &spec) {
  if (!IsOneLineValue(spec.DisplayName) || !IsOneLineValue(spec.Origin) ||
      !IsUnitExecutablePath(spec.BinaryPath) ||
      BaseName(spec.BinaryPath).empty() || HasControlChar(ZelRoot()))
    return false;
  if (!spec.User.empty() && !IsPlainUnitName(spec.User)) return false;
  if (!spec.Target.empty() && !IsPlainUnitName(spec.Target)) return false;
  for (const auto *list : {&spec.Capabilities, &spec.AmbientCapabilities})
    for (const std::string &cap : *list)
      if (!IsCapabilityName(cap)) return false;
  // Quotes and backslashes are left out like in the program's path: what
  // systemd would make of them is not worth a guess.
  for (const std::string &path : spec.ReadWritePaths)
    if (path.empty() || path[0] != '/' || !IsUnitExecutablePath(path)) return false;
  return true;
}

std::string JoinWords(const std::vector<std::string> &words, bool quote) {
  std::string out;
  for (const std::string &w : words) {
    if (!out.empty()) out.push_back(' ');
    out += quote ? QuoteUnitWord(w) : w;
  }
  return out;
}

// The [Service] lines that say who runs and what it may do.
std::string PrivilegeLines(const ServiceUnitSpec &spec) {
  std::string text;
  if (!spec.User.empty()) text += "User=" + spec.User + "\n";
  if (!spec.AmbientCapabilities.empty())
    text += "AmbientCapabilities=" + JoinWords(spec.AmbientCapabilities, false) + "\n";
  // An empty assignment is the empty bounding set: no capability at all.
  text += "CapabilityBoundingSet=" + JoinWords(spec.Capabilities, false) + "\n";
  text += kHardening;
  if (!spec.ReadWritePaths.empty())
    text += "ReadWritePaths=" + JoinWords(spec.ReadWritePaths, true) + "\n";
  return text;
}

bool DeleteUnitFile(const std::string &path) {
  if (unlink(path.c_str()) != 0) return Fail(errno);
  (void)SyncDirectory(SystemdUnitDirectory());
  return true;
}

}  // namespace

bool GetModuleFileName(std::string &path) {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n < 0) return Fail(errno);
  if (static_cast<size_t>(n) >= sizeof buf) return Fail(ENAMETOOLONG);
  path.assign(buf, static_cast<size_t>(n));
  return true;
}

bool OpenSCManager() {
  std::string dir = SystemdUnitDirectory();
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    if (mkdir(dir.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno);
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISDIR(st.st_mode)) return Fail(ENOTDIR);
  return true;
}

std::string ServiceUnitPath(const std::string &binaryPath) {
  return SystemdUnitDirectory() + "/" + BaseName(binaryPath) + ".service";
}

bool ServiceUnitText(const ServiceUnitSpec &spec, std::string &text) {
  if (!SpecIsWritable(spec)) return Fail(EINVAL);
  std::string program = BaseName(spec.BinaryPath);
  text = spec.Origin.empty() ? "# Written by \"" + program + " -install\"; deleted by \"" +
                                  program + " -remove\".\n"
                            : "# " + spec.Origin + "\n";
  text += "[Unit]\nDescription=" + EscapeSpecifiers(spec.DisplayName) + "\n";
  if (IsPlainUnitName(program)) text += "Documentation=man:" + program + "(8) man:zel(7)\n";
  text += "Wants=network-online.target\nAfter=network-online.target\n";
  // Stopping or restarting the target stops or restarts its services.
  if (!spec.Target.empty()) text += "PartOf=" + spec.Target + "\n";
  text += "\n[Service]\nType=notify\nExecStart=" + QuoteUnitWord(spec.BinaryPath) + "\n";
  text += kExecReload;
  // A service installed from a scratch tree keeps using that tree.
  if (!ZelRoot().empty())
    text += "Environment=" + QuoteUnitWord("ZEL_ROOT=" + ZelRoot()) + "\n";
  text += PrivilegeLines(spec);
  // Enabled on its own it starts at boot; "systemctl enable zel.target"
  // starts the whole suite.
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}

bool CreateService(const ServiceUnitSpec &spec) {
  std::string text;
  if (!ServiceUnitText(spec, text)) return false;
  return CreateFileWithText(ServiceUnitPath(spec.BinaryPath), text, 0644);
}

bool DeleteService(const std::string &binaryPath) {
  return DeleteUnitFile(ServiceUnitPath(binaryPath));
}

std::string TargetUnitPath(const std::string &name) {
  return SystemdUnitDirectory() + "/" + name + ".target";
}

bool TargetUnitText(const std::string &description, const std::vector<std::string> &wants,
                    std::string &text) {
  if (!IsOneLineValue(description)) return Fail(EINVAL);
  for (const std::string &unit : wants)
    if (!IsPlainUnitName(unit)) return Fail(EINVAL);
  text = "[Unit]\nDescription=" + EscapeSpecifiers(description) + "\nDocumentation=man:zel(7)\n";
  // Wants=, not Requires=: one service that fails to start leaves the
  // others running.
  text += "Wants=" + JoinWords(wants, false) + "\n";
  text += "After=network-online.target\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}

bool CreateTargetUnit(const std::string &name, const std::string &description,
                      const std::vector<std::string> &wants) {
  std::string text;
  if (!IsPlainUnitName(name)) return Fail(EINVAL);
  if (!TargetUnitText(description, wants, text)) return false;
  return CreateFileWithText(TargetUnitPath(name), text, 0644);
}

bool DeleteTargetUnit(const std::string &name) { return DeleteUnitFile(TargetUnitPath(name)); }

bool UnitFileExists(const std::string &unit) {
  struct stat st;
  return lstat((SystemdUnitDirectory() + "/" + unit).c_str(), &st) == 0;
}
