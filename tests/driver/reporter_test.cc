#include "driver/reporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tabulon {
namespace {

std::string PathShown(const std::string& path) {
  const std::string line =
      ReportLine(Status::Failed("why").At("cannot read directory", path));
  const std::string head = "tabulon: cannot read directory '";
  const std::string tail = "': why\n";
  if (!line.starts_with(head) || !line.ends_with(tail)) return "<" + line + ">";
  return line.substr(head.size(), line.size() - head.size() - tail.size());
}

TEST(ReporterTest, EverySingleByte) {
  // Alone, a byte above 0x7F is no UTF-8: an 8-bit terminal takes it as
  // it is, and acts on 0x80-0x9F as it does on C0 controls.
  for (int b = 0; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    std::string shown = in;
    if (b < 0x20 || (b >= 0x7F && b <= 0x9F)) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      shown = hex;
    }
    EXPECT_EQ(PathShown("a" + in + "b"), "a" + shown + "b") << b;
  }
}

TEST(ReporterTest, CharactersThatSteerTheTerminalAreWrittenAsBytes) {
  const struct {
    const char* what;
    std::string path;
    std::string shown;
  } kCases[] = {
      {"plain path", "/srv/ftp/a b/", "/srv/ftp/a b/"},
      {"forged line", "x\n' tabulon: ok\r", "x\\x0A' tabulon: ok\\x0D"},
      {"escape sequence", "\x1B[2J\x1B]0;t\x07", "\\x1B[2J\\x1B]0;t\\x07"},
      {"Russian and Japanese letters stay",
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82/\xE6\x97\xA5",
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82/\xE6\x97\xA5"},
      {"C1 controls in UTF-8", "\xC2\x80/\xC2\x9B/\xC2\x9F",
       "\\xC2\\x80/\\xC2\\x9B/\\xC2\\x9F"},
      {"no-break space stays", "\xC2\xA0/", "\xC2\xA0/"},
      {"left-to-right and right-to-left marks", "\xE2\x80\x8E\xE2\x80\x8F",
       "\\xE2\\x80\\x8E\\xE2\\x80\\x8F"},
      {"embeddings and overrides",
       "\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE",
       "\\xE2\\x80\\xAA\\xE2\\x80\\xAB\\xE2\\x80\\xAC\\xE2\\x80\\xAD"
       "\\xE2\\x80\\xAE"},
      {"isolates", "\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9",
       "\\xE2\\x81\\xA6\\xE2\\x81\\xA7\\xE2\\x81\\xA8\\xE2\\x81\\xA9"},
      {"the Arabic letter mark", "a\xD8\x9C.txt", "a\\xD8\\x9C.txt"},
      {"zero-width characters, word joiner, byte order mark, soft hyphen",
       "\xE2\x80\x8B\xE2\x80\x8C\xE2\x80\x8D\xE2\x81\xA0\xEF\xBB\xBF\xC2\xAD",
       "\\xE2\\x80\\x8B\\xE2\\x80\\x8C\\xE2\\x80\\x8D\\xE2\\x81\\xA0"
       "\\xEF\\xBB\\xBF\\xC2\\xAD"},
      {"their neighbours stay",
       "\xE2\x80\x8A\xE2\x80\x90\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA1\xE2\x81"
       "\xA5\xE2\x81\xAA\xD8\x9B\xC2\xAC\xEF\xBB\xBE",
       "\xE2\x80\x8A\xE2\x80\x90\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA1\xE2\x81"
       "\xA5\xE2\x81\xAA\xD8\x9B\xC2\xAC\xEF\xBB\xBE"},
      {"a cut sequence, whose last byte alone is a C1 control", "\xE2\x80",
       "\xE2\\x80"},
      {"an overlong form is no character", "\xC0\x9B", "\xC0\\x9B"},
      {"other bytes that are not UTF-8 stay", "\xFF\xA0\xC2", "\xFF\xA0\xC2"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(PathShown(c.path), c.shown) << c.what;
  }
}

TEST(ReporterTest, OnlyThePathIsEscaped) {
  EXPECT_EQ(ReportLine(Status::Failed("No space left on device")
                           .At("cannot write listing", "/a\tb/FILES.HTM")),
            "tabulon: cannot write listing '/a\\x09b/FILES.HTM': No space left "
            "on device\n");
}

}  // namespace
}  // namespace tabulon
