// The event loop beside libevent (Debian's libevent-dev), same work, same
// process:
//  - pipe ping-pong: N pipes in a ring, M bytes travelling; every read
//    callback passes its byte to the next pipe.  One iteration is 1000
//    callbacks.  Ours through acheck, on epoll and (the same program run
//    again with OMBRIX_LOOP=select, by main below) on select; libevent's
//    through event_base_loop (EVLOOP_ONCE) on its select backend and on its
//    default (epoll).  N=5000 is beyond select (descriptors from 1024 up):
//    skipped there, for both.
//  - timers: 100 000 timers with random deadlines within one second:
//    inserting them, and firing them once all are due.
// libevent is loaded with dlopen, so the benchmark needs only its headers
// at build time; without them the libevent halves are left out.
#include "async/core.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <random>
#include <unistd.h>
#include <vector>

#if __has_include(<event2/event.h>)
#include <event2/event.h>
#define HAVE_LIBEVENT 1
#endif

namespace {

enum { batch = 1000, ntimers = 100000, selectmax = 1024 };

// The loop's way of waiting in this run, as chosen at start-up.
bool
ourselect ()
{
  const char *v = getenv ("OMBRIX_LOOP");
  return v && !strcmp (v, "select");
}

// A ring of n pipes needs 2n descriptors; select cannot watch them all.
bool
beyondselect (benchmark::State &state)
{
  if (2 * state.range (0) + 16 < selectmax)
    return false;
  state.SkipWithError ("select: descriptors from 1024 up");
  return true;
}

// ---------------------------------------------------------- the ring

struct ring {
  std::vector<int> rd, wr;
  long fired = 0;
  ring (int n, int m)
  {
    for (int i = 0; i < n; i++) {
      int p[2];
      if (pipe (p) < 0)
        abort ();
      rd.push_back (p[0]);
      wr.push_back (p[1]);
    }
    for (int k = 0; k < m; k++)
      pass (k * n / m);
  }
  ~ring ()
  {
    for (size_t i = 0; i < rd.size (); i++) {
      close (rd[i]);
      close (wr[i]);
    }
  }
  void pass (int i)
  {
    char c = 'e';
    if (write (wr[i], &c, 1) != 1)
      abort ();
  }
  void onread (int i)
  {
    char c;
    if (read (rd[i], &c, 1) != 1)
      abort ();
    pass ((i + 1) % int (rd.size ()));
    fired++;
  }
};

void
ourread (ring *r, int i)
{
  r->onread (i);
}

void
BM_pingpong_ombrix (benchmark::State &state)
{
  state.SetLabel (ourselect () ? "select" : "epoll");
  if (ourselect () && beyondselect (state))
    return;
  ring r (int (state.range (0)), int (state.range (1)));
  for (size_t i = 0; i < r.rd.size (); i++)
    fdcb (r.rd[i], selread, wrap (ourread, &r, int (i)));
  for (auto _ : state) {
    long end = r.fired + batch;
    while (r.fired < end)
      acheck ();
  }
  for (int fd : r.rd)
    fdcb (fd, selread, nullptr);
  state.SetItemsProcessed (r.fired);
}

// ------------------------------------------------------------- timers

void
tick (long *n)
{
  ++*n;
}

std::vector<long>
offsets ()
{
  std::mt19937 rng (3);
  std::vector<long> v (ntimers);
  for (long &o : v)
    o = long (rng () % 1000000000);
  return v;
}

void
BM_timer_insert_ombrix (benchmark::State &state)
{
  std::vector<long> off = offsets ();
  std::vector<timecb_t *> h (ntimers);
  long n = 0;
  cbv cb = wrap (tick, &n);
  for (auto _ : state) {
    for (int i = 0; i < ntimers; i++)
      h[i] = delaycb (0, u_int32_t (off[i]), cb);
    state.PauseTiming ();
    for (timecb_t *t : h)
      timecb_remove (t);
    state.ResumeTiming ();
  }
  state.SetItemsProcessed (state.iterations () * ntimers);
}

void
BM_timer_fire_ombrix (benchmark::State &state)
{
  std::vector<long> off = offsets ();
  long n = 0;
  cbv cb = wrap (tick, &n);
  for (auto _ : state) {
    state.PauseTiming ();
    timespec now;
    clock_gettime (CLOCK_REALTIME, &now);
    for (int i = 0; i < ntimers; i++) {
      timespec ts = now;
      ts.tv_sec -= 1;
      ts.tv_nsec = off[i];
      timecb (ts, cb);
    }
    state.ResumeTiming ();
    timecb_check ();
  }
  if (n != state.iterations () * ntimers)
    state.SkipWithError ("timers lost");
  state.SetItemsProcessed (n);
}

#ifdef HAVE_LIBEVENT

// The few libevent entry points used, resolved at run time.
struct libevent {
  decltype (&event_config_new) config_new;
  decltype (&event_config_avoid_method) config_avoid_method;
  decltype (&event_config_free) config_free;
  decltype (&event_base_new_with_config) base_new_with_config;
  decltype (&event_base_get_method) base_get_method;
  decltype (&event_base_free) base_free;
  decltype (&event_base_loop) base_loop;
  decltype (&event_new) new_;
  decltype (&event_add) add;
  decltype (&event_free) free_;
  bool ok = false;

