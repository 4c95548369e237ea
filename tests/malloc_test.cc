// Out-of-memory handling and the global allocation operators.
#include "async/malloc.h"

#include "async/err.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

// clang declares the sized forms only under -fsized-deallocation.
void operator delete[] (void *, size_t) noexcept;

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

#ifdef UNDER_ASAN
// ASan would report an impossible request itself and stop; this makes its
// malloc return null as the system's does, so our own handling shows.  It
// still notes the failure on stderr before our message.
extern "C" const char *
__asan_default_options ()
{
  return "allocator_may_return_null=1";
}
#define ASAN_NOTE                                                              \
  "(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ "       \
  "bytes\n)?"
#else
#define ASAN_NOTE ""
#endif

namespace {

// Too large for any malloc; volatile keeps the compiler from reasoning
// about the request at build time.
volatile size_t huge = SIZE_MAX - 4096;
const char oom[] = "^" ASAN_NOTE "malloc failed\n$";
const auto abrt = testing::KilledBySignal (SIGABRT);

// Hides where a pointer came from, so the compiler neither drops an unused
// allocation nor objects to a block released by another allocator.
void *volatile sink;
void *
opaque (void *p)
{
  sink = p;
  return sink;
}

TEST (MallocDeathTest, OutOfMemoryWritesOneLineToErrfdAndAborts)
{
  EXPECT_EXIT (xmalloc (huge), abrt, oom);
  EXPECT_EXIT (xrealloc (xmalloc (16), huge), abrt, oom);
  EXPECT_EXIT (xmallocarray (huge / 2, 4), abrt, oom);
  EXPECT_EXIT (opaque (::operator new (huge)), abrt, oom);
  EXPECT_EXIT (opaque (::operator new[] (huge)), abrt, oom);
  EXPECT_EXIT (opaque (::operator new (huge, std::align_val_t (64))), abrt,
               oom);
  EXPECT_EXIT (opaque (::operator new[] (huge, std::align_val_t (64))), abrt,
               oom);
  EXPECT_EXIT (
      {
        errfd = open ("/dev/null", O_WRONLY);
        xmalloc (huge);
      },
      abrt, "^" ASAN_NOTE "$");
  EXPECT_EXIT (
      {
        errfd = dup (2);
        dup2 (open ("/dev/null", O_WRONLY), 2);
        xmalloc (huge);
      },
      abrt, oom);
}

void
exiting_handler (size_t size)
{
  char buf[64];
  int n = snprintf (buf, sizeof (buf), "handler %zu\n", size);
  ssize_t w = write (2, buf, n);
  (void) w;
  _exit (7);
}

void
returning_handler (size_t)
{
  ssize_t w = write (2, "handler\n", 8);
  (void) w;
}

TEST (MallocDeathTest, InstalledHandlerRunsThenTheDefault)
{
  std::string want = "^" ASAN_NOTE "handler " + std::to_string (huge) + "\n$";
  EXPECT_EXIT ((xmalloc_handler = exiting_handler, xmalloc (huge)),
               testing::ExitedWithCode (7), want);
  EXPECT_EXIT ((xmalloc_handler = exiting_handler, xrealloc (nullptr, huge)),
               testing::ExitedWithCode (7), want);
  EXPECT_EXIT (
      (xmalloc_handler = exiting_handler, opaque (::operator new (huge))),
      testing::ExitedWithCode (7), want);
  EXPECT_EXIT ((xmalloc_handler = returning_handler, xmalloc (huge)), abrt,
               "^" ASAN_NOTE "handler\nmalloc failed\n$");
  EXPECT_EXIT ((xmalloc_handler = nullptr, xmalloc (huge)), abrt, oom);
}

TEST (Malloc, EveryFormHandsOutMallocBlocks)
{
  // Each allocator's blocks released by another: only sound when every
  // form ends in malloc/free (ASan checks the pairing).
  free (xmalloc (0));
  char *b = static_cast<char *> (xmalloc (5));
  memcpy (b, "abcd", 5);
  b = static_cast<char *> (xrealloc (b, 100000));
  EXPECT_STREQ (b, "abcd");
  b = static_cast<char *> (xrealloc (b, 3));
  EXPECT_EQ (memcmp (b, "abc", 3), 0);
  ::operator delete (b);
  delete[] static_cast<char *> (xrealloc (nullptr, 10));
  free (opaque (new int (3)));
  free (opaque (new char[10]));
  free (opaque (::operator new (7, std::nothrow)));
  free (opaque (::operator new[] (7, std::nothrow)));
  free (xmallocarray (3, 5));
  ::operator delete (xmalloc (8), std::nothrow);
  ::operator delete[] (xmalloc (8), 8);

  for (const char *s : {"", "x", "malloc failed\n"}) {
    char *d = xstrdup (s);
    EXPECT_NE (d, s);
    EXPECT_STREQ (d, s);
    free (d);
  }
}

TEST (Malloc, NewOfZeroGivesDistinctBlocks)
{
  void *p = ::operator new (0), *q = ::operator new (0);
  void *r = ::operator new[] (0), *s = ::operator new (0, std::nothrow);
  ASSERT_TRUE (p && q && r && s);
  EXPECT_TRUE (p != q && p != r && q != r && s != p);
  *static_cast<char *> (opaque (p)) = 1; // one byte is really there
  ::operator delete (p);
  ::operator delete (q);
  ::operator delete[] (r);
  ::operator delete (s);
}

struct alignas (64) line {
  char c[64];
};

TEST (Malloc, NothrowMayFailAndAlignmentIsHonoured)
{
  EXPECT_EQ (::operator new (huge, std::nothrow), nullptr);
  EXPECT_EQ (::operator new[] (huge, std::nothrow), nullptr);
  EXPECT_EQ (::operator new (huge, std::align_val_t (64), std::nothrow),
             nullptr);

  line *one = new line, *many = new line[3];
  line *maybe = new (std::nothrow) line;
  void *zero = ::operator new (0, std::align_val_t (128));
  for (void *p : {(void *) one, (void *) many, (void *) maybe})
    EXPECT_EQ (reinterpret_cast<uintptr_t> (p) % 64, 0u);
  EXPECT_EQ (reinterpret_cast<uintptr_t> (zero) % 128, 0u);
  delete one;
  delete[] many;
  delete maybe;
  ::operator delete (zero, std::align_val_t (128));
}

} // namespace
