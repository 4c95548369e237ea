#include "proxy/clientconn.h"

#include "async/core.h"
#include "async/err.h"
#include "async/socket.h"
#include "http.h"
#include "proxy/accesslog.h"
#include "proxy/cache.h"
#include "proxy/framing.h"
#include "proxy/listener.h"
#include "proxy/options.h"
#include "proxy/parent.h"
#include "proxy/source.h"
#include "proxy/tunnel.h"
#include "proxy/upstream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/sendfile.h>
#include <unistd.h>

static const proxyopts *opts;
static bool draining;
static cbv::ptr ondrained;

enum { inbuf_size = head_max + 16384 }; // a whole head and then some
static const int linger_ms = 2000;      // discarding input before a close

void
client_config (const proxyopts *o)
{
  opts = o;
}

static timecb_t *
after (int ms, cbv cb)
{
  return delaycb (ms / 1000, (ms % 1000) * 1000000u, cb);
}

// The request head through the HTTP module, with what the proxy checks
// collected on the way.  Every header line stays in _headers.
class reqparse : public httpreq, public framehdrs {
protected:
  bool dofirst (str line) override
  {
    http10 = line.len () >= 10 && line[line.len () - 3] == '0';
    return httpreq::dofirst (line);
  }
  bool doheader (str name, str val) override
  {
    httpreq::doheader (name, val);
    if (take (name, val))
      return false;
    if (name == "proxy-connection")
      pconn.push_back (val);
    else if (name == "expect")
      expect.push_back (val);
    else if (name == "host") {
      nhost++;
      hosthdr = val;
    }
    return false;
  }

public:
  bool http10;
  int nhost;
  str hosthdr; // the last Host value
  vec<str> pconn, expect;
  void clear ()
  {
    reset ();
    framehdrs::clear ();
    http10 = false;
    nhost = 0;
    hosthdr = str ();
    pconn.clear ();
    expect.clear ();
  }
};

enum cstate {
  cs_head,    // waiting for a request head, or reading one
  cs_forward, // a request in flight: body to the source, response back
  cs_finish,  // the last bytes out, then half-close and discard input
  cs_dead,    // callbacks gone; deleted from the loop
};

// How the response is framed for the client.
enum respmode { rm_none, rm_length, rm_chunked, rm_close };

class clientconn : public sink {
public:
  list_entry<clientconn> link;

private:
  const int fd;
  sockaddr_storage peer;
  const bool allowed; // inside the allowed networks
  cstate st = cs_head;
  char *ib; // input: [ibeg, iend) unread
  size_t ibeg = 0, iend = 0;
  bool started = false; // bytes of the current head have arrived
  headscan hs{true};
  reqparse rq;
  source *src = nullptr;
  bodyframe reqf;       // the request body as the client frames it
  uint64_t reqleft = 0; // bk_length: bytes to come
  chunkdec reqcd;
  bool reqdone = true; // the request body is all read
  bool keep = false;   // the connection stays after this response
  bool headreq = false;
  respmode rm = rm_none;
  bool headsent = false; // a response head is queued
  suio out;
  int ffd = -1;        // a body slice sent from this file after out
  uint64_t foff = 0;   // its next byte
  uint64_t fleft = 0;  // bytes still to send
  uint64_t txbase = 0; // out's stream position where this response began
  logrec lr;
  bool rdon = false, wron = false;
  timecb_t *tmo = nullptr;
  timecb_t *badbody = nullptr; // refusebody is due
  bool iotimer = false;        // tmo is the io timer (reset on progress)
  bool lingering = false;
  int nreq = 0;                    // requests started on this connection
  bool handed = false;             // the descriptor went to a CONNECT tunnel
  const char *result = "TCP_MISS"; // the access log's, from the source

  void setstate (cstate s);
  void arm ();
  void readable ();
  void compact ();
  void writable ();
  void timeout ();
  void tryhead ();
  void starttx ();
  bool admit (const char *p, size_t n);
  void connectto (const char *t, size_t n);
  fetchreq originreq ();
  void refusebody ();
  bool checkhead (int *status, const char **why);
  str originhead (const str &host, uint16_t port);
  void pumpbody ();
  void reply (int status, const char *msg, const char *why);
  bool statuspage ();
  void endtx (const char *result);
  void kill ();
  void destroy ();
  void settimer (int ms, bool io);

public:
  clientconn (int f, const sockaddr *sa, bool ok);
  ~clientconn ();
  void drain ();

