// Intrusive chained hash tables.
//
// ihash_core<V, &V::link> keeps elements of type V in bucket chains whose
// link (an ihash_entry<V>) lives inside each element; ihash adds a key
// member, a hash object and an equality object; bhash is a set of keys kept
// in small heap slots (qhash_slot).  ihash_core and ihash allocate nothing
// per element and own no element: an element must stay alive while it is
// linked and be removed before it is destroyed (deleteall is the exception:
// it deletes every element).  A bhash owns its slots.  Pointers to elements
// stay valid across growth; only the bucket array moves.
//
// Errors: misuse (removing an element that is not linked, linking one
// twice) is not detected; ihash_check asserts the table's invariants.
// Allocation never fails visibly.  Single-threaded.
#ifndef OMBRIX_ASYNC_IHASH_H
#define OMBRIX_ASYNC_IHASH_H

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

// A full 32-bit hash value.
struct hash_t {
  u_int32_t val;
  hash_t () : val (0) {}
  hash_t (u_int v) : val (v) {}
  operator u_int () const { return val; }
};

// The link embedded in each element.  next and pprev point at elements and
// at element link fields or bucket slots, never at links: a chain is walked
// with the link position (os) known to the table.
struct _ihash_entry {
  void *next = nullptr;   // next element in the same chain
  void **pprev = nullptr; // the slot or next field that points at us
  hash_t val;             // stored so growth and filtering never rehash
};

// The typed link an element type embeds.
template <class V>
struct ihash_entry : _ihash_entry {
  V *nextelm () const { return static_cast<V *> (next); }
};

struct _ihash_table {
  size_t buckets; // number of chains; 0 only before the first growth
  size_t entries; // elements linked
  void **tab;     // chain heads, null when empty
};

// 1, then the largest prime not above 2^i for i = 1 .. 32.
extern const u_int exp2primes[33];

// Grows the bucket array to the next size in exp2primes and relinks every
// element at the head of its new chain.  os is the link's offset inside
// the element.  At the largest size the table stays as it is.
void _ihash_grow (_ihash_table *t, size_t os);

// Debug checker: chain links point back correctly, every element sits in
// the chain of its stored hash, entries counts them and stays below
// buckets.  The first broken rule fails a standard assertion.
void ihash_check (const _ihash_table *t, size_t os);

template <class V, ihash_entry<V> V::*field>
class ihash_core {
protected:
  _ihash_table t;

  static size_t os ()
  {
    union u {
      char c;
      V v;
      u () : c () {}
      ~u () {}
    } x;
    return size_t (reinterpret_cast<char *> (&(x.v.*field)) -
                   reinterpret_cast<char *> (&x.v));
  }
  static ihash_entry<V> *lnk (V *elm) { return &(elm->*field); }
  static const ihash_entry<V> *lnk (const V *elm) { return &(elm->*field); }
  V *head (u_int32_t hval) const
  {
    return static_cast<V *> (t.tab[hval % t.buckets]);
  }

public:
  ihash_core ()
  {
    t.buckets = t.entries = 0;
    t.tab = nullptr;
    _ihash_grow (&t, os ());
  }
  ihash_core (const ihash_core &) = delete;
  ihash_core &operator= (const ihash_core &) = delete;
  ~ihash_core () { free (t.tab); }

  size_t size () const { return t.entries; }
  size_t buckets () const { return t.buckets; }

  void insert_val (V *elm, hash_t hval)
  {
    if (++t.entries >= t.buckets)
      _ihash_grow (&t, os ());
    ihash_entry<V> *e = lnk (elm);
    e->val = hval;
    void **slot = &t.tab[hval.val % t.buckets];
    e->next = *slot;
    e->pprev = slot;
    if (*slot)
      lnk (static_cast<V *> (*slot))->pprev = &e->next;
    *slot = elm;
  }

  void remove (V *elm)
  {
    ihash_entry<V> *e = lnk (elm);
    t.entries--;
    *e->pprev = e->next;
    if (e->next)
      lnk (static_cast<V *> (e->next))->pprev = e->pprev;
  }

  // The first element whose stored hash is hval, then the next ones.
  V *lookup_val (hash_t hval) const
  {
    V *elm = head (hval.val);
    while (elm && lnk (elm)->val.val != hval.val)
      elm = lnk (elm)->nextelm ();
    return elm;
  }
  static V *next_val (V *elm)
  {
    u_int32_t hval = lnk (elm)->val.val;
    do
      elm = lnk (elm)->nextelm ();
    while (elm && lnk (elm)->val.val != hval);
    return elm;
  }

  // Whether elm is linked here: a walk of the chain of its stored hash.
  bool present (const V *elm) const
  {
    for (V *p = head (lnk (elm)->val.val); p; p = lnk (p)->nextelm ())
      if (p == elm)
        return true;
    return false;
  }

