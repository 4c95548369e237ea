// Drives the echo server over loopback and checks what comes back:
// hundreds of clients at once, each compared byte for byte with a
// reference echo of what it sent; 5000 clients connected at once (beyond
// select's 1024 descriptors, so not with OMBRIX_LOOP=select); a client that
// sends without reading (the server must stop reading from it, not buffer
// without bound); the line-length limit; the idle timeout; clean exits on
// SIGTERM and SIGINT; the usage and bind errors with their texts.
//
//   echo_test SERVER
//
// A plain POSIX program, on purpose not linked with the library under
// test.  Exit status 0 when every check passed; each failure is printed.
// ECHO_TEST_SEED=N replays one run's random traffic.
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

static int failures;
static const char *server; // the server's path
static std::string name;   // its program name, the prefix of its messages

static bool
check (bool ok, int line, const char *fmt, ...)
{
  if (!ok) {
    failures++;
    fprintf (stderr, "echo_test.cc:%d: ", line);
    va_list ap;
    va_start (ap, fmt);
    vfprintf (stderr, fmt, ap);
    va_end (ap);
    fputc ('\n', stderr);
  }
  return ok;
}
#define EXPECT(ok, ...) check ((ok), __LINE__, __VA_ARGS__)

static std::string
shown (const std::string &s)
{
  std::string r;
  for (unsigned char c : s.substr (0, 300))
    if (c == '\n')
      r += "\\n";
    else if (c < ' ' || c > '~')
      r += "?";
    else
      r += char (c);
  return s.size () > 300 ? r + "..." : r;
}
#define EXPECT_TEXT(got, want)                                                 \
  check ((got) == (want), __LINE__, "got \"%s\"\n  want \"%s\"",               \
         shown (got).c_str (), shown (want).c_str ())

static double
now ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void
nap (double sec)
{
  timespec ts = {time_t (sec), long ((sec - time_t (sec)) * 1e9)};
  nanosleep (&ts, nullptr);
}

// Waits up to sec seconds for events on fd; the revents, 0 on time-out.
static int
await (int fd, short events, double sec)
{
  pollfd p = {fd, events, 0};
  return poll (&p, 1, int (sec * 1000)) > 0 ? p.revents : 0;
}

// --- The server as a child process.

struct proc {
  pid_t pid = -1;
  int out = -1, err = -1; // read ends of its standard output and error
  int port = -1;          // from its "listening on PORT\n"
  int status = -1;        // wait status once it ended
  std::string outtext, errtext;
};

static void
readall (int fd, std::string *s)
{
  char buf[4096];
  for (ssize_t n;
       await (fd, POLLIN, 20) && (n = read (fd, buf, sizeof (buf))) > 0;)
    s->append (buf, n);
  close (fd);
}

static void
spawn (proc &p, const std::vector<std::string> &args)
{
  int o[2], e[2];
  if (pipe2 (o, O_CLOEXEC) < 0 || pipe2 (e, O_CLOEXEC) < 0)
    perror ("pipe2"), exit (2);
  p.pid = fork ();
  if (p.pid < 0)
    perror ("fork"), exit (2);
  if (!p.pid) {
    dup2 (o[1], 1);
    dup2 (e[1], 2);
    std::vector<char *> argv{const_cast<char *> (server)};
    for (const std::string &a : args)
      argv.push_back (const_cast<char *> (a.c_str ()));
    argv.push_back (nullptr);
    execv (server, argv.data ());
    _exit (127);
  }
  close (o[1]);
  close (e[1]);
  p.out = o[0];
  p.err = e[0];
}

// Waits for the process to end (killing it after 20 seconds) and collects
// the rest of its output.
static void
finish (proc &p)
{
  double limit = now () + 20;
  while (waitpid (p.pid, &p.status, WNOHANG) == 0)
    if (now () > limit) {
      EXPECT (false, "the server did not exit");
      kill (p.pid, SIGKILL);
    } else
      nap (0.01);
  readall (p.out, &p.outtext);
  readall (p.err, &p.errtext);
}

