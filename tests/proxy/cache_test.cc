// The cache through ombrix, black-box over 127.0.0.1 with the scripted
// origin: each row of the table is an object's answer and a sequence of
// requests, each expecting the body of the origin's K-th answer (so a hit
// and a fresh fetch tell themselves apart) and how often the origin was
// asked in the end.  Then eviction at the byte limit, collapsed forwarding
// (one fetch for many clients, the first client leaving, an answer that
// turns out not storable) and the status page.
#include "tests/proxy/harness.h"

#include <set>
#include <sys/stat.h>
#include <thread>

using namespace harness;

namespace {

struct step {
  const char *method;
  const char *hdrs;             // extra request lines, each ending in CRLF
  int k;                        // the answer expected: NAME#k; 0 none; -1 cut
  int status = 0;               // 0: 200
  const char *xcache = nullptr; // the X-Cache expected, if any
  int sleep_ms = 0;             // before this step
  step (const char *m, const char *h, int kk, int st = 0,
        const char *x = nullptr, int ms = 0)
      : method (m), hdrs (h), k (kk), status (st), xcache (x), sleep_ms (ms)
  {
  }
};

struct row {
  const char *name;
  const char *query; // the origin's script (origin.py /x/)
  std::vector<step> steps;
  int hits; // requests the origin saw
};

const char *const fresh = "h=Cache-Control:max-age%3D60";
const char *const stale = "h=Cache-Control:max-age%3D0&h=ETag:%22v1%22&v304=1";

const std::vector<row> table = {
    {"maxage", fresh, {{"GET", "", 1, 0, "MISS"}, {"GET", "", 1, 0, "HIT"}}, 1},
    {"smaxage",
     "h=Cache-Control:max-age%3D0,s-maxage%3D60",
     {{"GET", "", 1}, {"GET", "", 1}},
     1},
    {"expires", "h=Expires:NOW%2B60", {{"GET", "", 1}, {"GET", "", 1}}, 1},
    {"badexpires",
     "h=Expires:NOW%2B60&h=Expires:0&h=Last-Modified:NOW-100000",
     {{"GET", "", 1}, {"GET", "", 2}},
     2},
    {"heur200",
     "h=Last-Modified:NOW-36000",
     {{"GET", "", 1}, {"GET", "", 1}},
     1},
    {"heur404",
     "s=404&h=Last-Modified:NOW-36000",
     {{"GET", "", 1, 404}, {"GET", "", 1, 404}},
     1},
    {"heur302",
     "s=302&h=Last-Modified:NOW-36000",
     {{"GET", "", 1, 302}, {"GET", "", 2, 302}},
     2},
    {"nostore",
     "h=Cache-Control:max-age%3D60,no-store",
     {{"GET", "", 1}, {"GET", "", 2}},
     2},
    {"private",
     "h=Cache-Control:max-age%3D60,private",
     {{"GET", "", 1}, {"GET", "", 2}},
     2},
    {"auth",
     fresh,
     {{"GET", "Authorization: a\r\n", 1}, {"GET", "", 2}, {"GET", "", 2}},
     2},
    {"authpublic",
     "h=Cache-Control:max-age%3D60,public",
     {{"GET", "Authorization: a\r\n", 1}, {"GET", "", 1}},
     1},
    {"reqnocache",
     fresh,
     {{"GET", "", 1},
      {"GET", "Cache-Control: no-cache\r\n", 2},
      {"GET", "Pragma: no-cache\r\n", 3},
      {"GET", "Pragma: foo\r\n", 3}},
     3},
    {"revalidate",
     stale,
     {{"GET", "", 1, 0, "MISS"}, {"GET", "", 1, 0, "HIT"}},
     2},
    {"update304",
     "h=Cache-Control:max-age%3D0&h=ETag:%22v%22&h=X-V:K&v304=1",
     {{"GET", "", 1}, {"GET", "", 1}},
     2},
    {"clientinm",
     "h=Cache-Control:max-age%3D60&h=ETag:%22v1%22",
     {{"GET", "", 1},
      {"GET", "If-None-Match: \"v1\"\r\n", 0, 304, "HIT"},
      {"GET", "If-None-Match: \"v2\"\r\n", 1}},
     1},
    {"vary",
     "h=Cache-Control:max-age%3D60&h=Vary:X-A",
     {{"GET", "X-A: 1\r\n", 1},
      {"GET", "X-A: 1\r\n", 1},
      {"GET", "X-A: 2\r\n", 2},
      {"GET", "X-A:  2\r\n", 2},
      {"GET", "", 3}},
     3},
    {"varystar",
     "h=Cache-Control:max-age%3D60&h=Vary:*",
     {{"GET", "", 1}, {"GET", "", 2}},
     2},
    {"invalidate",
     fresh,
     {{"GET", "", 1},
      {"POST", "Content-Length: 1\r\n\r\nx", 2},
      {"GET", "", 3},
      {"GET", "", 3}},
     3},
    {"onlyifcached",
     fresh,
     {{"GET", "Cache-Control: only-if-cached\r\n", 0, 504},
      {"GET", "", 1},
      {"GET", "Cache-Control: only-if-cached\r\n", 1}},
     1},
    {"earlyend",
     "h=Cache-Control:max-age%3D60&lie=1&n=4000",
     {{"GET", "", -1}, {"GET", "", -1}},
     2},
    {"range",
     fresh,
     {{"GET", "", 1},
      {"GET", "Range: bytes=2-4\r\n", 0, 206},
      {"GET", "Range: bytes=-3\r\n", 0, 206},
      {"GET", "Range: bytes=9-\r\n", 1}},
     1},
    {"headhit", fresh, {{"GET", "", 1}, {"HEAD", "", 0, 0, "HIT"}}, 1},
    {"stale",
     "h=Cache-Control:max-age%3D1",
     {{"GET", "", 1}, {"GET", "", 1}, {"GET", "", 2, 0, "MISS", 2100}},
     2},
    // The origin closes without answering: a stale copy answers unless a
    // side forbids it.  (On a pooled connection the close counts as a stale
    // connection: the request is tried once more, on a new one.)
    {"stalefail",
     "h=Cache-Control:max-age%3D1&die=2",
     {{"GET", "", 1}, {"GET", "", 1, 0, "HIT", 2100}},
     3},
    {"revalfail",
     "h=Cache-Control:max-age%3D0&h=ETag:%22v%22&die=2",
     {{"GET", "", 1},
      {"GET", "", 1, 0, "HIT"},
      {"GET", "Cache-Control: max-age=0\r\n", 0, 502}},
     4},
    {"mustrevalfail",
     "h=Cache-Control:max-age%3D0,must-revalidate&h=ETag:%22v%22&die=2",
     {{"GET", "", 1}, {"GET", "", 0, 502}},
     3},
};

struct Cache : ::testing::Test {
  static origin *org;
  static void SetUpTestSuite () { org = new origin; }
  static void TearDownTestSuite () { delete org; }
  static std::string req (const std::string &method, const std::string &path,
                          const std::string &extra = "")
  {
    std::string e = extra, body;
    size_t b = e.find ("\r\n\r\n");
    if (b != std::string::npos) {
      body = e.substr (b + 4);
      e.erase (b + 2);
    }
    return method + " " + org->url (path) + " HTTP/1.1\r\nHost: x\r\n" + e +
           "\r\n" + body;
  }
  static int hits (const std::string &name, int port)
  {
    return atoi (roundtrip (port, req ("GET", "/hits/" + name)).body.c_str ());
  }
};
origin *Cache::org;

TEST_F (Cache, Rules)
{
  proxy px;
  for (const row &r : table)
    for (size_t i = 0; i < r.steps.size (); i++) {
      const step &s = r.steps[i];
      SCOPED_TRACE (std::string (r.name) + " step " + std::to_string (i + 1));
      if (s.sleep_ms)
        usleep (s.sleep_ms * 1000);
      bool head = !strcmp (s.method, "HEAD");
      response a = roundtrip (
          px.port,
          req (s.method, std::string ("/x/") + r.name + "?" + r.query, s.hdrs),
          head);
      if (s.k < 0) { // the body ended early: the client must see it cut
        EXPECT_FALSE (a.complete);
        continue;
      }
      EXPECT_EQ (a.status, s.status ? s.status : 200);
      if (s.k) {
        EXPECT_EQ (a.body, std::string (r.name) + "#" + std::to_string (s.k));
      }
      if (s.xcache) {
        EXPECT_EQ (a.hdr["x-cache"], s.xcache);
      }
      if (!strcmp (r.name, "update304") && i) {
        EXPECT_EQ (a.hdr["x-v"], "2"); // the 304's field replaced the stored
        EXPECT_EQ (a.hdr["content-length"], "11");
      }
      if (a.status == 206) { // one range of the stored "range#1"
        EXPECT_EQ (a.body, i == 1 ? "nge" : "e#1");
        EXPECT_EQ (a.hdr["content-range"],
                   i == 1 ? "bytes 2-4/7" : "bytes 4-6/7");
      }
      if (head) {
        EXPECT_EQ (a.hdr["content-length"], "9");
      }
    }
  for (const row &r : table)
    EXPECT_EQ (hits (r.name, px.port), r.hits) << r.name;
  // The revalidation asked with the stored validator.
  std::string last = roundtrip (px.port, req ("GET", "/last/revalidate")).body;
  EXPECT_NE (last.find ("If-None-Match: \"v1\""), std::string::npos) << last;
}

// Objects of ~20 KB in a 64 KiB store: the least recently used goes first.
TEST_F (Cache, EvictionAtTheByteLimit)
{
  proxy px ({"--cache-mem", "64K"});
  auto get = [&] (const char *name) {
    return roundtrip (px.port, req ("GET", std::string ("/x/") + name + "?" +
                                               fresh + "&n=20000"))
        .hdr["x-cache"];
  };
  EXPECT_EQ (get ("ev-a"), "MISS");
  EXPECT_EQ (get ("ev-b"), "MISS");
  EXPECT_EQ (get ("ev-a"), "HIT"); // a is now more recent than b
  EXPECT_EQ (get ("ev-c"), "MISS");
  EXPECT_EQ (get ("ev-d"), "MISS"); // evicts b, the least recently used
  EXPECT_EQ (get ("ev-a"), "HIT");
  EXPECT_EQ (get ("ev-b"), "MISS");
  // Over --cache-max-object: passed on, never stored.
  proxy small ({"--cache-max-object", "10K"});
  for (int i = 0; i < 2; i++)
    EXPECT_EQ (roundtrip (small.port, req ("GET", std::string ("/x/ev-big?") +
                                                      fresh + "&n=20000"))
                   .body.size (),
               20000u);
  EXPECT_EQ (hits ("ev-big", px.port), 2);
}

// Thousands of pipelined hits in one write: answered in order, none lost.
TEST_F (Cache, PipelinedHits)
{
  proxy px;
  std::string r = req ("GET", std::string ("/x/pipe?") + fresh), all;
  roundtrip (px.port, r);
  for (int i = 0; i < 2000; i++)
    all += r;
  int fd = dial (px.port);
  std::thread w ([&] { sendall (fd, all); });
  std::string rest;
  int n = 0;
  for (; n < 2000; n++)
    if (readresponse (fd, &rest).body != "pipe#1")
      break;
  w.join ();
  close (fd);
  EXPECT_EQ (n, 2000);
}

// n clients ask at once for one slow object; the first may leave.
static std::vector<response>
together (int port, const std::string &r, int n, bool firstleaves)
{
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    fds.push_back (dial (port));
    sendall (fds.back (), r);
    if (!i)
      usleep (50000); // the first is the one whose miss starts the fetch
  }
  if (firstleaves)
    close (fds[0]);
  std::vector<response> out;
  for (int i = firstleaves; i < n; i++) {
    std::string rest;
    out.push_back (readresponse (fds[i], &rest));
    close (fds[i]);
  }
  return out;
}

