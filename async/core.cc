#include "core.h"
#include "aerr.h"
#include "err_internal.h"
#include "ihash.h"
#include "malloc.h"
#include "init.h"
#include "socket.h"
#include "suidprotect.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <pthread.h>
#include <sys/epoll.h>
#define HAVE_EPOLL 1
#endif

// The descriptor sets are our own arrays of longs in select's bit layout:
// bit fd % longbits of word fd / longbits.  1024 descriptors fill 128 bytes.
typedef unsigned long fdword;
enum { longbits = 8 * sizeof (fdword), fdmax = 1024 };
static_assert (sizeof (fd_set) == fdmax / 8, "a select set is 128 bytes");
static_assert (sizeof (fd_set) % sizeof (fdword) == 0, "whole words");

timespec tsnow;
const time_t &timenow = tsnow.tv_sec;
int fd_set_bytes;
int maxfd;
int nselfd;
timeval selwait;
bool amain_panic;
volatile int sigdocheck;

int async_init::count;

// How the loop waits, chosen at start-up: OMBRIX_LOOP=select or epoll,
// epoll by default where the system has it.  Both give the same callback
// order; epoll's cost follows the ready descriptors, not the registered
// ones, and it watches descriptors from 1024 up.
static bool useepoll;

static cbv::ptr *fdcbs[fdsn]; // per op, nslots callbacks
static int nslots;            // fdcbs entries: maxfd, or more as epoll grows

// select: the sets are allocated only for this way of waiting.
static fdword *fdsp[fdsn];  // per op, the registered descriptors
static fdword *fdspt[fdsn]; // per op, the copies handed to select

#ifdef HAVE_EPOLL
// epoll: per descriptor the ops the kernel watches, kept equal to the
// callbacks by every fdcb (one epoll_ctl when they change, none per
// iteration).  Descriptors epoll refuses (regular files, /dev/null) are
// always ready to select; they are kept aside and reported at every scan.
enum { epread = 1, epwrite = 2, epalways = 4 };
static unsigned char *fdint; // per fd, nslots long: epread | epwrite | epalways
static int epfd = -1;        // the instance, made when first needed
static int *alwaysfds;       // the epalways descriptors, nalways of them
static int nalways;          // entries used in alwaysfds (nslots long)
static epoll_event *epevs;   // epoll_wait's buffer, epcap long
static u_int64_t *ready;     // one scan's sample, fd << 2 | ops, epcap long
static int epcap;            // entries of epevs and ready: nslots at the wait
#endif
// The epoll side, below; empty where there is no epoll.
static void epalloc ();
static void epgrow (int fd);
static void epset (int fd);
static void epcheck ();
static void epcheckstate ();

static bool timecbs_altered; // a timer was removed: restart the scan
static bool lazycb_removed;  // a lazy callback was removed: restart
static list<lazycb_t, &lazycb_t::link> *lazylist;

// One child-exit registration.
struct child {
  const pid_t pid;
  const cbi cb;
  ihash_entry<child> link;
  child (pid_t p, const cbi &c) : pid (p), cb (c) {}
};

static int sigpipes[2] = {-1, -1}; // self-pipe: read end, write end
static volatile int sigcaught[nsig];

// The module's start-up object: its own async_init (the process set-up
// has normally run already, from the error-output module), the timer tree
// and the child table.  Destroyed after every unprioritised static, so the
// signal callbacks outlive all other exit work (a signal may still come).
static struct core_init {
  async_init ai;
  itree<timespec, timecb_t, &timecb_t::ts, &timecb_t::link> timecbs;
  ihash<pid_t, child, &child::pid, &child::link> chldcbs;
  bssptr<callback<void>> sighandler[nsig];
} core INITPRIO (INITPRIO_CORE);

static auto &timecbs = core.timecbs;
static auto &chldcbs = core.chldcbs;
static auto &sighandler = core.sighandler;

static inline bool
fdisset (int fd, const fdword *set)
{
  return set[fd / longbits] >> (fd % longbits) & 1;
}

static void
readclock ()
{
  clock_gettime (CLOCK_REALTIME, &tsnow);
}

