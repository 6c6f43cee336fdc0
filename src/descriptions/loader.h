#ifndef TABULON_DESCRIPTIONS_LOADER_H_
#define TABULON_DESCRIPTIONS_LOADER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "descriptions/description_file.h"
#include "descriptions/description_list.h"

namespace tabulon {

// Reads the bytes of a description file into `list`, record by record in
// file order, until the file ends, a Ctrl-Z is met or the list refuses a
// record. Code is tUtf8 when IsUtf8Text holds, else decided from the letters
// counted in what was read.
void LoadDescriptions(std::string_view file, DescriptionList* list);

// Whether the bytes before the first Ctrl-Z that are above 0x7F all form
// strict UTF-8 and hold at least one character beyond ASCII.
bool IsUtf8Text(std::string_view bytes);

// Reads one record: a first line with its first word's a-z raised and runs
// of blanks collapsed from `indent` on, plus the continuation lines (those
// beginning with `indent` blanks or TABs), trimmed and joined by one blank,
// cut at 255 bytes (in a UTF-8 file before a character the cut would
// split). Leaves the line that ends the record unread. Requires
// !file->AtEnd() and indent >= 1; the result holds 1 to 255 bytes.
std::string ReadDescriptionRecord(DescriptionFile* file, int indent);

// Whether a record beginning with `byte` may take continuation lines ("-",
// ":" and "\" are in the set but still take none).
bool IsFileNameChar(std::uint8_t byte);

// `n` blanks.
std::string Blanks(int n);

// `s` with every run of blanks from the 1-based position `from` on cut to
// one blank; what lies before `from` is kept as it is.
std::string CollapseBlanks(std::string_view s, int from);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_LOADER_H_
