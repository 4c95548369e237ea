// Regular expressions: option letters, error texts, match state, copies
// sharing the compiled pattern, the counted allocator, split against a
// model over std::regex, join, and every panic and assertion text.

#include "async/init.h"
#include "async/rxx.h"
#include "emulation.h"

#include <gtest/gtest.h>

#include <pcre2.h>

#include <climits>
#include <malloc.h>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Compiled before this module's start-up and after it (where the HTTP
// module compiles its patterns): both must go through the counted
// allocator.
rxx early INITPRIO (INITPRIO_AERR - 5) ("(b+)(x)?", "S");
rxx late INITPRIO (INITPRIO_HTTP) ("^([^\\s:]+):\\s*(.*)\\r?\\n\\z", "s");

std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

const rcbase *
hdr (const rxx &r)
{
  return reinterpret_cast<const rcbase *> (r.code ()) - 1;
}

// An extended regular expression matching text literally.
std::string
lit (const std::string &text)
{
  std::string r;
  for (char c : text) {
    if (strchr (".^$|()[]{}*+?\\", c))
      r += '\\';
    r += c;
  }
  return r;
}

// The start of a panic message whose record names file:line.
std::string
panichead (const char *file, int line)
{
  return "PANIC: (0x[0-9a-f]+ )*[^ \n]*" + lit (file) + ":" +
         std::to_string (line) + "\n";
}

// The library assertion's panic, raised in rxx.cc.
std::string
assertion (const char *cond)
{
  const std::string pos = "[^ \n]*rxx\\.cc:[0-9]+\n";
  return "PANIC: (0x[0-9a-f]+ )*" + pos +
         lit (std::string ("assertion \"") + cond + "\" failed at ") + pos;
}

// Up to max - 1 bytes drawn from alpha.
std::string
randtext (std::mt19937 &rng, const char *alpha, int max)
{
  std::string t;
  for (int n = rng () % max; n > 0; n--)
    t += alpha[rng () % strlen (alpha)];
  return t;
}

int badline;

void
compile_or_panic (const char *pat, const char *opt)
{
  badline = __LINE__ + 1;
  rxx r (pat, opt);
}

// PCRE2's own message for what compiling pat reports, and the offset.
std::string
pcre2_error (const char *pat, size_t *off)
{
  int code;
  pcre2_code *c = pcre2_compile (reinterpret_cast<PCRE2_SPTR> (pat),
                                 PCRE2_ZERO_TERMINATED, 0, &code, off, nullptr);
  EXPECT_EQ (c, nullptr);
  PCRE2_UCHAR buf[256];
  pcre2_get_error_message (code, buf, sizeof (buf));
  return reinterpret_cast<char *> (buf);
}

} // namespace

TEST (rxx, OptionLetters)
{
  struct {
    const char *pat, *opt, *subj;
    bool with, without;
  } cases[] = {
      {"a.b", "is", "A\nB", true, false},
      {"abc", "i", "xABCx", true, false},
      {"^b", "m", "a\nb", true, false},
      {"a.b", "s", "a\nb", true, false},
      {"a b # comment", "x", "ab", true, false},
      {"b", "^", "ab", false, true},
      {"a\\d", "X", "a1", true, true},
      {"a", "SSii^", "Ab", true, false},
  };
  for (auto &c : cases) {
    rxx with (c.pat, c.opt), without (c.pat, "");
    EXPECT_EQ (with.search (c.subj).success (), c.with) << c.pat << c.opt;
    EXPECT_EQ (without.search (c.subj).success (), c.without) << c.pat;
  }
  rxx greedy ("a+"), lazy ("a+", "U");
  EXPECT_EQ (s2 (greedy.search ("aaa")), "aaa");
  EXPECT_EQ (s2 (lazy.search ("aaa")), "a");
}

