#include "driver/directory_job.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <new>
#include <span>

#include "common/entry_rules.h"
#include "common/name_order.h"
#include "common/per_thread.h"
#include "common/prefetch.h"
#include "common/spare_names.h"
#include "descriptions/descriptions.h"
#include "html/json_listing.h"
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
// The same for an entry of FILES.JSON, which names its path and link too.
constexpr std::size_t kJsonEntryBytes = 320;
// The rows of a piece whose lists each thread keeps for its next piece.
constexpr std::size_t kKeptRows = 256;
// Below this many entries a directory is read on its job's thread alone.
constexpr std::size_t kParallelFrom = 2 * kDetailsPiece;
// Helpers that fill in the details of a directory's first entries while
// the rest are read: the reading thread keeps a processor of its own (a
// helper beside it on each of the others would only slow it down).
std::size_t DetailHelpers(int processors) {
  return static_cast<std::size_t>(std::clamp(processors, 2, 8) - 1);
}

// What a piece of rows lists on its way: the entries shown, their names
// and their descriptions.
struct RowLists {
  std::vector<const SearchEntry*> shown;
  std::vector<std::string_view> names;
  std::vector<std::optional<std::string_view>> descriptions;
};
[[maybe_unused]] const bool kRowListsReadied =
    AddPerThreadReady(&KeptPerThread<RowLists>::Ready);

// Lists, of the entries at `order` (a piece, in name order), those that
// get a row, with their names.
void ListShown(const std::vector<SearchEntry>& entries,
               std::span<const std::uint32_t> order, const OwnFiles& own,
               TMode mode, RowLists* lists) {
  // In name order the entries, their names and their records lie all over
  // memory: each is asked for some rows before it is read.
  constexpr std::size_t kAhead = 64;
  const std::size_t end = order.size();
  lists->shown.clear();
  lists->names.clear();
  for (std::size_t i = 0; i < end; ++i) {
    if (i + kAhead < end) Prefetch(&entries[order[i + kAhead]]);
    if (i + kAhead / 2 < end) {
      Prefetch(entries[order[i + kAhead / 2]].Name.data());
    }
    const SearchEntry& entry = entries[order[i]];
    if (GetsRow(entry, own, mode)) {
      lists->shown.push_back(&entry);
      lists->names.push_back(entry.Name);
    }
  }
}

// Reads the description file `name` of `dir` into *descriptions, not yet
// indexed; what failed, if anything (not found is no failure).
Status ReadFrom(Directory& dir, const std::string& name,
                DirectoryDescriptions* descriptions) {
  std::unique_ptr<InputFile> file;
  const Status opened = dir.OpenInput(name, Follow::kInsideTree, &file);
  if (!opened.ok()) return opened;
  const DescriptionFormat format = IsFilesBbs(name)
                                       ? DescriptionFormat::kFilesBbs
                                       : DescriptionFormat::kDescriptIon;
  return descriptions->LoadDescriptions(format, *file);
}

bool Hidden(const SearchEntry& entry) { return IsHidden(entry.Name); }

// Removes the entries that `drop` picks, keeping the order of the rest;
// *detailed, the number of entries from the first that have their
// details, counts those that stay.
template <typename Drop>
void Remove(const Drop& drop, std::vector<SearchEntry>* entries,
            std::size_t* detailed) {
  std::size_t kept = 0, kept_detailed = 0;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    if (drop((*entries)[i])) continue;
    if (i < *detailed) ++kept_detailed;
    if (kept != i) (*entries)[kept] = std::move((*entries)[i]);
    ++kept;
  }
  entries->resize(kept);
  *detailed = kept_detailed;
}

// Leaves out the entries that `exclusions` names, but those the page needs
// as they are (NeverExcluded).
void Exclude(const Exclusions& exclusions, const Place& place,
             const OwnFiles& own, std::vector<SearchEntry>* entries,
             std::size_t* detailed) {
  const std::string relative =
      exclusions.NeedsPath() ? place.Relative() : std::string();
  Remove(
      [&](const SearchEntry& entry) {
        return !NeverExcluded(entry.Name, own) &&
               exclusions.Excludes(entry.Name, relative);
      },
      entries, detailed);
}

}  // namespace

DirectoryJob::DirectoryJob(Directory& dir, const Place& place,
                           const JobSettings& settings, PieceRunner& runner)
    : dir_(dir),
      place_(place),
      settings_(settings),
      runner_(runner),
      descriptions_(settings.free_memory) {}

// The names go back to the thread for the next directory it reads.
DirectoryJob::~DirectoryJob() { KeepNames(&entries_); }

