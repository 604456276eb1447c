// Log files on POSIX: O_APPEND descriptors, so every write lands at the current end.
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

const char kDirectorySeparators[] = "/";

namespace {

bool ClearNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

// The open must not block: it runs before the server watches its manager, and later under
// the writer's lock. Opened non-blocking, a FIFO without a reader fails with ENXIO instead of
// waiting for one; one with a reader is taken, and its writes block as a file's would.
File OpenForAppend(const char* path, int* error) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  if (!ClearNonBlocking(fd)) {
    *error = errno;
    close(fd);
    return kNoFile;
  }
  return File{fd};
}

bool AppendToFile(File file, const Slice* slices, int count, size_t* written) {
  enum { kMaxSlices = 64 };
  iovec vec[kMaxSlices];
  if (count > kMaxSlices) count = kMaxSlices;
  for (int i = 0; i < count; ++i) {
    vec[i].iov_base = const_cast<char*>(slices[i].data);
    vec[i].iov_len = slices[i].size;
  }
  ssize_t n;
  do {
    n = count == 1 ? write(static_cast<int>(file.native), vec[0].iov_base, vec[0].iov_len)
                   : writev(static_cast<int>(file.native), vec, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *written = 0;
    return false;
  }
  *written = static_cast<size_t>(n);
  return true;
}

// Linux releases the descriptor even when close reports an error; saying false here would
// have the caller write through a number that may already belong to another file.
bool CloseFile(File file) {
  close(static_cast<int>(file.native));
  return true;
}

bool GetFileSize(File file, int64_t* size) {
  struct stat st;
  if (fstat(static_cast<int>(file.native), &st) != 0) return false;
  *size = st.st_size;
  return true;
}

bool GetFilePosition(File file, int64_t* position) {
  off_t at = lseek(static_cast<int>(file.native), 0, SEEK_CUR);
  if (at < 0) return false;
  *position = at;
  return true;
}

bool TruncateFile(File file, int64_t size) {
  int rc;
  do {
    rc = ftruncate(static_cast<int>(file.native), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool GetModificationTime(const char* path, int64_t* seconds) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  *seconds = st.st_mtime;
  return true;
}

bool SetModificationTime(const char* path, int64_t seconds) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path, times, 0) == 0;
}

bool RenameFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void RemoveFile(const char* path) { std::remove(path); }

int64_t CurrentTimeSeconds() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace platform
