// ombrix: a forwarding HTTP/1.1 proxy on the loop.  Reads the options,
// listens, serves; SIGTERM and SIGINT stop accepting and let transfers
// in flight finish (up to --drain), SIGHUP reopens the access log.
#include "async/core.h"
#include "async/err.h"
#include "proxy/accesslog.h"
#include "proxy/cache.h"
#include "proxy/clientconn.h"
#include "proxy/listener.h"
#include "proxy/options.h"
#include "proxy/parent.h"
#include "proxy/resolver.h"
#include "proxy/tunnel.h"
#include "proxy/upstream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static proxyopts opts;
static bool stopping;

static void
done ()
{
  pool_clear ();
  accesslog_close ();
  exit (0);
}

// Clients and tunnels both gone.
static void
drained ()
{
  static int left = 2;
  if (!--left)
    done ();
}

static void
stop ()
{
  if (stopping)
    return;
  stopping = true;
  listener_stop ();
  pool_clear ();
  delaycb (opts.drain_ms / 1000, (opts.drain_ms % 1000) * 1000000u,
           wrap (done));
  client_drain (wrap (drained));
  tunnel_drain (wrap (drained));
}

static void
hup ()
{
  accesslog_reopen ();
}

static void
accepted (int fd, const sockaddr *peer, bool allowed)
{
  client_accept (fd, peer, allowed);
}

int
main (int argc, char **argv)
{
  setprogname (argv[0]);
  str err;
  int r = opts_parse (&opts, argc, argv, &err);
  if (r <= 0) {
    if (r < 0)
      fprintf (stderr, "ombrix: %s (try --help)\n", err.cstr ());
    return r < 0 ? 2 : 0;
  }
  if (accesslog_open (opts.accesslog) < 0) {
    fprintf (stderr, "ombrix: access log %s: %s\n", opts.accesslog.cstr (),
             strerror (errno));
    return 2;
  }
  // A transaction holds two descriptors: take all the hard limit allows.
  // Under epoll the loop watches that many; under select it stays at 1024.
  int hard = fdlim_get (1);
  if (hard > 0 && fdlim_set (hard, 0) < 0)
    warnobj (0) ("cannot raise the descriptor limit to %d\n", hard);
  if (dns_init () < 0)
    return 1;
  upconfig uc = {opts.connect_ms, opts.firstbyte_ms, opts.io_ms, opts.window,
                 opts.pool};
  upstream_config (uc);
  client_config (&opts);
  tunnel_config (&opts);
  parent_config (opts.parents);
  cache_config (opts.cachemem, opts.cachemax, opts.window);
  if (opts.cachedir && !opts.cachemem) {
    fprintf (stderr, "ombrix: --cache-dir needs --cache-mem above 0\n");
    return 2;
  }
  if (opts.cachedir &&
      cache_disk (opts.cachedir, opts.cachesize, opts.disknice) < 0)
    return 1;
  uint16_t port;
  if (listener_start (opts.listenhost, opts.listenport, opts.allow,
                      wrap (accepted), &port) < 0) {
    fprintf (stderr, "ombrix: listen on %s:%d: %s\n", opts.listenhost.cstr (),
             opts.listenport, strerror (errno));
    return 1;
  }
  sigcb (SIGTERM, wrap (stop));
  sigcb (SIGINT, wrap (stop));
  sigcb (SIGHUP, wrap (hup));
  printf ("ombrix: listening on %s:%d\n", opts.listenhost.cstr (), port);
  fflush (stdout);
  amain ();
}
