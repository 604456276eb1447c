// Win32: modification times as FILETIMEs, set through a handle of their own.
#include "tools/support/file_time.h"

#include "platform/win32/native.h"

namespace platform {

// Through a handle of its own, which directories need too (backup semantics).
bool SetModificationTime(const char* path, FileTime time, std::error_code* error) {
  WideText name(path);
  HANDLE h = name.Get() ? CreateFileW(name.Get(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL)
                        : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) return StoreLastError(error), false;
  uint64_t ticks = static_cast<uint64_t>(time.seconds * kTicksPerSecond + time.nanoseconds / 100 +
                                         kTicksFrom1601To1970);
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(ticks);
  written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  bool done = SetFileTime(h, NULL, NULL, &written) != 0;
  if (!done) StoreLastError(error);
  CloseHandle(h);
  return done;
}

}  // namespace platform
