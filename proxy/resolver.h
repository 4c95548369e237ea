// Name resolution for the proxy, without blocking the event loop.
//
// dns_lookup starts resolving a host name (or parses a literal IPv4 or
// IPv6 address) and calls its callback exactly once, later, from the loop:
// never from inside dns_lookup.  The dnsresult handed to the callback is
// valid only while the callback runs; copy what you keep.  A dnsreq handle
// is valid until its callback has started or dns_cancel has been called on
// it; after dns_cancel the callback is never called and its counted
// reference is dropped.
//
// Errors: dns_init returns 0, or -1 with a warning printed; a failed lookup
// is a dnsresult with err != 0 and no addresses (dns_strerror names it).
// Single-threaded, no locks.
#ifndef OMBRIX_PROXY_RESOLVER_H
#define OMBRIX_PROXY_RESOLVER_H

#include "async/callback.h"

#include <sys/socket.h>

enum { dns_maxaddrs = 8 };

struct dnsresult {
  int err;                              // 0, or a resolver error code
  int naddrs;                           // 0 to dns_maxaddrs
  sockaddr_storage addrs[dns_maxaddrs]; // port 0; IPv4 first, then IPv6
};
typedef callback<void, const dnsresult *> dnscb;
struct dnsreq; // opaque

// Starts the resolver on the loop: /etc/resolv.conf and /etc/hosts, each
// try timing out after timeout_ms.  Idempotent.
int dns_init (int timeout_ms = 2000);
// Cancels every pending lookup (their callbacks run with an error) and
// frees the resolver; dns_init may start it again.
void dns_shutdown ();
dnsreq *dns_lookup (const char *host, ref<dnscb> cb);
void dns_cancel (dnsreq *r); // null ignored
const char *dns_strerror (int err);

// Answers are cached for their TTL, at most dns_maxttl seconds; "no such
// name" and "no address" for dns_negttl seconds; failures not at all.  At
// most dns_cachemax answers are kept, the least recently used going first.
// Lookups of one name in flight at the same time share one query; dns_init
// tries each server twice, so a dead one costs about three timeouts.
// Errors are c-ares's codes (ARES_ETIMEOUT, ARES_ENOTFOUND, ...): names
// that are no host names fail with ARES_EBADNAME, lookups before dns_init
// with ARES_ENOTINITIALIZED, those pending at dns_shutdown with
// ARES_EDESTRUCTION.
enum { dns_cachemax = 1024, dns_maxttl = 3600, dns_negttl = 5 };

// Like dns_init, but asks only the name servers in servers ("127.0.0.1:53"
// or several, comma-separated, "[::1]:5353" for IPv6), names taken as
// given (no search domains), tries tries per server.  For tests and for
// an explicit server option; /etc/hosts is still honoured.
int dns_init_servers (const char *servers, int timeout_ms, int tries);
// Invariant checker: the cache, the queries in flight, the queued answers
// and the descriptors watched.  Panics on the first broken rule.
void dns_check ();

#endif
