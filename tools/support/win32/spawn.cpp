// Win32: child processes through CreateProcessW, their arguments UTF-8 as every name here;
// relies on PROC_THREAD_ATTRIBUTE_HANDLE_LIST.
#include "tools/support/spawn.h"

#include <new>

#include "platform/win32/native.h"

namespace platform {

namespace {

HANDLE Stream(const Child& child, ChildStream stream) {
  return ToHandle(stream == ChildStream::kStdout ? child.output : child.error);
}

template <typename Kind>
void CloseOwnHandle(Handle<Kind>* handle) {
  if (IsOpen(*handle)) CloseHandle(ToHandle(*handle));
  *handle = Handle<Kind>();
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
bool CreateWithHandles(const std::string& command_line, const HANDLE* standard,
                       PROCESS_INFORMATION* info, std::error_code* error) {
  WideText wide_line(command_line.c_str());
  if (!wide_line.Get()) return StoreLastError(error), false;
  STARTUPINFOEXW startup;
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
    SetError(error, SystemError(ERROR_NOT_ENOUGH_MEMORY));
    return false;
  }
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory);
  bool ok = InitializeProcThreadAttributeList(list, 1, 0, &list_size) &&
            UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      count * sizeof(HANDLE), NULL, NULL);
  if (ok) {
    startup.lpAttributeList = list;
    ok = CreateProcessW(NULL, wide_line.Get(), NULL, NULL, TRUE, EXTENDED_STARTUPINFO_PRESENT, NULL,
                        NULL, &startup.StartupInfo, info);
    DeleteProcThreadAttributeList(list);
  }
  if (!ok) StoreLastError(error);
  delete[] list_memory;
  return ok;
}

}  // namespace

bool SpawnChild(const std::vector<std::string>& argv, ChildInput input, ChildOutputs outputs,
                Child* child, std::error_code* error) {
  *child = Child();
  if (argv.empty()) {
    SetError(error, SystemError(ERROR_INVALID_PARAMETER));
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
      StoreLastError(error);
      break;
    }
    theirs[i] = i == 0 ? read_end : write_end;
    ours[i] = i == 0 ? write_end : read_end;
  }
  if (ok && input == ChildInput::kNonBlockingPipe) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(theirs[0], &mode, NULL, NULL);
  }
  const bool kept[3] = {input != ChildInput::kNone, outputs != ChildOutputs::kNoStdout,
                        outputs != ChildOutputs::kNoStderr};
  HANDLE standard[3];
  for (int i = 0; i < 3; ++i) standard[i] = kept[i] ? theirs[i] : NULL;

  PROCESS_INFORMATION info;
  ZeroMemory(&info, sizeof(info));
  if (ok) {
    std::string command_line = BuildCommandLine(argv);
    AcquireInheritLock();
    for (int i = 0; i < 3 && ok; ++i) {
      if (standard[i] == NULL) continue;
      ok = SetHandleInformation(standard[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
      if (!ok) StoreLastError(error);
    }
    if (ok) ok = CreateWithHandles(command_line, standard, &info, error);
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
  // Our end of a pipe whose other end the child did not get has no use.
  for (int i = 1; i < 3; ++i) {
    if (kept[i]) continue;
    CloseHandle(ours[i]);
    ours[i] = INVALID_HANDLE_VALUE;
  }
  child->process = Wrap<ChildProcess>(info.hProcess);
  child->input = Wrap<ChildPipe>(ours[0]);
  child->output = Wrap<ChildPipe>(ours[1]);
  child->error = Wrap<ChildPipe>(ours[2]);
  return true;
}

int WriteToChild(const Child& child, const void* data, int size, std::error_code* error) {
  DWORD written = 0;
  if (!WriteFile(ToHandle(child.input), data, static_cast<DWORD>(size), &written, NULL)) {
    StoreLastError(error);
    return -1;
  }
  return static_cast<int>(written);
}

void CloseChildInput(Child* child) { CloseOwnHandle(&child->input); }

int ReadFromChild(const Child& child, ChildStream stream, char* buffer, int capacity,
                  std::error_code* error) {
  DWORD got = 0;
  if (!ReadFile(Stream(child, stream), buffer, static_cast<DWORD>(capacity), &got, NULL)) {
    // An anonymous pipe whose every writer has closed reports a broken pipe, not a zero read.
    DWORD failed = GetLastError();
    if (failed == ERROR_BROKEN_PIPE) return 0;
    SetError(error, SystemError(failed));
    return -1;
  }
  return static_cast<int>(got);
}

bool WaitForChild(const Child& child, int timeout_ms, int* exit_status, std::error_code* error) {
  const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  DWORD waited = WaitForSingleObject(ToHandle(child.process), wait);
  if (waited == WAIT_FAILED) StoreLastError(error);
  if (waited != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(ToHandle(child.process), &code)) return StoreLastError(error), false;
  *exit_status = static_cast<int>(code);
  return true;
}

// We hold a handle; people and tools name a process by its id.
long long ChildProcessNumber(const Child& child) { return GetProcessId(ToHandle(child.process)); }

void KillChild(const Child& child) { TerminateProcess(ToHandle(child.process), 9); }

void KillProcess(long pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (process == NULL) return;
  TerminateProcess(process, 9);
  CloseHandle(process);
}

void ReleaseChild(Child* child) {
  CloseOwnHandle(&child->process);
  CloseOwnHandle(&child->input);
  CloseOwnHandle(&child->output);
  CloseOwnHandle(&child->error);
}

int ReportedExitStatus(int status) { return status; }

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace platform
