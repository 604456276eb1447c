// Win32: external commands through msvcrt's _popen and cmd.exe; relies on the inherit lock.
#include "platform/command.h"

#include <cerrno>

#include "platform/win32/inherit_lock.h"
#include "platform/win32/native.h"

namespace platform {

std::FILE* StartCommand(const char* command, std::error_code* error) {
  // _popen makes its end for the child inheritable and starts cmd.exe inheriting every
  // inheritable handle, so it must not overlap a spawn that has handles of its own open.
  AcquireInheritLock();
  ::SetLastError(0);
  errno = 0;
  std::FILE* stream = _popen(command, "wb");
  const DWORD last = GetLastError();
  const int saved_errno = errno;
  ReleaseInheritLock();
  // A failed system call leaves its code; a failure inside the C library only sets errno.
  if (stream == nullptr)
    SetError(error,
             last != 0 ? SystemError(last) : std::error_code(saved_errno, std::generic_category()));
  return stream;
}

int CloseCommand(std::FILE* stream) { return _pclose(stream); }

}  // namespace platform
