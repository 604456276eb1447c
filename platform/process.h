// The server process itself: its arguments, its signals and limits, its standard input, and its
// end.
#pragma once

#include "platform/error.h"

namespace platform {

/// Prepares a server process; called first in main. On Linux: SIGPIPE and SIGXFSZ no longer
/// kill it, so a write into a dead command or past the file-size limit fails like any other
/// write; a closed standard descriptor is held by the null device (a closed standard input
/// then reads end-of-file at once); the soft limit on open descriptors is raised to the hard
/// one.
void PrepareServerProcess();

/// Replaces `*argc` and `*argv`, as main got them, with the program's arguments as every name
/// in this platform layer is spelt: on Linux they stay as they are, since names are bytes; on
/// Windows they become UTF-8 made from the wide command line, since the narrow ones have each
/// character outside the ANSI code page replaced by a look-alike or "?", which would name
/// another file. They live as long as the process. False, with `*error` set and nothing
/// replaced, when an argument cannot be spelt so (a lone UTF-16 surrogate) or memory ran out.
bool ProgramArguments(int* argc, char*** argv, std::error_code* error = nullptr);

/// Ends the process at once with `status`: no destructors, no stream flush, no waiting for
/// other threads.
[[noreturn]] void TerminateProcessNow(int status);

/// From now on SIGTERM, SIGINT and SIGHUP (Linux) no longer end the process where it stands:
/// each is handed to WaitForStopRequest instead. Nothing on Windows, which has no such
/// signals. False when the signals cannot be caught; they then end the process as before.
bool CatchStopSignals();

/// Reads standard input and discards it, `capacity` bytes at a time into `buffer`, until it
/// ends or a read fails (the manager has gone): returns 0. A stop signal caught by
/// CatchStopSignals ends the wait too: returns its number.
int WaitForStopRequest(char* buffer, int capacity);

/// Ends the process as the stop signal `signal_number` ends it when nobody catches it, so that
/// whoever sent it sees what it would have seen without CatchStopSignals.
[[noreturn]] void EndBySignal(int signal_number);

/// False when the process's standard input handle is the invalid-handle value (Windows; a
/// Linux descriptor has no such value).
bool HasStandardInputHandle();

/// Reads up to `capacity` bytes of standard input, waiting for them also when the stream was
/// handed over non-blocking. Returns the count, 0 at end-of-file, -1 when the read failed.
int ReadStandardInput(char* buffer, int capacity, std::error_code* error = nullptr);

/// Writes `text` to standard error, with the line ends the C library's text stream would give
/// it, as far as the stream takes it at once: all or nothing for a line of up to 4096 bytes on a
/// Linux pipe and on a wine pipe, perhaps a part on a socket or a Windows byte pipe. Never
/// waits for a reader, and never touches the C library's stream, whose lock a thread blocked
/// in a write may hold. True when all of it was written.
bool WriteStandardErrorWithoutWaiting(const char* text);

}  // namespace platform
