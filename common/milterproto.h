// milterproto: the wire form of the mail filter (milter) protocol, version 6,
// from the MTA's side: the packets we send and the reader of the filter's
// replies. No I/O: the filter sessions (common/milter) move the bytes.
//
// A packet is a 32-bit length (network order, counting what follows), one
// command or reply byte, and its data. We send commands; the filter answers
// those that expect an answer with progress packets (more time), at the end
// of a message any number of modifications, and one final answer.
//
// Untrusted input: everything the filter sends. MilterPacketReader takes a
// packet only up to kMaxMilterReplyPacket; MilterReplyReader accepts a reply
// only where its command allows it (modifications only at the end of the
// message and only those the filter negotiated), checks every field, and
// bounds what a filter may pile up (kMaxMilterModifications,
// kMaxMilterChangeBytes, the caller's body bound). Anything else is a
// protocol error with a short reason; nothing a filter sends can make the
// reader fail otherwise.
//
// The text we send comes from SMTP clients: a NUL would end a string early
// in the filter, so every string is cut at its first NUL; a packet never
// exceeds the filter's default limit (kMaxMilterCommandData), a longer
// header value is cut to fit.
//
// Pure values and functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/milterresult.h"
#include "platform/ipaddr.h"

// ---- protocol constants (the names of the classic C header, our spelling)

constexpr uint32_t kMilterVersion = 6;
constexpr uint32_t kMilterOldestVersion = 2;   // the first with negotiation

// Commands, MTA to filter.
constexpr char kMilterCmdAbort = 'A';
constexpr char kMilterCmdBody = 'B';
constexpr char kMilterCmdConnect = 'C';
constexpr char kMilterCmdMacro = 'D';
constexpr char kMilterCmdEndOfMessage = 'E';
constexpr char kMilterCmdHelo = 'H';
constexpr char kMilterCmdHeader = 'L';
constexpr char kMilterCmdMail = 'M';
constexpr char kMilterCmdEndOfHeaders = 'N';
constexpr char kMilterCmdNegotiate = 'O';
constexpr char kMilterCmdQuit = 'Q';
constexpr char kMilterCmdRcpt = 'R';
constexpr char kMilterCmdData = 'T';

// Replies, filter to MTA.
constexpr char kMilterReplyAddRcpt = '+';
constexpr char kMilterReplyDelRcpt = '-';
constexpr char kMilterReplyAddRcptPar = '2';
constexpr char kMilterReplyShutdown = '4';
constexpr char kMilterReplyAccept = 'a';
constexpr char kMilterReplyReplaceBody = 'b';
constexpr char kMilterReplyContinue = 'c';
constexpr char kMilterReplyDiscard = 'd';
constexpr char kMilterReplyChangeFrom = 'e';
constexpr char kMilterReplyConnFail = 'f';
constexpr char kMilterReplyAddHeader = 'h';
constexpr char kMilterReplyInsertHeader = 'i';
constexpr char kMilterReplyChangeHeader = 'm';
constexpr char kMilterReplyNegotiate = 'O';
constexpr char kMilterReplyProgress = 'p';
constexpr char kMilterReplyQuarantine = 'q';
constexpr char kMilterReplyReject = 'r';
constexpr char kMilterReplySkip = 's';
constexpr char kMilterReplyTempFail = 't';
constexpr char kMilterReplyReplyCode = 'y';

// Connection families of the connect command.
constexpr char kMilterFamilyUnknown = 'U';
constexpr char kMilterFamilyUnix = 'L';
constexpr char kMilterFamilyInet = '4';
constexpr char kMilterFamilyInet6 = '6';

// Actions a filter may ask for.
constexpr uint32_t kMilterActAddHeaders = 0x001;    // add and insert headers
constexpr uint32_t kMilterActChangeBody = 0x002;
constexpr uint32_t kMilterActAddRcpt = 0x004;
constexpr uint32_t kMilterActDelRcpt = 0x008;
constexpr uint32_t kMilterActChangeHeaders = 0x010;
constexpr uint32_t kMilterActQuarantine = 0x020;
constexpr uint32_t kMilterActChangeFrom = 0x040;
constexpr uint32_t kMilterActAddRcptPar = 0x080;
constexpr uint32_t kMilterActSetSymList = 0x100;
constexpr uint32_t kMilterActionsOffered = 0x1FF;   // all of them

