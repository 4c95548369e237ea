// Where a client connection takes a response from: a source (today an
// origin fetch, later also a stored object) hands a sink the response
// head, then the body in pieces, then the end.
//
// Memory: the sink owns the source and deletes it, but never from inside
// src_head or src_body; src_end is the source's last act, after which the
// sink may delete it at once.  Body bytes arrive in a suio the sink takes
// them from (suio::take keeps the pieces referenced, not copied).  The
// resphead passed to src_head is valid during the call.
#ifndef OMBRIX_PROXY_SOURCE_H
#define OMBRIX_PROXY_SOURCE_H

#include "async/str.h"
#include "async/suio.h"
#include "proxy/framing.h"

#include <cstdint>

// A response head ready to pass on.
struct resphead {
  int status;     // 200 to 599
  str reason;     // the reason phrase, maybe empty
  str lines;      // end-to-end header lines, each ending in CRLF
  bodyframe body; // how the body comes, as the source framed it
  bool hasdate;   // lines hold a Date
  bool keeplen;   // no body follows, lines keep their Content-Length
  const char *result = nullptr; // for the access log; null: TCP_MISS
};

class sink {
public:
  virtual ~sink () {}
  virtual void src_head (const resphead *h) = 0;
  // Takes every byte of data.
  virtual void src_body (suio *data) = 0;
  // err 0: complete.  Otherwise failed: before a head, status (502, 504)
  // and why say what to answer; after one, the client is cut off.
  virtual void src_end (int err, int status, const char *why) = 0;
  // The sink holds enough: the source stops until resume ().
  virtual bool src_full () = 0;
  // The source can take request body bytes again after saying full.
  virtual void src_wantbody () = 0;
  // Body bytes straight from a file: len bytes at off in fd, which stays
  // open until the source ends.  False when the sink cannot (then
  // src_body); true and the sink says full until they are sent.
  virtual bool src_file (int fd, uint64_t off, uint64_t len)
  {
    (void) fd, (void) off, (void) len;
    return false;
  }
};

class source {
public:
  virtual ~source () {}
  virtual void start () = 0;
  virtual void resume () = 0;
  // Request body bytes (decoded) for the origin; end after the last.
  virtual void reqbody (const char *p, size_t n) = 0;
  virtual void reqend () = 0;
  // Holds enough request body: stop feeding until src_wantbody.
  virtual bool reqfull () = 0;
};

#endif
