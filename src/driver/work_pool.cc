#include "driver/work_pool.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/per_thread.h"

namespace tabulon {

// The pieces of one ForEach, or the tasks of one WhileProducing.
struct WorkPool::Group {
  const std::function<void(std::size_t)>* piece = nullptr;
  std::deque<std::function<void()>> tasks;  // of a WhileProducing
  std::size_t count = 0;                    // grows with tasks
  std::size_t next = 0;                     // the first not begun
  std::size_t running = 0;
  std::size_t most_at_once = std::numeric_limits<std::size_t>::max();
  bool closed = false;  // nothing more begins
  std::exception_ptr error;
};

class WorkPool::Feed final : public WorkFeed {
 public:
  Feed(WorkPool* pool, Group* group) : pool_(pool), group_(group) {}
  // Whether a task was added, and the group shown to the threads.
  bool listed() const { return listed_; }
  void Add(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(pool_->mutex_);
    // The group is shown to the threads with its first task: a producer
    // that adds none costs the pool nothing.
    if (!listed_) {
      pool_->groups_.push_back(group_);
      listed_ = true;
    }
    group_->tasks.push_back(std::move(task));
    ++group_->count;
    if (group_->running < group_->most_at_once) pool_->WakeLocked(1);
  }

 private:
  WorkPool* pool_;
  Group* group_;
  bool listed_ = false;
};

namespace {

// How deep the calling thread is in pieces, tasks and items of the pool:
// one it runs inside another keeps it no busier.
thread_local int t_depth = 0;

// A feed whose tasks never run: a pool of one thread has none to run them.
class NoFeed final : public WorkFeed {
 public:
  void Add(std::function<void()>) override {}
};

}  // namespace

WorkPool::WorkPool(int threads, Platform* platform, int most)
    : threads_(platform != nullptr ? std::max({threads, most, 1})
                                   : std::max(threads, 1)),
      platform_(platform),
      can_start_(threads_ > 1),
      limit_(std::max(threads, 1)) {
  allowed_ = threads_;
  if (limit_ < threads_) {
    processors_ = std::max(platform_->Processors(), 1);
    SampleLocked();
  }
  // Never grown while a thread it starts runs: a failure to grow would
  // leave that thread behind.
  workers_.reserve(static_cast<std::size_t>(threads_ - 1));
}

WorkPool::~WorkPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  workers_.clear();  // each waits for its thread
}

int WorkPool::allowed_threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return allowed_;
}

void WorkPool::Work(int thread) {
  ReadyPerThread();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (thread < allowed_) {
      if (RunPieceLocked(lock)) continue;
      if (TreeOrder::Node* node = TakeNextItemLocked()) {
        MakeItem(node, thread, lock);
        continue;
      }
    }
    ++idle_;
    // A thread without work: the processor time of now says nothing of
    // waiting on the system.
    idle_since_sampled_ = true;
    work_.wait(lock);
    --idle_;
  }
}

bool WorkPool::EnterBusyLocked() {
  if (t_depth++ > 0) return true;
  if (busy_++ > 0) ++times_crowded_;
  return false;
}

void WorkPool::LeaveBusyLocked(bool nested) {
  --t_depth;
  if (nested) return;
  --busy_;
  // An item may wait for fewer threads at work.
  if (reduced_) {
    changed_.notify_all();
    return;
  }
  // Work is left that no thread is free for: one more thread, if the limit
  // allows it or the threads wait.
  if (idle_ == 0 && can_start_ && WorkWaitsLocked()) WakeLocked(1);
}

bool WorkPool::WorkWaitsLocked() const {
  for (const Group* group : groups_) {
    if (!group->closed && group->next < group->count &&
        group->running < group->most_at_once) {
      return true;
    }
  }
  return order_ != nullptr && order_->WorkWaits();
}

void WorkPool::SampleLocked() {
  sampled_ = {platform_->MonotonicMs(), platform_->ProcessorMs(),
              platform_->StorageReads()};
  idle_since_sampled_ = false;
}

