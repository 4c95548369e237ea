// suio: append policy, callbacks, I/O, take and a model-based check
// against std::string.
#include "async/suio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

#define CHECKED(u) EXPECT_STREQ (nullptr, (u).check ())

std::string
contents (const suio &u)
{
  char *p = suio_flatten (&u);
  std::string s (p, u.resid ());
  free (p);
  return s;
}

std::string
rangestr (const iovec &v)
{
  return std::string (static_cast<const char *> (v.iov_base), v.iov_len);
}

// Scratch areas handed out and not yet given back, with their sizes.
std::map<void *, size_t> areas;
std::vector<size_t> allocsizes; // every request, in order

void *
countalloc (size_t n)
{
  void *p = malloc (n);
  areas[p] = n;
  allocsizes.push_back (n);
  return p;
}

void
countfree (void *p, size_t n)
{
  auto i = areas.find (p);
  ASSERT_NE (areas.end (), i) << "freeing an area twice or never allocated";
  EXPECT_EQ (i->second, n) << "freed with the wrong size";
  areas.erase (i);
  free (p);
}

// A buffer whose scratch areas are counted.
struct cuio : suio {
  cuio ()
  {
    allocator = countalloc;
    deallocator = countfree;
  }
};

class SuioTest : public ::testing::Test {
protected:
  void SetUp () override
  {
    areas.clear ();
    allocsizes.clear ();
  }
  void TearDown () override { EXPECT_TRUE (areas.empty ()) << "areas leaked"; }
};

// Callback ids in the order they ran.
std::vector<int> fired;
void
note (int id)
{
  fired.push_back (id);
}

std::string
pattern (size_t n, unsigned seed = 1)
{
  std::string s (n, 0);
  std::mt19937 r (seed);
  for (char &c : s)
    c = 'a' + r () % 26;
  return s;
}

TEST_F (SuioTest, CopiesFillDefbufThenAHeapArea)
{
  std::string a = pattern (100, 1), b = pattern (100, 2);
  cuio u;
  u.copy (a.data (), 100);
  ASSERT_EQ (1u, u.iovcnt ());
  EXPECT_TRUE (allocsizes.empty ()); // the inline area took it
  u.copy (b.data (), 100);
  // 28 bytes continue the first range, 72 start a new 8176-byte area.
  ASSERT_EQ (2u, u.iovcnt ());
  EXPECT_EQ (128u, u.iov ()[0].iov_len);
  EXPECT_EQ (72u, u.iov ()[1].iov_len);
  EXPECT_EQ (std::vector<size_t>{8176}, allocsizes);
  EXPECT_EQ (a + b, contents (u));
  CHECKED (u);
}

TEST_F (SuioTest, AreaSizesAreUnitsLessAllowance)
{
  cuio u;
  u.getspace (8176);
  cuio v;
  v.getspace (8177);
  cuio w;
  w.getspace (100); // fits defbuf: nothing allocated
  w.getspace (129);
  EXPECT_EQ ((std::vector<size_t>{8176, 16368, 8176}), allocsizes);
}

TEST_F (SuioTest, PushiovCoalescesContiguousRanges)
{
  std::string s = pattern (300);
  cuio u;
  u.pushiov (s.data (), 10);
  u.pushiov (s.data () + 10, 200);
  u.pushiov (s.data () + 250, 0); // empty, not contiguous: not queued
  EXPECT_EQ (1u, u.iovcnt ());
  EXPECT_EQ (s.data (), u.iov ()[0].iov_base);
  u.pushiov (s.data () + 210, 0); // empty but contiguous: harmless
  u.breakiov ();
  u.pushiov (s.data () + 210, 5);
  EXPECT_EQ (2u, u.iovcnt ()); // breakiov started a new range
  EXPECT_EQ (s.substr (0, 215), contents (u));
  CHECKED (u);
}

