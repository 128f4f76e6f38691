// imapconn: see imapconn.h.
#include "ZELIMAP/imapconn.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "common/logging.h"

namespace {

void StartRead(_Connection *conn) {
  ImapConn &c = Imap(conn);
  if (c.ReadBuffer == nullptr) {
    c.ReadBuffer.reset(new (std::nothrow) char[c.ReadBytes]);
    if (c.ReadBuffer == nullptr) {
      CloseConnection(conn, false);
      return;
    }
  }
  c.InStart = c.InEnd = 0;
  c.Phase = kImapPhaseRead;
  // Taken before the read starts: afterwards the record may be another
  // worker's at any moment.
  uint64_t token = c.WaitToken;
  const ImapHandlers *h = c.Handlers;
  if (!TrySocketRead(conn, c.ReadBuffer.get(), c.ReadBytes)) {
    if (h->AfterRead != nullptr) h->AfterRead(conn);
    CloseConnection(conn, false);
    return;
  }
  if (token != 0 && h->ReadStarted != nullptr) h->ReadStarted(token);
}

void StartSend(_Connection *conn) {
  ImapConn &c = Imap(conn);
  c.Sending.swap(c.Out);
  c.Out.clear();
  c.Phase = kImapPhaseSend;
  bool started =
      c.TransmitFile.Valid()
          ? TrySocketTransmit(conn, c.TransmitFile.Get(), static_cast<off_t>(c.TransmitOffset),
                              static_cast<size_t>(c.TransmitLength), c.Sending, c.TransmitTail)
          : TrySocketWrite(conn, c.Sending.data(), c.Sending.size());
  if (!started) CloseConnection(conn, false);
}

ImapGo HandleStep(_Connection *conn, const ImapStep &step) {
  ImapConn &c = Imap(conn);
  const ImapHandlers *h = c.Handlers;
  switch (step.Event) {
    case ImapEvent::kNeedMore:
      return ImapGo::kOn;
    case ImapEvent::kCommand:
      NoteCommandLine(conn);
      return h->Command(conn, c.Reader.Command);
    case ImapEvent::kContinue:
      c.Out.append(kImapContinueReply);
      return ImapGo::kOn;
    case ImapEvent::kAppendMessage:
      if (h->AppendMessage != nullptr) return h->AppendMessage(conn, c.Reader.Command);
      ImapRefuseMessage(c.Reader, std::string(c.Reader.Command.Tag) +
                                      " BAD Command not valid in this state\r\n");
      return ImapGo::kOn;
    case ImapEvent::kMessageBytes:
      // Message bytes keep the connection alive as lines do.
      NoteCommandLine(conn);
      return h->MessageBytes != nullptr ? h->MessageBytes(conn, step.Data) : ImapGo::kOn;
    case ImapEvent::kReject:
      c.Out += c.Reader.Reply;
      if (c.Reader.bCloseAfterReply) c.bCloseAfterSend = true;
      return ImapGo::kOn;
    case ImapEvent::kRawLine:
      NoteCommandLine(conn);
      if (h->RawLine != nullptr) return h->RawLine(conn, c.Reader.RawLine, c.Reader.bRawLineCut);
      return ImapGo::kOn;
  }
  return ImapGo::kOn;
}

// After a send: the TLS handshake of STARTTLS starts here, once its OK
// has left in clear. False when the record is no longer the loop's (closed,
// or a handshake outstanding for a protocol that speaks after it).
bool AfterSend(_Connection *conn) {
  ImapConn &c = Imap(conn);
  c.TransmitFile.Reset();
  c.TransmitTail.clear();
  if (c.Sending.capacity() > kImapSendChunk)
    std::string().swap(c.Sending);
  else
    c.Sending.clear();
  if (!c.bStartTlsAfterSend) return true;
  c.bStartTlsAfterSend = false;
  std::string none;
  DropImapInput(c);
  if (StartConnectionTls(conn, none) < 0) {
    CloseConnection(conn, false);
    return false;
  }
  if (c.Handlers->TlsStarted == nullptr) return true;
  c.Phase = kImapPhaseTls;
  if (!TryTlsHandshake(conn)) CloseConnection(conn, false);
  return false;
}

void FailedCompletion(_Connection *conn) {
  ImapConn &c = Imap(conn);
  long error = GetLastError();
  bool aborted = error == ERROR_OPERATION_ABORTED;
  if (aborted && conn->bTimedOut.load()) {
    // No whole command within the idle limit (IDLE included): the client
    // is told, and the connection closes after it.
    c.bWakeAsked = false;
    c.Continue = nullptr;
    c.Out.assign(c.Handlers->IdleBye.empty() ? kImapAutologout : c.Handlers->IdleBye);
    c.bCloseAfterSend = true;
    ImapAdvance(conn);
    return;
  }
  if (aborted && c.bWakeAsked.exchange(false) && c.Phase == kImapPhaseRead &&
      c.Handlers->Woken != nullptr) {
    if (c.Handlers->Woken(conn) == ImapGo::kOn) ImapAdvance(conn);
    return;
  }
  // A write the client does not take, a reset, any other failure.
  CloseConnection(conn, false);
}

}  // namespace

