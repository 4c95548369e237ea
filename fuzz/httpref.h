// The reference model of the HTTP head parsers: the same heads read the
// way their language is written down, with the four patterns of the HTTP
// module (the same texts, compiled here) and a fresh pattern per Pragma
// value, line by line off gethdr.  The parsers themselves read heads with
// hand-written splitters; the harnesses, the tests and the benchmark hold
// the two side by side on every input.
//
// A pattern can fail to answer on a long enough subject (PCRE2's match
// limit): the model then reports "unanswered" and the caller skips the
// comparison, since there is nothing to compare against.
#ifndef OMBRIX_FUZZ_HTTPREF_H
#define OMBRIX_FUZZ_HTTPREF_H

#include "async/armor.h"
#include "async/rxx.h"
#include "crypt/sha1.h"
#include "http.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

struct httprefrx {
  rxx hdrnameval{"^([^\\s:]+):\\s*(.*)\r?\n\\z", "s"};
  rxx urlrx{"^http://([\\w.-]+)(:(\\d+))?(/\\S*)?", "i"};
  rxx reqrx{"^(\\S+)\\s+(http://[\\w.-]+(:\\d+)?(/\\S*)?)", "i"};
  rxx resprx{"^HTTP/\\d+\\.\\d+\\s+([1-5]\\d\\d)\\s+(.*)", "i"};
};

inline httprefrx &
refrx ()
{
  static httprefrx r;
  return r;
}

// What the reference answers: the result and every field, as one text.
struct httprefout {
  bool answered = true; // false: a pattern hit a matching error
  int r = 0;
  std::string fields;
};

class httpref {
protected:
  bool unanswered = false;

  // 1 match, 0 none; a matching error marks the model unanswered and
  // counts as no match.
  bool m (rxx &r, const str &s)
  {
    if (!s || s.len () > INT_MAX)
      return false;
    int x = r.tryexec (s);
    if (x < 0)
      unanswered = true;
    return x > 0;
  }
  static std::string s2 (const str &s)
  {
    return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
  }
  static str mapcase (const str &s, bool up)
  {
    if (!s)
      return s;
    std::string t (s.cstr (), s.len ());
    for (char &c : t)
      if (up ? c >= 'a' && c <= 'z' : c >= 'A' && c <= 'Z')
        c ^= 0x20;
    return str (t.data (), t.size ());
  }

public:
  std::string headers;
  bool firstdone = false;

  virtual ~httpref () {}
  virtual bool dofirst (const str &line) = 0;
  virtual bool doheader (const str &name, const str &val) = 0;

  bool checkpragma (const str &val, const char *pragma)
  {
    std::string pat = "(^|,)\\s*";
    for (const char *p = pragma; *p; p++) {
      bool an = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') ||
                (*p >= 'A' && *p <= 'Z');
      pat += an ? std::string (1, *p) : std::string ("\\") + *p;
    }
    rxx r ((pat + "\\s*(,|$)").c_str (), "i");
    return m (r, val);
  }

  // The parse loop over gethdr, with the header pattern.
  int parse (suio *uio)
  {
    for (;;) {
      str h = httpparse::gethdr (uio);
      if (!h)
        return 0;
      if (!firstdone) {
        if (!dofirst (h))
          return -1;
        firstdone = true;
        continue;
      }
      if (!h.len ())
        return 1;
      rxx &x = refrx ().hdrnameval;
      if (!m (x, h))
        return -1;
      str name = mapcase (x[1], false);
      int s = x.start (2), e = x.end (2);
      if (e > s && h[e - 1] == '\r')
        e--;
      if (!doheader (name, str (h.cstr () + s, e - s)))
        headers += s2 (h);
    }
  }

  // false when unanswered.
  bool parseurl (str *host, u_int16_t *port, str *path, const str &url)
  {
    rxx &u = refrx ().urlrx;
    if (!m (u, url))
      return false;
    u_int16_t p = 80;
    if (str d = u[3]) {
      unsigned v = 0;
      for (size_t i = 0; i < d.len (); i++)
        if ((v = v * 10 + (d[i] - '0')) > 65535)
          return false;
      p = static_cast<u_int16_t> (v);
    }
    *host = mapcase (u[1], false);
    *port = p;
    *path = u[4] ? u[4] : str ("/");
    return true;
  }

