#include "proxy/framing.h"

#include <cctype>
#include <cstring>

bool
ctl (unsigned char c)
{
  return (c < 0x20 && c != '\t') || c == 0x7f;
}

bool
tchar (unsigned char c)
{
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
      (c >= 'A' && c <= 'Z'))
    return true;
  return c && strchr ("!#$%&'*+-.^_`|~", c);
}

// "HTTP/1.0" or "HTTP/1.1" at p (8 bytes available).
static bool
version (const char *p)
{
  return !memcmp (p, "HTTP/1.", 7) && (p[7] == '0' || p[7] == '1');
}

// method SP target SP version: single spaces, a token for the method, a
// target of visible ASCII.
static bool
requestline (const char *p, size_t n)
{
  size_t i = 0;
  while (i < n && tchar (p[i]))
    i++;
  if (!i || i >= n || p[i] != ' ')
    return false;
  size_t t = ++i;
  while (i < n && p[i] > 0x20 && p[i] < 0x7f)
    i++;
  if (i == t || i >= n || p[i] != ' ')
    return false;
  return n - i - 1 == 8 && version (p + i + 1);
}

// version SP 3DIGIT [SP reason]; the reason without control bytes.
static bool
statusline (const char *p, size_t n)
{
  if (n < 12 || !version (p) || p[8] != ' ')
    return false;
  for (int i = 9; i < 12; i++)
    if (p[i] < '0' || p[i] > '9')
      return false;
  if (n > 12 && p[12] != ' ')
    return false;
  for (size_t i = 13; i < n; i++)
    if (ctl (p[i]))
      return false;
  return true;
}

// name ":" value, the name a token right up to the colon.
static bool
headerline (const char *p, size_t n)
{
  size_t i = 0;
  while (i < n && tchar (p[i]))
    i++;
  if (!i || i >= n || p[i] != ':')
    return false;
  for (i++; i < n; i++)
    if (ctl (p[i]))
      return false;
  return true;
}

// One line of n bytes, its LF included: 1 for the blank line, 0 for an
// acceptable line, -1 otherwise.
int
headscan::line (const char *p, size_t n)
{
  size_t c = n - 1; // the content, line end excluded
  if (c && p[c - 1] == '\r')
    c--;
  else if (request)
    return -1; // bare LF
  if (memchr (p, '\r', c))
    return -1; // bare CR
  if (!c)
    return first ? -1 : 1;
  if (first) {
    first = false;
    return (request ? requestline (p, c) : statusline (p, c)) ? 0 : -1;
  }
  if (p[0] == ' ' || p[0] == '\t')
    return -1; // a folded line
  return headerline (p, c) ? 0 : -1;
}

int
headscan::scan (const char *p, size_t n)
{
  if (status)
    return -1;
  if (len)
    return 1;
  int toolong = request ? 431 : 502;
  while (pos < n) {
    const char *lf =
        static_cast<const char *> (memchr (p + pos, '\n', n - pos));
    if (!lf) {
      if (first && request && n - pos >= reqline_max)
        status = 414;
      else if (n >= head_max)
        status = toolong;
      return status ? -1 : 0;
    }
    size_t end = lf - p + 1;
    if (first && request && end - pos > reqline_max)
      status = 414;
    else if (end > head_max)
      status = toolong;
    if (status)
      return -1;
    int r = line (p + pos, end - pos);
    if (r < 0) {
      status = request ? 400 : 502;
      return -1;
    }
    pos = end;
    if (r) {
      len = end;
      return 1;
    }
  }
  return 0;
}

// ---- Body lengths ----

static bool
blank (char c)
{
  return c == ' ' || c == '\t';
}

// The elements of a comma-separated list, blanks around them trimmed,
// passed to f (p, n); false at once if f says so.
template <class F>
static bool
eachelement (const str &v, F f)
{
  const char *p = v.cstr (), *e = p + v.len ();
  for (;;) {
    const char *c = static_cast<const char *> (memchr (p, ',', e - p));
    const char *end = c ? c : e, *b = p;
    while (b < end && blank (*b))
      b++;
    while (end > b && blank (end[-1]))
      end--;
    if (!f (b, size_t (end - b)))
      return false;
    if (!c)
      return true;
    p = c + 1;
  }
}

