#include "driver/page_writer.h"

#include <algorithm>
#include <cstring>

namespace tabulon {
namespace {

// Bytes gathered before they go to the file or are compared: a page of a
// whole tree can run to tens of megabytes.
constexpr std::size_t kBlock = 1 << 20;
// A piece this large (the rows of a large directory) is not worth copying
// into the block first.
constexpr std::size_t kDirect = 64 << 10;
constexpr std::size_t kGathered = 16 << 10;

// Reads up to `size` bytes, fewer only at the end.
Status ReadFully(InputFile& file, char* buffer, std::size_t size,
                 std::size_t* got) {
  *got = 0;
  while (*got < size) {
    std::size_t n = 0;
    const Status status = file.Read(buffer + *got, size - *got, &n);
    if (!status.ok()) return status;
    if (n == 0) break;
    *got += n;
  }
  return Status::Ok();
}

}  // namespace

PageWriter::PageWriter(Directory& dir, std::string name, bool may_exist)
    : dir_(dir), name_(std::move(name)) {
  // A page that is a link is never read: its target may lie anywhere.
  if (!may_exist || !dir_.OpenInput(name_, Follow::kNever, &old_).ok()) {
    old_.reset();
    Create();
  }
}

PageWriter::~PageWriter() = default;

void PageWriter::Write(std::string_view bytes) {
  if (!status_.ok()) return;
  if (bytes.size() >= kDirect) {
    Flush();
    Put({&bytes, 1});
    return;
  }
  if (!last_is_ours_) {
    // Room for a page of a directory of some fifty files: most pages are
    // gathered whole in it.
    pending_.emplace_back().reserve(std::max(bytes.size(), kGathered));
    last_is_ours_ = true;
  }
  pending_.back().append(bytes);
  pending_bytes_ += bytes.size();
  if (pending_bytes_ >= kBlock) Flush();
}

void PageWriter::Write(std::string&& bytes) {
  if (!status_.ok()) return;
  pending_bytes_ += bytes.size();
  pending_.push_back(std::move(bytes));
  last_is_ours_ = false;
  if (pending_bytes_ >= kBlock) Flush();
}

void PageWriter::Flush() {
  std::vector<std::string_view> pieces(pending_.begin(), pending_.end());
  Put(pieces);
  pending_.clear();
  pending_bytes_ = 0;
  last_is_ours_ = false;
}

void PageWriter::Put(std::span<const std::string_view> pieces) {
  if (!status_.ok() || pieces.empty()) return;
  if (old_) {
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    compared_.resize(size);
    std::size_t got = 0;
    const Status read = ReadFully(*old_, compared_.data(), size, &got);
    bool same = read.ok() && got == size;
    for (std::size_t at = 0, i = 0; same && i < pieces.size(); ++i) {
      same = std::memcmp(compared_.data() + at, pieces[i].data(),
                         pieces[i].size()) == 0;
      at += pieces[i].size();
    }
    if (same) {
      matched_ += size;
      return;
    }
    Diverge();
    if (!status_.ok()) return;
  }
  status_ = out_->WriteGathered(pieces);
}

void PageWriter::Diverge() {
  std::unique_ptr<InputFile> old = std::move(old_);
  Create();
  if (!status_.ok()) return;
  // The new page begins with what was found equal: copied from the old one
  // rather than kept, so that a page of any size costs one block.
  Status status = old->Rewind();
  std::uint64_t left = matched_;
  compared_.resize(std::min<std::uint64_t>(left, kBlock));
  while (status.ok() && left > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
    std::size_t got = 0;
    status = ReadFully(*old, compared_.data(), want, &got);
    if (status.ok() && got != want) {
      status = Status::Failed("the page changed while it was read");
    }
    if (status.ok())
      status = out_->Write(std::string_view(compared_.data(), got));
    left -= got;
  }
  if (!status.ok()) status_ = status;
  compared_.clear();
  compared_.shrink_to_fit();
}

void PageWriter::Create() {
  const Status status = dir_.CreateOutput(name_, &out_);
  if (status.ok()) {
    created_ = true;
  } else {
    status_ = status;
  }
}

PageWriter::Outcome PageWriter::Close() {
  Flush();
  Outcome outcome;
  if (status_.ok() && old_) {
    char extra;
    std::size_t got = 0;
    if (old_->Read(&extra, 1, &got).ok() && got == 0) {
      old_.reset();
      outcome.unchanged = true;
      return outcome;
    }
    Diverge();  // the page on disk is longer
  }
  if (status_.ok()) status_ = out_->Commit();
  outcome.status = status_;
  outcome.created = created_;
  out_.reset();
  return outcome;
}

}  // namespace tabulon
