#include "itree.h"

#include <cassert>

// The link of element x.
static inline __itree_entry_private *
lnk (void *x, size_t os)
{
  return reinterpret_cast<__itree_entry_private *> (static_cast<char *> (x) +
                                                    os);
}

static inline void *&
up (void *x, size_t os)
{
  return lnk (x, os)->rbe_up;
}

static inline void *&
left (void *x, size_t os)
{
  return lnk (x, os)->rbe_left;
}

static inline void *&
right (void *x, size_t os)
{
  return lnk (x, os)->rbe_right;
}

// Absent children are black.
static inline itree_color
color (void *x, size_t os)
{
  return x ? lnk (x, os)->rbe_color : BLACK;
}

static inline void
setcolor (void *x, itree_color c, size_t os)
{
  lnk (x, os)->rbe_color = c;
}

// Hangs nw where old hung below parent (or at the root).
static inline void
relink (void **root, void *parent, void *old, void *nw, size_t os)
{
  if (!parent)
    *root = nw;
  else if (left (parent, os) == old)
    left (parent, os) = nw;
  else
    right (parent, os) = nw;
}

void
itree_left_rotate (void **root, void *x, size_t os)
{
  void *y = right (x, os);
  right (x, os) = left (y, os);
  if (left (y, os))
    up (left (y, os), os) = x;
  up (y, os) = up (x, os);
  relink (root, up (x, os), x, y, os);
  left (y, os) = x;
  up (x, os) = y;
}

void
itree_right_rotate (void **root, void *x, size_t os)
{
  void *y = left (x, os);
  left (x, os) = right (y, os);
  if (right (y, os))
    up (right (y, os), os) = x;
  up (y, os) = up (x, os);
  relink (root, up (x, os), x, y, os);
  right (y, os) = x;
  up (x, os) = y;
}

void
itree_insert (void **root, void *z, size_t os, itree_cmpfn cmpfn, void *cmparg)
{
  int c;
  void *p = itree_descend (*root, os, &c,
                           [=] (void *x) { return cmpfn (cmparg, z, x); });
  itree_attach (root, z, p, c, os);
}

void
itree_attach (void **root, void *z, void *p, int c, size_t os)
{
  left (z, os) = right (z, os) = nullptr;
  up (z, os) = p;
  if (!p)
    *root = z;
  else if (c < 0)
    left (p, os) = z;
  else
    right (p, os) = z;
  itree_insert_fix (root, z, os);
}

void
itree_insert_fix (void **root, void *z, size_t os)
{
  setcolor (z, RED, os);
  void *p;
  while ((p = up (z, os)) && color (p, os) == RED) {
    void *g = up (p, os); // a red element is never the root
    if (p == left (g, os)) {
      void *u = right (g, os);
      if (color (u, os) == RED) {
        setcolor (p, BLACK, os);
        setcolor (u, BLACK, os);
        setcolor (g, RED, os);
        z = g;
        continue;
      }
      if (z == right (p, os)) {
        itree_left_rotate (root, p, os);
        z = p;
        p = up (z, os);
      }
      setcolor (p, BLACK, os);
      setcolor (g, RED, os);
      itree_right_rotate (root, g, os);
    } else {
      void *u = left (g, os);
      if (color (u, os) == RED) {
        setcolor (p, BLACK, os);
        setcolor (u, BLACK, os);
        setcolor (g, RED, os);
        z = g;
        continue;
      }
      if (z == left (p, os)) {
        itree_right_rotate (root, p, os);
        z = p;
        p = up (z, os);
      }
      setcolor (p, BLACK, os);
      setcolor (g, RED, os);
      itree_left_rotate (root, g, os);
    }
  }
  setcolor (*root, BLACK, os);
}

void
itree_delete (void **root, void *z, size_t os)
{
  void *y = left (z, os) && right (z, os) ? itree_successor (z, os) : z;
  void *x = left (y, os) ? left (y, os) : right (y, os);
  void *p = up (y, os);
  if (x)
    up (x, os) = p;
  relink (root, p, y, x, os);

  itree_color yc = color (y, os);
  if (y != z) {
    // y takes z's place and whole link; neither element's data moves.
    __itree_entry_private *zl = lnk (z, os);
    relink (root, zl->rbe_up, z, y, os);
    if (zl->rbe_left)
      up (zl->rbe_left, os) = y;
    if (zl->rbe_right)
      up (zl->rbe_right, os) = y;
    *lnk (y, os) = *zl;
    if (p == z)
      p = y;
  }
  if (yc == BLACK)
    itree_delete_fixup (root, x, p, os);
}

