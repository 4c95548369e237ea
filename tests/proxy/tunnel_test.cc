// CONNECT tunnels, black-box: curl through to a TLS origin with a
// certificate made for the run, ports refused by default, half-closes
// passed on both ways, a far end that closes, the silence limit, and a
// slow reader that must not make the proxy grow.
#include "proxy/listener.h"
#include "proxy/tunnel.h"
#include "tests/proxy/harness.h"

#include <sys/stat.h>

using namespace harness;

namespace {

const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";

std::string
connecthead (int port, const std::string &host = "127.0.0.1")
{
  std::string t = host + ":" + std::to_string (port);
  return "CONNECT " + t + " HTTP/1.1\r\nHost: " + t + "\r\n\r\n";
}

// Reads exactly n bytes (fewer on EOF, error or after ms).
std::string
readn (int fd, size_t n, int ms = 10000)
{
  std::string s;
  for (long end = nowms () + ms; s.size () < n;) {
    pollfd pf = {fd, POLLIN, 0};
    long left = end - nowms ();
    if (left <= 0 || poll (&pf, 1, int (left)) <= 0)
      break;
    char b[65536];
    ssize_t k = read (fd, b, std::min (sizeof b, n - s.size ()));
    if (k <= 0)
      break;
    s.append (b, k);
  }
  return s;
}

TEST (Tunnel, CurlToATlsOrigin)
{
  char dir[] = "/tmp/ombrix-tunnel-XXXXXX";
  ASSERT_TRUE (mkdtemp (dir));
  std::string d = dir, cert = d + "/cert.pem", key = d + "/key.pem";
  sh ("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null");
  farend tls ({"tls", cert, key});
  proxy px (
      {"--connect-port", std::to_string (tls.port), "--connect-port", "9"});
  std::string curl =
      "curl -sS --max-time 20 -x http://127.0.0.1:" + std::to_string (px.port) +
      " --cacert " + cert + " https://127.0.0.1:" + std::to_string (tls.port);
  EXPECT_EQ (sh (curl + "/1048576"), pattern (1048576));
  EXPECT_EQ (sh (curl + "/0"), "");
  // Several at once, each tunnel on its own pair of descriptors.
  std::string many;
  for (int i = 0; i < 8; i++)
    many += "(" + curl + "/" + std::to_string (70000 + i) + " | wc -c) & ";
  std::string counts = sh (many + "wait");
  for (int i = 0; i < 8; i++)
    EXPECT_NE (counts.find (std::to_string (70000 + i)), std::string::npos)
        << counts;
  sh ("rm -r " + d);
}

TEST (Tunnel, PortsAndTargets)
{
  proxy dflt;
  // 443 is allowed by default: nothing listens there, hence 502.
  response r = roundtrip (dflt.port, connecthead (443));
  EXPECT_EQ (r.status, 502) << r.head;
  EXPECT_EQ (roundtrip (dflt.port, connecthead (8443)).status, 403);
  EXPECT_EQ (roundtrip (dflt.port, connecthead (22)).status, 403);
  for (const char *t :
       {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
        "127.0.0.1:44x", "a_b:443", ":443", "[::1:443"})
    EXPECT_EQ (roundtrip (dflt.port, std::string ("CONNECT ") + t +
                                         " HTTP/1.1\r\nHost: x\r\n\r\n")
                   .status,
               400)
        << t;
  // Outside the allowed networks: 403 before any port check.
  proxy closed ({"--allow", "10.0.0.0/8", "--connect-port", "443"});
  EXPECT_EQ (roundtrip (closed.port, connecthead (443)).status, 403);
  // An unresolvable name: 502 after the lookup fails.
  EXPECT_EQ (
      roundtrip (dflt.port, connecthead (443, "no-such-host.invalid")).status,
      502);
  EXPECT_TRUE (dflt.alive ());
  str h;
  uint16_t p;
  ASSERT_TRUE (tunnel_target ("[::1]:443", 9, &h, &p));
  EXPECT_EQ (h, "::1");
  ASSERT_TRUE (tunnel_target ("Web.Example:8443", 16, &h, &p));
  EXPECT_EQ (h, "web.example");
  EXPECT_EQ (p, 8443);
}

// The far end says hello and half-closes: the client sees the hello and
// the end, yet may still send; its own end reaches the far end, which
// counts what arrived (bytes sent behind the CONNECT head included).
TEST (Tunnel, HalfCloseBothWays)
{
  farend fe ({"halfclose"});
  proxy px ({"--connect-port", std::to_string (fe.port)});
  int fd = dial (px.port);
  ASSERT_TRUE (sendall (fd, connecthead (fe.port) + "early"));
  EXPECT_EQ (readall (fd), established + "hello\n"); // ends at the EOF
  std::string data = pattern (300000);
  ASSERT_TRUE (sendall (fd, data));
  shutdown (fd, SHUT_WR);
  EXPECT_EQ (fe.line (), "got 300005");
  EXPECT_EQ (readall (fd), ""); // closed, not hung
  close (fd);
}

// Under a descriptor limit of 64 a tunnel holds two slots like any
// transaction: the proxy takes what fits, holds the rest back unaccepted,
// and serves them as tunnels end.
TEST (Tunnel, CountsAgainstTheCeiling)
{
  farend fe ({"halfclose"});
  proxy px ({"--connect-port", std::to_string (fe.port)},
            "prlimit --nofile=64:64");
  const int n = 40;
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    fds.push_back (dial (px.port));
    ASSERT_TRUE (sendall (fds[i], connecthead (fe.port)));
  }
  const std::string hello = established + "hello\n";
  std::vector<bool> served (n);
  std::vector<std::string> got (n);
  // Those whose answer is complete after 300 ms more, not waiting on each
  // in turn; what arrived of the others is kept.
  auto answered = [&] () {
    usleep (300000);
    int k = 0;
    for (int i = 0; i < n; i++)
      if (!served[i]) {
        got[i] += readn (fds[i], hello.size () - got[i].size (), 1);
        k += served[i] = got[i] == hello;
      }
    return k;
  };
  int first = answered ();
  EXPECT_GE (first, 8);
  EXPECT_LE (first, (64 - fd_reserve) / 2);
  // Ending the tunnels served lets the others in, all of them.
  int later = 0;
  for (int round = 0; round < 10 && first + later < n; round++) {
    for (int i = 0; i < n; i++)
      if (served[i] && fds[i] >= 0) {
        shutdown (fds[i], SHUT_WR);
        readall (fds[i], 2000);
        close (fds[i]);
        fds[i] = -1;
      }
    later += answered ();
  }
  EXPECT_EQ (first + later, n);
  EXPECT_TRUE (px.alive ());
  for (int fd : fds)
    if (fd >= 0)
      close (fd);
}

