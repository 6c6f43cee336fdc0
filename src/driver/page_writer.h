#ifndef TABULON_DRIVER_PAGE_WRITER_H_
#define TABULON_DRIVER_PAGE_WRITER_H_

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "platform/platform.h"

namespace tabulon {

// A page being written over the file `name` of a directory. Its bytes are
// first compared with the page on disk, and a new page is only made once
// they differ: a page that comes out the same leaves the file, and the
// directory, untouched. Without a readable page on disk (none, a link, a
// failure) the new page is made at once, as it is when the caller knows
// there is none (`may_exist` false). Memory stays within a few blocks
// whatever the page's size.
class PageWriter {
 public:
  PageWriter(Directory& dir, std::string name, bool may_exist = true);
  ~PageWriter();
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;

  // Appends bytes to the page.
  void Write(std::string_view bytes);
  // The same, keeping the string until its bytes are written rather than
  // copying them (the rows of a directory, among many others).
  void Write(std::string&& bytes);

  struct Outcome {
    Status status;         // the first failure, if any
    bool created = false;  // whether a new page could be created
    bool unchanged = false;
  };
  // Whether the page could be created so far; false after a failure to
  // create it, which no later call changes.
  bool creatable() const { return status_.ok() || created_; }
  // Writes the rest and replaces the page, or keeps the one on disk when it
  // is the same. Called once.
  Outcome Close();

 private:
  void Flush();
  // Compares or writes `pieces`, which follow what went before.
  void Put(std::span<const std::string_view> pieces);
  // The bytes differ from the page on disk: make the new page, holding the
  // bytes found equal so far.
  void Diverge();
  void Create();

  Directory& dir_;
  std::string name_;
  std::unique_ptr<InputFile> old_;  // while the bytes are still the same
  std::unique_ptr<OutputFile> out_;
  // Bytes not yet compared or written, in order: strings taken whole, and
  // copied bytes gathered at the end of the last one when it is ours.
  std::vector<std::string> pending_;
  std::size_t pending_bytes_ = 0;
  bool last_is_ours_ = false;
  std::string compared_;
  std::uint64_t matched_ = 0;  // bytes found equal to the page on disk
  Status status_;
  bool created_ = false;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_PAGE_WRITER_H_
