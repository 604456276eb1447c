// How the platform layer reports failures.
//
// Every operation that can fail takes `std::error_code* error` last; it may be null when the
// caller has no use for the reason. On failure the operation returns its failure value
// (false, -1, a closed handle or null, as its comment says) and sets `*error`: an errno value
// in std::generic_category(), a GetLastError or WSAGetLastError value in
// std::system_category(). `error->value()` is the system's own number, as messages print it.
#pragma once

#include <system_error>

namespace platform {

/// Stores `code` in `*error` when the caller asked for the reason.
inline void SetError(std::error_code* error, std::error_code code) {
  if (error) *error = code;
}

}  // namespace platform
