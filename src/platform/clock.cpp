#include "platform/clock.hpp"

namespace quillmar::platform {

namespace {
std::optional<std::time_t> fixed_clock;
}

std::time_t now() {
  return fixed_clock ? *fixed_clock : std::time(nullptr);
}

void set_fixed_clock(std::optional<std::time_t> t) {
  fixed_clock = t;
}

LocalTime local_time(std::time_t t) {
  // The same second is asked for again and again while mail is converted.
  static std::time_t cached_time = -1;
  static struct tm cached {};
  if (t != cached_time) {
    localtime_r(&t, &cached);
    cached_time = t;
  }
  const struct tm& tm = cached;
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.weekday = tm.tm_wday;
  return lt;
}

long utc_offset(std::time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  return tm.tm_gmtoff;
}

uint16_t dos_date(const LocalTime& lt) {
  int year = lt.year < 1980 ? 0 : lt.year - 1980;
  if (year > 127) year = 127;
  return static_cast<uint16_t>((year << 9) | (lt.month << 5) | lt.day);
}

uint16_t dos_time(const LocalTime& lt) {
  return static_cast<uint16_t>((lt.hour << 11) | (lt.minute << 5) | (lt.second / 2));
}

}  // namespace quillmar::platform
