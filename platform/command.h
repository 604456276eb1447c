// External commands fed through their standard input.
#pragma once

#include <cstdio>

#include "platform/error.h"

namespace platform {

/// Starts `command` through the system command interpreter with a stream into its standard
/// input, in binary mode (no line-end translation). Null on failure, with `*error` set to
/// the reason: the system's code when it gave one, else the C library's.
std::FILE* StartCommand(const char* command, std::error_code* error = nullptr);

/// Closes the stream and waits for the command to end; returns its exit status.
int CloseCommand(std::FILE* stream);

/// True when a write into a command's stream that has just failed, with the C library's
/// `error_number`, failed because the command is gone: nothing reads its standard input any
/// more (EPIPE; on Windows also the system's codes for a pipe whose reader has closed).
bool IsCommandGone(int error_number);

}  // namespace platform