int
fdlim_get (int hard)
{
  rlimit rl;
  if (getrlimit (RLIMIT_NOFILE, &rl) < 0)
    return -1;
  rlim_t v = hard ? rl.rlim_max : rl.rlim_cur;
  if (v == RLIM_INFINITY)
    return 65536;
  return v > rlim_t (INT_MAX) ? INT_MAX : int (v);
}

int
fdlim_set (rlim_t lim, int hard)
{
  rlimit rl;
  if (!lim || getrlimit (RLIMIT_NOFILE, &rl) < 0)
    return -1;
  switch (hard) {
  case 0:
    rl.rlim_cur = lim < rl.rlim_max ? lim : rl.rlim_max;
    break;
  case 1:
    rl.rlim_cur = lim;
    if (rl.rlim_max < lim)
      rl.rlim_max = lim;
    break;
  case -1:
    rl.rlim_max = lim;
    if (rl.rlim_cur > lim)
      rl.rlim_cur = lim;
    break;
  default:
    libassert (0);
  }
  if (setrlimit (RLIMIT_NOFILE, &rl) < 0)
    return -1;
  if (useepoll && nslots) // after start-up, epoll's ceiling is the limit
    maxfd = int (rl.rlim_cur > rlim_t (INT_MAX) ? INT_MAX : rl.rlim_cur);
  return 0;
}

// The descriptor limits and their record in the environment: the first
// program of a process tree records the limits it found, its descendants
// keep that record; a program that is not exec-safe only ever lowers its
// hard limit to the recorded one.
static void
setlimits ()
{
  bool safe = execsafe ();
  const char *env = getenv ("FDLIM_HARD");
  if (!safe && env) {
    long n = strtol (env, nullptr, 10);
    if (n > 0 && n < fdlim_get (1))
      fdlim_set (rlim_t (n), -1);
  }
  if (!env || !safe) {
    char buf[32];
    snprintf (buf, sizeof (buf), "FDLIM_HARD=%d", fdlim_get (1));
    xputenv (buf);
    snprintf (buf, sizeof (buf), "FDLIM_SOFT=%d", fdlim_get (0));
    xputenv (buf);
  }
  fdlim_set (fdmax, safe ? 1 : 0);
}

// OMBRIX_LOOP, read once: "select", "epoll", or unset (or empty) for the
// default.  Anything else is a mistake worth stopping for.
static void
choosewait ()
{
  const char *v = getenv ("OMBRIX_LOOP");
  if (v && *v && strcmp (v, "select") && strcmp (v, "epoll"))
    fatal ("OMBRIX_LOOP=%s: not a way of waiting (epoll, select)\n", v);
#ifdef HAVE_EPOLL
  useepoll = !v || strcmp (v, "select");
#else
  if (v && !strcmp (v, "epoll"))
    fatal ("OMBRIX_LOOP=epoll: not available on this system\n");
#endif
}

void
async_init::start ()
{
  static bool initialized;
  if (initialized)
    panic ("async_init called twice\n");
  initialized = true;

  struct sigaction sa;
  memset (&sa, 0, sizeof (sa));
  sa.sa_handler = SIG_IGN;
  sigemptyset (&sa.sa_mask);
  sigaction (SIGPIPE, &sa, nullptr);

  choosewait ();
  setlimits ();
  // Descriptors from fdmax up do not fit a select set, whatever the limit;
  // epoll starts there too and follows the limit once it is raised.
  maxfd = fdlim_get (0);
  if (maxfd < 0 || maxfd > fdmax)
    maxfd = fdmax;
  fd_set_bytes = fdmax / 8;
  nslots = maxfd;
  for (int op = 0; op < fdsn; op++)
    fdcbs[op] = new cbv::ptr[nslots];
  if (useepoll)
    epalloc ();
  else
    for (int op = 0; op < fdsn; op++) {
      fdsp[op] = static_cast<fdword *> (xmalloc (fd_set_bytes));
      fdspt[op] = static_cast<fdword *> (xmalloc (fd_set_bytes));
      memset (fdsp[op], 0, fd_set_bytes);
      memset (fdspt[op], 0, fd_set_bytes);
    }
  lazylist = new list<lazycb_t, &lazycb_t::link>;
  // So that timenow means something before the loop first runs.
  readclock ();
}

