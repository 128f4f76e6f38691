// loopback.h: the connection every load generator of the side-by-side
// benchmark opens (pop3load, imapload): TCP to 127.0.0.1:port, blocking,
// every receive and send bounded by seconds. Throws the failure as text.
// Not part of the product: included by the single-file load generators.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

inline int ConnectLoopback(int port, int seconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::string("socket: ") + strerror(errno);
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    std::string error = std::string("connect: ") + strerror(errno);
    close(fd);
    throw error;
  }
  return fd;
}
