#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace quillet {

// A worker thread gives way to the window's: on two cores, threads that
// read and one that paints share them, and the one that paints must not
// wait a scheduler's slice behind the others. Once per thread, from it.
inline void YieldToWindow()
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

}  // namespace quillet
