#include "myaddrs.h"

#include "err_internal.h"
#include "ihash.h"
#include "malloc.h"
#include "str.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The interface list is walked one struct ifreq at a time, whatever the
// address lengths inside.
static_assert (sizeof (ifreq) == 16 + (sizeof (void *) == 8 ? 24 : 16),
               "interface records: a 16-byte name and the request union");

namespace {

// Bytes offered to SIOCGIFCONF; kept across calls and only grown.
u_int len = 512;

// The query gives up from this size on.
constexpr u_int ceiling = 65536;
// The doubling stops here so that a host that never fits cannot wrap len
// to 0 (an endless loop) or past an int's range after many failed calls.
constexpr u_int lenmax = 1 << 20;

// The interface list in a new buffer (*bufp, which the caller frees), its
// length in *used; false after a warning.
bool
getifconf (int s, char **bufp, int *used)
{
  char *buf = nullptr;
  ifconf ifc;
  for (;;) {
    ifc.ifc_len = len;
    free (buf);
    buf = static_cast<char *> (xmalloc (len));
    ifc.ifc_buf = buf;
    if (ioctl (s, SIOCGIFCONF, &ifc) < 0) {
      warn ("SIOCGIFCONF: %m\n");
      free (buf);
      return false;
    }
    if (ifc.ifc_len + 3 * sizeof (ifreq) < len)
      break;
    if (len < lenmax)
      len *= 2;
    if (len >= ceiling) {
      warn ("SIOCGIFCONF: buffer too large\n");
      free (buf);
      return false;
    }
  }
  *bufp = buf;
  *used = ifc.ifc_len;
  return true;
}

} // namespace

bool
myipaddrs (vec<in_addr> *res)
{
  int s = socket (AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    warn ("socket: %m\n");
    return false;
  }
  errno = 0;
  char *buf;
  int used;
  if (!getifconf (s, &buf, &used)) {
    close (s);
    return false;
  }

  res->clear ();
  bhash<in_addr> seen;
  // Whole records only: a partial one at the end is not read.
  for (char *p = buf; p + sizeof (ifreq) <= buf + used; p += sizeof (ifreq)) {
    ifreq ifr;
    memcpy (&ifr, p, sizeof (ifr));
    if (ifr.ifr_addr.sa_family != AF_INET)
      continue;
    in_addr a;
    memcpy (&a, &reinterpret_cast<sockaddr_in *> (&ifr.ifr_addr)->sin_addr,
            sizeof (a));
    // The flags overwrite the address in the copy.
    if (ioctl (s, SIOCGIFFLAGS, &ifr) < 0) {
      warn ("SIOCGIFFLAGS (%.*s): %m\n", IFNAMSIZ, ifr.ifr_name);
      continue;
    }
    if ((ifr.ifr_flags & IFF_UP) && seen.insert (a))
      res->push_back (a);
  }
  free (buf);
  close (s);
  return true;
}
