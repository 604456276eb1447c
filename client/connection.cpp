// The synchronous client's connection: one reconnection per failed send, and none within
// the retry interval of a reconnection that found no server.
#include "client/connection.h"

#include "client/system.h"
#include "tobrin/client.h"

namespace client {

namespace {

int Reconnect(Connection* connection, int* error) {
  if (NowMilliseconds() < connection->retry_at) {
    *error = connection->retry_error;
    return TOBRIN_E_NO_SERVER;
  }
  if (platform::ConnectPipe(connection->pipe_name, connection->timeout_ms,
                            platform::PipeWaits::kBlocking, &connection->end,
                            error) == platform::Connected::kYes)
    return 0;
  connection->retry_at = NowMilliseconds() + kRetryIntervalMs;
  connection->retry_error = *error;
  return TOBRIN_E_NO_SERVER;
}

int SendOnce(Connection* connection, const char* const* data, const int* lengths, int count,
             int* error) {
  if (count == 1)
    return platform::SendPipeMessage(connection->end, data[0], lengths[0], error) ? 1 : 0;
  return platform::SendPipeMessages(connection->end, data, lengths, count, error);
}

}  // namespace

int OpenConnection(Connection* connection, const char* pipe_name, int timeout_ms, int* error) {
  connection->pipe_name = pipe_name;
  connection->timeout_ms = timeout_ms > 0 ? timeout_ms : 0;
  connection->end = platform::PipeEnd();
  connection->retry_at = 0;
  connection->retry_error = 0;
  switch (platform::ConnectPipe(pipe_name, connection->timeout_ms, platform::PipeWaits::kBlocking,
                                &connection->end, error)) {
    case platform::Connected::kYes:
      return 0;
    case platform::Connected::kNotAPipe:
      *error = 0;
      return TOBRIN_E_INVALID;
    default:
      return TOBRIN_E_NO_SERVER;
  }
}

int SendOnConnection(Connection* connection, const char* const* data, const int* lengths, int count,
                     int* sent, int* error) {
  int retried_at = -1;
  while (*sent < count) {
    if (!connection->end.IsOpen()) {
      int result = Reconnect(connection, error);
      if (result != 0) return result;
    }
    *sent += SendOnce(connection, data + *sent, lengths + *sent, count - *sent, error);
    if (*sent == count) break;
    if (!platform::IsServerGone(*error)) return TOBRIN_E_SEND;
    DropConnection(connection);
    if (retried_at == *sent) return TOBRIN_E_NO_SERVER;
    retried_at = *sent;
  }
  return 0;
}

void DropConnection(Connection* connection) {
  if (connection->end.IsOpen()) platform::ClosePipe(connection->end);
  connection->end = platform::PipeEnd();
}

}  // namespace client
