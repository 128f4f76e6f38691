// handover: mailboxes under the common root that root still owns are given
// to their owners when the delivery agent starts.
//
// Every mailbox belongs to its mail user (platform/mailboxdir); an agent of
// an older kind made the ones under the common root ("/var/mailbox/alice")
// as root. At each start, for every directory directly under that root
// whose name is a mail user's mailbox name (common/netcode, MailboxOwnerOf)
// and which root owns while its owner is not root, the directory, its
// regular files with one link and its subdirectories (folders) are given to
// the owner, each through a descriptor opened without following a link;
// links and other odd entries are left alone. One information event counts
// the mailboxes handed over, one warning what was left alone. The root
// itself becomes root's, mode 0711, when it is root's with another mode.
// Mailboxes in home directories are their users' already; a process that
// is not root has nothing to hand over.
//
// Cheap when there is nothing to do: one listing of the root, and an
// account lookup only for directories root owns. A user whose owner cannot
// be had now (a virtual user without VirtualMailAccount, accounts that
// cannot be read) is left for the next start; local delivery defers that
// user's mail meanwhile.
//
// Caller: zeldeliv.cpp's start, after the configuration and the accounts,
// before the scanning thread. Untrusted input: the names and entries below
// the root (users own their mailboxes). Single-threaded. Failures are
// events; the start goes on.
#pragma once

// Hands root's mailboxes under the common root to their owners (see above).
void HandMailboxesToOwners();
