// The resolver against a fake name server on 127.0.0.1 (UDP and TCP on one
// port, run by the same loop): a random workload checked against a model,
// then the cache's TTLs and bound, shutdown, and running out of
// descriptors.
#include "proxy/resolver.h"

#include "async/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <ares.h>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<std::string> strings;

// How the fake server answers a name; names without a rule: NXDOMAIN.
// truncate: empty and truncated over UDP, in full over TCP; garbage: one
// answer announced, a record cut short.
enum kind { answer, nxdomain, drop, truncate, garbage };
struct rule {
  kind k;
  strings a, aaaa;   // addresses, as text
  uint32_t ttl;      // of the addresses, or of the CNAME
  std::string cname; // if set: a CNAME to it first, addresses at TTL 300
  rule (kind k = nxdomain, strings a = {}, strings aaaa = {},
        uint32_t ttl = 300, std::string cname = "")
      : k (k), a (a), aaaa (aaaa), ttl (ttl), cname (cname)
  {
  }
};

std::string
be (uint32_t v, int bytes)
{
  std::string s;
  while (bytes--)
    s += char (v >> (8 * bytes));
  return s;
}

struct fakedns {
  int udp = -1, tcp = -1, port = 0;
  std::map<std::string, rule> rules;
  std::map<std::string, int> count; // queries per name, A and AAAA alike
  std::map<int, std::string> conns; // TCP connections, bytes read

  // UDP on a free port, then TCP on the same one, which other programs'
  // connections may hold: a few tries.
  bool start ()
  {
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    for (int i = 0;; i++) {
      sin.sin_port = 0;
      udp = socket (AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      tcp = socket (AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (!bind (udp, (sockaddr *) &sin, len) &&
          !getsockname (udp, (sockaddr *) &sin, &len) &&
          !bind (tcp, (sockaddr *) &sin, len) && !listen (tcp, 8))
        break;
      close (udp), close (tcp);
      if (i == 20)
        return false;
    }
    port = ntohs (sin.sin_port);
    fdcb (udp, selread, wrap (this, &fakedns::onudp));
    fdcb (tcp, selread, wrap (this, &fakedns::onaccept));
    return true;
  }
  void stop ()
  {
    if (port)
      conns[udp], conns[tcp];
    for (auto &c : conns)
      fdcb (c.first, selread, nullptr), close (c.first);
  }
  std::string addr () const { return "127.0.0.1:" + std::to_string (port); }

  std::string reply (const std::string &q, bool overudp)
  {
    size_t p = 12;
    std::string name, wire;
    while (p < q.size () && q[p] && u_char (q[p]) < 64) {
      name += (name.empty () ? "" : ".") + q.substr (p + 1, u_char (q[p]));
      p += 1 + u_char (q[p]);
    }
    if (p + 5 > q.size ())
      return "";
    for (char &c : name)
      c = char (tolower (u_char (c)));
    int type = q[p + 2];
    count[name]++;
    rule r = rules.count (name) ? rules[name] : rule ();
    bool tc = r.k == truncate && overudp;
    strings rdata;
    for (auto &s : type == 1 ? r.a : type == 28 ? r.aaaa : rdata)
      if (!tc) {
        char b[16];
        inet_pton (type == 1 ? AF_INET : AF_INET6, s.c_str (), b);
        rdata.push_back (std::string (b, type == 1 ? 4 : 16));
      }
    bool alias = !r.cname.empty () && !rdata.empty ();
    size_t an = rdata.size () + alias + (r.k == garbage);
    std::string m = q.substr (0, 2) + char (0x84 | (tc ? 2 : 0) | (q[2] & 1)) +
                    char (r.k == nxdomain ? 0x83 : 0x80) + be (1, 2) +
                    be (an, 2) + be (0, 4) + q.substr (12, p + 5 - 12);
    std::string owner = be (0xc00c, 2);
    if (alias) {
      for (size_t d, s = 0; s < r.cname.size (); s = d + 1) {
        d = std::min (r.cname.find ('.', s), r.cname.size ());
        wire += char (d - s) + r.cname.substr (s, d - s);
      }
      wire += '\0';
      m += owner + be (5, 2) + be (1, 2) + be (r.ttl, 4) +
           be (wire.size (), 2) + wire;
      owner = wire;
    }
    for (auto &d : rdata)
      m += owner + be (type, 2) + be (1, 2) + be (alias ? 300 : r.ttl, 4) +
           be (d.size (), 2) + d;
    return r.k == drop ? "" : r.k == garbage ? m + owner + be (1, 2) : m;
  }
  void onudp ()
  {
    char b[2048];
    sockaddr_storage from;
    socklen_t flen = sizeof from;
    for (ssize_t n;
         (n = recvfrom (udp, b, sizeof b, 0, (sockaddr *) &from, &flen)) > 0;
         flen = sizeof from) {
      std::string m = reply (std::string (b, size_t (n)), true);
      if (!m.empty ())
        sendto (udp, m.data (), m.size (), 0, (sockaddr *) &from, flen);
    }
  }
  void onaccept ()
  {
    int c = accept4 (tcp, nullptr, nullptr, SOCK_NONBLOCK);
    if (c >= 0)
      conns[c], fdcb (c, selread, wrap (this, &fakedns::ontcp, c));
  }
  void ontcp (int c)
  {
    char b[4096];
    ssize_t n = read (c, b, sizeof b);
    if (n <= 0) {
      fdcb (c, selread, nullptr), close (c), conns.erase (c);
      return;
    }
    std::string &in = conns[c];
    in.append (b, size_t (n));
    for (size_t len;
         in.size () >= 2 &&
         in.size () >= 2 + (len = u_char (in[0]) << 8 | u_char (in[1]));
         in.erase (0, 2 + len)) {
      std::string m = reply (in.substr (2, len), false);
      m = be (m.size (), 2) + m;
      EXPECT_EQ (write (c, m.data (), m.size ()), ssize_t (m.size ()));
    }
  }
};

// What one request's callback saw.
struct got {
  int calls = 0, err = -1;
  strings addrs;
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
    auto *sin = (const sockaddr_in *) &r->addrs[i];
    auto *sin6 = (const sockaddr_in6 *) &r->addrs[i];
    bool v4 = sin->sin_family == AF_INET;
    EXPECT_TRUE (v4 || sin->sin_family == AF_INET6);
    EXPECT_EQ (v4 ? sin->sin_port : sin6->sin6_port, 0);
    inet_ntop (v4 ? AF_INET : AF_INET6,
               v4 ? (void *) &sin->sin_addr : (void *) &sin6->sin6_addr, b,
               sizeof b);
    g->addrs.push_back (b);
  }
}

template <class... A>
dnsreq *
lookup (const char *host, A... a)
{
  inlookup = true;
  dnsreq *r = dns_lookup (host, wrap (a...));
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
  dns_check ();
  return done ();
}

// Waits up to 5 s for done (); if it never comes, the resolver is shut
// down so that no callback writes into the caller's frame after it.
template <class F>
bool
settle (F done)
{
  bool ok = rununtil (done, 5000);
  if (!ok)
    dns_shutdown ();
  return ok;
}

// Each try's timeout: long enough for a loaded machine (or valgrind) to
// answer from the same loop in time, short for the names never answered.
const int tmo = 500;

class Resolver : public ::testing::Test {
protected:
  fakedns dns;

