#include "err.h"
#include "clock_gettime.h"
#include "init.h"
#include "stktrace.h"
#include "suio_vuprintf.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <time.h>
#include <unistd.h>

// Built at the diagnostics' place in the start-up order.  Messages issued
// earlier see zero-filled storage: a null progname.
bssstr progname INITPRIO (INITPRIO_ERR);
bssstr progpid INITPRIO (INITPRIO_ERR);
str progdir INITPRIO (INITPRIO_ERR);

int errfd = 2;
void (*fatalhook) ();
bool fatal_no_destruct;
void (*_err_output) (suio *, int) = _err_output_sync;
void (*_err_reset_hook) ();

namespace {

// Keeps errno across a scope: building a message allocates, reads the
// clock and writes, and any of these may change it.
struct errnosave {
  int saved = errno;
  ~errnosave () { errno = saved; }
  void restore () const { errno = saved; } // before %m is formatted
};

// Formats into a scratch buffer and copies the result: the formatter
// references the format and long %s texts, and a builder's temporaries
// die before the builder writes.
void
vfmtcopy (const strbuf &b, const char *fmt, va_list ap)
{
  suio tmp;
  suio_vuprintf (&tmp, fmt, ap);
  b.tosuio ()->copyu (&tmp);
}

} // namespace

void
setprogname (const char *argv0)
{
  str name, dir;
  if (argv0) {
    const char *slash = strrchr (argv0, '/');
    const char *base = slash ? slash + 1 : argv0;
    if (!strncmp (base, "lt-", 3))
      base += 3;
    name = base;
    if (slash)
      dir = str (argv0, slash + 1 - argv0);
  }
  // Both are built before either is replaced: argv0 may be progname's or
  // progdir's own text.
  progname = name;
  progdir = dir;
}

void
setprogpid (int pid)
{
  char buf[16];
  int n = snprintf (buf, sizeof (buf), "%d", pid);
  progpid = str (buf, n);
}

const char *
timestring ()
{
  // Never freed, so that messages from exit-time destructors may still
  // carry a stamp.
  static str *text;
  if (!text)
    text = new str;
  timespec ts = {};
#ifdef OMBRIX_NEED_CLOCK_GETTIME
  async_clock_gettime (0, &ts); // id 0: the wall clock
#else
  clock_gettime (CLOCK_REALTIME, &ts);
#endif
  // time_t is 64 bits on every platform we build for, i386 included.
  char buf[48];
  int n = snprintf (buf, sizeof (buf), "%" PRId64 ".%06ld", int64_t (ts.tv_sec),
                    long (ts.tv_nsec / 1000));
  *text = str (buf, n);
  return text->cstr ();
}

void
_err_output_sync (suio *uio, int flags)
{
  int saved = errno;
  // Write errors are dropped with the message.
  uio->output (errfd, -1);
  if (flags & warnobj::abortflag)
    abort ();
  if (flags & warnobj::exitflag) {
    if (fatalhook)
      fatalhook ();
    if (fatal_no_destruct)
      _exit (1);
    exit (1);
  }
  errno = saved;
}

void
err_reset ()
{
  // Cleared before it runs: a hook that ends in err_reset runs once.
  void (*hook) () = _err_reset_hook;
  _err_reset_hook = nullptr;
  if (hook)
    hook ();
  _err_output = _err_output_sync;
}

warnobj::warnobj (int f) : flags (f)
{
  errnosave e;
  if (flags & stampflag)
    *this << timestring () << " ";
  if (!(flags & noprogflag) && progname) {
    *this << progname;
    if (progpid)
      *this << "[" << progpid << "]: ";
    else
      *this << ": ";
  }
  if (flags & abortflag)
    *this << "PANIC: ";
  else if (flags & exitflag)
    *this << "fatal: ";
}

warnobj::~warnobj ()
{
  _err_output (tosuio (), flags);
}

const warnobj &
warnobj::operator() (const char *fmt, ...) const
{
  errnosave e;
  va_list ap;
  va_start (ap, fmt);
  vfmtcopy (*this, fmt, ap);
  va_end (ap);
  return *this;
}

fatalobj::~fatalobj ()
{
  _err_output (tosuio (), flags);
  abort ();
}

traceobj::traceobj (int level, const char *p, bool t)
    : current_level (level), prefix (p), dotime (t), doprint (false)
{
  libassert (prefix);
}

traceobj::~traceobj ()
{
  if (doprint)
    _err_output (tosuio (), 0);
}

void
traceobj::init () const
{
  errnosave e;
  if (progname)
    *this << progname << ": ";
  *this << prefix;
  if (dotime)
    *this << timestring () << " ";
}

const traceobj &
traceobj::operator() (int threshold) const
{
  doprint = current_level >= threshold;
  if (doprint)
    init ();
  return *this;
}

const traceobj &
traceobj::operator() (int threshold, const char *fmt, ...) const
{
  doprint = current_level >= threshold;
  if (doprint) {
    init (); // keeps errno
    va_list ap;
    va_start (ap, fmt);
    vfmtcopy (*this, fmt, ap);
    va_end (ap);
  }
  return *this;
}

namespace {

// [progname] text, or the text alone with noprogflag.
void
vwarnflags (int flags, const char *fmt, va_list ap)
{
  errnosave e;
  strbuf b;
  if (!(flags & warnobj::noprogflag) && progname)
    b << progname;
  e.restore ();
  b.vfmt (fmt, ap);
  _err_output (b.tosuio (), flags);
}

} // namespace

void
qel_vwarn (const char *fmt, va_list ap)
{
  vwarnflags (0, fmt, ap);
}

void
qel_vwarnx (const char *fmt, va_list ap)
{
  vwarnflags (warnobj::noprogflag, fmt, ap);
}

void
qel_warn (const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vwarnflags (0, fmt, ap);
  va_end (ap);
}

void
qel_warnx (const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vwarnflags (warnobj::noprogflag, fmt, ap);
  va_end (ap);
}

namespace {

// ["progname: "] "fatal: " or "PANIC: " [record "\n"] text.
void
vplain (int flags, const char *rec, const char *fmt, va_list ap)
{
  errnosave e;
  strbuf b;
  if (progname)
    b << progname << ": ";
  b << (flags & warnobj::abortflag ? "PANIC: " : "fatal: ");
  if (rec)
    b << rec << "\n";
  e.restore ();
  b.vfmt (fmt, ap);
  _err_output (b.tosuio (), flags);
}

} // namespace

void
fatal (const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vplain (warnobj::exitflag, nullptr, fmt, ap);
  va_end (ap);
  exit (1);
}

void
panic (const char *fmt, ...)
{
  va_list ap;
  va_start (ap, fmt);
  vplain (warnobj::abortflag, __backtrace (ERR_POS, -1), fmt, ap);
  va_end (ap);
  abort ();
}

void
panic_at (const char *pos, const char *fmt, ...)
{
  errnosave e;
  fatalobj f (warnobj::abortflag);
  f ("%s\n", __backtrace (pos, -1));
  e.restore ();
  va_list ap;
  va_start (ap, fmt);
  vfmtcopy (f, fmt, ap);
  va_end (ap);
}
