// The client library's surface: checks the arguments, then hands each call to the
// synchronous connection or the asynchronous client; keeps every client in one list, so
// that a forked child can renew what it inherited.
#include "tobrin/client.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "client/async.h"
#include "client/connection.h"

static_assert(TOBRIN_MAX_MESSAGE == platform::kMaxMessage, "the pipe's message limit");

struct tobrin_client {
  client::Lock lock;              ///< Serialises the synchronous client's sends.
  client::Connection connection;  ///< The synchronous client's.
  client::Async* async;           ///< The asynchronous client's state, or null.
  char* pipe_name;
  tobrin_client* previous;  ///< In the list of clients.
  tobrin_client* next;
};

namespace {

tobrin_client* g_clients = nullptr;  // Guarded by the process lock.

int Fail(int code, int error) {
  client::StoreThreadError(error);
  return code;
}

int Refuse(int code) { return Fail(code, 0); }

void Enlist(tobrin_client* client) {
  client::WatchForks();
  client::AcquireProcessLock();
  client->next = g_clients;
  if (g_clients) g_clients->previous = client;
  g_clients = client;
  client::ReleaseProcessLock();
}

void Unlist(tobrin_client* client) {
  client::AcquireProcessLock();
  if (client->previous) client->previous->next = client->next;
  if (client->next) client->next->previous = client->previous;
  if (g_clients == client) g_clients = client->next;
  client::ReleaseProcessLock();
}

// A client with its own copy of the name and its lock ready; null without memory.
tobrin_client* NewClient(const char* pipe_name) {
  tobrin_client* client = static_cast<tobrin_client*>(calloc(1, sizeof(tobrin_client)));
  size_t length = strlen(pipe_name);
  char* name = static_cast<char*>(malloc(length + 1));
  if (!client || !name) {
    free(client);
    free(name);
    return nullptr;
  }
  memcpy(name, pipe_name, length + 1);
  client->pipe_name = name;
  client->connection.end = platform::PipeEnd();
  client::InitLock(&client->lock);
  return client;
}

void FreeClient(tobrin_client* client) {
  client::FreeLock(&client->lock);
  free(client->pipe_name);
  free(client);
}

bool Covers(const tobrin_options* options, size_t offset, size_t size) {
  return options->size >= offset + size;
}

// The fields that the caller's struct holds, by its size; the others keep their defaults.
bool ReadOptions(const tobrin_options* given, tobrin_options* options) {
  tobrin_options_init(options);
  if (!given) return true;
  if (!Covers(given, offsetof(tobrin_options, when_full), sizeof(int))) return false;
  options->connect_timeout_ms = given->connect_timeout_ms > 0 ? given->connect_timeout_ms : 0;
  options->buffer_bytes = given->buffer_bytes;
  options->flush_ms = given->flush_ms > 0 ? given->flush_ms : 0;
  options->when_full = given->when_full;
  if (Covers(given, offsetof(tobrin_options, drop_notice), sizeof(int)))
    options->drop_notice = given->drop_notice != 0;
  return options->when_full == TOBRIN_WAIT || options->when_full == TOBRIN_DROP;
}

int CheckMessage(const void* data, size_t length) {
  if (!data && length > 0) return TOBRIN_E_INVALID;
  return length > TOBRIN_MAX_MESSAGE ? TOBRIN_E_TOO_LONG : 0;
}

int SendSynchronously(tobrin_client* client, const char* const* data, const int* lengths, int count,
                      int* sent) {
  int error = 0;
  client::Acquire(&client->lock);
  int result = client::SendOnConnection(&client->connection, data, lengths, count, sent, &error);
  client::Release(&client->lock);
  return result == 0 ? 0 : Fail(result, error);
}

int PutAsynchronously(tobrin_client* client, const tobrin_message* messages, size_t count,
                      size_t* put) {
  int error = 0;
  int result = client::PutMessages(client->async, messages, count, put, &error);
  return result == 0 ? 0 : Fail(result, error);
}

}  // namespace

// The list stays as it is while a fork copies the process; in the child, every client's
// locks are made anew, since a thread that no longer exists there may have held them.
namespace client {

void BeforeFork() { AcquireProcessLock(); }

void AfterForkInParent() { ReleaseProcessLock(); }

void AfterForkInChild() {
  for (tobrin_client* client = g_clients; client; client = client->next) {
    InitLock(&client->lock);
    DropConnection(&client->connection);
    client->connection.retry_at = 0;
    if (client->async) ForgetParentsState(client->async);
  }
  ReleaseProcessLock();
}

}  // namespace client

void tobrin_options_init(tobrin_options* options) {
  if (!options) return;
  memset(options, 0, sizeof(*options));
  options->size = sizeof(*options);
  options->connect_timeout_ms = 5000;
  options->buffer_bytes = 1048576;
  options->flush_ms = 100;
  options->when_full = TOBRIN_DROP;
  options->drop_notice = 1;
}

