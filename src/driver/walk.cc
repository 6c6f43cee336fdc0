#include "driver/walk.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tabulon {
namespace {

// How far the walk reads ahead of its results being taken: directories
// read and not taken yet, and the bytes their results hold. The directory
// that the walk waits for is read whatever these say.
constexpr std::size_t kAheadDirectories = 256;
constexpr std::size_t kAheadBytes = std::size_t{8} << 20;
// Directories kept open so that their subdirectories can be opened from
// them; past this many, a subdirectory whose parent has been closed is
// reached from the directory its thread opened last (see Cursor), so that a
// tree of any shape stays within the open-file limit.
constexpr int kKeptOpen = 96;

// One directory of the walk.
struct Node {
  std::shared_ptr<const Place> place;
  // The parent, kept open to open it from while the budget allows.
  std::shared_ptr<Directory> parent;
  // The parent whatever the budget: opened from while it is still open.
  std::weak_ptr<Directory> open_parent;
  enum class State { kWaiting, kRunning, kDone } state = State::kWaiting;
  std::list<Node*>::iterator pending;  // while waiting or running
  DirectoryResult result;
  std::exception_ptr error;
  std::vector<std::unique_ptr<Node>> children;  // in name order
  std::size_t bytes = 0;  // what the result holds, for the budget
};

// The pieces of one job that idle threads may take.
struct Pieces {
  Pieces(const std::function<void(std::size_t)>& each, std::size_t n)
      : body(&each), count(n) {}
  const std::function<void(std::size_t)>* body;
  std::size_t count;
  std::size_t next = 0;     // the first piece not taken yet
  std::size_t running = 0;  // taken and not finished
  std::exception_ptr error;
  std::condition_variable finished;
};

// The directory a thread opened last. The directories a thread takes come
// in walk order, so the next one lies near: reached from the nearest of the
// threads' cursors, up through the directories above and down by names,
// they cost over the whole walk at most about twice as many opens as the
// thread takes directories, whatever the tree's shape.
struct Cursor {
  std::shared_ptr<Directory> dir;
  std::shared_ptr<const Place> place;
};

std::size_t BytesOf(const DirectoryResult& result, std::size_t children) {
  std::size_t bytes = sizeof result + children * (sizeof(Node) + 64);
  for (const std::string& piece : result.rows) bytes += piece.size();
  for (const Status& report : result.reports) {
    bytes += report.path().size() + report.reason().size() + 64;
  }
  return bytes;
}

class Walker final : public Parallel {
 public:
  Walker(std::shared_ptr<Directory> root, const WalkOptions& options)
      : root_(std::move(root)),
        options_(options),
        open_(std::make_shared<std::atomic<int>>(0)) {}
  ~Walker() override { Stop(); }

  void Walk(std::shared_ptr<const Place> start) {
    auto root = std::make_unique<Node>();
    root->place = std::move(start);
    root->pending = pending_.insert(pending_.end(), root.get());
    // A worker may take the first directory before the next one is even
    // started: counted (and counted idle) from the start, so that the
    // first directory already shares its pieces with them as they come.
    if (options_.jobs > 1) idle_hint_ = options_.jobs - 1;
    cursors_.resize(static_cast<std::size_t>(std::max(options_.jobs, 0)) + 1);
    for (int i = 1; options_.jobs > 1 && i <= options_.jobs; ++i) {
      ++started_;
      try {
        workers_.emplace_back([this, i] { Work(i); });
      } catch (const std::system_error&) {
        --started_;
        break;  // fewer threads: the walk only takes longer
      }
    }

    struct Frame {
      std::unique_ptr<Node> node;
      std::size_t next = 0;  // the next child to take
      bool taken = false;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{std::move(root)});
    // Every thread stops before the nodes they may be reading go.
    struct Stopper {
      Walker* walker;
      ~Stopper() { walker->Stop(); }
    } stopper{this};
    while (!stack.empty()) {
      Node* const node = stack.back().node.get();
      if (!stack.back().taken) {
        Await(node);
        Take(node);
        stack.back().taken = true;
      }
      Frame& top = stack.back();
      if (top.next == node->children.size()) {
        stack.pop_back();
        continue;
      }
      std::unique_ptr<Node> child = std::move(node->children[top.next++]);
      // With nothing left below it, the parent need not wait for the child:
      // a chain of any depth keeps a stack of one.
      if (top.next == node->children.size()) stack.pop_back();
      stack.push_back(Frame{std::move(child)});
    }
  }

