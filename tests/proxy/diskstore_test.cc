// The disk cache in a scratch folder: a random workload against a model
// (store, abort, look up, remove, invalidate, restart), then what the
// folder may hold after a crash or a stranger: damaged, foreign and
// colliding files, a writer killed with SIGKILL, a full and a read-only
// file system, and an object over 4 GiB.
#include "proxy/diskstore.h"

#include "async/core.h"
#include "async/err.h"
#include "http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <cstring>
#include <ftw.h>
#include <map>
#include <random>
#include <signal.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int
rmone (const char *p, const struct stat *, int, FTW *)
{
  return remove (p);
}

// A fresh folder, removed with what it holds: in /dev/shm when there is
// one, since making and removing the 1024 object folders on a busy disk
// takes seconds.
struct scratch {
  std::string dir;
  scratch ()
  {
    char t[] = "/dev/shm/ombrix-disk-XXXXXX", u[] = "/tmp/ombrix-disk-XXXXXX";
    const char *d = mkdtemp (t);
    dir = d ? d : mkdtemp (u);
  }
  ~scratch () { nftw (dir.c_str (), rmone, 16, FTW_DEPTH | FTW_PHYS); }
  std::string cache () const { return dir + "/c"; }
};

void
gothit (bool *called, ptr<dhit> *out, ptr<dhit> h)
{
  *called = true;
  *out = h;
}

// The hit for url and sec, or null; lookups that miss at once say so.
ptr<dhit>
get (dstore &st, const std::string &url, const std::string &sec,
     uint64_t maxbody = 0)
{
  bool called = false;
  ptr<dhit> h;
  if (!st.lookup (url.c_str (), sec.c_str (), wrap (gothit, &called, &h),
                  maxbody))
    return nullptr;
  st.drain ();
  EXPECT_TRUE (called);
  return h;
}

std::string
body (const dhit &h)
{
  std::string b (size_t (h.len), '\0');
  EXPECT_EQ (pread (h.fd, &b[0], b.size (), off_t (h.off)), ssize_t (h.len));
  return b;
}

dtimes
times (int status)
{
  dtimes t = {status, 1700000000, 5, 3600, false, true, false, true};
  return t;
}

// Stores one object whole and waits for the worker: the writer's state.
int
put (dstore &st, const std::string &url, const std::string &sec,
     const std::string &b, int status = 200)
{
  vec<str> vary;
  if (!sec.empty ())
    vary.push_back ("accept-encoding");
  std::string head = "HTTP/1.1 " + std::to_string (status) + " X\r\n\r\n";
  ptr<dwriter> w = st.store (url.c_str (), sec.c_str (), head.c_str (),
                             times (status), vary);
  if (!w)
    return -2;
  w->append (str (b.data (), b.size ()));
  w->finish ();
  st.drain ();
  return w->state ();
}

std::string
path (const std::string &dir, const std::string &url, const std::string &sec)
{
  str n = dsk_name (url.c_str (), sec.c_str ());
  return dir + "/" + n[0] + "/" + n[1] + "/" + n.cstr ();
}

