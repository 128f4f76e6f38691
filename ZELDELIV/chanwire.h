// chanwire: the messages between the delivery agent's two processes (see
// remote.h): the privileged side, which keeps root for local delivery, and
// the remote side, which delivers to other hosts without any privilege.
//
// A message is one packet of the socket pair between them
// (platform/childproc): a kind byte, a 32-bit request number (0 for a
// notice, which gets no answer), a 32-bit value (an answer's result), a
// count byte and that many texts, each a 16-bit length and its bytes;
// numbers are little-endian. Descriptors travel beside the bytes.
//
//   kind              from        texts                 answer's value
//   kDeliverLocally   remote      domain                1: its queue is finished
//   kDeadLetter       remote      file name, reason     1: the dead letter is kept
//   kQueueLeft        remote      domain                (notice) its queue is done
//   kFilterGenerated  privileged  message identifier    outcome | kFilterTextChanged
//                     with the descriptors: the message (read only), the
//                     envelope file, the file for a changed text
//   kWake             privileged  -                     (notice) new queue files
//   kGatewayPassword  remote      -                     1: the memory file holds the
//                     with the descriptor of a memory   relay host's password; 0: it
//                     file (platform/files)             holds why there is none
//   kAnswer           either      -                     (the request's number)
//
// The envelope file of kFilterGenerated holds a 32-bit count of texts, the
// sender and then the recipients, each a text as above; the remote side
// writes back the envelope to queue in the same form.
//
// Untrusted input: each side parses the other's messages, and the
// privileged side trusts the remote one no more than the network. An
// unknown kind, a wrong count of texts, a text longer than its field,
// missing or trailing bytes refuse the whole message; envelope files are
// read within kMaxEnvelopeBytes and kMaxEnvelopeRecipients. No state;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class ChannelKind : uint8_t {
  kAnswer = 1,
  kDeliverLocally = 2,
  kDeadLetter = 3,
  kQueueLeft = 4,
  kFilterGenerated = 5,
  kWake = 6,
  kGatewayPassword = 7,
};

struct ChannelMessage {
  ChannelKind Kind = ChannelKind::kAnswer;
  uint32_t Id = 0;      // the request's number; 0 for a notice
  uint32_t Value = 0;   // an answer's result
  std::vector<std::string> Texts;
};

// A domain name (queue directories are named after them).
constexpr size_t kMaxChannelDomain = 256;
// A file name in `holding`: a message base name with its extension, far
// within a file name's 255 bytes.
constexpr size_t kMaxChannelFileName = 255;
// A dead letter's reason: the agent's own texts are one line.
constexpr size_t kMaxDeadLetterReason = 1023;
// What a kGatewayPassword answer's memory file may hold: the password
// (smtpauth's kMaxGatewayPassword) or the reason there is none.
constexpr size_t kMaxHandedPassword = 4096;
// A message identifier, as a recipient file holds it.
constexpr size_t kMaxChannelMessageId = 288;
// Addresses in an envelope file: a return path's field.
constexpr size_t kMaxEnvelopeAddress = 512;
// Recipients of one generated message (a list's members): beyond any list
// this agent serves; the mail of a larger one waits unfiltered in
// `incoming` and is said so.
constexpr size_t kMaxEnvelopeRecipients = 1000000;
// The envelope file: that many addresses of common length.
constexpr size_t kMaxEnvelopeBytes = 64u * 1024 * 1024;

// kFilterGenerated's answer: the outcome (GeneratedFilterOutcome) in the
// low byte, and this bit when the text was changed.
constexpr uint32_t kFilterTextChanged = 0x100;
// An answer that says the request was refused (malformed, or no room to
// serve it): the caller goes on as when the work failed.
constexpr uint32_t kAnswerRefused = 0xFFFFFFFF;

// The message in wire form; texts longer than their field are cut (the
// senders pass texts of their own bounds).
std::string EncodeChannelMessage(const ChannelMessage &message);
// Parses one packet; false for anything but a whole, well-formed message.
bool DecodeChannelMessage(std::string_view wire, ChannelMessage &message);

// The envelope file's content, and its parser (false for anything but a
// whole, well-formed envelope within the bounds above).
std::string EncodeEnvelope(const std::string &sender, const std::vector<std::string> &recipients);
bool DecodeEnvelope(std::string_view wire, std::string &sender,
                    std::vector<std::string> &recipients);
