// mailports: the standard ports of the servers mail clients use, the
// defaults of their PortNo values. The receiver, the POP3 and the IMAP
// servers listen on them; zeladm publishes them as SRV records (zeladm dns),
// so both read the same numbers. Constants only.
#pragma once

#include "platform/errors.h"

// SMTP between mail servers: the receiver's PortNo and the port of
// exchangers given without one.
constexpr DWORD kDefaultSmtpPort = 25;
// Message submission (RFC 6409) with STARTTLS, and with TLS from the first
// byte (RFC 8314); 0 turns a port off.
constexpr DWORD kDefaultSubmissionPort = 587;
constexpr DWORD kDefaultSubmissionTlsPort = 465;
// IMAP and POP3 (0 in PortNo also means these), and with TLS from the first
// byte (0 in TlsPortNo turns it off).
constexpr DWORD kDefaultImapPort = 143;
constexpr DWORD kDefaultImapTlsPort = 993;
constexpr DWORD kDefaultPop3Port = 110;
constexpr DWORD kDefaultPop3TlsPort = 995;
