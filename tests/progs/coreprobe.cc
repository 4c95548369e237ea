// Reports what the event loop's start-up left behind, one "name=value" per
// line on standard output:
//   early   seen between the error-output and socket modules' start-up:
//           SIGPIPE disposition and the socket module's send-buffer size
//   late    the same, seen right after the socket module's start-up
//   sigpipe ign or dfl; handlers: signals with a disposition other than
//           the default, or "none"; fds: open descriptors
//   soft, hard: RLIMIT_NOFILE; maxfd; FDLIM_HARD, FDLIM_SOFT: environment
//   errout  sync when the synchronous error writer is in force
// COREPROBE_FLAGS 'e' sets execprotect before any module starts.  With the
// argument "nopipe" it runs one loop iteration with no descriptor left for
// the self-pipe instead; with "exit" it switches to queued error output,
// leaves a partial line queued and returns from main.
#include "async/aerr.h"
#include "async/core.h"
#include "async/err_internal.h"
#include "async/init.h"
#include "async/socket.h"
#include "async/suidprotect.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// Filled before the C++ library's own statics exist: plain arrays.
static char early[64], late[64];

static const char *
pipestate ()
{
  struct sigaction sa;
  sigaction (SIGPIPE, nullptr, &sa);
  return sa.sa_handler == SIG_IGN ? "ign" : "dfl";
}

static void
seen (char *buf)
{
  snprintf (buf, 64, "%s %d", pipestate (), sndbufsize);
}

static struct probe_first {
  probe_first ()
  {
    if (const char *f = getenv ("COREPROBE_FLAGS"))
      execprotect = strchr (f, 'e') != nullptr;
  }
} probe_first_obj INITPRIO (1001);

static struct probe_early {
  probe_early () { seen (early); }
} probe_early_obj INITPRIO (INITPRIO_AERR + 5);

static struct probe_late {
  probe_late () { seen (late); }
} probe_late_obj INITPRIO (INITPRIO_SOCKET + 5);

static std::string
handlers ()
{
  std::string s;
  for (int sig = 1; sig < nsig; sig++) {
    struct sigaction sa;
    if (sig == SIGPIPE || sigaction (sig, nullptr, &sa) < 0)
      continue;
    if (sa.sa_handler != SIG_DFL)
      s += (s.empty () ? "" : ",") + std::to_string (sig);
  }
  return s.empty () ? "none" : s;
}

static std::string
fds ()
{
  std::string s;
  DIR *d = opendir ("/proc/self/fd");
  if (!d)
    return "?";
  while (dirent *e = readdir (d)) {
    if (e->d_name[0] == '.' || atoi (e->d_name) == dirfd (d))
      continue;
    s += (s.empty () ? "" : ",") + std::string (e->d_name);
  }
  closedir (d);
  return s;
}

static void
lastwords ()
{
  ssize_t n = write (2, "atexit\n", 7);
  (void) n;
}

static const char *
env (const char *name)
{
  const char *v = getenv (name);
  return v ? v : "(null)";
}

int
main (int argc, char **argv)
{
  if (argc > 1 && !strcmp (argv[1], "nopipe")) {
    // The undefined-behaviour sanitizer needs a pipe the first time it
    // checks a type: let it see the message types before the descriptors
    // run out.
    errfd = open ("/dev/null", O_WRONLY);
    warn ("warming up\n");
    close (errfd);
    errfd = 2;
    rlimit rl = {64, 64};
    setrlimit (RLIMIT_NOFILE, &rl);
    while (open ("/dev/null", O_RDONLY) >= 0)
      ;
    // Runs before the modules' exit work: the sanitizers' exit-time checks
    // need descriptors of their own.
    atexit ([] { closefrom (3); });
    acheck ();
    return 0;
  }
  if (argc > 1 && !strcmp (argv[1], "exit")) {
    err_init ();
    atexit (lastwords);
    warn ("line\n");
    warn ("tail without end");
    return 0;
  }
  printf ("early=%s\nlate=%s\n", early, late);
  printf ("errout=%s\n", _err_output == _err_output_sync ? "sync" : "other");
  printf ("sigpipe=%s\nhandlers=%s\nfds=%s\n", pipestate (),
          handlers ().c_str (), fds ().c_str ());
  printf ("soft=%d\nhard=%d\nmaxfd=%d\n", fdlim_get (0), fdlim_get (1), maxfd);
  printf ("FDLIM_HARD=%s\nFDLIM_SOFT=%s\n", env ("FDLIM_HARD"),
          env ("FDLIM_SOFT"));
  return 0;
}
