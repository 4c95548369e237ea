// suio against std::string: the input is a sequence of appends (by copy,
// by reference, as fills, from iovecs, from the other buffer, through
// getspace, from a pipe), consumptions (rembytes, output to a pipe),
// transfers (take), completion callbacks and clears on two buffers, a and
// o.  Each buffer has a model: the bytes it should hold, its stream
// position and the callbacks still due.  A callback may append a short tag
// to either buffer when it runs, as a real one queues a reply.  After
// every step: suio::check () on both, their bytes, sizes and positions,
// the callbacks run so far in the order they should have run, and scratch
// areas freed exactly once with their size.
#include "async/suio.h"
#include "fuzz/fuzz.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const size_t maxheld = 48 * 1024; // per buffer: keeps each step cheap

// Scratch areas handed out and not yet given back, with their sizes.
std::map<void *, size_t> areas;

void *
countalloc (size_t n)
{
  void *p = malloc (n);
  areas[p] = n;
  return p;
}

void
countfree (void *p, size_t n)
{
  auto i = areas.find (p);
  FUZZ_CHECK (i != areas.end (), "area %p freed twice or never allocated", p);
  FUZZ_CHECK (i->second == n, "area of %zu bytes freed as %zu", i->second, n);
  areas.erase (i);
  free (p);
}

// Stable bytes for pieces queued by reference.
const std::string &
pool ()
{
  static const std::string p = [] {
    std::string s (1 << 16, 0);
    uint32_t x = 1;
    for (char &c : s) {
      x = x * 1103515245 + 12345;
      c = (x >> 16) % 10 ? 'a' + (x >> 8) % 26 : '\n';
    }
    return s;
  }();
  return p;
}

std::vector<int> fired, due; // callback ids: as run, as the models say

// A callback's tag: what it appends to its target when it runs.
std::string
tag (int id)
{
  return "<" + std::to_string (id) + ">";
}

struct model {
  struct pend {
    uint64_t at; // position at which it falls due
    int id;
    model *target; // buffer it appends its tag to, or null
  };
  suio u;
  std::string m;
  uint64_t pos = 0; // byteno
  std::deque<pend> pending;
  const char *name;

  explicit model (const char *n) : name (n)
  {
    u.allocator = countalloc;
    u.deallocator = countfree;
  }
  // The front n bytes are gone: run what falls due, in order.
  void consumed (size_t n)
  {
    m.erase (0, n);
    pos += n;
    while (!pending.empty () && pending.front ().at <= pos) {
      pend p = pending.front ();
      pending.pop_front ();
      due.push_back (p.id);
      if (p.target)
        p.target->m += tag (p.id);
    }
  }
  // Bytes that left the buffer at its front: what it held, in order.
  void wentout (const std::string &out)
  {
    for (size_t done = 0, k; done < out.size (); done += k) {
      k = std::min (out.size () - done, m.size ());
      FUZZ_CHECK (k && !out.compare (done, k, m, 0, k),
                  "%s: wrong bytes left the buffer at %zu", name, done);
      consumed (k);
    }
  }
  void clear ()
  {
    do
      consumed (m.size ()); // a callback may append to this buffer
    while (!m.empty ());
    FUZZ_CHECK (pending.empty (), "%s: callbacks left after clear", name);
  }
  void verify (int step)
  {
    const char *err = u.check ();
    FUZZ_CHECK (!err, "%s: %s at step %d", name, err, step);
    FUZZ_CHECK (u.resid () == m.size () && u.byteno () == pos,
                "%s: %zu bytes at %llu, model %zu at %llu, step %d", name,
                u.resid (), (unsigned long long) u.byteno (), m.size (),
                (unsigned long long) pos, step);
    std::string got;
    for (const iovec *v = u.iov (); v < u.iovlim (); v++)
      got.append (static_cast<const char *> (v->iov_base), v->iov_len);
    FUZZ_CHECK (got == m, "%s: the ranges hold other bytes, step %d", name,
                step);
  }
};

