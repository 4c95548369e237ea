#include "http.h"
#include "http_seam.h"

#include "async/armor.h"
#include "async/convertint.h"
#include "async/err.h"
#include "async/init.h"
#include "async/myname.h"
#include "async/rxx.h"
#include "crypt/sha1.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

// The four shared patterns, compiled before main in this order and released
// in the reverse order at exit.  They describe the language of heads; the
// parsers below read heads with hand-written splitters that accept exactly
// the same bytes and cut them at the same places (the fuzz harnesses and
// the tests hold the two side by side), since a pattern costs a copy of the
// line, several passes over it and, on a long enough value, a matching
// error.  The splitters never fail on length: a line of any size gives a
// result.
static struct httpinit {
  rxxinit rxinit; // the pattern allocator first
  rxx hdrnameval;
  rxx urlrx;
  rxx reqrx;
  rxx resprx;

  httpinit ()
      : hdrnameval ("^([^\\s:]+):\\s*(.*)\r?\n\\z", "s"),
        urlrx ("^http://([\\w.-]+)(:(\\d+))?(/\\S*)?", "i"),
        reqrx ("^(\\S+)\\s+(http://[\\w.-]+(:\\d+)?(/\\S*)?)", "i"),
        resprx ("^HTTP/\\d+\\.\\d+\\s+([1-5]\\d\\d)\\s+(.*)", "i")
  {
  }
} httpinit_obj INITPRIO (INITPRIO_HTTP);

// ---- Byte classes and small strings ----

// The classes the patterns name, for the POSIX locale: c_ws is \s (space,
// tab, LF, VT, FF, CR), c_host is [\w.-] (letters, digits, underscore,
// dot, hyphen), c_namestop ends a header name (\s or a colon).  Bytes
// from 0x80 up belong to none.
enum { c_ws = 1, c_host = 2, c_digit = 4, c_namestop = 8 };

