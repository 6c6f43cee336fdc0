#include "driver/page_sink.h"

#include <utility>

#include "html/page.h"

namespace tabulon {
namespace {

constexpr char kListing[] = "FILES.HTM";

// The report of a page that could not be made or replaced, if any.
std::optional<Report> ReportOf(const PageWriter::Outcome& outcome,
                               const std::string& listing) {
  if (outcome.status.ok()) return std::nullopt;
  return Report{
      outcome.created ? "cannot write listing" : "cannot create listing",
      listing, outcome.status.reason()};
}

}  // namespace

ListPage::ListPage(Platform& platform, Directory& root,
                   const std::string& from_dir, char separator,
                   TCharset charset)
    : platform_(platform),
      listing_(from_dir + kListing),
      page_(root, kListing) {
  std::string head;
  WriteHeader(DirectoryTitle(from_dir, separator), charset, &head);
  page_.Write(head);
}

void ListPage::Take(DirectoryResult* result) {
  for (std::string& piece : result->rows) page_.Write(std::move(piece));
  result->rows.clear();
  totals_.TotalFiles += result->totals.TotalFiles;
  totals_.TotalBytes += result->totals.TotalBytes;
}

std::optional<Report> ListPage::Close() {
  std::string foot;
  WriteFooter(totals_, platform_.Today(), &foot);
  page_.Write(foot);
  return ReportOf(page_.Close(), listing_);
}

void TreePages::Finish(Directory& dir, const Place& place,
                       DirectoryResult* result) {
  PageWriter page(dir, kListing, result->may_have_page);
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
    result->reports.push_back(*ReportOf(outcome, place.Path() + kListing));
  }
}

std::string DirectoryTitle(std::string_view path, char separator) {
  std::size_t n = path.size();
  if (n > 0 && path[n - 1] == separator) --n;
  const std::size_t k = path.substr(0, n).rfind(separator);
  return std::string(k == std::string_view::npos
                         ? path.substr(0, n)
                         : path.substr(k + 1, n - k - 1));
}

}  // namespace tabulon