TEST_F (Cache, CollapsedForwarding)
{
  proxy px;
  std::string slow = std::string ("?ms=500&n=100000&") + fresh;
  for (const response &a :
       together (px.port, req ("GET", "/x/cf" + slow), 20, false))
    EXPECT_EQ (a.body.substr (0, 4), "cf#1");
  EXPECT_EQ (hits ("cf", px.port), 1);
  // The first client leaves: the fetch goes on for the others.
  for (const response &a :
       together (px.port, req ("GET", "/x/cfl" + slow), 5, true)) {
    EXPECT_TRUE (a.complete);
    EXPECT_EQ (a.body.substr (0, 5), "cfl#1");
  }
  EXPECT_EQ (hits ("cfl", px.port), 1);
  EXPECT_EQ (roundtrip (px.port, req ("GET", "/x/cfl" + slow)).hdr["x-cache"],
             "HIT");
  // Not storable after all: every waiter goes to the origin itself.
  std::set<std::string> bodies;
  for (const response &a :
       together (px.port, req ("GET", "/x/cfn?ms=300&h=Cache-Control:no-store"),
                 4, false))
    bodies.insert (a.body);
  EXPECT_EQ (bodies.size (), 4u);
  EXPECT_EQ (hits ("cfn", px.port), 4);
  std::string st = roundtrip (px.port, "GET http://ombrix.status/ HTTP/1.1\r\n"
                                       "Host: ombrix.status\r\n\r\n")
                       .body;
  EXPECT_NE (st.find ("\ncollapsed 26\n"), std::string::npos) << st; // 19+4+3
}

} // namespace