void
async_init::stop ()
{
  err_flush ();
}

// Runs the callback of fd for op if fd is still registered.  A counted
// copy: the callback may drop its own registration while it runs.
static inline void
fdcall (int fd, int op)
{
  if (fdcbs[op][fd]) {
    cbv cb (fdcbs[op][fd]);
    cb ();
  }
}

#ifdef HAVE_EPOLL
// The scan's buffers, nslots long: at most that many descriptors are
// watched, so one epoll_wait sees every ready one.
static void
epbuffers ()
{
  free (epevs);
  free (ready);
  epevs = static_cast<epoll_event *> (
      xmallocarray (size_t (nslots), sizeof (epoll_event)));
  ready = static_cast<u_int64_t *> (
      xmallocarray (size_t (nslots), sizeof (u_int64_t)));
  epcap = nslots;
}

static void
epalloc ()
{
  fdint = static_cast<unsigned char *> (xmalloc (size_t (nslots)));
  memset (fdint, 0, size_t (nslots));
  alwaysfds = static_cast<int *> (xmallocarray (size_t (nslots), sizeof (int)));
  epbuffers ();
}

// Room for descriptor fd (below maxfd): the tables double, up to maxfd.
// The scan's buffers follow at the next wait, never during a scan.
static void
epgrow (int fd)
{
  int n = nslots;
  while (n <= fd)
    n = n > maxfd / 2 ? maxfd : 2 * n;
  for (int op = 0; op < fdsn; op++) {
    cbv::ptr *t = new cbv::ptr[n];
    for (int i = 0; i < nslots; i++)
      t[i] = fdcbs[op][i];
    delete[] fdcbs[op];
    fdcbs[op] = t;
  }
  unsigned char *in = static_cast<unsigned char *> (xmalloc (size_t (n)));
  memcpy (in, fdint, size_t (nslots));
  memset (in + nslots, 0, size_t (n - nslots));
  free (fdint);
  fdint = in;
  int *al = static_cast<int *> (xmallocarray (size_t (n), sizeof (int)));
  memcpy (al, alwaysfds, size_t (nalways) * sizeof (int));
  free (alwaysfds);
  alwaysfds = al;
  nslots = n;
}

// The ops fd has callbacks for.
static inline int
wanted (int fd)
{
  return (fdcbs[selread][fd] ? epread : 0) |
         (fdcbs[selwrite][fd] ? epwrite : 0);
}

static void
alwaysdrop (int fd)
{
  for (int i = 0; i < nalways; i++)
    if (alwaysfds[i] == fd) {
      alwaysfds[i] = alwaysfds[--nalways];
      return;
    }
}

// Brings the instance's watch of fd in line with its callbacks.  A removal
// that fails is ignored: the descriptor was closed first, which ended the
// watch (unless another descriptor still refers to the same file: then
// the kernel keeps reporting it, so remove before closing).  A descriptor
// whose number was reused without a removal is watched afresh.  What
// epoll refuses to watch (EPERM: files that are always ready) is set
// aside and reported ready at every scan, as select would.
static void
epctl (int fd)
{
  int want = wanted (fd);
  int have = fdint[fd];
  if ((have & ~epalways) == want)
    return;
  if (have & epalways) {
    fdint[fd] = want ? want | epalways : 0;
    if (!want)
      alwaysdrop (fd);
    return;
  }
  epoll_event ev;
  memset (&ev, 0, sizeof (ev));
  ev.events = (want & epread ? u_int32_t (EPOLLIN) : 0) |
              (want & epwrite ? u_int32_t (EPOLLOUT) : 0);
  ev.data.fd = fd;
  int op = !want ? EPOLL_CTL_DEL : have ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  int r = epoll_ctl (epfd, op, fd, &ev);
  if (r < 0 && want && errno == ENOENT)
    r = epoll_ctl (epfd, EPOLL_CTL_ADD, fd, &ev);
  else if (r < 0 && want && errno == EEXIST)
    r = epoll_ctl (epfd, EPOLL_CTL_MOD, fd, &ev);
  fdint[fd] = static_cast<unsigned char> (want);
  if (r < 0 && want) {
    if (errno != EPERM)
      panic ("epoll_ctl: %m\n");
    fdint[fd] |= epalways;
    alwaysfds[nalways++] = fd;
  }
}

