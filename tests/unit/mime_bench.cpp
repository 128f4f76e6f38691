// Not a test: how long the MIME modules take for 10,000 messages of about
// 10 KiB (a multipart/alternative of a quoted-printable text part and an
// HTML part): parsing with ENVELOPE and BODYSTRUCTURE, as a folder's index
// makes them at first sight, and SEARCH TEXT for a word one message holds,
// the message parsed again as SEARCH does. Run build/bin/mime_bench.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/mimeimap.h"
#include "common/mimeparse.h"
#include "common/mimesearch.h"

int main() {
  std::vector<std::string> messages;
  for (int i = 0; i < 10000; ++i) {
    std::string filler;
    while (filler.size() < 4500) filler += "Lorem ipsum dolor sit amet " + std::to_string(i) + " consectetur.\r\n";
    std::string n = std::to_string(i);
    messages.push_back("From: Sender " + n + " <s@example.org>\r\nTo: a@b, c@d\r\n"
                       "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= number " + n + "\r\nDate: now\r\n"
                       "Message-ID: <" + n + "@x>\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: multipart/alternative; boundary=alt\r\n\r\n--alt\r\n"
                       "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                       filler + "\r\n--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" + filler +
                       (i == 7777 ? "rarewordzz" : "") + "\r\n--alt--\r\n");
  }
  size_t bytes = 0, out = 0;
  auto start = std::chrono::steady_clock::now();
  for (const std::string &m : messages) {
    MimeTree tree;
    MimeParseMessage(m, &tree);
    out += MimeEnvelopeText(m, tree).size() + MimeBodyStructureText(m, tree, true, ImapRevision::Rev2).size();
    bytes += m.size();
  }
  auto parsed = std::chrono::steady_clock::now();
  MimeNeedle needle("RAREWORDZZ");
  int hits = 0;
  for (const std::string &m : messages) {
    MimeTree tree;
    MimeParseMessage(m, &tree);
    hits += MimeSearchMessage(m, tree, MimeSearchScope::Text, needle);
  }
  auto searched = std::chrono::steady_clock::now();
  using ms = std::chrono::milliseconds;
  printf("%zu messages, %zu MiB: parse + ENVELOPE + BODYSTRUCTURE %lld ms (%zu bytes of texts); "
         "SEARCH TEXT %lld ms, %d hit\n",
         messages.size(), bytes >> 20, static_cast<long long>(std::chrono::duration_cast<ms>(parsed - start).count()),
         out, static_cast<long long>(std::chrono::duration_cast<ms>(searched - parsed).count()), hits);
  return hits == 1 ? 0 : 1;
}
