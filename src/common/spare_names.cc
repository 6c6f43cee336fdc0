#include "common/spare_names.h"

#include <utility>

#include "common/per_thread.h"

namespace tabulon {

#if TABULON_KEEP_PER_THREAD

namespace {

// Enough for the directories of most trees; a directory larger than this
// gives back only so many.
constexpr std::size_t kKept = 1024;
// A string of this capacity holds its text in itself: nothing to keep.
const std::size_t kInPlace = std::string().capacity();

thread_local std::vector<std::string> t_names;

}  // namespace

void AssignName(std::string_view text, std::string* name) {
  std::vector<std::string>& spare = t_names;
  if (text.size() > kInPlace && !spare.empty() &&
      name->capacity() <= kInPlace) {
    *name = std::move(spare.back());
    spare.pop_back();
  }
  name->assign(text);
}

void KeepNames(std::vector<SearchEntry>* entries) {
  std::vector<std::string>& spare = t_names;
  if (spare.capacity() == 0) spare.reserve(kKept);
  for (SearchEntry& entry : *entries) {
    if (spare.size() == kKept) break;
    if (entry.Name.capacity() > kInPlace) {
      spare.push_back(std::move(entry.Name));
    }
  }
}

#else  // nothing is kept per thread

void AssignName(std::string_view text, std::string* name) {
  name->assign(text);
}

void KeepNames(std::vector<SearchEntry>*) {}

#endif

}  // namespace tabulon
