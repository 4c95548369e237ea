// The event loop: timers, descriptors, lazy callbacks, signals, children,
// descriptor limits and the process start-up (checked in a fresh process,
// tests/progs/coreprobe, with a controlled environment and limits).
#include "async/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> trace;

void
note (std::string tag)
{
  trace.push_back (tag);
}

// The way of waiting this run uses: OMBRIX_LOOP, epoll unless "select".
bool
epollloop ()
{
  const char *v = getenv ("OMBRIX_LOOP");
  return !v || strcmp (v, "select");
}

// A loop step that cannot hang a failing test: select waits at most 2 s.
void
fdstep ()
{
  selwait.tv_sec = 2;
  selwait.tv_usec = 0;
  fdcb_check ();
}

void
setflag (bool *f)
{
  *f = true;
}

// acheck with a guard timer, so that an iteration with nothing to do
// returns after ms milliseconds instead of a day.  An iteration that has
// work returns at once: waits for an event use patience, a bound that only
// a failing test reaches, however loaded the machine or slow an emulator.
const long patience = 60000; // ms

void
acheckwithin (long ms)
{
  bool fired = false;
  timecb_t *guard =
      delaycb (ms / 1000, ms % 1000 * 1000000, wrap (setflag, &fired));
  acheck ();
  if (!fired)
    timecb_remove (guard);
}

timespec
at (time_t sec, long nsec = 0)
{
  timespec ts;
  ts.tv_sec = sec;
  ts.tv_nsec = nsec;
  return ts;
}

// Far in the past (always due) or far ahead (never due during a test).
timespec
past (int k, long nsec = 0)
{
  return at (1000000 + k, nsec);
}
timespec
future (int k, long nsec = 0)
{
  return at (tsnow.tv_sec + 100000 + k, nsec);
}

const char *const panicline = "^PANIC: [^\n]*\n";

std::string
panicre (const std::string &text)
{
  return panicline + text + "$";
}

std::string
assertre (const std::string &cond)
{
  return panicre ("assertion \"" + cond +
                  "\" failed at [^\n]*async/core\\.cc:[0-9]+\n");
}

class Loop : public ::testing::Test {
protected:
  void SetUp () override { trace.clear (); }
  void TearDown () override
  {
    sigcb_check (); // SIGCHLD from death tests' children
    core_check ();
    timecb_check (); // nothing may be left pending
    EXPECT_EQ (selwait.tv_sec, 86400);
  }
};

using Timers = Loop;
using Descriptors = Loop;
using Lazy = Loop;
using Signals = Loop;

// ---------------------------------------------------------------- timers

TEST_F (Timers, TimeoutForNoTimerDueTimerAndPendingSignal)
{
  timecb_check ();
  EXPECT_EQ (selwait.tv_sec, 86400);
  EXPECT_EQ (selwait.tv_usec, 0);

  timecb_t *h = delaycb (1, 500000000, wrap (note, std::string ("x")));
  timecb_check ();
  long long us = selwait.tv_sec * 1000000LL + selwait.tv_usec;
  EXPECT_GT (us, 1400000);
  EXPECT_LE (us, 1500000);
  EXPECT_LT (selwait.tv_usec, 1000000);
  sigdocheck = 1;
  timecb_check ();
  sigdocheck = 0;
  EXPECT_EQ (selwait.tv_sec, 0);
  EXPECT_EQ (selwait.tv_usec, 0);
  timecb_remove (h);

  // Overdue: zero, and the timer fires at the next scan.
  timecb (at (tsnow.tv_sec + 1), wrap (note, std::string ("due")));
  clock_gettime (CLOCK_REALTIME, &tsnow);
  timecb_t *late = timecb (tsnow, wrap (note, std::string ("now")));
  (void) late;
  EXPECT_TRUE (trace.empty ());
  timecb_check ();
  EXPECT_EQ (trace, std::vector<std::string>{"now"});
  while (trace.size () < 2)
    timecb_check ();
}

// selwait against the nanosecond difference, truncated to microseconds,
// on both sides of the borrow.
TEST_F (Timers, TimeoutArithmeticAgainstNanosecondDifference)
{
  for (long nsec : {0L, 1L, 999L, 1000L, 500000000L, 999999999L}) {
    timecb_check ();
    timespec ts = at (tsnow.tv_sec + 3, nsec);
    timecb_t *h = timecb (ts, wrap (note, std::string ("x")));
    timecb_check (); // tsnow is the time the timeout was computed from
    long long ns =
        (ts.tv_sec - tsnow.tv_sec) * 1000000000LL + ts.tv_nsec - tsnow.tv_nsec;
    EXPECT_EQ (selwait.tv_sec, ns / 1000000000) << nsec;
    EXPECT_EQ (selwait.tv_usec, ns % 1000000000 / 1000) << nsec;
    timecb_remove (h);
  }
}

TEST_F (Timers, EqualTimesFireInRegistrationOrderInOneScan)
{
  for (const char *t : {"a", "b", "c", "d"})
    timecb (past (5, 7), wrap (note, std::string (t)));
  timecb (past (4, 999999999), wrap (note, std::string ("first")));
  timecb (past (5, 8), wrap (note, std::string ("last")));
  timecb_check ();
  EXPECT_EQ (trace,
             (std::vector<std::string>{"first", "a", "b", "c", "d", "last"}));
}

struct scene {
  timecb_t *victim = nullptr;
  std::vector<timespec> add;
};

void
act (scene *s, std::string tag)
{
  note (tag);
  for (const timespec &ts : s->add)
    timecb (ts, wrap (note, "added@" + std::to_string (ts.tv_sec % 100)));
  timecb_remove (s->victim);
}

// A removal restarts the scan from the earliest timer, so a past timer
// added by the same callback before the next one runs in this scan.
TEST_F (Timers, RemovalRestartsFromTheEarliest)
{
  scene s;
  timecb (past (1), wrap (act, &s, std::string ("A")));
  s.victim = timecb (past (2), wrap (note, std::string ("B")));
  timecb (past (4), wrap (note, std::string ("C")));
  s.add.push_back (past (3));
  timecb_check ();
  EXPECT_EQ (trace, (std::vector<std::string>{"A", "added@3", "C"}));
}