// Peak resident set size of pid in KiB.
static long
hwmkb (pid_t pid)
{
  std::string s = sh ("grep VmHWM /proc/" + std::to_string (pid) + "/status");
  return s.size () > 6 ? strtol (s.c_str () + 6, nullptr, 10) : -1;
}

// The disk store behind a memory store too small for the objects (over
// --cache-max-object: disk only), across restarts of the proxy.
struct DiskCache : Cache {
  std::string dir;
  void SetUp () override
  {
    char t[] = "/tmp/ombrix-disk-XXXXXX";
    ASSERT_TRUE (mkdtemp (t));
    dir = t;
  }
  void TearDown () override { sh ("rm -rf " + dir); }
  std::vector<std::string> args (const char *size = "1G")
  {
    return {"--cache-dir",        dir,  "--cache-size", size,
            "--cache-max-object", "10K"};
  }
  static response get (int port, const std::string &name, size_t n = 20000,
                       bool head = false)
  {
    std::string q = "/x/" + name + "?" + fresh + "&n=" + std::to_string (n);
    return roundtrip (port, req (head ? "HEAD" : "GET", q), head);
  }
  // Waits until n objects are in place (then indexed at once).
  void settle (int n)
  {
    std::string c = "find " + dir + " -mindepth 3 -type f | wc -l";
    for (long end = nowms () + 5000;
         nowms () < end && atoi (sh (c).c_str ()) < n;)
      usleep (10000);
    usleep (50000);
  }
  // Stops a proxy and starts another on the folder, and waits (30 s at
  // most: the scan runs at the disk thread's low priority, slow on a busy
  // machine) until the status page says the folder is scanned: objects
  // not yet indexed would be misses.
  void restart (std::unique_ptr<proxy> *px, const char *size = "1G")
  {
    px->reset ();
    px->reset (new proxy (args (size)));
    std::string q = "GET http://ombrix.status/ HTTP/1.1\r\nHost: x\r\n\r\n";
    for (long end = nowms () + 30000; nowms () < end; usleep (20000))
      if (roundtrip ((*px)->port, q).body.find ("\ndisk_scanned 1\n") !=
          std::string::npos)
        return;
    ADD_FAILURE () << "the cache folder is not scanned after 30 s";
  }
  // The same for a test of the proxy's peak memory: under ASan, blocks
  // freed are held back (256 MiB by default) before reuse, memory the
  // proxy does not use, which a bound would count.
  void restartlean (std::unique_ptr<proxy> *px, const char *size = "1G")
  {
    const char *env = getenv ("ASAN_OPTIONS");
    std::string asan = env ? env : "";
    setenv ("ASAN_OPTIONS", (asan + ":quarantine_size_mb=4").c_str (), 1);
    restart (px, size);
    if (env)
      setenv ("ASAN_OPTIONS", asan.c_str (), 1);
    else
      unsetenv ("ASAN_OPTIONS");
  }
};

