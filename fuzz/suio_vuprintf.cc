// suio_vuprintf against the C library's snprintf.  The input is a
// sequence of pieces, each a literal, one conversion and a literal,
// appended to one buffer with suio_uprintf.  The input chooses the flags,
// width and precision (as digits or *), the size letter, the conversion,
// the literal bytes and the argument's value; the argument's type is the
// one the conversion calls for, so both sides read the same arguments.
//
// What snprintf is asked is adjusted only where the formatter differs on
// purpose: D, O and U are ld, lo and lu; a sign flag never applies to %p
// (nor is a null pointer printed: snprintf's "(nil)" is its own); %#.0o
// of zero prints no digit; the 0 flag pads texts and characters with
// zeros; an unknown conversion letter, or a %% with flags or width, prints
// itself like a %c; a lone % at the end of the format ends the output.
// And one glibc extension is left out: %#m, the errno's name.
#include "async/suio_vuprintf.h"
#include "fuzz/fuzz.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

// Formats and %s texts the buffer may reference: kept until it has
// consumed them.  A deque never moves what it holds.
std::deque<std::string> held;

std::string lastfmt; // the last piece's formats, for reports
int pieceerrno;      // errno for both calls: what %m prints

const char *
hold (std::string s)
{
  held.push_back (std::move (s));
  return held.back ().c_str ();
}

// One conversion as both sides get it.
struct spec {
  std::string flags; // as written, in order
  std::string width; // digits, "*" or empty
  std::string prec;  // ".digits", ".", ".*" or empty
  std::string size;  // "", "h", "l", "ll" or "q"
  char conv = 'd';   // the conversion letter
  int stars[2] = {}; // values for the * fields, in order
  int nstars = 0;
  bool has (char f) const { return flags.find (f) != flags.npos; }
  int starwidth () const { return width == "*" ? stars[0] : 0; }

  // Flags, width, precision and size, without the flags in drop.
  std::string body (const char *drop = "") const
  {
    std::string f;
    for (char c : flags)
      if (!strchr (drop, c))
        f += c;
    return "%" + f + width + prec + size;
  }
  // The precision in effect: -1 for none.
  int precision () const
  {
    if (prec.empty ())
      return -1;
    if (prec == ".*")
      return stars[nstars - 1] < 0 ? -1 : stars[nstars - 1];
    return atoi (prec.c_str () + 1);
  }
  bool leftadjust () const { return has ('-') || starwidth () < 0; }
};

template <class... A>
std::string
theirs (const std::string &fmt, A... a)
{
  int n = snprintf (nullptr, 0, fmt.c_str (), a...);
  FUZZ_CHECK (n >= 0, "snprintf (%s) failed", fuzzquote (fmt).c_str ());
  std::string s (n + 1, '\0');
  snprintf (&s[0], s.size (), fmt.c_str (), a...);
  s.resize (n);
  return s;
}

// Calls f (stars..., v) with the piece's star values in front.
template <class F, class T>
auto
withstars (const spec &c, F f, T v)
{
  switch (c.nstars) {
  case 0:
    return f (v);
  case 1:
    return f (c.stars[0], v);
  default:
    return f (c.stars[0], c.stars[1], v);
  }
}

// The 0 flag on a text: the padding in front is zeros, not blanks.
std::string
zeropad (const spec &c, std::string out, size_t textlen)
{
  if (c.has ('0') && !c.leftadjust () && out.size () > textlen)
    out.replace (0, out.size () - textlen, out.size () - textlen, '0');
  return out;
}

// Appends pre, the conversion and post to u with one call; returns what
// they should have become, with fmt for the conversion given to snprintf.
// For a text of textlen bytes, the 0 flag pads with zeros.
template <class T>
std::string
both (suio *u, const std::string &pre, const spec &c, const std::string &fmt,
      const std::string &post, T v, size_t textlen = std::string::npos)
{
  const char *whole = hold (pre + c.body () + c.conv + post);
  lastfmt = "ours " + fuzzquote (whole) + ", snprintf " + fuzzquote (fmt);
  errno = pieceerrno;
  withstars (
      c, [&] (auto... a) { return suio_uprintf (u, whole, a...), 0; }, v);
  errno = pieceerrno;
  std::string t = withstars (
      c, [&] (auto... a) { return theirs (fmt, a...); }, v);
  if (textlen != std::string::npos)
    t = zeropad (c, t, textlen);
  return pre + t + post;
}

std::string
literal (fuzzin &in)
{
  size_t n = in.byte ();
  std::string s = in.bytes (n % 16 ? n % 16 : 100 + n); // some over 128
  for (char &ch : s)
    if (ch == '%' || ch == '\0')
      ch = '.';
  return s;
}

