#include "proxy/cache.h"

#include "async/core.h"
#include "async/err.h"
#include "http.h"
#include "proxy/cachepolicy.h"
#include "proxy/diskstore.h"
#include "proxy/store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>

static cstore *store;
static dstore *disk; // behind store; null: memory only
static size_t window = 262144;
// Body bytes a fetch lets wait for the disk before it pauses; it reads
// again once half are written.
enum : uint64_t { disk_backlog = 1 << 20 };
static cachestats stats;
static time_t since; // when the cache was configured: the uptime base
static int nested;   // hits answered inside one another (pipelining)
enum { nested_max = 32 };

void
cache_config (uint64_t mem, uint64_t maxobject, int win)
{
  delete store;
  store = nullptr;
  delete disk;
  disk = nullptr;
  window = size_t (win);
  since = timenow;
  if (mem) // larger than the address space: as much as it holds
    store = new cstore (mem > SIZE_MAX ? SIZE_MAX : size_t (mem),
                        maxobject > SIZE_MAX ? SIZE_MAX : size_t (maxobject));
}

bool
cache_on ()
{
  return store;
}

int
cache_disk (const str &dir, uint64_t size, int nice)
{
  if (!store)
    return -1;
  delete disk;
  disk = new dstore (dir, size, 0, nice);
  if (disk->start (nullptr) < 0) {
    delete disk;
    disk = nullptr;
    return -1;
  }
  return 0;
}

const cachestats &
cache_stats ()
{
  return stats;
}

str
cache_status (bool json, int connections)
{
  unsigned long long v[] = {store ? store->count () : 0,
                            store ? store->bytes () : 0,
                            stats.hits,
                            stats.misses,
                            stats.collapsed,
                            (unsigned long long) connections,
                            (unsigned long long) (timenow - since),
                            disk ? disk->count () : 0,
                            disk ? disk->bytes () : 0,
                            disk && disk->scanned ()};
  static const char *const names[] = {
      "objects",     "bytes",  "hits",         "misses",     "collapsed",
      "connections", "uptime", "disk_objects", "disk_bytes", "disk_scanned"};
  size_t nv = disk ? sizeof v / sizeof v[0] : 7; // the disk's with one only
  strbuf b;
  for (size_t i = 0; i < nv; i++)
    if (json)
      b.fmt ("%s\"%s\": %llu", i ? ", " : "{", names[i], v[i]);
    else
      b.fmt ("%s %llu\n", names[i], v[i]);
  if (json)
    b << "}\n";
  return b;
}

// ---- Heads ----

// The lines of a head (its start line skipped) as a hdrlist; false when
// they do not read as header lines.
static bool
headlist (const str &head, hdrlist *h)
{
  const char *p = head.cstr (), *e = p + head.len ();
  const char *nl = static_cast<const char *> (memchr (p, '\n', e - p));
  p = nl ? nl + 1 : e;
  return hdr_parse (p, e - p, h);
}

static bool
conditional (const hdrlist &req)
{
  return hdr_count (req, "if-none-match") ||
         hdr_count (req, "if-modified-since");
}

