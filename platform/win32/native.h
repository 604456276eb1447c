// Win32 backend only, and the one header through which the tools' support code reaches the
// system too: the kernel handle or socket inside a platform handle, the thread's last error
// as an error code, names for the wide calls, the lock that every child-starting call holds,
// and private sockets.
#pragma once

#include <winsock2.h>  // and, through it, windows.h

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/socket.h"

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

/// `text`, UTF-8 as every name inside the programs is (see ProgramArguments), as UTF-16 for
/// the system's wide calls, so that each name reaches the system exactly as it was given.
class WideText {
 public:
  explicit WideText(const char* text);
  ~WideText();
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;

  /// The text; null when it was not valid UTF-8 (ERROR_NO_UNICODE_TRANSLATION) or memory
  /// ran out (ERROR_NOT_ENOUGH_MEMORY), with GetLastError set.
  wchar_t* Get() const { return wide_; }

 private:
  wchar_t* wide_ = nullptr;
};

/// FILETIME counts 100 ns steps from 1601-01-01 UTC.
inline constexpr int64_t kTicksPerSecond = 10000000;
inline constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;

/// Held while handles meant for one new child are inheritable and that child is created,
/// so that no other child started by this process at the same moment inherits them.
void AcquireInheritLock();
void ReleaseInheritLock();

/// Runs `make` (a call of socket() or accept()) and wraps the socket it returns, which no
/// child process inherits. kNoSocket, with WSAGetLastError's error, when it gave none.
///
/// Winsock creates inheritable handles. A child that inherited one would keep the connection
/// open after we close it, so the peer would never see end-of-file. The inherit lock keeps
/// children from starting until the flag is cleared; `make` runs under it.
template <typename Make>
Socket OwnSocket(Make make, std::error_code* error) {
  AcquireInheritLock();
  SOCKET native = make();
  if (native == INVALID_SOCKET) {
    StoreSocketError(error);
  } else {
    SetHandleInformation(reinterpret_cast<HANDLE>(native), HANDLE_FLAG_INHERIT, 0);
  }
  ReleaseInheritLock();
  return WrapSocket<Socket>(native);
}

}  // namespace platform
