// Regular expressions: rxx, a compiled PCRE2 pattern together with the state
// of its last match, and split/join built on it.
//
// Memory: the compiled pattern (with its JIT code) lives in blocks from the
// counted allocator rcmalloc, which start-up installs as PCRE2's allocator.
// Copies of an rxx share the pattern, each holding one count; the last copy
// to go frees it.  Each rxx owns its match space (allocated on its first
// match, reused afterwards) and keeps a reference to the subject of its last
// exec.  at, operator[] and the matchresult conversions return new strs that
// stay valid on their own; start, end, len and success describe the most
// recent match and change with the next one.
//
// Errors: init and study return an error text (a null str on success); the
// constructor panics with it.  Misuse (a negative group, matching without a
// pattern, a null subject or one over INT_MAX bytes, at after _exec,
// a foreign or stale block handed to rcfree or rccopy) fails the library
// assertion; a PCRE2 matching error other than "no match" (a match, depth
// or heap limit reached on a long subject) is a panic from exec and _exec,
// and -1 from tryexec, which code matching input from the network uses.
// The subject a match keeps is released by clear ().  Not thread-safe: one
// rxx is matched from one place at a time.
#ifndef OMBRIX_ASYNC_RXX_H
#define OMBRIX_ASYNC_RXX_H

#include "async/str.h"
#include "async/vec.h"

#include <cstddef>
#include <cstdint>

// PCRE2's 8-bit types, as <pcre2.h> names them.  Code that passes PCRE2
// option bits to exec (PCRE2_NOTBOL, ...) includes <pcre2.h> itself.
typedef struct pcre2_real_code_8 pcre2_code_8;
typedef struct pcre2_real_match_data_8 pcre2_match_data_8;

// The header in front of every rcmalloc block.  The caller's pointer is the
// address just past it, aligned to 8 bytes (enough for PCRE2's structures).
struct rcbase {
  int32_t cnt;   // references; the block is freed when the last one goes
  int32_t magic; // magicval while live, 0 once freed: catches stale pointers
  static constexpr int32_t magicval = static_cast<int32_t> (0xa5e10288u);
};
static_assert (sizeof (rcbase) == 8, "an 8-byte header keeps 8-byte alignment");

extern "C" {
// A block of n bytes with count 1 (out of memory aborts, as xmalloc).
void *rcmalloc (size_t n) __attribute__ ((malloc, returns_nonnull));
// Drops one reference (nothing for null); the last one frees the block.
void rcfree (void *p);
// Adds one reference (nothing for null) and returns p.
void *rccopy (void *p);
}

// Installs the counted allocator as PCRE2's.  One start-up object in
// rxx.cc runs start () in the library's start-up order; a pattern compiled
// earlier than that runs it on first use.  stop () does nothing: patterns in
// statics destroyed after it still release through the same allocator.
struct rxxinit {
  static int count; // live rxxinit objects; the first starts, the last stops
  rxxinit ();
  ~rxxinit ();
  static void start ();
  static void stop ();
};

class rxx {
  pcre2_code_8 *re;       // compiled pattern shared by copies; null if none
  pcre2_match_data_8 *md; // PCRE2's match space, this copy's own
  int nsubpat;            // >0 pairs set by the last match, -1 none, 0 unused
  int *ovector;           // (start, end) per group, -1 where it took no part
  int ovecsize;           // ints in ovector: 2 * (capturing groups + 1)
  str subj;               // subject of the last exec; null after _exec

  void copy (const rxx &r);
  void freemem ();
  int run (const char *p, size_t len, int options, bool mayfail);

public:
  // The state of the most recent match of r: valid until r matches again.
  class matchresult {
    rxx &r;

  public:
    explicit matchresult (rxx &rx) : r (rx) {}
    bool success () const { return r.success (); }
    explicit operator bool () const { return r.success (); }
    operator str () const { return r.at (0); }
    str operator[] (int n) const { return r.at (n); }
  };

  // Compiles pat with the option letters opt; a bad pattern or option is a
  // panic whose stack-trace record names the caller's file and line.
  explicit rxx (const char *pat, const char *opt = "",
                const char *file = __builtin_FILE(),
                int line = __builtin_LINE());
  rxx (const rxx &r);
  ~rxx ();
  rxx &operator= (const rxx &r);

  // Compiles pat, releasing any pattern held before.  Option letters: i
  // caseless, m multiline, s dot-all, x extended, ^ anchored, U ungreedy,
  // X strict escapes (always on), S JIT-compile.  Returns a null str, or the
  // error text (a failed JIT step leaves the compiled pattern attached).
  str init (const char *pat, const char *opt = "");
  // JIT-compiles the pattern; without JIT on the platform it does nothing.
  str study ();

  // Matches s (options are PCRE2 match options) and keeps a reference to
  // it for at.  True on a match.
  bool exec (str s, int options = 0);
  // Matches the len bytes at p; at is not available afterwards.
  bool _exec (const char *p, size_t len, int options = 0);
  // As exec, but 1 on a match, 0 on none and -1, with no match kept, for
  // a matching error.
  int tryexec (str s, int options = 0);
  matchresult search (str s, int options = 0);
  // A match of the whole of s.
  matchresult match (str s, int options = 0);
  // Forgets the last match (and the subject), as if none had been tried.
  void clear ();
  // Releases the pattern and the match space: the rxx can only be given a
  // new pattern with init.
  void mknull ();

  bool success () const { return nsubpat > 0; }
  // Group n of the last exec as a new str; null if the match failed or
  // group n took no part.
  str at (int n) const;
  str operator[] (int n) const { return at (n); }
  // Offsets of group n in the subject; -1 if it has none.
  int start (int n) const;
  int end (int n) const;
  int len (int n) const { return end (n) - start (n); }
  // The compiled pattern, for pcre2_pattern_info (null if none).
  pcre2_code_8 *code () const { return re; }
};

// Cuts expr at every match of pat into at most lim pieces and returns their
// number; the pieces go into out (cleared first) unless out is null.  The
// last piece is the unsplit rest, added when it is not empty or emptylast is
// set.  An empty match skips one byte, which goes into no piece; once the
// search has stepped past the end it stops there.  lim 0 gives 0 and no
// pieces.  A null expr splits like "".
int split (vec<str, 0> *out, rxx pat, str expr, size_t lim = SIZE_MAX,
           bool emptylast = false);
// The elements of v with sep between them; "" (not null) for an empty v.
// A null element or separator counts as "".
str join (str sep, const vec<str, 0> &v);

#endif
