#include "driver/own_files.h"

namespace tabulon {
namespace {

// The names of the run's own files, the same in every directory. A name
// written only in the start directory would go here with that condition.
struct OwnName {
  std::string_view name;
  bool any_case;        // ASCII letter case aside
  bool with_json;       // only when FILES.JSON is written
  bool never_excluded;  // a pattern that matches it changes nothing
};
constexpr OwnName kOwnNames[] = {
    {"FILES.BBS", false, false, true},
    {"FILES.HTM", false, false, true},
    {"FILES.JSON", true, true, false},
};

bool Named(std::string_view name, const OwnName& own) {
  if (name.size() != own.name.size()) return false;
  if (!own.any_case) return name == own.name;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != own.name[i]) return false;
  }
  return true;
}

}  // namespace

bool IsOwnFile(const SearchEntry& entry, const OwnFiles& own) {
  if (entry.IsDirectory()) return false;
  const std::string_view name = entry.Name;
  if (!own.description_file.empty() && name == own.description_file) {
    return true;
  }
  for (const OwnName& listed : kOwnNames) {
    if ((own.json || !listed.with_json) && Named(name, listed)) return true;
  }
  return false;
}

bool NeverExcluded(std::string_view name, const OwnFiles& own) {
  if (!own.description_file.empty() && name == own.description_file) {
    return true;
  }
  for (const OwnName& listed : kOwnNames) {
    if (listed.never_excluded && Named(name, listed)) return true;
  }
  return false;
}

}  // namespace tabulon
