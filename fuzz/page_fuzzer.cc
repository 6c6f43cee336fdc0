// Whole runs over a synthetic tree with names, description files and a base
// address of any bytes, in either charset: every page must be whole, hold
// only the program's own markup, and count in its foot the files it lists.
// With FILES.JSON, each must parse strictly, come out the same whatever the
// page's charset, and hold the rows of its UTF-8 page: names, links,
// descriptions, in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/fake_platform.h"
#include "driver/run.h"
#include "fuzz_check.h"
#include "support/json_check.h"
#include "support/page_check.h"

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

// The ASCII form of a link as FILES.JSON writes it: the bytes from 0x80 up
// percent-encoded.
std::string AsciiLink(std::string_view link) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : link) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out += {'%', kHex[b >> 4], kHex[b & 15]};
    }
  }
  return out;
}

// A name as its row shows it: each character that reorders or hides text
// (the bidirectional controls, the zero-width ones, U+FEFF, the soft
// hyphen) as a mark "<U+XXXX>"; FILES.JSON keeps the name itself.
std::string ShownName(std::string_view name) {
  std::string out;
  for (std::size_t at = 0; at < name.size();) {
    const auto b = static_cast<unsigned char>(name[at]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n && at + k < name.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(name[at + k]) & 0x3F);
    }
    const bool marked = c == 0xAD || c == 0x61C ||
                        (c >= 0x200B && c <= 0x200F) ||
                        (c >= 0x202A && c <= 0x202E) || c == 0x2060 ||
                        (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
    if (marked) {
      char mark[12];
      std::snprintf(mark, sizeof mark, "<U+%04X>", static_cast<unsigned>(c));
      out += mark;
    } else {
      out.append(name.substr(at, n));
    }
    at += n;
  }
  return out;
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool HasKeys(const tabulon::testing::JsonValue& object,
             std::initializer_list<std::string_view> keys) {
  return object.kind == tabulon::testing::JsonValue::kObject &&
         std::equal(object.keys.begin(), object.keys.end(), keys.begin(),
                    keys.end());
}

// Checks the FILES.JSON of the directory `dir` against its UTF-8 page.
void CheckJson(const std::string& dir, const std::string& json,
               const std::string& page) {
  using tabulon::testing::JsonValue;
  JsonValue doc;
  std::string why;
  if (!tabulon::testing::ParseJson(json, &doc, &why)) {
    std::fprintf(stderr, "FILES.JSON of '%s': %s\n", dir.c_str(), why.c_str());
    FUZZ_CHECK(false);
  }
  FUZZ_CHECK(
      HasKeys(doc, {"generator", "directory", "entries", "files", "bytes"}));
  const JsonValue& directory = doc.items[1];
  FUZZ_CHECK(directory.kind == JsonValue::kString);
  if (IsAscii(dir)) FUZZ_CHECK(directory.text == dir);
  const JsonValue& entries = doc.items[2];
  FUZZ_CHECK(entries.kind == JsonValue::kArray);
  std::vector<tabulon::testing::PageRow> rows;
  FUZZ_CHECK(tabulon::testing::ReadRows(page, &rows));
  FUZZ_CHECK(rows.size() == entries.items.size());
  long files = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const JsonValue& e = entries.items[i];
    FUZZ_CHECK(HasKeys(e, {"name", "path", "href", "type", "size", "modified",
                           "description"}));
    const JsonValue& name = e.items[0];
    const JsonValue& path = e.items[1];
    const JsonValue& href = e.items[2];
    const JsonValue& type = e.items[3];
    const JsonValue& size = e.items[4];
    const JsonValue& description = e.items[6];
    FUZZ_CHECK(name.kind == JsonValue::kString &&
               ShownName(name.text) == rows[i].name);
    FUZZ_CHECK(path.kind == JsonValue::kString &&
               path.text.ends_with(name.text));
    FUZZ_CHECK(href.kind == JsonValue::kString &&
               href.text == AsciiLink(rows[i].link));
    FUZZ_CHECK(type.kind == JsonValue::kString &&
               (type.text == "file" || type.text == "directory"));
    const bool file = type.text == "file";
    files += file;
    FUZZ_CHECK(size.kind == (file ? JsonValue::kNumber : JsonValue::kNull));
    FUZZ_CHECK(e.items[5].kind == JsonValue::kString);
    if (rows[i].described) {
      FUZZ_CHECK(description.kind == JsonValue::kString &&
                 description.text == rows[i].description);
    } else {
      FUZZ_CHECK(description.kind == JsonValue::kNull);
    }
  }
  FUZZ_CHECK(doc.items[3].text == std::to_string(files));
}

