#include "socket.h"
#include "err_internal.h"
#include "init.h"
#include "suidprotect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#include <unistd.h>

static_assert (sizeof (sockaddr_un) == 110, "sun_path holds 107 characters");
static_assert (sizeof (sockaddr_in) == 16, "AF_INET addresses are 16 bytes");

enum { defbufsize = 69632 }; // 68 KiB

int sndbufsize = defbufsize;
int rcvbufsize = defbufsize;
in_addr inet_bindaddr;
u_int16_t inetsocket_lastport;

void
init_env ()
{
  if (const char *p = safegetenv ("SNDBUFSIZE"))
    sndbufsize = strtol (p, nullptr, 10);
  if (const char *p = safegetenv ("RCVBUFSIZE"))
    rcvbufsize = strtol (p, nullptr, 10);
  const char *p = safegetenv ("BINDADDR");
  if (!p || !inet_aton (p, &inet_bindaddr))
    inet_bindaddr.s_addr = htonl (INADDR_ANY);
}

// bind, or bindresvport when resv; after EADDRNOTAVAIL with the default
// bind address in place of the caller's, once more with the caller's.
static int
bindfallback (int s, sockaddr_in *sin, u_int32_t addr, bool resv)
{
  for (int tries = 0;; tries++) {
    int r = resv ? bindresvport (s, sin)
                 : bind (s, reinterpret_cast<sockaddr *> (sin), sizeof (*sin));
    if (r >= 0 || errno != EADDRNOTAVAIL || tries ||
        sin->sin_addr.s_addr == htonl (addr))
      return r;
    sin->sin_addr.s_addr = htonl (addr);
  }
}

static sockaddr_in
inetaddr (u_int16_t port, u_int32_t addr)
{
  sockaddr_in sin;
  memset (&sin, 0, sizeof (sin));
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = addr ? htonl (addr) : inet_bindaddr.s_addr;
  return sin;
}

static int
closefail (int s)
{
  close (s);
  return -1;
}

int
inetsocket (int type, u_int16_t port, u_int32_t addr)
{
  sockaddr_in sin = inetaddr (port, addr);
  int s = socket (AF_INET, type, 0);
  if (s < 0)
    return -1;
  int one = 1;
  if (port && type == SOCK_STREAM &&
      setsockopt (s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof (one)) < 0)
    fatal ("inetsocket: SO_REUSEADDR: %s\n", strerror (errno));
  if (bindfallback (s, &sin, addr, false) < 0)
    return closefail (s);
  return s;
}

int
inetsocket_resvport (int type, u_int32_t addr)
{
  sockaddr_in sin = inetaddr (0, addr);
  int s = socket (AF_INET, type, 0);
  if (s < 0)
    return -1;
  bool root = !geteuid ();
  if (bindfallback (s, &sin, addr, root) < 0)
    return closefail (s);
  if (root)
    inetsocket_lastport = ntohs (sin.sin_port);
  return s;
}

// Fills *sun for path; false with ENAMETOOLONG when it does not fit.
static bool
unixaddr (sockaddr_un *sun, const char *path)
{
  size_t len = strlen (path);
  if (len >= sizeof (sun->sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  memset (sun, 0, sizeof (*sun));
  sun->sun_family = AF_UNIX;
  memcpy (sun->sun_path, path, len);
  return true;
}

static int
unixsocket_op (const char *path, bool conn)
{
  sockaddr_un sun;
  if (!unixaddr (&sun, path))
    return -1;
  int s = socket (AF_UNIX, SOCK_STREAM, 0);
  if (s < 0)
    return -1;
  sockaddr *sa = reinterpret_cast<sockaddr *> (&sun);
  if ((conn ? connect (s, sa, sizeof (sun)) : bind (s, sa, sizeof (sun))) < 0)
    return closefail (s);
  return s;
}

int
unixsocket (const char *path)
{
  return unixsocket_op (path, false);
}

int
unixsocket_connect (const char *path)
{
  return unixsocket_op (path, true);
}

bool
isunixsocket (int fd)
{
  sockaddr_un sun;
  memset (&sun, 0, sizeof (sun));
  sun.sun_family = AF_UNIX;
  socklen_t len = sizeof (sun);
  if (getsockname (fd, reinterpret_cast<sockaddr *> (&sun), &len) < 0)
    return false;
  return sun.sun_family == AF_UNIX;
}

void
close_on_exec (int s, bool set)
{
  if (fcntl (s, F_SETFD, set ? FD_CLOEXEC : 0) < 0)
    fatal ("F_SETFD: %s\n", strerror (errno));
}

int
_make_async (int s)
{
  int n = fcntl (s, F_GETFL);
  if (n < 0 || fcntl (s, F_SETFL, n | O_NONBLOCK) < 0)
    return -1;
  return 0;
}

static void
setint (int s, int level, int opt, int val, const char *name)
{
  if (setsockopt (s, level, opt, &val, sizeof (val)) < 0)
    warn ("%s: %s\n", name, strerror (errno));
}

void
make_async (int s)
{
  if (_make_async (s) < 0)
    fatal ("O_NONBLOCK: %s\n", strerror (errno));
  int type;
  socklen_t len = sizeof (type);
  if (getsockopt (s, SOL_SOCKET, SO_TYPE, &type, &len) < 0)
    return;
  bool stream = type == SOCK_STREAM;
  setint (s, SOL_SOCKET, SO_RCVBUF, stream ? rcvbufsize : defbufsize,
          "SO_RCVBUF");
  setint (s, SOL_SOCKET, SO_SNDBUF, stream ? sndbufsize : defbufsize,
          "SO_SNDBUF");
  if (stream)
    setint (s, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
}

void
make_sync (int s)
{
  int n = fcntl (s, F_GETFL);
  if (n >= 0)
    fcntl (s, F_SETFL, n & ~O_NONBLOCK);
}

void
tcp_nodelay (int s)
{
  setint (s, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY");
  int tos = 1;
  setsockopt (s, IPPROTO_IP, IP_TOS, &tos, sizeof (tos));
}

void
tcp_abort (int fd)
{
  linger l;
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt (fd, SOL_SOCKET, SO_LINGER, &l, sizeof (l));
  close (fd);
}

bool
addreq (const sockaddr *a, const sockaddr *b, socklen_t size)
{
  if (a->sa_family != b->sa_family)
    return false;
  if (a->sa_family != AF_INET) {
    warn ("addreq: bad sa_family %d\n", a->sa_family);
    return false;
  }
  if (size < sizeof (sockaddr_in)) {
    warn ("addreq: %d bytes is too small for AF_INET sockaddrs\n", int (size));
    return false;
  }
  const sockaddr_in *x = reinterpret_cast<const sockaddr_in *> (a);
  const sockaddr_in *y = reinterpret_cast<const sockaddr_in *> (b);
  return x->sin_addr.s_addr == y->sin_addr.s_addr && x->sin_port == y->sin_port;
}

static struct socket_init {
  socket_init () { init_env (); }
} socket_init_obj INITPRIO (INITPRIO_SOCKET);
