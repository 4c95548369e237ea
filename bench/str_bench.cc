// Building a ten-piece message and flattening it to one string: strbuf
// (short pieces copied, long strings referenced, one fmt) then a str,
// beside std::string appends and one snprintf.

#include "async/str.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

// The pieces: three short texts and two long ones besides the literals.
struct pieces {
  std::string server = "Server: ombrix/0.1\r\n";
  std::string date = "Mon, 07 Dec 2026 05:16:29 GMT";
  std::string host = "proxy.example.org";
  std::string via = "Via: 1.0 " + std::string (190, 'v') + "\r\n";
  std::string body = std::string (400, 'b');
} text;

struct strpieces {
  str server{text.server.c_str ()};
  str date{text.date.c_str ()};
  str host{text.host.c_str ()};
  str via{text.via.c_str ()};
  str body{text.body.c_str ()};
};

} // namespace

static void
BM_strbuf_message (benchmark::State &state)
{
  strpieces p;
  int n = 0;
  for (auto _ : state) {
    strbuf sb;
    sb << "HTTP/1.0 200 OK\r\n" << p.server << p.via << "Date: " << p.date;
    sb.fmt ("\r\nContent-Length: %d\r\n", n++ & 0xffff);
    sb << "X-Cache: MISS from " << p.host << "\r\n\r\n" << p.body;
    str s = sb;
    benchmark::DoNotOptimize (s.cstr ());
  }
}
BENCHMARK (BM_strbuf_message);

static void
BM_stdstring_message (benchmark::State &state)
{
  int n = 0;
  for (auto _ : state) {
    std::string m;
    m += "HTTP/1.0 200 OK\r\n";
    m += text.server;
    m += text.via;
    m += "Date: ";
    m += text.date;
    char buf[64];
    int k = snprintf (buf, sizeof (buf), "\r\nContent-Length: %d\r\n",
                      n++ & 0xffff);
    m.append (buf, k);
    m += "X-Cache: MISS from ";
    m += text.host;
    m += "\r\n\r\n";
    m += text.body;
    benchmark::DoNotOptimize (m.data ());
  }
}
BENCHMARK (BM_stdstring_message);
