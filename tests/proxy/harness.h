// Shared by the proxy's black-box tests: start build/ombrix and the
// scripted origin (origin.py) on 127.0.0.1 with ports the kernel picks,
// talk to them over raw sockets or curl, and stop what was started.
#ifndef OMBRIX_TESTS_PROXY_HARNESS_H
#define OMBRIX_TESTS_PROXY_HARNESS_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace harness {

// A loopback port that was free a moment ago: bound, read back, closed.
// Another program may take it before the caller uses it; callers that
// start servers on it must tolerate that.
inline int
pickport ()
{
  int fd = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  bind (fd, (sockaddr *) &sin, sizeof sin);
  socklen_t sl = sizeof sin;
  getsockname (fd, (sockaddr *) &sin, &sl);
  close (fd);
  return ntohs (sin.sin_port);
}

// The whole content of a file; "" when it cannot be read.
inline std::string
slurp (const std::string &path)
{
  std::ifstream f (path);
  std::stringstream s;
  s << f.rdbuf ();
  return s.str ();
}

inline long
nowms ()
{
  timespec ts;
  clock_gettime (CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// A child with its standard output on a pipe.
struct child {
  pid_t pid = -1;
  int out = -1;
  std::string buf; // read from out, not yet taken

  child () {}
  child (const child &) = delete;
  child &operator= (const child &) = delete;
  explicit child (const std::vector<std::string> &argv,
                  const char *prefix = nullptr)
  {
    int p[2];
    if (pipe2 (p, O_CLOEXEC) < 0)
      abort ();
    std::vector<char *> av;
    for (auto &a : argv)
      av.push_back (const_cast<char *> (a.c_str ()));
    av.push_back (nullptr);
    pid = fork ();
    if (!pid) {
      dup2 (p[1], 1);
      if (prefix) { // a shell command line to run the program under
        std::string cmd = "exec " + std::string (prefix) + " \"$@\"";
        std::vector<char *> sv = {(char *) "sh", (char *) "-c",
                                  (char *) cmd.c_str (), (char *) "sh"};
        sv.insert (sv.end (), av.begin (), av.end ());
        execv ("/bin/sh", sv.data ());
      }
      execv (av[0], av.data ());
      _exit (127);
    }
    close (p[1]);
    out = p[0];
  }
  ~child ()
  {
    kill (SIGKILL);
    wait ();
    if (out >= 0)
      close (out);
  }
  void kill (int sig)
  {
    if (pid > 0)
      ::kill (pid, sig);
  }
  // The exit status (or 128 + signal); -1 if still running after ms.
  int wait (int ms = 10000)
  {
    if (pid <= 0)
      return -1;
    for (long end = nowms () + ms;;) {
      int st;
      pid_t r = waitpid (pid, &st, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED (st) ? WEXITSTATUS (st) : 128 + WTERMSIG (st);
      }
      if (nowms () > end)
        return -1;
      usleep (5000);
    }
  }
  // One line of standard output (without "\n"); "" on EOF or timeout.
  std::string line (int ms = 10000)
  {
    for (long end = nowms () + ms;;) {
      size_t nl = buf.find ('\n');
      if (nl != std::string::npos) {
        std::string l = buf.substr (0, nl);
        buf.erase (0, nl + 1);
        return l;
      }
      pollfd pf = {out, POLLIN, 0};
      long left = end - nowms ();
      if (left <= 0 || poll (&pf, 1, int (left)) <= 0)
        return "";
      char b[4096];
      ssize_t n = read (out, b, sizeof b);
      if (n <= 0)
        return "";
      buf.append (b, n);
    }
  }
};

inline std::string
testdir ()
{
  return OMBRIX_PROXY_TESTDIR;
}

// The scripted origin.
struct origin : child {
  int port = 0;
  origin () : child ({"/usr/bin/python3", testdir () + "/origin.py"})
  {
    std::string l = line ();
    if (sscanf (l.c_str (), "port %d", &port) != 1)
      ADD_FAILURE () << "origin did not start: " << l;
  }
  std::string url (const std::string &path) const
  {
    return "http://127.0.0.1:" + std::to_string (port) + path;
  }
};

// farend.py in one of its modes (TLS origin, half-closing peers, an
// origin of fresh objects).
struct farend : child {
  int port = 0;
  explicit farend (std::vector<std::string> args) : child (argv (args))
  {
    std::string l = line ();
    if (sscanf (l.c_str (), "port %d", &port) != 1)
      ADD_FAILURE () << "farend did not start: " << l;
  }
  static std::vector<std::string> argv (std::vector<std::string> a)
  {
    a.insert (a.begin (), {"/usr/bin/python3", testdir () + "/farend.py"});
    return a;
  }
};

// build/ombrix on a port of its own, with extra options.  The
// environment's OMBRIX_PROXY_WRAP, when set, is a command to run it under
// (for example valgrind; timing-bound tests then may fail).
struct proxy : child {
  int port = 0;
  explicit proxy (std::vector<std::string> args = {},
                  const char *prefix = getenv ("OMBRIX_PROXY_WRAP"))
      : child (argv (args), prefix)
  {
    std::string l = line ();
    if (sscanf (l.c_str (), "ombrix: listening on 127.0.0.1:%d", &port) != 1)
      ADD_FAILURE () << "ombrix did not start: " << l;
  }
  static std::vector<std::string> argv (std::vector<std::string> args)
  {
    bool listen = false;
    for (auto &a : args)
      listen = listen || a == "-l";
    if (!listen)
      args.insert (args.begin (), {"-l", "127.0.0.1:0"});
    args.insert (args.begin (), OMBRIX_BIN);
    return args;
  }
  bool alive () { return pid > 0 && waitpid (pid, nullptr, WNOHANG) == 0; }
};

// ---- Raw sockets ----

// A connection to 127.0.0.1:port, with a receive buffer of rcvbuf bytes
// if given (set before connecting, so the window starts small); -1 with
// errno set when it fails.
inline int
dial (int port, int rcvbuf = 0)
{
  int fd = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  if (rcvbuf)
    setsockopt (fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons (port);
  sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
  if (connect (fd, (sockaddr *) &sin, sizeof sin) < 0) {
    int e = errno;
    close (fd);
    errno = e;
    return -1;
  }
  return fd;
}

inline bool
sendall (int fd, const std::string &s)
{
  for (size_t off = 0; off < s.size ();) {
    ssize_t n = send (fd, s.data () + off, s.size () - off, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    off += n;
  }
  return true;
}

// Reads until EOF (or ms pass); *reset says a connection reset ended it.
inline std::string
readall (int fd, int ms = 10000, bool *reset = nullptr)
{
  std::string s;
  if (reset)
    *reset = false;
  for (long end = nowms () + ms;;) {
    pollfd pf = {fd, POLLIN, 0};
    long left = end - nowms ();
    if (left <= 0 || poll (&pf, 1, int (left)) <= 0)
      return s;
    char b[65536];
    ssize_t n = read (fd, b, sizeof b);
    if (n < 0 && reset)
      *reset = errno == ECONNRESET;
    if (n <= 0)
      return s;
    s.append (b, n);
  }
}

// One response read off a connection.
struct response {
  int status = 0;
  std::string head;                       // status line and headers
  std::map<std::string, std::string> hdr; // lower-case names; last wins
  std::string body;
  bool complete = false; // framed and all of it arrived
  bool reset = false;    // the connection was reset
};

// Reads one response (bodyless if noBody); buffered bytes carry over in
// *rest between calls on one connection.
inline response
readresponse (int fd, std::string *rest, bool nobody = false, int ms = 10000)
{
  response r;
  std::string &b = *rest;
  long end = nowms () + ms;
  auto more = [&] () {
    pollfd pf = {fd, POLLIN, 0};
    long left = end - nowms ();
    if (left <= 0 || poll (&pf, 1, int (left)) <= 0)
      return false;
    char t[65536];
    ssize_t n = read (fd, t, sizeof t);
    if (n < 0 && errno == ECONNRESET)
      r.reset = true;
    if (n <= 0)
      return false;
    b.append (t, n);
    return true;
  };
  for (;;) {
    size_t e;
    while ((e = b.find ("\r\n\r\n")) == std::string::npos)
      if (!more ())
        return r;
    r.head = b.substr (0, e + 2);
    b.erase (0, e + 4);
    sscanf (r.head.c_str (), "HTTP/1.%*d %d", &r.status);
    if (r.status >= 200 || r.status == 0)
      break;
  }
  for (size_t p = r.head.find ("\r\n") + 2; p < r.head.size ();) {
    size_t nl = r.head.find ("\r\n", p), c = r.head.find (':', p);
    std::string name = r.head.substr (p, c - p);
    for (char &ch : name)
      ch = tolower (ch);
    size_t v = r.head.find_first_not_of (' ', c + 1);
    r.hdr[name] = r.head.substr (v, nl - v);
    p = nl + 2;
  }
  if (nobody || r.status == 204 || r.status == 304) {
    r.complete = true;
    return r;
  }
  if (r.hdr.count ("content-length")) {
    size_t n = strtoull (r.hdr["content-length"].c_str (), nullptr, 10);
    while (b.size () < n)
      if (!more ())
        break;
    r.complete = b.size () >= n;
    r.body = b.substr (0, n);
    b.erase (0, r.body.size ());
  } else if (r.hdr.count ("transfer-encoding") &&
             r.hdr["transfer-encoding"] == "chunked") {
    for (;;) {
      size_t nl;
      while ((nl = b.find ("\r\n")) == std::string::npos)
        if (!more ())
          return r;
      size_t n = strtoul (b.c_str (), nullptr, 16);
      if (!n) {
        while (b.find ("\r\n\r\n") == std::string::npos && b != "0\r\n\r\n")
          if (!more ())
            return r;
        b.erase (0, b.find ("\r\n\r\n") + 4);
        r.complete = true;
        return r;
      }
      while (b.size () < nl + 2 + n + 2)
        if (!more ())
          return r;
      r.body += b.substr (nl + 2, n);
      b.erase (0, nl + 2 + n + 2);
    }
  } else {
    while (more ())
      ;
    r.body = b;
    b.clear ();
    r.complete = !r.reset; // as complete as a close-delimited body can say
  }
  return r;
}

// Sends req on a new connection and reads one response.
inline response
roundtrip (int port, const std::string &req, bool nobody = false)
{
  int fd = dial (port);
  std::string rest;
  sendall (fd, req);
  response r = readresponse (fd, &rest, nobody);
  close (fd);
  return r;
}

// The origin's body pattern.
inline std::string
pattern (size_t n, size_t start = 0)
{
  std::string s (n, 0);
  for (size_t i = 0; i < n; i++)
    s[i] = char ((start + i) % 251);
  return s;
}

// Standard output of a shell command.
inline std::string
sh (const std::string &cmd)
{
  FILE *f = popen (cmd.c_str (), "r");
  std::string s;
  char b[4096];
  size_t n;
  while ((n = fread (b, 1, sizeof b, f)) > 0)
    s.append (b, n);
  pclose (f);
  return s;
}

// Resident set size of pid in KiB.
inline long
rsskb (pid_t pid)
{
  std::string s = sh ("grep VmRSS /proc/" + std::to_string (pid) + "/status");
  return strtol (s.c_str () + 6, nullptr, 10);
}

} // namespace harness

#endif
