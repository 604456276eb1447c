// TCP over IPv4 with BSD sockets, using the close-on-exec and no-signal flags of Linux and
// the BSDs.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int Fd(Socket socket) { return static_cast<int>(socket.native); }

int OpenTcpSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

}  // namespace

bool StartSockets() { return true; }

void StopSockets() {}

int LastSocketError() { return errno; }

uint32_t ParseIpv4Address(const char* text) { return inet_addr(text); }

Socket CreateTcpSocket() {
  int fd = OpenTcpSocket();
  return fd < 0 ? kNoSocket : Socket{fd};
}

bool ConnectSocket(Socket socket, uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(port);
  // After EINTR the connection goes on in the background; a second connect would fail
  // with EALREADY, so the interrupted attempt is reported as it is.
  return connect(Fd(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
}

int SendOnce(Socket socket, const void* data, int size) {
  ssize_t sent;
  do {
    sent = send(Fd(socket), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<int>(sent);
}

int ReceiveOnce(Socket socket, void* buffer, int capacity) {
  ssize_t received;
  do {
    // errno holds whatever the C library last left there; clearing it makes a receive
    // that ends at end-of-file report 0, like Winsock's untouched last error.
    errno = 0;
    received = recv(Fd(socket), buffer, static_cast<size_t>(capacity), 0);
  } while (received < 0 && errno == EINTR);
  return static_cast<int>(received);
}

int WaitReadable(Socket socket, int timeout_ms) {
  pollfd entry{Fd(socket), POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

void ShutdownSending(Socket socket) { shutdown(Fd(socket), SHUT_WR); }

void CloseSocket(Socket socket) {
  if (IsOpen(socket)) close(Fd(socket));
}

bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port) {
  int fd = OpenTcpSocket();
  if (fd < 0) return false;
  // Lets a tool or test bind its port again while old connections sit in TIME_WAIT.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(port);
  socklen_t length = sizeof local;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  *listener = Socket{fd};
  *bound_port = ntohs(local.sin_port);
  return true;
}

bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection) {
  if (WaitReadable(listener, timeout_ms) != 1) return false;
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  *connection = Socket{fd};
  return true;
}

}  // namespace platform
