#include "err.h"
#include "stktrace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int errfd = 2;

#define STR1(x) #x
#define STR(x) STR1 (x)

void
panic (const char *fmt, ...)
{
  char buf[2048];
  const char *rec = __backtrace (__FILE__ ":" STR (__LINE__), -1);
  int n = snprintf (buf, sizeof (buf), "PANIC: %s\n", rec);
  if (n < 0 || (size_t) n >= sizeof (buf))
    n = 0;
  va_list ap;
  va_start (ap, fmt);
  int r = vsnprintf (buf + n, sizeof (buf) - n, fmt, ap);
  va_end (ap);
  if (r > 0)
    n += (size_t) r < sizeof (buf) - n ? r : sizeof (buf) - n - 1;
  ssize_t w = write (errfd, buf, n);
  (void) w;
  abort ();
}
