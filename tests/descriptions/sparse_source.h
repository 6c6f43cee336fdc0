#ifndef TABULON_TESTS_DESCRIPTIONS_SPARSE_SOURCE_H_
#define TABULON_TESTS_DESCRIPTIONS_SPARSE_SOURCE_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_source.h"

namespace tabulon {

// A file of stored pieces and holes, as a file system with sparse files
// serves it: a hole reads as zeros, and ZerosAhead tells how many lie
// ahead. Reading more than 8 MiB in all fails, so that a reader that reads
// a hole of a terabyte through fails at once instead of taking hours.
class SparseSource final : public ByteSource {
 public:
  // Stored bytes, or (when empty) a hole of `zeros` bytes.
  struct Piece {
    std::string bytes;
    std::uint64_t zeros = 0;
    std::uint64_t size() const { return bytes.empty() ? zeros : bytes.size(); }
  };

  explicit SparseSource(std::vector<Piece> pieces)
      : pieces_(std::move(pieces)) {}

  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const auto [piece, left] = Here();
    *got = static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
    if (*got == 0) return Status::Ok();
    if (piece->bytes.empty()) {
      std::memset(buffer, 0, *got);
    } else {
      std::memcpy(buffer, piece->bytes.data() + piece->size() - left, *got);
    }
    position_ += *got;
    read_ += *got;
    return read_ > (8 << 20) ? Status::Failed("read the holes through")
                             : Status::Ok();
  }
  Status Rewind() override {
    position_ = 0;
    return Status::Ok();
  }
  std::uint64_t ZerosAhead() override {
    ++asked_;
    return Zeros();
  }
  Status Skip(std::uint64_t count) override {
    if (count > Zeros()) return Status::Failed("skipped stored bytes");
    position_ += count;
    return Status::Ok();
  }
  // How many times ZerosAhead was asked.
  int asked() const { return asked_; }

 private:
  // The piece the next byte lies in and how many of its bytes are left;
  // none at the end.
  std::pair<const Piece*, std::uint64_t> Here() const {
    std::uint64_t offset = position_;
    for (const Piece& piece : pieces_) {
      if (offset < piece.size()) return {&piece, piece.size() - offset};
      offset -= piece.size();
    }
    return {nullptr, 0};
  }
  std::uint64_t Zeros() const {
    const auto [piece, left] = Here();
    return piece != nullptr && piece->bytes.empty() ? left : 0;
  }

  std::vector<Piece> pieces_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  int asked_ = 0;
};

}  // namespace tabulon

#endif  // TABULON_TESTS_DESCRIPTIONS_SPARSE_SOURCE_H_
