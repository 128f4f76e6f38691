/* A fault for the end-to-end tests, loaded into a service with LD_PRELOAD:
 * inotify_init1() fails with EMFILE, as it does for a user past the
 * kernel's fs.inotify.max_user_instances, so that what a process does
 * without a watch can be tried without changing the machine's limit. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/inotify.h>

int inotify_init1(int flags) {
  (void)flags;
  errno = EMFILE;
  return -1;
}
