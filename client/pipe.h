// The client half of the log pipe (see platform/msgpipe.h for the server half): one
// connection, messages sent on it, and which failures mean that the server has gone.
// Internal to the client library; its users see tobrin/client.h.
#pragma once

#include "platform/msgpipe.h"

namespace platform {

/// Connects to the pipe `name`, retrying while the server is between instances or not yet
/// listening, for at most `timeout_ms`. False when it cannot.
bool ConnectToPipe(const char* name, int timeout_ms, PipeEnd* end,
                   std::error_code* error = nullptr);

/// Sends `length` bytes as one message (0 is allowed). False on failure. Never raises
/// SIGPIPE.
bool SendPipeMessage(PipeEnd end, const void* data, int length, std::error_code* error = nullptr);

/// Sends `count` messages in order, message i being `lengths[i]` bytes at `messages[i]`,
/// with as few system calls as the system allows (Linux sends many at once). Returns how
/// many were sent: `count`, or fewer on failure.
int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     std::error_code* error = nullptr);

/// True when a send failed with `error` because the server's end has closed (the server
/// ended or dropped the connection), so that connecting again may succeed.
bool IsServerGone(const std::error_code& error);

/// Closes the client's end.
void ClosePipe(PipeEnd end);

}  // namespace platform
