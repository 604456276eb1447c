// Detached threads with small stacks.
#pragma once

#include <cstddef>

#include "platform/error.h"

namespace platform {

using ThreadMain = void (*)(void* argument);

/// Starts `main(argument)` on a new thread that runs detached and is never joined. The
/// stack reserves `stack_bytes` (more under sanitizers, which need it). False when the
/// system cannot create the thread.
bool StartDetachedThread(ThreadMain main, void* argument, size_t stack_bytes,
                         std::error_code* error = nullptr);

}  // namespace platform
