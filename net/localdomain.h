// localdomain: the one answer to "is this mail domain ours?", shared by the
// receiver (relay policy, VRFY) and the delivery agent (which recipients it
// delivers locally), so that the receiver never refuses, as relaying, mail
// that the agent would deliver here.
//
// A domain is local when it is one of this computer's names or addresses
// (the local host table, net/localhost: whole names, their leading labels,
// and "[a.b.c.d]" literals), when it is listed in DomainNamesAreLocal, or
// when it is the Domain of a mailing list. The first two are read once at
// start; the lists are read from the list store at every call, so a list
// created while the services run counts at once.
//
// Untrusted input: the domain comes from the network (a RCPT or VRFY
// argument) or from a recipient file; it is only compared. Thread-safe once
// the local host table and the configuration are filled.
//
// The list store is common/liststore; this test lives in net/ because it
// needs the local host table, which the programs share from here.
#pragma once

#include <string_view>

// True when mail for domain is delivered on this computer. An empty domain
// is not a domain (callers treat an address without one as local).
bool IsLocalMailDomain(std::string_view domain);