TEST_F (SuioTest, PrintReferencesLongPiecesAndCopiesShortOnes)
{
  std::string s128 = pattern (128, 3), s129 = pattern (129, 4);
  cuio u;
  u.print (s128.data (), 128);
  EXPECT_NE (s128.data (), u.iov ()[0].iov_base);
  u.print (s129.data (), 129);
  EXPECT_EQ (s129.data (), u.iov ()[1].iov_base);
  EXPECT_EQ (s128 + s129, contents (u));

  // Bytes written in place at getspace's pointer are queued as they are.
  cuio v;
  char *p = v.getspace (5);
  memcpy (p, "hello", 5);
  v.print (p, 5);
  EXPECT_EQ (p, v.iov ()[0].iov_base);
  EXPECT_EQ (p + 5, v.getspace (1)); // and the space is claimed
  EXPECT_EQ ("hello", contents (v));
  CHECKED (v);
}

TEST_F (SuioTest, SlowCopyAbandonsShortTailsOnly)
{
  std::string ref = pattern (200, 5), big = pattern (300, 6);
  // 118 free bytes that do not continue the last range: abandoned.
  cuio u;
  u.copy ("0123456789", 10);
  u.print (ref.data (), 200);
  u.copy (big.data (), 200);
  ASSERT_EQ (3u, u.iovcnt ());
  EXPECT_EQ (200u, u.iov ()[2].iov_len);
  // An area with 128 or more free bytes is filled first.
  cuio v;
  v.getspace (200); // v now on a fresh 8176-byte area
  char *start = v.getspace (0);
  v.print (ref.data (), 200);
  v.fill ('x', 8176 + 5);
  ASSERT_EQ (3u, v.iovcnt ());
  EXPECT_EQ (start, v.iov ()[1].iov_base);
  EXPECT_EQ (8176u, v.iov ()[1].iov_len);
  EXPECT_EQ (5u, v.iov ()[2].iov_len);
  EXPECT_EQ (ref + std::string (8181, 'x'), contents (v));
  CHECKED (u);
  CHECKED (v);
}

TEST_F (SuioTest, CallbacksRunWhenTheirPositionIsConsumed)
{
  fired.clear ();
  cuio u;
  u.iovcb (wrap (note, 1)); // empty buffer: at once
  EXPECT_EQ (std::vector<int>{1}, fired);
  u.copy ("0123456789", 10);
  u.iovcb (wrap (note, 2));
  u.iovcb (wrap (note, 3));
  u.copy ("abc", 3);
  u.iovcb (wrap (note, 4));
  CHECKED (u);
  u.rembytes (9);
  EXPECT_EQ (std::vector<int>{1}, fired);
  u.rembytes (1);
  EXPECT_EQ ((std::vector<int>{1, 2, 3}), fired);
  u.rembytes (3);
  EXPECT_EQ ((std::vector<int>{1, 2, 3, 4}), fired);
  EXPECT_EQ (13u, u.byteno ());
  CHECKED (u);
}

// A callback that appends and registers another, and one that consumes.
suio *reentered;
void
appendmore (int id)
{
  note (id);
  reentered->copy ("xyz", 3);
  reentered->iovcb (wrap (note, id + 100));
}
void
consumeall (int id)
{
  note (id);
  reentered->rembytes (reentered->resid ());
}

TEST_F (SuioTest, CallbacksMayAppendAndConsume)
{
  fired.clear ();
  cuio u;
  reentered = &u;
  u.copy ("abcd", 4);
  u.iovcb (wrap (appendmore, 1));
  u.iovcb (wrap (note, 2));
  u.rembytes (4);
  // 1 ran, queued "xyz" and 101 at position 7; 2 was due at 4 as well.
  EXPECT_EQ ((std::vector<int>{1, 2}), fired);
  EXPECT_EQ ("xyz", contents (u));
  u.iovcb (wrap (consumeall, 3));
  u.copy ("q", 1);
  u.iovcb (wrap (note, 4));
  u.rembytes (3); // 101 and 3 fall due; 3 consumes "q", so 4 runs too
  EXPECT_EQ ((std::vector<int>{1, 2, 101, 3, 4}), fired);
  EXPECT_EQ (0u, u.resid ());
  EXPECT_EQ (8u, u.byteno ());
  CHECKED (u);
}

