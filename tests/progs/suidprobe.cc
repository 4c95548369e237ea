// Prints what the environment-safety functions say in this process:
//   suidsafe=<0|1> execsafe=<0|1> var=<SUIDPROBE_VAR or (null)>
// SUIDPROBE_FLAGS ('p': suidprotect, 'e': execprotect) is read before any
// module starts, as a set-user-id program would set its flags.  With the
// argument "switch" the process then takes real uid 1000 and effective uid
// 2000 and prints the line again.  Exits with _exit so that no exit-time
// checker runs under ids it cannot work with.
#include "async/init.h"
#include "async/suidprotect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static struct suidprobe_init {
  suidprobe_init ()
  {
    if (const char *f = getenv ("SUIDPROBE_FLAGS")) {
      suidprotect = strchr (f, 'p') != nullptr;
      execprotect = strchr (f, 'e') != nullptr;
    }
  }
} suidprobe_init_obj INITPRIO (1001); // ahead of every module

static void
report ()
{
  const char *v = safegetenv ("SUIDPROBE_VAR");
  printf ("suidsafe=%d execsafe=%d var=%s\n", suidsafe (), execsafe (),
          v ? v : "(null)");
}

int
main (int argc, char **argv)
{
  report ();
  if (argc > 1 && !strcmp (argv[1], "switch")) {
    if (setresuid (1000, 2000, -1) < 0)
      perror ("setresuid");
    report ();
  }
  fflush (stdout);
  _exit (0);
}
