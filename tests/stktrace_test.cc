// Stack-trace records: their text, checked against the C library's own
// backtrace(), the loaded objects' code, the room rule and the cache.
#include "async/stktrace.h"

#include <gtest/gtest.h>

#include <climits>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <execinfo.h>
#include <link.h>
#include <map>
#include <pthread.h>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// Longest entry: "0x", every digit of a pointer, a blank.
constexpr size_t entrymax = 2 + 2 * sizeof (void *) + 1;

struct record {
  std::vector<uintptr_t> pcs; // outermost first
  std::string pos;
};

// Splits a record, failing the test if its text is malformed.
record
parse (const char *rec)
{
  static const std::regex entry ("0x([1-9a-f][0-9a-f]{0," +
                                 std::to_string (2 * sizeof (void *) - 1) +
                                 "}) ");
  record r;
  EXPECT_LE (strlen (rec), size_t (STKTRACE_MAX));
  std::cmatch m;
  const char *p = rec;
  while (
      std::regex_search (p, m, entry, std::regex_constants::match_continuous)) {
    r.pcs.push_back (uintptr_t (strtoull (m[1].first, nullptr, 16)));
    p = m[0].second;
  }
  r.pos = p;
  return r;
}

std::string
hexentry (uintptr_t pc)
{
  char buf[32];
  snprintf (buf, sizeof (buf), "0x%" PRIxPTR " ", pc);
  return buf;
}

struct segment {
  uintptr_t lo, hi;
  bool main; // part of the test program itself
};

// The executable segments of every loaded object.
std::vector<segment>
codesegments ()
{
  std::vector<segment> v;
  dl_iterate_phdr (
      [] (dl_phdr_info *info, size_t, void *arg) {
        auto *v = static_cast<std::vector<segment> *> (arg);
        bool main = !info->dlpi_name || !*info->dlpi_name;
        for (int i = 0; i < info->dlpi_phnum; i++) {
          const auto &ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
            uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
            v->push_back ({lo, lo + ph.p_memsz, main});
          }
        }
        return 0;
      },
      &v);
  return v;
}

// 0: not code; 1: code of another object; 2: code of the test program.
int
codeof (uintptr_t pc)
{
  static const std::vector<segment> segs = codesegments ();
  for (const auto &s : segs)
    if (pc >= s.lo && pc < s.hi)
      return s.main ? 2 : 1;
  return 0;
}

struct probed {
  const char *rec;
  uintptr_t ret;          // probe's own return address
  std::vector<void *> bt; // backtrace() taken in probe
};

__attribute__ ((noinline)) probed
probe (const char *pos, int lim)
{
  probed p;
  p.rec = __backtrace (pos, lim);
  p.bt.resize (100);
  p.bt.resize (size_t (backtrace (p.bt.data (), int (p.bt.size ()))));
  p.ret = reinterpret_cast<uintptr_t> (__builtin_return_address (0));
  return p;
}

// The frames outside probe as backtrace() saw them, outermost first, each
// minus one: everything from the entry that is probe's return address on
// (a sanitizer's backtrace adds a frame of its own in front).
std::vector<uintptr_t>
peer (const probed &p)
{
  std::vector<uintptr_t> v;
  for (void *a : p.bt)
    if (!v.empty () || reinterpret_cast<uintptr_t> (a) == p.ret)
      v.push_back (reinterpret_cast<uintptr_t> (a) - 1);
  EXPECT_FALSE (v.empty ()) << "probe's caller not in backtrace()";
  return std::vector<uintptr_t> (v.rbegin (), v.rend ());
}

// Checks what any record taken through probe must satisfy.
record
checkprobe (const probed &p, const char *pos)
{
  record r = parse (p.rec);
  EXPECT_EQ (r.pos, pos);
  return r;
}

