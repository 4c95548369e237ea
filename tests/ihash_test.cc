// Hash tables: random operation sequences against std::unordered_multimap
// and std::set with the invariant checker after every step, the growth
// sequence against primes computed here, chain surgery and element
// identity.
#include "async/ihash.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

int copies, destroyed;

struct elem {
  const int key;
  ihash_entry<elem> link;
  const elem *self = this;

  explicit elem (int k) : key (k) {}
  elem (const elem &o) : key (o.key) { copies++; }
  ~elem () { destroyed++; }
};

// Spreads keys over few distinct hashes, so that equal hashes and shared
// buckets are common.
struct clumpy {
  hash_t operator() (int k) const { return hash_t (u_int (k) % 23 * 3); }
};

template <class H>
using table = ihash<int, elem, &elem::key, &elem::link, H>;

template <class H>
std::multiset<elem *>
found (const table<H> &t, int k)
{
  std::multiset<elem *> r;
  for (elem *e = t[k]; e; e = t.nextkeq (e)) {
    EXPECT_EQ (e->key, k);
    r.insert (e);
  }
  return r;
}

template <class H>
void
randomrun (unsigned seed)
{
  std::mt19937 rng (seed);
  table<H> t;
  std::unordered_multimap<int, elem *> m;
  std::vector<elem *> live;
  for (int step = 0; step < 3000; step++) {
    if (live.empty () || rng () % 100 < 60) {
      elem *e = new elem (int (rng () % 200) - 100);
      t.insert (e);
      m.emplace (e->key, e);
      live.push_back (e);
    } else {
      size_t i = rng () % live.size ();
      elem *e = live[i];
      auto r = m.equal_range (e->key);
      m.erase (std::find_if (r.first, r.second,
                             [&] (auto &kv) { return kv.second == e; }));
      t.remove (e);
      ASSERT_FALSE (t.present (e));
      live[i] = live.back ();
      live.pop_back ();
      delete e;
    }
    t.check ();
    ASSERT_EQ (t.size (), m.size ());
    ASSERT_GT (t.buckets (), t.size ());
    int k = int (rng () % 220) - 110;
    std::multiset<elem *> want;
    auto r = m.equal_range (k);
    for (auto it = r.first; it != r.second; ++it)
      want.insert (it->second);
    ASSERT_EQ (found (t, k), want) << "step " << step << " key " << k;
    if (!live.empty ()) {
      ASSERT_TRUE (t.present (live[rng () % live.size ()]));
    }
  }
  std::vector<elem *> all, want (live);
  for (elem *e = t.first (); e; e = t.next (e))
    all.push_back (e);
  std::sort (all.begin (), all.end ());
  std::sort (want.begin (), want.end ());
  EXPECT_EQ (all, want);
  destroyed = 0;
  t.deleteall ();
  EXPECT_EQ (destroyed, int (want.size ()));
  EXPECT_EQ (t.size (), 0u);
  EXPECT_EQ (t.buckets (), 3u);
  t.check ();
}

TEST (ihash, RandomAgainstUnorderedMultimap)
{
  copies = 0;
  for (unsigned seed = 1; seed <= 3; seed++) {
    randomrun<hashfn<int>> (seed);
    randomrun<clumpy> (seed);
  }
  EXPECT_EQ (copies, 0);
}

bool
isprime (uint64_t n)
{
  if (n < 2)
    return false;
  for (uint64_t d = 2; d * d <= n; d++)
    if (n % d == 0)
      return false;
  return true;
}

TEST (ihash, GrowthFollowsPrimesBelowPowersOfTwo)
{
  EXPECT_EQ (exp2primes[0], 1u);
  for (int i = 1; i <= 32; i++) {
    uint64_t p = uint64_t (1) << i;
    while (!isprime (p))
      p--;
    EXPECT_EQ (exp2primes[i], p) << i;
  }
  // Growth happens when the count reaches the bucket count.
  table<hashfn<int>> t;
  std::vector<elem> v;
  v.reserve (3000);
  std::vector<size_t> sizes = {3}, want = {3,   7,   13,   31,   61,  127,
                                           251, 509, 1021, 2039, 4093};
  std::vector<size_t> growat,
      wantat = {3, 7, 13, 31, 61, 127, 251, 509, 1021, 2039};
  for (int i = 0; i < 3000; i++) {
    v.emplace_back (i);
    t.insert (&v.back ());
    if (t.buckets () != sizes.back ()) {
      sizes.push_back (t.buckets ());
      growat.push_back (t.size ());
      t.check ();
    }
  }
  EXPECT_EQ (sizes, want);
  EXPECT_EQ (growat, wantat);
  for (auto &e : v)
    ASSERT_EQ (t[e.key], &e);
  t.clear ();
  EXPECT_EQ (t.buckets (), 3u);
  EXPECT_EQ (t.first (), nullptr);
}

