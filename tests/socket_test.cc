// Socket utilities: creation, binding fallbacks, local socket path limits,
// descriptor flags, buffer tuning, and the warning and fatal texts.
#include "async/err.h"
#include "async/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/tcp.h>
#include <string>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// errfd redirected into a pipe for the life of the object.
struct errcapture {
  int p[2];
  int saved;
  errcapture ()
  {
    EXPECT_EQ (pipe (p), 0);
    fcntl (p[0], F_SETFL, O_NONBLOCK);
    saved = errfd;
    errfd = p[1];
  }
  ~errcapture ()
  {
    errfd = saved;
    close (p[0]);
    close (p[1]);
  }
  std::string text ()
  {
    std::string s;
    char buf[256];
    ssize_t n;
    while ((n = read (p[0], buf, sizeof (buf))) > 0)
      s.append (buf, size_t (n));
    return s;
  }
};

// The lowest free descriptor: shows that a failed call left none open.
int
nextfd ()
{
  int fd = dup (0);
  close (fd);
  return fd;
}

sockaddr_in
localname (int s)
{
  sockaddr_in sin;
  socklen_t len = sizeof (sin);
  memset (&sin, 0, sizeof (sin));
  getsockname (s, reinterpret_cast<sockaddr *> (&sin), &len);
  return sin;
}

int
intopt (int s, int level, int opt)
{
  int v = -1;
  socklen_t len = sizeof (v);
  getsockopt (s, level, opt, &v, &len);
  return v;
}

// Restores the three start-up values after a test changed them.
struct envguard {
  int snd = sndbufsize, rcv = rcvbufsize;
  in_addr bind = inet_bindaddr;
  ~envguard ()
  {
    unsetenv ("SNDBUFSIZE");
    unsetenv ("RCVBUFSIZE");
    unsetenv ("BINDADDR");
    sndbufsize = snd;
    rcvbufsize = rcv;
    inet_bindaddr = bind;
  }
};

const u_int32_t offhost = 0xc6336407; // 198.51.100.7: on no interface here

TEST (SocketEnv, InitEnvParsesLeadingDigitsAndDottedAddresses)
{
  envguard g;
  EXPECT_EQ (sndbufsize, 69632);
  EXPECT_EQ (rcvbufsize, 69632);
  setenv ("SNDBUFSIZE", "abc", 1);
  setenv ("RCVBUFSIZE", "4096xyz", 1);
  setenv ("BINDADDR", "127.0.0.1", 1);
  init_env ();
  EXPECT_EQ (sndbufsize, 0);
  EXPECT_EQ (rcvbufsize, 4096);
  EXPECT_EQ (ntohl (inet_bindaddr.s_addr), INADDR_LOOPBACK);
  for (const char *bad : {"127.0.0.256", "localhost", ""}) {
    setenv ("BINDADDR", bad, 1);
    inet_bindaddr.s_addr = htonl (INADDR_LOOPBACK);
    init_env ();
    EXPECT_EQ (inet_bindaddr.s_addr, 0u) << bad;
  }
  unsetenv ("SNDBUFSIZE");
  unsetenv ("BINDADDR");
  inet_bindaddr.s_addr = htonl (INADDR_LOOPBACK);
  init_env ();
  EXPECT_EQ (sndbufsize, 0); // unset: left as it was
  EXPECT_EQ (inet_bindaddr.s_addr, 0u);
}

TEST (Inetsocket, BindsToTheDefaultAddressAndFallsBackOnce)
{
  envguard g;
  int s = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  ASSERT_GE (s, 0);
  EXPECT_EQ (ntohl (localname (s).sin_addr.s_addr), INADDR_LOOPBACK);
  close (s);

  inet_bindaddr.s_addr = htonl (INADDR_LOOPBACK);
  s = inetsocket (SOCK_DGRAM);
  ASSERT_GE (s, 0);
  EXPECT_EQ (ntohl (localname (s).sin_addr.s_addr), INADDR_LOOPBACK);
  close (s);

  // A default address that is not on this host: any address instead.
  inet_bindaddr.s_addr = htonl (offhost);
  s = inetsocket (SOCK_STREAM);
  ASSERT_GE (s, 0);
  EXPECT_EQ (localname (s).sin_addr.s_addr, 0u);
  close (s);
  // The caller's own address is not replaced.
  int fd = nextfd ();
  errno = 0;
  EXPECT_EQ (inetsocket (SOCK_STREAM, 0, offhost), -1);
  EXPECT_EQ (errno, EADDRNOTAVAIL);
  EXPECT_EQ (nextfd (), fd);
}

