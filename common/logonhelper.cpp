// logonhelper: see logonhelper.h.
#include "common/logonhelper.h"

#include <string.h>

#include <atomic>
#include <cstdint>

#include "common/sasl.h"
#include "platform/helperproc.h"

namespace {

constexpr size_t kRequestHead = 4;   // the two lengths
constexpr size_t kAnswerHead = 9;    // flags, error, fail delay
constexpr uint8_t kLoggedOn = 1, kNameUnknown = 2, kLookupFailed = 4;

HelperProcesses &Helpers() {
  // Never destroyed: the pool's threads may use it until the process ends.
  static HelperProcesses *helpers = new HelperProcesses;
  return *helpers;
}

// Once there were helpers, checks never fall back to this process: without
// root it would fail for every name anyway, and say less why.
std::atomic<bool> helpersStarted{false};

void PutNumber(std::string &out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t GetNumber(std::string_view in, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

}  // namespace

std::string EncodeLogonRequest(std::string_view name, std::string_view password) {
  name = name.substr(0, kMaxLogonHelperName);
  password = password.substr(0, kMaxLogonHelperPassword);
  std::string wire;
  wire.reserve(kRequestHead + name.size() + password.size());
  PutNumber(wire, static_cast<uint32_t>(name.size()), 2);
  PutNumber(wire, static_cast<uint32_t>(password.size()), 2);
  wire.append(name);
  wire.append(password);
  return wire;
}

bool DecodeLogonRequest(std::string_view wire, std::string &name, std::string &password) {
  WipeSecret(password);
  name.clear();
  if (wire.size() < kRequestHead) return false;
  size_t nameLength = GetNumber(wire, 0, 2), passwordLength = GetNumber(wire, 2, 2);
  if (nameLength > kMaxLogonHelperName || passwordLength > kMaxLogonHelperPassword ||
      wire.size() != kRequestHead + nameLength + passwordLength)
    return false;
  name.assign(wire.substr(kRequestHead, nameLength));
  password.reserve(passwordLength);
  password.assign(wire.substr(kRequestHead + nameLength));
  return true;
}

std::string EncodeLogonAnswer(const LogonJob &job, DWORD failDelayMs) {
  std::string wire;
  wire.push_back(static_cast<char>((job.bLoggedOn ? kLoggedOn : 0) |
                                   (job.bNameUnknown ? kNameUnknown : 0) |
                                   (job.bLookupFailed ? kLookupFailed : 0)));
  PutNumber(wire, static_cast<uint32_t>(job.Error), 4);
  PutNumber(wire, failDelayMs, 4);
  wire.append(std::string_view(job.Domain).substr(0, kMaxLogonHelperDomain));
  return wire;
}

bool DecodeLogonAnswer(std::string_view wire, LogonJob &job, DWORD *failDelayMs) {
  if (wire.size() < kAnswerHead || wire.size() > kAnswerHead + kMaxLogonHelperDomain) return false;
  uint8_t flags = static_cast<uint8_t>(wire[0]);
  job.bLoggedOn = (flags & kLoggedOn) != 0;
  job.bNameUnknown = (flags & kNameUnknown) != 0;
  job.bLookupFailed = (flags & kLookupFailed) != 0;
  job.Error = static_cast<int32_t>(GetNumber(wire, 1, 4));
  *failDelayMs = GetNumber(wire, 5, 4);
  job.Domain.assign(wire.substr(kAnswerHead));
  return true;
}

size_t ServeLogonRequest(char *request, size_t length, char *answer, size_t room) {
  LogonJob job;
  DWORD failDelayMs = 0;
  if (DecodeLogonRequest(std::string_view(request, length), job.Name, job.Password)) {
    CheckLogon(job, &failDelayMs);
  } else {
    job.bLookupFailed = true;
    job.Error = ERROR_INVALID_PARAMETER;
  }
  explicit_bzero(request, length);
  std::string wire = EncodeLogonAnswer(job, failDelayMs);
  size_t n = wire.size() < room ? wire.size() : room;
  memcpy(answer, wire.data(), n);
  return n;
}

bool StartLogonHelpers(unsigned count) {
  if (!Helpers().Start(count, "zel-logon", ServeLogonRequest)) return false;
  helpersStarted = true;
  return true;
}

std::vector<pid_t> LogonHelperPids() { return Helpers().Pids(); }

void CheckLogonThroughHelpers(LogonJob &job, DWORD *failDelayMs) {
  if (!helpersStarted) {
    CheckLogon(job, failDelayMs);
    return;
  }
  job.bLoggedOn = job.bNameUnknown = job.bLookupFailed = false;
  job.Domain.clear();
  job.Token.Close();
  *failDelayMs = 0;
  std::string request = EncodeLogonRequest(job.Name, job.Password);
  WipeSecret(job.Password);
  std::string answer;
  bool ok = Helpers().Call(request, answer);
  long err = GetLastError();
  WipeSecret(request);
  if (!ok || !DecodeLogonAnswer(answer, job, failDelayMs)) {
    // No verdict: the checker failed, which the caller reports.
    job.bLoggedOn = false;
    job.bLookupFailed = true;
    job.Error = ok ? ERROR_INVALID_PARAMETER : err;
  }
}