// Without a removal the scan goes on with the remembered successor: past
// timers added after it run now, those before it at the next scan, which
// the zero timeout brings about at once.
TEST_F (Timers, AddedPastTimersRunNowOnlyAfterTheSuccessor)
{
  scene s;
  timecb (past (10), wrap (act, &s, std::string ("A")));
  timecb (past (20), wrap (note, std::string ("B")));
  s.add = {past (15), past (30), past (5)};
  timecb_check ();
  EXPECT_EQ (trace, (std::vector<std::string>{"A", "B", "added@30"}));
  EXPECT_EQ (selwait.tv_sec, 0);
  EXPECT_EQ (selwait.tv_usec, 0);
  timecb_check ();
  EXPECT_EQ (trace, (std::vector<std::string>{"A", "B", "added@30", "added@5",
                                              "added@15"}));
}

void
removeself (timecb_t **h)
{
  timecb_remove (*h);
}

TEST_F (Timers, RemovingTheFiringTimerPanics)
{
  timecb_t *h = timecb (past (0), wrap (removeself, &h));
  EXPECT_DEATH (timecb_check (), panicre ("timecb_remove: invalid timecb_t\n"));
  timecb_remove (h);
  timecb_remove (nullptr);
}

// delaycb lands at now + delay, normalised, whatever the nanoseconds.
TEST_F (Timers, DelayCarriesIntoSeconds)
{
  std::mt19937 rng (5);
  for (int i = 0; i < 200; i++) {
    u_int32_t nsec = i < 2 ? 999999999 * i : rng () % 1000000000;
    time_t sec = rng () % 3;
    timespec a, b;
    clock_gettime (CLOCK_REALTIME, &a);
    timecb_t *h = delaycb (sec, nsec, wrap (note, std::string ("x")));
    clock_gettime (CLOCK_REALTIME, &b);
    ASSERT_GE (h->ts.tv_nsec, 0);
    ASSERT_LT (h->ts.tv_nsec, 1000000000);
    auto ns = [] (const timespec &t) {
      return t.tv_sec * 1000000000LL + t.tv_nsec;
    };
    long long d = sec * 1000000000LL + nsec;
    EXPECT_GE (ns (h->ts), ns (a) + d);
    EXPECT_LE (ns (h->ts), ns (b) + d);
    timecb_remove (h);
  }
}

void
fired (int id)
{
  trace.push_back (std::to_string (id));
}

// Random additions, removals and scans against a multimap, which keeps
// equal keys in insertion order as the tree must.
TEST_F (Timers, RandomOperationsAgainstMultimap)
{
  std::mt19937 rng (11);
  typedef std::pair<time_t, long> key;
  std::multimap<key, int> model;
  std::map<int, timecb_t *> live;
  int ids = 0;
  for (int step = 0; step < 4000; step++) {
    int op = rng () % 10;
    if (op < 5) {
      bool due = rng () % 2;
      timespec ts = due ? past (rng () % 8, (rng () % 3) * 400000000)
                        : future (rng () % 8, (rng () % 3) * 400000000);
      live[ids] = timecb (ts, wrap (fired, ids));
      model.emplace (key (ts.tv_sec, ts.tv_nsec), ids);
      ids++;
    } else if (op < 8 && !live.empty ()) {
      auto it = live.begin ();
      std::advance (it, rng () % live.size ());
      timecb_remove (it->second);
      for (auto m = model.begin (); m != model.end (); ++m)
        if (m->second == it->first) {
          model.erase (m);
          break;
        }
      live.erase (it);
    } else {
      trace.clear ();
      timecb_check ();
      std::vector<std::string> want;
      while (!model.empty () && model.begin ()->first.first < 2000000) {
        want.push_back (std::to_string (model.begin ()->second));
        live.erase (model.begin ()->second);
        model.erase (model.begin ());
      }
      ASSERT_EQ (trace, want) << "step " << step;
      if (model.empty ())
        EXPECT_EQ (selwait.tv_sec, 86400);
      else
        EXPECT_GT (selwait.tv_sec, 90000);
    }
    core_check ();
  }
  for (auto &l : live)
    timecb_remove (l.second);
}

// ----------------------------------------------------------- descriptors

struct fdpair {
  int s[2];
  fdpair ()
  {
    EXPECT_EQ (socketpair (AF_UNIX, SOCK_STREAM, 0, s), 0);
    EXPECT_EQ (write (s[1], "x", 1), 1); // s[0] readable and writable
  }
  ~fdpair ()
  {
    fdcb (s[0], selread, nullptr);
    fdcb (s[0], selwrite, nullptr);
    close (s[0]);
    close (s[1]);
  }
};

void
dropwrite (int fd, std::string tag)
{
  note (tag);
  fdcb (fd, selwrite, nullptr);
}

TEST_F (Descriptors, ReadBeforeWriteAndRemovalStopsTheWriteCall)
{
  fdpair p;
  fdcb (p.s[0], selwrite, wrap (note, std::string ("w")));
  fdcb (p.s[0], selread, wrap (note, std::string ("r")));
  fdstep ();
  EXPECT_EQ (trace, (std::vector<std::string>{"r", "w"}));
  trace.clear ();
  fdcb (p.s[0], selread, wrap (dropwrite, p.s[0], std::string ("r")));
  fdstep ();
  EXPECT_EQ (trace, std::vector<std::string>{"r"});
}

struct later {
  int fd;
  cbv::ptr with; // replacement registration, or null to remove
};

void
touchlater (later *l)
{
  note ("first");
  fdcb (l->fd, selread, l->with);
}

