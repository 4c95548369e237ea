#include "proxy/upstream.h"

#include "async/core.h"
#include "async/err.h"
#include "http.h"
#include "proxy/listener.h"
#include "proxy/parent.h"
#include "proxy/resolver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

static upconfig cfg = {10000, 60000, 60000, 262144, 8};

void
upstream_config (const upconfig &c)
{
  cfg = c;
}

static timecb_t *
after (int ms, cbv cb)
{
  return delaycb (ms / 1000, (ms % 1000) * 1000000u, cb);
}

// ---- The pool ----

static const int pool_idle_ms = 15000; // an idle connection is kept so long

struct pooled {
  int fd;
  str key; // "host:port"
  timecb_t *tmo;
  list_entry<pooled> link;
};
static list<pooled, &pooled::link> idle;
static int nidle;

static void
unpool (pooled *p, bool closeit)
{
  list<pooled, &pooled::link>::remove (p);
  nidle--;
  fdcb (p->fd, selread, nullptr);
  timecb_remove (p->tmo);
  if (closeit)
    close (p->fd);
  fd_closed ();
  delete p;
}

// Readable while idle: the origin closed it or sent what nobody asked for.
static void
pooldrop (pooled *p, bool timer)
{
  if (timer)
    p->tmo = nullptr;
  unpool (p, true);
}

static int
pool_get (const str &key)
{
  for (pooled *p = idle.first; p; p = list<pooled, &pooled::link>::next (p))
    if (p->key == key) {
      int fd = p->fd;
      unpool (p, false);
      return fd;
    }
  return -1;
}

static void
pool_put (int fd, const str &key)
{
  int n = 0;
  for (pooled *p = idle.first; p; p = list<pooled, &pooled::link>::next (p))
    n += p->key == key;
  if (n >= cfg.pool || !fd_room (1)) {
    close (fd);
    return;
  }
  pooled *p = new pooled;
  p->fd = fd;
  p->key = key;
  p->tmo = after (pool_idle_ms, wrap (pooldrop, p, true));
  idle.insert_head (p);
  nidle++;
  fd_opened ();
  fdcb (fd, selread, wrap (pooldrop, p, false));
}

int
pool_size ()
{
  return nidle;
}

void
pool_clear ()
{
  while (idle.first)
    unpool (idle.first, true);
}

// ---- Connecting ----

struct connreq {
  str host;
  uint16_t port;
  ref<connectcb> cb;
  dnsreq *dr = nullptr;
  dnsresult res;
  int idx = 0; // next address to try
  int fd = -1; // the connection being made
  int err = 0; // errno of the last failed address
  timecb_t *tmo = nullptr;
  connreq (const str &h, uint16_t p, ref<connectcb> c)
      : host (h), port (p), cb (c)
  {
  }
};

// The end of a connect: cb runs last, c is gone by then.
static void
conn_done (connreq *c, int status, const char *why)
{
  int fd = c->fd;
  c->fd = -1;
  ref<connectcb> cb = c->cb;
  conn_cancel (c);
  (*cb) (fd, status, why);
}

static void conn_next (connreq *c);

static void
conn_ready (connreq *c)
{
  int e = 0;
  socklen_t sl = sizeof e;
  if (getsockopt (c->fd, SOL_SOCKET, SO_ERROR, &e, &sl) < 0)
    e = errno;
  fdcb (c->fd, selwrite, nullptr);
  if (!e) {
    conn_done (c, 0, nullptr);
    return;
  }
  close (c->fd);
  c->fd = -1;
  c->err = e;
  conn_next (c);
}

static void
conn_next (connreq *c)
{
  while (c->idx < c->res.naddrs) {
    sockaddr_storage &ss = c->res.addrs[c->idx++];
    socklen_t sl;
    if (ss.ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in *> (&ss)->sin_port = htons (c->port);
      sl = sizeof (sockaddr_in);
    } else {
      reinterpret_cast<sockaddr_in6 *> (&ss)->sin6_port = htons (c->port);
      sl = sizeof (sockaddr_in6);
    }
    int fd =
        socket (ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= maxfd) {
      close (fd);
      fd = -1;
      errno = EMFILE;
    }
    if (fd < 0) {
      c->err = errno;
      break;
    }
    int one = 1;
    setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect (fd, reinterpret_cast<sockaddr *> (&ss), sl) == 0 ||
        errno == EINPROGRESS) {
      c->fd = fd;
      fdcb (fd, selwrite, wrap (conn_ready, c));
      return;
    }
    c->err = errno;
    close (fd);
  }
  conn_done (c, 502, strerror (c->err ? c->err : ECONNREFUSED));
}

