// The support library's whole public interface: include this one header.
#ifndef OMBRIX_ASYNC_ASYNC_H
#define OMBRIX_ASYNC_ASYNC_H

#include "init.h"
#include "err.h"
#include "core.h"

#endif
