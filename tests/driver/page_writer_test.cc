// A page is compared with the one on disk and made only where it differs,
// whatever pieces it comes in.
#include "driver/page_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "driver/fake_platform.h"

namespace tabulon::testing {
namespace {

// About 3 MiB of pieces, small ones and ones past the size written at once,
// so that a page is compared and written in several blocks.
std::vector<std::string> Pieces() {
  std::mt19937 random(5);
  std::vector<std::string> pieces;
  std::size_t total = 0;
  while (total < (3u << 20)) {
    const std::size_t size =
        random() % 5 == 0 ? 65000 + random() % 200000 : random() % 20000;
    std::string piece(size, ' ');
    for (char& c : piece) c = static_cast<char>('a' + random() % 26);
    total += size;
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

TEST(PageWriterTest, MakesAPageOnlyWhereItDiffersFromTheOneOnDisk) {
  const std::vector<std::string> pieces = Pieces();
  std::string page;
  for (const std::string& piece : pieces) page += piece;
  const auto changed = [&page](std::size_t at) {
    std::string other = page;
    other[at] = '#';
    return other;
  };
  struct Case {
    const char* what;
    std::optional<std::string> on_disk;
  };
  const Case cases[] = {
      {"none on disk", std::nullopt},
      {"the same", page},
      {"the first byte differs", changed(0)},
      {"a byte halfway differs", changed(page.size() / 2)},
      {"the last byte differs", changed(page.size() - 1)},
      {"longer on disk", page + "x"},
      {"shorter on disk", page.substr(0, page.size() - 1)},
      {"empty on disk", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    if (c.on_disk) platform.AddFile("FILES.HTM", *c.on_disk);
    std::unique_ptr<Directory> root;
    ASSERT_TRUE(platform.OpenDirectory("/", &root).ok());
    PageWriter writer(*root, "FILES.HTM");
    // Every other piece handed over whole, the rest copied.
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i % 2 == 0) {
        writer.Write(std::string_view(pieces[i]));
      } else {
        writer.Write(std::string(pieces[i]));
      }
    }
    const PageWriter::Outcome outcome = writer.Close();
    ASSERT_TRUE(outcome.status.ok()) << outcome.status.reason();
    const bool same = c.on_disk == page;
    EXPECT_EQ(outcome.unchanged, same);
    if (same) {
      EXPECT_EQ(platform.pages.count(""), 0u);
    } else {
      ASSERT_EQ(platform.pages.count(""), 1u);
      EXPECT_TRUE(platform.pages[""] == page)
          << platform.pages[""].size() << " bytes of " << page.size();
    }
  }
}

// Some `size` bytes of text in rows, all of them generated here.
std::string Generated(std::size_t size) {
  std::string page;
  for (int row = 0; page.size() < size; ++row) {
    page += "<tr><td>file" + std::to_string(row) + ".zip</td></tr>\r\n";
  }
  return page;
}

// Writes `page` over the FILES.HTM of `platform`'s root in rows of about a
// kilobyte, as a directory's rows come.
PageWriter::Outcome WriteInRows(FakePlatform& platform, std::string_view page) {
  std::unique_ptr<Directory> root;
  if (!platform.OpenDirectory("/", &root).ok()) {
    ADD_FAILURE() << "no root";
    return {Status::Failed("no root")};
  }
  PageWriter writer(*root, "FILES.HTM");
  for (std::size_t at = 0; at < page.size(); at += 1000) {
    writer.Write(page.substr(at, 1000));
  }
  return writer.Close();
}

// Someone writes into the page on disk while the run compares with it; the
// pages differ only in their last byte, so the difference shows late.
TEST(PageWriterTest, NewPageHoldsOnlyGeneratedBytesWhateverTheOldOneBecomes) {
  struct Case {
    const char* what;
    std::size_t size;
    int after_reads;  // reads of the old page before it is written into
  };
  const Case cases[] = {
      {"small page, written into after the first read", 40000, 1},
      {"small page, written into before the last read", 40000, 2},
      {"page past what is held, written into early", 11u << 20, 1},
      {"page past what is held, written into halfway", 11u << 20, 6},
      {"page past what is held, written into at the end", 11u << 20, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string page = Generated(c.size);
    std::string on_disk = page;
    on_disk.back() = '#';
    std::string written_into = on_disk;
    written_into.replace(0, 8, "<script>");
    FakePlatform platform;
    platform.AddFile("FILES.HTM", on_disk);
    platform.rewrites["FILES.HTM"] = {c.after_reads, written_into};
    const PageWriter::Outcome outcome = WriteInRows(platform, page);
    ASSERT_TRUE(outcome.status.ok()) << outcome.status.reason();
    EXPECT_FALSE(outcome.unchanged);
    ASSERT_EQ(platform.pages.count(""), 1u);
    EXPECT_TRUE(platform.pages[""] == page)
        << "begins: " << platform.pages[""].substr(0, 40);
  }
}

// A page whose second MiB repeats its first, cut short on disk: what was
// read of an earlier block must not stand in for bytes the page lacks.
TEST(PageWriterTest, APageCutShortOnDiskIsReplacedWhateverItRepeats) {
  const std::string half = Generated(1u << 20).substr(0, 1u << 20);
  const std::string page = half + half;
  const struct {
    const char* what;
    std::size_t kept;  // bytes of the page on disk
  } kCases[] = {
      {"one byte into the second block", (1u << 20) + 1},
      {"halfway into the second block", (1u << 20) + (1u << 19)},
      {"one byte short", (2u << 20) - 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.AddFile("FILES.HTM", page.substr(0, c.kept));
    const PageWriter::Outcome outcome = WriteInRows(platform, page);
    ASSERT_TRUE(outcome.status.ok()) << outcome.status.reason();
    EXPECT_FALSE(outcome.unchanged);
    ASSERT_EQ(platform.pages.count(""), 1u);
    EXPECT_TRUE(platform.pages[""] == page) << platform.pages[""].size();
  }
}

// An unchanged page leaves its directory as it was: the page is not
// replaced, and no temporary file is seen there, even for a moment. One the
// run can hold in memory makes no file at all.
TEST(PageWriterTest, AnUnchangedPageOfAnySizeShowsNoTemporaryFile) {
  const struct {
    std::size_t size;
    bool any_output;  // whether a file may be made where none is seen
  } kCases[] = {{40000, false}, {std::size_t{11} << 20, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.size);
    const std::string page = Generated(c.size);
    FakePlatform platform;
    platform.AddFile("FILES.HTM", page);
    const PageWriter::Outcome outcome = WriteInRows(platform, page);
    ASSERT_TRUE(outcome.status.ok()) << outcome.status.reason();
    EXPECT_TRUE(outcome.unchanged);
    EXPECT_EQ(platform.pages.count(""), 0u);
    EXPECT_TRUE(platform.At("FILES.HTM")->content == page);
    EXPECT_EQ(platform.visible_outputs.load(), 0);
    if (!c.any_output) {
      EXPECT_EQ(platform.outputs.load(), 0);
    }
  }
}

// A page of another user is never kept, even with the very bytes of the
// new one: an uploader may have made it, to own what the run publishes.
TEST(PageWriterTest, KeepsOnlyAnUnchangedPageOfTheRunsOwnUser) {
  const std::string page = Generated(5000);
  const std::string big = Generated(9u << 20);
  struct Case {
    const char* what;
    const std::string& bytes;
    bool foreign;
    bool unchanged;
  };
  const Case cases[] = {
      {"own page", page, false, true},
      {"another user's page", page, true, false},
      {"own page past what is held", big, false, true},
      {"another user's page past what is held", big, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.AddFile("FILES.HTM", c.bytes);
    platform.At("FILES.HTM")->foreign = c.foreign;
    std::unique_ptr<Directory> root;
    ASSERT_TRUE(platform.OpenDirectory("/", &root).ok());
    PageWriter writer(*root, "FILES.HTM");
    writer.Write(std::string(c.bytes));
    const PageWriter::Outcome outcome = writer.Close();
    ASSERT_TRUE(outcome.status.ok()) << outcome.status.reason();
    EXPECT_EQ(outcome.unchanged, c.unchanged);
    EXPECT_EQ(platform.pages.count(""), c.unchanged ? 0u : 1u);
    if (!c.unchanged) {
      EXPECT_TRUE(platform.pages[""] == c.bytes);
    }
  }
}

}  // namespace
}  // namespace tabulon::testing