// Protocol steps: stages the filter does not want, answers it will not give.
constexpr uint32_t kMilterNoConnect = 0x000001;
constexpr uint32_t kMilterNoHelo = 0x000002;
constexpr uint32_t kMilterNoMail = 0x000004;
constexpr uint32_t kMilterNoRcpt = 0x000008;
constexpr uint32_t kMilterNoBody = 0x000010;
constexpr uint32_t kMilterNoHeaders = 0x000020;
constexpr uint32_t kMilterNoEndOfHeaders = 0x000040;
constexpr uint32_t kMilterNoReplyHeader = 0x000080;
constexpr uint32_t kMilterNoUnknown = 0x000100;
constexpr uint32_t kMilterNoData = 0x000200;
constexpr uint32_t kMilterSkip = 0x000400;           // we understand "skip"
constexpr uint32_t kMilterRcptRejected = 0x000800;   // rejected RCPTs too (never sent)
constexpr uint32_t kMilterNoReplyConnect = 0x001000;
constexpr uint32_t kMilterNoReplyHelo = 0x002000;
constexpr uint32_t kMilterNoReplyMail = 0x004000;
constexpr uint32_t kMilterNoReplyRcpt = 0x008000;
constexpr uint32_t kMilterNoReplyData = 0x010000;
constexpr uint32_t kMilterNoReplyUnknown = 0x020000;
constexpr uint32_t kMilterNoReplyEndOfHeaders = 0x040000;
constexpr uint32_t kMilterNoReplyBody = 0x080000;
constexpr uint32_t kMilterHeaderLeadingSpace = 0x100000;
constexpr uint32_t kMilterProtocolOffered = 0x1FFFFF;   // every step of version 6

// ---- limits

// The data of a packet we send: the filter library's default limit.
constexpr size_t kMaxMilterCommandData = 65535;
// A body chunk: the same.
constexpr size_t kMilterBodyChunk = 65535;
// A reply packet (length field) we take: the filter's own limit is 64 KiB
// unless it was built larger; more than this is garbage.
constexpr size_t kMaxMilterReplyPacket = 1024 * 1024;
// Modifications one filter may send at the end of one message, and the
// bytes of their names, values and addresses together (the body aside).
constexpr size_t kMaxMilterModifications = 1000;
constexpr size_t kMaxMilterChangeBytes = 1024 * 1024;
// An envelope address or its parameters from a filter.
constexpr size_t kMaxMilterAddress = 512;
constexpr size_t kMaxMilterParameters = 1024;
// A quarantine reason is cut to this.
constexpr size_t kMaxMilterQuarantineReason = 1024;
// A filter's own SMTP reply: lines, and octets per line (RFC 5321 4.5.3.1.5).
constexpr size_t kMaxMilterReplyLines = 32;
constexpr size_t kMaxMilterReplyLine = 510;

// ---- packets we send

// One packet: length, command, data.
void AppendMilterPacket(std::string *out, char command, std::string_view data);

// The negotiation offer: version 6, every action, every protocol step.
std::string MilterNegotiatePacket();

// Macros for the command that follows (the stage's command byte); pairs
// of name ("j", "{daemon_name}") and value. No packet without macros.
using MilterMacros = std::vector<std::pair<std::string, std::string>>;
void AppendMilterMacros(std::string *out, char command, const MilterMacros &macros);

// The connect command: the client's host name, family, port and address
// (an address that is not IPv4 or IPv6 goes as the unknown family).
std::string MilterConnectPacket(std::string_view hostName, const IpAddress &address,
                                uint16_t port);
// HELO: the name the client gave.
std::string MilterHeloPacket(std::string_view name);
// MAIL or RCPT (command): "<address>" and the ESMTP parameters.
std::string MilterEnvelopePacket(char command, std::string_view address,
                                 const std::vector<std::string> &parameters);
// A header: name and value (cut to fit the packet).
std::string MilterHeaderPacket(std::string_view name, std::string_view value);

// ---- reading packets

struct MilterPacket {
  char Command = 0;
  std::string_view Data;       // valid until the reader's buffer changes
};

enum class MilterPacketStatus { Incomplete, Packet, Bad };