struct byteclasses {
  unsigned char c[256];
  constexpr byteclasses () : c ()
  {
    for (int i = 0; i < 256; i++) {
      bool ws = i == ' ' || (i >= '\t' && i <= '\r');
      bool digit = i >= '0' && i <= '9';
      bool alpha = (i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z');
      c[i] = (ws ? c_ws | c_namestop : 0) | (digit ? c_digit : 0) |
             (digit || alpha || i == '_' || i == '.' || i == '-' ? c_host : 0) |
             (i == ':' ? c_namestop : 0);
    }
  }
};
static constexpr byteclasses classes;

static inline bool
inclass (char c, int cls)
{
  return classes.c[static_cast<unsigned char> (c)] & cls;
}

// The first index from i below n whose byte is outside cls (n if none).
static inline size_t
skip (const char *p, size_t i, size_t n, int cls)
{
  while (i < n && inclass (p[i], cls))
    i++;
  return i;
}

// The first index from i below n whose byte is in cls (n if none).
static inline size_t
skipnot (const char *p, size_t i, size_t n, int cls)
{
  while (i < n && !inclass (p[i], cls))
    i++;
  return i;
}

static inline char
lower (char c)
{
  return c >= 'A' && c <= 'Z' ? c ^ 0x20 : c;
}

enum lettercase { asis, tolow, toup };

// The n bytes at p as a str, letters mapped as lc says (the POSIX locale's
// tolower or toupper, whatever locale is set).
static str
copycase (const char *p, size_t n, lettercase lc)
{
  if (lc == asis)
    return str (p, n);
  mstr m (n);
  char *d = m, lo = lc == tolow ? 'A' : 'a', hi = lo + 25;
  for (size_t i = 0; i < n; i++)
    d[i] = p[i] >= lo && p[i] <= hi ? p[i] ^ 0x20 : p[i];
  return m;
}

// Whether the n bytes at p spell lit (lower case) with letters in any case.
static bool
caseeq (const char *p, size_t n, const char *lit, size_t litlen)
{
  if (n != litlen)
    return false;
  for (size_t i = 0; i < n; i++)
    if (lower (p[i]) != lit[i])
      return false;
  return true;
}

// Small strs (header values and names, status messages) come from a free
// list of blocks of one size: a head makes and drops a dozen of them, and
// the general allocator costs a good part of a header.  At most poolmax
// blocks wait on the list (kept to the end of the process, reachable);
// under AddressSanitizer every str takes the general allocator, so that a
// use after the last reference is still caught.
#if defined(__SANITIZE_ADDRESS__)
static str
smallstr (const char *p, size_t n)
{
  return str (p, n);
}
#else
static constexpr size_t poolblock = 96; // header, bytes and zero byte
static constexpr size_t poolmax = 256;

struct poolfree {
  poolfree *next;
};
static poolfree *poolhead;
static size_t poolcount;

static void
pooldel (void *b)
{
  if (poolcount >= poolmax) {
    ::operator delete (b);
    return;
  }
  poolfree *f = static_cast<poolfree *> (b);
  f->next = poolhead;
  poolhead = f;
  poolcount++;
}

// A str over a block made here: str keeps its block protected.
struct pooledstr : str {
  explicit pooledstr (strobj *o) { b = o; }
};

static str
smallstr (const char *p, size_t n)
{
  if (n >= poolblock - sizeof (strobj))
    return str (p, n);
  void *m;
  if (poolhead) {
    m = poolhead;
    poolhead = poolhead->next;
    poolcount--;
  } else
    m = ::operator new (poolblock);
  strobj *o = static_cast<strobj *> (m);
  o->refcnt = 0;
  o->len = n;
  o->delfn = pooldel;
  memcpy (o->dat (), p, n);
  o->dat ()[n] = '\0';
  return pooledstr (o);
}
#endif

// The lower-cased header names the parsers look at or meet most, made once:
// a head names each of them without an allocation.
static const char *const knownnames[] = {
    "accept",
    "accept-encoding",
    "accept-language",
    "authorization",
    "cache-control",
    "connection",
    "content-length",
    "content-type",
    "cookie",
    "date",
    "etag",
    "expires",
    "host",
    "if-modified-since",
    "if-none-match",
    "last-modified",
    "pragma",
    "proxy-connection",
    "referer",
    "server",
    "set-cookie",
    "user-agent",
    "vary",
    "accept-ranges",
    "upgrade-insecure-requests",
};
static constexpr size_t nknown = sizeof (knownnames) / sizeof (*knownnames);

// The known names in an open-addressed table keyed by length, first,
// middle and last letter, each beside its text zero-padded to 32 bytes so
// that a lookup compares four words; released at exit with the other
// statics.
struct knownstrs {
  static constexpr size_t slots = 128; // a power of two, over 4 * nknown
  static constexpr size_t width = 32;  // longer than every known name
  struct slot {
    u_int64_t w[width / 8]; // the name, zero-padded
    str s;                  // null: an empty slot
  } t[slots];

