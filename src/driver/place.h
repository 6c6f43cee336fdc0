#ifndef TABULON_DRIVER_PLACE_H_
#define TABULON_DRIVER_PLACE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace tabulon {

// Where a directory of the walk lies: the start directory, or a name below
// the place of its parent. A place costs one name however deep it lies; its
// path and links are put together only when asked for, so a chain of any
// depth is walked in time linear in its depth. Immutable, so shared between
// threads freely.
class Place {
 public:
  // The start directory: its native path (ending with `separator`), the
  // page bytes that begin every prefixed link (the converted base address)
  // and the charset of the pages the links go into.
  static std::shared_ptr<const Place> Start(std::string path, char separator,
                                            std::string link, TCharset charset);
  // The subdirectory `name` of `parent`.
  static std::shared_ptr<const Place> Below(std::shared_ptr<const Place> parent,
                                            std::string name);
  ~Place();
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;

  bool IsStart() const { return parent_ == nullptr; }
  // The place of the directory this one lies in; nullptr for the start.
  const std::shared_ptr<const Place>& parent() const { return parent_; }
  // How many names below the start directory it lies.
  std::size_t depth() const { return depth_; }
  // The directory's own name; for the start directory its path.
  const std::string& name() const { return name_; }
  // The native path, ending with the separator.
  std::string Path() const;
  // The page title: the last component of the path.
  std::string Title() const;
  // The path below the start directory with "/" between the names and after
  // the last one; empty for the start directory.
  std::string Relative() const;
  // The names from the start directory down to this one (none for the
  // start directory itself).
  std::vector<std::string_view> Names() const;
  // The page bytes before a file's name in a prefixed link: the converted
  // base address, then each name converted for a link and followed by "/".
  std::string Link() const;

 private:
  Place() = default;
  // From the start directory down, this one last.
  std::vector<const Place*> Chain() const;

  std::shared_ptr<const Place> parent_;
  std::string name_;
  std::size_t depth_ = 0;
  // Of the start directory only.
  char separator_ = '/';
  std::string link_;
  TCharset charset_ = cWindows1251;
};

}  // namespace tabulon

#endif  // TABULON_DRIVER_PLACE_H_