TEST (rxx, InitErrorTexts)
{
  rxx r ("a");
  EXPECT_EQ (s2 (r.init ("a", "iqs")),
             "invalid regular expression option 'q'\n");
  EXPECT_EQ (r.code (), nullptr); // nothing compiled, the old one released
  EXPECT_EQ (s2 (r.init ("a", " ")), "invalid regular expression option ' '\n");

  EXPECT_EQ (s2 (r.init ("(ab", "")), "Invalid regular expression:\n"
                                      "   (ab\n"
                                      "      ^\n"
                                      "missing closing parenthesis.\n");
  // Against PCRE2's own report for each pattern: the caret stands under
  // the offending character of the indented pattern.
  for (const char *pat : {"a)b", "\\y", "[a", "a{2,1}", "x**", "(?<n>a)(?<n>b)",
                          "0123456789012345678901234567890123456789("}) {
    size_t off;
    std::string msg = pcre2_error (pat, &off);
    for (const char *opt : {"", "X", "S"})
      EXPECT_EQ (s2 (r.init (pat, opt)),
                 "Invalid regular expression:\n   " + std::string (pat) + "\n" +
                     std::string (off, ' ') + "   ^\n" + msg + ".\n")
          << pat;
  }
  EXPECT_EQ (s2 (r.init ("a(b)", "S")), "<null>");
  EXPECT_TRUE (r.search ("ab"));
}

TEST (rxx, MatchState)
{
  rxx r ("(a)|(b)(c)?(d)?");
  EXPECT_FALSE (r.success ()); // nothing tried yet
  EXPECT_EQ (r.start (0), -1);

  EXPECT_FALSE (r.exec ("xyz"));
  EXPECT_FALSE (r.success ());
  EXPECT_EQ (s2 (r.at (0)), "<null>");
  EXPECT_EQ (r.start (0), -1);
  EXPECT_EQ (r.end (0), -1);
  EXPECT_EQ (r.len (0), 0);

  {
    str subject ("xxbd");
    EXPECT_TRUE (r.exec (subject));
  } // the rxx keeps the subject alive
  EXPECT_EQ (s2 (r.at (0)), "bd");
  EXPECT_EQ (s2 (r[1]), "<null>"); // took no part
  EXPECT_EQ (r.start (1), -1);
  EXPECT_EQ (s2 (r[2]), "b");
  EXPECT_EQ (s2 (r[3]), "<null>");
  EXPECT_EQ (s2 (r[4]), "d");
  EXPECT_EQ (r.start (4), 3);
  EXPECT_EQ (r.end (4), 4);
  EXPECT_EQ (r.len (0), 2);
  EXPECT_EQ (s2 (r[5]), "<null>"); // beyond the groups

  EXPECT_TRUE (r.exec ("a"));
  EXPECT_EQ (s2 (r[1]), "a");
  EXPECT_EQ (s2 (r[2]), "<null>"); // beyond the highest group set
  EXPECT_EQ (r.start (2), -1);

  // An empty match is an empty, non-null group.
  rxx e ("x*(y*)");
  EXPECT_TRUE (e.exec ("abc"));
  EXPECT_EQ (s2 (e[0]), "");
  EXPECT_EQ (s2 (e[1]), "");

  // Subjects with zero bytes and bytes above 0x7f.
  rxx z ("b\\x00(\\xff)");
  EXPECT_TRUE (z.exec (str ("a b\0\xff", 5)));
  EXPECT_EQ (s2 (z[0]), std::string ("b\0\xff", 3));
  EXPECT_EQ (s2 (z[1]), "\xff");

  r.clear ();
  EXPECT_FALSE (r.success ());
  EXPECT_EQ (s2 (r.at (0)), "<null>");
}

TEST (rxx, RawRangesAndOptions)
{
  rxx r ("^b(c)");
  const char text[] = "abcd";
  EXPECT_FALSE (r._exec (text, 4));
  EXPECT_TRUE (r._exec (text + 1, 2));
  EXPECT_EQ (r.start (1), 1);
  EXPECT_EQ (r.end (1), 2);
  EXPECT_FALSE (r._exec (text + 1, 1)); // the length bounds the subject
  EXPECT_FALSE (r.exec ("bc", PCRE2_NOTBOL));
  EXPECT_TRUE (r.exec ("bc", 0));
}

