// One warning line to /dev/null: the library's builder and plain-named
// function beside stdio's fprintf, unbuffered (one write per line, as the
// error output does) and fully buffered.
#include "async/err_internal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct devnull {
  int saved = errfd;
  devnull () { errfd = open ("/dev/null", O_WRONLY); }
  ~devnull ()
  {
    close (errfd);
    errfd = saved;
  }
};

// Argument 1: with a program name and pid in the prefix.
void
BM_warn (benchmark::State &state)
{
  devnull d;
  if (state.range (0)) {
    setprogname ("/usr/sbin/ombrix-proxy");
    setprogpid (4242);
  }
  int i = 0;
  for (auto _ : state)
    warn ("connection %d: %s\n", i++, "refused option SO_SNDBUF");
  progname = str ();
  progpid = str ();
}
BENCHMARK (BM_warn)->Arg (0)->Arg (1);

void
BM_qel_warnx (benchmark::State &state)
{
  devnull d;
  int i = 0;
  for (auto _ : state)
    qel_warnx ("connection %d: %s\n", i++, "refused option SO_SNDBUF");
}
BENCHMARK (BM_qel_warnx);

void
fprintf_devnull (benchmark::State &state, int mode)
{
  FILE *f = fopen ("/dev/null", "w");
  setvbuf (f, nullptr, mode, BUFSIZ);
  int i = 0;
  for (auto _ : state)
    fprintf (f, "connection %d: %s\n", i++, "refused option SO_SNDBUF");
  fclose (f);
}

void
BM_fprintf_unbuffered (benchmark::State &state)
{
  fprintf_devnull (state, _IONBF);
}
BENCHMARK (BM_fprintf_unbuffered);

void
BM_fprintf_buffered (benchmark::State &state)
{
  fprintf_devnull (state, _IOFBF);
}
BENCHMARK (BM_fprintf_buffered);

} // namespace
