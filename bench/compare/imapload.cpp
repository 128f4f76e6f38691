// imapload: the IMAP load generator of the side-by-side benchmark, one
// client for both servers: one thread and one connection per account (all
// released together), one command at a time on a plain blocking socket,
// nothing tuned. Modes:
//
//   imapload select PORT -          USER:PASSWORD...
//     LOGIN, SELECT INBOX, LOGOUT (the warming pass: builds the index).
//   imapload sync   PORT -          USER:PASSWORD...
//     LOGIN, SELECT INBOX, UID FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE
//     BODYSTRUCTURE), LOGOUT; counts the FETCH responses.
//   imapload fetch  PORT -          USER:PASSWORD...
//     LOGIN, SELECT INBOX, UID SEARCH ALL, then UID FETCH n BODY.PEEK[] of
//     every UID, one at a time; counts messages and the octets of BODY[].
//   imapload append PORT COUNT:SIZE USER:PASSWORD...
//     LOGIN, then COUNT x APPEND INBOX of a SIZE-byte message (a literal
//     {n+}, the server offers LITERAL+); counts the tagged OKs.
//   imapload search PORT WORD       USER:PASSWORD...
//     LOGIN, SELECT INBOX, SEARCH TEXT WORD; counts the numbers found.
//   imapload growth PORT -          USER:PASSWORD...
//     LOGIN, SELECT INBOX, STORE +FLAGS.SILENT (\Deleted) of the message in
//     the middle of the folder (every later number moves), EXPUNGE.
//   imapload idle   PORT SESSIONS   USER:PASSWORD...
//     over TLS (no certificate check: loopback, a scratch certificate):
//     SESSIONS connections per account each LOGIN, SELECT INBOX, IDLE;
//     prints "READY" once every one idles, then waits (kIdleWaitSeconds at
//     most) until each has been told of a new message (an EXISTS above
//     the count SELECT gave) and notes when, in CLOCK_MONOTONIC seconds.
//
// Prints one line per account (idle: per session), "USER key=value ...",
// or "USER ERROR text", and exits 1 when any session failed. Keys: messages,
// octets, select (seconds of SELECT), command (seconds of the mode's main
// command: the FETCH of sync, the SEARCH, the STORE and EXPUNGE of growth),
// seconds (the whole session after LOGIN), seen (idle). Built by the driver
// (measure.py) with g++ into its scratch directory, like pop3load; not part
// of the product or of its tests. Contacts 127.0.0.1 only; every wait is
// bounded by a receive timeout or a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
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

constexpr int kReplySeconds = 120;       // one reply may take this long
constexpr size_t kMaxLine = 1 << 20;     // a response line (literals aside) longer is a fault
constexpr size_t kMaxLiteral = 64 << 20; // a literal larger than this is a fault
constexpr int kIdleWaitSeconds = 60;     // how long idle sessions wait for their EXISTS
constexpr size_t kSetupThreads = 8;         // idle: logons in parallel (each costs a hash check)

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Account {
  std::string User, Password;
};

struct Result {
  std::string User, Error;
  long long Messages = 0, Octets = 0;
  double Select = 0, Command = 0, Seconds = 0, Seen = 0;
};

