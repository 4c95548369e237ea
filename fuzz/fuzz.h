// Shared by the fuzz harnesses in this folder.
//
// Each harness is fuzz/<target>.cc defining LLVMFuzzerTestOneInput, with
// its seeds and regression inputs in fuzz/corpus/<target>/.  fuzzin turns
// the fuzzer's bytes into choices: it reads from the front, and once the
// input is used up every read returns zeros, so a harness never needs to
// check lengths (it loops while more () holds).  fuzzin only points into
// the input, which libFuzzer keeps alive for the call.
//
// FUZZ_CHECK (cond, fmt, ...) reports a broken expectation with its
// position and context on stderr and aborts, which libFuzzer records as a
// crash and the replay program (replay.cc) as a failed test.
#ifndef OMBRIX_FUZZ_FUZZ_H
#define OMBRIX_FUZZ_FUZZ_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *data, size_t size);

class fuzzin {
  const uint8_t *p;
  const uint8_t *e;

public:
  fuzzin (const uint8_t *data, size_t size) : p (data), e (data + size) {}

  bool more () const { return p < e; }
  size_t left () const { return e - p; }
  uint8_t byte () { return p < e ? *p++ : 0; }
  // Little-endian.  Each part is read in its own statement: the operands
  // of | are unsequenced, and compilers differ in which they read first.
  uint16_t u16 ()
  {
    uint16_t lo = byte ();
    return lo | uint16_t (byte ()) << 8;
  }
  uint32_t u32 ()
  {
    uint32_t lo = u16 ();
    return lo | uint32_t (u16 ()) << 16;
  }
  uint64_t u64 ()
  {
    uint64_t lo = u32 ();
    return lo | uint64_t (u32 ()) << 32;
  }
  // A value in [0, n), n > 0: one byte for small ranges, else four.
  size_t below (size_t n) { return (n <= 256 ? byte () : u32 ()) % n; }
  // Up to n bytes, fewer when the input runs out.
  std::string bytes (size_t n)
  {
    size_t k = n < left () ? n : left ();
    std::string s (reinterpret_cast<const char *> (p), k);
    p += k;
    return s;
  }
};

[[noreturn]] inline void fuzzfail (const char *pos, const char *cond,
                                   const char *fmt, ...)
    __attribute__ ((format (printf, 3, 4)));

inline void
fuzzfail (const char *pos, const char *cond, const char *fmt, ...)
{
  fprintf (stderr, "%s: check failed: %s\n", pos, cond);
  va_list ap;
  va_start (ap, fmt);
  vfprintf (stderr, fmt, ap);
  va_end (ap);
  fputc ('\n', stderr);
  abort ();
}

#define FUZZ_STR1(x) #x
#define FUZZ_STR(x) FUZZ_STR1 (x)
#define FUZZ_CHECK(cond, ...)                                                  \
  ((cond) ? (void) 0                                                           \
          : fuzzfail (__FILE__ ":" FUZZ_STR (__LINE__), #cond, __VA_ARGS__))

// s in double quotes, every byte outside printable ASCII as \xNN: for
// reports.
inline std::string
fuzzquote (const std::string &s)
{
  std::string q = "\"";
  for (unsigned char c : s) {
    char b[8];
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
      snprintf (b, sizeof (b), "\\x%02x", c);
    else
      b[0] = c, b[1] = 0;
    q += b;
  }
  return q + "\"";
}

#endif