  void SetUp () override
  {
    ASSERT_TRUE (dns.start ());
    dns.rules = {
        {"a.test", {answer, {"10.0.0.1", "10.0.0.2"}}},
        {"six.test", {answer, {}, {"2001:db8::6"}}},
        {"both.test", {answer, {"10.0.0.3"}, {"2001:db8::3"}}},
        {"none.test", {answer}},
        {"drop.test", {drop}},
        {"tc.test", {truncate, {"10.0.0.5"}}},
        {"junk.test", {garbage}},
        {"short.test", {answer, {"10.0.0.4"}, {}, 1}},
        {"alias.test", {answer, {"10.0.0.8"}, {}, 1, "real.test"}},
        {"dup.test", {answer, {"10.0.0.7", "10.0.0.7"}}},
        {"many.test", {answer, {}, {"2001:db8::1", "2001:db8::2", "::3"}}},
    };
    for (int i = 1; i <= 10; i++)
      dns.rules["many.test"].a.push_back ("10.9.0." + std::to_string (i));
    ASSERT_EQ (dns_init_servers (dns.addr ().c_str (), tmo, 1), 0);
  }
  void TearDown () override
  {
    dns_shutdown ();
    dns_check ();
    dns.stop ();
    core_check ();
  }
  got resolve (const char *host)
  {
    got g;
    lookup (host, record, &g);
    EXPECT_TRUE (settle ([&] { return g.calls > 0; })) << host;
    return g;
  }
};

// Random lookups, cancels (a quarter of the callbacks cancel a pending
// request, queued or in flight) and loop steps against a model: every
// request not cancelled is answered exactly once, from the loop, with its
// name's answer; a cancelled one never; cached names are asked once.
struct modelreq {
  std::string host;
  got g;
  dnsreq *r = nullptr;
  bool cancelled = false;
  void cancel () { dns_cancel (r), r = nullptr, cancelled = true; }
};
std::vector<modelreq *> all;
std::mt19937 gen (12345);

void
modelcb (modelreq *m, const dnsresult *res)
{
  m->r = nullptr;
  record (&m->g, res);
  if (gen () % 4)
    return;
  size_t i = gen () % all.size (), k = 0; // the next one still pending
  while (k < all.size () && !all[(i + k) % all.size ()]->r)
    k++;
  if (k < all.size ())
    all[(i + k) % all.size ()]->cancel ();
}

TEST_F (Resolver, RandomAgainstModel)
{
  const int any = -1; // some error
  const std::map<std::string, std::pair<int, strings>> model = {
      {"a.test", {0, {"10.0.0.1", "10.0.0.2"}}},
      {"A.Test", {0, {"10.0.0.1", "10.0.0.2"}}},
      {"six.test", {0, {"2001:db8::6"}}},
      {"both.test", {0, {"10.0.0.3", "2001:db8::3"}}},
      {"dup.test", {0, {"10.0.0.7"}}},
      {"many.test", // IPv4 first, two places kept for IPv6
       {0,
        {"10.9.0.1", "10.9.0.2", "10.9.0.3", "10.9.0.4", "10.9.0.5", "10.9.0.6",
         "2001:db8::1", "2001:db8::2"}}},
      {"tc.test", {0, {"10.0.0.5"}}},
      {"alias.test", {0, {"10.0.0.8"}}},
      {"nx.test", {ARES_ENOTFOUND, {}}},
      {"none.test", {ARES_ENODATA, {}}},
      {"drop.test", {ARES_ETIMEOUT, {}}},
      {"junk.test", {ARES_EBADRESP, {}}},
      {std::string (63, 'x') + ".test", {ARES_ENOTFOUND, {}}},
      {"192.0.2.9", {0, {"192.0.2.9"}}},
      {"2001:db8::9", {0, {"2001:db8::9"}}},
      {"[::1]", {0, {"::1"}}},
      {"localhost", {0, {"127.0.0.1"}}},
      {"LocalHost", {0, {"127.0.0.1"}}},
      {"", {ARES_EBADNAME, {}}},
      {"[::1", {ARES_EBADNAME, {}}},
      {"[10.0.0.1]", {ARES_EBADNAME, {}}},
      {"a b.test", {ARES_EBADNAME, {}}},
      {"a\r\n.test", {ARES_EBADNAME, {}}},
      {std::string (254, 'x'), {ARES_EBADNAME, {}}},
  };
  std::vector<std::string> hosts;
  for (auto &m : model)
    hosts.push_back (m.first);
  std::vector<modelreq *> done;
  for (int step = 0; step < 1000; step++) {
    int op = gen () % 10;
    if (op < 5) {
      modelreq *m = new modelreq;
      m->host = hosts[gen () % hosts.size ()];
      m->r = lookup (m->host.c_str (), modelcb, m);
      all.push_back (m);
    } else if (op < 7) {
      modelreq *m = all.size () ? all[gen () % all.size ()] : nullptr;
      if (m && m->r)
        m->cancel ();
    } else
      rununtil ([] { return false; }, gen () % 3 ? 1 : 20);
    for (modelreq *m : all)
      ASSERT_LE (m->g.calls, m->cancelled ? 0 : 1) << m->host;
  }
  EXPECT_TRUE (settle ([&] {
    for (modelreq *m : all)
      if (m->r)
        return false;
    return true;
  }));
  for (modelreq *m : all) {
    if (m->cancelled)
      EXPECT_EQ (m->g.calls, 0);
    else {
      auto &want = model.at (m->host);
      EXPECT_EQ (m->g.calls, 1) << m->host;
      if (want.first == any)
        EXPECT_NE (m->g.err, 0) << m->host;
      else
        EXPECT_EQ (m->g.err, want.first) << m->host;
      EXPECT_EQ (m->g.addrs, want.second) << m->host;
    }
    delete m;
  }
  all.clear ();
  for (const char *cached : {"a.test", "six.test", "both.test", "many.test"})
    EXPECT_EQ (dns.count[cached], 2) << cached;
  for (auto &m : model)
    EXPECT_TRUE (!(m.first[0] == '[' || isdigit (m.first[0]) ||
                   m.first == "localhost") ||
                 !dns.count[m.first])
        << m.first << " asked the server";
}

// The server's query counts show what the cache answered: answers within
// their TTL (a CNAME's included), NXDOMAIN briefly, failures never.
TEST_F (Resolver, CacheTtl)
{
  for (const char *name :
       {"a.test", "short.test", "alias.test", "nx.test", "drop.test"})
    resolve (name), resolve (name);
  int asked = dns.count["a.test"];
  for (const char *name : {"short.test", "alias.test", "nx.test"})
    EXPECT_EQ (dns.count[name], asked) << name;
  EXPECT_EQ (dns.count["drop.test"], 2 * asked);
  rununtil ([] { return false; }, 1100);
  EXPECT_EQ (resolve ("short.test").addrs, strings ({"10.0.0.4"}));
  EXPECT_EQ (resolve ("alias.test").addrs, strings ({"10.0.0.8"}));
  resolve ("a.test");
  EXPECT_EQ (dns.count["short.test"], 2 * asked) << "expired answer used";
  EXPECT_EQ (dns.count["alias.test"], 2 * asked) << "CNAME's TTL ignored";
  EXPECT_EQ (dns.count["a.test"], asked);
}

// dns_cachemax answers kept, the least recently used dropped first.
TEST_F (Resolver, CacheBound)
{
  strings names;
  for (int i = 0; i <= int (dns_cachemax); i++)
    names.push_back ("n" + std::to_string (i) + ".test"),
        dns.rules[names.back ()] = {answer, {"10.2.0.1"}};
  resolve (names[0].c_str ());
  resolve (names[1].c_str ());
  resolve (names[0].c_str ()); // used again: names[1] is now the oldest
  int asked = dns.count[names[0]];
  for (size_t b = 2; b < names.size (); b += 128) {
    got g[128];
    size_t n = 0;
    for (; n < 128 && b + n < names.size (); n++)
      lookup (names[b + n].c_str (), record, &g[n]);
    EXPECT_TRUE (settle ([&] {
      return std::all_of (g, g + n, [] (got &x) { return x.calls > 0; });
    }));
  }
  resolve (names[0].c_str ());
  resolve (names.back ().c_str ());
  resolve (names[1].c_str ());
  EXPECT_EQ (dns.count[names[0]], asked);
  EXPECT_EQ (dns.count[names.back ()], asked);
  EXPECT_EQ (dns.count[names[1]], 2 * asked) << "names[1] not evicted";
}

// Shutdown answers everything pending before it returns, lookups made from
// those callbacks included; started again, the resolver works as before.
void
lookupagain (got *g, got *again, const dnsresult *r)
{
  record (g, r);
  lookup ("a.test", record, again);
}

TEST_F (Resolver, ShutdownAndRestart)
{
  got g, shared, again, lit;
  lookup ("drop.test", record, &g);
  lookup ("drop.test", lookupagain, &shared, &again);
  dns_cancel (lookup ("127.0.0.2", record, &lit));
  dns_shutdown ();
  EXPECT_EQ (g.err, ARES_EDESTRUCTION);
  EXPECT_EQ (shared.err, ARES_EDESTRUCTION);
  EXPECT_EQ (again.err, ARES_ENOTINITIALIZED);
  EXPECT_EQ (g.calls + shared.calls + again.calls + lit.calls, 3);
  EXPECT_EQ (resolve ("10.1.2.3").addrs, strings ({"10.1.2.3"}));
  EXPECT_EQ (dns_init_servers (dns.addr ().c_str (), tmo, 1), 0);
  EXPECT_EQ (dns_init_servers ("bogus", tmo, 1), 0) << "not idempotent";
  EXPECT_EQ (resolve ("a.test").addrs, strings ({"10.0.0.1", "10.0.0.2"}));
  dns_shutdown ();
  EXPECT_EQ (dns_init_servers ("not a server", 100, 1), -1);
  EXPECT_EQ (dns_init_servers ("127.0.0.1:53", 0, 1), -1);
  EXPECT_EQ (dns_init_servers ("127.0.0.1:53", 100, 0), -1);
  EXPECT_EQ (dns_init (), 0);
}

// With every descriptor the loop can watch taken, a lookup fails and
// nothing aborts: once at the process's limit, once with the limit raised
// so that c-ares gets a descriptor beyond the loop's table.
TEST_F (Resolver, NoDescriptorLeft)
{
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP () << "UBSan's type checks need a free descriptor of their own";
#endif
  ainit (); // the loop's self-pipe first
  rlimit saved;
  ASSERT_EQ (getrlimit (RLIMIT_NOFILE, &saved), 0);
  for (rlim_t lim : {rlim_t (maxfd), rlim_t (maxfd) + 16}) {
    rlimit rl = {lim, std::max (saved.rlim_max, lim)};
    if (setrlimit (RLIMIT_NOFILE, &rl))
      continue; // no room above the table
    std::vector<int> held;
    for (int fd; (fd = dup (dns.udp)) >= 0 && fd < maxfd;)
      held.push_back (fd);
    got g = resolve ("a.test");
    for (int fd : held)
      close (fd);
    EXPECT_EQ (g.err, ARES_ECONNREFUSED) << lim;
    EXPECT_EQ (resolve ("a.test").addrs, strings ({"10.0.0.1", "10.0.0.2"}));
    dns_shutdown ();
    ASSERT_EQ (dns_init_servers (dns.addr ().c_str (), tmo, 1), 0);
  }
  setrlimit (RLIMIT_NOFILE, &saved);
}

} // namespace
