// Child processes with pipes on their standard streams, for the tools and the tests.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/handle.h"

namespace platform {

/// A child's process (Linux: its pid), or none.
using ChildProcess = Handle<struct ChildProcessKind>;
/// Our end of a pipe on one of a child's standard streams, or none.
using ChildPipe = Handle<struct ChildPipeKind>;

/// A started child: its process and our ends of its standard streams. Default-made, or once
/// released, it holds none of them.
struct Child {
  ChildProcess process;
  ChildPipe input;   ///< Our end of the child's standard input.
  ChildPipe output;  ///< Our end of the child's standard output.
  ChildPipe error;   ///< Our end of the child's standard error.

  /// True while the child's process is held (from SpawnChild until ReleaseChild).
  bool IsOpen() const { return process.IsOpen(); }
};

enum class ChildStream { kStdout, kStderr };

/// What the child gets as its standard input: a pipe, the same pipe in non-blocking mode
/// (reads of it fail while it is empty), or nothing at all.
enum class ChildInput { kPipe, kNonBlockingPipe, kNone };

/// What the child gets as its standard output and error: a pipe each, or one of them not at
/// all (as a shell's `>&-` or `2>&-` leaves it); the stream it lacks is never open in `Child`.
enum class ChildOutputs { kPipes, kNoStdout, kNoStderr };

/// Starts `argv[0]` (a path, or a bare name that the system looks up: in PATH on Linux, as
/// CreateProcess searches on Windows) with the arguments `argv`, each passed as one argument.
/// Its standard streams are as `input` and `outputs` say, and the other ends of their pipes
/// are in `*child`; no other handle of ours is inherited. False when it cannot be started.
bool SpawnChild(const std::vector<std::string>& argv, ChildInput input, ChildOutputs outputs,
                Child* child, std::error_code* error = nullptr);

/// Writes to the child's standard input. Returns the bytes written, or -1.
int WriteToChild(const Child& child, const void* data, int size, std::error_code* error = nullptr);

/// Closes our end of the child's standard input, so that it reads end-of-file.
void CloseChildInput(Child* child);

/// Blocks until the child writes to `stream`. Returns the bytes read, 0 at end-of-file
/// (every writer has closed it), -1 on failure.
int ReadFromChild(const Child& child, ChildStream stream, char* buffer, int capacity,
                  std::error_code* error = nullptr);

/// Waits at most `timeout_ms` for the child to exit. True with `*exit_status` set to the
/// status as this system reports it (see ReportedExitStatus) when it has exited.
bool WaitForChild(const Child& child, int timeout_ms, int* exit_status,
                  std::error_code* error = nullptr);

/// The child's process id, as the system's tools show it (ps, Task Manager).
long long ChildProcessNumber(const Child& child);

/// Kills the child at once (it cannot catch this).
void KillChild(const Child& child);

/// Kills the process whose id is `pid` at once, as KillChild does; for processes that a
/// child started in turn.
void KillProcess(long pid);

/// Closes every handle of `*child` that is still open; the process itself is not touched.
void ReleaseChild(Child* child);

/// The status a parent sees when a program returns `status` from main or passes it to
/// exit: the same number on Windows, its low 8 bits on Linux (-1 is seen as 255).
int ReportedExitStatus(int status);

/// This process's id.
long CurrentProcessId();

}  // namespace platform
