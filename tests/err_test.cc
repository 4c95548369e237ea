// Diagnostics: the exact bytes each form writes to errfd, how the process
// ends, the program identity, trace levels, output switching, errno, and
// that a message leaves in one gathered write.  A random sequence of
// identity changes and messages is checked against a model of the line
// layouts.
#include "async/err_internal.h"
#include "async/init.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Messages seen by record_output, an output function that returns.
struct recorded {
  std::string text;
  int flags;
};
std::vector<recorded> outputs;

void
record_output (suio *uio, int flags)
{
  std::string s (uio->resid (), '\0');
  uio->copyout (&s[0], s.size ());
  uio->rembytes (uio->resid ());
  outputs.push_back ({s, flags});
}

// Writes the message to descriptor 2 and returns, whatever the flags.
void
write_and_return (suio *uio, int)
{
  uio->output (2);
}

// errfd on a pipe for the life of the object.
struct capture {
  int fds[2];
  int saved;
  capture ()
  {
    EXPECT_EQ (pipe2 (fds, O_NONBLOCK), 0);
    saved = errfd;
    errfd = fds[1];
  }
  ~capture ()
  {
    errfd = saved;
    close (fds[0]);
    close (fds[1]);
  }
  std::string take ()
  {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read (fds[0], buf, sizeof (buf))) > 0)
      out.append (buf, n);
    return out;
  }
};

// s as a POSIX extended regex that matches it literally.
std::string
esc (const std::string &s)
{
  std::string re;
  for (char c : s) {
    if (strchr (".[]()*+?{}|^$\\", c))
      re += '\\';
    re += c;
  }
  return re;
}

// Matches exactly s: the whole of standard error in a death test.
std::string
exact (const std::string &s)
{
  return "^" + esc (s) + "$";
}

const std::string record_re = "(0x[0-9a-f]+ )*";
const std::string stamp_re = "[0-9]+\\.[0-9]{6} ";

// The stamp position in an expected text (see matches).
const char stampmark = '\x01';

// expected with each stampmark standing for a time stamp (no blank).
bool
matches (const std::string &expected, const std::string &actual)
{
  static const std::regex stamp ("[0-9]+\\.[0-9]{6}");
  size_t a = 0;
  for (char c : expected) {
    if (c == stampmark) {
      std::smatch m;
      std::string rest = actual.substr (a);
      if (!std::regex_search (rest, m, stamp,
                              std::regex_constants::match_continuous))
        return false;
      a += m.length (0);
    } else if (a >= actual.size () || actual[a++] != c)
      return false;
  }
  return a == actual.size ();
}

void
clear_identity ()
{
  progname = str ();
  progpid = str ();
  progdir = str ();
}

class Err : public ::testing::Test {
protected:
  void SetUp () override { reset (); }
  void TearDown () override { reset (); }
  static void reset ()
  {
    clear_identity ();
    errfd = 2;
    fatalhook = nullptr;
    fatal_no_destruct = false;
    _err_output = _err_output_sync;
    _err_reset_hook = nullptr;
    outputs.clear ();
  }
};
using ErrDeathTest = Err;

// The layouts, from the table of prefixes.
struct model {
  std::optional<std::string> name, pid;

  std::string warnprefix (int flags) const
  {
    std::string s;
    if (flags & warnobj::stampflag)
      s += std::string (1, stampmark) + " ";
    if (!(flags & warnobj::noprogflag) && name)
      s += *name + (pid ? "[" + *pid + "]: " : ": ");
    if (flags & warnobj::abortflag)
      s += "PANIC: ";
    else if (flags & warnobj::exitflag)
      s += "fatal: ";
    return s;
  }
  std::string traceprefix (const std::string &prefix, bool dotime) const
  {
    return (name ? *name + ": " : "") + prefix +
           (dotime ? std::string (1, stampmark) + " " : "");
  }
};

