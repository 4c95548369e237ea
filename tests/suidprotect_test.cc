// Environment safety.  The verdict of suidsafe is taken once per process,
// so the cases with other ids or flags run tests/progs/suidprobe, started
// under the ids of a set-user-id or set-group-id program (which needs
// root to arrange).
#include "async/suidprotect.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <map>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string
probepath ()
{
  char buf[4096];
  ssize_t n = readlink ("/proc/self/exe", buf, sizeof (buf) - 1);
  if (n < 0)
    return "suidprobe";
  std::string s (buf, size_t (n));
  return s.substr (0, s.rfind ('/') + 1) + "suidprobe";
}

struct ids {
  uid_t ruid, euid;
  gid_t rgid, egid;
};

// Runs the probe with the given ids and flags; returns its output.
std::string
runprobe (const ids &id, const char *flags, const char *arg = nullptr)
{
  // Not close-on-exec: where an emulator runs the probe (binfmt_misc), it
  // opens the program again through /dev/fd, after the exec.
  int fd = open (probepath ().c_str (), O_RDONLY);
  int p[2];
  if (fd < 0 || pipe (p) < 0)
    return "cannot start the probe";
  pid_t pid = fork ();
  if (pid == 0) {
    dup2 (p[1], 1);
    // The binary is opened already, so no directory needs to be searchable
    // under the new ids.
    if (setgroups (0, nullptr) < 0 ||
        setresgid (id.rgid, id.egid, id.egid) < 0 ||
        setresuid (id.ruid, id.euid, id.euid) < 0)
      _exit (120);
    std::string fl = std::string ("SUIDPROBE_FLAGS=") + flags;
    char *env[] = {const_cast<char *> (fl.c_str ()),
                   const_cast<char *> ("SUIDPROBE_VAR=set"), nullptr};
    char *argv[] = {const_cast<char *> ("suidprobe"), const_cast<char *> (arg),
                    nullptr};
    fexecve (fd, argv, env);
    _exit (121);
  }
  close (p[1]);
  close (fd);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read (p[0], buf, sizeof (buf))) > 0)
    out.append (buf, size_t (n));
  close (p[0]);
  int st;
  waitpid (pid, &st, 0);
  if (!WIFEXITED (st) || WEXITSTATUS (st))
    out += "status " + std::to_string (st);
  return out;
}

TEST (Suidprotect, UnprotectedProcessTrustsItsEnvironment)
{
  EXPECT_EQ (suidprotect, 0);
  EXPECT_EQ (execprotect, 0);
  EXPECT_EQ (suidsafe (), 1);
  EXPECT_EQ (execsafe (), 1);
  setenv ("OMBRIX_SUID_TEST", "v", 1);
  for (const char *name : {"OMBRIX_SUID_TEST", "PATH", "OMBRIX_UNSET_VAR"})
    EXPECT_EQ (safegetenv (name), getenv (name)) << name;
  EXPECT_STREQ (safegetenv ("OMBRIX_SUID_TEST"), "v");
  EXPECT_EQ (safegetenv ("OMBRIX_UNSET_VAR"), nullptr);
}

TEST (Suidprotect, ExecsafeFollowsBothFlagsEveryCall)
{
  EXPECT_EQ (suidsafe (), 1);
  for (int s : {0, 1, 7})
    for (int e : {0, 1, -1}) {
      suidprotect = s;
      execprotect = e;
      EXPECT_EQ (execsafe (), !s && !e) << s << " " << e;
      EXPECT_EQ (suidsafe (), 1); // decided already
    }
  suidprotect = execprotect = 0;
}

const char safe[] = "suidsafe=1 execsafe=1 var=set\n";

TEST (Suidprotect, FlagsWithoutOtherIds)
{
  ids same = {getuid (), getuid (), getgid (), getgid ()};
  EXPECT_EQ (runprobe (same, ""), safe);
  EXPECT_EQ (runprobe (same, "p"), "suidsafe=1 execsafe=0 var=set\n");
  EXPECT_EQ (runprobe (same, "e"), "suidsafe=1 execsafe=0 var=set\n");
  EXPECT_EQ (runprobe (same, "pe"), "suidsafe=1 execsafe=0 var=set\n");
}

TEST (Suidprotect, VerdictDependsOnTheIds)
{
  if (geteuid () != 0)
    GTEST_SKIP () << "needs root to start processes under other ids";
  const std::string unsafe = "suidsafe=0 execsafe=0 var=(null)\n";
  const std::string trusted = "suidsafe=1 execsafe=0 var=set\n";
  struct {
    ids id;
    const char *flags;
    std::string out;
  } cases[] = {
      {{1000, 2000, 100, 100}, "p", unsafe},  // set-user-id
      {{1000, 1000, 100, 200}, "p", unsafe},  // set-group-id
      {{1000, 2000, 100, 200}, "pe", unsafe}, // both
      {{1000, 1000, 100, 100}, "p", trusted}, // plain user
      {{0, 2000, 0, 0}, "p", trusted},        // started by root
      {{0, 2000, 100, 200}, "p", trusted},    // started by root
      {{1000, 2000, 100, 200}, "", safe},     // not protected
      {{1000, 2000, 100, 200},
       "e", // only execprotect
       "suidsafe=1 execsafe=0 var=set\n"},
  };
  for (const auto &c : cases)
    EXPECT_EQ (runprobe (c.id, c.flags), c.out)
        << c.id.ruid << " " << c.id.euid << " " << c.id.rgid << " " << c.id.egid
        << " " << c.flags;
}

TEST (Suidprotect, VerdictIsNotRecomputed)
{
  if (geteuid () != 0)
    GTEST_SKIP () << "needs root to change ids";
  EXPECT_EQ (runprobe ({0, 0, 0, 0}, "p", "switch"),
             "suidsafe=1 execsafe=0 var=set\n"
             "suidsafe=1 execsafe=0 var=set\n");
}

// Random puts against a map of what the environment should hold.
TEST (Xputenv, PutsPrivateCopiesModelChecked)
{
  const char *names[] = {"OMBRIX_XA", "OMBRIX_XB", "OMBRIX_XC"};
  std::map<std::string, std::string> model;
  std::mt19937 rng (8);
  for (int step = 0; step < 300; step++) {
    std::string name = names[rng () % 3];
    std::string arg = name;
    if (rng () % 4) {
      arg += "=" + std::to_string (rng () % 1000);
      model[name] = arg.substr (name.size () + 1);
    } else {
      model.erase (name); // no '=': the variable goes
    }
    ASSERT_EQ (xputenv (arg.c_str ()), 0);
    arg.assign (arg.size (), '#'); // the environment has its own copy
    for (const char *n : names) {
      const char *v = getenv (n);
      auto it = model.find (n);
      if (it == model.end ())
        ASSERT_EQ (v, nullptr) << n << " step " << step;
      else
        ASSERT_STREQ (v, it->second.c_str ()) << n << " step " << step;
    }
  }
  for (const char *n : names)
    unsetenv (n);
}

TEST (Xputenv, ValueMayContainEqualsAndBeEmpty)
{
  ASSERT_EQ (xputenv ("OMBRIX_XE=a=b=c"), 0);
  EXPECT_STREQ (getenv ("OMBRIX_XE"), "a=b=c");
  ASSERT_EQ (xputenv ("OMBRIX_XE="), 0);
  EXPECT_STREQ (getenv ("OMBRIX_XE"), "");
  unsetenv ("OMBRIX_XE");
}

} // namespace
