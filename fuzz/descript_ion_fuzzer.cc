// A DESCRIPT.ION of any bytes, read in blocks of any size: the same records
// as a whole read, records within 4,096 bytes, and a lookup that answers
// as a plain scan of the records in file order does.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "descriptions/descript_ion.h"
#include "descriptions/letter_case.h"
#include "descriptions/lookup.h"
#include "fuzz_check.h"
#include "support/string_source.h"

namespace {

using tabulon::DescriptIonRecords;

bool SameRecords(const DescriptIonRecords& a, const DescriptIonRecords& b) {
  if (a.Count() != b.Count() || a.Code() != b.Code()) return false;
  for (int i = 0; i < a.Count(); ++i) {
    if (a.Name(i) != b.Name(i) || a.Description(i) != b.Description(i))
      return false;
  }
  return true;
}

std::string Upper(std::string_view name, tabulon::TCode code) {
  std::string upper;
  if (code == tabulon::tUtf8) {
    tabulon::AppendUpperUtf8(name, &upper);
  } else {
    upper.assign(name);
    tabulon::UpperCaseInPlace(code, upper.data(), upper.size());
  }
  return upper;
}

std::optional<std::string_view> ScanFor(const DescriptIonRecords& records,
                                        std::string_view name) {
  const std::optional<std::string> key =
      tabulon::DescriptionKey(name, records.Code());
  if (!key) return std::nullopt;
  for (int i = 0; i < records.Count(); ++i) {
    if (Upper(records.Name(i), records.Code()) == *key)
      return records.Description(i);
  }
  return std::nullopt;
}

void Check(const tabulon::DescriptIonLookup& lookup,
           const DescriptIonRecords& records, std::string_view name) {
  FUZZ_CHECK(lookup.DescriptionOf(name) == ScanFor(records, name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  DescriptIonRecords records;
  tabulon::StringSource whole(input);
  FUZZ_CHECK(tabulon::LoadDescriptIon(whole, &records).ok());
  for (int i = 0; i < records.Count(); ++i) {
    FUZZ_CHECK(!records.Name(i).empty());
    FUZZ_CHECK(records.Name(i).size() + records.Description(i).size() <=
               tabulon::kMaxDescriptIonRecord);
    const std::string_view text = records.Description(i);
    FUZZ_CHECK(text.find_first_of("\r\n\x1A\x04") == std::string_view::npos);
  }

  const std::size_t block = size == 0 ? 1 : 1 + data[0] % 97;
  DescriptIonRecords blocky;
  tabulon::StringSource pieces(input, block);
  FUZZ_CHECK(tabulon::LoadDescriptIon(pieces, &blocky).ok());
  FUZZ_CHECK(SameRecords(records, blocky));

  const tabulon::DescriptIonLookup lookup(records);
  for (int i = 0; i < records.Count() && i < 64; ++i) {
    std::string name(records.Name(i));
    Check(lookup, records, name);
    // The other letter case, and a name one byte short or long.
    for (char& c : name) {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c ^= 0x20;
    }
    Check(lookup, records, name);
    Check(lookup, records, name.substr(0, name.size() - 1));
    Check(lookup, records, name + "x");
  }
  // Every line of the input as a name.
  std::string_view rest = input;
  for (int n = 0; !rest.empty() && n < 64; ++n) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    Check(lookup, records, rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return 0;
}
