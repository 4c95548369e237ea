// The library's clock, driven through its public call.  The test
// program puts its own gettimeofday and getrusage in front of the C
// library's so that the clock can be fed chosen readings and failures.
#include "async/clock_gettime.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/time.h>

#if __TIMESIZE == 32 && defined __USE_TIME_BITS64
#define GETTIMEOFDAY "__gettimeofday64"
#define GETRUSAGE "__getrusage64"
#else
#define GETTIMEOFDAY "gettimeofday"
#define GETRUSAGE "getrusage"
#endif

namespace {

struct fakeos {
  bool on;    // answer from here instead of the C library
  int err;    // non-zero: fail with this errno
  timeval tv; // what gettimeofday reads
  rusage ru;  // what getrusage reads
} fake;

struct faking {
  faking () { fake = fakeos{true, 0, {}, {}}; }
  ~faking () { fake.on = false; }
};

template <class F>
F
next (const char *name)
{
  return reinterpret_cast<F> (dlsym (RTLD_NEXT, name));
}

} // namespace

extern "C" int
gettimeofday (struct timeval *__restrict tv, void *__restrict tz) noexcept
{
  if (!fake.on) {
    static auto real = next<int (*) (timeval *, void *)> (GETTIMEOFDAY);
    return real (tv, tz);
  }
  if (fake.err) {
    errno = fake.err;
    return -1;
  }
  *tv = fake.tv;
  return 0;
}

extern "C" int
getrusage (int who, struct rusage *ru) noexcept
{
  if (!fake.on) {
    static auto real = next<int (*) (int, rusage *)> (GETRUSAGE);
    return real (who, ru);
  }
  if (fake.err || who != RUSAGE_SELF) {
    errno = fake.err ? fake.err : EINVAL;
    return -1;
  }
  *ru = fake.ru;
  return 0;
}

namespace {

int64_t
ns (const timespec &ts)
{
  return int64_t (ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t
ns (const timeval &tv)
{
  return int64_t (tv.tv_sec) * 1000000000 + int64_t (tv.tv_usec) * 1000;
}

const timespec sentinel = {777, 888};

TEST (ClockGettime, OtherIdsFailWithEinvalAndLeaveTheResult)
{
  // 3 is the C library's per-thread CPU clock and negative ids its CPU
  // clocks of other processes; both would succeed there.
  for (clockid_t id : {3, 4, 5, 100, -1, -6, INT_MAX, INT_MIN}) {
    timespec ts = sentinel;
    errno = 0;
    EXPECT_EQ (async_clock_gettime (id, &ts), -1) << id;
    EXPECT_EQ (errno, EINVAL) << id;
    EXPECT_EQ (ts.tv_sec, sentinel.tv_sec) << id;
    EXPECT_EQ (ts.tv_nsec, sentinel.tv_nsec) << id;
  }
}

TEST (ClockGettime, WallClockIsGettimeofdayInMicroseconds)
{
  for (int i = 0; i < 200; i++) {
    timeval before, after;
    timespec ts;
    gettimeofday (&before, nullptr);
    ASSERT_EQ (async_clock_gettime (CLOCK_REALTIME, &ts), 0);
    gettimeofday (&after, nullptr);
    EXPECT_EQ (ts.tv_nsec % 1000, 0); // the C library's has nanoseconds
    EXPECT_LE (ns (before), ns (ts));
    EXPECT_LE (ns (ts), ns (after));
  }
}

// What the readings turn into, exactly.
TEST (ClockGettime, ConvertsFedReadings)
{
  faking f;
  struct {
    timeval tv;
    int64_t sec;
    long nsec;
  } wall[] = {
      {{0, 0}, 0, 0},
      {{1234, 567890}, 1234, 567890000},
      {{1700000000, 999999}, 1700000000, 999999000},
      {{time_t (INT64_C (4102444800)), 1}, INT64_C (4102444800), 1000},
  };
  for (auto &w : wall) {
    if (sizeof (time_t) < 8 && w.sec > INT32_MAX)
      continue;
    fake.tv = w.tv;
    timespec ts;
    ASSERT_EQ (async_clock_gettime (0, &ts), 0);
    EXPECT_EQ (int64_t (ts.tv_sec), w.sec);
    EXPECT_EQ (ts.tv_nsec, w.nsec);
  }
}

TEST (ClockGettime, TotalCpuTimeCarriesIntoSeconds)
{
  faking f;
  struct {
    timeval user, sys;
    timespec id1, id2;
  } cases[] = {
      {{1, 1}, {2, 2}, {1, 1000}, {3, 3000}},
      {{3, 600000}, {4, 400000}, {3, 600000000}, {8, 0}}, // exactly a second
      {{0, 999999}, {0, 999999}, {0, 999999000}, {1, 999998000}},
      {{0, 500000}, {0, 499999}, {0, 500000000}, {0, 999999000}},
      {{0, 0}, {7, 999999}, {0, 0}, {7, 999999000}},
      {{time_t (3000000000u), 0},
       {0, 0},
       {time_t (3000000000u), 0},
       {time_t (3000000000u), 0}},
  };
  for (auto &c : cases) {
    fake.ru.ru_utime = c.user;
    fake.ru.ru_stime = c.sys;
    timespec t1, t2;
    ASSERT_EQ (async_clock_gettime (1, &t1), 0);
    ASSERT_EQ (async_clock_gettime (2, &t2), 0);
    EXPECT_EQ (ns (t1), ns (c.id1)) << c.user.tv_sec;
    EXPECT_EQ (t1.tv_nsec, c.id1.tv_nsec);
    EXPECT_EQ (t2.tv_sec, c.id2.tv_sec) << c.user.tv_usec;
    EXPECT_EQ (t2.tv_nsec, c.id2.tv_nsec) << c.user.tv_usec;
  }
}

TEST (ClockGettime, FailingSystemCallsPassTheirErrnoThrough)
{
  faking f;
  fake.err = EFAULT;
  for (clockid_t id : {0, 1, 2}) {
    timespec ts = sentinel;
    errno = 0;
    EXPECT_EQ (async_clock_gettime (id, &ts), -1) << id;
    EXPECT_EQ (errno, EFAULT) << id;
    EXPECT_EQ (ts.tv_sec, sentinel.tv_sec) << id;
  }
}

// Where the C library has clock_gettime the program keeps it: the name
// binds outside the program (the C library, or a sanitizer's wrapper),
// where the library's own clock is part of the program.
TEST (ClockGettime, ProgramKeepsTheCLibraryClock)
{
  Dl_info lib, prog;
  ASSERT_NE (dladdr (reinterpret_cast<void *> (&async_clock_gettime), &lib), 0);
  ASSERT_NE (dladdr (reinterpret_cast<void *> (&clock_gettime), &prog), 0);
  EXPECT_STRNE (prog.dli_fname, lib.dli_fname);
}

} // namespace
