// Win32: a loopback TCP listener with Winsock 2.2; relies on the inherit lock, as sockets do.
#include "tools/support/sockets.h"

#include "platform/win32/own_socket.h"

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

}  // namespace platform
