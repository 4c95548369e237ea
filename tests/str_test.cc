// Strings: null and empty, comparison results, mstr hand-over, builders
// against a std::string model (bytes, pins and their release positions),
// line cutting over every split of the ranges, bssstr at exit, and the
// standard assertions.

#include "async/str.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string
bytes (const str &s)
{
  return std::string (s.cstr (), s.len ());
}

// The queued bytes, walked range by range.
std::string
queued (const suio *u)
{
  std::string r;
  for (const iovec *v = u->iov (); v < u->iovlim (); v++)
    r.append (static_cast<const char *> (v->iov_base), v->iov_len);
  return r;
}

uint32_t
refs (const str &s)
{
  return s.obj ()->refcnt;
}

int
sign (long v)
{
  return (v > 0) - (v < 0);
}

std::string
randbytes (std::mt19937 &rng, size_t n, bool zeros)
{
  static const char alpha[] = "ab\r\n\x80\xff";
  std::string r (n, 'x');
  for (char &c : r) {
    unsigned k = rng () % 16;
    c = k < 6 ? alpha[k] : char ('c' + k);
    if (zeros && k == 15)
      c = '\0';
  }
  return r;
}

} // namespace

TEST (Str, NullEmptyAndConstruction)
{
  str n;
  EXPECT_FALSE (n);
  EXPECT_EQ (n.cstr (), nullptr);
  EXPECT_EQ (cstr (n), nullptr);
  EXPECT_EQ (cstrp (&n), nullptr);
  EXPECT_EQ (cstrp (nullptr), nullptr);
  EXPECT_FALSE (str (static_cast<const char *> (nullptr)));

  str e ("");
  ASSERT_TRUE (e);
  EXPECT_EQ (e.len (), 0u);
  EXPECT_STREQ (e.cstr (), "");
  EXPECT_NE (e, n);
  EXPECT_EQ (n, str ());
  EXPECT_EQ (str (static_cast<const char *> (nullptr), 0), e);

  // Embedded zero bytes are kept, and a zero byte follows the last one.
  str z ("a\0b\0", 4);
  ASSERT_EQ (z.len (), 4u);
  EXPECT_EQ (bytes (z), std::string ("a\0b\0", 4));
  EXPECT_EQ (z[1], '\0');
  EXPECT_EQ (z[2u], 'b');
  EXPECT_EQ (z[size_t (2)], 'b');
  EXPECT_EQ (z[long (0)], 'a');
  EXPECT_EQ (z.cstr ()[4], '\0');

  // Copies share one block; a string owns its own copy of the source.
  char src[] = "hello";
  str h (src);
  src[0] = 'j';
  EXPECT_EQ (h, "hello");
  EXPECT_EQ (refs (h), 1u);
  {
    str c = h;
    str d;
    d = c;
    EXPECT_EQ (c.obj (), h.obj ());
    EXPECT_EQ (refs (h), 3u);
    d = d;
    EXPECT_EQ (refs (h), 3u);
    str m = static_cast<str &&> (d);
    EXPECT_FALSE (d);
    EXPECT_EQ (refs (h), 3u);
  }
  EXPECT_EQ (refs (h), 1u);
  h = static_cast<const char *> (nullptr);
  EXPECT_FALSE (h);
  h.setbuf ("xyz", 2);
  EXPECT_EQ (bytes (h), "xy");

  // Ranges, empty ones among them, in order.
  iovec v[] = {{nullptr, 0},
               {const_cast<char *> ("ab"), 2},
               {const_cast<char *> ("\0c"), 2},
               {const_cast<char *> ("zz"), 0}};
  EXPECT_EQ (bytes (str (v, 4)), std::string ("ab\0c", 4));
  EXPECT_TRUE (str (v, 0));
  EXPECT_EQ (str (v, 0).len (), 0u);
  h.setiov (v + 1, 1);
  EXPECT_EQ (h, "ab");
  strobj *o = iov2strobj (v, 4);
  EXPECT_EQ (o->refcnt, 0u);
  strobjptr keep = o;
  EXPECT_EQ (o->len, 4u);
}

