#include "driver/command_line.h"

#include <gtest/gtest.h>

namespace tabulon {
namespace {

struct SplitCase {
  std::string line;
  std::vector<std::string> parameters;  // after the program's name
};

class CommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineTest, SplitsLikeTheSystemHandsItOver) {
  const SplitCase& c = GetParam();
  const int n = static_cast<int>(c.parameters.size());
  EXPECT_EQ(ParameterCount(c.line), n);
  for (int k = 1; k <= n; ++k) EXPECT_EQ(Parameter(c.line, k), c.parameters[k - 1]);
  EXPECT_EQ(Parameter(c.line, n + 1), "");
  CommandLine whole;
  whole.one_string = true;
  whole.line = c.line;
  EXPECT_EQ(ParametersOf(whole), c.parameters);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTest,
    ::testing::Values(
        SplitCase{"", {}},
        SplitCase{"tabulon", {}},
        SplitCase{"tabulon D:\\ftp", {"D:\\ftp"}},
        SplitCase{"tabulon   D:\\ftp\\  /pub/files/ ", {"D:\\ftp\\", "/pub/files/"}},
        SplitCase{"tabulon \"D:\\My Files\"", {"D:\\My Files"}},
        // A backslash before the closing quote is an ordinary character.
        SplitCase{"tabulon \"D:\\My Files\\\" x", {"D:\\My Files\\", "x"}},
        // An empty quoted pair is skipped like a blank.
        SplitCase{"tabulon \"\" /pub/files/", {"/pub/files/"}},
        SplitCase{"tabulon a\"b c\"d", {"ab cd"}},
        SplitCase{"tabulon a\tb", {"a", "b"}},
        SplitCase{"tabulon \"D:\\My Files", {"D:\\My Files"}},
        SplitCase{"\"C:\\Program Files\\tabulon.exe\" x", {"x"}},
        SplitCase{"tabulon a\x01" "b", {"a", "b"}},
        // The line ends at its first NUL.
        SplitCase{std::string("tabulon a\0b", 11), {"a"}},
        SplitCase{"tabulon \xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0", {"\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0"}}));

TEST(NextParameterTest, StopsWhereTheParameterEnds) {
  const std::string line = "prog  \"a b\"c  d";
  std::size_t pos = 0;
  EXPECT_EQ(NextParameter(line, &pos), "prog");
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(NextParameter(line, &pos), "a bc");
  EXPECT_EQ(pos, 12u);
  EXPECT_EQ(NextParameter(line, &pos), "d");
  EXPECT_EQ(NextParameter(line, &pos), "");
  EXPECT_EQ(pos, line.size());
}

TEST(ParametersOfTest, SkipsEmptyArguments) {
  CommandLine split;
  split.args = {"", "/srv/ftp", "", "http://h/"};
  EXPECT_EQ(ParametersOf(split), (std::vector<std::string>{"/srv/ftp", "http://h/"}));
}

TEST(RequestOfTest, OnlyTheFirstParameterAsksForHelpOrVersion) {
  const struct {
    std::vector<std::string> parameters;
    Request request;
  } kCases[] = {
      {{}, Request::kRun},
      {{"--help"}, Request::kShowHelp},
      {{"-h"}, Request::kShowHelp},
      {{"/?"}, Request::kShowHelp},
      {{"/?", "D:\\ftp", "/t"}, Request::kShowHelp},
      {{"--version"}, Request::kShowVersion},
      {{"--version", "--help"}, Request::kShowVersion},
      {{"D:\\ftp", "--help"}, Request::kRun},
      {{"/t", "--version"}, Request::kRun},
      {{"-H"}, Request::kRun},
      {{"--HELP"}, Request::kRun},
      {{"/h"}, Request::kRun},
      {{"-?"}, Request::kRun},
      {{"--versions"}, Request::kRun},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(RequestOf(c.parameters), c.request)
        << (c.parameters.empty() ? "(none)" : c.parameters[0]);
  }
}

struct SettingsCase {
  std::vector<std::string> parameters;
  char separator;
  TMode mode;
  std::string from_dir;
  std::string url;
};

class SettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsTest, FixesModeStartDirectoryAndAddress) {
  const SettingsCase& c = GetParam();
  const std::string current = c.separator == '\\' ? "C:\\Data" : "/srv/data";
  const RunSettings s = SettingsFrom(c.parameters, current, c.separator);
  EXPECT_EQ(s.RunMode, c.mode);
  EXPECT_EQ(s.FromDir, c.from_dir);
  EXPECT_EQ(s.URL, c.url);
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, SettingsTest,
    ::testing::Values(
        SettingsCase{{}, '\\', mList, "C:\\Data\\", ""},
        SettingsCase{{"D:\\"}, '\\', mList, "D:\\", ""},
        SettingsCase{{"D:\\ftp"}, '\\', mList, "D:\\ftp\\", ""},
        SettingsCase{{"D:\\ftp\\", "/pub/files/"}, '\\', mList, "D:\\ftp\\", "/pub/files/"},
        SettingsCase{{"D:\\ftp", "/pub/", "/t"}, '\\', mTree, "D:\\ftp\\", "/pub/"},
        // The switch is a whole parameter anywhere; nothing after it is lost.
        SettingsCase{{"/t", "D:\\ftp"}, '\\', mTree, "D:\\ftp\\", ""},
        SettingsCase{{"D:\\ftp", "/Tree"}, '\\', mList, "D:\\ftp\\", "/Tree"},
        SettingsCase{{"D:\\ftp", "/pub/texts/"}, '\\', mList, "D:\\ftp\\", "/pub/texts/"},
        SettingsCase{{"C:/Temp"}, '\\', mList, "C:/Temp\\", ""},
        SettingsCase{{"C:"}, '\\', mList, "C:\\", ""},
        SettingsCase{{"/T"}, '\\', mTree, "C:\\Data\\", ""},
        SettingsCase{{"a", "b", "c", "/t", "/T"}, '/', mTree, "a/", "b"},
        SettingsCase{{"/tmp/x"}, '/', mList, "/tmp/x/", ""},
        SettingsCase{{"/"}, '/', mList, "/", ""},
        SettingsCase{{}, '/', mList, "/srv/data/", ""}));

}  // namespace
}  // namespace tabulon
