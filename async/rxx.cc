#include "rxx.h"
#include "err.h"
#include "init.h"
#include "malloc.h"

#include <pcre2.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

// ---- The counted allocator ----

static rcbase *
rchdr (void *p)
{
  return static_cast<rcbase *> (p) - 1;
}

void *
rcmalloc (size_t n)
{
  if (n > SIZE_MAX - sizeof (rcbase))
    xmalloc_failed (n);
  rcbase *r = static_cast<rcbase *> (xmalloc (n + sizeof (rcbase)));
  r->cnt = 1;
  r->magic = rcbase::magicval;
  return r + 1;
}

// Hazard: a block already handed back to free is read here; the magic is
// the best guess we have, not a guarantee.
void *
rccopy (void *p)
{
  if (!p)
    return p;
  rcbase *r = rchdr (p);
  libassert (r->magic == rcbase::magicval);
  libassert (r->cnt < INT32_MAX);
  r->cnt++;
  return p;
}

void
rcfree (void *p)
{
  if (!p)
    return;
  rcbase *r = rchdr (p);
  libassert (r->magic == rcbase::magicval);
  libassert (r->cnt > 0);
  if (--r->cnt == 0) {
    r->magic = 0;
    free (r);
  }
}

// ---- Start-up: PCRE2's contexts ----

// Never freed: patterns in statics may be released after stop ().
static pcre2_general_context *rxx_gctx;
static pcre2_compile_context *rxx_cctx;

static void *
rxx_pcre2_malloc (PCRE2_SIZE n, void *)
{
  return rcmalloc (n);
}

static void
rxx_pcre2_free (void *p, void *)
{
  rcfree (p);
}

int rxxinit::count;

rxxinit::rxxinit ()
{
  if (!count++)
    start ();
}

rxxinit::~rxxinit ()
{
  if (!--count)
    stop ();
}

void
rxxinit::start ()
{
  if (rxx_cctx)
    return;
  rxx_gctx =
      pcre2_general_context_create (rxx_pcre2_malloc, rxx_pcre2_free, nullptr);
  libassert (rxx_gctx);
  rxx_cctx = pcre2_compile_context_create (rxx_gctx);
  libassert (rxx_cctx);
}

void
rxxinit::stop ()
{
}

static rxxinit rxxinit_obj INITPRIO (INITPRIO_RXX);

// The contexts, made here when a pattern is compiled before start-up has
// reached this module.
static pcre2_compile_context *
rxx_compile_context ()
{
  rxxinit::start ();
  return rxx_cctx;
}

// ---- rxx ----

// The last reference goes through pcre2_code_free, which releases the JIT
// code as well; rcfree alone would leak it.
static void
rxx_release (pcre2_code *re)
{
  rcbase *r = rchdr (re);
  libassert (r->magic == rcbase::magicval);
  if (r->cnt == 1)
    pcre2_code_free (re);
  else
    rcfree (re);
}

rxx::rxx (const char *pat, const char *opt, const char *file, int line)
    : re (nullptr), md (nullptr), nsubpat (0), ovector (nullptr), ovecsize (0)
{
  str err = init (pat, opt);
  if (err) {
    char pos[1024];
    snprintf (pos, sizeof (pos), "%s:%d", file, line);
    panic_at (pos, "%s", err.cstr ());
  }
}

rxx::rxx (const rxx &r)
    : re (nullptr), md (nullptr), nsubpat (0), ovector (nullptr), ovecsize (0)
{
  copy (r);
}

rxx::~rxx ()
{
  freemem ();
}

rxx &
rxx::operator= (const rxx &r)
{
  if (this != &r) {
    freemem ();
    subj = str ();
    copy (r);
  }
  return *this;
}

void
rxx::copy (const rxx &r)
{
  re = static_cast<pcre2_code *> (rccopy (r.re));
  ovecsize = r.ovecsize;
  nsubpat = 0;
  subj = str ();
}

void
rxx::freemem ()
{
  if (re)
    rxx_release (re);
  re = nullptr;
  pcre2_match_data_free (md);
  md = nullptr;
  free (ovector);
  ovector = nullptr;
}

void
rxx::clear ()
{
  nsubpat = 0;
  subj = str ();
}

void
rxx::mknull ()
{
  freemem ();
  clear ();
  ovecsize = 0;
}

static str
rxx_option_error (char c)
{
  char buf[64];
  snprintf (buf, sizeof (buf), "invalid regular expression option '%c'\n", c);
  return buf;
}

static str
rxx_pcre2_message (int code)
{
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message (code, buf, sizeof (buf)) < 0)
    snprintf (reinterpret_cast<char *> (buf), sizeof (buf), "error %d", code);
  return reinterpret_cast<const char *> (buf);
}

// The pattern indented by three spaces, the caret under the offending
// character, PCRE2's message.
static str
rxx_compile_error (const char *pat, int code, size_t off)
{
  static const char spaces[] = "                                ";
  strbuf sb;
  sb << "Invalid regular expression:\n   " << pat << "\n";
  for (size_t n; off > 0; off -= n) {
    n = off < sizeof (spaces) - 1 ? off : sizeof (spaces) - 1;
    sb.buf (spaces, n);
  }
  sb << "   ^\n" << rxx_pcre2_message (code) << ".\n";
  return sb;
}

// The option letters and their compile flags.  X (strict escapes) needs
// none: PCRE2 always rejects unknown escapes.  S asks for the JIT step.
static const struct {
  char letter;
  uint32_t flag;
} rxx_options[] = {
    {'i', PCRE2_CASELESS},
    {'m', PCRE2_MULTILINE},
    {'s', PCRE2_DOTALL},
    {'x', PCRE2_EXTENDED},
    {'^', PCRE2_ANCHORED},
    {'U', PCRE2_UNGREEDY},
    {'X', 0},
    {'S', 0},
};