// SIGTERM lets a tunnel in flight run to its end, then the proxy exits 0.
TEST (Tunnel, DrainWaitsForTunnels)
{
  farend fe ({"halfclose"});
  proxy px ({"--connect-port", std::to_string (fe.port), "--drain", "20"});
  int fd = dial (px.port);
  ASSERT_TRUE (sendall (fd, connecthead (fe.port)));
  EXPECT_EQ (readall (fd), established + "hello\n");
  px.kill (SIGTERM);
  EXPECT_EQ (px.wait (300), -1); // still relaying
  ASSERT_TRUE (sendall (fd, "after"));
  shutdown (fd, SHUT_WR);
  EXPECT_EQ (fe.line (), "got 5");
  EXPECT_EQ (px.wait (5000), 0);
  close (fd);
}

// A far end that closes at once; then the silence limit on a tunnel
// where nobody sends.
TEST (Tunnel, FarEndClosesAndSilence)
{
  farend bye ({"close"});
  farend quiet ({"halfclose"});
  char log[] = "/tmp/ombrix-tunnel-log-XXXXXX";
  int lfd = mkstemp (log);
  ASSERT_GE (lfd, 0);
  close (lfd);
  proxy px ({"--connect-port", std::to_string (bye.port), "--connect-port",
             std::to_string (quiet.port), "--tunnel-timeout", "0.5",
             "--access-log", log});
  int fd = dial (px.port);
  ASSERT_TRUE (sendall (fd, connecthead (bye.port)));
  EXPECT_EQ (readall (fd), established + "bye\n");
  close (fd);
  // The silent one: the proxy ends it on its own.
  fd = dial (px.port);
  long t0 = nowms ();
  ASSERT_TRUE (sendall (fd, connecthead (quiet.port)));
  EXPECT_EQ (readn (fd, established.size () + 6), established + "hello\n");
  EXPECT_EQ (quiet.line (), "got 0");
  long took = nowms () - t0;
  EXPECT_GE (took, 450);
  EXPECT_LT (took, 5000);
  close (fd);
  usleep (200000);
  std::string l = sh (std::string ("cat ") + log);
  EXPECT_EQ (std::count (l.begin (), l.end (), '\n'), 2) << l;
  EXPECT_NE (l.find ("TCP_TUNNEL/200 "), std::string::npos) << l;
  unlink (log);
}

// The client reads nothing while the far end pushes 64 MiB: the proxy
// stops reading the far end instead of buffering, and every byte still
// arrives in order once the client reads.
TEST (Tunnel, SlowReaderBoundedMemory)
{
  origin org;
  proxy px ({"--connect-port", std::to_string (org.port)});
  int fd = dial (px.port, 16384);
  ASSERT_TRUE (sendall (fd, connecthead (org.port)));
  EXPECT_EQ (readn (fd, established.size ()), established);
  long before = rsskb (px.pid);
  const size_t n = 64 << 20;
  ASSERT_TRUE (sendall (fd, "GET /huge/" + std::to_string (n) +
                                " HTTP/1.1\r\nHost: x\r\n"
                                "Connection: close\r\n\r\n"));
  usleep (1500000);
  long grown = rsskb (px.pid) - before;
  EXPECT_LT (grown, 2 * tunnel_buf / 1024 + 1024) << "KiB";
  std::string rest;
  response r = readresponse (fd, &rest, false, 60000);
  EXPECT_EQ (r.status, 200);
  EXPECT_TRUE (r.complete);
  EXPECT_EQ (r.body.size (), n);
  EXPECT_TRUE (r.body == pattern (n));
  close (fd);
}

} // namespace
