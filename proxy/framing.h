// Message framing for the proxy, without any I/O: where a head ends and
// whether its bytes are acceptable (headscan), how long the body behind a
// head is (reqbody, respbody) and the chunked transfer coding (chunkdec).
//
// The rules refuse every message two parsers could read differently:
// bare CR, bare LF in requests, NUL and other control bytes, white space
// before a colon, folded lines, a Content-Length that is not plain
// decimal or that disagrees with another, Content-Length together with
// Transfer-Encoding, a coding other than chunked, chunk sizes with signs,
// prefixes, blanks in front or more than 62 bits.
//
// Memory: nothing here allocates; the scanners point into the caller's
// bytes only during a call.  Results are 1 (done), 0 (more bytes needed)
// and -1 (refused); a refused head also says which status to answer with.
#ifndef OMBRIX_PROXY_FRAMING_H
#define OMBRIX_PROXY_FRAMING_H

#include "async/str.h"
#include "async/vec.h"

#include <cstddef>
#include <cstdint>

enum {
  head_max = 65536,     // a head, blank line included: else 431
  reqline_max = 8192,   // a request line, line end included: else 414
  chunkline_max = 4096, // a chunk-size line with its extensions
  trailer_max = 65536,  // the trailer section of a chunked body
};
static const uint64_t body_max = uint64_t (1) << 62; // largest length read

// Finds the end of a head in a growing buffer.  Feed it the same buffer
// (more bytes behind the same start) until it says 1 or -1; it resumes
// where the last call stopped, so a head costs one pass over its bytes.
class headscan {
  const bool request; // request rules (CRLF only, 414) or response rules
  size_t pos;         // bytes of complete lines checked so far
  bool first;         // the next line is the start line

  int line (const char *p, size_t n);

public:
  int status; // after -1: 400, 414 or 431 (502 for a response)
  size_t len; // after 1: the head's length, blank line included

  explicit headscan (bool req) : request (req) { reset (); }
  void reset ()
  {
    pos = 0;
    first = true;
    status = 0;
    len = 0;
  }
  int scan (const char *p, size_t n);
};

// How a body is delimited.
enum bodykind {
  bk_none,    // no body
  bk_length,  // exactly len bytes
  bk_chunked, // the chunked coding
  bk_close,   // until the sender closes (responses only)
};
struct bodyframe {
  bodykind kind;
  uint64_t len; // bk_length: the length
};

// A Content-Length value: plain decimal, at most body_max; 1 or -1.  A
// list ("5, 5") of equal values reads as one.
int parselength (const str &v, uint64_t *len);

// The header values framing and persistence read, collected while a head
// is parsed (a request's or a response's parser derives from this too).
struct framehdrs {
  vec<str> cl, te, conn; // Content-Length, Transfer-Encoding, Connection
  // Keeps val when name (lower case) is one of those three; else false.
  bool take (const str &name, const str &val);
  void clear ()
  {
    cl.clear ();
    te.clear ();
    conn.clear ();
  }
};
// Whether the Transfer-Encoding values name exactly the chunked coding.
bool onlychunked (const vec<str> &te);

// The body of a request from its Content-Length and Transfer-Encoding
// header values (every line of each, in order): 1, or -1 for a message
// that must be refused with 400.
int reqbody (const vec<str> &cl, const vec<str> &te, bool http10,
             bodyframe *bf);
// The body of a response to method (HEAD has none) with status: 1, or -1
// for a response that must be refused with 502.
int respbody (int status, bool head, const vec<str> &cl, const vec<str> &te,
              bodyframe *bf);

// The chunked decoder.  feed consumes bytes from the front of [p, p+n),
// stopping after at most one run of body data, which it reports as
// p[*doff .. *doff + *dlen) (dlen 0 for none): call again with the rest.
// 1: the body and its trailers are complete, *used bytes belong to it; 0:
// all is used or a data run was reported, go on; -1: malformed.
class chunkdec {
  int st;          // where in the coding the next byte falls
  uint64_t left;   // data bytes left in the current chunk
  size_t linelen;  // bytes of the current size or trailer line so far
  size_t trailers; // bytes of the trailer section so far
  int digits;      // hex digits of the current size

public:
  chunkdec () { reset (); }
  void reset ();
  int feed (const char *p, size_t n, size_t *used, size_t *doff, size_t *dlen);
  bool done () const;
};

// Hop-by-hop handling for a head passed on.  raw holds header lines
// (each ending in LF, CRLF or not) as the HTTP module keeps them, its
// first line the start line, which is skipped.  The result holds the
// others, each ending in CRLF, except the hop-by-hop ones (Connection and
// every name its values list, Keep-Alive, Proxy-Connection, TE, Trailer,
// Upgrade, Proxy-Authorization, Transfer-Encoding) and those in drop (a
// list of lower-case names, each followed by a NUL, ending with "").
// *date says whether a Date line was kept.
str passlines (const str &raw, const vec<str> &connection, const char *drop,
               bool *date = nullptr);
// Whether the comma-separated values hold tok, letter case ignored.
bool hastoken (const vec<str> &values, const char *tok);

// Whether the request target of n bytes at p is an absolute http URL
// whose authority is a plain host name or IPv4 address and an optional
// port: no user information, no IPv6 literal, nothing the HTTP module's
// URL pattern would stop short of.
bool httptarget (const char *p, size_t n);

// Byte classes of the head rules.
bool tchar (unsigned char c); // a token byte (method, header name)
bool ctl (unsigned char c);   // a control byte other than HTAB

#endif
