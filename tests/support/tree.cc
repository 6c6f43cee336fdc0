#include "support/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/page_check.h"

namespace tabulon::testing {

TempTree::TempTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tabulon-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  root_ = pattern;
}

namespace {

// Every page a test leaves behind must parse with none of the names or
// descriptions turned into markup. A file that does not begin like a page
// is a test's own stand-in for an earlier one.
void CheckPagesIn(const std::string& root) {
  const std::vector<std::string> pages = PagesIn(root);
  const std::string report = CheckPages(pages);
  if (!report.empty()) ADD_FAILURE() << "a page left in " << root << " is malformed:\n" << report;
}

}  // namespace

TempTree::~TempTree() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info != nullptr && !info->result()->Failed()) CheckPagesIn(root_);
  if (info != nullptr && info->result()->Failed()) {
    std::fprintf(stderr, "kept the test tree at %s\n", root_.c_str());
    return;
  }
  std::error_code ignored;
  // Restore permissions a test may have taken away, then remove.
  for (auto it = std::filesystem::recursive_directory_iterator(
           root_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      chmod(it->path().c_str(), 0700);
    }
  }
  chmod(root_.c_str(), 0700);
  std::filesystem::remove_all(root_, ignored);
}

std::string TempTree::Path(const std::string& relative) const {
  return relative.empty() ? root_ : root_ + "/" + relative;
}

void TempTree::Dir(const std::string& relative) {
  std::filesystem::create_directories(Path(relative));
}

void TempTree::File(const std::string& relative, const std::string& bytes) {
  std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) ADD_FAILURE() << "cannot write " << Path(relative);
}

void TempTree::Sparse(const std::string& relative, std::int64_t size) {
  File(relative, "");
  if (truncate(Path(relative).c_str(), size) != 0) {
    ADD_FAILURE() << "cannot size " << Path(relative);
  }
}

void TempTree::Link(const std::string& relative, const std::string& target) {
  if (symlink(target.c_str(), Path(relative).c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << Path(relative);
  }
}

void TempTree::Date(const std::string& relative, int year, int month, int day) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = 12;
  Time(relative, timegm(&parts));
}

void TempTree::Time(const std::string& relative, std::int64_t seconds) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, Path(relative).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    ADD_FAILURE() << "cannot date " << Path(relative);
  }
}

std::string TempTree::Read(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool TempTree::Exists(const std::string& relative) const {
  struct stat st;
  return lstat(Path(relative).c_str(), &st) == 0;
}

std::vector<std::string> TempTree::Names(const std::string& relative) const {
  std::vector<std::string> names;
  DIR* dir = opendir(Path(relative).c_str());
  if (dir == nullptr) return names;
  while (const dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

}  // namespace tabulon::testing
