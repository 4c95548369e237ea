// Black-box tests of the proxy's entry: spawn the server binary, talk to it
// over loopback, check bytes, exit status and standard error.

#include "loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const std::string kReply = "synchronous_proxy unimplemented... goodbye\n";

int
connect_to (int port)
{
  int s = socket (AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  if (connect (s, (sockaddr *) &sin, sizeof (sin)) < 0) {
    close (s);
    return -1;
  }
  return s;
}

// Everything until end of file (or a 10 s stall).
std::string
read_all (int fd)
{
  std::string out;
  char buf[4096];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll (&p, 1, 10000) <= 0)
      break;
    ssize_t n = read (fd, buf, sizeof (buf));
    if (n <= 0)
      break;
    out.append (buf, n);
  }
  return out;
}

// The server as a child process, its standard error on a pipe.
struct server {
  pid_t pid = -1;
  int errpipe = -1;
  int port = -1;       // the port given, when serve () chose it
  std::string errhead; // standard error read by started ()

  explicit server (std::vector<std::string> args,
                   std::vector<std::string> env = {})
  {
    int p[2];
    EXPECT_EQ (pipe (p), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init (&fa);
    posix_spawn_file_actions_adddup2 (&fa, p[1], 2);
    posix_spawn_file_actions_addclose (&fa, p[0]);
    std::vector<char *> argv{(char *) OMBRIX_PROXY};
    for (auto &a : args)
      argv.push_back (a.data ());
    argv.push_back (nullptr);
    // The given variables replace inherited ones of the same name (a
    // sanitizer build passes its own ASAN_OPTIONS down).
    std::vector<char *> envp;
    for (char **e = environ; *e; e++) {
      bool replaced = false;
      for (auto &v : env)
        replaced |= !strncmp (*e, v.c_str (), v.find ('=') + 1);
      if (!replaced)
        envp.push_back (*e);
    }
    for (auto &e : env)
      envp.push_back (e.data ());
    envp.push_back (nullptr);
    EXPECT_EQ (posix_spawn (&pid, OMBRIX_PROXY, &fa, nullptr, argv.data (),
                            envp.data ()),
               0);
    posix_spawn_file_actions_destroy (&fa);
    close (p[1]);
    errpipe = p[0];
  }
  ~server ()
  {
    if (pid > 0) {
      kill (pid, SIGKILL);
      waitpid (pid, nullptr, 0);
    }
    close (errpipe);
  }

  // Connect, retrying while the server starts up.
  int connect (int port)
  {
    for (int i = 0; i < 500; i++) {
      int s = connect_to (port);
      if (s >= 0)
        return s;
      usleep (10000);
    }
    return -1;
  }

  // Wait for the exit; returns the status, -1 on a 10 s timeout.
  int wait ()
  {
    for (int i = 0; i < 1000; i++) {
      int st;
      if (waitpid (pid, &st, WNOHANG) == pid) {
        pid = -1;
        return st;
      }
      usleep (10000);
    }
    return -1;
  }

  bool running () { return waitpid (pid, nullptr, WNOHANG) == 0; }

  // Whether the server's disposition of signal sig is "ignore".
  bool ignores (int sig)
  {
    FILE *f =
        fopen (("/proc/" + std::to_string (pid) + "/status").c_str (), "r");
    if (!f)
      return false;
    char line[256];
    unsigned long long mask = 0;
    while (fgets (line, sizeof (line), f))
      if (sscanf (line, "SigIgn: %llx", &mask) == 1)
        break;
    fclose (f);
    return mask >> (sig - 1) & 1;
  }

  // Standard error once the server has exited.
  std::string stderr_text () { return errhead + read_all (errpipe); }

  // Whether the server got its port: false if it exited because the port
  // was taken.  An exit is left for wait () to collect.
  bool started ()
  {
    if (await_listen (pid, port) != 0)
      return true;
    errhead = read_all (errpipe);
    return errhead != "bind: Address already in use\n";
  }

  // Stop a server that runs forever and return what it wrote.
  std::string kill_and_stderr ()
  {
    kill (pid, SIGTERM);
    waitpid (pid, nullptr, 0);
    pid = -1;
    return read_all (errpipe);
  }
};

// The server on a port of its own: arg is the port's spelling ("%d"); a
// port taken before the server could bind it is replaced by another.
std::unique_ptr<server>
serve (std::vector<std::string> env = {}, const char *arg = "%d")
{
  for (int attempt = 0;; attempt++) {
    int port = pick_port ();
    char a[32];
    snprintf (a, sizeof (a), arg, port);
    auto srv = std::make_unique<server> (std::vector<std::string>{a}, env);
    srv->port = port;
    if (srv->started () || attempt == 20)
      return srv;
  }
}

// A socket of the test's own listening on a port the kernel chose.
int
listener (int *port)
{
  int l = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  socklen_t len = sizeof (sin);
  if (bind (l, (sockaddr *) &sin, sizeof (sin)) < 0 || listen (l, 1) < 0 ||
      getsockname (l, (sockaddr *) &sin, &len) < 0) {
    close (l);
    return -1;
  }
  *port = ntohs (sin.sin_port);
  return l;
}

std::string
fetch (server &srv, int port)
{
  int s = srv.connect (port);
  if (s < 0)
    return "<connect failed>";
  std::string r = read_all (s);
  close (s);
  return r;
}

} // namespace

