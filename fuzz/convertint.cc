// strtoi64 and convertint<T> against the C library's strtoll.
//
// Input: one byte choosing the base (byte % 40 - 1, so -1, 1, 37 and 38
// are bases that read nothing), then the text, up to its first zero byte.
// strtoi64 must give strtoll's value and end, leave errno alone, and
// differ only where it does on purpose: after "0x" with no hex digit it
// reads nothing (strtoll reads the 0), and a base outside 0 and 2-36
// reads nothing (strtoll fails with EINVAL).  convertint<T> must accept
// exactly the texts strtoll reads to their end and store the value's low
// bits, leaving its target alone otherwise.
#include "async/convertint.h"
#include "fuzz/fuzz.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <string>

namespace {

bool
bare_hex_prefix (const char *s, int base)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *> (s);
  while (isspace (*p))
    p++;
  if (*p == '+' || *p == '-')
    p++;
  return (base == 0 || base == 16) && p[0] == '0' &&
         (p[1] == 'x' || p[1] == 'X') && !isxdigit (p[2]);
}

template <class T>
void
checkconvert (const char *s, const char *what)
{
  char *end;
  long long v = strtoll (s, &end, 0);
  bool ok = *s && end != s && !*end;
  const T sentinel = T (0x5a);
  T got = sentinel;
  bool r = convertint (s, &got);
  FUZZ_CHECK (r == ok, "convertint<%s> (%s) returned %d", what,
              fuzzquote (s).c_str (), r);
  T want = ok ? static_cast<T> (static_cast<uint64_t> (v)) : sentinel;
  FUZZ_CHECK (got == want,
              "convertint<%s> (%s) stored %" PRId64 " instead of %" PRId64,
              what, fuzzquote (s).c_str (), int64_t (got), int64_t (want));
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  int base = in.byte () % 40 - 1;
  std::string text = in.bytes (size);
  const char *s = text.c_str (); // the text up to its first zero byte
  std::string q = fuzzquote (s);

  errno = 0;
  char *end = nullptr;
  int64_t ours = strtoi64 (s, &end, base);
  FUZZ_CHECK (errno == 0, "strtoi64 (%s, %d) set errno %d", q.c_str (), base,
              errno);
  FUZZ_CHECK (strtoi64 (s, nullptr, base) == ours,
              "strtoi64 (%s, %d) differs without endptr", q.c_str (), base);
  if (base < 0 || base == 1 || base > 36 || bare_hex_prefix (s, base)) {
    FUZZ_CHECK (ours == 0 && end == s,
                "strtoi64 (%s, %d) = %" PRId64 ", end at %td: wanted nothing",
                q.c_str (), base, ours, end - s);
  } else {
    char *tend;
    long long theirs = strtoll (s, &tend, base);
    FUZZ_CHECK (ours == theirs && end == tend,
                "strtoi64 (%s, %d) = %" PRId64 " end %td, strtoll %lld end %td",
                q.c_str (), base, ours, end - s, theirs, tend - s);
  }

  checkconvert<int> (s, "int");
  checkconvert<u_int16_t> (s, "u_int16_t");
  checkconvert<int8_t> (s, "int8_t");
  checkconvert<uint64_t> (s, "uint64_t");
  checkconvert<long> (s, "long");
  return 0;
}
