// Who this host is on the network.
//
// myname returns the host's fully qualified domain name: the host name if
// it has a dot, else the host name joined to the resolver's first search
// domain, else a dotted name the resolver gives for the host name or for
// one of the host's addresses (127.0.0.1 aside); when none is found it
// issues two warnings (errfd) and returns the null str.  mydomain returns
// the resolver's first search domain (possibly empty), or the null str when
// the resolver has none.  Both return a new str the caller owns and ask the
// system afresh on every call: they block while the resolver works and use
// its process-wide state (single-threaded).  A host name that cannot be read
// at all is a panic.
#ifndef OMBRIX_ASYNC_MYNAME_H
#define OMBRIX_ASYNC_MYNAME_H

#include "async/str.h"

str myname ();
str mydomain ();

#endif
