// dkimcmd: `zeladm dkim`, the keys that sign outgoing mail (common/dkimkeys
// has the layout) and the verifier on a message.
//
//   zeladm dkim new --domain D [--selector S] [--algorithm rsa|ed25519|both]
//   zeladm dkim rotate --domain D [--selector S]
//   zeladm dkim retire --domain D --selector S
//   zeladm dkim show --domain D
//   zeladm dkim verify [FILE]
//
// new makes the domain's keys (RSA-2048, Ed25519, or both, the default:
// then two selectors S-rsa and S-ed25519, since a selector publishes one
// key) and makes them the ones that sign; rotate makes a new selector for
// every type that signs now and moves signing to it, keeping the old keys
// (still published, so mail signed with them verifies) until retire deletes
// them. S defaults to "z" and the month (zYYYYMM, UTC; then zYYYYMMDD and
// zYYYYMMDDhhmmss when that one is taken). Each prints the TXT record of
// every key the domain has, saying which sign and which wait to be retired.
// Keys are written whole under a temporary name and never replace a file;
// run by root they are root:group 0640 for the service account (its group
// passes the directories), else 0600. The "signing" file changes last.
//
// verify checks the signatures of a message (a file, or standard input) as
// the receiver would, asking NameServer for the keys, and prints one line
// per signature; exit 0 when one passes, 1 when none does.
//
// Arguments are untrusted: names that are not DNS names are refused with
// kAdmExitUsage and nothing written. Single-threaded (zeladm's main).
#pragma once

// argv[0] is "dkim"; argv[1] the subcommand.
int RunDkimCommand(int argc, char **argv);
