// thread: starting detached threads with a chosen stack size.
//
// The delivery agent starts its scanning thread and its domain delivery
// threads this way. A thread that cannot be started is an expected failure
// (the caller counts only threads that started and tries again later), so
// it comes back as false, never as an exception.
//
// Thread-safe. The body is moved into the new thread, which owns it; the
// thread is detached and nobody joins it.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>

// Runs body on a new detached thread whose stack holds stackBytes (raised to
// the system's minimum). False with the last error when no thread could be
// made; body is then not run.
bool StartThread(std::function<void()> body, size_t stackBytes);

// For a pool that counts its live threads under lock (each thread takes
// itself off the count as it leaves): counts the new thread in, starts it,
// and on failure takes it off again; false with the last error then.
bool StartCountedThread(std::mutex &lock, unsigned &threads, std::function<void()> body,
                        size_t stackBytes);
