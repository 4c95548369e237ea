// The origin side of ombrix, black-box: failures become 502 and 504
// pages, broken or ambiguous responses never reach the client as whole
// ones, stale pooled connections are retried once, and bodies stream in
// bounded memory whichever side is slow.
#include "tests/proxy/harness.h"

using namespace harness;

namespace {

struct Upstream : ::testing::Test {
  static origin *org;
  static proxy *px;
  static void SetUpTestSuite ()
  {
    org = new origin;
    px = new proxy ({"--first-byte-timeout", "1", "--io-timeout", "1"});
  }
  static void TearDownTestSuite ()
  {
    delete px;
    delete org;
  }
  static std::string get (const std::string &url, const std::string &v = "1.1")
  {
    return "GET " + url + " HTTP/" + v + "\r\nHost: a\r\n\r\n";
  }
  // The origin's /raw/ path: it sends these bytes and closes.
  static std::string raw (const std::string &bytes)
  {
    static const char hex[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : bytes)
      h += std::string (1, hex[c >> 4]) + hex[c & 15];
    return org->url ("/raw/" + h);
  }
};
origin *Upstream::org;
proxy *Upstream::px;

TEST_F (Upstream, FailuresBecomeErrorPages)
{
  struct {
    std::string url;
    int status;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string (pickport ()) + "/", 502},
      {"http://no-such-host.invalid/", 502},
      {org->url ("/mute"), 504},
      {raw ("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: "
            "chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n"),
       502},
      {raw ("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n"
            "\r\nok"),
       502},
      {raw ("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nok"), 502},
      {raw ("HTTP/1.1 200 OK\r\nX: 1\r\n folded\r\nContent-Length: 0\r\n\r\n"),
       502},
      {raw ("HTTP/1.1 2000 OK\r\n\r\n"), 502},
      {raw ("ICY 200 OK\r\n\r\n"), 502},
      {org->url ("/bighead/70000"), 502},
      {raw ("HTTP/1.1 101 Switching\r\n\r\n"), 502},
      {raw (""), 502},
  };
  for (auto &c : cases) {
    long t0 = nowms ();
    response r = roundtrip (px->port, get (c.url));
    EXPECT_EQ (r.status, c.status) << c.url.substr (0, 120);
    EXPECT_TRUE (r.complete);
    EXPECT_NE (r.body.find (c.url.substr (0, 60)), std::string::npos);
    EXPECT_LT (nowms () - t0, 5000) << c.url;
  }
}

