#include "suio.h"
#include "err_internal.h"
#include "malloc.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <unistd.h>

static_assert (suio::areaunit && !(suio::areaunit & (suio::areaunit - 1)),
               "scratch areas are sized in powers of two");
static_assert (suio::defbufsize < suio::areaunit - suio::areaslack,
               "a heap area holds more than defbuf");

size_t
iovsize (const iovec *iov, size_t cnt)
{
  size_t n = 0;
  for (const iovec *e = iov + cnt; iov < e; iov++)
    n += iov->iov_len;
  return n;
}

static void
advance (iovec &v, size_t n)
{
  v.iov_base = static_cast<char *> (v.iov_base) + n;
  v.iov_len -= n;
}

// memcpy that accepts the null base of an empty range.
static char *
put (char *d, const iovec &v, size_t n)
{
  if (n)
    memcpy (d, v.iov_base, n);
  return d + n;
}

iovmgr::iovmgr (const iovec *v, ssize_t cnt)
{
  if (cnt > 0) {
    cur = v[0];
    iov = v + 1;
    lim = v + cnt;
  } else {
    iov = lim = nullptr;
    cur = iovec{nullptr, 0};
  }
}

void
iovmgr::skip (size_t n)
{
  if (n < cur.iov_len) {
    advance (cur, n);
    return;
  }
  n -= cur.iov_len;
  while (iov < lim && n >= iov->iov_len)
    n -= iov++->iov_len;
  if (!n)
    cur = iovec{nullptr, 0};
  else if (iov < lim && n <= iov->iov_len) {
    cur = *iov++;
    advance (cur, n);
  } else
    panic ("iovmgr: skip value larger than iovsize\n");
}

size_t
iovmgr::copyout (void *buf, size_t len)
{
  char *d = static_cast<char *> (buf);
  if (len < cur.iov_len) {
    put (d, cur, len);
    advance (cur, len);
    return len;
  }
  d = put (d, cur, cur.iov_len);
  len -= cur.iov_len;
  for (; iov < lim && iov->iov_len <= len; iov++) {
    d = put (d, *iov, iov->iov_len);
    len -= iov->iov_len;
  }
  if (iov == lim)
    cur = iovec{nullptr, 0};
  else {
    cur = *iov++;
    d = put (d, cur, len);
    advance (cur, len);
  }
  return d - static_cast<char *> (buf);
}

size_t
iovmgr::size () const
{
  return cur.iov_len + iovsize (iov, lim - iov);
}

void *
suio::default_allocator (size_t n)
{
  return xmalloc (n);
}

void
suio::default_deallocator (void *p, size_t)
{
  free (p);
}

suio::suio ()
    : uiobytes (0), nrembytes (0), nremiov (0), lastiovend (nullptr),
      scratch_buf (defbuf), scratch_pos (defbuf),
      scratch_lim (defbuf + defbufsize), allocator (default_allocator),
      deallocator (default_deallocator)
{
}

suio::~suio ()
{
  clear ();
}

void
suio::clear ()
{
  // A callback run here may queue more bytes: consume those too, so that
  // no range outlives the area freed below and no retire callback is
  // dropped (which would leak its area).
  while (uiobytes)
    rembytes (uiobytes);
  if (!isdefbuf ())
    deallocator (scratch_buf, scratch_lim - scratch_buf);
  scratch_buf = scratch_pos = defbuf;
  scratch_lim = defbuf + defbufsize;
  lastiovend = nullptr;
  iovs.clear ();
  uiocbs.clear ();
}

// Size of a heap area with at least n free bytes: the smallest multiple of
// areaunit not below n + areaslack, less areaslack.
static size_t
areasize (size_t n)
{
  if (n > SIZE_MAX - suio::areaslack - (suio::areaunit - 1))
    xmalloc_failed (n);
  return ((n + suio::areaslack + suio::areaunit - 1) & ~(suio::areaunit - 1)) -
         suio::areaslack;
}

// Hands a heap scratch area to a callback that frees it once the bytes
// queued so far are consumed (at once when none are).  defbuf stays.
void
suio::retire ()
{
  if (!isdefbuf ())
    iovcb (wrap (deallocator, static_cast<void *> (scratch_buf),
                 size_t (scratch_lim - scratch_buf)));
}

void
suio::morescratch (size_t n)
{
  size_t s = areasize (n);
  retire ();
  scratch_buf = scratch_pos = static_cast<char *> (allocator (s));
  scratch_lim = scratch_buf + s;
}

// Copies len bytes of a piece (out (dst, off, n) writes its bytes
// [off, off + n) to dst) into scratch space.  A tail under 128 bytes that
// would start a range of its own is abandoned for a new area.
template <class F>
void
suio::slowput (size_t len, F out)
{
  size_t space = scratch_lim - scratch_pos, done = 0;
  if (len > space) {
    if (space >= defbufsize || scratch_pos == lastiovend) {
      out (scratch_pos, 0, space);
      pushiov (scratch_pos, space);
      done = space;
    }
    morescratch (len - done);
  }
  out (scratch_pos, done, len - done);
  pushiov (scratch_pos, len - done);
}

