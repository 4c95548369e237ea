// Request heads from arbitrary bytes (input layout: httphead.h), through
// httpparse::parse on a suio and through httpreq_parse on a flat buffer.
//
// - Parsing never crashes or panics.
// - Whole, both parsers agree with their reference model (httpref.h: the
//   patterns) on the result, every field and every byte passed on.
// - The result, every field, the passed-on head and the bytes left over
//   are the same whether the message arrives whole or in pieces.
// - httpreq_parse agrees with parse: -1, 0, or the length of the consumed
//   head for 1, and the same fields.  Called first on a prefix (ending at
//   the first cut) and then on the whole message, as a caller collecting
//   bytes does, with the same parser: a prefix that already decides (not
//   0) decides the same way with the same fields, and the second call
//   leaves nothing of the first behind.
// - What the passed-on head holds.  Until a request line is accepted it is
//   empty.  After that it is the rebuilt line, method " " path
//   " HTTP/1.0\r\n", and then every consumed header line, byte for byte and
//   in order, except the If-Modified-Since lines, the blank line and a
//   refused line (headlines () in httphead.h splits the input into lines
//   independently of the parser).  Only the rebuilt line is not copied from
//   the input, so its parts are traced back instead: the method is the
//   front of the first line, upper-cased; the path stands in the first
//   line; and the URL is the normalised join of host, port and path.
#include "fuzz/httphead.h"
#include "fuzz/httpref.h"

#include <cstdio>

namespace {

// The fields behind the accessors, whole (a method or path may hold a NUL).
struct httpreqx : httpreq {
  using httpreq::_host;
  using httpreq::_method;
  using httpreq::_path;
  using httpreq::_url;
  using httpreq::_urlhash;

  std::string headers () const { return s2 (str (*_headers.tosuio ())); }
};

std::string
fields (const httpreqx &p)
{
  return std::to_string (p.nocache) + "|" +
         std::to_string (p.if_modified_since) + "|" +
         std::to_string (p.content_length ()) + "|" +
         std::to_string (p.port ()) + "|" + s2 (p._method) + "|" +
         s2 (p._host) + "|" + s2 (p._path) + "|" + s2 (p._url) + "|" +
         s2 (p._urlhash) + "|" + s2 (p.authorization) + "|" + p.headers ();
}

std::string
upper (std::string s)
{
  for (char &c : s)
    if (c >= 'a' && c <= 'z')
      c ^= 0x20;
  return s;
}

bool
ifmodifiedsince (const std::string &line)
{
  static const char name[] = "IF-MODIFIED-SINCE:";
  return upper (line.substr (0, sizeof (name) - 1)) == name;
}

void
checkheaders (const std::string &m, const httpreqx &p,
              const std::vector<std::string> &lines)
{
  std::string got = p.headers ();
  if (!p._urlhash) {
    FUZZ_CHECK (lines.empty () && got.empty (), "%s: passed on %s unaccepted",
                fuzzquote (m).c_str (), fuzzquote (got).c_str ());
    return;
  }
  std::string method = s2 (p._method), path = s2 (p._path);
  std::string want = method + " " + path + " HTTP/1.0\r\n";
  for (size_t i = 1; i < lines.size (); i++)
    if (!ifmodifiedsince (lines[i]))
      want += lines[i];
  FUZZ_CHECK (got == want, "%s: passed on %s, not %s", fuzzquote (m).c_str (),
              fuzzquote (got).c_str (), fuzzquote (want).c_str ());

  const std::string &first = lines[0];
  char port[8] = "";
  if (p.port () != 80)
    snprintf (port, sizeof (port), ":%d", p.port ());
  FUZZ_CHECK (upper (first.substr (0, method.size ())) == method &&
                  first.find (path) != std::string::npos &&
                  s2 (p._url) == "http://" + s2 (p._host) + port + path &&
                  p._urlhash.len () == 32,
              "%s: method %s, path %s, url %s", fuzzquote (m).c_str (),
              fuzzquote (method).c_str (), fuzzquote (path).c_str (),
              fuzzquote (s2 (p._url)).c_str ());
}

// httpreq_parse of m (from a block of exactly its size) with parser p must
// give n and the fields want; for a prefix only when it decides.
void
checkflat (httpreqx *p, const std::string &m, bool prefix, int n,
           const std::string &want)
{
  auto b = exactcopy (m);
  int got = httpreq_parse (p, b.get (), m.size ());
  if (prefix && got == 0)
    return;
  std::string f = fields (*p);
  FUZZ_CHECK (got == n && f == want, "httpreq_parse of %s%s: %d %s, not %d %s",
              prefix ? "the prefix " : "", fuzzquote (m).c_str (), got,
              fuzzquote (f).c_str (), n, fuzzquote (want).c_str ());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  headinput h = readhead (data, size);
  std::string why;
  bool unanswered;
  FUZZ_CHECK (httpagree (h.m, &why, &unanswered), "%s: %s",
              fuzzquote (h.m).c_str (), why.c_str ());
  auto whole = feedboth<httpreqx> (h, fields);
  checkheaders (h.m, whole->p, passedlines (h.m, *whole));

  int n = whole->r == 1 ? int (h.m.size () - whole->u.resid ()) : whole->r;
  std::string want = fields (whole->p);
  httpreqx p;
  if (!h.cut.empty ())
    checkflat (&p, h.m.substr (0, h.cut[0]), true, n, want);
  checkflat (&p, h.m, false, n, want);
  return 0;
}