// x carries an extra black; p is its parent (x may be null).
void
itree_delete_fixup (void **root, void *x, void *p, size_t os)
{
  assert (!x || up (x, os) == p);
  while (x != *root && color (x, os) == BLACK) {
    if (x == left (p, os)) {
      void *w = right (p, os);
      if (color (w, os) == RED) {
        setcolor (w, BLACK, os);
        setcolor (p, RED, os);
        itree_left_rotate (root, p, os);
        w = right (p, os);
      }
      if (color (left (w, os), os) == BLACK &&
          color (right (w, os), os) == BLACK) {
        setcolor (w, RED, os);
        x = p;
        p = up (x, os);
        continue;
      }
      if (color (right (w, os), os) == BLACK) {
        setcolor (left (w, os), BLACK, os);
        setcolor (w, RED, os);
        itree_right_rotate (root, w, os);
        w = right (p, os);
      }
      setcolor (w, color (p, os), os);
      setcolor (p, BLACK, os);
      setcolor (right (w, os), BLACK, os);
      itree_left_rotate (root, p, os);
    } else {
      void *w = left (p, os);
      if (color (w, os) == RED) {
        setcolor (w, BLACK, os);
        setcolor (p, RED, os);
        itree_right_rotate (root, p, os);
        w = left (p, os);
      }
      if (color (left (w, os), os) == BLACK &&
          color (right (w, os), os) == BLACK) {
        setcolor (w, RED, os);
        x = p;
        p = up (x, os);
        continue;
      }
      if (color (left (w, os), os) == BLACK) {
        setcolor (right (w, os), BLACK, os);
        setcolor (w, RED, os);
        itree_left_rotate (root, w, os);
        w = left (p, os);
      }
      setcolor (w, color (p, os), os);
      setcolor (p, BLACK, os);
      setcolor (left (w, os), BLACK, os);
      itree_right_rotate (root, p, os);
    }
    x = *root;
  }
  if (x)
    setcolor (x, BLACK, os);
}

void *
itree_successor (void *x, size_t os)
{
  if (void *r = right (x, os)) {
    while (left (r, os))
      r = left (r, os);
    return r;
  }
  void *p = up (x, os);
  while (p && x == right (p, os)) {
    x = p;
    p = up (p, os);
  }
  return p;
}

void *
itree_predecessor (void *x, size_t os)
{
  if (void *l = left (x, os)) {
    while (right (l, os))
      l = right (l, os);
    return l;
  }
  void *p = up (x, os);
  while (p && x == left (p, os)) {
    x = p;
    p = up (p, os);
  }
  return p;
}

// Recursion depth is the tree's height: logarithmic in a sound tree, and
// the back-pointer test stops a malformed one before it loops.
void
itree_check_node (void *x, size_t os, itree_cmpfn cmpfn, void *cmparg, void *lo,
                  void *hi, int above, int blacks)
{
  const __itree_entry_private *n = lnk (x, os);
  assert (n->rbe_color == BLACK || n->rbe_color == RED);
  assert (!n->rbe_left || up (n->rbe_left, os) == x);
  assert (!n->rbe_right || up (n->rbe_right, os) == x);
  assert (n->rbe_color == BLACK || color (n->rbe_left, os) == BLACK);
  assert (n->rbe_color == BLACK || color (n->rbe_right, os) == BLACK);
  assert (!lo || cmpfn (cmparg, lo, x) <= 0);
  assert (!hi || cmpfn (cmparg, x, hi) <= 0);

  int depth = above + (n->rbe_color == BLACK);
  if (n->rbe_left)
    itree_check_node (n->rbe_left, os, cmpfn, cmparg, lo, x, depth, blacks);
  else
    assert (depth == blacks);
  if (n->rbe_right)
    itree_check_node (n->rbe_right, os, cmpfn, cmparg, x, hi, depth, blacks);
  else
    assert (depth == blacks);
}

void
__itree_check (void **root, size_t os, itree_cmpfn cmpfn, void *cmparg)
{
  if (!*root)
    return;
  const __itree_entry_private *top = lnk (*root, os);
  assert (top->rbe_color == BLACK);
  assert (top->rbe_up == nullptr);
  int blacks = 0;
  for (void *x = *root; x; x = left (x, os))
    blacks += color (x, os) == BLACK;
  itree_check_node (*root, os, cmpfn, cmparg, nullptr, nullptr, 0, blacks);
}