TEST (Str, CmpResults)
{
  EXPECT_EQ (str ("abc").cmp ("abc"), 0);
  EXPECT_EQ (str ("abd").cmp ("abc"), 1);
  EXPECT_EQ (str ("ab").cmp ("abc"), -'c');
  EXPECT_EQ (str ("ab\0c", 4).cmp ("ab"), 2);
  EXPECT_EQ (str ("ab\0", 3).cmp ("ab"), 1);
  EXPECT_EQ (str ("ab\0c", 4).cmp ("abx"), -'x');
  EXPECT_EQ (str ("").cmp (""), 0);
  EXPECT_EQ (str ("\xff").cmp ("a"), 0xff - 'a') << "bytes are unsigned";
  EXPECT_EQ (str ("a").cmp ("\x80"), 'a' - 0x80);
  EXPECT_TRUE (str ("abc") == "abc");
  EXPECT_TRUE ("abc" == str ("abc"));
  EXPECT_TRUE (str ("ab\0c", 4) != "ab");
  EXPECT_TRUE (str () == static_cast<const char *> (nullptr));
  EXPECT_FALSE (str () == "");
  EXPECT_FALSE (str ("") == static_cast<const char *> (nullptr));

  // Between two strings: bytes as unsigned, then length; null first.
  EXPECT_LT (str ().cmp (str ("")), 0);
  EXPECT_EQ (str ().cmp (str ()), 0);
  EXPECT_GT (str ("").cmp (str ()), 0);
  EXPECT_LT (str ("ab"), str ("ab\0", 3));
  EXPECT_GT (str ("\x80"), str ("\x7f"));
}

// Signs against std::string, whose comparison is also unsigned bytes then
// length, over strings with zero bytes and high bytes.
TEST (Str, CmpAgainstStdString)
{
  std::mt19937 rng (7);
  for (int i = 0; i < 20000; i++) {
    std::string a = randbytes (rng, rng () % 6, true);
    std::string b = randbytes (rng, rng () % 6, true);
    if (rng () % 4 == 0)
      b = a.substr (0, rng () % (a.size () + 1));
    str sa (a.data (), a.size ()), sb (b.data (), b.size ());
    int want = sign (a.compare (b));
    ASSERT_EQ (sign (sa.cmp (sb)), want) << i;
    ASSERT_EQ (sa == sb, want == 0);
    ASSERT_EQ (sa < sb, want < 0);
    ASSERT_EQ (sa >= sb, want >= 0);
    // Against the NUL-terminated text of b: std::string's order too.
    std::string bc (b.c_str ());
    ASSERT_EQ (sign (sa.cmp (bc.c_str ())), sign (a.compare (bc))) << i;
    ASSERT_EQ (sa == bc.c_str (), a == bc);
  }
}

TEST (StrDeath, ImpossibleLengthsRunOutOfMemory)
{
  const char *msg = "^malloc failed\n$";
  auto abrt = testing::KilledBySignal (SIGABRT);
  volatile size_t huge = SIZE_MAX;
  EXPECT_EXIT (str ("x", huge), abrt, msg);
  EXPECT_EXIT (mstr m (huge), abrt, msg);
  EXPECT_EXIT (strobj::alloc (huge - sizeof (strobj) + 1), abrt, msg);
  char c = 'c';
  iovec v[] = {{&c, 1}, {&c, huge / 2}, {&c, huge / 2 + 1}};
  EXPECT_EXIT (str (v, 3), abrt, msg);
}

