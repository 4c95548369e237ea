// ihash beside std::unordered_map over the same shuffled keys: filling a
// new table, finding every key, and removing every element.
#include "async/ihash.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

struct elem {
  int key;
  int val;
  ihash_entry<elem> link;
};

using table = ihash<int, elem, &elem::key, &elem::link>;

std::vector<int>
keys (size_t n)
{
  std::vector<int> k (n);
  for (size_t i = 0; i < n; i++)
    k[i] = int (i * 2654435761u >> 1);
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
BM_ihash_insert (benchmark::State &state)
{
  auto v = elems (keys (size_t (state.range (0))));
  for (auto _ : state) {
    table t;
    for (auto &e : v)
      t.insert (&e);
    benchmark::DoNotOptimize (t.size ());
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_unordered_map_insert (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  for (auto _ : state) {
    std::unordered_map<int, int> m;
    for (size_t i = 0; i < k.size (); i++)
      m.emplace (k[i], int (i));
    benchmark::DoNotOptimize (m.size ());
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_ihash_lookup (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  auto v = elems (k);
  table t;
  for (auto &e : v)
    t.insert (&e);
  std::shuffle (k.begin (), k.end (), std::mt19937 (2));
  for (auto _ : state)
    for (int key : k)
      benchmark::DoNotOptimize (t[key]->val);
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_unordered_map_lookup (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  std::unordered_map<int, int> m;
  for (size_t i = 0; i < k.size (); i++)
    m.emplace (k[i], int (i));
  std::shuffle (k.begin (), k.end (), std::mt19937 (2));
  for (auto _ : state)
    for (int key : k)
      benchmark::DoNotOptimize (m.find (key)->second);
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

// Removal by key: find the element, then unlink it.
void
BM_ihash_remove (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  auto v = elems (k);
  std::shuffle (k.begin (), k.end (), std::mt19937 (3));
  table t;
  for (auto _ : state) {
    state.PauseTiming ();
    for (auto &e : v)
      t.insert (&e);
    state.ResumeTiming ();
    for (int key : k)
      t.remove (t[key]);
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

void
BM_unordered_map_remove (benchmark::State &state)
{
  auto k = keys (size_t (state.range (0)));
  auto r = k;
  std::shuffle (r.begin (), r.end (), std::mt19937 (3));
  std::unordered_map<int, int> m;
  for (auto _ : state) {
    state.PauseTiming ();
    for (size_t i = 0; i < k.size (); i++)
      m.emplace (k[i], int (i));
    state.ResumeTiming ();
    for (int key : r)
      m.erase (key);
  }
  state.SetItemsProcessed (state.iterations () * state.range (0));
}

BENCHMARK (BM_ihash_insert)->Arg (1000)->Arg (100000);
BENCHMARK (BM_unordered_map_insert)->Arg (1000)->Arg (100000);
BENCHMARK (BM_ihash_lookup)->Arg (1000)->Arg (100000);
BENCHMARK (BM_unordered_map_lookup)->Arg (1000)->Arg (100000);
BENCHMARK (BM_ihash_remove)->Arg (1000)->Arg (100000);
BENCHMARK (BM_unordered_map_remove)->Arg (1000)->Arg (100000);

} // namespace
