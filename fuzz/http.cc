// Request and response heads from arbitrary bytes: parsing must never
// crash or panic, must give the same fields, passed-on head, result and
// leftover bytes whether the message arrives whole or in pieces (each
// piece an iovec entry of its own, parse called after each), and
// httpreq_parse must return -1, 0 or the length of a head that ends in a
// line feed.
//
// Input: one byte k (mod 16), then k bytes giving the gaps between cuts,
// then the message.
#include "fuzz/fuzz.h"
#include "http.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

std::string
snap (httpreq &p, int r, suio &rest)
{
  return std::to_string (r) + "|" + std::to_string (p.nocache) + "|" +
         std::to_string (p.if_modified_since) + "|" +
         std::to_string (p.content_length ()) + "|" +
         std::to_string (p.port ()) + "|" + s2 (p.method ()) + "|" +
         s2 (p.url ()) + "|" + s2 (p.urlhash ()) + "|" + s2 (p.authorization) +
         "|" + s2 (str (*p.headers ().tosuio ())) + "|" + s2 (str (rest));
}

std::string
snap (httpresp &p, int r, suio &rest)
{
  return std::to_string (r) + "|" + std::to_string (p.status) + "|" +
         std::to_string (p.nocache) + "|" + std::to_string (p.date) + "|" +
         std::to_string (p.expires) + "|" + std::to_string (p.last_modified) +
         "|" + std::to_string (p.content_length ()) + "|" + s2 (p.statusmsg) +
         "|" + s2 (str (*p.headers ().tosuio ())) + "|" + s2 (str (rest));
}

template <class P>
std::string
feed (const std::string &m, const std::vector<size_t> &cuts)
{
  P p;
  suio u;
  int r = 0;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size (); i++) {
    size_t to = i < cuts.size () ? cuts[i] : m.size ();
    u.breakiov ();
    u.pushiov (m.data () + from, to - from);
    from = to;
    if (r == 0)
      r = p.parse (&u);
    FUZZ_CHECK (r >= -1 && r <= 1, "parse returned %d", r);
  }
  FUZZ_CHECK (r != 1 || s2 (str (u)) == m.substr (m.size () - u.resid ()),
              "leftover bytes of %s", fuzzquote (m).c_str ());
  return snap (p, r, u);
}

template <class P>
void
contract (const std::string &m, const std::vector<size_t> &cuts,
          const char *what)
{
  std::string whole = feed<P> (m, {}), pieces = feed<P> (m, cuts);
  FUZZ_CHECK (whole == pieces, "%s %s: whole %s, in pieces %s", what,
              fuzzquote (m).c_str (), fuzzquote (whole).c_str (),
              fuzzquote (pieces).c_str ());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  std::vector<size_t> gaps;
  for (int k = in.byte () % 16; k > 0; k--)
    gaps.push_back (in.byte ());
  std::string m = in.bytes (size);
  std::vector<size_t> cuts;
  size_t at = 0;
  for (size_t g : gaps)
    if ((at += g) <= m.size ())
      cuts.push_back (at);
  contract<httpreq> (m, cuts, "request");
  contract<httpresp> (m, cuts, "response");

  httpreq q;
  int n = httpreq_parse (&q, m.data (), m.size ());
  FUZZ_CHECK (n >= -1 && size_t (n < 0 ? 0 : n) <= m.size () &&
                  (n <= 0 || m[n - 1] == '\n'),
              "httpreq_parse (%s) returned %d", fuzzquote (m).c_str (), n);
  return 0;
}
