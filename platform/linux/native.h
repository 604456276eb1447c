// Linux backend only: the descriptor inside a platform handle, and errno as an error code.
#pragma once

#include <errno.h>
#include <time.h>

#include "platform/error.h"
#include "platform/handle.h"

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

/// The error in errno now.
inline std::error_code ErrnoError() { return std::error_code(errno, std::generic_category()); }

/// Stores errno's error in `*error` when the caller asked for the reason.
inline void StoreErrno(std::error_code* error) { SetError(error, ErrnoError()); }

/// Sleeps for about `ms` milliseconds (less than a second), between two tries of a retry.
inline void PauseMilliseconds(int ms) {
  timespec pause{0, ms * 1000000L};
  nanosleep(&pause, nullptr);
}

/// Milliseconds of the monotonic clock since `start`.
inline long MillisecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

}  // namespace platform
