#include "driver/exclusion.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tabulon {
namespace {

struct MatchCase {
  const char* pattern;
  std::string name;
  std::string relative_dir;
  bool excluded;
};

const MatchCase kMatchCases[] = {
    // A run of characters, none included.
    {"*.tmp", "a.tmp", "", true},
    {"*.tmp", ".tmp", "", true},
    {"*.tmp", "a.tmp.txt", "", false},
    {"*.tmp", "a.tmpx", "", false},
    {"a*b*c", "abc", "", true},
    {"a*b*c", "axxbyybzc", "", true},
    {"a*b*c", "axxcyyb", "", false},
    {"*", "anything at all", "sub/", true},
    {"**x", "abx", "", true},
    {"*[!ё]", "ё", "", false},
    {"*[!ё]", "ёж", "", true},
    // One character, not one byte.
    {"?", "a", "", true},
    {"?", "ab", "", false},
    {"?", "", "", false},
    {"??.txt", "ёж.txt", "", true},
    {"?.txt", "ёж.txt", "", false},
    {"?", "😀", "", true},
    {"a?b", "a😀b", "", true},
    {"??", "😀", "", false},
    // Sets and ranges.
    {"[a-z]*", "readme", "", true},
    {"[a-z]*", "README", "", true},
    {"[a-z]*", "_readme", "", false},
    {"[a-z]*", "[x]", "", false},
    {"[a-z]*", "1.txt", "", false},
    {"file[0-9].txt", "file7.txt", "", true},
    {"file[0-9].txt", "file10.txt", "", false},
    {"[!x]*", "abc", "", true},
    {"[!x]*", "xyz", "", false},
    {"[!x]*", "Xyz", "", false},
    {"[^x]", "y", "", true},
    {"[^x]", "x", "", false},
    {"[]x]", "]", "", true},
    {"[]x]", "x", "", true},
    {"[]x]", "y", "", false},
    {"[!]]", "]", "", false},
    {"[!]]", "a", "", true},
    {"[a-]", "-", "", true},
    {"[-a]", "-", "", true},
    {"[a-]", "b", "", false},
    {"[ёжз]", "Ё", "", true},
    {"[?*]", "*", "", true},
    {"[?*]", "a", "", false},
    // Letter case as the name order ignores it.
    {"readme.txt", "README.TXT", "", true},
    {"README.TXT", "ReadMe.txt", "", true},
    {"отчёт.*", "ОТЧЁТ.DOC", "", true},
    {"ОТЧЁТ.DOC", "отчёт.doc", "", true},
    {"отчет.doc", "отчёт.doc", "", false},
    {"[а-я]*", "Жук", "", true},
    {"[а-я]*", "жук", "", true},
    {"[А-Я]*", "жук", "", true},
    {"[а-я]*", "ёж", "", false},
    {"straße", "STRASSE", "", false},
    {"ǆ", "ǅ", "", true},
    // Whole names: a name pattern never looks at the directory.
    {"old", "old", "pub/", true},
    {"old", "older", "", false},
    {"old", "bold", "", false},
    {"pub", "old", "pub/", false},
    // A pattern with "/" is matched against the whole relative path.
    {"pub/old", "old", "pub/", true},
    {"pub/old", "old", "", false},
    {"pub/old", "old", "x/pub/", false},
    {"PUB/*.bak", "a.BAK", "pub/", true},
    {"pub/*.bak", "a.bak", "pub/sub/", false},
    {"*/cache", "cache", "a/b/", false},
    {"*/cache", "cache", "", false},
    {"a/b", "a", "", false},
    {"pub[/]old", "old", "pub/", false},
    // With "/", only "**" takes a "/"; as whole components, also none.
    {"pub/*/cache", "cache", "pub/a/", true},
    {"pub/*/cache", "cache", "pub/a/b/", false},
    {"pub/**/cache", "cache", "pub/a/b/", true},
    {"pub/**/cache", "cache", "pub/", true},
    {"doc/*-doc", "gtk-doc", "doc/", true},
    {"doc/*-doc", "gtk-doc", "doc/x/", false},
    {"pub/a?b", "b", "pub/a/", false},
    {"pub/a[!x]b", "b", "pub/a/", false},
    {"**/cache", "cache", "", true},
    {"**/cache", "cache", "a/b/", true},
    {"**/cache", "mycache", "a/", false},
    {"**/b*/c", "c", "x/b1/b2/", true},
    {"b*/c", "c", "b1/b2/", false},
    {"pub/**.bak", "f.bak", "pub/a/b/", true},
    {"pub/**", "f", "pub/a/", true},
    // Names and paths longer than most.
    {"*.tmp", std::string(300, 'x') + ".tmp", "", true},
    {"x*y", std::string(300, 'x'), "", false},
    {"*/sub/?.tmp", "a.tmp", std::string(300, 'd') + "/sub/", true},
    {"sub/*.tmp", "a.tmp", std::string(300, 'd') + "/sub/", false},
    // An invalid byte is one character, its code page 866 one.
    {"?.txt", "\xA0.txt", "", true},
    {"а.txt", "\xA0.txt", "", true},
    {"??.txt", "\xA0.txt", "", false},
    {"[а-я]?", "\xA0\xE1", "", true},
    {"\xA0*", "А.txt", "", true},
};

TEST(ExclusionTest, MatchesWholeNamesAndPaths) {
  for (const MatchCase& c : kMatchCases) {
    Exclusions exclusions;
    ASSERT_TRUE(exclusions.Add(c.pattern).ok()) << c.pattern;
    EXPECT_EQ(exclusions.Excludes(c.name, c.relative_dir), c.excluded)
        << "'" << c.pattern << "' on '" << c.relative_dir << c.name << "'";
  }
}

TEST(ExclusionTest, RefusesEmptyAndMalformedPatterns) {
  const struct {
    const char* pattern;
    const char* reason;  // "" when well formed
  } kCases[] = {
      {"", "empty pattern"},
      {"[", "'[' without ']'"},
      {"[abc", "'[' without ']'"},
      {"x[]", "'[' without ']'"},
      {"[!]", "'[' without ']'"},
      {"*.[ch", "'[' without ']'"},
      {"[z-a]", "a range ends before it starts"},
      {"[я-а]", "a range ends before it starts"},
      {"[]]", ""},
      {"]", ""},
      {"[a-z]", ""},
      {"[a-Z]", ""},
      {"[a-a]", ""},
      {"[x-X]", ""},
      {"-", ""},
      {"\\", ""},
  };
  for (const auto& c : kCases) {
    Exclusions exclusions;
    const Status added = exclusions.Add(c.pattern);
    EXPECT_EQ(added.reason(), c.reason) << c.pattern;
    EXPECT_EQ(added.ok(), *c.reason == '\0') << c.pattern;
    if (!added.ok()) {
      EXPECT_EQ(added.what(), "bad pattern");
      EXPECT_EQ(added.path(), c.pattern);
    }
    EXPECT_EQ(exclusions.empty(), *c.reason != '\0') << c.pattern;
  }
}

TEST(ExclusionTest, AnyPatternExcludesAndRefusedOnesAreLeftOut) {
  Exclusions exclusions;
  EXPECT_TRUE(exclusions.empty());
  EXPECT_FALSE(exclusions.Excludes("a.tmp", ""));
  EXPECT_TRUE(exclusions.Add("*.tmp").ok());
  EXPECT_FALSE(exclusions.Add("[*.txt").ok());
  EXPECT_TRUE(exclusions.Add("[b-d]*.log").ok());
  EXPECT_FALSE(exclusions.NeedsPath());
  EXPECT_TRUE(exclusions.Add("cache/*").ok());
  EXPECT_TRUE(exclusions.NeedsPath());
  EXPECT_FALSE(exclusions.empty());
  const struct {
    const char* name;
    const char* relative_dir;
    bool excluded;
  } kCases[] = {
      {"a.tmp", "", true},      {"a.txt", "", false}, {"[x.txt", "", false},
      {"c.log", "x/", true},    {"e.log", "", false}, {"d", "cache/", true},
      {"d", "x/cache/", false}, {"cache", "", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(exclusions.Excludes(c.name, c.relative_dir), c.excluded)
        << c.relative_dir << c.name;
  }
}

TEST(ExclusionTest, MatchesFromSeveralThreadsAtOnce) {
  Exclusions exclusions;
  ASSERT_TRUE(exclusions.Add("*.bak").ok());
  ASSERT_TRUE(exclusions.Add("tmp/[a-c]*").ok());
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&exclusions, &wrong, n] {
      for (int i = 0; i < 2000; ++i) {
        const std::string name = std::to_string(i) + (i % 2 ? ".bak" : ".txt");
        if (exclusions.Excludes(name, "") != (i % 2 == 1)) ++wrong[n];
        if (!exclusions.Excludes("b" + name, "tmp/")) ++wrong[n];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tabulon
