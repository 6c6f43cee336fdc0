#ifndef TABULON_DESCRIPTIONS_DESCRIPTION_INPUT_H_
#define TABULON_DESCRIPTIONS_DESCRIPTION_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_source.h"
#include "common/status.h"
#include "common/types.h"

namespace tabulon {

// The text of a description file, a block at a time, up to its first
// Ctrl-Z: a byte order mark never reaches the reader, and a UTF-16 file
// arrives converted to UTF-8 (an unpaired surrogate, or a last odd byte,
// becomes U+FFFD). Holds at most a few blocks, whatever the file's size.
class DescriptionInput {
 public:
  enum class Mark { kNone, kUtf8, kUtf16 };

  explicit DescriptionInput(ByteSource& file) : file_(file) {}

  // Reads the byte order mark, if any. Call once, before Next.
  Status Open();
  Mark mark() const { return mark_; }

  // The next block of text; empty at the end, at the first Ctrl-Z and after
  // a read failure (see status()). Valid until the next call.
  std::string_view Next();

  // Starts over from the first byte after the mark, once: from the blocks
  // kept in memory when everything read so far was small, else by going
  // back in the file.
  Status Restart();
  // Tells that Restart will not be called, so nothing need be kept.
  void ReadOnce() { keeping_ = false; }

  // The first read failure, or ok.
  const Status& status() const { return status_; }

 private:
  // Up to `size` bytes of the file after the mark; 0 at its end.
  std::size_t ReadRaw(char* buffer, std::size_t size);
  // Converts `raw` UTF-16 bytes into text_, keeping a split unit or pair
  // for the next block; `last` flushes what is kept.
  void ConvertUtf16(std::string_view raw, bool last);
  void AppendUnit(char16_t unit);

  ByteSource& file_;
  Mark mark_ = Mark::kNone;
  bool big_endian_ = false;
  Status status_;
  bool ended_ = false;
  // Bytes read past the mark while looking for it, served before the file.
  std::string lookahead_;
  std::size_t lookahead_at_ = 0;
  // Whether the last byte read was a zero, after which a hole may begin.
  bool after_zero_ = false;

  // Adds a block served while keeping to what a second pass replays.
  void Keep(std::string_view block);

  std::unique_ptr<char[]> raw_[2];
  int turn_ = 0;  // of raw_, the one the next read goes to
  std::string text_;
  // UTF-16: the byte of a unit that a block split, and a high surrogate
  // still waiting for its low one.
  int odd_byte_ = -1;
  char16_t high_ = 0;

  // What was served so far, while it is small, so that a second pass over
  // a small file reads nothing twice.
  bool keeping_ = true;
  std::string kept_;
  std::vector<std::size_t> kept_ends_;
  // The last block served, still in its buffer: kept without a copy until
  // another block is read.
  std::string_view unkept_;
  std::size_t replay_ = 0;
  bool replaying_ = false;
};

// A reader's place in a DescriptionInput: the block being read and its
// next byte.
struct InputCursor {
  explicit InputCursor(DescriptionInput& from) : input(from) {}

  // Whether no byte is left before the end or the first Ctrl-Z; loads the
  // next block when the current one is used up.
  bool AtEnd() {
    while (at == block.size()) {
      block = input.Next();
      at = 0;
      if (block.empty()) return true;
    }
    return false;
  }

  DescriptionInput& input;
  std::string_view block;
  std::size_t at = 0;
};

// How the lines of a FILES.BBS end, told by its first line end: a run of
// CRs before any LF that is followed by another byte, or by the end, makes
// every CR a line end (old Mac text); otherwise lines end at LF. Fed the
// text a block at a time until decided().
class LineEndScan {
 public:
  void Add(std::string_view block);
  bool decided() const { return state_ == State::kLf || state_ == State::kCr; }
  // Whether lines end at CR; a file that ends inside the first run of CRs
  // counts as such, one without any line end does not.
  bool cr_only() const {
    return state_ == State::kCr || state_ == State::kInCrRun;
  }

 private:
  enum class State { kLooking, kInCrRun, kLf, kCr };
  State state_ = State::kLooking;
};

// What a first pass over a description file found: whether the bytes that
// count (before the first Ctrl-Z; with `skip_marked`, also not those from a
// byte 0x04 to the end of its line) are strict UTF-8, and whether one of
// them starts a character beyond ASCII. Stops at the first invalid byte, or
// with `line_ends`, once that is decided too.
struct Utf8Scan {
  bool valid = true;
  bool beyond_ascii = false;
};
Utf8Scan ScanUtf8(DescriptionInput& input, bool skip_marked,
                  LineEndScan* line_ends = nullptr);

// The three letter counters that decide a one-byte code page.
struct LetterCounts {
  std::int64_t alt = 0;
  std::int64_t koi = 0;
  std::int64_t win = 0;

  void Add(std::string_view text);
  // tKoi or tWin where its count is strictly the highest, else tAlt.
  TCode Decide() const;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTION_INPUT_H_
