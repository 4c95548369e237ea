// The proxy's memory cache: objects found by URL key and secondary (Vary)
// key, each a stored head, the metadata the cache policy needs and a body
// held as counted pieces that readers hand to writev without copying.
//
// A miss creates a pending object (no head yet) for the one fetch that
// fills it (the writer); lookup finds it at once, so concurrent misses for
// one key meet there (collapsed forwarding): each reader (creader) has its
// own position and a wake-up callback run when the head arrives
// (sethead), a piece arrives, the body completes or the fetch aborts.
// finish publishes the object as complete; abort (the answer turned out not
// storable, or the body ended early) takes it out of the index and tells
// its readers, who then go to the origin themselves.  Who may join a
// pending object is the proxy's choice: not a request with Authorization,
// and after sethead only a reader whose own Vary key under the object's
// names is the object's secondary ().
//
// Memory: objects are counted.  The store holds each indexed object once;
// every creader and the writer's ptr hold it too, so an object evicted or
// invalidated while being read lives on until its last reader goes, and
// its pieces stay valid for them.  The byte limit counts indexed objects
// only (in progress ones included); the least recently used are evicted
// first.  An object outgrowing the largest-object limit leaves the index
// (it will not be cached) but goes on streaming to its readers, dropping
// the pieces every reader has passed, so the writer's read-ahead is bounded
// by lag () and the slowest reader.
//
// A GET in the proxy, with the policy of cachepolicy.h:
//   names = vary (url); sec = names ? cp_varykey (*names, req) : "";
//   o = lookup (url, sec);
//   complete o and cp_usable (o->meta, req, now): a hit, read it with a
//     creader and send head () plus Age (cp_current_age);
//   in progress o: a collapsed miss, read it with a creader as it grows;
//   else pending (), fetch (conditional with cp_conditional when a stale
//     o has a validator); a 304 goes to cp_update and update (); a
//     cp_storable answer to sethead (), its body to append (), then
//     finish () or abort (); anything else to abort () at once.
//
// The calls that wake readers take the object by counted pointer and hold
// it while the callbacks run, which may drop every other reference.
// Pointers from iov () stay valid until advance () moves past them or the
// reader goes.  Errors: misuse (appending to a finished object or one
// without its head, setting a head twice) is a panic; nothing here reads the
// network.  Single-threaded, no locks.
#ifndef OMBRIX_PROXY_STORE_H
#define OMBRIX_PROXY_STORE_H

#include "async/callback.h"
#include "async/ihash.h"
#include "async/str.h"
#include "async/vec.h"
#include "proxy/cachepolicy.h"

#include <cstdint>
#include <sys/uio.h>

class cstore;
class creader;

enum { cobj_overhead = 256, piece_overhead = 32 };

struct strhash {
  hash_t operator() (const str &s) const;
};

class cobj {
  friend class cstore;
  friend class creader;

  cstore *st;              // null once out of the index
  ptr<cobj> self;          // the index's reference, while indexed
  str _head;               // the stored head text; null while pending
  str _secondary;          // the Vary key
  vec<str> pieces;         // the body from piece number firstpiece on
  uint64_t firstpiece;     // pieces dropped from the front (detached only)
  uint64_t firstbyte;      // body bytes dropped with them
  uint64_t _bodylen;       // body bytes appended so far
  size_t accounted;        // bytes counted against the store's limit
  bool _complete;          // finish called: _bodylen is final
  bool _aborted;           // abort called: the body will never be whole
  creader *rfirst, *rlast; // readers, in wake-up order
  size_t nreaders;
  cobj *lprev, *lnext; // LRU list, most recently used first
  ihash_entry<cobj> hlink;

  void wake ();
  void trim ();

public:
  const str url;  // the URL key
  vec<str> vary;  // the response's Vary names (cp_vary)
  cachemeta meta; // valid once the head is there

  cobj (const str &u, const str &sec);
  ~cobj ();
  // Null until sethead.
  const str &head () const { return _head; }
  // The Vary key; "" without Vary.
  const str &secondary () const { return _secondary; }
  uint64_t bodylen () const { return _bodylen; }
  bool complete () const { return _complete; }
  bool aborted () const { return _aborted; }
  bool indexed () const { return st != nullptr; }
  size_t readers () const { return nreaders; }
  // What the object counts against the byte limit: its keys, head, Vary
  // names and the body it still holds, plus cobj_overhead and
  // piece_overhead for each body piece and Vary name.
  size_t size () const;
  // The next less recently used indexed object; null at the end.
  cobj *older () const { return lnext; }
  // Body bytes the slowest reader has yet to take (all of them when no
  // reader is attached).
  uint64_t lag () const;
};