// argv0, progname, progdir (null: nullopt).
struct progcase {
  const char *argv0;
  std::optional<std::string> name, dir;
};
const progcase progcases[] = {
    {"/usr/bin/prog", "prog", "/usr/bin/"},
    {"prog", "prog", std::nullopt},
    {"./lt-prog", "prog", "./"},
    {"a/b/lt-", "", "a/b/"},
    {"lt-x", "x", std::nullopt},
    {"lt-", "", std::nullopt},
    {"/x/", "", "/x/"},
    {"/", "", "/"},
    {"a/lt-b/c", "c", "a/lt-b/"},
    {"xlt-y", "xlt-y", std::nullopt},
    {"d/lt", "lt", "d/"},
    {"", "", std::nullopt},
    {nullptr, std::nullopt, std::nullopt},
};

std::optional<std::string>
opt (const str &s)
{
  return s ? std::optional<std::string> (std::string (s.cstr (), s.len ()))
           : std::nullopt;
}

TEST_F (Err, SetprognameTakesTheBaseNameLessLtAndTheDirectory)
{
  for (const progcase &c : progcases) {
    SCOPED_TRACE (c.argv0 ? c.argv0 : "(null)");
    setprogname ("stale/old");
    setprogname (c.argv0);
    EXPECT_EQ (opt (progname), c.name);
    EXPECT_EQ (opt (progdir), c.dir);
  }
  // The argument may be the current name's own text.
  setprogname ("dir/lt-self");
  setprogname (progdir.cstr ());
  EXPECT_EQ (opt (progname), "");
  EXPECT_EQ (opt (progdir), "dir/");
  setprogname (progname.cstr ());
  EXPECT_EQ (opt (progname), "");
  EXPECT_EQ (opt (progdir), std::nullopt);

  setprogpid (0);
  EXPECT_EQ (opt (progpid), "0");
  setprogpid (-2147483647 - 1);
  EXPECT_EQ (opt (progpid), "-2147483648");
}

TEST_F (Err, TimestringIsTheWallClockInMicroseconds)
{
  time_t before = time (nullptr);
  std::string t = timestring ();
  time_t after = time (nullptr);
  ASSERT_TRUE (std::regex_match (t, std::regex ("[0-9]+\\.[0-9]{6}"))) << t;
  long long sec = atoll (t.c_str ());
  EXPECT_GE (sec, (long long) before);
  EXPECT_LE (sec, (long long) after);
  const char *p = timestring ();
  EXPECT_GE (atoll (p), sec);
}

TEST_F (Err, WarningsAreWrittenAtOnceWithTheirPrefixes)
{
  capture c;
  str name (std::string (200, 'n').c_str ()); // a referenced piece
  warn ("plain %d\n", 1);
  warn << "streamed " << str ("s") << "\n";
  warn ("a") ("b") << "c\n";
  EXPECT_EQ (c.take (), "plain 1\nstreamed s\nabc\n");

  setprogname ("/bin/prog");
  warn ("w\n");
  warnobj (warnobj::noprogflag) ("x\n");
  setprogpid (77);
  warn ("w\n");
  warnobj (warnobj::noprogflag) ("x\n");
  progname = name;
  warn ("long\n");
  EXPECT_EQ (c.take (), "prog: w\nx\nprog[77]: w\nx\n" +
                            std::string (200, 'n') + "[77]: long\n");

  // A pid without a name is written nowhere.
  progname = str ();
  warn ("w\n");
  warnobj (warnobj::stampflag) ("s\n");
  std::string got = c.take ();
  EXPECT_TRUE (std::regex_match (got, std::regex ("w\n" + stamp_re + "s\n")))
      << got;
}

TEST_F (Err, FormattedTextOutlivesItsArguments)
{
  // The temporary string dies before the builder writes.
  capture c;
  warn ("%s|%s\n", std::string (300, 'q').c_str (),
        std::string (5, 'r').c_str ());
  {
    warnobj w (0);
    for (int i = 0; i < 4; i++)
      w ("%s", std::string (150 + i, char ('a' + i)).c_str ());
  }
  std::string want = std::string (300, 'q') + "|rrrrr\n";
  for (int i = 0; i < 4; i++)
    want += std::string (150 + i, char ('a' + i));
  EXPECT_EQ (c.take (), want);
}

