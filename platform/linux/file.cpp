// Linux: log files as O_APPEND descriptors; relies on O_CLOEXEC and 64-bit off_t.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/linux/native.h"
#include "platform/lock.h"

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
File OpenForAppend(const char* path, std::error_code* error) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    StoreErrno(error);
    return kNoFile;
  }
  if (!ClearNonBlocking(fd)) {
    StoreErrno(error);
    close(fd);
    return kNoFile;
  }
  return Wrap<File>(fd);
}

const bool kRenamesOpenFiles = true;

bool IsRegularFile(File file) {
  struct stat st;
  return fstat(Fd(file), &st) == 0 && S_ISREG(st.st_mode);
}

// flock rather than a record lock: it belongs to the open file, not to the process, so a
// second descriptor of the same file in this process is refused like another process's, and
// closing that one does not let the log's lock go. The rename of a rotation keeps it too.
bool LockForWriting(File file) {
  if (!IsRegularFile(file)) return true;
  int rc;
  do {
    rc = flock(Fd(file), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno != EWOULDBLOCK;
}

bool IsFileAt(File file, const char* path) {
  struct stat open_file, named;
  if (fstat(Fd(file), &open_file) != 0) return true;
  if (stat(path, &named) != 0) return errno != ENOENT;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

bool AppendToFile(File file, const Slice* slices, int count, size_t* written,
                  std::error_code* error) {
  iovec vec[kMaxSlicesPerAppend];
  if (count > kMaxSlicesPerAppend) count = kMaxSlicesPerAppend;
  for (int i = 0; i < count; ++i) {
    vec[i].iov_base = const_cast<char*>(slices[i].data);
    vec[i].iov_len = slices[i].size;
  }
  ssize_t n;
  do {
    n = count == 1 ? write(Fd(file), vec[0].iov_base, vec[0].iov_len)
                   : writev(Fd(file), vec, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    StoreErrno(error);
    *written = 0;
    return false;
  }
  *written = static_cast<size_t>(n);
  return true;
}

bool IsDiskFull(const std::error_code& error) {
  return error.category() == std::generic_category() &&
         (error.value() == ENOSPC || error.value() == EDQUOT);
}

// Linux releases the descriptor even when close reports an error; saying false here would
// have the caller write through a number that may already belong to another file.
bool CloseFile(File file, std::error_code*) {
  close(Fd(file));
  return true;
}

bool GetFileSize(File file, int64_t* size, std::error_code* error) {
  struct stat st;
  if (fstat(Fd(file), &st) != 0) return StoreErrno(error), false;
  *size = st.st_size;
  return true;
}

bool GetFilePosition(File file, int64_t* position, std::error_code* error) {
  off_t at = lseek(Fd(file), 0, SEEK_CUR);
  if (at < 0) return StoreErrno(error), false;
  *position = at;
  return true;
}

bool TruncateFile(File file, int64_t size, std::error_code* error) {
  int rc;
  do {
    rc = ftruncate(Fd(file), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) StoreErrno(error);
  return rc == 0;
}

bool IsRemoved(File file) {
  struct stat st;
  return fstat(Fd(file), &st) == 0 && st.st_nlink == 0;
}

namespace {

// Never destroyed: a client thread may hold it while the process exits.
Lock& DescriptorLock() {
  static Lock* lock = new Lock;
  return *lock;
}

}  // namespace

DescriptorHold::DescriptorHold() { DescriptorLock().Acquire(); }

DescriptorHold::~DescriptorHold() { DescriptorLock().Release(); }

bool GetModificationTime(const char* path, FileTime* time, std::error_code* error) {
  struct stat st;
  if (stat(path, &st) != 0) return StoreErrno(error), false;
  time->seconds = st.st_mtim.tv_sec;
  time->nanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
  return true;
}

bool RenameFile(const char* from, const char* to, std::error_code* error) {
  if (std::rename(from, to) == 0) return true;
  StoreErrno(error);
  return false;
}

// Not remove(3): where unlink fails it tries rmdir, and so would take away an empty
// directory, even another user's, that stands at a backup name.
void RemoveFile(const char* path) { unlink(path); }

int64_t CurrentTimeSeconds() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace platform
