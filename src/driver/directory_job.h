#ifndef TABULON_DRIVER_DIRECTORY_JOB_H_
#define TABULON_DRIVER_DIRECTORY_JOB_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "descriptions/description_list.h"
#include "descriptions/descriptions.h"
#include "driver/exclusion.h"
#include "driver/page_sink.h"
#include "driver/place.h"
#include "driver/work_pool.h"
#include "platform/platform.h"

namespace tabulon {

// What the jobs of one run share; read only while they run.
struct JobSettings {
  TMode RunMode = mList;
  // Whether a file's link begins with the base address and the relative
  // directory (one page for the tree, or a base address given); otherwise
  // links are relative to the directory's own page.
  bool prefixed_links = true;
  DescriptionList::FreeMemoryFn free_memory;
  // Entries left out; nullptr or empty for none.
  const Exclusions* exclusions = nullptr;
  PageSink* sink = nullptr;
  // Whether FILES.JSON entries are made beside the rows, and the ASCII
  // base address their file links begin with where rows are prefixed.
  bool json = false;
  std::string json_url;
  // Processors the run may use, as the platform counts them.
  int processors = 2;
  // Names handed over at once while a large directory is read, so that the
  // first ones get their details while the rest are read: a vector of 4,096
  // entries is large enough to be reused for rows once freed. The first
  // batch is smaller, so that a large directory shows itself soon (its
  // FILES.BBS is read from then on, beside the rest of its names).
  std::size_t first_names_batch = 512;
  std::size_t names_batch = 4096;
  TCharset charset = cWindows1251;
};

// Reads one directory, open as `dir`, that lies at `place`: its names in
// name order, their details, its description file; makes its rows (handed
// to the sink as made where it takes them so, else to its Finish), and
// returns the rows not handed on with the totals, the reports and the
// subdirectories to walk. Shares no mutable state with other jobs;
// the pieces of a large directory go through `runner`, relying on nothing
// but its contract. What the job holds
// besides its result goes with the job, so that the result can be handed
// on before that is freed.
class DirectoryJob {
 public:
  DirectoryJob(Directory& dir, const Place& place, const JobSettings& settings,
               PieceRunner& runner);
  ~DirectoryJob();
  DirectoryJob(const DirectoryJob&) = delete;
  DirectoryJob& operator=(const DirectoryJob&) = delete;

  // Called once. Throws std::bad_alloc when memory runs out. A directory
  // read short of room hands no rows on as made: it may be read again.
  DirectoryResult Complete();

 private:
  // The names, but those beginning with a dot (never a row, never walked)
  // and those excluded; which of them is the description file. Meanwhile
  // helpers read FILES.BBS, if there is one, and fill in the details of
  // the entries read so far. Returns how many entries, from the first,
  // have their details.
  std::size_t ReadNames();
  // Of the entries read, `detailed` of them (from the first) with their
  // details, keeps those that get a row or are walked; returns how many of
  // the kept have their details.
  std::size_t SelectEntries(const Status& listed, std::size_t detailed);
  // The details of the entries from `detailed` on, their name order and
  // the descriptions: all three only read the names, so they run at once,
  // the details in pieces.
  void ReadDetails(std::size_t detailed);
  // What every piece of rows reads: the contexts of rows and FILES.JSON
  // entries, the run's own files, the totals by piece.
  struct RowsShared;
  void ReadyRows(RowsShared* shared) const;
  // The rows in name order, and the totals of the files among them.
  void MakeRows();
  // Makes the rows of piece `piece` (of kRowsPiece entries in name order)
  // into result_, and their totals into `shared`; on any thread.
  void MakeRowPiece(RowsShared& shared, std::size_t piece);
  // Hands the rows of `piece` on to the sink and frees them.
  void HandOnRows(std::size_t piece);
  // Makes the `count` pieces of rows and hands each on in order, on any
  // thread; where memory runs out with pieces handed on, makes the rest on
  // this thread alone. Throws std::bad_alloc when even that fails.
  void MakeRowsInOrder(std::size_t count,
                       const std::function<void(std::size_t)>& make,
                       const std::function<void(std::size_t)>& hand_on);
  // Whether the directory is large enough for its work to go in pieces to
  // other threads.
  bool in_pieces() const;
  // The subdirectories to walk, in name order: links to directories are
  // listed but never entered.
  void ListSubdirectories();

  Directory& dir_;
  const Place& place_;
  const JobSettings& settings_;
  PieceRunner& runner_;
  std::vector<SearchEntry> entries_;
  std::string description_name_;
  std::vector<std::uint32_t> order_;  // of entries_
  DirectoryDescriptions descriptions_;
  Status description_read_;
  bool loaded_ = false;      // descriptions_ read already
  bool unreadable_ = false;  // told already that it can't be read whole
  DirectoryResult result_;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_DIRECTORY_JOB_H_
