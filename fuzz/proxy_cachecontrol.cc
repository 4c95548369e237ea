// Cache-Control values from arbitrary bytes, through cc_parseval.
//
// - Parsing never crashes; every delta is -1 (absent) or in [0, 2^31].
// - Letter case never matters: the value upper-cased outside quoted
//   strings parses to the same directives.
// - A directive after a comma is read whatever came before, once the
//   quoted strings before it are closed: value + "\"" (when an odd number
//   of quotes left one open) + ", no-store, max-age=77" has no-store, and
//   max-age 77 unless the value set one first (or closing its quote
//   completed one).
#include "fuzz/fuzz.h"
#include "proxy/cachepolicy.h"

#include <string>

namespace {

std::string
dirs (const ccdirs &c)
{
  return std::to_string (c.no_store) + std::to_string (c.no_cache) +
         std::to_string (c.is_private) + std::to_string (c.is_public) +
         std::to_string (c.must_revalidate) +
         std::to_string (c.must_understand) +
         std::to_string (c.only_if_cached) + " " + std::to_string (c.max_age) +
         " " + std::to_string (c.s_maxage) + " " +
         std::to_string (c.max_stale) + " " + std::to_string (c.min_fresh);
}

ccdirs
parse (const std::string &v)
{
  ccdirs c;
  cc_clear (&c);
  cc_parseval (&c, v.data (), v.size ());
  return c;
}

// Upper-cased outside quoted strings; whether a quote is left open.
std::string
upper (const std::string &v, bool *open)
{
  std::string u = v;
  bool q = false;
  for (size_t i = 0; i < u.size (); i++) {
    if (q && u[i] == '\\')
      i++;
    else if (u[i] == '"')
      q = !q;
    else if (!q && u[i] >= 'a' && u[i] <= 'z')
      u[i] ^= 0x20;
  }
  *open = q;
  return u;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  std::string v (reinterpret_cast<const char *> (data), size);
  ccdirs c = parse (v);
  for (int64_t d : {c.max_age, c.s_maxage, c.max_stale, c.min_fresh})
    FUZZ_CHECK (d >= -1 && d <= cp_deltamax, "%s: delta %lld",
                fuzzquote (v).c_str (), (long long) d);
  bool open;
  std::string u = upper (v, &open);
  FUZZ_CHECK (dirs (parse (u)) == dirs (c), "%s: %s, upper-cased %s",
              fuzzquote (v).c_str (), dirs (c).c_str (),
              dirs (parse (u)).c_str ());
  // A trailing backslash inside an open quote escapes what follows.
  std::string more = v + (open ? (v.back () == '\\' ? " \"" : "\"") : "") +
                     ", no-store, max-age=77";
  ccdirs m = parse (more);
  bool age = m.max_age == (c.max_age >= 0 ? c.max_age : 77);
  FUZZ_CHECK (m.no_store && (age || open), "%s: %s", fuzzquote (more).c_str (),
              dirs (m).c_str ());
  return 0;
}
