#include "proxy/accesslog.h"

#include "async/core.h"
#include "async/err.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

static str logpath; // null: no log
static int logfd = -1;

static int
openlog (const str &path)
{
  if (path == "-")
    return dup (1);
  return open (path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int
accesslog_open (const str &path)
{
  accesslog_close ();
  logpath = path;
  if (!path)
    return 0;
  logfd = openlog (path);
  return logfd < 0 ? -1 : 0;
}

void
accesslog_reopen ()
{
  if (!logpath)
    return;
  int fd = openlog (logpath);
  if (fd < 0) {
    qel_warn ("access log %s: %s\n", logpath.cstr (), strerror (errno));
    return;
  }
  if (logfd >= 0)
    close (logfd);
  logfd = fd;
}

void
accesslog_close ()
{
  if (logfd >= 0)
    close (logfd);
  logfd = -1;
  logpath = str ();
}

static const char *
peername (const sockaddr_storage &ss, char *buf, size_t n)
{
  const void *a =
      ss.ss_family == AF_INET6
          ? static_cast<const void *> (
                &reinterpret_cast<const sockaddr_in6 *> (&ss)->sin6_addr)
          : &reinterpret_cast<const sockaddr_in *> (&ss)->sin_addr;
  if (!inet_ntop (ss.ss_family, a, buf, n))
    return "-";
  return buf;
}

void
accesslog_write (const logrec &r)
{
  if (logfd < 0)
    return;
  timespec now;
  clock_gettime (CLOCK_REALTIME, &now);
  long long ms = (now.tv_sec - r.start.tv_sec) * 1000LL +
                 (now.tv_nsec - r.start.tv_nsec) / 1000000;
  char addr[INET6_ADDRSTRLEN];
  strbuf line ("%lld.%03d %6lld %s %s/%03d %llu ",
               static_cast<long long> (now.tv_sec), int (now.tv_nsec / 1000000),
               ms < 0 ? 0 : ms, peername (r.peer, addr, sizeof addr), r.result,
               r.status, static_cast<unsigned long long> (r.bytes));
  line << (r.method ? r.method.cstr () : "-") << " "
       << (r.url ? r.url.cstr () : "-") << " - ";
  if (r.host)
    line << "HIER_DIRECT/" << r.host << " -\n";
  else
    line << "HIER_NONE/- -\n";
  suio *u = line.tosuio ();
  while (u->resid () && u->output (logfd) > 0)
    ;
}
