// __backtrace on a record already cached, beside the C library's
// backtrace() formatted into the same text with snprintf.
#include "async/stktrace.h"

#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <execinfo.h>

namespace {

__attribute__ ((noinline)) const char *
ours (int depth)
{
  const char *r = depth ? ours (depth - 1) : __backtrace ("bench.cc:1", -1);
  benchmark::DoNotOptimize (r);
  return r;
}

__attribute__ ((noinline)) int
peer (int depth, char *out, size_t n)
{
  if (depth) {
    int r = peer (depth - 1, out, n);
    benchmark::DoNotOptimize (r);
    return r;
  }
  void *pcs[64];
  int k = backtrace (pcs, 64);
  size_t len = 0;
  for (int i = k - 1; i >= 0 && len + 20 < n; i--)
    len += size_t (snprintf (out + len, n - len, "0x%" PRIxPTR " ",
                             reinterpret_cast<uintptr_t> (pcs[i]) - 1));
  snprintf (out + len, n - len, "bench.cc:1");
  return k;
}

void
BM_backtrace_cached (benchmark::State &state)
{
  for (auto _ : state)
    benchmark::DoNotOptimize (ours (int (state.range (0))));
}
BENCHMARK (BM_backtrace_cached)->Arg (0)->Arg (8);

void
BM_glibc_backtrace_snprintf (benchmark::State &state)
{
  char buf[256];
  for (auto _ : state)
    benchmark::DoNotOptimize (peer (int (state.range (0)), buf, sizeof (buf)));
}
BENCHMARK (BM_glibc_backtrace_snprintf)->Arg (0)->Arg (8);

} // namespace
