// zeladm: the administrator's tool. Each command group lives in its own
// module with its own subcommand table; this file only lists the groups.
//
//   zeladm reg ...    the registry (regcmd)
//   zeladm user ...   the accounts file (usercmd)
//   zeladm list ...   the mailing lists (listcmd)
//   zeladm tls ...    the servers' TLS certificate (tlscmd)
//   zeladm dkim ...   the keys that sign outgoing mail (dkimcmd)
//   zeladm queue ...  the mail waiting for delivery (queuecmd)
//   zeladm dmarc ...  the DMARC aggregate reports (dmarccmd)
//   zeladm sieve ...  a mail user's Sieve scripts (sievecmd)
//   zeladm status     services, queues, recent problems (statuscmd)
//   zeladm check      the configuration check (checkcmd), and of DNS (dnscmd)
//   zeladm dns ...    the DNS records the site publishes (dnscmd)
//   zeladm log ...    the event log (logcmd)
//   zeladm help       this list
#include <cstdio>
#include <cstring>

#include "tools/zeladm/admcmd.h"
#include "tools/zeladm/checkcmd.h"
#include "tools/zeladm/dkimcmd.h"
#include "tools/zeladm/dmarccmd.h"
#include "tools/zeladm/dnscmd.h"
#include "tools/zeladm/listcmd.h"
#include "tools/zeladm/logcmd.h"
#include "tools/zeladm/queuecmd.h"
#include "tools/zeladm/regcmd.h"
#include "tools/zeladm/sievecmd.h"
#include "tools/zeladm/statuscmd.h"
#include "tools/zeladm/tlscmd.h"
#include "tools/zeladm/usercmd.h"

namespace {

int RunHelp(int argc, char **argv);

const AdmCommand kGroups[] = {
    {"reg", "get|set|del|import|export ...", "read and change the registry ('zeladm reg help')",
     0, -1, RunRegCommand},
    {"user", "add|del|passwd|list|set-identity ...",
     "manage the accounts file ('zeladm user help')", 0, -1, RunUserCommand},
    {"list", "create|set|show|add-member|del-member|delete ...",
     "manage the mailing lists ('zeladm list help')", 0, -1, RunListCommand},
    {"tls", "self-signed ...", "manage the servers' TLS certificate ('zeladm tls help')", 0, -1,
     RunTlsCommand},
    {"dkim", "new|rotate|retire|show|verify ...",
     "manage the DKIM signing keys ('zeladm dkim help')", 0, -1, RunDkimCommand},
    {"queue", "list|show|retry|delete|hold|release ...",
     "see and manage the queued mail ('zeladm queue help')", 0, -1, RunQueueCommand},
    {"dmarc", "report --now", "send the DMARC aggregate reports now ('zeladm dmarc help')", 0, -1,
     RunDmarcCommand},
    {"sieve", "USER list|show|put|activate|deactivate|check ...",
     "manage a mail user's Sieve scripts ('zeladm sieve help')", 0, -1, RunSieveCommand},
    {"status", "", "show the services, the queues and recent warnings and errors", 0, 0,
     RunStatusCommand},
    {"check", "[dns --domain D]",
     "check the configuration, or the domain's DNS records; exit status 1 when any is wrong", 0,
     3, RunCheckCommand},
    {"dns", "--domain D [--mta-sts-policy]", "print the DNS records the domain needs", 1, 3,
     RunDnsCommand},
    {"log", "[--follow] [--service NAME] [--since TIME]",
     "show the event log (TIME: YYYY-MM-DD[THH:MM[:SS]] or a span like 2h)", 0, 5,
     RunLogCommand},
    {"help", "[GROUP]", "show this text, or a group's commands", 0, 1, RunHelp},
};

int RunHelp(int argc, char **argv) {
  if (argc < 2) {
    PrintAdmUsage(stdout, "zeladm", kGroups);
    return kAdmExitOk;
  }
  char help[] = "help";
  char *sub[] = {argv[1], help};
  return DispatchAdmCommand("zeladm", kGroups, 2, sub);
}

}  // namespace

int main(int argc, char **argv) {
  return DispatchAdmCommand("zeladm", kGroups, argc - 1, argv + 1);
}
