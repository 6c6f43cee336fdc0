#ifndef TABULON_DRIVER_WORK_POOL_H_
#define TABULON_DRIVER_WORK_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/thread_count.h"
#include "driver/tree_order.h"
#include "platform/platform.h"

namespace tabulon {

// The threads of a run, drawn once; the driver's thread comments point here.
//
//  main thread          run thread (kStackBytes)       pool threads 1..n-1
//  -----------          ------------------------       -------------------
//  Run(): starts   -->  RunHere -> WalkDirectory       started by the pool
//  the run thread,      owns the WorkPool, the         as work comes (up to
//  waits in             Walker, the sink, reporter     threads(); more while
//  ~Thread              and progress line              they wait on the
//                            |                         system: NextThreadCount)
//                            | RunInOrder (thread 0)         |
//                            v                               v
//      +------------------- WorkPool, one mutex_ -------------------------+
//      | groups_: pieces of ForEach / ForEachInOrder, tasks of            |
//      |          WhileProducing (the newest group first)                 |
//      | order_:  the TreeOrder of RunInOrder: items waiting, being made, |
//      |          made; the read-ahead budget                             |
//      | limit_, allowed_, busy_, idle_: how many may run, how many do    |
//      +------------------------------------------------------------------+
//         ^ waits in changed_: its             ^ waits in work_ when no
//         | next item made, its pieces         | piece, task or item is
//         | done; meanwhile makes items        | left; pieces and tasks
//         | and runs pieces itself             | before items
//
//  Who does what:
//  - Pool threads make items (DirectoryItem: a directory's job, whose
//    pieces go through ForEach / ForEachInOrder / WhileProducing to any
//    thread, the job's own among them). Several directories at once.
//  - The run thread alone hands items on, in walk order (pre-order): the
//    sink's Take, the reporter, the progress line. PageSink::Finish runs on
//    any thread for several directories at once; TakeRows on any thread,
//    one call at a time, a directory's rows in order, all before its Finish;
//    Take after Finish.
//  - Shared between threads: Place (immutable), the open Directory of a
//    parent (as platform.h allows), each thread's cursor (its own mutex),
//    the count of directories open (atomic). Everything else in the pool
//    under mutex_; a TreeOrder is touched under it, or by the hand-on alone.
//  - Owned: the WorkPool owns its threads and joins them as it goes; the
//    TreeOrder on RunInOrder's stack owns every item not handed on, freed
//    once handed on and its followers taken; what an item made belongs to
//    its maker until settled under the lock, then to the hand-on.
//  - Errors: a failure to read is a value (a report in the directory's
//    result) handed on in walk order. An exception of a piece, task or item
//    is caught on its thread and the first one is rethrown on the thread
//    that called the operation, once no thread runs one of it any more.
//
//  The promise: every job count gives the same pages, the same reports in
//  the same order and the same exit code. Results are handed on in walk
//  order on one thread; an item short of room (open files, memory) while
//  other threads worked is made again with fewer, alone at last, so what
//  fails is what fails on one thread; which thread made what, and how many
//  ran, never shows.

// Hands tasks to the helpers of WhileProducing.
class WorkFeed {
 public:
  virtual ~WorkFeed() = default;
  // Queues `task` behind those added before it. Called by the producer
  // alone, on its own thread.
  virtual void Add(std::function<void()> task) = 0;
};

// What the job of one directory asks of the threads that run it. Every
// operation returns only once each call it made has returned, and then
// throws the first exception any of them threw.
class PieceRunner {
 public:
  virtual ~PieceRunner() = default;
  // Threads that may run pieces at once, the caller's among them.
  virtual int threads() const = 0;
  // Of those, the ones that may run pieces now: fewer from the time a job
  // that was short of room with others at work is run again, one at last,
  // so that it can take no more room than one thread would.
  virtual int allowed_threads() const { return threads(); }
  // Calls piece(i) once for every i in [0, count), in any order, on any
  // thread; once a piece has thrown, those not begun yet may be left out.
  virtual void ForEach(std::size_t count,
                       const std::function<void(std::size_t)>& piece) = 0;
  // Calls make(i) as ForEach does, and hand_on(i) once for every i in
  // increasing order: after make(i) and hand_on(i - 1) have returned, on
  // any thread, never two at once. After an exception no hand_on follows.
  virtual void ForEachInOrder(
      std::size_t count, const std::function<void(std::size_t)>& make,
      const std::function<void(std::size_t)>& hand_on) = 0;
  // Calls produce(feed) on the calling thread. The tasks it adds may run
  // beside it on other threads, at most `helpers` at once, begun in the
  // order added, each before WhileProducing returns or never. Returns how
  // many were begun: always the first ones added (with one thread, none).
  virtual std::size_t WhileProducing(
      std::size_t helpers, const std::function<void(WorkFeed&)>& produce) = 0;
};

// The threads of a run (see the drawing above): the caller's and up to
// threads() - 1 of its own, which take the pieces, tasks and items the
// operations give them, pieces and tasks before items (they finish what is
// begun). All its locks and waiting live here; how many threads run is
// NextThreadCount's choice, the order of items TreeOrder's. Threads are
// never stopped before the pool goes.
class WorkPool final : public PieceRunner {
 public:
  using Item = TreeItem;
  using Budget = ReadAheadBudget;

