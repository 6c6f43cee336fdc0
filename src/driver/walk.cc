#include "driver/walk.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "driver/work_pool.h"

namespace tabulon {
namespace {

// Directories kept open so that their subdirectories can be opened from
// them, at most; past this many, a subdirectory whose parent has been
// closed is reached from the directory its thread opened last (see Cursor),
// so that a tree of any shape stays within the open-file limit.
constexpr std::uint64_t kKeptOpen = 96;
// Files a thread may hold open at once besides those kept: its directory
// and its cursor, one more on the way to a directory, the description file
// (and the link to it), the page being replaced, the new page and the
// directory it is made in, one for a directory entered but not read, and
// one through which it fills in details of a piece of a large directory.
constexpr std::uint64_t kFilesOfAThread = 10;
// What the room for open files holds back for the run itself, whatever
// the job count.
constexpr std::uint64_t kFilesOfTheRun = 4;

// How a room of `room` open files is shared: half of what the run leaves
// for directories kept open (the same for every job count, so that one job
// keeps what sixteen keep), the other half for the threads, at least one.
struct OpenFileBudget {
  std::uint64_t kept_open;
  int threads;
};
OpenFileBudget ShareRoom(std::uint64_t room, int jobs) {
  const std::uint64_t left = room > kFilesOfTheRun ? room - kFilesOfTheRun : 0;
  const std::uint64_t kept = std::min(kKeptOpen, left / 2);
  const std::uint64_t threads =
      std::max<std::uint64_t>(1, (left - kept) / kFilesOfAThread);
  return {kept, static_cast<int>(std::min<std::uint64_t>(
                    threads, static_cast<std::uint64_t>(std::max(jobs, 1))))};
}

// The directory a thread opened last. The directories a thread takes come
// in walk order, so the next one lies near: reached from the nearest of the
// threads' cursors, up through the directories above and down by names,
// they cost over the whole walk at most about twice as many opens as the
// thread takes directories, whatever the tree's shape.
struct Cursor {
  std::shared_ptr<Directory> dir;
  std::shared_ptr<const Place> place;
};

class Walker;

// One directory of the walk.
struct DirectoryItem final : WorkPool::Item {
  explicit DirectoryItem(Walker* w) : walker(w) {}
  Made Make(int thread) override;
  bool CanMakeAgain() const override;

  Walker* walker;
  std::shared_ptr<const Place> place;
  // The parent, kept open for this directory while the budget allows.
  std::shared_ptr<Directory> kept_parent;
  // The parent whatever the budget: opened from while others keep it open.
  std::weak_ptr<Directory> parent_if_open;
  DirectoryResult result;
  // Some of its rows went to the sink as they were made.
  std::atomic<bool> rows_handed_on = false;
};

// Passes everything on to `sink`, noting when rows go to it as made.
class RowsWatch final : public PageSink {
 public:
  RowsWatch(PageSink& sink, std::atomic<bool>* handed_on)
      : sink_(sink), handed_on_(handed_on) {}
  void Finish(Directory& dir, const Place& place,
              DirectoryResult* result) override {
    sink_.Finish(dir, place, result);
  }
  void Take(DirectoryResult* result) override { sink_.Take(result); }
  bool TakesRowsAsMade(const Place& place) const override {
    return sink_.TakesRowsAsMade(place);
  }
  void TakeRows(std::string_view rows, std::string_view json) override {
    *handed_on_ = true;
    sink_.TakeRows(rows, json);
  }

 private:
  PageSink& sink_;
  std::atomic<bool>* handed_on_;
};

std::size_t BytesOf(const DirectoryResult& result, std::size_t children) {
  std::size_t bytes = sizeof result + children * (sizeof(DirectoryItem) + 128);
  for (const std::string& piece : result.rows) bytes += piece.size();
  for (const Status& report : result.reports) {
    bytes += report.path().size() + report.reason().size() + 64;
  }
  return bytes;
}

// A thread's cursor, which other threads may read. Guarded by a lock of
// its own, held for the copy of a pointer: the standard library's atomic
// shared_ptr of this toolchain releases its load without ordering it before
// the next store, which ThreadSanitizer rightly reports.
class CursorSlot {
 public:
  std::shared_ptr<const Cursor> Load() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cursor_;
  }
  void Store(std::shared_ptr<const Cursor> cursor) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cursor_.swap(cursor);
    }
    // The cursor replaced goes here, outside the lock.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Cursor> cursor_;
};

class Walker {
 public:
  Walker(std::shared_ptr<Directory> root, const WalkOptions& options,
         WorkPool& pool, std::uint64_t kept_open)
      : root_(std::move(root)),
        options_(options),
        pool_(pool),
        kept_open_(kept_open),
        open_(std::make_shared<std::atomic<int>>(0)),
        cursors_(static_cast<std::size_t>(pool.threads())) {}

