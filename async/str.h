// Strings: str (immutable, counted), mstr (writable, handed over to a str),
// strbuf (a builder over a shared suio) and the glue between strings and
// buffers (suio_print, strbuf_cat, suio_getline).
//
// A str holds one strobj: a single heap block with the count, the length,
// the function that frees it and the bytes followed by a zero byte (the
// bytes may contain zeros too).  Copies share the block, which is freed
// when the last str, strobjptr or Xleak reference to it goes; cstr () stays
// valid while any of them holds the block.  A null str has no block: it
// tests false and its cstr () is a null pointer; len, [] and cmp need a
// non-null str.  A strbuf appends into a counted suio that all its copies
// share.  Pieces of at most 128 bytes are copied into it; a longer str is
// referenced and kept alive by the buffer until its bytes are consumed; a
// longer char * appended without copying (cat (p, false)) must be kept
// alive by the caller.  Misuse (setlen past the length, a bssstr destroyed
// before exit) is the standard assertion.  Not thread-safe.
#ifndef OMBRIX_ASYNC_STR_H
#define OMBRIX_ASYNC_STR_H

#include "async/refcnt.h"
#include "async/suio.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

// Frees a strobj: the program's operator delete.
extern void (*const strobj_opdel) (void *);

// Header and bytes in one block: dat () is the first byte after the header.
struct strobj {
  uint32_t refcnt;        // str, strobjptr and Xleak references
  size_t len;             // bytes, not counting the zero byte after them
  void (*delfn) (void *); // called with the block when refcnt drops to 0

  // A block for n bytes including the zero byte (len = n - 1, count 0).
  // Nothing is written into the bytes.
  static strobj *alloc (size_t n);
  char *dat () { return reinterpret_cast<char *> (this + 1); }
  const char *dat () const { return reinterpret_cast<const char *> (this + 1); }
};
static_assert (sizeof (strobj) % alignof (strobj) == 0,
               "the bytes follow the header directly");

// A counted pointer to a strobj; may be null.
class strobjptr {
  strobj *p;

  static void rinc (strobj *b)
  {
    if (b)
      b->refcnt++;
  }
  static void rdec (strobj *b)
  {
    if (b && !--b->refcnt)
      b->delfn (b);
  }

public:
  strobjptr () : p (nullptr) {}
  strobjptr (strobj *b) : p (b) { rinc (p); }
  strobjptr (const strobjptr &o) : p (o.p) { rinc (p); }
  strobjptr (strobjptr &&o) noexcept : p (o.p) { o.p = nullptr; }
  // Leaves the word as zero-filled static storage holds it.
  explicit strobjptr (__bss_init) {}
  ~strobjptr () { rdec (p); }

  // The new block is taken before the old one is dropped, so assigning a
  // pointer to the block itself is safe.
  strobjptr &operator= (strobj *b)
  {
    rinc (b);
    strobj *o = p;
    p = b;
    rdec (o);
    return *this;
  }
  strobjptr &operator= (const strobjptr &o) { return *this = o.p; }
  strobjptr &operator= (strobjptr &&o) noexcept
  {
    strobj *old = p;
    p = o.p;
    o.p = nullptr;
    rdec (old);
    return *this;
  }

  strobj *get () const { return p; }
  operator strobj * () const { return p; }
  strobj *operator->() const { return p; }

  // One reference no strobjptr owns, as an untyped pointer (null for
  // null); Xplug drops one such reference (nothing for null).
  void *Xleak () const
  {
    rinc (p);
    return p;
  }
  static void Xplug (void *b) { rdec (static_cast<strobj *> (b)); }
};
static_assert (sizeof (strobjptr) == sizeof (void *), "one word");

// All bytes of cnt ranges in a new block (count 0) with the zero byte.
strobj *iov2strobj (const iovec *iov, size_t cnt);

class mstr;
class strbuf;

class str {
protected:
  strobjptr b; // null for the null string

public:
  str () {}
  str (const str &s) : b (s.b) {}
  str (str &&s) noexcept : b (static_cast<strobjptr &&> (s.b)) {}
  str (const char *p); // null for a null p
  str (const char *p, size_t n);
  str (const iovec *iov, size_t cnt) : b (iov2strobj (iov, cnt)) {}
  str (const suio &uio) : str (uio.iov (), uio.iovcnt ()) {}
  str (const strbuf &sb);
  str (mstr &m); // takes m's block; m becomes null
  explicit str (__bss_init) : b (__bss_init ()) {}

  str &operator= (const str &s)
  {
    b = s.b;
    return *this;
  }
  str &operator= (str &&s) noexcept
  {
    b = static_cast<strobjptr &&> (s.b);
    return *this;
  }
  str &operator= (const char *p) { return *this = str (p); }
  str &operator= (mstr &m);
  str &setbuf (const char *p, size_t n) { return *this = str (p, n); }
  str &setiov (const iovec *iov, size_t cnt) { return *this = str (iov, cnt); }

  size_t len () const { return b->len; }
  const char *cstr () const { return b ? b->dat () : nullptr; }
  operator const char * () const { return cstr (); }
  // The index type of the built-in [] that the const char * conversion
  // offers, so that this one wins for an index of any integer type.
  char operator[] (ptrdiff_t i) const { return b->dat ()[i]; }
  // The block, for code that pins it or looks at its count.
  strobj *obj () const { return b; }