static void
conn_resolved (connreq *c, const dnsresult *r)
{
  c->dr = nullptr;
  if (r->err || !r->naddrs) {
    conn_done (c, 502, "cannot resolve the host name");
    return;
  }
  c->res = *r;
  conn_next (c);
}

static void
conn_timeout (connreq *c)
{
  c->tmo = nullptr;
  if (c->fd >= 0) {
    fdcb (c->fd, selwrite, nullptr);
    close (c->fd);
    c->fd = -1;
  }
  conn_done (c, 504, "connection to the origin timed out");
}

connreq *
conn_start (const str &host, uint16_t port, ref<connectcb> cb)
{
  connreq *c = new connreq (host, port, cb);
  memset (&c->res, 0, sizeof c->res);
  c->tmo = after (cfg.connect_ms, wrap (conn_timeout, c));
  c->dr = dns_lookup (host, wrap (conn_resolved, c));
  return c;
}

void
conn_cancel (connreq *c)
{
  if (!c)
    return;
  dns_cancel (c->dr);
  timecb_remove (c->tmo);
  if (c->fd >= 0) {
    fdcb (c->fd, selwrite, nullptr);
    close (c->fd);
  }
  delete c;
}

// ---- The fetch ----

// The response head through the HTTP module, with what framing and
// persistence need collected on the way.
class respparse : public httpresp, public framehdrs {
protected:
  bool doheader (str name, str val) override
  {
    httpresp::doheader (name, val);
    take (name, val);
    return false;
  }

public:
  void clear ()
  {
    reset ();
    framehdrs::clear ();
  }
};

enum fstate {
  fs_new,     // not started
  fs_connect, // looking up, connecting
  fs_wait,    // request going out, response head awaited
  fs_body,    // response body coming in
  fs_done,    // src_end called
};

class fetch : public source {
  fetchreq rq;
  sink *sk;
  fstate st = fs_new;
  connreq *cr = nullptr;
  str host;        // the next hop: the origin, or a parent proxy
  uint16_t port;   // the next hop's
  int parent = -1; // host is this parent's
  int fd = -1;
  bool reused = false;  // fd came from the pool
  bool retried = false; // one fresh attempt made already
  suio out;             // to the origin
  bool reqdone = false; // the client's body is complete
  bool sendfailed = false;
  char *ib = nullptr; // the response head so far
  size_t ibn = 0;
  headscan hs{false};
  respparse rp;
  bodyframe rf;
  chunkdec cd;
  uint64_t left = 0;    // bk_length: bytes to come
  bool persist = false; // the origin keeps the connection
  bool paused = false;  // the sink is full
  suio body;            // decoded bytes for the sink
  timecb_t *tmo = nullptr;

  void nexthop ();
  void connect ();
  void connected (int f, int status, const char *why);
  void sendhead ();
  void watch ();
  void writable ();
  void readable ();
  int headbytes ();
  int gothead ();
  void makehead (resphead *h);
  int bodybytes (const char *p, size_t n);
  void fail (int status, const char *why);
  void finish ();
  void drop ();
  void settimer (int ms);
  void timeout ();
  bool sentall () const { return reqdone && !out.resid (); }

public:
  fetch (const fetchreq &r, sink *s) : rq (r), sk (s) {}
  ~fetch ();
  void start () override;
  void resume () override;
  void reqbody (const char *p, size_t n) override;
  void reqend () override;
  bool reqfull () override { return out.resid () >= size_t (cfg.window); }
};

source *
fetch_new (const fetchreq &r, sink *s)
{
  return new fetch (r, s);
}

fetch::~fetch ()
{
  conn_cancel (cr);
  drop ();
  timecb_remove (tmo);
  free (ib);
}

void
fetch::drop ()
{
  if (fd < 0)
    return;
  fdcb (fd, selread, nullptr);
  fdcb (fd, selwrite, nullptr);
  close (fd);
  fd = -1;
}

