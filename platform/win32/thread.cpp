// Win32: detached threads through CreateThread; relies on STACK_SIZE_PARAM_IS_A_RESERVATION.
#include "platform/thread.h"

#include <new>

#include "platform/win32/native.h"

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

bool StartDetachedThread(ThreadMain main, void* argument, size_t stack_bytes,
                         std::error_code* error) {
  ThreadStart* start = new (std::nothrow) ThreadStart{main, argument};
  if (start == nullptr) return SetError(error, SystemError(ERROR_NOT_ENOUGH_MEMORY)), false;
  HANDLE thread =
      CreateThread(NULL, stack_bytes, Trampoline, start, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (thread == NULL) {
    StoreLastError(error);
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace platform
