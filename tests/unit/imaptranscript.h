// The IMAP command reader driven as a session would drive it, written down
// as one line per event, so that a test (or the fuzz target) compares what
// came out of the same bytes fed in different pieces. Shared by
// imapparse_test.cpp and fuzz_imapreader.cpp.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ZELIMAP/imapparse.h"

struct ImapDrive {
  // Cut points: the input goes in pieces of these sizes, in turn (0: whole).
  std::string_view Pieces;
  // APPEND messages are refused with this reply when it is not empty.
  std::string RefuseWith;
  // Raw mode after these commands (a session does this after IDLE and
  // AUTHENTICATE's continuation).
  bool bRawAfterIdle = true;
  // The reader's settings.
  uint64_t AppendLimit = kDefaultAppendLimit;
  bool bLiteralMinus = false;
  // Set when a command broke the reader's bounds.
  bool bOutOfBounds = false;
};

inline void NoteCommand(const ImapCommandView &c, std::string &log, ImapDrive &d) {
  if (c.Args.size() > kMaxCommandText + kMaxCommandLiterals) d.bOutOfBounds = true;
  log += "CMD " + std::string(c.Tag) + " " + (c.bUid ? "UID " : "") + std::string(c.Name) + "|" +
         std::string(c.Args);
  if (c.MessageAt != std::string_view::npos)
    log += "|msg@" + std::to_string(c.MessageAt) + ":" + std::to_string(c.MessageSize);
  log += "\n";
}

// The transcript of the events: CMD, CONT, APPEND, DATA (a message's pieces
// joined), REJ (CLOSE after it when the reader asks), RAW.
inline std::string ImapTranscript(std::string_view input, ImapDrive &d) {
  ImapReader r;
  r.AppendLimit = d.AppendLimit;
  r.bLiteralMinus = d.bLiteralMinus;
  std::string log;
  bool inData = false;
  size_t piece = 0;
  // Every call takes a byte or reports an event; a bound catches a reader
  // that would spin.
  size_t calls = 0, limit = 4 * input.size() + 64;
  while (!input.empty() || piece == 0) {
    size_t size = d.Pieces.empty() ? input.size()
                                   : static_cast<unsigned char>(d.Pieces[piece % d.Pieces.size()]);
    if (size == 0) size = input.size();
    ++piece;
    std::string_view chunk = input.substr(0, std::min(size, input.size()));
    input.remove_prefix(chunk.size());
    for (;;) {
      if (++calls > limit) std::abort();
      ImapStep step = ImapRead(r, chunk);
      chunk.remove_prefix(step.Used);
      // A message's pieces are joined whatever the cut of the input.
      bool dataGoesOn = step.Event == ImapEvent::kMessageBytes || step.Event == ImapEvent::kNeedMore;
      if (inData && !dataGoesOn) log += "\n", inData = false;
      switch (step.Event) {
        case ImapEvent::kNeedMore: break;
        case ImapEvent::kCommand:
          NoteCommand(r.Command, log, d);
          if (d.bRawAfterIdle && r.Command.Name == "IDLE") ImapExpectRawLine(r);
          continue;
        case ImapEvent::kContinue: log += "CONT\n"; continue;
        case ImapEvent::kAppendMessage:
          log += "APPEND " + std::string(r.Command.Tag) + "|" + std::string(r.Command.Args) + "|" +
                 std::to_string(r.Command.MessageSize) + "\n";
          if (!d.RefuseWith.empty()) ImapRefuseMessage(r, d.RefuseWith);
          continue;
        case ImapEvent::kMessageBytes:
          if (!inData) log += "DATA ", inData = true;
          log.append(step.Data);
          continue;
        case ImapEvent::kReject:
          log += "REJ " + r.Reply.substr(0, r.Reply.size() - 2) + (r.bCloseAfterReply ? " CLOSE" : "") + "\n";
          continue;
        case ImapEvent::kRawLine:
          log += "RAW " + std::string(r.RawLine) + (r.bRawLineCut ? " CUT" : "") + "\n";
          continue;
      }
      break;
    }
    if (input.empty()) break;
  }
  if (inData) log += "\n";
  return log;
}