// A callback that unregisters a later descriptor of the same scan keeps
// it from being called; one that replaces it has the new one called.
TEST_F (Descriptors, LaterRegistrationsChangedDuringTheScan)
{
  fdpair a, b;
  int lo = std::min (a.s[0], b.s[0]), hi = std::max (a.s[0], b.s[0]);
  later l = {hi, nullptr};
  fdcb (lo, selread, wrap (touchlater, &l));
  fdcb (hi, selread, wrap (note, std::string ("old")));
  fdstep ();
  EXPECT_EQ (trace, std::vector<std::string>{"first"});
  trace.clear ();
  l.with = wrap (note, std::string ("new"));
  fdcb (hi, selread, wrap (note, std::string ("old")));
  fdstep ();
  EXPECT_EQ (trace, (std::vector<std::string>{"first", "new"}));
  fdcb (lo, selread, nullptr);
  fdcb (hi, selread, nullptr);
}

// The callback's bound arguments live inside the callback object; they
// must stay valid after it drops its own registration.
void
dropself (const std::string &tag, int fd)
{
  fdcb (fd, selread, nullptr);
  note (tag + " after removal");
}

TEST_F (Descriptors, CallbackSurvivesDroppingItsOwnRegistration)
{
  fdpair p;
  fdcb (p.s[0], selread, wrap (dropself, std::string (100, 'z'), p.s[0]));
  fdstep ();
  ASSERT_EQ (trace.size (), 1u);
  EXPECT_EQ (trace[0], std::string (100, 'z') + " after removal");
}

TEST_F (Descriptors, NselfdNeverShrinks)
{
  int fd = dup2 (0, maxfd - 1);
  ASSERT_EQ (fd, maxfd - 1);
  fdcb (fd, selread, wrap (note, std::string ("x")));
  EXPECT_EQ (nselfd, maxfd);
  core_check ();
  fdcb (fd, selread, nullptr);
  EXPECT_EQ (nselfd, maxfd);
  close (fd);
}

TEST_F (Descriptors, OutOfRangeDescriptorsAreAssertions)
{
  EXPECT_EQ (maxfd, 1024);
  EXPECT_EQ (fd_set_bytes, 128);
  EXPECT_DEATH (fdcb (-1, selread, cbv_null), assertre ("fd >= 0"));
  EXPECT_DEATH (fdcb (maxfd, selwrite, cbv_null), assertre ("fd < maxfd"));
}

// select finds a closed descriptor when it waits; epoll when it is
// registered.
TEST_F (Descriptors, ClosedDescriptorPanics)
{
  int p[2], q[2];
  ASSERT_EQ (pipe (p), 0);
  ASSERT_EQ (pipe (q), 0);
  for (int d : {p[0], p[1], q[0], q[1]})
    close (d);
  int fd = q[1]; // not the lowest free number, which a new epoll takes
  if (epollloop ()) {
    EXPECT_DEATH (fdcb (fd, selread, cbv_null),
                  panicre ("epoll_ctl: Bad file descriptor\n"));
    return;
  }
  fdcb (fd, selread, cbv_null);
  EXPECT_DEATH (fdstep (), panicre ("select: Bad file descriptor\n"));
  fdcb (fd, selread, nullptr);
}

// What epoll cannot watch (a regular file, /dev/null) select reports
// ready at every scan; so does the loop on either, and it does not wait.
TEST_F (Descriptors, FilesAreReadyAtEveryScan)
{
  int f = open ("/tmp", O_RDWR | O_TMPFILE, 0600);
  int n = open ("/dev/null", O_RDWR);
  ASSERT_GE (f, 0);
  ASSERT_GT (n, f);
  int q[2];
  ASSERT_EQ (socketpair (AF_UNIX, SOCK_STREAM, 0, q), 0); // never ready
  fdcb (q[0], selread, wrap (note, std::string ("q")));
  fdcb (n, selread, wrap (note, std::string ("n.r")));
  fdcb (f, selwrite, wrap (note, std::string ("f.w")));
  fdcb (f, selread, wrap (note, std::string ("f.r")));
  core_check ();
  timespec t0, t1;
  clock_gettime (CLOCK_MONOTONIC, &t0);
  fdstep ();
  fdstep ();
  clock_gettime (CLOCK_MONOTONIC, &t1);
  EXPECT_LT (t1.tv_sec - t0.tv_sec, 2); // fdstep waits up to 2 s
  EXPECT_EQ (trace, (std::vector<std::string>{"f.r", "f.w", "n.r", "f.r", "f.w",
                                              "n.r"}));
  trace.clear ();
  fdcb (f, selread, nullptr);
  fdcb (n, selread, nullptr);
  fdstep ();
  EXPECT_EQ (trace, std::vector<std::string>{"f.w"});
  core_check ();
  for (int fd : {f, q[0]}) {
    fdcb (fd, selread, nullptr);
    fdcb (fd, selwrite, nullptr);
  }
  for (int fd : {f, n, q[0], q[1]})
    close (fd);
}

// Reports on fd that the callback ran, then ends the (child) process.
void
reportandexit (int fd)
{
  _exit (write (fd, "k", 1) != 1);
}

// A forked child shares its parent's epoll instance, not a copy of it:
// the child's registrations must not reach the parent's, and its own
// loop must still work.
TEST_F (Descriptors, ChangesInAForkedChildStayThere)
{
  fdpair p, q;
  int r[2]; // the child's report: its own loop ran q's callback
  ASSERT_EQ (pipe (r), 0);
  fdcb (p.s[0], selread, wrap (note, std::string ("p")));
  fdstep ();
  pid_t pid = fork ();
  if (!pid) {
    fdcb (p.s[0], selread, nullptr);
    fdcb (q.s[0], selread, wrap (reportandexit, r[1]));
    for (int i = 0; i < 5; i++) // a signal may cut a wait short
      fdstep ();
    _exit (1);
  }
  close (r[1]);
  ASSERT_EQ (waitpid (pid, nullptr, 0), pid);
  char c = 0;
  EXPECT_EQ (read (r[0], &c, 1), 1);
  close (r[0]);
  fdstep ();
  EXPECT_EQ (trace, (std::vector<std::string>{"p", "p"}));
  core_check (); // the kernel watches p, not q
}