class Connection {
 public:
  Connection(int port, SSL_CTX *tls) : fd_(ConnectLoopback(port, kReplySeconds)) {
    if (tls != nullptr) {
      ssl_ = SSL_new(tls);
      if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1)
        throw std::string("TLS handshake failed");
    }
  }
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    close(fd_);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  int Fd() const { return fd_; }

  void Send(const std::string &data) {
    for (size_t sent = 0; sent < data.size();) {
      ssize_t n = ssl_ != nullptr
                      ? SSL_write(ssl_, data.data() + sent, static_cast<int>(data.size() - sent))
                      : send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::string("send: ") + strerror(errno);
      sent += static_cast<size_t>(n);
    }
  }

  // The next response line without its CRLF; the literals it carries are
  // read and left out (their octets are added to *literalOctets).
  std::string Line(long long *literalOctets = nullptr) {
    std::string line;
    for (;;) {
      size_t end;
      while ((end = buffer_.find("\r\n", scanned_)) == std::string::npos) {
        scanned_ = buffer_.size() > 0 ? buffer_.size() - 1 : 0;
        if (buffer_.size() > kMaxLine) throw std::string("response line too long");
        Fill();
      }
      line.append(buffer_, 0, end);
      buffer_.erase(0, end + 2);
      scanned_ = 0;
      size_t size = LiteralAtEnd(line);
      if (size == std::string::npos) return line;
      if (size > kMaxLiteral) throw std::string("literal too large");
      if (literalOctets != nullptr) *literalOctets += static_cast<long long>(size);
      while (buffer_.size() < size) Fill();
      buffer_.erase(0, size);
    }
  }

  // Sends "TAG TEXT" and reads to the tagged response; untagged lines go
  // to onLine. Throws unless the tagged status is OK.
  template <typename F>
  void Command(const std::string &text, F onLine, long long *literalOctets = nullptr) {
    std::string tag = "a" + std::to_string(++serial_);
    Send(tag + " " + text + "\r\n");
    Tagged(tag, text, onLine, literalOctets);
  }
  void Command(const std::string &text) {
    Command(text, [](const std::string &) {});
  }

  template <typename F>
  void Tagged(const std::string &tag, const std::string &text, F onLine,
              long long *literalOctets = nullptr) {
    for (;;) {
      std::string line = Line(literalOctets);
      if (line.compare(0, tag.size() + 1, tag + " ") == 0) {
        if (line.compare(tag.size() + 1, 3, "OK ") != 0)
          throw text.substr(0, text.find(' ')) + ": " + line.substr(0, 200);
        return;
      }
      onLine(line);
    }
  }

  std::string NextTag() { return "a" + std::to_string(++serial_); }

  // Idle's wait: reads what has arrived without blocking; false at the end
  // of the stream. Complete lines go to onLine.
  template <typename F>
  bool Drain(F onLine) {
    char chunk[16384];
    for (;;) {
      ssize_t n = ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk)
                                  : recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = buffer_.find("\r\n")) != std::string::npos) {
          onLine(buffer_.substr(0, end));
          buffer_.erase(0, end + 2);
        }
        if (buffer_.size() > kMaxLine) return false;
        continue;
      }
      if (ssl_ != nullptr) {
        int e = SSL_get_error(ssl_, static_cast<int>(n));
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
      }
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
  }

  void NonBlocking() { fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK); }

 private:
  // The size of the literal "{n}" or "~{n}" ending line, or npos.
  static size_t LiteralAtEnd(const std::string &line) {
    if (line.empty() || line.back() != '}') return std::string::npos;
    size_t open = line.rfind('{');
    if (open == std::string::npos || open + 2 > line.size() - 1) return std::string::npos;
    size_t size = 0;
    for (size_t i = open + 1; i + 1 < line.size(); ++i) {
      if (line[i] < '0' || line[i] > '9' || size > kMaxLiteral) return std::string::npos;
      size = size * 10 + static_cast<size_t>(line[i] - '0');
    }
    return size;
  }

  void Fill() {
    for (;;) {
      ssize_t n = ssl_ != nullptr ? SSL_read(ssl_, chunk_, sizeof chunk_)
                                  : recv(fd_, chunk_, sizeof chunk_, 0);
      if (n > 0) {
        buffer_.append(chunk_, static_cast<size_t>(n));
        return;
      }
      if (n < 0 && ssl_ == nullptr && errno == EINTR) continue;
      throw std::string(n == 0 ? "connection closed" : "receive failed");
    }
  }

  int fd_ = -1;
  SSL *ssl_ = nullptr;
  std::string buffer_;
  size_t scanned_ = 0;
  long serial_ = 0;
  char chunk_[1 << 16];
};

