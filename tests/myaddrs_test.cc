// Interface addresses: this machine's list (loopback is always up), and
// through the test doubles of hostfake.h every branch of the walk (down,
// non-IPv4, duplicate, failing flags query), the failures that leave the
// caller's vector alone, and the buffer sizes tried over a fresh process's
// life, against the three-record margin of this platform's struct ifreq.

#include "async/myaddrs.h"

#include "hostfake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string>
quads (const vec<in_addr> &v)
{
  std::vector<std::string> r;
  for (const in_addr *a = v.base (); a < v.lim (); a++)
    r.push_back (inet_ntoa (*a));
  return r;
}

hostfake::iface
ifc (const char *name, const char *addr, short flags = IFF_UP)
{
  hostfake::iface f;
  f.name = name;
  f.addr = addr;
  f.flags = flags;
  return f;
}

// n interfaces with distinct addresses.
void
manyifaces (int n)
{
  hostfake::ifaces.clear ();
  for (int i = 0; i < n; i++) {
    std::string a = "10." + std::to_string (i >> 16) + "." +
                    std::to_string ((i >> 8) & 255) + "." +
                    std::to_string (i & 255);
    hostfake::ifaces.push_back (
        ifc (("e" + std::to_string (i)).c_str (), a.c_str ()));
  }
}

bool
closed (int fd)
{
  return fcntl (fd, F_GETFD) < 0 && errno == EBADF;
}

struct myaddrs : testing::Test {
  void SetUp () override { hostfake::reset (); }
  void TearDown () override { hostfake::on = false; }
};

TEST_F (myaddrs, this_machine_has_loopback_once)
{
  hostfake::on = false;
  vec<in_addr> v;
  ASSERT_TRUE (myipaddrs (&v));
  std::vector<std::string> q = quads (v);
  EXPECT_EQ (std::count (q.begin (), q.end (), "127.0.0.1"), 1);
  std::sort (q.begin (), q.end ());
  EXPECT_EQ (std::adjacent_find (q.begin (), q.end ()), q.end ());
}

TEST_F (myaddrs, up_ipv4_interfaces_once_each_in_order)
{
  hostfake::iface v6 = ifc ("six0", "10.0.0.3"), bad = ifc ("", "10.0.0.4");
  v6.family = AF_INET6;
  bad.name = "abcdefghijklmnop"; // 16 bytes: no zero byte in the record
  bad.flagserr = ENODEV;
  hostfake::ifaces = {ifc ("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK),
                      ifc ("eth0", "10.0.0.1"),
                      ifc ("eth1", "10.0.0.2", 0),
                      v6,
                      ifc ("eth2", "10.0.0.1"),
                      bad,
                      ifc ("ppp0", "10.0.0.5", IFF_UP | IFF_POINTOPOINT),
                      ifc ("eth3", "127.0.1.1"),
                      ifc ("eth4", "10.0.0.2")};
  vec<in_addr> v;
  bool ok = false;
  EXPECT_EQ (hostfake::errout ([&] { ok = myipaddrs (&v); }),
             "SIOCGIFFLAGS (abcdefghijklmnop): No such device\n");
  EXPECT_TRUE (ok);
  EXPECT_EQ (quads (v),
             (std::vector<std::string>{"127.0.0.1", "10.0.0.1", "10.0.0.5",
                                       "127.0.1.1", "10.0.0.2"}));
  EXPECT_TRUE (closed (hostfake::lastsock));

  // A second call replaces the list; none up is an empty success.
  hostfake::ifaces = {ifc ("eth1", "10.0.0.2", 0)};
  EXPECT_TRUE (myipaddrs (&v));
  EXPECT_EQ (v.size (), 0u);
}

TEST_F (myaddrs, failures_warn_and_leave_the_vector)
{
  vec<in_addr> v;
  in_addr a;
  inet_aton ("192.0.2.7", &a);
  v.push_back (a);
  hostfake::ifaces = {ifc ("eth0", "10.0.0.1")};

  hostfake::socket_err = EMFILE;
  bool ok = true;
  EXPECT_EQ (hostfake::errout ([&] { ok = myipaddrs (&v); }),
             "socket: Too many open files\n");
  EXPECT_FALSE (ok);
  EXPECT_EQ (quads (v), std::vector<std::string>{"192.0.2.7"});

  hostfake::socket_err = 0;
  hostfake::ifconf_err = EINVAL;
  ok = true;
  EXPECT_EQ (hostfake::errout ([&] { ok = myipaddrs (&v); }),
             "SIOCGIFCONF: Invalid argument\n");
  EXPECT_FALSE (ok);
  EXPECT_EQ (quads (v), std::vector<std::string>{"192.0.2.7"});
  EXPECT_TRUE (closed (hostfake::lastsock));
}

// One call: the sizes offered, then the result, as a line.
std::string
call ()
{
  vec<in_addr> v;
  in_addr a;
  a.s_addr = 0;
  v.push_back (a);
  hostfake::ifconf_lens.clear ();
  bool ok = myipaddrs (&v);
  std::string line;
  for (int l : hostfake::ifconf_lens)
    line += std::to_string (l) + " ";
  return line + "= " + (ok ? std::to_string (v.size ()) : "false") + "\n";
}

// The size offered persists from call to call, so this runs in a freshly
// started copy of the test program.
TEST_F (myaddrs, buffer_sizes_over_a_process_life)
{
  // Lists that fit 512 bytes exactly with three records to spare, that
  // need 131072 and that need more than 1 MiB.
  const int r = sizeof (ifreq), fit512 = (512 - 3 * r - 1) / r;
  const int n128k = 65536 / r, n1m = (1 << 20) / r + 1;
  std::string big = "SIOCGIFCONF: buffer too large\n";
  std::string want = "512 = " + std::to_string (fit512) + "\n" +
                     "512 1024 = " + std::to_string (fit512 + 1) + "\n" +
                     "1024 = " + std::to_string (fit512 + 1) + "\n" + big +
                     "1024 2048 4096 8192 16384 32768 = false\n" + big +
                     "65536 = false\n"
                     "131072 = " +
                     std::to_string (n128k) + "\n" + big + "131072 = false\n" +
                     big + "262144 = false\n" + big + "524288 = false\n" + big +
                     "1048576 = false\n" + big + "1048576 = false\n";
  GTEST_FLAG_SET (death_test_style, "threadsafe");
  EXPECT_EXIT (
      {
        hostfake::reset ();
        for (int n : {fit512, fit512 + 1, fit512 + 1, n128k, n128k, n128k, n1m,
                      n1m, n1m, n1m, n1m}) {
          manyifaces (n);
          std::string line = call ();
          ssize_t w = write (2, line.data (), line.size ());
          (void) w;
        }
        _exit (0);
      },
      testing::ExitedWithCode (0), "^" + want + "$");
}

} // namespace
