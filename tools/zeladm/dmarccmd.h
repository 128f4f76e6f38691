// dmarccmd: `zeladm dmarc`, the DMARC aggregate reports.
//
//   zeladm dmarc report --now   the delivery agent reports now what the
//                               receiver has recorded so far (today's
//                               records too), instead of waiting for the
//                               end of the UTC day
//
// The request is a file in the spool's root (root's directory, so only the
// administrator can ask); the agent takes it up at its next work cycle
// (ZELDELIV/dmarcsend) and removes it. Refused while DmarcReports is 0,
// since nothing is recorded or sent then.
//
// Exit status: kAdmExitOk when the request is written; kAdmExitFailure when
// it cannot be, or reports are off; kAdmExitUsage for a wrong command line.
// Single-threaded (zeladm's main).
#pragma once

// argv[0] is "dmarc".
int RunDmarcCommand(int argc, char **argv);