// The head a stored object goes out with: its status and reason, its
// lines without what the proxy sets itself, then Age and X-Cache.
static void
storedhead (resphead *h, const str &head, const cachemeta &meta,
            const uint64_t *whole, bool headreq, bool notmod,
            const char *result)
{
  hdrlist l;
  headlist (head, &l);
  str cl = hdr_get (l, "content-length");
  hdr_remove (&l, "content-length");
  // The client whose request fetched the object gets the origin's Age.
  bool fetched =
      !strcmp (result, "TCP_MISS") || !strcmp (result, "TCP_REFRESH_MODIFIED");
  if (!fetched)
    hdr_remove (&l, "age");
  hdr_remove (&l, "x-cache");
  const char *sp = static_cast<const char *> (memchr (head.cstr (), ' ', 13));
  const char *nl = strchr (head.cstr (), '\r');
  h->status = notmod ? 304 : meta.status;
  h->reason = notmod                    ? str ("Not Modified")
              : sp && nl && nl > sp + 4 ? str (sp + 5, nl - sp - 5)
                                        : str ("");
  strbuf b;
  b << hdr_text (l);
  if (!fetched)
    b.fmt ("Age: %lld\r\n",
           static_cast<long long> (cp_current_age (meta, timenow)));
  b << "X-Cache: " << (fetched ? "MISS" : "HIT") << "\r\n";
  h->hasdate = hdr_count (l, "date");
  h->keeplen = false;
  h->result = result;
  uint64_t len = whole ? *whole : 0;
  bool known = whole || (cl && parselength (cl, &len) > 0);
  if (notmod || h->status == 204 || h->status < 200) {
    h->body.kind = bk_none;
  } else if (headreq) {
    h->body.kind = bk_none;
    if (known) {
      b.fmt ("Content-Length: %llu\r\n", static_cast<unsigned long long> (len));
      h->keeplen = true;
    }
  } else if (known) {
    h->body.kind = bk_length;
  } else
    h->body.kind = bk_chunked;
  h->body.len = len;
  h->lines = b;
}

// The freshness data between the two stores' forms.
static dtimes
totimes (const cachemeta &m)
{
  return dtimes{m.status,    m.response_time, m.initial_age, m.lifetime,
                m.heuristic, m.no_cache,      m.no_stale,    m.validator};
}

static cachemeta
fromtimes (const dtimes &t)
{
  cachemeta m;
  m.status = t.status;
  m.response_time = t.response_time;
  m.initial_age = t.initial_age;
  m.lifetime = t.lifetime;
  m.heuristic = t.heuristic;
  m.no_cache = t.no_cache;
  m.no_stale = t.no_stale;
  m.validator = t.validator;
  return m;
}

// Writers whose last pieces are with the worker: a writer let go before
// its file is in place stores nothing.  Those done leave at the next call.
static void
finishing (ptr<dwriter> w)
{
  static vec<ptr<dwriter>> busy;
  for (size_t i = 0; i < busy.size ();)
    if (busy[i]->state ()) {
      busy[i] = busy.back ();
      busy.pop_back ();
    } else
      i++;
  w->finish ();
  if (!w->state ())
    busy.push_back (w);
}

// ---- The sources ----

class filler;
class cachesrc;
struct srcref {
  cachesrc *c; // null once the source is gone
};

// What a client reads: a stored object (a hit, or one being filled:
// collapsed, or the client's own miss), an origin fetch of its own
// (passed through, watched for invalidation), or a fetch shared with the
// cache while its answer turns out not storable (the filler passes it on).
class cachesrc : public source, public sink {
  friend class filler;
  friend source *cache_source (const fetchreq &, const char *, const str &,
                               const str &, bool, sink *);
  friend void miss (cachesrc *, const hdrlist &, const str &, ptr<cobj>);
  enum mode {
    m_read,  // from rd: the object's head, then its body as it grows
    m_pass,  // the filler hands its fetch's answer to sk directly
    m_fetch, // in: a fetch of our own, through this as its sink
    m_fail,  // 504 at the next turn (only-if-cached)
    m_dlook, // the disk store opens the object; a miss if it cannot
    m_disk,  // from dh: the file's body in slices
  };
  sink *const sk;
  const fetchreq fr;
  const str method, url;
  mode md;
  creader *rd = nullptr;
  source *in = nullptr;
  filler *fl = nullptr; // the filler started for us, while it runs
  bool headsent = false;
  bool notmod = false; // answer 304 to the client's own conditional
  bool ranged = false; // answer 206 with one range of a complete object
  uint64_t rfirst = 0, rleft = 0; // the range: its start, bytes to send
  const char *result = "TCP_MISS";
  timecb_t *tmo = nullptr;
  hdrlist req;                  // m_dlook: the request, for the miss
  str sec;                      // m_dlook: the secondary key
  ptr<dhit> dh;                 // m_disk: the open file
  uint64_t doff = 0, dleft = 0; // m_disk: the next body byte, bytes left
  ptr<srcref> me;               // m_dlook: nulled when this goes