  // Against a NUL-terminated s: the difference of the first differing
  // bytes (as unsigned chars), else len () - i where both hold a zero
  // byte at i (0 when the whole string matched).
  int cmp (const char *s) const;
  // Bytes compared as unsigned chars, then the shorter string first; a
  // null string sorts before every other.  Negative, zero or positive.
  int cmp (const str &s) const;
};

// Null when s is null.
inline const char *
cstr (const str &s)
{
  return s.cstr ();
}
inline const char *
cstrp (const str *s)
{
  return s ? s->cstr () : nullptr;
}

// Equality is also defined for null strings: a null string equals only
// another null one (or a null pointer).
bool operator== (const str &a, const str &b);
bool operator== (const str &a, const char *b);
inline bool
operator== (const char *a, const str &b)
{
  return b == a;
}
inline bool
operator!= (const str &a, const str &b)
{
  return !(a == b);
}
inline bool
operator!= (const str &a, const char *b)
{
  return !(a == b);
}
inline bool
operator!= (const char *a, const str &b)
{
  return !(b == a);
}
inline bool
operator<(const str &a, const str &b)
{
  return a.cmp (b) < 0;
}
inline bool
operator<= (const str &a, const str &b)
{
  return a.cmp (b) <= 0;
}
inline bool
operator> (const str &a, const str &b)
{
  return a.cmp (b) > 0;
}
inline bool
operator>= (const str &a, const str &b)
{
  return a.cmp (b) >= 0;
}

// A str in static storage whose text outlives every destructor: at exit
// it keeps one reference it never drops.  Destroying one before global
// destruction (a stack or heap instance) fails the standard assertion.
class bssstr : public str {
public:
  bssstr () {}
  bssstr (const bssstr &) = delete;
  ~bssstr ()
  {
    if (!__globaldestruction_t::started)
      stdassert_fail ("globaldestruction", __FILE__, __LINE__,
                      __PRETTY_FUNCTION__);
    b.Xleak ();
  }
  using str::operator=;
};

// A writable block of a fixed length that becomes a str without copying.
// The bytes start uninitialised; converting to a str writes the zero byte
// after them and leaves the mstr null (cstr () null, len unusable).
class mstr {
  friend class str;
  strobjptr b; // null once handed over

public:
  explicit mstr (size_t n);
  mstr (const mstr &) = delete;
  mstr &operator= (const mstr &) = delete;

  char *cstr () { return b ? b->dat () : nullptr; }
  operator char * () { return cstr (); }
  size_t len () const { return b->len; }
  // Shortens to n bytes.
  void setlen (size_t n)
  {
    stdassert (n <= b->len);
    b->len = n;
  }
};

// A string builder.  Copies share one counted suio: an append through any
// copy is seen by all, and the buffer goes with the last copy.  Appending
// operations are const and return the builder, so that calls chain.  The
// formatting ones go through suio_vuprintf, which references literal runs
// and %s texts over 128 bytes: keep those alive until consumed.
class strbuf {
  const ref<suio> uio; // shared by the copies

public:
  strbuf ();
  explicit strbuf (const str &s);
  explicit strbuf (const ref<suio> &u) : uio (u) {}
  explicit strbuf (const char *fmt, ...)
      __attribute__ ((format (printf, 2, 3)));

  const strbuf &fmt (const char *fmt, ...) const
      __attribute__ ((format (printf, 2, 3)));
  const strbuf &vfmt (const char *fmt, va_list ap) const
      __attribute__ ((format (printf, 2, 0)));
  // A NUL-terminated p; see strbuf_cat.
  const strbuf &cat (const char *p, bool copy) const;
  // Copies the n bytes at p.
  const strbuf &buf (const char *p, size_t n) const
  {
    uio->copy (p, n);
    return *this;
  }

  const iovec *iov () const { return uio->iov (); }
  size_t iovcnt () const { return uio->iovcnt (); }
  suio *tosuio () const { return uio; }
};

// Appends the bytes of a non-null s: copied when at most 128, else queued
// by reference with s's block pinned until the buffer has consumed them.
void suio_print (suio *uio, const str &s);
// Appends a NUL-terminated p without its zero byte: copied if copy, else
// by the print rule (over 128 bytes by reference: keep p alive and
// unchanged until the buffer has consumed it).
void strbuf_cat (const strbuf &b, const char *p, bool copy);
// Removes the first line from the front of uio and returns it without its
// "\n" and a "\r" just before it; null (uio unchanged) if no "\n" is
// queued.
str suio_getline (suio *uio);

inline const strbuf &
strbuf::cat (const char *p, bool copy) const
{
  strbuf_cat (*this, p, copy);
  return *this;
}

// Always copies p.
inline const strbuf &
operator<< (const strbuf &sb, const char *p)
{
  strbuf_cat (sb, p, true);
  return sb;
}
inline const strbuf &
operator<< (const strbuf &sb, const str &s)
{
  suio_print (sb.tosuio (), s);
  return sb;
}
// A new builder holding s, then a copy of p.
strbuf operator<< (const str &s, const char *p);

#endif