TEST (Mstr, HandOverWithoutCopy)
{
  mstr m (6);
  EXPECT_EQ (m.len (), 6u);
  char *p = m;
  memcpy (p, "ab\0cd\r", 6);
  m.setlen (5);
  m.setlen (5);
  str s (m);
  EXPECT_EQ (s.cstr (), p);
  EXPECT_EQ (refs (s), 1u);
  EXPECT_EQ (bytes (s), std::string ("ab\0cd", 5));
  EXPECT_EQ (s.cstr ()[5], '\0');
  EXPECT_EQ (m.cstr (), nullptr);

  mstr e (3);
  e.setlen (0);
  str t = "old";
  t = e;
  EXPECT_TRUE (t);
  EXPECT_EQ (t.len (), 0u);
  EXPECT_STREQ (t.cstr (), "");
}

TEST (MstrDeath, SetlenPastLength)
{
  EXPECT_DEATH (
      {
        mstr m (4);
        m.setlen (5);
      },
      "str\\.h:[0-9]+: .*n <= b->len");
  EXPECT_DEATH (
      {
        mstr m (4);
        m.setlen (2);
        m.setlen (3);
      },
      "n <= b->len");
}

// The buffer side of strings: what is copied, what is referenced and for
// how long a referenced string stays pinned.
TEST (SuioPrint, CopyUpTo128ReferenceAbove)
{
  suio u;
  str s128 (std::string (128, 'a').c_str ());
  suio_print (&u, s128);
  EXPECT_EQ (refs (s128), 1u);
  ASSERT_EQ (u.iovcnt (), 1u);
  EXPECT_NE (u.iov ()[0].iov_base, s128.cstr ());

  str s129 (std::string (129, 'b').c_str ());
  const char *p = s129.cstr ();
  suio_print (&u, s129);
  EXPECT_EQ (refs (s129), 2u);
  ASSERT_EQ (u.iovcnt (), 2u);
  EXPECT_EQ (u.iov ()[1].iov_base, p);

  // Dropping the string leaves its bytes queued and valid.
  strobj *o = s129.obj ();
  s129 = str ();
  EXPECT_EQ (o->refcnt, 1u);
  u.copy ("c", 1);
  EXPECT_EQ (queued (&u),
             std::string (128, 'a') + std::string (129, 'b') + "c");

  // Pinned until its last byte goes, not one byte earlier.
  str keep (p, 129);
  u.rembytes (128 + 128);
  EXPECT_EQ (o->refcnt, 1u);
  str again (std::string (200, 'd').c_str ());
  suio_print (&u, again);
  EXPECT_EQ (refs (again), 2u);
  u.rembytes (1);
  EXPECT_EQ (u.resid (), 201u);
  // o is freed now; its bytes are no longer queued.
  EXPECT_EQ (queued (&u), "c" + std::string (200, 'd'));
  EXPECT_EQ (refs (again), 2u);
  u.rembytes (200);
  EXPECT_EQ (refs (again), 2u) << "due only after everything before it";
  u.rembytes (1);
  EXPECT_EQ (refs (again), 1u);

  // Into an empty buffer, then consumed at once.
  suio_print (&u, again);
  EXPECT_EQ (refs (again), 2u);
  u.rembytes (200);
  EXPECT_EQ (refs (again), 1u);

  // A buffer that goes away releases what it still pins.
  {
    suio w;
    suio_print (&w, again);
    suio_print (&w, again);
    EXPECT_EQ (refs (again), 3u);
  }
  EXPECT_EQ (refs (again), 1u);
}