  void news () { pump (); }
  static void opened (ptr<srcref> who, ptr<dhit> h);
  void diskhit (ptr<dhit> h);
  bool promote (ptr<dhit> h, const cachemeta &m);
  void diskpump ();
  void fallback ();
  void fail504 ();
  void later ();

public:
  cachesrc (const fetchreq &f, const char *m, const str &u, sink *s)
      : sk (s), fr (f), method (m), url (u), md (m_fetch)
  {
  }
  ~cachesrc ();
  void read (const ref<cobj> &o, const char *res);
  void pump ();
  void fetchown () { in = fetch_new (fr, this); }
  void failsoon () { md = m_fail; }
  // pump () from the loop: the caller may be inside a fetch's callbacks.
  void soon ()
  {
    if (!tmo)
      tmo = delaycb (0, 0, wrap (this, &cachesrc::later));
  }
  void disklook (const hdrlist &rq, const str &s)
  {
    md = m_dlook;
    req = rq;
    sec = s;
  }

  void start () override;
  void resume () override;
  void reqbody (const char *p, size_t n) override;
  void reqend () override;
  bool reqfull () override;

  void src_head (const resphead *h) override;
  void src_body (suio *data) override { sk->src_body (data); }
  void src_end (int err, int status, const char *why) override
  {
    sk->src_end (err, status, why); // deletes this
  }
  bool src_full () override { return sk->src_full (); }
  void src_wantbody () override { sk->src_wantbody (); }
};

// The fetch that fills an object (a miss, or the new answer to a
// revalidation): owned by the cache, deleted when the fetch ends or when
// nobody needs it any more.
class filler : public sink {
public:
  list_entry<filler> link;

private:
  source *f;
  ptr<cobj> o;     // the object filled; null before the head (revalidation)
  ptr<cobj> old;   // the stale object being revalidated
  ptr<cobj> spare; // a stale object for the owner if the origin fails
  creader *keep;   // on spare: its body stays even if it leaves the store
  ptr<dwriter> dw; // the disk copy being written; null: none
  cachesrc *owner;
  const str url;
  hdrlist req;
  const time_t sent;
  timecb_t *tmo = nullptr; // the deferred end, once nobody needs the fetch
  bool pass = false;       // not storable: owner's sink takes the answer
  bool drain = false;      // the answer is not needed (304 or nobody reads)

  void store_head (const resphead *h, const hdrlist &resp, const cachemeta &m);
  void revalidated (const hdrlist &resp);
  void passon (const resphead *h);
  void stopsoon ();
  void stop ()
  {
    tmo = nullptr;
    delete this;
  }

public:
  filler (const fetchreq &fr, cachesrc *own, const str &u, const hdrlist &rq,
          ptr<cobj> pend, ptr<cobj> stale, ptr<cobj> spare, creader *keep);
  ~filler ();
  void start () { f->start (); }
  void ownergone ();
  void poke () { f->resume (); }
  void letgo ();
  source *fetch () { return f; }
  bool fills (const cobj *x) const { return o == x; }
  bool passing () const { return pass; }

  void src_head (const resphead *h) override;
  void src_body (suio *data) override;
  void src_end (int err, int status, const char *why) override;
  bool src_full () override;
  void src_wantbody () override;
};

static list<filler, &filler::link> fillers;

filler::filler (const fetchreq &fr, cachesrc *own, const str &u,
                const hdrlist &rq, ptr<cobj> pend, ptr<cobj> stale,
                ptr<cobj> sp, creader *kp)
    : f (fetch_new (fr, this)), o (pend), old (stale), spare (sp), keep (kp),
      owner (own), url (u), req (rq), sent (timenow)
{
  fillers.insert_head (this);
}

