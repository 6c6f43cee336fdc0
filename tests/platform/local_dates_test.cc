// Dates of file times against localtime_r itself, in zones with every kind
// of change, and which zones are found to suit spans of two days.
#include "platform/posix/local_dates.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tabulon {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t k1601 = -11644473600;   // 1601-01-01
constexpr std::int64_t k10000 = 253402300800;  // 10000-01-01
const char kZoneInfo[] = "/usr/share/zoneinfo";

void UseZone(const char* zone) {
  if (zone == nullptr) {
    ::unsetenv("TZ");
  } else {
    ::setenv("TZ", zone, 1);
  }
  ::tzset();
  ForgetLocalDates();
}

// Puts TZ (and TZDIR) back as they were when the test began.
class LocalDatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = ::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) tz_ = tz;
  }
  void TearDown() override {
    ::unsetenv("TZDIR");
    UseZone(had_tz_ ? tz_.c_str() : nullptr);
  }

 private:
  bool had_tz_ = false;
  std::string tz_;
};

// Counts the times whose date LocalDateOf gives otherwise than localtime_r
// in the zone in use, and reports the first few.
class DateChecker {
 public:
  explicit DateChecker(std::string zone) : zone_(std::move(zone)) {}

  void Check(std::int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    if (localtime_r(&t, &parts) == nullptr) return;  // beyond the system
    const LocalDate date = LocalDateOf(t);
    if (date.year != parts.tm_year + 1900 || date.month != parts.tm_mon + 1 ||
        date.day != parts.tm_mday) {
      if (++wrong_ <= 3) {
        ADD_FAILURE() << zone_ << ": " << seconds << " gives " << date.year
                      << "-" << date.month << "-" << date.day << " against "
                      << parts.tm_year + 1900 << "-" << parts.tm_mon + 1 << "-"
                      << parts.tm_mday;
      }
    }
  }

  void CheckRandom(std::mt19937_64* random, int count) {
    for (int i = 0; i < count; ++i) {
      Check(k1601 + static_cast<std::int64_t>((*random)() % (k10000 - k1601)));
    }
  }

  std::int64_t wrong() const { return wrong_; }

 private:
  std::string zone_;
  std::int64_t wrong_ = 0;
};

std::int64_t NewYear(int year) {  // 00:00 UTC
  struct tm parts = {};
  parts.tm_year = year - 1900;
  parts.tm_mday = 1;
  return static_cast<std::int64_t>(::timegm(&parts));
}