void
fetch::settimer (int ms)
{
  timecb_remove (tmo);
  tmo = ms ? after (ms, wrap (this, &fetch::timeout)) : nullptr;
}

void
fetch::timeout ()
{
  tmo = nullptr;
  if (st == fs_body)
    fail (0, "the origin went silent mid-body");
  else
    fail (504, "the origin did not answer in time");
}

void
fetch::start ()
{
  reqdone = rq.body == bk_none;
  out.print (rq.head.cstr (), rq.head.len ());
  nexthop ();
  int f = pool_get (strbuf ("%s:%d", host.cstr (), port));
  if (f >= 0) {
    reused = true;
    connected (f, 0, nullptr);
  } else
    connect ();
}

// The origin, or the parent the key picks now.
void
fetch::nexthop ()
{
  parent = rq.key ? parent_pick (rq.key) : -1;
  host = parent < 0 ? rq.host : parent_host (parent);
  port = parent < 0 ? rq.port : parent_port (parent);
}

void
fetch::connect ()
{
  st = fs_connect;
  reused = false;
  cr = conn_start (host, port, wrap (this, &fetch::connected));
}

// A parent that cannot be reached is passed over; the key's next-best
// parent that is still up gets the request (at most one try each).
void
fetch::connected (int f, int status, const char *why)
{
  cr = nullptr;
  if (f < 0 && parent >= 0) {
    parent_failed (parent);
    nexthop ();
    if (parent_up (parent)) {
      connect ();
      return;
    }
  }
  if (f < 0) {
    fail (status, why);
    return;
  }
  fd = f;
  st = fs_wait;
  watch ();
}

// Registers for what the state needs and sets the timer that goes with it.
void
fetch::watch ()
{
  bool wr = out.resid () && !sendfailed;
  fdcb (fd, selwrite, wr ? wrap (this, &fetch::writable) : nullptr);
  bool rd = !paused;
  fdcb (fd, selread, rd ? wrap (this, &fetch::readable) : nullptr);
  if (paused)
    settimer (0);
  else if (st == fs_wait && !ibn && sentall ())
    settimer (cfg.firstbyte_ms);
  else
    settimer (cfg.io_ms);
}

void
fetch::writable ()
{
  if (out.output (fd) < 0) {
    sendfailed = true; // the response may still say why
    persist = false;
    out.clear ();
  }
  if (!out.resid ())
    fdcb (fd, selwrite, nullptr);
  if (!reqfull ())
    sk->src_wantbody ();
  watch ();
}

void
fetch::reqbody (const char *p, size_t n)
{
  if (sendfailed)
    return;
  if (rq.body == bk_chunked) {
    char hex[24];
    int k = snprintf (hex, sizeof hex, "%zx\r\n", n);
    out.copy (hex, k);
  }
  out.copy (p, n);
  if (rq.body == bk_chunked)
    out.copy ("\r\n", 2);
  if (fd >= 0)
    watch ();
}

void
fetch::reqend ()
{
  reqdone = true;
  if (rq.body == bk_chunked && !sendfailed)
    out.copy ("0\r\n\r\n", 5);
  if (fd >= 0)
    watch ();
}

void
fetch::resume ()
{
  if (!paused || st != fs_body)
    return;
  paused = false;
  watch ();
}

void
fetch::fail (int status, const char *why)
{
  drop ();
  settimer (0);
  st = fs_done;
  sk->src_end (-1, status, why);
}

void
fetch::finish ()
{
  st = fs_done;
  settimer (0);
  if (persist && sentall () && !sendfailed && fd >= 0) {
    fdcb (fd, selread, nullptr);
    fdcb (fd, selwrite, nullptr);
    pool_put (fd, strbuf ("%s:%d", host.cstr (), port));
    fd = -1;
  }
  drop ();
  sk->src_end (0, 0, nullptr);
}

static char rbuf[65536]; // body reads; emptied before the next one

void
fetch::readable ()
{
  if (st == fs_wait) {
    int r = headbytes ();
    if (r <= 0)
      return;
  }
  ssize_t n = read (fd, rbuf, sizeof rbuf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0) {
    if (rf.kind == bk_close) {
      persist = false;
      finish ();
    } else
      fail (0, "the origin closed the connection mid-body");
    return;
  }
  if (bodybytes (rbuf, n) < 0)
    return;
  watch ();
}