filler::~filler ()
{
  list<filler, &filler::link>::remove (this);
  timecb_remove (tmo);
  delete keep;
  if (owner)
    owner->fl = nullptr;
  if (o && !o->complete () && !o->aborted ())
    store->abort (o);
  letgo ();
  delete f;
}

// The disk copy is let go unfinished; the writer may outlive us, so it
// must not call back.
void
filler::letgo ()
{
  if (dw) {
    dw->ondrain (0, nullptr);
    dw->abort ();
  }
  dw = nullptr;
}

// The client that started the fetch went away.
void
filler::ownergone ()
{
  owner = nullptr;
  if (pass || drain ||
      (o && !o->indexed () && !o->readers () && !(dw && dw->storing ())))
    stopsoon (); // nobody to read it and nothing to store
}

// Ends the fetch from the loop: the caller may be inside its callbacks.
void
filler::stopsoon ()
{
  if (!tmo)
    tmo = delaycb (0, 0, wrap (this, &filler::stop));
}

// Full for readers far behind on an object too large to store, or for a
// disk slower than the origin: the writer wakes the fetch when it has
// caught up or stops storing.
bool
filler::src_full ()
{
  if (pass)
    return owner && owner->sk->src_full ();
  if (dw && dw->storing () && dw->backlog () > disk_backlog) {
    dw->ondrain (disk_backlog / 2, wrap (this, &filler::poke));
    return true;
  }
  return o && !o->indexed () && o->readers () && o->lag () > window;
}

void
filler::src_wantbody ()
{
  if (pass && owner)
    owner->sk->src_wantbody ();
}

void
filler::src_head (const resphead *h)
{
  hdrlist resp;
  bool ok = hdr_parse (h->lines.cstr (), h->lines.len (), &resp);
  if (ok && old && h->status == 304) {
    revalidated (resp);
    return;
  }
  if (ok && cp_storable ("GET", req, h->status, resp)) {
    cachemeta m;
    cp_meta (&m, h->status, resp, sent, timenow);
    if (m.lifetime > 0 || m.validator) { // else it could never be reused
      store_head (h, resp, m);
      return;
    }
  }
  passon (h);
}

// The stored head gets the 304's fields; the client reads the object.
void
filler::revalidated (const hdrlist &resp)
{
  hdrlist sh;
  headlist (old->head (), &sh);
  cp_update (&sh, resp);
  cachemeta m;
  cp_meta (&m, old->meta.status, sh, sent, timenow);
  const char *nl = strchr (old->head ().cstr (), '\n');
  strbuf nh;
  nh.buf (old->head ().cstr (), nl + 1 - old->head ().cstr ());
  nh << hdr_text (sh);
  store->update (old, nh, m);
  if (disk)
    disk->update (url, old->secondary (), nh, totimes (m));
  drain = true;
  stats.hits++;
  if (owner) { // ownergone, if it comes now, only schedules the end
    owner->read (ref<cobj> (old), "TCP_REFRESH_UNMODIFIED");
    owner->pump ();
  }
}

void
filler::store_head (const resphead *h, const hdrlist &resp, const cachemeta &m)
{
  vec<str> names;
  cp_vary (resp, &names);
  strbuf head ("HTTP/1.1 %03d ", h->status);
  head << h->reason << "\r\n" << h->lines;
  if (!h->hasdate)
    head << "Date: " << httptime () << "\r\n";
  if (h->body.kind == bk_length && !h->keeplen)
    head.fmt ("Content-Length: %llu\r\n",
              static_cast<unsigned long long> (h->body.len));
  str sec = cp_varykey (names, req);
  if (!o) {
    o = store->pending (url, sec);
    if (owner)
      owner->read (ref<cobj> (o), old ? "TCP_REFRESH_MODIFIED" : "TCP_MISS");
  }
  store->sethead (o, head, m, names, sec);
  if (disk) // the disk copy too; objects over the memory limit only there
    dw = disk->store (url, sec, head, totimes (m), names);
}

