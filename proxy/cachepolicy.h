// What a shared HTTP cache may store, for how long, and when a stored
// response may answer a request (RFC 9111): pure decisions over message
// heads and times, no I/O and no clock of its own (every "now" is passed
// in, as time_t seconds, 64-bit on every platform).
//
// A head is a hdrlist: its header lines in arrival order as (name, value)
// pairs, the name as received (compared without regard to letter case),
// the value without its leading and trailing blanks and line end.  A line
// repeated is two entries; nothing is joined.  The proxy builds one from a
// parsed head by splitting each line at its first colon.
//
// Memory: every result is a new str, a value or a flag; nothing here keeps
// a pointer into an argument after returning.
//
// Errors: malformed input is never fatal.  Boolean readers return false and
// leave their outputs untouched; a malformed Cache-Control directive is
// ignored, a malformed freshness value (max-age=abc, an invalid Expires or
// Age) makes the response stale, as the RFC advises.  Single-threaded.
#ifndef OMBRIX_PROXY_CACHEPOLICY_H
#define OMBRIX_PROXY_CACHEPOLICY_H

#include "async/str.h"
#include "async/vec.h"

#include <cstdint>
#include <ctime>

struct hdr {
  str name; // as received
  str val;  // trimmed of blanks at both ends
};
typedef vec<hdr> hdrlist;

// The value of the first line named name (any case); null when none.
str hdr_get (const hdrlist &h, const char *name);
// The values of every line named name, in order, joined by ", " as one
// list; null when none.
str hdr_join (const hdrlist &h, const char *name);
// The number of lines named name.
int hdr_count (const hdrlist &h, const char *name);
void hdr_remove (hdrlist *h, const char *name);
void hdr_add (hdrlist *h, const char *name, const str &val);
// Header lines (no start line, no blank line) to a hdrlist, appended: each
// line "name:" value ending in CRLF or LF, the name a token.  False, with
// h unchanged, for anything else (a continuation line, a bare CR, a control
// byte other than HTAB in a value, a line without its end).
bool hdr_parse (const char *p, size_t n, hdrlist *h);
// The lines again, "name: value\r\n" each, for a stored head.
str hdr_text (const hdrlist &h);

enum : int64_t {
  cp_deltamax = int64_t (1) << 31, // a larger delta-seconds reads as this
  cp_heuristicmax = 86400,         // cap on a heuristic lifetime
};

// An HTTP date in one of its three forms, strictly: IMF-fixdate "Sun, 06
// Nov 1994 08:49:37 GMT", RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT" (a
// two-digit year more than 50 years ahead of now is in the past century)
// and asctime "Sun Nov  6 08:49:37 1994".  Names in any letter case; the
// weekday is not checked against the date.  Single spaces only, two-digit
// hours, only GMT; years 1 to 9999.  now matters only for RFC 850.
bool cp_date (const char *p, size_t n, time_t now, time_t *t);

// Cache-Control directives of a request or a response, from every line of
// the header.  Names in any case; values a token or a quoted-string.  For a
// directive given twice the first counts.  A delta-seconds value that is
// not all digits reads as 0 (stale); a huge one as cp_deltamax.
struct ccdirs {
  bool no_store;
  bool no_cache;   // qualified or not: revalidate every time
  bool is_private; // qualified or not: a shared cache never stores
  bool is_public;
  bool must_revalidate; // must-revalidate or proxy-revalidate
  bool must_understand; // store only for a status this cache knows
  bool only_if_cached;  // request: answer 504 rather than forward
  int64_t max_age;      // -1 absent
  int64_t s_maxage;     // -1 absent
  int64_t max_stale;    // request; -1 absent, cp_deltamax with no value
  int64_t min_fresh;    // request; -1 absent
};
void cc_parse (ccdirs *cc, const hdrlist &h);
// The directives of one header value (a line, or lines joined by ", ") on
// top of those already in cc.
void cc_parseval (ccdirs *cc, const char *p, size_t n);
void cc_clear (ccdirs *cc);
// A request's directives, with Pragma: no-cache standing in for
// Cache-Control: no-cache when the request has no Cache-Control at all.
void cc_request (ccdirs *cc, const hdrlist &req);

// The Age header: false when absent; true with *age = the value when it
// is one line of digits alone (cp_deltamax from 2^31 up) and with *age =
// cp_deltamax when it is anything else (several values, a sign, a
// fraction, a parameter), which makes the response stale.
bool cp_age (const hdrlist &h, int64_t *age);

