// Dates of file times against localtime_r itself, in zones with every kind
// of change.
#include "platform/posix/local_dates.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <random>

namespace tabulon {
namespace {

void UseZone(const char* zone) {
  ::setenv("TZ", zone, 1);
  ::tzset();
  ForgetLocalDates();
}

// Zones as rules, which need no time zone database, and from the database
// where it is installed (without it they are UTC and change nothing).
const char* const kZones[] = {
    "UTC0",
    "JST-9",
    "EST5EDT,M3.2.0,M11.1.0",
    "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",  // half an hour of saving
    "<-0330>3:30<-0230>,M3.2.0/0:01,M11.1.0/0:01",
    "America/New_York",
    "Europe/Moscow",        // saving given up, zone moved twice
    "Pacific/Apia",         // 2011-12-30 left out
    "Asia/Kathmandu",       // +5:45
    "Africa/Casablanca",    // saving broken off for each Ramadan
    "Africa/Freetown",      // two changes four days apart
    "right/Europe/Berlin",  // leap seconds counted
};

TEST(LocalDatesTest, AgreeWithTheSystemInEveryZone) {
  const char* const old = ::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  std::mt19937_64 random(11);
  for (const char* zone : kZones) {
    UseZone(zone);
    std::int64_t wrong = 0;
    const auto check = [&](std::int64_t seconds) {
      const time_t t = static_cast<time_t>(seconds);
      struct tm parts;
      ASSERT_NE(localtime_r(&t, &parts), nullptr) << zone << " " << seconds;
      const LocalDate date = LocalDateOf(t);
      if (date.year != parts.tm_year + 1900 || date.month != parts.tm_mon + 1 ||
          date.day != parts.tm_mday) {
        if (++wrong <= 3) {
          ADD_FAILURE() << zone << ": " << seconds << " gives " << date.year
                        << "-" << date.month << "-" << date.day;
        }
      }
    };
    // 1900 to 2100 at steps that fall at every time of day in turn, then
    // far out either way.
    for (std::int64_t t = -2208988800; t < 4102444800; t += 7919) check(t);
    for (int i = 0; i < 20000; ++i) {
      check(static_cast<std::int64_t>(random() % 200000000000) - 100000000000);
    }
    EXPECT_EQ(wrong, 0) << zone;
  }
  if (old != nullptr) {
    UseZone(saved.c_str());
  } else {
    ::unsetenv("TZ");
    ::tzset();
    ForgetLocalDates();
  }
}

}  // namespace
}  // namespace tabulon
