// Fuzz target: the receiver's SMTP dialogue fed a byte stream, as the
// network would feed it but without sockets or files: command lines cut
// out of arbitrary reads, every command answered, DATA scanned through the
// bounded buffer, AUTH's credentials answered as the logon pool would (the
// password "pw" logs on), STARTTLS taken as if the handshake followed. The
// first byte picks the read size, the policy and the port. Every reply is
// one line, or the lines of a multi-line reply, each ending in CR LF, within
// its bound; no credentials stay in the line buffer or reach a reply; the
// recipients stay within MaxRecipients; and the stored form of each message
// has CR LF line ends only, no lone "." line before its end, and a header
// within its bound without NULs.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZELRECV/recvcfg.h"
#include "ZELRECV/smtpauth.h"
#include "ZELRECV/smtpdata.h"
#include "ZELRECV/smtpdlg.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "tests/fuzz/fuzzscratch.h"

namespace {

void CheckReply(const _SmtpDialogue &dlg) {
  const std::string &r = dlg.Reply;
  if (r.empty()) return;
  if (r.size() > kMaxReplyLength || r.size() < 6 || r.compare(r.size() - 2, 2, "\r\n") != 0)
    abort();
  // Lines of "ddd-" up to one of "ddd ", each with one CR LF at its end.
  for (size_t at = 0; at < r.size();) {
    size_t end = r.find("\r\n", at);
    std::string line = r.substr(at, end - at);
    bool last = end + 2 == r.size();
    if (line.size() < 4 || line.find_first_of("\r\n") != std::string::npos ||
        line[3] != (last ? ' ' : '-') || line.compare(0, 3, r, 0, 3) != 0)
      abort();
    at = end + 2;
  }
}

// After AUTH the credentials are in the logon job alone.
void CheckWiped(const _SmtpDialogue &dlg) {
  for (size_t i = 0; i < dlg.LineLength; ++i)
    if (dlg.Line[i] != '\0') abort();
  if (!dlg.Logon.Password.empty() && dlg.Reply.find(dlg.Logon.Password) != std::string::npos)
    abort();
}

// What the logon pool and the engine would do for the states they own.
void FinishTheirPart(_SmtpDialogue &dlg) {
  if (dlg.State == kStateLogon) {
    if (!dlg.Reply.empty()) abort();
    CheckWiped(dlg);
    dlg.Logon.bLoggedOn = dlg.Logon.Password == "pw";
    dlg.Logon.Error = dlg.Logon.bLoggedOn ? 0 : 1326;
    dlg.Logon.Password.clear();
    SmtpLogonAnswered(dlg);
    CheckReply(dlg);
  } else if (dlg.State == kStateStartTls) {
    ForgetSessionForTls(dlg);
    dlg.bEncrypted = true;
    dlg.bCanStartTls = false;
  }
}

// The stored form of one message, checked once it ended.
void CheckStored(const std::string &header, const std::string &body, bool refused) {
  if (header.size() > kMaxHeaderBytes || header.find('\0') != std::string::npos) abort();
  if (refused) return;
  std::string text = header + body;
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) abort();
  if (text.size() < 3 || text.compare(text.size() - 3, 3, ".\r\n") != 0) abort();
  size_t lone = ("\r\n" + text).find("\r\n.\r\n");
  if (lone + 3 != text.size()) abort();
}

// Bytes for the next read: pending ones first, as the dialogue takes them.
size_t NextRead(_SmtpDialogue &dlg, const uint8_t *&in, const uint8_t *end, char *buf,
                size_t room) {
  if (!dlg.Pending.empty()) {
    size_t n = std::min(room, dlg.Pending.size());
    memcpy(buf, dlg.Pending.data(), n);
    dlg.Pending.erase(0, n);
    return n;
  }
  size_t n = std::min<size_t>(room, end - in);
  memcpy(buf, in, n);
  in += n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  FuzzScratchRoot();   // the local-domain test reads the list store
  _IPInfo self;
  self.IPAddr = htonl(0x7f000001);
  self.Name = "zeltest.example.test";
  self.Address = "127.0.0.1";
  self.Alias = {"mx.example.test"};
  LocalHostIPInfo.Entries = {self};
  DomainNamesAreLocal = {"mail.example.org"};
  std::vector<std::string> bad;
  ParseNetworkList({"127.0.0.0/8"}, &RelayClientNetworks, &bad);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const size_t chunk = (flags & 7) == 0 ? kDataReadSize : (flags & 7) * 3;
  ProhibitMailRelay = (flags & 8) != 0;
  MaxRecipients = (flags & 16) != 0 ? 3 : kDefaultMaxRecipients;
  const unsigned long long maxSize = (flags & 32) != 0 ? 64 : 0;
  IpAddress peer;
  ParseAddress((flags & 64) != 0 ? "127.0.0.1" : "192.0.2.9", &peer);

  const int kind = (flags & 128) != 0 ? kListenerSubmission : kListenerSmtp;

  _SmtpDialogue dlg;
  InitSmtpDialogue(dlg, "zeltest.example.test", peer, kind);
  dlg.bCanStartTls = true;
  SmtpGreeting(dlg);
  CheckReply(dlg);
  dlg.State = kStateCommand;
  const uint8_t *in = data + 1, *end = data + size;
  std::string body;
  bool data_phase = false;
  while (dlg.State != kStateQuitting) {
    if (!data_phase) {
      size_t room = std::min(chunk, kMaxLineLength - dlg.LineLength);
      size_t n = NextRead(dlg, in, end, dlg.Line + dlg.LineLength, room);
      if (n == 0) break;
      if (!TakeCommandBytes(dlg, n)) continue;
      bool inAuth = dlg.AuthStep != kAuthNone ||
                    StartsWithNoCase(std::string_view(dlg.Line, dlg.LineLength), "AUTH");
      SmtpCommand(dlg);
      CheckReply(dlg);
      if (inAuth) CheckWiped(dlg);
      FinishTheirPart(dlg);
      if (dlg.Recipients.size() > MaxRecipients) abort();
      dlg.LineLength = 0;
      dlg.bLineComplete = false;
      if (dlg.State == kStateDataPending) {
        if (!BeginData(dlg.Data)) abort();
        body.clear();
        data_phase = true;
      }
      continue;
    }
    _SmtpData &d = dlg.Data;
    size_t room = std::min(chunk, DataReadRoom(d));
    if (room == 0) abort();   // the buffer is emptied after every read below
    size_t n = NextRead(dlg, in, end, d.ReadBuffer.get(), room);
    if (n == 0) break;
    size_t consumed = 0;
    TakeDataBytes(d, d.ReadBuffer.get(), n, maxSize, &consumed);
    if (consumed > n) abort();
    dlg.Pending.insert(0, d.ReadBuffer.get() + consumed, n - consumed);
    body.append(d.Buffer.get(), d.Used);
    d.Used = 0;
    if (!d.bEnded) continue;
    CheckStored(d.bHeaderDone ? d.Header : std::string(), body, d.Refusal != nullptr);
    ResetTransaction(dlg);
    data_phase = false;
  }
  ResetTransaction(dlg);
  return 0;
}
