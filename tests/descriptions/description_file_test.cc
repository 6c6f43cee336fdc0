#include "descriptions/description_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tabulon {
namespace {

std::vector<std::string> ReadAllLines(const std::string& bytes) {
  DescriptionFile file(bytes);
  std::vector<std::string> lines;
  std::string line;
  while (!file.AtEnd()) {
    file.ReadLine(&line);
    lines.push_back(line);
  }
  return lines;
}

TEST(DescriptionFileTest, SplitsLinesAsTheByteRulesSay) {
  const std::string x200(200, 'x');
  const std::string y60(60, 'y');
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
  } kCases[] = {
      {"empty file", "", {}},
      {"LF, CR LF and a last line without end", "a\nb\r\nc", {"a", "b", "c"}},
      {"empty lines", "\n\r\n\n", {"", "", ""}},
      {"control bytes and TABs kept", "a\tb\x01\x7F\n", {"a\tb\x01\x7F"}},
      {"CR alone does not end the taking", "ab\rcd\r", {"abcd"}},
      {"CR CR LF is one line end", "a\r\r\nb", {"a", "b"}},
      {"CR-only file comes in pieces of 255 counted bytes",
       x200 + "\r" + y60 + "\rzz\r",
       {x200 + std::string(54, 'y'), "zz"}},
      {"300-byte line keeps 255, drops the rest",
       std::string(255, 'a') + std::string(45, 'b') + "\nnext",
       {std::string(255, 'a'), "next"}},
      {"CR as the 255th byte, then LF",
       std::string(254, 'a') + "\r\nb",
       {std::string(254, 'a'), "b"}},
      {"255 bytes, then CR LF",
       std::string(255, 'a') + "\r\nb",
       {std::string(255, 'a'), "b"}},
      {"nothing read from Ctrl-Z on",
       "a\nb\x1A"
       "c\nd\n",
       {"a", "b"}},
      {"Ctrl-Z first",
       "\x1A"
       "a\n",
       {}},
      {"Ctrl-Z while skipping a long line's rest",
       std::string(256, 'a') + "\x1A\nb",
       {std::string(255, 'a')}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ReadAllLines(c.bytes), c.lines) << c.what;
  }
}

}  // namespace
}  // namespace tabulon