// The Vary header as a set of lower-cased field names, sorted, without
// repeats: 1 with *names set, 0 when there is no Vary (names emptied), -1
// for "*" anywhere (never served from the cache).
int cp_vary (const hdrlist &resp, vec<str> *names);
// The secondary key of a request under the field names of cp_vary: for
// each name its values joined, blanks runs made one space; an absent
// header differs from an empty one.  "" for no names.
str cp_varykey (const vec<str> &names, const hdrlist &req);

// Whether a status is understood, and whether heuristic freshness may
// apply to it.
bool cp_status_known (int status);
bool cp_status_heuristic (int status);

// Whether a shared cache may store the response to a request: GET, a
// final status other than 206 and 304 that this cache knows when
// must-understand is given, no no-store on either side, no private, no
// Vary: *, Authorization only with public, must-revalidate or s-maxage,
// and something that makes it reusable (explicit freshness, public, a
// heuristic status or no-cache with a validator).
bool cp_storable (const char *method, const hdrlist &req, int status,
                  const hdrlist &resp);

// What the store keeps beside a response for the decisions that follow.
struct cachemeta {
  int status;
  time_t response_time; // when the head arrived
  int64_t initial_age;  // corrected initial age (RFC 9111 4.2.3)
  int64_t lifetime;     // freshness lifetime; 0 stale from the start
  bool heuristic;       // lifetime from Last-Modified
  bool no_cache;        // revalidate before every use
  bool no_stale;        // must-revalidate, proxy-revalidate or s-maxage
  bool validator;       // has ETag or Last-Modified
};
// req_time: when the request that brought it was sent; resp_time: when
// its head arrived (resp_time >= req_time).
void cp_meta (cachemeta *m, int status, const hdrlist &resp, time_t req_time,
              time_t resp_time);
// The freshness lifetime alone: s-maxage, max-age, Expires - Date (an
// invalid or repeated Expires: 0), else heuristic (10 % of Date -
// Last-Modified, at most cp_heuristicmax) for a heuristic status or a
// public response; *heuristic says which.
int64_t cp_lifetime (const hdrlist &resp, int status, time_t resp_time,
                     bool *heuristic);
// Current age at now: never negative, saturated at cp_deltamax.
int64_t cp_current_age (const cachemeta &m, time_t now);

// Whether a stored response may answer a request at now without going to
// the origin: 1 yes, 0 only after revalidation (or a new fetch when it has
// no validator).  Request no-cache, max-age, min-fresh and max-stale apply;
// a stale response with no_stale never goes out unvalidated.
int cp_usable (const cachemeta &m, const hdrlist &req, time_t now);
// Whether a stored response no longer usable may still answer a request
// because the origin cannot be reached (refused, closed or timed out
// before answering: the cache is disconnected, RFC 9111 4.2.4): not when
// the response forbids it (no-cache, must-revalidate, proxy-revalidate,
// s-maxage) nor when the request asks for a fresh one (no-cache, max-age
// or min-fresh without max-stale) or one less stale (max-stale) at now.
bool cp_staleok (const cachemeta &m, const hdrlist &req, time_t now);

// The conditional headers for revalidating a stored response: appends
// If-None-Match with its ETag and If-Modified-Since with its Last-Modified
// (when that is a valid date) to out.  False when it has neither.
bool cp_conditional (const hdrlist &stored, hdrlist *out);
// Whether a request's own conditionals are satisfied by the stored
// response, so that 304 may answer it: If-None-Match (weak comparison,
// "*" matches) when present, else If-Modified-Since against
// Last-Modified (or Date).
bool cp_notmodified (const hdrlist &req, const hdrlist &stored, time_t now);

// Whether a header of a response goes into the store at all: hop-by-hop
// and connection-specific fields do not.
bool cp_storedhdr (const char *name, size_t n);
// Removes from a head what is not stored or passed on: the fields
// cp_storedhdr refuses and every field the Connection header names.
void cp_strip (hdrlist *h);
// Applies a 304's headers to the stored head: each stored field the 304
// carries is replaced by its lines, except Content-Length and the fields
// describing the stored content (Content-Encoding, Content-MD5,
// Content-Range, ETag), which keep their stored values.
void cp_update (hdrlist *stored, const hdrlist &h304);

// The URLs a request invalidates once its response is in: for an unsafe
// method (anything but GET, HEAD, OPTIONS, TRACE) with a 2xx or 3xx
// answer, the target url and the Location and Content-Location of the
// response when on the same origin.  url is normalised ("http://" host
// [":" port] path); the URLs appended to out are in the same form.
void cp_invalidates (const char *method, int status, const str &url,
                     const hdrlist &resp, vec<str> *out);
// A reference (absolute, network-path, absolute-path or relative) read
// against base, in the normalised form; null when not an http URL.
str cp_resolve (const str &base, const char *ref, size_t n);

#endif
