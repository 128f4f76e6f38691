// The completion port against real loopback sockets and files: an echo
// server on a worker pool, whole large writes, end of stream and resets,
// file writes, TransmitFile, cancellation (also racing with arriving data),
// posts and time-outs. Every wait is bounded.
#include "platform/iocp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

constexpr DWORD kWaitMs = 10000;   // no single completion may take longer
constexpr uintptr_t kStopKey = 0;  // the key that ends a test worker

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct Pair {
  UniqueFd Client;
  UniqueFd Server;
};

// A connected loopback pair: the client end blocking, the server end for the port.
Pair MakePair() {
  Pair p;
  UniqueFd listener(CreateListener(kLoopback, 0, 4));
  uint16_t port = 0;
  if (!listener.Valid() || !GetLocalAddress(listener.Get(), nullptr, &port)) return p;
  p.Client.Reset(ConnectSocket(kLoopback, port, kWaitMs));
  p.Server.Reset(AcceptSocket(listener.Get(), nullptr));
  return p;
}

std::string Pattern(size_t length, unsigned seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i)
    s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 12)) & 0xFF);
  return s;
}

// Reads from a blocking socket until the end of the stream (or failure).
std::string ReadToEnd(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    long n = RecvSocket(fd, buf, sizeof buf, kWaitMs);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

bool ReadExactly(int fd, std::string &out, size_t length) {
  out.clear();
  char buf[65536];
  while (out.size() < length) {
    long n = RecvSocket(fd, buf, std::min(sizeof buf, length - out.size()), kWaitMs);
    if (n <= 0) return false;
    out.append(buf, static_cast<size_t>(n));
  }
  return true;
}

struct Completion {
  bool Ok = false;
  DWORD Bytes = 0;
  uintptr_t Key = 0;
  OVERLAPPED *Ov = nullptr;
  long Error = 0;
};

Completion Wait(CompletionPort &port, DWORD timeoutMs = kWaitMs) {
  Completion c;
  c.Ok = port.GetQueuedCompletionStatus(&c.Bytes, &c.Key, &c.Ov, timeoutMs);
  c.Error = c.Ok ? 0 : GetLastError();
  return c;
}

class IocpTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(port_.Create(2)); }
  CompletionPort port_;
};

// ---- the echo server

struct EchoConn {
  int Fd = -1;
  OVERLAPPED Ov;
  bool Reading = false;
  char Buffer[4096];
  std::atomic<int> InFlight{0};
};

struct EchoServer {
  CompletionPort *Port = nullptr;
  std::atomic<int> Overlaps{0};  // a connection seen by two workers at once
  std::atomic<int> Failures{0};
  std::atomic<int> Closed{0};

  void Close(EchoConn *c) {
    Port->Dissociate(c->Fd);
    CloseSocket(c->Fd);
    delete c;
    Closed++;
  }
  void StartRead(EchoConn *c) {
    c->Reading = true;
    if (!Port->ReadSocket(c->Fd, c->Buffer, sizeof c->Buffer, &c->Ov)) Failures++;
  }
  // One completion of connection c; the connection is released before the
  // next operation starts, because its completion may arrive at once.
  void Step(EchoConn *c, bool ok, DWORD bytes) {
    if (c->InFlight.fetch_add(1) != 0) Overlaps++;
    bool wasRead = c->Reading;
    if (!ok || (wasRead && bytes == 0)) {
      if (!ok) Failures++;
      c->InFlight--;
      Close(c);
      return;
    }
    c->InFlight--;
    if (wasRead) {
      c->Reading = false;
      if (!Port->WriteSocket(c->Fd, c->Buffer, bytes, &c->Ov)) Failures++;
    } else {
      StartRead(c);
    }
  }
  void Worker() {
    for (;;) {
      Completion done = Wait(*Port);
      if (done.Ov == nullptr) {
        if (done.Ok && done.Key == kStopKey) return;
        Failures++;  // a time-out: the test has stalled
        return;
      }
      Step(reinterpret_cast<EchoConn *>(done.Key), done.Ok, done.Bytes);
    }
  }
};