const std::string kUsage = std::string ("Usage: ") + OMBRIX_PROXY + " PORT\n";

TEST (Server, SendsTheLineThenCloses)
{
  auto srv = serve ();
  EXPECT_EQ (fetch (*srv, srv->port), kReply);
  EXPECT_EQ (fetch (*srv, srv->port), kReply);
  EXPECT_TRUE (srv->running ());
}

TEST (Server, UsageErrors)
{
  const std::vector<std::vector<std::string>> bad = {
      {},     {"8080", "8081"}, {"0"},    {"abc"}, {"65536"},
      {"-1"}, {"12345678901"},  {"0x50"}, {""},    {"99999999999999999999999"}};
  for (auto &args : bad) {
    server srv (args);
    int st = srv.wait ();
    EXPECT_TRUE (WIFEXITED (st) && WEXITSTATUS (st) == 1)
        << "args " << (args.empty () ? "(none)" : args[0]);
    EXPECT_EQ (srv.stderr_text (), kUsage);
  }
}

// Spellings strtol reads as the port: leading blanks, a plus sign, trailing
// junk after the digits.
TEST (Server, AcceptedPortSpellings)
{
  for (const char *fmt : {" %d", "+%d", "%dabc", "\t%d "}) {
    auto srv = serve ({}, fmt);
    EXPECT_EQ (fetch (*srv, srv->port), kReply) << "spelling '" << fmt << "'";
  }
}

