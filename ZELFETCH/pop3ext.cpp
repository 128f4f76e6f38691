// pop3ext: see pop3ext.h.
#include "ZELFETCH/pop3ext.h"

#include <string.h>

#include "ZELFETCH/maildrop.h"
#include "common/sasl.h"
#include "common/str.h"
#include "platform/ascii.h"

namespace {

// Checks a PLAIN response on the pool (or ends the exchange at once when it
// is not base64). The response is wiped.
void TakePlain(_Connection *conn, std::string &response) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  std::string name, password;
  PlainResponse outcome = DecodePlainResponse(response, name, password);
  WipeSecret(response);
  if (outcome == PlainResponse::kBadBase64) {
    SendReply(conn, "-ERR invalid base64 data\r\n", kStateAuthReply);
    return;
  }
  dlg.UserName = name;
  dlg.bSaslLogon = true;
  // Refused credentials are checked all the same, under a name no account
  // has: the client learns nothing from the time or the reply. A master
  // logon is the logon helper's to judge.
  bool master = outcome == PlainResponse::kMasterCredentials;
  SubmitLogon(conn, outcome == PlainResponse::kCredentials || master ? name : std::string(),
              password, master);
}

}  // namespace

std::string CapabilityList(bool offerStls, bool offerLogon) {
  std::string list = "+OK Capability list follows\r\nTOP\r\nUIDL\r\n";
  if (offerLogon) list += "USER\r\nSASL PLAIN\r\n";
  list += "RESP-CODES\r\nAUTH-RESP-CODE\r\nPIPELINING\r\n";
  if (offerStls) list += "STLS\r\n";
  return list + ".\r\n";
}

PlainResponse DecodePlainResponse(std::string_view response, std::string &name,
                                  std::string &password) {
  return DecodePlainResponse(response, kMaxUserName, name, password);
}

void CmdCapa(_Connection *conn) {
  SendMultiLine(conn, CapabilityList(Pop3CanStartTls(conn), PlaintextLogonAllowed(conn)),
                ReplyStateFor(PopDlg(conn).State));
}

void CmdStls(_Connection *conn) {
  int next = ReplyStateFor(PopDlg(conn).State);
  if (Pop3Encrypted(conn)) {
    SendReply(conn, "-ERR TLS is already active\r\n", next);
  } else if (PopDlg(conn).State != kStateAuthCommand) {
    SendReply(conn, "-ERR STLS is not permitted after logon\r\n", next);
  } else if (!Pop3CanStartTls(conn)) {
    SendReply(conn, "-ERR TLS is not available\r\n", next);
  } else {
    SendReply(conn, "+OK Begin TLS negotiation\r\n", kStateStlsReply);
  }
}

void CmdAuth(_Connection *conn) {
  _Pop3Dialogue &dlg = PopDlg(conn);
  if (dlg.Cmd.ArgCount == 0) {
    // The mechanisms, for clients that ask before CAPA existed.
    SendMultiLine(conn, "+OK\r\nPLAIN\r\n.\r\n", kStateAuthReply);
    return;
  }
  std::string response = dlg.Cmd.Arg2;
  WipeSecret(dlg.Cmd.Arg2);
  if (!EqualsNoCase(dlg.Cmd.Arg1, "PLAIN")) {
    WipeSecret(response);
    SendReply(conn, "-ERR unrecognized authentication mechanism\r\n", kStateAuthReply);
  } else if (!PlaintextLogonAllowed(conn)) {
    WipeSecret(response);
    SendReply(conn, kEncryptionRequired, kStateAuthReply);
  } else if (dlg.Cmd.ArgCount == 1) {
    SendReply(conn, "+ \r\n", kStateSaslReply);
  } else {
    if (response == "=") response.clear();   // an empty initial response
    TakePlain(conn, response);
  }
}

void AuthResponse(_Connection *conn, std::string &line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  if (line == "*") {
    WipeSecret(line);
    SendReply(conn, "-ERR authentication cancelled\r\n", kStateAuthReply);
    return;
  }
  TakePlain(conn, line);
}
