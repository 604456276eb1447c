// TellTobrinManager: sends one command line to the manager's control port and prints the
// manager's reply.
#pragma once

#include <cstdio>

#include "platform/socket.h"

/// The size of the command buffer and of the reply buffer.
inline constexpr int kTellBufferSize = 32768;

/// How long the client waits for the manager's greeting, and again for its reply.
inline constexpr int kTellReceiveTimeoutMs = 30000;

/// What the options at the front of the command line say.
struct TellOptions {
  const char* host = "127.0.0.1";  ///< Dotted IPv4 text, not yet converted.
  int port = 4328;                 ///< As given; only its low 16 bits are used.
  int command_start = 1;           ///< Index of the first command word; argc when none.
  bool help = false;               ///< "-help" or "-?" came before the command.
};

/// Reads "-p port", "-h host", "-help" and "-?" from argv[1] on, each matched as a whole,
/// case-sensitive word, until the first other word, which starts the command. The last of
/// a repeated option wins. "-p" or "-h" without a value leaves no command.
TellOptions ParseTellOptions(int argc, char** argv);

/// Writes every word of argv[first..argc) followed by one blank, then a line feed, and a
/// terminating zero into `buffer` of `capacity` bytes. Returns the length without the zero,
/// or -1 when it does not fit; nothing is then written past `capacity`.
int BuildCommandLine(int argc, char** argv, int first, char* buffer, int capacity);

/// Prints the usage text with `program` as the program name.
void PrintTellUsage(std::FILE* out, const char* program);

/// Writes `reply[0..length)` to `out` up to its first zero byte, as data (never as a
/// format): every other byte passes unchanged.
void PrintReply(std::FILE* out, const char* reply, int length);

/// Everything after the socket exists: connects `socket` to the manager that `options` name,
/// receives its greeting, sends `command`, receives the reply and prints it to standard
/// output. Each of the two receives fails after `receive_timeout_ms` without data. Every
/// failure prints its message with the socket library's own code. 0, or -1 on failure. The
/// socket is left open.
int ExchangeWithManager(platform::Socket socket, const TellOptions& options, const char* command,
                        int command_length, int receive_timeout_ms);

/// The whole program. Returns the exit status: 0 after printing the reply, 1 after the
/// help, -2 when no socket can be created, -1 on every other failure.
int TellManagerMain(int argc, char** argv);
