// Linux: descriptors 0, 1 and 2 held on /dev/null when closed.
#include "tools/support/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/native.h"

namespace platform {

// Every descriptor below `fd` is open by the time it is checked, so open() gives `fd` itself.
bool HoldStandardStreams(std::error_code* error) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) {
      StoreErrno(error);
      return false;
    }
  }
  return true;
}

}  // namespace platform