void
writefile (const std::string &p, const std::string &data)
{
  int fd = open (p.c_str (), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE (fd, 0) << p;
  ASSERT_EQ (write (fd, data.data (), data.size ()), ssize_t (data.size ()));
  close (fd);
}

bool
exists (const std::string &p)
{
  struct stat sb;
  return lstat (p.c_str (), &sb) == 0;
}

// A file for the diagnostics (errfd) of a test, and what it holds.
int
errcapture ()
{
  char t[] = "/tmp/ombrix-disk-err-XXXXXX";
  int fd = mkstemp (t);
  unlink (t);
  return fd;
}

std::string
errtext (int fd)
{
  std::string out (4096, '\0');
  out.resize (size_t (pread (fd, &out[0], out.size (), 0)));
  close (fd);
  return out;
}

// Files in the folder's tmp/.
int
temps (const std::string &c)
{
  DIR *d = opendir ((c + "/tmp").c_str ());
  int n = 0;
  while (dirent *e = d ? readdir (d) : nullptr)
    n += e->d_name[0] != '.';
  if (d)
    closedir (d);
  return n;
}

void
setflag (int *n)
{
  ++*n;
}

// Starts the store and waits for the rescan, whose callback runs once.
void
startwait (dstore &st)
{
  int scanned = 0;
  ASSERT_EQ (st.start (wrap (setflag, &scanned)), 0);
  st.drain ();
  ASSERT_TRUE (st.scanned ());
  ASSERT_EQ (scanned, 1);
  st.check ();
}

// ---- The model ----

struct mobj {
  std::string url, sec, head, body;
  uint64_t size;
  int64_t lifetime;
};

class model {
public:
  std::map<std::string, mobj> objs; // by file name
  std::vector<std::string> lru;     // most recent first
  uint64_t bytes = 0;
  const uint64_t maxbytes, maxobject;

  model (uint64_t mb, uint64_t mo) : maxbytes (mb), maxobject (mo) {}
  void drop (const std::string &n)
  {
    bytes -= objs[n].size;
    objs.erase (n);
    for (size_t i = 0; i < lru.size (); i++)
      if (lru[i] == n)
        lru.erase (lru.begin () + long (i));
  }
  void evict (uint64_t want)
  {
    while (bytes + want > maxbytes && !lru.empty ())
      drop (lru.back ());
  }
};

struct workload {
  scratch s;
  std::mt19937 rnd{20261207};
  const uint64_t maxbytes = 64 << 10, maxobject = 24 << 10;
  model m{maxbytes, maxobject};
  dstore *st = nullptr;
  uint64_t evictions = 0; // by stores restarted since
  int hits = 0, updated = 0;

  std::string url (int i) { return "http://h" + std::to_string (i) + "/x"; }
  std::string sec (int i)
  {
    return i ? "gzip" + std::string (size_t (i), 'z') : "";
  }
  int pick (int n) { return int (rnd () % unsigned (n)); }

  void open ()
  {
    st = new dstore (s.cache ().c_str (), maxbytes, maxobject);
    startwait (*st);
  }
  void store ();
  void lookup ();
  void update ();
  void restart ();
  void compare ();
};

void
workload::store ()
{
  std::string u = url (pick (6)), sc = sec (pick (3));
  mobj o = {u,
            sc,
            "HTTP/1.1 200 OK\r\nX: " + std::to_string (pick (999)) + "\r\n\r\n",
            "",
            0,
            3600};
  vec<str> vary;
  if (!sc.empty ())
    vary.push_back ("accept-encoding");
  ptr<dwriter> w =
      st->store (u.c_str (), sc.c_str (), o.head.c_str (), times (200), vary);
  ASSERT_TRUE (w);
  uint64_t r =
      80 + u.size () + sc.size () + (sc.empty () ? 0 : 15) + o.head.size ();
  m.evict (r);
  int pieces = pick (5), stop = pick (7) == 0 ? pick (pieces + 1) : -1;
  bool ok = true;
  for (int i = 0; i < pieces && ok && i != stop; i++) {
    std::string p (size_t (pick (i % 2 ? 9000 : 300)), char ('a' + pick (26)));
    bool fits = r + p.size () <= maxobject;
    EXPECT_EQ (w->append (str (p.data (), p.size ())), fits ? 1 : 0);
    if (!fits)
      ok = false;
    else if (!p.empty ()) {
      r += p.size ();
      o.body += p;
      m.evict (r);
    }
    if (pick (3) == 0)
      st->drain (); // the writer both waiting on and ahead of the worker
    st->check ();
  }
  if (stop >= 0 || !ok) {
    w->abort ();
    st->drain ();
    EXPECT_EQ (w->state (), -1);
    return;
  }
  w->finish ();
  st->drain ();
  ASSERT_EQ (w->state (), 1);
  std::string n = dsk_name (u.c_str (), sc.c_str ()).cstr ();
  if (m.objs.count (n))
    m.drop (n);
  o.size = r;
  m.objs[n] = o;
  m.lru.insert (m.lru.begin (), n);
  m.bytes += r;
}

void
workload::lookup ()
{
  std::string u = url (pick (6)), sc = sec (pick (3));
  std::string n = dsk_name (u.c_str (), sc.c_str ()).cstr ();
  uint64_t maxbody = pick (2) ? 0 : uint64_t (pick (30000));
  ptr<dhit> h = get (*st, u, sc, maxbody);
  ASSERT_EQ (bool (h), m.objs.count (n) == 1) << u << " " << sc;
  if (!h)
    return;
  hits++;
  const mobj &o = m.objs[n];
  EXPECT_EQ (std::string (h->head.cstr ()), o.head);
  EXPECT_EQ (body (*h), o.body);
  // Read whole when the file fits maxbody, and then the same bytes.
  EXPECT_EQ (bool (h->body), maxbody >= o.size) << maxbody << " " << o.size;
  if (h->body) {
    EXPECT_EQ (std::string (h->body.cstr (), h->body.len ()), o.body);
  }
  EXPECT_EQ (h->m.url, str (u.c_str ()));
  EXPECT_EQ (h->m.t.lifetime, o.lifetime);
  EXPECT_EQ (h->m.vary.size (), sc.empty () ? 0u : 1u);
  for (size_t i = 0; i < m.lru.size (); i++)
    if (m.lru[i] == n) {
      m.lru.erase (m.lru.begin () + long (i));
      m.lru.insert (m.lru.begin (), n);
    }
}

// A 304's new head and times: the body stays, the size follows the head.
void
workload::update ()
{
  std::string u = url (pick (6)), sc = sec (pick (3));
  std::string n = dsk_name (u.c_str (), sc.c_str ()).cstr ();
  std::string head =
      "HTTP/1.1 200 OK\r\nY: " + std::string (size_t (pick (3000)), 'y') +
      "\r\n\r\n";
  dtimes tt = times (200);
  tt.lifetime = pick (100000);
  ASSERT_EQ (st->update (u.c_str (), sc.c_str (), head.c_str (), tt),
             int (m.objs.count (n)));
  if (!m.objs.count (n))
    return;
  mobj &o = m.objs[n];
  m.bytes = m.bytes - o.head.size () + head.size ();
  updated++;
  o.size = o.size - o.head.size () + head.size ();
  o.head = head;
  o.lifetime = tt.lifetime;
  for (size_t i = 0; i < m.lru.size (); i++)
    if (m.lru[i] == n) {
      m.lru.erase (m.lru.begin () + long (i));
      m.lru.insert (m.lru.begin (), n);
    }
  m.evict (0);
}

void
workload::restart ()
{
  evictions += st->evictions;
  delete st;
  // The order after a rescan follows the files' times: each file gets a
  // distinct one, which then says what the order must be.
  std::vector<std::pair<time_t, std::string>> byage;
  for (auto &o : m.objs) {
    time_t when = 1000000000 + time_t (byage.size ()) * 977 % 65521;
    timespec ts[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ (
        utimensat (AT_FDCWD,
                   path (s.cache (), o.second.url, o.second.sec).c_str (), ts,
                   0),
        0);
    byage.push_back ({when, o.first});
  }
  std::sort (byage.rbegin (), byage.rend ());
  st = new dstore (s.cache ().c_str (), maxbytes, maxobject);
  startwait (*st);
  m.lru.clear ();
  for (auto &a : byage)
    m.lru.push_back (a.second);
}

void
workload::compare ()
{
  st->check ();
  ASSERT_EQ (st->bytes (), m.bytes);
  ASSERT_EQ (st->count (), m.objs.size ());
  size_t i = 0;
  for (const dent *e = st->mru (); e; e = e->older (), i++)
    ASSERT_EQ (e->name.cstr (), m.lru[i]);
  for (int k = 0; k < 6; k++) {
    bool any = false;
    for (auto &o : m.objs)
      any |= o.second.url == url (k);
    EXPECT_EQ (st->vary (url (k).c_str ()) != nullptr, any);
  }
}

TEST (DiskStore, RandomWorkloadAgainstModel)
{
  workload t;
  t.open ();
  uint64_t maxseen = 0;
  for (int step = 0; step < 600; step++) {
    int op = t.pick (100);
    if (op < 40)
      t.store ();
    else if (op < 64)
      t.lookup ();
    else if (op < 70)
      t.update ();
    else if (op < 78) {
      std::string u = t.url (t.pick (6)), sc = t.sec (t.pick (3));
      std::string n = dsk_name (u.c_str (), sc.c_str ()).cstr ();
      EXPECT_EQ (t.st->remove (u.c_str (), sc.c_str ()),
                 int (t.m.objs.count (n)));
      if (t.m.objs.count (n))
        t.m.drop (n);
    } else if (op < 86) {
      std::string u = t.url (t.pick (6));
      int n = 0;
      for (auto it = t.m.objs.begin (); it != t.m.objs.end ();)
        if (it->second.url == u) {
          std::string name = (it++)->first;
          t.m.drop (name);
          n++;
        } else
          ++it;
      EXPECT_EQ (t.st->invalidate (u.c_str ()), n);
    } else if (op < 91)
      t.restart ();
    else
      t.lookup ();
    t.st->drain ();
    t.compare ();
    maxseen = std::max (maxseen, t.m.bytes);
    if (testing::Test::HasFatalFailure ())
      break;
  }
  EXPECT_GT (t.evictions + t.st->evictions, 0u) << maxseen;
  EXPECT_GT (t.hits, 50);
  EXPECT_GT (t.updated, 10);
  delete t.st;
}

// Writers that overlap: two of one object (the last to finish wins), one
// dropped by its owner mid-way, one whose object is invalidated while it
// streams, one that outlives its store; lookups before the rescan reaches
// an object miss it.  No temporary stays behind.
TEST (DiskStore, OverlappingWriters)
{
  scratch s;
  std::string c = s.cache ();
  const char *u = "http://o/same", *head = "HTTP/1.1 200 OK\r\n\r\n";
  ptr<dwriter> late;
  {
    dstore st (c.c_str (), 1 << 20);
    startwait (st);
    ptr<dwriter> a = st.store (u, "", head, times (200), vec<str> ());
    ptr<dwriter> b = st.store (u, "", head, times (200), vec<str> ());
    ptr<dwriter> gone =
        st.store ("http://o/gone", "", head, times (200), vec<str> ());
    ptr<dwriter> inv =
        st.store ("http://o/inv", "gz", head, times (200), vec<str> ());
    late = st.store ("http://o/late", "", head, times (200), vec<str> ());
    a->append ("from a");
    b->append ("from b");
    gone->append ("never");
    inv->append ("stale");
    b->finish ();
    a->finish (); // after b: a is kept, b stores nothing
    gone = nullptr;
    EXPECT_EQ (st.invalidate ("http://o/inv"), 0);
    EXPECT_EQ (inv->append ("more"), 0);
    st.check ();
    st.drain ();
    st.check ();
    EXPECT_EQ (a->state (), 1);
    EXPECT_EQ (b->state (), -1);
    EXPECT_EQ (inv->state (), -1);
    EXPECT_EQ (st.count (), 1u);
    ptr<dhit> h = get (st, u, "");
    ASSERT_TRUE (h);
    EXPECT_EQ (body (*h), "from a");
    EXPECT_FALSE (get (st, "http://o/inv", "gz"));
    EXPECT_FALSE (get (st, "http://o/gone", ""));
    EXPECT_EQ (late->append ("x"), 1);
  }
  EXPECT_EQ (late->append ("y"), 0); // its store is gone
  late->finish ();
  late = nullptr;
  dstore st (c.c_str (), 1 << 20);
  ASSERT_EQ (st.start (nullptr), 0);
  EXPECT_EQ (
      st.lookup (u, "", wrap (gothit, (bool *) nullptr, (ptr<dhit> *) nullptr)),
      0);
  st.drain ();
  EXPECT_TRUE (st.scanned ());
  EXPECT_EQ (st.count (), 1u);
  EXPECT_TRUE (get (st, u, ""));
  EXPECT_EQ (temps (c), 0);
}

void
ondrained (int *n, uint64_t *at, dwriter *w)
{
  ++*n;
  *at = w->backlog ();
}

// Opens fifo for writing once the worker waits in its open for reading:
// that open, and the worker, go on.
bool
unblock (const std::string &fifo)
{
  for (long end = time (nullptr) + 10; time (nullptr) < end; usleep (1000)) {
    int fd = open (fifo.c_str (), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
      return close (fd) == 0;
  }
  return false;
}

// A worker held up (in a lookup's open of a FIFO put in an object's
// place) while a writer's pieces pile up: the drain callback runs only
// once a job comes back with the backlog low, never from append; a writer
// that stops storing (removed, over its limit, its store gone) calls back
// from a timer, never from inside the call that stopped it.
TEST (DiskStore, DrainSignal)
{
  scratch s;
  std::string c = s.cache ();
  const char *head = "HTTP/1.1 200 OK\r\n\r\n";
  const uint64_t low = 1 << 20;
  std::string piece (64 << 10, 'p');
  dstore st (c.c_str (), 64 << 20, 8 << 20);
  startwait (st);
  ASSERT_EQ (put (st, "http://o/fifo", "", "x"), 1);
  std::string fifo = path (c, "http://o/fifo", "");
  ASSERT_EQ (unlink (fifo.c_str ()), 0);
  ASSERT_EQ (mkfifo (fifo.c_str (), 0644), 0);
  bool called = false;
  ptr<dhit> h;
  ASSERT_EQ (st.lookup ("http://o/fifo", "", wrap (gothit, &called, &h)), 1);
  ptr<dwriter> w = st.store ("http://o/big", "", head, times (200), {});
  int woke = 0;
  uint64_t at = 0;
  w->ondrain (low, wrap (ondrained, &woke, &at, (dwriter *) w));
  for (int i = 0; i < 64; i++)
    ASSERT_EQ (w->append (str (piece.data (), piece.size ())), 1);
  EXPECT_EQ (w->backlog (), 64 * piece.size ());
  w->finish ();
  timecb_check ();
  EXPECT_EQ (woke, 0);
  ASSERT_TRUE (unblock (fifo));
  st.drain ();
  EXPECT_TRUE (called);
  EXPECT_FALSE (h); // not a regular file: dropped
  EXPECT_EQ (woke, 1);
  EXPECT_LE (at, low);
  EXPECT_EQ (w->state (), 1);

  int stops = 0;
  uint64_t ignored;
  ptr<dwriter> rm = st.store ("http://o/rm", "", head, times (200), {});
  ptr<dwriter> over = st.store ("http://o/over", "", head, times (200), {});
  rm->append ("x");
  rm->ondrain (0, wrap (ondrained, &stops, &ignored, (dwriter *) rm));
  over->ondrain (0, wrap (ondrained, &stops, &ignored, (dwriter *) over));
  EXPECT_EQ (st.remove ("http://o/rm", ""), 0);
  int n = 0;
  while (n < 200 && over->append (str (piece.data (), piece.size ())))
    n++;
  EXPECT_EQ (n, 127); // 8 MiB: the header and head take the last piece's room
  EXPECT_EQ (stops, 0);
  timecb_check ();
  EXPECT_EQ (stops, 2);
  {
    dstore gone ((c + "2").c_str (), 1 << 20);
    ASSERT_EQ (gone.start (nullptr), 0);
    w = gone.store ("http://o/g", "", head, times (200), {});
    gone.drain ();
    w->ondrain (0, wrap (ondrained, &stops, &ignored, (dwriter *) w));
  }
  EXPECT_EQ (stops, 2);
  timecb_check ();
  EXPECT_EQ (stops, 3);
  st.drain ();
  st.check ();
  EXPECT_EQ (temps (c), 0);
}

// What a crash, a stranger or a collision leaves in the folder: each is
// removed at the rescan (or at the lookup that finds it), never served;
// what is not ours outside the object folders is left alone.
TEST (DiskStore, DamagedForeignAndCollidingFiles)
{
  scratch s;
  std::string c = s.cache ();
  std::vector<std::string> urls;
  for (int i = 0; i < 8; i++)
    urls.push_back ("http://o/" + std::to_string (i));
  {
    dstore st (c.c_str (), 1 << 20);
    startwait (st);
    for (auto &u : urls)
      ASSERT_EQ (put (st, u, "", "body of " + u), 1);
  }
  std::string whole, other;
  {
    int fd = open (path (c, urls[0], "").c_str (), O_RDONLY);
    whole.resize (4096);
    whole.resize (size_t (read (fd, &whole[0], whole.size ())));
    close (fd);
  }
  // Truncated (a power cut after the rename), a header byte flipped, a
  // body longer than said, another URL's object under this URL's name.
  ASSERT_EQ (
      truncate (path (c, urls[1], "").c_str (), off_t (whole.size () - 3)), 0);
  std::string flip = whole;
  flip[50] ^= 1;
  writefile (path (c, urls[2], ""), flip);
  writefile (path (c, urls[3], ""), whole + "x");
  writefile (path (c, urls[4], ""), whole);
  // Strangers: a file with no object name, one with an object name and no
  // object in it, an empty one, a leftover temporary; a folder of some
  // other program at the top.
  str junkname = dsk_name ("http://nowhere/", "");
  std::string junk = c + "/" + junkname[0] + "/" + junkname[1] + "/";
  writefile (junk + "README", "hello");
  writefile (junk + junkname.cstr (), std::string (200, 'x'));
  writefile (path (c, "http://empty/", ""), "");
  writefile (c + "/tmp/" + std::string (junkname.cstr ()) + ".7", whole);
  ASSERT_EQ (mkdir ((c + "/lost+found").c_str (), 0700), 0);

  dstore st (c.c_str (), 1 << 20);
  ASSERT_EQ (st.start (nullptr), 0);
  // Invalidated before the scan reaches it: gone, although not indexed.
  EXPECT_EQ (st.invalidate (urls[7].c_str ()), 0);
  st.drain ();
  st.check ();
  EXPECT_EQ (st.count (), 3u);
  EXPECT_EQ (st.removed, 7u);
  for (int i = 1; i <= 4; i++)
    EXPECT_FALSE (exists (path (c, urls[size_t (i)], ""))) << i;
  EXPECT_FALSE (exists (path (c, urls[7], "")));
  EXPECT_FALSE (exists (junk + "README"));
  EXPECT_FALSE (exists (junk + junkname.cstr ()));
  EXPECT_FALSE (exists (c + "/tmp/" + std::string (junkname.cstr ()) + ".7"));
  EXPECT_TRUE (exists (c + "/lost+found"));
  for (int i : {0, 5, 6}) {
    ptr<dhit> h = get (st, urls[size_t (i)], "");
    ASSERT_TRUE (h);
    EXPECT_EQ (body (*h), "body of " + urls[size_t (i)]);
  }
  EXPECT_FALSE (get (st, urls[1], ""));

  // A file replaced behind the index by one of another URL: the lookup
  // finds it out, removes it and misses.
  writefile (path (c, urls[5], ""), whole);
  EXPECT_FALSE (get (st, urls[5], ""));
  EXPECT_FALSE (exists (path (c, urls[5], "")));
  EXPECT_FALSE (st.has (urls[5].c_str (), ""));
  st.check ();
}

// The header reader on every prefix and every single-byte change of a
// good header: only the whole, unchanged header parses.
TEST (DiskStore, HeaderRejectsEveryPrefixAndFlip)
{
  dmeta m;
  m.url = "http://a/b?c";
  m.secondary = "gzip";
  m.vary.push_back ("accept-encoding");
  m.vary.push_back ("cookie");
  m.t = times (203);
  m.headlen = 77;
  m.bodylen = (uint64_t (1) << 32) + 5; // past 32 bits on every platform
  str h = dsk_header (m);
  ASSERT_TRUE (h);
  std::string b (h.cstr (), h.len ());
  dmeta r;
  size_t need;
  ASSERT_EQ (dsk_parse (b.data (), b.size (), &r, &need), int (b.size ()));
  EXPECT_EQ (r.url, m.url);
  EXPECT_EQ (r.secondary, m.secondary);
  ASSERT_EQ (r.vary.size (), 2u);
  EXPECT_EQ (r.vary[1], str ("cookie"));
  EXPECT_EQ (r.bodylen, m.bodylen);
  EXPECT_EQ (r.headlen, 77u);
  EXPECT_EQ (r.t.status, 203);
  EXPECT_EQ (r.t.response_time, time_t (1700000000));
  EXPECT_TRUE (r.t.no_cache && r.t.validator && !r.t.heuristic);
  for (size_t n = 0; n < b.size (); n++)
    EXPECT_EQ (dsk_parse (b.data (), n, &r, &need), 0) << n;
  for (size_t i = 0; i < b.size (); i++)
    for (int bit = 0; bit < 8; bit += 3) {
      std::string x = b;
      x[i] ^= char (1 << bit);
      EXPECT_NE (dsk_parse (x.data (), x.size (), &r, &need), int (x.size ()))
          << i;
    }
  // The limits, each at its edge.
  m.headlen = dsk_maxhead;
  m.bodylen = dsk_maxbody;
  EXPECT_TRUE (dsk_header (m));
  m.headlen++;
  EXPECT_FALSE (dsk_header (m));
  m.headlen = 0;
  m.bodylen++;
  EXPECT_FALSE (dsk_header (m));
  m.bodylen = 0;
  m.vary.clear ();
  m.vary.push_back (std::string (dsk_maxvary, 'v').c_str ());
  EXPECT_TRUE (dsk_header (m));
  m.vary.push_back ("w");
  EXPECT_FALSE (dsk_header (m));
  m.vary.clear ();
  m.url = str (std::string (dsk_maxurl, 'u').c_str ());
  EXPECT_TRUE (dsk_header (m));
  m.url = str (std::string (dsk_maxurl + 1, 'u').c_str ());
  EXPECT_FALSE (dsk_header (m));
}

// A writer killed with SIGKILL in the middle of an object: the restarted
// store clears its temporary and never serves the object.
TEST (DiskStore, KilledMidWrite)
{
  scratch s;
  std::string c = s.cache ();
  int p[2];
  ASSERT_EQ (pipe (p), 0);
  pid_t pid = fork ();
  ASSERT_GE (pid, 0);
  if (!pid) {
    dstore st (c.c_str (), 1 << 20);
    st.start (nullptr);
    st.drain ();
    put (st, "http://o/whole", "", "whole");
    ptr<dwriter> w = st.store ("http://o/half", "", "HTTP/1.1 200 OK\r\n\r\n",
                               times (200), vec<str> ());
    w->append (std::string (5000, 'h').c_str ());
    st.drain ();
    (void) !write (p[1], "k", 1);
    pause ();
  }
  close (p[1]);
  char k;
  ASSERT_EQ (read (p[0], &k, 1), 1);
  close (p[0]);
  kill (pid, SIGKILL);
  int status;
  waitpid (pid, &status, 0);
  EXPECT_EQ (temps (c), 1); // the half object was there

  dstore st (c.c_str (), 1 << 20);
  startwait (st);
  EXPECT_EQ (st.count (), 1u);
  EXPECT_FALSE (get (st, "http://o/half", ""));
  ASSERT_TRUE (get (st, "http://o/whole", ""));
  EXPECT_EQ (temps (c), 0);
}

// A small tmpfs: objects that do not fit fail one by one with a single
// warning, the stored ones stay whole, no temporary stays behind; then
// the same read-only.  Needs root for the mount.
TEST (DiskStore, FullAndReadOnlyFileSystem)
{
  scratch s;
  std::string c = s.cache ();
  ASSERT_EQ (mkdir (c.c_str (), 0755), 0);
  if (mount ("tmpfs", c.c_str (), "tmpfs", 0, "size=512k") < 0)
    GTEST_SKIP () << "cannot mount a small tmpfs: " << strerror (errno);
  int efd = errcapture ();
  int olderr = errfd;
  errfd = efd;
  {
    dstore st (c.c_str (), 64 << 20);
    startwait (st);
    std::string big (100 << 10, 'b');
    int stored = 0, lost = 0;
    for (int i = 0; i < 12; i++)
      (put (st, "http://o/" + std::to_string (i), "", big) == 1 ? stored
                                                                : lost)++;
    EXPECT_GT (stored, 0);
    EXPECT_GT (lost, 1);
    EXPECT_EQ (st.errors, uint64_t (lost));
    st.check ();
    EXPECT_EQ (st.count (), size_t (stored));
    for (int i = 0; i < stored; i++) {
      ptr<dhit> h = get (st, "http://o/" + std::to_string (i), "");
      ASSERT_TRUE (h);
      EXPECT_EQ (body (*h), big);
    }
    ASSERT_EQ (
        mount ("tmpfs", c.c_str (), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr),
        0);
    EXPECT_EQ (put (st, "http://o/ro", "", "x"), -1);
    EXPECT_EQ (st.errors, uint64_t (lost) + 1);
    ASSERT_TRUE (get (st, "http://o/0", ""));
  }
  errfd = olderr;
  std::string out = errtext (efd);
  EXPECT_EQ (std::count (out.begin (), out.end (), '\n'), 1) << out;
  EXPECT_NE (out.find ("No space left on device"), std::string::npos) << out;
  EXPECT_EQ (temps (c), 0);
  umount2 (c.c_str (), MNT_DETACH);
}

// A folder the process may read but not write (EACCES): stored objects
// are still served, new ones are lost with one warning.  The store runs in
// a child that has given up root; skipped when the test cannot.
TEST (DiskStore, PermissionDenied)
{
  if (geteuid ())
    GTEST_SKIP () << "needs root to drop to another user";
  scratch s;
  std::string c = s.cache ();
  {
    dstore st (c.c_str (), 1 << 20);
    startwait (st);
    ASSERT_EQ (put (st, "http://o/old", "", "kept"), 1);
  }
  ASSERT_EQ (chmod (s.dir.c_str (), 0755), 0);
  int efd = errcapture ();
  pid_t pid = fork ();
  ASSERT_GE (pid, 0);
  if (!pid) {
    errfd = efd;
    if (setgid (65534) || setuid (65534))
      _exit (2);
    dstore st (c.c_str (), 1 << 20);
    st.start (nullptr);
    st.drain ();
    ptr<dhit> h = get (st, "http://o/old", "");
    int a = put (st, "http://o/new", "", "lost"),
        b = put (st, "http://o/new2", "", "lost");
    _exit (h && body (*h) == "kept" && a == -1 && b == -1 && st.errors == 2 &&
                   st.count () == 1
               ? 0
               : 1);
  }
  int status;
  ASSERT_EQ (waitpid (pid, &status, 0), pid);
  ASSERT_TRUE (WIFEXITED (status));
  EXPECT_EQ (WEXITSTATUS (status), 0);
  std::string out = errtext (efd);
  EXPECT_EQ (std::count (out.begin (), out.end (), '\n'), 1) << out;
  EXPECT_NE (out.find ("Permission denied"), std::string::npos) << out;
}

// An object past 4 GiB as a sparse file: indexed at its full size and
// served from the right offset, 64-bit on i386 too.
TEST (DiskStore, ObjectOver4GiB)
{
  scratch s;
  std::string c = s.cache ();
  const uint64_t len = (uint64_t (1) << 32) + 3;
  {
    dstore st (c.c_str (), uint64_t (8) << 30);
    startwait (st);
  }
  dmeta m;
  m.url = "http://o/huge";
  m.secondary = "";
  m.t = times (200);
  std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  m.headlen = head.size ();
  m.bodylen = len;
  str h = dsk_header (m);
  std::string p = path (c, "http://o/huge", "");
  writefile (p, std::string (h.cstr (), h.len ()) + head);
  int fd = open (p.c_str (), O_WRONLY);
  uint64_t size = h.len () + head.size () + len;
  if (ftruncate (fd, off_t (size)) < 0) {
    close (fd);
    GTEST_SKIP () << "no sparse file of 4 GiB here: " << strerror (errno);
  }
  ASSERT_EQ (pwrite (fd, "end", 3, off_t (size - 3)), 3);
  close (fd);

  dstore st (c.c_str (), uint64_t (8) << 30);
  startwait (st);
  EXPECT_EQ (st.bytes (), size);
  ptr<dhit> hit = get (st, "http://o/huge", "");
  ASSERT_TRUE (hit);
  EXPECT_EQ (hit->len, len);
  EXPECT_EQ (hit->off, h.len () + head.size ());
  char tail[3];
  ASSERT_EQ (pread (hit->fd, tail, 3, off_t (hit->off + len - 3)), 3);
  EXPECT_EQ (std::string (tail, 3), "end");
  st.release (hit);
  EXPECT_EQ (hit->fd, -1);
  hit = nullptr;
  // A store limit under the object's size evicts it at the rescan.
  dstore small (c.c_str (), uint64_t (4) << 30);
  startwait (small);
  EXPECT_EQ (small.count (), 0u);
  EXPECT_EQ (small.evictions, 1u);
  EXPECT_FALSE (exists (p));
}

} // namespace