TEST (rxx, SearchAndMatchResults)
{
  rxx r ("(\\w+)@(\\w+)");
  rxx::matchresult m = r.search ("mail joe@host now");
  EXPECT_TRUE (m);
  EXPECT_TRUE (m.success ());
  EXPECT_EQ (s2 (m), "joe@host");
  EXPECT_EQ (s2 (m[1]), "joe");
  EXPECT_EQ (s2 (m[2]), "host");
  // A matchresult reads its rxx: the next match replaces what it shows.
  EXPECT_FALSE (r.search ("nothing here"));
  EXPECT_FALSE (m);
  EXPECT_EQ (s2 (m), "<null>");
  EXPECT_EQ (s2 (m[1]), "<null>");

  rxx w ("b+");
  EXPECT_TRUE (w.match ("bbb"));
  EXPECT_FALSE (w.match ("abbb"));
  EXPECT_FALSE (w.match ("bbba"));
  EXPECT_TRUE (w.search ("bbba"));
  rxx j ("b+", "S"); // the JIT-compiled pattern honours the anchoring too
  EXPECT_FALSE (j.match ("bbba"));
  EXPECT_EQ (s2 (j.match ("bb")), "bb");
}

TEST (rxx, StartUpOrder)
{
  for (rxx *r : {&early, &late}) {
    ASSERT_NE (r->code (), nullptr);
    EXPECT_EQ (hdr (*r)->magic, rcbase::magicval);
    EXPECT_EQ (hdr (*r)->cnt, 1);
  }
  EXPECT_EQ (s2 (early.search ("abbx")[1]), "bb");
  EXPECT_EQ (s2 (late.search ("Host:  example.com\n")[2]), "example.com");
}

// The compiled pattern is one counted block shared by the copies; match
// state is each copy's own.
TEST (rxx, CopiesShareThePattern)
{
  rxx a ("(o+)", "S");
  const rcbase *h = hdr (a);
  EXPECT_EQ (h->cnt, 1);
  EXPECT_EQ (h->magic, rcbase::magicval);
  ASSERT_TRUE (a.exec ("foo"));
  {
    rxx b (a);
    EXPECT_EQ (b.code (), a.code ());
    EXPECT_EQ (h->cnt, 2);
    EXPECT_FALSE (b.success ()); // a copy starts without a match
    EXPECT_TRUE (b.exec ("xoooy"));
    EXPECT_EQ (s2 (b[1]), "ooo");
    EXPECT_EQ (s2 (a[1]), "oo"); // a's state is untouched

    rxx c ("x");
    c = b; // c's own pattern goes (the leak checker sees it if not)
    EXPECT_EQ (h->cnt, 3);
    EXPECT_FALSE (c.success ());
    c = c; // self-assignment keeps everything
    EXPECT_EQ (h->cnt, 3);
    EXPECT_EQ (c.code (), a.code ());
  }
  EXPECT_EQ (h->cnt, 1);
  EXPECT_EQ (s2 (a[0]), "oo");

  rxx d ("q");
  d.mknull ();
  EXPECT_EQ (d.code (), nullptr);
  EXPECT_FALSE (d.success ());
  rxx e (d); // copying a pattern-less rxx shares nothing
  EXPECT_EQ (e.code (), nullptr);
  EXPECT_EQ (s2 (d.init ("q+")), "<null>");
  EXPECT_TRUE (d.exec ("qq"));
}

TEST (rxx, ThirdFreeFailsTheMagic)
{
  // After both copies are gone the block is freed; a further rcfree reads
  // freed memory, which AddressSanitizer reports before the magic check.
#if defined(__SANITIZE_ADDRESS__)
  const std::string expect = "heap-use-after-free";
#else
  const std::string expect = assertion ("r->magic == rcbase::magicval");
#endif
  EXPECT_DEATH (
      {
        void *code;
        {
          rxx a ("a(b)c", "S");
          rxx b (a);
          code = a.code ();
        }
        rcfree (code);
      },
      expect);
}

