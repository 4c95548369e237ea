// Socket creation and descriptor tuning.
//
// Functions that create a descriptor (inetsocket, inetsocket_resvport,
// unixsocket, unixsocket_connect) return it or -1 with errno set, print
// nothing, and never leave a half-made socket open; the caller owns the
// descriptor.  _make_async and make_sync are silent too.  close_on_exec
// and make_async end the process with a fatal error when the descriptor
// cannot be prepared; refused options (buffer sizes, keep-alive, Nagle)
// are warnings.  Addresses and ports are in host byte order.
//
// sndbufsize, rcvbufsize and inet_bindaddr come from SNDBUFSIZE,
// RCVBUFSIZE and BINDADDR (read through safegetenv by init_env, once at
// start-up).  Single-threaded.
#ifndef OMBRIX_ASYNC_SOCKET_H
#define OMBRIX_ASYNC_SOCKET_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

extern int sndbufsize;                // SO_SNDBUF for stream sockets
extern int rcvbufsize;                // SO_RCVBUF for stream sockets
extern in_addr inet_bindaddr;         // used when a caller passes addr 0
extern u_int16_t inetsocket_lastport; // port of the last privileged
                                      // inetsocket_resvport

void init_env ();

int inetsocket (int type, u_int16_t port = 0, u_int32_t addr = INADDR_ANY);
int inetsocket_resvport (int type, u_int32_t addr = INADDR_ANY);
int unixsocket (const char *path); // paths of at most 107 characters
int unixsocket_connect (const char *path);
bool isunixsocket (int fd);

void close_on_exec (int s, bool set = true); // replaces all fd flags
int _make_async (int s);                     // O_NONBLOCK; 0 or -1
void make_async (int s); // O_NONBLOCK, plus buffers and keep-alive
void make_sync (int s);  // clears O_NONBLOCK
void tcp_nodelay (int s);
void tcp_abort (int fd); // closes fd with a reset

// Equal AF_INET family, address and port (sin_zero ignored); false, with
// a warning, for other families or a size below sizeof (sockaddr_in).
bool addreq (const sockaddr *a, const sockaddr *b, socklen_t size);

#endif
