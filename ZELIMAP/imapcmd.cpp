// imapcmd: see imapcmd.h.
#include "ZELIMAP/imapcmd.h"

#include "ZELIMAP/imapcaps.h"
#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapfetch.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapmbox.h"
#include "ZELIMAP/imapmsg.h"
#include "ZELIMAP/imapsearch.h"
#include "ZELIMAP/imapselect.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapsession.h"
#include "platform/ascii.h"

namespace {

// The states a command is valid in.
constexpr unsigned kAuth = 1u << kImapAuthenticated;
constexpr unsigned kSel = 1u << kImapSelected;
constexpr unsigned kAny = kAuth | kSel;

// What a command takes after its name.
enum ArgsRule { kNoArgs, kArgs, kUidArgs /* arguments in its UID form only */ };

struct SessionCommand {
  const char *Name;
  unsigned States;
  bool bUidForm;   // also as "UID <name>"
  ArgsRule Args;
  // Changes of the selected folder are told before it runs (the folder
  // commands that leave it do not).
  bool bReports;
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

// CHECK (IMAP4rev1): every change is durable when its command completes,
// so there is nothing left to do but report.
ImapGo CmdCheck(_Connection *conn, const ImapCommandView &cmd) {
  ImapReply(conn, cmd.Tag, "OK CHECK completed");
  return ImapGo::kOn;
}

ImapGo CmdLsubRev1(_Connection *conn, const ImapCommandView &cmd) {
  if (Sess(conn).bRev2) {
    ImapReply(conn, cmd.Tag, "BAD LSUB is not part of IMAP4rev2: use LIST");
    return ImapGo::kOn;
  }
  return CmdLsub(conn, cmd);
}

// Looked up in this order; names are upper case from the reader.
const SessionCommand kCommands[] = {
    {"FETCH", kSel, true, kArgs, true, CmdFetch},
    {"STORE", kSel, true, kArgs, true, CmdStore},
    {"SEARCH", kSel, true, kArgs, true, CmdSearch},
    {"NOOP", kAny, false, kNoArgs, true, CmdNoop},
    {"CHECK", kSel, false, kNoArgs, true, CmdCheck},
    {"IDLE", kAny, false, kNoArgs, true, CmdIdle},
    {"SELECT", kAny, false, kArgs, false, CmdSelect},
    {"EXAMINE", kAny, false, kArgs, false, CmdExamine},
    {"LIST", kAny, false, kArgs, true, CmdList},
    {"STATUS", kAny, false, kArgs, true, CmdStatus},
    {"APPEND", kAny, false, kArgs, true, CmdAppend},
    {"COPY", kSel, true, kArgs, true, CmdCopy},
    {"MOVE", kSel, true, kArgs, true, CmdMove},
    {"EXPUNGE", kSel, true, kUidArgs, true, CmdExpunge},
    {"CLOSE", kSel, false, kNoArgs, false, CmdClose},
    {"UNSELECT", kSel, false, kNoArgs, false, CmdUnselect},
    {"CREATE", kAny, false, kArgs, true, CmdCreate},
    {"DELETE", kAny, false, kArgs, true, CmdDelete},
    {"RENAME", kAny, false, kArgs, true, CmdRename},
    {"SUBSCRIBE", kAny, false, kArgs, true, CmdSubscribe},
    {"UNSUBSCRIBE", kAny, false, kArgs, true, CmdUnsubscribe},
    {"LSUB", kAny, false, kArgs, true, CmdLsubRev1},
    {"NAMESPACE", kAny, false, kNoArgs, true, CmdNamespace},
    {"CAPABILITY", kAny, false, kNoArgs, true, CmdCapability},
    {"ENABLE", kAuth, false, kArgs, false, CmdEnable},
    {"ID", kAny, false, kArgs, true, CmdId},
    {"LOGOUT", kAny, false, kNoArgs, false, CmdLogout},
};

// Whether the arguments fit the command (a reply queued when not).
bool ArgumentsFit(_Connection *conn, const ImapCommandView &cmd, const SessionCommand &command) {
  bool wanted = command.Args == kArgs || (command.Args == kUidArgs && cmd.bUid);
  if (wanted == cmd.bHasArgs) return true;
  ImapReply(conn, cmd.Tag, wanted ? "BAD Missing arguments" : "BAD Unexpected arguments");
  return false;
}

ImapGo SessionCommandHandler(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  for (const SessionCommand &command : kCommands) {
    if (cmd.Name != command.Name || (cmd.bUid && !command.bUidForm)) continue;
    if ((command.States & (1u << c.State)) == 0) {
      ImapReply(conn, cmd.Tag, c.State == kImapAuthenticated ? "BAD No folder selected"
                                                             : "BAD Command not valid now");
      return ImapGo::kOn;
    }
    if (!ArgumentsFit(conn, cmd, command)) return ImapGo::kOn;
    // No EXPUNGE while answering FETCH, STORE or SEARCH (their UID forms
    // may have them: they name messages by UID).
    bool numbered = command.Handler == CmdFetch || command.Handler == CmdStore ||
                    command.Handler == CmdSearch;
    if (command.bReports) ReportFolderChanges(conn, cmd.bUid || !numbered, cmd.bUid);
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
    AppendAnnounced,
    AppendBytes,
    SessionRawLine,
    IdleBeforeRead,
    IdleReadStarted,
    IdleAfterRead,
    IdleWoken,
    nullptr,   // no logon in a session
    ReleaseSessionConn,
    nullptr, nullptr, {},   // IMAP's own reader, no speech after TLS, IMAP's idle BYE
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
