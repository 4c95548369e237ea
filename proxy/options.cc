#include "proxy/options.h"

#include "async/version.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

const char opts_usage[] =
    "usage: ombrix [options]\n"
    "  -l, --listen ADDR:PORT     where to listen (127.0.0.1:8080; port 0: "
    "any)\n"
    "      --origin http://HOST[:PORT]\n"
    "                             gateway mode: send every request there\n"
    "      --allow CIDR           serve these clients (repeatable; default:\n"
    "                             loopback only)\n"
    "      --access-log FILE|-    one line per request, Squid's format\n"
    "      --head-timeout SEC     a request head must arrive in time (10)\n"
    "      --idle-timeout SEC     idle persistent client connections (60)\n"
    "      --connect-timeout SEC  connecting to an origin (10)\n"
    "      --first-byte-timeout SEC  the origin's first response byte (60)\n"
    "      --io-timeout SEC       silence in the middle of a transfer (60)\n"
    "      --drain SEC            SIGTERM: time to finish transfers (10)\n"
    "      --pool N               idle connections kept per origin (8)\n"
    "      --window BYTES         buffer per direction before pausing "
    "(262144)\n"
    "      --connect-port N       CONNECT may reach port N (repeatable;\n"
    "                             default: 443 only)\n"
    "      --tunnel-timeout SEC   a silent CONNECT tunnel closes (300)\n"
    "      --parent HOST:PORT     send requests through this proxy "
    "(repeatable:\n"
    "                             each URL goes to one of them, by its hash)\n"
    "      --cache-mem SIZE       memory cache size, K/M/G suffixes (256M;\n"
    "                             0: no caching)\n"
    "      --cache-max-object SIZE  the largest object cached (16M)\n"
    "      --cache-dir DIR        also keep the cache on disk, in DIR\n"
    "      --cache-size SIZE      the disk cache's size (1G)\n"
    "      --disk-nice N          the disk thread's nice value, 0 to 19 (19:\n"
    "                             it yields to the loop; 0 on a busy host)\n"
    "  -h, --help                 this text\n"
    "  -V, --version              the version\n";

// Seconds with up to three decimals, 0.001 to 86400, as milliseconds.
static bool
seconds (const char *s, int *ms)
{
  char *end;
  errno = 0;
  double v = strtod (s, &end);
  if (errno || end == s || *end || !(v >= 0.001 && v <= 86400))
    return false;
  *ms = int (v * 1000 + 0.5);
  return true;
}

static bool
integer (const char *s, long lo, long hi, int *out)
{
  char *end;
  errno = 0;
  long v = strtol (s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi)
    return false;
  *out = int (v);
  return true;
}

// ADDR:PORT, [ADDR6]:PORT; the address numeric.
// A byte count with an optional K, M or G (binary) suffix, at most 1 TiB.
static bool
bytesize (const char *s, uint64_t *out)
{
  char *end;
  errno = 0;
  if (*s < '0' || *s > '9')
    return false;
  unsigned long long v = strtoull (s, &end, 10);
  const char *units = "KMG";
  const char *u = *end ? strchr (units, *end & ~0x20) : nullptr;
  if (errno || (*end && (!u || end[1])))
    return false;
  int shift = u ? 10 * int (u - units + 1) : 0;
  if (v > (1ULL << (40 - shift)))
    return false;
  *out = uint64_t (v) << shift;
  return true;
}

static bool
listenaddr (const char *s, proxyopts *o)
{
  const char *colon = strrchr (s, ':');
  if (!colon)
    return false;
  str host (s, colon - s);
  if (host.len () > 2 && host[0] == '[' && host[host.len () - 1] == ']')
    host = str (host.cstr () + 1, host.len () - 2);
  in6_addr a;
  int port;
  if (!integer (colon + 1, 0, 65535, &port) ||
      (inet_pton (AF_INET, host, &a) != 1 &&
       inet_pton (AF_INET6, host, &a) != 1))
    return false;
  o->listenhost = host;
  o->listenport = uint16_t (port);
  return true;
}

// HOST:PORT, HOST of letters, digits, dots and dashes.
static bool
hostport (const char *s, proxyopts *o)
{
  const char *colon = strrchr (s, ':');
  int port;
  if (!colon || colon == s || !integer (colon + 1, 1, 65535, &port))
    return false;
  for (const char *p = s; p < colon; p++)
    if (!strchr ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                 "0123456789.-",
                 *p))
      return false;
  mstr h (colon - s);
  for (size_t i = 0; i < h.len (); i++)
    h[i] = s[i] >= 'A' && s[i] <= 'Z' ? s[i] ^ 0x20 : s[i];
  o->parents.push_back (strbuf ("%s:%d", str (h).cstr (), port));
  return true;
}