TEST_F (DiskCache, ServedAcrossRestartsNeverForeign)
{
  std::unique_ptr<proxy> px;
  restart (&px);
  std::string first; // dk-a's body as the origin sent it
  for (const char *n : {"dk-a", "dk-b"}) {
    response r = get (px->port, n);
    first = first.empty () ? r.body : first;
    EXPECT_EQ (r.hdr["x-cache"], "MISS");
    EXPECT_EQ (r.body.substr (0, strlen (n) + 2), std::string (n) + "#1");
    EXPECT_EQ (r.body.size (), 20000u);
  }
  settle (2);
  EXPECT_EQ (get (px->port, "dk-a").hdr["x-cache"], "HIT"); // from disk
  restart (&px);
  response a = get (px->port, "dk-a");
  EXPECT_EQ (a.hdr["x-cache"], "HIT");
  EXPECT_EQ (a.body, first);
  EXPECT_EQ (hits ("dk-a", px->port), 1);
  // dk-a's file under dk-b's name: its URL does not match, never served.
  px.reset ();
  std::string fa = sh ("grep -rl --exclude-dir=tmp 'dk-a?' " + dir);
  std::string fb = sh ("grep -rl --exclude-dir=tmp 'dk-b?' " + dir);
  ASSERT_FALSE (fa.empty () || fb.empty ());
  fa.pop_back ();
  fb.pop_back ();
  sh ("cp " + fa + " " + fb);
  restart (&px);
  response b = get (px->port, "dk-b");
  EXPECT_EQ (b.hdr["x-cache"], "MISS");
  EXPECT_EQ (b.body.substr (0, 6), "dk-b#2");
  settle (2);
  EXPECT_EQ (get (px->port, "dk-b").body.substr (0, 6), "dk-b#2");
  EXPECT_EQ (hits ("dk-b", px->port), 2);
}

