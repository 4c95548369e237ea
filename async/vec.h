// vec<T, N>: a growable array that keeps up to N elements inside the
// object itself and grows into heap buffers whose sizes are powers of two.
//
// The vector owns its elements and its buffer: elements are built in place
// and destroyed when removed, a heap buffer comes from xmalloc and goes back
// with free.  Removing from the front only moves the first-element pointer
// forward; that space is reclaimed by sliding the contents down when a
// later push needs room and the contents fit in half the buffer.
//
// A pointer or reference to an element stays valid until the next push,
// reserve, setsize, clear or assignment (any of which may move the
// elements) or until that element is removed.  Misuse (a move into the
// live range) fails the standard assertion; indexing, front, back and the
// pops are not bounds-checked.  Out of memory aborts through xmalloc.
#ifndef OMBRIX_ASYNC_VEC_H
#define OMBRIX_ASYNC_VEC_H

#include "async/malloc.h"
#include "async/msb.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

// The storage part: the four pointers, then the inline buffer.
// Invariant: basep <= firstp <= lastp <= limp; [firstp, lastp) are the
// live elements and no other slot holds a constructed object.
template <class T, size_t N>
class vec_base {
protected:
  T *basep;  // start of the current buffer (inline or heap)
  T *firstp; // first live element
  T *lastp;  // one past the last live element
  T *limp;   // end of the current buffer
  // Raw inline storage, aligned for T and at least for a double.
  alignas (T) alignas (double) unsigned char defbuf_space[N * sizeof (T)];

  T *def_basep () const
  {
    return reinterpret_cast<T *> (const_cast<unsigned char *> (defbuf_space));
  }
  T *def_limp () const { return def_basep () + N; }
  void bfree (T *p)
  {
    if (p != def_basep ())
      free (p);
  }
};

// N = 0: no inline buffer; an empty, never-grown vector is four nulls.
template <class T>
class vec_base<T, 0> {
protected:
  T *basep;  // start of the heap buffer, null before the first growth
  T *firstp; // first live element
  T *lastp;  // one past the last live element
  T *limp;   // end of the heap buffer
  T *def_basep () const { return nullptr; }
  T *def_limp () const { return nullptr; }
  void bfree (T *p) { free (p); }
};

static_assert (sizeof (vec_base<char, 0>) == 4 * sizeof (char *),
               "a vec without inline elements is four pointers");

template <class T, size_t N = 0>
class vec : public vec_base<T, N> {
  using B = vec_base<T, N>;
  using B::basep;
  using B::firstp;
  using B::lastp;
  using B::limp;
  static_assert (alignof (B) >= alignof (T), "inline buffer misaligned");

  static void construct (T &t) { new (&t) T (); }
  static void cconstruct (T &t, const T &s) { new (&t) T (s); }
  static void destroy (T &t) { t.~T (); }

  void append (const vec &v)
  {
    reserve (v.size ());
    for (const T *p = v.firstp; p < v.lastp; p++)
      cconstruct (*lastp++, *p);
  }
  void grow (size_t n);

protected:
  void init ()
  {
    basep = firstp = lastp = this->def_basep ();
    limp = this->def_limp ();
  }
  void del ()
  {
    for (T *p = firstp; p < lastp; p++)
      destroy (*p);
    this->bfree (basep);
  }

public:
  vec () { init (); }
  vec (const vec &v)
  {
    init ();
    append (v);
  }
  ~vec () { del (); }
  vec &operator= (const vec &v)
  {
    if (this != &v) {
      popn_back (size ());
      firstp = lastp = basep;
      append (v);
    }
    return *this;
  }

  // Destroys the elements, frees a heap buffer, back to the inline one.
  void clear ()
  {
    del ();
    init ();
  }
  // Room for at least n more elements after the last one.
  void reserve (size_t n)
  {
    if (n > static_cast<size_t> (limp - lastp))
      grow (n);
  }
  // Relocates the elements to start at dst, outside the live range.  Sets
  // basep, firstp and lastp; limp is the caller's business.
  void move (T *dst);
  // Grows with default-constructed elements or shrinks from the back.
  void setsize (size_t n);
  void swap (vec &v)
  {
    static_assert (N == 0, "only a vector without inline buffer can swap");
    std::swap (basep, v.basep);
    std::swap (firstp, v.firstp);
    std::swap (lastp, v.lastp);
    std::swap (limp, v.limp);
  }

