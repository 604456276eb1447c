// TCP over IPv4 with Winsock 2.2.
#include "platform/socket.h"

#include <winsock2.h>

#include "platform/win32/inherit_lock.h"

namespace platform {

namespace {

SOCKET Native(Socket socket) { return static_cast<SOCKET>(socket.native); }

// Winsock creates inheritable handles. A child that inherited one would keep the
// connection open after we close it, so the peer would never see end-of-file. The inherit
// lock keeps children from starting until the flag is cleared; `make` runs under it.
template <typename Make>
Socket Own(Make make) {
  AcquireInheritLock();
  SOCKET native = make();
  if (native != INVALID_SOCKET) {
    int error = WSAGetLastError();
    SetHandleInformation(reinterpret_cast<HANDLE>(native), HANDLE_FLAG_INHERIT, 0);
    WSASetLastError(error);
  }
  ReleaseInheritLock();
  return native == INVALID_SOCKET ? kNoSocket : Socket{static_cast<intptr_t>(native)};
}

SOCKET NewTcpSocket() { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

}  // namespace

bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSockets() { WSACleanup(); }

int LastSocketError() { return WSAGetLastError(); }

uint32_t ParseIpv4Address(const char* text) { return inet_addr(text); }

Socket CreateTcpSocket() { return Own(NewTcpSocket); }

bool ConnectSocket(Socket socket, uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  return connect(Native(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
}

int SendOnce(Socket socket, const void* data, int size) {
  return send(Native(socket), static_cast<const char*>(data), size, 0);
}

int ReceiveOnce(Socket socket, void* buffer, int capacity) {
  return recv(Native(socket), static_cast<char*>(buffer), capacity, 0);
}

int WaitReadable(Socket socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(socket), &readable);
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
  return ready == SOCKET_ERROR ? -1 : (ready > 0 ? 1 : 0);
}

void ShutdownSending(Socket socket) { shutdown(Native(socket), SD_SEND); }

void CloseSocket(Socket socket) {
  if (IsOpen(socket)) closesocket(Native(socket));
}

bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port) {
  Socket own = Own(NewTcpSocket);
  if (!IsOpen(own)) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(port);
  int length = sizeof local;
  if (bind(Native(own), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(Native(own), 16) != 0 ||
      getsockname(Native(own), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    int error = WSAGetLastError();
    closesocket(Native(own));
    WSASetLastError(error);
    return false;
  }
  *listener = own;
  *bound_port = ntohs(local.sin_port);
  return true;
}

bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection) {
  if (WaitReadable(listener, timeout_ms) != 1) return false;
  Socket accepted = Own([listener] { return accept(Native(listener), nullptr, nullptr); });
  if (!IsOpen(accepted)) return false;
  *connection = accepted;
  return true;
}

}  // namespace platform
