#include "driver/command_line.h"

#include <gtest/gtest.h>

#include "driver/reporter.h"

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
  for (int k = 1; k <= n; ++k)
    EXPECT_EQ(Parameter(c.line, k), c.parameters[k - 1]);
  EXPECT_EQ(Parameter(c.line, n + 1), "");
  CommandLine whole;
  whole.one_string = true;
  whole.line = c.line;
  EXPECT_EQ(ParametersOf(whole), c.parameters);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTest,
    ::testing::Values(
        SplitCase{"", {}}, SplitCase{"tabulon", {}},
        SplitCase{"tabulon D:\\ftp", {"D:\\ftp"}},
        SplitCase{"tabulon   D:\\ftp\\  /pub/files/ ",
                  {"D:\\ftp\\", "/pub/files/"}},
        SplitCase{"tabulon \"D:\\My Files\"", {"D:\\My Files"}},
        // A backslash before the closing quote is an ordinary character.
        SplitCase{"tabulon \"D:\\My Files\\\" x", {"D:\\My Files\\", "x"}},
        // An empty quoted pair is skipped like a blank.
        SplitCase{"tabulon \"\" /pub/files/", {"/pub/files/"}},
        SplitCase{"tabulon a\"b c\"d", {"ab cd"}},
        SplitCase{"tabulon a\tb", {"a", "b"}},
        SplitCase{"tabulon \"D:\\My Files", {"D:\\My Files"}},
        SplitCase{"\"C:\\Program Files\\tabulon.exe\" x", {"x"}},
        SplitCase{"tabulon a\x01"
                  "b",
                  {"a", "b"}},
        // The line ends at its first NUL.
        SplitCase{std::string("tabulon a\0b", 11), {"a"}},
        SplitCase{"tabulon \xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0",
                  {"\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0"}}));

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
  EXPECT_EQ(ParametersOf(split),
            (std::vector<std::string>{"/srv/ftp", "http://h/"}));
}

TEST(RequestOfTest, HelpAndVersionActWhereverTheyStandBeforeTheEnd) {
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
      {{"D:\\ftp", "--help"}, Request::kShowHelp},
      {{"/t", "x", "--version", "-h"}, Request::kShowVersion},
      {{"D:\\ftp", "/?"}, Request::kRun},
      {{"x", "--", "--help"}, Request::kRun},
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
        SettingsCase{{"D:\\ftp\\", "/pub/files/"},
                     '\\',
                     mList,
                     "D:\\ftp\\",
                     "/pub/files/"},
        SettingsCase{
            {"D:\\ftp", "/pub/", "/t"}, '\\', mTree, "D:\\ftp\\", "/pub/"},
        // The switch is a whole parameter anywhere; nothing after it is lost.
        SettingsCase{{"/t", "D:\\ftp"}, '\\', mTree, "D:\\ftp\\", ""},
        SettingsCase{{"D:\\ftp", "/Tree"}, '\\', mList, "D:\\ftp\\", "/Tree"},
        SettingsCase{{"D:\\ftp", "/pub/texts/"},
                     '\\',
                     mList,
                     "D:\\ftp\\",
                     "/pub/texts/"},
        SettingsCase{{"C:/Temp"}, '\\', mList, "C:/Temp\\", ""},
        SettingsCase{{"C:"}, '\\', mList, "C:\\", ""},
        SettingsCase{{"/T"}, '\\', mTree, "C:\\Data\\", ""},
        SettingsCase{{"a", "b", "c", "/t", "/T"}, '/', mTree, "a/", "b"},
        SettingsCase{{"/tmp/x"}, '/', mList, "/tmp/x/", ""},
        SettingsCase{{"/"}, '/', mList, "/", ""},
        SettingsCase{{}, '/', mList, "/srv/data/", ""}));

struct SwitchCase {
  std::vector<std::string> parameters;
  TMode mode;
  std::string from_dir;
  std::string url;
  std::vector<std::string> exclude;
  std::vector<std::string> job_counts;
};

