// Win32: the client's end of the log pipe, a message-mode named pipe opened for writing.
#include "client/pipe.h"

#include "platform/win32/native.h"

namespace platform {

bool ConnectToPipe(const char* name, int timeout_ms, PipeEnd* end, std::error_code* error) {
  const ULONGLONG deadline = GetTickCount64() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
      *end = Wrap<PipeEnd>(h);
      return true;
    }
    const DWORD last = GetLastError();
    SetError(error, SystemError(last));
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD remaining = static_cast<DWORD>(deadline - now);
    if (last == ERROR_PIPE_BUSY) {
      // Every instance is taken; wait for the server to offer the next one.
      WaitNamedPipeA(name, remaining);
    } else if (last == ERROR_FILE_NOT_FOUND) {
      // No instance exists at all: the server has not started yet, or has none offered
      // for a moment. Waiting on the name fails at once then, so poll briefly instead.
      Sleep(remaining < 2 ? remaining : 2);
    } else {
      return false;
    }
  }
}

bool SendPipeMessage(PipeEnd end, const void* data, int length, std::error_code* error) {
  DWORD sent = 0;
  if (!WriteFile(ToHandle(end), data, static_cast<DWORD>(length), &sent, NULL)) {
    StoreLastError(error);
    return false;
  }
  if (sent != static_cast<DWORD>(length)) {
    SetError(error, SystemError(ERROR_WRITE_FAULT));
    return false;
  }
  return true;
}

// A message-mode pipe takes one message per WriteFile.
int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     std::error_code* error) {
  int sent = 0;
  while (sent < count && SendPipeMessage(end, messages[sent], lengths[sent], error)) ++sent;
  return sent;
}

void ClosePipe(PipeEnd end) { CloseHandle(ToHandle(end)); }

// ERROR_NO_DATA: the server closed its end; ERROR_PIPE_NOT_CONNECTED: it disconnected the
// instance; ERROR_BROKEN_PIPE: the server process has gone.
bool IsServerGone(const std::error_code& error) {
  int code = error.value();
  return error.category() == std::system_category() &&
         (code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_BROKEN_PIPE);
}

}  // namespace platform
