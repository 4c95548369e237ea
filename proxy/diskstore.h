// The proxy's disk cache: stored responses kept across restarts, one file
// each, behind the memory store (which stays in front as the hot layer).
//
// An object is found by its URL and secondary (Vary) key.  Its file is
// DIR/x/y/<name>: name is hashstr (url), plus "-" hashstr (secondary) when
// the secondary key is not empty; x and y are the name's first two
// characters.  One character per level makes 32 x 32 folders, about a
// hundred files each at 100 000 objects; two per level would make a
// million folders, and the rescan would open one per object.  The file
// holds a versioned header (the full URL and secondary key, which must
// match on every read, the Vary names, the times the freshness rules
// need, the lengths, a checksum; dsk_header), then the stored head, then
// the body.  A file is written under DIR/tmp/ and renamed into place only
// when whole: whatever a crash leaves there is removed at start-up, and a
// file that does not parse, whose length is not what its header says, or
// whose URL does not match is removed and never served.  Nothing is
// fsynced: the rename makes a crash of the process safe, the header and
// length checks catch a file cut short by a power cut, and losing some
// objects then is what a cache may do; an fsync per object would cost
// the worker milliseconds of every miss.
//
// Every open, read, write, rename, unlink and directory scan runs on a
// fileworker thread (a thread rather than a helper process: jobs and the
// body pieces they write pass by pointer, and the descriptor of a hit
// needs no passing); the loop only keeps the index (name, size, Vary
// names, LRU order).  start () lays out the folders and rebuilds the index
// one folder at a time while requests are served: until an object is
// indexed, lookups miss it.  The byte limit counts indexed files and the
// files being written; the least recently used go first.  Disk errors
// (ENOSPC, EACCES, EROFS, EIO...) lose the object being stored, never a
// stored one, and warn at most once a minute.  One process per folder:
// start-up empties DIR/tmp.
//
// Memory: a dhit owns its descriptor (closed with it, or by release),
// copies of the head and keys and, when the lookup asked for it, the body
// (read on the worker into a block allocated on the loop: the worker
// never makes or frees a body str); a dwriter is counted and outlives the
// store harmlessly (it then stores nothing).  A writer's body pieces wait
// on the loop until the worker takes them: backlog () and ondrain let its
// user bound them.  Callbacks run on the loop, never from inside a call
// into this module.  Results: 1/0/-1 as each call says; nothing here
// panics on the disk's content.  Single-threaded on the loop.
#ifndef OMBRIX_PROXY_DISKSTORE_H
#define OMBRIX_PROXY_DISKSTORE_H

#include "async/callback.h"
#include "async/ihash.h"
#include "async/str.h"
#include "async/vec.h"
#include "proxy/fileworker.h"

#include <cstdint>
#include <ctime>

class dstore;
struct dwritejob;
struct timecb_t;

// The freshness data stored with a response: the fields of the cache
// policy's cachemeta, field for field.
struct dtimes {
  int status;
  time_t response_time; // when the head arrived
  int64_t initial_age;  // corrected initial age
  int64_t lifetime;     // freshness lifetime
  bool heuristic, no_cache, no_stale, validator;
};

// A file's header.
struct dmeta {
  str url;       // the full normalised URL
  str secondary; // the Vary key, "" without Vary
  vec<str> vary; // the Vary names, lower case
  dtimes t;
  uint64_t headlen; // stored head bytes after the header
  uint64_t bodylen; // body bytes after the head
};

enum : uint32_t {
  dsk_magic = 0x4b53444f, // "ODSK" read as little-endian
  dsk_version = 1,
  dsk_fixed = 80,     // the header's fixed part
  dsk_maxurl = 65536, // longer URLs, secondary keys are not stored
  dsk_maxvary = 4096, // the Vary names, joined by commas
  dsk_maxhdr = 2 * 65536 + 4096 + 80,
  dsk_maxhead = 1u << 20, // heads above 1 MiB are not stored
};
// Bodies up to 2^62 bytes: any length fits off_t on every platform.
constexpr uint64_t dsk_maxbody = uint64_t (1) << 62;

