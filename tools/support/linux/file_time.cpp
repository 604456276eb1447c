// Linux: modification times through utimensat.
#include "tools/support/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/linux/native.h"

namespace platform {

bool SetModificationTime(const char* path, FileTime time, std::error_code* error) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(time.seconds);
  times[0].tv_nsec = times[1].tv_nsec = time.nanoseconds;
  if (utimensat(AT_FDCWD, path, times, 0) == 0) return true;
  StoreErrno(error);
  return false;
}

}  // namespace platform