  static size_t hash (const char *p, size_t n)
  {
    return (n * 31 + p[0] * 7 + p[n / 2] * 3 + p[n - 1]) & (slots - 1);
  }
  knownstrs ()
  {
    for (const char *k : knownnames) {
      size_t n = strlen (k), h = hash (k, n);
      while (t[h].s)
        h = (h + 1) & (slots - 1);
      memset (t[h].w, 0, width);
      memcpy (t[h].w, k, n);
      t[h].s = k;
    }
  }
};
static_assert (knownstrs::slots >= 4 * nknown, "a sparse table");
static knownstrs known INITPRIO (INITPRIO_HTTP);

// The lower-cased name of the n (> 0) bytes at p: a shared known one when
// it is one, else a new str.
static str
headername (const char *p, size_t n)
{
  if (n > knownstrs::width)
    return copycase (p, n, tolow);
  u_int64_t w[knownstrs::width / 8] = {0, 0, 0, 0};
  char *low = reinterpret_cast<char *> (w);
  for (size_t i = 0; i < n; i++)
    low[i] = p[i] | (static_cast<unsigned char> (p[i] - 'A') < 26 ? 0x20 : 0);
  for (size_t h = knownstrs::hash (low, n); known.t[h].s;
       h = (h + 1) & (knownstrs::slots - 1)) {
    const knownstrs::slot &k = known.t[h];
    if (!((k.w[0] ^ w[0]) | (k.w[1] ^ w[1]) | (k.w[2] ^ w[2]) |
          (k.w[3] ^ w[3])))
      return k.s;
  }
  return smallstr (low, n);
}

// ---- Splitters ----
//
// Each takes a line as bytes and answers, with offsets into it, what its
// pattern's match would capture; false where the pattern finds no match.
// Lines longer than INT_MAX are refused, as the patterns' offsets are ints.

// "^([^\s:]+):\s*(.*)\r?\n\z", dot-all: the name is the bytes up to the
// first white space or colon, which must be a colon; the value starts after
// the greedy blanks that follow and ends before the final LF, less one CR.
// All blanks up to the end leave an empty value.
struct hdrsplit {
  size_t namelen; // the name: the first namelen bytes
  size_t val;     // the value's offset
  size_t vallen;  // its length, final CR and LF excluded
};

static bool
splithdr (const char *p, size_t n, hdrsplit *h)
{
  if (!n || n > INT_MAX || p[n - 1] != '\n')
    return false;
  size_t i = skipnot (p, 0, n, c_namestop);
  if (!i || p[i] != ':') // p[n - 1] is white space: i < n
    return false;
  size_t v = skip (p, i + 1, n, c_ws), e = n - 1;
  if (v == n)
    v = e;
  else if (e > v && p[e - 1] == '\r')
    e--;
  h->namelen = i;
  h->val = v;
  h->vallen = e - v;
  return true;
}

// "http://([\w.-]+)(:(\d+))?(/\S*)?" at the front, letters in any case.
struct urlsplit {
  size_t host, hostlen; // at least one byte
  size_t port, portlen; // digits; portlen 0: no port
  size_t path, pathlen; // "/" and what follows; pathlen 0: no path
  size_t end;           // just past the match
};

static bool
spliturl (const char *p, size_t n, urlsplit *u)
{
  if (n < 8 || !caseeq (p, 7, "http://", 7))
    return false;
  size_t i = skip (p, 7, n, c_host);
  if (i == 7)
    return false;
  u->host = 7;
  u->hostlen = i - 7;
  u->port = u->portlen = 0;
  if (i + 1 < n && p[i] == ':' && inclass (p[i + 1], c_digit)) {
    size_t e = skip (p, i + 1, n, c_digit);
    u->port = i + 1;
    u->portlen = e - i - 1;
    i = e;
  }
  u->path = u->pathlen = 0;
  if (i < n && p[i] == '/') {
    size_t e = skipnot (p, i + 1, n, c_ws);
    u->path = i;
    u->pathlen = e - i;
    i = e;
  }
  u->end = i;
  return true;
}

// Port digits: decimal, 0 to 65535; anything else names no port a client
// could mean, and must not wrap to one it did not name.
static bool
portval (const char *p, size_t n, u_int16_t *port)
{
  unsigned v = 0;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9')
      return false;
    v = v * 10 + (p[i] - '0');
    if (v > 65535)
      return false;
  }
  if (!n)
    return false;
  *port = static_cast<u_int16_t> (v);
  return true;
}

// A URL's parts as parseurl gives them: false for no URL or a bad port.
struct urlparts {
  const char *host;
  size_t hostlen;
  u_int16_t port;
  const char *path; // "/" when the URL has none
  size_t pathlen;
};

static bool
urlof (const char *p, size_t n, urlparts *u)
{
  urlsplit s;
  if (!spliturl (p, n, &s))
    return false;
  u->port = 80;
  if (s.portlen && !portval (p + s.port, s.portlen, &u->port))
    return false;
  u->host = p + s.host;
  u->hostlen = s.hostlen;
  u->path = s.pathlen ? p + s.path : "/";
  u->pathlen = s.pathlen ? s.pathlen : 1;
  return true;
}

// "^(\S+)\s+(http://...)": the method is the bytes up to the first white
// space, at least one, and the URL follows the blanks after it.
static bool
splitreq (const char *p, size_t n, size_t *methodlen, urlparts *u)
{
  if (n > INT_MAX)
    return false;
  size_t m = skipnot (p, 0, n, c_ws);
  size_t s = skip (p, m, n, c_ws);
  if (!m || s == m)
    return false;
  *methodlen = m;
  return urlof (p + s, n - s, u);
}

