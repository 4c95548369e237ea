// Test doubles for the system calls behind the host's identity:
// gethostname, the resolver state and res_init, gethostbyname,
// gethostbyaddr, socket and the SIOCGIFCONF / SIOCGIFFLAGS ioctls.
//
// Include this in exactly one source of a test program: its definitions
// take the place of the C library's for the whole program (the library's
// objects are linked into it and resolve to them), so the code under test
// runs unchanged.  While hostfake::on is false every call goes on to the
// system; while it is true the calls answer from the tables below and log
// what they were asked.

#include "async/err.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <net/if.h>
#include <netdb.h>
#include <resolv.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace hostfake {

struct iface {
  std::string name;     // at most IFNAMSIZ bytes; 16 leave no zero byte
  std::string addr;     // dotted quad
  short flags = IFF_UP; // SIOCGIFFLAGS answer
  int flagserr = 0;     // errno of a failing SIOCGIFFLAGS, 0: none
  int family = AF_INET; // the record's address family
};

struct host {
  std::string name;
  std::vector<std::string> aliases;
};

bool on;

std::string hostname;
int hostname_err; // gethostname fails with this errno

struct __res_state res; // what _res shows
std::vector<std::string> search;
int res_inits; // res_init calls

std::map<std::string, host> byname, byaddr; // byaddr by dotted quad
std::vector<std::string> lookups; // "name h" and "addr 1.2.3.4", in order

std::vector<iface> ifaces;
int socket_err, ifconf_err;
int lastsock = -1;            // descriptor of the last socket opened
std::vector<int> ifconf_lens; // lengths offered to SIOCGIFCONF, in order

// Everything empty, resolver not yet initialised, fakes on.
inline void
reset ()
{
  on = true;
  hostname = "h";
  hostname_err = socket_err = ifconf_err = res_inits = 0;
  search.clear ();
  byname.clear ();
  byaddr.clear ();
  lookups.clear ();
  ifaces.clear ();
  ifconf_lens.clear ();
  memset (&res, 0, sizeof (res));
}

// Fills res.dnsrch from search (null after the last).
inline void
setsearch (std::vector<std::string> s)
{
  search = std::move (s);
  memset (res.dnsrch, 0, sizeof (res.dnsrch));
  for (size_t i = 0; i < search.size () && i < MAXDNSRCH; i++)
    res.dnsrch[i] = &search[i][0];
}

inline hostent *
answer (const std::map<std::string, host> &m, const std::string &key)
{
  static hostent h;
  static std::string name;
  static std::vector<std::string> aliases;
  static std::vector<char *> ptrs;
  static char *noaddr[] = {nullptr};
  auto i = m.find (key);
  if (i == m.end ()) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
  }
  name = i->second.name;
  aliases = i->second.aliases;
  ptrs.clear ();
  for (std::string &a : aliases)
    ptrs.push_back (&a[0]);
  ptrs.push_back (nullptr);
  h.h_name = &name[0];
  h.h_aliases = ptrs.data ();
  h.h_addrtype = AF_INET;
  h.h_length = 4;
  h.h_addr_list = noaddr;
  return &h;
}

template <class F>
F
next (const char *name)
{
  return reinterpret_cast<F> (dlsym (RTLD_NEXT, name));
}

// SIOCGIFCONF as Linux answers it: the records that fit whole.
inline int
ifconf (ifconf *ifc)
{
  ifconf_lens.push_back (ifc->ifc_len);
  if (ifconf_err) {
    errno = ifconf_err;
    return -1;
  }
  int used = 0;
  for (const iface &f : ifaces) {
    if (used + sizeof (ifreq) > size_t (ifc->ifc_len))
      break;
    ifreq r;
    memset (&r, 0, sizeof (r));
    memcpy (r.ifr_name, f.name.data (),
            std::min (f.name.size (), sizeof (r.ifr_name)));
    sockaddr_in sin;
    memset (&sin, 0, sizeof (sin));
    sin.sin_family = f.family;
    inet_aton (f.addr.c_str (), &sin.sin_addr);
    memcpy (&r.ifr_addr, &sin, sizeof (sin));
    memcpy (ifc->ifc_buf + used, &r, sizeof (r));
    used += sizeof (r);
  }
  ifc->ifc_len = used;
  return 0;
}

// SIOCGIFFLAGS: the flags, with the rest of the union scribbled over.
inline int
ifflags (ifreq *r)
{
  for (const iface &f : ifaces)
    if (!strncmp (r->ifr_name, f.name.c_str (), IFNAMSIZ)) {
      if (f.flagserr) {
        errno = f.flagserr;
        return -1;
      }
      memset (&r->ifr_ifru, 0xee, sizeof (r->ifr_ifru));
      r->ifr_flags = f.flags;
      return 0;
    }
  errno = ENODEV;
  return -1;
}

// What f writes to errfd.
template <class F>
std::string
errout (F f)
{
  FILE *t = tmpfile ();
  int saved = errfd;
  errfd = fileno (t);
  f ();
  errfd = saved;
  std::string r;
  rewind (t);
  for (int c; (c = getc (t)) != EOF;)
    r += static_cast<char> (c);
  fclose (t);
  return r;
}

} // namespace hostfake

extern "C" {

int
gethostname (char *name, size_t len) __THROW
{
  using namespace hostfake;
  if (!on)
    return next<int (*) (char *, size_t)> ("gethostname") (name, len);
  if (hostname_err) {
    errno = hostname_err;
    return -1;
  }
  // glibc: copy what fits, fail if the zero byte did not.
  size_t n = hostname.size () + 1;
  memcpy (name, hostname.c_str (), std::min (n, len));
  if (n > len) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return 0;
}

struct __res_state *
__res_state (void)
{
  if (!hostfake::on)
    return hostfake::next<struct __res_state *(*) ()> ("__res_state") ();
  return &hostfake::res;
}

int
res_init (void) __THROW
{
  using namespace hostfake;
  if (!on)
    return next<int (*) ()> ("__res_init") ();
  res_inits++;
  res.options |= RES_INIT;
  return 0;
}

struct hostent *
gethostbyname (const char *name)
{
  using namespace hostfake;
  if (!on)
    return next<hostent *(*) (const char *)> ("gethostbyname") (name);
  lookups.push_back (std::string ("name ") + name);
  return answer (byname, name);
}

struct hostent *
gethostbyaddr (const void *addr, socklen_t len, int type)
{
  using namespace hostfake;
  if (!on)
    return next<hostent *(*) (const void *, socklen_t, int)> ("gethostbyaddr") (
        addr, len, type);
  in_addr a;
  memcpy (&a, addr, sizeof (a));
  lookups.push_back (std::string ("addr ") + inet_ntoa (a) +
                     (len == 4 && type == AF_INET ? "" : " (bad)"));
  return answer (byaddr, inet_ntoa (a));
}

int
socket (int domain, int type, int protocol) __THROW
{
  using namespace hostfake;
  if (on && socket_err) {
    errno = socket_err;
    return -1;
  }
  int s = syscall (SYS_socket, domain, type, protocol);
  if (on)
    lastsock = s;
  return s;
}

int
ioctl (int fd, unsigned long req, ...) __THROW
{
  va_list ap;
  va_start (ap, req);
  void *arg = va_arg (ap, void *);
  va_end (ap);
  if (hostfake::on && req == SIOCGIFCONF)
    return hostfake::ifconf (static_cast<ifconf *> (arg));
  if (hostfake::on && req == SIOCGIFFLAGS)
    return hostfake::ifflags (static_cast<ifreq *> (arg));
  return syscall (SYS_ioctl, fd, req, arg);
}
}