TEST (rxx, CountedAllocator)
{
  EXPECT_EQ (rccopy (nullptr), nullptr);
  rcfree (nullptr);

  void *p = rcmalloc (100);
  const rcbase *h = static_cast<rcbase *> (p) - 1;
  EXPECT_EQ (reinterpret_cast<uintptr_t> (p) % 8, 0u);
  EXPECT_EQ (h->cnt, 1);
  EXPECT_EQ (h->magic, rcbase::magicval);
  memset (p, 0x5a, 100);
  EXPECT_EQ (rccopy (p), p);
  EXPECT_EQ (rccopy (p), p);
  EXPECT_EQ (h->cnt, 3);
  rcfree (p);
  rcfree (p);
  EXPECT_EQ (h->cnt, 1);
  EXPECT_EQ (h->magic, rcbase::magicval);
  rcfree (p);

  rcfree (rcmalloc (0));

  // Blocks without the live magic, or with no count left.
  rcbase fake[2] = {{1, 0}, {0, 0}};
  EXPECT_DEATH (rcfree (&fake[1]), assertion ("r->magic == rcbase::magicval"));
  EXPECT_DEATH (rccopy (&fake[1]), assertion ("r->magic == rcbase::magicval"));
  fake[0] = {0, rcbase::magicval};
  EXPECT_DEATH (rcfree (&fake[1]), assertion ("r->cnt > 0"));
  fake[0] = {-3, rcbase::magicval};
  EXPECT_DEATH (rcfree (&fake[1]), assertion ("r->cnt > 0"));

  EXPECT_DEATH (rcmalloc (SIZE_MAX - 4), "^malloc failed\n$");
}

// The record names the line of the constructor call.
TEST (rxx, ConstructorPanics)
{
  compile_or_panic ("ok", "");
  const int line = badline;
  EXPECT_DEATH (compile_or_panic ("(ab", ""),
                panichead ("rxx_test.cc", line) +
                    lit ("Invalid regular expression:\n"
                         "   (ab\n"
                         "      ^\n"
                         "missing closing parenthesis.\n") +
                    "$");
  EXPECT_DEATH (compile_or_panic ("a", "z"),
                panichead ("rxx_test.cc", line) +
                    lit ("invalid regular expression option 'z'\n") + "$");
}

TEST (rxx, MisuseAndMatchErrors)
{
  rxx r ("(a)");
  EXPECT_DEATH (r.at (-1), assertion ("n >= 0"));
  EXPECT_DEATH (r.start (-1), assertion ("n >= 0"));
  EXPECT_DEATH (r.exec (str ()), assertion ("s"));
  ASSERT_TRUE (r._exec ("a", 1));
  EXPECT_EQ (r.start (1), 0);
  EXPECT_DEATH (r.at (1), assertion ("subj")); // no subject after _exec
  const char byte = 'a';
  EXPECT_DEATH (r._exec (&byte, static_cast<size_t> (INT_MAX) + 1),
                assertion ("len <= INT_MAX"));
  r.mknull ();
  EXPECT_DEATH (r.exec ("a"), assertion ("re"));
  EXPECT_DEATH (r.study (), assertion ("re"));

  // Every PCRE2 result other than a match or "no match" is a panic.
  const std::string pos = "PANIC: (0x[0-9a-f]+ )*[^ \n]*rxx\\.cc:[0-9]+\n";
  rxx ab ("ab"), abj ("ab", "S");
  for (rxx *x : {&ab, &abj}) {
    EXPECT_DEATH (x->exec ("a", PCRE2_PARTIAL_HARD),
                  pos + lit ("rxx/pcre_exec error -2\n") + "$");
    EXPECT_DEATH (x->exec ("a", 0x08000000),
                  pos + lit ("rxx/pcre_exec error -34\n") + "$");
  }
}

