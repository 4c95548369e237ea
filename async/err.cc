#include "err.h"
#include "stktrace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int errfd = 2;

// "PANIC: ", the record of pos, "\n", the text: one write, then abort.
[[noreturn]] static void
vpanic_at (const char *pos, const char *fmt, va_list ap)
{
  char buf[2048];
  const char *rec = __backtrace (pos, -1);
  int n = snprintf (buf, sizeof (buf), "PANIC: %s\n", rec);
  if (n < 0 || (size_t) n >= sizeof (buf))
    n = 0;
  int r = vsnprintf (buf + n, sizeof (buf) - n, fmt, ap);
  if (r > 0)
    n += (size_t) r < sizeof (buf) - n ? r : sizeof (buf) - n - 1;
  ssize_t w = write (errfd, buf, n);
  (void) w;
  abort ();
}

void
panic_at (const char *pos, const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vpanic_at (pos, fmt, ap);
}

void
panic (const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vpanic_at (__POS__, fmt, ap);
}
