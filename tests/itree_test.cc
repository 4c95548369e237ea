// Red-black tree: random operation sequences against std::multimap (which
// also keeps equal keys in insertion order), the checker after every step,
// element identity across deletions, and the checker's own verdicts.
#include "async/itree.h"
#include "async/callback.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

int copies, destroyed;

// Counts copies and destructions; a node knows its own address and its
// payload, so a tree that moved data between elements is caught.
struct node {
  int key;
  int seq; // insertion serial number
  itree_entry<node> link;
  const node *self = this;

  node (int k, int s) : key (k), seq (s) {}
  node (const node &o) : key (o.key), seq (o.seq) { copies++; }
  node &operator= (const node &) = delete;
  ~node () { destroyed++; }
  bool sound () const { return self == this; }
};

using tree = itree<int, node, &node::key, &node::link>;
using model = std::multimap<int, node *>;

// The tree's in-order contents, walked forward and backward, match the
// model exactly: same elements, same order, intact payloads.
void
expectsame (tree &t, const model &m)
{
  t.check ();
  std::vector<node *> fwd, bwd, want;
  for (node *n = t.first (); n; n = t.next (n))
    fwd.push_back (n);
  node *last = fwd.empty () ? nullptr : fwd.back ();
  for (node *n = last; n; n = t.prev (n))
    bwd.insert (bwd.begin (), n);
  for (auto &kv : m) {
    want.push_back (kv.second);
    ASSERT_TRUE (kv.second->sound ());
    ASSERT_EQ (kv.first, kv.second->key);
  }
  ASSERT_EQ (fwd, want);
  ASSERT_EQ (bwd, want);
}

TEST (itree, RandomAgainstMultimap)
{
  for (unsigned seed = 1; seed <= 4; seed++) {
    std::mt19937 rng (seed);
    int keys = seed == 1 ? 4 : 60 * int (seed); // few keys: long equal runs
    tree t;
    model m;
    std::vector<node *> live;
    copies = 0;
    for (int step = 0; step < 4000; step++) {
      bool grow = live.empty () || rng () % 100 < 55;
      if (grow) {
        node *n = new node (int (rng () % keys), step);
        t.insert (n);
        m.emplace (n->key, n);
        live.push_back (n);
      } else {
        size_t i = rng () % live.size ();
        node *n = live[i];
        auto r = m.equal_range (n->key);
        for (auto it = r.first; it != r.second; ++it)
          if (it->second == n) {
            m.erase (it);
            break;
          }
        t.remove (n);
        live[i] = live.back ();
        live.pop_back ();
        delete n;
      }
      ASSERT_NO_FATAL_FAILURE (expectsame (t, m)) << "step " << step;
      int k = int (rng () % (keys + 2)) - 1;
      auto lb = m.lower_bound (k);
      node *want = lb != m.end () && lb->first == k ? lb->second : nullptr;
      ASSERT_EQ (t[k], want);
      // Leftmost element with a key in [k, k + 3].
      node *s = t.search ([&] (const node *x) {
        return x->key < k ? 1 : x->key > k + 3 ? -1 : 0;
      });
      ASSERT_EQ (s,
                 lb != m.end () && lb->first <= k + 3 ? lb->second : nullptr);
    }
    t.deleteall ();
    EXPECT_EQ (t.root (), nullptr);
    EXPECT_EQ (copies, 0);
  }
}

TEST (itree, DeleteMovesSuccessorNotData)
{
  node a (1, 0), b (2, 1), c (3, 2);
  tree t;
  t.insert (&b);
  t.insert (&a);
  t.insert (&c);
  ASSERT_EQ (t.root (), &b);
  copies = 0;
  t.remove (&b); // two children: its successor c takes its place
  t.check ();
  EXPECT_EQ (t.root (), &c);
  EXPECT_EQ (tree::left (&c), &a);
  EXPECT_EQ (tree::right (&c), nullptr);
  EXPECT_EQ (tree::up (&a), &c);
  EXPECT_EQ (std::make_tuple (a.key, b.key, c.key), std::make_tuple (1, 2, 3));
  EXPECT_EQ (copies, 0);
}

void
record (std::vector<int> *v, node *n)
{
  v->push_back (n->key);
}

TEST (itree, TraverseMayRemoveAndDeleteAllFreesEach)
{
  tree t;
  std::vector<int> seen;
  for (int i = 0; i < 100; i++)
    t.insert (new node ((i * 37) % 50, i));
  t.traverse ([&] (node *n) {
    seen.push_back (n->key);
    if (n->key % 2) {
      t.remove (n);
      delete n;
    }
  });
  t.check ();
  EXPECT_TRUE (std::is_sorted (seen.begin (), seen.end ()));
  EXPECT_EQ (seen.size (), 100u);
  // A counted callback walks the same way.
  std::vector<int> again;
  ref<callback<void, node *>> cb = wrap (record, &again);
  t.traverse (cb);
  EXPECT_EQ (again.size (), 50u);
  EXPECT_TRUE (std::is_sorted (again.begin (), again.end ()));
  destroyed = 0;
  t.deleteall ();
  EXPECT_EQ (destroyed, 50);
  EXPECT_EQ (t.root (), nullptr);
  node a (1, 0);
  t.insert (&a);
  t.clear (); // forgets, deletes nothing
  EXPECT_EQ (t.first (), nullptr);
  EXPECT_EQ (destroyed, 50);
}

// The untyped core, driven with a plain comparison function over a second
// link in the same elements, builds exactly the typed tree's shape.
struct twice {
  int key;
  itree_entry<twice> a, b;
};

int
cmptwice (void *, void *x, void *y)
{
  return compare<int> () (static_cast<twice *> (x)->key,
                          static_cast<twice *> (y)->key);
}

