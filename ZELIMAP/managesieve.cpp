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
bool ArgsFit(const SieveCommand &cmd, const char *shape) {
  std::string_view want(shape);
  if (cmd.Args.size() != want.size()) return false;
  for (size_t i = 0; i < want.size(); ++i)
    if (cmd.Args[i].bNumber != (want[i] == 'n')) return false;
  return true;
}

}  // namespace

void SaySieve(_Connection *conn, std::string_view status, std::string_view code,
              std::string_view text) {
  Imap(conn).Out += SieveResponse(status, code, text);
}

SieveReadEvent NextSieveCommand(_Connection *conn, SieveReader &reader, SieveCommand &cmd) {
  ImapConn &c = Imap(conn);
  SieveStep step = ReadSieveCommand(reader, PendingImapInput(c), cmd);
  c.InStart += step.Used;
  c.bReaderStarved = step.Event == SieveReadEvent::kNeedMore;
  if (step.Event == SieveReadEvent::kCommand) NoteCommandLine(conn);
  if (step.Event == SieveReadEvent::kRefused || step.Event == SieveReadEvent::kFatal)
    c.Out += reader.Refusal;
  if (step.Event == SieveReadEvent::kFatal) c.bCloseAfterSend = true;
  return step.Event;
}

void LoadManageSieveSettings() { TheSettings = LoadSieveSettings(); }

const SieveSettings &ManageSieveSettings() { return TheSettings; }

std::string SieveCapabilityListing(bool offerStartTls, bool plainAllowed, const std::string &owner) {
  std::string out;
  auto cap = [&out](std::string_view name, std::string_view value) {
    out += SieveString(name);
    if (!value.empty() || name == "SASL") out += " " + SieveString(value);
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


const SieveCommandEntry *FindSieveCommand(std::span<const SieveCommandEntry> table,
                                          std::string_view name) {
  for (const SieveCommandEntry &entry : table)
    if (name == entry.Name) return &entry;
  return nullptr;
}

void RunSieveCommand(_Connection *conn, const SieveCommandEntry &entry, SieveCommand &cmd) {
  if (entry.Args != nullptr && !ArgsFit(cmd, entry.Args)) {
    SaySieve(conn, "NO", "", std::string("Wrong arguments for ") + entry.Name);
    return;
  }
  entry.Handler(conn, cmd);
}

void SieveNoop(_Connection *conn, SieveCommand &cmd) {
  if (cmd.Args.empty()) return SaySieve(conn, "OK", "", "Done");
  if (cmd.Args.size() > 1 || cmd.Args[0].bNumber)
    return SaySieve(conn, "NO", "", "Wrong arguments for NOOP");
  SaySieve(conn, "OK", "TAG " + SieveString(cmd.Args[0].Text), "Done");
}

void SieveLogout(_Connection *conn, SieveCommand &) {
  SaySieve(conn, "OK", "", "Logout completed");
  Imap(conn).bCloseAfterSend = true;
}