// Not storable: the waiters go to the origin themselves, the owner gets
// this answer as it comes.
void
filler::passon (const resphead *h)
{
  pass = true;
  if (owner) {
    delete owner->rd;
    owner->rd = nullptr;
    owner->md = cachesrc::m_pass;
  }
  if (o) {
    ptr<cobj> x = o;
    o = nullptr;
    store->abort (x);
  }
  if (!owner) { // nobody left to take it
    stopsoon ();
    return;
  }
  resphead c = *h;
  c.lines = strbuf () << h->lines << "X-Cache: MISS\r\n";
  owner->headsent = true;
  owner->sk->src_head (&c);
}

void
filler::src_body (suio *data)
{
  if (pass && owner) {
    owner->sk->src_body (data);
    return;
  }
  if (o && !pass && !drain) {
    str piece (*data);
    data->rembytes (data->resid ());
    bool mem = store->append (o, piece);
    bool dsk = dw && dw->append (piece);
    if (!mem && !dsk && !o->readers ())
      stopsoon ();
    return;
  }
  data->rembytes (data->resid ());
}

// The fetch's last act: the object is published or dropped, then the
// filler goes.  An owner still waiting for a head gets the fetch's end.
void
filler::src_end (int err, int status, const char *why)
{
  cachesrc *own = owner;
  owner = nullptr;
  if (own)
    own->fl = nullptr;
  bool tell = own && (pass || (err && !(o && o->head ()) && !drain));
  if (tell && !pass && spare && cp_staleok (spare->meta, req, timenow)) {
    stats.hits++; // the origin cannot be reached: the stale copy answers
    own->read (ref<cobj> (spare), "TCP_REFRESH_FAIL_OLD");
    own->soon ();
    tell = false;
  }
  if (tell && own->rd) {
    delete own->rd; // not to fall back to a fetch of its own
    own->rd = nullptr;
    own->md = cachesrc::m_pass;
  }
  ptr<cobj> x = o;
  o = nullptr;
  if (dw && !err && x && !x->aborted ()) {
    dw->ondrain (0, nullptr);
    finishing (dw);
    dw = nullptr;
  }
  letgo ();
  if (x && !x->aborted ()) {
    if (err)
      store->abort (x);
    else
      store->finish (x);
  }
  if (tell)
    own->sk->src_end (err, status, why); // deletes own
  delete this;
}

// ---- The client's source ----

// A reader of an object too large to store moved or left: the fetch
// filling it may have paused for it.  Few fetches run at once.
static void
wakefiller (const cobj *o)
{
  for (filler *f = fillers.first; f; f = list<filler, &filler::link>::next (f))
    if (f->fills (o))
      f->poke ();
}

cachesrc::~cachesrc ()
{
  // A paused fetch may now be read by nobody.  The reader may hold the
  // object's last reference: look before it goes (the fetch filling it
  // holds one of its own, so an object freed here is filled by nobody).
  cobj *o = rd ? rd->obj () : nullptr;
  bool wake = o && !o->indexed ();
  delete rd;
  if (wake)
    wakefiller (o);
  delete in;
  timecb_remove (tmo);
  if (fl)
    fl->ownergone ();
  if (me)
    me->c = nullptr;
  if (dh && disk)
    disk->release (dh);
}

void
cachesrc::read (const ref<cobj> &o, const char *res)
{
  delete rd;
  rd = new creader (o, wrap (this, &cachesrc::news));
  md = m_read;
  result = res;
}

void
cachesrc::start ()
{
  if (md == m_fetch && in)
    in->start ();
  else if (md == m_fail)
    tmo = delaycb (0, 0, wrap (this, &cachesrc::fail504));
  else if (md == m_dlook) {
    me = new refcounted<srcref> (srcref{this});
    if (!disk->lookup (url, sec, wrap (&cachesrc::opened, me),
                       store->maxobject))
      diskhit (nullptr);
  } else if (fl)
    fl->start ();
  else if (nested >= nested_max) // pipelined hits: end this chain of calls
    tmo = delaycb (0, 0, wrap (this, &cachesrc::later));
  else {
    nested++; // a hit ends at once and the client starts the next request
    pump ();  // from inside this call
    nested--;
  }
}

