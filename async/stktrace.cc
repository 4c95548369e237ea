#include "stktrace.h"

#include <unwind.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// The walk uses the platform's unwinder rather than a chain of saved frame
// pointers: the library and the C library are built without frame pointers,
// so a frame-pointer walk would skip frames or record stray stack words.
// The unwinder follows the call-frame information of each function and
// reads only the stack slots that information names.

namespace {

struct traceback {
  traceback *next;
  char *name; // the record, NUL-terminated; owned by the entry
};

enum : unsigned { nbuckets = 509 };
traceback *stkcache[nbuckets]; // bucket chains; entries are never freed

const char hexdigits[] = "0123456789abcdef";

// Room one entry may take: "0x", every digit of a pointer, a blank.
constexpr size_t entrymax = 2 + 2 * sizeof (uintptr_t) + 1;

struct walk {
  char *buf;       // start of the local buffer
  char *cp;        // first character of the record built so far
  int lim;         // frames still to record; negative: no limit
  uintptr_t from;  // __backtrace's CFA: frames below it are its own
  uint32_t bucket; // hash of the addresses recorded
};

_Unwind_Reason_Code
step (_Unwind_Context *ctx, void *arg)
{
  walk *w = static_cast<walk *> (arg);
  // The unwinder reports a frame with the stack pointer it had at its call
  // (the CFA of the frame it called): the first frame at or above our own
  // CFA is the caller of __backtrace.
  uintptr_t cfa = _Unwind_GetCFA (ctx);
  if (cfa < w->from)
    return _URC_NO_REASON;
  int before; // set in a signal frame: ip is the interrupted instruction
  uintptr_t ip = _Unwind_GetIPInfo (ctx, &before);
  if (cfa % sizeof (void *) || cfa <= reinterpret_cast<uintptr_t> (w->buf) ||
      !ip || size_t (w->cp - w->buf) < entrymax || !w->lim)
    return _URC_NORMAL_STOP;
  if (w->lim > 0)
    w->lim--;

  uintptr_t pc = before ? ip : ip - 1;
  w->bucket = w->bucket * 33 ^ uint32_t (uint64_t (pc) ^ uint64_t (pc) >> 32);
  *--w->cp = ' ';
  do {
    *--w->cp = hexdigits[pc & 15];
    pc >>= 4;
  } while (pc);
  *--w->cp = 'x';
  *--w->cp = '0';
  return _URC_NO_REASON;
}

const char *
intern (const char *rec, uint32_t bucket, const char *file)
{
  traceback **head = &stkcache[bucket % nbuckets];
  for (traceback *t = *head; t; t = t->next)
    if (!strcmp (t->name, rec))
      return t->name;

  size_t n = strlen (rec) + 1;
  traceback *t = static_cast<traceback *> (malloc (sizeof (*t)));
  char *name = t ? static_cast<char *> (malloc (n)) : nullptr;
  if (!name) {
    free (t);
    return file;
  }
  memcpy (name, rec, n);
  t->name = name;
  t->next = *head;
  *head = t;
  return name;
}

} // namespace

// Not inlined, so that its CFA marks where its callers' frames begin.
__attribute__ ((noinline)) const char *
__backtrace (const char *file, int lim)
{
  char buf[STKTRACE_MAX + 1];
  size_t flen = strnlen (file, sizeof (buf));
  if (flen == sizeof (buf))
    return file;
  walk w = {buf, buf + sizeof (buf) - flen - 1, lim,
            reinterpret_cast<uintptr_t> (__builtin_dwarf_cfa ()), 5381};
  memcpy (w.cp, file, flen + 1);
  _Unwind_Backtrace (step, &w);
  return intern (w.cp, w.bucket, file);
}
