// sessionstart: what a mail-access front (POP3, IMAP) tells the session
// process it starts for a logged-on client, and the control messages the
// session sends back.
//
// The front writes a SessionStart into the logon request; the root logon
// helper (common/logonhelper) checks the password, forks, and hands the
// record with the client's descriptors to the program's session entry,
// which runs as the mail user from then on. The record carries only what
// the session cannot know itself: who logged on and how, the connection's
// addresses and names, whether it is encrypted, what is left of the
// session's time, and the bytes the client sent behind its logon command.
//
// Control messages (session to front, one message each on the control
// socket): kControlServing ("S": the mailbox is open, the session answers
// the client from now on), kControlRefused ("R" and a reply line: the
// session could not start, the front answers the client with that line and
// goes on), kControlLogLine ("L" and an activity log line). The end of
// the control socket is the end of the session.
//
// Untrusted input: a record arrives from the unprivileged front (which
// faces the network) at a root helper, so the decoder is bounded and
// strict: every field has a maximum, the record must end exactly where
// its last field does. Control messages come from a process of the mail
// user's and are treated as untrusted text by the front.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Longest field of a record: a name, an address, a host name.
constexpr size_t kMaxSessionField = 255;
// Bytes of input the client sent behind its logon command that travel with
// the record (a pipelining client's next commands).
constexpr size_t kMaxSessionPendingInput = 2048;
// A refused session's reply line, the front's to send.
constexpr size_t kMaxSessionReply = 512;

constexpr char kControlServing = 'S';
constexpr char kControlRefused = 'R';
constexpr char kControlLogLine = 'L';

struct SessionStart {
  std::string Protocol;        // "pop3", "imap"
  std::string UserName;        // as the client gave it (replies, the mailbox)
  std::string LogonCommand;    // the command that logged on ("PASS", "AUTH", "LOGIN")
  std::string PeerAddress;
  std::string LocalAddress;
  std::string LocalHostName;
  uint32_t ListenerKind = 0;
  bool bEncrypted = false;     // the front holds a TLS session for it
  bool bTlsAvailable = false;  // a certificate is loaded (what CAPA shows)
  uint32_t MsLeft = 0;         // of the session's time limit, milliseconds; 0: none
  std::string PendingInput;    // what the client sent behind the logon
};

std::string EncodeSessionStart(const SessionStart &start);
// False when the record is malformed or any field is over its bound.
bool DecodeSessionStart(std::string_view wire, SessionStart &start);
