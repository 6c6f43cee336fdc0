#ifndef TABULON_PLATFORM_POSIX_LOCAL_DATES_H_
#define TABULON_PLATFORM_POSIX_LOCAL_DATES_H_

#include <time.h>

#include "common/types.h"

namespace tabulon {

// The local date of `t` as localtime_r gives it (1980-01-01 when it gives
// none), from the system only once for every two days of times asked.
LocalDate LocalDateOf(time_t t);

// Asks for what LocalDateOf(t) reads to be fetched into the caches.
void PrefetchLocalDate(time_t t);

// Forgets what LocalDateOf learnt: for a time zone read anew (tzset).
void ForgetLocalDates();

// The local date of `t` straight from localtime_r.
LocalDate LocalDateFromSystem(time_t t);

}  // namespace tabulon

#endif  // TABULON_PLATFORM_POSIX_LOCAL_DATES_H_
