#ifndef TABULON_PLATFORM_POSIX_LOCAL_DATES_H_
#define TABULON_PLATFORM_POSIX_LOCAL_DATES_H_

#include <time.h>

#include <string_view>

#include "common/types.h"

namespace tabulon {

// The local date of `t` as localtime_r gives it (1980-01-01 when it gives
// none; 9999-12-31 for any later year, as on Windows). In a zone that suits
// spans of two days (see below), from the system only once for every two
// days of times asked; otherwise from the system every time.
LocalDate LocalDateOf(time_t t);

// Asks for what LocalDateOf(t) reads to be fetched into the caches.
void PrefetchLocalDate(time_t t);

// Forgets what LocalDateOf learnt and works out whether the zone that TZ
// names suits spans: for a time zone read anew (tzset). Call it before any
// other thread asks for dates. Until it is called, dates come from the
// system every time.
void ForgetLocalDates();

// Whether LocalDateOf reckons from spans in the zone read last.
bool LocalDatesUseSpans();

// Whether a zone, given as a TZ rule ("EST5EDT,M3.2.0,M11.1.0") or as the
// bytes of a compiled zone file, suits spans: no changes of its distance
// from UTC that add up to nothing fall within two days. False too for a
// text not understood.
bool RuleSuitsSpans(std::string_view rule);
bool ZoneFileSuitsSpans(std::string_view bytes);

// The local date of `t` straight from localtime_r (clamped likewise).
LocalDate LocalDateFromSystem(time_t t);

}  // namespace tabulon

#endif  // TABULON_PLATFORM_POSIX_LOCAL_DATES_H_