// kill -9 while a 64 MB object is being written: after a restart nothing
// of it is served and the temporary is gone.
TEST_F (DiskCache, KilledMidWriteLeavesNothing)
{
  std::unique_ptr<proxy> px;
  restart (&px);
  int fd = dial (px->port, 65536);
  std::string q = "/x/dk-k?" + std::string (fresh) + "&n=64000000";
  ASSERT_TRUE (sendall (fd, req ("GET", q)));
  size_t got = 0;
  char b[65536];
  for (ssize_t k; got < (4u << 20) && (k = read (fd, b, sizeof b)) > 0;)
    got += size_t (k);
  EXPECT_GE (got, 4u << 20);
  usleep (100000);
  EXPECT_NE (sh ("ls " + dir + "/tmp"), ""); // the write was under way
  px->kill (SIGKILL);
  px->wait ();
  close (fd);
  restart (&px);
  EXPECT_EQ (sh ("ls " + dir + "/tmp"), "");
  response h = roundtrip (px->port, req ("HEAD", q), true);
  EXPECT_EQ (h.hdr["x-cache"], "MISS");
  EXPECT_EQ (hits ("dk-k", px->port), 2);
}

// ~20 KB files against a 64 KiB disk: the least recently used goes first.
TEST_F (DiskCache, EvictionBySize)
{
  std::unique_ptr<proxy> px;
  restart (&px, "64K");
  int stored = 0;
  auto x = [&] (const char *n) {
    std::string c = get (px->port, n).hdr["x-cache"];
    if (c == "MISS") // at most 3 fit; an eviction's unlink comes first
      settle (std::min (++stored, 3));
    return c;
  };
  EXPECT_EQ (x ("de-a"), "MISS");
  EXPECT_EQ (x ("de-b"), "MISS");
  EXPECT_EQ (x ("de-a"), "HIT");
  EXPECT_EQ (x ("de-c"), "MISS");
  EXPECT_EQ (x ("de-d"), "MISS"); // evicts b
  EXPECT_EQ (x ("de-a"), "HIT");
  EXPECT_EQ (x ("de-b"), "MISS");
  std::string files = sh ("find " + dir + " -mindepth 3 -type f");
  EXPECT_EQ (std::count (files.begin (), files.end (), '\n'), 3) << files;
}

// ---- The disk cache's faults: damaged and foreign files, a full disk, an
// object past 4 GiB ----

#include <functional>
#include <sys/mount.h>
#include <sys/statvfs.h>

