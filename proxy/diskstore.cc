// The disk cache.  The index on the loop always describes the disk as it
// will be once every job submitted so far has run: the worker runs jobs in
// order, so an entry is added when its rename is submitted and removed
// when its unlink is, and a later open sees both.
#include "proxy/diskstore.h"

#include "async/core.h"
#include "async/err.h"
#include "http.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

const char b32[] = "abcdefghijkmnpqrstuvwxyz23456789";
// Folders scanned ahead keep the worker busy while the loop indexes.
enum { nleaves = 32 * 32, scanahead = 16, warngap = 60, firstread = 4096 };

// ---- The header ----

void
put32 (char *p, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    p[i] = char (v >> (8 * i));
}

void
put64 (char *p, uint64_t v)
{
  put32 (p, uint32_t (v));
  put32 (p + 4, uint32_t (v >> 32));
}

uint32_t
get32 (const char *p)
{
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--)
    v = (v << 8) | uint8_t (p[i]);
  return v;
}

uint64_t
get64 (const char *p)
{
  return get32 (p) | uint64_t (get32 (p + 4)) << 32;
}

// FNV-1a, continued from h.  A header's checksum runs over the header
// with its own field (bytes 72 to 75) read as 0.
uint32_t
fnv (uint32_t h, const char *p, size_t n)
{
  for (size_t i = 0; i < n; i++)
    h = (h ^ uint8_t (p[i])) * 16777619u;
  return h;
}

const uint32_t fnvstart = 2166136261u;
const char zero4[4] = {0, 0, 0, 0};

uint32_t
checksum (const char *p, size_t n)
{
  return fnv (fnv (fnv (fnvstart, p, 72), zero4, 4), p + 76, n - 76);
}

bool
tchar (char c)
{
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c && strchr ("!#$%&'*+-.^_`|~", c));
}

// Splits "a,b,c" into names; false for an empty or non-token name.
bool
splitnames (const char *p, size_t n, vec<str> *out)
{
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && p[j] != ',')
      if (!tchar (p[j++]))
        return false;
    if (j == i || (j < n && j + 1 == n))
      return false;
    out->push_back (str (p + i, j - i));
    i = j + 1;
  }
  return true;
}

bool
validname (const char *n)
{
  size_t len = strlen (n);
  if (len != 32 && len != 65)
    return false;
  for (size_t i = 0; i < len; i++)
    if (i == 32 ? n[i] != '-' : !strchr (b32, n[i]) || !n[i])
      return false;
  return true;
}

} // namespace

str
dsk_header (const dmeta &m)
{
  strbuf vb;
  for (size_t i = 0; i < m.vary.size (); i++)
    vb << (i ? "," : "") << m.vary[i];
  str v (vb);
  str sec = m.secondary ? m.secondary : str ("");
  if (!m.url || m.url.len () > dsk_maxurl || sec.len () > dsk_maxurl ||
      v.len () > dsk_maxvary || m.headlen > dsk_maxhead ||
      m.bodylen > dsk_maxbody)
    return str ();
  size_t n = dsk_fixed + m.url.len () + sec.len () + v.len ();
  char p[dsk_fixed] = {};
  put32 (p, dsk_magic);
  put32 (p + 4, dsk_version);
  put32 (p + 8, uint32_t (n));
  put32 (p + 12, uint32_t (m.url.len ()));
  put32 (p + 16, uint32_t (sec.len ()));
  put32 (p + 20, uint32_t (v.len ()));
  put32 (p + 24, uint32_t (m.t.status));
  put32 (p + 28, m.t.heuristic | m.t.no_cache << 1 | m.t.no_stale << 2 |
                     m.t.validator << 3);
  put64 (p + 32, uint64_t (int64_t (m.t.response_time)));
  put64 (p + 40, uint64_t (m.t.initial_age));
  put64 (p + 48, uint64_t (m.t.lifetime));
  put64 (p + 56, m.headlen);
  put64 (p + 64, m.bodylen);
  iovec iov[4] = {{p, dsk_fixed},
                  {const_cast<char *> (m.url.cstr ()), m.url.len ()},
                  {const_cast<char *> (sec.cstr ()), sec.len ()},
                  {const_cast<char *> (v.cstr ()), v.len ()}};
  uint32_t h = fnvstart;
  for (int i = 0; i < 4; i++)
    h = fnv (h, static_cast<char *> (iov[i].iov_base), iov[i].iov_len);
  put32 (p + 72, h);
  return str (iov, 4);
}