void
cachesrc::opened (ptr<srcref> who, ptr<dhit> h)
{
  if (who->c)
    who->c->diskhit (h);
  else if (h && disk)
    disk->release (h);
}

void miss (cachesrc *c, const hdrlist &req, const str &sec, ptr<cobj> o);

// The disk store's answer: a fresh object is sent from memory when it
// was read whole (and goes into the memory store), else from its file;
// anything else is a miss.
void
cachesrc::diskhit (ptr<dhit> h)
{
  me = nullptr;
  cachemeta m;
  if (h)
    m = fromtimes (h->m.t);
  if (!h || cp_usable (m, req, timenow) != 1) {
    if (h)
      disk->release (h);
    md = m_fetch;
    miss (this, req, sec, nullptr);
    start ();
    return;
  }
  stats.hits++;
  hdrlist sh;
  headlist (h->head, &sh);
  notmod = conditional (req) && cp_notmodified (req, sh, timenow);
  if (h->body && promote (h, m))
    return;
  dh = h;
  doff = h->off;
  dleft = h->len;
  md = m_disk;
  resphead rh;
  storedhead (&rh, h->head, m, &h->len, fr.headreq, notmod,
              notmod ? "TCP_IMS_HIT" : "TCP_HIT");
  headsent = true;
  sk->src_head (&rh);
  if (rh.body.kind == bk_none) {
    sk->src_end (0, 0, nullptr); // deletes this
    return;
  }
  diskpump ();
}

// A disk hit read whole becomes the memory store's object, with the
// file's times (its age goes on from where it was); this client reads it
// there.  False when the memory store has one already or will not take
// it.
bool
cachesrc::promote (ptr<dhit> h, const cachemeta &m)
{
  if (store->lookup (url, h->m.secondary))
    return false;
  ptr<cobj> o = store->create (url, h->m.secondary, h->head, m, h->m.vary);
  if (!o)
    return false;
  // The reader comes first, to keep the body should the object leave the
  // index at once; it hears nothing until md says so.
  rd = new creader (ref<cobj> (o), wrap (this, &cachesrc::news));
  store->append (o, h->body);
  store->finish (o);
  disk->release (h);
  md = m_read;
  result = notmod ? "TCP_IMS_HIT" : "TCP_HIT";
  pump ();
  return true;
}

// The body from the file: by sendfile when the sink can, else read in
// slices of at most a window, as far as the client takes it (the file was
// just opened and mostly sits in the page cache).
void
cachesrc::diskpump ()
{
  if (dleft && sk->src_file (dh->fd, doff, dleft)) {
    doff += dleft;
    dleft = 0;
    return; // resume () once it is sent
  }
  while (dleft && !sk->src_full ()) {
    size_t n = dleft < window ? size_t (dleft) : window;
    mstr b (n);
    ssize_t k = pread (dh->fd, b.cstr (), n, off_t (doff));
    if (k <= 0) {
      sk->src_end (-1, 502, "the stored object cannot be read"); // deletes
      return;
    }
    b.setlen (size_t (k));
    doff += uint64_t (k);
    dleft -= uint64_t (k);
    suio u;
    suio_print (&u, str (b));
    sk->src_body (&u);
  }
  if (!dleft)
    sk->src_end (0, 0, nullptr); // deletes this
}

void
cachesrc::later ()
{
  tmo = nullptr;
  pump ();
}

void
cachesrc::fail504 ()
{
  tmo = nullptr;
  sk->src_end (-1, 504, "the request allows only a cached answer");
}

