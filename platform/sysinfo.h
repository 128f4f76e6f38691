// sysinfo: small facts about the machine and the clock, and random bytes.
// Thread-safe; no state.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Processors online; at least 1.
unsigned GetProcessorCount();

// Gives the memory the process has freed back to the system (the start-up
// leaves parsed configuration and the like behind in the heap).
void ReleaseFreedMemory();

// Allocations of bytes and more get pages of their own, given back to the
// system when freed (mallopt's mmap threshold, which then stops moving): a
// server whose clients make it hold large buffers for a while (headers of
// a megabyte) keeps its heap from growing with the largest it ever held.
void MapLargeAllocations(size_t bytes);

// Offset of local time from UTC in minutes (east positive) at time t, from
// tm_gmtoff; false when local time cannot be read.
bool GetUtcOffsetMinutes(time_t t, int &offsetMinutes);

// Local broken-down time; falls back to UTC (isLocal false) when the local
// zone cannot be read. False when neither works.
bool GetBrokenDownTime(time_t t, struct tm &out, bool &isLocal);

// Processor time the calling thread has used, in microseconds (the
// thread's CPU clock): what a bounded computation, such as a user's Sieve
// script, measures its limit with. 0 when the clock cannot be read.
uint64_t ThreadCpuMicros();

// size bytes from the kernel's random source (getrandom); false when it
// cannot give them (the caller must then not go on with weaker ones).
bool GetRandomBytes(void *buffer, size_t size);