// The bounds are in range: the server gets past the command line to bind
// that very port.  The test holds the port first, bound as the server binds
// (SO_REUSEADDR), or finds that it cannot, so the server's bind fails the
// same way, whatever the machine.
TEST (Server, BoundaryPortsAreAccepted)
{
  for (int port : {1, 65535}) {
    int l = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ASSERT_EQ (setsockopt (l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof (one)), 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons (uint16_t (port));
    int err = bind (l, (sockaddr *) &sin, sizeof (sin)) < 0 ? errno
              : listen (l, 1) < 0                           ? errno
                                                            : EADDRINUSE;
    server srv ({std::to_string (port)});
    int st = srv.wait ();
    EXPECT_TRUE (WIFEXITED (st) && WEXITSTATUS (st) == 1) << port;
    EXPECT_EQ (srv.stderr_text (),
               std::string ("bind: ") + strerror (err) + "\n")
        << port;
    close (l);
  }
}

TEST (Server, RequestIsNeverRead)
{
  auto srv = serve ();
  int port = srv->port;
  int s = srv->connect (port);
  ASSERT_GE (s, 0);
  const char req[] = "GET http://example.com/ HTTP/1.0\r\n\r\n";
  ASSERT_EQ (write (s, req, sizeof (req) - 1), (ssize_t) sizeof (req) - 1);
  EXPECT_EQ (read_all (s), kReply);
  close (s);
}

// Clients that reset their connection before the reply make write fail
// with EPIPE or ECONNRESET; the server ignores it and goes on.
TEST (Server, SurvivesClientsThatResetFirst)
{
  auto srv = serve ();
  int port = srv->port;
  int s = srv->connect (port);
  ASSERT_GE (s, 0);
  close (s);
  for (int i = 0; i < 20; i++) {
    int c = connect_to (port);
    ASSERT_GE (c, 0);
    linger lg = {1, 0};
    setsockopt (c, SOL_SOCKET, SO_LINGER, &lg, sizeof (lg));
    close (c);
  }
  for (int i = 0; i < 3; i++)
    EXPECT_EQ (fetch (*srv, port), kReply);
  EXPECT_TRUE (srv->running ());
  // A write to a client that has gone must fail with EPIPE, not kill the
  // server: SIGPIPE is ignored before main runs.
  EXPECT_TRUE (srv->ignores (SIGPIPE));
  EXPECT_EQ (srv->kill_and_stderr (), "");
}

// Connections that arrive while the server is busy wait in the backlog and
// are served in turn.
TEST (Server, QueuedConnectionsAreServed)
{
  auto srv = serve ();
  int port = srv->port;
  close (srv->connect (port));
  std::vector<int> cs;
  for (int i = 0; i < 5; i++)
    cs.push_back (connect_to (port));
  for (int c : cs) {
    ASSERT_GE (c, 0);
    EXPECT_EQ (read_all (c), kReply);
    close (c);
  }
}

// The server closes first, so its side of each connection sits in
// TIME_WAIT; a new server on the same port still binds (SO_REUSEADDR).
TEST (Server, RestartsOnPortInTimeWait)
{
  auto first = serve ();
  int port = first->port;
  EXPECT_EQ (fetch (*first, port), kReply);
  first.reset ();
  server srv ({std::to_string (port)});
  EXPECT_EQ (fetch (srv, port), kReply);
}

TEST (Server, BindFailure)
{
  int port = 0;
  int l = listener (&port);
  ASSERT_GE (l, 0);
  server srv ({std::to_string (port)});
  int st = srv.wait ();
  EXPECT_TRUE (WIFEXITED (st) && WEXITSTATUS (st) == 1);
  EXPECT_EQ (srv.stderr_text (), "bind: Address already in use\n");
  close (l);
}

std::vector<std::string>
accept_fault (int err, int count)
{
  return {std::string ("LD_PRELOAD=") + OMBRIX_ACCEPT_SHIM,
          "OMBRIX_ACCEPT_FAIL=" + std::to_string (err) + ":" +
              std::to_string (count),
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

std::string
repeat (const std::string &line, int n)
{
  std::string r;
  while (n-- > 0)
    r += line;
  return r;
}

// Errors that belong to one connection, or to a passing shortage, are
// reported and the server accepts again.
TEST (Server, AcceptErrorsOfTheConnectionAreSurvived)
{
  for (int err : {ECONNABORTED, EPROTO, EINTR, EHOSTUNREACH, EMFILE, ENOBUFS}) {
    auto srv = serve (accept_fault (err, 3));
    EXPECT_EQ (fetch (*srv, srv->port), kReply) << strerror (err);
    EXPECT_EQ (srv->kill_and_stderr (),
               repeat (std::string ("accept: ") + strerror (err) + "\n", 3));
  }
}

TEST (Server, OtherAcceptErrorsAreFatal)
{
  for (int err : {EBADF, EINVAL, ENOTSOCK}) {
    auto srv = serve (accept_fault (err, 1));
    int st = srv->wait ();
    EXPECT_TRUE (WIFEXITED (st) && WEXITSTATUS (st) == 1) << strerror (err);
    EXPECT_EQ (srv->stderr_text (),
               std::string ("accept: ") + strerror (err) + "\n");
  }
}
