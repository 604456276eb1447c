// External commands fed through their standard input.
#pragma once

#include <cstdio>

namespace platform {

/// Starts `command` through the system command interpreter with a stream into its standard
/// input, in binary mode (no line-end translation). Null on failure, with `*error` set to
/// the system's error code.
std::FILE* StartCommand(const char* command, int* error);

/// Closes the stream and waits for the command to end; returns its exit status.
int CloseCommand(std::FILE* stream);

}  // namespace platform
