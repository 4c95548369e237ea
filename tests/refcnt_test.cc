// Counted objects and pointers: lifetimes against a model, assignment
// orders, null handling, unowned references, bssptr at exit, trace lines.

#include "async/callback.h"
#include "async/err.h"
#include "async/refcnt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct counted {
  static int live;
  int id;
  explicit counted (int i = 0) : id (i) { live++; }
  counted (const counted &o) : id (o.id) { live++; }
  ~counted () { live--; }
};
int counted::live;

struct other {
  long pad[3] = {1, 2, 3};
};
// Not the first base: a ref<counted> to it points into the middle.
struct derived : other, counted {
  explicit derived (int i) : counted (i) {}
};

struct node : counted {
  ptr<node> next;
  explicit node (int i) : counted (i) {}
};

struct holder : counted {
  ref<counted> inner;
  holder (int i, const ref<counted> &in) : counted (i), inner (in) {}
};

// The target's count, seen through the public interface.
template <class P>
unsigned
cnt (const P &p)
{
  void *c = p.Xleak ();
  unsigned n = static_cast<refcount *> (c)->refcount_getcnt () - 1;
  refpriv::Xplug (c);
  return n;
}

} // namespace

TEST (Refcnt, LastReferenceFreesSelfAssignmentKeeps)
{
  int base = counted::live;
  {
    ref<counted> a = new refcounted<counted> (1);
    EXPECT_EQ (cnt (a), 1u);
    {
      ref<counted> b = a;
      ptr<counted> c = b;
      EXPECT_EQ (cnt (a), 3u);
      EXPECT_TRUE (b == a && c == a);
    }
    EXPECT_EQ (cnt (a), 1u);
    ref<counted> &alias = a;
    a = alias;
    ptr<counted> p = a;
    ptr<counted> &palias = p;
    p = palias;
    EXPECT_EQ (cnt (a), 2u);
    EXPECT_EQ (counted::live, base + 1);
    a = new refcounted<counted> (2);
    EXPECT_EQ (counted::live, base + 2);
    p = a;
    EXPECT_EQ (counted::live, base + 1);
    EXPECT_EQ (a->id, 2);
  }
  EXPECT_EQ (counted::live, base);
}

TEST (Refcnt, DerivedTargetsConvert)
{
  int base = counted::live;
  {
    refcounted<derived> *raw = new refcounted<derived> (7);
    ref<counted> r = raw;
    EXPECT_EQ (r.get (), static_cast<counted *> (raw));
    EXPECT_EQ (r->id, 7);
    ref<derived> d = raw;
    ref<counted> viabase = d;
    ptr<counted> p = d;
    p = ptr<derived> (d);
    EXPECT_TRUE (viabase == r && p == r);
    EXPECT_EQ (cnt (r), 4u);
    EXPECT_EQ ((*p).id, 7);
  }
  EXPECT_EQ (counted::live, base);
}

// The source lives inside the old target, which holds the only reference
// to the new one.
TEST (Refcnt, OwnerChainAssignment)
{
  int base = counted::live;
  {
    ptr<node> p = new refcounted<node> (1);
    p->next = new refcounted<node> (2);
    p->next->next = new refcounted<node> (3);
    p = p->next;
    EXPECT_EQ (counted::live, base + 2);
    ASSERT_TRUE (p);
    EXPECT_EQ (p->id, 2);
    EXPECT_EQ (cnt (p), 1u);
    ref<counted> r = new refcounted<holder> (4, new refcounted<counted> (5));
    r = static_cast<holder *> (r.get ())->inner;
    EXPECT_EQ (r->id, 5);
    EXPECT_EQ (cnt (r), 1u);
    EXPECT_EQ (counted::live, base + 3);
  }
  EXPECT_EQ (counted::live, base);
}

