// External commands on POSIX: popen through /bin/sh.
#include "platform/command.h"

#include <errno.h>

namespace platform {

std::FILE* StartCommand(const char* command, int* error) {
  errno = 0;
  // "e": the stream's descriptor is not inherited by commands started later.
  std::FILE* stream = popen(command, "we");
  if (!stream) *error = errno;
  return stream;
}

int CloseCommand(std::FILE* stream) { return pclose(stream); }

}  // namespace platform
