// Shared set-up of the FidoNet side tests: the settings and message work
// fields they read, allocated once per process and reset for every test,
// and a pinned clock in UTC.
#pragma once

#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "platform/clock.hpp"

namespace quillmar::test {

// Fresh settings with their defaults, and an empty message record and
// tables.
inline void reset_fido_state() {
  release_settings();
  allocate_settings();
  if (message_work.header == nullptr) allocate_message_work();
  reset_message_header();
}

inline AddrMapEntry& add_address_map(FtnAddress ftn, const char* internet, const char* reply = "",
                                     const char* name = "") {
  AddrMapEntry* e = settings->AddrMap.add();
  e->ftn_address = ftn;
  e->internet_address = internet;
  e->reply_address = reply;
  e->fido_name = name;
  return *e;
}

inline void add_fido_domain(uint16_t low, uint16_t high, const char* domain) {
  FidoDomainEntry* e = settings->FidoDomain.add();
  e->zone_low = low;
  e->zone_high = high;
  e->domain = domain;
}

// The name of a table case in the test list made from its text: letters
// and digits, every other character as "_" ("empty" for none).
inline std::string case_name(std::string_view text) {
  std::string name;
  for (char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain) {
      name.push_back(c);
    } else if (!name.empty() && name.back() != '_') {
      name.push_back('_');
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "empty" : name;
}

// Seconds since 1970 of a UTC date; month 1-12.
inline std::time_t utc_time(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

// A fixture with fresh FidoNet state, local time = UTC and a pinned clock
// (9 March 1999 14:05:07).
class FidoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) old_tz_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
    platform::set_fixed_clock(utc_time(1999, 3, 9, 14, 5, 7));
    reset_fido_state();
  }
  void TearDown() override {
    release_settings();
    platform::set_fixed_clock(std::nullopt);
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

}  // namespace quillmar::test