TEST_F(IocpTest, EchoServerManyClientsNeverTwoWorkersOnOneConnection) {
  constexpr int kWorkers = 4, kClientThreads = 20, kConnsPerThread = 10, kRounds = 50;
  constexpr int kConns = kClientThreads * kConnsPerThread;
  UniqueFd listener(CreateListener(kLoopback, 0, 64));
  uint16_t port = 0;
  ASSERT_TRUE(GetLocalAddress(listener.Get(), nullptr, &port));
  EchoServer server;
  server.Port = &port_;
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) workers.emplace_back([&] { server.Worker(); });
  std::thread acceptor([&] {
    for (int i = 0; i < kConns; ++i) {
      int fd = AcceptSocket(listener.Get(), nullptr);
      if (fd < 0) return;
      auto *c = new EchoConn;
      c->Fd = fd;
      if (!port_.Associate(fd, reinterpret_cast<uintptr_t>(c))) server.Failures++;
      server.StartRead(c);
    }
  });
  std::atomic<int> clientErrors{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClientThreads; ++t) {
    clients.emplace_back([&, t] {
      std::vector<UniqueFd> fds;
      for (int i = 0; i < kConnsPerThread; ++i)
        fds.emplace_back(ConnectSocket(kLoopback, port, kWaitMs));
      for (int round = 0; round < kRounds; ++round) {
        // All of this thread's connections are in flight together.
        std::vector<std::string> sent;
        for (int i = 0; i < kConnsPerThread; ++i) {
          sent.push_back(Pattern(1 + (round * 97 + i * 31 + t) % 3000, round + i));
          if (!SendSocket(fds[i].Get(), sent.back().data(), sent.back().size(), kWaitMs))
            clientErrors++;
        }
        for (int i = 0; i < kConnsPerThread; ++i) {
          std::string echo;
          if (!ReadExactly(fds[i].Get(), echo, sent[i].size()) || echo != sent[i]) clientErrors++;
        }
      }
    });
  }
  for (auto &c : clients) c.join();
  acceptor.join();
  for (long long end = MonotonicMs() + kWaitMs;
       server.Closed.load() < kConns && MonotonicMs() < end;)
    Sleep(10);
  for (int i = 0; i < kWorkers; ++i) port_.Post(0, kStopKey, nullptr);
  for (auto &w : workers) w.join();
  EXPECT_EQ(clientErrors.load(), 0);
  EXPECT_EQ(server.Overlaps.load(), 0);
  EXPECT_EQ(server.Failures.load(), 0);
  EXPECT_EQ(server.Closed.load(), kConns);
}

// ---- writes, end of stream, resets

TEST_F(IocpTest, LargeWriteCompletesWhole) {
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 5));
  std::string data = Pattern(8 << 20, 1);
  std::string got;
  std::thread reader([&] { ReadExactly(p.Client.Get(), got, data.size()); });
  OVERLAPPED ov;
  ASSERT_TRUE(port_.WriteSocket(p.Server.Get(), data.data(), data.size(), &ov));
  Completion done = Wait(port_);
  reader.join();
  EXPECT_TRUE(done.Ok);
  EXPECT_EQ(done.Ov, &ov);
  EXPECT_EQ(done.Key, 5u);
  EXPECT_EQ(done.Bytes, data.size());
  EXPECT_TRUE(got == data);
  EXPECT_TRUE(port_.Dissociate(p.Server.Get()));
}

// The peer's close or reset, arriving before the read starts or while it waits.
TEST_F(IocpTest, EndOfStreamAndResetOnRead) {
  struct Case {
    bool abortive;
    bool beforeRead;
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "abortive " << c.abortive << " before " << c.beforeRead);
    Pair p = MakePair();
    ASSERT_TRUE(port_.Associate(p.Server.Get(), 9));
    auto hangUp = [&] {
      int fd = p.Client.Release();
      c.abortive ? CloseSocketAbortive(fd) : CloseSocket(fd);
    };
    if (c.beforeRead) {
      hangUp();
      Sleep(20);
    }
    char buf[64];
    OVERLAPPED ov;
    bool started = port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov);
    if (!c.beforeRead) {
      Sleep(20);
      hangUp();
    }
    if (!started) {
      // A failure known at once is reported by the call, with no completion.
      EXPECT_TRUE(c.abortive && c.beforeRead);
      EXPECT_EQ(GetLastError(), ERROR_NETNAME_DELETED);
    } else {
      Completion done = Wait(port_);
      EXPECT_EQ(done.Ov, &ov);
      EXPECT_EQ(done.Ok, !c.abortive);
      EXPECT_EQ(done.Bytes, 0u);
      if (c.abortive) {
        EXPECT_EQ(done.Error, ERROR_NETNAME_DELETED);
      }
    }
    EXPECT_EQ(Wait(port_, 20).Ov, nullptr);
    EXPECT_TRUE(port_.Dissociate(p.Server.Get()));
  }
}

