// The library's clock: the program's own clock_gettime.
//
// Linked into a program, the library supplies clock_gettime (declared by
// <time.h>) for every call made from the program's own code:
//   0  wall-clock time (gettimeofday: one-microsecond resolution),
//   1  user CPU time consumed by the process,
//   2  user plus system CPU time consumed by the process;
// any other id fails with EINVAL.  Id 1 is therefore not CLOCK_MONOTONIC
// here.  The definition is hidden: shared libraries (the C and C++ runtimes
// behind std::chrono, GoogleTest's timers, benchmark libraries) keep the C
// library's clock, so their monotonic clocks stay monotonic.
//
// Returns 0 with *tp filled, or -1 with errno set (from gettimeofday,
// getrusage or EINVAL).  On 32-bit x86 both the 64-bit-time entry
// (__clock_gettime64, what <time.h> names with _TIME_BITS=64) and the
// 32-bit-time clock_gettime are ours; the latter fails with EOVERFLOW when
// the seconds do not fit.  No state.
#ifndef OMBRIX_ASYNC_CLOCK_GETTIME_H
#define OMBRIX_ASYNC_CLOCK_GETTIME_H

#include <time.h>

#endif