void
suio::slowcopy (const void *p, size_t len)
{
  const char *s = static_cast<const char *> (p);
  slowput (len, [s] (char *d, size_t off, size_t n) {
    if (n)
      memcpy (d, s + off, n);
  });
}

void
suio::slowfill (char c, size_t len)
{
  slowput (len, [c] (char *d, size_t, size_t n) { memset (d, c, n); });
}

void
suio::iovcb (cbv cb)
{
  if (!uiobytes)
    cb ();
  else
    uiocbs.push_back (uiocb{cb, nrembytes + uiobytes});
}

// The queue is re-read after every call: a callback may append, consume
// or register callbacks itself.
void
suio::makeuiocbs ()
{
  while (!uiocbs.empty () && uiocbs.front ().nbytes <= nrembytes) {
    cbv cb = uiocbs.front ().cb;
    uiocbs.popn_front (1);
    cb ();
  }
}

void
suio::rembytes (size_t n)
{
  stdassert (n <= uiobytes);
  nrembytes += n;
  uiobytes -= n;
  iovec *iov = iovs.base (), *end = iovs.lim ();
  for (; iov < end && n >= iov->iov_len; iov++)
    n -= iov->iov_len;
  if (n) {
    stdassert (iov < end);
    advance (*iov, n);
  }
  size_t k = iov - iovs.base ();
  iovs.popn_front (k);
  nremiov += k;
  if (iovs.empty ()) {
    scratch_pos = scratch_buf;
    lastiovend = nullptr;
  }
  makeuiocbs ();
}

int
suio::output (int fd, int cnt)
{
  uint64_t start = nrembytes;
  ssize_t r = 0;
  if (cnt < 0) {
    while (!iovs.empty ()) {
      r = writev (fd, iovs.base (), std::min (iovs.size (), maxwritev));
      if (r <= 0)
        break;
      rembytes (r);
    }
  } else {
    stdassert ((size_t) cnt <= iovs.size ());
    uint64_t target = nremiov + cnt;
    // A callback run by rembytes may consume ranges itself: never pass
    // writev more ranges than are queued.
    while (nremiov < target && !iovs.empty ()) {
      size_t k = std::min<uint64_t> (target - nremiov, iovs.size ());
      r = writev (fd, iovs.base (), std::min (k, maxwritev));
      if (r <= 0)
        break;
      rembytes (r);
    }
  }
  if (r < 0 && errno != EAGAIN)
    return -1;
  return nrembytes > start;
}

ssize_t
suio::input (int fd, size_t len)
{
  size_t space = scratch_lim - scratch_pos;
  if (len > space && !space) {
    morescratch (len);
    space = scratch_lim - scratch_pos;
  }
  if (len <= space) {
    ssize_t r = read (fd, scratch_pos, len);
    if (r > 0)
      pushiov (scratch_pos, r);
    return r;
  }
  // Fill the tail of this area and a fresh one with one readv.
  size_t s = areasize (len - space);
  char *area = static_cast<char *> (allocator (s));
  iovec v[2] = {{scratch_pos, space}, {area, len - space}};
  ssize_t r = readv (fd, v, 2);
  if (r > ssize_t (space)) {
    pushiov (scratch_pos, space);
    stdassert (scratch_pos == scratch_lim);
    retire ();
    scratch_buf = scratch_pos = area;
    scratch_lim = area + s;
    pushiov (area, r - space);
  } else {
    if (r > 0)
      pushiov (scratch_pos, r);
    deallocator (area, s);
  }
  return r;
}

void
suio::copyv (const iovec *iov, size_t cnt, size_t skip)
{
  // Ranges of this very buffer (copyu (this)) change as we append: copy
  // their descriptions first.
  std::less<const iovec *> lt;
  if (cnt && lt (iov, iovs.lim ()) && lt (iovs.base (), iov + cnt)) {
    vec<iovec, 4> snap;
    for (size_t i = 0; i < cnt; i++)
      snap.push_back (iov[i]);
    copyvx (snap.base (), cnt, skip);
  } else
    copyvx (iov, cnt, skip);
}

void
suio::copyvx (const iovec *iov, size_t cnt, size_t skip)
{
  iovmgr m (iov, cnt);
  m.skip (skip);
  size_t space = scratch_lim - scratch_pos;
  if (scratch_pos == lastiovend || space >= defbufsize)
    pushiov (scratch_pos, m.copyout (scratch_pos, space));
  if (size_t rest = m.size ()) {
    morescratch (rest);
    m.copyout (scratch_pos, rest);
    pushiov (scratch_pos, rest);
  }
}

bool
suio::overlapsdefbuf (const iovec &v) const
{
  std::less<const char *> lt;
  const char *b = static_cast<const char *> (v.iov_base);
  return lt (b, defbuf + defbufsize) && lt (defbuf, b + v.iov_len);
}

