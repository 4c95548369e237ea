#include "crypt/mdblock.h"

#include <cstring>

mdblock::~mdblock ()
{
  // A plain store into an object that is about to die is a dead store the
  // compiler may drop; explicit_bzero is never elided.
  explicit_bzero (&count, sizeof (count));
  explicit_bzero (buffer, sizeof (buffer));
}

void
mdblock::update (const void *data, size_t len)
{
  const u_char *p = static_cast<const u_char *> (data);
  size_t bcount = count % blocksize;
  count += len;

  if (len < blocksize - bcount) {
    if (len)
      memcpy (buffer + bcount, p, len);
    return;
  }
  if (bcount) {
    size_t n = blocksize - bcount;
    memcpy (buffer + bcount, p, n);
    consume (buffer);
    p += n;
    len -= n;
  }
  if (len >= blocksize) {
    size_t n = len / blocksize;
    consumeblocks (p, n);
    p += n * blocksize;
    len -= n * blocksize;
  }
  if (len)
    memcpy (buffer, p, len);
}

void
mdblock::consumeblocks (const u_char *blocks, size_t n)
{
  for (; n; n--, blocks += blocksize)
    consume (blocks);
}

void
mdblock::updatev (const iovec *iov, u_int cnt)
{
  for (u_int i = 0; i < cnt; i++)
    update (iov[i].iov_base, iov[i].iov_len);
}

// Pads the last block up to its length field and turns count into bits.
// When the marker leaves no room for the 8 length bytes, the pad goes
// through update (which consumes the full block) and count is put back to
// the message length.
void
mdblock::frame (u_char marker)
{
  size_t r = count % blocksize;
  size_t fill;
  if (r >= blocksize - 8) {
    u_char pad[blocksize] = {marker};
    update (pad, blocksize - r);
    count -= blocksize - r;
    fill = 0;
  } else {
    buffer[r] = marker;
    fill = r + 1;
  }
  memset (buffer + fill, 0, blocksize - 8 - fill);
  count *= 8;
}

void
mdblock::finish_be ()
{
  frame (0x80);
  for (int i = 0; i < 8; i++)
    buffer[blocksize - 1 - i] = (u_char) (count >> (8 * i));
  consume (buffer);
}

void
mdblock::finish_le ()
{
  frame (0x01);
  for (int i = 0; i < 8; i++)
    buffer[blocksize - 8 + i] = (u_char) (count >> (8 * i));
  consume (buffer);
}