// After start-up the program may raise its limit: epoll then watches
// descriptors up to the new limit (through fdlim_set or setrlimit
// directly); select stays below 1024.
TEST_F (Descriptors, AboveTheStartupLimit)
{
  rlimit saved;
  ASSERT_EQ (getrlimit (RLIMIT_NOFILE, &saved), 0);
  if (fdlim_get (1) < 6000 || fdlim_set (4096, 0) < 0)
    GTEST_SKIP () << "hard limit below 6000";
  fdpair p;
  int hi = dup2 (p.s[0], 3000);
  ASSERT_EQ (hi, 3000);
  if (!epollloop ()) {
    EXPECT_EQ (maxfd, 1024);
    EXPECT_DEATH (fdcb (hi, selread, cbv_null), assertre ("fd < maxfd"));
  } else {
    EXPECT_EQ (maxfd, 4096);
    rlimit rl = {6000, saved.rlim_max};
    ASSERT_EQ (setrlimit (RLIMIT_NOFILE, &rl), 0);
    int top = dup2 (p.s[0], 5999);
    ASSERT_EQ (top, 5999);
    fdcb (top, selread, wrap (note, std::string ("5999")));
    EXPECT_EQ (maxfd, 6000);
    fdcb (hi, selread, wrap (note, std::string ("3000")));
    fdstep ();
    EXPECT_EQ (trace, (std::vector<std::string>{"3000", "5999"}));
    core_check ();
    fdcb (hi, selread, nullptr);
    fdcb (top, selread, nullptr);
    close (top);
    EXPECT_DEATH (fdcb (6000, selread, cbv_null), assertre ("fd < maxfd"));
  }
  close (hi);
  ASSERT_EQ (fdlim_set (saved.rlim_cur, 0), 0);
  EXPECT_EQ (maxfd, 1024);
}

// ------------------------------------------- random activity, many pairs

// Socketpairs whose first ends carry random registrations, checked against
// a model after every iteration.  Before each scan the model predicts the
// sample (read: bytes waiting; write: always, nothing fills the buffers);
// the callbacks log their calls and the registrations they change; the
// log is then replayed against the sample: in ascending descriptor order,
// read before write, each ready registration called once with its current
// callback, none after its removal.  Each read callback takes one byte, so
// every byte written is delivered exactly once.
struct activity {
  struct entry {
    bool call; // a call, or a registration changed by the last call
    int fd, op, id;
  };
  std::mt19937 rng{17};
  std::vector<std::array<int, 2>> pairs;
  std::map<int, std::array<int, 2>> reg; // fd: callback id per op, 0 none
  std::map<int, int> pending;            // fd: bytes waiting
  std::vector<entry> log;
  int ids = 0;
  long calls = 0;

  // Gives fd a fresh callback for op, or none; its id, 0 for none.
  int change (int fd, int op, bool on)
  {
    int id = on ? ++ids : 0;
    fdcb (fd, selop (op),
          on ? cbv::ptr (wrap (this, &activity::hit, fd, op, id))
             : cbv::ptr (nullptr));
    return id;
  }
  void set (int fd, int op, bool on) { reg[fd][op] = change (fd, op, on); }
  void hit (int fd, int op, int id)
  {
    log.push_back ({true, fd, op, id});
    char c;
    if (op == selread) {
      EXPECT_EQ (read (fd, &c, 1), 1) << fd;
    }
    if (rng () % 8 == 0) {
      int target = pairs[rng () % pairs.size ()][0], top = rng () % 2;
      // The model learns of it when the log is replayed.
      log.push_back ({false, target, top, change (target, top, rng () % 2)});
    }
  }
  void open ()
  {
    std::array<int, 2> p;
    ASSERT_EQ (socketpair (AF_UNIX, SOCK_STREAM, 0, p.data ()), 0);
    pairs.push_back (p);
    reg[p[0]] = {0, 0};
    pending[p[0]] = 0;
  }
  void recycle (size_t i)
  {
    int fd = pairs[i][0];
    set (fd, selread, false);
    set (fd, selwrite, false);
    close (pairs[i][0]);
    close (pairs[i][1]);
    reg.erase (fd);
    pending.erase (fd);
    pairs[i] = pairs.back ();
    pairs.pop_back ();
    open ();
  }
  void poke ()
  {
    size_t i = rng () % pairs.size ();
    int fd = pairs[i][0], k = rng () % 10;
    if (k < 4) {
      ASSERT_EQ (write (pairs[i][1], "b", 1), 1);
      pending[fd]++;
    } else if (k < 9)
      set (fd, rng () % 4 == 0, rng () % 3 != 0);
    else
      recycle (i);
  }
  // One scan, replayed against the sample the model predicts.
  void step ()
  {
    std::vector<std::pair<int, int>> sample;
    for (auto &r : reg)
      for (int op = 0; op < fdsn; op++)
        if (r.second[op] && (op == selwrite || pending[r.first]))
          sample.push_back ({r.first, op});
    log.clear ();
    selwait.tv_sec = selwait.tv_usec = 0;
    fdcb_check ();
    size_t j = 0;
    for (auto &s : sample) {
      int id = reg[s.first][s.second];
      if (!id)
        continue; // removed earlier in this scan
      ASSERT_LT (j, log.size ()) << "no call for " << s.first;
      entry e = log[j++];
      ASSERT_TRUE (e.call && e.fd == s.first && e.op == s.second && e.id == id)
          << "fd " << s.first << " op " << s.second << ": got fd " << e.fd
          << " op " << e.op << " id " << e.id << ", want id " << id;
      calls++;
      if (e.op == selread)
        pending[e.fd]--;
      for (; j < log.size () && !log[j].call; j++)
        reg[log[j].fd][log[j].op] = log[j].id;
    }
    ASSERT_EQ (j, log.size ()) << "calls beyond the sample";
  }
};

