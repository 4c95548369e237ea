// The memory store against a model: random creates, appends, finishes,
// aborts, updates, lookups, invalidations and readers coming and going,
// with the store's invariant checker and a comparison of index, LRU order,
// byte count and every reader's bytes, state and wake-ups after each step.
// Then what the model does not reach: callbacks that destroy readers, and
// an object outgrowing the limit while streaming in bounded memory.
#include "proxy/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string
s2 (const str &s)
{
  return std::string (s.cstr (), s.len ());
}

struct mobj {
  std::string url, sec, head, body;
  size_t pieces = 0;
  bool complete = false, aborted = false, indexed = true;
  bool hashead = true;
  ptr<cobj> o;        // the object itself
  bool writer = true; // still being filled

  size_t size () const
  {
    return cobj_overhead + url.size () + sec.size () + head.size () +
           pieces * piece_overhead + body.size ();
  }
};

struct mreader {
  std::unique_ptr<creader> r;
  std::shared_ptr<mobj> m;
  uint64_t off = 0;
  int wakes = 0, wantwakes = 0;
};

void
bump (int *n)
{
  ++*n;
}

class model {
public:
  cstore st;
  std::list<std::shared_ptr<mobj>> lru; // indexed, most recent first
  std::vector<std::shared_ptr<mobj>> writers;
  std::vector<std::unique_ptr<mreader>> readers;
  size_t bytes = 0;
  std::mt19937 rng;

  model (size_t maxbytes, size_t maxobj, unsigned seed)
      : st (maxbytes, maxobj), rng (seed)
  {
  }

  size_t pick (size_t n)
  {
    return std::uniform_int_distribution<size_t> (0, n - 1) (rng);
  }

  void unindex (const std::shared_ptr<mobj> &m)
  {
    m->indexed = false;
    bytes -= m->size ();
    lru.remove (m);
  }
  // Room for keep: least recently used first.
  void evict (const std::shared_ptr<mobj> &keep)
  {
    for (auto it = lru.end (); bytes > st.maxbytes && it != lru.begin ();) {
      --it;
      if (*it == keep)
        continue;
      auto m = *it;
      it = lru.erase (it);
      m->indexed = false;
      bytes -= m->size ();
    }
  }
  void resized (const std::shared_ptr<mobj> &m, size_t before)
  {
    if (!m->indexed)
      return;
    bytes = bytes - before + m->size ();
    if (m->size () > st.maxobject)
      unindex (m);
    else
      evict (m);
  }
  void wakeall (const std::shared_ptr<mobj> &m)
  {
    for (auto &r : readers)
      if (r->m == m)
        r->wantwakes++;
  }

  std::string key (int i) { return "http://h/" + std::to_string (i % 13); }

  void create ()
  {
    auto m = std::make_shared<mobj> ();
    int k = int (pick (40));
    m->url = key (k);
    m->sec = k % 3 ? "" : "v" + std::to_string (k % 2);
    m->head = std::string (pick (300), 'h');
    if (pick (2)) { // pending: the head comes with sethead
      m->head.clear ();
      m->hashead = false;
      m->o = st.pending (str (m->url.c_str ()), str (m->sec.c_str ()));
    } else
      m->o = st.create (str (m->url.c_str ()), str (m->sec.c_str ()),
                        str (m->head.c_str ()), cachemeta (), vec<str> ());
    if (m->size () > st.maxobject) {
      ASSERT_FALSE (m->o);
      return;
    }
    ASSERT_TRUE (m->o);
    for (auto &x : lru)
      if (x->url == m->url && x->sec == m->sec) {
        unindex (x);
        break;
      }
    lru.push_front (m);
    bytes += m->size ();
    evict (m);
    writers.push_back (m);
  }

  // The head of a pending object, under a key that may differ.
  void sethead (const std::shared_ptr<mobj> &m)
  {
    size_t before = m->size ();
    std::string sec = pick (3) ? m->sec : pick (2) ? "" : "v1";
    if (m->indexed) {
      for (auto &x : lru)
        if (x != m && x->url == m->url && x->sec == sec) {
          unindex (x);
          break;
        }
      lru.remove (m);
      lru.push_front (m);
    }
    m->sec = sec;
    m->head = std::string (pick (300), 's');
    m->hashead = true;
    resized (m, before);
    wakeall (m);
    EXPECT_EQ (st.sethead (m->o, str (m->head.c_str ()), cachemeta (),
                           vec<str> (), str (sec.c_str ())),
               m->indexed ? 1 : 0);
  }

