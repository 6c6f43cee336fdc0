#include "common/spare_names.h"

#include <new>
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

// The names a thread keeps.
using Spare = KeptPerThread<std::vector<std::string>>;
[[maybe_unused]] const bool kSpareReadied = AddPerThreadReady(&Spare::Ready);

}  // namespace

void AssignName(std::string_view text, std::string* name) {
  Spare kept;
  std::vector<std::string>& spare = *kept;
  if (text.size() > kInPlace && !spare.empty() &&
      name->capacity() <= kInPlace) {
    *name = std::move(spare.back());
    spare.pop_back();
  }
  name->assign(text);
}

void KeepNames(std::vector<SearchEntry>* entries) {
  Spare kept;
  std::vector<std::string>& spare = *kept;
  if (spare.capacity() == 0) {
    // Keeping is only a saving, and a job's end can't fail: short of
    // memory, nothing is kept.
    try {
      spare.reserve(kKept);
    } catch (const std::bad_alloc&) {
      return;
    }
  }
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