int
dsk_parse (const char *p, size_t n, dmeta *m, size_t *need)
{
  *need = dsk_fixed;
  if (n < dsk_fixed)
    return 0;
  uint32_t hl = get32 (p + 8), ul = get32 (p + 12), sl = get32 (p + 16),
           vl = get32 (p + 20);
  if (get32 (p) != dsk_magic || get32 (p + 4) != dsk_version || !ul ||
      ul > dsk_maxurl || sl > dsk_maxurl || vl > dsk_maxvary ||
      hl != dsk_fixed + ul + sl + vl)
    return -1;
  *need = hl;
  if (n < hl)
    return 0;
  uint32_t status = get32 (p + 24), flags = get32 (p + 28);
  uint64_t headlen = get64 (p + 56), bodylen = get64 (p + 64);
  if (get32 (p + 72) != checksum (p, hl) || get32 (p + 76) || status < 100 ||
      status > 999 || flags > 15 || headlen > dsk_maxhead ||
      bodylen > dsk_maxbody)
    return -1;
  vec<str> names;
  if (!splitnames (p + dsk_fixed + ul + sl, vl, &names))
    return -1;
  m->url = str (p + dsk_fixed, ul);
  m->secondary = str (p + dsk_fixed + ul, sl);
  m->vary = names;
  m->t.status = int (status);
  m->t.heuristic = flags & 1;
  m->t.no_cache = flags & 2;
  m->t.no_stale = flags & 4;
  m->t.validator = flags & 8;
  m->t.response_time = time_t (int64_t (get64 (p + 32)));
  m->t.initial_age = int64_t (get64 (p + 40));
  m->t.lifetime = int64_t (get64 (p + 48));
  m->headlen = headlen;
  m->bodylen = bodylen;
  return int (hl);
}

str
dsk_name (const str &url, const str &secondary)
{
  if (!secondary || !secondary.len ())
    return hashstr (url);
  return strbuf () << hashstr (url) << "-" << hashstr (secondary);
}

dhit::~dhit ()
{
  if (fd >= 0)
    close (fd);
}

// ---- Work on the worker thread ----

namespace {

// Opens the object file name in folder dirfd (or the path name when dirfd
// is AT_FDCWD) and checks it: its descriptor with *m filled in and, when
// head is given, the head read; -1 with *err (ENOENT, EIO...) or, for a
// file that is no valid object, *err 0.
int
openobj (int dirfd, const char *name, dmeta *m, str *head, struct stat *sb,
         int *err)
{
  *err = 0;
  int fd = openat (dirfd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *err = errno == ELOOP ? 0 : errno;
    return -1;
  }
  mstr buf (firstread);
  ssize_t n = 0;
  size_t need = firstread;
  int hl = -1;
  if (fstat (fd, sb) < 0)
    *err = errno;
  else if (S_ISREG (sb->st_mode) &&
           (n = pread (fd, buf.cstr (), firstread, 0)) >= 0 &&
           !(hl = dsk_parse (buf.cstr (), size_t (n), m, &need)) &&
           need > firstread && uint64_t (sb->st_size) >= need) {
    mstr big (need);
    n = pread (fd, big.cstr (), need, 0);
    hl = n < 0 ? -1 : dsk_parse (big.cstr (), size_t (n), m, &need);
  }
  if (!*err && n < 0)
    *err = errno;
  // Each term is bounded (dsk_maxhdr, dsk_maxhead, dsk_maxbody): no
  // overflow in 64 bits.
  if (!*err && hl > 0 &&
      uint64_t (sb->st_size) == uint64_t (hl) + m->headlen + m->bodylen) {
    if (!head)
      return fd;
    mstr h (size_t (m->headlen));
    n = pread (fd, h.cstr (), size_t (m->headlen), off_t (hl));
    if (n == ssize_t (m->headlen)) {
      *head = h;
      return fd;
    }
    *err = n < 0 ? errno : 0;
  }
  close (fd);
  return -1;
}

// Removes a file, or a folder if it is empty, from folder dirfd: 0 or -1.
int
rmentry (int dirfd, const char *name)
{
  if (!unlinkat (dirfd, name, 0) || !unlinkat (dirfd, name, AT_REMOVEDIR))
    return 0;
  return -1;
}

// Reads n bytes at off; false on an error or an early end.
bool
readat (int fd, char *p, size_t n, uint64_t off)
{
  while (n) {
    ssize_t k = pread (fd, p, n, off_t (off));
    if (k < 0 && errno == EINTR)
      continue;
    if (k <= 0)
      return false;
    p += k;
    n -= size_t (k);
    off += uint64_t (k);
  }
  return true;
}

} // namespace

// Removes the folder's temporaries, makes the 32 x 32 folders.
struct dinitjob : fjob {
  dstore *st;
  str dir;
  int err;
  const char *op;
  dinitjob (dstore *s, const str &d) : st (s), dir (d), err (0), op ("") {}
  void run () override;
  void done () override;
  void fail (const char *what)
  {
    if (!err && errno != EEXIST) {
      err = errno;
      op = what;
    }
  }
};

