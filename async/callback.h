// Counted callbacks: callback<R, B1, B2, B3>, wrap, cbv, cbi, cbv_null.
//
// wrap (f, a1, .., aM) makes one new refcounted binder holding f and a
// copy of each stored argument, converted to f's parameter type at once;
// hand it straight to a ref or ptr, which then owns it.  Called with
// b1..bN (N at most 3) it calls f (a1, .., aM, b1, .., bN): stored
// arguments first.  The binder lives while a counted pointer holds it, and
// its stored copies with it; raw pointers among them are not owned.
// wrap (obj, &C::m, a1, ..) does the same for a member function: obj is a
// C* (not owned) or a ref/ptr to C, which the callback keeps alive.
//
// cbv_null and cbi_null do nothing.  They are usable from any module's
// start-up and in every exit-time destructor: before this unit's start-up
// and after its exit code they are a static do-nothing callback; in
// between, the counted wrap (ignore_void) and wrap (ignore_int).
#ifndef OMBRIX_ASYNC_CALLBACK_H
#define OMBRIX_ASYNC_CALLBACK_H

#include "async/refcnt.h"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

template <class R, class... B>
class callback_iface {
public:
  typedef R result_type;
  virtual R operator() (B...) = 0;
  virtual ~callback_iface () {}
};

// Unused trailing argument types are void.
template <class R, class B1 = void, class B2 = void, class B3 = void>
class callback : public callback_iface<R, B1, B2, B3> {
};
template <class R, class B1, class B2>
class callback<R, B1, B2, void> : public callback_iface<R, B1, B2> {
};
template <class R, class B1>
class callback<R, B1, void, void> : public callback_iface<R, B1> {
};
template <class R>
class callback<R, void, void, void> : public callback_iface<R> {
};

typedef ref<callback<void>> cbv;
typedef ref<callback<void, int>> cbi;

template <class... T>
struct cbtypes {
  static constexpr std::size_t size = sizeof...(T);
};

// One stored field; the index keeps equal types apart.
template <std::size_t I, class A>
struct cbfield {
  A v;
  template <class X>
  constexpr explicit cbfield (X &&x) : v (std::forward<X> (x))
  {
  }
};

// The function and the stored arguments, laid out in that order.
template <class Seq, class F, class... A>
struct cbstore;
template <std::size_t... I, class F, class... A>
struct cbstore<std::index_sequence<I...>, F, A...> : cbfield<0, F>,
                                                     cbfield<I + 1, A>... {
  template <class... X>
  constexpr explicit cbstore (F f, X &&...x)
      : cbfield<0, F> (f), cbfield<I + 1, A> (std::forward<X> (x))...
  {
  }
  template <class R, class... B>
  R call (B &&...b)
  {
    return static_cast<cbfield<0, F> &> (*this).v (
        static_cast<cbfield<I + 1, A> &> (*this).v..., std::forward<B> (b)...);
  }
};

template <class R, class Bs, class As>
struct cbfnptr;
template <class R, class... B, class... A>
struct cbfnptr<R, cbtypes<B...>, cbtypes<A...>> {
  typedef R (*type) (A..., B...);
};

// The binder: callback<R, B...> calling F with stored A... first.
template <class R, class Bs, class As,
          class F = typename cbfnptr<R, Bs, As>::type>
class cbbind;
template <class R, class... B, class... A, class F>
class cbbind<R, cbtypes<B...>, cbtypes<A...>, F>
    : public callback<R, B...>,
      cbstore<std::index_sequence_for<A...>, F, A...> {
  typedef cbstore<std::index_sequence_for<A...>, F, A...> store;

public:
  template <class... X>
  constexpr explicit cbbind (F f, X &&...x) : store (f, std::forward<X> (x)...)
  {
  }
  R operator() (B... b) override
  {
    return store::template call<R> (std::forward<B> (b)...);
  }
};