  bool parsereq (str *method, str *url, const str &line)
  {
    rxx &q = refrx ().reqrx;
    if (!m (q, line))
      return false;
    str meth = mapcase (q[1], true), host, path;
    u_int16_t port;
    if (!parseurl (&host, &port, &path, q[2]))
      return false;
    *method = meth;
    char pb[8] = "";
    if (port != 80)
      snprintf (pb, sizeof (pb), ":%d", port);
    std::string u = "http://" + s2 (host) + pb + s2 (path);
    *url = str (u.data (), u.size ());
    return true;
  }

  bool parseresp (int *status, str *msg, const str &line)
  {
    rxx &r = refrx ().resprx;
    if (!m (r, line))
      return false;
    str c = r[1];
    *status = (c[0] - '0') * 100 + (c[1] - '0') * 10 + (c[2] - '0');
    *msg = r[2];
    return true;
  }

  static long contentlength (const str &v)
  {
    long long x = strtoll (v.cstr (), nullptr, 10);
    return x > INT_MAX ? INT_MAX : x < INT_MIN ? INT_MIN : x;
  }

  virtual std::string fields () const = 0;

  httprefout run (suio *uio)
  {
    httprefout o;
    o.r = parse (uio);
    o.answered = !unanswered;
    o.fields = fields ();
    return o;
  }
};

class httpreqref : public httpref {
public:
  bool nocache = false;
  time_t ims = -1;
  long cl = -1;
  str auth, method, host, path, url, urlhash;
  u_int16_t port = 0;

  bool dofirst (const str &line) override
  {
    if (!parsereq (&method, &url, line) || !parseurl (&host, &port, &path, url))
      return false;
    headers += s2 (method) + " " + s2 (path) + " HTTP/1.0\r\n";
    sha1ctx c;
    c.update (url.cstr (), url.len ());
    u_char d[sha1::hashsize];
    c.final (d);
    urlhash = armor32 (d, sizeof (d));
    return true;
  }
  bool doheader (const str &name, const str &val) override
  {
    if (name == "pragma") {
      if (checkpragma (val, "no-cache"))
        nocache = true;
    } else if (name == "if-modified-since") {
      ims = httpparse::parsetime (val);
      return true;
    } else if (name == "content-length")
      cl = contentlength (val);
    else if (name == "authorization")
      auth = val;
    return false;
  }
  std::string fields () const override
  {
    return std::to_string (nocache) + "|" + std::to_string (ims) + "|" +
           std::to_string (cl) + "|" + std::to_string (port) + "|" +
           s2 (method) + "|" + s2 (host) + "|" + s2 (path) + "|" + s2 (url) +
           "|" + s2 (urlhash) + "|" + s2 (auth) + "|" + headers;
  }
};

class httprespref : public httpref {
public:
  int status = 0;
  str msg;
  bool nocache = false;
  time_t date = -1, expires = -1, lastmod = -1;
  long cl = -1;

  bool dofirst (const str &line) override
  {
    if (!parseresp (&status, &msg, line))
      return false;
    headers += s2 (line);
    return true;
  }
  bool doheader (const str &name, const str &val) override
  {
    if (name == "pragma") {
      if (checkpragma (val, "no-cache"))
        nocache = true;
    } else if (name == "date")
      date = httpparse::parsetime (val);
    else if (name == "expires")
      expires = httpparse::parsetime (val);
    else if (name == "last-modified")
      lastmod = httpparse::parsetime (val);
    else if (name == "content-length")
      cl = contentlength (val);
    return false;
  }
  std::string fields () const override
  {
    return std::to_string (status) + "|" + std::to_string (nocache) + "|" +
           std::to_string (date) + "|" + std::to_string (expires) + "|" +
           std::to_string (lastmod) + "|" + std::to_string (cl) + "|" +
           s2 (msg) + "|" + headers;
  }
};

// The same text for the parsers under test (the field order of the
// models above).
struct httpreqview : httpreq {
  std::string fields () const
  {
    auto s2 = [] (const str &s) {
      return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
    };
    return std::to_string (nocache) + "|" + std::to_string (if_modified_since) +
           "|" + std::to_string (_content_length) + "|" +
           std::to_string (_port) + "|" + s2 (_method) + "|" + s2 (_host) +
           "|" + s2 (_path) + "|" + s2 (_url) + "|" + s2 (_urlhash) + "|" +
           s2 (authorization) + "|" + s2 (str (*_headers.tosuio ()));
  }
};

struct httprespview : httpresp {
  std::string fields () const
  {
    auto s2 = [] (const str &s) {
      return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
    };
    return std::to_string (status) + "|" + std::to_string (nocache) + "|" +
           std::to_string (date) + "|" + std::to_string (expires) + "|" +
           std::to_string (last_modified) + "|" +
           std::to_string (_content_length) + "|" + s2 (statusmsg) + "|" +
           s2 (str (*_headers.tosuio ()));
  }
};