// tryexec gives -1 for every error exec panics on, keeps no match, and
// leaves the pattern usable; the match limit reached by a pattern that
// backtracks without end on a long subject is the case that matters.
// clear () drops the subject a match kept.
TEST (rxx, TryexecAndTheSubjectKept)
{
  rxx ab ("ab"), abj ("ab", "S"), nested ("(a|aa)+$"),
      nestedj ("(a|aa)+$", "S");
  for (rxx *x : {&ab, &abj}) {
    EXPECT_EQ (x->tryexec ("a", PCRE2_PARTIAL_HARD), -1);
    EXPECT_FALSE (x->success ());
    EXPECT_EQ (x->tryexec ("a", 0x08000000), -1);
    EXPECT_EQ (x->tryexec ("xab"), 1);
    EXPECT_EQ (x->at (0), "ab");
    EXPECT_EQ (x->tryexec ("xa"), 0);
  }
  std::string as = std::string (60, 'a') + "b";
  for (rxx *x : {&nested, &nestedj}) {
    EXPECT_EQ (x->tryexec (as.c_str ()), -1);
    EXPECT_FALSE (x->at (0));
    EXPECT_EQ (x->tryexec ("baa"), 1);
  }
  const std::string pos = "PANIC: (0x[0-9a-f]+ )*[^ \n]*rxx\\.cc:[0-9]+\n";
  EXPECT_DEATH (nested.exec (as.c_str ()),
                pos + lit ("rxx/pcre_exec error -47\n") + "$");

  str big (std::string (1 << 20, 'b').c_str ());
  EXPECT_FALSE (ab.exec (big));
  EXPECT_GT (big.obj ()->refcnt, 1u);
  ab.clear ();
  EXPECT_EQ (big.obj ()->refcnt, 1u);
}

