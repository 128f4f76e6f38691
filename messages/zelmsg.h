// zelmsg: the event message table shared by the three services.
//
// Each event is known by its 32-bit identifier; the event viewer's number is
// the low 16 bits. The texts are the system's own and keep their "%1"/"%2"
// inserts and "\r\n" line ends; the event log folds the line ends.
#pragma once

#include <cstdint>

constexpr uint32_t MSG_WIN32_ERROR = 0xC0000020;          // 32
constexpr uint32_t MSG_CRT_ERROR = 0xC0000021;            // 33
constexpr uint32_t MSG_SERVICE_STARTING = 0xC0000022;     // 34
constexpr uint32_t MSG_SERVICE_TERMINATING = 0xC0000023;  // 35
constexpr uint32_t MSG_NO_IP_ADDRESS = 0xC0000025;        // 37
constexpr uint32_t MSG_LOG_OPEN_ERROR = 0xC0000026;       // 38
constexpr uint32_t MSG_LOG_WRITE_ERROR = 0xC0000027;      // 39
constexpr uint32_t MSG_INIT_FAILED = 0xC0000028;          // 40
constexpr uint32_t MSG_BAD_SETTING_ENTRY = 0xC0000029;    // 41
constexpr uint32_t MSG_NO_LISTEN_ADDRESS = 0xC000002A;    // 42
constexpr uint32_t MSG_MESSAGE_NOT_FOUND = 0xC0000080;    // 128
constexpr uint32_t MSG_CANNOT_WRITE_FILE = 0xC0000081;    // 129
constexpr uint32_t MSG_DNS_ID_MISMATCH = 0xC0000082;      // 130
constexpr uint32_t MSG_DNS_TRUNCATED = 0xC0000083;        // 131
constexpr uint32_t MSG_INCOMING_NOT_FOUND = 0xC0000084;   // 132
constexpr uint32_t MSG_AUTOREPLY_FAILED = 0xC0000086;     // 134
constexpr uint32_t MSG_INVALID_ROUTE = 0xC0000087;        // 135
constexpr uint32_t MSG_INVALID_MESSAGE = 0xC0000088;      // 136
constexpr uint32_t MSG_CANNOT_DELETE_FILE = 0xC0000089;   // 137 (delete marker text)
constexpr uint32_t MSG_DELIVERY_DEFERRED = 0xC000008A;    // 138
constexpr uint32_t MSG_ACCOUNTS_UNREADABLE = 0xC000008B;  // 139
constexpr uint32_t MSG_TLS_CERTIFICATE_LOADED = 0xC00000A0;  // 160
constexpr uint32_t MSG_TLS_CERTIFICATE_FAILED = 0xC00000A1;  // 161
constexpr uint32_t MSG_TLS_NOT_OFFERED = 0xC00000A2;         // 162
constexpr uint32_t MSG_STARTTLS_INPUT_DROPPED = 0xC00000A3;  // 163
constexpr uint32_t MSG_NO_SERVICE_ACCOUNT = 0xC00000B0;      // 176
constexpr uint32_t MSG_CONFIG_PROBLEM = 0xC00000C0;          // 192
constexpr uint32_t MSG_MILTER_UNREACHABLE = 0xC00000D0;     // 208
constexpr uint32_t MSG_MILTER_FAILED = 0xC00000D1;          // 209
constexpr uint32_t MSG_MILTER_RECOVERED = 0xC00000D2;       // 210
constexpr uint32_t MSG_MILTER_RESULT = 0xC00000D3;          // 211
constexpr uint32_t MSG_MAILBOXES_HANDED_OVER = 0xC00000E0;  // 224
constexpr uint32_t MSG_MAILBOX_ENTRIES_LEFT = 0xC00000E1;    // 225
constexpr uint32_t MSG_LIST_REQUESTS_DROPPED = 0xC00000E2;  // 226
constexpr uint32_t MSG_LIST_JOURNALS_FULL = 0xC00000E3;     // 227
constexpr uint32_t MSG_REMOTE_SIDE_ENDED = 0xC00000E4;      // 228
constexpr uint32_t MSG_REMOTE_SIDE_RUNNING = 0xC00000E5;    // 229
constexpr uint32_t MSG_LOGON_FAILED = 0xC00000E8;           // 232
constexpr uint32_t MSG_FOLDER_INDEX_REBUILT = 0xC00000F0;   // 240
constexpr uint32_t MSG_DKIM_NOT_SIGNED = 0xC00000F1;        // 241
constexpr uint32_t MSG_TLS_POLICY = 0xC00000F2;             // 242
constexpr uint32_t MSG_GATEWAY_AUTH_FAILED = 0xC00000F4;    // 244
constexpr uint32_t MSG_DMARC_NOT_RECORDED = 0xC00000F8;     // 248
constexpr uint32_t MSG_DMARC_REPORT_FAILED = 0xC00000F9;    // 249
constexpr uint32_t MSG_MAIL_HOST_UNAVAILABLE = 0xC0000110;  // 272
constexpr uint32_t MSG_SIEVE_FAILED = 0xC0000111;         // 273
constexpr uint32_t MSG_SIEVE_BEFORE_FAILED = 0xC0000112;  // 274
constexpr uint32_t MSG_MASTER_LOGON = 0xC0000118;         // 280
constexpr uint32_t MSG_DNS_RECURSION_LIMIT = 0xC1030310;  // 784

// Category names of the table (1 Server, 2 Operation, 3 Error).
constexpr uint16_t CATEGORY_SERVER = 1;
constexpr uint16_t CATEGORY_OPERATION = 2;
constexpr uint16_t CATEGORY_ERROR = 3;

// The text of an identifier, or null when the table has none.
const char *MessageText(uint32_t id);
// The name of a category, or null.
const char *CategoryName(uint16_t category);