TEST(SwitchesTest, AreTakenAnywhereAndTheRestKeepTheirOrder) {
  const SwitchCase kCases[] = {
      {{"--exclude=*.tmp", "/srv/ftp", "--jobs=4", "/pub/", "--exclude=old"},
       mList,
       "/srv/ftp/",
       "/pub/",
       {"*.tmp", "old"},
       {"4"}},
      {{"/srv/ftp", "--exclude=", "/t", "--jobs=", "http://h/", "third"},
       mTree,
       "/srv/ftp/",
       "http://h/",
       {""},
       {""}},
      {{"--jobs=2", "--jobs=x", "--jobs=0"},
       mList,
       "/srv/data/",
       "",
       {},
       {"2", "x", "0"}},
      // The text after "=" is taken whole, "=", blanks and "/t" included.
      {{"--exclude=a=b c", "--exclude=/t", "--exclude=--jobs=3"},
       mList,
       "/srv/data/",
       "",
       {"a=b c", "/t", "--jobs=3"},
       {}},
      // Only these exact beginnings are switches.
      {{"-excluded=x", "x--jobs=2"},
       mList,
       "-excluded=x/",
       "x--jobs=2",
       {},
       {}},
      {{"/t", "--", "--jobs=2", "/t"}, mTree, "--jobs=2/", "/t", {}, {}},
  };
  for (const SwitchCase& c : kCases) {
    SCOPED_TRACE(c.parameters[0]);
    const RunSettings s = SettingsFrom(c.parameters, "/srv/data", '/');
    EXPECT_EQ(s.RunMode, c.mode);
    EXPECT_EQ(s.FromDir, c.from_dir);
    EXPECT_EQ(s.URL, c.url);
    EXPECT_EQ(s.Exclude, c.exclude);
    EXPECT_EQ(s.JobCounts, c.job_counts);
    EXPECT_EQ(s.Jobs, 0);
  }
}

TEST(SwitchesTest, JsonIsAWholeParameterTakenAnywhere) {
  const struct {
    std::vector<std::string> parameters;
    bool json;
    std::string from_dir, url;
  } kCases[] = {
      {{"--json", "/srv/ftp", "http://h/"}, true, "/srv/ftp/", "http://h/"},
      {{"/srv/ftp", "/t", "http://h/", "--json"},
       true,
       "/srv/ftp/",
       "http://h/"},
      {{"/srv/ftp", "--json", "--json"}, true, "/srv/ftp/", ""},
      {{"/srv/ftp"}, false, "/srv/ftp/", ""},
      // Only the exact word is the switch.
      {{"--", "--JSON", "--json"}, false, "--JSON/", "--json"},
      {{"-jsonx"}, false, "-jsonx/", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.parameters[0]);
    const RunSettings s = SettingsFrom(c.parameters, "/srv/data", '/');
    EXPECT_EQ(s.Json, c.json);
    EXPECT_EQ(s.FromDir, c.from_dir);
    EXPECT_EQ(s.URL, c.url);
  }
}

TEST(SwitchesTest, JobCountIsAWholeNumberFromOneTo256) {
  const struct {
    const char* text;
    int jobs;            // when taken
    const char* reason;  // "" when taken
  } kCases[] = {
      {"1", 1, ""},
      {"8", 8, ""},
      {"256", 256, ""},
      {"04", 4, ""},
      {"0256", 256, ""},
      {"000000000000000000000000000001", 1, ""},
      {"0", 0, "less than 1"},
      {"000", 0, "less than 1"},
      {"-1", 0, "less than 1"},
      {"-0", 0, "less than 1"},
      {"257", 0, "more than 256"},
      {"1000", 0, "more than 256"},
      {"99999999999999999999999999", 0, "more than 256"},
      {"", 0, "no number"},
      {"x", 0, "not a whole number"},
      {"4x", 0, "not a whole number"},
      {" 4", 0, "not a whole number"},
      {"4 ", 0, "not a whole number"},
      {"+4", 0, "not a whole number"},
      {"-", 0, "not a whole number"},
      {"--4", 0, "not a whole number"},
      {"2.5", 0, "not a whole number"},
      {"0x10", 0, "not a whole number"},
      {"\xEF\xBC\x94", 0, "not a whole number"},  // a full-width 4
  };
  for (const auto& c : kCases) {
    int jobs = -7;
    const Status read = ParseJobCount(c.text, &jobs);
    EXPECT_EQ(read.reason(), c.reason) << "'" << c.text << "'";
    EXPECT_EQ(read.ok(), *c.reason == '\0') << "'" << c.text << "'";
    EXPECT_EQ(jobs, *c.reason == '\0' ? c.jobs : -7) << "'" << c.text << "'";
  }
}

TEST(SwitchesTest, CharsetIsTakenAnywhereAndTheLastGoodOneHolds) {
  const struct {
    std::vector<std::string> parameters;
    std::string from_dir;
    std::string url;
    TCharset charset;
    const char* reports;
  } kCases[] = {
      {{"/srv/ftp"}, "/srv/ftp/", "", cWindows1251, ""},
      {{"--charset=utf-8", "/srv/ftp", "/pub/"},
       "/srv/ftp/",
       "/pub/",
       cUtf8,
       ""},
      {{"/srv/ftp", "/t", "--charset=UTF-8"}, "/srv/ftp/", "", cUtf8, ""},
      {{"/srv/ftp", "--charset=windows-1251"},
       "/srv/ftp/",
       "",
       cWindows1251,
       ""},
      {{"--charset=utf-8", "--charset=Windows-1251"},
       "/srv/data/",
       "",
       cWindows1251,
       ""},
      {{"--charset=utf8", "--charset=", "--charset=latin1", "--charset=utf-8 "},
       "/srv/data/",
       "",
       cWindows1251,
       "tabulon: bad charset 'utf8': not utf-8 or windows-1251\n"
       "tabulon: bad charset '': no charset named\n"
       "tabulon: bad charset 'latin1': not utf-8 or windows-1251\n"
       "tabulon: bad charset 'utf-8 ': not utf-8 or windows-1251\n"},
      // Only the exact beginning is the switch.
      {{"--", "--charset", "--Charset=utf-8"},
       "--charset/",
       "--Charset=utf-8",
       cWindows1251,
       ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.parameters[0]);
    RunSettings s = SettingsFrom(c.parameters, "/srv/data", '/');
    EXPECT_EQ(s.FromDir, c.from_dir);
    EXPECT_EQ(s.URL, c.url);
    Exclusions exclusions;
    std::string lines;
    for (const Status& r : ApplySwitches(&s, 2, true, &exclusions)) {
      lines += ReportLine(r);
    }
    EXPECT_EQ(lines, c.reports);
    EXPECT_EQ(s.Charset, c.charset);
  }
}

