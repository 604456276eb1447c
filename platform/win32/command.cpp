// Win32 external commands: msvcrt's _popen through the command interpreter, binary mode.
#include "platform/command.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/inherit_lock.h"

namespace platform {

std::FILE* StartCommand(const char* command, int* error) {
  // _popen makes its end for the child inheritable and starts cmd.exe inheriting every
  // inheritable handle, so it must not overlap a spawn that has handles of its own open.
  AcquireInheritLock();
  SetLastError(0);
  errno = 0;
  std::FILE* stream = _popen(command, "wb");
  const DWORD last = GetLastError();
  const int saved_errno = errno;
  ReleaseInheritLock();
  if (stream == nullptr) *error = last != 0 ? static_cast<int>(last) : saved_errno;
  return stream;
}

int CloseCommand(std::FILE* stream) { return _pclose(stream); }

}  // namespace platform
