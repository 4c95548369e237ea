// Callbacks made by wrap: argument order for every shape up to three
// call-time arguments, conversion of stored arguments at creation,
// lifetimes of stored copies, member functions, cbv_null and cbi_null from
// start-up to exit.

#include "async/callback.h"
#include "async/init.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <unistd.h>
#include <vector>

namespace {

std::vector<int> calls;

// Records its arguments in order.
template <class... I>
void
rec (I... v)
{
  calls = {v...};
}

std::string text;
void
mixed (const char *s, long n, double d, char c)
{
  text = std::string (s) + "/" + std::to_string (n) + "/" +
         std::to_string ((int) (d * 2)) + "/" + c;
}

struct counted {
  static int live;
  int id;
  explicit counted (int i) : id (i) { live++; }
  counted (const counted &o) : id (o.id) { live++; }
  ~counted () { live--; }
};
int counted::live;

int
add (const counted &a, int b)
{
  return a.id + b;
}

void *seenp;
unsigned seenu;
void
keep (void *p, unsigned u)
{
  seenp = p;
  seenu = u;
}
[[maybe_unused]] void // only named in a decltype
keep1 (void *p)
{
  seenp = p;
}

std::string seens;
void
keepstr (const std::string &s, int)
{
  seens = s;
}

} // namespace

// Stored arguments come first, call-time ones after, in both cases in
// the order written.
TEST (Callback, ArgumentOrderEveryShape)
{
  std::vector<int> want3 = {1, 2, 3};
  std::vector<int> want4 = {1, 2, 3, 4};
  std::vector<int> want5 = {1, 2, 3, 4, 5};

  ref<callback<void, int>> c10 = wrap (rec<int>);
  c10 (1);
  EXPECT_EQ (calls, std::vector<int> ({1}));
  ref<callback<void, int, int>> c20 = wrap (rec<int, int>);
  c20 (1, 2);
  EXPECT_EQ (calls, std::vector<int> ({1, 2}));
  ref<callback<void, int, int, int>> c30 = wrap (rec<int, int, int>);
  c30 (1, 2, 3);
  EXPECT_EQ (calls, want3);

  cbv c01 = wrap (rec<int>, 1);
  c01 ();
  EXPECT_EQ (calls, std::vector<int> ({1}));
  ref<callback<void, int, int>> c21 = wrap (rec<int, int, int>, 1);
  (*c21) (2, 3);
  EXPECT_EQ (calls, want3);
  ref<callback<void, int, int, int>> c31 = wrap (rec<int, int, int, int>, 1);
  c31 (2, 3, 4);
  EXPECT_EQ (calls, want4);

  cbv c02 = wrap (rec<int, int>, 1, 2);
  c02 ();
  EXPECT_EQ (calls, std::vector<int> ({1, 2}));
  cbi c12 = wrap (rec<int, int, int>, 1, 2);
  c12 (3);
  EXPECT_EQ (calls, want3);
  ref<callback<void, int, int, int>> c32 =
      wrap (rec<int, int, int, int, int>, 1, 2);
  c32 (3, 4, 5);
  EXPECT_EQ (calls, want5);

  cbv c03 = wrap (rec<int, int, int>, 1, 2, 3);
  c03 ();
  EXPECT_EQ (calls, want3);

  // Different types in each position catch a swap the ints could hide.
  ref<callback<void, double, char>> m = wrap (mixed, "s", 7L);
  m (1.5, 'c');
  EXPECT_EQ (text, "s/7/3/c");
}

TEST (Callback, ShapesOfTheSystem)
{
  static_assert (std::is_same<decltype (wrap (ignore_void)),
                              refcounted<callback_0_0<void>> *>::value,
                 "");
  static_assert (std::is_same<decltype (wrap (ignore_int)),
                              refcounted<callback_1_0<void, int>> *>::value,
                 "");
  char buf[4];
  static_assert (std::is_same<decltype (wrap (keep1, buf)),
                              refcounted<callback_0_1<void, void *>> *>::value,
                 "");
  static_assert (
      std::is_same<decltype (wrap (keep, buf, 1)),
                   refcounted<callback_0_2<void, void *, unsigned>> *>::value,
      "");
  static_assert (std::is_base_of<callback<void, int>,
                                 callback_1_2<void, int, int, int>>::value,
                 "");

  // Converted at creation: a char* kept as void*, an int as unsigned.
  cbv c = wrap (keep, buf, -1);
  c ();
  EXPECT_EQ (seenp, (void *) buf);
  EXPECT_EQ (seenu, 0xffffffffu);
  char name[] = "first";
  cbi s = wrap (keepstr, name);
  name[0] = 'F';
  s (0);
  EXPECT_EQ (seens, "first");
}

