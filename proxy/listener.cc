#include "proxy/listener.h"

#include "async/core.h"
#include "async/err.h"
#include "async/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

bool
cidrparse (const char *s, cidr *out)
{
  cidr c;
  memset (&c, 0, sizeof c);
  const char *slash = strchr (s, '/');
  str host = slash ? str (s, slash - s) : str (s);
  int max;
  if (inet_pton (AF_INET, host, c.a) == 1)
    c.family = AF_INET, max = 32;
  else if (inet_pton (AF_INET6, host, c.a) == 1)
    c.family = AF_INET6, max = 128;
  else
    return false;
  c.bits = max;
  if (slash) {
    char *end;
    long b = strtol (slash + 1, &end, 10);
    if (end == slash + 1 || *end || b < 0 || b > max)
      return false;
    c.bits = int (b);
  }
  if (out)
    *out = c;
  return true;
}

// The first bits bits of a and b are equal.
static bool
prefixeq (const unsigned char *a, const unsigned char *b, int bits)
{
  int whole = bits / 8, rest = bits % 8;
  if (memcmp (a, b, whole))
    return false;
  if (!rest)
    return true;
  unsigned char mask = 0xff << (8 - rest);
  return (a[whole] & mask) == (b[whole] & mask);
}

bool
cidrmatch (const cidr &c, const sockaddr *sa)
{
  if (sa->sa_family == AF_INET) {
    const sockaddr_in *in = reinterpret_cast<const sockaddr_in *> (sa);
    return c.family == AF_INET &&
           prefixeq (c.a,
                     reinterpret_cast<const unsigned char *> (&in->sin_addr),
                     c.bits);
  }
  if (sa->sa_family != AF_INET6)
    return false;
  const unsigned char *a =
      reinterpret_cast<const sockaddr_in6 *> (sa)->sin6_addr.s6_addr;
  static const unsigned char mapped[12] = {0, 0, 0, 0, 0,    0,
                                           0, 0, 0, 0, 0xff, 0xff};
  if (c.family == AF_INET)
    return !memcmp (a, mapped, 12) && prefixeq (c.a, a + 12, c.bits);
  return prefixeq (c.a, a, c.bits);
}

// ---- The descriptor ceiling ----

static int nopen;          // descriptors counted as open
static int lfd = -1;       // the listening socket
static bool paused;        // accepting stopped at the ceiling
static timecb_t *retrytmo; // a pause after EMFILE and the like
static vec<cidr> allowed;  // empty: loopback only
static ptr<acceptcb> onaccept;

static void acceptready ();

static void
watch (bool on)
{
  if (lfd >= 0)
    fdcb (lfd, selread, on ? wrap (acceptready) : nullptr);
}

int
fd_count ()
{
  return nopen;
}

bool
fd_room (int n)
{
  return nopen + n + fd_reserve <= maxfd;
}

bool
listener_paused ()
{
  return paused;
}

void
fd_opened ()
{
  nopen++;
}

void
fd_closed ()
{
  nopen--;
  if (paused && !retrytmo && fd_room (2)) {
    paused = false;
    watch (true);
  }
}

// ---- Accepting ----

static bool
allowedpeer (const sockaddr *sa)
{
  if (!allowed.size ()) {
    static cidr lo4, lo6;
    static bool init =
        cidrparse ("127.0.0.0/8", &lo4) && cidrparse ("::1", &lo6);
    return init && (cidrmatch (lo4, sa) || cidrmatch (lo6, sa));
  }
  for (size_t i = 0; i < allowed.size (); i++)
    if (cidrmatch (allowed[i], sa))
      return true;
  return false;
}

static void
retry ()
{
  retrytmo = nullptr;
  paused = !fd_room (2);
  watch (!paused);
}

// Accepts what is waiting, a bounded number at a time so that one busy
// listener does not starve the connections already open.
static void
acceptready ()
{
  for (int i = 0; i < 64; i++) {
    if (!fd_room (2)) {
      paused = true;
      watch (false);
      return;
    }
    sockaddr_storage ss;
    socklen_t sl = sizeof ss;
    int fd = accept4 (lfd, reinterpret_cast<sockaddr *> (&ss), &sl,
                      SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        paused = true;
        watch (false);
        retrytmo = delaycb (0, 100000000, wrap (retry));
      }
      return;
    }
    if (fd >= maxfd) { // opened behind our back: never register it
      close (fd);
      continue;
    }
    fd_opened ();
    const sockaddr *sa = reinterpret_cast<const sockaddr *> (&ss);
    (*onaccept) (fd, sa, allowedpeer (sa));
  }
}

// Descriptors open before the listener (standard ones, the log, any
// inherited) take slots too: the kernel hands out the lowest free number.
static void
countinherited ()
{
  static bool done;
  if (done)
    return;
  done = true;
  for (int fd = 0; fd < maxfd; fd++)
    if (fcntl (fd, F_GETFD) != -1)
      nopen++;
}

int
listener_start (const str &host, uint16_t port, const vec<str> &allow,
                ref<acceptcb> cb, uint16_t *bound)
{
  countinherited ();
  allowed.clear ();
  for (size_t i = 0; i < allow.size (); i++)
    cidrparse (allow[i], &allowed.push_back ());
  sockaddr_storage ss;
  memset (&ss, 0, sizeof ss);
  socklen_t sl;
  sockaddr_in *in = reinterpret_cast<sockaddr_in *> (&ss);
  sockaddr_in6 *in6 = reinterpret_cast<sockaddr_in6 *> (&ss);
  if (inet_pton (AF_INET, host, &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons (port);
    sl = sizeof *in;
  } else if (inet_pton (AF_INET6, host, &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons (port);
    sl = sizeof *in6;
  } else {
    errno = EINVAL;
    return -1;
  }
  int fd = socket (ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  int one = 1;
  setsockopt (fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind (fd, reinterpret_cast<sockaddr *> (&ss), sl) < 0 ||
      listen (fd, 1024) < 0 ||
      getsockname (fd, reinterpret_cast<sockaddr *> (&ss), &sl) < 0) {
    int e = errno;
    close (fd);
    errno = e;
    return -1;
  }
  *bound = ntohs (ss.ss_family == AF_INET ? in->sin_port : in6->sin6_port);
  lfd = fd;
  fd_opened ();
  onaccept = cb;
  paused = false;
  watch (true);
  return 0;
}

void
listener_stop ()
{
  if (lfd < 0)
    return;
  watch (false);
  timecb_remove (retrytmo);
  retrytmo = nullptr;
  close (lfd);
  lfd = -1;
  fd_closed ();
  paused = false;
  onaccept = nullptr;
}
