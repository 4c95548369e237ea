#include "str.h"
#include "malloc.h"
#include "suio_vuprintf.h"

#include <climits>
#include <cstring>
#include <new>

void (*const strobj_opdel) (void *) =
    static_cast<void (*) (void *)> (::operator delete);

// Sizes past the address space fail as allocations do.
strobj *
strobj::alloc (size_t n)
{
  if (n > SIZE_MAX - sizeof (strobj))
    xmalloc_failed (SIZE_MAX);
  strobj *b = static_cast<strobj *> (::operator new (sizeof (strobj) + n));
  b->refcnt = 0;
  b->len = n - 1;
  b->delfn = strobj_opdel;
  return b;
}

// A block for len bytes and the zero byte.
static strobj *
blockfor (size_t len)
{
  if (len == SIZE_MAX)
    xmalloc_failed (SIZE_MAX);
  return strobj::alloc (len + 1);
}

// A block holding a copy of len bytes at p, the zero byte written.
static strobj *
newblock (const char *p, size_t len)
{
  strobj *b = blockfor (len);
  if (len)
    memcpy (b->dat (), p, len);
  b->dat ()[len] = '\0';
  return b;
}

strobj *
iov2strobj (const iovec *iov, size_t cnt)
{
  size_t l = 0;
  for (size_t i = 0; i < cnt; i++) {
    if (l + iov[i].iov_len < l)
      xmalloc_failed (SIZE_MAX);
    l += iov[i].iov_len;
  }
  strobj *b = blockfor (l);
  char *p = b->dat ();
  for (size_t i = 0; i < cnt; i++)
    if (iov[i].iov_len) {
      memcpy (p, iov[i].iov_base, iov[i].iov_len);
      p += iov[i].iov_len;
    }
  stdassert (p == b->dat () + l);
  *p = '\0';
  return b;
}

str::str (const char *p)
{
  if (p)
    b = newblock (p, strlen (p));
}

str::str (const char *p, size_t n) : b (newblock (p, n)) {}

str::str (const strbuf &sb) : str (*sb.tosuio ()) {}

str::str (mstr &m) : b (static_cast<strobjptr &&> (m.b))
{
  b->dat ()[b->len] = '\0';
}

str &
str::operator= (mstr &m)
{
  b = static_cast<strobjptr &&> (m.b);
  b->dat ()[b->len] = '\0';
  return *this;
}

int
str::cmp (const char *s) const
{
  const unsigned char *a = reinterpret_cast<const unsigned char *> (cstr ());
  const unsigned char *c = reinterpret_cast<const unsigned char *> (s);
  // The zero byte at len stops the walk at the latest there.
  size_t i = 0;
  for (; a[i] == c[i]; i++)
    if (!a[i]) {
      size_t rest = len () - i;
      return rest > INT_MAX ? INT_MAX : int (rest);
    }
  return int (a[i]) - int (c[i]);
}

int
str::cmp (const str &s) const
{
  if (!b || !s.b)
    return (b ? 1 : 0) - (s.b ? 1 : 0);
  size_t n = len () < s.len () ? len () : s.len ();
  if (int r = memcmp (cstr (), s.cstr (), n))
    return r;
  return len () < s.len () ? -1 : len () > s.len () ? 1 : 0;
}

bool
operator== (const str &a, const str &b)
{
  if (!a || !b)
    return !a && !b;
  return a.len () == b.len () && !memcmp (a.cstr (), b.cstr (), a.len ());
}

bool
operator== (const str &a, const char *b)
{
  if (!a || !b)
    return !a && !b;
  return !a.cmp (b);
}

mstr::mstr (size_t n) : b (blockfor (n)) {}

strbuf::strbuf () : uio (new refcounted<suio>) {}

strbuf::strbuf (const str &s) : uio (new refcounted<suio>)
{
  suio_print (uio, s);
}

strbuf::strbuf (const char *fmt, ...) : uio (new refcounted<suio>)
{
  va_list ap;
  va_start (ap, fmt);
  suio_vuprintf (uio, fmt, ap);
  va_end (ap);
}

const strbuf &
strbuf::fmt (const char *fmt, ...) const
{
  va_list ap;
  va_start (ap, fmt);
  suio_vuprintf (uio, fmt, ap);
  va_end (ap);
  return *this;
}

const strbuf &
strbuf::vfmt (const char *fmt, va_list ap) const
{
  suio_vuprintf (uio, fmt, ap);
  return *this;
}

void
suio_print (suio *uio, const str &s)
{
  size_t n = s.len ();
  if (n <= suio::defbufsize) {
    uio->copy (s.cstr (), n);
    return;
  }
  uio->print (s.cstr (), n);
  // One unowned reference, dropped once the buffer has consumed the bytes.
  strobj *o = s.obj ();
  o->refcnt++;
  uio->iovcb (wrap (strobjptr::Xplug, static_cast<void *> (o)));
}

void
strbuf_cat (const strbuf &b, const char *p, bool copy)
{
  size_t n = strlen (p);
  if (copy)
    b.tosuio ()->copy (p, n);
  else
    b.tosuio ()->print (p, n);
}

strbuf
operator<< (const str &s, const char *p)
{
  strbuf sb (s);
  strbuf_cat (sb, p, true);
  return sb;
}

str
suio_getline (suio *uio)
{
  size_t n = uio->linelen ();
  if (!n)
    return str ();
  mstr m (n - 1);
  uio->copyout (m.cstr (), n - 1);
  uio->rembytes (n);
  if (n > 1 && m.cstr ()[n - 2] == '\r')
    m.setlen (n - 2);
  return str (m);
}
