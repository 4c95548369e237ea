// The listening socket, access control and the descriptor ceiling.
//
// listener_start binds the address of the options, accepts on the loop
// and hands each new connection (non-blocking, close-on-exec) to the
// callback with its peer address, which lives only during the call; the
// callback owns the descriptor.  Clients outside the allowed networks are
// handed over too, marked: the caller answers 403 and logs them.
//
// The ceiling: every descriptor the proxy opens or closes is counted here
// (fd_opened, fd_closed), and those open before listener_start once.  The loop
// can register descriptors below maxfd only; accepting stops while fewer than
// fd_reserve + 2 slots are free (a client and its origin) and resumes once
// enough are closed.
//
// Errors: listener_start returns -1 with errno set (bind, listen); a
// failing accept is retried on the next readiness, paused for a short
// while when the system is out of descriptors or memory.
#ifndef OMBRIX_PROXY_LISTENER_H
#define OMBRIX_PROXY_LISTENER_H

#include "async/callback.h"
#include "async/str.h"
#include "async/vec.h"

#include <cstdint>
#include <sys/socket.h>

// One allowed network.
struct cidr {
  int family;          // AF_INET or AF_INET6
  unsigned char a[16]; // the network's address, 4 or 16 bytes
  int bits;            // prefix length
};
// "A.B.C.D[/n]" or "IPv6[/n]"; a missing length means the one host.
bool cidrparse (const char *s, cidr *c = nullptr);
// Whether sa lies in c; an IPv4-mapped IPv6 peer matches IPv4 networks.
bool cidrmatch (const cidr &c, const sockaddr *sa);

enum { fd_reserve = 24 }; // slots kept for the resolver, log and listener
void fd_opened ();
void fd_closed ();
int fd_count ();         // descriptors counted as open
bool fd_room (int n);    // n more fit under the ceiling
bool listener_paused (); // accepting stopped at the ceiling

// fd, peer address, whether the peer is allowed.
typedef callback<void, int, const sockaddr *, bool> acceptcb;
// Binds host:port (numeric) and starts accepting; allow empty means
// loopback only.  *bound receives the port actually bound.
int listener_start (const str &host, uint16_t port, const vec<str> &allow,
                    ref<acceptcb> cb, uint16_t *bound);
// Stops accepting and closes the socket.
void listener_stop ();

#endif
