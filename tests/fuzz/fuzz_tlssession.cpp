// Fuzz target for a TLS session fed hostile ciphertext: as a server (what
// any client can send from the first byte) and as a client (what an
// exchanger answers to our hello), cut into pieces of a size the input
// chooses. The records are OpenSSL's to parse; the target checks the
// session around them: reads stay within their buffer, buffered input stays
// bounded, a fatal session stays fatal, and output can always be drained.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/tls.h"

namespace {

struct Contexts {
  TlsContextRef Server, Client;
};

const Contexts &TheContexts() {
  static const Contexts contexts = [] {
    Contexts c;
    std::string certificate, key, why;
    if (!MakeSelfSignedCertificate("fuzz.example.test", 1, certificate, key, why) ||
        !MakeTlsServerContext(certificate, key, c.Server, why) ||
        !MakeTlsClientContext(c.Client, why))
      std::abort();
    return c;
  }();
  return contexts;
}

void Drain(TlsSession &s) {
  char out[4096];
  while (s.TakeOutput(out, sizeof out) > 0) {
  }
  if (s.PendingOutput() != 0) std::abort();
}

// One step after a piece of input: the handshake, then whatever plaintext
// it gives. False once the session is finished.
bool Step(TlsSession &s) {
  char buffer[512];
  size_t got = 0;
  TlsResult r;
  int reads = 0;
  while ((r = s.Read(buffer, sizeof buffer, &got)) == TlsResult::kDone) {
    if (got == 0 || got > sizeof buffer || ++reads > 100000) std::abort();
  }
  Drain(s);
  if (r == TlsResult::kFatal) {
    if (s.Feed("x", 1) || s.Handshake() != TlsResult::kFatal || s.ErrorText().empty())
      std::abort();
    return false;
  }
  return r == TlsResult::kWantInput;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const Contexts &c = TheContexts();
  bool server = (data[0] & 1) != 0;
  size_t piece = 1 + data[1];
  TlsSession s;
  if (!(server ? s.StartServer(c.Server) : s.StartClient(c.Client, "mx.example.test")))
    std::abort();
  if (!server) {
    if (s.Handshake() != TlsResult::kWantInput) std::abort();
    Drain(s);  // our hello goes nowhere; the input is the answer
  }
  const char *bytes = reinterpret_cast<const char *>(data + 2);
  size -= 2;
  for (size_t i = 0; i < size; i += piece) {
    size_t n = size - i < piece ? size - i : piece;
    if (!s.Feed(bytes + i, n)) {
      if (s.Handshake() != TlsResult::kFatal) std::abort();
      break;
    }
    if (!Step(s)) break;
  }
  return 0;
}
