#ifndef TABULON_DESCRIPTIONS_LOOKUP_H_
#define TABULON_DESCRIPTIONS_LOOKUP_H_

#include <optional>
#include <string_view>

#include "descriptions/description_list.h"

namespace tabulon {

// Answers, for every entry of one directory, which record of its
// description list describes it. Built once per directory; the list must
// outlive it.
class DescriptionLookup {
 public:
  explicit DescriptionLookup(const DescriptionList& list);

  // The description of the entry `name` (native text, UTF-8 or, on POSIX,
  // any bytes): the rest of the first record in file order that begins with
  // the name written in the list's code page, letter case aside, trimmed of
  // bytes 0x20 and below at both ends. Still in the list's code page.
  // nullopt when no record describes the entry.
  std::optional<std::string_view> DescriptionOf(std::string_view name) const;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_LOOKUP_H_