void
dinitjob::run ()
{
  // dir is shared with the loop: only its bytes are read here.
  str tmp = strbuf ().fmt ("%s/tmp", dir.cstr ());
  if (mkdir (tmp.cstr (), 0755) < 0)
    fail ("mkdir");
  if (DIR *d = opendir (tmp.cstr ())) {
    while (dirent *e = readdir (d))
      if (e->d_name[0] != '.')
        rmentry (dirfd (d), e->d_name);
    closedir (d);
  }
  // The last folder made: the layout is there from an earlier run.
  struct stat sb;
  str last = strbuf ().fmt ("%s/%c/%c", dir.cstr (), b32[31], b32[31]);
  if (!stat (last.cstr (), &sb))
    return;
  for (int i = 0; i < 32; i++) {
    str a = strbuf ().fmt ("%s/%c", dir.cstr (), b32[i]);
    if (mkdir (a.cstr (), 0755) < 0)
      fail ("mkdir");
    for (int j = 0; j < 32; j++) {
      str b = strbuf ().fmt ("%s/%c", a.cstr (), b32[j]);
      if (mkdir (b.cstr (), 0755) < 0)
        fail ("mkdir");
    }
  }
}

void
dinitjob::done ()
{
  if (err)
    st->warnerr (op, dir, err);
  delete this;
}

namespace {

// Writes every byte of v[0..cnt); false with errno on failure.
bool
writeall (int fd, iovec *v, int cnt)
{
  while (cnt > 0) {
    ssize_t n = writev (fd, v, cnt);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    for (; cnt > 0 && size_t (n) >= v->iov_len; v++, cnt--)
      n -= ssize_t (v->iov_len);
    if (cnt > 0) {
      v->iov_base = static_cast<char *> (v->iov_base) + n;
      v->iov_len -= size_t (n);
    }
  }
  return true;
}

// Removes the files of one URL key from its folder, indexed or not.
struct dpurgejob : fjob {
  str leafdir, urlkey;
  dpurgejob (const str &d, const str &k) : leafdir (d), urlkey (k) {}
  void run () override
  {
    DIR *d = opendir (leafdir.cstr ());
    if (!d)
      return;
    while (dirent *e = readdir (d))
      if (validname (e->d_name) && !strncmp (e->d_name, urlkey.cstr (), 32))
        unlinkat (dirfd (d), e->d_name, 0);
    closedir (d);
  }
  void done () override { delete this; }
};

struct dclosejob : fjob {
  int fd;
  explicit dclosejob (int f) : fd (f) {}
  ~dclosejob ()
  {
    if (fd >= 0)
      close (fd);
  }
  void run () override
  {
    close (fd);
    fd = -1;
  }
  void done () override { delete this; }
};

struct dunlinkjob : fjob {
  str path;
  explicit dunlinkjob (const str &p) : path (p) {}
  void run () override { ::unlink (path.cstr ()); }
  void done () override { delete this; }
};

} // namespace

struct dfound {
  str name;
  uint64_t size;
  time_t mtime;
  vec<str> vary;
};

// Indexes one of the 32 x 32 folders: every valid object in it; files that
// are no objects of ours (foreign, damaged, under another URL's name) are
// removed.
struct dscanjob : fjob {
  dstore *st;
  str leafdir;
  size_t purgemark; // st->purged entries older than this ran before us
  vec<dfound> found;
  uint64_t removed;
  dscanjob (dstore *s, const str &d)
      : st (s), leafdir (d), purgemark (s->purged.size ()), removed (0)
  {
  }
  void run () override;
  void done () override;
  void check (int dfd, const char *name);
};

void
dscanjob::check (int dfd, const char *name)
{
  dmeta m;
  struct stat sb;
  int err;
  int fd = validname (name) ? openobj (dfd, name, &m, nullptr, &sb, &err) : -1;
  if (fd >= 0) {
    close (fd);
    if (dsk_name (m.url, m.secondary) == name) {
      dfound &f = found.push_back ();
      f.name = name;
      f.size = uint64_t (sb.st_size);
      f.mtime = sb.st_mtime;
      f.vary = m.vary;
      return;
    }
  } else if (validname (name) && err)
    return; // unreadable now (EACCES, EMFILE): left alone
  if (!rmentry (dfd, name))
    removed++;
}

void
dscanjob::run ()
{
  DIR *d = opendir (leafdir.cstr ());
  if (!d)
    return;
  while (dirent *e = readdir (d))
    if (strcmp (e->d_name, ".") && strcmp (e->d_name, ".."))
      check (dirfd (d), e->d_name);
  closedir (d);
}

void
dscanjob::done ()
{
  st->scanning--;
  st->removed += removed;
  for (size_t k = 0; k < found.size (); k++) {
    const dfound &f = found[k];
    bool gone = st->tab[f.name] != nullptr; // stored again since
    for (size_t i = purgemark; !gone && i < st->purged.size (); i++)
      gone = !strncmp (st->purged[i].cstr (), f.name.cstr (), 32);
    if (!gone)
      st->add (f.name, f.size, f.vary, f.mtime, false);
  }
  st->room (0);
  dstore *s = st;
  delete this;
  s->scannext ();
}

