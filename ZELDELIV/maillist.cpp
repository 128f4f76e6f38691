// maillist: see maillist.h (placeholder: no lists yet).
#include "ZELDELIV/maillist.h"

bool DeliverToMailingList(_tMsgInfo &, _tRcpInfo &, const std::string &) { return false; }
