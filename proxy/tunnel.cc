#include "proxy/tunnel.h"

#include "async/core.h"
#include "async/err.h"
#include "proxy/clientconn.h"
#include "proxy/listener.h"
#include "proxy/options.h"
#include "proxy/upstream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

static const proxyopts *opts;
static int ntunnels;
static cbv::ptr ondrained;          // tunnel_drain's callback, until it runs
static const int refused_ms = 2000; // after an error page, awaiting the close

void
tunnel_config (const proxyopts *o)
{
  opts = o;
}

int
tunnel_count ()
{
  return ntunnels;
}

void
tunnel_drain (cbv cb)
{
  ondrained = cb;
  if (!ntunnels) {
    ondrained = nullptr;
    delaycb (0, 0, cb);
  }
}

bool
tunnel_port_ok (uint16_t port)
{
  if (!opts || !opts->connectports.size ())
    return port == 443;
  for (size_t i = 0; i < opts->connectports.size (); i++)
    if (opts->connectports[i] == port)
      return true;
  return false;
}

bool
tunnel_target (const char *t, size_t n, str *host, uint16_t *port)
{
  const char *colon = static_cast<const char *> (memrchr (t, ':', n));
  if (!colon || colon == t)
    return false;
  size_t digits = t + n - colon - 1;
  unsigned long p = 0;
  for (size_t i = 0; i < digits; i++) {
    char c = colon[1 + i];
    if (c < '0' || c > '9' || i >= 5)
      return false;
    p = p * 10 + (c - '0');
  }
  if (!p || p > 65535)
    return false;
  const char *h = t, *he = colon;
  bool v6 = he - h > 2 && *h == '[' && he[-1] == ']';
  if (v6)
    h++, he--;
  const char *ok = v6 ? "0123456789abcdefABCDEF:."
                      : "abcdefghijklmnopqrstuvwxyz"
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                        "0123456789.-";
  mstr m (he - h);
  for (size_t i = 0; i < m.len (); i++) {
    if (!h[i] || !strchr (ok, h[i]))
      return false;
    m[i] = h[i] >= 'A' && h[i] <= 'Z' ? h[i] ^ 0x20 : h[i];
  }
  *host = m;
  *port = uint16_t (p);
  return true;
}

// One direction of the tunnel: bytes read from one side wait in buf until
// written to the other.
struct flow {
  char *buf = nullptr;
  size_t cap = 0;          // buf's size
  size_t beg = 0, end = 0; // [beg, end) not yet written
  bool eof = false;        // the reading side ended its stream
  bool shut = false;       // the end passed on (shutdown for writing)
  uint64_t out = 0;        // bytes written
  bool room () const { return end < cap || beg; }
  bool pending () const { return beg < end; }
};

enum tstate {
  ts_connect, // connecting to host:port, the client not read
  ts_relay,   // both ways
  ts_refused, // an error page to the client, then its close
  ts_dead,    // closed, deleted from the loop
};

class tunnel {
  int cfd, ofd = -1;
  tstate st = ts_connect;
  flow up, down; // client to origin, origin to client
  connreq *cr = nullptr;
  timecb_t *tmo = nullptr;
  int64_t last;  // monotonic ms of the last byte moved
  bool on[2][2]; // [client, origin][read, write] callbacks registered
  logrec lr;

  void setstate (tstate s);
  void arm ();
  void watch (int side, int fd, selop op, bool want, void (tunnel::*f) ());
  void connected (int f, int status, const char *why);
  void crd () { rd (cfd, &up); }
  void ord () { rd (ofd, &down); }
  void cwr () { wr (cfd, &down); }
  void owr () { wr (ofd, &up); }
  void rd (int fd, flow *f);
  void wr (int fd, flow *f);
  void passend (flow *f, int to);
  void timeout ();
  void check () const;
  void destroy ();

public:
  tunnel (int fd, const logrec &r, const char *early, size_t n);
  ~tunnel ();
  void start (const str &host, uint16_t port);
};

static int64_t
nowms ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * int64_t (1000) + ts.tv_nsec / 1000000;
}

static timecb_t *
after (long ms, cbv cb)
{
  return delaycb (ms / 1000, (ms % 1000) * 1000000u, cb);
}

tunnel::tunnel (int fd, const logrec &r, const char *early, size_t n)
    : cfd (fd), last (nowms ()), lr (r)
{
  memset (on, 0, sizeof on);
  up.cap = n > tunnel_buf ? n : size_t (tunnel_buf);
  up.buf = static_cast<char *> (malloc (up.cap));
  memcpy (up.buf, early, n);
  up.end = n;
  down.cap = tunnel_buf;
  down.buf = static_cast<char *> (malloc (down.cap));
  ntunnels++;
}

tunnel::~tunnel ()
{
  conn_cancel (cr);
  timecb_remove (tmo);
  close (cfd);
  if (ofd >= 0)
    close (ofd);
  fd_closed (); // the client's slot
  fd_closed (); // and the one reserved for its origin
  free (up.buf);
  free (down.buf);
  if (!--ntunnels && ondrained) {
    cbv cb (ondrained);
    ondrained = nullptr;
    delaycb (0, 0, cb);
  }
}