  void src_head (const resphead *h) override;
  void src_body (suio *data) override;
  void src_end (int err, int status, const char *why) override;
  bool src_full () override
  {
    return fleft || out.resid () >= size_t (opts->window);
  }
  bool src_file (int fd, uint64_t off, uint64_t len) override;
  int sendslice ();
  void src_wantbody () override;
};

static list<clientconn, &clientconn::link> clients;
static int nclients;

int
client_count ()
{
  return nclients;
}

void
client_accept (int fd, const sockaddr *peer, bool allowed)
{
  new clientconn (fd, peer, allowed);
}

clientconn::clientconn (int f, const sockaddr *sa, bool ok)
    : fd (f), allowed (ok), ib (static_cast<char *> (malloc (inbuf_size)))
{
  memset (&peer, 0, sizeof peer);
  memcpy (&peer, sa,
          sa->sa_family == AF_INET6 ? sizeof (sockaddr_in6)
                                    : sizeof (sockaddr_in));
  clients.insert_head (this);
  nclients++;
  fd_opened (); // the slot reserved for this client's origin connection
  tcp_nodelay (fd);
  setstate (cs_head);
}

clientconn::~clientconn ()
{
  delete src;
  timecb_remove (tmo);
  timecb_remove (badbody);
  free (ib);
  if (!handed) {
    close (fd);
    fd_closed ();
    fd_closed ();
  }
  list<clientconn, &clientconn::link>::remove (this);
  if (!--nclients && draining && ondrained) {
    cbv cb (ondrained);
    ondrained = nullptr;
    delaycb (0, 0, cb);
  }
}

void
clientconn::settimer (int ms, bool io)
{
  timecb_remove (tmo);
  tmo = ms ? after (ms, wrap (this, &clientconn::timeout)) : nullptr;
  iotimer = io && ms;
}

// ---- The state machine: every transition goes through here ----

void
clientconn::setstate (cstate s)
{
  st = s;
  switch (s) {
  case cs_head:
    // A new connection gets the head timeout at once; a persistent one
    // may idle first, until its next head begins.
    hs.reset ();
    started = false;
    keep = false;
    settimer (nreq ? opts->idle_ms : opts->head_ms, false);
    if (draining && ibeg == iend && !out.resid ()) {
      kill ();
      return;
    }
    tryhead ();
    return;
  case cs_forward:
    settimer (0, false);
    break;
  case cs_finish:
    settimer (opts->io_ms, true);
    break;
  case cs_dead:
    settimer (0, false);
    break;
  }
  arm ();
}

// Descriptor interest and the io timer, from the state.
void
clientconn::arm ()
{
  if (st == cs_dead)
    return;
  compact ();
  bool rd = st == cs_head || (st == cs_finish && lingering) ||
            (st == cs_forward && !reqdone && src && !src->reqfull () &&
             iend < inbuf_size);
  bool wr = (out.resid () || fleft) && !lingering;
  if (rd != rdon)
    fdcb (fd, selread, rd ? wrap (this, &clientconn::readable) : nullptr);
  if (wr != wron)
    fdcb (fd, selwrite, wr ? wrap (this, &clientconn::writable) : nullptr);
  rdon = rd;
  wron = wr;
  if (st == cs_forward) {
    bool waiting = wr || rd; // on the client, not on the source
    if (waiting && !tmo)
      settimer (opts->io_ms, true);
    else if (!waiting && tmo)
      settimer (0, false);
  }
}

void
clientconn::timeout ()
{
  tmo = nullptr;
  if (st == cs_head && started) {
    reply (408, "Request Timeout", "the request head did not arrive in time");
    return;
  }
  if (st == cs_forward)
    endtx ("NONE");
  kill ();
}

// Closes at the next turn of the loop: callers up the stack (a source in
// the middle of a callback) may still be using this connection, and the
// source may still call in until then; a dead connection ignores it and
// never registers its descriptor again.
void
clientconn::kill ()
{
  if (st == cs_dead)
    return;
  fdcb (fd, selread, nullptr);
  fdcb (fd, selwrite, nullptr);
  rdon = wron = false;
  setstate (cs_dead);
  delaycb (0, 0, wrap (this, &clientconn::destroy));
}

