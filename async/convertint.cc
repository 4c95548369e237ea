#include "convertint.h"

#include <cctype>

template bool convertint<int> (const char *, int *);
template bool convertint<u_int16_t> (const char *, u_int16_t *);

static int
digitval (unsigned char c)
{
  if (isdigit (c))
    return c - '0';
  if (isalpha (c))
    return (isupper (c) ? c - 'A' : c - 'a') + 10;
  return 99; // above every base
}

int64_t
strtoi64 (const char *nptr, char **endptr, int base)
{
  const unsigned char *s = reinterpret_cast<const unsigned char *> (nptr);
  while (isspace (*s))
    s++;
  bool neg = *s == '-';
  if (*s == '-' || *s == '+')
    s++;
  if ((base == 0 || base == 16) && s[0] == '0' &&
      (s[1] == 'x' || s[1] == 'X')) {
    s += 2;
    base = 16;
  }
  if (base == 0)
    base = *s == '0' ? 8 : 10;

  // Negative values are accumulated downwards so that INT64_MIN is
  // reachable; cutoff/cutlim bound the accumulator before each step.
  int64_t acc = 0;
  bool any = false, over = false;
  if (base >= 2 && base <= 36) {
    int64_t cutoff = neg ? INT64_MIN / base : INT64_MAX / base;
    int cutlim = neg ? -static_cast<int> (INT64_MIN % base)
                     : static_cast<int> (INT64_MAX % base);
    for (int d; (d = digitval (*s)) < base; s++) {
      any = true;
      if (over)
        continue;
      if (neg ? acc < cutoff || (acc == cutoff && d > cutlim)
              : acc > cutoff || (acc == cutoff && d > cutlim)) {
        over = true;
        acc = neg ? INT64_MIN : INT64_MAX;
      } else
        acc = neg ? acc * base - d : acc * base + d;
    }
  }
  if (endptr)
    *endptr =
        const_cast<char *> (any ? reinterpret_cast<const char *> (s) : nptr);
  return acc;
}
