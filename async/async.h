// The support library's whole public interface: include this one header.
// Each module's header says who owns what and how long pointers stay valid.
#ifndef OMBRIX_ASYNC_ASYNC_H
#define OMBRIX_ASYNC_ASYNC_H

#include "init.h"
#include "async/version.h"
#include "malloc.h"
#include "convertint.h"
#include "msb.h"
#include "vec.h"
#include "suio.h"
#include "suio_vuprintf.h"
#include "str.h"
#include "rxx.h"
#include "armor.h"
#include "myname.h"
#include "myaddrs.h"
#include "err.h"
#include "stktrace.h"
#include "suidprotect.h"
#include "clock_gettime.h"
#include "refcnt.h"
#include "callback.h"
#include "ihash.h"
#include "itree.h"
#include "core.h"
#include "../crypt/mdblock.h"
#include "../crypt/sha1.h"

#endif
