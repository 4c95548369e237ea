// Intrusive reference counting: refcount, refcounted<T>, ref<T>, ptr<T>.
//
// A shared heap object is made with `new refcounted<T> (args...)`: one
// allocation holding T and, after T's data, its refcount part (a virtual
// base).  The object owns itself: it starts at count 0, every counted
// pointer that takes it adds one, and it destroys and frees itself the
// moment the count returns to 0.  A T* obtained from a ref or ptr stays
// valid while at least one counted pointer (or an Xleak reference) holds
// the object.  ref<T> is never null; ptr<T> may be.  Both are two words:
// the refcount part (c) and the T (p), which are different addresses.
//
// Counts are plain integers: single-threaded only.  Misuse (a null
// ptr turned into a ref, a bssptr destroyed before global destruction) is
// the system's standard assertion, kept even in NDEBUG builds.
#ifndef OMBRIX_ASYNC_REFCNT_H
#define OMBRIX_ASYNC_REFCNT_H

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <typeinfo>
#include <utility>

// The standard assertion ("prog: file:line: func: Assertion `e' failed."
// and abort) whatever NDEBUG says: the core types promise its message.
[[noreturn]] void stdassert_fail (const char *expr, const char *file,
                                  unsigned line, const char *func);
#define stdassert(e)                                                           \
  (static_cast<bool> (e)                                                       \
       ? void (0)                                                              \
       : stdassert_fail (#e, __FILE__, __LINE__, __PRETTY_FUNCTION__))

// Set once the first unit's static destructors have finished.  Every unit
// that includes this header has its own `globaldestruction`, defined here
// before any static of the unit, so it is the last of the unit's statics
// to go.  A bssptr (or bssstr) must therefore not live in the unit whose
// statics are destroyed first, the last one linked.
struct __globaldestruction_t {
  static bool started;
  operator bool () const { return started; }
  ~__globaldestruction_t () { started = true; }
};
static __globaldestruction_t globaldestruction;

// Tag for constructors that leave zero-filled static storage as it is, so
// that whatever was stored there before the constructor ran survives.
struct __bss_init {};

enum reftype { scalar };

class refcount {
  uint32_t refcount_cnt = 0; // counted pointers plus Xleak references

protected:
  virtual void refcount_call_finalize () = 0;

public:
  constexpr refcount () {}
  virtual ~refcount () {}

  void refcount_inc () { refcount_cnt++; }
  void refcount_dec ()
  {
    if (!--refcount_cnt)
      refcount_call_finalize ();
  }
  uint32_t refcount_getcnt () const { return refcount_cnt; }
  void finalize () { delete this; }
};

template <class T, reftype v = scalar>
class refcounted : public T, public virtual refcount {
  void refcount_call_finalize () override { refcount::finalize (); }

public:
  template <class... A>
  explicit refcounted (A &&...a) : T (std::forward<A> (a)...)
  {
  }
};

// The untyped word of a counted pointer and what needs only it.
class refpriv {
protected:
  refcount *c; // the target's refcount part; null only in a null ptr

  constexpr explicit refpriv (refcount *cc) : c (cc) {}
  explicit refpriv (__bss_init) {}
  static void rinc (refcount *r) { r->refcount_inc (); }
  static void rdec (refcount *r) { r->refcount_dec (); }

public:
  bool operator== (const refpriv &r) const { return c == r.c; }
  bool operator!= (const refpriv &r) const { return c != r.c; }

  // An extra reference no counted pointer owns, as an untyped pointer
  // (null for a null ptr); Xplug drops one such reference (none for null).
  void *Xleak () const
  {
    if (c)
      rinc (c);
    return c;
  }
  static void Xplug (void *r)
  {
    if (r)
      rdec (static_cast<refcount *> (r));
  }
};

// The typed word and access to the target.
template <class T>
class refops {
protected:
  T *p; // the target as a T

  constexpr explicit refops (T *pp) : p (pp) {}
  explicit refops (__bss_init) {}

public:
  T *get () const { return p; }
  operator T * () const { return p; }
  T *operator->() const { return p; }
  T &operator* () const { return *p; }
  template <class... A>
  auto operator() (A &&...a) const
      -> decltype (std::declval<T &> () (std::forward<A> (a)...))
  {
    return (*p) (std::forward<A> (a)...);
  }
};

template <class T>
class ptr;

// An object in static storage that constant initialisation builds before
// any start-up code runs and that is never destroyed, so it is usable from
// every module's start-up and by every exit-time destructor.  Its count
// part must not free it (see cbv_null), and a bssobj<ref<T>> made from a
// refcount* and a T* takes no reference.
template <class T>
union bssobj {
  T v;
  template <class... A>
  constexpr explicit bssobj (A... a) : v (a...)
  {
  }
  ~bssobj () {}
};

template <class From, class To>
using refconv = std::enable_if_t<std::is_convertible<From *, To *>::value>;

template <class T>
class ref : public refpriv, public refops<T> {
  template <class U>
  friend class ref;
  template <class U>
  friend class ::ptr;
  template <class U>
  friend union bssobj;

  // For objects in static storage that are never freed (bssobj).
  constexpr ref (refcount *cc, T *pp) : refpriv (cc), refops<T> (pp) {}

  // Take the new target before dropping the old one, and point at it
  // before the old one's destructor can run: the source may live inside
  // the old target, and that destructor may look at this pointer.
  void set (refcount *nc, T *np)
  {
    rinc (nc);
    refcount *oc = c;
    c = nc;
    this->p = np;
    rdec (oc);
  }

public:
  typedef ::ptr<T> ptr; // the nullable form, e.g. cbv::ptr

  template <class U, reftype v, class = refconv<U, T>>
  ref (refcounted<U, v> *o) : refpriv (o), refops<T> (o)
  {
    rinc (c);
  }
  ref (const ref &r) : refpriv (r.c), refops<T> (r.p) { rinc (c); }
  template <class U, class = refconv<U, T>>
  ref (const ref<U> &r) : refpriv (r.c), refops<T> (r.p)
  {
    rinc (c);
  }
  // A null ptr has no ref form: asserts.
  template <class U, class = refconv<U, T>>
  explicit ref (const ::ptr<U> &r) : refpriv (r.c), refops<T> (r.p)
  {
    stdassert (c);
    rinc (c);
  }
  ~ref () { rdec (c); }

  ref &operator= (const ref &r)
  {
    set (r.c, r.p);
    return *this;
  }
  template <class U, class = refconv<U, T>>
  ref &operator= (const ref<U> &r)
  {
    set (r.c, r.p);
    return *this;
  }
  template <class U, reftype v, class = refconv<U, T>>
  ref &operator= (refcounted<U, v> *o)
  {
    set (o, o);
    return *this;
  }
};

template <class T>
class ptr : public refpriv, public refops<T> {
  template <class U>
  friend class ref;
  template <class U>
  friend class ptr;
  class privtype; // only a null pointer converts to privtype*

  void set (refcount *nc, T *np)
  {
    if (nc)
      rinc (nc);
    refcount *oc = c;
    c = nc;
    this->p = np;
    if (oc)
      rdec (oc);
  }

protected:
  // Leaves both words as the zero-filled static storage holds them.
  explicit ptr (__bss_init b) : refpriv (b), refops<T> (b) {}

public:
  ptr () : refpriv (nullptr), refops<T> (nullptr) {}
  ptr (privtype *) : refpriv (nullptr), refops<T> (nullptr) {}
  template <class U, reftype v, class = refconv<U, T>>
  ptr (refcounted<U, v> *o) : refpriv (o), refops<T> (o)
  {
    if (c)
      rinc (c);
  }
  ptr (const ptr &r) : refpriv (r.c), refops<T> (r.p)
  {
    if (c)
      rinc (c);
  }
  template <class U, class = refconv<U, T>>
  ptr (const ptr<U> &r) : refpriv (r.c), refops<T> (r.p)
  {
    if (c)
      rinc (c);
  }
  template <class U, class = refconv<U, T>>
  ptr (const ref<U> &r) : refpriv (r.c), refops<T> (r.p)
  {
    rinc (c);
  }
  ~ptr ()
  {
    if (c)
      rdec (c);
  }

  ptr &operator= (privtype *)
  {
    set (nullptr, nullptr);
    return *this;
  }
  ptr &operator= (const ptr &r)
  {
    set (r.c, r.p);
    return *this;
  }
  template <class U, class = refconv<U, T>>
  ptr &operator= (const ptr<U> &r)
  {
    set (r.c, r.p);
    return *this;
  }
  template <class U, class = refconv<U, T>>
  ptr &operator= (const ref<U> &r)
  {
    set (r.c, r.p);
    return *this;
  }
  template <class U, reftype v, class = refconv<U, T>>
  ptr &operator= (refcounted<U, v> *o)
  {
    set (o, o);
    return *this;
  }
};

// A ptr for static storage whose target outlives every destructor: at
// exit it keeps one reference it never drops, so destructors that run
// after it can still use the target.  Destroying one before global
// destruction (a stack or heap instance) fails the standard assertion.
template <class T>
class bssptr : public ptr<T> {
public:
  bssptr () : ptr<T> (__bss_init ()) {}
  ~bssptr ()
  {
    if (!__globaldestruction_t::started)
      stdassert_fail ("globaldestruction", __FILE__, __LINE__,
                      __PRETTY_FUNCTION__);
    this->Xleak ();
  }
  using ptr<T>::operator=;
};

static_assert (sizeof (ref<refcount>) == 2 * sizeof (void *),
               "ref is two words");
static_assert (sizeof (ptr<refcount>) == 2 * sizeof (void *),
               "ptr is two words");
static_assert (sizeof (bssptr<refcount>) == 2 * sizeof (void *),
               "bssptr is two words");

// Trace line "[progname: ]op: type (addr) -> cnt" on errfd, one write.
void refcnt_warn (const char *op, const std::type_info &type, void *addr,
                  int cnt);

#endif
