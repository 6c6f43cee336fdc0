#include "platform/posix/local_dates.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/prefetch.h"

namespace tabulon {
namespace {

// A zone's distance from UTC changes at most once in two days: the closest
// changes the time zone database has are four days apart. So where the
// distance is the same at both ends of a span of two days, it is that all
// through the span, and a date in it is arithmetic. A span whose ends differ
// holds a change (or a leap second) and is left to the system.
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kSpan = 2 * kDay;
constexpr std::int32_t kChanges = INT32_MIN;  // marks a span of that kind

// Spans known to every thread: a span's number (offset so that 0 means
// none) in the high half of a word and its distance in the low half, one
// word each, so that whatever a thread reads is whole. 16,384 spans cover
// 89 years before two share a word.
constexpr std::size_t kSlots = 16384;
std::atomic<std::uint64_t> g_spans[kSlots];

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
  const std::uint64_t z = static_cast<std::uint64_t>(days + 719468) +
                          kEras * 146097;
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
  const std::int64_t local =
      DaysFromCivil(std::int64_t{parts.tm_year} + 1900, parts.tm_mon + 1,
                    parts.tm_mday) *
          kDay +
      parts.tm_hour * 3600 + parts.tm_min * 60 + parts.tm_sec;
  const std::int64_t distance = local - static_cast<std::int64_t>(t);
  if (distance <= -kDay || distance >= kDay) return std::nullopt;
  return distance;
}

std::int32_t DistanceOver(std::int64_t span) {
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
}

LocalDate LocalDateFromSystem(time_t t) {
  struct tm parts;
  LocalDate date;
  if (localtime_r(&t, &parts) != nullptr) {
    date.year = parts.tm_year + 1900;
    date.month = parts.tm_mon + 1;
    date.day = parts.tm_mday;
  }
  return date;
}

void PrefetchLocalDate(time_t t) { Prefetch(&SlotOf(SpanOf(t))); }

LocalDate LocalDateOf(time_t t) {
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
  return CivilFromDays(FloorDiv(static_cast<std::int64_t>(t) + distance, kDay));
}

}  // namespace tabulon
