#include "driver/progress.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/utf8.h"

namespace tabulon {
namespace {

// Assumed when the terminal does not tell its width.
constexpr int kDefaultColumns = 80;

struct Range {
  char32_t first;
  char32_t last;
};

// Characters that take two columns: the East Asian wide and full-width
// blocks and the emoji. Counting them as one would let the line wrap, and a
// wrapped line is no longer overwritten by "\r".
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x2600, 0x27BF}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF}, {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF}, {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F000, 0x1FAFF}, {0x20000, 0x3FFFD},
};

// Characters a terminal acts on instead of showing: C0 and C1 controls
// (escape sequences among them), DEL, and the invisible direction marks
// that could make a path read as another.
bool IsUnsafe(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0xFEFF;
}

int ColumnsOf(char32_t c) {
  for (const Range& range : kWide) {
    if (c >= range.first && c <= range.last) return 2;
  }
  return 1;
}

// One character of a path as it is shown, with its width.
struct Shown {
  std::string bytes;
  int columns;
};

std::vector<Shown> ShownCharacters(std::string_view text) {
  std::vector<Shown> shown;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    char32_t c;
    // A byte that is not UTF-8 would show as garbage or start a sequence.
    if (!DecodeUtf8(text, &pos, &c) || IsUnsafe(c)) {
      shown.push_back({"?", 1});
    } else {
      shown.push_back(
          {std::string(text.substr(start, pos - start)), ColumnsOf(c)});
    }
  }
  return shown;
}

// `n` with a comma between each three digits: "10,512".
std::string Grouped(std::int64_t n) {
  std::string digits = std::to_string(n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) {
    digits.insert(static_cast<std::size_t>(i), 1, ',');
  }
  return digits;
}

// `n` things, "1 file" or "2 files".
std::string Counted(std::int64_t n, std::string_view one) {
  return Grouped(n) + " " + std::string(one) + (n == 1 ? "" : "s");
}

// Bytes as many as fit below 1,024 in the largest unit, to a tenth.
std::string Size(std::int64_t bytes) {
  if (bytes < 1024) return Counted(bytes, "byte");
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double size = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (size >= 1024 && unit + 1 < std::size(kUnits)) {
    size /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", size, kUnits[unit]);
  return text;
}

}  // namespace

std::string ClosingLine(std::int64_t written, std::int64_t unchanged,
                        const Totals& totals, std::uint64_t ms) {
  // Tenths of a second up to a minute, then minutes and seconds.
  const std::uint64_t tenths = (ms + 50) / 100;
  char time[48];
  if (tenths < 600) {
    std::snprintf(time, sizeof time, "%llu.%llu s",
                  static_cast<unsigned long long>(tenths / 10),
                  static_cast<unsigned long long>(tenths % 10));
  } else {
    std::snprintf(time, sizeof time, "%llu min %llu s",
                  static_cast<unsigned long long>(tenths / 600),
                  static_cast<unsigned long long>(tenths / 10 % 60));
  }
  return Counted(written, "page") + " written, " + Grouped(unchanged) +
         " unchanged; " + Counted(totals.TotalFiles, "file") + ", " +
         Size(totals.TotalBytes) + " in " + time;
}

std::string ProgressLine(std::int64_t directories, std::int64_t files,
                         std::string_view path, int columns) {
  std::string line = std::to_string(directories) + " directories, " +
                     std::to_string(files) + " files";
  constexpr std::string_view kBefore = ": ";
  if (static_cast<int>(line.size() + kBefore.size()) >= columns) {
    line.resize(
        std::min(line.size(), static_cast<std::size_t>(std::max(columns, 0))));
    return line;
  }
  line.append(kBefore);
  int room = columns - static_cast<int>(line.size());
  const std::vector<Shown> shown = ShownCharacters(path);
  int total = 0;
  for (const Shown& s : shown) total += s.columns;
  std::size_t first = 0;
  if (total > room) {
    // The end of the path says where the walk is: keep it, and mark the cut.
    constexpr std::string_view kCut = "...";
    room -= static_cast<int>(kCut.size());
    while (first < shown.size() && total > room)
      total -= shown[first++].columns;
    if (first == shown.size()) {
      line.resize(line.size() - kBefore.size());
      return line;
    }
    line.append(kCut);
  }
  for (std::size_t i = first; i < shown.size(); ++i)
    line.append(shown[i].bytes);
  return line;
}

Progress::Progress(Platform& platform, bool quiet) : platform_(platform) {
  active_ = !quiet && platform.StderrIsTerminal();
  if (!active_) return;
  start_ = platform.MonotonicMs();
  const int width = platform.TerminalWidth();
  // The last column stays empty: some terminals wrap on writing it.
  columns_ = (width > 0 ? width : kDefaultColumns) - 1;
  blanks_.assign(static_cast<std::size_t>(std::max(columns_, 0)) + 2, ' ');
  blanks_.front() = '\r';
  blanks_.back() = '\r';
}

Progress::~Progress() { Clear(); }

void Progress::Reached(std::string_view path, std::int64_t files) {
  Reached([path] { return std::string(path); }, files);
}

void Progress::Reached(const std::function<std::string()>& path,
                       std::int64_t files) {
  if (!active_) return;
  ++directories_;
  files_ += files;
  const std::uint64_t now = platform_.MonotonicMs();
  if (drawn_once_ && now - last_draw_ < kIntervalMs) return;
  drawn_once_ = true;
  last_draw_ = now;

  const std::string line = ProgressLine(directories_, files_, path(), columns_);
  int line_columns = 0;
  for (const Shown& s : ShownCharacters(line)) line_columns += s.columns;
  std::string out = "\r" + line;
  // Blanks over what is left of a longer line before.
  if (shown_ > line_columns)
    out.append(static_cast<std::size_t>(shown_ - line_columns), ' ');
  platform_.WriteStderr(out);
  shown_ = line_columns;
}

void Progress::Clear() noexcept {
  if (!active_ || shown_ == 0) return;
  const std::string_view blanks(blanks_);
  // "\r", as many blanks as the line covers, "\r".
  std::string_view clear =
      blanks.substr(0, 1 + static_cast<std::size_t>(shown_));
  try {
    platform_.WriteStderr(clear);
    platform_.WriteStderr(blanks.substr(blanks.size() - 1));
  } catch (...) {
    // Out of memory on the way out: the report matters more than the line.
  }
  shown_ = 0;
}

void Progress::Close(std::int64_t written, std::int64_t unchanged,
                     const Totals& totals) {
  if (!active_) return;
  const std::uint64_t ms = platform_.MonotonicMs() - start_;
  Clear();
  platform_.WriteStderr(ClosingLine(written, unchanged, totals, ms) + "\n");
}

}  // namespace tabulon
