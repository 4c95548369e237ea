// The single-threaded event loop and the process set-up that comes with it.
//
// The loop waits (in epoll, or in select with OMBRIX_LOOP=select; the
// choice is read once at start-up) and runs counted callbacks (cbv) for
// descriptors becoming readable or writable (fdcb), wall-clock times being
// reached (timecb, delaycb), coarse periodic work (lazycb), signals (sigcb)
// and child exits (chldcb).  A registration holds its callback until it is
// replaced, removed or (timers) has fired.  A timecb_t* or lazycb_t* handle
// belongs to the loop: it is valid until the timer has fired (its callback
// has returned) or either has been removed.  Every callback runs on the one
// thread; the only other context is the signal handler, which sets flags,
// zeroes selwait and writes a byte to the self-pipe.
//
// Both ways give the same order: within one iteration descriptor
// callbacks run in ascending descriptor order, read before write, on
// readiness sampled once; a registration removed during the scan is not
// called.  Under epoll a registration costs one epoll_ctl, a wait costs
// what is ready, not what is registered; the descriptor ceiling (maxfd)
// follows the soft limit once the program raises it.  Hazard (epoll): a
// descriptor closed while registered, whose file is still open elsewhere
// (a dup, a child), stays watched by the kernel: remove, then close.
//
// Errors: misuse (a descriptor out of range, a bad signal number, a bad
// fdlim_set mode) is an assertion; broken invariants and unexpected system
// failures (select, epoll_wait, epoll_ctl of a closed descriptor,
// sigaction) are panics; fdlim_get/fdlim_set return -1; an unknown
// OMBRIX_LOOP is a fatal error at start-up.
#ifndef OMBRIX_ASYNC_CORE_H
#define OMBRIX_ASYNC_CORE_H

#include "async/callback.h"
#include "async/itree.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

// A doubly linked intrusive list; pprev points at the pointer that points
// at the element (the list head or the previous element's next).  The list
// owns nothing.
template <class T>
struct list_entry {
  T *next = nullptr;
  T **pprev = nullptr;
};

template <class T, list_entry<T> T::*field>
struct list {
  T *first = nullptr;

  void insert_head (T *elm)
  {
    list_entry<T> &l = elm->*field;
    if ((l.next = first))
      (first->*field).pprev = &l.next;
    first = elm;
    l.pprev = &first;
  }
  static void remove (T *elm)
  {
    list_entry<T> &l = elm->*field;
    if (l.next)
      (l.next->*field).pprev = l.pprev;
    *l.pprev = l.next;
  }
  static T *next (const T *elm) { return (elm->*field).next; }
};

enum selop { selread = 0, selwrite = 1 };
enum { fdsn = 2 }; // number of selops

// One pending timer, owned by the timer tree until it fires or is removed.
struct timecb_t {
  timespec ts; // absolute CLOCK_REALTIME time at which it fires
  const cbv cb;
  itree_entry<timecb_t> link;
  timecb_t (const timespec &t, const cbv &c) : ts (t), cb (c) {}
};

// One lazy periodic callback, linked into the lazy list while it lives.
struct lazycb_t {
  const time_t interval; // seconds between calls
  time_t next;           // wall-clock second from which it is due
  const cbv cb;
  list_entry<lazycb_t> link;
  lazycb_t (time_t interval, const cbv &cb);
  ~lazycb_t ();
};

// One static instance in every module that needs the loop's process
// set-up.  The first constructed runs start () (before main), the last
// destroyed runs stop () (at exit).
class async_init {
  static int count; // live async_init objects

public:
  // start: SIGPIPE ignored, descriptor limits set and exported in
  // FDLIM_HARD/FDLIM_SOFT, tables allocated; panics if run twice.
  static void start ();
  static void stop (); // flushes queued error output
  async_init ()
  {
    if (!count++)
      start ();
  }
  ~async_init ()
  {
    if (!--count)
      stop ();
  }
};

// The loop's process-wide state.
extern timespec tsnow;        // CLOCK_REALTIME, refreshed at every scan
extern const time_t &timenow; // tsnow.tv_sec, a free coarse clock
extern int fd_set_bytes;      // size of each descriptor set: 128
// fdcb's ceiling: the soft limit at start-up (at most 1024); under epoll,
// the soft limit set since by fdlim_set (or found by fdcb).
extern int maxfd;
extern int nselfd;       // 1 + highest fd ever registered; never shrinks
extern timeval selwait;  // timeout of the next select
extern bool amain_panic; // set by a forked child that must not loop

// Descriptor limits.  fdlim_get: the hard (hard != 0) or soft limit, an
// unlimited one as 65536, values above INT_MAX as INT_MAX; -1 on failure.
// fdlim_set mode 0: soft = min (lim, hard); mode 1: soft = lim, hard raised
// to lim if below; mode -1: hard = lim, soft lowered to lim if above.
// 0 on success, -1 (lim 0, getrlimit or setrlimit failed) otherwise.
int fdlim_get (int hard);
int fdlim_set (rlim_t lim, int hard);

// Registrations; a null callback removes one.  0 <= fd < maxfd.
void fdcb (int fd, selop op, cbv::ptr cb);
timecb_t *timecb (const timespec &ts, cbv cb);
timecb_t *delaycb (time_t sec, u_int32_t nsec, cbv cb); // nsec < 1e9
void timecb_remove (timecb_t *to);                      // null ignored
lazycb_t *lazycb (time_t interval, cbv cb);
void lazycb_remove (lazycb_t *lazy); // null ignored

// Running the loop.  acheck performs one iteration; amain loops forever.
void acheck ();
[[noreturn]] void amain ();
// The steps of one iteration.  timecb_check runs due timers and sets
// selwait; fdcb_check waits (epoll rounds selwait up to milliseconds) and
// runs descriptor callbacks, read before write for each descriptor;
// lazycb_check runs due lazy callbacks.
void timecb_check ();
void fdcb_check ();
void lazycb_check ();

// Signals and children.  sigcb registers cb to run on the loop after sig
// (1 to 64) arrives, with flags as the sigaction flags; a null cb restores
// the default action.  Returns the previous callback.  chldcb registers cb
// for the exit status of child pid (one per pid, a new one replaces it).
enum { nsig = 65 };             // signals 1 to 64
extern volatile int sigdocheck; // a signal waits to be handled
cbv::ptr sigcb (int sig, cbv::ptr cb, int flags = 0);
void chldcb (pid_t pid, cbi::ptr cb);
void ainit ();           // self-pipe and SIGCHLD handling; idempotent
void sigcb_check ();     // runs the callbacks of signals that arrived
void chldcb_check ();    // reaps every ended child, runs its callback
void sigcatch (int sig); // the handler installed for signals with callbacks

// Invariant checker for the loop's tables: timer tree, descriptor sets
// (select) or watch list, against the kernel's own (epoll), against the
// callbacks, nselfd, lazy list links, child table.  Panics on the first
// broken rule.
void core_check ();

#endif