// A forked child shares its parent's instance, not a copy of it: its
// changes would reach the parent's watch list.  The child lets go of it at
// once (before it can reuse the number) and makes its own when it next
// needs one.
static void
epforkchild ()
{
  if (epfd >= 0)
    close (epfd);
  epfd = -1;
}

// The instance, made at first use, watching what the tables hold.
static void
epopen ()
{
  static bool atfork;
  if (epfd >= 0)
    return;
  if (!atfork)
    pthread_atfork (nullptr, nullptr, epforkchild);
  atfork = true;
  epfd = epoll_create1 (EPOLL_CLOEXEC);
  if (epfd < 0)
    fatal ("could not create the epoll instance: %m\n");
  for (int fd = 0; fd < nslots; fd++)
    if (fdint[fd] && !(fdint[fd] & epalways)) {
      fdint[fd] = 0;
      epctl (fd);
    }
}

static void
epset (int fd)
{
  epopen ();
  epctl (fd);
}

// selwait in milliseconds, rounded up: a wait that ended before the first
// timer was due would only be followed by another one at once.  The day
// timecb_check sets when there is no timer becomes no limit at all when
// there is no lazy callback either: waking after a day would run nothing,
// and a finite wait costs the kernel two clock reads per call.
static int
epmillis ()
{
  time_t sec = selwait.tv_sec;
  long usec = selwait.tv_usec; // read once each: a signal may zero them
  if (sec == 86400 && !usec && !timecbs.first () && !lazylist->first)
    return -1;
  if (sec < 0 || usec < 0)
    return 0;
  if (sec >= INT_MAX / 1000 - 1)
    return INT_MAX; // 24 days; the loop then simply waits again
  return int (sec * 1000 + (usec + 999) / 1000);
}

// The scan's sample: each ready descriptor once, with the ops it is ready
// for and watched for, in ascending order.  An error or a hang-up counts
// for both ops: either ends the wait, and a callback must see it (select
// reports a hang-up as readable only, but with level-triggered epoll an
// ignored hang-up would wake every wait).
static int
epsample (int n)
{
  int k = 0;
  for (int i = 0; i < n; i++) {
    int fd = epevs[i].data.fd;
    u_int32_t ev = epevs[i].events;
    if (fd < 0 || fd >= nslots)
      continue;
    int ops = (ev & (EPOLLIN | EPOLLERR | EPOLLHUP) ? epread : 0) |
              (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP) ? epwrite : 0);
    if ((ops &= fdint[fd]))
      ready[k++] = u_int64_t (fd) << 2 | u_int64_t (ops);
  }
  for (int i = 0; i < nalways && k < epcap; i++) {
    int fd = alwaysfds[i];
    ready[k++] = u_int64_t (fd) << 2 | (fdint[fd] & (epread | epwrite));
  }
  if (k > 1)
    std::sort (ready, ready + k);
  return k;
}

static void
epcheck ()
{
  epopen ();
  if (epcap < nslots)
    epbuffers ();
  int n = epoll_wait (epfd, epevs, epcap, nalways ? 0 : epmillis ());
  if (n < 0 && errno != EINTR)
    panic ("epoll_wait: %m\n");
  readclock ();
  if (sigdocheck)
    sigcb_check ();
  if (n < 0)
    return;
  int k = epsample (n);
  for (int i = 0; i < k; i++) {
    int fd = int (ready[i] >> 2);
    if (ready[i] & epread)
      fdcall (fd, selread);
    if (ready[i] & epwrite)
      fdcall (fd, selwrite);
  }
}

static void epcheckkernel (int watched);

