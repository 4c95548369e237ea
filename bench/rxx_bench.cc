// Matching header lines: rxx::search with the header-line pattern, without
// and with JIT ("S"), beside std::regex_search of the same pattern in
// ECMAScript syntax.  The lines are the header lines (with their CR LF) of
// the proxy heads in bench/data; one iteration matches all of them.

#include <benchmark/benchmark.h>

#include "async/rxx.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> &
lines ()
{
  static std::vector<std::string> v = [] {
    std::ifstream f (OMBRIX_BENCHDATA "/proxy_heads.http", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf ();
    std::string all = ss.str (), line;
    std::vector<std::string> r;
    for (size_t p = 0, e; (e = all.find ('\n', p)) != std::string::npos;
         p = e + 1) {
      line = all.substr (p, e + 1 - p);
      // Header lines only: not the request line, not the blank line.
      if (line.find (':') != std::string::npos &&
          line.find (' ') > line.find (':'))
        r.push_back (line);
    }
    return r;
  }();
  return v;
}

const char pcrepat[] = "^([^\\s:]+):\\s*(.*)\\r?\\n\\z";
// "." with dot-all is [\s\S]; \z is $ without multiline.
const char stdpat[] = "^([^\\s:]+):\\s*([\\s\\S]*)\\r?\\n$";

void
bm_rxx (benchmark::State &st, const char *opt)
{
  rxx r (pcrepat, opt);
  std::vector<str> subj;
  for (auto &l : lines ())
    subj.push_back (str (l.data (), l.size ()));
  for (auto _ : st)
    for (auto &s : subj) {
      bool ok = r.search (s).success ();
      benchmark::DoNotOptimize (ok);
      if (!ok)
        st.SkipWithError ("no match");
    }
  st.SetItemsProcessed (st.iterations () * subj.size ());
}

void
BM_rxx_search (benchmark::State &st)
{
  bm_rxx (st, "s");
}

void
BM_rxx_search_jit (benchmark::State &st)
{
  bm_rxx (st, "sS");
}

void
BM_std_regex_search (benchmark::State &st)
{
  std::regex re (stdpat);
  std::cmatch m;
  // Both patterns take the same groups out of every line.
  rxx r (pcrepat, "s");
  for (auto &l : lines ())
    if (!std::regex_search (l.data (), l.data () + l.size (), m, re) ||
        !r.search (str (l.data (), l.size ())) || m.str (1) != r[1].cstr () ||
        m.str (2) != r[2].cstr ())
      st.SkipWithError ("the patterns differ");
  for (auto _ : st)
    for (auto &l : lines ()) {
      bool ok = std::regex_search (l.data (), l.data () + l.size (), m, re);
      benchmark::DoNotOptimize (ok);
      if (!ok)
        st.SkipWithError ("no match");
    }
  st.SetItemsProcessed (st.iterations () * lines ().size ());
}

} // namespace

BENCHMARK (BM_rxx_search);
BENCHMARK (BM_rxx_search_jit);
BENCHMARK (BM_std_regex_search);