// "^HTTP/\d+\.\d+\s+([1-5]\d\d)\s+(.*)", letters in any case: the message
// runs from the end of the blanks after the code to the first LF.
static bool
splitstatus (const char *p, size_t n, int *status, size_t *msg, size_t *msglen)
{
  if (n > INT_MAX || n < 5 || !caseeq (p, 5, "http/", 5))
    return false;
  size_t i = skip (p, 5, n, c_digit);
  if (i == 5 || i >= n || p[i] != '.')
    return false;
  size_t j = skip (p, i + 1, n, c_digit);
  size_t k = skip (p, j, n, c_ws);
  if (j == i + 1 || k == j || n - k < 4 || p[k] < '1' || p[k] > '5' ||
      !inclass (p[k + 1], c_digit) || !inclass (p[k + 2], c_digit) ||
      !inclass (p[k + 3], c_ws))
    return false;
  *status = (p[k] - '0') * 100 + (p[k + 1] - '0') * 10 + (p[k + 2] - '0');
  size_t s = skip (p, k + 3, n, c_ws);
  const void *lf = s < n ? memchr (p + s, '\n', n - s) : nullptr;
  *msg = s;
  *msglen = (lf ? static_cast<const char *> (lf) - p : n) - s;
  return true;
}

// Whether s (not null) holds exactly the bytes of the literal lit.
template <size_t N>
static bool
is (const str &s, const char (&lit)[N])
{
  return s.len () == N - 1 && !memcmp (s.cstr (), lit, N - 1);
}

// strtol in base 10 saturated at the int limits (a 64-bit long would
// otherwise be cut to its low 32 bits).
static int
strtoint (const str &s)
{
  int64_t v = strtoi64 (s.cstr (), nullptr, 10);
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int> (v);
}

// ---- The base: logical lines ----

str
suio_remstr (suio *uio, size_t n)
{
  stdassert (n <= uio->resid ());
  mstr m (n);
  uio->copyout (m.cstr (), n);
  uio->rembytes (n);
  return m;
}

// The first byte at or after entry v, offset off; -1 when there is none.
static int
byteat (const iovec *v, const iovec *lim, size_t off)
{
  for (; v < lim; v++, off = 0)
    if (off < v->iov_len)
      return static_cast<unsigned char> (
          static_cast<const char *> (v->iov_base)[off]);
  return -1;
}

str
httpparse::gethdr (suio *uio)
{
  const iovec *v = uio->iov (), *lim = uio->iovlim ();
  size_t before = 0; // bytes in the entries already passed
  size_t off = 0;    // where the search goes on in *v
  while (v < lim) {
    const char *b = static_cast<const char *> (v->iov_base);
    const void *lf = nullptr;
    if (off < v->iov_len)
      lf = memchr (b + off, '\n', v->iov_len - off);
    if (!lf) {
      before += v->iov_len;
      v++;
      off = 0;
      continue;
    }
    off = static_cast<const char *> (lf) - b + 1;
    size_t n = before + off;
    if (n == 1 || (n == 2 && byteat (uio->iov (), lim, 0) == '\r')) {
      uio->rembytes (n);
      return str ("", 0);
    }
    int c = byteat (v, lim, off);
    if (c < 0)
      return str ();
    if (c != ' ' && c != '\t')
      return suio_remstr (uio, n);
  }
  return str ();
}

// The length of the logical line at the front of the n bytes at b, when
// the line and the byte that decides where it ends both lie there; 0
// otherwise, and gethdr looks across entries.  The same walk as gethdr's.
static size_t
lineinplace (const char *b, size_t n)
{
  for (size_t off = 0;;) {
    const void *lf = memchr (b + off, '\n', n - off);
    if (!lf)
      return 0;
    size_t len = static_cast<const char *> (lf) - b + 1;
    if (len == 1 || (len == 2 && b[0] == '\r'))
      return len;
    if (len == n)
      return 0;
    if (b[len] != ' ' && b[len] != '\t')
      return len;
    off = len;
  }
}

str
httpparse::hdrname (str hdr)
{
  hdrsplit h;
  if (!hdr || !splithdr (hdr.cstr (), hdr.len (), &h))
    return str ();
  return headername (hdr.cstr (), h.namelen);
}

str
httpparse::hdrval (str hdr)
{
  hdrsplit h;
  if (!hdr || !splithdr (hdr.cstr (), hdr.len (), &h))
    panic_at (ERR_POS, "hdrval: bad header: %s\n", hdr.cstr ());
  return str (hdr.cstr () + h.val, h.vallen);
}