bool WorkPool::GrowLocked() {
  if (limit_ >= threads_) return false;
  ThreadSamples samples;
  samples.since = sampled_;
  samples.now.clock_ms = platform_->MonotonicMs();
  samples.processors = processors_;
  samples.limit = limit_;
  samples.most = threads_;
  samples.went_idle = idle_since_sampled_;
  // Asked only when a thread is to start: work waits that none is free for.
  samples.work_waits = true;
  // The rest is read only once the watch has run its time, as a reading
  // of the processor time may cost a call to the system.
  if (samples.now.clock_ms - sampled_.clock_ms >= kGrowthMs) {
    samples.now.processor_ms = platform_->ProcessorMs();
    samples.now.storage_reads = platform_->StorageReads();
  }
  const ThreadCount count = NextThreadCount(samples);
  if (count.watch_anew) {
    sampled_ = samples.now;
    idle_since_sampled_ = false;
  }
  if (count.limit <= limit_) return false;
  limit_ = count.limit;
  return true;
}

// Wakes as many idle threads as there is new work for, at most `work`:
// waking them all for every piece would cost more than the piece. Threads
// are started only once there is work for them, so a small run costs few
// (each reserves a stack).
void WorkPool::WakeLocked(std::size_t work) {
  if (reduced_) {
    // Only some may work: a wake-up must not go to one that may not, and
    // no thread more is started.
    if (work > 0) work_.notify_all();
    if (work > 0 && caller_waits_) changed_.notify_all();
    return;
  }
  const std::size_t woken = std::min(work, idle_);
  for (std::size_t i = woken; i > 0; --i) work_.notify_one();
  std::size_t more = work - woken;
  while (more > 0 && StartLocked()) --more;
  // The caller of RunInOrder helps while it waits for its next item.
  if (more > 0 && caller_waits_) changed_.notify_all();
}

bool WorkPool::StartLocked() {
  const int thread = static_cast<int>(workers_.size()) + 1;
  if (!can_start_ || (thread >= limit_ && !GrowLocked())) return false;
  std::unique_ptr<Thread> worker;
  Status started;
  try {
    std::function<void()> body = [this, thread] { Work(thread); };
    started =
        platform_ != nullptr
            ? platform_->StartThread(kStackBytes, std::move(body), &worker)
            : StartSystemThread(std::move(body), &worker);
  } catch (...) {
    started = Status::NoRoom("no memory for another thread");
  }
  if (!started.ok()) {
    // Refused, or no memory for its state: fewer threads only take
    // longer, and the caller may be a thread that has no one to tell.
    can_start_ = false;
    return false;
  }
  workers_.push_back(std::move(worker));
  can_start_ = thread + 1 < threads_;
  // Growth looks only at time when every thread allowed has been started.
  if (can_start_ && thread + 1 == limit_) SampleLocked();
  return true;
}

bool WorkPool::RunPieceLocked(std::unique_lock<std::mutex>& lock) {
  for (Group* group : groups_) {
    if (group->closed || group->next == group->count ||
        group->running >= group->most_at_once) {
      continue;
    }
    const std::size_t i = group->next++;
    ++group->running;
    std::function<void()> task;
    if (group->piece == nullptr) task = std::move(group->tasks[i]);
    const bool nested = EnterBusyLocked();
    lock.unlock();
    std::exception_ptr error;
    try {
      if (task) {
        task();
      } else {
        (*group->piece)(i);
      }
    } catch (...) {
      error = std::current_exception();
    }
    task = nullptr;
    lock.lock();
    LeaveBusyLocked(nested);
    if (error && !group->error) {
      group->error = error;
      // The rest would only be thrown away.
      if (group->piece != nullptr) group->next = group->count;
    }
    if (--group->running == 0) changed_.notify_all();
    return true;
  }
  return false;
}

void WorkPool::FinishGroup(Group& group, std::unique_lock<std::mutex>& lock) {
  group.closed = true;
  changed_.wait(lock, [&group] { return group.running == 0; });
  groups_.erase(std::find(groups_.begin(), groups_.end(), &group));
  if (group.error) {
    lock.unlock();
    std::rethrow_exception(group.error);
  }
}

void WorkPool::ForEach(std::size_t count,
                       const std::function<void(std::size_t)>& piece) {
  if (threads_ == 1 || count <= 1) {
    for (std::size_t i = 0; i < count; ++i) piece(i);
    return;
  }
  Group group;
  group.piece = &piece;
  group.count = count;
  std::unique_lock<std::mutex> lock(mutex_);
  // The newest group comes first, for every thread: the caller's pieces,
  // which it waits for, are finished before older ones are begun.
  groups_.push_front(&group);
  WakeLocked(count - 1);
  while (group.next < group.count) RunPieceLocked(lock);
  FinishGroup(group, lock);
}

