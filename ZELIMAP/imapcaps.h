// imapcaps: what the server says about itself: the capabilities in
// CAPABILITY's answer and the greeting's and the logon's response codes
// (imapwrite's list, with what depends on the connection and the
// configured AppendLimit), and ID's answer.
//
// Before logon the list adds STARTTLS while it can start, and AUTH=PLAIN
// where a password may cross the connection, else LOGINDISABLED. Pure;
// thread-safe.
#pragma once

#include <string>

struct ImapCapabilityContext {
  bool bLoggedOn = false;
  bool bOfferStartTls = false;
  bool bLogonAllowed = false;   // a password may cross the connection
};

// The capabilities, separated by single spaces ("IMAP4rev1 IMAP4rev2 ...").
std::string ImapCapabilityText(const ImapCapabilityContext &context);

// "* ID (...)\r\n": the server's name and version.
std::string ImapIdResponse();
