// Queued error output while the event loop runs.
//
// err_init switches error output to the queued writer (amain calls it
// once, after ainit); err_flush writes whatever is queued, blocking, and is
// called by the loop's shutdown at exit.  This module's start-up object is
// the first of all modules' and holds the event loop's process start-up.
// Single-threaded.
#ifndef OMBRIX_ASYNC_AERR_H
#define OMBRIX_ASYNC_AERR_H

void err_init ();
void err_flush ();

#endif
