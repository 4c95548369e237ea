#include "aerr.h"
#include "core.h"
#include "init.h"

// Error output stays synchronous until the queued writer exists: both
// hooks have nothing to do yet.
void
err_init ()
{
}

void
err_flush ()
{
}

// The first module started: its async_init runs the loop's process set-up,
// and, destroyed last, its shutdown.
static async_init aerr_async_init INITPRIO (INITPRIO_AERR);