tobrin_client* tobrin_connect(const char* pipe_name, int timeout_ms) {
  if (!pipe_name) return Refuse(TOBRIN_E_INVALID), nullptr;
  tobrin_client* client = NewClient(pipe_name);
  if (!client) return Refuse(TOBRIN_E_NO_MEMORY), nullptr;
  int error = 0;
  int result = client::OpenConnection(&client->connection, client->pipe_name, timeout_ms, &error);
  if (result != 0) {
    FreeClient(client);
    return Fail(result, error), nullptr;
  }
  Enlist(client);
  return client;
}

tobrin_client* tobrin_open(const char* pipe_name, const tobrin_options* options) {
  tobrin_options read;
  if (!pipe_name || !ReadOptions(options, &read)) return Refuse(TOBRIN_E_INVALID), nullptr;
  if (read.buffer_bytes == 0) return tobrin_connect(pipe_name, read.connect_timeout_ms);
  if (!platform::MayBePipe(pipe_name)) return Refuse(TOBRIN_E_INVALID), nullptr;
  tobrin_client* client = NewClient(pipe_name);
  if (!client) return Refuse(TOBRIN_E_NO_MEMORY), nullptr;
  int error = 0;
  client->async = client::OpenAsync(client->pipe_name, read, &error);
  if (!client->async) {
    FreeClient(client);
    return Fail(TOBRIN_E_NO_MEMORY, error), nullptr;
  }
  Enlist(client);
  return client;
}

int tobrin_send(tobrin_client* client, const void* data, size_t length) {
  int invalid = client ? CheckMessage(data, length) : TOBRIN_E_INVALID;
  if (invalid) return Refuse(invalid);
  if (client->async) {
    tobrin_message message = {data, length};
    size_t put = 0;
    return PutAsynchronously(client, &message, 1, &put);
  }
  const char* bytes = static_cast<const char*>(data);
  int size = static_cast<int>(length);
  int sent = 0;
  return SendSynchronously(client, &bytes, &size, 1, &sent);
}

int tobrin_send_many(tobrin_client* client, const tobrin_message* messages, size_t count,
                     size_t* sent) {
  if (sent) *sent = 0;
  if (!client || (!messages && count > 0)) return Refuse(TOBRIN_E_INVALID);
  for (size_t i = 0; i < count; ++i) {
    int invalid = CheckMessage(messages[i].data, messages[i].length);
    if (invalid) return Refuse(invalid);
  }
  size_t put = 0;
  if (client->async) {
    int result = PutAsynchronously(client, messages, count, &put);
    if (sent) *sent = put;
    return result;
  }
  // The messages go in groups of what one system call takes, all under one hold of the lock.
  enum { kGroup = 64 };
  const char* data[kGroup];
  int lengths[kGroup];
  int result = 0;
  client::Acquire(&client->lock);
  for (size_t first = 0; result == 0 && first < count; first += kGroup) {
    int group = count - first < kGroup ? static_cast<int>(count - first) : kGroup;
    for (int i = 0; i < group; ++i) {
      data[i] = static_cast<const char*>(messages[first + i].data);
      lengths[i] = static_cast<int>(messages[first + i].length);
    }
    int group_sent = 0;
    int error = 0;
    result =
        client::SendOnConnection(&client->connection, data, lengths, group, &group_sent, &error);
    if (result != 0) Fail(result, error);
    put = first + static_cast<size_t>(group_sent);
  }
  client::Release(&client->lock);
  if (sent) *sent = put;
  return result;
}

int tobrin_flush(tobrin_client* client, int timeout_ms) {
  if (!client) return Refuse(TOBRIN_E_INVALID);
  if (!client->async) return 0;
  int result = client::FlushAsync(client->async, timeout_ms);
  return result == 0 ? 0 : Refuse(result);
}

unsigned long long tobrin_dropped(tobrin_client* client) {
  return client && client->async ? client::DroppedSoFar(client->async) : 0;
}

unsigned long long tobrin_pending(tobrin_client* client) {
  return client && client->async ? client::PendingSoFar(client->async) : 0;
}

void tobrin_close(tobrin_client* client) {
  if (!client) return;
  Unlist(client);
  if (client->async)
    client::CloseAsync(client->async);
  else
    client::DropConnection(&client->connection);
  FreeClient(client);
}

int tobrin_last_error(void) { return client::ThreadError(); }

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
    case TOBRIN_E_DROPPED:
      return "the log buffer was full; message dropped";
    case TOBRIN_E_TIMEOUT:
      return "time-out before the log buffer was flushed";
    default:
      return "unknown error";
  }
}
