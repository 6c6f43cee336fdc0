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
  if (bytes.size() < kDirect && buffer_.size() + bytes.size() < kBlock) {
    buffer_.append(bytes);
    return;
  }
  Flush();
  Put(bytes);
}

void PageWriter::Flush() {
  Put(buffer_);
  buffer_.clear();
}

void PageWriter::Put(std::string_view bytes) {
  if (!status_.ok() || bytes.empty()) return;
  if (old_) {
    compared_.resize(bytes.size());
    std::size_t got = 0;
    const Status read = ReadFully(*old_, compared_.data(), bytes.size(), &got);
    if (read.ok() && got == bytes.size() &&
        std::memcmp(compared_.data(), bytes.data(), got) == 0) {
      matched_ += got;
      return;
    }
    Diverge();
    if (!status_.ok()) return;
  }
  status_ = out_->Write(bytes);
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
