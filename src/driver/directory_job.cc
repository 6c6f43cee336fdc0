#include "driver/directory_job.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "common/name_order.h"
#include "descriptions/descriptions.h"
#include "html/row.h"

namespace tabulon {
namespace {

// Entries whose details are filled in by one piece of work, and entries
// whose rows are made by one: large enough that handing a piece to another
// thread costs little beside it, small enough that a large directory keeps
// every thread busy (and that a slow file system keeps many requests in
// flight).
constexpr std::size_t kDetailsPiece = 256;
constexpr std::size_t kRowsPiece = 1024;
// About what a row takes, so that the rows of a piece are made without
// moving them as they grow.
constexpr std::size_t kRowBytes = 160;
// Below this many entries a directory is read on its job's thread alone.
constexpr std::size_t kParallelFrom = 2 * kDetailsPiece;

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Reads the description file `name` of `dir` into *descriptions; what
// failed, if anything (not found is no failure).
Status LoadFrom(Directory& dir, const std::string& name,
                std::size_t longest_name, DirectoryDescriptions* descriptions) {
  std::unique_ptr<InputFile> file;
  const Status opened = dir.OpenInput(name, Follow::kInsideTree, &file);
  if (!opened.ok()) return opened;
  const DescriptionFormat format = EqualsIgnoringAsciiCase(name, "FILES.BBS")
                                       ? DescriptionFormat::kFilesBbs
                                       : DescriptionFormat::kDescriptIon;
  return descriptions->Load(format, *file, longest_name);
}

// Leaves out the entries that `exclusions` names; never FILES.BBS, FILES.HTM
// or the description file, which the page needs as they are.
void Exclude(const Exclusions& exclusions, const Place& place,
             const std::string& description_name,
             std::vector<SearchEntry>* entries) {
  const std::string relative =
      exclusions.NeedsPath() ? place.Relative() : std::string();
  std::erase_if(*entries, [&](const SearchEntry& entry) {
    const std::string& name = entry.Name;
    return name != "FILES.BBS" && name != "FILES.HTM" &&
           name != description_name && exclusions.Excludes(name, relative);
  });
}

}  // namespace

int DescriptionFileOf(const std::vector<SearchEntry>& entries) {
  int found = -1;
  for (const std::string_view wanted : {"FILES.BBS", "DESCRIPT.ION"}) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& name = entries[i].Name;
      if (wanted == "FILES.BBS" && name == wanted) return static_cast<int>(i);
      if (EqualsIgnoringAsciiCase(name, wanted) &&
          (found < 0 || NameBefore(name, entries[found].Name))) {
        found = static_cast<int>(i);
      }
    }
    if (found >= 0) return found;
  }
  return found;
}

DirectoryResult ReadDirectory(Directory& dir, const Place& place,
                              const JobSettings& settings, Parallel& parallel) {
  DirectoryResult result;
  std::vector<SearchEntry> entries;
  const Status listed = dir.ReadNames(&entries);
  if (!listed.ok()) {
    result.reports.push_back(
        {"cannot read directory", place.Path(), listed.reason()});
  }
  // Names beginning with a dot never get a row and are never walked.
  std::erase_if(entries, [](const SearchEntry& entry) {
    return entry.Name.empty() || entry.Name[0] == '.';
  });

  const int description_index = DescriptionFileOf(entries);
  const std::string description_name =
      description_index >= 0 ? entries[description_index].Name : std::string();
  if (settings.exclusions != nullptr && !settings.exclusions->empty()) {
    Exclude(*settings.exclusions, place, description_name, &entries);
  }
  std::size_t longest_name = 0;
  for (const SearchEntry& entry : entries) {
    longest_name = std::max(longest_name, entry.Name.size());
  }

  // The description file is read and the names put in order while the
  // entries' details are filled in: all three only read the names.
  DirectoryDescriptions descriptions(settings.free_memory);
  Status description_read;
  std::vector<std::uint32_t> order;
  const std::size_t detail_pieces =
      dir.NamesOnly() ? (entries.size() + kDetailsPiece - 1) / kDetailsPiece : 0;
  const auto read_piece = [&](std::size_t piece) {
    if (piece == 0) {
      if (!description_name.empty()) {
        description_read =
            LoadFrom(dir, description_name, longest_name, &descriptions);
      }
    } else if (piece == 1) {
      order = NameOrder(entries.data(), entries.size());
    } else {
      const std::size_t first = (piece - 2) * kDetailsPiece;
      dir.FillDetails(entries.data() + first,
                      entries.data() + std::min(entries.size(), first + kDetailsPiece));
    }
  };
  Sequential sequential;
  Parallel& pieces =
      entries.size() >= kParallelFrom ? parallel : static_cast<Parallel&>(sequential);
  pieces.ForEach(2 + detail_pieces, read_piece);
  if (!description_read.ok() && !description_read.IsNotFound()) {
    result.reports.push_back({"cannot read description file",
                              place.Path() + description_name,
                              description_read.reason()});
  }

  RowContext context;
  context.RunMode = settings.RunMode;
  // Put together only for a directory with files: a place deep down costs
  // time in proportion to its depth.
  std::string link;
  if (settings.prefixed_links &&
      std::any_of(entries.begin(), entries.end(), [](const SearchEntry& e) {
        return !e.Gone && !e.IsDirectory();
      })) {
    link = place.Link();
  }
  context.file_link_prefix = link;
  context.description_file = description_name;
  const TCode code = descriptions.code();
  const std::size_t row_pieces = (order.size() + kRowsPiece - 1) / kRowsPiece;
  result.rows.resize(row_pieces);
  std::vector<Totals> totals(row_pieces);
  pieces.ForEach(row_pieces, [&](std::size_t piece) {
    const std::size_t end = std::min(order.size(), (piece + 1) * kRowsPiece);
    std::string& out = result.rows[piece];
    out.reserve((end - piece * kRowsPiece) * kRowBytes);
    for (std::size_t i = piece * kRowsPiece; i < end; ++i) {
      const SearchEntry& entry = entries[order[i]];
      if (!entry.Gone && HasRow(entry, context)) {
        WriteRow(entry, context, descriptions.Of(entry.Name), code,
                 &totals[piece], &out);
      }
    }
  });
  for (const Totals& piece : totals) {
    result.totals.TotalFiles += piece.TotalFiles;
    result.totals.TotalBytes += piece.TotalBytes;
  }

  for (const std::uint32_t i : order) {
    SearchEntry& entry = entries[i];
    if (entry.Gone) continue;
    if (!entry.IsDirectory()) {
      ++result.files;
    } else if (!entry.IsLink()) {
      result.subdirectories.push_back(std::move(entry.Name));
    }
  }
  settings.sink->Finish(dir, place, &result);
  return result;
}

}  // namespace tabulon