void
clientconn::destroy ()
{
  delete this;
}

void
clientconn::drain ()
{
  if (st == cs_head && !started && !out.resid ())
    kill ();
}

void
client_drain (cbv cb)
{
  draining = true;
  ondrained = cb;
  for (clientconn *c = clients.first; c;) {
    clientconn *next = list<clientconn, &clientconn::link>::next (c);
    c->drain ();
    c = next;
  }
  if (!nclients) {
    ondrained = nullptr;
    delaycb (0, 0, cb);
  }
}

// ---- Input ----

// Makes room at the end of the input buffer.
void
clientconn::compact ()
{
  if (ibeg == iend)
    ibeg = iend = 0;
  else if (ibeg > inbuf_size / 2 || (ibeg && iend == inbuf_size)) {
    memmove (ib, ib + ibeg, iend - ibeg);
    iend -= ibeg;
    ibeg = 0;
  }
}

void
clientconn::readable ()
{
  compact ();
  ssize_t n = read (fd, ib + iend, inbuf_size - iend);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;
  if (n <= 0) { // the client is gone, or done sending
    if (st == cs_finish || st == cs_head || !reqdone) {
      if (st == cs_forward)
        endtx ("NONE");
      kill ();
    } else
      arm ();
    return;
  }
  if (st == cs_finish) { // lingering: discard
    ibeg = iend = 0;
    return;
  }
  iend += n;
  if (iotimer)
    settimer (opts->io_ms, true);
  if (st == cs_head)
    tryhead ();
  else if (st == cs_forward) {
    pumpbody ();
    arm ();
  }
}

void
clientconn::tryhead ()
{
  if (!started) { // blank lines between requests are allowed
    while (ibeg < iend && (ib[ibeg] == '\r' || ib[ibeg] == '\n'))
      ibeg++;
    if (ibeg == iend) {
      arm ();
      return;
    }
    started = true;
    clock_gettime (CLOCK_REALTIME, &lr.start);
    settimer (opts->head_ms, false);
  }
  int r = hs.scan (ib + ibeg, iend - ibeg);
  if (r == 0) {
    arm ();
    return;
  }
  lr.method = lr.url = str ();
  if (r < 0) {
    static const char *const why[] = {"a malformed request",
                                      "a request line over 8 KiB",
                                      "a request head over 64 KiB"};
    int i = hs.status == 414 ? 1 : hs.status == 431 ? 2 : 0;
    const char *msg = i == 1   ? "URI Too Long"
                      : i == 2 ? "Request Header Fields Too Large"
                               : "Bad Request";
    reply (hs.status, msg, why[i]);
    return;
  }
  starttx ();
}

// ---- Starting a request ----

// The method, target, Host and framing rules; false with the status.
bool
clientconn::checkhead (int *status, const char **why)
{
  *status = 400;
  if (rq.nhost > 1 || (!rq.http10 && !rq.nhost)) {
    *why = "a request needs exactly one Host header";
    return false;
  }
  if (reqbody (rq.cl, rq.te, rq.http10, &reqf) < 0) {
    *why = "ambiguous request body framing";
    return false;
  }
  for (size_t i = 0; i < rq.expect.size (); i++)
    if (strcasecmp (rq.expect[i], "100-continue")) {
      *status = 417;
      *why = "an expectation the proxy cannot meet";
      return false;
    }
  return true;
}

// The head for the origin: request line, Host, the client's end-to-end
// headers, Via, the body's framing.
str
clientconn::originhead (const str &host, uint16_t port)
{
  strbuf h;
  h << rq.method () << " " << (parent_count () ? rq.url () : rq.path ())
    << " HTTP/1.1\r\nHost: " << host;
  if (port != 80)
    h.fmt (":%d", port);
  h << "\r\n"
    << passlines (rq.headers (), rq.conn, "host\0content-length\0expect\0")
    << "Via: 1.1 ombrix\r\n";
  if (reqf.kind == bk_length)
    h.fmt ("Content-Length: %llu\r\n",
           static_cast<unsigned long long> (reqf.len));
  else if (reqf.kind == bk_chunked)
    h << "Transfer-Encoding: chunked\r\n";
  h << "\r\n";
  return h;
}

