// The client library's surface: one connection per client behind one lock, refused sizes,
// and one reconnection when a send finds the server gone.
#include "tobrin/client.h"

#include <cstring>
#include <mutex>
#include <new>

#include "client/pipe.h"

static_assert(TOBRIN_MAX_MESSAGE == platform::kMaxMessage, "the pipe's message limit");

struct tobrin_client {
  std::mutex mutex;
  char* pipe_name = nullptr;
  int timeout_ms = 0;
  platform::PipeEnd end;  ///< Closed while the server is away.
};

namespace {

thread_local int t_last_error = 0;

int Fail(int code, const std::error_code& error) {
  t_last_error = error.value();
  return code;
}

int Refuse(int code) {
  t_last_error = 0;
  return code;
}

void Disconnect(tobrin_client* client) {
  platform::ClosePipe(client->end);
  client->end = platform::PipeEnd();
}

int SendOnce(tobrin_client* client, const char* const* data, const int* lengths, int count,
             std::error_code* error) {
  if (count == 1) return platform::SendPipeMessage(client->end, data[0], lengths[0], error) ? 1 : 0;
  return platform::SendPipeMessages(client->end, data, lengths, count, error);
}

// Sends messages [*sent, count) with the client's lock held. A message that finds the
// server gone is sent once more on a new connection; any failure after that is reported.
int SendLocked(tobrin_client* client, const char* const* data, const int* lengths, int count,
               int* sent) {
  std::error_code error;
  int retried_at = -1;
  while (*sent < count) {
    if (!platform::IsOpen(client->end) &&
        !platform::ConnectToPipe(client->pipe_name, client->timeout_ms, &client->end, &error))
      return Fail(TOBRIN_E_NO_SERVER, error);
    *sent += SendOnce(client, data + *sent, lengths + *sent, count - *sent, &error);
    if (*sent == count) break;
    if (!platform::IsServerGone(error)) return Fail(TOBRIN_E_SEND, error);
    Disconnect(client);
    if (retried_at == *sent) return Fail(TOBRIN_E_NO_SERVER, error);
    retried_at = *sent;
  }
  return 0;
}

}  // namespace

tobrin_client* tobrin_connect(const char* pipe_name, int timeout_ms) {
  if (!pipe_name) return Refuse(TOBRIN_E_INVALID), nullptr;
  size_t length = std::strlen(pipe_name);
  tobrin_client* client = new (std::nothrow) tobrin_client;
  char* name = new (std::nothrow) char[length + 1];
  if (!client || !name) {
    delete client;
    delete[] name;
    return Refuse(TOBRIN_E_NO_MEMORY), nullptr;
  }
  std::memcpy(name, pipe_name, length + 1);
  client->pipe_name = name;
  client->timeout_ms = timeout_ms > 0 ? timeout_ms : 0;
  std::error_code error;
  if (!platform::ConnectToPipe(name, client->timeout_ms, &client->end, &error)) {
    tobrin_close(client);
    return Fail(TOBRIN_E_NO_SERVER, error), nullptr;
  }
  return client;
}

int tobrin_send(tobrin_client* client, const void* data, size_t length) {
  if (!client || (!data && length > 0)) return Refuse(TOBRIN_E_INVALID);
  if (length > TOBRIN_MAX_MESSAGE) return Refuse(TOBRIN_E_TOO_LONG);
  const char* bytes = static_cast<const char*>(data);
  int size = static_cast<int>(length);
  int sent = 0;
  std::lock_guard<std::mutex> lock(client->mutex);
  return SendLocked(client, &bytes, &size, 1, &sent);
}

int tobrin_send_many(tobrin_client* client, const tobrin_message* messages, size_t count,
                     size_t* sent) {
  if (sent) *sent = 0;
  if (!client || (!messages && count > 0)) return Refuse(TOBRIN_E_INVALID);
  for (size_t i = 0; i < count; ++i) {
    if (!messages[i].data && messages[i].length > 0) return Refuse(TOBRIN_E_INVALID);
    if (messages[i].length > TOBRIN_MAX_MESSAGE) return Refuse(TOBRIN_E_TOO_LONG);
  }
  // The messages go in groups of what one system call takes, all under one hold of the lock.
  enum { kGroup = 64 };
  const char* data[kGroup];
  int lengths[kGroup];
  std::lock_guard<std::mutex> lock(client->mutex);
  for (size_t first = 0; first < count; first += kGroup) {
    int group = count - first < kGroup ? static_cast<int>(count - first) : kGroup;
    for (int i = 0; i < group; ++i) {
      data[i] = static_cast<const char*>(messages[first + i].data);
      lengths[i] = static_cast<int>(messages[first + i].length);
    }
    int group_sent = 0;
    int result = SendLocked(client, data, lengths, group, &group_sent);
    if (sent) *sent = first + static_cast<size_t>(group_sent);
    if (result != 0) return result;
  }
  return 0;
}

void tobrin_close(tobrin_client* client) {
  if (!client) return;
  if (platform::IsOpen(client->end)) platform::ClosePipe(client->end);
  delete[] client->pipe_name;
  delete client;
}

int tobrin_last_error(void) { return t_last_error; }

const char* tobrin_strerror(int code) {
  switch (code) {
    case 0:
      return "success";
    case TOBRIN_E_INVALID:
      return "invalid argument";
    case TOBRIN_E_TOO_LONG:
      return "message longer than 32768 bytes";
    case TOBRIN_E_NO_SERVER:
      return "no log server reachable within the connect time-out";
    case TOBRIN_E_SEND:
      return "the system refused the send";
    case TOBRIN_E_NO_MEMORY:
      return "out of memory";
    default:
      return "unknown error";
  }
}
