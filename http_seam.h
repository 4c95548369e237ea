// The system calls behind httperror and httptime, reached through
// pointers so that a test can fix the clock and the user's identity and
// count the lookups.  Internal to the HTTP module and its tests: not
// installed with http.h.
//
// httpsys starts as httpsys_libc, the C library's own calls; a test that
// changes it puts httpsys_libc back when done.  httperror_forget drops
// the server name httperror keeps, so that its next call computes the name
// again through httpsys.  Single-threaded, like the module.
#ifndef OMBRIX_HTTP_SEAM_H
#define OMBRIX_HTTP_SEAM_H

#include <ctime>
#include <pwd.h>
#include <sys/types.h>

struct httpseam {
  time_t (*time) (time_t *);                 // the clock of httptime
  char *(*getlogin) ();                      // the login name, or null
  struct passwd *(*getpwnam) (const char *); // the login name's entry
  struct passwd *(*getpwuid) (uid_t);        // the fallback: real uid's entry
  uid_t (*getuid) ();
};

extern httpseam httpsys;
extern const httpseam httpsys_libc;

void httperror_forget ();

#endif
