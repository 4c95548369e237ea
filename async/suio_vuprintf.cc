#include "suio_vuprintf.h"
#include "err_internal.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

enum : unsigned {
  ALT = 1,       // #
  HEXPREFIX = 2, // 0x / 0X before the digits
  LADJUST = 4,   // pad on the right
  LONGINT = 8,   // l, D, O, U
  QUADINT = 16,  // ll, q
  SHORTINT = 32, // h
  ZEROPAD = 64,  // 0 as a flag
  MAYREF = 128,  // the text may be queued by reference
};

enum base_t { OCT, DEC, HEX };

// One conversion as read from the format.
struct conv {
  unsigned flags = 0;
  int width = 0;
  int prec = -1; // -1: none
  char sign = 0; // 0, ' ', '+' or '-'
};

// Every variadic argument is read as its promoted type; narrower sizes
// are cut down afterwards.
int64_t
sarg (unsigned flags, va_list *ap)
{
  if (flags & QUADINT)
    return va_arg (*ap, long long);
  if (flags & LONGINT)
    return va_arg (*ap, long);
  int v = va_arg (*ap, int);
  return flags & SHORTINT ? short (v) : v;
}

uint64_t
uarg (unsigned flags, va_list *ap)
{
  if (flags & QUADINT)
    return va_arg (*ap, unsigned long long);
  if (flags & LONGINT)
    return va_arg (*ap, unsigned long);
  unsigned v = va_arg (*ap, unsigned);
  return flags & SHORTINT ? (unsigned short) (v) : v;
}

// Digits of a width or precision, saturating at INT_MAX.
int
readnum (const char *&fmt)
{
  int n = 0;
  for (; *fmt >= '0' && *fmt <= '9'; fmt++) {
    int d = *fmt - '0';
    n = n > (INT_MAX - d) / 10 ? INT_MAX : n * 10 + d;
  }
  return n;
}

// Reads flags, width, precision and size; returns the conversion letter
// (0 at the end of the format) with fmt just past it.
char
readspec (const char *&fmt, conv &c, va_list *ap)
{
  for (;;) {
    char ch = *fmt++;
    if (ch >= '1' && ch <= '9') {
      fmt--;
      c.width = readnum (fmt);
      continue;
    }
    switch (ch) {
    case ' ':
      if (!c.sign)
        c.sign = ' ';
      break;
    case '+':
      c.sign = '+';
      break;
    case '#':
      c.flags |= ALT;
      break;
    case '-':
      c.flags |= LADJUST;
      break;
    case '0':
      c.flags |= ZEROPAD;
      break;
    case '*': {
      int w = va_arg (*ap, int);
      if (w < 0) {
        c.flags |= LADJUST;
        w = w == INT_MIN ? INT_MAX : -w;
      }
      c.width = w;
      break;
    }
    case '.':
      if (*fmt == '*') {
        fmt++;
        int p = va_arg (*ap, int);
        c.prec = p < -1 ? -1 : p;
      } else
        c.prec = readnum (fmt);
      break;
    case 'h':
      c.flags |= SHORTINT;
      break;
    case 'l':
      if (c.flags & LONGINT)
        c.flags = (c.flags & ~LONGINT) | QUADINT;
      else
        c.flags |= LONGINT;
      break;
    case 'q':
      c.flags |= QUADINT;
      break;
    default:
      if (!ch)
        fmt--;
      return ch;
    }
  }
}

// Digits of u, written backwards ending at end; returns the first.
char *
digits (uint64_t u, base_t base, unsigned flags, bool upper, char *end)
{
  char *cp = end;
  switch (base) {
  case DEC:
    // 32-bit division where the value allows: 64-bit division is a
    // library call on i386.
    for (; u > UINT32_MAX; u /= 10)
      *--cp = '0' + u % 10;
    for (uint32_t x = u; x || cp == end; x /= 10)
      *--cp = '0' + x % 10;
    break;
  case OCT:
    do
      *--cp = '0' + (u & 7);
    while (u >>= 3);
    if (flags & ALT && *cp != '0')
      *--cp = '0';
    break;
  case HEX: {
    const char *xdigs = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do
      *--cp = xdigs[u & 15];
    while (u >>= 4);
    break;
  }
  }
  return cp;
}

