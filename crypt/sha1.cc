#include "crypt/sha1.h"

#include <cassert>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA1_X86 1
#endif

namespace {

inline u_int32_t
rol (u_int32_t x, int n)
{
  return (x << n) | (x >> (32 - n));
}

inline u_int32_t
getbe32 (const u_int8_t *p)
{
  u_int32_t v;
  memcpy (&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32 (v);
#endif
  return v;
}

inline void
putbe32 (u_int8_t *p, u_int32_t v)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32 (v);
#endif
  memcpy (p, &v, 4);
}

} // namespace

void
sha1::newstate (u_int32_t *state)
{
  state[0] = 0x67452301;
  state[1] = 0xefcdab89;
  state[2] = 0x98badcfe;
  state[3] = 0x10325476;
  state[4] = 0xc3d2e1f0;
}

// Step functions in forms that need the fewest operations: F1 is the
// "choose" and F3 the "majority" function of the standard; F3's two terms
// never share a bit, so it is written as a sum the compiler can spread
// over independent additions.
#define F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define F2(b, c, d) ((b) ^ (c) ^ (d))
#define F3(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))
#define F4(b, c, d) F2 (b, c, d)
#define K1 0x5a827999u
#define K2 0x6ed9eba1u
#define K3 0x8f1bbcdcu
#define K4 0xca62c1d6u

// The message schedule rolls through 16 words: word t (t >= 16) overwrites
// word t - 16 in place.
#define W0(t) (w[t] = getbe32 (block + 4 * (t)))
#define W(t)                                                                   \
  (w[(t) &15] = rol (w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^                  \
                         w[((t) + 2) & 15] ^ w[(t) &15],                       \
                     1))

// One step; the callers rotate the variable names instead of the values.
#define R(f, k, wt, a, b, c, d, e)                                             \
  do {                                                                         \
    e += rol (a, 5) + f (b, c, d) + k + wt;                                    \
    b = rol (b, 30);                                                           \
  } while (0)

