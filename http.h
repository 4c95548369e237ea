// HTTP message heads: incremental parsers for the head of a request a
// client sends to the proxy (httpreq) and of a response an origin server
// sends back (httpresp), over a common base (httpparse) that takes logical
// header lines off the front of a suio; and the error responses the proxy
// answers with itself (httperror), dated with httptime.
//
// Memory: a parser owns its fields (counted strs) and the builder behind
// headers (), which holds the head to be passed on: lines read where they
// lie in the caller's suio are copied into it, and a line that had to be
// gathered from several entries is kept by reference to its own counted
// block, so the builder's ranges stay valid while the parser lives and is
// not reset.  Nothing refers to the caller's bytes once parse returns.
// The const char * accessors of httpreq point into its strs: valid until the
// field is set again, the next reset (httpreq_parse resets first) or the
// parser's end.
//
// Errors: malformed input is never a panic, only a -1 result (and a false
// from the boolean helpers, which then leave their outputs untouched).
// No input, of any length, makes a parser panic: heads are read by
// hand-written splitters, not by the module's four patterns (compiled at
// start-up, they describe the same language).  Misuse (removing more
// bytes than a suio holds, a null str to httperror) is the standard
// assertion; hdrval on a line without the header form and httptime on a
// clock outside the years 1000 to 9999 are panics.  Not thread-safe:
// httperror computes its server name once, unlocked.
#ifndef OMBRIX_HTTP_H
#define OMBRIX_HTTP_H

#include "async/str.h"
#include "async/suio.h"

#include <ctime>
#include <sys/types.h>

class httpparse {
public:
  virtual ~httpparse () {}
  httpparse (const httpparse &) = delete;
  httpparse &operator= (const httpparse &) = delete;

protected:
  // Takes the first logical line, line end included; false rejects the
  // message.  Writes into _headers whatever first line is passed on.
  virtual bool dofirst (str line) = 0;
  // Takes a lower-cased header name and its value; true consumes the
  // header, false has parse append the raw line to _headers.
  virtual bool doheader (str name, str val) = 0;

  bool firstdone;  // dofirst has accepted the first line
  strbuf _headers; // the head to pass on, without its blank line

  httpparse () : firstdone (false) {}
  // What every derived reset does first: firstdone false, _headers empty.
  void resetbase ();

private:
  int takeline (const char *p, size_t n, bool blank, const str &copy);

public:
  // Consumes complete logical lines from the front of uio: 1 once the
  // blank line ending the head is consumed (later bytes stay), 0 when more
  // bytes are needed, -1 for a first line dofirst rejects or a header line
  // without the form name ":" value.  Lines consumed stay consumed and
  // keep their effect whatever the result; after 0 append more bytes to
  // the same uio and call again.
  int parse (suio *uio);
  const strbuf &headers () const { return _headers; }

  // One logical line (continuation lines folded in unchanged, line ends
  // kept) taken off the front of uio; "" for a blank line; null, with
  // nothing removed, while the line or the byte after it is missing.
  static str gethdr (suio *uio);
  // The lower-cased name of a header line; null without the header form.
  static str hdrname (str hdr);
  // The value of a header line, less one CR at its end; panics with
  // "hdrval: bad header: <line>\n" on a line without the header form.
  static str hdrval (str hdr);

  // A request line: its method, upper-cased, and its absolute http URL
  // normalised ("http://" host [":" port] path, the port only when not
  // 80, the host lower-cased, "/" for no path).
  static bool parsereq (str *method, str *url, str line);
  // An absolute http URL: lower-cased host, port (80 when absent; a port
  // of more than 65535 fails) and path ("/" when absent).
  static bool parseurl (str *host, u_int16_t *port, str *path, str url);
  // A status line: the code (100 to 599) and the rest of the line after
  // the white space that follows the code, a CR before the LF included.
  static bool parseresp (int *status, str *msg, str line);
  // Whether val holds pragma as one of its comma-separated elements,
  // letter case ignored.
  static bool checkpragma (str val, str pragma);
  // An RFC 1123 or asctime date read as UTC, in seconds since the epoch;
  // -1 when unreadable.
  static time_t parsetime (const char *text);
};

