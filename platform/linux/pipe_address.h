// Linux only: what the server and the client of the log pipe both need to reach it.
#pragma once

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace platform {

/// Fills `address` with the socket path `name`; false when the name is empty or too long.
inline bool MakePipeAddress(const char* name, sockaddr_un* address) {
  size_t length = strlen(name);
  if (length == 0 || length >= sizeof(address->sun_path)) return false;
  memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, name, length + 1);
  return true;
}

/// A new, unconnected socket of the pipe's kind, with `flags` (such as SOCK_NONBLOCK) added
/// to its type (-1 with errno on failure).
inline int NewPipeSocket(int flags = 0) {
  return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | flags, 0);
}

}  // namespace platform
