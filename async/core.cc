#include "core.h"
#include "aerr.h"
#include "err_internal.h"
#include "ihash.h"
#include "malloc.h"
#include "init.h"
#include "socket.h"
#include "suidprotect.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

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

static cbv::ptr *fdcbs[fdsn]; // per op, maxfd callbacks
static fdword *fdsp[fdsn];    // per op, the registered descriptors
static fdword *fdspt[fdsn];   // per op, the copies handed to select
static bool timecbs_altered;  // a timer was removed: restart the scan
static bool lazycb_removed;   // a lazy callback was removed: restart
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
  return setrlimit (RLIMIT_NOFILE, &rl) < 0 ? -1 : 0;
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

  setlimits ();
  // Descriptors from fdmax up do not fit a select set, whatever the limit.
  maxfd = fdlim_get (0);
  if (maxfd < 0 || maxfd > fdmax)
    maxfd = fdmax;
  fd_set_bytes = fdmax / 8;
  for (int op = 0; op < fdsn; op++) {
    fdcbs[op] = new cbv::ptr[maxfd];
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

void
fdcb (int fd, selop op, cbv::ptr cb)
{
  libassert (fd >= 0);
  libassert (fd < maxfd);
  fdcbs[op][fd] = cb;
  fdword bit = fdword (1) << (fd % longbits);
  if (cb) {
    if (fd >= nselfd)
      nselfd = fd + 1;
    fdsp[op][fd / longbits] |= bit;
  } else
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

// Runs the callback of fd for op if fd is still registered.  A counted
// copy: the callback may drop its own registration while it runs.
static inline void
fdcall (int fd, int op)
{
  if (fdisset (fd, fdsp[op])) {
    cbv cb (fdcbs[op][fd]);
    cb ();
  }
}

void
fdcb_check ()
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
  libassert (maxfd > 0 && maxfd <= fdmax && nselfd <= maxfd);
  for (int op = 0; op < fdsn; op++)
    for (int fd = 0; fd < maxfd; fd++) {
      libassert (fdisset (fd, fdsp[op]) == bool (fdcbs[op][fd]));
      libassert (!fdcbs[op][fd] || fd < nselfd);
    }
  for (lazycb_t **pp = &lazylist->first; *pp; pp = &(*pp)->link.next)
    libassert ((*pp)->link.pprev == pp);
  chldcbs.check ();
  for (child *c = chldcbs.first (); c; c = chldcbs.next (c))
    libassert (chldcbs[c->pid] == c);
}
