// Black-box tests of the proxy's entry: spawn the server binary, talk to it
// over loopback, check bytes, exit status and standard error.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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

// A port nobody listens on right now (the kernel's choice for port 0).
int
free_port ()
{
  int s = socket (AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  EXPECT_EQ (bind (s, (sockaddr *) &sin, sizeof (sin)), 0);
  socklen_t len = sizeof (sin);
  getsockname (s, (sockaddr *) &sin, &len);
  close (s);
  return ntohs (sin.sin_port);
}

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
    std::vector<char *> envp;
    for (char **e = environ; *e; e++)
      envp.push_back (*e);
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

  std::string stderr_text () { return read_all (errpipe); }
};

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

TEST (Server, SendsTheLineThenCloses)
{
  int port = free_port ();
  server srv ({std::to_string (port)});
  EXPECT_EQ (fetch (srv, port), kReply);
  EXPECT_EQ (fetch (srv, port), kReply);
  EXPECT_TRUE (srv.running ());
}
