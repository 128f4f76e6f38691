// hostsetup: what installing a service changes on the host besides its unit.
//
// "-install" (common/svcinstall) makes sure the unprivileged account the SMTP
// receiver runs as exists, creating it with the distribution's adduser, and
// hands the directories that service writes to that account. These are the
// only calls of the system that change accounts or ownership, and only an
// administrator's command line reaches them; no service calls them. The
// configuration check (common/cfgcheck) asks the same questions read-only.
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

// The host account's user and primary group; ENOENT when there is none.
bool FindSystemAccount(const std::string &name, uid_t &uid, gid_t &gid);

// Runs "adduser --system --group --no-create-home --quiet NAME" (found on
// PATH) and waits for it; true when the account exists afterwards. EINVAL
// for a name IsValidAccountName refuses; EIO when adduser failed (it prints
// why); ENOENT when it succeeded but the account is still missing.
bool CreateSystemAccount(const std::string &name);

// Whether uid (with its primary group gid) may access path as access asks
// (R_OK, W_OK, X_OK, or'ed), by its owner, group and mode bits (root always
// may; supplementary groups and access-control entries are not looked at).
// False with the error when path cannot be examined.
bool AccountMayAccess(const std::string &path, uid_t uid, gid_t gid, int access, bool &may);

// True when users other than the file's owner and group have no permission
// at all on it; false too when it cannot be examined.
bool FileIsPrivate(const std::string &path);

// Gives path and everything below it (symbolic links themselves, never what
// they point to; not across mount points) to uid and gid.
bool GiveTreeTo(const std::string &path, uid_t uid, gid_t gid);