#if !defined(__SANITIZE_ADDRESS__)
// A JIT failure (no executable memory under a tight address-space limit)
// is the study error, and a panic from the constructor.  Not under
// AddressSanitizer, which cannot run with such a limit.
TEST (rxx, StudyFailure)
{
  uint32_t jit = 0;
  pcre2_config (PCRE2_CONFIG_JIT, &jit);
  if (!jit)
    GTEST_SKIP () << "no JIT on this platform";
  if (emulated ())
    GTEST_SKIP () << emulation_skip
                  << "RLIMIT_AS bounds QEMU's own mappings, not the program's";
  auto limit = [] {
    pcre2_jit_free_unused_memory (nullptr);
    // Leave free heap behind so that PCRE2's ordinary blocks still fit.
    mallopt (M_TRIM_THRESHOLD, 256 << 20);
    mallopt (M_MMAP_THRESHOLD, 32 << 20);
    void *volatile warm = malloc (24 << 20); // volatile: not optimised out
    free (warm);
    FILE *f = fopen ("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!f || fscanf (f, "%lu", &pages) != 1)
      abort ();
    fclose (f);
    rlimit rl;
    rl.rlim_cur = rl.rlim_max = pages * sysconf (_SC_PAGESIZE) + 4096;
    setrlimit (RLIMIT_AS, &rl);
  };
  // Big enough that its code needs fresh executable memory: the space
  // left over in chunks the JIT already holds does not do.
  std::string pat;
  for (int i = 0; i < 1000; i++)
    pat += "w" + std::to_string (i) + "[xy]+z|";
  pat += "z";
  EXPECT_EXIT (
      {
        rxx r (pat.c_str ());
        limit ();
        str err = r.study ();
        fprintf (stderr, "[%s]", err ? err.cstr () : "null");
        // The pattern stays attached and matches without JIT code.
        bool ok = r.exec ("w999yxz") && r.len (0) == 7;
        fprintf (stderr, "[%d]", ok);
        r.init (pat.c_str (), "S");
        fprintf (stderr, "[%d]", r.exec ("aw17xz") && r.start (0) == 1);
        exit (0);
      },
      testing::ExitedWithCode (0),
      lit ("[Could not study regular expression: no more memory][1][1]"));
  compile_or_panic ("ok", "");
  const int line = badline;
  EXPECT_DEATH (
      {
        limit ();
        compile_or_panic (pat.c_str (), "S");
      },
      panichead ("rxx_test.cc", line) +
          lit ("Could not study regular expression: no more memory") + "$");
}
#endif

// The JIT-compiled pattern and the interpreter agree on random subjects.
TEST (rxx, JitAgreesWithInterpreter)
{
  const char *pats[] = {"(a|b)*c", "^([^\\s:]+):\\s*(.*)\\r?\\n\\z",
                        "(x+)(y*)?z", "[ab]{2,3}(c)?"};
  std::mt19937 rng (7);
  const char alpha[] = "abcxyz: \r\n";
  for (const char *pat : pats) {
    rxx plain (pat, "s"), jit (pat, "sS");
    for (int i = 0; i < 300; i++) {
      std::string t = randtext (rng, alpha, 12);
      str s (t.data (), t.size ());
      ASSERT_EQ (plain.exec (s), jit.exec (s)) << pat << " " << t;
      for (int g = 0; g < 4; g++) {
        EXPECT_EQ (plain.start (g), jit.start (g));
        EXPECT_EQ (plain.end (g), jit.end (g));
        EXPECT_EQ (s2 (plain[g]), s2 (jit[g]));
      }
    }
  }
}

// Many patterns with JIT code come and go; the leak checker sees any
// block (JIT control data included) left behind.
TEST (rxx, CompileAndReleaseRepeatedly)
{
  for (int i = 0; i < 200; i++) {
    rxx r ("(\\d+)-(\\d+)", i % 2 ? "S" : "");
    rxx c (r);
    ASSERT_TRUE (c.exec ("x 12-345"));
    EXPECT_EQ (s2 (c[2]), "345");
    r = c;
    EXPECT_EQ (hdr (c)->cnt, 2);
    EXPECT_EQ (s2 (r.init ("(", "")).substr (0, 28),
               "Invalid regular expression:\n");
    EXPECT_EQ (hdr (c)->cnt, 1);
  }
}

namespace {

// split's algorithm over std::string and std::regex.
int
modelsplit (std::vector<std::string> *out, const std::string &pat,
            const std::string &text, size_t lim, bool emptylast)
{
  std::regex re (pat);
  size_t p = 0, e = text.size ();
  int n = 0;
  out->clear ();
  while (lim > 1 && p <= e) {
    std::smatch m;
    if (!std::regex_search (text.begin () + p, text.end (), m, re))
      break;
    out->push_back (text.substr (p, m.position (0)));
    p += std::max<size_t> (m.position (0) + m.length (0), 1);
    n++;
    if (static_cast<size_t> (n) + 1 >= lim)
      break;
  }
  if (lim == 0)
    return n;
  p = std::min (p, e);
  if (p < e || emptylast) {
    out->push_back (text.substr (p));
    n++;
  }
  return n;
}

std::vector<std::string>
pieces (const vec<str, 0> &v)
{
  std::vector<std::string> r;
  for (size_t i = 0; i < v.size (); i++)
    r.push_back (s2 (v[i]));
  return r;
}

// The pieces split leaves in a vector that held something before; its
// count agrees with them and with a split that only counts.
std::vector<std::string>
splits (const rxx &pat, str text, size_t lim = SIZE_MAX, bool el = false)
{
  vec<str, 0> out;
  out.push_back ("stale");
  int n = split (&out, pat, text, lim, el);
  EXPECT_EQ (n, split (nullptr, pat, text, lim, el));
  EXPECT_EQ (static_cast<size_t> (n), out.size ());
  return pieces (out);
}

using sv = std::vector<std::string>;

} // namespace

TEST (split, Blanks)
{
  rxx blanks (" +");
  EXPECT_EQ (splits (blanks, "a b  c"), (sv{"a", "b", "c"}));
  EXPECT_EQ (splits (blanks, "a b  c", 2), (sv{"a", "b  c"}));
  EXPECT_EQ (splits (blanks, "a b "), (sv{"a", "b"}));
  EXPECT_EQ (splits (blanks, "a b ", SIZE_MAX, true), (sv{"a", "b", ""}));
  EXPECT_EQ (splits (blanks, "a b  c", 0), sv{});
  EXPECT_EQ (splits (blanks, "a b  c", 1), (sv{"a b  c"}));
  EXPECT_EQ (splits (blanks, " a"), (sv{"", "a"}));
  EXPECT_EQ (splits (blanks, ""), sv{});
  EXPECT_EQ (splits (blanks, "", SIZE_MAX, true), (sv{""}));
  EXPECT_EQ (splits (blanks, str ()), sv{}); // a null text is ""
  // The pattern is copied: its own match state stays as it was.
  EXPECT_FALSE (blanks.success ());
  EXPECT_EQ (hdr (blanks)->cnt, 1);
}

// A pattern that matches the empty string steps past the end of the text;
// the search stops there and the end counts as reached.
TEST (split, EmptyMatchPastTheEnd)
{
  rxx any ("x*");
  EXPECT_EQ (splits (any, "ab"), (sv{"", "", ""}));
  EXPECT_EQ (splits (any, "ab", SIZE_MAX, true), (sv{"", "", "", ""}));
  EXPECT_EQ (splits (any, "axb"), (sv{"", "", "", ""})); // skipped bytes go
  EXPECT_EQ (splits (any, ""), (sv{""}));
  EXPECT_EQ (splits (any, "ab", 3), (sv{"", ""}));
  EXPECT_EQ (splits (any, "abc", 3, true), (sv{"", "", "c"}));
  EXPECT_EQ (splits (rxx ("$"), "ab"), (sv{"ab", ""}));
}

TEST (split, AgainstModel)
{
  const char *pats[] = {" +",    ",",    "[0-9]+", "a*", "b?",
                        "(,|;)", "ab|a", "[ab]",   " ,"};
  const char alpha[] = "ab ,;01";
  const size_t lims[] = {0, 1, 2, 3, 5, SIZE_MAX};
  std::mt19937 rng (42);
  for (const char *pat : pats) {
    rxx r (pat, rng () % 2 ? "S" : "");
    for (int i = 0; i < 400; i++) {
      std::string t = randtext (rng, alpha, 14);
      size_t lim = lims[rng () % 6];
      bool el = rng () % 2;
      std::vector<std::string> want;
      int wn = modelsplit (&want, pat, t, lim, el);
      ASSERT_EQ (splits (r, str (t.data (), t.size ()), lim, el), want)
          << pat << " [" << t << "] " << lim << el;
      ASSERT_EQ (static_cast<size_t> (wn), want.size ());
    }
  }
}

TEST (join, Pieces)
{
  vec<str, 0> v;
  str e = join (",", v);
  ASSERT_TRUE (e); // empty, not null
  EXPECT_EQ (e.len (), 0u);
  v.push_back ("a");
  EXPECT_EQ (s2 (join (",", v)), "a");
  v.push_back ("b");
  v.push_back ("c");
  EXPECT_EQ (s2 (join (",", v)), "a,b,c");
  EXPECT_EQ (s2 (join ("", v)), "abc");
  EXPECT_EQ (s2 (join (str (), v)), "abc");
  v.push_back (str ());
  v.push_back ("");
  EXPECT_EQ (s2 (join (" - ", v)), "a - b - c -  - ");
  // Long pieces (referenced, not copied, by the builder) come out whole.
  vec<str, 0> w;
  std::string big (300, 'x'), sep (200, '|');
  w.push_back (big.c_str ());
  w.push_back (big.c_str ());
  EXPECT_EQ (s2 (join (sep.c_str (), w)), big + sep + big);
}

// Splitting at a literal separator and joining with it gives the text back.
TEST (join, InvertsSplit)
{
  rxx comma (",");
  std::mt19937 rng (3);
  vec<str, 0> out;
  for (int i = 0; i < 300; i++) {
    std::string t = randtext (rng, "ab,,c", 10);
    split (&out, comma, str (t.data (), t.size ()), SIZE_MAX, true);
    EXPECT_EQ (s2 (join (",", out)), t);
  }
}
