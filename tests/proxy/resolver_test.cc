// The resolver against a fake name server on 127.0.0.1 (UDP and TCP on one
// port, run by the same loop): answers, failures, the cache and its TTLs,
// cancellation at every stage, literals, /etc/hosts, and a random
// workload checked against a model.
#include "proxy/resolver.h"

#include "async/core.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ares.h>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// How the fake server treats a name.
enum kind { answer, nxdomain, drop, truncate, garbage, badrr, servfail };
struct rule {
  kind k;
  std::vector<std::string> a, aaaa; // addresses, as text
  uint32_t ttl;
  std::string cname; // if set: a CNAME (ttl) to it, addresses at TTL 300
  rule (kind k = answer, std::vector<std::string> a = {},
        std::vector<std::string> aaaa = {}, uint32_t ttl = 300,
        std::string cname = "")
      : k (k), a (a), aaaa (aaaa), ttl (ttl), cname (cname)
  {
  }
};

std::string
wirename (const std::string &name)
{
  std::string w;
  for (size_t p = 0, d; p < name.size (); p = d + 1) {
    d = name.find ('.', p);
    d = d == std::string::npos ? name.size () : d;
    w += char (d - p) + name.substr (p, d - p);
  }
  return w + '\0';
}

std::string
ttlbytes (uint32_t ttl)
{
  std::string b;
  for (int s = 24; s >= 0; s -= 8)
    b += char (ttl >> s);
  return b;
}

struct fakedns {
  int udp = -1, tcp = -1, port = 0;
  std::map<std::string, rule> rules; // others: NXDOMAIN
  std::map<std::string, int> count;  // queries per name, all types
  int tcpqueries = 0;
  std::map<int, std::string> conns; // TCP connection -> bytes so far

