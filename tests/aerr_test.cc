// Queued error output: whole lines through a descriptor that takes part
// of the queue, fallback after a failed write, fatal errors and panics
// draining the queue.
#include "async/aerr.h"
#include "async/core.h"
#include "async/err_internal.h"
#include "async/suio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// errfd on the write end of a pipe, queued output in force; everything
// restored afterwards.
class Aerr : public ::testing::Test {
protected:
  int p[2] = {-1, -1};
  int saved = errfd;

  void SetUp () override
  {
    ASSERT_EQ (pipe (p), 0);
    fcntl (p[0], F_SETFL, O_NONBLOCK);
    errfd = p[1];
    err_init ();
  }
  void TearDown () override
  {
    err_reset ();
    EXPECT_EQ (_err_output, _err_output_sync);
    errfd = saved;
    close (p[0]);
    if (p[1] >= 0)
      close (p[1]);
    core_check ();
  }
  std::string drain ()
  {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read (p[0], buf, sizeof (buf))) > 0)
      s.append (buf, size_t (n));
    return s;
  }
  // A loop iteration that returns within ms milliseconds.
  static void setflag (bool *f) { *f = true; }
  void step (long ms)
  {
    bool fired = false;
    timecb_t *t = delaycb (0, ms * 1000000, wrap (setflag, &fired));
    acheck ();
    if (!fired)
      timecb_remove (t);
  }
};

TEST_F (Aerr, PartialLineWaitsForItsEnd)
{
  EXPECT_EQ (_err_output, _err_output_async);
  EXPECT_TRUE (fcntl (errfd, F_GETFL) & O_APPEND);
  warn ("one\n");
  EXPECT_EQ (drain (), "one\n");
  warn ("two ") ("without end");
  EXPECT_EQ (drain (), "");
  EXPECT_EQ (erruio->resid (), 15u);
  // Line ends are looked for at the ends of messages only: a message that
  // ends a line and starts another waits with the partial line.
  errno = ENOENT;
  warn (" and end: %m\n") ("three ");
  EXPECT_EQ (errno, ENOENT);
  EXPECT_EQ (drain (), "");
  warn ("\n");
  EXPECT_EQ (drain (),
             "two without end and end: No such file or directory\nthree \n");
  EXPECT_EQ (erruio->resid (), 0u);
  EXPECT_FALSE (fcntl (errfd, F_GETFL) & O_NONBLOCK) << "left blocking";
}

// A pipe that takes part of the queue: the rest follows as the loop finds
// the pipe writable, in order and line by line; the last, partial line
// stays queued.
TEST_F (Aerr, DescriptorTakingPartOfTheQueue)
{
  ASSERT_GE (fcntl (p[1], F_SETPIPE_SZ, 4096), 4096);
  int cap = fcntl (p[1], F_GETPIPE_SZ);
  std::string want;
  for (int i = 0; want.size () < size_t (3 * cap); i++) {
    std::string line =
        "line " + std::to_string (i) + " " + std::string (i % 97, 'x') + "\n";
    warn << line.c_str ();
    want += line;
  }
  warn << "partial";
  EXPECT_GT (erruio->resid (), size_t (cap)); // the pipe is full
  std::string got = drain ();
  EXPECT_GE (got.size (), size_t (cap) / 2);
  for (int i = 0; i < 100 && got.size () < want.size (); i++) {
    step (100);
    got += drain ();
  }
  EXPECT_EQ (got, want);
  EXPECT_EQ (erruio->resid (), 7u);
  step (10);
  EXPECT_EQ (drain (), "");
  warn << "\n";
  EXPECT_EQ (drain (), "partial\n");
}

// A write error other than EAGAIN: the queue is dropped and the next
// message goes out synchronously.
TEST_F (Aerr, FailedWriteFallsBackToSynchronousOutput)
{
  int q[2];
  ASSERT_EQ (pipe (q), 0);
  close (q[0]);
  errfd = q[1];
  warn ("lost\n");
  EXPECT_EQ (_err_output, _err_output_sync);
  EXPECT_EQ (erruio->resid (), 0u);
  close (q[1]);
  errfd = p[1];
  warn ("direct") (" and whole\n");
  EXPECT_EQ (drain (), "direct and whole\n");
}

TEST_F (Aerr, FlushWritesEverythingOnlyInQueuedMode)
{
  warn ("a\n");
  warn ("b");
  EXPECT_EQ (drain (), "a\n");
  err_flush ();
  EXPECT_EQ (drain (), "b");
  warn ("c");
  err_reset (); // drops the queue, back to synchronous
  EXPECT_EQ (drain (), "");
  warn ("d");
  EXPECT_EQ (drain (), "d");
  err_flush ();
  EXPECT_EQ (drain (), "");
}

TEST (AerrExit, FatalAndPanicWriteWhatWaitsFirst)
{
  EXPECT_EXIT (
      {
        err_init ();
        warn ("first\n");
        warn ("waiting ");
        fatal ("boom %d\n", 7);
      },
      ::testing::ExitedWithCode (1), "^first\nwaiting fatal: boom 7\n$");
  EXPECT_DEATH (
      {
        err_init ();
        warn ("waiting ");
        panic ("bad\n");
      },
      "^waiting PANIC: [^\n]*\nbad\n$");
}

} // namespace
