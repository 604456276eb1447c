// Win32: external commands through msvcrt's _wpopen and cmd.exe; relies on the inherit lock.
#include "platform/command.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/win32/native.h"

namespace platform {

namespace {

// _wpopen runs "cmd.exe /c COMMAND", and cmd keeps COMMAND's quotes only when there are
// exactly two of them around the name of a program; otherwise it strips the first and the
// last quote character of the line. One more pair around the whole command is what it then
// strips, so a quoted program with a quoted argument runs as written. Null when out of memory.
char* QuotedForCmd(const char* command) {
  size_t length = std::strlen(command);
  char* quoted = static_cast<char*>(std::malloc(length + 3));
  if (!quoted) return nullptr;
  quoted[0] = '"';
  std::memcpy(quoted + 1, command, length);
  quoted[length + 1] = '"';
  quoted[length + 2] = '\0';
  return quoted;
}

}  // namespace

std::FILE* StartCommand(const char* command, std::error_code* error) {
  char* quoted = QuotedForCmd(command);
  if (!quoted) {
    SetError(error, std::make_error_code(std::errc::not_enough_memory));
    return nullptr;
  }
  WideText wide(quoted);
  std::free(quoted);
  if (!wide.Get()) return StoreLastError(error), nullptr;
  // _wpopen makes its end for the child inheritable and starts cmd.exe inheriting every
  // inheritable handle, so it must not overlap a spawn that has handles of its own open.
  AcquireInheritLock();
  ::SetLastError(0);
  errno = 0;
  std::FILE* stream = _wpopen(wide.Get(), L"wb");
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

// The C library maps a broken pipe to EPIPE, but a write into a pipe whose reader is being
// closed may leave its code unmapped; the thread's last error still tells.
bool IsCommandGone(int error_number) {
  const DWORD last = GetLastError();
  return error_number == EPIPE || last == ERROR_NO_DATA || last == ERROR_BROKEN_PIPE;
}

}  // namespace platform