// Runs the program on `fake` as its arguments say; checks the reports and
// every page.
void RunAndCheckPages(FakePlatform& fake) {
  const int exit_code = tabulon::Run(fake);
  std::size_t reports = 0;
  if (!fake.err.empty()) std::fprintf(stderr, "%s", fake.err.c_str());
  // The one failure a synthetic tree can hold: a directory named like the
  // description file, which cannot be read as one.
  for (std::size_t at = 0; at < fake.err.size(); ++reports) {
    FUZZ_CHECK(fake.err.compare(at, 38,
                                "tabulon: cannot read description file ") == 0);
    const std::size_t end = fake.err.find('\n', at);
    FUZZ_CHECK(end != std::string::npos);
    at = end + 1;
  }
  FUZZ_CHECK(exit_code == (reports == 0 ? 0 : 2));
  FUZZ_CHECK(!fake.pages.empty());
  for (const auto& [dir, page] : fake.pages) {
    int rows = 0;
    std::string why;
    if (!tabulon::testing::IsWholePage(page, &rows, &why)) {
      std::fprintf(stderr, "page of '%s': %s\n", dir.c_str(), why.c_str());
      FUZZ_CHECK(false);
    }
    FUZZ_CHECK(FilesInFoot(page) == FileRows(page));
  }
}

}  // namespace

// Input: a flags byte (one page per directory, one thread, UTF-8 pages,
// FILES.JSON), then
// NUL-separated tokens whose first byte says what
// the rest is: a file, a directory to enter, a step back up, the directory's
// description file, or the base address.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
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

  const bool utf8 = (data[0] & 4) != 0;
  const bool json = (data[0] & 8) != 0;
  // FILES.JSON carries the address as typed where a page shows it as text:
  // rows are compared with ASCII addresses only.
  if (json) std::erase_if(url, [](char c) { return c & 0x80; });
  // A base address that reads as a switch, or as a mistyped one, would be
  // taken as one (checked after the erasure, which can bring a dash to the
  // front).
  if (url == "/t" || url == "/T" || url.starts_with('-')) url.insert(0, "x");
  fake.args = {"/"};
  if (!url.empty()) fake.args.push_back(url);
  if (tree_mode) fake.args.push_back("/t");
  // On one thread, or on the default several: the same checks hold.
  if ((data[0] & 2) != 0) fake.args.push_back("--jobs=1");
  if (json) fake.args.push_back("--json");
  fake.args.push_back(utf8 ? "--charset=utf-8" : "--charset=windows-1251");
  RunAndCheckPages(fake);
  if (!json) return 0;
  FUZZ_CHECK(fake.json_pages.size() == fake.pages.size());
  // Rows are compared with a UTF-8 page, made from the same tree when the
  // pages were not: FILES.JSON is the same for both.
  std::map<std::string, std::string> utf8_pages = fake.pages;
  if (!utf8) {
    const std::map<std::string, std::string> first_json = fake.json_pages;
    fake.pages.clear();
    fake.json_pages.clear();
    fake.err.clear();
    fake.args.back() = "--charset=utf-8";
    RunAndCheckPages(fake);
    FUZZ_CHECK(fake.json_pages == first_json);
    utf8_pages = fake.pages;
  }
  for (const auto& [dir, listing] : fake.json_pages) {
    FUZZ_CHECK(utf8_pages.count(dir) == 1);
    CheckJson(dir, listing, utf8_pages[dir]);
  }
  return 0;
}
