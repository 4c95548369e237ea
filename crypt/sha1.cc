#include "crypt/sha1.h"

#include <cassert>
#include <cstring>

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
  transform (state, block);
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
