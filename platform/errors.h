// errors: the error numbers the services speak in, and the thread's last error.
//
// The services name failures the way they always have (ERROR_FILE_NOT_FOUND,
// ERROR_ALREADY_EXISTS, ...). On Linux each of those names is an errno value,
// so an error number from the platform layer, a system call or a registry call
// can be printed, logged and compared without translation. The two conditions
// that have no errno counterpart (no service manager started us, a wait that
// was abandoned) get numbers above the errno range.
//
// The "last error" is per thread: platform calls that fail set it, and the
// console printer and event helpers read it. It is never shared.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

typedef uint32_t DWORD;

constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = ENOENT;
constexpr long ERROR_PATH_NOT_FOUND = ENOENT;
constexpr long ERROR_ACCESS_DENIED = EACCES;
constexpr long ERROR_NOT_ENOUGH_MEMORY = ENOMEM;
constexpr long ERROR_ALREADY_EXISTS = EEXIST;
constexpr long ERROR_FILE_EXISTS = EEXIST;
constexpr long ERROR_SERVICE_EXISTS = EEXIST;
constexpr long ERROR_SERVICE_DOES_NOT_EXIST = ENOENT;
constexpr long ERROR_DISK_FULL = ENOSPC;
constexpr long ERROR_INVALID_PARAMETER = EINVAL;
constexpr long ERROR_NOT_SUPPORTED = EOPNOTSUPP;
constexpr long ERROR_MORE_DATA = EOVERFLOW;     // a value larger than the caller's buffer
constexpr long ERROR_NO_MORE_ITEMS = ENODATA;   // enumeration ran past its end
constexpr long ERROR_TIMEOUT = ETIMEDOUT;
constexpr long ERROR_BUSY = EBUSY;
constexpr long ERROR_DIR_NOT_EMPTY = ENOTEMPTY;
constexpr long ERROR_BROKEN_PIPE = EPIPE;       // the other end went away
constexpr long ERROR_MESSAGE_TOO_LONG = EMSGSIZE;  // a local message cut or over its bounds
constexpr long ERROR_INVALID_DATA = EBADMSG;    // stored data failed its checks
// No service manager started this process (it was run from a shell).
constexpr long ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;

// The thread's last error.
long GetLastError();
void SetLastError(long code);

// True when the error means "disk full" in any of its forms.
bool IsDiskFullError(long code);

// The system's text for an error number, without a trailing line break.
// False when the system has no text for it (the caller then shows the number).
bool FormatSystemMessage(long code, std::string &text);

// A process exit status holds 8 bits: the low 8 bits of the code, or 255
// when a nonzero code has none set (so a failure never exits as success).
int ExitStatusFromCode(long code);