bool
framehdrs::take (const str &name, const str &val)
{
  vec<str> *v = name == "content-length"      ? &cl
                : name == "transfer-encoding" ? &te
                : name == "connection"        ? &conn
                                              : nullptr;
  if (v)
    v->push_back (val);
  return v;
}

int
parselength (const str &v, uint64_t *len)
{
  bool seen = false;
  uint64_t val = 0;
  bool ok = eachelement (v, [&] (const char *p, size_t n) {
    if (!n || n > 19)
      return false;
    uint64_t x = 0;
    for (size_t i = 0; i < n; i++) {
      if (p[i] < '0' || p[i] > '9')
        return false;
      x = x * 10 + (p[i] - '0');
    }
    if (x > body_max || (seen && x != val))
      return false;
    seen = true;
    val = x;
    return true;
  });
  if (!ok)
    return -1;
  *len = val;
  return 1;
}

bool
onlychunked (const vec<str> &te)
{
  int n = 0;
  for (size_t i = 0; i < te.size (); i++)
    if (!eachelement (te[i], [&] (const char *p, size_t k) {
          return k == 7 && !strncasecmp (p, "chunked", 7) && !n++;
        }))
      return false;
  return n == 1;
}

// The one length all Content-Length lines agree on; -1 if they do not.
static int
agreedlength (const vec<str> &cl, uint64_t *len)
{
  for (size_t i = 0; i < cl.size (); i++) {
    uint64_t v;
    if (parselength (cl[i], &v) < 0 || (i && v != *len))
      return -1;
    *len = v;
  }
  return 1;
}

int
reqbody (const vec<str> &cl, const vec<str> &te, bool http10, bodyframe *bf)
{
  bf->len = 0;
  if (te.size ()) {
    if (http10 || cl.size () || !onlychunked (te))
      return -1;
    bf->kind = bk_chunked;
    return 1;
  }
  if (!cl.size ()) {
    bf->kind = bk_none;
    return 1;
  }
  if (agreedlength (cl, &bf->len) < 0)
    return -1;
  bf->kind = bf->len ? bk_length : bk_none;
  return 1;
}

int
respbody (int status, bool head, const vec<str> &cl, const vec<str> &te,
          bodyframe *bf)
{
  bf->len = 0;
  bf->kind = bk_none;
  if (head || status < 200 || status == 204 || status == 304)
    return 1;
  if (te.size ()) {
    if (cl.size () || !onlychunked (te))
      return -1;
    bf->kind = bk_chunked;
    return 1;
  }
  if (!cl.size ()) {
    bf->kind = bk_close;
    return 1;
  }
  if (agreedlength (cl, &bf->len) < 0)
    return -1;
  bf->kind = bf->len ? bk_length : bk_none;
  return 1;
}

// ---- The chunked coding ----

enum {
  cs_size,    // hex digits of a chunk size
  cs_bws,     // blanks after the size, before ";"
  cs_ext,     // a chunk extension, up to the CR
  cs_sizelf,  // the LF of the size line
  cs_data,    // chunk data
  cs_datacr,  // the CR after the data
  cs_datalf,  // the LF after the data
  cs_trailer, // a trailer line (or the blank line ending the body)
  cs_trlf,    // the LF of a trailer line
  cs_done,    // complete
};

void
chunkdec::reset ()
{
  st = cs_size;
  left = 0;
  linelen = trailers = 0;
  digits = 0;
}

bool
chunkdec::done () const
{
  return st == cs_done;
}

