// Win32: TCP over IPv4 with Winsock 2.2; relies on the inherit lock to keep sockets private.
#include "platform/socket.h"

#include "platform/win32/native.h"

namespace platform {

bool StartSockets(std::error_code* error) {
  WSADATA data;
  int failed = WSAStartup(MAKEWORD(2, 2), &data);
  if (failed != 0) SetError(error, SystemError(static_cast<DWORD>(failed)));
  return failed == 0;
}

void StopSockets() { WSACleanup(); }

uint32_t ParseIpv4Address(const char* text) { return inet_addr(text); }

Socket CreateTcpSocket(std::error_code* error) {
  return OwnSocket([] { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }, error);
}

bool ConnectSocket(Socket socket, uint32_t address, uint16_t port, std::error_code* error) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  if (connect(ToSocket(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return true;
  StoreSocketError(error);
  return false;
}

bool SetReceiveTimeout(Socket socket, int timeout_ms, std::error_code* error) {
  DWORD limit = static_cast<DWORD>(timeout_ms);
  if (setsockopt(ToSocket(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                 sizeof limit) == 0)
    return true;
  StoreSocketError(error);
  return false;
}

int SendOnce(Socket socket, const void* data, int size, std::error_code* error) {
  int sent = send(ToSocket(socket), static_cast<const char*>(data), size, 0);
  if (sent == SOCKET_ERROR) StoreSocketError(error);
  return sent;
}

int ReceiveOnce(Socket socket, void* buffer, int capacity, std::error_code* error) {
  int received = recv(ToSocket(socket), static_cast<char*>(buffer), capacity, 0);
  if (received == SOCKET_ERROR) {
    StoreSocketError(error);
  } else {
    SetError(error, std::error_code());
  }
  return received;
}

void CloseSocket(Socket socket) {
  if (IsOpen(socket)) closesocket(ToSocket(socket));
}

}  // namespace platform