bool AttachImapConn(_Connection *conn, ImapConn *c, const ImapHandlers *handlers) {
  if (c == nullptr) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "malloc IMAP connection", ERROR_NOT_ENOUGH_MEMORY);
    CloseConnection(conn, false);
    return false;
  }
  c->Handlers = handlers;
  conn->Dialogue = c;
  return true;
}

void ImapAdvance(_Connection *conn) {
  for (;;) {
    ImapConn &c = Imap(conn);
    bool inputLeft = c.InStart < c.InEnd;
    bool flush = !c.Out.empty() && (!c.bGatherReplies || !inputLeft ||
                                    c.Out.size() >= kImapSendChunk || c.Continue != nullptr ||
                                    c.bCloseAfterSend);
    if (flush || c.TransmitFile.Valid()) {
      StartSend(conn);
      return;
    }
    if (c.bCloseAfterSend) {
      CloseConnection(conn, true);
      return;
    }
    if (c.Continue != nullptr) {
      if (c.Continue(conn) == ImapGo::kAway) return;
      continue;
    }
    if (!inputLeft && c.bReaderStarved) {
      if (c.Handlers->BeforeRead != nullptr) {
        c.Handlers->BeforeRead(conn);
        if (!c.Out.empty()) continue;
      }
      StartRead(conn);
      return;
    }
    if (c.Handlers->Input != nullptr) {
      if (c.Handlers->Input(conn) == ImapGo::kAway) return;
      continue;
    }
    std::string_view input = PendingImapInput(c);
    ImapStep step = ImapRead(c.Reader, input);
    c.InStart += std::min(step.Used, input.size());
    c.bReaderStarved = step.Event == ImapEvent::kNeedMore;
    if (HandleStep(conn, step) == ImapGo::kAway) return;
  }
}

void ImapCompletion(_Connection *conn, OVERLAPPED *ov, DWORD bytes, bool ok) {
  if (conn->Dialogue == nullptr || ov != &conn->Overlapped) {
    CloseConnection(conn, false);
    return;
  }
  ImapConn &c = Imap(conn);
  int phase = c.Phase;
  c.Phase = kImapPhaseNone;
  if (phase == kImapPhaseRead && c.Handlers->AfterRead != nullptr) c.Handlers->AfterRead(conn);
  if (phase == kImapPhaseLogon) {
    c.Handlers->LogonDone(conn);
    return;
  }
  if (!ok) {
    c.Phase = phase;
    FailedCompletion(conn);
    return;
  }
  if (phase == kImapPhaseRead) {
    if (bytes == 0) {
      CloseConnection(conn, false);   // the client closed
      return;
    }
    c.InStart = 0;
    c.InEnd = std::min<size_t>(bytes, c.ReadBytes);
  } else if (phase == kImapPhaseSend) {
    if (!AfterSend(conn)) return;
  } else if (phase == kImapPhaseTls) {
    c.Handlers->TlsStarted(conn);
  } else {
    CloseConnection(conn, false);
    return;
  }
  ImapAdvance(conn);
}

void ReleaseImapConn(_Connection *conn) {
  auto *c = static_cast<ImapConn *>(conn->Dialogue);
  if (c == nullptr) return;
  if (c->Handlers != nullptr && c->Handlers->Release != nullptr) c->Handlers->Release(*c);
  delete c;
  conn->Dialogue = nullptr;
}

std::string_view PendingImapInput(const ImapConn &c) {
  if (c.ReadBuffer == nullptr) return {};
  return std::string_view(c.ReadBuffer.get() + c.InStart, c.InEnd - c.InStart);
}

bool PutImapInput(ImapConn &c, std::string_view input) {
  input = input.substr(0, c.ReadBytes);
  if (c.ReadBuffer == nullptr) c.ReadBuffer.reset(new (std::nothrow) char[c.ReadBytes]);
  if (c.ReadBuffer == nullptr) return false;
  memcpy(c.ReadBuffer.get(), input.data(), input.size());
  c.InStart = 0;
  c.InEnd = input.size();
  return true;
}

void DropImapInput(ImapConn &c) { c.InStart = c.InEnd = 0; }

void WipeImapCommand(ImapConn &c) {
  if (c.ReadBuffer != nullptr) explicit_bzero(c.ReadBuffer.get(), c.InStart);
  explicit_bzero(c.Reader.Buffer.data(), c.Reader.Buffer.size());
}

void ImapWake(_Connection *conn) {
  ImapConn &c = Imap(conn);
  c.bWakeAsked = true;
  (void)EnginePort().CancelRead(conn->Socket, &conn->Overlapped);
}
