// itree beside std::multimap over the same shuffled keys (with repeats):
// filling a tree, finding the first element of every key, removing every
// element, and draining from the front as a timer queue does.
#include "async/itree.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

struct elem {
  int key;
  int val;
  itree_entry<elem> link;
};

using tree = itree<int, elem, &elem::key, &elem::link>;
using mmap = std::multimap<int, int>;

// Every key twice, shuffled.
std::vector<int>
keys (size_t n)
{
  std::vector<int> k (n);
  for (size_t i = 0; i < n; i++)
    k[i] = int (i / 2);
  std::shuffle (k.begin (), k.end (), std::mt19937 (1));
  return k;
}

std::vector<elem>
elems (const std::vector<int> &k)
{
  std::vector<elem> v (k.size ());
  for (size_t i = 0; i < k.size (); i++)
    v[i].key = k[i], v[i].val = int (i);
  return v;
}

void
BM_itree_insert (benchmark::State &state)
{
  auto v = elems (keys (size_t (state.range (0))));
  for (auto _ : state) {
    tree t;
    for (auto &e : v)
      t.insert (&e);
    benchmark::DoNotOptimize (t.root ());
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_multimap_insert (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  for (auto _ : state) {
    mmap m;
    for (size_t i = 0; i < k.size (); i++)
      m.emplace (k[i], int (i));
    benchmark::DoNotOptimize (m.size ());
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_itree_lookup (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  auto v = elems (k);
  tree t;
  for (auto &e : v)
    t.insert (&e);
  std::shuffle (k.begin (), k.end (), std::mt19937 (2));
  for (auto _ : state)
    for (int key : k)
      benchmark::DoNotOptimize (t[key]->val);
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_multimap_lookup (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  mmap m;
  for (size_t i = 0; i < k.size (); i++)
    m.emplace (k[i], int (i));
  std::shuffle (k.begin (), k.end (), std::mt19937 (2));
  for (auto _ : state)
    for (int key : k)
      benchmark::DoNotOptimize (m.lower_bound (key)->second);
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

// Removal of known elements in random order (a cancelled timer).
void
BM_itree_remove (benchmark::State &state)
{
  auto v = elems (keys (size_t (state.range (0))));
  std::vector<elem *> order;
  for (auto &e : v)
    order.push_back (&e);
  std::shuffle (order.begin (), order.end (), std::mt19937 (3));
  tree t;
  for (auto _ : state) {
    state.PauseTiming ();
    for (auto &e : v)
      t.insert (&e);
    state.ResumeTiming ();
    for (elem *e : order)
      t.remove (e);
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_multimap_remove (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  std::vector<size_t> order (k.size ());
  for (size_t i = 0; i < k.size (); i++)
    order[i] = i;
  std::shuffle (order.begin (), order.end (), std::mt19937 (3));
  mmap m;
  std::vector<mmap::iterator> its (k.size ());
  for (auto _ : state) {
    state.PauseTiming ();
    for (size_t i = 0; i < k.size (); i++)
      its[i] = m.emplace (k[i], int (i));
    state.ResumeTiming ();
    for (size_t i : order)
      m.erase (its[i]);
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

// Draining from the front: first, then remove it (a due timer).
void
BM_itree_popfirst (benchmark::State &state)
{
  auto v = elems (keys (size_t (state.range (0))));
  tree t;
  for (auto _ : state) {
    state.PauseTiming ();
    for (auto &e : v)
      t.insert (&e);
    state.ResumeTiming ();
    while (elem *e = t.first ())
      t.remove (e);
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_multimap_popfirst (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  mmap m;
  for (auto _ : state) {
    state.PauseTiming ();
    for (size_t i = 0; i < k.size (); i++)
      m.emplace (k[i], int (i));
    state.ResumeTiming ();
    while (!m.empty ())
      m.erase (m.begin ());
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

BENCHMARK (BM_itree_insert)->Arg (1000)->Arg (100000);
BENCHMARK (BM_multimap_insert)->Arg (1000)->Arg (100000);
BENCHMARK (BM_itree_lookup)->Arg (1000)->Arg (100000);
BENCHMARK (BM_multimap_lookup)->Arg (1000)->Arg (100000);
BENCHMARK (BM_itree_remove)->Arg (1000)->Arg (100000);
BENCHMARK (BM_multimap_remove)->Arg (1000)->Arg (100000);
BENCHMARK (BM_itree_popfirst)->Arg (1000)->Arg (100000);
BENCHMARK (BM_multimap_popfirst)->Arg (1000)->Arg (100000);

} // namespace
