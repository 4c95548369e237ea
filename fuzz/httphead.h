// Shared by the HTTP head harnesses (httpreq.cc, httpresp.cc): reading the
// input, feeding a parser whole or in pieces, and a model of the lines a
// parser consumes.
//
// Input layout of both: one byte b, whose low 4 bits give k and whose bit
// 4 says how pieces enter the suio (0: each piece an iovec entry of its
// own, referenced; 1: copied, so neighbouring pieces share scratch space);
// then k bytes giving the gaps between cuts; then the message.
//
// Every byte a parser reads comes from a heap block of exactly the
// message's or the piece's size, so a read past the end shows under ASan.
#ifndef OMBRIX_FUZZ_HTTPHEAD_H
#define OMBRIX_FUZZ_HTTPHEAD_H

#include "fuzz/fuzz.h"
#include "http.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

struct headinput {
  std::string m;           // the message
  std::vector<size_t> cut; // ascending cut points inside m
  bool copy;               // pieces copied into the suio
};

inline headinput
readhead (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  headinput h;
  uint8_t b = in.byte ();
  h.copy = b & 0x10;
  std::vector<size_t> gaps;
  for (int k = b & 15; k > 0; k--)
    gaps.push_back (in.byte ());
  h.m = in.bytes (size);
  size_t at = 0;
  for (size_t g : gaps)
    if ((at += g) <= h.m.size ())
      h.cut.push_back (at);
  return h;
}

inline std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

// A heap block holding exactly s's bytes.
inline std::unique_ptr<char[]>
exactcopy (const std::string &s)
{
  std::unique_ptr<char[]> b (new char[s.size ()]);
  memcpy (b.get (), s.data (), s.size ());
  return b;
}

// A parser fed a message, with the suio it read from and the blocks that
// suio still points into (declared first, so released last).
template <class P>
struct fedhead {
  std::vector<std::unique_ptr<char[]>> blocks;
  suio u;
  P p;
  int r = 0;

  std::string rest () const { return s2 (str (u)); }
  std::string headers () const { return s2 (str (*p.headers ().tosuio ())); }
};

// m cut at cut[], the pieces appended to one suio in order and parse
// called after each while it returns 0.
template <class P>
std::unique_ptr<fedhead<P>>
feedhead (const std::string &m, const std::vector<size_t> &cut, bool copy)
{
  std::unique_ptr<fedhead<P>> f (new fedhead<P>);
  size_t from = 0;
  for (size_t i = 0; i <= cut.size (); i++) {
    size_t to = i < cut.size () ? cut[i] : m.size ();
    f->blocks.push_back (exactcopy (m.substr (from, to - from)));
    f->u.breakiov ();
    if (copy)
      f->u.copy (f->blocks.back ().get (), to - from);
    else
      f->u.pushiov (f->blocks.back ().get (), to - from);
    from = to;
    if (f->r == 0)
      f->r = f->p.parse (&f->u);
    FUZZ_CHECK (f->r >= -1 && f->r <= 1, "parse returned %d", f->r);
  }
  std::string rest = f->rest ();
  FUZZ_CHECK (rest.size () <= m.size () &&
                  !m.compare (m.size () - rest.size (), rest.size (), rest),
              "%s left %s, not a tail of the message", fuzzquote (m).c_str (),
              fuzzquote (rest).c_str ());
  return f;
}

// Fed whole and fed in pieces, the parser ends in the same state: result,
// fields (as the harness's fields () shows them), bytes left over.  Returns
// the whole one.
template <class P>
std::unique_ptr<fedhead<P>>
feedboth (const headinput &h, std::string (*fields) (const P &))
{
  auto whole = feedhead<P> (h.m, {}, false);
  auto pieces = feedhead<P> (h.m, h.cut, h.copy);
  std::string a = std::to_string (whole->r) + "|" + fields (whole->p) + "|" +
                  whole->rest ();
  std::string b = std::to_string (pieces->r) + "|" + fields (pieces->p) + "|" +
                  pieces->rest ();
  FUZZ_CHECK (a == b, "%s: whole %s, in pieces %s", fuzzquote (h.m).c_str (),
              fuzzquote (a).c_str (), fuzzquote (b).c_str ());
  return whole;
}

// The model of line splitting: the logical lines at the front of m that
// make up its first `consumed` bytes.  A line runs through a line feed; a
// line of just LF or CR LF is blank and ends there; any other line goes on
// while a space or a tab follows its line feed, and is not complete until
// the byte after its line feed is there.  The lines must cover exactly
// `consumed` bytes (a parser takes whole lines only); *more is set when
// one more complete line follows them.
inline std::vector<std::string>
headlines (const std::string &m, size_t consumed, bool *more)
{
  std::vector<std::string> lines;
  size_t at = 0;
  *more = false;
  for (;;) {
    size_t lf = m.find ('\n', at), end = lf + 1;
    if (lf == std::string::npos)
      break;
    bool blank = end - at == 1 || (end - at == 2 && m[at] == '\r');
    while (!blank && end < m.size () && (m[end] == ' ' || m[end] == '\t')) {
      lf = m.find ('\n', end);
      if (lf == std::string::npos)
        break;
      end = lf + 1;
    }
    if (lf == std::string::npos || (!blank && end == m.size ()))
      break; // incomplete
    if (at == consumed) {
      *more = true;
      break;
    }
    lines.push_back (m.substr (at, end - at));
    at = end;
  }
  FUZZ_CHECK (at == consumed, "%s: %zu bytes consumed, not whole lines",
              fuzzquote (m).c_str (), consumed);
  return lines;
}

// The lines a fed parser consumed, checked against its result: 0 leaves
// no complete line unread, 1 has consumed a blank line last.  Returns them
// without the last when that is the blank or the malformed one (neither
// is passed on).
template <class P>
std::vector<std::string>
passedlines (const std::string &m, const fedhead<P> &f)
{
  bool more;
  std::vector<std::string> l = headlines (m, m.size () - f.u.resid (), &more);
  FUZZ_CHECK (f.r != 0 || !more, "%s: 0 with a complete line unread",
              fuzzquote (m).c_str ());
  FUZZ_CHECK (f.r == 0 || !l.empty (), "%s: %d with no line consumed",
              fuzzquote (m).c_str (), f.r);
  if (f.r == 1)
    FUZZ_CHECK (l.back () == "\n" || l.back () == "\r\n",
                "%s: 1 without a blank line last", fuzzquote (m).c_str ());
  if (f.r != 0)
    l.pop_back ();
  return l;
}

#endif
