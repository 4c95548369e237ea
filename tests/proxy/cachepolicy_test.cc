// The cache policy through its public interface: HTTP dates against the C
// library's calendar for random instants over years 1 to 9999 in all three
// forms, with the malformed variants caches get wrong; and tables for
// Cache-Control, Age, freshness sources, storability, reuse under request
// directives, validation, 304 updates, Vary keys and invalidation.
#include "proxy/cachepolicy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

namespace {

const time_t T0 = 1700000000; // Tue, 14 Nov 2023 22:13:20 GMT

// "Name: value" lines separated by "\n".
hdrlist
head (const std::string &text)
{
  hdrlist h;
  size_t p = 0;
  while (p < text.size ()) {
    size_t e = text.find ('\n', p);
    if (e == std::string::npos)
      e = text.size ();
    std::string line = text.substr (p, e - p);
    size_t c = line.find (':');
    size_t v = line.find_first_not_of (' ', c + 1);
    hdr_add (&h, line.substr (0, c).c_str (),
             str (v == std::string::npos ? "" : line.c_str () + v));
    p = e + 1;
  }
  return h;
}

std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : "(null)";
}

bool
date (const std::string &s, time_t *t, time_t now = T0)
{
  return cp_date (s.data (), s.size (), now, t);
}

// ---- Heads ----

TEST (cachepolicy, header_lines)
{
  struct {
    const char *text;
    const char *want; // name=value| ...; null: refused
  } cases[] = {
      {"A: 1\r\nb:2\n", "A=1|b=2|"}, {"", ""}, {"A: 1", nullptr}, // no line end
      {"A: 1\rB: 2\n", nullptr}, // bare CR inside
      {" A: 1\n", nullptr},      // continuation
      {"A : 1\n", nullptr},      // blank before the colon
      {"A: 1\x7f\n", nullptr},   // control in the value
      {"A: 1\n\n", nullptr},     // a blank line is not a header
  };
  for (const auto &c : cases) {
    hdrlist h;
    hdr_add (&h, "Pre", str ("x"));
    bool ok = hdr_parse (c.text, strlen (c.text), &h);
    EXPECT_EQ (ok, c.want != nullptr) << c.text;
    std::string got;
    for (size_t i = 1; i < h.size (); i++)
      got += s2 (h[i].name) + "=" + s2 (h[i].val) + "|";
    EXPECT_EQ (got, c.want ? c.want : "") << c.text;
    EXPECT_EQ (h.size () > 1, ok && *c.text) << c.text;
  }
  hdrlist h;
  const char *text = "A: 1\nB:  2 \r\nA: 3\r\n";
  ASSERT_TRUE (hdr_parse (text, strlen (text), &h));
  str t = hdr_text (h);
  EXPECT_EQ (s2 (t), "A: 1\r\nB: 2\r\nA: 3\r\n");
  hdrlist again;
  ASSERT_TRUE (hdr_parse (t.cstr (), t.len (), &again));
  EXPECT_EQ (s2 (hdr_text (again)), s2 (t));
  EXPECT_EQ (s2 (hdr_join (again, "a")), "1, 3");
}

// ---- Dates ----

