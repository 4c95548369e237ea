// Ports for servers that tests start on 127.0.0.1, and the check that a
// given process, not some other, listens on one.  A port is only a
// candidate: another test may take it before the server binds (under
// ctest -j), so a starter retries with a fresh one when the server reports
// "bind: Address already in use", and waits for listening () before
// talking to it.  Candidates lie below the kernel's ephemeral range, which
// client sockets draw from.
#ifndef OMBRIX_TESTS_LOOPBACK_H
#define OMBRIX_TESTS_LOOPBACK_H

#include <arpa/inet.h>
#include <cstdio>
#include <dirent.h>
#include <netinet/in.h>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// A port that nobody has bound right now, below the ephemeral range.
inline int
pick_port ()
{
  int lo = 32768, hi = 60999;
  if (FILE *f = fopen ("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (fscanf (f, "%d %d", &lo, &hi) != 2)
      lo = 32768;
    fclose (f);
  }
  static std::mt19937 rng (unsigned (getpid ()) * 2654435761u);
  int base = lo > 12000 ? 10000 : 1024;
  for (int i = 0; i < 1000; i++) {
    int port = base + int (rng () % unsigned (lo > base + 1 ? lo - base : 1));
    int s = socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons (uint16_t (port));
    sin.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    bool ok = s >= 0 && bind (s, (sockaddr *) &sin, sizeof (sin)) == 0;
    if (s >= 0)
      close (s);
    if (ok)
      return port;
  }
  return -1;
}

// Whether process pid has a TCP socket listening on port: the inodes of its
// descriptors against /proc/net/tcp's sockets in state 0A (LISTEN).
inline bool
listening (pid_t pid, int port)
{
  std::set<unsigned long> inodes;
  std::string fds = "/proc/" + std::to_string (pid) + "/fd";
  DIR *d = opendir (fds.c_str ());
  if (!d)
    return false;
  while (dirent *e = readdir (d)) {
    char link[64];
    ssize_t n =
        readlink ((fds + "/" + e->d_name).c_str (), link, sizeof (link) - 1);
    unsigned long ino;
    if (n > 0 && (link[n] = 0, sscanf (link, "socket:[%lu]", &ino) == 1))
      inodes.insert (ino);
  }
  closedir (d);
  FILE *f = fopen ("/proc/net/tcp", "r");
  if (!f)
    return false;
  char line[512];
  bool found = false;
  while (!found && fgets (line, sizeof (line), f)) {
    unsigned lport, state;
    unsigned long ino;
    if (sscanf (line, " %*d: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                &lport, &state, &ino) == 3)
      found = int (lport) == port && state == 0x0a && inodes.count (ino);
  }
  fclose (f);
  return found;
}

// Waits (10 s at most) until process pid listens on port (1) or has exited
// (0: not reaped, for the caller to collect); -1 when neither happened.
inline int
await_listen (pid_t pid, int port)
{
  for (int i = 0; i < 1000; i++) {
    if (listening (pid, port))
      return 1;
    siginfo_t si{};
    if (waitid (P_PID, id_t (pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        si.si_pid == pid)
      return 0;
    usleep (10000);
  }
  return -1;
}

#endif
