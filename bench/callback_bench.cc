// Counted callbacks and pointers beside their standard peers: making and
// calling a wrapped callback vs std::function, copying a ref vs a
// std::shared_ptr.

#include "async/callback.h"

#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

namespace {

long sink;

void
addto (long *to, int a, int b)
{
  *to += a + b;
}

struct payload {
  long v[4] = {1, 2, 3, 4};
};

} // namespace

// One allocation for the binder and its stored arguments.
static void
BM_wrap_make_call (benchmark::State &state)
{
  for (auto _ : state) {
    cbi cb = wrap (addto, &sink, 1);
    benchmark::DoNotOptimize (cb);
    cb (2);
  }
  benchmark::DoNotOptimize (sink);
}
BENCHMARK (BM_wrap_make_call);

// Same two stored values; they fit std::function's inline buffer.
static void
BM_stdfunction_make_call (benchmark::State &state)
{
  for (auto _ : state) {
    long *to = &sink;
    int a = 1;
    std::function<void (int)> f = [to, a] (int b) { addto (to, a, b); };
    benchmark::DoNotOptimize (f);
    f (2);
  }
  benchmark::DoNotOptimize (sink);
}
BENCHMARK (BM_stdfunction_make_call);

static void
BM_wrap_call (benchmark::State &state)
{
  cbi cb = wrap (addto, &sink, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize (cb);
    cb (2);
  }
  benchmark::DoNotOptimize (sink);
}
BENCHMARK (BM_wrap_call);

static void
BM_stdfunction_call (benchmark::State &state)
{
  long *to = &sink;
  std::function<void (int)> f = [to] (int b) { addto (to, 1, b); };
  for (auto _ : state) {
    benchmark::DoNotOptimize (f);
    f (2);
  }
  benchmark::DoNotOptimize (sink);
}
BENCHMARK (BM_stdfunction_call);

static void
BM_ref_copy (benchmark::State &state)
{
  ref<payload> r = new refcounted<payload>;
  for (auto _ : state) {
    ref<payload> c = r;
    benchmark::DoNotOptimize (c);
  }
}
BENCHMARK (BM_ref_copy);

static void
BM_shared_ptr_copy (benchmark::State &state)
{
  std::shared_ptr<payload> r = std::make_shared<payload> ();
  for (auto _ : state) {
    std::shared_ptr<payload> c = r;
    benchmark::DoNotOptimize (c);
  }
}
BENCHMARK (BM_shared_ptr_copy);

static void
BM_ref_make (benchmark::State &state)
{
  for (auto _ : state) {
    ref<payload> r = new refcounted<payload>;
    benchmark::DoNotOptimize (r);
  }
}
BENCHMARK (BM_ref_make);

static void
BM_shared_ptr_make (benchmark::State &state)
{
  for (auto _ : state) {
    std::shared_ptr<payload> r = std::make_shared<payload> ();
    benchmark::DoNotOptimize (r);
  }
}
BENCHMARK (BM_shared_ptr_make);