// Opens an object for a lookup and checks it is the one asked for; reads
// its body too into buf, when given and large enough.
struct dopenjob : fjob {
  dstore *st;
  str path, name, url, secondary; // read-only on the worker
  ref<dhitcb> cb;
  uint64_t gen;
  refcounted<dhit> *hit; // made on the worker, handed over in done
  mstr *buf;             // made and freed on the loop; null: no body read
  bool gotbody;          // the worker filled buf's first hit->len bytes
  int err;               // 0 with no hit: the file was bad and is gone
  dopenjob (dstore *s, const str &n, const str &u, const str &sec,
            const ref<dhitcb> &c, uint64_t g, mstr *b)
      : st (s), path (s->path (n)), name (n), url (u), secondary (sec), cb (c),
        gen (g), hit (nullptr), buf (b), gotbody (false), err (0)
  {
  }
  ~dopenjob ()
  {
    delete hit;
    delete buf;
  }
  void run () override;
  void done () override;
};

void
dopenjob::run ()
{
  hit = new refcounted<dhit>;
  struct stat sb;
  hit->fd = openobj (AT_FDCWD, path.cstr (), &hit->m, &hit->head, &sb, &err);
  if (hit->fd >= 0 && hit->m.url == url && hit->m.secondary == secondary) {
    hit->len = hit->m.bodylen;
    hit->off = uint64_t (sb.st_size) - hit->len;
    // A read that fails leaves the hit to be sent from the file.
    gotbody = buf && hit->len <= buf->len () &&
              readat (hit->fd, buf->cstr (), size_t (hit->len), hit->off);
    return;
  }
  if (!err)
    ::unlink (path.cstr ()); // damaged, or another URL under this name
  delete hit;
  hit = nullptr;
}

void
dopenjob::done ()
{
  ptr<dhit> h = hit;
  hit = nullptr;
  if (h && gotbody) {
    buf->setlen (size_t (h->len));
    h->body = *buf;
  }
  if (!h && (!err || err == ENOENT)) {
    dent *e = st->tab[name];
    if (e && e->gen == gen) {
      st->removed += !err;
      st->drop (e, false);
    }
  } else if (!h)
    st->warnerr ("open", path, err);
  ref<dhitcb> c = cb;
  delete this;
  (*c) (h);
}

// One step of a writer: create the temporary (with the header and head),
// write body pieces, and at the end write the final header and rename;
// or remove the temporary.
struct dwritejob : fjob {
  dstore *st;
  dwriter *wr; // null once the writer is gone; never touched on the worker
  int fd;      // the temporary's descriptor, -1 when none
  bool create, finish, cleanup;
  str tmp, final, hdr, head; // read-only on the worker
  vec<str> pieces;           // the same
  uint64_t bytes;            // in pieces
  str name;                  // finish: the object's file name
  uint64_t gen;              // finish: the index entry added for it
  int err;
  const char *op;

  dwritejob (dstore *s, dwriter *w)
      : st (s), wr (w), fd (-1), create (false), finish (false),
        cleanup (false), bytes (0), gen (0), err (0), op ("")
  {
  }
  ~dwritejob ()
  {
    if (!wr && fd >= 0)
      close (fd);
  }
  void fail (const char *what);
  void run () override;
  void done () override;
};

void
dwritejob::fail (const char *what)
{
  err = errno;
  op = what;
  if (fd >= 0)
    close (fd);
  fd = -1;
  ::unlink (tmp.cstr ());
}

