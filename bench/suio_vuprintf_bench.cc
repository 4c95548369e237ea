// The formatter beside snprintf into a stack buffer, on a typical
// diagnostic line and on a padded numeric one.  Ours builds a fresh suio
// per line (what a strbuf or a warning does) and flattens nothing; the
// bytes stay in the buffer's inline scratch area.

#include <benchmark/benchmark.h>

#include "async/suio_vuprintf.h"

#include <cstdio>

// "%08.3d" is on purpose: the 0 flag gives way to the precision.
#pragma GCC diagnostic ignored "-Wformat"

namespace {

// Arguments the compiler cannot see through.
const char *volatile prog = "proxy";
const char *volatile host = "10.0.0.1";
volatile int nbytes = 1234;

void
BM_uprintf_diag (benchmark::State &st)
{
  for (auto _ : st) {
    suio u;
    suio_uprintf (&u, "%s: %d bytes from %s\n", prog, nbytes, host);
    benchmark::DoNotOptimize (u.iov ());
  }
}

void
BM_snprintf_diag (benchmark::State &st)
{
  for (auto _ : st) {
    char buf[128];
    int n = snprintf (buf, sizeof (buf), "%s: %d bytes from %s\n", prog, nbytes,
                      host);
    benchmark::DoNotOptimize (buf);
    benchmark::DoNotOptimize (n);
  }
}

void
BM_uprintf_padded (benchmark::State &st)
{
  for (auto _ : st) {
    suio u;
    suio_uprintf (&u, "%5d|%-8s|%#x|%08.3d", nbytes, prog, nbytes, 7);
    benchmark::DoNotOptimize (u.iov ());
  }
}

void
BM_snprintf_padded (benchmark::State &st)
{
  for (auto _ : st) {
    char buf[128];
    int n = snprintf (buf, sizeof (buf), "%5d|%-8s|%#x|%08.3d", nbytes, prog,
                      nbytes, 7);
    benchmark::DoNotOptimize (buf);
    benchmark::DoNotOptimize (n);
  }
}

BENCHMARK (BM_uprintf_diag);
BENCHMARK (BM_snprintf_diag);
BENCHMARK (BM_uprintf_padded);
BENCHMARK (BM_snprintf_padded);

} // namespace
