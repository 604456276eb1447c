// Win32: the server process's standard input and its end; relies on TerminateProcess on itself.
#include "platform/process.h"

#include "platform/win32/native.h"

namespace platform {

// Windows has no signal that kills a writer into a closed pipe or an oversized file, a
// process started without standard input already gets a null handle whose first read
// fails, and there is no per-process handle limit to raise, so there is nothing to prepare.
void PrepareServerProcess() {}

// Not ExitProcess: that runs the runtime library's detach code after killing the other
// threads, and it flushes standard output again when a thread was killed inside a flush
// (the manager then reads a report line twice), or waits for good on a stream lock that a
// killed thread held. TerminateProcess on ourselves ends at once and runs no code of ours.
void TerminateProcessNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));  // not reached; tells the compiler so
}

bool HasStandardInputHandle() { return GetStdHandle(STD_INPUT_HANDLE) != INVALID_HANDLE_VALUE; }

namespace {

// A pipe handed over in non-blocking mode reads ERROR_NO_DATA while it is empty; this end is
// switched to waiting reads once, after which that error means a real failure.
bool SwitchToWaitingReads(HANDLE h) {
  DWORD state = 0;
  if (!GetNamedPipeHandleState(h, &state, NULL, NULL, NULL, NULL, 0) || !(state & PIPE_NOWAIT))
    return false;
  DWORD mode = (state & PIPE_READMODE_MESSAGE) | PIPE_WAIT;
  return SetNamedPipeHandleState(h, &mode, NULL, NULL) != 0;
}

}  // namespace

int ReadStandardInput(char* buffer, int capacity, std::error_code* error) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD got = 0;
    if (ReadFile(h, buffer, static_cast<DWORD>(capacity), &got, NULL)) return static_cast<int>(got);
    DWORD failed = GetLastError();
    // An anonymous pipe reports its closed writer as a broken pipe rather than a zero read.
    if (failed == ERROR_BROKEN_PIPE) return 0;
    if (failed != ERROR_NO_DATA || !SwitchToWaitingReads(h)) {
      SetError(error, SystemError(failed));
      return -1;
    }
  }
}

}  // namespace platform