TEST_F (SuioTest, EmptiedBufferReusesItsArea)
{
  std::string s = pattern (8000);
  cuio u;
  u.getspace (200); // onto a heap area, nothing queued
  u.copy (s.data (), 5000);
  ASSERT_EQ (1u, u.iovcnt ());
  const void *first = u.iov ()[0].iov_base;
  u.rembytes (5000);
  EXPECT_EQ (0u, u.iovcnt ());
  u.copy (s.data (), 8000);
  EXPECT_EQ (first, u.iov ()[0].iov_base);
  EXPECT_EQ (1u, allocsizes.size ());
  EXPECT_EQ (1u, u.iovno ());
  CHECKED (u);
}

TEST_F (SuioTest, RetiredAreasAreFreedOnceConsumed)
{
  std::string s = pattern (20000);
  {
    cuio u;
    u.getspace (8000);        // area 1
    u.copy (s.data (), 8000); // 176 bytes left
    u.copy (s.data (), 8000); // fills them; area 2, area 1 retired at 8176
    EXPECT_EQ (2u, areas.size ());
    u.rembytes (8175);
    EXPECT_EQ (2u, areas.size ());
    u.rembytes (1);
    EXPECT_EQ (1u, areas.size ());
    EXPECT_EQ (s.substr (176, 7824), contents (u));
    u.clear ();
    EXPECT_EQ (0u, areas.size ()); // clear frees the current area
    EXPECT_EQ (16000u, u.byteno ());
    u.copy ("abc", 3);
    EXPECT_EQ ("abc", contents (u));
    CHECKED (u);
  }
  EXPECT_EQ (0u, areas.size ());
}

void
copymore (int)
{
  std::string s = pattern (30000);
  reentered->copy (s.data (), s.size ());
  reentered->iovcb (wrap (note, 7));
}

TEST_F (SuioTest, ClearConsumesWhatItsCallbacksQueue)
{
  fired.clear ();
  {
    cuio u;
    reentered = &u;
    u.copy ("abc", 3);
    u.iovcb (wrap (copymore, 0));
    u.clear (); // copymore queues 30000 bytes in new areas, then 7
    EXPECT_EQ ((std::vector<int>{7}), fired);
    EXPECT_EQ (0u, u.resid ());
    EXPECT_EQ (30003u, u.byteno ());
    CHECKED (u);
  }
  EXPECT_TRUE (areas.empty ());
}

TEST_F (SuioTest, LinelenCopyoutAndFlatten)
{
  std::string a = pattern (200, 8), line = "GET / HTTP/1.0\r\n";
  cuio u;
  EXPECT_EQ (0u, u.linelen ());
  u.print (a.data (), 200); // referenced
  u.copy (line.data (), line.size ());
  u.copy ("rest", 4);
  EXPECT_EQ (200 + line.size (), u.linelen ());
  char buf[300];
  EXPECT_EQ (205u, u.copyout (buf, 205));
  EXPECT_EQ (a + line.substr (0, 5), std::string (buf, 205));
  std::string all (u.resid () + 10, '?');
  EXPECT_EQ (u.resid (), u.copyout (&all[0], all.size ()));
  EXPECT_EQ (a + line + "rest", all.substr (0, u.resid ()));
  EXPECT_EQ (a + line + "rest", contents (u)); // copyout consumed nothing
  cuio e;
  char *p = suio_flatten (&e);
  EXPECT_NE (nullptr, p);
  free (p);
}

TEST_F (SuioTest, GetspaceAligned)
{
  cuio u;
  u.copy ("abc", 3);
  char *p = u.getspace_aligned (16);
  EXPECT_EQ (0u, reinterpret_cast<uintptr_t> (p) % alignof (std::max_align_t));
  memcpy (p, "0123456789abcdef", 16);
  u.pushiov (p, 16);
  u.copy ("!", 1);
  EXPECT_EQ ("abc0123456789abcdef!", contents (u));
  p = u.getspace_aligned (9000);
  EXPECT_EQ (0u, reinterpret_cast<uintptr_t> (p) % alignof (std::max_align_t));
  EXPECT_LE (9000u, u.fastspace ());
  CHECKED (u);
}

