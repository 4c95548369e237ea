// Diagnostics: where the library's error output goes and how it ends the
// process.
//
// errfd is the descriptor every module writes its diagnostics to (2 unless
// a program changes it).  panic writes "PANIC: ", a stack-trace record line
// and the caller's text, which ends with "\n", to errfd and aborts.  These
// are process-wide and not thread-safe: the library is single-threaded.
#ifndef OMBRIX_ASYNC_ERR_H
#define OMBRIX_ASYNC_ERR_H

#include <cstdarg>

extern int errfd;

extern "C" {
[[noreturn]] void panic (const char *fmt, ...)
    __attribute__ ((format (printf, 1, 2)));
}

#endif
