// A farm of three ombrix instances behind HAProxy, run from the shipped
// examples/haproxy.cfg with this run's ports: every URL reaches exactly
// one instance and is cached there alone, the farm's hit ratio is that of
// one instance taking all the requests, and stopping one instance moves
// only its URLs while the others keep theirs and their hits.
#include "tests/proxy/harness.h"

#include <fstream>
#include <set>
#include <sstream>
#include <sys/un.h>

using namespace harness;

namespace {

// Every from in *s becomes to; there must be one.
void
replace (std::string *s, const std::string &from, const std::string &to)
{
  size_t p = s->find (from);
  ASSERT_NE (p, std::string::npos) << from;
  for (; p != std::string::npos; p = s->find (from, p + to.size ()))
    s->replace (p, from.size (), to);
}

// One command on HAProxy's stats socket, its whole answer.
std::string
haproxycmd (const std::string &sock, const std::string &cmd)
{
  int fd = socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sun = {};
  sun.sun_family = AF_UNIX;
  snprintf (sun.sun_path, sizeof sun.sun_path, "%s", sock.c_str ());
  if (connect (fd, (sockaddr *) &sun, sizeof sun) < 0) {
    close (fd);
    return "";
  }
  sendall (fd, cmd + "\n");
  std::string s = readall (fd, 5000);
  close (fd);
  return s;
}

// How many servers of the backend HAProxy has UP (the status, the 18th
// field of "show stat").
int
upcount (const std::string &sock)
{
  std::istringstream csv (haproxycmd (sock, "show stat"));
  std::string line;
  int n = 0;
  while (std::getline (csv, line)) {
    if (line.compare (0, 8, "caches,c"))
      continue;
    std::istringstream w (line);
    std::string field;
    for (int i = 0; i < 18; i++)
      std::getline (w, field, ',');
    n += field == "UP";
  }
  return n;
}

// url -> the instances (by index) whose access logs show it; the status
// page left out.
std::map<std::string, std::multiset<int>>
seen (const std::vector<std::string> &logs)
{
  std::map<std::string, std::multiset<int>> m;
  for (size_t i = 0; i < logs.size (); i++) {
    std::istringstream f (slurp (logs[i]));
    std::string line;
    while (std::getline (f, line)) {
      std::istringstream w (line);
      std::string t, el, ip, res, bytes, method, url;
      w >> t >> el >> ip >> res >> bytes >> method >> url;
      if (url != "http://ombrix.status/")
        m[url].insert (int (i));
    }
  }
  return m;
}

struct farm {
  char dir[32] = "/tmp/ombrix-farm-XXXXXX";
  std::vector<std::unique_ptr<proxy>> caches;
  std::vector<std::string> logs;
  std::unique_ptr<child> lb;
  std::string sock;
  int port = 0;