// The head of n bytes at ib + ibeg with an origin-form target made
// absolute for the gateway's origin.
static bool
gatewayform (suio *u, const char *p, size_t n, const proxyopts *o)
{
  const char *sp = static_cast<const char *> (memchr (p, ' ', n));
  if (!sp || sp[1] != '/')
    return false;
  u->copy (p, sp + 1 - p);
  strbuf url ("http://%s:%d", o->originhost.cstr (), o->originport);
  u->copyu (url.tosuio ());
  u->copy (sp + 1, n - (sp + 1 - p));
  return true;
}

// Parses and checks the head of n bytes at p; false once refused (the
// reply is queued).
bool
clientconn::admit (const char *p, size_t n)
{
  suio u;
  const char *t = static_cast<const char *> (memchr (p, ' ', n)) + 1;
  const char *te = static_cast<const char *> (memchr (t, ' ', p + n - t));
  if (!strncmp (p, "CONNECT ", 8)) {
    connectto (t, te - t);
    return false;
  }
  if (!(opts->originhost && gatewayform (&u, p, n, opts))) {
    if (!httptarget (t, te - t)) {
      reply (400, "Bad Request", "the request target is not an http URL");
      return false;
    }
    u.copy (p, n);
  }
  rq.clear ();
  if (rq.parse (&u) != 1) {
    reply (400, "Bad Request", "the request target is not an http URL");
    return false;
  }
  lr.method = rq.method ();
  lr.url = rq.url ();
  int status;
  const char *why;
  if (!allowed) {
    reply (403, "Forbidden", "access denied");
    return false;
  }
  if (!checkhead (&status, &why)) {
    reply (status, status == 417 ? "Expectation Failed" : "Bad Request", why);
    return false;
  }
  return true;
}

// CONNECT host:port: refused here, or the connection handed over to a
// tunnel with what the client sent behind the head.
void
clientconn::connectto (const char *t, size_t n)
{
  lr.method = "CONNECT";
  lr.url = str (t, n);
  str host;
  uint16_t port;
  if (!allowed)
    reply (403, "Forbidden", "access denied");
  else if (!tunnel_target (t, n, &host, &port))
    reply (400, "Bad Request", "a CONNECT target is host:port");
  else if (!tunnel_port_ok (port))
    reply (403, "Forbidden", "CONNECT to this port is not allowed");
  else {
    kill (); // its callbacks go before the tunnel sets its own
    handed = true;
    lr.peer = peer;
    tunnel_start (fd, lr, host, port, ib + ibeg, iend - ibeg);
    ibeg = iend = 0;
  }
}

// What the origin is sent, and whether it may be sent twice.
fetchreq
clientconn::originreq ()
{
  bool gw = opts->originhost; // every request goes to the one origin
  fetchreq fr;
  fr.host = gw ? opts->originhost : str (rq.host ());
  fr.port = gw ? opts->originport : rq.port ();
  fr.head = originhead (fr.host, fr.port);
  fr.headreq = headreq;
  fr.body = reqf.kind;
  fr.key = parent_count () ? str (rq.urlhash ()) : str ();
  static const char idem[] = "GET\0HEAD\0OPTIONS\0TRACE\0PUT\0DELETE\0";
  fr.retryable = false;
  for (const char *m = idem; *m; m += strlen (m) + 1)
    fr.retryable =
        fr.retryable || (reqf.kind == bk_none && !strcmp (m, rq.method ()));
  return fr;
}

void
clientconn::starttx ()
{
  const char *p = ib + ibeg;
  size_t n = hs.len;
  ibeg += n;
  txbase = out.byteno () + out.resid ();
  nreq++;
  if (!admit (p, n))
    return;
  headreq = !strcmp (rq.method (), "HEAD");
  keep = !draining && !hastoken (rq.conn, "close") &&
         !hastoken (rq.pconn, "close") &&
         (!rq.http10 || hastoken (rq.conn, "keep-alive") ||
          hastoken (rq.pconn, "keep-alive"));
  if (statuspage ())
    return;
  fetchreq fr = originreq ();
  lr.host = fr.host;
  reqleft = reqf.len;
  reqcd.reset ();
  reqdone = reqf.kind == bk_none;
  headsent = false;
  if (rq.expect.size () && !reqdone && !rq.http10)
    out.copy ("HTTP/1.1 100 Continue\r\n\r\n", 25);
  txbase = out.byteno () + out.resid ();
  src = cache_source (fr, rq.method (), str (rq.url ()),
                      passlines (rq.headers (), rq.conn, ""),
                      reqf.kind != bk_none, this);
  setstate (cs_forward);
  src->start ();
  pumpbody ();
  arm ();
}