// http://HOST[:PORT][/], HOST of letters, digits, dots and dashes.
static bool
originurl (const char *s, proxyopts *o)
{
  if (strncasecmp (s, "http://", 7))
    return false;
  s += 7;
  size_t n = strcspn (s, ":/");
  if (!n)
    return false;
  for (size_t i = 0; i < n; i++)
    if (!strchr ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                 "0123456789.-",
                 s[i]))
      return false;
  int port = 80;
  const char *rest = s + n;
  if (*rest == ':') {
    size_t d = strspn (rest + 1, "0123456789");
    if (!d || d > 5 || !integer (str (rest + 1, d), 1, 65535, &port))
      return false;
    rest += 1 + d;
  }
  if (*rest && strcmp (rest, "/"))
    return false;
  mstr h (n);
  for (size_t i = 0; i < n; i++)
    h[i] = s[i] >= 'A' && s[i] <= 'Z' ? s[i] ^ 0x20 : s[i];
  o->originhost = h;
  o->originport = uint16_t (port);
  return true;
}

enum {
  o_origin = 256,
  o_allow,
  o_log,
  o_head,
  o_idle,
  o_connect,
  o_firstbyte,
  o_io,
  o_drain,
  o_pool,
  o_window,
  o_connectport,
  o_tunnel,
  o_parent,
  o_cachemem,
  o_cachemax,
  o_cachedir,
  o_cachesize,
  o_disknice,
};

static const option longopts[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"origin", required_argument, nullptr, o_origin},
    {"allow", required_argument, nullptr, o_allow},
    {"access-log", required_argument, nullptr, o_log},
    {"head-timeout", required_argument, nullptr, o_head},
    {"idle-timeout", required_argument, nullptr, o_idle},
    {"connect-timeout", required_argument, nullptr, o_connect},
    {"first-byte-timeout", required_argument, nullptr, o_firstbyte},
    {"io-timeout", required_argument, nullptr, o_io},
    {"drain", required_argument, nullptr, o_drain},
    {"pool", required_argument, nullptr, o_pool},
    {"window", required_argument, nullptr, o_window},
    {"connect-port", required_argument, nullptr, o_connectport},
    {"tunnel-timeout", required_argument, nullptr, o_tunnel},
    {"parent", required_argument, nullptr, o_parent},
    {"cache-mem", required_argument, nullptr, o_cachemem},
    {"cache-max-object", required_argument, nullptr, o_cachemax},
    {"cache-dir", required_argument, nullptr, o_cachedir},
    {"cache-size", required_argument, nullptr, o_cachesize},
    {"disk-nice", required_argument, nullptr, o_disknice},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

#include "proxy/listener.h"

// One option with its argument; false if the value is bad.
static bool
option1 (proxyopts *o, int c, const char *a)
{
  switch (c) {
  case 'l':
    return listenaddr (a, o);
  case o_origin:
    return originurl (a, o);
  case o_allow:
    o->allow.push_back (str (a));
    return cidrparse (a);
  case o_log:
    o->accesslog = a;
    return *a;
  case o_head:
    return seconds (a, &o->head_ms);
  case o_idle:
    return seconds (a, &o->idle_ms);
  case o_connect:
    return seconds (a, &o->connect_ms);
  case o_firstbyte:
    return seconds (a, &o->firstbyte_ms);
  case o_io:
    return seconds (a, &o->io_ms);
  case o_drain:
    return seconds (a, &o->drain_ms);
  case o_pool:
    return integer (a, 0, 1024, &o->pool);
  case o_window:
    return integer (a, 4096, 64 << 20, &o->window);
  case o_connectport: {
    int port;
    if (!integer (a, 1, 65535, &port))
      return false;
    o->connectports.push_back (port);
    return true;
  }
  case o_tunnel:
    return seconds (a, &o->tunnel_ms);
  case o_parent:
    return hostport (a, o);
  case o_cachemem:
    return bytesize (a, &o->cachemem);
  case o_cachemax:
    return bytesize (a, &o->cachemax);
  case o_cachedir:
    o->cachedir = a;
    return *a;
  case o_cachesize:
    return bytesize (a, &o->cachesize);
  case o_disknice:
    return integer (a, 0, 19, &o->disknice);
  }
  return false;
}

int
opts_parse (proxyopts *o, int argc, char **argv, str *err)
{
  optind = 0; // also resets getopt's state between calls
  opterr = 0;
  for (;;) {
    int idx = -1;
    int c = getopt_long (argc, argv, ":l:hV", longopts, &idx);
    if (c == -1)
      break;
    const char *name = idx >= 0 ? longopts[idx].name : nullptr;
    if (c == 'h') {
      fputs (opts_usage, stdout);
      return 0;
    }
    if (c == 'V') {
      printf ("ombrix %s\n", OMBRIX_VERSION);
      return 0;
    }
    if (c == '?' || c == ':') {
      const char *what = c == '?' ? "unknown option" : "missing value for";
      *err = strbuf ("%s %s", what, argv[optind - 1]);
      return -1;
    }
    if (!option1 (o, c, optarg)) {
      *err = name ? strbuf ("bad value for --%s: %s", name, optarg)
                  : strbuf ("bad value for -%c: %s", c, optarg);
      return -1;
    }
  }
  if (optind < argc) {
    *err = strbuf ("unexpected argument: %s", argv[optind]);
    return -1;
  }
  return 1;
}
