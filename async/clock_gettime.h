// The library's clock, for platforms without one of their own.
//
// async_clock_gettime reads three clocks:
//   0  wall-clock time (gettimeofday: one-microsecond resolution),
//   1  user CPU time consumed by the process,
//   2  user plus system CPU time consumed by the process;
// any other id fails with EINVAL.  It returns 0 with *tp filled, or -1 with
// errno set (from gettimeofday, getrusage or EINVAL) and *tp untouched.
//
// Where the C library has clock_gettime (Linux), the program keeps it: its
// id 1 is CLOCK_MONOTONIC, which std::chrono::steady_clock and every other
// reader rely on, and the library itself reads the wall clock through
// clock_gettime (CLOCK_REALTIME).  Only on a platform that lacks one does
// the build make async_clock_gettime the program's clock_gettime.  No state.
#ifndef OMBRIX_ASYNC_CLOCK_GETTIME_H
#define OMBRIX_ASYNC_CLOCK_GETTIME_H

#include <time.h>

extern "C" int async_clock_gettime (clockid_t id, struct timespec *tp);

#endif
