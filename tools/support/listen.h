// The server half of TCP over IPv4, for the tools and tests that stand in for the manager.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace platform {

/// Listens on 127.0.0.1 at `port` (0: any free port). Sets `*listener` and `*bound_port`
/// (the port actually bound, in host byte order). False on failure.
bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port,
                      std::error_code* error = nullptr);

/// Waits at most `timeout_ms` (forever when negative) for a connection on `listener` and
/// accepts it into `*connection`, not inherited by child processes. False on time-out (no
/// error set) or failure.
bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection,
                      std::error_code* error = nullptr);

}  // namespace platform