spec
readspec (fuzzin &in)
{
  spec c;
  for (int n = in.byte () % 4; n > 0; n--)
    c.flags += "-+ #0"[in.byte () % 5];
  switch (in.byte () % 4) {
  case 1:
    c.width = std::to_string (1 + in.byte () % 30);
    break;
  case 2:
    c.width = std::to_string (1 + in.u16 () % 999);
    break;
  case 3:
    c.width = "*";
    c.stars[c.nstars++] = int (in.u16 () % 601) - 300;
    break;
  }
  switch (in.byte () % 5) {
  case 1:
    c.prec = ".";
    break;
  case 2:
    c.prec = "." + std::to_string (in.byte () % 30);
    break;
  case 3:
    c.prec = "." + std::to_string (in.u16 () % 999);
    break;
  case 4:
    c.prec = ".*";
    c.stars[c.nstars++] = int (in.u16 () % 311) - 10;
    break;
  }
  return c;
}

// One integer conversion with its argument type.
std::string
integer (fuzzin &in, suio *u, const std::string &pre, spec &c,
         const std::string &post)
{
  static const char *const sizes[] = {"", "h", "l", "ll", "q"};
  c.conv = "diuoxXDOU"[in.byte () % 9];
  bool upper = isupper (c.conv) && c.conv != 'X'; // D, O, U
  bool sgn = strchr ("diD", c.conv) != nullptr;
  uint64_t raw = in.u64 ();
  std::string size = upper ? "l" : sizes[in.byte () % 5];
  if (!upper)
    c.size = size;
  bool zero = size == "h"                   ? !uint16_t (raw)
              : size == "ll" || size == "q" ? !raw
              : size == "l"                 ? !(unsigned long) raw
                                            : !uint32_t (raw);
  bool octzero = zero && tolower (c.conv) == 'o' && !c.precision ();
  std::string fmt =
      (octzero ? c.body ("#") : c.body ()) +
      (upper ? size + char (tolower (c.conv)) : std::string (1, c.conv));
  if (size == "ll" || size == "q")
    return sgn ? both (u, pre, c, fmt, post, (long long) raw)
               : both (u, pre, c, fmt, post, (unsigned long long) raw);
  if (size == "l")
    return sgn ? both (u, pre, c, fmt, post, long (raw))
               : both (u, pre, c, fmt, post, (unsigned long) raw);
  return sgn ? both (u, pre, c, fmt, post, int (raw))
             : both (u, pre, c, fmt, post, unsigned (raw));
}

// One piece on u; returns what it should have appended.
std::string
piece (fuzzin &in, suio *u)
{
  std::string pre = literal (in), post = literal (in);
  spec c = readspec (in);
  switch (in.byte () % 8) {
  default:
    return integer (in, u, pre, c, post);
  case 3: {
    c.conv = 's';
    size_t n = in.byte ();
    std::string s = in.bytes (n % 32 ? n % 32 : 120 + n);
    for (char &ch : s)
      ch = ch ? ch : '.';
    int p = c.precision ();
    size_t len = p < 0 ? s.size () : std::min (s.size (), size_t (p));
    std::string fmt = c.body ("0") + "s";
    const char *arg = hold (s);
    return both (u, pre, c, fmt, post, arg, len);
  }
  case 4: {
    c.conv = 'p';
    uintptr_t v = uintptr_t (in.u64 ());
    void *ptr = reinterpret_cast<void *> (v ? v : 1);
    return both (u, pre, c, c.body ("+ ") + "p", post, ptr);
  }
  case 5: { // %m: errno's text, read when the call starts
    c.conv = 'm';
    pieceerrno = 1 + in.byte () % 133;
    std::string fmt = c.body ("0#") + "m"; // %#m: glibc's errno names
    const char *text = strerror (pieceerrno);
    int p = c.precision ();
    size_t len = p < 0 ? strlen (text) : strnlen (text, p);
    return both (u, pre, c, fmt, post, 0, len);
  }
  case 6: { // %c, %%, and letters the formatter does not know
    c.conv = "cc%nfyzkwjtLCS"[in.byte () % 14];
    int ch = c.conv == 'c' ? int (in.byte ()) : c.conv;
    std::string fmt = c.body ("0") + "c";
    return both (u, pre, c, fmt, post, ch, 1);
  }
  case 7: { // a lone % ending the format
    const char *f = hold (pre + "%" + c.flags);
    lastfmt = "ours " + fuzzquote (f);
    suio_uprintf (u, f, 0);
    return pre;
  }
  }
}

std::string
contents (const suio &u)
{
  std::string s (u.resid (), '\0');
  s.resize (u.copyout (&s[0]));
  return s;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  held.clear ();
  suio u;
  std::string want;
  for (int i = 0; in.more (); i++) {
    want += piece (in, &u);
    const char *err = u.check ();
    FUZZ_CHECK (!err, "piece %d: %s", i, err);
    std::string got = contents (u);
    size_t at = 0;
    while (at < want.size () && at < got.size () && want[at] == got[at])
      at++;
    FUZZ_CHECK (got == want,
                "piece %d (%s): from byte %zu ours %s, snprintf %s", i,
                lastfmt.c_str (), at, fuzzquote (got.substr (at, 80)).c_str (),
                fuzzquote (want.substr (at, 80)).c_str ());
    if (want.size () > 32768) { // keep each comparison cheap
      u.rembytes (u.resid ());
      want.clear ();
      held.clear ();
    }
  }
  return 0;
}
