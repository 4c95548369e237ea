#include "armor.h"

#include "malloc.h"

#include <cstdint>

namespace {

// The inverse of an alphabet, built by the compiler.
struct invtab {
  signed char t[256];
  constexpr invtab (const char *alpha) : t ()
  {
    for (int i = 0; i < 256; i++)
      t[i] = -1;
    for (int i = 0; alpha[i]; i++)
      t[static_cast<u_char> (alpha[i])] = static_cast<signed char> (i);
  }
};

constexpr char alpha32[] = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr char alpha64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char alpha64A[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
constexpr invtab inv32 (alpha32);
constexpr invtab inv64 (alpha64);
constexpr invtab inv64A (alpha64A);

static_assert (sizeof (alpha32) == 33 && sizeof (alpha64) == 65 &&
                   sizeof (alpha64A) == 65,
               "alphabets of 32 and 64 characters");
static_assert (inv32.t[u_char ('l')] < 0 && inv32.t[u_char ('o')] < 0 &&
                   inv32.t[u_char ('0')] < 0 && inv32.t[u_char ('1')] < 0 &&
                   inv32.t[u_char ('A')] < 0 && inv32.t[u_char ('9')] == 31,
               "base-32 leaves out the look-alike characters");
static_assert (inv64.t[u_char ('/')] == 63 && inv64.t[u_char ('-')] < 0 &&
                   inv64A.t[u_char ('-')] == 63 && inv64A.t[u_char ('/')] < 0 &&
                   inv64.t[u_char ('=')] < 0 && inv64A.t[0] < 0,
               "the two base-64 alphabets differ in value 63 only");

// Values of a 5-byte group: eight 5-bit values, the first the highest.
inline uint64_t
be40 (const u_char *p)
{
  return uint64_t (p[0]) << 32 | uint64_t (p[1]) << 24 | uint64_t (p[2]) << 16 |
         uint64_t (p[3]) << 8 | p[4];
}

inline void
put32 (char *d, uint64_t v, int n)
{
  for (int i = 0; i < n; i++)
    d[i] = b2a32[(v >> (35 - 5 * i)) & 31];
}

// A character's value as the decoders combine it: an unsigned int whose
// low bits match those of the signed value (-1 for a character outside the
// alphabet) under every shift they apply, without shifting a negative.
inline u_int
val (const signed char *a2b, u_char c)
{
  return static_cast<u_int> (static_cast<int> (a2b[c]));
}

// Five bytes from eight base-32 values.
inline void
get32 (u_char *d, const u_int *c)
{
  d[0] = u_char (c[0] << 3 | c[1] >> 2);
  d[1] = u_char (c[1] << 6 | c[2] << 1 | c[3] >> 4);
  d[2] = u_char (c[3] << 4 | c[4] >> 1);
  d[3] = u_char (c[4] << 7 | c[5] << 2 | c[6] >> 3);
  d[4] = u_char (c[6] << 5 | c[7]);
}

} // namespace

const char b2a32[33] = "abcdefghijkmnpqrstuvwxyz23456789";
const signed char (&a2b32)[256] = inv32.t;
const int b2a32rem[5] = {0, 2, 4, 5, 7};
const int a2b32rem[8] = {0, -1, 1, -1, 2, 3, -1, 4};
const char b2a64[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const signed char (&a2b64)[256] = inv64.t;
const char b2a64A[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";
const signed char (&a2b64A)[256] = inv64A.t;

str
armor32 (const void *dp, size_t dl)
{
  size_t groups = dl / 5, tail = dl % 5;
  if (groups > (SIZE_MAX - 7) / 8)
    xmalloc_failed (SIZE_MAX);
  mstr res (groups * 8 + b2a32rem[tail]);
  const u_char *p = static_cast<const u_char *> (dp);
  char *d = res;
  for (const u_char *e = p + groups * 5; p < e; p += 5, d += 8)
    put32 (d, be40 (p), 8);
  if (tail) {
    u_char last[5] = {0, 0, 0, 0, 0};
    for (size_t i = 0; i < tail; i++)
      last[i] = p[i];
    put32 (d, be40 (last), b2a32rem[tail]);
    d += b2a32rem[tail];
  }
  stdassert (d == res + res.len ());
  return res;
}

size_t
armor32len (const u_char *s)
{
  const u_char *p = s;
  while (a2b32[*p] >= 0)
    p++;
  return p - s;
}

str
dearmor32 (const char *s, ssize_t len)
{
  if (len < 0)
    len = armor32len (reinterpret_cast<const u_char *> (s));
  int rem = a2b32rem[len % 8];
  if (rem < 0)
    return str ();
  if (len == 0)
    return str ("", 0);
  size_t groups = len / 8, tail = len % 8;
  mstr bin (groups * 5 + rem);
  const u_char *p = reinterpret_cast<const u_char *> (s);
  u_char *d = reinterpret_cast<u_char *> (bin.cstr ());
  u_int c[8];
  for (const u_char *e = p + groups * 8; p < e; p += 8, d += 5) {
    for (int i = 0; i < 8; i++)
      c[i] = val (a2b32, p[i]);
    get32 (d, c);
  }
  if (tail) {
    // Only characters inside the text reach the bytes written.
    u_char last[5];
    for (size_t i = 0; i < 8; i++)
      c[i] = i < tail ? val (a2b32, p[i]) : 0;
    get32 (last, c);
    for (int i = 0; i < rem; i++)
      *d++ = last[i];
  }
  stdassert (d == reinterpret_cast<u_char *> (bin + bin.len ()));
  return bin;
}

str
_armor64 (const char *b2a, bool endpad, const void *dp, size_t len)
{
  size_t groups = len / 3, tail = len % 3;
  if (groups + (tail != 0) > SIZE_MAX / 4 - 1)
    xmalloc_failed (SIZE_MAX);
  mstr res ((groups + (tail != 0)) * 4);
  const u_char *p = static_cast<const u_char *> (dp);
  char *d = res;
  for (const u_char *e = p + groups * 3; p < e; p += 3, d += 4) {
    u_int v = u_int (p[0]) << 16 | u_int (p[1]) << 8 | p[2];
    d[0] = b2a[v >> 18];
    d[1] = b2a[(v >> 12) & 63];
    d[2] = b2a[(v >> 6) & 63];
    d[3] = b2a[v & 63];
  }
  if (tail) {
    u_int b1 = tail > 1 ? p[1] : 0;
    d[0] = b2a[p[0] >> 2];
    d[1] = b2a[(p[0] & 3) << 4 | b1 >> 4];
    d[2] = tail > 1 ? b2a[(b1 & 15) << 2] : '=';
    d[3] = '=';
    d += 4;
  }
  stdassert (d == res + res.len ());
  if (!endpad && tail)
    res.setlen (res.len () - (3 - tail));
  return res;
}

str
armor64 (const void *s, size_t len)
{
  return _armor64 (b2a64, true, s, len);
}

str
armor64A (const void *s, size_t len)
{
  return _armor64 (b2a64A, false, s, len);
}

size_t
armor64len (const u_char *s)
{
  const u_char *p = s;
  while (a2b64[*p] >= 0)
    p++;
  if (*p == '=' && *++p == '=')
    p++;
  return p - s;
}

size_t
armor64Alen (const u_char *s)
{
  const u_char *p = s;
  while (a2b64A[*p] >= 0)
    p++;
  return p - s;
}

str
_dearmor64 (const signed char *a2b, const u_char *s, size_t len)
{
  if (len == 0)
    return str ("", 0);
  mstr bin (len - len / 4);
  u_char *d = reinterpret_cast<u_char *> (bin.cstr ());
  // Every group but the last, whose 1 to 4 characters are tested.
  const u_char *p = s, *e = s + (len - 1) / 4 * 4;
  for (; p < e; p += 4, d += 3) {
    u_int c0 = val (a2b, p[0]), c1 = val (a2b, p[1]);
    u_int c2 = val (a2b, p[2]), c3 = val (a2b, p[3]);
    d[0] = u_char (c0 << 2 | c1 >> 4);
    d[1] = u_char (c1 << 4 | c2 >> 2);
    d[2] = u_char (c2 << 6 | c3);
  }
  size_t k = s + len - p;
  // A lone last character carries 6 bits: not a whole byte.
  if (k >= 2) {
    u_int c0 = val (a2b, p[0]), c1 = val (a2b, p[1]);
    *d++ = u_char (c0 << 2 | c1 >> 4);
    int c2 = k > 2 ? a2b[p[2]] : -1;
    if (c2 >= 0) {
      *d++ = u_char (c1 << 4 | u_int (c2) >> 2);
      int c3 = k > 3 ? a2b[p[3]] : -1;
      if (c3 >= 0)
        *d++ = u_char (u_int (c2) << 6 | u_int (c3));
    }
  }
  bin.setlen (d - reinterpret_cast<u_char *> (bin.cstr ()));
  return bin;
}

str
dearmor64 (const char *s, ssize_t len)
{
  const u_char *p = reinterpret_cast<const u_char *> (s);
  if (len < 0)
    len = armor64len (p);
  if (len % 4)
    return str ();
  return _dearmor64 (a2b64, p, len);
}

str
dearmor64A (const char *s, ssize_t len)
{
  const u_char *p = reinterpret_cast<const u_char *> (s);
  if (len < 0)
    len = armor64Alen (p);
  return _dearmor64 (a2b64A, p, len);
}
