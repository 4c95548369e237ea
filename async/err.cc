#include "err.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int errfd = 2;

void
panic (const char *fmt, ...)
{
  char buf[1024] = "PANIC: ";
  size_t n = sizeof ("PANIC: ") - 1;
  va_list ap;
  va_start (ap, fmt);
  int r = vsnprintf (buf + n, sizeof (buf) - n, fmt, ap);
  va_end (ap);
  if (r > 0)
    n += (size_t) r < sizeof (buf) - n ? (size_t) r : sizeof (buf) - n - 1;
  ssize_t w = write (errfd, buf, n);
  (void) w;
  abort ();
}
