// imapcmd: see imapcmd.h.
#include "ZELIMAP/imapcmd.h"

#include "ZELIMAP/imapcaps.h"
#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapsession.h"
#include "platform/ascii.h"

namespace {

// The states a command is valid in.
constexpr unsigned kAuth = 1u << kImapAuthenticated;
constexpr unsigned kSel = 1u << kImapSelected;
constexpr unsigned kAny = kAuth | kSel;

struct SessionCommand {
  const char *Name;
  unsigned States;
  bool bUidForm;   // also as "UID <name>"
  bool bArgs;      // takes arguments (else any is refused)
  ImapGo (*Handler)(_Connection *conn, const ImapCommandView &cmd);
};

ImapGo CmdCapability(_Connection *conn, const ImapCommandView &cmd) {
  ImapCapabilityContext caps;
  caps.bLoggedOn = true;
  Imap(conn).Out += "* CAPABILITY " + ImapCapabilityText(caps) + "\r\n";
  ImapReply(conn, cmd.Tag, "OK CAPABILITY completed");
  return ImapGo::kOn;
}

ImapGo CmdNoop(_Connection *conn, const ImapCommandView &cmd) {
  ReportFolderChanges(conn, true);
  ImapReply(conn, cmd.Tag, "OK NOOP completed");
  return ImapGo::kOn;
}

ImapGo CmdLogout(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  c.Out += "* BYE Logging out\r\n";
  ImapReply(conn, cmd.Tag, "OK LOGOUT completed");
  c.State = kImapLogout;
  c.bCloseAfterSend = true;
  return ImapGo::kOn;
}

ImapGo CmdId(_Connection *conn, const ImapCommandView &cmd) {
  std::vector<ImapIdPair> pairs;
  ImapError error;
  if (!ParseId(cmd.Args, pairs, error)) return ImapFailed(conn, cmd.Tag, error);
  Imap(conn).Out += ImapIdResponse();
  ImapReply(conn, cmd.Tag, "OK ID completed");
  return ImapGo::kOn;
}

// ENABLE: the extensions that change what the server sends. Others are
// ignored, as RFC 5161 asks.
ImapGo CmdEnable(_Connection *conn, const ImapCommandView &cmd) {
  SessionConn &s = Sess(conn);
  std::vector<std::string> names;
  ImapError error;
  if (!ParseEnable(cmd.Args, names, error)) return ImapFailed(conn, cmd.Tag, error);
  std::string enabled;
  for (const std::string &word : names) {
    bool *flag = word == "IMAP4REV2" ? &s.bRev2
                 : word == "CONDSTORE" ? &s.bCondStore
                 : word == "QRESYNC"   ? &s.bQresync
                                       : nullptr;
    if (flag == nullptr || *flag) continue;
    *flag = true;
    enabled += word == "IMAP4REV2" ? " IMAP4rev2" : " " + word;
    // QRESYNC implies CONDSTORE.
    if (flag == &s.bQresync) s.bCondStore = true;
  }
  Imap(conn).Out += "* ENABLED" + enabled + "\r\n";
  ImapReply(conn, cmd.Tag, "OK ENABLE completed");
  return ImapGo::kOn;
}

// IDLE: "+ idling", then what changes is reported as it happens (the
// folder's watch wakes the read) until the client's DONE.
ImapGo CmdIdle(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  ReportFolderChanges(conn, true);
  c.Out += "+ idling\r\n";
  s.IdleTag = std::string(cmd.Tag);
  ImapExpectRawLine(c.Reader);
  return ImapGo::kOn;
}

ImapGo IdleLine(_Connection *conn, std::string_view line, bool cut) {
  SessionConn &s = Sess(conn);
  if (s.IdleTag.empty()) return ImapGo::kOn;   // no IDLE asked for a line
  std::string tag = std::move(s.IdleTag);
  s.IdleTag.clear();
  if (cut || !EqualsNoCase(line, "DONE")) {
    ImapReply(conn, tag, "BAD Expected DONE");
    return ImapGo::kOn;
  }
  ReportFolderChanges(conn, true);
  ImapReply(conn, tag, "OK IDLE terminated");
  return ImapGo::kOn;
}

// Looked up in this order; names are upper case from the reader.
const SessionCommand kCommands[] = {
    {"CAPABILITY", kAny, false, false, CmdCapability},
    {"NOOP", kAny, false, false, CmdNoop},
    {"LOGOUT", kAny, false, false, CmdLogout},
    {"ID", kAny, false, true, CmdId},
    {"ENABLE", kAuth, false, true, CmdEnable},
    {"IDLE", kAny, false, false, CmdIdle},
};

ImapGo SessionCommandHandler(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  for (const SessionCommand &command : kCommands) {
    if (cmd.Name != command.Name || (cmd.bUid && !command.bUidForm)) continue;
    if ((command.States & (1u << c.State)) == 0) {
      ImapReply(conn, cmd.Tag, c.State == kImapAuthenticated ? "BAD No mailbox selected"
                                                             : "BAD Command not valid now");
      return ImapGo::kOn;
    }
    if (!command.bArgs && cmd.bHasArgs) {
      ImapReply(conn, cmd.Tag, "BAD Unexpected arguments");
      return ImapGo::kOn;
    }
    if (command.bArgs && !cmd.bHasArgs) {
      ImapReply(conn, cmd.Tag, "BAD Missing arguments");
      return ImapGo::kOn;
    }
    return command.Handler(conn, cmd);
  }
  if (cmd.Name == "LOGIN" || cmd.Name == "AUTHENTICATE" || cmd.Name == "STARTTLS")
    ImapReply(conn, cmd.Tag, "BAD Already logged on");
  else
    ImapReply(conn, cmd.Tag, "BAD Command unknown");
  return ImapGo::kOn;
}

ImapGo SessionRawLine(_Connection *conn, std::string_view line, bool cut) {
  return IdleLine(conn, line, cut);
}

void ReleaseSessionConn(ImapConn &c) {
  auto *s = static_cast<SessionConn *>(c.Program);
  c.Program = nullptr;
  delete s;
}

}  // namespace

const ImapHandlers kSessionHandlers = {
    SessionCommandHandler,
    nullptr,   // APPEND: imapmbox
    nullptr,
    SessionRawLine,
    IdleBeforeRead,
    IdleReadStarted,
    IdleAfterRead,
    IdleWoken,
    nullptr,   // no logon in a session
    ReleaseSessionConn,
};

void PrepareSessionConn(_Connection *conn) { (void)conn; }

void ImapReply(_Connection *conn, std::string_view tag, std::string_view text) {
  std::string &out = Imap(conn).Out;
  out.append(tag);
  out += ' ';
  out.append(text);
  out += "\r\n";
}

ImapGo ImapFailed(_Connection *conn, std::string_view tag, const ImapError &error) {
  ImapReply(conn, tag, std::string(error.Status) + " " + error.Text);
  return ImapGo::kOn;
}
