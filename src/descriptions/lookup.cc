#include "descriptions/lookup.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "common/utf8.h"
#include "descriptions/code_pages.h"

namespace tabulon {
namespace {

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
  const std::uint8_t* upper = UpperCaseOf(code);
  for (const char c : record) {
    out->push_back(static_cast<char>(upper[static_cast<std::uint8_t>(c)]));
  }
}

}  // namespace

std::optional<std::string> DescriptionKey(std::string_view name, TCode code) {
  if (name.empty()) return std::nullopt;
  if (code == tUtf8) return Utf8Key(name);
  const std::uint8_t* upper = UpperCaseOf(code);
  std::string key;
  key.reserve(name.size());
  std::size_t pos = 0;
  while (pos < name.size()) {
    const std::uint8_t ascii = static_cast<std::uint8_t>(name[pos]);
    if (ascii < 0x80 && ascii != 0) {
      key.push_back(static_cast<char>(upper[ascii]));
      ++pos;
      continue;
    }
    char32_t c;
    // A POSIX name may hold bytes that are not UTF-8; such a byte is read
    // as code page 866, the code page names are shown in.
    if (!DecodeUtf8(name, &pos, &c)) c = kCp866ToUnicode[c];
    const int byte = c == 0 ? -1 : ByteOf(c, code);
    if (byte < 0) return std::nullopt;
    key.push_back(static_cast<char>(upper[byte]));
  }
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

DescriptionLookup::DescriptionLookup(const DescriptionList& list)
    : list_(list) {
  const int count = list.Count();
  starts_.reserve(static_cast<std::size_t>(count) + 1);
  for (int i = 0; i < count; ++i) {
    starts_.push_back(upper_.size());
    AppendUpper(list.At(i), list.Code(), &upper_);
  }
  starts_.push_back(upper_.size());

  sorted_.resize(static_cast<std::size_t>(count));
  std::iota(sorted_.begin(), sorted_.end(), 0);
  std::sort(
      sorted_.begin(), sorted_.end(),
      [this](std::int32_t a, std::int32_t b) { return Upper(a) < Upper(b); });

  first_.push_back(sorted_);
  for (std::size_t width = 1; 2 * width <= sorted_.size(); width *= 2) {
    const std::vector<std::int32_t>& below = first_.back();
    std::vector<std::int32_t> level(sorted_.size() - 2 * width + 1);
    for (std::size_t i = 0; i < level.size(); ++i) {
      level[i] = std::min(below[i], below[i + width]);
    }
    first_.push_back(std::move(level));
  }
}

std::string_view DescriptionLookup::Upper(std::int32_t record) const {
  const std::size_t begin = starts_[record];
  return std::string_view(upper_).substr(begin, starts_[record + 1] - begin);
}

std::optional<int> DescriptionLookup::Find(std::string_view key) const {
  if (key.empty()) return std::nullopt;
  const auto begin =
      std::lower_bound(sorted_.begin(), sorted_.end(), key,
                       [this](std::int32_t record, std::string_view k) {
                         return Upper(record) < k;
                       });
  const auto end = std::partition_point(begin, sorted_.end(),
                                        [this, key](std::int32_t record) {
                                          return Upper(record).starts_with(key);
                                        });
  if (begin == end) return std::nullopt;
  const std::size_t lo = static_cast<std::size_t>(begin - sorted_.begin());
  const std::size_t hi = static_cast<std::size_t>(end - sorted_.begin());
  const int level = static_cast<int>(std::bit_width(hi - lo)) - 1;
  const std::vector<std::int32_t>& mins =
      first_[static_cast<std::size_t>(level)];
  return std::min(mins[lo], mins[hi - (std::size_t{1} << level)]);
}

std::optional<std::string_view> DescriptionLookup::DescriptionOf(
    std::string_view name) const {
  const std::optional<std::string> key = DescriptionKey(name, list_.Code());
  if (!key) return std::nullopt;
  const std::optional<int> record = Find(*key);
  if (!record) return std::nullopt;
  return DescriptionText(list_.At(*record), key->size());
}

}  // namespace tabulon
