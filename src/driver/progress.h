#ifndef TABULON_DRIVER_PROGRESS_H_
#define TABULON_DRIVER_PROGRESS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/types.h"
#include "platform/platform.h"

namespace tabulon {

// The progress line for `directories` and `files` counted so far while in
// `path`: at most `columns` terminal columns, the path shortened from the
// left, and every character a terminal would act on shown as "?".
std::string ProgressLine(std::int64_t directories, std::int64_t files,
                         std::string_view path, int columns);

// The line that closes a run on a terminal: the pages replaced and left
// unchanged, the files and bytes listed, and `ms`, the time taken, e.g.
// "12 pages written, 3 unchanged; 10,512 files, 2.1 GiB in 1.4 s".
std::string ClosingLine(std::int64_t written, std::int64_t unchanged,
                        const Totals& totals, std::uint64_t ms);

// One self-overwriting line on standard error while the walk runs, only when
// standard error is a terminal; otherwise it writes nothing at all.
class Progress {
 public:
  // The least time between two redraws.
  static constexpr std::uint64_t kIntervalMs = 100;

  // With `quiet`, nothing is drawn on a terminal either.
  explicit Progress(Platform& platform, bool quiet = false);
  // Clears the line.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Whether standard error is a terminal, so that anything is drawn.
  bool active() const { return active_; }

  // Counts a directory reached, with the files it holds, and redraws the
  // line when it first gets here and then at most every kIntervalMs.
  void Reached(std::string_view path, std::int64_t files);
  // The same with the path put together only when the line is redrawn: a
  // deep directory's path costs time in proportion to its depth.
  void Reached(const std::function<std::string()>& path, std::int64_t files);

  // Removes the line, so that what comes next on standard error starts on
  // an empty line. Allocates nothing, so it is safe while unwinding.
  void Clear() noexcept;

  // Replaces the line with the ClosingLine of the run, timed from the
  // construction, and a line end.
  void Close(std::int64_t written, std::int64_t unchanged,
             const Totals& totals);

 private:
  Platform& platform_;
  bool active_ = false;
  int columns_ = 0;
  std::int64_t directories_ = 0;
  std::int64_t files_ = 0;
  bool drawn_once_ = false;
  std::uint64_t last_draw_ = 0;
  std::uint64_t start_ = 0;
  // Columns now covered by the line on the screen.
  int shown_ = 0;
  // "\r", blanks for the widest line, "\r": cut to size to clear.
  std::string blanks_;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_PROGRESS_H_
