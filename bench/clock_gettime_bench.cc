// The program's clock_gettime (ours) beside the C library's, looked up by
// name: ours is hidden, so the lookup finds the C library's.
#include "async/clock_gettime.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>

namespace {

using clockfn = int (*) (clockid_t, timespec *);

clockfn
libc_clock ()
{
#if __TIMESIZE == 32 && defined __USE_TIME_BITS64
  return reinterpret_cast<clockfn> (dlsym (RTLD_DEFAULT, "__clock_gettime64"));
#else
  return reinterpret_cast<clockfn> (dlsym (RTLD_DEFAULT, "clock_gettime"));
#endif
}

void
BM_ours (benchmark::State &state)
{
  timespec ts;
  for (auto _ : state) {
    clock_gettime (clockid_t (state.range (0)), &ts);
    benchmark::DoNotOptimize (ts);
  }
}
BENCHMARK (BM_ours)->Arg (0)->Arg (2);

void
BM_libc (benchmark::State &state)
{
  clockfn f = libc_clock ();
  if (!f || f == &clock_gettime) {
    state.SkipWithError ("C library clock not found");
    return;
  }
  timespec ts;
  for (auto _ : state) {
    f (clockid_t (state.range (0)), &ts);
    benchmark::DoNotOptimize (ts);
  }
}
BENCHMARK (BM_libc)->Arg (0)->Arg (2);

} // namespace
