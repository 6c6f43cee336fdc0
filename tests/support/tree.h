#ifndef TABULON_TESTS_SUPPORT_TREE_H_
#define TABULON_TESTS_SUPPORT_TREE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon::testing {

// A fresh directory under the system's temporary directory, removed when the
// test passed and kept (with its path printed) when it failed.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  const std::string& root() const { return root_; }
  // root + "/" + relative
  std::string Path(const std::string& relative) const;

  void Dir(const std::string& relative);
  void File(const std::string& relative, const std::string& bytes);
  // A file of `size` bytes that takes no room on disk.
  void Sparse(const std::string& relative, std::int64_t size);
  void Link(const std::string& relative, const std::string& target);
  // Sets the last-write time to noon UTC of the given day.
  void Date(const std::string& relative, int year, int month, int day);
  // Sets the last-write time to `seconds` after 1970-01-01 00:00 UTC.
  void Time(const std::string& relative, std::int64_t seconds);
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // The names in `relative` in the order the system lists them.
  std::vector<std::string> Names(const std::string& relative) const;

 private:
  std::string root_;
};

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_TREE_H_