  void append ()
  {
    auto m = writers[pick (writers.size ())];
    if (!m->hashead)
      return sethead (m);
    std::string piece (pick (4) ? pick (600) : 0, char ('a' + pick (26)));
    size_t before = m->size ();
    if (!piece.empty ()) {
      m->body += piece;
      m->pieces++;
      wakeall (m);
    }
    resized (m, before);
    EXPECT_EQ (st.append (m->o, str (piece.data (), piece.size ())),
               m->indexed ? 1 : 0);
  }

  void end (bool ok)
  {
    size_t i = pick (writers.size ());
    auto m = writers[i];
    if (ok && !m->hashead)
      return sethead (m);
    writers.erase (writers.begin () + i);
    m->writer = false;
    wakeall (m);
    if (ok) {
      m->complete = true;
      st.finish (m->o);
    } else {
      m->aborted = true;
      if (m->indexed)
        unindex (m);
      st.abort (m->o);
    }
    m->o = nullptr; // readers and the index keep it
  }

  std::shared_ptr<mobj> lookup (int k, const std::string &sec)
  {
    ptr<cobj> o = st.lookup (str (key (k).c_str ()), str (sec.c_str ()));
    for (auto it = lru.begin (); it != lru.end (); ++it)
      if ((*it)->url == key (k) && (*it)->sec == sec) {
        auto m = *it;
        lru.erase (it);
        lru.push_front (m);
        EXPECT_TRUE (o && (o->head () ? s2 (o->head ()) : "") == m->head);
        m->o = o;
        return m;
      }
    EXPECT_FALSE (o);
    return nullptr;
  }

  void read (mreader *r)
  {
    uint64_t avail = r->m->body.size () - r->off;
    ASSERT_EQ (r->r->avail (), avail);
    uint64_t n = pick (size_t (avail) + 1);
    std::string got;
    if (pick (2)) {
      iovec v[4];
      int cnt = r->r->iov (v, 4);
      for (int i = 0; i < cnt && got.size () < n; i++)
        got.append (static_cast<char *> (v[i].iov_base),
                    std::min<size_t> (v[i].iov_len, n - got.size ()));
      n = got.size ();
      r->r->advance (n);
    } else {
      suio out;
      ASSERT_EQ (r->r->fill (&out, n), n);
      got = s2 (str (out));
    }
    ASSERT_EQ (got, r->m->body.substr (r->off, n));
    r->off += n;
  }

  void step ()
  {
    size_t op = pick (100);
    if (op < 15 || writers.empty ())
      create ();
    else if (op < 50)
      append ();
    else if (op < 57)
      end (true);
    else if (op < 60)
      end (false);
    else if (op < 70) {
      int k = int (pick (40));
      auto m = lookup (k, k % 3 ? "" : "v" + std::to_string (k % 2));
      if (m && readers.size () < 20) {
        auto r = std::make_unique<mreader> ();
        r->m = m;
        r->r.reset (new creader (ref<cobj> (m->o), wrap (bump, &r->wakes)));
        readers.push_back (std::move (r));
      }
      if (m && !m->writer)
        m->o = nullptr;
    } else if (op < 85 && !readers.empty ())
      read (readers[pick (readers.size ())].get ());
    else if (op < 90 && !readers.empty ())
      readers.erase (readers.begin () + pick (readers.size ()));
    else if (op < 95 && !lru.empty ()) {
      auto m = *std::next (lru.begin (), pick (lru.size ()));
      if (!m->o || !m->hashead)
        return;
      size_t before = m->size ();
      m->head = std::string (pick (300), 'u');
      lru.remove (m);
      lru.push_front (m);
      resized (m, before);
      st.update (m->o, str (m->head.c_str ()), cachemeta ());
    } else {
      std::string url = key (int (pick (13)));
      int n = 0;
      for (auto it = lru.begin (); it != lru.end ();)
        if ((*it)->url == url) {
          (*it)->indexed = false;
          bytes -= (*it)->size ();
          it = lru.erase (it);
          n++;
        } else
          ++it;
      EXPECT_EQ (st.invalidate (str (url.c_str ())), n);
    }
  }

  void verify ()
  {
    st.check ();
    ASSERT_EQ (st.bytes (), bytes);
    ASSERT_EQ (st.count (), lru.size ());
    cobj *o = st.mru ();
    for (auto &m : lru) {
      ASSERT_TRUE (o);
      ASSERT_EQ (s2 (o->url), m->url);
      ASSERT_EQ (s2 (o->secondary ()), m->sec);
      ASSERT_EQ (o->size (), m->size ());
      o = o->older ();
    }
    ASSERT_FALSE (o);
    for (int k = 0; k < 13; k++) {
      bool any = false;
      for (auto &m : lru)
        any = any || m->url == key (k);
      ASSERT_EQ (st.vary (str (key (k).c_str ())) != nullptr, any);
    }
    for (auto &r : readers) {
      ASSERT_EQ (r->wakes, r->wantwakes);
      ASSERT_EQ (r->r->offset (), r->off);
      int want = r->m->complete && r->off == r->m->body.size () ? 1
                 : r->m->aborted                                ? -1
                                                                : 0;
      ASSERT_EQ (r->r->state (), want);
      ASSERT_EQ (r->r->obj ()->indexed (), r->m->indexed);
    }
  }
};

