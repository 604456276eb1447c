// Linux: a loopback TCP listener, waits and half-closes; relies on SOCK_CLOEXEC, accept4 and poll.
#include "tools/support/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/native.h"

namespace platform {

bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port,
                      std::error_code* error) {
  Socket own = CreateTcpSocket(error);
  if (!IsOpen(own)) return false;
  int fd = Fd(own);
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
    StoreErrno(error);
    close(fd);
    return false;
  }
  *listener = own;
  *bound_port = ntohs(local.sin_port);
  return true;
}

bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection, std::error_code* error) {
  if (WaitReadable(listener, timeout_ms, error) != 1) return false;
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return StoreErrno(error), false;
  *connection = Wrap<Socket>(fd);
  return true;
}

int WaitReadable(Socket socket, int timeout_ms, std::error_code* error) {
  pollfd entry{Fd(socket), POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) StoreErrno(error);
  return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

void ShutdownSending(Socket socket) { shutdown(Fd(socket), SHUT_WR); }

}  // namespace platform