// One logical line, n bytes at p (a blank one when blank): 1 for the blank
// line that ends the head, -1 for a refused line, 0 to go on.  copy, when
// not null, holds the line that gethdr had to gather; it is passed on by
// reference, while a line read in place is copied into _headers.
int
httpparse::takeline (const char *p, size_t n, bool blank, const str &copy)
{
  if (!firstdone) {
    str line = copy ? copy : blank ? str ("", 0) : smallstr (p, n);
    if (!dofirst (line))
      return -1;
    firstdone = true;
    return 0;
  }
  if (blank)
    return 1;
  hdrsplit h;
  if (!splithdr (p, n, &h))
    return -1;
  if (!doheader (headername (p, h.namelen), smallstr (p + h.val, h.vallen))) {
    if (copy)
      suio_print (_headers.tosuio (), copy);
    else
      _headers.tosuio ()->copy (p, n);
  }
  return 0;
}

// Lines that lie whole in the first entry are read where they are, and
// removed together when parse returns or has to look further: removing
// bytes may free the memory they live in, and costs a call per removal.
int
httpparse::parse (suio *uio)
{
  size_t done = 0; // bytes at the front handled and not yet removed
  for (;;) {
    size_t n = 0;
    const char *p = nullptr;
    if (uio->iovcnt ()) {
      p = static_cast<const char *> (uio->iov ()->iov_base) + done;
      n = lineinplace (p, uio->iov ()->iov_len - done);
    }
    int r;
    if (n) {
      r = takeline (p, n, n == 1 || (n == 2 && p[0] == '\r'), str ());
      done += n;
    } else {
      uio->rembytes (done);
      done = 0;
      str h = gethdr (uio);
      if (!h)
        return 0;
      r = takeline (h.cstr (), h.len (), !h.len (), h);
    }
    if (r) {
      uio->rembytes (done);
      return r;
    }
  }
}

void
httpparse::resetbase ()
{
  firstdone = false;
  suio *u = _headers.tosuio ();
  u->rembytes (u->resid ());
}

// ---- Header values ----

// Whether the t bytes of tok stand at p (n bytes available), letters in
// any case.
static bool
tokenat (const char *p, size_t n, const char *tok, size_t t)
{
  if (n < t)
    return false;
  for (size_t i = 0; i < t; i++)
    if (lower (p[i]) != lower (tok[i]))
      return false;
  return true;
}

// What "(^|,)\s*<pragma>\s*(,|$)" finds, letters in any case, with every
// byte of the token literal: an element (the value's start or just after a
// comma) whose blanks are followed by the token, then blanks up to a comma
// or the end.  A token may itself begin with blanks, so every place inside
// the leading blanks is tried; the blanks runs of different elements never
// overlap, and the blanks after a token are scanned once however many
// places it matches at, so the work stays linear in the value for a given
// token.  A final LF, where "$" may also stand, is a blank and changes
// nothing.
bool
httpparse::checkpragma (str val, str pragma)
{
  if (!val || !pragma)
    return false;
  const char *p = val.cstr (), *tok = pragma.cstr ();
  size_t n = val.len (), t = pragma.len ();
  size_t rs = 1, re = 0; // [rs, re): blanks up to the end of their run
  for (size_t s = 0; s <= n;) {
    size_t w = skip (p, s, n, c_ws);
    for (size_t k = s; k <= w; k++)
      if (tokenat (p + k, n - k, tok, t)) {
        size_t f = k + t;
        size_t e = f >= rs && f <= re ? re : skip (p, f, n, c_ws);
        if (e == n || p[e] == ',')
          return true;
        rs = f;
        re = e;
      }
    const void *comma = memchr (p + w, ',', n - w);
    if (!comma)
      break;
    s = static_cast<const char *> (comma) - p + 1;
  }
  return false;
}

static_assert (sizeof (time_t) >= 8, "dates after 2038 need 64-bit time");

