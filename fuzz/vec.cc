// vec<T, N> against std::vector: the input is a sequence of operations,
// each applied to one of two vectors (a and b, so that copies, assignments
// and, for N = 0, swaps between them are exercised) and to its model.
// The same sequence runs for N = 0, 1, 2, 4 with an element that counts
// and checks itself, and for N = 3 with a trivially copyable element (the
// memmove path).  After every step: check (), the sizes, every element's
// value and, for counted elements, the place it was built and the number
// alive.
#include "async/vec.h"
#include "fuzz/fuzz.h"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace {

long live;   // counted elements built and not yet destroyed
long faults; // counted elements used away from where they were built

// Knows its own address, so a slot copied with memcpy, destroyed twice or
// never built shows.  val -1: default-built, -2: moved from.
struct counted {
  counted *self;
  int val;

  counted () : self (this), val (-1) { live++; }
  explicit counted (int v) : self (this), val (v) { live++; }
  counted (const counted &c) : self (this), val (c.val)
  {
    c.verify ();
    live++;
  }
  counted (counted &&c) : self (this), val (c.val)
  {
    c.verify ();
    c.val = -2;
    live++;
  }
  counted &operator= (const counted &) = delete;
  ~counted ()
  {
    verify ();
    self = nullptr;
    live--;
  }
  void verify () const { faults += self != this; }
};

struct plain {
  int val = -1;
  plain () = default;
  explicit plain (int v) : val (v) {}
};
static_assert (std::is_trivially_copyable<plain>::value, "the memmove path");

using model = std::vector<int>;

template <class V>
void
expect (const V &v, const model &m, const char *name, int step)
{
  FUZZ_CHECK (v.check (), "%s: check failed at step %d", name, step);
  FUZZ_CHECK (v.size () == m.size () && v.empty () == m.empty (),
              "%s: size %zu, model %zu at step %d", name, v.size (), m.size (),
              step);
  for (size_t i = 0; i < m.size (); i++)
    FUZZ_CHECK (v[i].val == m[i], "%s[%zu] = %d, model %d at step %d", name, i,
                v[i].val, m[i], step);
  if (!m.empty ())
    FUZZ_CHECK (&v.front () == v.base () && &v.back () == v.lim () - 1,
                "%s: front/back off at step %d", name, step);
}

// One operation on x (the other vector is y); mx and my are their models.
template <class T, size_t N>
void
step (fuzzin &in, vec<T, N> &x, model &mx, vec<T, N> &y, model &my)
{
  size_t n = in.byte ();
  int val = in.byte ();
  switch (in.byte () % 14) {
  case 0:
  case 1:
    x.push_back (T (val));
    mx.push_back (val);
    break;
  case 2:
    x.push_back ();
    mx.push_back (-1);
    break;
  case 3: // an element of the vector itself, which growing moves away
    if (!mx.empty ()) {
      size_t i = n % mx.size ();
      x.push_back (x[i]);
      mx.push_back (mx[i]);
    }
    break;
  case 4:
    if (!mx.empty ()) {
      int v = x.pop_back ().val;
      FUZZ_CHECK (v == mx.back (), "pop_back gave %d, model %d", v, mx.back ());
      mx.pop_back ();
    }
    break;
  case 5:
    if (!mx.empty ()) {
      int v = x.pop_front ().val;
      FUZZ_CHECK (v == mx.front (), "pop_front gave %d, model %d", v,
                  mx.front ());
      mx.erase (mx.begin ());
    }
    break;
  case 6:
    n = std::min (n % 8, mx.size ());
    x.popn_back (n);
    mx.resize (mx.size () - n);
    break;
  case 7:
    n = std::min (n % 8, mx.size ());
    x.popn_front (n);
    mx.erase (mx.begin (), mx.begin () + n);
    break;
  case 8:
    x.setsize (n);
    mx.resize (n, -1);
    break;
  case 9: {
    size_t cap = x.capacity ();
    x.reserve (n);
    FUZZ_CHECK (x.capacity () >= cap && x.capacity () >= x.size () + n,
                "reserve (%zu): capacity %zu -> %zu, size %zu", n, cap,
                x.capacity (), x.size ());
    break;
  }
  case 10:
    x.clear ();
    mx.clear ();
    break;
  case 11:
    x = y;
    mx = my;
    break;
  case 12: {
    vec<T, N> c (x), &same = x;
    x = c; // from a copy that goes away afterwards
    x = same;
    break;
  }
  case 13:
    if constexpr (N == 0) {
      x.swap (y);
      std::swap (mx, my);
    }
    break;
  }
}

template <class T, size_t N>
void
run (const uint8_t *data, size_t size, const char *name)
{
  constexpr bool counts = std::is_same<T, counted>::value;
  fuzzin in (data, size);
  live = faults = 0;
  {
    vec<T, N> a, b;
    model ma, mb;
    for (int i = 0; in.more (); i++) {
      if (in.byte () & 1)
        step (in, a, ma, b, mb);
      else
        step (in, b, mb, a, ma);
      expect (a, ma, name, i);
      expect (b, mb, name, i);
      if constexpr (counts) {
        for (auto *v : {&a, &b})
          for (size_t k = 0; k < v->size (); k++)
            (*v)[k].verify ();
        FUZZ_CHECK (faults == 0, "%s: element used out of place, step %d", name,
                    i);
        FUZZ_CHECK (live == long (ma.size () + mb.size ()),
                    "%s: %ld alive, %zu in the models at step %d", name, live,
                    ma.size () + mb.size (), i);
      }
    }
  }
  FUZZ_CHECK (!counts || live == 0, "%s: %ld elements left alive", name, live);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  run<counted, 0> (data, size, "vec<counted, 0>");
  run<counted, 1> (data, size, "vec<counted, 1>");
  run<counted, 2> (data, size, "vec<counted, 2>");
  run<counted, 4> (data, size, "vec<counted, 4>");
  run<plain, 3> (data, size, "vec<plain, 3>");
  return 0;
}
