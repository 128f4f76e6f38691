// httpsget: one HTTPS GET with libcurl, for the MTA-STS policy files.
//
// The request names the host and the address to reach it at: the caller
// resolves the name through the system's own resolver (NameServer), and
// curl is told that address (CURLOPT_RESOLVE), so curl never asks the C
// library's resolver. Only https, only the port given, no redirects, no
// proxy from the environment, no cookies; the server's certificate must be
// valid for the host under the system's CA store, or under caFile when one
// is given. The body is read up to maxBytes; a longer one fails the
// request (nothing of it is returned). The whole request ends by its total
// time-out; connecting by its connect time-out.
//
// Callers: the delivery agent's MTA-STS module, on a domain delivery thread.
//
// Untrusted input: everything the server sends (kept as bytes, bounded).
//
// Threads: any number of requests at once, each with its own handle;
// libcurl's global set-up runs once, before the first.
//
// Failures: false with why (a short text for the logs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ipaddr.h"

// A host name in a request: the longest DNS name as text.
constexpr size_t kMaxHttpsHostName = 253;

struct HttpsRequest {
  std::string Host;        // a host name, the certificate's and the URL's
  IpAddress Address;       // where to connect
  uint16_t Port = 443;
  std::string Path;        // beginning with "/"
  std::string CaFile;      // "": the system's CA store
  size_t MaxBytes = 0;
  long ConnectTimeoutMs = 0;
  long TotalTimeoutMs = 0;
};

// The body of a 200 answer. False with why otherwise, and at once for a
// host that is not letters, digits, "-" and "." or a path without a
// leading "/".
bool HttpsGet(const HttpsRequest &request, std::string &body, std::string &why);