const char *const wd[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const lwd[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                           "Thursday", "Friday", "Saturday"};
const char *const mon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

TEST (cachepolicy, dates_agree_with_gmtime_in_every_form)
{
  std::mt19937_64 rng (7);
  // 0001-01-01 to 9999-12-31.
  std::uniform_int_distribution<int64_t> any (-62135596800, 253402300799);
  std::uniform_int_distribution<int64_t> near (T0 - 49LL * 365 * 86400,
                                               T0 + 49LL * 365 * 86400);
  for (int i = 0; i < 20000; i++) {
    time_t t = time_t (i % 2 ? any (rng) : near (rng)), got = 0;
    tm g;
    ASSERT_TRUE (gmtime_r (&t, &g));
    int y = g.tm_year + 1900;
    char b[64];
    snprintf (b, sizeof (b), "%s, %02d %s %04d %02d:%02d:%02d GMT",
              wd[g.tm_wday], g.tm_mday, mon[g.tm_mon], y, g.tm_hour, g.tm_min,
              g.tm_sec);
    ASSERT_TRUE (date (b, &got) && got == t) << b;
    snprintf (b, sizeof (b), "%s %s %2d %02d:%02d:%02d %04d", wd[g.tm_wday],
              mon[g.tm_mon], g.tm_mday, g.tm_hour, g.tm_min, g.tm_sec, y);
    ASSERT_TRUE (date (b, &got) && got == t) << b;
    if (i % 2)
      continue; // two-digit years: within 50 years of now
    snprintf (b, sizeof (b), "%s, %02d-%s-%02d %02d:%02d:%02d GMT",
              lwd[g.tm_wday], g.tm_mday, mon[g.tm_mon], y % 100, g.tm_hour,
              g.tm_min, g.tm_sec);
    ASSERT_TRUE (date (b, &got) && got == t) << b;
  }
}

TEST (cachepolicy, dates_strict)
{
  struct {
    const char *text;
    int64_t want; // -1: invalid
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"SUN, 06 NOV 1994 08:49:37 gmt", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"Tue, 19 Jan 2038 03:14:08 GMT", 2147483648},
      {"Sun, 21 Nov 2286 04:46:39 GMT", 10000039599},
      {"Thursday, 18-Aug-50 02:01:18 GMT", 2544400878},
      {"Thu, 29 Feb 2024 00:00:00 GMT", 1709164800},
      {"Thu, 18 Aug 50 02:01:18 GMT", -1},     // two-digit year
      {"Thu 18 Aug 2050 02:01:18 GMT", -1},    // no comma
      {"Thu, 18  Aug  2050 02:01:18 GMT", -1}, // doubled spaces
      {"Thu, 18-Aug-2050 02:01:18 GMT", -1},   // dashes
      {"Thu, 18 Aug 2050 02.01.18 GMT", -1},   // periods
      {"Thu, 18 Aug 2050 2:01:18 GMT", -1},    // one-digit hour
      {"Thu, 18 Aug 2050 02:01:18 UTC", -1},   // zone
      {"Thu, 18 Aug 2050 02:01:18 GMT ", -1},
      {"Thu, 31 Apr 2050 02:01:18 GMT", -1}, // no such day
      {"Fri, 29 Feb 2023 00:00:00 GMT", -1},
      {"Thu, 18 Aug 2050 24:00:00 GMT", -1},
      {"Thu Aug 8 02:01:18 2050", -1}, // asctime needs two places
      {"Thu Aug 08 02:01:18 2050", 2543536878},
      {"Thursday, 18-Aug-2050 02:01:18 GMT", -1},
      {"Thu, 18-Aug-50 02:01:18 GMT", -1}, // short weekday in RFC 850
      {"0", -1},
  };
  for (const auto &c : cases) {
    time_t t = 12345;
    bool ok = date (c.text, &t);
    EXPECT_EQ (ok, c.want >= 0) << c.text;
    EXPECT_EQ (int64_t (t), ok ? c.want : 12345) << c.text;
  }
  // The RFC 850 window follows now: from 2100, "50" is 2150 and "51" 2051.
  time_t t, in2100 = 4102444800;
  EXPECT_TRUE (date ("Friday, 06-Nov-50 08:49:37 GMT", &t, in2100) &&
               t == 5707010977);
  EXPECT_TRUE (date ("Monday, 06-Nov-51 08:49:37 GMT", &t, in2100) &&
               t == 2582873377);
}

// ---- Cache-Control and Age ----

