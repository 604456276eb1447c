// The synchronous client's connection: connecting with a real time-out, sending with one
// reconnection when the server has gone, and failing at once for a while after a
// reconnection that found no server.
#pragma once

#include "client/pipe.h"

namespace client {

/// How long sends fail at once after a reconnection that found no server.
inline constexpr int kRetryIntervalMs = 1000;

struct Connection {
  const char* pipe_name;  ///< The client's, kept for reconnecting.
  int timeout_ms;
  platform::PipeEnd end;  ///< Closed while the server is away.
  long long retry_at;     ///< No send tries to connect before this time (NowMilliseconds).
  int retry_error;        ///< The system's error of the reconnection that set retry_at.
};

/// Connects to `pipe_name` (which must outlive the connection), trying for up to
/// `timeout_ms`. 0, TOBRIN_E_NO_SERVER, or TOBRIN_E_INVALID when the name is no pipe; the
/// system's error in `*error`.
int OpenConnection(Connection* connection, const char* pipe_name, int timeout_ms, int* error);

/// Sends messages [*sent, count) in order, advancing `*sent`. A message that finds the server
/// gone is sent once more on a new connection; any failure after that is reported. 0 or a
/// TOBRIN_E_* code with the system's error in `*error`. The caller serialises the calls.
int SendOnConnection(Connection* connection, const char* const* data, const int* lengths, int count,
                     int* sent, int* error);

/// Closes the connection, if it is open; the next send connects again.
void DropConnection(Connection* connection);

}  // namespace client
