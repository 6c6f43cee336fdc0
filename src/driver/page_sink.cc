#include "driver/page_sink.h"

#include <utility>

#include "common/entry_rules.h"
#include "common/version.h"
#include "html/json_listing.h"
#include "html/page.h"

namespace tabulon {
namespace {

// The directory at `relative` ("/" after each name) as FILES.JSON names it:
// no "/" at its end.
std::string_view JsonDirectory(std::string_view relative) {
  if (!relative.empty()) relative.remove_suffix(1);
  return relative;
}

// The report of a page that could not be made or replaced, if any.
std::optional<Status> ReportOf(const PageWriter::Outcome& outcome,
                               const std::string& listing) {
  if (outcome.status.ok()) return std::nullopt;
  return outcome.status.At(
      outcome.created ? "cannot write listing" : "cannot create listing",
      listing);
}

}  // namespace

ListPage::ListPage(Platform& platform, Directory& root,
                   const std::string& from_dir, char separator,
                   TCharset charset, bool json)
    : platform_(platform),
      listing_(from_dir + kPageName),
      page_(root, kPageName) {
  std::string head;
  WriteHeader(DirectoryTitle(from_dir, separator), charset, &head);
  page_.Write(head);
  // Without a page there is no walk: an old FILES.JSON stays as it is.
  if (json && page_.creatable()) {
    json_ = std::make_unique<PageWriter>(root, kJsonName);
    head.clear();
    WriteJsonHead(kVersion, "", &head);
    json_->Write(head);
  }
}

void ListPage::TakeRows(std::string_view rows, std::string_view json) {
  page_.Write(rows);
  if (json_ != nullptr) json_->Write(JsonEntriesAfter(json, &first_entry_));
}

void ListPage::Take(DirectoryResult* result) {
  for (std::string& piece : result->rows) page_.Write(std::move(piece));
  result->rows.clear();
  if (json_ != nullptr) {
    for (const std::string& piece : result->json) {
      json_->Write(JsonEntriesAfter(piece, &first_entry_));
    }
  }
  result->json.clear();
  totals_.TotalFiles += result->totals.TotalFiles;
  totals_.TotalBytes += result->totals.TotalBytes;
}

std::vector<Status> ListPage::Close() {
  std::vector<Status> reports;
  std::string foot;
  WriteFooter(totals_, platform_.Today(), &foot);
  page_.Write(foot);
  const PageWriter::Outcome outcome = page_.Close();
  if (std::optional<Status> report = ReportOf(outcome, listing_)) {
    reports.push_back(std::move(*report));
  } else {
    (outcome.unchanged ? unchanged_ : written_) = 1;
  }
  if (json_ != nullptr) {
    foot.clear();
    WriteJsonFoot(totals_, !first_entry_, &foot);
    json_->Write(foot);
    const std::string path =
        listing_.substr(0, listing_.size() - (sizeof kPageName - 1)) +
        kJsonName;
    if (std::optional<Status> report = ReportOf(json_->Close(), path)) {
      reports.push_back(std::move(*report));
    }
  }
  return reports;
}

void TreePages::Take(DirectoryResult* result) {
  written_ += result->page_written;
  unchanged_ += result->page_unchanged;
  totals_.TotalFiles += result->totals.TotalFiles;
  totals_.TotalBytes += result->totals.TotalBytes;
}

void TreePages::Finish(Directory& dir, const Place& place,
                       DirectoryResult* result) {
  PageWriter page(dir, kPageName, result->may_have_page);
  std::string frame;
  WriteHeader(place.Title(), charset_, &frame);
  page.Write(frame);
  for (const std::string& piece : result->rows) page.Write(piece);
  result->rows.clear();
  frame.clear();
  WriteFooter(result->totals, platform_.Today(), &frame);
  page.Write(frame);
  const PageWriter::Outcome outcome = page.Close();
  if (!outcome.status.ok()) {
    result->reports.push_back(*ReportOf(outcome, place.Path() + kPageName));
    result->short_of_room |= outcome.status.IsNoRoom();
  } else {
    (outcome.unchanged ? result->page_unchanged : result->page_written) = true;
  }
  if (!json_) return;
  PageWriter json(dir, kJsonName, result->may_have_json);
  frame.clear();
  WriteJsonHead(kVersion, JsonDirectory(place.Relative()), &frame);
  json.Write(frame);
  bool first = true;
  for (const std::string& piece : result->json) {
    json.Write(JsonEntriesAfter(piece, &first));
  }
  result->json.clear();
  frame.clear();
  WriteJsonFoot(result->totals, !first, &frame);
  json.Write(frame);
  const PageWriter::Outcome written = json.Close();
  if (!written.status.ok()) {
    result->reports.push_back(*ReportOf(written, place.Path() + kJsonName));
    result->short_of_room |= written.status.IsNoRoom();
  }
}

}  // namespace tabulon
