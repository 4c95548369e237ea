// Parent proxies (--parent HOST:PORT, repeatable): requests go to one of
// them in absolute form instead of to the origin, a cache hierarchy.  Each
// URL has one home among the parents, by rendezvous (highest random
// weight) hashing of its key: every parent scores the key, the highest
// score wins, so a parent that goes away moves only its own URLs, spread
// over the others, and the rest keep theirs.  A parent that fails (its
// connection refused or timed out) is passed over for parent_down_s
// seconds; its URLs go to their next-best parent meanwhile.
//
// Memory: parent_config copies the names.  Results are parent indexes,
// valid until the next parent_config.  Single-threaded, no locks.
#ifndef OMBRIX_PROXY_PARENT_H
#define OMBRIX_PROXY_PARENT_H

#include "async/str.h"
#include "async/vec.h"

#include <cstdint>

enum {
  parent_max = 64,    // parents configured at most
  parent_down_s = 30, // a failed parent is passed over so long
};

// "host:port" each, as the options give them; the first parent_max kept.
void parent_config (const vec<str> &hostports);
int parent_count ();
const str &parent_host (int i);
uint16_t parent_port (int i);
// The home of key: the best-scoring parent not passed over, or if every
// one is, the best of all; -1 without parents.
int parent_pick (const char *key);
// i failed: passed over for parent_down_s seconds from now.
void parent_failed (int i);
bool parent_up (int i);
// The clock the above read, in seconds; tests may replace it.
extern long (*parent_clock) ();
// Invariant checker: names parsed, counts in bounds.  Panics if broken.
void parent_check ();

#endif
