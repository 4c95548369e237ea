// Temporary resolver: getaddrinfo on the loop thread.  Stands in until the
// non-blocking resolver lands.
#include "proxy/resolver.h"

#include "async/core.h"
#include "async/str.h"

#include <cstring>
#include <netdb.h>

struct dnsreq {
  str host;
  ref<dnscb> cb;
  timecb_t *tmo;
  dnsreq (const char *h, ref<dnscb> c) : host (h), cb (c), tmo (nullptr) {}
};

static void
dns_run (dnsreq *r)
{
  dnsresult res;
  memset (&res, 0, sizeof res);
  addrinfo hints, *ai = nullptr;
  memset (&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  int e = getaddrinfo (r->host.cstr (), nullptr, &hints, &ai);
  if (e)
    res.err = e;
  for (addrinfo *p = ai; p && res.naddrs < dns_maxaddrs; p = p->ai_next)
    memcpy (&res.addrs[res.naddrs++], p->ai_addr, p->ai_addrlen);
  if (ai)
    freeaddrinfo (ai);
  ref<dnscb> cb = r->cb;
  delete r;
  (*cb) (&res);
}

int
dns_init (int)
{
  return 0;
}

void
dns_shutdown ()
{
}

dnsreq *
dns_lookup (const char *host, ref<dnscb> cb)
{
  dnsreq *r = new dnsreq (host, cb);
  r->tmo = delaycb (0, 0, wrap (dns_run, r));
  return r;
}

void
dns_cancel (dnsreq *r)
{
  if (!r)
    return;
  timecb_remove (r->tmo);
  delete r;
}

const char *
dns_strerror (int err)
{
  return err ? gai_strerror (err) : "no error";
}
