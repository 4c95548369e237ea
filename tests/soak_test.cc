// The proxy under load and faults: several client threads open 50 000
// connections over loopback, mixing clients that read the reply, that send
// a request first, that send a large request and never read, that close or
// reset at once, that half-close and that go silent.  The server must
// answer every client that waits for the reply, never exit, and hold no
// more descriptors at the end than at the start (nor more than one
// connection at any moment).
//
// OMBRIX_SOAK_CONNECTIONS sets the count (the valgrind run lowers it).
// Every wait is bounded, and so is the whole run: a few seconds, sanitizer
// builds included, since nearly all the time is spent in the kernel.

#include "loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using sclock = std::chrono::steady_clock;

const std::string kReply = "synchronous_proxy unimplemented... goodbye\n";
const int kWaitMs = 10000;  // longest wait for any one client step
const int kDeadlineS = 100; // no new connections after this

const long kDefaultCount = 50000;

long
soak_count ()
{
  const char *v = getenv ("OMBRIX_SOAK_CONNECTIONS");
  return v && atol (v) > 0 ? atol (v) : kDefaultCount;
}

// A connected client socket whose blocking calls give up after kWaitMs;
// -1 if the connection could not be made.
int
dial (int port)
{
  int s = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0)
    return -1;
  timeval tv = {kWaitMs / 1000, 0};
  setsockopt (s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof (tv));
  setsockopt (s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof (tv));
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

// Everything until end of file, a reset or a kWaitMs stall.  A reset after
// the reply is what a client that sent bytes the server never read gets.
std::string
read_reply (int fd)
{
  std::string out;
  char buf[256];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll (&p, 1, kWaitMs) <= 0)
      return out + "<stalled>";
    ssize_t n = read (fd, buf, sizeof (buf));
    if (n < 0 && errno == ECONNRESET)
      return out;
    if (n <= 0)
      return n < 0 ? out + "<" + strerror (errno) + ">" : out;
    out.append (buf, n);
  }
}

int
count_fds (pid_t pid)
{
  DIR *d = opendir (("/proc/" + std::to_string (pid) + "/fd").c_str ());
  if (!d)
    return -1;
  int n = 0;
  while (dirent *e = readdir (d))
    n += e->d_name[0] != '.';
  closedir (d);
  return n;
}

// The server binary as a child; its standard error goes to an unlinked
// file, so that however much it writes it never blocks on us.
// A port taken by another test before the server could bind it is
// replaced by another.
struct server {
  pid_t pid = -1;
  int errfd = -1;
  int port = -1;

  server ()
  {
    char tmpl[] = "/tmp/ombrix-soak-XXXXXX";
    errfd = mkstemp (tmpl);
    EXPECT_GE (errfd, 0);
    unlink (tmpl);
    for (int attempt = 0; attempt < 20 && !spawn (); attempt++) {
      waitpid (pid, nullptr, 0);
      EXPECT_EQ (ftruncate (errfd, 0), 0);
    }
  }

  // Starts the server on a fresh port; false if it found the port taken.
  bool spawn ()
  {
    port = pick_port ();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init (&fa);
    posix_spawn_file_actions_adddup2 (&fa, errfd, 2);
    std::string arg = std::to_string (port);
    char *argv[] = {(char *) OMBRIX_PROXY, arg.data (), nullptr};
    EXPECT_EQ (posix_spawn (&pid, OMBRIX_PROXY, &fa, nullptr, argv, environ),
               0);
    posix_spawn_file_actions_destroy (&fa);
    return await_listen (pid, port) != 0 ||
           stderr_text () != "bind: Address already in use\n";
  }
  ~server ()
  {
    if (pid > 0) {
      kill (pid, SIGKILL);
      waitpid (pid, nullptr, 0);
    }
    close (errfd);
  }

  bool running () { return waitpid (pid, nullptr, WNOHANG) == 0; }