// The tables against the callbacks, and the watch list against the
// kernel's own.
static void
epcheckstate ()
{
  int watched = 0, aside = 0;
  for (int fd = 0; fd < nslots; fd++) {
    int want = wanted (fd);
    libassert ((fdint[fd] & ~epalways) == want);
    libassert (want || !fdint[fd]);
    aside += fdint[fd] & epalways ? 1 : 0;
    watched += want && !(fdint[fd] & epalways) ? 1 : 0;
  }
  libassert (nalways == aside && epcap <= nslots);
  std::vector<int> al (alwaysfds, alwaysfds + nalways);
  std::sort (al.begin (), al.end ());
  libassert (std::adjacent_find (al.begin (), al.end ()) == al.end ());
  for (int fd : al)
    libassert (fd >= 0 && fd < nslots && (fdint[fd] & epalways));
  if (epfd >= 0) // else none yet, or a forked child's, not made yet
    epcheckkernel (watched);
}

// The kernel's list of what the instance watches (/proc/self/fdinfo of
// epfd) against fdint: the same descriptors, for the same ops.
static void
epcheckkernel (int watched)
{
  char path[64], line[256];
  snprintf (path, sizeof (path), "/proc/self/fdinfo/%d", epfd);
  FILE *f = fopen (path, "r");
  if (!f)
    return; // no /proc: the kernel's side goes unchecked
  int seen = 0;
  while (fgets (line, sizeof (line), f)) {
    int tfd;
    unsigned ev;
    unsigned long long data;
    if (sscanf (line, "tfd: %d events: %x data: %llx", &tfd, &ev, &data) != 3)
      continue;
    seen++;
    libassert (tfd >= 0 && tfd < nslots && data == (unsigned long long) tfd);
    int ops = (ev & EPOLLIN ? epread : 0) | (ev & EPOLLOUT ? epwrite : 0);
    libassert (fdint[tfd] == ops);
  }
  fclose (f);
  libassert (seen == watched);
}
#else
static void
epalloc ()
{
}
static void
epgrow (int)
{
}
static void
epset (int)
{
}
static void
epcheck ()
{
}
static void
epcheckstate ()
{
}
#endif

void
fdcb (int fd, selop op, cbv::ptr cb)
{
  libassert (fd >= 0);
  if (useepoll && fd >= maxfd) { // setrlimit may have raised the limit
    int lim = fdlim_get (0);
    if (lim > maxfd)
      maxfd = lim;
  }
  libassert (fd < maxfd);
  if (fd >= nslots)
    epgrow (fd);
  fdcbs[op][fd] = cb;
  if (cb && fd >= nselfd)
    nselfd = fd + 1;
  if (useepoll) {
    epset (fd);
    return;
  }
  fdword bit = fdword (1) << (fd % longbits);
  if (cb)
    fdsp[op][fd / longbits] |= bit;
  else
    fdsp[op][fd / longbits] &= ~bit;
}

timecb_t *
timecb (const timespec &ts, cbv cb)
{
  timecb_t *to = new timecb_t (ts, cb);
  timecbs.insert (to);
  return to;
}

timecb_t *
delaycb (time_t sec, u_int32_t nsec, cbv cb)
{
  timespec ts;
  clock_gettime (CLOCK_REALTIME, &ts);
  // nsec is below a second, so one carry suffices; an out-of-range nsec
  // is carried whole rather than left to make an invalid timespec.
  ts.tv_sec += sec + nsec / 1000000000;
  ts.tv_nsec += nsec % 1000000000;
  if (ts.tv_nsec > 999999999) {
    ts.tv_nsec -= 1000000000;
    ts.tv_sec++;
  }
  return timecb (ts, cb);
}

void
timecb_remove (timecb_t *to)
{
  if (!to)
    return;
  timecb_t *tp = timecbs[to->ts];
  while (tp != to) {
    if (!tp || tscmp (tp->ts, to->ts))
      panic ("timecb_remove: invalid timecb_t\n");
    tp = timecbs.next (tp);
  }
  timecbs_altered = true;
  timecbs.remove (to);
  delete to;
}

