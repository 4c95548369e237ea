// The proxy's framing from arbitrary bytes: head scanning (request and
// response rules) and the chunked decoder, each run on the whole input
// and on the same input cut into pieces at fuzzer-chosen points.
//
// - Neither ever crashes, reads outside its input or loops.
// - The head scanner's result, status and head length are the same
//   whole and in pieces; a complete head ends in a blank line within
//   head_max bytes, a refused one has a 400, 414 or 431 (502) status.
// - The decoder's result, decoded bytes and consumed length are the same
//   whole and in pieces; it never reports data outside what it consumed.
//
// Input: a mode byte (bit 0: response rules; bit 1: chunked decoder),
// a count of cuts and their positions, then the message.
#include "fuzz/fuzz.h"
#include "proxy/framing.h"

#include <algorithm>
#include <vector>

namespace {

struct scanres {
  int r, status;
  size_t len;
  bool operator== (const scanres &o) const
  {
    return r == o.r && status == o.status && len == o.len;
  }
};

scanres
scan (const std::string &m, bool req, const std::vector<size_t> &cuts)
{
  headscan h (req);
  int r = 0;
  for (size_t c : cuts)
    if (!(r = h.scan (m.data (), c)))
      continue;
    else
      break;
  if (!r)
    r = h.scan (m.data (), m.size ());
  return {r, h.status, h.len};
}

struct decres {
  int r;
  std::string body;
  size_t used;
};

decres
decode (const std::string &m, const std::vector<size_t> &cuts)
{
  chunkdec d;
  decres out = {0, "", 0};
  size_t off = 0;
  std::vector<size_t> ends (cuts);
  ends.push_back (m.size ());
  for (size_t end : ends) {
    while (off < end) {
      size_t used, doff, dlen;
      int r = d.feed (m.data () + off, end - off, &used, &doff, &dlen);
      if (r < 0) {
        out.r = -1;
        return out;
      }
      FUZZ_CHECK (used <= end - off && (dlen == 0 || doff + dlen <= used),
                  "used %zu doff %zu dlen %zu of %zu", used, doff, dlen,
                  end - off);
      FUZZ_CHECK (used || r, "no progress at %zu", off);
      out.body.append (m.data () + off + doff, dlen);
      off += used;
      if (r) {
        out.r = 1;
        out.used = off;
        return out;
      }
    }
  }
  out.used = off;
  return out;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  int mode = in.byte ();
  int ncuts = in.below (8);
  std::vector<size_t> raw;
  for (int i = 0; i < ncuts; i++)
    raw.push_back (in.u16 ());
  std::string m = in.bytes (in.left ());
  std::vector<size_t> cuts;
  for (size_t c : raw)
    cuts.push_back (m.empty () ? 0 : c % m.size ());
  std::sort (cuts.begin (), cuts.end ());
  if (mode & 2) {
    decres whole = decode (m, {});
    decres pieces = decode (m, cuts);
    FUZZ_CHECK (whole.r == pieces.r && whole.body == pieces.body &&
                    whole.used == pieces.used,
                "whole %d/%zu/%zu pieces %d/%zu/%zu on %s", whole.r,
                whole.body.size (), whole.used, pieces.r, pieces.body.size (),
                pieces.used, fuzzquote (m.substr (0, 200)).c_str ());
    return 0;
  }
  bool req = !(mode & 1);
  scanres whole = scan (m, req, {});
  scanres pieces = scan (m, req, cuts);
  FUZZ_CHECK (whole == pieces, "whole %d/%d/%zu pieces %d/%d/%zu on %s",
              whole.r, whole.status, whole.len, pieces.r, pieces.status,
              pieces.len, fuzzquote (m.substr (0, 200)).c_str ());
  if (whole.r == 1)
    FUZZ_CHECK (whole.len <= size_t (head_max) && whole.len >= 2 &&
                    m[whole.len - 1] == '\n',
                "head of %zu bytes", whole.len);
  if (whole.r < 0)
    FUZZ_CHECK (req ? whole.status == 400 || whole.status == 414 ||
                          whole.status == 431
                    : whole.status == 502,
                "status %d", whole.status);
  return 0;
}
