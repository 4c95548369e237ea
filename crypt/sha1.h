// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104).
//
// sha1 holds the bare algorithm as static functions over a caller's
// five-word state: transform is the portable compression and the
// reference; transformv compresses a run of blocks with the CPU's SHA
// instructions where it has them (x86 SHA extensions, detected once at run
// time), else with transform, giving the same state.  sha1ctx hashes a byte
// stream fed through update/updatev (see mdblock.h: whole blocks are read in
// place, so the caller's bytes need only live for the call).  sha1ctx::final
// writes the 20-byte digest and zeroes the state: call reset() before hashing
// again.  sha1hmac is keyed with setkey (any key length, as RFC 2104 says; the
// key bytes are not kept) and restarts under its key after every final; final
// and reset are virtual, so an HMAC finished through a sha1ctx & is still an
// HMAC. Contexts own no heap memory; destruction wipes the partial block, the
// byte count and the chaining and key states.  Misuse is caught by the standard
// assert.
#ifndef OMBRIX_CRYPT_SHA1_H
#define OMBRIX_CRYPT_SHA1_H

#include "crypt/mdblock.h"

class sha1 : public mdblock {
public:
  static constexpr size_t hashsize = 20; // digest bytes
  static constexpr int statewords = 5;   // chaining value: H0..H4

  static void newstate (u_int32_t *state);
  static void transform (u_int32_t *state, const u_int8_t *block);
  static void transformv (u_int32_t *state, const u_int8_t *blocks, size_t n);
  // Whether transformv uses the CPU's SHA instructions.
  static bool hwaccel ();
  static void state2bytes (void *out, const u_int32_t *state);

  void finish () { finish_be (); }
};

class sha1ctx : public sha1 {
public:
  u_int32_t state[statewords]; // chaining value of the message so far

  sha1ctx () { newstate (state); }
  ~sha1ctx () override;

  virtual void reset ();
  virtual void final (void *digest);

protected:
  void consume (const u_char *block) override;
  void consumeblocks (const u_char *blocks, size_t n) override;
};

class sha1hmac : public sha1ctx {
public:
  u_int32_t innerstate[statewords]; // after the key block xor 0x36
  u_int32_t outerstate[statewords]; // after the key block xor 0x5c

  sha1hmac () { setkey (nullptr, 0); }
  sha1hmac (const void *key, size_t klen) { setkey (key, klen); }
  ~sha1hmac () override;

  void setkey (const void *key, size_t klen);
  void reset () override;
  void final (void *digest) override;
};

static_assert (sizeof (sha1ctx::state) == sha1::hashsize,
               "the digest is the whole chaining value");
static_assert (sha1::blocksize == 64, "SHA-1 compresses 64-byte blocks");

#endif
