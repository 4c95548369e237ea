// The access log and the signals: one line per request in Squid's native
// format, SIGHUP reopening the file after rotation, SIGTERM letting a
// transfer in flight finish (or cutting it at the drain deadline) and
// exiting 0.
#include "tests/proxy/harness.h"

#include <fstream>
#include <regex>
#include <sstream>

using namespace harness;

namespace {

std::vector<std::string>
lines (const std::string &path)
{
  std::ifstream f (path);
  std::vector<std::string> v;
  for (std::string l; std::getline (f, l);)
    v.push_back (l);
  return v;
}

std::string
get (const std::string &url, const std::string &extra = "")
{
  return "GET " + url + " HTTP/1.1\r\nHost: a\r\n" + extra + "\r\n";
}

TEST (AccessLog, SquidLinesAndReopen)
{
  origin o;
  std::string log = testing::TempDir () + "ombrix-access.log";
  unlink (log.c_str ());
  unlink ((log + ".1").c_str ());
  proxy p ({"--access-log", log});
  roundtrip (p.port, get (o.url ("/len/1000")));
  roundtrip (p.port, "BREW " + o.url ("/x") + " HTTP/1.1\r\nHost\r\n\r\n");
  roundtrip (p.port, get ("http://127.0.0.1:1/"));
  auto v = lines (log);
  ASSERT_EQ (v.size (), 3u);
  std::regex squid (R"(\d+\.\d{3} +\d+ 127\.0\.0\.1 (\w+)/(\d{3}) (\d+) )"
                    R"((\S+) (\S+) - (\S+) -)");
  std::smatch m;
  ASSERT_TRUE (std::regex_match (v[0], m, squid)) << v[0];
  EXPECT_EQ (m[1], "TCP_MISS");
  EXPECT_EQ (m[2], "200");
  EXPECT_GT (std::stol (m[3]), 1000); // head and body
  EXPECT_EQ (m[4], "GET");
  EXPECT_EQ (m[5], o.url ("/len/1000"));
  EXPECT_EQ (m[6], "HIER_DIRECT/127.0.0.1");
  ASSERT_TRUE (std::regex_match (v[1], m, squid)) << v[1];
  EXPECT_EQ (m[1].str () + "/" + m[2].str (), "NONE/400");
  ASSERT_TRUE (std::regex_match (v[2], m, squid)) << v[2];
  EXPECT_EQ (m[2], "502");
  // Rotation: the old file keeps its lines, the new one gets the next.
  ASSERT_EQ (rename (log.c_str (), (log + ".1").c_str ()), 0);
  p.kill (SIGHUP);
  usleep (200000);
  roundtrip (p.port, get (o.url ("/len/1")));
  EXPECT_EQ (lines (log + ".1").size (), 3u);
  EXPECT_EQ (lines (log).size (), 1u);
}

// SIGTERM: no new connections, the transfer in flight completes, exit 0.
TEST (Signals, TermDrainsTransfers)
{
  origin o;
  proxy p;
  int busy = dial (p.port);
  sendall (busy, get (o.url ("/drip/20"))); // about a second
  int idle = dial (p.port);
  usleep (200000);
  p.kill (SIGTERM);
  usleep (100000);
  EXPECT_LT (dial (p.port), 0) << "still accepting";
  EXPECT_EQ (readall (idle, 2000), "") << "idle connections close at once";
  std::string rest;
  response r = readresponse (busy, &rest);
  EXPECT_EQ (r.body, pattern (20));
  EXPECT_EQ (readall (busy, 2000), "") << "closed after the response";
  EXPECT_EQ (p.wait (5000), 0);
  close (busy);
  close (idle);
}

// A transfer that outlasts --drain is cut off; the exit is still 0.
TEST (Signals, DrainDeadline)
{
  origin o;
  proxy p ({"--drain", "0.5"});
  int fd = dial (p.port);
  sendall (fd, get (o.url ("/stall/1000")));
  usleep (200000);
  long t0 = nowms ();
  p.kill (SIGINT);
  EXPECT_EQ (p.wait (5000), 0);
  EXPECT_LT (nowms () - t0, 2000);
  close (fd);
}

} // namespace
