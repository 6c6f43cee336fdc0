#ifndef TABULON_DESCRIPTIONS_DESCRIPTION_FILE_H_
#define TABULON_DESCRIPTIONS_DESCRIPTION_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tabulon {

// Reads the bytes of a description file line by line. Nothing from the first
// Ctrl-Z (0x1A) on is ever read. The bytes must outlive the reader.
class DescriptionFile {
 public:
  // The longest line kept; the rest of a longer line is skipped.
  static constexpr std::size_t kMaxLine = 255;

  // With `utf8`, a line cut at 255 bytes loses the character the cut would
  // split, so it may come out shorter.
  explicit DescriptionFile(std::string_view bytes, bool utf8 = false);

  // True when no byte is left before the end or the first Ctrl-Z.
  bool AtEnd() const { return position_ >= bytes_.size(); }

  // Replaces *line with the next line: at most 255 bytes taken, CRs among
  // them dropped but counted, then skips past the line end (LF, CR LF or CR).
  void ReadLine(std::string* line);

  bool IsUtf8() const { return utf8_; }

  // The offset of the next byte, and setting the reader back to one.
  std::size_t Position() const { return position_; }
  void SetPosition(std::size_t position) { position_ = position; }
  // The bytes not read yet (up to the first Ctrl-Z).
  std::string_view Rest() const {
    return position_ < bytes_.size() ? bytes_.substr(position_)
                                     : std::string_view();
  }

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
  bool utf8_ = false;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTION_FILE_H_
