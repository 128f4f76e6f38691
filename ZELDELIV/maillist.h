// maillist: mailing list distribution and the list server's mail commands.
//
// Stand-in until the lists arrive: local delivery offers every local user
// name to DeliverToMailingList first, and no name is a list yet.
//
// userName is the recipient's local part, unquoted and in lower case (from
// the network; only compared). Thread-safe; no state.
#pragma once

#include <string>

#include "common/smtputil.h"

// True when userName names a list (or its request address) and the message
// was handled; rcp.bDisposed is then set by the outcome. False: not a list.
bool DeliverToMailingList(_tMsgInfo &info, _tRcpInfo &rcp, const std::string &userName);