  // The stack of each thread it starts, and what the caller's needs: the
  // work (a directory's job, its pieces) passes with 256 KiB. The system's
  // own default, often 8 MiB, counts for every thread against a limit of
  // address space.
  static constexpr std::size_t kStackBytes = std::size_t{512} << 10;

  // Starts up to threads - 1 threads through `platform` (nullptr: the
  // system's own threads) as work comes for them, and up to most - 1 while
  // they wait (see NextThreadCount; only with a platform, whose clock and
  // processor time it reads), fewer if the system refuses some: the work
  // only takes longer.
  explicit WorkPool(int threads, Platform* platform = nullptr, int most = 0);
  ~WorkPool() override;
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // The most threads it may ever run, the caller's among them.
  int threads() const override { return threads_; }
  int allowed_threads() const override;
  void ForEach(std::size_t count,
               const std::function<void(std::size_t)>& piece) override;
  void ForEachInOrder(std::size_t count,
                      const std::function<void(std::size_t)>& make,
                      const std::function<void(std::size_t)>& hand_on) override;
  std::size_t WhileProducing(
      std::size_t helpers,
      const std::function<void(WorkFeed&)>& produce) override;

  // Makes `first` and the items that follow each item made, and hands them
  // to hand_on on the calling thread in pre-order: an item, then each of
  // its followers with everything that follows it. Items are made on any
  // thread (the caller's too while it waits), at most `budget` of them made
  // and not handed on, which the one to hand on next may pass. An item is
  // freed once handed on and its followers taken. Throws the first
  // exception of any Make or of hand_on, once no thread makes an item any
  // more. One call at a time.
  void RunInOrder(std::unique_ptr<Item> first, Budget budget,
                  const std::function<void(Item&)>& hand_on);

 private:
  struct Group;
  class Feed;

  void Work(int thread);
  // Counts the calling thread busy (with nesting) for a piece, task or
  // item; returns whether it was busy already.
  bool EnterBusyLocked();
  void LeaveBusyLocked(bool nested);
  // Runs one piece or task that waits, if any; with the lock held, which
  // it gives up while the piece runs.
  bool RunPieceLocked(std::unique_lock<std::mutex>& lock);
  // Takes the first item of RunInOrder the order and the threads allowed
  // let be made now, if any.
  TreeOrder::Node* TakeNextItemLocked();
  void MakeItem(TreeOrder::Node* node, int thread,
                std::unique_lock<std::mutex>& lock);
  void WakeLocked(std::size_t work);
  // Starts one more thread, if the limit (raised by GrowLocked) and the
  // system allow it.
  bool StartLocked();
  // Raises the limit of threads as NextThreadCount chooses.
  bool GrowLocked();
  // Starts watching the clock and the processor time anew.
  void SampleLocked();
  // Whether a piece, task or item waits that a free thread could take.
  bool WorkWaitsLocked() const;
  // Waits until the group's begun pieces have returned; rethrows its error.
  void FinishGroup(Group& group, std::unique_lock<std::mutex>& lock);

  const int threads_;  // at most, the caller's among them
  Platform* const platform_;
  mutable std::mutex mutex_;
  bool can_start_;  // another thread may be started, now or after growth
  int limit_;       // threads that may be started now, the caller's among them
  int processors_ = 1;
  SystemSample sampled_;             // when the watch for growth began
  bool idle_since_sampled_ = false;  // a thread of its own found no work
  std::condition_variable work_;     // workers wait for work
  // Callers wait here: for their pieces to end, the caller of RunInOrder
  // also for work to help with, and its end for the items being made.
  std::condition_variable changed_;
  std::deque<Group*> groups_;   // with pieces not begun yet
  TreeOrder* order_ = nullptr;  // while RunInOrder runs
  std::size_t idle_ = 0;
  bool caller_waits_ = false;  // the caller of RunInOrder, for work
  bool stop_ = false;
  // Threads that may work at once: those numbered below it. Lowered when
  // an item is short of room while others work.
  int allowed_ = 1;
  bool reduced_ = false;  // allowed_ was lowered
  int busy_ = 0;          // threads running a piece, task or item
  // Counts each time a thread got busy while another was: an item made
  // with no change here, begun alone, was made alone.
  std::uint64_t times_crowded_ = 0;
  std::vector<std::unique_ptr<Thread>> workers_;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_WORK_POOL_H_