// Request body bytes from the input buffer to the source, decoded.
void
clientconn::pumpbody ()
{
  while (!reqdone && ibeg < iend && !src->reqfull ()) {
    if (reqf.kind == bk_length) {
      size_t k = iend - ibeg < reqleft ? iend - ibeg : size_t (reqleft);
      src->reqbody (ib + ibeg, k);
      ibeg += k;
      reqleft -= k;
      reqdone = !reqleft;
    } else {
      size_t used, off, dl;
      int r = reqcd.feed (ib + ibeg, iend - ibeg, &used, &off, &dl);
      if (r < 0) { // the origin got a part: drop it, at the next turn
        reqdone = true;
        timecb_remove (badbody);
        badbody = delaycb (0, 0, wrap (this, &clientconn::refusebody));
        return;
      }
      if (dl)
        src->reqbody (ib + ibeg + off, dl);
      ibeg += used;
      reqdone = r == 1;
    }
    if (reqdone)
      src->reqend ();
  }
}

// A malformed chunked request body: 400 if no response has begun, else
// the connection is cut.  Runs from the loop, not from a source callback.
void
clientconn::refusebody ()
{
  badbody = nullptr;
  delete src;
  src = nullptr;
  if (st == cs_dead)
    return;
  if (!headsent) {
    reply (400, "Bad Request", "a malformed chunked request body");
    return;
  }
  endtx ("NONE");
  kill ();
}

void
clientconn::src_wantbody ()
{
  if (st != cs_forward)
    return;
  pumpbody ();
  arm ();
}

// ---- The response ----

void
clientconn::src_head (const resphead *h)
{
  if (st == cs_dead)
    return;
  if (headreq || h->body.kind == bk_none)
    rm = rm_none;
  else if (h->body.kind == bk_length)
    rm = rm_length;
  else if (rq.http10)
    rm = rm_close;
  else
    rm = rm_chunked;
  if (rm == rm_close || draining)
    keep = false;
  strbuf b ("HTTP/1.1 %03d ", h->status);
  b << h->reason << "\r\n" << h->lines << "Via: 1.1 ombrix\r\n";
  if (!h->hasdate)
    b << "Date: " << httptime () << "\r\n";
  if (rm == rm_length)
    b.fmt ("Content-Length: %llu\r\n",
           static_cast<unsigned long long> (h->body.len));
  else if (rm == rm_chunked)
    b << "Transfer-Encoding: chunked\r\n";
  if (!keep)
    b << "Connection: close\r\n";
  else if (rq.http10)
    b << "Connection: keep-alive\r\n";
  b << "\r\n";
  out.take (b.tosuio ());
  headsent = true;
  lr.status = h->status;
  result = h->result ? h->result : "TCP_MISS";
  arm ();
}

void
clientconn::src_body (suio *data)
{
  if (st == cs_dead) {
    data->rembytes (data->resid ());
    return;
  }
  if (rm == rm_chunked) {
    char hex[24];
    int k = snprintf (hex, sizeof hex, "%zx\r\n", data->resid ());
    out.copy (hex, k);
    out.take (data);
    out.copy ("\r\n", 2);
  } else
    out.take (data);
  arm ();
}

