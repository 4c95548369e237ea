// SHA-1 and HMAC-SHA1 against published vectors (FIPS 180-1, RFC 2202),
// against coreutils' sha1sum (recorded digests) and, when libcrypto can be
// loaded, against OpenSSL on random inputs; block framing checked against a
// model of the padded stream.

#include <gtest/gtest.h>

#include "crypt/sha1.h"

#include <cstring>
#include <dlfcn.h>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

std::string
hex (const u_char *p, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++)
    s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

// final of a sha1ctx or sha1hmac, in hex.
template <class C>
std::string
fin (C &c)
{
  u_char d[sha1::hashsize];
  c.final (d);
  return hex (d, sizeof (d));
}

// Digest of m fed in pieces of at most `piece` bytes (0: all at once).
std::string
sha1hex (const std::string &m, size_t piece = 0)
{
  sha1ctx c;
  size_t step = piece ? piece : m.size () + 1;
  for (size_t i = 0; i < m.size (); i += step)
    c.update (m.data () + i, std::min (step, m.size () - i));
  return fin (c);
}

std::string
hmachex (const std::string &key, const std::string &m)
{
  sha1hmac h (key.data (), key.size ());
  h.update (m.data (), m.size ());
  return fin (h);
}

std::string
pattern (size_t n)
{
  std::string s;
  for (size_t i = 0; i < n; i++)
    s += (char) (i * 37 + 11);
  return s;
}

std::string
unhex (const std::string &h)
{
  std::string s;
  for (size_t i = 0; i < h.size (); i += 2)
    s += (char) std::stoi (h.substr (i, 2), nullptr, 16);
  return s;
}

// Random split of m into iovecs, empty ones included.
std::vector<iovec>
scatter (const std::string &m, std::mt19937 &rng)
{
  std::vector<iovec> iov;
  for (size_t i = 0; i < m.size (); i += iov.back ().iov_len) {
    size_t n = std::min<size_t> (rng () % 150, m.size () - i);
    iov.push_back ({(void *) (m.data () + i), n});
  }
  return iov;
}

