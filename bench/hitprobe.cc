// hitprobe: the latency of cache hits while misses load a proxy.
//
// Sends hits (one URL, already cached) at a fixed rate over keep-alive
// connections, and misses (a new URL each: PATH?n) at their own fixed
// rate, and prints the hits' latency percentiles.  A hit's latency runs
// from when it was due, not from when a connection was free to send it,
// so a stalled proxy shows in full (no coordinated omission).  One
// thread, epoll, a timerfd for the schedule; responses need a
// Content-Length.  Used by bench/proxy-compare; prints one line:
//   hits N errors E p50 X p90 X p99 X p999 X max X (microseconds)
//   misses N errors E bytes B
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int64_t
nowns ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return int64_t (ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void
die (const char *what)
{
  fprintf (stderr, "hitprobe: %s: %s\n", what, strerror (errno));
  exit (1);
}

struct conn {
  int fd = -1;
  bool hit;          // hit or miss connection
  bool busy = false; // a request is out
  int64_t due = 0;   // when the request out was due
  std::string head;  // response head bytes so far
  uint64_t want = 0; // body bytes still to come, once the head is in
  bool inbody = false;
};

struct probe {
  int port = 0, ep = -1;
  std::string host, hitpath, misspath;
  std::vector<conn> conns;
  std::deque<int64_t> hitq, missq; // due times not yet sent
  std::vector<int64_t> lat;        // hit latencies, ns
  uint64_t misses = 0, missbytes = 0, seq = 0, errors[2] = {0, 0};

  void dial (conn &c)
  {
    c.fd = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons (uint16_t (port));
    a.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    if (c.fd < 0 || connect (c.fd, (sockaddr *) &a, sizeof a) < 0)
      die ("connect");
    int one = 1;
    setsockopt (c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &c;
    if (epoll_ctl (ep, EPOLL_CTL_ADD, c.fd, &ev) < 0)
      die ("epoll_ctl");
  }

  void send (conn &c, int64_t due)
  {
    std::string path = c.hit ? hitpath
                             : misspath + "?n=" + std::to_string (getpid ()) +
                                   "-" + std::to_string (seq++);
    std::string q =
        "GET http://" + host + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    c.busy = true;
    c.due = due;
    c.head.clear ();
    c.inbody = false;
    if (write (c.fd, q.data (), q.size ()) != ssize_t (q.size ()))
      die ("write");
  }

  // Requests go round the connections, so that none sits idle (a proxy
  // may close a connection that sends no request for a while).
  void dispatch ()
  {
    static size_t next;
    for (size_t i = 0; i < conns.size (); i++) {
      conn &c = conns[(next + i) % conns.size ()];
      if (!c.busy) {
        std::deque<int64_t> &q = c.hit ? hitq : missq;
        if (!q.empty ()) {
          send (c, q.front ());
          q.pop_front ();
        }
      }
    }
    next++;
  }

  void oops (const conn &c, const char *what)
  {
    if (errors[0] + errors[1] < 5)
      fprintf (stderr, "hitprobe: %s: %s\n", c.hit ? "hit" : "miss", what);
    errors[c.hit]++;
  }

  // Takes n body bytes; true when the body is whole.
  bool body (conn &c, uint64_t n)
  {
    if (!c.hit)
      missbytes += n;
    c.want -= std::min (c.want, n);
    return !c.want;
  }

  // Reads what is there; true when the response is whole.
  bool input (conn &c)
  {
    static char buf[1 << 18];
    ssize_t n = read (c.fd, buf, sizeof buf);
    if (n <= 0) { // the proxy closed: count it, start afresh
      oops (c, n < 0 ? strerror (errno) : "closed");
      epoll_ctl (ep, EPOLL_CTL_DEL, c.fd, nullptr);
      close (c.fd);
      dial (c);
      c.busy = false;
      return false;
    }
    if (c.inbody)
      return body (c, uint64_t (n));
    c.head.append (buf, size_t (n));
    size_t e = c.head.find ("\r\n\r\n");
    if (e == std::string::npos)
      return false;
    c.head[e] = 0;
    const char *cl = strcasestr (c.head.c_str (), "\r\ncontent-length:");
    if (!cl || c.head.compare (9, 3, "200"))
      oops (c, c.head.substr (0, 12).c_str ());
    c.want = cl ? strtoull (cl + 17, nullptr, 10) : 0;
    c.inbody = true;
    return body (c, c.head.size () - e - 4);
  }

  void done (conn &c)
  {
    c.busy = false;
    if (c.hit)
      lat.push_back (nowns () - c.due);
    else
      misses++;
  }
};

void
arm (int tfd, int64_t at)
{
  itimerspec it{};
  it.it_value.tv_sec = time_t (at / 1000000000);
  it.it_value.tv_nsec = long (at % 1000000000);
  if (timerfd_settime (tfd, TFD_TIMER_ABSTIME, &it, nullptr) < 0)
    die ("timerfd_settime");
}

int64_t
pct (const std::vector<int64_t> &v, double p)
{
  if (v.empty ())
    return 0;
  size_t i = size_t (double (v.size () - 1) * p);
  return v[i] / 1000;
}

} // namespace

int
main (int argc, char **argv)
{
  if (argc != 10) {
    fprintf (stderr, "usage: hitprobe PROXYPORT ORIGINHOST:PORT HITPATH "
                     "HITRATE HITCONNS MISSPATH MISSRATE MISSCONNS SECONDS\n");
    return 2;
  }
  probe p;
  p.port = atoi (argv[1]);
  p.host = argv[2];
  p.hitpath = argv[3];
  double hitrate = atof (argv[4]), missrate = atof (argv[7]);
  int hitconns = atoi (argv[5]), missconns = atoi (argv[8]);
  double secs = atof (argv[9]);
  p.misspath = argv[6];
  if (p.port <= 0 || hitrate <= 0 || hitconns <= 0 || missrate < 0 ||
      missconns < 0 || secs <= 0) {
    fprintf (stderr, "hitprobe: bad argument\n");
    return 2;
  }
  p.ep = epoll_create1 (EPOLL_CLOEXEC);
  int tfd = timerfd_create (CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (p.ep < 0 || tfd < 0)
    die ("epoll/timerfd");
  p.conns.resize (size_t (hitconns + missconns));
  for (size_t i = 0; i < p.conns.size (); i++) {
    p.conns[i].hit = int (i) < hitconns;
    p.dial (p.conns[i]);
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  epoll_ctl (p.ep, EPOLL_CTL_ADD, tfd, &ev);

  const int64_t t0 = nowns (), end = t0 + int64_t (secs * 1e9);
  const int64_t hstep = int64_t (1e9 / hitrate);
  const int64_t mstep = missrate > 0 ? int64_t (1e9 / missrate) : end;
  int64_t nexthit = t0, nextmiss = missrate > 0 ? t0 : end;
  arm (tfd, t0 + 1);
  for (;;) {
    int64_t now = nowns ();
    for (; nexthit <= now && nexthit < end; nexthit += hstep)
      p.hitq.push_back (nexthit);
    for (; nextmiss <= now && nextmiss < end; nextmiss += mstep)
      p.missq.push_back (nextmiss);
    p.dispatch ();
    bool idle = p.hitq.empty () && p.missq.empty ();
    for (conn &c : p.conns)
      idle = idle && !c.busy;
    if (now >= end && idle)
      break;
    if (now >= end + 30 * int64_t (1000000000)) { // count them, give up
      for (conn &c : p.conns)
        if (c.busy)
          p.oops (c, "no answer 30 s after the end");
      break;
    }
    arm (tfd, std::min (std::min (nexthit, nextmiss), end + 1000000));
    epoll_event evs[64];
    int n = epoll_wait (p.ep, evs, 64, 1000);
    for (int i = 0; i < n; i++) {
      conn *c = static_cast<conn *> (evs[i].data.ptr);
      if (!c) {
        uint64_t x;
        (void) !read (tfd, &x, sizeof x);
      } else if (p.input (*c))
        p.done (*c);
    }
  }
  std::sort (p.lat.begin (), p.lat.end ());
  printf ("hits %zu errors %llu p50 %lld p90 %lld p99 %lld p999 %lld max %lld "
          "misses %llu errors %llu bytes %llu\n",
          p.lat.size (), (unsigned long long) p.errors[1],
          (long long) pct (p.lat, 0.5), (long long) pct (p.lat, 0.9),
          (long long) pct (p.lat, 0.99), (long long) pct (p.lat, 0.999),
          (long long) pct (p.lat, 1.0), (unsigned long long) p.misses,
          (unsigned long long) p.errors[0], (unsigned long long) p.missbytes);
  return 0;
}