// Both parsers of m against their models, fed whole.  Returns false with
// *why set on a disagreement; an unanswered model counts as agreement
// (*unanswered is then set).  rs, when given, receives the request and
// response parsers' results.
inline bool
httpagree (const std::string &m, std::string *why, bool *unanswered,
           int *rs = nullptr)
{
  *unanswered = false;
  {
    httpreqview p;
    int r = httpreq_parse (&p, m.data (), m.size ());
    if (rs)
      rs[0] = r > 0 ? 1 : r;
    suio u;
    u.print (m.data (), m.size ());
    httpreqref ref;
    httprefout o = ref.run (&u);
    int want = o.r == 1 ? int (m.size () - u.resid ()) : o.r;
    std::string a = std::to_string (r) + "|" + p.fields ();
    std::string b = std::to_string (want) + "|" + o.fields;
    if (!o.answered)
      *unanswered = true;
    else if (a != b) {
      *why = "request: parser " + a + "\n  patterns " + b;
      return false;
    }
  }
  {
    httprespview p;
    suio u1, u2;
    u1.print (m.data (), m.size ());
    u2.print (m.data (), m.size ());
    int r = p.parse (&u1);
    if (rs)
      rs[1] = r;
    httprespref ref;
    httprefout o = ref.run (&u2);
    std::string a = std::to_string (r) + "|" + p.fields () + "|" +
                    std::to_string (u1.resid ());
    std::string b = std::to_string (o.r) + "|" + o.fields + "|" +
                    std::to_string (u2.resid ());
    if (!o.answered)
      *unanswered = true;
    else if (a != b) {
      *why = "response: parser " + a + "\n  patterns " + b;
      return false;
    }
  }
  return true;
}

// ---- Generated heads ----
//
// Requests and responses built from the pieces the parsers tell apart
// (methods, URLs with and without ports and paths, versions, status codes,
// known and unknown names in any case, blanks of every kind, values that
// are dates, numbers and Pragma lists, continuation lines), with bytes of
// every value dropped into name, separator and value positions, then
// damaged: bytes replaced, inserted and removed anywhere.
class httpgen {
  std::mt19937_64 rng;

public:
  explicit httpgen (uint64_t seed) : rng (seed) {}

