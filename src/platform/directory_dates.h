#ifndef TABULON_PLATFORM_DIRECTORY_DATES_H_
#define TABULON_PLATFORM_DIRECTORY_DATES_H_

// The modification times of the directories the process writes pages into,
// for both backends: a directory's date tells when its content last
// changed, not when a run last wrote a page into it, so every temporary
// name the process makes and takes away again leaves the time as it was.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace tabulon {

// A directory, as the system tells it apart from every other.
struct DirectoryKey {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  auto operator<=>(const DirectoryKey&) const = default;
};

// A modification time as the backend reads it, in its own units.
struct DirectoryTime {
  std::int64_t seconds = 0;
  std::int64_t fraction = 0;
  bool operator==(const DirectoryTime&) const = default;
};

// Several temporary files of the process may lie in one directory at once
// (a page and its FILES.JSON): the time put back is the one from before
// the first of them, and a change someone else makes meanwhile (an upload)
// keeps its own time instead. `read(DirectoryTime*)` reads the directory's
// time (false when it can't), `write(const DirectoryTime&)` sets it, best
// effort. Steps on one directory take turns. A stop by a signal removes
// the temporary files without coming here (it must wait for nothing), so
// the directories it touched keep the times it gave them.
class DirectoryDates {
 public:
  // Runs `step`, which gives a temporary file its name in the directory
  // `key`, and returns what it returned. `*dated` tells whether the
  // directory's time was known before, so that Unname puts it back.
  template <typename Read, typename Step>
  bool Name(const DirectoryKey& key, bool* dated, Read read, Step step) {
    Stripe& stripe = StripeOf(key);
    std::lock_guard<std::mutex> lock(stripe.mutex);
    // Made before the step, so that nothing can fail between the step and
    // what it must note.
    Dated& dir = stripe.dirs[key];
    DirectoryTime before;
    *dated = read(&before);
    const bool named = step();
    if (!named || !*dated) {
      *dated = false;
      if (dir.files == 0) stripe.dirs.erase(key);
      return named;
    }
    if (dir.files == 0 || before != dir.own) dir.keep = before;
    ++dir.files;
    if (!read(&dir.own)) dir.own = before;
    return named;
  }

  // Runs `step`, which takes the temporary name away again (a rename over
  // the target, or a removal), and returns what it returned; once it did,
  // and the name was `dated`, the directory gets the time to keep.
  template <typename Read, typename Write, typename Step>
  bool Unname(const DirectoryKey& key, bool dated, Read read, Write write,
              Step step) {
    if (!dated) return step();
    Stripe& stripe = StripeOf(key);
    std::lock_guard<std::mutex> lock(stripe.mutex);
    const auto found = stripe.dirs.find(key);
    if (found == stripe.dirs.end()) return step();
    Dated& dir = found->second;
    DirectoryTime now;
    if (read(&now) && now != dir.own) dir.keep = now;
    if (!step()) return false;
    write(dir.keep);
    if (--dir.files == 0) {
      stripe.dirs.erase(found);
    } else if (!read(&dir.own)) {
      dir.own = dir.keep;
    }
    return true;
  }

 private:
  struct Dated {
    std::size_t files = 0;  // temporary names in the directory now
    DirectoryTime keep;     // the time to put back
    DirectoryTime own;      // the time after the process's last step
  };
  struct Stripe {
    std::mutex mutex;
    std::map<DirectoryKey, Dated> dirs;
  };
  Stripe& StripeOf(const DirectoryKey& key) {
    return stripes_[(key.index * 31 + key.device) % kStripes];
  }

  static constexpr std::size_t kStripes = 64;
  Stripe stripes_[kStripes];
};

}  // namespace tabulon

#endif  // TABULON_PLATFORM_DIRECTORY_DATES_H_
