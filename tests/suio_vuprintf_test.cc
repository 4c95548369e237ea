// suio_vuprintf: a generated grid against the C library's snprintf, the
// places where the formatter differs on purpose, and what it references.
#include "async/suio_vuprintf.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Formats are built at run time or differ from printf on purpose.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace {

std::string
contents (const suio &u)
{
  char *p = suio_flatten (&u);
  std::string s (p, u.resid ());
  free (p);
  return s;
}

template <class... A>
std::string
ours (const char *fmt, A... a)
{
  suio u;
  suio_uprintf (&u, fmt, a...);
  EXPECT_STREQ (nullptr, u.check ());
  return contents (u);
}

template <class... A>
std::string
theirs (const char *fmt, A... a)
{
  char buf[512];
  int n = snprintf (buf, sizeof (buf), fmt, a...);
  EXPECT_LT (n, int (sizeof (buf)));
  return std::string (buf, n);
}

// Mismatches are collected so one failure shows them all.
struct grid {
  std::vector<std::string> bad;
  int checked = 0;
  template <class... A>
  void both (const std::string &fmt, A... a)
  {
    std::string o = ours (fmt.c_str (), a...), t = theirs (fmt.c_str (), a...);
    checked++;
    if (o != t && bad.size () < 40)
      bad.push_back (fmt + ": ours \"" + o + "\" libc \"" + t + "\"");
  }
  ~grid ()
  {
    std::string all;
    for (auto &b : bad)
      all += b + "\n";
    EXPECT_TRUE (bad.empty ()) << checked << " formats, mismatches:\n" << all;
  }
};

// Every subset of the flags, in a fixed order.
std::vector<std::string>
flagsets (const std::string &flags)
{
  std::vector<std::string> v;
  for (unsigned m = 0; m < 1u << flags.size (); m++) {
    std::string f;
    for (size_t i = 0; i < flags.size (); i++)
      if (m & 1u << i)
        f += flags[i];
    v.push_back (f);
  }
  return v;
}

const char *const widths[] = {"", "1", "6", "23"};
const char *const precs[] = {"", ".", ".0", ".1", ".4", ".17"};

// One size letter over its values, for every flag/width/precision.
template <class T>
void
intgrid (grid &g, const char *size, const std::vector<T> &vals,
         const char *convs)
{
  for (const char *c = convs; *c; c++)
    for (auto &f : flagsets (*c == 'd' || *c == 'i' ? "-+ 0" : "-# 0+"))
      for (const char *w : widths)
        for (const char *p : precs) {
          // C leaves "%#.0o" of 0 to the implementation's own reading:
          // that case is asserted on its own below.
          for (T v : vals) {
            bool zero = *size == 'h' ? !(unsigned short) v : !v;
            if (*c == 'o' && zero && f.find ('#') != f.npos &&
                (!strcmp (p, ".") || !strcmp (p, ".0")))
              continue;
            g.both (std::string ("%") + f + w + p + size + *c, v);
          }
        }
}

TEST (SuioVuprintf, IntegersMatchSnprintf)
{
  grid g;
  intgrid<int> (
      g, "", {0, 1, -1, 7, 42, -42, 255, 65535, INT_MAX, INT_MIN, 0x1234abcd},
      "diuoxX");
  intgrid<int> (g, "h", {0, 1, -1, 32767, 32768, 65535, 70000, INT_MIN},
                "diuoxX");
  intgrid<long> (g, "l", {0L, -1L, LONG_MAX, LONG_MIN, 123456789L}, "diuoxX");
  intgrid<long long> (g, "ll", {0LL, -1LL, LLONG_MAX, LLONG_MIN, 1LL << 32},
                      "diuoxX");
  intgrid<unsigned long long> (g, "q", {0ULL, ULLONG_MAX, 9999999999ULL},
                               "diuoxX");
}

TEST (SuioVuprintf, StarWidthsAndPrecisionsMatchSnprintf)
{
  grid g;
  for (int w : {0, 1, 7, -7, -1, 30})
    for (int p : {-5, -1, 0, 1, 4, 12})
      for (auto &f : flagsets ("-+0 "))
        for (int v : {0, 5, -123, INT_MIN}) {
          g.both ("%" + f + "*d|", w, v);
          g.both ("%" + f + ".*d|", p, v);
          g.both ("%" + f + "*.*x|", w, p, v);
          if (f.find ('0') == f.npos) // zeros: see DeliberateDifferences
            g.both ("%" + f + "*.*s|", w, p, "hello");
        }
}