namespace {

// The body the origin's K-th answer to /x/NAME?...&n=N carries.
std::string
xbody (const std::string &name, int k, size_t n = 20000)
{
  std::string b = name + "#" + std::to_string (k);
  return b + std::string (n - b.size (), '.');
}

bool
flip (const std::string &path, off_t at)
{
  int fd = open (path.c_str (), O_RDWR);
  char c;
  bool ok =
      pread (fd, &c, 1, at) == 1 && (c ^= 0x5a, pwrite (fd, &c, 1, at)) == 1;
  close (fd);
  return ok;
}

struct DiskFaults : DiskCache {
  // The file of /x/NAME; "" when there is none in place.
  std::string file (const std::string &name)
  {
    std::string f =
        sh ("grep -rlF --exclude-dir=tmp '/x/" + name + "?' " + dir);
    return f.empty () ? f : f.substr (0, f.find ('\n'));
  }
  // What the folder holds besides its 32 x 32 folders, tmp included.
  std::string extra ()
  {
    return sh ("cd " + dir +
               " && find . -mindepth 3 | sort; find tmp -mindepth 1");
  }
  // Waits until no temporary is left, twice in a row (a write may not
  // have begun), and n files are in place if n >= 0.
  void quiet (int n = -1, long ms = 10000)
  {
    std::string c = "find " + dir + " -mindepth 3 -type f | wc -l";
    long end = nowms () + ms;
    for (int calm = 0; calm < 2 && nowms () < end;) {
      usleep (20000);
      bool q = sh ("ls " + dir + "/tmp").empty () &&
               (n < 0 || atoi (sh (c).c_str ()) == n);
      calm = q ? calm + 1 : 0;
    }
  }
  std::string say (int port, const std::string &name, int k)
  {
    response r = get (port, name);
    EXPECT_EQ (r.body, xbody (name, k)) << name;
    return r.hdr["x-cache"];
  }
};

// Files damaged, foreign or left over while the proxy was down: none is
// served (each is a miss fetched again, whole), the scan removes them and
// the junk, the intact object stays a hit.  Then files damaged under a
// running proxy after they were indexed.  (The checksum covers the
// header, not the head or body: damage there is not looked for.)
TEST_F (DiskFaults, DamagedAndForeignFilesNeverServed)
{
  std::unique_ptr<proxy> px;
  restart (&px);
  auto cut = [] (const std::string &f) {
    EXPECT_EQ (truncate (f.c_str (), 19000), 0);
  };
  const std::vector<std::pair<std::string, std::function<void (std::string)>>>
      harm = {
          {"dd-cut", cut},
          {"dd-long", [] (std::string f) { sh ("echo x >>" + f); }},
          {"dd-empty",
           [] (std::string f) { EXPECT_EQ (truncate (f.c_str (), 0), 0); }},
          {"dd-magic", [] (std::string f) { EXPECT_TRUE (flip (f, 0)); }},
          {"dd-len", [] (std::string f) { EXPECT_TRUE (flip (f, 64)); }},
          {"dd-sum", [] (std::string f) { EXPECT_TRUE (flip (f, 72)); }},
          {"dd-url", [] (std::string f) { EXPECT_TRUE (flip (f, 90)); }},
          {"dd-link",
           [this] (std::string f) {
             sh ("ln -sf " + file ("dd-ok") + " " + f);
           }},
          {"dd-ok", nullptr},
      };
  for (auto &h : harm)
    EXPECT_EQ (say (px->port, h.first, 1), "MISS");
  settle (int (harm.size ()));
  px.reset ();
  std::string ok = file ("dd-ok");
  for (auto &h : harm)
    if (h.second)
      h.second (file (h.first));
  // Junk: names of no object, a valid name over junk, a folder, leftovers.
  const char *junk = "a/b/junk a/c/abcdefghijkmnpqrstuvwxyz23456789 "
                     "tmp/left 9/9/zzz"; // 9/9 is scanned last
  sh ("cd " + dir + " && for f in " + junk +
      "; do head -c 300 /dev/urandom >$f; "
      "done && mkdir c/d/junk && cp " +
      ok + " tmp/");
  restart (&px);
  for (long end = nowms () + 10000;
       nowms () < end && !access ((dir + "/9/9/zzz").c_str (), F_OK);)
    usleep (10000);
  usleep (50000);
  EXPECT_EQ (extra (), "./" + ok.substr (dir.size () + 1) + "\n");
  for (auto &h : harm)
    EXPECT_EQ (say (px->port, h.first, h.second ? 2 : 1),
               h.second ? "MISS" : "HIT");
  // Under the running proxy: each damaged file is dropped at its lookup.
  settle (int (harm.size ()));
  cut (file ("dd-ok"));
  EXPECT_TRUE (flip (file ("dd-url"), 90));
  EXPECT_EQ (say (px->port, "dd-ok", 2), "MISS");
  EXPECT_EQ (say (px->port, "dd-url", 3), "MISS");
  EXPECT_EQ (say (px->port, "dd-cut", 2), "HIT");
  // A garbled stored head, which the checksum does not cover: a well-framed
  // answer with the whole body still, or the object fetched again.
  int fd = open (file ("dd-magic").c_str (), O_RDWR);
  uint32_t hl = 0;
  uint64_t headlen = 0; // both little-endian, as the host
  ASSERT_EQ (pread (fd, &hl, 4, 8) + pread (fd, &headlen, 8, 56), 12);
  std::string g (headlen, '\n');
  for (size_t i = 0; i < g.size (); i += 3)
    g[i] = '\xff';
  EXPECT_EQ (pwrite (fd, g.data (), g.size (), hl), ssize_t (g.size ()));
  close (fd);
  response r = get (px->port, "dd-magic");
  EXPECT_TRUE (r.complete);
  EXPECT_TRUE (r.body == xbody ("dd-magic", 2) ||
               r.body == xbody ("dd-magic", 3));
  EXPECT_TRUE (px->alive ());
  EXPECT_EQ (hits ("dd-ok", px->port), 2);
}

// A 128 KiB tmpfs under a 64 MiB --cache-size: the objects that do not fit
// are lost with one warning, every client still gets the whole body, the
// stored ones stay hits and whole, no partial file stays.
TEST_F (DiskFaults, FullDiskServesEveryoneStoresWhatFits)
{
  struct mnt {
    std::string d, err;
    ~mnt ()
    {
      umount2 (d.c_str (), MNT_DETACH);
      unlink (err.c_str ());
    }
  } m{dir, dir + ".err"};
  if (mount ("tmpfs", dir.c_str (), "tmpfs", 0, "size=128k") < 0)
    GTEST_SKIP () << "cannot mount a small tmpfs: " << strerror (errno);
  std::string wrap = "2>" + m.err; // the proxy's warnings, to count them
  if (const char *w = getenv ("OMBRIX_PROXY_WRAP"))
    wrap = wrap + " " + w;
  proxy px (args ("64M"), wrap.c_str ());
  const int n = 12;
  auto name = [] (int i) { return "df-" + std::to_string (i); };
  for (int i = 0; i < n; i++) {
    EXPECT_EQ (say (px.port, name (i), 1), "MISS");
    quiet ();
  }
  int stored = 0;
  for (int i = 0; i < n; i++) {
    bool in = !file (name (i)).empty ();
    stored += in;
    EXPECT_EQ (say (px.port, name (i), in ? 1 : 2), in ? "HIT" : "MISS");
    quiet ();
  }
  EXPECT_GT (stored, 0);
  EXPECT_LT (stored, n);
  // One size, that of a whole object, in tmp/ and out.
  EXPECT_EQ (sh ("find " + dir +
                 " -type f -printf '%s\\n' | uniq -c | awk '{print $1}'"),
             std::to_string (stored) + "\n");
  EXPECT_TRUE (px.alive ());
  std::string err = slurp (m.err);
  EXPECT_EQ (std::count (err.begin (), err.end (), '\n'), 1) << err;
  EXPECT_NE (err.find ("No space left on device"), std::string::npos) << err;
}

// Reads a response whose body is the pattern (byte i is i % 251) off fd
// and checks each byte as it comes: the head, and in *good the body bytes
// read up to the first wrong one.  Neither 2^32 nor a MiB is a multiple
// of 251: an offset cut to 32 bits, a slice skipped or sent twice shows.
response
patternget (int fd, uint64_t *good)
{
  static const std::string ref = pattern ((1 << 20) + 251);
  std::string b;
  response r = readresponse (fd, &b, true, 60000);
  uint64_t want = strtoull (r.hdr["content-length"].c_str (), nullptr, 10);
  std::vector<char> t (1 << 20);
  const char *p = b.data ();
  *good = 0;
  for (size_t k = b.size ();;) {
    if (memcmp (p, ref.data () + *good % 251, k))
      return r;
    *good += k;
    pollfd pf = {fd, POLLIN, 0};
    ssize_t n = 0;
    if (*good >= want || poll (&pf, 1, 60000) <= 0 ||
        (n = read (fd, t.data (), t.size ())) <= 0)
      return r;
    p = t.data ();
    k = size_t (n);
  }
}

// An object of 4 GiB and a few bytes, over --cache-max-object (disk
// only): stored while it streams to the client in bounded memory, then a
// hit from its file, every byte checked both times.
TEST_F (DiskFaults, ObjectOver4GiB)
{
  const char *pre = getenv ("LD_PRELOAD"), *w = getenv ("OMBRIX_PROXY_WRAP");
  if ((pre && strstr (pre, "vgpreload")) || (w && strstr (w, "valgrind")))
    GTEST_SKIP () << "checking 8 GiB under valgrind would take hours";
  struct statvfs v;
  if (statvfs (dir.c_str (), &v) < 0 ||
      uint64_t (v.f_bavail) * v.f_frsize < (uint64_t (6) << 30))
    GTEST_SKIP () << "needs 6 GiB free in " << dir;
  std::unique_ptr<proxy> px;
  restartlean (&px, "8G");
  long start = hwmkb (px->pid);
  const uint64_t n = (uint64_t (1) << 32) + 7;
  std::string q =
      "/x/dk-huge?" + std::string (fresh) + "&pat=1&n=" + std::to_string (n);
  for (const char *x : {"MISS", "HIT"}) {
    long t0 = nowms ();
    int fd = dial (px->port);
    ASSERT_TRUE (sendall (fd, req ("GET", q)));
    uint64_t good;
    response r = patternget (fd, &good);
    close (fd);
    EXPECT_EQ (r.hdr["x-cache"], x);
    EXPECT_EQ (good, n);
    long t1 = nowms ();
    quiet (1, 600000);
    long peak = hwmkb (px->pid);
    printf ("%s %ld ms, settled after %ld ms more; ombrix peak %ld KiB\n", x,
            t1 - t0, nowms () - t1, peak);
    // A fetch waits for the disk: a few MiB, not the object.
    EXPECT_LT (peak - start, 64 << 10) << start << " KiB at the start";
  }
  EXPECT_EQ (hits ("dk-huge", px->port), 1);
}

} // namespace
// The results in the access log at path for the requests of /x/name, in
// order.
static std::vector<std::string>
results (const std::string &path, const std::string &name)
{
  std::vector<std::string> out;
  std::istringstream in (slurp (path));
  for (std::string l; std::getline (in, l);)
    if (l.find ("/x/" + name + "?") != std::string::npos) {
      std::istringstream f (l);
      std::string w;
      for (int i = 0; i < 4; i++)
        f >> w;
      out.push_back (w.substr (0, w.find ('/')));
    }
  return out;
}