TEST_F(IocpTest, WriteToResetPeerFailsWithoutSignal) {
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 3));
  std::string data = Pattern(16 << 20, 2);
  OVERLAPPED ov;
  ASSERT_TRUE(port_.WriteSocket(p.Server.Get(), data.data(), data.size(), &ov));
  Sleep(20);
  CloseSocketAbortive(p.Client.Release());
  Completion done = Wait(port_);
  EXPECT_FALSE(done.Ok);
  EXPECT_EQ(done.Ov, &ov);
  EXPECT_TRUE(done.Error == ECONNRESET || done.Error == EPIPE) << done.Error;
  EXPECT_LT(done.Bytes, data.size());
  // The same through sendfile, which has no flag against SIGPIPE.
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_TRUE(file.Valid());
  ASSERT_EQ(write(file.Get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ASSERT_FALSE(
      port_.TransmitFile(p.Server.Get(), file.Get(), 0, data.size(), nullptr, 0, nullptr, 0, &ov));
  EXPECT_TRUE(GetLastError() == ECONNRESET || GetLastError() == EPIPE);
}

TEST_F(IocpTest, OneOperationPerSocketAndBadCalls) {
  Pair p = MakePair();
  char buf[16];
  OVERLAPPED ov, other;
  EXPECT_FALSE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));  // not associated
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 1));
  EXPECT_FALSE(port_.ReadSocket(p.Server.Get(), buf, 0, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));
  EXPECT_FALSE(port_.WriteSocket(p.Server.Get(), "x", 1, &other));
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_FALSE(port_.Dissociate(p.Server.Get()));
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  ASSERT_TRUE(port_.CancelIo(p.Server.Get(), &ov));
  EXPECT_EQ(Wait(port_).Error, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(port_.Dissociate(p.Server.Get()));
  // A write of nothing completes at once.
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 1));
  ASSERT_TRUE(port_.WriteSocket(p.Server.Get(), nullptr, 0, &ov));
  Completion done = Wait(port_);
  EXPECT_TRUE(done.Ok);
  EXPECT_EQ(done.Bytes, 0u);
}

// ---- file writes

TEST_F(IocpTest, FileWritesAtOffsetsWithAndWithoutSync) {
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_TRUE(file.Valid());
  OVERLAPPED ov[3];
  EXPECT_FALSE(port_.WriteFile(file.Get(), "x", 1, 0, false, &ov[0]));  // not associated
  ASSERT_TRUE(port_.Associate(file.Get(), 77));
  std::string big = Pattern(1 << 20, 3);
  ASSERT_TRUE(port_.WriteFile(file.Get(), "world", 5, 6, true, &ov[0]));
  ASSERT_TRUE(port_.WriteFile(file.Get(), "hello ", 6, 0, false, &ov[1]));
  ASSERT_TRUE(port_.WriteFile(file.Get(), big.data(), big.size(), 11, true, &ov[2]));
  size_t seen[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    Completion done = Wait(port_);
    ASSERT_TRUE(done.Ok) << done.Error;
    EXPECT_EQ(done.Key, 77u);
    seen[done.Ov - ov] = done.Bytes;
  }
  EXPECT_EQ(seen[0], 5u);
  EXPECT_EQ(seen[1], 6u);
  EXPECT_EQ(seen[2], big.size());
  std::string content(11 + big.size(), '\0');
  ASSERT_EQ(pread(file.Get(), content.data(), content.size(), 0),
            static_cast<ssize_t>(content.size()));
  EXPECT_EQ(content.substr(0, 11), "hello world");
  EXPECT_TRUE(content.substr(11) == big);
  EXPECT_TRUE(port_.Dissociate(file.Get()));
  EXPECT_FALSE(port_.WriteFile(file.Get(), "x", 1, 0, false, &ov[0]));  // dissociated: no stale key
}

TEST_F(IocpTest, FailedFileWriteCompletesWithError) {
  UniqueFd dir(open("/", O_RDONLY | O_CLOEXEC));  // a handle that pwrite refuses
  ASSERT_TRUE(dir.Valid());
  ASSERT_TRUE(port_.Associate(dir.Get(), 4));
  OVERLAPPED ov;
  ASSERT_TRUE(port_.WriteFile(dir.Get(), "data", 4, 0, true, &ov));
  Completion done = Wait(port_);
  EXPECT_FALSE(done.Ok);
  EXPECT_EQ(done.Ov, &ov);
  EXPECT_EQ(done.Key, 4u);
  EXPECT_NE(done.Error, 0);
}