// Queues one converted piece with its sign or prefix and padding.
void
emit (suio *uio, const conv &c, char letter, const char *text, size_t size,
      size_t dprec)
{
  size_t realsz = size > dprec ? size : dprec;
  if (c.sign)
    realsz++;
  else if (c.flags & HEXPREFIX)
    realsz += 2;
  size_t pad = size_t (c.width) > realsz ? c.width - realsz : 0;
  if (!(c.flags & (LADJUST | ZEROPAD)) && pad)
    uio->fill (' ', pad);
  if (c.sign)
    uio->fill (c.sign, 1);
  else if (c.flags & HEXPREFIX) {
    const char ox[2] = {'0', letter};
    uio->copy (ox, 2);
  }
  if ((c.flags & (LADJUST | ZEROPAD)) == ZEROPAD && pad)
    uio->fill ('0', pad);
  if (dprec > size)
    uio->fill ('0', dprec - size);
  if (c.flags & MAYREF)
    uio->print (text, size);
  else
    uio->copy (text, size);
  if (c.flags & LADJUST && pad)
    uio->fill (' ', pad);
}

size_t
textlen (const char *s, int prec)
{
  if (!s)
    panic ("suio_vuprintf:  NULL pointer\n");
  return prec < 0 ? strlen (s) : strnlen (s, prec);
}

// An integer conversion of u in base; emits it.
void
number (suio *uio, conv &c, char letter, uint64_t u, base_t base)
{
  char buf[40];
  char *end = buf + sizeof (buf);
  size_t dprec = c.prec < 0 ? 0 : c.prec;
  if (c.prec >= 0)
    c.flags &= ~ZEROPAD;
  char *cp = end;
  if (u || c.prec)
    cp = digits (u, base, c.flags, letter == 'X', end);
  emit (uio, c, letter, cp, end - cp, dprec);
}

} // namespace

void
suio_vuprintf (suio *uio, const char *fmt, va_list ap0)
{
  // %m means the error of the caller's last failing call: keep it from
  // whatever allocation happens while formatting.
  int err = errno;
  va_list ap;
  va_copy (ap, ap0);
  for (;;) {
    const char *e = strchrnul (fmt, '%');
    if (e > fmt)
      uio->print (fmt, e - fmt);
    if (!*e)
      break;
    fmt = e + 1;
    conv c;
    char ch = readspec (fmt, c, &ap);
    switch (ch) {
    case 0:
      va_end (ap);
      return;
    case 'D':
    case 'O':
    case 'U':
      c.flags |= LONGINT;
      ch += 'a' - 'A';
      break;
    case 'p':
      c.flags |= HEXPREFIX;
      break;
    }
    switch (ch) {
    case 'd':
    case 'i': {
      int64_t v = sarg (c.flags, &ap);
      if (v < 0)
        c.sign = '-';
      number (uio, c, ch, v < 0 ? -uint64_t (v) : v, DEC);
      break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      c.sign = 0;
      uint64_t u = uarg (c.flags, &ap);
      if (c.flags & ALT && u && (ch == 'x' || ch == 'X'))
        c.flags |= HEXPREFIX;
      number (uio, c, ch, u, ch == 'u' ? DEC : ch == 'o' ? OCT : HEX);
      break;
    }
    case 'p':
      c.sign = 0;
      number (uio, c, 'x', uintptr_t (va_arg (ap, void *)), HEX);
      break;
    case 's': {
      c.sign = 0;
      const char *s = va_arg (ap, const char *);
      if (!(c.flags & ALT))
        c.flags |= MAYREF;
      emit (uio, c, ch, s, textlen (s, c.prec), 0);
      break;
    }
    case 'm': {
      // Always copied: strerror may build the text in a buffer that its
      // next call overwrites.
      c.sign = 0;
      const char *s = strerror (err);
      emit (uio, c, ch, s, textlen (s, c.prec), 0);
      break;
    }
    case 'c': {
      c.sign = 0;
      char b = va_arg (ap, int);
      emit (uio, c, ch, &b, 1, 0);
      break;
    }
    default:
      c.sign = 0;
      emit (uio, c, ch, &ch, 1, 0);
      break;
    }
  }
  va_end (ap);
}

void
suio_uprintf (suio *uio, const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  suio_vuprintf (uio, fmt, ap);
  va_end (ap);
}
