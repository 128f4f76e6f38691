// admcmd: the shape of zeladm's command tables.
//
// zeladm is one program with command groups ("reg", later "user", "list"),
// each a table of subcommands. A table entry names the command, its
// arguments and their count, and the handler; DispatchAdmCommand looks the
// name up, checks the count, prints usage for "help" and for mistakes, and
// runs the handler. Handlers print their own errors to stderr and return an
// exit status. Called from zeladm's main only; single-threaded.
#pragma once


#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ascii.h"
#include "platform/errors.h"

// Exit statuses of zeladm.
constexpr int kAdmExitOk = 0;
constexpr int kAdmExitFailure = 1;  // the command was understood but failed
constexpr int kAdmExitUsage = 2;    // the command line was wrong; nothing was done

// The system's text for an error number, or "error N" when it has none.
inline std::string AdmErrorText(long code) {
  std::string text;
  if (!FormatSystemMessage(code, text)) text = "error " + std::to_string(code);
  return text;
}

// "zeladm: what" on standard error; the status of a wrong command line.
inline int AdmUsage(const std::string &what) {
  std::fprintf(stderr, "zeladm: %s\n", what.c_str());
  return kAdmExitUsage;
}

// "zeladm: what: <system text>" on standard error; the status of a failure.
inline int AdmFailed(const std::string &what, long code) {
  std::fprintf(stderr, "zeladm: %s: %s\n", what.c_str(), AdmErrorText(code).c_str());
  return kAdmExitFailure;
}

// Names and data as shown to the administrator: control bytes escaped.
inline std::string AdmPrintable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    if (c < 0x20 || c == 0x7F)
      out.append(buf, std::snprintf(buf, sizeof buf, "\\x%02X", c));
    else
      out.push_back(static_cast<char>(c));
  }
  return out;
}

// A whole decimal number from low to high (no sign, no other text).
inline bool AdmNumber(const char *text, long low, long high, long &value) {
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

struct AdmCommand {
  const char *name;
  const char *args;     // argument synopsis for the usage text
  const char *summary;  // one line
  int minArgs;          // arguments after the name
  int maxArgs;          // -1: any number
  // argv[0] is the command name, argv[1..argc-1] its arguments.
  int (*run)(int argc, char **argv);
};

template <size_t N>
void PrintAdmUsage(std::FILE *out, const char *prefix, const AdmCommand (&table)[N]) {
  std::fprintf(out, "Usage:\n");
  for (const AdmCommand &c : table)
    std::fprintf(out, "  %s %s %s\n      %s\n", prefix, c.name, c.args, c.summary);
}

// argv[0] is the subcommand name (argc may be 0: no subcommand given). A
// table may have its own "help" entry; without one, "help" prints the table.
template <size_t N>
int DispatchAdmCommand(const char *prefix, const AdmCommand (&table)[N], int argc, char **argv) {
  if (argc == 0) {
    PrintAdmUsage(stderr, prefix, table);
    return kAdmExitUsage;
  }
  for (const AdmCommand &c : table) {
    if (!EqualsNoCase(argv[0], c.name)) continue;
    int n = argc - 1;
    if (n < c.minArgs || (c.maxArgs >= 0 && n > c.maxArgs)) {
      std::fprintf(stderr, "zeladm: wrong number of arguments\nUsage: %s %s %s\n", prefix, c.name,
                   c.args);
      return kAdmExitUsage;
    }
    return c.run(argc, argv);
  }
  if (EqualsNoCase(argv[0], "help") || strcmp(argv[0], "-h") == 0 ||
      strcmp(argv[0], "--help") == 0) {
    PrintAdmUsage(stdout, prefix, table);
    return kAdmExitOk;
  }
  std::fprintf(stderr, "zeladm: unknown command \"%s %s\"\n", prefix, argv[0]);
  PrintAdmUsage(stderr, prefix, table);
  return kAdmExitUsage;
}
