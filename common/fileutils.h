// fileutils: directory paths of the spool and of mailboxes.
//
// CreateDirectoryRecursively makes every missing directory of a path, for
// absolute and relative paths alike; an existing directory counts as made.
// The domain directory names map a destination domain to its queue
// directory and back. Domain names come from the network: a name that could
// leave the domains directory ("..", a "/") never maps to a path outside it.
// Thread-safe; no state.
#pragma once

#include <string>

// True when path is (now) a directory; false with the thread's last error.
bool CreateDirectoryRecursively(const std::string &path);

// Creates the spool directory's path, then the spool directory and each of
// the named subdirectories in order, reporting the first failure as the
// "CreateDirectory" event with its error number. True when all exist.
bool CreateSpoolDirectories(std::initializer_list<const char *> subdirectories);

// The queue directory of a domain below domainsDirectory: the domain, with a
// "~" in front when it begins with a device name (COM, AUX, NUL, PRN, CON,
// LPT, any case) or with "."; an empty domain is the local queue "$local$".
// False when the domain holds a "/" (no such directory may exist).
bool CreateDomainDirectoryName(const std::string &domainsDirectory, const std::string &domain,
                               std::string &directory);
// Back from a directory path to the domain: the last component without one
// leading "~".
std::string CreateDomainNameFromDirectoryName(const std::string &directory);

constexpr const char *kLocalQueueName = "$local$";