TEST_F (Descriptors, RandomActivityOnManyPairsAgainstAModel)
{
  rlimit saved;
  ASSERT_EQ (getrlimit (RLIMIT_NOFILE, &saved), 0);
  if (fdlim_set (20100 + 64, 1) < 0) // raising the hard limit needs root
    fdlim_set (saved.rlim_max, 0);
  int room = std::min (fdlim_get (0), maxfd) - 64;
  int npairs = std::min (10000, room / 2);
  activity a;
  for (int i = 0; i < npairs; i++)
    a.open ();
  for (auto &p : a.pairs)
    a.set (p[0], selread, true);
  for (int k = 0; k < npairs / 20; k++)
    a.set (a.pairs[a.rng () % npairs][0], selwrite, true);
  for (int it = 0; it < 120 && !HasFatalFailure (); it++) {
    for (int k = 0; k < 200 && !HasFatalFailure (); k++)
      a.poke ();
    a.step ();
    if (it % 10 == 0)
      core_check ();
  }
  EXPECT_GT (a.calls, 120 * npairs / 20);
  for (auto &p : a.pairs) { // what is left waiting is what the model says
    int n = -1;
    ioctl (p[0], FIONREAD, &n);
    EXPECT_EQ (n, a.pending[p[0]]) << p[0];
  }
  for (size_t i = a.pairs.size (); i-- > 0;) {
    a.set (a.pairs[i][0], selread, false);
    a.set (a.pairs[i][0], selwrite, false);
    close (a.pairs[i][0]);
    close (a.pairs[i][1]);
  }
  EXPECT_EQ (fdlim_set (saved.rlim_max, -1), 0);
  EXPECT_EQ (fdlim_set (saved.rlim_cur, 0), 0);
}

// ------------------------------------------------------------------ lazy

void
dropentry (lazycb_t **l, std::string tag)
{
  note (tag);
  lazycb_remove (*l);
  *l = nullptr;
}

TEST_F (Lazy, DueFromIntervalAfterRegistrationWithoutCatchingUp)
{
  lazycb_t *l = lazycb (10, wrap (note, std::string ("x")));
  EXPECT_EQ (l->next, timenow + 10);
  lazycb_check ();
  EXPECT_TRUE (trace.empty ());
  l->next = timenow - 15; // the loop slept through two periods
  lazycb_check ();
  EXPECT_EQ (trace, std::vector<std::string>{"x"});
  EXPECT_EQ (l->next, timenow + 10);
  lazycb_check ();
  EXPECT_EQ (trace.size (), 1u);
  lazycb_remove (l);
  lazycb_remove (nullptr);
  core_check ();
}

// The newest is examined first; a removal restarts the walk, and the
// entries that already ran are no longer due.
TEST_F (Lazy, NewestFirstAndRestartAfterRemoval)
{
  lazycb_t *a = lazycb (0, wrap (note, std::string ("a")));
  lazycb_t *b = lazycb (100, wrap (note, std::string ("b")));
  lazycb_t *c = lazycb (100, wrap (dropentry, &a, std::string ("c")));
  b->next = c->next = 0;
  lazycb_check ();
  EXPECT_EQ (trace, (std::vector<std::string>{"c", "b"}));
  EXPECT_EQ (a, nullptr);
  core_check ();
  lazycb_remove (b);
  lazycb_remove (c);
}

TEST_F (Lazy, CallbackThatRemovesItsOwnEntry)
{
  lazycb_t *self = nullptr;
  lazycb_t *other = lazycb (0, wrap (note, std::string ("other")));
  self = lazycb (0, wrap (dropentry, &self, std::string (64, 's')));
  lazycb_check ();
  EXPECT_EQ (trace, (std::vector<std::string>{std::string (64, 's'), "other"}));
  EXPECT_EQ (self, nullptr);
  lazycb_remove (other);
}

// --------------------------------------------------- signals and children

int sigcalls[nsig];

void
onsig (int sig)
{
  sigcalls[sig]++;
  trace.push_back ("sig" + std::to_string (sig));
}

TEST_F (Signals, ManyArrivalsOneCallInAscendingOrder)
{
  ainit ();
  memset (sigcalls, 0, sizeof (sigcalls));
  sigcb (SIGUSR1, wrap (onsig, SIGUSR1));
  sigcb (SIGUSR2, wrap (onsig, SIGUSR2));
  for (int i = 0; i < 3; i++)
    kill (getpid (), SIGUSR2);
  kill (getpid (), SIGUSR1);
  kill (getpid (), SIGUSR1);
  EXPECT_EQ (sigdocheck, 1);
  acheckwithin (patience);
  EXPECT_EQ (sigdocheck, 0);
  EXPECT_EQ (trace, (std::vector<std::string>{"sig10", "sig12"}));
  acheckwithin (50); // nothing arrived since
  EXPECT_EQ (trace.size (), 2u);
  EXPECT_TRUE (sigcb (SIGUSR1, nullptr));
  sigcb (SIGUSR2, nullptr);
}

void
raiseusr1 (int fd)
{
  note ("fd");
  fdcb (fd, selread, nullptr);
  kill (getpid (), SIGUSR1);
}

// A signal raised inside a descriptor callback is handled before the
// iteration ends, so the next select need not wait for it.
TEST_F (Signals, RaisedDuringDescriptorCallbackHandledInTheSameIteration)
{
  ainit ();
  fdpair p;
  sigcb (SIGUSR1, wrap (onsig, SIGUSR1));
  fdcb (p.s[0], selread, wrap (raiseusr1, p.s[0]));
  acheckwithin (patience);
  EXPECT_EQ (trace, (std::vector<std::string>{"fd", "sig10"}));
  sigcb (SIGUSR1, nullptr);
}

void
replaceself (const std::string &tag)
{
  sigcb (SIGUSR1, wrap (note, std::string ("second")));
  note (tag);
}

TEST_F (Signals, CallbackReplacingItsOwnRegistrationCompletes)
{
  ainit ();
  sigcb (SIGUSR1, wrap (replaceself, std::string (50, 'q')));
  kill (getpid (), SIGUSR1);
  acheckwithin (patience);
  kill (getpid (), SIGUSR1);
  acheckwithin (patience);
  EXPECT_EQ (trace,
             (std::vector<std::string>{std::string (50, 'q'), "second"}));
  cbv::ptr old = sigcb (SIGUSR1, nullptr);
  ASSERT_TRUE (old);
  struct sigaction sa;
  sigaction (SIGUSR1, nullptr, &sa);
  EXPECT_EQ (sa.sa_handler, SIG_DFL);
  trace.clear ();
  old ();
  EXPECT_EQ (trace, std::vector<std::string>{"second"});
}

