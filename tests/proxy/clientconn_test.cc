// The client side of ombrix, black-box over 127.0.0.1: forwarding and
// gateway mode with curl, persistent and pipelined connections, request
// bodies in both framings, re-framed responses, bodiless responses, and
// hostile or oversized requests answered with complete error pages.
#include "tests/proxy/harness.h"

#include <sys/resource.h>

using namespace harness;

namespace {

struct ClientConn : ::testing::Test {
  static origin *org;
  static proxy *px;
  static void SetUpTestSuite ()
  {
    org = new origin;
    px = new proxy ({"--head-timeout", "1", "--idle-timeout", "2"});
  }
  static void TearDownTestSuite ()
  {
    delete px;
    delete org;
  }
  static std::string get (const std::string &path, const char *ver = "1.1",
                          const std::string &extra = "")
  {
    return "GET " + org->url (path) + " HTTP/" + ver +
           "\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
  }
};
origin *ClientConn::org;
proxy *ClientConn::px;

TEST_F (ClientConn, CurlForwardAndGateway)
{
  std::string via = " -x http://127.0.0.1:" + std::to_string (px->port);
  EXPECT_EQ (sh ("curl -s" + via + " " + org->url ("/len/3000")),
             pattern (3000));
  EXPECT_EQ (sh ("curl -s" + via + " " + org->url ("/chunked/5000")),
             pattern (5000));
  EXPECT_EQ (sh ("curl -s" + via + " " + org->url ("/close/7000")),
             pattern (7000));
  proxy gw ({"--origin", "http://127.0.0.1:" + std::to_string (org->port)});
  EXPECT_EQ (sh ("curl -s http://127.0.0.1:" + std::to_string (gw.port) +
                 "/chunked/1234"),
             pattern (1234));
  // In gateway mode an absolute URL goes to the origin all the same.
  response a = roundtrip (gw.port, "GET http://elsewhere.invalid/len/7 "
                                   "HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ (a.body, pattern (7));
  // Origin-form without --origin names no origin.
  response r = roundtrip (px->port, "GET /len/1 HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ (r.status, 400);
}

// Several requests on one client connection reuse one origin connection;
// pipelined requests are answered in order.
TEST_F (ClientConn, KeepAliveAndPipelining)
{
  origin o;
  int fd = dial (px->port);
  std::string rest, pipelined;
  auto path = [&] (int i) { return "/len/" + std::to_string (100 + i); };
  for (int i = 0; i < 5; i++)
    pipelined += "GET " + o.url (path (i)) + " HTTP/1.1\r\nHost: a\r\n\r\n";
  sendall (fd, pipelined);
  for (int i = 0; i < 5; i++) {
    response r = readresponse (fd, &rest);
    ASSERT_EQ (r.status, 200) << i;
    EXPECT_EQ (r.body, pattern (100 + i));
    EXPECT_EQ (r.hdr["via"], "1.1 ombrix");
  }
  sendall (fd, "GET " + o.url ("/count") + " HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ (readresponse (fd, &rest).body, "1");
  close (fd);
  // A second client takes the pooled connection.
  EXPECT_EQ (roundtrip (px->port, "GET " + o.url ("/count") +
                                      " HTTP/1.1\r\nHost: a\r\n\r\n")
                 .body,
             "1");
}

TEST_F (ClientConn, PersistenceRules)
{
  struct {
    const char *ver, *hdr;
    bool keep;
  } cases[] = {
      {"1.1", "", true},
      {"1.1", "Connection: close\r\n", false},
      {"1.0", "", false},
      {"1.0", "Connection: keep-alive\r\n", true},
      {"1.0", "Proxy-Connection: keep-alive\r\n", true},
  };
  for (auto &c : cases) {
    bool v11 = !strcmp (c.ver, "1.1");
    int fd = dial (px->port);
    std::string rest;
    sendall (fd, get ("/len/300", c.ver, c.hdr));
    response r = readresponse (fd, &rest);
    EXPECT_EQ (r.body, pattern (300)) << c.ver << c.hdr;
    if (!c.keep) {
      EXPECT_EQ (r.hdr["connection"], "close");
      EXPECT_EQ (readall (fd, 3000), "") << c.ver << c.hdr;
      close (fd);
      continue;
    }
    // A body of unknown length: chunks for HTTP/1.1, and for HTTP/1.0 the
    // end of the connection, whatever the client asked for.
    sendall (fd, get ("/chunked/300", c.ver, c.hdr));
    r = readresponse (fd, &rest);
    EXPECT_EQ (r.body, pattern (300));
    EXPECT_EQ (r.hdr.count ("transfer-encoding"), v11 ? 1u : 0u) << r.head;
    if (v11) {
      sendall (fd, get ("/len/5", c.ver, c.hdr));
      EXPECT_EQ (readresponse (fd, &rest).body, pattern (5));
    } else
      EXPECT_EQ (readall (fd, 3000), "");
    close (fd);
  }
}

// Hop-by-hop headers go, Via comes, the origin sees an origin-form line.
TEST_F (ClientConn, HeadersPassedOn)
{
  response r = roundtrip (
      px->port, "GET " + org->url ("/echo") +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: x-hop, "
                    "keep-alive\r\nX-Hop: 1\r\nKeep-Alive: 5\r\nTE: trailers"
                    "\r\nProxy-Authorization: secret\r\nUpgrade: h2c\r\n"
                    "X-End: 2\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37"
                    " GMT\r\n\r\n");
  ASSERT_EQ (r.status, 200);
  EXPECT_EQ (r.body.find ("GET /echo HTTP/1.1\r\n"), 0u) << r.body;
  EXPECT_NE (r.body.find ("X-End: 2\r\n"), std::string::npos);
  EXPECT_NE (r.body.find ("If-Modified-Since:"), std::string::npos);
  EXPECT_NE (r.body.find ("Via: 1.1 ombrix\r\n"), std::string::npos);
  for (const char *h : {"X-Hop", "Keep-Alive", "TE:", "Proxy-Authorization",
                        "Upgrade", "Connection"})
    EXPECT_EQ (r.body.find (h), std::string::npos) << h;
}

// Bodies by length and chunked arrive whole, with 100-continue answered.
TEST_F (ClientConn, RequestBodies)
{
  std::string body = pattern (300000);
  std::string url = org->url ("/echo");
  response r = roundtrip (px->port, "POST " + url +
                                        " HTTP/1.1\r\nHost: a\r\nContent-"
                                        "Length: 300000\r\n\r\n" +
                                        body);
  ASSERT_EQ (r.status, 200);
  EXPECT_EQ (r.body.substr (r.body.size () - body.size ()), body);
  std::string chunked;
  for (size_t i = 0; i < body.size (); i += 7777) {
    std::string piece = body.substr (i, 7777);
    char h[16];
    snprintf (h, sizeof h, "%zx;e=1\r\n", piece.size ());
    chunked += h + piece + "\r\n";
  }
  chunked += "0\r\nX-T: 1\r\n\r\n";
  r = roundtrip (px->port, "PUT " + url +
                               " HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: "
                               "chunked\r\n\r\n" +
                               chunked);
  ASSERT_EQ (r.status, 200);
  EXPECT_EQ (r.body.substr (r.body.size () - body.size ()), body);
  EXPECT_NE (r.body.find ("Transfer-Encoding: chunked"), std::string::npos);
  // curl waits for 100 Continue before a large body.
  std::string out =
      sh ("head -c 2000000 /dev/zero | curl -s -x "
          "http://127.0.0.1:" +
          std::to_string (px->port) +
          " -H 'Expect: 100-continue' --data-binary @- " + url + " | wc -c");
  EXPECT_GT (atol (out.c_str ()), 2000000);
}

// A large head pipelined behind a body: it straddles the end of the input
// buffer and must still be read whole.
TEST_F (ClientConn, LargeHeadPipelinedBehindABody)
{
  int fd = dial (px->port);
  std::string rest;
  sendall (fd, "POST " + org->url ("/len/1") +
                   " HTTP/1.1\r\nHost: a\r\nContent-Length: 30000\r\n\r\n" +
                   std::string (30000, 'b') +
                   get ("/len/2", "1.1",
                        "X-Big: " + std::string (52000, 'x') + "\r\n"));
  EXPECT_EQ (readresponse (fd, &rest).body, pattern (1));
  EXPECT_EQ (readresponse (fd, &rest).body, pattern (2));
  close (fd);
}

TEST_F (ClientConn, BodilessResponses)
{
  int fd = dial (px->port);
  std::string rest;
  sendall (fd, "HEAD " + org->url ("/len/1000") +
                   " HTTP/1.1\r\nHost: a\r\n\r\n" + get ("/status/204") +
                   get ("/status/304") + get ("/status/103") + get ("/len/10"));
  response r = readresponse (fd, &rest, true);
  EXPECT_EQ (r.status, 200);
  EXPECT_EQ (r.hdr["content-length"], "1000");
  EXPECT_EQ (readresponse (fd, &rest).status, 204);
  EXPECT_EQ (readresponse (fd, &rest).status, 304);
  r = readresponse (fd, &rest);
  EXPECT_EQ (r.status, 200); // the 103 is not passed on
  EXPECT_EQ (r.body, "after");
  EXPECT_EQ (readresponse (fd, &rest).body, pattern (10));
  close (fd);
}

// Every request two parsers could read differently is refused with a
// complete page and a closed connection; the proxy stays up.
TEST_F (ClientConn, HostileRequests)
{
  std::string u = org->url ("/echo");
  std::string big (9000, 'a');
  struct {
    std::string req;
    int status;
  } cases[] = {
      {"POST " + u +
           " HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n"
           "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       400},
      {"POST " + u +
           " HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n"
           "Content-Length: 4\r\n\r\nabcd",
       400},
      {"POST " + u + " HTTP/1.1\r\nHost: a\r\nContent-Length: +3\r\n\r\nabc",
       400},
      {"POST " + u + " HTTP/1.1\r\nHost: a\r\nContent-Length: 0x3\r\n\r\n",
       400},
      {"POST " + u + " HTTP/1.1\r\nHost: a\r\nContent-Length : 3\r\n\r\nabc",
       400},
      {"POST " + u +
           " HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, "
           "identity\r\n\r\n0\r\n\r\n",
       400},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nX: a\rb\r\n\r\n", 400},
      {"GET " + u + " HTTP/1.1\nHost: a\n\n", 400},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nX: \x01\r\n\r\n", 400},
      {"GET " + u + " HTTP/1.1\r\nHo" + std::string (1, 0) + "st: a\r\n\r\n",
       400},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nX: 1\r\n folded\r\n\r\n", 400},
      {"GET " + u + " HTTP/1.1\r\n\r\n", 400},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      {"GET " + u + " HTTP/2.0\r\nHost: a\r\n\r\n", 400},
      {"GET " + u + "/" + big + " HTTP/1.1\r\nHost: a\r\n\r\n", 414},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nX: " + big + big + big + big +
           big + big + big + big + "\r\n\r\n",
       431},
      {"CONNECT 127.0.0.1:25 HTTP/1.1\r\nHost: a\r\n\r\n", 403},
      {"GET http://user@127.0.0.1/ HTTP/1.1\r\nHost: a\r\n\r\n", 400},
      {"GET https://127.0.0.1/ HTTP/1.1\r\nHost: a\r\n\r\n", 400},
      {"GET " + u + " HTTP/1.1\r\nHost: a\r\nExpect: magic\r\n\r\n", 417},
      {"POST " + u +
           " HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n"
           "\r\n3\r\nabc\r\n0x5\r\nhello\r\n0\r\n\r\n",
       400},
  };
  for (auto &c : cases) {
    const std::string &req = c.req;
    int fd = dial (px->port);
    std::string rest;
    sendall (fd, req);
    response r = readresponse (fd, &rest);
    EXPECT_EQ (r.status, c.status) << req.substr (0, 200);
    EXPECT_TRUE (r.complete);
    EXPECT_NE (r.body.find ("</HTML>"), std::string::npos);
    EXPECT_EQ (readall (fd, 3000), "") << "connection stays open";
    close (fd);
  }
  EXPECT_EQ (roundtrip (px->port, "CONNECT http://127.0.0.1:443/ HTTP/1.1\r\n"
                                  "Host: a\r\n\r\n")
                 .status,
             400);
  // A 4 MB header value: 431 as soon as 64 KiB are in.
  int fd = dial (px->port);
  std::string rest;
  sendall (fd, "GET " + u + " HTTP/1.1\r\nHost: a\r\nPragma: ");
  std::string mb (1 << 20, 'p');
  for (int i = 0; i < 4 && sendall (fd, mb); i++)
    ;
  EXPECT_EQ (readresponse (fd, &rest).status, 431);
  close (fd);
  EXPECT_TRUE (px->alive ());
  EXPECT_EQ (roundtrip (px->port, get ("/len/10")).body, pattern (10));
}

// Clients that go away in the middle of their responses, while the
// origin goes on sending: the proxy stays up and serves the next ones.
TEST_F (ClientConn, ClientsVanishMidTransfer)
{
  for (int round = 0; round < 5; round++) {
    std::vector<int> fds;
    for (int i = 0; i < 40; i++) {
      int fd = dial (px->port);
      const char *path = i % 2 ? "/len/300000" : "/chunked/300000";
      sendall (fd, get (path) + get (path));
      fds.push_back (fd);
    }
    for (size_t i = 0; i < fds.size (); i++) {
      char b[1000];
      if (i % 3)
        (void) !read (fds[i], b, sizeof b);
      linger l = {1, 0}; // some reset, some close
      if (i % 2)
        setsockopt (fds[i], SOL_SOCKET, SO_LINGER, &l, sizeof l);
      close (fds[i]);
    }
    usleep (100000);
    ASSERT_TRUE (px->alive ()) << "round " << round;
    EXPECT_EQ (roundtrip (px->port, get ("/len/10")).body, pattern (10));
  }
}

// A head that trickles in gets 408 at the head timeout; an idle
// persistent connection is closed at the idle timeout.
TEST_F (ClientConn, SlowHeadsAndIdleConnections)
{
  int fd = dial (px->port);
  sendall (fd, "GET " + org->url ("/len/1") + " HTTP/1.1\r\n");
  long t0 = nowms ();
  std::string rest;
  EXPECT_EQ (readresponse (fd, &rest, false, 5000).status, 408);
  EXPECT_LT (nowms () - t0, 3000);
  close (fd);
  fd = dial (px->port);
  sendall (fd, get ("/len/1"));
  EXPECT_EQ (readresponse (fd, &rest).status, 200);
  t0 = nowms ();
  EXPECT_EQ (readall (fd, 5000), "");
  EXPECT_GE (nowms () - t0, 1500);
  close (fd);
}

// 500 slow-loris connections hold nothing back: other clients are served
// while they trickle, and they all end at the head timeout.
TEST_F (ClientConn, SlowLorisWhileOthersAreServed)
{
  std::vector<int> slow;
  for (int i = 0; i < 500; i++) {
    int fd = dial (px->port);
    if (fd < 0)
      break;
    sendall (fd, "GET " + org->url ("/len/1") + " HTTP/1.1\r\nX-");
    slow.push_back (fd);
  }
  EXPECT_EQ (slow.size (), 500u);
  for (int i = 0; i < 20; i++)
    EXPECT_EQ (roundtrip (px->port, get ("/len/50")).body, pattern (50));
  int closed = 0;
  for (int fd : slow) {
    closed += readall (fd, 5000).find (" 408 ") != std::string::npos;
    close (fd);
  }
  EXPECT_EQ (closed, 500);
}

// 1000 clients at once, each with a request: all answered (the descriptor
// ceiling may make some wait in the backlog).
TEST_F (ClientConn, ThousandConcurrentClients)
{
  const int n = 1000;
  rlimit rl; // this process holds all of them: room above the soft limit
  getrlimit (RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit (RLIMIT_NOFILE, &rl);
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    int fd = dial (px->port);
    ASSERT_GE (fd, 0) << "connection " << i << ": " << strerror (errno);
    fds.push_back (fd);
  }
  for (int fd : fds)
    sendall (fd, get ("/len/100", "1.1", "Connection: close\r\n"));
  int ok = 0;
  for (int fd : fds) {
    std::string rest;
    response r = readresponse (fd, &rest, false, 60000);
    ok += r.status == 200 && r.body == pattern (100);
    close (fd);
  }
  EXPECT_EQ (ok, n);
  EXPECT_TRUE (px->alive ());
}

} // namespace