void
note (int id, suio *target)
{
  fired.push_back (id);
  if (target) {
    std::string t = tag (id);
    target->copy (t.data (), t.size ());
  }
}

// A nonblocking pipe for input and output, drained after each use.
struct fdpair {
  int r = -1, w = -1;
  fdpair ()
  {
    int fds[2];
    FUZZ_CHECK (pipe (fds) == 0, "pipe: %s", strerror (errno));
    r = fds[0], w = fds[1];
    fcntl (r, F_SETFL, O_NONBLOCK);
    fcntl (w, F_SETFL, O_NONBLOCK);
  }
  std::string drain ()
  {
    std::string s;
    char buf[8192];
    ssize_t n;
    while ((n = read (r, buf, sizeof (buf))) > 0)
      s.append (buf, n);
    return s;
  }
};

size_t
piecelen (fuzzin &in)
{
  switch (in.byte () % 8) {
  case 0:
    return in.u16 () % 20000;
  case 1:
  case 2:
    return 100 + in.byte () % 60; // around the 128-byte copy limit
  default:
    return in.byte () % 40;
  }
}

// One operation on a; o is the other buffer.
void
step (fuzzin &in, model &a, model &o, int &nextid, fdpair &p)
{
  const std::string &src = pool ();
  size_t len = piecelen (in);
  if (a.m.size () + len > maxheld)
    len = 0;
  size_t off = in.below (src.size () - len);
  switch (in.byte () % 16) {
  case 0:
    a.u.copy (&src[off], len);
    a.m.append (src, off, len);
    break;
  case 1:
    a.u.print (&src[off], len);
    a.m.append (src, off, len);
    break;
  case 2: {
    char c = 'A' + in.byte () % 26;
    a.u.fill (c, len);
    a.m.append (len, c);
    break;
  }
  case 3: {
    iovec v[4];
    size_t cnt = in.byte () % 5, total = 0;
    for (size_t i = 0; i < cnt; i++) {
      size_t n = piecelen (in) % 3000;
      v[i] = iovec{const_cast<char *> (&src[in.below (src.size () - n)]), n};
      total += n;
    }
    size_t skip = in.below (total + 1);
    if (a.m.size () + total - skip > maxheld)
      break;
    a.u.copyv (v, cnt, skip);
    for (size_t i = 0; i < cnt; i++)
      a.m.append (static_cast<const char *> (v[i].iov_base), v[i].iov_len);
    a.m.erase (a.m.size () - total, skip);
    break;
  }
  case 4: {
    model &from = in.byte () % 4 ? o : a; // itself too
    if (a.m.size () + from.m.size () > maxheld)
      break;
    a.u.copyu (&from.u);
    a.m += from.m;
    break;
  }
  case 5: {
    if (in.byte () % 8 == 0) {
      a.u.take (&a.u); // changes nothing
      break;
    }
    if (a.m.size () + o.m.size () > maxheld)
      break;
    uint64_t d = a.pos + a.m.size () - o.pos;
    for (auto &e : o.pending)
      a.pending.push_back ({e.at + d, e.id, e.target});
    a.u.take (&o.u);
    a.m += o.m;
    o.pos += o.m.size ();
    o.m.clear ();
    o.pending.clear ();
    break;
  }
  case 6:
  case 7: {
    size_t n = in.byte () % 4 ? in.byte () % 50 : in.below (a.m.size () + 1);
    n = std::min (n, a.m.size ());
    a.u.rembytes (n);
    a.consumed (n);
    break;
  }
  case 8: {
    int id = nextid++, t = in.byte () % 3;
    model *target = t == 0 ? nullptr : t == 1 ? &a : &o;
    a.u.iovcb (wrap (note, id, target ? &target->u : nullptr));
    a.pending.push_back ({a.pos + a.m.size (), id, target});
    a.consumed (0); // due at once when the buffer is empty
    break;
  }
  case 9:
  case 10: {
    bool aligned = in.byte () & 1;
    char *sp = aligned ? a.u.getspace_aligned (len) : a.u.getspace (len);
    FUZZ_CHECK (a.u.fastspace () >= len, "getspace (%zu) gave %zu bytes", len,
                a.u.fastspace ());
    FUZZ_CHECK (!aligned || !(reinterpret_cast<uintptr_t> (sp) %
                              alignof (std::max_align_t)),
                "getspace_aligned gave %p", static_cast<void *> (sp));
    size_t k = in.below (len + 1);
    memcpy (sp, &src[off], k);
    a.u.pushiov (sp, k);
    a.m.append (src, off, k);
    break;
  }
  case 11:
    if (in.byte () % 8)
      a.u.breakiov ();
    else {
      a.u.clear ();
      a.clear ();
    }
    break;
  case 12: { // w bytes wait in the pipe; input asks for want
    len = std::min<size_t> (len, 8000);
    size_t w = in.byte () % 4 ? len : in.below (len + 1);
    size_t want = in.byte () % 2 ? len : in.below (len + 1);
    FUZZ_CHECK (write (p.w, &src[off], w) == ssize_t (w), "pipe write");
    ssize_t got = a.u.input (p.r, want);
    ssize_t expect = !want ? 0 : !w ? -1 : ssize_t (std::min (w, want));
    FUZZ_CHECK (got == expect, "input (%zu) with %zu bytes waiting gave %zd",
                want, w, got);
    std::string rest = p.drain ();
    a.u.copy (rest.data (), rest.size ());
    a.m.append (src, off, w);
    break;
  }
  case 13: { // output into a pipe that may be (nearly) full already
    size_t fill = in.byte () % 4 ? 0 : in.below (65537);
    std::string junk (fill, '#');
    ssize_t f = fill ? write (p.w, junk.data (), fill) : 0;
    int cnt = in.byte () % 2 ? -1 : int (in.below (a.u.iovcnt () + 1));
    int r = a.u.output (p.w, cnt);
    std::string out = p.drain ().substr (f > 0 ? f : 0);
    FUZZ_CHECK (r == !out.empty (), "output returned %d, wrote %zu bytes", r,
                out.size ());
    a.wentout (out);
    break;
  }
  case 14: {
    size_t nl = a.m.find ('\n');
    size_t want = nl == a.m.npos ? 0 : nl + 1;
    FUZZ_CHECK (a.u.linelen () == want, "linelen %zu, model %zu",
                a.u.linelen (), want);
    size_t k = in.below (a.m.size () + 2);
    std::string buf (k, '\0');
    size_t n = a.u.copyout (&buf[0], k);
    FUZZ_CHECK (n == std::min (k, a.m.size ()) &&
                    !buf.compare (0, n, a.m, 0, n),
                "copyout (%zu) copied %zu", k, n);
    break;
  }
  case 15:
    a.u.pushiov (&src[off], len); // by reference, whatever the length
    a.m.append (src, off, len);
    break;
  }
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  static fdpair p;
  fuzzin in (data, size);
  fired.clear ();
  due.clear ();
  areas.clear ();
  int nextid = 1;
  {
    model a ("a"), o ("o");
    for (int i = 0; in.more (); i++) {
      bool other = in.byte () % 4 == 0;
      step (in, other ? o : a, other ? a : o, nextid, p);
      a.verify (i);
      o.verify (i);
      FUZZ_CHECK (fired == due, "%zu callbacks ran, %zu were due, step %d",
                  fired.size (), due.size (), i);
    }
    // Callbacks may append to the other buffer: empty both before either
    // goes away.
    while (!a.m.empty () || !o.m.empty ()) {
      a.u.clear (), a.clear ();
      o.u.clear (), o.clear ();
    }
    FUZZ_CHECK (fired == due, "%zu callbacks ran, %zu were due at the end",
                fired.size (), due.size ());
  }
  FUZZ_CHECK (areas.empty (), "%zu scratch areas never freed", areas.size ());
  return 0;
}
