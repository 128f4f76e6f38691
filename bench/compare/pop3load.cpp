// pop3load: the POP3 load generator of the side-by-side benchmark, the
// same session as measure.Pop3Client without Python's lock in the way: one
// thread and one connection per mailbox, all released together; each logs
// on (USER, PASS), asks STAT, retrieves every message (RETR, read to the
// end line) with DELE after each when asked, then QUIT. One command at a
// time on a plain blocking socket, nothing tuned: the client any server
// sees.
//
//   pop3load PORT DELETE(0|1) USER:PASSWORD...
//
// Prints one line per mailbox, "USER MESSAGES OCTETS" (octets: the reply
// bodies with their end lines) or "USER ERROR text", and exits 1 when any
// session failed. Built by the driver (measure.py) with g++ into its
// scratch directory; not part of the product or of its tests. Contacts
// 127.0.0.1 only; every wait is bounded by a receive timeout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <barrier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

namespace {

constexpr int kReplySeconds = 120;      // one reply may take this long
constexpr size_t kMaxLine = 4096;       // a status line longer than this is a fault

struct Session {
  std::string User, Password, Error;
  long long Messages = 0, Octets = 0;
};

class Connection {
 public:
  explicit Connection(int port) : fd_(ConnectLoopback(port, kReplySeconds)) {}
  ~Connection() { close(fd_); }

  // The next reply line, without its CRLF.
  std::string Line() {
    for (;;) {
      size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      if (buffer_.size() > kMaxLine) throw std::string("reply line too long");
      Fill();
    }
  }

  std::string Command(const std::string &text) {
    std::string out = text + "\r\n";
    for (size_t sent = 0; sent < out.size();) {
      ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw text.substr(0, 4) + ": send: " + strerror(errno);
      sent += static_cast<size_t>(n);
    }
    std::string reply = Line();
    if (reply.compare(0, 3, "+OK") != 0) throw text.substr(0, 4) + ": " + reply;
    return reply;
  }

  // The rest of a multi-line reply up to and including its end line; its
  // length. The status line's CRLF counts as the line end before the body.
  long long Body() {
    char tail[5] = {'\0', '\0', '\0', '\r', '\n'};
    long long size = 0;
    auto take = [&](const char *p, size_t n) {
      size += static_cast<long long>(n);
      if (n >= 5) {
        memcpy(tail, p + n - 5, 5);
      } else {
        memmove(tail, tail + n, 5 - n);
        memcpy(tail + 5 - n, p, n);
      }
    };
    take(buffer_.data(), buffer_.size());
    buffer_.clear();   // nothing follows an answer the client has not asked for
    while (memcmp(tail, "\r\n.\r\n", 5) != 0) {
      ssize_t n = Receive(chunk_, sizeof chunk_);
      take(chunk_, static_cast<size_t>(n));
    }
    return size;
  }

 private:
  ssize_t Receive(char *into, size_t room) {
    for (;;) {
      ssize_t n = recv(fd_, into, room, 0);
      if (n > 0) return n;
      if (n < 0 && errno == EINTR) continue;
      throw std::string(n == 0 ? "connection closed" : strerror(errno));
    }
  }
  void Fill() {
    ssize_t n = Receive(chunk_, sizeof chunk_);
    buffer_.append(chunk_, static_cast<size_t>(n));
  }

  int fd_ = -1;
  std::string buffer_;
  char chunk_[1 << 18];
};

void Collect(int port, bool remove, Session &s) {
  auto c = std::make_unique<Connection>(port);
  if (c->Line().compare(0, 3, "+OK") != 0) throw std::string("no greeting");
  c->Command("USER " + s.User);
  c->Command("PASS " + s.Password);
  std::string stat = c->Command("STAT");
  long long count = atoll(stat.c_str() + 3);
  for (long long n = 1; n <= count; ++n) {
    c->Command("RETR " + std::to_string(n));
    s.Octets += c->Body();
    if (remove) c->Command("DELE " + std::to_string(n));
    ++s.Messages;
  }
  c->Command("QUIT");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pop3load PORT DELETE(0|1) USER:PASSWORD...\n");
    return 2;
  }
  int port = atoi(argv[1]);
  bool remove = atoi(argv[2]) != 0;
  std::vector<Session> sessions(static_cast<size_t>(argc - 3));
  for (size_t i = 0; i < sessions.size(); ++i) {
    std::string arg = argv[i + 3];
    size_t colon = arg.find(':');
    sessions[i].User = arg.substr(0, colon);
    sessions[i].Password = colon == std::string::npos ? "" : arg.substr(colon + 1);
  }
  std::barrier start(static_cast<std::ptrdiff_t>(sessions.size()));
  std::vector<std::thread> threads;
  for (Session &s : sessions) {
    threads.emplace_back([&, port, remove] {
      start.arrive_and_wait();
      try {
        Collect(port, remove, s);
      } catch (const std::string &e) {
        s.Error = e;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  int status = 0;
  for (const Session &s : sessions) {
    if (s.Error.empty()) {
      printf("%s %lld %lld\n", s.User.c_str(), s.Messages, s.Octets);
    } else {
      printf("%s ERROR %s\n", s.User.c_str(), s.Error.c_str());
      status = 1;
    }
  }
  return status;
}