  // All elements, bucket by bucket.
  V *first () const { return scan (0); }
  V *next (const V *elm) const
  {
    if (V *n = lnk (elm)->nextelm ())
      return n;
    return scan (lnk (elm)->val.val % t.buckets + 1);
  }

  // Calls f (elm) for every element; f may remove or delete elm.
  template <class F>
  void traverse (F f)
  {
    for (V *elm = first (), *n; elm; elm = n) {
      n = next (elm);
      f (elm);
    }
  }

  // Forgets every element and starts again with 3 buckets.
  void clear ()
  {
    free (t.tab);
    t.buckets = t.entries = 0;
    t.tab = nullptr;
    _ihash_grow (&t, os ());
  }
  void deleteall ()
  {
    traverse ([] (V *elm) { delete elm; });
    clear ();
  }

  void check () const { ihash_check (&t, os ()); }

private:
  V *scan (size_t i) const
  {
    for (; i < t.buckets; i++)
      if (t.tab[i])
        return static_cast<V *> (t.tab[i]);
    return nullptr;
  }
};

template <class K>
struct hashfn;

template <>
struct hashfn<int> {
  hash_t operator() (int k) const { return hash_t (u_int (k)); }
};

template <>
struct hashfn<in_addr> {
  hash_t operator() (const in_addr &a) const { return hash_t (a.s_addr); }
};

template <class K>
struct equals {
  bool operator() (const K &a, const K &b) const { return a == b; }
};

template <>
struct equals<in_addr> {
  bool operator() (const in_addr &a, const in_addr &b) const
  {
    return a.s_addr == b.s_addr;
  }
};

// A table keyed by the member kfield of each element.  Several elements may
// have equal keys; the one inserted last is found first.
template <class K, class V, const K V::*kfield, ihash_entry<V> V::*field,
          class H = hashfn<K>, class E = equals<K>>
class ihash : public ihash_core<V, field> {
  using core = ihash_core<V, field>;

  const E eq;
  const H hash;

  V *skip (V *elm, const K &k) const
  {
    while (elm && !eq (k, elm->*kfield))
      elm = core::next_val (elm);
    return elm;
  }

public:
  ihash () : eq (), hash () {}
  ihash (const E &e, const H &h) : eq (e), hash (h) {}

  void insert (V *elm) { core::insert_val (elm, hash (elm->*kfield)); }
  V *operator[] (const K &k) const
  {
    return skip (core::lookup_val (hash (k)), k);
  }
  // The next element after elm whose key equals elm's.
  V *nextkeq (V *elm) const
  {
    return skip (core::next_val (elm), elm->*kfield);
  }
};

// A heap slot of a bhash.
template <class K>
struct qhash_slot {
  ihash_entry<qhash_slot> link;
  const K key;
  explicit qhash_slot (const K &k) : key (k) {}
};

// A set of keys.  Slots belong to the set and are deleted with it.
template <class K, class H = hashfn<K>, class E = equals<K>>
class bhash {
  using slot = qhash_slot<K>;

  ihash_core<slot, &slot::link> tab;
  const E eq;
  const H hash;

public:
  bhash () : eq (), hash () {}
  bhash (const E &e, const H &h) : eq (e), hash (h) {}
  ~bhash () { tab.deleteall (); }

  size_t size () const { return tab.size (); }
  size_t buckets () const { return tab.buckets (); }

  slot *getslot (const K &k) const
  {
    slot *s = tab.lookup_val (hash (k));
    while (s && !eq (k, s->key))
      s = tab.next_val (s);
    return s;
  }
  void delslot (slot *s)
  {
    tab.remove (s);
    delete s;
  }

  // Adds k unless an equal key is present; true when it was added.
  bool insert (const K &k)
  {
    if (getslot (k))
      return false;
    slot *s = new slot (k);
    tab.insert_val (s, hash (k));
    return true;
  }
  // Removes k if present; true when it was.
  bool remove (const K &k)
  {
    slot *s = getslot (k);
    if (s)
      delslot (s);
    return s != nullptr;
  }
  bool operator[] (const K &k) const { return getslot (k) != nullptr; }

  // Calls f (key) for every key; f must not change the set.
  template <class F>
  void traverse (F f) const
  {
    for (slot *s = tab.first (); s; s = tab.next (s))
      f (s->key);
  }
  void clear () { tab.deleteall (); }
  void check () const { tab.check (); }
};

static_assert (sizeof (ihash_entry<int>) == sizeof (_ihash_entry),
               "the typed link is the untyped link");
static_assert (std::is_standard_layout<_ihash_entry>::value,
               "links are found by offset");

#endif
