// Stack-trace records: one text line naming the active call chain.
//
// __backtrace (file, lim) returns "0x<pc> 0x<pc> ... <file>": for each of
// up to lim calling frames (lim < 0: no limit), outermost first, an address
// inside the call instruction (the return address minus one) in lower-case
// hex without leading zeros, then the caller's position text ("file:line").
// The frame that called __backtrace comes last, directly before the
// position.  A record is at most STKTRACE_MAX characters; frames that do not
// fit are left out at the outer end.
//
// Every distinct record is copied once into a process-wide cache that is
// never freed: the result stays valid until the process ends, and the same
// record asked for again returns the same pointer.  A position longer than
// STKTRACE_MAX, or a failed allocation, returns file itself.  Nothing is
// reported.  Single-threaded: the cache is extended without a lock.
#ifndef OMBRIX_ASYNC_STKTRACE_H
#define OMBRIX_ASYNC_STKTRACE_H

enum { STKTRACE_MAX = 255 }; // longest record, in characters

const char *__backtrace (const char *file, int lim);

#endif
