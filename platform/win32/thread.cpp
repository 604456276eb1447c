// Win32 detached threads: CreateThread with a reserved stack, handle closed at once.
#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {

namespace {

struct ThreadStart {
  ThreadMain main;
  void* argument;
};

DWORD WINAPI Trampoline(LPVOID parameter) {
  ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.main(start.argument);
  return 0;
}

}  // namespace

bool StartDetachedThread(ThreadMain main, void* argument, size_t stack_bytes) {
  ThreadStart* start = new (std::nothrow) ThreadStart{main, argument};
  if (start == nullptr) return false;
  HANDLE thread =
      CreateThread(NULL, stack_bytes, Trampoline, start, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (thread == NULL) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace platform
