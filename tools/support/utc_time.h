// The calendar time in UTC to the microsecond, for the time stamps that tools put before text.
#pragma once

namespace platform {

/// A moment of the Gregorian calendar in UTC.
struct UtcTime {
  int year;
  int month;  ///< 1 to 12.
  int day;    ///< 1 to 31.
  int hour;
  int minute;
  int second;
  int microsecond;
};

/// The time now, from the system's wall clock.
UtcTime CurrentUtcTime();

}  // namespace platform
