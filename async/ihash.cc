#include "ihash.h"
#include "malloc.h"
#include "msb.h"

#include <cassert>
#include <cstdint>

const u_int exp2primes[33] = {
    1u,          2u,          3u,          7u,         13u,        31u,
    61u,         127u,        251u,        509u,       1021u,      2039u,
    4093u,       8191u,       16381u,      32749u,     65521u,     131071u,
    262139u,     524287u,     1048573u,    2097143u,   4194301u,   8388593u,
    16777213u,   33554393u,   67108859u,   134217689u, 268435399u, 536870909u,
    1073741789u, 2147483647u, 4294967291u,
};

static inline _ihash_entry *
lnk (void *elm, size_t os)
{
  return reinterpret_cast<_ihash_entry *> (static_cast<char *> (elm) + os);
}

void
_ihash_grow (_ihash_table *t, size_t os)
{
  size_t nb;
  if (!t->buckets)
    nb = exp2primes[0];
  else {
    int i = fls32 (u_int32_t (t->buckets - 1)) + 1;
    // Past the last prime the index would leave the table: stay put and let
    // the chains lengthen instead.
    if (i >= int (sizeof (exp2primes) / sizeof (exp2primes[0])))
      return;
    nb = exp2primes[i];
  }
  if (nb <= 2)
    nb = 3;

  void **ntab = static_cast<void **> (xmallocarray (nb, sizeof (void *)));
  for (size_t i = 0; i < nb; i++)
    ntab[i] = nullptr;
  // Walking each old chain from its head and pushing onto the new heads
  // reverses the order of elements that land in the same new chain.
  for (size_t i = 0; i < t->buckets; i++) {
    for (void *elm = t->tab[i], *next; elm; elm = next) {
      _ihash_entry *e = lnk (elm, os);
      next = e->next;
      void **slot = &ntab[e->val.val % nb];
      e->next = *slot;
      e->pprev = slot;
      if (*slot)
        lnk (*slot, os)->pprev = &e->next;
      *slot = elm;
    }
  }
  free (t->tab);
  t->tab = ntab;
  t->buckets = nb;
}

static void
checkchain (const _ihash_table *t, size_t os, size_t b, size_t *n)
{
  void **pprev = &t->tab[b];
  for (void *elm = t->tab[b]; elm; elm = lnk (elm, os)->next) {
    const _ihash_entry *e = lnk (elm, os);
    assert (e->pprev == pprev);
    assert (e->val.val % t->buckets == b);
    ++*n;
    assert (*n <= t->entries);
    pprev = &lnk (elm, os)->next;
  }
}

void
ihash_check (const _ihash_table *t, size_t os)
{
  assert (t->tab && t->buckets >= 3);
  assert (t->entries < t->buckets || t->buckets == exp2primes[32]);
  size_t n = 0;
  for (size_t b = 0; b < t->buckets; b++)
    checkchain (t, os, b, &n);
  assert (n == t->entries);
}
