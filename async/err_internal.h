// The library's shorthand for its own diagnostics; not installed.  Each form
// is a builder of one statement:
//   warn ("%s: %m\n", path);         warn << "text " << s << "\n";
//   fatal ("bind: %m\n");            exit status 1
//   panic ("bad state %d\n", st);    stack-trace record of this line, abort
// Object-like macros: they hide the C functions fatal and panic from the
// code that includes this header.  Programs using the installed library
// never see them (a program may have its own warn, or glibc's <err.h>).
// The parentheses matter: `warnobj (f) ("x")` alone declares a variable f.
#ifndef OMBRIX_ASYNC_ERR_INTERNAL_H
#define OMBRIX_ASYNC_ERR_INTERNAL_H

#include "async/err.h"

#define warn (warnobj (0))
#define fatal (fatalobj (warnobj::exitflag))
#define panic                                                                  \
  (fatalobj (warnobj::abortflag) ("%s\n", __backtrace (ERR_POS, -1)))

#endif