TEST (SuioVuprintf, CharsStringsAndPercentMatchSnprintf)
{
  grid g;
  for (auto &f : flagsets ("-+ "))
    for (const char *w : widths)
      for (const char *p : precs) {
        for (int c : {int ('a'), int ('Z'), 200, int (' ')})
          g.both (std::string ("%") + f + w + "c", c);
        for (const char *s : {"", "a", "hello", "a longer string, still short"})
          g.both (std::string ("<%") + f + w + p + "s>", s);
      }
  g.both ("100%% sure");
  g.both ("%%%d%%", 5);
  g.both ("\x80\xff literal \xc3\xa9 bytes %d \xfe", 1);
  // Mixed widths in one call: each argument read as its promoted type.
  g.both ("%hd|%lld|%ld|%c|%s|%qd|%hu|%d|%lu", 70000, -5LL, LONG_MIN, 'x',
          "str", LLONG_MAX, 65535, -9, ULONG_MAX);
  g.both ("%p", reinterpret_cast<void *> (uintptr_t (0xdeadbeef)));
  g.both ("%20p|%-20p|", static_cast<void *> (&g), static_cast<void *> (&g));
}

TEST (SuioVuprintf, EdgeCasesOfTheFormatter)
{
  EXPECT_EQ ("   42", ours ("%5d", 42));
  EXPECT_EQ ("42   |", ours ("%-5d|", 42));
  EXPECT_EQ ("-0042", ours ("%05d", -42));
  EXPECT_EQ ("007", ours ("%.3d", 7));
  EXPECT_EQ ("", ours ("%.0d", 0));
  EXPECT_EQ ("     007", ours ("%08.3d", 7));
  EXPECT_EQ ("0xff", ours ("%#x", 255));
  EXPECT_EQ ("0", ours ("%#x", 0));
  EXPECT_EQ ("010", ours ("%#o", 8));
  EXPECT_EQ ("he", ours ("%.2s", "hello"));
  EXPECT_EQ ("%", ours ("%%"));
  EXPECT_EQ ("-1", ours ("%hd", 65535));
  EXPECT_EQ ("65535", ours ("%hu", 65535));
  EXPECT_EQ ("-9223372036854775808|9223372036854775807",
             ours ("%lld|%qd", LLONG_MIN, LLONG_MAX));
  char dots[3] = {'a', 0, 'b'};
  EXPECT_EQ ("a|", ours ("%.3s|", dots)); // stops at the zero byte
}

// Where the formatter differs from snprintf on purpose.
TEST (SuioVuprintf, DeliberateDifferences)
{
  // D, O and U are ld, lo and lu.
  EXPECT_EQ (theirs ("%ld|%lo|%lu", LONG_MIN, 8L, ULONG_MAX),
             ours ("%D|%O|%U", LONG_MIN, 8L, ULONG_MAX));
  // Unknown letters print themselves, padded, and take no argument.
  EXPECT_EQ ("f|   y|z  |7", ours ("%f|%4y|%-3z|%d", 7));
  EXPECT_EQ ("    %", ours ("%5%"));
  // A lone % at the end, or one ending in flags, ends the output.
  EXPECT_EQ ("abc", ours ("abc%"));
  EXPECT_EQ ("abc", ours ("abc%-08"));
  // %p always has the prefix, also for null.
  EXPECT_EQ ("0x0", ours ("%p", static_cast<void *> (nullptr)));
  // %#.0o of 0: no digits, like every other zero at precision 0.
  EXPECT_EQ ("", ours ("%#.0o", 0));
  EXPECT_EQ ("0", ours ("%#o", 0));
  // The 0 flag pads strings and characters with zeros.
  EXPECT_EQ ("000ab|0000x", ours ("%05s|%05c", "ab", 'x'));
  // %m: the error text, with precision and width.
  errno = ENOENT;
  EXPECT_EQ (std::string ("<") + strerror (ENOENT) + ">", ours ("<%m>"));
  errno = EACCES;
  EXPECT_EQ ("[Permi]", ours ("[%.5m]"));
  errno = EBADF;
  EXPECT_EQ (std::string (30 - strlen (strerror (EBADF)), ' ') +
                 strerror (EBADF),
             ours ("%30m"));
  // The errno of the call, not of whatever formatting did before %m.
  errno = EPIPE;
  std::string big (20000, 'b');
  EXPECT_EQ (big + strerror (EPIPE), ours ("%s%m", big.c_str ()));
  // Signs never apply to unsigned, character or string conversions.
  EXPECT_EQ ("5|a|s|%|y", ours ("%+u|%+c|% s|%+%|%+y", 5, 'a', "s"));
}

