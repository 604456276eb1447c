// Win32 backend only (and the tools' support for it): sockets that no child inherits.
#pragma once

#include "platform/socket.h"
#include "platform/win32/inherit_lock.h"
#include "platform/win32/native.h"

namespace platform {

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