// Starts a server that should come up; the port from its first line.
static bool
start (proc &p, const std::vector<std::string> &args)
{
  spawn (p, args);
  std::string line;
  char c;
  while (await (p.out, POLLIN, 20) && read (p.out, &c, 1) == 1 && c != '\n')
    line += c;
  if (!EXPECT (sscanf (line.c_str (), "listening on %d", &p.port) == 1,
               "first line \"%s\"", line.c_str ())) {
    kill (p.pid, SIGKILL);
    finish (p);
    return false;
  }
  return true;
}

// Ends a server with sig; expects exit status 0 and exactly want on its
// error output, nothing more on its standard output.
static void
stop (proc &p, int sig, const std::string &want)
{
  kill (p.pid, sig);
  finish (p);
  EXPECT (WIFEXITED (p.status) && WEXITSTATUS (p.status) == 0,
          "wait status %#x", p.status);
  EXPECT_TEXT (p.errtext, want);
  EXPECT_TEXT (p.outtext, std::string ());
}

static std::string
exitline (const char *sig, int served, int open)
{
  return name + ": " + sig + ": " + std::to_string (served) +
         " connections served, " + std::to_string (open) + " open; exiting\n";
}

// --- Clients.

static int
dial (int port, int bufsize = 0)
{
  int fd = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
  // Clients write odd-sized pieces: without this, Nagle's rule and the
  // server's delayed acknowledgements stall each piece for 40 ms.
  setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof (one));
  if (bufsize) {
    setsockopt (fd, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof (bufsize));
    setsockopt (fd, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof (bufsize));
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  if (connect (fd, reinterpret_cast<sockaddr *> (&sin), sizeof (sin)) < 0) {
    int e = errno;
    close (fd);
    errno = e;
    return -1;
  }
  fcntl (fd, F_SETFL, O_NONBLOCK);
  return fd;
}

static std::string
peer (int fd)
{
  sockaddr_in sin;
  socklen_t len = sizeof (sin);
  getsockname (fd, reinterpret_cast<sockaddr *> (&sin), &len);
  return "127.0.0.1:" + std::to_string (ntohs (sin.sin_port));
}

// One client: what it sends (then it shuts down its side), what it got.
struct client {
  int fd;
  std::string send, got;
  size_t sent = 0;
  bool eof = false; // the server closed (or reset) the connection
};

