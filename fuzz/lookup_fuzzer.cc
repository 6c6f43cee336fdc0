// The indexed lookup must answer exactly as the linear scan does, for
// records and names of any bytes in every code page, of up to 4,096 bytes
// (the input stretched, so that they share heads far past the first 255).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "descriptions/description_list.h"
#include "descriptions/lookup.h"
#include "fuzz_check.h"

namespace {

std::vector<std::string_view> Split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  while (!s.empty()) {
    const std::size_t end = std::min(s.find(separator), s.size());
    parts.push_back(s.substr(0, end));
    s.remove_prefix(std::min(end + 1, s.size()));
  }
  return parts;
}

void Check(const tabulon::DescriptionList& list,
           const tabulon::DescriptionLookup& lookup, std::string_view key) {
  int linear = -1;
  const bool found = tabulon::FindDescription(list, key, &linear);
  const std::optional<int> indexed = lookup.Find(key);
  FUZZ_CHECK(found == indexed.has_value());
  FUZZ_CHECK(found ? *indexed == linear : linear == list.Count());
}

void Check(const tabulon::DescriptionList& list,
           const tabulon::DescriptionLookup& lookup,
           const tabulon::DescriptionLookup& cut, std::string_view key) {
  Check(list, lookup, key);
  Check(list, cut, key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const tabulon::TCode code = static_cast<tabulon::TCode>(data[0] % 3);
  const std::string stretched = Stretch(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const std::string_view input = stretched;
  // Records, then after a NUL the names to look up.
  const std::size_t nul = std::min(input.find('\0'), input.size());
  const std::string_view records = input.substr(0, nul);
  const std::string_view names = input.substr(std::min(nul + 1, input.size()));

  tabulon::DescriptionList list;
  list.SetCode(code);
  for (std::string_view record : Split(records, '\n')) {
    if (!record.empty()) list.Insert(record.substr(0, 4096));
  }
  const tabulon::DescriptionLookup lookup(list);
  // An index that keeps only what names of a few bytes reach.
  const tabulon::DescriptionLookup cut(list, 1 + data[0] / 3 % 20);

  for (std::string_view name : Split(names, '\n')) {
    Check(list, lookup, cut, name);
    const std::optional<std::string> key = tabulon::DescriptionKey(name, code);
    if (!key) continue;
    FUZZ_CHECK(!key->empty());
    Check(list, lookup, cut, *key);
    const std::optional<std::string_view> text = lookup.DescriptionOf(name);
    int linear = -1;
    if (tabulon::FindDescription(list, *key, &linear)) {
      FUZZ_CHECK(text && *text == tabulon::DescriptionText(list.At(linear),
                                                           key->size()));
    } else {
      FUZZ_CHECK(!text);
    }
  }
  // All names at once get the answers each gets on its own.
  const std::vector<std::string_view> all = Split(names, '\n');
  std::vector<std::optional<std::string_view>> texts(all.size());
  lookup.DescriptionsOf(all, texts.data());
  for (std::size_t i = 0; i < all.size(); ++i) {
    FUZZ_CHECK(texts[i] == lookup.DescriptionOf(all[i]));
  }
  // Every prefix of a record finds a record, the first one that has it.
  for (int i = 0; i < list.Count() && i < 64; ++i) {
    const std::string_view record = list.At(i);
    for (std::size_t n = 1; n <= record.size(); n += 1 + n / 4) {
      Check(list, lookup, cut, record.substr(0, n));
    }
  }
  return 0;
}
