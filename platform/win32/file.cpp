// Win32: log files as FILE_APPEND_DATA handles; modification times as FILETIMEs; every name
// through the wide calls.
#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/win32/native.h"

namespace platform {

// A drive prefix such as "C:" ends the directory part too.
const char kDirectorySeparators[] = "\\/:";

namespace {

// The C library's functions report through errno.
bool StoreErrnoUnless(bool ok, std::error_code* error) {
  if (!ok) SetError(error, std::error_code(errno, std::generic_category()));
  return ok;
}

// The index after the run of slices from `first` on that continue one another in memory
// (empty ones are passed over); sets `*size` to the run's bytes.
int EndOfRun(const Slice* slices, int count, int first, size_t* size) {
  *size = slices[first].size;
  int next = first + 1;
  while (next < count &&
         (slices[next].size == 0 || slices[first].data + *size == slices[next].data)) {
    *size += slices[next].size;
    ++next;
  }
  return next;
}

// The one byte that the writer lock covers: far beyond the end of any log, so that no reader
// and no other appender ever reaches it, as Windows refuses them a locked range.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFFE;

}  // namespace

const bool kRenamesOpenFiles = false;

bool IsRegularFile(File file) { return GetFileType(ToHandle(file)) == FILE_TYPE_DISK; }

bool LockForWriting(File file) {
  HANDLE h = ToHandle(file);
  if (!IsRegularFile(file)) return true;
  OVERLAPPED at;
  ZeroMemory(&at, sizeof(at));
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) ||
         GetLastError() != ERROR_LOCK_VIOLATION;
}

// The log's handle does not share deletion, so the log can be neither moved nor removed.
bool IsFileAt(File, const char*) { return true; }

File OpenForAppend(const char* path, std::error_code* error) {
  WideText name(path);
  HANDLE h = name.Get()
                 ? CreateFileW(name.Get(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL)
                 : INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) StoreLastError(error);
  return Wrap<File>(h);
}

bool AppendToFile(File file, const Slice* slices, int count, size_t* written,
                  std::error_code* error) {
  // Files have no gather write here: each run of slices that lie one behind the other in
  // memory goes out with one WriteFile, placed at the end the file has at that moment.
  HANDLE h = ToHandle(file);
  *written = 0;
  for (int i = 0; i < count;) {
    if (slices[i].size == 0) {
      ++i;
      continue;
    }
    const char* data = slices[i].data;
    size_t size = 0;
    i = EndOfRun(slices, count, i, &size);
    SetFilePointer(h, 0, NULL, FILE_END);
    DWORD done = 0;
    BOOL ok = WriteFile(h, data, static_cast<DWORD>(size), &done, NULL);
    *written += done;
    if (!ok) return StoreLastError(error), false;
    if (done < size) break;
  }
  return true;
}

bool IsDiskFull(const std::error_code& error) {
  return error.category() == std::system_category() &&
         (error.value() == ERROR_DISK_FULL || error.value() == ERROR_HANDLE_DISK_FULL);
}

bool CloseFile(File file, std::error_code* error) {
  if (CloseHandle(ToHandle(file))) return true;
  StoreLastError(error);
  return false;
}

bool GetFileSize(File file, int64_t* size, std::error_code* error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(ToHandle(file), &info)) return StoreLastError(error), false;
  *size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  return true;
}

bool GetFilePosition(File file, int64_t* position, std::error_code* error) {
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(ToHandle(file), zero, &at, FILE_CURRENT))
    return StoreLastError(error), false;
  *position = at.QuadPart;
  return true;
}

// The log's handle may only append; a second handle to the same file, with the same
// sharing, is allowed to set its end.
bool TruncateFile(File file, int64_t size, std::error_code* error) {
  HANDLE h = ReOpenFile(ToHandle(file), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return StoreLastError(error), false;
  LARGE_INTEGER end;
  end.QuadPart = size;
  bool done = SetFilePointerEx(h, end, NULL, FILE_BEGIN) && SetEndOfFile(h);
  if (!done) StoreLastError(error);
  CloseHandle(h);
  return done;
}

// The log's handle does not share deletion, so the log cannot be removed while it is open.
bool IsRemoved(File) { return false; }

DescriptorHold::DescriptorHold() {}

DescriptorHold::~DescriptorHold() {}

// The runtime's stat gives whole seconds; the FILETIME behind it keeps 100 ns.
bool GetModificationTime(const char* path, FileTime* time, std::error_code* error) {
  WideText name(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!name.Get() || !GetFileAttributesExW(name.Get(), GetFileExInfoStandard, &data))
    return StoreLastError(error), false;
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime);
  int64_t since_1970 = ticks - kTicksFrom1601To1970;
  int64_t seconds = since_1970 / kTicksPerSecond, rest = since_1970 % kTicksPerSecond;
  if (rest < 0) rest += kTicksPerSecond, --seconds;
  time->seconds = seconds;
  time->nanoseconds = static_cast<int32_t>(rest * 100);
  return true;
}

bool RenameFile(const char* from, const char* to, std::error_code* error) {
  WideText old_name(from), new_name(to);
  if (!old_name.Get() || !new_name.Get()) return StoreLastError(error), false;
  return StoreErrnoUnless(_wrename(old_name.Get(), new_name.Get()) == 0, error);
}

// DeleteFileW removes files only, never a directory.
void RemoveFile(const char* path) {
  WideText name(path);
  if (name.Get()) DeleteFileW(name.Get());
}

int64_t CurrentTimeSeconds() { return _time64(NULL); }

}  // namespace platform
