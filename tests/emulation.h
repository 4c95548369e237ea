// Whether a test program runs under QEMU user-mode emulation (the i386
// suite on a kernel without 32-bit support; see scripts/install-deps).
// Tests whose subject the emulator does not reproduce skip themselves
// there, and only there, with a one-line reason that make test32 lists:
//   if (emulated ()) GTEST_SKIP () << emulation_skip << "why";
// The answer comes from tests/shim/emulated_abort.c, linked into every
// test program.
#ifndef OMBRIX_TESTS_EMULATION_H
#define OMBRIX_TESTS_EMULATION_H

extern "C" int ombrix_emulated (void);

inline bool
emulated ()
{
  return ombrix_emulated () != 0;
}

const char *const emulation_skip = "under emulation: ";

#endif
