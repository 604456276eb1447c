// Win32 server process: standard input through its kernel handle, and ending at once.
#include "platform/process.h"

#include <windows.h>

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

int ReadStandardInput(char* buffer, int capacity) {
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(capacity), &got, NULL)) {
    // An anonymous pipe reports its closed writer as a broken pipe rather than a zero read.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<int>(got);
}

}  // namespace platform
