// Text armors for binary data: a base-32 of our own alphabet (lower-case
// letters without "l" and "o", then the digits 2 to 9; no padding), the
// padded base-64 of RFC 4648, and an unpadded base-64 whose 64th
// character is "-" instead of "/".
//
// Every encoder and decoder returns a new str that the caller owns (it
// shares nothing with the input, which need only live for the call).
// Decoders return the empty str for empty input and the null str for a
// length no encoder can produce.  A negative length means "measure with the
// matching *len function", which stops at the first character outside the
// alphabet; with a length given, exactly that many bytes are read (no zero
// byte needed) and the characters are not checked: a caller that does not
// know its text to be clean passes -1.  Bits are taken most significant
// first, as in RFC 4648.  The encoders' length checks are the standard
// assertion; sizes too large to represent are out of memory.
#ifndef OMBRIX_ASYNC_ARMOR_H
#define OMBRIX_ASYNC_ARMOR_H

#include "async/str.h"

#include <sys/types.h>

// Alphabets (value i is character i) and their inverses (-1 for every byte
// outside the alphabet, "=" and NUL included).  All read-only.
extern const char b2a32[33]; // "abcdefghijkmnpqrstuvwxyz23456789"
extern const signed char (&a2b32)[256];
extern const int b2a32rem[5]; // characters for a tail of 0..4 bytes
extern const int a2b32rem[8]; // bytes from a tail of 0..7 chars; -1: none
extern const char b2a64[65];  // RFC 4648: A-Z a-z 0-9 + /
extern const signed char (&a2b64)[256];
extern const char b2a64A[65]; // as b2a64 with "-" for "/"
extern const signed char (&a2b64A)[256];

// (dl / 5) * 8 + b2a32rem[dl % 5] characters.
str armor32 (const void *dp, size_t dl);
// Leading characters of s that are in b2a32.
size_t armor32len (const u_char *s);
// Null for a length of 1, 3 or 6 modulo 8.  The low bits of the last
// character beyond the last whole byte are ignored.
str dearmor32 (const char *s, ssize_t len = -1);

// Padded: ((len + 2) / 3) * 4 characters.
str armor64 (const void *s, size_t len);
// Leading characters of s in b2a64, then at most two "=" following them.
size_t armor64len (const u_char *s);
// Null when the length is not a multiple of 4.  A character outside the
// alphabet ("=") in the third or fourth place of the last group ends the
// output there.
str dearmor64 (const char *s, ssize_t len = -1);

// Unpadded, b2a64A: (len / 3) * 4 characters plus 0, 2 or 3 for a tail of
// 0, 1 or 2 bytes.
str armor64A (const void *s, size_t len);
// Leading characters of s in b2a64A ("=" is not).
size_t armor64Alen (const u_char *s);
// Any length: a lone character after the last whole group (length 1
// modulo 4, which no encoder writes) yields no byte.
str dearmor64A (const char *s, ssize_t len = -1);

// The shared base-64 coders, for other 64-character alphabets: b2a holds
// the 64 characters, a2b its 256-entry inverse.  endpad writes the "=".
str _armor64 (const char *b2a, bool endpad, const void *dp, size_t len);
str _dearmor64 (const signed char *a2b, const u_char *s, size_t len);

#endif