TEST(SwitchesTest, EachBadSwitchGivesItsReportLine) {
  RunSettings settings =
      SettingsFrom({"--jobs=0", "--exclude=*.tmp", "/srv/ftp", "--exclude=[ab",
                    "--jobs=3", "--exclude=", "--jobs=x"},
                   "/", '/');
  Exclusions exclusions;
  const std::vector<Status> reports =
      ApplySwitches(&settings, 2, true, &exclusions);
  std::string lines;
  for (const Status& r : reports) lines += ReportLine(r);
  EXPECT_EQ(lines,
            "tabulon: bad pattern '[ab': '[' without ']'\n"
            "tabulon: bad pattern '': empty pattern\n"
            "tabulon: bad job count '0': less than 1\n"
            "tabulon: bad job count 'x': not a whole number\n");
  // The good pattern is kept.
  EXPECT_TRUE(exclusions.Excludes("a.TMP", ""));
  EXPECT_FALSE(exclusions.Excludes("a", ""));
}

TEST(SwitchesTest, AnythingShapedLikeAnOptionThatIsNoneIsRefused) {
  const struct {
    const char* parameter;
    const char* meant;  // "": none close
  } kCases[] = {
      {"-exclude=*.tmp", "--exclude=PATTERN"},
      {"--exclude-from=list", "--exclude=PATTERN"},
      {"--JSON", "--json"},
      {"--jbos=4", "--jobs=N"},
      {"-c", "--charset=utf-8"},
      {"--quite", "--quiet"},
      {"--verison", "--version"},
      {"-Q", "-q"},
      {"-j", ""},  // --jobs= or --json
      {"-x", ""},
      {"--hello", ""},
  };
  for (const auto& c : kCases) {
    RunSettings s = SettingsFrom({"/srv/ftp", c.parameter}, "/", '/');
    EXPECT_EQ(s.URL, "") << c.parameter;
    Exclusions exclusions;
    const std::vector<Status> refused = ApplySwitches(&s, 2, true, &exclusions);
    ASSERT_EQ(refused.size(), 1u) << c.parameter;
    EXPECT_EQ(ReportLine(refused[0]),
              std::string("tabulon: unknown option '") + c.parameter + "': " +
                  (*c.meant ? std::string("did you mean '") + c.meant + "'?"
                            : "tabulon --help lists the options") +
                  "\n");
  }
}

TEST(SwitchesTest, GoodSwitchesSetTheJobsAndThePatterns) {
  const struct {
    std::vector<std::string> parameters;
    int processors;
    bool sees_storage_reads;
    int jobs;
    int most_jobs;  // while they wait: more only without --jobs
  } kCases[] = {
      // Where a disk read shows, one a processor and one more to begin with.
      {{"/srv/ftp"}, 2, true, 3, 64},
      // Elsewhere enough to wait on a cold disk.
      {{"/srv/ftp"}, 2, false, 6, 64},
      {{"--jobs=1", "/srv/ftp"}, 64, true, 1, 1},
      {{"/srv/ftp", "--jobs=200"}, 2, false, 200, 200},
      {{"--jobs=3", "/srv/ftp", "--jobs=5"}, 2, true, 5, 5},
  };
  for (const auto& c : kCases) {
    RunSettings settings = SettingsFrom(c.parameters, "/", '/');
    settings.Exclude = {"*.bak", "pub/old"};
    Exclusions exclusions;
    EXPECT_TRUE(ApplySwitches(&settings, c.processors, c.sees_storage_reads,
                              &exclusions)
                    .empty());
    EXPECT_EQ(settings.Jobs, c.jobs);
    EXPECT_EQ(settings.MostJobs, c.most_jobs);
    EXPECT_TRUE(exclusions.NeedsPath());
    EXPECT_TRUE(exclusions.Excludes("x.bak", "pub/"));
    EXPECT_TRUE(exclusions.Excludes("old", "pub/"));
  }
}

}  // namespace
}  // namespace tabulon
