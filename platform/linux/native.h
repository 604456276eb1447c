// Linux backend only: the descriptor inside a platform handle, and errno as an error code.
#pragma once

#include <errno.h>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/lock.h"

namespace platform {

struct backend::Access {
  template <typename Kind>
  static int Fd(Handle<Kind> handle) {
    return static_cast<int>(handle.native_);
  }
  template <typename H>
  static H Wrap(int fd) {
    return H(fd);
  }
};

/// The descriptor that `handle` holds (-1 for none).
template <typename Kind>
int Fd(Handle<Kind> handle) {
  return backend::Access::Fd(handle);
}

/// A handle of type H holding `fd` (-1: none).
template <typename H>
H Wrap(int fd) {
  return backend::Access::Wrap<H>(fd);
}

/// Held by a DescriptorHold, and by the pipe server around each accept: the one other place
/// where the server takes descriptors while it runs.
Lock& DescriptorLock();

/// The error in errno now.
inline std::error_code ErrnoError() { return std::error_code(errno, std::generic_category()); }

/// Stores errno's error in `*error` when the caller asked for the reason.
inline void StoreErrno(std::error_code* error) { SetError(error, ErrnoError()); }

}  // namespace platform
