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
// LPT, any case), with "." or with the mail-host mark "#" (so that no
// address can name a mail host's queue); an empty domain is the local queue
// "$local$". False when the domain holds a "/" (no such directory may exist).
bool CreateDomainDirectoryName(const std::string &domainsDirectory, const std::string &domain,
                               std::string &directory);
// Back from a directory path to the domain: the last component without one
// leading "~", except before "#": "~#x" stays "~#x" (a domain of mail, whose
// directory is the same name), never the mail host queue "#x".
std::string CreateDomainNameFromDirectoryName(const std::string &directory);

// The queues of the site's other mail hosts (a user whose mailbox another
// host holds): "#" + the host name in lower case, a directory of that name.
// Only the delivery agent's hand-off makes them; mail's domains never map to
// one (CreateDomainDirectoryName above).
constexpr char kMailHostQueueMark = '#';
bool IsMailHostQueueName(const std::string &queue);
// The queue name of a mail host; "" when host is no host name (empty,
// longer than 255, or holding anything but letters, digits, "-" and ".",
// or beginning with "." or "-").
std::string MailHostQueueName(const std::string &host);
// The directory of a queue as the spool names it: a mail host's queue as
// it is, any other through CreateDomainDirectoryName. False as that.
bool QueueDirectoryName(const std::string &domainsDirectory, const std::string &queue,
                        std::string &directory);

constexpr const char *kLocalQueueName = "$local$";
