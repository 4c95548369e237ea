// Allocation that never fails visibly.
//
// xmalloc, xrealloc and xstrdup return ordinary malloc blocks: the caller
// owns them and gives them back with free.  The program's global operator
// new and new[] come from here too and hand out malloc blocks as well, so
// free, delete and delete[] can release one another's blocks.
//
// When memory runs out, the out-of-memory action runs instead of returning
// null: xmalloc_handler, which is default_xmalloc_handler unless a program
// installs another.  The default writes "malloc failed\n" to errfd and
// aborts.  A handler that returns (or a null handler) does not resume the
// allocation: the default action follows it, so these functions never
// return null and callers never test for it.  The nothrow forms of
// operator new are plain malloc and may return null.
#ifndef OMBRIX_ASYNC_MALLOC_H
#define OMBRIX_ASYNC_MALLOC_H

#include <cstddef>

extern "C" {
// Out-of-memory action, called with the size of the failed request.
extern void (*xmalloc_handler) (size_t size);
[[noreturn]] void default_xmalloc_handler (size_t size);

void *xmalloc (size_t size) __attribute__ ((malloc, returns_nonnull));
void *xrealloc (void *o, size_t size) __attribute__ ((returns_nonnull));
char *xstrdup (const char *s) __attribute__ ((malloc, returns_nonnull));
}

// Runs the out-of-memory action for a request of size bytes: for callers
// whose own size arithmetic overflows before they reach xmalloc.
[[noreturn]] void xmalloc_failed (size_t size);

// xmalloc (n * size), with an overflowing product handled as out of memory.
void *xmallocarray (size_t n, size_t size)
    __attribute__ ((malloc, returns_nonnull));

#endif