// The handler's write to the self-pipe fails once the pipe is full
// (EAGAIN); the code it interrupted must still see its own errno.  2^17
// one-byte writes overfill the largest default pipe (64 KiB).
TEST_F (Signals, HandlerKeepsTheInterruptedErrno)
{
  ainit ();
  sigcb (SIGUSR1, wrap (onsig, SIGUSR1));
  for (int i = 0; i < 1 << 17; i++) {
    errno = ERANGE;
    sigcatch (SIGUSR1);
    ASSERT_EQ (errno, ERANGE) << "call " << i;
  }
  errno = EDOM;
  ASSERT_EQ (kill (getpid (), SIGUSR1), 0); // delivered before kill returns
  EXPECT_EQ (errno, EDOM);
  acheckwithin (patience);
  EXPECT_EQ (trace, std::vector<std::string>{"sig10"});
  sigcb (SIGUSR1, nullptr);
}

TEST_F (Signals, MisuseAndRefusedActions)
{
  EXPECT_DEATH (sigcb (0, cbv_null), assertre ("sig > 0 && sig < nsig"));
  EXPECT_DEATH (sigcb (nsig, cbv_null), assertre ("sig > 0 && sig < nsig"));
  EXPECT_DEATH (sigcb (SIGKILL, cbv_null),
                panicre ("sigcb: sigaction: Invalid argument\n"));
}

void
exited (std::string tag, int status)
{
  trace.push_back (tag + "=" + std::to_string (WEXITSTATUS (status)));
}

pid_t
childexit (int code)
{
  pid_t pid = fork ();
  if (!pid)
    _exit (code);
  return pid;
}

// Three children end before one scan: all are reaped by it.  A replaced
// registration is never called; a child without one (never registered or
// cleared) is reaped silently.
TEST_F (Signals, ChildrenEndedBeforeOneScanAreAllReaped)
{
  ainit ();
  pid_t a = childexit (3), b = childexit (4), c = childexit (5);
  pid_t quiet = childexit (6), cleared = childexit (7);
  chldcb (cleared, wrap (exited, std::string ("cleared")));
  chldcb (cleared, nullptr);
  chldcb (a, wrap (exited, std::string ("a")));
  chldcb (b, wrap (exited, std::string ("old")));
  chldcb (b, wrap (exited, std::string ("b")));
  chldcb (c, wrap (exited, std::string ("c")));
  core_check ();
  for (pid_t p : {a, b, c, quiet, cleared}) {
    siginfo_t si;
    ASSERT_EQ (waitid (P_PID, p, &si, WEXITED | WNOWAIT), 0);
  }
  acheckwithin (patience);
  std::sort (trace.begin (), trace.end ());
  EXPECT_EQ (trace, (std::vector<std::string>{"a=3", "b=4", "c=5"}));
  EXPECT_EQ (waitpid (-1, nullptr, WNOHANG), -1);
  EXPECT_EQ (errno, ECHILD);
  core_check ();
}

// --------------------------------------------------- running the loop

void
callamain ()
{
  amain ();
}

void
readandexit (int fd)
{
  char c;
  exit (read (fd, &c, 1) == 1 ? c : 99);
}

void
writebyte (int fd)
{
  char c = 7;
  EXPECT_EQ (write (fd, &c, 1), 1);
}

// A timer writes to a pipe, whose read callback ends the process.
TEST_F (Loop, AmainRunsUntilACallbackExits)
{
  int p[2];
  ASSERT_EQ (pipe (p), 0);
  EXPECT_EXIT (
      {
        fdcb (p[0], selread, wrap (readandexit, p[0]));
        delaycb (0, 20000000, wrap (writebyte, p[1]));
        amain ();
      },
      ::testing::ExitedWithCode (7), "");
  close (p[0]);
  close (p[1]);
}

// One iteration waits at least until the first timer is due, so that the
// timer fires in it, however little of a millisecond is left.
TEST_F (Loop, OneIterationLastsUntilTheFirstTimer)
{
  ainit ();
  sigcb_check (); // ainit's first child scan zeroes the next wait
  for (long ns : {300000L, 999999L, 1500000L, 2000001L}) {
    trace.clear ();
    delaycb (0, u_int32_t (ns), wrap (note, std::string ("t")));
    acheckwithin (500);
    EXPECT_EQ (trace, std::vector<std::string>{"t"}) << ns << " ns";
  }
}

TEST_F (Loop, Panics)
{
  EXPECT_DEATH (
      {
        delaycb (0, 0, wrap (callamain));
        amain ();
      },
      panicre ("amain called recursively\n"));
  EXPECT_DEATH (
      {
        amain_panic = true;
        acheck ();
      },
      panicre ("child process returned from afork \\(\\)\n"));
  EXPECT_DEATH (async_init::start (), panicre ("async_init called twice\n"));
}

// ---------------------------------------------------- descriptor limits

std::string readall (int fd);

