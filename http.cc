#include "http.h"
#include "http_seam.h"

#include "async/armor.h"
#include "async/convertint.h"
#include "async/err.h"
#include "async/init.h"
#include "async/myname.h"
#include "async/rxx.h"
#include "crypt/sha1.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

// The four shared patterns, compiled before main in this order and released
// in the reverse order at exit.  A head runs through them once per line, so
// they are JIT-compiled where the platform allows it; where it does not
// (no executable memory), the interpreter gives the same results.
static struct httpinit {
  rxxinit rxinit; // the pattern allocator first
  rxx hdrnameval;
  rxx urlrx;
  rxx reqrx;
  rxx resprx;

  httpinit ()
      : hdrnameval ("^([^\\s:]+):\\s*(.*)\r?\n\\z", "s"),
        urlrx ("^http://([\\w.-]+)(:(\\d+))?(/\\S*)?", "i"),
        reqrx ("^(\\S+)\\s+(http://[\\w.-]+(:\\d+)?(/\\S*)?)", "i"),
        resprx ("^HTTP/\\d+\\.\\d+\\s+([1-5]\\d\\d)\\s+(.*)", "i")
  {
    for (rxx *r : {&hdrnameval, &urlrx, &reqrx, &resprx})
      r->study (); // a failure leaves the interpreter
  }
} httpinit_obj INITPRIO (INITPRIO_HTTP);

static rxx &hdrnameval = httpinit_obj.hdrnameval;
static rxx &urlrx = httpinit_obj.urlrx;
static rxx &reqrx = httpinit_obj.reqrx;
static rxx &resprx = httpinit_obj.resprx;

// Matching is limited to subjects that fit an int; a longer line (only
// possible on 64-bit) is not one the patterns accept.
static bool
matches (rxx &r, const str &s)
{
  return s && s.len () <= INT_MAX && r.exec (s);
}

enum lettercase { asis, tolow, toup };

// Group n of r's last match as a str, its letters mapped as lc says (the
// POSIX locale's tolower or toupper, whatever locale is set); null when
// the group took no part.
static str
capture (const rxx &r, const str &subj, int n, lettercase lc = asis)
{
  int s = r.start (n);
  if (s < 0)
    return str ();
  size_t len = r.end (n) - s;
  const char *p = subj.cstr () + s;
  if (lc == asis)
    return str (p, len);
  mstr m (len);
  char *d = m, lo = lc == tolow ? 'A' : 'a', hi = lo + 25;
  for (size_t i = 0; i < len; i++)
    d[i] = p[i] >= lo && p[i] <= hi ? p[i] ^ 0x20 : p[i];
  return m;
}

