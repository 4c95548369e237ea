#include "myname.h"

#include "err_internal.h"
#include "myaddrs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <resolv.h>
#include <unistd.h>

namespace {

bool
dotted (const char *name)
{
  return strchr (name, '.');
}

// The official name if it has a dot, else the first alias that has one.
const char *
dottedname (const hostent *h)
{
  if (!h)
    return nullptr;
  if (dotted (h->h_name))
    return h->h_name;
  for (char **a = h->h_aliases; a && *a; a++)
    if (dotted (*a))
      return *a;
  return nullptr;
}

void
resinit ()
{
  if (!(_res.options & RES_INIT))
    res_init ();
}

// A dotted name the resolver gives for one of our addresses.  127.0.0.1
// would only ever say "localhost".
const char *
addrname ()
{
  vec<in_addr> av;
  if (!myipaddrs (&av))
    return nullptr;
  for (const in_addr *a = av.base (); a < av.lim (); a++) {
    if (a->s_addr == htonl (INADDR_LOOPBACK))
      continue;
    if (const char *n = dottedname (gethostbyaddr (a, sizeof (*a), AF_INET)))
      return n;
  }
  return nullptr;
}

} // namespace

str
mydomain ()
{
  resinit ();
  return str (_res.dnsrch[0]);
}

str
myname ()
{
  // Linux names are at most HOST_NAME_MAX (64) bytes: ask for one more so
  // that the longest arrives whole with its zero byte (glibc fails with
  // ENAMETOOLONG rather than truncate); the last byte terminates anyway.
  char name[HOST_NAME_MAX + 2];
  name[sizeof (name) - 1] = '\0';
  if (gethostname (name, sizeof (name) - 1) < 0)
    panic ("gethostname: %m\n");
  if (dotted (name))
    return name;

  resinit ();
  const char *dom = _res.dnsrch[0];
  if (dom && *dom)
    return strbuf ("%s.%s", name, dom);

  if (const char *n = dottedname (gethostbyname (name)))
    return n;
  if (const char *n = addrname ())
    return n;

  warn ("cannot find fully qualified domain name of this host\n");
  warn ("set system name to fully-qualified domain name or fix "
        "/etc/resolv.conf\n");
  return str ();
}