TEST_F (Err, ErrnoSurvivesTheWriterAndReachesPercentM)
{
  errfd = -1; // every write fails with EBADF
  errno = EDOM;
  warn ("lost\n");
  EXPECT_EQ (errno, EDOM);
  qel_warn ("lost\n");
  EXPECT_EQ (errno, EDOM);
  traceobj (1) (1, "lost\n");
  EXPECT_EQ (errno, EDOM);

  capture c;
  setprogname ("p");
  setprogpid (1);
  std::string want = strerror (ENOENT);
  errno = ENOENT;
  warnobj (warnobj::stampflag) ("%m\n");
  qel_warnx ("%m\n");
  traceobj (0, "t: ", true) (0, "%m\n");
  EXPECT_EQ (errno, ENOENT);
  std::string got = c.take ();
  EXPECT_TRUE (std::regex_match (
      got, std::regex (stamp_re + "p\\[1\\]: " + want + "\n" + want + "\n" +
                       "p: t: " + stamp_re + want + "\n")))
      << got;
}

// Pieces of one byte each, every one a range of its own.
void
pieces (const warnobj &w, int n)
{
  for (int i = 0; i < n; i++) {
    w.tosuio ()->breakiov ();
    w << std::string (1, char ('a' + i % 26)).c_str ();
  }
}

std::string
alphabet (int from, int n)
{
  std::string s;
  for (int i = from; i < from + n; i++)
    s += char ('a' + i % 26);
  return s;
}