// Runs the clients side by side until each has seen the server close;
// every round writes a random-sized piece for each client that can take
// one.  False on time-out.
static bool
drive (std::vector<client> &cs, std::mt19937 &rng, double sec = 120)
{
  double limit = now () + sec;
  std::vector<pollfd> ps;
  std::vector<client *> who;
  char buf[65536];
  for (;;) {
    ps.clear ();
    who.clear ();
    for (client &c : cs) {
      if (c.sent == c.send.size () && c.sent != size_t (-1)) {
        shutdown (c.fd, SHUT_WR);
        c.sent = size_t (-1); // done sending
      }
      if (!c.eof) {
        short ev = POLLIN | (c.sent != size_t (-1) ? POLLOUT : 0);
        ps.push_back (pollfd{c.fd, ev, 0});
        who.push_back (&c);
      }
    }
    if (ps.empty ())
      return true;
    if (now () > limit)
      return false;
    poll (ps.data (), ps.size (), 1000);
    for (size_t i = 0; i < ps.size (); i++) {
      client &c = *who[i];
      if (ps[i].revents & POLLOUT) {
        size_t n =
            std::min<size_t> (1 + rng () % 4096, c.send.size () - c.sent);
        ssize_t w = ::send (c.fd, c.send.data () + c.sent, n, MSG_NOSIGNAL);
        if (w > 0)
          c.sent += w;
        else if (w < 0 && errno != EAGAIN)
          c.sent = size_t (-1); // refused: keep reading
      }
      if (ps[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t r = read (c.fd, buf, sizeof (buf));
        if (r > 0)
          c.got.append (buf, r);
        else if (r == 0 || errno != EAGAIN)
          c.eof = true;
      }
    }
  }
}

// What the server sends back for stream s sent whole and then shut down:
// each line without one "\r" before its "\n", ended with "\n"; a last line
// without its "\n" echoed as if it had one.
static std::string
reference (const std::string &s)
{
  std::string out;
  for (size_t i = 0; i < s.size ();) {
    size_t j = s.find ('\n', i);
    if (j == std::string::npos)
      j = s.size ();
    size_t e = j > i && s[j - 1] == '\r' ? j - 1 : j;
    out.append (s, i, e - i).append ("\n");
    i = j + 1;
  }
  return out;
}

// Up to 20 lines of random bytes (no "\n"; "\r" more often than chance),
// mostly short, one in ten up to 21000 bytes; ended by "\n" or "\r\n",
// the last one sometimes by nothing.
static std::string
traffic (std::mt19937 &rng)
{
  std::string s;
  for (int n = 1 + rng () % 20; n > 0; n--) {
    size_t len = rng () % 10 ? rng () % 200 : 1000 + rng () % 20000;
    for (size_t k = 0; k < len; k++) {
      char c = rng () % 20 ? char (rng ()) : '\r';
      s += c == '\n' ? 'n' : c;
    }
    if (n > 1 || rng () % 5)
      s += rng () % 4 ? "\n" : "\r\n";
  }
  return s;
}

static void
compare (const std::vector<client> &cs)
{
  int shownfaults = 0;
  for (size_t i = 0; i < cs.size (); i++) {
    std::string want = reference (cs[i].send);
    if (cs[i].got == want)
      continue;
    size_t at = 0;
    while (at < want.size () && at < cs[i].got.size () &&
           want[at] == cs[i].got[at])
      at++;
    if (shownfaults++ < 5)
      EXPECT (false,
              "client %zu: got %zu bytes, want %zu; first difference "
              "at %zu",
              i, cs[i].got.size (), want.size (), at);
  }
  EXPECT (!shownfaults, "%d of %zu clients got a wrong echo", shownfaults,
          cs.size ());
}

// --- The checks.

static void
test_many_clients (std::mt19937 &rng)
{
  enum { nclients = 300 };
  proc p;
  if (!start (p, {"0"}))
    return;
  std::vector<client> cs (nclients);
  for (client &c : cs) {
    c.fd = dial (p.port);
    EXPECT (c.fd >= 0, "connect: %s", strerror (errno));
    c.send = traffic (rng);
  }
  EXPECT (drive (cs, rng), "clients still waiting after 120 s");
  compare (cs);
  for (client &c : cs)
    close (c.fd);
  stop (p, SIGTERM, exitline ("SIGTERM", nclients, 0));
  EXPECT (dial (p.port) < 0 && errno == ECONNREFUSED,
          "the port is still open after the exit");
}

// Every client sends line and waits for its echo, none shutting down: the
// server holds all the connections at once.  False on time-out.
static bool
echoall (std::vector<client> &cs, const std::string &line, double sec)
{
  double limit = now () + sec;
  std::vector<pollfd> ps;
  char buf[256];
  for (client &c : cs)
    if (::send (c.fd, line.data (), line.size (), MSG_NOSIGNAL) !=
        ssize_t (line.size ()))
      return false;
  for (size_t done = 0; done < cs.size ();) {
    if (now () > limit)
      return false;
    ps.clear ();
    for (client &c : cs)
      ps.push_back (
          pollfd{c.fd, short (c.got.size () < line.size () ? POLLIN : 0), 0});
    poll (ps.data (), ps.size (), 1000);
    for (size_t i = 0; i < cs.size (); i++) {
      ssize_t r;
      if ((ps[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
          (r = read (cs[i].fd, buf, sizeof (buf))) > 0 &&
          (cs[i].got.append (buf, r)).size () >= line.size ())
        done++;
    }
  }
  for (client &c : cs)
    if (c.got != line)
      return false;
  return true;
}

// 5000 clients connected at once, each echoed while all are open, then
// each sends a few short lines and shuts down.  The server must raise its
// descriptor ceiling past select's 1024; any refused client shows in its
// messages.  Bounded: 60 s for the echoes, 120 s for the traffic.
static void
test_thousands (std::mt19937 &rng)
{
  enum { nclients = 5000 };
  const char *loop = getenv ("OMBRIX_LOOP");
  rlimit rl;
  getrlimit (RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  if ((loop && !strcmp (loop, "select")) || rl.rlim_max < nclients + 100 ||
      setrlimit (RLIMIT_NOFILE, &rl) < 0) {
    printf ("echo_test: 5000 clients skipped (select, or too few "
            "descriptors)\n");
    return;
  }
  proc p;
  if (!start (p, {"0"}))
    return;
  std::vector<client> cs (nclients);
  int connected = 0;
  for (client &c : cs)
    connected += (c.fd = dial (p.port)) >= 0;
  EXPECT (connected == nclients, "%d of %d connected: %s", connected,
          int (nclients), strerror (errno));
  if (connected == nclients) {
    EXPECT (echoall (cs, "all here\n", 60),
            "not every client had its echo within 60 s");
    for (client &c : cs) {
      c.got.clear ();
      for (int n = rng () % 3; n >= 0; n--)
        c.send += std::string (rng () % 100, char ('a' + rng () % 26)) + "\n";
    }
    EXPECT (drive (cs, rng), "clients still waiting after 120 s");
    compare (cs);
  }
  for (client &c : cs)
    if (c.fd >= 0)
      close (c.fd);
  stop (p, SIGTERM, exitline ("SIGTERM", connected, 0));
}

// A client that sends without reading must get stuck long before the
// server has buffered its whole stream; then it reads and gets all.  Lines
// up to the limit are echoed; a longer one ends the connection, with a
// warning, whether it arrives whole or not.
static void
test_limits (std::mt19937 &rng)
{
  proc p;
  if (!start (p, {"0"}))
    return;
  std::vector<client> cs (1);
  client &c = cs[0];
  c.fd = dial (p.port, 131072); // fixed buffers: no autotuning
  while (c.send.size () < (16u << 20))
    c.send += "line " + std::to_string (c.send.size ()) +
              std::string (990, '.') + "\n";
  for (;;) {
    ssize_t w = ::send (c.fd, c.send.data () + c.sent,
                        std::min<size_t> (65536, c.send.size () - c.sent),
                        MSG_NOSIGNAL);
    if (w > 0)
      c.sent += w;
    if (c.sent == c.send.size () ||
        (w < 0 && !(await (c.fd, POLLOUT, 0.5) & POLLOUT)))
      break;
  }
  EXPECT (c.sent < (4u << 20), "sent %zu bytes without reading", c.sent);
  EXPECT (drive (cs, rng), "the throttled client did not finish");
  compare (cs);
  close (c.fd);

  std::vector<client> longs (2);
  longs[0].send = std::string (65535, 'y') + "\n";
  longs[1].send = std::string (65536, 'z') + "\n";
  for (client &l : longs)
    l.fd = dial (p.port);
  std::string refused = peer (longs[1].fd);
  EXPECT (drive (longs, rng), "the long-line clients did not finish");
  EXPECT (longs[0].got == longs[0].send,
          "the longest line came back as %zu "
          "bytes",
          longs[0].got.size ());
  EXPECT (longs[1].got.empty (), "a line over the limit came back");
  for (client &l : longs)
    close (l.fd);
  stop (p, SIGTERM,
        name + ": " + refused + ": line longer than 65536 bytes; closing\n" +
            exitline ("SIGTERM", 3, 0));
}

static bool
echoes (int fd, const std::string &line)
{
  std::string got;
  char buf[256];
  if (::send (fd, line.data (), line.size (), MSG_NOSIGNAL) !=
      ssize_t (line.size ()))
    return false;
  for (ssize_t n; got.size () < line.size () && await (fd, POLLIN, 10) &&
                  (n = read (fd, buf, sizeof (buf))) > 0;)
    got.append (buf, n);
  return got == line;
}

static bool
closed (int fd, double sec)
{
  char c;
  return await (fd, POLLIN, sec) && read (fd, &c, 1) <= 0;
}

// With a 1-second idle time: a quiet client is closed after about a
// second, not before; one that keeps talking stays, and is closed once it
// falls quiet.
static void
test_idle ()
{
  proc p;
  if (!start (p, {"0", "1"}))
    return;
  int a = dial (p.port), b = dial (p.port);
  std::string pa = peer (a), pb = peer (b);
  EXPECT (echoes (a, "a\n"), "no echo for a");
  double t0 = now ();
  nap (0.5);
  EXPECT (!await (a, POLLIN, 0), "a quiet client closed after 0.5 s");
  for (int i = 0; i < 10; i++) {
    EXPECT (echoes (b, "b\n"), "the busy client lost its echo %d", i);
    nap (0.25);
  }
  EXPECT (closed (a, 0), "a quiet client still open after %.1f s", now () - t0);
  double t1 = now ();
  EXPECT (closed (b, 5), "the busy client not closed 5 s after it fell "
                         "quiet");
  EXPECT (now () - t1 > 0.5, "closed %.2f s after falling quiet", now () - t1);
  close (a);
  close (b);
  stop (p, SIGTERM,
        name + ": " + pa + ": no traffic for 1 s; closing\n" + name + ": " +
            pb + ": no traffic for 1 s; closing\n" +
            exitline ("SIGTERM", 2, 0));
}

// SIGTERM and SIGINT end the server with status 0, closing the open
// connections (a partial line included) and the listening port.
static void
test_signals ()
{
  for (int sig : {SIGTERM, SIGINT}) {
    proc p;
    if (!start (p, {"0"}))
      return;
    int fds[3];
    for (int &fd : fds) {
      fd = dial (p.port);
      EXPECT (echoes (fd, "x\n"), "no echo before the signal");
    }
    EXPECT (::send (fds[2], "partial", 7, MSG_NOSIGNAL) == 7, "send");
    nap (0.1);
    stop (p, sig, exitline (sig == SIGTERM ? "SIGTERM" : "SIGINT", 3, 3));
    for (int fd : fds) {
      EXPECT (closed (fd, 5), "a client still open after the exit");
      close (fd);
    }
  }
}

static void
test_usage ()
{
  std::vector<std::vector<std::string>> bad = {
      {}, {""}, {"x"}, {"70000"}, {"-1"}, {"80", "0"}, {"80", "5", "extra"}};
  for (const auto &args : bad) {
    proc p;
    spawn (p, args);
    finish (p);
    EXPECT (WIFEXITED (p.status) && WEXITSTATUS (p.status) == 1,
            "wait status %#x", p.status);
    EXPECT_TEXT (p.errtext, "usage: " + name + " PORT [IDLE-SECONDS]\n");
    EXPECT_TEXT (p.outtext, std::string ());
  }
  proc first, second;
  if (!start (first, {"0"}))
    return;
  spawn (second, {std::to_string (first.port)});
  finish (second);
  EXPECT (WIFEXITED (second.status) && WEXITSTATUS (second.status) == 1,
          "wait status %#x", second.status);
  EXPECT_TEXT (second.errtext, name + ": fatal: port " +
                                   std::to_string (first.port) +
                                   ": Address already in use\n");
  stop (first, SIGTERM, exitline ("SIGTERM", 0, 0));
}

int
main (int argc, char **argv)
{
  if (argc != 2) {
    fprintf (stderr, "usage: %s SERVER\n", argv[0]);
    return 2;
  }
  server = argv[1];
  const char *slash = strrchr (server, '/');
  name = slash ? slash + 1 : server;
  signal (SIGPIPE, SIG_IGN);

  unsigned seed = std::random_device () ();
  if (const char *s = getenv ("ECHO_TEST_SEED"))
    seed = strtoul (s, nullptr, 10);
  std::mt19937 rng (seed);

  test_usage ();
  test_signals ();
  test_many_clients (rng);
  test_thousands (rng);
  test_limits (rng);
  test_idle ();
  if (failures)
    fprintf (stderr, "echo_test: %d failures (ECHO_TEST_SEED=%u)\n", failures,
             seed);
  else
    printf ("echo_test: all passed\n");
  return failures != 0;
}
