#include "descriptions/description_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {
namespace {

TEST(DescriptionListTest, GuardKeepsAReserveAndRoomForTheGrownSlots) {
  // With 10 slots growing by 10: while a slot is free, more than 8192 bytes
  // must be; when all are taken, more than 8192 + 4 * (slots + 10).
  const struct {
    int before;
    std::uint64_t free;
    bool taken;
  } kCases[] = {
      {1, 8193, true},   {1, 8192, false}, {9, 8193, true},
      {10, 8272, false}, {10, 8273, true}, {15, 8193, true},
      {20, 8312, false}, {20, 8313, true}, {1, 0, false},
  };
  for (const auto& c : kCases) {
    std::uint64_t free = 1 << 20;
    DescriptionList list([&free] { return free; });
    ASSERT_TRUE(list.Insert("A x"));
    for (int i = 1; i < c.before; ++i) ASSERT_TRUE(list.Insert("A x"));
    free = c.free;
    EXPECT_EQ(list.Insert("B y"), c.taken) << c.before << " " << c.free;
    EXPECT_EQ(list.Count(), c.before + (c.taken ? 1 : 0));
    EXPECT_EQ(list.At(list.Count() - 1), c.taken ? "B y" : "A x");
  }
}

TEST(DescriptionListTest, KeepsRecordsByteForByteAndGrowsByTheStep) {
  DescriptionList list;
  EXPECT_EQ(list.Code(), tAlt);
  const std::string odd("\x00\xFF x\x1A", 5);
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(list.Insert(i == 11 ? odd : std::string(i + 1, 'a')));
  }
  EXPECT_EQ(list.Count(), 25);
  EXPECT_EQ(list.Capacity(), 30);
  EXPECT_EQ(list.At(0), "a");
  EXPECT_EQ(list.At(11), odd);
  EXPECT_EQ(list.At(24), std::string(25, 'a'));
}

TEST(DescriptionListTest, KeepsEveryRecordOfALargeFileWhileMemoryLasts) {
  // Records of every length up to well past a storage chunk, so that some
  // do not fit after the one before them.
  DescriptionList list([] { return std::uint64_t{1} << 30; });
  std::vector<std::string> records;
  for (int i = 0; i < 60000; ++i) {
    const std::size_t length = i % 997 == 0 ? 70000 + i : i % 256;
    records.push_back(std::string(length, static_cast<char>('a' + i % 26)));
    ASSERT_TRUE(list.Insert(records.back())) << i;
  }
  ASSERT_EQ(list.Count(), 60000);
  for (int i = 0; i < list.Count(); ++i) ASSERT_EQ(list.At(i), records[i]) << i;
}

TEST(DescriptionListTest, RefusesWhenItsOwnRecordsHaveUsedUpTheMemory) {
  // The figure shrinks by what the list stores, as the system's would.
  const std::uint64_t start = std::uint64_t{17} << 20;
  const std::string record(200, 'r');
  std::uint64_t stored = 0;
  DescriptionList list([&] { return start - stored; });
  while (list.Insert(record)) stored += record.size();
  const std::uint64_t left = start - stored;
  EXPECT_LE(left,
            8192u + 4u * static_cast<std::uint64_t>(list.Capacity() + 10));
  EXPECT_GT(left + record.size(), 8192u);
}

}  // namespace
}  // namespace tabulon
