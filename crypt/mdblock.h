// Byte sinks and the block framing shared by 64-byte-block hashes.
//
// A datasink takes bytes; an mdblock cuts whatever it is fed into 64-byte
// blocks and hands each to consume(), which a hash defines.  Whole blocks
// are passed straight from the caller's memory: the pointer given to
// consume() is valid only during that call.  Only a trailing partial block
// is copied, into the object's own buffer.  The object owns no heap memory.
//
// finish_be()/finish_le() pad the last block and append the message length
// in bits; afterwards count holds that bit length, and the object must be
// restarted (by the hash) before it is fed again.  Destruction wipes count
// and buffer.  Nothing here can fail.
#ifndef OMBRIX_CRYPT_MDBLOCK_H
#define OMBRIX_CRYPT_MDBLOCK_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

class datasink {
public:
  virtual void update (const void *data, size_t len) = 0;
  virtual ~datasink () {}
};

class mdblock : public datasink {
public:
  static constexpr size_t blocksize = 64;

  u_int64_t count;          // bytes fed, those waiting in buffer included
  u_char buffer[blocksize]; // the partial block: first count % 64 bytes

  mdblock () : count (0) {}
  ~mdblock () override;

  void update (const void *data, size_t len) override;
  void updatev (const iovec *iov, u_int cnt);

  // Pad with 0x80, zeros and the bit length most significant byte first.
  void finish_be ();
  // Pad with 0x01, zeros and the bit length least significant byte first.
  void finish_le ();

protected:
  // Compress exactly one 64-byte block.
  virtual void consume (const u_char *block) = 0;
  // Compress n whole blocks in a row, read in place; a hash with a faster
  // loop than one consume per block overrides it.
  virtual void consumeblocks (const u_char *blocks, size_t n);

private:
  void frame (u_char marker);
};

static_assert (sizeof (mdblock::buffer) == mdblock::blocksize,
               "buffer holds exactly one block");

#endif
