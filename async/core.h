// The event loop's process start-up.
//
// Every module that needs the loop's process set-up holds one static
// async_init object; the first one constructed runs start() before main
// (SIGPIPE ignored, descriptor limits set), the last one destroyed at exit
// runs stop().  Single-threaded; nothing here is safe to call from a
// signal handler.
#ifndef OMBRIX_ASYNC_CORE_H
#define OMBRIX_ASYNC_CORE_H

class async_init {
  static int count; // live async_init objects
  static void start ();
  static void stop ();

public:
  async_init ()
  {
    if (!count++)
      start ();
  }
  ~async_init ()
  {
    if (!--count)
      stop ();
  }
};

#endif