TEST_F (Err, AMessageLeavesInOneGatheredWritePer1024Pieces)
{
  // Each write on a datagram socket is one datagram.
  int sv[2];
  ASSERT_EQ (socketpair (AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  int sndbuf = 1 << 20;
  setsockopt (sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof (sndbuf));
  errfd = sv[0];
  std::vector<std::string> got;
  auto drain = [&] () {
    got.clear ();
    std::vector<char> buf (1 << 17);
    ssize_t n;
    while ((n = recv (sv[1], buf.data (), buf.size (), MSG_DONTWAIT)) >= 0)
      got.emplace_back (buf.data (), n);
  };

  setprogname ("prog");
  {
    warnobj w (warnobj::stampflag);
    pieces (w, 600);
    EXPECT_GE (w.iovcnt (), 600u);
  }
  drain ();
  ASSERT_EQ (got.size (), 1u);
  EXPECT_TRUE (matches (
      std::string (1, stampmark) + " prog: " + alphabet (0, 600), got[0]));

  progname = str ();
  {
    warnobj w (0);
    pieces (w, 1500);
    ASSERT_EQ (w.iovcnt (), 1500u);
  }
  drain ();
  ASSERT_EQ (got.size (), 2u);
  EXPECT_EQ (got[0], alphabet (0, 1024));
  EXPECT_EQ (got[1], alphabet (1024, 476));

  // Long texts go by reference and still leave together.
  std::vector<str> parts;
  for (int i = 0; i < 50; i++)
    parts.push_back (str (std::string (300, char ('A' + i % 26)).c_str ()));
  std::string want;
  {
    warnobj w (0);
    for (const str &p : parts) {
      w << p;
      want += p.cstr ();
    }
  }
  drain ();
  ASSERT_EQ (got.size (), 1u);
  EXPECT_EQ (got[0], want);
  close (sv[0]);
  close (sv[1]);
}

TEST_F (Err, TraceLevelsDecideAndTheLastTestWins)
{
  _err_output = record_output;
  traceobj (2, "t: ") (2, "at %d\n", 2);
  traceobj (2, "t: ") (1) << "below\n";
  traceobj (2, "t: ") (3, "above\n");
  traceobj (2, "t: ") (3) << "above, streamed\n";
  traceobj (2, "t: ") (1, "kept ") (3, "cancelled\n");
  traceobj (2, "t: ") (1, "twice ") (2, "over\n");
  traceobj (-1) (-5, "negative\n");
  traceobj (0) (-1) (1) (0, "fail then pass\n");
  {
    traceobj t (5, "");
    t (9) << "held ";
    t (5, "then printed\n");
  }
  setprogname ("bin/prog");
  traceobj (0, "[x] ", true) (0, "stamped\n");
  std::vector<std::string> want = {
      "t: at 2\n",
      "t: below\n",
      "t: twice t: over\n",
      "negative\n",
      "fail then pass\n",
      "held then printed\n",
      "prog: [x] " + std::string (1, stampmark) + " stamped\n",
  };
  ASSERT_EQ (outputs.size (), want.size ());
  for (size_t i = 0; i < want.size (); i++) {
    EXPECT_TRUE (matches (want[i], outputs[i].text)) << outputs[i].text;
    EXPECT_EQ (outputs[i].flags, 0);
  }
}

int hook_calls;

void
counting_hook ()
{
  hook_calls++;
}

void
reentrant_hook ()
{
  hook_calls++;
  err_reset ();
}

TEST_F (Err, ErrResetRunsTheHookOnceAndRestoresTheSyncWriter)
{
  hook_calls = 0;
  err_reset (); // no hook: nothing to run
  EXPECT_EQ (_err_output, _err_output_sync);

  _err_output = record_output;
  _err_reset_hook = counting_hook;
  warn ("queued\n");
  ASSERT_EQ (outputs.size (), 1u);
  err_reset ();
  EXPECT_EQ (hook_calls, 1);
  EXPECT_EQ (_err_output, _err_output_sync);
  EXPECT_EQ (_err_reset_hook, nullptr);
  err_reset ();
  EXPECT_EQ (hook_calls, 1);

  capture c;
  warn ("direct\n");
  EXPECT_EQ (c.take (), "direct\n");
  EXPECT_EQ (outputs.size (), 1u);

  _err_output = record_output;
  _err_reset_hook = reentrant_hook;
  err_reset ();
  EXPECT_EQ (hook_calls, 2);
  EXPECT_EQ (_err_output, _err_output_sync);
}

TEST_F (Err, RefcntTraceLinesCarryTheProgramName)
{
  capture c;
  int x;
  setprogname ("/sbin/lt-rc");
  refcnt_warn ("inc", typeid (int), &x, 2);
  std::string got = c.take ();
  EXPECT_EQ (got.rfind ("rc: inc: ", 0), 0u) << got;
}

// Checks the messages written since the first `from` against the model's
// list.
void
check (const std::vector<recorded> &want, size_t from = 0)
{
  ASSERT_EQ (outputs.size (), want.size ());
  for (size_t i = from; i < want.size (); i++) {
    ASSERT_TRUE (matches (want[i].text, outputs[i].text))
        << i << ": " << outputs[i].text;
    ASSERT_EQ (outputs[i].flags, want[i].flags) << i;
  }
}

TEST_F (Err, RandomMessagesFollowTheLayoutModel)
{
  _err_output = record_output;
  std::mt19937 rng (4);
  auto pick = [&] (int n) { return int (rng () % unsigned (n)); };
  // Texts around the 128-byte line between copied and referenced pieces.
  auto text = [&] () {
    static const int lens[] = {0, 1, 7, 128, 129, 300};
    std::string s (lens[pick (6)], 'x');
    for (char &c : s)
      c = char ('!' + pick (94));
    return s;
  };
  model m;
  std::vector<recorded> want;
  for (int step = 0; step < 3000; step++) {
    size_t checked = want.size ();
    switch (pick (8)) {
    case 0: {
      const progcase &c = progcases[pick (std::size (progcases))];
      setprogname (c.argv0);
      m.name = c.name;
      break;
    }
    case 1:
      progname = str ();
      m.name.reset ();
      break;
    case 2: {
      int p = int (rng ());
      setprogpid (p);
      m.pid = std::to_string (p);
      break;
    }
    case 3:
      progpid = str ();
      m.pid.reset ();
      break;
    case 4:
    case 5: {
      int flags = pick (16);
      std::string w = m.warnprefix (flags);
      {
        warnobj o (flags);
        for (int n = pick (4); n > 0; n--) {
          std::string t = text ();
          if (pick (2)) {
            o ("%s.%d", t.c_str (), n);
            w += t + "." + std::to_string (n);
          } else {
            o << t.c_str ();
            w += t;
          }
        }
      }
      want.push_back ({w, flags});
      break;
    }
    case 6: {
      int level = pick (5) - 2;
      std::string prefix = pick (2) ? "" : text ();
      bool dotime = pick (2);
      std::string held;
      bool doprint = false;
      {
        traceobj t (level, prefix.c_str (), dotime);
        for (int n = pick (4); n > 0; n--) {
          int threshold = pick (5) - 2;
          std::string s = text ();
          doprint = level >= threshold;
          std::string pre = doprint ? m.traceprefix (prefix, dotime) : "";
          if (pick (2)) {
            t (threshold, "%s", s.c_str ());
            held += doprint ? pre + s : "";
          } else {
            t (threshold) << s.c_str ();
            held += pre + s;
          }
        }
      }
      if (doprint)
        want.push_back ({held, 0});
      break;
    }
    case 7: {
      std::string s = text ();
      if (pick (2)) {
        qel_warn ("%s", s.c_str ());
        want.push_back ({(m.name ? *m.name : "") + s, 0});
      } else {
        qel_warnx ("%s", s.c_str ());
        want.push_back ({s, warnobj::noprogflag});
      }
      break;
    }
    }
    check (want, checked);
    if (HasFatalFailure ())
      return;
  }
}

const auto exit1 = ::testing::ExitedWithCode (1);
const auto abrt = ::testing::KilledBySignal (SIGABRT);

void
hook_line ()
{
  ssize_t n = write (errfd, "hook\n", 5);
  (void) n;
}

void
atexit_line ()
{
  ssize_t n = write (errfd, "atexit\n", 7);
  (void) n;
}

TEST_F (ErrDeathTest, FatalFormWritesItsLineAndExitsWithStatus1)
{
  EXPECT_EXIT (fatal ("bad %s\n", "thing"), exit1,
               exact ("fatal: bad thing\n"));
  EXPECT_EXIT (
      {
        setprogname ("/bin/prog");
        fatal ("x\n");
      },
      exit1, exact ("prog: fatal: x\n"));
  EXPECT_EXIT (
      {
        setprogname ("prog");
        setprogpid (12);
        fatal << "streamed " << str ("s") << "\n";
      },
      exit1, exact ("prog[12]: fatal: streamed s\n"));
  EXPECT_EXIT (
      {
        setprogname ("prog");
        setprogpid (12);
        (fatalobj (warnobj::exitflag | warnobj::noprogflag)) ("quiet\n");
      },
      exit1, exact ("fatal: quiet\n"));
  EXPECT_EXIT ((fatalobj (warnobj::exitflag | warnobj::stampflag)) ("s\n"),
               exit1, "^" + stamp_re + "fatal: s\n$");
  // The exit is the writer's, so a warnobj with exitflag ends too.
  EXPECT_EXIT ((warnobj (warnobj::exitflag)) ("w\n"), exit1,
               exact ("fatal: w\n"));
}

TEST_F (ErrDeathTest, FatalhookRunsFirstAndNoDestructSkipsAtexit)
{
  EXPECT_EXIT (
      {
        fatalhook = hook_line;
        atexit (atexit_line);
        fatal ("x\n");
      },
      exit1, exact ("fatal: x\nhook\natexit\n"));
  EXPECT_EXIT (
      {
        fatalhook = hook_line;
        fatal_no_destruct = true;
        atexit (atexit_line);
        fatal ("x\n");
      },
      exit1, exact ("fatal: x\nhook\n"));
  EXPECT_EXIT (
      {
        fatal_no_destruct = true;
        atexit (atexit_line);
        fatal ("y\n");
      },
      exit1, exact ("fatal: y\n"));
  // Panics end without the hook.
  EXPECT_EXIT (
      {
        fatalhook = hook_line;
        (fatalobj (warnobj::abortflag)) ("p\n");
      },
      abrt, exact ("PANIC: p\n"));
}

[[noreturn]] void
panic_here ()
{
  panic ("boom %d\n", 5);
}
const std::string panic_pos = __FILE__ ":" + std::to_string (__LINE__ - 2);

void
assert_here (int x)
{
  libassert (x + 1 == 3);
}
const std::string assert_pos = __FILE__ ":" + std::to_string (__LINE__ - 2);

TEST_F (ErrDeathTest, PanicFormWritesTheRecordOfItsCallSiteAndAborts)
{
  std::string rec = record_re + esc (panic_pos) + "\n";
  EXPECT_EXIT (panic_here (), abrt, "^PANIC: " + rec + "boom 5\n$");
  EXPECT_EXIT (
      {
        setprogname ("lt-prog");
        setprogpid (3);
        panic_here ();
      },
      abrt, "^prog\\[3\\]: PANIC: " + rec + "boom 5\n$");
  EXPECT_EXIT (
      {
        setprogname ("prog");
        (fatalobj (warnobj::abortflag | warnobj::noprogflag |
                   warnobj::stampflag)) ("late\n");
      },
      abrt, "^" + stamp_re + "PANIC: late\n$");
  EXPECT_EXIT ((fatalobj (warnobj::exitflag | warnobj::abortflag)) ("both\n"),
               abrt, exact ("PANIC: both\n"));
  // No flag to end the process, or an output function that returns: the
  // builder aborts all the same.
  EXPECT_EXIT ((fatalobj (0)) ("neither\n"), abrt, exact ("neither\n"));
  EXPECT_EXIT (
      {
        _err_output = write_and_return;
        fatal ("returned\n");
      },
      abrt, exact ("fatal: returned\n"));
}

TEST_F (ErrDeathTest, LibassertPanicsWithConditionAndPosition)
{
  int evaluated = 0;
  libassert (++evaluated == 1);
  EXPECT_EQ (evaluated, 1);
  assert_here (2);
  EXPECT_EXIT (assert_here (0), abrt,
               "^PANIC: " + record_re + esc (assert_pos) +
                   "\nassertion \"x \\+ 1 == 3\" failed at " +
                   esc (assert_pos) + "\n$");
}

// Issues a warning from a destructor that runs after the diagnostics'
// own statics have been destroyed.
bool late_armed;
struct late_warning {
  ~late_warning ()
  {
    if (late_armed)
      warn ("late %s\n", "bye");
  }
} late_obj INITPRIO (INITPRIO_ERR - 1);

TEST_F (ErrDeathTest, ProgramNameOutlivesExitTimeDestruction)
{
  EXPECT_EXIT (
      {
        late_armed = true;
        setprogname ("/bin/lt-late");
        setprogpid (5);
        exit (0);
      },
      ::testing::ExitedWithCode (0), exact ("late[5]: late bye\n"));
}

// The plain-named C functions, without this header's macros.
#undef warn
#undef fatal
#undef panic

void
vwarn (bool x, const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  if (x)
    qel_vwarnx (fmt, ap);
  else
    qel_vwarn (fmt, ap);
  va_end (ap);
}

TEST_F (Err, QelWarnPutsTheNameRightBeforeTheText)
{
  _err_output = record_output;
  qel_warn ("a %d\n", 1);
  qel_warnx ("b\n");
  setprogname ("/usr/bin/prog");
  setprogpid (9); // never written by these
  qel_warn ("a %d\n", 1);
  qel_warnx ("b\n");
  vwarn (false, "c %s\n", "v");
  vwarn (true, "d %s\n", "v");
  std::vector<recorded> want = {
      {"a 1\n", 0}, {"b\n", 1},       {"proga 1\n", 0},
      {"b\n", 1},   {"progc v\n", 0}, {"d v\n", 1},
  };
  check (want);

  _err_output = _err_output_sync;
  capture c;
  qel_warn ("sync\n");
  EXPECT_EQ (c.take (), "progsync\n");
}

TEST_F (ErrDeathTest, PlainFatalAndPanic)
{
  EXPECT_EXIT (fatal ("f %d\n", 1), exit1, exact ("fatal: f 1\n"));
  EXPECT_EXIT (
      {
        setprogname ("prog");
        setprogpid (9); // not written by the plain functions
        fatalhook = hook_line;
        fatal ("f\n");
      },
      exit1, exact ("prog: fatal: f\nhook\n"));
  std::string rec = record_re + "[^ ]*err\\.cc:[0-9]+\n";
  EXPECT_EXIT (panic ("p %s\n", "x"), abrt, "^PANIC: " + rec + "p x\n$");
  EXPECT_EXIT (
      {
        setprogname ("prog");
        setprogpid (9);
        panic ("p\n");
      },
      abrt, "^prog: PANIC: " + rec + "p\n$");
}

} // namespace
