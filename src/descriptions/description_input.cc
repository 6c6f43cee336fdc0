#include "descriptions/description_input.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/utf8.h"

namespace tabulon {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 16;
// A file whose text fits here is read once, however many passes it takes.
constexpr std::size_t kKeepLimit = std::size_t{1} << 18;
constexpr char32_t kReplacement = 0xFFFD;
// Of a run of zero bytes that the file does not store (a hole of a sparse
// file), no more than this many are read, and its parity is kept. No
// reader tells the run from a longer one: a zero byte ends no line and
// marks nothing, every line and record is cut at 4,096 bytes, and a UTF-16
// file keeps its byte pairs. So a file a terabyte long, but for a few
// stored blocks, takes no longer to read than those blocks.
constexpr std::uint64_t kZerosRead = kBlock;

}  // namespace

Status DescriptionInput::Open() {
  char head[3];
  std::size_t have = 0;
  while (have < sizeof head) {
    std::size_t got = 0;
    status_ = file_.Read(head + have, sizeof head - have, &got);
    if (!status_.ok()) {
      ended_ = true;
      return status_;
    }
    if (got == 0) break;
    have += got;
  }
  const std::string_view bytes(head, have);
  std::size_t mark = 0;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    mark_ = Mark::kUtf8;
    mark = 3;
  } else if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    mark_ = Mark::kUtf16;
    big_endian_ = bytes[0] == '\xFE';
    mark = 2;
  }
  lookahead_.assign(bytes.substr(mark));
  return status_;
}

std::size_t DescriptionInput::ReadRaw(char* buffer, std::size_t size) {
  std::size_t got = 0;
  if (lookahead_at_ < lookahead_.size()) {
    got = std::min(size, lookahead_.size() - lookahead_at_);
    std::memcpy(buffer, lookahead_.data() + lookahead_at_, got);
    lookahead_at_ += got;
  } else {
    // Holes are asked for only after a zero byte: a file system may have
    // to write a file out before it can tell them, and a text that has no
    // long run of zeros should cost no such call.
    if (const std::uint64_t zeros = after_zero_ ? file_.ZerosAhead() : 0;
        zeros > kZerosRead) {
      status_ = file_.Skip((zeros - kZerosRead) & ~std::uint64_t{1});
      if (!status_.ok()) return 0;
    }
    status_ = file_.Read(buffer, size, &got);
    if (!status_.ok()) return 0;
  }
  after_zero_ = got > 0 && buffer[got - 1] == '\0';
  return got;
}

void DescriptionInput::AppendUnit(char16_t unit) {
  const bool high = unit >= 0xD800 && unit <= 0xDBFF;
  const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
  if (high_ != 0) {
    if (low) {
      AppendUtf8(0x10000 + ((char32_t{high_} - 0xD800) << 10) +
                     (char32_t{unit} - 0xDC00),
                 &text_);
      high_ = 0;
      return;
    }
    AppendUtf8(kReplacement, &text_);
    high_ = 0;
  }
  if (high) {
    high_ = unit;
  } else {
    AppendUtf8(low ? kReplacement : char32_t{unit}, &text_);
  }
}

void DescriptionInput::ConvertUtf16(std::string_view raw, bool last) {
  const auto unit = [this](char a, char b) {
    const auto first = static_cast<std::uint8_t>(a);
    const auto second = static_cast<std::uint8_t>(b);
    return static_cast<char16_t>(big_endian_ ? first << 8 | second
                                             : second << 8 | first);
  };
  std::size_t i = 0;
  if (odd_byte_ >= 0 && !raw.empty()) {
    AppendUnit(unit(static_cast<char>(odd_byte_), raw[0]));
    odd_byte_ = -1;
    i = 1;
  }
  for (; i + 1 < raw.size(); i += 2) AppendUnit(unit(raw[i], raw[i + 1]));
  if (i < raw.size()) odd_byte_ = static_cast<std::uint8_t>(raw[i]);
  if (last) {
    if (high_ != 0) AppendUtf8(kReplacement, &text_);
    if (odd_byte_ >= 0) AppendUtf8(kReplacement, &text_);
    high_ = 0;
    odd_byte_ = -1;
  }
}

std::string_view DescriptionInput::Next() {
  if (replaying_) {
    if (replay_ < kept_ends_.size()) {
      const std::size_t begin = replay_ == 0 ? 0 : kept_ends_[replay_ - 1];
      const std::size_t end = kept_ends_[replay_++];
      return std::string_view(kept_).substr(begin, end - begin);
    }
    replaying_ = false;
    std::string().swap(kept_);
    std::vector<std::size_t>().swap(kept_ends_);
    if (!unkept_.empty()) return std::exchange(unkept_, std::string_view());
  }
  if (ended_ || !status_.ok()) return {};
  // Two buffers in turn, neither cleared first: the block served last stays
  // as it is while the next one is read, so that a small file is kept for a
  // second pass without being copied.
  if (!raw_[0]) {
    raw_[0].reset(new char[kBlock]);
    raw_[1].reset(new char[kBlock]);
  }
  for (;;) {
    char* const buffer = raw_[turn_].get();
    const std::size_t got = ReadRaw(buffer, kBlock);
    if (!status_.ok()) {
      ended_ = true;
      return {};
    }
    if (got > 0) turn_ ^= 1;
    std::string_view block;
    if (mark_ == Mark::kUtf16) {
      text_.clear();
      ConvertUtf16(std::string_view(buffer, got), got == 0);
      block = text_;
    } else {
      block = std::string_view(buffer, got);
    }
    if (got == 0) ended_ = true;
    if (block.empty()) {
      if (ended_) return {};
      continue;  // a UTF-16 read of one byte
    }
    const std::size_t ctrl_z = block.find('\x1A');
    if (ctrl_z != block.npos) {
      block = block.substr(0, ctrl_z);
      ended_ = true;
    }
    if (keeping_) Keep(block);
    return block;
  }
}

