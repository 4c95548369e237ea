// Shared-cache decisions; see cachepolicy.h.
#include "proxy/cachepolicy.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <strings.h>
#include <vector>

namespace {

// A vec's elements for a range-for.
template <class T>
struct span_ {
  const T *b, *e;
  const T *begin () const { return b; }
  const T *end () const { return e; }
};
template <class T, size_t N>
span_<T>
each (const vec<T, N> &v)
{
  return span_<T>{v.base (), v.lim ()};
}

bool
iseq (const str &a, const char *b)
{
  return a && a.len () == strlen (b) && !strncasecmp (a.cstr (), b, a.len ());
}

bool
isblank_ (char c)
{
  return c == ' ' || c == '\t';
}

bool
isdigit_ (char c)
{
  return c >= '0' && c <= '9';
}

char
lower (char c)
{
  return c >= 'A' && c <= 'Z' ? char (c | 0x20) : c;
}

std::string
lowname (const str &s)
{
  std::string n (s.cstr (), s.len ());
  std::transform (n.begin (), n.end (), n.begin (), lower);
  return n;
}

// tchar of RFC 9110.
bool
istoken (char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z') || (c && strchr ("!#$%&'*+-.^_`|~", c));
}

// 1*DIGIT, saturated at cp_deltamax; false for anything else.
bool
delta (const char *p, size_t n, int64_t *v)
{
  if (!n)
    return false;
  int64_t x = 0;
  for (size_t i = 0; i < n; i++) {
    if (!isdigit_ (p[i]))
      return false;
    x = std::min<int64_t> (x * 10 + (p[i] - '0'), cp_deltamax);
  }
  *v = x;
  return true;
}

int64_t
satadd (int64_t a, int64_t b)
{
  return std::min<int64_t> (a + b, cp_deltamax);
}

} // namespace

// ---- Heads ----

str
hdr_get (const hdrlist &h, const char *name)
{
  for (const hdr &x : each (h))
    if (iseq (x.name, name))
      return x.val;
  return str ();
}

str
hdr_join (const hdrlist &h, const char *name)
{
  strbuf sb;
  bool any = false;
  for (const hdr &x : each (h))
    if (iseq (x.name, name)) {
      if (any)
        sb << ", ";
      sb << x.val;
      any = true;
    }
  return any ? str (sb) : str ();
}

int
hdr_count (const hdrlist &h, const char *name)
{
  int n = 0;
  for (const hdr &x : each (h))
    n += iseq (x.name, name);
  return n;
}

void
hdr_remove (hdrlist *h, const char *name)
{
  hdrlist keep;
  for (const hdr &x : each (*h))
    if (!iseq (x.name, name))
      keep.push_back (x);
  *h = keep;
}

void
hdr_add (hdrlist *h, const char *name, const str &val)
{
  h->push_back (hdr{str (name), val});
}

bool
hdr_parse (const char *p, size_t n, hdrlist *h)
{
  const char *e = p + n;
  hdrlist out;
  while (p < e) {
    const char *name = p;
    while (p < e && istoken (*p))
      p++;
    if (p == name || p == e || *p != ':')
      return false;
    str nm (name, p - name);
    const char *v = ++p;
    while (p < e && *p != '\r' && *p != '\n' &&
           (uint8_t (*p) >= 0x20 || *p == '\t') && *p != 0x7f)
      p++;
    const char *ve = p;
    if (p < e && *p == '\r')
      p++;
    if (p == e || *p != '\n')
      return false;
    p++;
    while (v < ve && isblank_ (*v))
      v++;
    while (ve > v && isblank_ (ve[-1]))
      ve--;
    out.push_back (hdr{nm, str (v, ve - v)});
  }
  for (const hdr &x : each (out))
    h->push_back (x);
  return true;
}

str
hdr_text (const hdrlist &h)
{
  strbuf sb;
  for (const hdr &x : each (h))
    sb << x.name << ": " << x.val << "\r\n";
  return sb;
}

// ---- Dates ----

namespace {

const char *const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                              "jul", "aug", "sep", "oct", "nov", "dec"};
const char *const days[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
const char *const longdays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                "friday", "saturday", "sunday"};

// A cursor over a date text; every step fails once one has failed.
struct datein {
  const char *p, *e;
  bool ok = true;

  bool lit (const char *s)
  {
    size_t n = strlen (s);
    ok = ok && size_t (e - p) >= n && !strncasecmp (p, s, n);
    if (ok)
      p += n;
    return ok;
  }
  // Exactly n digits.
  int num (int n)
  {
    int v = 0;
    for (int i = 0; ok && i < n; i++, p++) {
      ok = p < e && isdigit_ (*p);
      v = v * 10 + (ok ? *p - '0' : 0);
    }
    return v;
  }
  // One of names (any case), its index.
  int name (const char *const *names, int count)
  {
    for (int i = 0; ok && i < count; i++) {
      size_t n = strlen (names[i]);
      if (size_t (e - p) >= n && !strncasecmp (p, names[i], n)) {
        p += n;
        return i;
      }
    }
    ok = false;
    return 0;
  }
  void time (int *h, int *m, int *s)
  {
    *h = num (2), lit (":"), *m = num (2), lit (":"), *s = num (2);
    ok = ok && *h < 24 && *m < 60 && *s <= 60;
  }
};

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t
civildays (int64_t y, int m, int d)
{
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool
leap (int y)
{
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool
mktime_ (int y, int mon, int d, int h, int mi, int s, time_t *t)
{
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || d < 1 || d > mdays[mon] + (mon == 1 && leap (y)))
    return false;
  int64_t v = civildays (y, mon + 1, d) * 86400 + h * 3600 + mi * 60 + s;
  if (sizeof (time_t) < sizeof (int64_t) && v != int64_t (time_t (v)))
    return false;
  *t = time_t (v);
  return true;
}

int
yearof (time_t now)
{
  int64_t days = int64_t (now) / 86400 - (now % 86400 < 0);
  // Close enough for the 50-year window: 365.2425 days a year.
  return int (1970 + (days * 400) / 146097);
}

} // namespace

bool
cp_date (const char *p, size_t n, time_t now, time_t *t)
{
  int y, mon, d, h, mi, s;
  datein in{p, p + n};
  if (n == 29) { // IMF-fixdate
    in.name (days, 7), in.lit (", "), d = in.num (2), in.lit (" ");
    mon = in.name (months, 12), in.lit (" "), y = in.num (4), in.lit (" ");
    in.time (&h, &mi, &s), in.lit (" GMT");
  } else if (n == 24 && p[3] == ' ') { // asctime
    in.name (days, 7), in.lit (" "), mon = in.name (months, 12), in.lit (" ");
    if (in.ok && in.p < in.e && *in.p == ' ')
      in.p++, d = in.num (1);
    else
      d = in.num (2);
    in.lit (" "), in.time (&h, &mi, &s), in.lit (" "), y = in.num (4);
  } else { // RFC 850
    in.name (longdays, 7), in.lit (", "), d = in.num (2), in.lit ("-");
    mon = in.name (months, 12), in.lit ("-"), y = in.num (2), in.lit (" ");
    in.time (&h, &mi, &s), in.lit (" GMT");
    int cur = yearof (now);
    y += cur - cur % 100;
    if (y > cur + 50)
      y -= 100;
  }
  return in.ok && in.p == in.e && mktime_ (y, mon, d, h, mi, s, t);
}

// ---- Cache-Control ----

void
cc_clear (ccdirs *cc)
{
  *cc = ccdirs{};
  cc->max_age = cc->s_maxage = cc->max_stale = cc->min_fresh = -1;
}

namespace {

// A delta-seconds directive: the first occurrence counts; no value or a
// value that is not 1*DIGIT reads as 0.
void
setdelta (int64_t *field, const str &val, bool hasval)
{
  if (*field >= 0)
    return;
  int64_t v = 0;
  if (hasval && !delta (val.cstr (), val.len (), &v))
    v = 0;
  *field = v;
}

void
apply (ccdirs *cc, const str &name, const str &val, bool hasval)
{
  if (iseq (name, "no-store"))
    cc->no_store = true;
  else if (iseq (name, "no-cache"))
    cc->no_cache = true;
  else if (iseq (name, "private"))
    cc->is_private = true;
  else if (iseq (name, "public"))
    cc->is_public = true;
  else if (iseq (name, "must-revalidate") || iseq (name, "proxy-revalidate"))
    cc->must_revalidate = true;
  else if (iseq (name, "must-understand"))
    cc->must_understand = true;
  else if (iseq (name, "only-if-cached"))
    cc->only_if_cached = true;
  else if (iseq (name, "max-age"))
    setdelta (&cc->max_age, val, hasval);
  else if (iseq (name, "s-maxage"))
    setdelta (&cc->s_maxage, val, hasval);
  else if (iseq (name, "min-fresh"))
    setdelta (&cc->min_fresh, val, hasval);
  else if (iseq (name, "max-stale")) {
    if (!hasval && cc->max_stale < 0)
      cc->max_stale = cp_deltamax;
    setdelta (&cc->max_stale, val, hasval);
  }
}

// A quoted-string at p (on its opening quote): its unescaped contents,
// p moved past the closing quote; false when it is not closed.
bool
quoted (const char **pp, const char *e, str *out)
{
  strbuf sb;
  for (const char *p = *pp + 1; p < e; p++) {
    if (*p == '"') {
      *out = sb;
      *pp = p + 1;
      return true;
    }
    if (*p == '\\' && p + 1 < e)
      p++;
    sb.buf (p, 1);
  }
  return false;
}

// Moves p to the next comma outside a quoted-string, or to e.
const char *
nextcomma (const char *p, const char *e)
{
  for (bool q = false; p < e; p++) {
    if (q && *p == '\\')
      p++;
    else if (*p == '"')
      q = !q;
    else if (*p == ',' && !q)
      break;
  }
  return p < e ? p : e;
}

// Calls f with each element of a comma-separated list, blanks around it
// removed, empty ones skipped, until f returns true; whether one did.
// With quotes, a comma inside a quoted-string does not split.
template <class F>
bool
elements (const str &v, bool quotes, F f)
{
  const char *p = v.cstr (), *e = p + v.len ();
  while (p < e) {
    while (p < e && (isblank_ (*p) || *p == ','))
      p++;
    const char *t = p;
    p = quotes ? nextcomma (p, e) : std::find (p, e, ',');
    const char *te = p;
    while (te > t && isblank_ (te[-1]))
      te--;
    if (te > t && f (t, size_t (te - t)))
      return true;
  }
  return false;
}

} // namespace

void
cc_parseval (ccdirs *cc, const char *p, size_t n)
{
  const char *e = p + n;
  while (p < e) {
    while (p < e && (isblank_ (*p) || *p == ','))
      p++;
    const char *name = p;
    while (p < e && istoken (*p))
      p++;
    str nm (name, p - name), val;
    bool hasval = false, ok = p > name;
    if (ok && p < e && *p == '=') {
      hasval = true;
      if (++p < e && *p == '"')
        ok = quoted (&p, e, &val);
      else {
        const char *v = p;
        while (p < e && istoken (*p))
          p++;
        val = str (v, p - v);
        ok = p > v;
      }
    }
    while (p < e && isblank_ (*p))
      p++;
    ok = ok && (p == e || *p == ',');
    if (ok)
      apply (cc, nm, val, hasval);
    p = nextcomma (p, e);
  }
}

void
cc_parse (ccdirs *cc, const hdrlist &h)
{
  cc_clear (cc);
  for (const hdr &x : each (h))
    if (iseq (x.name, "cache-control"))
      cc_parseval (cc, x.val.cstr (), x.val.len ());
}

void
cc_request (ccdirs *cc, const hdrlist &req)
{
  cc_parse (cc, req);
  if (hdr_count (req, "cache-control"))
    return;
  for (const hdr &x : each (req))
    if (iseq (x.name, "pragma") &&
        elements (x.val, true, [] (const char *t, size_t n) {
          return n == 8 && !strncasecmp (t, "no-cache", 8);
        }))
      cc->no_cache = true;
}

bool
cp_age (const hdrlist &h, int64_t *age)
{
  int n = hdr_count (h, "age");
  if (!n)
    return false;
  str v = hdr_get (h, "age");
  if (n > 1 || !delta (v.cstr (), v.len (), age))
    *age = cp_deltamax;
  return true;
}

// ---- Vary ----

int
cp_vary (const hdrlist &resp, vec<str> *names)
{
  names->clear ();
  std::vector<std::string> v;
  for (const hdr &x : each (resp))
    if (iseq (x.name, "vary") &&
        elements (x.val, false, [&v] (const char *t, size_t n) {
          v.push_back (lowname (str (t, n)));
          return v.back () == "*";
        }))
      return -1;
  std::sort (v.begin (), v.end ());
  v.erase (std::unique (v.begin (), v.end ()), v.end ());
  for (const std::string &s : v)
    names->push_back (str (s.data (), s.size ()));
  return v.empty () ? 0 : 1;
}

str
cp_varykey (const vec<str> &names, const hdrlist &req)
{
  // One pass over the request: the named fields' values, lines joined.
  std::map<std::string, std::string> vals;
  for (const str &n : each (names))
    vals.emplace (lowname (n), std::string ());
  std::set<std::string> seen;
  for (const hdr &x : each (req)) {
    auto it = vals.find (lowname (x.name));
    if (it == vals.end ())
      continue;
    if (!seen.insert (it->first).second)
      it->second += ", ";
    it->second.append (x.val.cstr (), x.val.len ());
  }
  std::string k;
  for (const str &n : each (names)) {
    std::string name = lowname (n);
    k += name;
    if (!seen.count (name)) {
      k += "!\n"; // absent, unlike any value
      continue;
    }
    k += ':';
    bool blank = false;
    for (char c : vals[name]) {
      if (isblank_ (c)) {
        blank = true;
        continue;
      }
      // Blanks next to a comma say nothing; elsewhere they count once.
      if (blank && c != ',' && k.back () != ',' && k.back () != ':')
        k += ' ';
      blank = false;
      k += c;
    }
    k += '\n';
  }
  return str (k.data (), k.size ());
}

// ---- Storing ----

bool
cp_status_known (int s)
{
  return (s >= 200 && s <= 208) || s == 226 || (s >= 300 && s <= 308) ||
         (s >= 400 && s <= 418) || (s >= 421 && s <= 426) || s == 428 ||
         s == 429 || s == 431 || s == 451 || (s >= 500 && s <= 508) ||
         s == 510 || s == 511;
}

bool
cp_status_heuristic (int s)
{
  switch (s) {
  case 200:
  case 203:
  case 204:
  case 206:
  case 300:
  case 301:
  case 308:
  case 404:
  case 405:
  case 410:
  case 414:
  case 501:
    return true;
  }
  return false;
}

bool
cp_storable (const char *method, const hdrlist &req, int status,
             const hdrlist &resp)
{
  if (!method || strcmp (method, "GET") || status < 200 || status > 599 ||
      status == 206 || status == 304)
    return false;
  ccdirs rq, rs;
  cc_parse (&rq, req);
  cc_parse (&rs, resp);
  vec<str> names;
  if (rq.no_store || rs.no_store || rs.is_private || cp_vary (resp, &names) < 0)
    return false;
  if (rs.must_understand && !cp_status_known (status))
    return false;
  if (hdr_count (req, "authorization") && !rs.is_public &&
      !rs.must_revalidate && rs.s_maxage < 0)
    return false;
  return rs.is_public || rs.max_age >= 0 || rs.s_maxage >= 0 ||
         hdr_count (resp, "expires") || cp_status_heuristic (status);
}

// ---- Freshness ----

namespace {

// A header holding one valid date: false when absent, repeated or invalid.
bool
datehdr (const hdrlist &h, const char *name, time_t now, time_t *t)
{
  if (hdr_count (h, name) != 1)
    return false;
  str v = hdr_get (h, name);
  return cp_date (v.cstr (), v.len (), now, t);
}

int64_t
clampdelta (int64_t v)
{
  return std::max<int64_t> (0, std::min<int64_t> (v, cp_deltamax));
}

} // namespace

int64_t
cp_lifetime (const hdrlist &resp, int status, time_t resp_time, bool *heuristic)
{
  *heuristic = false;
  ccdirs cc;
  cc_parse (&cc, resp);
  if (cc.s_maxage >= 0)
    return cc.s_maxage;
  if (cc.max_age >= 0)
    return cc.max_age;
  time_t date = resp_time, exp, lm;
  datehdr (resp, "date", resp_time, &date);
  if (hdr_count (resp, "expires")) {
    if (!datehdr (resp, "expires", resp_time, &exp))
      return 0;
    return clampdelta (int64_t (exp) - int64_t (date));
  }
  if (!(cp_status_heuristic (status) || cc.is_public) ||
      !datehdr (resp, "last-modified", resp_time, &lm))
    return 0;
  *heuristic = true;
  return std::min<int64_t> (clampdelta (int64_t (date) - lm) / 10,
                            cp_heuristicmax);
}

void
cp_meta (cachemeta *m, int status, const hdrlist &resp, time_t req_time,
         time_t resp_time)
{
  ccdirs cc;
  cc_parse (&cc, resp);
  time_t date = resp_time, lm;
  datehdr (resp, "date", resp_time, &date);
  int64_t age = 0;
  cp_age (resp, &age);
  int64_t apparent = clampdelta (int64_t (resp_time) - date);
  int64_t corrected = satadd (age, clampdelta (int64_t (resp_time) - req_time));
  m->status = status;
  m->response_time = resp_time;
  m->initial_age = std::max (apparent, corrected);
  m->lifetime = cp_lifetime (resp, status, resp_time, &m->heuristic);
  m->no_cache = cc.no_cache;
  m->no_stale = cc.must_revalidate || cc.s_maxage >= 0;
  m->validator = hdr_count (resp, "etag") ||
                 datehdr (resp, "last-modified", resp_time, &lm);
}

int64_t
cp_current_age (const cachemeta &m, time_t now)
{
  return satadd (m.initial_age,
                 clampdelta (int64_t (now) - int64_t (m.response_time)));
}

int
cp_usable (const cachemeta &m, const hdrlist &req, time_t now)
{
  ccdirs rc;
  cc_request (&rc, req);
  if (m.no_cache || rc.no_cache)
    return 0;
  int64_t age = cp_current_age (m, now);
  int64_t left = m.lifetime - age; // > 0 while fresh
  if ((rc.max_age >= 0 && age > rc.max_age) ||
      (rc.min_fresh >= 0 && left < rc.min_fresh))
    return 0;
  if (left > 0)
    return 1;
  return !m.no_stale && rc.max_stale >= 0 && -left <= rc.max_stale;
}

bool
cp_staleok (const cachemeta &m, const hdrlist &req, time_t now)
{
  ccdirs rc;
  cc_request (&rc, req);
  if (m.no_cache || m.no_stale || rc.no_cache)
    return false;
  if (rc.max_stale >= 0) // how stale the client takes, whatever else
    return cp_current_age (m, now) - m.lifetime <= rc.max_stale;
  return rc.max_age < 0 && rc.min_fresh < 0;
}

// ---- Validation ----

bool
cp_conditional (const hdrlist &stored, hdrlist *out)
{
  bool any = false;
  if (str etag = hdr_get (stored, "etag")) {
    hdr_add (out, "If-None-Match", etag);
    any = true;
  }
  time_t t;
  if (datehdr (stored, "last-modified", 0, &t)) {
    hdr_add (out, "If-Modified-Since", hdr_get (stored, "last-modified"));
    any = true;
  }
  return any;
}

namespace {

// An entity-tag without its weak prefix.
str
opaque (const char *p, size_t n)
{
  if (n >= 2 && p[0] == 'W' && p[1] == '/')
    p += 2, n -= 2;
  return str (p, n);
}

bool
etagmatch (const str &list, const str &etag)
{
  str mine = opaque (etag.cstr (), etag.len ());
  return elements (list, true, [&mine] (const char *t, size_t n) {
    return (n == 1 && *t == '*') || opaque (t, n) == mine;
  });
}

} // namespace

bool
cp_notmodified (const hdrlist &req, const hdrlist &stored, time_t now)
{
  if (str inm = hdr_join (req, "if-none-match")) {
    str etag = hdr_get (stored, "etag");
    return etag && etagmatch (inm, etag);
  }
  time_t ims, lm;
  return datehdr (req, "if-modified-since", now, &ims) &&
         datehdr (stored, "last-modified", now, &lm) && lm <= ims;
}

bool
cp_storedhdr (const char *name, size_t n)
{
  static const char *const hop[] = {"connection",
                                    "keep-alive",
                                    "proxy-connection",
                                    "te",
                                    "trailer",
                                    "transfer-encoding",
                                    "upgrade",
                                    "proxy-authenticate",
                                    "proxy-authentication-info",
                                    "proxy-authorization"};
  for (const char *h : hop)
    if (strlen (h) == n && !strncasecmp (h, name, n))
      return false;
  return true;
}

// Both walk each list once, with the names to drop or replace in a set:
// a head of many lines against a list of many names stays cheap.
void
cp_strip (hdrlist *h)
{
  std::set<std::string> named;
  for (const hdr &x : each (*h))
    if (iseq (x.name, "connection"))
      elements (x.val, true, [&named] (const char *t, size_t n) {
        named.insert (lowname (str (t, n)));
        return false;
      });
  hdrlist keep;
  for (const hdr &x : each (*h))
    if (cp_storedhdr (x.name.cstr (), x.name.len ()) &&
        !named.count (lowname (x.name)))
      keep.push_back (x);
  *h = keep;
}

void
cp_update (hdrlist *stored, const hdrlist &h304)
{
  static const char *const keep[] = {"content-length", "content-encoding",
                                     "content-md5", "content-range", "etag"};
  std::set<std::string> repl;
  for (const hdr &x : each (h304))
    if (cp_storedhdr (x.name.cstr (), x.name.len ()))
      repl.insert (lowname (x.name));
  for (const char *k : keep)
    repl.erase (k);
  hdrlist out;
  for (const hdr &x : each (*stored))
    if (!repl.count (lowname (x.name)))
      out.push_back (x);
  for (const hdr &x : each (h304))
    if (repl.count (lowname (x.name)))
      out.push_back (x);
  *stored = out;
}

// ---- Invalidation ----

namespace {

// The length of the origin part ("http://host[:port]") of a normalised URL.
size_t
originlen (const str &url)
{
  const char *p = url.cstr ();
  const char *s = strchr (p + 7, '/');
  return s ? size_t (s - p) : url.len ();
}

// An absolute http URL normalised: lower-case host, no ":80", no empty
// port, "/" for no path, no fragment.
str
normalise (const char *p, size_t n)
{
  p += 7, n -= 7; // "http://"
  size_t h = 0;
  while (h < n && p[h] != '/' && p[h] != '?' && p[h] != '#')
    h++;
  std::string host (p, h);
  std::transform (host.begin (), host.end (), host.begin (), lower);
  if (host.size () >= 3 && !host.compare (host.size () - 3, 3, ":80"))
    host.resize (host.size () - 3);
  else if (!host.empty () && host.back () == ':')
    host.pop_back ();
  if (host.empty ())
    return str ();
  std::string rest (p + h, n - h);
  rest = rest.substr (0, rest.find ('#'));
  if (rest.empty () || rest[0] != '/')
    rest = "/" + rest;
  std::string u = "http://" + host + rest;
  return str (u.data (), u.size ());
}

} // namespace

str
cp_resolve (const str &base, const char *ref, size_t n)
{
  std::string r (ref, n);
  size_t colon = r.find (':'), slash = r.find ('/');
  if (colon != std::string::npos &&
      (slash == std::string::npos || colon < slash)) {
    if (colon != 4 || strncasecmp (r.data (), "http", 4))
      return str ();
    return normalise (r.data (), r.size ());
  }
  if (!r.compare (0, 2, "//"))
    r = "http:" + r;
  else {
    std::string b (base.cstr (), base.len ());
    size_t o = originlen (base);
    std::string path = b.substr (o);
    path = path.substr (0, path.find ('?'));
    if (r.empty ())
      r = b;
    else if (r[0] == '/')
      r = b.substr (0, o) + r;
    else if (r[0] == '?')
      r = b.substr (0, o) + path + r;
    else
      r = b.substr (0, o) + path.substr (0, path.rfind ('/') + 1) + r;
  }
  return normalise (r.data (), r.size ());
}

void
cp_invalidates (const char *method, int status, const str &url,
                const hdrlist &resp, vec<str> *out)
{
  static const char *const safe[] = {"GET", "HEAD", "OPTIONS", "TRACE"};
  for (const char *s : safe)
    if (!strcmp (method, s))
      return;
  if (status < 200 || status > 399 || !url || url.len () < 8)
    return;
  out->push_back (url);
  size_t o = originlen (url);
  for (const char *name : {"location", "content-location"}) {
    str v = hdr_get (resp, name);
    str u = v ? cp_resolve (url, v.cstr (), v.len ()) : str ();
    if (u && originlen (u) == o && !strncmp (u.cstr (), url.cstr (), o) &&
        u != url && (out->size () < 2 || u != (*out)[out->size () - 1]))
      out->push_back (u);
  }
}
