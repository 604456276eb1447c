// Arranging the ages of files, for the tests and tools.
#pragma once

#include "platform/file.h"

namespace platform {

/// Sets the modification time of the file or directory at `path`; Windows keeps it in steps
/// of 100 ns. False when it cannot be set.
bool SetModificationTime(const char* path, FileTime time, std::error_code* error = nullptr);

}  // namespace platform
