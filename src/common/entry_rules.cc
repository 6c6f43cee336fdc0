#include "common/entry_rules.h"

#include "common/name_order.h"

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
    {kFilesBbsName, false, false, true},
    {kPageName, false, false, true},
    {kJsonName, true, true, false},
};

bool Named(std::string_view name, const OwnName& own) {
  return own.any_case ? EqualsIgnoringAsciiCase(name, own.name)
                      : name == own.name;
}

bool IsDescriptionFile(std::string_view name, const OwnFiles& own) {
  return !own.description_file.empty() && name == own.description_file;
}

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

bool IsHidden(std::string_view name) { return name.empty() || name[0] == '.'; }

int DescriptionFileOf(const std::vector<SearchEntry>& entries) {
  int found = -1;
  for (const std::string_view wanted : {kFilesBbsName, kDescriptIonName}) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& name = entries[i].Name;
      if (wanted == kFilesBbsName && name == wanted) {
        return static_cast<int>(i);
      }
      if (EqualsIgnoringAsciiCase(name, wanted) &&
          (found < 0 || NameBefore(name, entries[found].Name))) {
        found = static_cast<int>(i);
      }
    }
    if (found >= 0) return found;
  }
  return found;
}

bool IsFilesBbs(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, kFilesBbsName);
}

bool MayBePage(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, kPageName);
}

bool MayBeJson(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, kJsonName);
}

bool IsOwnFile(const SearchEntry& entry, const OwnFiles& own) {
  if (entry.IsDirectory()) return false;
  if (IsDescriptionFile(entry.Name, own)) return true;
  for (const OwnName& listed : kOwnNames) {
    if ((own.json || !listed.with_json) && Named(entry.Name, listed)) {
      return true;
    }
  }
  return false;
}

bool NeverExcluded(std::string_view name, const OwnFiles& own) {
  if (IsDescriptionFile(name, own)) return true;
  for (const OwnName& listed : kOwnNames) {
    if (listed.never_excluded && Named(name, listed)) return true;
  }
  return false;
}

bool ModeLists(const SearchEntry& entry, TMode mode) {
  return !entry.IsDirectory() || mode == mTree;
}

bool GetsRow(const SearchEntry& entry, const OwnFiles& own, TMode mode) {
  return !entry.Gone && !IsHidden(entry.Name) && !IsOwnFile(entry, own) &&
         ModeLists(entry, mode);
}

}  // namespace tabulon
