// Win32: a loopback TCP listener, waits and half-closes with Winsock 2.2; relies on the inherit
// lock, as sockets do.
#include "tools/support/sockets.h"

#include "platform/win32/native.h"

namespace platform {

bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port,
                      std::error_code* error) {
  Socket own = CreateTcpSocket(error);
  if (!IsOpen(own)) return false;
  SOCKET native = ToSocket(own);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(port);
  int length = sizeof local;
  if (bind(native, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(native, 16) != 0 ||
      getsockname(native, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    StoreSocketError(error);
    closesocket(native);
    return false;
  }
  *listener = own;
  *bound_port = ntohs(local.sin_port);
  return true;
}

bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection, std::error_code* error) {
  if (WaitReadable(listener, timeout_ms, error) != 1) return false;
  Socket accepted =
      OwnSocket([listener] { return accept(ToSocket(listener), nullptr, nullptr); }, error);
  if (!IsOpen(accepted)) return false;
  *connection = accepted;
  return true;
}

int WaitReadable(Socket socket, int timeout_ms, std::error_code* error) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(ToSocket(socket), &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
  if (ready == SOCKET_ERROR) StoreSocketError(error);
  return ready == SOCKET_ERROR ? -1 : (ready > 0 ? 1 : 0);
}

void ShutdownSending(Socket socket) { shutdown(ToSocket(socket), SD_SEND); }

}  // namespace platform
