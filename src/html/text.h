#ifndef TABULON_HTML_TEXT_H_
#define TABULON_HTML_TEXT_H_

#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// Converting text taken from data into page bytes (windows-1251 with HTML
// escaping). A character of code page 866 is written as AltToWin gives its
// byte, another that windows-1251 has as that byte, any other as "&#N;".
// & < > " always become entities, so no name or description can add markup.

// Native text (a name, a title): UTF-8, where a byte that is not part of
// valid UTF-8 is taken as a code page 866 byte.
void AppendPageText(std::string_view native, std::string* out);

// Where a name stands in its link. Browsers drop blanks at either end of an
// address, so a blank that begins or ends the link must be encoded.
enum LinkEdge : unsigned {
  kLinkInside = 0,
  kLinkBegins = 1,  // nothing comes before the name in its link
  kLinkEnds = 2,    // nothing comes after it
};

// A name in the name-built part of a link: as AppendPageText, and also
// % # ? : \ and control characters are written %XX, as is every byte that
// is not valid UTF-8, so that the link reaches the file and never takes a
// scheme from the name. A blank is written %20 where it is the first
// character of the link (kLinkBegins in `edges`) or the last (kLinkEnds);
// other blanks stay.
void AppendLinkName(std::string_view native, unsigned edges, std::string* out);

// The base address typed by the user: as AppendPageText, never
// percent-encoded, with each backslash turned into "/".
void AppendUrl(std::string_view url, std::string* out);

// A description in its file's code page: through that code page's table
// (none for windows-1251), with HTML escaping. A tUtf8 description is
// converted like native text (AppendPageText).
void AppendDescription(std::string_view text, TCode code, std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_TEXT_H_
