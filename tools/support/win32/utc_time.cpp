// Win32: the wall clock as a FILETIME, broken down by FileTimeToSystemTime.
#include "tools/support/utc_time.h"

#include "platform/win32/native.h"

namespace platform {

// SYSTEMTIME stops at milliseconds; the microseconds come from the FILETIME's 100 ns steps.
UtcTime CurrentUtcTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  SYSTEMTIME fields;
  FileTimeToSystemTime(&now, &fields);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return UtcTime{fields.wYear,
                 fields.wMonth,
                 fields.wDay,
                 fields.wHour,
                 fields.wMinute,
                 fields.wSecond,
                 static_cast<int>(ticks % kTicksPerSecond / 10)};
}

}  // namespace platform
