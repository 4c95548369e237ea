// Response heads from arbitrary bytes (input layout: httphead.h).  Parsing
// never crashes or panics; both parsers agree with their reference model
// (httpref.h: the patterns) on everything, fed whole; the result, every field,
// the passed-on head and the bytes left over are the same whether the message
// arrives whole or in pieces; and the passed-on head is exactly the consumed
// lines, unchanged, less the blank line that ends the head or the line that was
// refused (so it holds no byte that was not in the input, nor any byte twice).
// The status is 0 until a status line is taken and from 100 to 599 after, with
// a message cut from that line.
#include "fuzz/httphead.h"
#include "fuzz/httpref.h"

namespace {

std::string
fields (const httpresp &p)
{
  return std::to_string (p.status) + "|" + std::to_string (p.nocache) + "|" +
         std::to_string (p.date) + "|" + std::to_string (p.expires) + "|" +
         std::to_string (p.last_modified) + "|" +
         std::to_string (p.content_length ()) + "|" + s2 (p.statusmsg) + "|" +
         s2 (str (*p.headers ().tosuio ()));
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  headinput h = readhead (data, size);
  std::string why;
  bool unanswered;
  FUZZ_CHECK (httpagree (h.m, &why, &unanswered), "%s: %s",
              fuzzquote (h.m).c_str (), why.c_str ());
  auto whole = feedboth<httpresp> (h, fields);

  std::vector<std::string> lines = passedlines (h.m, *whole);
  std::string want;
  for (const std::string &l : lines)
    want += l;
  FUZZ_CHECK (whole->headers () == want, "%s: passed on %s, not %s",
              fuzzquote (h.m).c_str (), fuzzquote (whole->headers ()).c_str (),
              fuzzquote (want).c_str ());

  const httpresp &p = whole->p;
  if (lines.empty ())
    FUZZ_CHECK (p.status == 0 && !p.statusmsg, "%s: status %d before one",
                fuzzquote (h.m).c_str (), p.status);
  else
    FUZZ_CHECK (p.status >= 100 && p.status <= 599 && p.statusmsg &&
                    lines[0].find (s2 (p.statusmsg)) != std::string::npos,
                "%s: status %d, message %s", fuzzquote (h.m).c_str (), p.status,
                fuzzquote (s2 (p.statusmsg)).c_str ());
  return 0;
}
