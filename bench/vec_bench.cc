// vec<int, N> against the standard containers: short and long runs of
// push_back, and a queue that pops at the front and pushes at the back.
// For the queue the peers are std::deque (the standard queue container)
// and std::vector with erase (begin ()) (what a plain vector user writes).
#include "async/vec.h"

#include <benchmark/benchmark.h>

#include <deque>
#include <vector>

namespace {

template <class V>
void
push (benchmark::State &state)
{
  const int n = state.range (0);
  for (auto _ : state) {
    V v;
    for (int k = 0; k < n; k++)
      v.push_back (k);
    benchmark::DoNotOptimize (&v[0]);
    benchmark::ClobberMemory ();
  }
  state.SetItemsProcessed (state.iterations () * n);
}

BENCHMARK_TEMPLATE (push, vec<int, 4>)->Arg (4)->Arg (1000);
BENCHMARK_TEMPLATE (push, vec<int, 0>)->Arg (4)->Arg (1000);
BENCHMARK_TEMPLATE (push, std::vector<int>)->Arg (4)->Arg (1000);

// A queue of range(0) ints: each cycle takes one off the front and puts
// one on the back.
template <class Q>
void
front_of (Q &q)
{
  if constexpr (std::is_same<Q, std::vector<int>>::value)
    q.erase (q.begin ());
  else
    q.pop_front ();
}

template <class Q>
void
cycle (benchmark::State &state)
{
  const int n = state.range (0);
  Q q;
  for (int k = 0; k < n; k++)
    q.push_back (k);
  int k = 0;
  for (auto _ : state) {
    front_of (q);
    q.push_back (k++);
    benchmark::DoNotOptimize (&q.back ());
  }
  state.SetItemsProcessed (state.iterations ());
}

BENCHMARK_TEMPLATE (cycle, vec<int, 4>)->Arg (3)->Arg (64)->Arg (1000);
BENCHMARK_TEMPLATE (cycle, std::deque<int>)->Arg (3)->Arg (64)->Arg (1000);
BENCHMARK_TEMPLATE (cycle, std::vector<int>)->Arg (3)->Arg (64)->Arg (1000);

} // namespace
