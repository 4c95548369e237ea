#include "callback.h"
#include "init.h"

// Built by the compiler, not by start-up code: the objects below must be
// usable before any module's start-up runs.
#if defined(__clang__)
#define CONSTINIT [[clang::require_constant_initialization]]
#else
#define CONSTINIT __constinit
#endif

void
ignore_void ()
{
}

void
ignore_int (int)
{
}

namespace {

// The count part of the static do-nothing callbacks: it frees nothing,
// whatever the count does.
struct bsscount final : refcount {
  constexpr bsscount () {}
  void refcount_call_finalize () override {}
};

CONSTINIT bssobj<bsscount> nullcnt;
CONSTINIT bssobj<callback_0_0<void>> nullv (ignore_void);
CONSTINIT bssobj<callback_1_0<void, int>> nulli (ignore_int);

// What cbv_null and cbi_null are outside start-up to exit.
CONSTINIT bssobj<cbv> staticv (&nullcnt.v, &nullv.v);
CONSTINIT bssobj<cbi> statici (&nullcnt.v, &nulli.v);

CONSTINIT bssobj<cbv> curv (&nullcnt.v, &nullv.v);
CONSTINIT bssobj<cbi> curi (&nullcnt.v, &nulli.v);

} // namespace

const cbv &cbv_null = curv.v;
const cbi &cbi_null = curi.v;

// Exit drops the counted ones; holders of a copy keep theirs alive.
static struct callback_init {
  callback_init ()
  {
    curv.v = wrap (ignore_void);
    curi.v = wrap (ignore_int);
  }
  ~callback_init ()
  {
    curv.v = staticv.v;
    curi.v = statici.v;
  }
} callback_init_obj INITPRIO (INITPRIO_REFCNT);
