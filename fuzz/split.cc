// split and join with a fixed set of patterns, each beside a hand-written
// matcher that finds the same leftmost match in plain code.
//
// Input: a byte choosing the pattern, a byte choosing lim (bit 7 set: no
// limit; else the low 7 bits mod 10), a flag byte (bit 0 emptylast, bit 1
// a null expr, bit 2 a null separator, bit 3 a null element inserted
// before join), a byte placing that element, a byte giving the separator's
// length (mod 4) and that many bytes, then the text.
//
// - split gives the pieces of the documented cutting (each piece runs up
//   to the next match; an empty match skips a byte that goes nowhere; at
//   most lim pieces, the last the unsplit rest, added when not empty or
//   when emptylast asks) computed with the model matcher, and the same
//   count with a null out; a null expr splits like "".
// - join gives the pieces with the separator between them (a null one
//   reads as ""), a string, never null.
// - Splitting needs no model to be undone: with a literal pattern and
//   emptylast, join with that literal restores the text, whatever lim;
//   cutting at runs of white space and joining with one space, without a
//   limit, collapses each run to one space.
#include "async/rxx.h"
#include "fuzz/fuzz.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef bool (*finder) (const char *p, size_t n, size_t *s, size_t *e);

bool
space (char c)
{
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The first occurrence of lit (of len bytes) in [p, p + n).
bool
findlit (const char *p, size_t n, const char *lit, size_t len, size_t *s,
         size_t *e)
{
  for (size_t i = 0; i + len <= n; i++)
    if (!memcmp (p + i, lit, len)) {
      *s = i, *e = i + len;
      return true;
    }
  return false;
}

bool
comma (const char *p, size_t n, size_t *s, size_t *e)
{
  return findlit (p, n, ",", 1, s, e);
}

bool
commaspace (const char *p, size_t n, size_t *s, size_t *e)
{
  return findlit (p, n, ", ", 2, s, e);
}

bool
blanks (const char *p, size_t n, size_t *s, size_t *e)
{
  size_t i = 0;
  while (i < n && !space (p[i]))
    i++;
  if (i == n)
    return false;
  for (*s = i; i < n && space (p[i]); i++)
    ;
  *e = i;
  return true;
}

// \s*,\s*: the blanks before the first comma belong to the match.
bool
paddedcomma (const char *p, size_t n, size_t *s, size_t *e)
{
  size_t c, ce;
  if (!comma (p, n, &c, &ce))
    return false;
  for (*s = c; *s > 0 && space (p[*s - 1]); --*s)
    ;
  for (*e = ce; *e < n && space (p[*e]); ++*e)
    ;
  return true;
}

bool
xstar (const char *p, size_t n, size_t *s, size_t *e)
{
  for (*s = *e = 0; *e < n && p[*e] == 'x'; ++*e)
    ;
  return true;
}

bool
empty (const char *, size_t, size_t *s, size_t *e)
{
  *s = *e = 0;
  return true;
}

bool
newline (const char *p, size_t n, size_t *s, size_t *e)
{
  if (!findlit (p, n, "\n", 1, s, e))
    return false;
  if (*s > 0 && p[*s - 1] == '\r')
    --*s;
  return true;
}

bool
digits (const char *p, size_t n, size_t *s, size_t *e)
{
  size_t i = 0;
  while (i < n && !(p[i] >= '0' && p[i] <= '9'))
    i++;
  if (i == n)
    return false;
  for (*s = i; i < n && p[i] >= '0' && p[i] <= '9'; i++)
    ;
  *e = i;
  return true;
}

// ab|a: the first alternative wins where both match.
bool
aborb (const char *p, size_t n, size_t *s, size_t *e)
{
  if (!findlit (p, n, "a", 1, s, e))
    return false;
  if (*e < n && p[*e] == 'b')
    ++*e;
  return true;
}

bool
caselessab (const char *p, size_t n, size_t *s, size_t *e)
{
  for (size_t i = 0; i + 2 <= n; i++)
    if ((p[i] | 0x20) == 'a' && (p[i + 1] | 0x20) == 'b') {
      *s = i, *e = i + 2;
      return true;
    }
  return false;
}

// ^, matches only at the start of what is left.
bool
leadcomma (const char *p, size_t n, size_t *s, size_t *e)
{
  *s = 0, *e = 1;
  return n && p[0] == ',';
}

bool
atend (const char *, size_t n, size_t *s, size_t *e)
{
  *s = *e = n;
  return true;
}

struct pattern {
  const char *re, *opt;
  finder find;
  const char *lit; // a literal pattern's text (it joins the pieces back)
};

const pattern patterns[] = {
    {",", "", comma, ","},           {", ", "", commaspace, ", "},
    {"\\s+", "", blanks, nullptr},   {"\\s*,\\s*", "", paddedcomma, nullptr},
    {"x*", "", xstar, nullptr},      {"", "", empty, nullptr},
    {"\r?\n", "", newline, nullptr}, {"[0-9]+", "", digits, nullptr},
    {"ab|a", "", aborb, nullptr},    {"AB", "i", caselessab, nullptr},
    {"^,", "", leadcomma, nullptr},  {"\\z", "", atend, nullptr},
};
const size_t npatterns = sizeof (patterns) / sizeof (patterns[0]);

std::vector<std::string>
modelsplit (finder find, const std::string &x, size_t lim, bool emptylast)
{
  std::vector<std::string> out;
  size_t p = 0, s, e;
  while (lim > 1 && p <= x.size () &&
         find (x.data () + p, x.size () - p, &s, &e)) {
    out.push_back (x.substr (p, s));
    p += e > 0 ? e : 1;
    if (out.size () + 1 >= lim)
      break;
  }
  if (lim && (p < x.size () || emptylast))
    out.push_back (p < x.size () ? x.substr (p) : "");
  return out;
}

std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

std::string
show (const std::vector<std::string> &v)
{
  std::string r = "[";
  for (const std::string &s : v)
    r += (r.size () > 1 ? ", " : "") + fuzzquote (s);
  return r + "]";
}

std::string
collapse (const std::string &x)
{
  std::string r;
  for (size_t i = 0; i < x.size (); i++)
    if (!space (x[i]))
      r += x[i];
    else if (!i || !space (x[i - 1]))
      r += ' ';
  return r;
}

// What needs no model: joining the pieces of a literal pattern with it
// restores the text; joining pieces cut at white space with one space
// collapses the runs.
void
undo (const pattern &pat, const vec<str, 0> &out, const std::string &x,
      size_t lim)
{
  if (pat.lit) {
    std::string back = s2 (join (pat.lit, out));
    FUZZ_CHECK (back == x, "join (%s, split (%s, %s, %zu, true)) gives %s",
                pat.lit, pat.lit, fuzzquote (x).c_str (), lim,
                fuzzquote (back).c_str ());
  }
  if (pat.find == blanks && lim == SIZE_MAX) {
    std::string c = s2 (join (" ", out));
    FUZZ_CHECK (c == collapse (x),
                "join (\" \", split (\\s+, %s)) gives %s, not %s",
                fuzzquote (x).c_str (), fuzzquote (c).c_str (),
                fuzzquote (collapse (x)).c_str ());
  }
}

// join (sep, v) against the model, with a null element inserted at a
// fuzzer-chosen place when asked.
void
checkjoin (uint8_t place, uint8_t flags, std::string sep, vec<str, 0> &v,
           std::vector<std::string> want)
{
  str jsep = flags & 4 ? str () : str (sep.data (), sep.size ());
  if (flags & 4)
    sep.clear ();
  if (flags & 8) {
    size_t at = place % (v.size () + 1);
    v.push_back (str ());
    for (size_t i = v.size () - 1; i > at; i--)
      std::swap (v[i], v[i - 1]);
    want.insert (want.begin () + at, "");
  }
  std::string model;
  for (size_t i = 0; i < want.size (); i++)
    model += (i ? sep : "") + want[i];
  str j = join (jsep, v);
  FUZZ_CHECK (j && s2 (j) == model, "join (%s, %s): %s, not %s",
              fuzzquote (sep).c_str (), show (want).c_str (),
              fuzzquote (s2 (j)).c_str (), fuzzquote (model).c_str ());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  static std::vector<rxx> rx;
  if (rx.empty ())
    for (const pattern &p : patterns)
      rx.emplace_back (p.re, p.opt);

  fuzzin in (data, size);
  size_t which = in.byte () % npatterns;
  uint8_t l = in.byte (), flags = in.byte (), place = in.byte ();
  size_t lim = l & 0x80 ? SIZE_MAX : (l & 0x7f) % 10;
  bool emptylast = flags & 1;
  std::string sep = in.bytes (in.byte () % 4), x = in.bytes (size);
  const pattern &pat = patterns[which];
  str expr = flags & 2 ? str () : str (x.data (), x.size ());
  if (!expr)
    x.clear ();

  vec<str, 0> out;
  out.push_back (str ("stale", 5)); // split clears out first
  int n = split (&out, rx[which], expr, lim, emptylast);
  std::vector<std::string> got;
  for (size_t i = 0; i < out.size (); i++)
    got.push_back (s2 (out[i]));
  std::vector<std::string> want = modelsplit (pat.find, x, lim, emptylast);
  FUZZ_CHECK (n == int (got.size ()) && got == want &&
                  split (nullptr, rx[which], expr, lim, emptylast) == n,
              "split (/%s/, %s, %zu, %d): %d %s, not %s",
              fuzzquote (pat.re).c_str (), fuzzquote (x).c_str (), lim,
              emptylast, n, show (got).c_str (), show (want).c_str ());
  if (emptylast && lim > 0)
    undo (pat, out, x, lim);
  checkjoin (place, flags, sep, out, want);
  return 0;
}