DirectoryResult DirectoryJob::Complete() {
  const std::size_t detailed = ReadNames();
  ReadDetails(detailed);
  MakeRows();
  ListSubdirectories();
  settings_.sink->Finish(dir_, place_, &result_);
  return std::move(result_);
}

bool DirectoryJob::in_pieces() const {
  return entries_.size() >= kParallelFrom;
}

std::size_t DirectoryJob::ReadNames() {
  // Reading a large directory's names takes a while on its own: once a
  // full batch of names shows it large, helpers read its FILES.BBS
  // meanwhile, if it has one (without one, looking for it would only cost
  // a call of the system), and fill in the details of the entries read so
  // far. A small directory is read by its job alone: handing its few
  // entries to another thread costs more than it saves. What is left when
  // the last name is read gets its details beside the name order and the
  // index.
  DirectoryDescriptions files_bbs(settings_.free_memory);
  Status files_bbs_read = Status::NotFound("");
  // Only where helpers may take them: the batches and the whole list are
  // held at once when joined, more memory than names read into place, and
  // a directory read again for lack of room must need no more than one
  // thread alone would.
  const bool in_batches = dir_.NamesOnly() && runner_.allowed_threads() > 1;
  std::vector<std::vector<SearchEntry>> batches;
  // Of each task of details, in the order added: the entries read up to
  // the end of its piece.
  std::vector<std::size_t> detailed_to;
  Status listed;
  const std::size_t begun = runner_.WhileProducing(
      DetailHelpers(settings_.processors), [&](WorkFeed& feed) {
        if (!in_batches) {
          listed = dir_.ReadNames(&entries_);
          return;
        }
        std::size_t read = 0;
        listed = dir_.ReadNamesInBatches(
            settings_.first_names_batch, settings_.names_batch,
            [&](std::vector<SearchEntry>&& batch) {
              // The batch's entries stay where they are when the vector
              // of batches grows.
              SearchEntry* const first = batch.data();
              const std::size_t size = batch.size();
              batches.push_back(std::move(batch));
              // Only the first batch tells: details are filled in from the
              // first entry on or not at all.
              if (batches.size() == 1) {
                if (size < settings_.first_names_batch) return;
                feed.Add([&] {
                  files_bbs_read = ReadFrom(dir_, kFilesBbsName, &files_bbs);
                });
              } else if (detailed_to.empty()) {
                return;
              }
              for (std::size_t i = 0; i < size; i += kDetailsPiece) {
                const std::size_t count = std::min(kDetailsPiece, size - i);
                detailed_to.push_back(read + i + count);
                feed.Add([this, first, i, count] {
                  dir_.FillDetails(first + i, first + i + count);
                });
              }
              read += size;
            });
      });
  if (begun > 0 && !files_bbs_read.IsNotFound()) {
    descriptions_ = std::move(files_bbs);
    description_read_ = files_bbs_read;
    loaded_ = true;
  }
  if (batches.size() == 1) {
    entries_ = std::move(batches.front());
  } else if (in_batches) {
    std::size_t total = 0;
    for (const std::vector<SearchEntry>& batch : batches) total += batch.size();
    entries_.reserve(total);
    for (std::vector<SearchEntry>& batch : batches) {
      std::move(batch.begin(), batch.end(), std::back_inserter(entries_));
      batch = std::vector<SearchEntry>();
    }
  }
  // The tasks begun are the first ones: FILES.BBS, then details in order.
  const std::size_t detailed = begun >= 2 ? detailed_to[begun - 2] : 0;
  return SelectEntries(listed, detailed);
}

std::size_t DirectoryJob::SelectEntries(const Status& listed,
                                        std::size_t detailed) {
  if (!listed.ok()) {
    result_.reports.push_back(
        listed.At("cannot read directory", place_.Path()));
    result_.short_of_room |= listed.IsNoRoom();
    unreadable_ = true;
  }
  // One pass over what may be tens of thousands of names, on this thread
  // alone. Pages are looked for letter case aside, as they are found on a
  // system that ignores it.
  bool page = !listed.ok();
  bool json = settings_.json && !listed.ok();
  bool hidden = false;
  for (const SearchEntry& entry : entries_) {
    if (Hidden(entry)) {
      hidden = true;
      continue;
    }
    page = page || MayBePage(entry.Name);
    json = json || (settings_.json && MayBeJson(entry.Name));
  }
  result_.may_have_page = page;
  result_.may_have_json = json;
  if (hidden) Remove(Hidden, &entries_, &detailed);
  const int index = DescriptionFileOf(entries_);
  if (index >= 0) description_name_ = entries_[index].Name;
  // FILES.BBS read beside the names serves only where it is the one.
  if (loaded_ && description_name_ != kFilesBbsName) {
    descriptions_ = DirectoryDescriptions(settings_.free_memory);
    description_read_ = Status();
    loaded_ = false;
  }
  if (settings_.exclusions != nullptr && !settings_.exclusions->empty()) {
    Exclude(*settings_.exclusions, place_,
            OwnFiles{settings_.json, description_name_}, &entries_, &detailed);
  }
  return detailed;
}

