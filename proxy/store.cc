// The memory cache; see store.h.
#include "proxy/store.h"

#include "async/err.h"

#include <algorithm>

hash_t
strhash::operator() (const str &s) const
{
  uint32_t h = 2166136261u; // FNV-1a
  for (size_t i = 0; i < s.len (); i++)
    h = (h ^ uint8_t (s[i])) * 16777619u;
  return hash_t (h);
}

// ---- Objects ----

cobj::cobj (const str &u, const str &sec)
    : st (nullptr), _secondary (sec), firstpiece (0), firstbyte (0),
      _bodylen (0), accounted (0), _complete (false), _aborted (false),
      rfirst (nullptr), rlast (nullptr), nreaders (0), lprev (nullptr),
      lnext (nullptr), url (u)
{
}

cobj::~cobj ()
{
  libassert (!st && !rfirst);
}

size_t
cobj::size () const
{
  size_t n = cobj_overhead + url.len () + _secondary.len () +
             (_head ? _head.len () : 0) + pieces.size () * piece_overhead;
  for (size_t i = 0; i < vary.size (); i++)
    n += piece_overhead + vary[i].len ();
  return n + size_t (_bodylen - firstbyte);
}

uint64_t
cobj::lag () const
{
  uint64_t least = _bodylen;
  for (creader *r = rfirst; r; r = r->next)
    least = std::min (least, r->off);
  return _bodylen - (rfirst ? least : firstbyte);
}

// Runs every reader's callback once.  A callback may destroy readers (its
// own or others), so each round moves the reader it wakes to the back and
// always takes the front one that this round has not reached.
void
cobj::wake ()
{
  static uint64_t gen;
  uint64_t g = ++gen;
  while (creader *r = rfirst) {
    if (r->wakegen == g)
      break;
    r->wakegen = g;
    if (r != rlast) { // to the back
      rfirst = r->next;
      rfirst->prev = nullptr;
      r->prev = rlast;
      r->next = nullptr;
      rlast->next = r;
      rlast = r;
    }
    if (r->cb) {
      cbv c = cbv (r->cb);
      (*c) ();
    }
  }
}

// A detached object keeps only the pieces some reader still needs.
void
cobj::trim ()
{
  uint64_t least = UINT64_MAX;
  for (creader *r = rfirst; r; r = r->next)
    least = std::min (least, r->piece);
  least = std::min<uint64_t> (least, firstpiece + pieces.size ());
  while (firstpiece < least) {
    firstbyte += pieces.front ().len ();
    pieces.pop_front ();
    firstpiece++;
  }
}

// ---- Readers ----

creader::creader (const ref<cobj> &obj, cbv::ptr c)
    : o (obj), off (0), piece (0), inpiece (0), cb (c), wakegen (0),
      prev (o->rlast), next (nullptr)
{
  libassert (o->firstpiece == 0); // a detached object takes no new reader
  (o->rlast ? o->rlast->next : o->rfirst) = this;
  o->rlast = this;
  o->nreaders++;
}

creader::~creader ()
{
  (prev ? prev->next : o->rfirst) = next;
  (next ? next->prev : o->rlast) = prev;
  o->nreaders--;
  if (!o->st)
    o->trim ();
}

int
creader::state () const
{
  if (off == o->_bodylen && o->_complete)
    return 1;
  return o->_aborted ? -1 : 0;
}

int
creader::iov (iovec *v, int max) const
{
  int n = 0;
  size_t skip = inpiece;
  for (uint64_t i = piece - o->firstpiece; i < o->pieces.size () && n < max;
       i++) {
    const str &p = o->pieces[i];
    v[n].iov_base = const_cast<char *> (p.cstr ()) + skip;
    v[n].iov_len = p.len () - skip;
    skip = 0;
    n++;
  }
  return n;
}

void
creader::advance (uint64_t n)
{
  libassert (n <= avail ());
  off += n;
  while (n) {
    const str &p = o->pieces[piece - o->firstpiece];
    size_t step = size_t (std::min<uint64_t> (n, p.len () - inpiece));
    inpiece += step;
    n -= step;
    if (inpiece == p.len ())
      piece++, inpiece = 0;
  }
  if (!o->st)
    o->trim ();
}

size_t
creader::fill (suio *out, size_t max)
{
  size_t done = 0;
  while (done < max && avail ()) {
    const str &p = o->pieces[piece - o->firstpiece];
    size_t n = std::min (max - done, p.len () - inpiece);
    if (inpiece == 0 && n == p.len ())
      suio_print (out, p);
    else
      out->copy (p.cstr () + inpiece, n);
    advance (n);
    done += n;
  }
  return done;
}

// ---- The store ----

cstore::cstore (size_t mb, size_t mo)
    : lfirst (nullptr), llast (nullptr), _bytes (0), maxbytes (mb),
      maxobject (std::min (mo, mb)), evictions (0), toolarge (0)
{
}

cstore::~cstore ()
{
  while (lfirst)
    remove (lfirst);
}

void
cstore::link (cobj *o)
{
  o->lprev = nullptr;
  o->lnext = lfirst;
  (lfirst ? lfirst->lprev : llast) = o;
  lfirst = o;
}

void
cstore::unlink (cobj *o)
{
  (o->lprev ? o->lprev->lnext : lfirst) = o->lnext;
  (o->lnext ? o->lnext->lprev : llast) = o->lprev;
  o->lprev = o->lnext = nullptr;
}

