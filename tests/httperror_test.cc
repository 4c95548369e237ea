// Error responses and HTTP dates: the exact bytes of a whole response, a
// model of random pages (escaping, status lines, lengths) read back by the
// response parser, where the server name comes from and how often it is
// asked for, the host name fallback, and dates against strftime in any
// time zone.  The clock and the password database are fakes behind
// http_seam.h; host names come from hostfake.h.

#include "hostfake.h"
#include "http_seam.h"
#include "httptest.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

time_t clocknow;
int ntime, nlogin, nname, nuid;
const char *login; // what getlogin answers; null: it fails
// The gecos of the login's entry and of the real uid's; null: no entry;
// nogecos: an entry whose pw_gecos is null.
const char *namegecos, *uidgecos;
const char nogecos[] = "<null>";
const uid_t myuid = 4242;

time_t
faketime (time_t *t)
{
  ntime++;
  if (t)
    *t = clocknow;
  return clocknow;
}

char *
fakelogin ()
{
  nlogin++;
  return const_cast<char *> (login);
}

passwd *
entry (const char *gecos)
{
  static passwd pw;
  if (!gecos)
    return nullptr;
  pw.pw_gecos = gecos == nogecos ? nullptr : const_cast<char *> (gecos);
  return &pw;
}

passwd *
fakepwnam (const char *name)
{
  nname++;
  return login && !strcmp (login, name) ? entry (namegecos) : nullptr;
}

passwd *
fakepwuid (uid_t uid)
{
  nuid++;
  return uid == myuid ? entry (uidgecos) : nullptr;
}

uid_t
fakeuid ()
{
  return myuid;
}

struct Httperror : testing::Test {
  void SetUp () override
  {
    clocknow = 784111777;
    ntime = nlogin = nname = nuid = 0;
    login = "admin";
    namegecos = uidgecos = nullptr;
    httpsys = {faketime, fakelogin, fakepwnam, fakepwuid, fakeuid};
    httperror_forget ();
    hostfake::reset ();
    hostfake::hostname = "proxy.example.org";
  }
  void TearDown () override
  {
    httpsys = httpsys_libc;
    hostfake::on = false;
    httperror_forget ();
  }
};

std::string
page (int status, const std::string &msg, const std::string &url,
      const std::string &desc)
{
  return s2 (httperror (status, S (msg), S (url), S (desc)));
}

std::string
esc (const std::string &s)
{
  static const std::map<char, std::string> ent = {{'&', "&amp;"},
                                                  {'<', "&lt;"},
                                                  {'>', "&gt;"},
                                                  {'"', "&quot;"},
                                                  {'\'', "&#39;"}};
  std::string r;
  for (char c : s)
    r += ent.count (c) ? ent.at (c) : std::string (1, c);
  return r;
}

// The response as it must be, built independently of the code under test.
std::string
model (int status, std::string msg, const std::string &url,
       const std::string &desc, const std::string &server,
       const std::string &host, const std::string &date)
{
  std::string body =
      "<HTML><HEAD>\n<TITLE>ERROR: The requested URL could not be "
      "retrieved</TITLE>\n</HEAD><BODY>\n<H1>ERROR</H1>\n<H2>The requested "
      "URL could not be retrieved</H2>\n<HR>\n<P>\nWhile trying to retrieve "
      "the URL:\n<A HREF=\"" +
      esc (url) + "\">" + esc (url) +
      "</A>\n<P>\nThe following error was encountered:\n<P>\n<STRONG>" +
      esc (desc) + "</STRONG><BR>\n<P>" + esc (server) + " at " + esc (host) +
      "\n</BODY></HTML>\n";
  std::string name = server;
  for (std::string *s : {&msg, &name})
    for (char &c : *s)
      if (c == '\r' || c == '\n')
        c = ' ';
  char code[32];
  snprintf (code, sizeof (code), "%03d", status);
  return "HTTP/1.0 " + std::string (code) + " " + msg +
         "\r\nMime-Version: 1.0\r\nContent-Type: text/html\r\n"
         "Content-Length: " +
         std::to_string (body.size ()) + "\r\nServer: " + name +
         "\r\nDate: " + date + "\r\nExpires: " + date + "\r\n\r\n" + body;
}

TEST_F (Httperror, WholeResponseExactBytes)
{
  login = nullptr;
  EXPECT_EQ (page (404, "Not Found", "http://www.example.com/index.html",
                   "Connection refused"),
             "HTTP/1.0 404 Not Found\r\n"
             "Mime-Version: 1.0\r\n"
             "Content-Type: text/html\r\n"
             "Content-Length: 424\r\n"
             "Server: Ombrix proxy server\r\n"
             "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
             "Expires: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
             "\r\n"
             "<HTML><HEAD>\n"
             "<TITLE>ERROR: The requested URL could not be retrieved</TITLE>\n"
             "</HEAD><BODY>\n"
             "<H1>ERROR</H1>\n"
             "<H2>The requested URL could not be retrieved</H2>\n"
             "<HR>\n"
             "<P>\n"
             "While trying to retrieve the URL:\n"
             "<A HREF=\"http://www.example.com/index.html\">"
             "http://www.example.com/index.html</A>\n"
             "<P>\n"
             "The following error was encountered:\n"
             "<P>\n"
             "<STRONG>Connection refused</STRONG><BR>\n"
             "<P>Ombrix proxy server at proxy.example.org\n"
             "</BODY></HTML>\n");
  EXPECT_EQ (ntime, 1) << "Date and Expires come from one reading";
  EXPECT_EQ (page (404, "", "", ""),
             model (404, "", "", "", "Ombrix proxy server", "proxy.example.org",
                    "Sun, 06 Nov 1994 08:49:37 GMT"));
}

