/* A fault for the end-to-end tests, loaded into a service with LD_PRELOAD:
 * while the file named by ZEL_FAULT_SETFSUID exists, setfsuid() changes
 * nothing, as the kernel does for a process without CAP_SETUID (it reports
 * the current id, and a caller that reads the id back sees its own). The
 * test switches the fault on and off under a running service, so an
 * impersonation can fail in the middle of a session. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <unistd.h>

int setfsuid(uid_t uid) {
  static int (*real)(uid_t);
  if (real == NULL) real = (int (*)(uid_t))dlsym(RTLD_NEXT, "setfsuid");
  const char *trigger = getenv("ZEL_FAULT_SETFSUID");
  if (trigger != NULL && access(trigger, F_OK) == 0) uid = (uid_t)-1;
  return real(uid);
}
