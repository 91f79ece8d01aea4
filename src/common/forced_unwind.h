// The forced unwinding that ends a thread (pthread_exit, thread cancellation;
// the interpreter ends its daemon threads that way at exit) must pass
// through every catch-all: a `catch (...)` that swallows it aborts the
// process. Put VARN_RETHROW_FORCED_UNWIND in front of such a catch-all.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define VARN_RETHROW_FORCED_UNWIND      \
    catch (abi::__forced_unwind&) {     \
        throw;                          \
    }
#else
#define VARN_RETHROW_FORCED_UNWIND
#endif
