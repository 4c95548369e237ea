// The proxy's command line: ombrix [options].
//
// opts_parse fills a proxyopts from argv; defaults come from the
// constructor.  Memory: the strs are the proxyopts' own.  Result: 1 to
// run, 0 when --help or --version printed their text on standard output
// (exit 0), -1 with one line in *err for a bad option or value (exit 2).
#ifndef OMBRIX_PROXY_OPTIONS_H
#define OMBRIX_PROXY_OPTIONS_H

#include "async/str.h"
#include "async/vec.h"

#include <cstdint>

struct proxyopts {
  str listenhost = "127.0.0.1"; // numeric IPv4 or IPv6 address
  uint16_t listenport = 8080;   // 0: any free port (printed at start)
  str originhost;               // gateway mode when set
  uint16_t originport = 80;
  vec<str> allow;           // CIDRs of clients served; empty: loopback only
  str accesslog;            // path, "-" for standard output, null for none
  int head_ms = 10000;      // a request head must arrive within this
  int idle_ms = 60000;      // a persistent client connection may idle
  int connect_ms = 10000;   // connecting to an origin
  int firstbyte_ms = 60000; // from request sent to the first response byte
  int io_ms = 60000;        // silence in the middle of a transfer
  int drain_ms = 10000;     // after SIGTERM, transfers in flight may finish
  int pool = 8;             // idle persistent connections kept per origin
  int window = 262144;      // bytes buffered per direction before pausing
  vec<int> connectports;    // CONNECT may reach these; empty: 443 only
  int tunnel_ms = 300000;   // a CONNECT tunnel may be silent both ways
  vec<str> parents;         // "host:port" of parent proxies, in order given
  uint64_t cachemem = uint64_t (256) << 20; // the memory cache; 0: none
  uint64_t cachemax = uint64_t (16) << 20;  // the largest object cached
  str cachedir;                             // the disk cache; null: none
  uint64_t cachesize = uint64_t (1) << 30;  // the disk cache's byte limit
  int disknice = 19; // the file worker thread's nice value, 0 to 19
};

int opts_parse (proxyopts *o, int argc, char **argv, str *err);
// The --help text.
extern const char opts_usage[];

#endif