void
dwritejob::run ()
{
  if (cleanup)
    return fail ("cleanup");
  if (create) {
    fd = open (tmp.cstr (), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
      return fail ("create");
    iovec v[2] = {{const_cast<char *> (hdr.cstr ()), hdr.len ()},
                  {const_cast<char *> (head.cstr ()), head.len ()}};
    if (!writeall (fd, v, 2))
      return fail ("write");
  }
  for (size_t i = 0; i < pieces.size ();) {
    iovec v[64];
    int n = 0;
    for (; n < 64 && i < pieces.size (); n++, i++)
      v[n] = {const_cast<char *> (pieces[i].cstr ()), pieces[i].len ()};
    if (!writeall (fd, v, n))
      return fail ("write");
  }
  if (!finish)
    return;
  ssize_t n = pwrite (fd, hdr.cstr (), hdr.len (), 0);
  if (n != ssize_t (hdr.len ()))
    return fail ("write");
  int c = close (fd);
  fd = -1;
  if (c < 0)
    return fail ("close");
  if (rename (tmp.cstr (), final.cstr ()) < 0) {
    ::unlink (final.cstr ()); // the index let the old file go already
    return fail ("rename");
  }
}

void
dwritejob::done ()
{
  if (err && gen)
    if (dent *e = st->tab[name])
      if (e->gen == gen)
        st->drop (e, false);
  if (err && !cleanup)
    st->warnerr (op, *op == 'r' ? final : tmp, err);
  dwriter *w = wr;
  if (w) {
    w->job = nullptr;
    w->queued -= bytes;
    w->fd = fd; // -1 after finish, a failure or clean-up
    fd = -1;
    if (err && !cleanup)
      w->lose ();
    else if (finish && !err && !w->_state)
      w->_state = 1;
  } else if (fd >= 0 && !finish) {
    // The writer went while we ran: its temporary goes too.
    dwritejob *j = new dwritejob (st, nullptr);
    j->cleanup = true;
    j->fd = fd;
    j->tmp = tmp;
    fd = -1;
    st->w.submit (j);
  }
  delete this;
  if (w) {
    w->kick ();
    w->written ();
  }
}

// After a 304: the object's file again with a new head and times, the
// body copied from the old one (in the kernel where it can), renamed over
// it.  The cost is the body's size, on the worker.
struct dupdatejob : fjob {
  dstore *st;
  str path, tmp, name, url, secondary, head; // read-only on the worker
  dtimes t;
  uint64_t gen;
  uint64_t size; // the new file's, once written
  int err;
  const char *op;
  dupdatejob (dstore *s, const str &n, const str &u, const str &sec,
              const str &h, const dtimes &tt, uint64_t g, const str &tp)
      : st (s), path (s->path (n)), tmp (tp), name (n), url (u),
        secondary (sec), head (h), t (tt), gen (g), size (0), err (0), op ("")
  {
  }
  void run () override;
  bool copy (int from, int to, uint64_t off, uint64_t len);
  void done () override;
};

bool
dupdatejob::copy (int from, int to, uint64_t off, uint64_t len)
{
  off_t in = off_t (off);
  while (len > 0) {
    size_t chunk = len > (1u << 30) ? size_t (1) << 30 : size_t (len);
    ssize_t n = copy_file_range (from, &in, to, nullptr, chunk, 0);
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL)) {
      char buf[65536];
      n = pread (from, buf, std::min (chunk, sizeof (buf)), in);
      if (n > 0 && write (to, buf, size_t (n)) != n)
        return false;
      in += n > 0 ? n : 0;
    }
    if (n <= 0) {
      if (!n)
        errno = EIO; // the old file ended early
      return false;
    }
    len -= uint64_t (n);
  }
  return true;
}