// One reader's position in an object's body.
class creader {
  friend class cobj;
  friend class cstore;

  const ref<cobj> o;
  uint64_t off;     // body bytes taken
  uint64_t piece;   // absolute number of the piece holding off
  size_t inpiece;   // offset of off inside that piece
  cbv::ptr cb;      // run on news; null: none
  uint64_t wakegen; // the last wake-up round that reached us
  creader *prev, *next;

public:
  // Reads o from the start of its body; cb (may be null) runs after every
  // append, finish and abort until the reader goes.  cb may destroy any
  // reader, this one included.
  creader (const ref<cobj> &o, cbv::ptr cb);
  ~creader ();
  creader (const creader &) = delete;
  creader &operator= (const creader &) = delete;

  cobj *obj () const { return o; }
  uint64_t offset () const { return off; }
  // Bytes there to take now.
  uint64_t avail () const { return o->_bodylen - off; }
  // 1: the whole body taken; -1: the fetch aborted before it was whole;
  // 0: more may come (take avail () bytes, or wait for the callback).
  int state () const;
  // Up to max ranges of what is available, pointing into the pieces;
  // returns their number.
  int iov (iovec *v, int max) const;
  // Steps n bytes further (n <= avail ()).
  void advance (uint64_t n);
  // Appends up to max available bytes to out (pieces over 128 bytes by
  // reference, pinned until out has sent them) and steps past them;
  // returns the number appended.
  size_t fill (suio *out, size_t max);
};

class cstore {
  friend class cobj;
  ihash<str, cobj, &cobj::url, &cobj::hlink, strhash> tab;
  cobj *lfirst, *llast; // LRU, most recently used first
  size_t _bytes;        // sum of the indexed objects' accounted bytes

  void link (cobj *o);
  void unlink (cobj *o);
  void account (cobj *o);
  void evict (const cobj *keep);

public:
  const size_t maxbytes;  // the byte limit
  const size_t maxobject; // the largest object stored, head included
  uint64_t evictions;     // objects evicted for room
  uint64_t toolarge;      // objects dropped for the largest-object limit

  cstore (size_t maxbytes = size_t (256) << 20, size_t maxobject = size_t (16)
                                                                   << 20);
  ~cstore ();
  cstore (const cstore &) = delete;
  cstore &operator= (const cstore &) = delete;

  size_t bytes () const { return _bytes; }
  size_t count () const { return tab.size (); }
  // The most recently used object; null when empty.
  cobj *mru () const { return lfirst; }

  // The object for url and secondary, complete or in progress, made the
  // most recently used; null when none.
  ptr<cobj> lookup (const str &url, const str &secondary);
  // The Vary names of the object last stored for url (any secondary);
  // null when none is stored, an empty list when it had no Vary.
  const vec<str> *vary (const str &url) const;

  // A new pending object for url and secondary, replacing any indexed one
  // of the same keys (whose readers keep it); it takes the Vary names of
  // url's objects until sethead.
  ptr<cobj> pending (const str &url, const str &secondary);
  // The head of a pending object's answer, with its metadata, its Vary
  // names and the writer's request's key under them (which replaces the
  // key pending had and any other object of the new keys); wakes the
  // readers.  1 while indexed, 0 when not (the head is over maxobject).
  int sethead (ptr<cobj> o, const str &head, const cachemeta &m,
               const vec<str> &vary, const str &secondary);
  // pending and sethead together; null when the head is over maxobject.
  ptr<cobj> create (const str &url, const str &secondary, const str &head,
                    const cachemeta &m, const vec<str> &vary);
  // Appends a body piece (empty pieces are ignored) and wakes the readers:
  // 1 while the object is still indexed, 0 when it is not (evicted,
  // replaced, or past maxobject now).
  int append (ptr<cobj> o, const str &piece);
  // The body is whole: readers see the end; an indexed object is now a
  // complete cache entry.
  void finish (ptr<cobj> o);
  // The body ended early: the object leaves the index and its readers see
  // state () -1.
  void abort (ptr<cobj> o);
  // After a 304: the stored head and metadata replaced; the object becomes
  // the most recently used.
  void update (ptr<cobj> o, const str &head, const cachemeta &m);
  // Takes o out of the index (its readers keep it).
  void remove (cobj *o);
  // Removes every object of url, all secondary keys; returns how many.
  int invalidate (const str &url);

  // Checks the byte count, the LRU list against the index and every
  // object's readers; the first broken rule is a panic.
  void check () const;
};

#endif
