#ifndef TABULON_DRIVER_WALK_H_
#define TABULON_DRIVER_WALK_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "driver/exclusion.h"
#include "driver/progress.h"
#include "driver/reporter.h"
#include "platform/platform.h"

namespace tabulon {

// A page being written: bytes gather in memory and go to the file in large
// blocks. A write failure is kept and reported by Close.
class PageWriter {
 public:
  explicit PageWriter(std::unique_ptr<OutputFile> file);
  std::string& buffer() { return buffer_; }
  // Hands the buffer to the file once it is large.
  void Flush(bool always = false);
  // Writes the rest and replaces the page; the first failure, if any.
  Status Close();

 private:
  std::unique_ptr<OutputFile> file_;
  std::string buffer_;
  Status status_;
};

// The last component of `path`: one trailing separator is dropped, then
// everything after the last separator is taken.
std::string DirectoryTitle(std::string_view path, char separator);

// Of a directory's entries, the one that serves as its description file:
// the entry named exactly "FILES.BBS", else the first whose name equals it
// ignoring ASCII case; nullptr when there is none.
const SearchEntry* FindDescriptionFile(const std::vector<SearchEntry>& entries);

struct WalkState {
  Platform& platform;
  const RunSettings& settings;
  Reporter& reporter;
  // In mList the one page of the run; unused in mTree.
  PageWriter* list_page = nullptr;
  Totals totals;
  // Told of every directory reached; may be nullptr.
  Progress* progress = nullptr;
  // The --exclude patterns; nullptr or empty when none were given.
  const Exclusions* exclusions = nullptr;
};

// Lists the directory `root` (whose native path is `path`, ending with the
// separator) and everything below it, depth first, directory before its
// subdirectories, in the order the system gives the entries.
void WalkDirectory(std::unique_ptr<Directory> root, const std::string& path,
                   WalkState* state);

}  // namespace tabulon

#endif  // TABULON_DRIVER_WALK_H_