// After a restart, a disk hit that fits --cache-max-object goes into the
// memory store: the next request is a memory hit with the same body and
// an Age counted from the origin's answer, not from the promotion; a
// larger object stays a disk hit.
TEST_F (DiskCache, HitsPromotedToMemory)
{
  std::string log = dir + "-access.log";
  std::vector<std::string> a = {
      "--cache-dir",        dir,   "--cache-size", "1G",
      "--cache-max-object", "64K", "--access-log", log};
  std::unique_ptr<proxy> px (new proxy (a));
  std::string small = get (px->port, "dp-s", 30000).body;
  long t0 = nowms (); // dp-s's answer came before
  std::string large = get (px->port, "dp-l", 100000).body;
  settle (2);
  usleep (std::max (0L, 2500 - (nowms () - t0)) * 1000);
  px.reset ();
  px.reset (new proxy (a));
  usleep (500000);
  std::vector<response> s, l;
  for (int i = 0; i < 2; i++) {
    s.push_back (get (px->port, "dp-s", 30000));
    l.push_back (get (px->port, "dp-l", 100000));
  }
  EXPECT_EQ (hits ("dp-s", px->port), 1);
  EXPECT_EQ (hits ("dp-l", px->port), 1);
  px.reset ();
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ (s[i].body, small);
    EXPECT_EQ (l[i].body, large);
    EXPECT_EQ (s[i].hdr["x-cache"], "HIT");
  }
  EXPECT_GE (atoi (s[0].hdr["age"].c_str ()), 2);
  EXPECT_GE (atoi (s[1].hdr["age"].c_str ()), atoi (s[0].hdr["age"].c_str ()));
  std::vector<std::string> rs = {"TCP_MISS", "TCP_HIT", "TCP_MEM_HIT"};
  std::vector<std::string> rl = {"TCP_MISS", "TCP_HIT", "TCP_HIT"};
  EXPECT_EQ (results (log, "dp-s"), rs);
  EXPECT_EQ (results (log, "dp-l"), rl);
  unlink (log.c_str ());
}

