// The library's clock beside the C library's clock_gettime, same ids.
#include "async/clock_gettime.h"

#include <benchmark/benchmark.h>

namespace {

void
BM_ours (benchmark::State &state)
{
  timespec ts;
  for (auto _ : state) {
    async_clock_gettime (clockid_t (state.range (0)), &ts);
    benchmark::DoNotOptimize (ts);
  }
}
BENCHMARK (BM_ours)->Arg (0)->Arg (2);

// Id 2 of ours is process CPU time, CLOCK_PROCESS_CPUTIME_ID in the C
// library's numbering.
void
BM_libc (benchmark::State &state)
{
  clockid_t id = state.range (0) ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_REALTIME;
  timespec ts;
  for (auto _ : state) {
    clock_gettime (id, &ts);
    benchmark::DoNotOptimize (ts);
  }
}
BENCHMARK (BM_libc)->Arg (0)->Arg (2);

} // namespace
