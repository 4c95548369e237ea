// Access control and the descriptor ceiling: which clients are served,
// 403 for the others, accepting paused near the descriptor limit and
// resumed below it, and a restart on the same port.
#include "proxy/listener.h"
#include "tests/proxy/harness.h"

#include <fstream>
#include <sstream>

using namespace harness;

namespace {

sockaddr_storage
addr (const char *text)
{
  sockaddr_storage ss = {};
  auto *in = reinterpret_cast<sockaddr_in *> (&ss);
  auto *in6 = reinterpret_cast<sockaddr_in6 *> (&ss);
  if (inet_pton (AF_INET, text, &in->sin_addr) == 1)
    in->sin_family = AF_INET;
  else if (inet_pton (AF_INET6, text, &in6->sin6_addr) == 1)
    in6->sin6_family = AF_INET6;
  return ss;
}

TEST (Cidr, ParseAndMatch)
{
  struct {
    const char *net, *peer;
    bool match;
  } cases[] = {
      {"127.0.0.0/8", "127.1.2.3", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"10.1.2.3", "10.1.2.3", true},
      {"10.1.2.3", "10.1.2.4", false},
      {"10.0.0.0/9", "10.127.255.255", true},
      {"10.0.0.0/9", "10.128.0.0", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"192.168.0.0/16", "::ffff:192.168.4.5", true}, // mapped IPv4
      {"::1", "::1", true},
      {"::1", "127.0.0.1", false},
      {"2001:db8::/33", "2001:db8:7fff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
  };
  for (auto &c : cases) {
    cidr n;
    ASSERT_TRUE (cidrparse (c.net, &n)) << c.net;
    sockaddr_storage ss = addr (c.peer);
    EXPECT_EQ (cidrmatch (n, reinterpret_cast<sockaddr *> (&ss)), c.match)
        << c.net << " " << c.peer;
  }
  for (const char *bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "x/8",
                          "10.0.0/8", "10.0.0.0/-1", "10.0.0.0/8x"})
    EXPECT_FALSE (cidrparse (bad)) << bad;
}

// Loopback is served by default; with --allow elsewhere it is refused.
TEST (Listener, AccessControl)
{
  origin o;
  std::string log = testing::TempDir () + "ombrix-acl.log";
  unlink (log.c_str ());
  proxy closed ({"--allow", "10.0.0.0/8", "--access-log", log});
  std::string req = "GET " + o.url ("/len/5") + " HTTP/1.1\r\nHost: a\r\n\r\n";
  response r = roundtrip (closed.port, req);
  EXPECT_EQ (r.status, 403);
  EXPECT_NE (r.body.find ("access denied"), std::string::npos);
  proxy open ({"--allow", "10.0.0.0/8", "--allow", "127.0.0.1/32"});
  EXPECT_EQ (roundtrip (open.port, req).body, pattern (5));
  closed.kill (SIGTERM);
  EXPECT_EQ (closed.wait (), 0);
  EXPECT_NE (slurp (log).find (" 127.0.0.1 TCP_DENIED/403 "), std::string::npos)
      << slurp (log);
}

// With 64 descriptors the proxy serves a bounded number of clients at a
// time; the rest wait in the backlog and are all served, and no
// descriptor beyond the limit is ever registered.
TEST (Listener, DescriptorCeiling)
{
  origin o;
  proxy p ({}, "prlimit --nofile=64:64");
  const int n = 150;
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    int fd = dial (p.port);
    ASSERT_GE (fd, 0);
    sendall (fd, "GET " + o.url ("/slow/200/10") +
                     " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    fds.push_back (fd);
  }
  usleep (100000);
  std::string fdlist =
      sh ("ls /proc/" + std::to_string (p.pid) + "/fd | wc -l");
  EXPECT_LE (atoi (fdlist.c_str ()), 64 - 24 + 4) << "open descriptors";
  int ok = 0;
  for (int fd : fds) {
    std::string rest;
    ok += readresponse (fd, &rest, false, 30000).body == pattern (10);
    close (fd);
  }
  EXPECT_EQ (ok, n);
  EXPECT_TRUE (p.alive ());
}

// Stopping and starting again on the same port works at once, even with
// connections that were open at the stop.
TEST (Listener, RestartOnTheSamePort)
{
  origin o;
  int port;
  {
    proxy a;
    port = a.port;
    int fd = dial (port);
    std::string req =
        "GET " + o.url ("/len/3") + " HTTP/1.1\r\nHost: a\r\n\r\n";
    sendall (fd, req);
    std::string rest;
    EXPECT_EQ (readresponse (fd, &rest).body, pattern (3));
    a.kill (SIGTERM);
    EXPECT_EQ (a.wait (), 0);
    close (fd);
  }
  proxy b ({"-l", "127.0.0.1:" + std::to_string (port)});
  EXPECT_EQ (b.port, port);
  EXPECT_EQ (roundtrip (port, "GET " + o.url ("/len/4") +
                                  " HTTP/1.1\r\nHost: a\r\n\r\n")
                 .body,
             pattern (4));
}

} // namespace
