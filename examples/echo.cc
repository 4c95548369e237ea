// A line-echo TCP server on the Ombrix event loop: the place to start for a
// program built on the library.
//
//   echo PORT [IDLE-SECONDS]
//
// Listens on PORT (0: any free port) on every IPv4 address (BINDADDR
// narrows it) and prints "listening on PORT\n" on standard output once it
// accepts connections.  Every line a client sends comes back to it ("\r\n"
// becomes "\n"); a last line without its "\n" is echoed when the client
// shuts down its side, and then the server closes the connection.  A
// client that sends nothing and takes nothing for IDLE-SECONDS (default
// 60) is disconnected.  SIGTERM or SIGINT ends the server cleanly, with
// status 0.
//
// One thread serves every client: the listening socket and each
// connection register callbacks with the loop (fdcb), which runs them
// when the descriptor is ready.  Each connection owns an
// input suio (bytes not yet a whole line) and a strbuf of echoes not yet
// written.  A client that sends faster than it reads is throttled: while
// more than maxpending bytes wait to be written, the server stops reading
// from it, so memory per client stays bounded.  Diagnostics (warnings and
// fatal errors) are queued while the loop runs.
#include "async/async.h"

#include <arpa/inet.h>
#include <cerrno>
#include <unistd.h>

enum {
  maxline = 65536,    // longest line accepted, "\n" included
  maxpending = 65536, // echo bytes queued before reading pauses
  readsize = 16384,   // bytes asked of one read
  acceptburst = 64,   // connections taken per listener callback
};

// One client.  Owned by the conns list; the loop's callbacks hold plain
// pointers to it and are all dropped by drop () before it is freed.
struct conn {
  const int fd;
  const str peer;       // "address:port", for messages
  suio in;              // received bytes not yet part of a whole line
  const strbuf out;     // echoes not yet written
  timespec last;        // last transfer in either direction: the idle clock
  timecb_t *idle;       // the pending idle check; null while it runs
  bool reading = false; // registered for reading (off while out is full)
  bool writing = false; // registered for writing (on while out is not empty)
  bool eof = false;     // the client has shut down its side
  list_entry<conn> link;

  conn (int f, const str &p) : fd (f), peer (p), last (tsnow), idle (nullptr) {}
};

static list<conn, &conn::link> conns;
static int nconns;            // open connections
static unsigned long nserved; // connections accepted since start
static int listenfd = -1;     // -1 once closed
static time_t idlesec = 60;   // seconds without a transfer before closing

static void readcb (conn *c);
static void writecb (conn *c);
static void idlecb (conn *c);
static void acceptcb ();

static void
drop (conn *c)
{
  fdcb (c->fd, selread, nullptr);
  fdcb (c->fd, selwrite, nullptr);
  timecb_remove (c->idle);
  close (c->fd);
  conns.remove (c);
  nconns--;
  delete c;
}

static void
setreading (conn *c, bool on)
{
  if (c->reading != on)
    fdcb (c->fd, selread, on ? wrap (readcb, c) : nullptr);
  c->reading = on;
}

// Writes what it can of the echoes, then decides what to wait for: more
// room to write while echoes remain, more input while there is room for
// their echoes, and the end once the client is done and all is written.
static void
flush (conn *c)
{
  suio *out = c->out.tosuio ();
  if (out->resid ()) {
    int r = out->output (c->fd);
    if (r < 0) {
      warnobj (0) ("%s: write: %m\n", c->peer.cstr ());
      drop (c);
      return;
    }
    if (r > 0)
      c->last = tsnow;
  }
  if (!out->resid () && c->eof) {
    drop (c);
    return;
  }
  bool more = out->resid () > 0;
  if (c->writing != more)
    fdcb (c->fd, selwrite, more ? wrap (writecb, c) : nullptr);
  c->writing = more;
  setreading (c, !c->eof && out->resid () <= maxpending);
}

// Echoes every whole line received.  False when a line, its "\n"
// included, is longer than maxline, whether or not its end has come yet.
static bool
echolines (conn *c)
{
  for (size_t n; (n = c->in.linelen ());) {
    if (n > maxline)
      return false;
    c->out << suio_getline (&c->in) << "\n";
  }
  return c->in.resid () < maxline;
}

static void
readcb (conn *c)
{
  ssize_t n = c->in.input (c->fd, readsize);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return;
    warnobj (0) ("%s: read: %m\n", c->peer.cstr ());
    drop (c);
    return;
  }
  if (n == 0) {
    c->eof = true;
    if (c->in.resid ())
      c->in.copy ("\n", 1); // the last line, ended for the client
  } else
    c->last = tsnow;
  if (!echolines (c)) {
    warnobj (0) ("%s: line longer than %d bytes; closing\n", c->peer.cstr (),
                 int (maxline));
    drop (c);
    return;
  }
  flush (c);
}

