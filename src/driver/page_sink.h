#ifndef TABULON_DRIVER_PAGE_SINK_H_
#define TABULON_DRIVER_PAGE_SINK_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "driver/page_writer.h"
#include "driver/place.h"
#include "driver/reporter.h"
#include "platform/platform.h"

namespace tabulon {

// What reading one directory gives the walk.
struct DirectoryResult {
  // Page bytes of the directory's rows, in order, in pieces.
  std::vector<std::string> rows;
  // With FILES.JSON, its entries for the same rows, in as many pieces.
  std::vector<std::string> json;
  Totals totals;  // of the files that got a row
  // What failed, in the order a reader of the run expects the reports.
  std::vector<Status> reports;
  // The subdirectories to walk, in name order.
  std::vector<std::string> subdirectories;
  // Files seen (dot names aside), for the progress line.
  std::int64_t files = 0;
  // Whether the directory may hold a page already: false only when it was
  // listed whole and no entry is named like one.
  bool may_have_page = true;
  // The same for FILES.JSON.
  bool may_have_json = true;
  // Something failed for lack of room (open files, memory), which fewer
  // directories read at once may not meet.
  bool short_of_room = false;
  // Whether the directory's own page was replaced, or left as it was.
  bool page_written = false;
  bool page_unchanged = false;
};

// Where the rows of the walk go: one page for the run, or a page per
// directory. The walk does not know which.
// Threads: which call runs on which thread is drawn in driver/work_pool.h.
// Rows taken as made from the start directory alone never meet a Take:
// every Take comes after the start directory's Finish.
class PageSink {
 public:
  virtual ~PageSink() = default;
  // Once the directory at `place` (open as `dir`) has its rows: a sink
  // with a page per directory writes the page here and adds to
  // result->reports what failed.
  virtual void Finish(Directory& dir, const Place& place,
                      DirectoryResult* result) = 0;
  // Each result once, after its Finish.
  virtual void Take(DirectoryResult* result) = 0;
  // Whether the rows of the directory at `place` go to the sink as they
  // are made, through TakeRows, rather than in its result: for rows that
  // nothing else can come before, so that a large directory's rows need
  // not be held until the walk takes them.
  virtual bool TakesRowsAsMade(const Place& /*place*/) const { return false; }
  // That directory's rows, each piece with its FILES.JSON entries (empty
  // without).
  virtual void TakeRows(std::string_view /*rows*/, std::string_view /*json*/) {}
};

// One FILES.HTM in the start directory that lists the whole tree.
class ListPage final : public PageSink {
 public:
  // Starts the page, in `charset`, in `root`, whose native path is
  // `from_dir`, and with `json` its FILES.JSON.
  ListPage(Platform& platform, Directory& root, const std::string& from_dir,
           char separator, TCharset charset, bool json = false);
  // False when the page could be neither compared with nor created: the
  // walk has nothing to write then (see the report of Close).
  bool creatable() const { return page_.creatable(); }
  void Finish(Directory&, const Place&, DirectoryResult*) override {}
  void Take(DirectoryResult* result) override;
  // The start directory's rows come first, right after the head.
  bool TakesRowsAsMade(const Place& place) const override {
    return place.IsStart();
  }
  void TakeRows(std::string_view rows, std::string_view json) override;
  // Writes the foot and replaces the page, then FILES.JSON; what failed, if
  // anything, in that order.
  std::vector<Status> Close();
  // After Close: written() is 1 when the page was replaced, unchanged() 1
  // when it was left as it was; else 0.
  std::int64_t written() const { return written_; }
  std::int64_t unchanged() const { return unchanged_; }
  // The files and bytes the page lists.
  const Totals& totals() const { return totals_; }

 private:
  Platform& platform_;
  std::string listing_;  // the page's native path, for reports
  PageWriter page_;
  Totals totals_;
  std::unique_ptr<PageWriter> json_;  // with FILES.JSON only
  bool first_entry_ = true;
  std::int64_t written_ = 0;
  std::int64_t unchanged_ = 0;
};

// A FILES.HTM in every directory, listing its own entries; each is written
// by Finish.
class TreePages final : public PageSink {
 public:
  // Pages in `charset`; with `json`, a FILES.JSON beside each page.
  TreePages(Platform& platform, TCharset charset, bool json = false)
      : platform_(platform), charset_(charset), json_(json) {}
  void Finish(Directory& dir, const Place& place,
              DirectoryResult* result) override;
  void Take(DirectoryResult* result) override;
  // Once the walk is done: the pages replaced, and left as they were.
  std::int64_t written() const { return written_; }
  std::int64_t unchanged() const { return unchanged_; }
  // The files and bytes of every page.
  const Totals& totals() const { return totals_; }

 private:
  Platform& platform_;
  TCharset charset_;
  bool json_;
  // Added up by Take, on the walk's thread, from each directory's last
  // attempt (one short of room is made again).
  std::int64_t written_ = 0;
  std::int64_t unchanged_ = 0;
  Totals totals_;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_PAGE_SINK_H_
