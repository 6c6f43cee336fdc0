#ifndef TABULON_TESTS_DESCRIPTIONS_REFERENCE_READER_H_
#define TABULON_TESTS_DESCRIPTIONS_REFERENCE_READER_H_

#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

// The records of a FILES.BBS held whole in memory, read the plain way the
// line and record rules are worded: a line at a time, the line that ends a
// record read again as the next one's first. A slow oracle for the
// program's reader, which reads in blocks. `utf8`: the file is read as
// UTF-8 (cuts drop a character they would split). Lines end at LF, unless
// the first line end is a run of CRs not followed by an LF: then at CR.
std::vector<std::string> ReferenceRecords(std::string_view bytes, bool utf8);

}  // namespace tabulon

#endif  // TABULON_TESTS_DESCRIPTIONS_REFERENCE_READER_H_
