// suio_vuprintf: the library's printf-style formatter, appending straight
// to a suio.
//
// Conversions: d i D u U o O x X p c s m and %, with the flags - + space
// # 0, widths and precisions (also as *), and the sizes h, l (a long: 32
// bits on i386, 64 on x86_64), ll and q (64 bits).  No floating point, no
// positional arguments.  Any other conversion letter prints itself and
// takes no argument.
//
// Nothing is copied that need not be: literal runs of the format and %s
// texts longer than 128 bytes are queued by reference, so the format and
// such arguments must stay valid and unchanged until the buffer has
// consumed those bytes.  %#s always copies.  A null %s argument panics.
#ifndef OMBRIX_ASYNC_SUIO_VUPRINTF_H
#define OMBRIX_ASYNC_SUIO_VUPRINTF_H

#include "async/suio.h"

#include <cstdarg>

void suio_vuprintf (suio *uio, const char *fmt, va_list ap)
    __attribute__ ((format (printf, 2, 0)));
void suio_uprintf (suio *uio, const char *fmt, ...)
    __attribute__ ((format (printf, 2, 3)));

#endif