TEST (Refcnt, NullPtr)
{
  int base = counted::live;
  ptr<counted> p;
  EXPECT_FALSE (p);
  EXPECT_TRUE (p == nullptr);
  ptr<counted> q = p;
  ptr<counted> z = NULL;
  q = p;
  q = 0;
  EXPECT_TRUE (!q && !z && q == p);
  EXPECT_EQ (p.Xleak (), nullptr);
  refpriv::Xplug (nullptr);

  p = new refcounted<counted> (5);
  q = p;
  EXPECT_TRUE (p && p != nullptr);
  p = nullptr;
  EXPECT_FALSE (p);
  EXPECT_EQ (counted::live, base + 1);
  q = NULL;
  EXPECT_TRUE (!q);
  EXPECT_EQ (counted::live, base);
  p = static_cast<refcounted<counted> *> (nullptr);
  EXPECT_FALSE (p);
}

TEST (Refcnt, LeakAndPlug)
{
  int base = counted::live;
  void *x;
  {
    ref<counted> r = new refcounted<counted> (6);
    x = r.Xleak ();
    EXPECT_EQ (cnt (r), 2u);
  }
  EXPECT_EQ (counted::live, base + 1);
  // The way a buffer drops a leaked reference later: a callback.
  cbv plug = wrap (refpriv::Xplug, x);
  EXPECT_EQ (counted::live, base + 1);
  plug ();
  EXPECT_EQ (counted::live, base);
}

TEST (RefcntDeath, NullPtrHasNoRefForm)
{
  ptr<counted> p;
  EXPECT_DEATH ({ ref<counted> r (p); },
                "refcnt\\.h:[0-9]+: .*[^[:alnum:]_]c[^[:alnum:]_]");
}

// Random operations on a few slots against a model of ids and next links;
// the checker compares every reachable object and its count.
namespace {

struct model {
  std::vector<int> slot;  // id per slot, -1 for null
  std::map<int, int> nxt; // id -> id of next, -1 for none; live objects
  std::multiset<int> leaked;

  int refs (int id) const
  {
    int n = (int) std::count (slot.begin (), slot.end (), id) +
            (int) leaked.count (id);
    for (auto &e : nxt)
      n += e.second == id;
    return n;
  }
  // Drops what nothing reaches any more.
  void collect ()
  {
    std::set<int> seen;
    std::vector<int> todo (slot.begin (), slot.end ());
    todo.insert (todo.end (), leaked.begin (), leaked.end ());
    while (!todo.empty ()) {
      int id = todo.back ();
      todo.pop_back ();
      if (id >= 0 && seen.insert (id).second)
        todo.push_back (nxt.at (id));
    }
    for (auto it = nxt.begin (); it != nxt.end ();)
      it = seen.count (it->first) ? std::next (it) : nxt.erase (it);
  }
};

void
check (const std::vector<ptr<node>> &s, const model &m, int base)
{
  ASSERT_EQ (counted::live, base + (int) m.nxt.size ());
  for (size_t i = 0; i < s.size (); i++) {
    ptr<node> p = s[i];
    for (int id = m.slot[i]; id >= 0; id = m.nxt.at (id), p = p->next) {
      ASSERT_TRUE (p);
      ASSERT_EQ (p->id, id);
      ASSERT_EQ (cnt (p) - 1, (unsigned) m.refs (id));
    }
    ASSERT_FALSE (p);
  }
}

} // namespace