// A body that ends early is never passed off as complete: the client sees
// a short body or a missing last chunk and a closed (or reset) connection.
// A listener whose accept queue is full and never drained: connecting to
// it hangs until the connect timeout.
TEST_F (Upstream, ConnectTimeout)
{
  int ls = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  bind (ls, (sockaddr *) &sin, sizeof sin);
  listen (ls, 0);
  socklen_t sl = sizeof sin;
  getsockname (ls, (sockaddr *) &sin, &sl);
  std::vector<int> fill;
  for (int i = 0; i < 4; i++) {
    int fd = socket (AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect (fd, (sockaddr *) &sin, sizeof sin);
    fill.push_back (fd);
  }
  proxy p ({"--connect-timeout", "0.5"});
  long t0 = nowms ();
  response r = roundtrip (
      p.port,
      get ("http://127.0.0.1:" + std::to_string (ntohs (sin.sin_port)) + "/"));
  EXPECT_EQ (r.status, 504);
  EXPECT_GE (nowms () - t0, 400);
  EXPECT_LT (nowms () - t0, 3000);
  for (int fd : fill)
    close (fd);
  close (ls);
}

TEST_F (Upstream, TruncatedBodiesCutTheClientOff)
{
  const char *paths[] = {"/lie/100000", "/diechunk/5000", "/stall/3000"};
  for (const char *p : paths)
    for (const char *v : {"1.1", "1.0"}) {
      int fd = dial (px->port);
      sendall (fd, get (org->url (p), v));
      std::string rest;
      response r = readresponse (fd, &rest, false, 5000);
      EXPECT_EQ (r.status, 200) << p;
      bool reset;
      readall (fd, 5000, &reset);
      reset = reset || r.reset;
      bool whole = r.complete && r.hdr.count ("content-length") +
                                     r.hdr.count ("transfer-encoding");
      EXPECT_FALSE (whole) << p << " " << v;
      if (!strcmp (v, "1.0") && !r.hdr.count ("content-length")) {
        EXPECT_TRUE (reset) << p << ": a close-delimited body must be reset";
      }
      close (fd);
    }
  // Malformed chunks after the head was passed on: the same.
  int fd = dial (px->port);
  sendall (fd, get (raw ("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                         "\r\n5\r\nhello\r\n0x5\r\nhello\r\n0\r\n\r\n")));
  std::string rest;
  response r = readresponse (fd, &rest, false, 5000);
  EXPECT_FALSE (r.complete);
  close (fd);
}

// An origin that closes a persistent connection while it sits in the
// pool: the next request on it fails before any byte came back and is
// sent again on a fresh one, unless it has a body.
TEST_F (Upstream, StaleConnectionRetriedOnce)
{
  std::string closing = raw ("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  int fd = dial (px->port);
  std::string rest;
  sendall (fd, get (closing) + get (org->url ("/len/10")));
  EXPECT_EQ (readresponse (fd, &rest).body, "ok");
  response r = readresponse (fd, &rest);
  EXPECT_EQ (r.status, 200);
  EXPECT_EQ (r.body, pattern (10));
  sendall (fd, get (closing) + "POST " + org->url ("/echo") +
                   " HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ (readresponse (fd, &rest).body, "ok");
  EXPECT_EQ (readresponse (fd, &rest).status, 502);
  close (fd);
}

// A 1 GiB response passes through with the proxy's memory flat.
TEST_F (Upstream, GigabyteStreamsInFlatMemory)
{
  const long size = 1L << 30;
  // AddressSanitizer's quarantine would hold on to freed buffers.
  proxy p ({}, "env ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=0");
  FILE *f =
      popen (("curl -s -x http://127.0.0.1:" + std::to_string (p.port) + " " +
              org->url ("/huge/" + std::to_string (size)) + " | wc -c")
                 .c_str (),
             "r");
  long peak = 0;
  usleep (300000);
  long base = rsskb (p.pid);
  char buf[64] = "";
  int fd = fileno (f);
  for (;;) {
    pollfd pf = {fd, POLLIN, 0};
    if (poll (&pf, 1, 100) > 0)
      break;
    peak = std::max (peak, rsskb (p.pid));
  }
  size_t n = fread (buf, 1, sizeof buf - 1, f);
  buf[n] = 0;
  pclose (f);
  EXPECT_EQ (atol (buf), size);
  EXPECT_LT (peak - base, 16 * 1024) << "KiB grown: " << peak - base;
}

// A client that reads nothing: the proxy stops reading the origin beyond
// its window instead of buffering the body.
TEST_F (Upstream, SlowClientPausesTheOrigin)
{
  proxy p; // the default io timeout: a minute
  long base = rsskb (p.pid);
  int fd = dial (p.port, 4096);
  sendall (fd, get (org->url ("/huge/100000000")));
  usleep (1500000);
  EXPECT_LT (rsskb (p.pid) - base, 8 * 1024);
  std::string rest;
  response r = readresponse (fd, &rest, false, 60000);
  EXPECT_TRUE (r.complete);
  EXPECT_EQ (r.body.size (), 100000000u);
  close (fd);
}

// An origin that does not read the request body: the proxy stops reading
// the client beyond its window instead of buffering the upload.
TEST_F (Upstream, SlowOriginPausesTheClient)
{
  long base = rsskb (px->pid);
  int fd = dial (px->port);
  sendall (fd, "POST " + org->url ("/noread") +
                   " HTTP/1.1\r\nHost: a\r\nContent-Length: 200000000\r\n"
                   "\r\n");
  fcntl (fd, F_SETFL, O_NONBLOCK);
  std::string piece (65536, 'u');
  long sent = 0;
  for (long idle = nowms (); nowms () - idle < 500;) {
    ssize_t n = send (fd, piece.data (), piece.size (), MSG_NOSIGNAL);
    if (n > 0) {
      sent += n;
      idle = nowms ();
    } else
      usleep (10000);
  }
  EXPECT_LT (sent, 40L << 20) << "bytes the proxy took in";
  EXPECT_LT (rsskb (px->pid) - base, 8 * 1024);
  close (fd);
}

} // namespace
