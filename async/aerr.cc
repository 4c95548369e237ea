#include "aerr.h"
#include "core.h"
#include "err.h"
#include "init.h"
#include "socket.h"
#include "suio.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>

suio *erruio;

static const size_t maxpieces = 1024; // most pieces in one gathered write

void
err_init ()
{
  erruio->clear ();
  int n = fcntl (errfd, F_GETFL);
  if (n != -1)
    fcntl (errfd, F_SETFL, n | O_APPEND);
  _err_output = _err_output_async;
  _err_reset_hook = _err_reset_async;
}

void
err_flush ()
{
  if (_err_output != _err_output_async)
    return;
  make_sync (errfd);
  erruio->output (errfd, -1);
}

static bool
endsline (const iovec &v)
{
  return v.iov_len &&
         static_cast<const char *> (v.iov_base)[v.iov_len - 1] == '\n';
}

void
_err_output_async (suio *uio, int flags)
{
  int saved = errno;
  if (flags & warnobj::abortflag) {
    erruio->copyu (uio);
    make_sync (errfd);
    erruio->output (errfd, -1);
    abort ();
  }
  // A queued line end stays the end of its piece: err_wcb finds line ends
  // by looking at piece ends only.
  if (erruio->resid () && endsline (erruio->iovlim ()[-1]))
    erruio->breakiov ();
  erruio->copyu (uio);
  if (flags & warnobj::exitflag) {
    err_flush ();
    exit (1);
  }
  err_wcb ();
  errno = saved;
}

// The number of leading pieces to write: up to the last piece among the
// first maxpieces that ends a line; -1 (everything) when none does but
// maxpieces are queued; 0 to wait.
static int
wholelines ()
{
  size_t n = erruio->iovcnt ();
  size_t cnt = n < maxpieces ? n : maxpieces;
  const iovec *iov = erruio->iov ();
  while (cnt && !endsline (iov[cnt - 1]))
    cnt--;
  if (!cnt && n >= maxpieces)
    return -1;
  return int (cnt);
}

void
err_wcb ()
{
  int cnt;
  if (!erruio->resid () || _err_output != _err_output_async ||
      !(cnt = wholelines ())) {
    fdcb (errfd, selwrite, nullptr);
    return;
  }
  int r;
  if (globaldestruction)
    r = erruio->output (errfd, cnt);
  else {
    _make_async (errfd);
    r = erruio->output (errfd, cnt);
    make_sync (errfd);
  }
  if (r < 0)
    err_reset ();
  if (!erruio->resid () || globaldestruction)
    fdcb (errfd, selwrite, nullptr);
  else
    fdcb (errfd, selwrite, wrap (err_wcb));
}

void
_err_reset_async ()
{
  erruio->clear ();
  fdcb (errfd, selwrite, nullptr);
}

void
exitflush ()
{
  if (_err_output != _err_output_async)
    err_reset ();
}

// The first module started and the last to finish.  Its async_init runs
// the loop's process set-up and, destroyed last, the loop's shutdown
// (err_flush); exit_exitflush, built after it, runs just before that.
static struct aerr_init {
  async_init ai;
  exitfn exit_exitflush;
  aerr_init () : exit_exitflush (exitflush) { erruio = new suio; }
} aerr_init_obj INITPRIO (INITPRIO_AERR);