  std::string stderr_text ()
  {
    std::string out;
    char buf[4096];
    ssize_t n;
    for (off_t off = 0; (n = pread (errfd, buf, sizeof (buf), off)) > 0;
         off += n)
      out.append (buf, n);
    return out;
  }

  // One reading client, retried while the server starts up.
  std::string fetch ()
  {
    for (int i = 0; i < 500; i++) {
      int s = dial (port);
      if (s >= 0) {
        std::string r = read_reply (s);
        close (s);
        return r;
      }
      usleep (10000);
    }
    return "<connect failed>";
  }
};

enum kind {
  reader,     // reads the reply to the end
  requester,  // sends a small request, then reads the reply
  halfcloser, // shuts down its sending side, then reads the reply
  bigsender,  // sends a large request, never reads, waits to be cut off
  closer,     // closes at once
  resetter,   // resets at once (SO_LINGER 0)
  dropper,    // half-closes, then resets: a later write fails with EPIPE
  holder,     // goes silent; the reply is checked many connections later
  nkinds
};
const char *const kindname[nkinds] = {"reader",    "requester", "halfcloser",
                                      "bigsender", "closer",    "resetter",
                                      "dropper",   "holder"};
// Out of 100.  The clients that return at once are about a third, so that
// four threads seldom fill the server's backlog of five.
const int kindweight[nkinds] = {30, 10, 15, 10, 10, 10, 8, 7};

const size_t kBigRequest = 128 * 1024;
const size_t kHeld = 16; // silent connections each thread keeps open

// One client thread: its own random mix, its own tallies.
struct client {
  int port;
  std::mt19937 rng;
  long made[nkinds] = {};
  long faults = 0;
  std::vector<std::string> notes; // the first few faults, for the log
  std::vector<int> held;
  size_t nextheld = 0;

  client (int port, unsigned seed) : port (port), rng (seed) {}

  void fault (const char *who, const std::string &what)
  {
    if (faults++ < 5)
      notes.push_back (std::string (who) + ": " + what);
  }
  void fault (kind k, const std::string &what) { fault (kindname[k], what); }

  kind pick ()
  {
    int r = int (rng () % 100);
    int k = 0;
    while (r >= kindweight[k])
      r -= kindweight[k++];
    return kind (k);
  }

  void expect_reply (kind k, int s)
  {
    std::string r = read_reply (s);
    if (r != kReply)
      fault (k, "got \"" + r + "\"");
  }

  // Cut off means reset: the server closed with our request unread.
  void expect_cutoff (int s)
  {
    std::string req (kBigRequest, 'x');
    for (size_t off = 0; off < req.size ();) {
      ssize_t n = send (s, req.data () + off, req.size () - off, MSG_NOSIGNAL);
      if (n <= 0)
        break;
      off += n;
    }
    pollfd p = {s, 0, 0};
    if (poll (&p, 1, kWaitMs) != 1 || !(p.revents & (POLLHUP | POLLERR)))
      fault (bigsender, "never cut off");
  }

  void hold (int s)
  {
    if (held.size () < kHeld) {
      held.push_back (s);
      return;
    }
    std::swap (held[nextheld], s);
    nextheld = (nextheld + 1) % kHeld;
    expect_reply (holder, s);
    close (s);
  }

  void one (kind k);
  void run (long n, sclock::time_point deadline);
};

void
client::one (kind k)
{
  int s = dial (port);
  if (s < 0) {
    fault (k, std::string ("connect: ") + strerror (errno));
    return;
  }
  made[k]++;
  static const char req[] = "GET http://example.com/ HTTP/1.0\r\n\r\n";
  linger lg = {1, 0};
  switch (k) {
  case requester:
    if (send (s, req, sizeof (req) - 1, MSG_NOSIGNAL) < 0)
      fault (k, std::string ("send: ") + strerror (errno));
    [[fallthrough]];
  case reader:
    expect_reply (k, s);
    break;
  case halfcloser:
    shutdown (s, SHUT_WR);
    expect_reply (k, s);
    break;
  case bigsender:
    expect_cutoff (s);
    break;
  case dropper:
    shutdown (s, SHUT_WR);
    [[fallthrough]];
  case resetter:
    setsockopt (s, SOL_SOCKET, SO_LINGER, &lg, sizeof (lg));
    break;
  case holder:
    hold (s);
    return;
  default:
    break;
  }
  close (s);
}

