// Request heads: request lines and URLs (ports read as decimal 0-65535
// only), the URL key against published SHA-1 vectors and a base-32 written
// here, the headers a proxy keeps, httpreq_parse's lengths, the incremental
// contract over the proxy corpus, and random damage to it.

#include "httptest.h"

#include "async/armor.h"
#include "crypt/sha1.h"

#include <climits>
#include <fstream>
#include <sstream>

namespace {

std::string
snapreq (httpreq &p, int r, const suio &rest)
{
  char b[200];
  snprintf (b, sizeof (b), "%d|%d|%lld|%d|%u|", r, p.nocache,
            (long long) p.if_modified_since, p.content_length (), p.port ());
  std::string s = b;
  for (const char *f : {p.method (), p.host (), p.path (), p.url (),
                        p.urlhash (), p.authorization.cstr ()})
    s += (f ? f : "<null>") + std::string ("|");
  return s + text (p.headers ()) + "|" + text (rest);
}

std::string
parsed (const std::string &head, int *r = nullptr)
{
  httpreq p;
  int n = httpreq_parse (&p, head.data (), head.size ());
  if (r)
    *r = n;
  return snapreq (p, n, suio ());
}

// Base-32 straight from its definition: the bits, most significant first,
// in groups of five, over the alphabet without l, o, 0 and 1.
std::string
base32 (const std::string &bytes)
{
  std::string bits, out;
  for (unsigned char c : bytes)
    for (int i = 7; i >= 0; i--)
      bits += (c >> i & 1) ? '1' : '0';
  while (bits.size () % 5)
    bits += '0';
  for (size_t i = 0; i < bits.size (); i += 5)
    out += "abcdefghijkmnpqrstuvwxyz23456789"[std::stoi (bits.substr (i, 5),
                                                         nullptr, 2)];
  return out;
}

std::string
unhex (const char *h)
{
  std::string s;
  for (; h[0] && h[1]; h += 2)
    s += char (std::stoi (std::string (h, 2), nullptr, 16));
  return s;
}

TEST (httpreq, HashstrIsSha1InBase32)
{
  EXPECT_EQ (s2 (hashstr ("abc")),
             base32 (unhex ("a9993e364706816aba3e25717850c26c9cd0d89d")));
  EXPECT_EQ (s2 (hashstr ("")),
             base32 (unhex ("da39a3ee5e6b4b0d3255bfef95601890afd80709")));
  EXPECT_EQ (
      s2 (hashstr ("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
      base32 (unhex ("84983e441c3bd26ebaae4aa1f95129e5e54670f1")));
  EXPECT_EQ (hashstr (str ("a\0b", 3)).len (), 32u);
  EXPECT_NE (hashstr (str ("a\0b", 3)), hashstr ("a"));
  // Every framing: one or two tail blocks, whole blocks before them.
  std::string m;
  for (int n = 0; n < 300; n++, m += char (n * 7)) {
    sha1ctx c;
    c.update (m.data (), m.size ());
    u_char d[sha1::hashsize];
    c.final (d);
    ASSERT_EQ (hashstr (str (m.data (), m.size ())), armor32 (d, sizeof (d)))
        << n;
  }
}

TEST (httpreq, UrlsAndPorts)
{
  struct {
    const char *line, *url;
    int port;
  } ok[] = {
      {"GET http://h:8080/a?b=1 HTTP/1.0", "http://h:8080/a?b=1", 8080},
      {"GET http://h:80/a", "http://h/a", 80},
      {"get http://h", "http://h/", 80},
      {"GET HTTP://Origin-Host:80 HTTP/1.1", "http://origin-host/", 80},
      {"GET http://h:0/", "http://h:0/", 0},
      {"GET http://h:010/", "http://h:10/", 10},
      {"GET http://h:08/", "http://h:8/", 8},
      {"GET http://h:080/", "http://h/", 80},
      {"GET http://h:65535/", "http://h:65535/", 65535},
      {"GET http://h:80x/a", "http://h/", 80},
      {"GET\thttp://a_b.c-d/P/Q HTTP/1.1", "http://a_b.c-d/P/Q", 80},
  };
  for (auto &c : ok) {
    SCOPED_TRACE (c.line);
    str method, url, host, path;
    u_int16_t port = 1;
    ASSERT_TRUE (
        httpparse::parsereq (&method, &url, S (std::string (c.line) + "\r\n")));
    EXPECT_EQ (s2 (url), c.url);
    EXPECT_EQ (s2 (method), "GET");
    ASSERT_TRUE (httpparse::parseurl (&host, &port, &path, url));
    EXPECT_EQ (port, c.port);
  }
  // Ports a client never named fail instead of wrapping; other failures
  // leave the outputs as they were.
  for (const char *bad : {"GET http://h:65536/", "GET http://h:65616/",
                          "GET http://h:99999999999999999999/",
                          "GET /index.html HTTP/1.0", "GET ftp://h/ HTTP/1.0",
                          "CONNECT h:443 HTTP/1.0", "GET  ", "http://h/", ""}) {
    SCOPED_TRACE (bad);
    str method ("m"), url ("u");
    EXPECT_FALSE (
        httpparse::parsereq (&method, &url, S (std::string (bad) + "\r\n")));
    EXPECT_EQ (s2 (method) + s2 (url), "mu");
    int r;
    parsed (std::string (bad) + "\r\n\r\n", &r);
    EXPECT_EQ (r, -1);
  }
  for (const char *bad :
       {"http://h:65536/", "http://h:065536", "ftp://h/", ""}) {
    str host ("h"), path ("p");
    u_int16_t port = 1;
    EXPECT_FALSE (httpparse::parseurl (&host, &port, &path, bad)) << bad;
    EXPECT_EQ (s2 (host) + s2 (path) + std::to_string (port), "hp1");
  }
}

TEST (httpreq, HeadFieldsAndLengths)
{
  httpreq fresh;
  EXPECT_EQ (snapreq (fresh, 0, suio ()),
             "0|0|-1|-1|0|<null>|<null>|<null>|<null>|<null>|<null>||");
  const std::string head =
      "get http://Origin-Host/Index.html HTTP/1.1\r\nHost: x\r\n"
      "Pragma: no-cache\r\nIf-Modified-Since: Sun Nov  6 08:49:37 1994\r\n"
      "Content-Length: 4294967301\r\nAuthorization: Basic QQ==\r\n"
      "Pragma: x\r\n\r\n";
  const std::string key = s2 (hashstr ("http://origin-host/Index.html"));
  EXPECT_EQ (parsed (head + "body"),
             std::to_string (head.size ()) +
                 "|1|784111777|2147483647|80|GET|"
                 "origin-host|/Index.html|http://origin-host/Index.html|" +
                 key +
                 "|Basic QQ==|GET /Index.html HTTP/1.0\r\nHost: x\r\n"
                 "Pragma: no-cache\r\nContent-Length: 4294967301\r\n"
                 "Authorization: Basic QQ==\r\nPragma: x\r\n|");
  // Every proper prefix is incomplete; a fault keeps what came before it.
  for (size_t k = 0; k < head.size (); k++) {
    int r;
    parsed (head.substr (0, k), &r);
    ASSERT_EQ (r, 0) << k;
  }
  EXPECT_EQ (parsed ("GET http://h/\r\nContent-Length: abc\r\nBad\r\n"
                     "Content-Length: 5\r\n\r\n"),
             "-1|0|-1|0|80|GET|h|/|http://h/|" + s2 (hashstr ("http://h/")) +
                 "|<null>|GET / HTTP/1.0\r\nContent-Length: abc\r\n|");
  int r;
  parsed ("\r\nGET http://h/\r\n\r\n", &r);
  EXPECT_EQ (r, -1);
  httpreq p;
  std::string h = "GET http://h/\r\nContent-Length: -99999999999\r\n\r\n";
  EXPECT_EQ (httpreq_parse (&p, h.data (), h.size ()), int (h.size ()));
  EXPECT_EQ (p.content_length (), INT_MIN);
}

std::vector<std::string>
corpus ()
{
  std::ifstream f (OMBRIX_TESTDIR "/../bench/data/proxy_heads.http",
                   std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf ();
  std::string all = ss.str ();
  std::vector<std::string> v;
  for (size_t p = 0, e; (e = all.find ("\r\n\r\n", p)) != std::string::npos;
       p = e + 4)
    v.push_back (all.substr (p, e + 4 - p));
  return v;
}

TEST (httpreq, CorpusInEverySplitAndDamaged)
{
  std::vector<std::string> heads = corpus ();
  ASSERT_EQ (heads.size (), 10u);
  for (auto &h : heads) {
    int r;
    std::string whole = parsed (h, &r);
    EXPECT_EQ (r, int (h.size ()));
    std::string s = everysplit<httpreq> (h, snapreq);
    EXPECT_EQ (s.substr (0, 2), "1|");
    // The head passed on: the rewritten request line, then every client
    // line but If-Modified-Since.
    std::string passed = h.substr (h.find ("\r\n") + 2);
    passed.resize (passed.size () - 2);
    size_t ims = passed.find ("If-Modified-Since:");
    if (ims != std::string::npos)
      passed.erase (ims, passed.find ("\r\n", ims) + 2 - ims);
    EXPECT_NE (whole.find (" HTTP/1.0\r\n" + passed + "|"), std::string::npos);
  }
  std::string want =
      std::to_string (heads[0].size ()) +
      "|0|-1|-1|8080|GET|example.com|/api/v2/users/1842/"
      "profile?fields=name,email,avatar|http://example.com:8080/";
  EXPECT_EQ (parsed (heads[0]).substr (0, want.size ()), want);
  std::mt19937 rng (11);
  for (int iter = 0; iter < 3000; iter++) {
    std::string m = heads[rng () % heads.size ()];
    for (int e = 1 + rng () % 4; e > 0; e--)
      m[rng () % m.size ()] = " :\r\n/\0\xff"[rng () % 7];
    std::string whole = feed<httpreq> (m, {}, false, snapreq);
    ASSERT_EQ (feed<httpreq> (m, randcuts (rng, m.size ()), true, snapreq),
               whole)
        << m;
  }
}

} // namespace
