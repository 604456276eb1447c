// The client half of the log pipe (see platform/msgpipe.h for the server half): one
// connection, messages sent on it, and which failures mean that the server has gone.
// Internal to the client library, which needs no C++ runtime: a failure's reason is the
// system's own number (errno on Linux, GetLastError on Windows) in `*error`, when asked for.
#pragma once

#include "platform/msgpipe.h"

namespace platform {

/// How the sends of a connection wait while the server is behind.
enum class PipeWaits {
  kBlocking,  ///< SendPipeMessage(s): until the system takes the message.
  kBounded,   ///< SendPipeMessageBounded only, which can give up.
};

enum class Connected { kYes, kNoServer, kNotAPipe };

/// False for a name that cannot be the log pipe: on Windows one outside \\.\pipe\, on Linux
/// a path that is empty, too long, or that names something other than a socket.
bool MayBePipe(const char* name);

/// Connects to the pipe `name`, retrying while the server is between instances, not yet
/// listening, stopped or its queue of connections full, until `timeout_ms` has passed (0:
/// one try); it never waits much longer than that. kNotAPipe when the name is no pipe
/// (nothing was written into what it names); kNoServer otherwise.
Connected ConnectPipe(const char* name, int timeout_ms, PipeWaits waits, PipeEnd* end,
                      int* error = nullptr);

/// A blocking connection, as ConnectPipe makes it; false when there is none.
inline bool ConnectToPipe(const char* name, int timeout_ms, PipeEnd* end, int* error = nullptr) {
  return ConnectPipe(name, timeout_ms, PipeWaits::kBlocking, end, error) == Connected::kYes;
}

/// Sends `length` bytes as one message (0 is allowed) on a blocking connection. False on
/// failure. Never raises SIGPIPE.
bool SendPipeMessage(PipeEnd end, const void* data, int length, int* error = nullptr);

/// Sends `count` messages in order on a blocking connection, message i being `lengths[i]`
/// bytes at `messages[i]`, with as few system calls as the system allows (Linux sends many
/// at once). Returns how many were sent: `count`, or fewer on failure.
int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     int* error = nullptr);

enum class Sent { kYes, kFailed, kGaveUp };

/// How long a bounded send waits for room before it asks whether to go on.
inline constexpr int kSendStepMs = 50;

/// Sends one message on a bounded connection. While the system has no room for it, waits in
/// steps of at most kSendStepMs, after each of which it goes on only if
/// `keep_waiting(context)` says so (kGaveUp otherwise: nothing of the message was taken, or
/// the connection must be closed). Never raises SIGPIPE.
Sent SendPipeMessageBounded(PipeEnd end, const void* data, int length, bool (*keep_waiting)(void*),
                            void* context, int* error = nullptr);

/// True when a send failed with `error` because the server's end has closed (the server
/// ended or dropped the connection), so that connecting again may succeed.
bool IsServerGone(int error);

/// Closes the client's end.
void ClosePipe(PipeEnd end);

}  // namespace platform
