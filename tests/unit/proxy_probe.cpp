// proxy_probe: the session of a proxied logon (net/mailproxy) run alone,
// for the end-to-end test of the proxy against real mail hosts: a front
// that has already taken the client's logon, without the directory that
// would name the mail host.
//
//   proxy_probe pop3|imap ADDRESS HOST USER [TAG [PENDING]]
//
// Reads the proxy settings from the registry of ZEL_ROOT and the password
// from the first line of standard input ("" with ProxySecretFile), listens
// on ADDRESS (a free port), prints "listening PORT", serves one client as
// the session of USER whose mail host is HOST (TAG: the client's IMAP tag;
// PENDING: what the client sent behind its logon), then prints each
// control message the session sent to the front ("S", "R reply", "L line")
// and exits with the session's status.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "net/mailproxy.h"
#include "platform/ipaddr.h"
#include "platform/localipc.h"
#include "platform/sockets.h"

namespace {

constexpr DWORD kWordWaitMs = 1000;

bool StayWhoWeAre(void *) { return true; }

void PrintWords(int front) {
  char buffer[4096];
  std::vector<UniqueFd> none;
  for (long n; (n = ReceiveMessage(front, buffer, sizeof buffer, none, 0, kWordWaitMs)) > 0;) {
    std::string word(buffer, static_cast<size_t>(n));
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r')) word.pop_back();
    if (word.size() > 1) word.insert(1, " ");
    std::printf("%s\n", word.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: proxy_probe pop3|imap ADDRESS HOST USER [TAG [PENDING]]\n");
    return 2;
  }
  IpAddress address;
  if (!ParseAddress(argv[2], &address)) return 2;
  LoadProxySettings();
  ProxySession s;
  s.Protocol = std::string(argv[1]) == "imap" ? ProxyProtocol::kImap : ProxyProtocol::kPop3;
  s.MailHost = argv[3];
  s.UserName = argv[4];
  if (argc > 5) s.Tag = argv[5];
  if (argc > 6) s.PendingInput = argv[6];
  std::getline(std::cin, s.Password);
  UniqueFd listener(CreateListener(address, 0, 1));
  uint16_t port = 0;
  if (!listener.Valid() || !GetSocketAddress(listener.Get(), nullptr, &port)) return 2;
  std::printf("listening %u\n", port);
  std::fflush(stdout);
  IpAddress peer;
  int client = AcceptConnection(listener.Get(), &peer);
  UniqueFd front, session;
  if (client < 0 || !MakeSocketPair(true, front, session)) return 2;
  s.DataFd = client;
  s.ControlFd = session.Get();
  int status = ServeProxiedSession(s, StayWhoWeAre, nullptr);
  session.Reset();
  PrintWords(front.Get());
  return status;
}
