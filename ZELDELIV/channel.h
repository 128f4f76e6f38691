// channel: requests, answers and notices between the delivery agent's two
// processes, over the socket pair that joins them (messages: chanwire).
//
// Serve reads the other side's messages until that side closes: an answer
// wakes the Call waiting for it (a late one, whose caller gave up, is
// dropped); a request goes to the handler on a thread of its own, at most
// kMaxChannelHandlers at once (a request beyond that is answered
// kAnswerRefused); a notice goes to the handler on the reader's thread, in
// order, so its handling must be quick. A message that does not parse ends
// the channel: a side that breaks the protocol is not believed again.
// Call sends a request and waits, bounded, for its answer.
//
// Callers: ZELDELIV/remote, on both sides. Untrusted input: every message
// (chanwire parses them bounded); received descriptors are handed to the
// handler, which owns them. Threads: one thread runs Serve; any thread may
// Call, Notify and Answer. The channel is shared (std::shared_ptr) by its
// reader, its callers and its handler threads, and lives until the last of
// them lets go; Close ends the socket for all of them at once. Failures:
// false with the last error (EPIPE once closed, ERROR_TIMEOUT for an
// answer that did not come in time).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "ZELDELIV/chanwire.h"
#include "platform/errors.h"
#include "platform/files.h"

// Requests served at once: the remote side asks from its domain threads,
// the privileged side from its scanning thread.
constexpr unsigned kMaxChannelHandlers = 64;
// A handler delivers mail: the delivery threads' stack.
constexpr size_t kChannelHandlerStack = 1024 * 1024;

class Channel : public std::enable_shared_from_this<Channel> {
 public:
  typedef void (*Handler)(const std::shared_ptr<Channel> &channel, ChannelMessage &message,
                          std::vector<UniqueFd> &fds);

  explicit Channel(UniqueFd socket) : socket_(std::move(socket)) {}
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;

  // Reads until the other side closes (true) or breaks the protocol
  // (false); the channel is closed either way when it returns.
  bool Serve(Handler handler);
  // Sends request (a fresh number is put in) with fds and waits up to
  // timeoutMs for its answer's value.
  bool Call(ChannelMessage request, std::span<const int> fds, DWORD timeoutMs, uint32_t *value);
  bool Notify(const ChannelMessage &notice);
  bool Answer(uint32_t id, uint32_t value);
  void Close();
  bool Closed();

 private:
  bool Dispatch(Handler handler, ChannelMessage &message, std::vector<UniqueFd> &fds);

  UniqueFd socket_;
  std::mutex lock_;
  std::condition_variable answered_;
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::optional<uint32_t>> pending_;   // request number -> answer
  bool closed_ = false;
  unsigned handlers_ = 0;
};