TEST (store, random_operations_against_a_model)
{
  for (unsigned seed = 1; seed <= 40; seed++) {
    model m (4000 + seed * 100, 1500 + seed * 50, seed);
    for (int i = 0; i < 3000; i++) {
      m.step ();
      m.verify ();
      if (::testing::Test::HasFatalFailure () ||
          ::testing::Test::HasNonfatalFailure ())
        FAIL () << "seed " << seed << " step " << i;
    }
  }
}

// ---- Collapsed forwarding, case by case ----

struct rd {
  std::unique_ptr<creader> r;
  int wakes = 0;
};

TEST (store, callbacks_may_destroy_readers)
{
  cstore st;
  ptr<cobj> o =
      st.create (str ("u"), str (""), str ("H"), cachemeta (), vec<str> ());
  std::vector<rd> rs (6);
  // Reader 0's callback destroys readers 0 and 3; reader 4's, reader 1.
  auto kill = [&] (int who, int also) {
    rs[who].wakes++;
    rs[who].r.reset ();
    rs[also].r.reset ();
  };
  struct killer {
    static void run (std::function<void ()> *f) { (*f) (); }
  };
  std::function<void ()> k0 = [&] { kill (0, 3); };
  std::function<void ()> k4 = [&] {
    rs[4].wakes++;
    rs[1].r.reset ();
  };
  for (int i = 0; i < 6; i++) {
    cbv::ptr cb;
    if (i == 0)
      cb = wrap (killer::run, &k0);
    else if (i == 4)
      cb = wrap (killer::run, &k4);
    else
      cb = wrap (bump, &rs[i].wakes);
    rs[i].r.reset (new creader (ref<cobj> (o), cb));
  }
  st.append (o, str ("x"));
  EXPECT_EQ (o->readers (), 3u);  // 2, 4 and 5
  int w[] = {1, -1, 1, -1, 1, 1}; // -1: destroyed, maybe woken first
  for (int i = 0; i < 6; i++) {
    if (w[i] >= 0) {
      EXPECT_EQ (rs[i].wakes, w[i]) << i;
    }
  }
  st.append (o, str ("y"));
  EXPECT_EQ (rs[2].wakes + rs[4].wakes + rs[5].wakes, 6);
  st.check ();
}

TEST (store, too_large_object_streams_with_bounded_memory)
{
  cstore st (1 << 20, 10000);
  ptr<cobj> o =
      st.create (str ("u"), str (""), str ("H"), cachemeta (), vec<str> ());
  creader fast (ref<cobj> (o), nullptr), slow (ref<cobj> (o), nullptr);
  std::string piece (1000, 'p');
  uint64_t slowread = 0;
  for (int i = 0; i < 100; i++) {
    int in = st.append (o, str (piece.c_str ()));
    EXPECT_EQ (in, i < 9 ? 1 : 0) << i;
    fast.advance (fast.avail ());
    if (i % 10 == 9) { // the slow reader catches up now and then
      slowread += slow.avail ();
      slow.advance (slow.avail ());
    }
    EXPECT_LE (o->lag (), 10000u);
    EXPECT_LE (o->size (), 10000u + cobj_overhead + 10 * piece_overhead);
  }
  EXPECT_EQ (slowread, 100000u);
  EXPECT_FALSE (st.lookup (str ("u"), str ("")));
  EXPECT_EQ (st.toolarge, 1u);
  EXPECT_EQ (st.count (), 0u);
  st.finish (o);
  EXPECT_EQ (fast.state (), 1);
  st.check ();
}

TEST (store, misuse_panics)
{
  cstore st;
  ptr<cobj> o =
      st.create (str ("u"), str (""), str ("H"), cachemeta (), vec<str> ());
  st.finish (o);
  EXPECT_DEATH (st.append (o, str ("x")),
                "PANIC: .*cstore::append: the object is complete");
  ptr<cobj> p = st.pending (str ("v"), str (""));
  EXPECT_DEATH (st.append (p, str ("x")),
                "PANIC: .*cstore::append: the object is without its head");
}

} // namespace
