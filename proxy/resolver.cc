// The proxy's resolver: c-ares on the loop.
//
// c-ares tells sockstate which of its sockets to watch; the loop's fdcb
// callbacks hand readiness back through ares_process_fd, and one timer,
// set from ares_timeout after every call into c-ares, lets it retry and
// time out.  Each name has one dnsname record: a query in flight (with the
// requests waiting for it) or a cached answer (in the LRU queue).  Answers
// never reach a caller from inside c-ares or dns_lookup: requests with
// their answer go on the ready queue, which a zero-delay timer delivers.
#include "proxy/resolver.h"

#include "async/core.h"
#include "async/err.h"
#include "async/ihash.h"
#include "async/vec.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <ctime>

// Debian's i386 libcares keeps a 32-bit time_t while this program is built
// with 64-bit time, so its struct timeval is two 32-bit longs: ares_timeout
// is called under a declaration with that layout.
#if defined(__i386__) && defined(__USE_TIME_BITS64)
struct arestv {
  long tv_sec;
  long tv_usec;
};
extern "C" arestv *ares_timeout_tv32 (ares_channel, arestv *,
                                      arestv *) __asm__("ares_timeout");
#define ares_timeout_lib ares_timeout_tv32
#else
typedef timeval arestv;
#define ares_timeout_lib ares_timeout
#endif

enum { dns_namemax = 254 }; // 253 characters and a final dot

namespace {
struct dnsname;
}

struct dnsreq {
  const ref<dnscb> cb;
  dnsname *n = nullptr;    // the name whose query it waits for; null once ready
  ptr<dnsresult> res;      // its answer, once ready
  uint64_t seq = 0;        // order on the ready queue
  list_entry<dnsreq> link; // in n->waiters, or on the ready queue
  explicit dnsreq (const ref<dnscb> &c) : cb (c) {}
};

namespace {
struct dnsname {
  char name[dns_namemax + 1];          // lower case, as asked
  bool flight = false;                 // a query is out; else cached
  list<dnsreq, &dnsreq::link> waiters; // while in flight; may be empty
  ptr<dnsresult> res;                  // the cached answer
  int64_t expires = 0;                 // monotonic ms, for the cached answer
  ihash_entry<dnsname> hlink;
  list_entry<dnsname> lru; // cached ones, least recently used first
};

// A list with a tail: FIFO order, removal anywhere in O(1).
template <class T, list_entry<T> T::*f>
struct tailq {
  T *first = nullptr;
  T **last = &first; // the next field of the last element, or &first

  void insert_tail (T *e)
  {
    (e->*f).next = nullptr;
    (e->*f).pprev = last;
    *last = e;
    last = &(e->*f).next;
  }
  void remove (T *e)
  {
    list_entry<T> &l = e->*f;
    if (l.next)
      (l.next->*f).pprev = l.pprev;
    else
      last = l.pprev;
    *l.pprev = l.next;
  }
};

struct state {
  ares_channel ch = nullptr;   // null while stopped
  timecb_t *tmo = nullptr;     // c-ares's next timeout
  timecb_t *deliver = nullptr; // runs the ready queue
  vec<int, 4> fds;             // descriptors watched for c-ares
  uint64_t seq = 0;            // last sequence number handed out
  size_t ncached = 0;          // names in the LRU queue
  ihash_core<dnsname, &dnsname::hlink> names;
  tailq<dnsname, &dnsname::lru> lru;
  tailq<dnsreq, &dnsreq::link> ready;
};
state st;
} // namespace

