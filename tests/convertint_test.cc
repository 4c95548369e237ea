// strtoi64 and convertint<T>: the documented cases, overflow at both ends
// and a differential check against the C library's strtoll.
#include "async/convertint.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace {

struct parsecase {
  const char *s;
  int base;
  int64_t value;
  int end; // where *endptr should point, as an offset into s
};

const parsecase cases[] = {
    {"  -0x1A", 0, -26, 7},
    {"0xg", 0, 0, 0},
    {"0xg", 16, 0, 0},
    {" +0X", 0, 0, 0},
    {"012", 0, 10, 3},
    {"012", 10, 12, 3},
    {"019", 0, 1, 2}, // 9 is no octal digit
    {"0x1f", 10, 0, 1},
    {"0x1f", 16, 31, 4},
    {"zZ", 36, 36 * 35 + 35, 2},
    {"1012", 2, 5, 3},
    {"\t\n\v\f\r 7x", 0, 7, 7},
    // No digits: the end is the start, whatever was skipped.
    {"", 0, 0, 0},
    {"  -", 0, 0, 0},
    {"+-1", 0, 0, 0},
    {"- 1", 0, 0, 0},
    {"\xa0"
     "1",
     0, 0, 0},
    // A base that names no digits reads none.
    {"101", -1, 0, 0},
    {"101", 1, 0, 0},
    {"101", 37, 0, 0},
    {"101", INT_MIN, 0, 0},
    // Saturation: the limit is kept and the remaining digits consumed.
    {"9223372036854775807", 10, INT64_MAX, 19},
    {"9223372036854775808", 10, INT64_MAX, 19},
    {"-9223372036854775808", 10, INT64_MIN, 20},
    {"-9223372036854775809", 10, INT64_MIN, 20},
    {"92233720368547758070000x", 0, INT64_MAX, 23},
    {"-0x8000000000000000", 0, INT64_MIN, 19},
    {"0xffffffffffffffffff", 0, INT64_MAX, 20},
    {"-0777777777777777777777", 0, -INT64_MAX, 23},
    {"-01777777777777777777777", 0, INT64_MIN, 24},
    {"1y2p0ij32e8e8", 36, INT64_MAX, 13},
    {"1y2p0ij32e8e7", 36, INT64_MAX, 13},
    {"-1y2p0ij32e8e9", 36, INT64_MIN, 14},
};

TEST (Strtoi64, PrefixesBasesAndLimits)
{
  errno = 1234;
  for (const parsecase &c : cases) {
    char *end = nullptr;
    EXPECT_EQ (strtoi64 (c.s, &end, c.base), c.value)
        << '"' << c.s << "\" base " << c.base;
    EXPECT_EQ (end, c.s + c.end) << '"' << c.s << "\" base " << c.base;
  }
  EXPECT_EQ (errno, 1234);
  EXPECT_EQ (strtoi64 ("42", nullptr, 10), 42);
}

// What convertint leaves in a T: the value, "no" when it refused and left
// the target alone, "no but written" when it refused and wrote anyway.
template <class T>
std::string
conv (const char *s)
{
  T v = 77;
  if (!convertint (s, &v))
    return v == 77 ? "no" : "no but written";
  return std::to_string (v);
}

TEST (Convertint, WholeStringOnlyKeepingTheLowOrderBits)
{
  EXPECT_EQ (conv<int> ("42"), "42");
  EXPECT_EQ (conv<int> (" 42"), "42");
  EXPECT_EQ (conv<int> ("0x10"), "16");
  EXPECT_EQ (conv<int> ("-010"), "-8");
  EXPECT_EQ (conv<int> ("0"), "0");
  for (const char *s : {"42 ", "", "abc", "-", " ", "0x", "08", "4 2", "42\n"})
    EXPECT_EQ (conv<int> (s), "no") << '"' << s << '"';

  EXPECT_EQ (conv<u_int16_t> ("65536"), "0");
  EXPECT_EQ (conv<u_int16_t> ("-1"), "65535");
  EXPECT_EQ (conv<u_int16_t> ("8080"), "8080");
  EXPECT_EQ (conv<u_int16_t> ("8080x"), "no");
  EXPECT_EQ (conv<int> ("4294967297"), "1");
  EXPECT_EQ (conv<int> ("0x80000000"), std::to_string (INT_MIN));
  EXPECT_EQ (conv<int8_t> ("300"), "44");
  EXPECT_EQ (conv<uint64_t> ("-1"), std::to_string (UINT64_MAX));
  EXPECT_EQ (conv<uint64_t> ("99999999999999999999"),
             std::to_string (INT64_MAX));
  EXPECT_EQ (conv<long> ("-2147483649"),
             std::to_string (long (int64_t (-2147483649LL))));
}

// Random strings over an alphabet of blanks, signs, prefixes, digits and
// letters in and out of the usual bases, compared with strtoll.  The two
// differ by design in one place: after "0x" with no hex digit, strtoll
// reads the 0, strtoi64 reads nothing.
bool
bare_hex_prefix (const std::string &s, int base)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *> (s.c_str ());
  while (isspace (*p))
    p++;
  if (*p == '+' || *p == '-')
    p++;
  return (base == 0 || base == 16) && p[0] == '0' &&
         (p[1] == 'x' || p[1] == 'X') && !isxdigit (p[2]);
}

TEST (Strtoi64, AgreesWithStrtoll)
{
  static const char alpha[] = " \t\n+-0000111789aAfFgGzZxX.\xa0\xff";
  std::mt19937 rng (12345);
  const int bases[] = {0, 2, 8, 10, 16, 36};
  int compared = 0;
  for (int iter = 0; iter < 200000; iter++) {
    std::string s;
    size_t len = rng () % 28;
    bool digitrun = rng () % 4 == 0; // long digit runs reach the limits
    for (size_t k = 0; k < len; k++)
      s += digitrun && k > 2 ? "0123456789abcdef"[rng () % 16]
                             : alpha[rng () % (sizeof (alpha) - 1)];
    int base = iter % 8 < 6 ? bases[iter % 6] : int (2 + rng () % 35);
    if (bare_hex_prefix (s, base))
      continue;
    char *e1, *e2;
    int64_t ours = strtoi64 (s.c_str (), &e1, base);
    long long theirs = strtoll (s.c_str (), &e2, base);
    ASSERT_EQ (ours, theirs) << '"' << s << "\" base " << base;
    ASSERT_EQ (e1, e2) << '"' << s << "\" base " << base;
    compared++;
  }
  EXPECT_GT (compared, 150000);
}

} // namespace