// The object's head, then what there is of its body, as far as the
// client takes it; the end once the object is whole.
void
cachesrc::pump ()
{
  if (md != m_read)
    return;
  cobj *o = rd->obj ();
  if (!headsent) {
    if (!o->head ()) {
      if (o->aborted ())
        fallback ();
      return;
    }
    resphead h;
    uint64_t whole = o->bodylen ();
    storedhead (&h, o->head (), o->meta, o->complete () ? &whole : nullptr,
                fr.headreq, notmod, result);
    if (ranged) { // a complete object: the range is in it
      h.status = 206;
      h.reason = "Partial Content";
      h.lines = strbuf () << h.lines
                          << strbuf ("Content-Range: bytes %llu-%llu/%llu\r\n",
                                     (unsigned long long) rfirst,
                                     (unsigned long long) (rfirst + rleft - 1),
                                     (unsigned long long) o->bodylen ());
      h.body.len = rleft;
      rd->advance (rfirst);
    }
    headsent = true;
    sk->src_head (&h);
    if (h.body.kind == bk_none) {
      sk->src_end (0, 0, nullptr); // deletes this
      return;
    }
  }
  bool moved = false;
  while (rd->avail () && !sk->src_full () && (!ranged || rleft)) {
    suio u;
    size_t k =
        rd->fill (&u, ranged && rleft < window ? size_t (rleft) : window);
    rleft -= ranged ? k : 0;
    sk->src_body (&u);
    moved = true;
  }
  int s = ranged && !rleft ? 1 : rd->state ();
  if (s) {
    sk->src_end (s > 0 ? 0 : -1, 502, "the origin's answer ended early");
    return;
  }
  if (moved && !o->indexed ())
    wakefiller (o);
}

// The object joined was not stored after all: the origin, on our own.
void
cachesrc::fallback ()
{
  delete rd;
  rd = nullptr;
  md = m_fetch;
  fetchown ();
  in->start ();
}

void
cachesrc::resume ()
{
  if (md == m_read)
    pump ();
  else if (md == m_disk)
    diskpump ();
  else if (md == m_pass && fl)
    fl->poke ();
  else if (md == m_fetch && in)
    in->resume ();
}

void
cachesrc::reqbody (const char *p, size_t n)
{
  if (in)
    in->reqbody (p, n);
}

void
cachesrc::reqend ()
{
  if (in)
    in->reqend ();
}

bool
cachesrc::reqfull ()
{
  return in && in->reqfull ();
}

// Our own fetch's head: a successful unsafe method invalidates.
void
cachesrc::src_head (const resphead *h)
{
  resphead c = *h;
  hdrlist resp;
  if (store && hdr_parse (h->lines.cstr (), h->lines.len (), &resp)) {
    vec<str> urls;
    cp_invalidates (method.cstr (), h->status, url, resp, &urls);
    for (size_t i = 0; i < urls.size (); i++) {
      store->invalidate (urls[i]);
      if (disk)
        disk->invalidate (urls[i]);
    }
  }
  c.lines = strbuf () << h->lines << "X-Cache: MISS\r\n";
  c.result = "TCP_MISS";
  headsent = true;
  sk->src_head (&c);
}

// ---- The decision ----

// Digits to a value below 10^18; false for none or more.
static bool
digits (const char **p, uint64_t *v)
{
  const char *s = *p;
  for (*v = 0; **p >= '0' && **p <= '9' && *p - s < 18; (*p)++)
    *v = *v * 10 + uint64_t (**p - '0');
  return *p > s && !(**p >= '0' && **p <= '9');
}

// One byte range ("bytes=A-B", "bytes=A-", "bytes=-N") of a body of len
// bytes: true with its first byte and length when satisfiable; anything
// else (several ranges, a bad form) is answered with the whole body.
static bool
onerange (const str &v, uint64_t len, uint64_t *first, uint64_t *n)
{
  const char *p = v.cstr ();
  if (strncasecmp (p, "bytes=", 6))
    return false;
  p += 6;
  uint64_t a = 0, b = 0;
  bool ha = *p != '-';
  if (ha && !digits (&p, &a))
    return false;
  if (*p++ != '-')
    return false;
  bool hb = *p;
  if (hb && !digits (&p, &b))
    return false;
  if (*p || (!ha && (!hb || !b)) || (ha && hb && b < a))
    return false;
  if (!ha) { // the last b bytes
    a = b >= len ? 0 : len - b;
    b = len - 1;
  } else if (!hb || b >= len)
    b = len - 1;
  if (a >= len)
    return false;
  *first = a;
  *n = b - a + 1;
  return true;
}