void DescriptionInput::Keep(std::string_view block) {
  if (kept_.size() + unkept_.size() + block.size() > kKeepLimit) {
    keeping_ = false;
    unkept_ = {};
    std::string().swap(kept_);
    std::vector<std::size_t>().swap(kept_ends_);
    return;
  }
  if (!unkept_.empty()) {
    kept_.append(unkept_);
    kept_ends_.push_back(kept_.size());
    unkept_ = {};
  }
  if (block.empty()) return;
  if (mark_ == Mark::kUtf16) {
    // Converted text is made anew for every block: kept at once.
    kept_.append(block);
    kept_ends_.push_back(kept_.size());
  } else {
    unkept_ = block;
  }
}

Status DescriptionInput::Restart() {
  if (keeping_) {
    // Everything served so far is in kept_ and then unkept_; the file goes
    // on from where it stands after it.
    keeping_ = false;
    replaying_ = true;
    replay_ = 0;
    return Status::Ok();
  }
  status_ = file_.Rewind();
  if (!status_.ok()) {
    ended_ = true;
    return status_;
  }
  ended_ = false;
  odd_byte_ = -1;
  high_ = 0;
  lookahead_.clear();
  lookahead_at_ = 0;
  after_zero_ = false;
  std::size_t mark = mark_ == Mark::kUtf8 ? 3 : mark_ == Mark::kUtf16 ? 2 : 0;
  while (mark > 0) {
    char skipped[3];
    const std::size_t got = ReadRaw(skipped, mark);
    if (got == 0) break;
    mark -= got;
  }
  if (!status_.ok()) ended_ = true;
  return status_;
}

void LineEndScan::Add(std::string_view block) {
  const char* const begin = block.data();
  const char* const end = begin + block.size();
  const char* at = begin;
  while (at < end) {
    if (state_ == State::kLooking) {
      // Only the first line end matters: two searches that the library does
      // many bytes at a time, not a test of every byte.
      const auto* const cr = static_cast<const char*>(
          std::memchr(at, '\r', static_cast<std::size_t>(end - at)));
      const auto* const lf = static_cast<const char*>(std::memchr(
          at, '\n', static_cast<std::size_t>((cr != nullptr ? cr : end) - at)));
      if (lf != nullptr) {
        state_ = State::kLf;
      } else if (cr != nullptr) {
        state_ = State::kInCrRun;
        at = cr + 1;
        continue;
      }
      return;
    }
    if (state_ != State::kInCrRun) return;
    if (*at == '\r') {
      ++at;
      continue;
    }
    state_ = *at == '\n' ? State::kLf : State::kCr;
  }
}

Utf8Scan ScanUtf8(DescriptionInput& input, bool skip_marked,
                  LineEndScan* line_ends) {
  Utf8Scan scan;
  int need = 0;  // continuation bytes still to come
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  bool marked = false;
  // Ends the scan at an invalid byte, reading on only as far as the line
  // ends are still undecided.
  const auto invalid = [&] {
    scan.valid = false;
    while (line_ends != nullptr && !line_ends->decided()) {
      const std::string_view block = input.Next();
      if (block.empty()) break;
      line_ends->Add(block);
    }
    return scan;
  };
  for (std::string_view block = input.Next(); !block.empty();
       block = input.Next()) {
    if (line_ends != nullptr) line_ends->Add(block);
    for (const char c : block) {
      const auto b = static_cast<std::uint8_t>(c);
      if (need > 0) {
        if (b < low || b > high) return invalid();
        low = 0x80;
        high = 0xBF;
        --need;
        continue;
      }
      if (marked) {
        marked = b != '\n' && b != '\r';
        continue;
      }
      if (b < 0x80) {
        marked = skip_marked && b == 0x04;
        continue;
      }
      // The first continuation byte's range rules out overlong forms,
      // surrogates and what lies beyond U+10FFFF.
      if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
      } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
      } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
      } else {
        return invalid();
      }
      scan.beyond_ascii = true;
    }
  }
  if (need > 0) scan.valid = false;
  return scan;
}

void LetterCounts::Add(std::string_view text) {
  // Counted in byte-wide counters over at most 255 bytes at a time, without
  // branches, so that the compiler tests many bytes at once: every record
  // of every description file goes through here.
  while (!text.empty()) {
    const std::size_t n = std::min<std::size_t>(text.size(), 255);
    const auto* const p = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint8_t a = 0;
    std::uint8_t k = 0;
    std::uint8_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t b = p[i];
      a = static_cast<std::uint8_t>(
          a + ((static_cast<std::uint8_t>(b - 0xA0) < 16) |
               (static_cast<std::uint8_t>(b - 0xE0) < 16)));
      k = static_cast<std::uint8_t>(
          k + ((static_cast<std::uint8_t>(b - 0xC0) < 32) & (b != 0xD6) &
               (b != 0xD7) & (b != 0xDA)));
      w = static_cast<std::uint8_t>(w + (b >= 0xE0));
    }
    alt += a;
    koi += k;
    win += w;
    text.remove_prefix(n);
  }
}

TCode LetterCounts::Decide() const {
  if (koi > alt && koi > win) return tKoi;
  if (win > alt && win > koi) return tWin;
  return tAlt;
}

}  // namespace tabulon
