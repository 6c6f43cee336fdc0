#ifndef TABULON_COMMON_BYTE_SOURCE_H_
#define TABULON_COMMON_BYTE_SOURCE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/status.h"

namespace tabulon {

// Bytes read a block at a time, from the first byte on: a description file
// of any size is read without holding it whole. Used by one thread at a
// time.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `size` bytes of `buffer` and stores how many in *got; *got
  // is 0 only at the end. A failure ends the reading; *got is then 0.
  virtual Status Read(char* buffer, std::size_t size, std::size_t* got) = 0;
  // Goes back to the first byte.
  virtual Status Rewind() = 0;
  // How many of the bytes from here on are known to be zeros without being
  // read (a hole of a sparse file); 0 where the source can't tell.
  virtual std::uint64_t ZerosAhead() { return 0; }
  // Passes over `count` bytes, at most as many as ZerosAhead told, as if
  // they had been read.
  virtual Status Skip(std::uint64_t count) {
    char buffer[4096];
    while (count > 0) {
      std::size_t got = 0;
      const Status status =
          Read(buffer,
               static_cast<std::size_t>(
                   std::min<std::uint64_t>(count, sizeof buffer)),
               &got);
      if (!status.ok()) return status;
      if (got == 0) break;
      count -= got;
    }
    return Status::Ok();
  }
};

}  // namespace tabulon

#endif  // TABULON_COMMON_BYTE_SOURCE_H_
