#ifndef TABULON_DRIVER_THREAD_COUNT_H_
#define TABULON_DRIVER_THREAD_COUNT_H_

#include <cstdint>
#include <optional>

namespace tabulon {

// How many threads the work pool may run: a choice from samples alone, so
// that it is the same whoever asks and can be tried without threads.
//
// Threads are started only as work comes for them, up to the count the pool
// starts with. A pool that may grow (`most` above that count) allows more
// while its threads wait on the system instead of working: when work is
// left for which no thread is free and, over the last kGrowthMs or more
// since the watch began, none of its threads went without work and either
// the process used less than half of the processors it could keep busy
// (those of the machine, at most one a thread) or it read from a disk (the
// storage reads grew), twice as many may run, up to `most`, and up to
// kMostOnStorage for the disk alone. The count never falls. Where work
// waits on processors it stays; where it waits on a disk or a slow file
// system, requests are kept in flight at once.

// How long the processor time is watched before the pool grows: short, so
// that a slow file system soon gets the many requests it answers at once.
constexpr std::uint64_t kGrowthMs = 10;
// How many threads a disk that is read keeps waiting with use: it takes
// several requests at once, but a cold cache keeps the processors busy too;
// 8 or 16 threads read one alike, 64 more slowly (the switching between
// them).
constexpr int kMostOnStorage = 16;

// What the system tells at one moment, all the process's threads together.
struct SystemSample {
  std::uint64_t clock_ms = 0;                  // monotonic
  std::uint64_t processor_ms = 0;              // processor time used so far
  std::optional<std::uint64_t> storage_reads;  // where the system tells
};

struct ThreadSamples {
  SystemSample since;  // when the watch began
  SystemSample now;
  int processors = 1;  // of the machine
  int limit = 1;       // threads allowed now, the caller's among them
  int most = 1;        // the most ever allowed
  // A thread of the pool went without work since the watch began.
  bool went_idle = false;
  // Work is left for which no thread is free.
  bool work_waits = false;
};

struct ThreadCount {
  int limit = 1;  // threads allowed from now on
  // The watch covered its time: it begins anew at `now`.
  bool watch_anew = false;
};

ThreadCount NextThreadCount(const ThreadSamples& samples);

}  // namespace tabulon

#endif  // TABULON_DRIVER_THREAD_COUNT_H_
