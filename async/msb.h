// Bit positions: fls32 and fls64 give the 1-based position of the most
// significant set bit of a value (0 for 0), by table look-up one byte at a
// time from the top.  bytemsb and bytelsb are constant 256-entry tables
// (highest / lowest set bit of a byte, 1-based, 0 for 0).  No state.
#ifndef OMBRIX_ASYNC_MSB_H
#define OMBRIX_ASYNC_MSB_H

#include <cstdint>

extern const unsigned char bytemsb[256];
extern const unsigned char bytelsb[256];

inline int
fls32 (uint32_t v)
{
  if (v & 0xff000000)
    return 24 + bytemsb[v >> 24];
  if (v & 0x00ff0000)
    return 16 + bytemsb[v >> 16];
  if (v & 0x0000ff00)
    return 8 + bytemsb[v >> 8];
  return bytemsb[v];
}

inline int
fls64 (uint64_t v)
{
  uint32_t hi = static_cast<uint32_t> (v >> 32);
  return hi ? 32 + fls32 (hi) : fls32 (static_cast<uint32_t> (v));
}

#endif