void
tunnel_start (int fd, const logrec &lr, const str &host, uint16_t port,
              const char *early, size_t n)
{
  (new tunnel (fd, lr, early, n))->start (host, port);
}

void
tunnel::start (const str &host, uint16_t port)
{
  lr.host = host;
  cr = conn_start (host, port, wrap (this, &tunnel::connected));
  setstate (ts_connect);
}

// A failed connect gets its error page; the page stands for the origin's
// whole stream, so it is passed on like one, and the client's bytes go
// nowhere until it closes (or refused_ms pass).
void
tunnel::connected (int f, int status, const char *why)
{
  cr = nullptr;
  if (f < 0) {
    str page =
        errpage (status, status == 504 ? "Gateway Timeout" : "Bad Gateway", why,
                 lr.url ? lr.url : str (""));
    if (page.len () > down.cap) {
      down.cap = page.len ();
      down.buf = static_cast<char *> (realloc (down.buf, down.cap));
    }
    memcpy (down.buf, page.cstr (), page.len ());
    down.end = page.len ();
    down.eof = true;
    lr.status = status;
    lr.result = "NONE";
    up.beg = up.end = 0;
    setstate (ts_refused);
    return;
  }
  ofd = f;
  static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  memcpy (down.buf, ok, sizeof ok - 1);
  down.end = sizeof ok - 1;
  lr.status = 200;
  lr.result = "TCP_TUNNEL";
  setstate (ts_relay);
}

// ---- The state machine: every transition goes through here ----

void
tunnel::setstate (tstate s)
{
  st = s;
  timecb_remove (tmo);
  tmo = nullptr;
  switch (s) {
  case ts_connect: // the connect has its own timeout
    break;
  case ts_relay:
    last = nowms ();
    tmo = after (opts->tunnel_ms, wrap (this, &tunnel::timeout));
    break;
  case ts_refused:
    tmo = after (refused_ms, wrap (this, &tunnel::timeout));
    break;
  case ts_dead:
    arm ();
    lr.bytes = down.out;
    accesslog_write (lr);
    delaycb (0, 0,
             wrap (this, &tunnel::destroy)); // callers may be up the stack
    return;
  }
  arm ();
}

void
tunnel::watch (int side, int fd, selop op, bool want, void (tunnel::*f) ())
{
  bool &o = on[side][op == selwrite];
  if (want != o)
    fdcb (fd, op, want ? wrap (this, f) : nullptr);
  o = want;
}

// Descriptor interest from the state and the two buffers.
void
tunnel::arm ()
{
  bool live = st == ts_relay;
  bool crd = (live && !up.eof && up.room ()) || st == ts_refused;
  watch (0, cfd, selread, crd, &tunnel::crd);
  watch (0, cfd, selwrite, st != ts_dead && down.pending (), &tunnel::cwr);
  if (ofd < 0)
    return;
  watch (1, ofd, selread, live && !down.eof && down.room (), &tunnel::ord);
  watch (1, ofd, selwrite, live && up.pending (), &tunnel::owr);
}

void
tunnel::timeout ()
{
  tmo = nullptr;
  int64_t idle = nowms () - last;
  if (st == ts_relay && idle < opts->tunnel_ms) {
    tmo = after (long (opts->tunnel_ms - idle), wrap (this, &tunnel::timeout));
    return;
  }
  setstate (ts_dead);
}

void
tunnel::rd (int fd, flow *f)
{
  if (f->beg == f->end)
    f->beg = f->end = 0;
  else if (f->end == f->cap) {
    memmove (f->buf, f->buf + f->beg, f->end - f->beg);
    f->end -= f->beg;
    f->beg = 0;
  }
  ssize_t n = read (fd, f->buf + f->end, f->cap - f->end);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n < 0 && st == ts_relay) { // reset: nothing more can be trusted
    setstate (ts_dead);
    return;
  }
  if (n <= 0) {
    f->eof = true;
    if (st == ts_refused) {
      setstate (ts_dead);
      return;
    }
    passend (f, f == &up ? ofd : cfd);
  } else if (st == ts_refused)
    return; // discarded
  else {
    f->end += n;
    last = nowms ();
  }
  if (st != ts_dead)
    arm ();
}

void
tunnel::wr (int fd, flow *f)
{
  ssize_t n = send (fd, f->buf + f->beg, f->end - f->beg, MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n < 0) {
    setstate (ts_dead);
    return;
  }
  f->beg += n;
  f->out += n;
  last = nowms ();
  if (!f->pending ())
    passend (f, fd);
  if (st != ts_dead)
    arm ();
}

// A direction whose reader ended and whose bytes are all out ends at its
// writer too; with both directions ended the tunnel is done.
void
tunnel::passend (flow *f, int to)
{
  if (!f->eof || f->pending () || f->shut)
    return;
  f->shut = true;
  if (to >= 0)
    shutdown (to, SHUT_WR);
  if (st == ts_relay && up.shut && down.shut)
    setstate (ts_dead);
}

// Buffers within bounds, ends passed on only after they came.
void
tunnel::check () const
{
  for (const flow *f : {&up, &down})
    if (f->beg > f->end || f->end > f->cap || (f->shut && !f->eof))
      panic ("tunnel: flow [%zu, %zu) of %zu\n", f->beg, f->end, f->cap);
}

void
tunnel::destroy ()
{
  check ();
  delete this;
}
