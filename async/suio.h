// suio: a scatter-gather byte queue for I/O and text building.
//
// A suio is an ordered list of byte ranges (iovecs), written to a
// descriptor with writev without flattening, read into from a descriptor
// and consumed from the front.  Bytes enter by reference (print, pushiov:
// the range points into memory the caller keeps alive and unchanged until
// those bytes are consumed) or by copy (copy, fill, copyv) into a scratch
// area the buffer owns: first its 128-byte inline defbuf, then heap areas
// of 8192k - 16 bytes.  A retired heap area is freed by a completion
// callback once every byte queued before the switch has been consumed.
//
// Pointers from iov () stay valid until the next call that appends or
// consumes.  A completion callback (iovcb) runs, once, as soon as every
// byte appended before it has been consumed.  Misuse (consuming more than
// is queued, writing more ranges than exist) is the system's standard
// assertion; a broken iovmgr request is a panic.  Not thread-safe.
#ifndef OMBRIX_ASYNC_SUIO_H
#define OMBRIX_ASYNC_SUIO_H

#include "async/callback.h"
#include "async/vec.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>
#include <sys/uio.h>

// Sum of the iov_lens of cnt ranges.
size_t iovsize (const iovec *iov, size_t cnt);

// A cursor over an iovec array for partial copies.  The array must stay
// unchanged while the cursor is used.
class iovmgr {
  const iovec *iov; // next range not yet entered
  const iovec *lim; // end of the array
  iovec cur;        // unread rest of the current range

public:
  iovmgr (const iovec *v, ssize_t cnt); // cnt <= 0: an empty cursor
  void skip (size_t n);                 // panics when fewer than n bytes remain
  size_t copyout (void *buf, size_t len); // returns the bytes copied
  size_t size () const;                   // bytes not yet read
};

class suio {
public:
  // A completion callback and the stream position at which it is due.
  struct uiocb {
    cbv cb;
    uint64_t nbytes;
  };

  static constexpr size_t defbufsize = 128; // inline scratch; copy limit
  static constexpr size_t areaunit = 8192;  // heap areas + 16 fill these
  static constexpr size_t areaslack = 16;   // allocator's share of a unit
  static constexpr size_t maxwritev = 1024; // most ranges for one writev

  static void *default_allocator (size_t n);
  static void default_deallocator (void *p, size_t n);

private:
  vec<iovec, 4> iovs;   // queued ranges, oldest first
  vec<uiocb, 2> uiocbs; // pending callbacks, positions non-decreasing
  size_t uiobytes;      // bytes queued
  uint64_t nrembytes;   // bytes consumed so far: position of iov ()
  uint64_t nremiov;     // ranges consumed so far
  char *lastiovend;     // just past the last range; null: don't extend it
  char *scratch_buf;    // current scratch area (defbuf or a heap area)
  char *scratch_pos;    // its first free byte
  char *scratch_lim;    // its end

public:
  // Scratch areas come from and go back to these; change them only while
  // the buffer is on defbuf (freshly built or cleared).
  void *(*allocator) (size_t n);
  void (*deallocator) (void *p, size_t n);

private:
  char defbuf[defbufsize];

  bool isdefbuf () const { return scratch_buf == defbuf; }
  void retire ();
  void morescratch (size_t n);
  template <class F>
  void slowput (size_t len, F out);
  void slowcopy (const void *p, size_t len);
  void slowfill (char c, size_t len);
  void makeuiocbs ();
  bool overlapsdefbuf (const iovec &v) const;
  void takeiov (const iovec &v);
  void copyvx (const iovec *iov, size_t cnt, size_t skip);

public:
  suio ();
  ~suio ();
  suio (const suio &) = delete;
  suio &operator= (const suio &) = delete;

  // Consumes everything (running due callbacks), frees the current heap
  // area and drops callbacks still pending.  byteno and iovno go on.
  void clear ();

