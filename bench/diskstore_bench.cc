// The disk cache: the rescan of 100 000 objects at start-up, and the time
// the loop thread spends per miss written to disk, beside the same files
// written by the loop itself (open, write, rename), as a loop without the
// worker would.  The loop figures are per object: mean, 99th percentile
// and worst, in microseconds.
#include "proxy/diskstore.h"

#include "async/core.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int
rmone (const char *p, const struct stat *, int, FTW *)
{
  return remove (p);
}

std::string
scratch (const char *base)
{
  std::string t = std::string (base) + "/ombrix-dbench-XXXXXX";
  return mkdtemp (&t[0]);
}

double
now ()
{
  return std::chrono::duration<double, std::micro> (
             std::chrono::steady_clock::now ().time_since_epoch ())
      .count ();
}

void
report (benchmark::State &s, std::vector<double> &t)
{
  std::sort (t.begin (), t.end ());
  double sum = 0;
  for (double x : t)
    sum += x;
  s.counters["mean_us"] = sum / double (t.size ());
  s.counters["p99_us"] = t[t.size () * 99 / 100];
  s.counters["max_us"] = t.back ();
}

const char *const head = "HTTP/1.1 200 OK\r\nContent-Length: 65536\r\n\r\n";

// Object files made directly, then one start-up rescan of them: on tmpfs
// (/dev/shm), and on the disk (/var/tmp) with the page cache dropped first
// where this process may (else warm, and the counter cold is 0).
void
BM_Rescan (benchmark::State &s)
{
  const int n = int (s.range (0));
  const bool ondisk = s.range (1);
  std::string dir = scratch (ondisk ? "/var/tmp" : "/dev/shm") + "/c";
  {
    dstore st (dir.c_str (), uint64_t (1) << 40);
    st.start (nullptr);
    st.drain ();
  }
  std::string b (1024, 'b');
  for (int i = 0; i < n; i++) {
    dmeta m;
    m.url = strbuf ().fmt ("http://o/%d", i);
    m.secondary = "";
    m.t = dtimes{200, 1700000000, 0, 60, false, false, false, false};
    m.headlen = strlen (head);
    m.bodylen = b.size ();
    str h = dsk_header (m), name = dsk_name (m.url, "");
    std::string p = dir + "/" + name[0] + "/" + name[1] + "/" + name.cstr ();
    int fd = open (p.c_str (), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write (fd, h.cstr (), h.len ()) < 0 ||
        write (fd, head, strlen (head)) < 0 ||
        write (fd, b.data (), b.size ()) < 0)
      s.SkipWithError ("cannot write the objects");
    close (fd);
  }
  bool cold = false;
  for (auto _ : s) {
    s.PauseTiming ();
    if (ondisk) {
      sync ();
      int fd = open ("/proc/sys/vm/drop_caches", O_WRONLY);
      cold = fd >= 0 && write (fd, "3", 1) == 1;
      if (fd >= 0)
        close (fd);
    }
    s.ResumeTiming ();
    dstore st (dir.c_str (), uint64_t (1) << 40);
    st.start (nullptr);
    st.drain ();
    if (st.count () != size_t (n))
      s.SkipWithError ("objects missing");
  }
  s.counters["cold"] = cold;
  s.counters["objects_per_s"] = benchmark::Counter (
      double (n) * double (s.iterations ()), benchmark::Counter::kIsRate);
  nftw (dir.substr (0, dir.size () - 2).c_str (), rmone, 16,
        FTW_DEPTH | FTW_PHYS);
}
BENCHMARK (BM_Rescan)
    ->Args ({100000, 0})
    ->Args ({100000, 1})
    ->Iterations (1)
    ->UseRealTime ()
    ->Unit (benchmark::kSecond);

// 64 KiB misses through the store on a real disk (/tmp): the loop's time
// per object in store, append and finish.  The worker drains whenever 64
// objects wait, outside the timed calls.
void
BM_MissLoopTime_Worker (benchmark::State &s)
{
  std::string base = scratch ("/tmp"), dir = base + "/c";
  dstore st (dir.c_str (), uint64_t (256) << 20);
  st.start (nullptr);
  st.drain ();
  std::string b (65536, 'w');
  std::vector<double> t;
  int i = 0;
  for (auto _ : s) {
    str url = strbuf ().fmt ("http://o/%d", i++ % 4096);
    double t0 = now ();
    ptr<dwriter> w =
        st.store (url, "", head, dtimes{200, 0, 0, 60, 0, 0, 0, 0}, {});
    w->append (str (b.data (), b.size ()));
    w->finish ();
    t.push_back (now () - t0);
    if (i % 64 == 0) {
      s.PauseTiming ();
      st.drain ();
      s.ResumeTiming ();
    }
  }
  st.drain ();
  report (s, t);
  nftw (base.c_str (), rmone, 16, FTW_DEPTH | FTW_PHYS);
}
BENCHMARK (BM_MissLoopTime_Worker)
    ->Iterations (4096)
    ->Unit (benchmark::kMicrosecond);

// The peer: the same files written by the loop thread itself.
void
BM_MissLoopTime_OnLoop (benchmark::State &s)
{
  std::string base = scratch ("/tmp");
  std::string b (65536, 'w');
  std::vector<double> t;
  int i = 0;
  for (int d = 0; d < 64; d++)
    mkdir ((base + "/" + std::to_string (d)).c_str (), 0755);
  for (auto _ : s) {
    int k = i++ % 4096;
    std::string tmp = base + "/tmp." + std::to_string (k),
                fin = base + "/" + std::to_string (k % 64) + "/" +
                      std::to_string (k);
    double t0 = now ();
    int fd = open (tmp.c_str (), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write (fd, head, strlen (head)) < 0 ||
        write (fd, b.data (), b.size ()) < 0)
      s.SkipWithError ("write failed");
    close (fd);
    rename (tmp.c_str (), fin.c_str ());
    t.push_back (now () - t0);
  }
  report (s, t);
  nftw (base.c_str (), rmone, 16, FTW_DEPTH | FTW_PHYS);
}
BENCHMARK (BM_MissLoopTime_OnLoop)
    ->Iterations (4096)
    ->Unit (benchmark::kMicrosecond);

} // namespace