TEST (Strbuf, SharedBufferAndOperators)
{
  strbuf a;
  strbuf b = a;
  EXPECT_EQ (a.tosuio (), b.tosuio ());
  a << "one ";
  b << str ("two ");
  a.fmt ("%d%s", 3, " ").cat ("four ", true).buf ("five\0six", 8);
  EXPECT_EQ (bytes (str (b)), std::string ("one two 3 four five\0six", 23));
  EXPECT_EQ (a.iovcnt (), 1u) << "small pieces coalesce";
  EXPECT_EQ (a.iov (), a.tosuio ()->iov ());

  // Flattening leaves the buffer as it was.
  size_t resid = a.tosuio ()->resid ();
  str f1 = a;
  str f2 (*b.tosuio ());
  EXPECT_EQ (f1, f2);
  EXPECT_NE (f1.obj (), f2.obj ());
  EXPECT_EQ (a.tosuio ()->resid (), resid);

  str s ("head");
  str joined = s << "+tail";
  EXPECT_EQ (joined, "head+tail");
  str chained = s << ":" << s << "/" << str ("x");
  EXPECT_EQ (chained, "head:head/x");
  EXPECT_EQ (str (strbuf ("%s=%u", "n", 7u)), "n=7");
  EXPECT_EQ (str (strbuf (s)), "head");
  EXPECT_EQ (str (strbuf ()), "");
  EXPECT_TRUE (str (strbuf ()));

  ref<suio> u = new refcounted<suio>;
  u->copy ("pre", 3);
  strbuf w (u);
  w << "-post";
  EXPECT_EQ (queued (u), "pre-post");
  EXPECT_EQ (str (*u), "pre-post");
}

TEST (Strbuf, CatCopiesOrReferences)
{
  std::string longtext (300, 'L');
  strbuf sb;
  sb.cat (longtext.c_str (), false);
  ASSERT_EQ (sb.iovcnt (), 1u);
  EXPECT_EQ (sb.iov ()[0].iov_base, longtext.c_str ());
  sb.cat (longtext.c_str (), true);
  sb << longtext.c_str ();
  sb.cat ("short", false);
  for (int i = 1; i < (int) sb.iovcnt (); i++)
    EXPECT_NE (sb.iov ()[i].iov_base, longtext.c_str ());
  longtext[0] = 'X'; // only the first piece follows
  std::string want = longtext + std::string (600, 'L') + "short";
  EXPECT_EQ (bytes (str (sb)), want);

  // A va_list passes through.
  auto viaap = [] (const strbuf &b, const char *fmt, ...) {
    va_list ap;
    va_start (ap, fmt);
    b.vfmt (fmt, ap);
    va_end (ap);
  };
  strbuf v;
  viaap (v, "%s-%d-%c", "x", -5, 'z');
  EXPECT_EQ (str (v), "x--5-z");
}

// Random appends through several copies of one builder, consumption from
// the front and line cutting, against a std::string.  Every long string
// printed is pinned until the stream position where its bytes end has
// been consumed: its count is checked after every step.
namespace {

struct pin {
  str s;                      // our own reference
  std::vector<uint64_t> ends; // where each print of it ends in the stream
};

struct buildmodel {
  std::string bytes;     // what the buffer holds
  uint64_t appended = 0; // stream position of the end
  uint64_t removed = 0;  // stream position of the front
  std::vector<pin> pins; // long strings printed, with their end positions
  std::deque<std::string> kept; // texts queued by reference