// ---- TransmitFile

TEST_F(IocpTest, TransmitFileSendsHeadRangeTailExactly) {
  constexpr size_t kFileSize = 3 << 20;  // larger than any socket buffer
  std::string content = Pattern(kFileSize, 4);
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_TRUE(file.Valid());
  ASSERT_EQ(write(file.Get(), content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  struct Case {
    std::string head;
    size_t offset, length;
    std::string tail;
  } cases[] = {
      {"+OK 5 octets\r\n", 10, 5, ".\r\n"},
      {"", 0, kFileSize, ""},
      {"HEAD", 1000, kFileSize - 2000, "TAIL"},
      {"only a head\r\n", 0, 0, ""},
      {"", 0, 0, "only a tail\r\n"},
      {"head, no tail ", 7, 100000, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.head + "|" + std::to_string(c.length) + "|" + c.tail);
    Pair p = MakePair();
    ASSERT_TRUE(port_.Associate(p.Server.Get(), 2));
    std::string got;
    std::thread reader([&] { got = ReadToEnd(p.Client.Get()); });
    OVERLAPPED ov;
    ASSERT_TRUE(port_.TransmitFile(p.Server.Get(), file.Get(), static_cast<off_t>(c.offset),
                                   c.length, c.head.data(), c.head.size(), c.tail.data(),
                                   c.tail.size(), &ov));
    Completion done = Wait(port_);
    EXPECT_TRUE(done.Ok) << done.Error;
    EXPECT_EQ(done.Bytes, c.head.size() + c.length + c.tail.size());
    port_.Dissociate(p.Server.Get());
    CloseSocket(p.Server.Release());
    reader.join();
    EXPECT_TRUE(got == c.head + content.substr(c.offset, c.length) + c.tail);
  }
}

TEST_F(IocpTest, TransmitFileOutsideTheFile) {
  constexpr size_t kFileSize = 32 << 20;  // more than the socket buffers take at once
  std::string content = Pattern(kFileSize, 7);
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_EQ(write(file.Get(), content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 2));
  OVERLAPPED ov;
  // A range past the end is refused before anything is sent.
  EXPECT_FALSE(port_.TransmitFile(p.Server.Get(), file.Get(), 5, kFileSize, "H", 1, "T", 1, &ov));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  char probe[4];
  EXPECT_EQ(RecvSocket(p.Client.Get(), probe, sizeof probe, 50), -1);  // nothing arrived
  // A file that shrinks during the transmission fails it.
  ASSERT_TRUE(port_.TransmitFile(p.Server.Get(), file.Get(), 0, kFileSize, "H", 1, "T", 1, &ov));
  ASSERT_EQ(ftruncate(file.Get(), 0), 0);
  std::thread reader([&] { ReadToEnd(p.Client.Get()); });
  Completion done = Wait(port_);
  EXPECT_FALSE(done.Ok);
  EXPECT_EQ(done.Error, EIO);
  EXPECT_LT(done.Bytes, kFileSize);
  port_.Dissociate(p.Server.Get());
  CloseSocket(p.Server.Release());
  reader.join();
}

// ---- cancellation

TEST_F(IocpTest, CancelArmedReadCompletesOnceAborted) {
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 8));
  char buf[16];
  OVERLAPPED ov;
  for (bool byPointer : {true, false}) {  // a null ov cancels what is outstanding
    ASSERT_TRUE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));
    ASSERT_TRUE(port_.CancelIo(p.Server.Get(), byPointer ? &ov : nullptr));
    Completion done = Wait(port_);
    EXPECT_FALSE(done.Ok);
    EXPECT_EQ(done.Ov, &ov);
    EXPECT_EQ(done.Key, 8u);
    EXPECT_EQ(done.Error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Wait(port_, 50).Ov, nullptr);
    EXPECT_FALSE(port_.CancelIo(p.Server.Get(), &ov));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  }
  // The socket works on after a cancel.
  ASSERT_TRUE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));
  ASSERT_EQ(send(p.Client.Get(), "abc", 3, 0), 3);
  Completion done = Wait(port_);
  EXPECT_TRUE(done.Ok);
  EXPECT_EQ(done.Bytes, 3u);
}