// Takes the first whole packet from the front of buffer (the bytes read so
// far): Packet with *packet pointing into buffer and *used its size;
// Incomplete when more bytes are needed; Bad when the length is 0 or over
// kMaxMilterReplyPacket.
MilterPacketStatus TakeMilterPacket(std::string_view buffer, MilterPacket *packet, size_t *used);

// ---- negotiation

struct MilterOptions {
  uint32_t Version = 0;
  uint32_t Actions = 0;        // what the filter may do (within what we offered)
  uint32_t Protocol = 0;       // steps it skips, answers it does not give
};

// The filter's negotiation reply (its data): version, actions, protocol
// steps, and optionally lists of macros it wants (read, bounded, and not
// needed: we send the macros we have). Bits we did not offer are dropped.
// False (with *error) for a version below kMilterOldestVersion or a reply
// that is too short.
bool ParseMilterNegotiation(std::string_view data, MilterOptions *options, std::string *error);

// ---- reading answers

// What the filter's final answer to a command says.
enum class MilterAnswer { Continue, Accept, Reject, TempFail, Discard, Skip, Shutdown };

// Which command the answer is for: they differ in what they allow.
enum class MilterReplyContext {
  Connection,     // connect, HELO: no discard
  Transaction,    // MAIL, RCPT, DATA, header, end of headers
  Body,           // a body chunk: skip allowed
  EndOfMessage,   // modifications allowed
};

// One filter's changes at the end of a message.
struct MilterChanges {
  MilterEdits Text;
  bool bChangeSender = false;
  std::string Sender;
  std::string SenderParameters;
  std::vector<MilterRecipientChange> AddedRecipients;
  std::vector<std::string> DeletedRecipients;
  bool bQuarantine = false;
  std::string QuarantineReason;
  bool Empty() const {
    return Text.Empty() && !bChangeSender && AddedRecipients.empty() &&
           DeletedRecipients.empty() && !bQuarantine;
  }
};

enum class MilterReplyStatus {
  More,       // a modification was taken; the answer is still to come
  Progress,   // the filter asks for more time
  Done,       // the final answer is in Answer (and Reply)
  Bad,        // a protocol error; the reader takes nothing more
};

// Reads the packets that answer one command, one at a time.
class MilterReplyReader {
 public:
  // options: what was negotiated; maxBodyBytes bounds a replaced body.
  MilterReplyReader(MilterReplyContext context, const MilterOptions &options,
                    size_t maxBodyBytes);
  MilterReplyStatus Take(const MilterPacket &packet, std::string *error);

  MilterAnswer Answer = MilterAnswer::Continue;
  // Reject or TempFail with the filter's own reply: the checked reply, its
  // lines CR LF ended ("" for the default text).
  std::string Reply;
  MilterChanges Changes;

 private:
  MilterReplyStatus Modify(const MilterPacket &packet, std::string *error);
  MilterReplyStatus Final(const MilterPacket &packet, std::string *error);
  bool TakeHeaderEdit(const MilterPacket &packet, std::string *error);
  bool TakeEnvelopeEdit(const MilterPacket &packet, std::string *error);
  bool TakeBody(std::string_view data, std::string *error);
  bool TakeQuarantine(std::string_view data, std::string *error);
  bool Count(size_t bytes, std::string *error);

  MilterReplyContext context_;
  MilterOptions options_;
  size_t maxBodyBytes_;
  size_t modifications_ = 0;
  size_t changeBytes_ = 0;
  bool done_ = false;
};

// A filter's reply code packet's text ("550 5.7.1 text", or several lines
// "550-..." CR LF ... "550 ..."): checked (one 4xx or 5xx code on every
// line, continuation marks), "%%" made "%", other bytes outside printable
// ASCII shown as "?". A line longer than kMaxMilterReplyLine octets is
// broken into several (at spaces, the enhanced code repeated), and the
// reply is cut after kMaxMilterReplyLines lines, its last line then made
// the final one: what comes out is always a valid SMTP reply. *reply gets
// the lines CR LF ended, *tempFail whether the code is 4xx. False with
// *error for anything else.
bool ParseMilterReplyText(std::string_view text, std::string *reply, bool *tempFail,
                          std::string *error);
