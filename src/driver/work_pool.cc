#include "driver/work_pool.h"

#include <algorithm>
#include <limits>
#include <list>
#include <new>
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

// An item of RunInOrder and where it stands.
struct WorkPool::Node {
  std::unique_ptr<Item> item;
  enum class State { kWaiting, kMaking, kMade } state = State::kWaiting;
  std::list<Node*>::iterator pending;  // until made
  std::vector<std::unique_ptr<Node>> followers;
  std::size_t bytes = 0;
};

struct WorkPool::Ordered {
  Budget budget;
  // The items waiting or being made, in the order they are handed on.
  std::list<Node*> pending;
  std::size_t ahead = 0;  // being made, or made and not handed on
  std::size_t bytes = 0;  // what those made hold
  Node* awaited = nullptr;
  std::size_t making = 0;
  bool held_back = false;  // the budget kept an item from being made
  bool stopped = false;
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
      if (Node* node = TakeNextItemLocked()) {
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
  const Ordered* const run = ordered_;
  return run != nullptr && !run->stopped && !run->error &&
         run->ahead < run->budget.items && run->bytes < run->budget.bytes &&
         run->pending.size() > run->making;
}

void WorkPool::SampleLocked() {
  sampled_ms_ = platform_->MonotonicMs();
  sampled_processor_ms_ = platform_->ProcessorMs();
  sampled_reads_ = platform_->StorageReads();
  idle_since_sampled_ = false;
}

bool WorkPool::GrowLocked() {
  if (limit_ >= threads_) return false;
  const std::uint64_t now = platform_->MonotonicMs();
  if (now - sampled_ms_ < kGrowthMs) return false;
  const std::uint64_t used = platform_->ProcessorMs();
  const std::uint64_t busy =
      used > sampled_processor_ms_ ? used - sampled_processor_ms_ : 0;
  // More threads than processors can't use more than the processors.
  const std::uint64_t could =
      (now - sampled_ms_) *
      static_cast<std::uint64_t>(std::min(processors_, limit_));
  const bool processors_idle = 2 * busy < could;
  // A disk that is read keeps the threads waiting however busy the
  // processors are (a cold cache keeps them busy in the system).
  const std::optional<std::uint64_t> reads = platform_->StorageReads();
  const bool disk_read = reads && sampled_reads_ && *reads > *sampled_reads_;
  const bool went_without_work = idle_since_sampled_;
  sampled_ms_ = now;
  sampled_processor_ms_ = used;
  sampled_reads_ = reads;
  idle_since_sampled_ = false;
  if (went_without_work) return false;
  int most = 0;
  if (processors_idle) {
    most = threads_;
  } else if (disk_read) {
    most = std::min(threads_, kMostOnStorage);
  }
  if (limit_ >= most) return false;
  limit_ = std::min(most, 2 * limit_);
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

WorkPool::Node* WorkPool::TakeNextItemLocked() {
  Ordered* const run = ordered_;
  if (run == nullptr || run->stopped || run->error || busy_ >= allowed_) {
    return nullptr;
  }
  for (Node* node : run->pending) {
    if (node->state != Node::State::kWaiting) continue;
    if (node != run->awaited &&
        (run->ahead >= run->budget.items || run->bytes >= run->budget.bytes)) {
      run->held_back = true;
      return nullptr;
    }
    node->state = Node::State::kMaking;
    ++run->ahead;
    ++run->making;
    return node;
  }
  return nullptr;
}

void WorkPool::MakeItem(Node* node, int thread,
                        std::unique_lock<std::mutex>& lock) {
  Ordered& run = *ordered_;
  const bool nested = EnterBusyLocked();
  const bool began_alone = busy_ == 1;
  const std::uint64_t crowded = times_crowded_;
  lock.unlock();
  std::exception_ptr error;
  std::vector<std::unique_ptr<Node>> followers;
  // The followers' places in the order, made here and spliced in under the
  // lock: nothing may fail for lack of memory there, where a thread has no
  // one to throw to.
  std::list<Node*> places;
  std::size_t bytes = 0;
  bool short_of_room = false;
  try {
    Item::Made made = node->item->Make(thread);
    bytes = made.bytes;
    short_of_room = made.short_of_room;
    followers.reserve(made.followers.size());
    for (std::unique_ptr<Item>& item : made.followers) {
      followers.push_back(std::make_unique<Node>());
      followers.back()->item = std::move(item);
      followers.back()->pending =
          places.insert(places.end(), followers.back().get());
    }
  } catch (const std::bad_alloc&) {
    error = std::current_exception();
    short_of_room = true;
    followers.clear();
    places.clear();
  } catch (...) {
    error = std::current_exception();
    followers.clear();
    places.clear();
  }
  lock.lock();
  LeaveBusyLocked(nested);
  if (short_of_room && !(began_alone && times_crowded_ == crowded) &&
      !run.stopped && node->item->CanMakeAgain()) {
    // Others took room meanwhile: made again with fewer threads at work,
    // alone at last, so that it fails only where one thread would.
    // Half of those at work: the limit may be far above the threads started.
    allowed_ = std::max(
        1, std::min(allowed_, static_cast<int>(workers_.size()) + 1) / 2);
    reduced_ = true;
    node->state = Node::State::kWaiting;
    --run.ahead;
    --run.making;
    changed_.notify_all();
    WakeLocked(1);
    return;
  }
  // Its followers take its place in the order.
  run.pending.splice(node->pending, places);
  run.pending.erase(node->pending);
  node->followers = std::move(followers);
  node->bytes = bytes;
  node->state = Node::State::kMade;
  run.bytes += bytes;
  --run.making;
  if (error && !run.error) run.error = error;
  if (node == run.awaited || run.error || run.stopped) changed_.notify_all();
  WakeLocked(node->followers.size());
}

void WorkPool::RunInOrder(std::unique_ptr<Item> first, Budget budget,
                          const std::function<void(Item&)>& hand_on) {
  Ordered run;
  run.budget = budget;
  struct Frame {
    std::unique_ptr<Node> node;
    std::size_t next = 0;  // the next follower to take
    bool handed_on = false;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{std::make_unique<Node>()});
  stack.back().node->item = std::move(first);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stack.back().node->pending =
        run.pending.insert(run.pending.end(), stack.back().node.get());
    ordered_ = &run;  // only once nothing can fail
  }
  // However the run ends, no thread makes an item of it any more before
  // the items go.
  struct StopAndAwaitMakers {
    WorkPool* pool;
    Ordered* run;
    ~StopAndAwaitMakers() {
      std::unique_lock<std::mutex> lock(pool->mutex_);
      run->stopped = true;
      pool->changed_.wait(lock, [this] { return run->making == 0; });
      pool->ordered_ = nullptr;
    }
  } stop_and_await_makers{this, &run};
  while (!stack.empty()) {
    Node* const node = stack.back().node.get();
    if (!stack.back().handed_on) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        run.awaited = node;
        // Waiting, the caller makes what is next in line or runs pieces.
        while (node->state != Node::State::kMade && !run.error) {
          if (node->state == Node::State::kWaiting && busy_ < allowed_) {
            node->state = Node::State::kMaking;
            ++run.ahead;
            ++run.making;
            MakeItem(node, 0, lock);
          } else if (!RunPieceLocked(lock)) {
            if (Node* next = TakeNextItemLocked()) {
              MakeItem(next, 0, lock);
            } else {
              caller_waits_ = true;
              changed_.wait(lock);
              caller_waits_ = false;
            }
          }
        }
        run.awaited = nullptr;
        if (run.error) {
          const std::exception_ptr error = run.error;
          lock.unlock();
          std::rethrow_exception(error);
        }
      }
      hand_on(*node->item);
      stack.back().handed_on = true;
      std::lock_guard<std::mutex> lock(mutex_);
      --run.ahead;
      run.bytes -= node->bytes;
      if (run.held_back) {
        run.held_back = false;
        WakeLocked(idle_);
      }
    }
    Frame& top = stack.back();
    if (top.next == node->followers.size()) {
      stack.pop_back();
      continue;
    }
    std::unique_ptr<Node>& follower = node->followers[top.next++];
    // With nothing left to follow it, the item need not stay: a chain of
    // any length keeps a stack of one. Otherwise the frame is made before
    // the follower leaves its item: a follower that a thread may be making
    // must not go with a failure to grow the stack.
    if (top.next == node->followers.size()) {
      std::unique_ptr<Node> last = std::move(follower);
      stack.pop_back();
      stack.push_back(Frame{std::move(last)});  // in the room just freed
    } else {
      stack.emplace_back();
      stack.back().node = std::move(follower);
    }
  }
}

}  // namespace tabulon
