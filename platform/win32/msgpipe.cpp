// Win32: the log pipe is a message-mode named pipe for local clients of the server's own user;
// relies on FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_REJECT_REMOTE_CLIENTS and ADVAPI32's security
// descriptors.
#include "platform/msgpipe.h"

#include <cstdio>
#include <cstdlib>

#include "platform/win32/native.h"
// After windows.h, which it needs.
#include <sddl.h>

namespace platform {

namespace {

// Set once the first instance exists: only the main thread creates instances.
bool g_name_created = false;
SECURITY_ATTRIBUTES g_security = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

// The user this process runs as, in the text form of a SID; null, with GetLastError set,
// when it cannot be read. Freed with LocalFree.
wchar_t* OwnUser() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, NULL, 0, &size);
  TOKEN_USER* user = static_cast<TOKEN_USER*>(std::malloc(size));
  wchar_t* text = nullptr;
  if (!user) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else if (GetTokenInformation(token, TokenUser, user, size, &size)) {
    ConvertSidToStringSidW(user->User.Sid, &text);
  }
  DWORD failed = GetLastError();
  std::free(user);
  CloseHandle(token);
  SetLastError(failed);
  return text;
}

// Every instance is made with this security: all access for the server's user and the
// system, none for anyone else, as the Linux socket's mode keeps others out. The default
// would let administrators write and everyone read, and a reader may take an instance.
bool MakeOwnerOnlySecurity() {
  if (g_security.lpSecurityDescriptor) return true;
  wchar_t* user = OwnUser();
  if (!user) return false;
  wchar_t sddl[256];
  int length = _snwprintf(sddl, 256, L"D:P(A;;GA;;;SY)(A;;GA;;;%ls)", user);
  LocalFree(user);
  if (length < 0 || length >= 256) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(
      sddl, SDDL_REVISION_1, &g_security.lpSecurityDescriptor, NULL);
}

// True when `first` is the only instance of its name. Wine ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE, so the count of instances is asked as well.
bool IsOnlyInstance(HANDLE first) {
  DWORD instances = 0;
  return GetNamedPipeHandleStateA(first, NULL, &instances, NULL, NULL, NULL, 0) && instances == 1;
}

// The bytes of all the messages queued in the pipe (an empty message adds none); 0 when
// none can be seen.
DWORD BytesWaiting(HANDLE pipe) {
  DWORD waiting = 0, left_in_message = 0;
  return PeekNamedPipe(pipe, NULL, 0, NULL, &waiting, &left_in_message) ? waiting : 0;
}

// Reads the messages already queued, each directly behind the one before, at most
// `max_count` and while a whole message still fits before `end`. One look at the pipe tells
// how many bytes wait; every read until they are taken returns at once. Under wine each
// look costs as much as a read, so it is not repeated for what arrives meanwhile.
int ReadQueuedPacked(HANDLE pipe, char* at, const char* end, int max_count,
                     ReceivedMessage* messages, bool* failed) {
  int count = 0;
  DWORD waiting = BytesWaiting(pipe);
  while (waiting > 0 && count < max_count && end - at >= kMaxMessage) {
    DWORD got = 0;
    // A message longer than kMaxMessage fails with ERROR_MORE_DATA and is not kept.
    if (!ReadFile(pipe, at, kMaxMessage, &got, NULL)) {
      *failed = true;
      break;
    }
    messages[count++] = {at, static_cast<int>(got)};
    at += got;
    waiting -= got < waiting ? got : waiting;
  }
  return count;
}

}  // namespace

// A handle is a pointer here, so the end itself is the thread's argument.
void* PipeEndToThreadArgument(PipeEnd end) { return ToHandle(end); }

PipeEnd PipeEndFromThreadArgument(void* argument) { return Wrap<PipeEnd>(argument); }

bool CreatePipeInstance(const char* name, PipeEnd* instance, std::error_code* error) {
  // The first instance must create the name: were it already taken, by another server or by
  // anyone else, the clients would be shared with that owner, who could read their text.
  DWORD first = g_name_created ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE;
  WideText wide_name(name);
  if (!wide_name.Get() || !MakeOwnerOnlySecurity()) return StoreLastError(error), false;
  // Clients on other machines are turned away, as a Unix-domain socket has none.
  HANDLE h = CreateNamedPipeW(
      wide_name.Get(), PIPE_ACCESS_INBOUND | first,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kMaxMessage, kMaxMessage, 0, &g_security);
  if (h == INVALID_HANDLE_VALUE) return StoreLastError(error), false;
  if (!g_name_created && !IsOnlyInstance(h)) {
    CloseHandle(h);
    SetError(error, SystemError(ERROR_ACCESS_DENIED));  // what the flag gives on Windows
    return false;
  }
  g_name_created = true;
  *instance = Wrap<PipeEnd>(h);
  return true;
}

bool ConnectPipeClient(PipeEnd* instance, std::error_code* error) {
  if (ConnectNamedPipe(ToHandle(*instance), NULL)) return true;
  // A client that opened the instance before the wait began is connected; one that has
  // already closed it again (ERROR_NO_DATA) may have left messages, which are still read.
  DWORD failed = GetLastError();
  if (failed == ERROR_PIPE_CONNECTED || failed == ERROR_NO_DATA) return true;
  SetError(error, SystemError(failed));
  return false;
}

bool ReadPipeMessage(PipeEnd end, char* buffer, int capacity, int* length, std::error_code* error) {
  DWORD got = 0;
  // An oversized message fails with ERROR_MORE_DATA; the caller then drops the client, so
  // the rest of that message is never read.
  if (!ReadFile(ToHandle(end), buffer, static_cast<DWORD>(capacity), &got, NULL)) {
    DWORD failed = GetLastError();
    if (failed != ERROR_BROKEN_PIPE) SetError(error, SystemError(failed));
    return false;
  }
  *length = static_cast<int>(got);
  return true;
}

// Each run of memory takes a WriteFile of its own (see AppendToFile).
const bool kWriteNeedsOneRun = true;

// A message-mode pipe hands over one message per ReadFile. Reading the queued ones one
// behind the other still lets the writer take the group with one WriteFile.
int ReadQueuedMessages(PipeEnd end, char* storage, int bytes, int max_count,
                       ReceivedMessage* messages, bool* failed) {
  *failed = false;
  return ReadQueuedPacked(ToHandle(end), storage, storage + bytes, max_count, messages, failed);
}

void DisconnectAndCloseServerEnd(PipeEnd instance) {
  DisconnectNamedPipe(ToHandle(instance));
  CloseHandle(ToHandle(instance));
}

void CloseUnconnectedServerEnd(PipeEnd instance) { CloseHandle(ToHandle(instance)); }

void RemovePipeName() {}

std::string MakePipeName(const std::string& /*directory*/, const std::string& tag) {
  return "\\\\.\\pipe\\" + tag;
}

}  // namespace platform
