#ifndef TABULON_DRIVER_WALK_H_
#define TABULON_DRIVER_WALK_H_

#include <memory>

#include "driver/directory_job.h"
#include "driver/place.h"
#include "driver/progress.h"
#include "driver/reporter.h"
#include "platform/platform.h"

namespace tabulon {

struct WalkOptions {
  // What every directory's job needs; its sink gets every result.
  const JobSettings* job = nullptr;
  // Threads that read directories (the jobs asked for), the calling thread
  // among them; 1 (with `most_threads` at most 1) reads them all on the
  // calling thread.
  int threads = 1;
  // More, up to this many, while they wait on the file system rather than
  // work (see NextThreadCount); needs `platform`. At most `threads` when lower.
  int most_threads = 0;
  Reporter* reporter = nullptr;
  Progress* progress = nullptr;  // may be nullptr
  // Starts the threads and tells the room for open files; nullptr: the
  // system's own threads, and no limit of open files known.
  Platform* platform = nullptr;
};

// Walks the tree below `root`, the start directory at `start`: each
// directory before its subdirectories, these in name order (pre-order).
// Directories, and the pieces of large ones, are read by the threads of a
// work pool, looking ahead of the walk within a budget; their results reach
// the sink (Take), the reporter and the progress line on the calling thread
// in walk order (threads and their promise: driver/work_pool.h). The
// directories kept open, and the threads, stay within the room for open
// files. Out of memory on one thread alone throws std::bad_alloc here, once
// every other thread has stopped.
void WalkDirectory(std::shared_ptr<Directory> root,
                   std::shared_ptr<const Place> start,
                   const WalkOptions& options);

}  // namespace tabulon

#endif  // TABULON_DRIVER_WALK_H_
