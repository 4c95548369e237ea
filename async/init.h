// Start-up order of the library's modules.
//
// Every module that has work to do before main (or at exit) declares one
// static start-up object and gives it its place here with INITPRIO:
//
//   static struct foo_init { foo_init (); ~foo_init (); }
//     foo_init_obj INITPRIO (INITPRIO_FOO);
//
// Constructors run in ascending priority, whatever the link order; exit-time
// destructors run in the reverse order, so the first module to start is the
// last to finish.  To add a module, pick a free number between its
// neighbours below (the gaps leave room) and use it for its start-up object.
// Objects without a priority (including main's own statics) are built after
// all of these and destroyed before them.
//
// Priorities 0-100 belong to the C++ runtime; we use 1000 and up.
#ifndef OMBRIX_ASYNC_INIT_H
#define OMBRIX_ASYNC_INIT_H

#define INITPRIO(p) __attribute__ ((init_priority (p)))

#define INITPRIO_AERR 1010    // queued error output; starts the event loop
#define INITPRIO_SOCKET 1020  // reads SNDBUFSIZE, RCVBUFSIZE, BINDADDR
#define INITPRIO_MYADDRS 1030 // host addresses
#define INITPRIO_ITREE 1040   // trees
#define INITPRIO_IHASH 1050   // hash tables
#define INITPRIO_CORE 1060    // event loop: timer tree, child table
#define INITPRIO_PRINTF 1070  // formatted output
#define INITPRIO_SUIO 1080    // scatter-gather buffer
#define INITPRIO_STR 1090     // strings
#define INITPRIO_RXX 1100     // regular expressions: pattern allocator
#define INITPRIO_REFCNT 1110  // cbv_null, cbi_null
#define INITPRIO_MYNAME 1120  // host name
#define INITPRIO_MALLOC 1130  // memory
#define INITPRIO_ERR 1140     // diagnostics
#define INITPRIO_CONVERT 1150 // number conversion
#define INITPRIO_ARMOR 1160   // base-32 / base-64
#define INITPRIO_SHA1 1170    // SHA-1
#define INITPRIO_MAIN 1180    // the server entry
#define INITPRIO_HTTP 1190    // HTTP module: compiles its patterns

#endif
