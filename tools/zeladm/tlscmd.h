// tlscmd: `zeladm tls`, the servers' TLS certificate.
//
//   zeladm tls self-signed --name HOST [--days N] [--cert FILE] [--key FILE]
//   zeladm tls acme ...     a certificate from an ACME CA (acmecmd)
//   zeladm tls deploy ...   certbot's deploy hook (acmecmd)
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

#include <string>

// Where the pair goes when no TlsCertificateFile / TlsKeyFile is set (under
// $ZEL_ROOT).
constexpr const char *kDefaultCertificatePath = "/etc/zel/tls/cert.pem";
constexpr const char *kDefaultKeyPath = "/etc/zel/tls/key.pem";

// argv[0] is "tls"; argv[1] the subcommand.
int RunTlsCommand(int argc, char **argv);

// Who may read a private key besides root: the service account's group
// (ServiceAccount, default zel), when root runs zeladm and the account
// exists; false otherwise (the key stays its writer's alone). The TLS key
// and the DKIM keys share the rule.
bool ServiceAccountKeyReader(uid_t *uid, gid_t *gid);

// Writes the PEM texts to certPath (0644) and keyPath (0600, or root:group
// 0640 for the service account's group), each synced under a temporary
// name and then renamed, the key first: a failure leaves the old pair or
// nothing, never a half-written file under either name. Makes missing
// directories (0755). kAdmExitOk, or kAdmExitFailure with the error printed.
int WriteTlsPair(const std::string &certPath, const std::string &keyPath,
                 const std::string &certificatePem, const std::string &keyPem);
// Points TlsCertificateFile and TlsKeyFile at the pair and bumps
// ConfigVersion, in one registry transaction; the registry's error code.
long SetTlsValues(const std::string &certPath, const std::string &keyPath);