TEST (Inetsocket, ReuseAddressOnlyForStreamsWithAPort)
{
  int probe = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  ASSERT_GE (probe, 0);
  u_int16_t port = ntohs (localname (probe).sin_port);
  close (probe);

  int s = inetsocket (SOCK_STREAM, port, INADDR_LOOPBACK);
  ASSERT_GE (s, 0);
  EXPECT_EQ (ntohs (localname (s).sin_port), port);
  EXPECT_EQ (intopt (s, SOL_SOCKET, SO_REUSEADDR), 1);
  int d = inetsocket (SOCK_DGRAM, port, INADDR_LOOPBACK);
  ASSERT_GE (d, 0);
  EXPECT_EQ (intopt (d, SOL_SOCKET, SO_REUSEADDR), 0);
  int z = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  EXPECT_EQ (intopt (z, SOL_SOCKET, SO_REUSEADDR), 0);
  // A port in use: -1 and nothing left open.
  ASSERT_EQ (listen (s, 5), 0);
  int fd = nextfd ();
  EXPECT_EQ (inetsocket (SOCK_STREAM, port, INADDR_LOOPBACK), -1);
  EXPECT_EQ (errno, EADDRINUSE);
  EXPECT_EQ (nextfd (), fd);
  close (s);
  close (d);
  close (z);
}

// Privileged: a port below 1024, recorded; unprivileged (in a child with
// another user id): any port, the record untouched.
TEST (Inetsocket, ReservedPortsForThePrivilegedOnly)
{
  if (geteuid ())
    GTEST_SKIP () << "needs root";
  inetsocket_lastport = 0;
  int s = inetsocket_resvport (SOCK_STREAM, INADDR_LOOPBACK);
  if (s < 0 && errno == EACCES)
    GTEST_SKIP () << "no privilege to bind reserved ports";
  ASSERT_GE (s, 0);
  u_int16_t port = ntohs (localname (s).sin_port);
  EXPECT_LT (port, 1024);
  EXPECT_GT (port, 0);
  EXPECT_EQ (inetsocket_lastport, port);
  close (s);

  EXPECT_EXIT (
      {
        if (setresuid (1000, 1000, 1000) < 0)
          _exit (2);
        inetsocket_lastport = 7;
        int u = inetsocket_resvport (SOCK_DGRAM, INADDR_LOOPBACK);
        _exit (u >= 0 && ntohs (localname (u).sin_port) >= 1024 &&
                       inetsocket_lastport == 7
                   ? 0
                   : 1);
      },
      ::testing::ExitedWithCode (0), "");
}

struct tmpdir {
  std::string path;
  tmpdir ()
  {
    char t[] = "/tmp/ombrixXXXXXX";
    path = mkdtemp (t) ? t : "/tmp";
  }
  ~tmpdir () { rmdir (path.c_str ()); }
  // A file name in the directory making a path of exactly len characters.
  std::string name (size_t len)
  {
    std::string p = path + "/";
    return p + std::string (len - p.size (), 'n');
  }
};

TEST (Unixsocket, PathLimitIs107Characters)
{
  tmpdir d;
  std::string p107 = d.name (107), p108 = d.name (108);
  int fd = nextfd ();
  errno = 0;
  EXPECT_EQ (unixsocket (p108.c_str ()), -1);
  EXPECT_EQ (errno, ENAMETOOLONG);
  errno = 0;
  EXPECT_EQ (unixsocket_connect (p108.c_str ()), -1);
  EXPECT_EQ (errno, ENAMETOOLONG);
  EXPECT_EQ (nextfd (), fd); // no socket was made

  int s = unixsocket (p107.c_str ());
  ASSERT_GE (s, 0);
  ASSERT_EQ (listen (s, 1), 0);
  sockaddr_un sun;
  socklen_t len = sizeof (sun);
  getsockname (s, reinterpret_cast<sockaddr *> (&sun), &len);
  EXPECT_EQ (std::string (sun.sun_path), p107);
  int c = unixsocket_connect (p107.c_str ());
  ASSERT_GE (c, 0);
  int a = accept (s, nullptr, nullptr);
  EXPECT_EQ (write (c, "hi", 2), 2);
  char buf[2];
  EXPECT_EQ (read (a, buf, 2), 2);
  EXPECT_TRUE (isunixsocket (s));
  EXPECT_TRUE (isunixsocket (a));
  // An existing file is not removed first.
  fd = nextfd ();
  EXPECT_EQ (unixsocket (p107.c_str ()), -1);
  EXPECT_EQ (errno, EADDRINUSE);
  EXPECT_EQ (nextfd (), fd);
  close (a);
  close (c);
  close (s);
  unlink (p107.c_str ());
  EXPECT_EQ (unixsocket_connect (p107.c_str ()), -1);
  EXPECT_EQ (errno, ENOENT);
}