  libevent ()
  {
    void *h = dlopen ("libevent_core-2.1.so.7", RTLD_NOW);
    if (!h)
      return;
    ok = sym (h, config_new, "event_config_new") &&
         sym (h, config_avoid_method, "event_config_avoid_method") &&
         sym (h, config_free, "event_config_free") &&
         sym (h, base_new_with_config, "event_base_new_with_config") &&
         sym (h, base_get_method, "event_base_get_method") &&
         sym (h, base_free, "event_base_free") &&
         sym (h, base_loop, "event_base_loop") && sym (h, new_, "event_new") &&
         sym (h, add, "event_add") && sym (h, free_, "event_free");
  }
  template <class F>
  static bool sym (void *h, F &f, const char *name)
  {
    f = reinterpret_cast<F> (dlsym (h, name));
    return f != nullptr;
  }
  // A base on the select backend (sel) or the default one.
  event_base *base (bool sel)
  {
    event_config *cfg = config_new ();
    if (sel) {
      config_avoid_method (cfg, "epoll");
      config_avoid_method (cfg, "poll");
    }
    event_base *b = base_new_with_config (cfg);
    config_free (cfg);
    return b;
  }
};

libevent &
lev ()
{
  static libevent l;
  return l;
}

struct levarg {
  ring *r;
  int i;
};

void
levread (evutil_socket_t, short, void *arg)
{
  levarg *a = static_cast<levarg *> (arg);
  a->r->onread (a->i);
}

void
pingpong_libevent (benchmark::State &state, bool sel)
{
  libevent &L = lev ();
  if (!L.ok) {
    state.SkipWithError ("libevent_core-2.1.so.7 not loadable");
    return;
  }
  if (sel && beyondselect (state))
    return;
  ring r (int (state.range (0)), int (state.range (1)));
  event_base *b = L.base (sel);
  state.SetLabel (L.base_get_method (b));
  std::vector<levarg> args (r.rd.size ());
  std::vector<event *> evs;
  for (size_t i = 0; i < r.rd.size (); i++) {
    args[i] = {&r, int (i)};
    evs.push_back (
        L.new_ (b, r.rd[i], EV_READ | EV_PERSIST, levread, &args[i]));
    L.add (evs.back (), nullptr);
  }
  for (auto _ : state) {
    long end = r.fired + batch;
    while (r.fired < end)
      L.base_loop (b, EVLOOP_ONCE);
  }
  for (event *e : evs)
    L.free_ (e);
  L.base_free (b);
  state.SetItemsProcessed (r.fired);
}

void
BM_pingpong_libevent_select (benchmark::State &state)
{
  pingpong_libevent (state, true);
}

void
BM_pingpong_libevent_epoll (benchmark::State &state)
{
  pingpong_libevent (state, false);
}

void
levtick (evutil_socket_t, short, void *arg)
{
  ++*static_cast<long *> (arg);
}

// ntimers timers at the offsets, in microseconds after dividing by div.
void
addtimers (event_base *b, std::vector<event *> &evs, long div, long *n)
{
  static const std::vector<long> off = offsets ();
  for (int i = 0; i < ntimers; i++) {
    timeval tv = {0, off[i] / div};
    evs[i] = lev ().new_ (b, -1, 0, levtick, n);
    lev ().add (evs[i], &tv);
  }
}

// Inserting: deadlines within the next second.  Firing: deadlines within
// the next millisecond, then a 2 ms sleep (not timed), so that every timer
// is due when the loop runs.  Freeing the events is not timed (ours frees
// its records while firing).
void
timers_libevent (benchmark::State &state, bool fire)
{
  libevent &L = lev ();
  if (!L.ok) {
    state.SkipWithError ("libevent_core-2.1.so.7 not loadable");
    return;
  }
  event_base *b = L.base (false);
  std::vector<event *> evs (ntimers);
  long n = 0;
  for (auto _ : state) {
    if (fire) {
      state.PauseTiming ();
      addtimers (b, evs, 1000000, &n);
      usleep (2000);
      state.ResumeTiming ();
      L.base_loop (b, EVLOOP_NONBLOCK);
    } else
      addtimers (b, evs, 1000, &n);
    state.PauseTiming ();
    for (event *e : evs)
      L.free_ (e);
    state.ResumeTiming ();
  }
  if (fire && n != state.iterations () * ntimers)
    state.SkipWithError ("timers lost");
  L.base_free (b);
  state.SetItemsProcessed (state.iterations () * ntimers);
}

void
BM_timer_insert_libevent (benchmark::State &state)
{
  timers_libevent (state, false);
}

void
BM_timer_fire_libevent (benchmark::State &state)
{
  timers_libevent (state, true);
}

#endif

void
pingpongargs (benchmark::internal::Benchmark *b)
{
  for (int n : {100, 500, 5000})
    b->Args ({n, 1})->Args ({n, 100});
}

BENCHMARK (BM_pingpong_ombrix)->Apply (pingpongargs);
#ifdef HAVE_LIBEVENT
BENCHMARK (BM_pingpong_libevent_select)->Apply (pingpongargs);
BENCHMARK (BM_pingpong_libevent_epoll)->Apply (pingpongargs);
#endif
BENCHMARK (BM_timer_insert_ombrix)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_timer_fire_ombrix)->Unit (benchmark::kMillisecond);
#ifdef HAVE_LIBEVENT
BENCHMARK (BM_timer_insert_libevent)->Unit (benchmark::kMillisecond);
BENCHMARK (BM_timer_fire_libevent)->Unit (benchmark::kMillisecond);
#endif

} // namespace

// Runs the benchmarks with the descriptor limit raised (N=5000 needs 10 000
// descriptors); then, unless OMBRIX_LOOP was set, runs this program again
// with OMBRIX_LOOP=select for the loop's own ping-pong (the way of waiting
// is chosen once per process).
int
main (int argc, char **argv)
{
  fdlim_set (rlim_t (fdlim_get (1)), 0);
  std::vector<char *> args (argv, argv + argc);
  benchmark::Initialize (&argc, argv);
  benchmark::RunSpecifiedBenchmarks ();
  benchmark::Shutdown ();
  if (getenv ("OMBRIX_LOOP"))
    return 0;
  setenv ("OMBRIX_LOOP", "select", 1);
  char filter[] = "--benchmark_filter=BM_pingpong_ombrix";
  args.push_back (filter);
  args.push_back (nullptr);
  execv ("/proc/self/exe", args.data ());
  perror ("execv /proc/self/exe");
  return 1;
}
