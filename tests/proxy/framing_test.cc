// Framing without I/O: the head scanner and the chunked decoder give the
// same answer whether bytes come whole or in pieces (random messages
// against the encoder that made them), and the catalogue of ambiguous
// framings is refused.
#include "proxy/framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>
#include <string>

namespace {

// Scans s fed in growing prefixes cut at random points, as a connection
// delivers it: the result, status and length.
std::string
scanpieces (const std::string &s, bool req, std::mt19937 &rng)
{
  headscan h (req);
  int r = 0;
  for (size_t n = 0; n < s.size () && !r;) {
    n = std::min (s.size (), n + 1 + rng () % 40);
    r = h.scan (s.data (), n);
  }
  return std::to_string (r) + "/" + std::to_string (h.status) + "/" +
         std::to_string (h.len);
}

std::string
scanwhole (const std::string &s, bool req)
{
  headscan h (req);
  int r = h.scan (s.data (), s.size ());
  return std::to_string (r) + "/" + std::to_string (h.status) + "/" +
         std::to_string (h.len);
}

TEST (HeadScan, Catalogue)
{
  std::string u = "GET http://a/ HTTP/1.1\r\n";
  struct {
    std::string head;
    int result, status;
  } cases[] = {
      {u + "Host: a\r\n\r\n", 1, 0},
      {u + "Host: a\r\nX:\r\n\r\nBODY", 1, 0},
      {u + "Host: a\r\n", 0, 0},
      {u + "Host: a\n\r\n", -1, 400},         // bare LF
      {u + "Host: a\rb\r\n\r\n", -1, 400},    // bare CR
      {u + "Host : a\r\n\r\n", -1, 400},      // blank before the colon
      {u + "Host: a\r\n b\r\n\r\n", -1, 400}, // folded
      {u + "Ho\x01st: a\r\n\r\n", -1, 400},
      {u + "Host: a\x7f\r\n\r\n", -1, 400},
      {u + "Host: a\tb\xff\r\n\r\n", 1, 0}, // HTAB, obs-text in values
      {u + ": a\r\n\r\n", -1, 400},
      {"GET  http://a/ HTTP/1.1\r\n\r\n", -1, 400},
      {"GET http://a/ HTTP/1.2\r\n\r\n", -1, 400},
      {"GET http://a/\x01 HTTP/1.1\r\n\r\n", -1, 400},
      {"G(T http://a/ HTTP/1.1\r\n\r\n", -1, 400},
      {"\r\n" + u + "\r\n", -1, 400},
      {"GET http://a/" + std::string (8200, 'x') + " HTTP/1.1\r\n\r\n", -1,
       414},
      {"GET http://a/" + std::string (8200, 'x'), -1, 414},
      {u + "X: " + std::string (70000, 'x'), -1, 431},
      {u + "X: " + std::string (65000, 'x') +
           "\r\nY: " + std::string (1000, 'y') + "\r\n\r\n",
       -1, 431},
  };
  std::mt19937 rng (1);
  for (auto &c : cases) {
    std::string want =
        std::to_string (c.result) + "/" + std::to_string (c.status) + "/" +
        std::to_string (c.result == 1 ? c.head.find ("\r\n\r\n") + 4 : 0);
    EXPECT_EQ (scanwhole (c.head, true), want) << c.head.substr (0, 60);
    EXPECT_EQ (scanpieces (c.head, true, rng), want) << c.head.substr (0, 60);
  }
  // Responses: bare LF line ends are read, the rest as strict; too long
  // is 502.
  headscan r (false);
  std::string ok = "HTTP/1.0 200\nX: 1\n\nbody";
  EXPECT_EQ (r.scan (ok.data (), ok.size ()), 1);
  EXPECT_EQ (r.len, ok.size () - 4);
  for (std::string bad : std::vector<std::string>{
           std::string ("HTTP/1.1 20 OK\r\n\r\n"),
           std::string ("HTTP/1.1 200OK\r\n\r\n"),
           "HTTP/1.1 200 OK\r\nX: 1\r\n\tfold\r\n\r\n", "ICY 200 OK\r\n\r\n",
           "HTTP/1.1 200 OK\r\nX: " + std::string (70000, 'x')}) {
    headscan b (false);
    EXPECT_EQ (b.scan (bad.data (), bad.size ()), -1) << bad.substr (0, 40);
    EXPECT_EQ (b.status, 502);
  }
}

// Random heads, some with a hostile byte planted: whole and in pieces
// always agree.
TEST (HeadScan, WholeAgreesWithPieces)
{
  std::mt19937 rng (7);
  const char planted[] = "\r\n\0\x01 :\t\x7f\xff";
  for (int i = 0; i < 3000; i++) {
    std::string h =
        i % 2 ? "GET http://h/p HTTP/1.1\r\n" : "HTTP/1.1 200 OK\r\n";
    for (int k = rng () % 8; k > 0; k--)
      h += "Name-" + std::to_string (k) + ": " +
           std::string (rng () % 300, 'v') + "\r\n";
    h += "\r\n";
    for (int k = rng () % 3; k > 0; k--)
      h[rng () % h.size ()] = planted[rng () % (sizeof planted - 1)];
    bool req = i % 2;
    ASSERT_EQ (scanwhole (h, req), scanpieces (h, req, rng)) << h;
  }
}

// Encodes body as chunks of random sizes with random extensions and
// trailers, then some bytes of the next message.
std::string
encode (const std::string &body, std::mt19937 &rng)
{
  std::string out;
  for (size_t i = 0; i < body.size ();) {
    size_t k = std::min (body.size () - i, size_t (1 + rng () % 3000));
    char h[32];
    snprintf (h, sizeof h, rng () % 2 ? "%zx" : "%zX", k);
    out += h;
    if (rng () % 3 == 0)
      out += rng () % 2 ? ";a=1;b=\"x y\"" : " \t;e";
    out += "\r\n" + body.substr (i, k) + "\r\n";
    i += k;
  }
  out += "0\r\n";
  if (rng () % 2)
    out += "X-Trailer: 1\r\nY: 2\r\n";
  return out + "\r\n";
}

// Decodes s in pieces of random sizes; -1 if refused, else the body.
int
decode (const std::string &s, std::mt19937 &rng, std::string *body,
        size_t *consumed)
{
  chunkdec d;
  size_t off = 0;
  while (off < s.size ()) {
    size_t n = std::min (s.size () - off, size_t (1 + rng () % 700));
    size_t done = 0;
    while (done < n) {
      size_t used, doff, dlen;
      int r = d.feed (s.data () + off + done, n - done, &used, &doff, &dlen);
      if (r < 0)
        return -1;
      body->append (s.data () + off + done + doff, dlen);
      done += used;
      if (r) {
        *consumed = off + done;
        return 1;
      }
    }
    off += n;
  }
  return 0;
}

TEST (Chunked, RandomBodiesRoundTrip)
{
  std::mt19937 rng (3);
  for (int i = 0; i < 500; i++) {
    std::string body (rng () % 20000, 0);
    for (char &c : body)
      c = char (rng ());
    std::string enc = encode (body, rng);
    std::string got;
    size_t used = 0;
    ASSERT_EQ (decode (enc + "GET /next", rng, &got, &used), 1);
    EXPECT_EQ (got, body);
    EXPECT_EQ (used, enc.size ());
  }
}

TEST (Chunked, Refused)
{
  const char *bad[] = {
      "0x5\r\nhello\r\n0\r\n\r\n",
      "+5\r\nhello\r\n0\r\n\r\n",
      " 5\r\nhello\r\n0\r\n\r\n",
      "0_5\r\nhello\r\n0\r\n\r\n",
      "5\nhello\r\n0\r\n\r\n",
      "5\r\nhelloX\r\n0\r\n\r\n",
      "5 x\r\nhello\r\n0\r\n\r\n",
      "5;a\rb\r\nhello\r\n0\r\n\r\n",
      "\r\n",
      "10000000000000000\r\n",
      "5\r\nhello\r\n0\r\nX: \x01\r\n\r\n",
      "4000000000000001\r\n", // over 2^62
  };
  std::mt19937 rng (5);
  for (const char *b : bad) {
    std::string body;
    size_t used;
    EXPECT_EQ (decode (b, rng, &body, &used), -1) << b;
  }
  std::string longext = "1;" + std::string (5000, 'e') + "\r\nx\r\n0\r\n\r\n";
  std::string body;
  size_t used;
  EXPECT_EQ (decode (longext, rng, &body, &used), -1);
  std::string trailers = "0\r\n";
  for (int i = 0; i < 1000; i++)
    trailers += "X: " + std::string (100, 't') + "\r\n";
  EXPECT_EQ (decode (trailers + "\r\n", rng, &body, &used), -1);
}

TEST (BodyFraming, Rules)
{
  auto v = [] (std::initializer_list<const char *> l) {
    vec<str> r;
    for (const char *s : l)
      r.push_back (str (s));
    return r;
  };
  bodyframe bf;
  EXPECT_EQ (reqbody (v ({"10"}), v ({}), false, &bf), 1);
  EXPECT_EQ (bf.kind, bk_length);
  EXPECT_EQ (bf.len, 10u);
  EXPECT_EQ (reqbody (v ({"10", "10"}), v ({}), false, &bf), 1);
  EXPECT_EQ (reqbody (v ({"10, 10"}), v ({}), false, &bf), 1);
  EXPECT_EQ (reqbody (v ({"0"}), v ({}), false, &bf), 1);
  EXPECT_EQ (bf.kind, bk_none);
  EXPECT_EQ (reqbody (v ({}), v ({"Chunked"}), false, &bf), 1);
  EXPECT_EQ (bf.kind, bk_chunked);
  for (auto cl : {"10, 11", "0x10", "+10", "1_0", "-1", "", " ", "1e3",
                  "99999999999999999999", "4611686018427387905"})
    EXPECT_EQ (reqbody (v ({cl}), v ({}), false, &bf), -1) << cl;
  EXPECT_EQ (reqbody (v ({"10"}), v ({"11"}), false, &bf), -1);
  for (auto te : {"chunked, identity", "gzip, chunked", "chunked,", "chunk"})
    EXPECT_EQ (reqbody (v ({}), v ({te}), false, &bf), -1) << te;
  EXPECT_EQ (reqbody (v ({}), v ({"chunked", "chunked"}), false, &bf), -1);
  EXPECT_EQ (reqbody (v ({}), v ({"chunked"}), true, &bf), -1); // 1.0
  EXPECT_EQ (reqbody (v ({"5"}), v ({"chunked"}), false, &bf), -1);
  // Responses.
  EXPECT_EQ (respbody (200, false, v ({}), v ({}), &bf), 1);
  EXPECT_EQ (bf.kind, bk_close);
  EXPECT_EQ (respbody (200, true, v ({"9"}), v ({}), &bf), 1);
  EXPECT_EQ (bf.kind, bk_none);
  for (int st : {100, 204, 304}) {
    EXPECT_EQ (respbody (st, false, v ({"9"}), v ({}), &bf), 1);
    EXPECT_EQ (bf.kind, bk_none);
  }
  EXPECT_EQ (respbody (200, false, v ({"9"}), v ({"chunked"}), &bf), -1);
  EXPECT_EQ (respbody (200, false, v ({"9", "8"}), v ({}), &bf), -1);
  EXPECT_EQ (respbody (200, false, v ({}), v ({"gzip"}), &bf), -1);
}

TEST (Targets, PlainHttpUrlsOnly)
{
  for (const char *ok : {"http://a", "http://a/", "HTTP://A.b-c_d:8080/x?y",
                         "http://10.0.0.1:1/"})
    EXPECT_TRUE (httptarget (ok, strlen (ok))) << ok;
  for (const char *bad :
       {"http://", "http://user@host/", "http://a:/", "http://a:123456/",
        "http://[::1]/", "https://a/", "/x", "*", "http://a%2f/", "http:/a"})
    EXPECT_FALSE (httptarget (bad, strlen (bad))) << bad;
}

TEST (HopByHop, PassLines)
{
  vec<str> conn;
  conn.push_back (str ("X-Private, close"));
  bool date;
  str out = passlines (str ("GET / HTTP/1.0\r\nA: 1\r\nConnection: x\r\n"
                            "x-private: 2\r\nKeep-Alive: 3\r\nTE: t\r\n"
                            "Trailer: t\r\nUpgrade: u\r\nProxy-Authorization:"
                            " p\r\nProxy-Connection: k\r\nTransfer-Encoding:"
                            " chunked\r\nDate: d\nB: 4\r\n"),
                       conn, "b\0", &date);
  EXPECT_EQ (std::string (out.cstr (), out.len ()), "A: 1\r\nDate: d\r\n");
  EXPECT_TRUE (date);
}

} // namespace