void
suio::take (suio *o)
{
  if (o == this)
    return;
  uint64_t d = nrembytes + uiobytes - o->nrembytes;
  uint64_t opos = o->nrembytes; // o's position of the range being moved
  size_t n = o->uiobytes;
  o->nrembytes += n;
  o->nremiov += o->iovs.size ();
  o->uiobytes = 0;
  // Each callback goes in when the bytes before it are queued, as iovcb
  // would have put it: a copy below may start a new area and queue its
  // retire callback, and the queue must stay in position order.  A copied
  // range is copied in pieces split where callbacks fall inside it (its
  // small appends coalesced into one range in o).
  const uiocb *cb = o->uiocbs.base (), *cbe = o->uiocbs.lim ();
  for (const iovec *v = o->iovs.base (); v < o->iovs.lim (); v++) {
    const char *b = static_cast<const char *> (v->iov_base);
    bool copied = o->overlapsdefbuf (*v);
    for (size_t len = v->iov_len, k; len; b += k, len -= k, opos += k) {
      for (; cb < cbe && cb->nbytes <= opos; cb++)
        uiocbs.push_back (uiocb{cb->cb, cb->nbytes + d});
      k = copied && cb < cbe ? std::min<uint64_t> (len, cb->nbytes - opos)
                             : len;
      if (copied)
        copy (b, k);
      else
        pushiov (b, k);
    }
  }
  for (; cb < cbe; cb++)
    uiocbs.push_back (uiocb{cb->cb, cb->nbytes + d});
  o->iovs.clear ();
  o->uiocbs.clear ();
  // o's heap area may hold bytes now queued here: free it with o's
  // deallocator once they are consumed.
  if (!o->isdefbuf ()) {
    size_t s = o->scratch_lim - o->scratch_buf;
    if (n)
      iovcb (wrap (o->deallocator, static_cast<void *> (o->scratch_buf), s));
    else
      o->deallocator (o->scratch_buf, s);
  }
  o->scratch_buf = o->scratch_pos = o->defbuf;
  o->scratch_lim = o->defbuf + defbufsize;
  o->lastiovend = nullptr;
}

char *
suio::getspace_aligned (size_t n)
{
  const size_t a = alignof (std::max_align_t);
  size_t pad = -reinterpret_cast<uintptr_t> (scratch_pos) & (a - 1);
  size_t space = scratch_lim - scratch_pos;
  if (pad > space || n > space - pad) {
    if (n > SIZE_MAX - a)
      xmalloc_failed (n);
    morescratch (n + a - 1);
    pad = -reinterpret_cast<uintptr_t> (scratch_pos) & (a - 1);
  }
  // The skipped bytes are never queued, so the next range cannot extend
  // the last one across them.
  scratch_pos += pad;
  return scratch_pos;
}

size_t
suio::linelen () const
{
  size_t n = 0;
  for (const iovec *v = iov (); v < iovlim (); v++) {
    const char *b = static_cast<const char *> (v->iov_base);
    if (const char *nl =
            static_cast<const char *> (memchr (b, '\n', v->iov_len)))
      return n + (nl - b) + 1;
    n += v->iov_len;
  }
  return 0;
}

size_t
suio::copyout (void *buf, size_t len) const
{
  iovmgr m (iov (), iovcnt ());
  return m.copyout (buf, std::min (len, uiobytes));
}

const char *
suio::check () const
{
  std::less<const char *> lt;
  if (!(scratch_buf <= scratch_pos && scratch_pos <= scratch_lim))
    return "scratch_pos lies outside the scratch area";
  if (isdefbuf () ? scratch_lim != defbuf + defbufsize
                  : (scratch_lim - scratch_buf + areaslack) % areaunit)
    return "scratch area of the wrong size";
  size_t n = 0;
  for (const iovec *v = iov (); v < iovlim (); v++) {
    const char *b = static_cast<const char *> (v->iov_base);
    if (!v->iov_len)
      return "an empty range is queued";
    if (lt (b, scratch_lim) && lt (scratch_pos, b + v->iov_len))
      return "a queued range reaches into free scratch space";
    n += v->iov_len;
  }
  if (n != uiobytes)
    return "uiobytes is not the sum of the ranges";
  const char *end = nullptr;
  if (!iovs.empty ())
    end = static_cast<char *> (iovs.back ().iov_base) + iovs.back ().iov_len;
  if (lastiovend && lastiovend != end)
    return "lastiovend is not the end of the last range";
  uint64_t prev = nrembytes;
  for (const uiocb *c = uiocbs.base (); c < uiocbs.lim (); prev = c++->nbytes) {
    if (c->nbytes <= nrembytes)
      return "a due callback is still pending";
    if (c->nbytes < prev)
      return "callbacks out of position order";
    if (c->nbytes > nrembytes + uiobytes)
      return "a callback lies beyond the queued bytes";
  }
  return nullptr;
}

char *
suio_flatten (const suio *uio)
{
  char *p = static_cast<char *> (xmalloc (uio->resid ()));
  uio->copyout (p);
  return p;
}