  bool HasIdleThreads() const override { return idle_hint_ > 0; }

  void ForEach(std::size_t count,
               const std::function<void(std::size_t)>& body) override {
    if (started_ == 0 || count <= 1) {
      for (std::size_t i = 0; i < count; ++i) body(i);
      return;
    }
    Pieces pieces(body, count);
    std::unique_lock<std::mutex> lock(mutex_);
    help_.push_back(&pieces);
    WakeLocked(count - 1);
    while (pieces.next < pieces.count) {
      const std::size_t i = pieces.next++;
      ++pieces.running;
      if (pieces.next == pieces.count) {
        help_.erase(std::find(help_.begin(), help_.end(), &pieces));
      }
      lock.unlock();
      std::exception_ptr error;
      try {
        body(i);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error && !pieces.error) pieces.error = error;
      --pieces.running;
    }
    pieces.finished.wait(lock, [&pieces] { return pieces.running == 0; });
    if (pieces.error) {
      lock.unlock();
      std::rethrow_exception(pieces.error);
    }
  }

 private:
  // A worker: pieces of a job first (they finish what is begun), then the
  // next directory in walk order.
  void Work(int thread) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stop_) return;
      if (!help_.empty()) {
        Pieces& pieces = *help_.front();
        const std::size_t i = pieces.next++;
        ++pieces.running;
        if (pieces.next == pieces.count) help_.pop_front();
        lock.unlock();
        std::exception_ptr error;
        try {
          (*pieces.body)(i);
        } catch (...) {
          error = std::current_exception();
        }
        lock.lock();
        if (error && !pieces.error) pieces.error = error;
        if (--pieces.running == 0 && pieces.next == pieces.count) {
          pieces.finished.notify_all();
        }
        continue;
      }
      if (Node* node = NextLocked()) {
        lock.unlock();
        Run(node, thread);
        lock.lock();
        continue;
      }
      ++idle_;
      idle_hint_ = idle_;
      work_.wait(lock);
      idle_hint_ = --idle_;
    }
  }

  // Wakes as many idle workers as there is new work for, at most `work`:
  // waking them all for every directory would cost more than the reading.
  void WakeLocked(std::size_t work) {
    for (std::size_t i = std::min(work, idle_); i > 0; --i) work_.notify_one();
  }

  // The first directory in walk order that no thread reads yet, if the
  // budget lets one more be read ahead.
  Node* NextLocked() {
    for (Node* node : pending_) {
      if (node->state != Node::State::kWaiting) continue;
      if (node != awaited_ &&
          (ahead_ >= kAheadDirectories || ahead_bytes_ >= kAheadBytes)) {
        held_back_ = true;
        return nullptr;
      }
      node->state = Node::State::kRunning;
      ++ahead_;
      return node;
    }
    return nullptr;
  }

  // Reads the directory of `node`; called without the lock.
  void Run(Node* node, int thread) {
    DirectoryResult result;
    std::vector<std::unique_ptr<Node>> children;
    std::exception_ptr error;
    // Freed once the result is handed on: the walk need not wait for it.
    std::optional<DirectoryJob> job;
    std::shared_ptr<Directory> dir;
    try {
      const Status opened = Open(*node, thread, &dir);
      if (opened.ok()) {
        job.emplace(*dir, *node->place, *options_.job, *this);
        result = job->Run();
      } else {
        result.reports.push_back(
            opened.At("cannot read directory", node->place->Path()));
      }
      const bool keep = dir != nullptr && *open_ < kKeptOpen;
      children.reserve(result.subdirectories.size());
      for (std::string& name : result.subdirectories) {
        auto child = std::make_unique<Node>();
        child->place = Place::Below(node->place, std::move(name));
        if (keep) child->parent = dir;
        child->open_parent = dir;
        children.push_back(std::move(child));
      }
      result.subdirectories = {};
    } catch (...) {
      error = std::current_exception();
      children.clear();
    }
    const std::size_t bytes = BytesOf(result, children.size());
    std::lock_guard<std::mutex> lock(mutex_);
    node->result = std::move(result);
    node->children = std::move(children);
    node->bytes = bytes;
    node->error = error;
    if (error && !error_) {
      error_ = error;
      stop_ = true;
    }
    // Its subdirectories take its place in the walk order.
    for (const std::unique_ptr<Node>& child : node->children) {
      child->pending = pending_.insert(node->pending, child.get());
    }
    pending_.erase(node->pending);
    ahead_bytes_ += bytes;
    node->state = Node::State::kDone;
    if (node == awaited_ || error) done_.notify_one();
    if (error) {
      work_.notify_all();
    } else {
      WakeLocked(node->children.size());
    }
  }

  // Opens the directory of `node` on `thread`: from its parent while that
  // is open, otherwise from the nearest cursor. The thread's cursor then
  // stands on it.
  Status Open(Node& node, int thread, std::shared_ptr<Directory>* dir) {
    std::shared_ptr<Directory> parent = std::move(node.parent);
    if (parent == nullptr) parent = node.open_parent.lock();
    node.open_parent.reset();
    if (node.place->IsStart()) {
      *dir = root_;
    } else if (parent != nullptr) {
      std::unique_ptr<Directory> opened;
      const Status status =
          parent->OpenSubdirectory(node.place->name(), &opened);
      if (!status.ok()) return status;
      *dir = Counted(std::move(opened));
    } else {
      const Status status = Reach(node.place, thread, dir);
      if (!status.ok()) return status;
    }
    Move(thread, Cursor{*dir, node.place});
    return Status::Ok();
  }

  void Move(int thread, Cursor cursor) {
    std::lock_guard<std::mutex> lock(cursors_mutex_);
    std::swap(cursors_[static_cast<std::size_t>(thread)], cursor);
  }

  // The opens that going from `from` to `to` takes, through the lowest
  // directory above both, with the climbs among them in `*climbs`; more
  // than `limit` once that many are passed.
  static std::size_t Distance(const Place* from, const Place* to,
                              std::size_t limit, std::size_t* climbs) {
    std::size_t opens = 0;
    *climbs = 0;
    while (from != to && opens <= limit) {
      ++opens;
      if (from->depth() >= to->depth()) {
        from = from->parent().get();
        ++*climbs;
      } else {
        to = to->parent().get();
      }
    }
    return opens;
  }

  // Opens the directory at `place` from the cursor nearest to it, up to the
  // lowest directory above both and down by names; or down from the start
  // directory when that takes fewer opens, or when a way up is not the one
  // taken down (the tree changed meanwhile). On a failure the thread's
  // cursor stays on the last directory reached, so the next one costs no
  // more.
  Status Reach(const std::shared_ptr<const Place>& place, int thread,
               std::shared_ptr<Directory>* out) {
    std::vector<Cursor> cursors;
    {
      std::lock_guard<std::mutex> lock(cursors_mutex_);
      cursors = cursors_;
    }
    std::shared_ptr<Directory> from = root_;
    std::size_t opens = place->depth();
    std::size_t climbs = 0;
    for (Cursor& cursor : cursors) {
      if (cursor.place == nullptr) continue;
      std::size_t up = 0;
      const std::size_t distance =
          Distance(cursor.place.get(), place.get(), opens, &up);
      if (distance < opens) {
        opens = distance;
        climbs = up;
        from = std::move(cursor.dir);
      }
    }
    cursors.clear();
    for (std::size_t i = 0; i < climbs; ++i) {
      std::unique_ptr<Directory> above;
      if (!from->OpenParent(&above).ok()) {
        from = root_;
        opens = place->depth();
        climbs = 0;
        break;
      }
      from = Counted(std::move(above));
    }
    // The places to go down through, the last one first.
    std::vector<const Place*> down(opens - climbs);
    const Place* p = place.get();
    for (const Place*& step : down) {
      step = p;
      p = p->parent().get();
    }
    for (std::size_t i = down.size(); i > 0; --i) {
      std::unique_ptr<Directory> next;
      const Status status = from->OpenSubdirectory(down[i - 1]->name(), &next);
      if (!status.ok()) {
        Move(thread, Cursor{std::move(from), down[i - 1]->parent()});
        return status;
      }
      from = Counted(std::move(next));
    }
    *out = std::move(from);
    return Status::Ok();
  }

  // Counts a directory opened through the walk while it stays open.
  std::shared_ptr<Directory> Counted(std::unique_ptr<Directory> opened) {
    ++*open_;
    return std::shared_ptr<Directory>(opened.release(),
                                      [open = open_](Directory* d) {
                                        delete d;
                                        --*open;
                                      });
  }

  // Waits until `node` is read, reading it here when no thread has taken it.
  void Await(Node* node) {
    std::unique_lock<std::mutex> lock(mutex_);
    awaited_ = node;
    while (node->state != Node::State::kDone && !error_) {
      if (node->state == Node::State::kWaiting) {
        node->state = Node::State::kRunning;
        ++ahead_;
        lock.unlock();
        Run(node, 0);
        lock.lock();
        continue;
      }
      done_.wait(lock);
    }
    awaited_ = nullptr;
    if (error_) {
      const std::exception_ptr error = error_;
      lock.unlock();
      std::rethrow_exception(error);
    }
  }

  // Hands on the result of `node`, in walk order.
  void Take(Node* node) {
    DirectoryResult& result = node->result;
    options_.job->sink->Take(&result);
    for (const Status& report : result.reports)
      options_.reporter->Report(report);
    if (options_.progress != nullptr && options_.progress->active()) {
      options_.progress->Reached([node] { return node->place->Path(); },
                                 result.files);
    }
    result = DirectoryResult();
    std::lock_guard<std::mutex> lock(mutex_);
    --ahead_;
    ahead_bytes_ -= node->bytes;
    if (held_back_) {
      held_back_ = false;
      WakeLocked(idle_);
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  const std::shared_ptr<Directory> root_;
  const WalkOptions& options_;
  // Directories open through this walk.
  const std::shared_ptr<std::atomic<int>> open_;
  std::mutex cursors_mutex_;
  // By thread: 0 is the walk's own, 1 to `jobs` the workers. Each thread
  // moves its own; any may start from another's.
  std::vector<Cursor> cursors_;

  std::mutex mutex_;
  std::condition_variable work_;  // workers wait for work
  std::condition_variable done_;  // the walk waits for a directory
  // The directories waiting or being read, in walk order.
  std::list<Node*> pending_;
  std::deque<Pieces*> help_;
  std::size_t ahead_ = 0;
  std::size_t ahead_bytes_ = 0;
  Node* awaited_ = nullptr;
  std::size_t idle_ = 0;                    // workers waiting for work
  std::atomic<std::size_t> idle_hint_ = 0;  // idle_, read without the lock
  bool held_back_ = false;  // the budget kept a directory from being read
  bool stop_ = false;
  std::exception_ptr error_;
  std::vector<std::thread> workers_;  // of the walk's own thread
  std::atomic<int> started_ = 0;      // workers, for every thread to see
};

}  // namespace

void WalkDirectory(std::shared_ptr<Directory> root,
                   std::shared_ptr<const Place> start,
                   const WalkOptions& options) {
  Walker(std::move(root), options).Walk(std::move(start));
}

}  // namespace tabulon