// Rules whose saving lasts an hour, 23 hours or a day, east and west of
// UTC, with the days (from a day of the year) across which it begins and
// ends; and ordinary ones.
struct RuleCase {
  const char* rule;
  int first_day;  // 0 is January 1st
  int days;
};
const RuleCase kRules[] = {
    {"XST-3XDT,J100/1,J100/3", 97, 5},                      // an hour, east
    {"XST3XDT,J100/1,J100/3", 97, 5},                       // an hour, west
    {"<+0530>-5:30<+0630>,M10.5.6/-1,M10.5.6/1", 290, 14},  // an hour
    {"XST-3XDT,J100/0,J101/1", 97, 6},                      // a day, east
    {"XST4XDT,J100/0,J101/1", 97, 6},                       // a day, west
    {"<+10>-10<+11>,M3.2.0/0,M3.2.0/24", 60, 18},           // 23 hours, east
    {"<-07>7<-06>,M10.1.0/2,M10.1.0/26", 270, 12},          // 23 hours, west
    {"XST-14XDT,J100/167,J108/0", 103, 8},                  // 167 hours on
    {"XST-3XDT,J365/0,J1/0", -3, 6},                        // over new year
    {"XST-3XDT,J59/0,60/0", 55, 8},                         // leap years only
    {"EST5EDT,M3.2.0,M11.1.0", 60, 250},
    {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", 85, 200},  // half an hour
    {"JST-9", 0, 3},
};

TEST_F(LocalDatesTest, RuleZonesAgreeWithTheSystemAroundTheirChanges) {
  std::mt19937_64 random(7);
  for (const RuleCase& c : kRules) {
    UseZone(c.rule);
    DateChecker checker(c.rule);
    // Every ten minutes across the days of the changes, before and after
    // 1970 (where the C library counts the changes from 1970).
    for (int year = 1966; year <= 2045; ++year) {
      const std::int64_t from = NewYear(year) + c.first_day * kDay;
      for (std::int64_t t = from; t < from + c.days * kDay; t += 600) {
        checker.Check(t);
      }
    }
    checker.CheckRandom(&random, 20000);
    EXPECT_EQ(checker.wrong(), 0) << c.rule;
  }
}

// Every tenth zone file under the database's directory (in name order,
// leaving out the copies under posix/ and right/) and zones with changes of
// every kind: all of them would take too long.
std::vector<std::string> DatabaseZones() {
  std::vector<std::string> all;
  std::error_code error;
  namespace fs = std::filesystem;
  for (auto it = fs::recursive_directory_iterator(kZoneInfo, error);
       !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string name =
        it->path().lexically_relative(kZoneInfo).generic_string();
    if (it->is_directory() && (name == "posix" || name == "right")) {
      it.disable_recursion_pending();
      continue;
    }
    std::ifstream file(it->path(), std::ios::binary);
    char magic[4] = {};
    if (it->is_regular_file() && file.read(magic, 4) &&
        std::string(magic, 4) == "TZif") {
      all.push_back(name);
    }
  }
  std::sort(all.begin(), all.end());
  std::vector<std::string> zones;
  for (std::size_t i = 0; i < all.size(); i += 10) zones.push_back(all[i]);
  for (const char* zone : {
           "America/New_York",
           "Europe/Moscow",        // saving given up, zone moved twice
           "Pacific/Apia",         // 2011-12-30 left out
           "Asia/Kathmandu",       // +5:45
           "Africa/Casablanca",    // saving broken off for each Ramadan
           "Africa/Freetown",      // two changes four days apart
           "Australia/Lord_Howe",  // half an hour of saving
           "right/Europe/Berlin",  // leap seconds counted
           "right/Australia/Lord_Howe",
       }) {
    if (fs::exists(std::string(kZoneInfo) + "/" + zone)) zones.push_back(zone);
  }
  return zones;
}

TEST_F(LocalDatesTest, DatabaseZonesAgreeWithTheSystem) {
  const std::vector<std::string> zones = DatabaseZones();
  if (zones.empty()) GTEST_SKIP() << "no time zone database";
  std::mt19937_64 random(11);
  for (const std::string& zone : zones) {
    UseZone(zone.c_str());
    DateChecker checker(zone);
    // Steps of a little over three days find the changes from 1900 to
    // 2040; the days around each are checked hour by hour.
    constexpr std::int64_t kStep = 3 * kDay + 3600 + 7;
    time_t before = static_cast<time_t>(NewYear(1900));
    struct tm parts;
    localtime_r(&before, &parts);
    long distance = parts.tm_gmtoff;
    for (std::int64_t t = before + kStep; t < NewYear(2040); t += kStep) {
      const time_t now = static_cast<time_t>(t);
      localtime_r(&now, &parts);
      checker.Check(t);
      if (parts.tm_gmtoff != distance) {
        for (std::int64_t u = t - kStep; u < t; u += 3600) {
          checker.Check(u);
        }
        distance = parts.tm_gmtoff;
      }
    }
    checker.CheckRandom(&random, 1000);
    EXPECT_EQ(checker.wrong(), 0) << zone;
  }
}

// A compiled zone file made in the test: transitions to kinds of distance,
// leap seconds and the rule of its last line.
struct ZoneFile {
  char version = '2';
  std::vector<std::int64_t> at;
  std::vector<int> kind;
  std::vector<std::pair<std::int32_t, bool>> kinds = {{0, false}};
  std::vector<std::pair<std::int64_t, std::int32_t>> leaps;
  std::string rule;
};

void PutNumber(std::uint64_t value, int width, std::string* out) {
  for (int i = width - 1; i >= 0; --i) {
    out->push_back(static_cast<char>(value >> (8 * i) & 0xFF));
  }
}

std::string Compile(const ZoneFile& zone) {
  std::string out;
  const auto block = [&](char version, int width) {
    out += "TZif";
    out.push_back(version);
    out += std::string(15, '\0');
    for (const std::size_t count :
         {std::size_t{0}, std::size_t{0}, zone.leaps.size(), zone.at.size(),
          zone.kinds.size(), std::size_t{1}}) {
      PutNumber(count, 4, &out);
    }
    for (const std::int64_t at : zone.at) PutNumber(at, width, &out);
    for (const int kind : zone.kind) PutNumber(kind, 1, &out);
    for (const auto& [distance, saving] : zone.kinds) {
      PutNumber(static_cast<std::uint32_t>(distance), 4, &out);
      out.push_back(saving ? 1 : 0);
      out.push_back(0);
    }
    out.push_back('\0');  // the one name, empty
    for (const auto& [at, correction] : zone.leaps) {
      PutNumber(at, width, &out);
      PutNumber(correction, 4, &out);
    }
  };
  block(zone.version, 4);
  if (zone.version != '\0') {
    block(zone.version, 8);
    out += "\n" + zone.rule + "\n";
  }
  return out;
}

// Two days in seconds, and a time in 2001.
constexpr std::int64_t kSpan = 2 * kDay;
constexpr std::int64_t kT = 1000000000;
// 2037-10-26 21:00 UTC: the end of saving time by the rule of kLongSaving
// in 2037 (J300 at midnight of its clock four hours ahead).
constexpr std::int64_t kEnd2037 = 2140200000;
const char kLongSaving[] = "XST-3XDT,J100/0,J300/0";

ZoneFile Moves(std::vector<std::int64_t> at, std::vector<int> kind,
               std::vector<std::pair<std::int32_t, bool>> kinds) {
  ZoneFile zone;
  zone.at = std::move(at);
  zone.kind = std::move(kind);
  zone.kinds = std::move(kinds);
  return zone;
}

TEST_F(LocalDatesTest, ZoneFilesSuitSpansUnlessChangesCancelWithinTwoDays) {
  const std::pair<std::int32_t, bool> standard{10800, false};
  const std::pair<std::int32_t, bool> saving{14400, true};
  const std::pair<std::int32_t, bool> moved{18000, false};
  struct Case {
    const char* what;
    ZoneFile zone;
    bool suits;
  };
  std::vector<Case> cases = {
      {"saving for a day", Moves({kT, kT + kDay}, {1, 0}, {standard, saving}),
       false},
      {"saving for two days less a second",
       Moves({kT, kT + kSpan - 1}, {1, 0}, {standard, saving}), false},
      {"saving for four days",
       Moves({kT, kT + 2 * kSpan}, {1, 0}, {standard, saving}), true},
      {"moved twice in a day, the same way",
       Moves({kT, kT + kDay}, {1, 2}, {standard, saving, moved}), true},
      {"moved there and back in a day, neither saving",
       Moves({kT, kT + 3600}, {1, 0}, {standard, moved}), false},
  };
  ZoneFile v1 = Moves({kT, kT + kDay}, {1, 0}, {standard, saving});
  v1.version = '\0';
  cases.push_back({"version 1, saving for a day", v1, false});
  v1.at[1] = kT + 5 * kDay;
  cases.push_back({"version 1, saving for five days", v1, true});

  ZoneFile ruled = Moves({kT}, {0}, {standard});
  ruled.rule = "XST-3XDT,J100/1,J100/3";
  cases.push_back({"a rule of an hour's saving after the last", ruled, false});
  ruled.rule = kLongSaving;
  cases.push_back({"a rule of long saving after the last", ruled, true});
  // The last transition goes to saving time a day before the rule ends it.
  ZoneFile near = Moves({kT, kEnd2037 - kDay}, {0, 1}, {standard, saving});
  near.rule = kLongSaving;
  cases.push_back({"the last transition a day before the rule's", near, false});
  near.at[1] = kEnd2037 - 10 * kDay;
  cases.push_back({"the last transition ten days before", near, true});

  // A leap second takes a second off the distance: it cancels a move of a
  // second, not one of an hour.
  ZoneFile leap = Moves({kT}, {1}, {{0, false}, {1, false}});
  leap.leaps = {{kT + 100, 1}};
  cases.push_back({"a leap second after a move of a second", leap, false});
  leap.kinds[1].first = 3600;
  cases.push_back({"a leap second after a move of an hour", leap, true});

  for (const Case& c : cases) {
    EXPECT_EQ(ZoneFileSuitsSpans(Compile(c.zone)), c.suits) << c.what;
  }
}

TEST_F(LocalDatesTest, ZoneFilesNotUnderstoodDoNotSuitSpans) {
  ZoneFile zone;
  zone.at = {kT, kT + 10 * kDay};
  zone.kind = {1, 0};
  zone.kinds = {{10800, false}, {14400, true}};
  zone.rule = kLongSaving;
  const std::string good = Compile(zone);
  ASSERT_TRUE(ZoneFileSuitsSpans(good));

  std::vector<std::pair<const char*, std::string>> broken = {
      {"cut short", good.substr(0, good.size() - 30)},
      {"no final line end", good.substr(0, good.size() - 1)},
      {"not a zone file", "TZjf" + good.substr(4)},
      {"empty", ""},
  };
  ZoneFile bad = zone;
  bad.kind = {1, 2};
  broken.push_back({"a kind that is not there", Compile(bad)});
  bad = zone;
  bad.at = {kT + 10 * kDay, kT};
  broken.push_back({"transitions out of order", Compile(bad)});
  bad = zone;
  bad.rule = "XST-3XDT";
  broken.push_back({"a rule without its days", Compile(bad)});
  for (const auto& [what, bytes] : broken) {
    EXPECT_FALSE(ZoneFileSuitsSpans(bytes)) << what;
  }
}

TEST_F(LocalDatesTest, DatabaseFilesSuitSpans) {
  for (const char* name :
       {"Europe/Moscow", "America/New_York", "Africa/Freetown", "Pacific/Apia",
        "Africa/Casablanca", "right/Europe/Berlin"}) {
    std::ifstream file(std::string(kZoneInfo) + "/" + name, std::ios::binary);
    if (!file) continue;  // no database: the rules below still count
    std::ostringstream bytes;
    bytes << file.rdbuf();
    EXPECT_TRUE(ZoneFileSuitsSpans(bytes.str())) << name;
  }
}

TEST_F(LocalDatesTest, RulesSuitSpansUnlessSavingIsShort) {
  const struct {
    const char* rule;
    bool suits;
  } kCases[] = {
      {"UTC0", true},
      {"JST-9", true},
      {"EST5EDT,M3.2.0,M11.1.0", true},
      {"<+0330>-3:30<+0430>,J79/24,J263/24", true},
      {"XST3XDT2,M3.2.0/-1:30:15,M11.1.0/+3", true},
      {"XST-3XDT,J100/1,J100/2", true},    // begins as it ends: no saving
      {"XST-3XDT,J100/1,J100/3", false},   // an hour
      {"XST-3XDT,J100/0,J101/1", false},   // a day
      {"XST-3XDT,J100/0,J101/23", false},  // 46 hours
      {"XST-3XDT,J100/0,J101/26", true},   // 49 hours
      {"XST-3XDT,J100/-167,J100/0", true},
      {"XST-3XDT,J100/167,J108/0", false},  // a day, a week on
      {"XST-3XDT,M3.5.0,M4.2.1", true},
      {"XST-3XDT,M3.5.0,M4.1.1", false},  // a day where March 31 is a Sunday
      {"XST-3XDT,J59/0,61/0", true},
      {"XST-3XDT,J59/0,60/0", false},   // 47 hours in leap years
      {"XST-3XDT,J365/0,J1/0", false},  // 27 hours over new year
      // Not understood, or read by the C library in ways of its own.
      {"XST5XDT", false},
      {"EST5 ", false},
      {"XST-25", false},
      {"<AB>-3", false},
      {"XST-3XDT,J0,J100", false},
      {"XST-3XDT,M13.1.0,M4.1.0", false},
      {"XST-3XDT,J100/168,J200", false},
      {"XST-3XDT,J100,J200,", false},
      {"", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(RuleSuitsSpans(c.rule), c.suits) << c.rule;
  }
}

// Where the zone is taken from, as the C library takes it.
TEST_F(LocalDatesTest, TheZoneIsTakenFromWhereTheSystemTakesIt) {
  const std::string dir = ::testing::TempDir() + "local_dates_zones";
  std::filesystem::create_directories(dir);
  ZoneFile zone;
  zone.at = {kT, kT + 3600};
  zone.kind = {1, 0};
  zone.kinds = {{10800, false}, {14400, true}};
  std::ofstream(dir + "/Short", std::ios::binary) << Compile(zone);
  zone.at[1] = kT + 10 * kDay;
  std::ofstream(dir + "/Long", std::ios::binary) << Compile(zone);

  const struct {
    const char* tz;
    bool use_spans;
  } kCases[] = {
      {"", true},  // UTC
      {"UTC0", true},     {"XST-3XDT,J100/1,J100/3", false},
      {"XST5XDT", false}, {"Short", false},
      {":Short", false},  {"Long", true},
      {":Long", true},
  };
  ::setenv("TZDIR", dir.c_str(), 1);
  for (const auto& c : kCases) {
    UseZone(c.tz);
    EXPECT_EQ(LocalDatesUseSpans(), c.use_spans) << c.tz;
  }
  const std::string absolute = dir + "/Short";
  UseZone(absolute.c_str());
  EXPECT_FALSE(LocalDatesUseSpans()) << absolute;
  std::filesystem::remove_all(dir);
}

// Dates worked out apart from the C library (Python's zoneinfo, which reads
// the same zone files with a reader of its own): the second before and the
// first second of a local day, in zones of every kind of offset.
TEST_F(LocalDatesTest, DatesAgreeWithAnIndependentSource) {
  const struct {
    const char* zone;
    std::int64_t t;
    int year, month, day;
  } kCases[] = {
      {"Asia/Kolkata", 999973799, 2001, 9, 8},  // 2001-09-08T23:59:59+05:30
      {"Asia/Kolkata", 999973800, 2001, 9, 9},  // 2001-09-09T00:00:00+05:30
      {"Asia/Kathmandu", 1709230499, 2024, 2, 29},  // 2024-02-29T23:59:59+05:45
      {"Asia/Kathmandu", 1709230500, 2024, 3, 1},  // 2024-03-01T00:00:00+05:45
      {"Pacific/Chatham", 1704017699, 2023, 12, 31},  // 2023-12-31T23:59:59+13:45
      {"Pacific/Chatham", 1704017700, 2024, 1, 1},  // 2024-01-01T00:00:00+13:45
      {"Pacific/Kiritimati", 1719741599, 2024, 6, 30},  // 2024-06-30T23:59:59+14:00
      {"Pacific/Kiritimati", 1719741600, 2024, 7, 1},  // 2024-07-01T00:00:00+14:00
      {"Pacific/Kiritimati", 788867999, 1994, 12, 30},  // 1994-12-30T23:59:59-10:00
      {"Pacific/Kiritimati", 788868000, 1995, 1, 1},  // 1995-01-01T00:00:00+14:00
      {"Pacific/Apia", 1325239199, 2011, 12, 29},  // 2011-12-29T23:59:59-10:00
      {"Pacific/Apia", 1325239200, 2011, 12, 31},  // 2011-12-31T00:00:00+14:00
      {"America/St_Johns", 1688178599, 2023, 6, 30},  // 2023-06-30T23:59:59-02:30
      {"America/St_Johns", 1688178600, 2023, 7, 1},  // 2023-07-01T00:00:00-02:30
      {"Australia/Lord_Howe", 1704027599, 2023, 12, 31},  // 2023-12-31T23:59:59+11:00
      {"Australia/Lord_Howe", 1704027600, 2024, 1, 1},  // 2024-01-01T00:00:00+11:00
      {"Europe/Dublin", 1704067199, 2023, 12, 31},  // 2023-12-31T23:59:59+00:00
      {"Europe/Dublin", 1704067200, 2024, 1, 1},  // 2024-01-01T00:00:00+00:00
      {"Europe/Dublin", 1719788399, 2024, 6, 30},  // 2024-06-30T23:59:59+01:00
      {"Europe/Dublin", 1719788400, 2024, 7, 1},  // 2024-07-01T00:00:00+01:00
      {"America/New_York", -2717694239, 1883, 11, 17},  // 1883-11-17T23:59:59-04:56:02
      {"America/New_York", -2717694238, 1883, 11, 18},  // 1883-11-18T00:00:00-04:56:02
      {"America/New_York", 13574581199, 2400, 2, 28},  // 2400-02-28T23:59:59-05:00
      {"America/New_York", 13574581200, 2400, 2, 29},  // 2400-02-29T00:00:00-05:00
      {"America/New_York", 253402232399, 9999, 12, 30},  // 9999-12-30T23:59:59-05:00
      {"America/New_York", 253402232400, 9999, 12, 31},  // 9999-12-31T00:00:00-05:00
      {"Europe/Berlin", -11644390409, 1601, 1, 1},  // 1601-01-01T23:59:59+00:53:28
      {"Europe/Berlin", -11644390408, 1601, 1, 2},  // 1601-01-02T00:00:00+00:53:28
      {"Etc/GMT+12", 1709207999, 2024, 2, 28},  // 2024-02-28T23:59:59-12:00
      {"Etc/GMT+12", 1709208000, 2024, 2, 29},  // 2024-02-29T00:00:00-12:00
      {"Antarctica/Troll", 1719784799, 2024, 6, 30},  // 2024-06-30T23:59:59+02:00
      {"Antarctica/Troll", 1719784800, 2024, 7, 1},  // 2024-07-01T00:00:00+02:00
      {"Europe/Moscow", 1338494399, 2012, 5, 31},  // 2012-05-31T23:59:59+04:00
      {"Europe/Moscow", 1338494400, 2012, 6, 1},  // 2012-06-01T00:00:00+04:00
      {"Africa/Casablanca", 1710892799, 2024, 3, 19},  // 2024-03-19T23:59:59+00:00
      {"Africa/Casablanca", 1710892800, 2024, 3, 20},  // 2024-03-20T00:00:00+00:00
      {"Australia/Sydney", -122401, 1969, 12, 30},  // 1969-12-30T23:59:59+10:00
      {"Australia/Sydney", -122400, 1969, 12, 31},  // 1969-12-31T00:00:00+10:00
      {"Asia/Tokyo", -2203923601, 1900, 2, 28},  // 1900-02-28T23:59:59+09:00
      {"Asia/Tokyo", -2203923600, 1900, 3, 1},  // 1900-03-01T00:00:00+09:00
      // The leap second 1972-06-30 23:59:60 is of June 30; the seconds
      // around the next midnight count it.
      {"right/UTC", 78796799, 1972, 6, 30},
      {"right/UTC", 78796800, 1972, 6, 30},
      {"right/UTC", 78796801, 1972, 7, 1},
      {"right/UTC", 78883200, 1972, 7, 1},
      {"right/UTC", 78883201, 1972, 7, 2},
      // Rules without a file.
      {"IST-5:30", 999973799, 2001, 9, 8},
      {"IST-5:30", 999973800, 2001, 9, 9},
      {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", 1704017699, 2023, 12, 31},
      {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", 1704017700, 2024, 1, 1},
  };
  for (const auto& c : kCases) {
    if (c.zone[0] != '<' && c.zone[0] != 'I' &&
        !std::filesystem::exists(std::string(kZoneInfo) + "/" + c.zone)) {
      continue;
    }
    UseZone(c.zone);
    const LocalDate date = LocalDateOf(static_cast<time_t>(c.t));
    EXPECT_EQ(date.year * 10000 + date.month * 100 + date.day,
              c.year * 10000 + c.month * 100 + c.day)
        << c.zone << " " << c.t;
  }
}

// The zones of the database that people use suit spans; a model that
// misreads them (a rule of the last week of a month, leap seconds) would
// leave every date to the system's lock.
TEST_F(LocalDatesTest, CommonZonesAndTheSitesZoneUseSpans) {
  for (const char* zone :
       {"America/New_York", "Europe/Berlin", "Europe/London", "Europe/Moscow",
        "Australia/Sydney", "Asia/Kolkata", "Pacific/Chatham",
        "Africa/Casablanca", "right/Europe/Berlin"}) {
    if (!std::filesystem::exists(std::string(kZoneInfo) + "/" + zone)) continue;
    UseZone(zone);
    EXPECT_TRUE(LocalDatesUseSpans()) << zone;
  }
  for (const char* rule :
       {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3",
        "XST-3XDT,J60/0,J300/0"}) {
    UseZone(rule);
    EXPECT_TRUE(LocalDatesUseSpans()) << rule;
  }
  // The site's zone (TZ unset or ":") is found, and reckoned by spans when
  // it suits them; TZ="" is UTC by the file "Universal".
  std::ifstream site("/etc/localtime", std::ios::binary);
  if (site) {
    const std::string bytes((std::istreambuf_iterator<char>(site)),
                            std::istreambuf_iterator<char>());
    for (const char* tz : {static_cast<const char*>(nullptr), ":"}) {
      UseZone(tz);
      EXPECT_EQ(LocalDatesUseSpans(), ZoneFileSuitsSpans(bytes))
          << (tz ? tz : "(unset)");
    }
  }
  if (std::filesystem::exists(std::string(kZoneInfo) + "/Universal")) {
    UseZone("");
    EXPECT_TRUE(LocalDatesUseSpans()) << "(empty)";
  }
}

// Past the year 9999 a page shows 9999-12-31, as on Windows, by spans or
// from the system, up to times whose year no int holds.
TEST_F(LocalDatesTest, YearsPast9999AreTheLastDayOf9999) {
  const struct {
    std::int64_t t;
    int year, month, day;
  } kCases[] = {
      {253402300799, 9999, 12, 31},       // 9999-12-31T23:59:59Z
      {253402300800, 9999, 12, 31},       // 10000-01-01T00:00:00Z
      {315537897600, 9999, 12, 31},       // 12000-01-01T00:00:00Z
      {67767976233532800, 9999, 12, 31},  // the year 2147483648
  };
  for (const char* zone : {"UTC0", "EST5EDT,M3.2.0,M11.1.0"}) {
    UseZone(zone);
    for (const auto& c : kCases) {
      const LocalDate date = LocalDateOf(static_cast<time_t>(c.t));
      EXPECT_EQ(date.year * 10000 + date.month * 100 + date.day,
                c.year * 10000 + c.month * 100 + c.day)
          << zone << " " << c.t;
    }
  }
  const LocalDate system = LocalDateFromSystem(67767976233532800);
  EXPECT_EQ(system.year, 9999);
}

}  // namespace
}  // namespace tabulon