TEST (cachepolicy, cache_control)
{
  struct {
    const char *val;
    int64_t max_age, s_maxage, max_stale, min_fresh;
    const char *flags; // S no-store, C no-cache, P private, U public,
                       // M must-revalidate, N must-understand, O only-if-cached
  } cases[] = {
      {"max-age=3600", 3600, -1, -1, -1, ""},
      {"max-age=003600", 3600, -1, -1, -1, ""},
      {"max-age=\"1\"", 1, -1, -1, -1, ""},
      {"max-age='3600'", 0, -1, -1, -1, ""},
      {"max-age=3600a", 0, -1, -1, -1, ""},
      {"max-age", 0, -1, -1, -1, ""},
      {"max-age =3600", -1, -1, -1, -1, ""},
      {"max-age=99999999999999999999", cp_deltamax, -1, -1, -1, ""},
      {"extension=\"max-age=3600\", max-age=1", 1, -1, -1, -1, ""},
      {"foo=\"a\\\"b, no-store\", private", -1, -1, -1, -1, "P"},
      {"max-age=10, max-age=20", 10, -1, -1, -1, ""},
      {"s-maxage=5, proxy-revalidate", -1, 5, -1, -1, "M"},
      {"no-cache=\"Set-Cookie\", private=\"x\"", -1, -1, -1, -1, "CP"},
      {"public, must-understand, no-store", -1, -1, -1, -1, "USN"},
      {"max-stale, min-fresh=5, only-if-cached", -1, -1, cp_deltamax, 5, "O"},
      {",, ,no-cache,,", -1, -1, -1, -1, "C"},
      {"no-cachex, xno-store, nothing-to-see-here", -1, -1, -1, -1, ""},
      {"no-store junk", -1, -1, -1, -1, ""},
      {"max-age=\"5", -1, -1, -1, -1, ""},
  };
  for (const auto &c : cases) {
    ccdirs cc;
    cc_parse (&cc, head (std::string ("Cache-Control: ") + c.val));
    std::string f =
        std::string (cc.no_store ? "S" : "") + (cc.no_cache ? "C" : "") +
        (cc.is_private ? "P" : "") + (cc.is_public ? "U" : "") +
        (cc.must_revalidate ? "M" : "") + (cc.must_understand ? "N" : "") +
        (cc.only_if_cached ? "O" : "");
    std::string want = c.flags;
    std::sort (f.begin (), f.end ());
    std::sort (want.begin (), want.end ());
    EXPECT_EQ (f, want) << c.val;
    EXPECT_EQ (cc.max_age, c.max_age) << c.val;
    EXPECT_EQ (cc.s_maxage, c.s_maxage) << c.val;
    EXPECT_EQ (cc.max_stale, c.max_stale) << c.val;
    EXPECT_EQ (cc.min_fresh, c.min_fresh) << c.val;
  }
  // Every line counts; the first max-age wins across lines.
  ccdirs cc;
  cc_parse (&cc, head ("cache-control: max-age=5\nCache-Control: no-store, "
                       "max-age=9"));
  EXPECT_TRUE (cc.no_store);
  EXPECT_EQ (cc.max_age, 5);
  // Pragma: no-cache stands in only without Cache-Control.
  cc_request (&cc, head ("Pragma: foo, No-Cache"));
  EXPECT_TRUE (cc.no_cache);
  cc_request (&cc, head ("Pragma: foo, no-cachex"));
  EXPECT_FALSE (cc.no_cache);
  cc_request (&cc, head ("Pragma: no-cache\nCache-Control: max-age=9"));
  EXPECT_FALSE (cc.no_cache);
}

TEST (cachepolicy, age)
{
  struct {
    const char *lines;
    int64_t want; // -2: absent
  } cases[] = {
      {"Age: 7200", 7200},
      {"Age: 2147483647", 2147483647},
      {"Age: 2147483648", cp_deltamax},
      {"Age: 99999999999999999999999", cp_deltamax},
      {"Age: abc", cp_deltamax},
      {"Age: -7200", cp_deltamax},
      {"Age: 7200.0", cp_deltamax},
      {"Age: 0, 0", cp_deltamax},
      {"Age: 0\nAge: 0", cp_deltamax},
      {"Age: ", cp_deltamax},
      {"X-Age: 5", -2},
  };
  for (const auto &c : cases) {
    int64_t a = -2;
    EXPECT_EQ (cp_age (head (c.lines), &a), c.want != -2) << c.lines;
    EXPECT_EQ (a, c.want) << c.lines;
  }
}