  void add (const std::string &b)
  {
    bytes += b;
    appended += b.size ();
  }
  void consume (size_t n)
  {
    bytes.erase (0, n);
    removed += n;
  }
};

void
check (const strbuf &sb, const buildmodel &m)
{
  const suio *u = sb.tosuio ();
  const char *bad = u->check ();
  ASSERT_EQ (bad, nullptr) << bad;
  ASSERT_EQ (u->resid (), m.bytes.size ());
  ASSERT_EQ (u->byteno (), m.removed);
  ASSERT_EQ (queued (u), m.bytes);
  for (const pin &p : m.pins) {
    uint32_t want = 1;
    for (uint64_t e : p.ends)
      want += e > m.removed;
    ASSERT_EQ (refs (p.s), want) << "pin at " << p.ends.back ();
  }
}

void
buildstep (std::mt19937 &rng, std::list<strbuf> &copies, buildmodel &m)
{
  const strbuf &sb = *std::next (copies.begin (), rng () % copies.size ());
  size_t shortlen = rng () % 129;
  size_t longlen = 129 + rng () % 3000;
  switch (rng () % 11) {
  case 0: { // short or long C string, always copied
    std::string t = randbytes (rng, rng () % 2 ? shortlen : longlen, false);
    std::string orig = t;
    sb << t.c_str ();
    t.assign (t.size (), '?');
    m.add (orig);
    break;
  }
  case 1: { // a short str, dropped at once
    std::string t = randbytes (rng, shortlen, true);
    sb << str (t.data (), t.size ());
    m.add (t);
    break;
  }
  case 2:
  case 3: { // a long str, reused or new, our reference kept
    if (m.pins.empty () || rng () % 2) {
      std::string t = randbytes (rng, longlen, true);
      m.pins.push_back (pin{str (t.data (), t.size ()), {}});
    }
    pin &p = m.pins[rng () % m.pins.size ()];
    sb << p.s;
    m.add (bytes (p.s));
    p.ends.push_back (m.appended);
    break;
  }
  case 4: { // formatted, with a short and a long %s
    const std::string &arg =
        m.kept.emplace_back (randbytes (rng, longlen, false));
    int d = int (rng ());
    unsigned x = rng ();
    sb.fmt ("[%d|%5.3s|%#x|%s]", d, "abcdef", x, arg.c_str ());
    char want[64];
    snprintf (want, sizeof (want), "[%d|%5.3s|%#x|", d, "abcdef", x);
    m.add (want + arg + "]");
    break;
  }
  case 5: { // by the print rule: long ones stay where they are
    const std::string &t = m.kept.emplace_back (
        randbytes (rng, rng () % 2 ? shortlen : longlen, false));
    sb.cat (t.c_str (), false);
    m.add (t);
    break;
  }
  case 6: { // raw bytes, zeros included
    std::string t = randbytes (rng, rng () % 2 ? shortlen : longlen, true);
    sb.buf (t.data (), t.size ());
    m.add (t);
    break;
  }
  case 7:
    if (copies.size () < 4)
      copies.push_back (sb);
    else
      copies.erase (std::next (copies.begin (), rng () % 3 + 1));
    break;
  case 8: { // consume part of the front
    size_t n = m.bytes.empty () ? 0 : rng () % (m.bytes.size () + 1);
    if (rng () % 4 == 0)
      n = m.bytes.size ();
    sb.tosuio ()->rembytes (n);
    m.consume (n);
    break;
  }
  case 9: { // flatten: the buffer stays as it is
    str f = sb;
    ASSERT_EQ (f.len (), m.bytes.size ());
    ASSERT_EQ (bytes (f), m.bytes);
    ASSERT_EQ (f.cstr ()[f.len ()], '\0');
    break;
  }
  case 10: { // cut a line
    str line = suio_getline (sb.tosuio ());
    size_t nl = m.bytes.find ('\n');
    if (nl == std::string::npos) {
      ASSERT_FALSE (line);
      break;
    }
    std::string want = m.bytes.substr (0, nl);
    if (!want.empty () && want.back () == '\r')
      want.pop_back ();
    ASSERT_TRUE (line);
    ASSERT_EQ (bytes (line), want);
    m.consume (nl + 1);
    break;
  }
  }
}

} // namespace

TEST (Strbuf, BuildAgainstStdString)
{
  std::mt19937 rng (2024);
  for (int round = 0; round < 60; round++) {
    buildmodel m;
    {
      std::list<strbuf> copies (1);
      for (int step = 0; step < 150; step++) {
        buildstep (rng, copies, m);
        check (copies.front (), m);
        if (HasFatalFailure ())
          return;
      }
      ASSERT_EQ (bytes (str (copies.back ())), m.bytes);
    }
    // The last copy is gone: every pin is released.
    for (const pin &p : m.pins)
      EXPECT_EQ (refs (p.s), 1u);
  }
}

