// The file worker: one thread fed through a pipe of job pointers.  Every
// write to the pipes is one pointer, under PIPE_BUF, so it arrives whole;
// the reads still keep a partial pointer for the next call.
#include "proxy/fileworker.h"

#include "async/core.h"
#include "async/err.h"
#include "async/socket.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Reads whole pointers from fd into out (at most max); bytes of a partial
// one wait in carry.  The number read; 0 at end of file or nothing there.
size_t
readptrs (int fd, fjob **out, size_t max, char *carry, size_t *ncarry)
{
  char buf[64 * sizeof (fjob *)];
  if (max > 64)
    max = 64;
  memcpy (buf, carry, *ncarry);
  ssize_t n;
  do
    n = read (fd, buf + *ncarry, max * sizeof (fjob *) - *ncarry);
  while (n < 0 && errno == EINTR);
  if (n <= 0)
    return 0;
  size_t have = *ncarry + size_t (n);
  size_t k = have / sizeof (fjob *);
  memcpy (out, buf, k * sizeof (fjob *));
  *ncarry = have - k * sizeof (fjob *);
  memcpy (carry, buf + k * sizeof (fjob *), *ncarry);
  return k;
}

void
writeptr (int fd, fjob *j)
{
  ssize_t n;
  do
    n = write (fd, &j, sizeof (j));
  while (n < 0 && errno == EINTR);
  if (n != ssize_t (sizeof (j)))
    panic ("file worker pipe: %s\n", n < 0 ? strerror (errno) : "short");
}

} // namespace

void *
fworker::main (void *arg)
{
  // Above the loop's nice value, file work waits behind the loop on a
  // shared CPU yet still gets a share (SCHED_IDLE could starve it).
  setpriority (PRIO_PROCESS, pid_t (gettid ()),
               static_cast<fworker *> (arg)->nice);
  int fd = static_cast<fworker *> (arg)->tofd[0];
  int back = static_cast<fworker *> (arg)->fromfd[1];
  char carry[sizeof (fjob *)];
  size_t ncarry = 0;
  for (;;) {
    fjob *jobs[64];
    size_t n = readptrs (fd, jobs, 64, carry, &ncarry);
    if (!n && !ncarry)
      return nullptr; // the loop's end closed
    for (size_t i = 0; i < n; i++) {
      if (!jobs[i])
        return nullptr;
      jobs[i]->run ();
      writeptr (back, jobs[i]);
    }
  }
}

fworker::fworker (int n) : inflight (0), gone (nullptr), ncarry (0), nice (n)
{
  if (pipe2 (tofd, O_CLOEXEC) < 0 || pipe2 (fromfd, O_CLOEXEC) < 0)
    fatal ("file worker pipes: %s\n", strerror (errno));
  _make_async (fromfd[0]);
  // The thread takes no signals: they stay with the loop's handler.
  sigset_t all, old;
  sigfillset (&all);
  pthread_sigmask (SIG_SETMASK, &all, &old);
  int err = pthread_create (&th, nullptr, &fworker::main, this);
  pthread_sigmask (SIG_SETMASK, &old, nullptr);
  if (err)
    fatal ("file worker thread: %s\n", strerror (err));
  fdcb (fromfd[0], selread, wrap (this, &fworker::ready));
}

fworker::~fworker ()
{
  if (gone)
    *gone = true;
  fdcb (fromfd[0], selread, nullptr);
  writeptr (tofd[1], nullptr);
  pthread_join (th, nullptr);
  make_sync (fromfd[0]);
  close (fromfd[1]); // the thread is gone: read to the end
  fjob *jobs[64];
  while (size_t n = readptrs (fromfd[0], jobs, 64, carry, &ncarry))
    for (size_t i = 0; i < n; i++)
      delete jobs[i];
  while (!queue.empty ())
    delete queue.pop_front ();
  close (fromfd[0]);
  close (tofd[0]);
  close (tofd[1]);
}

void
fworker::submit (fjob *j)
{
  queue.push_back (j);
  push ();
}

void
fworker::push ()
{
  while (!queue.empty () && inflight < fw_maxinflight) {
    writeptr (tofd[1], queue.pop_front ());
    inflight++;
  }
}

void
fworker::ready ()
{
  bool dead = false;
  gone = &dead;
  fjob *jobs[64];
  size_t n;
  while (!dead && (n = readptrs (fromfd[0], jobs, 64, carry, &ncarry))) {
    inflight -= n;
    push ();
    for (size_t i = 0; i < n; i++) {
      jobs[i]->done ();
      if (dead) { // done () destroyed us: the rest are deleted unrun
        while (++i < n)
          delete jobs[i];
        return;
      }
    }
  }
  gone = nullptr;
}

void
fworker::drain ()
{
  while (busy ()) {
    pollfd p = {fromfd[0], POLLIN, 0};
    if (poll (&p, 1, -1) < 0 && errno != EINTR)
      panic ("file worker poll: %s\n", strerror (errno));
    ready ();
  }
}