static int64_t
now_ms ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return int64_t (ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static hash_t
namehash (const char *s)
{
  u_int32_t h = 2166136261u; // FNV-1a
  for (; *s; s++)
    h = (h ^ u_char (*s)) * 16777619u;
  return hash_t (h);
}

static dnsname *
findname (const char *key)
{
  hash_t h = namehash (key);
  for (dnsname *n = st.names.lookup_val (h); n; n = st.names.next_val (n))
    if (!strcmp (n->name, key))
      return n;
  return nullptr;
}

static void
forgetname (dnsname *n)
{
  if (!n->flight) {
    st.lru.remove (n);
    st.ncached--;
  }
  st.names.remove (n);
  delete n;
}

static ref<dnsresult>
newresult (int err)
{
  ref<dnsresult> r = new refcounted<dnsresult> ();
  memset (r.get (), 0, sizeof (dnsresult));
  r->err = err;
  return r;
}

static void deliver ();

// Puts r, answered, on the ready queue.
static void
queue (dnsreq *r, const ref<dnsresult> &res)
{
  r->n = nullptr;
  r->res = res;
  r->seq = ++st.seq;
  st.ready.insert_tail (r);
  if (!st.deliver)
    st.deliver = delaycb (0, 0, wrap (deliver));
}

static void
deliverone (dnsreq *r)
{
  st.ready.remove (r);
  ref<dnscb> cb = r->cb;
  ref<dnsresult> res (r->res);
  delete r;
  (*cb) (res);
}

// Delivers what was ready when it started; answers queued by the
// callbacks wait for the next turn of the loop.
static void
deliver ()
{
  st.deliver = nullptr;
  uint64_t last = st.seq;
  while (st.ready.first && st.ready.first->seq <= last)
    deliverone (st.ready.first);
}

// Sets the timer to c-ares's next timeout, rounded up to the millisecond.
static void ontimeout ();
static void
rearm ()
{
  timecb_remove (st.tmo);
  st.tmo = nullptr;
  arestv tv;
  arestv *t = st.ch ? ares_timeout_lib (st.ch, nullptr, &tv) : nullptr;
  if (!t)
    return;
  time_t sec = t->tv_sec;
  long ms = (t->tv_usec + 999) / 1000;
  if (ms >= 1000) {
    sec++;
    ms -= 1000;
  }
  st.tmo = delaycb (sec, u_int32_t (ms) * 1000000, wrap (ontimeout));
}

static void
ontimeout ()
{
  st.tmo = nullptr;
  ares_process_fd (st.ch, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  rearm ();
}

static void
onready (int fd, int op)
{
  ares_process_fd (st.ch, op == selread ? fd : ARES_SOCKET_BAD,
                   op == selwrite ? fd : ARES_SOCKET_BAD);
  rearm ();
}

static void
sockstate (void *, ares_socket_t fd, int rd, int wr)
{
  fdcb (fd, selread,
        rd ? cbv::ptr (wrap (onready, fd, int (selread))) : nullptr);
  fdcb (fd, selwrite,
        wr ? cbv::ptr (wrap (onready, fd, int (selwrite))) : nullptr);
  size_t i = 0;
  while (i < st.fds.size () && st.fds[i] != fd)
    i++;
  if ((rd || wr) && i == st.fds.size ())
    st.fds.push_back (fd);
  else if (!rd && !wr && i < st.fds.size ()) {
    st.fds[i] = st.fds.back ();
    st.fds.pop_back ();
  }
}

// A socket the loop cannot watch (beyond its descriptor table) is refused:
// c-ares closes it and the query fails instead of the process.
static int
sockcreate (ares_socket_t fd, int, void *)
{
  return fd >= 0 && fd < maxfd ? 0 : -1;
}

// The lowest TTL in the answer, CNAMEs included; a negative one as 0.
static int
answerttl (const ares_addrinfo *ai)
{
  int ttl = dns_maxttl;
  for (const ares_addrinfo_node *p = ai->nodes; p; p = p->ai_next)
    if (p->ai_ttl < ttl)
      ttl = p->ai_ttl;
  for (const ares_addrinfo_cname *c = ai->cnames; c; c = c->next)
    if (c->ttl < ttl)
      ttl = c->ttl;
  return ttl < 0 ? 0 : ttl;
}

// Collects the distinct addresses of one family, at most dns_maxaddrs.
static int
collect (const ares_addrinfo *ai, int family, socklen_t len,
         const sockaddr **out)
{
  int n = 0;
  for (const ares_addrinfo_node *p = ai->nodes; p && n < dns_maxaddrs;
       p = p->ai_next) {
    if (p->ai_family != family || p->ai_addrlen < len)
      continue;
    bool dup = false;
    for (int i = 0; i < n && !dup; i++)
      dup = family == AF_INET
                ? !memcmp (&((const sockaddr_in *) out[i])->sin_addr,
                           &((const sockaddr_in *) p->ai_addr)->sin_addr, 4)
                : !memcmp (&((const sockaddr_in6 *) out[i])->sin6_addr,
                           &((const sockaddr_in6 *) p->ai_addr)->sin6_addr, 16);
    if (!dup)
      out[n++] = p->ai_addr;
  }
  return n;
}

// IPv4 first, but room kept for up to two IPv6 addresses, so that a host
// with many IPv4 addresses still offers IPv6 to fall back on.
static void
fill (dnsresult *res, const ares_addrinfo *ai)
{
  const sockaddr *v4[dns_maxaddrs], *v6[dns_maxaddrs];
  int n4 = collect (ai, AF_INET, sizeof (sockaddr_in), v4);
  int n6 = collect (ai, AF_INET6, sizeof (sockaddr_in6), v6);
  int k4 = n4 < dns_maxaddrs - (n6 < 2 ? n6 : 2)
               ? n4
               : dns_maxaddrs - (n6 < 2 ? n6 : 2);
  int k6 = n6 < dns_maxaddrs - k4 ? n6 : dns_maxaddrs - k4;
  for (int i = 0; i < k4; i++) {
    memcpy (&res->addrs[res->naddrs], v4[i], sizeof (sockaddr_in));
    reinterpret_cast<sockaddr_in *> (&res->addrs[res->naddrs++])->sin_port = 0;
  }
  for (int i = 0; i < k6; i++) {
    memcpy (&res->addrs[res->naddrs], v6[i], sizeof (sockaddr_in6));
    reinterpret_cast<sockaddr_in6 *> (&res->addrs[res->naddrs++])->sin6_port =
        0;
  }
}

// n, its query answered, cached for ttl seconds (or forgotten if 0), the
// least recently used answer dropped beyond dns_cachemax.
static void
keep (dnsname *n, const ref<dnsresult> &res, int ttl)
{
  n->flight = false;
  if (!ttl) {
    st.names.remove (n);
    delete n;
    return;
  }
  n->res = res;
  n->expires = now_ms () + int64_t (ttl) * 1000;
  st.lru.insert_tail (n);
  if (++st.ncached > dns_cachemax)
    forgetname (st.lru.first);
}

// c-ares's answer for n: from ares_process_fd, from inside
// ares_getaddrinfo (hosts file, immediate failures) or from ares_destroy.
// Only queues; no caller's code runs here.
static void
answered (void *arg, int status, int, ares_addrinfo *ai)
{
  dnsname *n = static_cast<dnsname *> (arg);
  ref<dnsresult> res = newresult (status);
  int ttl = 0;
  if (ai) {
    if (!status) {
      fill (res, ai);
      ttl = answerttl (ai);
    }
    ares_freeaddrinfo (ai);
  }
  if (!res->err && !res->naddrs)
    res->err = ARES_ENODATA;
  if (res->err == ARES_ENOTFOUND || res->err == ARES_ENODATA)
    ttl = dns_negttl;
  else if (res->err)
    ttl = 0;
  while (dnsreq *r = n->waiters.first) {
    n->waiters.remove (r);
    queue (r, res);
  }
  keep (n, res, ttl);
}

// An IPv4 or IPv6 address literal ("[::1]" too) answered without a query.
static ptr<dnsresult>
literal (const char *host)
{
  char buf[INET6_ADDRSTRLEN];
  size_t len = strnlen (host, sizeof buf + 2);
  if (host[0] == '[') {
    if (len < 3 || len - 2 >= sizeof buf || host[len - 1] != ']')
      return nullptr;
    memcpy (buf, host + 1, len - 2);
    buf[len - 2] = '\0';
  }
  ref<dnsresult> res = newresult (0);
  sockaddr_in *sin = reinterpret_cast<sockaddr_in *> (&res->addrs[0]);
  sockaddr_in6 *sin6 = reinterpret_cast<sockaddr_in6 *> (&res->addrs[0]);
  if (host[0] != '[' && inet_pton (AF_INET, host, &sin->sin_addr) == 1)
    sin->sin_family = AF_INET;
  else if (inet_pton (AF_INET6, host[0] == '[' ? buf : host,
                      &sin6->sin6_addr) == 1)
    sin6->sin6_family = AF_INET6;
  else
    return nullptr;
  res->naddrs = 1;
  return res;
}

// Lower-cases host into key; 0 if it is no host name (empty, too long,
// characters other than letters, digits, '-', '_' and '.').
static bool
hostkey (const char *host, char *key)
{
  size_t i = 0;
  for (; host[i]; i++) {
    char c = host[i];
    if (i == dns_namemax)
      return false;
    if (c >= 'A' && c <= 'Z')
      c += 'a' - 'A';
    else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.'))
      return false;
    key[i] = c;
  }
  key[i] = '\0';
  return i > 0 && (i < dns_namemax || key[i - 1] == '.');
}

// Sends n's query; r is already waiting on it.  The answer may come before
// ares_getaddrinfo returns, after which n is gone.
static void
ask (dnsname *n)
{
  n->flight = true;
  ares_addrinfo_hints hints;
  memset (&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ARES_AI_NOSORT; // we order; no probe socket per address
  ares_getaddrinfo (st.ch, n->name, nullptr, &hints, answered, n);
  rearm ();
}

// r for the name key: the cached answer while fresh, else a place among
// the requests waiting for its query, which is sent if none is out.
static void
await (dnsreq *r, const char *key)
{
  dnsname *n = findname (key);
  if (n && !n->flight && now_ms () < n->expires) {
    st.lru.remove (n);
    st.lru.insert_tail (n);
    queue (r, ref<dnsresult> (n->res));
    return;
  }
  if (n && !n->flight) { // expired
    forgetname (n);
    n = nullptr;
  }
  if (!n) {
    n = new dnsname;
    strcpy (n->name, key);
    st.names.insert_val (n, namehash (key));
  }
  r->n = n;
  n->waiters.insert_head (r);
  if (!n->flight)
    ask (n);
}

dnsreq *
dns_lookup (const char *host, ref<dnscb> cb)
{
  dnsreq *r = new dnsreq (cb);
  char key[dns_namemax + 1];
  if (ptr<dnsresult> lit = literal (host))
    queue (r, ref<dnsresult> (lit));
  else if (!hostkey (host, key))
    queue (r, newresult (ARES_EBADNAME));
  else if (!st.ch)
    queue (r, newresult (ARES_ENOTINITIALIZED));
  else
    await (r, key);
  return r;
}

void
dns_cancel (dnsreq *r)
{
  if (!r)
    return;
  if (r->n)
    r->n->waiters.remove (r);
  else
    st.ready.remove (r);
  delete r;
}

static int
start (const char *servers, int timeout_ms, int tries)
{
  if (st.ch)
    return 0;
  if (timeout_ms <= 0 || tries <= 0) {
    warnobj (0) ("dns: bad timeout %d ms or tries %d\n", timeout_ms, tries);
    return -1;
  }
  int e = ares_library_init (ARES_LIB_INIT_ALL);
  if (e) {
    warnobj (0) ("dns: %s\n", ares_strerror (e));
    return -1;
  }
  ares_options o;
  memset (&o, 0, sizeof o);
  int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES |
             ARES_OPT_LOOKUPS;
  o.sock_state_cb = sockstate;
  o.timeout = timeout_ms;
  o.tries = tries;
  char lookups[] = "fb"; // /etc/hosts, then DNS
  o.lookups = lookups;
  if (servers)
    mask |= ARES_OPT_DOMAINS; // none: names as given
  ares_channel ch;
  if ((e = ares_init_options (&ch, &o, mask))) {
    warnobj (0) ("dns: %s\n", ares_strerror (e));
    ares_library_cleanup ();
    return -1;
  }
  ares_set_socket_callback (ch, sockcreate, nullptr);
  if (servers && (e = ares_set_servers_ports_csv (ch, servers))) {
    warnobj (0) ("dns: servers %s: %s\n", servers, ares_strerror (e));
    ares_destroy (ch);
    ares_library_cleanup ();
    return -1;
  }
  st.ch = ch;
  return 0;
}

int
dns_init (int timeout_ms)
{
  return start (nullptr, timeout_ms, 2);
}

int
dns_init_servers (const char *servers, int timeout_ms, int tries)
{
  return start (servers, timeout_ms, tries);
}

void
dns_shutdown ()
{
  if (st.ch) {
    ares_destroy (st.ch); // queries in flight answer ARES_EDESTRUCTION
    st.ch = nullptr;
    ares_library_cleanup ();
  }
  timecb_remove (st.tmo);
  st.tmo = nullptr;
  while (dnsname *n = st.lru.first)
    forgetname (n);
  // Callbacks may start lookups (answered with an error) or cancel others.
  while (st.ready.first)
    deliverone (st.ready.first);
  timecb_remove (st.deliver);
  st.deliver = nullptr;
}

const char *
dns_strerror (int err)
{
  return err ? ares_strerror (err) : "no error";
}

void
dns_check ()
{
  st.names.check ();
  size_t nnames = 0, ncached = 0;
  st.names.traverse ([&] (dnsname *n) {
    nnames++;
    if (findname (n->name) != n)
      panic ("dns: %s stored twice\n", n->name);
    if (n->flight != !n->res)
      panic ("dns: %s both cached and in flight\n", n->name);
    for (dnsreq *r = n->waiters.first; r; r = r->link.next)
      if (r->n != n || r->res)
        panic ("dns: a request on %s's query is astray\n", n->name);
    if (n->flight && !st.ch)
      panic ("dns: %s in flight with no channel\n", n->name);
  });
  dnsname **lp = &st.lru.first;
  for (dnsname *n = st.lru.first; n; n = n->lru.next, ncached++) {
    if (n->lru.pprev != lp || n->flight)
      panic ("dns: LRU queue broken at %s\n", n->name);
    lp = &n->lru.next;
  }
  if (lp != st.lru.last || ncached != st.ncached || ncached > dns_cachemax ||
      ncached > nnames)
    panic ("dns: %zu cached, %zu counted\n", ncached, st.ncached);
  dnsreq **rp = &st.ready.first;
  uint64_t seq = 0;
  for (dnsreq *r = st.ready.first; r; r = r->link.next) {
    if (r->link.pprev != rp || r->n || !r->res || r->seq <= seq ||
        r->seq > st.seq)
      panic ("dns: ready queue broken\n");
    seq = r->seq;
    rp = &r->link.next;
  }
  if (rp != st.ready.last || (st.ready.first && !st.deliver))
    panic ("dns: ready queue not scheduled\n");
  if (!st.ch && (st.fds.size () || st.tmo))
    panic ("dns: %zu descriptors watched when stopped\n", st.fds.size ());
}