void WorkPool::ForEachInOrder(std::size_t count,
                              const std::function<void(std::size_t)>& make,
                              const std::function<void(std::size_t)>& hand_on) {
  std::mutex mutex;
  std::vector<char> made(count);
  std::size_t next = 0;
  bool handing_on = false;
  bool failed = false;
  ForEach(count, [&](std::size_t i) {
    try {
      make(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      failed = true;
      throw;
    }
    std::unique_lock<std::mutex> lock(mutex);
    made[i] = 1;
    // The thread that hands on takes the pieces made meanwhile too.
    if (handing_on) return;
    handing_on = true;
    while (!failed && next < count && made[next]) {
      const std::size_t j = next++;
      lock.unlock();
      try {
        hand_on(j);
      } catch (...) {
        lock.lock();
        failed = true;
        handing_on = false;
        throw;
      }
      lock.lock();
    }
    handing_on = false;
  });
}

std::size_t WorkPool::WhileProducing(
    std::size_t helpers, const std::function<void(WorkFeed&)>& produce) {
  if (threads_ == 1 || helpers == 0) {
    NoFeed feed;
    produce(feed);
    return 0;
  }
  Group group;
  group.most_at_once = helpers;
  Feed feed(this, &group);
  std::exception_ptr error;
  try {
    produce(feed);
  } catch (...) {
    error = std::current_exception();
  }
  // Only the producer adds: once it returns, listed() stays as it is.
  if (!feed.listed()) {
    if (error) std::rethrow_exception(error);
    return 0;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t begun = group.next;
  if (error && !group.error) group.error = error;
  FinishGroup(group, lock);
  return begun;
}

TreeOrder::Node* WorkPool::TakeNextItemLocked() {
  if (order_ == nullptr || busy_ >= allowed_) return nullptr;
  return order_->TakeNext();
}

void WorkPool::MakeItem(TreeOrder::Node* node, int thread,
                        std::unique_lock<std::mutex>& lock) {
  TreeOrder& order = *order_;
  const bool nested = EnterBusyLocked();
  const bool began_alone = busy_ == 1;
  const std::uint64_t crowded = times_crowded_;
  lock.unlock();
  TreeOrder::Outcome outcome = TreeOrder::Make(*node, thread);
  lock.lock();
  LeaveBusyLocked(nested);
  if (outcome.short_of_room && !(began_alone && times_crowded_ == crowded) &&
      order.PutBack(node)) {
    // Others took room meanwhile: made again with fewer threads at work,
    // alone at last, so that it fails only where one thread would.
    // Half of those at work: the limit may be far above the threads started.
    allowed_ = std::max(
        1, std::min(allowed_, static_cast<int>(workers_.size()) + 1) / 2);
    reduced_ = true;
    changed_.notify_all();
    WakeLocked(1);
    return;
  }
  if (order.Settle(node, std::move(outcome))) changed_.notify_all();
  WakeLocked(order.FollowersOf(node));
}

void WorkPool::RunInOrder(std::unique_ptr<Item> first, Budget budget,
                          const std::function<void(Item&)>& hand_on) {
  TreeOrder order(std::move(first), budget);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    order_ = &order;  // only once nothing can fail
  }
  // However the run ends, no thread makes an item of it any more before
  // the items go.
  struct StopAndAwaitMakers {
    WorkPool* pool;
    TreeOrder* order;
    ~StopAndAwaitMakers() {
      std::unique_lock<std::mutex> lock(pool->mutex_);
      order->Stop();
      pool->changed_.wait(lock, [this] { return order->making() == 0; });
      pool->order_ = nullptr;
    }
  } stop_and_await_makers{this, &order};
  while (TreeOrder::Node* const node = order.Next()) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      order.Await(node);
      // Waiting, the caller makes what is next in line or runs pieces.
      while (!order.IsMade(node) && !order.error()) {
        if (busy_ < allowed_ && order.Take(node)) {
          MakeItem(node, 0, lock);
        } else if (!RunPieceLocked(lock)) {
          if (TreeOrder::Node* next = TakeNextItemLocked()) {
            MakeItem(next, 0, lock);
          } else {
            caller_waits_ = true;
            changed_.wait(lock);
            caller_waits_ = false;
          }
        }
      }
      order.Await(nullptr);
      if (order.error()) {
        const std::exception_ptr error = order.error();
        lock.unlock();
        std::rethrow_exception(error);
      }
    }
    hand_on(TreeOrder::ItemOf(*node));
    std::lock_guard<std::mutex> lock(mutex_);
    if (order.HandedOn(node)) WakeLocked(idle_);
  }
}

}  // namespace tabulon
