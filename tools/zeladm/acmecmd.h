// acmecmd: `zeladm tls acme` and `zeladm tls deploy`, a certificate from an
// ACME CA (Let's Encrypt) that renews itself.
//
//   zeladm tls acme --name HOST [--name HOST2 ...] --email ADDR [--server URL]
//       [--webroot DIR | --standalone-port N]
//       [--config-dir DIR] [--work-dir DIR] [--logs-dir DIR]
//   zeladm tls deploy [--lineage DIR]
//
// acme runs certbot (the Debian package certbot, found in PATH) for the
// names: `certbot certonly` non-interactively, the http-01 challenge
// answered by certbot's own server (--standalone, on port 80 or N) or by
// files under the web server's root (--webroot), the CA's directory URL
// given by --server (certbot's default, Let's Encrypt, otherwise). The
// certificate's lineage is named after the first name. certbot is given
// `zeladm tls deploy` as the lineage's deploy hook: it runs it after this
// issue and after every renewal that certbot's own timer makes, with
// RENEWED_LINEAGE set. certbot runs hooks through a shell, so the hook's
// text is built only from this program's path and $ZEL_ROOT, each checked
// to hold nothing a shell would read (kAdmExitFailure otherwise), never
// from anything typed. certbot's directories default to /etc/letsencrypt,
// /var/lib/letsencrypt and /var/log/letsencrypt under $ZEL_ROOT (certbot's
// own defaults on a real system), so a test root keeps them. When certbot
// is done, acme checks that the installed certificate is the lineage's and
// installs it itself when the hook did not (certbot only logs a failed
// hook; and a certificate not yet due is kept without running it).
//
// deploy copies the lineage's fullchain.pem and privkey.pem, checked to be
// a pair, to where TlsCertificateFile and TlsKeyFile point (defaults
// $ZEL_ROOT/etc/zel/tls/cert.pem and key.pem, which are then set), with
// tlscmd's WriteTlsPair (atomic; the key root:group 0640 for the service
// account), and sends SIGHUP to the running servers (ZELRECV, ZELFETCH,
// ZELIMAP, by their pid files), which load the pair again.
//
// Untrusted input: the arguments (names checked as host names before
// certbot runs, the address and URL checked for shape, paths absolute);
// the environment's RENEWED_LINEAGE (a path, read as root like any
// argument); certbot's output, shown escaped. Exit statuses: kAdmExitUsage
// for a wrong command line (nothing run), kAdmExitFailure when certbot is
// missing or fails (its last lines shown) or the pair cannot be installed
// or a server not reloaded. Single-threaded (zeladm's main).
#pragma once

// The argument synopsis of `zeladm tls acme`, for the usage text.
constexpr const char *kTlsAcmeArgs =
    "--name HOST [--name HOST ...] --email ADDR [--server URL] "
    "[--webroot DIR | --standalone-port N] [--config-dir DIR] [--work-dir DIR] [--logs-dir DIR]";

// argv[0] is "acme" / "deploy".
int RunTlsAcme(int argc, char **argv);
int RunTlsDeploy(int argc, char **argv);
