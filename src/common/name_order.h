#ifndef TABULON_COMMON_NAME_ORDER_H_
#define TABULON_COMMON_NAME_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/types.h"
#include "common/unicode_upper.h"

namespace tabulon {

// The character at name[*pos] of a native name, moving *pos past it: a
// valid UTF-8 sequence gives its character, any other byte the character
// code page 866 gives that byte, as the page shows it. *pos < name.size().
char32_t NameCharacter(std::string_view name, std::size_t* pos);

// The order of names within a directory, the same on every platform and
// file system: the names' UTF-16 code units, each raised by UpperOf
// (surrogates stay, so a character outside the BMP comes before U+E000),
// compared as unsigned numbers, a prefix first; names equal so far compare
// by their bytes. A strict total order on distinct names.
bool NameBefore(std::string_view a, std::string_view b);

// The indices 0..count-1 of `entries` in NameBefore order of their Name.
// Reads nothing but Name, so other threads may fill in the other fields
// meanwhile.
std::vector<std::uint32_t> NameOrder(const SearchEntry* entries,
                                     std::size_t count);

}  // namespace tabulon

#endif  // TABULON_COMMON_NAME_ORDER_H_