void DirectoryJob::ReadDetails(std::size_t detailed) {
  std::size_t longest_name = 0;
  for (const SearchEntry& entry : entries_) {
    longest_name = std::max(longest_name, entry.Name.size());
  }
  const std::size_t missing = entries_.size() - detailed;
  const std::size_t detail_pieces =
      dir_.NamesOnly() ? (missing + kDetailsPiece - 1) / kDetailsPiece : 0;
  const auto run_piece = [&](std::size_t piece) {
    if (piece == 0) {
      if (!description_name_.empty() && !loaded_) {
        description_read_ = ReadFrom(dir_, description_name_, &descriptions_);
      }
      descriptions_.Index(longest_name);
    } else if (piece == 1) {
      order_ = NameOrder(entries_.data(), entries_.size());
    } else {
      const std::size_t first = detailed + (piece - 2) * kDetailsPiece;
      dir_.FillDetails(
          entries_.data() + first,
          entries_.data() + std::min(entries_.size(), first + kDetailsPiece));
    }
  };
  if (in_pieces()) {
    runner_.ForEach(2 + detail_pieces, run_piece);
  } else {
    for (std::size_t i = 0; i < 2 + detail_pieces; ++i) run_piece(i);
  }
  // Entries whose details the system refused get no row; that is told once
  // for the directory, with the reason of the first in the order read, the
  // same for every job count.
  for (const SearchEntry& entry : entries_) {
    if (entry.DetailsError == 0) continue;
    const Status refused = dir_.DetailsFailure(entry.DetailsError);
    if (!unreadable_) {
      result_.reports.push_back(
          refused.At("cannot read directory", place_.Path()));
    }
    result_.short_of_room |= refused.IsNoRoom();
    break;
  }
  if (!description_read_.ok() && !description_read_.IsNotFound()) {
    result_.reports.push_back(description_read_.At(
        "cannot read description file", place_.Path() + description_name_));
    result_.short_of_room |= description_read_.IsNoRoom();
  } else if (descriptions_.cut_short()) {
    // Short of room like any other read: read again alone, where it may
    // fit; told if it doesn't even then.
    result_.reports.push_back(Status::NoRoom("not enough memory")
                                  .At("description file cut short",
                                      place_.Path() + description_name_));
    result_.short_of_room = true;
  }
}

// What every piece of rows of the directory reads while they are made.
struct DirectoryJob::RowsShared {
  OwnFiles own;
  RowContext context;
  JsonContext json;
  TCode code = tAlt;
  // What the contexts' views read.
  std::string link, relative, href_prefix;
  // By piece, added up once all are made.
  std::vector<Totals> totals;
};

void DirectoryJob::ReadyRows(RowsShared* shared) const {
  shared->own = OwnFiles{settings_.json, description_name_};
  shared->context.RunMode = settings_.RunMode;
  shared->context.charset = settings_.charset;
  shared->code = descriptions_.code();
  // Put together only for a directory with files: a place deep down costs
  // time in proportion to its depth.
  if (settings_.prefixed_links &&
      std::any_of(entries_.begin(), entries_.end(), [](const SearchEntry& e) {
        return !e.Gone && !e.IsDirectory();
      })) {
    shared->link = place_.Link();
  }
  shared->context.file_link_prefix = shared->link;
  if (!settings_.json) return;
  std::string utf8;
  AppendNativeUtf8(place_.Relative(), &utf8);
  AppendJsonText(utf8, &shared->relative);
  if (settings_.prefixed_links) {
    shared->href_prefix = settings_.json_url;
    for (const std::string_view name : place_.Names()) {
      AppendHrefName(name,
                     shared->href_prefix.empty() ? kLinkBegins : kLinkInside,
                     &shared->href_prefix);
      shared->href_prefix.push_back('/');
    }
  }
  shared->json = JsonContext{shared->relative, shared->href_prefix};
}