#ifdef __x86_64__
TEST (SuioVuprintf, LongIs64BitsHere)
{
  EXPECT_EQ ("-9223372036854775808", ours ("%ld", LONG_MIN));
  EXPECT_EQ ("ffffffffffffffff", ours ("%lx", ULONG_MAX));
  EXPECT_EQ ("0x123456789abc",
             ours ("%p", reinterpret_cast<void *> (0x123456789abcULL)));
}
#else
TEST (SuioVuprintf, LongIs32BitsHere)
{
  EXPECT_EQ ("-2147483648", ours ("%ld", LONG_MIN));
  EXPECT_EQ ("ffffffff", ours ("%lx", ULONG_MAX));
  EXPECT_EQ ("0xfedcba98", ours ("%p", reinterpret_cast<void *> (0xfedcba98u)));
}
#endif

bool
references (const suio &u, const void *p)
{
  for (const iovec *v = u.iov (); v < u.iovlim (); v++)
    if (v->iov_base == p)
      return true;
  return false;
}

TEST (SuioVuprintf, LongTextIsReferencedShortTextCopied)
{
  std::string s200 (200, 's'), s128 (128, 't'), s129 (129, 'u');
  suio u;
  suio_uprintf (&u, "[%s]", s200.c_str ());
  EXPECT_TRUE (references (u, s200.c_str ()));
  suio_uprintf (&u, "[%#s]", s200.c_str ());
  suio_uprintf (&u, "[%s]", s128.c_str ());
  suio_uprintf (&u, "[%s]", s129.c_str ());
  EXPECT_TRUE (references (u, s129.c_str ()));
  EXPECT_EQ ("[" + s200 + "][" + s200 + "][" + s128 + "][" + s129 + "]",
             contents (u));
  // Changing the arguments afterwards shows which bytes were copied.
  s200.assign (200, 'S');
  s128.assign (128, 'T');
  s129.assign (129, 'U');
  EXPECT_EQ ("[" + s200 + "][" + std::string (200, 's') + "][" +
                 std::string (128, 't') + "][" + s129 + "]",
             contents (u));
  // A precision cuts a referenced text too.
  suio v;
  suio_uprintf (&v, "%.150s", s200.c_str ());
  EXPECT_TRUE (references (v, s200.c_str ()));
  EXPECT_EQ (std::string (150, 'S'), contents (v));
}

TEST (SuioVuprintf, LongLiteralRunsAreReferenced)
{
  std::string lit (300, 'L');
  std::string fmt = lit + "%d" + std::string (10, 'l');
  suio u;
  suio_uprintf (&u, fmt.c_str (), 5);
  EXPECT_TRUE (references (u, fmt.c_str ()));
  EXPECT_FALSE (references (u, fmt.c_str () + 302)); // short run copied
  EXPECT_EQ (lit + "5" + std::string (10, 'l'), contents (u));
}

TEST (SuioVuprintf, HugePaddingGoesThroughTheBuffer)
{
  suio u;
  suio_uprintf (&u, "%20000d|%-20000s|", 1, "x");
  std::string s = contents (u);
  EXPECT_EQ (std::string (19999, ' ') + "1|x" + std::string (19999, ' ') + "|",
             s);
  EXPECT_STREQ (nullptr, u.check ());
}

void
printnull ()
{
  suio u;
  const char *volatile p = nullptr;
  suio_uprintf (&u, "%s", p);
}

TEST (SuioVuprintfDeathTest, NullStringPanics)
{
  EXPECT_DEATH (printnull (), "^PANIC: .*\nsuio_vuprintf:  NULL pointer\n$");
}

} // namespace
