// The development manager's control commands: one command line in, one reply out, with no
// input or output of their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The manager's log levels, most detailed first; INFO is the default.
enum ControlLevel { kTraceLevel, kDebugLevel, kInfoLevel, kWarnLevel, kErrorLevel };

/// What the manager knows of itself and its log server, for the replies.
struct ManagerState {
  std::string command_line;  ///< The log server's command line, as it was started.
  long long process = 0;     ///< The log server's process id.
  bool exited = false;       ///< True once the log server has ended...
  int exit_status = 0;       ///< ...with this status.
  int level = kInfoLevel;    ///< A ControlLevel; "set loglevel" changes it.
  uint16_t port = 0;         ///< The control port.
};

/// Runs the command `line` (its line feed and trailing blanks taken off) against `*state`
/// and returns the reply, ending in a line feed. Sets `*stop` for a command that ends the
/// manager once its reply is out.
std::string ExecuteControlCommand(const std::string& line, ManagerState* state, bool* stop);

/// The log server's command line `words` as "get all" shows it: words joined by blanks, each
/// that is empty or holds a blank or tab in double quotes.
std::string JoinCommandLine(const std::vector<std::string>& words);

/// What the manager notes on its standard error after serving `line` with `reply` at `level`:
/// at DEBUG the command and the reply's first line, at TRACE all of the reply, else nothing.
std::string NoteOfCommand(const std::string& line, const std::string& reply, int level);