  farm ()
  {
    if (!mkdtemp (dir))
      abort ();
    sock = std::string (dir) + "/stats";
    std::string cfg = slurp (testdir () + "/../../examples/haproxy.cfg");
    for (int i = 0; i < 3; i++) {
      logs.push_back (std::string (dir) + "/c" + std::to_string (i) + ".log");
      caches.emplace_back (new proxy ({"--access-log", logs[i]}));
      replace (&cfg, "127.0.0.1:" + std::to_string (3129 + i),
               "127.0.0.1:" + std::to_string (caches[i]->port));
    }
    port = pickport ();
    replace (&cfg, "127.0.0.1:3128", "127.0.0.1:" + std::to_string (port));
    replace (&cfg, "global\n", "global\n    stats socket " + sock + "\n");
    replace (&cfg, "check inter 1s fall 2 rise 2", // notice a stop sooner
             "check inter 100ms fall 1 rise 1");
    std::ofstream (std::string (dir) + "/haproxy.cfg") << cfg;
    lb.reset (new child ({"/usr/sbin/haproxy", "-db", "-f",
                          std::string (dir) + "/haproxy.cfg"}));
    for (long end = nowms () + 10000; nowms () < end; usleep (20000))
      if (upcount (sock) == 3)
        break;
  }
  ~farm ()
  {
    lb.reset ();
    caches.clear ();
    sh (std::string ("rm -r ") + dir);
  }
};

// GETs every URL on one keep-alive connection through the farm (HAProxy
// refuses a Host that differs from the URL's authority).
void
fetchall (int port, const std::vector<std::string> &urls)
{
  int fd = dial (port);
  std::string rest;
  for (auto &u : urls) {
    std::string host = u.substr (7, u.find ('/', 7) - 7);
    ASSERT_TRUE (
        sendall (fd, "GET " + u + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
    response r = readresponse (fd, &rest);
    ASSERT_EQ (r.status, 200) << u;
    ASSERT_TRUE (r.complete) << u;
  }
  close (fd);
}

TEST (HAProxy, EachUrlHasOneHome)
{
  origin org;
  farm f;
  ASSERT_EQ (upcount (f.sock), 3) << haproxycmd (f.sock, "show stat");
  const int nurls = 90;
  std::vector<std::string> urls;
  for (int u = 0; u < nurls; u++)
    urls.push_back (org.url ("/len/" + std::to_string (100 + u)));
  fetchall (f.port, urls);
  fetchall (f.port, urls);
  auto before = seen (f.logs);
  ASSERT_EQ (before.size (), size_t (nurls));
  std::map<std::string, int> home;
  int share[3] = {};
  for (auto &e : before) {
    ASSERT_EQ (e.second.size (), 2u) << e.first;
    EXPECT_EQ (e.second.count (*e.second.begin ()), 2u) << e.first;
    home[e.first] = *e.second.begin ();
    share[home[e.first]]++;
  }
  for (int i = 0; i < 3; i++) // about a third each
    EXPECT_GT (share[i], nurls / 10) << i;
  // One instance stops: its URLs move, no one else's.
  f.caches[1]->kill (SIGTERM);
  EXPECT_EQ (f.caches[1]->wait (), 0);
  for (long end = nowms () + 10000; nowms () < end; usleep (20000))
    if (upcount (f.sock) == 2)
      break;
  ASSERT_EQ (upcount (f.sock), 2);
  for (auto &l : f.logs)
    ASSERT_EQ (truncate (l.c_str (), 0), 0);
  fetchall (f.port, urls);
  auto after = seen (f.logs);
  ASSERT_EQ (after.size (), size_t (nurls));
  for (auto &e : after) {
    ASSERT_EQ (e.second.size (), 1u) << e.first;
    int now = *e.second.begin ();
    if (home[e.first] == 1)
      EXPECT_NE (now, 1) << e.first;
    else
      EXPECT_EQ (now, home[e.first]) << e.first;
  }
}

// An instance's status page: name -> value.
std::map<std::string, long long>
status (int port)
{
  response r = roundtrip (port, "GET http://ombrix.status/ HTTP/1.1\r\n"
                                "Host: ombrix.status\r\n\r\n");
  EXPECT_EQ (r.status, 200) << r.head;
  std::map<std::string, long long> m;
  std::istringstream in (r.body);
  std::string name;
  long long v;
  while (in >> name >> v)
    m[name] = v;
  return m;
}

// The workload: nurls URLs, URL u asked for 1 + u % 4 times, interleaved.
std::vector<std::string>
workload (const farend &org, int nurls)
{
  std::vector<std::string> urls;
  for (int round = 0; round < 4; round++)
    for (int u = 0; u < nurls; u++)
      if (round <= u % 4)
        urls.push_back ("http://127.0.0.1:" + std::to_string (org.port) + "/" +
                        std::to_string (200 + u));
  return urls;
}

TEST (HAProxy, FarmCachesLikeOneBigCache)
{
  farend org ({"fresh"});
  farm f;
  proxy big;
  ASSERT_EQ (upcount (f.sock), 3);
  const int nurls = 60;
  std::vector<std::string> urls = workload (org, nurls);
  fetchall (f.port, urls);
  fetchall (big.port, urls);
  // Each URL stored once in the farm: as many objects as URLs, each URL's
  // requests all at one instance.
  std::map<std::string, long long> s[3], one = status (big.port);
  long long objects = 0, hits = 0, misses = 0;
  for (int i = 0; i < 3; i++) {
    s[i] = status (f.caches[i]->port);
    EXPECT_GT (s[i]["objects"], 0) << i;
    objects += s[i]["objects"];
    hits += s[i]["hits"];
    misses += s[i]["misses"];
  }
  EXPECT_EQ (objects, nurls);
  EXPECT_EQ (one["objects"], nurls);
  EXPECT_EQ (misses, nurls);
  EXPECT_EQ (hits, one["hits"]); // the same hit ratio as one big cache
  EXPECT_EQ (misses, one["misses"]);
  std::map<std::string, int> home;
  for (auto &e : seen (f.logs)) {
    EXPECT_EQ (e.second.count (*e.second.begin ()), e.second.size ())
        << e.first;
    home[e.first] = *e.second.begin ();
  }
  ASSERT_EQ (home.size (), size_t (nurls));
  // Instance 1 stops: the others answer their own URLs from their store;
  // only instance 1's URLs are fetched again, once each.
  f.caches[1]->kill (SIGTERM);
  EXPECT_EQ (f.caches[1]->wait (), 0);
  for (long end = nowms () + 10000; nowms () < end; usleep (20000))
    if (upcount (f.sock) == 2)
      break;
  ASSERT_EQ (upcount (f.sock), 2);
  fetchall (f.port, urls);
  long long moved = s[1]["objects"], dhits = 0, dmisses = 0;
  for (int i : {0, 2}) {
    std::map<std::string, long long> now = status (f.caches[i]->port);
    dhits += now["hits"] - s[i]["hits"];
    dmisses += now["misses"] - s[i]["misses"];
    EXPECT_GE (now["objects"], s[i]["objects"]) << "kept its objects";
  }
  EXPECT_EQ (dmisses, moved);
  EXPECT_EQ (dhits, (long long) urls.size () - moved);
}

} // namespace
