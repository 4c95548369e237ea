#include "suidprotect.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define LEAKED(p) __lsan_ignore_object (p)
#else
#define LEAKED(p) ((void) (p))
#endif

int suidprotect;
int execprotect;

int
suidsafe (void)
{
  static int verdict; // 0 undecided, 1 safe, -1 unsafe
  if (!verdict) {
    bool safe = !suidprotect || getuid () == 0 ||
                (getuid () == geteuid () && getgid () == getegid ());
    verdict = safe ? 1 : -1;
  }
  return verdict > 0;
}

int
execsafe (void)
{
  return !suidprotect && !execprotect;
}

char *
safegetenv (const char *name)
{
  return suidsafe () ? getenv (name) : nullptr;
}

int
xputenv (const char *s)
{
  char *copy = strdup (s);
  if (!copy)
    return -1;
  int r = putenv (copy);
  // Without '=' the C library removes the variable and keeps nothing, so
  // the copy would be lost.
  if (r < 0 || !strchr (copy, '='))
    free (copy);
  else
    LEAKED (copy); // dropped, never freed, when the variable is replaced
  return r;
}
