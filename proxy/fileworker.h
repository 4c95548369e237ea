// A second thread for the file work that blocks (open, read, write,
// rename, unlink, fsync, directory scans), so the loop thread never waits
// on a disk.
//
// A job (fjob) belongs to exactly one thread at a time.  submit hands it
// to the worker through a pipe; the worker runs run () and hands it back
// through a second pipe, registered with fdcb, and the loop runs done ().
// The pipe writes are the only synchronisation: there are no locks.  So
// run () may touch only what the job owns alone.  A counted object the
// loop may share (a str of the memory store's body, a ref) may be read
// there, never copied, assigned or destroyed: its count is not atomic.
// run () must not call into the loop, the diagnostics (warn) or anything
// else with process-wide state; it records errno for done () to report.
//
// Order: jobs run one at a time in submission order, so a job submitted
// after another sees its effects on the disk.
//
// Memory: the worker owns each job from submit until done () (which may
// delete it or keep it); jobs still queued or running when the worker is
// destroyed are deleted without done ().  Errors: failing to start the
// thread or make the pipes is fatal (start-up only).
#ifndef OMBRIX_PROXY_FILEWORKER_H
#define OMBRIX_PROXY_FILEWORKER_H

#include "async/vec.h"

#include <pthread.h>
#include <cstddef>

class fjob {
public:
  virtual ~fjob () {}
  virtual void run () = 0;  // on the worker thread
  virtual void done () = 0; // on the loop; may delete this, or the worker
};

// Jobs handed to the thread but not back yet: a pointer each, so at most
// 2 KiB in a pipe, which always holds a page.  The rest wait on the loop.
enum { fw_maxinflight = 256 };

class fworker {
  int tofd[2];       // loop -> worker: job pointers, null to stop
  int fromfd[2];     // worker -> loop: finished jobs
  pthread_t th;      //
  vec<fjob *> queue; // submitted, not yet handed over
  size_t inflight;   // handed over, not back
  bool *gone;        // set by the destructor for a ready () running now
  char carry[sizeof (fjob *)]; // a partial pointer read from fromfd
  size_t ncarry;               //
  int nice;                    // the thread's, set at its start

  static void *main (void *arg);
  void push ();
  void ready ();
  void sendptr (fjob *j);

public:
  // nice (0 to 19) is the thread's nice value.  Above the loop's, its
  // file work never preempts the loop on a shared CPU, but on a host busy
  // with other processes it gets little CPU (at 19, 1.5 % of a nice-0
  // process's share) and stored objects, and fetches waiting for them,
  // crawl.
  explicit fworker (int nice = 0);
  // Stops the thread after the job it is running; blocks until then.
  ~fworker ();
  fworker (const fworker &) = delete;
  fworker &operator= (const fworker &) = delete;

  void submit (fjob *j);
  // Jobs not yet done.
  size_t busy () const { return queue.size () + inflight; }
  // Blocks until every job submitted so far is done (done () run), new
  // ones submitted meanwhile included.  For start-up, shutdown and tests;
  // never from a done ().
  void drain ();
};

#endif
