/* Preloaded into the server by its tests: makes the first N calls of accept
   fail with a chosen error, as a reset connection or a descriptor shortage
   would.  OMBRIX_ACCEPT_FAIL=<errno number>:<count>. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

static int fail_errno;
static int fail_left = -1; /* -1: not read from the environment yet */

int
accept (int s, struct sockaddr *addr, socklen_t *len)
{
  static int (*real) (int, struct sockaddr *, socklen_t *);
  if (!real)
    real = (int (*) (int, struct sockaddr *, socklen_t *)) dlsym (RTLD_NEXT,
                                                                  "accept");
  if (fail_left < 0) {
    const char *v = getenv ("OMBRIX_ACCEPT_FAIL");
    if (!v || sscanf (v, "%d:%d", &fail_errno, &fail_left) != 2)
      fail_left = 0;
  }
  if (fail_left > 0) {
    fail_left--;
    errno = fail_errno;
    return -1;
  }
  return real (s, addr, len);
}
