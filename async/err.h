// Diagnostics: warnings, fatal errors, panics and trace lines on errfd.
//
// A message is built by a builder that lives for one statement (warnobj,
// fatalobj, traceobj: a strbuf over its own counted suio): the constructor
// writes the prefix, the caller appends text, and the destructor hands the
// pieces to _err_output, which writes them in one gathered write and then,
// by the flags, returns, exits with status 1 or aborts.  Callers end their
// text with "\n"; nothing is appended for them.  Formatted text is copied,
// so its arguments need only live until operator () returns.
//
// Memory: progname and progpid stay valid while exit-time destructors
// run; timestring's text until its next call.  Errors: failures of the
// error output are ignored and errno is the same after a message as
// before it; misuse is libassert, broken invariants are panics.
// Single-threaded, no locks.
#ifndef OMBRIX_ASYNC_ERR_H
#define OMBRIX_ASYNC_ERR_H

#include "async/stktrace.h"
#include "async/str.h"

#include <cstdarg>

extern bssstr progname; // program name for prefixes; null unless set
extern bssstr progpid;  // decimal pid; printed only with progname
extern str progdir;     // directory of the program path, with its "/"
extern int errfd;       // descriptor all diagnostics go to; 2 at start

// Sets progname to the last component of argv0 (less a leading "lt-",
// the libtool wrapper's mark) and progdir to everything up to and
// including the last "/", or null when there is none.  A null argv0
// clears both.
void setprogname (const char *argv0);
void setprogpid (int pid);
// The wall clock as "<seconds>.<microseconds, 6 digits>"; valid until the
// next call.
const char *timestring ();

// Runs just before the synchronous writer's fatal exit (null: nothing).
extern void (*fatalhook) ();
// A fatal exit of the synchronous writer uses _exit: no atexit handlers,
// no static destructors, no stdio flush.
extern bool fatal_no_destruct;

// The current output function: writes the message in uio (and may consume
// it), then acts on the flags.  _err_reset_hook undoes the current output
// mode; err_reset runs it once, clears it and restores _err_output_sync.
extern void (*_err_output) (suio *uio, int flags);
extern void (*_err_reset_hook) ();
void _err_output_sync (suio *uio, int flags);
void err_reset ();

// A warning, or with exitflag / abortflag the message of a fatal error or
// panic (see fatalobj).  Not copyable: each builder writes once.
class warnobj : public strbuf {
public:
  enum {
    noprogflag = 1, // no program name, no pid in the prefix
    exitflag = 2,   // "fatal: "; the output function exits with status 1
    abortflag = 4,  // "PANIC: "; the output function aborts
    stampflag = 8,  // the prefix starts with timestring () and a blank
  };
  const int flags; // handed to _err_output with the message

  explicit warnobj (int flags);
  warnobj (const warnobj &) = delete;
  warnobj &operator= (const warnobj &) = delete;
  ~warnobj ();

  const warnobj &operator() (const char *fmt, ...) const
      __attribute__ ((format (printf, 2, 3)));
};

// A builder that never returns from its destructor: after the output
// function it aborts, should that function return.
class fatalobj : public warnobj {
public:
  explicit fatalobj (int flags) : warnobj (flags) {}
  [[noreturn]] ~fatalobj ();
};

// A trace line, written only if its last level test passed.  Each test
// (operator ()) with threshold <= level appends a fresh prefix
// ("progname: ", prefix, optional time stamp); a failing test cancels the
// whole line.  prefix is not copied until a test passes: it must outlive
// the object.
class traceobj : public strbuf {
  const int current_level;  // this object's level
  const char *const prefix; // never null; may be empty
  const bool dotime;        // time stamp after the prefix
  mutable bool doprint;     // result of the last test; false before any

public:
  explicit traceobj (int level, const char *prefix = "", bool dotime = false);
  traceobj (const traceobj &) = delete;
  traceobj &operator= (const traceobj &) = delete;
  ~traceobj ();

  const traceobj &operator() (int threshold) const;
  const traceobj &operator() (int threshold, const char *fmt, ...) const
      __attribute__ ((format (printf, 3, 4)));
  void init () const; // appends the prefix
};

// Plain symbols for C and for any module.  qel_warn: [progname] text;
// qel_warnx: the text alone; fatal: ["progname: "] "fatal: " text, exit
// status 1; panic: ["progname: "] "PANIC: " record "\n" text, abort.
extern "C" {
void qel_warn (const char *fmt, ...) __attribute__ ((format (printf, 1, 2)));
void qel_warnx (const char *fmt, ...) __attribute__ ((format (printf, 1, 2)));
void qel_vwarn (const char *fmt, va_list ap)
    __attribute__ ((format (printf, 1, 0)));
void qel_vwarnx (const char *fmt, va_list ap)
    __attribute__ ((format (printf, 1, 0)));
[[noreturn]] void fatal (const char *fmt, ...)
    __attribute__ ((format (printf, 1, 2)));
[[noreturn]] void panic (const char *fmt, ...)
    __attribute__ ((format (printf, 1, 2)));
}

// The panic form with the stack-trace record of position pos.
[[noreturn]] void panic_at (const char *pos, const char *fmt, ...)
    __attribute__ ((format (printf, 2, 3)));

#define ERR_STR1(x) #x
#define ERR_STR(x) ERR_STR1 (x)
#define ERR_POS __FILE__ ":" ERR_STR (__LINE__) // source position text

// Programs write a warning as `warnobj (0) ("%s: %m\n", path)` or
// `warnobj (0) << "text\n"`, and a fatal error or panic with the functions
// above (panic_at (ERR_POS, ...) names the caller's line).  The library's
// own sources use shorter spellings from a header that is not installed,
// so nothing here claims the common names warn, fatal or panic as macros.

// The library's own assertion: a failed condition is a panic whose text is
// assertion "<condition>" failed at <file:line>.
#define libassert(e)                                                           \
  ((e) ? (void) 0                                                              \
       : panic_at (ERR_POS, "assertion \"%s\" failed at %s\n", #e, ERR_POS))

#endif
