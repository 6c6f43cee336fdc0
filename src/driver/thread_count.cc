#include "driver/thread_count.h"

#include <algorithm>

namespace tabulon {

ThreadCount NextThreadCount(const ThreadSamples& s) {
  ThreadCount count{s.limit, false};
  if (!s.work_waits || s.limit >= s.most) return count;
  const std::uint64_t elapsed = s.now.clock_ms - s.since.clock_ms;
  if (elapsed < kGrowthMs) return count;
  count.watch_anew = true;
  if (s.went_idle) return count;
  const std::uint64_t busy = s.now.processor_ms > s.since.processor_ms
                                 ? s.now.processor_ms - s.since.processor_ms
                                 : 0;
  // More threads than processors can't use more than the processors.
  const std::uint64_t could =
      elapsed *
      static_cast<std::uint64_t>(std::max(1, std::min(s.processors, s.limit)));
  const bool processors_idle = 2 * busy < could;
  // A disk that is read keeps the threads waiting however busy the
  // processors are (a cold cache keeps them busy in the system).
  const bool disk_read = s.now.storage_reads && s.since.storage_reads &&
                         *s.now.storage_reads > *s.since.storage_reads;
  int most = 0;
  if (processors_idle) {
    most = s.most;
  } else if (disk_read) {
    most = std::min(s.most, kMostOnStorage);
  }
  if (s.limit < most) count.limit = std::min(most, 2 * s.limit);
  return count;
}

}  // namespace tabulon