// Recounts o's bytes after a change and makes room, o itself last.
void
cstore::account (cobj *o)
{
  size_t n = o->size ();
  _bytes = _bytes - o->accounted + n;
  o->accounted = n;
  if (n > maxobject) {
    toolarge++;
    remove (o);
    return;
  }
  evict (o);
}

// Evicts from the least recently used end until the bytes fit, sparing
// keep while anything else is left.
void
cstore::evict (const cobj *keep)
{
  for (cobj *o = llast; _bytes > maxbytes && o;) {
    cobj *prev = o->lprev;
    if (o != keep) {
      evictions++;
      remove (o);
    }
    o = prev;
  }
}

ptr<cobj>
cstore::lookup (const str &url, const str &secondary)
{
  for (cobj *o = tab[url]; o; o = tab.nextkeq (o))
    if (o->_secondary == secondary) {
      unlink (o);
      link (o);
      return o->self;
    }
  return nullptr;
}

const vec<str> *
cstore::vary (const str &url) const
{
  cobj *o = tab[url];
  return o ? &o->vary : nullptr;
}

ptr<cobj>
cstore::pending (const str &url, const str &secondary)
{
  ptr<cobj> o = new refcounted<cobj> (url, secondary);
  if (const vec<str> *v = vary (url))
    o->vary = *v;
  if (ptr<cobj> old = lookup (url, secondary))
    remove (old);
  o->st = this;
  o->self = o;
  tab.insert (o);
  link (o);
  account (o);
  return o;
}

int
cstore::sethead (ptr<cobj> o, const str &head, const cachemeta &m,
                 const vec<str> &vary, const str &secondary)
{
  if (o->_head || o->_complete || o->_aborted)
    panic ("cstore::sethead: the object has its head\n");
  o->_head = head;
  o->meta = m;
  o->vary = vary;
  o->_secondary = secondary;
  if (o->st) {
    for (cobj *x = tab[o->url]; x; x = tab.nextkeq (x))
      if (x != o && x->_secondary == secondary) {
        remove (x);
        break;
      }
    unlink (o);
    link (o);
    account (o);
  }
  o->wake ();
  return o->st != nullptr;
}

ptr<cobj>
cstore::create (const str &url, const str &secondary, const str &head,
                const cachemeta &m, const vec<str> &vary)
{
  size_t n = cobj_overhead + url.len () + secondary.len () + head.len ();
  for (size_t i = 0; i < vary.size (); i++)
    n += piece_overhead + vary[i].len ();
  if (n > maxobject) {
    toolarge++;
    return nullptr;
  }
  ptr<cobj> o = pending (url, secondary);
  sethead (o, head, m, vary, secondary);
  return o;
}

int
cstore::append (ptr<cobj> o, const str &piece)
{
  if (o->_complete || o->_aborted || !o->_head)
    panic ("cstore::append: the object is %s\n", o->_complete ? "complete"
                                                 : o->_aborted
                                                     ? "aborted"
                                                     : "without its head");
  if (!piece.len ())
    return o->st != nullptr;
  o->pieces.push_back (piece);
  o->_bodylen += piece.len ();
  if (o->st)
    account (o);
  if (!o->st)
    o->trim ();
  o->wake ();
  return o->st != nullptr;
}

void
cstore::finish (ptr<cobj> o)
{
  if (o->_aborted || !o->_head)
    panic ("cstore::finish: the object is %s\n",
           o->_aborted ? "aborted" : "without its head");
  o->_complete = true;
  o->wake ();
}

void
cstore::abort (ptr<cobj> o)
{
  if (o->_complete)
    panic ("cstore::abort: the object is complete\n");
  o->_aborted = true;
  if (o->st)
    remove (o);
  o->wake ();
}

void
cstore::update (ptr<cobj> o, const str &head, const cachemeta &m)
{
  if (!o->_head)
    panic ("cstore::update: the object is without its head\n");
  o->_head = head;
  o->meta = m;
  if (!o->st)
    return;
  unlink (o);
  link (o);
  account (o);
}

void
cstore::remove (cobj *o)
{
  libassert (o->st == this);
  ptr<cobj> hold = o->self;
  tab.remove (o);
  unlink (o);
  _bytes -= o->accounted;
  o->accounted = 0;
  o->st = nullptr;
  o->self = nullptr;
  o->trim ();
}

int
cstore::invalidate (const str &url)
{
  int n = 0;
  while (cobj *o = tab[url]) {
    remove (o);
    n++;
  }
  return n;
}

void
cstore::check () const
{
  size_t n = 0, bytes = 0;
  for (const cobj *o = lfirst, *prev = nullptr; o; prev = o, o = o->lnext) {
    libassert (o->lprev == prev && (o->lnext || o == llast));
    libassert (o->st == this && o->self.get () == o && tab.present (o));
    libassert (o->accounted == o->size () && o->firstpiece == 0);
    libassert (!o->_aborted);
    size_t len = 0;
    for (size_t i = 0; i < o->pieces.size (); i++)
      len += o->pieces[i].len ();
    libassert (len == o->_bodylen);
    size_t readers = 0;
    for (const creader *r = o->rfirst, *rp = nullptr; r; rp = r, r = r->next) {
      libassert (r->prev == rp && (r->next || r == o->rlast));
      libassert (r->o.get () == o && r->off <= o->_bodylen);
      readers++;
    }
    libassert (readers == o->nreaders);
    bytes += o->accounted;
    n++;
  }
  libassert (!lfirst || !lfirst->lprev);
  libassert (n == tab.size () && bytes == _bytes && _bytes <= maxbytes);
  tab.check ();
}