static bool
joinable (const cobj *o, const hdrlist &req)
{
  if (o->complete () || o->aborted () || hdr_count (req, "authorization"))
    return false;
  if (!o->head ())
    return true;
  return cp_varykey (o->vary, req) == o->secondary () &&
         cp_usable (o->meta, req, timenow) == 1;
}

source *
cache_source (const fetchreq &fr, const char *method, const str &url,
              const str &lines, bool body, sink *s)
{
  bool get = !strcmp (method, "GET"), head = !strcmp (method, "HEAD");
  if (!store)
    return fetch_new (fr, s);
  cachesrc *c = new cachesrc (fr, method, url, s);
  hdrlist req;
  if (body || !(get || head) ||
      !hdr_parse (lines.cstr (), lines.len (), &req)) {
    c->fetchown ();
    return c;
  }
  const vec<str> *names = store->vary (url);
  if (!names && disk)
    names = disk->vary (url);
  str sec = names ? cp_varykey (*names, req) : str ("");
  ptr<cobj> o = store->lookup (url, sec);
  ccdirs rc;
  cc_request (&rc, req);
  if (o && o->complete () && cp_usable (o->meta, req, timenow) == 1) {
    hdrlist sh;
    headlist (o->head (), &sh);
    c->notmod = conditional (req) && cp_notmodified (req, sh, timenow);
    str range = hdr_get (req, "range");
    c->ranged = get && !c->notmod && o->meta.status == 200 && range &&
                hdr_count (req, "range") == 1 && !hdr_count (req, "if-range") &&
                onerange (range, o->bodylen (), &c->rfirst, &c->rleft);
    stats.hits++;
    c->read (ref<cobj> (o), c->notmod ? "TCP_IMS_HIT" : "TCP_MEM_HIT");
    return c;
  }
  if (get && o && joinable (o, req)) {
    stats.collapsed++;
    c->read (ref<cobj> (o), "TCP_CF_HIT");
    return c;
  }
  if (!o && disk && disk->has (url, sec)) {
    c->disklook (req, sec);
    return c;
  }
  miss (c, req, sec, o);
  return c;
}

// Not answered from a store: to the origin (conditional when o is stale
// with a validator), storing what may be stored.
void
miss (cachesrc *c, const hdrlist &req, const str &sec, ptr<cobj> o)
{
  const fetchreq &fr = c->fr;
  const str &url = c->url;
  ccdirs rc;
  cc_request (&rc, req);
  stats.misses++;
  if (rc.only_if_cached) {
    c->failsoon ();
    return;
  }
  if (!strcmp (c->method.cstr (), "HEAD")) {
    c->fetchown ();
    return;
  }
  ptr<cobj> stale;
  if (o && o->complete () && o->meta.validator && !conditional (req) &&
      !rc.no_store)
    stale = o;
  fetchreq f = fr;
  if (stale) {
    hdrlist sh, cond;
    headlist (stale->head (), &sh);
    cp_conditional (sh, &cond);
    f.head = strbuf () << str (fr.head.cstr (), fr.head.len () - 2)
                       << hdr_text (cond) << "\r\n";
  }
  if (!stale && hdr_count (req, "range")) { // a part: nothing to share
    c->fetchown ();
    return;
  }
  // A stale copy in case the origin cannot be reached; the reader keeps
  // its body once pending () below has taken it out of the store.
  ptr<cobj> spare = o && o->complete () ? o : nullptr;
  creader *keep = spare ? new creader (ref<cobj> (spare), nullptr) : nullptr;
  ptr<cobj> pend = stale ? nullptr : store->pending (url, sec);
  c->fl = new filler (f, c, url, req, pend, stale, spare, keep);
  if (pend)
    c->read (ref<cobj> (pend), "TCP_MISS");
}