// ---- Freshness and storing ----

std::string
imf (time_t t)
{
  tm g;
  gmtime_r (&t, &g);
  char b[40];
  strftime (b, sizeof (b), "%a, %d %b %Y %H:%M:%S GMT", &g);
  return b;
}

TEST (cachepolicy, lifetime_sources)
{
  std::string d = "Date: " + imf (T0) + "\n";
  struct {
    int status;
    std::string hdrs;
    int64_t want;
    bool heuristic;
  } cases[] = {
      {200, "Cache-Control: s-maxage=7, max-age=9", 7, false},
      {200, "Cache-Control: max-age=9\nExpires: " + imf (T0 + 100), 9, false},
      {200, d + "Expires: " + imf (T0 + 100), 100, false},
      {200, d + "Expires: " + imf (T0 - 100), 0, false},
      {200, d + "Expires: 0", 0, false},
      {200, d + "Expires: Thu, 18 Aug 50 02:01:18 GMT", 0, false},
      {200, d + "Expires: " + imf (T0 + 9) + "\nExpires: " + imf (T0 + 9), 0,
       false},
      {200, "Expires: " + imf (T0 + 30), 30, false}, // no Date: response time
      {200, d + "Last-Modified: " + imf (T0 - 1000), 100, true},
      {200, d + "Last-Modified: " + imf (T0 - 10000000), cp_heuristicmax, true},
      {404, d + "Last-Modified: " + imf (T0 - 1000), 100, true},
      {302, d + "Last-Modified: " + imf (T0 - 1000), 0, false},
      {302, d + "Cache-Control: public\nLast-Modified: " + imf (T0 - 1000), 100,
       true},
      {200, d + "Last-Modified: " + imf (T0 + 1000), 0, true},
      {200,
       d + "Expires: " + imf (T0 + 5) + "\nLast-Modified: " + imf (T0 - 1000),
       5, false},
  };
  for (const auto &c : cases) {
    bool h = !c.heuristic;
    EXPECT_EQ (cp_lifetime (head (c.hdrs), c.status, T0, &h), c.want)
        << c.status << " " << c.hdrs;
    EXPECT_EQ (h, c.heuristic) << c.hdrs;
  }
}

