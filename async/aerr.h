// Queued error output while the event loop runs.
//
// err_init (called by amain once, after ainit) replaces the synchronous
// writer with _err_output_async: messages are copied into one process-wide
// queue (erruio), and whole lines are written whenever errfd accepts them
// without blocking; a partial line waits for its end.  Fatal errors and
// panics write everything queued, blocking, before the process ends, and
// err_flush (the loop's shutdown at exit) writes what is left.  A failed
// write other than EAGAIN drops the queue and reinstates the synchronous
// writer.  errfd is blocking except during err_wcb's write.
//
// The queue is never freed, so messages issued by exit-time destructors
// still go out.  This module's start-up object is the first of all
// modules' and holds the event loop's process start-up.  errno is kept
// across the writer.  Single-threaded.
#ifndef OMBRIX_ASYNC_AERR_H
#define OMBRIX_ASYNC_AERR_H

class suio;

extern suio *erruio; // the queue; set at start-up, never freed

void err_init ();
void err_flush (); // queued writer only: write the whole queue, blocking
void _err_output_async (suio *uio, int flags);
void err_wcb ();          // one non-blocking write of whole lines
void _err_reset_async (); // drops the queue and the write callback
void exitflush ();        // at exit: err_reset unless the queue is in force

// A static object that runs fn when it is destroyed.
struct exitfn {
  void (*const fn) ();
  explicit exitfn (void (*f) ()) : fn (f) {}
  ~exitfn () { fn (); }
};

#endif
