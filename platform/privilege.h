// privilege: who a service process runs as, and what it may create.
//
// The receiver faces the network and needs root only to bind port 25. It
// binds its listeners, then sheds every privilege: as root it switches to
// the service account (uid, gid, and that group alone); in every case it
// keeps no capability in any thread (permitted, effective, inheritable and
// ambient sets cleared, the bounding set emptied where the process may, and
// no_new_privs set, so nothing it could ever execute gains any back).
// Before the switch, root hands the account the files it must write
// afterwards (GiveTo... below).
//
// Callers: the service runtime (SetPrivateFileCreation, once at start), the
// receiver's start (the rest). The account name comes from the registry;
// the paths from the configuration. Paths below a directory the account
// owns are the account's to change, so nothing here follows a symbolic
// link in the last component of a path it is given, and files are handed
// over only when they are regular files with a single link: root must
// never be tricked into giving away a file that is not the system's own.
//
// Threads: Linux keeps credentials per thread. ShedPrivileges changes every
// thread of the process (the C library switches the ids of all threads; the
// capability sets are cleared in each thread through a signal of its own),
// and checks afterwards that no thread kept any. Call it from one thread,
// with no thread impersonating a user. Failures are false with the thread's
// last error; a failed ShedPrivileges leaves the process in no state fit to
// serve: the caller must stop.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Files and directories the process creates are private to its user
// (umask 077); modes given explicitly are narrowed by it too.
void SetPrivateFileCreation();

bool IsSuperUser();
// The name of the effective user ("uid N" when the passwd database has none).
std::string CurrentUserName();

// The account's uid and its primary group. False with ERROR_NONE_MAPPED
// when there is no such account, else with the lookup's error.
bool LookUpAccount(const std::string &name, uid_t *uid, gid_t *gid);

// Switches the process to the account (when account is true: uid and gid
// must be given, and the process must be root) and clears its capabilities
// in every thread, as described above.
bool ShedPrivileges(bool account, uid_t uid, gid_t gid);

// A session process (single-threaded, started as root by a logon helper)
// becomes the mail user for good: the user's supplementary groups, gid and
// uid (real, effective and saved), no capability in any set, the bounding
// set emptied and no_new_privs set. Never uid 0: a session of root is
// refused (EPERM). A process that does not run as root can only stay who
// it is: uid must then be its own, and it merely sheds capabilities.
bool BecomeMailUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups);

// True when the calling process has no capability left in any thread and
// runs with no_new_privs (exposed for tests).
bool HoldsNoPrivileges();

// Makes the directory at path (not a link) the account's.
bool GiveDirectoryToAccount(const std::string &path, uid_t uid, gid_t gid);
// Makes the regular file at path the account's, through a descriptor; with
// create, a missing one is created empty first (mode 0600). Refused: a
// symbolic link in its place (ELOOP), anything but a regular file (EINVAL),
// a file with more than one link (EMLINK).
bool GiveFileToAccount(const std::string &path, uid_t uid, gid_t gid, bool create);
// Makes every regular file with a single link directly in the directory
// at path the account's, each through a descriptor; other entries (links,
// files with a second name, FIFOs, directories) are left alone.
bool GiveFilesToAccount(const std::string &directory, uid_t uid, gid_t gid);
// Lets the group gid pass through the directory at path (not a link):
// gives it the group and the group search permission, nothing else; with
// listable, the group may also read the names in it.
bool OpenDirectoryToGroup(const std::string &path, gid_t gid, bool listable = false);
// Lets the group gid read the open regular file fd (a TLS key the service
// account reads again on every reload): its group becomes gid, its mode
// 0640 (the owner's to write, the group's to read, nobody else's).
bool ShareFileWithGroup(int fd, gid_t gid);
