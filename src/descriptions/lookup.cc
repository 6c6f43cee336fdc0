#include "descriptions/lookup.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "common/code_pages.h"
#include "common/per_thread.h"
#include "common/prefetch.h"
#include "common/unicode_upper.h"
#include "common/utf8.h"
#include "descriptions/letter_case.h"

namespace tabulon {
namespace {

// A name's key in a code page, made for its lookup.
struct KeyTag;
[[maybe_unused]] const bool kKeyReadied =
    AddPerThreadReady(&KeptPerThread<std::string, KeyTag>::Ready);

bool IsBlankOrControl(char c) { return static_cast<std::uint8_t>(c) <= 0x20; }

// Whether `record` begins with the upper-cased `key`, ignoring the case of
// the record's letters.
bool BeginsWith(std::string_view record, std::string_view key,
                const std::uint8_t* upper) {
  if (key.empty() || key.size() > record.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (upper[static_cast<std::uint8_t>(record[i])] !=
        static_cast<std::uint8_t>(key[i])) {
      return false;
    }
  }
  return true;
}

// The key for a UTF-8 list: the name as UTF-8, letters raised. A byte of a
// POSIX name that is not UTF-8 stands for its code page 866 character, as
// it does on the page.
std::optional<std::string> Utf8Key(std::string_view name) {
  std::string text;
  text.reserve(name.size());
  std::size_t pos = 0;
  while (pos < name.size()) {
    const std::size_t start = pos;
    char32_t c;
    const bool valid = DecodeUtf8(name, &pos, &c);
    if (c == 0) return std::nullopt;
    if (valid) {
      text.append(name.substr(start, pos - start));
    } else {
      AppendUtf8(kCp866ToUnicode[c], &text);
    }
  }
  std::string key;
  key.reserve(text.size());
  AppendUpperUtf8(text, &key);
  return key;
}

// `record` upper-cased by the rule of `code`.
void AppendUpper(std::string_view record, TCode code, std::string* out) {
  if (code == tUtf8) {
    AppendUpperUtf8(record, out);
    return;
  }
  const std::size_t at = out->size();
  out->append(record);
  UpperCaseInPlace(code, out->data() + at, record.size());
}

// The key byte (upper-cased) of every character below U+0800 in a one-byte
// code page, -1 where it has none: names are mostly such characters.
using KeyBytes = std::array<std::int16_t, 0x800>;

KeyBytes MakeKeyBytes(TCode code) {
  const std::uint8_t* upper = UpperCaseOf(code);
  KeyBytes bytes{};
  for (char32_t c = 0; c < 0x800; ++c) {
    const int byte = c == 0 ? -1 : ByteOf(c, code);
    bytes[c] = static_cast<std::int16_t>(byte < 0 ? -1 : upper[byte]);
  }
  return bytes;
}

const KeyBytes& KeyBytesOf(TCode code) {
  static const KeyBytes kAltKeys = MakeKeyBytes(tAlt);
  static const KeyBytes kWinKeys = MakeKeyBytes(tWin);
  static const KeyBytes kKoiKeys = MakeKeyBytes(tKoi);
  return code == tWin ? kWinKeys : code == tKoi ? kKoiKeys : kAltKeys;
}

// DescriptionKey for a one-byte code page, written into *key (which is
// cleared first); false when the name has no key.
bool CodePageKey(std::string_view name, TCode code, std::string* key) {
  const KeyBytes& keys = KeyBytesOf(code);
  // Each character of the name gives one byte at most.
  key->resize(name.size());
  char* const begin = key->data();
  char* to = begin;
  const std::uint8_t* const from =
      reinterpret_cast<const std::uint8_t*>(name.data());
  const std::size_t n = name.size();
  std::size_t pos = 0;
  while (pos < n) {
    // ASCII is itself in each of these code pages, its letters raised.
    if (pos + 8 <= n && UpperAsciiEight(name.data() + pos, to)) {
      to += 8;
      pos += 8;
      continue;
    }
    const std::uint8_t b = from[pos];
    int byte;
    if (b < 0x80) {
      byte = keys[b];
      ++pos;
    } else if (b >= 0xC2 && b <= 0xDF && pos + 1 < n &&
               (from[pos + 1] & 0xC0) == 0x80) {
      byte = keys[static_cast<std::size_t>((b & 0x1F) << 6 |
                                           (from[pos + 1] & 0x3F))];
      pos += 2;
    } else {
      char32_t c;
      // A POSIX name may hold bytes that are not UTF-8; such a byte is read
      // as code page 866, the code page names are shown in.
      if (!DecodeUtf8(name, &pos, &c)) c = kCp866ToUnicode[c];
      byte = c == 0 ? -1 : c < 0x800 ? keys[c] : ByteOf(c, code);
      if (c >= 0x800 && byte >= 0) byte = UpperCaseOf(code)[byte];
    }
    if (byte < 0) return false;
    *to++ = static_cast<char>(byte);
  }
  key->resize(static_cast<std::size_t>(to - begin));
  return true;
}

using Head = std::pair<std::uint64_t, std::uint64_t>;
constexpr std::size_t kHeadSize = 16;

// The first 16 bytes of `bytes`, zero-padded, as two big-endian numbers.
// Where two heads differ, they order as the whole byte strings do.
Head HeadOf(std::string_view bytes) {
  unsigned char head[kHeadSize] = {};
  std::memcpy(head, bytes.data(), std::min(bytes.size(), kHeadSize));
  Head result{0, 0};
  for (std::size_t i = 0; i < 8; ++i) {
    result.first = result.first << 8 | head[i];
    result.second = result.second << 8 | head[i + 8];
  }
  return result;
}

// Whether the first `n` (at most 16) bytes of two heads are the same.
bool HeadBegins(const Head& head, const Head& key, std::size_t n) {
  const auto mask = [](std::size_t bytes) -> std::uint64_t {
    if (bytes == 0) return 0;
    return bytes >= 8 ? ~std::uint64_t{0}
                      : ~std::uint64_t{0} << (64 - 8 * bytes);
  };
  return ((head.first ^ key.first) & mask(std::min<std::size_t>(n, 8))) == 0 &&
         ((head.second ^ key.second) & mask(n > 8 ? n - 8 : 0)) == 0;
}

// The first index in [first, last) at which `before` turns false; `before`
// must be true on a prefix of the range and false after it.
template <typename Predicate>
std::size_t PartitionPoint(std::size_t first, std::size_t last,
                           const Predicate& before) {
  std::size_t count = last - first;
  while (count > 0) {
    const std::size_t half = count / 2;
    if (before(first + half)) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  return first;
}

// PartitionPoint over [0, size), the answer sought from `near` outwards
// in doubling steps: few steps when it lies close by.
template <typename Predicate>
std::size_t PartitionPointNear(std::size_t size, std::size_t near,
                               const Predicate& before) {
  if (size == 0) return 0;
  near = std::min(near, size - 1);
  std::size_t step = 1;
  if (before(near)) {
    std::size_t first = near + 1;  // the answer lies at or after it
    while (first + step - 1 < size && before(first + step - 1)) {
      first += step;
      step *= 2;
    }
    return PartitionPoint(first, std::min(first + step - 1, size), before);
  }
  std::size_t last = near;  // the answer lies at or before it
  while (last >= step && !before(last - step)) {
    last -= step;
    step *= 2;
  }
  return PartitionPoint(last >= step ? last - step + 1 : 0, last, before);
}

}  // namespace

std::optional<std::string> DescriptionKey(std::string_view name, TCode code) {
  if (name.empty()) return std::nullopt;
  if (code == tUtf8) return Utf8Key(name);
  std::string key;
  if (!CodePageKey(name, code, &key)) return std::nullopt;
  return key;
}

bool FindDescription(const DescriptionList& list, std::string_view key,
                     int* index) {
  if (list.Code() == tUtf8) {
    // Raising a UTF-8 letter depends on the byte before it, so the record is
    // raised whole.
    std::string upper;
    for (*index = 0; *index < list.Count(); ++*index) {
      upper.clear();
      AppendUpper(list.At(*index), tUtf8, &upper);
      if (!key.empty() && upper.starts_with(key)) return true;
    }
    return false;
  }
  const std::uint8_t* upper = UpperCaseOf(list.Code());
  for (*index = 0; *index < list.Count(); ++*index) {
    if (BeginsWith(list.At(*index), key, upper)) return true;
  }
  return false;
}

std::string_view DescriptionText(std::string_view record,
                                 std::size_t key_length) {
  if (record.size() <= key_length) return {};
  std::string_view text = record.substr(key_length);
  while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  return text;
}

DescriptionLookup::DescriptionLookup(const DescriptionList& list,
                                     std::size_t longest_name)
    : list_(list) {
  const bool one_byte = list.Code() != tUtf8;
  // A character of a name gives one key byte in a one-byte code page, and
  // at most three in UTF-8 (a byte that is not UTF-8 becomes one of 866's
  // characters). Past that length no key can reach, so the order and the
  // matches of the cut copies are those of the whole records.
  constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);
  longest_key_ = one_byte                        ? longest_name
                 : longest_name > kUnlimited / 3 ? kUnlimited
                                                 : 3 * longest_name;
  const int count = list.Count();
  std::size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    bytes += std::min(list.At(i).size(), longest_key_);
  }
  upper_.reserve(bytes);
  starts_.reserve(static_cast<std::size_t>(count) + 1);
  for (int i = 0; i < count; ++i) {
    starts_.push_back(upper_.size());
    if (one_byte) {
      // Raised below, all at once.
      upper_.append(list.At(i).substr(0, longest_key_));
    } else {
      // Raising a UTF-8 letter depends on the byte after it: raise, then cut.
      AppendUpper(list.At(i), tUtf8, &upper_);
      if (upper_.size() - starts_.back() > longest_key_) {
        upper_.resize(starts_.back() + longest_key_);
      }
    }
  }
  starts_.push_back(upper_.size());
  if (one_byte) UpperCaseInPlace(list.Code(), upper_.data(), upper_.size());

