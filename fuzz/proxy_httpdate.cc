// HTTP dates from arbitrary bytes, through cp_date.
//
// - Reading never crashes, and a date read is one the three forms can
//   write: formatted again as an IMF-fixdate (the C library's calendar)
//   it reads back to the same instant, and when the input was 29 bytes it
//   is that text up to letter case and the weekday.
// - The first eight bytes as an instant in years 1 to 9999, written in
//   each form the year allows, read back to that instant.
#include "fuzz/fuzz.h"
#include "proxy/cachepolicy.h"

#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

const time_t now = 1700000000;
const char *const wd[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const mon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string
imf (time_t t)
{
  tm g;
  gmtime_r (&t, &g);
  char b[64];
  snprintf (b, sizeof (b), "%s, %02d %s %04d %02d:%02d:%02d GMT", wd[g.tm_wday],
            g.tm_mday, mon[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min,
            g.tm_sec);
  return b;
}

std::string
asc (time_t t)
{
  tm g;
  gmtime_r (&t, &g);
  char b[64];
  snprintf (b, sizeof (b), "%s %s %2d %02d:%02d:%02d %04d", wd[g.tm_wday],
            mon[g.tm_mon], g.tm_mday, g.tm_hour, g.tm_min, g.tm_sec,
            g.tm_year + 1900);
  return b;
}

bool
read (const std::string &s, time_t *t)
{
  return cp_date (s.data (), s.size (), now, t);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  std::string in (reinterpret_cast<const char *> (data), size);
  time_t t, back;
  if (read (in, &t)) {
    std::string w = imf (t);
    FUZZ_CHECK (read (w, &back) && back == t, "%s: %lld, written %s",
                fuzzquote (in).c_str (), (long long) t, w.c_str ());
    bool leap = in.size () > 23 && in[23] == '6' && in[24] == '0';
    if (size == 29 && !leap)
      FUZZ_CHECK (!strncasecmp (in.c_str () + 3, w.c_str () + 3, 26),
                  "%s: written %s", fuzzquote (in).c_str (), w.c_str ());
  }
  fuzzin f (data, size);
  const int64_t lo = -62135596800, span = 253402300799 - lo + 1;
  t = time_t (lo + int64_t (f.u64 () % uint64_t (span)));
  for (const std::string &w : {imf (t), asc (t)})
    FUZZ_CHECK (read (w, &back) && back == t, "%s: %lld, not %lld", w.c_str (),
                (long long) back, (long long) t);
  return 0;
}