// callback_N_M<R, B1..BN, A1..AM>: N call-time and M stored arguments,
// calling an R (*) (A1..AM, B1..BN).
template <class R>
using callback_0_0 = cbbind<R, cbtypes<>, cbtypes<>>;
template <class R, class B1>
using callback_1_0 = cbbind<R, cbtypes<B1>, cbtypes<>>;
template <class R, class B1, class B2>
using callback_2_0 = cbbind<R, cbtypes<B1, B2>, cbtypes<>>;
template <class R, class B1, class B2, class B3>
using callback_3_0 = cbbind<R, cbtypes<B1, B2, B3>, cbtypes<>>;
template <class R, class A1>
using callback_0_1 = cbbind<R, cbtypes<>, cbtypes<A1>>;
template <class R, class B1, class A1>
using callback_1_1 = cbbind<R, cbtypes<B1>, cbtypes<A1>>;
template <class R, class B1, class B2, class A1>
using callback_2_1 = cbbind<R, cbtypes<B1, B2>, cbtypes<A1>>;
template <class R, class B1, class B2, class B3, class A1>
using callback_3_1 = cbbind<R, cbtypes<B1, B2, B3>, cbtypes<A1>>;
template <class R, class A1, class A2>
using callback_0_2 = cbbind<R, cbtypes<>, cbtypes<A1, A2>>;
template <class R, class B1, class A1, class A2>
using callback_1_2 = cbbind<R, cbtypes<B1>, cbtypes<A1, A2>>;
template <class R, class B1, class B2, class A1, class A2>
using callback_2_2 = cbbind<R, cbtypes<B1, B2>, cbtypes<A1, A2>>;
template <class R, class B1, class B2, class B3, class A1, class A2>
using callback_3_2 = cbbind<R, cbtypes<B1, B2, B3>, cbtypes<A1, A2>>;
template <class R, class A1, class A2, class A3>
using callback_0_3 = cbbind<R, cbtypes<>, cbtypes<A1, A2, A3>>;
template <class R, class B1, class A1, class A2, class A3>
using callback_1_3 = cbbind<R, cbtypes<B1>, cbtypes<A1, A2, A3>>;
template <class R, class B1, class B2, class A1, class A2, class A3>
using callback_2_3 = cbbind<R, cbtypes<B1, B2>, cbtypes<A1, A2, A3>>;
template <class R, class B1, class B2, class B3, class A1, class A2, class A3>
using callback_3_3 = cbbind<R, cbtypes<B1, B2, B3>, cbtypes<A1, A2, A3>>;

// Parameters Off .. Off+n-1 of a list; `stored` is their decayed form.
template <class Ps, std::size_t Off, class Seq>
struct cbslice;
template <class... P, std::size_t Off, std::size_t... I>
struct cbslice<cbtypes<P...>, Off, std::index_sequence<I...>> {
  typedef cbtypes<std::tuple_element_t<Off + I, std::tuple<P...>>...> type;
  typedef cbtypes<
      std::decay_t<std::tuple_element_t<Off + I, std::tuple<P...>>>...>
      stored;
};

// The first M of f's parameters Ps are stored, the rest come at the call.
template <class R, class Ps, class F, class... A>
auto
cbnew (F f, A &&...a)
{
  constexpr std::size_t m = sizeof...(A);
  static_assert (m <= Ps::size, "wrap: more stored arguments than f takes");
  constexpr std::size_t n = m <= Ps::size ? Ps::size - m : 0;
  static_assert (n <= 3, "wrap: at most three call-time arguments");
  typedef typename cbslice<Ps, 0, std::make_index_sequence<m>>::stored S;
  typedef typename cbslice<Ps, m, std::make_index_sequence<n>>::type B;
  return new refcounted<cbbind<R, B, S, F>> (f, std::forward<A> (a)...);
}

template <class R, class... P, class... A>
auto
wrap (R (*f) (P...), A &&...a)
{
  return cbnew<R, cbtypes<P...>> (f, std::forward<A> (a)...);
}

// A member function with the object to call it on.
template <class O, class M>
struct cbmethod {
  O obj; // C*, or a ref/ptr that keeps the object alive
  M m;
  template <class... X>
  decltype (auto) operator() (X &&...x)
  {
    return ((*obj).*m) (std::forward<X> (x)...);
  }
};

template <class M>
struct cbmemfn;
template <class R, class C, class... P>
struct cbmemfn<R (C::*) (P...)> {
  typedef R result;
  typedef cbtypes<P...> params;
};
template <class R, class C, class... P>
struct cbmemfn<R (C::*) (P...) const> : cbmemfn<R (C::*) (P...)> {
};

template <class O, class M, class... A,
          class = std::enable_if_t<std::is_member_function_pointer<M>::value>>
auto
wrap (O obj, M m, A &&...a)
{
  typedef cbmemfn<M> sig;
  return cbnew<typename sig::result, typename sig::params> (
      cbmethod<O, M>{obj, m}, std::forward<A> (a)...);
}

void ignore_void ();
void ignore_int (int);

extern const cbv &cbv_null;
extern const cbi &cbi_null;

#endif
