// dirsec: access grants on directories, in the shape of adding an
// access-allowed entry to a directory's DACL.
//
// Caller: the POP3 server, right after a user created a mailbox directory
// in a home directory, so that the service account (and with it the
// delivery agent) may write into it.
//
// Linux: a POSIX ACL entry (libacl) for the account's user id with the
// permissions of the mask, added to the directory's access ACL, and, when
// the flags ask for inheritance by subdirectories, also to its default ACL
// (a directory without a default ACL gets one built from its mode bits, so
// new entries inherit the grant and otherwise the owner's, group's and
// others' rights). An existing entry of the account gains the permissions;
// none is duplicated. A file system without ACL support (EOPNOTSUPP) is the
// case of a volume without security: nothing changes, the grant counts as
// done.
//
// Diagnostics: each failing step after the account lookup prints its line
// to standard output ("Error %d:GetFileSecurity\n", ...), as the service
// always has; %d is the errno value.
//
// Input: the path and account come from the configuration and the account
// database, not from the network. Thread-safe; no state.
#pragma once

#include <string>

#include "platform/errors.h"

// The access mask and flags of an access-allowed entry.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD OBJECT_INHERIT_ACE = 0x01;
constexpr DWORD CONTAINER_INHERIT_ACE = 0x02;

// Grants account the accessMask on directory path. True when the entry is
// in place (or the file system has no ACLs); false when the account is
// unknown or a step failed (its line printed).
bool GrantDirectoryAccess(const std::string &path, const std::string &account, DWORD aceFlags,
                          DWORD accessMask);

// The permissions ("rwx", "-wx", ...) that account's entry in path's access
// or default ACL grants, "" when there is none (tests).
std::string DirectoryAclEntry(const std::string &path, const std::string &account,
                              bool defaultAcl);