// Lines over buffers whose ranges are split at every pair of offsets.
TEST (SuioGetline, EverySplit)
{
  static const char raw[] = "GET / HTTP/1.0\r\nHost: a\rb\r\n\n\r\nab\0c\nnext";
  const std::string text (raw, sizeof (raw) - 1);
  const std::vector<std::string> lines = {"GET / HTTP/1.0", "Host: a\rb", "",
                                          "", std::string ("ab\0c", 4)};
  const size_t n = text.size ();
  for (size_t i = 0; i <= n; i++)
    for (size_t j = i; j <= n; j++) {
      // Three separate blocks, so the ranges never coalesce.
      std::string a = text.substr (0, i), b = text.substr (i, j - i),
                  c = text.substr (j);
      suio u;
      u.pushiov (a.data (), a.size ());
      u.breakiov ();
      u.pushiov (b.data (), b.size ());
      u.breakiov ();
      u.pushiov (c.data (), c.size ());
      size_t pos = 0;
      for (const std::string &want : lines) {
        str got = suio_getline (&u);
        ASSERT_TRUE (got) << i << "," << j;
        ASSERT_EQ (bytes (got), want) << i << "," << j;
        pos = text.find ('\n', pos) + 1;
        ASSERT_EQ (u.byteno (), pos);
      }
      EXPECT_FALSE (suio_getline (&u));
      EXPECT_FALSE (suio_getline (&u));
      EXPECT_EQ (queued (&u), "next");
    }
}

TEST (SuioGetline, EdgeCases)
{
  suio u;
  u.copy ("\n", 1);
  str e = suio_getline (&u);
  EXPECT_TRUE (e);
  EXPECT_EQ (e.len (), 0u);
  EXPECT_EQ (u.resid (), 0u);
  u.copy ("\r\n", 2);
  e = suio_getline (&u);
  EXPECT_TRUE (e && e.len () == 0 && u.resid () == 0);
  u.copy ("\r", 1);
  EXPECT_FALSE (suio_getline (&u));
  EXPECT_EQ (u.resid (), 1u);
  EXPECT_FALSE (suio_getline (&u)) << "empty buffer";
  u.rembytes (1);
  EXPECT_FALSE (suio_getline (&u));

  // A request line, then the start of the next one.
  u.copy ("GET http://h/ HTTP/1.0\r\nHo", 26);
  EXPECT_EQ (suio_getline (&u), "GET http://h/ HTTP/1.0");
  EXPECT_FALSE (suio_getline (&u));
  EXPECT_EQ (queued (&u), "Ho");

  // Consuming a line releases a string printed into it.
  suio w;
  str big ((std::string (150, 'x') + "\n").c_str ());
  suio_print (&w, big);
  EXPECT_EQ (refs (big), 2u);
  EXPECT_EQ (suio_getline (&w), std::string (150, 'x').c_str ());
  EXPECT_EQ (refs (big), 1u);
}

// bssstr: statics of this unit go after every library unit's, so global
// destruction has begun when they are destroyed.
namespace {

struct lateprint {
  const char *text = nullptr;
  ~lateprint ()
  {
    if (text) {
      ssize_t w = write (2, text, strlen (text));
      (void) w;
    }
  }
} late;
bssstr bsstext;

} // namespace

TEST (BssstrDeath, TextOutlivesExit)
{
  EXPECT_EXIT (
      {
        bsstext = (str ("still ") << "here\n");
        late.text = bsstext.cstr ();
        exit (0);
      },
      testing::ExitedWithCode (0), "^still here\n$");
}

TEST (BssstrDeath, DestroyedOutsideGlobalDestruction)
{
  const char *text = "str\\.h:[0-9]+: .*globaldestruction";
  EXPECT_DEATH (
      {
        static bssstr b;
        b = "x";
        b.~bssstr ();
      },
      text);
  EXPECT_DEATH (
      {
        bssstr *b = new bssstr;
        delete b;
      },
      text);
}
