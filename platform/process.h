// The server process itself: its signals and limits, its standard input, and its end.
#pragma once

namespace platform {

/// Prepares a server process. On POSIX: SIGPIPE and SIGXFSZ are ignored, so a write into a
/// dead command or past the file-size limit fails like any other write instead of killing
/// the process, and the soft limit on open descriptors is raised to the hard limit.
void PrepareServerProcess();

/// Ends the process at once with `status`: no destructors, no stream flush, no waiting for
/// other threads.
[[noreturn]] void TerminateProcessNow(int status);

/// False when the process's standard input handle is the invalid-handle value.
bool HasStandardInputHandle();

/// Reads up to `capacity` bytes of standard input. Returns the count, 0 at end-of-file,
/// -1 when the read failed.
int ReadStandardInput(char* buffer, int capacity);

}  // namespace platform
