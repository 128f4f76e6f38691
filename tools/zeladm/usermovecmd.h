// usermovecmd: "zeladm user move USER --to HOST ... | USER --finish": holds
// the user here, waits for the sessions, copies the mailbox, switches the
// directory's mail host and lets the held mail go (the manual is at the top
// of usermovecmd.cpp). Called by usercmd's table; single-threaded.
#pragma once

// argv[0] is "move", argv[1] the user; the exit status.
int RunUserMove(int argc, char **argv);
