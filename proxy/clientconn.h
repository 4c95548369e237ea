// The client side of the proxy: one clientconn per accepted connection,
// a state machine that reads request heads, checks them, starts a source
// (an origin fetch) for each, streams the request body to it and the
// response back, in order, one request at a time (pipelined requests wait
// in the input buffer).
//
// Memory: a clientconn owns its descriptor, its buffers and its source,
// and deletes itself when the connection ends; client_config keeps the
// pointer it is given, which must outlive every connection.  Buffering is
// bounded: a request head (64 KiB), a window of response bytes (then the
// source is paused) and a window of request bytes (then the client is not
// read).  Errors become complete error pages (httperror) and a closed
// connection; nothing from the network ends the process.
#ifndef OMBRIX_PROXY_CLIENTCONN_H
#define OMBRIX_PROXY_CLIENTCONN_H

#include "async/callback.h"
#include "async/str.h"

#include <sys/socket.h>

struct proxyopts;

void client_config (const proxyopts *o);
// Takes over fd, already counted as open (listener.h).
void client_accept (int fd, const sockaddr *peer, bool allowed);
int client_count ();
// Stop keeping connections: idle ones close now, the others after the
// response in flight; cb runs once no connection is left.
void client_drain (cbv cb);
// The proxy's error page for status (httperror), built at most once a
// second for each status, why (a static text) and URL.
str errpage (int status, const char *msg, const char *why, const str &url);

#endif
