// Names, addresses and descriptions of any bytes must come out as page text
// that adds no markup, and as links that reach their file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "html/text.h"
#include "support/page_check.h"

using tabulon::testing::IsInertText;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  for (const tabulon::TCharset charset :
       {tabulon::cWindows1251, tabulon::cUtf8}) {
    std::string text;
    tabulon::AppendPageText(input, charset, &text);
    FUZZ_CHECK(IsInertText(text));

    std::string link;
    tabulon::AppendLinkName(input, tabulon::kLinkBegins | tabulon::kLinkEnds,
                            charset, &link);
    FUZZ_CHECK(IsInertText(link));
    // Browsers drop blanks at the ends of an address.
    FUZZ_CHECK(!link.starts_with(' ') && !link.ends_with(' '));
    for (std::size_t i = 0; i < link.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(link[i]);
      // A character reference stands for one character of the address.
      if (c == '&') {
        i = link.find(';', i);
        continue;
      }
      // A browser cuts a link at # or ?, drops controls, reads %XX, and takes
      // what comes before a ":" as a scheme.
      FUZZ_CHECK(c >= 0x20 && c != 0x7F && c != '#' && c != '?' && c != ':' &&
                 c != '\\');
      if (c == '%') {
        FUZZ_CHECK(i + 2 < link.size() && std::isxdigit(link[i + 1]) &&
                   std::isxdigit(link[i + 2]));
      }
    }

    std::string url;
    tabulon::AppendUrl(input, charset, &url);
    FUZZ_CHECK(IsInertText(url));
    FUZZ_CHECK(url.find('\\') == std::string::npos);

    for (tabulon::TCode code :
         {tabulon::tAlt, tabulon::tWin, tabulon::tKoi, tabulon::tUtf8}) {
      std::string description;
      tabulon::AppendDescription(input, code, charset, &description);
      FUZZ_CHECK(IsInertText(description));
    }
  }
  return 0;
}
