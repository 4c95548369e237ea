// Parent proxies: the rendezvous choice checked against its defining
// property (a parent passed over moves exactly the URLs a configuration
// without it would move), balance, the time a failed parent is passed
// over; then black-box, ombrix behind ombrix: each URL reaches one
// parent, and a parent that dies hands over only its own URLs.
#include "proxy/parent.h"
#include "tests/proxy/harness.h"

#include <fstream>
#include <set>
#include <sstream>

using namespace harness;

namespace {

long fakenow = 1000;
long
fakeclock ()
{
  return fakenow;
}

vec<str>
names (const std::vector<std::string> &v)
{
  vec<str> out;
  for (auto &s : v)
    out.push_back (str (s.c_str ()));
  return out;
}

// The name of the parent each key picks now.
std::vector<std::string>
homes (int nkeys)
{
  std::vector<std::string> h;
  for (int k = 0; k < nkeys; k++) {
    int i = parent_pick (("key" + std::to_string (k)).c_str ());
    h.push_back (std::string (parent_host (i).cstr ()) + ":" +
                 std::to_string (parent_port (i)));
  }
  return h;
}

TEST (Parent, RendezvousChoice)
{
  parent_clock = fakeclock;
  parent_config (names ({}));
  EXPECT_EQ (parent_pick ("x"), -1);
  std::vector<std::string> all = {"a.local:3128", "b.local:3128", "10.0.0.3:80",
                                  "10.0.0.4:8080", "c.local:3129"};
  const int nkeys = 5000;
  parent_config (names (all));
  parent_check ();
  std::vector<std::string> h = homes (nkeys);
  EXPECT_EQ (homes (nkeys), h); // the same home every time
  std::map<std::string, int> share;
  for (auto &s : h)
    share[s]++;
  for (auto &p : all)
    EXPECT_TRUE (share[p] > nkeys * 14 / 100 && share[p] < nkeys * 26 / 100)
        << p << " " << share[p];
  // Each parent in turn fails: the homes are those of a configuration
  // without it, so only its own keys moved, and they spread.
  for (int gone = 0; gone < 5; gone++) {
    parent_config (names (all));
    parent_failed (gone);
    EXPECT_FALSE (parent_up (gone));
    std::vector<std::string> down = homes (nkeys);
    std::vector<std::string> rest = all;
    rest.erase (rest.begin () + gone);
    parent_config (names (rest));
    EXPECT_EQ (down, homes (nkeys)) << all[gone];
    std::map<std::string, int> moved;
    for (int k = 0; k < nkeys; k++) {
      EXPECT_TRUE (h[k] == all[gone] ? down[k] != h[k] : down[k] == h[k]);
      moved[down[k]] += h[k] == all[gone];
    }
    for (auto &p : rest)
      EXPECT_GT (moved[p], share[all[gone]] / 10) << p;
  }
  // Passed over for parent_down_s seconds, then back with its keys.
  parent_config (names (all));
  parent_failed (1);
  fakenow += parent_down_s - 1;
  EXPECT_FALSE (parent_up (1));
  EXPECT_NE (homes (nkeys), h);
  fakenow += 1;
  EXPECT_TRUE (parent_up (1));
  EXPECT_EQ (homes (nkeys), h);
  // Every parent down: each key still goes to its home.
  for (int i = 0; i < 5; i++)
    parent_failed (i);
  EXPECT_EQ (homes (nkeys), h);
  parent_check ();
}

// url -> the parents (by index) whose access logs show it, and how often.
std::map<std::string, std::multiset<int>>
seen (const std::vector<std::string> &logs)
{
  std::map<std::string, std::multiset<int>> m;
  for (size_t i = 0; i < logs.size (); i++) {
    std::ifstream f (logs[i]);
    std::string line;
    while (std::getline (f, line)) {
      std::istringstream w (line);
      std::string t, el, ip, res, bytes, method, url;
      w >> t >> el >> ip >> res >> bytes >> method >> url;
      m[url].insert (int (i));
    }
  }
  return m;
}

TEST (Parent, OmbrixBehindOmbrix)
{
  origin org;
  char dir[] = "/tmp/ombrix-parent-XXXXXX";
  ASSERT_TRUE (mkdtemp (dir));
  std::vector<std::string> logs;
  std::vector<std::unique_ptr<proxy>> parents;
  std::vector<std::string> args;
  for (int i = 0; i < 3; i++) {
    logs.push_back (std::string (dir) + "/p" + std::to_string (i) + ".log");
    parents.emplace_back (new proxy ({"--access-log", logs[i]}));
    args.push_back ("--parent");
    args.push_back ("127.0.0.1:" + std::to_string (parents[i]->port));
  }
  proxy child (args);
  const int nurls = 45;
  auto fetchall = [&] () {
    int fd = dial (child.port);
    std::string rest;
    for (int u = 0; u < nurls; u++) {
      std::string url = org.url ("/len/" + std::to_string (1000 + u));
      ASSERT_TRUE (sendall (fd, "GET " + url + " HTTP/1.1\r\nHost: x\r\n\r\n"));
      response r = readresponse (fd, &rest);
      ASSERT_EQ (r.status, 200) << url;
      ASSERT_EQ (r.body, pattern (1000 + u)) << url;
    }
    close (fd);
  };
  fetchall ();
  fetchall ();
  auto before = seen (logs);
  ASSERT_EQ (before.size (), size_t (nurls));
  std::map<std::string, int> home;
  for (auto &e : before) { // twice, both times at one parent
    ASSERT_EQ (e.second.size (), 2u) << e.first;
    EXPECT_EQ (e.second.count (*e.second.begin ()), 2u) << e.first;
    home[e.first] = *e.second.begin ();
  }
  // Parent 2 dies: its URLs move to the others, no one else's move.
  parents[2]->kill (SIGKILL);
  parents[2]->wait ();
  for (auto &l : logs)
    truncate (l.c_str (), 0);
  fetchall ();
  auto after = seen (logs);
  int moved = 0;
  for (auto &e : after) {
    ASSERT_EQ (e.second.size (), 1u) << e.first;
    int now = *e.second.begin ();
    if (home[e.first] == 2) {
      EXPECT_NE (now, 2);
      moved++;
    } else
      EXPECT_EQ (now, home[e.first]) << e.first;
  }
  EXPECT_EQ (after.size (), size_t (nurls));
  EXPECT_GT (moved, 0); // about a third, by the hashes of this run's ports
  sh (std::string ("rm -r ") + dir);
}

} // namespace
