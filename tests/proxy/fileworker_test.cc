// The file worker: jobs run off the loop thread, one at a time, in the
// order submitted, past the limit of jobs handed over at once, at the
// nice value asked for while the loop keeps its own; those still queued when
// it goes are deleted unrun.
#include "proxy/fileworker.h"

#include "async/core.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

int ran;                // touched by the worker thread only
std::vector<int> order; // done () order, on the loop
int deleted;
int loopnice; // the loop thread's nice value, before any worker

struct job : fjob {
  int n, seq = -1, nice = 0;
  bool offloop = false;
  pthread_t loop;
  explicit job (int i) : n (i), loop (pthread_self ()) {}
  ~job () { deleted++; }
  void run () override
  {
    seq = ran++;
    offloop = !pthread_equal (loop, pthread_self ());
    nice = getpriority (PRIO_PROCESS, pid_t (gettid ()));
  }
  void done () override
  {
    EXPECT_EQ (seq, n);
    EXPECT_TRUE (offloop);
    EXPECT_EQ (nice, 7);
    EXPECT_EQ (getpriority (PRIO_PROCESS, pid_t (gettid ())), loopnice);
    order.push_back (n);
    delete this;
  }
};

TEST (FileWorker, RunsInOrderOffTheLoop)
{
  ran = deleted = 0;
  order.clear ();
  loopnice = getpriority (PRIO_PROCESS, pid_t (gettid ()));
  const int n = 3 * fw_maxinflight + 7;
  {
    fworker w (7);
    for (int i = 0; i < n; i++)
      w.submit (new job (i));
    EXPECT_EQ (w.busy (), size_t (n));
    w.drain ();
    EXPECT_EQ (w.busy (), 0u);
    ASSERT_EQ (order.size (), size_t (n));
    for (int i = 0; i < n; i++)
      ASSERT_EQ (order[size_t (i)], i);
    // Gone with work queued: each job deleted once, no done () run.
    for (int i = 0; i < n; i++)
      w.submit (new job (n + i));
  }
  EXPECT_EQ (order.size (), size_t (n));
  EXPECT_EQ (deleted, 2 * n);
}

} // namespace
