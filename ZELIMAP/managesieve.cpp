// managesieve: what the ManageSieve front and session share; see
// managesieve.h.
#include "ZELIMAP/managesieve.h"

#include "ZELIMAP/imapconn.h"
#include "common/sieve.h"

namespace {

// What the IMPLEMENTATION capability names.
constexpr const char *kSieveImplementation = "ZEL ManageSieve";

SieveSettings TheSettings;

// The arguments match the entry's shape.
bool ArgsFit(const ManageSieveCommand &cmd, const char *shape) {
  std::string_view want(shape);
  if (cmd.Args.size() != want.size()) return false;
  for (size_t i = 0; i < want.size(); ++i)
    if (cmd.Args[i].bNumber != (want[i] == 'n')) return false;
  return true;
}

}  // namespace

void SayManageSieve(_Connection *conn, std::string_view status, std::string_view code,
                    std::string_view text) {
  Imap(conn).Out += ManageSieveResponse(status, code, text);
}

ManageSieveEvent NextManageSieveCommand(_Connection *conn, ManageSieveReader &reader,
                                        ManageSieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  ManageSieveStep step = ReadManageSieveCommand(reader, PendingImapInput(c), cmd);
  c.InStart += step.Used;
  c.bReaderStarved = step.Event == ManageSieveEvent::kNeedMore;
  if (step.Event == ManageSieveEvent::kCommand) NoteCommandLine(conn);
  if (step.Event == ManageSieveEvent::kRefused || step.Event == ManageSieveEvent::kFatal)
    c.Out += reader.Refusal;
  if (step.Event == ManageSieveEvent::kFatal) c.bCloseAfterSend = true;
  return step.Event;
}

void LoadManageSieveSettings() { TheSettings = LoadSieveSettings(); }

const SieveSettings &ManageSieveSettings() { return TheSettings; }

std::string SieveCapabilityListing(bool offerStartTls, bool plainAllowed,
                                   const std::string &owner) {
  std::string out;
  auto cap = [&out](std::string_view name, std::string_view value) {
    out += ManageSieveString(name);
    if (!value.empty() || name == "SASL") out += " " + ManageSieveString(value);
    out += "\r\n";
  };
  cap("IMPLEMENTATION", kSieveImplementation);
  cap("SASL", owner.empty() && plainAllowed ? "PLAIN" : "");
  cap("SIEVE", SieveCapabilities());
  if (offerStartTls) cap("STARTTLS", "");
  cap("MAXREDIRECTS", std::to_string(TheSettings.Limits.MaxRedirects));
  if (!owner.empty()) cap("OWNER", owner);
  cap("UNAUTHENTICATE", "");
  cap("VERSION", "1.0");
  out += "OK\r\n";
  return out;
}

const ManageSieveEntry *FindManageSieveEntry(std::span<const ManageSieveEntry> table,
                                             std::string_view name) {
  for (const ManageSieveEntry &entry : table)
    if (name == entry.Name) return &entry;
  return nullptr;
}

void RunManageSieveEntry(_Connection *conn, const ManageSieveEntry &entry,
                         ManageSieveCommand &cmd) {
  if (entry.Args != nullptr && !ArgsFit(cmd, entry.Args)) {
    SayManageSieve(conn, "NO", "", std::string("Wrong arguments for ") + entry.Name);
    return;
  }
  entry.Handler(conn, cmd);
}

void ManageSieveNoop(_Connection *conn, ManageSieveCommand &cmd) {
  if (cmd.Args.empty()) return SayManageSieve(conn, "OK", "", "Done");
  if (cmd.Args.size() > 1 || cmd.Args[0].bNumber)
    return SayManageSieve(conn, "NO", "", "Wrong arguments for NOOP");
  SayManageSieve(conn, "OK", "TAG " + ManageSieveString(cmd.Args[0].Text), "Done");
}

void ManageSieveLogout(_Connection *conn, ManageSieveCommand &) {
  SayManageSieve(conn, "OK", "", "Logout completed");
  Imap(conn).bCloseAfterSend = true;
}
