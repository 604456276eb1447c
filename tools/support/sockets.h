// Both halves of TCP over IPv4 as the tools and tests use them: the server half, for what
// stands in for the manager, and whole sends and bounded receives on either side.
#pragma once

#include <cstdint>
#include <string>

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

/// Waits at most `timeout_ms` (forever when negative) until `socket` has data, end-of-file
/// or a pending connection to accept. 1 when it has, 0 on time-out, -1 on failure.
int WaitReadable(Socket socket, int timeout_ms, std::error_code* error = nullptr);

/// Ends our sending direction: the peer reads end-of-file, and we can still receive.
void ShutdownSending(Socket socket);

/// Sends all of `bytes`, with as few sends as the system takes. False when a send failed.
bool SendAll(Socket socket, const std::string& bytes);

/// Waits at most `timeout_ms` for data and appends what one receive of at most `capacity`
/// bytes gets to `*sink`. Returns the bytes received, 0 when the peer has closed its side,
/// -1 on time-out or failure.
int ReceiveWithin(Socket socket, int timeout_ms, int capacity, std::string* sink);

/// Receives up to the first line feed within `timeout_ms` in all, while at most `max_bytes`
/// have come, and sets `*line` to what came before it, without the blanks, tabs and carriage
/// returns at its end. False when no line feed came.
bool ReceiveLine(Socket socket, int timeout_ms, int max_bytes, std::string* line);

/// Appends everything the peer sends to `*sink` until it closes its side; no single wait
/// lasts more than `timeout_ms`. True when the peer closed, false on time-out or failure.
bool ReceiveUntilClosed(Socket socket, int timeout_ms, std::string* sink);

}  // namespace platform