static void
writecb (conn *c)
{
  flush (c);
}

// The timer does not move with every transfer: when it fires early it
// sets itself again for the idle time after the last transfer.
static void
idlecb (conn *c)
{
  c->idle = nullptr; // the loop frees the record after this call
  timespec due = c->last;
  due.tv_sec += idlesec;
  if (tscmp (due, tsnow) > 0) {
    c->idle = timecb (due, wrap (idlecb, c));
    return;
  }
  warnobj (0) ("%s: no traffic for %d s; closing\n", c->peer.cstr (),
               int (idlesec));
  drop (c);
}

static void
resumeaccept ()
{
  if (listenfd >= 0)
    fdcb (listenfd, selread, wrap (acceptcb));
}

// Out of descriptors: stop accepting for a second rather than spin on a
// listener that stays readable.
static void
pauseaccept ()
{
  fdcb (listenfd, selread, nullptr);
  delaycb (1, 0, wrap (resumeaccept));
}

static void
newconn (int fd, const sockaddr_in &sin)
{
  make_async (fd);
  close_on_exec (fd);
  tcp_nodelay (fd); // an echo goes out at once, not after the last one's ack
  str peer =
      strbuf ("%s:%d", inet_ntoa (sin.sin_addr), int (ntohs (sin.sin_port)));
  conn *c = new conn (fd, peer);
  conns.insert_head (c);
  nconns++;
  nserved++;
  c->idle = delaycb (idlesec, 0, wrap (idlecb, c));
  setreading (c, true);
}

static void
acceptcb ()
{
  for (int i = 0; i < acceptburst; i++) {
    sockaddr_in sin;
    socklen_t len = sizeof (sin);
    int fd = accept (listenfd, reinterpret_cast<sockaddr *> (&sin), &len);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        warnobj (0) ("accept: %m; pausing for a second\n");
        pauseaccept ();
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                 errno != ECONNABORTED)
        warnobj (0) ("accept: %m\n");
      return;
    }
    if (fd >= maxfd) { // beyond what the loop can watch
      warnobj (0) ("descriptor %d beyond the loop's limit; refusing a client\n",
                   fd);
      close (fd);
      pauseaccept ();
      return;
    }
    newconn (fd, sin);
  }
}

static void
stop (const char *sig)
{
  warnobj (0) ("%s: %lu connections served, %d open; exiting\n", sig, nserved,
               nconns);
  fdcb (listenfd, selread, nullptr);
  close (listenfd);
  listenfd = -1;
  while (conns.first)
    drop (conns.first);
  exit (0); // the exit work writes out queued diagnostics
}

// A decimal number in [lo, hi], the whole string.
static bool
number (const char *s, int64_t lo, int64_t hi, int64_t *v)
{
  char *end;
  *v = strtoi64 (s, &end, 10);
  return end != s && !*end && *v >= lo && *v <= hi;
}

static int
listenon (int64_t port)
{
  int fd = inetsocket (SOCK_STREAM, u_int16_t (port));
  if (fd < 0)
    fatal ("port %d: %m\n", int (port));
  if (listen (fd, SOMAXCONN) < 0)
    fatal ("listen: %m\n");
  make_async (fd);
  close_on_exec (fd);
  return fd;
}

int
main (int argc, char **argv)
{
  setprogname (argv[0]);
  int64_t port, idle = idlesec;
  if (argc < 2 || argc > 3 || !number (argv[1], 0, 65535, &port) ||
      (argc == 3 && !number (argv[2], 1, 86400, &idle))) {
    warnobj (warnobj::noprogflag) ("usage: %s PORT [IDLE-SECONDS]\n",
                                   progname.cstr ());
    exit (1);
  }
  idlesec = idle;
  // As many clients as the hard limit allows (on select, maxfd stays 1024).
  fdlim_set (rlim_t (fdlim_get (1)), 0);
  listenfd = listenon (port);

  sockaddr_in sin;
  socklen_t len = sizeof (sin);
  if (getsockname (listenfd, reinterpret_cast<sockaddr *> (&sin), &len) < 0)
    fatal ("getsockname: %m\n");
  fdcb (listenfd, selread, wrap (acceptcb));
  sigcb (SIGTERM, wrap (stop, "SIGTERM"));
  sigcb (SIGINT, wrap (stop, "SIGINT"));

  // Only now: a SIGTERM sent on seeing this line must find its handler.
  strbuf ready ("listening on %d\n", int (ntohs (sin.sin_port)));
  while (ready.tosuio ()->resid ())
    if (ready.tosuio ()->output (1) < 0)
      fatal ("stdout: %m\n");
  amain ();
}
