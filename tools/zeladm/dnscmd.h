// dnscmd: `zeladm dns` and `zeladm check dns`, the DNS records the site
// publishes (tools/zeladm/dnsrecords builds them).
//
//   zeladm dns --domain D [--mta-sts-policy]
//   zeladm check dns --domain D
//
// dns prints every record D needs, in zone-file syntax, each after a comment
// saying what it is for, then what the operator has to do beyond DNS (the
// MTA-STS web host and its policy file, DNSSEC for the TLSA record, the MX
// host's own address records). With --mta-sts-policy it prints only the
// policy file, to be served at https://mta-sts.D/.well-known/mta-sts.txt.
//
// The values come from what the services read: the MX host is the Tcpip
// Hostname "." Domain, the relay host GatewayName, the ports those of the
// receiver's submission ports and of the IMAP and POP3 servers (a port that
// is 0, or a TLS port while TlsCertificateFile names no usable certificate,
// is published as not offered), the DKIM keys those on disk for D, and the
// TLSA digest that of TlsCertificateFile's certificate.
//
// check dns asks the servers of NameServer for each record and prints one
// line per record: "ok", "missing", "differs" (with what was found, cut and
// escaped) or "failed" (no usable answer). Exit status 0 when every record
// is ok, else kAdmExitFailure.
//
// Arguments are untrusted: a domain that is not a host name is refused with
// kAdmExitUsage. Single-threaded (zeladm's main).
#pragma once

// argv[0] is "dns".
int RunDnsCommand(int argc, char **argv);
// argv[0] is "dns" (after "check").
int RunCheckDnsCommand(int argc, char **argv);
