// CONNECT tunnels: after "CONNECT host:port", the client's connection and
// one to host:port carry opaque bytes both ways until both sides are done.
//
// tunnel_start takes over a client's descriptor together with both slots
// its transaction holds under the descriptor ceiling (listener.h), connects
// (name lookup, each address in turn, within the connect timeout), answers
// "HTTP/1.1 200 Connection established" or an error page (502, 504), then
// relays.  Memory: one buffer of tunnel_buf bytes per direction (the first
// one larger if the client sent more than that behind its CONNECT); a side
// is not read while the buffer it fills is full, so a slow reader stalls
// the other side's sender, never grows the proxy.  An end of stream is
// passed on as a half-close (shutdown for writing) once the bytes before it
// are out; the tunnel closes when both directions have ended, at the first
// error on either side (both closed), or after --tunnel-timeout with no
// byte moving either way.  One access-log line per tunnel, at its end:
// TCP_TUNNEL/200 with the bytes sent to the client.
//
// Errors: nothing from either side ends the process; failures close the
// tunnel.  Single-threaded, no locks.
#ifndef OMBRIX_PROXY_TUNNEL_H
#define OMBRIX_PROXY_TUNNEL_H

#include "async/callback.h"
#include "async/str.h"
#include "proxy/accesslog.h"

#include <cstdint>

struct proxyopts;

enum { tunnel_buf = 65536 }; // bytes buffered per direction

// Keeps the pointer, which must outlive every tunnel.
void tunnel_config (const proxyopts *o);
// A CONNECT target, "host:port" or "[v6]:port", into its parts; host in
// lower case, port 1 to 65535.
bool tunnel_target (const char *t, size_t n, str *host, uint16_t *port);
// The port is one CONNECT may reach (--connect-port, default 443 only).
bool tunnel_port_ok (uint16_t port);
// Takes over fd (its two slots counted already) with the n bytes the client
// sent behind its CONNECT head; lr is the request's log record so far.
void tunnel_start (int fd, const logrec &lr, const str &host, uint16_t port,
                   const char *early, size_t n);
int tunnel_count (); // tunnels open now
// cb runs once no tunnel is left (at the next turn if none is); tunnels
// are not cut short, the caller's deadline ends them.
void tunnel_drain (cbv cb);

#endif