  // Records often share a long beginning (a common name stem), so the sort
  // compares heads first and whole records only where the heads are equal.
  // Unequal heads order as the records do.
  sorted_.resize(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    sorted_[static_cast<std::size_t>(i)] = {HeadOf(Upper(i)), i};
  }
  std::sort(sorted_.begin(), sorted_.end(),
            [this](const Sorted& a, const Sorted& b) {
              if (a.head != b.head) return a.head < b.head;
              return Upper(a.slot) < Upper(b.slot);
            });

  std::vector<std::int32_t> blocks((sorted_.size() + kBlock - 1) / kBlock);
  for (std::size_t i = 0; i < sorted_.size(); ++i) {
    std::int32_t& block = blocks[i / kBlock];
    const std::int32_t slot = sorted_[i].slot;
    block = i % kBlock == 0 ? slot : std::min(block, slot);
  }
  first_.push_back(std::move(blocks));
  for (std::size_t width = 1; 2 * width <= first_[0].size(); width *= 2) {
    const std::vector<std::int32_t>& below = first_.back();
    std::vector<std::int32_t> level(first_[0].size() - 2 * width + 1);
    for (std::size_t i = 0; i < level.size(); ++i) {
      level[i] = std::min(below[i], below[i + width]);
    }
    first_.push_back(std::move(level));
  }
}

