// The standard assertion must survive NDEBUG builds: get its declaration
// before anything else can include <assert.h> with NDEBUG set.
#undef NDEBUG
#include <assert.h>

#include "refcnt.h"
#include "err.h"

#include <cstdio>
#include <unistd.h>

bool __globaldestruction_t::started;

void
stdassert_fail (const char *expr, const char *file, unsigned line,
                const char *func)
{
  __assert_fail (expr, file, line, func);
}

// The program name for trace lines; a null name prints no prefix at all.
static const char *
refcnt_progname ()
{
  return progname.cstr ();
}

void
refcnt_warn (const char *op, const std::type_info &type, void *addr, int cnt)
{
  const char *name = refcnt_progname ();
  char buf[1024];
  int n = snprintf (buf, sizeof (buf), "%.128s%s%.64s: %.512s (%p) -> %d\n",
                    name ? name : "", name ? ": " : "", op, type.name (), addr,
                    cnt);
  // The precisions bound the line well below the buffer; clamp anyway.
  if (n < 0)
    return;
  if ((size_t) n >= sizeof (buf))
    n = sizeof (buf) - 1;
  ssize_t w = write (errfd, buf, n);
  (void) w;
}