  T *base () { return firstp; }
  const T *base () const { return firstp; }
  T *lim () { return lastp; }
  const T *lim () const { return lastp; }
  size_t size () const { return lastp - firstp; }
  bool empty () const { return lastp == firstp; }
  // Elements the current buffer holds, counting the slots freed at the
  // front.
  size_t capacity () const { return limp - basep; }
  T &front () { return *firstp; }
  const T &front () const { return *firstp; }
  T &back () { return lastp[-1]; }
  const T &back () const { return lastp[-1]; }
  T &operator[] (ptrdiff_t i) { return firstp[i]; }
  const T &operator[] (ptrdiff_t i) const { return firstp[i]; }

  T &push_back ()
  {
    reserve (1);
    construct (*lastp);
    return *lastp++;
  }
  T &push_back (const T &t)
  {
    if (lastp == limp) {
      // t may be one of our own elements, which growing would move away.
      T copy (t);
      reserve (1);
      new (lastp) T (std::move (copy));
    } else
      cconstruct (*lastp, t);
    return *lastp++;
  }
  T pop_back ()
  {
    T r (std::move (*--lastp));
    destroy (*lastp);
    return r;
  }
  T pop_front ()
  {
    T r (std::move (*firstp));
    destroy (*firstp++);
    return r;
  }
  void popn_back (size_t n)
  {
    while (n--)
      destroy (*--lastp);
  }
  void popn_front (size_t n)
  {
    while (n--)
      destroy (*firstp++);
  }

  // True when the pointers keep the invariant and a heap buffer has a
  // power-of-two size above N.
  bool check () const
  {
    if (!(basep <= firstp && firstp <= lastp && lastp <= limp))
      return false;
    if (basep == this->def_basep ())
      return limp == this->def_limp ();
    size_t cap = capacity ();
    return cap > N && !(cap & (cap - 1));
  }
};

template <class T, size_t N>
void
vec<T, N>::grow (size_t n)
{
  size_t nalloc = limp - basep;
  size_t size = lastp - firstp;
  if (n > SIZE_MAX / sizeof (T) - size)
    xmalloc_failed (SIZE_MAX);
  size_t nwanted = size + n;
  if (nwanted <= nalloc / 2) {
    move (basep);
    return;
  }
  // The smallest power of two above both the capacity and the request.
  size_t m = nalloc > nwanted ? nalloc : nwanted;
  int bit = sizeof (size_t) > 4 ? fls64 (m) : fls32 (static_cast<uint32_t> (m));
  if (bit >= static_cast<int> (8 * sizeof (size_t)))
    xmalloc_failed (SIZE_MAX);
  nalloc = static_cast<size_t> (1) << bit;
  T *obasep = basep;
  move (static_cast<T *> (xmallocarray (nalloc, sizeof (T))));
  limp = basep + nalloc;
  this->bfree (obasep);
}

template <class T, size_t N>
void
vec<T, N>::move (T *dst)
{
  if (dst == firstp)
    return;
  assert (dst < firstp || dst >= lastp);
  // Front to back: in a downward slide every destination slot lies below
  // its source, so nothing is overwritten before it has been moved.
  T *src = firstp, *end = lastp;
  size_t n = end - src;
  basep = dst;
  if constexpr (std::is_trivially_copyable<T>::value) {
    if (n)
      memmove (static_cast<void *> (dst), src, n * sizeof (T));
  } else
    for (; src < end; src++, dst++) {
      new (dst) T (std::move (*src));
      destroy (*src);
    }
  firstp = basep;
  lastp = basep + n;
}

template <class T, size_t N>
void
vec<T, N>::setsize (size_t n)
{
  size_t s = size ();
  if (n < s)
    popn_back (s - n);
  else if (n > s) {
    reserve (n - s);
    for (; s < n; s++)
      construct (*lastp++);
  }
}

#endif