TEST_F (SuioTest, IovmgrSkipsAndCopiesAcrossRanges)
{
  std::string s = pattern (40);
  iovec v[4] = {{&s[0], 5}, {&s[5], 0}, {&s[5], 10}, {&s[15], 25}};
  iovmgr m (v, 4);
  EXPECT_EQ (40u, m.size ());
  m.skip (3);
  char buf[40];
  EXPECT_EQ (12u, m.copyout (buf, 12)); // 2 + 10, then stops at a boundary
  EXPECT_EQ (s.substr (3, 12), std::string (buf, 12));
  m.skip (5);
  EXPECT_EQ (20u, m.size ());
  EXPECT_EQ (20u, m.copyout (buf, 100));
  EXPECT_EQ (s.substr (20), std::string (buf, 20));
  EXPECT_EQ (0u, m.size ());
  iovmgr e (v, -1);
  EXPECT_EQ (0u, e.size ());
  EXPECT_EQ (0u, e.copyout (buf, 10));
  iovmgr x (v, 4);
  x.skip (40); // exactly the whole: fine
  EXPECT_EQ (0u, x.size ());
}

TEST_F (SuioTest, CopyvSkipsAndCopyuLeavesTheSourceAlone)
{
  std::string s = pattern (9000);
  iovec v[3] = {{&s[0], 100}, {&s[100], 300}, {&s[400], 8600}};
  cuio u;
  u.copyv (v, 3, 50);
  EXPECT_EQ (s.substr (50), contents (u));
  for (size_t i = 0; i < u.iovcnt (); i++)
    EXPECT_FALSE (u.iov ()[i].iov_base >= s.data () &&
                  u.iov ()[i].iov_base < s.data () + s.size ())
        << "copyv referenced instead of copying";
  cuio w;
  w.copy ("head:", 5);
  w.copyu (&u);
  EXPECT_EQ (s.substr (50), contents (u));
  EXPECT_EQ ("head:" + s.substr (50), contents (w));
  w.copyu (&w); // its own ranges: doubles the contents
  EXPECT_EQ ("head:" + s.substr (50) + "head:" + s.substr (50), contents (w));
  CHECKED (u);
  CHECKED (w);
}

TEST_F (SuioTest, TakeCopiesDefbufBytesAndReferencesTheRest)
{
  fired.clear ();
  std::string ref = pattern (200, 9), small = pattern (50, 10);
  cuio u;
  u.copy ("0123456789", 10);
  {
    cuio o;
    o.copy ("zz", 2);
    o.rembytes (2); // o's stream now starts at 2
    o.copy (small.data (), 50);
    o.iovcb (wrap (note, 1)); // o position 52
    o.print (ref.data (), 200);
    o.iovcb (wrap (note, 2)); // o position 252
    u.take (&o);
    EXPECT_EQ (0u, o.resid ());
    EXPECT_EQ (0u, o.iovcnt ());
    EXPECT_EQ (252u, o.byteno ());
    CHECKED (o);
    o.copy ("again", 5); // o is usable and independent
    EXPECT_EQ ("again", contents (o));
  }
  ASSERT_EQ (2u, u.iovcnt ());
  EXPECT_EQ (ref.data (), u.iov ()[1].iov_base);
  EXPECT_EQ ("0123456789" + small, rangestr (u.iov ()[0]));
  u.rembytes (59);
  EXPECT_TRUE (fired.empty ());
  u.rembytes (1); // position 60 = o's 52
  EXPECT_EQ (std::vector<int>{1}, fired);
  u.rembytes (200);
  EXPECT_EQ ((std::vector<int>{1, 2}), fired);
  CHECKED (u);
}