// isalnum of the POSIX locale, whatever locale is set.
static bool
alnum (char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

// Whether s (not null) holds exactly the bytes of the literal lit.
template <size_t N>
static bool
is (const str &s, const char (&lit)[N])
{
  return s.len () == N - 1 && !memcmp (s.cstr (), lit, N - 1);
}

// strtol in base 10 saturated at the int limits (a 64-bit long would
// otherwise be cut to its low 32 bits).
static int
strtoint (const str &s)
{
  int64_t v = strtoi64 (s.cstr (), nullptr, 10);
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int> (v);
}

// ---- The base: logical lines ----

str
suio_remstr (suio *uio, size_t n)
{
  stdassert (n <= uio->resid ());
  mstr m (n);
  uio->copyout (m.cstr (), n);
  uio->rembytes (n);
  return m;
}

// The first byte at or after entry v, offset off; -1 when there is none.
static int
byteat (const iovec *v, const iovec *lim, size_t off)
{
  for (; v < lim; v++, off = 0)
    if (off < v->iov_len)
      return static_cast<unsigned char> (
          static_cast<const char *> (v->iov_base)[off]);
  return -1;
}

str
httpparse::gethdr (suio *uio)
{
  const iovec *v = uio->iov (), *lim = uio->iovlim ();
  size_t before = 0; // bytes in the entries already passed
  size_t off = 0;    // where the search goes on in *v
  while (v < lim) {
    const char *b = static_cast<const char *> (v->iov_base);
    const void *lf = nullptr;
    if (off < v->iov_len)
      lf = memchr (b + off, '\n', v->iov_len - off);
    if (!lf) {
      before += v->iov_len;
      v++;
      off = 0;
      continue;
    }
    off = static_cast<const char *> (lf) - b + 1;
    size_t n = before + off;
    if (n == 1 || (n == 2 && byteat (uio->iov (), lim, 0) == '\r')) {
      uio->rembytes (n);
      return str ("", 0);
    }
    int c = byteat (v, lim, off);
    if (c < 0)
      return str ();
    if (c != ' ' && c != '\t')
      return suio_remstr (uio, n);
  }
  return str ();
}

// Name (lower-cased) and value of a header line; false without the form.
static bool
splithdr (const str &hdr, str *name, str *val)
{
  if (!matches (hdrnameval, hdr))
    return false;
  *name = capture (hdrnameval, hdr, 1, tolow);
  int s = hdrnameval.start (2), e = hdrnameval.end (2);
  if (e > s && hdr[e - 1] == '\r')
    e--;
  *val = str (hdr.cstr () + s, e - s);
  return true;
}

str
httpparse::hdrname (str hdr)
{
  if (!matches (hdrnameval, hdr))
    return str ();
  return capture (hdrnameval, hdr, 1, tolow);
}

str
httpparse::hdrval (str hdr)
{
  str name, val;
  if (!splithdr (hdr, &name, &val))
    panic_at (ERR_POS, "hdrval: bad header: %s\n", hdr.cstr ());
  return val;
}

int
httpparse::parse (suio *uio)
{
  for (;;) {
    str h = gethdr (uio);
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
    str name, val;
    if (!splithdr (h, &name, &val))
      return -1;
    if (!doheader (name, val))
      suio_print (_headers.tosuio (), h);
  }
}

void
httpparse::resetbase ()
{
  firstdone = false;
  suio *u = _headers.tosuio ();
  u->rembytes (u->resid ());
}

// ---- Header values ----

// The pattern text "(^|,)\s*<pragma>\s*(,|$)" with every byte of pragma
// that is not a letter or a digit taken literally.
static str
pragmapat (const str &pragma)
{
  strbuf sb;
  sb << "(^|,)\\s*";
  for (size_t i = 0; i < pragma.len (); i++) {
    char c = pragma[i];
    char esc[2] = {'\\', c};
    if (!c)
      sb << "\\x00"; // a NUL would end the pattern text
    else if (alnum (c))
      sb.buf (&c, 1);
    else
      sb.buf (esc, 2);
  }
  sb << "\\s*(,|$)";
  return sb;
}

bool
httpparse::checkpragma (str val, str pragma)
{
  if (!val || !pragma)
    return false;
  rxx r (pragmapat (pragma), "i");
  return matches (r, val);
}

static_assert (sizeof (time_t) >= 8, "dates after 2038 need 64-bit time");

// Days from 1970-01-01 to y-m-d (m 1-12) in the proleptic Gregorian
// calendar, for y >= 0; d past the month's end runs on, as timegm does.
static int64_t
daysfromcivil (int64_t y, int m, int d)
{
  y -= m <= 2;
  int64_t era = y / 400, yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The n decimal digits at p; -1 if one is not a digit.
static int
digits (const char *p, int n)
{
  int v = 0;
  for (int i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9')
      return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// Index of the three letters at p among names (exact case), or -1.
static int
nameindex (const char *p, const char *names)
{
  for (int i = 0; names[3 * i]; i++)
    if (!strncmp (p, names + 3 * i, 3))
      return i;
  return -1;
}

// The canonical RFC 1123 form "Sun, 06 Nov 1994 08:49:37 GMT" that servers
// send, read directly: strptime spends most of a microsecond trying every
// day and month name.  Only texts that strptime reads the same way are
// taken (exact names, every field inside strptime's ranges); any other
// returns false and is left to strptime.
static bool
rfc1123 (const char *t, time_t *res)
{
  static const char form[] = "@@@, ## @@@ #### ##:##:## GMT";
  static const char days[] = "SunMonTueWedThuFriSat";
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // Byte by byte: the NUL of a shorter text fails before anything past it
  // is read.
  for (int i = 0; form[i]; i++)
    if (form[i] == '#'   ? t[i] < '0' || t[i] > '9'
        : form[i] == '@' ? !t[i]
                         : t[i] != form[i])
      return false;
  int mon = nameindex (t + 8, months);
  int d = digits (t + 5, 2), y = digits (t + 12, 4);
  int h = digits (t + 17, 2), mi = digits (t + 20, 2), s = digits (t + 23, 2);
  if (nameindex (t, days) < 0 || mon < 0 || d < 1 || d > 31 || h > 23 ||
      mi > 59 || s > 59)
    return false;
  *res = daysfromcivil (y, mon + 1, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

time_t
httpparse::parsetime (const char *text)
{
  time_t t;
  if (rfc1123 (text, &t))
    return t;
  struct tm tm;
  memset (&tm, 0, sizeof (tm));
  if (!strptime (text, "%a, %d %b %Y %H:%M:%S GMT", &tm) &&
      !strptime (text, "%a %b %d %H:%M:%S %Y", &tm))
    return -1;
  return timegm (&tm);
}

// ---- URLs and request lines ----

// Port digits: decimal, 0 to 65535; anything else names no port a client
// could mean, and must not wrap to one it did not name.
static bool
portval (const char *p, size_t n, u_int16_t *port)
{
  unsigned v = 0;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9')
      return false;
    v = v * 10 + (p[i] - '0');
    if (v > 65535)
      return false;
  }
  if (!n)
    return false;
  *port = static_cast<u_int16_t> (v);
  return true;
}

bool
httpparse::parseurl (str *host, u_int16_t *port, str *path, str url)
{
  if (!matches (urlrx, url))
    return false;
  u_int16_t p = 80;
  int ps = urlrx.start (3);
  if (ps >= 0 && !portval (url.cstr () + ps, urlrx.end (3) - ps, &p))
    return false;
  *host = capture (urlrx, url, 1, tolow);
  *port = p;
  *path = urlrx.start (4) >= 0 ? capture (urlrx, url, 4) : str ("/", 1);
  return true;
}

// "http://" host, ":" port unless it is 80, path.
static str
normurl (const str &host, u_int16_t port, const str &path)
{
  char pb[8] = "";
  size_t pl = port == 80 ? 0 : snprintf (pb, sizeof (pb), ":%d", port);
  mstr m (7 + host.len () + pl + path.len ());
  char *d = m;
  memcpy (d, "http://", 7);
  memcpy (d += 7, host.cstr (), host.len ());
  memcpy (d += host.len (), pb, pl);
  memcpy (d += pl, path.cstr (), path.len ());
  return m;
}

bool
httpparse::parsereq (str *method, str *url, str line)
{
  if (!matches (reqrx, line))
    return false;
  str m = capture (reqrx, line, 1, toup);
  str host, path;
  u_int16_t port;
  if (!parseurl (&host, &port, &path, capture (reqrx, line, 2)))
    return false;
  *method = m;
  *url = normurl (host, port, path);
  return true;
}

// ---- Requests ----

str
hashstr (str src)
{
  sha1ctx c;
  c.update (src.cstr (), src.len ());
  u_char d[sha1::hashsize];
  c.final (d);
  return armor32 (d, sizeof (d));
}

void
httpreq::reset ()
{
  resetbase ();
  nocache = false;
  if_modified_since = -1;
  _content_length = -1;
  authorization = _method = _host = str ();
  _port = 0;
  _path = _url = _urlhash = str ();
}

bool
httpreq::dofirst (str line)
{
  if (!parsereq (&_method, &_url, line) ||
      !parseurl (&_host, &_port, &_path, _url))
    return false;
  _headers << _method << " " << _path << " HTTP/1.0\r\n";
  _urlhash = hashstr (_url);
  return true;
}

bool
httpreq::doheader (str name, str val)
{
  if (is (name, "pragma")) {
    if (checkpragma (val, "no-cache"))
      nocache = true;
  } else if (is (name, "if-modified-since")) {
    if_modified_since = parsetime (val);
    return true;
  } else if (is (name, "content-length"))
    _content_length = strtoint (val);
  else if (is (name, "authorization"))
    authorization = val;
  return false;
}

int
httpreq_parse (httpreq *resp, const char *buf, size_t len)
{
  suio uio;
  uio.print (buf, len);
  resp->reset ();
  int n = resp->parse (&uio);
  if (n <= 0)
    return n;
  size_t head = len - uio.resid ();
  return head > INT_MAX ? -1 : static_cast<int> (head);
}

// ---- Responses ----

bool
httpparse::parseresp (int *status, str *msg, str line)
{
  if (!matches (resprx, line))
    return false;
  convertint (capture (resprx, line, 1).cstr (), status);
  *msg = capture (resprx, line, 2);
  return true;
}

void
httpresp::reset ()
{
  resetbase ();
  status = 0;
  statusmsg = str ();
  nocache = false;
  date = expires = last_modified = -1;
  _content_length = -1;
}

bool
httpresp::dofirst (str line)
{
  if (!parseresp (&status, &statusmsg, line))
    return false;
  _headers << line;
  return true;
}

bool
httpresp::doheader (str name, str val)
{
  if (is (name, "pragma")) {
    if (checkpragma (val, "no-cache"))
      nocache = true;
  } else if (is (name, "date"))
    date = parsetime (val);
  else if (is (name, "expires"))
    expires = parsetime (val);
  else if (is (name, "last-modified"))
    last_modified = parsetime (val);
  else if (is (name, "content-length"))
    _content_length = strtoint (val);
  return false;
}

// ---- Error responses and dates ----

const httpseam httpsys_libc = {time, getlogin, getpwnam, getpwuid, getuid};
httpseam httpsys = httpsys_libc;

// English names, whatever locale the program sets: a date header in
// another language is one no client reads.
static const char wdays[7][4] = {"Sun", "Mon", "Tue", "Wed",
                                 "Thu", "Fri", "Sat"};
static const char mnames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

str
httptime ()
{
  time_t t = httpsys.time (nullptr);
  struct tm tm;
  char buf[30];
  int n = 0; // stays 0 when the year does not fit a struct tm
  // tm_year + 1900 in an int would overflow for the last years gmtime_r
  // can give.
  if (gmtime_r (&t, &tm))
    n = snprintf (buf, sizeof (buf), "%s, %02d %s %lld %02d:%02d:%02d GMT",
                  wdays[tm.tm_wday], tm.tm_mday, mnames[tm.tm_mon],
                  1900LL + tm.tm_year, tm.tm_hour, tm.tm_min, tm.tm_sec);
  libassert (n == 29);
  return str (buf, n);
}

// The server name, null until httperror first computes it; released at
// exit with the other statics.
static str &
servername ()
{
  static str server;
  return server;
}

void
httperror_forget ()
{
  servername () = str ();
}

// The pw_gecos text is copied before any other password lookup can
// overwrite the entry it lives in.
static str
whoami ()
{
  struct passwd *pw = nullptr;
  if (const char *login = httpsys.getlogin ())
    pw = httpsys.getpwnam (login);
  if (!pw)
    pw = httpsys.getpwuid (httpsys.getuid ());
  if (pw && pw->pw_gecos && *pw->pw_gecos)
    return strbuf ("%s's proxy server", pw->pw_gecos);
  return "Ombrix proxy server";
}

// myname, or the plain host name when the host has no fully qualified one
// (myname has warned); empty if even that cannot be read.
static str
signhost ()
{
  if (str n = myname ())
    return n;
  char name[HOST_NAME_MAX + 2];
  if (gethostname (name, sizeof (name) - 1) < 0)
    return "";
  name[sizeof (name) - 1] = '\0';
  return name;
}

// What a byte becomes: its replacement text, or null to keep it.
typedef const char *(*bytemap) (char c);

static const char *
htmlentity (char c)
{
  switch (c) {
  case '&':
    return "&amp;";
  case '<':
    return "&lt;";
  case '>':
    return "&gt;";
  case '"':
    return "&quot;";
  case '\'':
    return "&#39;";
  }
  return nullptr;
}

// Keeps a header line one line.
static const char *
nolineend (char c)
{
  return c == '\r' || c == '\n' ? " " : nullptr;
}

// Appends s with its bytes mapped; a str with nothing to map goes in whole
// (referenced when long), otherwise runs between mapped bytes are copied.
static void
catmapped (const strbuf &b, const str &s, bytemap map)
{
  const char *run = s.cstr (), *end = run + s.len ();
  for (const char *p = run; p < end; p++)
    if (const char *rep = map (*p)) {
      b.buf (run, p - run) << rep;
      run = p + 1;
    }
  if (run == s.cstr ())
    b << s;
  else
    b.buf (run, end - run);
}

static void
htmlcat (const strbuf &b, const str &s)
{
  catmapped (b, s, htmlentity);
}

str
httperror (int status, str statmsg, str url, str description)
{
  stdassert (statmsg && url && description);
  str &server = servername ();
  if (!server)
    server = whoami ();

  // The long literal goes in by reference: static text, nothing to copy.
  strbuf body;
  body.cat ("<HTML><HEAD>\n<TITLE>ERROR: The requested URL could not be "
            "retrieved</TITLE>\n</HEAD><BODY>\n<H1>ERROR</H1>\n<H2>The "
            "requested URL could not be retrieved</H2>\n<HR>\n<P>\nWhile "
            "trying to retrieve the URL:\n<A HREF=\"",
            false);
  htmlcat (body, url);
  body << "\">";
  htmlcat (body, url);
  body << "</A>\n<P>\nThe following error was encountered:\n<P>\n<STRONG>";
  htmlcat (body, description);
  body << "</STRONG><BR>\n<P>";
  htmlcat (body, server);
  body << " at ";
  htmlcat (body, signhost ());
  body << "\n</BODY></HTML>\n";

  strbuf head ("HTTP/1.0 %03d ", status);
  catmapped (head, statmsg, nolineend);
  head << "\r\n";
  str now = httptime ();
  head << "Mime-Version: 1.0\r\nContent-Type: text/html\r\n";
  // size_t fits an unsigned long on both ABIs: no length is cut.
  head.fmt ("Content-Length: %lu\r\n",
            static_cast<unsigned long> (body.tosuio ()->resid ()));
  // The full-name field is the user's to set: it must not end the line.
  head << "Server: ";
  catmapped (head, server, nolineend);
  head << "\r\n"
       << "Date: " << now << "\r\n"
       << "Expires: " << now << "\r\n\r\n";
  head.tosuio ()->take (body.tosuio ());
  return head;
}
