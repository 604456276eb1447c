// Win32: the client's end of the log pipe, a message-mode named pipe opened for writing;
// a bounded connection is opened for overlapped writes, which can be waited for with a limit
// and cancelled.
#include "client/pipe.h"

#include <ctype.h>

#include "platform/win32/native.h"

namespace platform {

namespace {

void Store(int* error, DWORD code) {
  if (error) *error = static_cast<int>(code);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool MayBePipe(const char* name) {
  static const char kPrefix[] = "\\\\.\\pipe\\";
  for (size_t i = 0; i + 1 < sizeof(kPrefix); ++i) {
    bool same = kPrefix[i] == '\\' ? IsSeparator(name[i])
                                   : tolower(static_cast<unsigned char>(name[i])) == kPrefix[i];
    if (!same) return false;
  }
  return name[sizeof(kPrefix) - 1] != '\0';
}

// Only a name in the pipe namespace is opened at all, and what it opened is checked before
// anything is written: "\\.\pipe\..\" leads out of the namespace again.
Connected ConnectPipe(const char* name, int timeout_ms, PipeWaits waits, PipeEnd* end, int* error) {
  if (!MayBePipe(name)) return Connected::kNotAPipe;
  const DWORD flags = waits == PipeWaits::kBounded ? FILE_FLAG_OVERLAPPED : 0;
  const ULONGLONG deadline = GetTickCount64() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
    if (h != INVALID_HANDLE_VALUE) {
      if (GetFileType(h) != FILE_TYPE_PIPE) {
        CloseHandle(h);
        return Connected::kNotAPipe;
      }
      *end = Wrap<PipeEnd>(h);
      return Connected::kYes;
    }
    const DWORD last = GetLastError();
    Store(error, last);
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return Connected::kNoServer;
    const DWORD remaining = static_cast<DWORD>(deadline - now);
    if (last == ERROR_PIPE_BUSY) {
      // Every instance is taken; wait for the server to offer the next one.
      WaitNamedPipeA(name, remaining);
    } else if (last == ERROR_FILE_NOT_FOUND) {
      // No instance exists at all: the server has not started yet, or has none offered
      // for a moment. Waiting on the name fails at once then, so poll briefly instead.
      Sleep(remaining < 2 ? remaining : 2);
    } else {
      return Connected::kNoServer;
    }
  }
}

bool SendPipeMessage(PipeEnd end, const void* data, int length, int* error) {
  DWORD sent = 0;
  if (!WriteFile(ToHandle(end), data, static_cast<DWORD>(length), &sent, NULL)) {
    Store(error, GetLastError());
    return false;
  }
  if (sent != static_cast<DWORD>(length)) {
    Store(error, ERROR_WRITE_FAULT);
    return false;
  }
  return true;
}

// A message-mode pipe takes one message per WriteFile.
int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     int* error) {
  int sent = 0;
  while (sent < count && SendPipeMessage(end, messages[sent], lengths[sent], error)) ++sent;
  return sent;
}

// A WriteFile into a pipe whose server does not read waits until it does; the overlapped
// write is waited for in steps instead, and cancelled when the caller gives up.
Sent SendPipeMessageBounded(PipeEnd end, const void* data, int length, bool (*keep_waiting)(void*),
                            void* context, int* error) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) return Store(error, GetLastError()), Sent::kFailed;
  HANDLE h = ToHandle(end);
  DWORD sent = 0;
  BOOL done = WriteFile(h, data, static_cast<DWORD>(length), &sent, &overlapped);
  bool gave_up = false;
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    while (WaitForSingleObject(overlapped.hEvent, kSendStepMs) == WAIT_TIMEOUT) {
      if (keep_waiting(context)) continue;
      CancelIoEx(h, &overlapped);
      gave_up = true;
      break;
    }
    done = GetOverlappedResult(h, &overlapped, &sent, TRUE);
  }
  if (!done) Store(error, GetLastError());
  CloseHandle(overlapped.hEvent);
  if (done && sent == static_cast<DWORD>(length)) return Sent::kYes;
  if (done) Store(error, ERROR_WRITE_FAULT);
  return gave_up ? Sent::kGaveUp : Sent::kFailed;
}

void ClosePipe(PipeEnd end) { CloseHandle(ToHandle(end)); }

// ERROR_NO_DATA: the server closed its end; ERROR_PIPE_NOT_CONNECTED: it disconnected the
// instance; ERROR_BROKEN_PIPE: the server process has gone.
bool IsServerGone(int error) {
  return error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE;
}

}  // namespace platform
