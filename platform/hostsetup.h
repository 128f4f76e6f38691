// hostsetup: what installing a service changes on the host besides its unit.
//
// "-install" (common/svcinstall) makes sure the unprivileged account the SMTP
// receiver runs as exists, creating it with the distribution's adduser (the
// files are handed over with platform/privilege). Only an administrator's
// command line creates an account; no service does. The configuration
// check (common/cfgcheck) asks whether the account can reach its files.
//
// Untrusted input: the account name comes from the registry and is checked
// (IsValidAccountName) before it reaches adduser or a unit file. Paths are
// the configuration's. Single-threaded (the command line). Failures return
// false with the thread's last error set to an errno value.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// A name adduser accepts for a system account and a unit file can carry
// unquoted: a lower-case letter or "_", then lower-case letters, digits,
// "_" and "-", at most 32 characters in all.
constexpr size_t kMaxSystemAccountName = 32;
bool IsValidAccountName(std::string_view name);

// Runs "adduser --system --group --no-create-home --quiet NAME" (found on
// PATH) and waits for it; true when the account exists afterwards
// (LookUpAccount of platform/privilege finds it). EINVAL for a name
// IsValidAccountName refuses; EIO when adduser failed (it prints why);
// ENOENT when it succeeded but the account is still missing.
bool CreateSystemAccount(const std::string &name);

// Whether uid (with its primary group gid) may access path as access asks
// (R_OK, W_OK, X_OK, or'ed), by its owner, group and mode bits (root always
// may; supplementary groups and access-control entries are not looked at).
// False with the error when path cannot be examined.
bool AccountMayAccess(const std::string &path, uid_t uid, gid_t gid, int access, bool &may);

// True when users other than the file's owner and group have no permission
// at all on it; false too when it cannot be examined.
bool FileIsPrivate(const std::string &path);

// Makes every missing directory of the absolute path: the ones above it
// with mode 0755, like the system's own (/var/spool, /var/log), the last
// one with leafMode. Directories that exist are left as they are; a file
// in the way is ENOTDIR.
bool CreateSystemDirectories(const std::string &path, mode_t leafMode);