void
sha1::transform (u_int32_t *state, const u_int8_t *block)
{
  u_int32_t a = state[0], b = state[1], c = state[2], d = state[3],
            e = state[4];
  u_int32_t w[16];

  R (F1, K1, W0 (0), a, b, c, d, e);
  R (F1, K1, W0 (1), e, a, b, c, d);
  R (F1, K1, W0 (2), d, e, a, b, c);
  R (F1, K1, W0 (3), c, d, e, a, b);
  R (F1, K1, W0 (4), b, c, d, e, a);
  R (F1, K1, W0 (5), a, b, c, d, e);
  R (F1, K1, W0 (6), e, a, b, c, d);
  R (F1, K1, W0 (7), d, e, a, b, c);
  R (F1, K1, W0 (8), c, d, e, a, b);
  R (F1, K1, W0 (9), b, c, d, e, a);
  R (F1, K1, W0 (10), a, b, c, d, e);
  R (F1, K1, W0 (11), e, a, b, c, d);
  R (F1, K1, W0 (12), d, e, a, b, c);
  R (F1, K1, W0 (13), c, d, e, a, b);
  R (F1, K1, W0 (14), b, c, d, e, a);
  R (F1, K1, W0 (15), a, b, c, d, e);
  R (F1, K1, W (16), e, a, b, c, d);
  R (F1, K1, W (17), d, e, a, b, c);
  R (F1, K1, W (18), c, d, e, a, b);
  R (F1, K1, W (19), b, c, d, e, a);

  R (F2, K2, W (20), a, b, c, d, e);
  R (F2, K2, W (21), e, a, b, c, d);
  R (F2, K2, W (22), d, e, a, b, c);
  R (F2, K2, W (23), c, d, e, a, b);
  R (F2, K2, W (24), b, c, d, e, a);
  R (F2, K2, W (25), a, b, c, d, e);
  R (F2, K2, W (26), e, a, b, c, d);
  R (F2, K2, W (27), d, e, a, b, c);
  R (F2, K2, W (28), c, d, e, a, b);
  R (F2, K2, W (29), b, c, d, e, a);
  R (F2, K2, W (30), a, b, c, d, e);
  R (F2, K2, W (31), e, a, b, c, d);
  R (F2, K2, W (32), d, e, a, b, c);
  R (F2, K2, W (33), c, d, e, a, b);
  R (F2, K2, W (34), b, c, d, e, a);
  R (F2, K2, W (35), a, b, c, d, e);
  R (F2, K2, W (36), e, a, b, c, d);
  R (F2, K2, W (37), d, e, a, b, c);
  R (F2, K2, W (38), c, d, e, a, b);
  R (F2, K2, W (39), b, c, d, e, a);

  R (F3, K3, W (40), a, b, c, d, e);
  R (F3, K3, W (41), e, a, b, c, d);
  R (F3, K3, W (42), d, e, a, b, c);
  R (F3, K3, W (43), c, d, e, a, b);
  R (F3, K3, W (44), b, c, d, e, a);
  R (F3, K3, W (45), a, b, c, d, e);
  R (F3, K3, W (46), e, a, b, c, d);
  R (F3, K3, W (47), d, e, a, b, c);
  R (F3, K3, W (48), c, d, e, a, b);
  R (F3, K3, W (49), b, c, d, e, a);
  R (F3, K3, W (50), a, b, c, d, e);
  R (F3, K3, W (51), e, a, b, c, d);
  R (F3, K3, W (52), d, e, a, b, c);
  R (F3, K3, W (53), c, d, e, a, b);
  R (F3, K3, W (54), b, c, d, e, a);
  R (F3, K3, W (55), a, b, c, d, e);
  R (F3, K3, W (56), e, a, b, c, d);
  R (F3, K3, W (57), d, e, a, b, c);
  R (F3, K3, W (58), c, d, e, a, b);
  R (F3, K3, W (59), b, c, d, e, a);

  R (F4, K4, W (60), a, b, c, d, e);
  R (F4, K4, W (61), e, a, b, c, d);
  R (F4, K4, W (62), d, e, a, b, c);
  R (F4, K4, W (63), c, d, e, a, b);
  R (F4, K4, W (64), b, c, d, e, a);
  R (F4, K4, W (65), a, b, c, d, e);
  R (F4, K4, W (66), e, a, b, c, d);
  R (F4, K4, W (67), d, e, a, b, c);
  R (F4, K4, W (68), c, d, e, a, b);
  R (F4, K4, W (69), b, c, d, e, a);
  R (F4, K4, W (70), a, b, c, d, e);
  R (F4, K4, W (71), e, a, b, c, d);
  R (F4, K4, W (72), d, e, a, b, c);
  R (F4, K4, W (73), c, d, e, a, b);
  R (F4, K4, W (74), b, c, d, e, a);
  R (F4, K4, W (75), a, b, c, d, e);
  R (F4, K4, W (76), e, a, b, c, d);
  R (F4, K4, W (77), d, e, a, b, c);
  R (F4, K4, W (78), c, d, e, a, b);
  R (F4, K4, W (79), b, c, d, e, a);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

// ---- The x86 SHA extensions ----
//
// Four rounds per sha1rnds4; sha1nexte derives E for the next four from the
// old A, sha1msg1/sha1msg2 and a xor extend the schedule four words at a
// time.  ABCD is kept with A in the high lane, hence the shuffles in and
// out.
#ifdef SHA1_X86

#define SHA1_TARGET __attribute__ ((target ("sha,sse4.1,ssse3")))

// Four rounds of group g (0 to 19) for g >= 3: m[g % 4] holds the schedule
// words of this group; the next groups' words are prepared on the way.
// e0/e1 alternate as the E input and the saved ABCD.  The compiler drops
// what the last groups compute for nothing.
#define SHA1_QUAD(g, ein, eout, f)                                             \
  do {                                                                         \
    ein = _mm_sha1nexte_epu32 (ein, m[(g) % 4]);                               \
    eout = abcd;                                                               \
    m[((g) + 1) % 4] = _mm_sha1msg2_epu32 (m[((g) + 1) % 4], m[(g) % 4]);      \
    abcd = _mm_sha1rnds4_epu32 (abcd, ein, f);                                 \
    m[((g) + 3) % 4] = _mm_sha1msg1_epu32 (m[((g) + 3) % 4], m[(g) % 4]);      \
    m[((g) + 2) % 4] = _mm_xor_si128 (m[((g) + 2) % 4], m[(g) % 4]);           \
  } while (0)

SHA1_TARGET static void
transform_shani (u_int32_t *state, const u_int8_t *p, size_t n)
{
  const __m128i bswap =
      _mm_set_epi64x (0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
  __m128i abcd = _mm_shuffle_epi32 (
      _mm_loadu_si128 (reinterpret_cast<const __m128i *> (state)), 0x1b);
  __m128i e0 = _mm_set_epi32 (static_cast<int> (state[4]), 0, 0, 0), e1;
  __m128i m[4];
  for (; n; n--, p += 64) {
    __m128i abcd0 = abcd, e00 = e0;
    for (int i = 0; i < 4; i++)
      m[i] = _mm_shuffle_epi8 (
          _mm_loadu_si128 (reinterpret_cast<const __m128i *> (p + 16 * i)),
          bswap);
    e0 = _mm_add_epi32 (e0, m[0]);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32 (abcd, e0, 0);
    e1 = _mm_sha1nexte_epu32 (e1, m[1]);
    e0 = abcd;
    abcd = _mm_sha1rnds4_epu32 (abcd, e1, 0);
    m[0] = _mm_sha1msg1_epu32 (m[0], m[1]);
    e0 = _mm_sha1nexte_epu32 (e0, m[2]);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32 (abcd, e0, 0);
    m[1] = _mm_sha1msg1_epu32 (m[1], m[2]);
    m[0] = _mm_xor_si128 (m[0], m[2]);
    SHA1_QUAD (3, e1, e0, 0);
    SHA1_QUAD (4, e0, e1, 0);
    SHA1_QUAD (5, e1, e0, 1);
    SHA1_QUAD (6, e0, e1, 1);
    SHA1_QUAD (7, e1, e0, 1);
    SHA1_QUAD (8, e0, e1, 1);
    SHA1_QUAD (9, e1, e0, 1);
    SHA1_QUAD (10, e0, e1, 2);
    SHA1_QUAD (11, e1, e0, 2);
    SHA1_QUAD (12, e0, e1, 2);
    SHA1_QUAD (13, e1, e0, 2);
    SHA1_QUAD (14, e0, e1, 2);
    SHA1_QUAD (15, e1, e0, 3);
    SHA1_QUAD (16, e0, e1, 3);
    SHA1_QUAD (17, e1, e0, 3);
    SHA1_QUAD (18, e0, e1, 3);
    SHA1_QUAD (19, e1, e0, 3);
    e0 = _mm_sha1nexte_epu32 (e0, e00);
    abcd = _mm_add_epi32 (abcd, abcd0);
  }
  _mm_storeu_si128 (reinterpret_cast<__m128i *> (state),
                    _mm_shuffle_epi32 (abcd, 0x1b));
  state[4] = static_cast<u_int32_t> (_mm_extract_epi32 (e0, 3));
}

// CPUID leaf 7 EBX bit 29: SHA; leaf 1 ECX bits 9 and 19: SSSE3, SSE4.1.
static bool
cpuhassha ()
{
  unsigned a, b, c, d;
  if (!__get_cpuid (1, &a, &b, &c, &d) || !(c & (1u << 9)) || !(c & (1u << 19)))
    return false;
  return __get_cpuid_count (7, 0, &a, &b, &c, &d) && (b & (1u << 29));
}

#endif

bool
sha1::hwaccel ()
{
#ifdef SHA1_X86
  static const bool has = cpuhassha ();
  return has;
#else
  return false;
#endif
}

void
sha1::transformv (u_int32_t *state, const u_int8_t *blocks, size_t n)
{
#ifdef SHA1_X86
  if (hwaccel ()) {
    transform_shani (state, blocks, n);
    return;
  }
#endif
  for (; n; n--, blocks += blocksize)
    transform (state, blocks);
}

void
sha1::state2bytes (void *out, const u_int32_t *state)
{
  u_int8_t *p = static_cast<u_int8_t *> (out);
  for (int i = 0; i < statewords; i++)
    putbe32 (p + 4 * i, state[i]);
}

sha1ctx::~sha1ctx ()
{
  explicit_bzero (state, sizeof (state));
}

void
sha1ctx::consume (const u_char *block)
{
  transformv (state, block, 1);
}

void
sha1ctx::consumeblocks (const u_char *blocks, size_t n)
{
  transformv (state, blocks, n);
}

void
sha1ctx::reset ()
{
  count = 0;
  newstate (state);
}

void
sha1ctx::final (void *digest)
{
  finish ();
  state2bytes (digest, state);
  memset (state, 0, sizeof (state));
}

sha1hmac::~sha1hmac ()
{
  explicit_bzero (innerstate, sizeof (innerstate));
  explicit_bzero (outerstate, sizeof (outerstate));
}

// Keys longer than a block are hashed first; shorter ones are padded with
// zeros (RFC 2104).  The stack copies of the key are wiped before return.
void
sha1hmac::setkey (const void *key, size_t klen)
{
  assert (key || !klen);
  u_char hkey[hashsize];
  if (klen > blocksize) {
    sha1ctx h;
    h.update (key, klen);
    h.final (hkey);
    key = hkey;
    klen = hashsize;
  }

  u_char block[blocksize];
  const u_char *k = static_cast<const u_char *> (key);
  for (size_t i = 0; i < klen; i++)
    block[i] = k[i] ^ 0x36;
  memset (block + klen, 0x36, blocksize - klen);
  newstate (innerstate);
  transform (innerstate, block);

  for (size_t i = 0; i < blocksize; i++)
    block[i] ^= 0x36 ^ 0x5c;
  newstate (outerstate);
  transform (outerstate, block);

  explicit_bzero (block, sizeof (block));
  explicit_bzero (hkey, sizeof (hkey));
  reset ();
}

// The key block counts toward the length of both the inner and the outer
// message, hence count starts at one block.
void
sha1hmac::reset ()
{
  count = blocksize;
  memcpy (state, innerstate, sizeof (state));
}

void
sha1hmac::final (void *digest)
{
  u_char inner[hashsize];
  finish ();
  state2bytes (inner, state);
  count = blocksize;
  memcpy (state, outerstate, sizeof (state));
  update (inner, sizeof (inner));
  finish ();
  state2bytes (digest, state);
  explicit_bzero (inner, sizeof (inner));
  reset ();
}