TEST (sha1, published_vectors_in_any_pieces)
{
  const struct {
    std::string m;
    const char *digest;
  } v[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
       "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string (1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      // Around the padding boundaries, from coreutils' sha1sum.
      {std::string (55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string (56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {std::string (63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {std::string (64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string (65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {std::string (119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
      {std::string (120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
  };
  std::mt19937 rng (1);
  for (auto &t : v) {
    for (size_t piece : {0, 1, 63, 64, 65, 1000})
      EXPECT_EQ (sha1hex (t.m, piece), t.digest) << t.m.size () << "/" << piece;
    sha1ctx c;
    auto iov = scatter (t.m, rng);
    c.updatev (iov.data (), iov.size ());
    EXPECT_EQ (fin (c), t.digest);
  }
}

// Every length 0..130 of pattern(), through one digest of their digests
// (recorded with coreutils' sha1sum).
TEST (sha1, every_length_up_to_three_blocks)
{
  std::string all;
  for (size_t n = 0; n <= 130; n++)
    all += unhex (sha1hex (pattern (n)));
  EXPECT_EQ (sha1hex (all), "e692b3bd0a527de7772c57da8e1b06fc2894026c");
}

TEST (sha1, split_at_every_offset_matches_one_shot)
{
  for (size_t len = 0; len <= 130; len++) {
    std::string m = pattern (len), whole = sha1hex (m);
    for (size_t k = 0; k <= len; k++) {
      sha1ctx c;
      c.update (m.data (), k);
      c.update (m.data () + k, len - k);
      ASSERT_EQ (fin (c), whole) << len << " split at " << k;
    }
  }
}

TEST (sha1ctx, final_zeroes_state_reset_restarts)
{
  const char *abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
  sha1ctx c;
  c.update ("abc", 3);
  EXPECT_EQ (fin (c), abc);
  for (u_int32_t w : c.state)
    EXPECT_EQ (w, 0u);
  EXPECT_EQ (c.count, 24u); // the length in bits

  c.reset ();
  c.update ("abc", 3);
  EXPECT_EQ (fin (c), abc);

  c.update (pattern (100).data (), 100); // leaves a partial block
  c.reset ();
  c.update ("abc", 3);
  EXPECT_EQ (fin (c), abc);
}

// Reads the object's bytes after its destructor ran: a wipe written as a
// plain store there is a dead store the compiler may drop.
TEST (sha1hmac, destruction_wipes_count_buffer_and_states)
{
  alignas (sha1hmac) u_char storage[sizeof (sha1hmac)];
  sha1hmac *h = new (storage) sha1hmac ("key", 3);
  h->update (pattern (70).data (), 70);
  const u_char *at[] = {(u_char *) &h->count, h->buffer, (u_char *) h->state,
                        (u_char *) h->innerstate, (u_char *) h->outerstate};
  const size_t len[] = {8, 64, 20, 20, 20};
  h->~sha1hmac ();
  asm volatile("" : : "r"(storage) : "memory");
  for (int f = 0; f < 5; f++)
    for (size_t i = 0; i < len[f]; i++)
      EXPECT_EQ (((const volatile u_char *) at[f])[i], 0) << f << ":" << i;
}

// Records every block handed to consume and where it was read from.
struct recorder : mdblock {
  std::string blocks;
  std::vector<const u_char *> from;
  void consume (const u_char *b) override
  {
    blocks.append ((const char *) b, blocksize);
    from.push_back (b);
  }
};

void
check (const recorder &r, const std::string &model)
{
  ASSERT_EQ (r.count, model.size ());
  size_t whole = model.size () / 64 * 64;
  ASSERT_EQ (r.blocks, model.substr (0, whole));
  ASSERT_EQ (std::string ((const char *) r.buffer, model.size () - whole),
             model.substr (whole));
}

TEST (mdblock, random_feeds_against_a_model_read_whole_blocks_in_place)
{
  std::mt19937 rng (7);
  recorder r;
  std::string model;
  for (int step = 0; step < 3000; step++) {
    size_t len = rng () % 300, skip = rng () % 10;
    std::string piece = pattern (len + skip).substr (skip);
    size_t before = r.from.size (), partial = r.count % 64;
    r.update (piece.data (), piece.size ());
    model += piece;
    check (r, model);
    if (HasFatalFailure ())
      return;
    // Only a block completed from the buffer is read from it; every other
    // block comes straight from the caller's bytes.
    const u_char *p = (const u_char *) piece.data ();
    for (size_t i = before; i < r.from.size (); i++)
      if (i == before && partial)
        EXPECT_EQ (r.from[i], r.buffer);
      else
        EXPECT_TRUE (r.from[i] >= p && r.from[i] + 64 <= p + piece.size ());
  }
  std::string tail = pattern (500);
  auto iov = scatter (tail, rng);
  r.updatev (iov.data (), iov.size ());
  check (r, model + tail);
}

// The padded stream of an n-byte message: marker, zeros, 64-bit bit length.
std::string
framed (const std::string &m, u_int64_t bytes, char marker, bool be)
{
  std::string s = m + marker;
  s.resize ((s.size () + 8 + 63) / 64 * 64 - 8, '\0');
  for (int i = 0; i < 8; i++)
    s += (char) ((bytes * 8) >> (8 * (be ? 7 - i : i)));
  return s;
}

TEST (mdblock, finish_be_and_finish_le_framing)
{
  for (bool be : {true, false})
    for (size_t n = 0; n <= 130; n++) {
      recorder r;
      std::string m = pattern (n);
      r.update (m.data (), n);
      be ? r.finish_be () : r.finish_le ();
      ASSERT_EQ (r.blocks, framed (m, n, be ? '\x80' : '\x01', be))
          << n << (be ? " be" : " le");
      EXPECT_EQ (r.count, 8 * n);
    }
  // A long message's length: every byte of the field differs.
  const u_int64_t big = 0x00123456789abcc0ull;
  for (bool be : {true, false}) {
    recorder r;
    r.count = big; // whole blocks only, nothing buffered
    be ? r.finish_be () : r.finish_le ();
    EXPECT_EQ (r.blocks, framed ("", big, be ? '\x80' : '\x01', be));
  }
}

TEST (sha1hmac, rfc2202_test_cases)
{
  const struct {
    std::string key, data;
    const char *mac;
  } v[] = {
      {std::string (20, '\x0b'), "Hi There",
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string (20, '\xaa'), std::string (50, '\xdd'),
       "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {unhex ("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       std::string (50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string (20, '\x0c'), "Test With Truncation",
       "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {std::string (80, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {std::string (80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One "
       "Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (auto &t : v)
    EXPECT_EQ (hmachex (t.key, t.data), t.mac) << t.data;
}

// HMAC written straight from its definition on top of sha1hex.
std::string
hmac_model (std::string k, const std::string &m)
{
  if (k.size () > 64)
    k = unhex (sha1hex (k));
  k.resize (64, '\0');
  std::string ik = k, ok = k;
  for (int i = 0; i < 64; i++)
    ik[i] ^= 0x36, ok[i] ^= 0x5c;
  return sha1hex (ok + unhex (sha1hex (ik + m)));
}

TEST (sha1hmac, every_key_length_matches_the_definition)
{
  for (size_t klen = 0; klen <= 130; klen++)
    for (size_t mlen : {0, 1, 55, 56, 64, 100}) {
      std::string k = pattern (klen + 3).substr (3), m = pattern (mlen);
      ASSERT_EQ (hmachex (k, m), hmac_model (k, m)) << klen << "/" << mlen;
    }
  // A key is padded with zeros, so a 63-byte key and the same key with a
  // zero byte added (64 bytes, used as it is) are one key.
  std::string k63 = pattern (63);
  EXPECT_EQ (hmachex (k63, "msg"), hmachex (k63 + '\0', "msg"));
}

TEST (sha1hmac, final_restarts_under_the_same_key)
{
  std::string k = "key", m1 = pattern (70), m2 = "second message";
  sha1hmac h (k.data (), k.size ());
  h.update (m1.data (), m1.size ());
  EXPECT_EQ (fin (h), hmachex (k, m1));
  h.update (m2.data (), m2.size ());
  EXPECT_EQ (fin (h), hmachex (k, m2));

  h.update (m1.data (), 10); // dropped by reset
  h.reset ();
  h.update (m2.data (), m2.size ());
  EXPECT_EQ (fin (h), hmachex (k, m2));

  h.update (m1.data (), 10); // dropped by setkey
  h.setkey ("other", 5);
  h.update (m2.data (), m2.size ());
  EXPECT_EQ (fin (h), hmachex ("other", m2));

  sha1hmac unkeyed; // the empty key
  EXPECT_EQ (fin (unkeyed), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

TEST (sha1hmac_death, null_key_with_a_length)
{
#ifdef NDEBUG
  GTEST_SKIP () << "assertions are compiled out";
#else
  sha1hmac h;
  EXPECT_DEATH (h.setkey (nullptr, 5),
                "crypt/sha1\\.cc:[0-9]+: .*key \\|\\| !klen");
#endif
}

// OpenSSL's libcrypto, loaded at run time when the system has it.
struct openssl {
  void *lib = dlopen ("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  template <class F>
  F sym (const char *name)
  {
    return lib ? reinterpret_cast<F> (dlsym (lib, name)) : nullptr;
  }
  using sha1_f = u_char *(*) (const u_char *, size_t, u_char *);
  using hmac_f = u_char *(*) (const void *, const void *, int, const u_char *,
                              size_t, u_char *, u_int *);
  sha1_f sha1 = sym<sha1_f> ("SHA1");
  hmac_f hmac = sym<hmac_f> ("HMAC");
  const void *md = lib ? sym<const void *(*) ()> ("EVP_sha1") () : nullptr;
};

TEST (sha1, random_inputs_match_openssl)
{
  openssl ossl;
  if (!ossl.sha1 || !ossl.hmac || !ossl.md)
    GTEST_SKIP () << "libcrypto.so.3 not loadable";
  std::mt19937 rng (3);
  for (int i = 0; i < 2000; i++) {
    std::string m (rng () % (i < 1000 ? 300 : 5000), '\0'), k (i % 200, '\0');
    for (char &ch : m)
      ch = (char) rng ();
    for (char &ch : k)
      ch = (char) rng ();
    u_char d[20];
    ossl.sha1 ((const u_char *) m.data (), m.size (), d);
    ASSERT_EQ (sha1hex (m, 1 + rng () % 130), hex (d, 20)) << m.size ();
    u_int dlen = 0;
    ossl.hmac (ossl.md, k.data (), (int) k.size (), (const u_char *) m.data (),
               m.size (), d, &dlen);
    ASSERT_EQ (hmachex (k, m), hex (d, dlen)) << k.size () << "/" << m.size ();
  }
}

// The SHA instructions, where the CPU has them, against the portable
// transform on random states and runs of blocks; and an HMAC finished
// through a sha1ctx & is the HMAC, restarted under its key.
TEST (sha1, transformv_matches_the_portable_transform)
{
  std::mt19937 rng (7);
  std::vector<u_char> m (64 * 9);
  for (int round = 0; round < 300; round++) {
    for (auto &b : m)
      b = rng ();
    u_int32_t a[5], b[5];
    for (int i = 0; i < 5; i++)
      a[i] = b[i] = rng ();
    size_t n = rng () % 10;
    sha1::transformv (a, m.data (), n);
    for (size_t i = 0; i < n; i++)
      sha1::transform (b, m.data () + 64 * i);
    ASSERT_EQ (0, memcmp (a, b, sizeof (a))) << n << " blocks";
  }
  printf ("SHA instructions: %s\n", sha1::hwaccel () ? "used" : "absent");
}

TEST (sha1hmac, final_through_a_sha1ctx_reference)
{
  sha1hmac h ("key", 3), g ("key", 3);
  sha1ctx &c = h;
  u_char d1[20], d2[20];
  for (int i = 0; i < 2; i++) {
    c.update ("The quick brown fox jumps over the lazy dog", 43);
    c.final (d1);
    EXPECT_EQ (hex (d1, 20), "de7c9b85b8b78aa6bc8a7a36f70a90701c9db4d9");
  }
  c.update ("x", 1);
  c.reset ();
  c.update ("y", 1);
  c.final (d1);
  g.update ("y", 1);
  g.final (d2);
  EXPECT_EQ (hex (d1, 20), hex (d2, 20));
}

} // namespace