// Reads toward the head: 1 when the head is in and the body begins (the
// state is fs_body then), 0 to wait, -1 when the fetch has ended.
int
fetch::headbytes ()
{
  if (!ib)
    ib = static_cast<char *> (malloc (head_max + 1));
  ssize_t n = read (fd, ib + ibn, head_max + 1 - ibn);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return 0;
  if (n <= 0) {
    if (!ibn && reused && rq.retryable && !retried) {
      drop (); // a pooled connection the origin had closed
      retried = true;
      sendfailed = false;
      out.clear ();
      out.print (rq.head.cstr (), rq.head.len ());
      connect ();
      return -1;
    }
    fail (502, n ? "the connection to the origin failed"
                 : "the origin closed the connection without answering");
    return -1;
  }
  ibn += n;
  return gothead ();
}

// Scans what arrived: the same results as headbytes.  1xx heads are read
// and dropped (the proxy answers 100-continue itself).
int
fetch::gothead ()
{
  for (;;) {
    int r = hs.scan (ib, ibn);
    if (r < 0) {
      fail (502, "the origin sent a malformed response");
      return -1;
    }
    if (!r) {
      watch ();
      return 0;
    }
    suio u;
    u.print (ib, hs.len);
    rp.clear ();
    if (rp.parse (&u) != 1) {
      fail (502, "the origin sent a malformed response");
      return -1;
    }
    size_t rest = ibn - hs.len;
    memmove (ib, ib + hs.len, rest);
    ibn = rest;
    hs.reset ();
    if (rp.status >= 200)
      break;
    if (rp.status == 101) {
      fail (502, "the origin switched protocols");
      return -1;
    }
  }
  if (respbody (rp.status, rq.headreq, rp.cl, rp.te, &rf) < 0) {
    fail (502, "the origin's response has ambiguous framing");
    return -1;
  }
  left = rf.len;
  resphead h;
  makehead (&h);
  st = fs_body;
  sk->src_head (&h);
  size_t n = ibn;
  ibn = 0;
  if (bodybytes (ib, n) < 0)
    return -1;
  if (st == fs_body)
    watch ();
  return -1; // the body has been read as far as there is any
}

// The head to pass on, from the parsed one; also whether the origin
// keeps the connection.
void
fetch::makehead (resphead *h)
{
  str hdrs = rp.headers ();
  bool http10 = hdrs.len () > 7 && hdrs[7] == '0';
  persist =
      http10 ? hastoken (rp.conn, "keep-alive") : !hastoken (rp.conn, "close");
  h->status = rp.status;
  h->reason = rp.statusmsg; // its line end is cut off below
  size_t n = h->reason.len ();
  while (n && (h->reason[n - 1] == '\n' || h->reason[n - 1] == '\r'))
    n--;
  h->reason = str (h->reason.cstr (), n);
  h->body = rf;
  h->keeplen = rf.kind == bk_none && rp.cl.size () == 1;
  h->lines = passlines (hdrs, rp.conn, h->keeplen ? "" : "content-length\0",
                        &h->hasdate);
}

// Body bytes from the origin: -1 if the fetch ended (finished or failed).
int
fetch::bodybytes (const char *p, size_t n)
{
  bool complete = false;
  switch (rf.kind) {
  case bk_none:
    complete = true;
    break;
  case bk_close:
    body.copy (p, n);
    n = 0;
    break;
  case bk_length: {
    size_t k = n < left ? n : size_t (left);
    body.copy (p, k);
    left -= k;
    n -= k;
    complete = !left;
    break;
  }
  case bk_chunked:
    while (n) {
      size_t used, off, dl;
      int r = cd.feed (p, n, &used, &off, &dl);
      if (r < 0) {
        fail (0, "the origin sent a malformed chunked body");
        return -1;
      }
      body.copy (p + off, dl);
      p += used;
      n -= used;
      if (r) {
        complete = true;
        break;
      }
    }
    break;
  }
  if (n) // bytes after the response: nothing to trust on this connection
    persist = false;
  if (body.resid ())
    sk->src_body (&body);
  if (complete) {
    finish ();
    return -1;
  }
  paused = sk->src_full ();
  return 0;
}