// The head of a request to the proxy.  _headers receives the request line
// "METHOD path HTTP/1.0\r\n" and every client header but If-Modified-Since.
class httpreq : public httpparse {
protected:
  bool dofirst (str line) override;
  bool doheader (str name, str val) override;

public:
  bool nocache;             // a Pragma header named no-cache
  time_t if_modified_since; // -1: none, or unreadable

protected:
  int _content_length; // -1: none; saturated at the int limits

public:
  str authorization; // null: none

protected:
  str _method;     // upper-cased
  str _host;       // lower-cased
  u_int16_t _port; // 80 when the URL names none
  str _path;       // query included; "/" when the URL has none
  str _url;        // the normalised URL
  str _urlhash;    // hashstr (_url): 32 base-32 characters

public:
  httpreq () { reset (); }
  // Back to the state before any head: everything absent, port 0.
  void reset ();

  const char *method () const { return _method.cstr (); }
  const char *host () const { return _host.cstr (); }
  const char *path () const { return _path.cstr (); }
  const char *url () const { return _url.cstr (); }
  const char *urlhash () const { return _urlhash.cstr (); }
  u_int16_t port () const { return _port; }
  int content_length () const { return _content_length; }
};

// The head of a response from an origin server.  Every line, the status
// line first, is passed on unchanged in _headers.
class httpresp : public httpparse {
protected:
  bool dofirst (str line) override;
  bool doheader (str name, str val) override;

public:
  int status;    // 0 until a status line is read
  str statusmsg; // null until a status line is read
  bool nocache;  // a Pragma header named no-cache
  time_t date;   // the times: -1 absent or unreadable
  time_t expires;
  time_t last_modified;

protected:
  int _content_length; // -1: none; saturated at the int limits

public:
  httpresp () { reset (); }
  // Back to the state before any head: every field absent.
  void reset ();

  int content_length () const { return _content_length; }
};

// Removes the first n bytes of uio (which must hold them) and returns them
// as a new str.
str suio_remstr (suio *uio, size_t n);
// The SHA-1 digest of src's bytes in base-32: 32 characters.
str hashstr (str src);
// Resets resp and parses the head in the len bytes at buf, which must stay
// unchanged during the call: the head's length (blank line included; a
// body after it is not counted) when complete, 0 while incomplete (call
// again with more bytes behind the same start), -1 when malformed or longer
// than INT_MAX bytes.
int httpreq_parse (httpreq *resp, const char *buf, size_t len);

// ---- Error responses and dates ----
//
// httperror builds the whole HTTP/1.0 response the proxy sends when it
// cannot fetch url: the status line "HTTP/1.0 <status, at least three
// digits> <statmsg>", the headers Mime-Version, Content-Type,
// Content-Length, Server, Date and Expires (the last two the same date),
// a blank line and an HTML page that names url, shows description and is
// signed "<server name> at <host name>".  The server name is computed at
// the first call from the password entry of the login name (else of the
// real user id): "<full name>'s proxy server", or "Ombrix proxy server"
// when there is no entry or its full-name field is empty; it is kept for
// the life of the process.  The host name is myname () at every call, or
// the plain host name when the host has no fully qualified one.  Every
// text inserted into the page is HTML-escaped (& < > " ' as entities);
// a CR or LF in statmsg becomes a space, so the status line stays one
// line.  The three strs must not be null (the standard assertion); the
// result is a new str the caller owns.
str httperror (int status, str statmsg, str url, str description);
// The current time as an HTTP date in GMT, always 29 characters:
// "Sun, 06 Nov 1994 08:49:37 GMT", English names whatever the locale.  A
// clock outside the years 1000 to 9999 is a panic (assertion "n == 29").
str httptime ();

#endif
