// Win32: the server process's arguments, standard streams and end; relies on msvcrt's
// __wgetmainargs and TerminateProcess on itself.
#include "platform/process.h"

#include <cstdlib>

#include "platform/win32/native.h"

// msvcrt's own split of the wide command line, the one it gives a program with a wide main.
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                                      int expand_wildcards, int* startup_info);

namespace platform {

namespace {

// `text` as UTF-8 in memory of its own; null, with GetLastError set, when it holds a lone
// surrogate, which no UTF-8 can carry, or memory ran out.
char* Utf8FromWide(const wchar_t* text) {
  int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, NULL, 0, NULL, NULL);
  if (length <= 0) return nullptr;
  char* utf8 = static_cast<char*>(std::malloc(static_cast<size_t>(length)));
  if (!utf8) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, utf8, length, NULL, NULL);
  return utf8;
}

}  // namespace

bool ProgramArguments(int* argc, char*** argv, std::error_code* error) {
  int count = 0, startup_info = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  if (__wgetmainargs(&count, &wide, &environment, 0, &startup_info) != 0 || !wide) {
    SetError(error, SystemError(ERROR_NOT_ENOUGH_MEMORY));
    return false;
  }
  char** utf8 = static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  if (!utf8) {
    SetError(error, SystemError(ERROR_NOT_ENOUGH_MEMORY));
    return false;
  }
  // The process ends when this fails, so what was converted by then is not freed.
  for (int i = 0; i < count; ++i) {
    utf8[i] = Utf8FromWide(wide[i]);
    if (!utf8[i]) {
      StoreLastError(error);
      return false;
    }
  }
  *argc = count;
  *argv = utf8;
  return true;
}

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

// Windows has no SIGTERM, SIGINT or SIGHUP to catch; its console events are left alone.
bool CatchStopSignals() { return true; }

// Without stop signals, only the end of standard input (or a failed read) ends the wait.
int WaitForStopRequest(char* buffer, int capacity) {
  while (ReadStandardInput(buffer, capacity) > 0) {
  }
  return 0;
}

// WaitForStopRequest never gives a signal here; should one be asked for, the process ends as
// when its manager has gone.
void EndBySignal(int) { TerminateProcessNow(1); }

bool HasStandardInputHandle() { return GetStdHandle(STD_INPUT_HANDLE) != INVALID_HANDLE_VALUE; }

namespace {

// A pipe handed over in non-blocking mode reads ERROR_NO_DATA while it is empty; this end is
// switched to waiting reads once, after which that error means a real failure.
bool SwitchToWaitingReads(HANDLE h) {
  DWORD state = 0;
  if (!GetNamedPipeHandleState(h, &state, NULL, NULL, NULL, NULL, 0) || !(state & PIPE_NOWAIT))
    return false;
  DWORD mode = (state & PIPE_READMODE_MESSAGE) | PIPE_WAIT;
  return SetNamedPipeHandleState(h, &mode, NULL, NULL) != 0;
}

}  // namespace

int ReadStandardInput(char* buffer, int capacity, std::error_code* error) {
  HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD got = 0;
    if (ReadFile(h, buffer, static_cast<DWORD>(capacity), &got, NULL)) return static_cast<int>(got);
    DWORD failed = GetLastError();
    // An anonymous pipe reports its closed writer as a broken pipe rather than a zero read.
    if (failed == ERROR_BROKEN_PIPE) return 0;
    if (failed != ERROR_NO_DATA || !SwitchToWaitingReads(h)) {
      SetError(error, SystemError(failed));
      return -1;
    }
  }
}

namespace {

// Room for the last words of the server, with their line ends doubled.
constexpr DWORD kMaxUnwaitedText = 1024;

// "\n" becomes "\r\n", as the C library's text stream writes it. False when it does not fit.
bool WithTextLineEnds(const char* text, char* out, DWORD* length) {
  DWORD n = 0;
  for (; *text; ++text) {
    if (n + 2 > kMaxUnwaitedText) return false;
    if (*text == '\n') out[n++] = '\r';
    out[n++] = *text;
  }
  *length = n;
  return true;
}

}  // namespace

// A pipe's handle waits for room until it is switched to PIPE_NOWAIT; then a write that does
// not fit writes nothing (wine) or a part (Windows, byte pipes). The mode belongs to the pipe
// end, which a command started by the server shares, so it is put back at once.
bool WriteStandardErrorWithoutWaiting(const char* text) {
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  char line[kMaxUnwaitedText];
  DWORD length = 0;
  if (h == NULL || h == INVALID_HANDLE_VALUE || !WithTextLineEnds(text, line, &length))
    return false;
  // A pipe end whose state cannot be read is taken for a waiting byte pipe, as an anonymous
  // one is; it must never be written to while it waits.
  const bool pipe = GetFileType(h) == FILE_TYPE_PIPE;
  DWORD state = 0;
  if (pipe && !GetNamedPipeHandleState(h, &state, NULL, NULL, NULL, NULL, 0)) state = 0;
  DWORD waiting_mode = state & (PIPE_READMODE_MESSAGE | PIPE_NOWAIT);
  DWORD nowait_mode = (state & PIPE_READMODE_MESSAGE) | PIPE_NOWAIT;
  if (pipe && !SetNamedPipeHandleState(h, &nowait_mode, NULL, NULL)) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, line, length, &written, NULL);
  if (pipe) SetNamedPipeHandleState(h, &waiting_mode, NULL, NULL);
  return ok && written == length;
}

}  // namespace platform
