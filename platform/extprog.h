// extprog: another program of the machine (certbot), run with an argument
// vector and waited for, and the tail of what it printed.
//
// The program is looked up in PATH and started with posix_spawnp: its
// arguments reach it as they are, and no shell ever reads them, so a name
// or address an administrator typed cannot become a command. It inherits
// the environment, reads /dev/null (it can never stop to ask a question)
// and writes its standard output and error into one pipe, whose last
// kMaxProgramOutputTail bytes are kept for the caller to show when it
// fails. Its signals start with their default actions and an empty mask.
// It is waited for at most timeoutMs, then killed (SIGKILL) and reaped.
//
// Callers: zeladm (tools/zeladm/tlscmd, `zeladm tls acme`), from its main
// thread. Untrusted input: the program's output, kept as bytes; the caller
// escapes it before showing it. Failures: RunProgram is false with the last
// error when the program could not be started (ERROR_FILE_NOT_FOUND: no
// such program in PATH) or the pipe could not be read; a program that
// started is reported through its ProgramRun whatever it did.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What is kept of a program's output: its last lines, where a failing tool
// says why (certbot's error and the hint that follows it fit many times).
constexpr size_t kMaxProgramOutputTail = 8 * 1024;

struct ProgramRun {
  int Status = 0;          // the wait status
  bool TimedOut = false;   // killed after timeoutMs
  std::string OutputTail;  // the last kMaxProgramOutputTail bytes it wrote
};

// Runs args[0] (looked up in PATH) with args and waits for it.
bool RunProgram(const std::vector<std::string> &args, unsigned timeoutMs, ProgramRun &run);

// True when the program ended by itself with exit status 0.
bool ProgramSucceeded(const ProgramRun &run);