TEST_F (SuioTest, TakeHandsOverHeapAreas)
{
  std::string s = pattern (20000);
  cuio u;
  {
    cuio o;
    o.getspace (8000);
    o.copy (s.data (), 8000);  // area A
    o.copy (s.data (), 10000); // area B; A retired in o at 8176
    EXPECT_EQ (2u, areas.size ());
    u.take (&o);
  } // o is gone: its areas must not go with it
  EXPECT_EQ (2u, areas.size ());
  EXPECT_EQ (s.substr (0, 8000) + s.substr (0, 10000), contents (u));
  u.rembytes (8175);
  EXPECT_EQ (2u, areas.size ());
  u.rembytes (1);
  EXPECT_EQ (1u, areas.size ()); // A, by o's moved callback
  u.rembytes (u.resid ());
  EXPECT_EQ (0u, areas.size ()); // B, handed to u
  // A taker that is empty while the other holds an empty heap area.
  cuio e, o2;
  o2.copy (s.data (), 9000);
  o2.rembytes (9000);
  e.take (&o2);
  EXPECT_EQ (0u, areas.size ());
  CHECKED (e);
  CHECKED (o2);
}

TEST_F (SuioTest, TakeKeepsCallbacksInPositionOrder)
{
  fired.clear ();
  std::string ref = pattern (300, 11);
  cuio u;
  u.getspace (200);                 // u on a heap area...
  u.fill ('u', u.fastspace () - 5); // ...with 5 bytes left
  cuio o;
  o.print (ref.data (), 300);
  o.iovcb (wrap (note, 1));
  o.print (ref.data (), 150);
  // In o's defbuf: copied into u, which abandons its 5-byte tail.
  o.copy ("0123456789abcdef", 16);
  u.take (&o);
  CHECKED (u);
  u.rembytes (8171 + 300);
  EXPECT_EQ (std::vector<int>{1}, fired);
  u.rembytes (u.resid ());
  CHECKED (u);
}

// o's defbuf range holds a callback in its middle; copying the range
// into u starts a new area there, whose retire callback lies further on.
TEST_F (SuioTest, TakeKeepsCallbacksInsideACopiedRangeInOrder)
{
  fired.clear ();
  cuio u;
  u.getspace (200);                  // u on a heap area...
  u.fill ('u', u.fastspace () - 20); // ...with 20 bytes continuing it
  size_t before = u.resid ();
  cuio o;
  o.copy ("0123456789", 10);
  o.iovcb (wrap (note, 1)); // o position 10, inside its only range
  o.copy (pattern (40).data (), 40);
  ASSERT_EQ (1u, o.iovcnt ());
  u.take (&o);
  CHECKED (u);
  EXPECT_EQ (std::string (before, 'u') + "0123456789" + pattern (40),
             contents (u));
  u.rembytes (before + 9);
  EXPECT_TRUE (fired.empty ());
  EXPECT_EQ (2u, areas.size ());
  u.rembytes (1); // o's position 10: due before u's old area is freed
  EXPECT_EQ (std::vector<int>{1}, fired);
  EXPECT_EQ (2u, areas.size ());
  u.rembytes (10); // the 20 bytes that filled u's old area
  EXPECT_EQ (1u, areas.size ());
  u.rembytes (u.resid ());
  CHECKED (u);
}

TEST_F (SuioTest, TakeSelfChangesNothing)
{
  cuio u;
  u.copy ("abc", 3);
  u.take (&u);
  EXPECT_EQ ("abc", contents (u));
  CHECKED (u);
}

// A pipe or socket pair with both ends closed at the end.
struct fdpair {
  int r = -1, w = -1;
  ~fdpair ()
  {
    close (r);
    close (w);
  }
  void nonblock (int fd)
  {
    fcntl (fd, F_SETFL, fcntl (fd, F_GETFL) | O_NONBLOCK);
  }
  std::string drain ()
  {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read (r, buf, sizeof (buf))) > 0)
      s.append (buf, n);
    return s;
  }
};

