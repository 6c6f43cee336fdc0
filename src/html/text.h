#ifndef TABULON_HTML_TEXT_H_
#define TABULON_HTML_TEXT_H_

#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// Converting text taken from data into page bytes of `charset`, with HTML
// escaping: & < > " always become entities, so no name or description can
// add markup.
// - cWindows1251: a character of code page 866 is written as AltToWin gives
//   its byte, another that windows-1251 has as that byte, any other as
//   "&#N;".
// - cUtf8: every character is written as itself.

// Native text (a name, a title): UTF-8, where a byte that is not part of
// valid UTF-8 is taken as a code page 866 byte. A character that hides or
// reorders text (HidesOrReorders) is shown as the mark "<U+XXXX>", so that
// no name reads as another.
void AppendPageText(std::string_view native, TCharset charset,
                    std::string* out);

// Whether AppendPageText shows a mark for `native`.
bool ShowsMarks(std::string_view native);

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
// scheme from the name. In windows-1251 a character shown as a look-alike
// is written as the %XX of its UTF-8 bytes. A blank is written %20 where it
// is the first character of the link (kLinkBegins in `edges`) or the last
// (kLinkEnds); other blanks stay.
void AppendLinkName(std::string_view native, unsigned edges, TCharset charset,
                    std::string* out);

// The base address typed by the user: as AppendPageText, never
// percent-encoded, with each backslash turned into "/".
void AppendUrl(std::string_view url, TCharset charset, std::string* out);

// A description in its file's code page, with HTML escaping. windows-1251:
// through that code page's table (none for windows-1251), a tUtf8 one like
// native text. UTF-8: decoded with the whole code page (AppendUtf8Of).
void AppendDescription(std::string_view text, TCode code, TCharset charset,
                       std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_TEXT_H_
