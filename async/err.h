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

// The panic form with the caller's source position ("file:line") in the
// stack-trace record.
[[noreturn]] void panic_at (const char *pos, const char *fmt, ...)
    __attribute__ ((format (printf, 2, 3)));

#define ERR_STR1(x) #x
#define ERR_STR(x) ERR_STR1 (x)
#define __POS__ __FILE__ ":" ERR_STR (__LINE__) // source position text

// The library's own assertion: a failed condition is a panic whose text is
// assertion "<condition>" failed at <file:line>.
#define libassert(e)                                                           \
  ((e) ? (void) 0                                                              \
       : panic_at (__POS__, "assertion \"%s\" failed at %s\n", #e, __POS__))

#endif