TEST (Callback, ResultsAndStoredCopies)
{
  int base = counted::live;
  {
    counted seven (7);
    ref<callback<int, int>> c = wrap (add, seven);
    EXPECT_EQ (counted::live, base + 2);
    EXPECT_EQ (c (3), 10);
    EXPECT_EQ ((*c) (-7), 0);
    EXPECT_EQ (counted::live, base + 2);
    {
      ptr<callback<int, int>> copy = c;
      c = wrap (add, counted (1));
      EXPECT_EQ (counted::live, base + 3);
      EXPECT_EQ ((*copy) (1), 8);
      EXPECT_EQ (c (1), 2);
    }
    EXPECT_EQ (counted::live, base + 2);
  }
  EXPECT_EQ (counted::live, base);
}

TEST (Callback, NullableCallbacks)
{
  cbv::ptr p;
  EXPECT_FALSE (p);
  p = wrap (rec<int, int>, 4, 5);
  ASSERT_TRUE (p);
  (*p) ();
  EXPECT_EQ (calls, std::vector<int> ({4, 5}));
  cbv held (p);
  p = nullptr;
  held ();
  EXPECT_EQ (calls, std::vector<int> ({4, 5}));
  cbi::ptr q = cbi_null;
  q (12);
}

namespace {

struct account : counted {
  int balance = 0;
  explicit account (int i) : counted (i) {}
  void deposit (int n, int times) { balance += n * times; }
  int get (int extra) const { return balance + extra; }
};

} // namespace

TEST (Callback, MemberFunctions)
{
  int base = counted::live;
  {
    account a (1);
    ref<callback<void, int>> d = wrap (&a, &account::deposit, 5);
    d (2);
    EXPECT_EQ (a.balance, 10);
    ref<callback<int, int>> r = wrap (&a, &account::get);
    EXPECT_EQ (r (1), 11);

    // A counted object is kept alive by its callback.
    ref<account> acct = new refcounted<account> (2);
    cbi dep = wrap (acct, &account::deposit, 3);
    acct = new refcounted<account> (3);
    EXPECT_EQ (counted::live, base + 3);
    dep (4);
    dep = cbi_null;
    EXPECT_EQ (counted::live, base + 2);
  }
  EXPECT_EQ (counted::live, base);
}

// cbv_null and cbi_null before this library's start-up, during main and in
// exit-time destructors that run after its exit code.
namespace {

bool earlyok;
bool lateprint;

struct edge {
  edge ()
  {
    cbv c = cbv_null;
    cbi::ptr i = cbi_null;
    c ();
    (*i) (1);
    earlyok = c == cbv_null;
  }
  ~edge ()
  {
    cbv c = cbv_null;
    c ();
    cbi_null (2);
    if (lateprint) {
      ssize_t w = write (2, "null callbacks ok\n", 18);
      (void) w;
    }
  }
};
edge edge_obj INITPRIO (INITPRIO_AERR);

} // namespace

TEST (Callback, NullCallbacks)
{
  EXPECT_TRUE (earlyok);
  calls.clear ();
  cbv_null ();
  for (int i : {-1, 0, 1, 1 << 30})
    cbi_null (i);
  EXPECT_TRUE (calls.empty ());
  // During main they are counted callbacks from wrap.
  auto &v = *cbv_null; // outside typeid: clang warns of the call inside
  auto &i = *cbi_null;
  EXPECT_EQ (typeid (v), typeid (refcounted<callback_0_0<void>>));
  EXPECT_EQ (typeid (i), typeid (refcounted<callback_1_0<void, int>>));
  cbv copy = cbv_null;
  EXPECT_TRUE (copy == cbv_null);
}

TEST (CallbackDeath, NullCallbacksAtExit)
{
  EXPECT_EXIT (
      {
        lateprint = true;
        exit (0);
      },
      testing::ExitedWithCode (0), "^null callbacks ok\n$");
}
