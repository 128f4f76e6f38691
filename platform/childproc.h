// childproc: a program's own child process, started from the program's
// file again, and the socket pair that joins the two.
//
// The delivery agent keeps root for local delivery and runs its remote
// delivery in a child that sheds it (ZELDELIV/remote). A fork alone would
// copy a process whose other threads may hold locks at that moment, so the
// child runs the program again (the file behind /proc/self/exe, even when
// it was replaced on disk since) with the arguments given, and begins as a
// fresh process. It inherits standard input, output and error and its end
// of the socket pair as descriptor kChildChannelFd; every other descriptor
// is closed before the program runs. Its signal mask is cleared and its
// signals take their default actions (the service blocks its signals for
// its controller's signalfd). It gets SIGKILL when the thread that started
// it ends (the kernel's parent-death signal): start it from a thread that
// lives as long as the process. The child program calls DieWithParent
// again after it changes its user ids, which clear that setting.
//
// Packets: the pair is SOCK_SEQPACKET, so one send is one message of at
// most kMaxPacketBytes bytes with at most kMaxPacketFds descriptors
// (SCM_RIGHTS). A packet that arrives cut, or with more descriptors, is
// refused whole and its descriptors are closed. The child closing its end
// (it does so only by ending) is how the parent learns that it ended.
//
// Callers: ZELDELIV/remote, on both sides. Untrusted input: the packets,
// whose content the caller parses bounded; received descriptors are
// close-on-exec. Threads: a ChildProcess belongs to one thread;
// SendPacket may be called from several threads at once on one socket,
// ReceivePacket from one thread at a time. Failures: false with the last
// error; ReceivePacket's 0 is the other end closed.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/localipc.h"

// The descriptor the child finds its end of the pair on.
constexpr int kChildChannelFd = 3;
// One packet: the channel's largest message with room to spare; the
// kernel's default socket buffer holds several.
constexpr size_t kMaxPacketBytes = 64 * 1024;
// Descriptors in one packet: a request hands over three at most (the
// pair is platform/localipc's, whose messages carry as many).
constexpr size_t kMaxPacketFds = 4;
static_assert(kMaxPacketFds <= kMaxPassedDescriptors, "a packet's descriptors fit a message");

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();   // kills and reaps a child that was not reaped
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts the program file again with args (args[0] is the name ps
  // shows); channel gets the parent's end of the pair. False (nothing
  // started) with the last error.
  bool Start(const std::vector<std::string> &args, UniqueFd &channel);
  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }
  // Sends sig to the child (nothing once it was reaped).
  void Signal(int sig) const;
  // Waits for the child to end and returns its wait status; with
  // killAfterMs it is sent SIGKILL once that time has passed.
  int Reap(unsigned killAfterMs);

 private:
  pid_t pid_ = -1;
};

// "exit status N", or "signal N (name)" for a child a signal ended.
std::string ExitStatusText(int status);

// In the child: the signals that stop a service from a terminal or a
// service manager (SIGTERM, SIGINT, SIGHUP) are ignored; it ends with its
// parent, which stops it in order.
void IgnoreStopSignals();
// In the child: it gets SIGKILL when its parent ends. False when parent is
// no longer its parent (it ended before this took effect).
bool DieWithParent(pid_t parent);
// This process, and its parent.
pid_t CurrentProcess();
pid_t ParentProcess();

// A connected pair of packet sockets (close-on-exec), as Start makes.
bool CreatePacketPair(UniqueFd &one, UniqueFd &other);
// One packet with the descriptors fds (kept open here). False when it
// could not be sent whole (EPIPE once the other end is closed).
bool SendPacket(int fd, std::string_view data, std::span<const int> fds = {});
// Waits for one packet: 1 with its bytes in data and its descriptors in
// fds; 0 when the other end closed; -1 with the last error
// (ERROR_INVALID_DATA for a packet refused whole).
int ReceivePacket(int fd, std::string &data, std::vector<UniqueFd> &fds);
// Files handed over with a packet (a message, an envelope, a changed
// text) are read and written whole from their start, whatever the offset
// the two processes share. Read: false when the file is larger than
// maxBytes. Write: the file holds data and nothing more afterwards.
bool ReadHandedFile(int fd, size_t maxBytes, std::string &data);
bool WriteHandedFile(int fd, std::string_view data);
// Ends ReceivePacket and SendPacket on fd in every thread, at once and
// later: the other end sees the channel closed.
void ShutdownChannel(int fd);