std::int32_t DescriptionLookup::FirstSlot(std::size_t i, std::size_t j) const {
  const std::size_t first_block = (i + kBlock - 1) / kBlock;
  const std::size_t end_block = j / kBlock;
  if (first_block >= end_block) {
    std::int32_t first = sorted_[i].slot;
    for (std::size_t k = i + 1; k < j; ++k) {
      first = std::min(first, sorted_[k].slot);
    }
    return first;
  }
  std::int32_t first = sorted_[i].slot;
  for (std::size_t k = i; k < first_block * kBlock; ++k) {
    first = std::min(first, sorted_[k].slot);
  }
  for (std::size_t k = end_block * kBlock; k < j; ++k) {
    first = std::min(first, sorted_[k].slot);
  }
  const int level =
      static_cast<int>(std::bit_width(end_block - first_block)) - 1;
  const std::vector<std::int32_t>& mins =
      first_[static_cast<std::size_t>(level)];
  return std::min(
      {first, mins[first_block], mins[end_block - (std::size_t{1} << level)]});
}

std::string_view DescriptionLookup::Upper(std::int32_t record) const {
  const std::size_t begin = starts_[record];
  return std::string_view(upper_).substr(begin, starts_[record + 1] - begin);
}

std::optional<int> DescriptionLookup::Find(std::string_view key,
                                          std::size_t* near) const {
  if (key.empty()) return std::nullopt;
  if (key.size() > longest_key_) {
    // Longer than the index keeps of each record.
    int index = 0;
    if (!FindDescription(list_, key, &index)) return std::nullopt;
    return index;
  }
  const Head key_head = HeadOf(key);
  const std::size_t head_length = std::min<std::size_t>(key.size(), kHeadSize);
  // A record with the same head as a key of at most 16 bytes without a NUL
  // begins with it: no need to read the record. A NUL in the key could be
  // the head's padding of a shorter record.
  const bool head_decides =
      key.size() <= kHeadSize && key.find('\0') == key.npos;
  const auto below = [&](std::size_t i) {
    if (sorted_[i].head != key_head) return sorted_[i].head < key_head;
    if (head_decides) return false;
    return Upper(sorted_[i].slot) < key;
  };
  const auto begins = [&](std::size_t i) {
    if (!HeadBegins(sorted_[i].head, key_head, head_length)) return false;
    if (head_decides) return true;
    const std::string_view record = Upper(sorted_[i].slot);
    return record.size() >= key.size() &&
           record.substr(head_length, key.size() - head_length) ==
               key.substr(head_length);
  };
  const std::size_t lo = near != nullptr
                            ? PartitionPointNear(sorted_.size(), *near, below)
                            : PartitionPoint(0, sorted_.size(), below);
  if (near != nullptr) *near = lo;
  if (lo == sorted_.size() || !begins(lo)) return std::nullopt;
  // The records that begin with a key are few as a rule: find the end of
  // their run by doubling steps from its start.
  std::size_t step = 1;
  while (lo + step < sorted_.size() && begins(lo + step)) step *= 2;
  const std::size_t hi = PartitionPoint(
      lo + step / 2 + 1, std::min(lo + step, sorted_.size()), begins);
  return FirstSlot(lo, hi);
}

