// suio's bulk path: 64 KiB queued as 64 referenced 1 KiB pieces and
// written to /dev/null with output (one writev), beside appending the same
// pieces to a std::string and one write.  Also many small copies, which
// the buffer coalesces, beside std::string appends.

#include <benchmark/benchmark.h>

#include "async/suio.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// 64 separate 1 KiB pieces, so that no two are contiguous.
const std::vector<std::string> &
pieces ()
{
  static std::vector<std::string> v = [] {
    std::vector<std::string> p;
    for (int i = 0; i < 64; i++)
      p.emplace_back (1024, char ('a' + i % 26));
    return p;
  }();
  return v;
}

struct devnull {
  int fd = open ("/dev/null", O_WRONLY);
  ~devnull () { close (fd); }
};

void
BM_suio_bulk_output (benchmark::State &st)
{
  devnull d;
  const auto &p = pieces ();
  for (auto _ : st) {
    suio u;
    for (const std::string &s : p)
      u.print (s.data (), s.size ());
    if (u.output (d.fd) != 1 || u.resid ())
      st.SkipWithError ("output failed");
  }
  st.SetBytesProcessed (st.iterations () * 65536);
}

void
BM_string_bulk_write (benchmark::State &st)
{
  devnull d;
  const auto &p = pieces ();
  for (auto _ : st) {
    std::string s;
    for (const std::string &x : p)
      s.append (x);
    if (write (d.fd, s.data (), s.size ()) != ssize_t (s.size ()))
      st.SkipWithError ("write failed");
  }
  st.SetBytesProcessed (st.iterations () * 65536);
}

// 1000 appends of 12 bytes each.
void
BM_suio_small_copies (benchmark::State &st)
{
  const char *piece = pieces ()[0].data ();
  for (auto _ : st) {
    suio u;
    for (int i = 0; i < 1000; i++)
      u.copy (piece, 12);
    benchmark::DoNotOptimize (u.iov ());
  }
  st.SetBytesProcessed (st.iterations () * 12000);
}

void
BM_string_small_appends (benchmark::State &st)
{
  const char *piece = pieces ()[0].data ();
  for (auto _ : st) {
    std::string s;
    for (int i = 0; i < 1000; i++)
      s.append (piece, 12);
    benchmark::DoNotOptimize (s.data ());
  }
  st.SetBytesProcessed (st.iterations () * 12000);
}

BENCHMARK (BM_suio_bulk_output);
BENCHMARK (BM_string_bulk_write);
BENCHMARK (BM_suio_small_copies);
BENCHMARK (BM_string_small_appends);

} // namespace
