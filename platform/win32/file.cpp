// Win32 log files: append-only handles, 64-bit sizes and times, through kernel32 and msvcrt.
#include "platform/file.h"

#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>

#include <cstdio>
#include <ctime>

namespace platform {

// A drive prefix such as "C:" ends the directory part too.
const char kDirectorySeparators[] = "\\/:";

namespace {

HANDLE ToHandle(File file) { return reinterpret_cast<HANDLE>(file.native); }

}  // namespace

File OpenForAppend(const char* path, int* error) {
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return kNoFile;
  }
  return File{reinterpret_cast<intptr_t>(h)};
}

bool AppendToFile(File file, const Slice* slices, int count, size_t* written) {
  // Files have no gather write here, so the slices go out one after another, each placed
  // at the end the file has at that moment.
  HANDLE h = ToHandle(file);
  *written = 0;
  for (int i = 0; i < count; ++i) {
    if (slices[i].size == 0) continue;
    SetFilePointer(h, 0, NULL, FILE_END);
    DWORD done = 0;
    BOOL ok = WriteFile(h, slices[i].data, static_cast<DWORD>(slices[i].size), &done, NULL);
    *written += done;
    if (!ok) return false;
    if (done < slices[i].size) break;
  }
  return true;
}

bool CloseFile(File file) { return CloseHandle(ToHandle(file)) != 0; }

bool GetFileSize(File file, int64_t* size) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(ToHandle(file), &info)) return false;
  *size =
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  return true;
}

bool GetFilePosition(File file, int64_t* position) {
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(ToHandle(file), zero, &at, FILE_CURRENT)) return false;
  *position = at.QuadPart;
  return true;
}

// The log's handle may only append; a second handle to the same file, with the same
// sharing, is allowed to set its end.
bool TruncateFile(File file, int64_t size) {
  HANDLE h = ReOpenFile(ToHandle(file), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = size;
  bool done = SetFilePointerEx(h, end, NULL, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return done;
}

bool GetModificationTime(const char* path, int64_t* seconds) {
  // Plain stat has a 32-bit time on this target; the 64-bit variant is named explicitly.
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return false;
  *seconds = st.st_mtime;
  return true;
}

bool SetModificationTime(const char* path, int64_t seconds) {
  struct __utimbuf64 times;
  times.actime = seconds;
  times.modtime = seconds;
  return _utime64(path, &times) == 0;
}

bool RenameFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void RemoveFile(const char* path) { std::remove(path); }

int64_t CurrentTimeSeconds() { return _time64(NULL); }

}  // namespace platform