  size_t below (size_t n) { return rng () % n; }
  bool chance (int pct) { return below (100) < size_t (pct); }
  char anybyte () { return static_cast<char> (below (256)); }
  template <size_t N>
  std::string pick (const char *const (&a)[N])
  {
    return a[below (N)];
  }
  std::string mixcase (std::string s)
  {
    for (char &c : s)
      if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && chance (20))
        c ^= 0x20;
    return s;
  }
  std::string blanks (int max)
  {
    static const char b[] = " \t\r\n\v\f";
    std::string s;
    for (size_t n = below (max + 1); n; n--)
      s += chance (70) ? ' ' : b[below (6)];
    return s;
  }
  std::string eol ()
  {
    return chance (85) ? "\r\n" : chance (70) ? "\n" : "\r";
  }
  std::string digits (size_t max)
  {
    std::string s;
    for (size_t n = below (max + 1); n; n--)
      s += char ('0' + below (10));
    return s;
  }

  std::string url ()
  {
    static const char *const schemes[] = {"http://",  "HTTP://", "Http://",
                                          "https://", "http:/",  "ftp://"};
    static const char *const hosts[] = {"example.com",     "Origin-Host", "a",
                                        "cdn.example.net", "x_y.z-1",     ""};
    static const char *const paths[] = {
        "/", "/index.html", "/a?b=1&c=%20", "/api/v2/users/1842/profile",
        "",  "/~x"};
    std::string u = chance (90) ? schemes[below (3)] : pick (schemes);
    u += mixcase (pick (hosts));
    if (chance (40))
      u += ":" + digits (7);
    u += pick (paths);
    if (chance (10))
      u += anybyte ();
    return u;
  }

  std::string requestline ()
  {
    static const char *const methods[] = {"GET",  "get",     "POST",
                                          "HEAD", "CONNECT", "M\xe9th"};
    static const char *const versions[] = {"HTTP/1.1", "HTTP/1.0", "", "x"};
    std::string s = chance (95) ? pick (methods) : std::string (1, anybyte ());
    s += chance (90) ? " " : blanks (3);
    s += url ();
    s += chance (90) ? " " : blanks (2);
    return s + pick (versions) + eol ();
  }

  std::string statusline ()
  {
    static const char *const versions[] = {"HTTP/1.1", "HTTP/1.0",   "http/1.1",
                                           "HTTP/1",   "HTTP/12.34", "HTTP/.1"};
    static const char *const codes[] = {"200", "304", "404",  "599", "600",
                                        "099", "20",  "2000", "1x0"};
    static const char *const msgs[] = {"OK", "Not Modified", "", "a\tb",
                                       "Not Found"};
    std::string s = chance (90) ? versions[below (2)] : pick (versions);
    s += chance (90) ? " " : blanks (3);
    s += chance (85) ? codes[below (4)] : pick (codes);
    s += chance (90) ? " " : blanks (3);
    return s + pick (msgs) + eol ();
  }

  std::string value (const std::string &name)
  {
    static const char *const dates[] = {"Sun, 06 Nov 1994 08:49:37 GMT",
                                        "Sun Nov  6 08:49:37 1994",
                                        "Sunday, 06-Nov-94 08:49:37 GMT",
                                        "Tue, 15 Aug 2023 10:12:45 GMT",
                                        "Thu, 31 Dec 9999 23:59:59 GMT",
                                        "Mon, 32 Jan 2000 00:00:00 GMT",
                                        "0"};
    static const char *const pragmas[] = {
        "no-cache",   "No-Cache", "nono-cache", "no-cached",
        "no-cache=1", "x",        "",           "no-cach"};
    if (name == "pragma" || chance (5)) {
      std::string v;
      for (size_t n = 1 + below (3); n; n--) {
        v += blanks (2) + mixcase (pick (pragmas)) + blanks (2);
        if (n > 1)
          v += ",";
      }
      return v;
    }
    if (name.find ("date") != std::string::npos || name == "expires" ||
        name == "last-modified" || name == "if-modified-since")
      return pick (dates);
    if (name == "content-length")
      return blanks (1) + (chance (20) ? "-" : "") + digits (12) +
             (chance (10) ? "abc" : "");
    std::string v = chance (50) ? "text/html; charset=utf-8" : "x";
    if (chance (10))
      v += anybyte ();
    return v;
  }

  std::string header ()
  {
    static const char *const names[] = {
        "Pragma",         "Date",          "Expires",           "Last-Modified",
        "Content-Length", "Authorization", "If-Modified-Since", "Host",
        "User-Agent",     "Accept",        "X-Unknown-Name",    "Set-Cookie"};
    std::string name = chance (95) ? mixcase (pick (names)) : "";
    if (name.empty () || chance (3))
      name += anybyte ();
    std::string low = name;
    for (char &c : low)
      if (c >= 'A' && c <= 'Z')
        c ^= 0x20;
    std::string h = name + (chance (97) ? ":" : std::string (1, anybyte ()));
    h += chance (80) ? " " : blanks (3);
    h += value (low);
    if (chance (10))
      h += blanks (2);
    h += eol ();
    if (chance (5))
      h += (chance (50) ? " " : "\t") + value (low) + eol ();
    return h;
  }

  // One head, request or response, then damaged or not; at times a value
  // of big bytes long in one of the positions.
  std::string head (bool request, size_t big = 0)
  {
    std::string m = request ? requestline () : statusline ();
    size_t n = below (12);
    size_t at = big ? below (n + 1) : SIZE_MAX;
    for (size_t i = 0; i < n; i++)
      m += i == at ? bigheader (big) : header ();
    if (big && at == n)
      m += bigheader (big);
    m += chance (90) ? "\r\n" : chance (50) ? "\n" : "";
    if (chance (10))
      m += "body";
    return chance (30) ? damage (m) : m;
  }

  std::string bigheader (size_t big)
  {
    static const char *const names[] = {"Pragma", "X-Long", "Content-Length",
                                        "Date"};
    std::string pad (big, chance (50) ? ' ' : 'a');
    switch (below (4)) {
    case 0:
      return "Pragma: no-cache" + pad + anybyte () + "\r\n";
    case 1:
      return pick (names) + ":" + pad + "\r\n";
    case 2:
      return std::string (big, 'N') + ": v\r\n";
    default:
      return "Pragma: " + pad + ",no-cache\r\n";
    }
  }

  std::string damage (std::string m)
  {
    for (size_t k = 1 + below (4); k && !m.empty (); k--) {
      size_t at = below (m.size ());
      switch (below (3)) {
      case 0:
        m[at] = anybyte ();
        break;
      case 1:
        m.insert (at, 1, anybyte ());
        break;
      default:
        m.erase (at, 1);
      }
    }
    return m;
  }
};

#endif