TEST (Backtrace, RecordsReturnAddressesMinusOneOutermostFirst)
{
  const char *pos = "stktrace_test.cc:120";
  probed p = probe (pos, -1);
  record r = checkprobe (p, pos);
  ASSERT_GE (r.pcs.size (), 3u) << p.rec;

  // The last entry is inside probe, at its call of __backtrace; the one
  // before it is where this test called probe.
  uintptr_t fn = reinterpret_cast<uintptr_t> (&probe);
  EXPECT_GT (r.pcs.back (), fn);
  EXPECT_LT (r.pcs.back (), fn + 1024);
  EXPECT_EQ (r.pcs[r.pcs.size () - 2], p.ret - 1);

  // Further out, the frames backtrace() saw.  The walk stops only at the
  // end of the stack or for want of room.
  std::vector<uintptr_t> outer (r.pcs.begin (), r.pcs.end () - 1);
  std::vector<uintptr_t> want = peer (p);
  ASSERT_LE (outer.size (), want.size ());
  EXPECT_TRUE (std::equal (outer.begin (), outer.end (),
                           want.end () - std::ptrdiff_t (outer.size ())));
  if (outer.size () < want.size ()) {
    EXPECT_LT (STKTRACE_MAX - strlen (p.rec), entrymax) << p.rec;
  }

  for (size_t i = 0; i < r.pcs.size (); i++)
    EXPECT_NE (codeof (r.pcs[i]), 0) << hexentry (r.pcs[i]);
  EXPECT_EQ (codeof (r.pcs.back ()), 2);
  EXPECT_EQ (codeof (r.pcs[r.pcs.size () - 2]), 2);

  // Full-width, lower-case, no leading zeros: as printf writes them.
  std::string text;
  for (uintptr_t pc : r.pcs)
    text += hexentry (pc);
  EXPECT_EQ (text + pos, p.rec);
}

TEST (Backtrace, LimitKeepsTheInnermostFrames)
{
  // One call site for every request, so that the paths are the same.
  const char *pos = "lim.cc:7";
  std::vector<int> lims = {-1, 0, 1, 2, 3, 4, 5, 6, 0, -2, -100, INT_MIN};
  std::vector<const char *> recs;
  for (int lim : lims)
    recs.push_back (probe (pos, lim).rec);

  const auto all = parse (recs[0]).pcs;
  for (size_t i = 1; i <= 7; i++) {
    size_t lim = size_t (lims[i]);
    record r = parse (recs[i]);
    EXPECT_EQ (r.pos, pos);
    ASSERT_EQ (r.pcs.size (), std::min (lim, all.size ())) << lim;
    EXPECT_TRUE (std::equal (r.pcs.begin (), r.pcs.end (),
                             all.end () - std::ptrdiff_t (r.pcs.size ())))
        << lim;
  }
  // lim 0: the position alone, but a cached copy of it.
  EXPECT_STREQ (recs[1], pos);
  EXPECT_NE (recs[1], pos);
  EXPECT_EQ (recs[8], recs[1]);
  // Any negative limit means none.
  for (size_t i = 9; i < lims.size (); i++)
    EXPECT_EQ (recs[i], recs[0]) << lims[i];
}

TEST (Backtrace, PositionLengthAndRoom)
{
  std::string p255 (255, 'a'), p256 (256, 'b'), p1000 (1000, 'c');
  const char *r = probe (p255.c_str (), -1).rec;
  EXPECT_NE (r, p255.c_str ());
  EXPECT_EQ (r, p255);
  EXPECT_EQ (probe (p256.c_str (), -1).rec, p256.c_str ());
  EXPECT_EQ (probe (p1000.c_str (), -1).rec, p1000.c_str ());

  // An entry is written only when the widest one would fit.
  std::string fits (STKTRACE_MAX - entrymax, 'f');
  std::string tight (STKTRACE_MAX - entrymax + 1, 't');
  EXPECT_EQ (parse (probe (fits.c_str (), -1).rec).pcs.size (), 1u);
  record t = parse (probe (tight.c_str (), -1).rec);
  EXPECT_EQ (t.pcs.size (), 0u);
  EXPECT_EQ (t.pos, tight);
}

// Distinct call paths for the cache test: depth d adds d frames.
__attribute__ ((noinline)) const char *
nest (int d, const char *pos)
{
  const char *r = d ? nest (d - 1, pos) : __backtrace (pos, -1);
  asm volatile("" ::: "memory"); // not a tail call: keep the frame
  return r;
}

__attribute__ ((noinline)) const char *
other (const char *pos)
{
  const char *r = __backtrace (pos, -1);
  asm volatile("" ::: "memory");
  return r;
}

