// HTTP heads: httpreq_parse over ten realistic proxy request heads and
// httpresp over typical response heads, beside Node's http-parser
// (Debian's libhttp-parser, loaded at run time) parsing the same bytes with
// every callback set.  Our figure includes what the proxy needs and the
// peer does not do: URL normalisation, the URL key (SHA-1 and base-32),
// the dates and the pragma check.  Counters: time_per_head (lower is
// better) and bytes_per_second.

#include <benchmark/benchmark.h>

#include "http.h"

#include <http_parser.h>

#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The heads of the corpus, each with its blank line.
std::vector<std::string>
splitheads (const std::string &all)
{
  std::vector<std::string> v;
  for (size_t p = 0, e; (e = all.find ("\r\n\r\n", p)) != std::string::npos;
       p = e + 4)
    v.push_back (all.substr (p, e + 4 - p));
  return v;
}

const std::vector<std::string> &
reqheads ()
{
  static std::vector<std::string> v = [] {
    std::ifstream f (OMBRIX_BENCHDATA "/proxy_heads.http", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf ();
    return splitheads (ss.str ());
  }();
  return v;
}

const std::vector<std::string> &
respheads ()
{
  static std::vector<std::string> v = splitheads (
      "HTTP/1.1 200 OK\r\n"
      "Date: Tue, 15 Aug 2023 10:12:45 GMT\r\n"
      "Server: Apache/2.4.57 (Debian)\r\n"
      "Last-Modified: Mon, 14 Aug 2023 22:01:09 GMT\r\n"
      "ETag: \"5d8c72a5-2f3b1\"\r\n"
      "Accept-Ranges: bytes\r\n"
      "Content-Length: 193457\r\n"
      "Cache-Control: max-age=3600\r\n"
      "Expires: Tue, 15 Aug 2023 11:12:45 GMT\r\n"
      "Content-Type: application/javascript\r\n"
      "\r\n"
      "HTTP/1.1 304 Not Modified\r\n"
      "Date: Sat, 07 Oct 2023 09:20:01 GMT\r\n"
      "Server: nginx/1.22.1\r\n"
      "ETag: \"65212465-1c2a0\"\r\n"
      "Connection: keep-alive\r\n"
      "\r\n"
      "HTTP/1.0 404 Not Found\r\n"
      "Date: Sat, 07 Oct 2023 09:20:02 GMT\r\n"
      "Content-Type: text/html; charset=iso-8859-1\r\n"
      "Content-Length: 274\r\n"
      "Pragma: no-cache\r\n"
      "Connection: close\r\n"
      "\r\n"
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: application/json; charset=utf-8\r\n"
      "Content-Length: 1532\r\n"
      "Vary: Accept-Encoding\r\n"
      "X-Request-ID: 7c9e6679-7425-40de-944b-e07fc1f90ae7\r\n"
      "Set-Cookie: sid=Fe26.2**a1b2c3d4e5f6**9f8e7d6c5b4a; Path=/; HttpOnly\r\n"
      "\r\n");
  return v;
}

size_t
totalsize (const std::vector<std::string> &v)
{
  size_t n = 0;
  for (auto &h : v)
    n += h.size ();
  return n;
}

void
setcounters (benchmark::State &st, const std::vector<std::string> &heads)
{
  st.SetBytesProcessed (st.iterations () * totalsize (heads));
  st.counters["time_per_head"] = benchmark::Counter (
      heads.size (), benchmark::Counter::kIsIterationInvariantRate |
                         benchmark::Counter::kInvert);
}

void
BM_httpreq_parse (benchmark::State &st)
{
  const auto &heads = reqheads ();
  httpreq r;
  for (auto _ : st)
    for (auto &h : heads) {
      int n = httpreq_parse (&r, h.data (), h.size ());
      if (n != static_cast<int> (h.size ()))
        st.SkipWithError ("head not parsed");
      benchmark::DoNotOptimize (r.urlhash ());
    }
  setcounters (st, heads);
}

void
BM_httpresp_parse (benchmark::State &st)
{
  const auto &heads = respheads ();
  httpresp r;
  for (auto _ : st)
    for (auto &h : heads) {
      suio uio;
      uio.print (h.data (), h.size ());
      r.reset ();
      if (r.parse (&uio) != 1)
        st.SkipWithError ("head not parsed");
      benchmark::DoNotOptimize (r.status);
    }
  setcounters (st, heads);
}

// The URL key of a typical URL.
void
BM_hashstr (benchmark::State &st)
{
  str url ("http://cdn.example.net:8080/static/js/app.3f9c2b1e.min.js");
  for (auto _ : st)
    benchmark::DoNotOptimize (hashstr (url).cstr ());
}

// ---- The peer ----

struct peerlib {
  void (*init) (http_parser *, enum http_parser_type);
  size_t (*execute) (http_parser *, const http_parser_settings *, const char *,
                     size_t);
  bool ok;

  peerlib () : ok (false)
  {
    void *h = dlopen ("libhttp_parser.so.2.9", RTLD_NOW);
    if (!h)
      return;
    init = reinterpret_cast<decltype (init)> (dlsym (h, "http_parser_init"));
    execute =
        reinterpret_cast<decltype (execute)> (dlsym (h, "http_parser_execute"));
    ok = init && execute;
  }
};

const peerlib &
peer ()
{
  static peerlib p;
  return p;
}

// Every callback does a little work, so that none is a no-op.
struct peertally {
  size_t bytes = 0;
  int events = 0;
};

int
on_event (http_parser *p)
{
  static_cast<peertally *> (p->data)->events++;
  return 0;
}

int
on_data (http_parser *p, const char *, size_t n)
{
  static_cast<peertally *> (p->data)->bytes += n;
  return 0;
}

const http_parser_settings peersettings = {
    on_event, on_data, on_data,  on_data,  on_data,
    on_event, on_data, on_event, on_event, on_event,
};

void
peerrun (benchmark::State &st, const std::vector<std::string> &heads,
         enum http_parser_type type)
{
  const peerlib &lib = peer ();
  if (!lib.ok) {
    st.SkipWithError ("libhttp_parser.so.2.9 not found");
    return;
  }
  http_parser p;
  peertally t;
  for (auto _ : st)
    for (auto &h : heads) {
      lib.init (&p, type);
      p.data = &t;
      size_t n = lib.execute (&p, &peersettings, h.data (), h.size ());
      if (n != h.size () || p.http_errno)
        st.SkipWithError ("head not parsed");
    }
  benchmark::DoNotOptimize (t);
  setcounters (st, heads);
}

void
BM_peer_http_parser_request (benchmark::State &st)
{
  peerrun (st, reqheads (), HTTP_REQUEST);
}

void
BM_peer_http_parser_response (benchmark::State &st)
{
  peerrun (st, respheads (), HTTP_RESPONSE);
}

} // namespace

BENCHMARK (BM_httpreq_parse);
BENCHMARK (BM_peer_http_parser_request);
BENCHMARK (BM_httpresp_parse);
BENCHMARK (BM_peer_http_parser_response);
BENCHMARK (BM_hashstr);
