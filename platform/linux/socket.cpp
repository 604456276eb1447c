// Linux: TCP over IPv4 with BSD sockets; relies on SOCK_CLOEXEC and MSG_NOSIGNAL.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/linux/native.h"

namespace platform {

bool StartSockets(std::error_code*) { return true; }

void StopSockets() {}

uint32_t ParseIpv4Address(const char* text) { return inet_addr(text); }

Socket CreateTcpSocket(std::error_code* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) StoreErrno(error);
  return Wrap<Socket>(fd);
}

bool ConnectSocket(Socket socket, uint32_t address, uint16_t port, std::error_code* error) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  // After EINTR the connection goes on in the background; a second connect would fail
  // with EALREADY, so the interrupted attempt is reported as it is.
  if (connect(Fd(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return true;
  StoreErrno(error);
  return false;
}

bool SetReceiveTimeout(Socket socket, int timeout_ms, std::error_code* error) {
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0) return true;
  StoreErrno(error);
  return false;
}

int SendOnce(Socket socket, const void* data, int size, std::error_code* error) {
  ssize_t sent;
  do {
    sent = send(Fd(socket), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) StoreErrno(error);
  return static_cast<int>(sent);
}

int ReceiveOnce(Socket socket, void* buffer, int capacity, std::error_code* error) {
  ssize_t received;
  do {
    received = recv(Fd(socket), buffer, static_cast<size_t>(capacity), 0);
  } while (received < 0 && errno == EINTR);
  SetError(error, received < 0 ? ErrnoError() : std::error_code());
  return static_cast<int>(received);
}

void CloseSocket(Socket socket) {
  if (IsOpen(socket)) close(Fd(socket));
}

}  // namespace platform
