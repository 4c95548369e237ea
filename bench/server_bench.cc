// Connections per second over loopback: the proxy (ombrix-proxy, found
// beside this program's folder, as build-bench/ombrix-proxy) against a
// minimal reference server, a forked child of this program doing blocking
// accept, write and close of the same line with the same backlog.  One
// client: connect, read to end of file, close.  Wall time, since nearly
// all of it is spent in the kernel and in the server.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <numeric>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const char kReply[] = "synchronous_proxy unimplemented... goodbye\n";

sockaddr_in
loopback (int port)
{
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  return sin;
}

int
free_port ()
{
  int s = socket (AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin = loopback (0);
  bind (s, (sockaddr *) &sin, sizeof (sin));
  socklen_t len = sizeof (sin);
  getsockname (s, (sockaddr *) &sin, &len);
  close (s);
  return ntohs (sin.sin_port);
}

// What the proxy does, and nothing else.
[[noreturn]] void
refserver (int port)
{
  int s = socket (AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int one = 1;
  setsockopt (s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof (one));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_ANY);
  if (bind (s, (sockaddr *) &sin, sizeof (sin)) < 0 || listen (s, 5) < 0)
    _exit (1);
  for (;;) {
    int c = accept (s, nullptr, nullptr);
    if (c < 0)
      continue;
    ssize_t n = write (c, kReply, sizeof (kReply) - 1);
    (void) n;
    close (c);
  }
}

std::string
proxypath ()
{
  char buf[4096];
  ssize_t n = readlink ("/proc/self/exe", buf, sizeof (buf) - 1);
  std::string s (buf, n > 0 ? size_t (n) : 0);
  s = s.substr (0, s.rfind ('/')); // build-bench/bench
  return s.substr (0, s.rfind ('/') + 1) + "ombrix-proxy";
}

// One connection, read to the end; false if it went wrong or stalled.
bool
fetch (int port)
{
  int s = socket (AF_INET, SOCK_STREAM, 0);
  timeval tv = {10, 0};
  setsockopt (s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof (tv));
  sockaddr_in sin = loopback (port);
  if (connect (s, (sockaddr *) &sin, sizeof (sin)) < 0) {
    close (s);
    return false;
  }
  char buf[64];
  size_t got = 0;
  ssize_t n;
  while ((n = read (s, buf, sizeof (buf))) > 0)
    got += n;
  close (s);
  return got == sizeof (kReply) - 1;
}

// This process, and so the servers it starts, on the one CPU it runs on:
// on a small virtual machine a wake-up on another CPU costs more than the
// rest of a connection, and where the scheduler puts each server would
// decide the comparison.
struct pin {
  cpu_set_t saved;
  pin ()
  {
    sched_getaffinity (0, sizeof (saved), &saved);
    int cpu = sched_getcpu ();
    cpu_set_t one;
    CPU_ZERO (&one);
    CPU_SET (cpu < 0 ? 0 : cpu, &one);
    sched_setaffinity (0, sizeof (one), &one);
  }
  ~pin () { sched_setaffinity (0, sizeof (saved), &saved); }
};

struct child {
  pid_t pid = -1;
  int port = free_port ();

  explicit child (bool ours)
  {
    if (ours) {
      std::string path = proxypath (), arg = std::to_string (port);
      char *argv[] = {path.data (), arg.data (), nullptr};
      if (posix_spawn (&pid, path.c_str (), nullptr, nullptr, argv, environ))
        pid = -1;
    } else if ((pid = fork ()) == 0) {
      refserver (port);
    }
  }
  child (const child &) = delete;
  ~child ()
  {
    if (pid > 0) {
      kill (pid, SIGKILL);
      waitpid (pid, nullptr, 0);
    }
  }
  bool ready ()
  {
    for (int i = 0; i < 500 && pid > 0; i++) {
      if (fetch (port))
        return true;
      usleep (10000);
    }
    return false;
  }
};

void
BM_connections (benchmark::State &state, bool ours)
{
  pin p;
  child srv (ours);
  if (!srv.ready ()) {
    state.SkipWithError ("the server does not answer");
    return;
  }
  for (auto _ : state)
    if (!fetch (srv.port)) {
      state.SkipWithError ("a connection went wrong");
      break;
    }
  state.counters["conn/s"] =
      benchmark::Counter (state.iterations (), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE (BM_connections, reference, false)
    ->UseRealTime ()
    ->MinTime (1.0);
BENCHMARK_CAPTURE (BM_connections, ombrix, true)->UseRealTime ()->MinTime (1.0);

// Both servers at once, taking turns in blocks of 200 connections (in the
// order ABBA ABBA..., since the second block of a pair runs a little
// slower), each block timed on its own: drift of a shared machine falls on
// both alike.  ratio is ombrix's rate over the reference's: the median over
// pairs of neighbouring blocks, so that a block in which some other process
// took the CPU does not decide it.
void
BM_connections_alternating (benchmark::State &state)
{
  pin p;
  child srv[2] = {child (false), child (true)}; // reference, ombrix
  if (!srv[0].ready () || !srv[1].ready ()) {
    state.SkipWithError ("a server does not answer");
    return;
  }
  using clk = std::chrono::steady_clock;
  const int block = 200;
  std::vector<double> secs[2];
  long k = 0;
  bool ok = true;
  for (auto _ : state) {
    int turn = (k & 1) ^ (k >> 1 & 1);
    k++;
    auto t0 = clk::now ();
    for (int i = 0; i < block; i++)
      ok &= fetch (srv[turn].port);
    secs[turn].push_back (
        std::chrono::duration<double> (clk::now () - t0).count ());
    if (!ok) {
      state.SkipWithError ("a connection went wrong");
      break;
    }
  }
  size_t pairs = std::min (secs[0].size (), secs[1].size ());
  if (!ok || pairs == 0)
    return;
  std::vector<double> ratios;
  for (size_t i = 0; i < pairs; i++)
    ratios.push_back (secs[0][i] / secs[1][i]);
  std::nth_element (ratios.begin (), ratios.begin () + pairs / 2,
                    ratios.end ());
  const char *names[2] = {"reference conn/s", "ombrix conn/s"};
  for (int i = 0; i < 2; i++)
    state.counters[names[i]] =
        block * secs[i].size () /
        std::accumulate (secs[i].begin (), secs[i].end (), 0.0);
  state.counters["ratio"] = ratios[pairs / 2];
}
BENCHMARK (BM_connections_alternating)->UseRealTime ()->MinTime (2.0);

} // namespace
