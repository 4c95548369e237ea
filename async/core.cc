#include "core.h"
#include "init.h"

#include <csignal>
#include <cstring>

int async_init::count;

void
async_init::start ()
{
  struct sigaction sa;
  memset (&sa, 0, sizeof (sa));
  sa.sa_handler = SIG_IGN;
  sigemptyset (&sa.sa_mask);
  sigaction (SIGPIPE, &sa, nullptr);
}

void
async_init::stop ()
{
}

static async_init core_async_init INITPRIO (INITPRIO_CORE);
