// The origin side: connecting (name lookup, then each address in turn),
// a bounded pool of idle persistent connections per origin, and the
// fetch, the source that sends one request and reads its response.
//
// Memory: upstream_config copies what it needs.  fetch_new returns a
// source the caller owns (see source.h); it keeps the fetchreq's strs.
// Descriptors: a fetch's connection is counted against the ceiling by the
// client that asked for it (its reserved slot); an idle pooled connection
// is counted on its own (listener.h).
//
// Errors: no failure escapes as anything but src_end: 502 for a refused
// or unreachable origin, a failed lookup or a malformed response, 504 for
// an origin too slow to connect or to answer.
#ifndef OMBRIX_PROXY_UPSTREAM_H
#define OMBRIX_PROXY_UPSTREAM_H

#include "async/callback.h"
#include "async/str.h"
#include "proxy/source.h"

#include <cstdint>

struct upconfig {
  int connect_ms;   // connecting, lookup included
  int firstbyte_ms; // request sent, no response byte yet
  int io_ms;        // silence mid-transfer
  int window;       // request bytes queued before saying full
  int pool;         // idle connections kept per origin
};
void upstream_config (const upconfig &c);

// One request for an origin.
struct fetchreq {
  str host;       // lower-case name or address literal
  uint16_t port;  // the origin's port
  str head;       // the whole request head, blank line included
  bool headreq;   // HEAD: the response has no body
  bool retryable; // idempotent without a body: may be sent twice
  bodykind body;  // bk_none, bk_length (the head says how long) or
                  // bk_chunked (the fetch encodes what reqbody gets)
  str key;        // non-null: sent to the parent proxy this key picks
                  // (parent.h), which is passed over if it cannot be
                  // reached, the request going to the next-best one
};
source *fetch_new (const fetchreq &r, sink *s);

// Connecting alone (CONNECT tunnels): looks host up and tries each
// address within the connect timeout; cb gets the connected, non-blocking
// descriptor (the caller's, uncounted), or -1 with the status to answer
// (502, 504) and why.  cb runs from the loop, never inside conn_start;
// after conn_cancel it never runs.
struct connreq;
typedef callback<void, int, int, const char *> connectcb;
connreq *conn_start (const str &host, uint16_t port, ref<connectcb> cb);
void conn_cancel (connreq *c); // null ignored

// Idle connections pooled now; closes them all.
int pool_size ();
void pool_clear ();

#endif