std::string Quoted(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::unique_ptr<Connection> Logon(int port, SSL_CTX *tls, const Account &a) {
  auto c = std::make_unique<Connection>(port, tls);
  if (c->Line().compare(0, 5, "* OK ") != 0) throw std::string("no greeting");
  c->Command("LOGIN " + Quoted(a.User) + " " + Quoted(a.Password));
  return c;
}

// SELECT INBOX; the number of messages it reports.
long long Select(Connection &c, Result &r) {
  long long exists = -1;
  double t0 = Now();
  c.Command("SELECT INBOX", [&](const std::string &line) {
    size_t at = line.find(" EXISTS");
    if (line.compare(0, 2, "* ") == 0 && at != std::string::npos && at + 7 == line.size())
      exists = atoll(line.c_str() + 2);
  });
  r.Select = Now() - t0;
  if (exists < 0) throw std::string("SELECT: no EXISTS");
  return exists;
}

bool IsFetch(const std::string &line) {
  return line.compare(0, 2, "* ") == 0 && line.find(" FETCH ") != std::string::npos;
}

// The numbers of an untagged "* SEARCH n n ...".
std::vector<long long> SearchNumbers(const std::string &line) {
  std::vector<long long> out;
  if (line.compare(0, 8, "* SEARCH") != 0) return out;
  for (const char *p = line.c_str() + 8; *p != '\0';) {
    char *end;
    long long v = strtoll(p, &end, 10);
    if (end == p) break;
    out.push_back(v);
    p = end;
  }
  return out;
}

// The text APPEND sends: the benchmark's message form (the same head and
// lines of 76 "x" as the driver's files), number-th of a run.
std::string AppendText(const std::string &user, long long number, size_t size) {
  std::string head = "From: bench@bench.example\r\nTo: " + user +
                     "@bench.example\r\nSubject: append " + std::to_string(number) +
                     "\r\nMessage-ID: <" + std::to_string(number) + "." + user +
                     ".append@bench.example>\r\n\r\n";
  std::string line = std::string(76, 'x') + "\r\n";
  std::string text = head;
  while (text.size() + line.size() <= size) text += line;
  return text;
}

void Session(const std::string &mode, int port, const std::string &param, const Account &a,
             Result &r) {
  auto c = Logon(port, nullptr, a);
  double start = Now();
  if (mode == "select") {
    r.Messages = Select(*c, r);
  } else if (mode == "sync") {
    Select(*c, r);
    double t0 = Now();
    c->Command("UID FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE BODYSTRUCTURE)",
               [&](const std::string &line) { r.Messages += IsFetch(line); }, &r.Octets);
    r.Command = Now() - t0;
  } else if (mode == "fetch") {
    Select(*c, r);
    std::vector<long long> uids;
    c->Command("UID SEARCH ALL", [&](const std::string &line) {
      for (long long u : SearchNumbers(line)) uids.push_back(u);
    });
    for (long long uid : uids) {
      long long fetched = 0, octets = 0;
      c->Command("UID FETCH " + std::to_string(uid) + " BODY.PEEK[]",
                 [&](const std::string &line) { fetched += IsFetch(line); }, &octets);
      if (fetched != 1) throw "UID FETCH " + std::to_string(uid) + ": no FETCH response";
      ++r.Messages;
      r.Octets += octets;
    }
  } else if (mode == "append") {
    long long count = atoll(param.c_str());
    size_t colon = param.find(':');
    size_t size = colon == std::string::npos ? 10240 : strtoul(param.c_str() + colon + 1,
                                                               nullptr, 10);
    for (long long n = 0; n < count; ++n) {
      std::string text = AppendText(a.User, n, size);
      std::string tag = c->NextTag();
      c->Send(tag + " APPEND INBOX {" + std::to_string(text.size()) + "+}\r\n" + text + "\r\n");
      c->Tagged(tag, "APPEND", [](const std::string &) {});
      ++r.Messages;
      r.Octets += static_cast<long long>(text.size());
    }
  } else if (mode == "search") {
    Select(*c, r);
    double t0 = Now();
    c->Command("SEARCH TEXT " + Quoted(param), [&](const std::string &line) {
      r.Messages += static_cast<long long>(SearchNumbers(line).size());
    });
    r.Command = Now() - t0;
  } else if (mode == "growth") {
    long long exists = Select(*c, r);
    if (exists < 1) throw std::string("empty folder");
    double t0 = Now();
    c->Command("STORE " + std::to_string(exists / 2 + 1) + " +FLAGS.SILENT (\\Deleted)");
    c->Command("EXPUNGE", [&](const std::string &line) {
      r.Messages += line.size() > 8 && line.compare(line.size() - 8, 8, " EXPUNGE") == 0;
    });
    r.Command = Now() - t0;
    if (r.Messages != 1) throw std::string("EXPUNGE removed not one message");
  } else {
    throw "unknown mode " + mode;
  }
  r.Seconds = Now() - start;
  c->Command("LOGOUT");
}

// The idle mode (see the top): every session set up by kSetupThreads
// threads, then one thread polls them all.
int Idle(int port, int perAccount, const std::vector<Account> &accounts) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  SSL_CTX *tls = SSL_CTX_new(TLS_client_method());
  if (tls == nullptr) return 2;
  SSL_CTX_set_verify(tls, SSL_VERIFY_NONE, nullptr);
  struct Idler {
    const Account *Who = nullptr;
    std::unique_ptr<Connection> Conn;
    long long Exists = 0;
    std::string Error;
    double Seen = 0;
  };
  std::vector<Idler> idlers;
  for (const Account &a : accounts)
    for (int i = 0; i < perAccount; ++i) {
      idlers.emplace_back();
      idlers.back().Who = &a;
    }
  // Each account's first session logs on before its others: its logon
  // starts the account's session process on the server, which the others
  // then join.
  for (int first = 1; first >= 0; --first) {
    std::vector<Idler *> round;
    for (size_t i = 0; i < idlers.size(); ++i)
      if ((i % static_cast<size_t>(perAccount) == 0) == (first == 1)) round.push_back(&idlers[i]);
    std::vector<std::thread> setup;
    for (size_t t = 0; t < kSetupThreads; ++t) {
      setup.emplace_back([&, t] {
        for (size_t k = t; k < round.size(); k += kSetupThreads) {
          Idler &s = *round[k];
          try {
            s.Conn = Logon(port, tls, *s.Who);
            Result ignored;
            s.Exists = Select(*s.Conn, ignored);
            s.Conn->Send(s.Conn->NextTag() + " IDLE\r\n");
            if (s.Conn->Line().compare(0, 1, "+") != 0) throw std::string("IDLE not continued");
            s.Conn->NonBlocking();
          } catch (const std::string &e) {
            s.Error = e;
            s.Conn.reset();
          }
        }
      });
    }
    for (std::thread &t : setup) t.join();
  }
  printf("READY\n");
  fflush(stdout);
  size_t waiting = 0;
  for (const Idler &s : idlers) waiting += s.Conn != nullptr;
  double deadline = Now() + kIdleWaitSeconds;
  std::vector<pollfd> fds;
  while (waiting > 0 && Now() < deadline) {
    fds.clear();
    std::vector<Idler *> which;
    for (Idler &s : idlers) {
      if (s.Conn != nullptr && s.Seen == 0) {
        fds.push_back(pollfd{s.Conn->Fd(), POLLIN, 0});
        which.push_back(&s);
      }
    }
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Idler &s = *which[i];
      bool alive = s.Conn->Drain([&](const std::string &line) {
        size_t at = line.find(" EXISTS");
        if (s.Seen == 0 && line.compare(0, 2, "* ") == 0 && at != std::string::npos &&
            atoll(line.c_str() + 2) > s.Exists)
          s.Seen = Now();
      });
      if (s.Seen != 0) {
        --waiting;
      } else if (!alive) {
        s.Error = "connection closed while idling";
        s.Conn.reset();
        --waiting;
      }
    }
  }
  int status = 0;
  for (const Idler &s : idlers) {
    if (!s.Error.empty()) {
      printf("%s ERROR %s\n", s.Who->User.c_str(), s.Error.c_str());
      status = 1;
    } else if (s.Seen == 0) {
      printf("%s ERROR no EXISTS within %d s\n", s.Who->User.c_str(), kIdleWaitSeconds);
      status = 1;
    } else {
      printf("%s seen=%.6f\n", s.Who->User.c_str(), s.Seen);
    }
  }
  idlers.clear();   // the connections close before the context goes
  SSL_CTX_free(tls);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: imapload MODE PORT PARAM USER:PASSWORD...\n");
    return 2;
  }
  std::string mode = argv[1], param = argv[3];
  int port = atoi(argv[2]);
  std::vector<Account> accounts(static_cast<size_t>(argc - 4));
  for (size_t i = 0; i < accounts.size(); ++i) {
    std::string arg = argv[i + 4];
    size_t colon = arg.find(':');
    accounts[i].User = arg.substr(0, colon);
    accounts[i].Password = colon == std::string::npos ? "" : arg.substr(colon + 1);
  }
  if (mode == "idle") return Idle(port, atoi(param.c_str()), accounts);
  std::vector<Result> results(accounts.size());
  std::barrier start(static_cast<std::ptrdiff_t>(accounts.size()));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < accounts.size(); ++i) {
    results[i].User = accounts[i].User;
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      try {
        Session(mode, port, param, accounts[i], results[i]);
      } catch (const std::string &e) {
        results[i].Error = e;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  int status = 0;
  for (const Result &r : results) {
    if (r.Error.empty()) {
      printf("%s messages=%lld octets=%lld select=%.6f command=%.6f seconds=%.6f\n",
             r.User.c_str(), r.Messages, r.Octets, r.Select, r.Command, r.Seconds);
    } else {
      printf("%s ERROR %s\n", r.User.c_str(), r.Error.c_str());
      status = 1;
    }
  }
  return status;
}
