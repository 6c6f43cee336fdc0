#ifndef TABULON_TESTS_SUPPORT_STRING_SOURCE_H_
#define TABULON_TESTS_SUPPORT_STRING_SOURCE_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/byte_source.h"

namespace tabulon {

// The bytes of a string as a ByteSource; the bytes must outlive it. At most
// `block` bytes come back per Read, so that readers meet block ends where
// tests want them.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string_view bytes,
                        std::size_t block = static_cast<std::size_t>(-1))
      : bytes_(bytes), block_(block == 0 ? 1 : block) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const std::size_t n = std::min({size, block_, bytes_.size() - position_});
    if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    *got = n;
    return Status::Ok();
  }
  Status Rewind() override {
    position_ = 0;
    return Status::Ok();
  }

 private:
  std::string_view bytes_;
  std::size_t block_;
  std::size_t position_ = 0;
};

}  // namespace tabulon

#endif  // TABULON_TESTS_SUPPORT_STRING_SOURCE_H_
