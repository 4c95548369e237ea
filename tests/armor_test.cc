// Armors: RFC 4648 examples (base-64, base64url, and its base-32 examples
// carried over into our alphabet value by value), a bit-by-bit model coder
// on random data of every length 0..300, OpenSSL's EVP_EncodeBlock and
// EVP_DecodeBlock when libcrypto loads, impossible lengths, where the
// measuring functions stop, and decoders fed arbitrary bytes from
// exact-size heap buffers (ASan catches any read past the text).

#include "async/armor.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <random>
#include <string>

namespace {

std::string
bytes (const str &s)
{
  return std::string (s.cstr (), s.len ());
}

const u_char *
us (const std::string &s)
{
  return reinterpret_cast<const u_char *> (s.c_str ());
}

std::string
randbytes (std::mt19937 &rng, size_t n)
{
  std::string r (n, '\0');
  for (char &c : r)
    c = static_cast<char> (rng ());
  return r;
}

// The model: the input as one bit string, most significant bit first, cut
// into `bits`-bit values (the last one filled with zeros), one character
// each; then "=" up to a multiple of padto characters (0: none).
std::string
model_encode (const std::string &in, int bits, const char *alpha, int padto)
{
  std::string out;
  int have = 0;
  u_int acc = 0;
  for (u_char c : in)
    for (int i = 7; i >= 0; i--) {
      acc = acc << 1 | ((c >> i) & 1);
      if (++have == bits) {
        out += alpha[acc];
        acc = have = 0;
      }
    }
  if (have)
    out += alpha[acc << (bits - have)];
  while (padto && out.size () % padto)
    out += '=';
  return out;
}

// Inverse of the model for clean text: whole bytes only, "=" ends it.
std::string
model_decode (const std::string &in, int bits, const char *alpha)
{
  std::string out;
  int have = 0;
  u_int acc = 0;
  for (char c : in) {
    if (c == '=')
      break;
    acc = (acc << bits | u_int (strchr (alpha, c) - alpha)) & 0xffff;
    if ((have += bits) >= 8) {
      have -= 8;
      out += static_cast<char> (acc >> have);
    }
  }
  return out;
}

// A checked result: non-null, its zero byte in place, the bytes returned.
std::string
ok (const str &s)
{
  EXPECT_TRUE (s);
  if (!s)
    return "(null)";
  EXPECT_EQ (s.cstr ()[s.len ()], '\0');
  return bytes (s);
}

TEST (armor, rfc4648_base64_examples)
{
  static const char *const ex[][2] = {{"", ""},
                                      {"f", "Zg=="},
                                      {"fo", "Zm8="},
                                      {"foo", "Zm9v"},
                                      {"foob", "Zm9vYg=="},
                                      {"fooba", "Zm9vYmE="},
                                      {"foobar", "Zm9vYmFy"}};
  for (auto &e : ex) {
    std::string in = e[0], out = e[1],
                unpadded = out.substr (0, out.find ('='));
    SCOPED_TRACE (in);
    EXPECT_EQ (ok (armor64 (in.data (), in.size ())), out);
    EXPECT_EQ (ok (dearmor64 (out.c_str ())), in);
    EXPECT_EQ (ok (dearmor64 (out.c_str (), out.size ())), in);
    EXPECT_EQ (armor64len (us (out + "!Zm9v")), out.size ());
    EXPECT_EQ (ok (armor64A (in.data (), in.size ())), unpadded);
    EXPECT_EQ (ok (dearmor64A (unpadded.c_str ())), in);
    EXPECT_EQ (ok (dearmor64A (unpadded.c_str (), unpadded.size ())), in);
  }
}

TEST (armor, value_63_and_custom_alphabets)
{
  // 0xfb 0xff: values 62, 63, 63 and a padding value.
  EXPECT_EQ (ok (armor64 ("\xfb\xff", 2)), "+/8=");
  EXPECT_EQ (ok (armor64A ("\xfb\xff", 2)), "+-8");
  EXPECT_EQ (ok (dearmor64A ("+-8")), "\xfb\xff");
  EXPECT_FALSE (dearmor64 ("+-8=")); // "-" is not base-64: length 1
  EXPECT_EQ (ok (dearmor64 ("+-8=", 4)), "\xff\xff"); // unchecked: -1
  EXPECT_EQ (armor64Alen (us ("+/8")), 1u);

  // The shared coders with base64url's alphabet (RFC 4648, section 5).
  static const char url[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  signed char inv[256];
  memset (inv, -1, sizeof (inv));
  for (int i = 0; i < 64; i++)
    inv[u_char (url[i])] = static_cast<signed char> (i);
  EXPECT_EQ (ok (_armor64 (url, true, "\xfb\xff", 2)), "-_8=");
  EXPECT_EQ (ok (_armor64 (url, false, "\xfb\xff\xbf", 3)), "-_-_");
  EXPECT_EQ (ok (_dearmor64 (inv, us ("-_-_-_8="), 8)), "\xfb\xff\xbf\xfb\xff");
}

// RFC 4648's base-32 examples, each value written in our alphabet instead.
TEST (armor, rfc4648_base32_examples_in_our_alphabet)
{
  static const char rfc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  static const char *const ex[][2] = {{"", ""},
                                      {"f", "MY======"},
                                      {"fo", "MZXQ===="},
                                      {"foo", "MZXW6==="},
                                      {"foob", "MZXW6YQ="},
                                      {"fooba", "MZXW6YTB"},
                                      {"foobar", "MZXW6YTBOI======"}};
  for (auto &e : ex) {
    std::string in = e[0], ours;
    for (const char *p = e[1]; *p && *p != '='; p++)
      ours += b2a32[strchr (rfc, *p) - rfc];
    SCOPED_TRACE (in);
    EXPECT_EQ (ok (armor32 (in.data (), in.size ())), ours);
    EXPECT_EQ (ok (dearmor32 (ours.c_str ())), in);
  }
  EXPECT_EQ (ok (armor32 ("foobar", 6)), "n3zy82vbqi");
}

TEST (armor, every_length_matches_the_model_and_round_trips)
{
  std::mt19937 rng (5);
  for (size_t n = 0; n <= 300; n++)
    for (int rep = 0; rep < 3; rep++) {
      std::string in = randbytes (rng, n);
      if (rep == 1)
        in.assign (n, '\xff');
      SCOPED_TRACE (n);
      std::string a32 = ok (armor32 (in.data (), n));
      ASSERT_EQ (a32, model_encode (in, 5, b2a32, 0));
      ASSERT_EQ (a32.size (), n / 5 * 8 + b2a32rem[n % 5]);
      ASSERT_EQ (armor32len (us (a32)), a32.size ());
      ASSERT_EQ (ok (dearmor32 (a32.c_str ())), in);
      ASSERT_EQ (ok (dearmor32 (a32.data (), a32.size ())), in);

      std::string a64 = ok (armor64 (in.data (), n));
      ASSERT_EQ (a64, model_encode (in, 6, b2a64, 4));
      ASSERT_EQ (a64.size (), (n + 2) / 3 * 4);
      ASSERT_EQ (ok (dearmor64 (a64.c_str ())), in);
      ASSERT_EQ (ok (dearmor64 (a64.data (), a64.size ())), in);

      std::string a64A = ok (armor64A (in.data (), n));
      ASSERT_EQ (a64A, model_encode (in, 6, b2a64A, 0));
      ASSERT_EQ (armor64Alen (us (a64A)), a64A.size ());
      ASSERT_EQ (ok (dearmor64A (a64A.c_str ())), in);
      ASSERT_EQ (ok (dearmor64A (a64A.data (), a64A.size ())), in);
    }
}

// Random clean text of every length the decoders accept, against the model.
TEST (armor, clean_text_decodes_as_the_model)
{
  std::mt19937 rng (9);
  for (size_t n = 0; n <= 300; n++) {
    std::string t32, t64;
    for (size_t i = 0; i < n; i++) {
      t32 += b2a32[rng () % 32];
      t64 += b2a64A[rng () % 64];
    }
    SCOPED_TRACE (n);
    if (a2b32rem[n % 8] >= 0) {
      ASSERT_EQ (ok (dearmor32 (t32.c_str ())), model_decode (t32, 5, b2a32));
    }
    ASSERT_EQ (ok (dearmor64A (t64.c_str ())), model_decode (t64, 6, b2a64A));
  }
}

TEST (armor, impossible_and_empty_lengths)
{
  std::string t (64, 'a');
  for (ssize_t n = 0; n < 64; n++) {
    SCOPED_TRACE (n);
    bool bad32 = n % 8 == 1 || n % 8 == 3 || n % 8 == 6;
    EXPECT_EQ (!dearmor32 (t.c_str (), n), bad32);
    EXPECT_EQ (!dearmor32 (t.substr (0, n).c_str ()), bad32);
    if (!bad32) {
      EXPECT_EQ (dearmor32 (t.c_str (), n).len (), n / 8 * 5 + a2b32rem[n % 8]);
    }
    EXPECT_EQ (!dearmor64 (t.c_str (), n), n % 4 != 0);
    EXPECT_EQ (!dearmor64 (t.substr (0, n).c_str ()), n % 4 != 0);
    // No length is impossible unpadded; a lone last character is no byte.
    EXPECT_EQ (ok (dearmor64A (t.c_str (), n)).size (),
               n / 4 * 3 + (n % 4 ? n % 4 - 1 : 0));
  }
  EXPECT_EQ (ok (dearmor32 ("")), "");
  EXPECT_EQ (ok (dearmor64 ("")), "");
  EXPECT_EQ (ok (dearmor64A ("")), "");
  EXPECT_EQ (ok (armor32 ("", 0)), "");
  EXPECT_EQ (ok (armor64 ("", 0)), "");
  EXPECT_EQ (ok (armor64A ("", 0)), "");
  EXPECT_EQ (ok (dearmor64A ("Zm9vY")), "foo");
  EXPECT_EQ (ok (dearmor64A ("Z")), "");
}

TEST (armor, measuring_stops_at_the_first_foreign_character)
{
  // Each character base-32 leaves out ends the text it follows.
  for (const char *stop : {"l", "o", "0", "1", "A", "Z", "=", " ", "\x80"}) {
    std::string t = std::string ("n3zy82vb") + stop + "n3zy82vb";
    SCOPED_TRACE (t);
    EXPECT_EQ (armor32len (us (t)), 8u);
    EXPECT_EQ (ok (dearmor32 (t.c_str ())), "fooba");
  }
  EXPECT_EQ (armor32len (us ("N3ZY")), 0u);
  EXPECT_FALSE (dearmor32 ("n3z0")); // three characters measured

  // At most two "=" after the text, and only right after it.
  EXPECT_EQ (armor64len (us ("Zg===")), 4u);
  EXPECT_EQ (armor64len (us ("Zm8=Zg==")), 4u);
  EXPECT_EQ (armor64len (us ("===")), 2u);
  EXPECT_EQ (armor64len (us ("=")), 1u);
  EXPECT_EQ (armor64len (us ("Zm9v-Zm9v")), 4u);
  EXPECT_EQ (armor64Alen (us ("Zm8=")), 3u);
  EXPECT_EQ (armor64Alen (us ("Zm9v/Zm9v")), 4u);
  EXPECT_EQ (ok (dearmor64 ("Zm9vYg===")), "foob");
  EXPECT_FALSE (dearmor64 ("Zm9vYg=x"));
  EXPECT_EQ (ok (dearmor64A ("Zm9vYmFy/Zm9v")), "foobar");
}

TEST (armor, last_group_stops_at_a_foreign_character)
{
  EXPECT_EQ (ok (dearmor64 ("Zm9vZg==", 8)), "foof");
  EXPECT_EQ (ok (dearmor64 ("Zm9vZm8=", 8)), "foofo");
  EXPECT_EQ (ok (dearmor64 ("Zm9vZg=v", 8)), "foof"); // stops at the "="
  EXPECT_EQ (ok (dearmor64 ("Zm9vZm!!", 8)), "foof");
  // Earlier groups are not checked: "!" reads as -1, all bits set.
  EXPECT_EQ (ok (dearmor64 ("!!!!Zg==", 8)), "\xff\xff\xff"
                                             "f");
  EXPECT_EQ (ok (dearmor64A ("Zm9vZm8-", 8)), "foofo?");
  // Base-32 ignores the bits of the last character past the last byte.
  for (const char *t : {"n2", "n3", "n4", "n5"})
    EXPECT_EQ (ok (dearmor32 (t)), "f") << t;
  EXPECT_EQ (ok (dearmor32 ("n6")), "g");
}

// Random bytes of every value in buffers of exactly their length: a read
// past the given length is an ASan report.  With a measured length the
// text ends at a zero byte the buffer holds.
TEST (armor, arbitrary_text_is_read_within_its_length)
{
  std::mt19937 rng (11);
  for (int i = 0; i < 3000; i++) {
    size_t n = i < 300 ? i : rng () % 200;
    std::string t = randbytes (rng, n);
    if (i % 3 == 0)
      for (char &c : t)
        if (rng () % 4)
          c = b2a64[rng () % 64];
    std::unique_ptr<char[]> exact (new char[n ? n : 1]);
    memcpy (exact.get (), t.data (), n);
    str r32 = dearmor32 (exact.get (), n);
    EXPECT_EQ (!r32, a2b32rem[n % 8] < 0);
    str r64 = dearmor64 (exact.get (), n);
    EXPECT_EQ (!r64, n % 4 != 0);
    str r64A = dearmor64A (exact.get (), n);
    ASSERT_TRUE (r64A);
    EXPECT_LE (r64A.len (), n - n / 4);
    std::unique_ptr<char[]> z (new char[n + 1]);
    memcpy (z.get (), t.data (), n);
    z[n] = '\0';
    size_t m32 = armor32len (reinterpret_cast<u_char *> (z.get ()));
    size_t m64 = armor64len (reinterpret_cast<u_char *> (z.get ()));
    size_t m64A = armor64Alen (reinterpret_cast<u_char *> (z.get ()));
    EXPECT_LE (std::max (m32, std::max (m64, m64A)), strlen (z.get ()));
    dearmor32 (z.get ());
    dearmor64 (z.get ());
    dearmor64A (z.get ());
  }
}

// OpenSSL's block coder: padded base-64 of the same bytes.
struct openssl {
  void *lib = dlopen ("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F sym (const char *name)
  {
    return lib ? reinterpret_cast<F> (dlsym (lib, name)) : nullptr;
  }
  using block_f = int (*) (u_char *, const u_char *, int);
  block_f enc = sym<block_f> ("EVP_EncodeBlock");
  block_f dec = sym<block_f> ("EVP_DecodeBlock");
};

TEST (armor, random_data_matches_openssl)
{
  openssl o;
  if (!o.enc || !o.dec)
    GTEST_SKIP () << "libcrypto.so.3 not loadable";
  std::mt19937 rng (13);
  for (int i = 0; i < 2000; i++) {
    std::string in = randbytes (rng, i < 300 ? i : rng () % 5000);
    std::string theirs (in.size () / 3 * 4 + 8, '\0');
    int n = o.enc (reinterpret_cast<u_char *> (&theirs[0]), us (in),
                   static_cast<int> (in.size ()));
    theirs.resize (n);
    ASSERT_EQ (ok (armor64 (in.data (), in.size ())), theirs);
    // EVP_DecodeBlock keeps the zero bytes the padding stands for.
    std::string back (theirs.size (), '\0');
    n = o.dec (reinterpret_cast<u_char *> (&back[0]), us (theirs),
               static_cast<int> (theirs.size ()));
    back.resize (n - (in.size () % 3 ? 3 - in.size () % 3 : 0));
    ASSERT_EQ (ok (dearmor64 (theirs.c_str ())), back);
  }
}

TEST (armorDeathTest, sizes_beyond_memory_are_out_of_memory)
{
  char c = 0;
  EXPECT_DEATH (armor32 (&c, SIZE_MAX), "^malloc failed\n$");
  EXPECT_DEATH (armor64 (&c, SIZE_MAX), "^malloc failed\n$");
  EXPECT_DEATH (armor64A (&c, SIZE_MAX - 1), "^malloc failed\n$");
}

} // namespace