  // Queues [base, base + len) by reference; extends the last range when
  // base continues it, and claims the bytes when base is scratch_pos.
  void pushiov (const void *base, size_t len)
  {
    char *b = static_cast<char *> (const_cast<void *> (base));
    if (lastiovend && b == lastiovend)
      iovs.back ().iov_len += len;
    else if (len)
      iovs.push_back (iovec{b, len});
    else
      return;
    lastiovend = b + len;
    uiobytes += len;
    if (b == scratch_pos)
      scratch_pos += len;
  }
  void copy (const void *p, size_t len)
  {
    if (len <= size_t (scratch_lim - scratch_pos)) {
      if (len) // p may be null then
        memcpy (scratch_pos, p, len);
      pushiov (scratch_pos, len);
    } else
      slowcopy (p, len);
  }
  // By reference when longer than 128 bytes (keep p alive and unchanged
  // until consumed) or already at scratch_pos; else copied.
  void print (const void *p, size_t len)
  {
    if (len > defbufsize || p == scratch_pos)
      pushiov (p, len);
    else
      copy (p, len);
  }
  void fill (char c, size_t n)
  {
    if (n <= size_t (scratch_lim - scratch_pos)) {
      memset (scratch_pos, c, n);
      pushiov (scratch_pos, n);
    } else
      slowfill (c, n);
  }
  // Copies the bytes of cnt ranges, less the first skip bytes.
  void copyv (const iovec *iov, size_t cnt, size_t skip = 0);
  // Copies every byte queued in src, which stays as it is.
  void copyu (const suio *src) { copyv (src->iov (), src->iovcnt (), 0); }
  // Moves all of other's bytes and pending callbacks to the end of this
  // buffer and leaves other empty (on its defbuf).  Bytes in other's
  // defbuf are copied, the rest referenced; a heap scratch area of other
  // then belongs to this buffer, which frees it with other's deallocator
  // once those bytes are consumed.
  void take (suio *other);

  // Runs cb once every byte queued so far has been consumed (now if the
  // buffer is empty).
  void iovcb (cbv cb);
  // The next append starts a range of its own.
  void breakiov () { lastiovend = nullptr; }
  // At least n writable bytes in the scratch area, not queued: write them,
  // then pushiov (the pointer, count).
  char *getspace (size_t n)
  {
    if (n <= size_t (scratch_lim - scratch_pos))
      return scratch_pos;
    morescratch (n);
    return scratch_pos;
  }
  // getspace, with the pointer aligned for any type.  Skipped bytes are
  // abandoned and the next append starts a new range.
  char *getspace_aligned (size_t n);
  // Free bytes in the scratch area: what copy takes without allocating.
  size_t fastspace () const { return scratch_lim - scratch_pos; }
  // Bytes up to and including the first "\n" queued; 0 if there is none.
  size_t linelen () const;

  // Removes n bytes from the front and runs the callbacks that fall due.
  void rembytes (size_t n);
  // Writes queued bytes to fd with writev: all of them (cnt < 0) or the
  // first cnt ranges.  Stops at the first result <= 0.  Returns 1 if this
  // call wrote a byte, 0 if not (also on EAGAIN), -1 on another error.
  int output (int fd, int cnt = -1);
  // Reads up to len bytes from fd and queues them; returns what
  // read/readv returned.
  ssize_t input (int fd, size_t len);
  // Copies up to len bytes from the front without consuming them.
  size_t copyout (void *buf, size_t len) const;
  size_t copyout (void *buf) const { return copyout (buf, uiobytes); }

  const iovec *iov () const { return iovs.base (); }
  const iovec *iovlim () const { return iovs.lim (); }
  size_t iovcnt () const { return iovs.size (); }
  size_t resid () const { return uiobytes; }
  uint64_t iovno () const { return nremiov; }
  uint64_t byteno () const { return nrembytes; }

  // Null when the buffer is consistent, else the broken invariant.
  const char *check () const;
};

// All queued bytes in a new xmalloc block; the caller frees it.
char *suio_flatten (const suio *uio);

#endif
