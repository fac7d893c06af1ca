// Local time for the whole program, with a fixed clock for tests.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace quillmar::platform {

struct LocalTime {
  int year = 0;     // four digits
  int month = 0;    // 1-12
  int day = 0;      // 1-31
  int hour = 0;     // 0-23
  int minute = 0;   // 0-59
  int second = 0;   // 0-59
  int weekday = 0;  // 0 = Sunday
};

// The current time in seconds; the fixed time when one is set.
std::time_t now();
void set_fixed_clock(std::optional<std::time_t> t);

LocalTime local_time(std::time_t t);
// Offset of local time from UTC at `t`, in seconds east of Greenwich.
long utc_offset(std::time_t t);

// DOS packed date and time of a moment in local time.
uint16_t dos_date(const LocalTime& lt);
uint16_t dos_time(const LocalTime& lt);

}  // namespace quillmar::platform
