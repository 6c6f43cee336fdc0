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

}  // namespace
}  // namespace tabulon::testing
