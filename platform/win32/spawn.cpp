// Win32 child processes: CreateProcessA with anonymous pipes as the child's standard streams.
#include "platform/spawn.h"

#include <windows.h>

#include <new>

#include "platform/win32/inherit_lock.h"

namespace platform {

namespace {

SRWLOCK inherit_lock = SRWLOCK_INIT;

HANDLE ToHandle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

intptr_t FromHandle(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

void CloseIfOpen(intptr_t* native) {
  if (*native != -1) CloseHandle(ToHandle(*native));
  *native = -1;
}

// Appends one argument so that the child's runtime splits it back out unchanged: inside
// quotes, backslashes count as escapes only when a quote follows them.
void AppendQuoted(const std::string& arg, std::string* line) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');
  *line += '"';
}

std::string BuildCommandLine(const std::vector<std::string>& argv) {
  // The program name is split by quotes alone, without backslash escapes.
  std::string line;
  const std::string& program = argv[0];
  if (!program.empty() && program.find_first_of(" \t") == std::string::npos) {
    line = program;
  } else {
    line = '"' + program + '"';
  }
  for (size_t i = 1; i < argv.size(); ++i) {
    line += ' ';
    AppendQuoted(argv[i], &line);
  }
  return line;
}

// Starts the child with `standard` as its standard handles (a null one: none) and exactly
// those that are not null as its inherited handles. The explicit list keeps inheritable
// handles that other code of this process owns out of the child; the inherit lock keeps ours
// out of children that other threads start without such a list.
bool CreateWithHandles(std::string* command_line, const HANDLE* standard, PROCESS_INFORMATION* info,
                       int* error) {
  STARTUPINFOEXA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = standard[0];
  startup.StartupInfo.hStdOutput = standard[1];
  startup.StartupInfo.hStdError = standard[2];
  HANDLE inherited[3];
  DWORD count = 0;
  for (int i = 0; i < 3; ++i) {
    if (standard[i] != NULL) inherited[count++] = standard[i];
  }

  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(NULL, 1, 0, &list_size);
  char* list_memory = new (std::nothrow) char[list_size];
  if (list_memory == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory);
  bool ok = InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
            UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      count * sizeof(HANDLE), NULL, NULL);
  if (ok) {
    startup.lpAttributeList = list;
    ok = CreateProcessA(NULL, &(*command_line)[0], NULL, NULL, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                        NULL, NULL, &startup.StartupInfo, info);
    DeleteProcThreadAttributeList(list);
  }
  if (!ok) *error = static_cast<int>(GetLastError());
  delete[] list_memory;
  return ok;
}

}  // namespace

void AcquireInheritLock() { AcquireSRWLockExclusive(&inherit_lock); }

void ReleaseInheritLock() { ReleaseSRWLockExclusive(&inherit_lock); }

bool SpawnChild(const std::vector<std::string>& argv, Child* child, int* error, ChildInput input) {
  *child = Child{-1, -1, -1, -1};
  if (argv.empty()) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  // Index 0 is the child's standard input, 1 its output, 2 its error stream. The pipes are
  // created non-inheritable; the child's ends become inheritable only under the lock.
  HANDLE theirs[3] = {NULL, NULL, NULL};
  HANDLE ours[3] = {NULL, NULL, NULL};
  bool ok = true;
  for (int i = 0; i < 3 && ok; ++i) {
    HANDLE read_end = NULL;
    HANDLE write_end = NULL;
    ok = CreatePipe(&read_end, &write_end, NULL, 0);
    if (!ok) {
      *error = static_cast<int>(GetLastError());
      break;
    }
    theirs[i] = i == 0 ? read_end : write_end;
    ours[i] = i == 0 ? write_end : read_end;
  }
  if (ok && input == ChildInput::kNonBlockingPipe) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(theirs[0], &mode, NULL, NULL);
  }
  HANDLE standard[3] = {input == ChildInput::kNone ? NULL : theirs[0], theirs[1], theirs[2]};

  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof(info));
  if (ok) {
    std::string command_line = BuildCommandLine(argv);
    AcquireInheritLock();
    for (int i = 0; i < 3 && ok; ++i) {
      if (standard[i] == NULL) continue;
      ok = SetHandleInformation(standard[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
      if (!ok) *error = static_cast<int>(GetLastError());
    }
    if (ok) ok = CreateWithHandles(&command_line, standard, &info, error);
    for (HANDLE h : theirs) CloseHandle(h);
    ReleaseInheritLock();
  } else {
    for (HANDLE h : theirs) {
      if (h != NULL) CloseHandle(h);
    }
  }

  if (!ok) {
    for (HANDLE h : ours) {
      if (h != NULL) CloseHandle(h);
    }
    return false;
  }
  CloseHandle(info.hThread);
  child->process = FromHandle(info.hProcess);
  child->stdin_write = FromHandle(ours[0]);
  child->stdout_read = FromHandle(ours[1]);
  child->stderr_read = FromHandle(ours[2]);
  return true;
}

int WriteToChild(const Child& child, const void* data, int size) {
  DWORD written = 0;
  if (!WriteFile(ToHandle(child.stdin_write), data, static_cast<DWORD>(size), &written, NULL)) {
    return -1;
  }
  return static_cast<int>(written);
}

void CloseChildInput(Child* child) { CloseIfOpen(&child->stdin_write); }

int ReadFromChild(const Child& child, ChildStream stream, char* buffer, int capacity) {
  HANDLE h = ToHandle(stream == ChildStream::kStdout ? child.stdout_read : child.stderr_read);
  DWORD got = 0;
  if (!ReadFile(h, buffer, static_cast<DWORD>(capacity), &got, NULL)) {
    // An anonymous pipe whose every writer has closed reports a broken pipe, not a zero read.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<int>(got);
}

bool WaitForChild(const Child& child, int timeout_ms, int* exit_status) {
  const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  if (WaitForSingleObject(ToHandle(child.process), wait) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(ToHandle(child.process), &code)) return false;
  *exit_status = static_cast<int>(code);
  return true;
}

void KillChild(const Child& child) { TerminateProcess(ToHandle(child.process), 9); }

void ReleaseChild(Child* child) {
  CloseIfOpen(&child->process);
  CloseIfOpen(&child->stdin_write);
  CloseIfOpen(&child->stdout_read);
  CloseIfOpen(&child->stderr_read);
}

int ReportedExitStatus(int status) { return status; }

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace platform
