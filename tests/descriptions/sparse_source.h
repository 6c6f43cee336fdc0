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
// serves it: a hole reads as zeros and ZerosAhead tells its length. More
// than `budget` bytes read in all fail the reading, so that a reader that
// reads a hole of a terabyte through fails at once instead of taking hours.
class SparseSource final : public ByteSource {
 public:
  // A piece: stored bytes, or (when `bytes` is empty) a hole of `zeros`.
  struct Piece {
    std::string bytes;
    std::uint64_t zeros = 0;
  };

  explicit SparseSource(std::vector<Piece> pieces,
                        std::uint64_t budget = std::uint64_t{8} << 20)
      : pieces_(std::move(pieces)), budget_(budget) {}

  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    std::uint64_t offset = position_;
    for (const Piece& piece : pieces_) {
      const std::uint64_t length = Length(piece);
      if (offset >= length) {
        offset -= length;
        continue;
      }
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::uint64_t>(size, length - offset));
      if (piece.bytes.empty()) {
        std::memset(buffer, 0, n);
      } else {
        std::memcpy(buffer, piece.bytes.data() + offset, n);
      }
      read_ += n;
      if (read_ > budget_) return Status::Failed("read the holes through");
      position_ += n;
      *got = n;
      break;
    }
    return Status::Ok();
  }
  Status Rewind() override {
    position_ = 0;
    return Status::Ok();
  }
  std::uint64_t ZerosAhead() override {
    std::uint64_t offset = position_;
    std::uint64_t zeros = 0;
    for (const Piece& piece : pieces_) {
      const std::uint64_t length = Length(piece);
      if (offset >= length) {
        offset -= length;
        continue;
      }
      if (!piece.bytes.empty()) break;
      zeros += length - offset;
      offset = 0;
    }
    return zeros;
  }
  Status Skip(std::uint64_t count) override {
    if (count > ZerosAhead()) return Status::Failed("skipped stored bytes");
    position_ += count;
    return Status::Ok();
  }

 private:
  static std::uint64_t Length(const Piece& piece) {
    return piece.bytes.empty() ? piece.zeros : piece.bytes.size();
  }

  std::vector<Piece> pieces_;
  std::uint64_t budget_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
};

}  // namespace tabulon

#endif  // TABULON_TESTS_DESCRIPTIONS_SPARSE_SOURCE_H_
