// Handles to system objects, opaque to the code that holds them.
#pragma once

#include <cstdint>

namespace platform {

namespace backend {
/// Defined by each backend, and only there: the one place that reads a handle's native value
/// or makes a handle from one.
struct Access;
}  // namespace backend

/// A handle to one kind of system object; `Kind` only tells the kinds apart. Callers copy it,
/// keep it and ask whether it is open; the native value inside belongs to the backend.
template <typename Kind>
class Handle {
 public:
  /// No object.
  constexpr Handle() = default;

  /// True when the handle names an object.
  constexpr bool IsOpen() const { return native_ != -1; }

 private:
  friend struct backend::Access;
  constexpr explicit Handle(intptr_t native) : native_(native) {}

  intptr_t native_ = -1;
};

/// True when `handle` names an object.
template <typename Kind>
constexpr bool IsOpen(Handle<Kind> handle) {
  return handle.IsOpen();
}

}  // namespace platform
