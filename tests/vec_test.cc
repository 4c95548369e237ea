// vec<T, N>: growth and slide rules, element lifetimes and a random model
// check against std::vector, for N = 0, 1, 2, 4.
#include "async/vec.h"

#include "async/msb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sys/uio.h>
#include <vector>

namespace {

// Elements that count themselves: each holds a reference on a token named
// by its value, as a counted string would, and knows its own address, so a
// slot that was copied with memcpy, destroyed twice or never built shows.
const int ntokens = 64;
long refs[ntokens]; // references held on each token
long live;          // elements built and not yet destroyed
long faults;        // elements used away from the place they were built

struct counted {
  counted *self;
  int val; // token held, or -1 (default-built) / -2 (moved from): none

  counted () : self (this), val (-1) { live++; }
  explicit counted (int v) : self (this), val (v) { hold (); }
  counted (const counted &c) : self (this), val (c.val)
  {
    c.verify (), hold ();
  }
  counted (counted &&c) : self (this), val (c.val)
  {
    c.verify ();
    live++;
    c.val = -2;
  }
  counted &operator= (const counted &) = delete;
  ~counted ()
  {
    verify ();
    refs[val >= 0 ? val : 0] -= val >= 0;
    self = nullptr;
    live--;
  }
  void hold () { live++, refs[val >= 0 ? val : 0] += val >= 0; }
  void verify () const { faults += self != this; }
};

using model_t = std::vector<int>;

// One reference per element of the models on each token, nothing else
// alive, nothing used out of place.
void
expect_counts (const std::vector<model_t> &models)
{
  long want[ntokens] = {}, nlive = 0;
  for (const model_t &m : models)
    for (int x : m)
      nlive++, want[x >= 0 ? x : 0] += x >= 0;
  for (int t = 0; t < ntokens; t++)
    ASSERT_EQ (refs[t], want[t]) << "token " << t;
  ASSERT_EQ (live, nlive);
  ASSERT_EQ (faults, 0);
}

// v holds the model's values in order, each at its place; others are the
// contents of other vectors alive at the same time.
template <class V>
void
expect_matches (const V &v, const model_t &model,
                std::vector<model_t> others = {})
{
  ASSERT_TRUE (v.check ());
  ASSERT_EQ (v.size (), model.size ());
  ASSERT_EQ (v.empty (), model.empty ());
  for (size_t i = 0; i < model.size (); i++) {
    ASSERT_EQ (v[i].val, model[i]) << "at " << i;
    ASSERT_EQ (v[i].self, &v[i]) << "at " << i;
  }
  if (!model.empty ()) {
    ASSERT_EQ (&v.front (), v.base ());
    ASSERT_EQ (&v.back (), v.lim () - 1);
  }
  others.push_back (model);
  expect_counts (others);
}

template <class V>
bool
is_inline (const V &v)
{
  const char *p = reinterpret_cast<const char *> (v.base ());
  const char *o = reinterpret_cast<const char *> (&v);
  return p >= o && p < o + sizeof (v);
}

template <size_t n>
struct cvec : vec<counted, n> {
  static constexpr size_t N = n;
};

template <class V>
class VecTest : public testing::Test {
protected:
  void SetUp () override
  {
    std::fill (refs, refs + ntokens, 0);
    live = faults = 0;
  }
  void TearDown () override { expect_counts ({}); }
};

using Sizes = testing::Types<cvec<0>, cvec<1>, cvec<2>, cvec<4>>;
TYPED_TEST_SUITE (VecTest, Sizes);

// Capacity after each of the first 17 push_backs, one row per N.
TYPED_TEST (VecTest, PushGrowsByPowersOfTwo)
{
  const size_t N = TypeParam::N;
  static const size_t want[5][17] = {
      {2, 2, 4, 4, 8, 8, 8, 8, 16, 16, 16, 16, 16, 16, 16, 16, 32},
      {1, 4, 4, 4, 8, 8, 8, 8, 16, 16, 16, 16, 16, 16, 16, 16, 32},
      {2, 2, 4, 4, 8, 8, 8, 8, 16, 16, 16, 16, 16, 16, 16, 16, 32},
      {},
      {4, 4, 4, 4, 8, 8, 8, 8, 16, 16, 16, 16, 16, 16, 16, 16, 32},
  };
  TypeParam v;
  EXPECT_TRUE (v.check ());
  EXPECT_EQ (v.capacity (), N);
  EXPECT_TRUE (N ? is_inline (v) : v.base () == nullptr);
  model_t model;
  for (int k = 0; k < 17; k++) {
    v.push_back (counted (k));
    model.push_back (k);
    EXPECT_EQ (v.capacity (), want[N][k]) << "after " << k + 1;
    EXPECT_EQ (is_inline (v), size_t (k) < N) << "after " << k + 1;
    expect_matches (v, model);
  }
}

TYPED_TEST (VecTest, PopsTakeTheEndsAndNeverMoveTheRest)
{
  TypeParam v;
  for (int k = 0; k < 9; k++)
    v.push_back (counted (k));
  counted *third = &v[2];
  EXPECT_EQ (v.pop_front ().val, 0);
  EXPECT_EQ (v.pop_front ().val, 1);
  v.popn_front (3);
  EXPECT_EQ (v.base (), third + 3);
  EXPECT_EQ (v.pop_back ().val, 8);
  v.popn_back (2);
  v.popn_back (0);
  v.popn_front (0);
  EXPECT_EQ (v.capacity (), 16u);
  expect_matches (v, {5});
}

// Space freed at the front comes back only when the end is full and the
// contents plus the request fit in half the buffer; else it doubles.
TYPED_TEST (VecTest, SlideReclaimsTheFrontOnlyWhenHalfEmpty)
{
  for (size_t cap : {4, 8, 16}) {
    TypeParam v;
    model_t model;
    for (size_t k = 0; k < cap; k++)
      v.push_back (counted (k)), model.push_back (k);
    counted *start = v.base ();
    size_t drop = cap / 2 + 1; // cap/2 - 1 left, one more fits in half
    v.popn_front (drop);
    model.erase (model.begin (), model.begin () + drop);
    v.push_back (counted (40)), model.push_back (40);
    EXPECT_EQ (v.capacity (), cap);
    EXPECT_EQ (v.base (), start);
    expect_matches (v, model);

    while (v.lim () < start + cap)
      v.push_back (counted (41)), model.push_back (41);
    v.popn_front (v.size () - cap / 2); // cap/2 + 1 wanted: grows
    model.erase (model.begin (), model.end () - cap / 2);
    v.push_back (counted (42)), model.push_back (42);
    EXPECT_EQ (v.capacity (), 2 * cap);
    expect_matches (v, model);
  }
}

// After the front was emptied, pushes fill the end first; a single slot
// (N = 1) is never enough for a slide, so that vector grows instead.
TYPED_TEST (VecTest, EmptiedFromTheFrontRefillsTheEndFirst)
{
  TypeParam v;
  v.push_back (counted (0));
  counted *start = v.base ();
  const size_t cap = v.capacity ();
  while (v.size () + 1 < cap)
    v.push_back (counted (1));
  v.popn_front (v.size ());
  if (cap > 1) {
    v.push_back (counted (2)); // the last free slot at the end
    EXPECT_EQ (v.base (), start + cap - 1);
    v.pop_front ();
  }
  v.push_back (counted (3)); // end full, nothing live
  EXPECT_EQ (v.base () == start, cap > 1);
  EXPECT_EQ (v.capacity (), cap > 1 ? cap : 2);
  expect_matches (v, {3});
}

TYPED_TEST (VecTest, ClearReturnsToTheInlineBuffer)
{
  TypeParam v;
  for (int k = 0; k < 20; k++)
    v.push_back (counted (k % 3));
  v.popn_front (4);
  v.clear ();
  expect_matches (v, {});
  EXPECT_EQ (v.capacity (), TypeParam::N);
  EXPECT_TRUE (TypeParam::N ? is_inline (v)
                            : !v.base () && !v.lim () && v.check ());
  v.push_back (counted (1));
  expect_matches (v, {1});
}

TYPED_TEST (VecTest, CopiesAreDeepAndIndependent)
{
  TypeParam a;
  for (int k = 0; k < 7; k++)
    a.push_back (counted (k));
  a.popn_front (2);
  const model_t am = {2, 3, 4, 5, 6}, bm = {2, 3, 4, 5, 9};
  {
    TypeParam b (a);
    EXPECT_NE (b.base (), a.base ());
    b.pop_back ();
    b.push_back (counted (9));
    expect_matches (a, am, {bm});
    expect_matches (b, bm, {am});

    TypeParam c;
    c.push_back (counted (1));
    c = b; // over other contents
    c = static_cast<const TypeParam &> (c);
    expect_matches (c, bm, {am, bm});
    b = TypeParam ();
    expect_matches (b, {}, {am, bm});
    for (int k = 0; k < 9; k++)
      c.push_back (counted (k));
    c = a; // a larger buffer is kept
    EXPECT_EQ (c.capacity (), 16u);
    expect_matches (c, am, {am});
  }
  const TypeParam e;
  TypeParam f (e);
  expect_matches (f, {}, {am});
}

TYPED_TEST (VecTest, SetsizeBuildsDefaultsAndDestroysFromTheBack)
{
  TypeParam v;
  v.push_back (counted (3));
  v.setsize (6);
  expect_matches (v, {3, -1, -1, -1, -1, -1});
  v.setsize (1);
  expect_matches (v, {3});
  v.setsize (0);
  v.push_back ();
  expect_matches (v, {-1});
}

TYPED_TEST (VecTest, PushingAnOwnElementWhileGrowing)
{
  TypeParam v;
  v.push_back (counted (0));
  model_t model = {0};
  for (int k = 1; k < 40; k++) {
    v.push_back (v[k / 3]); // often exactly when the buffer is full
    model.push_back (model[k / 3]);
    expect_matches (v, model);
  }
}

// Random sequences of every operation, checked against std::vector after
// each step.
TYPED_TEST (VecTest, RandomOperationsMatchStdVector)
{
  std::mt19937 rng (20240 + TypeParam::N);
  TypeParam v;
  model_t model;
  for (int step = 0; step < 20000 && !this->HasFatalFailure (); step++) {
    int op = rng () % 100, val = rng () % ntokens;
    size_t sz = model.size (), n = rng () % (sz + 1);
    if (op < 35) {
      v.push_back (counted (val)), model.push_back (val);
    } else if (op < 40) {
      v.push_back (), model.push_back (-1);
    } else if (op < 45 && sz) {
      v.push_back (v[n % sz]), model.push_back (model[n % sz]);
    } else if (op < 58 && sz) {
      EXPECT_EQ (v.pop_front ().val, model.front ());
      model.erase (model.begin ());
    } else if (op < 66 && sz) {
      EXPECT_EQ (v.pop_back ().val, model.back ());
      model.pop_back ();
    } else if (op < 72) {
      v.popn_front (n);
      model.erase (model.begin (), model.begin () + n);
    } else if (op < 76) {
      v.popn_back (n);
      model.resize (sz - n);
    } else if (op < 82) {
      // Room for n more: the next n pushes neither grow nor move.
      n = rng () % 20;
      v.reserve (n);
      counted *b = v.base ();
      size_t cap = v.capacity ();
      for (size_t k = 0; k < n; k++)
        v.push_back (counted (val)), model.push_back (val);
      EXPECT_EQ (v.capacity (), cap);
      EXPECT_EQ (v.base (), b);
    } else if (op < 87) {
      v.setsize (n + rng () % 8);
      model.resize (v.size (), -1);
    } else if (op < 89) {
      v.clear (), model.clear ();
    } else if (op < 94) {
      TypeParam copy (v);
      expect_matches (copy, model, {model});
      v.clear ();
      v = copy;
    } else if (op < 97) {
      TypeParam other;
      for (int k = rng () % 12; k > 0; k--)
        other.push_back (counted (val));
      v = other;
      model.assign (other.size (), val);
    } else if constexpr (TypeParam::N == 0) {
      TypeParam other (v);
      other.swap (v);
    } else {
      for (int k = rng () % 10; k > 0; k--) { // queue churn
        v.push_back (counted (val)), model.push_back (val);
        v.pop_front (), model.erase (model.begin ());
      }
    }
    expect_matches (v, model);
  }
}

TEST (Vec, IovecsGrowFromFourInlineToEightAndSlideBack)
{
  vec<iovec, 4> v;
  for (size_t k = 0; k < 4; k++)
    v.push_back ().iov_len = k;
  EXPECT_TRUE (is_inline (v));
  EXPECT_EQ (v[0].iov_base, nullptr); // default-built is zeroed
  vec<iovec, 4> w (v);
  w.push_back ().iov_len = 4;
  EXPECT_FALSE (is_inline (w));
  EXPECT_EQ (w.capacity (), 8u);
  EXPECT_EQ (w[4].iov_len, 4u);

  iovec *start = v.base ();
  v.popn_front (3);
  v.push_back ().iov_len = 4; // nwanted 2 <= 4 / 2: slides, no allocation
  EXPECT_EQ (v.base (), start);
  EXPECT_EQ (v.capacity (), 4u);
  ASSERT_EQ (v.size (), 2u);
  EXPECT_EQ (v[0].iov_len + v[1].iov_len, 7u);
}

TEST (Vec, SwapExchangesBuffersWithoutTouchingElements)
{
  vec<counted> a, b;
  a.push_back (counted (0)), a.push_back (counted (1));
  counted *abase = a.base ();
  long built = live;
  a.swap (b);
  b.swap (b);
  EXPECT_EQ (live, built);
  EXPECT_TRUE (a.check () && a.empty () && a.base () == nullptr);
  EXPECT_EQ (b.base (), abase);
  expect_matches (b, {0, 1});
}

TEST (VecDeathTest, MoveIntoTheLiveRangeFails)
{
  const char *msg = "dst < firstp \\|\\| dst >= lastp";
  vec<int, 4> v;
  for (int k = 0; k < 3; k++)
    v.push_back (k);
  v.move (v.base ()); // onto itself: nothing to do
  EXPECT_EQ (v[2], 2);
  EXPECT_DEATH (v.move (v.base () + 1), msg);
  EXPECT_DEATH (v.move (v.lim () - 1), msg);
  v.push_back (3), v.push_back (4);
  EXPECT_DEATH (v.move (v.base () + 2), msg);
}

using cvec4 = vec<char, 4>;

TEST (VecDeathTest, ImpossibleSizesRunOutOfMemory)
{
  const char *msg = "^malloc failed\n$";
  auto abrt = testing::KilledBySignal (SIGABRT);
  EXPECT_EXIT (vec<char> ().reserve (SIZE_MAX), abrt, msg);
  EXPECT_EXIT (vec<int> ().reserve (SIZE_MAX / sizeof (int)), abrt, msg);
  EXPECT_EXIT (cvec4 ().reserve (SIZE_MAX / 2 + 1), abrt, msg);
  EXPECT_EXIT (
      {
        vec<char> v;
        v.push_back ('x');
        v.reserve (SIZE_MAX);
      },
      abrt, msg);
}

TEST (Msb, TablesAndFlsAgreeWithTheBitBuiltins)
{
  for (unsigned i = 1; i < 256; i++) {
    EXPECT_EQ (bytemsb[i], 32 - __builtin_clz (i)) << i;
    EXPECT_EQ (bytelsb[i], __builtin_ctz (i) + 1) << i;
  }
  EXPECT_EQ (bytemsb[0] + bytelsb[0] + fls32 (0) + fls64 (0), 0);
  std::vector<uint64_t> vals;
  for (int b = 0; b < 64; b++) {
    uint64_t p = uint64_t (1) << b;
    vals.insert (vals.end (), {p, p + 1, (p - 1) | p});
  }
  std::mt19937_64 rng (7);
  for (int k = 0; k < 10000; k++)
    vals.push_back (rng () >> (rng () % 64) | 1);
  for (uint64_t v : vals) {
    EXPECT_EQ (fls64 (v), 64 - __builtin_clzll (v)) << v;
    uint32_t w = uint32_t (v) | 1;
    EXPECT_EQ (fls32 (w), 32 - __builtin_clz (w)) << w;
  }
}

} // namespace