static int
hexval (char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

int
chunkdec::feed (const char *p, size_t n, size_t *used, size_t *doff,
                size_t *dlen)
{
  *used = *doff = *dlen = 0;
  size_t i = 0;
  for (; i < n && st != cs_done; i++) {
    char c = p[i];
    if (st == cs_data) {
      size_t k = n - i < left ? n - i : size_t (left);
      *doff = i;
      *dlen = k;
      if (!(left -= k))
        st = cs_datacr;
      *used = i + k;
      return 0;
    }
    if (st <= cs_sizelf && ++linelen > chunkline_max)
      return -1;
    if (st >= cs_trailer && ++trailers > trailer_max)
      return -1;
    int h;
    switch (st) {
    case cs_size:
      if ((h = hexval (c)) >= 0) {
        if (++digits > 16 || (left = left * 16 + h) > body_max)
          return -1;
        break;
      }
      if (!digits)
        return -1;
      st = c == '\r' ? cs_sizelf : c == ';' ? cs_ext : blank (c) ? cs_bws : -1;
      if (st < 0)
        return -1;
      break;
    case cs_bws:
      if (c == ';')
        st = cs_ext;
      else if (!blank (c))
        return -1;
      break;
    case cs_ext:
      if (c == '\r')
        st = cs_sizelf;
      else if (ctl (c))
        return -1;
      break;
    case cs_sizelf:
      if (c != '\n')
        return -1;
      st = left ? cs_data : cs_trailer;
      linelen = 0;
      digits = 0;
      break;
    case cs_datacr:
      if (c != '\r')
        return -1;
      st = cs_datalf;
      break;
    case cs_datalf:
      if (c != '\n')
        return -1;
      st = cs_size;
      break;
    case cs_trailer:
      if (c == '\r')
        st = cs_trlf;
      else if (ctl (c))
        return -1;
      else
        linelen++;
      break;
    case cs_trlf:
      if (c != '\n')
        return -1;
      st = linelen ? cs_trailer : cs_done;
      linelen = 0;
      break;
    }
  }
  *used = i;
  return st == cs_done ? 1 : 0;
}

// ---- Hop-by-hop headers ----

bool
hastoken (const vec<str> &values, const char *tok)
{
  size_t tl = strlen (tok);
  bool found = false;
  for (size_t i = 0; i < values.size () && !found; i++)
    eachelement (values[i], [&] (const char *p, size_t n) {
      found = found || (n == tl && !strncasecmp (p, tok, n));
      return true;
    });
  return found;
}

// Whether the name of n bytes at p (any case) is one of the NUL-separated
// lower-case names in list.
static bool
inlist (const char *p, size_t n, const char *list)
{
  for (; *list; list += strlen (list) + 1)
    if (strlen (list) == n && !strncasecmp (p, list, n))
      return true;
  return false;
}

static const char hopnames[] =
    "connection\0keep-alive\0proxy-connection\0te\0trailer\0upgrade\0"
    "proxy-authorization\0transfer-encoding\0";

str
passlines (const str &raw, const vec<str> &connection, const char *drop,
           bool *date)
{
  strbuf out;
  const char *p = raw.cstr (), *e = p + raw.len ();
  const char *nl = static_cast<const char *> (memchr (p, '\n', e - p));
  p = nl ? nl + 1 : e; // the start line
  if (date)
    *date = false;
  while (p < e) {
    nl = static_cast<const char *> (memchr (p, '\n', e - p));
    const char *end = nl ? nl : e, *next = nl ? nl + 1 : e;
    if (end > p && end[-1] == '\r')
      end--;
    const char *colon = static_cast<const char *> (memchr (p, ':', end - p));
    size_t n = colon ? colon - p : 0;
    str name (p, n);
    bool hop = inlist (p, n, hopnames) || inlist (p, n, drop) ||
               hastoken (connection, name);
    if (colon && !hop) {
      out.buf (p, end - p) << "\r\n";
      if (date && n == 4 && !strncasecmp (p, "date", 4))
        *date = true;
    }
    p = next;
  }
  return out;
}

bool
httptarget (const char *p, size_t n)
{
  if (n < 8 || strncasecmp (p, "http://", 7))
    return false;
  size_t i = 7, h = 7;
  while (i < n && (isalnum ((unsigned char) p[i]) || p[i] == '.' ||
                   p[i] == '-' || p[i] == '_'))
    i++;
  if (i == h)
    return false;
  if (i < n && p[i] == ':') {
    size_t d = ++i;
    while (i < n && p[i] >= '0' && p[i] <= '9')
      i++;
    if (i == d || i - d > 5)
      return false;
  }
  return i == n || p[i] == '/';
}
