// The error response: httperror over a typical URL and description, with
// the clock and host name answered at once (http_seam.h, hostfake.h) so
// that the figure is the page's own cost, beside snprintf writing the same
// bytes (unescaped texts, strftime date) into a stack buffer and copying
// them into a std::string.  Counter: time per page (lower is better).

#include <benchmark/benchmark.h>

#include "http.h"
#include "http_seam.h"
#include "tests/hostfake.h"

#include <cstdio>
#include <string>

namespace {

const char url[] = "http://www.example.com/catalog/item?id=12345&lang=en";
const char desc[] = "Connection refused";

time_t
fixedtime (time_t *)
{
  return 784111777;
}

// The host name from the fake, for both: no system call in either loop.
void
fakehost ()
{
  hostfake::reset ();
  hostfake::hostname = "proxy.example.org";
}

void
BM_httperror (benchmark::State &state)
{
  httpsys.time = fixedtime;
  fakehost ();
  str u (url), d (desc), m ("Service Unavailable");
  for (auto _ : state) {
    str r = httperror (503, m, u, d);
    benchmark::DoNotOptimize (r.cstr ());
  }
  hostfake::on = false;
  httpsys = httpsys_libc;
}
BENCHMARK (BM_httperror);

void
BM_snprintf_page (benchmark::State &state)
{
  fakehost ();
  char body[2048], page[4096], date[30];
  for (auto _ : state) {
    time_t t = fixedtime (nullptr);
    struct tm tm;
    gmtime_r (&t, &tm);
    strftime (date, sizeof (date), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    char host[128];
    gethostname (host, sizeof (host));
    int n = snprintf (
        body, sizeof (body),
        "<HTML><HEAD>\n<TITLE>ERROR: The requested URL could not be "
        "retrieved</TITLE>\n</HEAD><BODY>\n<H1>ERROR</H1>\n<H2>The requested "
        "URL could not be retrieved</H2>\n<HR>\n<P>\nWhile trying to "
        "retrieve the URL:\n<A HREF=\"%s\">%s</A>\n<P>\nThe following error "
        "was encountered:\n<P>\n<STRONG>%s</STRONG><BR>\n<P>%s at "
        "%s\n</BODY></HTML>\n",
        url, url, desc, "Ombrix proxy server", host);
    int h = snprintf (page, sizeof (page),
                      "HTTP/1.0 %03d %s\r\nMime-Version: 1.0\r\nContent-Type: "
                      "text/html\r\nContent-Length: %d\r\nServer: %s\r\nDate: "
                      "%s\r\nExpires: %s\r\n\r\n%s",
                      503, "Service Unavailable", n, "Ombrix proxy server",
                      date, date, body);
    std::string r (page, h);
    benchmark::DoNotOptimize (r.data ());
  }
  hostfake::on = false;
}
BENCHMARK (BM_snprintf_page);

} // namespace
