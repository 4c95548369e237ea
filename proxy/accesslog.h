// The access log: one line per request in Squid's native format,
//   time.ms elapsed-ms client result/status bytes method URL - hierarchy type
// for example
//   1765100000.123     12 127.0.0.1 TCP_MISS/200 1024 GET http://a/ -
//   HIER_DIRECT/a -
// where result is TCP_MISS (fetched), TCP_DENIED (403 to a client outside
// the allowed networks) or NONE (answered by the proxy: malformed or
// refused requests, failed fetches), and bytes counts what went to the
// client, head included.
//
// Memory: accesslog_open copies the path.  Each line goes out in one
// write(2) on an O_APPEND descriptor, so lines from several processes
// never interleave.  Errors: accesslog_open returns -1 with errno set;
// a failing write is dropped silently; a failing reopen keeps the old
// file and warns.
#ifndef OMBRIX_PROXY_ACCESSLOG_H
#define OMBRIX_PROXY_ACCESSLOG_H

#include "async/str.h"

#include <cstdint>
#include <ctime>
#include <sys/socket.h>

struct logrec {
  timespec start; // when the request head began
  sockaddr_storage peer;
  str method;         // null: "-"
  str url;            // null: "-"
  const char *result; // TCP_MISS, TCP_DENIED, NONE
  int status;         // sent to the client; 0 if nothing was
  uint64_t bytes;     // sent to the client
  str host;           // the origin asked; null: none
};

// Path "-": standard output; null: no log.
int accesslog_open (const str &path);
// Opens the path again (after rotation); SIGHUP does this.
void accesslog_reopen ();
void accesslog_write (const logrec &r);
void accesslog_close ();

#endif
