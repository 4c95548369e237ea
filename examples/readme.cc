// A timer writes three lines into a pipe; a descriptor callback reads them.
#include "async/async.h"
#include <unistd.h>

static int fds[2];
static suio in; // bytes read, not yet a whole line

static void
tick (int n)
{
  strbuf ("tick %d\n", n).tosuio ()->output (fds[1]);
  if (n > 1)
    delaycb (0, 100000000, wrap (tick, n - 1)); // again in 0.1 s
  else
    close (fds[1]);
}

static void
readable ()
{
  if (in.input (fds[0], 4096) == 0) { // end of file: the writer is done
    warnobj (0) ("done\n");
    exit (0);
  }
  while (str line = suio_getline (&in))
    warnobj (0) << line << "\n";
}

int
main ()
{
  if (pipe (fds) < 0)
    fatal ("pipe: %m\n");
  make_async (fds[0]);
  fdcb (fds[0], selread, wrap (readable));
  delaycb (0, 100000000, wrap (tick, 3));
  amain ();
}
