// Win32: missing standard handles replaced by handles on NUL.
#include "tools/support/standard_streams.h"

#include "platform/win32/native.h"

namespace platform {

// A process started without a standard handle gets none (NULL), not a free slot that the next
// handle would fill, and the C library leaves its descriptors 0 to 2 unused then, so nothing
// opened later lands there. But a read of the missing input fails where the process should
// find an empty input, as on Linux; NUL gives that, and takes whatever is written.
bool HoldStandardStreams(std::error_code* error) {
  const DWORD streams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (DWORD stream : streams) {
    HANDLE current = GetStdHandle(stream);
    if (current != NULL && current != INVALID_HANDLE_VALUE) continue;
    DWORD access = stream == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE;
    HANDLE null_device = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                     OPEN_EXISTING, 0, NULL);
    if (null_device == INVALID_HANDLE_VALUE) return StoreLastError(error), false;
    SetStdHandle(stream, null_device);
  }
  return true;
}

}  // namespace platform
