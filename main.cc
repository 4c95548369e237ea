// The proxy's entry: listen on the port given on the command line and serve
// connections one after another on the main thread.  Each client gets one
// fixed line and is disconnected; the request is not read yet.
//
// This file talks to the operating system directly and uses none of the
// support library's types; the library's modules are nevertheless linked in
// and have run their start-up (SIGPIPE ignored, descriptor limits set, the
// HTTP module's patterns compiled) by the time main runs.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static void
synchronous_proxy (int c)
{
  const char msg[] = "synchronous_proxy unimplemented... goodbye\n";
  static_assert (sizeof (msg) == 44, "43 bytes and the NUL");
  // A client that has gone makes this fail with EPIPE (SIGPIPE is
  // ignored); nothing is reported and the connection is closed anyway.
  ssize_t n = write (c, msg, sizeof (msg) - 1);
  (void) n;
}

static void
do_proxy (int c)
{
  synchronous_proxy (c);
  close (c);
}

static int
tcplisten (int port)
{
  int s = socket (AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s < 0) {
    perror ("socket");
    exit (1);
  }
  int one = 1;
  if (setsockopt (s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof (one)) < 0) {
    perror ("setsockopt");
    exit (1);
  }
  sockaddr_in sin;
  memset (&sin, 0, sizeof (sin));
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_ANY);
  if (bind (s, (sockaddr *) &sin, sizeof (sin)) < 0) {
    perror ("bind");
    exit (1);
  }
  if (listen (s, 5) < 0) {
    perror ("listen");
    exit (1);
  }
  return s;
}

// accept(2) on Linux also reports errors that belong to the new connection
// (the peer reset it, the network went away) and transient shortages.  None
// of them says the listening socket is broken, so a client must not be able
// to stop the server with them.  Returns 0 to accept again at once, 1 to
// pause first (resource shortage: retrying at once would spin), -1 if the
// error is fatal.
static int
accept_retry (int err)
{
  switch (err) {
  case ECONNABORTED:
  case EPROTO:
  case ENETDOWN:
  case ENOPROTOOPT:
  case EHOSTDOWN:
  case ENONET:
  case EHOSTUNREACH:
  case EOPNOTSUPP:
  case ENETUNREACH:
  case EINTR:
    return 0;
  case EMFILE:
  case ENFILE:
  case ENOBUFS:
  case ENOMEM:
    return 1;
  default:
    return -1;
  }
}

int
main (int argc, char **argv)
{
  if (argc != 2) {
    fprintf (stderr, "Usage: %s PORT\n", argv[0]);
    exit (1);
  }
  long port = strtol (argv[1], nullptr, 10);
  if (port < 1 || port > 65535) {
    fprintf (stderr, "Usage: %s PORT\n", argv[0]);
    exit (1);
  }

  int s = tcplisten ((int) port);
  for (;;) {
    sockaddr_in clisin;
    memset (&clisin, 0, sizeof (clisin));
    socklen_t clisinlen = sizeof (clisin);
    int c = accept (s, (sockaddr *) &clisin, &clisinlen);
    if (c < 0) {
      int err = errno;
      perror ("accept");
      int r = accept_retry (err);
      if (r < 0)
        exit (1);
      if (r > 0) {
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep (&pause, nullptr);
      }
      continue;
    }
    do_proxy (c);
  }
}
