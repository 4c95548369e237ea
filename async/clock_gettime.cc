#include "clock_gettime.h"

#include <cerrno>
#include <cstdint>
#include <sys/resource.h>
#include <sys/time.h>

// The symbol <time.h> binds clock_gettime to: with 64-bit time on a 32-bit
// system it is __clock_gettime64.  Hidden, so that the program's own calls
// reach this definition while shared libraries keep the C library's: made
// visible, it would become libstdc++'s too, and std::chrono::steady_clock
// (id 1) would read CPU time that stands still while the program sleeps.
#if __TIMESIZE == 32 && defined __USE_TIME_BITS64
#define CLOCK_SYMBOL "__clock_gettime64"
#define CLOCK_LEGACY 1 // 32-bit time_t callers name plain clock_gettime
#else
#define CLOCK_SYMBOL "clock_gettime"
#define CLOCK_LEGACY 0
#endif

#define HIDDEN __attribute__ ((visibility ("hidden")))

namespace {

int
readclock (clockid_t id, int64_t *sec, long *nsec)
{
  if (id == 0) {
    timeval tv;
    if (gettimeofday (&tv, nullptr) < 0)
      return -1;
    *sec = tv.tv_sec;
    *nsec = long (tv.tv_usec) * 1000;
    return 0;
  }
  if (id != 1 && id != 2) {
    errno = EINVAL;
    return -1;
  }
  rusage ru;
  if (getrusage (RUSAGE_SELF, &ru) < 0)
    return -1;
  int64_t s = ru.ru_utime.tv_sec;
  int64_t ns = int64_t (ru.ru_utime.tv_usec) * 1000; // wider than a 32-bit long
  if (id == 2) {
    s += ru.ru_stime.tv_sec;
    ns += int64_t (ru.ru_stime.tv_usec) * 1000;
  }
  while (ns >= 1000000000) {
    ns -= 1000000000;
    s++;
  }
  *sec = s;
  *nsec = long (ns);
  return 0;
}

} // namespace

extern "C" HIDDEN int ombrix_clock_gettime (clockid_t id,
                                            struct timespec *tp) noexcept
    __asm__(CLOCK_SYMBOL);

int
ombrix_clock_gettime (clockid_t id, struct timespec *tp) noexcept
{
  int64_t sec;
  long nsec;
  if (readclock (id, &sec, &nsec) < 0)
    return -1;
  tp->tv_sec = sec;
  tp->tv_nsec = nsec;
  return 0;
}

#if CLOCK_LEGACY
struct timespec32 {
  int32_t tv_sec;
  int32_t tv_nsec;
};

extern "C" HIDDEN int ombrix_clock_gettime32 (clockid_t id,
                                              timespec32 *tp) noexcept
    __asm__("clock_gettime");

int
ombrix_clock_gettime32 (clockid_t id, timespec32 *tp) noexcept
{
  int64_t sec;
  long nsec;
  if (readclock (id, &sec, &nsec) < 0)
    return -1;
  if (sec != int32_t (sec)) {
    errno = EOVERFLOW;
    return -1;
  }
  tp->tv_sec = int32_t (sec);
  tp->tv_nsec = int32_t (nsec);
  return 0;
}
#endif
