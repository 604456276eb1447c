// Linux: external commands through popen and /bin/sh; relies on glibc's "e" (close-on-exec).
#include "platform/command.h"

#include "platform/linux/native.h"

namespace platform {

std::FILE* StartCommand(const char* command, std::error_code* error) {
  errno = 0;
  // "e": the stream's descriptor is not inherited by commands started later.
  std::FILE* stream = popen(command, "we");
  if (!stream) StoreErrno(error);
  return stream;
}

int CloseCommand(std::FILE* stream) { return pclose(stream); }

bool IsCommandGone(int error_number) { return error_number == EPIPE; }

}  // namespace platform