void DirectoryJob::MakeRows() {
  RowsShared shared;
  ReadyRows(&shared);
  const std::size_t count = (order_.size() + kRowsPiece - 1) / kRowsPiece;
  result_.rows.resize(count);
  if (settings_.json) result_.json.resize(count);
  shared.totals.resize(count);
  // Rows that the sink takes as they are made go to it in order and are
  // freed then. Those handed on can't be taken back: a directory short of
  // room, which may be read again (or, read alone, may not), keeps its rows
  // in its result like any other.
  const bool as_made =
      settings_.sink->TakesRowsAsMade(place_) && !result_.short_of_room;
  const auto make = [&](std::size_t piece) { MakeRowPiece(shared, piece); };
  const auto hand_on = [&](std::size_t piece) { HandOnRows(piece); };
  if (!in_pieces()) {
    for (std::size_t i = 0; i < count; ++i) {
      make(i);
      if (as_made) hand_on(i);
    }
  } else if (as_made) {
    MakeRowsInOrder(count, make, hand_on);
  } else {
    runner_.ForEach(count, make);
  }
  if (as_made) {
    result_.rows.clear();
    result_.json.clear();
  }
  for (const Totals& piece : shared.totals) {
    result_.totals.TotalFiles += piece.TotalFiles;
    result_.totals.TotalBytes += piece.TotalBytes;
  }
}

void DirectoryJob::MakeRowPiece(RowsShared& shared, std::size_t piece) {
  // Kept by the thread for its next piece: a small directory's rows cost
  // no allocation of their own.
  KeptPerThread<RowLists> kept;
  const std::size_t first = piece * kRowsPiece;
  ListShown(entries_,
            std::span(order_).subspan(
                first, std::min(kRowsPiece, order_.size() - first)),
            shared.own, settings_.RunMode, &*kept);
  const std::vector<const SearchEntry*>& shown = kept->shown;
  std::vector<std::optional<std::string_view>>& descriptions =
      kept->descriptions;
  descriptions.assign(shown.size(), std::nullopt);
  descriptions_.Of(kept->names, descriptions.data());
  // Written here and put in place when done: the pieces' strings and
  // totals lie side by side, and threads writing next to each other would
  // take turns at every cache line they share.
  std::string out;
  Totals counted;
  out.reserve(shown.size() * kRowBytes);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    WriteRow(*shown[i], shared.context, descriptions[i], shared.code, &counted,
             &out);
  }
  result_.rows[piece] = std::move(out);
  shared.totals[piece] = counted;
  if (settings_.json) {
    std::string entries;
    entries.reserve(shown.size() * kJsonEntryBytes);
    for (std::size_t i = 0; i < shown.size(); ++i) {
      WriteJsonEntry(*shown[i], shared.context, shared.json, descriptions[i],
                     shared.code, &entries);
    }
    result_.json[piece] = std::move(entries);
  }
  // A large directory's are not kept: it allocates little beside its rows.
  if (kept->shown.capacity() > kKeptRows) *kept = RowLists();
}

void DirectoryJob::HandOnRows(std::size_t piece) {
  // Moved out, so that a piece's memory goes once it is taken (an empty
  // string assigned to it would keep its buffer to the end of the job).
  const std::string rows = std::move(result_.rows[piece]);
  const std::string entries =
      settings_.json ? std::move(result_.json[piece]) : std::string();
  settings_.sink->TakeRows(rows, entries);
}

void DirectoryJob::MakeRowsInOrder(
    std::size_t count, const std::function<void(std::size_t)>& make,
    const std::function<void(std::size_t)>& hand_on) {
  std::size_t handed_on = 0;
  bool hand_on_failed = false;
  try {
    runner_.ForEachInOrder(count, make, [&](std::size_t piece) {
      try {
        hand_on(piece);
      } catch (...) {
        hand_on_failed = true;
        throw;
      }
      handed_on = piece + 1;
    });
  } catch (const std::bad_alloc&) {
    // Rows handed on can't be taken back, so the directory can't be read
    // again: the rest are made here, one piece at a time, as one thread
    // makes them, once the pieces of others have given their memory back.
    // Only a piece half handed on is lost for good.
    if (hand_on_failed) throw;
    for (std::size_t i = handed_on; i < count; ++i) {
      result_.rows[i] = std::string();
      if (settings_.json) result_.json[i] = std::string();
    }
    for (std::size_t i = handed_on; i < count; ++i) {
      make(i);
      hand_on(i);
    }
  }
}

void DirectoryJob::ListSubdirectories() {
  // Counted in the entries' own order, which memory serves fastest; the
  // subdirectories, mostly few, are then taken in name order.
  std::size_t subdirectories = 0;
  for (const SearchEntry& entry : entries_) {
    if (entry.Gone) continue;
    if (!entry.IsDirectory()) {
      ++result_.files;
    } else if (!entry.IsLink()) {
      ++subdirectories;
    }
  }
  if (subdirectories == 0) return;
  result_.subdirectories.reserve(subdirectories);
  for (const std::uint32_t i : order_) {
    SearchEntry& entry = entries_[i];
    if (entry.Gone) continue;
    if (entry.IsDirectory() && !entry.IsLink()) {
      result_.subdirectories.push_back(std::move(entry.Name));
    }
  }
}

}  // namespace tabulon
