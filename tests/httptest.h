// Helpers shared by the HTTP tests: conversions, buffers built from pieces,
// and the incremental contract: a head fed in pieces, whatever the cuts,
// leaves a parser exactly as the whole head does.
#ifndef OMBRIX_TESTS_HTTPTEST_H
#define OMBRIX_TESTS_HTTPTEST_H

#include "http.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

inline std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

inline str
S (const std::string &s)
{
  return str (s.data (), s.size ());
}

inline std::string
text (const suio &u)
{
  return s2 (str (u));
}

inline std::string
text (const strbuf &b)
{
  return text (*b.tosuio ());
}

// A parser's state as text, after a result r, with the bytes still queued.
template <class P>
using snapfn = std::string (*) (P &p, int r, const suio &rest);

// Feeds msg cut at the offsets in cuts (ascending), each piece queued by
// reference as an iovec entry of its own; parses after every piece when
// incremental, else once at the end.  Checks the buffer's invariant at
// every step.
template <class P>
std::string
feed (const std::string &msg, const std::vector<size_t> &cuts, bool incremental,
      snapfn<P> snap)
{
  P p;
  suio u;
  int r = 0;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size (); i++) {
    size_t to = i < cuts.size () ? cuts[i] : msg.size ();
    u.breakiov ();
    u.pushiov (msg.data () + from, to - from);
    from = to;
    if (incremental && r == 0)
      r = p.parse (&u);
    EXPECT_EQ (u.check (), nullptr);
  }
  if (!incremental)
    r = p.parse (&u);
  return snap (p, r, u);
}

// The incremental contract over every two-way split: fed in turn, or as
// two iovec entries at once, msg leaves the parser as the whole does.
template <class P>
std::string
everysplit (const std::string &msg, snapfn<P> snap)
{
  std::string whole = feed<P> (msg, {}, false, snap);
  for (size_t k = 0; k <= msg.size (); k++) {
    SCOPED_TRACE ("cut at " + std::to_string (k));
    EXPECT_EQ (feed<P> (msg, {k}, true, snap), whole);
    EXPECT_EQ (feed<P> (msg, {k}, false, snap), whole);
  }
  return whole;
}

// Random ascending cuts of a message of n bytes.
inline std::vector<size_t>
randcuts (std::mt19937 &rng, size_t n)
{
  std::vector<size_t> c;
  for (size_t at = 0; n && (at += rng () % 12) < n;)
    c.push_back (at);
  return c;
}

#endif
