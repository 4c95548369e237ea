// Intrusive red-black trees.
//
// itree_core<V, &V::link, C> keeps elements of type V in order; the link
// (an itree_entry<V>) lives inside each element and C compares two
// elements.  itree orders elements by a key member and finds them by key.
// Elements with equal keys stay in the order they were inserted.  The tree
// allocates nothing and owns no element: an element must stay alive while
// it is linked and be removed before it is destroyed (deleteall is the
// exception).  Removal relinks elements and never copies their contents,
// so a pointer to an element stays valid until that element is removed.
//
// Errors: misuse (removing an element that is not linked, linking one
// twice) is not detected; __itree_check asserts the red-black rules with
// the standard assertion.  Single-threaded.
#ifndef OMBRIX_ASYNC_ITREE_H
#define OMBRIX_ASYNC_ITREE_H

#include <cstddef>
#include <ctime>
#include <type_traits>

enum itree_color { INVALID = 0, BLACK = 1, RED = 2 };

// The link embedded in each element.  All three pointers are to elements;
// an absent child counts as black (there is no sentinel).
struct __itree_entry_private {
  void *rbe_up = nullptr;
  void *rbe_left = nullptr;
  void *rbe_right = nullptr;
  itree_color rbe_color = INVALID; // INVALID until first linked
};

template <class V>
struct itree_entry : __itree_entry_private {
  V *up () const { return static_cast<V *> (rbe_up); }
  V *left () const { return static_cast<V *> (rbe_left); }
  V *right () const { return static_cast<V *> (rbe_right); }
};

// Compares two elements: negative, zero or positive.
typedef int (*itree_cmpfn) (void *cmparg, void *a, void *b);

// The untyped core: root points at the tree's root element, os is the
// link's offset inside an element.
void itree_insert (void **root, void *z, size_t os, itree_cmpfn cmpfn,
                   void *cmparg);
// The second half of itree_insert: hangs z below p (the root when p is
// null) on the side c < 0 (left) or c >= 0 (right), then rebalances.
void itree_attach (void **root, void *z, void *p, int c, size_t os);
void itree_delete (void **root, void *z, size_t os);
void *itree_successor (void *x, size_t os);
void *itree_predecessor (void *x, size_t os);
void itree_left_rotate (void **root, void *x, size_t os);
void itree_right_rotate (void **root, void *x, size_t os);
void itree_insert_fix (void **root, void *z, size_t os);
void itree_delete_fixup (void **root, void *x, void *p, size_t os);

// The first half of itree_insert: descends from root to the element below
// which a new element belongs and returns it (null for an empty tree), with
// the last comparison in *c.  cmp (x) compares the new element with x.
// Equal elements go right, so a new one lands after all its equals.  Kept
// inline so a typed tree's comparison is not an indirect call.
template <class F>
inline void *
itree_descend (void *root, size_t os, int *c, F cmp)
{
  void *p = nullptr;
  *c = 0;
  for (void *x = root; x;) {
    p = x;
    *c = cmp (x);
    auto *l = reinterpret_cast<__itree_entry_private *> (
        static_cast<char *> (x) + os);
    x = *c < 0 ? l->rbe_left : l->rbe_right;
  }
  return p;
}

// Debug checker.  itree_check_node checks the subtree under x, whose
// elements must lie between lo and hi (null: unbounded), and whose null
// children must have blacks black elements above them (counting x's
// ancestors in `above`).
void __itree_check (void **root, size_t os, itree_cmpfn cmpfn, void *cmparg);
void itree_check_node (void *x, size_t os, itree_cmpfn cmpfn, void *cmparg,
                       void *lo, void *hi, int above, int blacks);

// Three-way comparison of keys.
template <class K>
struct compare {
  int operator() (const K &a, const K &b) const
  {
    return a < b ? -1 : b < a ? 1 : 0;
  }
};

inline int
tscmp (const timespec &a, const timespec &b)
{
  if (a.tv_sec != b.tv_sec)
    return a.tv_sec < b.tv_sec ? -1 : 1;
  if (a.tv_nsec != b.tv_nsec)
    return a.tv_nsec < b.tv_nsec ? -1 : 1;
  return 0;
}

template <>
struct compare<timespec> {
  int operator() (const timespec &a, const timespec &b) const
  {
    return tscmp (a, b);
  }
};