TEST (itree, UntypedCoreBuildsTheSameTree)
{
  std::mt19937 rng (9);
  std::vector<twice> v (300);
  itree<int, twice, &twice::key, &twice::a> t;
  void *root = nullptr;
  const size_t os = offsetof (twice, b);
  for (size_t i = 0; i < v.size (); i++) {
    v[i].key = int (rng () % 40);
    t.insert (&v[i]);
    itree_insert (&root, &v[i], os, cmptwice, nullptr);
    if (i % 3 == 2) {
      twice *gone = &v[rng () % i];
      if (gone->a.rbe_color != INVALID) {
        t.remove (gone);
        itree_delete (&root, gone, os);
        gone->a.rbe_color = INVALID;
      }
    }
    __itree_check (&root, os, cmptwice, nullptr);
  }
  ASSERT_EQ (root, t.root ());
  for (auto &x : v)
    if (x.a.rbe_color != INVALID) {
      ASSERT_EQ (x.a.up (), x.b.up ());
      ASSERT_EQ (x.a.left (), x.b.left ());
      ASSERT_EQ (x.a.right (), x.b.right ());
      ASSERT_EQ (x.a.rbe_color, x.b.rbe_color);
      ASSERT_EQ (t.next (&x), itree_successor (&x, os));
      ASSERT_EQ (t.prev (&x), itree_predecessor (&x, os));
    }
}

struct timer {
  timespec ts;
  int id;
  itree_entry<timer> link;
};

TEST (itree, TimespecOrderIsSignedSecondsThenNanoseconds)
{
  const timespec ts[] = {{-2, 5},        {-1, 0}, {0, 0}, {0, 1},
                         {0, 999999999}, {1, 0},  {1, 0}, {7, 3}};
  for (auto &a : ts)
    for (auto &b : ts) {
      auto ka = std::make_tuple (a.tv_sec, a.tv_nsec);
      auto kb = std::make_tuple (b.tv_sec, b.tv_nsec);
      int want = ka < kb ? -1 : kb < ka ? 1 : 0;
      EXPECT_EQ (tscmp (a, b), want);
      EXPECT_EQ (compare<timespec> () (a, b), want);
    }
  // Timers due at the same time run in registration order.
  itree<timespec, timer, &timer::ts, &timer::link> timers;
  timer tv[6] = {{{5, 1}, 0, {}}, {{5, 0}, 1, {}}, {{5, 1}, 2, {}},
                 {{4, 9}, 3, {}}, {{5, 1}, 4, {}}, {{5, 0}, 5, {}}};
  for (auto &x : tv)
    timers.insert (&x);
  std::vector<int> order;
  for (timer *x = timers.first (); x; x = timers.next (x))
    order.push_back (x->id);
  EXPECT_EQ (order, (std::vector<int>{3, 1, 5, 0, 2, 4}));
  EXPECT_EQ (timers[(timespec{5, 1})], &tv[0]);
}

// The checker's verdict on a damaged tree: the standard assertion with the
// text of the first rule broken.
std::string
assertion (const std::string &cond)
{
  std::string re;
  for (char c : cond) {
    if (std::string (".[]{}()\\*+?|^$").find (c) != std::string::npos)
      re += '\\';
    re += c;
  }
  return re;
}

class itreecheck : public ::testing::Test {
protected:
  // 1..7 inserted in order give the standard shape
  //   2B (1B, 4R (3B, 6B (5R, 7R)))
  std::vector<node> v;
  tree t;
  node *n (int k) { return &v[k - 1]; }
  void SetUp () override
  {
    v.reserve (7);
    for (int i = 1; i <= 7; i++)
      v.emplace_back (i, i);
    for (auto &x : v)
      t.insert (&x);
    t.check ();
    ASSERT_EQ (t.root (), n (2));
    ASSERT_EQ (tree::left (n (6)), n (5));
    ASSERT_EQ (n (4)->link.rbe_color, RED);
    ASSERT_EQ (n (5)->link.rbe_color, RED);
  }
};

TEST_F (itreecheck, ReportsTheFirstBrokenRule)
{
  EXPECT_DEATH ((n (2)->link.rbe_color = RED, t.check ()),
                assertion ("top->rbe_color == BLACK"));
  EXPECT_DEATH ((n (2)->link.rbe_up = n (5), t.check ()),
                assertion ("top->rbe_up == nullptr"));
  EXPECT_DEATH ((n (5)->link.rbe_color = INVALID, t.check ()),
                assertion ("n->rbe_color == BLACK || n->rbe_color == RED"));
  EXPECT_DEATH ((n (5)->link.rbe_up = n (1), t.check ()),
                assertion ("!n->rbe_left || up (n->rbe_left, os) == x"));
  EXPECT_DEATH ((n (3)->link.rbe_color = RED, t.check ()),
                assertion ("n->rbe_color == BLACK || "
                           "color (n->rbe_left, os) == BLACK"));
  EXPECT_DEATH ((n (5)->key = 100, t.check ()),
                assertion ("!hi || cmpfn (cmparg, x, hi) <= 0"));
  EXPECT_DEATH ((n (7)->key = 5, t.check ()),
                assertion ("!lo || cmpfn (cmparg, lo, x) <= 0"));
  EXPECT_DEATH ((n (5)->link.rbe_color = BLACK, t.check ()),
                assertion ("depth == blacks"));
  // Equal keys on either side are sound.
  n (5)->key = 6;
  n (7)->key = 6;
  t.check ();
}

TEST_F (itreecheck, FixupInsistsOnTheParent)
{
  void *root = t.root ();
  EXPECT_DEATH (itree_delete_fixup (&root, n (5), n (4), offsetof (node, link)),
                assertion ("!x || up (x, os) == p"));
}

} // namespace