TEST_F (Httperror, EachSpecialCharacterEscapedInEachInsertedText)
{
  static const char *const ent[][2] = {{"&", "&amp;"},
                                       {"<", "&lt;"},
                                       {">", "&gt;"},
                                       {"\"", "&quot;"},
                                       {"'", "&#39;"}};
  for (auto &e : ent)
    for (int field = 0; field < 4; field++) {
      SCOPED_TRACE (std::string (e[0]) + " in field " + std::to_string (field));
      std::string raw = std::string ("a") + e[0] + "b",
                  want = std::string ("a") + e[1] + "b";
      httperror_forget ();
      uidgecos = field == 2 ? raw.c_str () : "Uid";
      login = nullptr;
      hostfake::hostname = field == 3 ? raw + ".example" : "h.example";
      std::string r =
          page (502, raw, field == 0 ? raw : "u", field == 1 ? raw : "d");
      std::string body = r.substr (r.find ("\r\n\r\n") + 4);
      size_t n = 0;
      for (size_t at = 0; (at = body.find (want, at)) != std::string::npos;)
        n++, at++;
      EXPECT_EQ (n, field == 0 ? 2u : 1u);
      EXPECT_EQ (body.find (raw), std::string::npos);
      EXPECT_EQ (r.compare (0, 18, "HTTP/1.0 502 " + raw + "\r\n"), 0)
          << "the status line is not HTML";
    }
}

// Random texts full of markup, line ends, zero and high bytes, some
// longer than a copied piece, and statuses of every width: the exact
// bytes against the model, and the head read back by the response parser.
TEST_F (Httperror, RandomPagesMatchModelAndParseBack)
{
  std::mt19937 rng (6);
  static const char alpha[] = "ab&<>\"'\r\n /:\xff";
  auto rtext = [&] (size_t max, bool nul) {
    std::string s (rng () % (max + 1), 'x');
    for (char &c : s)
      c = nul && rng () % 16 == 0 ? '\0' : alpha[rng () % (sizeof (alpha) - 1)];
    return s;
  };
  static const int statuses[] = {0,    5,  42, 99,   100,     404,     599, 600,
                                 1234, -7, -1, 1000, INT_MAX, INT_MIN, 200};
  for (int i = 0; i < 400; i++) {
    httperror_forget ();
    login = nullptr;
    std::string gecos = "G" + rtext (20, false);
    uidgecos = gecos.c_str ();
    hostfake::hostname = "h." + rtext (30, false);
    int st = statuses[rng () % (sizeof (statuses) / sizeof (*statuses))];
    std::string msg = rtext (20, true), url = rtext (300, true),
                desc = rtext (200, true);
    clocknow = rng () % 4102444800;
    std::string r = page (st, msg, url, desc);
    ASSERT_EQ (r, model (st, msg, url, desc, gecos + "'s proxy server",
                         hostfake::hostname, s2 (httptime ())));

    httpresp resp;
    suio u;
    u.copy (r.data (), r.size ());
    ASSERT_EQ (resp.parse (&u), st >= 100 && st <= 599 ? 1 : -1);
    if (st < 100 || st > 599)
      continue;
    EXPECT_EQ (resp.status, st);
    EXPECT_EQ (size_t (resp.content_length ()), u.resid ());
    EXPECT_EQ (text (u).compare (0, 12, "<HTML><HEAD>"), 0);
    EXPECT_EQ (resp.date, clocknow);
    EXPECT_EQ (resp.expires, clocknow);
  }
}

TEST_F (Httperror, ServerNameComputedOnceHostNameEveryCall)
{
  namegecos = "Proxy Admin,Room 1,,";
  std::string a = page (500, "Oops", "u", "d");
  EXPECT_EQ (nlogin, 1);
  EXPECT_EQ (nname, 1);
  EXPECT_EQ (nuid, 0);
  namegecos = "Someone Else";
  hostfake::hostname = "other.example.org";
  std::string b = page (500, "Oops", "u", "d");
  EXPECT_EQ (nlogin + nname + nuid, 2);
  for (const std::string &r : {a, b}) {
    EXPECT_NE (r.find ("\r\nServer: Proxy Admin,Room 1,,'s proxy server\r\n"),
               std::string::npos);
    EXPECT_NE (r.find ("<P>Proxy Admin,Room 1,,&#39;s proxy server at "),
               std::string::npos);
  }
  EXPECT_NE (a.find (" at proxy.example.org\n"), std::string::npos);
  EXPECT_NE (b.find (" at other.example.org\n"), std::string::npos);
}

