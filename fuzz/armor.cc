// The three armors against a bit-string model: the input's bits, most
// significant first, cut into 5- or 6-bit values (or the reverse).
//
// Input: one byte p (p % 3 "=" to pad the clean base-64 text with), then
// the data, used three ways:
// - as binary: armor32, armor64 and armor64A give the model's text (the
//   alphabet written out here, not taken from the tables), their *len
//   functions measure all of it, and dearmor of it gives the data back;
// - as arbitrary text, from a block of exactly its size (no NUL after it,
//   so a read past the end shows under ASan): each dearmor with the length
//   given returns null exactly for the impossible lengths and otherwise the
//   documented number of bytes; with a negative length, from a copy ending
//   in a NUL, it stops where the model's measure does and gives what the
//   measured length gives;
// - mapped into each alphabet as a clean text: dearmor gives the model's
//   bytes (bits beyond the last whole byte dropped), "=" padding included.
#include "async/armor.h"
#include "fuzz/fuzz.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

const char alpha32[] = "abcdefghijkmnpqrstuvwxyz23456789";
const char alpha64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char alpha64A[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";

struct form {
  const char *name;
  const char *alpha;
  int bits;
  str (*armor) (const void *, size_t);
  size_t (*len) (const u_char *);
  str (*dearmor) (const char *, ssize_t);
};

const form forms[] = {
    {"base-32", alpha32, 5, armor32, armor32len, dearmor32},
    {"base-64", alpha64, 6, armor64, armor64len, dearmor64},
    {"base-64A", alpha64A, 6, armor64A, armor64Alen, dearmor64A},
};

bool
padded (const form &f)
{
  return f.alpha == alpha64;
}

int
value (const form &f, char c)
{
  const char *p = c ? strchr (f.alpha, c) : nullptr;
  return p ? int (p - f.alpha) : -1;
}

std::string
s2 (const str &s)
{
  return s ? std::string (s.cstr (), s.len ()) : std::string ("<null>");
}

std::string
encode (const form &f, const std::string &x)
{
  std::string t;
  unsigned acc = 0;
  int have = 0;
  for (unsigned char c : x) {
    acc = acc << 8 | c;
    for (have += 8; have >= f.bits; have -= f.bits)
      t += f.alpha[(acc >> (have - f.bits)) & ((1 << f.bits) - 1)];
  }
  if (have)
    t += f.alpha[(acc << (f.bits - have)) & ((1 << f.bits) - 1)];
  while (padded (f) && t.size () % 4)
    t += '=';
  return t;
}

// The bytes of a text of alphabet characters, any "=" at its end dropped.
std::string
decode (const form &f, const std::string &t)
{
  std::string x;
  unsigned acc = 0;
  int have = 0;
  for (char c : t) {
    if (c == '=')
      break;
    acc = acc << f.bits | value (f, c);
    if ((have += f.bits) >= 8)
      x += char (acc >> (have -= 8));
  }
  return x;
}

// Leading alphabet characters of t (then at most two "=" for base-64).
size_t
measure (const form &f, const std::string &t)
{
  size_t n = 0;
  while (n < t.size () && value (f, t[n]) >= 0)
    n++;
  for (int i = 0; padded (f) && i < 2 && n < t.size () && t[n] == '='; i++)
    n++;
  return n;
}

// What dearmor of n arbitrary characters t yields: -1 for null, else the
// byte count.  Only the last base-64 group's third and fourth characters
// are looked at; a position past the end counts as outside the alphabet.
long
decodedlen (const form &f, const std::string &t)
{
  size_t n = t.size ();
  if (f.bits == 5) {
    static const int rem[8] = {0, -1, 1, -1, 2, 3, -1, 4};
    return rem[n % 8] < 0 ? -1 : long (n / 8 * 5 + rem[n % 8]);
  }
  if (padded (f) && n % 4)
    return -1;
  if (!n)
    return 0;
  size_t last = (n - 1) / 4 * 4; // the last group, 1 to 4 characters
  long len = long (last / 4 * 3);
  bool c2 = n > last + 2 && value (f, t[last + 2]) >= 0;
  bool c3 = n > last + 3 && value (f, t[last + 3]) >= 0;
  if (n > last + 1)
    len += 1 + c2 + (c2 && c3);
  return len;
}

void
roundtrip (const form &f, const std::string &x)
{
  std::string t = s2 (f.armor (x.data (), x.size ())), want = encode (f, x);
  FUZZ_CHECK (t == want, "%s armor of %s: %s, not %s", f.name,
              fuzzquote (x).c_str (), fuzzquote (t).c_str (),
              fuzzquote (want).c_str ());
  size_t n = f.len (reinterpret_cast<const u_char *> (t.c_str ()));
  std::string back = s2 (f.dearmor (t.c_str (), -1));
  FUZZ_CHECK (n == t.size () && back == x, "%s: %s measures %zu, gives %s",
              f.name, fuzzquote (t).c_str (), n, fuzzquote (back).c_str ());
}

void
arbitrary (const form &f, const std::string &t)
{
  std::unique_ptr<char[]> b (new char[t.size ()]);
  memcpy (b.get (), t.data (), t.size ());
  str r = f.dearmor (b.get (), t.size ());
  long want = decodedlen (f, t), got = r ? long (r.len ()) : -1;
  FUZZ_CHECK (got == want, "%s dearmor of %s: %ld bytes, not %ld", f.name,
              fuzzquote (t).c_str (), got, want);

  std::unique_ptr<char[]> z (new char[t.size () + 1]);
  memcpy (z.get (), t.data (), t.size () + 1);
  size_t n = f.len (reinterpret_cast<const u_char *> (z.get ()));
  size_t m = measure (f, t);
  std::string a = s2 (f.dearmor (z.get (), -1)),
              c = s2 (f.dearmor (z.get (), n));
  FUZZ_CHECK (n == m && a == c, "%s: %s measures %zu, not %zu; %s, not %s",
              f.name, fuzzquote (t).c_str (), n, m, fuzzquote (a).c_str (),
              fuzzquote (c).c_str ());
}

void
clean (const form &f, const std::string &data, int pad)
{
  std::string t;
  for (unsigned char c : data)
    t += f.alpha[c % (1u << f.bits)];
  if (f.bits == 5) {
    while (decodedlen (f, t) < 0)
      t.pop_back ();
  } else if (padded (f)) {
    t.resize (t.size () / 4 * 4);
    for (int i = 0; i < pad && !t.empty (); i++)
      t[t.size () - 1 - i] = '=';
  }
  std::string got = s2 (f.dearmor (t.data (), t.size ())), want = decode (f, t);
  FUZZ_CHECK (got == want, "%s dearmor of %s: %s, not %s", f.name,
              fuzzquote (t).c_str (), fuzzquote (got).c_str (),
              fuzzquote (want).c_str ());
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (const uint8_t *data, size_t size)
{
  fuzzin in (data, size);
  int pad = in.byte () % 3;
  std::string x = in.bytes (size);
  for (const form &f : forms) {
    roundtrip (f, x);
    arbitrary (f, x);
    clean (f, x, pad);
  }
  return 0;
}
