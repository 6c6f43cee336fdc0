#include "descriptions/description_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "descriptions/lookup.h"

namespace {

// The bytes the heap holds, and the most it held since last cleared: every
// block carries its size in front of it. The tests run on one thread.
std::uint64_t g_held = 0;
std::uint64_t g_most = 0;
constexpr std::size_t kHeader = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t size) {
  char* const block = static_cast<char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  g_held += size;
  g_most = std::max(g_most, g_held);
  return block + kHeader;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  char* const block = static_cast<char*>(p) - kHeader;
  g_held -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

// The array forms too: a sanitizer's own would otherwise take them.
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace tabulon {
namespace {

TEST(DescriptionListTest, GuardKeepsAReserveAndRoomForTheGrownSlots) {
  // With 10 slots growing by 10: while a slot is free, more than 8192 bytes
  // must be; when all are taken, more than 8192 + 4 * (slots + 10). Free
  // beside what the list will still take for its lookup.
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
    const DescriptionList* self = nullptr;
    DescriptionList list([&] { return free + self->Coming(); });
    self = &list;
    ASSERT_TRUE(list.Insert("A x"));
    for (int i = 1; i < c.before; ++i) ASSERT_TRUE(list.Insert("A x"));
    free = c.free;
    EXPECT_EQ(list.Insert("B y"), c.taken) << c.before << " " << c.free;
    EXPECT_EQ(list.Count(), c.before + (c.taken ? 1 : 0));
    EXPECT_EQ(list.At(list.Count() - 1), c.taken ? "B y" : "A x");
  }
}

TEST(DescriptionListTest, KeepsRecordsByteForByte) {
  DescriptionList list;
  EXPECT_EQ(list.Code(), tAlt);
  const std::string odd("\x00\xFF x\x1A", 5);
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(list.Insert(i == 11 ? odd : std::string(i + 1, 'a')));
  }
  EXPECT_EQ(list.Count(), 25);
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

TEST(DescriptionListTest, RecordsAndTheirLookupFitTheMemoryTheyWereGiven) {
  // The figure shrinks by what the heap holds, as the system's would; the
  // lookup made once the records are in must still fit: a file of many
  // short records (empty lines) once took several times the figure.
  const std::uint64_t start = std::uint64_t{48} << 20;
  for (const std::size_t length : {0, 1, 30, 200, 4000}) {
    SCOPED_TRACE(length);
    const std::string record(length, 'r');
    g_held = g_most = 0;
    {
      DescriptionList list([&] { return start - std::min(start, g_held); });
      while (list.Insert(record)) {
      }
      EXPECT_GT(list.Count(), 0);
      const DescriptionLookup lookup(list, 255);
    }
    EXPECT_LE(g_most, start);
    // Yet the memory is used, not kept back for nothing.
    EXPECT_GE(g_most, start / 2);
  }
}

}  // namespace
}  // namespace tabulon