  bool start ()
  {
    for (int i = 0; i < 20 && tcp < 0; i++) {
      udp = socket (AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      sockaddr_in sin = {};
      sin.sin_family = AF_INET;
      sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
      socklen_t len = sizeof sin;
      if (bind (udp, (sockaddr *) &sin, len) ||
          getsockname (udp, (sockaddr *) &sin, &len))
        return false;
      port = ntohs (sin.sin_port);
      tcp = socket (AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      int one = 1;
      setsockopt (tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (bind (tcp, (sockaddr *) &sin, len) || listen (tcp, 16)) {
        close (tcp), close (udp);
        tcp = udp = -1;
      }
    }
    if (tcp < 0)
      return false;
    fdcb (udp, selread, wrap (this, &fakedns::onudp));
    fdcb (tcp, selread, wrap (this, &fakedns::onaccept));
    return true;
  }
  void stop ()
  {
    for (auto &c : conns)
      fdcb (c.first, selread, nullptr), close (c.first);
    conns.clear ();
    if (udp >= 0)
      fdcb (udp, selread, nullptr), close (udp);
    if (tcp >= 0)
      fdcb (tcp, selread, nullptr), close (tcp);
    udp = tcp = -1;
  }
  std::string addr () const { return "127.0.0.1:" + std::to_string (port); }

  // The reply to query q ("" for none); tc: over UDP, where truncate
  // applies.
  std::string reply (const std::string &q, bool udpish)
  {
    if (q.size () < 12)
      return "";
    size_t p = 12;
    std::string name;
    while (p < q.size () && q[p] && u_char (q[p]) < 64) {
      size_t l = u_char (q[p]);
      if (p + 1 + l > q.size ())
        return "";
      name += (name.empty () ? "" : ".") + q.substr (p + 1, l);
      p += 1 + l;
    }
    if (p + 5 > q.size ())
      return "";
    for (char &c : name)
      c = char (tolower (u_char (c)));
    int type = u_char (q[p + 1]) << 8 | u_char (q[p + 2]);
    std::string question = q.substr (12, p + 5 - 12);
    count[name]++;
    auto it = rules.find (name);
    rule r = it != rules.end () ? it->second : rule{nxdomain, {}, {}, 0};
    if (r.k == drop)
      return "";
    if (r.k == garbage)
      return q.substr (0, 2) + std::string ("\x81\x80\xff\xff\x00", 5);
    int rcode = r.k == nxdomain ? 3 : r.k == servfail ? 2 : 0;
    bool tc = r.k == truncate && udpish;
    std::vector<std::string> rdata;
    for (auto &s : (type == 1 ? r.a : type == 28 ? r.aaaa : rdata))
      if (!tc && !rcode) {
        char b[16];
        inet_pton (type == 1 ? AF_INET : AF_INET6, s.c_str (), b);
        rdata.push_back (std::string (b, type == 1 ? 4 : 16));
      }
    std::string m = q.substr (0, 2);
    bool alias = !r.cname.empty () && !rdata.empty ();
    m += char (0x84 | (tc ? 2 : 0) | (q[2] & 1));
    m += char (0x80 | rcode);
    m += std::string ("\0\1\0", 3) + char (rdata.size () + alias) +
         std::string (4, '\0') + question;
    std::string owner ("\xc0\x0c", 2);
    if (alias) {
      std::string target = wirename (r.cname);
      m += owner + std::string ("\0\5\0\1", 4) + ttlbytes (r.ttl) + '\0' +
           char (target.size ()) + target;
      owner = target;
    }
    for (auto &d : rdata)
      m += owner + '\0' + char (type) + std::string ("\0\1", 2) +
           ttlbytes (alias ? 300 : r.ttl) + '\0' + char (d.size ()) + d;
    if (r.k == badrr) // one answer announced, a record cut short
      m = m.substr (0, 7) + '\1' + m.substr (8) + "\xc0\x0c\0";
    return m;
  }
  void onudp ()
  {
    char buf[2048];
    sockaddr_storage from;
    socklen_t flen = sizeof from;
    ssize_t n;
    while ((n = recvfrom (udp, buf, sizeof buf, 0, (sockaddr *) &from, &flen)) >
           0) {
      std::string m = reply (std::string (buf, size_t (n)), true);
      if (!m.empty ())
        sendto (udp, m.data (), m.size (), 0, (sockaddr *) &from, flen);
      flen = sizeof from;
    }
  }
  void onaccept ()
  {
    int c = accept4 (tcp, nullptr, nullptr, SOCK_NONBLOCK);
    if (c < 0)
      return;
    conns[c];
    fdcb (c, selread, wrap (this, &fakedns::ontcp, c));
  }
  void ontcp (int c)
  {
    char buf[4096];
    ssize_t n = read (c, buf, sizeof buf);
    if (n <= 0) {
      fdcb (c, selread, nullptr);
      close (c);
      conns.erase (c);
      return;
    }
    std::string &in = conns[c];
    in.append (buf, size_t (n));
    while (in.size () >= 2) {
      size_t len = u_char (in[0]) << 8 | u_char (in[1]);
      if (in.size () < 2 + len)
        break;
      tcpqueries++;
      std::string m = reply (in.substr (2, len), false);
      in.erase (0, 2 + len);
      if (m.empty ())
        continue;
      m = std::string (1, char (m.size () >> 8)) + char (m.size ()) + m;
      EXPECT_EQ (write (c, m.data (), m.size ()), ssize_t (m.size ()));
    }
  }
};

// What one request's callback saw.
struct got {
  int calls = 0;
  int err = -1;
  std::vector<std::string> addrs; // as text, in the order given
};

bool inlookup; // set while dns_lookup runs: no callback may run then

void
record (got *g, const dnsresult *r)
{
  EXPECT_FALSE (inlookup) << "callback from inside dns_lookup";
  g->calls++;
  g->err = r->err;
  g->addrs.clear ();
  EXPECT_TRUE (r->err ? r->naddrs == 0 : r->naddrs > 0);
  EXPECT_LE (r->naddrs, int (dns_maxaddrs));
  for (int i = 0; i < r->naddrs; i++) {
    char b[INET6_ADDRSTRLEN];
    const sockaddr_storage &s = r->addrs[i];
    if (s.ss_family == AF_INET) {
      auto *sin = (const sockaddr_in *) &s;
      EXPECT_EQ (sin->sin_port, 0);
      inet_ntop (AF_INET, &sin->sin_addr, b, sizeof b);
    } else {
      auto *sin6 = (const sockaddr_in6 *) &s;
      EXPECT_EQ (s.ss_family, AF_INET6);
      EXPECT_EQ (sin6->sin6_port, 0);
      inet_ntop (AF_INET6, &sin6->sin6_addr, b, sizeof b);
    }
    g->addrs.push_back (b);
  }
}

dnsreq *
lookup (const char *host, got *g)
{
  inlookup = true;
  dnsreq *r = dns_lookup (host, wrap (record, g));
  inlookup = false;
  return r;
}

void
setflag (bool *f)
{
  *f = true;
}

// Runs the loop until done () holds or ms milliseconds have passed, in
// iterations of at most 5 ms (acheck waits in select after the timers).
template <class F>
bool
rununtil (F done, long ms)
{
  bool over = false;
  timecb_t *t = delaycb (ms / 1000, u_int32_t (ms % 1000) * 1000000,
                         wrap (setflag, &over));
  while (!done () && !over) {
    bool stepped = false;
    timecb_t *s = delaycb (0, 5000000, wrap (setflag, &stepped));
    acheck ();
    if (!stepped)
      timecb_remove (s);
  }
  if (!over)
    timecb_remove (t);
  __dns_check ();
  return done ();
}

// Waits up to 5 s for done (); if it never comes, the resolver is shut
// down so that no callback writes into the caller's frame after it.
template <class F>
bool
settle (F done)
{
  if (rununtil (done, 5000))
    return true;
  dns_shutdown ();
  return false;
}

void
sleepms (long ms)
{
  rununtil ([] { return false; }, ms);
}

class Resolver : public ::testing::Test {
protected:
  fakedns dns;

  void SetUp () override
  {
    ASSERT_TRUE (dns.start ());
    dns.rules["a.test"] = {answer, {"10.0.0.1", "10.0.0.2"}, {}, 300};
    dns.rules["six.test"] = {answer, {}, {"2001:db8::6"}, 300};
    dns.rules["both.test"] = {answer, {"10.0.0.3"}, {"2001:db8::3"}, 300};
    dns.rules["short.test"] = {answer, {"10.0.0.4"}, {}, 1};
    dns.rules["alias.test"] = {answer, {"10.0.0.8"}, {}, 1, "real.test"};
    dns.rules["none.test"] = {answer, {}, {}, 300};
    dns.rules["drop.test"] = {drop, {}, {}, 0};
    dns.rules["tc.test"] = {truncate, {"10.0.0.5"}, {}, 300};
    dns.rules["junk.test"] = {garbage, {}, {}, 0};
    dns.rules["badrr.test"] = {badrr, {}, {}, 300};
    dns.rules["fail.test"] = {servfail, {}, {}, 0};
    ASSERT_EQ (dns_init_servers (dns.addr ().c_str (), 150, 1), 0);
  }
  void TearDown () override
  {
    dns_shutdown ();
    __dns_check ();
    dns.stop ();
    __core_check ();
  }
  got resolve (const char *host)
  {
    got g;
    lookup (host, &g);
    EXPECT_TRUE (settle ([&] { return g.calls > 0; })) << host;
    EXPECT_EQ (g.calls, 1);
    return g;
  }
};

typedef std::vector<std::string> addrs;

TEST_F (Resolver, AnswersAndFailures)
{
  EXPECT_EQ (resolve ("a.test").addrs, addrs ({"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ (resolve ("A.Test").addrs, addrs ({"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ (resolve ("six.test").addrs, addrs ({"2001:db8::6"}));
  EXPECT_EQ (resolve ("both.test").addrs, addrs ({"10.0.0.3", "2001:db8::3"}));
  // Truncated over UDP: asked again over TCP.
  EXPECT_EQ (resolve ("tc.test").addrs, addrs ({"10.0.0.5"}));
  EXPECT_GT (dns.tcpqueries, 0);
  EXPECT_EQ (resolve ("nx.test").err, ARES_ENOTFOUND);
  EXPECT_EQ (resolve ("none.test").err, ARES_ENODATA);
  EXPECT_EQ (resolve ("drop.test").err, ARES_ETIMEOUT);
  EXPECT_NE (resolve ("fail.test").err, 0);
  EXPECT_EQ (resolve ("badrr.test").err, ARES_EBADRESP);
  EXPECT_NE (resolve ("junk.test").err, 0);
  EXPECT_STREQ (dns_strerror (ARES_ETIMEOUT), ares_strerror (ARES_ETIMEOUT));
}

TEST_F (Resolver, LiteralsHostsAndBadNames)
{
  EXPECT_EQ (resolve ("192.0.2.1").addrs, addrs ({"192.0.2.1"}));
  EXPECT_EQ (resolve ("2001:db8::1").addrs, addrs ({"2001:db8::1"}));
  EXPECT_EQ (resolve ("[::1]").addrs, addrs ({"::1"}));
  EXPECT_EQ (resolve ("localhost").addrs, addrs ({"127.0.0.1"}));
  EXPECT_EQ (resolve ("LocalHost").addrs, addrs ({"127.0.0.1"}));
  EXPECT_TRUE (dns.count.empty ()) << "literals and hosts asked the server";
  for (const std::string &bad :
       addrs{"", "[::1", "[10.0.0.1]", "a b.test", "a\r\n.test", "a/b",
             std::string (254, 'a'), std::string (9999, 'b')})
    EXPECT_EQ (resolve (bad.c_str ()).err, ARES_EBADNAME) << bad;
  EXPECT_EQ (resolve ((std::string (63, 'a') + ".test").c_str ()).err,
             ARES_ENOTFOUND);
  dns_shutdown ();
  EXPECT_EQ (resolve ("a.test").err, ARES_ENOTINITIALIZED);
  EXPECT_EQ (resolve ("10.1.2.3").addrs, addrs ({"10.1.2.3"}));
}

// Many addresses: IPv4 first, two places kept for IPv6; duplicates once.
TEST_F (Resolver, AddressSelection)
{
  rule &r = dns.rules["many.test"];
  for (int i = 1; i <= 10; i++)
    r.a.push_back ("10.9.0." + std::to_string (i));
  r.a.push_back ("10.9.0.1");
  r.aaaa = {"2001:db8::1", "2001:db8::2", "2001:db8::3"};
  addrs want;
  for (int i = 1; i <= 6; i++)
    want.push_back ("10.9.0." + std::to_string (i));
  want.push_back ("2001:db8::1");
  want.push_back ("2001:db8::2");
  EXPECT_EQ (resolve ("many.test").addrs, want);
  dns.rules["dup.test"] = {answer, {"10.0.0.7", "10.0.0.7"}, {}, 300};
  EXPECT_EQ (resolve ("dup.test").addrs, addrs ({"10.0.0.7"}));
}

// The server's query counts show what the cache answered.
TEST_F (Resolver, CacheTtlAndSharing)
{
  resolve ("a.test");
  int asked = dns.count["a.test"];
  EXPECT_GE (asked, 1);
  resolve ("a.test");
  resolve ("A.TEST");
  EXPECT_EQ (dns.count["a.test"], asked);
  resolve ("nx.test");
  resolve ("nx.test");
  EXPECT_EQ (dns.count["nx.test"], asked) << "negative answer not cached";
  resolve ("drop.test");
  resolve ("drop.test");
  EXPECT_EQ (dns.count["drop.test"], 2 * asked) << "a timeout was cached";

  // TTL 1, on the addresses or on the CNAME leading to them.
  for (const char *name : {"short.test", "alias.test"}) {
    resolve (name);
    resolve (name);
    EXPECT_EQ (dns.count[name], asked) << name;
  }
  EXPECT_EQ (resolve ("alias.test").addrs, addrs ({"10.0.0.8"}));
  sleepms (1100);
  EXPECT_EQ (resolve ("short.test").addrs, addrs ({"10.0.0.4"}));
  EXPECT_EQ (resolve ("alias.test").addrs, addrs ({"10.0.0.8"}));
  EXPECT_EQ (dns.count["short.test"], 2 * asked) << "expired answer used";
  EXPECT_EQ (dns.count["alias.test"], 2 * asked) << "CNAME's TTL ignored";

  // Ten lookups at once share one query.
  got g[10];
  for (got &x : g)
    lookup ("both.test", &x);
  EXPECT_TRUE (settle ([&] {
    for (got &x : g)
      if (!x.calls)
        return false;
    return true;
  }));
  for (got &x : g)
    EXPECT_EQ (x.addrs, addrs ({"10.0.0.3", "2001:db8::3"}));
  EXPECT_EQ (dns.count["both.test"], asked);
}

// dns_cachemax answers kept, the least recently used dropped first.
TEST_F (Resolver, CacheBound)
{
  std::vector<std::string> names;
  for (int i = 0; i <= int (dns_cachemax); i++) {
    names.push_back ("n" + std::to_string (i) + ".test");
    dns.rules[names.back ()] = {answer, {"10.2.0.1"}, {}, 300};
  }
  resolve (names[0].c_str ());
  resolve (names[1].c_str ());
  resolve (names[0].c_str ()); // used again: names[1] is now the oldest
  int asked = dns.count[names[0]];
  for (size_t b = 2; b < names.size (); b += 128) {
    got g[128];
    size_t n = 0;
    for (; n < 128 && b + n < names.size (); n++)
      lookup (names[b + n].c_str (), &g[n]);
    EXPECT_TRUE (settle ([&] {
      for (size_t i = 0; i < n; i++)
        if (!g[i].calls)
          return false;
      return true;
    }));
  }
  resolve (names[0].c_str ());
  resolve (names.back ().c_str ());
  EXPECT_EQ (dns.count[names[0]], asked);
  EXPECT_EQ (dns.count[names.back ()], asked);
  resolve (names[1].c_str ());
  EXPECT_EQ (dns.count[names[1]], 2 * asked) << "names[1] not evicted";
}

// Cancelled in flight, while queued, and from another request's callback:
// never called; the query's answer still fills the cache.
void
cancelboth (dnsreq **a, dnsreq **b, got *g, const dnsresult *r)
{
  record (g, r);
  dns_cancel (*a);
  dns_cancel (*b);
}

TEST_F (Resolver, Cancel)
{
  got g1, g2;
  dns_cancel (lookup ("10.0.0.9", &g1)); // queued, not yet delivered
  dns_cancel (lookup ("a.test", &g2));   // in flight
  dns_cancel (nullptr);
  sleepms (50);
  EXPECT_EQ (g1.calls + g2.calls, 0);
  int asked = dns.count["a.test"];
  EXPECT_GE (asked, 1);
  EXPECT_EQ (resolve ("a.test").addrs, addrs ({"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ (dns.count["a.test"], asked);

  dnsreq *inflight = lookup ("drop.test", &g1);
  dnsreq *queued = nullptr;
  got first;
  inlookup = true;
  dns_lookup ("192.0.2.1", wrap (cancelboth, &inflight, &queued, &first));
  inlookup = false;
  queued = lookup ("192.0.2.2", &g2);
  EXPECT_TRUE (settle ([&] { return first.calls > 0; }));
  sleepms (300); // drop.test times out meanwhile
  EXPECT_EQ (first.calls, 1);
  EXPECT_EQ (g1.calls + g2.calls, 0);
}

// Shutdown answers everything pending at once; lookups made from those
// callbacks fail as not started, also at once.
void
lookupagain (got *g, got *again, const dnsresult *r)
{
  record (g, r);
  lookup ("a.test", again);
}

TEST_F (Resolver, ShutdownWithPending)
{
  got g1, g2, again, lit;
  lookup ("drop.test", &g1);
  inlookup = true;
  dns_lookup ("drop.test", wrap (lookupagain, &g2, &again));
  inlookup = false;
  lookup ("127.0.0.2", &lit);
  sleepms (20);
  EXPECT_EQ (lit.calls, 1);
  dns_shutdown ();
  EXPECT_EQ (g1.calls, 1);
  EXPECT_EQ (g1.err, ARES_EDESTRUCTION);
  EXPECT_EQ (g2.calls, 1);
  EXPECT_EQ (again.calls, 1);
  EXPECT_EQ (again.err, ARES_ENOTINITIALIZED);
  // Started again, it works as before.
  ASSERT_EQ (dns_init_servers (dns.addr ().c_str (), 150, 1), 0);
  EXPECT_EQ (dns_init_servers ("bogus", 150, 1), 0) << "not idempotent";
  EXPECT_EQ (resolve ("a.test").addrs, addrs ({"10.0.0.1", "10.0.0.2"}));
}

TEST (ResolverInit, BadArguments)
{
  EXPECT_EQ (dns_init_servers ("not a server", 100, 1), -1);
  EXPECT_EQ (dns_init_servers ("127.0.0.1:53", 0, 1), -1);
  EXPECT_EQ (dns_init_servers ("127.0.0.1:53", 100, 0), -1);
  __dns_check ();
  EXPECT_EQ (dns_init (), 0);
  EXPECT_EQ (dns_init (), 0);
  dns_shutdown ();
  __dns_check ();
}

// With every descriptor the loop can watch taken, a lookup fails; nothing
// aborts.  Once at the process's limit, once with the limit raised so that
// c-ares gets a descriptor beyond the loop's table.
TEST_F (Resolver, NoDescriptorLeft)
{
  ainit (); // the loop's self-pipe first
  rlimit saved;
  ASSERT_EQ (getrlimit (RLIMIT_NOFILE, &saved), 0);
  for (int pass = 0; pass < 2; pass++) {
    rlimit rl = saved;
    if (pass && rl.rlim_max != RLIM_INFINITY &&
        rl.rlim_max < rlim_t (maxfd) + 16)
      break; // no room above the table
    rl.rlim_cur = pass ? maxfd + 16 : maxfd;
    ASSERT_EQ (setrlimit (RLIMIT_NOFILE, &rl), 0);
    std::vector<int> held;
    for (int fd; (fd = dup (dns.udp)) >= 0 && fd < maxfd;)
      held.push_back (fd);
    got g = resolve ("a.test");
    for (int fd : held)
      close (fd);
    EXPECT_EQ (g.err, ARES_ECONNREFUSED) << pass;
    EXPECT_EQ (resolve ("a.test").addrs, addrs ({"10.0.0.1", "10.0.0.2"}));
    dns_shutdown ();
    ASSERT_EQ (dns_init_servers (dns.addr ().c_str (), 150, 1), 0);
  }
  setrlimit (RLIMIT_NOFILE, &saved);
}

// Random lookups, cancels (some from inside callbacks) and loop steps
// against a model: every request not cancelled is answered exactly once,
// with the answer its name calls for; a cancelled one never; the cached
// names are asked only once.
struct modelreq {
  std::string host;
  got g;
  dnsreq *r = nullptr;
  bool cancelled = false;
};
std::vector<modelreq *> *live;
std::mt19937 *rng;

void
modelcb (modelreq *m, const dnsresult *res)
{
  m->r = nullptr;
  record (&m->g, res);
  if (live->size () && (*rng) () % 4 == 0) {
    modelreq *o = (*live)[(*rng) () % live->size ()];
    if (o->r && !o->cancelled) {
      dns_cancel (o->r);
      o->r = nullptr;
      o->cancelled = true;
    }
  }
}

TEST_F (Resolver, RandomAgainstModel)
{
  struct expect {
    const char *host;
    int err;
    addrs want;
  };
  const std::vector<expect> cases = {
      {"a.test", 0, {"10.0.0.1", "10.0.0.2"}},
      {"both.test", 0, {"10.0.0.3", "2001:db8::3"}},
      {"six.test", 0, {"2001:db8::6"}},
      {"nx.test", ARES_ENOTFOUND, {}},
      {"drop.test", ARES_ETIMEOUT, {}},
      {"tc.test", 0, {"10.0.0.5"}},
      {"192.0.2.9", 0, {"192.0.2.9"}},
      {"[2001:db8::9]", 0, {"2001:db8::9"}},
      {"localhost", 0, {"127.0.0.1"}},
      {"bad!name", ARES_EBADNAME, {}},
  };
  std::mt19937 gen (12345);
  rng = &gen;
  std::vector<modelreq *> all;
  live = &all;
  for (int step = 0; step < 600; step++) {
    int op = gen () % 10;
    if (op < 5) {
      modelreq *m = new modelreq;
      m->host = cases[gen () % cases.size ()].host;
      inlookup = true;
      m->r = dns_lookup (m->host.c_str (), wrap (modelcb, m));
      inlookup = false;
      all.push_back (m);
    } else if (op < 7 && all.size ()) {
      modelreq *m = all[gen () % all.size ()];
      if (m->r && !m->cancelled) {
        dns_cancel (m->r);
        m->r = nullptr;
        m->cancelled = true;
      }
    } else
      sleepms (gen () % 3 == 0 ? 20 : 1);
    __dns_check ();
    for (modelreq *m : all)
      ASSERT_LE (m->g.calls, m->cancelled ? 0 : 1) << m->host;
  }
  EXPECT_TRUE (settle ([&] {
    for (modelreq *m : all)
      if (!m->cancelled && !m->g.calls)
        return false;
    return true;
  }));
  for (modelreq *m : all) {
    for (const expect &e : cases)
      if (m->host == e.host && !m->cancelled) {
        EXPECT_EQ (m->g.calls, 1) << m->host;
        EXPECT_EQ (m->g.err, e.err) << m->host;
        EXPECT_EQ (m->g.addrs, e.want) << m->host;
      }
    if (m->cancelled) {
      EXPECT_EQ (m->g.calls, 0) << m->host;
    }
    delete m;
  }
  for (const char *cached : {"a.test", "both.test", "six.test"})
    EXPECT_LE (dns.count[cached], 2) << cached << " asked again";
}

} // namespace
