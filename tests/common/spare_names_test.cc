#include "common/spare_names.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/per_thread.h"

namespace tabulon {
namespace {

constexpr char kNotKept[] = "this toolchain keeps nothing per thread";

const std::string kLong = "a name far longer than a string holds in itself";

TEST(SpareNamesTest, ANameKeptIsTheRoomOfTheNextLongName) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  std::thread([] {
    std::vector<SearchEntry> entries(2);
    AssignName(kLong, &entries[0].Name);
    AssignName("short", &entries[1].Name);
    const char* const room = entries[0].Name.data();
    KeepNames(&entries);
    SearchEntry next;
    AssignName("another name longer than fifteen bytes", &next.Name);
    EXPECT_EQ(next.Name, "another name longer than fifteen bytes");
    EXPECT_EQ(next.Name.data(), room);
    // None kept any more: a new one is made, the text as given.
    SearchEntry last;
    AssignName(kLong, &last.Name);
    EXPECT_EQ(last.Name, kLong);
    EXPECT_NE(last.Name.data(), room);
  }).join();
}

TEST(SpareNamesTest, NamesAreKeptOnlyForTheThreadThatKeptThem) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  std::vector<SearchEntry> entries(1);
  AssignName(kLong, &entries[0].Name);
  const char* const room = entries[0].Name.data();
  KeepNames(&entries);
  std::thread([room] {
    SearchEntry other;
    AssignName(kLong, &other.Name);
    EXPECT_NE(other.Name.data(), room);
  }).join();
  SearchEntry mine;
  AssignName(kLong, &mine.Name);
  EXPECT_EQ(mine.Name.data(), room);
}

TEST(SpareNamesTest, AThreadKeepsAThousandOrSoNamesAtMost) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  std::thread([] {
    std::vector<SearchEntry> entries(10000);
    for (SearchEntry& entry : entries) AssignName(kLong, &entry.Name);
    KeepNames(&entries);
    // The names not kept stay with their entries.
    std::size_t kept = 0;
    for (const SearchEntry& entry : entries) kept += entry.Name.empty();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, entries.size());
    std::vector<SearchEntry> again(kept + 1);
    std::size_t reused = 0;
    for (SearchEntry& entry : again) {
      AssignName(kLong, &entry.Name);
      EXPECT_EQ(entry.Name, kLong);
      for (const SearchEntry& old : entries) {
        if (old.Name.data() == entry.Name.data()) ++reused;
      }
    }
    EXPECT_EQ(reused, 0u);  // never a string another entry still holds
  }).join();
}

}  // namespace
}  // namespace tabulon
