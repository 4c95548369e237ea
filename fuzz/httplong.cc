// Heads with a run of megabytes in one position, from a few input bytes:
// the cases a length-capped fuzzer never builds, and the ones that once
// made a pattern give up and the process abort.
//
// Input: a byte choosing the position (mod 9: method, URL path, version,
// status message, header name, the blanks before a value, a value, a
// Pragma value before its token, a continuation line); the byte the run
// repeats; two bytes giving its length in KiB (at most 8 MiB); a byte
// whose low 4 bits cut the message into that many pieces; then bytes put
// right after the run.
//
// - Both parsers give 1, 0 or -1 and never crash, panic or hang.
// - They agree with the patterns (httpref.h) wherever those answer.
// - Whole and in pieces, the result, every field and the bytes left over
//   are the same.
#include "fuzz/httphead.h"
#include "fuzz/httpref.h"

namespace {

std::string
longhead (int pos, const std::string &run, const std::string &after,
          bool request)
{
  std::string first =
      request ? "GET http://h/p HTTP/1.0\r\n" : "HTTP/1.0 200 OK\r\n";
  std::string r = run + after;
  switch (pos) {
  case 0:
    first = request ? "G" + r + " http://h/ HTTP/1.0\r\n" : first;
    break;
  case 1:
    first = request ? "GET http://h/" + r + " HTTP/1.0\r\n" : first;
    break;
  case 2:
    first = request ? "GET http://h/ HTTP/1.0" + r + "\r\n"
                    : "HTTP/1" + r + " 200 OK\r\n";
    break;
  case 3:
    first = request ? first : "HTTP/1.0 200 " + r + "\r\n";
    break;
  }
  std::string h;
  switch (pos) {
  case 4:
    h = "X" + r + ": v\r\n";
    break;
  case 5:
    h = "Pragma:" + r + "no-cache\r\n";
    break;
  case 6:
    h = "Content-Length: 1" + r + "\r\n";
    break;
  case 7:
    h = "Pragma: no-cache" + r + "\r\n";
    break;
  case 8:
    h = "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n\t" + r + "\r\n";
    break;
  }
  return first + "Host: h\r\n" + h + "Pragma: x\r\n\r\n";
}

std::string
reqfields (const httpreqview &p)
{
  return p.fields ();
}

std::string
respfields (const httprespview &p)
{
  return p.fields ();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  int pos = in.byte () % 9;
  char c = static_cast<char> (in.byte ());
  size_t kib = in.u16 () % (8 << 10);
  int pieces = in.byte () & 15;
  std::string after = in.bytes (in.left ());
  std::string run (kib << 10, c);

  for (bool request : {true, false}) {
    headinput h;
    h.m = longhead (pos, run, after, request);
    h.copy = pieces & 1;
    for (int i = 1; i < pieces; i++)
      h.cut.push_back (h.m.size () * i / pieces);
    std::string why;
    bool unanswered;
    FUZZ_CHECK (httpagree (h.m, &why, &unanswered), "%s: %s",
                fuzzquote (h.m.substr (0, 200)).c_str (),
                why.substr (0, 1000).c_str ());
    if (request)
      feedboth<httpreqview> (h, reqfields);
    else
      feedboth<httprespview> (h, respfields);
  }
  return 0;
}