TEST (Refcnt, RandomOperationsMatchModel)
{
  int base = counted::live;
  const size_t nslots = 5;
  std::mt19937 rng (12345);
  {
    std::vector<ptr<node>> s (nslots);
    std::vector<void *> leaks;
    std::vector<int> leakids;
    model m;
    m.slot.assign (nslots, -1);
    int fresh = 0;
    for (int step = 0; step < 4000; step++) {
      size_t i = rng () % nslots, j = rng () % nslots;
      switch (rng () % 8) {
      case 0:
        s[i] = new refcounted<node> (fresh);
        m.slot[i] = fresh;
        m.nxt[fresh++] = -1;
        break;
      case 1:
        s[i] = s[j];
        m.slot[i] = m.slot[j];
        break;
      case 2:
        s[i] = nullptr;
        m.slot[i] = -1;
        break;
      case 3:
        if (s[i] && !s[i]->next) {
          s[i]->next = new refcounted<node> (fresh);
          m.nxt[m.slot[i]] = fresh;
          m.nxt[fresh++] = -1;
        }
        break;
      case 4:
        if (s[i]) {
          s[i] = s[i]->next;
          m.slot[i] = m.nxt.at (m.slot[i]);
        }
        break;
      case 5:
        s[i] = s[i];
        break;
      case 6:
        if (s[i]) {
          leaks.push_back (s[i].Xleak ());
          leakids.push_back (m.slot[i]);
          m.leaked.insert (m.slot[i]);
        }
        break;
      case 7:
        if (!leaks.empty ()) {
          size_t k = rng () % leaks.size ();
          refpriv::Xplug (leaks[k]);
          m.leaked.erase (m.leaked.find (leakids[k]));
          leaks.erase (leaks.begin () + k);
          leakids.erase (leakids.begin () + k);
        }
        break;
      }
      m.collect ();
      check (s, m, base);
      if (HasFatalFailure ())
        return;
    }
    for (void *x : leaks)
      refpriv::Xplug (x);
  }
  EXPECT_EQ (counted::live, base);
}

// bssptr: statics of this unit are destroyed after every library unit's,
// so global destruction has begun when these go.
namespace {

// Calls `target` from its destructor, which runs after those of the
// statics defined below it.
struct latecall {
  callback<void> *target = nullptr;
  ~latecall ()
  {
    if (target)
      (*target) ();
  }
} late;
bssptr<callback<void>> bsscb;
ptr<callback<void>> plaincb;

struct noisy {
  const char *name;
  ~noisy ()
  {
    std::string s = std::string ("freed ") + name + "\n";
    ssize_t w = write (2, s.data (), s.size ());
    (void) w;
  }
};

void
say (const noisy &n)
{
  std::string s = std::string ("called ") + n.name + "\n";
  ssize_t w = write (2, s.data (), s.size ());
  (void) w;
}

} // namespace

TEST (BssptrDeath, DestroyedOutsideGlobalDestruction)
{
  const char *text = "refcnt\\.h:[0-9]+: .*globaldestruction";
  // An explicit destructor call on a static one.
  EXPECT_DEATH (
      {
        static bssptr<counted> b;
        b = new refcounted<counted> (1);
        b.~bssptr ();
      },
      text);
  EXPECT_DEATH (
      {
        bssptr<counted> *b = new bssptr<counted>;
        delete b;
      },
      text);
}

TEST (BssptrDeath, TargetOutlivesExit)
{
  EXPECT_EXIT (
      {
        // Never destroyed: exit does not unwind this frame.
        noisy bssarg{"bss"};
        noisy plainarg{"plain"};
        bsscb = wrap (say, bssarg);
        plaincb = wrap (say, plainarg);
        late.target = bsscb.get ();
        exit (0);
      },
      testing::ExitedWithCode (0), "^freed plain\ncalled bss\n$");
}

TEST (Refcnt, WarnLine)
{
  int fds[2];
  ASSERT_EQ (pipe (fds), 0);
  int saved = errfd;
  errfd = fds[1];
  int x;
  std::string longop (100, 'o');
  refcnt_warn ("inc", typeid (counted), &x, 3);
  refcnt_warn (longop.c_str (), typeid (node), nullptr, -1);
  errfd = saved;
  close (fds[1]);
  char got[4096];
  ssize_t n = read (fds[0], got, sizeof (got));
  close (fds[0]);

  char want[4096];
  int w = snprintf (want, sizeof (want), "inc: %s (%p) -> 3\n",
                    typeid (counted).name (), (void *) &x);
  w += snprintf (want + w, sizeof (want) - w, "%s: %s (%p) -> -1\n",
                 longop.substr (0, 64).c_str (), typeid (node).name (),
                 (void *) nullptr);
  EXPECT_EQ (std::string (got, n > 0 ? n : 0), std::string (want, w));
}
