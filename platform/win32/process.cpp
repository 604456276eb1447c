// Win32 server process: standard input through its kernel handle, and ExitProcess.
#include "platform/process.h"

#include <windows.h>

namespace platform {

// Windows has no signal that kills a writer into a closed pipe or an oversized file, a
// process started without standard input already gets a null handle whose first read
// fails, and there is no per-process handle limit to raise, so there is nothing to prepare.
void PrepareServerProcess() {}

void TerminateProcessNow(int status) { ExitProcess(static_cast<UINT>(status)); }

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

int ReadStandardInput(char* buffer, int capacity) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD got = 0;
    if (ReadFile(h, buffer, static_cast<DWORD>(capacity), &got, NULL)) return static_cast<int>(got);
    DWORD error = GetLastError();
    // An anonymous pipe reports its closed writer as a broken pipe rather than a zero read.
    if (error == ERROR_BROKEN_PIPE) return 0;
    if (error != ERROR_NO_DATA || !SwitchToWaitingReads(h)) return -1;
  }
}

}  // namespace platform
