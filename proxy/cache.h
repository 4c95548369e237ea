// The proxy's shared cache on the request path: for each request the
// client connection gets a source from cache_source, which answers from
// the memory store (a hit, a client's own conditional answered 304, a
// 504 for only-if-cached), joins a fetch already filling the object
// (collapsed forwarding), revalidates a stale object, or fetches from the
// origin while storing what may be stored.  Unsafe methods that succeed
// invalidate what they name.
//
// Memory: the store is the module's own (cache_config makes it); sources
// are the caller's (source.h).  The fetch that fills an object belongs to
// the cache, not to the client that started it: when that client goes,
// the fetch goes on for the others and for the store (a fetch no longer
// stored and read by nobody stops).  Errors: as upstream.h; an object
// whose fetch fails mid-body is never published and its readers are cut
// off.  Single-threaded.
//
// With the disk store: a fetch stored on disk pauses while more than
// 1 MiB of its body (disk_backlog) waits for the file worker, and reads
// again once half of that is written, or at once when the disk copy is
// dropped (disk error, limits, invalidation); its readers in memory wait
// with it.  A disk hit whose file fits the memory store's per-object
// limit is read whole on the file worker and put into the memory store
// with the file's times: the request that found it is answered from
// that copy (TCP_HIT), later ones are memory hits.  Larger objects go out
// from their file each time.
#ifndef OMBRIX_PROXY_CACHE_H
#define OMBRIX_PROXY_CACHE_H

#include "async/str.h"
#include "proxy/source.h"
#include "proxy/upstream.h"

#include <cstdint>

// mem 0 turns caching off; window bounds the read-ahead of a fetch whose
// object is too large to store, past its slowest reader.
void cache_config (uint64_t mem, uint64_t maxobject, int window);
bool cache_on ();
// Keeps the cache on disk too, in dir up to size bytes, behind the memory
// store; the folder is scanned while requests are served.  0, or -1 with a
// warning when dir cannot be used (the cache stays in memory only).
// nice is the file worker thread's (fileworker.h).
int cache_disk (const str &dir, uint64_t size, int nice = 0);

// The source for one request: method upper-case, url the normalised URL
// (the key), lines its end-to-end header lines, body whether it has one.
source *cache_source (const fetchreq &fr, const char *method, const str &url,
                      const str &lines, bool body, sink *s);

struct cachestats {
  uint64_t hits;      // answered from the store, revalidated ones included
  uint64_t misses;    // went to the origin
  uint64_t collapsed; // joined a fetch in progress
};
const cachestats &cache_stats ();
// The status page body: plain "name value" lines, or one JSON object.
str cache_status (bool json, int connections);

#endif
