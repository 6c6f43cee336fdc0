// Whole runs over a synthetic tree with names, description files and a base
// address of any bytes: every page must be whole, hold only the program's own
// markup, and count in its foot the files it lists.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/fake_platform.h"
#include "driver/run.h"
#include "fuzz_check.h"
#include "page_check.h"

namespace {

using tabulon::testing::FakePlatform;

constexpr int kMaxEntries = 300;
constexpr std::size_t kMaxDepth = 24;

// The number in the foot's "... bytes in N files.".
long FilesInFoot(const std::string& page) {
  const std::size_t in = page.rfind(" bytes in ");
  if (in == std::string::npos) return -1;
  return std::strtol(page.c_str() + in + 10, nullptr, 10);
}

long FileRows(const std::string& page) {
  long rows = 0;
  for (std::size_t at = page.find(" </td><td>"); at != std::string::npos;
       at = page.find(" </td><td>", at + 1)) {
    ++rows;
  }
  return rows;
}

}  // namespace

// Input: a flags byte (one page per directory, one thread), then
// NUL-separated tokens whose first byte says what
// the rest is: a file, a directory to enter, a step back up, the directory's
// description file, or the base address.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool tree_mode = (data[0] & 1) != 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  FakePlatform fake;
  std::vector<FakePlatform::Node*> path{nullptr};
  std::string url;
  int entries = 0;
  while (!input.empty() && entries < kMaxEntries) {
    const std::size_t end = std::min(input.find('\0'), input.size());
    std::string_view token = input.substr(0, end);
    input.remove_prefix(std::min(end + 1, input.size()));
    if (token.empty()) continue;
    const std::uint8_t op = static_cast<std::uint8_t>(token[0]);
    token.remove_prefix(1);
    std::string name(token);
    std::erase(name, '/');
    switch (op % 5) {
      case 0:
      case 1: {
        if (name.empty()) break;
        const bool directory = op % 5 == 1;
        FakePlatform::Node* node = fake.AddChild(path.back(), name, directory);
        node->entry.Size = static_cast<std::int64_t>(op) << (op % 40);
        node->entry.Time = {1601 + op * 31, 1 + op % 12, 1 + op % 28};
        if (directory && path.size() < kMaxDepth) path.push_back(node);
        ++entries;
        break;
      }
      case 2:
        if (path.size() > 1) path.pop_back();
        break;
      case 3:
        fake.AddChild(path.back(), op & 8 ? "files.bbs" : "FILES.BBS", false)
            ->content = std::string(token);
        ++entries;
        break;
      default:
        url = std::string(token);
    }
  }

  // A base address that reads as a switch would be taken as one.
  if (url == "/t" || url == "/T" || url.starts_with("--exclude=") ||
      url.starts_with("--jobs=")) {
    url.insert(0, "x");
  }
  fake.args = {"/"};
  if (!url.empty()) fake.args.push_back(url);
  if (tree_mode) fake.args.push_back("/t");
  // On one thread, or on the default several: the same checks hold.
  if ((data[0] & 2) != 0) fake.args.push_back("--jobs=1");
  // The one failure a synthetic tree can hold: a directory named like the
  // description file, which cannot be read as one.
  const int exit_code = tabulon::Run(fake);
  std::size_t reports = 0;
  if (!fake.err.empty()) std::fprintf(stderr, "%s", fake.err.c_str());
  for (std::size_t at = 0; at < fake.err.size(); ++reports) {
    FUZZ_CHECK(fake.err.compare(at, 38, "tabulon: cannot read description file ") == 0);
    const std::size_t end = fake.err.find('\n', at);
    FUZZ_CHECK(end != std::string::npos);
    at = end + 1;
  }
  FUZZ_CHECK(exit_code == (reports == 0 ? 0 : 2));
  FUZZ_CHECK(!fake.pages.empty());
  for (const auto& [dir, page] : fake.pages) {
    int rows = 0;
    std::string why;
    if (!tabulon::fuzzing::IsWholePage(page, &rows, &why)) {
      std::fprintf(stderr, "page of '%s': %s\n", dir.c_str(), why.c_str());
      FUZZ_CHECK(false);
    }
    FUZZ_CHECK(FilesInFoot(page) == FileRows(page));
  }
  return 0;
}