// The header for m, dsk_fixed bytes plus the URL, the secondary key and
// the Vary names; null when a field is over its limit.
str dsk_header (const dmeta &m);
// Reads a header from the n bytes at p: its length (> 0) with m filled in,
// 0 when more bytes are needed (*need set to the whole header's length
// once the fixed part is there), -1 when it is no header of this version
// (bad magic, checksum, lengths, limits or names).
int dsk_parse (const char *p, size_t n, dmeta *m, size_t *need);
// The file name of an object.
str dsk_name (const str &url, const str &secondary);

// A disk hit, ready for sendfile: the body is len bytes at off in fd.
struct dhit {
  int fd;       // read-only; closed with the dhit
  uint64_t off; // where the body starts
  uint64_t len; // body length
  str head;     // the stored head
  str body;     // the body when the lookup read it; else null
  dmeta m;      // the file's header
  dhit () : fd (-1), off (0), len (0) {}
  ~dhit ();
  dhit (const dhit &) = delete;
  dhit &operator= (const dhit &) = delete;
};
typedef callback<void, ptr<dhit>> dhitcb;

// Streams one response into the store.  Pieces queue on the loop while
// the worker writes the previous batch; backlog () is what waits, for the
// caller to stop reading its origin when it grows, and ondrain tells it
// when to read again.
class dwriter {
  friend class dstore;
  friend struct dwritejob;
  dstore *st;        // null once the store is gone
  str name, tmp;     // final file name; temporary path
  dmeta m;           //
  str hdr, head;     // header (made again at finish) and head
  vec<str> queue;    // body pieces waiting for the worker
  uint64_t queued;   // their bytes, and those of the job on the worker
  uint64_t reserved; // bytes counted against the limit, until finish
  int fd;            // the temporary, while no job holds it; else -1
  int _state;        // 0 writing, 1 stored, -1 lost
  bool started;      // the job creating the temporary is submitted
  bool finishing;    // finish called
  bool committed;    // the final rename is submitted, the entry indexed
  dwritejob *job;    // ours on the worker; null when none
  dwriter *wnext, **wpprev;
  cbv::ptr drained;    // ondrain's callback, until it runs
  uint64_t lowmark;    // its backlog mark
  timecb_t *drainsoon; // runs drained after the writer stopped storing

  void kick ();
  void lose ();
  void release ();
  void wakesoon ();
  void wakeup ();
  void written ();

public:
  dwriter ();
  ~dwriter ();
  dwriter (const dwriter &) = delete;
  dwriter &operator= (const dwriter &) = delete;
  // 1 while the object is still being stored, 0 when not any more (disk
  // error, over the object or store limit, aborted, store gone).
  int append (const str &piece);
  // The body is whole: the file goes into the index once the last piece
  // is handed to the worker (lookups open it after the rename) unless a
  // disk error comes first.  Of two writers of one object, the one
  // finished last is kept.
  void finish ();
  // The body ended early: nothing is stored.
  void abort ();
  // 0 while writing, 1 once the file is in place, -1 when it will not be.
  int state () const { return _state; }
  bool storing () const { return st && !_state; }
  uint64_t backlog () const { return queued; }
  // cb runs once, on the loop: after a write job of this writer comes back
  // with backlog () at or below low, or (from a timer, so never inside a
  // call on the writer or the store) once the writer stops storing.  A
  // later call replaces it; null takes it back.  The caller keeps what cb
  // points to alive until it runs or is taken back: the writer may outlive
  // its user (a finished file still going to the worker).
  void ondrain (uint64_t low, cbv::ptr cb);
};

// One indexed file.
struct dent {
  const str name;      // the file name
  uint64_t size;       // its bytes: header, head and body
  vec<str> vary;       // the object's Vary names
  time_t stamp;        // last stored or used, for the order after a rescan
  uint64_t gen;        // tells a replaced entry of the same name apart
  dent *lprev, *lnext; // LRU, most recently used first
  ihash_entry<dent> hlink, ulink;
  explicit dent (const str &n) : name (n) {}
  // The next less recently used entry; null at the end.
  const dent *older () const { return lnext; }
};

struct dnamehash {
  hash_t operator() (const str &s) const;
};
struct durlhash {
  hash_t operator() (const str &s) const;
};
struct durleq {
  bool operator() (const str &a, const str &b) const;
};

class dstore {
  friend class dwriter;
  friend struct dinitjob;
  friend struct dscanjob;
  friend struct dopenjob;
  friend struct dwritejob;
  friend struct dupdatejob;

