// Linux: the wall clock through clock_gettime, broken down by gmtime_r.
#include "tools/support/utc_time.h"

#include <time.h>

namespace platform {

UtcTime CurrentUtcTime() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields;
  gmtime_r(&now.tv_sec, &fields);
  return UtcTime{fields.tm_year + 1900,
                 fields.tm_mon + 1,
                 fields.tm_mday,
                 fields.tm_hour,
                 fields.tm_min,
                 fields.tm_sec,
                 static_cast<int>(now.tv_nsec / 1000)};
}

}  // namespace platform