TEST (cachepolicy, storable)
{
  struct {
    const char *method;
    const char *req;
    int status;
    const char *resp;
    bool want;
  } cases[] = {
      {"GET", "", 200, "Cache-Control: max-age=5", true},
      {"GET", "", 200, "", true}, // heuristically cacheable
      {"GET", "", 302, "", false},
      {"GET", "", 302, "Expires: 0", true},
      {"GET", "", 599, "Cache-Control: max-age=5, must-understand", false},
      {"HEAD", "", 200, "Cache-Control: max-age=5", false},
      {"POST", "", 200, "Cache-Control: max-age=5", false},
      {"GET", "", 206, "Cache-Control: max-age=5", false},
      {"GET", "", 304, "Cache-Control: max-age=5", false},
      {"GET", "", 200, "Cache-Control: max-age=5, No-Store", false},
      {"GET", "Cache-Control: no-store", 200, "Cache-Control: max-age=5",
       false},
      {"GET", "", 200, "Cache-Control: private, max-age=5", false},
      {"GET", "", 200, "Cache-Control: max-age=5\nVary: Foo, *", false},
      {"GET", "", 200, "Cache-Control: max-age=5\nVary: Foo", true},
      {"GET", "Authorization: x", 200, "Expires: 0\nDate: 0", false},
      {"GET", "Authorization: x", 200, "Cache-Control: max-age=5, public",
       true},
      {"GET", "Authorization: x", 200, "Cache-Control: must-revalidate", true},
      {"GET", "Authorization: x", 200, "Cache-Control: max-age=5", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ (cp_storable (c.method, head (c.req), c.status, head (c.resp)),
               c.want)
        << c.method << " " << c.status << " " << c.resp;
}

// ---- Reuse ----

TEST (cachepolicy, usable_by_age_and_request)
{
  // Stored at T0 (asked at T0 - 2), fresh for 100 s; checked at T0 + dt.
  struct {
    const char *resp;
    int dt;
    const char *req;
    int want;
  } cases[] = {
      {"Cache-Control: max-age=100", 0, "", 1},
      {"Cache-Control: max-age=100", 97, "", 1},
      {"Cache-Control: max-age=100", 98, "", 0}, // 2 s on the way count
      {"Cache-Control: max-age=100\nAge: 50", 47, "", 1},
      {"Cache-Control: max-age=100\nAge: 50", 48, "", 0},
      {"Cache-Control: max-age=100\nAge: 2147483648", 0, "", 0},
      {"Cache-Control: max-age=100, no-cache", 0, "", 0},
      {"Cache-Control: max-age=100", 0, "Cache-Control: No-Cache", 0},
      {"Cache-Control: max-age=100", 0, "Pragma: no-cache", 0},
      {"Cache-Control: max-age=100", 0, "Pragma: foo", 1},
      {"Cache-Control: max-age=100", 0,
       "Pragma: no-cache\nCache-Control: nothing-to-see-here", 1},
      {"Cache-Control: max-age=100", 10, "Cache-Control: max-age=12", 1},
      {"Cache-Control: max-age=100", 11, "Cache-Control: max-age=12", 0},
      {"Cache-Control: max-age=100", 10, "Cache-Control: min-fresh=86", 1},
      {"Cache-Control: max-age=100", 10, "Cache-Control: min-fresh=89", 0},
      {"Cache-Control: max-age=100", 150, "Cache-Control: max-stale", 1},
      {"Cache-Control: max-age=100", 150, "Cache-Control: max-stale=52", 1},
      {"Cache-Control: max-age=100", 150, "Cache-Control: max-stale=51", 0},
      {"Cache-Control: max-age=100, must-revalidate", 150,
       "Cache-Control: max-stale", 0},
      {"Cache-Control: s-maxage=100", 150, "Cache-Control: max-stale", 0},
      {"Cache-Control: max-age=100", 150, "", 0},
  };
  for (const auto &c : cases) {
    cachemeta m;
    cp_meta (&m, 200, head (c.resp), T0 - 2, T0);
    EXPECT_EQ (cp_usable (m, head (c.req), T0 + c.dt), c.want)
        << c.resp << " at +" << c.dt << " for " << c.req;
  }
  // A Date in the past counts as age; one in the future does not.
  cachemeta m;
  cp_meta (&m, 200, head ("Cache-Control: max-age=100\nDate: " + imf (T0 - 60)),
           T0, T0);
  EXPECT_EQ (cp_current_age (m, T0 + 10), 70);
  cp_meta (&m, 200, head ("Cache-Control: max-age=100\nDate: " + imf (T0 + 60)),
           T0, T0);
  EXPECT_EQ (cp_current_age (m, T0 + 10), 10);
  EXPECT_TRUE (m.validator == false && m.no_stale == false);
  cp_meta (&m, 200, head ("ETag: \"a\""), T0, T0);
  EXPECT_TRUE (m.validator);
  EXPECT_EQ (cp_current_age (m, T0 - 10), 0);
}

// A stale response when the origin cannot be reached: unless either side
// forbids it.
TEST (cachepolicy, stale_when_disconnected)
{
  struct {
    const char *resp, *req;
    bool want;
  } cases[] = {
      // Stored at T0, fresh for 1 s, asked at T0 + 10.
      {"Cache-Control: max-age=1", "", true},
      {"Cache-Control: max-age=1", "Cache-Control: max-stale=9", true},
      {"Cache-Control: max-age=1", "Cache-Control: max-stale=8", false},
      {"Cache-Control: max-age=1, must-revalidate", "", false},
      {"Cache-Control: max-age=1, proxy-revalidate", "", false},
      {"Cache-Control: s-maxage=1", "", false},
      {"Cache-Control: max-age=1, no-cache", "", false},
      {"Cache-Control: max-age=1", "Cache-Control: no-cache", false},
      {"Cache-Control: max-age=1", "Pragma: no-cache", false},
      {"Cache-Control: max-age=1", "Cache-Control: max-age=0", false},
      {"Cache-Control: max-age=1", "Cache-Control: min-fresh=1", false},
      {"Cache-Control: max-age=1", "Cache-Control: max-age=0, max-stale", true},
  };
  for (const auto &c : cases) {
    cachemeta m;
    cp_meta (&m, 200, head (c.resp), T0, T0);
    EXPECT_EQ (cp_staleok (m, head (c.req), T0 + 10), c.want)
        << c.resp << " / " << c.req;
  }
}

// ---- Validation ----

TEST (cachepolicy, conditional_and_304)
{
  std::string lm = imf (T0 - 1000);
  hdrlist out;
  EXPECT_TRUE (cp_conditional (
      head ("ETag: \"x1\"\nLast-Modified: " + lm + "\nContent-Length: 5"),
      &out));
  EXPECT_EQ (s2 (hdr_get (out, "if-none-match")), "\"x1\"");
  EXPECT_EQ (s2 (hdr_get (out, "If-Modified-Since")), lm);
  hdrlist none;
  EXPECT_FALSE (cp_conditional (head ("Last-Modified: yesterday"), &none));
  EXPECT_EQ (none.size (), 0u);

  hdrlist st = head ("ETag: W/\"x1\"\nLast-Modified: " + lm);
  EXPECT_TRUE (cp_notmodified (head ("If-None-Match: \"zz\", \"x1\""), st, T0));
  EXPECT_TRUE (cp_notmodified (head ("If-None-Match: *"), st, T0));
  EXPECT_FALSE (cp_notmodified (head ("If-None-Match: \"x2\"\nIf-Modified-"
                                      "Since: " +
                                      imf (T0)),
                                st, T0));
  EXPECT_TRUE (cp_notmodified (head ("If-Modified-Since: " + lm), st, T0));
  EXPECT_FALSE (
      cp_notmodified (head ("If-Modified-Since: " + imf (T0 - 1001)), st, T0));
  EXPECT_FALSE (cp_notmodified (head ("If-Modified-Since: junk"), st, T0));

  hdrlist s = head ("Content-Length: 5\nContent-Type: text/plain\n"
                    "Set-Cookie: a=b\nSet-Cookie: c=d\nETag: \"1\"\n"
                    "Content-Encoding: gzip\nX-Kept: k\nCache-Control: "
                    "max-age=1");
  cp_update (&s, head ("Content-Length: 10\nContent-Type: text/html\n"
                       "Set-Cookie: a=c\nETag: \"2\"\nContent-Encoding: br\n"
                       "Cache-Control: max-age=3600\nConnection: close\n"
                       "Transfer-Encoding: chunked\nX-New: n\nx-new: m"));
  EXPECT_EQ (s2 (hdr_join (s, "content-length")), "5");
  EXPECT_EQ (s2 (hdr_join (s, "content-type")), "text/html");
  EXPECT_EQ (s2 (hdr_join (s, "set-cookie")), "a=c");
  EXPECT_EQ (s2 (hdr_join (s, "etag")), "\"1\"");
  EXPECT_EQ (s2 (hdr_join (s, "content-encoding")), "gzip");
  EXPECT_EQ (s2 (hdr_join (s, "cache-control")), "max-age=3600");
  EXPECT_EQ (s2 (hdr_join (s, "x-kept")), "k");
  EXPECT_EQ (s2 (hdr_join (s, "x-new")), "n, m");
  EXPECT_EQ (hdr_count (s, "connection") + hdr_count (s, "transfer-encoding"),
             0);

  hdrlist c = head ("Connection: x-a, Keep-Alive\nX-A: 1\nX-B: 2\nkeep-alive: "
                    "5\nConnection: close ,X-C\nx-c: 3\nProxy-Connection: k");
  cp_strip (&c);
  ASSERT_EQ (c.size (), 1u);
  EXPECT_EQ (s2 (c[0].name) + s2 (c[0].val), "X-B2");
}

// ---- Vary ----

TEST (cachepolicy, vary)
{
  vec<str> n;
  EXPECT_EQ (cp_vary (head ("Vary: Foo, bar\nVary: ,FOO,  Baz ,"), &n), 1);
  ASSERT_EQ (n.size (), 3u);
  EXPECT_EQ (s2 (n[0]) + s2 (n[1]) + s2 (n[2]), "barbazfoo");
  EXPECT_EQ (cp_vary (head ("Vary: *, Foo"), &n), -1);
  EXPECT_EQ (cp_vary (head ("Vary: Foo\nVary: *"), &n), -1);
  EXPECT_EQ (cp_vary (head ("X: 1"), &n), 0);
  EXPECT_EQ (n.size (), 0u);

  cp_vary (head ("Vary: Accept-Encoding, Foo"), &n);
  auto key = [&] (const char *req) { return s2 (cp_varykey (n, head (req))); };
  // Same key: letter case of names, blank runs, blanks at commas, lines.
  std::string k = key ("Accept-Encoding: gzip, br\nFoo: a  b");
  EXPECT_EQ (key ("accept-encoding: gzip,br\nFOO: a b"), k);
  EXPECT_EQ (key ("Accept-Encoding: gzip\nAccept-Encoding: br\nFoo: a\tb"), k);
  EXPECT_EQ (key ("Foo: a b\nX: y\nAccept-Encoding: gzip ,  br"), k);
  // Different: values, an absent header against an empty one.
  EXPECT_NE (key ("Accept-Encoding: gzip\nFoo: a b"), k);
  EXPECT_NE (key ("Accept-Encoding: gzip, br\nFoo: ab"), k);
  EXPECT_NE (key ("Accept-Encoding: gzip, br"), key ("Accept-Encoding: gzip, "
                                                     "br\nFoo: "));
  EXPECT_EQ (s2 (cp_varykey (vec<str> (), head ("Foo: 1"))), "");
}

// ---- Invalidation ----

TEST (cachepolicy, invalidation)
{
  str url ("http://a.example:8080/dir/page?q=1");
  struct {
    const char *method;
    int status;
    const char *resp;
    const char *want; // URLs joined by " "
  } cases[] = {
      {"GET", 200, "Location: /x", ""},
      {"HEAD", 200, "", ""},
      {"POST", 400, "Location: /x", ""},
      {"POST", 200, "", "http://a.example:8080/dir/page?q=1"},
      {"M-SEARCH", 204, "", "http://a.example:8080/dir/page?q=1"},
      {"PUT", 201, "Location: /x\nContent-Location: other",
       "http://a.example:8080/dir/page?q=1 http://a.example:8080/x "
       "http://a.example:8080/dir/other"},
      {"DELETE", 303, "Location: HTTP://A.EXAMPLE:8080/y#frag",
       "http://a.example:8080/dir/page?q=1 http://a.example:8080/y"},
      {"POST", 200,
       "Location: http://b.example:8080/x\nContent-Location: "
       "//a.example/x",
       "http://a.example:8080/dir/page?q=1"},
      {"POST", 200, "Location: https://a.example:8080/x",
       "http://a.example:8080/dir/page?q=1"},
      {"POST", 200, "Content-Location: ?r=2",
       "http://a.example:8080/dir/page?q=1 http://a.example:8080/dir/page?r=2"},
  };
  for (const auto &c : cases) {
    vec<str> out;
    cp_invalidates (c.method, c.status, url, head (c.resp), &out);
    std::string got;
    for (size_t i = 0; i < out.size (); i++)
      got += (i ? " " : "") + s2 (out[i]);
    EXPECT_EQ (got, c.want) << c.method << " " << c.resp;
  }
  EXPECT_EQ (s2 (cp_resolve (str ("http://h/"), "http://H:80", 11)),
             "http://h/");
  EXPECT_EQ (s2 (cp_resolve (str ("http://h/"), "http://:80/", 11)), "(null)");
}

} // namespace