TEST_F (Httperror, ServerNameSources)
{
  struct {
    const char *login, *namegecos, *uidgecos;
    const char *server;
    int nname, nuid;
  } cases[] = {
      {"admin", "Proxy Admin,Room 1,,", "U", "Proxy Admin,Room 1,,'s", 1, 0},
      {"admin", "", "U", "Ombrix", 1, 0},
      {"admin", nogecos, "U", "Ombrix", 1, 0},
      {"admin", nullptr, "U", "U's", 1, 1},
      {nullptr, "N", "U", "U's", 0, 1},
      {nullptr, "N", "", "Ombrix", 0, 1},
      {nullptr, "N", nullptr, "Ombrix", 0, 1},
  };
  for (auto &c : cases) {
    SCOPED_TRACE (c.server);
    httperror_forget ();
    nname = nuid = 0;
    login = c.login;
    namegecos = c.namegecos;
    uidgecos = c.uidgecos;
    std::string r = page (404, "x", "u", "d");
    EXPECT_NE (
        r.find ("\r\nServer: " + std::string (c.server) + " proxy server\r\n"),
        std::string::npos);
    EXPECT_EQ (nname, c.nname);
    EXPECT_EQ (nuid, c.nuid);
  }
}

TEST_F (Httperror, PlainHostNameWhenNoQualifiedName)
{
  hostfake::hostname = "plainhost";
  std::string r;
  EXPECT_EQ (hostfake::errout ([&] { r = page (404, "x", "u", "d"); }),
             "cannot find fully qualified domain name of this host\n"
             "set system name to fully-qualified domain name or fix "
             "/etc/resolv.conf\n");
  std::string tail = "<P>Ombrix proxy server at plainhost\n</BODY></HTML>\n";
  EXPECT_EQ (r.substr (r.size () - tail.size ()), tail);
}

TEST_F (Httperror, NullArgumentsAreAssertions)
{
  const char *re = "statmsg && url && description";
  EXPECT_DEATH (httperror (404, str (), "u", "d"), re);
  EXPECT_DEATH (httperror (404, "m", str (), "d"), re);
  EXPECT_DEATH (httperror (404, "m", "u", str ()), re);
}

// Dates in several zones: a zone must not leak into a GMT date.
TEST_F (Httperror, HttptimeKnownDatesAndStrftimeInEveryZone)
{
  static const std::pair<int64_t, const char *> known[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"},
      {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"},
      {-30610224000, "Wed, 01 Jan 1000 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  const char *oldtz = getenv ("TZ");
  std::string saved = oldtz ? oldtz : "";
  std::mt19937_64 rng (29);
  for (const char *tz : {"UTC0", "EST5EDT", "<+0545>-5:45", "<-14>14"}) {
    SCOPED_TRACE (tz);
    setenv ("TZ", tz, 1);
    tzset ();
    for (auto &k : known) {
      clocknow = k.first;
      EXPECT_EQ (s2 (httptime ()), k.second);
    }
    for (int i = 0; i < 500; i++) {
      clocknow = -30610224000 + int64_t (rng () % 284012524800);
      struct tm tm;
      char want[64];
      ASSERT_TRUE (gmtime_r (&clocknow, &tm));
      strftime (want, sizeof (want), "%a, %d %b %Y %H:%M:%S GMT", &tm);
      ASSERT_EQ (s2 (httptime ()), want);
    }
  }
  oldtz ? setenv ("TZ", saved.c_str (), 1) : unsetenv ("TZ");
  tzset ();
}

TEST_F (Httperror, HttptimeYearsOutsideFourDigitsPanic)
{
  const char *re = "PANIC: [^\n]*\nassertion \"n == 29\" failed at "
                   "[^\n]*http\\.cc:[0-9]+\n";
  for (int64_t t : {int64_t (253402300800), int64_t (-30610224001),
                    int64_t (67768033004467200), // tm_year INT_MAX - 100
                    int64_t (INT64_MAX), int64_t (INT64_MIN)}) {
    clocknow = t;
    EXPECT_DEATH (httptime (), re) << t;
  }
}

// The system's own clock and identity, nothing faked.
TEST (HttperrorSystem, RealClockAndNames)
{
  time_t before = time (nullptr);
  std::string r = page (503, "Service Unavailable", "http://x/", "down");
  httpresp resp;
  suio u;
  u.copy (r.data (), r.size ());
  ASSERT_EQ (resp.parse (&u), 1);
  EXPECT_GE (resp.date, before);
  EXPECT_LE (resp.date, time (nullptr));
  EXPECT_EQ (resp.date, resp.expires);
  std::string server = r.substr (r.find ("Server: ") + 8);
  server.resize (server.find ("\r\n"));
  EXPECT_TRUE (server == "Ombrix proxy server" ||
               server.find ("'s proxy server") != std::string::npos)
      << server;
  EXPECT_NE (r.find ("<P>" + esc (server) + " at "), std::string::npos);
}

} // namespace