void
clientconn::src_end (int err, int status, const char *why)
{
  delete src; // its last act was this call
  src = nullptr;
  if (st == cs_dead) // closed while the source ran on: nothing to do
    return;
  if (err && !headsent) {
    reply (status, status == 504 ? "Gateway Timeout" : "Bad Gateway", why);
    return;
  }
  if (err) { // cut off mid-body: the client must not take it as whole
    endtx (result);
    linger l = {1, 0}; // the close resets the connection
    setsockopt (fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    kill ();
    return;
  }
  if (rm == rm_chunked)
    out.copy ("0\r\n\r\n", 5);
  endtx (result);
  if (!reqdone || draining)
    keep = false; // where the next request would start is unknown
  if (keep)
    setstate (cs_head);
  else
    setstate (cs_finish);
}

// ---- Output ----

// A file slice goes out after what out holds, with sendfile in pieces of
// at most a MiB (the socket takes what it has room for).
bool
clientconn::src_file (int f, uint64_t off, uint64_t len)
{
  if (st == cs_dead || rm == rm_chunked || fleft)
    return false;
  ffd = f;
  foff = off;
  fleft = len;
  txbase -= len; // counted in the log as if it went through out
  arm ();
  return true;
}

// 1 with progress, 0 when the socket is full, -1 on an error.
int
clientconn::sendslice ()
{
  size_t n = fleft < (size_t (1) << 20) ? size_t (fleft) : size_t (1) << 20;
  off_t o = off_t (foff);
  ssize_t k = sendfile (fd, ffd, &o, n);
  if (k < 0)
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  if (!k) // the file is shorter than its header said
    return -1;
  foff += uint64_t (k);
  fleft -= uint64_t (k);
  return 1;
}

void
clientconn::writable ()
{
  int r = out.output (fd);
  if (r >= 0 && !out.resid () && fleft)
    r = sendslice ();
  if (r < 0) {
    if (st == cs_forward)
      endtx ("NONE");
    kill ();
    return;
  }
  if (r > 0 && iotimer)
    settimer (opts->io_ms, true);
  if (st == cs_forward && src && !src_full ())
    src->resume ();
  if (!out.resid () && st == cs_finish) {
    shutdown (fd, SHUT_WR); // then wait for the client's end, briefly
    lingering = true;
    ibeg = iend = 0;
    settimer (linger_ms, false);
  }
  arm ();
}

// httperror asks the resolver for this host's name on every call, which
// blocks the loop for as long as the resolver takes (long on a host
// without a fully qualified name).  So a page is built at most once a
// second for each status, reason and URL, and reused within that second
// (tunnels take theirs from here too).
str
errpage (int status, const char *msg, const char *why, const str &url)
{
  struct page {
    int status = 0;
    const char *why = nullptr; // static texts: compared by address
    str url;
    time_t made = 0;
    str text;
  };
  static page cache[32];
  page *old = cache;
  for (page &p : cache) {
    if (p.status == status && p.why == why && p.url == url && p.made == timenow)
      return p.text;
    if (p.made < old->made)
      old = &p;
  }
  old->status = status;
  old->why = why;
  old->url = url;
  old->made = timenow;
  old->text = httperror (status, msg, url, why);
  return old->text;
}

// GET http://ombrix.status/ (Host: ombrix.status in gateway mode): the
// cache's counters, as JSON when the path or Accept asks for it.  The
// connection closes after it, as after an error page.
bool
clientconn::statuspage ()
{
  const char *h = opts->originhost ? rq.hosthdr.cstr () : rq.host ();
  size_t n = h ? strcspn (h, ":") : 0;
  if (n != 13 || strncasecmp (h, "ombrix.status", 13))
    return false;
  bool json = strstr (rq.path (), "json") ||
              strstr (str (rq.headers ()).cstr (), "application/json");
  str body = cache_status (json, nclients);
  strbuf b ("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %llu\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
            json ? "application/json" : "text/plain",
            static_cast<unsigned long long> (body.len ()));
  if (!headreq)
    b << body;
  out.take (b.tosuio ());
  headsent = true;
  lr.status = 200;
  keep = false;
  endtx ("NONE");
  setstate (cs_finish);
  return true;
}

// An error page of the proxy's own; the connection closes after it.
void
clientconn::reply (int status, const char *msg, const char *why)
{
  str url = lr.url ? lr.url : str ("");
  str page = errpage (status, msg, why, url);
  suio_print (&out, page);
  headsent = true;
  lr.status = status;
  keep = false;
  endtx (status == 403 ? "TCP_DENIED" : "NONE");
  setstate (cs_finish);
}

void
clientconn::endtx (const char *result)
{
  lr.result = result;
  lr.peer = peer;
  lr.bytes = out.byteno () + out.resid () - txbase;
  if (!headsent)
    lr.status = 0;
  accesslog_write (lr);
  lr.host = str ();
  txbase = out.byteno () + out.resid ();
}
