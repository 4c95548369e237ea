/* Linked into every test program and every program the tests start.
   Under QEMU user-mode emulation (the i386 suite on a kernel without
   32-bit support) a program killed by SIGABRT gets a line of the
   emulator's own on its standard error, "qemu: uncaught target signal 6
   (Aborted) - core dumped", which a death test would take for the
   program's.  There, and only there, this abort points standard error at
   /dev/null before the C library's abort runs; everywhere else it is the C
   library's abort and nothing more.  Calls made inside the C library
   (assert) reach its own abort and keep the emulator's line. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

/* The i386 build runs on x86_64 kernels only: there uname reports
   "x86_64" unless the emulator answers for the kernel. */
int
ombrix_emulated (void)
{
#if defined(__i386__)
  struct utsname u;
  return uname (&u) == 0 && strcmp (u.machine, "x86_64") != 0;
#else
  return 0;
#endif
}

void
abort (void)
{
  void (*libc_abort) (void) = (void (*) (void)) dlsym (RTLD_NEXT, "abort");
  if (ombrix_emulated ()) {
    int null = open ("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
      dup2 (null, 2);
  }
  if (libc_abort)
    libc_abort ();
  signal (SIGABRT, SIG_DFL); /* no C library abort found: its effect */
  raise (SIGABRT);
  _exit (134);
}