// Whether this process may raise its hard descriptor limit (root with
// CAP_SYS_RESOURCE), tried in a child.
bool
canraisehard ()
{
  pid_t pid = fork ();
  if (!pid) {
    rlimit rl = {100, 100};
    setrlimit (RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max = 200;
    _exit (setrlimit (RLIMIT_NOFILE, &rl) < 0);
  }
  int st;
  waitpid (pid, &st, 0);
  return WIFEXITED (st) && !WEXITSTATUS (st);
}

// fdlim_set calls, each followed by fdlim_get (0) and (1), from soft 300
// and hard 600, in a child process: "result soft hard" per call.
std::string
fdlimrun (const std::vector<std::pair<rlim_t, int>> &calls)
{
  int p[2];
  if (pipe (p) < 0)
    return "pipe";
  pid_t pid = fork ();
  if (!pid) {
    rlimit rl = {300, 600};
    setrlimit (RLIMIT_NOFILE, &rl);
    std::string s =
        std::to_string (fdlim_get (0)) + " " + std::to_string (fdlim_get (1));
    for (auto &c : calls) {
      int r = fdlim_set (c.first, c.second);
      s += ", " + std::to_string (r) + " " + std::to_string (fdlim_get (0)) +
           " " + std::to_string (fdlim_get (1));
    }
    _exit (write (p[1], s.data (), s.size ()) < 0);
  }
  close (p[1]);
  std::string s = readall (p[0]);
  waitpid (pid, nullptr, 0);
  return s;
}

TEST (Fdlim, ModesAgainstGetrlimit)
{
  EXPECT_EQ (
      fdlimrun (
          {{0, 0}, {900, 0}, {200, 0}, {400, -1}, {100, -1}, {50, 1}, {70, 1}}),
      "300 600, -1 300 600, 0 600 600, 0 200 600, 0 200 400, "
      "0 100 100, 0 50 100, 0 70 100");
  // Raising the hard limit needs privilege; without it nothing changes.
  EXPECT_EQ (fdlimrun ({{700, 1}}),
             canraisehard () ? "300 600, 0 700 700" : "300 600, -1 300 600");
  EXPECT_DEATH (fdlim_set (1024, 2), assertre ("0"));
}

// -------------------------------------------------- start-up, fresh process

struct result {
  int status = -1;
  std::string out, err;
  std::map<std::string, std::string> vars;
};

struct spawnspec {
  std::vector<std::string> env;
  rlim_t soft = 4096, hard = 4096;
  uid_t uid = 0; // non-zero: run under this user id
  const char *arg = nullptr;
  const char *path = nullptr; // set by probe: the program to run
};

std::string
readall (int fd)
{
  std::string s;
  char buf[512];
  ssize_t n;
  while ((n = read (fd, buf, sizeof (buf))) > 0)
    s.append (buf, size_t (n));
  close (fd);
  return s;
}

// The probe for a process under another user id: a copy in a fresh folder
// that every user may search, since the checkout may lie under one only
// its owner can enter (a clone in /root, or below a mktemp -d folder).
// Removed when the test program exits.
struct probecopy {
  std::string dir, path; // path empty: the copy failed
  probecopy ()
  {
    char t[] = "/tmp/ombrix-probe.XXXXXX";
    if (!mkdtemp (t) || chmod (t, 0755) < 0)
      return;
    dir = t;
    int in = open (OMBRIX_PROGDIR "/coreprobe", O_RDONLY | O_CLOEXEC);
    std::string to = dir + "/coreprobe";
    int out = open (to.c_str (), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    char buf[65536];
    ssize_t n = 0;
    while (in >= 0 && out >= 0 && (n = read (in, buf, sizeof (buf))) > 0)
      if (write (out, buf, size_t (n)) != n)
        n = -1;
    if (in >= 0 && out >= 0 && n == 0 && close (out) == 0)
      path = to;
    else if (out >= 0)
      close (out);
    if (in >= 0)
      close (in);
  }
  ~probecopy ()
  {
    unlink ((dir + "/coreprobe").c_str ());
    rmdir (dir.c_str ());
  }
};

const char *
probepath (uid_t uid)
{
  static probecopy copy;
  return uid ? copy.path.c_str () : OMBRIX_PROGDIR "/coreprobe";
}

[[noreturn]] void
childsetup (const spawnspec &sp, int out, int err)
{
  dup2 (out, 1);
  dup2 (err, 2);
  int null = open ("/dev/null", O_RDONLY);
  dup2 (null, 0);
  closefrom (3);
  for (int sig = 1; sig < nsig; sig++)
    signal (sig, SIG_DFL);
  sigset_t all;
  sigfillset (&all);
  sigprocmask (SIG_UNBLOCK, &all, nullptr);
  rlimit rl = {sp.soft, sp.hard};
  if (setrlimit (RLIMIT_NOFILE, &rl) < 0)
    _exit (120);
  if (sp.uid &&
      (setgroups (0, nullptr) < 0 || setresgid (sp.uid, sp.uid, sp.uid) < 0 ||
       setresuid (sp.uid, sp.uid, sp.uid) < 0))
    _exit (121);
  std::vector<std::string> env = sp.env;
  env.push_back ("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                 "handle_sigill=0:handle_abort=0:detect_leaks=0");
  env.push_back ("UBSAN_OPTIONS=print_stacktrace=1");
  std::vector<char *> envp;
  for (std::string &e : env)
    envp.push_back (&e[0]);
  envp.push_back (nullptr);
  char name[] = "coreprobe";
  char *argv[] = {name, const_cast<char *> (sp.arg), nullptr};
  execve (sp.path, argv, envp.data ());
  _exit (122);
}

result
probe (spawnspec sp)
{
  int out[2], err[2];
  result r;
  sp.path = probepath (sp.uid);
  if (!*sp.path) {
    r.err = "cannot copy the probe to a folder other users can reach";
    return r;
  }
  if (pipe (out) < 0 || pipe (err) < 0)
    return r;
  pid_t pid = fork ();
  if (!pid)
    childsetup (sp, out[1], err[1]);
  close (out[1]);
  close (err[1]);
  r.out = readall (out[0]);
  r.err = readall (err[0]);
  waitpid (pid, &r.status, 0);
  size_t pos = 0;
  while (pos < r.out.size ()) {
    size_t nl = r.out.find ('\n', pos), eq = r.out.find ('=', pos);
    if (nl == std::string::npos || eq > nl)
      break;
    r.vars[r.out.substr (pos, eq - pos)] = r.out.substr (eq + 1, nl - eq - 1);
    pos = nl + 1;
  }
  return r;
}

TEST (Startup, StateWhenMainRuns)
{
  spawnspec sp;
  sp.env = {"SNDBUFSIZE=1234"};
  result r = probe (sp);
  ASSERT_EQ (r.status, 0) << r.err;
  EXPECT_EQ (r.vars["early"], "ign 69632"); // loop started, socket not yet
  EXPECT_EQ (r.vars["late"], "ign 1234");   // socket module read its vars
  EXPECT_EQ (r.vars["errout"], "sync");
  EXPECT_EQ (r.vars["sigpipe"], "ign");
  EXPECT_EQ (r.vars["handlers"], "none");
  EXPECT_EQ (r.vars["fds"], "0,1,2");
  EXPECT_EQ (r.vars["soft"], "1024");
  EXPECT_EQ (r.vars["hard"], "4096");
  EXPECT_EQ (r.vars["maxfd"], "1024");
  EXPECT_EQ (r.vars["FDLIM_HARD"], "4096");
  EXPECT_EQ (r.vars["FDLIM_SOFT"], "4096");
  EXPECT_EQ (r.err, "");
}

struct limcase {
  const char *flags;   // COREPROBE_FLAGS
  const char *fdlim;   // FDLIM_HARD in the environment, or null
  rlim_t soft, hard;   // limits at exec
  uid_t uid;           // 0, or an unprivileged user
  const char *want[5]; // soft, hard, maxfd, FDLIM_HARD, FDLIM_SOFT
};

TEST (Startup, DescriptorLimitRules)
{
  const limcase cases[] = {
      // Exec-safe, first of its tree: records what it found.
      {"", nullptr, 2000, 3000, 0, {"1024", "3000", "1024", "3000", "2000"}},
      // Exec-safe, FDLIM_HARD inherited: the environment is left alone.
      {"", "77", 4096, 4096, 0, {"1024", "4096", "1024", "77", "(null)"}},
      // Exec-safe with a hard limit below 1024: raised if privileged.
      {"", nullptr, 500, 500, 0, {"1024", "1024", "1024", "500", "500"}},
      {"", nullptr, 500, 500, 0, {"500", "500", "500", "500", "500"}},
      {"", nullptr, 500, 500, 1000, {"500", "500", "500", "500", "500"}},
      // Not exec-safe: the inherited FDLIM_HARD lowers the hard limit.
      {"e", "1500", 2000, 4000, 0, {"1024", "1500", "1024", "1500", "1500"}},
      {"e", "2048", 4096, 4096, 0, {"1024", "2048", "1024", "2048", "2048"}},
      {"e", "4096", 4096, 4096, 0, {"1024", "4096", "1024", "4096", "4096"}},
      {"e", "9999", 4096, 4096, 0, {"1024", "4096", "1024", "4096", "4096"}},
      {"e", "0", 4096, 4096, 0, {"1024", "4096", "1024", "4096", "4096"}},
      {"e", "-5", 4096, 4096, 0, {"1024", "4096", "1024", "4096", "4096"}},
      {"e", "abc", 4096, 4096, 0, {"1024", "4096", "1024", "4096", "4096"}},
      // Not exec-safe never raises the hard limit.
      {"e", nullptr, 500, 500, 0, {"500", "500", "500", "500", "500"}},
  };
  bool priv = canraisehard ();
  for (const limcase &c : cases) {
    if (geteuid () && c.uid)
      continue; // needs root to arrange
    // The two cases of a raise: with and without the privilege.
    if (&c == &cases[2] ? !priv : &c == &cases[3] ? priv : false)
      continue;
    spawnspec sp;
    sp.env = {std::string ("COREPROBE_FLAGS=") + c.flags};
    if (c.fdlim)
      sp.env.push_back (std::string ("FDLIM_HARD=") + c.fdlim);
    sp.soft = c.soft;
    sp.hard = c.hard;
    sp.uid = c.uid;
    result r = probe (sp);
    std::string id = std::string (c.flags) + " " + (c.fdlim ? c.fdlim : "-") +
                     " " + std::to_string (c.soft) + "/" +
                     std::to_string (c.hard) + " uid " + std::to_string (c.uid);
    ASSERT_EQ (r.status, 0) << id << ": " << r.err;
    const char *names[] = {"soft", "hard", "maxfd", "FDLIM_HARD", "FDLIM_SOFT"};
    for (int i = 0; i < 5; i++)
      EXPECT_EQ (r.vars[names[i]], c.want[i]) << id << ": " << names[i];
  }
}

// OMBRIX_LOOP picks the way of waiting; the start-up is the same with
// either, and opens no descriptor; an unknown name is fatal.
TEST (Startup, WaysOfWaiting)
{
  for (const char *v : {"select", "epoll", ""}) {
    spawnspec sp;
    sp.env = {std::string ("OMBRIX_LOOP=") + v};
    result r = probe (sp);
    ASSERT_EQ (r.status, 0) << v << ": " << r.err;
    EXPECT_EQ (r.vars["fds"], "0,1,2") << v;
    EXPECT_EQ (r.vars["maxfd"], "1024") << v;
  }
  spawnspec sp;
  sp.env = {"OMBRIX_LOOP=poll"};
  result r = probe (sp);
  EXPECT_TRUE (WIFEXITED (r.status) && WEXITSTATUS (r.status) == 1);
  EXPECT_EQ (r.err, "fatal: OMBRIX_LOOP=poll: not a way of waiting (epoll, "
                    "select)\n");
}

// Queued error output is written after every other exit routine.
TEST (Startup, QueuedErrorOutputIsFlushedLastAtExit)
{
  spawnspec sp;
  sp.arg = "exit";
  result r = probe (sp);
  EXPECT_EQ (r.status, 0);
  EXPECT_EQ (r.err, "line\natexit\ntail without end");
}

TEST (Startup, NoDescriptorForTheSelfPipeIsFatal)
{
  spawnspec sp;
  sp.arg = "nopipe";
  result r = probe (sp);
  ASSERT_TRUE (WIFEXITED (r.status));
  EXPECT_EQ (WEXITSTATUS (r.status), 1);
  EXPECT_EQ (r.err, "fatal: could not create sigpipes: Too many open files\n");
}

} // namespace
