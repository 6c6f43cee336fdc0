#ifndef TABULON_COMMON_SPARE_NAMES_H_
#define TABULON_COMMON_SPARE_NAMES_H_

#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace tabulon {

// The names of a directory's entries, kept by the thread that read them for
// the next directory it reads: most names are longer than a string holds
// without memory of its own, and a tree of a million files made the
// allocator give and take a million small blocks on several threads at
// once, which cost more than reading the names.

// Sets *name to `text`, in a string the calling thread kept if it has one.
void AssignName(std::string_view text, std::string* name);

// Keeps the names of `entries` for the calling thread (a thousand or so at
// most; the rest are freed with the entries). Never throws: short of
// memory it keeps none.
void KeepNames(std::vector<SearchEntry>* entries);

}  // namespace tabulon

#endif  // TABULON_COMMON_SPARE_NAMES_H_
