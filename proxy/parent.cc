#include "proxy/parent.h"

#include "async/err.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

struct parent {
  str host;
  uint16_t port;
  uint64_t seed;  // the hash of "host:port", mixed into every score
  long downuntil; // passed over before this second; 0: up
};
static parent parents[parent_max];
static int nparents;

static long
monotonic ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}
long (*parent_clock) () = monotonic;

// FNV-1a, continued from h.
static uint64_t
fnv (const char *s, uint64_t h = 14695981039346656037ull)
{
  for (; *s; s++)
    h = (h ^ uint8_t (*s)) * 1099511628211ull;
  return h;
}

// The score of key at a parent: its hash continued with the parent's,
// then mixed (splitmix64's finalizer) so that nearby inputs spread.
static uint64_t
score (uint64_t key, uint64_t seed)
{
  uint64_t z = key ^ (seed * 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

void
parent_config (const vec<str> &hostports)
{
  nparents = 0;
  for (size_t i = 0; i < hostports.size () && nparents < parent_max; i++) {
    const str &hp = hostports[i];
    const char *colon = strrchr (hp, ':');
    if (!colon)
      continue;
    parent &p = parents[nparents++];
    p.host = str (hp.cstr (), colon - hp.cstr ());
    p.port = uint16_t (atoi (colon + 1));
    p.seed = fnv (hp);
    p.downuntil = 0;
  }
}

int
parent_count ()
{
  return nparents;
}

const str &
parent_host (int i)
{
  return parents[i].host;
}

uint16_t
parent_port (int i)
{
  return parents[i].port;
}

bool
parent_up (int i)
{
  return parents[i].downuntil <= parent_clock ();
}

void
parent_failed (int i)
{
  parents[i].downuntil = parent_clock () + parent_down_s;
}

int
parent_pick (const char *key)
{
  uint64_t k = fnv (key);
  int best = -1, bestup = -1;
  uint64_t s = 0, sup = 0;
  for (int i = 0; i < nparents; i++) {
    uint64_t v = score (k, parents[i].seed);
    if (best < 0 || v > s)
      best = i, s = v;
    if (parent_up (i) && (bestup < 0 || v > sup))
      bestup = i, sup = v;
  }
  return bestup >= 0 ? bestup : best;
}

void
parent_check ()
{
  if (nparents < 0 || nparents > parent_max)
    panic ("parent: %d parents\n", nparents);
  for (int i = 0; i < nparents; i++) {
    const parent &p = parents[i];
    if (!p.host || !p.port ||
        p.seed != fnv (str (strbuf ("%s:%d", p.host.cstr (), p.port))))
      panic ("parent %d: %s:%d\n", i, p.host ? p.host.cstr () : "-", p.port);
  }
}
