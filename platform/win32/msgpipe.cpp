// Win32 log pipe: blocking, inbound, message-mode named pipes, one instance per client.
#include "platform/msgpipe.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE ToHandle(PipeEnd end) { return reinterpret_cast<HANDLE>(end.native); }

PipeEnd FromHandle(HANDLE h) { return PipeEnd{reinterpret_cast<intptr_t>(h)}; }

// Set once the first instance exists: only the main thread creates instances.
bool g_name_created = false;

// True when `first` is the only instance of its name. Wine ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE, so the count of instances is asked as well.
bool IsOnlyInstance(HANDLE first) {
  DWORD instances = 0;
  return GetNamedPipeHandleStateA(first, NULL, &instances, NULL, NULL, NULL, 0) && instances == 1;
}

}  // namespace

bool CreatePipeInstance(const char* name, PipeEnd* instance) {
  // The first instance must create the name: were it already taken, by another server or by
  // anyone else, the clients would be shared with that owner, who could read their text.
  DWORD first = g_name_created ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE;
  HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | first,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, kMaxMessage, kMaxMessage, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!g_name_created && !IsOnlyInstance(h)) {
    CloseHandle(h);
    return false;
  }
  g_name_created = true;
  *instance = FromHandle(h);
  return true;
}

bool ConnectPipeClient(PipeEnd* instance) {
  if (ConnectNamedPipe(ToHandle(*instance), NULL)) return true;
  // A client that opened the instance before the wait began is connected; one that has
  // already closed it again (ERROR_NO_DATA) may have left messages, which are still read.
  DWORD error = GetLastError();
  return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

bool ReadPipeMessage(PipeEnd end, char* buffer, int capacity, int* length) {
  DWORD got = 0;
  // An oversized message fails with ERROR_MORE_DATA; the caller then drops the client, so
  // the rest of that message is never read.
  if (!ReadFile(ToHandle(end), buffer, static_cast<DWORD>(capacity), &got, NULL)) return false;
  *length = static_cast<int>(got);
  return true;
}

// A message-mode pipe hands over one message per ReadFile; there is no cheaper way to take
// several, so every message is read on its own.
int ReadQueuedMessages(PipeEnd, char*, int, int*, bool* failed) {
  *failed = false;
  return 0;
}

void ClosePipeInstance(PipeEnd instance) {
  DisconnectNamedPipe(ToHandle(instance));
  CloseHandle(ToHandle(instance));
}

void DiscardPipeInstance(PipeEnd instance) { CloseHandle(ToHandle(instance)); }

void RemovePipeName() {}

bool ConnectToPipe(const char* name, int timeout_ms, PipeEnd* end, int* error) {
  const ULONGLONG deadline = GetTickCount64() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
      *end = FromHandle(h);
      return true;
    }
    const DWORD last = GetLastError();
    *error = static_cast<int>(last);
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

bool SendPipeMessage(PipeEnd end, const void* data, int length, int* error) {
  DWORD sent = 0;
  if (!WriteFile(ToHandle(end), data, static_cast<DWORD>(length), &sent, NULL)) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  if (sent != static_cast<DWORD>(length)) {
    *error = ERROR_WRITE_FAULT;
    return false;
  }
  return true;
}

void ClosePipe(PipeEnd end) { CloseHandle(ToHandle(end)); }

std::string MakePipeName(const std::string& /*directory*/, const std::string& tag) {
  return "\\\\.\\pipe\\" + tag;
}

}  // namespace platform