TEST_F (SuioTest, OutputToASlowSocketKeepsTheRestQueued)
{
  fdpair p;
  int sv[2];
  ASSERT_EQ (0, socketpair (AF_UNIX, SOCK_STREAM, 0, sv));
  p.w = sv[0];
  p.r = sv[1];
  int small = 4096;
  setsockopt (p.w, SOL_SOCKET, SO_SNDBUF, &small, sizeof (small));
  setsockopt (p.r, SOL_SOCKET, SO_RCVBUF, &small, sizeof (small));
  p.nonblock (p.w);
  p.nonblock (p.r);
  std::string piece = pattern (1024), want;
  cuio u;
  for (int i = 0; i < 256; i++) {
    u.print (piece.data (), piece.size ());
    u.copy (&piece[i], 7);
    want += piece + piece.substr (i, 7);
  }
  std::string got;
  EXPECT_EQ (1, u.output (p.w));
  EXPECT_LT (0u, u.resid ());
  EXPECT_EQ (0, u.output (p.w)); // full: EAGAIN writes nothing
  for (int rounds = 0; u.resid () && rounds < 100000; rounds++) {
    got += p.drain ();
    ASSERT_NE (-1, u.output (p.w));
    CHECKED (u);
  }
  got += p.drain ();
  EXPECT_EQ (0u, u.resid ());
  EXPECT_EQ (want, got);
  EXPECT_EQ (0, u.output (-1)); // empty: no writev at all
}

TEST_F (SuioTest, OutputWritesAtMost1024RangesPerCall)
{
  fdpair p;
  int fds[2];
  ASSERT_EQ (0, pipe (fds));
  p.r = fds[0];
  p.w = fds[1];
  p.nonblock (p.r);
  std::string s = pattern (6000), want;
  cuio u;
  for (int i = 0; i < 3000; i++) { // 3000 separate one-byte ranges
    u.pushiov (&s[2 * i], 1);
    want += s[2 * i];
  }
  ASSERT_EQ (3000u, u.iovcnt ());
  EXPECT_EQ (1, u.output (p.w));
  EXPECT_EQ (0u, u.resid ());
  EXPECT_EQ (3000u, u.iovno ());
  EXPECT_EQ (want, p.drain ());
}

TEST_F (SuioTest, OutputOfCountedRanges)
{
  fdpair p;
  int fds[2];
  ASSERT_EQ (0, pipe (fds));
  p.r = fds[0];
  p.w = fds[1];
  p.nonblock (p.r);
  std::string a = pattern (300, 1), b = pattern (300, 2), c = pattern (300, 3);
  cuio u;
  u.print (a.data (), 300);
  u.print (b.data (), 300);
  u.print (c.data (), 300);
  EXPECT_EQ (0, u.output (p.w, 0));
  EXPECT_EQ (900u, u.resid ());
  EXPECT_EQ (1, u.output (p.w, 2));
  EXPECT_EQ (a + b, p.drain ());
  EXPECT_EQ (c, contents (u));
  EXPECT_EQ (2u, u.iovno ());
}