void
dupdatejob::run ()
{
  dmeta m;
  str oldhead;
  struct stat sb;
  int from = openobj (AT_FDCWD, path.cstr (), &m, &oldhead, &sb, &err);
  if (from < 0 || m.url != url || m.secondary != secondary) {
    if (from >= 0)
      close (from);
    return; // gone or replaced: nothing to update
  }
  uint64_t bodyoff = uint64_t (sb.st_size) - m.bodylen;
  m.t = t;
  m.headlen = head.len ();
  str hdr = dsk_header (m);
  int to = open (tmp.cstr (), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  iovec v[2] = {{const_cast<char *> (hdr.cstr ()), hdr.len ()},
                {const_cast<char *> (head.cstr ()), head.len ()}};
  op = "update";
  if (to >= 0 && writeall (to, v, 2) && copy (from, to, bodyoff, m.bodylen) &&
      !close (to) && !rename (tmp.cstr (), path.cstr ())) {
    size = hdr.len () + m.headlen + m.bodylen;
    close (from);
    return;
  }
  err = errno ? errno : EIO;
  if (to >= 0)
    close (to); // a second close after a failed one only fails again
  ::unlink (tmp.cstr ());
  close (from);
}

void
dupdatejob::done ()
{
  dent *e = st->tab[name];
  if (size && e && e->gen == gen) {
    st->_bytes = st->_bytes - e->size + size;
    e->size = size;
    st->room (0);
  } else if (err && err != ENOENT)
    st->warnerr (op, path, err);
  delete this;
}

// ---- Writers ----

dwriter::dwriter ()
    : st (nullptr), queued (0), reserved (0), fd (-1), _state (0),
      started (false), finishing (false), committed (false), job (nullptr),
      wnext (nullptr), wpprev (nullptr), lowmark (0), drainsoon (nullptr)
{
}

dwriter::~dwriter ()
{
  timecb_remove (drainsoon);
  if (job)
    job->wr = nullptr; // it cleans up after itself
  if (!st) {
    if (fd >= 0)
      close (fd); // the store is gone: the temporary waits for a restart
    return;
  }
  release ();
  if (!job && fd >= 0) {
    dwritejob *j = new dwritejob (st, nullptr);
    j->cleanup = true;
    j->fd = fd;
    j->tmp = tmp;
    st->w.submit (j);
  }
  if ((*wpprev = wnext))
    wnext->wpprev = wpprev;
}

void
dwriter::release ()
{
  st->_writing -= reserved;
  reserved = 0;
}

void
dwriter::lose ()
{
  _state = -1;
  queue.clear ();
  queued = job ? job->bytes : 0;
  if (st)
    release ();
  wakesoon ();
}

void
dwriter::ondrain (uint64_t low, cbv::ptr cb)
{
  drained = cb;
  lowmark = low;
  timecb_remove (drainsoon);
  drainsoon = nullptr;
  if (!storing ())
    wakesoon ();
}

// The writer stopped storing: its user hears of it from the loop, not
// from inside the call that stopped it (append, remove, a store's end).
void
dwriter::wakesoon ()
{
  if (drained && !drainsoon)
    drainsoon = delaycb (0, 0, wrap (this, &dwriter::wakeup));
}

void
dwriter::wakeup ()
{
  drainsoon = nullptr;
  cbv::ptr c = drained;
  drained = nullptr;
  if (c)
    (*c) ();
}

// A job came back: the user may read again once the backlog is low.  The
// callback may destroy the writer.
void
dwriter::written ()
{
  if (drained && (queued <= lowmark || !storing ())) {
    timecb_remove (drainsoon);
    wakeup ();
  }
}

int
dwriter::append (const str &piece)
{
  if (!st || _state || finishing)
    return 0;
  uint64_t n = piece.len ();
  if (!n)
    return 1;
  if (m.bodylen + n > dsk_maxbody || reserved + n > st->maxobject ||
      !st->room (n)) {
    lose ();
    kick ();
    return 0;
  }
  reserved += n;
  st->_writing += n;
  m.bodylen += n;
  queued += n;
  queue.push_back (piece);
  kick ();
  return 1;
}

void
dwriter::finish ()
{
  if (!st || _state || finishing)
    return;
  finishing = true;
  // Of two writers of one object the one finished last is kept: one
  // finished before and still waiting for the worker stores nothing.
  for (dwriter *o = st->writers; o; o = o->wnext)
    if (o != this && o->finishing && !o->committed && o->storing () &&
        o->name == name) {
      o->lose ();
      o->kick ();
    }
  kick ();
}

void
dwriter::abort ()
{
  if (!_state) {
    lose ();
    kick ();
  }
}

// Hands the worker the next step, once the last one is back.
void
dwriter::kick ()
{
  if (!st || job || _state > 0)
    return;
  if (_state < 0 && fd < 0)
    return;
  if (!_state && started && queue.empty () && !finishing)
    return;
  job = new dwritejob (st, this);
  job->fd = fd;
  job->tmp = tmp;
  fd = -1;
  if (_state < 0) {
    job->cleanup = true;
    st->w.submit (job);
    return;
  }
  job->create = !started;
  started = true;
  job->head = head;
  job->pieces.swap (queue);
  job->bytes = queued;
  if (finishing) {
    job->finish = true;
    hdr = dsk_header (m);
    job->final = st->path (name);
    job->name = name;
    job->gen = st->add (name, reserved, m.vary, timenow, true)->gen;
    committed = true;
    st->_writing -= reserved;
    reserved = 0;
  }
  job->hdr = hdr;
  st->w.submit (job);
}

// ---- The index ----

namespace {

// The base-32 characters of a name as 5-bit digits: names are SHA-1
// digests already, so a few of their characters make a good hash.
uint32_t
digits (const char *p, int n)
{
  uint32_t h = 0;
  for (int i = 0; i < n; i++) {
    const char *q = strchr (b32, p[i]);
    h = h << 5 | uint32_t (q && p[i] ? q - b32 : 0);
  }
  return h;
}

} // namespace

hash_t
dnamehash::operator() (const str &s) const
{
  uint32_t h = digits (s.cstr (), 6);
  return hash_t (s.len () > 38 ? h ^ digits (s.cstr () + 33, 6) << 2 : h);
}

hash_t
durlhash::operator() (const str &s) const
{
  return hash_t (digits (s.cstr (), 6));
}

bool
durleq::operator() (const str &a, const str &b) const
{
  return !strncmp (a.cstr (), b.cstr (), 32);
}

dstore::dstore (const str &d, uint64_t max, uint64_t maxobj, int nice)
    : dir (d), w (nice), lfirst (nullptr), llast (nullptr), _bytes (0),
      _writing (0), gens (0), writers (nullptr), nextleaf (nleaves),
      scanning (0), rescanning (false), lastwarn (0), tmpseq (0),
      maxbytes (std::min (max, dsk_maxbody)),
      maxobject (maxobj && maxobj < maxbytes ? maxobj : maxbytes),
      evictions (0), errors (0), removed (0)
{
}

dstore::~dstore ()
{
  for (dwriter *wr = writers; wr; wr = wr->wnext) {
    wr->st = nullptr;
    if (wr->job) // deleted unrun with the worker, below
      wr->job->wr = nullptr;
    wr->job = nullptr;
    wr->wakesoon ();
  }
  byurl.clear ();
  tab.deleteall ();
}

int
dstore::start (cbv::ptr done)
{
  struct stat sb;
  if (stat (dir.cstr (), &sb) < 0 && errno == ENOENT)
    mkdir (dir.cstr (), 0755);
  errno = 0;
  if (stat (dir.cstr (), &sb) < 0 || !S_ISDIR (sb.st_mode)) {
    warnobj (0) ("cache folder %s: %s\n", dir.cstr (),
                 errno ? strerror (errno) : "not a folder");
    return -1;
  }
  scandone = done;
  rescanning = true;
  w.submit (new dinitjob (this, dir));
  nextleaf = 0;
  scannext ();
  return 0;
}

str
dstore::leafdir (const str &name) const
{
  return strbuf ().fmt ("%s/%c/%c", dir.cstr (), name[0], name[1]);
}

str
dstore::tmpname (const str &name)
{
  return strbuf ().fmt ("%s/tmp/%s.%llu", dir.cstr (), name.cstr (),
                        (unsigned long long) ++tmpseq);
}

str
dstore::path (const str &name) const
{
  return strbuf ().fmt ("%s/%c/%c/%s", dir.cstr (), name[0], name[1],
                        name.cstr ());
}

void
dstore::scannext ()
{
  while (nextleaf < nleaves && scanning < scanahead) {
    char n[2] = {b32[nextleaf / 32], b32[nextleaf % 32]};
    nextleaf++;
    scanning++;
    w.submit (new dscanjob (this, leafdir (str (n, 2))));
  }
  if (nextleaf == nleaves && !scanning && rescanning)
    endscan ();
}

// The rescan is over: the LRU order by the files' times, entries used
// since first.
void
dstore::endscan ()
{
  vec<dent *> all;
  for (dent *e = lfirst; e; e = e->lnext)
    all.push_back (e);
  std::stable_sort (all.base (), all.lim (),
                    [] (dent *a, dent *b) { return a->stamp > b->stamp; });
  lfirst = llast = nullptr;
  for (size_t i = 0; i < all.size (); i++)
    link (all[i], false);
  purged.clear ();
  rescanning = false;
  cbv::ptr c = scandone;
  scandone = nullptr;
  if (c)
    (*c) ();
}

void
dstore::link (dent *e, bool front)
{
  if (front) {
    e->lprev = nullptr;
    if ((e->lnext = lfirst))
      lfirst->lprev = e;
    else
      llast = e;
    lfirst = e;
  } else {
    e->lnext = nullptr;
    if ((e->lprev = llast))
      llast->lnext = e;
    else
      lfirst = e;
    llast = e;
  }
}

void
dstore::unlink (dent *e)
{
  (e->lprev ? e->lprev->lnext : lfirst) = e->lnext;
  (e->lnext ? e->lnext->lprev : llast) = e->lprev;
}

dent *
dstore::add (const str &name, uint64_t size, const vec<str> &vary, time_t stamp,
             bool front)
{
  if (dent *old = tab[name])
    drop (old, false); // its file is replaced, not removed
  dent *e = new dent (name);
  e->size = size;
  e->vary = vary;
  e->stamp = stamp;
  e->gen = ++gens;
  tab.insert (e);
  byurl.insert (e);
  link (e, front);
  _bytes += size;
  return e;
}

void
dstore::drop (dent *e, bool rmfile)
{
  if (rmfile)
    w.submit (new dunlinkjob (path (e->name)));
  tab.remove (e);
  byurl.remove (e);
  unlink (e);
  _bytes -= e->size;
  delete e;
}

bool
dstore::room (uint64_t n)
{
  if (n > maxbytes)
    return false;
  while (_bytes + _writing + n > maxbytes && llast) {
    drop (llast, true);
    evictions++;
  }
  return _bytes + _writing + n <= maxbytes;
}

void
dstore::warnerr (const char *op, const str &p, int err)
{
  errors++;
  if (lastwarn && timenow - lastwarn < warngap)
    return;
  lastwarn = timenow ? timenow : 1;
  warnobj (0) ("disk cache: %s %s: %s (not stored; more errors are silent for "
               "%d seconds)\n",
               op, p.cstr (), strerror (err), int (warngap));
}

bool
dstore::has (const str &url, const str &secondary) const
{
  return tab[dsk_name (url, secondary)] != nullptr;
}

const vec<str> *
dstore::vary (const str &url) const
{
  dent *e = byurl[hashstr (url)];
  return e ? &e->vary : nullptr;
}

int
dstore::lookup (const str &url, const str &secondary, ref<dhitcb> cb,
                uint64_t maxbody)
{
  str sec = secondary ? secondary : str ("");
  str name = dsk_name (url, sec);
  dent *e = tab[name];
  if (!e)
    return 0;
  unlink (e);
  link (e, true);
  e->stamp = timenow;
  // The file's size bounds its body's: the block wastes the header's and
  // head's bytes, a few hundred in the common case.
  mstr *buf = e->size <= maxbody && e->size < SIZE_MAX
                  ? new mstr (size_t (e->size))
                  : nullptr;
  w.submit (new dopenjob (this, name, url, sec, cb, e->gen, buf));
  return 1;
}

ptr<dwriter>
dstore::store (const str &url, const str &secondary, const str &head,
               const dtimes &t, const vec<str> &vary)
{
  ptr<dwriter> wr = new refcounted<dwriter>;
  wr->m.url = url;
  wr->m.secondary = secondary ? secondary : str ("");
  wr->m.vary = vary;
  wr->m.t = t;
  wr->m.headlen = head ? head.len () : 0;
  wr->m.bodylen = 0;
  wr->hdr = dsk_header (wr->m);
  if (!wr->hdr)
    return nullptr;
  uint64_t n = wr->hdr.len () + wr->m.headlen;
  if (n > maxobject || !room (n))
    return nullptr;
  wr->st = this;
  wr->name = dsk_name (url, wr->m.secondary);
  wr->tmp = tmpname (wr->name);
  wr->head = head ? head : str ("");
  wr->reserved = n;
  _writing += n;
  if ((wr->wnext = writers))
    writers->wpprev = &wr->wnext;
  writers = wr;
  wr->wpprev = &writers;
  wr->kick ();
  return wr;
}

// Writers of the name (or, with n 32, of its URL key) store nothing: what
// they would store is what was just removed.
void
dstore::stopwriters (const str &name, size_t n)
{
  for (dwriter *wr = writers; wr; wr = wr->wnext)
    if (wr->storing () && !strncmp (wr->name.cstr (), name.cstr (), n) &&
        (n == 32 || wr->name == name)) {
      wr->lose ();
      wr->kick ();
    }
}

int
dstore::update (const str &url, const str &secondary, const str &head,
                const dtimes &t)
{
  str sec = secondary ? secondary : str ("");
  str name = dsk_name (url, sec);
  dent *e = tab[name];
  if (!e || !head || head.len () > dsk_maxhead)
    return 0;
  unlink (e);
  link (e, true);
  e->stamp = timenow;
  w.submit (
      new dupdatejob (this, name, url, sec, head, t, e->gen, tmpname (name)));
  return 1;
}

void
dstore::release (dhit *h)
{
  if (h->fd >= 0)
    w.submit (new dclosejob (h->fd));
  h->fd = -1;
}

int
dstore::remove (const str &url, const str &secondary)
{
  str name = dsk_name (url, secondary);
  stopwriters (name, name.len ());
  dent *e = tab[name];
  if (e)
    drop (e, true);
  return e != nullptr;
}

int
dstore::invalidate (const str &url)
{
  str k = hashstr (url);
  stopwriters (k, 32);
  int n = 0;
  while (dent *e = byurl[k]) {
    drop (e, true);
    n++;
  }
  if (!scanned ()) {
    purged.push_back (k);
    w.submit (new dpurgejob (leafdir (k), k));
  }
  return n;
}

void
dstore::check () const
{
  tab.check ();
  byurl.check ();
  size_t n = 0;
  uint64_t sum = 0;
  for (const dent *e = lfirst; e; e = e->lnext, n++) {
    if ((e->lprev ? e->lprev->lnext : lfirst) != e ||
        (e->lnext ? e->lnext->lprev : llast) != e)
      panic ("disk cache: LRU links broken at %s\n", e->name.cstr ());
    if (tab[e->name] != e || !byurl.present (e) || !validname (e->name) ||
        e->size < dsk_fixed)
      panic ("disk cache: %s not indexed as listed\n", e->name.cstr ());
    sum += e->size;
  }
  if (n != tab.size () || n != byurl.size () || sum != _bytes)
    panic ("disk cache: %zu listed, %zu indexed, %llu bytes counted of "
           "%llu\n",
           n, tab.size (), (unsigned long long) _bytes,
           (unsigned long long) sum);
  uint64_t w = 0;
  for (const dwriter *wr = writers; wr; wr = wr->wnext)
    if (wr->st != this || *wr->wpprev != wr || (wr->_state && wr->reserved))
      panic ("disk cache: writer list broken\n");
    else
      w += wr->reserved;
  if (w != _writing || _bytes + _writing > maxbytes)
    panic ("disk cache: %llu reserved of %llu, %llu stored, limit %llu\n",
           (unsigned long long) w, (unsigned long long) _writing,
           (unsigned long long) _bytes, (unsigned long long) maxbytes);
}