std::optional<int> DescriptionLookup::Locate(std::string_view name,
                                            std::size_t* key_size,
                                            std::size_t* near) const {
  // Most directories have no description file: no key is needed then.
  if (sorted_.empty() || name.empty()) return std::nullopt;
  if (list_.Code() == tUtf8) {
    const std::optional<std::string> key = DescriptionKey(name, tUtf8);
    if (!key) return std::nullopt;
    *key_size = key->size();
    return Find(*key, near);
  }
  // One buffer for every lookup of the thread: no allocation per entry.
  KeptPerThread<std::string, KeyTag> kept;
  std::string& key = *kept;
  if (!CodePageKey(name, list_.Code(), &key)) return std::nullopt;
  *key_size = key.size();
  return Find(key, near);
}

std::optional<std::string_view> DescriptionLookup::DescriptionOf(
    std::string_view name) const {
  std::size_t key_size = 0;
  const std::optional<int> record = Locate(name, &key_size);
  if (!record) return std::nullopt;
  return DescriptionText(list_.At(*record), key_size);
}

void DescriptionLookup::DescriptionsOf(
    std::span<const std::string_view> names,
    std::optional<std::string_view>* out) const {
  // A few at a time: first where each record is, then the records, each
  // step asking for the memory of the whole group before it is read.
  constexpr std::size_t kGroup = 16;
  // Names come in name order as a rule, which is about the records' order
  // upper-cased: each search starts where the one before ended.
  std::size_t near = sorted_.size() / 2;
  for (std::size_t base = 0; base < names.size(); base += kGroup) {
    const std::size_t count = std::min(kGroup, names.size() - base);
    std::optional<int> records[kGroup];
    std::size_t key_sizes[kGroup];
    for (std::size_t i = 0; i < count; ++i) {
      records[i] = Locate(names[base + i], &key_sizes[i], &near);
      if (records[i]) list_.Prefetch(*records[i]);
    }
    std::string_view texts[kGroup];
    for (std::size_t i = 0; i < count; ++i) {
      if (!records[i]) continue;
      texts[i] = list_.At(*records[i]);
      Prefetch(texts[i].data());
    }
    for (std::size_t i = 0; i < count; ++i) {
      out[base + i] = records[i] ? std::optional<std::string_view>(
                                       DescriptionText(texts[i], key_sizes[i]))
                                 : std::nullopt;
    }
  }
}

}  // namespace tabulon