// selwait for a first timer due at ts (tsnow just read).
static void
settimeout (const timespec &ts)
{
  if (tscmp (ts, tsnow) < 0) {
    selwait.tv_sec = 0;
  } else if (ts.tv_nsec < tsnow.tv_nsec) {
    selwait.tv_sec = ts.tv_sec - tsnow.tv_sec - 1;
    selwait.tv_usec = (ts.tv_nsec + 1000000000 - tsnow.tv_nsec) / 1000;
  } else {
    selwait.tv_sec = ts.tv_sec - tsnow.tv_sec;
    selwait.tv_usec = (ts.tv_nsec - tsnow.tv_nsec) / 1000;
  }
}

void
timecb_check ()
{
  readclock ();
  timecb_t *tp = timecbs.first ();
  while (tp && tscmp (tp->ts, tsnow) <= 0) {
    timecb_t *next = timecbs.next (tp);
    timecbs.remove (tp);
    timecbs_altered = false;
    tp->cb ();
    delete tp;
    tp = timecbs_altered ? timecbs.first () : next;
  }
  selwait.tv_usec = 0;
  if (timecb_t *first = timecbs.first ()) {
    readclock ();
    settimeout (first->ts);
  } else
    selwait.tv_sec = 86400;
  if (sigdocheck)
    selwait.tv_sec = selwait.tv_usec = 0;
}

lazycb_t::lazycb_t (time_t i, const cbv &c)
    : interval (i), next (timenow + i), cb (c)
{
  lazylist->insert_head (this);
}

lazycb_t::~lazycb_t ()
{
  lazylist->remove (this);
}

lazycb_t *
lazycb (time_t interval, cbv cb)
{
  return new lazycb_t (interval, cb);
}

void
lazycb_remove (lazycb_t *lazy)
{
  lazycb_removed = true;
  delete lazy;
}

void
lazycb_check ()
{
  // With nothing to run, the clock is left for fdcb_check to read, which
  // it does before any callback could see it.
  if (!lazylist->first)
    return;
  readclock ();
  lazycb_removed = false;
  for (lazycb_t *lp = lazylist->first; lp;) {
    if (timenow >= lp->next) {
      lp->next = timenow + lp->interval;
      // A counted copy: the callback may remove its own record.
      cbv cb (lp->cb);
      cb ();
      if (lazycb_removed) {
        lazycb_removed = false;
        lp = lazylist->first;
        continue;
      }
    }
    lp = lazylist->next (lp);
  }
}

static void selcheck ();

void
fdcb_check ()
{
  if (useepoll)
    epcheck ();
  else
    selcheck ();
}

static void
selcheck ()
{
  for (int op = 0; op < fdsn; op++)
    memcpy (fdspt[op], fdsp[op], fd_set_bytes);
  int n =
      select (nselfd, reinterpret_cast<fd_set *> (fdspt[selread]),
              reinterpret_cast<fd_set *> (fdspt[selwrite]), nullptr, &selwait);
  if (n < 0 && errno != EINTR)
    panic ("select: %m\n");
  readclock ();
  if (sigdocheck)
    sigcb_check ();
  // Word by word, skipping words with no ready descriptor; within a word
  // in ascending order, read before write.
  for (int w = 0; n > 0 && w * longbits < maxfd; w++) {
    if (!(fdspt[selread][w] | fdspt[selwrite][w]))
      continue;
    int end = (w + 1) * longbits < maxfd ? (w + 1) * longbits : maxfd;
    for (int fd = w * longbits; n > 0 && fd < end; fd++)
      for (int op = 0; op < fdsn; op++)
        if (fdisset (fd, fdspt[op])) {
          n--;
          fdcall (fd, op);
        }
  }
}

void
acheck ()
{
  timecb_check ();
  ainit ();
  if (amain_panic)
    panic ("child process returned from afork ()\n");
  lazycb_check ();
  fdcb_check ();
  sigcb_check ();
  timecb_check ();
}

void
amain ()
{
  static bool amain_called;
  if (amain_called)
    panic ("amain called recursively\n");
  amain_called = true;
  ainit ();
  err_init ();
  for (;;) {
    timecb_check ();
    if (amain_panic)
      panic ("child process returned from afork ()\n");
    lazycb_check ();
    fdcb_check ();
    sigcb_check ();
  }
}

