// ihash and bhash against std::unordered_multimap and std::set: the input
// is a sequence of inserts, removals, lookups, walks and clears, with the
// table's checker after every step.  The first byte picks the hash: the
// key itself, or one that folds the keys onto a few values so that equal
// hashes and shared chains are the rule.
#include "async/ihash.h"
#include "fuzz/fuzz.h"

#include <algorithm>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

long alive; // elements built and not yet deleted

struct elem {
  const int key;
  ihash_entry<elem> link;
  const elem *self = this;

  explicit elem (int k) : key (k) { alive++; }
  elem (const elem &) = delete;
  ~elem () { alive--; }
};

struct fuzzhash {
  u_int fold; // 0: the key itself; else key % fold * 3
  hash_t operator() (int k) const
  {
    return hash_t (fold ? u_int (k) % fold * 3 : u_int (k));
  }
};

using table = ihash<int, elem, &elem::key, &elem::link, fuzzhash>;
using model = std::unordered_multimap<int, elem *>;

void
forget (model &m, elem *e)
{
  auto r = m.equal_range (e->key);
  auto i = std::find_if (r.first, r.second, [e] (const model::value_type &kv) {
    return kv.second == e;
  });
  FUZZ_CHECK (i != r.second, "element with key %d missing from the model",
              e->key);
  m.erase (i);
}

// What t[k] and nextkeq find for k, against the model.
void
expectkey (const table &t, const model &m, int k)
{
  std::multiset<elem *> got, want;
  for (elem *e = t[k]; e; e = t.nextkeq (e)) {
    FUZZ_CHECK (e->key == k && e->self == e, "lookup of %d found key %d", k,
                e->key);
    got.insert (e);
    FUZZ_CHECK (got.size () <= m.size (), "lookup of %d does not end", k);
  }
  auto r = m.equal_range (k);
  for (auto i = r.first; i != r.second; ++i)
    want.insert (i->second);
  FUZZ_CHECK (got == want, "lookup of %d found %zu elements, model %zu", k,
              got.size (), want.size ());
}

// The full walk visits each element once.
void
expectall (const table &t, const model &m)
{
  std::vector<elem *> got, want;
  for (elem *e = t.first (); e && got.size () <= m.size (); e = t.next (e))
    got.push_back (e);
  for (auto &kv : m)
    want.push_back (kv.second);
  std::sort (got.begin (), got.end ());
  std::sort (want.begin (), want.end ());
  FUZZ_CHECK (got == want, "walk found %zu elements, model %zu", got.size (),
              want.size ());
}

void
tablestep (fuzzin &in, table &t, model &m, std::vector<elem *> &live)
{
  int k = int8_t (in.byte ()); // few keys: many equal ones
  switch (in.byte () % 8) {
  case 0:
  case 1:
  case 2: {
    elem *e = new elem (k);
    t.insert (e);
    m.emplace (k, e);
    live.push_back (e);
    break;
  }
  case 3:
  case 4:
    if (!live.empty ()) {
      size_t i = in.below (live.size ());
      elem *e = live[i];
      t.remove (e);
      FUZZ_CHECK (!t.present (e), "removed element with key %d still present",
                  e->key);
      forget (m, e);
      live[i] = live.back ();
      live.pop_back ();
      delete e;
    }
    break;
  case 5:
    expectkey (t, m, k);
    break;
  case 6: { // a traversal that deletes the elements whose key divides by d
    int d = 1 + in.byte () % 8;
    t.traverse ([&] (elem *e) {
      if (e->key % d == 0) {
        t.remove (e);
        forget (m, e);
        live.erase (std::find (live.begin (), live.end (), e));
        delete e;
      }
    });
    break;
  }
  case 7:
    if (in.byte () % 4 == 0) {
      t.clear ();
      for (elem *e : live)
        delete e;
      live.clear ();
      m.clear ();
    } else
      expectall (t, m);
    break;
  }
}

void
setstep (fuzzin &in, bhash<int, fuzzhash> &h, std::set<int> &s)
{
  int k = int8_t (in.byte ());
  switch (in.byte () % 4) {
  case 0: {
    bool added = h.insert (k);
    FUZZ_CHECK (added == s.insert (k).second, "bhash insert (%d) gave %d", k,
                added);
    break;
  }
  case 1: {
    bool removed = h.remove (k);
    FUZZ_CHECK (removed == (s.erase (k) == 1), "bhash remove (%d) gave %d", k,
                removed);
    break;
  }
  case 2:
    FUZZ_CHECK (h[k] == s.count (k), "bhash[%d] is %d", k, h[k]);
    break;
  case 3: {
    std::set<int> got;
    h.traverse ([&] (int key) { got.insert (key); });
    FUZZ_CHECK (got == s, "bhash holds %zu keys, model %zu", got.size (),
                s.size ());
    break;
  }
  }
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  fuzzhash hash{u_int (in.byte () % 4 ? 0 : 1 + in.byte () % 29)};
  alive = 0;
  {
    table t (equals<int> (), hash);
    model m;
    std::vector<elem *> live;
    bhash<int, fuzzhash> h (equals<int> (), hash);
    std::set<int> s;
    while (in.more ()) {
      if (in.byte () % 4) {
        tablestep (in, t, m, live);
        t.check ();
        FUZZ_CHECK (t.size () == m.size () && t.buckets () > t.size (),
                    "%zu entries in %zu buckets, model %zu", t.size (),
                    t.buckets (), m.size ());
      } else {
        setstep (in, h, s);
        h.check ();
        FUZZ_CHECK (h.size () == s.size (), "bhash size %zu, model %zu",
                    h.size (), s.size ());
      }
    }
    FUZZ_CHECK (alive == long (live.size ()), "%ld elements alive, %zu linked",
                alive, live.size ());
    t.deleteall ();
    FUZZ_CHECK (alive == 0 && t.size () == 0, "deleteall left %ld", alive);
    t.check ();
  }
  return 0;
}
