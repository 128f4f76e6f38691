// str: see str.h.
#include "common/str.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>


void STRNCPY(char *dst, const char *src, size_t size) {
  if (size == 0) return;
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

void STRNCAT(char *dst, const char *src, size_t size) {
  if (size == 0) return;
  size_t used = strnlen(dst, size);
  if (used >= size - 1) return;
  STRNCPY(dst + used, src, size - used);
}

void STRNCATW(char *dst, long number, size_t size) {
  char digits[24];
  snprintf(digits, sizeof digits, "%ld", number);
  STRNCAT(dst, digits, size);
}

size_t strlenmulti(const char *list) {
  const char *p = list;
  while (*p != '\0') p += strlen(p) + 1;
  return static_cast<size_t>(p - list) + 1;
}

size_t strlenmulti(const char *list, size_t size) {
  size_t i = 0;
  while (i < size && list[i] != '\0') {
    while (i < size && list[i] != '\0') ++i;
    ++i;  // the string's terminator
  }
  return i < size ? i + 1 : size;
}

void CutText(std::string &text, size_t maxChars) {
  if (text.size() > maxChars) text.resize(maxChars);
}

void CutReplyAtLineEnd(std::string &reply, size_t maxChars) {
  if (reply.size() <= maxChars || maxChars < 2) return;
  size_t end = reply.rfind("\r\n", maxChars - 2);
  if (end == std::string::npos) {
    reply.resize(maxChars - 2);
    reply += "\r\n";
    return;
  }
  reply.resize(end + 2);
  size_t last = end == 0 ? std::string::npos : reply.rfind("\r\n", end - 1);
  last = last == std::string::npos ? 0 : last + 2;
  if (end - last > 3 && reply[last + 3] == '-') reply[last + 3] = ' ';
}

std::string BoundedCopy(std::string_view text, size_t maxChars) {
  return std::string(text.substr(0, maxChars));
}

long long LeadingInteger(std::string_view text, long long low, long long high) {
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (v > (LLONG_MAX - 9) / 10) {   // saturates rather than overflows
      v = LLONG_MAX;
      break;
    }
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  return std::clamp(v, low, high);
}