// Adds the flag of letter c; false for an unknown letter.
static bool
rxx_option (char c, uint32_t *flags)
{
  for (auto &o : rxx_options)
    if (o.letter == c) {
      *flags |= o.flag;
      return true;
    }
  return false;
}

str
rxx::init (const char *pat, const char *opt)
{
  libassert (pat);
  mknull ();
  uint32_t flags = 0;
  bool dostudy = false;
  for (const char *o = opt ? opt : ""; *o; o++) {
    if (!rxx_option (*o, &flags))
      return rxx_option_error (*o);
    dostudy |= *o == 'S';
  }

  int code;
  PCRE2_SIZE off;
  re = pcre2_compile (reinterpret_cast<PCRE2_SPTR> (pat), PCRE2_ZERO_TERMINATED,
                      flags, &code, &off, rxx_compile_context ());
  if (!re)
    return rxx_compile_error (pat, code, off);
  // Sized before the JIT step: a pattern whose JIT step fails stays
  // attached and usable.  PCRE2 allows at most 65535 groups.
  uint32_t cc;
  int r = pcre2_pattern_info (re, PCRE2_INFO_CAPTURECOUNT, &cc);
  int ns = r == 0 && cc <= 65535 ? static_cast<int> (cc) : -1;
  libassert (ns >= 0);
  ovecsize = 2 * (ns + 1);
  return dostudy ? study () : str ();
}

str
rxx::study ()
{
  libassert (re);
  uint32_t jit = 0;
  pcre2_config (PCRE2_CONFIG_JIT, &jit);
  if (!jit)
    return str ();
  int r = pcre2_jit_compile (re, PCRE2_JIT_COMPLETE);
  if (r == 0 || r == PCRE2_ERROR_JIT_BADOPTION)
    return str ();
  return strbuf () << "Could not study regular expression: "
                   << rxx_pcre2_message (r);
}

// Offsets are kept as ints: a subject must fit in an int.  A matching
// error panics unless mayfail, which makes it -1 with no match kept.
int
rxx::run (const char *p, size_t len, int options, bool mayfail)
{
  libassert (re);
  libassert (len <= INT_MAX);
  if (!ovector) {
    ovector = static_cast<int *> (xmallocarray (ovecsize, sizeof (int)));
    md = pcre2_match_data_create (ovecsize / 2, rxx_gctx);
    libassert (md);
  }
  int r = pcre2_match (re, reinterpret_cast<PCRE2_SPTR> (p), len, 0, options,
                       md, nullptr);
  if (r <= 0 && r != PCRE2_ERROR_NOMATCH) {
    if (!mayfail)
      panic_at (ERR_POS, "rxx/pcre_exec error %d\n", r);
    nsubpat = -1;
    return -1;
  }
  nsubpat = r;
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer (md);
  for (int i = 0; i < 2 * r; i++)
    ovector[i] = ov[i] == PCRE2_UNSET ? -1 : static_cast<int> (ov[i]);
  return r > 0;
}

bool
rxx::exec (str s, int options)
{
  libassert (s);
  subj = s;
  return run (s.cstr (), s.len (), options, false);
}

bool
rxx::_exec (const char *p, size_t len, int options)
{
  subj = str ();
  return run (p, len, options, false);
}

int
rxx::tryexec (str s, int options)
{
  libassert (s);
  subj = s;
  return run (s.cstr (), s.len (), options, true);
}

rxx::matchresult
rxx::search (str s, int options)
{
  exec (s, options);
  return matchresult (*this);
}

rxx::matchresult
rxx::match (str s, int options)
{
  exec (s, options | PCRE2_ANCHORED | PCRE2_ENDANCHORED);
  return matchresult (*this);
}

str
rxx::at (int n) const
{
  libassert (n >= 0);
  if (n >= nsubpat || ovector[2 * n] < 0)
    return str ();
  libassert (subj);
  return str (subj.cstr () + ovector[2 * n],
              ovector[2 * n + 1] - ovector[2 * n]);
}

int
rxx::start (int n) const
{
  libassert (n >= 0);
  return n < nsubpat ? ovector[2 * n] : -1;
}

int
rxx::end (int n) const
{
  libassert (n >= 0);
  return n < nsubpat ? ovector[2 * n + 1] : -1;
}

// ---- split and join ----

int
split (vec<str, 0> *out, rxx pat, str expr, size_t lim, bool emptylast)
{
  const char *p = expr ? expr.cstr () : "";
  const char *e = p + (expr ? expr.len () : 0);
  int n = 0;
  if (out)
    out->clear ();
  // An empty match at the end steps p past it: the search is over then.
  while (lim > 1 && p <= e && pat._exec (p, e - p, 0)) {
    if (out)
      out->push_back (str (p, pat.start (0)));
    p += pat.end (0) > 0 ? pat.end (0) : 1;
    n++;
    if (static_cast<size_t> (n) + 1 >= lim)
      break;
  }
  if (lim == 0)
    return n;
  if (p > e)
    p = e;
  if (p < e || emptylast) {
    n++;
    if (out)
      out->push_back (str (p, e - p));
  }
  return n;
}

str
join (str sep, const vec<str, 0> &v)
{
  strbuf sb;
  for (size_t i = 0; i < v.size (); i++) {
    if (i && sep)
      sb << sep;
    if (v[i])
      sb << v[i];
  }
  return sb;
}