TEST (ihash, SharedBucketsAndChainHeads)
{
  ihash_core<elem, &elem::link> t;
  elem a (1), b (4), c (7);
  t.insert_val (&a, 1);
  t.insert_val (&b, 4); // same bucket of 3 as a, different hash
  EXPECT_EQ (t.lookup_val (1), &a);
  EXPECT_EQ (t.lookup_val (4), &b);
  EXPECT_EQ (t.lookup_val (7), nullptr);
  // Removing the chain head hands its slot to the next element.
  void **slot = b.link.pprev;
  t.remove (&b);
  t.check ();
  EXPECT_EQ (a.link.pprev, slot);
  EXPECT_EQ (t.lookup_val (4), nullptr);
  // Equal hashes: the newest is found first, until the table grows.
  t.insert_val (&b, 1);
  EXPECT_EQ (t.lookup_val (1), &b);
  EXPECT_EQ (t.next_val (&b), &a);
  EXPECT_EQ (t.next_val (&a), nullptr);
  // The third element grows the table to 7 buckets first, which reverses
  // the old chain; then c goes to the head.
  t.insert_val (&c, 1);
  t.check ();
  EXPECT_EQ (t.buckets (), 7u);
  EXPECT_EQ (t.lookup_val (1), &c);
  EXPECT_EQ (t.next_val (&c), &a);
  EXPECT_EQ (t.next_val (&a), &b);
  EXPECT_EQ (t.next_val (&b), nullptr);
  int visited = 0;
  t.traverse ([&] (elem *e) {
    t.remove (e);
    visited++;
  });
  EXPECT_EQ (visited, 3);
  EXPECT_EQ (t.size (), 0u);
  t.check ();
}

TEST (ihash, KeyedSetsOfIntsAndAddresses)
{
  std::mt19937 rng (7);
  bhash<int> s;
  std::set<int> m;
  for (int step = 0; step < 3000; step++) {
    int k = int (rng () % 64);
    bool add = rng () % 3;
    bool ours = add ? s.insert (k) : s.remove (k);
    bool theirs = add ? m.insert (k).second : m.erase (k) == 1;
    ASSERT_EQ (ours, theirs);
    s.check ();
    ASSERT_EQ (s.size (), m.size ());
    int q = int (rng () % 70);
    ASSERT_EQ (s[q], m.count (q) == 1);
  }
  std::set<int> seen;
  s.traverse ([&] (int k) { EXPECT_TRUE (seen.insert (k).second); });
  EXPECT_EQ (seen, m);

  in_addr a, b, c;
  inet_aton ("127.0.0.1", &a);
  inet_aton ("10.1.2.3", &b);
  c = a;
  EXPECT_EQ (u_int (hashfn<in_addr> () (a)), a.s_addr);
  EXPECT_EQ (u_int (hashfn<int> () (-1)), 0xffffffffu);
  bhash<in_addr> addrs;
  EXPECT_TRUE (addrs.insert (a));
  EXPECT_TRUE (addrs.insert (b));
  EXPECT_FALSE (addrs.insert (c));
  EXPECT_EQ (addrs.size (), 2u);
  ASSERT_NE (addrs.getslot (c), nullptr);
  addrs.delslot (addrs.getslot (c));
  EXPECT_FALSE (addrs[a]);
  EXPECT_TRUE (addrs[b]);
  addrs.clear ();
  EXPECT_EQ (addrs.size (), 0u);
  addrs.insert (a); // left for the destructor to free
}

TEST (ihash, CheckerCatchesBrokenChains)
{
  table<hashfn<int>> t;
  elem a (1), b (4);
  t.insert (&a);
  t.insert (&b);
  EXPECT_DEATH ((a.link.pprev = &a.link.next, t.check ()), "e->pprev == pprev");
  EXPECT_DEATH ((a.link.val = 2, t.check ()), "e->val\\.val % t->buckets == b");
  t.remove (&a);
  t.remove (&b);
}

} // namespace
