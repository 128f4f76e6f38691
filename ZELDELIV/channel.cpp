// channel: see channel.h.
#include "ZELDELIV/channel.h"

#include <chrono>

#include "platform/childproc.h"
#include "platform/thread.h"

bool Channel::Serve(Handler handler) {
  std::string packet;
  std::vector<UniqueFd> fds;
  bool orderly = true;
  for (;;) {
    int got = ReceivePacket(socket_.Get(), packet, fds);
    if (got == 0) break;
    ChannelMessage message;
    if (got < 0 || !DecodeChannelMessage(packet, message)) {
      orderly = got < 0 && GetLastError() != ERROR_INVALID_DATA;
      break;
    }
    if (!Dispatch(handler, message, fds)) break;
  }
  Close();
  return orderly;
}

bool Channel::Dispatch(Handler handler, ChannelMessage &message, std::vector<UniqueFd> &fds) {
  if (message.Kind == ChannelKind::kAnswer) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = pending_.find(message.Id);
    if (it != pending_.end()) it->second = message.Value;
    answered_.notify_all();
    return true;
  }
  std::shared_ptr<Channel> self = shared_from_this();
  if (message.Id == 0) {   // a notice: quick, and in order
    handler(self, message, fds);
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (handlers_ >= kMaxChannelHandlers) {
      Answer(message.Id, kAnswerRefused);
      return true;
    }
  }
  uint32_t id = message.Id;
  // A thread's body must be copyable; the descriptors are not.
  struct Work {
    ChannelMessage Message;
    std::vector<UniqueFd> Fds;
  };
  auto work = std::make_shared<Work>(Work{std::move(message), std::move(fds)});
  auto body = [self, handler, work] {
    handler(self, work->Message, work->Fds);
    std::lock_guard<std::mutex> guard(self->lock_);
    --self->handlers_;
  };
  if (!StartCountedThread(lock_, handlers_, std::move(body), kChannelHandlerStack))
    Answer(id, kAnswerRefused);
  return true;
}

bool Channel::Call(ChannelMessage request, std::span<const int> fds, DWORD timeoutMs,
                   uint32_t *value) {
  std::unique_lock<std::mutex> guard(lock_);
  if (closed_) {
    SetLastError(EPIPE);
    return false;
  }
  request.Id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;   // 0 is a notice's
  pending_[request.Id];
  guard.unlock();
  bool sent = SendPacket(socket_.Get(), EncodeChannelMessage(request), fds);
  long error = sent ? ERROR_TIMEOUT : GetLastError();
  guard.lock();
  auto it = pending_.find(request.Id);
  if (sent)
    answered_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                       [&] { return it->second.has_value() || closed_; });
  bool ok = it->second.has_value();
  if (ok) *value = *it->second;
  pending_.erase(it);
  if (!ok) SetLastError(closed_ ? EPIPE : error);
  return ok;
}

bool Channel::Notify(const ChannelMessage &notice) {
  ChannelMessage m = notice;
  m.Id = 0;
  return SendPacket(socket_.Get(), EncodeChannelMessage(m));
}

bool Channel::Answer(uint32_t id, uint32_t value) {
  ChannelMessage m;
  m.Kind = ChannelKind::kAnswer;
  m.Id = id;
  m.Value = value;
  return SendPacket(socket_.Get(), EncodeChannelMessage(m));
}

void Channel::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return;
  closed_ = true;
  ShutdownChannel(socket_.Get());
  answered_.notify_all();
}

bool Channel::Closed() {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}
