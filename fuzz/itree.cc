// itree against std::multimap, which also keeps equal keys in the order
// they were inserted: the input is a sequence of inserts, removals,
// lookups, range searches and deleting walks, with __itree_check after
// every step and the whole order (walked forward and backward) compared
// with the model.  The first byte sets how many distinct keys there are:
// few keys make long runs of equal ones.
#include "async/itree.h"
#include "fuzz/fuzz.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

long alive; // nodes built and not yet deleted

struct node {
  const int key;
  const int seq; // insertion serial number
  itree_entry<node> link;
  const node *self = this;

  node (int k, int s) : key (k), seq (s) { alive++; }
  node (const node &) = delete;
  ~node () { alive--; }
};

using tree = itree<int, node, &node::key, &node::link>;
using model = std::multimap<int, node *>;

void
forget (model &m, node *n)
{
  auto r = m.equal_range (n->key);
  auto i = std::find_if (r.first, r.second, [n] (const model::value_type &kv) {
    return kv.second == n;
  });
  FUZZ_CHECK (i != r.second, "node %d/%d missing from the model", n->key,
              n->seq);
  m.erase (i);
}

void
expectsame (tree &t, const model &m, int step)
{
  t.check ();
  std::vector<node *> fwd, bwd, want;
  for (node *n = t.first (); n && fwd.size () <= m.size (); n = t.next (n))
    fwd.push_back (n);
  for (node *n = fwd.empty () ? nullptr : fwd.back ();
       n && bwd.size () <= m.size (); n = t.prev (n))
    bwd.push_back (n);
  std::reverse (bwd.begin (), bwd.end ());
  for (auto &kv : m)
    want.push_back (kv.second);
  FUZZ_CHECK (fwd == want, "forward walk: %zu nodes, model %zu, step %d",
              fwd.size (), want.size (), step);
  FUZZ_CHECK (bwd == want, "backward walk: %zu nodes, model %zu, step %d",
              bwd.size (), want.size (), step);
  for (node *n : fwd)
    FUZZ_CHECK (n->self == n, "node %d/%d moved", n->key, n->seq);
}

// Lookup by key and the leftmost node with a key in [k, k + w].
void
expectfind (const tree &t, const model &m, int k, int w)
{
  auto lb = m.lower_bound (k);
  node *want = lb != m.end () && lb->first == k ? lb->second : nullptr;
  node *got = t[k];
  FUZZ_CHECK (got == want, "t[%d] is %d/%d, model %d/%d", k, got ? got->key : 0,
              got ? got->seq : -1, want ? want->key : 0, want ? want->seq : -1);
  got = t.search ([&] (const node *x) {
    return x->key < k ? 1 : x->key > k + w ? -1 : 0;
  });
  want = lb != m.end () && lb->first <= k + w ? lb->second : nullptr;
  FUZZ_CHECK (got == want, "search [%d, %d] is %d/%d, model %d/%d", k, k + w,
              got ? got->key : 0, got ? got->seq : -1, want ? want->key : 0,
              want ? want->seq : -1);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  int nkeys = 1 + in.byte ();
  alive = 0;
  tree t;
  model m;
  std::vector<node *> live;
  for (int step = 0; in.more (); step++) {
    int k = in.byte () % (nkeys + 2) - 1; // also just outside the keys
    switch (in.byte () % 6) {
    case 0:
    case 1:
    case 2: {
      node *n = new node (k, step);
      t.insert (n);
      m.emplace (k, n); // after its equals, as in the tree
      live.push_back (n);
      break;
    }
    case 3:
      if (!live.empty ()) {
        size_t i = in.below (live.size ());
        node *n = live[i];
        t.remove (n);
        forget (m, n);
        live[i] = live.back ();
        live.pop_back ();
        delete n;
      }
      break;
    case 4:
      expectfind (t, m, k, in.byte () % 4);
      break;
    case 5: { // a walk that deletes every d-th node it passes
      int d = 2 + in.byte () % 8, i = 0;
      t.traverse ([&] (node *n) {
        if (i++ % d == 0) {
          t.remove (n);
          forget (m, n);
          live.erase (std::find (live.begin (), live.end (), n));
          delete n;
        }
      });
      break;
    }
    }
    expectsame (t, m, step);
  }
  FUZZ_CHECK (alive == long (live.size ()), "%ld nodes alive, %zu linked",
              alive, live.size ());
  t.deleteall ();
  FUZZ_CHECK (alive == 0 && !t.root (), "deleteall left %ld", alive);
  return 0;
}
