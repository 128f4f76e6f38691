// tlscmd: `zeladm tls`, the servers' TLS certificate.
//
//   zeladm tls self-signed --name HOST [--days N] [--cert FILE] [--key FILE]
//
// Makes a self-signed certificate for HOST (platform/tls: EC P-256,
// SHA-256, subjectAltName DNS:HOST), valid for N days (default 365, at most
// 3650), writes it and its key (defaults $ZEL_ROOT/etc/zel/tls/cert.pem and
// key.pem; the certificate 0644, the key 0600, or, run by root, root:group
// 0640 for the service account's group, which reads it on reloads), each
// whole or not at all, and points the suite values TlsCertificateFile and TlsKeyFile at
// them, bumping ConfigVersion, in one registry transaction. Existing files
// are replaced: a renewal is the same command. The services take the new
// pair at their next reload (SIGHUP) or start.
//
// Arguments are untrusted: a name that is not a host name, a relative path
// (the services do not run where zeladm ran) or a bad number is refused
// with kAdmExitUsage and nothing written. Single-threaded (zeladm's main).
#pragma once

#include <sys/types.h>

// argv[0] is "tls"; argv[1] the subcommand.
int RunTlsCommand(int argc, char **argv);

// Who may read a private key besides root: the service account's group
// (ServiceAccount, default zel), when root runs zeladm and the account
// exists; false otherwise (the key stays its writer's alone). The TLS key
// and the DKIM keys share the rule.
bool ServiceAccountKeyReader(uid_t *uid, gid_t *gid);