  const str dir;
  fworker w;
  ihash<str, dent, &dent::name, &dent::hlink, dnamehash> tab;
  // The same entries by URL key (a name's first 32 characters).
  ihash<str, dent, &dent::name, &dent::ulink, durlhash, durleq> byurl;
  dent *lfirst, *llast;
  uint64_t _bytes;   // indexed files
  uint64_t _writing; // reserved by writers
  uint64_t gens;     // entry generations handed out
  dwriter *writers;  // live writers with st set
  int nextleaf;      // next folder to scan; 1024 when done
  int scanning;      // scan jobs on the worker
  bool rescanning;   // from start until the order is set after the scan
  cbv::ptr scandone; //
  vec<str> purged;   // URL keys invalidated while the scan runs
  time_t lastwarn;   // the last disk warning
  uint64_t tmpseq;   // temporary names

  void link (dent *e, bool front);
  void unlink (dent *e);
  void drop (dent *e, bool rmfile);
  dent *add (const str &name, uint64_t size, const vec<str> &vary, time_t stamp,
             bool front);
  bool room (uint64_t n);
  void scannext ();
  void endscan ();
  void stopwriters (const str &name, size_t n);
  void warnerr (const char *op, const str &path, int err);
  str path (const str &name) const;
  str leafdir (const str &name) const;
  str tmpname (const str &name);

public:
  const uint64_t maxbytes;  // the byte limit
  const uint64_t maxobject; // the largest file stored
  uint64_t evictions;       // files evicted for room
  uint64_t errors;          // disk errors, warned or not
  uint64_t removed;         // damaged, foreign or colliding files removed

  // nice: the file worker thread's (fileworker.h).
  dstore (const str &dir, uint64_t maxbytes, uint64_t maxobject = 0,
          int nice = 0);
  // Blocks until the worker's jobs in flight are over.
  ~dstore ();
  dstore (const dstore &) = delete;
  dstore &operator= (const dstore &) = delete;

  // Makes DIR (one level) and starts laying out and scanning it; done
  // (may be null) runs once every folder is scanned.  0, or -1 with a
  // warning when DIR cannot be made or is no folder.
  int start (cbv::ptr done);
  bool scanned () const { return !rescanning; }

  uint64_t bytes () const { return _bytes; }
  uint64_t writing () const { return _writing; }
  size_t count () const { return tab.size (); }
  // The most recently used entry; null when empty.
  const dent *mru () const { return lfirst; }
  // Whether an object is indexed (no disk access).
  bool has (const str &url, const str &secondary) const;
  // The Vary names of an indexed object of url (any secondary key); null
  // when none is indexed.
  const vec<str> *vary (const str &url) const;

  // Opens the object on the worker: 1 and cb runs later with the hit, or
  // with null when the file turns out damaged, foreign or gone (it is
  // then dropped); 0 when nothing is indexed (cb never runs).  cb never
  // runs either once the store is destroyed.  A file of at most maxbody
  // bytes (header and head included) is read whole there too: the hit
  // carries its body (the block, that size, is allocated here).
  int lookup (const str &url, const str &secondary, ref<dhitcb> cb,
              uint64_t maxbody = 0);
  // Starts storing an object whose head and times are known; null when
  // it cannot be (a field over its limit, the head alone over the limits).
  // A file of the same keys is replaced when the new one is whole.
  ptr<dwriter> store (const str &url, const str &secondary, const str &head,
                      const dtimes &t, const vec<str> &vary);
  // After a 304: the object's head and times replaced, its body kept (the
  // file is written again on the worker, the body copied, which costs its
  // size there).  1 when indexed, 0 when not (or the head is too long).
  // A disk error leaves the old file.
  int update (const str &url, const str &secondary, const str &head,
              const dtimes &t);
  // Closes a hit's descriptor on the worker: the last close of a file
  // evicted meanwhile frees its blocks, which takes as long as an unlink.
  void release (dhit *h);
  // Removes the object; 1 if it was indexed.  A writer of it still
  // streaming stores nothing.
  int remove (const str &url, const str &secondary);
  // Removes every object of url (all secondary keys, indexed or not yet,
  // being written or not); the number indexed.
  int invalidate (const str &url);

  // Blocks until the worker is idle (tests and shutdown).
  void drain () { w.drain (); }
  // The index, LRU list, counts and writers; the first broken rule is a
  // panic.
  void check () const;
};

#endif