  void Walk(std::shared_ptr<const Place> start) {
    auto first = std::make_unique<DirectoryItem>(this);
    first->place = std::move(start);
    // Read ahead of the results taken within the pool's budget: a few
    // hundred directories, a few megabytes.
    pool_.RunInOrder(std::move(first), WorkPool::Budget{},
                     [this](WorkPool::Item& item) {
                       Take(static_cast<DirectoryItem&>(item));
                     });
  }

  // Reads the directory of `item` on the pool's thread `thread`.
  WorkPool::Item::Made ReadDirectory(DirectoryItem& item, int thread) {
    WorkPool::Item::Made made;
    item.result = DirectoryResult();  // of an attempt short of room
    std::shared_ptr<Directory> dir;
    const Status opened = Open(item, thread, &dir);
    if (opened.ok()) {
      if (options_.job->sink->TakesRowsAsMade(*item.place)) {
        // Rows handed on can't be taken back: the directory is read again
        // only until the first of them went.
        RowsWatch watch(*options_.job->sink, &item.rows_handed_on);
        JobSettings settings = *options_.job;
        settings.sink = &watch;
        DirectoryJob job(*dir, *item.place, settings, pool_);
        item.result = job.Complete();
      } else {
        // Freed here, before the walk takes the result.
        DirectoryJob job(*dir, *item.place, *options_.job, pool_);
        item.result = job.Complete();
      }
    } else {
      item.result.reports.push_back(
          opened.At("cannot read directory", item.place->Path()));
      item.result.short_of_room = opened.IsNoRoom();
    }
    made.short_of_room = item.result.short_of_room;
    const bool keep =
        dir != nullptr && static_cast<std::uint64_t>(*open_) < kept_open_;
    made.followers.reserve(item.result.subdirectories.size());
    for (std::string& name : item.result.subdirectories) {
      auto child = std::make_unique<DirectoryItem>(this);
      child->place = Place::Below(item.place, std::move(name));
      if (keep) child->kept_parent = dir;
      child->parent_if_open = dir;
      made.followers.push_back(std::move(child));
    }
    item.result.subdirectories = {};
    made.bytes = BytesOf(item.result, made.followers.size());
    return made;
  }

 private:
  // Opens the directory of `node` on `thread`: from its parent while that
  // is open, otherwise from the nearest cursor. The thread's cursor then
  // stands on it.
  Status Open(DirectoryItem& node, int thread,
              std::shared_ptr<Directory>* dir) {
    std::shared_ptr<Directory> parent = std::move(node.kept_parent);
    if (parent == nullptr) parent = node.parent_if_open.lock();
    node.parent_if_open.reset();
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
    cursors_[static_cast<std::size_t>(thread)].Store(
        std::make_shared<const Cursor>(std::move(cursor)));
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
    std::shared_ptr<Directory> from = root_;
    std::size_t opens = place->depth();
    std::size_t climbs = 0;
    for (const CursorSlot& at : cursors_) {
      const std::shared_ptr<const Cursor> cursor = at.Load();
      if (cursor == nullptr) continue;
      std::size_t up = 0;
      const std::size_t distance =
          Distance(cursor->place.get(), place.get(), opens, &up);
      if (distance < opens) {
        opens = distance;
        climbs = up;
        from = cursor->dir;
      }
    }
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

  // Hands on the result of `item`, in walk order.
  void Take(DirectoryItem& item) {
    DirectoryResult& result = item.result;
    options_.job->sink->Take(&result);
    for (const Status& report : result.reports)
      options_.reporter->Report(report);
    if (options_.progress != nullptr && options_.progress->active()) {
      options_.progress->Reached([&item] { return item.place->Path(); },
                                 result.files);
    }
    result = DirectoryResult();
  }

  const std::shared_ptr<Directory> root_;
  const WalkOptions& options_;
  WorkPool& pool_;
  const std::uint64_t kept_open_;  // directories kept open, at most
  // Directories open through this walk.
  const std::shared_ptr<std::atomic<int>> open_;
  // By the pool's thread: each moves its own; any may start from another's.
  std::vector<CursorSlot> cursors_;
};

WorkPool::Item::Made DirectoryItem::Make(int thread) {
  return walker->ReadDirectory(*this, thread);
}

bool DirectoryItem::CanMakeAgain() const { return !rows_handed_on; }

}  // namespace

void WalkDirectory(std::shared_ptr<Directory> root,
                   std::shared_ptr<const Place> start,
                   const WalkOptions& options) {
  const OpenFileBudget budget =
      ShareRoom(options.platform != nullptr ? options.platform->OpenFileRoom()
                                            : UINT64_MAX,
                std::max(options.threads, options.most_threads));
  // Those that grow share the room as those started first do.
  WorkPool pool(std::min(budget.threads, options.threads), options.platform,
                budget.threads);
  Walker(std::move(root), options, pool, budget.kept_open)
      .Walk(std::move(start));
}

}  // namespace tabulon