// Signal context: only the volatile flags, selwait and the pipe.
void
sigcatch (int sig)
{
  // The write fails with EBADF before the pipe exists and with EAGAIN when
  // it is full: the interrupted code must find its own errno afterwards.
  int saved = errno;
  sigdocheck = 1;
  sigcaught[sig] = 1;
  selwait.tv_sec = selwait.tv_usec = 0;
  char c = 0;
  ssize_t w = write (sigpipes[1], &c, 1);
  (void) w;
  errno = saved;
}

cbv::ptr
sigcb (int sig, cbv::ptr cb, int flags)
{
  sigset_t set;
  if (!sigemptyset (&set) && !sigaddset (&set, sig))
    sigprocmask (SIG_UNBLOCK, &set, nullptr);
  libassert (sig > 0 && sig < nsig);
  struct sigaction sa;
  memset (&sa, 0, sizeof (sa));
  sa.sa_handler = cb ? sigcatch : SIG_DFL;
  sigemptyset (&sa.sa_mask);
  sa.sa_flags = flags;
  if (sigaction (sig, &sa, nullptr) < 0)
    panic ("sigcb: sigaction: %m\n");
  cbv::ptr old = sighandler[sig];
  sighandler[sig] = cb;
  return old;
}

void
sigcb_check ()
{
  if (!sigdocheck)
    return;
  char buf[64];
  while (read (sigpipes[0], buf, sizeof (buf)) > 0)
    ;
  sigdocheck = 0;
  for (int sig = 1; sig < nsig; sig++)
    if (sigcaught[sig]) {
      // A counted copy: the callback may replace its own registration.
      cbv::ptr cb = sighandler[sig];
      sigcaught[sig] = 0;
      if (cb)
        cb ();
    }
}

void
chldcb (pid_t pid, cbi::ptr cb)
{
  if (child *c = chldcbs[pid]) {
    chldcbs.remove (c);
    delete c;
  }
  if (cb)
    chldcbs.insert (new child (pid, cbi (cb)));
}

void
chldcb_check ()
{
  int status;
  pid_t pid;
  while ((pid = waitpid (-1, &status, WNOHANG)) > 0)
    if (child *c = chldcbs[pid]) {
      chldcbs.remove (c);
      c->cb (status);
      delete c;
    }
}

void
ainit ()
{
  if (sigpipes[0] != -1)
    return;
  if (pipe (sigpipes) < 0)
    fatal ("could not create sigpipes: %m\n");
  _make_async (sigpipes[0]);
  _make_async (sigpipes[1]);
  close_on_exec (sigpipes[0]);
  close_on_exec (sigpipes[1]);
  fdcb (sigpipes[0], selread, cbv_null);
  sigcb (SIGCHLD, wrap (chldcb_check), SA_NOCLDSTOP | SA_RESTART);
  sigcatch (SIGCHLD);
}

void
core_check ()
{
  timecbs.check ();
  for (timecb_t *tp = timecbs.first (); tp; tp = timecbs.next (tp))
    libassert (tp->ts.tv_nsec >= 0 && tp->ts.tv_nsec < 1000000000);
  libassert (maxfd > 0 && nselfd <= nslots);
  for (int op = 0; op < fdsn; op++)
    for (int fd = 0; fd < nslots; fd++)
      libassert (!fdcbs[op][fd] || fd < nselfd);
  if (useepoll)
    epcheckstate ();
  else {
    libassert (maxfd <= fdmax && nslots == maxfd);
    for (int op = 0; op < fdsn; op++)
      for (int fd = 0; fd < maxfd; fd++)
        libassert (fdisset (fd, fdsp[op]) == bool (fdcbs[op][fd]));
  }
  for (lazycb_t **pp = &lazylist->first; *pp; pp = &(*pp)->link.next)
    libassert ((*pp)->link.pprev == pp);
  chldcbs.check ();
  for (child *c = chldcbs.first (); c; c = chldcbs.next (c))
    libassert (chldcbs[c->pid] == c);
}