TEST_F (SuioTest, OutputErrorLeavesTheQueueIntact)
{
  signal (SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ (0, pipe (fds));
  close (fds[0]);
  cuio u;
  u.copy ("abc", 3);
  EXPECT_EQ (-1, u.output (fds[1]));
  EXPECT_EQ (EPIPE, errno);
  EXPECT_EQ ("abc", contents (u));
  close (fds[1]);
}

TEST_F (SuioTest, InputSplitsAcrossOldAndNewArea)
{
  fdpair p;
  int fds[2];
  ASSERT_EQ (0, pipe (fds));
  p.r = fds[0];
  p.w = fds[1];
  std::string head = pattern (100, 1), data = pattern (500, 2);
  cuio u;
  u.copy (head.data (), 100);
  ASSERT_EQ (500, write (p.w, data.data (), 500));
  EXPECT_EQ (500, u.input (p.r, 1000));
  ASSERT_EQ (2u, u.iovcnt ());
  EXPECT_EQ (128u, u.iov ()[0].iov_len); // 28 bytes continue defbuf's range
  EXPECT_EQ (472u, u.iov ()[1].iov_len);
  EXPECT_EQ (std::vector<size_t>{8176}, allocsizes);
  EXPECT_EQ (head + data, contents (u));
  CHECKED (u);

  // Fewer bytes than the old area's tail: the new area goes back.
  cuio v;
  v.copy (head.data (), 100);
  ASSERT_EQ (20, write (p.w, data.data (), 20));
  EXPECT_EQ (20, v.input (p.r, 1000));
  EXPECT_EQ (1u, v.iovcnt ());
  EXPECT_EQ (head + data.substr (0, 20), contents (v));
  EXPECT_EQ (1u, areas.size ()); // only u's area

  // A full area: a new one, then one read.
  cuio w;
  w.fill ('f', 128);
  ASSERT_EQ (100, write (p.w, data.data (), 100));
  EXPECT_EQ (100, w.input (p.r, 9000));
  EXPECT_EQ (std::string (128, 'f') + data.substr (0, 100), contents (w));
  EXPECT_EQ (16368u, allocsizes.back ());

  // End of file and errors queue nothing.
  close (p.w);
  p.w = -1;
  EXPECT_EQ (0, w.input (p.r, 1000));
  EXPECT_EQ (-1, w.input (-1, 1000));
  EXPECT_EQ (-1, w.input (-1, 10));
  EXPECT_EQ (228u, w.resid ());
  CHECKED (w);
}

void
overconsume ()
{
  suio u;
  u.copy ("ab", 2);
  u.rembytes (3);
}

void
outputtoomany ()
{
  suio u;
  u.copy ("ab", 2);
  u.output (-1, 2);
}

void
skippast ()
{
  char b[4];
  iovec v[2] = {{b, 2}, {b + 2, 2}};
  iovmgr m (v, 2);
  m.skip (5);
}

TEST (SuioDeathTest, Assertions)
{
  EXPECT_DEATH (overconsume (), "n <= uiobytes");
  EXPECT_DEATH (outputtoomany (), "\\(size_t\\) cnt <= iovs\\.size \\(\\)");
  EXPECT_DEATH (skippast (),
                "^PANIC: .*\niovmgr: skip value larger than iovsize\n$");
}

// The model: a buffer next to the bytes it should hold, the callbacks it
// should still run and the order in which they should have run.
struct model {
  cuio u;
  std::string m;
  uint64_t pos = 0;                              // byteno
  std::vector<std::pair<uint64_t, int>> pending; // (due position, id)
  std::vector<int> expect;                       // ids that should have run

  void consumed (size_t n)
  {
    m.erase (0, n);
    pos += n;
    while (!pending.empty () && pending.front ().first <= pos) {
      expect.push_back (pending.front ().second);
      pending.erase (pending.begin ());
    }
  }
  void verify (const char *op)
  {
    SCOPED_TRACE (op);
    ASSERT_STREQ (nullptr, u.check ());
    ASSERT_EQ (m.size (), u.resid ());
    ASSERT_EQ (pos, u.byteno ());
    ASSERT_EQ (m, contents (u));
  }
};

// Stable source bytes for referenced pieces.
const std::string &
pool ()
{
  static const std::string p = pattern (1 << 16, 42);
  return p;
}

size_t
randlen (std::mt19937 &r)
{
  switch (r () % 8) {
  case 0:
    return r () % 20000;
  case 1:
  case 2:
    return 100 + r () % 60; // around the 128-byte threshold
  default:
    return r () % 40;
  }
}

class SuioModel : public SuioTest,
                  public ::testing::WithParamInterface<unsigned> {};

// One random append, consume or transfer on a (o is a second model).
void
step (std::mt19937 &r, model &a, model &o, int &nextid, fdpair &p)
{
  const std::string &src = pool ();
  size_t len = std::min (randlen (r), src.size () - 1);
  size_t off = r () % (src.size () - len);
  switch (r () % 13) {
  case 0:
    a.u.copy (&src[off], len);
    a.m.append (src, off, len);
    break;
  case 1:
    a.u.print (&src[off], len);
    a.m.append (src, off, len);
    break;
  case 2: {
    char c = 'A' + r () % 26;
    a.u.fill (c, len);
    a.m.append (len, c);
    break;
  }
  case 3: {
    iovec v[4];
    size_t cnt = r () % 5, total = 0;
    for (size_t i = 0; i < cnt; i++) {
      size_t n = randlen (r) % 3000;
      size_t at = r () % (src.size () - n);
      v[i] = iovec{const_cast<char *> (&src[at]), n};
      total += n;
    }
    size_t skip = total ? r () % (total + 1) : 0;
    a.u.copyv (v, cnt, skip);
    for (size_t i = 0; i < cnt; i++)
      a.m += rangestr (v[i]);
    a.m.erase (a.m.size () - total, skip);
    break;
  }
  case 4:
    if (r () % 4) {
      a.u.copyu (&o.u);
      a.m += o.m;
    } else {
      a.u.copyu (&a.u);
      a.m += a.m;
    }
    break;
  case 5: {
    uint64_t d = a.pos + a.m.size () - o.pos;
    for (auto &e : o.pending)
      a.pending.push_back ({e.first + d, e.second});
    a.u.take (&o.u);
    a.m += o.m;
    o.pos += o.m.size ();
    o.m.clear ();
    o.pending.clear ();
    break;
  }
  case 6:
  case 7: {
    size_t n = a.m.empty () ? 0
               : r () % 3   ? r () % 50
                            : r () % (a.m.size () + 1);
    n = std::min (n, a.m.size ());
    a.u.rembytes (n);
    a.consumed (n);
    break;
  }
  case 8:
    a.u.iovcb (wrap (note, nextid));
    a.pending.push_back ({a.pos + a.m.size (), nextid++});
    a.consumed (0);
    break;
  case 9: {
    char *sp = a.u.getspace (len);
    size_t k = len ? r () % (len + 1) : 0;
    memcpy (sp, &src[off], k);
    a.u.pushiov (sp, k);
    a.m.append (src, off, k);
    break;
  }
  case 10:
    if (r () % 2)
      a.u.breakiov ();
    else if (r () % 8 == 0) {
      a.u.clear ();
      a.consumed (a.m.size ());
    }
    break;
  case 11: {
    len = std::min<size_t> (len, 8000);
    ASSERT_EQ (ssize_t (len), write (p.w, &src[off], len));
    size_t want = r () % 2 ? len : r () % (len + 1);
    ssize_t got = a.u.input (p.r, want);
    if (want) {
      ASSERT_LT (0, got);
    }
    a.m.append (src, off, got > 0 ? got : 0);
    std::string rest = p.drain ();
    a.u.copy (rest.data (), rest.size ());
    a.m += rest;
    break;
  }
  case 12: {
    ASSERT_NE (
        -1, a.u.output (p.w, r () % 2 ? -1 : int (r () % (a.u.iovcnt () + 1))));
    size_t before = a.m.size ();
    std::string out = p.drain ();
    ASSERT_EQ (a.m.substr (0, out.size ()), out);
    ASSERT_EQ (before - out.size (), a.u.resid ());
    a.consumed (out.size ());
    break;
  }
  }
}

TEST_P (SuioModel, RandomOperationsMatchAString)
{
  std::mt19937 r (GetParam ());
  fired.clear ();
  int nextid = 1;
  fdpair p;
  int fds[2];
  ASSERT_EQ (0, pipe (fds));
  p.r = fds[0];
  p.w = fds[1];
  p.nonblock (p.r);
  p.nonblock (p.w);
  {
    model a, o;
    for (int i = 0; i < 400; i++) {
      bool other = r () % 4 == 0;
      model &x = other ? o : a;
      model &y = other ? a : o;
      size_t nfired = fired.size (), ax = x.expect.size ();
      ASSERT_NO_FATAL_FAILURE (step (r, x, y, nextid, p)) << "step " << i;
      ASSERT_NO_FATAL_FAILURE (a.verify ("a"));
      ASSERT_NO_FATAL_FAILURE (o.verify ("o"));
      // Only the buffer operated on runs callbacks, in position order.
      std::vector<int> want (x.expect.begin () + ax, x.expect.end ());
      std::vector<int> got (fired.begin () + nfired, fired.end ());
      ASSERT_EQ (want, got) << "step " << i;
    }
  }
  EXPECT_TRUE (areas.empty ());
}

INSTANTIATE_TEST_SUITE_P (Seeds, SuioModel, ::testing::Range (1u, 41u));

} // namespace