// Days from 1970-01-01 to y-m-d (m 1-12) in the proleptic Gregorian
// calendar, for y >= 0; d past the month's end runs on, as timegm does.
static int64_t
daysfromcivil (int64_t y, int m, int d)
{
  y -= m <= 2;
  int64_t era = y / 400, yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The n decimal digits at p; -1 if one is not a digit.
static int
digits (const char *p, int n)
{
  int v = 0;
  for (int i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9')
      return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// Index of the three letters at p among names (exact case), or -1.  The
// caller has checked that p holds three bytes other than NUL.
static int
nameindex (const char *p, const char *names)
{
  for (int i = 0; names[3 * i]; i++)
    if (p[0] == names[3 * i] && p[1] == names[3 * i + 1] &&
        p[2] == names[3 * i + 2])
      return i;
  return -1;
}

// The fields of the canonical RFC 1123 form "Sun, 06 Nov 1994 08:49:37
// GMT" that servers send, read directly: strptime spends most of a
// microsecond trying every day and month name.  Only texts that strptime
// reads the same way are taken (exact names, every field inside
// strptime's ranges); any other returns false and is left to strptime.
// The caller has checked the punctuation, so t holds 29 bytes; a NUL
// among them fails as a letter or a digit.
static bool
rfc1123fields (const char *t, time_t *res)
{
  static const char days[] = "SunMonTueWedThuFriSat";
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int mon = nameindex (t + 8, months);
  int d = digits (t + 5, 2), y = digits (t + 12, 4);
  int h = digits (t + 17, 2), mi = digits (t + 20, 2), s = digits (t + 23, 2);
  if (nameindex (t, days) < 0 || mon < 0 || d < 1 || d > 31 || y < 0 || h < 0 ||
      h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
    return false;
  *res = daysfromcivil (y, mon + 1, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

// The punctuation checked byte by byte: the NUL of a shorter text fails
// before anything past it is read.
static bool
rfc1123 (const char *t, time_t *res)
{
  static const char form[] = "@@@, ## @@@ #### ##:##:## GMT";
  for (int i = 0; form[i]; i++)
    if (form[i] == '#'   ? t[i] < '0' || t[i] > '9'
        : form[i] == '@' ? !t[i]
                         : t[i] != form[i])
      return false;
  return rfc1123fields (t, res);
}

// parsetime of a header value, which is NUL-terminated and whose length
// is known: with 29 bytes or more the punctuation is read in one go.
static time_t
datevalue (const str &v)
{
  const char *t = v.cstr ();
  time_t res;
  if (v.len () >= 29 && t[3] == ',' && t[4] == ' ' && t[7] == ' ' &&
      t[11] == ' ' && t[16] == ' ' && t[19] == ':' && t[22] == ':' &&
      !memcmp (t + 25, " GMT", 4) && rfc1123fields (t, &res))
    return res;
  return httpparse::parsetime (t);
}

time_t
httpparse::parsetime (const char *text)
{
  time_t t;
  if (rfc1123 (text, &t))
    return t;
  struct tm tm;
  memset (&tm, 0, sizeof (tm));
  if (!strptime (text, "%a, %d %b %Y %H:%M:%S GMT", &tm) &&
      !strptime (text, "%a %b %d %H:%M:%S %Y", &tm))
    return -1;
  return timegm (&tm);
}

// ---- URLs and request lines ----

bool
httpparse::parseurl (str *host, u_int16_t *port, str *path, str url)
{
  urlparts u;
  if (!url || url.len () > INT_MAX || !urlof (url.cstr (), url.len (), &u))
    return false;
  *host = copycase (u.host, u.hostlen, tolow);
  *port = u.port;
  *path = str (u.path, u.pathlen);
  return true;
}

// "http://" host (lower-cased), ":" port unless it is 80, path.
static str
normurl (const urlparts &u)
{
  char pb[8] = "";
  size_t pl = u.port == 80 ? 0 : snprintf (pb, sizeof (pb), ":%d", u.port);
  mstr m (7 + u.hostlen + pl + u.pathlen);
  char *d = m;
  memcpy (d, "http://", 7);
  d += 7;
  for (size_t i = 0; i < u.hostlen; i++)
    *d++ = lower (u.host[i]);
  memcpy (d, pb, pl);
  memcpy (d += pl, u.path, u.pathlen);
  return m;
}

bool
httpparse::parsereq (str *method, str *url, str line)
{
  size_t ml;
  urlparts u;
  if (!line || !splitreq (line.cstr (), line.len (), &ml, &u))
    return false;
  *method = copycase (line.cstr (), ml, toup);
  *url = normurl (u);
  return true;
}

// ---- Requests ----

// SHA-1 framed here rather than through a sha1ctx: a URL is one or two
// blocks, and the context's buffering and virtual calls cost a good part
// of a key.  The padding is the standard's (0x80, zeros, the bit length
// big-endian); the tests hold the result against sha1ctx.
str
hashstr (str src)
{
  const u_char *p = reinterpret_cast<const u_char *> (src.cstr ());
  size_t n = src.len (), whole = n / sha1::blocksize;
  u_int32_t st[sha1::statewords];
  sha1::newstate (st);
  if (whole)
    sha1::transformv (st, p, whole);
  u_char tail[2 * sha1::blocksize];
  size_t r = n % sha1::blocksize, tb = r < sha1::blocksize - 8 ? 1 : 2;
  size_t end = tb * sha1::blocksize;
  memcpy (tail, p + whole * sha1::blocksize, r);
  tail[r] = 0x80;
  memset (tail + r + 1, 0, end - 8 - r - 1);
  u_int64_t bits = static_cast<u_int64_t> (n) * 8;
  for (int i = 0; i < 8; i++)
    tail[end - 1 - i] = static_cast<u_char> (bits >> (8 * i));
  sha1::transformv (st, tail, tb);
  u_char d[sha1::hashsize];
  sha1::state2bytes (d, st);
  return armor32 (d, sizeof (d));
}

void
httpreq::reset ()
{
  resetbase ();
  nocache = false;
  if_modified_since = -1;
  _content_length = -1;
  authorization = _method = _host = str ();
  _port = 0;
  _path = _url = _urlhash = str ();
}

// The URL is split once: splitting the normalised URL again would give
// the same host, port and path.  Only its length could differ (a "/" added
// for no path): one the URL pattern would refuse still refuses the line.
bool
httpreq::dofirst (str line)
{
  size_t ml;
  urlparts u;
  if (!line || !splitreq (line.cstr (), line.len (), &ml, &u))
    return false;
  _method = copycase (line.cstr (), ml, toup);
  _url = normurl (u);
  if (_url.len () > INT_MAX)
    return false;
  _host = copycase (u.host, u.hostlen, tolow);
  _port = u.port;
  _path = str (u.path, u.pathlen);
  _headers << _method << " " << _path << " HTTP/1.0\r\n";
  _urlhash = hashstr (_url);
  return true;
}

bool
httpreq::doheader (str name, str val)
{
  if (is (name, "pragma")) {
    if (checkpragma (val, "no-cache"))
      nocache = true;
  } else if (is (name, "if-modified-since")) {
    if_modified_since = datevalue (val);
    return true;
  } else if (is (name, "content-length"))
    _content_length = strtoint (val);
  else if (is (name, "authorization"))
    authorization = val;
  return false;
}

int
httpreq_parse (httpreq *resp, const char *buf, size_t len)
{
  suio uio;
  uio.print (buf, len);
  resp->reset ();
  int n = resp->parse (&uio);
  if (n <= 0)
    return n;
  size_t head = len - uio.resid ();
  return head > INT_MAX ? -1 : static_cast<int> (head);
}

// ---- Responses ----

bool
httpparse::parseresp (int *status, str *msg, str line)
{
  int st;
  size_t m, ml;
  if (!line || !splitstatus (line.cstr (), line.len (), &st, &m, &ml))
    return false;
  *status = st;
  *msg = smallstr (line.cstr () + m, ml);
  return true;
}

void
httpresp::reset ()
{
  resetbase ();
  status = 0;
  statusmsg = str ();
  nocache = false;
  date = expires = last_modified = -1;
  _content_length = -1;
}

bool
httpresp::dofirst (str line)
{
  if (!parseresp (&status, &statusmsg, line))
    return false;
  _headers << line;
  return true;
}

bool
httpresp::doheader (str name, str val)
{
  if (is (name, "pragma")) {
    if (checkpragma (val, "no-cache"))
      nocache = true;
  } else if (is (name, "date"))
    date = datevalue (val);
  else if (is (name, "expires"))
    expires = datevalue (val);
  else if (is (name, "last-modified"))
    last_modified = datevalue (val);
  else if (is (name, "content-length"))
    _content_length = strtoint (val);
  return false;
}

// ---- Error responses and dates ----

const httpseam httpsys_libc = {time, getlogin, getpwnam, getpwuid, getuid};
httpseam httpsys = httpsys_libc;

// English names, whatever locale the program sets: a date header in
// another language is one no client reads.
static const char wdays[7][4] = {"Sun", "Mon", "Tue", "Wed",
                                 "Thu", "Fri", "Sat"};
static const char mnames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

str
httptime ()
{
  time_t t = httpsys.time (nullptr);
  struct tm tm;
  char buf[30];
  int n = 0; // stays 0 when the year does not fit a struct tm
  // tm_year + 1900 in an int would overflow for the last years gmtime_r
  // can give.
  if (gmtime_r (&t, &tm))
    n = snprintf (buf, sizeof (buf), "%s, %02d %s %lld %02d:%02d:%02d GMT",
                  wdays[tm.tm_wday], tm.tm_mday, mnames[tm.tm_mon],
                  1900LL + tm.tm_year, tm.tm_hour, tm.tm_min, tm.tm_sec);
  libassert (n == 29);
  return str (buf, n);
}

// The server name, null until httperror first computes it; released at
// exit with the other statics.
static str &
servername ()
{
  static str server;
  return server;
}

void
httperror_forget ()
{
  servername () = str ();
}

// The pw_gecos text is copied before any other password lookup can
// overwrite the entry it lives in.
static str
whoami ()
{
  struct passwd *pw = nullptr;
  if (const char *login = httpsys.getlogin ())
    pw = httpsys.getpwnam (login);
  if (!pw)
    pw = httpsys.getpwuid (httpsys.getuid ());
  if (pw && pw->pw_gecos && *pw->pw_gecos)
    return strbuf ("%s's proxy server", pw->pw_gecos);
  return "Ombrix proxy server";
}

// myname, or the plain host name when the host has no fully qualified one
// (myname has warned); empty if even that cannot be read.
static str
signhost ()
{
  if (str n = myname ())
    return n;
  char name[HOST_NAME_MAX + 2];
  if (gethostname (name, sizeof (name) - 1) < 0)
    return "";
  name[sizeof (name) - 1] = '\0';
  return name;
}

// What a byte becomes: its replacement text, or null to keep it.
typedef const char *(*bytemap) (char c);

static const char *
htmlentity (char c)
{
  switch (c) {
  case '&':
    return "&amp;";
  case '<':
    return "&lt;";
  case '>':
    return "&gt;";
  case '"':
    return "&quot;";
  case '\'':
    return "&#39;";
  }
  return nullptr;
}

// Keeps a header line one line.
static const char *
nolineend (char c)
{
  return c == '\r' || c == '\n' ? " " : nullptr;
}

// Appends s with its bytes mapped; a str with nothing to map goes in whole
// (referenced when long), otherwise runs between mapped bytes are copied.
static void
catmapped (const strbuf &b, const str &s, bytemap map)
{
  const char *run = s.cstr (), *end = run + s.len ();
  for (const char *p = run; p < end; p++)
    if (const char *rep = map (*p)) {
      b.buf (run, p - run) << rep;
      run = p + 1;
    }
  if (run == s.cstr ())
    b << s;
  else
    b.buf (run, end - run);
}

static void
htmlcat (const strbuf &b, const str &s)
{
  catmapped (b, s, htmlentity);
}

str
httperror (int status, str statmsg, str url, str description)
{
  stdassert (statmsg && url && description);
  str &server = servername ();
  if (!server)
    server = whoami ();

  // The long literal goes in by reference: static text, nothing to copy.
  strbuf body;
  body.cat ("<HTML><HEAD>\n<TITLE>ERROR: The requested URL could not be "
            "retrieved</TITLE>\n</HEAD><BODY>\n<H1>ERROR</H1>\n<H2>The "
            "requested URL could not be retrieved</H2>\n<HR>\n<P>\nWhile "
            "trying to retrieve the URL:\n<A HREF=\"",
            false);
  htmlcat (body, url);
  body << "\">";
  htmlcat (body, url);
  body << "</A>\n<P>\nThe following error was encountered:\n<P>\n<STRONG>";
  htmlcat (body, description);
  body << "</STRONG><BR>\n<P>";
  htmlcat (body, server);
  body << " at ";
  htmlcat (body, signhost ());
  body << "\n</BODY></HTML>\n";

  strbuf head ("HTTP/1.0 %03d ", status);
  catmapped (head, statmsg, nolineend);
  head << "\r\n";
  str now = httptime ();
  head << "Mime-Version: 1.0\r\nContent-Type: text/html\r\n";
  // size_t fits an unsigned long on both ABIs: no length is cut.
  head.fmt ("Content-Length: %lu\r\n",
            static_cast<unsigned long> (body.tosuio ()->resid ()));
  // The full-name field is the user's to set: it must not end the line.
  head << "Server: ";
  catmapped (head, server, nolineend);
  head << "\r\n"
       << "Date: " << now << "\r\n"
       << "Expires: " << now << "\r\n\r\n";
  head.tosuio ()->take (body.tosuio ());
  return head;
}