TEST (Unixsocket, IsunixsocketOnOtherDescriptors)
{
  int in = inetsocket (SOCK_DGRAM, 0, INADDR_LOOPBACK);
  int p[2];
  ASSERT_EQ (pipe (p), 0);
  EXPECT_FALSE (isunixsocket (in));
  EXPECT_FALSE (isunixsocket (p[0]));
  EXPECT_FALSE (isunixsocket (-1));
  int sp[2];
  ASSERT_EQ (socketpair (AF_UNIX, SOCK_DGRAM, 0, sp), 0);
  EXPECT_TRUE (isunixsocket (sp[0]));
  for (int fd : {in, p[0], p[1], sp[0], sp[1]})
    close (fd);
}

TEST (Flags, CloseOnExecReplacesTheFlagWord)
{
  int fd = open ("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ (fcntl (fd, F_GETFD), FD_CLOEXEC);
  close_on_exec (fd, false);
  EXPECT_EQ (fcntl (fd, F_GETFD), 0);
  close_on_exec (fd);
  EXPECT_EQ (fcntl (fd, F_GETFD), FD_CLOEXEC);
  close (fd);
  EXPECT_EXIT (close_on_exec (fd), ::testing::ExitedWithCode (1),
               "^fatal: F_SETFD: Bad file descriptor\n$");
}

TEST (Flags, NonBlockingOnAndOff)
{
  int p[2];
  ASSERT_EQ (pipe (p), 0);
  int before = fcntl (p[0], F_GETFL);
  EXPECT_EQ (_make_async (p[0]), 0);
  EXPECT_EQ (fcntl (p[0], F_GETFL), before | O_NONBLOCK);
  make_sync (p[0]);
  EXPECT_EQ (fcntl (p[0], F_GETFL), before);
  {
    errcapture e;
    make_async (p[0]); // a pipe: nothing but O_NONBLOCK, silently
    EXPECT_EQ (e.text (), "");
  }
  EXPECT_EQ (fcntl (p[0], F_GETFL), before | O_NONBLOCK);
  close (p[0]);
  close (p[1]);
  errno = 0;
  EXPECT_EQ (_make_async (p[0]), -1);
  EXPECT_EQ (errno, EBADF);
  make_sync (p[0]);
  EXPECT_EXIT (make_async (p[0]), ::testing::ExitedWithCode (1),
               "^fatal: O_NONBLOCK: Bad file descriptor\n$");
}

// Buffer sizes through make_async, compared with what the kernel makes of
// the same value set directly.
int
kernelbuf (int type, int opt, int val)
{
  int s = socket (AF_INET, type, 0);
  setsockopt (s, SOL_SOCKET, opt, &val, sizeof (val));
  int r = intopt (s, SOL_SOCKET, opt);
  close (s);
  return r;
}

TEST (Flags, MakeAsyncTunesSockets)
{
  envguard g;
  sndbufsize = 0; // as SNDBUFSIZE=abc leaves it
  rcvbufsize = 32768;
  int t = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  int u = inetsocket (SOCK_DGRAM, 0, INADDR_LOOPBACK);
  errcapture e;
  make_async (t);
  make_async (u);
  EXPECT_EQ (e.text (), "");
  EXPECT_TRUE (fcntl (t, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ (intopt (t, SOL_SOCKET, SO_SNDBUF),
             kernelbuf (SOCK_STREAM, SO_SNDBUF, 0));
  EXPECT_EQ (intopt (t, SOL_SOCKET, SO_RCVBUF),
             kernelbuf (SOCK_STREAM, SO_RCVBUF, 32768));
  EXPECT_EQ (intopt (t, SOL_SOCKET, SO_KEEPALIVE), 1);
  // Datagram sockets: 69632 whatever the variables say, no keep-alive.
  EXPECT_EQ (intopt (u, SOL_SOCKET, SO_SNDBUF),
             kernelbuf (SOCK_DGRAM, SO_SNDBUF, 69632));
  EXPECT_EQ (intopt (u, SOL_SOCKET, SO_RCVBUF),
             kernelbuf (SOCK_DGRAM, SO_RCVBUF, 69632));
  EXPECT_NE (kernelbuf (SOCK_DGRAM, SO_RCVBUF, 69632),
             kernelbuf (SOCK_DGRAM, SO_RCVBUF, 32768));
  EXPECT_EQ (intopt (u, SOL_SOCKET, SO_KEEPALIVE), 0);
  close (t);
  close (u);
}

TEST (Tcp, NodelayAndItsWarning)
{
  int t = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  errcapture e;
  tcp_nodelay (t);
  EXPECT_EQ (e.text (), "");
  EXPECT_EQ (intopt (t, IPPROTO_TCP, TCP_NODELAY), 1);
  // TOS 1 as the kernel keeps it for a TCP socket (it masks ECN bits).
  int k = socket (AF_INET, SOCK_STREAM, 0), one = 1;
  setsockopt (k, IPPROTO_IP, IP_TOS, &one, sizeof (one));
  EXPECT_EQ (intopt (t, IPPROTO_IP, IP_TOS), intopt (k, IPPROTO_IP, IP_TOS));
  close (k);
  close (t);
  int p[2];
  ASSERT_EQ (pipe (p), 0);
  tcp_nodelay (p[0]);
  EXPECT_EQ (e.text (), "TCP_NODELAY: Socket operation on non-socket\n");
  close (p[0]);
  close (p[1]);
}

TEST (Tcp, AbortResetsTheConnection)
{
  int l = inetsocket (SOCK_STREAM, 0, INADDR_LOOPBACK);
  ASSERT_EQ (listen (l, 1), 0);
  sockaddr_in sin = localname (l);
  int c = socket (AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ (connect (c, reinterpret_cast<sockaddr *> (&sin), sizeof (sin)), 0);
  int a = accept (l, nullptr, nullptr);
  int fd = nextfd ();
  tcp_abort (a);
  EXPECT_LE (nextfd (), a); // closed
  (void) fd;
  char buf[4];
  errno = 0;
  EXPECT_EQ (read (c, buf, sizeof (buf)), -1);
  EXPECT_EQ (errno, ECONNRESET);
  close (c);
  close (l);
}

sockaddr_in
in4 (const char *addr, u_int16_t port, char zero)
{
  sockaddr_in sin;
  memset (&sin, zero, sizeof (sin));
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  inet_aton (addr, &sin.sin_addr);
  return sin;
}

bool
eq (const sockaddr_in &a, const sockaddr_in &b, socklen_t size)
{
  return addreq (reinterpret_cast<const sockaddr *> (&a),
                 reinterpret_cast<const sockaddr *> (&b), size);
}

TEST (Addreq, ComparesAddressAndPortOnly)
{
  errcapture e;
  sockaddr_in a = in4 ("10.1.2.3", 80, 0);
  EXPECT_TRUE (eq (a, in4 ("10.1.2.3", 80, 'x'), sizeof (a)));
  EXPECT_FALSE (eq (a, in4 ("10.1.2.4", 80, 0), sizeof (a)));
  EXPECT_FALSE (eq (a, in4 ("10.1.2.3", 81, 0), sizeof (a)));
  EXPECT_EQ (e.text (), "");
  EXPECT_FALSE (eq (a, a, 8));
  EXPECT_EQ (e.text (), "addreq: 8 bytes is too small for AF_INET sockaddrs\n");
  sockaddr_in u = a;
  u.sin_family = AF_UNIX;
  EXPECT_FALSE (eq (a, u, sizeof (a))); // families differ: no warning
  EXPECT_EQ (e.text (), "");
  EXPECT_FALSE (eq (u, u, sizeof (u)));
  EXPECT_EQ (e.text (), "addreq: bad sa_family 1\n");
}

} // namespace
