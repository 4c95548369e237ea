// Vary headers and secondary keys from arbitrary bytes.  Input: a Vary
// value, then request header lines "name: value", split at "\n".
//
// - cp_vary never crashes; its names are lower-case, sorted, unique and
//   never empty, and -1 exactly when an element is "*".
// - The secondary key does not change when the request's header names
//   change letter case, when its blanks become runs of blanks, or when
//   headers the Vary does not name come and go.
// - The whole input read as header lines by hdr_parse, when it is
//   accepted, writes out with hdr_text and reads back to the same lines.
#include "fuzz/fuzz.h"
#include "proxy/cachepolicy.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string>
split (const std::string &s, char c)
{
  std::vector<std::string> v;
  size_t p = 0, e;
  while ((e = s.find (c, p)) != std::string::npos)
    v.push_back (s.substr (p, e - p)), p = e + 1;
  v.push_back (s.substr (p));
  return v;
}

std::string
trim (const std::string &s)
{
  size_t b = s.find_first_not_of (" \t"), e = s.find_last_not_of (" \t");
  return b == std::string::npos ? "" : s.substr (b, e - b + 1);
}

std::string
key (const vec<str> &names, const hdrlist &h)
{
  str k = cp_varykey (names, h);
  return std::string (k.cstr (), k.len ());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  hdrlist all, again;
  if (hdr_parse (reinterpret_cast<const char *> (data), size, &all)) {
    str t = hdr_text (all);
    FUZZ_CHECK (hdr_parse (t.cstr (), t.len (), &again) &&
                    again.size () == all.size (),
                "%s: written %s",
                fuzzquote (std::string (t.cstr (), t.len ())).c_str (),
                fuzzquote (std::string (t.cstr (), t.len ())).c_str ());
    for (size_t i = 0; i < all.size (); i++)
      FUZZ_CHECK (all[i].name == again[i].name && all[i].val == again[i].val,
                  "line %zu of %s", i,
                  fuzzquote (std::string (t.cstr (), t.len ())).c_str ());
  }
  std::vector<std::string> lines =
      split (std::string (reinterpret_cast<const char *> (data), size), '\n');
  hdrlist resp;
  hdr_add (&resp, "Vary", str (lines[0].data (), lines[0].size ()));
  vec<str> names;
  int r = cp_vary (resp, &names);
  bool star = false;
  for (const std::string &e : split (lines[0], ','))
    star = star || trim (e) == "*";
  FUZZ_CHECK ((r == -1) == star, "%s: %d", fuzzquote (lines[0]).c_str (), r);
  for (size_t i = 0; i < names.size (); i++) {
    std::string n (names[i].cstr (), names[i].len ());
    FUZZ_CHECK (!n.empty () && (i == 0 || names[i - 1] < names[i]),
                "%s: name %zu %s", fuzzquote (lines[0]).c_str (), i,
                fuzzquote (n).c_str ());
    for (char c : n)
      FUZZ_CHECK (!(c >= 'A' && c <= 'Z'), "%s: %s",
                  fuzzquote (lines[0]).c_str (), fuzzquote (n).c_str ());
  }
  if (r < 0)
    return 0;

  hdrlist a, b;
  for (size_t i = 1; i < lines.size (); i++) {
    size_t c = lines[i].find (':');
    if (c == std::string::npos || c == 0)
      continue;
    std::string n = lines[i].substr (0, c), v = trim (lines[i].substr (c + 1));
    if (v.find_first_of ("\r\n") != std::string::npos)
      continue;
    hdr_add (&a, n.c_str (), str (v.data (), v.size ()));
    std::string un = n, wv;
    for (char &ch : un)
      ch = ch >= 'a' && ch <= 'z' ? ch ^ 0x20 : ch;
    for (char ch : v)
      wv += ch == ' ' ? std::string ("  \t") : std::string (1, ch);
    hdr_add (&b, un.c_str (), str (wv.data (), wv.size ()));
    hdr_add (&b, "X-Not-Named-Anywhere-At-All", str ("1"));
  }
  bool named = false;
  for (size_t i = 0; i < names.size (); i++)
    named = named || names[i] == "x-not-named-anywhere-at-all";
  if (!named)
    FUZZ_CHECK (key (names, a) == key (names, b), "%s: %s against %s",
                fuzzquote (lines[0]).c_str (),
                fuzzquote (key (names, a)).c_str (),
                fuzzquote (key (names, b)).c_str ());
  return 0;
}
