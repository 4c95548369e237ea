// The IPv4 addresses of this host's interfaces that are up.
//
// myipaddrs asks the kernel afresh on every call (nothing is cached) and
// replaces the caller's vector with the addresses in the order the kernel
// lists its interfaces, each address once, at the place of its first
// occurrence; loopback and point-to-point interfaces count like any other.
// On failure it issues a warning (errfd) and returns false, leaving the
// vector as it was.  A host with no interface up gives true and an empty
// vector.  The query buffer grows by doubling and is remembered for the
// next call: single-threaded.
#ifndef OMBRIX_ASYNC_MYADDRS_H
#define OMBRIX_ASYNC_MYADDRS_H

#include "async/vec.h"

#include <netinet/in.h>

bool myipaddrs (vec<in_addr> *res);

#endif
