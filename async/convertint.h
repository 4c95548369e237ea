// String-to-integer conversion for parsers.
//
// strtoi64 reads a 64-bit integer the way strtoll does, but saturates
// silently on overflow (errno is never touched).  convertint<T> accepts a
// whole string as one integer and stores it into any integer type T by
// keeping the low-order bits, with no range check: "65536" is 0 in a
// u_int16_t.  Neither keeps state or allocates; the caller owns every
// buffer, and *endptr points into the caller's string.
#ifndef OMBRIX_ASYNC_CONVERTINT_H
#define OMBRIX_ASYNC_CONVERTINT_H

#include <cstdint>
#include <sys/types.h>
#include <type_traits>

// Leading blanks and one sign are skipped; base 0 means 16 after "0x" or
// "0X", 8 after a leading 0, else 10; base 16 also accepts the "0x"
// prefix.  *endptr (when endptr is not null) is set just past the last
// digit, or to nptr when no digit was read.  A base other than 0 and 2-36
// reads no digits.
int64_t strtoi64 (const char *nptr, char **endptr, int base);

// False, with *resp untouched, for an empty string, a string without
// digits or one with anything (blanks included) after the digits.
template <class T>
bool
convertint (const char *cp, T *resp)
{
  static_assert (std::is_integral<T>::value, "convertint needs an integer");
  if (!*cp)
    return false;
  char *end;
  int64_t v = strtoi64 (cp, &end, 0);
  if (*end)
    return false;
  // Through the unsigned type: keeps the low-order bits of any value.
  *resp = static_cast<T> (static_cast<uint64_t> (v));
  return true;
}

extern template bool convertint<int> (const char *, int *);
extern template bool convertint<u_int16_t> (const char *, u_int16_t *);

#endif
