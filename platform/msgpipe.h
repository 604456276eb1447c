// The log pipe: a local, inbound, message-mode pipe with one instance per client.
// Windows: a named pipe. Linux: a SOCK_SEQPACKET Unix-domain socket bound at the name.
// This is the server's half; the client's half lives in the client library (client/pipe.h).
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/handle.h"

namespace platform {

/// The longest message, and the size of every message buffer.
inline constexpr int kMaxMessage = 32768;

/// One end of one client's connection, or none.
using PipeEnd = Handle<struct PipeEndKind>;

/// Packs `end` into a thread's argument (see StartDetachedThread) without allocating; the
/// thread takes it back with PipeEndFromThreadArgument.
void* PipeEndToThreadArgument(PipeEnd end);

/// The pipe end that PipeEndToThreadArgument packed into `argument`.
PipeEnd PipeEndFromThreadArgument(void* argument);

// Server side.

/// Offers a new instance of the pipe `name` for the next client. The first call creates
/// the name and fails when anyone else holds it already. False when the instance cannot be
/// created (the caller prints the message).
bool CreatePipeInstance(const char* name, PipeEnd* instance, std::error_code* error = nullptr);

/// Waits until a client connects to `instance`. A client that connected and left before
/// the wait counts as connected: what it sent is still read. False when no client is
/// connected; the instance must then be closed.
bool ConnectPipeClient(PipeEnd* instance, std::error_code* error = nullptr);

/// Reads the next message into `buffer`. False when the client has gone or the read
/// failed, including a message longer than `capacity`, of which nothing is kept.
/// A zero-length message gives true with `*length` 0; the client's end sets no error.
bool ReadPipeMessage(PipeEnd end, char* buffer, int capacity, int* length,
                     std::error_code* error = nullptr);

/// Where one message that ReadQueuedMessages read lies in the caller's memory, and how long
/// it is.
struct ReceivedMessage {
  const char* data;
  int length;
};

/// The most messages one ReadQueuedMessages takes: as many as one append to a file writes.
inline constexpr int kMaxMessagesPerRead = kMaxSlicesPerAppend;

/// Without waiting, reads the messages that the client has queued already, at most
/// `max_count` (at most kMaxMessagesPerRead), into the `bytes` bytes at `storage`: each while
/// kMaxMessage bytes of them are still free for it. `messages` says where each one lies
/// (a zero-length entry is an empty message or the client's end; the next ReadPipeMessage
/// tells). Returns how many were read: 0 when none is queued. Sets `*failed` when the next
/// queued message could not be read whole; nothing of it is kept.
int ReadQueuedMessages(PipeEnd end, char* storage, int bytes, int max_count,
                       ReceivedMessage* messages, bool* failed);

/// True where messages are written with one system call only when they lie one directly
/// behind the other in memory (Windows, whose files have no gather write). The server then
/// reads a client's queued messages behind the one it read first and copies that one in
/// front of them; elsewhere it stays in the buffer it was read into.
extern const bool kWriteNeedsOneRun;

/// The server's side of a connected instance: ends the client's connection (its writes fail
/// from then on) and closes the server's end.
void DisconnectAndCloseServerEnd(PipeEnd instance);

/// The server's side of an instance that no client is connected to (never connected, or
/// ConnectPipeClient failed): closes it; none is allowed.
void CloseUnconnectedServerEnd(PipeEnd instance);

/// Removes the pipe's name from the file system where it lives there (Linux), so that the
/// next server can bind it; nothing on Windows, where it dies with the process.
void RemovePipeName();

/// A pipe name for tools and tests, unique to `tag`: a socket path inside `directory` on
/// Linux, \\.\pipe\<tag> on Windows.
std::string MakePipeName(const std::string& directory, const std::string& tag);

}  // namespace platform
