#ifndef TABULON_PLATFORM_PENDING_FILES_H_
#define TABULON_PLATFORM_PENDING_FILES_H_

// The temporary pages of the process, for both backends: a stop (a signal,
// the console closing) removes every one of them, whichever thread is
// writing it.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace tabulon {

// A temporary file that a stop must remove.
class PendingFile {
 public:
  // Removes the file's name. Runs on the stopping thread while the owner
  // may still be writing, so it reads only what was set before the file was
  // added.
  virtual void RemoveForStop() = 0;

 protected:
  ~PendingFile() = default;

 private:
  friend class PendingFiles;
  PendingFile* previous_ = nullptr;
  PendingFile* next_ = nullptr;
  bool listed_ = false;
};

// Each step that creates, renames or removes a temporary file runs through
// here, so that a stop lands before the step or after it together with its
// bookkeeping: never between a file's creation and its registration, nor
// between its rename and its unregistration. Steps of different threads run
// at the same time; only a stop waits for them.
class PendingFiles {
 public:
  // Runs `create`; when it returns true the file exists and is registered.
  template <typename Step>
  bool Add(PendingFile* file, Step create) {
    Enter();
    const bool created = create();
    Leave(created ? file : nullptr, nullptr);
    return created;
  }
  // Runs `settle` (a rename over the target, or a removal); when it returns
  // true the file is forgotten.
  template <typename Step>
  bool Settle(PendingFile* file, Step settle) {
    Enter();
    const bool settled = settle();
    Leave(nullptr, settled ? file : nullptr);
    return settled;
  }
  // Waits for the steps under way, removes every registered file and holds
  // every later step for good: the process is about to end.
  void RemoveAllAndHold() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.wait(lock, [this] { return active_ == 0; });
    for (PendingFile* file = first_; file != nullptr; file = file->next_) {
      file->RemoveForStop();
      file->listed_ = false;
    }
    first_ = nullptr;
  }
  // The same from a signal handler, which may take no lock: it waits for
  // the steps under way by spinning, calling `pause` between looks, and
  // changes nothing but the files on disk. The thread it interrupts must
  // not be in a step itself (the caller holds the signal back during
  // steps), or it would wait for good.
  template <typename Pause>
  void RemoveAllFromHandler(Pause pause) {
    stopping_ = true;
    while (active_ != 0) pause();
    for (PendingFile* file = first_; file != nullptr; file = file->next_) {
      file->RemoveForStop();
    }
  }

 private:
  // A step counts itself before it looks whether a stop has begun, and a
  // stop says so before it counts the steps: one of the two sees the other.
  void Enter() {
    ++active_;
    if (!stopping_) return;
    if (--active_ == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_.notify_all();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [] { return false; });  // the process is ending
  }
  void Leave(PendingFile* added, PendingFile* removed) {
    if (added != nullptr || removed != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (added != nullptr && !added->listed_) {
        added->listed_ = true;
        added->previous_ = nullptr;
        added->next_ = first_;
        if (first_ != nullptr) first_->previous_ = added;
        first_ = added;
      }
      if (removed != nullptr && removed->listed_) {
        removed->listed_ = false;
        (removed->previous_ != nullptr ? removed->previous_->next_ : first_) =
            removed->next_;
        if (removed->next_ != nullptr)
          removed->next_->previous_ = removed->previous_;
        removed->previous_ = removed->next_ = nullptr;
      }
    }
    if (--active_ == 0 && stopping_) {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  PendingFile* first_ = nullptr;  // changed under mutex_ within a step
  std::atomic<std::size_t> active_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace tabulon

#endif  // TABULON_PLATFORM_PENDING_FILES_H_
