// ombrix: the caching HTTP proxy.
#include <cstdio>

int
main ()
{
  printf ("ombrix: not yet\n");
  return 0;
}
