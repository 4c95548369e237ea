#include "malloc.h"

#include "err.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

void (*xmalloc_handler) (size_t) = default_xmalloc_handler;

void
default_xmalloc_handler (size_t)
{
  // One write from a local buffer: nothing here may allocate.
  char msg[15] = "malloc failed\n";
  ssize_t n = write (errfd, msg, sizeof (msg) - 1);
  (void) n;
  abort ();
}

void
xmalloc_failed (size_t size)
{
  if (xmalloc_handler)
    xmalloc_handler (size);
  default_xmalloc_handler (size);
}

void *
xmalloc (size_t size)
{
  void *p = malloc (size);
  if (!p)
    xmalloc_failed (size);
  return p;
}

void *
xrealloc (void *o, size_t size)
{
  void *p = realloc (o, size);
  if (!p)
    xmalloc_failed (size);
  return p;
}

char *
xstrdup (const char *s)
{
  size_t n = strlen (s) + 1;
  return static_cast<char *> (memcpy (xmalloc (n), s, n));
}

void *
xmallocarray (size_t n, size_t size)
{
  if (size && n > SIZE_MAX / size)
    xmalloc_failed (SIZE_MAX);
  return xmalloc (n * size);
}

// The global operators.  Every form is replaced, sized and aligned ones
// included, so no block from here ever reaches the C++ runtime's own
// allocator and new never throws bad_alloc.

static void *
alignedmalloc (size_t size, std::align_val_t al, bool mayfail)
{
  size_t align = static_cast<size_t> (al);
  if (align < sizeof (void *))
    align = sizeof (void *);
  void *p;
  if (!posix_memalign (&p, align, size ? size : 1))
    return p;
  if (!mayfail)
    xmalloc_failed (size);
  return nullptr;
}

void *
operator new (size_t size)
{
  return xmalloc (size ? size : 1);
}

void *
operator new[] (size_t size)
{
  return xmalloc (size ? size : 1);
}

void *
operator new (size_t size, const std::nothrow_t &) noexcept
{
  return malloc (size ? size : 1);
}

void *
operator new[] (size_t size, const std::nothrow_t &) noexcept
{
  return malloc (size ? size : 1);
}

void *
operator new (size_t size, std::align_val_t al)
{
  return alignedmalloc (size, al, false);
}

void *
operator new[] (size_t size, std::align_val_t al)
{
  return alignedmalloc (size, al, false);
}

void *
operator new (size_t size, std::align_val_t al, const std::nothrow_t &) noexcept
{
  return alignedmalloc (size, al, true);
}

void *
operator new[] (size_t size, std::align_val_t al,
                const std::nothrow_t &) noexcept
{
  return alignedmalloc (size, al, true);
}

void
operator delete (void *p) noexcept
{
  free (p);
}

void
operator delete[] (void *p) noexcept
{
  free (p);
}

void
operator delete (void *p, size_t) noexcept
{
  free (p);
}

void
operator delete[] (void *p, size_t) noexcept
{
  free (p);
}

void
operator delete (void *p, const std::nothrow_t &) noexcept
{
  free (p);
}

void
operator delete[] (void *p, const std::nothrow_t &) noexcept
{
  free (p);
}

void
operator delete (void *p, std::align_val_t) noexcept
{
  free (p);
}

void
operator delete[] (void *p, std::align_val_t) noexcept
{
  free (p);
}

void
operator delete (void *p, size_t, std::align_val_t) noexcept
{
  free (p);
}

void
operator delete[] (void *p, size_t, std::align_val_t) noexcept
{
  free (p);
}

void
operator delete (void *p, std::align_val_t, const std::nothrow_t &) noexcept
{
  free (p);
}

void
operator delete[] (void *p, std::align_val_t, const std::nothrow_t &) noexcept
{
  free (p);
}