void
client::run (long n, sclock::time_point deadline)
{
  long i = 0;
  for (; i < n && sclock::now () < deadline; i++)
    one (pick ());
  for (int s : held) {
    expect_reply (holder, s);
    close (s);
  }
  if (i < n)
    fault ("run", "only " + std::to_string (i) + " of " + std::to_string (n) +
                      " connections before the deadline");
}

// Watches the server's descriptors while the clients run.
struct fdwatch {
  pid_t pid;
  std::atomic<bool> stop{false};
  std::atomic<int> most{0};
  std::atomic<bool> died{false};
  std::thread t;

  explicit fdwatch (pid_t pid) : pid (pid), t ([this] { loop (); }) {}
  ~fdwatch ()
  {
    stop = true;
    t.join ();
  }
  void loop ()
  {
    while (!stop) {
      int n = count_fds (pid);
      if (n < 0)
        died = true;
      if (n > most)
        most = n;
      usleep (2000);
    }
  }
};

// Lines the server may print and survive: errors of one connection or of a
// passing shortage.
bool
transient (const std::string &line)
{
  for (int e : {ECONNABORTED, EPROTO, EINTR, ENOBUFS, ENOMEM, EMFILE, ENFILE})
    if (line == std::string ("accept: ") + strerror (e))
      return true;
  return false;
}

} // namespace

TEST (Soak, EveryWaitingClientIsAnsweredAndNoDescriptorLeaks)
{
  signal (SIGPIPE, SIG_IGN);
  server srv;
  ASSERT_EQ (srv.fetch (), kReply);
  const int before = count_fds (srv.pid);
  ASSERT_GT (before, 0);

  const long total = soak_count ();
  const int nthreads = 4;
  std::vector<client> clients;
  for (int t = 0; t < nthreads; t++)
    clients.emplace_back (srv.port, 1000 + t);
  auto deadline = sclock::now () + std::chrono::seconds (kDeadlineS);
  {
    fdwatch watch (srv.pid);
    std::vector<std::thread> threads;
    for (int t = 0; t < nthreads; t++)
      threads.emplace_back (&client::run, &clients[t],
                            total / nthreads + (t < total % nthreads),
                            deadline);
    for (auto &t : threads)
      t.join ();
    // The backlog is served in order: once this is answered, every
    // connection above has been accepted and closed.
    EXPECT_EQ (srv.fetch (), kReply);
    EXPECT_FALSE (watch.died);
    EXPECT_LE (watch.most, before + 1) << "more than one connection held";
  }

  long made[nkinds] = {}, sum = 0;
  for (auto &c : clients) {
    EXPECT_EQ (c.faults, 0);
    for (auto &n : c.notes)
      ADD_FAILURE () << n;
    for (int k = 0; k < nkinds; k++)
      made[k] += c.made[k], sum += c.made[k];
  }
  EXPECT_EQ (sum, total);
  for (int k = 0; k < nkinds; k++)
    EXPECT_GT (made[k], 0) << kindname[k] << " never ran";

  EXPECT_TRUE (srv.running ());
  EXPECT_EQ (count_fds (srv.pid), before);
  std::string err = srv.stderr_text ();
  for (size_t pos = 0, nl; (nl = err.find ('\n', pos)) != std::string::npos;
       pos = nl + 1)
    EXPECT_TRUE (transient (err.substr (pos, nl - pos)))
        << "server said: " << err.substr (pos, nl - pos);
}
