#ifndef TABULON_DESCRIPTIONS_FILES_BBS_H_
#define TABULON_DESCRIPTIONS_FILES_BBS_H_

#include "common/byte_source.h"
#include "common/status.h"
#include "descriptions/description_list.h"

namespace tabulon {

// Reads a FILES.BBS from `file`, a block at a time, into `list`: record by
// record in file order until the file ends, a Ctrl-Z is met or the list
// refuses a record. A UTF-8 byte order mark is dropped; a UTF-16 one makes
// the file UTF-16, read as its UTF-8 form. Code is tUtf8 for such a file
// and for one whose bytes are strict UTF-8 with a character beyond ASCII,
// else decided from the letters of what was read, the refused record
// included. Returns the read failure that ended the reading, if any: the
// records read before it stay and Code is set all the same.
Status LoadFilesBbs(ByteSource& file, DescriptionList* list);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_FILES_BBS_H_