// Random requests against a map from record text to the pointer first
// handed out for it.
TEST (Backtrace, CacheHandsOutOnePointerPerRecord)
{
  std::mt19937 rng (4);
  std::map<std::string, const char *> seen;
  std::set<const char *> ptrs;
  std::vector<std::string> positions;
  for (int i = 0; i < 40; i++)
    positions.push_back ("cache.cc:" + std::to_string (i * 37));
  for (int step = 0; step < 3000; step++) {
    const std::string &pos = positions[rng () % positions.size ()];
    unsigned site = rng () % 6;
    const char *r =
        site == 5 ? other (pos.c_str ()) : nest (int (site), pos.c_str ());
    ASSERT_EQ (parse (r).pos, pos);
    auto it = seen.find (r);
    if (it == seen.end ()) {
      ASSERT_TRUE (ptrs.insert (r).second) << "pointer reused: " << r;
      seen.emplace (r, r);
    } else {
      ASSERT_EQ (it->second, r) << r;
    }
  }
  // 40 positions times 6 call paths, all still intact.
  EXPECT_EQ (seen.size (), 240u);
  for (const auto &kv : seen)
    EXPECT_EQ (kv.first, kv.second);
}

__attribute__ ((noinline)) const char *
deep (int d)
{
  const char *r = d ? deep (d - 1) : __backtrace ("deep.cc:1", -1);
  asm volatile("" ::: "memory");
  return r;
}

TEST (Backtrace, DeepStackFillsTheRecordWithInnermostFrames)
{
  record r = parse (deep (20000));
  EXPECT_EQ (r.pos, "deep.cc:1");
  ASSERT_GE (r.pcs.size (), (STKTRACE_MAX - 9) / entrymax);
  uintptr_t fn = reinterpret_cast<uintptr_t> (&deep);
  // All but the innermost are the same recursive call site.
  for (size_t i = 0; i + 1 < r.pcs.size (); i++)
    EXPECT_EQ (r.pcs[i], r.pcs[0]);
  EXPECT_NE (r.pcs.back (), r.pcs[0]);
  for (uintptr_t pc : r.pcs) {
    EXPECT_GT (pc, fn);
    EXPECT_LT (pc, fn + 1024);
  }
}

const char *handler_rec;

void
onsignal (int)
{
  handler_rec = __backtrace ("signal.cc:1", -1);
}

TEST (Backtrace, SignalHandlerOnAnAlternateStack)
{
  std::vector<char> altstack (1 << 16);
  stack_t ss = {}, oldss;
  ss.ss_sp = altstack.data ();
  ss.ss_size = altstack.size ();
  ASSERT_EQ (sigaltstack (&ss, &oldss), 0);
  struct sigaction sa = {}, old;
  sa.sa_handler = onsignal;
  sa.sa_flags = SA_ONSTACK;
  ASSERT_EQ (sigaction (SIGUSR1, &sa, &old), 0);
  raise (SIGUSR1);
  sigaction (SIGUSR1, &old, nullptr);
  sigaltstack (&oldss, nullptr);

  ASSERT_NE (handler_rec, nullptr);
  record r = parse (handler_rec);
  EXPECT_EQ (r.pos, "signal.cc:1");
  ASSERT_GE (r.pcs.size (), 1u);
  for (uintptr_t pc : r.pcs)
    EXPECT_NE (codeof (pc), 0) << hexentry (pc);
}

void *
onthread (void *arg)
{
  *static_cast<probed *> (arg) = probe ("thread.cc:1", -1);
  return nullptr;
}

TEST (Backtrace, SmallThreadStack)
{
  pthread_attr_t attr;
  pthread_attr_init (&attr);
  pthread_attr_setstacksize (&attr, 1 << 17);
  probed p;
  pthread_t t;
  ASSERT_EQ (pthread_create (&t, &attr, onthread, &p), 0);
  pthread_join (t, nullptr);
  pthread_attr_destroy (&attr);

  record r = checkprobe (p, "thread.cc:1");
  ASSERT_GE (r.pcs.size (), 2u) << p.rec;
  EXPECT_EQ (r.pcs[r.pcs.size () - 2], p.ret - 1);
  // The thread's stack is short: every frame is recorded.
  EXPECT_EQ (std::vector<uintptr_t> (r.pcs.begin (), r.pcs.end () - 1),
             peer (p))
      << p.rec;
  for (uintptr_t pc : r.pcs)
    EXPECT_NE (codeof (pc), 0) << hexentry (pc);
}

} // namespace