TEST_F(IocpTest, CancelReadLeavesWritesAlone) {
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 8));
  std::string data = Pattern(16 << 20, 5);  // more than the buffers hold: the write waits
  OVERLAPPED ov;
  ASSERT_TRUE(port_.WriteSocket(p.Server.Get(), data.data(), data.size(), &ov));
  Sleep(20);
  EXPECT_FALSE(port_.CancelRead(p.Server.Get(), &ov));
  EXPECT_TRUE(port_.CancelIo(p.Server.Get(), &ov));
  Completion done = Wait(port_);
  EXPECT_EQ(done.Error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Wait(port_, 50).Ov, nullptr);
}

// Data arrives while the owner cancels: whichever wins, the read completes
// exactly once, as cancelled exactly when CancelIo said so.
TEST_F(IocpTest, CancelRacingWithDataNeverCompletesTwice) {
  constexpr int kIterations = 3000, kWorkers = 2;
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 6));
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Completion> completions;
  std::atomic<int> total{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&] {
      for (;;) {
        Completion c = Wait(port_);
        if (c.Ov == nullptr) return;  // stop post (or a stall, caught below)
        total++;
        std::lock_guard<std::mutex> guard(lock);
        completions.push_back(c);
        wake.notify_one();
      }
    });
  }
  char buf[64];
  OVERLAPPED ov;
  int sent = 0, received = 0, cancels = 0, mismatches = 0, lost = 0;
  for (int i = 0; i < kIterations && lost == 0; ++i) {
    ASSERT_TRUE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));
    if (i % 3 != 0) sent += static_cast<int>(send(p.Client.Get(), "x", 1, 0));
    // Sometimes cancel at once (the worker has not woken yet), sometimes later.
    for (int spin = i % 4 == 1 ? 0 : i % 50; spin > 0; --spin) std::this_thread::yield();
    bool cancelled = port_.CancelIo(p.Server.Get(), &ov);
    cancels += cancelled;
    std::unique_lock<std::mutex> guard(lock);
    if (!wake.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                       [&] { return !completions.empty(); })) {
      lost++;
      break;
    }
    Completion c = completions.front();
    completions.pop_front();
    if (cancelled != (!c.Ok && c.Error == ERROR_OPERATION_ABORTED) || (c.Ok && c.Bytes == 0))
      mismatches++;
    if (c.Ok) received += static_cast<int>(c.Bytes);
  }
  Sleep(100);  // time for a duplicate to show up
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(total.load(), kIterations);
  EXPECT_GT(cancels, 0);
  EXPECT_LT(cancels, kIterations);
  // Bytes left behind by cancelled reads are still in the socket.
  while (received < sent) {
    ASSERT_TRUE(port_.ReadSocket(p.Server.Get(), buf, sizeof buf, &ov));
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(wake.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                              [&] { return !completions.empty(); }));
    ASSERT_TRUE(completions.front().Ok);
    received += static_cast<int>(completions.front().Bytes);
    completions.pop_front();
  }
  EXPECT_EQ(received, sent);
  for (int i = 0; i < kWorkers; ++i) port_.Post(0, kStopKey, nullptr);
  for (auto &w : workers) w.join();
}

TEST_F(IocpTest, CancelQueuedFileWrite) {
  // One file thread, held busy by a large synced write, so the second write
  // waits in the queue and can be cancelled there.
  CompletionPort port;
  ASSERT_TRUE(port.Create(1));
  UniqueFd file(CreateTempFileDeleteOnClose());
  ASSERT_TRUE(port.Associate(file.Get(), 11));
  std::string big = Pattern(32 << 20, 6);
  OVERLAPPED first, second;
  ASSERT_TRUE(port.WriteFile(file.Get(), big.data(), big.size(), 0, true, &first));
  ASSERT_TRUE(port.WriteFile(file.Get(), "tail", 4, big.size(), false, &second));
  bool cancelled = port.CancelIo(file.Get(), &second);
  int aborted = 0, ok = 0;
  for (int i = 0; i < 2; ++i) {
    Completion done = Wait(port);
    ASSERT_NE(done.Ov, nullptr);
    EXPECT_EQ(done.Key, 11u);
    (done.Ok ? ok : aborted)++;
    if (!done.Ok) {
      EXPECT_EQ(done.Ov, &second);
    }
  }
  EXPECT_EQ(aborted, cancelled ? 1 : 0);
  EXPECT_EQ(Wait(port, 20).Ov, nullptr);
  EXPECT_TRUE(port.Dissociate(file.Get()));
}

