#include "platform/posix/local_dates.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/prefetch.h"

namespace tabulon {
namespace {

// Where a zone's distance from UTC never changes and changes back within
// two days, a span of two days whose ends have the same distance has it all
// through, and a date in it is arithmetic. A span whose ends differ holds a
// change (or a leap second) and is left to the system. The database's zones
// are like that (their closest changes are four days apart), but a TZ rule
// may keep saving time for an hour; whether the zone read is like that is
// worked out from its own changes when it is read (ForgetLocalDates).
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kSpan = 2 * kDay;
constexpr std::int32_t kChanges = INT32_MIN;  // marks a span of that kind

// Spans known to every thread: a span's number (offset so that 0 means
// none) in the high half of a word and its distance in the low half, one
// word each, so that whatever a thread reads is whole. 16,384 spans cover
// 89 years before two share a word.
constexpr std::size_t kSlots = 16384;
std::atomic<std::uint64_t> g_spans[kSlots];

// Whether the zone read last suits spans; until a zone is read, every date
// comes from the system.
std::atomic<bool> g_use_spans{false};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - (a % b < 0 ? 1 : 0);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = FloorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The proleptic Gregorian date of a day counted from 1970-01-01. Reckoned
// from a March 1st some 400 million years back, so that every number is
// unsigned and divides by constants in fewer steps; good for the days of
// the spans taken, some 11 million years either way.
LocalDate CivilFromDays(std::int64_t days) {
  constexpr std::uint64_t kEras = std::uint64_t{1} << 20;  // of 400 years
  const std::uint64_t z =
      static_cast<std::uint64_t>(days + 719468) + kEras * 146097;
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;
  const std::uint64_t yoe =
      (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  LocalDate date;
  date.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  date.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  date.year = static_cast<int>(static_cast<std::int64_t>(yoe + era * 400) -
                               static_cast<std::int64_t>(kEras * 400) +
                               (date.month <= 2));
  return date;
}

// How far the local clock at `t` is ahead of `t`, in seconds, as the
// system's broken-down time shows it.
std::optional<std::int64_t> DistanceAt(time_t t) {
  struct tm parts;
  if (localtime_r(&t, &parts) == nullptr) return std::nullopt;
  const std::int64_t local = DaysFromCivil(std::int64_t{parts.tm_year} + 1900,
                                           parts.tm_mon + 1, parts.tm_mday) *
                                 kDay +
                             parts.tm_hour * 3600 + parts.tm_min * 60 +
                             parts.tm_sec;
  const std::int64_t distance = local - static_cast<std::int64_t>(t);
  if (distance <= -kDay || distance >= kDay) return std::nullopt;
  return distance;
}

// What follows models a zone the way the C library reckons it, from the
// same file or rule, to find out whether spans suit it.

bool IsLeap(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

std::int64_t YearOf(std::int64_t t) {
  return CivilFromDays(FloorDiv(t, kDay)).year;
}

// A day of a TZ rule: Jn (1 to 365, February 29 never counted), n (0 to
// 365) or Mm.w.d, with the local time of the change on it.
struct RuleDay {
  char kind = 0;  // 'J', 'N' or 'M'; 0 for a zone without saving time
  int day = 0;
  int month = 0;
  int week = 0;
  int weekday = 0;
  std::int64_t time = 2 * 3600;
};

struct ZoneRule {
  std::int64_t standard = 0;  // seconds east of UTC
  std::int64_t saving = 0;
  RuleDay start;
  RuleDay end;
};

// Reads a TZ rule, "std offset [dst [offset] ,start[/time],end[/time]]".
// Only the plain forms are taken: whatever the C library might read in a
// way of its own (blanks, clamped numbers, missing rules that it takes from
// a file) fails, and so does any text after the rule.
class RuleReader {
 public:
  explicit RuleReader(std::string_view text) : text_(text) {}

  bool Read(ZoneRule* rule) {
    if (!Name() || !Offset(&rule->standard)) return false;
    rule->saving = rule->standard;
    if (pos_ == text_.size()) return true;
    if (!Name()) return false;
    rule->saving = rule->standard + 3600;
    if (pos_ < text_.size() &&
        (text_[pos_] == '+' || text_[pos_] == '-' || IsDigit(text_[pos_]))) {
      if (!Offset(&rule->saving)) return false;
    }
    return Take(',') && Day(&rule->start) && Take(',') && Day(&rule->end) &&
           pos_ == text_.size();
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }

  bool Take(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Three letters or more, or <...> of three or more letters, digits and
  // signs.
  bool Name() {
    std::size_t end = pos_;
    while (end < text_.size() && IsAlpha(text_[end])) ++end;
    if (end - pos_ >= 3) {
      pos_ = end;
      return true;
    }
    if (!Take('<')) return false;
    const std::size_t start = pos_;
    while (pos_ < text_.size() &&
           (IsAlpha(text_[pos_]) || IsDigit(text_[pos_]) ||
            text_[pos_] == '+' || text_[pos_] == '-')) {
      ++pos_;
    }
    return pos_ - start >= 3 && Take('>');
  }

  bool Number(int max_digits, int max, int* out) {
    int value = 0;
    int digits = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) {
      if (++digits > max_digits) return false;
      value = value * 10 + (text_[pos_++] - '0');
    }
    *out = value;
    return digits > 0 && value <= max;
  }

  bool Clock(int max_hours, std::int64_t* out) {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    if (!Number(3, max_hours, &hours)) return false;
    if (Take(':')) {
      if (!Number(2, 59, &minutes)) return false;
      if (Take(':') && !Number(2, 59, &seconds)) return false;
    }
    *out = hours * 3600 + minutes * 60 + seconds;
    return true;
  }

  // West of UTC unless the sign is a minus.
  bool Offset(std::int64_t* east) {
    const bool minus = Take('-');
    if (!minus) Take('+');
    std::int64_t value = 0;
    if (!Clock(24, &value)) return false;
    *east = minus ? value : -value;
    return true;
  }

  bool Day(RuleDay* day) {
    if (Take('J')) {
      day->kind = 'J';
      if (!Number(3, 365, &day->day) || day->day == 0) return false;
    } else if (Take('M')) {
      day->kind = 'M';
      if (!Number(2, 12, &day->month) || day->month == 0 || !Take('.') ||
          !Number(1, 5, &day->week) || day->week == 0 || !Take('.') ||
          !Number(1, 6, &day->weekday)) {
        return false;
      }
    } else {
      day->kind = 'N';
      if (!Number(3, 365, &day->day)) return false;
    }
    if (Take('/')) {
      const bool minus = Take('-');
      if (!minus) Take('+');
      if (!Clock(167, &day->time)) return false;
      if (minus) day->time = -day->time;
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// When a rule's day comes in `year`, for a clock `distance` ahead of UTC.
// Like the C library, it counts the days of a year up to 1970 from
// 1970-01-01, so that no change falls before 1970.
std::int64_t ChangeOf(const RuleDay& day, std::int64_t year,
                      std::int64_t distance) {
  const std::int64_t new_year = DaysFromCivil(year, 1, 1);
  std::int64_t days = year > 1970 ? new_year : 0;
  if (day.kind == 'J') {
    days += day.day - 1 + (day.day >= 60 && IsLeap(year) ? 1 : 0);
  } else if (day.kind == 'N') {
    days += day.day;
  } else {
    const std::int64_t first = DaysFromCivil(year, day.month, 1);
    const std::int64_t length =
        DaysFromCivil(year + (day.month == 12), day.month % 12 + 1, 1) - first;
    const std::int64_t weekday = ((first + 4) % 7 + 7) % 7;  // 0 is Sunday
    std::int64_t date = (day.weekday - weekday + 7) % 7;
    for (int week = 1; week < day.week && date + 7 < length; ++week) date += 7;
    days += first - new_year + date;
  }
  return days * kDay - distance + day.time;
}

// The distance at `t` by a rule, whose changes are those of the UTC year of
// `t`.
std::int64_t RuleDistance(const ZoneRule& rule, std::int64_t t) {
  if (rule.start.kind == 0) return rule.standard;
  const std::int64_t year = YearOf(t);
  const std::int64_t start = ChangeOf(rule.start, year, rule.standard);
  const std::int64_t end = ChangeOf(rule.end, year, rule.saving);
  const bool saving =
      start > end ? (t < end || t >= start) : (t >= start && t < end);
  return saving ? rule.saving : rule.standard;
}

struct Leap {
  std::int64_t at;
  std::int64_t correction;  // leap seconds counted from then on
};

// A zone: its transitions, each with the distance from then on, and after
// the last a rule; or a rule alone.
struct Zone {
  bool rule_only = false;
  std::vector<std::int64_t> at;
  std::vector<std::int64_t> after;
  std::int64_t before = 0;
  std::optional<ZoneRule> rule;
  std::vector<Leap> leaps;
};

// Zone files' times lie within this, so that a second either side of any
// of them is a time too; the rest is taken for a file not understood.
constexpr std::int64_t kFarthest = std::int64_t{1} << 62;

// The distance at `t` as the broken-down time shows it, leap seconds
// taken off (the inserted second itself shows as second 60).
std::int64_t ZoneDistance(const Zone& zone, std::int64_t t) {
  std::int64_t distance;
  if (zone.rule_only) {
    distance = RuleDistance(*zone.rule, t);
  } else if (zone.at.empty() || t < zone.at.front()) {
    distance = zone.before;
  } else if (t >= zone.at.back() && zone.rule) {
    distance = RuleDistance(*zone.rule, t);
  } else {
    const auto next = std::upper_bound(zone.at.begin(), zone.at.end(), t);
    distance = zone.after[next - zone.at.begin() - 1];
  }
  const auto next_leap =
      std::upper_bound(zone.leaps.begin(), zone.leaps.end(), t,
                       [](std::int64_t u, const Leap& l) { return u < l.at; });
  if (next_leap != zone.leaps.begin()) {
    const Leap& leap = next_leap[-1];
    const std::int64_t before =
        next_leap - 1 == zone.leaps.begin() ? 0 : next_leap[-2].correction;
    distance -= leap.correction;
    if (t == leap.at && leap.correction > before) ++distance;
  }
  return distance;
}

struct Change {
  std::int64_t at;  // the first second of the new distance
  std::int64_t by;
};

// Every change of the zone's distance: at its transitions and leap seconds,
// and by its rule over a whole cycle of 400 years of the calendar (from the
// last transition on, or from 1569 for a rule alone, and past 1970), after
// which the rule's changes come again as they were.
std::vector<Change> ChangesOf(const Zone& zone) {
  std::vector<std::int64_t> points = zone.at;
  for (const Leap& leap : zone.leaps) {
    points.push_back(leap.at);
    points.push_back(leap.at + 1);
  }
  if (zone.rule && zone.rule->start.kind != 0 &&
      (zone.rule_only || !zone.at.empty())) {
    const std::int64_t from = zone.rule_only ? -kFarthest : zone.at.back();
    const std::int64_t first = zone.rule_only ? 1569 : YearOf(from);
    const std::int64_t last = std::max<std::int64_t>(first, 1970) + 401;
    for (std::int64_t year = first; year <= last; ++year) {
      for (const std::int64_t point :
           {DaysFromCivil(year, 1, 1) * kDay,
            ChangeOf(zone.rule->start, year, zone.rule->standard),
            ChangeOf(zone.rule->end, year, zone.rule->saving)}) {
        if (point >= from) points.push_back(point);
      }
    }
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  std::vector<Change> changes;
  for (const std::int64_t point : points) {
    const std::int64_t by =
        ZoneDistance(zone, point) - ZoneDistance(zone, point - 1);
    if (by != 0) changes.push_back(Change{point, by});
  }
  return changes;
}

// Whether changes that add up to nothing can fall within one span, where
// its ends would have the same distance and its middle not.
bool CancelWithinSpan(const std::vector<Change>& changes) {
  for (std::size_t i = 0; i < changes.size(); ++i) {
    std::int64_t sum = 0;
    for (std::size_t j = i;
         j < changes.size() && changes[j].at - changes[i].at <= kSpan; ++j) {
      sum += changes[j].by;
      if (sum == 0) return true;
    }
  }
  return false;
}

bool SuitsSpans(const Zone& zone) { return !CancelWithinSpan(ChangesOf(zone)); }

std::optional<Zone> ZoneOfRule(std::string_view text) {
  Zone zone;
  zone.rule_only = true;
  zone.rule.emplace();
  if (!RuleReader(text).Read(&*zone.rule)) return std::nullopt;
  return zone;
}

// Big-endian numbers out of a zone file, failing past its end.
class FileReader {
 public:
  explicit FileReader(std::string_view bytes) : bytes_(bytes) {}

  std::size_t pos() const { return pos_; }
  std::string_view Rest() const { return bytes_.substr(pos_); }

  bool Skip(std::uint64_t n) {
    if (n > bytes_.size() - pos_) return false;
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  bool Signed(int width, std::int64_t* out) {
    if (static_cast<std::size_t>(width) > bytes_.size() - pos_) return false;
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      value = value << 8 | static_cast<unsigned char>(bytes_[pos_++]);
    }
    if (width < 8 && (value >> (8 * width - 1)) != 0) {
      value |= ~std::uint64_t{0} << (8 * width);
    }
    *out = static_cast<std::int64_t>(value);
    return true;
  }

  bool Header(char* version, std::uint64_t counts[6]) {
    if (bytes_.size() - pos_ < 44 || bytes_.substr(pos_, 4) != "TZif") {
      return false;
    }
    *version = bytes_[pos_ + 4];
    pos_ += 20;
    for (int i = 0; i < 6; ++i) {
      std::int64_t count = 0;
      Signed(4, &count);
      counts[i] = static_cast<std::uint32_t>(count);
    }
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// A compiled zone file: the 64-bit data of version 2 and later, with the
// rule of its last line for the times after its last transition.
std::optional<Zone> ZoneOfFile(std::string_view bytes) {
  enum { kUt, kStd, kLeap, kTime, kType, kChars };
  FileReader reader(bytes);
  char version = 0;
  std::uint64_t counts[6];
  if (!reader.Header(&version, counts)) return std::nullopt;
  int width = 4;
  if (version != '\0') {
    if (!reader.Skip(counts[kTime] * 5 + counts[kType] * 6 + counts[kChars] +
                     counts[kLeap] * 8 + counts[kStd] + counts[kUt]) ||
        !reader.Header(&version, counts)) {
      return std::nullopt;
    }
    width = 8;
  }
  if (counts[kType] == 0) return std::nullopt;
  Zone zone;
  for (std::uint64_t i = 0; i < counts[kTime]; ++i) {
    std::int64_t at = 0;
    if (!reader.Signed(width, &at) || at <= -kFarthest || at >= kFarthest ||
        (!zone.at.empty() && at <= zone.at.back())) {
      return std::nullopt;
    }
    zone.at.push_back(at);
  }
  std::vector<std::int64_t> kinds;
  for (std::uint64_t i = 0; i < counts[kTime]; ++i) {
    std::int64_t kind = 0;
    if (!reader.Signed(1, &kind)) return std::nullopt;
    kinds.push_back(kind & 0xFF);
  }
  std::vector<std::int64_t> distances;
  std::vector<bool> saving;
  for (std::uint64_t i = 0; i < counts[kType]; ++i) {
    std::int64_t distance = 0;
    std::int64_t is_saving = 0;
    if (!reader.Signed(4, &distance) || !reader.Signed(1, &is_saving) ||
        !reader.Skip(1)) {
      return std::nullopt;
    }
    distances.push_back(distance);
    saving.push_back(is_saving != 0);
  }
  for (const std::int64_t kind : kinds) {
    if (static_cast<std::uint64_t>(kind) >= counts[kType]) return std::nullopt;
    zone.after.push_back(distances[static_cast<std::size_t>(kind)]);
  }
  // Before the first transition the C library takes the first kind
  // without saving time.
  const auto standard = std::find(saving.begin(), saving.end(), false);
  zone.before = standard == saving.end() ? distances[0]
                                         : distances[standard - saving.begin()];
  if (!reader.Skip(counts[kChars])) return std::nullopt;
  for (std::uint64_t i = 0; i < counts[kLeap]; ++i) {
    Leap leap{};
    if (!reader.Signed(width, &leap.at) ||
        !reader.Signed(4, &leap.correction) || leap.at <= -kFarthest ||
        leap.at >= kFarthest ||
        (!zone.leaps.empty() && leap.at <= zone.leaps.back().at + 1)) {
      return std::nullopt;
    }
    zone.leaps.push_back(leap);
  }
  if (!reader.Skip(counts[kStd] + counts[kUt])) return std::nullopt;
  if (width == 8 && !reader.Rest().empty()) {
    const std::string_view rest = reader.Rest();
    if (rest.size() < 2 || rest.front() != '\n' || rest.back() != '\n') {
      return std::nullopt;
    }
    const std::string_view text = rest.substr(1, rest.size() - 2);
    if (text.find('\n') != std::string_view::npos) return std::nullopt;
    if (!text.empty()) {
      zone.rule.emplace();
      if (!RuleReader(text).Read(&*zone.rule)) return std::nullopt;
      // Without transitions the C library leaves the rule unused; and a
      // rule read from very far out is not one to count years with.
      if (zone.rule->start.kind != 0 &&
          (zone.at.empty() || zone.at.back() < -(std::int64_t{1} << 40) ||
           zone.at.back() > (std::int64_t{1} << 40))) {
        return std::nullopt;
      }
    }
  }
  return zone;
}

// The file of at most a mebibyte at `path`; none when it can't be opened or
// is not a file, as the C library then reads the zone's name as a rule.
enum class FileRead { kRead, kNone, kFailed };

FileRead ReadSmallFile(const std::string& path, std::string* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FileRead::kNone;
  struct stat st;
  FileRead result = FileRead::kRead;
  if (::fstat(fd, &st) != 0) {
    result = FileRead::kFailed;
  } else if (!S_ISREG(st.st_mode)) {
    result = FileRead::kNone;
  } else {
    constexpr std::size_t kLimit = std::size_t{1} << 20;
    // Room for the size the file has and a byte more to see it end, grown
    // should the file grow meanwhile: a zone file holds a few kilobytes,
    // and a mebibyte filled in at every start cost a third of a
    // millisecond.
    bytes->assign(
        std::min(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)),
                 kLimit) +
            1,
        '\0');
    std::size_t filled = 0;
    for (;;) {
      if (filled == bytes->size()) {
        if (filled > kLimit) break;
        bytes->resize(std::min(2 * filled, kLimit + 1));
      }
      const ssize_t n =
          ::read(fd, bytes->data() + filled, bytes->size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) result = FileRead::kFailed;
        break;
      }
      filled += static_cast<std::size_t>(n);
    }
    bytes->resize(filled);
    if (filled > kLimit) result = FileRead::kFailed;
  }
  ::close(fd);
  return result;
}

// The zone the C library has read from TZ (as tzset does): a zone file, a
// rule, or UTC when the site's or the unnamed zone has no file. None when
// it is not understood.
std::optional<Zone> ZoneOfEnvironment() {
  const char* const tz = ::getenv("TZ");
  std::string name;
  bool utc_without_file = true;
  if (tz == nullptr) {
    name = "/etc/localtime";
  } else if (*tz == '\0') {
    name = "Universal";
  } else {
    name = tz[0] == ':' ? tz + 1 : tz;
    if (name.empty()) {
      name = "/etc/localtime";
    } else {
      utc_without_file = false;
    }
  }
  std::string path = name;
  if (name[0] != '/') {
    const char* const dir = ::getenv("TZDIR");
    path = std::string(dir != nullptr && *dir != '\0' ? dir
                                                      : "/usr/share/zoneinfo") +
           "/" + name;
  }
  std::string bytes;
  switch (ReadSmallFile(path, &bytes)) {
    case FileRead::kRead:
      return ZoneOfFile(bytes);
    case FileRead::kFailed:
      return std::nullopt;
    case FileRead::kNone:
      break;
  }
  if (utc_without_file) return Zone{};
  return ZoneOfRule(name);
}

// The years in which every change of the zone is checked against the
// system.
const std::int64_t kCheckedFrom = DaysFromCivil(1900, 1, 1) * kDay;
const std::int64_t kCheckedTo = DaysFromCivil(2100, 1, 1) * kDay;

// Whether the system gives the distances the model does: on both sides of
// every change from 1900 to 2100, and in January and July of years from
// 1601 to 9999. Guards against reading a zone otherwise than the C library.
bool AgreesWithSystem(const Zone& zone, const std::vector<Change>& changes) {
  const auto agrees = [&zone](std::int64_t t) {
    const std::optional<std::int64_t> system =
        DistanceAt(static_cast<time_t>(t));
    return system && *system == ZoneDistance(zone, t);
  };
  for (const Change& change : changes) {
    if (change.at < kCheckedFrom || change.at >= kCheckedTo) continue;
    if (!agrees(change.at - 1) || !agrees(change.at)) return false;
  }
  for (const int year : {1601, 1900, 1950, 1969, 1970, 1971, 2000, 2026, 2037,
                         2038, 2100, 2500, 9999}) {
    for (const int month : {1, 7}) {
      if (!agrees(DaysFromCivil(year, month, 15) * kDay)) return false;
    }
  }
  return true;
}

// The zone read last, where it suits spans: within the checked years it
// gives what the system gives, without the system's lock that every thread
// asking for a date would wait on. Set while no date is asked for.
struct Model {
  Zone zone;
  std::vector<std::int64_t> changes;  // when each change comes, in order
};
std::unique_ptr<const Model> g_model;

std::int32_t DistanceOver(std::int64_t span) {
  const std::int64_t start = span * kSpan;
  const Model* const model = g_model.get();
  if (model != nullptr && start >= kCheckedFrom &&
      start + kSpan <= kCheckedTo) {
    // Between its changes the zone's distance stays.
    const auto next =
        std::upper_bound(model->changes.begin(), model->changes.end(), start);
    if (next != model->changes.end() && *next < start + kSpan) return kChanges;
    const std::int64_t distance = ZoneDistance(model->zone, start);
    if (distance <= -kDay || distance >= kDay) return kChanges;
    return static_cast<std::int32_t>(distance);
  }
  const std::optional<std::int64_t> first =
      DistanceAt(static_cast<time_t>(span * kSpan));
  const std::optional<std::int64_t> last =
      DistanceAt(static_cast<time_t>(span * kSpan + kSpan - 1));
  if (!first || !last || *first != *last) return kChanges;
  return static_cast<std::int32_t>(*first);
}

std::int64_t SpanOf(time_t t) {
  return FloorDiv(static_cast<std::int64_t>(t), kSpan);
}

std::atomic<std::uint64_t>& SlotOf(std::int64_t span) {
  return g_spans[static_cast<std::uint64_t>(span) % kSlots];
}

}  // namespace

void ForgetLocalDates() {
  for (std::atomic<std::uint64_t>& slot : g_spans) {
    slot.store(0, std::memory_order_relaxed);
  }
  bool use = false;
  g_model.reset();
  if (std::optional<Zone> zone = ZoneOfEnvironment()) {
    const std::vector<Change> changes = ChangesOf(*zone);
    use = !CancelWithinSpan(changes) && AgreesWithSystem(*zone, changes);
    if (use) {
      auto model = std::make_unique<Model>();
      model->zone = std::move(*zone);
      for (const Change& change : changes) model->changes.push_back(change.at);
      g_model = std::move(model);
    }
  }
  g_use_spans.store(use, std::memory_order_relaxed);
}

bool LocalDatesUseSpans() {
  return g_use_spans.load(std::memory_order_relaxed);
}

bool RuleSuitsSpans(std::string_view rule) {
  const std::optional<Zone> zone = ZoneOfRule(rule);
  return zone && SuitsSpans(*zone);
}

bool ZoneFileSuitsSpans(std::string_view bytes) {
  const std::optional<Zone> zone = ZoneOfFile(bytes);
  return zone && SuitsSpans(*zone);
}

// The last day a page shows, as on Windows: later dates are clamped to it.
constexpr LocalDate kLastDate{9999, 12, 31};

LocalDate LocalDateFromSystem(time_t t) {
  struct tm parts;
  LocalDate date;
  if (localtime_r(&t, &parts) != nullptr) {
    // tm_year may hold a year no int holds once 1900 is added.
    if (std::int64_t{parts.tm_year} + 1900 > kLastDate.year) return kLastDate;
    date.year = parts.tm_year + 1900;
    date.month = parts.tm_mon + 1;
    date.day = parts.tm_mday;
  }
  return date;
}

void PrefetchLocalDate(time_t t) {
  if (g_use_spans.load(std::memory_order_relaxed)) Prefetch(&SlotOf(SpanOf(t)));
}

LocalDate LocalDateOf(time_t t) {
  if (!g_use_spans.load(std::memory_order_relaxed)) {
    return LocalDateFromSystem(t);
  }
  const std::int64_t span = SpanOf(t);
  // Dates of some million years either way; the rest go to the system.
  if (span <= INT32_MIN || span >= INT32_MAX) return LocalDateFromSystem(t);
  const std::uint64_t tag = static_cast<std::uint64_t>(span - INT32_MIN);
  std::atomic<std::uint64_t>& slot = SlotOf(span);
  std::uint64_t word = slot.load(std::memory_order_relaxed);
  if (word >> 32 != tag) {
    word = tag << 32 | static_cast<std::uint32_t>(DistanceOver(span));
    slot.store(word, std::memory_order_relaxed);
  }
  const auto distance = static_cast<std::int32_t>(word & 0xFFFFFFFF);
  if (distance == kChanges) return LocalDateFromSystem(t);
  const LocalDate date =
      CivilFromDays(FloorDiv(static_cast<std::int64_t>(t) + distance, kDay));
  return date.year <= kLastDate.year ? date : kLastDate;
}

}  // namespace tabulon