// Opens fifo for writing once a reader waits in its open: that open, and
// the proxy's file worker waiting in it, go on.  False after 10 s.
static bool
unblock (const std::string &fifo)
{
  for (long end = nowms () + 10000; nowms () < end; usleep (1000)) {
    int fd = open (fifo.c_str (), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
      return close (fd) == 0;
  }
  return false;
}

// An object far larger than a fetch may hold in memory, from an origin
// faster than the disk: the disk is made to stall (the file of another
// object replaced by a FIFO, whose lookup holds the file worker in its
// open for 1.5 s).  The proxy's peak memory stays a fraction of the
// object, the object is then served whole from its file, and the request
// that found the FIFO is served from the origin.
TEST_F (DiskCache, LargeObjectWrittenInBoundedMemory)
{
  const uint64_t n = 256ull << 20;
  std::unique_ptr<proxy> px;
  restartlean (&px);
  get (px->port, "dg-x");
  settle (1);
  std::string f = sh ("grep -rl --exclude-dir=tmp 'dg-x?' " + dir);
  ASSERT_FALSE (f.empty ());
  f.pop_back ();
  ASSERT_EQ (unlink (f.c_str ()), 0);
  ASSERT_EQ (mkfifo (f.c_str (), 0644), 0);
  int x = dial (px->port);
  std::string qx = "/x/dg-x?" + std::string (fresh) + "&n=20000";
  ASSERT_TRUE (sendall (x, req ("GET", qx)));
  usleep (100000);
  long start = hwmkb (px->pid);
  bool unblocked = false;
  std::thread later ([&] {
    usleep (1500000);
    unblocked = unblock (f);
  });
  std::string q =
      "/x/dg-a?" + std::string (fresh) + "&pat=1&n=" + std::to_string (n);
  auto fetch = [&] (const char *want) {
    int fd = dial (px->port);
    EXPECT_TRUE (sendall (fd, req ("GET", q)));
    uint64_t good;
    response r = patternget (fd, &good);
    close (fd);
    EXPECT_EQ (good, n);
    EXPECT_EQ (r.hdr["x-cache"], want);
  };
  fetch ("MISS");
  later.join ();
  EXPECT_TRUE (unblocked);
  long peak = hwmkb (px->pid);
  EXPECT_LT (peak - start, 64 << 10) << start << " KiB at the start";
  std::string rest;
  response r = readresponse (x, &rest);
  close (x);
  EXPECT_EQ (r.body.substr (0, 6), "dg-x#2");
  settle (2);
  fetch ("HIT");
  EXPECT_EQ (hits ("dg-a", px->port), 1);
}