template <class V, itree_entry<V> V::*field, class C>
class itree_core {
protected:
  void *rb_root; // root element, null when empty
  C cmp;         // orders two elements

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
  static int scmp (void *arg, void *a, void *b)
  {
    return (*static_cast<C *> (arg)) (static_cast<const V *> (a),
                                      static_cast<const V *> (b));
  }

public:
  itree_core () : rb_root (nullptr), cmp () {}
  explicit itree_core (const C &c) : rb_root (nullptr), cmp (c) {}
  itree_core (const itree_core &) = delete;
  itree_core &operator= (const itree_core &) = delete;

  void insert (V *elm)
  {
    int c;
    void *p = itree_descend (rb_root, os (), &c, [&] (void *x) {
      return cmp (elm, static_cast<const V *> (x));
    });
    itree_attach (&rb_root, elm, p, c, os ());
  }
  void remove (V *elm) { itree_delete (&rb_root, elm, os ()); }

  V *root () const { return static_cast<V *> (rb_root); }
  static V *up (const V *elm) { return (elm->*field).up (); }
  static V *left (const V *elm) { return (elm->*field).left (); }
  static V *right (const V *elm) { return (elm->*field).right (); }

  // In-order walk.
  V *first () const
  {
    V *x = root ();
    if (x)
      while (V *l = left (x))
        x = l;
    return x;
  }
  static V *next (const V *elm)
  {
    return static_cast<V *> (itree_successor (const_cast<V *> (elm), os ()));
  }
  static V *prev (const V *elm)
  {
    return static_cast<V *> (itree_predecessor (const_cast<V *> (elm), os ()));
  }

  // The leftmost element for which f (elm) is zero, or null.  f tells
  // where the sought element lies relative to elm: negative before it,
  // positive after it.
  template <class F>
  V *search (F f) const
  {
    V *found = nullptr;
    for (V *x = root (); x;) {
      int r = f (x);
      if (r > 0)
        x = right (x);
      else {
        if (!r)
          found = x;
        x = left (x);
      }
    }
    return found;
  }

  // Calls f (elm) for every element in order; f may remove or delete elm.
  template <class F>
  void traverse (F f)
  {
    for (V *x = first (), *n; x; x = n) {
      n = next (x);
      f (x);
    }
  }

  // Forgets every element (their links are left as they are).
  void clear () { rb_root = nullptr; }
  // Deletes every element, children before parents.
  void deleteall ();

  void check () { __itree_check (&rb_root, os (), scmp, &cmp); }
};

template <class V, itree_entry<V> V::*field, class C>
void
itree_core<V, field, C>::deleteall ()
{
  V *x = root ();
  while (x) {
    if (V *l = left (x))
      x = l;
    else if (V *r = right (x))
      x = r;
    else {
      V *p = up (x);
      if (p) {
        itree_entry<V> &pl = p->*field;
        if (pl.rbe_left == x)
          pl.rbe_left = nullptr;
        else
          pl.rbe_right = nullptr;
      }
      delete x;
      x = p;
    }
  }
  rb_root = nullptr;
}

// Orders elements by applying the key comparison to their key members.
template <class K, class V, const K V::*kfield, class C>
struct keyfunc_2 {
  C kcmp;
  keyfunc_2 () : kcmp () {}
  explicit keyfunc_2 (const C &c) : kcmp (c) {}
  int operator() (const V *a, const V *b) const
  {
    return kcmp (a->*kfield, b->*kfield);
  }
};

template <class K, class V, const K V::*kfield, itree_entry<V> V::*field,
          class C = compare<K>>
class itree : public itree_core<V, field, keyfunc_2<K, V, kfield, C>> {
  using core = itree_core<V, field, keyfunc_2<K, V, kfield, C>>;

  C kcmp; // for searches by key

public:
  itree () : kcmp () {}
  explicit itree (const C &c) : core (keyfunc_2<K, V, kfield, C> (c)), kcmp (c)
  {
  }

  // The first element in order whose key equals k, or null.
  V *operator[] (const K &k) const
  {
    return core::search ([&] (const V *x) { return kcmp (k, x->*kfield); });
  }
};

static_assert (sizeof (itree_entry<int>) == sizeof (__itree_entry_private),
               "the typed link is the untyped link");
static_assert (std::is_standard_layout<__itree_entry_private>::value,
               "links are found by offset");

#endif
