#ifndef TABULON_DESCRIPTIONS_LOADER_H_
#define TABULON_DESCRIPTIONS_LOADER_H_

#include <string_view>

#include "descriptions/description_list.h"

namespace tabulon {

// Reads the bytes of a description file into `list`, record by record in
// file order, until the file ends, a Ctrl-Z is met or the list refuses a
// record; then decides the list's Code from the letters counted.
void LoadDescriptions(std::string_view file, DescriptionList* list);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_LOADER_H_
