// Win32 backend only: the kernel handle or socket inside a platform handle, and the thread's
// last error as an error code.
#pragma once

#include <winsock2.h>  // and, through it, windows.h

#include "platform/error.h"
#include "platform/handle.h"

namespace platform {

struct backend::Access {
  template <typename Kind>
  static intptr_t Native(Handle<Kind> handle) {
    return handle.native_;
  }
  template <typename H>
  static H Wrap(intptr_t native) {
    return H(native);
  }
};

/// The kernel handle that `handle` holds (INVALID_HANDLE_VALUE for none).
template <typename Kind>
HANDLE ToHandle(Handle<Kind> handle) {
  return reinterpret_cast<HANDLE>(backend::Access::Native(handle));
}

/// The socket that `handle` holds (INVALID_SOCKET for none).
template <typename Kind>
SOCKET ToSocket(Handle<Kind> handle) {
  return static_cast<SOCKET>(backend::Access::Native(handle));
}

/// A handle of type H holding the kernel handle `h` (INVALID_HANDLE_VALUE: none).
template <typename H>
H Wrap(HANDLE h) {
  return backend::Access::Wrap<H>(reinterpret_cast<intptr_t>(h));
}

/// A handle of type H holding the socket `s` (INVALID_SOCKET: none).
template <typename H>
H WrapSocket(SOCKET s) {
  return backend::Access::Wrap<H>(static_cast<intptr_t>(s));
}

/// The system's error code `code` (GetLastError, WSAGetLastError) as an error code.
inline std::error_code SystemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

/// Stores GetLastError's error in `*error` when the caller asked for the reason.
inline void StoreLastError(std::error_code* error) { SetError(error, SystemError(GetLastError())); }

/// Stores WSAGetLastError's error in `*error` when the caller asked for the reason.
inline void StoreSocketError(std::error_code* error) {
  SetError(error, SystemError(static_cast<DWORD>(WSAGetLastError())));
}

}  // namespace platform