// ---- posts and time-outs

TEST_F(IocpTest, PostWakesAWaitingWorker) {
  Completion got;
  std::thread waiter([&] { got = Wait(port_, INFINITE); });
  Sleep(50);
  ASSERT_TRUE(port_.Post(7, 42, nullptr));
  waiter.join();
  EXPECT_TRUE(got.Ok);
  EXPECT_EQ(got.Bytes, 7u);
  EXPECT_EQ(got.Key, 42u);
  EXPECT_EQ(got.Ov, nullptr);
  // A post hands back the caller's block untouched.
  OVERLAPPED ov;
  ov.Done = 12345;
  ASSERT_TRUE(port_.Post(3, 9, &ov));
  got = Wait(port_);
  EXPECT_TRUE(got.Ok);
  EXPECT_EQ(got.Ov, &ov);
  EXPECT_EQ(ov.Done, 12345u);
}

TEST_F(IocpTest, KeptCompletionsGoBackToTheWaiterThatStartedThem) {
  Pair p = MakePair();
  ASSERT_TRUE(port_.Associate(p.Server.Get(), 5));
  // Started by a thread that does not wait on the port: queued for any waiter.
  OVERLAPPED first, second;
  ASSERT_TRUE(port_.WriteSocket(p.Server.Get(), "a", 1, &first));
  Completion other;
  std::thread([&] { other = Wait(port_); }).join();
  EXPECT_EQ(other.Ov, &first);
  // Started by a waiter while it handles a completion: no other waiter gets
  // it, and the waiter's next wait returns it at once.
  Completion stranger, kept;
  std::thread worker([&] {
    if (!port_.Post(0, 1, nullptr) || Wait(port_).Key != 1) return;
    if (!port_.WriteSocket(p.Server.Get(), "b", 1, &second)) return;
    std::thread([&] { stranger = Wait(port_, 200); }).join();
    kept = Wait(port_, 0);
  });
  worker.join();
  EXPECT_EQ(stranger.Ov, nullptr);
  EXPECT_EQ(stranger.Error, ERROR_TIMEOUT);
  EXPECT_TRUE(kept.Ok);
  EXPECT_EQ(kept.Ov, &second);
  EXPECT_EQ(kept.Key, 5u);
  EXPECT_EQ(kept.Bytes, 1u);
  std::string got;
  EXPECT_TRUE(ReadExactly(p.Client.Get(), got, 2));
  EXPECT_EQ(got, "ab");
  EXPECT_TRUE(port_.Dissociate(p.Server.Get()));
}

TEST_F(IocpTest, EveryPostReachesExactlyOneWorker) {
  constexpr int kPosts = 20000, kWorkers = 4;
  std::vector<std::atomic<int>> seen(kPosts + 1);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&] {
      for (;;) {
        Completion c = Wait(port_);
        if (!c.Ok || c.Key == kStopKey) return;
        seen[c.Key]++;
      }
    });
  }
  std::thread second([&] {
    for (int k = 2; k <= kPosts; k += 2) port_.Post(0, k, nullptr);
  });
  for (int k = 1; k <= kPosts; k += 2) port_.Post(0, k, nullptr);
  second.join();
  // The queue is first in, first out: the stops come after every key.
  for (int i = 0; i < kWorkers; ++i) port_.Post(0, kStopKey, nullptr);
  for (auto &w : workers) w.join();
  int wrong = 0;
  for (int k = 1; k <= kPosts; ++k) wrong += seen[k].load() != 1;
  EXPECT_EQ(wrong, 0);
}

TEST_F(IocpTest, TimeOutReturnsFalseWithoutOverlapped) {
  for (DWORD timeout : {0u, 100u}) {
    long long start = MonotonicMs();
    Completion c = Wait(port_, timeout);
    long long took = MonotonicMs() - start;
    EXPECT_FALSE(c.Ok);
    EXPECT_EQ(c.Ov, nullptr);
    EXPECT_EQ(c.Error, ERROR_TIMEOUT);
    EXPECT_GE(took, static_cast<long long>(timeout) - 1);
    EXPECT_LT(took, static_cast<long long>(timeout) + 1000);
  }
}

}  // namespace
