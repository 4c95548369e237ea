// Whether the process may trust its environment.
//
// A program that runs with privileges other than those of the user who
// started it (set-user-id or set-group-id) sets suidprotect before anything
// reads the environment, preferably from a static initialiser that runs
// before the library's start-up: suidsafe decides once, on its first call,
// and never changes its answer.  execprotect is a second flag that only
// makes execsafe say no.
//
// safegetenv returns a pointer into the environment, valid until the
// variable is changed; xputenv hands the environment a private copy of its
// argument that is never freed.  Nothing here reports errors; plain C
// names; single-threaded.
#ifndef OMBRIX_ASYNC_SUIDPROTECT_H
#define OMBRIX_ASYNC_SUIDPROTECT_H

extern "C" {
extern int suidprotect; // distrust the environment when the ids differ
extern int execprotect; // makes execsafe 0 without touching suidsafe

int suidsafe (void); // 1: the environment may be trusted, else 0
int execsafe (void); // 1 when neither flag is set, else 0
char *safegetenv (const char *name); // getenv, or null when not suidsafe
int xputenv (const char *s);         // putenv of a copy of s; -1 if no copy
}

#endif
